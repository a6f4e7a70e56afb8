#include "sim/model/hex.h"

namespace zq::sim {

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
