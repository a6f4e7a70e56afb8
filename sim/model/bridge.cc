#include "sim/model/bridge.h"

#include <bit>
#include <string>

#include "protocol/bridge_reports.h"

namespace zq::sim {

double UartConfig::CharacterUs() const {
  unsigned bits = 1 + (5u + data_bits) + (parity != 0 ? 1u : 0u) + (stop_bits != 0 ? 2u : 1u);
  return baud == 0 ? 0.0 : bits * 1e6 / baud;
}

std::optional<uint8_t> LineTransfer(const UartConfig& host, uint8_t byte) {
  const UartConfig reader = UartConfig::Reader();
  if (host.flow != reader.flow) return std::nullopt;  // the reader board drives no CTS: nothing moves
  if (host.baud != reader.baud || host.data_bits != reader.data_bits) {
    // Wrong bit timing or width: the receiver samples the wrong bits.
    return static_cast<uint8_t>(std::rotl(byte, 3) ^ 0xA5);
  }
  // Same speed and width, other parity: the receiver reads the other side's
  // parity (or stop) bit as its own parity (or stop) bit. An even-parity bit
  // is 1 exactly when the data has an odd number of ones.
  const bool evenBit = (std::popcount(byte) & 1) != 0;
  switch (host.parity) {
    case 2: return byte;
    case 0:                                            // stop bit 1 read as parity; parity read as stop bit
    case 3: return evenBit ? std::optional<uint8_t>(byte) : std::nullopt;  // mark: always 1
    case 4: return !evenBit ? std::optional<uint8_t>(byte) : std::nullopt; // space: always 0
    default: return std::nullopt;                      // odd parity: every byte fails the check
  }
}

void Bridge::Reset(const std::string& serial) {
  uart_enabled_ = false;
  config_ = UartConfig{};
  latch_ = 0;
  // USB string descriptor: length, type 3, UTF-16LE text.
  serial_.fill(0);
  serial_[0] = protocol::kReportSerialString;
  size_t n = serial.size() < 30 ? serial.size() : 30;
  serial_[1] = static_cast<uint8_t>(2 + 2 * n);
  serial_[2] = protocol::kStringDescriptor;
  for (size_t i = 0; i < n; ++i) serial_[3 + 2 * i] = static_cast<uint8_t>(serial[i]);
}

Bridge::SetResult Bridge::SetFeature(const uint8_t* r, size_t length) {
  SetResult out;
  if (length < 2) {
    out.result = kResultBadLength;
    return out;
  }
  auto need = [&](size_t n) { return length >= n; };
  switch (r[0]) {
    case protocol::kReportUartEnable:
      if (r[1] > 1) break;
      uart_enabled_ = r[1] == 1;
      return out;
    case protocol::kReportPurgeFifos:
      if (r[1] < protocol::kPurgeTransmit || r[1] > protocol::kPurgeBoth) break;
      out.effect = Effect::kPurge;
      out.purge = r[1];
      return out;
    case protocol::kReportSetGpio: {
      if (!need(5)) break;
      uint16_t value = static_cast<uint16_t>((r[1] << 8) | r[2]);
      uint16_t mask = static_cast<uint16_t>(((r[3] << 8) | r[4]) & kGpioOutputBits);
      latch_ = static_cast<uint16_t>((latch_ & ~mask) | (value & mask));
      out.effect = Effect::kLatch;
      return out;
    }
    case protocol::kReportUartConfig: {
      if (!need(9)) break;
      UartConfig c;
      c.baud = (uint32_t{r[1]} << 24) | (uint32_t{r[2]} << 16) | (uint32_t{r[3]} << 8) | r[4];
      c.parity = r[5];
      c.flow = r[6];
      c.data_bits = r[7];
      c.stop_bits = r[8];
      if (c.baud < 300 || c.baud > 1000000 || c.parity > 4 || c.flow > 1 || c.data_bits > 3 || c.stop_bits > 1) break;
      config_ = c;
      return out;
    }
    case protocol::kReportSerialString: {
      if (!need(3) || r[1] > protocol::kSerialStringMaxLength || r[2] != protocol::kStringDescriptor) break;
      serial_.fill(0);
      for (size_t i = 0; i < length && i < kReportLength; ++i) serial_[i] = r[i];
      return out;
    }
    default:
      break;
  }
  out.result = kResultStalled;
  out.effect = Effect::kNone;
  return out;
}

uint32_t Bridge::GetFeature(uint8_t id, size_t length, uint16_t rxCount, bool wrongUart, bool wrongLatch,
                            Bytes* report) const {
  if (length < 2) return kResultBadLength;
  if (length > kReportLength) length = kReportLength;
  Bytes r(kReportLength, 0);
  r[0] = id;
  switch (id) {
    case protocol::kReportUartEnable:
      r[1] = uart_enabled_ ? 1 : 0;
      break;
    case protocol::kReportUartStatus:
      r[3] = static_cast<uint8_t>(rxCount >> 8);
      r[4] = static_cast<uint8_t>(rxCount);
      break;
    case protocol::kReportGpioValues: {
      uint16_t v = wrongLatch ? static_cast<uint16_t>(latch_ ^ kGpioOutputBits) : latch_;
      r[1] = static_cast<uint8_t>(v >> 8);
      r[2] = static_cast<uint8_t>(v);
      break;
    }
    case protocol::kReportVersion:
      r[1] = protocol::kBridgePartNumber;
      r[2] = 0x01;
      break;
    case protocol::kReportUartConfig:
      r[1] = static_cast<uint8_t>(config_.baud >> 24);
      r[2] = static_cast<uint8_t>(config_.baud >> 16);
      r[3] = static_cast<uint8_t>(config_.baud >> 8);
      r[4] = static_cast<uint8_t>(config_.baud);
      r[5] = wrongUart ? static_cast<uint8_t>(config_.parity ^ 1) : config_.parity;
      r[6] = config_.flow;
      r[7] = config_.data_bits;
      r[8] = config_.stop_bits;
      break;
    case protocol::kReportSerialString:
      r.assign(serial_.begin(), serial_.end());
      break;
    default:
      return kResultStalled;
  }
  r.resize(length);
  *report = std::move(r);
  return kResultOk;
}

}  // namespace zq::sim
