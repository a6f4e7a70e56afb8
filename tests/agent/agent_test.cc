// The reader service: its settings refused with their place, the journal's
// bounds and a full disk, and the running agent against a simulated reader
// over real HTTP: tags coming and going, a tag read while inventory runs,
// bad requests, a reader pulled out and put back, and a kill -9 and restart
// with every sequence number once.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sqlite3.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "agent/journal.h"
#include "agent/model.h"
#include "tests/support/child_process.h"
#include "tests/support/install_dir.h"
#include "tests/support/sim_fixture.h"

namespace zq::test {
namespace {

using agent::Config;

const std::string kIni =
    "BlockTimeout=200\nRetryTimeout=400\nCharacterTimeout=100\nLogLevel=0\nAdminCheckCut=1\nLogFileFlg=0\n"
    "HidDeviceOpenRetryCount=1\nOpenRetryNum=1\nOpenTimeoutRetryNum=1\n";

TEST(AgentSettings, EveryMistakeIsNamedWithItsPlace) {
  struct Case {
    std::string text, error;
  } cases[] = {
      {"http = 127.0.0.1:8701\nreaders = SIM0001, 0x0201\ninterval_ms = 50\n", ""},
      {"# comment\n\nsession = 4\n", "agent.conf:3: session: 0 to 3"},
      {"http 127.0.0.1:1\n", "agent.conf:1: expected KEY = VALUE, not \"http 127.0.0.1:1\""},
      {"readers = 0x2100\n", "agent.conf:1: readers: a port is COM 1..32 in bits 15..8 and unit 0..31 in bits 7..0 (0x0100)"},
      {"colour = blue\n", "agent.conf:1: unknown key colour"},
      {"token = short\n", "agent.conf:1: token: at least 8 characters, no blanks"},
  };
  for (const Case& c : cases) {
    Config config;
    EXPECT_EQ(agent::ApplyConfigText(c.text, "agent.conf", &config), c.error) << c.text;
  }
  Config config;
  ASSERT_EQ(agent::ApplyConfigText("readers = SIM0001, 0x0201\n", "f", &config), "");
  ASSERT_EQ(config.readers.size(), 2u);
  EXPECT_EQ(config.readers[1].port, 0x0201u);
  std::string file;
  bool help = false;
  EXPECT_EQ(agent::ApplyFlags({"--http", "0.0.0.0:8700"}, &config, &file, &help), "");
  EXPECT_NE(agent::CheckConfig(config).find("set a token"), std::string::npos);
  EXPECT_EQ(agent::ApplyFlags({"--token=abcdefgh12"}, &config, &file, &help), "");
  EXPECT_EQ(agent::CheckConfig(config), "");
  EXPECT_EQ(agent::ApplyFlags({"--colour"}, &config, &file, &help), "--colour: unknown option");
}

// ---- the journal ---------------------------------------------------------------------------

std::string TempPath(const std::string& name) {
  return (std::filesystem::temp_directory_path() / (name + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                                    "-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count())))
      .string();
}

std::vector<agent::Event> Appears(const std::string& reader, int n, int64_t t) {
  std::vector<agent::Event> out;
  for (int i = 0; i < n; ++i) out.push_back({"appear", reader, t, {{"epc", std::to_string(i)}}});
  return out;
}

// The unix VFS's write calls, failing with a full disk while `g_full`.
bool g_full = false;
sqlite3_syscall_ptr g_realWrite = nullptr, g_realPwrite = nullptr;
long FullWrite(int fd, const void* b, size_t n) {
  if (g_full) {
    errno = ENOSPC;
    return -1;
  }
  return reinterpret_cast<long (*)(int, const void*, size_t)>(g_realWrite)(fd, b, n);
}
long FullPwrite(int fd, const void* b, size_t n, long at) {
  if (g_full) {
    errno = ENOSPC;
    return -1;
  }
  return reinterpret_cast<long (*)(int, const void*, size_t, long)>(g_realPwrite)(fd, b, n, at);
}

TEST(AgentJournal, BoundsTrimWithAGapAndAFullDiskLosesNothingJournaled) {
  const std::string path = TempPath("zq-journal-");
  {
    agent::Journal j;
    ASSERT_EQ(j.Open(path, "boot1", 50, 3600 * 1000), agent::JournalResult::kOk);
    ASSERT_EQ(j.Append(Appears("A", 40, 1000), 1000), agent::JournalResult::kOk);
    ASSERT_EQ(j.Append(Appears("B", 5, 1000), 1000), agent::JournalResult::kOk);
    // 30 more of A go over the bound of 50: the oldest go, a gap says which.
    ASSERT_EQ(j.Append(Appears("A", 30, 2000), 2000), agent::JournalResult::kOk);
    const std::vector<agent::StoredEvent> a = j.AfterSeq("A", 0, 1000);
    ASSERT_FALSE(a.empty());
    const agent::StoredEvent& gap = a.back();
    EXPECT_EQ(gap.type, "gap");
    EXPECT_EQ(gap.seq, 71u);
    const nlohmann::json g = nlohmann::json::parse(gap.json);
    EXPECT_EQ(g["from"], 1);
    EXPECT_EQ(g["to"].get<uint64_t>() + 1, a.front().seq);  // the gap ends where what is kept begins
    EXPECT_LE(j.Depth(), 52u);                                  // the bound and the gap events
    // The disk fills: the batch is refused whole, nothing kept before goes.
    sqlite3_vfs* unix = sqlite3_vfs_find("unix");
    g_realWrite = unix->xGetSystemCall(unix, "write");
    g_realPwrite = unix->xGetSystemCall(unix, "pwrite64");
    ASSERT_EQ(unix->xSetSystemCall(unix, "write", reinterpret_cast<sqlite3_syscall_ptr>(FullWrite)), SQLITE_OK);
    ASSERT_EQ(unix->xSetSystemCall(unix, "pwrite64", reinterpret_cast<sqlite3_syscall_ptr>(FullPwrite)), SQLITE_OK);
    g_full = true;
    std::string why;
    EXPECT_EQ(j.Append(Appears("A", 3, 3000), 3000, &why), agent::JournalResult::kWriteFailed);
    EXPECT_FALSE(why.empty());
    g_full = false;
    unix->xSetSystemCall(unix, "write", nullptr);
    unix->xSetSystemCall(unix, "pwrite64", nullptr);
    EXPECT_EQ(j.AfterSeq("A", 0, 1000).size(), a.size());
    ASSERT_EQ(j.Append(Appears("A", 3, 3000), 3000), agent::JournalResult::kOk);
    const std::vector<agent::StoredEvent> after = j.AfterSeq("A", 71, 10);
    ASSERT_GE(after.size(), 3u);
    for (uint64_t i = 0; i < 3; ++i) EXPECT_EQ(after[i].seq, 72 + i);
  }
  // Reopened (a restart): the numbers go on.
  agent::Journal j;
  ASSERT_EQ(j.Open(path, "boot2", 50, 3600 * 1000), agent::JournalResult::kOk);
  ASSERT_EQ(j.Append(Appears("B", 1, 4000), 4000), agent::JournalResult::kOk);
  const std::vector<agent::StoredEvent> b = j.AfterSeq("B", j.LastSeq("B") - 1, 10);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_GE(b[0].seq, 6u);
  EXPECT_NE(b[0].json.find("\"boot\":\"boot2\""), std::string::npos);
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
}

// ---- the running agent ------------------------------------------------------------------------

const std::string kToken = "test-token-1234";

class AgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    install_.WriteFile("tags.json", R"({"tags": [{"epc": "300833B2DDD9014000000001", "tid": "E2801160200074CF"},
                                                 {"epc": "300833B2DDD9014000000002", "tid": "E2801160200074D0"}]})");
    ASSERT_EQ(install_.SimControl("tags load " + install_.path() + "/tags.json"), "OK");
    journal_ = install_.path() + "/journal.db";
    Start();
  }
  void Start() {
    std::map<std::string, std::string> env = install_.Environment();
    env["ZELQUAR_LIBRARY"] = install_.libraryPath();
    agent_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{ZQ_AGENT_PATH, "--http", "127.0.0.1:" + std::to_string(port_), "--journal", journal_,
                                 "--token", kToken, "--interval", "50", "--leave-after", "400"},
        env);
    for (int i = 0; i < 200 && !Get("/api/health"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  httplib::Headers Auth() const { return {{"Authorization", "Bearer " + kToken}}; }
  httplib::Result Get(const std::string& path) {
    httplib::Client c("127.0.0.1", port_);
    c.set_read_timeout(30, 0);
    return c.Get(path.c_str(), Auth());
  }
  nlohmann::json GetJson(const std::string& path) {
    auto r = Get(path);
    return r && r->status == 200 ? nlohmann::json::parse(r->body) : nlohmann::json();
  }
  httplib::Result Post(const std::string& path, const std::string& body) {
    httplib::Client c("127.0.0.1", port_);
    c.set_read_timeout(60, 0);
    return c.Post(path.c_str(), Auth(), body, "application/json");
  }
  // Every event of the reader after `seq`, waiting up to `ms` for one of `type` with `epc`.
  nlohmann::json WaitFor(const std::string& type, const std::string& epc, int ms = 15000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
      const nlohmann::json events = GetJson("/api/events?after=" + std::to_string(seen_) + "&wait_ms=500");
      for (const auto& e : events) {
        all_.push_back(e);
        seen_ = std::max<uint64_t>(seen_, e["seq"].get<uint64_t>());
        if (e["type"] == type && (epc.empty() || e.value("epc", "") == epc || e.value("state", "") == epc)) return e;
      }
    }
    return nullptr;
  }

  InstallDir install_{kIni + "ReaderSerial1=SIM0001\n"};
  uint16_t port_ = static_cast<uint16_t>(20000 + std::random_device()() % 20000);
  std::string journal_;
  std::unique_ptr<ChildProcess> agent_;
  uint64_t seen_ = 0;
  std::vector<nlohmann::json> all_;
};

TEST_F(AgentTest, TagsComeAndGoOperationsRunAndARestartLosesNoEvent) {
  const std::string a = "300833B2DDD9014000000001", b = "300833B2DDD9014000000002", c = "E2000017000000000000ABCD";
  ASSERT_FALSE(WaitFor("reader", "online").is_null()) << "the agent did not open the reader";
  ASSERT_FALSE(WaitFor("appear", a).is_null());
  ASSERT_EQ(install_.SimControl(R"(tag add {"epc": ")" + c + R"(", "user": "0000111122223333"})"), "OK");
  const nlohmann::json appear = WaitFor("appear", c);
  ASSERT_FALSE(appear.is_null());
  EXPECT_EQ(appear["reader"], "SIM0001");
  EXPECT_EQ(appear["v"], 1);
  ASSERT_EQ(install_.SimControl("tag remove " + b), "OK");
  const nlohmann::json leave = WaitFor("leave", b);
  ASSERT_FALSE(leave.is_null());
  EXPECT_GE(leave["time"].get<std::string>(), leave["last_seen"].get<std::string>());

  // A tag read and written while inventory runs, with the tool's answers.
  auto r = Post("/api/readers/SIM0001/read", R"({"epc": ")" + a + R"(", "bank": "tid", "ptr": 0, "words": 4})");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200) << r->body;
  EXPECT_EQ(nlohmann::json::parse(r->body)["data"], "E2801160200074CF");
  r = Post("/api/readers/SIM0001/write", R"({"epc": ")" + c + R"(", "bank": "user", "ptr": 1, "data": "BEEF", "verify": true})");
  ASSERT_TRUE(r);
  EXPECT_EQ(nlohmann::json::parse(r->body)["result"], "ok") << r->body;
  r = Post("/api/readers/SIM0001/kill", R"({"epc": ")" + a + R"(", "password": "00000001"})");
  ASSERT_TRUE(r);
  EXPECT_EQ(nlohmann::json::parse(r->body)["result"], "refused") << r->body;

