// The EPC protocol-control (PC) word: the top five bits of its first byte
// are the EPC length in words, so the PC word with its EPC takes that many
// words plus one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zq::protocol {

// Bytes of the PC word and the EPC it announces; `pcHigh` is the PC word's
// first (most significant) byte.
constexpr size_t PcEpcByteLength(uint8_t pcHigh) { return static_cast<size_t>(pcHigh >> 3) * 2 + 2; }
constexpr size_t PcEpcBitLength(uint8_t pcHigh) { return PcEpcByteLength(pcHigh) * 8; }

}  // namespace zq::protocol
