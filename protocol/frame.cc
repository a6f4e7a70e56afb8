#include "protocol/frame.h"

#include <cstring>

namespace zq::protocol {

uint8_t BlockCheck(const uint8_t* bytes, size_t length) {
  uint8_t x = 0;
  for (size_t i = 0; i < length; ++i) x ^= bytes[i];
  return x;
}

void WriteFrameHead(uint8_t address, size_t payloadLength, uint8_t* head) {
  head[0] = address;
  head[1] = static_cast<uint8_t>(payloadLength >> 8);
  head[2] = static_cast<uint8_t>(payloadLength);
}

size_t EncodeFrame(uint8_t address, const uint8_t* payload, size_t length, uint8_t* out, size_t capacity) {
  if (length > kMaxFramePayload || capacity < length + kFrameOverhead) return 0;
  WriteFrameHead(address, length, out);
  if (length > 0) std::memcpy(out + kFrameHeadLength, payload, length);
  out[kFrameHeadLength + length] = BlockCheck(out, kFrameHeadLength + length);
  return length + kFrameOverhead;
}

std::vector<uint8_t> EncodeFrame(uint8_t address, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> frame(payload.size() + kFrameOverhead);
  frame.resize(EncodeFrame(address, payload.data(), payload.size(), frame.data(), frame.size()));
  return frame;
}

std::array<uint8_t, kResendRequestLength> ResendRequest(uint8_t requestAddress) {
  std::array<uint8_t, kResendRequestLength> r{};
  EncodeFrame(static_cast<uint8_t>(requestAddress | kResendRequestBit), nullptr, 0, r.data(), r.size());
  return r;
}

FrameStatus DecodeFrame(const uint8_t* data, size_t length, FrameView* frame) {
  if (length < kFrameHeadLength) return FrameStatus::kShort;
  const size_t payloadLength = PayloadLength(data);
  const size_t wireLength = payloadLength + kFrameOverhead;
  if (length < wireLength) return FrameStatus::kShort;
  *frame = FrameView{data[0], data + kFrameHeadLength, payloadLength, wireLength};
  return BlockCheck(data, wireLength - 1) == data[wireLength - 1] ? FrameStatus::kComplete : FrameStatus::kBadCheck;
}

}  // namespace zq::protocol
