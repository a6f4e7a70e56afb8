// A comm library that misbehaves on purpose, for the transport's failure
// paths the real one never shows: writes that are not taken, writes that
// claim more than they were given, opens that keep failing, an Init that
// fails. Built as libZqRfrwCommVO.so in a directory of its own; its
// behaviour comes from the environment variable ZQ_FAKE_COMM:
//   "stuck-write"  WritePort succeeds but takes no byte
//   "over-write"   WritePort reports one byte more than it was given
//   "no-device"    OpenPort answers 2 (no device)
//   "init-fails"   Init hands out no port object
//   "slow-read"    ReadPort takes ZQ_FAKE_COMM_READ_MS before it answers, having
//                  made the file ZQ_FAKE_COMM_READ_MARK (when set) as it began
//   "trickle"      ReadPort hands out the bytes of ZQ_FAKE_COMM_BYTES (hex), byte
//                  i ready i * ZQ_FAKE_COMM_GAP_MS after the first read, like an
//                  older comm library that cannot wait for a count of bytes
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "comm/zq_comm_boundary.h"

namespace {

using namespace zq::comm;

// "trickle": the bytes and when the first read came.
struct Trickle {
  std::string bytes;
  size_t next = 0;
  std::chrono::steady_clock::time_point first{};
  bool started = false;
};
Trickle g_trickle;

uint32_t TrickleRead(uint8_t* into, uint32_t length) {
  Trickle& t = g_trickle;
  if (!t.started) {
    const char* hex = std::getenv("ZQ_FAKE_COMM_BYTES");
    for (const char* p = hex ? hex : ""; p[0] && p[1]; p += 2) t.bytes.push_back(static_cast<char>(std::stoi(std::string(p, 2), nullptr, 16)));
    t.first = std::chrono::steady_clock::now();
    t.started = true;
  }
  const char* gap = std::getenv("ZQ_FAKE_COMM_GAP_MS");
  const auto ready = (std::chrono::steady_clock::now() - t.first) / std::chrono::milliseconds(std::max(gap ? std::atoi(gap) : 1, 1)) + 1;
  uint32_t n = 0;
  while (n < length && t.next < t.bytes.size() && static_cast<long>(t.next) < ready) into[n++] = static_cast<uint8_t>(t.bytes[t.next++]);
  return n;
}

std::string Mode() {
  const char* m = std::getenv("ZQ_FAKE_COMM");
  return m ? m : "";
}

int32_t Func(void*, PortRequest* r) {
  switch (r->code) {
    case OpenPort:
      return Mode() == "no-device" ? zq::platform::kErrorFileNotFound : 0;
    case ClosePort:
      return 0;
    case WritePort:
      if (Mode() == "stuck-write") {
        *r->write.bytesWritten = 0;
      } else if (Mode() == "over-write") {
        *r->write.bytesWritten = r->write.length + 1;
      } else {
        *r->write.bytesWritten = r->write.length;
      }
      return 0;
    case ReadPort:
      if (Mode() == "slow-read") {
        if (const char* mark = std::getenv("ZQ_FAKE_COMM_READ_MARK")) std::ofstream(mark).close();
        const char* ms = std::getenv("ZQ_FAKE_COMM_READ_MS");
        std::this_thread::sleep_for(std::chrono::milliseconds(ms ? std::atoi(ms) : 0));
      }
      *r->read.bytesRead = Mode() == "trickle" ? TrickleRead(static_cast<uint8_t*>(r->read.buffer), r->read.length) : 0;
      return 0;
    case RfrwSetFeature:
    case RfrwGetFeature:
      return 0;
    case DeviceRestart:
      return zq::platform::kErrorNotSupported;
    default:
      return kResultUnknownRequest;
  }
}

int g_port;

}  // namespace

extern "C" __attribute__((visibility("default"))) void* Init(PortFunc* func, uint32_t* error) {
  *error = 0;
  if (Mode() == "init-fails") return nullptr;
  *func = &Func;
  return &g_port;
}

extern "C" __attribute__((visibility("default"))) void Term(void*) {}
