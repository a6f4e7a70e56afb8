#include "driver/commands/response_check.h"

#include <cstring>

#include "ZELQUAR_Drv.h"
#include "driver/commands/process_state.h"
#include "driver/log/output_log.h"
#include "protocol/frame.h"
#include "protocol/status_word.h"

namespace zq::drv {
namespace {

constexpr uint8_t kDefaultReaderStatus = 4;

int32_t Checked(int32_t result, int32_t iLen, uint8_t rStatus, uint8_t sw1, uint8_t sw2) {
  OutputLog(LogLevel::kTrace, CurrentPort(), nullptr, 0, "CheckDspResponse Return Ret=%d iLen=%d,RStatus=0x%02x,Sw1=0x%02x,Sw2=0x%02x",
            result, iLen, rStatus, sw1, sw2);
  return result;
}

// Copies `response` into `out` when it fits *length.
void Respond(int32_t* status, const uint8_t* response, int32_t n, int32_t* length, uint8_t* out) {
  if (*length < n) {
    OutputLog(LogLevel::kError, CurrentPort(), nullptr, 0, "★Response Buffer Length Error: Buffer Len=%d  Response Len=%d",
              *length, n);
    *status = RFRW_ERROR_PARAMETER;
    *length = 0;
    return;
  }
  std::memcpy(out, response, static_cast<size_t>(n));
  *length = n;
  OutputLog(LogLevel::kTrace, CurrentPort(), out, n, "★MakeResponseReadCmd return: RData=");
}

}  // namespace

int32_t CheckDspResponse(int32_t* status, int32_t* iLen, const uint8_t* reply, int32_t minLen, uint8_t* rStatus,
                         uint8_t* sw1, uint8_t* sw2, const uint8_t* expectPcEpc) {
  if (*status != 0) return kCheckNotRun;
  const int32_t n = static_cast<int32_t>(protocol::PayloadLength(reply));
  const uint8_t* body = reply + protocol::kFrameHeadLength;
  *iLen = n;
  *rStatus = kDefaultReaderStatus;
  *sw1 = n >= 2 ? body[n - 2] : 0;
  *sw2 = n >= 2 ? body[n - 1] : 0;
  const uint16_t sw = static_cast<uint16_t>((*sw1 << 8) | *sw2);
  auto failure = [&] {
    *sw1 = 0x64;
    *sw2 = 0x03;
    return Checked(kCheckFailed, *iLen, *rStatus, *sw1, *sw2);
  };
  if (n < 2 || (!protocol::IsSuccess(sw) && !protocol::IsFailure(sw) && !protocol::NeedsRecovery(sw))) return failure();
  if (protocol::NeedsRecovery(sw)) return Checked(kCheckRecovery, n, *rStatus, *sw1, *sw2);
  switch (sw) {
    case protocol::kSwFailed:
      if (body[0] >= 2 && body[0] <= 17) *rStatus = body[0];
      return failure();
    case protocol::kSwRefused:
      return Checked(kCheckRefused, n, *rStatus, *sw1, *sw2);
    case protocol::kSwFailedStatus15:
      *rStatus = 0x15;
      return Checked(kCheckStatus15, n, *rStatus, *sw1, *sw2);
    case protocol::kSwFailedWithStatus:
      *rStatus = body[0];
      return Checked(kCheckFailedWithStatus, n, *rStatus, *sw1, *sw2);
    case protocol::kSwGeneralFailure:
      return failure();
    default:
      break;
  }
  if (n < minLen) {
    *sw1 = 0x64;
    *sw2 = 0x03;
    return kCheckFailed;
  }
  if (expectPcEpc) {
    // A body too short to hold the expected bytes cannot start with them.
    const int32_t expected = PcEpcByteLength(expectPcEpc[0]);
    if (n < expected || std::memcmp(body, expectPcEpc, static_cast<size_t>(expected)) != 0) return failure();
  }
  return Checked(kCheckPassed, n, *rStatus, *sw1, *sw2);
}

void MakeResponseReadCmd(int32_t* status, int32_t checkResult, uint8_t rStatus, uint8_t sw1, uint8_t sw2, int32_t* length,
                         uint8_t* out, uint32_t flags, uint8_t extra) {
  if (checkResult == kCheckNotRun) {
    *length = 0;
    return;
  }
  uint8_t response[4];
  int32_t n = 0;
  if (checkResult < kCheckWithoutStatus) response[n++] = rStatus;
  if (flags & 1) response[n++] = extra;
  response[n++] = sw1;
  response[n++] = sw2;
  Respond(status, response, n, length, out);
}

int32_t CheckDspResponseWithPcEpc(int32_t* status, int32_t* iLen, const uint8_t* reply, const uint8_t* expectPcEpc,
                                  int32_t* length, uint8_t* out, uint32_t flags) {
  uint8_t rStatus = 0, sw1 = 0, sw2 = 0;
  const int32_t checked = CheckDspResponse(status, iLen, reply, 6, &rStatus, &sw1, &sw2, expectPcEpc);
  if (checked == kCheckPassed) return 1;
  MakeResponseReadCmd(status, checked, rStatus, sw1, sw2, length, out, flags, 0);
  return 0;
}

int32_t CheckDspResponsePlain(int32_t* status, int32_t* iLen, const uint8_t* reply, int32_t* length, uint8_t* out,
                              uint32_t flags) {
  uint8_t rStatus = 0, sw1 = 0, sw2 = 0;
  const int32_t checked = CheckDspResponse(status, iLen, reply, 2, &rStatus, &sw1, &sw2, nullptr);
  if (checked == kCheckPassed) return 1;
  MakeResponseReadCmd(status, checked, rStatus, sw1, sw2, length, out, flags, 0);
  return 0;
}

void MakeStatusResponse(int32_t* status, int32_t checkResult, uint8_t sw1, uint8_t sw2, int32_t* length, uint8_t* out) {
  if (checkResult == kCheckNotRun) {
    *length = 0;
    return;
  }
  const uint8_t response[4] = {0x00, 0x00, sw1, sw2};
  Respond(status, response, 4, length, out);
}

}  // namespace zq::drv
