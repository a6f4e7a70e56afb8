// The reader module: its link (frames, check byte, sequence bit, resend and
// duplicate requests, unit address, pauses), its command set, the firmware
// download, and the reply faults.
#include <gtest/gtest.h>

#include <set>

#include "platform/devices/sim_client.h"
#include "platform/os/clock.h"
#include "platform/os/files.h"

#include "sim/model/firmware.h"
#include "sim/model/reader.h"
#include "sim/model/scenario.h"
#include "sim_test_util.h"

namespace zq::sim {
namespace {

using test::ReaderHost;

class ReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<Transmission> boot;
    reader_.PowerOn(t_, &boot);
    ASSERT_EQ(boot.size(), 1u);
    reader_.field().set_tags(DefaultTags());
  }
  std::vector<Transmission> Feed(const Bytes& bytes) {
    std::vector<Transmission> out;
    for (uint8_t b : bytes) reader_.Receive(b, t_, &out);
    return out;
  }
  std::vector<Transmission> Send(uint8_t address, const Bytes& payload) { return Feed(protocol::EncodeFrame(address, payload)); }
  // The body of a single well-formed reply whose address is `seq`.
  static Bytes Body(const std::vector<Transmission>& out, uint8_t seq) {
    EXPECT_EQ(out.size(), 1u);
    if (out.size() != 1) return {};
    protocol::FrameView f;
    EXPECT_EQ(protocol::DecodeFrame(out[0].bytes, &f), protocol::FrameStatus::kComplete);
    EXPECT_EQ(f.address, seq);
    EXPECT_EQ(f.wireLength, out[0].bytes.size());
    return Bytes(f.payload, f.payload + f.payloadLength);
  }
  Bytes Cmd(const Bytes& c) { return reader_.Execute(c); }

  Faults faults_;
  Reader reader_{ReaderOptions{}, &faults_};
  uint64_t t_ = 5000;
};

// ---- link ----

TEST_F(ReaderTest, ReplyCarriesTheSequenceBitAlone) {
  EXPECT_EQ(Body(Send(0x01, {0x03, 0xFF, 0x00, 0x00}), 1), (Bytes{0x90, 0x00}));
  EXPECT_EQ(Body(Send(0x00, {0x03, 0xFF, 0x00, 0x00}), 0), (Bytes{0x90, 0x00}));
}

TEST_F(ReaderTest, ResendRequestRepeatsTheLastReply) {
  auto first = Send(0x01, {0x00, 0x02, 0x00, 0x04, 0x00, 0x1F, 0x02, 0x1D});
  auto again = Feed(protocol::EncodeFrame(0x81, {}));
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].bytes, first[0].bytes);
  EXPECT_EQ(reader_.counters().resend_requests, 1u);
  EXPECT_EQ(reader_.counters().commands_executed, 1u);
}

TEST_F(ReaderTest, RepeatedRequestIsAnsweredWithoutRunningTwice) {
  Bytes pcEpc = reader_.field().tags()[0].PcEpcBytes();
  ASSERT_EQ(Body(Send(0x01, {0x08, 0x02, 0x00, 0x00}), 1).size(), pcEpc.size() + 4);
  uint16_t h = reader_.field().tags()[0].handle;
  test::Gen2 rr = test::ReqRnCmd(h);
  Bytes cmd{0x08, 0x03, 0x00, 0x00, 0x00, 0x20, 0x00, 0x32, 0x00, 0x28};
  cmd.insert(cmd.end(), rr.bits.begin(), rr.bits.end());
  Bytes a = Body(Send(0x00, cmd), 0);
  uint64_t executed = reader_.counters().commands_executed;
  Bytes b = Body(Send(0x00, cmd), 0);  // same bit, same bytes: the lost-reply retry
  EXPECT_EQ(a, b);                     // the same RN16, not a fresh one
  EXPECT_EQ(reader_.counters().commands_executed, executed);
  EXPECT_EQ(reader_.counters().duplicates, 1u);
  Bytes c = Body(Send(0x01, cmd), 1);  // the next request: executed again
  EXPECT_NE(a, c);
}

TEST_F(ReaderTest, BadCheckByteIsDropped) {
  Bytes f = protocol::EncodeFrame(0x01, {0x03, 0xFF, 0x00, 0x00});
  f.back() ^= 0x01;
  EXPECT_TRUE(Feed(f).empty());
  EXPECT_EQ(reader_.counters().bad_checks, 1u);
  EXPECT_EQ(reader_.counters().commands_executed, 0u);
}

