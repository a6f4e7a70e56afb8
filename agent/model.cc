// The reader service's pure parts (agent/model.h).
//
// Sections: configuration (keys, file, flags, checks); events; the tag table.
#include "agent/model.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <chrono>
#include <functional>
#include <sstream>

namespace zq::agent {

// ---- configuration ---------------------------------------------------------------------

const char kUsage[] =
    "usage: zelquar-agent [--config FILE] [--sim[=SCENARIO.json]] [--http HOST:PORT] [--journal PATH]\n"
    "                     [--token TOKEN] [--reader SERIAL|PORT]... [--interval MS] [--session N]\n"
    "                     [--rounds N] [--leave-after MS] [--summary MS] [--web DIR]\n"
    "                     [--mqtt mqtt[s]://HOST[:PORT]] [--site NAME]\n";

namespace {

std::string Trim(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\t' || s[a] == '\r')) ++a;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t' || s[b - 1] == '\r')) --b;
  return s.substr(a, b - a);
}

bool Number(const std::string& text, uint64_t low, uint64_t high, uint64_t* out) {
  uint64_t v = 0;
  const int base = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? 16 : 10;
  const char* begin = text.data() + (base == 16 ? 2 : 0);
  const auto [end, ec] = std::from_chars(begin, text.data() + text.size(), v, base);
  if (ec != std::errc() || end != text.data() + text.size() || begin == end || v < low || v > high) return false;
  *out = v;
  return true;
}

// A reader named by a serial number, or by a port number (0x0100 or 256).
std::string ParseReader(const std::string& text, ReaderChoice* out) {
  uint64_t port = 0;
  if (Number(text, 0, 0xFFFF, &port)) {
    if ((port >> 8) < 1 || (port >> 8) > 32 || (port & 0xFF) > 31)
      return "a port is COM 1..32 in bits 15..8 and unit 0..31 in bits 7..0 (0x0100)";
    *out = ReaderChoice{"", static_cast<uint32_t>(port)};
    return "";
  }
  if (text.empty() || text.size() > 63) return "a reader is a serial number (1 to 63 characters) or a port number";
  for (const char c : text)
    if (c < 0x21 || c > 0x7E) return "a serial number is printable ASCII without blanks";
  *out = ReaderChoice{text, 0};
  return "";
}

// One setting by key; "" or what is wrong with the value.
// The whole-number keys: their range, what the range means, and where they go.
struct NumberKey {
  const char* key;
  uint64_t low, high;
  const char* range;
  void (*set)(Config*, uint64_t);
};
const NumberKey kNumberKeys[] = {
    {"interval_ms", 0, 3600000, "0 to 3600000", [](Config* c, uint64_t n) { c->intervalMs = static_cast<uint32_t>(n); }},
    {"session", 0, 3, "0 to 3", [](Config* c, uint64_t n) { c->session = static_cast<int>(n); }},
    {"rounds", 0, 1000, "0 (until the field is whole) to 1000", [](Config* c, uint64_t n) { c->rounds = static_cast<unsigned>(n); }},
    {"leave_after_ms", 1, 86400000, "1 to 86400000", [](Config* c, uint64_t n) { c->leaveAfterMs = static_cast<uint32_t>(n); }},
    {"summary_ms", 0, 86400000, "0 (none) to 86400000", [](Config* c, uint64_t n) { c->summaryMs = static_cast<uint32_t>(n); }},
    {"journal_max_events", 10, 1000000000, "10 to 1000000000", [](Config* c, uint64_t n) { c->journalMaxEvents = n; }},
    {"journal_max_age_s", 1, 10ull * 365 * 86400, "1 to 315360000", [](Config* c, uint64_t n) { c->journalMaxAgeS = n; }},
    {"history_points", 1, 100000, "1 to 100000", [](Config* c, uint64_t n) { c->historyPoints = n; }},
    {"mqtt_max_rate", 1, 100000, "1 to 100000 messages per second", [](Config* c, uint64_t n) { c->mqttMaxRate = static_cast<uint32_t>(n); }},
    {"mqtt_health_s", 0, 86400, "0 (none) to 86400", [](Config* c, uint64_t n) { c->mqttHealthS = static_cast<uint32_t>(n); }},
};

// A name that may stand in a topic level: no wildcard, no separator.
bool TopicWord(const std::string& text) {
  if (text.empty() || text.size() > 64) return false;
  for (const char c : text)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.')) return false;
  return true;
}

