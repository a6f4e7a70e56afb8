// Commands the USB bridge answers itself, through its feature reports:
// its GPIO lines and its USB serial-number string. They never reach the
// reader module.
#include "ZELQUAR_Drv.h"
#include "driver/commands/exchange.h"
#include "driver/commands/handlers.h"
#include "driver/commands/process_state.h"
#include "driver/log/output_log.h"
#include "driver/transport/bridge.h"
#include "protocol/status_word.h"

namespace zq::drv {
namespace {

constexpr int32_t kSerialAreaLength = 61;
constexpr uint32_t kSetSerialLength = 71;
constexpr int kSerialDataOffset = 10;  // after 20 30 00 01 00 41 "2354"

void CallLine(const char* name, uint32_t sendLength, const uint8_t* command, int32_t capacity) {
  OutputLog(LogLevel::kStep, CurrentPort(), nullptr, 0, "★%s Call  SendLength=%d P1=0x%02x P2=0x%02x ReceiveLength=%d", name,
            static_cast<int>(sendLength), command[2], command[3], capacity);
}

}  // namespace

int32_t Cp2110GpioRead(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData) {
  HandlerCall call("★Cp2110GpioRead Out  Ret = %d,Data=", receiveLength, rcvData);
  CallLine("Cp2110GpioRead", sendLength, command, call.capacity());
  if (call.capacity() < 4) return call.Refuse("Cp2110GpioRead Param Error");
  uint8_t high = 0, low = 0;
  if (const int32_t r = k_GPIO_Read(&high, &low); r != 0) {
    return call.Fail(RFRW_ERROR_EXCHANGE, "Cp2110GpioRead ExecError dwRet = %d", r);
  }
  const uint8_t response[4] = {high, low, 0x90, 0x00};
  return call.Answer(response, 4);
}

int32_t Cp2110GpioWrite(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData) {
  HandlerCall call("★Cp2110GpioWrite Out  Ret = %d,Data=", receiveLength, rcvData);
  CallLine("Cp2110GpioWrite", sendLength, command, call.capacity());
  const uint8_t line = command[2], on = command[3];
  if (call.capacity() < 2 || line > 15 || on > 1) return call.Refuse("Cp2110GpioWrite Param Error");
  if (const int32_t r = k_GPIO_ONOFF(line, on); r != 0) {
    return call.Fail(RFRW_ERROR_EXCHANGE, "Cp2110GpioWrite ExecError dwRet = %d", r);
  }
  return call.AnswerStatus(protocol::kSwSuccess);
}

int32_t GetCp2110SerialString(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData) {
  HandlerCall call("★GetCp2110SerialString Out  Ret = %d,Data=", receiveLength, rcvData);
  CallLine("GetCp2110SerialString", sendLength, command, call.capacity());
  if (call.capacity() < kSerialAreaLength + 2) return call.Refuse("GetCp2110SerialString Param Error");
  uint8_t response[kSerialAreaLength + 2];
  if (const int32_t r = HidGetCp2110SerialString(response); r != 0) {
    return call.Fail(RFRW_ERROR_EXCHANGE, "GetCp2110SerialString RwExecError dwRet = %d", r);
  }
  response[kSerialAreaLength] = 0x90;
  response[kSerialAreaLength + 1] = 0x00;
  return call.Answer(response, kSerialAreaLength + 2);
}

int32_t SetCp2110SerialString(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData) {
  HandlerCall call("★SetCp2110SerialString Out  Ret = %d,Data=", receiveLength, rcvData);
  CallLine("SetCp2110SerialString", sendLength, command, call.capacity());
  if (sendLength != kSetSerialLength || command[2] != 0 || command[3] != 1 || call.capacity() < 2) {
    return call.Refuse("SetCp2110SerialString Param Error");
  }
  if (const int32_t r = HidSetCp2110SerialString(command + kSerialDataOffset); r != 0) {
    return call.Fail(RFRW_ERROR_EXCHANGE, "SetCp2110SerialString RwExecError dwRet = %d", r);
  }
  return call.AnswerStatus(protocol::kSwSuccess);
}

}  // namespace zq::drv
