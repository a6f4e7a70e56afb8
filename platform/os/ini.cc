#include "platform/os/ini.h"

#include <fstream>
#include <sstream>

namespace zq::platform {
namespace {

std::string_view Trim(std::string_view s) {
  const char* blanks = " \t\r\n\f\v";
  size_t b = s.find_first_not_of(blanks);
  if (b == std::string_view::npos) return {};
  size_t e = s.find_last_not_of(blanks);
  return s.substr(b, e - b + 1);
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

std::string ReadAll(const std::string& path, bool* ok) {
  std::ifstream in(path, std::ios::binary);
  *ok = static_cast<bool>(in);
  if (!*ok) return {};
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace

IniText::IniText(std::string_view text) {
  std::string section;
  bool inSection = false;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      size_t close = line.find(']');
      if (close == std::string_view::npos) continue;
      section = std::string(Trim(line.substr(1, close - 1)));
      inSection = true;
      continue;
    }
    if (!inSection) continue;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    entries_.push_back({section, std::string(Trim(line.substr(0, eq))), std::string(value)});
  }
}

std::optional<std::string> IniText::Find(std::string_view section, std::string_view key) const {
  section = Trim(section);
  key = Trim(key);
  for (const Entry& e : entries_) {
    if (EqualNoCase(e.section, section) && EqualNoCase(e.key, key)) return e.value;
  }
  return std::nullopt;
}

int32_t IniText::GetInt(std::string_view section, std::string_view key, int32_t fallback) const {
  std::optional<std::string> value = Find(section, key);
  if (!value) return fallback;
  std::string_view v = Trim(*value);
  bool negative = false;
  size_t i = 0;
  if (i < v.size() && (v[i] == '-' || v[i] == '+')) negative = v[i++] == '-';
  // Unsigned arithmetic wraps like a 32-bit conversion, so an absurd value
  // never overflows a signed type.
  uint32_t magnitude = 0;
  for (; i < v.size() && v[i] >= '0' && v[i] <= '9'; ++i) {
    magnitude = magnitude * 10u + static_cast<uint32_t>(v[i] - '0');
  }
  uint32_t bits = negative ? 0u - magnitude : magnitude;
  return static_cast<int32_t>(bits);
}

std::string IniText::GetString(std::string_view section, std::string_view key, std::string_view fallback,
                               size_t bufferSize) const {
  std::optional<std::string> value = Find(section, key);
  std::string out = value ? *value : std::string(fallback);
  size_t limit = bufferSize == 0 ? 0 : bufferSize - 1;
  if (out.size() > limit) out.resize(limit);
  return out;
}

IniFile::IniFile(const std::string& path) : text_([&] {
  bool ok = false;
  std::string content = ReadAll(path, &ok);
  exists_ = ok;
  return IniText(content);
}()) {}

}  // namespace zq::platform
