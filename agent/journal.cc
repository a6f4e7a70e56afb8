// The reader service's journal (agent/journal.h) on SQLite.
//
// Sections: statements; open and close; append and trim; reading.
#include "agent/journal.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <map>

namespace zq::agent {

std::string EventsArrayJson(const std::vector<StoredEvent>& events) {
  std::string out = "[";
  for (const StoredEvent& e : events) out += (out.size() > 1 ? "," : "") + e.json;
  return out + "]";
}

// ---- statements ------------------------------------------------------------------------

namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS events(position INTEGER PRIMARY KEY AUTOINCREMENT, reader TEXT NOT NULL,"
    " seq INTEGER NOT NULL, type TEXT NOT NULL, time_ms INTEGER NOT NULL, json TEXT NOT NULL);"
    "CREATE UNIQUE INDEX IF NOT EXISTS events_by_reader ON events(reader, seq);"
    "CREATE TABLE IF NOT EXISTS sequences(reader TEXT PRIMARY KEY, last_seq INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS cursors(name TEXT PRIMARY KEY, value INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS notes(id INTEGER PRIMARY KEY AUTOINCREMENT, grp TEXT NOT NULL, name TEXT NOT NULL,"
    " text TEXT NOT NULL, UNIQUE(grp, name));";

// One prepared statement, finalized at the end of its scope.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &s_, nullptr); }
  ~Statement() { sqlite3_finalize(s_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  bool ok() const { return s_ != nullptr; }
  Statement& Bind(int i, int64_t v) {
    sqlite3_bind_int64(s_, i, v);
    return *this;
  }
  Statement& Bind(int i, const std::string& v) {
    sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  int Step() { return sqlite3_step(s_); }
  // Ready for the next Step with new bindings.
  void Reset() {
    sqlite3_reset(s_);
    sqlite3_clear_bindings(s_);
  }
  int64_t Int(int col) const { return sqlite3_column_int64(s_, col); }
  std::string Text(int col) const {
    const unsigned char* t = sqlite3_column_text(s_, col);
    return t ? std::string(reinterpret_cast<const char*>(t), static_cast<size_t>(sqlite3_column_bytes(s_, col))) : "";
  }

 private:
  sqlite3_stmt* s_ = nullptr;
};

// One number a query gives (0 when it gives none).
int64_t Single(sqlite3* db, const char* sql) {
  Statement q(db, sql);
  return q.Step() == SQLITE_ROW ? q.Int(0) : 0;
}

bool Exec(sqlite3* db, const char* sql, std::string* error = nullptr) {
  char* message = nullptr;
  const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &message);
  if (rc != SQLITE_OK && error) *error = message ? message : sqlite3_errstr(rc);
  sqlite3_free(message);
  return rc == SQLITE_OK;
}

}  // namespace

const char* JournalResultText(JournalResult r) {
  switch (r) {
    case JournalResult::kOk: return "ok";
    case JournalResult::kCannotOpen: return "the journal could not be opened";
    case JournalResult::kWriteFailed: return "the journal could not be written (disk full or an I/O error); events are kept in memory and written again";
  }
  return "?";
}

// ---- open and close ----------------------------------------------------------------------

Journal::~Journal() { Close(); }

JournalResult Journal::Open(const std::string& path, const std::string& boot, uint64_t maxEvents, int64_t maxAgeMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  boot_ = boot;
  maxEvents_ = maxEvents;
  maxAgeMs_ = maxAgeMs;
  // The file is made 0600 by SQLite when its umask allows no more; the
  // service sets its umask to 077 before it opens it.
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr) !=
      SQLITE_OK) {
    sqlite3_close(db_);
    db_ = nullptr;
    return JournalResult::kCannotOpen;
  }
  sqlite3_busy_timeout(db_, 5000);
  if (!Exec(db_, "PRAGMA journal_mode=WAL;") || !Exec(db_, "PRAGMA synchronous=FULL;") || !Exec(db_, kSchema)) {
    sqlite3_close(db_);
    db_ = nullptr;
    return JournalResult::kCannotOpen;
  }
  lastPosition_ = Single(db_, "SELECT COALESCE(MAX(position), 0) FROM events");
  count_ = static_cast<uint64_t>(Single(db_, "SELECT COUNT(*) FROM events"));
  return JournalResult::kOk;
}

void Journal::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_) sqlite3_close(db_);
  db_ = nullptr;
}

// ---- append and trim -------------------------------------------------------------------------

