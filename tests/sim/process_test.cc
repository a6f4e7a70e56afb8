// zelquar-sim as a separate process, through its real sockets and files:
// publishing, one HID connection at a time, a whole Gen2 conversation,
// firmware files from `mkfw`, `ctl`, files named by control commands,
// unplug/replug, daemon mode and ending.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <thread>

#include "conversation.h"
#include "platform/devices/sim_client.h"
#include "platform/os/clock.h"
#include "platform/os/files.h"
#include "platform/os/win32_errors.h"
#include "sim/model/firmware.h"
#include "sim_test_util.h"
#include "tests/support/sim_fixture.h"

namespace zq::sim {
namespace {

using test::ReaderHost;
using test::SocketTransport;
using zq::test::SimulatorProgram;

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool WaitFor(const std::function<bool()>& cond, int ms = 5000) {
  for (int i = 0; i < ms / 10; ++i) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return cond();
}

// Runs a command line; its standard output and exit code.
std::string Shell(const std::string& command, int* code = nullptr) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  while (size_t n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
  int status = ::pclose(p);
  if (code) *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

class SimProcess : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sim_.published()) << "the device was not published"; }
  std::string Path(const std::string& ext) const { return sim_.Path(ext); }
  std::string Ctl(const std::string& line) {
    std::string reply = sim_.Control(line);
    EXPECT_FALSE(reply.empty()) << line;
    return reply;
  }
  int WaitExit() { return sim_.WaitExit().value_or(-1); }

  zq::test::SimulatedReader sim_;
  const std::string dir_ = sim_.dir();
};

TEST_F(SimProcess, PublishesItsDescription) {
  std::string text;
  ASSERT_EQ(platform::ReadWholeFile(Path(".json"), &text), 0u);
  nlohmann::json d = nlohmann::json::parse(text);
  EXPECT_EQ(d["vendor_id"], "FFF1");
  EXPECT_EQ(d["product_id"], "7C02");
  EXPECT_EQ(d["serial_number"], "SIM0001");
  EXPECT_EQ(d["server_pid"], sim_.pid());
  EXPECT_NE(d["interface_path"].get<std::string>().find("vid_fff1&pid_7c02"), std::string::npos);
  EXPECT_TRUE(Exists(Path(".hid")));
  EXPECT_TRUE(Exists(Path(".ctl")));
}

TEST_F(SimProcess, Gen2ConversationThroughTheSocket) {
  SocketTransport t;
  ASSERT_EQ(t.Connect(Path(".hid")), 0u);
  ReaderHost host(t);
  ASSERT_TRUE(host.PowerUp());
  EXPECT_FALSE(host.boot_bytes().empty());
  test::RunGen2Conversation(host);
  nlohmann::json s = nlohmann::json::parse(Ctl("state").substr(3));
  EXPECT_TRUE(s["power"]);
  EXPECT_TRUE(s["uart"]["reader_link"]);
  EXPECT_EQ(s["tags"][0]["state"], "killed");
  EXPECT_GT(s["counters"]["commands_executed"].get<int>(), 20);
}

TEST_F(SimProcess, SecondConnectionIsRefused) {
  SocketTransport first, second;
  ASSERT_EQ(first.Connect(Path(".hid")), 0u);
  ReaderHost host(first);
  Bytes r;
  ASSERT_EQ(host.GetFeature(0x46, &r), 0u);  // the first one is being served
  ASSERT_EQ(second.Connect(Path(".hid")), 0u);
  uint8_t buf[80];
  EXPECT_EQ(second.client().Receive(buf, sizeof buf, 2000), -1);  // closed by the server
  EXPECT_EQ(host.GetFeature(0x46, &r), 0u);
  first.client().Close();
  SocketTransport third;
  ASSERT_EQ(third.Connect(Path(".hid")), 0u);
  ReaderHost host3(third);
  EXPECT_EQ(host3.GetFeature(0x46, &r), 0u);
}

TEST_F(SimProcess, FirmwareFilesFromMkfwDownload) {
  std::string good = dir_ + "/good.dwl", bad = dir_ + "/bad.dwl";
  int code = -1;
  Shell(SimulatorProgram() + " mkfw --version 0456 --blocks 4 " + good, &code);
  ASSERT_EQ(code, 0);
  Shell(SimulatorProgram() + " mkfw --version 0999 --blocks 2 --last-bad " + bad, &code);
  ASSERT_EQ(code, 0);
  Shell(SimulatorProgram() + " mkfw --version 12 --blocks 2 " + bad, &code);
  EXPECT_NE(code, 0);

  SocketTransport t;
  ASSERT_EQ(t.Connect(Path(".hid")), 0u);
  ReaderHost host(t);
  ASSERT_TRUE(host.PowerUp());
  auto download = [&](const std::string& path) {
    std::string file;
    EXPECT_EQ(platform::ReadWholeFile(path, &file), 0u);
    Bytes last;
    for (size_t at = 4; at + kFirmwareRecordLength <= file.size(); at += kFirmwareRecordLength) {
      auto body = host.Exchange(Bytes(file.begin() + static_cast<long>(at),
                                      file.begin() + static_cast<long>(at + kFirmwareBlockLength)));
      if (!body) return Bytes{};
      last = *body;
      if (last != Bytes{0x90, 0x00}) break;
    }
    return last;
  };
  EXPECT_EQ(download(good), (Bytes{0x90, 0x00}));
  EXPECT_EQ(host.Exchange({0x00, 0x02, 0x00, 0x04, 0x00, 0x1F, 0x02, 0x1D}), (Bytes{0x04, 0x56, 0x90, 0x00}));
  EXPECT_NE(download(bad), (Bytes{0x90, 0x00}));
  EXPECT_EQ(host.Exchange({0x00, 0x02, 0x00, 0x04, 0x00, 0x1F, 0x02, 0x1D}), (Bytes{0x04, 0x56, 0x90, 0x00}));
}

