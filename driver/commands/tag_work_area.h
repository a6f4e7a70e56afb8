// The work areas of the tag operations. Each calling thread has its own,
// so two threads of one process working on two units never read each
// other's replies or compose into each other's commands (one thread sees
// no difference). They live from a thread's first tag operation to its end.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "driver/commands/gen2_frames.h"
#include "protocol/frame.h"

namespace zq::drv {

// The reply body capacity every tag exchange passes, and the reply area:
// the response frame's three head bytes, then the body.
inline constexpr size_t kEpcReplyCapacity = 1558;
inline constexpr size_t kEpcBufferSize = protocol::kFrameHeadLength + kEpcReplyCapacity;

using EpcReplyArea = std::array<uint8_t, kEpcBufferSize>;

// gEpcBuffer, the last response frame of a tag operation (calling thread).
// The operations read the handle, the new RN16 and the status bytes out of
// it between their steps.
EpcReplyArea& EpcBuffer();

// The bit writer the tag commands are composed in (calling thread). It
// traces every append at level 3 ("Call total_bit=... set_bit=...
// set_byte=..." and "Ret  total_bit=...") for the thread's current port.
Gen2BitWriter& TagBitWriter();

}  // namespace zq::drv
