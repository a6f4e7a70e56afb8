// The USB-UART bridge's own controls, through HID feature reports: UART
// enable and configuration, purge, GPIO lines (line 9 powers the reader),
// and the USB serial-number string. Every GPIO set is verified by reading
// the lines back.
#pragma once

#include <cstdint>

namespace zq::drv {

struct PortDataArea;

int32_t HidUArtEnable();
// 0, a report error, or -1 when the configuration read back differs.
int32_t HidSetUartConfig(const PortDataArea& area);
// Fetches the UART configuration report into report[64]; the log line
// names the port of `area`. 0 or the report error.
int32_t HidGetUartConfig(const PortDataArea& area, uint8_t* report);
// Empties both bridge FIFOs: 0 or the report error.
int32_t PurgeBridge();
// The GPIO calls' failure: a report failed, or the lines read back differ.
inline constexpr int32_t kGpioFailed = -4;

// line 0..9; on = 1 switches on, anything else off. 0 or kGpioFailed.
int32_t k_GPIO_ONOFF(int32_t line, int32_t on);
// Lines 8-15 into *high, 0-7 into *low. 0 or kGpioFailed.
int32_t k_GPIO_Read(uint8_t* high, uint8_t* low);
// Reader power through line 9 (1 on, else off): 0 or kGpioFailed. Switching on
// waits for the reader to start and discards what it sends meanwhile.
int32_t k_RW_ONOFF(int32_t power);
// Line 7 on then 8 off / 7 off then 8 on: 1 when both were set, else 0.
int32_t GpioSwitchBack();
int32_t GpioSwitchOver();
// Lines 1, 2, 3, 6, 7, 8, 9 from GpioInitialData: 0 or the first failure.
int32_t k_GPIO_Initial();
int32_t HidGetCp2110SerialString(uint8_t* serial61);
// 0, a report error, or 1 after ten read-backs that differed.
int32_t HidSetCp2110SerialString(const uint8_t* serial61);

// The latch bit of GPIO line 0..9; 0 for any other. Pure.
uint16_t LatchBitOfLine(int32_t line);

}  // namespace zq::drv
