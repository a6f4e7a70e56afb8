// What the tool prints: human tables and JSON objects for each result, and
// the watch mode's bookkeeping (which tags appeared, which went). Pure: the
// caller supplies the clock and writes the text.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tools/zelquar/app.h"

namespace zq::tool {

// ---- single results --------------------------------------------------------------

// A signal strength as shown: "-61.25" dBm, or the raw value "1234".
std::string RssiText(uint16_t value, bool raw);
nlohmann::json RssiJson(uint16_t value, bool raw);

// The table of one inventory: PC, EPC, RSSI, COUNT (a tag listed twice in
// one reply is one row with count 2).
std::string InventoryText(const Inventory& inventory, bool raw);
nlohmann::json InventoryJson(const Inventory& inventory, bool raw);

// The chip a TID bank read from word 0 names: "chip: ..." lines, and its JSON.
std::string ChipText(const Bytes& tid);
nlohmann::json ChipJson(const Bytes& tid);

// The GS1 identity of a PC word and EPC as the inventory shows it: the
// element string, else the pure-identity URI, else "-"; and as JSON
// (always with "uri", the tag URI or the raw URI).
std::string IdentityText(uint16_t pc, const Bytes& epc);
nlohmann::json IdentityJson(uint16_t pc, const Bytes& epc);

// {"status_word": "6404", "status": message, "reader_status": "0B", "tag_error": ...}
nlohmann::json StatusJson(uint16_t sw, std::optional<uint8_t> readerStatus = std::nullopt);
// "status 64 04: the tag answered with an error: 0B insufficient power ..."
std::string StatusText(uint16_t sw, std::optional<uint8_t> readerStatus = std::nullopt);

// {"call": "RFRW_Open", "result": -2, "name": "RFRW_ERROR_DEVICE", "message": ...}
nlohmann::json DriverErrorJson(const std::string& call, int32_t result);
// "RFRW_Open failed: RFRW_ERROR_DEVICE (-2): ..."
std::string DriverErrorText(const std::string& call, int32_t result);

// The information block as lines "head ...", "entry 01 = 23F6", "tail ...".
std::string InfoBlockText(const InfoBlock& block);
nlohmann::json InfoBlockJson(const InfoBlock& block);

// "1.1.0.6" from the 8 bytes of RFRW_GetDllVersion.
std::string DllVersionText(const uint8_t bytes[8]);

// ---- watch mode ----------------------------------------------------------------------

struct WatchEvent {
  enum Kind { kAppeared, kGone } kind = kAppeared;
  uint16_t pc = 0;
  Bytes epc;
  uint16_t rssi = 0;     // the latest signal strength
  uint64_t atMs = 0;     // since the watch began
  uint64_t seen = 0;     // inventories that listed it so far
};

// Keeps, per EPC, when a tag was first and last seen; a tag that no
// inventory listed for `goneMs` is gone, and appears again when it is next
// listed.
class WatchTracker {
 public:
  explicit WatchTracker(uint64_t goneMs) : goneMs_(goneMs) {}
  // One inventory taken at `nowMs`: the appearances and departures it shows.
  std::vector<WatchEvent> Round(const Inventory& inventory, uint64_t nowMs);
  // Rounds taken so far.
  uint64_t rounds() const { return rounds_; }

  struct Seen {
    uint16_t pc = 0;
    Bytes epc;
    uint16_t rssi = 0;
    uint64_t firstMs = 0;
    uint64_t lastMs = 0;
    uint64_t count = 0;    // inventories that listed it
    uint64_t appearances = 0;
    bool present = false;
  };
  // Every tag seen during the watch, by EPC hex.
  const std::map<std::string, Seen>& tags() const { return tags_; }

 private:
  uint64_t goneMs_;
  uint64_t rounds_ = 0;
  std::map<std::string, Seen> tags_;
};

std::string WatchEventText(const WatchEvent& event, bool raw);
nlohmann::json WatchEventJson(const WatchEvent& event, bool raw);
std::string WatchSummaryText(const WatchTracker& tracker, uint64_t durationMs, bool raw);
nlohmann::json WatchSummaryJson(const WatchTracker& tracker, uint64_t durationMs, bool raw);

}  // namespace zq::tool
