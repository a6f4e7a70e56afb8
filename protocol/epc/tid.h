// The TID bank: which chip a tag carries, after the GS1 EPC Tag Data
// Standard's TID layout (allocation class E2) and ISO/IEC 15963's classes.
//
// E2 (GS1 EPCglobal): word 0-1 = E2h, then the XTID indicator (bit 08h),
// the security indicator (09h), the file indicator (0Ah), the 9-bit mask
// designer ID (0Bh-13h) and the 12-bit tag model number (14h-1Fh). With the
// XTID indicator set, word 2 is the XTID header; its serialization field
// (bits 15..13 of the word, N) announces a serial of 48 + 16 * (N - 1) bits
// from word 3.
//
// E0 (ISO/IEC 7816-6): an 8-bit IC manufacturer code and a 48-bit serial.
// Pure; no system calls, no exceptions, bounded by the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zq::protocol::epc {

struct TidInfo {
  bool ok = false;              // at least the allocation class byte was given and is known
  std::string detail;           // why not, or what is missing
  uint8_t allocationClass = 0;  // the first byte: E0, E1, E2 or E3
  const char* className = "";   // "GS1 EPCglobal", "ISO/IEC 7816-6", "ISO/IEC 14816", "ISO/IEC 7816-6 (E3)"
  // E2 only (with its first two words).
  bool hasModel = false;        // mdid and tmn below are read
  bool xtid = false;            // the XTID indicator
  bool security = false;        // the security indicator
  bool file = false;            // the file indicator
  uint16_t mdid = 0;            // E2: the 9-bit mask designer ID; E0: the 8-bit IC manufacturer code
  uint16_t tmn = 0;             // E2: the 12-bit tag model number
  // The XTID header (E2 with the XTID indicator, when word 2 was given).
  bool hasXtidHeader = false;
  uint16_t xtidHeader = 0;
  bool extendedHeader = false;       // bit 0: further XTID header words follow
  bool userMemorySegment = false;    // bit 10: user memory and BlockPermaLock segment
  bool blockWriteSegment = false;    // bit 11: BlockWrite and BlockErase segment
  bool optionalCommandSegment = false;  // bit 12: optional command support segment
  // The serial: its length in bits when the TID declares one (0: none
  // declared, or not known from the words given), and its hex when the
  // words given hold all of it.
  unsigned serialBits = 0;
  std::string serial;
};

// The TID bank from word 0 (`length` bytes; whole words are read).
TidInfo DecodeTid(const uint8_t* tid, size_t length);

}  // namespace zq::protocol::epc
