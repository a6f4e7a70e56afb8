// What a program beside the driver library needs to tell whether the library
// is loaded by any process: the key of its shared section and the section's
// size (the log collector stays while the section is in use). Kept apart
// from shared_area.h so that such a program sees nothing of the area's
// contents.
#pragma once

#include <cstddef>
#include <string>

namespace zq::drv {

// The key under which the shared section of a library file is found.
inline constexpr const char* kSharedAreaKeyPrefix = "ZELQUAR_Drv:";

// sizeof(SharedArea); shared_area.h checks that the two agree.
inline constexpr size_t kSharedAreaSize = 2640;

// The key of the shared section of the library file `libraryPath`. Pure.
inline std::string SharedAreaKey(const std::string& libraryPath) { return kSharedAreaKeyPrefix + libraryPath; }

}  // namespace zq::drv
