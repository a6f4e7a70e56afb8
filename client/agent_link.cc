// The agent's answers as the client library gives them.
#include "client/agent_link.h"

#include "ZELQUAR_Drv.h"
#include "protocol/hex.h"
#include "protocol/text.h"

namespace zq::client {

// ---- the agent's answers ------------------------------------------------------------------------

std::string AgentReaderFor(const nlohmann::json& readers, const std::string& serial, uint32_t port) {
  if (!readers.is_array()) return "";
  for (const nlohmann::json& r : readers) {
    if (!r.is_object() || !r.contains("serial") || !r["serial"].is_string()) continue;
    const std::string name = r["serial"].get<std::string>();
    if (!serial.empty()) {
      if (protocol::EqualIgnoringCase(name, serial)) return name;
      continue;
    }
    if (port == 0) return name;
    if (r.contains("port") && r["port"].is_number_unsigned() && r["port"].get<uint32_t>() == port) return name;
  }
  return "";
}

zq_result AgentOutcome(const HttpAnswer& answer, const nlohmann::json& body, zq_outcome* outcome) {
  zq_outcome o{ZQ_DRIVER_ERROR, RFRW_ERROR_EXCHANGE, 0, -1, -1};
  if (body.is_object() && body.contains("code") && body["code"].is_number_integer()) {
    const int code = body["code"].get<int>();
    o.result = code >= ZQ_OK && code <= ZQ_NOT_THROUGH_AGENT ? static_cast<zq_result>(code) : ZQ_DRIVER_ERROR;
    o.driver_result = body.value("driver_result", 0);
    std::vector<uint8_t> sw;
    if (body.contains("status_word") && body["status_word"].is_string() &&
        protocol::ParseHexText(body["status_word"].get<std::string>(), &sw) && sw.size() == 2)
      o.status_word = static_cast<uint16_t>(sw[0] << 8 | sw[1]);
    o.reader_status = body.value("reader_status", -1);
    o.words_written = body.value("words_written", -1);
  } else if (answer.status == 400) {
    o = zq_outcome{ZQ_BAD_ARGUMENT, 0, 0, -1, -1};  // the agent refused the arguments: nothing was sent
  } else if (answer.status == 404 || answer.status == 503) {
    o = zq_outcome{ZQ_NO_READER, 0, 0, -1, -1};  // the agent no longer serves the reader, or it is not open now
  }
  if (outcome) *outcome = o;
  return o.result;
}

std::vector<zq_tag> AgentPresentTags(const nlohmann::json& tags, bool withRssi) {
  std::vector<zq_tag> out;
  if (!tags.is_array()) return out;
  for (const nlohmann::json& t : tags) {
    if (!t.is_object() || !t.value("present", false) || !t.contains("epc") || !t["epc"].is_string()) continue;
    std::vector<uint8_t> epc, pc;
    if (!protocol::ParseHexText(t["epc"].get<std::string>(), &epc) || epc.size() > ZQ_EPC_MAX) continue;
    if (!t.contains("pc") || !t["pc"].is_string() || !protocol::ParseHexText(t["pc"].get<std::string>(), &pc) ||
        pc.size() != 2)
      continue;
    zq_tag tag{};
    tag.pc = static_cast<uint16_t>(pc[0] << 8 | pc[1]);
    tag.epc_length = static_cast<uint8_t>(epc.size());
    std::copy(epc.begin(), epc.end(), tag.epc);
    if (withRssi && t.contains("rssi") && t["rssi"].is_object() && t["rssi"].contains("last") &&
        t["rssi"]["last"].is_number()) {
      tag.has_rssi = 1;
      tag.rssi_dbm = t["rssi"]["last"].get<double>();
      tag.rssi_raw = static_cast<uint16_t>(static_cast<int16_t>(tag.rssi_dbm * 256.0));
    }
    zq_decode_identity(tag.pc, tag.epc, tag.epc_length, &tag.identity);
    out.push_back(tag);
  }
  return out;
}

}  // namespace zq::client
