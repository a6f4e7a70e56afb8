// The comm library's trace: lines in "ZqRfrwCommVO_Log.LOG" in the current
// directory (the previous generation in "ZqRfrwCommVO_Back_Log.LOG" once
// the file passes 20000 bytes), and a named trace in the optional trace
// library libZQTRACE2.so.
//
// Line: "yyyy/mm/dd hh:mm:ss.mmm " + message, at most 1013 characters, CR LF,
// code page 932. Messages are "CODE 0x%x 0x%x 0x%x" or "CODE,TEXT"; API
// entry and exit codes begin with the character U+25A0 (CP932 81 A1).
//
// Sections: TraceSink; CZqTrace; pure helpers.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zq::platform {
struct Module;
}

namespace zq::comm {

inline constexpr const char* kTraceFile = "ZqRfrwCommVO_Log.LOG";
inline constexpr const char* kTraceBackFile = "ZqRfrwCommVO_Back_Log.LOG";
inline constexpr long kTraceRotateBytes = 20000;
inline constexpr size_t kTraceLineMax = 1013;  // time stamp and message
inline constexpr const char* kTraceLibrary = "libZQTRACE2.so";

// "\x81\xA1" "API:" + text: the code of an API entry or exit line.
std::string Api(std::string_view text);

// ---- TraceSink ----------------------------------------------------------------------

// The trace state of one port and the lines written under it. Shared by the
// port object and its reader thread; lines are written only while the state
// is 1. Thread-safe: each line is appended by its own open-write-close under
// one process-wide lock.
class TraceSink {
 public:
  int32_t state() const { return state_.load(std::memory_order_acquire); }
  void set_state(int32_t s) { state_.store(s, std::memory_order_release); }
  bool on() const { return state() == 1; }

  // "CODE 0x%x 0x%x 0x%x".
  void Line(std::string_view code, uint32_t a, uint32_t b, uint32_t c) const;
  // "CODE,TEXT" (the text as it is: device names and IDs pass unconverted).
  void Text(std::string_view code, std::string_view text) const;
  // A data line: "CODE 0x5 0x<length> 0x<first four bytes, little-endian>".
  void Data(std::string_view code, uint32_t length, const void* data) const;

 private:
  std::atomic<int32_t> state_{0};
};

// ---- CZqTrace -------------------------------------------------------------------------

// The trace library of one port object: loaded by name at construction
// (its absence changes nothing but the calls below), unloaded at
// destruction. Its entry addresses are process-wide, refilled by every
// construction. Used from the request thread only.
class CZqTrace {
 public:
  CZqTrace();
  virtual ~CZqTrace();
  CZqTrace(const CZqTrace&) = delete;
  CZqTrace& operator=(const CZqTrace&) = delete;

  void set_enabled(int32_t e) { enabled_ = e; }
  int32_t enabled() const { return enabled_; }
  bool libraryLoaded() const { return module_ != nullptr; }

  // Sets the state to -2, then opens the named trace of the logical name in
  // the library, if there is one, leaving its result in the state.
  void Open(const std::string& logicalName, TraceSink& sink);
  // The library's close with the state, which becomes -2; nothing without
  // the library or when no trace was opened (state -2).
  void Close(TraceSink& sink);
  // Rows of 20 bytes as data lines with an empty code, when the library
  // is there with its trace entry; nothing above 1000 bytes.
  void Dump(const TraceSink& sink, const void* data, size_t length);

 private:
  int32_t enabled_ = 0;
  platform::Module* module_ = nullptr;
  uint8_t dump_[1000] = {};
};

// ---- pure helpers -----------------------------------------------------------------------

// The name the library's trace is opened under at attempt k (0 to 14): the
// last min(n, 14) of the first n characters (n at most 32), the character
// 0x30 + k, then "C". Empty when the logical name is.
std::string TraceOpenName(const std::string& logicalName, int k);

// The whole line for a message: time stamp, message (or nothing when it
// would pass kTraceLineMax), CR LF.
std::string TraceLineText(const std::string& stamp, const std::string& message);

}  // namespace zq::comm
