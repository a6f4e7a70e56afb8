#include "platform/object_names.h"

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

const std::string& ObjectNamespace() {
  // Never destroyed: a library's detach code runs at exit after the C++
  // destructors of function-local statics and still names its objects.
  static const std::string* ns = [] {
    const char* env = std::getenv("ZELQUAR_NAMESPACE");
    return new std::string(env ? Sanitise(env) : std::string());
  }();
  return *ns;
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
