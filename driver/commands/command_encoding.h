// The reader commands the driver composes, and the pure decisions of the
// reader control handlers: power level byte, speed word, channel masks per
// reader type, the send/receive mode request, the antenna level limits,
// the information block and the signal strength conversion. No system
// calls and no logging: tests feed them data.
//
// Sections: reader commands; send/receive settings; antenna level;
// information block; signal strength.
#pragma once

#include <cstdint>
#include <vector>

namespace zq::drv {

using Bytes = std::vector<uint8_t>;

// Reader type codes.
inline constexpr uint8_t kReaderType10 = 0x10;
inline constexpr uint8_t kReaderType20 = 0x20;
inline constexpr uint8_t kReaderType21 = 0x21;  // what every open sets
inline constexpr uint8_t kReaderType22 = 0x22;

// ---- reader commands ----------------------------------------------------------

// 00 01 00 n, then the n data bytes: `data` and its check byte (the
// exclusive-or of every data byte before it).
Bytes SetUpCommand(const Bytes& data);
// Power control, PowerData 0 (v 00) or 3 (v 04).
Bytes PowerControlCommand(int32_t powerData);
// The operating-mode (firmware mode) command.
Bytes FarmModeCommand();
// The speed word set-up item: register 0x25 for mode 1, else 0x26.
Bytes SpeedWordCommand(uint8_t mode, uint16_t speedWord);
// The P1 set-up item.
Bytes P1Command(uint8_t p1);
// The channel command: send time byte and channel mask.
Bytes ChannelCommand(uint8_t sendMaxTime, uint32_t channelMask);
// Power level 00 22 L 00, L from P1 (below 64).
uint8_t PowerLevelByte(uint8_t p1);
Bytes PowerLevelCommand(uint8_t p1);
// Antenna level 00 42 00 00 q P1 01 (q = P2, or 5 when P2 is 0).
Bytes AntennaLevelCommand(uint8_t p1, uint8_t p2);
// Firmware version query, and the reader log fetch 00 2B 00 P2.
Bytes FirmwareVersionCommand();
Bytes ReaderLogCommand(uint8_t p2);

// Reply capacities of these commands.
inline constexpr int32_t kSetUpReplyCapacity = 32;  // set-up items and the forwarders
inline constexpr int32_t kSpeedReplyCapacity = 4;
inline constexpr int32_t kPowerLevelReplyCapacity = 4;
inline constexpr int32_t kAntennaReplyCapacity = 5;
inline constexpr int32_t kFirmwareVersionReplyCapacity = 6;

// ---- send/receive settings ----------------------------------------------------

// The speed word: mode, delimiter (low 4 bits), send speed, receive speed
// (low 3 bits), a nibble each, truncated to 16 bits.
uint16_t SpeedWord(uint8_t mode, uint8_t delimiter, uint8_t sendSpeed, uint8_t receiveSpeed);

// A channel mask with bit 31 set, converted for the reader type. False
// when the type refuses a bit the mask has.
bool ConvertChannelMask(uint8_t readerType, uint32_t mask, uint32_t* converted);
// The channel bits a converted mask must keep one of, which are also the
// mask used when none is given (0 for unknown types).
uint32_t ValidChannelBits(uint8_t readerType);

// An application's 00 30 P1 P2 Lc D1... request, checked for the reader type.
struct SndRcvModeRequest {
  enum class Verdict { kAccepted, kBadForm, kRefused } verdict = Verdict::kRefused;
  uint16_t lc = 0;
  uint8_t p1 = 0, p2 = 0;
  uint8_t d1 = 0, d2 = 0, d3 = 0, d4 = 0, d5 = 0;
  bool maskGiven = false;  // the request's mask before conversion, when one was given
  uint32_t rawMask = 0;
  // What to send when accepted: P2, speeds and the channel mask.
  uint8_t sendP2 = 0, sendSpeed = 0, receiveSpeed = 0;
  uint32_t channelMask = 0;
};
// `command` has 6 + Lc bytes (the routing checked that).
SndRcvModeRequest ParseSndRcvModeRequest(uint8_t readerType, const uint8_t* command);

// ---- antenna level ------------------------------------------------------------

// Whether the reader type takes antenna channel P1 and level P2.
bool AntennaLevelAllowed(uint8_t readerType, uint8_t p1, uint8_t p2);

// ---- information block --------------------------------------------------------

// The fixed 92-byte information block (ending 90 00).
const Bytes& InformationBlock();

// ---- signal strength ----------------------------------------------------------

// A raw signal value as signed 8.8 fixed point dBm (0x7FFF and 0x8000 at
// the ends of the range).
uint16_t ConvertRssi(uint16_t raw);

}  // namespace zq::drv
