#include "sim/model/scenario.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

namespace zq::sim {

namespace {

const char* const kLockNames[5] = {"kill", "access", "epc", "tid", "user"};

bool HexWords(const nlohmann::json& j, std::vector<uint16_t>* out) {
  if (!j.is_string()) return false;
  Bytes b;
  if (!FromHex(j.get<std::string>(), &b) || b.size() % 2 != 0) return false;
  out->clear();
  for (size_t i = 0; i < b.size(); i += 2) out->push_back(static_cast<uint16_t>((b[i] << 8) | b[i + 1]));
  return true;
}

// A JSON integer within lo..hi, read without narrowing first (a file's
// 4294967297 is no unit 1).
bool IntegerIn(const nlohmann::json& j, int64_t lo, int64_t hi, int64_t* out) {
  if (j.is_number_unsigned()) {
    const uint64_t v = j.get<uint64_t>();
    if (hi < 0 || v > static_cast<uint64_t>(hi)) return false;
    *out = static_cast<int64_t>(v);
    return v >= static_cast<uint64_t>(lo < 0 ? 0 : lo);
  }
  if (!j.is_number_integer()) return false;
  const int64_t v = j.get<int64_t>();
  *out = v;
  return v >= lo && v <= hi;
}

std::string WordsHex(const std::vector<uint16_t>& w) {
  Bytes b;
  for (uint16_t v : w) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
  }
  return ToHex(b);
}

std::string ParseLockList(const nlohmann::json& j, const char* key, std::array<LockBits, 5>* locks, bool perma) {
  if (!j.contains(key)) return "";
  if (!j[key].is_array()) return std::string(key) + " must be a list";
  for (const auto& name : j[key]) {
    if (!name.is_string()) return std::string(key) + " names banks";
    auto it = std::find(std::begin(kLockNames), std::end(kLockNames), name.get<std::string>());
    if (it == std::end(kLockNames)) return "unknown bank " + name.get<std::string>();
    LockBits& l = (*locks)[static_cast<size_t>(it - std::begin(kLockNames))];
    l.lock = true;
    if (perma) l.perma = true;
  }
  return "";
}

}  // namespace

std::vector<Tag> DefaultTags() {
  std::vector<Tag> tags;
  const uint16_t tids[3][4] = {{0xE280, 0x1160, 0x2000, 0x74CF}, {0xE280, 0x1160, 0x2000, 0x74D0},
                               {0xE280, 0x1160, 0x2000, 0x74D1}};
  for (uint16_t i = 0; i < 3; ++i) {
    Tag t = Tag::WithEpc({0xE280, 0x1160, 0x6000, 0x0205, 0x4E2A, static_cast<uint16_t>(0x1234 + i)});
    t.tid.assign(std::begin(tids[i]), std::end(tids[i]));
    t.user.assign(8, 0);
    t.rssi = static_cast<uint16_t>(1234 + 100 * i);
    tags.push_back(t);
  }
  return tags;
}

