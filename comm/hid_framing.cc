#include "comm/hid_framing.h"

#include <algorithm>
#include <cstring>

#include "comm/zq_comm_boundary.h"

namespace zq::comm {

size_t MinimumInputLength(int32_t kind) { return kind == PortKindHidCounted ? 3 : 2; }
size_t MinimumOutputLength(int32_t kind) { return kind == PortKindHidCounted ? 3 : 2; }

size_t BuildOutputReport(int32_t kind, const uint8_t* data, size_t length, size_t offset, size_t outputLength,
                         uint8_t* report) {
  std::memset(report, 0, outputLength);
  report[0] = static_cast<uint8_t>(length);
  const size_t left = length - offset;
  if (kind == PortKindHidCounted) {
    const size_t chunk = std::min(left, outputLength - 2);
    report[1] = static_cast<uint8_t>(chunk < left ? chunk + 1 : chunk);
    if (chunk > 0) std::memcpy(report + 2, data + offset, chunk);
    return chunk;
  }
  const size_t chunk = std::min(left, outputLength - 1);
  if (chunk > 0) std::memcpy(report + 1, data + offset, chunk);
  return chunk;
}

InputData ParseInputReport(int32_t kind, const uint8_t* report, size_t inputLength) {
  InputData in;
  if (kind == PortKindHidCounted) {
    if (inputLength < 3) return in;
    size_t c = report[1];
    if (c == inputLength - 1) {
      c -= 1;
      in.continued = true;
    }
    in.data = report + 2;
    in.count = std::min(c, inputLength - 2);
    return in;
  }
  if (inputLength < 2) return in;
  in.data = report + 1;
  in.count = std::min<size_t>(report[0], inputLength - 1);
  return in;
}

void ReceiveBuffer::Clear() {
  std::memset(bytes_, 0, sizeof bytes_);
  count_ = 0;
}

size_t ReceiveBuffer::Append(const uint8_t* data, size_t n) {
  const size_t k = std::min(n, room());
  for (size_t i = 0; i < k; ++i) bytes_[count_ + i] = data[i] ^ kMask;
  count_ += k;
  return k;
}

size_t ReceiveBuffer::Take(uint8_t* out, size_t n) {
  const size_t k = std::min(n, count_);
  for (size_t i = 0; i < k; ++i) out[i] = bytes_[i] ^ kMask;
  std::memmove(bytes_, bytes_ + k, count_ - k);
  std::memset(bytes_ + count_ - k, 0, k);
  count_ -= k;
  return k;
}

}  // namespace zq::comm
