// The reader service's readers (agent/service.h).
//
// Sections: time; the worker (its loop, opening, jobs); the service.
#include "agent/service.h"

#include <chrono>
#include <cstdio>
#include <iostream>

#include "protocol/hex.h"
#include "protocol/text.h"

namespace zq::agent {

// ---- time ------------------------------------------------------------------------------

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

namespace {

constexpr uint32_t kFirstBackoffMs = 1000;
constexpr uint32_t kLongestBackoffMs = 30000;
// Events waiting for a journal that cannot be written: beyond this many the
// oldest are dropped (and counted), so that a long failure does not take
// all memory.
constexpr size_t kMostPending = 1000000;


std::string Sentence(const zq_outcome& o) {
  char text[512];
  return zq_outcome_message(&o, text, sizeof text);
}

nlohmann::json IdentityJson(const zq_identity& i) {
  if (!i.is_gs1) return {{"uri", i.tag_uri}};
  return {{"scheme", i.scheme}, {"uri", i.tag_uri}, {"pure_uri", i.pure_uri}, {"element_string", i.element_string},
          {"gtin", i.gtin}, {"serial", i.serial}};
}

}  // namespace

// ---- the worker ------------------------------------------------------------------------

struct Job {
  std::function<nlohmann::json(zq_reader*)> op;
  Service::Answer answer;
  bool done = false;
};

class ReaderWorker {
 public:
  ReaderWorker(Service* service, ReaderChoice choice) : service_(service), choice_(std::move(choice)) {
    name_ = choice_.serial.empty() ? PortName(choice_.port) : choice_.serial;
  }
  ~ReaderWorker() { Stop(); }

  void Start() { thread_ = std::thread([this] { Loop(); }); }
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  std::string name() {
    std::lock_guard<std::mutex> lock(mutex_);
    return name_;
  }
  const ReaderChoice& choice() const { return choice_; }
  bool Answers(const std::string& serial) {
    std::lock_guard<std::mutex> lock(mutex_);
    return name_ == serial || choice_.serial == serial;
  }

  nlohmann::json Json() {
    std::lock_guard<std::mutex> lock(mutex_);
    nlohmann::json j = {{"serial", name_}, {"state", state_}, {"inventory", inventoryOn_}, {"rounds", rounds_}};
    if (choice_.port || port_) j["port"] = port_ ? port_ : choice_.port;
    if (!lastError_.empty()) j["last_error"] = lastError_;
    return j;
  }