// The text settings of the MQTT publisher: "" or what is wrong.
std::string ApplyMqtt(const std::string& key, const std::string& value, Config* c) {
  if (key == "mqtt") {
    const bool tls = value.rfind("mqtts://", 0) == 0;
    if (!tls && value.rfind("mqtt://", 0) != 0) return "mqtt: mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";
    const std::string rest = value.substr(tls ? 8 : 7);
    const size_t colon = rest.rfind(':');
    uint64_t n = 0;
    if (rest.empty() || rest.find('/') != std::string::npos || colon == 0 ||
        (colon != std::string::npos && !Number(rest.substr(colon + 1), 1, 65535, &n)))
      return "mqtt: mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";
    c->mqttUrl = value;
  } else if (key == "site") {
    if (!TopicWord(value)) return "site: 1 to 64 letters, digits, '-', '_' or '.'";
    c->site = value;
  } else if (key == "mqtt_prefix") {
    if (value.empty() || value.back() != '/' || value.find_first_of("+# ") != std::string::npos)
      return "mqtt_prefix: topic levels ending in '/', no wildcards ({site} and {reader} are replaced)";
    c->mqttPrefix = value;
  } else if (key == "mqtt_client_id") {
    if (!TopicWord(value)) return "mqtt_client_id: 1 to 64 letters, digits, '-', '_' or '.'";
    c->mqttClientId = value;
  } else if (key == "mqtt_protocol") {
    if (value != "5" && value != "3.1.1") return "mqtt_protocol: 5 (falling back to 3.1.1 where the broker has no 5) or 3.1.1";
    c->mqtt311 = value == "3.1.1";
  } else if (key == "mqtt_format") {
    if (value != "json" && value != "epcis") return "mqtt_format: json (the event JSON) or epcis (EPCIS 2.0 documents)";
    c->mqttEpcis = value == "epcis";
  } else if (key == "epcis_read_point") {
    if (value.find(':') == std::string::npos || value.find_first_of(" \t") != std::string::npos)
      return "epcis_read_point: a URI (urn:epc:id:sgln:...); {site} and {reader} are replaced";
    c->epcisReadPoint = value;
  } else if (key == "mqtt_user") {
    c->mqttUser = value;
  } else if (key == "mqtt_password") {
    c->mqttPassword = value;
  } else if (key == "mqtt_ca" || key == "mqtt_cert" || key == "mqtt_key") {
    if (value.empty()) return key + ": a PEM file";
    (key == "mqtt_ca" ? c->mqttCa : key == "mqtt_cert" ? c->mqttCert : c->mqttKey) = value;
  } else {
    return "unknown key " + key;
  }
  return "";
}

std::string Apply(const std::string& key, const std::string& value, Config* c) {
  uint64_t n = 0;
  for (const NumberKey& k : kNumberKeys) {
    if (key != k.key) continue;
    if (!Number(value, k.low, k.high, &n)) return key + ": " + k.range;
    k.set(c, n);
    return "";
  }
  if (key == "http") {
    const size_t colon = value.rfind(':');
    if (colon == std::string::npos || colon == 0 || !Number(value.substr(colon + 1), 1, 65535, &n))
      return "http: HOST:PORT (127.0.0.1:8700)";
    c->httpHost = value.substr(0, colon);
    c->httpPort = static_cast<uint16_t>(n);
  } else if (key == "token") {
    if (value.size() < 8 || value.find_first_of(" \t") != std::string::npos) return "token: at least 8 characters, no blanks";
    c->token = value;
  } else if (key == "journal") {
    if (value.empty()) return "journal: a file path";
    c->journal = value;
  } else if (key == "readers" || key == "reader") {
    if (key == "readers") c->readers.clear();
    std::stringstream in(value);
    for (std::string item; std::getline(in, item, ',');) {
      ReaderChoice r;
      if (std::string e = ParseReader(Trim(item), &r); !e.empty()) return key + ": " + e;
      c->readers.push_back(r);
    }
  } else if (key == "web") {
    c->webDir = value;
  } else {
    return ApplyMqtt(key, value, c);
  }
  return "";
}

}  // namespace

bool IsLoopback(const std::string& host) {
  return host == "localhost" || host == "::1" || host == "[::1]" || host.rfind("127.", 0) == 0;
}

