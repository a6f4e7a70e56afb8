// Sections: reader commands; send/receive settings; antenna level;
// information block; signal strength.
#include "driver/commands/command_encoding.h"

#include <cmath>

namespace zq::drv {
namespace {

Bytes Item13(uint8_t item, uint8_t reg, uint8_t valueHigh, uint8_t valueLow, uint8_t keepHigh, uint8_t keepLow) {
  // item (32 bits), register (32 bits), value (2 bytes), kept bits (2 bytes)
  return SetUpCommand({0x00, 0x00, 0x00, item, 0x00, 0x00, 0x00, reg, valueHigh, valueLow, keepHigh, keepLow});
}

}  // namespace

// ---- reader commands ----------------------------------------------------------

Bytes SetUpCommand(const Bytes& data) {
  Bytes c(4 + data.size() + 1);
  c[1] = 0x01;
  c[3] = static_cast<uint8_t>(data.size() + 1);
  uint8_t check = 0;
  for (size_t i = 0; i < data.size(); ++i) {
    c[4 + i] = data[i];
    check ^= data[i];
  }
  c.back() = check;
  return c;
}

Bytes PowerControlCommand(int32_t powerData) { return Item13(0x08, 0x0C, powerData == 3 ? 0x04 : 0x00, 0x00, 0xFB, 0xFF); }

Bytes FarmModeCommand() { return SetUpCommand({0x00, 0x1D, 0x00, 0x01, 0x00, 0x00}); }

Bytes SpeedWordCommand(uint8_t mode, uint16_t speedWord) {
  return Item13(0x0F, mode == 1 ? 0x25 : 0x26, static_cast<uint8_t>(speedWord >> 8), static_cast<uint8_t>(speedWord), 0x00,
                0x00);
}

Bytes P1Command(uint8_t p1) { return Item13(0x0F, 0x01, p1, 0x00, 0xF8, 0xFF); }

Bytes ChannelCommand(uint8_t sendMaxTime, uint32_t channelMask) {
  return {0x00,
          0x21,
          0x00,
          0x00,
          0x00,
          0x06,
          0x00,
          sendMaxTime,
          static_cast<uint8_t>(channelMask >> 24),
          static_cast<uint8_t>(channelMask >> 16),
          static_cast<uint8_t>(channelMask >> 8),
          static_cast<uint8_t>(channelMask)};
}

uint8_t PowerLevelByte(uint8_t p1) { return static_cast<uint8_t>((p1 < 31 ? p1 : 30) - 10); }

Bytes PowerLevelCommand(uint8_t p1) { return {0x00, 0x22, PowerLevelByte(p1), 0x00}; }

Bytes AntennaLevelCommand(uint8_t p1, uint8_t p2) { return {0x00, 0x42, 0x00, 0x00, p2 == 0 ? uint8_t{5} : p2, p1, 0x01}; }

Bytes FirmwareVersionCommand() { return {0x00, 0x02, 0x00, 0x04, 0x00, 0x1F, 0x02, 0x1D}; }

Bytes ReaderLogCommand(uint8_t p2) { return {0x00, 0x2B, 0x00, p2}; }

// ---- send/receive settings ----------------------------------------------------

uint16_t SpeedWord(uint8_t mode, uint8_t delimiter, uint8_t sendSpeed, uint8_t receiveSpeed) {
  const uint32_t w = (((uint32_t{mode} * 16 + (delimiter & 0x0Fu)) * 16 + sendSpeed) * 16) + (receiveSpeed & 7u);
  return static_cast<uint16_t>(w);
}

namespace {

struct BitSource {
  int bit;
  uint32_t sources;
};

constexpr BitSource kType20Bits[] = {{18, 0x01808000}, {17, 0x00604000}, {16, 0x00182000},
                                     {15, 0x00041000}, {14, 0x00020800}, {13, 0x00010400}};
constexpr BitSource kType21Bits[] = {{14, 0x01000800}, {13, 0x00800400}, {12, 0x00400200}, {11, 0x00200100}, {10, 0x00100080},
                                     {9, 0x00080040},  {8, 0x00040020},  {7, 0x00020010},  {6, 0x00010008},  {18, 0x00008000},
                                     {17, 0x00004000}, {16, 0x00002000}, {15, 0x00001000}};

template <size_t N>
uint32_t Gather(uint32_t mask, const BitSource (&table)[N]) {
  uint32_t out = 0;
  for (const BitSource& b : table) {
    if (mask & b.sources) out |= 1u << b.bit;
  }
  return out;
}

}  // namespace

bool ConvertChannelMask(uint8_t readerType, uint32_t mask, uint32_t* converted) {
  switch (readerType) {
    case kReaderType10:
      *converted = (mask >> 6) & 0x7FFFF;
      return true;
    case kReaderType20:
      if (mask & 0x7E0003FF) return false;
      *converted = Gather(mask, kType20Bits);
      return true;
    case kReaderType21:
    case kReaderType22:
      if (mask & 0x7E000007) return false;
      *converted = Gather(mask, kType21Bits);
      return true;
    default:
      *converted = mask;
      return true;
  }
}

uint32_t ValidChannelBits(uint8_t readerType) {
  switch (readerType) {
    case kReaderType10: return 0x7FC00;
    case kReaderType20: return 0x7E000;
    case kReaderType21:
    case kReaderType22: return 0x7FFC0;
    default: return 0;
  }
}

SndRcvModeRequest ParseSndRcvModeRequest(uint8_t readerType, const uint8_t* c) {
  using Verdict = SndRcvModeRequest::Verdict;
  SndRcvModeRequest r;
  r.p1 = c[2];
  r.p2 = c[3];
  r.lc = static_cast<uint16_t>((c[4] << 8) | c[5]);
  const uint8_t* d = c + 6;
  if (r.lc != 5 && r.lc != 7 && r.lc != 15) {
    r.verdict = Verdict::kBadForm;
    return r;
  }
  r.d1 = d[0];
  r.d2 = d[1];
  r.d3 = d[2];
  r.d4 = d[3];
  r.d5 = d[4];
  r.verdict = Verdict::kRefused;
  const bool wideForm = (r.p1 & 0x20) != 0;
  if (r.lc == 15) {
    if (!wideForm || readerType == kReaderType10) return r;
    r.rawMask = (uint32_t{d[5]} << 24) | (uint32_t{d[6]} << 16) | (uint32_t{d[7]} << 8) | d[8];
  } else {
    if (wideForm) return r;
    if (r.lc == 7) r.rawMask = (uint32_t{d[5]} << 24) | (uint32_t{d[6]} << 16);
  }
  if (r.d1 != 2 || r.p1 >= 0x40 || r.d2 > 4 || !(r.d3 == 1 || (r.d3 >= 3 && r.d3 <= 6)) || r.d4 > 4) return r;

  // A mask without bit 31 counts as none.
  r.maskGiven = (r.rawMask & 0x80000000u) != 0;
  uint32_t mask = 0;
  if (r.maskGiven && !ConvertChannelMask(readerType, r.rawMask, &mask)) return r;

  if (r.d3 != 1 || r.d4 != 0 || (r.p2 & 0x01) == 0) return r;
  if (readerType == kReaderType10) {
    if (r.p2 & 0xF2) return r;
    r.sendP2 = r.p2;
    r.sendSpeed = r.d3;
    r.receiveSpeed = r.d4;
  } else if (readerType >= kReaderType20 && readerType <= kReaderType22) {
    if (r.p2 & 0xF0) return r;
    r.sendP2 = static_cast<uint8_t>(r.p2 | 0x02);
    r.sendSpeed = 2;
    r.receiveSpeed = 5;
  } else {
    return r;
  }
  if (r.d5 != 0x52) return r;

  const uint32_t valid = ValidChannelBits(readerType);
  if (r.maskGiven) {
    if ((mask & valid) == 0) return r;
    r.channelMask = mask;
  } else {
    r.channelMask = valid;
  }
  r.verdict = Verdict::kAccepted;
  return r;
}

// ---- antenna level ------------------------------------------------------------

bool AntennaLevelAllowed(uint8_t readerType, uint8_t p1, uint8_t p2) {
  if (p2 > 15) return false;
  switch (readerType) {
    case kReaderType20: return p1 >= 1 && p1 <= 6;
    case kReaderType21:
    case kReaderType22: return p1 >= 1 && p1 <= 13;
    default: return false;
  }
}

// ---- information block --------------------------------------------------------

const Bytes& InformationBlock() {
  static const Bytes block = [] {
    Bytes b{0x01, 0x0E, 0x01, 0x02, 0x01, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x42};
    static constexpr uint16_t kEntries[22] = {0x23F6, 0x23F8, 0x23FA, 0x23FC, 0x23FE, 0x2400, 0x2402, 0x24D4,
                                              0x2406, 0x23D0, 0x23DC, 0x23E8, 0x23F4, 0x23F6, 0x23F8, 0x23FA,
                                              0x23FC, 0x23FE, 0x2400, 0x2402, 0x2404, 0x2406};
    for (int i = 0; i < 22; ++i) {
      b.push_back(static_cast<uint8_t>(i + 1));
      b.push_back(static_cast<uint8_t>(kEntries[i] >> 8));
      b.push_back(static_cast<uint8_t>(kEntries[i]));
    }
    b.insert(b.end(), {0x01, 0x01, 0xF4, 0x02, 0x15, 0x00, 0x01, 0x02, 0x00, 0x01, 0x00, 0x52, 0x90, 0x00});
    return b;
  }();
  return block;
}

// ---- signal strength ----------------------------------------------------------

uint16_t ConvertRssi(uint16_t raw) {
  const double x = 20.0 * std::log10(static_cast<double>(raw));
  const double y = 0.00005 * x * x * x - 0.0097 * x * x + 1.1673 * x - 94.319;
  if (y > 127.9960938) return 0x7FFF;
  if (!(y >= -128.0)) return 0x8000;  // also the -infinity of a raw 0
  return static_cast<uint16_t>(static_cast<int32_t>(y * 256.0));
}

}  // namespace zq::drv
