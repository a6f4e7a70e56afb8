// Linked into a test program, gives it an object namespace of its own
// (named mutexes, events and mailslots of the code under test live there)
// and removes the namespace's objects afterwards.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

std::string TestNamespace() { return "zqt-" + std::to_string(getpid()); }

class NamespaceEnvironment : public ::testing::Environment {
 public:
  void TearDown() override {
    std::error_code ec;
    const std::string prefix = "ZELQUAR." + TestNamespace() + ".";
    for (const auto& e : std::filesystem::directory_iterator("/dev/shm", ec)) {
      if (e.path().filename().string().rfind(prefix, 0) == 0) std::filesystem::remove_all(e.path(), ec);
    }
  }
};

// Set before any test asks for the namespace (it is read once per process).
const bool kNamespaceSet = [] {
  setenv("ZELQUAR_NAMESPACE", TestNamespace().c_str(), 1);
  ::testing::AddGlobalTestEnvironment(new NamespaceEnvironment);
  return true;
}();

}  // namespace
