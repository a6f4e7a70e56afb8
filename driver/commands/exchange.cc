// Sections: the exchange; the reply; the handler call.
#include "driver/commands/exchange.h"

#include <cstdio>
#include <cstring>

#include "ZELQUAR_Drv.h"
#include "driver/commands/process_state.h"
#include "driver/link/channel.h"
#include "driver/log/output_log.h"
#include "driver/state/local_state.h"
#include "driver/state/shared_area.h"
#include "driver/transport/device.h"
#include "driver/transport/hid_binding.h"
#include "protocol/frame.h"
#include "protocol/status_word.h"

namespace zq::drv {

// ---- the exchange -----------------------------------------------------------

int32_t BuildRequestMessage(uint32_t unit, const uint8_t* command, int32_t length, int32_t timeoutMs, uint64_t portEntry,
                            uint8_t* message) {
  auto* head = HeaderOf(message);
  std::memset(head, 0, kHeaderSize);
  head->payloadLength = length + kReplyHeadLength;
  head->kind = kKindExchange;
  head->timeoutMs = timeoutMs;
  head->portEntry = portEntry;
  uint8_t* frame = message + kHeaderSize;
  protocol::WriteFrameHead(protocol::UnitAddress(unit), static_cast<size_t>(length), frame);
  std::memcpy(frame + kReplyHeadLength, command, static_cast<size_t>(length));
  return length + kReplyHeadLength + static_cast<int32_t>(kHeaderSize);
}

ReplyTaken TakeReply(const uint8_t* frame, int32_t capacity, uint8_t* out) {
  ReplyTaken taken;
  const int32_t n = static_cast<int32_t>(protocol::PayloadLength(frame));
  if (n > capacity) {
    taken.tooLong = true;
    return taken;
  }
  std::memcpy(out, frame, static_cast<size_t>(n + kReplyHeadLength));
  taken.bodyLength = n;
  uint16_t sw = 0;
  if (protocol::StatusWordOf(out + kReplyHeadLength, static_cast<size_t>(n), &sw)) {
    taken.armsRecovery = protocol::NeedsRecovery(sw);
    if (n == 2 && sw == protocol::kSwFailedStatus15 && capacity >= 3) {
      protocol::WriteFrameHead(out[0], 3, out);
      out[3] = 0x15;
      out[4] = 0x64;
      out[5] = 0x02;
      taken.bodyLength = 3;
    }
  }
  return taken;
}

namespace {

ChannelExchange g_channelExchange = &k_CM_TransmitMsg;

}  // namespace

void InstallChannelExchange(ChannelExchange exchange) { g_channelExchange = exchange ? exchange : &k_CM_TransmitMsg; }

int32_t ExchangeOnBridge(uint32_t port, uint8_t* request, int32_t requestLength, uint8_t* response, int32_t responseCapacity) {
  // Two link threads reading at once would take each other's replies: one
  // exchange at a time on the bridge, whatever the unit (the unit's API
  // mutex orders only the calls of one unit).
  const auto bridge = HoldBridge();
  const DeviceScope device(port);
  return g_channelExchange(port, request, requestLength, response, responseCapacity);
}

int32_t k_TransmitMsg(int32_t sndLen, const uint8_t* sndData, int32_t* rcvLen, uint8_t* rcvData) {
  const uint32_t port = CurrentPort();
  OutputLog(LogLevel::kStep, port, nullptr, 0, "k_TransmitMsg Call SndLen = 0x%x *RcvLen = 0x%x", static_cast<uint32_t>(sndLen),
            static_cast<uint32_t>(*rcvLen));
  if (!sndData) {
    OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error k_TransmitMsg(2)  (%d)", 2421);
    *rcvLen = 0;
    return RFRW_ERROR_PARAMETER;
  }
  // Compared unsigned: a negative length is a huge one.
  if (static_cast<uint32_t>(sndLen) > static_cast<uint32_t>(kMaxReaderCommand) || sndLen == 0) {
    OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error k_TransmitMsg(3) detail = %d", sndLen);
    *rcvLen = 0;
    return RFRW_ERROR_PARAMETER;
  }
  const uint32_t unit = port & 0xFF;
  PortEntry* entry = Shared() && unit < static_cast<uint32_t>(kUnitCount) ? &LocalPortEntry(unit) : nullptr;
  int32_t result = kLinkChannelFailed;
  if (entry && entry->requestBuffer && entry->responseBuffer) {
    const int32_t length = BuildRequestMessage(unit, sndData, sndLen, Bounded(&SharedArea::blockTimeout, 2300),
                                               reinterpret_cast<uintptr_t>(entry), entry->requestBuffer);
    result = ExchangeOnBridge(port, entry->requestBuffer, length, entry->responseBuffer,
                              static_cast<int32_t>(kResponseBufferSize));
  }
  if (result != 0) {
    RwPowerOffOnRetryFlag() = 1;
    OutputLog(LogLevel::kError, port, nullptr, 0, "k_TransmitMsg_1   set g_RwPowerOffOnRetryFlag");
    OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error k_TransmitMsg(6) detail = %d", result);
    *rcvLen = 0;
    return result;
  }
  const uint8_t* frame = entry->responseBuffer + kHeaderSize;
  const ReplyTaken taken = TakeReply(frame, *rcvLen, rcvData);
  if (taken.tooLong) {
    OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error k_TransmitMsg(4) detail1 = %d detail2 = %d", *rcvLen,
              static_cast<int>(protocol::PayloadLength(frame)));
    *rcvLen = 0;
    return RFRW_ERROR_PARAMETER;
  }
  *rcvLen = taken.bodyLength;
  if (taken.armsRecovery) {
    RwPowerOffOnRetryFlag() = 1;
    OutputLog(LogLevel::kError, port, nullptr, 0, "k_TransmitMsg   set g_RwPowerOffOnRetryFlag");
  }
  OutputLog(LogLevel::kStep, port, rcvData, *rcvLen + kReplyHeadLength, "k_TransmitMsg  Out  Data");
  OutputLog(LogLevel::kStep, port, nullptr, 0, "k_TransmitMsg Out  Ret = %d", 0);
  return RFRW_SUCCESS;
}

