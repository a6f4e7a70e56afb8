// The routing table of RFRW_CLRW_Transmit: which handler an application
// command goes to (a pure decision on its header and length), the fields
// the tag read and write handlers are given, and the call of the handler.
#pragma once

#include <cstdint>

namespace zq::drv {

enum class Route : uint8_t {
  kSetUp,            // 00 01 00 xx, longer than 4 bytes
  kGetInfo2,         // 00 02 00 04
  kGetInformation,   // 00 05 xx 00, 4 bytes
  kNothing,          // 00 17 xx 00: answered at once, no reader exchange
  kPowerLevelSet,    // 00 18 xx 00, 4 bytes
  kSndRcvModeSet,    // 00 30
  kCarrierSense,     // 00 42 00 00
  kModeSetUp,        // 03 FF 00 00
  kGetAllEpcCode,    // 08 01 with Lc 2
  kGetHandle,        // 08 02 00 xx
  kTagCommand,       // 08 03 xx 00
  kTagDataRead,      // 08 10
  kTagDataWrite,     // 08 11
  kTagLock,          // 08 12 00 00
  kTagKill,          // 08 13 00 00
  kAntLevelGet,      // 20 10, 4 bytes
  kRssiModeSet,      // 20 20, 4 bytes
  kGetSerialString,  // 20 30 00 00, 4 bytes
  kSetSerialString,  // 20 30 00 01 00 41 "2354" ..., 71 bytes
  kGpioRead,         // 20 40 00 00, 4 bytes
  kGpioWrite,        // 20 41, 4 bytes
  kPassThrough,      // class C0 to FF
  kError,            // no row took it, or the row's length rule failed
};

// The routing errors, numbered as their log lines are.
inline constexpr int kRouteErrorGetAllEpcLength = 5;   // 08 01, Lc 2, not 8 bytes
inline constexpr int kRouteErrorNoRow = 10;
inline constexpr int kRouteErrorGetHandleLength = 14;  // 08 02, not 4 bytes
inline constexpr int kRouteErrorLc = 15;               // length is not Lc + 6
inline constexpr int kRouteErrorFields = 16;           // the tag fields run past the data

struct RouteDecision {
  Route route = Route::kError;
  int error = 0;  // one of kRouteError... with Route::kError
};

// The header bytes of a command of `sLen` bytes; bytes it does not have
// read as 0, so a short command is never read past its end.
struct CommandHeader {
  uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
  uint16_t lc = 0;  // bytes 4 and 5, big-endian
  uint8_t lcHigh = 0, lcLow = 0;
};
CommandHeader ReadHeader(uint32_t sLen, const uint8_t* command);

// The first row of the table that takes the command. Pure.
RouteDecision RouteCommand(uint32_t sLen, const uint8_t* command);

// The fields of a tag read (08 10) or write (08 11), from the data that
// starts at command byte 6: PC and EPC (and the access password when P1
// bit 1 is set), memory bank, address (1, 3 or 4 bytes by P2 & 3), then
// the word count (read) or the data to write.
struct TagDataFields {
  uint16_t lc = 0;
  uint8_t p1 = 0, p2 = 0;
  const uint8_t* data = nullptr;  // command byte 6
  int32_t pcEpcLength = 0;        // with the password when it is given
  uint8_t bank = 0;
  uint32_t address = 0;
  int32_t addressLength = 0;
  uint8_t wordCount = 0;              // read
  const uint8_t* writePart = nullptr;  // write
  int32_t writeLength = 0;             // bytes of the data from writePart on
};
// False when the fields would run past the Lc data bytes. Pure.
bool ParseTagDataFields(const uint8_t* command, bool write, TagDataFields* fields);

// Runs the handler of `decision` for the command (the decision is not an
// error). The handler's result.
int32_t RunRoute(const RouteDecision& decision, uint32_t sLen, const uint8_t* command, int32_t* rcvLen, uint8_t* rcvData);

}  // namespace zq::drv