  // Bad requests change nothing and say why.
  struct Bad {
    std::string path, body;
    int status;
  } bad[] = {{"/api/readers/SIM0001/read", "{not json", 400},
             {"/api/readers/SIM0001/read", R"({"epc": "XYZ", "bank": "tid", "words": 1})", 400},
             {"/api/readers/SIM0001/kill", R"({"epc": ")" + a + R"(", "password": "00000000"})", 400},
             {"/api/readers/SIM0001/fly", "{}", 404},
             {"/api/readers/NOSUCH/read", R"({"epc": ")" + a + R"(", "bank": "tid", "words": 1})", 404},
             {"/api/readers/SIM0001/write", std::string(70000, ' '), 413}};
  for (const Bad& x : bad) {
    r = Post(x.path, x.body);
    ASSERT_TRUE(r) << x.path;
    EXPECT_EQ(r->status, x.status) << x.path << " " << x.body.substr(0, 40);
    EXPECT_TRUE(nlohmann::json::parse(r->body, nullptr, false).contains("message")) << r->body;
  }
  httplib::Client anonymous("127.0.0.1", port_);
  r = anonymous.Get("/api/tags");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 401);
  r = Get("/api/no/such/route");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 404);
  EXPECT_EQ(install_.SimState()["tags"][0]["state"].get<std::string>() != "killed", true);

  // The reader pulled out and put back: reported, and inventory goes on.
  ASSERT_EQ(install_.SimControl("unplug"), "OK");
  ASSERT_FALSE(WaitFor("reader", "error").is_null());
  ASSERT_EQ(install_.SimControl("replug"), "OK");
  ASSERT_FALSE(WaitFor("reader", "recovered", 30000).is_null());

  // kill -9 while tags change; the restart goes on from the journal.
  ASSERT_EQ(install_.SimControl("tag remove " + c), "OK");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  agent_->Kill(SIGKILL);
  agent_->Wait();
  ASSERT_EQ(install_.SimControl(R"(tag add {"epc": ")" + b + R"("})"), "OK");
  Start();
  ASSERT_FALSE(WaitFor("appear", b).is_null());
  // Every number from 1 on, once, and two boots.
  const nlohmann::json everything = GetJson("/api/events?after=0&reader=SIM0001");
  std::set<std::string> boots;
  uint64_t expect = 1;
  for (const auto& e : everything) {
    EXPECT_EQ(e["seq"].get<uint64_t>(), expect++);
    boots.insert(e["boot"].get<std::string>());
  }
  EXPECT_EQ(boots.size(), 2u);
  const nlohmann::json tags = GetJson("/api/tags");
  ASSERT_TRUE(tags.is_array());
  std::set<std::string> present;
  for (const auto& t : tags)
    if (t["present"].get<bool>()) present.insert(t["epc"].get<std::string>());
  EXPECT_TRUE(present.count(a) && present.count(b));
  // The tool shows the same through the API.
  std::map<std::string, std::string> env = install_.Environment();
  env["ZELQUAR_AGENT"] = "127.0.0.1:" + std::to_string(port_);
  env["ZELQUAR_AGENT_TOKEN"] = kToken;
  ChildProcess tool({ZQ_TOOL_PATH, "--json", "agent", "tags"}, env);
  const std::optional<std::string> line = tool.ReadLine(20000);
  EXPECT_EQ(tool.Wait(), 0);
  ASSERT_TRUE(line.has_value());
  const nlohmann::json shown = nlohmann::json::parse(*line, nullptr, false);
  ASSERT_TRUE(shown.is_array()) << *line;
  EXPECT_EQ(shown.size(), tags.size());
  env["ZELQUAR_AGENT_TOKEN"] = "wrong-token";
  ChildProcess refused({ZQ_TOOL_PATH, "agent", "status"}, env);
  EXPECT_EQ(refused.Wait(), 1);
}

