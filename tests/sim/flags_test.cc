// The inventoried and SL flags of the simulated tags, their persistence, the
// rounds of an inventory that honour the session and target, and the time a
// round takes: through the reader module's commands, with the module's clock
// given by the test.
#include <gtest/gtest.h>

#include <set>

#include "protocol/frame.h"
#include "sim/model/reader.h"
#include "sim/model/round_time.h"
#include "sim_test_util.h"

namespace zq::sim {
namespace {

std::vector<Tag> Field(size_t n) {
  std::vector<Tag> tags;
  for (size_t i = 0; i < n; ++i) tags.push_back(Tag::WithEpc({0x3034, 0x1F00, static_cast<uint16_t>(i >> 16), static_cast<uint16_t>(i)}));
  return tags;
}

class FlagsTest : public ::testing::Test {
 protected:
  void SetUp() override { PowerOn(); }
  void PowerOn() {
    std::vector<Transmission> boot;
    reader_.PowerOn(t_, &boot);
  }
  // One framed command at the current time; the reply body.
  Bytes Cmd(const Bytes& payload) {
    std::vector<Transmission> out;
    for (uint8_t b : protocol::EncodeFrame(seq_, payload)) reader_.Receive(b, t_, &out);
    seq_ ^= 1;
    if (out.size() != 1) return {};
    protocol::FrameView f;
    if (protocol::DecodeFrame(out[0].bytes, &f) != protocol::FrameStatus::kComplete) return {};
    return Bytes(f.payload, f.payload + f.payloadLength);
  }
  Bytes Session(uint8_t s) {
    Bytes c{0x00, 0x01, 0x00, 0x0D, 0, 0, 0, 0x0F, 0, 0, 0, 0x0E, s, 0x00, 0xFC, 0xFF};
    c.push_back(protocol::BlockCheck(&c[4], 12));
    return Cmd(c);
  }
  // One inventory round: the EPCs listed (empty on a refusal).
  std::vector<Bytes> Round(uint8_t target) {
    const Bytes body = Cmd({0x08, 0x01, target, 0x00});
    std::vector<Bytes> epcs;
    if (body.size() < 4 || body[body.size() - 2] != 0x90) return epcs;
    const size_t count = (size_t{body[0]} << 8) | body[1];
    for (size_t i = 0, at = 2; i < count && at + 2 <= body.size() - 2; ++i) {
      const size_t words = body[at] >> 3;  // PC word: EPC length in its top five bits
      epcs.emplace_back(body.begin() + static_cast<long>(at + 2), body.begin() + static_cast<long>(at + 2 + 2 * words));
      at += 2 + 2 * words + 2;
    }
    return epcs;
  }
  Bytes Select(uint8_t target, uint8_t action, const Bytes& mask, uint32_t bits) {
    test::Gen2 g = test::SelectCmd(1, 32, mask, bits, action);
    g.bits[0] = static_cast<uint8_t>((g.bits[0] & 0xF1) | (target << 1));  // the Target field: bits 4..6
    // The CRC-16 covers the target: rebuild it over the changed bits.
    protocol::BitWriter w;
    w.PutBits(g.bits.data(), g.count - 16);
    size_t count = 0;
    const Bytes command = test::Finish(w, &count);
    Bytes c{0x08, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x32, 0x00, static_cast<uint8_t>(count)};
    for (uint8_t b : command) c.push_back(b);
    return Cmd(c);
  }
  void Off(uint64_t forUs) {
    reader_.PowerOff(t_);
    t_ += forUs;
    PowerOn();
  }

