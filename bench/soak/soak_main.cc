// zelquar-soak: the whole stack under load and faults, run on demand.
//
// Eight application processes load the installed driver and work four
// simulated readers (four zelquar-sim processes, units 0 to 3 of COM 1):
// workers 0-3 share unit 0, 4-5 share unit 1, 6 has unit 2, 7 unit 3.
// Sharing processes take turns: a session opens the port, runs a few
// operations and closes it; the others' opens are refused meanwhile. The
// operations are mixed: firmware version and module type (reader
// commands), inventory, a read of the worker's own tag, a write of it read
// back at once, RF power off/on. Meanwhile this process injects a fault
// into a random reader every --fault-ms through its control socket: a lost
// reply, a bad check byte, a reply stalled mid-frame, a status word 64 05 to
// 64 0E, or the bridge unplugged and replugged 300 ms later.
//
// It reports (one JSON object on standard output, a summary on standard
// error): calls sent and answered per operation, failures by result,
// every call that ran over its worst-case bound (a hang), every answer that
// differs from what it must be (a mismatch: data read back that differs from
// what was written, a reply that differs from the same command's first),
// and the log records each process's mirror shows but the collector's
// files lack (lost). Exit code 0 only without hang, mismatch, lost or
// damaged record, and with every worker ending normally.
//
// Sections: options; the worker (operations, sessions, its report); the run
// (installation, readers, workers, faults, the end, the log accounting).
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/soak/soak_model.h"
#include "include/ZELQUAR_Drv.h"
#include "tests/support/child_process.h"
#include "tests/support/driver_exports.h"
#include "tests/support/namespace_objects.h"
#include "tests/support/sim_fixture.h"
#include "tools/logview.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using zq::soak::Settings;

// ---- options ------------------------------------------------------------------

constexpr int kWorkers = 8;
constexpr int kReaders = 4;
constexpr int kReaderOf[kWorkers] = {0, 0, 0, 0, 1, 1, 2, 3};

uint32_t PortOf(int reader) { return 0x0100u | static_cast<uint32_t>(reader); }

// The tag a worker writes and reads (its EPC, 6 words, PC 3000); one more
// tag on every reader is only inventoried.
std::string EpcOf(int worker) {
  char b[8];
  std::snprintf(b, sizeof b, "%02X", worker);
  return std::string("300833B2DDD90140000000") + b;
}
constexpr int kUserWords = 8;

struct Options {
  double seconds = 600;
  int faultMs = 1500;
  uint32_t seed = 0;
  bool keep = false;
  std::string dir;
};

