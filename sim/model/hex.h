// Bytes as hex text, the way the control commands and the state report
// write them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/hex.h"

namespace zq::sim {

using Bytes = std::vector<uint8_t>;

// Hex text without separators ("0A1B"), upper case.
inline std::string ToHex(const uint8_t* data, size_t length) { return protocol::HexText(data, length); }
inline std::string ToHex(const Bytes& b) { return protocol::HexText(b); }
// Parses an even number of hex digits; false on anything else.
inline bool FromHex(const std::string& text, Bytes* out) { return protocol::ParseHexText(text, out); }

}  // namespace zq::sim
