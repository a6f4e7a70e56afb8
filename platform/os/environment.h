// The process environment and private scratch directories.
#pragma once

#include <string>

namespace zq::platform {

// The value of the environment variable `name`, "" when it is not set.
// Not safe against a concurrent SetEnvironmentValue; never blocks.
std::string EnvironmentValue(const std::string& name);
// Sets (overwrites) it for this process and the programs it starts later.
// Call it before other threads start. False when the system refused.
bool SetEnvironmentValue(const std::string& name, const std::string& value);

// A new directory only the calling user may use, under $TMPDIR (else
// /tmp), named PREFIX plus a unique suffix; "" with LastError() set when it
// could not be made. Blocks only for the file system.
std::string MakePrivateDirectory(const std::string& prefix);
// Removes `path` and everything below it; a missing path is fine. Never
// follows symbolic links out of the tree. Blocks only for the file system.
void RemoveDirectoryTree(const std::string& path);

}  // namespace zq::platform
