// Turning the collector's log files back into lines people can read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/log_record.h"

namespace zq::logview {

// "YYYY-MM-DD HH:MM:SS [stamp] text | 0A 0B ..." (the text in UTF-8).
std::string FormatRecord(const logfmt::DecodedRecord& record);

// Decodes `length` bytes of a log file and appends one line per record, and
// one "!! ..." line per damaged stretch or truncated record, to `out`.
// With final false, a record cut off by the end is left for the next call.
// Returns the bytes consumed. Never fails on any input.
size_t DecodeToText(const uint8_t* bytes, size_t length, bool final, std::string* out);

// The bytes of the file at `path` from `offset` to its end as it is now
// (none when it is no longer than that); *exists (when given) says whether
// the file could be opened. For following a log file as it grows.
std::vector<uint8_t> ReadFrom(const std::string& path, uint64_t offset, bool* exists = nullptr);

}  // namespace zq::logview
