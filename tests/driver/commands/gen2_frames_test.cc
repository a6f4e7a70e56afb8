// The tag command frames the driver builds, held against the simulated
// tags' own reading of each command (and, for Select, against what the
// tags then do), and the bit writer's trace points.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/commands/gen2_frames.h"
#include "protocol/pc_word.h"
#include "sim/model/tag_commands.h"
#include "sim/model/tags.h"

namespace zq::drv {
namespace {

using Kind = sim::Gen2Command::Kind;

uint16_t Be16(const Bytes& b, size_t at) { return static_cast<uint16_t>((b[at] << 8) | b[at + 1]); }

struct Head {
  uint8_t mode;
  uint16_t replyBits, time, commandBits;
};

// The head of a frame, after checking its fixed bytes and its length.
Head ReadHead(const Bytes& f) {
  EXPECT_GE(f.size(), kTagCommandHeadLength);
  if (f.size() < kTagCommandHeadLength) return {};
  EXPECT_EQ(Bytes(f.begin(), f.begin() + 3), (Bytes{0x08, 0x03, 0x00}));
  Head h{f[3], Be16(f, 4), Be16(f, 6), Be16(f, 8)};
  EXPECT_EQ(f.size(), kTagCommandHeadLength + (h.commandBits + 7u) / 8);
  if (h.commandBits % 8 != 0) {
    EXPECT_EQ(f.back() & (0xFFu >> (h.commandBits % 8)), 0u) << "unused bits are 0";
  }
  return h;
}

// The command as a simulated tag reads it out of the frame.
std::optional<sim::Gen2Command> TagReading(const Bytes& f) {
  return sim::ParseGen2Command(f.data() + kTagCommandHeadLength, Be16(f, 8));
}

bool SameCommand(const sim::Gen2Command& a, const sim::Gen2Command& b) {
  return a.kind == b.kind && a.target == b.target && a.action == b.action && a.pointer == b.pointer &&
         a.length == b.length && a.mask == b.mask && a.truncate == b.truncate && a.bank == b.bank &&
         a.word_ptr == b.word_ptr && a.word_count == b.word_count && a.word == b.word && a.rfu == b.rfu &&
         a.payload == b.payload && a.handle == b.handle;
}

sim::Gen2Command Expect(Kind kind, uint16_t handle) {
  sim::Gen2Command c;
  c.kind = kind;
  c.handle = handle;
  return c;
}

TEST(TagCommandFrames, EveryCommandIsWhatATagReads) {
  Gen2BitWriter w;
  const uint16_t h = 0x9A3C;
  struct Case {
    std::string what;
    Bytes frame;
    Head head;
    sim::Gen2Command tag;
  };
  std::vector<Case> cases;
  auto read = [&](uint8_t bank, uint32_t ptr, uint8_t count) {
    sim::Gen2Command c = Expect(Kind::kRead, h);
    c.bank = bank;
    c.word_ptr = ptr;
    c.word_count = count;
    return c;
  };
  auto withWord = [&](sim::Gen2Command c, uint16_t word) {
    c.word = word;
    return c;
  };
  cases.push_back({"Req_RN", ReqRnFrame(w, h), {0x00, 32, 50, 40}, Expect(Kind::kReqRn, h)});
  cases.push_back({"Read 8 words", ReadFrame(w, kBankUser, 0, 8, h), {0x02, 33 + 16 * 8, 50, 58}, read(3, 0, 8)});
  cases.push_back({"Read 64 words, pointer 200 (two EBV bytes)", ReadFrame(w, kBankTid, 200, 64, h),
                   {0x02, 33 + 16 * 64, 50, 66}, read(2, 200, 64)});
  cases.push_back({"Read 65 words: the long time value", ReadFrame(w, kBankEpc, 2, 65, h),
                   {0x02, 33 + 16 * 65, 250, 58}, read(1, 2, 65)});
  sim::Gen2Command write = Expect(Kind::kWrite, h);
  write.bank = 3;
  write.word_ptr = 5;
  cases.push_back({"Write, cover-coded", WriteFrame(w, kBankUser, 5, 0xBEEF, h, 0x5A5A), {0x03, 33, 50, 66},
                   withWord(write, 0xBEEF ^ 0x5A5A)});
  write.bank = 0;
  write.word_ptr = 16384;
  cases.push_back({"Write, pointer 16384 (three EBV bytes)", WriteFrame(w, kBankReserved, 16384, 0x0001, h, 0x0001),
                   {0x03, 33, 50, 82}, withWord(write, 0x0000)});
  cases.push_back({"first Kill half", KillFrame(w, KillHalf::kFirst, 0x1111, h), {0x03, 32, 50, 59},
                   withWord(Expect(Kind::kKill, h), 0x1111)});
  cases.push_back({"second Kill half", KillFrame(w, KillHalf::kSecond, 0x2222, h), {0x03, 33, 50, 59},
                   withWord(Expect(Kind::kKill, h), 0x2222)});
  const uint8_t payload[3] = {0x00, 0xC0, 0x2F};  // the low four bits of the third byte are not sent
  sim::Gen2Command lock = Expect(Kind::kLock, h);
  lock.payload = 0x00C02;
  cases.push_back({"Lock", LockFrame(w, payload, h), {0x03, 33, 50, 60}, lock});
  cases.push_back({"Access", AccessFrame(w, 0x4321, h), {0x00, 32, 50, 56}, withWord(Expect(Kind::kAccess, h), 0x4321)});

  // A raw Req_RN whose last 16 bits the driver replaces with the CRC-16.
  const uint8_t rawReqRn[5] = {0xC1, 0xAB, 0xCD, 0xFF, 0xFF};
  ASSERT_TRUE(ComposeRawCommand(w, rawReqRn, 40, false));
  cases.push_back({"raw, the driver's CRC-16", RawTagCommandFrame(0x0001, 32, w), {0x03, 32, 50, 40},
                   Expect(Kind::kReqRn, 0xABCD)});
  // A raw Access whose bits come whole with their CRC-16.
  const Bytes access = AccessFrame(w, 0x0F0F, h);
  ASSERT_TRUE(ComposeRawCommand(w, access.data() + kTagCommandHeadLength, 56, true));
  cases.push_back({"raw, the application's CRC-16", RawTagCommandFrame(0x0102, 32, w), {0x00, 32, 50, 56},
                   withWord(Expect(Kind::kAccess, h), 0x0F0F)});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Head head = ReadHead(c.frame);
    EXPECT_EQ(head.mode, c.head.mode);
    EXPECT_EQ(head.replyBits, c.head.replyBits);
    EXPECT_EQ(head.time, c.head.time);
    EXPECT_EQ(head.commandBits, c.head.commandBits);
    std::optional<sim::Gen2Command> tag = TagReading(c.frame);
    ASSERT_TRUE(tag.has_value()) << "a tag would not answer it";
    EXPECT_TRUE(SameCommand(*tag, c.tag));
  }
  // Bits short of a CRC-16 to replace are refused.
  EXPECT_FALSE(ComposeRawCommand(w, rawReqRn, 15, false));
  EXPECT_EQ(w.bit_count(), 0u);
}

TEST(TagCommandFrames, SelectSplitsLongMasksAndSendsLengthZeroOnce) {
  Gen2BitWriter w;
  std::vector<Bytes> none = SelectFrames(w, kBankEpc, 0, 0, nullptr);
  ASSERT_EQ(none.size(), 1u);
  EXPECT_EQ(ReadHead(none[0]).commandBits, 45);
  std::optional<sim::Gen2Command> all = TagReading(none[0]);
  ASSERT_TRUE(all.has_value());
  EXPECT_EQ(all->kind, Kind::kSelect);
  EXPECT_EQ(all->length, 0);
  EXPECT_TRUE(all->mask.empty());

  Bytes mask(38);
  for (size_t i = 0; i < mask.size(); ++i) mask[i] = static_cast<uint8_t>(0x11 * (i % 15 + 1));
  EXPECT_EQ(SelectFrames(w, kBankUser, 0, 255, mask.data()).size(), 1u);
  std::vector<Bytes> long300 = SelectFrames(w, kBankUser, 16, 300, mask.data());
  ASSERT_EQ(long300.size(), 2u);
  const struct {
    uint32_t pointer;
    uint8_t length, action;
    uint16_t commandBits;
    size_t maskFrom, maskBytes;
  } want[2] = {{16, 248, 0, 37 + 8 + 248, 0, 31}, {16 + 248, 52, 2, 37 + 16 + 52, 31, 7}};
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    Head head = ReadHead(long300[i]);
    EXPECT_EQ(head.mode, 0x00);
    EXPECT_EQ(head.replyBits, 0);
    EXPECT_EQ(head.commandBits, want[i].commandBits);
    std::optional<sim::Gen2Command> s = TagReading(long300[i]);
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->bank, 3);
    EXPECT_EQ(s->pointer, want[i].pointer);
    EXPECT_EQ(s->length, want[i].length);
    EXPECT_EQ(s->action, want[i].action);
    Bytes expect(mask.begin() + static_cast<long>(want[i].maskFrom),
                 mask.begin() + static_cast<long>(want[i].maskFrom + want[i].maskBytes));
    if (want[i].length % 8) expect.back() &= static_cast<uint8_t>(0xFF00u >> (want[i].length % 8));
    EXPECT_EQ(s->mask, expect);
  }
}