TEST_F(ReaderTest, FramesForAnotherUnitAreIgnored) {
  EXPECT_TRUE(Send(0x02 + 1, {0x03, 0xFF, 0x00, 0x00}).empty());
  EXPECT_TRUE(Feed(protocol::EncodeFrame(0x83, {})).empty());
  EXPECT_EQ(reader_.counters().frames_received, 2u);
  EXPECT_EQ(reader_.counters().commands_executed, 0u);
  Faults f;
  Reader unit3(ReaderOptions{3, {1, 2}, false}, &f);
  std::vector<Transmission> out;
  unit3.PowerOn(0, &out);
  out.clear();
  for (uint8_t b : protocol::EncodeFrame(0x07, {0x03, 0xFF, 0x00, 0x00})) unit3.Receive(b, 10, &out);
  EXPECT_EQ(Body(out, 1), (Bytes{0x90, 0x00}));
}

TEST_F(ReaderTest, FrameCutByAPauseIsDropped) {
  Bytes f = protocol::EncodeFrame(0x01, {0x03, 0xFF, 0x00, 0x00});
  EXPECT_TRUE(Feed(Bytes(f.begin(), f.begin() + 4)).empty());
  t_ += kFramePauseUs + 1;
  EXPECT_TRUE(Feed(Bytes(f.begin() + 4, f.end())).empty());
  t_ += kFramePauseUs + 1;
  EXPECT_EQ(Body(Feed(f), 1), (Bytes{0x90, 0x00}));
  // The cut head is dropped; the tail reads as a frame of its own and fails its check.
  EXPECT_EQ(reader_.counters().frames_dropped, 1u);
  EXPECT_EQ(reader_.counters().commands_executed, 1u);
}

TEST_F(ReaderTest, PowerOffForgetsTheLastRequest) {
  Bytes cmd{0x03, 0xFF, 0x00, 0x00};
  Send(0x01, cmd);
  reader_.PowerOff(t_);
  std::vector<Transmission> boot;
  reader_.PowerOn(t_, &boot);
  EXPECT_EQ(Body(Send(0x01, cmd), 1), (Bytes{0x90, 0x00}));
  EXPECT_EQ(reader_.counters().duplicates, 0u);
  EXPECT_EQ(reader_.counters().commands_executed, 2u);
}

// ---- reply faults ----

TEST_F(ReaderTest, DroppedReplyComesBackOnResend) {
  faults_.drop_reply = 1;
  EXPECT_TRUE(Send(0x01, {0x03, 0xFF, 0x00, 0x00}).empty());
  EXPECT_EQ(Body(Feed(protocol::EncodeFrame(0x81, {})), 1), (Bytes{0x90, 0x00}));
}

TEST_F(ReaderTest, BadCheckAndStallFaultsSpoilOneTransmissionEach) {
  faults_.bad_check = 1;
  faults_.stall = 1;
  auto a = Send(0x01, {0x03, 0xFF, 0x00, 0x00});
  ASSERT_EQ(a.size(), 1u);
  protocol::FrameView spoiled;
  EXPECT_EQ(protocol::DecodeFrame(a[0].bytes, &spoiled), protocol::FrameStatus::kBadCheck);
  auto b = Feed(protocol::EncodeFrame(0x81, {}));
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(b[0].bytes.size(), 3u);  // half of a 6-byte frame
  EXPECT_EQ(Body(Feed(protocol::EncodeFrame(0x81, {})), 1), (Bytes{0x90, 0x00}));
  EXPECT_EQ(faults_.bad_check + faults_.stall, 0);
}

TEST_F(ReaderTest, StatusFaultAnswersWithoutExecuting) {
  faults_.status = 2;
  faults_.status_word = 0x6405;
  EXPECT_EQ(Body(Send(0x01, {0x00, 0x22, 0x05, 0x00}), 1), (Bytes{0x64, 0x05}));
  EXPECT_EQ(Body(Send(0x00, {0x00, 0x22, 0x05, 0x00}), 0), (Bytes{0x64, 0x05}));
  EXPECT_EQ(reader_.settings().power_level, 20);
  EXPECT_EQ(Body(Send(0x01, {0x00, 0x22, 0x05, 0x00}), 1), (Bytes{0x90, 0x00}));
  EXPECT_EQ(reader_.settings().power_level, 5);
}

