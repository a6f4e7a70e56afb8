// The fault matrix against the simulated reader: each row makes one fault
// happen to an application that has the installed driver open, and checks
// what the call ends in (result, status word, the driver's log lines), that
// nothing hangs, and, with the log collector running, that every record the
// driver wrote reached the collector's file whole. docs/faults.md lists the
// rows and the tests elsewhere that cover the others.
//
// Sections: fixture; link faults; power-off/on words; bridge faults; the
// simulator killed; an application killed; a thread the system cannot
// start; the collector killed; a resend window that has always passed; the
// INI file.
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/os/process.h"
#include "tests/e2e/reader_fixture.h"

namespace zq::test {
namespace {

using Clock = std::chrono::steady_clock;

const std::string kCommand = "03FF0000";  // a raw reader command the simulator answers 90 00
const std::string kLogFetchHex = "002B0000";
const std::string kFarmModeHex = "00010007001D000100001C";

size_t CountContaining(const std::vector<std::string>& lines, const std::string& fragment) {
  size_t n = 0;
  for (const std::string& l : lines) n += l.find(fragment) != std::string::npos;
  return n;
}

bool Ends(uint32_t pid, int ms) {
  for (int i = 0; i < ms / 10; ++i) {
    if (!platform::ProcessIsAlive(pid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return !platform::ProcessIsAlive(pid);
}

// ---- fixture -------------------------------------------------------------------

class FaultMatrix : public ReaderTest {
 protected:
  explicit FaultMatrix(const std::string& ini = kFastReaderIni + "LogFileFlg=1\n") : ReaderTest(ini) {}

  uint32_t Collector() { return static_cast<uint32_t>(std::stoul(ParseFields(probe_->Ask("inspect"))["collector"])); }
  int Boots() { return State()["counters"]["boots"]; }

  // Waits until the log mirror holds `n` lines with `fragment`.
  bool WaitForLines(const std::string& fragment, size_t n, int seconds = 20) {
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Lines(fragment) < n) {
      if (Clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }
  Answer ReadAnswer(int timeoutMs = 20000) {
    std::istringstream in(probe_->ReadLine(timeoutMs).value_or(""));
    Answer a;
    std::string data;
    in >> a.result >> a.length >> data;
    a.data = data == "-" ? "" : Upper(data);
    return a;
  }

  // The application closes and ends; the collector then ends by itself.
  // Every record of the mirror is in the collector's file, whole, and the
  // fragments given appear there as often as in the mirror.
  void ExpectEveryRecordCollected(const std::vector<std::string>& fragments) {
    const uint32_t collector = Collector();
    ASSERT_NE(collector, 0u);
    EXPECT_EQ(probe_->Ask("close 0x0100"), "0");
    probe_->Send("exit");
    EXPECT_EQ(probe_->Wait(), 0);
    ASSERT_TRUE(Ends(collector, 10000));
    const std::vector<std::string> mirror = install_.LogLines();
    const std::vector<std::string> log = install_.DecodedLog();
    EXPECT_EQ(CountContaining(log, "!!"), 0u);
    EXPECT_EQ(CountContaining(log, "LogOutput lost"), 0u);
    EXPECT_EQ(log.size(), mirror.size());
    for (const std::string& f : fragments) {
      EXPECT_EQ(CountContaining(log, f), CountContaining(mirror, f)) << f;
      EXPECT_GT(CountContaining(log, f), 0u) << f;
    }
  }
};

// ---- link faults -----------------------------------------------------------------

TEST_F(FaultMatrix, ALostDamagedOrStalledReplyIsRepairedOnTheLinkAndEveryRecordIsCollected) {
  struct Row {
    const char* fault;
    const char* line;  // what the link logs for it
  };
  const Row rows[] = {
      {"fault drop-reply 1", "L - Retry  (0)"},           // silence: the request again
      {"fault bad-check 1", "L_Error k_RBCC(2) detail"},  // a wrong check byte: the reply again
      {"fault stall 1", "ReSend  (810)"},                 // stopped mid-frame: the reply again
  };
  const int boots = Boots();
  for (const Row& r : rows) {
    SCOPED_TRACE(r.fault);
    const size_t lines = Lines(r.line);
    const uint64_t mark = Received();
    ASSERT_EQ(Sim(r.fault), "OK");
    EXPECT_EQ(Send(kCommand), (Answer{0, 2, "9000"}));
    EXPECT_EQ(Lines(r.line), lines + 1);
    // The reader executed the command once: a repeat of the same frame and
    // a resend request are answered from its stored reply.
    EXPECT_EQ(CommandsSince(mark), std::vector<std::string>{kCommand});
  }
  EXPECT_EQ(Lines("RfPowerOffOnRetry Start"), 0u);
  EXPECT_EQ(Lines("LevelError"), 0u);
  EXPECT_EQ(Boots(), boots);
  ExpectEveryRecordCollected({"L - Retry  (0)", "L_Error k_RBCC(2)", "ReSend  (810)", "<-RW", "->RW"});
}

// The link gives up after its one repeat (-4). Within the resend window
// ("RetryTimeout ") the calling side sends the request again under a new
// sequence bit, so the reader executes it once more; past the window the
// exchange has failed and the reader is power-cycled.
struct OutlastingRow {
  const char* fault;
  const char* line;  // the link's end of the request
};

class FaultMatrixWideWindow : public FaultMatrix {
 protected:
  FaultMatrixWideWindow()
      : FaultMatrix("AdminCheckCut=1\nBlockTimeout=200\nRetryTimeout=5000\nCharacterTimeout=100\nLogLevel=3\nLogFileFlg=1\n") {}
};

TEST_F(FaultMatrixWideWindow, AFaultThatOutlastsTheLinksOneRepeatWithinTheWindowIsSentAgain) {
  const OutlastingRow rows[] = {
      {"fault bad-check 2", "L_Error k_ReSend(1)  (836)"},
      {"fault stall 2", "L_Error k_ReSend(1)  (836)"},
      {"fault drop-reply 2", "L_Error k_Retry(1) detail  (783)"},
  };
  const int boots = Boots();
  size_t resent = 0;
  for (const OutlastingRow& r : rows) {
    SCOPED_TRACE(r.fault);
    const size_t lines = Lines(r.line);
    const uint64_t mark = Received();
    ASSERT_EQ(Sim(r.fault), "OK");
    EXPECT_EQ(Send(kCommand), (Answer{0, 2, "9000"}));
    EXPECT_EQ(Lines(r.line), lines + 1);
    EXPECT_EQ(Lines(" D - Retry  (1276)"), ++resent);
    EXPECT_EQ(CommandsSince(mark), (std::vector<std::string>{kCommand, kCommand}));
  }
  EXPECT_EQ(Boots(), boots);
  EXPECT_EQ(Lines("RfPowerOffOnRetry Start"), 0u);
  ExpectEveryRecordCollected({"LevelError", " D - Retry  (1276)"});
}

TEST_F(FaultMatrix, AFaultThatOutlastsTheLinksOneRepeatPastTheWindowIsRecoveredByAPowerCycle) {
  // Each takes longer than the 400 ms window: two character timeouts and
  // two drains (stall), or two answer timeouts (silence).
  const OutlastingRow rows[] = {
      {"fault stall 2", "L_Error k_ReSend(1)  (836)"},
      {"fault drop-reply 2", "L_Error k_Retry(1) detail  (783)"},
  };
  size_t recoveries = 0;
  for (const OutlastingRow& r : rows) {
    SCOPED_TRACE(r.fault);
    const size_t lines = Lines(r.line);
    const int boots = Boots();
    const uint64_t mark = Received();
    ASSERT_EQ(Sim(r.fault), "OK");
    const auto start = Clock::now();
    EXPECT_EQ(Send(kCommand), (Answer{0, 2, "9000"}));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(Lines(r.line), lines + 1);
    ++recoveries;
    EXPECT_EQ(Boots(), boots + 1);
    const std::vector<std::string> sent = CommandsSince(mark);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.front(), kCommand);
    EXPECT_EQ(sent.back(), kCommand);
    EXPECT_EQ(CountContaining(sent, kFarmModeHex), 1u);
    EXPECT_EQ(Lines("D_Error k_CM_TransmitMsg(6) detail = -4  (1339)"), recoveries);
    EXPECT_EQ(Lines("RfPowerOffOnRetry End,StatusWord=0x9000"), recoveries);
  }
  EXPECT_EQ(Lines(" D - Retry  (1276)"), 0u);
  ExpectEveryRecordCollected({"LevelError", "RfPowerOffOnRetry Start", "RW FarmModeCMD Send"});
}

// ---- power-off/on words ------------------------------------------------------------

TEST_F(FaultMatrix, EveryPowerOffOnWordFrom6405To640ERecoversAndItsNeighboursAreAnswered) {
  struct Row {
    const char* sw;
    bool recovers;
  };
  const Row rows[] = {{"6404", false}, {"6405", true}, {"6406", true}, {"6407", true}, {"6408", true},
                      {"6409", true},  {"640A", true}, {"640B", true}, {"640C", true}, {"640D", true},
                      {"640E", true},  {"640F", false}};
  size_t recoveries = 0;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.sw);
    const int boots = Boots();
    const uint64_t mark = Received();
    ASSERT_EQ(Sim(std::string("fault status ") + r.sw + " 1"), "OK");
    EXPECT_EQ(Send(kCommand), (Answer{0, 2, r.recovers ? "9000" : r.sw}));
    recoveries += r.recovers;
    EXPECT_EQ(Boots(), boots + (r.recovers ? 1 : 0));
    const std::vector<std::string> sent = CommandsSince(mark);
    EXPECT_EQ(sent.size(), r.recovers ? 8u : 1u);  // the log fetch, the operating mode, level, speed x3, the command
    EXPECT_EQ(Lines("RfPowerOffOnRetry End,StatusWord=0x9000"), recoveries);
    EXPECT_EQ(Lines("g_RwPowerOffOnRetryTotalCount=1"), recoveries);
  }
  EXPECT_EQ(Lines("g_RwPowerOffOnRetryTotalCount=2"), 0u);
  ExpectEveryRecordCollected({"RfPowerOffOnRetry Start", "RW SndRcvSpeedCmd Send", "★★★CLRW Ret=0,"});
}

// ---- bridge faults -----------------------------------------------------------------

TEST_F(FaultMatrix, BridgeReportsThatFailOnceAtOpenOrInARecoveryCostARestartOrTheLogFetchNotTheCall) {
  // At open: a failed feature request or a wrong UART read-back makes the
  // open restart the bridge and try again; the open still succeeds.
  for (const char* fault : {"fault feature-error 1", "fault uart-readback 1"}) {
    SCOPED_TRACE(fault);
    ASSERT_EQ(probe_->Ask("close 0x0100"), "0");
    const size_t restarts = Lines("HidDeviceRestart() start");
    ASSERT_EQ(Sim(fault), "OK");
    EXPECT_EQ(probe_->Ask("open 0x0100"), "0");
    EXPECT_EQ(Lines("HidDeviceRestart() start"), restarts + 1);
    EXPECT_TRUE(State()["settings"]["operating_mode"]);
    EXPECT_EQ(Send(kCommand), (Answer{0, 2, "9000"}));
  }
  // In a recovery: the first switch-over of lines 7 and 8 reads back wrong,
  // so the reader's log is not fetched; the rest of the recovery and the
  // command go on.
  const uint64_t mark = Received();
  ASSERT_EQ(Sim("fault status 6405 1"), "OK");
  ASSERT_EQ(Sim("fault gpio-readback 1"), "OK");
  // (The read-back fault waits for the recovery: the command's own exchange reads no GPIO.)
  EXPECT_EQ(Send(kCommand), (Answer{0, 2, "9000"}));
  const std::vector<std::string> sent = CommandsSince(mark);
  EXPECT_EQ(CountContaining(sent, kLogFetchHex), 0u);
  EXPECT_EQ(CountContaining(sent, kFarmModeHex), 1u);
  EXPECT_EQ(sent.back(), kCommand);
  EXPECT_EQ(Lines("RfPowerOffOnRetry End,StatusWord=0x9000"), 1u);
  ExpectEveryRecordCollected({"HidDeviceRestart() start", "RfPowerOffOnRetry Start"});
}

// ---- the simulator killed ------------------------------------------------------------

TEST_F(FaultMatrix, AReaderProcessKilledMidExchangeAndStartedAgainIsFoundByTheRecovery) {
  std::ifstream published(install_.simDir() + "/reader0.json");
  const nlohmann::json device = nlohmann::json::parse(published);
  const pid_t server = device["server_pid"];
  ASSERT_GT(server, 0);
  // The reply never comes: the reader dies with the command in flight.
  ASSERT_EQ(Sim("fault drop-reply 1000"), "OK");
  const size_t sent = Lines("->RW");
  probe_->Send("send 0x0100 " + kCommand + " 256");
  ASSERT_TRUE(WaitForLines("->RW", sent + 1));
  ASSERT_EQ(kill(server, SIGKILL), 0);
  ASSERT_TRUE(WaitForLines("RfPowerOffOnRetry Start", 1));
  SimulatedReader again(SimOptions{.dir = install_.simDir(), .openToAllUsers = true});
  ASSERT_TRUE(again.published());
  // A new reader process: powered off, out of its operating mode; the
  // recovery brings it up and the command goes through.
  EXPECT_EQ(ReadAnswer(30000), (Answer{0, 2, "9000"}));
  const nlohmann::json s = State();
  EXPECT_TRUE(s["settings"]["operating_mode"]);
  EXPECT_EQ(s["commands"].back(), kCommand);
  EXPECT_EQ(Send(kCommand), (Answer{0, 2, "9000"}));
  ExpectEveryRecordCollected({"RfPowerOffOnRetry Start", "D_Error k_TransmitMsg(6)"});
}

// ---- an application killed -------------------------------------------------------

TEST(FaultMatrixProcesses, AnApplicationKilledInsideACallHoldingTheApiMutexAndItsPortIsTakenOverByTheNext) {
  // Level 4 shows every take of the API mutex.
  InstallDir install("LogLevel=4\n" + kFastReaderIni);
  // Another application keeps the library's shared state alive throughout
  // (with nobody left, the next one would start from a fresh state).
  auto bystander = install.StartLoadedProbe();
  auto first = install.StartLoadedProbe();
  ASSERT_EQ(first->Ask("open 0x0100"), "0");
  const std::string firstPid = first->Ask("pid");
  // The reader stays silent: the call is inside the library, holding the
  // unit's API mutex, when the process is killed.
  ASSERT_EQ(install.SimControl("fault drop-reply 1000"), "OK");
  const size_t takes = install.LogLinesWith("▼▼k_RFRW_SetMutexAPI").size();
  const size_t frames = install.LogLinesWith("->RW").size();
  first->Send("send 0x0100 " + kCommand + " 256");
  for (int i = 0; i < 2000 && install.LogLinesWith("->RW").size() == frames; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_GT(install.LogLinesWith("->RW").size(), frames);
  EXPECT_EQ(install.LogLinesWith("▼▼k_RFRW_SetMutexAPI").size(), takes + 1);
  first->Kill(SIGKILL);
  first->Wait();
  ASSERT_EQ(install.SimControl("fault drop-reply 0"), "OK");

  // The next application opens the unit: it takes the abandoned mutex,
  // takes the dead process's port entry over, and the reader answers it.
  auto next = install.StartLoadedProbe();
  const auto start = Clock::now();
  EXPECT_EQ(next->Ask("open 0x0100", 60000), "0");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(CountContaining(install.LogLinesWith("▼▼k_RFRW_SetMutexAPI"), "Ret=0x80 "), 1u);
  EXPECT_EQ(install.LogLinesWith("RFRW_Open プロセスチェック Process=0").size(), 1u);
  EXPECT_EQ(ParseFields(next->Ask("entry 0"))["owner"], next->Ask("pid"));
  EXPECT_NE(ParseFields(next->Ask("entry 0"))["owner"], firstPid);
  EXPECT_EQ(next->Ask("send 0x0100 " + kCommand + " 256"), "0 2 9000");
  EXPECT_EQ(next->Ask("close 0x0100"), "0");
  EXPECT_EQ(ParseFields(bystander->Ask("inspect"))["attach"], "2");
}

// ---- a thread the system cannot start ---------------------------------------------

// A loaded probe with the shim that makes thread starts fail on demand; a
// sanitizer runtime is told to accept a library loaded before it.
auto StartProbeWithThreadStartShim(InstallDir& install) {
  const char* asan = std::getenv("ASAN_OPTIONS");
  return install.StartLoadedProbe(
      {{"LD_PRELOAD", ZQ_THREAD_START_SHIM_PATH},
       {"ASAN_OPTIONS", std::string(asan ? asan : "") + (asan && *asan ? ":" : "") + "verify_asan_link_order=0"}});
}

TEST(FaultMatrixThreads, ALinkThreadThatCannotStartFailsTheOpenCleanlyAndTheNextOpenWorks) {
  InstallDir install(kFastReaderIni);
  auto probe = StartProbeWithThreadStartShim(install);
  // One open and close first: what a process keeps for good (the mapped
  // mutexes) is there before the count of descriptors is taken.
  ASSERT_EQ(probe->Ask("open 0x0100"), "0");
  ASSERT_EQ(probe->Ask("close 0x0100"), "0");
  const std::string fds = probe->Ask("fds");
  const int boots = install.SimState()["counters"]["boots"];

  ASSERT_EQ(probe->Ask("fail-thread-starts 1"), "ok");
  EXPECT_EQ(probe->Ask("open 0x0100"), "-1");
  EXPECT_EQ(install.LogLinesWith("D_Error k_L_Level_Init(1) detail = -3  (1616)").size(), 1u);
  EXPECT_EQ(install.LogLinesWith("D_Error RFRW_Open(3) detail = -1  (848)").size(), 1u);
  // Nothing is left: no entry in use, no descriptor, the device untouched.
  EXPECT_EQ(ParseFields(probe->Ask("entry 0"))["use"], "0");
  EXPECT_EQ(probe->Ask("fds"), fds);
  const nlohmann::json s = install.SimState();
  EXPECT_FALSE(s["hid_open"].get<bool>());
  EXPECT_EQ(s["counters"]["boots"], boots);
  EXPECT_EQ(probe->Ask("send 0x0100 " + kCommand + " 256"), "-1001 0 -");

  // With threads to be had again the unit opens and answers.
  EXPECT_EQ(probe->Ask("open 0x0100"), "0");
  EXPECT_EQ(probe->Ask("send 0x0100 " + kCommand + " 256"), "0 2 9000");
  EXPECT_EQ(probe->Ask("close 0x0100"), "0");
}

TEST(FaultMatrixThreads, ACommReaderThreadThatCannotStartCostsADeviceRetryOrFailsTheOpenCleanly) {
  InstallDir install(kFastReaderIni + "HidDeviceOpenRetryCount=2\n");
  auto probe = StartProbeWithThreadStartShim(install);
  ASSERT_EQ(probe->Ask("open 0x0100"), "0");
  ASSERT_EQ(probe->Ask("close 0x0100"), "0");
  const std::string fds = probe->Ask("fds");

  // The link thread starts (the first start); the comm library's reader
  // thread of the device open (the second) does not, once: the device
  // open is tried again and the open succeeds.
  const size_t restarts = install.LogLinesWith("HidDeviceRestart() start").size();
  ASSERT_EQ(probe->Ask("fail-thread-starts 1 1"), "ok");
  EXPECT_EQ(probe->Ask("open 0x0100", 60000), "0");
  EXPECT_EQ(install.LogLinesWith("HidDeviceRestart() start").size(), restarts + 1);
  EXPECT_EQ(probe->Ask("send 0x0100 " + kCommand + " 256"), "0 2 9000");
  ASSERT_EQ(probe->Ask("close 0x0100"), "0");
  EXPECT_EQ(probe->Ask("fds"), fds);

  // Never: the open fails as a device attach failure, with its link
  // thread ended and nothing left behind.
  ASSERT_EQ(probe->Ask("fail-thread-starts 1000 1"), "ok");
  EXPECT_EQ(probe->Ask("open 0x0100", 60000), "-2");
  EXPECT_EQ(install.LogLinesWith("HidDeviceRestart() start").size(), restarts + 1 + 2);
  EXPECT_EQ(install.LogLinesWith("D_Error RFRW_Open(4) detail = -2  (852)").size(), 1u);
  EXPECT_EQ(ParseFields(probe->Ask("entry 0"))["use"], "0");
  EXPECT_EQ(ParseFields(probe->Ask("entry 0"))["link"], "0");
  EXPECT_FALSE(install.SimState()["hid_open"].get<bool>());
  ASSERT_EQ(probe->Ask("fail-thread-starts 0"), "ok");
  EXPECT_EQ(probe->Ask("fds"), fds);
  EXPECT_EQ(probe->Ask("open 0x0100"), "0");
  EXPECT_EQ(probe->Ask("send 0x0100 " + kCommand + " 256"), "0 2 9000");
}

// ---- the collector killed -------------------------------------------------------------

TEST_F(FaultMatrix, TheCollectorKilledMidRunNeitherStopsNorSlowsTheApplicationAndANewOneGetsItsRecords) {
  const uint32_t collector = Collector();
  ASSERT_NE(collector, 0u);
  EXPECT_EQ(Send(kCommand), (Answer{0, 2, "9000"}));
  ASSERT_EQ(kill(static_cast<pid_t>(collector), SIGKILL), 0);
  ASSERT_TRUE(Ends(collector, 5000));
  const auto start = Clock::now();
  for (int i = 0; i < 20; ++i) ASSERT_EQ(Send(kCommand), (Answer{0, 2, "9000"})) << i;
  // No record waits for a reader that has gone.
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  // A collector started afterwards (as the next first process would) gets
  // the application's records from then on, after the count of those lost.
  char watched[16];
  std::snprintf(watched, sizeof watched, "%08x", static_cast<uint32_t>(std::stoul(probe_->Ask("pid"))));
  ChildProcess replacement({watched}, install_.Environment(), install_.path(), install_.collectorPath());
  const std::string slot = "/dev/shm/ZELQUAR." + install_.objectNamespace() + ".slot.ZELQUAR_Outlog";
  for (int i = 0; i < 500 && !std::filesystem::exists(slot); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // a gone collector is looked for once a second
  ASSERT_EQ(Send(kCommand), (Answer{0, 2, "9000"}));
  EXPECT_EQ(probe_->Ask("close 0x0100"), "0");
  probe_->Send("exit");
  EXPECT_EQ(probe_->Wait(), 0);
  EXPECT_TRUE(replacement.WaitFor(10000).has_value());  // ends once the application has gone
  // The file holds whole records only, and the application's last ones.
  const std::vector<std::string> log = install_.DecodedLog();
  EXPECT_GT(log.size(), 0u);
  EXPECT_EQ(CountContaining(log, "!!"), 0u);
  size_t lost = log.size();
  for (size_t i = 0; i < log.size(); ++i) {
    if (log[i].find("LogOutput lost ") != std::string::npos) lost = i;
  }
  ASSERT_LT(lost, log.size());
  EXPECT_GT(CountContaining(std::vector<std::string>(log.begin() + static_cast<long>(lost), log.end()), "★★★RFRW_Close Call"), 0u);
  // The next application after everyone left starts a collector of its own.
  auto next = install_.StartLoadedProbe();
  const uint32_t second = static_cast<uint32_t>(std::stoul(ParseFields(next->Ask("inspect"))["collector"]));
  EXPECT_NE(second, 0u);
  EXPECT_NE(second, collector);
  EXPECT_TRUE(platform::ProcessIsAlive(second));
}

// ---- a resend window that has always passed -----------------------------------------

// "RetryTimeout " below zero is taken as 0, the bottom of its range: the
// window has always passed, so a request the link could not complete ends
// the call at once instead of being sent again for ever.
class NegativeResendWindow : public ReaderTest {
 protected:
  NegativeResendWindow()
      : ReaderTest("AdminCheckCut=1\nBlockTimeout=200\nRetryTimeout=-1\nCharacterTimeout=100\nLogLevel=3\n"
                   "RwPowerOffOnRetryCount=0\n") {}
};

TEST_F(NegativeResendWindow, AFailedExchangeEndsTheCallAtOnceWithoutResending) {
  // Read at attach and logged again by the link thread.
  EXPECT_EQ(Lines("IniFile RetryTimeout = 0"), 2u);
  ASSERT_EQ(Sim("fault drop-reply 1000"), "OK");
  const auto start = Clock::now();
  EXPECT_EQ(Send(kCommand, 256), (Answer{-4, 0, ""}));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(Lines("D_Error k_CM_TransmitMsg(6) detail = -4  (1339)"), 1u);
  EXPECT_EQ(Lines(" D - Retry  (1276)"), 0u);
  ASSERT_EQ(Sim("fault drop-reply 0"), "OK");
  EXPECT_EQ(Send(kCommand), (Answer{0, 2, "9000"}));
}

// ---- the INI file ------------------------------------------------------------------

TEST(FaultMatrixIni, AnEmptyOrGarbageIniFileGivesTheDefaultsAndTheReaderStillOpens) {
  std::string noise;
  for (int i = 0; i < 4096; ++i) noise += static_cast<char>((i * 131 + 7) % 256);
  struct Row {
    const char* what;
    std::string bytes;
  };
  const Row rows[] = {
      {"empty", ""},
      {"binary noise", noise},
      {"lines of nothing", std::string(70000, 'x') + "\n=\n==\n[\n]\n[RFRW_Drv\nBlockTimeout\n;BlockTimeout=1\n"},
      {"another section only", "[RFRW]\nBlockTimeout=1\nRetryTimeout=1\nAdminCheckCut=1\n"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    InstallDir install(std::nullopt);
    install.WriteFile("ZELQUAR_Drv.ini", r.bytes);
    auto probe = install.StartLoadedProbe();
    for (const char* line : {"IniFile BlockTimeout = 2300", "IniFile RetryTimeout = 15000", "IniFile TransmitRetryNum = 10",
                             "IniFile PID_VID = vid_FFF1&pid_7C02", "IniFile GpioInitialData = 0x0084",
                             "IniFile AdminCheckCut = 0"}) {
      EXPECT_EQ(install.LogLinesWith(line).size(), 1u) << line;
    }
    // The file is there, so the open goes on (this test runs as an administrator or the check is cut).
    const std::string opened = probe->Ask("open 0x0100", 60000);
    if (platform::IsAdministrator()) {
      EXPECT_EQ(opened, "0");
      EXPECT_EQ(probe->Ask("send 0x0100 " + kCommand + " 256"), "0 2 9000");
      EXPECT_EQ(probe->Ask("close 0x0100"), "0");
    } else {
      EXPECT_EQ(opened, "-10");
    }
  }
}

}  // namespace
}  // namespace zq::test
