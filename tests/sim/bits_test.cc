// CRC-16, EBV and StoredCRC against the vectors of the Gen2 notes.
#include <gtest/gtest.h>

#include "sim/model/bits.h"
#include "sim/model/tags.h"

namespace zq::sim {
namespace {

TEST(Crc16, CatalogueAndNoteVectors) {
  const std::string digits = "123456789";
  EXPECT_EQ(Crc16Bits(reinterpret_cast<const uint8_t*>(digits.data()), 72), 0xD64E);
  const std::string abc = "abc";
  EXPECT_EQ(Crc16Bits(reinterpret_cast<const uint8_t*>(abc.data()), 24), 0xAEB5);
  const uint8_t reqRn[] = {0xC1, 0xFF, 0xFF};
  EXPECT_EQ(Crc16Bits(reqRn, 24), 0x3FAB);
}

TEST(Crc16, PartialBytesCountOnlyTheirLeadingBits) {
  BitWriter delayed;  // header 0, handle 0x1234: 17 bits
  delayed.Put(0, 1);
  delayed.Put(0x1234, 16);
  EXPECT_EQ(Crc16Bits(delayed.bytes().data(), 17), 0xD627);
  BitWriter error;  // header 1, code 0x04, handle 0x1234: 25 bits
  error.Put(1, 1);
  error.Put(0x04, 8);
  error.Put(0x1234, 16);
  EXPECT_EQ(Crc16Bits(error.bytes().data(), 25), 0xCF54);
  // Garbage in the unused low bits must not count.
  Bytes dirty = delayed.bytes();
  dirty.back() |= 0x7F;
  EXPECT_EQ(Crc16Bits(dirty.data(), 17), 0xD627);
}

TEST(Crc16, ReceiverResidue) {
  // Data and CRC clocked through the register leave 0x1D0F before the final complement.
  BitWriter w;
  w.Put(0, 1);
  w.Put(0x1234, 16);
  w.Put(0xD627, 16);
  EXPECT_EQ(static_cast<uint16_t>(~Crc16Bits(w.bytes().data(), 33)), 0x1D0F);
}

TEST(Crc16, AccumulatorMatchesBitFunction) {
  const std::string digits = "123456789";
  Crc16Accumulator a;
  a.Update(reinterpret_cast<const uint8_t*>(digits.data()), 4);
  a.Update(reinterpret_cast<const uint8_t*>(digits.data()) + 4, 5);
  EXPECT_EQ(a.Value(), 0xD64E);
}

TEST(Ebv, Encoding) {
  EXPECT_EQ(EncodeEbv(0x7F), (Bytes{0x7F}));
  EXPECT_EQ(EncodeEbv(128), (Bytes{0x81, 0x00}));
  EXPECT_EQ(EncodeEbv(16384), (Bytes{0x81, 0x80, 0x00}));
  EXPECT_EQ(EncodeEbv(16), (Bytes{0x10}));
  EXPECT_EQ(EncodeEbv(200), (Bytes{0x81, 0x48}));
}

TEST(Ebv, DecodesWhatItEncodesAndRefusesATruncatedValue) {
  for (uint32_t v : {0u, 1u, 127u, 128u, 200u, 16383u, 16384u, 2097151u}) {
    Bytes e = EncodeEbv(v);
    BitReader r(e.data(), e.size() * 8);
    uint32_t out = 0;
    ASSERT_TRUE(r.GetEbv(&out));
    EXPECT_EQ(out, v);
    EXPECT_EQ(r.remaining(), 0u);
  }
  const uint8_t cut[] = {0x81};
  BitReader r(cut, 8);
  uint32_t out = 0;
  EXPECT_FALSE(r.GetEbv(&out));
  EXPECT_EQ(r.position(), 0u);
}

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

}  // namespace
}  // namespace zq::sim
