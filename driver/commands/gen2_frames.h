// The Gen2 tag commands the driver composes, as the reader's tag command
// frames. The reader module sends a tag command it is handed as a bit
// string and returns the tag's reply bits; the frame is
//
//   08 03 00 B L1(2) T1(2) Le(2) command bits
//
// B the reply mode, L1 the reply bits expected from the tag, T1 the time
// value, Le the number of command bits (all big-endian); the command bits
// are sent most significant bit first, unused bits of the last byte 0.
//
// Pure functions, no system calls and no logging: the bit writer reports
// each append to a trace the caller gives (the thread's work area logs it,
// tag_work_area.h). Each builder clears the writer it is given, composes
// the command and its CRC-16 there and returns the whole frame.
//
// Sections: bit writer; tag command frame; the commands; raw commands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/bits.h"

namespace zq::drv {

using Bytes = std::vector<uint8_t>;

// ---- bit writer ---------------------------------------------------------------

// Receives the bit writer's two trace points of every append. Called on
// the writer's thread, inside the append.
class BitWriteTrace {
 public:
  virtual ~BitWriteTrace() = default;
  // Before an append: the command's bits so far, the bits appended, and
  // the number of source bytes they are taken from.
  virtual void Appending(size_t totalBits, size_t setBits, size_t setBytes) = 0;
  // After it: the command's bits now.
  virtual void Appended(size_t totalBits) = 0;
};

class Gen2BitWriter {
 public:
  explicit Gen2BitWriter(BitWriteTrace* trace = nullptr) : trace_(trace) {}

  void Clear() { bits_.Clear(); }
  // The first `bits` bits of `source`, most significant bit first, at the
  // current position. Only those bits are read: a partly used last source
  // byte may hold anything in its other bits.
  void Append(const uint8_t* source, size_t bits);
  // The low `bits` bits (at most 32) of `value`, given to Append
  // left-aligned in ceil(bits / 8) bytes.
  void AppendField(uint32_t value, unsigned bits);
  void AppendEbv(uint32_t value);
  // The CRC-16 of every bit written so far.
  void AppendCrc16();

  size_t bit_count() const { return bits_.bit_count(); }
  const Bytes& bytes() const { return bits_.bytes(); }

 private:
  protocol::BitWriter bits_;
  BitWriteTrace* trace_;
};

// ---- tag command frame --------------------------------------------------------

inline constexpr uint8_t kTagCommandClass = 0x08;
inline constexpr uint8_t kTagCommandIns = 0x03;
inline constexpr size_t kTagCommandHeadLength = 10;

// Reply modes (B) of the reader's tag command.
inline constexpr uint8_t kReplyModeImmediate = 0x00;  // Select, Req_RN, Access
inline constexpr uint8_t kReplyModeRead = 0x02;       // Read
inline constexpr uint8_t kReplyModeDelayed = 0x03;    // Write, Kill, Lock
// What the raw transmission's reply mode is XORed with.
inline constexpr uint8_t kRawReplyModeFlip = 0x02;

// Time values (T1): a Read of more than kLongReadWords words gets the long one.
inline constexpr uint16_t kTagTime = 50;
inline constexpr uint16_t kTagTimeLongRead = 250;
inline constexpr uint32_t kLongReadWords = 64;

// The frame around the bits in `command`.
Bytes TagCommandFrame(uint8_t replyMode, uint16_t replyBits, uint16_t time, const Gen2BitWriter& command);

// ---- the commands -------------------------------------------------------------

// Memory banks.
inline constexpr uint8_t kBankReserved = 0;
inline constexpr uint8_t kBankEpc = 1;
inline constexpr uint8_t kBankTid = 2;
inline constexpr uint8_t kBankUser = 3;

// The Select mask length field is 8 bits: a longer mask goes out in pieces
// of this many bits.
inline constexpr uint32_t kSelectLongestMask = 255;
inline constexpr uint32_t kSelectPieceBits = 248;
// Select actions: the first piece sets the flag of matching tags and clears
// the others'; every later piece only clears the flag of tags it does not
// match, so that in the end a tag is flagged only if it matched every piece.
inline constexpr uint8_t kSelectActionMatch = 0;
inline constexpr uint8_t kSelectActionNarrow = 2;

// Select (target 000, truncate 0) of `lengthBits` bits of `mask` (at least
// ceil(lengthBits / 8) bytes; none for 0) at bit `pointer` of `bank`. One
// frame for a length up to kSelectLongestMask (0 included), else one per
// kSelectPieceBits piece, each with the pointer and the mask advanced by
// what the earlier pieces sent.
std::vector<Bytes> SelectFrames(Gen2BitWriter& w, uint8_t bank, uint32_t pointer, uint32_t lengthBits,
                                const uint8_t* mask);

Bytes ReqRnFrame(Gen2BitWriter& w, uint16_t handle);
Bytes ReadFrame(Gen2BitWriter& w, uint8_t bank, uint32_t wordPtr, uint8_t wordCount, uint16_t handle);
// The word is sent cover-coded with `rn16`, the RN16 of the Req_RN just before.
Bytes WriteFrame(Gen2BitWriter& w, uint8_t bank, uint32_t wordPtr, uint16_t word, uint16_t handle, uint16_t rn16);

enum class KillHalf { kFirst, kSecond };
// `coveredHalf` is the password half already cover-coded (CoverCode).
Bytes KillFrame(Gen2BitWriter& w, KillHalf half, uint16_t coveredHalf, uint16_t handle);
Bytes AccessFrame(Gen2BitWriter& w, uint16_t coveredHalf, uint16_t handle);
// The first 20 bits of the three payload bytes (mask bits 19..10, action
// bits 9..0); the low four bits of the third byte are not sent.
Bytes LockFrame(Gen2BitWriter& w, const uint8_t payload[3], uint16_t handle);

// Cover-coding: the value XOR the RN16, most significant byte with most
// significant byte.
constexpr uint16_t CoverCode(uint16_t value, uint16_t rn16) { return static_cast<uint16_t>(value ^ rn16); }
// Half 0 or 1 of a four-byte password, as a word.
constexpr uint16_t PasswordHalf(const uint8_t password[4], int half) {
  return static_cast<uint16_t>((password[2 * half] << 8) | password[2 * half + 1]);
}

// ---- raw commands -------------------------------------------------------------

// The application's `le` command bits into `w`: with `applicationCrc` all
// of them as given; else the first le - 16, followed by their CRC-16 (the
// application's last 16 bits are replaced). False (and `w` empty) when
// there are fewer than 16 bits to replace.
bool ComposeRawCommand(Gen2BitWriter& w, const uint8_t* bits, uint16_t le, bool applicationCrc);
// The frame of a raw transmission: B = low byte of `b12` XOR 2, the
// application's L1, T1 always kTagTime, Le the bits in `w`.
Bytes RawTagCommandFrame(uint16_t b12, uint16_t replyBits, const Gen2BitWriter& w);

}  // namespace zq::drv
