// The reader settings an application changes: the power level, and the
// send/receive mode with its speeds and channel mask. Both are remembered
// once the reader accepted them, for the replay after a power-off/on.
//
// Sections: power level; send/receive settings; send/receive mode.
#include <cstring>

#include "ZELQUAR_Drv.h"
#include "driver/commands/exchange.h"
#include "driver/commands/handlers.h"
#include "driver/commands/process_state.h"
#include "driver/log/output_log.h"
#include "driver/state/shared_area.h"
#include "protocol/frame.h"
#include "protocol/status_word.h"

namespace zq::drv {
namespace {

constexpr int kPowerLevelTries = 3;

}  // namespace

// ---- power level --------------------------------------------------------------

int32_t Internal_PowerLevelSetCMD(uint8_t p1, int32_t* receiveLength, uint8_t* respData) {
  HandlerCall call("★Internal_PowerLevelSetCMD Out  Ret = %d,Data=", receiveLength, respData);
  OutputLog(LogLevel::kStep, CurrentPort(), nullptr, 0,
            "★Internal_PowerLevelSetCMD Call  P1=0x%02x ReceiveLength=0x%04x cRespData=0x%016llX", p1,
            receiveLength ? static_cast<uint32_t>(*receiveLength) : 0u, Address(respData));
  if (p1 >= 64 || !receiveLength || !respData) return call.Refuse("D_Error Internal_PowerLevelSetCMD(1)");
  const Bytes command = PowerLevelCommand(p1);
  for (int attempt = 0; attempt < kPowerLevelTries; ++attempt) {
    if (const int32_t r = call.Exchange(command.data(), static_cast<int32_t>(command.size()), kPowerLevelReplyCapacity); r != 0) {
      return call.Fail(r, "D_Error Internal_PowerLevelSetCMD(2) FncRet = %d", r);
    }
    // The response is the reply's status word, so a refusal that carries
    // a reader status still reaches the application as its status word.
    const int32_t n = call.reply().bodyLength();
    if (n > call.capacity() || call.capacity() < 2) {
      return call.Refuse("D_Error Internal_PowerLevelSetCMD(3) RcvLen = %d, ReceiveLength = %d", n, call.capacity());
    }
    if (call.reply().StartsExecuted()) {
      ReaderSettings().powerLevel = p1;
      OutputLog(LogLevel::kStep, CurrentPort(), nullptr, 0, "ReaderSettingsMemory PowerLevel=%d", p1);
      return call.AnswerStatus(protocol::kSwSuccess);
    }
  }
  // Three replies that did not start 90 00: the last one's refusal.
  return call.AnswerStatus(RefusalWord(call.reply().StatusWord()));
}

// ---- send/receive settings ----------------------------------------------------

namespace {

// The three set-up exchanges; the exchange's failure, else 0 with the
// outcome in *rcvLen and rcvData (internal_SndRcvSpeed's contract).
int32_t SendSpeedSettings(uint8_t p1, uint8_t p2, uint32_t mode, uint8_t delimita, uint8_t sndSpeed, uint8_t rcvSpeed,
                          uint32_t chanel, uint8_t time, int32_t* rcvLen, uint8_t* rcvData) {
  const uint32_t port = CurrentPort();
  OutputLog(LogLevel::kStep, port, nullptr, 0,
            "★internal_SndRcvSpeed Call P1=%02x P2=%02x mode=%02x Delimita=%02x SndSpeed=%02x RcvSpeed=%02x Chanel=%08x "
            "Time=%02x",
            p1, p2, mode & 0xFF, delimita, sndSpeed, rcvSpeed, chanel, time);
  const uint8_t sendMaxTime = static_cast<uint8_t>(Bounded(&SharedArea::dspRfSendMaxTime, 3));
  const uint8_t modeByte = static_cast<uint8_t>(mode);
  const Bytes steps[3] = {SpeedWordCommand(modeByte, SpeedWord(modeByte, delimita, sndSpeed, rcvSpeed)), P1Command(p1),
                          ChannelCommand(sendMaxTime, chanel)};
  int32_t failure = 0;
  for (const Bytes& step : steps) {
    int32_t n = kSpeedReplyCapacity;
    const int32_t r = k_TransmitMsg(static_cast<int32_t>(step.size()), step.data(), &n, rcvData);
    if (r != 0) {
      OutputLog(LogLevel::kError, port, nullptr, 0, "internal_SndRcvSpeed Transmit Error %d", r);
      protocol::WriteFrameHead(0, 3, rcvData);
      rcvData[3] = static_cast<uint8_t>(r);
      rcvData[4] = 0x64;
      rcvData[5] = 0x00;
      *rcvLen = 3;
      failure = r;
      break;
    }
    *rcvLen = n;
    if (n != 2 || !FrameStartsExecuted(rcvData)) {
      const uint16_t sw = FrameStatusWord(rcvData);
      OutputLog(LogLevel::kError, port, nullptr, 0, "internal_SndRcvSpeed ExexError FncRet = %d, wkRcvLen = %d, SW=0x%02x%02x", r,
                n, sw >> 8, sw & 0xFF);
      break;
    }
  }
  OutputLog(LogLevel::kStep, port, rcvData, *rcvLen + kReplyHeadLength, "★internal_SndRcvSpeed Out Ret=%d,Data=", 0);
  return failure;
}

}  // namespace

int32_t internal_SndRcvSpeed(uint8_t p1, uint8_t p2, uint32_t mode, uint8_t delimita, uint8_t sndSpeed, uint8_t rcvSpeed,
                             uint32_t chanel, uint8_t time, int32_t* rcvLen, uint8_t* rcvData) {
  SendSpeedSettings(p1, p2, mode, delimita, sndSpeed, rcvSpeed, chanel, time, rcvLen, rcvData);
  return 0;
}

// ---- send/receive mode ----------------------------------------------------------

int32_t SndRcvModeSetCMD(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData) {
  HandlerCall call("★SndRcvModeSetCMD Out  Ret = %d,Data=", receiveLength, rcvData);
  const uint32_t port = CurrentPort();
  const int32_t lc = sendLength >= 6 ? (command[4] << 8) | command[5] : 0;
  OutputLog(LogLevel::kStep, port, command + 6, sendLength >= 6 ? lc : 0, "★SndRcvModeSetCMD Call SendLength=%d ReceiveLength=%d,Data=",
            static_cast<int>(sendLength), call.capacity());
  // The routing gives 6 + Lc bytes; the forms need Lc 5, 7 or 15.
  if (sendLength < 6 || static_cast<uint32_t>(lc) + 6 != sendLength) {
    return call.Refuse("D_Error SndRcvModeSetCMD(4) wkRcvLen = %d, ReceiveLength = %d", 0, call.capacity());
  }
  const SndRcvModeRequest req = ParseSndRcvModeRequest(g_ReaderTypeCode, command);
  if (req.verdict == SndRcvModeRequest::Verdict::kBadForm) {
    return call.Refuse("D_Error SndRcvModeSetCMD(4) wkRcvLen = %d, ReceiveLength = %d", 0, call.capacity());
  }
  if (req.lc == 5) {
    OutputLog(LogLevel::kStep, port, nullptr, 0, "P1=%02x P2=%02x D1=%02x D2=%02x D3=%02x D4=%02x D5=%02x", req.p1, req.p2, req.d1,
              req.d2, req.d3, req.d4, req.d5);
  } else {
    OutputLog(LogLevel::kStep, port, nullptr, 0, "P1=%02x P2=%02x D1=%02x D2=%02x D3=%02x D4=%02x D5=%02x D6=%08x", req.p1, req.p2,
              req.d1, req.d2, req.d3, req.d4, req.d5, req.rawMask);
  }
  if (req.verdict != SndRcvModeRequest::Verdict::kAccepted) return call.Refuse("D_Error SndRcvModeSetCMD(1)");
  if (call.capacity() < 2) return call.Refuse("D_Error SndRcvModeSetCMD(1)");

  uint8_t frame[kInternalFrameSize] = {};
  if (const int32_t r = Internal_PowerCtrlCMD(0, frame); r != 0) {
    return call.Fail(r, "D_Error SndRcvModeSetCMD(2) FncRet = %d", r);
  }
  int32_t got = static_cast<int32_t>(protocol::PayloadLength(frame));  // the power command's body
  int32_t failure = 0;
  if (FrameStartsExecuted(frame)) {
    failure = SendSpeedSettings(0, req.sendP2, 2, 0, req.sendSpeed, req.receiveSpeed, req.channelMask, 0, &got, frame);
    if (failure == 0 && got == 2 && FrameStartsExecuted(frame)) {
      ReaderSettingsMemory& s = ReaderSettings();
      s.speedP1 = 0;
      s.speedP2 = req.sendP2;
      s.delimiter = 0;
      s.sendSpeed = req.sendSpeed;
      s.receiveSpeed = req.receiveSpeed;
      s.d5Marker = req.d5;
      s.channelMask = req.channelMask;
      s.speedMode = 2;
      OutputLog(LogLevel::kStep, port, nullptr, 0,
                "ReaderSettingsMemory P1=%02x P2=%02x mode=%02x Delimita=%02x SndSpeed=%02x RcvSpeed=%02x D5=%02x Chanel=%08x",
                s.speedP1, s.speedP2, s.speedMode, s.delimiter, s.sendSpeed, s.receiveSpeed, s.d5Marker, s.channelMask);
      return call.AnswerStatus(protocol::kSwSuccess);
    }
  }
  // A refusal answers with the refusing reply's status word; an exchange
  // that failed half-way, or a reply of another shape than its step takes
  // (01 90 00 for the bare 90 00), with the general failure word.
  const uint16_t sw = failure != 0 ? protocol::kSwGeneralFailure : FrameStatusWord(frame);
  OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error SndRcvModeSetCMD(3) FncRet = %d, wkRcvLen = %d, SW=0x%02x%02x", failure, got,
            sw >> 8, sw & 0xFF);
  return call.AnswerStatus(RefusalWord(sw));
}

}  // namespace zq::drv
