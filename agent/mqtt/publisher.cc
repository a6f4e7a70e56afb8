// The reader service's MQTT publisher (agent/mqtt/publisher.h) on Paho's
// asynchronous client.
//
// Sections: pure parts; commands; the link (the Paho client, its callbacks,
// the messages in flight); the publisher (start, stop, health and config);
// the sender; the command runner; the bridge.
#include "agent/mqtt/publisher.h"

#include <MQTTAsync.h>

#include <algorithm>
#include <chrono>
#include <iostream>

#include "agent/http_api.h"
#include "platform/os/clock.h"

namespace zq::agent::mqtt {

namespace {

constexpr size_t kBatchEvents = 200;        // events per message at most
constexpr size_t kWindow = 16;              // event messages in flight at most
constexpr size_t kMostReplayed = 1000;      // events per replay answer at most
constexpr int64_t kCursorSaveEveryMs = 200;  // the cursor is written at most this often
constexpr int64_t kRetryFirstMs = 500, kRetryMostMs = 16000;
constexpr int kSessionExpiryS = 7 * 24 * 3600;
constexpr const char* kOnline = "online";
constexpr const char* kOffline = "offline";
constexpr const char* kLost = "lost";

void Replace(std::string* text, const std::string& what, const std::string& with) {
  for (size_t at = text->find(what); at != std::string::npos; at = text->find(what, at + with.size()))
    text->replace(at, what.size(), with);
}

// A reader's name as one topic level ('/', '+', '#' would split or match).
std::string Level(std::string name) {
  for (char& c : name)
    if (c == '/' || c == '+' || c == '#' || c == ' ') c = '_';
  return name;
}

// MQTT 3.1.1's CONNACK return codes.
const char* ConnackText(int code) {
  switch (code) {
    case 1: return "unacceptable protocol version";
    case 2: return "client id refused";
    case 3: return "server unavailable";
    case 4: return "bad user name or password";
    case 5: return "not authorized";
  }
  return "refused";
}

}  // namespace

// ---- pure parts ------------------------------------------------------------------------------

std::string TopicPrefix(const Config& config, const std::string& reader) {
  std::string prefix = config.mqttPrefix;
  Replace(&prefix, "{site}", config.site);
  Replace(&prefix, "{reader}", Level(reader));
  return prefix;
}

std::string ClientId(const Config& config, const std::string& reader) {
  const std::string base = config.mqttClientId.empty() ? "zelquar-" + config.site : config.mqttClientId;
  return base + "-" + Level(reader);
}

std::string ServerUri(const std::string& url) {
  const bool tls = url.rfind("mqtts://", 0) == 0;
  std::string rest = url.substr(tls ? 8 : 7);
  if (rest.find(':') == std::string::npos || (rest[0] == '[' && rest.back() == ']')) rest += tls ? ":8883" : ":1883";
  return (tls ? "ssl://" : "tcp://") + rest;
}

std::string EpcisPayload(const std::vector<StoredEvent>& events, const std::string& readPoint, int64_t nowMs) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const StoredEvent& stored : events) {
    if (stored.type != "appear" && stored.type != "leave") continue;
    const nlohmann::json e = nlohmann::json::parse(stored.json, nullptr, false);
    if (!e.is_object() || !e.contains("identity") || !e["identity"].is_object()) continue;
    const nlohmann::json& id = e["identity"];
    const std::string uri = id.contains("pure_uri") ? id.value("pure_uri", "") : id.value("uri", "");
    if (uri.empty()) continue;
    nlohmann::ordered_json o;
    o["type"] = "ObjectEvent";
    o["eventTime"] = e.value("time", UtcText(nowMs));
    o["eventTimeZoneOffset"] = "+00:00";
    o["epcList"] = {uri};
    o["action"] = "OBSERVE";
    o["readPoint"] = {{"id", readPoint}};
    o["zq:reader"] = stored.reader;
    o["zq:seq"] = stored.seq;
    o["zq:boot"] = e.value("boot", "");
    o["zq:type"] = stored.type;
    list.push_back(std::move(o));
  }
  if (list.empty()) return "";
  nlohmann::ordered_json doc;
  doc["@context"] = {"https://ref.gs1.org/standards/epcis/2.0.0/epcis-context.jsonld", {{"zq", "urn:zelquar:epcis:"}}};
  doc["type"] = "EPCISDocument";
  doc["schemaVersion"] = "2.0";
  doc["creationDate"] = UtcText(nowMs);
  doc["epcisBody"] = {{"eventList", list}};
  return doc.dump();
}

