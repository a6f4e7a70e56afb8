// The command layer's pure parts on data: the reply check and the short
// responses, what the exchange makes of a reply, the composed reader
// commands, the send/receive request rules, the channel masks, the signal
// strength conversion, the routing table and the recovery loop.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ZELQUAR_Drv.h"
#include "driver/commands/command_encoding.h"
#include "driver/commands/exchange.h"
#include "driver/commands/handlers.h"
#include "driver/commands/process_state.h"
#include "driver/commands/response_check.h"
#include "driver/commands/routing.h"
#include "driver/commands/transmit.h"

namespace zq::drv {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::string ToHex(const uint8_t* p, size_t n) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}
std::string ToHex(const Bytes& b) { return ToHex(b.data(), b.size()); }

// A response frame as the exchange hands it on: head and body.
Bytes Frame(const std::string& bodyHex) {
  const Bytes body = FromHex(bodyHex);
  Bytes f(3 + body.size(), 0);
  f[1] = static_cast<uint8_t>(body.size() >> 8);
  f[2] = static_cast<uint8_t>(body.size());
  std::copy(body.begin(), body.end(), f.begin() + 3);
  return f;
}

// ---- the reply check ----

TEST(CheckDspResponse, ClassifiesEveryStatusWord) {
  struct Case {
    const char* body;
    int32_t minLen;
    const char* expect;  // PC and EPC, or nullptr
    int32_t result;
    uint8_t rStatus;
    uint16_t sw;
  };
  const Case cases[] = {
      {"9000", 2, nullptr, kCheckPassed, 4, 0x9000},
      {"0102039000", 6, nullptr, kCheckFailed, 4, 0x6403},          // shorter than MinLen
      {"206400", 2, nullptr, kCheckFailed, 4, 0x6403},              // RStatus out of 2..17
      {"056400", 2, nullptr, kCheckFailed, 5, 0x6403},
      {"116400", 2, nullptr, kCheckFailed, 17, 0x6403},
      {"6400", 2, nullptr, kCheckFailed, 4, 0x6403},
      {"6401", 2, nullptr, kCheckRefused, 4, 0x6401},
      {"156402", 2, nullptr, kCheckStatus15, 0x15, 0x6402},
      {"6403", 2, nullptr, kCheckFailed, 4, 0x6403},
      {"336404", 2, nullptr, kCheckFailedWithStatus, 0x33, 0x6404},
      {"6405", 2, nullptr, kCheckRecovery, 4, 0x6405},
      {"640E", 2, nullptr, kCheckRecovery, 4, 0x640E},
      {"640F", 2, nullptr, kCheckFailed, 4, 0x6403},
      {"6A82", 2, nullptr, kCheckFailed, 4, 0x6403},
      {"90", 2, nullptr, kCheckFailed, 4, 0x6403},
      {"", 2, nullptr, kCheckFailed, 4, 0x6403},                   // the zero-length reply
      {"0800AABB9000", 6, "0800AABB", kCheckPassed, 4, 0x9000},
      {"0800AABC9000", 6, "0800AABB", kCheckFailed, 4, 0x6403},
      // A PC word announcing more EPC than the reply holds is no match.
      {"1000AABB9000", 6, "1000AABBCCDD", kCheckFailed, 4, 0x6403},
  };
  for (const Case& c : cases) {
    const Bytes reply = Frame(c.body);
    const Bytes expect = c.expect ? FromHex(c.expect) : Bytes{};
    int32_t status = 0, iLen = -1;
    uint8_t rStatus = 0, sw1 = 0, sw2 = 0;
    const int32_t r =
        CheckDspResponse(&status, &iLen, reply.data(), c.minLen, &rStatus, &sw1, &sw2, c.expect ? expect.data() : nullptr);
    EXPECT_EQ(r, c.result) << c.body;
    EXPECT_EQ(rStatus, c.rStatus) << c.body;
    EXPECT_EQ((sw1 << 8) | sw2, c.sw) << c.body;
    EXPECT_EQ(iLen, static_cast<int32_t>(reply.size() - 3)) << c.body;
    EXPECT_EQ(status, 0) << c.body;
  }
  // A handler that already failed: nothing is looked at or touched.
  int32_t status = RFRW_ERROR_PARAMETER, iLen = 77;
  uint8_t rStatus = 9, sw1 = 9, sw2 = 9;
  const Bytes reply = Frame("9000");
  EXPECT_EQ(CheckDspResponse(&status, &iLen, reply.data(), 2, &rStatus, &sw1, &sw2, nullptr), kCheckNotRun);
  EXPECT_EQ(iLen + rStatus + sw1 + sw2, 77 + 27);
}

