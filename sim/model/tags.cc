// Sections: Tag helpers and flags; reply builders; Select; commands to the singulated
// tag (Req_RN, Read, Write, Kill, Lock, Access); TagField bookkeeping.
#include "sim/model/tags.h"

#include <algorithm>

#include "protocol/crc.h"

namespace zq::sim {

// ---- Tag helpers -----------------------------------------------------------

Tag Tag::WithEpc(const std::vector<uint16_t>& epcWords) {
  Tag t;
  t.epc.assign(2, 0);
  t.epc.insert(t.epc.end(), epcWords.begin(), epcWords.end());
  t.epc[1] = static_cast<uint16_t>((std::min<size_t>(epcWords.size(), 31)) << 11);
  t.UpdateStoredCrc();
  return t;
}

Bytes Tag::PcEpcBytes() const {
  Bytes out;
  if (epc.size() < 2) return Bytes{0, 0};
  size_t words = 1 + (pc() >> 11);
  for (size_t i = 1; i <= words && i < epc.size(); ++i) {
    out.push_back(static_cast<uint8_t>(epc[i] >> 8));
    out.push_back(static_cast<uint8_t>(epc[i]));
  }
  return out;
}

void Tag::UpdateStoredCrc() {
  if (epc.size() < 2) return;
  epc[0] = protocol::Crc16Bytes(PcEpcBytes());
}

std::vector<uint16_t>* Tag::BankWords(Bank bank) {
  return const_cast<std::vector<uint16_t>*>(static_cast<const Tag*>(this)->BankWords(bank));
}

const std::vector<uint16_t>* Tag::BankWords(Bank bank) const {
  switch (bank) {
    case Bank::kEpc: return &epc;
    case Bank::kTid: return &tid;
    case Bank::kUser: return &user;
    default: return nullptr;
  }
}

void Tag::ResetVolatile() {
  state = State::kReady;
  handle = 0;
  rn_pending = false;
  rn = 0;
  access_step = 0;
  access_half = 0;
  kill_step = 0;
  kill_half = 0;
}

uint16_t Tag::StrengthAt(uint64_t now, uint32_t draw) const {
  int64_t value = BaseStrengthAt(now);
  if (noise) value += static_cast<int64_t>(draw % (2u * noise + 1)) - noise;
  return static_cast<uint16_t>(std::clamp<int64_t>(value, 0, 0xFFFF));
}

uint16_t Tag::BaseStrengthAt(uint64_t now) const {
  int64_t base = rssi;
  if (!path.empty()) {
    uint64_t at = now > path_start_us && path_start_us != kPathNotStarted ? now - path_start_us : 0;
    const uint64_t end = path.back().first;
    if (path_repeat && end > 0) at %= end + 1;
    if (at <= path.front().first) {
      base = path.front().second;
    } else if (at >= end) {
      base = path.back().second;
    } else {
      for (size_t i = 1; i < path.size(); ++i) {
        if (at > path[i].first) continue;
        const auto& [t0, v0] = path[i - 1];
        const auto& [t1, v1] = path[i];
        const double f = t1 > t0 ? static_cast<double>(at - t0) / static_cast<double>(t1 - t0) : 1.0;
        base = static_cast<int64_t>(v0 + f * (static_cast<double>(v1) - v0) + 0.5);
        break;
      }
    }
  }
  return static_cast<uint16_t>(std::clamp<int64_t>(base, 0, 0xFFFF));
}

bool Tag::InventoriedB(int session, uint64_t now) const {
  if (session < 0 || session >= kSessions || !inventoried[static_cast<size_t>(session)]) return false;
  if (session == 1 && now >= s1_b_since_us && now - s1_b_since_us >= kS1PersistUs) return false;
  return true;
}

void Tag::SetInventoried(int session, bool b, uint64_t now) {
  if (session < 0 || session >= kSessions) return;
  inventoried[static_cast<size_t>(session)] = b;
  if (session == 1 && b) s1_b_since_us = now;
}

void Tag::FieldLost() {
  ResetVolatile();
  inventoried[0] = false;
}

void Tag::FieldBack(uint64_t offUs) {
  if (offUs <= kUnpoweredPersistUs) return;
  inventoried[2] = inventoried[3] = false;
  sl = false;
}

// ---- reply builders --------------------------------------------------------

void TagReply::SpoilCrc() {
  const size_t n = bits.bit_count();
  if (n == 0) return;
  protocol::BitReader r(bits.bytes().data(), n);
  Bytes head;
  uint32_t last = 0;
  r.GetBits(n - 1, &head);
  r.Get(1, &last);
  protocol::BitWriter spoilt;
  spoilt.PutBits(head.data(), n - 1);
  spoilt.Put(last ^ 1u, 1);
  bits = std::move(spoilt);
}

namespace {

void AppendCrc(TagReply& r) {
  uint16_t crc = protocol::Crc16Bits(r.bits.bytes().data(), r.bits.bit_count());
  r.bits.Put(crc, 16);
}

// Handle (or RN16) and CRC: Req_RN, Access, the first Kill step.
TagReply Immediate(uint16_t value) {
  TagReply r;
  r.sent = true;
  r.bits.Put(value, 16);
  AppendCrc(r);
  return r;
}

// Header 0, handle, CRC: Write, the second Kill step, Lock.
TagReply Delayed(uint16_t handle) {
  TagReply r;
  r.sent = true;
  r.bits.Put(0, 1);
  r.bits.Put(handle, 16);
  AppendCrc(r);
  return r;
}

TagReply Error(uint8_t code, uint16_t handle) {
  TagReply r;
  r.sent = true;
  r.bits.Put(1, 1);
  r.bits.Put(code, 8);
  r.bits.Put(handle, 16);
  AppendCrc(r);
  return r;
}

// The lock field that guards a word of a bank.
LockField FieldOf(Bank bank, uint32_t word) {
  switch (bank) {
    case Bank::kReserved: return word < 2 ? kLockKill : kLockAccess;
    case Bank::kEpc: return kLockEpc;
    case Bank::kTid: return kLockTid;
    default: return kLockUser;
  }
}

// Passwords: 10 readable and writable only when secured, 11 never.
bool PasswordAccessible(const Tag& t, LockField f) {
  const LockBits& l = t.locks[f];
  if (!l.lock) return true;
  return !l.perma && t.state == Tag::State::kSecured;
}

// Banks: 00 and 01 writable, 10 writable only when secured, 11 never.
bool Writable(const Tag& t, LockField f) { return PasswordAccessible(t, f); }

size_t BankSize(const Tag& t, Bank bank) {
  if (bank == Bank::kReserved) return t.reserved.size();
  return t.BankWords(bank)->size();
}

uint16_t WordAt(const Tag& t, Bank bank, size_t i) {
  if (bank == Bank::kReserved) return t.reserved[i];
  return (*t.BankWords(bank))[i];
}

}  // namespace

// ---- Select ----------------------------------------------------------------

bool TagField::IsSelect(const uint8_t* data, size_t bits) { return bits >= 4 && (data[0] >> 4) == 0xA; }

void TagField::Select(const Gen2Command& c) {
  // Every tag that hears a Select goes back to ready: a singulation ends.
  EndSingulation();
  if (c.target > kSelectTargetSl) return;  // a reserved target: the tags change nothing
  const uint32_t pointer = c.pointer, length = c.length;
  const uint8_t bank = c.bank, action = c.action;
  const Bytes& mask = c.mask;
  for (Tag& t : tags_) {
    if (t.killed) continue;
    bool match = true;
    if (length > 0) {
      const std::vector<uint16_t>* words = bank == 0 ? nullptr : t.BankWords(static_cast<Bank>(bank));
      if (words == nullptr || uint64_t{pointer} + length > words->size() * 16) {
        match = false;  // a mask that reaches past existing memory does not match
      } else {
        for (uint32_t i = 0; i < length && match; ++i) {
          uint32_t bit = pointer + i;
          unsigned have = ((*words)[bit / 16] >> (15 - bit % 16)) & 1u;
          unsigned want = (mask[i / 8] >> (7 - i % 8)) & 1u;
          match = have == want;
        }
      }
    }
    // Gen2 action table: what happens to the flag of matching / other tags.
    // For an inventoried flag assert means A, deassert B.
    enum { kNone, kAssert, kDeassert, kNegate };
    static const int kOnMatch[8] = {kAssert, kAssert, kNone, kNegate, kDeassert, kDeassert, kNone, kNone};
    static const int kOnOther[8] = {kDeassert, kNone, kDeassert, kNone, kAssert, kNone, kAssert, kNegate};
    int what = match ? kOnMatch[action] : kOnOther[action];
    if (what == kNone) continue;
    if (c.target == kSelectTargetSl) {
      t.sl = what == kAssert ? true : what == kDeassert ? false : !t.sl;
    } else {
      const int s = c.target;
      const bool b = what == kAssert ? false : what == kDeassert ? true : !t.InventoriedB(s, now_);
      t.SetInventoried(s, b, now_);
    }
  }
}

// ---- commands to the singulated tag ---------------------------------------

TagReply TagField::Execute(const uint8_t* data, size_t bits) {
  // Commands with a bad CRC, a wrong length, an unknown code or (below) a
  // wrong handle get no reply and change nothing.
  const std::optional<Gen2Command> c = ParseGen2Command(data, bits);
  if (!c) return {};
  if (c->kind == Gen2Command::Kind::kSelect) {
    Select(*c);
    return {};
  }
  if (singulated_ < 0) return {};
  Tag& tag = tags_[static_cast<size_t>(singulated_)];
  if (tag.killed || tag.state == Tag::State::kReady) return {};
  return ExecuteOn(tag, *c);
}

TagReply TagField::ExecuteOn(Tag& t, const Gen2Command& c) {
  using Kind = Gen2Command::Kind;
  if (c.handle != t.handle) return {};
  const bool hadRn = t.rn_pending;
  const uint16_t rn = t.rn;
  auto silentToArbitrate = [&]() {
    t.state = Tag::State::kReady;
    t.access_step = t.kill_step = 0;
    t.rn_pending = false;
    singulated_ = -1;
    return TagReply{};
  };

  if (c.kind == Kind::kReqRn) {
    t.rn = NextRn();
    t.rn_pending = true;
    return Immediate(t.rn);
  }
  // Any command but Req_RN uses up the RN16 and ends a half-done password
  // exchange of another kind.
  t.rn_pending = false;
  if (c.kind != Kind::kAccess) t.access_step = 0;
  if (c.kind != Kind::kKill) t.kill_step = 0;

  const Bank b = static_cast<Bank>(c.bank);
  const size_t ptr = c.word_ptr;
  switch (c.kind) {
    case Kind::kRead: {
      size_t size = BankSize(t, b);
      size_t n = c.word_count == 0 ? (ptr < size ? size - ptr : 0) : c.word_count;
      if (ptr >= size || n == 0 || ptr + n > size) return Error(kTagErrorOverrun, t.handle);
      if (b == Bank::kReserved) {
        for (size_t i = ptr; i < ptr + n; ++i) {
          if (!PasswordAccessible(t, FieldOf(b, static_cast<uint32_t>(i)))) return Error(kTagErrorLocked, t.handle);
        }
      }
      TagReply rep;
      rep.sent = true;
      rep.bits.Put(0, 1);
      for (size_t i = ptr; i < ptr + n; ++i) rep.bits.Put(WordAt(t, b, i), 16);
      rep.bits.Put(t.handle, 16);
      AppendCrc(rep);
      return rep;
    }
    case Kind::kWrite: {
      if (!hadRn) return {};
      size_t size = BankSize(t, b);
      if (ptr >= size) return Error(kTagErrorOverrun, t.handle);
      if (!Writable(t, FieldOf(b, static_cast<uint32_t>(ptr)))) return Error(kTagErrorLocked, t.handle);
      if (power_level_ < t.min_write_power) return Error(kTagErrorPower, t.handle);
      uint16_t value = static_cast<uint16_t>(c.word ^ rn);
      if (b == Bank::kReserved) {
        t.reserved[ptr] = value;
      } else {
        (*t.BankWords(b))[ptr] = value;
        if (b == Bank::kEpc && ptr >= 1) t.UpdateStoredCrc();
      }
      return Delayed(t.handle);
    }
    case Kind::kKill: {  // two halves
      if (!hadRn) return {};
      uint16_t half = static_cast<uint16_t>(c.word ^ rn);
      if (t.kill_step == 0) {
        t.kill_step = 1;
        t.kill_half = half;
        return Immediate(t.handle);
      }
      t.kill_step = 0;
      uint32_t password = (uint32_t{t.kill_half} << 16) | half;
      if (t.kill_password() == 0) return Error(kTagErrorOther, t.handle);  // a zero kill password never kills
      if (password != t.kill_password()) return silentToArbitrate();
      if (power_level_ < t.min_write_power) return Error(kTagErrorPower, t.handle);
      t.killed = true;
      TagReply last = Delayed(t.handle);
      t.ResetVolatile();
      singulated_ = -1;
      return last;
    }
    case Kind::kLock: {
      if (t.state != Tag::State::kSecured) return {};
      uint32_t mask = c.payload >> 10, action = c.payload & 0x3FF;
      std::array<LockBits, 5> next = t.locks;
      for (int f = 0; f < 5; ++f) {
        unsigned shift = static_cast<unsigned>(8 - 2 * f);
        unsigned m = (mask >> shift) & 3u, a = (action >> shift) & 3u;
        if (m & 2u) next[f].lock = (a & 2u) != 0;
        if (m & 1u) next[f].perma = (a & 1u) != 0;
        if (t.locks[f].perma && !(next[f] == t.locks[f])) return Error(kTagErrorLocked, t.handle);
      }
      if (power_level_ < t.min_write_power) return Error(kTagErrorPower, t.handle);
      t.locks = next;
      return Delayed(t.handle);
    }
    case Kind::kAccess: {  // two halves
      if (!hadRn) return {};
      uint16_t half = static_cast<uint16_t>(c.word ^ rn);
      if (t.access_step == 0) {
        t.access_step = 1;
        t.access_half = half;
        return Immediate(t.handle);
      }
      t.access_step = 0;
      if (((uint32_t{t.access_half} << 16) | half) != t.access_password()) return silentToArbitrate();
      t.state = Tag::State::kSecured;
      return Immediate(t.handle);
    }
    case Kind::kSelect:
    case Kind::kReqRn:
      break;
  }
  return {};
}

// ---- TagField bookkeeping --------------------------------------------------

void TagField::set_tags(std::vector<Tag> tags) {
  tags_ = std::move(tags);
  singulated_ = -1;
}

void TagField::ResetStates() {
  for (Tag& t : tags_) t.FieldLost();
  singulated_ = -1;
}

void TagField::FieldOff(uint64_t now) {
  now_ = now;
  ResetStates();
  if (field_on_) off_since_ = now;
  field_on_ = false;
}

void TagField::FieldOn(uint64_t now) {
  now_ = now;
  if (field_on_) return;
  const uint64_t off = now >= off_since_ ? now - off_since_ : 0;
  for (Tag& t : tags_) t.FieldBack(off);
  field_on_ = true;
}

std::vector<size_t> TagField::Matching(int session, bool targetB) const {
  std::vector<size_t> out;
  for (size_t i = 0; i < tags_.size(); ++i) {
    if (!tags_[i].killed && tags_[i].InventoriedB(session, now_) == targetB) out.push_back(i);
  }
  return out;
}

void TagField::Flip(const std::vector<size_t>& listed, int session) {
  for (size_t i : listed) {
    if (i >= tags_.size()) continue;
    Tag& t = tags_[i];
    t.SetInventoried(session, !t.InventoriedB(session, now_), now_);
  }
}

void TagField::EndSingulation() {
  for (Tag& t : tags_) {
    t.state = Tag::State::kReady;
    t.rn_pending = false;
    t.access_step = t.kill_step = 0;
  }
  singulated_ = -1;
}

int TagField::Acquire(int session) {
  EndSingulation();
  std::vector<size_t> m = Matching(session, false);
  if (m.empty()) return -1;
  Tag& t = tags_[m.front()];
  t.handle = NextRn();
  t.state = t.access_password() == 0 ? Tag::State::kSecured : Tag::State::kOpen;
  singulated_ = static_cast<int>(m.front());
  return singulated_;
}

uint16_t TagField::NextRn() {
  // xorshift32: reproducible runs, never a zero RN16.
  uint16_t v = 0;
  while (v == 0) {
    rng_ ^= rng_ << 13;
    rng_ ^= rng_ >> 17;
    rng_ ^= rng_ << 5;
    v = static_cast<uint16_t>(rng_ >> 8);
  }
  return v;
}

}  // namespace zq::sim
