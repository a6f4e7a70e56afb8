// The reader service's local API (agent/http_api.h).
//
// Sections: answers; operations (checks, calls); access; routes; the event
// stream; serving.
#include "agent/http_api.h"

#include <httplib.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/os/allocator.h"
#include "protocol/hex.h"

namespace zq::agent {
namespace {

// ---- answers -------------------------------------------------------------------------------

constexpr size_t kMostBody = 64 * 1024;
constexpr size_t kMostEvents = 1000;
constexpr uint32_t kLongestWaitMs = 60000;
constexpr uint32_t kOperationWaitMs = 60000;
// Tags: a listing after which free memory goes back (the trim costs far
// less than building such a listing; a smaller one leaves little behind).
constexpr size_t kLargeListing = 5000;
const char kChartLibrary[] = "/usr/share/javascript/chart.js/chart.min.js";

// The content type of the JSON answers. Written out with its charset on
// purpose: the server library compresses "application/json" with brotli at
// its highest quality whenever a browser accepts it, and for the tag table
// a live view fetches every second (360 KB with 1,000 tags) that cost the
// agent more CPU than making the table; on the loopback it gains nothing.
constexpr char kJsonType[] = "application/json; charset=utf-8";

void Json(httplib::Response& res, int status, const nlohmann::json& body) {
  res.status = status;
  res.set_content(body.dump(), kJsonType);
}

void Refuse(httplib::Response& res, int status, const std::string& message) {
  Json(res, status, {{"result", "refused"}, {"message", message}});
}

// Hex text of a JSON string (blanks allowed between digits).
bool FromHex(const nlohmann::json& j, std::vector<uint8_t>* out) {
  if (!j.is_string()) return false;
  std::string t = j.get<std::string>();
  t.erase(std::remove(t.begin(), t.end(), ' '), t.end());
  return protocol::ParseHexText(t, out);
}

bool Whole(const nlohmann::json& body, const char* key, uint64_t low, uint64_t high, uint64_t* out) {
  if (!body.contains(key)) return false;
  const nlohmann::json& v = body[key];
  if (!v.is_number_unsigned() && !(v.is_number_integer() && v.get<int64_t>() >= 0)) return false;
  const uint64_t n = v.get<uint64_t>();
  if (n < low || n > high) return false;
  *out = n;
  return true;
}

// ---- operations ------------------------------------------------------------------------------

const std::map<std::string, zq_bank> kBanks = {
    {"reserved", ZQ_BANK_RESERVED}, {"epc", ZQ_BANK_EPC}, {"tid", ZQ_BANK_TID}, {"user", ZQ_BANK_USER}};

// The answer of a call, as the tool's --json says it.
nlohmann::json Outcome(zq_result result, const zq_outcome& o) {
  char text[512];
  char sw[8];
  std::snprintf(sw, sizeof sw, "%04X", o.status_word);
  nlohmann::json j = {{"result", result == ZQ_OK ? "ok" : result == ZQ_REFUSED ? "refused" : result == ZQ_TAG_NOT_FOUND ? "tag not found" : "failed"},
                      {"code", static_cast<int>(result)},
                      {"status_word", sw},
                      {"message", zq_outcome_message(&o, text, sizeof text)}};
  if (o.driver_result) j["driver_result"] = o.driver_result;
  if (o.reader_status >= 0) j["reader_status"] = o.reader_status;
  if (o.words_written >= 0) j["words_written"] = o.words_written;
  return j;
}

// A PC word as the answers give it: four hex digits.
std::string PcText(uint16_t pc) {
  const uint8_t word[2] = {static_cast<uint8_t>(pc >> 8), static_cast<uint8_t>(pc)};
  return protocol::HexText(word, 2);
}

struct TagArgs {
  std::vector<uint8_t> epc, password;
  int32_t pc = -1;
};

std::string TagArguments(const nlohmann::json& body, TagArgs* a, bool passwordRequired) {
  if (!body.contains("epc") || !FromHex(body["epc"], &a->epc) || a->epc.empty() || a->epc.size() % 2 || a->epc.size() > 62)
    return "epc: the tag's EPC, hex, 1 to 31 whole words";
  if (body.contains("pc")) {
    std::vector<uint8_t> pc;
    if (!FromHex(body["pc"], &pc) || pc.size() != 2) return "pc: 4 hex digits";
    a->pc = pc[0] << 8 | pc[1];
  }
  if (body.contains("password")) {
    if (!FromHex(body["password"], &a->password) || a->password.size() != 4) return "password: 8 hex digits";
  } else if (passwordRequired) {
    return "password: 8 hex digits are needed";
  }
  return "";
}

}  // namespace

Service::Answer Operate(Service* service, const std::string& serial, const std::string& op, const nlohmann::json& body) {
  static const std::set<std::string> kOperations = {"read", "write", "lock", "kill", "write-epc", "power", "inventory"};
  if (std::string e = CheckOperation(op, body); !e.empty())
    return {kOperations.count(op) ? 400 : 404, {{"result", "refused"}, {"message", e}}};
  if (op == "inventory") return service->SetInventory(serial, body["action"] == "start");
  return service->Run(serial, [op, body](zq_reader* r) { return RunOperation(op, body, r); }, kOperationWaitMs);
}

std::string CheckOperation(const std::string& op, const nlohmann::json& body) {
  if (!body.is_object()) return "the body is a JSON object";
  TagArgs a;
  uint64_t n = 0;
  std::vector<uint8_t> bytes;
  if (op == "read" || op == "write") {
    if (std::string e = TagArguments(body, &a, false); !e.empty()) return e;
    if (!body.contains("bank") || !body["bank"].is_string() || !kBanks.count(body["bank"].get<std::string>()))
      return "bank: reserved, epc, tid or user";
    if (body.contains("ptr") && !Whole(body, "ptr", 0, 0xFFFFFFFF, &n)) return "ptr: a word address";
    if (op == "read" && !Whole(body, "words", 1, 255, &n)) return "words: 1 to 255";
    if (op == "write" && (!body.contains("data") || !FromHex(body["data"], &bytes) || bytes.size() < 2 || bytes.size() > 256 || bytes.size() % 2))
      return "data: hex, 1 to 128 whole words";
    if (body.contains("verify") && !body["verify"].is_boolean()) return "verify: true or false";
  } else if (op == "lock") {
    if (std::string e = TagArguments(body, &a, false); !e.empty()) return e;
    if (body.contains("lock") == body.contains("payload")) return "lock (FIELD=ACTION,...) or payload (6 hex digits), one of them";
    if (body.contains("lock") && !body["lock"].is_string()) return "lock: FIELD=ACTION[,FIELD=ACTION...]";
    if (body.contains("payload") && (!FromHex(body["payload"], &bytes) || bytes.size() != 3)) return "payload: 6 hex digits";
  } else if (op == "kill") {
    if (std::string e = TagArguments(body, &a, true); !e.empty()) return e;
    if (a.password == std::vector<uint8_t>(4, 0)) return "password: 00000000 kills no tag";
  } else if (op == "write-epc") {
    if (std::string e = TagArguments(body, &a, false); !e.empty()) return e;
    if (body.contains("new") == body.contains("uri")) return "new (hex) or uri (a GS1 identity), one of them";
    if (body.contains("new") && (!FromHex(body["new"], &bytes) || bytes.empty() || bytes.size() % 2 || bytes.size() > 62))
      return "new: hex, 1 to 31 whole words";
    if (body.contains("uri") && !body["uri"].is_string()) return "uri: a tag URI such as urn:epc:tag:sgtin-96:1.0614141.812345.6789";
  } else if (op == "power") {
    if (!body.contains("on") && !body.contains("level")) return "on (true or false) or level (0 to 63)";
    if (body.contains("on") && !body["on"].is_boolean()) return "on: true or false";
    if (body.contains("level") && !Whole(body, "level", 0, 63, &n)) return "level: 0 to 63";
  } else if (op == "inventory") {
    if (!body.contains("action") || !body["action"].is_string() ||
        (body["action"] != "start" && body["action"] != "stop"))
      return "action: start or stop";
  } else {
    return "no operation " + op + " (read, write, lock, kill, write-epc, power, inventory)";
  }
  return "";
}

nlohmann::json RunOperation(const std::string& op, const nlohmann::json& body, zq_reader* r) {
  TagArgs a;
  TagArguments(body, &a, false);
  const uint8_t* pw = a.password.empty() ? nullptr : a.password.data();
  zq_outcome o{};
  if (op == "read") {
    const unsigned words = body["words"].get<unsigned>();
    std::vector<uint8_t> data(2 * words);
    size_t got = 0;
    const zq_result res = zq_read(r, a.epc.data(), a.epc.size(), a.pc, kBanks.at(body["bank"]), body.value("ptr", 0u), words, pw,
                                  data.data(), data.size(), &got, &o);
    nlohmann::json j = Outcome(res, o);
    if (res == ZQ_OK) j["data"] = protocol::HexText(data.data(), got);
    return j;
  }
  if (op == "write") {
    std::vector<uint8_t> data;
    FromHex(body["data"], &data);
    return Outcome(zq_write(r, a.epc.data(), a.epc.size(), a.pc, kBanks.at(body["bank"]), body.value("ptr", 0u), data.data(),
                            data.size(), body.value("verify", false) ? 1 : 0, pw, &o),
                   o);
  }
  if (op == "lock") {
    uint8_t payload[3] = {};
    if (body.contains("lock")) {
      char why[256] = {};
      if (zq_lock_payload(body["lock"].get<std::string>().c_str(), payload, why, sizeof why) != ZQ_OK)
        return {{"result", "refused"}, {"message", std::string("lock: ") + why}, {"http_status", 400}};
    } else {
      std::vector<uint8_t> p;
      FromHex(body["payload"], &p);
      std::copy(p.begin(), p.end(), payload);
    }
    const uint8_t none[4] = {};
    return Outcome(zq_lock(r, a.epc.data(), a.epc.size(), a.pc, pw ? pw : none, payload, &o), o);
  }
  if (op == "kill") return Outcome(zq_kill(r, a.epc.data(), a.epc.size(), a.pc, pw, &o), o);
  if (op == "write-epc") {
    if (body.contains("uri")) {
      zq_tag written{};
      const zq_result res = zq_write_epc_uri(r, a.epc.data(), a.epc.size(), a.pc, body["uri"].get<std::string>().c_str(), pw, &written, &o);
      nlohmann::json j = Outcome(res, o);
      if (res == ZQ_BAD_ARGUMENT && o.driver_result == 0 && o.status_word == 0) {
        char why[256] = {};
        uint8_t epc[ZQ_EPC_MAX];
        size_t n = 0;
        uint16_t pc = 0;
        zq_encode_uri(body["uri"].get<std::string>().c_str(), epc, &n, &pc, why, sizeof why);
        j["message"] = std::string("uri: ") + why;
        j["http_status"] = 400;
      }
      if (res == ZQ_OK) {
        j["new"] = protocol::HexText(written.epc, written.epc_length);
        j["pc"] = PcText(written.pc);
      }
      return j;
    }
    std::vector<uint8_t> epc;
    FromHex(body["new"], &epc);
    uint16_t pc = 0;
    const zq_result res = zq_write_epc(r, a.epc.data(), a.epc.size(), a.pc, epc.data(), epc.size(), pw, &pc, &o);
    nlohmann::json j = Outcome(res, o);
    if (res == ZQ_OK) {
      j["new"] = protocol::HexText(epc.data(), epc.size());
      j["pc"] = PcText(pc);
    }
    return j;
  }
  if (op == "power") {
    if (body.contains("level")) {
      const zq_result res = zq_power_level(r, body["level"].get<unsigned>(), &o);
      if (res != ZQ_OK || !body.contains("on")) return Outcome(res, o);
    }
    return Outcome(zq_power(r, body["on"].get<bool>() ? 1 : 0, &o), o);
  }
  return {{"result", "refused"}, {"message", "no operation " + op}, {"http_status", 400}};
}

namespace {

// ---- access ---------------------------------------------------------------------------------

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char d = 0;
  for (size_t i = 0; i < a.size(); ++i) d |= static_cast<unsigned char>(a[i] ^ b[i]);
  return d == 0;
}

bool Allowed(const Config& c, const httplib::Request& req) {
  if (c.token.empty()) return true;
  const std::string auth = req.get_header_value("Authorization");
  if (auth.rfind("Bearer ", 0) == 0 && SameText(auth.substr(7), c.token)) return true;
  // The browser's EventSource cannot send a header: the page passes it in the query.
  return req.has_param("access_token") && SameText(req.get_param_value("access_token"), c.token);
}

bool ReadFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  *out = s.str();
  return true;
}

