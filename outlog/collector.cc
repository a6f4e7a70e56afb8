// Sections: pure helpers; the log file; the receive loop.
#include "outlog/collector.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <cstdio>
#include <memory>
#include <vector>

#include "driver/state/shared_area_key.h"
#include "platform/os/access.h"
#include "platform/os/clock.h"
#include "platform/os/mailslot.h"
#include "platform/os/process.h"
#include "platform/os/shared_section.h"
#include "platform/os/win32_errors.h"

namespace zq::outlog {
namespace {

constexpr const char* kCaption = "ZELQUAR_Outlog.exe";
constexpr const char* kLogName = "ZELQUAR_DrvDLL_Log.LOG";
constexpr size_t kMessageCapacity = 32768;
constexpr int kReadTimeoutMs = 1000;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string BackupName(const std::string& dir, int32_t n) {
  return dir + "ZELQUAR_DrvDLL_Log" + std::to_string(n) + ".LOG";
}

// ---- the log file -----------------------------------------------------------

// Records are gathered here and written out in whole records only, so a
// write that fails (a full disk, a failing one) never leaves part of a
// record in the file: the file is cut back to its last whole record and the
// loss is reported with the count of records it took.
class LogFile {
 public:
  explicit LogFile(const Settings& s) : s_(s), path_(s.dir + kLogName) { pending_.reserve(kBufferBytes); }
  ~LogFile() { Close(); }

  bool Open() {
    // The log holds every command's bytes, passwords among them: made for
    // the reader's users only, and never through a link or into a file of
    // another user (platform/os/access.h).
    const int fd = platform::OpenDataFileForAppend(path_);
    file_ = fd >= 0 ? platform::StreamOf(fd, "ab") : nullptr;
    // Kept before anything else can overwrite it: the size look-up below
    // fails on a file that was never created.
    openErrno_ = file_ ? 0 : errno;
    // The collector buffers records itself (below): one write per batch.
    if (file_) std::setvbuf(file_, nullptr, _IONBF, 0);
    std::error_code ec;
    const auto size = std::filesystem::file_size(path_, ec);
    size_ = ec ? 0 : static_cast<int64_t>(size);
    written_ = size_;
    return file_ != nullptr;
  }
  // Writes out what is gathered and closes the file.
  void Close() {
    Flush();
    if (file_) std::fclose(file_);
    file_ = nullptr;
  }
  bool Reopen() {
    Close();
    return Open();
  }
  bool IsOpen() const { return file_ != nullptr; }
  // The system error code of the last failed open.
  int OpenError() const { return static_cast<int>(platform::Win32FromErrno(openErrno_)); }

  // Writes out the gathered records. A failed write is printed with the
  // number of records lost, and the file is closed so that the next record
  // opens it anew.
  void Flush() {
    if (!file_ || pending_.empty()) return;
    const size_t n = std::fwrite(pending_.data(), 1, pending_.size(), file_);
    if (n == pending_.size() && std::fflush(file_) == 0) {
      written_ += static_cast<int64_t>(n);
    } else {
      const int err = errno;
      std::error_code ec;
      std::filesystem::resize_file(path_, static_cast<uintmax_t>(written_), ec);  // no half record stays
      char line[96];
      std::snprintf(line, sizeof line, "write error %d: %d records dropped",
                    static_cast<int>(platform::Win32FromErrno(err)), pendingRecords_);
      std::printf("%s\n", line);
      std::fflush(stdout);
      std::fclose(file_);
      file_ = nullptr;
      size_ = written_;
    }
    pending_.clear();
    pendingRecords_ = 0;
  }

  // Rotates when the file has grown past the limit. The size counts what
  // is still gathered, so it is kept here rather than asked of disk.
  void RotateIfDue() {
    if (!file_ || size_ <= s_.maxLogFileBytes) return;
    Close();
    std::error_code ec;
    if (s_.maxBackups <= 0) {
      // No backups kept: the log starts anew.
      std::filesystem::resize_file(path_, 0, ec);
    } else {
      for (const FileStep& step : RotationPlan(s_.dir, s_.maxBackups)) {
        if (step.to.empty()) {
          std::filesystem::remove(step.from, ec);
        } else {
          std::filesystem::rename(step.from, step.to, ec);
        }
      }
    }
    Open();
  }

  void Append(const uint8_t* bytes, size_t length) {
    if (!file_) return;
    if (pending_.size() + length > kBufferBytes) Flush();
    if (!file_ && !Open()) {
      // That write failed and the file does not open again: this record
      // is lost too, and said so.
      std::printf("fopen error %d: record dropped\n", OpenError());
      std::fflush(stdout);
      return;
    }
    pending_.insert(pending_.end(), bytes, bytes + length);
    ++pendingRecords_;
    size_ += static_cast<int64_t>(length);
  }

