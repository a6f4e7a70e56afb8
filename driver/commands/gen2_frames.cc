// Sections: bit writer; tag command frame; the commands; raw commands.
#include "driver/commands/gen2_frames.h"

#include <algorithm>

#include "protocol/crc.h"

namespace zq::drv {

// ---- bit writer ---------------------------------------------------------------

void Gen2BitWriter::Append(const uint8_t* source, size_t bits) {
  if (trace_) trace_->Appending(bits_.bit_count(), bits, (bits + 7) / 8);
  bits_.PutBits(source, bits);
  if (trace_) trace_->Appended(bits_.bit_count());
}

void Gen2BitWriter::AppendField(uint32_t value, unsigned bits) {
  const uint32_t aligned = bits == 0 ? 0 : value << (32 - bits);
  const uint8_t bytes[4] = {static_cast<uint8_t>(aligned >> 24), static_cast<uint8_t>(aligned >> 16),
                            static_cast<uint8_t>(aligned >> 8), static_cast<uint8_t>(aligned)};
  Append(bytes, bits);
}

void Gen2BitWriter::AppendEbv(uint32_t value) {
  const Bytes ebv = protocol::EncodeEbv(value);
  Append(ebv.data(), ebv.size() * 8);
}

void Gen2BitWriter::AppendCrc16() { AppendField(protocol::Crc16Bits(bytes().data(), bit_count()), 16); }

// ---- tag command frame --------------------------------------------------------

namespace {

void PutBe16(Bytes& out, size_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

// Gen2 command codes.
constexpr uint8_t kCodeSelect = 0xA;  // four bits
constexpr uint8_t kCodeReqRn = 0xC1;
constexpr uint8_t kCodeRead = 0xC2;
constexpr uint8_t kCodeWrite = 0xC3;
constexpr uint8_t kCodeKill = 0xC4;
constexpr uint8_t kCodeLock = 0xC5;
constexpr uint8_t kCodeAccess = 0xC6;

// Reply bits the tag sends: the handle (or RN16) and its CRC-16; with the
// header bit in front for the delayed replies.
constexpr uint16_t kHandleReplyBits = 32;
constexpr uint16_t kDelayedReplyBits = 33;

constexpr unsigned kLockPayloadBits = 20;

}  // namespace

Bytes TagCommandFrame(uint8_t replyMode, uint16_t replyBits, uint16_t time, const Gen2BitWriter& command) {
  Bytes frame{kTagCommandClass, kTagCommandIns, 0x00, replyMode};
  frame.reserve(kTagCommandHeadLength + command.bytes().size());
  PutBe16(frame, replyBits);
  PutBe16(frame, time);
  PutBe16(frame, command.bit_count());
  frame.insert(frame.end(), command.bytes().begin(), command.bytes().end());
  return frame;
}

// ---- the commands -------------------------------------------------------------

std::vector<Bytes> SelectFrames(Gen2BitWriter& w, uint8_t bank, uint32_t pointer, uint32_t lengthBits,
                                const uint8_t* mask) {
  std::vector<Bytes> frames;
  uint32_t sent = 0;
  do {
    const uint32_t rest = lengthBits - sent;
    const uint32_t piece = lengthBits <= kSelectLongestMask ? rest : std::min(rest, kSelectPieceBits);
    w.Clear();
    w.AppendField(kCodeSelect, 4);
    w.AppendField(0, 3);  // target
    w.AppendField(sent == 0 ? kSelectActionMatch : kSelectActionNarrow, 3);
    w.AppendField(bank, 2);
    w.AppendEbv(pointer + sent);
    w.AppendField(piece, 8);
    if (piece > 0) w.Append(mask + sent / 8, piece);
    w.AppendField(0, 1);  // truncate
    w.AppendCrc16();
    frames.push_back(TagCommandFrame(kReplyModeImmediate, 0, kTagTime, w));
    sent += piece;
  } while (sent < lengthBits);
  return frames;
}

Bytes ReqRnFrame(Gen2BitWriter& w, uint16_t handle) {
  w.Clear();
  w.AppendField(kCodeReqRn, 8);
  w.AppendField(handle, 16);
  w.AppendCrc16();
  return TagCommandFrame(kReplyModeImmediate, kHandleReplyBits, kTagTime, w);
}

Bytes ReadFrame(Gen2BitWriter& w, uint8_t bank, uint32_t wordPtr, uint8_t wordCount, uint16_t handle) {
  w.Clear();
  w.AppendField(kCodeRead, 8);
  w.AppendField(bank, 2);
  w.AppendEbv(wordPtr);
  w.AppendField(wordCount, 8);
  w.AppendField(handle, 16);
  w.AppendCrc16();
  const uint16_t replyBits = static_cast<uint16_t>(kDelayedReplyBits + 16 * wordCount);
  return TagCommandFrame(kReplyModeRead, replyBits, wordCount > kLongReadWords ? kTagTimeLongRead : kTagTime, w);
}

Bytes WriteFrame(Gen2BitWriter& w, uint8_t bank, uint32_t wordPtr, uint16_t word, uint16_t handle, uint16_t rn16) {
  w.Clear();
  w.AppendField(kCodeWrite, 8);
  w.AppendField(bank, 2);
  w.AppendEbv(wordPtr);
  w.AppendField(CoverCode(word, rn16), 16);
  w.AppendField(handle, 16);
  w.AppendCrc16();
  return TagCommandFrame(kReplyModeDelayed, kDelayedReplyBits, kTagTime, w);
}

Bytes KillFrame(Gen2BitWriter& w, KillHalf half, uint16_t coveredHalf, uint16_t handle) {
  w.Clear();
  w.AppendField(kCodeKill, 8);
  w.AppendField(coveredHalf, 16);
  w.AppendField(0, 3);  // RFU
  w.AppendField(handle, 16);
  w.AppendCrc16();
  return TagCommandFrame(kReplyModeDelayed, half == KillHalf::kFirst ? kHandleReplyBits : kDelayedReplyBits, kTagTime,
                         w);
}

Bytes AccessFrame(Gen2BitWriter& w, uint16_t coveredHalf, uint16_t handle) {
  w.Clear();
  w.AppendField(kCodeAccess, 8);
  w.AppendField(coveredHalf, 16);
  w.AppendField(handle, 16);
  w.AppendCrc16();
  return TagCommandFrame(kReplyModeImmediate, kHandleReplyBits, kTagTime, w);
}

Bytes LockFrame(Gen2BitWriter& w, const uint8_t payload[3], uint16_t handle) {
  w.Clear();
  w.AppendField(kCodeLock, 8);
  w.Append(payload, kLockPayloadBits);
  w.AppendField(handle, 16);
  w.AppendCrc16();
  return TagCommandFrame(kReplyModeDelayed, kDelayedReplyBits, kTagTime, w);
}

// ---- raw commands -------------------------------------------------------------

bool ComposeRawCommand(Gen2BitWriter& w, const uint8_t* bits, uint16_t le, bool applicationCrc) {
  w.Clear();
  if (applicationCrc) {
    w.Append(bits, le);
    return true;
  }
  if (le < 16) return false;
  w.Append(bits, le - 16u);
  w.AppendCrc16();
  return true;
}

Bytes RawTagCommandFrame(uint16_t b12, uint16_t replyBits, const Gen2BitWriter& w) {
  return TagCommandFrame(static_cast<uint8_t>((b12 & 0xFF) ^ kRawReplyModeFlip), replyBits, kTagTime, w);
}

}  // namespace zq::drv