TEST(MakeResponseReadCmd, StatusExtraAndCapacity) {
  struct Case {
    int32_t check;
    uint32_t flags;
    int32_t capacity;
    const char* response;  // "" with length 0
    int32_t status;
  };
  const Case cases[] = {
      {kCheckFailed, 0, 3, "056403", 0},
      {kCheckFailed, 1, 4, "05EE6403", 0},
      {kCheckWithoutStatus, 0, 2, "6403", 0},
      {kCheckWithoutStatus, 1, 3, "EE6403", 0},
      {kCheckFailed, 1, 3, "", RFRW_ERROR_PARAMETER},
      {kCheckNotRun, 0, 10, "", 0},
  };
  for (const Case& c : cases) {
    int32_t status = 0, length = c.capacity;
    uint8_t out[8] = {};
    MakeResponseReadCmd(&status, c.check, 0x05, 0x64, 0x03, &length, out, c.flags, 0xEE);
    EXPECT_EQ(ToHex(out, static_cast<size_t>(length)), c.response) << c.check << " " << c.flags;
    EXPECT_EQ(status, c.status);
  }
  int32_t status = 0, length = 4;
  uint8_t out[4];
  MakeStatusResponse(&status, kCheckRefused, 0x64, 0x01, &length, out);
  EXPECT_EQ(ToHex(out, static_cast<size_t>(length)), "00006401");
  length = 3;
  MakeStatusResponse(&status, kCheckRefused, 0x64, 0x01, &length, out);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(status, RFRW_ERROR_PARAMETER);
}

TEST(CheckWrappers, PassOnOrAnswerShort) {
  int32_t status = 0, iLen = 0, length = 8;
  uint8_t out[8] = {};
  const Bytes good = Frame("0800AABB01029000"), refused = Frame("6401");
  const Bytes pcEpc = FromHex("0800AABB");
  EXPECT_EQ(CheckDspResponseWithPcEpc(&status, &iLen, good.data(), pcEpc.data(), &length, out, 0), 1);
  EXPECT_EQ(length, 8);  // untouched: the caller answers
  EXPECT_EQ(CheckDspResponsePlain(&status, &iLen, refused.data(), &length, out, 0), 0);
  EXPECT_EQ(ToHex(out, static_cast<size_t>(length)), "046401");
  length = 8;
  EXPECT_EQ(CheckDspResponseWithPcEpc(&status, &iLen, Frame("9000").data(), pcEpc.data(), &length, out, 0), 0);
  EXPECT_EQ(ToHex(out, static_cast<size_t>(length)), "046403");
}

// ---- the exchange's pure parts ----

TEST(TakeReply, CapacityRewriteAndRecoveryWords) {
  struct Case {
    const char* body;
    int32_t capacity;
    bool tooLong;
    const char* taken;  // the body handed on
    bool recovery;
  };
  const Case cases[] = {
      {"6402", 4, false, "156402", false},
      {"6402", 2, false, "6402", false},  // no room for the reader status
      {"640A", 2, false, "640A", true},
      {"0102039000", 4, true, "", false},
  };

  for (const Case& c : cases) {
    const Bytes frame = Frame(c.body);
    Bytes out(static_cast<size_t>(c.capacity) + 3, 0xEE);
    const ReplyTaken t = TakeReply(frame.data(), c.capacity, out.data());
    EXPECT_EQ(t.tooLong, c.tooLong) << c.body;
    EXPECT_EQ(t.armsRecovery, c.recovery) << c.body;
    if (c.tooLong) {
      EXPECT_EQ(out, Bytes(out.size(), 0xEE)) << "nothing copied";
      continue;
    }
    // The head always comes along, so an empty reply reads as one.
    EXPECT_EQ(ToHex(out.data(), 3 + static_cast<size_t>(t.bodyLength)), ToHex(Frame(c.taken))) << c.body;
    EXPECT_EQ(FrameStatusWord(out.data()), t.bodyLength >= 2 ? (out[1 + t.bodyLength] << 8 | out[2 + t.bodyLength]) : 0x6403);
  }
}

