// Sections: frame access; the rewrite of delayed and Read replies; the
// handle checks; the raw transmission's check.
#include "driver/commands/tag_reply.h"

#include "protocol/crc.h"
#include "protocol/frame.h"
#include "protocol/status_word.h"

namespace zq::drv {
namespace {

// ---- frame access -------------------------------------------------------------

uint8_t* Body(uint8_t* frame) { return frame + protocol::kFrameHeadLength; }

void SetBodyLength(uint8_t* frame, size_t length) { protocol::WriteFrameHead(frame[0], length, frame); }

// The body becomes `first` followed by the status word `sw`.
void ShortBody(uint8_t* frame, uint8_t first, uint16_t sw) {
  uint8_t* body = Body(frame);
  body[0] = first;
  body[1] = static_cast<uint8_t>(sw >> 8);
  body[2] = static_cast<uint8_t>(sw);
  SetBodyLength(frame, 3);
}

// The CRC-16 over the first `covered` of `available` tag bits, and the 16
// bits after them; false when the bits are not all there.
bool CompareCrc(const uint8_t* tagBits, size_t available, size_t covered, TagReplyCheck* check) {
  check->coveredBits = covered;
  if (available < covered + 16) return false;
  uint16_t received = 0;
  for (size_t i = covered; i < covered + 16; ++i) {
    received = static_cast<uint16_t>((received << 1) | ((tagBits[i / 8] >> (7 - i % 8)) & 1u));
  }
  check->computedCrc = protocol::Crc16Bits(tagBits, covered);
  check->receivedCrc = received;
  return check->computedCrc == check->receivedCrc;
}

bool EndsInSuccess(const uint8_t* body, size_t length) {
  uint16_t sw = 0;
  return protocol::StatusWordOf(body, length, &sw) && protocol::IsSuccess(sw);
}

TagReplyCheck Mismatch(uint8_t* frame, TagReplyCheck check) {
  check.outcome = TagReplyOutcome::kCrcMismatch;
  ShortBody(frame, kRStatusTagCrc, protocol::kSwGeneralFailure);
  return check;
}

TagReplyCheck NoTagReply(uint8_t* frame, TagReplyCheck check) {
  check.outcome = TagReplyOutcome::kNoTagReply;
  ShortBody(frame, Body(frame)[0], protocol::kSwGeneralFailure);
  return check;
}

// Reply bits of a delayed or Read reply: the header bit, then the error
// code (8) or the data, the handle (16) and the CRC-16.
constexpr size_t kErrorReplyCovered = 25;
constexpr size_t kHandleBits = 16;
constexpr size_t kCrcBits = 16;

// Req_RN, Access and first Kill half replies: the handle (or RN16), then its CRC-16.
TagReplyCheck CheckImmediate(uint8_t* frame, bool killFirst) {
  TagReplyCheck check;
  const size_t length = protocol::PayloadLength(frame);
  const uint8_t* body = Body(frame);
  check.receivedLength = length;
  if (length < kMinHandleReplyBody) return check;
  if (killFirst && body[0] != kTagReplied) return NoTagReply(frame, check);
  if (!EndsInSuccess(body, length)) return check;
  if (!CompareCrc(body + 1, 32, kHandleBits, &check)) return Mismatch(frame, check);
  check.outcome = TagReplyOutcome::kTagAnswered;
  return check;
}

}  // namespace

// ---- the rewrite of delayed and Read replies ----------------------------------

TagReplyCheck RewriteTagReply(uint8_t* frame, size_t dataWords) {
  TagReplyCheck check;
  const size_t length = protocol::PayloadLength(frame);
  uint8_t* body = Body(frame);
  check.receivedLength = length;
  if (length < kMinRewrittenBody) return check;
  if (body[0] != kTagReplied) return NoTagReply(frame, check);

  uint8_t* tag = body + 1;
  const size_t tagBytes = length - 3;
  const bool errorReply = (tag[0] & 0x80) != 0;
  const size_t covered = errorReply ? kErrorReplyCovered : 1 + 16 * dataWords + kHandleBits;
  if (!CompareCrc(tag, tagBytes * 8, covered, &check)) return Mismatch(frame, check);

  if (errorReply) {
    check.outcome = TagReplyOutcome::kTagError;
    const uint8_t code = static_cast<uint8_t>((tag[0] << 1) | (tag[1] >> 7));
    ShortBody(frame, code, protocol::kSwFailedWithStatus);
    return check;
  }
  // Drop the header bit: every byte takes its neighbour's top bit. The
  // source reaches one byte further than what is kept, and CompareCrc made
  // sure that byte is there.
  const uint8_t sw1 = body[length - 2], sw2 = body[length - 1];
  const size_t kept = (covered - 1 + kCrcBits) / 8;
  for (size_t i = 0; i < kept; ++i) tag[i] = static_cast<uint8_t>((tag[i] << 1) | (tag[i + 1] >> 7));
  tag[kept] = sw1;
  tag[kept + 1] = sw2;
  SetBodyLength(frame, 1 + kept + 2);
  check.outcome = TagReplyOutcome::kTagAnswered;
  return check;
}

// ---- the handle checks --------------------------------------------------------

TagReplyCheck CheckHandleReply(uint8_t* frame) { return CheckImmediate(frame, false); }
TagReplyCheck CheckFirstKillReply(uint8_t* frame) { return CheckImmediate(frame, true); }

// ---- the raw transmission's check ---------------------------------------------

RawReplyCheck CheckRawTagReply(const uint8_t* body, size_t length, uint16_t replyBits) {
  RawReplyCheck raw;
  if (length < 3 || body[0] != kTagReplied || !EndsInSuccess(body, length)) return raw;
  raw.checked = true;
  const uint8_t* tag = body + 1;
  const size_t available = (length - 3) * 8;
  size_t covered = 0;
  if (available >= kErrorReplyCovered + kCrcBits && (tag[0] & 0x80) != 0) {
    covered = kErrorReplyCovered;
  } else if (replyBits >= kCrcBits && replyBits <= available) {
    covered = replyBits - kCrcBits;
  } else {
    raw.sound = false;
    return raw;
  }
  TagReplyCheck check;
  raw.sound = CompareCrc(tag, available, covered, &check);
  raw.computedCrc = check.computedCrc;
  raw.receivedCrc = check.receivedCrc;
  return raw;
}

}  // namespace zq::drv
