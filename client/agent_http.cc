// Sections: the agent's address; HTTP on bytes; the request.
#include "client/agent_http.h"

#include <cctype>
#include <cstdlib>
#include <memory>

#include "platform/devices/tcp_connection.h"
#include "platform/os/clock.h"
#include "platform/os/environment.h"
#include "platform/os/win32_errors.h"
#include "protocol/text.h"

namespace zq::client {

// ---- the agent's address ---------------------------------------------------------------------

AgentAddress AgentFromEnvironment() {
  AgentAddress a;
  const std::string given = platform::EnvironmentValue("ZELQUAR_AGENT");
  const size_t colon = given.rfind(':');
  if (colon != std::string::npos && colon > 0 && colon + 1 < given.size()) {
    a.host = given.substr(0, colon);
    a.port = given.substr(colon + 1);
  }
  a.token = platform::EnvironmentValue("ZELQUAR_AGENT_TOKEN");
  return a;
}

// ---- HTTP on bytes ----------------------------------------------------------------------------

std::string HttpRequestText(const AgentAddress& agent, const std::string& method, const std::string& path,
                            const std::string& body) {
  std::string text = method + " " + path + " HTTP/1.1\r\nHost: " + agent.host + ":" + agent.port + "\r\n";
  if (!agent.token.empty()) text += "Authorization: Bearer " + agent.token + "\r\n";
  if (method != "GET" || !body.empty()) {
    text += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  }
  text += "Connection: close\r\n\r\n" + body;
  return text;
}

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The value of header `name` (lower case) in `head`, or "".
std::string HeaderValue(const std::string& head, const std::string& name) {
  size_t at = 0;
  while ((at = head.find("\r\n", at)) != std::string::npos) {
    at += 2;
    const size_t end = head.find("\r\n", at);
    const std::string line = head.substr(at, end == std::string::npos ? std::string::npos : end - at);
    const size_t colon = line.find(':');
    if (colon != std::string::npos && protocol::EqualIgnoringCase(line.substr(0, colon), name)) {
      size_t v = colon + 1;
      while (v < line.size() && line[v] == ' ') ++v;
      return line.substr(v);
    }
  }
  return "";
}

// Joins a chunked body; false when a chunk is cut short.
bool Unchunk(const std::string& in, std::string* out) {
  out->clear();
  size_t at = 0;
  for (;;) {
    const size_t eol = in.find("\r\n", at);
    if (eol == std::string::npos) return false;
    char* end = nullptr;
    const unsigned long size = std::strtoul(in.c_str() + at, &end, 16);
    if (end == in.c_str() + at) return false;
    at = eol + 2;
    if (size == 0) return true;
    if (at + size > in.size()) return false;
    out->append(in, at, size);
    at += size + 2;
  }
}

}  // namespace

bool ParseHttpAnswer(const std::string& raw, HttpAnswer* answer) {
  const size_t headEnd = raw.find("\r\n\r\n");
  if (raw.compare(0, 5, "HTTP/") != 0 || headEnd == std::string::npos) return false;
  const size_t space = raw.find(' ');
  if (space == std::string::npos || space > headEnd) return false;
  const int status = std::atoi(raw.c_str() + space + 1);
  if (status < 100 || status > 599) return false;
  const std::string head = raw.substr(0, headEnd + 2);
  std::string body = raw.substr(headEnd + 4);
  if (Lower(HeaderValue(head, "transfer-encoding")).find("chunked") != std::string::npos) {
    std::string joined;
    if (!Unchunk(body, &joined)) return false;
    body = std::move(joined);
  } else if (const std::string length = HeaderValue(head, "content-length"); !length.empty()) {
    const unsigned long n = std::strtoul(length.c_str(), nullptr, 10);
    if (body.size() < n) return false;
    body.resize(n);
  }
  answer->status = status;
  answer->body = std::move(body);
  return true;
}

// ---- the request ------------------------------------------------------------------------------

bool AgentRequest(const AgentAddress& agent, const std::string& method, const std::string& path,
                  const std::string& body, int timeoutMs, HttpAnswer* answer) {
  std::unique_ptr<platform::TcpConnection> c;
  platform::TcpConnection::Step step = platform::TcpConnection::Step::kNone;
  if (platform::TcpConnection::Connect(agent.host, agent.port, &c, &step) != 0) return false;
  const std::string text = HttpRequestText(agent, method, path, body);
  if (c->Send(text.data(), text.size(), timeoutMs) != 0) return false;
  // The answer is whole when the agent closes the connection (Connection:
  // close); an answer bigger than this is none the agent gives.
  constexpr size_t kMostAnswer = 16 * 1024 * 1024;
  const uint32_t start = platform::TickCount();
  std::string raw;
  char buffer[16384];
  for (;;) {
    const uint32_t spent = platform::TickCount() - start;
    if (spent >= static_cast<uint32_t>(timeoutMs)) return false;
    size_t got = 0;
    const uint32_t e = c->Receive(buffer, sizeof buffer, static_cast<int>(timeoutMs - spent), &got);
    if (e == platform::kWsaeWouldBlock) continue;
    if (e != 0) return false;
    if (got == 0) break;
    raw.append(buffer, got);
    if (raw.size() > kMostAnswer) return false;
  }
  return ParseHttpAnswer(raw, answer);
}

}  // namespace zq::client