double Ms(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

// ---- the worker -------------------------------------------------------------


// The exchanges of each operation with the reader (a write of n words is a
// Select, the session set-up and a handle and a Write per word, with one
// retry each); the bound of a call follows from them.
struct OpInfo {
  const char* name;
  int exchanges;
};
enum Op { kVersion, kModuleType, kInventory, kRead, kWrite, kPower, kOpen, kClose, kOps };
constexpr OpInfo kOpInfo[kOps] = {{"version", 1}, {"module_type", 1}, {"inventory", 3}, {"read", 4},
                                  {"write", 2 + 2 * 2 * kUserWords}, {"power", 1}, {"open", 0}, {"close", 1}};

class Worker {
 public:
  Worker(int index, const std::string& library, double seconds, uint32_t seed, const std::string& mirror)
      : index_(index), port_(PortOf(kReaderOf[index])), epc_(EpcOf(index)), mirror_(mirror),
        end_(Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000))), rng_(seed) {
    for (int op = 0; op < kOps; ++op) {
      bound_[op] = op == kOpen ? 0 : zq::soak::CallBoundMs(settings_, kOpInfo[op].exchanges);
    }
    int64_t longest = 0;
    for (int op = 0; op < kOps; ++op) longest = std::max(longest, bound_[op]);
    bound_[kOpen] = zq::soak::OpenBoundMs(settings_, longest);
    // Kept mapped after dlclose (its detach then runs at exit): the driver's
    // process-lifetime objects, never freed by design, would otherwise be
    // unreachable once it is unmapped, and a leak checker would count them.
    lib_ = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!lib_) return;
    drv_.LookUp(lib_);
    // The load has opened this process's log output: from here on every
    // record the mirror shows must reach the collector.
    mirrorFrom_ = MirrorSize();
  }

  int Run() {
    json report;
    if (!lib_ || !drv_.open || !drv_.close || !drv_.transmit || !drv_.power) {
      report["error"] = std::string("the driver did not load: ") + (lib_ ? "symbols missing" : dlerror());
      std::cout << report.dump() << std::endl;
      return 1;
    }
    const bool shared = kReaderOf[index_] == 0 || kReaderOf[index_] == 1;
    while (Clock::now() < end_) {
      if (!Open()) {
        Pause(5, 30);
        continue;
      }
      // Sharing workers hand the unit over after a short session.
      const int length = shared ? Between(5, 20) : Between(50, 200);
      for (int i = 0; i < length && Clock::now() < end_ && open_now_; ++i) {
        Step();
        Pause(2, 10);
      }
      if (open_now_) Close();
      if (shared) Pause(5, 30);
    }
    // Every record up to here must reach the collector; the unload's own
    // lines follow the log output's close and are not accounted.
    mirrorTo_ = MirrorSize();
    dlclose(lib_);
    report["worker"] = index_;
    report["port"] = port_;
    report["sent"] = sent_;
    report["answered"] = answered_;
    report["failed"] = failed_;
    report["refused"] = refused_;
    report["max_ms"] = maxMs_;
    report["mean_ms"] = json::object();
    for (const auto& [op, total] : totalMs_.items()) {
      const uint64_t n = op == "refused_open" ? refused_.get<uint64_t>() : sent_.value(op, uint64_t{0});
      if (n > 0) report["mean_ms"][op] = total.get<double>() / static_cast<double>(n);
    }
    report["bound_ms"] = json::object();
    for (int op = 0; op < kOps; ++op) report["bound_ms"][kOpInfo[op].name] = bound_[op];
    report["hangs"] = hangs_;
    report["mismatches"] = mismatches_;
    report["written_words"] = writtenWords_;
    report["verified_reads"] = verifiedReads_;
    report["mirror_from"] = mirrorFrom_;
    report["mirror_to"] = mirrorTo_;
    std::cout << report.dump() << std::endl;
    return 0;
  }

 private:
  uint64_t MirrorSize() const {
    std::error_code ec;
    const auto n = fs::file_size(mirror_, ec);
    return ec ? 0 : n;
  }
  int Between(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  void Pause(int loMs, int hiMs) { std::this_thread::sleep_for(std::chrono::milliseconds(Between(loMs, hiMs))); }

  // Times a call against its bound; a call over it is a hang.
  template <typename F>
  int32_t Timed(Op op, F&& call) {
    const auto t0 = Clock::now();
    const int32_t r = call();
    const double ms = Ms(t0);
    const char* name = kOpInfo[op].name;
    if (ms > maxMs_[name].get<double>()) maxMs_[name] = ms;
    lastMs_ = ms;
    if (ms > static_cast<double>(bound_[op])) {
      hangs_.push_back({{"op", name}, {"ms", ms}, {"bound_ms", bound_[op]}, {"result", r}});
    }
    return r;
  }
  // Counts the call just timed.
  void Count(Op op, bool answered, int32_t result) {
    const char* name = kOpInfo[op].name;
    totalMs_[name] = totalMs_.value(name, 0.0) + lastMs_;
    sent_[name] = sent_.value(name, uint64_t{0}) + 1;
    if (answered) {
      answered_[name] = answered_.value(name, uint64_t{0}) + 1;
    } else {
      const std::string key = std::string(name) + " " + std::to_string(result);
      failed_[key] = failed_.value(key, uint64_t{0}) + 1;
    }
  }
  void Mismatch(Op op, const std::string& what, const std::string& got, const std::string& expected) {
    mismatches_.push_back({{"op", kOpInfo[op].name}, {"what", what}, {"got", got}, {"expected", expected}});
  }

  bool Open() {
    const int32_t r = Timed(kOpen, [&] { return drv_.open(port_, 0, nullptr); });
    if (r == RFRW_ERROR_OPEN_ELSEWHERE) {
      refused_ = refused_.get<uint64_t>() + 1;
      totalMs_["refused_open"] = totalMs_.value("refused_open", 0.0) + lastMs_;
      return false;
    }
    Count(kOpen, r == RFRW_SUCCESS, r);
    open_now_ = r == RFRW_SUCCESS;
    return open_now_;
  }
  void Close() {
    const int32_t r = Timed(kClose, [&] { return drv_.close(port_); });
    Count(kClose, r == RFRW_SUCCESS, r);
    open_now_ = false;
  }

  // One application command; the response when it was answered (result 0),
  // nullopt otherwise. A port that is no longer open is opened again.
  std::optional<std::vector<uint8_t>> Send(Op op, const std::vector<uint8_t>& command) {
    std::vector<uint8_t> response(2048);
    int32_t length = static_cast<int32_t>(response.size());
    const int32_t r = Timed(op, [&] {
      return drv_.transmit(port_, static_cast<uint32_t>(command.size()), command.data(), &length, response.data());
    });
    const bool ok = r == RFRW_SUCCESS && length >= 2 && length <= static_cast<int32_t>(response.size());
    Count(op, ok, r);
    if (r == RFRW_ERROR_NOT_OPEN) open_now_ = false;
    if (!ok) return std::nullopt;
    response.resize(static_cast<size_t>(length));
    return response;
  }

  static bool EndsInSuccess(const std::vector<uint8_t>& v) {
    return v.size() >= 2 && v[v.size() - 2] == 0x90 && v[v.size() - 1] == 0x00;
  }

  // A reader command whose answer never changes: each answer must equal the
  // first one this worker got and end in 90 00.
  void Constant(Op op, const std::vector<uint8_t>& command) {
    const auto reply = Send(op, command);
    if (!reply) return;
    const std::string hex = zq::soak::ToHex(*reply);
    std::string& first = first_[op];
    if (first.empty() && EndsInSuccess(*reply)) first = hex;
    if (hex != first) Mismatch(op, "answer differs from the first", hex, first);
  }

  void Read() {
    const auto reply = Send(kRead, zq::soak::ReadUserCommand(epc_, kUserWords));
    if (!reply) return;
    std::vector<uint8_t> expected = memory_;
    expected.push_back(0x90);
    expected.push_back(0x00);
    if (!known_) return;  // a write failed: what the tag holds is not known
    ++verifiedReads_;
    if (*reply != expected) Mismatch(kRead, "user memory", zq::soak::ToHex(*reply), zq::soak::ToHex(expected));
  }

  // A write of some words (all of them while the memory is unknown), read
  // back at once.
  void WriteAndReadBack() {
    const int words = known_ ? Between(1, kUserWords) : kUserWords;
    const int address = known_ ? Between(0, kUserWords - words) : 0;
    std::vector<uint8_t> data;
    for (int i = 0; i < words; ++i) {
      // The worker, a running count and a random byte: no write repeats the
      // memory's earlier contents by chance.
      const uint16_t word = static_cast<uint16_t>((index_ << 12) ^ (++writeCount_ << 4) ^ Between(0, 15));
      data.push_back(static_cast<uint8_t>(word >> 8));
      data.push_back(static_cast<uint8_t>(word));
    }
    const auto reply = Send(kWrite, zq::soak::WriteUserCommand(epc_, address, data));
    if (!reply || !EndsInSuccess(*reply) || reply->size() != 2) {
      // A write that did not report success may have written some words.
      known_ = false;
      if (reply) Mismatch(kWrite, "write answer", zq::soak::ToHex(*reply), "9000");
      return;
    }
    std::copy(data.begin(), data.end(), memory_.begin() + 2 * address);
    known_ = true;
    writtenWords_ += static_cast<uint64_t>(words);
    Read();
  }

  void Power() {
    int32_t status = 0;
    const int32_t level = Between(0, 1) == 0 ? 0 : 3;
    const int32_t r = Timed(kPower, [&] { return drv_.power(port_, level, &status); });
    Count(kPower, r == RFRW_SUCCESS, r);
    if (r == RFRW_ERROR_NOT_OPEN) open_now_ = false;
    if (r == RFRW_SUCCESS && status != 0x9000) {
      char b[16];
      std::snprintf(b, sizeof b, "%04X", static_cast<unsigned>(status));
      Mismatch(kPower, "status word", b, "9000");
    }
  }

  void Step() {
    const int pick = Between(0, 99);
    if (pick < 15) {
      Constant(kVersion, zq::soak::VersionCommand());
    } else if (pick < 25) {
      Constant(kModuleType, zq::soak::ModuleTypeCommand());
    } else if (pick < 40) {
      Constant(kInventory, zq::soak::InventoryCommand());
    } else if (pick < 60) {
      Read();
    } else if (pick < 90) {
      WriteAndReadBack();
    } else {
      Power();
    }
  }

  const Settings settings_{};
  const int index_;
  const uint32_t port_;
  const std::string epc_;
  const std::string mirror_;
  const Clock::time_point end_;
  std::mt19937 rng_;
  int64_t bound_[kOps] = {};
  void* lib_ = nullptr;
  zq::test::DriverExports drv_;
  bool open_now_ = false;
  std::string first_[kOps];
  std::vector<uint8_t> memory_ = std::vector<uint8_t>(2 * kUserWords, 0);
  bool known_ = true;
  uint32_t writeCount_ = 0;
  uint64_t writtenWords_ = 0;
  uint64_t verifiedReads_ = 0;
  uint64_t mirrorFrom_ = 0;
  uint64_t mirrorTo_ = 0;
  json sent_ = json::object(), answered_ = json::object(), failed_ = json::object(), refused_ = 0;
  double lastMs_ = 0;
  json totalMs_ = json::object();
  json maxMs_ = [] {
    json m = json::object();
    for (const OpInfo& i : kOpInfo) m[i.name] = 0.0;
    return m;
  }();
  json hangs_ = json::array(), mismatches_ = json::array();
};

