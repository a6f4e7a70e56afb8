#include "protocol/epc/tid.h"

#include "protocol/hex.h"

namespace zq::protocol::epc {

namespace {

const char* ClassName(uint8_t c) {
  switch (c) {
    case 0xE0: return "ISO/IEC 7816-6";
    case 0xE1: return "ISO/IEC 14816";
    case 0xE2: return "GS1 EPCglobal";
    case 0xE3: return "ISO/IEC 7816-6 (E3)";
    default: return "";
  }
}

std::string Words(size_t n) { return std::to_string(n) + (n == 1 ? " word" : " words"); }

}  // namespace

TidInfo DecodeTid(const uint8_t* tid, size_t length) {
  TidInfo t;
  length -= length % 2;
  if (length < 2) {
    t.detail = "no TID words given";
    return t;
  }
  t.allocationClass = tid[0];
  t.className = ClassName(tid[0]);
  if (!*t.className) {
    t.detail = "allocation class " + HexText(tid, 1) + " is none of E0, E1, E2, E3";
    return t;
  }
  t.ok = true;
  if (t.allocationClass == 0xE0) {
    // An 8-bit IC manufacturer code, then a 48-bit serial: 4 words.
    t.mdid = tid[1];
    t.hasModel = true;
    t.serialBits = 48;
    if (length >= 8) t.serial = HexText(tid + 2, 6);
    else t.detail = "the 48-bit serial needs 4 words; " + Words(length / 2) + " given";
    return t;
  }
  if (t.allocationClass != 0xE2) return t;
  if (length < 4) {
    t.detail = "the mask designer and model number need 2 words; 1 given";
    return t;
  }
  const uint32_t head = static_cast<uint32_t>(tid[1]) << 16 | static_cast<uint32_t>(tid[2]) << 8 | tid[3];
  t.hasModel = true;
  t.xtid = (head >> 23) & 1;
  t.security = (head >> 22) & 1;
  t.file = (head >> 21) & 1;
  t.mdid = static_cast<uint16_t>((head >> 12) & 0x1FF);
  t.tmn = static_cast<uint16_t>(head & 0xFFF);
  if (!t.xtid) return t;  // no XTID: the TID declares no serial
  if (length < 6) {
    t.detail = "the XTID header is word 2; " + Words(length / 2) + " given";
    return t;
  }
  t.hasXtidHeader = true;
  t.xtidHeader = static_cast<uint16_t>(tid[4] << 8 | tid[5]);
  t.extendedHeader = t.xtidHeader & 0x0001;
  t.userMemorySegment = (t.xtidHeader >> 10) & 1;
  t.blockWriteSegment = (t.xtidHeader >> 11) & 1;
  t.optionalCommandSegment = (t.xtidHeader >> 12) & 1;
  const unsigned n = t.xtidHeader >> 13;
  if (n == 0) return t;
  t.serialBits = 48 + 16 * (n - 1);
  const size_t serialBytes = t.serialBits / 8;
  if (length >= 6 + serialBytes) t.serial = HexText(tid + 6, serialBytes);
  else t.detail = "the " + std::to_string(t.serialBits) + "-bit serial ends at word " + std::to_string(2 + serialBytes / 2) +
                  "; " + Words(length / 2) + " given";
  return t;
}

}  // namespace zq::protocol::epc
