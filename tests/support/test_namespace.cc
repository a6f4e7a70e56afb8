// Linked into a test program, gives it an object namespace of its own
// (named mutexes, events and mailslots of the code under test live there)
// and removes the namespace's objects when the program ends.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "tests/support/namespace_objects.h"

namespace {

// Set before any test asks for the namespace (it is read once per process).
const bool kNamespaceSet = [] {
  setenv("ZELQUAR_NAMESPACE", ("zqt-" + std::to_string(getpid())).c_str(), 1);
  zq::test::RemoveOwnNamespaceAtExit();
  return true;
}();

}  // namespace
