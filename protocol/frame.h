// The reader link frame.
//
// A frame is an address byte, the payload length (16 bits, big-endian) and
// the payload; on the wire a block check byte follows, the exclusive-or of
// every byte before it. The address byte of a request is twice the unit
// index with the port's sequence bit in bit 0; the reader answers with the
// sequence bit alone. Bit 7 set turns the address byte into a resend
// request: four bytes, no payload, asking for the last reply again.
//
// Pure functions over caller buffers; the vector forms are conveniences for
// the simulator and the tests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zq::protocol {

inline constexpr size_t kFrameHeadLength = 3;  // address, length high, length low
inline constexpr size_t kFrameOverhead = 4;    // the head and the block check byte
inline constexpr size_t kMaxFramePayload = 0xFFFF;
inline constexpr uint8_t kSequenceBit = 0x01;
inline constexpr uint8_t kResendRequestBit = 0x80;
inline constexpr size_t kResendRequestLength = 4;

// Exclusive-or of `length` bytes.
uint8_t BlockCheck(const uint8_t* bytes, size_t length);

// The address byte of unit 0..31 (sequence bit clear), and the unit an
// address byte names.
constexpr uint8_t UnitAddress(uint32_t unit) { return static_cast<uint8_t>(2 * unit); }
constexpr uint32_t UnitOfAddress(uint8_t address) { return (address & 0x7Eu) >> 1; }

// The payload length a frame head announces; `head` holds at least
// kFrameHeadLength bytes.
constexpr size_t PayloadLength(const uint8_t* head) { return (size_t{head[1]} << 8) | head[2]; }
// Writes the three head bytes; the length is taken modulo 65536.
void WriteFrameHead(uint8_t address, size_t payloadLength, uint8_t* head);

// Head, payload and block check into `out`. The frame's length on the wire,
// or 0 (nothing written) when the payload is longer than a frame carries or
// `capacity` cannot hold the frame.
size_t EncodeFrame(uint8_t address, const uint8_t* payload, size_t length, uint8_t* out, size_t capacity);
// The same as a vector; empty when the payload is too long.
std::vector<uint8_t> EncodeFrame(uint8_t address, const std::vector<uint8_t>& payload);

// The resend request that follows a request whose address byte was
// `requestAddress`.
std::array<uint8_t, kResendRequestLength> ResendRequest(uint8_t requestAddress);

enum class FrameStatus {
  kComplete,  // a whole frame with a matching block check
  kShort,     // fewer bytes than the head (or the head's length) needs
  kBadCheck,  // whole, but the block check byte does not match
};

// A decoded frame; `payload` points into the caller's bytes.
struct FrameView {
  uint8_t address = 0;
  const uint8_t* payload = nullptr;
  size_t payloadLength = 0;
  size_t wireLength = 0;  // head, payload and check byte
};

// Reads the frame at the start of `data`. Bytes after it are not examined;
// `frame` is filled for kComplete and kBadCheck.
FrameStatus DecodeFrame(const uint8_t* data, size_t length, FrameView* frame);
inline FrameStatus DecodeFrame(const std::vector<uint8_t>& data, FrameView* frame) {
  return DecodeFrame(data.data(), data.size(), frame);
}

}  // namespace zq::protocol
