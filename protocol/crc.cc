#include "protocol/crc.h"

namespace zq::protocol {
namespace {

unsigned BitAt(const uint8_t* data, size_t i) { return (data[i / 8] >> (7 - i % 8)) & 1u; }

}  // namespace

uint16_t Crc16Bits(const uint8_t* data, size_t bits) {
  uint16_t reg = 0xFFFF;
  for (size_t i = 0; i < bits; ++i) {
    const unsigned top = (reg >> 15) & 1u;
    reg = static_cast<uint16_t>(reg << 1);
    if (BitAt(data, i) ^ top) reg ^= 0x1021;
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

uint8_t Crc5Bits(const uint8_t* data, size_t bits) {
  uint8_t reg = 0x09;
  for (size_t i = 0; i < bits; ++i) {
    const unsigned top = (reg >> 4) & 1u;
    reg = static_cast<uint8_t>((reg << 1) & 0x1F);
    if (BitAt(data, i) ^ top) reg ^= 0x09;
  }
  return reg;
}

}  // namespace zq::protocol
