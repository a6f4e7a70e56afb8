// The link thread.
//
// Sections: helpers; transport wrappers; replies to the API side; events;
// state handlers; repeat and resend; the thread.
#include "driver/link/link_thread.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "driver/link/link_transport.h"
#include "driver/log/output_log.h"
#include "driver/log/thread_lines.h"
#include "driver/state/local_state.h"
#include "driver/state/shared_area.h"
#include "platform/os/channel.h"
#include "platform/os/threads.h"
#include "platform/os/win32_errors.h"
#include "protocol/frame.h"

namespace zq::drv {
namespace {

constexpr int32_t kReadChunk = 60;
constexpr int32_t kDrainChunk = 16;
constexpr int kEventEnd = 0;
constexpr int kEventWrite = 1;
constexpr int kEventBytes = 2;
constexpr int kEventTimeout = 3;
constexpr int kEventNone = 99;

// ---- helpers --------------------------------------------------------------

void SetError(LinkContext& c, int32_t status, int32_t detail) {
  c.errorStatus = status;
  c.errorDetail = detail;
}

// ---- transport wrappers -----------------------------------------------------

int32_t k_L_RW_Write(LinkContext& c, const uint8_t* frame, int32_t length) {
  OutputLog(LogLevel::kCall, c.port, frame, length, "->RW");
  const int32_t result = c.io->write(*c.transport, frame, static_cast<uint32_t>(length));
  if (result != 0) {
    OutputLog(LogLevel::kError, c.port, nullptr, 0, "L_Error k_L_RW_Write(1) detail = %d  (%d)", result, 892);
    return kLinkFailed;
  }
  return 0;
}

// 0 with *count bytes (0 when none came in time), or kLinkFailed. The read
// returns early once `wanted` bytes are there, and late once they have
// stopped for a character timeout (LinkTransport::read).
int32_t k_L_RW_Read(LinkContext& c, uint8_t* buffer, int32_t maximum, int32_t waitMs, int32_t wanted, int32_t* count) {
  *count = 0;
  const uint32_t wait = waitMs < 0 ? 0 : static_cast<uint32_t>(waitMs);
  const uint32_t quiet = c.characterTimeout < 0 ? 0 : static_cast<uint32_t>(c.characterTimeout);
  const int32_t result = c.io->read(*c.transport, buffer, static_cast<uint32_t>(maximum), wait,
                                    wanted < 1 ? 1u : static_cast<uint32_t>(wanted), quiet);
  if (result > 0) {
    *count = result;
    OutputLog(LogLevel::kCall, c.port, buffer, result, "<-RW");
    return 0;
  }
  if (result == kRwTimeout || result == 0) {
    OutputLog(LogLevel::kCall, c.port, nullptr, 0, "<-RW");
    return 0;
  }
  OutputLog(LogLevel::kError, c.port, nullptr, 0, "L_Error k_L_RW_Read(1) detail = %d  (%d)", result, 930);
  return kLinkFailed;
}

// Reads and discards what still comes, logging it under `label`.
void Drain(LinkContext& c, int32_t waitMs, LogLevel level, const char* label) {
  uint8_t scrap[kDrainChunk];
  for (;;) {
    if (platform::StopRequested()) return;
    const int32_t result = c.io->read(*c.transport, scrap, kDrainChunk, static_cast<uint32_t>(waitMs), 1, 0);
    if (result <= 0) return;
    OutputLogText(level, c.port, scrap, result, label);
  }
}

// ---- replies to the API side --------------------------------------------------

int32_t k_Send_D_Level(LinkContext& c, const uint8_t* data, int32_t length, int32_t status) {
  LevelMessageHeader* h = HeaderOf(c.dSendBuffer);
  std::memset(h, 0, kHeaderSize);
  h->payloadLength = length;
  h->sequenceBit = c.sequenceBit;
  h->status = status;
  h->portEntry = reinterpret_cast<uintptr_t>(c.portEntry);
  if (length > 0) std::memcpy(c.dSendBuffer + kHeaderSize, data, static_cast<size_t>(length));
  const int32_t result = PipeWrite(c.replyPipe, c.replyEvent, c.dSendBuffer, static_cast<int32_t>(kHeaderSize) + length);
  if (result != 0) {
    OutputLog(LogLevel::kError, c.port, nullptr, 0, "L_Error k_Send_D_Level(1) detail = %d  (%d)", result, 734);
    SetError(c, kLinkChannelFailed, result);
    return kLinkChannelFailed;
  }
  return 0;
}

// ---- events -------------------------------------------------------------------

// How many bytes the next read waits for before it wakes the link: the
// frame's head (address and both length bytes) together, then all of a
// payload but its last two bytes, which are read one by one. Reports bring
// a byte or a few at a time, so a frame read byte by byte wakes this
// thread once a byte (hundreds of times for an inventory), and every
// wake-up costs the comm library's reader a system call and, where the
// other core sleeps, an interrupt to it. Near the frame's end, though, a
// thread woken for each byte stays ready and answers the last one sooner
// than one that has slept through the rest (measured: 25 us an exchange
// when the whole payload was waited for at once, and all but the last
// byte was no better than byte by byte). The first byte is waited for as
// long as the answer may take; every later one a character timeout from
// the newest.
constexpr int32_t kWaitForRestFrom = 5;
constexpr int32_t kLastBytesOneByOne = 2;

int32_t BytesToWaitFor(const LinkContext& c) {
  switch (c.state) {
    case kLinkAddress:  // fewer than the head come only when the bytes stopped
      return static_cast<int32_t>(protocol::kFrameHeadLength);
    case kLinkPayload: {
      const int32_t rest = c.recvDataLength - c.recvCompDataLength + 1;  // the check byte included
      return rest >= kWaitForRestFrom ? rest - kLastBytesOneByOne : 1;
    }
    default:
      return 1;
  }
}

int k_GetEvent(LinkContext& c) {
  if (c.state == kLinkIdle) {
    const uint32_t waited = platform::WaitForEvent(c.requestEvent, c.waitTime);
    if (waited != platform::kWaitObject0) {
      if (platform::StopRequested()) return kEventNone;
      OutputLog(LogLevel::kError, c.port, nullptr, 0, "L_Error k_GetEvent(1) detail = %d  (%d)", static_cast<int>(waited), 430);
      SetError(c, kLinkChannelFailed, static_cast<int32_t>(waited));
      return kEventNone;
    }
    int32_t length = 0;
    const int32_t read = PipeRead(c.requestPipe, c.dRecvBuffer, static_cast<int32_t>(kRequestBufferSize), &length);
    OutputLog(LogLevel::kStep, c.port, c.dRecvBuffer, read == 0 ? length : 0, "k_GetEvent FncRet = %d  (%d) WTEXT=", read, 343);
    if (read != 0) {
      OutputLog(LogLevel::kError, c.port, nullptr, 0, "L_Error k_GetEvent(2) detail = %d  (%d)", read, 435);
      SetError(c, kLinkChannelFailed, read);
      return kEventNone;
    }
    const LevelMessageHeader* h = HeaderOf(c.dRecvBuffer);
    c.repeatCount = 0;
    c.requestDataLength = h->payloadLength;
    c.answerTimeout = h->timeoutMs;
    c.sequenceBit = c.portEntry->sequenceBit;
    c.transport = c.portEntry->dataArea;
    if (h->kind == kKindExchange) {
      // A request must carry a frame head and fit the send buffer.
      if (c.requestDataLength < static_cast<int32_t>(protocol::kFrameHeadLength) ||
          c.requestDataLength > static_cast<int32_t>(kMaxRequestFrame) - 1 ||
          c.requestDataLength > length - static_cast<int32_t>(kHeaderSize)) {
        OutputLog(LogLevel::kError, c.port, nullptr, 0, "L_Error k_GetEvent(5) detail = %d  (%d)", c.requestDataLength, 442);
        SetError(c, kLinkChannelFailed, c.requestDataLength);
        return kEventNone;
      }
      return kEventWrite;
    }
    if (h->kind == kKindEnd) return kEventEnd;
    return kEventNone;
  }
  if (c.recvNowCount != 0) return kEventBytes;
  if (c.bytesStopped) {
    c.bytesStopped = false;
    if (c.recvTotal > 0) return kEventTimeout;  // the frame's bytes stopped for the whole wait
  }
  const int32_t room = static_cast<int32_t>(kMaxReplyFrame) - c.recvTotal;
  if (room <= 0) {
    // A reply longer than the receive buffer: drop it and fail the request.
    OutputLog(LogLevel::kError, c.port, nullptr, 0, "L_Error k_GetEvent(4) detail = %d  (%d)", c.recvTotal, 441);
    SetError(c, kLinkFailed, kLinkFailed);
    return kEventNone;
  }
  int32_t count = 0;
  const int32_t maximum = room < kReadChunk ? room : kReadChunk;
  const int32_t wanted = std::min(BytesToWaitFor(c), maximum);
  const int32_t read = k_L_RW_Read(c, c.rwRecvBuffer + c.recvTotal, maximum, c.waitTime, wanted, &count);
  if (read != 0) {
    OutputLog(LogLevel::kError, c.port, nullptr, 0, "L_Error k_GetEvent(3) detail = %d  (%d)", kLinkFailed, 440);
    SetError(c, kLinkFailed, kLinkFailed);
    return kEventNone;
  }
  if (count == 0) return kEventTimeout;
  c.bytesStopped = count < wanted && !platform::StopRequested();
  c.recvTotal += count;
  c.recvNowCount = count;
  OutputLog(LogLevel::kTrace, c.port, nullptr, 0, "k_GetEvent() Read: RecvSize = %d, RWRecvTotal = %d", count, c.recvTotal);
  return kEventBytes;
}

// ---- repeat and resend ----------------------------------------------------------

void k_Retry(LinkContext& c) {
  OutputLog(LogLevel::kError, c.port, nullptr, 0, "L - Retry  (%d)", c.repeatCount);
  if (c.repeatCount > 0) {
    OutputLog(LogLevel::kError, c.port, nullptr, 0, "L_Error k_Retry(1) detail  (%d)", 783);
    SetError(c, kLinkFailed, c.repeatCount);
    return;
  }
  c.io->purge(*c.transport);
  if (k_L_RW_Write(c, c.rwSendBuffer, c.requestDataLength + 1) != 0) {
    OutputLog(LogLevel::kError, c.port, nullptr, 0, "L_Error k_Retry(2) detail = %d  (%d)", kLinkFailed, 787);
    SetError(c, kLinkFailed, kLinkFailed);
    return;
  }
  c.repeatCount += 1;
  c.recvTotal = 0;
  c.recvNowCount = 0;
  c.waitTime = c.answerTimeout;
  c.state = kLinkAddress;
}

void k_ReSend(LinkContext& c) {
  Drain(c, 100, LogLevel::kDetail, "Resend0 <-RW");
  OutputLog(LogLevel::kError, c.port, nullptr, 0, "ReSend  (%d)", 810);
  if (c.repeatCount != 0) {
    OutputLog(LogLevel::kError, c.port, nullptr, 0, "L_Error k_ReSend(1)  (%d)", 836);
    SetError(c, kLinkFailed, c.repeatCount);
    return;
  }
  c.io->purge(*c.transport);
  const auto resend = protocol::ResendRequest(c.rwSendBuffer[0]);
  if (k_L_RW_Write(c, resend.data(), static_cast<int32_t>(resend.size())) != 0) {
    OutputLog(LogLevel::kError, c.port, nullptr, 0, "L_Error k_ReSend(2) detail = %d  (%d)", kLinkFailed, 840);
    SetError(c, kLinkFailed, kLinkFailed);
    return;
  }
  c.repeatCount += 1;
  c.waitTime = c.answerTimeout;
  c.recvTotal = 0;
  c.recvNowCount = 0;
  c.state = kLinkAddress;
}

// ---- state handlers ---------------------------------------------------------------

void k_WTEXT(LinkContext& c) {
  uint8_t* frame = c.dRecvBuffer + kHeaderSize;
  frame[0] = static_cast<uint8_t>(frame[0] | c.sequenceBit);
  frame[c.requestDataLength] = protocol::BlockCheck(frame, static_cast<size_t>(c.requestDataLength));
  std::memcpy(c.rwSendBuffer, frame, static_cast<size_t>(c.requestDataLength) + 1);
  if (k_L_RW_Write(c, c.rwSendBuffer, c.requestDataLength + 1) != 0) {
    OutputLog(LogLevel::kError, c.port, nullptr, 0, "L_Error k_WTEXT(1) detail = %d  (%d)", kLinkFailed, 574);
    SetError(c, kLinkFailed, kLinkFailed);
    return;
  }
  c.state = kLinkAddress;
  c.repeatCount = 0;
  c.recvTotal = 0;
  c.recvNowCount = 0;
  c.waitTime = c.answerTimeout;
}

void k_RTEXT(LinkContext& c) {
  OutputLog(LogLevel::kTrace, c.port, nullptr, 0, "k_RTEXT(): RWRecvDATLen = %d, RWRecvCompDATLen+RWRecvNowCount = %d",
            c.recvDataLength, c.recvCompDataLength + c.recvNowCount);
  const int32_t n = c.recvCompDataLength + c.recvNowCount;
  if (n < c.recvDataLength) {
    c.recvNowCount = 0;
    c.recvCompDataLength = n;
  } else if (n == c.recvDataLength) {
    c.recvNowCount = 0;
    c.recvCompDataLength = n;
    c.state = kLinkCheckByte;
  } else {
    c.recvNowCount = 1;
    c.recvCompDataLength = n - 1;
    c.state = kLinkCheckByte;
  }
  c.waitTime = c.characterTimeout;
}

void k_RBCC(LinkContext& c) {
  const uint8_t received = c.rwRecvBuffer[c.recvTotal - 1];
  const uint8_t computed = protocol::BlockCheck(c.rwRecvBuffer, static_cast<size_t>(c.recvTotal - 1));
  const uint8_t address = c.rwRecvBuffer[0];
  if (received != computed) {
    OutputLog(LogLevel::kError, c.port, nullptr, 0, "L_Error k_RBCC(2) detail = %d  detail2 = %d (%d)", received, computed, 685);
    k_ReSend(c);
  } else if (address != c.sequenceBit) {
    OutputLog(LogLevel::kError, c.port, nullptr, 0, "L_Error k_RBCC(1) detail1 = 0x%x  detail2 = %d detail3 = %d  (%d)",
              address & 0xFE, address & 1, c.sequenceBit, 679);
    k_Retry(c);
  } else if (k_Send_D_Level(c, c.rwRecvBuffer, c.recvTotal, 0) != 0) {
    // k_Send_D_Level left the pipe write's own result as the detail.
    OutputLog(LogLevel::kError, c.port, nullptr, 0, "L_Error k_RBCC(3) detail = %d  (%d)", c.errorDetail, 692);
    c.errorStatus = kLinkChannelFailed;
  } else {
    c.waitTime = -1;
    c.state = kLinkIdle;
  }
  c.recvTotal = 0;
  c.recvNowCount = 0;
}

void ConsumeOne(LinkContext& c, LinkState nextState) {
  c.recvNowCount -= 1;
  c.waitTime = c.characterTimeout;
  c.state = nextState;
}

void OnBytes(LinkContext& c) {
  switch (c.state) {
    case kLinkAddress:
      ConsumeOne(c, kLinkLengthHigh);
      break;
    case kLinkLengthHigh:
      ConsumeOne(c, kLinkLengthLow);
      break;
    case kLinkLengthLow:
      ConsumeOne(c, kLinkPayload);
      c.recvDataLength = static_cast<int32_t>(protocol::PayloadLength(c.rwRecvBuffer));
      c.recvCompDataLength = 0;
      if (protocol::kFrameOverhead + static_cast<size_t>(c.recvDataLength) > kMaxReplyFrame) {
        // Announced longer than the receive buffer: drop it and fail.
        OutputLog(LogLevel::kError, c.port, nullptr, 0, "L_Error k_GetEvent(4) detail = %d  (%d)", c.recvDataLength, 441);
        SetError(c, kLinkFailed, kLinkFailed);
      }
      break;
    case kLinkPayload:
      k_RTEXT(c);
      break;
    case kLinkCheckByte:
      k_RBCC(c);
      break;
    default:
      c.recvNowCount = 0;
      break;
  }
}

void OnTimeout(LinkContext& c) {
  if (c.state == kLinkAddress) {
    k_Retry(c);
  } else if (c.state >= kLinkLengthHigh && c.state <= kLinkCheckByte) {
    k_ReSend(c);
  }
}

void ErrorPath(LinkContext& c, int event) {
  Drain(c, 0, LogLevel::kCall, "Retry1<-RW");
  OutputLog(LogLevel::kDetail, c.port, nullptr, 0, "LevelError Event = %d Status = %d ErrorSts = %d detail = %d", event, c.state,
            c.errorStatus, c.errorDetail);
  const int32_t status = c.errorStatus;
  c.errorStatus = 0;
  k_Send_D_Level(c, nullptr, 0, status);
  c.errorStatus = 0;
  c.waitTime = -1;
  c.state = kLinkIdle;
  c.recvTotal = 0;
  c.recvNowCount = 0;
}

// ---- the thread ---------------------------------------------------------------------

void FreeContext(LinkContext* c) {
  delete[] c->rwRecvBuffer;
  delete[] c->rwSendBuffer;
  delete[] c->dRecvBuffer;
  delete[] c->dSendBuffer;
  delete c;
}

}  // namespace

void Llevel_Initialize(PortEntry& entry, LinkContext& c) {
  for (;;) {
    const long available = platform::BytesAvailable(c.requestPipe);
    OutputLog(LogLevel::kStep, entry.port, nullptr, 0, "Llevel_Initialize PipeWrite=%d (%d)", static_cast<int>(available),
              available >= 0 ? 1 : 0);
    if (available <= 0) break;
    int32_t length = 0;
    const int32_t read = PipeRead(c.requestPipe, c.dRecvBuffer, static_cast<int32_t>(kRequestBufferSize), &length);
    OutputLog(LogLevel::kStep, entry.port, c.dRecvBuffer, read == 0 ? length : 0, "Llevel_Initialize RecvSize=%d (%d) WTEXT=",
              length, read);
    if (read != 0) break;
  }
  platform::ResetEvent(c.replyEvent);
  c.state = kLinkIdle;
  c.waitTime = -1;
  c.errorStatus = 0;
}

uint32_t Llevel_Thread(void* startRecord) {
  // Copy the start record first: the next port's start may refill it as soon
  // as this thread has answered.
  const ThreadStartRecord record = *static_cast<const ThreadStartRecord*>(startRecord);
  NoteThread();
  // Microseconds of work a wake-up: a busy machine's long jobs must not
  // hold every byte of a reply back by a slice of theirs.
  platform::AskForShortTimeSlices();
  PortEntry& entry = *record.portEntry;
  const uint32_t port = entry.port;

  auto* c = new (std::nothrow) LinkContext{};
  if (c) {
    c->rwRecvBuffer = new (std::nothrow) uint8_t[kMaxReplyFrame]();
    OutputLog(LogLevel::kStep, port, nullptr, 0, "RW_RecvBuffer Alloc %x", Address32(c->rwRecvBuffer));
    c->rwSendBuffer = new (std::nothrow) uint8_t[kMaxRequestFrame]();
    OutputLog(LogLevel::kStep, port, nullptr, 0, "RW_SendBuffer Alloc %x", Address32(c->rwSendBuffer));
    c->dRecvBuffer = new (std::nothrow) uint8_t[kRequestBufferSize]();
    OutputLog(LogLevel::kStep, port, nullptr, 0, "D_RecvBuffer Alloc %x", Address32(c->dRecvBuffer));
    c->dSendBuffer = new (std::nothrow) uint8_t[kResponseBufferSize]();
    OutputLog(LogLevel::kStep, port, nullptr, 0, "D_SendBuffer Alloc %x", Address32(c->dSendBuffer));
  }
  if (!c || !c->rwRecvBuffer || !c->rwSendBuffer || !c->dRecvBuffer || !c->dSendBuffer) {
    if (c) FreeContext(c);
    OutputLog(LogLevel::kCall, port, nullptr, 0, "Level Thread Exit");
    EndThreadNote();
    LinkThreadEnded();
    return 0;
  }
  c->requestPipe = record.pipe2Read;
  c->requestEvent = record.event2;
  c->replyPipe = record.pipe1Write;
  c->replyEvent = record.event1;
  c->portEntry = &entry;
  c->port = port;
  c->transport = entry.dataArea;
  c->io = &InstalledLinkTransport();
  c->state = kLinkIdle;
  c->waitTime = -1;
  c->errorStatus = 0;
  c->characterTimeout = Bounded(&SharedArea::characterTimeout, 500);
  c->retryTimeout = Bounded(&SharedArea::retryTimeoutLink, 15000);
  OutputLog(LogLevel::kStep, port, nullptr, 0, "IniFile CharacterTimeout = %d", c->characterTimeout);
  OutputLog(LogLevel::kStep, port, nullptr, 0, "IniFile RetryTimeout = %d", c->retryTimeout);

  entry.linkContext = c;
  k_Send_D_Level(*c, nullptr, 0, 0);
  c->errorStatus = 0;

  for (;;) {
    if (platform::StopRequested()) break;
    const int event = k_GetEvent(*c);
    if (platform::StopRequested()) break;
    bool leave = false;
    switch (event) {
      case kEventWrite:
        if (c->state == kLinkIdle) k_WTEXT(*c);
        break;
      case kEventBytes:
        OnBytes(*c);
        break;
      case kEventTimeout:
        OnTimeout(*c);
        break;
      case kEventEnd:
        if (k_Send_D_Level(*c, nullptr, 0, 0) == 0) {
          leave = true;
        } else {
          OutputLog(LogLevel::kError, port, nullptr, 0, "L_Error k_END(1) detail = %d  (%d)", c->errorDetail, 462);
        }
        break;
      default:
        break;
    }
    if (leave) break;
    if (c->errorStatus != 0) ErrorPath(*c, event);
  }

  OutputLog(LogLevel::kCall, port, nullptr, 0, "Level Thread Exit");
  OutputLog(LogLevel::kCall, port, nullptr, 0, "RW_RecvBuffer free %x", Address32(c->rwRecvBuffer));
  OutputLog(LogLevel::kCall, port, nullptr, 0, "RW_SendBuffer free %x", Address32(c->rwSendBuffer));
  OutputLog(LogLevel::kCall, port, nullptr, 0, "D_RecvBuffer free %x", Address32(c->dRecvBuffer));
  OutputLog(LogLevel::kCall, port, nullptr, 0, "D_SendBuffer free %x", Address32(c->dSendBuffer));
  // The port entry is not touched on the way out: the API side cleared its
  // context when it ended the link, and a thread that outlived its stop
  // bound may find the entry another link's by now.
  FreeContext(c);
  EndThreadNote();
  LinkThreadEnded();
  return 0;
}

}  // namespace zq::drv
