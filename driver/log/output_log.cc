// OutputLog: level filter, formatting, and the text mirror.
//
// The text mirror is a developer aid: when ZELQUAR_LOG_MIRROR names a file,
// every record that passes the level filter is also appended to it as one
// UTF-8 line "PID TID LEVEL PORT TEXT[ | DATA-HEX]". Each line is one append
// write, so the lines of several processes never interleave.
#include "driver/log/output_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "driver/api/lifecycle.h"
#include "driver/api/shared_area.h"
#include "platform/ini.h"
#include "platform/process.h"

namespace zq::drv {
namespace {

constexpr const char* kSection = "RFRW_Drv";
constexpr int32_t kDefaultLogLevel = 3;
// Text room of a record: the 32768-byte record less its 8 time bytes and the
// text tag and length.
constexpr size_t kTextCapacity = 32757;
constexpr int32_t kMaxRecordData = 32668;

struct Mirror {
  std::mutex lock;
  std::FILE* file = nullptr;
  bool opened = false;
};

Mirror& TheMirror() {
  static Mirror* mirror = new Mirror;  // outlives every thread that may still log at exit
  return *mirror;
}

void WriteMirrorLine(int32_t level, uint32_t port, const char* text, const uint8_t* data, int32_t dataLen) {
  Mirror& m = TheMirror();
  std::lock_guard<std::mutex> guard(m.lock);
  if (!m.opened) {
    m.opened = true;
    const char* path = std::getenv("ZELQUAR_LOG_MIRROR");
    if (path && *path) {
      m.file = std::fopen(path, "ae");
      if (m.file) std::setvbuf(m.file, nullptr, _IONBF, 0);
    }
  }
  if (!m.file) return;
  std::string line;
  char head[64];
  std::snprintf(head, sizeof head, "%x %x %d %04x ", platform::CurrentProcessId(), platform::CurrentThreadId(),
                level, port);
  line += head;
  for (const char* p = text; *p; ++p) line.push_back(*p == '\n' || *p == '\r' ? ' ' : *p);
  if (dataLen > 0) {
    line += " |";
    char hex[4];
    for (int32_t i = 0; i < dataLen; ++i) {
      std::snprintf(hex, sizeof hex, " %02X", data[i]);
      line += hex;
    }
  }
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), m.file);
}

}  // namespace

void OutputLog(int32_t level, uint32_t port, const void* data, int32_t dataLen, const char* format, ...) {
  const SharedArea* area = Shared();
  const int32_t logLevel = area ? area->logLevel : kDefaultLogLevel;
  const bool hasText = format && *format;
  if (level > logLevel || (!hasText && dataLen == 0)) return;

  std::vector<char> text(kTextCapacity, '\0');
  if (hasText) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
  }
  if (dataLen < 0 || !data) dataLen = 0;
  if (dataLen > kMaxRecordData) dataLen = kMaxRecordData;
  WriteMirrorLine(level, port, text.data(), static_cast<const uint8_t*>(data), dataLen);
}

void ReadLogSettings(SharedArea& area, const platform::IniText& ini) {
  area.logFileFlg = ini.GetInt(kSection, "LogFileFlg", 0);
  area.logLevel = ini.GetInt(kSection, "LogLevel", kDefaultLogLevel);
  area.logDisp = ini.GetInt(kSection, "LogDisp", 0);
}

uint32_t LogOutputHandleValue() { return 0xFFFFFFFFu; }

}  // namespace zq::drv
