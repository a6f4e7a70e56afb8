// The scenario file and tag descriptions in JSON: what a simulated reader
// starts with, and how its tags are reported back.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "sim/model/tags.h"

namespace zq::sim {

// A further reader module on the same UART: it answers the frames of its
// own unit, with tags of its own.
struct ExtraUnit {
  int unit = 1;
  std::vector<Tag> tags;
};

struct Scenario {
  int unit = 0;
  std::array<uint8_t, 2> firmware{0x01, 0x23};
  std::vector<Tag> tags;
  std::vector<ExtraUnit> extra_units;  // "extra_units": [{"unit": N, "tags": [...]}]
  // "read_range": [FLOOR, FULL]: raw strengths at which a tag is never and
  // always read (ReaderOptions::read_floor); "seed": of the draws.
  uint16_t read_floor = 0;
  uint16_t read_full = 0;
  uint32_t seed = 1;
};

// JSON text from a file or a control line, parsed once its nesting is known
// to stay within kMaxJsonDepth (a scenario needs six levels; a parser that
// follows thousands of them can run out of stack). Empty string on
// success, else what is wrong ("not JSON", "nested deeper than ...").
inline constexpr size_t kMaxJsonDepth = 64;
std::string ParseJsonText(const std::string& text, nlohmann::json* out);

// The three tags of a reader started without a scenario.
std::vector<Tag> DefaultTags();

// Parses a scenario; every field is optional. Empty string on success, else
// what is wrong.
std::string ParseScenario(const nlohmann::json& j, Scenario* out);
// One tag: "epc" (hex, whole words) is required; "pc", "tid", "user",
// "kill_password", "access_password", "rssi", "locked", and this simulator's
// own "permalocked", "min_write_power" and its strength's motion ("path",
// "path_repeat", "noise": ParseMotion) are optional.
std::string ParseTag(const nlohmann::json& j, Tag* out);
// The motion of a tag's strength from an object with "path" ([[MS, RAW],
// ...], times rising), "path_repeat" and "noise" (RAW), each optional: a
// path starts again from its beginning at the next round. Empty string on
// success, else what is wrong; `out` unchanged then.
std::string ParseMotion(const nlohmann::json& j, Tag* out);
// A tag list: an array of tags, or an object with "tags".
std::string ParseTagList(const nlohmann::json& j, std::vector<Tag>* out);

// The tag as the state report shows it; its inventoried flags (S0..S3,
// "A" or "B" each) as they are at `now`.
nlohmann::json TagToJson(const Tag& t, uint64_t now = 0);
// The EPC (without PC) in hex, as "tag remove" names it.
std::string EpcHex(const Tag& t);

}  // namespace zq::sim
