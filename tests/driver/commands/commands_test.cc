// The command layer's pure parts on data: the reply check and the short
// responses, and what the exchange makes of a reply.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ZELQUAR_Drv.h"
#include "driver/commands/exchange.h"
#include "driver/commands/process_state.h"
#include "driver/commands/response_check.h"

namespace zq::drv {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::string ToHex(const uint8_t* p, size_t n) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}
std::string ToHex(const Bytes& b) { return ToHex(b.data(), b.size()); }

// A response frame as the exchange hands it on: head and body.
Bytes Frame(const std::string& bodyHex) {
  const Bytes body = FromHex(bodyHex);
  Bytes f(3 + body.size(), 0);
  f[1] = static_cast<uint8_t>(body.size() >> 8);
  f[2] = static_cast<uint8_t>(body.size());
  std::copy(body.begin(), body.end(), f.begin() + 3);
  return f;
}

// ---- the reply check ----

TEST(CheckDspResponse, ClassifiesEveryStatusWord) {
  struct Case {
    const char* body;
    int32_t minLen;
    const char* expect;  // PC and EPC, or nullptr
    int32_t result;
    uint8_t rStatus;
    uint16_t sw;
  };
  const Case cases[] = {
      {"9000", 2, nullptr, kCheckPassed, 4, 0x9000},
      {"0102039000", 6, nullptr, kCheckFailed, 4, 0x6403},          // shorter than MinLen
      {"206400", 2, nullptr, kCheckFailed, 4, 0x6403},              // RStatus out of 2..17
      {"056400", 2, nullptr, kCheckFailed, 5, 0x6403},
      {"116400", 2, nullptr, kCheckFailed, 17, 0x6403},
      {"6400", 2, nullptr, kCheckFailed, 4, 0x6403},
      {"6401", 2, nullptr, kCheckRefused, 4, 0x6401},
      {"156402", 2, nullptr, kCheckStatus15, 0x15, 0x6402},
      {"6403", 2, nullptr, kCheckFailed, 4, 0x6403},
      {"336404", 2, nullptr, kCheckFailedWithStatus, 0x33, 0x6404},
      {"6405", 2, nullptr, kCheckRecovery, 4, 0x6405},
      {"640E", 2, nullptr, kCheckRecovery, 4, 0x640E},
      {"640F", 2, nullptr, kCheckFailed, 4, 0x6403},
      {"6A82", 2, nullptr, kCheckFailed, 4, 0x6403},
      {"90", 2, nullptr, kCheckFailed, 4, 0x6403},
      {"", 2, nullptr, kCheckFailed, 4, 0x6403},                   // the zero-length reply
      {"0800AABB9000", 6, "0800AABB", kCheckPassed, 4, 0x9000},
      {"0800AABC9000", 6, "0800AABB", kCheckFailed, 4, 0x6403},
      // A PC word announcing more EPC than the reply holds is no match.
      {"1000AABB9000", 6, "1000AABBCCDD", kCheckFailed, 4, 0x6403},
  };
  for (const Case& c : cases) {
    const Bytes reply = Frame(c.body);
    const Bytes expect = c.expect ? FromHex(c.expect) : Bytes{};
    int32_t status = 0, iLen = -1;
    uint8_t rStatus = 0, sw1 = 0, sw2 = 0;
    const int32_t r =
        CheckDspResponse(&status, &iLen, reply.data(), c.minLen, &rStatus, &sw1, &sw2, c.expect ? expect.data() : nullptr);
    EXPECT_EQ(r, c.result) << c.body;
    EXPECT_EQ(rStatus, c.rStatus) << c.body;
    EXPECT_EQ((sw1 << 8) | sw2, c.sw) << c.body;
    EXPECT_EQ(iLen, static_cast<int32_t>(reply.size() - 3)) << c.body;
    EXPECT_EQ(status, 0) << c.body;
  }
  // A handler that already failed: nothing is looked at or touched.
  int32_t status = RFRW_ERROR_PARAMETER, iLen = 77;
  uint8_t rStatus = 9, sw1 = 9, sw2 = 9;
  const Bytes reply = Frame("9000");
  EXPECT_EQ(CheckDspResponse(&status, &iLen, reply.data(), 2, &rStatus, &sw1, &sw2, nullptr), kCheckNotRun);
  EXPECT_EQ(iLen + rStatus + sw1 + sw2, 77 + 27);
}