// ---- commands --------------------------------------------------------------------------------

nlohmann::json CommandHandler::Handle(const std::string& name, const std::string& payload) {
  const nlohmann::json command = nlohmann::json::parse(payload, nullptr, false);
  auto refuse = [&](const nlohmann::json& id, int status, const std::string& message) {
    return nlohmann::json{{"id", id}, {"command", name}, {"status", status}, {"result", "refused"}, {"message", message}};
  };
  if (command.is_discarded() || !command.is_object()) return refuse(nullptr, 400, "a command is a JSON object with an \"id\"");
  const nlohmann::json id = command.contains("id") ? command["id"] : nlohmann::json();
  if (!(id.is_string() && !id.get<std::string>().empty()) && !id.is_number_integer())
    return refuse(id, 400, "id: a string or a whole number that names this command (it is executed once per id)");
  // A replay changes nothing and its answer is large: run again, not remembered.
  if (name == "replay") {
    nlohmann::json answer = Replay(command);
    answer["id"] = id;
    answer["command"] = name;
    return answer;
  }
  const std::string key = id.dump();
  std::unique_lock<std::mutex> lock(mutex_);
  // A second delivery while the first still runs waits for its answer.
  done_.wait(lock, [&] { return !running_.count(key); });
  const std::string group = "mqtt commands " + reader_;
  if (std::string kept; journal_->Note(group, key, &kept)) {
    nlohmann::json again = nlohmann::json::parse(kept, nullptr, false);
    if (again.is_object()) {
      again["duplicate"] = true;
      return again;
    }
  }
  running_.insert(key);
  lock.unlock();
  nlohmann::json answer;
  try {
    answer = Execute(name, command);
  } catch (const std::exception& e) {
    // The checks before an operation keep its fields' types; this is the net under them.
    answer = {{"status", 400}, {"result", "refused"}, {"message", std::string("malformed command: ") + e.what()}};
  }
  answer["id"] = id;
  answer["command"] = name;
  // Kept before the id is released, so that a second delivery finds it.
  if (!journal_->KeepNote(group, key, answer.dump(), kRemembered))
    std::cerr << "zelquar-agent: mqtt " << reader_ << ": the answer to command " << key << " could not be kept\n";
  lock.lock();
  running_.erase(key);
  lock.unlock();
  done_.notify_all();
  return answer;
}

nlohmann::json CommandHandler::Execute(const std::string& name, const nlohmann::json& command) {
  if (name == "start" || name == "stop") {
    const Service::Answer a = service_->SetInventory(reader_, name == "start");
    nlohmann::json j = a.body;
    j["status"] = a.status;
    return j;
  }
  const Service::Answer a = Operate(service_, reader_, name, command);
  nlohmann::json j = a.body;
  j["status"] = a.status;
  if (a.status == 404 && j.value("result", "") == "refused")
    j["message"] = "no command " + name + " (start, stop, inventory, power, read, write, lock, kill, write-epc, replay)";
  return j;
}

nlohmann::json CommandHandler::Replay(const nlohmann::json& command) {
  auto whole = [&](const char* key) {
    return command.contains(key) && command[key].is_number_integer() && command[key].get<int64_t>() >= 1;
  };
  if (!whole("from") || (command.contains("to") && !whole("to")))
    return {{"status", 400}, {"result", "refused"}, {"message", "from (and to): the reader's sequence numbers, 1 or more"}};
  const uint64_t from = command["from"].get<uint64_t>();
  const uint64_t to = command.contains("to") ? command["to"].get<uint64_t>() : UINT64_MAX;
  if (to < from) return {{"status", 400}, {"result", "refused"}, {"message", "to: not below from"}};
  nlohmann::json events = nlohmann::json::array();
  bool more = false;
  for (const StoredEvent& e : journal_->AfterSeq(reader_, from - 1, kMostReplayed + 1)) {
    if (e.seq > to) break;
    if (events.size() == kMostReplayed) {
      more = true;
      break;
    }
    events.push_back(nlohmann::json::parse(e.json));
  }
  return {{"status", 200}, {"result", "ok"}, {"events", events}, {"more", more}};
}

