// The reader service's MQTT publisher against a real mosquitto broker (its
// own configuration, a loopback port, persistence in the test's directory),
// a simulated reader in its own process and the built agent. One whole
// conversation: tags coming and going arrive in order; commands with their
// correlation, a duplicate delivery executed once, malformed ones answered;
// the retained status after kill -9 (the will) and after SIGTERM; and a
// broker outage with an agent killed and restarted during it, after which
// every sequence number arrived, once duplicates are dropped, in order.
//
// EPCIS documents are checked against GS1's schema with python3-jsonschema.
//
// Sections: settings; EPCIS; the broker and a consumer; the conversation.
#include <MQTTAsync.h>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <functional>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "agent/model.h"
#include "agent/mqtt/publisher.h"
#include "tests/support/child_process.h"
#include "tests/support/install_dir.h"

namespace zq::test {
namespace {

using agent::Config;
using namespace std::chrono_literals;

// ---- settings --------------------------------------------------------------------------------

TEST(MqttSettings, KeysAreCheckedWithTheirPlaceAndMakeTheTopics) {
  struct Case {
    std::string text, error;
  } cases[] = {
      {"mqtt = mqtts://broker.example:8883\nsite = plant-7\nmqtt_ca = ca.pem\nmqtt_max_rate = 500\nmqtt_health_s = 0\n", ""},
      {"mqtt = http://broker\n", "a.conf:1: mqtt: mqtt://HOST[:PORT] or mqtts://HOST[:PORT]"},
      {"\nmqtt = mqtt://broker:99999\n", "a.conf:2: mqtt: mqtt://HOST[:PORT] or mqtts://HOST[:PORT]"},
      {"site = a/b\n", "a.conf:1: site: 1 to 64 letters, digits, '-', '_' or '.'"},
      {"mqtt_prefix = fleet/#/\n", "a.conf:1: mqtt_prefix: topic levels ending in '/', no wildcards ({site} and {reader} are replaced)"},
      {"mqtt_max_rate = 0\n", "a.conf:1: mqtt_max_rate: 1 to 100000 messages per second"},
      {"mqtt_health_s = often\n", "a.conf:1: mqtt_health_s: 0 (none) to 86400"},
      {"mqtt_format = xml\n", "a.conf:1: mqtt_format: json (the event JSON) or epcis (EPCIS 2.0 documents)"},
      {"mqtt_format = epcis\nepcis_read_point = urn:epc:id:sgln:0614141.00777.0\n", ""},
  };
  for (const Case& c : cases) {
    Config config;
    EXPECT_EQ(agent::ApplyConfigText(c.text, "a.conf", &config), c.error) << c.text;
  }
  Config config;
  std::string file;
  bool help = false;
  ASSERT_EQ(agent::ApplyFlags({"--mqtt", "mqtt://127.0.0.1", "--site=north"}, &config, &file, &help), "");
  EXPECT_EQ(agent::CheckConfig(config), "");
  EXPECT_EQ(agent::mqtt::TopicPrefix(config, "SIM/1"), "zelquar/v1/north/SIM_1/");
  EXPECT_EQ(agent::mqtt::ClientId(config, "SIM0001"), "zelquar-north-SIM0001");
  EXPECT_EQ(agent::mqtt::ServerUri(config.mqttUrl), "tcp://127.0.0.1:1883");
  EXPECT_EQ(agent::mqtt::ServerUri("mqtts://b:9000"), "ssl://b:9000");
  ASSERT_EQ(agent::ApplyConfigText("mqtt_cert = c.pem\n", "a.conf", &config), "");
  EXPECT_NE(agent::CheckConfig(config).find("needs its key"), std::string::npos);
}

// ---- EPCIS ------------------------------------------------------------------------------------

// 0 when python3-jsonschema finds the document valid against GS1's schema
// (Draft 7, with a format checker), else its exit code.
int ValidateEpcis(const std::string& document) {
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("zq-epcis-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + ".json"))
                               .string();
  std::ofstream(path) << document;
  ChildProcess python({"/usr/bin/python3", "-c",
                       "import json, sys, jsonschema\n"
                       "schema = json.load(open(sys.argv[1])); doc = json.load(open(sys.argv[2]))\n"
                       "jsonschema.Draft7Validator(schema, format_checker=jsonschema.FormatChecker()).validate(doc)\n",
                       ZQ_EPCIS_SCHEMA, path},
                      {});
  const int code = python.Wait();
  std::filesystem::remove(path);
  return code;
}

TEST(MqttEpcis, TagEventsBecomeObjectEventsValidAgainstTheSchema) {
  auto stored = [](uint64_t seq, const std::string& type, nlohmann::json fields) {
    agent::Event e{type, "SIM0001", 1796978641000 + static_cast<int64_t>(seq), std::move(fields)};
    return agent::StoredEvent{static_cast<int64_t>(seq), "SIM0001", seq, type, agent::EventJson(e, "0123456789abcdef", seq)};
  };
  const std::vector<agent::StoredEvent> events = {
      stored(1, "reader", {{"state", "online"}}),
      stored(2, "appear", {{"epc", "3074257BF7194E4000001A85"},
                           {"identity", {{"scheme", "sgtin-96"}, {"uri", "urn:epc:tag:sgtin-96:3.0614141.812345.6789"},
                                         {"pure_uri", "urn:epc:id:sgtin:0614141.812345.6789"}}}}),
      stored(3, "leave", {{"epc", "E2000017000000000000ABCD"}, {"identity", {{"uri", "urn:epc:raw:96.xE2000017000000000000ABCD"}}}}),
  };
  const std::string document = agent::mqtt::EpcisPayload(events, "urn:epc:id:sgln:0614141.00777.0", 1796978650000);
  ASSERT_FALSE(document.empty());
  EXPECT_EQ(ValidateEpcis(document), 0) << document;
  const nlohmann::json doc = nlohmann::json::parse(document);
  const nlohmann::json& list = doc["epcisBody"]["eventList"];
  ASSERT_EQ(list.size(), 2u) << "the reader event has no EPCIS form";
  EXPECT_EQ(list[0]["epcList"][0], "urn:epc:id:sgtin:0614141.812345.6789");
  EXPECT_EQ(list[1]["epcList"][0], "urn:epc:raw:96.xE2000017000000000000ABCD");
  EXPECT_EQ(list[1]["action"], "OBSERVE");
  EXPECT_EQ(list[1]["zq:seq"], 3);
  EXPECT_EQ(list[0]["readPoint"]["id"], "urn:epc:id:sgln:0614141.00777.0");
  // The validator refuses what the schema refuses: an ObjectEvent without its action.
  nlohmann::json broken = doc;
  broken["epcisBody"]["eventList"][0].erase("action");
  EXPECT_EQ(ValidateEpcis(broken.dump()), 1);  // the ValidationError
  EXPECT_EQ(agent::mqtt::EpcisPayload({events[0]}, "urn:x:y", 0), "");
}

// ---- the broker and a consumer ---------------------------------------------------------------

// A loopback port nobody listens on now: the system's choice for a socket
// bound to port 0, closed again (other tests on the machine take ports too).
uint16_t SomePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  uint16_t port = 0;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0)
    port = ntohs(a.sin_port);
  if (fd >= 0) ::close(fd);
  return port ? port : static_cast<uint16_t>(20000 + std::random_device()() % 20000);
}

// mosquitto on a loopback port, keeping sessions and retained messages in
// the directory across its restarts.
class Broker {
 public:
  // `head` goes before the plain listener, `tail` after it (more listeners).
  Broker(const std::string& dir, uint16_t port, const std::string& head = "", const std::string& tail = "") : dir_(dir), port_(port) {
    std::ofstream(dir_ + "/mosquitto.conf") << head << "persistence true\npersistence_location " << dir_ << "/\n"
                                            << "max_queued_messages 100000\nuser root\n"
                                            << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\n" << tail;
  }
  void Start() {
    process_ = std::make_unique<ChildProcess>(std::vector<std::string>{"/usr/sbin/mosquitto", "-c", dir_ + "/mosquitto.conf"},
                                              std::map<std::string, std::string>{});
    // Listening when a connection is taken.
    for (int i = 0; i < 100; ++i) {
      httplib::Client probe("127.0.0.1", port_);
      probe.set_connection_timeout(0, 100000);
      probe.set_read_timeout(0, 200000);
      // Not HTTP, but a refused connection tells a port nobody listens on yet.
      const httplib::Result res = probe.Get("/");
      if (res || res.error() != httplib::Error::Connection) break;
      std::this_thread::sleep_for(50ms);
    }
  }
  // SIGTERM: mosquitto writes its sessions and retained messages, then exits.
  void Stop() {
    if (!process_) return;
    process_->Kill(SIGTERM);
    process_->Wait();
    process_.reset();
  }
  uint16_t port() const { return port_; }