std::string ApplyConfigText(const std::string& text, const std::string& fileName, Config* config) {
  std::stringstream in(text);
  size_t lineNo = 0;
  for (std::string line; std::getline(in, line);) {
    ++lineNo;
    const std::string t = Trim(line);
    if (t.empty() || t[0] == '#' || t[0] == ';') continue;
    const size_t eq = t.find('=');
    const std::string where = fileName + ":" + std::to_string(lineNo) + ": ";
    if (eq == std::string::npos) return where + "expected KEY = VALUE, not \"" + t + "\"";
    if (std::string e = Apply(Trim(t.substr(0, eq)), Trim(t.substr(eq + 1)), config); !e.empty()) return where + e;
  }
  return "";
}

std::string ApplyFlags(const std::vector<std::string>& args, Config* config, std::string* configFile, bool* help) {
  static const std::map<std::string, std::string> kKeys = {
      {"--http", "http"},         {"--token", "token"},       {"--journal", "journal"},
      {"--reader", "reader"},     {"--interval", "interval_ms"}, {"--session", "session"},
      {"--rounds", "rounds"},     {"--leave-after", "leave_after_ms"}, {"--summary", "summary_ms"},
      {"--web", "web"},           {"--mqtt", "mqtt"},         {"--site", "site"}};
  for (size_t i = 0; i < args.size(); ++i) {
    std::string a = args[i], value;
    const size_t eq = a.find('=');
    const bool inlineValue = eq != std::string::npos && a.rfind("--", 0) == 0;
    if (inlineValue) {
      value = a.substr(eq + 1);
      a = a.substr(0, eq);
    }
    if (a == "-h" || a == "--help") {
      *help = true;
      continue;
    }
    if (a == "--sim") {
      config->sim = true;
      config->scenario = value;
      continue;
    }
    if (a != "--config" && !kKeys.count(a)) return a + ": unknown option";
    if (!inlineValue) {
      if (i + 1 >= args.size()) return a + ": a value is missing";
      value = args[++i];
    }
    if (a == "--config") {
      *configFile = value;
      continue;
    }
    if (std::string e = Apply(kKeys.at(a), value, config); !e.empty()) return a + ": " + e;
  }
  return "";
}

std::string CheckConfig(const Config& c) {
  if (!IsLoopback(c.httpHost) && c.token.empty())
    return "http: " + c.httpHost + " is reachable from other hosts: set a token (--token or token = ...) to bind it";
  if (c.mqttCert.empty() != c.mqttKey.empty()) return "mqtt_cert and mqtt_key: a client certificate needs its key, and the key its certificate";
  if ((!c.mqttCa.empty() || !c.mqttCert.empty()) && c.mqttUrl.rfind("mqtts://", 0) != 0)
    return "mqtt_ca, mqtt_cert: for an mqtts:// broker only";
  return "";
}

// ---- events --------------------------------------------------------------------------------

std::string UtcText(int64_t ms) {
  using namespace std::chrono;
  const sys_days day = floor<days>(sys_time<milliseconds>(milliseconds(ms)));
  const year_month_day ymd(day);
  const int64_t inDay = ms - duration_cast<milliseconds>(day.time_since_epoch()).count();
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()), static_cast<int>(inDay / 3600000),
                static_cast<int>(inDay / 60000 % 60), static_cast<int>(inDay / 1000 % 60), static_cast<int>(inDay % 1000));
  return text;
}

std::string EventJson(const Event& e, const std::string& boot, uint64_t seq) {
  nlohmann::ordered_json j;
  j["v"] = 1;
  j["type"] = e.type;
  j["reader"] = e.reader;
  j["boot"] = boot;
  j["seq"] = seq;
  j["time"] = UtcText(e.timeMs);
  for (const auto& [k, v] : e.fields.items()) j[k] = v;
  return j.dump();
}

// ---- the tag table ---------------------------------------------------------------------------

namespace {
constexpr int64_t kRateWindowMs = 5000;
// A tag that left stays in the table this long, then is forgotten.
constexpr int64_t kForgetAfterMs = 3600 * 1000;

nlohmann::json TagFields(const TagEntry& t) {
  nlohmann::json j = {{"epc", t.epc}, {"pc", [&] { char b[8]; std::snprintf(b, sizeof b, "%04X", t.pc); return std::string(b); }()},
                      {"reads", t.reads}, {"first_seen", UtcText(t.firstSeenMs)}, {"last_seen", UtcText(t.lastSeenMs)}};
  if (t.rssiLast) j["rssi_dbm"] = *t.rssiLast;
  if (!t.identity.is_null()) j["identity"] = t.identity;
  return j;
}
}  // namespace

