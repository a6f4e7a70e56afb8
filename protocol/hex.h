// Bytes as hex text and back, the form commands, replies and tag memory take
// in control lines, state reports, command lines and logs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zq::protocol {

// Upper-case hex digits without separators ("0A1B").
std::string HexText(const uint8_t* data, size_t length);
inline std::string HexText(const std::vector<uint8_t>& data) { return HexText(data.data(), data.size()); }

// The value of one hex digit, or -1.
int HexDigit(char c);

// Parses an even number of hex digits (either case, nothing else); false,
// leaving *out alone, on anything else.
bool ParseHexText(std::string_view text, std::vector<uint8_t>* out);

}  // namespace zq::protocol