// The events as a JSON array, each as the journal keeps it.
}  // namespace

// ---- routes ---------------------------------------------------------------------------------

HttpApi::HttpApi(const Config& config, Service* service, Journal* journal)
    : config_(config), service_(service), journal_(journal), server_(std::make_unique<httplib::Server>()) {
  httplib::Server& s = *server_;
  s.new_task_queue = [] { return new httplib::ThreadPool(32); };
  s.set_payload_max_length(kMostBody);
  s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (Allowed(config_, req)) return httplib::Server::HandlerResponse::Unhandled;
    Refuse(res, 401, "an access token is needed (Authorization: Bearer TOKEN)");
    return httplib::Server::HandlerResponse::Handled;
  });
  s.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
    if (!res.body.empty()) return;
    const std::string what = res.status == 404   ? "no such route: " + req.method + " " + req.path
                             : res.status == 413 ? "the body is larger than " + std::to_string(kMostBody) + " bytes"
                                                 : "bad request";
    Refuse(res, res.status, what);
  });

  s.Get("/api/readers", [this](const httplib::Request&, httplib::Response& res) { Json(res, 200, service_->ReadersJson()); });
  s.Get("/api/tags", [this](const httplib::Request& req, httplib::Response& res) {
    std::string epc = req.get_param_value("epc");
    for (char& c : epc) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    bool large = false;
    {
      const nlohmann::json tags = service_->TagsJson(req.get_param_value("reader"), epc, req.get_param_value("history") == "1");
      large = tags.size() >= kLargeListing;
      Json(res, 200, tags);
    }
    // The document of a large list is several times its text: give what it
    // took back at once rather than keep it for the next listing.
    if (large) platform::ReturnFreeMemory();
  });
  s.Get("/api/health", [this](const httplib::Request&, httplib::Response& res) { Json(res, 200, service_->HealthJson()); });
  s.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
    uint64_t after = 0, wait = 0;
    try {
      if (req.has_param("after")) after = std::stoull(req.get_param_value("after"));
      if (req.has_param("wait_ms")) wait = std::min<uint64_t>(std::stoull(req.get_param_value("wait_ms")), kLongestWaitMs);
    } catch (const std::exception&) {
      return Refuse(res, 400, "after and wait_ms are whole numbers");
    }
    const std::string reader = req.get_param_value("reader");
    const int64_t mark = journal_->LastPosition();
    std::vector<StoredEvent> events = journal_->AfterSeq(reader, after, kMostEvents);
    if (events.empty() && wait > 0 && journal_->WaitBeyond(mark, static_cast<uint32_t>(wait)))
      events = journal_->AfterSeq(reader, after, kMostEvents);
    res.set_content(EventsArrayJson(events), kJsonType);
  });
  s.Get("/api/stream", [this](const httplib::Request& req, httplib::Response& res) { Stream(req, res); });
  s.Post(R"(/api/readers/([^/]+)/([a-z-]+))", [this](const httplib::Request& req, httplib::Response& res) {
    const std::string serial = req.matches[1], op = req.matches[2];
    const nlohmann::json body = req.body.empty() ? nlohmann::json::object() : nlohmann::json::parse(req.body, nullptr, false);
    if (body.is_discarded()) return Refuse(res, 400, "the body is not JSON");
    const Service::Answer a = Operate(service_, serial, op, body);
    Json(res, a.status, a.body);
  });

  // The live view: its files, and the chart library from the system's packages.
  const std::string web = config_.webDir;
  s.Get("/vendor/chart.min.js", [](const httplib::Request&, httplib::Response& res) {
    std::string text;
    if (!ReadFile(kChartLibrary, &text)) return Refuse(res, 404, std::string("the chart library is not installed (") + kChartLibrary + ")");
    res.set_content(text, "application/javascript; charset=utf-8");  // 200 KB: not compressed again for every page
  });
  if (!web.empty()) s.set_mount_point("/", web);
}

