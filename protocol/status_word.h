// The reader's status words: the last two bytes (SW1 SW2) of every reply
// body. 90 00 means the command was executed; 64 00 to 64 04 are failures
// the reader reports; 64 05 to 64 0E are conditions after which the driver
// power-cycles the reader and replays its settings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zq::protocol {

inline constexpr uint16_t kSwSuccess = 0x9000;
inline constexpr uint16_t kSwFailed = 0x6400;           // the first body byte tells why
inline constexpr uint16_t kSwRefused = 0x6401;          // the command is not served
inline constexpr uint16_t kSwFailedStatus15 = 0x6402;   // failed with reader status 0x15
inline constexpr uint16_t kSwGeneralFailure = 0x6403;   // also what the driver reports for a reply it cannot use
inline constexpr uint16_t kSwFailedWithStatus = 0x6404; // the first body byte is the reader's status
inline constexpr uint16_t kSwRecoveryFirst = 0x6405;
inline constexpr uint16_t kSwRecoveryLast = 0x640E;

constexpr bool IsSuccess(uint16_t sw) { return sw == kSwSuccess; }
constexpr bool IsFailure(uint16_t sw) { return sw >= kSwFailed && sw <= kSwFailedWithStatus; }
// The reader needs a power-off/on recovery before it is used again.
constexpr bool NeedsRecovery(uint16_t sw) { return sw >= kSwRecoveryFirst && sw <= kSwRecoveryLast; }

// The status word at the end of a reply body of `length` bytes; false (and
// *sw untouched) when the body is shorter than two bytes.
inline bool StatusWordOf(const uint8_t* body, size_t length, uint16_t* sw) {
  if (length < 2) return false;
  *sw = static_cast<uint16_t>((body[length - 2] << 8) | body[length - 1]);
  return true;
}

inline void AppendStatusWord(std::vector<uint8_t>& body, uint16_t sw) {
  body.push_back(static_cast<uint8_t>(sw >> 8));
  body.push_back(static_cast<uint8_t>(sw));
}

}  // namespace zq::protocol