// ---- the link --------------------------------------------------------------------------------

// A command as it came: its name, payload and where to answer.
struct Incoming {
  std::string name, payload, responseTopic, correlation;
};

struct Link {
  explicit Link(ReaderPublisher* o) : owner(o) {}
  ~Link() { Destroy(); }

  struct Sent {
    uint64_t id = 0;    // this message's number in the link (the callbacks' context names it)
    uint64_t last = 0;  // the last sequence number it carries
    bool acked = false;
  };
  // What a callback needs: the link and the message's number (0 for a
  // message that is not an events message).
  struct Context {
    Link* link;
    uint64_t id;
  };

  ReaderPublisher* owner;
  MQTTAsync client = nullptr;
  std::atomic<int> version{MQTTVERSION_5};  // remade only by the sender, read by the runner too
  std::mutex mutex;
  std::condition_variable changed;
  // Held while the client is used from the runner or remade by the sender
  // (the fall back to 3.1.1 destroys it); never taken in a callback.
  std::mutex clientMutex;
  bool connected = false, connecting = false, justConnected = false, fallBack = false, rewind = false;
  std::deque<Sent> inFlight;
  uint64_t nextId = 1;
  std::deque<Incoming> commands;
  std::string lastError;

  bool Create(std::string* error) {
    MQTTAsync_createOptions o = MQTTAsync_createOptions_initializer5;
    o.MQTTVersion = version;
    const std::string uri = ServerUri(owner->config_.mqttUrl);
    const std::string id = ClientId(owner->config_, owner->reader_);
    const int rc = MQTTAsync_createWithOptions(&client, uri.c_str(), id.c_str(), MQTTCLIENT_PERSISTENCE_NONE, nullptr, &o);
    if (rc != MQTTASYNC_SUCCESS) {
      *error = std::string("mqtt: cannot make a client for ") + uri + ": " + MQTTAsync_strerror(rc);
      client = nullptr;
      return false;
    }
    MQTTAsync_setCallbacks(client, this, &Link::OnLost, &Link::OnMessage, nullptr);
    return true;
  }

  void Destroy() {
    if (client) MQTTAsync_destroy(&client);
    client = nullptr;
  }

