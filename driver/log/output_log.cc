// The log writer.
//
// Sections: process state; formats in the log's code page; the text
// mirror; records and their delivery;
// OutputLog; collector start, log output open and close; the
// fatal-error file.
//
// The text mirror is a developer aid: when ZELQUAR_LOG_MIRROR names a file,
// every record that passes the level filter is also appended to it as one
// UTF-8 line "PID TID LEVEL PORT TEXT[ | DATA-HEX]" (docs/logging.md).
#include "driver/log/output_log.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "driver/state/local_state.h"
#include "driver/state/shared_area.h"
#include "platform/os/access.h"
#include "platform/os/clock.h"
#include "platform/os/mailslot.h"
#include "platform/os/named_mutex.h"
#include "platform/os/process.h"
#include "platform/os/text_encoding.h"
#include "platform/os/win32_errors.h"
#include "protocol/log_record.h"

namespace zq::drv {
namespace {

// ---- process state --------------------------------------------------------

constexpr const char* kMailslotName = "ZELQUAR_Outlog";
constexpr const char* kLogMutexName = "QVX_MUTEXOFOUTPUTLOG_CHARGE";
// A record never waits longer than this for the log mutex and the mailslot
// together, so a stalled collector slows the driver but never blocks it.
constexpr int kRecordBudgetMs = 1000;

// Allocated once and never destroyed: threads may still log while the
// process exits, after C++ destructors ran.
struct LogOutput {
  std::timed_mutex lock;  // held while the client is used, opened or closed
  platform::MailslotClient client;
  std::atomic<bool> open{false};
  std::atomic<int64_t> frequency{0};
  std::atomic<int32_t> lost{0};
  // Set after a send timed out; cleared by the next send that goes through.
  // While set, sends do not wait, so a stalled collector costs one wait.
  std::atomic<bool> stalled{false};
  // Records go to a collector while set (between the open and the close of
  // the log output), also while the mailslot is closed because its
  // collector went away: a new collector is looked for at most once per
  // kReconnectMs, and records in between are counted as lost.
  std::atomic<bool> wanted{false};
  std::atomic<uint32_t> lastLook{0};
  // The log mutex, open from the output's open to its close (records made
  // outside that time open it for themselves); `mutexUsers` counts the
  // records using it, which the close waits for before it lets go.
  std::atomic<platform::NamedMutex*> mutex{nullptr};
  std::atomic<int> mutexUsers{0};
};

constexpr uint32_t kReconnectMs = 1000;
// The formatting buffer on the stack; longer texts get one of their own.
constexpr size_t kShortTextCapacity = 1024;

LogOutput& Output() {
  static LogOutput* output = new LogOutput;
  return *output;
}

uint32_t Elapsed(uint32_t since) { return platform::TickCount() - since; }

bool IsAscii(const char* text) {
  for (; *text; ++text) {
    if (static_cast<unsigned char>(*text) >= 0x80) return false;
  }
  return true;
}

// ---- formats in the log's code page ---------------------------------------

// Each format's text converted once: by its address, and checked against
// the text it had then (a format need not be a literal, and an address may
// be used again for another text). Entries are never removed or changed,
// so a converted text stays valid once handed out; past kFormatCacheMax
// entries formats are converted each time.
class FormatCache {
 public:
  // The format in code page 932; `scratch` holds it when it is not cached.
  const char* Converted(const char* format, std::string* scratch) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      const auto it = entries_.find(format);
      if (it != entries_.end() && it->second.utf8 == format) return it->second.cp932.c_str();
    }
    std::string cp932 = platform::Utf8ToCp932(format);
    std::lock_guard<std::mutex> guard(lock_);
    const auto it = entries_.find(format);
    if (it == entries_.end() && entries_.size() < kFormatCacheMax) {
      const Entry& e = entries_.emplace(format, Entry{format, std::move(cp932)}).first->second;
      return e.cp932.c_str();
    }
    *scratch = std::move(cp932);
    return scratch->c_str();
  }

 private:
  static constexpr size_t kFormatCacheMax = 1024;
  struct Entry {
    std::string utf8;
    std::string cp932;
  };
  std::mutex lock_;
  std::unordered_map<const char*, Entry> entries_;
};

// Never destroyed, like the log output.
FormatCache& Formats() {
  static FormatCache* cache = new FormatCache;
  return *cache;
}

// ---- the text mirror ------------------------------------------------------

struct Mirror {
  std::mutex lock;
  std::FILE* file = nullptr;
};

// nullptr when no mirror is configured (decided once per process).
Mirror* TheMirror() {
  static Mirror* mirror = [] () -> Mirror* {
    const char* path = std::getenv("ZELQUAR_LOG_MIRROR");
    if (!path || !*path) return nullptr;
    const int fd = platform::OpenChosenFileForAppend(path);
    std::FILE* f = fd >= 0 ? platform::StreamOf(fd, "a") : nullptr;
    if (!f) return nullptr;
    std::setvbuf(f, nullptr, _IONBF, 0);
    auto* m = new Mirror;
    m->file = f;
    return m;
  }();
  return mirror;
}

