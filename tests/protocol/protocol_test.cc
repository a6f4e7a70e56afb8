// The shared encodings on data alone: CRC-16 and CRC-5 against catalogue and
// Gen2 vectors, EBV numbers, bit fields, the reader link frame and the status
// words.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/bits.h"
#include "protocol/crc.h"
#include "protocol/frame.h"
#include "protocol/status_word.h"

namespace zq::protocol {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }

// ---- CRC-16 -----------------------------------------------------------------

struct Crc16Case {
  const char* what;
  Bytes data;
  size_t bits;
  uint16_t crc;
};

TEST(Crc16, CatalogueAndGen2Vectors) {
  const Crc16Case cases[] = {
      {"catalogue check", Ascii("123456789"), 72, 0xD64E},
      {"abc", Ascii("abc"), 24, 0xAEB5},
      {"Req_RN with RN 0xFFFF", {0xC1, 0xFF, 0xFF}, 24, 0x3FAB},
      {"delayed reply 0 + handle 1234", {0x09, 0x1A, 0x00}, 17, 0xD627},
      {"the same, garbage in the unused bits", {0x09, 0x1A, 0x7F}, 17, 0xD627},
      {"error reply 1 + 04 + handle 1234", {0x82, 0x09, 0x1A, 0x00}, 25, 0xCF54},
      {"StoredCRC, PC 0000, no EPC", {0x00, 0x00}, 16, 0xE2F0},
      {"StoredCRC, PC 0800, EPC 1111", {0x08, 0x00, 0x11, 0x11}, 32, 0xCCAE},
      {"StoredCRC, PC 3000, six words",
       {0x30, 0x00, 0x11, 0x11, 0x22, 0x22, 0x33, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66},
       112,
       0x1835},
  };
  for (const Crc16Case& c : cases) EXPECT_EQ(Crc16Bits(c.data.data(), c.bits), c.crc) << c.what;
}

TEST(Crc16, ReceiverResidueAndBlockwiseAccumulation) {
  // Data and its CRC clocked through the register leave 0x1D0F before the complement.
  BitWriter w;
  w.Put(0, 1);
  w.Put(0x1234, 16);
  w.Put(Crc16Bits(w.bytes().data(), w.bit_count()), 16);
  EXPECT_EQ(static_cast<uint16_t>(~Crc16Bits(w.bytes().data(), 33)), 0x1D0F);

  const Bytes digits = Ascii("123456789");
  Crc16Accumulator a;
  a.Update(digits.data(), 4);
  a.Update(digits.data() + 4, 5);
  EXPECT_EQ(a.Value(), 0xD64E);
  EXPECT_EQ(Crc16Bytes(digits), 0xD64E);
}

// ---- CRC-5 ------------------------------------------------------------------

TEST(Crc5, CataloguePresetAndResidue) {
  const Bytes digits = Ascii("123456789");
  EXPECT_EQ(Crc5Bits(digits.data(), 72), 0x00);  // the catalogue's CRC-5/EPC-C1G2 check value
  EXPECT_EQ(Crc5Bits(nullptr, 0), 0x09);         // nothing clocked: the preset 01001
  // Query fields (code 1000, DR, M, TRext, Sel, Session, Target, Q): each
  // with its CRC-5 appended leaves the register at 0.
  for (uint32_t fields : {0x00000u, 0x00004u, 0x0A5A5u, 0x1FFFFu}) {
    BitWriter q;
    q.Put(0x8, 4);
    q.Put(fields, 13);
    const uint8_t crc = Crc5Bits(q.bytes().data(), q.bit_count());
    EXPECT_LT(crc, 0x20);
    q.Put(crc, 5);
    EXPECT_EQ(Crc5Bits(q.bytes().data(), 22), 0x00) << std::hex << fields;
    Bytes dirty = q.bytes();
    dirty.back() |= 0x03;  // the two unused bits of the third byte
    EXPECT_EQ(Crc5Bits(dirty.data(), 22), 0x00) << std::hex << fields;
  }
}

