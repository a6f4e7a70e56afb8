#include "protocol/bits.h"

namespace zq::protocol {

std::vector<uint8_t> EncodeEbv(uint32_t value) {
  std::vector<uint8_t> groups;
  do {
    groups.insert(groups.begin(), static_cast<uint8_t>(value & 0x7F));
    value >>= 7;
  } while (value != 0);
  for (size_t i = 0; i + 1 < groups.size(); ++i) groups[i] |= 0x80;
  return groups;
}

size_t DecodeEbv(const uint8_t* data, size_t length, uint32_t* value) {
  uint32_t v = 0;
  for (size_t i = 0; i < length && i < kMaxEbvLength; ++i) {
    if (v > (UINT32_MAX >> 7)) return 0;  // one more group would lose high bits
    v = (v << 7) | (data[i] & 0x7Fu);
    if ((data[i] & 0x80) == 0) {
      *value = v;
      return i + 1;
    }
  }
  return 0;
}

void BitWriter::Put(uint32_t value, unsigned bits) {
  for (unsigned i = bits; i-- > 0;) {
    if (bits_ % 8 == 0) bytes_.push_back(0);
    if ((value >> i) & 1u) bytes_.back() |= static_cast<uint8_t>(0x80u >> (bits_ % 8));
    ++bits_;
  }
}

void BitWriter::PutBits(const uint8_t* data, size_t bits) {
  for (size_t i = 0; i < bits; ++i) Put((data[i / 8] >> (7 - i % 8)) & 1u, 1);
}

void BitWriter::PutEbv(uint32_t value) {
  const std::vector<uint8_t> ebv = EncodeEbv(value);
  PutBits(ebv.data(), ebv.size() * 8);
}

bool BitReader::Get(unsigned bits, uint32_t* out) {
  if (bits > 32 || remaining() < bits) return false;
  uint32_t v = 0;
  for (unsigned i = 0; i < bits; ++i, ++pos_) v = (v << 1) | ((data_[pos_ / 8] >> (7 - pos_ % 8)) & 1u);
  *out = v;
  return true;
}

bool BitReader::GetEbv(uint32_t* out) {
  const size_t start = pos_;
  uint8_t groups[kMaxEbvLength];
  for (size_t i = 0; i < kMaxEbvLength; ++i) {
    uint32_t byte = 0;
    if (!Get(8, &byte)) break;
    groups[i] = static_cast<uint8_t>(byte);
    if ((byte & 0x80) == 0) {
      if (DecodeEbv(groups, i + 1, out) == i + 1) return true;
      break;
    }
  }
  pos_ = start;
  return false;
}

bool BitReader::GetBits(size_t bits, std::vector<uint8_t>* out) {
  if (remaining() < bits) return false;
  BitWriter w;
  for (size_t i = 0; i < bits; ++i, ++pos_) w.Put((data_[pos_ / 8] >> (7 - pos_ % 8)) & 1u, 1);
  *out = w.bytes();
  return true;
}

}  // namespace zq::protocol
