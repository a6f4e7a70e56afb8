// The reader commands the driver sends on its own behalf: RF power,
// operating mode, firmware version and the reader's log. Each hands back
// the whole response frame (or logs it).
#include "ZELQUAR_Drv.h"
#include "driver/commands/exchange.h"
#include "driver/commands/handlers.h"
#include "driver/commands/process_state.h"
#include "driver/log/output_log.h"

namespace zq::drv {

int32_t Internal_PowerCtrlCMD(int32_t powerData, uint8_t* respData) {
  HandlerCall call("★Internal_PowerCtrlCMD Out  Ret = %d,Data=", nullptr, nullptr);
  OutputLog(LogLevel::kStep, CurrentPort(), nullptr, 0, "★Internal_PowerCtrlCMD Call  PowerData = 0x%x RespData = 0x%016llX",
            static_cast<uint32_t>(powerData), Address(respData));
  if (powerData != 0 && powerData != 3) return call.Refuse("D_Error Internal_PowerCtrlCMD(1) PowerData = %d", powerData);
  if (!respData) return call.Refuse("D_Error Internal_PowerCtrlCMD(2)  (%d)", 2608);
  const int32_t r = call.ExchangeInto(PowerControlCommand(powerData), kSetUpReplyCapacity, respData);
  if (r != 0) return call.Fail(r, "D_Error Internal_PowerCtrlCMD(3) FncRet = %d", r);
  return call.Finish(RFRW_SUCCESS);
}

int32_t Internal_FarmModeCMD(uint8_t* respData) {
  HandlerCall call("★Internal_FarmModeCMD Out  Ret = %d,Data=", nullptr, nullptr);
  OutputLog(LogLevel::kStep, CurrentPort(), nullptr, 0, "★Internal_FarmModeCMD Call  RespData = 0x%016llX", Address(respData));
  if (!respData) return call.Refuse("D_Error Internal_FarmModeCMD(1)  (%d)", 2652);
  const int32_t r = call.ExchangeInto(FarmModeCommand(), kSetUpReplyCapacity, respData);
  if (r != 0) return call.Fail(r, "D_Error Internal_FarmModeCMD(2) FncRet = %d", r);
  if (!call.reply().StartsExecuted()) {
    OutputLog(LogLevel::kError, CurrentPort(), respData, call.reply().frameLength(), "D_Error Internal_FarmModeCMD Error,Data=");
    return call.Finish(RFRW_ERROR_EXCHANGE);
  }
  return call.Finish(RFRW_SUCCESS);
}

int32_t Internal_DownLoadVLCMD(uint8_t* respData) {
  HandlerCall call("★Internal_DownLoadVLCMD Out  Ret = %d,Data=", nullptr, nullptr);
  OutputLog(LogLevel::kStep, CurrentPort(), nullptr, 0, "★Internal_DownLoadVLCMD Call  RespData = 0x%016llX", Address(respData));
  if (!respData) return call.Refuse("D_Error Internal_DownLoadVLCMD(1)  (%d)", 2700);
  return call.Finish(call.ExchangeInto(FirmwareVersionCommand(), kFirmwareVersionReplyCapacity, respData));
}

int32_t Internal_RWGetLogCMD(uint8_t p2) {
  HandlerCall call("★Internal_RWGetLogCMD Out  Ret = %d,Data=", nullptr, nullptr);
  OutputLog(LogLevel::kError, CurrentPort(), nullptr, 0, "★Internal_RWGeLogCMD Call  P2=0x%02x", p2);
  const Bytes command = ReaderLogCommand(p2);
  const int32_t r = call.Exchange(command.data(), static_cast<int32_t>(command.size()), kLargeReplyCapacity);
  if (r != 0) return call.Fail(r, "Internal_RWGetLogCMD Error FncRet = %d", r);
  if (call.reply().bodyLength() > 0) {
    OutputLog(LogLevel::kError, CurrentPort(), call.reply().frame(), call.reply().frameLength(), "★DSPLogData=");
  }
  return call.Finish(RFRW_SUCCESS);
}

}  // namespace zq::drv