// While the agent keeps the reader open, the tool's commands (and so the
// Python package's, on the same library) go through it instead of failing
// with "in use"; a command it does not offer says so, and without the
// agent's token the port stays in use.
TEST_F(AgentTest, TheToolsCommandsGoThroughTheAgentThatKeepsTheReader) {
  const std::string a = "300833B2DDD9014000000001", c = "E2000017000000000000BEEF";
  ASSERT_FALSE(WaitFor("appear", a).is_null());
  ASSERT_EQ(install_.SimControl(R"(tag add {"epc": ")" + c + R"(", "user": "0000111122223333"})"), "OK");
  ASSERT_FALSE(WaitFor("appear", c).is_null());
  std::map<std::string, std::string> env = install_.Environment();
  env["ZELQUAR_LIBRARY"] = install_.libraryPath();
  env["ZELQUAR_AGENT"] = "127.0.0.1:" + std::to_string(port_);
  env["ZELQUAR_AGENT_TOKEN"] = kToken;
  struct Run {
    int code;
    nlohmann::json out;
  };
  const auto tool = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {ZQ_TOOL_PATH, "--json"});
    ChildProcess p(args, env);
    const std::optional<std::string> line = p.ReadLine(60000);
    const int code = p.Wait();
    return Run{code, line ? nlohmann::json::parse(*line, nullptr, false) : nlohmann::json()};
  };

  Run r = tool({"read", "--epc", a, "--bank", "tid", "--words", "4"});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(r.out["data"], "E2801160200074CF") << r.out;
  r = tool({"--reader", "SIM0001", "write", "--epc", c, "--bank", "user", "--ptr", "2", "--data", "CAFE", "--verify"});
  EXPECT_EQ(r.code, 0) << r.out;
  r = tool({"read", "--epc", c, "--bank", "user", "--words", "4"});
  EXPECT_EQ(r.out["data"], "00001111CAFE3333") << r.out;
  r = tool({"inventory"});
  EXPECT_EQ(r.code, 0) << r.out;
  std::set<std::string> listed;
  for (const auto& t : r.out["tags"]) listed.insert(t["epc"].get<std::string>());
  EXPECT_TRUE(listed.count(a) && listed.count(c)) << r.out;
  // A tag refusal comes back as the tool gives it without the agent.
  r = tool({"kill", "--epc", a, "--password", "00000001"});
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_EQ(r.out["ok"], false) << r.out;
  // What the agent does not offer, and an agent that refuses the caller.
  r = tool({"info"});
  EXPECT_EQ(r.code, 5) << r.out;
  EXPECT_NE(r.out.value("message", "").find("zelquar-agent"), std::string::npos) << r.out;
  env["ZELQUAR_AGENT_TOKEN"] = "wrong-token";
  r = tool({"read", "--epc", a, "--bank", "tid", "--words", "4"});
  EXPECT_NE(r.code, 0) << r.out;
  EXPECT_EQ(r.out["driver"]["result"], -1002) << r.out;
  // The inventory went on all along: the events are still one sequence.
  const nlohmann::json events = GetJson("/api/events?after=0&reader=SIM0001");
  uint64_t expect = 1;
  for (const auto& e : events) EXPECT_EQ(e["seq"].get<uint64_t>(), expect++);
}

