// The forwarders: the application's command goes to the reader as it is
// and the reply body, whatever its status word, is the response.
#include <string>
#include <vector>

#include "ZELQUAR_Drv.h"
#include "driver/commands/exchange.h"
#include "driver/commands/handlers.h"
#include "driver/commands/process_state.h"
#include "driver/log/output_log.h"
#include "driver/state/shared_area.h"

namespace zq::drv {
namespace {

struct Forwarder {
  const char* name;
  const char* linePad;  // between the name's "(3)" and the first field
  int32_t capacity;
  // Whether a receive length of 0 is refused before anything is sent (the
  // pass-through). The others send whatever room the caller gave and
  // refuse a reply that does not fit it afterwards, with their "(3)" line.
  bool zeroLengthRefused;
};

// `lengthOk`: the handler's own length rule; `detail` its value in the (0) line.
int32_t Forward(const Forwarder& f, bool lengthOk, int32_t detail, uint32_t sendLength, const uint8_t* command,
                int32_t* receiveLength, uint8_t* rcvData, bool maskClass) {
  const std::string out = std::string("★") + f.name + " Out  Ret = %d,Data=";
  HandlerCall call(out.c_str(), receiveLength, rcvData);
  const uint32_t port = CurrentPort();
  OutputLog(LogLevel::kStep, port, command, command ? static_cast<int32_t>(sendLength) : 0,
            "★%s Call  SendLength=%d ReceiveLength=%d,Data=", f.name, static_cast<int>(sendLength),
            receiveLength ? *receiveLength : 0);
  if (!command || !lengthOk) return call.Refuse("%s(0) SendLength=%d i=%d", f.name, static_cast<int>(sendLength), detail);
  if (!receiveLength || !rcvData || (f.zeroLengthRefused && *receiveLength == 0)) {
    return call.Refuse("%s(1) ReceiveLength=%d", f.name, receiveLength ? *receiveLength : 0);
  }
  const uint8_t* bytes = command;
  std::vector<uint8_t> masked;
  if (maskClass && command[0] >= 0xC0) {
    masked.assign(command, command + sendLength);
    masked[0] &= 0x3F;
    bytes = masked.data();
  }
  if (const int32_t r = call.Exchange(bytes, static_cast<int32_t>(sendLength), f.capacity); r != 0) {
    return call.Fail(r, "%s(2) FncRet = %d", f.name, r);
  }
  const int32_t n = call.reply().bodyLength();
  if (n > call.capacity()) {
    return call.Refuse("%s(3)%s*ReceiveLength=%d  RcvLen=%d", f.name, f.linePad, call.capacity(), n);
  }
  return call.Answer(call.reply().body(), n);
}

constexpr Forwarder kSetUp{"Internal_RWSetUpCMD", "  ", kSetUpReplyCapacity, false};
constexpr Forwarder kGetInfo2{"Internal_RWGetInfo2CMD", " ", kSetUpReplyCapacity, false};
constexpr Forwarder kCarrierSense{"Internal_RWCarrierSenseCMD", " ", kSetUpReplyCapacity, false};
constexpr Forwarder kModeSetUp{"Internal_RWModeSetUpCMD", " ", kSetUpReplyCapacity, false};
constexpr Forwarder kPassThrough{"Internal_RWPassThroughCMD", " ", kLargeReplyCapacity, true};

}  // namespace

int32_t Internal_RWSetUpCMD(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData) {
  // 00 01 00 n: n data bytes follow (n read as a signed byte).
  const int32_t n = command && sendLength >= 4 ? static_cast<int8_t>(command[3]) : 0;
  return Forward(kSetUp, sendLength >= 4 && static_cast<int64_t>(sendLength) == n + 4, n, sendLength, command, receiveLength,
                 rcvData, false);
}

int32_t Internal_RWGetInfo2CMD(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData) {
  return Forward(kGetInfo2, sendLength == 8, 8, sendLength, command, receiveLength, rcvData, false);
}

int32_t Internal_RWCarrierSenseCMD(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData) {
  return Forward(kCarrierSense, sendLength == 6, 6, sendLength, command, receiveLength, rcvData, false);
}

int32_t Internal_RWModeSetUpCMD(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData) {
  return Forward(kModeSetUp, sendLength == 4, 4, sendLength, command, receiveLength, rcvData, false);
}

int32_t Internal_RWPassThroughCMD(uint32_t sendLength, const uint8_t* command, int32_t* receiveLength, uint8_t* rcvData) {
  const SharedArea* area = Shared();
  const bool passThroughMode = area && (area->dspPassThroughMode & 3) != 0;
  return Forward(kPassThrough, sendLength >= 1 && sendLength <= 1557, 1557, sendLength, command, receiveLength, rcvData,
                 !passThroughMode);
}

}  // namespace zq::drv
