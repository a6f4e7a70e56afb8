// Text compared as the system's names are: USB serial numbers and HTTP
// header names, which ignore the case of ASCII letters.
#pragma once

#include <cctype>
#include <string_view>

namespace zq::protocol {

// Whether `a` and `b` are the same text but for the case of ASCII letters. Pure.
inline bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

}  // namespace zq::protocol
