// Library attach and detach, and what every exported call holds while it runs.
#pragma once

#include <cstdint>
#include <string>

namespace zq::drv {

// Held by every exported function for its whole run. Counts the call in
// flight (so detach never unmaps memory a call still uses) and logs the
// thread attach line the first time a thread enters the library.
class ApiCallScope {
 public:
  ApiCallScope();
  ~ApiCallScope();
  ApiCallScope(const ApiCallScope&) = delete;
  ApiCallScope& operator=(const ApiCallScope&) = delete;
  // False after process detach, and in a forked child that never attached:
  // the call must return without touching shared state.
  bool usable() const { return usable_; }

 private:
  bool usable_;
};

// True once process detach has begun: no port entry may be taken any more.
bool LibraryDetaching();

}  // namespace zq::drv
