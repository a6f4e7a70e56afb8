#include "comm/trace.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "platform/os/access.h"
#include "platform/os/clock.h"
#include "platform/os/module.h"

namespace zq::comm {
namespace {

using OpenEntry = int32_t (*)(const char*);
using CloseEntry = void (*)(int32_t);

// Process-wide, refilled by every CZqTrace construction; only called while
// the calling object holds the library loaded.
std::atomic<OpenEntry> g_open{nullptr};
std::atomic<void*> g_trace{nullptr};
std::atomic<CloseEntry> g_close{nullptr};

// One writer at a time, so that a rotation never meets another line.
std::mutex& FileLock() {
  static std::mutex* m = new std::mutex;  // never destroyed: reader threads may outlive statics
  return *m;
}

std::string Stamp() {
  const platform::LocalTime t = platform::GetLocalTime();
  char buf[64];
  std::snprintf(buf, sizeof buf, "%4d/%02d/%02d %02d:%02d:%02d.%03d ", t.year, t.month, t.day, t.hour, t.minute,
                t.second, t.milliseconds);
  return buf;
}

void Append(const std::string& message) {
  const std::string line = TraceLineText(Stamp(), message);
  std::lock_guard<std::mutex> g(FileLock());
  // The trace holds the bytes to and from the reader: made for the
  // reader's users only (platform/os/access.h).
  auto open = [] {
    const int fd = platform::OpenDataFileForAppend(kTraceFile);
    return fd >= 0 ? platform::StreamOf(fd, "ab") : nullptr;
  };
  std::FILE* f = open();
  if (!f) return;  // the line is lost
  if (std::fseek(f, 0, SEEK_END) == 0 && std::ftell(f) > kTraceRotateBytes) {
    std::fclose(f);
    std::error_code ec;
    std::filesystem::remove(kTraceBackFile, ec);
    std::filesystem::rename(kTraceFile, kTraceBackFile, ec);
    f = open();
    if (!f) return;
  }
  std::fwrite(line.data(), 1, line.size(), f);
  std::fclose(f);
}

std::string Numbers(std::string_view code, uint32_t a, uint32_t b, uint32_t c) {
  char tail[40];
  std::snprintf(tail, sizeof tail, " 0x%x 0x%x 0x%x", a, b, c);
  std::string m(code);
  m += tail;
  return m;
}

uint32_t Le32(const uint8_t* p) { return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24); }

}  // namespace

std::string Api(std::string_view text) {
  std::string s = "\x81\xA1" "API:";
  s += text;
  return s;
}

// ---- TraceSink ----------------------------------------------------------------------

void TraceSink::Line(std::string_view code, uint32_t a, uint32_t b, uint32_t c) const {
  if (on()) Append(Numbers(code, a, b, c));
}

void TraceSink::Text(std::string_view code, std::string_view text) const {
  if (!on()) return;
  std::string m(code);
  m += ',';
  m += text;
  Append(m);
}

void TraceSink::Data(std::string_view code, uint32_t length, const void* data) const {
  if (!on()) return;
  uint8_t first[4] = {};
  if (data) std::memcpy(first, data, std::min<size_t>(length, 4));
  Append(Numbers(code, 5, length, Le32(first)));
}

// ---- CZqTrace -------------------------------------------------------------------------

CZqTrace::CZqTrace() {
  module_ = platform::LoadModuleByName(kTraceLibrary);
  auto find = [&](const char* name) { return module_ ? platform::FindSymbol(module_, name) : nullptr; };
  g_open.store(reinterpret_cast<OpenEntry>(find("OPOSTraceOpenEx")));
  g_trace.store(find("OPOSTraceEx"));
  g_close.store(reinterpret_cast<CloseEntry>(find("OPOSTraceCloseEx")));
  // Looked up, not kept: the library's file-save entries are not used.
  (void)find("OPOSTraceFileSaveEx");
  (void)find("OPOSTraceFileSaveEx2");
}

CZqTrace::~CZqTrace() { platform::FreeModule(module_); }

void CZqTrace::Open(const std::string& logicalName, TraceSink& sink) {
  sink.set_state(-2);
  OpenEntry open = g_open.load();
  if (!module_ || !open || enabled_ == 0) return;
  if (TraceOpenName(logicalName, 0).empty()) return;
  for (int k = 0; k <= 14; ++k) {
    const int32_t result = open(TraceOpenName(logicalName, k).c_str());
    sink.set_state(result);
    if (result >= 0) return;
  }
}

void CZqTrace::Close(TraceSink& sink) {
  CloseEntry close = g_close.load();
  // State -2: no trace was opened (an open without a logical name), so
  // there is nothing to close and the library hears nothing.
  if (!module_ || !close || enabled_ == 0 || sink.state() == -2) return;
  close(sink.state());
  sink.set_state(-2);
}

void CZqTrace::Dump(const TraceSink& sink, const void* data, size_t length) {
  if (enabled_ == 0 || sink.state() < 0 || !module_ || !g_trace.load() || length == 0 || !data) return;
  const size_t rounded = (length + 19) / 20 * 20;
  if (rounded > sizeof dump_) return;
  // Only the caller's bytes are copied; the rest of the last row stays zero.
  std::memset(dump_, 0, sizeof dump_);
  std::memcpy(dump_, data, length);
  for (size_t row = 0; row < rounded; row += 20) sink.Line("", 5, Le32(dump_ + row), Le32(dump_ + row + 4));
}

// ---- pure helpers -----------------------------------------------------------------------

std::string TraceOpenName(const std::string& logicalName, int k) {
  const size_t n = std::min<size_t>(logicalName.size(), 32);
  if (n == 0) return "";
  const size_t keep = std::min<size_t>(n, 14);
  std::string name = logicalName.substr(n - keep, keep);
  name += static_cast<char>(0x30 + k);
  name += 'C';
  return name;
}

std::string TraceLineText(const std::string& stamp, const std::string& message) {
  std::string line = stamp;
  if (stamp.size() + message.size() <= kTraceLineMax) {
    line += message;
  } else if (!line.empty() && line.back() == ' ') {
    line.pop_back();  // the time stamp alone; the line break takes the blank's place
  }
  line += "\r\n";
  return line;
}

}  // namespace zq::comm