// ---- EBV and bit fields -----------------------------------------------------

TEST(Ebv, EncodesAndDecodesThePublishedValues) {
  const struct {
    uint32_t value;
    Bytes ebv;
  } cases[] = {
      {0, {0x00}},           {1, {0x01}},           {16, {0x10}},
      {127, {0x7F}},         {128, {0x81, 0x00}},   {200, {0x81, 0x48}},
      {16383, {0xFF, 0x7F}}, {16384, {0x81, 0x80, 0x00}}, {2097151, {0xFF, 0xFF, 0x7F}},
      {0xFFFFFFFF, {0x8F, 0xFF, 0xFF, 0xFF, 0x7F}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EncodeEbv(c.value), c.ebv) << c.value;
    uint32_t out = 0;
    EXPECT_EQ(DecodeEbv(c.ebv.data(), c.ebv.size(), &out), c.ebv.size()) << c.value;
    EXPECT_EQ(out, c.value);
    // The same at an odd bit position, through the bit reader.
    BitWriter w;
    w.Put(1, 3);
    w.PutEbv(c.value);
    BitReader r(w.bytes().data(), w.bit_count());
    uint32_t head = 0;
    ASSERT_TRUE(r.Get(3, &head));
    ASSERT_TRUE(r.GetEbv(&out));
    EXPECT_EQ(out, c.value);
    EXPECT_EQ(r.remaining(), 0u);
  }
}

TEST(Ebv, RefusesTruncatedAndOversizedValues) {
  const Bytes refused[] = {{}, {0x81}, {0x81, 0x80}, {0x90, 0x80, 0x80, 0x80, 0x00}, {0x81, 0x80, 0x80, 0x80, 0x80, 0x00}};
  for (const Bytes& b : refused) {
    uint32_t out = 12345;
    EXPECT_EQ(DecodeEbv(b.data(), b.size(), &out), 0u) << b.size();
    EXPECT_EQ(out, 12345u);
    BitReader r(b.data(), b.size() * 8);
    EXPECT_FALSE(r.GetEbv(&out));
    EXPECT_EQ(r.position(), 0u);
  }
}

TEST(Bits, WriterAndReaderAgreeOnFieldsAcrossByteBoundaries) {
  BitWriter w;
  w.Put(0x1, 1);
  w.Put(0x04, 8);
  w.Put(0x1234, 16);
  EXPECT_EQ(w.bytes(), (Bytes{0x82, 0x09, 0x1A, 0x00}));  // the error reply of the CRC-16 vectors
  EXPECT_EQ(w.bit_count(), 25u);
  const uint8_t mask[] = {0xAB, 0xC0};
  w.PutBits(mask, 10);  // 1010 1011 11
  EXPECT_EQ(w.bit_count(), 35u);

  BitReader r(w.bytes().data(), w.bit_count());
  uint32_t v = 0;
  ASSERT_TRUE(r.Get(1, &v));
  EXPECT_EQ(v, 1u);
  ASSERT_TRUE(r.Get(24, &v));
  EXPECT_EQ(v, 0x041234u);
  Bytes bits;
  EXPECT_FALSE(r.GetBits(11, &bits));  // one more than there is
  EXPECT_EQ(r.position(), 25u);
  ASSERT_TRUE(r.GetBits(10, &bits));
  EXPECT_EQ(bits, (Bytes{0xAB, 0xC0}));
  EXPECT_FALSE(r.Get(1, &v));
  EXPECT_FALSE(BitReader(mask, 16).Get(33, &v));
}

// ---- frames -------------------------------------------------------------------

