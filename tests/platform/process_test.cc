#include "platform/process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace zq::platform {
namespace {

TEST(Process, AliveUntilItEndsEvenBeforeItIsReaped) {
  EXPECT_TRUE(ProcessIsAlive(CurrentProcessId()));
  EXPECT_FALSE(ProcessIsAlive(0));
  pid_t child = fork();
  if (child == 0) {
    pause();
    _exit(0);
  }
  EXPECT_TRUE(ProcessIsAlive(static_cast<uint32_t>(child)));
  kill(child, SIGKILL);
  // Not reaped yet: a zombie has ended all the same.
  bool ended = false;
  for (int i = 0; i < 500 && !ended; ++i) {
    ended = !ProcessIsAlive(static_cast<uint32_t>(child));
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(ended);
  waitpid(child, nullptr, 0);
  EXPECT_FALSE(ProcessIsAlive(static_cast<uint32_t>(child)));
}

}  // namespace
}  // namespace zq::platform