  // Starts a connection; its end comes to OnConnected / OnConnectFailed.
  void Connect() {
    const Config& c = owner->config_;
    const std::string status = owner->prefix_ + "status";
    MQTTAsync_willOptions will = MQTTAsync_willOptions_initializer;
    will.topicName = status.c_str();
    will.message = kLost;
    will.retained = 1;
    will.qos = 1;
    MQTTAsync_SSLOptions ssl = MQTTAsync_SSLOptions_initializer;
    ssl.trustStore = c.mqttCa.empty() ? nullptr : c.mqttCa.c_str();
    ssl.keyStore = c.mqttCert.empty() ? nullptr : c.mqttCert.c_str();
    ssl.privateKey = c.mqttKey.empty() ? nullptr : c.mqttKey.c_str();
    ssl.enableServerCertAuth = 1;
    ssl.verify = 1;
    MQTTAsync_connectOptions o = MQTTAsync_connectOptions_initializer;
    MQTTProperties props = MQTTProperties_initializer;
    if (version == MQTTVERSION_5) {
      o = MQTTAsync_connectOptions_initializer5;
      // A persistent session: the broker keeps the subscription and what it
      // queued while the agent was away (cleanstart 0 and an expiry).
      o.cleanstart = 0;
      MQTTProperty expiry;
      expiry.identifier = MQTTPROPERTY_CODE_SESSION_EXPIRY_INTERVAL;
      expiry.value.integer4 = kSessionExpiryS;
      MQTTProperties_add(&props, &expiry);
      o.connectProperties = &props;
      o.onSuccess5 = [](void* ctx, MQTTAsync_successData5*) { static_cast<Link*>(ctx)->OnConnected(); };
      o.onFailure5 = [](void* ctx, MQTTAsync_failureData5* f) {
        static_cast<Link*>(ctx)->OnConnectFailed(f ? f->code : MQTTASYNC_FAILURE, f ? f->reasonCode : 0, f && f->message ? f->message : "");
      };
    } else {
      o.MQTTVersion = MQTTVERSION_3_1_1;
      o.cleansession = 0;
      o.onSuccess = [](void* ctx, MQTTAsync_successData*) { static_cast<Link*>(ctx)->OnConnected(); };
      o.onFailure = [](void* ctx, MQTTAsync_failureData* f) {
        static_cast<Link*>(ctx)->OnConnectFailed(f ? f->code : MQTTASYNC_FAILURE, 0, f && f->message ? f->message : "");
      };
    }
    o.context = this;
    o.keepAliveInterval = 10;
    o.connectTimeout = 10;
    o.will = &will;
    if (!c.mqttUser.empty()) o.username = c.mqttUser.c_str();
    if (!c.mqttPassword.empty()) o.password = c.mqttPassword.c_str();
    if (c.mqttUrl.rfind("mqtts://", 0) == 0) o.ssl = &ssl;
    {
      std::lock_guard<std::mutex> lock(mutex);
      connecting = true;
    }
    const int rc = MQTTAsync_connect(client, &o);
    MQTTProperties_free(&props);
    if (rc != MQTTASYNC_SUCCESS) OnConnectFailed(rc, 0, MQTTAsync_strerror(rc));
  }

