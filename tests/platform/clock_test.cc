#include "platform/os/clock.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace zq::platform {
namespace {

// The log's millisecond stamp: counter x 1000000 / frequency / 1000.
uint64_t Reference(uint64_t counter, uint64_t frequency) {
  unsigned __int128 product = static_cast<unsigned __int128>(counter) * 1000000u;
  return static_cast<uint64_t>(product / frequency / 1000u);
}

TEST(Clock, CounterToMillisecondsNeverOverflows) {
  const uint64_t frequencies[] = {1000000000ull, 10000000ull, 3579545ull, 1ull};
  const uint64_t counters[] = {0ull, 1ull, 999999999ull, 123456789012345ull, 18446744073709ull,
                               0x7FFFFFFFFFFFFFFFull, 0xFFFFFFFFFFFFFFFFull};
  for (uint64_t f : frequencies) {
    for (uint64_t c : counters) {
      // The stamp keeps the low 16 bits; those must match the exact value.
      EXPECT_EQ(CounterToMilliseconds(c, f) & 0xFFFF, Reference(c, f) & 0xFFFF) << c << " / " << f;
    }
  }
  EXPECT_EQ(CounterToMilliseconds(5, 0), 0u);
}

TEST(Clock, LocalTimeFieldsAreInRange) {
  LocalTime t = GetLocalTime();
  EXPECT_GE(t.year, 2000);
  EXPECT_TRUE(t.month >= 1 && t.month <= 12);
  EXPECT_TRUE(t.day >= 1 && t.day <= 31);
  EXPECT_LE(t.hour, 23);
  EXPECT_LE(t.minute, 59);
  EXPECT_LE(t.second, 59);
  EXPECT_LE(t.milliseconds, 999);
}

}  // namespace
}  // namespace zq::platform