// ---- the reply --------------------------------------------------------------

uint16_t FrameStatusWord(const uint8_t* frame) {
  uint16_t sw = protocol::kSwGeneralFailure;
  protocol::StatusWordOf(frame + kReplyHeadLength, protocol::PayloadLength(frame), &sw);
  return sw;
}

bool FrameStartsExecuted(const uint8_t* frame) {
  return protocol::PayloadLength(frame) >= 2 && frame[3] == 0x90 && frame[4] == 0x00;
}

uint16_t RefusalWord(uint16_t sw) { return sw == protocol::kSwSuccess ? protocol::kSwGeneralFailure : sw; }

uint16_t ReaderReply::StatusWord() const {
  uint16_t sw = protocol::kSwGeneralFailure;
  protocol::StatusWordOf(body(), static_cast<size_t>(length_), &sw);
  return sw;
}

bool ReaderReply::StartsExecuted() const { return length_ >= 2 && body()[0] == 0x90 && body()[1] == 0x00; }

uint8_t* ReaderReply::Prepare(int32_t capacity) {
  frame_.assign(static_cast<size_t>(capacity + kReplyHeadLength), 0);
  length_ = 0;
  return frame_.data();
}

// ---- the handler call -------------------------------------------------------

HandlerCall::HandlerCall(const char* outFormat, int32_t* receiveLength, uint8_t* rcvData, uint32_t port)
    : port_(port),
      outFormat_(outFormat),
      receiveLength_(receiveLength),
      rcvData_(rcvData),
      capacity_(receiveLength && rcvData ? *receiveLength : 0) {}

HandlerCall::~HandlerCall() {
  if (shownFrame_) {
    // The frame as the command hands it back: a rewrite (a tag reply's
    // data, 06 64 03 after a failed CRC) has set its own length.
    const int32_t shown = result_ == 0 ? kReplyHeadLength + static_cast<int32_t>(protocol::PayloadLength(shownFrame_)) : 0;
    OutputLog(LogLevel::kStep, port_, shownFrame_, shown, outFormat_, result_, 0);
    return;
  }
  const int32_t shown = result_ == 0 ? answered_ : 0;
  OutputLog(LogLevel::kStep, port_, rcvData_, shown, outFormat_, result_, shown);
}

int32_t HandlerCall::FailV(int32_t result, const char* format, va_list args) {
  OutputLogV(LogLevel::kError, port_, nullptr, 0, format, args);
  if (receiveLength_) *receiveLength_ = 0;
  answered_ = 0;
  result_ = result;
  return result;
}

int32_t HandlerCall::Refuse(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int32_t r = FailV(RFRW_ERROR_PARAMETER, format, args);
  va_end(args);
  return r;
}

int32_t HandlerCall::Fail(int32_t result, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int32_t r = FailV(result, format, args);
  va_end(args);
  return r;
}

int32_t HandlerCall::Exchange(const uint8_t* command, int32_t length, int32_t capacity, uint8_t* frameOut) {
  uint8_t* frame = reply_.Prepare(capacity);
  int32_t got = capacity;
  const int32_t result = k_TransmitMsg(length, command, &got, frame);
  reply_.SetBodyLength(got);
  if (frameOut) std::memcpy(frameOut, frame, static_cast<size_t>(got + kReplyHeadLength));
  return result;
}

int32_t HandlerCall::Answer(const uint8_t* data, int32_t n) {
  if (!rcvData_ || !receiveLength_ || n > capacity_) {
    OutputLog(LogLevel::kError, port_, nullptr, 0, "★Response Buffer Length Error: Buffer Len=%d  Response Len=%d",
              capacity_, n);
    if (receiveLength_) *receiveLength_ = 0;
    answered_ = 0;
    return result_ = RFRW_ERROR_PARAMETER;
  }
  if (n > 0) std::memmove(rcvData_, data, static_cast<size_t>(n));
  *receiveLength_ = n;
  answered_ = n;
  return result_ = RFRW_SUCCESS;
}

int32_t HandlerCall::AnswerStatus(uint16_t sw) {
  const uint8_t bytes[2] = {static_cast<uint8_t>(sw >> 8), static_cast<uint8_t>(sw)};
  return Answer(bytes, 2);
}

int32_t HandlerCall::Finish(int32_t result) {
  answered_ = receiveLength_ && result == 0 ? *receiveLength_ : 0;
  if (receiveLength_ && result != 0) *receiveLength_ = 0;
  return result_ = result;
}

}  // namespace zq::drv
