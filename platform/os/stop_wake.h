// Inside the platform layer only: how a blocking wait lets a stop request
// of its thread (threads.h) end it.
#pragma once

namespace zq::platform {

// For its lifetime, a stop request of the calling thread calls `wake(arg)`
// (under the thread's own lock, so never after the registration is gone),
// which must make the wait return and look at StopRequested() again: a
// futex waiter's word changed and woken. Does nothing on a thread not
// started by StartThread. Destroy it before what `arg` points to goes.
class StopWakeRegistration {
 public:
  StopWakeRegistration(void (*wake)(void*), void* arg);
  ~StopWakeRegistration();
  StopWakeRegistration(const StopWakeRegistration&) = delete;
  StopWakeRegistration& operator=(const StopWakeRegistration&) = delete;
};

}  // namespace zq::platform
