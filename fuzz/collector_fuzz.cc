// Fuzz target: the log collector's handling of whatever arrives on its
// mailslot. The collector runs for the whole process on a thread of its
// own, in a directory of its own, with a small rotation size; each input
// is a few messages sent to it as a driver would, then an end message.
// Input: messages, each a count byte c and then
//
//   c < 0xFE   c bytes from the input
//   c = 0xFE   32768 bytes: the largest message the collector takes
//   c = 0xFF   32768 + the next byte + 1 bytes: a message it must skip
//
// The collector keeps nothing but its log file; the target keeps its own
// account of what the file must hold (each record up to its first zero
// byte, end messages and empty or oversized messages never, the file
// rotated before a record once it is larger than the limit) and waits
// until the file, flushed by the end message, is exactly that long. A
// message lost, doubled or cut, or a rotation at the wrong size, never
// gets there.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "outlog/collector.h"
#include "platform/os/mailslot.h"
#include "platform/os/process.h"

namespace {

constexpr int64_t kRotateAbove = 4096;
constexpr size_t kLargest = 32768;
constexpr auto kFileWait = std::chrono::seconds(20);

struct Collector {
  std::filesystem::path dir;
  zq::platform::MailslotClient client;
  int64_t expected = 0;  // bytes the current log must hold
};

Collector& TheCollector() {
  static Collector* c = [] {
    const std::string pid = std::to_string(zq::platform::CurrentProcessId());
    setenv("ZELQUAR_NAMESPACE", ("zqfuzz-outlog-" + pid).c_str(), 1);
    // The collector prints every record; nobody reads them here.
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    auto* col = new Collector;
    col->dir = std::filesystem::temp_directory_path() / ("zqfuzz-outlog-" + pid);
    std::filesystem::remove_all(col->dir);
    std::filesystem::create_directories(col->dir);
    static zq::outlog::Settings settings;
    settings.dir = col->dir.string() + "/";
    settings.maxLogFileBytes = kRotateAbove;
    settings.maxBackups = 2;
    settings.watchedPid = zq::platform::CurrentProcessId();
    std::thread([] { zq::outlog::RunCollector(settings); }).detach();
    const auto until = std::chrono::steady_clock::now() + kFileWait;
    while (col->client.Open("ZELQUAR_Outlog") != 0) {
      if (std::chrono::steady_clock::now() > until) std::abort();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::atexit([] { std::filesystem::remove_all(TheCollector().dir); });
    return col;
  }();
  return *c;
}

int64_t LogSize(const Collector& c) {
  std::error_code ec;
  const auto n = std::filesystem::file_size(c.dir / "ZELQUAR_DrvDLL_Log.LOG", ec);
  return ec ? -1 : static_cast<int64_t>(n);
}

void Send(Collector& c, const std::vector<uint8_t>& message) {
  if (c.client.Send(message.data(), message.size(), 10000) != 0) __builtin_trap();
  // What the file must hold after it.
  const size_t n = message.size();
  if (n == 0 || n > kLargest) return;
  if (n >= 3 && std::memcmp(message.data(), "End", 3) == 0) return;
  if (c.expected > kRotateAbove) c.expected = 0;
  const void* zero = std::memchr(message.data(), 0, n);
  c.expected += zero ? static_cast<const uint8_t*>(zero) - message.data() : static_cast<int64_t>(n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Collector& c = TheCollector();
  size_t at = 0;
  int messages = 0;
  while (at < size && messages < 16) {
    const uint8_t count = data[at++];
    std::vector<uint8_t> message;
    if (count == 0xFE) {
      message.assign(kLargest, 'y');
    } else if (count == 0xFF) {
      const size_t extra = at < size ? data[at++] + 1u : 1u;
      message.assign(kLargest + extra, 'z');
    } else {
      const size_t n = count < size - at ? count : size - at;
      message.assign(data + at, data + at + n);
      at += n;
    }
    Send(c, message);
    ++messages;
  }
  static const std::vector<uint8_t> kEnd{'E', 'n', 'd'};
  Send(c, kEnd);
  const auto until = std::chrono::steady_clock::now() + kFileWait;
  while (LogSize(c) != c.expected) {
    if (std::chrono::steady_clock::now() > until) __builtin_trap();  // the file never held what was sent
    std::this_thread::yield();
  }
  return 0;
}
