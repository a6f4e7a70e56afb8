// `zelquar agent ...` (tools/zelquar/agent_command.h) over the reader
// service's HTTP API.
#include "tools/zelquar/agent_command.h"

#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

namespace zq::tool {
namespace {

std::string Text(const nlohmann::json& j, const char* key) {
  if (!j.contains(key) || j[key].is_null()) return "-";
  return j[key].is_string() ? j[key].get<std::string>() : j[key].dump();
}

}  // namespace

ExitCode RunAgentCommand(const Options& o, const client::AgentAddress& agent) {
  constexpr int kAnswerMs = 30000;
  ExitCode failure = ExitCode::kRefused;
  auto get = [&](const std::string& path, nlohmann::json* out) {
    client::HttpAnswer r;
    if (!client::AgentRequest(agent, "GET", path, "", kAnswerMs, &r)) {
      std::cerr << "zelquar: agent: no reader service answers at " << agent.host << ":" << agent.port
                << " (start zelquar-agent, or set ZELQUAR_AGENT=HOST:PORT)\n";
      failure = ExitCode::kNoReader;
      return false;
    }
    *out = nlohmann::json::parse(r.body, nullptr, false);
    if (r.status != 200 || out->is_discarded()) {
      std::cerr << "zelquar: agent: " << path << ": " << r.status << " "
                << (out->is_object() ? Text(*out, "message") : r.body) << "\n";
      return false;
    }
    return true;
  };
  nlohmann::json a, b;
  if (o.agentWhat == "status") {
    if (!get("/api/readers", &a) || !get("/api/health", &b)) return failure;
    if (o.json) {
      std::cout << nlohmann::json{{"readers", a}, {"health", b}}.dump() << "\n";
      return ExitCode::kOk;
    }
    for (const auto& r : a)
      std::printf("%-16s %-10s inventory %-3s rounds %-8s last event #%s%s\n", Text(r, "serial").c_str(), Text(r, "state").c_str(),
                  r.value("inventory", false) ? "on" : "off", Text(r, "rounds").c_str(), Text(r, "last_seq").c_str(),
                  r.contains("last_error") ? ("  (" + Text(r, "last_error") + ")").c_str() : "");
    std::printf("%s reads/s, %s rounds/s, %s tags, journal %s events, %s errors\n", Text(b, "reads_per_s").c_str(),
                Text(b, "rounds_per_s").c_str(), Text(b, "tags").c_str(), Text(b, "journal_depth").c_str(), Text(b, "errors").c_str());
    return ExitCode::kOk;
  }
  if (o.agentWhat == "tags") {
    if (!get("/api/tags", &a)) return failure;
    if (o.json) {
      std::cout << a.dump() << "\n";
      return ExitCode::kOk;
    }
    std::printf("%-10s %-26s %8s %9s  %-7s %s\n", "READER", "EPC", "READS", "RSSI(dBm)", "STATE", "IDENTITY");
    for (const auto& t : a) {
      const nlohmann::json& rssi = t.value("rssi", nlohmann::json::object());
      char dbm[16] = "-";
      if (rssi.contains("last")) std::snprintf(dbm, sizeof dbm, "%.2f", rssi["last"].get<double>());
      const nlohmann::json& id = t.value("identity", nlohmann::json::object());
      std::printf("%-10s %-26s %8s %9s  %-7s %s\n", Text(t, "reader").c_str(), Text(t, "epc").c_str(), Text(t, "reads").c_str(), dbm,
                  t.value("present", false) ? "present" : "gone",
                  id.contains("element_string") ? Text(id, "element_string").c_str() : Text(id, "uri").c_str());
    }
    std::printf("%zu tags\n", a.size());
    return ExitCode::kOk;
  }
  if (!get("/api/events?after=" + std::to_string(o.agentAfter), &a)) return failure;
  for (const auto& e : a) {
    if (o.json) {
      std::cout << e.dump() << "\n";
      continue;
    }
    const std::string what = e.contains("epc") ? Text(e, "epc") : e.contains("state") ? Text(e, "state") : "";
    std::printf("#%-6s %s %-10s %-7s %s\n", Text(e, "seq").c_str(), Text(e, "time").c_str(), Text(e, "reader").c_str(),
                Text(e, "type").c_str(), what.c_str());
  }
  return ExitCode::kOk;
}

}  // namespace zq::tool
