// Sections: inventory; handle acquisition; raw tag commands.
#include "driver/commands/tag_operations.h"

#include "ZELQUAR_Drv.h"
#include "driver/commands/exchange.h"
#include "driver/commands/handlers.h"
#include "driver/commands/process_state.h"
#include "driver/commands/response_check.h"
#include "driver/commands/tag_commands.h"
#include "driver/commands/tag_reply.h"
#include "driver/commands/tag_work_area.h"
#include "driver/log/output_log.h"
#include "driver/state/shared_area.h"
#include "protocol/frame.h"
#include "protocol/status_word.h"

namespace zq::drv {

namespace {

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
int32_t BodyLength(const uint8_t* frame) { return static_cast<int32_t>(protocol::PayloadLength(frame)); }

// The configured log level from which every inventory fetches the reader's log.
constexpr int32_t kInventoryReaderLogLevel = 30;

// Converts the signal strength of every entry of an inventory body with
// signal strengths (count, then PC+EPC, 2 bytes, 2 signal bytes per tag),
// as far as whole entries lie before the status word.
void ConvertInventoryRssi(uint8_t* body, int32_t n) {
  const int32_t end = n - 2;
  int32_t at = 2;
  for (uint16_t i = 0, count = Be16(body); i < count && at < end; ++i) {
    const int32_t entry = PcEpcByteLength(body[at]) + 4;
    if (at + entry > end) break;
    ConvRSSI(body + at + entry - 2);
    at += entry;
  }
}

}  // namespace

// ---- inventory ------------------------------------------------------------------

int32_t EPC_GetAllEpcCode(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData) {
  HandlerCall call("★EPC_GetAllEpcCode Return iRet = 0x%x   RecvLen = 0x%x", receiveLength, rcvData);
  OutputLog(LogLevel::kStep, CurrentPort(), nullptr, 0, "★EPC_GetAllEpcCode Call (%d)", static_cast<int>(sendLength));
  const int32_t lc = sendLength >= 6 ? Be16(command + 4) : -1;
  if (lc != 2 || !rcvData || !receiveLength) {
    return call.Refuse("★EPC_GetAllEpcCode ParamError\tRecvLen=%d  iLen=%d", call.capacity(), lc);
  }
  const uint8_t p1 = command[2], p2 = command[3];
  uint8_t* frame = EpcBuffer().data();
  int32_t status = RFRW_SUCCESS, iLen = 0;
  uint8_t rStatus = 0, sw1 = 0, sw2 = 0;
  auto check = [&] { return CheckDspResponse(&status, &iLen, frame, 2, &rStatus, &sw1, &sw2, nullptr); };
  auto statusResponse = [&](int32_t checked) {
    MakeStatusResponse(&status, checked, sw1, sw2, receiveLength, rcvData);
    return call.Finish(status);
  };

  int32_t r = RFRW_SUCCESS;
  if (!(p1 & 0x80)) {
    // A Select of length 0 flags every tag.
    if ((r = Internal_EPC_SelectCMD(kBankEpc, 0, 0, nullptr, frame)) != 0) return call.Finish(r);
    if (const int32_t checked = check(); checked != kCheckPassed) return statusResponse(checked);
  }
  if ((r = Internal_EPC_SessionFlagSet(p1, p2, frame)) != 0) return call.Finish(r);
  if (const int32_t checked = check(); checked != kCheckPassed) return statusResponse(checked);
  if ((r = Internal_EPC_GetUIDCMD(p2, frame)) != 0) return call.Finish(r);
  const int32_t checked = check();
  const int32_t n = BodyLength(frame);
  uint8_t* body = frame + protocol::kFrameHeadLength;
  if (n > 3) {
    if (call.capacity() < n) return call.Refuse("★EPC_GetAllEpcCode(4)\tRecvLen=%d  iLen=%d", call.capacity(), n);
    if (p2 & 0x02) {
      OutputLog(LogLevel::kStep, CurrentPort(), nullptr, 0, "★EPC_GetAllEpcCode EPC=%d %02x %02x", Be16(body), body[0],
                body[1]);
      if (g_RssiMode == 0) ConvertInventoryRssi(body, n);
    }
    call.Answer(body, n);
  } else {
    statusResponse(checked);
  }
  const SharedArea* area = Shared();
  if (area && area->logLevel >= kInventoryReaderLogLevel) Internal_RWGetLogCMD(1);
  return call.Finish(status);
}

// ---- handle acquisition ---------------------------------------------------------

int32_t EPC_GetHandle(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData) {
  HandlerCall call("★EPC_GetHandle Return iRet = 0x%x   RecvLen = 0x%x", receiveLength, rcvData);
  OutputLog(LogLevel::kStep, CurrentPort(), nullptr, 0,
            "★EPC_GetHandle Call  SndLen=0x%04x SndData=0x%016llX RecvLen=0x%04x RcvData=0x%016llX", sendLength,
            Address(command), static_cast<unsigned>(call.capacity()), Address(rcvData));
  if (!rcvData || !receiveLength) {
    return call.Refuse("★EPC_GetHandle RecvLen=0x%04x  RcvData=0x%016llX", static_cast<unsigned>(call.capacity()),
                       Address(rcvData));
  }
  uint8_t* frame = EpcBuffer().data();
  if (const int32_t r = Internal_EPC_GetHandleCMD(static_cast<uint8_t>((command[3] >> 2) & 1), frame); r != 0) {
    return call.Finish(r);
  }
  return call.Answer(frame + protocol::kFrameHeadLength, BodyLength(frame));
}

// ---- raw tag commands -----------------------------------------------------------

int32_t EPC_TagCommandTransmit(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData) {
  HandlerCall call("★EPC_TagCommandTransmit Return iRet = 0x%x   RecvLen = 0x%x", receiveLength, rcvData);
  OutputLog(LogLevel::kStep, CurrentPort(), nullptr, 0,
            "★EPC_TagCommandTransmit Call  SndLen=0x%04x SndData=0x%016llX RecvLen=0x%04x RcvData=0x%016llX", sendLength,
            Address(command), static_cast<unsigned>(call.capacity()), Address(rcvData));
  constexpr uint32_t kShortest = 11, kLongest = 256;
  if (sendLength < kShortest || sendLength > kLongest || !command || !receiveLength || !rcvData) {
    return call.Refuse("★EPC_TagCommandTransmit(1) SndLen=0x%04x SndData=0x%016llX RecvLen=0x%04x RcvData=0x%016llX",
                       sendLength, Address(command), static_cast<unsigned>(call.capacity()), Address(rcvData));
  }
  const uint8_t p1 = command[2];
  const uint16_t lc = Be16(command + 4), l1 = Be16(command + 6), t1 = Be16(command + 8), le = Be16(command + 10);
  const uint32_t expected = (le + 7u) / 8u + 6u;
  Gen2BitWriter& w = TagBitWriter();
  // With the driver's CRC-16 the command needs 16 bits for it to replace.
  if (lc != expected || sendLength != lc + 6u || !ComposeRawCommand(w, command + 12, le, (p1 & 0x04) != 0)) {
    return call.Refuse("★EPC_TagCommandTransmit(2) SndLen=0x%04x DataLen=0x%04x Le=0x%04x iLen=0x%04x", sendLength, lc,
                       le, expected);
  }
  uint8_t* frame = EpcBuffer().data();
  if (const int32_t r = Internal_EPC_TagCommandTransmitCMD(p1 & 0x03, l1, t1, w, frame); r != 0) return call.Finish(r);
  const int32_t n = BodyLength(frame);
  const uint8_t* body = frame + protocol::kFrameHeadLength;
  if (call.capacity() < n) return call.Refuse("★EPC_TagCommandTransmit(3) RecvLen=%d  iLen=%d", call.capacity(), n);
  if (!(p1 & 0x08)) {
    const RawReplyCheck raw = CheckRawTagReply(body, static_cast<size_t>(n), l1);
    if (raw.checked && !raw.sound) {
      OutputLog(LogLevel::kError, CurrentPort(), nullptr, 0, "★EPC_TagCommandTransmit(5) crc=0x%04x  crc2=0x%04x n",
                raw.computedCrc, raw.receivedCrc);
      static constexpr uint8_t kBadTagCrc[3] = {kRStatusTagCrc, 0x64, 0x00};
      if (call.capacity() < 3) return call.Refuse("★EPC_TagCommandTransmit(3) RecvLen=%d  iLen=%d", call.capacity(), 3);
      return call.Answer(kBadTagCrc, 3);
    }
  }
  return call.Answer(body, n);
}

}  // namespace zq::drv
