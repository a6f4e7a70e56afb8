#include "platform/os/named_mutex.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/os/object_names.h"
#include "platform/os/win32_errors.h"

namespace zq::platform {
namespace {

std::string UniqueName(const char* what) {
  return std::string(what) + "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

// Runs `body` in a child process and returns its exit code.
template <typename Body>
int InChild(Body body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// 0 when another process could take the mutex within timeoutMs, 1 when it
// timed out, 2 on any other result.
int OtherProcessTakes(const std::string& name, int timeoutMs) {
  return InChild([&] {
    NamedMutex* m = OpenNamedMutex(name.c_str());
    uint32_t r = WaitNamedMutex(m, timeoutMs);
    if (r == kWaitObject0) return ReleaseNamedMutex(m) ? 0 : 2;
    return r == kWaitTimeout ? 1 : 2;
  });
}

TEST(NamedMutex, IsRecursiveAndExcludesOtherProcessesUntilFullyReleased) {
  const std::string name = UniqueName("MTX");
  NamedMutex* a = OpenNamedMutex(name.c_str());
  NamedMutex* b = OpenNamedMutex(name.c_str());
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(NamedMutexHandleValue(a), NamedMutexHandleValue(b));
  EXPECT_EQ(OtherProcessTakes(name, 1000), 0);  // free at first

  EXPECT_EQ(WaitNamedMutex(a, -1), kWaitObject0);
  EXPECT_EQ(WaitNamedMutex(b, 0), kWaitObject0);  // same thread again, through another handle
  EXPECT_EQ(OtherProcessTakes(name, 100), 1);
  ASSERT_TRUE(ReleaseNamedMutex(b));
  EXPECT_EQ(OtherProcessTakes(name, 100), 1);  // still owned once
  ASSERT_TRUE(ReleaseNamedMutex(a));
  EXPECT_EQ(OtherProcessTakes(name, 1000), 0);
  CloseNamedMutex(a);
  CloseNamedMutex(b);
}

TEST(NamedMutex, DeadOwnerIsReportedAsAbandonedAndTheMutexStaysUsable) {
  const std::string name = UniqueName("MTX");
  // The child takes the mutex and ends without releasing it.
  ASSERT_EQ(InChild([&] {
              NamedMutex* m = OpenNamedMutex(name.c_str());
              return WaitNamedMutex(m, -1) == kWaitObject0 ? 0 : 1;
            }),
            0);
  NamedMutex* m = OpenNamedMutex(name.c_str());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(WaitNamedMutex(m, 1000), kWaitAbandoned);
  ASSERT_TRUE(ReleaseNamedMutex(m));
  EXPECT_EQ(WaitNamedMutex(m, 1000), kWaitObject0);  // consistent again: an ordinary take
  ASSERT_TRUE(ReleaseNamedMutex(m));
  CloseNamedMutex(m);
}

TEST(NamedMutex, ReleaseWithoutOwnershipFails) {
  const std::string name = UniqueName("MTX");
  NamedMutex* m = OpenNamedMutex(name.c_str());
  ASSERT_NE(m, nullptr);
  SetLastError(0);
  EXPECT_FALSE(ReleaseNamedMutex(m));
  EXPECT_EQ(LastError(), kErrorNotOwner);
  CloseNamedMutex(m);
}

TEST(NamedMutex, AnObjectThatCannotBeMadeIsReportedWithItsError) {
  const std::string name = UniqueName("MTX");
  // A directory in the way of the shared object.
  const std::string path = "/dev/shm" + SharedObjectName("mtx", name);
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  SetLastError(0);
  EXPECT_EQ(OpenNamedMutex(name.c_str()), nullptr);
  EXPECT_NE(LastError(), 0u);
  rmdir(path.c_str());
  EXPECT_EQ(OpenNamedMutex(""), nullptr);
  EXPECT_EQ(LastError(), kErrorInvalidParameter);
}

}  // namespace
}  // namespace zq::platform