  Service::Answer Run(std::function<nlohmann::json(zq_reader*)> op, uint32_t waitMs) {
    auto job = std::make_shared<Job>();
    job->op = std::move(op);
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopping_) return {503, {{"result", "unavailable"}, {"message", "the service is stopping"}}};
    if (state_ != "online" && state_ != "recovered")
      return {503, {{"result", "unavailable"}, {"message", "the reader " + name_ + " is not open (" + state_ + ")"}}};
    jobs_.push_back(job);
    wake_.notify_all();
    if (!done_.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return job->done; }))
      return {504, {{"result", "timeout"}, {"message", "the reader did not get to the operation in time"}}};
    return job->answer;
  }

  void SetInventory(bool on) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      inventoryOn_ = on;
    }
    wake_.notify_all();
  }

 private:
  static std::string PortName(uint32_t port) {
    char text[24];
    std::snprintf(text, sizeof text, "port-0x%04X", port);
    return text;
  }

  void Event(const std::string& state, const std::string& message = "") {
    nlohmann::json fields = {{"state", state}};
    if (!message.empty()) fields["message"] = message;
    service_->Journalize({agent::Event{"reader", name(), NowMs(), fields}});
  }

  void SetState(const std::string& state, const std::string& error = "") {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = state;
    if (!error.empty()) lastError_ = error;
  }

  bool Open() {
    zq_outcome o{};
    zq_reader* r = nullptr;
    const zq_result res = choice_.serial.empty() ? zq_open_port(choice_.port, &r, &o) : zq_open_serial(choice_.serial.c_str(), &r, &o);
    if (res != ZQ_OK) {
      lastOpenError_ = Sentence(o);
      return false;
    }
    reader_ = r;
    if (choice_.serial.empty()) {
      char serial[64] = {};
      zq_outcome so{};
      if (zq_serial_get(r, serial, sizeof serial, &so) == ZQ_OK && serial[0]) {
        std::lock_guard<std::mutex> lock(mutex_);
        name_ = serial;
      }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    port_ = zq_reader_port(r);
    return true;
  }

  void Close() {
    if (reader_) zq_close(reader_);
    reader_ = nullptr;
  }

  // Runs the queued jobs; each answers its caller.
  void RunJobs() {
    for (;;) {
      std::shared_ptr<Job> job;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (jobs_.empty()) return;
        job = jobs_.front();
        jobs_.pop_front();
      }
      Service::Answer a;
      a.body = job->op(reader_);
      a.status = a.body.value("http_status", 200);
      a.body.erase("http_status");
      {
        std::lock_guard<std::mutex> lock(mutex_);
        job->answer = std::move(a);
        job->done = true;
      }
      done_.notify_all();
    }
  }

  void FailJobs(const std::string& why) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& job : jobs_) {
      job->answer = {503, {{"result", "unavailable"}, {"message", why}}};
      job->done = true;
    }
    jobs_.clear();
    done_.notify_all();
  }

  // Waits `ms` unless a job comes or the service stops; false when stopping.
  bool Pause(uint32_t ms, bool wakeForJobs) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stopping_ || (wakeForJobs && !jobs_.empty()); });
    return !stopping_;
  }

  bool Stopping() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
  }

  bool InventoryOn() {
    std::lock_guard<std::mutex> lock(mutex_);
    return inventoryOn_;
  }

  // One inventory of the whole field; false when the reader failed.
  bool Inventory() {
    const Config c = service_->config();
    zq_inventory_options opts = zq_inventory_defaults();
    opts.session = c.session;
    opts.max_rounds = c.rounds;
    zq_tag_list* list = nullptr;
    zq_outcome o{};
    const zq_result res = zq_inventory(reader_, &opts, &list, &o);
    if (res != ZQ_OK) {
      zq_tag_list_free(list);
      lastRoundError_ = Sentence(o);
      service_->health().errors++;
      // A refusal by the reader is an error of this round; a failed driver
      // call means the reader is gone or broken.
      return res == ZQ_REFUSED || res == ZQ_BAD_RESPONSE;
    }
    std::vector<Sighting> seen;
    seen.reserve(list->count);
    for (size_t i = 0; i < list->count; ++i) {
      const zq_tag& t = list->tags[i];
      Sighting s;
      s.epc = protocol::HexText(t.epc, t.epc_length);
      s.pc = t.pc;
      if (t.has_rssi && !t.rssi_is_raw) s.rssiDbm = t.rssi_dbm;
      s.identity = IdentityJson(t.identity);
      seen.push_back(std::move(s));
    }
    zq_tag_list_free(list);
    service_->Round(name(), seen);
    service_->health().rounds++;
    std::lock_guard<std::mutex> lock(mutex_);
    ++rounds_;
    return true;
  }

  void Loop() {
    uint32_t backoff = kFirstBackoffMs;
    bool failedBefore = false;  // the reader was open and failed, or never opened yet after a failure
    bool reported = false;      // the current failure was journaled
    int64_t lastSummary = NowMs();
    while (!Stopping()) {
      if (!reader_) {
        if (!Open()) {
          SetState("offline", lastOpenError_);
          if (!reported) Event("error", lastOpenError_);
          reported = true;
          failedBefore = true;
          FailJobs("the reader " + name() + " is not open: " + lastOpenError_);
          if (!Pause(backoff, false)) break;
          backoff = std::min(backoff * 2, kLongestBackoffMs);
          continue;
        }
        backoff = kFirstBackoffMs;
        reported = false;
        SetState(failedBefore ? "recovered" : "online");
        Event(failedBefore ? "recovered" : "online");
        SetState("online");
      }
      RunJobs();
      if (InventoryOn()) {
        if (!Inventory()) {
          SetState("error", lastRoundError_);
          Event("error", lastRoundError_);
          reported = true;
          failedBefore = true;
          Close();
          FailJobs("the reader " + name() + " failed: " + lastRoundError_);
          continue;
        }
      }
      const uint32_t summary = service_->config().summaryMs;
      if (summary && NowMs() - lastSummary >= summary) {
        lastSummary = NowMs();
        service_->Summary(name());
      }
      RunJobs();
      if (!Pause(InventoryOn() ? service_->config().intervalMs : 1000, true)) break;
    }
    FailJobs("the service is stopping");
    if (reader_) {
      Close();
      Event("offline");
    }
    SetState("stopped");
  }

  Service* service_;
  ReaderChoice choice_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  std::deque<std::shared_ptr<Job>> jobs_;
  bool stopping_ = false;
  bool inventoryOn_ = true;
  uint64_t rounds_ = 0;
  uint32_t port_ = 0;
  std::string name_, state_ = "starting", lastError_, lastOpenError_, lastRoundError_;
  zq_reader* reader_ = nullptr;  // the worker thread's alone
};

