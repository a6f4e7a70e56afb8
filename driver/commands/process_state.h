// State of the reader command layer that lives in each process or thread
// (the command layer's files: docs/driver.md).
//
// The port addressed by the command layer and the recovery counters belong
// to the calling thread, so that two threads of one process working on two
// units never send through each other's port entry. The reader type and the
// remembered reader settings are settings of the process.
#pragma once

#include <cstdint>

namespace zq::drv {

// The port number the reader command layer addresses (calling thread).
uint32_t& CurrentPort();

// Recoveries counted in the current API call and the retry flag of the
// current command (calling thread).
int32_t& RwPowerOffOnRetryTotalCount();
int32_t& RwPowerOffOnRetryFlag();

// The reader type code, 0x21 after every open (process).
extern uint8_t g_ReaderTypeCode;

// The reader settings replayed after a power-off/on recovery (process).
struct ReaderSettingsMemory {
  uint8_t powerLevel;
  uint8_t speedP1;
  uint8_t speedP2;
  uint32_t speedMode;  // its low byte is sent
  uint8_t delimiter;
  uint8_t sendSpeed;
  uint8_t receiveSpeed;
  uint32_t channelMask;
};
ReaderSettingsMemory& ReaderSettings();

// Sets the defaults once per process (the first RFRW_Open).
void SetReaderSettingsDefaultsOnce();

}  // namespace zq::drv
