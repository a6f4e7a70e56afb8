#include "platform/os/environment.h"

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <vector>

#include "platform/os/win32_errors.h"

namespace zq::platform {

std::string EnvironmentValue(const std::string& name) {
  const char* value = ::getenv(name.c_str());
  return value ? value : "";
}

bool SetEnvironmentValue(const std::string& name, const std::string& value) {
  return ::setenv(name.c_str(), value.c_str(), 1) == 0;
}

std::string MakePrivateDirectory(const std::string& prefix) {
  std::string base = EnvironmentValue("TMPDIR");
  if (base.empty()) base = "/tmp";
  std::string pattern = base + "/" + prefix + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) {
    SetLastError(Win32FromErrno(errno));
    return "";
  }
  return buffer.data();
}

void RemoveDirectoryTree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

}  // namespace zq::platform
