// The D level of the channel.
//
// Sections: pipe framing; send and receive; the exchange; response frames;
// start and end of the link thread.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "driver/link/channel.h"
#include "driver/link/link_thread.h"
#include "driver/locks/locks.h"
#include "driver/log/output_log.h"
#include "driver/state/local_state.h"
#include "driver/state/shared_area.h"
#include "platform/os/channel.h"
#include "platform/os/clock.h"
#include "platform/os/threads.h"
#include "platform/os/win32_errors.h"
#include "protocol/frame.h"

namespace zq::drv {
namespace {

// The longest message written to a pipe in one piece, its head included:
// the size a pipe writes atomically on Linux (PIPE_BUF).
constexpr uint32_t kOneWriteMax = 4096;

template <typename T>
T* As(uintptr_t handle) {
  return reinterpret_cast<T*>(handle);
}
uintptr_t Handle(const void* p) { return reinterpret_cast<uintptr_t>(p); }

int32_t RetryTimeoutMs() {
  return Bounded(&SharedArea::retryTimeoutApi, 15000);
}

// The one start record of the process, filled under the port-list mutex.
ThreadStartRecord g_startRecord;

// Constant-initialised: the detach code reads it after C++ destructors ran.
std::atomic<int> g_linkThreadsRunning{0};

}  // namespace

int LinkThreadsRunning() { return g_linkThreadsRunning.load(); }
void LinkThreadEnded() { g_linkThreadsRunning.fetch_sub(1); }

// ---- pipe framing -----------------------------------------------------------

int32_t PipeWrite(platform::PipeEnd* pipe, platform::Event* event, const uint8_t* message, int32_t length) {
  if (!pipe || !message || length <= 0) return kPipeBadArgument;
  const uint32_t count = static_cast<uint32_t>(length);
  const uint8_t head[4] = {static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8),
                           static_cast<uint8_t>(count >> 16), static_cast<uint8_t>(count >> 24)};
  // A message that fits the pipe's atomic size goes in one write with its
  // head: a system call less on every request and every reply.
  if (count <= kOneWriteMax - 4) {
    uint8_t whole[kOneWriteMax];
    std::memcpy(whole, head, 4);
    std::memcpy(whole + 4, message, count);
    if (!platform::WriteWhole(pipe, whole, 4 + count)) return kPipeIoFailed;
  } else if (!platform::WriteWhole(pipe, head, 4) || !platform::WriteWhole(pipe, message, count)) {
    return kPipeIoFailed;
  }
  platform::SetEvent(event);
  return 0;
}

int32_t PipeRead(platform::PipeEnd* pipe, uint8_t* buffer, int32_t capacity, int32_t* length) {
  if (!pipe || !buffer || capacity <= 0 || !length) return kPipeBadArgument;
  uint8_t head[4];
  if (!platform::ReadWhole(pipe, head, 4)) return kPipeIoFailed;
  const uint32_t count = head[0] | (head[1] << 8) | (head[2] << 16) | (static_cast<uint32_t>(head[3]) << 24);
  if (count > static_cast<uint32_t>(capacity)) return kPipeTooLarge;
  if (!platform::ReadWhole(pipe, buffer, count)) return kPipeIoFailed;
  *length = static_cast<int32_t>(count);
  return 0;
}

// ---- send and receive -------------------------------------------------------

int32_t k_CM_SendMsg(uint32_t port, platform::PipeEnd* pipe2Write, platform::Event* event2, const uint8_t* message,
                     int32_t length) {
  OutputLog(LogLevel::kStep, port, message, length > 0 ? length : 0, "D -> L");
  const int32_t result = PipeWrite(pipe2Write, event2, message, length);
  if (result != 0) {
    OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error k_CM_SendMsg(1) detail = %d  (%d)", result, 1365);
    return result;
  }
  return 0;
}

int32_t k_CM_RecvMsg(uint32_t port, platform::PipeEnd* pipe1Read, uint8_t* buffer, int32_t capacity, int32_t* length) {
  const int32_t result = PipeRead(pipe1Read, buffer, capacity, length);
  if (result != 0) {
    OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error k_CM_RecvMsg(1) detail = %d  (%d)", result, 1389);
    return result;
  }
  OutputLog(LogLevel::kStep, port, buffer, *length, "D <- L");
  return 0;
}

