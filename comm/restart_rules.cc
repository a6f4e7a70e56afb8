#include "comm/restart_rules.h"

#include <cctype>
#include <cstring>
#include <vector>

namespace zq::comm {
namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

RestartReason ReasonOf(const char* reason) {
  static constexpr struct {
    const char* code;
    RestartReason row;
  } kTable[] = {
      {"PWPT", {"WriteFile", "AAX1", "AAX8", true, "AAXD"}},
      {"PCFL", {"CreateFile", "AAX2", "AAX9", true, "AAXE"}},
      {"PRTY", {"Retry", "AAX3", "AAXA", false, nullptr}},
      {"PEEV", {"COMEvent", "AAX4", "AAXB", false, nullptr}},
      {"POTR", {"Other", "AAX5", "AAXC", false, nullptr}},
  };
  std::string four;
  for (size_t i = 0; reason && i < 4 && reason[i] != '\0'; ++i) four += reason[i];
  four = Upper(four);
  for (const auto& r : kTable)
    if (four == r.code) return r.row;
  return {"COMEvent", nullptr, nullptr, false, nullptr};
}

bool WildcardMatches(const std::string& idIn, const std::string& patternIn) {
  const std::string id = Upper(idIn), pattern = Upper(patternIn);
  if (pattern.find('*') == std::string::npos) return id == pattern;
  std::vector<std::string> parts;
  size_t at = 0;
  for (;;) {
    size_t star = pattern.find('*', at);
    parts.push_back(pattern.substr(at, star == std::string::npos ? std::string::npos : star - at));
    if (star == std::string::npos) break;
    at = star + 1;
  }
  if (id.compare(0, parts.front().size(), parts.front()) != 0) return false;
  size_t rest = parts.front().size();
  for (size_t i = 1; i + 1 < parts.size(); ++i) {
    const size_t found = id.find(parts[i], rest);
    if (found == std::string::npos) return false;
    rest = found + parts[i].size();
  }
  const std::string& last = parts.back();
  return id.size() - rest >= last.size() && id.compare(id.size() - last.size(), last.size(), last) == 0;
}

}  // namespace zq::comm