  void OnConnected() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      connected = true;
      connecting = false;
      justConnected = true;
      lastError.clear();
    }
    ++owner->stats_.connects;
    owner->stats_.connected = true;
    changed.notify_all();
  }

  void OnConnectFailed(int code, int reason, const std::string& message) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      connecting = false;
      // A broker of MQTT 3.1.1 refuses 5 with its "unacceptable protocol
      // version" (1) or 5's "unsupported protocol version" (0x84).
      if (version == MQTTVERSION_5 && (reason == MQTTREASONCODE_UNSUPPORTED_PROTOCOL_VERSION || code == 1)) fallBack = true;
      lastError = (message.empty() ? std::string("cannot connect to ") + ServerUri(owner->config_.mqttUrl) + ": " + MQTTAsync_strerror(code) : message) + " (" + std::to_string(code) + ")";
      // Paho gives a refused CONNECT's reason as the reason code (an MQTT 5
      // CONNACK) or as the code (a 3.1.1 CONNACK's return code, also when 5 was asked).
      const int why = reason ? reason : code > 0 ? code : 0;
      // MQTT 5's reason codes of a refusal are 0x80 and above, 3.1.1's return codes 1 to 5.
      if (why) lastError += std::string(" (") + (why >= 0x80 ? MQTTReasonCode_toString(static_cast<MQTTReasonCodes>(why)) : ConnackText(why)) + ")";
    }
    changed.notify_all();
  }

  static void OnLost(void* ctx, char* cause) {
    Link* l = static_cast<Link*>(ctx);
    {
      std::lock_guard<std::mutex> lock(l->mutex);
      l->connected = false;
      l->rewind = true;
      l->lastError = cause ? cause : "the connection was lost";
    }
    l->owner->stats_.connected = false;
    l->changed.notify_all();
  }

  static int OnMessage(void* ctx, char* topic, int topicLength, MQTTAsync_message* m) {
    Link* l = static_cast<Link*>(ctx);
    const std::string name(topicLength > 0 ? std::string(topic, static_cast<size_t>(topicLength)) : std::string(topic));
    const std::string cmd = l->owner->prefix_ + "cmd/";
    Incoming in;
    in.name = name.rfind(cmd, 0) == 0 ? name.substr(cmd.size()) : name;
    in.payload.assign(static_cast<const char*>(m->payload), static_cast<size_t>(std::max(0, m->payloadlen)));
    if (MQTTProperty* p = MQTTProperties_getProperty(&m->properties, MQTTPROPERTY_CODE_RESPONSE_TOPIC))
      in.responseTopic.assign(p->value.data.data, static_cast<size_t>(p->value.data.len));
    if (MQTTProperty* p = MQTTProperties_getProperty(&m->properties, MQTTPROPERTY_CODE_CORRELATION_DATA))
      in.correlation.assign(p->value.data.data, static_cast<size_t>(p->value.data.len));
    MQTTAsync_freeMessage(&m);
    MQTTAsync_free(topic);
    {
      std::lock_guard<std::mutex> lock(l->mutex);
      l->commands.push_back(std::move(in));
    }
    l->changed.notify_all();
    return 1;
  }

  // The broker acknowledged (or failed) the events message `id`: the cursor
  // moves over every acknowledged message at the front, in order.
  void OnSent(uint64_t id, bool ok) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      auto it = std::find_if(inFlight.begin(), inFlight.end(), [&](const Sent& s) { return s.id == id; });
      if (it == inFlight.end()) return;  // of a connection given up: sent again since
      if (!ok) {
        rewind = true;
      } else {
        it->acked = true;
        while (!inFlight.empty() && inFlight.front().acked) {
          owner->stats_.acked = inFlight.front().last;
          ++owner->stats_.messages;
          inFlight.pop_front();
        }
      }
    }
    changed.notify_all();
  }

  // Publishes at QoS 1; an events message (last > 0) is tracked until the
  // broker acknowledges it. False when the client refused it.
  bool Publish(const std::string& topic, const std::string& payload, bool retained, uint64_t last = 0,
               const std::string& correlation = "") {
    MQTTAsync_message m = MQTTAsync_message_initializer;
    m.payload = const_cast<char*>(payload.data());
    m.payloadlen = static_cast<int>(payload.size());
    m.qos = 1;
    m.retained = retained ? 1 : 0;
    if (version == MQTTVERSION_5 && !correlation.empty()) {
      MQTTProperty p;
      p.identifier = MQTTPROPERTY_CODE_CORRELATION_DATA;
      p.value.data.data = const_cast<char*>(correlation.data());
      p.value.data.len = static_cast<int>(correlation.size());
      MQTTProperties_add(&m.properties, &p);
    }
    MQTTAsync_responseOptions r = MQTTAsync_responseOptions_initializer;
    Context* context = nullptr;
    if (last) {
      std::lock_guard<std::mutex> lock(mutex);
      context = new Context{this, nextId++};
      inFlight.push_back(Sent{context->id, last, false});
      r.context = context;
      if (version == MQTTVERSION_5) {
        r.onSuccess5 = [](void* ctx, MQTTAsync_successData5*) { Done(ctx, true); };
        r.onFailure5 = [](void* ctx, MQTTAsync_failureData5*) { Done(ctx, false); };
      } else {
        r.onSuccess = [](void* ctx, MQTTAsync_successData*) { Done(ctx, true); };
        r.onFailure = [](void* ctx, MQTTAsync_failureData*) { Done(ctx, false); };
      }
    }
    int rc = MQTTASYNC_DISCONNECTED;
    {
      std::lock_guard<std::mutex> lock(clientMutex);
      if (client) rc = MQTTAsync_sendMessage(client, topic.c_str(), &m, &r);
    }
    MQTTProperties_free(&m.properties);
    if (rc != MQTTASYNC_SUCCESS && context) {
      std::lock_guard<std::mutex> lock(mutex);
      std::erase_if(inFlight, [&](const Sent& s) { return s.id == context->id; });
      rewind = true;
      delete context;
    }
    return rc == MQTTASYNC_SUCCESS;
  }

  // Events with nothing to send count as acknowledged, in their turn.
  void PassOver(uint64_t last) {
    uint64_t id;
    {
      std::lock_guard<std::mutex> lock(mutex);
      id = nextId++;
      inFlight.push_back(Sent{id, last, false});
    }
    OnSent(id, true);
  }

  static void Done(void* ctx, bool ok) {
    Context* c = static_cast<Context*>(ctx);
    c->link->OnSent(c->id, ok);
    delete c;
  }
};