// ---- the exchange -----------------------------------------------------------

int64_t ResponseWaitMs(int32_t timeoutMs, int32_t retryTimeoutMs) {
  int64_t t = 2 * static_cast<int64_t>(timeoutMs);
  if (t < retryTimeoutMs) t = retryTimeoutMs;
  // The wait is handed on as a signed 32-bit count of milliseconds, where a
  // negative value means "without limit": a huge BlockTimeout must not wrap
  // into one. About 24.8 days is the longest wait.
  const int64_t wait = t + 120000;
  if (wait > INT32_MAX) return INT32_MAX;
  return wait < 0 ? 0 : wait;
}

int32_t k_CM_TransmitMsg(uint32_t port, uint8_t* request, int32_t requestLength, uint8_t* response,
                         int32_t responseCapacity) {
  OutputLog(LogLevel::kStep, port, nullptr, 0, "k_CM_TransmitMsg Call");
  const uint32_t started = platform::TickCount();
  LevelMessageHeader* req = HeaderOf(request);
  PortEntry& entry = *reinterpret_cast<PortEntry*>(static_cast<uintptr_t>(req->portEntry));
  auto* pipe2 = As<platform::PipeEnd>(entry.dPipe2Write);
  auto* event2 = As<platform::Event>(entry.dEvent2);
  auto* pipe1 = As<platform::PipeEnd>(entry.dPipe1Read);
  auto* event1 = As<platform::Event>(entry.dEvent1);
  const int32_t retryTimeout = RetryTimeoutMs();

  auto send = [&]() -> bool {
    entry.sequenceBit ^= 1;
    req->sequenceBit = entry.sequenceBit;
    const int32_t sent = k_CM_SendMsg(port, pipe2, event2, request, requestLength);
    if (sent != 0) OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error k_CM_TransmitMsg(1) detail = %d  (%d)", sent, 1320);
    return sent == 0;
  };
  if (!send()) return kLinkChannelFailed;
  for (;;) {
    const int64_t wait = ResponseWaitMs(req->timeoutMs, retryTimeout);
    OutputLog(LogLevel::kStep, port, nullptr, 0, "k_CM_TransmitMsg2 Timeout=(%d)", static_cast<int>(wait - 120000));
    // Wait for a response in the pipe. The event tells that one was written,
    // but one signal may stand for two messages (an auto-reset event does
    // not count), so the pipe itself is asked first.
    const uint32_t waitStart = platform::TickCount();
    bool timedOut = false;
    while (platform::BytesAvailable(pipe1) <= 0) {
      const int64_t spent = platform::TickCount() - waitStart;
      if (spent >= wait || platform::WaitForEvent(event1, static_cast<int32_t>(wait - spent)) != platform::kWaitObject0) {
        timedOut = true;
        break;
      }
    }
    if (timedOut) {
      OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error k_CM_TransmitMsg(4) (%d)", 1328);
      return kLinkChannelFailed;
    }
    int32_t length = 0;
    const int32_t received = k_CM_RecvMsg(port, pipe1, response, responseCapacity, &length);
    if (received != 0) {
      OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error k_CM_TransmitMsg(2) detail = %d  (%d)", received, 1324);
      return kLinkChannelFailed;
    }
    const LevelMessageHeader* resp = HeaderOf(response);
    if (resp->status == 0) {
      if (resp->sequenceBit == req->sequenceBit) return 0;
      // The answer to an earlier request that nobody collected. Ours is
      // still on its way: skip this one and wait for the next. (Sending the
      // request again would put one more answer behind every answer read,
      // and the two would never line up again.)
      OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error k_CM_TransmitMsg(6) detail1 = %d detail2 = %d  (%d)", req->sequenceBit,
                resp->sequenceBit, 1310);
      continue;
    }
    if (resp->status == kLinkFailed) {
      // Compared as signed numbers: a negative window (an INI value is not
      // range-checked) has always passed, so it ends the call rather than
      // resending for ever.
      const int64_t elapsed = static_cast<uint32_t>(platform::TickCount() - started);
      if (elapsed > static_cast<int64_t>(retryTimeout)) {
        OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error k_CM_TransmitMsg(6) detail = %d  (%d)", resp->status, 1339);
        return kLinkFailed;
      }
      OutputLog(LogLevel::kError, port, nullptr, 0, " D - Retry  (%d)", 1276);
      platform::SleepMilliseconds(50);
      if (!send()) return kLinkChannelFailed;
      continue;
    }
    OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error k_CM_TransmitMsg(5) detail = %d  (%d)", resp->status, 1332);
    return resp->status;
  }
}

