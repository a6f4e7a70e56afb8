// The reader service's pure parts: its configuration (file and flags), the
// events it journals and their JSON, and the tag table that turns
// inventory rounds into events. No system calls: tests feed them data.
//
// Sections: configuration; events; the tag table.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace zq::agent {

// ---- configuration ---------------------------------------------------------------------

// One reader the service owns: by USB serial number, or by driver port.
struct ReaderChoice {
  std::string serial;  // "" for a port
  uint32_t port = 0;
};

struct Config {
  std::string httpHost = "127.0.0.1";
  uint16_t httpPort = 8700;
  std::string token;                  // "" for none (then only loopback may be bound)
  std::string journal = "zelquar-agent.db";
  std::vector<ReaderChoice> readers;  // empty: every reader present at the start
  uint32_t intervalMs = 200;          // from the end of one inventory to the next
  int session = 2;
  unsigned rounds = 0;                // the most rounds of one inventory; 0 until the field is whole
  uint32_t leaveAfterMs = 3000;       // a tag not seen for this long has left
  uint32_t summaryMs = 0;             // 0: no periodic summary
  uint64_t journalMaxEvents = 1000000;
  uint64_t journalMaxAgeS = 7 * 24 * 3600;
  size_t historyPoints = 100;         // (time, strength) points kept per tag
  bool sim = false;                   // a private simulator
  std::string scenario;               // its scenario file
  std::string webDir;                 // the page's files ("" beside the program)
  // The MQTT publisher (agent/mqtt/publisher.h): off while mqttUrl is "".
  std::string mqttUrl;                // mqtt://HOST[:PORT] or mqtts://HOST[:PORT]
  std::string site = "site";          // the site's name in the topics
  std::string mqttPrefix = "zelquar/v1/{site}/{reader}/";  // every topic's start
  std::string mqttClientId;           // "" : zelquar-{site}-{reader}
  std::string mqttUser, mqttPassword;
  std::string mqttCa, mqttCert, mqttKey;  // PEM files for mqtts://
  uint32_t mqttMaxRate = 100;         // messages per second at most
  uint32_t mqttHealthS = 30;          // a health message this often (0: none)
  bool mqtt311 = false;               // MQTT 3.1.1 from the start (else 5, falling back to 3.1.1)
  bool mqttEpcis = false;             // events as EPCIS 2.0 documents instead of the event JSON
  std::string epcisReadPoint = "urn:zelquar:readpoint:{site}:{reader}";  // the ObjectEvents' readPoint
};

// The keys of the file and their flags; "FILE:LINE: ..." or "--flag: ..."
// for what is wrong, "" when all is well. Later settings override earlier
// ones, so flags parsed after the file win.
std::string ApplyConfigText(const std::string& text, const std::string& fileName, Config* config);
std::string ApplyFlags(const std::vector<std::string>& args, Config* config, std::string* configFile, bool* help);
// "" or what makes the settings unusable together (a non-loopback address
// without a token).
std::string CheckConfig(const Config& config);
bool IsLoopback(const std::string& host);
extern const char kUsage[];

// ---- events --------------------------------------------------------------------------------

// One event before the journal numbers it: its type ("appear", "leave",
// "summary", "reader", "gap"), reader, UTC time in ms and its own fields.
struct Event {
  std::string type;
  std::string reader;
  int64_t timeMs = 0;
  nlohmann::json fields = nlohmann::json::object();
};

// The event JSON of version 1: {"v":1,"type","reader","boot","seq","time",...}.
std::string EventJson(const Event& event, const std::string& boot, uint64_t seq);
// "2026-12-10T22:41:07.123Z"
std::string UtcText(int64_t ms);

// ---- the tag table ---------------------------------------------------------------------------

// One tag an inventory listed.
struct Sighting {
  std::string epc;  // hex, upper case
  uint16_t pc = 0;
  std::optional<double> rssiDbm;
  nlohmann::json identity;  // the GS1 identity as the client library decodes it, or null
};

struct TagEntry {
  std::string reader, epc;
  uint16_t pc = 0;
  nlohmann::json identity;
  int64_t firstSeenMs = 0, lastSeenMs = 0;
  uint64_t reads = 0;
  std::optional<double> rssiLast, rssiPeak;
  double rssiSum = 0;
  uint64_t rssiCount = 0;
  std::deque<std::pair<int64_t, double>> history;  // (time, dBm), the latest historyPoints
  std::deque<int64_t> recentReads;                  // read times of the last rate window
  bool present = true;
};

// Per reader and EPC what was seen. Not thread-safe: the service locks it.
class TagTable {
 public:
  TagTable(uint32_t leaveAfterMs, size_t historyPoints) : leaveAfterMs_(leaveAfterMs), historyPoints_(historyPoints) {}
  // A reloaded configuration's absence and history length, from the next round on.
  void SetLeaveAfter(uint32_t ms) { leaveAfterMs_ = ms; }
  void SetHistoryPoints(size_t points) { historyPoints_ = points; }
  // One inventory of `reader` at `nowMs`: `appear` for each tag first seen
  // (or seen again after it left), `leave` for each present tag of that
  // reader not seen for leaveAfterMs.
  std::vector<Event> Round(const std::string& reader, const std::vector<Sighting>& seen, int64_t nowMs);
  // `summary` of a reader: tags present, reads since the last summary.
  Event Summary(const std::string& reader, int64_t nowMs);
  // The table as JSON (one reader's, or every reader's for ""; one tag's
  // for an `epc`), sorted by reader and EPC; the strength history only
  // with `history` (it is most of the table).
  nlohmann::json Json(const std::string& reader, int64_t nowMs, const std::string& epc = "", bool history = false) const;
  size_t size() const { return tags_.size(); }
  uint64_t reads() const { return totalReads_; }
  // Drops what a reader's table holds (the API's clear).
  void Clear(const std::string& reader);

 private:
  uint32_t leaveAfterMs_;
  size_t historyPoints_;
  std::map<std::pair<std::string, std::string>, TagEntry> tags_;
  std::map<std::string, uint64_t> readsAtSummary_;
  uint64_t totalReads_ = 0;
};

// The reads per second of a tag over the last few seconds.
double ReadsPerSecond(const TagEntry& entry, int64_t nowMs);

}  // namespace zq::agent
