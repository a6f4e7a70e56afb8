// The way to a reader that a running zelquar-agent owns. The driver lets one
// process at a time open a port, so while the agent keeps a reader open an
// open of it elsewhere fails with "in use"; the client library then asks the
// agent, on its HTTP API, and runs the handle's calls there (between the
// agent's inventories, in milliseconds).
//
// Where the agent is: $ZELQUAR_AGENT (HOST:PORT, 127.0.0.1:8700 by default),
// with the token of $ZELQUAR_AGENT_TOKEN when it needs one.
//
// Sections: the agent's address; HTTP on bytes (pure); the request; the
// agent's answers (pure).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "zelquar.h"

namespace zq::client {

// ---- the agent's address ---------------------------------------------------------------------

struct AgentAddress {
  std::string host = "127.0.0.1";
  std::string port = "8700";
  std::string token;  // "" for none
};

// The address the environment names. Never blocks.
AgentAddress AgentFromEnvironment();

// ---- HTTP on bytes ----------------------------------------------------------------------------

// An HTTP/1.1 request with `body` as JSON (none when empty and the method
// is GET), closing the connection after the answer. Pure.
std::string HttpRequestText(const AgentAddress& agent, const std::string& method, const std::string& path,
                            const std::string& body);

struct HttpAnswer {
  int status = 0;
  std::string body;
};

// The answer in `raw` (all that came until the peer closed): true with
// *answer when it has a status line and its whole body (by Content-Length,
// chunks, or the end of the stream). Pure.
bool ParseHttpAnswer(const std::string& raw, HttpAnswer* answer);

// ---- the request ------------------------------------------------------------------------------

// One request to the agent and its answer. False when nobody answered as
// an HTTP server at the address within timeoutMs (no agent). Blocks at most
// about timeoutMs; thread-safe.
bool AgentRequest(const AgentAddress& agent, const std::string& method, const std::string& path,
                  const std::string& body, int timeoutMs, HttpAnswer* answer);

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