TEST_F(SimProcess, CtlSubcommandAndFaults) {
  int code = -1;
  std::string out = Shell(SimulatorProgram() + " ctl --dir " + dir_ + " fault status 6405 1", &code);
  EXPECT_EQ(out, "OK\n");
  EXPECT_EQ(code, 0);
  out = Shell(SimulatorProgram() + " ctl --dir " + dir_ + " nonsense 2>/dev/null", &code);
  EXPECT_EQ(out.rfind("ERR", 0), 0u);
  EXPECT_EQ(code, 1);
  SocketTransport t;
  ASSERT_EQ(t.Connect(Path(".hid")), 0u);
  ReaderHost host(t);
  ASSERT_TRUE(host.PowerUp());
  EXPECT_EQ(host.Exchange({0x03, 0xFF, 0x00, 0x00}), (Bytes{0x64, 0x05}));
  EXPECT_EQ(host.Exchange({0x03, 0xFF, 0x00, 0x00}), (Bytes{0x90, 0x00}));
}

TEST_F(SimProcess, TagsLoadReadsTheNamedFile) {
  const std::string path = dir_ + "/tags.json";
  std::ofstream(path) << R"({"tags":[{"epc":"1111"},{"epc":"2222","pc":"0800","rssi":7}]})";
  EXPECT_EQ(Ctl("tags load " + path), "OK");
  nlohmann::json tags = sim_.State()["tags"];
  ASSERT_EQ(tags.size(), 2u);
  EXPECT_EQ(tags[0]["stored_crc"], "CCAE");
  EXPECT_EQ(tags[1]["rssi"], 7);
  EXPECT_EQ(Ctl("tags load /nonexistent/tags.json"), "ERR cannot read /nonexistent/tags.json");
  std::ofstream(path, std::ios::trunc) << "[{";
  EXPECT_EQ(Ctl("tags load " + path), "ERR " + path + ": not JSON");
  EXPECT_EQ(sim_.State()["tags"].size(), 2u);
}

// Scenario and tag files that would crash the simulator, fill its memory or
// block it for ever are refused with a message, and a running server goes on.
TEST_F(SimProcess, FilesTooDeepTooLargeOrNotRegularAreRefused) {
  const std::string deep = dir_ + "/deep.json", big = dir_ + "/big.json", fifo = dir_ + "/fifo.json";
  std::ofstream(deep) << std::string(200000, '[');
  std::ofstream(big) << R"({"tags": [)" << std::string(5 * 1024 * 1024, ' ') << "]}";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::string file;
    std::string message;
  };
  const Case cases[] = {
      {deep, deep + ": nested deeper than 64 levels"},
      {"/dev/zero", "cannot read /dev/zero: not a regular file"},
      {fifo, "cannot read " + fifo + ": not a regular file"},
      {big, "cannot read " + big + ": larger than 4 MiB"},
  };
  for (const Case& c : cases) {
    int code = -1;
    // `timeout`: a simulator that blocks on the file must not block the test.
    const std::string out = Shell("timeout 20 " + SimulatorProgram() + " --dir " + dir_ + "/other --scenario " + c.file + " 2>&1",
                                  &code);
    EXPECT_EQ(code, 2) << c.file << ": " << out;
    EXPECT_EQ(out, "zelquar-sim: " + c.message + "\n") << c.file;
    EXPECT_EQ(Ctl("tags load " + c.file), "ERR " + c.message) << c.file;
  }
  EXPECT_EQ(Ctl("tag add " + std::string(100, '[')), "ERR nested deeper than 64 levels");
  EXPECT_EQ(sim_.State()["tags"].size(), 3u);  // the running server's own, untouched
}

TEST_F(SimProcess, RestartPullsAndPlugsInInOneCommand) {
  SocketTransport t;
  ASSERT_EQ(t.Connect(Path(".hid")), 0u);
  ReaderHost host(t);
  ASSERT_TRUE(host.PowerUp());
  EXPECT_EQ(Ctl("restart"), "OK");
  uint8_t buf[80];
  EXPECT_EQ(t.client().Receive(buf, sizeof buf, 2000), -1);  // the open handle ended
  EXPECT_TRUE(Exists(Path(".json")));                          // and the device is there again
  SocketTransport again;
  ASSERT_EQ(again.Connect(Path(".hid")), 0u);
  ReaderHost host2(again);
  Bytes r;
  ASSERT_EQ(host2.GetFeature(0x44, &r), 0u);
  EXPECT_EQ((r[1] << 8) | r[2], 0);  // from power-up
}

