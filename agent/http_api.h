// The reader service's local API: HTTP/1.1 with JSON (cpp-httplib), the
// event stream (Server-Sent Events) and the live view's files.
//
// Threads: Serve blocks on the calling thread until Stop (any thread).
#pragma once

#include <atomic>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "agent/journal.h"
#include "agent/service.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace zq::agent {

// The body of a tag or reader operation (fields named as the tool's
// options) turned into a call on the open reader: its answer carries
// "result", "status_word" and "message" as the tool's --json does, and
// "http_status" (4xx) when the request itself was wrong. Pure apart from
// the client library call it makes.
nlohmann::json RunOperation(const std::string& operation, const nlohmann::json& body, zq_reader* reader);
// "" when the operation and body are well formed, else why not (checked
// before the operation is queued).
std::string CheckOperation(const std::string& operation, const nlohmann::json& body);
// An operation asked of reader `serial`, by the API or over MQTT: checked
// (400 with the reason for a malformed body of a known operation, 404 for
// an unknown one), then inventory started or stopped, or the operation run
// on the reader's worker between two inventories (Service::Run). Blocks
// while it runs (up to a minute).
Service::Answer Operate(Service* service, const std::string& serial, const std::string& operation,
                        const nlohmann::json& body);

class HttpApi {
 public:
  HttpApi(const Config& config, Service* service, Journal* journal);
  ~HttpApi();
  HttpApi(const HttpApi&) = delete;
  HttpApi& operator=(const HttpApi&) = delete;

  // Binds the configured address; false with *error when it cannot.
  bool Bind(std::string* error);
  // Serves until Stop.
  void Serve();
  void Stop();

 private:
  void Stream(const httplib::Request& req, httplib::Response& res);

  const Config& config_;
  std::atomic<bool> stopping_{false};
  Service* service_;
  Journal* journal_;
  std::unique_ptr<httplib::Server> server_;
};

}  // namespace zq::agent