void WriteMirrorLine(Mirror& m, LogLevel level, uint32_t port, const char* text, const uint8_t* data,
                     int32_t dataLen) {
  std::string line;
  char head[64];
  std::snprintf(head, sizeof head, "%x %x %d %04x ", platform::CurrentProcessId(), platform::CurrentThreadId(),
                static_cast<int>(level), port);
  line += head;
  for (const char* p = text; *p; ++p) line.push_back(*p == '\n' || *p == '\r' ? ' ' : *p);
  if (dataLen > 0) {
    line += " |";
    char hex[4];
    for (int32_t i = 0; i < dataLen; ++i) {
      std::snprintf(hex, sizeof hex, " %02X", data[i]);
      line += hex;
    }
  }
  line.push_back('\n');
  std::lock_guard<std::mutex> guard(m.lock);
  std::fwrite(line.data(), 1, line.size(), m.file);
}

// ---- records and their delivery -------------------------------------------

logfmt::RecordTime Now() {
  const platform::LocalTime t = platform::GetLocalTime();
  logfmt::RecordTime r{};
  r.year = t.year;
  r.month = static_cast<uint8_t>(t.month);
  r.day = static_cast<uint8_t>(t.day);
  r.hour = static_cast<uint8_t>(t.hour);
  r.minute = static_cast<uint8_t>(t.minute);
  r.second = static_cast<uint8_t>(t.second);
  int64_t frequency = Output().frequency.load();
  if (frequency <= 0) frequency = platform::PerformanceFrequency();
  const uint64_t ms = platform::CounterToMilliseconds(static_cast<uint64_t>(platform::PerformanceCounter()),
                                                      static_cast<uint64_t>(frequency));
  r.stamp = static_cast<uint16_t>(ms & 0xFFFF);
  return r;
}

// Sends one message; false when it was dropped. A collector that has gone
// closes the mailslot, to be looked for again (under the output's lock).
bool Deliver(const uint8_t* message, size_t length, uint32_t started) {
  LogOutput& out = Output();
  int waitMs = 0;
  if (!out.stalled.load()) {
    const uint32_t spent = Elapsed(started);
    waitMs = spent >= static_cast<uint32_t>(kRecordBudgetMs) ? 0 : kRecordBudgetMs - static_cast<int>(spent);
  }
  uint32_t rc = out.client.Send(message, length, waitMs);
  if (rc == platform::kErrorFileNotFound) {
    // The collector went away; a new one may already serve the name.
    out.client.Close();
    out.open.store(false);
    out.lastLook.store(platform::TickCount());
    if (out.client.Open(kMailslotName) == 0) {
      out.open.store(true);
      rc = out.client.Send(message, length, waitMs);
    }
  }
  out.stalled.store(rc == platform::kErrorTimeout);
  return rc == 0;
}

// Opens the mailslot again once a collector serves it (under the output's
// lock); looks at most once per kReconnectMs.
bool Reconnect(LogOutput& out) {
  const uint32_t now = platform::TickCount();
  if (now - out.lastLook.load() < kReconnectMs) return false;
  out.lastLook.store(now);
  if (out.client.Open(kMailslotName) != 0) return false;
  out.open.store(true);
  return true;
}

bool DeliverStamped(logfmt::PreparedMessage& prepared, uint32_t started) {
  size_t length = 0;
  const size_t start = logfmt::StampMessage(prepared, Now(), &length);
  return Deliver(prepared.bytes.data() + start, length, started);
}

// Delivers the record, preceded by the count of records lost before it.
void SendRecord(logfmt::PreparedMessage& prepared, uint32_t started) {
  LogOutput& out = Output();
  if (!out.wanted.load()) return;  // the log output is not open in this process
  const uint32_t spent = Elapsed(started);
  const int left = spent >= static_cast<uint32_t>(kRecordBudgetMs) ? 0 : kRecordBudgetMs - static_cast<int>(spent);
  std::unique_lock<std::timed_mutex> guard(out.lock, std::chrono::milliseconds(left));
  if (!guard.owns_lock()) {
    out.lost.fetch_add(1);
    return;
  }
  if (!out.wanted.load()) return;
  if (!out.open.load() && !Reconnect(out)) {
    out.lost.fetch_add(1);
    return;
  }
  if (const int32_t lost = out.lost.load(); lost > 0) {
    char note[64];
    std::snprintf(note, sizeof note, "LogOutput lost %d records", lost);
    logfmt::PreparedMessage notice = logfmt::PrepareMessage(note, nullptr, 0);
    if (DeliverStamped(notice, started)) {
      out.lost.fetch_sub(lost);
    } else {
      out.lost.fetch_add(1);
      return;
    }
  }
  if (!DeliverStamped(prepared, started)) out.lost.fetch_add(1);
}