TEST(TagCommandFrames, ALongSelectAddressesOnlyTheTagThatMatchesEveryPiece) {
  // Two tags of 18-word EPCs (304 PC+EPC bits: two Selects) that differ only
  // in their first EPC word, which the first piece covers; a third tag
  // differs only in its last word.
  std::vector<uint16_t> epc(18, 0x5555);
  std::vector<sim::Tag> tags{sim::Tag::WithEpc(epc)};
  epc[0] = 0xAAAA;
  tags.push_back(sim::Tag::WithEpc(epc));
  epc[0] = 0x5555;
  epc[17] = 0xAAAA;
  tags.push_back(sim::Tag::WithEpc(epc));
  sim::TagField field;
  field.set_tags(tags);
  for (size_t target = 0; target < tags.size(); ++target) {
    SCOPED_TRACE(target);
    const Bytes pcEpc = tags[target].PcEpcBytes();
    ASSERT_EQ(protocol::PcEpcBitLength(pcEpc[0]), 304u);
    Gen2BitWriter w;
    std::vector<Bytes> frames = SelectFrames(w, kBankEpc, 16, 304, pcEpc.data());
    ASSERT_EQ(frames.size(), 2u);
    for (const Bytes& f : frames) field.Execute(f.data() + kTagCommandHeadLength, Be16(f, 8));
    EXPECT_EQ(field.Matching(), (std::vector<size_t>{target}));
  }
}

