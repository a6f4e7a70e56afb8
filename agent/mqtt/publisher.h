// The reader service's MQTT publisher (Eclipse Paho C, the asynchronous
// client): one broker connection per reader the service owns, each with the
// topic tree `{prefix}` (default zelquar/v1/{site}/{reader}/):
//
//   status   retained: "online" at every connection, "offline" on an orderly
//            stop, "lost" (the last will) when the agent dies or the link breaks
//   events   the reader's journaled events, a JSON array of the event JSON
//            (docs/events.md) per message, oldest first, QoS 1
//   health   every mqtt_health_s: the publisher's and the service's counters
//   config   retained: what the reader runs with
//   cmd/NAME commands, answered on the request's response topic (MQTT 5)
//            with its correlation data, or on cmd/NAME/reply
//
// Nothing lost: the publisher reads the journal by sequence number and moves
// its cursor (kept in the journal's file) only over events the broker
// acknowledged (PUBACK). After a reconnection or a restart it sends again
// from the cursor, so a consumer may see an event twice, never miss one;
// `reader` + `seq` tell duplicates. Messages are capped at mqtt_max_rate per
// second, the backlog and live events alike, in sequence order.
//
// Sections: pure parts (topics, commands); the publisher; the bridge.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "agent/journal.h"
#include "agent/model.h"
#include "agent/service.h"

namespace zq::agent::mqtt {

// ---- pure parts ------------------------------------------------------------------------------

// The prefix of a reader's topics: {site} and {reader} replaced.
std::string TopicPrefix(const Config& config, const std::string& reader);
// The client id of a reader's connection: stable across restarts, so the
// broker keeps the session (and what it queued) for it.
std::string ClientId(const Config& config, const std::string& reader);
// Paho's server URI for mqtt:// (tcp://) and mqtts:// (ssl://) URLs; the
// default ports 1883 and 8883 added where the URL names none.
std::string ServerUri(const std::string& url);
// The tag events (appear, leave) as one GS1 EPCIS 2.0 JSON-LD document of
// ObjectEvents (action OBSERVE, the tag's pure-identity URI where it has a
// GS1 identity, else its raw URI; `readPoint`; the reader, sequence number,
// boot and event type as zq: fields); "" when none of them is a tag event.
std::string EpcisPayload(const std::vector<StoredEvent>& events, const std::string& readPoint, int64_t nowMs);

// Commands by id, each executed once: the answer of an id seen before is
// the answer given then, also after a restart (the answers of the last
// 1024 ids are kept in the journal's file). Thread-safe (one mutex); Handle blocks while the
// operation runs on the reader's worker (up to a minute).
class CommandHandler {
 public:
  CommandHandler(Service* service, Journal* journal, std::string reader) : service_(service), journal_(journal), reader_(std::move(reader)) {}
  // The answer to command `name` with the message's `payload`: always a
  // JSON object with "id" (null when the command had none), "command",
  // "status" (200 done, 400 a malformed command, 404 an unknown one, else
  // the reader's answer: 503 not open, 504 no answer in time) and the
  // operation's fields ("result", "message", ...); "duplicate": true when
  // the id was executed before.
  nlohmann::json Handle(const std::string& name, const std::string& payload);

 private:
  nlohmann::json Execute(const std::string& name, const nlohmann::json& command);
  nlohmann::json Replay(const nlohmann::json& command);

  static constexpr size_t kRemembered = 1024;  // ids remembered for duplicates, per reader
  Service* service_;
  Journal* journal_;  // keeps the answers by id (notes), across restarts
  std::string reader_;
  std::mutex mutex_;
  std::set<std::string> running_;  // ids whose first delivery is being executed
  std::condition_variable done_;
};

// ---- the publisher ---------------------------------------------------------------------------

// What a publisher counts (read from any thread).
struct PublisherStats {
  std::atomic<uint64_t> acked{0};      // the reader's last sequence number the broker acknowledged, in order
  std::atomic<uint64_t> messages{0};   // event messages acknowledged
  std::atomic<uint64_t> connects{0};   // connections made
  std::atomic<uint64_t> commands{0};   // commands answered
  std::atomic<bool> connected{false};
};

struct Link;  // the Paho client and its callbacks' state (publisher.cc)

// One reader's connection and its threads: the sender (journal to broker)
// and the command runner. Start and Stop from one thread; the rest from any.
class ReaderPublisher {
 public:
  ReaderPublisher(const Config& config, Service* service, Journal* journal, std::string reader);
  ~ReaderPublisher();  // Stop
  ReaderPublisher(const ReaderPublisher&) = delete;
  ReaderPublisher& operator=(const ReaderPublisher&) = delete;

  // Starts connecting (MQTT 5, else 3.1.1) and sending; returns at once.
  // False with *error when the client cannot be made (a bad URL).
  bool Start(std::string* error);
  // Sends what the journal holds (for at most `drainMs`), publishes the
  // retained "offline", disconnects and joins the threads.
  void Stop(uint32_t drainMs = 2000);
  const PublisherStats& stats() const { return stats_; }
  const std::string& reader() const { return reader_; }

 private:
  friend struct Link;
  void SendLoop();
  void CommandLoop();
  void HealthAndConfig(bool configToo);

  const Config& config_;
  Service* service_;
  Journal* journal_;
  std::string reader_, prefix_, cursorName_;
  PublisherStats stats_;
  CommandHandler commands_;
  std::unique_ptr<Link> link_;
  std::atomic<bool> stopping_{false};          // the sender's end
  std::atomic<bool> commandsStopping_{false};  // the runner's end
  std::thread sender_, runner_;
};

// ---- the bridge ------------------------------------------------------------------------------

// A publisher for each reader the service serves. Start after Service::Start,
// Stop after Service::Stop (so the readers' `offline` events go out) and
// before the journal closes.
class Bridge {
 public:
  Bridge(const Config& config, Service* service, Journal* journal) : config_(config), service_(service), journal_(journal) {}
  ~Bridge() { Stop(); }
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;
  // False with *error when a publisher cannot be made.
  bool Start(std::string* error);
  // After a reload: a publisher for each reader the service now serves that
  // has none (one named by the new file, or plugged in since). A reader no
  // longer served keeps its publisher, so its `offline` event and whatever
  // the journal still holds for it go out. From the thread that started it.
  bool Sync(std::string* error);
  void Stop();

 private:
  const Config& config_;
  Service* service_;
  Journal* journal_;
  std::vector<std::unique_ptr<ReaderPublisher>> publishers_;
};

}  // namespace zq::agent::mqtt
