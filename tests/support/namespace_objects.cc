#include "tests/support/namespace_objects.h"

#include <cstdlib>
#include <filesystem>

namespace zq::test {
namespace {

bool g_removeAtExit = false;

// Destructors of priority 101 run after those of default priority, so the
// library's detach (which takes mutexes and may create objects) is over.
__attribute__((destructor(101))) void RemoveAtExit() {
  const char* ns = std::getenv("ZELQUAR_NAMESPACE");
  if (g_removeAtExit && ns && *ns) RemoveNamespaceObjects(ns);
}

}  // namespace

std::vector<std::string> NamespaceObjects(const std::string& objectNamespace) {
  std::vector<std::string> names;
  const std::string prefix = "ZELQUAR." + objectNamespace + ".";
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator("/dev/shm", ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind(prefix, 0) == 0) names.push_back(name);
  }
  return names;
}

void RemoveNamespaceObjects(const std::string& objectNamespace) {
  std::error_code ec;
  for (const std::string& name : NamespaceObjects(objectNamespace)) std::filesystem::remove("/dev/shm/" + name, ec);
}

void RemoveOwnNamespaceAtExit() { g_removeAtExit = true; }

}  // namespace zq::test
