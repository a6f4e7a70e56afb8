// The log record: its bytes, its scrambled and escaped form on the mailslot
// and in the log files, and the way back. Pure functions, no system calls.
//
// Record: 6 time bytes (year - 2000 as (year & 0xFF) + 0x30, month, day,
// hour, minute, second), a 16-bit little-endian millisecond stamp, an
// optional text section (01, 16-bit length, text), an optional data section
// (02, 16-bit length, bytes) and the end tag 03. On the wire every byte is
// XORed with 0x3C and then FE, FF, 00, 0A become FE 01, FE 02, FE 03, FE 04,
// so a message never holds a zero or a line feed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zq::logfmt {

inline constexpr size_t kRecordCapacity = 32768;
inline constexpr size_t kTextCapacity = 32757;  // formatted text with its zero
inline constexpr size_t kMaxData = 32668;
inline constexpr size_t kMaxMessage = 32768;    // the collector's message buffer
inline constexpr uint8_t kScramble = 0x3C;

struct RecordTime {
  uint16_t year;
  uint8_t month;
  uint8_t day;
  uint8_t hour;
  uint8_t minute;
  uint8_t second;
  uint16_t stamp;  // millisecond counter, low 16 bits
};

// Writes the record of `text` and `data` into out[kRecordCapacity] and
// returns its length. The text is cut to kTextCapacity - 1 bytes, the data
// to kMaxData bytes and then to what still fits the record.
size_t BuildRecord(const RecordTime& time, std::string_view text, const uint8_t* data, size_t dataLength,
                   uint8_t* out);

// Scrambles and escapes `length` record bytes into out (room for
// 2 * length bytes); returns the message length.
size_t ScrambleAndEscape(const uint8_t* record, size_t length, uint8_t* out);

// The mailslot message of a record: built, scrambled and escaped, with the
// data section (and if need be the text) cut until it fits kMaxMessage.
std::vector<uint8_t> BuildMessage(const RecordTime& time, std::string_view text, const uint8_t* data,
                                  size_t dataLength);

// The same in two steps, so that the costly part (formatting the sections,
// escaping them) can run before the writer takes its lock and only the
// time stamp is added under it. Escaping works byte by byte, so the
// escaped header simply goes in front of the escaped sections.
inline constexpr size_t kHeaderRoom = 16;  // an escaped 8-byte header at most
struct PreparedMessage {
  std::vector<uint8_t> bytes;  // kHeaderRoom free bytes, then the escaped sections
};
PreparedMessage PrepareMessage(std::string_view text, const uint8_t* data, size_t dataLength);
// Puts the escaped header in front; returns where the complete message
// starts within prepared.bytes and sets *length.
size_t StampMessage(PreparedMessage& prepared, const RecordTime& time, size_t* length);

// One record read back from a log file.
struct DecodedRecord {
  RecordTime time{};
  bool hasText = false;
  std::string text;  // as recorded (code page 932)
  bool hasData = false;
  std::vector<uint8_t> data;
};

enum class DecodeStatus {
  kOk,         // a whole record; `consumed` bytes used
  kNeedMore,   // the bytes end inside a record
  kDamaged,    // not a record at this position
};

// Decodes the record that starts at raw[0] (escaped, scrambled bytes).
DecodeStatus DecodeRecord(const uint8_t* raw, size_t length, DecodedRecord* out, size_t* consumed);

// Walks a whole buffer of records. For each record calls onRecord; for each
// stretch of bytes that holds no record calls onDamaged(offset, length); a
// record cut off by the end of the buffer is reported by onTruncated(offset)
// when `final` is true, else left unconsumed. Returns the bytes consumed.
template <typename OnRecord, typename OnDamaged, typename OnTruncated>
size_t WalkRecords(const uint8_t* raw, size_t length, bool final, OnRecord onRecord, OnDamaged onDamaged,
                   OnTruncated onTruncated) {
  size_t pos = 0;
  size_t damagedStart = 0;
  bool inDamage = false;
  while (pos < length) {
    DecodedRecord record;
    size_t used = 0;
    DecodeStatus status = DecodeRecord(raw + pos, length - pos, &record, &used);
    if (status == DecodeStatus::kDamaged) {
      if (!inDamage) damagedStart = pos;
      inDamage = true;
      ++pos;
      continue;
    }
    if (inDamage) {
      onDamaged(damagedStart, pos - damagedStart);
      inDamage = false;
    }
    if (status == DecodeStatus::kNeedMore) {
      if (!final) return pos;
      onTruncated(pos);
      return length;
    }
    onRecord(record);
    pos += used;
  }
  if (inDamage) onDamaged(damagedStart, pos - damagedStart);
  return pos;
}

}  // namespace zq::logfmt