// ---- the run ----------------------------------------------------------------

// The tags of one reader: the user memory of every worker's tag starts at
// zero, like the worker's model of it.
std::string Scenario(int reader) {
  json tags = json::array();
  for (int w = 0; w < kWorkers; ++w) {
    if (kReaderOf[w] == reader) tags.push_back({{"epc", EpcOf(w)}, {"user", std::string(4 * kUserWords, '0')}});
  }
  tags.push_back({{"epc", "300833B2DDD90140000000FF"}, {"tid", "E2801160200074FF"}});
  return json{{"tags", tags}}.dump();
}

// The pids of running collectors started from `program`.
std::vector<pid_t> CollectorsOf(const fs::path& program) {
  std::vector<pid_t> out;
  for (const auto& p : fs::directory_iterator("/proc")) {
    const std::string name = p.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code ec;
    if (fs::read_symlink(p.path() / "exe", ec) == program) out.push_back(static_cast<pid_t>(std::stoi(name)));
  }
  return out;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The mirror lines of one worker between two byte offsets.
void MirrorLines(const fs::path& path, uint64_t from, uint64_t to, std::vector<std::string>* out) {
  const std::string bytes = ReadFile(path);
  to = std::min<uint64_t>(to, bytes.size());
  for (size_t start = from; start < to;) {
    size_t end = bytes.find('\n', start);
    if (end == std::string::npos || end >= to) break;
    out->push_back(bytes.substr(start, end - start));
    start = end + 1;
  }
}

int RunSoak(const Options& o) {
  const Settings settings;
  const fs::path dir = o.dir.empty() ? fs::temp_directory_path() / ("zq-soak-" + std::to_string(getpid())) : fs::path(o.dir);
  const fs::path install = dir / "install";
  fs::create_directories(install);
  fs::copy_file(ZQ_DRIVER_LIB_PATH, install / "libZELQUAR_Drv.so", fs::copy_options::overwrite_existing);
  fs::copy_file(ZQ_COMM_LIB_PATH, install / "libZqRfrwCommVO.so", fs::copy_options::overwrite_existing);
  fs::copy_file(ZQ_OUTLOG_PATH, install / "ZELQUAR_Outlog", fs::copy_options::overwrite_existing);
  fs::copy_file(ZQ_FIRMWARE_PATH, install / "ZQRWDSP01.dwl", fs::copy_options::overwrite_existing);
  std::ofstream(install / "ZELQUAR_Drv.ini") << "[RFRW_Drv]\n" << zq::soak::IniBody(settings);
  const std::string ns = "zq-soak-" + std::to_string(getpid());
  setenv("ZELQUAR_NAMESPACE", ns.c_str(), 1);

  std::vector<std::unique_ptr<zq::test::SimulatedReader>> readers;
  for (int r = 0; r < kReaders; ++r) {
    const fs::path simDir = dir / ("sim" + std::to_string(r));
    fs::create_directories(simDir);
    std::ofstream(simDir / "scenario.json") << Scenario(r);
    readers.push_back(std::make_unique<zq::test::SimulatedReader>(zq::test::SimOptions{
        .dir = simDir.string(), .scenario = (simDir / "scenario.json").string(), .unit = r,
        .extraArgs = {"--serial", "SIM000" + std::to_string(r + 1)}}));
    if (!readers.back()->published()) {
      std::cerr << "zelquar-soak: simulated reader " << r << " did not start\n";
      return 2;
    }
  }

  const std::string self = fs::read_symlink("/proc/self/exe").string();
  const auto started = Clock::now();
  std::vector<std::unique_ptr<zq::test::ChildProcess>> workers;
  for (int w = 0; w < kWorkers; ++w) {
    const fs::path mirror = dir / ("mirror" + std::to_string(w) + ".txt");
    workers.push_back(std::make_unique<zq::test::ChildProcess>(
        std::vector<std::string>{self, "--worker", std::to_string(w), "--library", (install / "libZELQUAR_Drv.so").string(),
                                 "--seconds", std::to_string(o.seconds), "--seed", std::to_string(o.seed * 31 + w),
                                 "--mirror", mirror.string()},
        std::map<std::string, std::string>{{"ZELQUAR_SIM_DIR", readers[kReaderOf[w]]->dir()},
                                           {"ZELQUAR_LOG_MIRROR", mirror.string()},
                                           {"ZELQUAR_NAMESPACE", ns}},
        install.string()));
  }

  // Faults until the workers' time is up.
  std::mt19937 rng(o.seed);
  std::map<std::string, uint64_t> faults;
  uint64_t faultsRefused = 0;
  const auto end = started + std::chrono::milliseconds(static_cast<int64_t>(o.seconds * 1000));
  while (Clock::now() + std::chrono::milliseconds(o.faultMs) < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(o.faultMs));
    zq::test::SimulatedReader& reader = *readers[std::uniform_int_distribution<int>(0, kReaders - 1)(rng)];
    const int kind = std::uniform_int_distribution<int>(0, 4)(rng);
    std::string answer;
    std::string name;
    if (kind == 0) {
      name = "drop-reply";
      answer = reader.Control("fault drop-reply 1");
    } else if (kind == 1) {
      name = "bad-check";
      answer = reader.Control("fault bad-check 1");
    } else if (kind == 2) {
      name = "stall";
      answer = reader.Control("fault stall 1");
    } else if (kind == 3) {
      char sw[8];
      std::snprintf(sw, sizeof sw, "64%02X", std::uniform_int_distribution<int>(5, 14)(rng));
      name = std::string("status ") + sw;
      answer = reader.Control(std::string("fault status ") + sw + " 1");
    } else {
      name = "unplug-replug";
      answer = reader.Control("unplug");
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      if (answer == "OK") answer = reader.Control("replug");
    }
    if (answer == "OK") {
      ++faults[name];
    } else {
      ++faultsRefused;
    }
  }

  // The workers end by themselves; one that does not within the longest
  // bound after its time is hung.
  const int64_t grace =
      zq::soak::OpenBoundMs(settings, zq::soak::CallBoundMs(settings, kOpInfo[kWrite].exchanges)) + 10000;
  json report;
  report["seconds"] = o.seconds;
  report["workers"] = json::array();
  bool clean = true;
  std::vector<std::string> mirrorLines;
  std::map<std::string, uint64_t> sent, answered;
  uint64_t hangs = 0, mismatches = 0;
  for (int w = 0; w < kWorkers; ++w) {
    const int64_t left = std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
    std::optional<std::string> line;
    while ((line = workers[w]->ReadLine(static_cast<int>(left + grace))) && (line->empty() || (*line)[0] != '{')) {
    }
    json r = line ? json::parse(*line, nullptr, false) : json();
    if (!line || r.is_discarded() || r.contains("error")) {
      clean = false;
      report["workers"].push_back({{"worker", w}, {"error", line ? *line : std::string("no report: hung or crashed")}});
      workers[w]->Kill(SIGKILL);
      workers[w]->Wait();
      continue;
    }
    const auto code = workers[w]->WaitFor(30000);
    if (code != 0) {
      clean = false;
      r["exit"] = code ? *code : -1;
    }
    hangs += r["hangs"].size();
    mismatches += r["mismatches"].size();
    for (const auto& [op, n] : r["sent"].items()) sent[op] += n.get<uint64_t>();
    for (const auto& [op, n] : r["answered"].items()) answered[op] += n.get<uint64_t>();
    MirrorLines(dir / ("mirror" + std::to_string(w) + ".txt"), r["mirror_from"], r["mirror_to"], &mirrorLines);
    report["workers"].push_back(r);
  }
  readers.clear();

  // The collector ends once every process that loaded the library has
  // gone and it has written out what it held.
  const fs::path collector = install / "ZELQUAR_Outlog";
  bool collectorEnded = false;
  for (int i = 0; i < 300 && !collectorEnded; ++i) {
    collectorEnded = CollectorsOf(collector).empty();
    if (!collectorEnded) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (!collectorEnded) {
    clean = false;
    for (pid_t pid : CollectorsOf(collector)) kill(pid, SIGKILL);
  }

  // Named objects still there once every process has gone (reported, then
  // removed so that runs do not pile them up).
  const std::vector<std::string> leftovers = zq::test::NamespaceObjects(ns);
  zq::test::RemoveNamespaceObjects(ns);

  std::string logText;
  std::vector<std::string> logFiles;
  for (int i = 20; i >= 0; --i) {
    const fs::path file = install / (i == 0 ? std::string("ZELQUAR_DrvDLL_Log.LOG") : "ZELQUAR_DrvDLL_Log" + std::to_string(i) + ".LOG");
    if (!fs::exists(file)) continue;
    logFiles.push_back(file.filename().string());
    const std::string bytes = ReadFile(file);
    zq::logview::DecodeToText(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), true, &logText);
  }
  const zq::soak::LogAccount account = zq::soak::AccountRecords(mirrorLines, logText);
  clean = clean && hangs == 0 && mismatches == 0 && account.lost == 0 && account.damaged == 0 &&
          account.lostNotices == 0 && account.sent > 0;

  report["faults"] = faults;
  report["faults_refused"] = faultsRefused;
  report["sent"] = sent;
  report["answered"] = answered;
  report["hangs"] = hangs;
  report["mismatches"] = mismatches;
  report["log"] = {{"files", logFiles},          {"records_sent", account.sent},   {"records_found", account.found},
                   {"records_lost", account.lost}, {"log_records", account.logRecords}, {"damaged", account.damaged},
                   {"lost_notices", account.lostNotices}, {"lost_examples", account.lostExamples}};
  report["collector_ended"] = collectorEnded;
  report["leftover_objects"] = leftovers;
  report["elapsed_s"] = Ms(started) / 1000;
  report["clean"] = clean;
  std::cout << report.dump(1) << std::endl;

  uint64_t sentAll = 0, answeredAll = 0, faultsAll = 0;
  for (const auto& [op, n] : sent) sentAll += n;
  for (const auto& [op, n] : answered) answeredAll += n;
  for (const auto& [k, n] : faults) faultsAll += n;
  std::fprintf(stderr,
               "zelquar-soak: %.0f s, %d processes, %d readers: %llu calls sent, %llu answered; %llu faults injected; "
               "%llu hangs, %llu mismatches; log records %llu sent, %llu found, %llu lost, %llu damaged: %s\n",
               o.seconds, kWorkers, kReaders, static_cast<unsigned long long>(sentAll),
               static_cast<unsigned long long>(answeredAll), static_cast<unsigned long long>(faultsAll),
               static_cast<unsigned long long>(hangs), static_cast<unsigned long long>(mismatches),
               static_cast<unsigned long long>(account.sent), static_cast<unsigned long long>(account.found),
               static_cast<unsigned long long>(account.lost), static_cast<unsigned long long>(account.damaged),
               clean ? "clean" : "NOT CLEAN");
  if (!o.keep) {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  return clean ? 0 : 1;
}

int Usage() {
  std::cerr << "usage: zelquar-soak [--minutes N | --seconds N] [--fault-ms MS] [--seed N] [--dir DIR] [--keep]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  auto value = [&](size_t& i) -> std::optional<std::string> {
    if (i + 1 >= args.size()) return std::nullopt;
    return args[++i];
  };
  if (!args.empty() && args[0] == "--worker") {
    int index = -1;
    std::string library, mirror;
    double seconds = 0;
    uint32_t seed = 0;
    for (size_t i = 0; i < args.size(); ++i) {
      if (args[i] == "--worker") index = std::stoi(value(i).value_or("-1"));
      else if (args[i] == "--library") library = value(i).value_or("");
      else if (args[i] == "--seconds") seconds = std::stod(value(i).value_or("0"));
      else if (args[i] == "--seed") seed = static_cast<uint32_t>(std::stoul(value(i).value_or("0")));
      else if (args[i] == "--mirror") mirror = value(i).value_or("");
    }
    if (index < 0 || index >= kWorkers || library.empty()) return Usage();
    return Worker(index, library, seconds, seed, mirror).Run();
  }
  Options o;
  o.seed = static_cast<uint32_t>(getpid());
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::optional<std::string> v;
    if (a == "--keep") {
      o.keep = true;
      continue;
    }
    if (!(v = value(i))) return Usage();
    if (a == "--minutes") o.seconds = 60 * std::stod(*v);
    else if (a == "--seconds") o.seconds = std::stod(*v);
    else if (a == "--fault-ms") o.faultMs = std::stoi(*v);
    else if (a == "--seed") o.seed = static_cast<uint32_t>(std::stoul(*v));
    else if (a == "--dir") o.dir = *v;
    else return Usage();
  }
  return RunSoak(o);
}
