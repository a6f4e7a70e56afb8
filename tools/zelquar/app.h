// The tool's own pure parts: hex text and its exit codes. The command
// bytes, the response decoding and the messages are the client library's
// (client/commands.h); the tool names them as its own.
//
// Sections: bytes and hex; exit codes.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "client/commands.h"

namespace zq::tool {

using namespace zq::client;  // NOLINT: the command set, under the tool's names

// ---- bytes and hex ----------------------------------------------------------

// Hex text (blanks, ':' and '-' between digits allowed) to bytes; nullopt
// for anything else or an odd number of digits.
std::optional<Bytes> ParseHex(const std::string& text);
// Upper-case hex without blanks ("" for no bytes).
std::string ToHex(const Bytes& bytes);
std::string ToHex(const uint8_t* bytes, size_t length);
// "90 00"-style hex of a status word.
std::string StatusWordText(uint16_t sw);

// ---- exit codes ---------------------------------------------------------------

// What the tool's process returns; documented in docs/tool.md.
enum class ExitCode : int {
  kOk = 0,
  kRefused = 1,        // the reader or the tag refused (status word not 90 00), or a check found other data
  kUsage = 2,          // bad arguments: nothing was sent
  kDriverError = 3,    // a driver call failed (a negative RFRW_Result)
  kNoDriver = 4,       // the driver library could not be loaded
  kNoReader = 5,       // no reader: the device could not be attached
  kSimulator = 6,      // --sim: the private simulator could not be started
  kTimedOut = 7,       // --timeout: a driver call did not return in time
  kInterrupted = 130,  // Ctrl-C or SIGTERM ended a command that was not a watch
};

}  // namespace zq::tool
