// Fuzz target: RFRW_CLRW_Transmit's work once the port is open (the routing,
// every handler, the reply checks, the recovery loop) with any application
// command, against a reader that answers anything. The reader stands at the
// channel exchange k_TransmitMsg uses, in this process, so no link thread,
// pipe or device is involved. Input:
//
//   byte 0      bit 0: pass-through mode; bit 1: raw signal strengths
//   bytes 1-2   the application's response buffer length (big-endian)
//   bytes 3-4   the command length (big-endian, cut to what follows)
//   then        the command, then one answer per reader exchange:
//               byte k: 0 the link failed, 1 the channel failed, else a
//               reply frame whose body length is the next two bytes
//               (cut to what follows) and whose body follows; after the
//               input's end every exchange fails
//
// The application's buffers are exactly as long as it says, so a handler
// that writes or reads past them is caught. Every request the command
// layer sends must be a well-formed reader frame for the addressed unit,
// and the call must return a named result with a response that fits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "ZELQUAR_Drv.h"
#include "driver/commands/exchange.h"
#include "driver/commands/process_state.h"
#include "driver/commands/transmit.h"
#include "driver/link/channel.h"
#include "driver/state/local_state.h"
#include "driver/state/shared_area.h"
#include "platform/os/process.h"
#include "protocol/frame.h"

namespace {

constexpr uint32_t kPort = 0x0100;

struct Replies {
  const uint8_t* data = nullptr;
  size_t size = 0;
  size_t at = 0;
  int exchanges = 0;
};
Replies g_replies;

int32_t FakeExchange(uint32_t port, uint8_t* request, int32_t requestLength, uint8_t* response, int32_t capacity) {
  using namespace zq::drv;
  // What the command layer hands the link must be one whole reader frame.
  const auto* h = reinterpret_cast<const LevelMessageHeader*>(request);
  if (port != kPort || requestLength < static_cast<int32_t>(kHeaderSize) + 4) __builtin_trap();
  if (h->kind != kKindExchange || h->payloadLength != requestLength - static_cast<int32_t>(kHeaderSize)) __builtin_trap();
  const uint8_t* frame = request + kHeaderSize;
  if (frame[0] != zq::protocol::UnitAddress(0)) __builtin_trap();
  const size_t commandLength = zq::protocol::PayloadLength(frame);
  if (commandLength == 0 || commandLength > static_cast<size_t>(kMaxReaderCommand)) __builtin_trap();
  if (zq::protocol::kFrameHeadLength + commandLength != static_cast<size_t>(h->payloadLength)) __builtin_trap();
  if (h->portEntry != reinterpret_cast<uintptr_t>(&LocalPortEntry(0))) __builtin_trap();

  Replies& r = g_replies;
  if (++r.exchanges > 64) __builtin_trap();  // a handler that never stops asking
  if (r.at >= r.size) return kLinkFailed;
  const uint8_t kind = r.data[r.at++];
  if (kind == 0) return kLinkFailed;
  if (kind == 1) return kLinkChannelFailed;
  size_t n = 0;
  if (r.at + 2 <= r.size) n = (size_t{r.data[r.at]} << 8) | r.data[r.at + 1];
  r.at = r.at + 2 <= r.size ? r.at + 2 : r.size;
  if (n > r.size - r.at) n = r.size - r.at;
  auto* out = reinterpret_cast<LevelMessageHeader*>(response);
  std::memset(out, 0, kHeaderSize);
  const size_t written = zq::protocol::EncodeFrame(frame[0] & 1, r.data + r.at, n, response + kHeaderSize,
                                                   static_cast<size_t>(capacity) - kHeaderSize);
  r.at += n;
  out->payloadLength = static_cast<int32_t>(written);
  out->status = kLinkOk;
  return kLinkOk;
}

zq::drv::PortEntry& TheEntry() {
  static zq::drv::PortEntry* entry = [] {
    const std::string ns = "zqfuzz-transmit-" + std::to_string(zq::platform::CurrentProcessId());
    setenv("ZELQUAR_NAMESPACE", ns.c_str(), 1);
    unsetenv("ZELQUAR_LOG_MIRROR");
    auto* area = new zq::drv::SharedArea{};
    area->logLevel = 0;
    area->blockTimeout = 20;
    area->rwPowerOffOnRetryCount = 0;  // the loop, but never a real power cycle
    zq::drv::PublishSharedArea(area);
    zq::drv::BindLocalPortEntries(area);
    zq::drv::InstallChannelExchange(&FakeExchange);
    zq::drv::PortEntry& e = zq::drv::LocalPortEntry(0);
    e.port = kPort;
    e.slot->useCount = 1;
    e.dataArea = &area->portDataAreas[0];
    e.requestBuffer = new uint8_t[zq::drv::kRequestBufferSize]();
    e.responseBuffer = new uint8_t[zq::drv::kResponseBufferSize]();
    zq::drv::SetReaderSettingsDefaultsOnce();
    return &e;
  }();
  return *entry;
}

bool IsNamedResult(int32_t r) {
  switch (r) {
    case RFRW_SUCCESS:
    case RFRW_ERROR_INTERNAL:
    case RFRW_ERROR_DEVICE:
    case RFRW_ERROR_PARAMETER:
    case RFRW_ERROR_EXCHANGE:
    case RFRW_ERROR_FILE_MISSING:
      return true;
    default:
      return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  zq::drv::PortEntry& entry = TheEntry();
  zq::drv::SharedArea* area = zq::drv::Shared();
  area->dspPassThroughMode = data[0] & 1;
  zq::drv::g_RssiMode = (data[0] >> 1) & 1;
  zq::drv::g_ReaderTypeCode = 0x21;
  zq::drv::CurrentPort() = kPort;
  zq::drv::RwPowerOffOnRetryTotalCount() = 0;
  zq::drv::RwPowerOffOnRetryFlag() = 0;

  const int32_t capacity = (int32_t{data[1]} << 8) | data[2];
  size_t sLen = (size_t{data[3]} << 8) | data[4];
  if (sLen > size - 5) sLen = size - 5;
  // Exactly as long as the application says, so ASan sees every overrun.
  std::unique_ptr<uint8_t[]> command(new uint8_t[sLen ? sLen : 1]);
  std::memcpy(command.get(), data + 5, sLen);
  std::unique_ptr<uint8_t[]> response(new uint8_t[capacity ? capacity : 1]);
  g_replies = {data + 5 + sLen, size - 5 - sLen, 0, 0};

  int32_t rcvLen = capacity;
  const int32_t result =
      zq::drv::k_TransmitDispatch(entry, static_cast<uint32_t>(sLen), command.get(), &rcvLen, response.get());
  if (!IsNamedResult(result)) __builtin_trap();
  if (result == RFRW_SUCCESS && (rcvLen < 0 || rcvLen > capacity)) __builtin_trap();
  g_replies = {};
  return 0;
}
