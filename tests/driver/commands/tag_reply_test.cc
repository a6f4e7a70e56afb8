// The reply checks and rewrites on data (tag replies made of the Gen2 CRC
// vectors), then whole tag conversations: the driver's frames, composed in
// the thread's work area, against the simulated reader in this process,
// and two threads whose work areas and trace lines stay their own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "driver/commands/gen2_frames.h"
#include "driver/commands/process_state.h"
#include "driver/commands/tag_reply.h"
#include "driver/commands/tag_work_area.h"
#include "protocol/bits.h"
#include "protocol/crc.h"
#include "sim/model/reader.h"
#include "sim/model/scenario.h"
#include "tests/support/log_mirror.h"

namespace zq::drv {
namespace {

std::string MirrorPath() { return "/tmp/zqt-gen2-" + std::to_string(getpid()) + ".log"; }

__attribute__((constructor(101))) void MirrorTheLog() { setenv("ZELQUAR_LOG_MIRROR", MirrorPath().c_str(), 1); }

// The mirror goes when the process's last test is done (every test may log).
class MirrorCleanup : public ::testing::Environment {
 public:
  void TearDown() override { std::filesystem::remove(MirrorPath()); }
};
const bool kCleanupRegistered = [] {
  ::testing::AddGlobalTestEnvironment(new MirrorCleanup);
  return true;
}();

// A response frame around `body`, as the exchange leaves it in EpcBuffer().
Bytes Frame(const Bytes& body) {
  Bytes f{0x00, static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size())};
  f.insert(f.end(), body.begin(), body.end());
  return f;
}
Bytes BodyOf(const Bytes& frame) {
  const size_t n = (size_t{frame[1]} << 8) | frame[2];
  return Bytes(frame.begin() + 3, frame.begin() + 3 + static_cast<long>(n));
}

// 01, the tag's bits padded to bytes, the status word.
Bytes TagBody(const protocol::BitWriter& bits, Bytes sw = {0x90, 0x00}) {
  Bytes b{0x01};
  b.insert(b.end(), bits.bytes().begin(), bits.bytes().end());
  b.insert(b.end(), sw.begin(), sw.end());
  return b;
}
protocol::BitWriter Fields(std::initializer_list<std::pair<uint32_t, unsigned>> fields) {
  protocol::BitWriter w;
  for (auto [value, bits] : fields) w.Put(value, bits);
  return w;
}

TEST(TagReplyRewrite, EveryShapeOfReply) {
  // The delayed reply of handle 1234 (CRC-16 D627), the error reply 04 of
  // handle 1234 (CRC-16 CF54), and a Read reply of two words.
  const Bytes delayed = TagBody(Fields({{0, 1}, {0x1234, 16}, {0xD627, 16}}));
  protocol::BitWriter read = Fields({{0, 1}, {0xBEEF, 16}, {0x0102, 16}, {0x1234, 16}});
  read.Put(protocol::Crc16Bits(read.bytes().data(), read.bit_count()), 16);
  const struct {
    const char* what;
    Bytes body;
    size_t dataWords;
    TagReplyOutcome outcome;
    Bytes after;
    uint16_t crc, crc2;
  } cases[] = {
      {"a Write's delayed reply", delayed, 0, TagReplyOutcome::kTagAnswered, {0x01, 0x12, 0x34, 0xD6, 0x27, 0x90, 0x00},
       0xD627, 0xD627},
      {"a Read of two words", TagBody(read), 2, TagReplyOutcome::kTagAnswered, {}, 0, 0},
      {"an error reply", TagBody(Fields({{1, 1}, {0x04, 8}, {0x1234, 16}, {0xCF54, 16}})), 0,
       TagReplyOutcome::kTagError, {0x04, 0x64, 0x04}, 0xCF54, 0xCF54},
      {"an error reply with a bad CRC-16", TagBody(Fields({{1, 1}, {0x04, 8}, {0x1234, 16}, {0xCF55, 16}})), 0,
       TagReplyOutcome::kCrcMismatch, {0x06, 0x64, 0x03}, 0xCF54, 0xCF55},
      {"a delayed reply with a bad CRC-16", TagBody(Fields({{0, 1}, {0x1234, 16}, {0xD626, 16}})), 0,
       TagReplyOutcome::kCrcMismatch, {0x06, 0x64, 0x03}, 0xD627, 0xD626},
      {"a reply shorter than the words asked for", delayed, 2, TagReplyOutcome::kCrcMismatch, {0x06, 0x64, 0x03}, 0, 0},
      {"no tag reply", {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x90, 0x00}, 0, TagReplyOutcome::kNoTagReply,
       {0x00, 0x64, 0x03}, 0, 0},
      {"the reader's short no-reply body", {0x00, 0x90, 0x00}, 0, TagReplyOutcome::kAsReceived, {0x00, 0x90, 0x00}, 0, 0},
      {"a bare status word", {0x64, 0x01}, 0, TagReplyOutcome::kAsReceived, {0x64, 0x01}, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes frame = Frame(c.body);
    TagReplyCheck check = RewriteTagReply(frame.data(), c.dataWords);
    EXPECT_EQ(check.outcome, c.outcome);
    EXPECT_EQ(check.receivedLength, c.body.size());
    if (!c.after.empty()) {
      EXPECT_EQ(BodyOf(frame), c.after);
    }
    if (c.crc != 0) {
      EXPECT_EQ(check.computedCrc, c.crc);
      EXPECT_EQ(check.receivedCrc, c.crc2);
    }
  }
  // The Read's words, handle and CRC-16 without the header bit: one byte shorter.
  Bytes frame = Frame(TagBody(read));
  ASSERT_EQ(RewriteTagReply(frame.data(), 2).outcome, TagReplyOutcome::kTagAnswered);
  const Bytes body = BodyOf(frame);
  ASSERT_EQ(body.size(), TagBody(read).size() - 1);
  EXPECT_EQ(Bytes(body.begin(), body.begin() + 7), (Bytes{0x01, 0xBE, 0xEF, 0x01, 0x02, 0x12, 0x34}));
  EXPECT_EQ(Bytes(body.end() - 2, body.end()), (Bytes{0x90, 0x00}));
}

TEST(TagReplyRewrite, HandleRepliesAndTheFirstKillHalf) {
  // RN16 0000 carries the CRC-16 E2F0 (the StoredCRC of an empty EPC).
  const Bytes sound = {0x01, 0x00, 0x00, 0xE2, 0xF0, 0x90, 0x00};
  const Bytes spoilt = {0x01, 0x00, 0x00, 0xE2, 0xF1, 0x90, 0x00};
  const Bytes noTag = {0x00, 0x00, 0x00, 0xE2, 0xF0, 0x90, 0x00};
  const Bytes refused = {0x01, 0x00, 0x00, 0xE2, 0xF1, 0x64, 0x00};
  const struct {
    const char* what;
    TagReplyCheck (*check)(uint8_t*);
    Bytes body;
    TagReplyOutcome outcome;
    Bytes after;
  } cases[] = {
      {"Req_RN, sound", CheckHandleReply, sound, TagReplyOutcome::kTagAnswered, sound},
      {"Req_RN, bad CRC-16", CheckHandleReply, spoilt, TagReplyOutcome::kCrcMismatch, {0x06, 0x64, 0x03}},
      {"Req_RN, not 90 00", CheckHandleReply, refused, TagReplyOutcome::kAsReceived, refused},
      {"Req_RN, too short", CheckHandleReply, {0x00, 0x90, 0x00}, TagReplyOutcome::kAsReceived, {0x00, 0x90, 0x00}},
      {"Req_RN looks only at the CRC-16", CheckHandleReply, noTag, TagReplyOutcome::kTagAnswered, noTag},
      {"first Kill half, sound", CheckFirstKillReply, sound, TagReplyOutcome::kTagAnswered, sound},
      {"first Kill half, bad CRC-16", CheckFirstKillReply, spoilt, TagReplyOutcome::kCrcMismatch, {0x06, 0x64, 0x03}},
      {"first Kill half, no tag reply", CheckFirstKillReply, noTag, TagReplyOutcome::kNoTagReply, {0x00, 0x64, 0x03}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes frame = Frame(c.body);
    EXPECT_EQ(c.check(frame.data()).outcome, c.outcome);
    EXPECT_EQ(BodyOf(frame), c.after);
  }
}

TEST(TagReplyRewrite, RawReplyCheck) {
  protocol::BitWriter rn = Fields({{0x8001, 16}});  // first bit 1, yet no error reply: 32 bits
  rn.Put(protocol::Crc16Bits(rn.bytes().data(), 16), 16);
  const struct {
    const char* what;
    Bytes body;
    uint16_t replyBits;
    bool checked, sound;
  } cases[] = {
      {"an RN16 whose first bit is 1", TagBody(rn), 32, true, true},
      {"a delayed reply", TagBody(Fields({{0, 1}, {0x1234, 16}, {0xD627, 16}})), 33, true, true},
      {"an error reply", TagBody(Fields({{1, 1}, {0x04, 8}, {0x1234, 16}, {0xCF54, 16}})), 33, true, true},
      {"a bad CRC-16", TagBody(Fields({{0, 1}, {0x1234, 16}, {0xD626, 16}})), 33, true, false},
      {"fewer bits than asked for", TagBody(rn), 48, true, false},
      {"no tag reply", {0x00, 0x90, 0x00}, 32, false, true},
      {"the reader refused", TagBody(Fields({{0, 1}, {0x1234, 16}, {0xD626, 16}}), {0x64, 0x00}), 33, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RawReplyCheck r = CheckRawTagReply(c.body.data(), c.body.size(), c.replyBits);
    EXPECT_EQ(r.checked, c.checked);
    EXPECT_EQ(r.sound, c.sound);
  }
}

// ---- whole conversations against the simulated reader ----

// One exchange as the command layer will make it: the reply frame lands in
// the thread's EpcBuffer().
class SimulatedExchange {
 public:
  explicit SimulatedExchange(std::vector<sim::Tag> tags) { reader_.field().set_tags(std::move(tags)); }
  uint8_t* Run(const Bytes& command) {
    const Bytes body = reader_.Execute(command);
    protocol::WriteFrameHead(0x00, body.size(), EpcBuffer().data());
    std::copy(body.begin(), body.end(), EpcBuffer().begin() + 3);
    return EpcBuffer().data();
  }
  static Bytes Body() { return BodyOf(Bytes(EpcBuffer().begin(), EpcBuffer().end())); }
  static uint16_t Word(size_t at) { return static_cast<uint16_t>((EpcBuffer()[3 + at] << 8) | EpcBuffer()[4 + at]); }

  // Select on the PC+EPC, then the reader's handle acquisition.
  uint16_t Address(const Bytes& pcEpc) {
    for (const Bytes& f : SelectFrames(TagBitWriter(), kBankEpc, 16, pcEpc.size() * 8, pcEpc.data())) {
      EXPECT_EQ(BodyOf(Frame(reader_.Execute(f))), (Bytes{0x90, 0x00}));
    }
    Run({0x08, 0x02, 0x00, 0x00});
    const Bytes b = Body();
    EXPECT_EQ(b.size(), pcEpc.size() + 4);
    EXPECT_TRUE(std::equal(pcEpc.begin(), pcEpc.end(), b.begin()));
    return Word(pcEpc.size());
  }
  uint16_t ReqRn(uint16_t handle) {
    EXPECT_EQ(CheckHandleReply(Run(ReqRnFrame(TagBitWriter(), handle))).outcome, TagReplyOutcome::kTagAnswered);
    return Word(1);
  }
  // Both halves of an Access or a Kill; the outcome of the last.
  TagReplyOutcome Access(uint16_t h, const uint8_t password[4]) {
    for (int half = 0; half < 2; ++half) {
      const uint16_t rn = ReqRn(h);
      TagReplyCheck c = CheckHandleReply(Run(AccessFrame(TagBitWriter(), CoverCode(PasswordHalf(password, half), rn), h)));
      if (c.outcome != TagReplyOutcome::kTagAnswered) return c.outcome;
    }
    return TagReplyOutcome::kTagAnswered;
  }
  TagReplyOutcome Write(uint16_t h, uint32_t ptr, uint16_t word) {
    const uint16_t rn = ReqRn(h);
    return RewriteTagReply(Run(WriteFrame(TagBitWriter(), kBankUser, ptr, word, h, rn)), 0).outcome;
  }

  sim::Faults faults;
  sim::Reader reader_{sim::ReaderOptions{}, &faults};
};

TEST(TagConversation, AccessWriteReadLockAndKillThroughTheDriversFrames) {
  std::vector<sim::Tag> tags = sim::DefaultTags();
  tags[1].reserved = {0xAABB, 0xCCDD, 0x1122, 0x3344};
  SimulatedExchange x(tags);
  const Bytes pcEpc = tags[1].PcEpcBytes();
  const uint8_t accessPassword[4] = {0x11, 0x22, 0x33, 0x44}, killPassword[4] = {0xAA, 0xBB, 0xCC, 0xDD};
  uint16_t h = x.Address(pcEpc);
  ASSERT_EQ(x.Access(h, accessPassword), TagReplyOutcome::kTagAnswered);
  EXPECT_EQ(x.reader_.field().tags()[1].state, sim::Tag::State::kSecured);

  // Write two words, read them back: words, handle, CRC-16, 90 00.
  ASSERT_EQ(x.Write(h, 0, 0xBEEF), TagReplyOutcome::kTagAnswered);
  EXPECT_EQ(SimulatedExchange::Body().size(), 7u);
  EXPECT_EQ(SimulatedExchange::Word(1), h);
  ASSERT_EQ(x.Write(h, 1, 0x0102), TagReplyOutcome::kTagAnswered);
  ASSERT_EQ(RewriteTagReply(x.Run(ReadFrame(TagBitWriter(), kBankUser, 0, 2, h)), 2).outcome,
            TagReplyOutcome::kTagAnswered);
  const Bytes read = SimulatedExchange::Body();
  ASSERT_EQ(read.size(), 11u);
  EXPECT_EQ(Bytes(read.begin(), read.begin() + 7),
            (Bytes{0x01, 0xBE, 0xEF, 0x01, 0x02, static_cast<uint8_t>(h >> 8), static_cast<uint8_t>(h)}));
  EXPECT_EQ(Bytes(read.end() - 2, read.end()), (Bytes{0x90, 0x00}));

  // Lock the user bank (writable only when secured); addressed again the tag is open.
  const uint8_t lockUser[3] = {0x00, 0xC0, 0x20};
  ASSERT_EQ(RewriteTagReply(x.Run(LockFrame(TagBitWriter(), lockUser, h)), 0).outcome, TagReplyOutcome::kTagAnswered);
  h = x.Address(pcEpc);
  EXPECT_EQ(x.Write(h, 0, 0x0000), TagReplyOutcome::kTagError);
  EXPECT_EQ(SimulatedExchange::Body(), (Bytes{0x04, 0x64, 0x04}));

  // A reply spoilt on the air fails its CRC-16.
  x.faults.bad_crc = 1;
  EXPECT_EQ(RewriteTagReply(x.Run(ReadFrame(TagBitWriter(), kBankTid, 0, 4, h)), 4).outcome,
            TagReplyOutcome::kCrcMismatch);
  EXPECT_EQ(SimulatedExchange::Body(), (Bytes{0x06, 0x64, 0x03}));
  // A wrong handle: the tag stays silent and the reader says so.
  EXPECT_EQ(RewriteTagReply(x.Run(ReadFrame(TagBitWriter(), kBankTid, 0, 4, h ^ 1)), 4).outcome,
            TagReplyOutcome::kAsReceived);
  EXPECT_EQ(SimulatedExchange::Body(), (Bytes{0x00, 0x90, 0x00}));

  // Kill: first half with its handle reply, then the second.
  uint16_t rn = x.ReqRn(h);
  ASSERT_EQ(CheckFirstKillReply(x.Run(KillFrame(TagBitWriter(), KillHalf::kFirst,
                                                CoverCode(PasswordHalf(killPassword, 0), rn), h)))
                .outcome,
            TagReplyOutcome::kTagAnswered);
  h = SimulatedExchange::Word(1);
  rn = x.ReqRn(h);
  EXPECT_EQ(RewriteTagReply(x.Run(KillFrame(TagBitWriter(), KillHalf::kSecond,
                                            CoverCode(PasswordHalf(killPassword, 1), rn), h)),
                            0)
                .outcome,
            TagReplyOutcome::kTagAnswered);
  EXPECT_TRUE(x.reader_.field().tags()[1].killed);
}

std::vector<std::string> MirrorLinesWith(const std::string& fragment) {
  return zq::test::MirrorLinesWith(MirrorPath(), fragment);
}

TEST(TagWorkArea, EachThreadComposesAndReadsInItsOwnAreas) {
  // Two threads on two units interleave their steps: each composes a Read
  // of its own word and waits for the other to compose too; each runs it on
  // its reader and waits for the other's reply before it rewrites its own.
  std::latch composed(2), replied(2);
  std::vector<Bytes> results(2);
  auto run = [&](size_t unit, uint16_t value) {
    CurrentPort() = 0x0100 | static_cast<uint32_t>(0x10 + unit);
    std::vector<sim::Tag> tags{sim::DefaultTags()[0]};
    tags[0].user[unit] = value;
    SimulatedExchange x(tags);
    const uint16_t h = x.Address(tags[0].PcEpcBytes());
    const Bytes read = ReadFrame(TagBitWriter(), kBankUser, static_cast<uint32_t>(unit), 1, h);
    const Bytes composedBits = TagBitWriter().bytes();
    composed.arrive_and_wait();
    EXPECT_EQ(TagBitWriter().bytes(), composedBits);
    x.Run(read);
    replied.arrive_and_wait();
    RewriteTagReply(EpcBuffer().data(), 1);
    results[unit] = SimulatedExchange::Body();
  };
  std::thread a(run, 0, 0xAAAA), b(run, 1, 0x5555);
  a.join();
  b.join();
  ASSERT_GE(results[0].size(), 3u);
  ASSERT_GE(results[1].size(), 3u);
  EXPECT_EQ(Bytes(results[0].begin(), results[0].begin() + 3), (Bytes{0x01, 0xAA, 0xAA}));
  EXPECT_EQ(Bytes(results[1].begin(), results[1].begin() + 3), (Bytes{0x01, 0x55, 0x55}));
  // Every append traced twice at level 3, for the port of the thread that made it.
  for (const char* port : {" 3 0110 ", " 3 0111 "}) {
    EXPECT_FALSE(MirrorLinesWith(std::string(port) + "Call total_bit=0 set_bit=8 set_byte=1").empty()) << port;
    EXPECT_FALSE(MirrorLinesWith(std::string(port) + "Ret  total_bit=58").empty()) << port;
  }
}

}  // namespace
}  // namespace zq::drv