HttpApi::~HttpApi() { Stop(); }

// ---- the event stream -----------------------------------------------------------------------

void HttpApi::Stream(const httplib::Request& req, httplib::Response& res) {
  // Where to start: after the event Last-Event-ID names (READER:SEQ), from
  // the oldest kept event with ?from=start, else with what comes next.
  int64_t position = journal_->LastPosition();
  const std::string last = req.get_header_value("Last-Event-ID");
  const size_t colon = last.rfind(':');
  if (colon != std::string::npos) {
    uint64_t seq = 0;
    try {
      seq = std::stoull(last.substr(colon + 1));
    } catch (const std::exception&) {
      seq = 0;
    }
    const int64_t at = journal_->PositionOf(last.substr(0, colon), seq);
    // An event no longer kept: everything kept, the gap events included.
    position = at ? at : 0;
  } else if (req.get_param_value("from") == "start") {
    position = 0;
  }
  auto cursor = std::make_shared<int64_t>(position);
  res.set_header("Cache-Control", "no-cache");
  res.set_chunked_content_provider("text/event-stream", [this, cursor](size_t, httplib::DataSink& sink) {
    if (stopping_) return false;
    std::vector<StoredEvent> events = journal_->AfterPosition(*cursor, 500);
    if (events.empty()) {
      journal_->WaitBeyond(*cursor, 15000);
      if (stopping_) return false;
      events = journal_->AfterPosition(*cursor, 500);
      if (events.empty()) {
        static const char kKeepAlive[] = ": keep-alive\n\n";
        return sink.write(kKeepAlive, sizeof kKeepAlive - 1);
      }
    }
    std::string chunk;
    for (const StoredEvent& e : events) {
      chunk += "id: " + e.reader + ":" + std::to_string(e.seq) + "\nevent: " + e.type + "\ndata: " + e.json + "\n\n";
      *cursor = e.position;
    }
    return sink.write(chunk.data(), chunk.size());
  });
}

// ---- serving ----------------------------------------------------------------------------------

bool HttpApi::Bind(std::string* error) {
  if (!server_->bind_to_port(config_.httpHost.c_str(), config_.httpPort)) {
    *error = "cannot listen on " + config_.httpHost + ":" + std::to_string(config_.httpPort) + " (in use, or not an address of this host)";
    return false;
  }
  return true;
}

void HttpApi::Serve() { server_->listen_after_bind(); }

void HttpApi::Stop() {
  stopping_ = true;
  journal_->WakeAll();
  if (server_) server_->stop();
}

}  // namespace zq::agent