// Records the trace points of a writer.
class RecordedTrace : public BitWriteTrace {
 public:
  void Appending(size_t total, size_t setBits, size_t setBytes) override {
    points.push_back("Call " + std::to_string(total) + " " + std::to_string(setBits) + " " + std::to_string(setBytes));
  }
  void Appended(size_t total) override { points.push_back("Ret " + std::to_string(total)); }
  std::vector<std::string> points;
};

TEST(Gen2BitWriter, ComposesAcrossByteBoundariesAndTracesEveryAppend) {
  RecordedTrace trace;
  Gen2BitWriter w(&trace);
  w.AppendField(0, 1);
  w.AppendField(0x1234, 16);
  w.AppendCrc16();  // the delayed reply of handle 1234: its CRC-16 is D627
  EXPECT_EQ(w.bytes(), (Bytes{0x09, 0x1A, 0x6B, 0x13, 0x80}));
  const uint8_t source[] = {0xAB, 0xFF};  // 10 bits taken; the rest of the second byte is ignored
  w.Append(source, 10);
  EXPECT_EQ(w.bytes(), (Bytes{0x09, 0x1A, 0x6B, 0x13, 0xD5, 0xE0}));
  EXPECT_EQ(w.bit_count(), 43u);
  EXPECT_EQ(trace.points, (std::vector<std::string>{"Call 0 1 1", "Ret 1", "Call 1 16 2", "Ret 17", "Call 17 16 2",
                                                    "Ret 33", "Call 33 10 2", "Ret 43"}));
  w.Clear();
  w.AppendEbv(16384);
  EXPECT_EQ(w.bytes(), (Bytes{0x81, 0x80, 0x00}));
  EXPECT_EQ(trace.points.back(), "Ret 24");
}

}  // namespace
}  // namespace zq::drv
