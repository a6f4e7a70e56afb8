// Replacing one member of the platform's system-call table for the life of
// an object, for tests that make a call fail the way a full disk, a broken
// device, a signal or an exhausted system makes it fail.
//
//   SyscallHook<&platform::Syscalls::write> w("write", [](auto real, int fd, const void* b, size_t n) {
//     ...decide, or return real(fd, b, n);
//   });
//
// The behaviour gets the call it replaced (the real one) first. Install and
// remove hooks only while no thread of the code under test runs (the table
// is not locked); the behaviour itself may be called from any thread.
#pragma once

#include <cerrno>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/os/syscalls.h"

namespace zq::test {

template <auto Member, typename F = std::remove_reference_t<decltype(std::declval<platform::Syscalls&>().*Member)>>
class SyscallHook;

template <auto Member, typename R, typename... A>
class SyscallHook<Member, R (*)(A...)> {
 public:
  using Real = R (*)(A...);
  using Behaviour = std::function<R(Real, A...)>;

  SyscallHook(const char* name, Behaviour behaviour) : name_(name) {
    behaviour_ = std::move(behaviour);
    calls_.store(0);
    real_ = reinterpret_cast<Real>(platform::SetSyscall(name, reinterpret_cast<void*>(&Call)));
  }
  ~SyscallHook() {
    platform::SetSyscall(name_, reinterpret_cast<void*>(real_));
    behaviour_ = nullptr;
  }
  SyscallHook(const SyscallHook&) = delete;
  SyscallHook& operator=(const SyscallHook&) = delete;

  // Calls that reached the hook so far.
  static int calls() { return calls_.load(); }

  // A behaviour that fails the first `times` calls with errno `err` and
  // result `failure`, then makes the real call.
  static Behaviour FailFirst(int times, int err, R failure) {
    auto left = std::make_shared<std::atomic<int>>(times);
    return [left, err, failure](Real real, A... a) -> R {
      if (left->fetch_sub(1) > 0) {
        errno = err;
        return failure;
      }
      return real(a...);
    };
  }

 private:
  static R Call(A... a) {
    calls_.fetch_add(1);
    return behaviour_(real_, a...);
  }

  std::string name_;
  static inline Behaviour behaviour_;
  static inline Real real_ = nullptr;
  static inline std::atomic<int> calls_{0};
};

}  // namespace zq::test
