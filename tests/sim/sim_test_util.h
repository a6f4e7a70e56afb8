// Test helpers for the reader simulator: Gen2 command bits as the driver
// composes them, and a host that talks to a simulated reader the way the
// driver does (feature reports, UART bytes in data reports, link frames),
// either in-process (a Device and a simulated clock) or through the real
// socket of a running zelquar-sim.
//
// Sections: Gen2 commands; tag replies; transports; ReaderHost.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/devices/sim_client.h"
#include "platform/os/clock.h"
#include "platform/os/files.h"
#include "protocol/bits.h"
#include "protocol/crc.h"
#include "protocol/frame.h"
#include "sim/model/device.h"

namespace zq::sim::test {

// ---- Gen2 commands (CRC-16 appended) ----------------------------------------

inline Bytes Finish(protocol::BitWriter w, size_t* bits) {
  uint16_t crc = protocol::Crc16Bits(w.bytes().data(), w.bit_count());
  w.Put(crc, 16);
  *bits = w.bit_count();
  return w.bytes();
}

struct Gen2 {
  Bytes bits;
  size_t count = 0;
};

inline Gen2 SelectCmd(uint8_t bank, uint32_t pointer, const Bytes& mask, uint32_t maskBits, uint8_t action = 0) {
  protocol::BitWriter w;
  w.Put(0xA, 4);
  w.Put(0, 3);
  w.Put(action, 3);
  w.Put(bank, 2);
  w.PutEbv(pointer);
  w.Put(maskBits, 8);
  w.PutBits(mask.data(), maskBits);
  w.Put(0, 1);
  Gen2 g;
  g.bits = Finish(w, &g.count);
  return g;
}

inline Gen2 ReqRnCmd(uint16_t handle) {
  protocol::BitWriter w;
  w.Put(0xC1, 8);
  w.Put(handle, 16);
  Gen2 g;
  g.bits = Finish(w, &g.count);
  return g;
}

inline Gen2 ReadCmd(uint8_t bank, uint32_t ptr, uint8_t count, uint16_t handle) {
  protocol::BitWriter w;
  w.Put(0xC2, 8);
  w.Put(bank, 2);
  w.PutEbv(ptr);
  w.Put(count, 8);
  w.Put(handle, 16);
  Gen2 g;
  g.bits = Finish(w, &g.count);
  return g;
}

inline Gen2 WriteCmd(uint8_t bank, uint32_t ptr, uint16_t coveredWord, uint16_t handle) {
  protocol::BitWriter w;
  w.Put(0xC3, 8);
  w.Put(bank, 2);
  w.PutEbv(ptr);
  w.Put(coveredWord, 16);
  w.Put(handle, 16);
  Gen2 g;
  g.bits = Finish(w, &g.count);
  return g;
}

inline Gen2 KillCmd(uint16_t coveredHalf, uint16_t handle) {
  protocol::BitWriter w;
  w.Put(0xC4, 8);
  w.Put(coveredHalf, 16);
  w.Put(0, 3);
  w.Put(handle, 16);
  Gen2 g;
  g.bits = Finish(w, &g.count);
  return g;
}

inline Gen2 LockCmd(uint32_t payload, uint16_t handle) {
  protocol::BitWriter w;
  w.Put(0xC5, 8);
  w.Put(payload, 20);
  w.Put(handle, 16);
  Gen2 g;
  g.bits = Finish(w, &g.count);
  return g;
}

inline Gen2 AccessCmd(uint16_t coveredHalf, uint16_t handle) {
  protocol::BitWriter w;
  w.Put(0xC6, 8);
  w.Put(coveredHalf, 16);
  w.Put(handle, 16);
  Gen2 g;
  g.bits = Finish(w, &g.count);
  return g;
}

// Lock payload for one field (0 kill, 1 access, 2 EPC, 3 TID, 4 user):
// mask both bits of the pair, action = the pair given.
inline uint32_t LockPayload(int field, unsigned pair) {
  unsigned shift = static_cast<unsigned>(8 - 2 * field);
  return (3u << (10 + shift)) | ((pair & 3u) << shift);
}

// ---- tag replies --------------------------------------------------------------

// A tag reply of `bits` bits, checked: its CRC-16 over the bits before the
// last 16. The reader pads replies to whole bytes.
struct TagBits {
  bool crc_ok = false;
  bool header = false;    // first bit (delayed replies, errors)
  uint16_t value = 0;     // immediate replies: the 16 bits before the CRC
  uint8_t error = 0xFF;   // error replies: the code
  std::vector<uint16_t> words;  // Read replies
  uint16_t handle = 0;
};

inline TagBits ParseImmediate(const Bytes& b) {
  TagBits t;
  protocol::BitReader r(b.data(), b.size() * 8);
  uint32_t v = 0, crc = 0;
  r.Get(16, &v);
  r.Get(16, &crc);
  t.value = static_cast<uint16_t>(v);
  t.crc_ok = protocol::Crc16Bits(b.data(), 16) == crc;
  return t;
}

// Delayed / Read / error replies: header bit first. `words` for a Read.
inline TagBits ParseWithHeader(const Bytes& b, size_t words) {
  TagBits t;
  protocol::BitReader r(b.data(), b.size() * 8);
  uint32_t v = 0;
  r.Get(1, &v);
  t.header = v != 0;
  size_t covered;
  if (t.header) {
    r.Get(8, &v);
    t.error = static_cast<uint8_t>(v);
    covered = 25;
  } else {
    for (size_t i = 0; i < words; ++i) {
      r.Get(16, &v);
      t.words.push_back(static_cast<uint16_t>(v));
    }
    covered = 17 + 16 * words;
  }
  r.Get(16, &v);
  t.handle = static_cast<uint16_t>(v);
  uint32_t crc = 0;
  r.Get(16, &crc);
  t.crc_ok = protocol::Crc16Bits(b.data(), covered) == crc;
  return t;
}

// ---- transports ---------------------------------------------------------------

// The HID interface of a simulated reader, as the host sees it.
class HidTransport {
 public:
  virtual ~HidTransport() = default;
  // 'S' or 'G' message; the answer ('A' or 'F' message).
  virtual Bytes Request(const Bytes& message) = 0;
  // 'O' message.
  virtual void Output(const Bytes& message) = 0;
  // UART bytes from input reports until `count` have come or the wait ends.
  virtual Bytes ReadUart(size_t count, int timeoutMs) = 0;
};

// A Device in this process with a simulated clock that jumps to each
// arrival: tests see exactly what the model schedules.
class DeviceTransport : public HidTransport {
 public:
  explicit DeviceTransport(Device& d) : d_(d) { d_.HidOpened(); }
  Bytes Request(const Bytes& m) override {
    auto r = d_.HidMessage(m.data(), m.size(), now_);
    Collect();
    return r.empty() ? Bytes{} : r.front();
  }
  void Output(const Bytes& m) override {
    d_.HidMessage(m.data(), m.size(), now_);
    Collect();
  }
  Bytes ReadUart(size_t count, int timeoutMs) override {
    const uint64_t end = now_ + static_cast<uint64_t>(timeoutMs) * 1000;
    Collect();
    while (uart_.size() < count) {
      auto due = d_.NextDue();
      if (!due || *due > end) {
        now_ = std::max(now_, end);
        break;
      }
      now_ = std::max(now_, *due);
      Collect();
    }
    size_t n = std::min(count, uart_.size());
    Bytes out(uart_.begin(), uart_.begin() + static_cast<long>(n));
    uart_.erase(uart_.begin(), uart_.begin() + static_cast<long>(n));
    return out;
  }
  void Advance(uint64_t us) {
    now_ += us;
    Collect();
  }
  uint64_t now() const { return now_; }
  // Arrival time of every UART byte collected so far, in order.
  const std::vector<uint64_t>& arrivals() const { return arrivals_; }