// ---- the service -------------------------------------------------------------------------

Service::Service(const Config& config, Journal* journal)
    : config_(config), journal_(journal), table_(config.leaveAfterMs, config.historyPoints) {
  health_.startedMs = NowMs();
}

Service::~Service() { Stop(); }

Config Service::config() const {
  std::lock_guard<std::mutex> lock(configMutex_);
  return config_;
}

std::vector<std::shared_ptr<ReaderWorker>> Service::Workers() {
  std::lock_guard<std::mutex> lock(workersMutex_);
  return workers_;
}

void Service::Start() { StartWorkers(config().readers); }

namespace {

bool SameChoice(const ReaderChoice& a, const ReaderChoice& b) {
  return a.port == b.port && protocol::EqualIgnoringCase(a.serial, b.serial);
}

}  // namespace

void Service::StartWorkers(std::vector<ReaderChoice> chosen) {
  if (chosen.empty()) {
    size_t count = 0;
    std::vector<zq_reader_info> found(32);
    if (zq_list_readers(found.data(), found.size(), &count) == ZQ_OK) {
      for (size_t i = 0; i < std::min(count, found.size()); ++i) {
        if (found[i].serial[0]) chosen.push_back(ReaderChoice{found[i].serial, 0});
      }
    }
    // Nothing present (yet): the first COM number's reader, opened when it comes.
    std::lock_guard<std::mutex> lock(workersMutex_);
    if (chosen.empty() && workers_.empty()) chosen.push_back(ReaderChoice{"", 0x0100});
  }
  std::lock_guard<std::mutex> lock(workersMutex_);
  for (const ReaderChoice& c : chosen) {
    bool served = false;
    for (const auto& w : workers_) served = served || SameChoice(w->choice(), c) || (!c.serial.empty() && w->Answers(c.serial));
    if (served) continue;
    workers_.push_back(std::make_shared<ReaderWorker>(this, c));
    workers_.back()->Start();
  }
}

void Service::Reload(const Config& next, std::vector<std::string>* needRestart) {
  std::vector<ReaderChoice> readers;
  {
    std::lock_guard<std::mutex> lock(configMutex_);
    Config& now = config_;
    const auto note = [&](bool changed, const char* key) {
      if (changed) needRestart->push_back(key);
    };
    note(next.httpHost != now.httpHost || next.httpPort != now.httpPort, "http");
    note(next.token != now.token, "token");
    note(next.journal != now.journal, "journal");
    note(next.journalMaxEvents != now.journalMaxEvents, "journal_max_events");
    note(next.journalMaxAgeS != now.journalMaxAgeS, "journal_max_age_s");
    note(next.webDir != now.webDir, "web");
    note(next.sim != now.sim || next.scenario != now.scenario, "sim");
    note(next.mqttUrl != now.mqttUrl || next.site != now.site || next.mqttPrefix != now.mqttPrefix ||
             next.mqttClientId != now.mqttClientId || next.mqttUser != now.mqttUser ||
             next.mqttPassword != now.mqttPassword || next.mqttCa != now.mqttCa || next.mqttCert != now.mqttCert ||
             next.mqttKey != now.mqttKey || next.mqttMaxRate != now.mqttMaxRate || next.mqttHealthS != now.mqttHealthS ||
             next.mqtt311 != now.mqtt311 || next.mqttEpcis != now.mqttEpcis || next.epcisReadPoint != now.epcisReadPoint,
         "the MQTT keys");
    now.intervalMs = next.intervalMs;
    now.session = next.session;
    now.rounds = next.rounds;
    now.leaveAfterMs = next.leaveAfterMs;
    now.summaryMs = next.summaryMs;
    now.historyPoints = next.historyPoints;
    now.readers = next.readers;
    readers = next.readers;
  }
  {
    std::lock_guard<std::mutex> lock(tableMutex_);
    table_.SetLeaveAfter(next.leaveAfterMs);
    table_.SetHistoryPoints(next.historyPoints);
  }
  // Readers no longer named stop (each journals `offline`); new ones start.
  std::vector<std::shared_ptr<ReaderWorker>> stopping;
  if (!readers.empty()) {
    std::lock_guard<std::mutex> lock(workersMutex_);
    for (auto it = workers_.begin(); it != workers_.end();) {
      bool named = false;
      for (const ReaderChoice& c : readers)
        named = named || SameChoice((*it)->choice(), c) || (!c.serial.empty() && (*it)->Answers(c.serial));
      if (named) {
        ++it;
      } else {
        stopping.push_back(*it);
        it = workers_.erase(it);
      }
    }
  }
  for (auto& w : stopping) w->Stop();
  StartWorkers(readers);
}