std::string ParseTag(const nlohmann::json& j, Tag* out) {
  if (!j.is_object()) return "a tag is a JSON object";
  std::vector<uint16_t> epc;
  if (!j.contains("epc") || !HexWords(j["epc"], &epc) || epc.size() > 31) return "epc: whole words of hex, at most 31";
  Tag t = Tag::WithEpc(epc);
  if (j.contains("pc")) {
    std::vector<uint16_t> pc;
    if (!HexWords(j["pc"], &pc) || pc.size() != 1) return "pc: one word of hex";
    t.epc[1] = pc[0];
    t.UpdateStoredCrc();
  }
  if (j.contains("tid") && !HexWords(j["tid"], &t.tid)) return "tid: whole words of hex";
  if (j.contains("user") && !HexWords(j["user"], &t.user)) return "user: whole words of hex";
  for (const char* key : {"kill_password", "access_password"}) {
    if (!j.contains(key)) continue;
    std::vector<uint16_t> pw;
    if (!HexWords(j[key], &pw) || pw.size() != 2) return std::string(key) + ": 8 hex digits";
    size_t at = std::string(key) == "kill_password" ? 0 : 2;
    t.reserved[at] = pw[0];
    t.reserved[at + 1] = pw[1];
  }
  if (j.contains("rssi")) {
    int64_t rssi = 0;
    if (!IntegerIn(j["rssi"], 0, 0xFFFF, &rssi)) return "rssi: 0 to 65535";
    t.rssi = static_cast<uint16_t>(rssi);
  }
  if (j.contains("min_write_power")) {
    int64_t power = 0;
    if (!IntegerIn(j["min_write_power"], INT32_MIN, INT32_MAX, &power)) return "min_write_power: a power level";
    t.min_write_power = static_cast<int>(power);
  }
  std::string err = ParseLockList(j, "locked", &t.locks, false);
  if (err.empty()) err = ParseLockList(j, "permalocked", &t.locks, true);
  if (err.empty()) err = ParseMotion(j, &t);
  if (!err.empty()) return err;
  *out = std::move(t);
  return "";
}

std::string ParseMotion(const nlohmann::json& j, Tag* out) {
  if (!j.is_object()) return "a motion is a JSON object";
  Tag t = *out;
  if (j.contains("path")) {
    const nlohmann::json& p = j["path"];
    if (!p.is_array() || p.empty() || p.size() > 1000) return "path: a list of 1 to 1000 [MS, RSSI] points";
    t.path.clear();
    for (const auto& point : p) {
      int64_t ms = 0, value = 0;
      if (!point.is_array() || point.size() != 2 || !IntegerIn(point[0], 0, 86'400'000, &ms) ||
          !IntegerIn(point[1], 0, 0xFFFF, &value))
        return "path: each point [MS, RSSI], MS 0 to 86400000, RSSI 0 to 65535";
      const uint64_t us = static_cast<uint64_t>(ms) * 1000;
      if (!t.path.empty() && us <= t.path.back().first) return "path: times must rise";
      t.path.emplace_back(us, static_cast<uint16_t>(value));
    }
    t.path_start_us = Tag::kPathNotStarted;
  }
  if (j.contains("path_repeat")) {
    if (!j["path_repeat"].is_boolean()) return "path_repeat: true or false";
    t.path_repeat = j["path_repeat"].get<bool>();
  }
  if (j.contains("noise")) {
    int64_t noise = 0;
    if (!IntegerIn(j["noise"], 0, 0x7FFF, &noise)) return "noise: 0 to 32767";
    t.noise = static_cast<uint16_t>(noise);
  }
  *out = std::move(t);
  return "";
}

std::string ParseTagList(const nlohmann::json& j, std::vector<Tag>* out) {
  const nlohmann::json* list = &j;
  if (j.is_object()) {
    if (!j.contains("tags")) return "no \"tags\"";
    list = &j["tags"];
  }
  if (!list->is_array()) return "tags must be a list";
  std::vector<Tag> tags;
  for (const auto& item : *list) {
    Tag t;
    std::string err = ParseTag(item, &t);
    if (!err.empty()) return err;
    tags.push_back(std::move(t));
  }
  *out = std::move(tags);
  return "";
}

std::string ParseJsonText(const std::string& text, nlohmann::json* out) {
  // Brackets inside strings do not nest; a string's escapes hide quotes.
  size_t depth = 0;
  bool inString = false, escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') inString = false;
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJsonDepth) return "nested deeper than " + std::to_string(kMaxJsonDepth) + " levels";
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  *out = nlohmann::json::parse(text, nullptr, false);
  if (out->is_discarded()) return "not JSON";
  return "";
}