TEST_F(SimProcess, UnplugEndsTheHandleAndReplugPublishesAgain) {
  SocketTransport t;
  ASSERT_EQ(t.Connect(Path(".hid")), 0u);
  ReaderHost host(t);
  ASSERT_TRUE(host.PowerUp());
  EXPECT_EQ(Ctl("unplug"), "OK");
  uint8_t buf[80];
  EXPECT_EQ(t.client().Receive(buf, sizeof buf, 2000), -1);
  EXPECT_FALSE(Exists(Path(".json")));
  EXPECT_FALSE(Exists(Path(".hid")));
  SocketTransport refused;
  EXPECT_EQ(refused.Connect(Path(".hid")), platform::kErrorFileNotFound);
  EXPECT_EQ(Ctl("replug"), "OK");
  EXPECT_TRUE(Exists(Path(".json")));
  SocketTransport again;
  ASSERT_EQ(again.Connect(Path(".hid")), 0u);
  ReaderHost host2(again);
  Bytes r;
  ASSERT_EQ(host2.GetFeature(0x44, &r), 0u);
  EXPECT_EQ((r[1] << 8) | r[2], 0);  // the reader lost its power with the bridge
}

// With wire timing every reply byte goes out in an input report of its own
// as soon as it is due; a host that is busy for a while finds them all
// waiting, however many, as a bridge's FIFO would hold them, not a reply
// with holes in it.
TEST(SimWireTiming, AHostThatReadsLateStillGetsEveryByteOfALongReply) {
  zq::test::SimulatedReader sim(
      zq::test::SimOptions{.scenario = std::string(ZQ_SOURCE_DIR) + "/tests/data/tags100.json", .wireTiming = true});
  ASSERT_TRUE(sim.published());
  SocketTransport t;
  ASSERT_EQ(t.Connect(sim.Path(".hid")), 0u);
  ReaderHost host(t);
  ASSERT_TRUE(host.PowerUp());
  // An inventory with signal strengths: 100 entries of 14 bytes, about 1400
  // reply bytes (and as many input reports) after 210 ms of module time.
  host.WriteUart(protocol::EncodeFrame(static_cast<uint8_t>(protocol::UnitAddress(0) | 1), {0x08, 0x01, 0x00, 0x02}));
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  uint8_t address = 0xFF;
  const std::optional<Bytes> body = host.ReadReply(3000, &address);
  ASSERT_TRUE(body.has_value()) << "the reply frame arrived incomplete or broken";
  EXPECT_EQ(address, 1);
  ASSERT_EQ(body->size(), 2u + 100 * 14 + 2);
  EXPECT_EQ(((*body)[0] << 8) | (*body)[1], 100);
  EXPECT_EQ((*body)[body->size() - 2], 0x90);
}

TEST_F(SimProcess, QuitAndSigtermRemoveTheFiles) {
  EXPECT_EQ(Ctl("quit"), "OK");
  EXPECT_EQ(WaitExit(), 0);
  EXPECT_FALSE(Exists(Path(".json")));
  EXPECT_FALSE(Exists(Path(".hid")));
  EXPECT_FALSE(Exists(Path(".ctl")));
  ASSERT_TRUE(sim_.Start());  // a second server
  ::kill(sim_.pid(), SIGTERM);
  EXPECT_EQ(WaitExit(), 0);
  EXPECT_FALSE(Exists(Path(".json")));
  EXPECT_FALSE(Exists(Path(".ctl")));
}

TEST(SimDaemon, DetachesOncePublishedAndRefusesASecondServer) {
  const std::string dir = ::testing::TempDir() + "zq-sim-daemon-" + std::to_string(::getpid());
  int code = -1;
  std::string out = Shell(SimulatorProgram() + " --daemon --name unit7 --unit 7 --dir " + dir, &code);
  ASSERT_EQ(code, 0);
  const pid_t pid = static_cast<pid_t>(std::stol(out));
  EXPECT_GT(pid, 0);
  EXPECT_TRUE(Exists(dir + "/unit7.json"));  // already there when the parent returned
  Shell(SimulatorProgram() + " --dir " + dir + " --name unit7 2>/dev/null", &code);
  EXPECT_EQ(code, 1);
  // The directory is also found through the environment.
  out = Shell("ZELQUAR_SIM_DIR=" + dir + " " + SimulatorProgram() + " ctl --name unit7 state", &code);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(nlohmann::json::parse(out.substr(3))["unit"], 7);
  out = Shell(SimulatorProgram() + " ctl --dir " + dir + " --name unit7 quit", &code);
  EXPECT_EQ(out, "OK\n");
  EXPECT_TRUE(WaitFor([&] { return ::kill(pid, 0) != 0; }));
  EXPECT_FALSE(Exists(dir + "/unit7.json"));
  Shell("rm -rf " + dir);
}

}  // namespace
}  // namespace zq::sim
