#include <cstdio>

#include "platform/os/text_encoding.h"
#include "tools/logview.h"

namespace zq::logview {

std::string FormatRecord(const logfmt::DecodedRecord& r) {
  char head[64];
  std::snprintf(head, sizeof head, "%04u-%02u-%02u %02u:%02u:%02u [%5u]", r.time.year, r.time.month, r.time.day,
                r.time.hour, r.time.minute, r.time.second, r.time.stamp);
  std::string line = head;
  if (r.hasText) {
    line += ' ';
    for (char c : platform::Cp932ToUtf8(r.text)) line.push_back(c == '\n' || c == '\r' ? ' ' : c);
  }
  if (r.hasData) {
    line += " |";
    char hex[4];
    for (uint8_t b : r.data) {
      std::snprintf(hex, sizeof hex, " %02X", b);
      line += hex;
    }
  }
  return line;
}

size_t DecodeToText(const uint8_t* bytes, size_t length, bool final, std::string* out) {
  return logfmt::WalkRecords(
      bytes, length, final,
      [&](const logfmt::DecodedRecord& r) {
        *out += FormatRecord(r);
        out->push_back('\n');
      },
      [&](size_t offset, size_t n) {
        char note[96];
        std::snprintf(note, sizeof note, "!! %zu damaged bytes at offset %zu skipped\n", n, offset);
        *out += note;
      },
      [&](size_t offset) {
        char note[96];
        std::snprintf(note, sizeof note, "!! truncated record at offset %zu\n", offset);
        *out += note;
      });
}

}  // namespace zq::logview
