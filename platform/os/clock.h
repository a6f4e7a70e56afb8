// Wall-clock and monotonic time. All functions are thread-safe and never block
// except SleepMilliseconds.
#pragma once

#include <cstdint>

namespace zq::platform {

// Local time broken down like a Windows SYSTEMTIME.
struct LocalTime {
  uint16_t year;
  uint16_t month;      // 1..12
  uint16_t dayOfWeek;  // 0 = Sunday
  uint16_t day;
  uint16_t hour;
  uint16_t minute;
  uint16_t second;
  uint16_t milliseconds;
};
LocalTime GetLocalTime();

// Milliseconds of a monotonic clock in 32 bits; wraps after about 49.7 days,
// so compare two readings by their unsigned difference.
uint32_t TickCount();

// A monotonic high-resolution counter and its ticks per second.
int64_t PerformanceCounter();
int64_t PerformanceFrequency();

// counter x 1000000 / frequency / 1000 (whole milliseconds of a counter
// reading) without overflowing for any counter. Pure.
uint64_t CounterToMilliseconds(uint64_t counter, uint64_t frequency);

void SleepMilliseconds(uint32_t ms);

// Microseconds of the monotonic clock (the same clock as PerformanceCounter).
int64_t MonotonicMicroseconds();

}  // namespace zq::platform
