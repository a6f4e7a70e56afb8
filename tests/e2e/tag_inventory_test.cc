// The tag operations that address no particular tag, through
// RFRW_CLRW_Transmit against the simulated reader: the inventory, the
// handle acquisition and raw tag commands.
#include <string>
#include <vector>

#include "protocol/crc.h"
#include "tests/e2e/tag_fixture.h"

namespace zq::test {
namespace {

// The Gen2 CRC-16 of whole bytes given in hex, as four hex digits.
std::string Crc(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return Hex16(protocol::Crc16Bytes(bytes));
}

const std::string kSessionZero = "0001000D0000000F0000000E0000FCFF02";

// ---- inventory ----

using Inventory = TagTest;

TEST_F(Inventory, FindsEveryTagWithItsPcEpcAndSignalStrengthConvertedOrRaw) {
  const std::string epcs[3] = {kTagA, kTagB, kTagC};
  auto body = [&](const std::vector<std::string>& rssi) {
    std::string s = "0003";
    for (size_t i = 0; i < 3; ++i) s += PcEpc(epcs[i]) + Upper(SimTag(i)["stored_crc"].get<std::string>()) + rssi[i];
    return s + "9000";
  };
  // Signal strengths 1, 65535 and 0, converted to dBm in 8.8 fixed point.
  uint64_t before = Received();
  EXPECT_EQ(Send("0801000200020000"), (Answer{0, 58, body({"A1AF", "E4D0", "8000"})}));
  const std::vector<std::string> sent = CommandsSince(before);
  ASSERT_EQ(sent.size(), 3u);
  // A Select of length 0 on the EPC bank (45 bits), the session, the inventory with signal strengths.
  EXPECT_EQ(sent[0].substr(0, 20), "0803000000000032002D");
  EXPECT_EQ(sent[1], kSessionZero);
  EXPECT_EQ(sent[2], "08010002");

  EXPECT_EQ(Send("20200001"), (Answer{0, 2, "9000"}));
  EXPECT_EQ(Send("0801000200020000"), (Answer{0, 58, body({"0001", "FFFF", "0000"})}));

  // P1 bit 7: no Select, the session from P2 bits 4 and 5; no signal strengths.
  before = Received();
  const Answer plain = Send("0801801000020000");
  EXPECT_EQ(plain.length, 2 + 3 * 16 + 2);
  EXPECT_EQ(plain.data.substr(0, 36), "0003" + PcEpc(kTagA) + Upper(SimTag(0)["stored_crc"].get<std::string>()));
  EXPECT_EQ(CommandsSince(before), (std::vector<std::string>{"0001000D0000000F0000000E0100FCFF03", "08010000"}));

  // A receive area smaller than the inventory.
  EXPECT_EQ(Send("0801000200020000", 57), (Answer{-3, 0, ""}));
  EXPECT_EQ(Lines("★EPC_GetAllEpcCode(4)\tRecvLen=57  iLen=58"), 1u);
}

TEST_F(Inventory, AnEmptyFieldReportsNoTagAndARefusalIsTheFourByteStatusResponse) {
  install_.WriteFile("none.json", R"({"tags": []})");
  ASSERT_EQ(Sim("tags load " + install_.path() + "/none.json"), "OK");
  EXPECT_EQ(Send("0801000200020000"), (Answer{0, 4, "00009000"}));
  // The reader refuses the Select: the inventory is not sent.
  const uint64_t before = Received();
  ASSERT_EQ(Sim("fault status 6401 1"), "OK");
  EXPECT_EQ(Send("0801000000020000"), (Answer{0, 4, "00006401"}));
  EXPECT_EQ(CommandsSince(before).size(), 1u);
  // A reader that reports a count with no entries behind it: 0 tags.
  ASSERT_EQ(Sim("fault reply 9000 1"), "OK");      // the session
  ASSERT_EQ(Sim("fault reply 01059000 1"), "OK");  // the inventory
  EXPECT_EQ(Send("0801800000020000"), (Answer{0, 4, "00009000"}));
}

// From LogLevel 30 on, every inventory fetches the reader's log.
class InventoryWithReaderLog : public TagTest {
 protected:
  InventoryWithReaderLog() : TagTest("AdminCheckCut=1\nBlockTimeout=200\nRetryTimeout=400\nCharacterTimeout=100\nLogLevel=30\n") {}
};

TEST_F(InventoryWithReaderLog, TheReadersLogFollowsEveryInventory) {
  for (const char* command : {"0801000200020000", "0801800000020000"}) {
    const uint64_t before = Received();
    EXPECT_EQ(Send(command).result, 0);
    const std::vector<std::string> sent = CommandsSince(before);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), "002B0001") << command;
  }
}

