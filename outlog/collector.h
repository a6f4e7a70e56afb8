// The log collector: serves the driver's mailslot and appends every record
// to the log file beside the program, rotating it by size.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace zq::outlog {

// The watched process id from argument element 0: up to 8 hexadecimal
// digits; the first character that is not one ends the number. Pure.
uint32_t ParseWatchedPid(const char* arg0);

// The file operations of one rotation, in order: remove `from` when `to` is
// empty, else rename `from` to `to`. With maxBackups of 0 or less there are
// no backups and the plan is empty (the caller empties the current log).
struct FileStep {
  std::string from;
  std::string to;
};
std::vector<FileStep> RotationPlan(const std::string& dir, int32_t maxBackups);

// The most backups the collector keeps: a count past it would plan (and
// allocate) a rename for every number up to it at each rotation.
inline constexpr int32_t kMaxBackupsLimit = 100;

struct Settings {
  std::string dir;            // with its trailing '/'
  int64_t maxLogFileBytes = 40960000;
  int32_t maxBackups = 2;     // 0 .. kMaxBackupsLimit
  uint32_t watchedPid = 0;
  std::string libraryKey;     // shared-area key of the driver library beside it; "" for none
};

// Exit codes of the program.
inline constexpr int kExitNormal = 0;
inline constexpr int kExitLogFile = 1;
inline constexpr int kExitMailslot = 2;

// Runs the collector until the watched process and every user of the
// library beside it have gone and the mailslot is drained.
int RunCollector(const Settings& settings);

}  // namespace zq::outlog
