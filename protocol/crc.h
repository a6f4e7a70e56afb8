// The Gen2 CRCs, computed over an exact number of bits taken most
// significant bit first: a last partial byte contributes only its leading
// bits, whatever its unused low bits hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zq::protocol {

// CRC-16: polynomial 0x1021, preset 0xFFFF, result complemented. Commands
// and tag replies carry it most significant byte first. Clocking data and
// its CRC through the register leaves 0x1D0F before the complement.
uint16_t Crc16Bits(const uint8_t* data, size_t bits);
inline uint16_t Crc16Bytes(const uint8_t* data, size_t length) { return Crc16Bits(data, length * 8); }
inline uint16_t Crc16Bytes(const std::vector<uint8_t>& data) { return Crc16Bytes(data.data(), data.size()); }

// The same register fed whole bytes in pieces, for images that arrive in blocks.
class Crc16Accumulator {
 public:
  void Update(const uint8_t* data, size_t length);
  uint16_t Value() const { return static_cast<uint16_t>(~reg_); }

 private:
  uint16_t reg_ = 0xFFFF;
};

// CRC-5 of the Query command: polynomial x^5 + x^3 + 1, preset 01001, not
// complemented (so data followed by its CRC-5 leaves the register at 0).
// The result is in the low five bits.
uint8_t Crc5Bits(const uint8_t* data, size_t bits);

}  // namespace zq::protocol
