// What our threads ask of the scheduler: short time slices for the threads
// that wake for every report, real-time pacing for the simulator.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <thread>

#include "platform/os/threads.h"

namespace zq::platform {
namespace {

// The kernel's struct sched_attr (first version with utilisation clamps).
struct Attr {
  uint32_t size;
  uint32_t policy;
  uint64_t flags;
  int32_t nice;
  uint32_t priority;
  uint64_t runtime;
  uint64_t deadline;
  uint64_t period;
  uint32_t utilMin;
  uint32_t utilMax;
};

bool Get(Attr* a) {
  *a = Attr{};
  return ::syscall(SYS_sched_getattr, 0, a, sizeof *a, 0) == 0;
}

// An ordinary thread gets its short slices and keeps its nice value (the
// kernel's call sets both at once, so a careless one resets the nice to 0).
TEST(Scheduling, ShortTimeSlicesAreTakenAndTheNiceValueKept) {
  bool taken = false, slicesShown = false;
  int niceAfter = 0;
  Attr after{};
  std::thread t([&] {
    ASSERT_EQ(::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 5), 0);
    Attr before{};
    ASSERT_TRUE(Get(&before));
    slicesShown = before.runtime != 0;  // kernels with custom slices show the slice here
    taken = AskForShortTimeSlices();
    ASSERT_TRUE(Get(&after));
    errno = 0;
    niceAfter = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
  });
  t.join();
  EXPECT_TRUE(taken);
  EXPECT_EQ(niceAfter, 5);
  EXPECT_EQ(after.policy, static_cast<uint32_t>(SCHED_OTHER));
  if (slicesShown) {
    EXPECT_EQ(after.runtime, 100000u);
  }
}

// Where the system allows it the simulator's pacing runs ahead of ordinary
// threads; a process it starts begins as an ordinary one, and a real-time
// thread is not given short slices (that would make it an ordinary one).
TEST(Scheduling, RealTimePacingWhereAllowedIsNeitherInheritedNorUndone) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (!RunAheadOfOrdinaryThreads()) ::_exit(::sched_getscheduler(0) == SCHED_OTHER ? 77 : 1);
    if ((::sched_getscheduler(0) & ~SCHED_RESET_ON_FORK) != SCHED_FIFO) ::_exit(2);
    if (AskForShortTimeSlices()) ::_exit(3);
    if ((::sched_getscheduler(0) & ~SCHED_RESET_ON_FORK) != SCHED_FIFO) ::_exit(4);
    const pid_t grandchild = ::fork();
    if (grandchild == 0) ::_exit(::sched_getscheduler(0) == SCHED_OTHER ? 0 : 5);
    int status = 0;
    if (grandchild < 0 || ::waitpid(grandchild, &status, 0) != grandchild || !WIFEXITED(status)) ::_exit(6);
    ::_exit(WEXITSTATUS(status));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "real-time scheduling is refused to this user";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace zq::platform
