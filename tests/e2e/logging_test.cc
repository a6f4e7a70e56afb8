// Logging as applications meet it: the installed driver starts the
// collector, records of every process and thread reach the log file whole,
// and the log reader shows them.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/os/process.h"
#include "tests/support/install_dir.h"

namespace zq::test {
namespace {

namespace fs = std::filesystem;

// "YYYY/MM/DD hh:mm:ss:mmm " + the event padded to 20 + " ERROR:n INFO:0" + CR.
bool IsFatalFopenLine(const std::string& l) {
  const std::string shape = "dddd/dd/dd dd:dd:dd:ddd ";
  if (l.size() < shape.size() + 20) return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == 'd' ? !isdigit(static_cast<unsigned char>(l[i])) : l[i] != shape[i]) return false;
  }
  const std::string rest = l.substr(shape.size());
  if (rest.rfind("fopen                ERROR:", 0) != 0) return false;
  size_t i = 27;
  while (i < rest.size() && isdigit(static_cast<unsigned char>(rest[i]))) ++i;
  return i > 27 && rest.substr(i) == " INFO:0\r";
}

size_t CountContaining(const std::vector<std::string>& lines, const std::string& fragment) {
  size_t n = 0;
  for (const std::string& l : lines) n += l.find(fragment) != std::string::npos;
  return n;
}

