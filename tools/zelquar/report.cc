// Sections: single results; watch mode.
#include "tools/zelquar/report.h"

#include <cstdio>

namespace zq::tool {

namespace {

std::string Hex8(uint8_t v) { return ToHex(&v, 1); }
std::string Hex16(uint16_t v) {
  const uint8_t b[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
  return ToHex(b, 2);
}

std::string Pad(std::string s, size_t width) {
  if (s.size() < width) s.append(width - s.size(), ' ');
  return s;
}

}  // namespace

// ---- single results --------------------------------------------------------------

std::string RssiText(uint16_t value, bool raw) {
  if (raw) return std::to_string(value);
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", RssiDbm(value));
  return text;
}

nlohmann::json RssiJson(uint16_t value, bool raw) {
  if (raw) return value;
  return RssiDbm(value);
}

namespace {

struct Row {
  const InventoryTag* tag;
  uint64_t count;
};

std::vector<Row> Rows(const Inventory& inventory) {
  std::vector<Row> rows;
  for (const InventoryTag& t : inventory.tags) {
    bool merged = false;
    for (Row& r : rows) {
      if (r.tag->epc == t.epc && r.tag->pc == t.pc) {
        ++r.count;
        r.tag = &t;  // the latest reading's signal strength
        merged = true;
      }
    }
    if (!merged) rows.push_back({&t, 1});
  }
  return rows;
}

}  // namespace

std::string InventoryText(const Inventory& inventory, bool raw) {
  const std::vector<Row> rows = Rows(inventory);
  size_t epcWidth = 3;
  for (const Row& r : rows) epcWidth = std::max(epcWidth, r.tag->epc.size() * 2);
  std::string text = Pad("PC", 6) + Pad("EPC", epcWidth + 2) + Pad(raw ? "RSSI" : "RSSI(dBm)", 11) + "COUNT\n";
  for (const Row& r : rows) {
    text += Pad(Hex16(r.tag->pc), 6) + Pad(ToHex(r.tag->epc), epcWidth + 2) + Pad(RssiText(r.tag->rssiRaw, raw), 11) +
            std::to_string(r.count) + "\n";
  }
  text += std::to_string(rows.size()) + (rows.size() == 1 ? " tag" : " tags");
  if (inventory.truncated) text += " (the reply was cut short)";
  text += "\n";
  return text;
}

nlohmann::json InventoryJson(const Inventory& inventory, bool raw) {
  nlohmann::json tags = nlohmann::json::array();
  for (const Row& r : Rows(inventory)) {
    tags.push_back({{"pc", Hex16(r.tag->pc)},
                    {"epc", ToHex(r.tag->epc)},
                    {"rssi", RssiJson(r.tag->rssiRaw, raw)},
                    {"count", r.count}});
  }
  nlohmann::json j = {{"command", "inventory"}, {"ok", inventory.ok}, {"tags", tags}, {"rssi_unit", raw ? "raw" : "dBm"}};
  j.update(StatusJson(inventory.sw));
  if (inventory.truncated) j["truncated"] = true;
  return j;
}

nlohmann::json StatusJson(uint16_t sw, std::optional<uint8_t> readerStatus) {
  nlohmann::json j = {{"status_word", Hex16(sw)}, {"status", StatusWordMessage(sw, readerStatus)}};
  if (readerStatus) {
    j["reader_status"] = Hex8(*readerStatus);
    if (sw == 0x6404) j["tag_error"] = Hex8(*readerStatus);
  }
  return j;
}

std::string StatusText(uint16_t sw, std::optional<uint8_t> readerStatus) {
  return "status " + StatusWordText(sw) + ": " + StatusWordMessage(sw, readerStatus);
}

nlohmann::json DriverErrorJson(const std::string& call, int32_t result) {
  return {{"call", call}, {"result", result}, {"name", ResultName(result)}, {"message", ResultMessage(result)}};
}

std::string DriverErrorText(const std::string& call, int32_t result) {
  std::string name = ResultName(result);
  return call + " failed: " + (name.empty() ? "" : name + " ") + "(" + std::to_string(result) + "): " +
         ResultMessage(result);
}

std::string InfoBlockText(const InfoBlock& block) {
  if (!block.valid) return "information block: not in the expected form\n";
  std::string text = "information block:\n  head  " + ToHex(block.head) + "\n";
  for (const auto& [number, value] : block.entries) text += "  entry " + Hex8(number) + " = " + Hex16(value) + "\n";
  text += "  tail  " + ToHex(block.tail) + "\n";
  return text;
}

nlohmann::json InfoBlockJson(const InfoBlock& block) {
  if (!block.valid) return {{"valid", false}};
  nlohmann::json entries = nlohmann::json::array();
  for (const auto& [number, value] : block.entries) entries.push_back({{"entry", number}, {"value", Hex16(value)}});
  return {{"valid", true}, {"head", ToHex(block.head)}, {"entries", entries}, {"tail", ToHex(block.tail)}};
}

std::string DllVersionText(const uint8_t b[8]) {
  return std::to_string(b[0] << 8 | b[1]) + "." + std::to_string(b[2] << 8 | b[3]) + "." +
         std::to_string(b[4] << 8 | b[5]) + "." + std::to_string(b[6] << 8 | b[7]);
}

// ---- watch mode ----------------------------------------------------------------------

std::vector<WatchEvent> WatchTracker::Round(const Inventory& inventory, uint64_t nowMs) {
  ++rounds_;
  std::vector<WatchEvent> events;
  std::map<std::string, bool> listed;
  for (const InventoryTag& t : inventory.tags) {
    const std::string key = ToHex(t.epc);
    if (listed[key]) continue;
    listed[key] = true;
    Seen& s = tags_[key];
    s.pc = t.pc;
    s.epc = t.epc;
    s.rssi = t.rssiRaw;
    if (s.count == 0) s.firstMs = nowMs;
    s.lastMs = nowMs;
    ++s.count;
    if (!s.present) {
      s.present = true;
      ++s.appearances;
      events.push_back({WatchEvent::kAppeared, s.pc, s.epc, s.rssi, nowMs, s.count});
    }
  }
  for (auto& [key, s] : tags_) {
    if (s.present && !listed.count(key) && nowMs - s.lastMs >= goneMs_) {
      s.present = false;
      events.push_back({WatchEvent::kGone, s.pc, s.epc, s.rssi, nowMs, s.count});
    }
  }
  return events;
}

namespace {

std::string Seconds(uint64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%llu.%03llu", static_cast<unsigned long long>(ms / 1000),
                static_cast<unsigned long long>(ms % 1000));
  return text;
}

}  // namespace

std::string WatchEventText(const WatchEvent& e, bool raw) {
  return "[" + Seconds(e.atMs) + "s] " + (e.kind == WatchEvent::kAppeared ? "+ appeared " : "- gone     ") + ToHex(e.epc) +
         "  PC " + Hex16(e.pc) + "  RSSI " + RssiText(e.rssi, raw) + "  seen " + std::to_string(e.seen) + "\n";
}

nlohmann::json WatchEventJson(const WatchEvent& e, bool raw) {
  return {{"event", e.kind == WatchEvent::kAppeared ? "appeared" : "gone"},
          {"epc", ToHex(e.epc)},
          {"pc", Hex16(e.pc)},
          {"rssi", RssiJson(e.rssi, raw)},
          {"at_ms", e.atMs},
          {"seen", e.seen}};
}

std::string WatchSummaryText(const WatchTracker& tracker, uint64_t durationMs, bool raw) {
  std::string text = "summary: " + std::to_string(tracker.rounds()) + " inventories in " + Seconds(durationMs) + "s, " +
                     std::to_string(tracker.tags().size()) + (tracker.tags().size() == 1 ? " tag" : " tags") + " seen\n";
  for (const auto& [key, s] : tracker.tags()) {
    text += "  " + key + "  PC " + Hex16(s.pc) + "  RSSI " + RssiText(s.rssi, raw) + "  seen " + std::to_string(s.count) +
            "  first " + Seconds(s.firstMs) + "s  last " + Seconds(s.lastMs) + "s" + (s.present ? "  (present)" : "  (gone)") +
            "\n";
  }
  return text;
}

nlohmann::json WatchSummaryJson(const WatchTracker& tracker, uint64_t durationMs, bool raw) {
  nlohmann::json tags = nlohmann::json::array();
  for (const auto& [key, s] : tracker.tags()) {
    tags.push_back({{"epc", key},
                    {"pc", Hex16(s.pc)},
                    {"rssi", RssiJson(s.rssi, raw)},
                    {"seen", s.count},
                    {"appearances", s.appearances},
                    {"first_ms", s.firstMs},
                    {"last_ms", s.lastMs},
                    {"present", s.present}});
  }
  return {{"event", "summary"}, {"inventories", tracker.rounds()}, {"duration_ms", durationMs}, {"tags", tags}};
}

}  // namespace zq::tool