JournalResult Journal::Append(const std::vector<Event>& batch, int64_t nowMs, std::string* error) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!db_) return JournalResult::kCannotOpen;
  if (batch.empty()) return JournalResult::kOk;
  std::string why;
  if (!Exec(db_, "BEGIN IMMEDIATE", &why)) {
    if (error) *error = why;
    return JournalResult::kWriteFailed;
  }
  bool ok = true;
  std::map<std::string, uint64_t> next;
  Statement last(db_, "SELECT last_seq FROM sequences WHERE reader = ?");
  Statement ins(db_, "INSERT INTO events(reader, seq, type, time_ms, json) VALUES(?, ?, ?, ?, ?)");
  ok = last.ok() && ins.ok();
  for (const Event& e : batch) {
    if (!ok) break;
    auto it = next.find(e.reader);
    if (it == next.end()) {
      last.Reset();
      last.Bind(1, e.reader);
      it = next.emplace(e.reader, last.Step() == SQLITE_ROW ? static_cast<uint64_t>(last.Int(0)) : 0).first;
    }
    const uint64_t seq = ++it->second;
    ins.Reset();
    ins.Bind(1, e.reader).Bind(2, static_cast<int64_t>(seq)).Bind(3, e.type).Bind(4, e.timeMs).Bind(5, EventJson(e, boot_, seq));
    ok = ins.Step() == SQLITE_DONE;
  }
  Statement up(db_, "INSERT INTO sequences(reader, last_seq) VALUES(?, ?) ON CONFLICT(reader) DO UPDATE SET last_seq = excluded.last_seq");
  ok = ok && up.ok();
  for (const auto& [reader, seq] : next) {
    if (!ok) break;
    up.Reset();
    up.Bind(1, reader).Bind(2, static_cast<int64_t>(seq));
    ok = up.Step() == SQLITE_DONE;
  }
  if (!ok || !Exec(db_, "COMMIT", &why)) {
    if (why.empty()) why = sqlite3_errmsg(db_);
    Exec(db_, "ROLLBACK");
    if (error) *error = why;
    return JournalResult::kWriteFailed;
  }
  lastPosition_ = Single(db_, "SELECT COALESCE(MAX(position), 0) FROM events");
  count_ += batch.size();
  const JournalResult trimmed = Trim(nowMs);
  lock.unlock();
  changed_.notify_all();
  if (trimmed != JournalResult::kOk && error) *error = "trimming failed";
  return JournalResult::kOk;
}

// Deletes what the bounds leave out and journals a gap event per reader for
// the sequence numbers it took. mutex_ held.
JournalResult Journal::Trim(int64_t nowMs) {
  const int64_t over = count_ > maxEvents_ ? static_cast<int64_t>(count_ - maxEvents_) : 0;
  // The positions to drop: the `over` oldest, and those older than the age
  // bound among the oldest kTrimScan (events are journaled in time order;
  // what is left over goes at the next append). Both look at the front of
  // the table only, by position.
  constexpr int64_t kTrimScan = 10000;
  Statement cut(db_,
                "SELECT COALESCE(MAX(position), 0) FROM (SELECT position, time_ms FROM events ORDER BY position "
                "LIMIT MAX(?1, ?2)) WHERE position <= (SELECT COALESCE(MAX(position), 0) FROM (SELECT position FROM "
                "events ORDER BY position LIMIT ?1)) OR time_ms < ?3");
  cut.Bind(1, over).Bind(2, kTrimScan).Bind(3, nowMs - maxAgeMs_);
  const int64_t upTo = cut.Step() == SQLITE_ROW ? cut.Int(0) : 0;
  if (upTo <= 0) return JournalResult::kOk;
  std::vector<Event> gaps;
  {
    Statement ranges(db_, "SELECT reader, MIN(seq), MAX(seq) FROM events WHERE position <= ? AND type != 'gap' GROUP BY reader");
    ranges.Bind(1, upTo);
    while (ranges.Step() == SQLITE_ROW)
      gaps.push_back(Event{"gap", ranges.Text(0), nowMs,
                           {{"from", ranges.Int(1)}, {"to", ranges.Int(2)}, {"reason", "trimmed by the journal's bound"}}});
  }
  if (!Exec(db_, "BEGIN IMMEDIATE")) return JournalResult::kWriteFailed;
  Statement del(db_, "DELETE FROM events WHERE position <= ?");
  del.Bind(1, upTo);
  bool ok = del.Step() == SQLITE_DONE;
  const uint64_t deleted = static_cast<uint64_t>(sqlite3_changes(db_));
  for (const Event& g : gaps) {
    Statement q(db_, "SELECT last_seq FROM sequences WHERE reader = ?");
    q.Bind(1, g.reader);
    const uint64_t seq = (q.Step() == SQLITE_ROW ? static_cast<uint64_t>(q.Int(0)) : 0) + 1;
    Statement ins(db_, "INSERT INTO events(reader, seq, type, time_ms, json) VALUES(?, ?, 'gap', ?, ?)");
    ins.Bind(1, g.reader).Bind(2, static_cast<int64_t>(seq)).Bind(3, nowMs).Bind(4, EventJson(g, boot_, seq));
    Statement up(db_, "UPDATE sequences SET last_seq = ? WHERE reader = ?");
    up.Bind(1, static_cast<int64_t>(seq)).Bind(2, g.reader);
    ok = ok && ins.Step() == SQLITE_DONE && up.Step() == SQLITE_DONE;
  }
  if (!ok || !Exec(db_, "COMMIT")) {
    Exec(db_, "ROLLBACK");
    return JournalResult::kWriteFailed;
  }
  count_ = count_ - std::min(count_, deleted) + gaps.size();
  lastPosition_ = Single(db_, "SELECT COALESCE(MAX(position), 0) FROM events");
  return JournalResult::kOk;
}

