// The Gen2 tag model: StoredCRC and the memory as hex, and TagField driven
// through selection, singulation and every tag command with its success and
// error replies.
#include <gtest/gtest.h>

#include "sim/model/tags.h"
#include "sim_test_util.h"

namespace zq::sim {
namespace {

using test::AccessCmd;
using test::Gen2;
using test::KillCmd;
using test::LockCmd;
using test::LockPayload;
using test::ParseImmediate;
using test::ParseWithHeader;
using test::ReadCmd;
using test::ReqRnCmd;
using test::SelectCmd;
using test::WriteCmd;

TEST(StoredCrc, SampleTags) {
  Tag empty = Tag::WithEpc({});
  EXPECT_EQ(empty.pc(), 0x0000);
  EXPECT_EQ(empty.stored_crc(), 0xE2F0);
  Tag one = Tag::WithEpc({0x1111});
  EXPECT_EQ(one.pc(), 0x0800);
  EXPECT_EQ(one.stored_crc(), 0xCCAE);
  Tag six = Tag::WithEpc({0x1111, 0x2222, 0x3333, 0x4444, 0x5555, 0x6666});
  EXPECT_EQ(six.pc(), 0x3000);
  EXPECT_EQ(six.stored_crc(), 0x1835);
}

TEST(Hex, RoundTripAndRejects) {
  Bytes b;
  ASSERT_TRUE(FromHex("00aBFf", &b));
  EXPECT_EQ(ToHex(b), "00ABFF");
  EXPECT_FALSE(FromHex("ABC", &b));
  EXPECT_FALSE(FromHex("GG", &b));
}

class TagFieldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<Tag> tags;
    for (uint16_t i = 0; i < 3; ++i) {
      Tag t = Tag::WithEpc({0x3000, 0x0000, static_cast<uint16_t>(0x1000 + i)});
      t.tid = {0xE280, 0x1160};
      t.user = {0x0001, 0x0002, 0x0003, 0x0004};
      tags.push_back(t);
    }
    field_.set_tags(tags);
  }

  TagReply Run(const Gen2& g) { return field_.Execute(g.bits.data(), g.count); }
  // Selects tag i by its PC+EPC and singulates it; its handle.
  uint16_t Singulate(size_t i) {
    Bytes pcEpc = field_.tags()[i].PcEpcBytes();
    Run(SelectCmd(1, 16, pcEpc, static_cast<uint32_t>(pcEpc.size() * 8)));
    EXPECT_EQ(field_.Acquire(), static_cast<int>(i));
    return field_.tags()[i].handle;
  }
  uint16_t ReqRn(uint16_t handle) {
    TagReply r = Run(ReqRnCmd(handle));
    EXPECT_TRUE(r.sent);
    test::TagBits b = ParseImmediate(r.bits.bytes());
    EXPECT_TRUE(b.crc_ok);
    return b.value;
  }
  test::TagBits Delayed(const TagReply& r, size_t words = 0) {
    EXPECT_TRUE(r.sent);
    return ParseWithHeader(r.bits.bytes(), words);
  }
  // Access with both halves; true when the tag answered both.
  bool Access(uint16_t h, uint32_t password) {
    uint16_t rn = ReqRn(h);
    if (!Run(AccessCmd(static_cast<uint16_t>((password >> 16) ^ rn), h)).sent) return false;
    rn = ReqRn(h);
    return Run(AccessCmd(static_cast<uint16_t>(password ^ rn), h)).sent;
  }
  TagReply Write(uint16_t h, uint8_t bank, uint32_t ptr, uint16_t value) {
    uint16_t rn = ReqRn(h);
    return Run(WriteCmd(bank, ptr, static_cast<uint16_t>(value ^ rn), h));
  }
  TagReply Kill(uint16_t h, uint32_t password) {
    uint16_t rn = ReqRn(h);
    TagReply first = Run(KillCmd(static_cast<uint16_t>((password >> 16) ^ rn), h));
    if (!first.sent) return first;
    rn = ReqRn(h);
    return Run(KillCmd(static_cast<uint16_t>(password ^ rn), h));
  }

  TagField field_;
};

