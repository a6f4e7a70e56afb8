// A data section shared by every process that loads one library file, as a
// Windows DLL's shared section is.
//
// The section lives as long as some process is attached to it and is
// zero-filled for the first process that attaches while nobody else is, also
// when every earlier user crashed. Presence is a shared flock each attached
// process holds on the section object (the kernel drops it when a process
// dies); attaches and detaches are serialised by an exclusive gate lock, so
// two first attaches cannot both zero-fill. The last process to detach
// removes the section and its gate from the system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace zq::platform {

struct SharedSection {
  void* base = nullptr;   // size bytes, readable and writable; nullptr when refused
  size_t size = 0;
  bool first = false;     // this process found nobody else attached and zero-filled it
  bool shared = false;    // false: the system object was unavailable, base is private memory
  bool refused = false;   // the section exists but may not be used (error says why); base is nullptr
  uint32_t error = 0;     // kErrorAccessDenied (refused by the access rules), kErrorTimeout (the
                          // gate stayed held past its bound), or the error behind a private section
  int handle = -1;        // the presence-holding object; -1 when not shared
  std::string objectName;
};

// How long an attach or detach waits for the gate by default.
inline constexpr int kDefaultGateTimeoutMs = 30000;

// Runs while the section's gate is held, so no other process attaches or
// detaches meanwhile.
using SectionGateWork = std::function<void(SharedSection&)>;

// Attaches to the section `key` (any text: hashed into the object name
// together with `size`, so two library files or layouts never share one),
// then runs `underGate`. When the system object cannot be made, the section
// is private, zero-filled memory of this process and error and LastError()
// say why. When the section exists but is refused by the access rules, or
// its gate stays held for gateTimeoutMs, the result is `refused` with no
// memory at all (underGate still runs, and sees it). Blocks while another
// process of the namespace attaches or detaches, at most gateTimeoutMs for
// the gate. Call from one thread at a time (the library's constructor).
SharedSection AttachSharedSection(std::string_view key, size_t size, const SectionGateWork& underGate,
                                  int gateTimeoutMs = kDefaultGateTimeoutMs);

// Runs `underGate`, then detaches: drops this process's presence. When this
// process was the last one attached, the system object and its gate are
// removed. Memory
// stays mapped when `unmap` is false (other threads may still look at it
// while the process exits). Blocks like AttachSharedSection; when the gate
// stays held past gateTimeoutMs, `underGate` runs without it and the
// presence is dropped without removing anything.
void DetachSharedSection(SharedSection& section, bool unmap, const SectionGateWork& underGate,
                         int gateTimeoutMs = kDefaultGateTimeoutMs);

// The name of the system object behind section `key` of `size` bytes.
std::string SharedSectionObjectName(std::string_view key, size_t size);

// True while some process is attached to section `key` of `size` bytes.
// Takes the section's gate for the moment of the test, so it never
// disturbs an attach. Waits at most gateTimeoutMs for the gate; a gate held
// longer counts as in use.
bool SharedSectionInUse(std::string_view key, size_t size, int gateTimeoutMs = kDefaultGateTimeoutMs);

// Maps the section of another process group read-only without attaching
// (no presence, no zero-fill): for diagnostics and tests that inspect the
// shared state from outside. Returns nullptr when it does not exist or has
// another size. Release with UnmapInspectedSection.
const void* InspectSharedSection(std::string_view key, size_t size);
void UnmapInspectedSection(const void* base, size_t size);

}  // namespace zq::platform