 private:
  std::string dir_;
  uint16_t port_;
  std::unique_ptr<ChildProcess> process_;
};

struct Message {
  std::string topic, payload, correlation;
  bool retained = false;
};

// A subscriber and publisher on Paho, MQTT 5, with a persistent session so
// that the broker keeps what arrives while it is away.
class Consumer {
 public:
  Consumer(uint16_t port, const std::string& id, bool persistent) {
    MQTTAsync_createOptions co = MQTTAsync_createOptions_initializer5;
    MQTTAsync_createWithOptions(&client_, ("tcp://127.0.0.1:" + std::to_string(port)).c_str(), id.c_str(),
                                MQTTCLIENT_PERSISTENCE_NONE, nullptr, &co);
    MQTTAsync_setCallbacks(client_, this, nullptr, &Consumer::OnMessage, nullptr);
    MQTTAsync_setConnected(client_, this, [](void* ctx, char*) {
      Consumer* c = static_cast<Consumer*>(ctx);
      std::lock_guard<std::mutex> lock(c->mutex_);
      c->connected_ = true;
      c->changed_.notify_all();
    });
    MQTTAsync_connectOptions o = MQTTAsync_connectOptions_initializer5;
    o.cleanstart = persistent ? 0 : 1;
    o.automaticReconnect = 1;
    o.minRetryInterval = 1;
    o.maxRetryInterval = 1;
    o.keepAliveInterval = 5;
    MQTTProperties props = MQTTProperties_initializer;
    MQTTProperty expiry;
    expiry.identifier = MQTTPROPERTY_CODE_SESSION_EXPIRY_INTERVAL;
    expiry.value.integer4 = persistent ? 3600 : 0;
    MQTTProperties_add(&props, &expiry);
    o.connectProperties = &props;
    EXPECT_EQ(MQTTAsync_connect(client_, &o), MQTTASYNC_SUCCESS);
    MQTTProperties_free(&props);
    std::unique_lock<std::mutex> lock(mutex_);
    EXPECT_TRUE(changed_.wait_for(lock, 10s, [&] { return connected_; })) << "the consumer did not connect";
  }
  ~Consumer() {
    MQTTAsync_disconnectOptions d = MQTTAsync_disconnectOptions_initializer5;
    MQTTAsync_disconnect(client_, &d);
    std::this_thread::sleep_for(50ms);
    MQTTAsync_destroy(&client_);
  }
  void Subscribe(const std::string& filter) {
    MQTTAsync_responseOptions r = MQTTAsync_responseOptions_initializer;
    ASSERT_EQ(MQTTAsync_subscribe(client_, filter.c_str(), 1, &r), MQTTASYNC_SUCCESS);
    ASSERT_EQ(MQTTAsync_waitForCompletion(client_, r.token, 5000), MQTTASYNC_SUCCESS);
  }
  void Publish(const std::string& topic, const std::string& payload, const std::string& responseTopic = "",
               const std::string& correlation = "") {
    MQTTAsync_message m = MQTTAsync_message_initializer;
    m.payload = const_cast<char*>(payload.data());
    m.payloadlen = static_cast<int>(payload.size());
    m.qos = 1;
    MQTTProperty p;
    if (!responseTopic.empty()) {
      p.identifier = MQTTPROPERTY_CODE_RESPONSE_TOPIC;
      p.value.data = {static_cast<int>(responseTopic.size()), const_cast<char*>(responseTopic.data())};
      MQTTProperties_add(&m.properties, &p);
    }
    if (!correlation.empty()) {
      p.identifier = MQTTPROPERTY_CODE_CORRELATION_DATA;
      p.value.data = {static_cast<int>(correlation.size()), const_cast<char*>(correlation.data())};
      MQTTProperties_add(&m.properties, &p);
    }
    MQTTAsync_responseOptions r = MQTTAsync_responseOptions_initializer;
    EXPECT_EQ(MQTTAsync_sendMessage(client_, topic.c_str(), &m, &r), MQTTASYNC_SUCCESS);
    MQTTProperties_free(&m.properties);
    MQTTAsync_waitForCompletion(client_, r.token, 5000);
  }
  // The first message since `from` (an index into everything received) that
  // `match` accepts, waiting up to `wait`; nullopt when none came.
  std::optional<Message> WaitFor(const std::function<bool(const Message&)>& match, std::chrono::milliseconds wait = 20s,
                                 size_t from = 0) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<Message> found;
    changed_.wait_for(lock, wait, [&] {
      for (size_t i = from; i < messages_.size(); ++i)
        if (match(messages_[i])) return found = messages_[i], true;
      return false;
    });
    return found;
  }
  std::vector<Message> Messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_.size();
  }

 private:
  static int OnMessage(void* ctx, char* topic, int topicLength, MQTTAsync_message* m) {
    Consumer* c = static_cast<Consumer*>(ctx);
    Message msg;
    msg.topic = topicLength > 0 ? std::string(topic, static_cast<size_t>(topicLength)) : std::string(topic);
    msg.payload.assign(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen));
    msg.retained = m->retained != 0;
    if (MQTTProperty* p = MQTTProperties_getProperty(&m->properties, MQTTPROPERTY_CODE_CORRELATION_DATA))
      msg.correlation.assign(p->value.data.data, static_cast<size_t>(p->value.data.len));
    MQTTAsync_freeMessage(&m);
    MQTTAsync_free(topic);
    std::lock_guard<std::mutex> lock(c->mutex_);
    c->messages_.push_back(std::move(msg));
    c->changed_.notify_all();
    return 1;
  }

  MQTTAsync client_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool connected_ = false;
  std::vector<Message> messages_;
};

