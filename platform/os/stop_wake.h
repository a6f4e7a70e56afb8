// Inside the platform layer only: how a blocking wait lets a stop request
// of its thread (threads.h) end it.
#pragma once

#include <condition_variable>
#include <mutex>

namespace zq::platform {

// For its lifetime, a stop request of the calling thread notifies `cv`
// while holding `mutex`, so a waiter that checks StopRequested() in its
// predicate under `mutex` cannot miss it. Does nothing on a thread not
// started by StartThread. Destroy it before `mutex` and `cv` go.
//
// The second form is for waits without a condition variable: a stop
// request calls `wake(arg)`, which must make the wait return and recheck
// StopRequested() (a futex waiter's word changed and woken).
class StopWakeRegistration {
 public:
  StopWakeRegistration(std::mutex& mutex, std::condition_variable& cv);
  StopWakeRegistration(void (*wake)(void*), void* arg);
  ~StopWakeRegistration();
  StopWakeRegistration(const StopWakeRegistration&) = delete;
  StopWakeRegistration& operator=(const StopWakeRegistration&) = delete;
};

}  // namespace zq::platform
