#include "platform/os/clock.h"

#include <time.h>

namespace zq::platform {

namespace {

// The last second this thread broke down: log records come many a second,
// and the time zone is read once per process anyway (localtime_r does not
// look at TZ again), so a second's parts are worked out once.
struct LastSecond {
  time_t second = -1;
  struct tm parts;
};
thread_local LastSecond t_lastSecond;

}  // namespace

LocalTime GetLocalTime() {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  LastSecond& last = t_lastSecond;
  if (last.second != now.tv_sec) {
    struct tm fresh {};
    localtime_r(&now.tv_sec, &fresh);
    last.parts = fresh;
    last.second = now.tv_sec;
  }
  const struct tm& parts = last.parts;
  LocalTime t{};
  t.year = static_cast<uint16_t>(parts.tm_year + 1900);
  t.month = static_cast<uint16_t>(parts.tm_mon + 1);
  t.dayOfWeek = static_cast<uint16_t>(parts.tm_wday);
  t.day = static_cast<uint16_t>(parts.tm_mday);
  t.hour = static_cast<uint16_t>(parts.tm_hour);
  t.minute = static_cast<uint16_t>(parts.tm_min);
  t.second = static_cast<uint16_t>(parts.tm_sec > 59 ? 59 : parts.tm_sec);
  t.milliseconds = static_cast<uint16_t>(now.tv_nsec / 1000000L);
  return t;
}

uint32_t TickCount() {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

int64_t PerformanceCounter() {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

int64_t PerformanceFrequency() { return 1000000000LL; }

uint64_t CounterToMilliseconds(uint64_t counter, uint64_t frequency) {
  if (frequency == 0) return 0;
  // counter * 1000000 / frequency / 1000 == floor(counter * 1000 / frequency),
  // split into whole seconds and remainder so no product exceeds 64 bits
  // (remainder < frequency, and frequency * 1000 fits for any real clock).
  const uint64_t seconds = counter / frequency;
  const uint64_t rest = counter % frequency;
  return seconds * 1000u + (rest * 1000u) / frequency;
}

void SleepMilliseconds(uint32_t ms) {
  struct timespec req {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&req, &req) != 0) {
  }
}

int64_t MonotonicMicroseconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000;
}

}  // namespace zq::platform
