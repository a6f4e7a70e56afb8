// Events and pipes between threads: who an event releases, what ends a
// wait, and whole messages through a pipe whose read end keeps what a read
// brought beyond the bytes asked for.
#include "platform/os/channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/os/threads.h"
#include "platform/os/win32_errors.h"

namespace zq::platform {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Starts `n` plain threads that each wait once on `e` for `ms`; their
// results land in `results` in no particular order.
std::vector<std::thread> Waiters(Event* e, int n, int32_t ms, std::vector<std::atomic<uint32_t>>& results) {
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i) threads.emplace_back([e, ms, &results, i] { results[i] = WaitForEvent(e, ms); });
  return threads;
}

int Count(const std::vector<std::atomic<uint32_t>>& results, uint32_t value) {
  int n = 0;
  for (const auto& r : results) n += r.load() == value ? 1 : 0;
  return n;
}

TEST(Events, AnAutoResetSignalReleasesOneWaiterAndAManualOneReleasesAllUntilReset) {
  struct Case {
    bool manualReset;
    int released;      // of three waiters
    bool setAfterward;
  };
  for (const Case c : {Case{false, 1, false}, Case{true, 3, true}}) {
    Event* e = CreateEvent(c.manualReset, false);
    ASSERT_NE(e, nullptr);
    std::vector<std::atomic<uint32_t>> results(3);
    for (auto& r : results) r = 0xFFFFFFFF;
    auto threads = Waiters(e, 3, 1500, results);
    std::this_thread::sleep_for(milliseconds(100));  // all three inside their waits
    EXPECT_EQ(Count(results, 0xFFFFFFFF), 3) << "a wait ended before the signal";
    SetEvent(e);
    for (auto& t : threads) t.join();
    EXPECT_EQ(Count(results, kWaitObject0), c.released) << "manual " << c.manualReset;
    EXPECT_EQ(Count(results, kWaitTimeout), 3 - c.released) << "manual " << c.manualReset;
    EXPECT_EQ(EventIsSet(e), c.setAfterward);
    // A signal given while nobody waits is kept for the next wait.
    ResetEvent(e);
    EXPECT_EQ(WaitForEvent(e, 0), kWaitTimeout);
    SetEvent(e);
    EXPECT_EQ(WaitForEvent(e, 0), kWaitObject0);
    EXPECT_EQ(WaitForEvent(e, 0), c.manualReset ? kWaitObject0 : kWaitTimeout);
    CloseEvent(e);
  }
}

TEST(Events, AWaitEndsByItsTimeoutAStopRequestOrTheHandleClosedUnderIt) {
  Event* e = CreateEvent(false, false);
  ASSERT_NE(e, nullptr);
  const auto started = steady_clock::now();
  EXPECT_EQ(WaitForEvent(e, 120), kWaitTimeout);
  EXPECT_GE(steady_clock::now() - started, milliseconds(120));

  // A stoppable thread waiting without limit: its stop request ends the wait.
  std::atomic<uint32_t> stopped{0}, stoppedError{0};
  Thread* t = StartThread([&] {
    stopped = WaitForEvent(e, -1);
    stoppedError = LastError();
    return 0u;
  });
  ASSERT_NE(t, nullptr);
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(ThreadExitCode(t), kErrorStillActive);
  EXPECT_TRUE(StopThread(t, 2000));
  CloseThread(t);
  EXPECT_EQ(stopped.load(), kWaitFailed);
  EXPECT_EQ(stoppedError.load(), kErrorOperationAborted);

  // Two waiters without limit; the handle is closed under them. Both
  // return, and the last one out frees the object (a sanitizer build sees
  // any use after it).
  std::vector<std::atomic<uint32_t>> results(2);
  for (auto& r : results) r = 0xFFFFFFFF;
  auto threads = Waiters(e, 2, -1, results);
  std::this_thread::sleep_for(milliseconds(100));
  CloseEvent(e);
  for (auto& th : threads) th.join();
  EXPECT_EQ(Count(results, kWaitFailed), 2);
}

TEST(Pipes, MessagesKeepTheirBoundariesWhenOneReadBringsSeveral) {
  PipeEnd* r = nullptr;
  PipeEnd* w = nullptr;
  ASSERT_TRUE(CreatePipe(64 * 1024, &r, &w));
  // Three messages of a 4-byte head and a body, one of them longer than
  // what a read end keeps, all written before the first read.
  const size_t sizes[] = {32, 9000, 5};
  std::vector<std::vector<uint8_t>> sent;
  for (size_t size : sizes) {
    std::vector<uint8_t> body(size);
    for (size_t i = 0; i < size; ++i) body[i] = static_cast<uint8_t>(i * 7 + size);
    const uint8_t head[4] = {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8), 0, 0};
    ASSERT_TRUE(WriteWhole(w, head, 4));
    ASSERT_TRUE(WriteWhole(w, body.data(), body.size()));
    sent.push_back(body);
  }
  long expected = 0;
  for (size_t size : sizes) expected += static_cast<long>(4 + size);
  for (const auto& body : sent) {
    EXPECT_EQ(BytesAvailable(r), expected);
    uint8_t head[4];
    ASSERT_TRUE(ReadWhole(r, head, 4));
    const size_t size = head[0] | (head[1] << 8);
    ASSERT_EQ(size, body.size());
    std::vector<uint8_t> got(size);
    ASSERT_TRUE(ReadWhole(r, got.data(), got.size()));
    EXPECT_EQ(got, body);
    expected -= static_cast<long>(4 + size);
  }
  EXPECT_EQ(BytesAvailable(r), 0);
  // Held bytes are still delivered after the writer has gone; then the
  // pipe is broken.
  const uint8_t tail[6] = {1, 2, 3, 4, 5, 6};
  ASSERT_TRUE(WriteWhole(w, tail, sizeof tail));
  uint8_t first[2];
  ASSERT_TRUE(ReadWhole(r, first, 2));
  ClosePipeEnd(w);
  uint8_t rest[4];
  ASSERT_TRUE(ReadWhole(r, rest, 4));
  EXPECT_EQ(rest[3], 6);
  EXPECT_FALSE(ReadWhole(r, rest, 1));
  EXPECT_EQ(LastError(), kErrorBrokenPipe);
  ClosePipeEnd(r);
}

}  // namespace
}  // namespace zq::platform