// A field of 2,000 tags, more than one reply lists: the agent's inventory
// takes several rounds and every tag appears once, numbered in order.
TEST_F(AgentTest, ATwoThousandTagFieldAppearsWholeOverSeveralRounds) {
  ASSERT_FALSE(WaitFor("reader", "online").is_null());
  std::string json = R"({"tags": [)";
  for (int i = 0; i < 2000; ++i) {
    char epc[25];
    std::snprintf(epc, sizeof epc, "E2801170%016X", 0x20000000u + i);
    json += std::string(i ? "," : "") + R"({"epc": ")" + epc + R"("})";
  }
  install_.WriteFile("field.json", json + "]}");
  ASSERT_EQ(install_.SimControl("tags load " + install_.path() + "/field.json"), "OK");
  std::set<std::string> appeared;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (appeared.size() < 2000 && std::chrono::steady_clock::now() < until) {
    const nlohmann::json events = GetJson("/api/events?reader=SIM0001&after=" + std::to_string(seen_) + "&wait_ms=1000");
    for (const auto& e : events) {
      EXPECT_EQ(e["seq"].get<uint64_t>(), seen_ + 1);
      seen_ = e["seq"].get<uint64_t>();
      if (e["type"] == "appear" && e["epc"].get<std::string>().rfind("E2801170", 0) == 0) {
        EXPECT_TRUE(appeared.insert(e["epc"].get<std::string>()).second) << "appeared twice: " << e;
      }
    }
  }
  EXPECT_EQ(appeared.size(), 2000u);
  size_t present = 0;
  for (const auto& t : GetJson("/api/tags?reader=SIM0001"))
    present += t["present"].get<bool>() && t["epc"].get<std::string>().rfind("E2801170", 0) == 0 ? 1 : 0;
  EXPECT_EQ(present, 2000u);
  EXPECT_GT(GetJson("/api/health")["rounds"].get<uint64_t>(), 1u);
}

