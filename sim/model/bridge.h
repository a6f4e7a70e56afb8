// The USB-UART bridge's own state: UART enable and configuration, GPIO latch,
// serial string and version, reached through feature reports. Data reports and
// the reader behind the UART are the Device's business.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/os/win32_errors.h"
#include "sim/model/hex.h"

namespace zq::sim {

// Win32 results a feature request ends with (only the numbers are taken
// from the platform layer; the model makes no system call).
inline constexpr uint32_t kResultOk = platform::kErrorSuccess;
inline constexpr uint32_t kResultStalled = platform::kErrorGenFailure;  // the request stalled
inline constexpr uint32_t kResultBadLength = platform::kErrorInvalidParameter;
inline constexpr uint32_t kResultNotConnected = platform::kErrorDeviceNotConnected;

inline constexpr size_t kReportLength = 64;
inline constexpr uint16_t kReaderPowerBit = 0x2000;  // GPIO line 9
// Latch bits of GPIO lines 0 to 9, all outputs on the reader board.
inline constexpr uint16_t kGpioOutputBits = 0x3CCF;

struct UartConfig {
  uint32_t baud = 115200;
  uint8_t parity = 0;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t flow = 0;       // 0 none, 1 RTS/CTS
  uint8_t data_bits = 3;  // 0..3 = 5..8 bits
  uint8_t stop_bits = 0;  // 0 one, 1 one and a half or two
  bool operator==(const UartConfig&) const = default;
  // What the reader module speaks: 115200 baud, 8 data bits, even parity, 1 stop bit.
  static UartConfig Reader() { return UartConfig{115200, 2, 0, 3, 0}; }
  // Microseconds one character takes on the line (start, data, parity, stop bits).
  double CharacterUs() const;
};

// One byte crossing between a bridge UART with configuration `host` and the
// reader's 8E1 UART, in either direction: the byte as received, or nothing
// when the receiver drops it with a parity or framing error.
std::optional<uint8_t> LineTransfer(const UartConfig& host, uint8_t byte);

class Bridge {
 public:
  explicit Bridge(const std::string& serial) { Reset(serial); }
  // State after plug-in: UART disabled, default configuration, all lines low.
  void Reset(const std::string& serial);

  enum class Effect { kNone, kPurge, kLatch };
  struct SetResult {
    uint32_t result = kResultOk;
    Effect effect = Effect::kNone;
    uint8_t purge = 0;  // 1 transmit, 2 receive, 3 both
  };
  // A feature report to set, report ID first.
  SetResult SetFeature(const uint8_t* report, size_t length);
  // A feature report to get, `length` bytes with the ID first (zero-padded).
  // The UART status report's FIFO counts come from the caller.
  uint32_t GetFeature(uint8_t id, size_t length, uint16_t rxCount, bool wrongUart, bool wrongLatch,
                      Bytes* report) const;

  bool uart_enabled() const { return uart_enabled_; }
  const UartConfig& config() const { return config_; }
  uint16_t latch() const { return latch_; }
  bool reader_powered() const { return (latch_ & kReaderPowerBit) != 0; }
  const std::array<uint8_t, kReportLength>& serial_report() const { return serial_; }

 private:
  bool uart_enabled_ = false;
  UartConfig config_;
  uint16_t latch_ = 0;
  std::array<uint8_t, kReportLength> serial_{};  // the 0x65 report as stored
};

}  // namespace zq::sim
