// The USB-to-UART bridge's feature reports: their IDs and the values the
// driver and the simulator both speak. Data reports are 0x01 to 0x3F, the ID
// being the count of UART bytes that follow; feature reports start at 0x40.
// Every feature report is 64 bytes, the ID first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zq::protocol {

inline constexpr size_t kBridgeReportSize = 64;

// Feature report IDs.
inline constexpr uint8_t kReportResetDevice = 0x40;   // set: re-enumerates, UART settings back to defaults
inline constexpr uint8_t kReportUartEnable = 0x41;    // both: [1] 0 off, 1 on
inline constexpr uint8_t kReportUartStatus = 0x42;    // get: [1-2] TX FIFO count, [3-4] RX FIFO count
inline constexpr uint8_t kReportPurgeFifos = 0x43;    // set: [1] kPurge* bits
inline constexpr uint8_t kReportGpioValues = 0x44;    // get: [1-2] the latch, big-endian
inline constexpr uint8_t kReportSetGpio = 0x45;       // set: [1-2] latch value, [3-4] mask
inline constexpr uint8_t kReportVersion = 0x46;       // get: [1] part number, [2] device version
inline constexpr uint8_t kReportUartConfig = 0x50;    // both: baud (big-endian), parity, flow, data and stop bits
inline constexpr uint8_t kReportSerialString = 0x65;  // both: [1] descriptor length, [2] kStringDescriptor, [3..] text

// kReportPurgeFifos' byte 1.
inline constexpr uint8_t kPurgeTransmit = 1;
inline constexpr uint8_t kPurgeReceive = 2;
inline constexpr uint8_t kPurgeBoth = kPurgeTransmit | kPurgeReceive;

// kReportSerialString's byte 2: a USB string descriptor.
inline constexpr uint8_t kStringDescriptor = 0x03;
// The longest descriptor kReportSerialString carries.
inline constexpr uint8_t kSerialStringMaxLength = 63;

// kReportVersion's part number.
inline constexpr uint8_t kBridgePartNumber = 0x0A;

}  // namespace zq::protocol
