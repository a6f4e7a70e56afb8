#include "platform/os/text_encoding.h"

#include <iconv.h>

#include <cerrno>

namespace zq::platform {
namespace {

bool IsAscii(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

std::string Convert(const char* to, const char* from, std::string_view text) {
  if (IsAscii(text)) return std::string(text);
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(text);
  std::string out;
  out.resize(text.size() * 2 + 16);
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  char* outPtr = out.data();
  size_t outLeft = out.size();
  while (inLeft > 0) {
    if (iconv(cd, &in, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      size_t used = static_cast<size_t>(outPtr - out.data());
      out.resize(out.size() * 2);
      outPtr = out.data() + used;
      outLeft = out.size() - used;
    } else {
      // An invalid or unconvertible sequence: one '?' for its first byte.
      if (outLeft == 0) {
        size_t used = static_cast<size_t>(outPtr - out.data());
        out.resize(out.size() * 2);
        outPtr = out.data() + used;
        outLeft = out.size() - used;
      }
      *outPtr++ = '?';
      --outLeft;
      ++in;
      --inLeft;
    }
  }
  out.resize(static_cast<size_t>(outPtr - out.data()));
  iconv_close(cd);
  return out;
}

}  // namespace

std::string Utf8ToCp932(std::string_view text) { return Convert("CP932", "UTF-8", text); }
std::string Cp932ToUtf8(std::string_view text) { return Convert("UTF-8", "CP932", text); }

}  // namespace zq::platform
