// The collector program on its own: started like the driver starts it, fed
// through the real mailslot by this test.
#include "outlog/collector.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/os/mailslot.h"
#include "platform/os/object_names.h"
#include "platform/os/process.h"
#include "platform/os/win32_errors.h"
#include "tests/support/child_process.h"
#include "tests/support/install_dir.h"

namespace zq::outlog {
namespace {

namespace fs = std::filesystem;

TEST(CollectorArguments, WatchedPidComesFromElementZero) {
  EXPECT_EQ(ParseWatchedPid("0000abcd"), 0xABCDu);
  EXPECT_EQ(ParseWatchedPid("12zz"), 0x12u);
  EXPECT_EQ(ParseWatchedPid("123456789"), 0x12345678u);
  EXPECT_EQ(ParseWatchedPid("/usr/lib/zelquar/ZELQUAR_Outlog"), 0u);
  EXPECT_EQ(ParseWatchedPid(""), 0u);
}

TEST(CollectorArguments, RotationMovesBackupsOldestFirst) {
  const auto two = RotationPlan("/d/", 2);
  ASSERT_EQ(two.size(), 3u);
  EXPECT_EQ(two[0].from, "/d/ZELQUAR_DrvDLL_Log2.LOG");
  EXPECT_EQ(two[0].to, "");
  EXPECT_EQ(two[1].from, "/d/ZELQUAR_DrvDLL_Log1.LOG");
  EXPECT_EQ(two[1].to, "/d/ZELQUAR_DrvDLL_Log2.LOG");
  EXPECT_EQ(two[2].from, "/d/ZELQUAR_DrvDLL_Log.LOG");
  EXPECT_EQ(two[2].to, "/d/ZELQUAR_DrvDLL_Log1.LOG");
  EXPECT_EQ(RotationPlan("/d/", 1).size(), 2u);
  EXPECT_TRUE(RotationPlan("/d/", 0).empty());
  EXPECT_TRUE(RotationPlan("/d/", -3).empty());
}

// A collector in an installation of its own, watching a process of the test.
class CollectorRun {
 public:
  // The test talks to the mailslot in its own namespace.
  explicit CollectorRun(const std::string& ini) : install_(ini, std::string(platform::ObjectNamespace()), false) {
    watched_ = std::make_unique<test::ChildProcess>(std::vector<std::string>{"/bin/sleep", "600"},
                                                    std::map<std::string, std::string>{});
    Start(&collector_);
    // The mailslot exists once the collector printed its start line.
    EXPECT_EQ(collector_->ReadLine(10000).value_or(""), StartLine());
    for (int i = 0; i < 200 && client_.Open("ZELQUAR_Outlog") != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  void Start(std::unique_ptr<test::ChildProcess>* into) {
    char arg0[16];
    std::snprintf(arg0, sizeof arg0, "%08x", static_cast<unsigned>(watched_->pid()));
    *into = std::make_unique<test::ChildProcess>(std::vector<std::string>{arg0}, install_.Environment(),
                                                 install_.path(), install_.collectorPath());
  }
  std::string StartLine() const {
    char line[32];
    std::snprintf(line, sizeof line, "Start Process=%x", static_cast<unsigned>(watched_->pid()));
    return line;
  }

  void Send(const std::string& message) {
    ASSERT_EQ(client_.Send(reinterpret_cast<const uint8_t*>(message.data()), message.size(), 5000), 0u);
  }
  // Sends "End" (which makes the collector write out what it has) and waits
  // until `file` holds `expected`.
  bool FileBecomes(const std::string& file, const std::string& expected) {
    Send(std::string("End\0", 4));
    for (int i = 0; i < 500; ++i) {
      if (Read(file) == expected) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  std::string Read(const std::string& file) const {
    std::ifstream in(install_.path() + "/" + file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  bool Exists(const std::string& file) const { return fs::exists(install_.path() + "/" + file); }

  test::InstallDir install_;
  std::unique_ptr<test::ChildProcess> watched_;
  std::unique_ptr<test::ChildProcess> collector_;
  platform::MailslotClient client_;
};

TEST(Collector, RotatesOnlyPastTheLimitAndKeepsTheConfiguredBackups) {
  CollectorRun run("MaxLogFileByteLength=100\nMaxBackLogFileCount=2\n");
  const std::string a(100, 'a');
  run.Send(a);
  ASSERT_TRUE(run.FileBecomes("ZELQUAR_DrvDLL_Log.LOG", a));
  // Exactly at the limit: no rotation; one byte more: the next one rotates.
  run.Send("b");
  ASSERT_TRUE(run.FileBecomes("ZELQUAR_DrvDLL_Log.LOG", a + "b"));
  EXPECT_FALSE(run.Exists("ZELQUAR_DrvDLL_Log1.LOG"));
  run.Send("c");
  ASSERT_TRUE(run.FileBecomes("ZELQUAR_DrvDLL_Log.LOG", "c"));
  EXPECT_EQ(run.Read("ZELQUAR_DrvDLL_Log1.LOG"), a + "b");

  const std::string d(101, 'd'), e(101, 'e'), f(101, 'f');
  run.Send(d);  // "c" is small: appended
  run.Send(e);  // rotates
  run.Send(f);  // rotates
  ASSERT_TRUE(run.FileBecomes("ZELQUAR_DrvDLL_Log.LOG", f));
  EXPECT_EQ(run.Read("ZELQUAR_DrvDLL_Log1.LOG"), e);
  EXPECT_EQ(run.Read("ZELQUAR_DrvDLL_Log2.LOG"), "c" + d);
  EXPECT_FALSE(run.Exists("ZELQUAR_DrvDLL_Log3.LOG"));
  // The end messages themselves were never written.
  EXPECT_EQ(run.Read("ZELQUAR_DrvDLL_Log.LOG").find("End"), std::string::npos);
}

TEST(Collector, OneBackupOrNone) {
  {
    CollectorRun run("MaxLogFileByteLength=10\nMaxBackLogFileCount=1\n");
    for (const char* m : {"11111111111", "22222222222", "33333333333"}) run.Send(m);
    ASSERT_TRUE(run.FileBecomes("ZELQUAR_DrvDLL_Log.LOG", "33333333333"));
    EXPECT_EQ(run.Read("ZELQUAR_DrvDLL_Log1.LOG"), "22222222222");
    EXPECT_FALSE(run.Exists("ZELQUAR_DrvDLL_Log2.LOG"));
  }
  {
    CollectorRun run("MaxLogFileByteLength=10\nMaxBackLogFileCount=0\n");
    for (const char* m : {"11111111111", "22222222222"}) run.Send(m);
    // No backups: the log starts anew at the limit.
    ASSERT_TRUE(run.FileBecomes("ZELQUAR_DrvDLL_Log.LOG", "22222222222"));
    EXPECT_FALSE(run.Exists("ZELQUAR_DrvDLL_Log1.LOG"));
  }
}

TEST(Collector, OverlongMessagesAreSkippedAndFullSizeOnesKept) {
  CollectorRun run("");
  run.Send(std::string(40000, 'x'));
  const std::string full(32768, 'y');
  run.Send(full);
  run.Send("after");
  ASSERT_TRUE(run.FileBecomes("ZELQUAR_DrvDLL_Log.LOG", full + "after"));
}

TEST(Collector, ASecondCollectorEndsWithCode2) {
  CollectorRun run("");
  std::unique_ptr<test::ChildProcess> second;
  run.Start(&second);
  EXPECT_EQ(second->WaitFor(10000), std::optional<int>(kExitMailslot));
  // The first one still serves.
  run.Send("still here");
  EXPECT_TRUE(run.FileBecomes("ZELQUAR_DrvDLL_Log.LOG", "still here"));
}

TEST(Collector, StartedAsTheDriverStartsItItWatchesItsStarter) {
  test::InstallDir install("", std::string(platform::ObjectNamespace()), false);
  char arg0[16];
  std::snprintf(arg0, sizeof arg0, "%08x", platform::CurrentProcessId());
  const uint32_t pid = platform::StartProgram(install.collectorPath(), arg0, true, true);
  ASSERT_NE(pid, 0u);
  // The new program's arguments show once its exec has finished.
  std::string args;
  for (int i = 0; i < 200 && args.empty(); ++i) {
    std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    args.assign(std::istreambuf_iterator<char>(cmdline), std::istreambuf_iterator<char>());
    if (args.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(args, std::string(arg0) + '\0');
  // It serves while this process lives.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_TRUE(platform::ProcessIsAlive(pid));
  kill(static_cast<pid_t>(pid), SIGKILL);
  waitpid(static_cast<pid_t>(pid), nullptr, 0);

  EXPECT_EQ(platform::StartProgram(install.path() + "/missing", arg0, true, true), 0u);
  EXPECT_EQ(platform::LastError(), platform::kErrorFileNotFound);
}

TEST(Collector, EndsWhenTheWatchedProcessHasEndedAndTheMailslotIsDrained) {
  CollectorRun run("");
  run.Send("one");
  run.watched_->Kill(SIGKILL);
  run.watched_->Wait();
  EXPECT_EQ(run.collector_->WaitFor(10000), std::optional<int>(kExitNormal));
  EXPECT_EQ(run.Read("ZELQUAR_DrvDLL_Log.LOG"), "one");
}

TEST(Collector, PrintsRecordsAsTheyCameAndTellsAGoneWatchedProcessByItsId) {
  CollectorRun run("");
  run.Send("one");
  run.Send("two\n");
  ASSERT_TRUE(run.FileBecomes("ZELQUAR_DrvDLL_Log.LOG", "onetwo\n"));
  const unsigned watched = static_cast<unsigned>(run.watched_->pid());
  run.watched_->Kill(SIGKILL);
  run.watched_->Wait();
  EXPECT_EQ(run.collector_->WaitFor(10000), std::optional<int>(kExitNormal));
  EXPECT_EQ(run.collector_->ReadLine(5000), std::optional<std::string>("onetwo"));
  char gone[64];
  std::snprintf(gone, sizeof gone, "OpenProcess Error Processid=%x", watched);
  EXPECT_EQ(run.collector_->ReadLine(5000), std::optional<std::string>(gone));
}

TEST(Collector, ALogFileThatCannotBeOpenedEndsWithCode1AndTheOpenOwnError) {
  // Created through a link into sysfs, where nobody may create files (root
  // neither): the open is refused and the file never comes to exist.
  test::InstallDir install("", std::string(platform::ObjectNamespace()), false);
  const std::string target = "/sys/zelquar-log-" + std::to_string(getpid()) + ".LOG";
  ASSERT_FALSE(fs::exists(target));
  fs::create_symlink(target, install.path() + "/ZELQUAR_DrvDLL_Log.LOG");
  char arg0[16];
  std::snprintf(arg0, sizeof arg0, "%08x", platform::CurrentProcessId());
  test::ChildProcess collector({arg0}, install.Environment(), install.path(), install.collectorPath());
  EXPECT_EQ(collector.WaitFor(10000), std::optional<int>(kExitLogFile));
  char startLine[32];
  std::snprintf(startLine, sizeof startLine, "Start Process=%x", platform::CurrentProcessId());
  EXPECT_EQ(collector.ReadLine(5000), std::optional<std::string>(startLine));
  char refused[32];
  std::snprintf(refused, sizeof refused, "fopen error %d", static_cast<int>(platform::kErrorAccessDenied));
  EXPECT_EQ(collector.ReadLine(5000), std::optional<std::string>(refused));
}

// Fills the file system `filler` lies on, with that file, until no byte more fits.
void FillUp(const std::string& filler) {
  std::FILE* f = std::fopen(filler.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::setvbuf(f, nullptr, _IONBF, 0);
  const std::string block(4096, 'x');
  while (std::fwrite(block.data(), 1, block.size(), f) == block.size()) {
  }
  while (std::fwrite("x", 1, 1, f) == 1) {
  }
  std::fclose(f);
}

TEST(Collector, AFullDiskIsReportedWithTheRecordsItTookAndLaterRecordsGoToTheFileAgain) {
  // The collector runs from a small file system of its own, filled up:
  // every write of its log fails with "no space left".
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a file system of its own";
  ASSERT_EQ(unshare(CLONE_NEWNS), 0);
  ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
  test::InstallDir install("", std::string(platform::ObjectNamespace()), false);
  const std::string dir = install.path() + "/small";
  fs::create_directories(dir);
  const auto room = fs::file_size(install.collectorPath()) + (1u << 20);
  ASSERT_EQ(mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + std::to_string(room)).c_str()), 0);
  fs::copy_file(install.collectorPath(), dir + "/ZELQUAR_Outlog");
  fs::copy_file(install.path() + "/ZELQUAR_Drv.ini", dir + "/ZELQUAR_Drv.ini");
  const std::string logPath = dir + "/ZELQUAR_DrvDLL_Log.LOG";
  const std::string filler = dir + "/filler";
  FillUp(filler);
  char arg0[16];
  std::snprintf(arg0, sizeof arg0, "%08x", platform::CurrentProcessId());
  test::ChildProcess collector({arg0}, install.Environment(), dir, dir + "/ZELQUAR_Outlog");
  platform::MailslotClient client;
  for (int i = 0; i < 500 && client.Open("ZELQUAR_Outlog") != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(client.IsOpen());
  auto send = [&](const std::string& m) {
    ASSERT_EQ(client.Send(reinterpret_cast<const uint8_t*>(m.data()), m.size(), 5000), 0u);
  };
  // Waits for a console line; the lines passed on the way are kept.
  std::vector<std::string> seen;
  auto waitFor = [&](const std::string& line) {
    for (;;) {
      const std::optional<std::string> l = collector.ReadLine(10000);
      if (!l) return false;
      seen.push_back(*l);
      if (*l == line) return true;
    }
  };
  // The first record is written at once and fails alone; the next two are
  // written together at the end message and fail together.
  send("first\r\n");
  char full[64];
  std::snprintf(full, sizeof full, "write error %d: 1 records dropped", static_cast<int>(platform::kErrorDiskFull));
  EXPECT_TRUE(waitFor(full));
  send("second\r\n");
  send("third\r\n");
  send(std::string("End\0", 4));
  std::snprintf(full, sizeof full, "write error %d: 2 records dropped", static_cast<int>(platform::kErrorDiskFull));
  EXPECT_TRUE(waitFor(full));
  // Each record still went to the console.
  for (const char* r : {"first\r", "second\r", "third\r"}) {
    EXPECT_NE(std::find(seen.begin(), seen.end(), r), seen.end()) << r;
  }
  // Room again: from the next opening of the file on (an end message
  // reopens it), records land in it whole.
  fs::remove(filler);
  fs::remove(logPath);
  send(std::string("End\0", 4));
  send("fourth\r\n");
  send(std::string("End\0", 4));
  std::string got;
  for (int i = 0; i < 500 && got != "fourth\r\n"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream in(logPath, std::ios::binary);
    got.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  EXPECT_EQ(got, "fourth\r\n");
  EXPECT_FALSE(collector.WaitFor(0).has_value());  // still serving
}

}  // namespace
}  // namespace zq::outlog
