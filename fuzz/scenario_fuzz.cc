// Fuzz target: the simulator's scenario file reader, with any file text, as
// the program reads it (JSON without exceptions, then the scenario), and
// the same text as a tag list for "tags load". A scenario the reader
// accepts must start a device, carry the numbers the file says (not some
// other number they wrap to), and give tags that read back as themselves.
#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "sim/model/device.h"
#include "sim/model/scenario.h"

namespace {

// The file's number, whatever JSON type it came as.
bool SameNumber(const nlohmann::json& j, long double value) { return j.get<long double>() == value; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
  if (j.is_discarded()) return 0;

  zq::sim::Scenario s;
  if (zq::sim::ParseScenario(j, &s).empty()) {
    if (j.contains("unit") && !SameNumber(j["unit"], s.unit)) __builtin_trap();
    if (j.contains("tags")) {
      const nlohmann::json& list = j["tags"].is_object() ? j["tags"]["tags"] : j["tags"];
      if (list.size() != s.tags.size()) __builtin_trap();
      for (size_t i = 0; i < s.tags.size(); ++i) {
        if (list[i].contains("min_write_power") && !SameNumber(list[i]["min_write_power"], s.tags[i].min_write_power))
          __builtin_trap();
      }
    }
    // Each tag reads back as itself. A tag reports the EPC words its PC's
    // length field covers, as a real tag does when its PC and EPC memory
    // disagree, so that is what must come back.
    for (const zq::sim::Tag& t : s.tags) {
      zq::sim::Tag back;
      if (!zq::sim::ParseTag(zq::sim::TagToJson(t), &back).empty()) __builtin_trap();
      if (back.PcEpcBytes() != t.PcEpcBytes() || back.stored_crc() != t.stored_crc() || back.tid != t.tid ||
          back.user != t.user || back.rssi != t.rssi)
        __builtin_trap();
    }
    zq::sim::DeviceOptions options;
    options.scenario = j;
    zq::sim::Device device(options);
    if (!device.Reset().empty()) __builtin_trap();
    device.State(0);
  }

  // The same text as a tag file.
  zq::sim::Device device(zq::sim::DeviceOptions{});
  if (!device.Reset().empty()) __builtin_trap();
  const auto loaded = device.LoadTags(text, "fuzz.json");
  if (loaded.reply.compare(0, 2, "OK") != 0 && loaded.reply.compare(0, 3, "ERR") != 0) __builtin_trap();
  return 0;
}