// ---- commands ----

TEST_F(ReaderTest, SetUpItemsAreCheckedAndStored) {
  // Power control, PowerData 3.
  EXPECT_EQ(Cmd({0x00, 0x01, 0x00, 0x0D, 0, 0, 0, 0x08, 0, 0, 0, 0x0C, 0x04, 0x00, 0xFB, 0xFF, 0x04}), (Bytes{0x90, 0x00}));
  EXPECT_TRUE(reader_.settings().carrier);
  // Wrong check byte, wrong length.
  EXPECT_EQ(Cmd({0x00, 0x01, 0x00, 0x0D, 0, 0, 0, 0x08, 0, 0, 0, 0x0C, 0x00, 0x00, 0xFB, 0xFF, 0x04}), (Bytes{0x64, 0x00}));
  EXPECT_EQ(Cmd({0x00, 0x01, 0x00, 0x0D, 0, 0, 0, 0x08}), (Bytes{0x64, 0x00}));
  // Firmware mode, session 2.
  EXPECT_EQ(Cmd({0x00, 0x01, 0x00, 0x07, 0x00, 0x1D, 0x00, 0x01, 0x00, 0x00, 0x1C}), (Bytes{0x90, 0x00}));
  EXPECT_TRUE(reader_.settings().operating_mode);
  EXPECT_EQ(Cmd({0x00, 0x01, 0x00, 0x0D, 0, 0, 0, 0x0F, 0, 0, 0, 0x0E, 0x02, 0x00, 0xFC, 0xFF, 0x00}), (Bytes{0x90, 0x00}));
  EXPECT_EQ(reader_.settings().session, 2);
  // An item the reader does not use is acknowledged.
  Bytes other{0x00, 0x01, 0x00, 0x04, 0x12, 0x34, 0x56, 0x12 ^ 0x34 ^ 0x56};
  EXPECT_EQ(Cmd(other), (Bytes{0x90, 0x00}));
}

TEST_F(ReaderTest, SpeedWordSetUpIsSeventeenBytes) {
  // mode 2, Delimita 0, SndSpeed 2, RcvSpeed 5: w = 0x2025.
  Bytes good{0x00, 0x01, 0x00, 0x0D, 0, 0, 0, 0x0F, 0, 0, 0, 0x26, 0x20, 0x25, 0x00, 0x00, 0};
  good[16] = protocol::BlockCheck(&good[4], 12);
  EXPECT_EQ(Cmd(good), (Bytes{0x90, 0x00}));
  EXPECT_EQ(reader_.settings().speed_word, 0x2025);
  Bytes eighteen{0x00, 0x01, 0x00, 0x0D, 0, 0, 0, 0x0F, 0, 0, 0, 0x26, 0x00, 0x20, 0x25, 0x00, 0x00, 0};
  eighteen[17] = protocol::BlockCheck(&eighteen[4], 12);
  EXPECT_EQ(Cmd(eighteen), (Bytes{0x64, 0x00}));
}