// Waits for the collector to end on its own (all users gone, mailslot drained).
bool CollectorEnds(uint32_t pid) {
  for (int i = 0; i < 1000; ++i) {
    if (!platform::ProcessIsAlive(pid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Whether `pid` is an ended process still waiting for `parent` to collect it.
bool ZombieOf(uint32_t pid, pid_t parent) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream fields(stat.substr(close + 1));
  std::string state;
  pid_t ppid = 0;
  fields >> state >> ppid;
  return state == "Z" && ppid == parent;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

uint32_t CollectorOf(ChildProcess& probe) {
  return static_cast<uint32_t>(std::stoul(ParseFields(probe.Ask("inspect"))["collector"]));
}

TEST(Logging, WithLoggingOffNothingIsStartedOrWritten) {
  InstallDir install("LogFileFlg=0\nAdminCheckCut=0\n");
  auto probe = install.StartLoadedProbe();
  EXPECT_EQ(probe->Ask("open 0x0100"), "0");
  EXPECT_EQ(CollectorOf(*probe), 0u);
  probe->Send("exit");
  probe->Wait();
  EXPECT_FALSE(fs::exists(install.logPath()));
  EXPECT_FALSE(fs::exists(install.path() + "/ZELQUAR_DrvDLL_FATALERROR.TXT"));
}

TEST(Logging, WithoutTheCollectorProgramEveryRecordBecomesAFatalErrorLine) {
  InstallDir install("LogFileFlg=1\nAdminCheckCut=0\n");
  fs::remove(install.collectorPath());
  auto probe = install.StartLoadedProbe();
  EXPECT_EQ(CollectorOf(*probe), 0u);
  EXPECT_EQ(probe->Ask("open 0x0100"), "0");
  EXPECT_EQ(probe->Ask("close 0x0100"), "0");
  const size_t records = install.LogLines().size();  // the mirror sees every record that passed the filter
  ASSERT_GT(records, 10u);

  std::ifstream in(install.path() + "/ZELQUAR_DrvDLL_FATALERROR.TXT", std::ios::binary);
  size_t lines = 0;
  for (std::string l; std::getline(in, l); ++lines) EXPECT_TRUE(IsFatalFopenLine(l)) << l;
  EXPECT_EQ(lines, records);
}

TEST(Logging, RecordsOfManyProcessesAndThreadsArriveWholeAndTheReaderShowsThem) {
  InstallDir install("LogFileFlg=1\nLogLevel=3\n");
  constexpr int kProcesses = 3, kThreads = 4, kCalls = 50;
  std::vector<std::unique_ptr<ChildProcess>> probes;
  for (int i = 0; i < kProcesses; ++i) probes.push_back(install.StartLoadedProbe());
  const uint32_t collector = CollectorOf(*probes[0]);
  ASSERT_NE(collector, 0u);
  for (auto& p : probes) p->Send("log-burst " + std::to_string(kThreads) + " " + std::to_string(kCalls));
  for (auto& p : probes) EXPECT_EQ(p->ReadLine(60000).value_or(""), "done");
  for (auto& p : probes) {
    p->Send("exit");
    EXPECT_EQ(p->Wait(), 0);
  }
  ASSERT_TRUE(CollectorEnds(collector));

  const auto log = install.DecodedLog();
  EXPECT_EQ(CountContaining(log, "!!"), 0u);
  EXPECT_EQ(CountContaining(log, "LogOutput lost"), 0u);
  EXPECT_EQ(CountContaining(log, "★★★RFRW_GetDllVersion Call  RcvBufLen = 8"),
            static_cast<size_t>(kProcesses * kThreads * kCalls));
  EXPECT_EQ(CountContaining(log, "★★★RFRW_GetDllVersion Out  Ret = 0 | 00 01 00 01 00 00 00 06"),
            static_cast<size_t>(kProcesses * kThreads * kCalls));
  EXPECT_EQ(CountContaining(log, "DLL_PROCESS_DETACH"), static_cast<size_t>(kProcesses));
  EXPECT_EQ(CountContaining(log, "LogOutputFile CloseHandle"), static_cast<size_t>(kProcesses));
  // Japanese text comes back as it was logged.
  EXPECT_GT(CountContaining(log, "Signal待ち"), 0u);

  // The reader program prints the same.
  FILE* view = popen((std::string(ZQ_LOGVIEW_PATH) + " " + install.logPath()).c_str(), "r");
  ASSERT_NE(view, nullptr);
  size_t lines = 0;
  char buf[65536];
  while (fgets(buf, sizeof buf, view)) ++lines;
  EXPECT_EQ(pclose(view), 0);
  EXPECT_EQ(lines, log.size());
}

TEST(Logging, TheCollectorServesLaterProcessesAfterItsStarterEnded) {
  InstallDir install("LogFileFlg=1\nAdminCheckCut=0\n");
  auto starter = install.StartLoadedProbe();
  const uint32_t collector = CollectorOf(*starter);
  ASSERT_NE(collector, 0u);
  auto later = install.StartLoadedProbe();
  starter->Send("exit");
  starter->Wait();
  // Still serving: the later process's records are not lost.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_TRUE(platform::ProcessIsAlive(collector));
  EXPECT_EQ(later->Ask("open 0x0107" + kOpenWithoutReader), "0");
  EXPECT_EQ(later->Ask("close 0x0107"), "0");
  later->Send("exit");
  later->Wait();
  ASSERT_TRUE(CollectorEnds(collector));
  const auto log = install.DecodedLog();
  EXPECT_EQ(CountContaining(log, "★★★RFRW_Open Call  Port = 0x107"), 1u);
  EXPECT_EQ(CountContaining(log, "★★★RFRW_Close Out Ret = 0"), 1u);
}

TEST(Logging, TextsAlreadyInTheLogsCodePageAreWrittenAsTheyAre) {
  // "テスト" in code page 932, as an INI file written on Windows holds it.
  InstallDir install("LogFileFlg=1\nAdminCheckCut=0\nHidCommDllTrace=\x83\x65\x83\x58\x83\x67\n");
  auto probe = install.StartLoadedProbe();
  const uint32_t collector = CollectorOf(*probe);
  ASSERT_NE(collector, 0u);
  probe->Send("exit");
  probe->Wait();
  ASSERT_TRUE(CollectorEnds(collector));
  // The format's own text is converted, the value is not converted again.
  EXPECT_EQ(CountContaining(install.DecodedLog(), "IniFile HidCommDllTrace = テスト"), 1u);
  EXPECT_EQ(install.LogLinesWith("IniFile HidCommDllTrace = テスト").size(), 1u);
  // Japanese text of the driver's own still arrives.
  EXPECT_GT(CountContaining(install.DecodedLog(), "Signal待ち"), 0u);
}

TEST(Logging, ACollectorThatEndsEarlyIsCollectedAndTheNextProcessSaysHowOftenItTried) {
  InstallDir install("LogFileFlg=1\nAdminCheckCut=0\n");
  auto starter = install.StartLoadedProbe();
  const uint32_t collector = CollectorOf(*starter);
  ASSERT_NE(collector, 0u);
  ASSERT_EQ(kill(static_cast<pid_t>(collector), SIGKILL), 0);
  ASSERT_TRUE(CollectorEnds(collector));
  // It is not the starter's zombie, whatever became of it.
  for (int i = 0; i < 100 && ZombieOf(collector, starter->pid()); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(ZombieOf(collector, starter->pid()));

  // The next process finds no mailslot and no collector: one try, and the
  // message says so.
  auto later = install.StartProbe();
  ASSERT_EQ(later->Ask("stderr-to " + install.path() + "/later.err"), "ok");
  ASSERT_EQ(later->Ask("load"), "loaded");
  const std::string said = ReadFile(install.path() + "/later.err");
  EXPECT_NE(said.find("ZELQUAR_Drv.dll: MailSlot ffffffffffffffff retry=1 error=2\n"), std::string::npos) << said;
}

TEST(Logging, AStoppedCollectorSlowsButNeverHangsTheDriverAndLossesAreReported) {
  InstallDir install("LogFileFlg=1\nAdminCheckCut=0\n");
  auto probe = install.StartLoadedProbe();
  const uint32_t collector = CollectorOf(*probe);
  ASSERT_NE(collector, 0u);
  ASSERT_EQ(kill(static_cast<pid_t>(collector), SIGSTOP), 0);
  // Far more records than the mailslot queue holds.
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < 40; ++i) ASSERT_EQ(probe->Ask("version 8", 30000).rfind("0 8 ", 0), 0u);
  const auto spent = std::chrono::steady_clock::now() - started;
  EXPECT_LT(spent, std::chrono::seconds(15));
  ASSERT_EQ(kill(static_cast<pid_t>(collector), SIGCONT), 0);
  EXPECT_EQ(probe->Ask("version 8").rfind("0 8 ", 0), 0u);
  probe->Send("exit");
  probe->Wait();
  ASSERT_TRUE(CollectorEnds(collector));
  const auto log = install.DecodedLog();
  const size_t lostLines = CountContaining(log, "LogOutput lost ");
  EXPECT_EQ(lostLines, 1u);
  EXPECT_EQ(CountContaining(log, "!!"), 0u);
}

}  // namespace
}  // namespace zq::test
