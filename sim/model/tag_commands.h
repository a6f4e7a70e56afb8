// How a simulated tag reads a Gen2 command: the fields of Select, Req_RN,
// Read, Write, Kill, Lock and Access, taken from the command's bits with
// their CRC-16 checked and their length exact. This reading is the tags'
// own, so that tests can hold what a host builds against it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "sim/model/hex.h"

namespace zq::sim {

struct Gen2Command {
  enum class Kind { kSelect, kReqRn, kRead, kWrite, kKill, kLock, kAccess };
  Kind kind = Kind::kSelect;

  // Select
  uint8_t target = 0;
  uint8_t action = 0;
  uint32_t pointer = 0;  // a bit address
  uint8_t length = 0;    // mask bits
  Bytes mask;            // left-aligned, unused low bits 0
  bool truncate = false;

  // Select, Read, Write
  uint8_t bank = 0;
  // Read, Write
  uint32_t word_ptr = 0;
  // Read
  uint8_t word_count = 0;
  // Write: the data word; Kill, Access: the password half; as sent (cover-coded)
  uint16_t word = 0;
  // Kill
  uint8_t rfu = 0;
  // Lock
  uint32_t payload = 0;  // 20 bits
  // every command but Select: the handle (Req_RN: the RN16 or handle it names)
  uint16_t handle = 0;
};

// The command in the first `bits` bits of `data`; nothing when its CRC-16
// is wrong, a field is cut short, bits are left over, or its code is not
// one of the seven (tags stay silent for all of these).
std::optional<Gen2Command> ParseGen2Command(const uint8_t* data, size_t bits);

}  // namespace zq::sim
