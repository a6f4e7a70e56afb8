// Gen2 bit fields: a writer and a reader of fields most significant bit
// first, and EBV numbers (extensible bit vectors: 7 data bits per byte,
// most significant group first, bit 7 set on every byte but the last).
// Pure; no logging, so callers that trace their fields wrap the writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zq::protocol {

// The longest EBV of a 32-bit value.
inline constexpr size_t kMaxEbvLength = 5;

std::vector<uint8_t> EncodeEbv(uint32_t value);
// The EBV at the start of `data`: the number of bytes it takes, or 0 when
// it does not end within `length` bytes (or kMaxEbvLength) or does not fit
// 32 bits; *value is set only on success.
size_t DecodeEbv(const uint8_t* data, size_t length, uint32_t* value);

// Appends bit fields, most significant bit first; unused low bits of the
// last byte stay 0.
class BitWriter {
 public:
  void Put(uint32_t value, unsigned bits);  // the low `bits` bits of value, at most 32
  // The first `bits` bits of `data`, as they stand in its bytes.
  void PutBits(const uint8_t* data, size_t bits);
  void PutEbv(uint32_t value);
  size_t bit_count() const { return bits_; }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  size_t bits_ = 0;
};

// Reads bit fields, most significant bit first, from the first `bits` bits
// of `data` (which must outlive it). A read past the end fails and leaves
// the position where it was.
class BitReader {
 public:
  BitReader(const uint8_t* data, size_t bits) : data_(data), bits_(bits) {}
  bool Get(unsigned bits, uint32_t* out);  // at most 32 bits
  bool GetEbv(uint32_t* out);
  bool GetBits(size_t bits, std::vector<uint8_t>* out);  // left-aligned, unused low bits 0
  size_t position() const { return pos_; }
  size_t remaining() const { return bits_ - pos_; }

 private:
  const uint8_t* data_;
  size_t bits_;
  size_t pos_ = 0;
};

}  // namespace zq::protocol