void Service::Stop() {
  std::vector<std::shared_ptr<ReaderWorker>> workers;
  {
    std::lock_guard<std::mutex> lock(workersMutex_);
    workers.swap(workers_);
  }
  for (auto& w : workers) w->Stop();
  Journalize({});
}

nlohmann::json Service::ReadersJson() {
  nlohmann::json list = nlohmann::json::array();
  for (auto& w : Workers()) {
    nlohmann::json j = w->Json();
    j["last_seq"] = journal_->LastSeq(j["serial"].get<std::string>());
    list.push_back(std::move(j));
  }
  return list;
}

nlohmann::json Service::TagsJson(const std::string& reader, const std::string& epc, bool history) {
  std::lock_guard<std::mutex> lock(tableMutex_);
  return table_.Json(reader, NowMs(), epc, history);
}

nlohmann::json Service::HealthJson() {
  const double up = std::max<int64_t>(NowMs() - health_.startedMs, 1) / 1000.0;
  size_t pending = 0;
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    pending = pending_.size();
  }
  size_t tags = 0;
  {
    std::lock_guard<std::mutex> lock(tableMutex_);
    tags = table_.size();
  }
  return {{"uptime_s", up},
          {"rounds", health_.rounds.load()},
          {"rounds_per_s", static_cast<double>(health_.rounds.load()) / up},
          {"reads", health_.reads.load()},
          {"reads_per_s", static_cast<double>(health_.reads.load()) / up},
          {"errors", health_.errors.load()},
          {"journal_depth", journal_->Depth()},
          {"journal_position", journal_->LastPosition()},
          {"journal_failures", health_.journalFailures.load()},
          {"events_waiting", pending},
          {"tags", tags},
          {"readers", Workers().size()}};
}

Service::Answer Service::Run(const std::string& serial, std::function<nlohmann::json(zq_reader*)> op, uint32_t waitMs) {
  for (auto& w : Workers())
    if (w->Answers(serial)) return w->Run(std::move(op), waitMs);
  return {404, {{"result", "not found"}, {"message", "no reader " + serial + " is served by this agent"}}};
}

Service::Answer Service::SetInventory(const std::string& serial, bool on) {
  for (auto& w : Workers()) {
    if (!w->Answers(serial)) continue;
    w->SetInventory(on);
    return {200, {{"result", "ok"}, {"message", on ? "inventory started" : "inventory stopped"}}};
  }
  return {404, {{"result", "not found"}, {"message", "no reader " + serial + " is served by this agent"}}};
}

void Service::Round(const std::string& reader, const std::vector<Sighting>& seen) {
  std::vector<Event> events;
  {
    std::lock_guard<std::mutex> lock(tableMutex_);
    events = table_.Round(reader, seen, NowMs());
  }
  health_.reads += seen.size();
  Journalize(std::move(events));
}

void Service::Summary(const std::string& reader) {
  Event e;
  {
    std::lock_guard<std::mutex> lock(tableMutex_);
    e = table_.Summary(reader, NowMs());
  }
  Journalize({e});
}

void Service::Journalize(std::vector<Event> events) {
  std::lock_guard<std::mutex> lock(pendingMutex_);
  pending_.insert(pending_.end(), std::make_move_iterator(events.begin()), std::make_move_iterator(events.end()));
  if (pending_.empty()) return;
  std::string why;
  const JournalResult r = journal_->Append(pending_, NowMs(), &why);
  if (r == JournalResult::kOk) {
    pending_.clear();
    return;
  }
  if (health_.journalFailures++ == 0 || health_.journalFailures % 100 == 0)
    std::cerr << "zelquar-agent: " << JournalResultText(r) << (why.empty() ? "" : ": " + why) << "\n";
  if (pending_.size() > kMostPending) pending_.erase(pending_.begin(), pending_.begin() + (pending_.size() - kMostPending));
}

}  // namespace zq::agent
