// Sections: bytes and hex.
#include "tools/zelquar/app.h"

#include <cstdio>

#include "protocol/hex.h"

namespace zq::tool {

// ---- bytes and hex ----------------------------------------------------------

std::optional<Bytes> ParseHex(const std::string& text) {
  Bytes out;
  int high = -1;
  for (char c : text) {
    const int v = protocol::HexDigit(c);
    if (v < 0) {
      if ((c == ' ' || c == ':' || c == '-' || c == '\t') && high < 0) continue;  // separators only between whole bytes
      return std::nullopt;
    }
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  if (high >= 0) return std::nullopt;
  return out;
}

std::string ToHex(const uint8_t* bytes, size_t length) { return protocol::HexText(bytes, length); }

std::string ToHex(const Bytes& bytes) { return ToHex(bytes.data(), bytes.size()); }

std::string StatusWordText(uint16_t sw) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X %02X", sw >> 8, sw & 0xFF);
  return text;
}

}  // namespace zq::tool
