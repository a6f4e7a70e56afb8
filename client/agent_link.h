// The way to a reader that a running zelquar-agent owns. The driver lets one
// process at a time open a port, so while the agent keeps a reader open an
// open of it elsewhere fails with "in use"; the client library then asks the
// agent, on its HTTP API, and runs the handle's calls there (between the
// agent's inventories, in milliseconds).
//
// The agent's address and the request are agent_http.h's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/agent_http.h"
#include "zelquar.h"

namespace zq::client {

// ---- the agent's answers ------------------------------------------------------------------------

// The serial number of the reader in the agent's reader list (GET
// /api/readers) that serves `serial`, or else port `port` (0: any port);
// "" when none does. Pure.
std::string AgentReaderFor(const nlohmann::json& readers, const std::string& serial, uint32_t port);

// The result and outcome of an operation's answer (HTTP status and body as
// the agent gives them: "code", "status_word", "driver_result",
// "reader_status", "words_written"). Without them: 400 ZQ_BAD_ARGUMENT,
// 404 and 503 ZQ_NO_READER (the agent does not serve the reader now), any
// other ZQ_DRIVER_ERROR with driver result RFRW_ERROR_EXCHANGE. Pure.
zq_result AgentOutcome(const HttpAnswer& answer, const nlohmann::json& body, zq_outcome* outcome);

// The present tags of the agent's tag list (GET /api/tags?reader=SERIAL) as
// the inventory gives them; `withRssi` fills the signal strength in dBm.
// Pure.
std::vector<zq_tag> AgentPresentTags(const nlohmann::json& tags, bool withRssi);

}  // namespace zq::client
