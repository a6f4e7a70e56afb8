// Fuzz target: the checks a reader reply meets before the application sees
// it: the Gen2 reply rewrites and handle checks, the raw transmission's
// check, CheckDspResponse and the short responses made from its result.
// Input:
//
//   byte 0      which check (low 3 bits) and, for a Read, the word count
//               (the rest)
//   byte 1      the response buffer length for the short response, and
//               flags bit 0
//   byte 2      the bytes of the expected PC/EPC that follow (0: none)
//   then        those bytes, then the reply body
//
// Each reply sits in a buffer exactly as long as its frame, and the
// expected PC/EPC exactly as long as its PC word announces, so any read
// past them is caught. A rewrite may only shorten the body, must say so in
// its head, and must leave the forms its outcome names.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/commands/response_check.h"
#include "driver/commands/tag_reply.h"
#include "protocol/frame.h"

namespace {

using zq::drv::TagReplyOutcome;

std::unique_ptr<uint8_t[]> Frame(const uint8_t* body, size_t n) {
  std::unique_ptr<uint8_t[]> f(new uint8_t[3 + n]);
  zq::protocol::WriteFrameHead(0x01, n, f.get());
  if (n) std::memcpy(f.get() + 3, body, n);
  return f;
}

bool BodyIs(const uint8_t* frame, std::initializer_list<uint8_t> expected) {
  return zq::protocol::PayloadLength(frame) == expected.size() &&
         std::memcmp(frame + 3, expected.begin(), expected.size()) == 0;
}

// What every rewrite owes its caller.
void CheckRewrite(const zq::drv::TagReplyCheck& r, const uint8_t* before, size_t n, const uint8_t* frame) {
  const size_t after = zq::protocol::PayloadLength(frame);
  if (r.receivedLength != n || after > n) __builtin_trap();
  switch (r.outcome) {
    case TagReplyOutcome::kAsReceived:
      if (after != n || std::memcmp(frame + 3, before, n) != 0) __builtin_trap();
      break;
    case TagReplyOutcome::kNoTagReply:
      if (!BodyIs(frame, {before[0], 0x64, 0x03})) __builtin_trap();
      break;
    case TagReplyOutcome::kTagError:
      if (after != 3 || frame[4] != 0x64 || frame[5] != 0x04) __builtin_trap();
      break;
    case TagReplyOutcome::kCrcMismatch:
      if (!BodyIs(frame, {0x06, 0x64, 0x03})) __builtin_trap();
      break;
    case TagReplyOutcome::kTagAnswered:
      if (after < 2 || frame[3 + after - 2] != before[n - 2] || frame[3 + after - 1] != before[n - 1]) __builtin_trap();
      break;
  }
}

void ResponseCheck(uint8_t select, uint8_t capacityByte, const uint8_t* expect, const uint8_t* body, size_t n) {
  using namespace zq::drv;
  auto frame = Frame(body, n);
  int32_t status = (select & 0x80) ? -4 : 0;  // a handler that already failed
  int32_t iLen = -1;
  uint8_t rStatus = 0, sw1 = 0, sw2 = 0;
  const int32_t minLen = (select >> 3) & 0x0F;
  const int32_t checked = CheckDspResponse(&status, &iLen, frame.get(), minLen, &rStatus, &sw1, &sw2, expect);
  if (status != 0) {
    if (checked != kCheckNotRun) __builtin_trap();
  } else {
    if (iLen != static_cast<int32_t>(n)) __builtin_trap();
    if (checked == kCheckPassed && (n < 2 || body[n - 2] != 0x90 || body[n - 1] != 0x00)) __builtin_trap();
    if (checked == kCheckFailed && (sw1 != 0x64 || sw2 != 0x03)) __builtin_trap();
  }
  // The short response into a buffer exactly as long as the caller says.
  const int32_t capacity = capacityByte >> 1;
  std::unique_ptr<uint8_t[]> out(new uint8_t[capacity ? capacity : 1]);
  int32_t length = capacity;
  int32_t madeStatus = status;
  MakeResponseReadCmd(&madeStatus, checked, rStatus, sw1, sw2, &length, out.get(), capacityByte & 1, 0x5A);
  if (length < 0 || length > capacity) __builtin_trap();
  length = capacity;
  MakeStatusResponse(&madeStatus, checked, sw1, sw2, &length, out.get());
  if (length < 0 || length > capacity) __builtin_trap();
  // The wrappers the tag handlers call.
  status = 0;
  length = capacity;
  if (expect) CheckDspResponseWithPcEpc(&status, &iLen, frame.get(), expect, &length, out.get(), capacityByte & 1);
  if (length < 0 || length > capacity) __builtin_trap();
  status = 0;
  length = capacity;
  CheckDspResponsePlain(&status, &iLen, frame.get(), &length, out.get(), capacityByte & 1);
  if (length < 0 || length > capacity) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zq::drv;
  if (size < 3) return 0;
  const uint8_t select = data[0];
  size_t expectLength = data[2];
  if (expectLength > size - 3) expectLength = size - 3;
  const uint8_t* body = data + 3 + expectLength;
  const size_t n = size - 3 - expectLength;
  if (n > 0xFFFF) return 0;

  std::unique_ptr<uint8_t[]> expect;
  if (expectLength > 0) {
    // As long as its PC word says: the first byte's top five bits count words.
    const size_t announced = static_cast<size_t>(PcEpcByteLength(data[3]));
    expect.reset(new uint8_t[announced]);
    for (size_t i = 0; i < announced; ++i) expect[i] = i < expectLength ? data[3 + i] : 0;
  }

  auto frame = Frame(body, n);
  switch (select & 7) {
    case 0:
      CheckRewrite(RewriteTagReply(frame.get(), select >> 3), body, n, frame.get());
      break;
    case 1:
      CheckRewrite(RewriteTagReply(frame.get(), 0), body, n, frame.get());
      break;
    case 2: {
      const TagReplyCheck r = CheckHandleReply(frame.get());
      CheckRewrite(r, body, n, frame.get());
      if (r.outcome == TagReplyOutcome::kNoTagReply || r.outcome == TagReplyOutcome::kTagError) __builtin_trap();
      break;
    }
    case 3: {
      const TagReplyCheck r = CheckFirstKillReply(frame.get());
      CheckRewrite(r, body, n, frame.get());
      if (r.outcome == TagReplyOutcome::kTagError) __builtin_trap();
      break;
    }
    case 4: {
      std::unique_ptr<uint8_t[]> exact(new uint8_t[n ? n : 1]);
      if (n) std::memcpy(exact.get(), body, n);
      const uint16_t replyBits = static_cast<uint16_t>((select >> 3) * 37);
      const RawReplyCheck r = CheckRawTagReply(exact.get(), n, replyBits);
      if (!r.checked && !r.sound) __builtin_trap();
      break;
    }
    default:
      ResponseCheck(select, data[1], expect.get(), body, n);
      break;
  }
  return 0;
}
