// What the reader and the driver tell about themselves: the information
// block, the reader type and firmware version, the antenna level, the
// signal strength mode and conversion, and the library's file version.
//
// Sections: information; antenna level; signal strength; file version.
#include "ZELQUAR_Drv.h"
#include "driver/commands/exchange.h"
#include "driver/commands/handlers.h"
#include "driver/commands/process_state.h"
#include "driver/log/output_log.h"
#include "protocol/status_word.h"
#include "zq_version.h"

namespace zq::drv {
namespace {

constexpr uint32_t kNoPort = 0x200;

}  // namespace

// ---- information --------------------------------------------------------------

int32_t Internal_RWGetInfomationCMD(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData) {
  HandlerCall call("Internal_RWGetInfomationCMD Out Retvalue=%d  ReceiveLength=%d Data=", receiveLength, rcvData);
  const uint8_t p1 = command[2];
  OutputLog(LogLevel::kStep, CurrentPort(), nullptr, 0, "★Internal_RWGetInfomationCMD Call  SendLength=%d P1=0x%02x ReceiveLength=%d",
            static_cast<int>(sendLength), p1, call.capacity());
  auto outLengthError = [&] {
    return call.Refuse("Internal_RWGetInfomationCMD OutLength Error ReceiveLength=%d", call.capacity());
  };
  switch (p1) {
    case 0x00: {
      if (g_ReaderTypeCode == kReaderType10) break;
      const Bytes& block = InformationBlock();
      if (call.capacity() < static_cast<int32_t>(block.size())) return outLengthError();
      return call.Answer(block);
    }
    case 0x12: {
      if (call.capacity() < 3) return outLengthError();
      const uint8_t response[3] = {g_ReaderTypeCode, 0x90, 0x00};
      return call.Answer(response, 3);
    }
    case 0x16: {
      const Bytes query = FirmwareVersionCommand();
      if (const int32_t r = call.Exchange(query.data(), static_cast<int32_t>(query.size()), kFirmwareVersionReplyCapacity); r != 0) {
        return call.Fail(r, "Internal_RWGetInfomationCMD Transmit Error %d", r);
      }
      const ReaderReply& reply = call.reply();
      if (reply.bodyLength() != 4 || reply.StatusWord() != protocol::kSwSuccess) {
        const uint16_t sw = reply.StatusWord();
        return call.Fail(RFRW_ERROR_INTERNAL, "Internal_RWGetInfomationCMD Exec Error %d, RcvLen=%d, SW=%02x%02x", 0,
                         reply.bodyLength(), sw >> 8, sw & 0xFF);
      }
      if (call.capacity() < 4) return outLengthError();
      return call.Answer(reply.body(), 4);
    }
    default:
      break;
  }
  return call.Refuse("Internal_RWGetInfomationCMD P1P2 Error P1=%02x", p1);
}

// ---- antenna level ------------------------------------------------------------

int32_t ANTLevelGetCMD(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData) {
  HandlerCall call("★ANTLevelGetCMD Out  Ret = %d,Data=", receiveLength, rcvData);
  const uint8_t p1 = command[2], p2 = command[3];
  OutputLog(LogLevel::kStep, CurrentPort(), nullptr, 0, "★ANTLevelGetCMD Call  SendLength=%d P1=0x%02x P2=0x%02x ReceiveLength=%d",
            static_cast<int>(sendLength), p1, p2, call.capacity());
  if (!AntennaLevelAllowed(g_ReaderTypeCode, p1, p2) || call.capacity() < 2) return call.Refuse("ANTLevelGetCMD Param Error");

  uint8_t power[kInternalFrameSize] = {};
  if (const int32_t r = Internal_PowerCtrlCMD(0, power); r != 0) return call.Fail(r, "ANTLevelGetCMD Transmit Error %d", r);
  const bool powered = FrameStartsExecuted(power);
  if (powered) {
    const Bytes level = AntennaLevelCommand(p1, p2);
    if (const int32_t r = call.Exchange(level.data(), static_cast<int32_t>(level.size()), kAntennaReplyCapacity); r != 0) {
      return call.Fail(r, "ANTLevelGetCMD Transmit Error %d", r);
    }
    const ReaderReply& reply = call.reply();
    if (reply.bodyLength() == 5 && reply.StatusWord() == protocol::kSwSuccess) {
      if (call.capacity() < 7) return call.Refuse("ANTLevelGetCMD OutLength Error ReceiveLength=%d", call.capacity());
      const uint8_t* d = reply.body();
      const uint8_t response[7] = {0x01, 0x01, d[0], d[1], d[2], 0x90, 0x00};
      return call.Answer(response, 7);
    }
  }
  // The refusal's status word (of the power command when that was refused);
  // a reply of another shape whose status word says 90 00 is no success.
  const uint16_t sw = powered ? call.reply().StatusWord() : FrameStatusWord(power);
  OutputLog(LogLevel::kError, CurrentPort(), nullptr, 0, "ANTLevelGetCMD Exec Error RcvLen=%d SW=%02x%02x",
            powered ? call.reply().bodyLength() : 0, sw >> 8, sw & 0xFF);
  return call.AnswerStatus(RefusalWord(sw));
}

// ---- signal strength ----------------------------------------------------------

int32_t RssiModeSetCMD(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData) {
  HandlerCall call("★RssiModeSetCMD Out  Ret = %d,Data=", receiveLength, rcvData);
  const uint8_t p1 = command[2], p2 = command[3];
  OutputLog(LogLevel::kStep, CurrentPort(), nullptr, 0, "★RssiModeSetCMD Call  SendLength=%d P1=0x%02x P2=0x%02x",
            static_cast<int>(sendLength), p1, p2);
  if (p1 != 0 || p2 > 1 || call.capacity() < 2) return call.Refuse("RssiModeSetCMD Param Error");
  g_RssiMode = p2;
  return call.AnswerStatus(protocol::kSwSuccess);
}

void ConvRSSI(uint8_t* rssi) {
  OutputLog(LogLevel::kDetail, CurrentPort(), nullptr, 0, "★ConvRSSI RSSI=%02x%02x", rssi[0], rssi[1]);
  const uint16_t converted = ConvertRssi(static_cast<uint16_t>((rssi[0] << 8) | rssi[1]));
  rssi[0] = static_cast<uint8_t>(converted >> 8);
  rssi[1] = static_cast<uint8_t>(converted);
  OutputLog(LogLevel::kDetail, CurrentPort(), nullptr, 0, "★ConvRSSI RSSI=%02x%02x", rssi[0], rssi[1]);
}

// ---- file version -------------------------------------------------------------

int32_t Internal_GetFileVersionCMD(int32_t* receiveLength, uint8_t* respData) {
  const int32_t given = receiveLength ? *receiveLength : 0;
  HandlerCall call("★Internal_GetFileVersionCMD Out  Ret = %d,Data=", receiveLength, respData, kNoPort);
  OutputLog(LogLevel::kStep, kNoPort, nullptr, 0, "★Internal_GetFileVersionCMD Call  ReceiveLength=%d, cRespData=0x%016llX", given,
            Address(respData));
  if (!respData || !receiveLength || given < 8) {
    OutputLog(LogLevel::kError, kNoPort, nullptr, 0, "Internal_GetFileVersionCMD(1) *ReceiveLength=%d", given);
    return call.Finish(RFRW_ERROR_PARAMETER);
  }
  uint8_t version[8];
  FileVersionBytes(version);
  OutputLog(LogLevel::kStep, kNoPort, nullptr, 0, "sz=%d  hVersion=%d", static_cast<int>(sizeof version), 0);
  return call.Answer(version, 8);
}

void FileVersionBytes(uint8_t out[8]) {
  // The build's version is the library's file version.
  const uint16_t parts[4] = {ZQ_VERSION_MAJOR, ZQ_VERSION_MINOR, ZQ_VERSION_BUILD, ZQ_VERSION_REVISION};
  for (int i = 0; i < 4; ++i) {
    out[2 * i] = static_cast<uint8_t>(parts[i] >> 8);
    out[2 * i + 1] = static_cast<uint8_t>(parts[i] & 0xFF);
  }
}

}  // namespace zq::drv