// ---- the publisher -----------------------------------------------------------------------------

namespace {
// Waits for one callback.
struct Waiter {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  void Finish() {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
    cv.notify_all();
  }
  void Wait(uint32_t ms) {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return done; });
  }
};

// Milliseconds of the monotonic clock: the sender's pacing and retries.
int64_t Steady() { return platform::MonotonicMicroseconds() / 1000; }
}  // namespace

ReaderPublisher::ReaderPublisher(const Config& config, Service* service, Journal* journal, std::string reader)
    : config_(config),
      service_(service),
      journal_(journal),
      reader_(std::move(reader)),
      prefix_(TopicPrefix(config, reader_)),
      cursorName_("mqtt " + config.mqttUrl + " " + prefix_),
      commands_(service, journal, reader_),
      link_(std::make_unique<Link>(this)) {}

ReaderPublisher::~ReaderPublisher() { Stop(); }

bool ReaderPublisher::Start(std::string* error) {
  if (config_.mqtt311) link_->version = MQTTVERSION_3_1_1;
  if (!link_->Create(error)) return false;
  stats_.acked = journal_->Cursor(cursorName_);
  sender_ = std::thread([this] { SendLoop(); });
  runner_ = std::thread([this] { CommandLoop(); });
  return true;
}

void ReaderPublisher::Stop(uint32_t drainMs) {
  if (!sender_.joinable()) return;
  {
    // The sender sends what the journal holds for at most drainMs, then stops.
    std::unique_lock<std::mutex> lock(link_->mutex);
    link_->changed.wait_for(lock, std::chrono::milliseconds(drainMs), [&] {
      return !link_->connected || (link_->inFlight.empty() && journal_->LastSeq(reader_) <= stats_.acked);
    });
  }
  // The runner first: it may still publish an answer through the client.
  commandsStopping_ = true;
  link_->changed.notify_all();
  runner_.join();
  stopping_ = true;
  link_->changed.notify_all();
  sender_.join();
}

void ReaderPublisher::HealthAndConfig(bool configToo) {
  const uint64_t last = journal_->LastSeq(reader_), acked = stats_.acked;
  nlohmann::json health = {{"reader", reader_},
                           {"time", UtcText(NowMs())},
                           {"acked_seq", acked},
                           {"last_seq", last},
                           {"backlog", last > acked ? last - acked : 0},
                           {"connects", stats_.connects.load()},
                           {"messages", stats_.messages.load()},
                           {"commands", stats_.commands.load()},
                           {"service", service_->HealthJson()}};
  link_->Publish(prefix_ + "health", health.dump(), false);
  if (!configToo) return;
  nlohmann::json config = {{"reader", reader_},
                           {"site", config_.site},
                           {"prefix", prefix_},
                           {"client_id", ClientId(config_, reader_)},
                           {"protocol", link_->version == MQTTVERSION_5 ? "5" : "3.1.1"},
                           {"interval_ms", config_.intervalMs},
                           {"session", config_.session},
                           {"rounds", config_.rounds},
                           {"leave_after_ms", config_.leaveAfterMs},
                           {"summary_ms", config_.summaryMs},
                           {"journal_max_events", config_.journalMaxEvents},
                           {"journal_max_age_s", config_.journalMaxAgeS},
                           {"mqtt_max_rate", config_.mqttMaxRate},
                           {"mqtt_health_s", config_.mqttHealthS},
                           {"format", config_.mqttEpcis ? "epcis" : "json"}};
  link_->Publish(prefix_ + "config", config.dump(), true);
}

// ---- the sender --------------------------------------------------------------------------------

