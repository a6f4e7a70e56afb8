#include "tests/driver/link/fake_reader.h"

#include <algorithm>
#include <map>
#include <thread>

#include "driver/link/link_transport.h"
#include "platform/os/threads.h"
#include "protocol/frame.h"

namespace zq::test {

void FakeReader::SetResponder(Responder responder) {
  std::lock_guard<std::mutex> g(mutex_);
  responder_ = std::move(responder);
}

void FakeReader::Send(const Bytes& bytes, int delayMs) {
  std::lock_guard<std::mutex> g(mutex_);
  auto base = queue_.empty() ? std::chrono::steady_clock::now() : std::max(queue_.back().readyAt, std::chrono::steady_clock::now());
  queue_.push_back({bytes, base + std::chrono::milliseconds(delayMs)});
  cv_.notify_all();
}

void FakeReader::Hold() {
  std::lock_guard<std::mutex> g(mutex_);
  hold_ = true;
}

void FakeReader::Release() {
  std::lock_guard<std::mutex> g(mutex_);
  hold_ = false;
  cv_.notify_all();
}

bool FakeReader::ReadIsHeld() const {
  std::lock_guard<std::mutex> g(mutex_);
  return heldReads_ > 0;
}

std::vector<Bytes> FakeReader::written() const {
  std::lock_guard<std::mutex> g(mutex_);
  return written_;
}

int FakeReader::purges() const {
  std::lock_guard<std::mutex> g(mutex_);
  return purges_;
}

void FakeReader::Reset() {
  std::lock_guard<std::mutex> g(mutex_);
  responder_ = nullptr;
  queue_.clear();
  written_.clear();
  purges_ = 0;
  hold_ = false;
  cv_.notify_all();
}

int32_t FakeReader::Write(const uint8_t* frame, uint32_t length) {
  Bytes bytes(frame, frame + length);
  Responder responder;
  {
    std::lock_guard<std::mutex> g(mutex_);
    written_.push_back(bytes);
    responder = responder_;
  }
  if (responder) responder(bytes, *this);
  return 0;
}

int32_t FakeReader::Read(uint8_t* buffer, uint32_t maximum, uint32_t waitMs, uint32_t wanted, uint32_t quietMs) {
  const auto wait = std::chrono::milliseconds(waitMs == 0 ? 50 : waitMs);
  const auto quiet = quietMs == 0 ? wait : std::chrono::milliseconds(quietMs);
  const auto deadline = std::chrono::steady_clock::now() + wait;
  const uint32_t want = std::clamp<uint32_t>(wanted, 1, maximum);
  uint32_t got = 0;
  std::chrono::steady_clock::time_point newest{};  // when the newest byte taken became readable
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (hold_ && got == 0) {
      ++heldReads_;
      cv_.wait(lock, [this] { return !hold_; });
      --heldReads_;
      return drv::kRwTimeout;
    }
    const auto now = std::chrono::steady_clock::now();
    while (got < want && !queue_.empty() && queue_.front().readyAt <= now) {
      Chunk& c = queue_.front();
      const size_t n = std::min<size_t>(maximum - got, c.bytes.size());
      std::copy(c.bytes.begin(), c.bytes.begin() + static_cast<long>(n), buffer + got);
      c.bytes.erase(c.bytes.begin(), c.bytes.begin() + static_cast<long>(n));
      got += static_cast<uint32_t>(n);
      newest = std::max(newest, c.readyAt);
      if (c.bytes.empty()) queue_.pop_front();
    }
    if (got >= want) return static_cast<int32_t>(got);
    if (got > 0 && (now >= newest + quiet || platform::StopRequested())) return static_cast<int32_t>(got);
    if (got == 0 && (now >= deadline || platform::StopRequested())) return drv::kRwTimeout;
    auto until = got > 0 ? newest + quiet : deadline;
    if (!queue_.empty() && queue_.front().readyAt < until) until = queue_.front().readyAt;
    // Short slices keep a stop request from waiting long.
    until = std::min(until, now + std::chrono::milliseconds(5));
    cv_.wait_until(lock, until);
  }
}

int32_t FakeReader::Purge() {
  std::lock_guard<std::mutex> g(mutex_);
  ++purges_;
  return 0;
}

FakeReader& FakeReader::For(const drv::PortDataArea& area) {
  static std::mutex lock;
  static std::map<const drv::PortDataArea*, FakeReader>* fakes = new std::map<const drv::PortDataArea*, FakeReader>;
  std::lock_guard<std::mutex> g(lock);
  return (*fakes)[&area];
}

const drv::LinkTransport& FakeReader::Table() {
  static constexpr drv::LinkTransport kTable{
      [](drv::PortDataArea& area, const uint8_t* frame, uint32_t length) { return For(area).Write(frame, length); },
      [](drv::PortDataArea& area, uint8_t* buffer, uint32_t maximum, uint32_t waitMs, uint32_t wanted, uint32_t quietMs) {
        return For(area).Read(buffer, maximum, waitMs, wanted, quietMs);
      },
      [](drv::PortDataArea& area) { return For(area).Purge(); },
  };
  return kTable;
}

void FakeReader::Install() { drv::InstallLinkTransport(&Table()); }

Bytes ReplyFrame(uint8_t address, const Bytes& body) { return protocol::EncodeFrame(address, body); }

Bytes BrokenReplyFrame(uint8_t address, const Bytes& body) {
  Bytes f = ReplyFrame(address, body);
  f.back() ^= 0x5A;
  return f;
}

}  // namespace zq::test
