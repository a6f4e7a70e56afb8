// Sections: the header; the table; the tag fields; running a route.
#include "driver/commands/routing.h"

#include "ZELQUAR_Drv.h"
#include "driver/commands/handlers.h"
#include "driver/commands/process_state.h"
#include "driver/commands/response_check.h"
#include "driver/commands/tag_operations.h"
#include "driver/log/output_log.h"

namespace zq::drv {

// ---- the header ---------------------------------------------------------------

CommandHeader ReadHeader(uint32_t sLen, const uint8_t* c) {
  CommandHeader h;
  auto at = [&](uint32_t i) -> uint8_t { return i < sLen ? c[i] : 0; };
  h.cla = at(0);
  h.ins = at(1);
  h.p1 = at(2);
  h.p2 = at(3);
  h.lcHigh = at(4);
  h.lcLow = at(5);
  h.lc = static_cast<uint16_t>((h.lcHigh << 8) | h.lcLow);
  return h;
}

// ---- the table ----------------------------------------------------------------

namespace {

constexpr RouteDecision Take(Route r) { return {r, 0}; }
constexpr RouteDecision Error(int e) { return {Route::kError, e}; }

RouteDecision ByLc(uint32_t sLen, const CommandHeader& h, Route r) {
  return sLen == static_cast<uint32_t>(h.lc) + 6 ? Take(r) : Error(kRouteErrorLc);
}

RouteDecision TagData(uint32_t sLen, const uint8_t* c, const CommandHeader& h, Route r) {
  const RouteDecision d = ByLc(sLen, h, r);
  if (d.route == Route::kError) return d;
  TagDataFields fields;
  return ParseTagDataFields(c, r == Route::kTagDataWrite, &fields) ? d : Error(kRouteErrorFields);
}

bool IsSerialStringWrite(uint32_t sLen, const uint8_t* c) {
  static constexpr uint8_t kMarker[6] = {0x00, 0x41, 0x32, 0x33, 0x35, 0x34};  // Lc 0x41, then "2354"
  if (sLen != 71) return false;
  for (int i = 0; i < 6; ++i) {
    if (c[4 + i] != kMarker[i]) return false;
  }
  return true;
}

RouteDecision RouteClass00(uint32_t sLen, const CommandHeader& h) {
  switch (h.ins) {
    case 0x01: if (h.p1 == 0x00 && sLen > 4) return Take(Route::kSetUp); break;
    case 0x02: if (h.p1 == 0x00 && h.p2 == 0x04) return Take(Route::kGetInfo2); break;
    case 0x05: if (h.p2 == 0x00 && sLen == 4) return Take(Route::kGetInformation); break;
    case 0x17: if (h.p2 == 0x00) return Take(Route::kNothing); break;
    case 0x18: if (h.p2 == 0x00 && sLen == 4) return Take(Route::kPowerLevelSet); break;
    case 0x30: return ByLc(sLen, h, Route::kSndRcvModeSet);
    case 0x42: if (h.p1 == 0x00 && h.p2 == 0x00) return Take(Route::kCarrierSense); break;
    default: break;
  }
  return Error(kRouteErrorNoRow);
}

RouteDecision RouteClass08(uint32_t sLen, const uint8_t* c, const CommandHeader& h) {
  switch (h.ins) {
    case 0x01:
      if (h.lc == 0x0002) return sLen == 8 ? Take(Route::kGetAllEpcCode) : Error(kRouteErrorGetAllEpcLength);
      break;
    case 0x02:
      if (h.p1 == 0x00) return sLen == 4 ? Take(Route::kGetHandle) : Error(kRouteErrorGetHandleLength);
      break;
    case 0x03: if (h.p2 == 0x00) return Take(Route::kTagCommand); break;
    case 0x10: return TagData(sLen, c, h, Route::kTagDataRead);
    case 0x11: return TagData(sLen, c, h, Route::kTagDataWrite);
    case 0x12: if (h.p1 == 0x00 && h.p2 == 0x00) return ByLc(sLen, h, Route::kTagLock); break;
    case 0x13: if (h.p1 == 0x00 && h.p2 == 0x00) return ByLc(sLen, h, Route::kTagKill); break;
    default: break;
  }
  return Error(kRouteErrorNoRow);
}

RouteDecision RouteClass20(uint32_t sLen, const uint8_t* c, const CommandHeader& h) {
  const bool bare = sLen == 4;
  switch (h.ins) {
    case 0x10: if (bare) return Take(Route::kAntLevelGet); break;
    case 0x20: if (bare) return Take(Route::kRssiModeSet); break;
    case 0x30:
      if (h.p1 == 0x00 && h.p2 == 0x00 && bare) return Take(Route::kGetSerialString);
      if (h.p1 == 0x00 && h.p2 == 0x01 && IsSerialStringWrite(sLen, c)) return Take(Route::kSetSerialString);
      break;
    case 0x40: if (h.p1 == 0x00 && h.p2 == 0x00 && bare) return Take(Route::kGpioRead); break;
    case 0x41: if (bare) return Take(Route::kGpioWrite); break;
    default: break;
  }
  return Error(kRouteErrorNoRow);
}

}  // namespace

RouteDecision RouteCommand(uint32_t sLen, const uint8_t* c) {
  const CommandHeader h = ReadHeader(sLen, c);
  switch (h.cla) {
    case 0x00: return RouteClass00(sLen, h);
    case 0x03: return h.ins == 0xFF && h.p1 == 0x00 && h.p2 == 0x00 ? Take(Route::kModeSetUp) : Error(kRouteErrorNoRow);
    case 0x08: return RouteClass08(sLen, c, h);
    case 0x20: return RouteClass20(sLen, c, h);
    default: return h.cla >= 0xC0 ? Take(Route::kPassThrough) : Error(kRouteErrorNoRow);
  }
}

// ---- the tag fields -----------------------------------------------------------

bool ParseTagDataFields(const uint8_t* c, bool write, TagDataFields* f) {
  f->p1 = c[2];
  f->p2 = c[3];
  f->lc = static_cast<uint16_t>((c[4] << 8) | c[5]);
  f->data = c + 6;
  const int32_t lc = f->lc;
  if (lc < 1) return false;
  int32_t e = PcEpcByteLength(f->data[0]);
  if (f->p1 & 0x02) e += 4;  // the access password follows
  f->pcEpcLength = e;
  switch (f->p2 & 3) {
    case 1: f->addressLength = 3; break;
    case 3: f->addressLength = 4; break;
    default: f->addressLength = 1; break;
  }
  const int32_t next = e + 1 + f->addressLength;  // the count or the write part
  if (next + (write ? 0 : 1) > lc) return false;
  f->bank = f->data[e];
  f->address = 0;
  for (int32_t i = 0; i < f->addressLength; ++i) f->address = (f->address << 8) | f->data[e + 1 + i];
  if (write) {
    f->writePart = f->data + next;
    f->writeLength = lc - next;
  } else {
    f->wordCount = f->data[next];
  }
  return true;
}

// ---- running a route ----------------------------------------------------------

namespace {

}  // namespace

int32_t RunRoute(const RouteDecision& d, uint32_t sLen, const uint8_t* c, int32_t* rcvLen, uint8_t* rcvData) {
  TagDataFields f;
  switch (d.route) {
    case Route::kSetUp: return Internal_RWSetUpCMD(sLen, c, rcvLen, rcvData);
    case Route::kGetInfo2: return Internal_RWGetInfo2CMD(sLen, c, rcvLen, rcvData);
    case Route::kGetInformation: return Internal_RWGetInfomationCMD(sLen, c, rcvLen, rcvData);
    case Route::kNothing: return RFRW_SUCCESS;
    case Route::kPowerLevelSet: return Internal_PowerLevelSetCMD(c[2], rcvLen, rcvData);
    case Route::kSndRcvModeSet: return SndRcvModeSetCMD(sLen, c, rcvLen, rcvData);
    case Route::kCarrierSense: return Internal_RWCarrierSenseCMD(sLen, c, rcvLen, rcvData);
    case Route::kModeSetUp: return Internal_RWModeSetUpCMD(sLen, c, rcvLen, rcvData);
    case Route::kGetAllEpcCode: return EPC_GetAllEpcCode(sLen, c, rcvLen, rcvData);
    case Route::kGetHandle: return EPC_GetHandle(sLen, c, rcvLen, rcvData);
    case Route::kTagCommand: return EPC_TagCommandTransmit(sLen, c, rcvLen, rcvData);
    case Route::kTagDataRead:
      ParseTagDataFields(c, false, &f);
      return EPC_TagDataRead(f.lc, f.p1, f.p2, f.data, f.bank, f.address, f.wordCount, rcvLen, rcvData);
    case Route::kTagDataWrite:
      ParseTagDataFields(c, true, &f);
      return EPC_TagDataWrite(f.lc, f.p1, f.p2, f.data, f.bank, f.address, f.writePart, rcvLen, rcvData);
    case Route::kTagLock: return EPC_TagLock(sLen - 2, c + 2, rcvLen, rcvData);
    case Route::kTagKill: return EPC_TagKill(sLen - 2, c + 2, rcvLen, rcvData);
    case Route::kAntLevelGet: return ANTLevelGetCMD(sLen, c, rcvLen, rcvData);
    case Route::kRssiModeSet: return RssiModeSetCMD(sLen, c, rcvLen, rcvData);
    case Route::kGetSerialString: return GetCp2110SerialString(sLen, c, rcvLen, rcvData);
    case Route::kSetSerialString: return SetCp2110SerialString(sLen, c, rcvLen, rcvData);
    case Route::kGpioRead: return Cp2110GpioRead(sLen, c, rcvLen, rcvData);
    case Route::kGpioWrite: return Cp2110GpioWrite(sLen, c, rcvLen, rcvData);
    case Route::kPassThrough: return Internal_RWPassThroughCMD(sLen, c, rcvLen, rcvData);
    case Route::kError: break;
  }
  *rcvLen = 0;
  return RFRW_ERROR_PARAMETER;
}

}  // namespace zq::drv