// SIGHUP reads the configuration again: a reader no longer named is closed,
// a new one opened; a file with a mistake is refused and the agent goes on
// with what it had.
TEST_F(AgentTest, SighupReloadsTheReadersAndRefusesABadFile) {
  ASSERT_FALSE(WaitFor("reader", "online").is_null());
  agent_->Kill(SIGTERM);
  ASSERT_EQ(agent_->Wait(), 0);
  const std::string conf = install_.path() + "/agent.conf";
  const std::string common = "http = 127.0.0.1:" + std::to_string(port_) + "\ntoken = " + kToken +
                             "\njournal = " + journal_ + "\ninterval_ms = 50\nleave_after_ms = 400\n";
  install_.WriteFile("agent.conf", common + "readers = SIM0001\n");
  std::map<std::string, std::string> env = install_.Environment();
  env["ZELQUAR_LIBRARY"] = install_.libraryPath();
  agent_ = std::make_unique<ChildProcess>(std::vector<std::string>{ZQ_AGENT_PATH, "--config", conf}, env);
  ASSERT_FALSE(WaitFor("reader", "online").is_null());
  const auto serials = [&] {
    std::set<std::string> out;
    for (const auto& r : GetJson("/api/readers")) out.insert(r["serial"].get<std::string>());
    return out;
  };
  EXPECT_EQ(serials(), std::set<std::string>{"SIM0001"});

  // Another reader named in place of this one: it goes offline.
  install_.WriteFile("agent.conf", common + "readers = NOSUCH99\n");
  agent_->Kill(SIGHUP);
  ASSERT_FALSE(WaitFor("reader", "offline").is_null());
  EXPECT_EQ(serials().count("SIM0001"), 0u);
  // A mistake: refused, and the service stays as it was.
  install_.WriteFile("agent.conf", common + "interval_ms = soon\nreaders = SIM0001\n");
  agent_->Kill(SIGHUP);
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  ASSERT_FALSE(agent_->WaitFor(0).has_value()) << "the agent ended on a bad file";
  EXPECT_EQ(serials().count("SIM0001"), 0u);
  // Named again: opened again, its numbers going on.
  install_.WriteFile("agent.conf", common + "readers = SIM0001\n");
  agent_->Kill(SIGHUP);
  const nlohmann::json online = WaitFor("reader", "online");
  ASSERT_FALSE(online.is_null());
  EXPECT_EQ(online["reader"], "SIM0001");
  EXPECT_EQ(serials().count("SIM0001"), 1u);
  uint64_t expect = 1;
  for (const auto& e : GetJson("/api/events?after=0&reader=SIM0001")) EXPECT_EQ(e["seq"].get<uint64_t>(), expect++);
}