std::string ParseScenario(const nlohmann::json& j, Scenario* out) {
  Scenario s;
  s.tags = DefaultTags();
  if (!j.is_object()) return "a scenario is a JSON object";
  if (j.contains("unit")) {
    int64_t unit = 0;
    if (!IntegerIn(j["unit"], 0, 31, &unit)) return "unit: 0 to 31";
    s.unit = static_cast<int>(unit);
  }
  if (j.contains("firmware_version")) {
    Bytes v;
    if (!j["firmware_version"].is_string() || !FromHex(j["firmware_version"].get<std::string>(), &v) || v.size() != 2)
      return "firmware_version: 4 hex digits";
    s.firmware = {v[0], v[1]};
  }
  if (j.contains("tags")) {
    std::string err = ParseTagList(j["tags"], &s.tags);
    if (!err.empty()) return err;
  }
  if (j.contains("read_range")) {
    const nlohmann::json& r = j["read_range"];
    int64_t floor = 0, full = 0;
    if (!r.is_array() || r.size() != 2 || !IntegerIn(r[0], 0, 0xFFFF, &floor) || !IntegerIn(r[1], 1, 0xFFFF, &full) ||
        full <= floor)
      return "read_range: [FLOOR, FULL], 0 <= FLOOR < FULL <= 65535";
    s.read_floor = static_cast<uint16_t>(floor);
    s.read_full = static_cast<uint16_t>(full);
  }
  if (j.contains("seed")) {
    int64_t seed = 0;
    if (!IntegerIn(j["seed"], 0, UINT32_MAX, &seed)) return "seed: 0 to 4294967295";
    s.seed = static_cast<uint32_t>(seed);
  }
  if (j.contains("extra_units")) {
    if (!j["extra_units"].is_array()) return "extra_units must be a list";
    for (const auto& item : j["extra_units"]) {
      ExtraUnit u;
      if (!item.is_object() || !item.contains("unit") || !item["unit"].is_number_integer() ||
          item["unit"].get<int>() < 0 || item["unit"].get<int>() > 31)
        return "extra_units: each with a unit 0 to 31";
      u.unit = item["unit"].get<int>();
      if (item.contains("tags")) {
        std::string err = ParseTagList(item["tags"], &u.tags);
        if (!err.empty()) return err;
      }
      s.extra_units.push_back(std::move(u));
    }
  }
  *out = std::move(s);
  return "";
}

std::string EpcHex(const Tag& t) {
  Bytes pcEpc = t.PcEpcBytes();
  return ToHex(pcEpc.data() + 2, pcEpc.size() - 2);
}

nlohmann::json TagToJson(const Tag& t, uint64_t now) {
  std::string flags;
  for (int session = 0; session < kSessions; ++session) flags += t.InventoriedB(session, now) ? 'B' : 'A';
  nlohmann::json locked = nlohmann::json::array(), perma = nlohmann::json::array();
  for (int f = 0; f < 5; ++f) {
    if (t.locks[f].lock) locked.push_back(kLockNames[f]);
    if (t.locks[f].perma) perma.push_back(kLockNames[f]);
  }
  const char* state = t.killed ? "killed"
                      : t.state == Tag::State::kOpen    ? "open"
                      : t.state == Tag::State::kSecured ? "secured"
                                                        : "ready";
  return {{"epc", EpcHex(t)},
          {"pc", WordsHex({t.pc()})},
          {"stored_crc", WordsHex({t.stored_crc()})},
          {"tid", WordsHex(t.tid)},
          {"user", WordsHex(t.user)},
          {"kill_password", WordsHex({t.reserved[0], t.reserved[1]})},
          {"access_password", WordsHex({t.reserved[2], t.reserved[3]})},
          {"rssi", t.rssi},
          {"rssi_now", t.BaseStrengthAt(now)},
          {"locked", locked},
          {"permalocked", perma},
          {"min_write_power", t.min_write_power},
          {"state", state},
          {"inventoried", flags},
          {"sl", t.sl}};
}

}  // namespace zq::sim