// ---- settings reading helpers ---------------------------------------------

struct Filter {
  int32_t logLevel;
  int32_t yorn;
  uint32_t collector;
};

bool LevelPasses(LogLevel level) {
  const SharedArea* area = Shared();
  return static_cast<int32_t>(level) <= (area ? area->logLevel : kDefaultLogLevel);
}

Filter CurrentFilter() {
  const SharedArea* area = Shared();
  if (!area) return {kDefaultLogLevel, 0, 0};
  return {area->logLevel, area->logFileFlg, area->collectorProcessId};
}

}  // namespace

// ---- OutputLog --------------------------------------------------------------

void OutputLog(LogLevel level, uint32_t port, const void* data, int32_t dataLen, const char* format, ...) {
  // Most calls are filtered out: that costs one look at the level.
  if (!LevelPasses(level)) return;
  va_list args;
  va_start(args, format);
  OutputLogV(level, port, data, dataLen, format, args);
  va_end(args);
}

void OutputLogText(LogLevel level, uint32_t port, const void* data, int32_t dataLen, const char* text) {
  if (!text || IsAscii(text)) {
    OutputLog(level, port, data, dataLen, "%s", text ? text : "");
    return;
  }
  // Arguments are taken in the log's code page.
  OutputLog(level, port, data, dataLen, "%s", platform::Utf8ToCp932(text).c_str());
}

void OutputLogV(LogLevel level, uint32_t port, const void* data, int32_t dataLen, const char* format, va_list args) {
  if (!LevelPasses(level)) return;
  const uint32_t systemError = platform::LastError();
  const Filter filter = CurrentFilter();
  const bool hasText = format && *format;
  if (static_cast<int32_t>(level) > filter.logLevel || (!hasText && dataLen == 0)) return;
  Mirror* mirror = TheMirror();
  if (filter.yorn != 1 && !mirror) return;

  const uint32_t started = platform::TickCount();
  // Most texts fit the first buffer; a longer one is formatted again into
  // one of its size (at most the record's text capacity).
  char shortText[kShortTextCapacity];
  std::unique_ptr<char[]> longText;
  char* text = shortText;
  text[0] = '\0';
  if (hasText) {
    // The log is written in code page 932. The format's own text is UTF-8
    // (the source's literals) and is converted before formatting; the
    // arguments are taken as they are, as the callers pass texts that are
    // already in the log's code page (values read from the INI file). A
    // code page 932 character never holds a '%' byte, so the converted
    // format formats as the original would.
    std::string scratch;
    const char* converted = IsAscii(format) ? format : Formats().Converted(format, &scratch);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(shortText, sizeof shortText, converted, args);
    if (n >= static_cast<int>(sizeof shortText)) {
      const size_t capacity = std::min(static_cast<size_t>(n) + 1, logfmt::kTextCapacity);
      longText.reset(new char[capacity]);
      std::vsnprintf(longText.get(), capacity, converted, again);
      text = longText.get();
    }
    va_end(again);
  }
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  if (dataLen < 0 || !bytes) dataLen = 0;
  if (dataLen > static_cast<int32_t>(logfmt::kMaxData)) dataLen = static_cast<int32_t>(logfmt::kMaxData);
  if (mirror) WriteMirrorLine(*mirror, level, port, platform::Cp932ToUtf8(text).c_str(), bytes, dataLen);
  if (filter.yorn != 1) return;

  // Everything but the time stamp is made before the lock is taken.
  logfmt::PreparedMessage prepared;
  if (filter.collector != 0) {
    prepared = logfmt::PrepareMessage(text, bytes, static_cast<size_t>(dataLen));
  }
  // Records of all processes go out one at a time; a holder that does not
  // let go within the budget is passed by (the mailslot keeps records whole).
  LogOutput& out = Output();
  out.mutexUsers.fetch_add(1);
  platform::NamedMutex* const kept = out.mutex.load();
  platform::NamedMutex* mutex = kept ? kept : platform::OpenNamedMutex(kLogMutexName);
  const uint32_t waited = mutex ? platform::WaitNamedMutex(mutex, kRecordBudgetMs) : platform::kWaitFailed;
  const bool owned = waited == platform::kWaitObject0 || waited == platform::kWaitAbandoned;
  if (filter.collector == 0) {
    WriteFatalErrorLine("fopen", systemError, 0);
  } else {
    SendRecord(prepared, started);
  }
  if (owned) platform::ReleaseNamedMutex(mutex);
  if (!kept) platform::CloseNamedMutex(mutex);
  out.mutexUsers.fetch_sub(1);
}