// ---- response frames --------------------------------------------------------

int32_t k_MakeRecvDat(uint32_t port, const uint8_t* frame, uint16_t* statusWord, int32_t* dataLength, uint8_t* data) {
  const int32_t bodyLength = static_cast<int32_t>(protocol::PayloadLength(frame));
  const uint8_t* body = frame + protocol::kFrameHeadLength;
  // Frame bytes L+1 and L+2 are the last two body bytes; in a body shorter
  // than two bytes they reach back into the length field, and the caller's
  // preset word is overwritten all the same, never kept as if it were the
  // reader's answer.
  if (statusWord) *statusWord = static_cast<uint16_t>((frame[bodyLength + 1] << 8) | frame[bodyLength + 2]);
  if (dataLength) {
    if (*dataLength < bodyLength - 2) {
      OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error k_MakeRecvDat(1) detail1 = %d detail2 = %d  (%d)", *dataLength,
                bodyLength, 1212);
      return kLinkChannelFailed;
    }
    const int32_t n = bodyLength - 2 > 0 ? bodyLength - 2 : 0;
    if (data && n > 0) std::memcpy(data, body, static_cast<size_t>(n));
    *dataLength = n;
  }
  return 0;
}

// ---- start and end of the link thread ---------------------------------------

void k_ForcedClose(PortEntry& entry) {
  if (entry.dPipe1Read) {
    OutputLog(LogLevel::kCall, entry.port, nullptr, 0, "Close Pipe1 ReadHandle=%x WriteHandle=%x Event=%x",
              platform::PipeHandleValue(As<platform::PipeEnd>(entry.dPipe1Read)),
              platform::PipeHandleValue(As<platform::PipeEnd>(entry.lPipe1Write)),
              platform::EventHandleValue(As<platform::Event>(entry.dEvent1)));
  }
  if (entry.dPipe2Write) {
    OutputLog(LogLevel::kCall, entry.port, nullptr, 0, "Close Pipe2 ReadHandle=%x WriteHandle=%x Event=%x",
              platform::PipeHandleValue(As<platform::PipeEnd>(entry.lPipe2Read)),
              platform::PipeHandleValue(As<platform::PipeEnd>(entry.dPipe2Write)),
              platform::EventHandleValue(As<platform::Event>(entry.dEvent2)));
  }
  if (entry.linkThread) {
    auto* thread = As<platform::Thread>(entry.linkThread);
    OutputLog(LogLevel::kCall, entry.port, nullptr, 0, "Llevel Thread Terminate %x", platform::ThreadHandleValue(thread));
    // The thread is asked to stop and given time to leave its waits; its
    // context and buffers are its own and it frees them on the way out.
    const bool ended = platform::StopThread(thread, 3000);
    platform::CloseThread(thread);
    entry.linkThread = 0;
    entry.linkContext = nullptr;
    if (!ended) {
      // It still runs, past its bound: the pipes and events it may touch are
      // left to it (never closed), its own record and context are its own,
      // and the process keeps the shared records mapped while it runs
      // (LinkThreadsRunning). The entry forgets them all; they are held
      // here, never freed, so they stay reachable while it may use them.
      static auto* leftToThreads = new std::vector<uintptr_t>;
      leftToThreads->insert(leftToThreads->end(), {entry.dPipe1Read, entry.lPipe1Write, entry.lPipe2Read,
                                                   entry.dPipe2Write, entry.dEvent1, entry.dEvent2});
      entry.dPipe1Read = entry.dPipe2Write = entry.dEvent1 = entry.dEvent2 = 0;
      entry.lPipe1Write = entry.lPipe2Read = entry.lEvent1 = entry.lEvent2 = 0;
      return;
    }
  }
  // With the thread gone, the API side closes both pipes and both events.
  platform::ClosePipeEnd(As<platform::PipeEnd>(entry.dPipe1Read));
  platform::ClosePipeEnd(As<platform::PipeEnd>(entry.lPipe1Write));
  platform::ClosePipeEnd(As<platform::PipeEnd>(entry.lPipe2Read));
  platform::ClosePipeEnd(As<platform::PipeEnd>(entry.dPipe2Write));
  platform::CloseEvent(As<platform::Event>(entry.dEvent1));
  platform::CloseEvent(As<platform::Event>(entry.dEvent2));
  entry.dPipe1Read = entry.dPipe2Write = entry.dEvent1 = entry.dEvent2 = 0;
  entry.lPipe1Write = entry.lPipe2Read = entry.lEvent1 = entry.lEvent2 = 0;
}