double ReadsPerSecond(const TagEntry& t, int64_t nowMs) {
  size_t n = 0;
  for (auto it = t.recentReads.rbegin(); it != t.recentReads.rend() && nowMs - *it <= kRateWindowMs; ++it) ++n;
  const int64_t span = std::min<int64_t>(kRateWindowMs, std::max<int64_t>(nowMs - t.firstSeenMs, 1000));
  return static_cast<double>(n) * 1000.0 / static_cast<double>(span);
}

std::vector<Event> TagTable::Round(const std::string& reader, const std::vector<Sighting>& seen, int64_t nowMs) {
  std::vector<Event> events;
  for (const Sighting& s : seen) {
    auto [it, fresh] = tags_.try_emplace({reader, s.epc});
    TagEntry& t = it->second;
    if (fresh) {
      t.reader = reader;
      t.epc = s.epc;
      t.firstSeenMs = nowMs;
      t.present = false;
    }
    t.pc = s.pc;
    if (!s.identity.is_null()) t.identity = s.identity;
    t.lastSeenMs = nowMs;
    ++t.reads;
    ++totalReads_;
    t.recentReads.push_back(nowMs);
    while (!t.recentReads.empty() && nowMs - t.recentReads.front() > kRateWindowMs) t.recentReads.pop_front();
    if (s.rssiDbm) {
      t.rssiLast = s.rssiDbm;
      t.rssiPeak = t.rssiPeak ? std::max(*t.rssiPeak, *s.rssiDbm) : *s.rssiDbm;
      t.rssiSum += *s.rssiDbm;
      ++t.rssiCount;
      t.history.emplace_back(nowMs, *s.rssiDbm);
      while (t.history.size() > historyPoints_) t.history.pop_front();
    }
    if (!t.present) {
      t.present = true;
      events.push_back(Event{"appear", reader, nowMs, TagFields(t)});
    }
  }
  for (auto it = tags_.begin(); it != tags_.end();) {
    TagEntry& t = it->second;
    if (t.reader == reader && t.present && nowMs - t.lastSeenMs >= leaveAfterMs_) {
      t.present = false;
      events.push_back(Event{"leave", reader, nowMs, TagFields(t)});
    }
    if (t.reader == reader && !t.present && nowMs - t.lastSeenMs >= kForgetAfterMs) {
      it = tags_.erase(it);
    } else {
      ++it;
    }
  }
  return events;
}

Event TagTable::Summary(const std::string& reader, int64_t nowMs) {
  uint64_t present = 0, reads = 0;
  for (const auto& [key, t] : tags_) {
    if (t.reader != reader) continue;
    present += t.present ? 1 : 0;
    reads += t.reads;
  }
  const uint64_t before = readsAtSummary_[reader];
  readsAtSummary_[reader] = reads;
  return Event{"summary", reader, nowMs, {{"present", present}, {"reads", reads >= before ? reads - before : reads}}};
}

nlohmann::json TagTable::Json(const std::string& reader, int64_t nowMs, const std::string& epc, bool withHistory) const {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& [key, t] : tags_) {
    if (!reader.empty() && t.reader != reader) continue;
    if (!epc.empty() && t.epc != epc) continue;
    nlohmann::json j = TagFields(t);
    j["reader"] = t.reader;
    j["present"] = t.present;
    j["reads_per_s"] = ReadsPerSecond(t, nowMs);
    nlohmann::json rssi = nlohmann::json::object();
    if (t.rssiLast) rssi["last"] = *t.rssiLast;
    if (t.rssiPeak) rssi["peak"] = *t.rssiPeak;
    if (t.rssiCount) rssi["mean"] = t.rssiSum / static_cast<double>(t.rssiCount);
    j["rssi"] = rssi;
    if (withHistory) {
      nlohmann::json history = nlohmann::json::array();
      for (const auto& [ms, dbm] : t.history) history.push_back({ms, dbm});
      j["history"] = history;
    }
    list.push_back(std::move(j));
  }
  return list;
}

void TagTable::Clear(const std::string& reader) {
  for (auto it = tags_.begin(); it != tags_.end();) it = it->second.reader == reader ? tags_.erase(it) : std::next(it);
}

}  // namespace zq::agent