// Two readers (two simulator processes, units 0 and 1) served by one agent:
// each reader's events carry its own serial number and its own sequence,
// and each field's tags appear under its own reader only.
TEST(AgentTwoReaders, EachReaderHasItsOwnSequenceAndItsOwnTags) {
  InstallDir install(kIni + "ReaderSerial1=ZQA0001\nReaderSerial2=ZQB0002\n", "", false);
  install.WriteFile("a.json", R"({"tags": [{"epc": "E200AAAA0000000000000001"}, {"epc": "E200AAAA0000000000000002"}]})");
  install.WriteFile("b.json", R"({"tags": [{"epc": "E200BBBB0000000000000001"}]})");
  SimulatedReader a(SimOptions{.dir = install.simDir(), .name = "readerA", .scenario = install.path() + "/a.json",
                               .unit = 0, .extraArgs = {"--serial", "ZQA0001"}});
  SimulatedReader b(SimOptions{.dir = install.simDir(), .name = "readerB", .scenario = install.path() + "/b.json",
                               .unit = 1, .extraArgs = {"--serial", "ZQB0002"}});
  ASSERT_TRUE(a.published() && b.published());
  const uint16_t port = static_cast<uint16_t>(20000 + std::random_device()() % 20000);
  std::map<std::string, std::string> env = install.Environment();
  env["ZELQUAR_LIBRARY"] = install.libraryPath();
  ChildProcess agent({ZQ_AGENT_PATH, "--http", "127.0.0.1:" + std::to_string(port), "--journal",
                      install.path() + "/journal.db", "--reader", "0x0100", "--reader", "0x0201", "--interval", "50"},
                     env);
  httplib::Client c("127.0.0.1", port);
  c.set_read_timeout(30, 0);
  std::map<std::string, std::set<std::string>> appeared;  // reader -> EPCs
  std::map<std::string, uint64_t> last;                   // reader -> last sequence number
  for (int i = 0; i < 100 && (appeared["ZQA0001"].size() < 2 || appeared["ZQB0002"].size() < 1); ++i) {
    for (const std::string serial : {"ZQA0001", "ZQB0002"}) {
      auto r = c.Get(("/api/events?reader=" + serial + "&after=" + std::to_string(last[serial]) + "&wait_ms=200").c_str());
      if (!r || r->status != 200) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        continue;
      }
      for (const auto& e : nlohmann::json::parse(r->body)) {
        EXPECT_EQ(e["reader"], serial) << e;
        const uint64_t seq = e["seq"].get<uint64_t>();
        EXPECT_EQ(seq, last[serial] + 1) << e;
        last[serial] = seq;
        if (e["type"] == "appear") appeared[serial].insert(e["epc"].get<std::string>());
      }
    }
  }
  EXPECT_EQ(appeared["ZQA0001"], (std::set<std::string>{"E200AAAA0000000000000001", "E200AAAA0000000000000002"}));
  EXPECT_EQ(appeared["ZQB0002"], (std::set<std::string>{"E200BBBB0000000000000001"}));
  EXPECT_EQ(appeared.size(), 2u);
}

TEST_F(AgentTest, ABadConfigurationFileIsRefusedWithItsLine) {
  agent_.reset();
  install_.WriteFile("bad.conf", "http = 127.0.0.1:8799\ninterval_ms = soon\n");
  ChildProcess bad({"/bin/sh", "-c", std::string("exec ") + ZQ_AGENT_PATH + " --config " + install_.path() + "/bad.conf 2>&1"},
                   install_.Environment());
  const std::optional<std::string> line = bad.ReadLine(5000);
  EXPECT_EQ(bad.Wait(), 2);
  ASSERT_TRUE(line.has_value());
  EXPECT_NE(line->find("bad.conf:2: interval_ms: 0 to 3600000"), std::string::npos) << *line;
}

}  // namespace
}  // namespace zq::test