void ReaderPublisher::SendLoop() {
  Link& l = *link_;
  uint64_t sent = stats_.acked, saved = stats_.acked;
  int64_t nextConnect = 0, retry = kRetryFirstMs, lastSave = 0, nextHealth = 0;
  double tokens = config_.mqttMaxRate;
  int64_t lastRefill = Steady();
  std::string reported;
  std::string readPoint = config_.epcisReadPoint;
  Replace(&readPoint, "{site}", config_.site);
  Replace(&readPoint, "{reader}", Level(reader_));
  while (!stopping_) {
    const int64_t now = Steady();
    // The cursor: written through now and then, not at every acknowledgement.
    if (stats_.acked != saved && now - lastSave >= kCursorSaveEveryMs && journal_->SetCursor(cursorName_, stats_.acked)) {
      saved = stats_.acked;
      lastSave = now;
    }
    bool connected, connecting, justConnected, fallBack;
    {
      std::lock_guard<std::mutex> lock(l.mutex);
      connected = l.connected;
      connecting = l.connecting;
      justConnected = l.justConnected;
      fallBack = l.fallBack;
      l.justConnected = l.fallBack = false;
      if (l.rewind || !connected) {
        // What was in flight goes again from the cursor (a duplicate at worst).
        l.rewind = false;
        l.inFlight.clear();
        sent = stats_.acked;
      }
      if (!connected && !connecting && !l.lastError.empty() && l.lastError != reported) {
        reported = l.lastError;
        std::cerr << "zelquar-agent: mqtt " << reader_ << ": " << reported << "\n";
      }
    }
    if (fallBack) {
      std::cerr << "zelquar-agent: mqtt " << reader_ << ": the broker has no MQTT 5, trying 3.1.1\n";
      std::lock_guard<std::mutex> lock(l.clientMutex);
      l.Destroy();
      l.version = MQTTVERSION_3_1_1;
      std::string error;
      if (!l.Create(&error)) std::cerr << "zelquar-agent: " << error << "\n";
      nextConnect = 0;
    }
    if (!connected) {
      if (!connecting && now >= nextConnect && l.client) {
        l.Connect();
        nextConnect = now + retry;
        retry = std::min(retry * 2, kRetryMostMs);
      }
      std::unique_lock<std::mutex> lock(l.mutex);
      l.changed.wait_for(lock, std::chrono::milliseconds(100));
      continue;
    }
    retry = kRetryFirstMs;
    if (justConnected) {
      reported.clear();
      MQTTAsync_responseOptions r = MQTTAsync_responseOptions_initializer;
      MQTTAsync_subscribe(l.client, (prefix_ + "cmd/+").c_str(), 1, &r);
      l.Publish(prefix_ + "status", kOnline, true);
      HealthAndConfig(true);
      nextHealth = now + static_cast<int64_t>(config_.mqttHealthS) * 1000;
    }
    if (config_.mqttHealthS && now >= nextHealth) {
      HealthAndConfig(false);
      nextHealth = now + static_cast<int64_t>(config_.mqttHealthS) * 1000;
    }
    // The cap on messages per second: a bucket of one second's messages.
    tokens = std::min<double>(config_.mqttMaxRate, tokens + static_cast<double>(now - lastRefill) * config_.mqttMaxRate / 1000.0);
    lastRefill = now;
    size_t inFlight;
    {
      std::lock_guard<std::mutex> lock(l.mutex);
      inFlight = l.inFlight.size();
    }
    if (inFlight >= kWindow || tokens < 1) {
      std::unique_lock<std::mutex> lock(l.mutex);
      l.changed.wait_for(lock, std::chrono::milliseconds(tokens < 1 ? std::max(1, static_cast<int>(1000 / config_.mqttMaxRate)) : 50));
      continue;
    }
    const int64_t mark = journal_->LastPosition();
    const std::vector<StoredEvent> events = journal_->AfterSeq(reader_, sent, kBatchEvents);
    if (events.empty()) {
      if (!journal_->WaitBeyond(mark, 200)) {
        // The journal wakes every waiter for good when the service stops.
        std::unique_lock<std::mutex> lock(l.mutex);
        l.changed.wait_for(lock, std::chrono::milliseconds(50));
      }
      continue;
    }
    if (config_.mqttEpcis) {
      const std::string document = EpcisPayload(events, readPoint, NowMs());
      // Nothing of these events has an EPCIS form (reader, summary, gap): passed over.
      if (document.empty()) {
        l.PassOver(events.back().seq);
        sent = events.back().seq;
      } else if (l.Publish(prefix_ + "events", document, false, events.back().seq)) {
        sent = events.back().seq;
        tokens -= 1;
      }
      continue;
    }
    if (l.Publish(prefix_ + "events", EventsArrayJson(events), false, events.back().seq)) {
      sent = events.back().seq;
      tokens -= 1;
    }
  }
  // An orderly stop: "offline" replaces "online", the will is not sent.
  if (l.client && stats_.connected) {
    MQTTAsync_message m = MQTTAsync_message_initializer;
    m.payload = const_cast<char*>(kOffline);
    m.payloadlen = static_cast<int>(std::char_traits<char>::length(kOffline));
    m.qos = 1;
    m.retained = 1;
    MQTTAsync_responseOptions r = MQTTAsync_responseOptions_initializer;
    if (MQTTAsync_sendMessage(l.client, (prefix_ + "status").c_str(), &m, &r) == MQTTASYNC_SUCCESS)
      MQTTAsync_waitForCompletion(l.client, r.token, 2000);
    MQTTAsync_disconnectOptions d = MQTTAsync_disconnectOptions_initializer;
    d.timeout = 1000;
    Waiter waiter;
    d.context = &waiter;
    if (l.version == MQTTVERSION_5) {
      d.onSuccess5 = [](void* ctx, MQTTAsync_successData5*) { static_cast<Waiter*>(ctx)->Finish(); };
      d.onFailure5 = [](void* ctx, MQTTAsync_failureData5*) { static_cast<Waiter*>(ctx)->Finish(); };
    } else {
      d.onSuccess = [](void* ctx, MQTTAsync_successData*) { static_cast<Waiter*>(ctx)->Finish(); };
      d.onFailure = [](void* ctx, MQTTAsync_failureData*) { static_cast<Waiter*>(ctx)->Finish(); };
    }
    if (MQTTAsync_disconnect(l.client, &d) == MQTTASYNC_SUCCESS) waiter.Wait(2000);
  }
  if (stats_.acked != saved) journal_->SetCursor(cursorName_, stats_.acked);
  l.Destroy();
}

