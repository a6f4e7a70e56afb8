// Gives the comm tests an object namespace of their own (the named events of
// open ports live there) and removes its objects afterwards.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

std::string TestNamespace() { return "zqt-comm-" + std::to_string(getpid()); }

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

// Set before anything asks for the namespace (it is read once per process).
const bool kNamespaceSet = [] {
  setenv("ZELQUAR_NAMESPACE", TestNamespace().c_str(), 1);
  ::testing::AddGlobalTestEnvironment(new NamespaceEnvironment);
  return true;
}();

}  // namespace