// ---- the conversation ------------------------------------------------------------------------

const std::string kIni =
    "BlockTimeout=200\nRetryTimeout=400\nCharacterTimeout=100\nLogLevel=0\nAdminCheckCut=1\nLogFileFlg=0\n"
    "HidDeviceOpenRetryCount=1\nOpenRetryNum=1\nOpenTimeoutRetryNum=1\n";
const std::string kA = "300833B2DDD9014000000001", kB = "300833B2DDD9014000000002", kC = "E2000017000000000000ABCD";
const std::string kPrefix = "zelquar/v1/lab/SIM0001/";

class MqttTest : public ::testing::Test {
 protected:
  void SetUp() override {
    install_.WriteFile("tags.json", R"({"tags": [{"epc": ")" + kA + R"(", "tid": "E2801160200074CF"},
                                                 {"epc": ")" + kB + R"(", "tid": "E2801160200074D0"}]})");
    ASSERT_EQ(install_.SimControl("tags load " + install_.path() + "/tags.json"), "OK");
    install_.WriteFile("agent.conf", "site = lab\nmqtt_health_s = 1\nmqtt_max_rate = 200\n");
    StartBroker();
  }
  void StartBroker(const std::string& head = "", const std::string& tail = "") {
    std::filesystem::create_directories(install_.path() + "/broker");
    broker_ = std::make_unique<Broker>(install_.path() + "/broker", SomePort(), head, tail);
    broker_->Start();
  }
  void TearDown() override {
    agent_.reset();
    broker_->Stop();
  }
  // The agent with the configuration file `conf`; with `mqtt` "" that file
  // names the broker. With `errorsToOutput` its standard error is read
  // through ReadLine.
  void StartAgent(const std::string& conf = "agent.conf", std::string mqtt = "", bool errorsToOutput = false) {
    std::map<std::string, std::string> env = install_.Environment();
    env["ZELQUAR_LIBRARY"] = install_.libraryPath();
    if (mqtt.empty() && conf == "agent.conf") mqtt = "mqtt://127.0.0.1:" + std::to_string(broker_->port());
    std::vector<std::string> argv{ZQ_AGENT_PATH, "--config", install_.path() + "/" + conf, "--http",
                                  "127.0.0.1:" + std::to_string(httpPort_), "--journal", install_.path() + "/journal.db",
                                  "--interval", "50", "--leave-after", "400"};
    if (!mqtt.empty()) argv.insert(argv.end(), {"--mqtt", mqtt});
    if (errorsToOutput) {
      std::string line = "exec";
      for (const std::string& a : argv) line += " '" + a + "'";
      argv = {"/bin/sh", "-c", line + " 2>&1"};
    }
    agent_ = std::make_unique<ChildProcess>(argv, env);
  }
  // The status a newcomer reads: the retained message of the status topic.
  std::string RetainedStatus() {
    Consumer fresh(broker_->port(), "zq-test-status-" + std::to_string(++statusReaders_), false);
    fresh.Subscribe(kPrefix + "status");
    const auto m = fresh.WaitFor([](const Message& m) { return m.retained; }, 5s);
    return m ? m->payload : "(none)";
  }
  uint64_t LastSeqOverHttp() {
    httplib::Client c("127.0.0.1", httpPort_);
    auto r = c.Get("/api/readers");
    if (!r || r->status != 200) return 0;
    const nlohmann::json readers = nlohmann::json::parse(r->body, nullptr, false);
    return readers.is_array() && !readers.empty() ? readers[0].value("last_seq", uint64_t{0}) : 0;
  }
  // Whether the agent's tag table holds `epc` as present (waiting up to 15 s).
  bool Present(const std::string& epc) {
    httplib::Client c("127.0.0.1", httpPort_);
    for (int i = 0; i < 150; ++i) {
      auto r = c.Get("/api/tags?epc=" + epc);
      const nlohmann::json tags = r && r->status == 200 ? nlohmann::json::parse(r->body, nullptr, false) : nlohmann::json();
      if (tags.is_array() && !tags.empty() && tags[0].value("present", false)) return true;
      std::this_thread::sleep_for(100ms);
    }
    return false;
  }
  // The events received, in arrival order, from the events messages.
  std::vector<nlohmann::json> Events(Consumer& c) {
    std::vector<nlohmann::json> out;
    for (const Message& m : c.Messages()) {
      if (m.topic != kPrefix + "events") continue;
      const nlohmann::json batch = nlohmann::json::parse(m.payload, nullptr, false);
      EXPECT_TRUE(batch.is_array()) << m.payload;
      if (batch.is_array())
        for (const auto& e : batch) out.push_back(e);
    }
    return out;
  }
  bool HasEvent(Consumer& c, const std::string& type, const std::string& value, size_t from = 0) {
    return c.WaitFor([&](const Message& m) {
      return m.topic == kPrefix + "events" && m.payload.find("\"type\":\"" + type + "\"") != std::string::npos &&
             m.payload.find(value) != std::string::npos;
    }, 20s, from).has_value();
  }
  // The answer to a command, by its correlation data.
  std::optional<nlohmann::json> Answer(Consumer& c, const std::string& correlation) {
    const auto m = c.WaitFor([&](const Message& m) { return m.topic == "lab/replies" && m.correlation == correlation; });
    if (!m) return std::nullopt;
    return nlohmann::json::parse(m->payload, nullptr, false);
  }

  InstallDir install_{kIni + "ReaderSerial1=SIM0001\n"};
  uint16_t httpPort_ = SomePort();
  std::unique_ptr<Broker> broker_;
  std::unique_ptr<ChildProcess> agent_;
  int statusReaders_ = 0;
};

