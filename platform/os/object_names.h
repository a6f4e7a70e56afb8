// Names of the system's kernel objects (shared sections, named mutexes,
// named events, the mailslot) within the object namespace of this process.
//
// The namespace comes from the environment variable ZELQUAR_NAMESPACE, read
// once per process: letters, digits, '_' and '-'; unset or empty selects the
// system-wide namespace. Processes with different namespaces never see each
// other's objects, which is what lets test runs proceed side by side.
#pragma once

#include <string>
#include <string_view>

namespace zq::platform {

// The namespace of this process ("" for the system-wide one), at most 127
// characters. Characters outside the allowed set are replaced by '_'.
// Thread-safe; never blocks.
std::string_view ObjectNamespace();

// The POSIX shared-memory object name for the object `name` of `kind`
// ("sec", "mtx", "evt"), e.g. "/ZELQUAR.ns.mtx.ZELQU_MUTEXOFLIST".
// Pure apart from the namespace lookup.
std::string SharedObjectName(std::string_view kind, std::string_view name);

}  // namespace zq::platform