void FreeLinkBuffers(PortEntry& entry) {
  delete[] entry.requestBuffer;
  delete[] entry.responseBuffer;
  entry.requestBuffer = nullptr;
  entry.responseBuffer = nullptr;
}

namespace {

// One direction of the channel: a pipe and the auto-reset event that tells
// its reader a message is there. False when either cannot be made (what was
// made is still returned, for the forced close to release).
bool MakeDirection(uint32_t port, const char* line, platform::PipeEnd** readEnd, platform::PipeEnd** writeEnd,
                   platform::Event** event) {
  if (!platform::CreatePipe(kPipeCapacity, readEnd, writeEnd)) return false;
  *event = platform::CreateEvent(false, false);
  OutputLog(LogLevel::kDetail, port, nullptr, 0, line, platform::PipeHandleValue(*readEnd), platform::PipeHandleValue(*writeEnd),
            platform::EventHandleValue(*event));
  return *event != nullptr;
}

// Creates the channel and the thread: 0 or one of these (logged as the
// failure's detail).
constexpr int32_t kNoProcedure = -1;
constexpr int32_t kNoChannelObjects = -2;  // a pipe or an event could not be made
constexpr int32_t kNoThread = -3;

int32_t CreateChannel(PortEntry& entry, LinkThreadProc procedure) {
  if (!procedure) return kNoProcedure;
  platform::PipeEnd *p1r = nullptr, *p1w = nullptr, *p2r = nullptr, *p2w = nullptr;
  platform::Event *e1 = nullptr, *e2 = nullptr;
  const bool made1 = MakeDirection(entry.port, "Create Pipe1 ReadHandle=%x WriteHandle=%x Event=%x", &p1r, &p1w, &e1);
  entry.dPipe1Read = Handle(p1r);
  entry.lPipe1Write = Handle(p1w);
  entry.dEvent1 = entry.lEvent1 = Handle(e1);
  if (!made1) return kNoChannelObjects;
  const bool made2 = MakeDirection(entry.port, "Create Pipe2 ReadHandle=%x WriteHandle=%x Event=%x", &p2r, &p2w, &e2);
  entry.lPipe2Read = Handle(p2r);
  entry.dPipe2Write = Handle(p2w);
  entry.dEvent2 = entry.lEvent2 = Handle(e2);
  if (!made2) return kNoChannelObjects;
  g_startRecord = ThreadStartRecord{nullptr, p1w, p2r, e1, e2, &entry};
  g_linkThreadsRunning.fetch_add(1);
  platform::Thread* thread = platform::StartThread([procedure] { return procedure(&g_startRecord); });
  if (!thread) {
    LinkThreadEnded();
    return kNoThread;
  }
  entry.linkThread = Handle(thread);
  OutputLog(LogLevel::kError, entry.port, nullptr, 0, "Llevel Thread Create %x", platform::ThreadHandleValue(thread));
  return 0;
}

}  // namespace

