// The named objects of an object namespace (ZELQUAR_NAMESPACE) as files in
// /dev/shm, for tests that clean up after themselves and check that a run
// left nothing behind.
#pragma once

#include <string>
#include <vector>

namespace zq::test {

// The names of the namespace's objects ("ZELQUAR.<ns>.<kind>.<name>").
std::vector<std::string> NamespaceObjects(const std::string& objectNamespace);

// Removes every object of the namespace.
void RemoveNamespaceObjects(const std::string& objectNamespace);

// Removes the objects of this process's namespace when the process ends,
// after the driver's own detach code (linked in) has run.
void RemoveOwnNamespaceAtExit();

}  // namespace zq::test
