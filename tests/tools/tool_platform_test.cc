// The platform functions the tool runs on: programs run with their output
// captured (also when they leave a process behind that holds it), ended,
// the environment and private directories. The stop signals are checked
// through the tool itself (tool_test.cc, watch mode).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "platform/os/clock.h"
#include "platform/os/environment.h"
#include "platform/os/process.h"
#include "platform/os/run_program.h"
#include "platform/os/win32_errors.h"

namespace zq::platform {
namespace {

TEST(ToolPlatform, RunProgramGivesTheOutputAndTheExitCodeAndDoesNotWaitForWhatTheChildLeft) {
  std::string out;
  EXPECT_EQ(RunProgram({"/bin/sh", "-c", "echo one; echo two; exit 3"}, &out), 3);
  EXPECT_EQ(out, "one\ntwo\n");
  out.clear();
  EXPECT_EQ(RunProgram({"/bin/sh", "-c", "kill -TERM $$"}, &out), 128 + 15);
  // A daemon-like child: the process it leaves keeps the output open for a
  // while; the run ends with the child, not with it.
  const uint32_t start = TickCount();
  out.clear();
  EXPECT_EQ(RunProgram({"/bin/sh", "-c", "echo 4242; sleep 3 & exit 0"}, &out), 0);
  EXPECT_LT(TickCount() - start, 2000u);
  EXPECT_EQ(out, "4242\n");
  // Much more output than a pipe holds, and no place to keep it.
  EXPECT_EQ(RunProgram({"/bin/sh", "-c", "head -c 1000000 /dev/zero"}, nullptr), 0);
  // A program that is not there.
  SetLastError(0);
  EXPECT_EQ(RunProgram({"/no/such/program"}, &out), kProgramNotStarted);
  EXPECT_EQ(LastError(), kErrorFileNotFound);
  EXPECT_EQ(RunProgram({}, &out), kProgramNotStarted);
}

TEST(ToolPlatform, EndProcessEndsAProgramAndOneThatIgnoresSigterm) {
  std::string pid;
  ASSERT_EQ(RunProgram({"/bin/sh", "-c", "sleep 30 >/dev/null 2>&1 & echo $!"}, &pid), 0);
  const uint32_t polite = static_cast<uint32_t>(std::stoul(pid));
  ASSERT_TRUE(ProcessIsAlive(polite));
  EXPECT_TRUE(EndProcess(polite, 3000));
  EXPECT_FALSE(ProcessIsAlive(polite));

  // A program that ignores SIGTERM is killed once the grace time has passed.
  pid.clear();
  ASSERT_EQ(RunProgram({"/bin/sh", "-c", "trap '' TERM; sleep 30 >/dev/null 2>&1 & echo $!"}, &pid), 0);
  const uint32_t stubborn = static_cast<uint32_t>(std::stoul(pid));
  ASSERT_TRUE(ProcessIsAlive(stubborn));
  const uint32_t start = TickCount();
  EXPECT_TRUE(EndProcess(stubborn, 300));
  EXPECT_GE(TickCount() - start, 290u);
  EXPECT_FALSE(ProcessIsAlive(stubborn));
  EXPECT_TRUE(EndProcess(stubborn, 300));  // gone already
  EXPECT_TRUE(EndProcess(0, 300));
}

TEST(ToolPlatform, EnvironmentAndPrivateDirectories) {
  EXPECT_TRUE(SetEnvironmentValue("ZQ_TOOL_PLATFORM_TEST", "a value"));
  EXPECT_EQ(EnvironmentValue("ZQ_TOOL_PLATFORM_TEST"), "a value");
  EXPECT_EQ(EnvironmentValue("ZQ_TOOL_PLATFORM_TEST_UNSET"), "");

  const std::string oldTmp = EnvironmentValue("TMPDIR");
  const std::string base = (std::filesystem::temp_directory_path() / ("zq-tool-platform-" + std::to_string(CurrentProcessId()))).string();
  std::filesystem::create_directories(base);
  ASSERT_TRUE(SetEnvironmentValue("TMPDIR", base));
  const std::string dir = MakePrivateDirectory("sim-");
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.rfind(base + "/sim-", 0), 0u) << dir;
  struct stat st {};
  ASSERT_EQ(stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_NE(MakePrivateDirectory("sim-"), dir);
  std::filesystem::create_directories(dir + "/a/b");
  std::ofstream(dir + "/a/b/file") << "x";
  // A link out of the tree is removed, not followed.
  std::filesystem::create_directory_symlink(base, dir + "/out");
  RemoveDirectoryTree(dir);
  EXPECT_FALSE(std::filesystem::exists(dir));
  EXPECT_TRUE(std::filesystem::exists(base));
  RemoveDirectoryTree(dir);  // a missing path is fine

  ASSERT_TRUE(SetEnvironmentValue("TMPDIR", base + "/missing"));
  SetLastError(0);
  EXPECT_EQ(MakePrivateDirectory("sim-"), "");
  EXPECT_EQ(LastError(), kErrorFileNotFound);
  SetEnvironmentValue("TMPDIR", oldTmp);
  std::filesystem::remove_all(base);
}

}  // namespace
}  // namespace zq::platform
