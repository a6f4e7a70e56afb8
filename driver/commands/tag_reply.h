// The reader's replies to tag command frames, checked and rewritten into
// the short forms the tag operations read.
//
// A reply body is 01 when a tag replied, then the tag's reply bits padded
// to whole bytes, then the reader's status word; a body that does not start
// with 01 carries the reader's own outcome. The functions that rewrite work
// in place on a response frame as the exchange returns it: three head bytes
// (address, body length N big-endian), then the N body bytes. Rewrites only
// ever shorten the body; the head's length follows.
//
// Pure: no system calls, no logging. Each result carries what the caller
// logs (the body length as received, the bits the CRC-16 covers, the
// computed and the received CRC-16).
#pragma once

#include <cstddef>
#include <cstdint>

namespace zq::drv {

// The first body byte of a reply whose tag bits failed their CRC-16.
inline constexpr uint8_t kRStatusTagCrc = 0x06;
// The first body byte of a reply in which a tag answered.
inline constexpr uint8_t kTagReplied = 0x01;

// Bodies shorter than these are left as they came.
inline constexpr size_t kMinRewrittenBody = 8;       // Read, Write, Lock, second Kill half
inline constexpr size_t kMinHandleReplyBody = 7;     // Req_RN, Access, first Kill half

enum class TagReplyOutcome {
  kAsReceived,   // not a body these rules touch (too short; for the handle checks: not 90 00); unchanged
  kNoTagReply,   // no tag answered: the body is the reader's first byte and 64 03
  kTagError,     // a Gen2 error reply with a sound CRC-16: the body is its error code and 64 04
  kTagAnswered,  // a sound reply: rewritten without its header bit (handle checks: unchanged)
  kCrcMismatch,  // the CRC-16 failed, or the body is shorter than the bits it must hold: 06 64 03
};

struct TagReplyCheck {
  TagReplyOutcome outcome = TagReplyOutcome::kAsReceived;
  size_t receivedLength = 0;  // the body length before any rewrite
  size_t coveredBits = 0;     // the tag bits the CRC-16 is taken over
  uint16_t computedCrc = 0;
  uint16_t receivedCrc = 0;   // the 16 tag bits after the covered ones
};

// The reply to a Read (`dataWords` its WordCount), a Write, a Lock or the
// second Kill half (`dataWords` 0), for bodies of kMinRewrittenBody bytes
// or more:
//  - no tag reply: the first byte, 64 03;
//  - header bit 1: the CRC-16 over header, error code and handle (25 bits)
//    against the next 16; sound: the error code, 64 04;
//  - header bit 0: the CRC-16 over the header and 16 * dataWords + 16 bits
//    against the next 16; sound: 01, the tag bits without the header bit
//    (words, handle, CRC-16), the status word;
//  - else 06 64 03.
// `frame` holds the head and the N body bytes its head announces.
TagReplyCheck RewriteTagReply(uint8_t* frame, size_t dataWords);

// The reply to a Req_RN or an Access: a body of kMinHandleReplyBody bytes
// or more that ends in 90 00 must carry the CRC-16 of body bytes 1 and 2 in
// bytes 3 and 4, else it becomes 06 64 03. A sound body stays as it came.
TagReplyCheck CheckHandleReply(uint8_t* frame);
// The reply to the first Kill half: as CheckHandleReply, except that a body
// of kMinHandleReplyBody bytes or more without a tag reply becomes its
// first byte and 64 03.
TagReplyCheck CheckFirstKillReply(uint8_t* frame);

// The check of a raw transmission's reply body (not rewritten). Only a
// body that starts with 01 and ends in 90 00 has tag bits to check (bytes 1
// to the third-last). A first tag bit of 1 in a reply long enough for an
// error reply (41 bits): the CRC-16 over 25 bits against the next 16. Else
// the CRC-16 over the first replyBits - 16 bits against the last 16 of the
// replyBits; a reply shorter than replyBits (or replyBits below 16) fails.
struct RawReplyCheck {
  bool checked = false;  // the body has tag bits to check
  bool sound = true;
  uint16_t computedCrc = 0;
  uint16_t receivedCrc = 0;
};
RawReplyCheck CheckRawTagReply(const uint8_t* body, size_t length, uint16_t replyBits);

}  // namespace zq::drv