TEST(MakeResponseReadCmd, StatusExtraAndCapacity) {
  struct Case {
    int32_t check;
    uint32_t flags;
    int32_t capacity;
    const char* response;  // "" with length 0
    int32_t status;
  };
  const Case cases[] = {
      {kCheckFailed, 0, 3, "056403", 0},
      {kCheckFailed, 1, 4, "05EE6403", 0},
      {kCheckWithoutStatus, 0, 2, "6403", 0},
      {kCheckWithoutStatus, 1, 3, "EE6403", 0},
      {kCheckFailed, 1, 3, "", RFRW_ERROR_PARAMETER},
      {kCheckNotRun, 0, 10, "", 0},
  };
  for (const Case& c : cases) {
    int32_t status = 0, length = c.capacity;
    uint8_t out[8] = {};
    MakeResponseReadCmd(&status, c.check, 0x05, 0x64, 0x03, &length, out, c.flags, 0xEE);
    EXPECT_EQ(ToHex(out, static_cast<size_t>(length)), c.response) << c.check << " " << c.flags;
    EXPECT_EQ(status, c.status);
  }
  int32_t status = 0, length = 4;
  uint8_t out[4];
  MakeStatusResponse(&status, kCheckRefused, 0x64, 0x01, &length, out);
  EXPECT_EQ(ToHex(out, static_cast<size_t>(length)), "00006401");
  length = 3;
  MakeStatusResponse(&status, kCheckRefused, 0x64, 0x01, &length, out);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(status, RFRW_ERROR_PARAMETER);
}

TEST(CheckWrappers, PassOnOrAnswerShort) {
  int32_t status = 0, iLen = 0, length = 8;
  uint8_t out[8] = {};
  const Bytes good = Frame("0800AABB01029000"), refused = Frame("6401");
  const Bytes pcEpc = FromHex("0800AABB");
  EXPECT_EQ(CheckDspResponseWithPcEpc(&status, &iLen, good.data(), pcEpc.data(), &length, out, 0), 1);
  EXPECT_EQ(length, 8);  // untouched: the caller answers
  EXPECT_EQ(CheckDspResponsePlain(&status, &iLen, refused.data(), &length, out, 0), 0);
  EXPECT_EQ(ToHex(out, static_cast<size_t>(length)), "046401");
  length = 8;
  EXPECT_EQ(CheckDspResponseWithPcEpc(&status, &iLen, Frame("9000").data(), pcEpc.data(), &length, out, 0), 0);
  EXPECT_EQ(ToHex(out, static_cast<size_t>(length)), "046403");
}

// ---- the exchange's pure parts ----

TEST(TakeReply, CapacityRewriteAndRecoveryWords) {
  struct Case {
    const char* body;
    int32_t capacity;
    bool tooLong;
    const char* taken;  // the body handed on
    bool recovery;
  };
  const Case cases[] = {
      {"6402", 4, false, "156402", false},
      {"6402", 2, false, "6402", false},  // no room for the reader status
      {"640A", 2, false, "640A", true},
      {"0102039000", 4, true, "", false},
  };

  for (const Case& c : cases) {
    const Bytes frame = Frame(c.body);
    Bytes out(static_cast<size_t>(c.capacity) + 3, 0xEE);
    const ReplyTaken t = TakeReply(frame.data(), c.capacity, out.data());
    EXPECT_EQ(t.tooLong, c.tooLong) << c.body;
    EXPECT_EQ(t.armsRecovery, c.recovery) << c.body;
    if (c.tooLong) {
      EXPECT_EQ(out, Bytes(out.size(), 0xEE)) << "nothing copied";
      continue;
    }
    // The head always comes along, so an empty reply reads as one.
    EXPECT_EQ(ToHex(out.data(), 3 + static_cast<size_t>(t.bodyLength)), ToHex(Frame(c.taken))) << c.body;
    EXPECT_EQ(FrameStatusWord(out.data()), t.bodyLength >= 2 ? (out[1 + t.bodyLength] << 8 | out[2 + t.bodyLength]) : 0x6403);
  }
}

}  // namespace
}  // namespace zq::drv