// ---- composed commands ----

TEST(Commands, SetUpItemsCarryTheirCheckByte) {
  EXPECT_EQ(ToHex(PowerControlCommand(3)), "0001000D000000080000000C0400FBFF04");
  EXPECT_EQ(ToHex(FarmModeCommand()), "00010007001D000100001C");
  // The speed word item is 17 bytes, 13 data bytes as its length says;
  // mode 1 uses register 0x25.
  EXPECT_EQ(ToHex(SpeedWordCommand(1, 0x1234)), "0001000D0000000F00000025123400000C");
  EXPECT_EQ(ToHex(ReaderLogCommand(1)), "002B0001");
}

TEST(Commands, SpeedWordAndPowerLevelByte) {
  EXPECT_EQ(SpeedWord(2, 0, 2, 5), 0x2025);
  EXPECT_EQ(SpeedWord(1, 0x1F, 3, 0x0F), 0x1F37);  // delimiter and receive speed are masked
  EXPECT_EQ(SpeedWord(0x12, 0, 0, 0), 0x2000);      // truncated to 16 bits
  const std::pair<uint8_t, uint8_t> levels[] = {{0, 0xF6}, {5, 0xFB}, {9, 0xFF}, {10, 0x00},
                                                {29, 0x13}, {30, 0x14}, {31, 0x14}, {63, 0x14}};
  for (const auto& [p1, level] : levels) EXPECT_EQ(PowerLevelByte(p1), level) << int(p1);
}

// ---- send/receive settings ----

TEST(ChannelMask, ConversionPerReaderType) {
  struct Case {
    uint8_t type;
    uint32_t mask;
    bool ok;
    uint32_t converted;
  };
  const Case cases[] = {
      {0x10, 0x8000FFC0, true, (0x8000FFC0u >> 6) & 0x7FFFF},
      {0x20, 0x80008000, true, 1u << 18},
      {0x20, 0x81808000, true, 1u << 18},
      {0x20, 0x80000400, true, 1u << 13},
      {0x20, 0x80000200, false, 0},  // a bit of 0x7E0003FF
      {0x20, 0x80041000, true, 1u << 15},
      {0x21, 0x80008000, true, 1u << 18},
      {0x21, 0x80000008, true, 1u << 6},
      {0x21, 0x81000800, true, 1u << 14},
      {0x21, 0x80000004, false, 0},  // a bit of 0x7E000007
      {0x22, 0xC0000000, false, 0},
      {0x22, 0x80000000, true, 0},
      {0x33, 0x80001234, true, 0x80001234},
  };
  for (const Case& c : cases) {
    uint32_t converted = 0;
    EXPECT_EQ(ConvertChannelMask(c.type, c.mask, &converted), c.ok) << std::hex << int(c.type) << " " << c.mask;
    if (c.ok) {
      EXPECT_EQ(converted, c.converted) << std::hex << int(c.type) << " " << c.mask;
    }
  }
  EXPECT_EQ(ValidChannelBits(0x10), 0x7FC00u);
  EXPECT_EQ(ValidChannelBits(0x20), 0x7E000u);
  EXPECT_EQ(ValidChannelBits(0x22), 0x7FFC0u);
}

