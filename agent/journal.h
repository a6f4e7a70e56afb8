// The reader service's journal: every event goes here before anything else
// sees it, in an SQLite database in WAL mode, each batch one transaction
// written through to the disk (synchronous FULL) before Append returns.
// Each reader's events are numbered from 1 without gaps; the numbers go on
// across restarts (kept in a table of their own, so that trimming does not
// give numbers out twice). The journal is bounded by a number of events and
// an age; what a bound trims is announced by a `gap` event of that reader.
//
// Threads: every member may be called from any thread (one mutex); Wait
// blocks.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "agent/model.h"

struct sqlite3;

namespace zq::agent {

// A journaled event: the global position, the reader's sequence number
// and the event JSON as journaled.
struct StoredEvent {
  int64_t position = 0;
  std::string reader;
  uint64_t seq = 0;
  std::string type;
  std::string json;
};

// Events as one JSON array of their journaled JSON, oldest first: the API's
// answers and the MQTT publisher's messages. Pure.
std::string EventsArrayJson(const std::vector<StoredEvent>& events);

enum class JournalResult {
  kOk = 0,
  kCannotOpen,   // the file could not be opened or is not a journal
  kWriteFailed,  // a write or its sync failed (a full disk, an I/O error): nothing of the batch was kept
};
const char* JournalResultText(JournalResult result);

class Journal {
 public:
  Journal() = default;
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Opens (or creates, 0600) the journal; `boot` is this run's boot id.
  JournalResult Open(const std::string& path, const std::string& boot, uint64_t maxEvents, int64_t maxAgeMs);
  void Close();

  // Numbers the batch's events per reader and keeps them; on failure keeps
  // none and numbers none (the caller may retry the batch later). Then
  // trims by the bounds, journaling a `gap` for each reader trimmed.
  JournalResult Append(const std::vector<Event>& batch, int64_t nowMs, std::string* error = nullptr);

  // Events after a global position, oldest first, at most `limit`.
  std::vector<StoredEvent> AfterPosition(int64_t position, size_t limit);
  // Events of `reader` ("" any) with a sequence number above `seq`.
  std::vector<StoredEvent> AfterSeq(const std::string& reader, uint64_t seq, size_t limit);
  // The position of a reader's event (0 when it is not kept: before the oldest kept).
  int64_t PositionOf(const std::string& reader, uint64_t seq);
  // Waits until the journal holds a position above `position`, at most `ms`;
  // true when it does.
  bool WaitBeyond(int64_t position, uint32_t ms);
  // Wakes every waiter (the service is stopping).
  void WakeAll();

  int64_t LastPosition();
  uint64_t Depth();
  uint64_t LastSeq(const std::string& reader);

  // A consumer's cursor kept beside the events (the MQTT publisher's last
  // acknowledged sequence number of a reader, by a name of its choosing),
  // in a table of its own: 0 when none was kept. SetCursor writes it
  // through to the disk; false when it could not be written (the caller
  // tries again later).
  uint64_t Cursor(const std::string& name);
  bool SetCursor(const std::string& name, uint64_t value);

  // Small texts kept beside the events under a group and a name (the MQTT
  // publisher's answers to commands by id, so that a restart does not run
  // a command again), at most `keep` per group: the oldest go. KeepNote
  // writes through to the disk; false when it could not be written. Note:
  // false when nothing is kept under that name.
  bool KeepNote(const std::string& group, const std::string& name, const std::string& text, size_t keep);
  bool Note(const std::string& group, const std::string& name, std::string* text);

 private:
  JournalResult Trim(int64_t nowMs);
  std::vector<StoredEvent> Query(const char* sql, const std::string& reader, int64_t value, size_t limit);

  std::mutex mutex_;
  std::condition_variable changed_;
  sqlite3* db_ = nullptr;
  std::string boot_;
  uint64_t maxEvents_ = 0;
  int64_t maxAgeMs_ = 0;
  int64_t lastPosition_ = 0;
  uint64_t count_ = 0;  // events kept, counted as they come and go (not counted by a scan)
  bool woken_ = false;
};

}  // namespace zq::agent