TEST_F(ReaderTest, QueriesAndSettings) {
  EXPECT_EQ(Cmd({0x00, 0x02, 0x00, 0x04, 0x00, 0x1F, 0x02, 0x1D}), (Bytes{0x01, 0x23, 0x90, 0x00}));
  Bytes info = Cmd({0x00, 0x02, 0x00, 0x04, 0x00, 0x12, 0x1E, 0x12 ^ 0x1E});
  EXPECT_EQ(info.size(), 32u);
  EXPECT_EQ(Cmd({0x00, 0x02, 0x00, 0x04, 0x00, 0x12, 0x1F, 0x12 ^ 0x1F}), (Bytes{0x64, 0x00}));  // 33 bytes
  EXPECT_EQ(Cmd({0x00, 0x02, 0x00, 0x04, 0x00, 0x1F, 0x02, 0x00}), (Bytes{0x64, 0x00}));
  EXPECT_EQ(Cmd({0x00, 0x21, 0x00, 0x00, 0x00, 0x06, 0x00, 0x03, 0x00, 0x07, 0xFF, 0xC0}), (Bytes{0x90, 0x00}));
  EXPECT_EQ(reader_.settings().channel_mask, 0x0007FFC0u);
  EXPECT_EQ(Cmd({0x00, 0x22, 0xF6, 0x00}), (Bytes{0x90, 0x00}));  // -10
  EXPECT_EQ(Cmd({0x00, 0x22, 0x14, 0x00}), (Bytes{0x90, 0x00}));  // 20
  EXPECT_EQ(Cmd({0x00, 0x22, 0x15, 0x00}), (Bytes{0x64, 0x00}));  // 21
  EXPECT_EQ(Cmd({0x00, 0x22, 0xF5, 0x00}), (Bytes{0x64, 0x00}));  // -11
  Bytes ant = Cmd({0x00, 0x42, 0x00, 0x00, 0x05, 0x03, 0x01});
  ASSERT_EQ(ant.size(), 5u);
  EXPECT_EQ(Bytes(ant.end() - 2, ant.end()), (Bytes{0x90, 0x00}));
  EXPECT_EQ(Cmd({0x00, 0x42, 0x00, 0x00, 0x05, 0x0E, 0x01}), (Bytes{0x64, 0x00}));
  EXPECT_EQ(Cmd({0x00, 0x42, 0x00, 0x00, 0x07, 0x00}), (Bytes{0x07, 0x00, 0x90, 0x00}));
  EXPECT_EQ(Cmd({0x03, 0xFF, 0x00, 0x00}), (Bytes{0x90, 0x00}));
  Bytes log = Cmd({0x00, 0x2B, 0x00, 0x01});
  EXPECT_GT(log.size(), 2u);
  EXPECT_EQ(Bytes(log.end() - 2, log.end()), (Bytes{0x90, 0x00}));
}

TEST_F(ReaderTest, UnknownCommandsAreRefusedAndPassThroughClassesAccepted) {
  EXPECT_EQ(Cmd({0x00, 0x77, 0x00, 0x00}), (Bytes{0x64, 0x01}));
  EXPECT_EQ(Cmd({0x05, 0x01, 0x00, 0x00}), (Bytes{0x64, 0x01}));
  EXPECT_EQ(Cmd({0x00}), (Bytes{0x64, 0x01}));
  EXPECT_EQ(Cmd({0xC3, 0xFF, 0x00, 0x00}), (Bytes{0x90, 0x00}));
}

TEST_F(ReaderTest, InventoryListsMatchingTagsWithStoredCrcAndSignal) {
  Bytes body = Cmd({0x08, 0x01, 0x00, 0x02});
  const auto& tags = reader_.field().tags();
  ASSERT_EQ(body.size(), 2 + 3 * (14 + 2 + 2) + 2u);
  EXPECT_EQ(body[1], 3);
  Bytes first(body.begin() + 2, body.begin() + 20);
  Bytes expect = tags[0].PcEpcBytes();
  expect.insert(expect.end(), {static_cast<uint8_t>(tags[0].stored_crc() >> 8), static_cast<uint8_t>(tags[0].stored_crc()),
                               static_cast<uint8_t>(tags[0].rssi >> 8), static_cast<uint8_t>(tags[0].rssi)});
  EXPECT_EQ(first, expect);
  EXPECT_EQ(Cmd({0x08, 0x01, 0x00, 0x00}).size(), 2 + 3 * 16 + 2u);  // without signal strength
}

TEST_F(ReaderTest, InventoryStopsAtWhatFitsTheReplyArea) {
  std::vector<Tag> many;
  for (uint16_t i = 0; i < 120; ++i) many.push_back(Tag::WithEpc({0xE200, 0, 0, 0, 0, i}));
  reader_.field().set_tags(many);
  Bytes body = Cmd({0x08, 0x01, 0x00, 0x02});
  EXPECT_LE(body.size(), kMaxInventoryBody);
  unsigned count = (body[0] << 8) | body[1];
  EXPECT_EQ(count, (kMaxInventoryBody - 4) / 18);
  EXPECT_EQ(body.size(), 4 + 18u * count);
}

TEST_F(ReaderTest, TheHundredTagScenarioFitsOneInventory) {
  std::string text;
  ASSERT_EQ(platform::ReadWholeFile(ZQ_SOURCE_DIR "/tests/data/tags100.json", &text), 0u);
  Scenario scenario;
  ASSERT_EQ(ParseScenario(nlohmann::json::parse(text), &scenario), "");
  reader_.field().set_tags(scenario.tags);
  Bytes body = Cmd({0x08, 0x01, 0x00, 0x02});
  ASSERT_EQ(body.size(), 2 + 100 * (10 + 2 + 2) + 2u);  // PC + 4 EPC words, StoredCRC, signal strength
  EXPECT_EQ((body[0] << 8) | body[1], 100);
  std::set<Bytes> epcs;
  for (size_t i = 0; i < 100; ++i) epcs.insert(Bytes(body.begin() + 2 + 14 * i, body.begin() + 12 + 14 * i));
  EXPECT_EQ(epcs.size(), 100u);
}

