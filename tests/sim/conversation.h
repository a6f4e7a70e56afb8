// A whole Gen2 conversation as an application has it with one tag: inventory,
// addressing, read, write, passwords, lock, access and kill. Run in-process
// and against a running zelquar-sim, with the simulator's three default tags.
#pragma once

#include <gtest/gtest.h>

#include "sim_test_util.h"

namespace zq::sim::test {

inline uint16_t InventoryCount(ReaderHost& host) {
  auto inv = host.Exchange({0x08, 0x01, 0x00, 0x02});
  EXPECT_TRUE(inv.has_value());
  if (!inv || inv->size() < 4) return 0xFFFF;
  EXPECT_EQ(Bytes(inv->end() - 2, inv->end()), (Bytes{0x90, 0x00}));
  return static_cast<uint16_t>(((*inv)[0] << 8) | (*inv)[1]);
}

// PC+EPC of the first tag in an inventory.
inline Bytes FirstPcEpc(ReaderHost& host) {
  auto inv = host.Exchange({0x08, 0x01, 0x00, 0x00});
  if (!inv || inv->size() < 6) return {};
  size_t len = static_cast<size_t>(((*inv)[2] >> 3) * 2 + 2);
  return Bytes(inv->begin() + 2, inv->begin() + 2 + static_cast<long>(len));
}

// Req_RN, then the cover-coded word; the tag's reply bits.
inline Bytes CoveredStep(ReaderHost& host, uint16_t handle, uint16_t word,
                         Gen2 (*make)(uint16_t covered, uint16_t handle), uint8_t mode, uint16_t replyBits) {
  auto rn = host.ReqRn(handle);
  EXPECT_TRUE(rn.has_value());
  if (!rn) return {};
  return ReaderHost::TagReplyBits(host.Tag(make(static_cast<uint16_t>(word ^ *rn), handle), mode, replyBits));
}

inline Bytes WriteWord(ReaderHost& host, uint16_t handle, uint8_t bank, uint32_t ptr, uint16_t value) {
  auto rn = host.ReqRn(handle);
  EXPECT_TRUE(rn.has_value());
  if (!rn) return {};
  return ReaderHost::TagReplyBits(host.Tag(WriteCmd(bank, ptr, static_cast<uint16_t>(value ^ *rn), handle), 3, 33));
}

inline void RunGen2Conversation(ReaderHost& host) {
  ASSERT_EQ(InventoryCount(host), 3);
  Bytes pcEpc = FirstPcEpc(host);
  ASSERT_EQ(pcEpc.size(), 14u);

  // Address the tag and read its EPC back.
  auto h = host.Address(pcEpc);
  ASSERT_TRUE(h.has_value());
  TagBits epc = ParseWithHeader(ReaderHost::TagReplyBits(host.Tag(ReadCmd(1, 1, 7, *h), 2, 33 + 16 * 7)), 7);
  ASSERT_TRUE(epc.crc_ok);
  for (size_t i = 0; i < 7; ++i) EXPECT_EQ(epc.words[i], (pcEpc[2 * i] << 8) | pcEpc[2 * i + 1]);

  // Write user memory and the passwords (the tag is secured: no access password yet).
  TagBits w = ParseWithHeader(WriteWord(host, *h, 3, 0, 0xCAFE), 0);
  ASSERT_TRUE(w.crc_ok);
  EXPECT_FALSE(w.header);
  TagBits user = ParseWithHeader(ReaderHost::TagReplyBits(host.Tag(ReadCmd(3, 0, 1, *h), 2, 49)), 1);
  EXPECT_EQ(user.words, (std::vector<uint16_t>{0xCAFE}));
  EXPECT_FALSE(ParseWithHeader(WriteWord(host, *h, 0, 0, 0xDEAD), 0).header);
  EXPECT_FALSE(ParseWithHeader(WriteWord(host, *h, 0, 1, 0xBEEF), 0).header);
  EXPECT_FALSE(ParseWithHeader(WriteWord(host, *h, 0, 2, 0x1234), 0).header);
  EXPECT_FALSE(ParseWithHeader(WriteWord(host, *h, 0, 3, 0x5678), 0).header);

  // Lock the user bank: writable only when secured.
  TagBits lock = ParseWithHeader(ReaderHost::TagReplyBits(host.Tag(LockCmd(LockPayload(4, 2), *h), 3, 33)), 0);
  ASSERT_TRUE(lock.crc_ok);
  EXPECT_FALSE(lock.header);

  // Addressed again, the tag is open: the locked bank refuses the write.
  h = host.Address(pcEpc);
  ASSERT_TRUE(h.has_value());
  TagBits refused = ParseWithHeader(WriteWord(host, *h, 3, 0, 0x0001), 0);
  EXPECT_TRUE(refused.header);
  EXPECT_EQ(refused.error, 0x04);
  EXPECT_EQ(ParseWithHeader(WriteWord(host, *h, 3, 99, 0x0001), 0).error, 0x03);

  // Access with the password, then the write goes through.
  Bytes a1 = CoveredStep(host, *h, 0x1234, AccessCmd, 0, 32);
  ASSERT_EQ(a1.size(), 4u);
  EXPECT_EQ(ParseImmediate(a1).value, *h);
  Bytes a2 = CoveredStep(host, *h, 0x5678, AccessCmd, 0, 32);
  ASSERT_EQ(a2.size(), 4u);
  EXPECT_FALSE(ParseWithHeader(WriteWord(host, *h, 3, 0, 0x0001), 0).header);

  // Kill it.
  Bytes k1 = CoveredStep(host, *h, 0xDEAD, KillCmd, 3, 32);
  ASSERT_EQ(k1.size(), 4u);
  TagBits k2 = ParseWithHeader(CoveredStep(host, *h, 0xBEEF, KillCmd, 3, 33), 0);
  EXPECT_TRUE(k2.crc_ok);
  EXPECT_FALSE(k2.header);
  auto silent = host.Tag(ReqRnCmd(*h));
  ASSERT_TRUE(silent.has_value());
  EXPECT_EQ(*silent, (Bytes{0x00, 0x90, 0x00}));
  ASSERT_TRUE(host.Tag(SelectCmd(1, 0, {}, 0), 0, 0).has_value());
  EXPECT_EQ(InventoryCount(host), 2);
}

}  // namespace zq::sim::test
