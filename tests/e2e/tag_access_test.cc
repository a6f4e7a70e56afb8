// The operations on one tag through RFRW_CLRW_Transmit against the
// simulated reader: read, write, access passwords, lock and kill, and the
// answers to damaged tag replies.
#include <string>
#include <vector>

#include "tests/e2e/tag_fixture.h"

namespace zq::test {
namespace {

// Gen2 command codes as the first byte of a tag command.
const std::string kSelect = "A0", kReqRn = "C1", kRead = "C2", kWrite = "C3", kKill = "C4", kLock = "C5", kAccess = "C6";

// ---- read ----

using Read = TagTest;

TEST_F(Read, TheTidAndTheUserBankOfTheAddressedTag) {
  uint64_t before = Received();
  EXPECT_EQ(Send(ReadCommand(kTagB, 2, 0, 4)), (Answer{0, 10, "E2801160200074D09000"}));
  // Select (the PC and EPC from bit 16), the reader singulates the tag, Read.
  EXPECT_EQ(Gen2CodesSince(before), (std::vector<std::string>{kSelect, kRead}));
  EXPECT_EQ(Send(ReadCommand(kTagB, 3, 1, 2)), (Answer{0, 6, "222233339000"}));
  // A three-byte word address (P2 1).
  EXPECT_EQ(Send(TagCommand(0x10, 0, 1, PcEpc(kTagC) + "02" "000002" "02")), (Answer{0, 6, "200074D19000"}));

  // Past the end of the bank: the tag's error code 03, then 64 04.
  EXPECT_EQ(Send(ReadCommand(kTagA, 3, 2, 8)), (Answer{0, 3, "036404"}));
  // A tag that is not in the field: the reader finds none (64 02, reader status 15).
  EXPECT_EQ(Send(ReadCommand("300833B2DDD9014000000009", 2, 0, 4)), (Answer{0, 3, "156402"}));
  // A receive area one byte short of the words and the status word.
  EXPECT_EQ(Send(ReadCommand(kTagB, 2, 0, 4), 9), (Answer{-3, 0, ""}));
  EXPECT_EQ(Lines("★EPC_TagDataRead(4) RecvLen=9  iLen=10"), 1u);
}

// A PC and EPC longer than one Select's 248 mask bits: 15 EPC words (256
// bits with the PC) take two Selects, 31 words three; tags that differ only
// in their last word are told apart by the last Select.
TEST_F(Read, LongEpcsAreSelectedInPiecesOf248BitsAndTheRightTagIsRead) {
  struct Case {
    int words;
    size_t selects;
  };
  for (const Case& c : {Case{15, 2}, Case{31, 3}}) {
    SCOPED_TRACE(c.words);
    const std::string head(static_cast<size_t>(c.words - 1) * 4, 'E');
    const std::string first = head + "0001", second = head + "0002";
    ASSERT_EQ(Sim(R"(tag add {"epc": ")" + first + R"(", "user": "1111111111111111"})"), "OK");
    ASSERT_EQ(Sim(R"(tag add {"epc": ")" + second + R"(", "user": "2222333344445555"})"), "OK");
    const std::string pc = Hex16(static_cast<unsigned>(c.words) << 11);
    const uint64_t before = Received();
    EXPECT_EQ(Send(TagCommand(0x10, 0, 0, pc + second + "03" "01" "02")), (Answer{0, 6, "333344449000"}));
    const std::vector<std::string> codes = Gen2CodesSince(before);
    std::vector<std::string> expected(c.selects, kSelect);
    expected.push_back(kRead);
    EXPECT_EQ(codes, expected);
    EXPECT_EQ(Send(TagCommand(0x10, 0, 0, pc + first + "03" "00" "01")), (Answer{0, 4, "11119000"}));
  }
}

TEST_F(Read, BadParametersAreRefusedBeforeAnythingIsSent) {
  const uint64_t before = Received();
  const std::string refused[] = {
      ReadCommand(kTagA, 4, 0, 1),                                // bank
      ReadCommand(kTagA, 3, 0, 0),                                // no words
      TagCommand(0x10, 1, 0, PcEpc(kTagA) + "030001"),            // P1 bit 0
      TagCommand(0x10, 0, 2, PcEpc(kTagA) + "030001"),            // P2 2
      TagCommand(0x10, 0, 0, PcEpc(kTagA) + "03000100"),          // Lc one byte long
  };
  for (const std::string& c : refused) EXPECT_EQ(Send(c), (Answer{-3, 0, ""})) << c;
  EXPECT_EQ(Lines("★EPC_TagDataRead ParamError Return iRet = 0xfffffffd"), 5u);
  EXPECT_EQ(Received(), before);
}

TEST_F(Read, EveryReaderReplyToTheReadMapsToItsResponse) {
  struct Case {
    const char* reply;  // the reader's reply body to the Read
    const char* response;
  };
  const Case cases[] = {
      {"6401", "046401"},              // refused: the status word as it is
      {"6402", "156402"},              // reader status 15
      {"056400", "056403"},            // a reader status in 2..17
      {"206400", "046403"},            // one outside it
      {"0012345678AB9000", "046403"},  // eight bytes, no tag reply
      {"0312346404", "036404"},        // a reader status with 64 04
      {"019000", "046403"},            // shorter than a Read reply
  };
  for (const Case& c : cases) {
    // Select, session and handle acquisition answered as the reader does, then the reply.
    ASSERT_EQ(Sim("fault reply 9000 2"), "OK");
    ASSERT_EQ(Sim("fault reply " + PcEpc(kTagA) + "12349000 1"), "OK");
    ASSERT_EQ(Sim(std::string("fault reply ") + c.reply + " 1"), "OK");
    EXPECT_EQ(Send(ReadCommand(kTagA, 3, 0, 1)), (Answer{0, static_cast<int>(std::string(c.response).size() / 2), c.response}))
        << c.reply;
  }
  // The reader reports another tag than the one addressed.
  ASSERT_EQ(Sim("fault reply 9000 2"), "OK");
  ASSERT_EQ(Sim("fault reply " + PcEpc(kTagB) + "12349000 1"), "OK");
  EXPECT_EQ(Send(ReadCommand(kTagA, 3, 0, 1)), (Answer{0, 3, "046403"}));
  EXPECT_EQ(State()["faults"]["reply"], 0);
}

// ---- write ----

using Write = TagTest;

TEST_F(Write, UserMemoryWordByWordThenReadBackAndInTheTag) {
  const uint64_t before = Received();
  EXPECT_EQ(Send(WriteCommand(kTagA, 3, 2, "CAFEBABE")), (Answer{0, 2, "9000"}));
  EXPECT_EQ(Gen2CodesSince(before), (std::vector<std::string>{kSelect, kReqRn, kWrite, kReqRn, kWrite}));
  EXPECT_EQ(Send(ReadCommand(kTagA, 3, 0, 4)), (Answer{0, 10, "00000000CAFEBABE9000"}));
  EXPECT_EQ(SimTag(0)["user"], "00000000CAFEBABE");
  EXPECT_EQ(SimTag(2)["user"], "0000000000000000");  // the other tags keep theirs
}

TEST_F(Write, ThreeDataBytesAndP2TwoAreRefused) {
  const uint64_t before = Received();
  EXPECT_EQ(Send(WriteCommand(kTagA, 3, 0, "AABBCC")), (Answer{-3, 0, ""}));
  EXPECT_EQ(Lines("★EPC_TagDataWrite ParamError RecvLen=256  iLen=3"), 1u);
  EXPECT_EQ(Send(TagCommand(0x11, 0, 2, PcEpc(kTagA) + "0300AABB")), (Answer{-3, 0, ""}));
  EXPECT_EQ(Send(WriteCommand(kTagA, 4, 0, "AABB")), (Answer{-3, 0, ""}));  // bank
  EXPECT_EQ(Received(), before);
}

TEST_F(Write, WithTheAccessPasswordOfASecuredTagAndWithAWrongOne) {
  uint64_t before = Received();
  EXPECT_EQ(Send(WriteCommand(kTagB, 3, 0, "ABCD", kPasswordB)), (Answer{0, 2, "9000"}));
  EXPECT_EQ(Gen2CodesSince(before), (std::vector<std::string>{kSelect, kReqRn, kAccess, kReqRn, kAccess, kReqRn, kWrite}));
  EXPECT_EQ(SimTag(1)["user"], "ABCD222233334444");

  // The tag falls silent at the wrong password: the Access is not answered.
  before = Received();
  EXPECT_EQ(Send(WriteCommand(kTagB, 3, 1, "0000", "11223345")), (Answer{0, 3, "046403"}));
  EXPECT_EQ(Gen2CodesSince(before), (std::vector<std::string>{kSelect, kReqRn, kAccess, kReqRn, kAccess}));
  EXPECT_EQ(SimTag(1)["user"], "ABCD222233334444");
  // P1 bit 0: the count of words written before the status word.
  EXPECT_EQ(Send(WriteCommand(kTagB, 3, 1, "0000", "11223345", 1)), (Answer{0, 4, "04006403"}));
}

TEST_F(Write, AZeroAccessPasswordSendsNoReqRnOrAccess) {
  uint64_t before = Received();
  EXPECT_EQ(Send(ReadCommand(kTagA, 2, 0, 1, "00000000")), (Answer{0, 4, "E2809000"}));
  EXPECT_EQ(Gen2CodesSince(before), (std::vector<std::string>{kSelect, kRead}));
  before = Received();
  EXPECT_EQ(Send(WriteCommand(kTagA, 3, 0, "1234", "00000000")), (Answer{0, 2, "9000"}));
  EXPECT_EQ(Gen2CodesSince(before), (std::vector<std::string>{kSelect, kReqRn, kWrite}));
}

TEST_F(Write, DamagedRepliesAreTriedAgainNineTimesOverTheWholeWrite) {
  auto retries = [&] { return Lines("EPC_TagDataWrite RequestRNCMD Retry") + Lines("EPC_TagDataWrite WriteCMD Retry"); };
  // Three damaged Req_RN replies cost three retries; the write goes through.
  ASSERT_EQ(Sim("fault bad-crc 3"), "OK");
  EXPECT_EQ(Send(WriteCommand(kTagA, 3, 0, "11112222")), (Answer{0, 2, "9000"}));
  EXPECT_EQ(SimTag(0)["user"], "1111222200000000");
  EXPECT_EQ(retries(), 3u);

  // Every reply damaged: the tenth failure ends it, no word written.
  ASSERT_EQ(Sim("fault bad-crc 100"), "OK");
  EXPECT_EQ(Send(WriteCommand(kTagA, 3, 0, "33334444", "", 1)), (Answer{0, 4, "04006403"}));
  EXPECT_EQ(retries(), 3u + 9u);
  EXPECT_EQ(Lines("★Internal_EPC_RequestRNCMD(3) RcvLen=7"), 3u + 10u);
  EXPECT_EQ(SimTag(0)["user"], "1111222200000000");
}

TEST_F(Read, ADamagedReplyAnswers046403AndIsLogged) {
  ASSERT_EQ(Sim("fault bad-crc 1"), "OK");
  EXPECT_EQ(Send(ReadCommand(kTagB, 3, 0, 2)), (Answer{0, 3, "046403"}));
  EXPECT_EQ(Lines("★Internal_EPC_ReadCMD(3) RcvLen=12  crc=0x"), 1u);
  // The read's out line shows the frame as the command hands it back: 06 64 03.
  const auto out = install_.LogLinesWith("★Internal_EPC_ReadCMD  Out  Ret = 0,Data=");
  ASSERT_FALSE(out.empty());
  const std::string rewritten = "Data= | 00 00 03 06 64 03";
  EXPECT_EQ(out.back().substr(out.back().size() - std::min(out.back().size(), rewritten.size())), rewritten) << out.back();
}

// ---- lock ----

using Lock = TagTest;

// Lock's payload: the user bank's mask pair and action 10 (writable only
// in the secured state); the low four bits of the third byte are not sent.
const std::string kLockUser = "00C02F";

TEST_F(Lock, TheUserBankThenAWriteWithoutThePasswordGetsTheTagsErrorCode) {
  const uint64_t before = Received();
  EXPECT_EQ(Send(TagCommand(0x12, 0, 0, PcEpc(kTagB) + kPasswordB + kLockUser)), (Answer{0, 2, "9000"}));
  EXPECT_EQ(Gen2CodesSince(before), (std::vector<std::string>{kSelect, kReqRn, kAccess, kReqRn, kAccess, kLock}));
  EXPECT_EQ(SimTag(1)["locked"], nlohmann::json::array({"user"}));
  // Open, not secured: memory locked (04), 64 04.
  EXPECT_EQ(Send(WriteCommand(kTagB, 3, 0, "FFFF")), (Answer{0, 3, "046404"}));
  EXPECT_EQ(SimTag(1)["user"], "1111222233334444");
  // With the password the write goes through.
  EXPECT_EQ(Send(WriteCommand(kTagB, 3, 0, "FFFF", kPasswordB)), (Answer{0, 2, "9000"}));
  EXPECT_EQ(SimTag(1)["user"], "FFFF222233334444");
}

TEST_F(Lock, LengthRulesAndAZeroPasswordOnATagThatHasOne) {
  const uint64_t before = Received();
  EXPECT_EQ(Send(TagCommand(0x12, 0, 0, PcEpc(kTagB) + kPasswordB + "00C0")), (Answer{-3, 0, ""}));
  EXPECT_EQ(Received(), before);
  // No Access is sent, the tag stays open and does not answer the Lock.
  EXPECT_EQ(Send(TagCommand(0x12, 0, 0, PcEpc(kTagB) + "00000000" + kLockUser)), (Answer{0, 3, "046403"}));
  EXPECT_EQ(Gen2CodesSince(before), (std::vector<std::string>{kSelect, kLock}));
  EXPECT_EQ(SimTag(1)["locked"], nlohmann::json::array());
}

// ---- kill ----

using Kill = TagTest;

TEST_F(Kill, AWrongPasswordLeavesTheTagAndTheRightOneKillsIt) {
  EXPECT_EQ(Send(TagCommand(0x13, 0, 0, PcEpc(kTagC) + "0A0B0C0E")), (Answer{0, 3, "046403"}));
  EXPECT_NE(SimTag(2)["state"], "killed");

  const uint64_t before = Received();
  EXPECT_EQ(Send(TagCommand(0x13, 0, 0, PcEpc(kTagC) + kKillC)), (Answer{0, 2, "9000"}));
  EXPECT_EQ(Gen2CodesSince(before), (std::vector<std::string>{kSelect, kReqRn, kKill, kReqRn, kKill}));
  EXPECT_EQ(SimTag(2)["state"], "killed");
  const Answer inventory = Send("0801000000020000");
  EXPECT_EQ(inventory.data.substr(0, 4), "0002");
  EXPECT_EQ(inventory.data.find(kTagC), std::string::npos);
  EXPECT_NE(inventory.data.find(kTagA), std::string::npos);
  // Gone: the reader finds no such tag.
  EXPECT_EQ(Send(TagCommand(0x13, 0, 0, PcEpc(kTagC) + kKillC)), (Answer{0, 3, "156402"}));
  EXPECT_EQ(Send(TagCommand(0x13, 0, 0, PcEpc(kTagC) + kKillC + "00")), (Answer{-3, 0, ""}));
}

}  // namespace
}  // namespace zq::test
