// The reader service's readers: one worker thread per reader that keeps it
// open through the client library (zelquar.h), inventories it again and
// again, turns the rounds into events through the tag table, journals them,
// and runs the tag operations the API asks for between two inventories.
// A reader that fails or goes away is reported and opened again with a
// growing pause while the others go on.
//
// Threads: Service's members may be called from any thread; each reader's
// device calls happen on its worker thread only.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/journal.h"
#include "agent/model.h"
#include "zelquar.h"

namespace zq::agent {

int64_t NowMs();

// What the service counts for its health.
struct Health {
  std::atomic<uint64_t> rounds{0};
  std::atomic<uint64_t> reads{0};
  std::atomic<uint64_t> errors{0};
  std::atomic<uint64_t> journalFailures{0};
  int64_t startedMs = 0;
};

class ReaderWorker;

class Service {
 public:
  Service(const Config& config, Journal* journal);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Starts a worker per configured reader (every reader present when none is).
  void Start();
  // A configuration read again (SIGHUP): the inventory's settings, the
  // absence, the summary, the history length and the readers (workers
  // started for new ones, stopped for those no longer named; with no reader
  // named, every reader present gets one) take effect from the next round.
  // *needRestart the keys that changed but take effect only at a restart.
  void Reload(const Config& next, std::vector<std::string>* needRestart);
  // Stops every worker: each closes its reader and journals `offline`.
  void Stop();

  // The readers as JSON: serial, port, state, inventory running, last error.
  nlohmann::json ReadersJson();
  nlohmann::json TagsJson(const std::string& reader, const std::string& epc = "", bool history = false);
  nlohmann::json HealthJson();
  // Runs `op` with the reader `serial` open on its worker, between two
  // inventories, and returns its answer; a not-found answer (404) when no
  // worker has that serial number, 503 when the reader is not open or the
  // service stops, 504 after `waitMs`.
  struct Answer {
    int status = 200;
    nlohmann::json body;
  };
  Answer Run(const std::string& serial, std::function<nlohmann::json(zq_reader*)> op, uint32_t waitMs);
  // Inventory on or off for one reader.
  Answer SetInventory(const std::string& serial, bool on);

  // For the workers: journals events (kept in memory and tried again while
  // the journal cannot be written, so none is lost).
  void Journalize(std::vector<Event> events);
  void Round(const std::string& reader, const std::vector<Sighting>& seen);
  void Summary(const std::string& reader);
  // The settings in force (a copy: a reload may change them).
  Config config() const;
  Health& health() { return health_; }

 private:
  // Workers for the readers of `chosen` (every reader present when it is
  // empty) that no worker serves yet.
  void StartWorkers(std::vector<ReaderChoice> chosen);
  std::vector<std::shared_ptr<ReaderWorker>> Workers();

  mutable std::mutex configMutex_;
  Config config_;
  Journal* journal_;
  Health health_;
  std::mutex tableMutex_;
  TagTable table_;
  std::mutex pendingMutex_;
  std::vector<Event> pending_;  // events the journal could not take yet
  std::mutex workersMutex_;
  std::vector<std::shared_ptr<ReaderWorker>> workers_;
};

}  // namespace zq::agent