 private:
  void Collect() {
    for (const Bytes& m : d_.DueInputReports(now_)) {
      for (size_t i = 0; i < m[1]; ++i) {
        uart_.push_back(m[2 + i]);
        arrivals_.push_back(now_);
      }
    }
  }
  Device& d_;
  uint64_t now_ = 1000000;
  Bytes uart_;
  std::vector<uint64_t> arrivals_;
};

// The real HID socket of a zelquar-sim process.
class SocketTransport : public HidTransport {
 public:
  uint32_t Connect(const std::string& path) { return client_.Connect(path); }
  platform::SeqpacketClient& client() { return client_; }
  Bytes Request(const Bytes& m) override {
    if (client_.Send(m.data(), m.size()) != 0) return {};
    for (;;) {
      Bytes msg = Next(5000);
      if (msg.empty() || msg[0] == 'A' || msg[0] == 'F') return msg;
    }
  }
  void Output(const Bytes& m) override { client_.Send(m.data(), m.size()); }
  Bytes ReadUart(size_t count, int timeoutMs) override {
    int64_t end = platform::MonotonicMicroseconds() + int64_t{timeoutMs} * 1000;
    while (uart_.size() < count) {
      int64_t left = (end - platform::MonotonicMicroseconds()) / 1000;
      if (left < 0) break;
      Bytes msg = Next(static_cast<int>(left));
      if (msg.empty()) break;
    }
    size_t n = std::min(count, uart_.size());
    Bytes out(uart_.begin(), uart_.begin() + static_cast<long>(n));
    uart_.erase(uart_.begin(), uart_.begin() + static_cast<long>(n));
    return out;
  }

