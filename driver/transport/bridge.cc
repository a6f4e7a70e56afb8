// Sections: reports; UART; GPIO and power; serial string.
#include "driver/transport/bridge.h"

#include <cstring>
#include <initializer_list>

#include "driver/log/output_log.h"
#include "driver/state/shared_area.h"
#include "driver/transport/hid_binding.h"
#include "driver/transport/rw_io.h"
#include "platform/os/clock.h"
#include "protocol/bridge_reports.h"

namespace zq::drv {
namespace {

// ---- reports ------------------------------------------------------------------

constexpr uint32_t kLogPort = 512;
constexpr size_t kReportSize = protocol::kBridgeReportSize;
constexpr uint8_t kUartConfig[9] = {protocol::kReportUartConfig, 0x00, 0x01, 0xC2, 0x00, 0x02, 0x00, 0x03, 0x00};

struct Report {
  uint8_t bytes[kReportSize] = {};
  explicit Report(uint8_t id) { bytes[0] = id; }
};

uint16_t LatchOf(const Report& r) { return static_cast<uint16_t>((r.bytes[1] << 8) | r.bytes[2]); }

// Sets the lines of `mask` to `value` and reads the latch back.
int32_t SetLatch(uint16_t value, uint16_t mask, const char* setLine, const char* getLine, uint16_t* latch) {
  Report set(protocol::kReportSetGpio);
  set.bytes[1] = static_cast<uint8_t>(value >> 8);
  set.bytes[2] = static_cast<uint8_t>(value);
  set.bytes[3] = static_cast<uint8_t>(mask >> 8);
  set.bytes[4] = static_cast<uint8_t>(mask);
  const int32_t sent = HidRfrwSetFeature(set.bytes);
  OutputLog(LogLevel::kStep, kLogPort, nullptr, 0, setLine, sent);
  if (sent != 0) return kGpioFailed;
  Report get(protocol::kReportGpioValues);
  const int32_t got = HidRfrwGetFeature(get.bytes);
  *latch = LatchOf(get);
  OutputLog(LogLevel::kStep, kLogPort, nullptr, 0, getLine, got, *latch);
  return got == 0 ? 0 : kGpioFailed;
}

}  // namespace

uint16_t LatchBitOfLine(int32_t line) {
  static constexpr uint16_t kBits[10] = {0x0001, 0x0002, 0x0004, 0x0008, 0x0040,
                                         0x0080, 0x0400, 0x0800, 0x1000, 0x2000};
  return (line >= 0 && line <= 9) ? kBits[line] : 0;
}

// ---- UART -----------------------------------------------------------------------

int32_t HidUArtEnable() {
  Report r(protocol::kReportUartEnable);
  r.bytes[1] = 0x01;
  OutputLog(LogLevel::kStep, kLogPort, r.bytes, kReportSize, "HidRfrwSetFeature() WriteReportData=");
  const int32_t result = HidRfrwSetFeature(r.bytes);
  if (result != 0) {
    OutputLog(LogLevel::kError, kLogPort, nullptr, 0, "HidUArtEnable()  HidRfrwSetFeature() error dwRet=%d", result);
    return result;
  }
  OutputLog(LogLevel::kStep, kLogPort, nullptr, 0, "HidUArtEnable()  HidRfrwSetFeature() dwRet=%d", result);
  return 0;
}

int32_t HidGetUartConfig(const PortDataArea& area, uint8_t* report) {
  std::memset(report, 0, kReportSize);
  report[0] = protocol::kReportUartConfig;
  const int32_t result = HidRfrwGetFeature(report);
  OutputLog(LogLevel::kStep, area.port, nullptr, 0, "HidGetUartConfig  HidRfrwGetFeature() dwRet=%d", result);
  return result;
}

int32_t HidSetUartConfig(const PortDataArea& area) {
  Report r(protocol::kReportUartConfig);
  std::memcpy(r.bytes, kUartConfig, sizeof kUartConfig);
  const int32_t sent = HidRfrwSetFeature(r.bytes);
  OutputLog(LogLevel::kStep, area.port, nullptr, 0, "HidSetUartConfig  HidRfrwSetFeature() dwRet=%d", sent);
  if (sent != 0) return sent;
  uint8_t back[kReportSize];
  const int32_t got = HidGetUartConfig(area, back);
  if (got != 0) return got;
  return std::memcmp(back, kUartConfig, sizeof kUartConfig) == 0 ? 0 : -1;
}

int32_t PurgeBridge() {
  Report r(protocol::kReportPurgeFifos);
  r.bytes[1] = protocol::kPurgeBoth;
  const int32_t result = HidRfrwSetFeature(r.bytes);
  OutputLog(LogLevel::kStep, kLogPort, nullptr, 0, "k_PurgeComm  HidRfrwSetFeature() dwRet=%d", result);
  return result;
}

// ---- GPIO and power -------------------------------------------------------------

int32_t k_GPIO_ONOFF(int32_t line, int32_t on) {
  OutputLog(LogLevel::kStep, kLogPort, nullptr, 0, "k_GPIO_ONOFF Call GpioNo=%d,On=%d", line, on);
  const uint16_t mask = LatchBitOfLine(line);
  const uint16_t value = on == 1 ? 0xFFFF : 0x0000;
  uint16_t latch = 0;
  int32_t result = SetLatch(value, mask, "k_GPIO_ONOFF  HidRfrwSetFeature() dwRet=%d",
                            "k_GPIO_ONOFF  HidRfrwGetFeature() dwRet=%d,Report=0x%x", &latch);
  if (result == 0 && (latch & mask) != (value & mask)) result = kGpioFailed;
  OutputLog(LogLevel::kStep, kLogPort, nullptr, 0, "k_GPIO_ONOFF iRet=%d", result);
  return result;
}

int32_t k_GPIO_Read(uint8_t* high, uint8_t* low) {
  OutputLog(LogLevel::kStep, kLogPort, nullptr, 0, "k_GPIO_Read() Call");
  Report get(protocol::kReportGpioValues);
  const int32_t got = HidRfrwGetFeature(get.bytes);
  const uint16_t latch = LatchOf(get);
  OutputLog(LogLevel::kStep, kLogPort, nullptr, 0, "k_GPIO_Read HidRfrwGetFeature() dwRet=%d,Report=0x%x", got, latch);
  int32_t result = kGpioFailed;
  if (got == 0) {
    uint16_t lines = 0;
    for (int32_t line = 0; line <= 9; ++line) {
      if (latch & LatchBitOfLine(line)) lines = static_cast<uint16_t>(lines | (1u << line));
    }
    *high = static_cast<uint8_t>(lines >> 8);
    *low = static_cast<uint8_t>(lines & 0xFF);
    result = 0;
  }
  OutputLog(LogLevel::kStep, kLogPort, nullptr, 0, "k_GPIO_Read() end,iRet=%d,GpioValue_15_8=0x%2x,GpioValue_7_0=0x%2x", result,
            *high, *low);
  return result;
}

int32_t k_RW_ONOFF(int32_t power) {
  OutputLog(LogLevel::kCall, kLogPort, nullptr, 0, "k_RW_ONOFF  Call power=%d", power);
  const bool on = power == 1;
  uint16_t latch = 0;
  int32_t result = SetLatch(on ? 0xFFFF : 0x0000, 0x2000, "k_RW_ONOFF  HidRfrwSetFeature() dwRet=%d",
                            "k_RW_ONOFF  HidRfrwGetFeature() dwRet=%d,Report=0x%x", &latch);
  if (result == 0 && ((latch & 0x2000) != 0) != on) result = kGpioFailed;
  if (result == 0) {
    if (on) {
      // The reader starts up and says a few bytes that nobody asked for.
      platform::SleepMilliseconds(1000);
      for (int i = 0; i < 20; ++i) {
        uint8_t scrap[16];
        uint32_t n = 0;
        OutputLog(LogLevel::kStep, kLogPort, nullptr, 0, "HidRwRead() RDLen=%d", 16);
        HidRwRead(scrap, sizeof scrap, &n);
        OutputLog(LogLevel::kStep, kLogPort, scrap, static_cast<int32_t>(n), "HidRwRead() END,BytesRead=%d ReadData=",
                  static_cast<int>(n));
        if (n == 0) break;
      }
      PurgeBridge();
    } else {
      platform::SleepMilliseconds(100);
    }
  }
  OutputLog(LogLevel::kCall, kLogPort, nullptr, 0, "k_RW_ONOFF iRet=%d", result);
  return result;
}

namespace {

// Line 7 to `line7`, then line 8 to `line8`: 1 when both were set, else 0
// (the failing line is logged).
int32_t SwitchLines7And8(int32_t line7, int32_t line8) {
  if (const int32_t r = k_GPIO_ONOFF(7, line7); r != 0) {
    OutputLog(LogLevel::kError, kLogPort, nullptr, 0, "RfPowerOffOnRetry Error:GPIO7 ERROR FncRet=%d", r);
    return 0;
  }
  if (const int32_t r = k_GPIO_ONOFF(8, line8); r != 0) {
    OutputLog(LogLevel::kError, kLogPort, nullptr, 0, "RfPowerOffOnRetry Error:GPIO8 ERROR FncRet=%d", r);
    return 0;
  }
  return 1;
}

}  // namespace

int32_t GpioSwitchBack() { return SwitchLines7And8(1, 0); }
int32_t GpioSwitchOver() { return SwitchLines7And8(0, 1); }

int32_t k_GPIO_Initial() {
  const int32_t initial = Bounded(&SharedArea::gpioInitialData, 0x0084);
  for (const int32_t line : {1, 2, 3, 6, 7, 8, 9}) {
    const int32_t result = k_GPIO_ONOFF(line, (initial >> line) & 1);
    if (result != 0) return result;
  }
  return 0;
}

// ---- serial string ----------------------------------------------------------------

int32_t HidGetCp2110SerialString(uint8_t* serial61) {
  Report r(protocol::kReportSerialString);
  r.bytes[1] = protocol::kSerialStringMaxLength;
  r.bytes[2] = protocol::kStringDescriptor;
  const int32_t result = HidRfrwGetFeature(r.bytes);
  OutputLog(LogLevel::kStep, kLogPort, r.bytes, kReportSize, "HidGetCp2110SerialString  HidRfrwGetFeature() dwRet=%d ReadReportData=",
            result);
  std::memcpy(serial61, r.bytes + 3, 61);
  return result;
}

int32_t HidSetCp2110SerialString(const uint8_t* serial61) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    Report r(protocol::kReportSerialString);
    r.bytes[1] = protocol::kSerialStringMaxLength;
    r.bytes[2] = protocol::kStringDescriptor;
    std::memcpy(r.bytes + 3, serial61, 61);
    OutputLog(LogLevel::kStep, kLogPort, r.bytes, kReportSize, "HidRfrwSetFeature() WriteReportData=");
    Report sent = r;
    const int32_t set = HidRfrwSetFeature(r.bytes);
    OutputLog(LogLevel::kStep, kLogPort, nullptr, 0, "HidSetCp2110SerialString  HidRfrwSetFeature() dwRet=%d", set);
    if (set != 0) return set;
    uint8_t back[61];
    const int32_t got = HidGetCp2110SerialString(back);
    if (got != 0) return got;
    if (std::memcmp(back, serial61, 61) == 0) return 0;
    OutputLog(LogLevel::kError, kLogPort, sent.bytes, kReportSize,
              "HidSetCp2110SerialString(): ReadSerialStringData Compare Error,WriteReportData=");
    OutputLog(LogLevel::kError, kLogPort, back, 61, "HidGetCp2110SerialString(): ReadSerialStringData=");
  }
  return 1;
}

}  // namespace zq::drv
