// Bit strings, the Gen2 CRC-16, EBV numbers and the reader link's block check.
// Pure functions and small value types; no state beyond the objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zq::sim {

using Bytes = std::vector<uint8_t>;

// Gen2 CRC-16 (polynomial 0x1021, preset 0xFFFF, most significant bit first,
// result complemented) over the first `bits` bits of `data`. A last partial
// byte contributes only its leading bits.
uint16_t Crc16Bits(const uint8_t* data, size_t bits);
inline uint16_t Crc16Bytes(const Bytes& data) { return Crc16Bits(data.data(), data.size() * 8); }

// The same register fed one byte at a time, for images that arrive in blocks.
class Crc16Accumulator {
 public:
  void Update(const uint8_t* data, size_t length);
  uint16_t Value() const { return static_cast<uint16_t>(~reg_); }

 private:
  uint16_t reg_ = 0xFFFF;
};

// Extensible bit vector: 7 data bits per byte, most significant group first,
// bit 7 set on every byte but the last.
Bytes EncodeEbv(uint32_t value);

// Exclusive-or of `length` bytes: the reader link's block check.
uint8_t XorOf(const uint8_t* data, size_t length);

// Appends bit fields, most significant bit first.
class BitWriter {
 public:
  void Put(uint32_t value, unsigned bits);  // the low `bits` bits of value
  void PutBits(const uint8_t* data, size_t bits);
  size_t bit_count() const { return bits_; }
  const Bytes& bytes() const { return bytes_; }

 private:
  Bytes bytes_;
  size_t bits_ = 0;
};

// Reads bit fields, most significant bit first; a read past the end fails
// and leaves the position where it was.
class BitReader {
 public:
  BitReader(const uint8_t* data, size_t bits) : data_(data), bits_(bits) {}
  bool Get(unsigned bits, uint32_t* out);
  bool GetEbv(uint32_t* out);
  bool GetBits(size_t bits, Bytes* out);  // left-aligned, unused low bits zero
  size_t position() const { return pos_; }
  size_t remaining() const { return bits_ - pos_; }

 private:
  const uint8_t* data_;
  size_t bits_;
  size_t pos_ = 0;
};

// Hex text without separators ("0A1B"), upper case.
std::string ToHex(const uint8_t* data, size_t length);
inline std::string ToHex(const Bytes& b) { return ToHex(b.data(), b.size()); }
// Parses an even number of hex digits; false on anything else.
bool FromHex(const std::string& text, Bytes* out);

}  // namespace zq::sim
