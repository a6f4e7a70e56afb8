// Sections: the exchange of a tag command; the reader's inventory, handle
// and session commands; the Gen2 commands; the access password sequence.
#include "driver/commands/tag_commands.h"

#include <cstring>

#include "ZELQUAR_Drv.h"
#include "driver/commands/command_encoding.h"
#include "driver/commands/exchange.h"
#include "driver/commands/process_state.h"
#include "driver/commands/response_check.h"
#include "driver/commands/tag_reply.h"
#include "driver/commands/tag_work_area.h"
#include "driver/log/output_log.h"
#include "protocol/frame.h"
#include "protocol/status_word.h"

namespace zq::drv {
namespace {

constexpr int32_t kTagCapacity = static_cast<int32_t>(kEpcReplyCapacity);

int32_t BodyLength(const uint8_t* frame) { return static_cast<int32_t>(protocol::PayloadLength(frame)); }

// The "(3)" line of a reply whose CRC-16 failed.
void LogCrcFailure(const char* name, const TagReplyCheck& check) {
  if (check.outcome != TagReplyOutcome::kCrcMismatch) return;
  OutputLog(LogLevel::kError, CurrentPort(), nullptr, 0, "★%s(3) RcvLen=%d  crc=0x%04x  crc2=0x%04x", name,
            static_cast<int>(check.receivedLength), check.computedCrc, check.receivedCrc);
}

// The received tag bits, logged before the check: the reply's last two
// bytes ahead of its status word are where its CRC-16 sits.
void LogReceived(const char* name, uint32_t words, const uint8_t* frame) {
  const int32_t n = BodyLength(frame);
  const uint8_t* body = frame + protocol::kFrameHeadLength;
  const uint8_t c1 = n >= 4 ? body[n - 4] : 0, c2 = n >= 4 ? body[n - 3] : 0;
  OutputLog(LogLevel::kStep, CurrentPort(), frame, protocol::kFrameHeadLength + n,
            "★%s wLen=0x%x RcvLen=0x%x crc2-1=0x%02x crc2-2=0x%02x,cRespData", name, words, static_cast<unsigned>(n), c1, c2);
}

// A Gen2 command whose reply is a handle (or RN16) and its CRC-16.
int32_t HandleCommand(HandlerCall& call, const char* name, const Bytes& frame, uint8_t* respData, bool killFirst) {
  const int32_t r = call.ExchangeInto(frame, kTagCapacity, respData);
  if (r != 0) return call.Fail(r, "★%s(2) FncRet = %d", name, r);
  const TagReplyCheck check = killFirst ? CheckFirstKillReply(respData) : CheckHandleReply(respData);
  LogCrcFailure(name, check);
  return call.Finish(RFRW_SUCCESS);
}

// A Gen2 command whose reply goes through the rewrite.
int32_t RewrittenCommand(HandlerCall& call, const char* name, const Bytes& frame, uint8_t words, uint8_t* respData) {
  const int32_t r = call.ExchangeInto(frame, kTagCapacity, respData);
  if (r != 0) return call.Fail(r, "★%s(2) FncRet = %d", name, r);
  LogReceived(name, words, respData);
  LogCrcFailure(name, RewriteTagReply(respData, words));
  return call.Finish(RFRW_SUCCESS);
}

}  // namespace

// ---- the reader's inventory, handle and session commands ------------------------------

int32_t Internal_EPC_SelectCMD(uint8_t memBank, uint32_t pointer, uint32_t lengthBits, const uint8_t* mask,
                               uint8_t* respData) {
  HandlerCall call("★Internal_EPC_SelectCMD  Out  Ret = %d,Data=", nullptr, nullptr);
  OutputLog(LogLevel::kStep, CurrentPort(), mask, mask ? static_cast<int32_t>((lengthBits + 7) / 8) : 0,
            "★Internal_EPC_SelectCMD Call  MemBank=0x%02x Pointer=0x%x Length=0x%x cRespData=0x%016llX,Mask=", memBank,
            pointer, lengthBits, Address(respData));
  if (lengthBits > 0 && !mask) return call.Refuse("D_Error Internal_EPC_SelectCMD(1) Length=%u", lengthBits);
  for (const Bytes& frame : SelectFrames(TagBitWriter(), memBank, pointer, lengthBits, mask)) {
    const int32_t r = call.ExchangeInto(frame, kTagCapacity, respData);
    if (r != 0) return call.Fail(r, "★Internal_EPC_SelectCMD(2) FncRet = %d", r);
    if (!FrameStartsExecuted(respData)) break;
  }
  return call.Finish(RFRW_SUCCESS);
}

int32_t Internal_EPC_SessionFlagSet(uint8_t p1, uint8_t p2, uint8_t* respData) {
  HandlerCall call("★Internal_EPC_SessionFlagSet  Out  Ret = %d,Data=", nullptr, nullptr);
  OutputLog(LogLevel::kStep, CurrentPort(), nullptr, 0, "★Internal_EPC_SessionFlagSet Call  P1=0x%02x P2=0x%02x", p1, p2);
  const uint8_t session = (p1 & 0x80) ? static_cast<uint8_t>((p2 & 0x30) >> 4) : 0;
  // The session register of the reader's inventory rounds; keep-mask FC FF
  // leaves the register's other bits alone.
  const Bytes command = SetUpCommand({0x00, 0x00, 0x00, 0x0F, 0x00, 0x00, 0x00, 0x0E, session, 0x00, 0xFC, 0xFF});
  const int32_t r = call.ExchangeInto(command, kSessionReplyCapacity, respData);
  if (r != 0) return call.Fail(r, "★Internal_EPC_SessionFlagSet(2) FncRet = %d", r);
  return call.Finish(RFRW_SUCCESS);
}

int32_t Internal_EPC_GetUIDCMD(uint8_t p2, uint8_t* respData) {
  HandlerCall call("★Internal_EPC_GetUIDCMD  Out  Ret = %d,Data=", nullptr, nullptr);
  OutputLog(LogLevel::kStep, CurrentPort(), nullptr, 0, "★Internal_EPC_GetUIDCMD Call  P2=0x%02x cRespData=0x%016llX", p2,
            Address(respData));
  const Bytes command{0x08, 0x01, static_cast<uint8_t>((p2 >> 2) & 1), static_cast<uint8_t>(p2 & 2)};
  const int32_t r = call.ExchangeInto(command, kTagCapacity, respData);
  if (r != 0) return call.Fail(r, "★Internal_EPC_GetUIDCMD(2) FncRet = %d", r);
  const int32_t n = BodyLength(respData);
  if (n < 2) return call.Fail(RFRW_ERROR_PARAMETER, "★Internal_EPC_GetUIDCMD(3) RcvLen=%d", n);
  // Four bytes are a count and a status word: no entry follows, whatever
  // the count says.
  if (n == 4) respData[3] = respData[4] = 0;
  return call.Finish(RFRW_SUCCESS);
}

int32_t Internal_EPC_GetHandleCMD(uint8_t mode, uint8_t* respData) {
  HandlerCall call("★Internal_EPC_GetHandleCMD  Out  Ret = %d,Data=", nullptr, nullptr);
  OutputLog(LogLevel::kStep, CurrentPort(), nullptr, 0, "★Internal_EPC_GetHandleCMD Call  Mode=%d cRespData=0x%016llX", mode,
            Address(respData));
  call.ShowFrame(respData);
  int32_t r = Internal_EPC_SessionFlagSet(0, 0, respData);
  if (r != 0) return call.Fail(r, "★Internal_EPC_GetHandleCMD(2) FncRet = %d", r);
  if (!FrameStartsExecuted(respData)) return call.Finish(RFRW_SUCCESS);
  r = call.ExchangeInto(Bytes{0x08, 0x02, mode, 0x00}, kTagCapacity, respData);
  if (r != 0) return call.Fail(r, "★Internal_EPC_GetHandleCMD(2) FncRet = %d", r);
  if (FrameStatusWord(respData) == protocol::kSwFailedStatus15) {
    uint8_t* body = respData + protocol::kFrameHeadLength;
    body[0] = 0x64;
    body[1] = 0x02;
    protocol::WriteFrameHead(respData[0], 2, respData);
  }
  return call.Finish(RFRW_SUCCESS);
}

// ---- the Gen2 commands ------------------------------------------------------------

int32_t Internal_EPC_RequestRNCMD(uint16_t handle, uint8_t* respData) {
  HandlerCall call("★Internal_EPC_RequestRNCMD  Out  Ret = %d,Data=", nullptr, nullptr);
  OutputLog(LogLevel::kStep, CurrentPort(), nullptr, 0, "★Internal_EPC_RequestRNCMD Call  RN=0x%04x cRespData=0x%016llX",
            handle, Address(respData));
  return HandleCommand(call, "Internal_EPC_RequestRNCMD", ReqRnFrame(TagBitWriter(), handle), respData, false);
}

int32_t Internal_EPC_AccessCMD(uint16_t coveredHalf, uint16_t handle, uint8_t* respData) {
  HandlerCall call("★Internal_EPC_AccessCMD  Out  Ret = %d,Data=", nullptr, nullptr);
  OutputLog(LogLevel::kStep, CurrentPort(), nullptr, 0,
            "★Internal_EPC_AccessCMD Call  Password=0x%04x RN=0x%04x cRespData=0x%016llX", coveredHalf, handle,
            Address(respData));
  return HandleCommand(call, "Internal_EPC_AccessCMD", AccessFrame(TagBitWriter(), coveredHalf, handle), respData, false);
}

int32_t Internal_EPC_ReadCMD(uint8_t memBank, uint32_t wordPtr, uint8_t wordCount, uint16_t handle, uint8_t* respData) {
  HandlerCall call("★Internal_EPC_ReadCMD  Out  Ret = %d,Data=", nullptr, nullptr);
  OutputLog(LogLevel::kStep, CurrentPort(), nullptr, 0,
            "★Internal_EPC_ReadCMD Call  D2=0x%02x D3=0x%x D4=0x%02x RN=0x%02x%02x cRespData=0x%016llX", memBank, wordPtr,
            wordCount, handle >> 8, handle & 0xFF, Address(respData));
  return RewrittenCommand(call, "Internal_EPC_ReadCMD", ReadFrame(TagBitWriter(), memBank, wordPtr, wordCount, handle),
                          wordCount, respData);
}

int32_t Internal_EPC_WriteCMD(uint8_t memBank, uint32_t wordPtr, uint16_t word, uint16_t handle, uint16_t rn16,
                              uint8_t* respData) {
  HandlerCall call("★Internal_EPC_WriteCMD  Out  Ret = %d,Data=", nullptr, nullptr);
  OutputLog(LogLevel::kStep, CurrentPort(), nullptr, 0,
            "★Internal_EPC_WriteCMD Call  D2=0x%02x D3=0x%x Data=0x%04x RN=0x%04x RN16=0x%04x cRespData=0x%016llX",
            memBank, wordPtr, word, handle, rn16, Address(respData));
  return RewrittenCommand(call, "Internal_EPC_WriteCMD", WriteFrame(TagBitWriter(), memBank, wordPtr, word, handle, rn16),
                          0, respData);
}

int32_t Internal_EPC_LockCMD(const uint8_t payload[3], uint16_t handle, uint8_t* respData) {
  HandlerCall call("★Internal_EPC_LockCMD  Out  Ret = %d,Data=", nullptr, nullptr);
  OutputLog(LogLevel::kStep, CurrentPort(), nullptr, 0,
            "★Internal_EPC_LockCMD Call  Payload=0x%02x%02x%02x RN=0x%04x cRespData=0x%016llX", payload[0], payload[1],
            payload[2], handle, Address(respData));
  return RewrittenCommand(call, "Internal_EPC_LockCMD", LockFrame(TagBitWriter(), payload, handle), 0, respData);
}

int32_t Internal_EPC_KillCMD(KillHalf half, uint16_t coveredHalf, uint16_t handle, uint8_t* respData) {
  HandlerCall call("★Internal_EPC_KillCMD  Out  Ret = %d,Data=", nullptr, nullptr);
  OutputLog(LogLevel::kStep, CurrentPort(), nullptr, 0,
            "★Internal_EPC_KillCMD Call  Half=%d Password=0x%04x RN=0x%04x cRespData=0x%016llX",
            half == KillHalf::kFirst ? 0 : 1, coveredHalf, handle, Address(respData));
  const Bytes frame = KillFrame(TagBitWriter(), half, coveredHalf, handle);
  if (half == KillHalf::kFirst) return HandleCommand(call, "Internal_EPC_KillCMD", frame, respData, true);
  return RewrittenCommand(call, "Internal_EPC_KillCMD", frame, 0, respData);
}

int32_t Internal_EPC_TagCommandTransmitCMD(uint16_t b12, uint16_t l1, uint16_t t1, const Gen2BitWriter& command,
                                           uint8_t* respData) {
  HandlerCall call("★Internal_EPC_TagCommandTransmitCMD  Out  Ret = %d,Data=", nullptr, nullptr);
  OutputLog(LogLevel::kStep, CurrentPort(), command.bytes().data(), static_cast<int32_t>(command.bytes().size()),
            "★Internal_EPC_TagCommandTransmitCMD Call  B12=0x%04x L1=0x%04x T1=0x%04x Le=0x%04x buf_bit=0x%04x,Data=", b12,
            l1, t1, static_cast<unsigned>(command.bit_count()), static_cast<unsigned>(command.bit_count()));
  const int32_t r = call.ExchangeInto(RawTagCommandFrame(b12, l1, command), kTagCapacity, respData);
  if (r != 0) return call.Fail(r, "★Internal_EPC_TagCommandTransmitCMD(2) FncRet = %d", r);
  return call.Finish(RFRW_SUCCESS);
}

// ---- the access password sequence -------------------------------------------------

int32_t Internal_EPC_AccessPasswordCMD(uint16_t* handle, const uint8_t password[4], int32_t mode, uint32_t flags,
                                       int32_t* length, uint8_t* out) {
  OutputLog(LogLevel::kStep, CurrentPort(), nullptr, 0,
            "★Internal_EPC_AccessPasswordCMD Call  RN=0x%02x%02x Password=0x%02x%02x%02x%02x RecvLen=0x%04x "
            "RcvData=0x%016llX Mode=%d",
            *handle >> 8, *handle & 0xFF, password[0], password[1], password[2], password[3],
            static_cast<unsigned>(*length), Address(out), mode);
  int32_t status = RFRW_SUCCESS;
  const int32_t capacity = *length;
  *length = 0;
  static constexpr uint8_t kNoPassword[4] = {0, 0, 0, 0};
  if (!(mode == 1 && std::memcmp(password, kNoPassword, 4) == 0)) {
    uint8_t* frame = EpcBuffer().data();
    const uint8_t* body = frame + protocol::kFrameHeadLength;
    // One step: the exchange, then its check; false when the sequence ends.
    auto step = [&](int32_t result) {
      if (result != 0) {
        status = result;
        return false;
      }
      int32_t iLen = 0;
      uint8_t rStatus = 0, sw1 = 0, sw2 = 0;
      const int32_t checked = CheckDspResponse(&status, &iLen, frame, kMinHandleReplyBody, &rStatus, &sw1, &sw2, nullptr);
      if (checked == kCheckPassed) return true;
      *length = capacity;
      MakeResponseReadCmd(&status, checked, rStatus, sw1, sw2, length, out, flags, 0);
      return false;
    };
    uint16_t current = *handle;
    for (int half = 0; half < 2; ++half) {
      if (!step(Internal_EPC_RequestRNCMD(current, frame))) break;
      const uint16_t rn16 = static_cast<uint16_t>((body[1] << 8) | body[2]);
      if (!step(Internal_EPC_AccessCMD(CoverCode(PasswordHalf(password, half), rn16), current, frame))) break;
      current = static_cast<uint16_t>((body[1] << 8) | body[2]);
      if (half == 1) *handle = current;
    }
  }
  if (status != 0) *length = 0;
  OutputLog(LogLevel::kStep, CurrentPort(), out, *length,
            "★Internal_EPC_AccessPasswordCMD Return iRet=0x%x  RecvLen=0x%x  OutRN=0x%04x,RData=",
            static_cast<unsigned>(status), static_cast<unsigned>(*length), *handle);
  return status;
}

}  // namespace zq::drv