TEST_F(ReaderTest, HandleAcquisitionAndTagCommands) {
  Bytes noneMatch = {0x08, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x32};
  test::Gen2 sel = test::SelectCmd(1, 32, {0xFF, 0xFF}, 16);
  noneMatch.push_back(0);
  noneMatch.push_back(static_cast<uint8_t>(sel.count));
  noneMatch.insert(noneMatch.end(), sel.bits.begin(), sel.bits.end());
  EXPECT_EQ(Cmd(noneMatch), (Bytes{0x90, 0x00}));
  EXPECT_EQ(Cmd({0x08, 0x02, 0x00, 0x00}), (Bytes{0x64, 0x02}));
  EXPECT_EQ(Cmd({0x08, 0x01, 0x00, 0x00}), (Bytes{0x00, 0x00, 0x90, 0x00}));
  // No singulated tag: a Req_RN gets the silent-tag reply.
  test::Gen2 rr = test::ReqRnCmd(0x1234);
  Bytes raw{0x08, 0x03, 0x00, 0x00, 0x00, 0x20, 0x00, 0x32, 0x00, 0x28};
  raw.insert(raw.end(), rr.bits.begin(), rr.bits.end());
  EXPECT_EQ(Cmd(raw), (Bytes{0x00, 0x90, 0x00}));
  raw.pop_back();  // Le says 40 bits, 4 bytes given
  EXPECT_EQ(Cmd(raw), (Bytes{0x64, 0x00}));
}

// ---- firmware download ----

TEST_F(ReaderTest, WholeFirmwareDownloadInstallsTheVersion) {
  Bytes file = BuildFirmwareFile(0x0456, 5, false);
  ASSERT_EQ(file.size(), 4 + 5 * kFirmwareRecordLength);
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 2), (Bytes{0x04, 0x56}));
  for (size_t i = 0; i < 5; ++i) {
    const uint8_t* rec = &file[4 + i * kFirmwareRecordLength];
    EXPECT_EQ(Cmd(Bytes(rec, rec + kFirmwareBlockLength)), (Bytes{0x90, 0x00})) << i;
  }
  EXPECT_EQ(Cmd({0x00, 0x02, 0x00, 0x04, 0x00, 0x1F, 0x02, 0x1D}), (Bytes{0x04, 0x56, 0x90, 0x00}));
}

TEST_F(ReaderTest, DownloadRefusesBlocksOutOfOrderAndABadImage) {
  Bytes file = BuildFirmwareFile(0x0777, 3, false);
  auto block = [&](size_t i) {
    const uint8_t* rec = &file[4 + i * kFirmwareRecordLength];
    return Bytes(rec, rec + kFirmwareBlockLength);
  };
  EXPECT_EQ(Cmd(block(1)), (Bytes{0x65, 0x81}));  // nothing started
  EXPECT_EQ(Cmd(block(0)), (Bytes{0x90, 0x00}));
  EXPECT_EQ(Cmd(block(2)), (Bytes{0x65, 0x81}));  // block 1 skipped
  // Restarting from block 0 goes through.
  EXPECT_EQ(Cmd(block(0)), (Bytes{0x90, 0x00}));
  EXPECT_EQ(Cmd(block(1)), (Bytes{0x90, 0x00}));
  EXPECT_EQ(Cmd(block(2)), (Bytes{0x90, 0x00}));
  EXPECT_EQ(reader_.firmware(), (std::array<uint8_t, 2>{0x07, 0x77}));

  Bytes bad = BuildFirmwareFile(0x0888, 2, true);
  EXPECT_EQ(Cmd(Bytes(&bad[4], &bad[4] + 37)), (Bytes{0x90, 0x00}));
  EXPECT_EQ(Cmd(Bytes(&bad[4 + 39], &bad[4 + 39] + 37)), (Bytes{0x65, 0x82}));
  EXPECT_EQ(reader_.firmware(), (std::array<uint8_t, 2>{0x07, 0x77}));
}

}  // namespace
}  // namespace zq::sim
