// The pure parts of the soak program: its settings and the worst-case bound
// of each call derived from them, the application commands it sends, and
// the accounting of log records (the lines a process's log mirror shows
// against the records found in the collector's files). No system calls.
//
// Sections: settings and bounds; commands; log accounting.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/hex.h"

namespace zq::soak {

// ---- settings and bounds ----------------------------------------------------

// The driver settings the soak installs: short timeouts, so a reader that
// keeps silent fails within seconds and the bounds below stay tight enough
// to tell a slow call from a hung one.
struct Settings {
  int blockTimeoutMs = 300;     // "BlockTimeout ": the reader's answer time per request
  int retryTimeoutMs = 1000;    // "RetryTimeout ": the resend window of one exchange
  int characterTimeoutMs = 100; // the link's wait between bytes of a frame
  int recoveries = 2;           // RwPowerOffOnRetryCount: power-off/on recoveries per call
  int deviceOpenRetries = 3;    // HidDeviceOpenRetryCount
  int logLevel = 1;             // calls, results and frames: a few records per call
};

// The [RFRW_Drv] lines of the INI file for `s`, with the log collector on.
std::string IniBody(const Settings& s);

// One exchange, resends included: the resend window, then the last request
// with the link's own repeat (two answer times and two character gaps) and
// the 50 ms resend pause, plus 500 ms for scheduling on a loaded machine.
int64_t ExchangeBoundMs(const Settings& s);
// One power-off/on recovery: the bridge chain (reader off 100 ms, on and its
// 1000 ms start, about 300 ms of set-up) run at most 11 times, the
// operating-mode exchange and its 200 ms, and the 500 ms pause after a
// failed recovery.
int64_t RecoveryBoundMs(const Settings& s);
// A call of `exchanges` reader exchanges: each may run its full window, the
// call may run `recoveries` recoveries, and after each the exchanges again.
int64_t CallBoundMs(const Settings& s, int exchanges);
// RFRW_Open: the bridge chain, the firmware version and the operating mode
// (two exchanges) with the device recoveries the open may make; plus the
// longest call another process may be making on the same unit (the open
// waits for the unit's API mutex), `longestCallMs`.
int64_t OpenBoundMs(const Settings& s, int64_t longestCallMs);

// ---- commands ---------------------------------------------------------------

// Hex text of the scenario's EPCs and data; empty for anything but hex digits.
std::vector<uint8_t> FromHex(std::string_view hex);
inline std::string ToHex(const uint8_t* bytes, size_t length) { return protocol::HexText(bytes, length); }
inline std::string ToHex(const std::vector<uint8_t>& v) { return protocol::HexText(v); }

// The reader's firmware version (a reader command answered with 4 bytes).
std::vector<uint8_t> VersionCommand();
// The reader's module type (a query of item 0x0012, one byte).
std::vector<uint8_t> ModuleTypeCommand();
// An inventory of every tag with signal strengths.
std::vector<uint8_t> InventoryCommand();
// A read of `words` user words from word 0 of the tag with PC 3000 and the
// 6-word EPC `epcHex`.
std::vector<uint8_t> ReadUserCommand(const std::string& epcHex, int words);
// A write of `data` (whole words) at user word `address` of that tag.
std::vector<uint8_t> WriteUserCommand(const std::string& epcHex, int address, const std::vector<uint8_t>& data);

// ---- log accounting ---------------------------------------------------------

// The record's text and data as a mirror line shows them ("PID TID LEVEL
// PORT TEXT[ | DATA]"): everything after the fourth blank; "" when the
// line is not one.
std::string_view MirrorKey(std::string_view line);
// The same of a line of the decoded log ("DATE TIME [STAMP] TEXT[ | DATA]"):
// everything after "] "; "" for a "!!" line.
std::string_view LogKey(std::string_view line);

struct LogAccount {
  uint64_t sent = 0;         // mirror lines accounted
  uint64_t found = 0;        // of those, found in the log
  uint64_t lost = 0;         // sent - found
  uint64_t logRecords = 0;   // records in the log
  uint64_t damaged = 0;      // "!!" lines: damaged stretches, truncated records
  uint64_t lostNotices = 0;  // records the writers themselves counted as dropped
  std::vector<std::string> lostExamples;  // the first few lost records' keys
};

// Every record of `mirrorLines` must be found in `logText` (the decoded
// log, one record a line), as often as the mirrors hold it; records of the
// log that no mirror line accounts for (written outside the accounted
// stretch) are not counted against it.
LogAccount AccountRecords(const std::vector<std::string>& mirrorLines, std::string_view logText);

}  // namespace zq::soak