// ---- the command runner ----------------------------------------------------------------------

void ReaderPublisher::CommandLoop() {
  Link& l = *link_;
  while (!commandsStopping_) {
    Incoming in;
    {
      std::unique_lock<std::mutex> lock(l.mutex);
      l.changed.wait_for(lock, std::chrono::milliseconds(200), [&] { return commandsStopping_ || !l.commands.empty(); });
      if (l.commands.empty()) continue;
      in = std::move(l.commands.front());
      l.commands.pop_front();
    }
    const nlohmann::json answer = commands_.Handle(in.name, in.payload);
    // Without a response topic (MQTT 3.1.1, or a requester that set none)
    // the answer goes beside the command.
    const std::string topic = !in.responseTopic.empty() ? in.responseTopic : prefix_ + "cmd/" + Level(in.name) + "/reply";
    if (l.Publish(topic, answer.dump(), false, 0, in.correlation)) ++stats_.commands;
  }
}

// ---- the bridge ------------------------------------------------------------------------------

bool Bridge::Start(std::string* error) { return Sync(error); }

bool Bridge::Sync(std::string* error) {
  for (const auto& r : service_->ReadersJson()) {
    const std::string reader = r["serial"].get<std::string>();
    const bool served =
        std::any_of(publishers_.begin(), publishers_.end(), [&](const auto& p) { return p->reader() == reader; });
    if (served) continue;
    auto p = std::make_unique<ReaderPublisher>(config_, service_, journal_, reader);
    if (!p->Start(error)) return false;
    publishers_.push_back(std::move(p));
  }
  return true;
}

void Bridge::Stop() {
  for (auto& p : publishers_) p->Stop();
  publishers_.clear();
}

}  // namespace zq::agent::mqtt