TEST_F(TagFieldTest, SelectNarrowsTheMatchingTags) {
  Bytes pcEpc = field_.tags()[1].PcEpcBytes();
  Run(SelectCmd(1, 16, pcEpc, static_cast<uint32_t>(pcEpc.size() * 8)));
  EXPECT_EQ(field_.Matching(), (std::vector<size_t>{1}));
  Run(SelectCmd(1, 0, {}, 0));  // length 0 matches every tag
  EXPECT_EQ(field_.Matching().size(), 3u);
  Run(SelectCmd(3, 56, {0x04, 0x00}, 16));  // matches word 3, then reaches past the bank
  EXPECT_TRUE(field_.Matching().empty());
  // A Select with a bad CRC is ignored.
  Gen2 bad = SelectCmd(1, 0, {}, 0);
  bad.bits[2] ^= 0x01;
  Run(bad);
  EXPECT_TRUE(field_.Matching().empty());
}

TEST_F(TagFieldTest, ReqRnAnswersOnlyItsHandleWithAGoodCrc) {
  uint16_t h = Singulate(0);
  EXPECT_NE(ReqRn(h), 0);
  EXPECT_FALSE(Run(ReqRnCmd(static_cast<uint16_t>(h + 1))).sent);
  Gen2 bad = ReqRnCmd(h);
  bad.bits[4] ^= 0x01;  // a CRC bit
  EXPECT_FALSE(Run(bad).sent);
}

TEST_F(TagFieldTest, ReadReturnsTheWordsAndRefusesPastTheBankEnd) {
  uint16_t h = Singulate(2);
  test::TagBits r = Delayed(Run(ReadCmd(1, 2, 3, h)), 3);
  EXPECT_TRUE(r.crc_ok);
  EXPECT_FALSE(r.header);
  EXPECT_EQ(r.words, (std::vector<uint16_t>{0x3000, 0x0000, 0x1002}));
  EXPECT_EQ(r.handle, h);
  test::TagBits over = Delayed(Run(ReadCmd(3, 3, 2, h)));
  EXPECT_TRUE(over.header);
  EXPECT_TRUE(over.crc_ok);
  EXPECT_EQ(over.error, kTagErrorOverrun);
  test::TagBits whole = Delayed(Run(ReadCmd(3, 1, 0, h)), 3);  // count 0: to the end of the bank
  EXPECT_EQ(whole.words, (std::vector<uint16_t>{2, 3, 4}));
}

TEST_F(TagFieldTest, WriteNeedsAReqRnJustBeforeAndUncoversTheWord) {
  uint16_t h = Singulate(0);
  EXPECT_FALSE(Run(WriteCmd(3, 0, 0xBEEF, h)).sent);
  test::TagBits ok = Delayed(Write(h, 3, 0, 0xBEEF));
  EXPECT_FALSE(ok.header);
  EXPECT_TRUE(ok.crc_ok);
  EXPECT_EQ(field_.tags()[0].user[0], 0xBEEF);
  // The RN16 is used up by the write: a second write without Req_RN is ignored.
  EXPECT_FALSE(Run(WriteCmd(3, 1, 0x1111, h)).sent);
  EXPECT_EQ(Delayed(Write(h, 3, 9, 1)).error, kTagErrorOverrun);
}

TEST_F(TagFieldTest, WritingTheEpcUpdatesStoredCrc) {
  uint16_t h = Singulate(0);
  Delayed(Write(h, 1, 4, 0xABCD));
  const Tag& t = field_.tags()[0];
  EXPECT_EQ(t.epc[4], 0xABCD);
  EXPECT_EQ(t.stored_crc(), protocol::Crc16Bytes(t.PcEpcBytes()));
}

TEST_F(TagFieldTest, LockedBanksNeedTheSecuredState) {
  Tag& t = field_.tags()[0];
  t.reserved = {0x0000, 0x0000, 0x1234, 0x5678};  // access password: opens in the open state
  t.locks[kLockUser].lock = true;
  t.locks[kLockAccess].lock = true;
  uint16_t h = Singulate(0);
  EXPECT_EQ(t.state, Tag::State::kOpen);
  EXPECT_EQ(Delayed(Write(h, 3, 0, 1)).error, kTagErrorLocked);
  EXPECT_EQ(Delayed(Run(ReadCmd(0, 2, 2, h))).error, kTagErrorLocked);
  EXPECT_FALSE(Delayed(Run(ReadCmd(0, 0, 2, h)), 2).header);  // the kill password is not locked
  ASSERT_TRUE(Access(h, 0x12345678));
  EXPECT_EQ(t.state, Tag::State::kSecured);
  EXPECT_FALSE(Delayed(Write(h, 3, 0, 1)).header);
  test::TagBits pw = Delayed(Run(ReadCmd(0, 2, 2, h)), 2);
  EXPECT_EQ(pw.words, (std::vector<uint16_t>{0x1234, 0x5678}));
}

