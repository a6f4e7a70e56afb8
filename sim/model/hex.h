// Bytes as hex text, the way the control commands and the state report
// write them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zq::sim {

using Bytes = std::vector<uint8_t>;

// Hex text without separators ("0A1B"), upper case.
std::string ToHex(const uint8_t* data, size_t length);
inline std::string ToHex(const Bytes& b) { return ToHex(b.data(), b.size()); }
// Parses an even number of hex digits; false on anything else.
bool FromHex(const std::string& text, Bytes* out);

}  // namespace zq::sim