// ---- collector start, log output open and close ----------------------------

void StartCollector(SharedArea& area) {
  // This process's own installation's collector, never one named by the
  // shared area.
  const std::string program = Config().libraryDir + "ZELQUAR_Outlog";
  char argv0[16];
  std::snprintf(argv0, sizeof argv0, "%08x", platform::CurrentProcessId());
  const uint32_t pid = platform::StartProgram(program, argv0, area.logDisp == 0, true);
  if (pid == 0) return;
  // Give it time to create the mailslot before anybody opens it.
  platform::SleepMilliseconds(500);
  area.collectorProcessId = pid;
}

void OpenLogOutput(const SharedArea& area) {
  if (area.logFileFlg != 1) return;
  LogOutput& out = Output();
  out.frequency.store(platform::PerformanceFrequency());
  if (!out.mutex.load()) {
    platform::NamedMutex* mutex = platform::OpenNamedMutex(kLogMutexName);
    platform::NamedMutex* none = nullptr;
    if (mutex && !out.mutex.compare_exchange_strong(none, mutex)) platform::CloseNamedMutex(mutex);
  }
  // Without a collector there is nothing to open (records go to the
  // fatal-error file); a collector that has ended will not open it either.
  if (area.collectorProcessId == 0) return;
  std::lock_guard<std::timed_mutex> guard(out.lock);
  constexpr int kTries = 100;
  uint32_t error = 0;
  int tries = 0;
  out.wanted.store(true);
  while (tries < kTries) {
    ++tries;
    error = out.client.Open(kMailslotName);
    if (error == 0) {
      out.open.store(true);
      return;
    }
    // A mailslot of another user is never written to, and waiting will
    // not make it ours.
    if (error == platform::kErrorAccessDenied) break;
    // A collector that has ended will not make the mailslot: no more tries.
    if (!platform::ProcessIsAlive(area.collectorProcessId)) break;
    platform::SleepMilliseconds(200);
  }
  char text[96];
  std::snprintf(text, sizeof text, "MailSlot %llx retry=%d error=%d", 0xFFFFFFFFFFFFFFFFull, tries,
                static_cast<int>(error));
  platform::NotifyUser(text, "ZELQUAR_Drv.dll");
}

// Lets go of the log mutex once no record uses it; one still in use past
// the bound (a record stuck in its wait) keeps it for good.
void ReleaseLogMutex(LogOutput& out) {
  platform::NamedMutex* mutex = out.mutex.exchange(nullptr);
  if (!mutex) return;
  const uint32_t started = platform::TickCount();
  while (out.mutexUsers.load() != 0 && Elapsed(started) < 2 * kRecordBudgetMs) platform::SleepMilliseconds(1);
  if (out.mutexUsers.load() == 0) platform::CloseNamedMutex(mutex);
}

void CloseLogOutput(const SharedArea& area) {
  LogOutput& out = Output();
  if (area.logFileFlg != 1 || !out.wanted.load()) {
    ReleaseLogMutex(out);
    return;
  }
  if (!out.open.load()) {
    {
      std::lock_guard<std::timed_mutex> guard(out.lock);
      out.wanted.store(false);
    }
    ReleaseLogMutex(out);
    return;
  }
  static const uint8_t kEnd[4] = {'E', 'n', 'd', 0};
  {
    std::lock_guard<std::timed_mutex> guard(out.lock);
    out.client.Send(kEnd, sizeof kEnd, kRecordBudgetMs);
  }
  platform::SleepMilliseconds(200);
  OutputLog(LogLevel::kDetail, 0x200, nullptr, 0, "LogOutputFile CloseHandle");
  {
    std::lock_guard<std::timed_mutex> guard(out.lock);
    out.wanted.store(false);
    out.open.store(false);
    out.client.Close();
  }
  ReleaseLogMutex(out);
}

uint32_t LogOutputHandleValue() { return Output().client.HandleValue(); }

// ---- the fatal-error file ---------------------------------------------------

void WriteFatalErrorLine(const char* event, uint32_t systemError, int32_t info) {
  const platform::LocalTime t = platform::GetLocalTime();
  char line[128];
  // The file is written in text mode: its lines end with CR LF.
  std::snprintf(line, sizeof line, "%4d/%02d/%02d %02d:%02d:%02d:%03d %-20.20s ERROR:%d INFO:%d\r\n", t.year,
                t.month, t.day, t.hour, t.minute, t.second, t.milliseconds, event, static_cast<int>(systemError),
                static_cast<int>(info));
  // Made for the reader's users only, and never through a link or into a
  // file of another user (platform/os/access.h).
  (void)platform::AppendToDataFile("ZELQUAR_DrvDLL_FATALERROR.TXT", line, std::strlen(line));
}

}  // namespace zq::drv
