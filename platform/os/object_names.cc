#include "platform/os/object_names.h"

#include <cstdlib>

namespace zq::platform {
namespace {

bool IsNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '_' || c == '-';
}

std::string Sanitise(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  for (char c : raw) out.push_back(IsNameChar(c) ? c : '_');
  return out;
}

}  // namespace

std::string_view ObjectNamespace() {
  // Static storage, no heap: a library's detach code runs at exit after
  // C++ destructors and still names its objects, and a library that is
  // unloaded leaves nothing behind. Longer names are cut.
  static char storage[128];
  static const size_t length = [] {
    const char* env = std::getenv("ZELQUAR_NAMESPACE");
    size_t n = 0;
    for (; env && env[n] && n < sizeof storage - 1; ++n) storage[n] = IsNameChar(env[n]) ? env[n] : '_';
    return n;
  }();
  return std::string_view(storage, length);
}

std::string SharedObjectName(std::string_view kind, std::string_view name) {
  std::string out = "/ZELQUAR.";
  out += ObjectNamespace();
  out += '.';
  out += kind;
  out += '.';
  // Object names may not hold '/', and the system's own names hold only printable
  // ASCII; anything else is folded so a bad caller cannot escape /dev/shm.
  out += Sanitise(name);
  return out;
}

}  // namespace zq::platform
