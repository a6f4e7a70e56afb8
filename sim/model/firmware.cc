#include "sim/model/firmware.h"

#include "protocol/crc.h"

namespace zq::sim {

Bytes BuildFirmwareFile(uint16_t version, unsigned blocks, bool lastBad) {
  Bytes file{static_cast<uint8_t>(version >> 8), static_cast<uint8_t>(version), static_cast<uint8_t>(blocks >> 8),
             static_cast<uint8_t>(blocks)};
  protocol::Crc16Accumulator crc;
  for (unsigned i = 0; i < blocks; ++i) {
    const bool last = i + 1 == blocks;
    uint16_t index = static_cast<uint16_t>(i | (last ? kFirmwareLastBlock : 0));
    Bytes block{0x00, 0x0D, static_cast<uint8_t>(index >> 8), static_cast<uint8_t>(index), 0x00, 0x1F};
    uint8_t data[kFirmwareBlockData];
    for (size_t j = 0; j < kFirmwareBlockData; ++j) data[j] = static_cast<uint8_t>(i * 31 + j * 7 + 0x5A);
    if (i == 0) {
      data[0] = static_cast<uint8_t>(version >> 8);
      data[1] = static_cast<uint8_t>(version);
    }
    size_t covered = last ? kFirmwareBlockData - 2 : kFirmwareBlockData;
    crc.Update(data, covered);
    if (last) {
      uint16_t check = crc.Value();
      if (lastBad) check ^= 0xFFFF;
      data[29] = static_cast<uint8_t>(check >> 8);
      data[30] = static_cast<uint8_t>(check);
    }
    block.insert(block.end(), data, data + kFirmwareBlockData);
    file.insert(file.end(), block.begin(), block.end());
    file.push_back('\r');
    file.push_back('\n');
  }
  return file;
}

}  // namespace zq::sim