// ---- reading -----------------------------------------------------------------------------

std::vector<StoredEvent> Journal::Query(const char* sql, const std::string& reader, int64_t value, size_t limit) {
  std::vector<StoredEvent> out;
  if (!db_) return out;
  Statement q(db_, sql);
  q.Bind(1, value).Bind(2, reader).Bind(3, static_cast<int64_t>(limit));
  while (q.Step() == SQLITE_ROW)
    out.push_back(StoredEvent{q.Int(0), q.Text(1), static_cast<uint64_t>(q.Int(2)), q.Text(3), q.Text(4)});
  return out;
}

std::vector<StoredEvent> Journal::AfterPosition(int64_t position, size_t limit) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Query("SELECT position, reader, seq, type, json FROM events WHERE position > ?1 AND ?2 = '' ORDER BY position LIMIT ?3",
               "", position, limit);
}

std::vector<StoredEvent> Journal::AfterSeq(const std::string& reader, uint64_t seq, size_t limit) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Query("SELECT position, reader, seq, type, json FROM events WHERE seq > ?1 AND (?2 = '' OR reader = ?2) "
               "ORDER BY position LIMIT ?3",
               reader, static_cast<int64_t>(seq), limit);
}

int64_t Journal::PositionOf(const std::string& reader, uint64_t seq) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_) return 0;
  Statement q(db_, "SELECT position FROM events WHERE reader = ? AND seq = ?");
  q.Bind(1, reader).Bind(2, static_cast<int64_t>(seq));
  return q.Step() == SQLITE_ROW ? q.Int(0) : 0;
}

bool Journal::WaitBeyond(int64_t position, uint32_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return lastPosition_ > position || woken_; });
  return lastPosition_ > position;
}

void Journal::WakeAll() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
  }
  changed_.notify_all();
}

int64_t Journal::LastPosition() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastPosition_;
}

uint64_t Journal::Depth() {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_;
}

uint64_t Journal::LastSeq(const std::string& reader) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_) return 0;
  Statement q(db_, "SELECT last_seq FROM sequences WHERE reader = ?");
  q.Bind(1, reader);
  return q.Step() == SQLITE_ROW ? static_cast<uint64_t>(q.Int(0)) : 0;
}

uint64_t Journal::Cursor(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_) return 0;
  Statement q(db_, "SELECT value FROM cursors WHERE name = ?");
  q.Bind(1, name);
  return q.Step() == SQLITE_ROW ? static_cast<uint64_t>(q.Int(0)) : 0;
}

bool Journal::SetCursor(const std::string& name, uint64_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_) return false;
  Statement up(db_, "INSERT INTO cursors(name, value) VALUES(?, ?) ON CONFLICT(name) DO UPDATE SET value = excluded.value");
  up.Bind(1, name).Bind(2, static_cast<int64_t>(value));
  return up.ok() && up.Step() == SQLITE_DONE;
}

bool Journal::KeepNote(const std::string& group, const std::string& name, const std::string& text, size_t keep) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_) return false;
  Statement put(db_, "INSERT OR REPLACE INTO notes(grp, name, text) VALUES(?, ?, ?)");
  put.Bind(1, group).Bind(2, name).Bind(3, text);
  if (!put.ok() || put.Step() != SQLITE_DONE) return false;
  Statement trim(db_,
                 "DELETE FROM notes WHERE grp = ?1 AND id <= (SELECT id FROM notes WHERE grp = ?1 ORDER BY id DESC LIMIT 1 OFFSET ?2)");
  trim.Bind(1, group).Bind(2, static_cast<int64_t>(keep));
  return trim.ok() && trim.Step() == SQLITE_DONE;
}

bool Journal::Note(const std::string& group, const std::string& name, std::string* text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_) return false;
  Statement q(db_, "SELECT text FROM notes WHERE grp = ? AND name = ?");
  q.Bind(1, group).Bind(2, name);
  if (q.Step() != SQLITE_ROW) return false;
  *text = q.Text(0);
  return true;
}

}  // namespace zq::agent