 private:
  static constexpr size_t kBufferBytes = 64 * 1024;
  const Settings& s_;
  std::string path_;
  std::FILE* file_ = nullptr;
  int64_t size_ = 0;     // on disk and gathered
  int64_t written_ = 0;  // on disk, whole records only
  std::vector<uint8_t> pending_;
  int pendingRecords_ = 0;
  int openErrno_ = 0;
};

// Status lines go out at once; records printed to the console ride the
// stream's buffer.
void Print(const char* text) {
  std::printf("%s\n", text);
  std::fflush(stdout);
}

// The watched process and the library's users; true while somebody may
// still send records.
bool SendersRemain(const Settings& s, bool* reportedGone) {
  if (platform::ProcessIsAlive(s.watchedPid)) return true;
  if (!*reportedGone) {
    // A process that has ended cannot be opened any more (its exit code
    // is its parent's to collect, never ours).
    char text[96];
    std::snprintf(text, sizeof text, "OpenProcess Error Processid=%x", s.watchedPid);
    Print(text);
    *reportedGone = true;
  }
  // Other processes may still have the driver loaded and log through us.
  return !s.libraryKey.empty() && platform::SharedSectionInUse(s.libraryKey, drv::kSharedAreaSize);
}

}  // namespace

// ---- pure helpers -------------------------------------------------------------

uint32_t ParseWatchedPid(const char* arg0) {
  uint32_t pid = 0;
  for (int i = 0; arg0 && i < 8 && arg0[i]; ++i) {
    const int d = HexDigit(arg0[i]);
    if (d < 0) break;
    pid = (pid << 4) | static_cast<uint32_t>(d);
  }
  return pid;
}

std::vector<FileStep> RotationPlan(const std::string& dir, int32_t maxBackups) {
  std::vector<FileStep> plan;
  if (maxBackups <= 0) return plan;
  plan.push_back({BackupName(dir, maxBackups), ""});
  for (int32_t n = maxBackups - 1; n >= 1; --n) plan.push_back({BackupName(dir, n), BackupName(dir, n + 1)});
  plan.push_back({dir + kLogName, BackupName(dir, 1)});
  return plan;
}

// ---- the receive loop ---------------------------------------------------------

int RunCollector(const Settings& s) {
  char line[128];
  std::snprintf(line, sizeof line, "Start Process=%x", s.watchedPid);
  Print(line);

  platform::MailslotServer slot;
  if (const uint32_t err = slot.Create("ZELQUAR_Outlog"); err != 0) {
    std::snprintf(line, sizeof line, "CreateMailslot error %d", static_cast<int>(err));
    Print(line);
    if (err != platform::kErrorAlreadyExists) platform::NotifyUser(line, kCaption);
    return kExitMailslot;
  }
  LogFile log(s);
  if (!log.Open()) {
    std::snprintf(line, sizeof line, "fopen error %d", log.OpenError());
    platform::NotifyUser(line, kCaption);
    Print(line);
    return kExitLogFile;
  }
  log.Flush();
  platform::SleepMilliseconds(200);

  std::unique_ptr<uint8_t[]> buf(new uint8_t[kMessageCapacity + 1]);
  bool flushedFirst = false;
  bool reportedGone = false;
  for (;;) {
    long n = slot.Read(buf.get(), kMessageCapacity, kReadTimeoutMs);
    if (n == platform::MailslotServer::kTooLong) {
      Print("Message too long: skipped");
      continue;
    }
    if (n <= 0) {
      if (SendersRemain(s, &reportedGone)) continue;
      platform::SleepMilliseconds(10);
      n = slot.Read(buf.get(), kMessageCapacity, 0);
      if (n == platform::MailslotServer::kTooLong) continue;
      if (n <= 0) break;
    }
    buf[static_cast<size_t>(n)] = 0;
    if (n >= 3 && std::memcmp(buf.get(), "End", 3) == 0) {
      // A process detached: everything so far goes to disk.
      if (!log.Reopen()) Print("fopen error on reopen");
      continue;
    }
    log.RotateIfDue();
    if (!log.IsOpen() && !log.Open()) {
      std::snprintf(line, sizeof line, "fopen error %d: record dropped", log.OpenError());
      Print(line);
      continue;
    }
    // Printed as it came: a record carries its own line ends.
    const size_t length = std::strlen(reinterpret_cast<char*>(buf.get()));
    std::fwrite(buf.get(), 1, length, stdout);
    log.Append(buf.get(), length);
    if (!flushedFirst) {
      log.Flush();
      flushedFirst = true;
    }
  }
  log.Flush();
  log.Close();
  slot.Close();
  return kExitNormal;
}

}  // namespace zq::outlog
