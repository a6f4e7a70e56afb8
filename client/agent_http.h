// The reader service's HTTP API as its local clients reach it: where the
// agent is, and one request with its answer on the platform's TCP
// connection. Used by the client library (a port the agent keeps) and by
// `zelquar agent`.
//
// Where the agent is: $ZELQUAR_AGENT (HOST:PORT, 127.0.0.1:8700 by default),
// with the token of $ZELQUAR_AGENT_TOKEN when it needs one.
//
// Sections: the agent's address; HTTP on bytes (pure); the request.
#pragma once

#include <string>

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

}  // namespace zq::client
