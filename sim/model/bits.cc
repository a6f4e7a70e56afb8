#include "sim/model/bits.h"

namespace zq::sim {

uint16_t Crc16Bits(const uint8_t* data, size_t bits) {
  uint16_t reg = 0xFFFF;
  for (size_t i = 0; i < bits; ++i) {
    unsigned bit = (data[i / 8] >> (7 - i % 8)) & 1u;
    unsigned top = (reg >> 15) & 1u;
    reg = static_cast<uint16_t>(reg << 1);
    if (bit ^ top) reg ^= 0x1021;
  }
  return static_cast<uint16_t>(~reg);
}

void Crc16Accumulator::Update(const uint8_t* data, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    reg_ ^= static_cast<uint16_t>(data[i] << 8);
    for (int b = 0; b < 8; ++b) {
      reg_ = (reg_ & 0x8000) ? static_cast<uint16_t>((reg_ << 1) ^ 0x1021) : static_cast<uint16_t>(reg_ << 1);
    }
  }
}

Bytes EncodeEbv(uint32_t value) {
  Bytes groups;
  do {
    groups.insert(groups.begin(), static_cast<uint8_t>(value & 0x7F));
    value >>= 7;
  } while (value != 0);
  for (size_t i = 0; i + 1 < groups.size(); ++i) groups[i] |= 0x80;
  return groups;
}

uint8_t XorOf(const uint8_t* data, size_t length) {
  uint8_t x = 0;
  for (size_t i = 0; i < length; ++i) x ^= data[i];
  return x;
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

bool BitReader::Get(unsigned bits, uint32_t* out) {
  if (bits > 32 || remaining() < bits) return false;
  uint32_t v = 0;
  for (unsigned i = 0; i < bits; ++i, ++pos_) v = (v << 1) | ((data_[pos_ / 8] >> (7 - pos_ % 8)) & 1u);
  *out = v;
  return true;
}

bool BitReader::GetEbv(uint32_t* out) {
  size_t start = pos_;
  uint32_t v = 0;
  for (int i = 0; i < 5; ++i) {
    uint32_t byte;
    if (!Get(8, &byte)) break;
    v = (v << 7) | (byte & 0x7F);
    if ((byte & 0x80) == 0) {
      *out = v;
      return true;
    }
  }
  pos_ = start;
  return false;
}

bool BitReader::GetBits(size_t bits, Bytes* out) {
  if (remaining() < bits) return false;
  BitWriter w;
  for (size_t i = 0; i < bits; ++i, ++pos_) w.Put((data_[pos_ / 8] >> (7 - pos_ % 8)) & 1u, 1);
  *out = w.bytes();
  return true;
}

std::string ToHex(const uint8_t* data, size_t length) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(length * 2);
  for (size_t i = 0; i < length; ++i) {
    s.push_back(kDigits[data[i] >> 4]);
    s.push_back(kDigits[data[i] & 15]);
  }
  return s;
}

bool FromHex(const std::string& text, Bytes* out) {
  if (text.size() % 2 != 0) return false;
  Bytes b;
  for (size_t i = 0; i < text.size(); i += 2) {
    int v = 0;
    for (int k = 0; k < 2; ++k) {
      char c = text[i + k];
      int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (d < 0) return false;
      v = v * 16 + d;
    }
    b.push_back(static_cast<uint8_t>(v));
  }
  *out = std::move(b);
  return true;
}

}  // namespace zq::sim
