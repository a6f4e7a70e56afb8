// Fuzz target: the link thread's receive state machine fed whatever a reader
// might send. One link thread runs for the whole process; each input is one
// or two requests, and the reader's side of each is served from the input:
//
//   byte 0      bit 0: the port's sequence bit; bit 1: a second request
//   then        pieces, one per transport read: a count byte c, then c bytes
//               (c 0x00: the read times out; 0xFE: the read fails; 0xFF:
//               the device is not open); the input's end: every later read
//               times out at once
//
// The transport never waits, so the answer and character timeouts cost
// nothing. Every request must end with exactly one answer, and an answer
// with status 0 must be a frame the link may deliver: its block check
// sound, its address the sequence bit, at least as long as its length
// field announces.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "driver/link/channel.h"
#include "driver/link/link_thread.h"
#include "driver/link/link_transport.h"
#include "driver/state/local_state.h"
#include "driver/state/shared_area.h"
#include "platform/os/channel.h"
#include "platform/os/process.h"
#include "platform/os/win32_errors.h"
#include "protocol/frame.h"

namespace {

using zq::drv::PortDataArea;

constexpr uint32_t kPort = 0x0100;
constexpr int32_t kAnswerWaitMs = 10000;

// The reader's side of the current input.
struct Script {
  std::mutex lock;
  const uint8_t* data = nullptr;
  size_t size = 0;
  size_t at = 0;
  std::vector<uint8_t> piece;  // what is left of the current piece
  size_t pieceAt = 0;
};
Script g_script;

int32_t ScriptWrite(PortDataArea&, const uint8_t*, uint32_t length) { return length >= 4 ? 0 : zq::drv::kRwFailed; }

// A piece shorter than the bytes the link wants stands for bytes that
// stopped (the transport's contract), and so does the input's end.
int32_t ScriptRead(PortDataArea&, uint8_t* buffer, uint32_t maximum, uint32_t, uint32_t, uint32_t) {
  std::lock_guard<std::mutex> g(g_script.lock);
  Script& s = g_script;
  if (s.pieceAt >= s.piece.size()) {
    if (s.at >= s.size) return zq::drv::kRwTimeout;
    const uint8_t c = s.data[s.at++];
    if (c == 0x00) return zq::drv::kRwTimeout;
    if (c == 0xFE) return zq::drv::kRwFailed;
    if (c == 0xFF) return zq::drv::kRwNotOpen;
    const size_t n = c < s.size - s.at ? c : s.size - s.at;
    s.piece.assign(s.data + s.at, s.data + s.at + n);
    s.pieceAt = 0;
    s.at += n;
    if (n == 0) return zq::drv::kRwTimeout;
  }
  const size_t left = s.piece.size() - s.pieceAt;
  const size_t n = left < maximum ? left : maximum;
  std::memcpy(buffer, s.piece.data() + s.pieceAt, n);
  s.pieceAt += n;
  return static_cast<int32_t>(n);
}

int32_t ScriptPurge(PortDataArea&) { return 0; }

constexpr zq::drv::LinkTransport kScriptTransport{&ScriptWrite, &ScriptRead, &ScriptPurge};

struct Link {
  zq::drv::SharedArea* area = nullptr;
  zq::drv::PortEntry* entry = nullptr;
  std::vector<uint8_t> request = std::vector<uint8_t>(zq::drv::kRequestBufferSize, 0);
  std::vector<uint8_t> response = std::vector<uint8_t>(zq::drv::kResponseBufferSize, 0);
};

Link& TheLink() {
  static Link* link = [] {
    // Named objects of this process only; no log output.
    const std::string ns = "zqfuzz-link-" + std::to_string(zq::platform::CurrentProcessId());
    setenv("ZELQUAR_NAMESPACE", ns.c_str(), 1);
    unsetenv("ZELQUAR_LOG_MIRROR");
    auto* l = new Link;
    l->area = new zq::drv::SharedArea{};
    l->area->logLevel = 0;
    l->area->characterTimeout = 10;
    l->area->retryTimeoutLink = 10;
    l->area->retryTimeoutApi = 10;
    zq::drv::PublishSharedArea(l->area);
    zq::drv::BindLocalPortEntries(l->area);
    zq::drv::InstallLinkTransport(&kScriptTransport);
    l->entry = &zq::drv::LocalPortEntry(0);
    l->entry->dataArea = &l->area->portDataAreas[0];
    if (zq::drv::k_L_Level_Init(kPort, &zq::drv::Llevel_Thread, *l->entry) != 0) std::abort();
    return l;
  }();
  return *link;
}

// One request through the channel; traps when the link gives no answer or
// an answer it may not give.
void OneExchange(Link& l, uint8_t sequenceBit) {
  using namespace zq::drv;
  static const uint8_t kCommand[] = {0x00, 0x05, 0x00, 0x00};
  auto* h = reinterpret_cast<LevelMessageHeader*>(l.request.data());
  std::memset(h, 0, kHeaderSize);
  h->payloadLength = static_cast<int32_t>(zq::protocol::kFrameHeadLength + sizeof kCommand);
  h->kind = kKindExchange;
  h->timeoutMs = 20;
  h->portEntry = reinterpret_cast<uintptr_t>(l.entry);
  uint8_t* frame = l.request.data() + kHeaderSize;
  zq::protocol::WriteFrameHead(zq::protocol::UnitAddress(0), sizeof kCommand, frame);
  std::memcpy(frame + zq::protocol::kFrameHeadLength, kCommand, sizeof kCommand);
  l.entry->sequenceBit = sequenceBit;

  auto* pipe2 = reinterpret_cast<zq::platform::PipeEnd*>(l.entry->dPipe2Write);
  auto* event2 = reinterpret_cast<zq::platform::Event*>(l.entry->dEvent2);
  auto* pipe1 = reinterpret_cast<zq::platform::PipeEnd*>(l.entry->dPipe1Read);
  auto* event1 = reinterpret_cast<zq::platform::Event*>(l.entry->dEvent1);
  if (k_CM_SendMsg(kPort, pipe2, event2, l.request.data(), static_cast<int32_t>(kHeaderSize) + h->payloadLength) != 0)
    std::abort();
  while (zq::platform::BytesAvailable(pipe1) <= 0) {
    if (zq::platform::WaitForEvent(event1, kAnswerWaitMs) != zq::platform::kWaitObject0) __builtin_trap();  // no answer
  }
  int32_t length = 0;
  if (k_CM_RecvMsg(kPort, pipe1, l.response.data(), static_cast<int32_t>(l.response.size()), &length) != 0)
    __builtin_trap();
  const auto* r = reinterpret_cast<const LevelMessageHeader*>(l.response.data());
  if (length != static_cast<int32_t>(kHeaderSize) + r->payloadLength) __builtin_trap();
  if (r->sequenceBit != sequenceBit) __builtin_trap();
  if (r->status == kLinkOk) {
    const uint8_t* got = l.response.data() + kHeaderSize;
    const size_t n = static_cast<size_t>(r->payloadLength);
    if (n < zq::protocol::kFrameOverhead) __builtin_trap();
    if (got[0] != sequenceBit) __builtin_trap();
    if (zq::protocol::BlockCheck(got, n - 1) != got[n - 1]) __builtin_trap();
    if (n < zq::protocol::kFrameOverhead + zq::protocol::PayloadLength(got)) __builtin_trap();
  } else {
    if (r->status != kLinkFailed && r->status != kLinkChannelFailed) __builtin_trap();
    if (r->payloadLength != 0) __builtin_trap();
  }
  // Nothing may follow the one answer.
  if (zq::platform::BytesAvailable(pipe1) > 0) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  Link& l = TheLink();
  {
    std::lock_guard<std::mutex> g(g_script.lock);
    g_script.data = data + 1;
    g_script.size = size - 1;
    g_script.at = 0;
    g_script.piece.clear();
    g_script.pieceAt = 0;
  }
  OneExchange(l, data[0] & 1);
  if (data[0] & 2) OneExchange(l, (data[0] & 1) ^ 1);
  std::lock_guard<std::mutex> g(g_script.lock);
  g_script.data = nullptr;
  g_script.size = 0;
  return 0;
}