TEST(Frame, EncodesAndDecodesRoundTrip) {
  const struct {
    uint8_t address;
    Bytes payload;
    Bytes wire;
  } cases[] = {
      {0x01, {0x03, 0xFF, 0x00, 0x00}, {0x01, 0x00, 0x04, 0x03, 0xFF, 0x00, 0x00, 0xF9}},
      {0x00, {}, {0x00, 0x00, 0x00, 0x00}},
      {UnitAddress(7), {0x90, 0x00}, {0x0E, 0x00, 0x02, 0x90, 0x00, 0x9C}},
  };
  for (const auto& c : cases) {
    const Bytes wire = EncodeFrame(c.address, c.payload);
    EXPECT_EQ(wire, c.wire);
    FrameView f;
    Bytes trailing = wire;
    trailing.push_back(0x55);  // the next frame's first byte is not examined
    ASSERT_EQ(DecodeFrame(trailing, &f), FrameStatus::kComplete);
    EXPECT_EQ(f.address, c.address);
    EXPECT_EQ(Bytes(f.payload, f.payload + f.payloadLength), c.payload);
    EXPECT_EQ(f.wireLength, wire.size());
  }
  EXPECT_EQ(UnitOfAddress(UnitAddress(31) | kSequenceBit), 31u);
  EXPECT_EQ(UnitOfAddress(0x80 | UnitAddress(5)), 5u);

  const Bytes big(70000, 0);
  EXPECT_TRUE(EncodeFrame(0, big).empty());
  uint8_t small[7];
  EXPECT_EQ(EncodeFrame(0, big.data(), 4, small, sizeof small), 0u);  // needs 8
  EXPECT_EQ(EncodeFrame(0, big.data(), 3, small, sizeof small), 7u);
}

TEST(Frame, ShortFramesAndBadCheckBytes) {
  const Bytes good = EncodeFrame(0x01, {0x12, 0x34});
  FrameView f;
  for (size_t n = 0; n < good.size(); ++n) {
    EXPECT_EQ(DecodeFrame(good.data(), n, &f), FrameStatus::kShort) << n;
  }
  Bytes bad = good;
  bad.back() ^= 0x5A;
  ASSERT_EQ(DecodeFrame(bad, &f), FrameStatus::kBadCheck);
  EXPECT_EQ(f.wireLength, good.size());
  bad = good;
  bad[3] ^= 0x01;  // a payload bit flipped in transit
  EXPECT_EQ(DecodeFrame(bad, &f), FrameStatus::kBadCheck);

  // The resend request: the request's address with bit 7, no payload.
  const auto resend = ResendRequest(0x0B);
  EXPECT_EQ(Bytes(resend.begin(), resend.end()), (Bytes{0x8B, 0x00, 0x00, 0x8B}));
  EXPECT_EQ(Bytes(resend.begin(), resend.end()), EncodeFrame(0x8B, {}));
}

// ---- status words -------------------------------------------------------------

TEST(StatusWord, ClassesAndTheWordAtTheEndOfABody) {
  const struct {
    uint16_t sw;
    bool success, failure, recovery;
  } cases[] = {
      {0x9000, true, false, false}, {0x6400, false, true, false}, {0x6403, false, true, false},
      {0x6404, false, true, false}, {0x6405, false, false, true}, {0x640A, false, false, true},
      {0x640E, false, false, true}, {0x640F, false, false, false}, {0x63FF, false, false, false},
      {0x6581, false, false, false}, {0x9001, false, false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsSuccess(c.sw), c.success) << std::hex << c.sw;
    EXPECT_EQ(IsFailure(c.sw), c.failure) << std::hex << c.sw;
    EXPECT_EQ(NeedsRecovery(c.sw), c.recovery) << std::hex << c.sw;
  }
  Bytes body{0x04, 0x56};
  AppendStatusWord(body, kSwGeneralFailure);
  EXPECT_EQ(body, (Bytes{0x04, 0x56, 0x64, 0x03}));
  uint16_t sw = 0;
  ASSERT_TRUE(StatusWordOf(body.data(), body.size(), &sw));
  EXPECT_EQ(sw, kSwGeneralFailure);
  sw = 0x1111;
  EXPECT_FALSE(StatusWordOf(body.data(), 1, &sw));
  EXPECT_EQ(sw, 0x1111);
}

}  // namespace
}  // namespace zq::protocol
