// The last step of RFRW_Open: the reader's firmware brought up to date and
// the reader put into its operating mode, with the device-level recovery
// between failed attempts.
#pragma once

#include <cstdint>

namespace zq::drv {

struct PortEntry;

// What the caller's own open data block asks of the bring-up. The shared
// area keeps the last open's bits for the calls after it, but another
// process's open may change them at any moment: an open decides its own
// bring-up from its own block (and the INI's bit).
struct OpenFlags {
  bool skipDownload = false;
  bool bootMode = false;
  bool passThrough = false;
};

// Under the API mutex, with the device attached and the port entry taken.
// RFRW_SUCCESS (also in pass-through and boot mode, which leave the reader
// as the download left it); else the failing step's result, after the port
// was closed again.
int32_t BringUpReader(uint32_t port, PortEntry& entry, const OpenFlags& open);

}  // namespace zq::drv
