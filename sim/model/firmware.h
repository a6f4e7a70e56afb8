// The reader's firmware download format, shared by the reader model (which
// checks the blocks) and `zelquar-sim mkfw` (which writes files of them).
//
// File: 2 version bytes, a 16-bit block count (not examined by the driver),
// then one 39-byte record per block: the 37-byte download command and CR LF.
// Block: 00 0D hi lo 00 1F, then 31 image bytes. hi lo is the block index;
// bit 15 marks the last block. Block 0 starts with the two version bytes.
// The last two image bytes of the last block are the CRC-16 of every image
// byte before them: a damaged image is refused before it is installed.
#pragma once

#include <cstdint>

#include "sim/model/hex.h"

namespace zq::sim {

inline constexpr size_t kFirmwareBlockLength = 37;
inline constexpr size_t kFirmwareBlockData = 31;
inline constexpr size_t kFirmwareRecordLength = 39;
inline constexpr uint16_t kFirmwareLastBlock = 0x8000;

// A whole firmware file of `blocks` (1 to 32767) blocks. With lastBad the
// last block carries a wrong image check, so the reader refuses it.
Bytes BuildFirmwareFile(uint16_t version, unsigned blocks, bool lastBad);

}  // namespace zq::sim