TEST_F(TagFieldTest, PermalockedBankIsNeverWritable) {
  field_.tags()[1].locks[kLockTid] = {true, true};
  uint16_t h = Singulate(1);
  EXPECT_EQ(field_.tags()[1].state, Tag::State::kSecured);  // zero access password
  EXPECT_EQ(Delayed(Write(h, 2, 0, 1)).error, kTagErrorLocked);
}

TEST_F(TagFieldTest, WrongAccessPasswordSilencesTheTag) {
  field_.tags()[0].reserved[3] = 0x0042;
  uint16_t h = Singulate(0);
  EXPECT_FALSE(Access(h, 0x00000041));
  EXPECT_EQ(field_.tags()[0].state, Tag::State::kReady);
  EXPECT_FALSE(Run(ReqRnCmd(h)).sent);
}

TEST_F(TagFieldTest, KillWithZeroPasswordIsAnErrorAndKeepsTheTag) {
  uint16_t h = Singulate(0);
  test::TagBits r = Delayed(Kill(h, 0));
  EXPECT_TRUE(r.header);
  EXPECT_TRUE(r.crc_ok);
  EXPECT_EQ(r.error, kTagErrorOther);
  EXPECT_FALSE(field_.tags()[0].killed);
}

TEST_F(TagFieldTest, KillWithWrongPasswordIsSilentAndRightOneKillsForGood) {
  field_.tags()[0].reserved = {0xAAAA, 0x5555, 0, 0};
  uint16_t h = Singulate(0);
  EXPECT_FALSE(Kill(h, 0xAAAA5554).sent);
  EXPECT_FALSE(field_.tags()[0].killed);
  h = Singulate(0);
  test::TagBits r = Delayed(Kill(h, 0xAAAA5555));
  EXPECT_FALSE(r.header);
  EXPECT_TRUE(r.crc_ok);
  EXPECT_TRUE(field_.tags()[0].killed);
  EXPECT_FALSE(Run(ReqRnCmd(h)).sent);
  field_.ResetStates();
  Run(SelectCmd(1, 0, {}, 0));
  EXPECT_EQ(field_.Matching(), (std::vector<size_t>{1, 2}));
}

TEST_F(TagFieldTest, LockRunsOnlyWhenSecuredAndPermalocksStick) {
  Tag& t = field_.tags()[0];
  t.reserved[3] = 0x0001;
  uint16_t h = Singulate(0);
  EXPECT_FALSE(Run(LockCmd(LockPayload(kLockUser, 2), h)).sent);  // open: no reply
  ASSERT_TRUE(Access(h, 1));
  EXPECT_FALSE(Delayed(Run(LockCmd(LockPayload(kLockUser, 3), h))).header);
  EXPECT_EQ(t.locks[kLockUser], (LockBits{true, true}));
  test::TagBits undo = Delayed(Run(LockCmd(LockPayload(kLockUser, 0), h)));
  EXPECT_EQ(undo.error, kTagErrorLocked);
  EXPECT_EQ(t.locks[kLockUser], (LockBits{true, true}));
}

TEST_F(TagFieldTest, TooLittlePowerForAWrite) {
  field_.tags()[0].min_write_power = 15;
  field_.set_power_level(10);
  uint16_t h = Singulate(0);
  EXPECT_EQ(Delayed(Write(h, 3, 0, 7)).error, kTagErrorPower);
  field_.set_power_level(20);
  EXPECT_FALSE(Delayed(Write(h, 3, 0, 7)).header);
}

TEST_F(TagFieldTest, LosingTheFieldResetsStatesNotMemory) {
  uint16_t h = Singulate(0);
  Delayed(Write(h, 3, 2, 0x7777));
  field_.ResetStates();
  EXPECT_FALSE(Run(ReqRnCmd(h)).sent);
  EXPECT_EQ(field_.tags()[0].user[2], 0x7777);
  EXPECT_EQ(field_.Matching().size(), 3u);
}

}  // namespace
}  // namespace zq::sim
