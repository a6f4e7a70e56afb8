#include "sim/model/tag_commands.h"

#include "protocol/bits.h"
#include "protocol/crc.h"

namespace zq::sim {
namespace {

bool CrcGood(const uint8_t* data, size_t bits) {
  if (bits < 16) return false;
  protocol::BitReader r(data, bits);
  Bytes ignored;
  r.GetBits(bits - 16, &ignored);
  uint32_t sent = 0;
  r.Get(16, &sent);
  return protocol::Crc16Bits(data, bits - 16) == sent;
}

}  // namespace

std::optional<Gen2Command> ParseGen2Command(const uint8_t* data, size_t bits) {
  if (bits < 24 || !CrcGood(data, bits)) return std::nullopt;
  // Everything but the CRC-16 must be taken up by the fields.
  protocol::BitReader r(data, bits - 16);
  Gen2Command c;
  uint32_t v = 0, a = 0, b = 0, h = 0;
  auto fits = [&r](bool ok) { return ok && r.remaining() == 0; };

  if (!r.Get(4, &v)) return std::nullopt;
  if (v == 0xA) {
    uint32_t target, action, bank, length, truncate;
    if (!r.Get(3, &target) || !r.Get(3, &action) || !r.Get(2, &bank) || !r.GetEbv(&c.pointer) || !r.Get(8, &length) ||
        !r.GetBits(length, &c.mask) || !fits(r.Get(1, &truncate)))
      return std::nullopt;
    c.kind = Gen2Command::Kind::kSelect;
    c.target = static_cast<uint8_t>(target);
    c.action = static_cast<uint8_t>(action);
    c.bank = static_cast<uint8_t>(bank);
    c.length = static_cast<uint8_t>(length);
    c.truncate = truncate != 0;
    return c;
  }
  uint32_t low = 0;
  if (!r.Get(4, &low)) return std::nullopt;
  switch ((v << 4) | low) {
    case 0xC1:
      if (!fits(r.Get(16, &h))) return std::nullopt;
      c.kind = Gen2Command::Kind::kReqRn;
      break;
    case 0xC2:
      if (!r.Get(2, &a) || !r.GetEbv(&c.word_ptr) || !r.Get(8, &b) || !fits(r.Get(16, &h))) return std::nullopt;
      c.kind = Gen2Command::Kind::kRead;
      c.bank = static_cast<uint8_t>(a);
      c.word_count = static_cast<uint8_t>(b);
      break;
    case 0xC3:
      if (!r.Get(2, &a) || !r.GetEbv(&c.word_ptr) || !r.Get(16, &b) || !fits(r.Get(16, &h))) return std::nullopt;
      c.kind = Gen2Command::Kind::kWrite;
      c.bank = static_cast<uint8_t>(a);
      c.word = static_cast<uint16_t>(b);
      break;
    case 0xC4:
      if (!r.Get(16, &b) || !r.Get(3, &a) || !fits(r.Get(16, &h))) return std::nullopt;
      c.kind = Gen2Command::Kind::kKill;
      c.word = static_cast<uint16_t>(b);
      c.rfu = static_cast<uint8_t>(a);
      break;
    case 0xC5:
      if (!r.Get(20, &c.payload) || !fits(r.Get(16, &h))) return std::nullopt;
      c.kind = Gen2Command::Kind::kLock;
      break;
    case 0xC6:
      if (!r.Get(16, &b) || !fits(r.Get(16, &h))) return std::nullopt;
      c.kind = Gen2Command::Kind::kAccess;
      c.word = static_cast<uint16_t>(b);
      break;
    default:
      return std::nullopt;
  }
  c.handle = static_cast<uint16_t>(h);
  return c;
}

}  // namespace zq::sim
