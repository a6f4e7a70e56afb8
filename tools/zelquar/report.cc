// Sections: single results; watch mode.
#include "tools/zelquar/report.h"

#include <cstdio>

#include "client/fields.h"
#include "protocol/epc/tid.h"

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
  std::string text = Pad("PC", 6) + Pad("EPC", epcWidth + 2) + Pad(raw ? "RSSI" : "RSSI(dBm)", 11) + Pad("COUNT", 7) +
                     "IDENTITY\n";
  for (const Row& r : rows) {
    text += Pad(Hex16(r.tag->pc), 6) + Pad(ToHex(r.tag->epc), epcWidth + 2) + Pad(RssiText(r.tag->rssiRaw, raw), 11) +
            Pad(std::to_string(r.count), 7) + IdentityText(r.tag->pc, r.tag->epc) + "\n";
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
                    {"count", r.count},
                    {"uri", IdentityJson(r.tag->pc, r.tag->epc)["uri"]},
                    {"identity", IdentityJson(r.tag->pc, r.tag->epc)}});
  }
  nlohmann::json j = {{"command", "inventory"}, {"ok", inventory.ok}, {"tags", tags}, {"rssi_unit", raw ? "raw" : "dBm"}};
  j.update(StatusJson(inventory.sw));
  if (inventory.truncated) j["truncated"] = true;
  return j;
}

std::string IdentityText(uint16_t pc, const Bytes& epc) {
  zq_identity id;
  zq::client::FillIdentity(pc, epc.data(), epc.size(), &id);
  if (!id.is_gs1) return "-";
  if (id.element_string[0]) return id.element_string;
  return id.pure_uri;
}

nlohmann::json IdentityJson(uint16_t pc, const Bytes& epc) {
  zq_identity id;
  zq::client::FillIdentity(pc, epc.data(), epc.size(), &id);
  nlohmann::json j = {{"uri", id.tag_uri}, {"gs1", id.is_gs1 != 0}};
  if (!id.is_gs1) {
    j["reason"] = id.reason;
    return j;
  }
  j.update({{"scheme", id.scheme}, {"filter", id.filter}, {"pure_uri", id.pure_uri}});
  if (id.element_string[0]) j["element_string"] = id.element_string;
  if (id.digital_link[0]) j["digital_link"] = id.digital_link;
  if (id.gtin[0]) j["gtin"] = id.gtin;
  if (id.serial[0]) j["serial"] = id.serial;
  return j;
}

std::string ChipText(const Bytes& tid) {
  const zq::protocol::epc::TidInfo t = zq::protocol::epc::DecodeTid(tid.data(), tid.size());
  if (!t.ok) return "chip: not known (" + t.detail + ")\n";
  char line[160];
  std::snprintf(line, sizeof line, "chip: class %02X (%s)", t.allocationClass, t.className);
  std::string text = line;
  if (t.hasModel) {
    std::snprintf(line, sizeof line, ", mask designer %03X, model %03X", t.mdid, t.tmn);
    text += line;
  }
  if (t.xtid) text += ", extended TID";
  if (t.serialBits) text += ", serial of " + std::to_string(t.serialBits) + " bits" + (t.serial.empty() ? "" : " " + t.serial);
  return text + "\n";
}

nlohmann::json ChipJson(const Bytes& tid) {
  const zq::protocol::epc::TidInfo t = zq::protocol::epc::DecodeTid(tid.data(), tid.size());
  if (!t.ok) return {{"known", false}, {"detail", t.detail}};
  nlohmann::json j = {{"known", true}, {"class", Hex8(t.allocationClass)}, {"class_name", t.className}, {"xtid", t.xtid}};
  if (t.hasModel) j.update({{"mask_designer", t.mdid}, {"model", t.tmn}});
  if (t.serialBits) j["serial_bits"] = t.serialBits;
  if (!t.serial.empty()) j["serial"] = t.serial;
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