 private:
  // The next message; input reports also go to the UART buffer.
  Bytes Next(int timeoutMs) {
    uint8_t buf[512];
    long n = client_.Receive(buf, sizeof buf, timeoutMs);
    if (n <= 0) return {};
    Bytes msg(buf, buf + n);
    if (msg[0] == 'I' && msg.size() >= 2) uart_.insert(uart_.end(), msg.begin() + 2, msg.begin() + 2 + msg[1]);
    return msg;
  }
  platform::SeqpacketClient client_;
  Bytes uart_;
};

// ---- the host ---------------------------------------------------------------

class ReaderHost {
 public:
  explicit ReaderHost(HidTransport& t, uint8_t unit = 0) : t_(t), unit_(unit) {}

  uint32_t SetFeature(Bytes report) {
    report.resize(64, 0);
    report.insert(report.begin(), 'S');
    Bytes a = t_.Request(report);
    if (a.size() != 5 || a[0] != 'A') return 0xFFFFFFFF;
    return a[1] | (a[2] << 8) | (a[3] << 16) | (uint32_t{a[4]} << 24);
  }
  uint32_t GetFeature(uint8_t id, Bytes* report, uint16_t length = 64) {
    Bytes f = t_.Request(Bytes{'G', id, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)});
    if (f.size() < 5 || f[0] != 'F') return 0xFFFFFFFF;
    uint32_t r = f[1] | (f[2] << 8) | (f[3] << 16) | (uint32_t{f[4]} << 24);
    if (report) report->assign(f.begin() + 5, f.end());
    return r;
  }
  uint32_t SetLine(uint16_t value, uint16_t mask) {
    return SetFeature({0x45, static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value),
                       static_cast<uint8_t>(mask >> 8), static_cast<uint8_t>(mask)});
  }
  uint32_t ConfigureUart(uint8_t parity = 2) { return SetFeature({0x50, 0x00, 0x01, 0xC2, 0x00, parity, 0x00, 0x03, 0x00}); }

  // What the driver's open sequence does: UART on and 8E1, reader powered,
  // boot bytes read and discarded, FIFOs purged.
  bool PowerUp() {
    if (SetFeature({0x41, 0x01}) != 0 || ConfigureUart() != 0 || SetLine(0xFFFF, 0x2000) != 0) return false;
    boot_ = t_.ReadUart(64, 300);
    return SetFeature({0x43, 0x03}) == 0;
  }
  const Bytes& boot_bytes() const { return boot_; }

  void WriteUart(const Bytes& bytes) {
    for (size_t i = 0; i < bytes.size(); i += 63) {
      size_t n = std::min<size_t>(63, bytes.size() - i);
      Bytes m(66, 0);
      m[0] = 'O';
      m[1] = static_cast<uint8_t>(n);
      std::copy(bytes.begin() + static_cast<long>(i), bytes.begin() + static_cast<long>(i + n), m.begin() + 2);
      t_.Output(m);
    }
  }

  // Reads one reply frame; its body, or nothing when none (or a broken one) came.
  std::optional<Bytes> ReadReply(int timeoutMs = 2000, uint8_t* address = nullptr) {
    Bytes frame = t_.ReadUart(protocol::kFrameHeadLength, timeoutMs);
    if (frame.size() < protocol::kFrameHeadLength) return std::nullopt;
    const size_t rest = protocol::PayloadLength(frame.data()) + 1;
    Bytes tail = t_.ReadUart(rest, timeoutMs);
    frame.insert(frame.end(), tail.begin(), tail.end());
    protocol::FrameView f;
    if (protocol::DecodeFrame(frame, &f) != protocol::FrameStatus::kComplete) return std::nullopt;
    if (address) *address = f.address;
    return Bytes(f.payload, f.payload + f.payloadLength);
  }

  // One command exchange with a fresh sequence bit; the reply body.
  std::optional<Bytes> Exchange(const Bytes& command, int timeoutMs = 2000) {
    seq_ ^= 1;
    WriteUart(protocol::EncodeFrame(static_cast<uint8_t>(protocol::UnitAddress(unit_) | seq_), command));
    uint8_t address = 0xFF;
    auto body = ReadReply(timeoutMs, &address);
    if (body && address != seq_) return std::nullopt;
    return body;
  }
  uint8_t seq() const { return seq_; }

  // A raw Gen2 command through 08 03; the reply body.
  std::optional<Bytes> Tag(const Gen2& g, uint8_t mode = 0, uint16_t replyBits = 32) {
    const uint8_t head[] = {0x08, 0x03, 0x00, mode, static_cast<uint8_t>(replyBits >> 8), static_cast<uint8_t>(replyBits),
                            0x00, 0x32, static_cast<uint8_t>(g.count >> 8), static_cast<uint8_t>(g.count)};
    Bytes c(sizeof head + g.bits.size());
    std::copy(std::begin(head), std::end(head), c.begin());
    std::copy(g.bits.begin(), g.bits.end(), c.begin() + sizeof head);
    return Exchange(c);
  }
  // The tag's reply bytes of a 08 03 reply body (01, bits, 90 00), or empty.
  static Bytes TagReplyBits(const std::optional<Bytes>& body) {
    if (!body || body->size() < 4 || (*body)[0] != 0x01) return {};
    return Bytes(body->begin() + 1, body->end() - 2);
  }

  // Select on the PC+EPC and acquire the handle, as the driver addresses one tag.
  std::optional<uint16_t> Address(const Bytes& pcEpc) {
    Gen2 sel = SelectCmd(1, 16, pcEpc, static_cast<uint32_t>(pcEpc.size() * 8));
    auto s = Tag(sel, 0, 0);
    if (!s || *s != Bytes{0x90, 0x00}) return std::nullopt;
    auto h = Exchange({0x08, 0x02, 0x00, 0x00});
    if (!h || h->size() != pcEpc.size() + 4 || !std::equal(pcEpc.begin(), pcEpc.end(), h->begin())) return std::nullopt;
    return static_cast<uint16_t>(((*h)[pcEpc.size()] << 8) | (*h)[pcEpc.size() + 1]);
  }
  // Req_RN with the handle; the RN16.
  std::optional<uint16_t> ReqRn(uint16_t handle) {
    Bytes r = TagReplyBits(Tag(ReqRnCmd(handle)));
    if (r.size() != 4) return std::nullopt;
    TagBits t = ParseImmediate(r);
    if (!t.crc_ok) return std::nullopt;
    return t.value;
  }

 private:
  HidTransport& t_;
  uint8_t unit_;
  uint8_t seq_ = 1;
  Bytes boot_;
};

}  // namespace zq::sim::test