TEST_F(MqttTest, EventsCommandsStatusAndAnOutageLoseNothing) {
  Consumer consumer(broker_->port(), "zq-test-consumer", true);
  consumer.Subscribe(kPrefix + "#");
  consumer.Subscribe("lab/replies");
  StartAgent();
  ASSERT_TRUE(consumer.WaitFor([](const Message& m) { return m.topic == kPrefix + "status" && m.payload == "online"; }))
      << "the agent did not come online";
  ASSERT_TRUE(HasEvent(consumer, "appear", kA));
  ASSERT_EQ(install_.SimControl(R"(tag add {"epc": ")" + kC + R"(", "user": "0000111122223333"})"), "OK");
  ASSERT_TRUE(HasEvent(consumer, "appear", kC));
  ASSERT_EQ(install_.SimControl("tag remove " + kB), "OK");
  ASSERT_TRUE(HasEvent(consumer, "leave", kB));
  {
    // In order from 1: reader online, the two tags, the third, the leave.
    const std::vector<nlohmann::json> events = Events(consumer);
    ASSERT_GE(events.size(), 5u);
    for (size_t i = 0; i < events.size(); ++i) EXPECT_EQ(events[i]["seq"].get<uint64_t>(), i + 1) << events[i].dump();
    EXPECT_EQ(events[0]["type"], "reader");
    EXPECT_EQ(events.back()["type"], "leave");
  }
  const auto config = consumer.WaitFor([](const Message& m) { return m.topic == kPrefix + "config"; });
  ASSERT_TRUE(config);
  EXPECT_EQ(nlohmann::json::parse(config->payload)["interval_ms"], 50);
  const auto health = consumer.WaitFor([](const Message& m) { return m.topic == kPrefix + "health"; }, 5s);
  ASSERT_TRUE(health);
  EXPECT_TRUE(nlohmann::json::parse(health->payload).contains("acked_seq"));

  // Commands, answered on the response topic with their correlation.
  consumer.Publish(kPrefix + "cmd/read", R"({"id": "r1", "epc": ")" + kA + R"(", "bank": "tid", "ptr": 0, "words": 4})",
                   "lab/replies", "corr-r1");
  std::optional<nlohmann::json> a = Answer(consumer, "corr-r1");
  ASSERT_TRUE(a);
  EXPECT_EQ((*a)["status"], 200) << a->dump();
  EXPECT_EQ((*a)["data"], "E2801160200074CF");
  EXPECT_EQ((*a)["id"], "r1");
  // A write delivered twice is executed once: the word written over by
  // the API between the two deliveries stays as the API wrote it.
  const std::string write = R"({"id": "w1", "epc": ")" + kC + R"(", "bank": "user", "ptr": 1, "data": "BEEF"})";
  consumer.Publish(kPrefix + "cmd/write", write, "lab/replies", "corr-w1");
  a = Answer(consumer, "corr-w1");
  ASSERT_TRUE(a);
  EXPECT_EQ((*a)["result"], "ok") << a->dump();
  httplib::Client http("127.0.0.1", httpPort_);
  http.set_read_timeout(60, 0);
  auto r = http.Post("/api/readers/SIM0001/write", R"({"epc": ")" + kC + R"(", "bank": "user", "ptr": 1, "data": "0000"})",
                     "application/json");
  ASSERT_TRUE(r);
  ASSERT_EQ(r->status, 200) << r->body;
  consumer.Publish(kPrefix + "cmd/write", write, "lab/replies", "corr-w1-again");
  a = Answer(consumer, "corr-w1-again");
  ASSERT_TRUE(a);
  EXPECT_EQ((*a)["duplicate"], true) << a->dump();
  EXPECT_EQ((*a)["result"], "ok");
  r = http.Post("/api/readers/SIM0001/read", R"({"epc": ")" + kC + R"(", "bank": "user", "ptr": 1, "words": 1})", "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(nlohmann::json::parse(r->body)["data"], "0000") << "the duplicate was executed again";
  // Malformed commands get an error, never a crash; without a response
  // topic the answer goes to cmd/NAME/reply.
  consumer.Publish(kPrefix + "cmd/read", "{not json");
  const auto bad = consumer.WaitFor([](const Message& m) { return m.topic == kPrefix + "cmd/read/reply"; });
  ASSERT_TRUE(bad);
  EXPECT_EQ(nlohmann::json::parse(bad->payload)["status"], 400) << bad->payload;
  struct Bad {
    std::string name, payload, correlation;
    int status;
  } bads[] = {{"read", R"({"id": "m1", "epc": "XYZ", "bank": "tid", "words": 1})", "m1", 400},
              {"fly", R"({"id": "m2"})", "m2", 404},
              {"read", R"({"epc": ")" + kA + R"(", "bank": "tid", "words": 1})", "m3", 400},
              {"replay", R"({"id": "m4", "from": "one"})", "m4", 400},
              {"kill", R"({"id": "m5", "epc": ")" + kA + R"(", "password": "00000000"})", "m5", 400}};
  for (const Bad& b : bads) {
    consumer.Publish(kPrefix + "cmd/" + b.name, b.payload, "lab/replies", b.correlation);
    a = Answer(consumer, b.correlation);
    ASSERT_TRUE(a) << b.payload;
    EXPECT_EQ((*a)["status"], b.status) << a->dump();
    EXPECT_TRUE(a->contains("message")) << a->dump();
  }
  // A range of the journal again.
  consumer.Publish(kPrefix + "cmd/replay", R"({"id": "p1", "from": 2, "to": 4})", "lab/replies", "corr-p1");
  a = Answer(consumer, "corr-p1");
  ASSERT_TRUE(a);
  ASSERT_EQ((*a)["events"].size(), 3u) << a->dump();
  EXPECT_EQ((*a)["events"][0]["seq"], 2);
  EXPECT_EQ((*a)["events"][2]["seq"], 4);
  // Inventory stopped and started by command.
  consumer.Publish(kPrefix + "cmd/stop", R"({"id": 7})", "lab/replies", "corr-stop");
  a = Answer(consumer, "corr-stop");
  ASSERT_TRUE(a);
  EXPECT_EQ((*a)["status"], 200) << a->dump();
  consumer.Publish(kPrefix + "cmd/inventory", R"({"id": 8, "action": "start"})", "lab/replies", "corr-start");
  a = Answer(consumer, "corr-start");
  ASSERT_TRUE(a);
  EXPECT_EQ((*a)["status"], 200) << a->dump();

  // kill -9: the broker publishes the will.
  agent_->Kill(SIGKILL);
  agent_->Wait();
  ASSERT_TRUE(consumer.WaitFor([](const Message& m) { return m.topic == kPrefix + "status" && m.payload == "lost"; }, 10s));
  EXPECT_EQ(RetainedStatus(), "lost");
  size_t mark = consumer.Count();
  StartAgent();
  ASSERT_TRUE(consumer.WaitFor([](const Message& m) { return m.topic == kPrefix + "status" && m.payload == "online"; }, 20s, mark));
  // The restarted agent still knows the write by its id: not executed again.
  consumer.Publish(kPrefix + "cmd/write", write, "lab/replies", "corr-w1-restart");
  a = Answer(consumer, "corr-w1-restart");
  ASSERT_TRUE(a);
  EXPECT_EQ((*a)["duplicate"], true) << a->dump();
  ASSERT_TRUE(Present(kC)) << "the restarted agent did not open the reader";
  r = http.Post("/api/readers/SIM0001/read", R"({"epc": ")" + kC + R"(", "bank": "user", "ptr": 1, "words": 1})", "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(nlohmann::json::parse(r->body)["data"], "0000") << "the write ran again after the restart: " << r->body;

  // The broker away while tags change, the agent killed and restarted
  // meanwhile; then the broker back: everything arrives.
  broker_->Stop();
  ASSERT_EQ(install_.SimControl(R"(tag add {"epc": ")" + kB + R"("})"), "OK");
  std::this_thread::sleep_for(1500ms);
  agent_->Kill(SIGKILL);
  agent_->Wait();
  StartAgent();
  ASSERT_TRUE(Present(kA)) << "the restarted agent did not see the tag";
  ASSERT_EQ(install_.SimControl("tag remove " + kA), "OK");
  std::this_thread::sleep_for(2000ms);
  const uint64_t last = LastSeqOverHttp();
  ASSERT_GT(last, 8u);
  mark = consumer.Count();
  broker_->Start();
  ASSERT_TRUE(consumer.WaitFor([&](const Message& m) {
    return m.topic == kPrefix + "events" && m.payload.find("\"seq\":" + std::to_string(last) + ",") != std::string::npos;
  }, 30s, mark)) << "event " << last << " did not arrive";
  // Dropping duplicates by sequence number: each number once, in order.
  std::vector<uint64_t> firsts;
  std::set<uint64_t> seen;
  std::set<std::string> boots;
  for (const nlohmann::json& e : Events(consumer)) {
    EXPECT_EQ(e["reader"], "SIM0001");
    boots.insert(e["boot"].get<std::string>());
    if (seen.insert(e["seq"].get<uint64_t>()).second) firsts.push_back(e["seq"].get<uint64_t>());
  }
  ASSERT_GE(firsts.size(), last);
  for (size_t i = 0; i < last; ++i) EXPECT_EQ(firsts[i], i + 1);
  EXPECT_EQ(boots.size(), 3u);
  EXPECT_TRUE(HasEvent(consumer, "appear", kB, mark));
  EXPECT_TRUE(HasEvent(consumer, "leave", kA, mark));

  // An orderly stop: "offline".
  agent_->Kill(SIGTERM);
  EXPECT_EQ(agent_->Wait(), 0);
  agent_.reset();
  EXPECT_EQ(RetainedStatus(), "offline");
}

// MQTT 3.1.1 (mqtt_protocol): the same topics; answers beside the command,
// since 3.1.1 has no response topic.
TEST_F(MqttTest, ThreeOneOneCarriesEventsCommandsAndStatus) {
  install_.WriteFile("v311.conf", "site = lab\nmqtt_protocol = 3.1.1\nmqtt_health_s = 0\n");
  Consumer consumer(broker_->port(), "zq-test-consumer-311", false);
  consumer.Subscribe(kPrefix + "#");
  StartAgent("v311.conf", "mqtt://127.0.0.1:" + std::to_string(broker_->port()));
  ASSERT_TRUE(consumer.WaitFor([](const Message& m) { return m.topic == kPrefix + "status" && m.payload == "online"; }));
  ASSERT_TRUE(HasEvent(consumer, "appear", kA));
  const auto config = consumer.WaitFor([](const Message& m) { return m.topic == kPrefix + "config"; });
  ASSERT_TRUE(config);
  EXPECT_EQ(nlohmann::json::parse(config->payload)["protocol"], "3.1.1");
  consumer.Publish(kPrefix + "cmd/read", R"({"id": "r311", "epc": ")" + kA + R"(", "bank": "tid", "ptr": 0, "words": 4})",
                   "lab/replies", "ignored");
  const auto answer = consumer.WaitFor([](const Message& m) { return m.topic == kPrefix + "cmd/read/reply"; });
  ASSERT_TRUE(answer);
  const nlohmann::json a = nlohmann::json::parse(answer->payload);
  EXPECT_EQ(a["data"], "E2801160200074CF") << answer->payload;
  EXPECT_EQ(answer->correlation, "");
  agent_->Kill(SIGTERM);
  EXPECT_EQ(agent_->Wait(), 0);
  agent_.reset();
  EXPECT_EQ(RetainedStatus(), "offline");
}

// A reader first named by a reload is published from then on, without a
// restart: its status, its events from the first and its commands.
TEST_F(MqttTest, AReaderNamedByAReloadIsPublished) {
  const std::string head = "site = lab\nmqtt_health_s = 0\n";
  install_.WriteFile("reload.conf", head + "readers = NOSUCH99\n");
  Consumer consumer(broker_->port(), "zq-test-consumer-reload", false);
  consumer.Subscribe(kPrefix + "#");
  consumer.Subscribe("lab/replies");
  StartAgent("reload.conf", "mqtt://127.0.0.1:" + std::to_string(broker_->port()));
  httplib::Client http("127.0.0.1", httpPort_);
  bool up = false;
  for (int i = 0; i < 100 && !up; ++i) {
    auto r = http.Get("/api/readers");
    up = r && r->status == 200;
    if (!up) std::this_thread::sleep_for(100ms);
  }
  ASSERT_TRUE(up) << "the agent did not answer";
  install_.WriteFile("reload.conf", head + "readers = SIM0001\n");
  agent_->Kill(SIGHUP);
  ASSERT_TRUE(consumer.WaitFor([](const Message& m) { return m.topic == kPrefix + "status" && m.payload == "online"; }, 20s))
      << "the reader named by the reload has no publisher";
  ASSERT_TRUE(HasEvent(consumer, "appear", kA));
  ASSERT_TRUE(HasEvent(consumer, "appear", kB));
  const std::vector<nlohmann::json> events = Events(consumer);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.front()["seq"], 1) << events.front().dump();
  consumer.Publish(kPrefix + "cmd/read", R"({"id": "rl", "epc": ")" + kA + R"(", "bank": "tid", "ptr": 0, "words": 4})",
                   "lab/replies", "corr-rl");
  const std::optional<nlohmann::json> a = Answer(consumer, "corr-rl");
  ASSERT_TRUE(a);
  EXPECT_EQ((*a)["data"], "E2801160200074CF") << a->dump();
}

// A broker of MQTT 3.1.1 only (a stand-in that answers a CONNECT of
// protocol level 5 with 3.1.1's "unacceptable protocol version" and
// accepts level 4): the agent tries 5, then 3.1.1.
TEST_F(MqttTest, ABrokerWithoutFiveIsSpokenToIn311) {
  const uint16_t port = SomePort();
  install_.WriteFile("broker311.py",
                     "import socket, sys\n"
                     "s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
                     "s.bind(('127.0.0.1', int(sys.argv[1]))); s.listen(4); print('listening', flush=True)\n"
                     "while True:\n"
                     "    c, _ = s.accept(); data = c.recv(4096); i = 1\n"
                     "    while i < len(data) and data[i] & 0x80: i += 1\n"
                     "    level = data[i + 7] if len(data) > i + 7 else 0\n"
                     "    print(level, flush=True)\n"
                     "    c.sendall(bytes([0x20, 2, 0, 1 if level == 5 else 0]))\n"
                     "    if level == 5: c.close()\n");
  ChildProcess broker({"/usr/bin/python3", install_.path() + "/broker311.py", std::to_string(port)}, {});
  ASSERT_EQ(broker.ReadLine(10000).value_or(""), "listening");
  StartAgent("agent.conf", "mqtt://127.0.0.1:" + std::to_string(port));
  EXPECT_EQ(broker.ReadLine(10000).value_or("none"), "5");
  EXPECT_EQ(broker.ReadLine(10000).value_or("none"), "4") << "the agent did not try MQTT 3.1.1";
  agent_.reset();
  broker.Kill(SIGTERM);
  broker.Wait();
}

// ---- TLS ------------------------------------------------------------------------------------------

// A broker with a second listener on TLS (a certificate of a CA made here by
// openssl) that takes a user name and password only.
class MqttTlsTest : public MqttTest {
 protected:
  void SetUp() override {
    install_.WriteFile("tags.json", R"({"tags": [{"epc": "3074257BF7194E4000001A85"}]})");
    ASSERT_EQ(install_.SimControl("tags load " + install_.path() + "/tags.json"), "OK");
    const std::string d = install_.path();
    install_.WriteFile("san.ext", "subjectAltName = IP:127.0.0.1, DNS:localhost\n");
    const std::string script =
        "set -e; cd '" + d + "'; "
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj /CN=zq-test-ca 2>/dev/null; "
        "openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj /CN=localhost 2>/dev/null; "
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 -extfile san.ext 2>/dev/null; "
        "touch passwords; chmod 600 passwords; mosquitto_passwd -b passwords reader1 right-secret";
    ChildProcess make({"/bin/sh", "-c", script}, {});
    ASSERT_EQ(make.Wait(), 0) << "openssl or mosquitto_passwd failed";
    tlsPort_ = SomePort();
    StartBroker("per_listener_settings true\n", "listener " + std::to_string(tlsPort_) + " 127.0.0.1\ncafile " + d +
                                                      "/ca.pem\ncertfile " + d + "/server.pem\nkeyfile " + d +
                                                      "/server.key\nallow_anonymous false\npassword_file " + d + "/passwords\n");
    const std::string common = "site = lab\nmqtt = mqtts://127.0.0.1:" + std::to_string(tlsPort_) + "\nmqtt_ca = " + d +
                               "/ca.pem\nmqtt_user = reader1\nmqtt_format = epcis\nepcis_read_point = urn:epc:id:sgln:0614141.00777.0\n";
    install_.WriteFile("right.conf", common + "mqtt_password = right-secret\n");
    install_.WriteFile("wrong.conf", common + "mqtt_password = wrong-secret\n");
  }
  uint16_t tlsPort_ = 0;
};

TEST_F(MqttTlsTest, TheBrokersCaAndPasswordAdmitAndAWrongPasswordIsRefused) {
  Consumer consumer(broker_->port(), "zq-test-tls-consumer", false);
  consumer.Subscribe(kPrefix + "#");
  // The wrong password: refused, said on standard error, never online.
  StartAgent("wrong.conf", "", true);
  std::optional<std::string> line;
  std::string said;
  for (int i = 0; i < 10 && (line = agent_->ReadLine(10000)); ++i) {
    said += *line + "\n";
    if (line->find("mqtt SIM0001") != std::string::npos) break;
  }
  ASSERT_TRUE(line.has_value()) << "the agent said nothing of the refused connection: " << said;
  // MQTT 5 says why: "bad user name or password" (0x86) or "not authorized" (0x87).
  EXPECT_TRUE(line->find("user name or password") != std::string::npos || line->find("authorized") != std::string::npos) << *line;
  EXPECT_FALSE(consumer.WaitFor([](const Message& m) { return m.topic == kPrefix + "status"; }, 1500ms));
  agent_->Kill(SIGTERM);
  agent_->Wait();
  // The right one, over TLS: online, and the tag as an EPCIS document.
  StartAgent("right.conf");
  ASSERT_TRUE(consumer.WaitFor([](const Message& m) { return m.topic == kPrefix + "status" && m.payload == "online"; }))
      << "the agent did not come online over TLS";
  const auto events = consumer.WaitFor([](const Message& m) {
    return m.topic == kPrefix + "events" && m.payload.find("urn:epc:id:sgtin:") != std::string::npos;
  });
  ASSERT_TRUE(events) << "no EPCIS document with the tag's pure identity";
  EXPECT_EQ(ValidateEpcis(events->payload), 0) << events->payload;
  const nlohmann::json doc = nlohmann::json::parse(events->payload);
  EXPECT_EQ(doc["type"], "EPCISDocument");
  EXPECT_EQ(doc["epcisBody"]["eventList"][0]["readPoint"]["id"], "urn:epc:id:sgln:0614141.00777.0");
}

}  // namespace
}  // namespace zq::test