// ---- handle acquisition ----

using Handle = TagTest;

TEST_F(Handle, TheReaderSingulatesTheFirstTagAndReportsItsHandle) {
  const uint64_t before = Received();
  const Answer a = Send("08020000");
  ASSERT_EQ(a.length, 14 + 2 + 2);
  EXPECT_EQ(a.result, 0);
  EXPECT_EQ(a.data.substr(0, 28), PcEpc(kTagA));
  EXPECT_EQ(a.data.substr(32), "9000");
  EXPECT_EQ(CommandsSince(before), (std::vector<std::string>{kSessionZero, "08020000"}));
  EXPECT_EQ(SimTag(0)["state"], "secured");  // no access password

  // No tag in the field: the reader's 64 02.
  install_.WriteFile("none.json", R"({"tags": []})");
  ASSERT_EQ(Sim("tags load " + install_.path() + "/none.json"), "OK");
  EXPECT_EQ(Send("08020000"), (Answer{0, 2, "6402"}));
}

// ---- raw tag commands ----

using RawCommand = TagTest;

TEST_F(RawCommand, AReqRnWithTheDriversCrcAndTheTagsReplyChecked) {
  const Answer h = Send("08020000");
  ASSERT_EQ(h.length, 18);
  const std::string handle = h.data.substr(28, 4);

  // L1 32, T1 as the application gives it (the reader always gets 50), Le
  // 40, B12 2 (sent as B 0); the last 16 bits make room for the CRC-16.
  const std::string raw = "08030200000B00200099" "0028" "C1" + handle + "0000";
  uint64_t before = Received();
  const Answer a = Send(raw);
  ASSERT_EQ(a.result, 0);
  ASSERT_EQ(a.length, 7);
  EXPECT_EQ(a.data.substr(0, 2), "01");
  EXPECT_EQ(a.data.substr(6, 4), Crc(a.data.substr(2, 4)));  // the RN16's CRC-16
  EXPECT_EQ(a.data.substr(10), "9000");
  EXPECT_EQ(CommandsSince(before),
            (std::vector<std::string>{"0803000000200032" "0028" "C1" + handle + Crc("C1" + handle)}));

  // A tag reply damaged on the air.
  ASSERT_EQ(Sim("fault bad-crc 1"), "OK");
  EXPECT_EQ(Send(raw), (Answer{0, 3, "066400"}));
  EXPECT_EQ(Lines("★EPC_TagCommandTransmit(5) crc=0x"), 1u);
  // P1 bit 3: the reply as it came, unchecked.
  ASSERT_EQ(Sim("fault bad-crc 1"), "OK");
  const Answer unchecked = Send("08030A00000B002000320028C1" + handle + "0000");
  EXPECT_EQ(unchecked.length, 7);
  EXPECT_NE(unchecked.data.substr(6, 4), Crc(unchecked.data.substr(2, 4)));

  // P1 bit 2: the application's own CRC-16, sent as it is; a wrong one
  // gets no tag reply.
  EXPECT_EQ(Send("08030600000B002000320028C1" + handle + Crc("C1" + handle)).length, 7);
  EXPECT_EQ(Send("08030600000B002000320028C1" + handle + "0000"), (Answer{0, 3, "009000"}));
}

TEST_F(RawCommand, LengthRulesAreCheckedBeforeAnythingIsSent) {
  const uint64_t before = Received();
  EXPECT_EQ(Send("08030000000400200032"), (Answer{-3, 0, ""}));  // 10 bytes
  EXPECT_EQ(Lines("★EPC_TagCommandTransmit(1) SndLen=0x000a"), 1u);
  EXPECT_EQ(Send("080300000" "0FB" + std::string(2 * 251, '0'), 256, 257), (Answer{-3, 0, ""}));
  EXPECT_EQ(Lines("★EPC_TagCommandTransmit(1) SndLen=0x0101"), 1u);
  // Lc 11 but Le 48 needs 12.
  EXPECT_EQ(Send("08030200000B002000320030C1FFFF0000"), (Answer{-3, 0, ""}));
  EXPECT_EQ(Lines("★EPC_TagCommandTransmit(2) SndLen=0x0011 DataLen=0x000b Le=0x0030 iLen=0x000c"), 1u);
  // 8 bits cannot make room for the driver's CRC-16.
  EXPECT_EQ(Send("080302000007000000320008C1"), (Answer{-3, 0, ""}));
  EXPECT_EQ(Received(), before);
}

}  // namespace
}  // namespace zq::test