  Faults faults_;
  Reader reader_{ReaderOptions{}, &faults_};
  uint64_t t_ = 1'000'000;
  uint8_t seq_ = 0;
};

TEST_F(FlagsTest, RoundsOfAFieldLargerThanOneReplyListEveryTagOnceInEverySessionButZero) {
  reader_.field().set_tags(Field(700));
  for (uint8_t session = 1; session <= 3; ++session) {
    SCOPED_TRACE(int{session});
    ASSERT_EQ(Session(session), (Bytes{0x90, 0x00}));
    for (uint8_t target : {uint8_t{0}, uint8_t{1}}) {  // A to B, then B back to A
      std::set<Bytes> seen;
      size_t rounds = 0;
      for (std::vector<Bytes> r = Round(target); !r.empty() && rounds < 50; r = Round(target), ++rounds) {
        EXPECT_LT(r.size(), 700u);
        EXPECT_EQ(reader_.last_round().listed, r.size());
        for (const Bytes& e : r) EXPECT_TRUE(seen.insert(e).second) << "listed twice";
        t_ += 100'000;
      }
      EXPECT_EQ(seen.size(), 700u);
      EXPECT_GT(rounds, 1u);
    }
  }
  // Session 0 lists the selected tags from the start every time.
  ASSERT_EQ(Session(0), (Bytes{0x90, 0x00}));
  const std::vector<Bytes> first = Round(0);
  EXPECT_EQ(Round(0), first);
  EXPECT_TRUE(Round(1).empty());
  // A refused target or signal-strength byte.
  EXPECT_EQ(Cmd({0x08, 0x01, 0x02, 0x00}), (Bytes{0x64, 0x00}));
  EXPECT_EQ(Cmd({0x08, 0x01, 0x00, 0x01}), (Bytes{0x64, 0x00}));
}

TEST_F(FlagsTest, EachSessionKeepsItsFlagsAsLongAsItsPersistenceSays) {
  // Per session: kept through a short power loss, kept through a long one,
  // kept a while with power, then kept after the S1 persistence with power.
  struct Case {
    uint8_t session;
    bool shortLoss, longLoss, afterS1Time;
  };
  const Case cases[] = {{1, true, false, false}, {2, true, false, true}, {3, true, false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(int{c.session});
    auto flipAll = [&] {
      reader_.field().set_tags(Field(5));  // new tags: every flag A
      ASSERT_EQ(Session(c.session), (Bytes{0x90, 0x00}));
      ASSERT_EQ(Round(0).size(), 5u);
      ASSERT_TRUE(Round(0).empty());
    };
    flipAll();
    Off(kUnpoweredPersistUs / 4);
    ASSERT_EQ(Session(c.session), (Bytes{0x90, 0x00}));
    EXPECT_EQ(Round(0).empty(), c.shortLoss);
    flipAll();
    Off(kUnpoweredPersistUs + 1);
    ASSERT_EQ(Session(c.session), (Bytes{0x90, 0x00}));
    EXPECT_EQ(Round(0).empty(), c.longLoss);
    flipAll();
    t_ += kS1PersistUs;
    EXPECT_EQ(Round(0).empty(), c.afterS1Time);
  }
  // S0 and SL through the state the tags keep: S0 lost with any power loss,
  // SL kept through a short one.
  reader_.field().set_tags(Field(4));
  ASSERT_EQ(Session(0), (Bytes{0x90, 0x00}));
  const Bytes second = Field(4)[1].PcEpcBytes();
  const Bytes mask(second.begin() + 2, second.end());
  ASSERT_EQ(Select(0, 0, mask, static_cast<uint32_t>(mask.size() * 8)), (Bytes{0x90, 0x00}));
  ASSERT_EQ(Select(kSelectTargetSl, 0, mask, static_cast<uint32_t>(mask.size() * 8)), (Bytes{0x90, 0x00}));
  EXPECT_EQ(Round(0), (std::vector<Bytes>{mask}));
  EXPECT_EQ(Round(1).size(), 3u);
  Off(1000);
  EXPECT_EQ(Round(0).size(), 4u);
  EXPECT_TRUE(reader_.field().tags()[1].sl);
  EXPECT_FALSE(reader_.field().tags()[0].sl);
  Off(kUnpoweredPersistUs + 1);
  EXPECT_FALSE(reader_.field().tags()[1].sl);
}

TEST_F(FlagsTest, ASelectAimedAtASessionSetsItsFlagsAndTheHandleAcquisitionFollowsThem) {
  reader_.field().set_tags(Field(6));
  const Bytes fourth = Field(6)[3].PcEpcBytes();
  const Bytes mask(fourth.begin() + 2, fourth.end());
  const uint32_t bits = static_cast<uint32_t>(mask.size() * 8);
  ASSERT_EQ(Session(2), (Bytes{0x90, 0x00}));
  // Action 4: matching tags to B, the others to A; action 3: negate the matching.
  ASSERT_EQ(Select(2, 4, mask, bits), (Bytes{0x90, 0x00}));
  EXPECT_EQ(Round(1), (std::vector<Bytes>{mask}));
  EXPECT_EQ(Round(0).size(), 6u);  // the fourth flipped back to A by the round before
  ASSERT_EQ(Select(2, 3, mask, bits), (Bytes{0x90, 0x00}));  // the fourth back to A, the others stay B
  EXPECT_EQ(Round(1).size(), 5u);
  // A reserved target changes no flag.
  ASSERT_EQ(Select(5, 0, mask, bits), (Bytes{0x90, 0x00}));
  EXPECT_EQ(Round(0).size(), 6u);
  // The handle goes to the first tag whose flag of the session is A.
  ASSERT_EQ(Select(2, 4, mask, bits), (Bytes{0x90, 0x00}));
  ASSERT_EQ(Select(2, 3, Bytes{}, 0), (Bytes{0x90, 0x00}));  // negate all: only the fourth is A
  const Bytes h = Cmd({0x08, 0x02, 0x00, 0x00});
  ASSERT_EQ(h.size(), fourth.size() + 4);
  EXPECT_EQ(Bytes(h.begin(), h.begin() + static_cast<long>(fourth.size())), fourth);
}

TEST(RoundTime, GrowsWithTheTagsListedNotWithTheTagsPresent) {
  // One reply of the largest field against that of a small one: the Q
  // algorithm climbs to the field's size in a few dozen slots.
  const RoundTime small = InventoryRoundTime(100, 86);
  const RoundTime large = InventoryRoundTime(20000, 86);
  EXPECT_LT(large.slots, small.slots + 60);
  EXPECT_LT(large.us, small.us + 60 * kSlotUs);
  // Every listed tag costs its reply and at least one slot; a frame tuned
  // to the tags left singles out about one in e slots.
  for (size_t listed : {size_t{1}, size_t{10}, size_t{86}, size_t{500}, size_t{2000}}) {
    SCOPED_TRACE(listed);
    const RoundTime r = InventoryRoundTime(2000, listed);
    EXPECT_GE(r.slots, listed);
    EXPECT_LE(r.slots, 4 * listed + 60);
    EXPECT_EQ(r.us, kRoundStartUs + r.slots * kSlotUs + listed * kTagReplyUs);
    EXPECT_LT(InventoryRoundTime(2000, listed / 2).us, r.us);
  }
  // An empty field: the Query and its empty slot.
  EXPECT_EQ(InventoryRoundTime(0, 0).slots, 1u);
  EXPECT_EQ(InventoryRoundTime(0, 5).slots, 1u);
}

TEST_F(FlagsTest, TheModuleTimeOfARoundStaysWithinOneReplyWhateverTheFieldSize) {
  std::vector<uint64_t> times;
  for (size_t n : {size_t{50}, size_t{2000}}) {
    reader_.field().set_tags(Field(n));
    uint64_t processing = 0;
    ASSERT_EQ(Session(2), (Bytes{0x90, 0x00}));
    const Bytes body = reader_.Execute({0x08, 0x01, 0x00, 0x02}, &processing);
    ASSERT_GE(body.size(), 4u);
    EXPECT_EQ(reader_.last_round().participants, n);
    EXPECT_EQ(processing, InventoryRoundTime(n, reader_.last_round().listed).us);
    times.push_back(processing);
  }
  // A full reply from 2,000 tags takes less than a second of module time.
  EXPECT_LT(times[1], 1'000'000u);
}

}  // namespace
}  // namespace zq::sim