int32_t k_L_Level_Init(uint32_t port, LinkThreadProc procedure, PortEntry& entry) {
  entry.port = port;
  OutputLog(LogLevel::kStep, port, nullptr, 0, "k_L_Level_Init Hd=0x%x", static_cast<uint32_t>(Handle(&entry)));
  MutexHandle list = k_RFRW_SetMutexList(port);
  int32_t result = 0;
  entry.requestBuffer = new (std::nothrow) uint8_t[kRequestBufferSize]();
  entry.responseBuffer = new (std::nothrow) uint8_t[kResponseBufferSize]();
  if (!entry.requestBuffer || !entry.responseBuffer) {
    OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error k_L_Level_Init(0) (%d)", 1612);
    FreeLinkBuffers(entry);
    k_RFRW_ReleaseMutexList(port, list);
    return kLinkChannelFailed;
  }
  if (const int32_t created = CreateChannel(entry, procedure); created != 0) {
    OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error k_L_Level_Init(1) detail = %d  (%d)", created, 1616);
    result = kLinkChannelFailed;
  } else if (platform::WaitForEvent(As<platform::Event>(entry.dEvent1), 5000) != platform::kWaitObject0) {
    OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error k_L_Level_Init(2) detail = %d  (%d)", 1, 1620);
    result = kLinkChannelFailed;
  } else {
    int32_t length = 0;
    const int32_t read = PipeRead(As<platform::PipeEnd>(entry.dPipe1Read), entry.responseBuffer,
                                  static_cast<int32_t>(kResponseBufferSize), &length);
    if (read != 0) {
      OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error k_L_Level_Init(4) detail = %d  (%d)", read, 1624);
      result = kLinkChannelFailed;
    } else if (length != static_cast<int32_t>(kHeaderSize)) {
      OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error k_L_Level_Init(5) detail = %d  (%d)", length, 1628);
      result = kLinkChannelFailed;
    } else if (const int32_t status = HeaderOf(entry.responseBuffer)->status; status != 0) {
      OutputLog(LogLevel::kError, port, nullptr, 0, "D_Error k_L_Level_Init(6) detail = %d  (%d)", status, 1632);
      result = status;
    }
  }
  k_RFRW_ReleaseMutexList(port, list);
  if (result == 0) {
    OutputLog(LogLevel::kStep, port, nullptr, 0, "k_L_Level_Init Thread Create %x",
              platform::ThreadHandleValue(As<platform::Thread>(entry.linkThread)));
    return 0;
  }
  FreeLinkBuffers(entry);
  k_ForcedClose(entry);
  return result;
}

void k_L_Level_End(uint32_t port, PortEntry& entry) {
  MutexHandle rw = k_RFRW_SetMutexRW(port);
  if (entry.linkThread && entry.requestBuffer && entry.responseBuffer) {
    uint8_t* req = entry.requestBuffer;
    std::memset(req, 0, kHeaderSize + 7);
    LevelMessageHeader* h = HeaderOf(req);
    h->payloadLength = 7;
    h->kind = kKindEnd;
    h->timeoutMs = Bounded(&SharedArea::blockTimeout, 2300);
    h->portEntry = Handle(&entry);
    // The end request's body is 00 00 00 00 (cleared above).
    protocol::WriteFrameHead(protocol::UnitAddress(port & 0xFF), 4, req + kHeaderSize);
    if (k_CM_TransmitMsg(port, req, static_cast<int32_t>(kHeaderSize + 7), entry.responseBuffer,
                         static_cast<int32_t>(kResponseBufferSize)) == 0) {
      auto* thread = As<platform::Thread>(entry.linkThread);
      // It leaves right after acknowledging; it is waited for as long as it
      // runs, so that its buffers are freed by itself and never under it.
      for (;;) {
        uint32_t code = 0;
        const bool asked = platform::ThreadExitCode(thread, &code);
        OutputLog(LogLevel::kCall, port, nullptr, 0, "k_L_Level_End GetExitCodeThread %d Exit=%d (%d)", asked ? 1 : 0,
                  static_cast<int>(code), 1670);
        if (!asked || code != platform::kErrorStillActive) break;
        platform::SleepMilliseconds(100);
      }
      platform::CloseThread(thread);
      entry.linkThread = 0;
      entry.linkContext = nullptr;
    }
  }
  k_ForcedClose(entry);
  k_RFRW_ReleaseMutexRW(port, rw);
  if (entry.slot) entry.slot->linkRunning = 0;
  FreeLinkBuffers(entry);
}

}  // namespace zq::drv