TEST(SndRcvModeRequest, RulesOfTheOtherReaderTypes) {
  using V = SndRcvModeRequest::Verdict;
  struct Case {
    uint8_t type;
    const char* hex;
    V verdict;
    uint8_t p2, snd, rcv;
    uint32_t mask;
  };
  const Case cases[] = {
      // Type 0x10 sends P2 and the speeds as given, and has no wide form.
      {0x10, "00300001000502000100" "52", V::kAccepted, 0x01, 1, 0, 0x7FC00},
      {0x10, "00300003000502000100" "52", V::kRefused, 0, 0, 0, 0},  // P2 bit 1
      {0x10, "00300001000702000100" "52" "8001", V::kAccepted, 0x01, 1, 0, 0x400},
      {0x10, "00302001000F0200010052" "80010000" "000000000000", V::kRefused, 0, 0, 0, 0},
      // Type 0x20: P2 bit 1 added, speeds 2 and 5, its own default.
      {0x20, "00300001000502000100" "52", V::kAccepted, 0x03, 2, 5, 0x7E000},
      {0x20, "003000F1000502000100" "52", V::kRefused, 0, 0, 0, 0},
      {0x20, "00300011000502000100" "52", V::kRefused, 0, 0, 0, 0},  // P2 bit 4
      {0x40, "00300001000502000100" "52", V::kRefused, 0, 0, 0, 0},  // unknown type
      {0x21, "00300001000802000100" "520000" "00", V::kBadForm, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    const Bytes command = FromHex(c.hex);
    const SndRcvModeRequest r = ParseSndRcvModeRequest(c.type, command.data());
    EXPECT_EQ(r.verdict, c.verdict) << c.hex;
    if (c.verdict != V::kAccepted) continue;
    EXPECT_EQ(r.sendP2, c.p2) << c.hex;
    EXPECT_EQ(r.sendSpeed, c.snd) << c.hex;
    EXPECT_EQ(r.receiveSpeed, c.rcv) << c.hex;
    EXPECT_EQ(r.channelMask, c.mask) << c.hex;
  }
}

TEST(AntennaLevel, LimitsPerReaderType) {
  struct Case {
    uint8_t type, p1, p2;
    bool ok;
  };
  for (const Case& c : {Case{0x20, 1, 0, true}, Case{0x20, 6, 15, true}, Case{0x20, 7, 0, false},
                        Case{0x21, 0, 0, false}, Case{0x21, 13, 0, true}, Case{0x21, 14, 0, false},
                        Case{0x22, 13, 16, false}, Case{0x10, 1, 0, false}, Case{0x30, 1, 0, false}}) {
    EXPECT_EQ(AntennaLevelAllowed(c.type, c.p1, c.p2), c.ok) << int(c.type) << " " << int(c.p1) << " " << int(c.p2);
  }
}

TEST(ConvertRssi, EndsAndKnownValues) {
  EXPECT_EQ(ConvertRssi(0), 0x8000);  // log10(0) is minus infinity
  EXPECT_EQ(ConvertRssi(1), 0xA1AF);  // -94.319 dBm
  EXPECT_EQ(ConvertRssi(0xFFFF), 0xE4D0);
  uint8_t raw[2] = {0x00, 0x01};
  ConvRSSI(raw);
  EXPECT_EQ(raw[0] << 8 | raw[1], 0xA1AF);
}

// ---- routing ----

TEST(Routing, EveryRowAndItsConditions) {
  struct Case {
    const char* hex;
    int sLen;  // -1: the bytes given
    Route route;
    int error;
  };
  const Case cases[] = {
      {"0001000412345670", -1, Route::kSetUp, 0},
      {"00010004", -1, Route::kError, kRouteErrorNoRow},  // not longer than 4
      {"0001010412", -1, Route::kError, kRouteErrorNoRow},
      {"00020004", -1, Route::kGetInfo2, 0},
      {"00020005", -1, Route::kError, kRouteErrorNoRow},
      {"00057700", -1, Route::kGetInformation, 0},
      {"0005770000", -1, Route::kError, kRouteErrorNoRow},
      {"00170900", -1, Route::kNothing, 0},
      {"0017090000", -1, Route::kNothing, 0},
      {"00181400", -1, Route::kPowerLevelSet, 0},
      {"001814000000", -1, Route::kError, kRouteErrorNoRow},
      {"0030000100020102", -1, Route::kSndRcvModeSet, 0},
      {"00300001000201", -1, Route::kError, kRouteErrorLc},
      {"004200000700", -1, Route::kCarrierSense, 0},
      {"03FF0000", -1, Route::kModeSetUp, 0},
      {"03FF0100", -1, Route::kError, kRouteErrorNoRow},
      {"0801AABB00020000", -1, Route::kGetAllEpcCode, 0},
      {"0801AABB0002000000", -1, Route::kError, kRouteErrorGetAllEpcLength},
      {"0801AABB00030000", -1, Route::kError, kRouteErrorNoRow},
      {"0801", -1, Route::kError, kRouteErrorNoRow},
      {"080200AA", -1, Route::kGetHandle, 0},
      {"080200AA00", -1, Route::kError, kRouteErrorGetHandleLength},
      {"0803AA00", -1, Route::kTagCommand, 0},
      {"0810000000070800AABB030001", -1, Route::kTagDataRead, 0},
      {"08100000000608000ABB0300", -1, Route::kError, kRouteErrorFields},
      {"0811000000080800AABB0300BEEF", -1, Route::kTagDataWrite, 0},
      {"0811000000080800AABB0300BE", -1, Route::kError, kRouteErrorLc},
      {"08120000000100", -1, Route::kTagLock, 0},
      {"08120100000100", -1, Route::kError, kRouteErrorNoRow},
      {"08130000000100", -1, Route::kTagKill, 0},
      {"2010AABB", -1, Route::kAntLevelGet, 0},
      {"2020AABB", -1, Route::kRssiModeSet, 0},
      {"20300000", -1, Route::kGetSerialString, 0},
      {"20300001004132333534", 71, Route::kSetSerialString, 0},
      {"20300001004132333534", 70, Route::kError, kRouteErrorNoRow},
      {"20300001004132333533", 71, Route::kError, kRouteErrorNoRow},
      {"20400000", -1, Route::kGpioRead, 0},
      {"20400001", -1, Route::kError, kRouteErrorNoRow},
      {"2041AABB", -1, Route::kGpioWrite, 0},
      {"C0", -1, Route::kPassThrough, 0},
      {"FF123456", -1, Route::kPassThrough, 0},
      {"BF000000", -1, Route::kError, kRouteErrorNoRow},
      {"", -1, Route::kError, kRouteErrorNoRow},
  };
  for (const Case& c : cases) {
    Bytes command = FromHex(c.hex);
    const uint32_t sLen = c.sLen < 0 ? static_cast<uint32_t>(command.size()) : static_cast<uint32_t>(c.sLen);
    command.resize(std::max<size_t>(sLen, 1), 0);
    const RouteDecision d = RouteCommand(sLen, command.data());
    EXPECT_EQ(d.route, c.route) << c.hex << " " << sLen;
    EXPECT_EQ(d.error, c.error) << c.hex << " " << sLen;
  }
}

TEST(Routing, TagDataFieldsFollowPasswordAndAddressLength) {
  struct Case {
    const char* hex;
    bool write;
    int32_t pcEpc;
    uint8_t bank;
    uint32_t address;
    int32_t addressLength;
    int32_t rest;  // word count (read) or bytes to write
  };
  const Case cases[] = {
      {"0810000000070800AABB030005", false, 4, 3, 0x00, 1, 5},
      {"081000010009" "0800AABB" "02" "123456" "07", false, 4, 2, 0x123456, 3, 7},
      {"081000030009" "0800AABB" "01" "00000010" "", false, 4, 1, 0x10, 4, -1},  // no count left
      {"08100202000B" "0800AABB" "11223344" "03" "20" "01", false, 8, 3, 0x20, 1, 1},
      {"081100000009" "0800AABB" "03" "04" "BEEF" "00", true, 4, 3, 0x04, 1, 3},
      {"081100000006" "0800AABB" "03" "04", true, 4, 3, 0x04, 1, 0},
  };
  for (const Case& c : cases) {
    const Bytes command = FromHex(c.hex);
    TagDataFields f;
    const bool ok = ParseTagDataFields(command.data(), c.write, &f);
    EXPECT_EQ(ok, c.rest >= 0) << c.hex;
    if (!ok) continue;
    EXPECT_EQ(f.pcEpcLength, c.pcEpc) << c.hex;
    EXPECT_EQ(f.bank, c.bank) << c.hex;
    EXPECT_EQ(f.address, c.address) << c.hex;
    EXPECT_EQ(f.addressLength, c.addressLength) << c.hex;
    if (c.write) {
      EXPECT_EQ(f.writeLength, c.rest) << c.hex;
      EXPECT_EQ(f.writePart, command.data() + 6 + c.pcEpc + 1 + c.addressLength);
    } else {
      EXPECT_EQ(f.wordCount, c.rest) << c.hex;
    }
  }
  // A header shorter than 6 bytes reads as zeros.
  const uint8_t two[2] = {0x08, 0x10};
  const CommandHeader h = ReadHeader(2, two);
  EXPECT_EQ(h.cla, 0x08);
  EXPECT_EQ(h.ins, 0x10);
  EXPECT_EQ(h.p1 + h.p2 + h.lc, 0);
}

// ---- the recovery loop ----

struct Script {
  int sends = 0, recoveries = 0, pauses = 0;
  int flagUntilSend = 1000;     // sends from this one on leave the flag clear
  std::vector<std::pair<int32_t, uint16_t>> recoveryResults;  // then 0/0x9000
};

int32_t RunScript(Script& s, int32_t limit, bool withRecovery) {
  RwPowerOffOnRetryTotalCount() = 0;
  auto send = [&] {
    ++s.sends;
    if (s.sends < s.flagUntilSend) RwPowerOffOnRetryFlag() = 1;
    return static_cast<int32_t>(100 + s.sends);
  };
  RecoveryCall recover = [&](uint16_t* sw) {
    const size_t i = static_cast<size_t>(s.recoveries++);
    const auto r = i < s.recoveryResults.size() ? s.recoveryResults[i] : std::pair<int32_t, uint16_t>{0, 0x9000};
    *sw = r.second;
    return r.first;
  };
  return RunWithRecovery(limit, send, withRecovery ? &recover : nullptr, [&] { ++s.pauses; },
                         RecoveryLoopLines{"g_RwPowerOffOnRetryTotalCount=%d", true});
}

TEST(RunWithRecovery, BoundedRecoveriesEachFollowedByAResend) {
  {
    Script s;
    s.flagUntilSend = 1;  // never armed
    EXPECT_EQ(RunScript(s, 3, true), 101);
    EXPECT_EQ(s.sends + s.recoveries, 1);
  }
  {
    Script s;  // always armed, every recovery works: three recoveries, four sends
    EXPECT_EQ(RunScript(s, 3, true), 104);
    EXPECT_EQ(s.sends, 4);
    EXPECT_EQ(s.recoveries, 3);
    EXPECT_EQ(RwPowerOffOnRetryTotalCount(), 4);
  }
  {
    Script s;
    s.flagUntilSend = 2;  // the resend after one recovery works
    EXPECT_EQ(RunScript(s, 3, true), 102);
    EXPECT_EQ(s.recoveries, 1);
  }
  {
    Script s;  // failing recoveries pause and are tried again; the last one's result stands
    s.recoveryResults = {{-2, 0}, {-5, 0}, {-7, 0}};
    EXPECT_EQ(RunScript(s, 3, true), -7);
    EXPECT_EQ(s.sends, 1);
    EXPECT_EQ(s.pauses, 3);
  }
  {
    Script s;  // a recovery that came back with another status word is counted, not paused
    s.flagUntilSend = 2;
    s.recoveryResults = {{0, 0x6401}, {0, 0x9000}};
    EXPECT_EQ(RunScript(s, 3, true), 102);
    EXPECT_EQ(s.pauses, 0);
    EXPECT_EQ(s.recoveries, 2);
    EXPECT_EQ(RwPowerOffOnRetryTotalCount(), 2);
  }
  {
    Script s;  // limit 0, or no recovery in the build: the command's own result
    EXPECT_EQ(RunScript(s, 0, true), 101);
    EXPECT_EQ(s.recoveries, 0);
    EXPECT_EQ(RunScript(s, 3, false), 102);
    EXPECT_EQ(RwPowerOffOnRetryTotalCount(), 1);
  }
}

}  // namespace
}  // namespace zq::drv
