// A scripted reader standing where the byte transport would be: installed
// through the link's transport table (FakeReader::Install), the link
// thread's writes, reads and purges land here. Each unit's data area has
// its own fake, so several ports can talk at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace zq::drv {
struct PortDataArea;
struct LinkTransport;
}

namespace zq::test {

using Bytes = std::vector<uint8_t>;

class FakeReader {
 public:
  // Called for every frame the link writes, in the writer's thread; it
  // queues what the reader sends back.
  using Responder = std::function<void(const Bytes& frame, FakeReader& reader)>;

  void SetResponder(Responder responder);
  // Queues bytes that become readable `delayMs` after the previously
  // queued ones. A read takes one Send's bytes, or those of several when it
  // wants more than one brings and the next is ready in time.
  void Send(const Bytes& bytes, int delayMs = 0);

  // While held, every read blocks until Release(), deaf to stop requests,
  // as a transport stuck in a call of its own would be. ReadIsHeld() tells
  // whether a read waits there now.
  void Hold();
  void Release();
  bool ReadIsHeld() const;

  std::vector<Bytes> written() const;
  int purges() const;
  void Reset();

  // Transport entry points.
  int32_t Write(const uint8_t* frame, uint32_t length);
  int32_t Read(uint8_t* buffer, uint32_t maximum, uint32_t waitMs, uint32_t wanted, uint32_t quietMs);
  int32_t Purge();

  static FakeReader& For(const drv::PortDataArea& area);

  // The table that sends every port's link traffic to its fake, and its
  // installation for the link threads started from now on.
  static const drv::LinkTransport& Table();
  static void Install();

 private:
  struct Chunk {
    Bytes bytes;
    std::chrono::steady_clock::time_point readyAt;
  };
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  Responder responder_;
  std::deque<Chunk> queue_;
  std::vector<Bytes> written_;
  int purges_ = 0;
  bool hold_ = false;
  int heldReads_ = 0;
};

// A reply frame: address byte, big-endian length, body, block check.
Bytes ReplyFrame(uint8_t address, const Bytes& body);
// The same with a wrong block check byte.
Bytes BrokenReplyFrame(uint8_t address, const Bytes& body);

}  // namespace zq::test
