// Questions about files on disk.
#pragma once

#include <cstdint>
#include <string>

namespace zq::platform {

// 0 when `path` names an existing file or directory, else the Win32 error
// (kErrorFileNotFound, kErrorPathNotFound, kErrorAccessDenied, ...). Never
// blocks beyond the file system lookup.
uint32_t FileExistsError(const std::string& path);

}  // namespace zq::platform
