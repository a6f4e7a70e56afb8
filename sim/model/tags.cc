// Sections: Tag helpers; reply builders; Select; commands to the singulated
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
  selected = true;
  handle = 0;
  rn_pending = false;
  rn = 0;
  access_step = 0;
  access_half = 0;
  kill_step = 0;
  kill_half = 0;
}

// ---- reply builders --------------------------------------------------------

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

// ---- Select ----------------------------------------------------------------

bool TagField::IsSelect(const uint8_t* data, size_t bits) { return bits >= 4 && (data[0] >> 4) == 0xA; }

void TagField::Select(const uint8_t* data, size_t bits) {
  if (!CrcGood(data, bits)) return;
  protocol::BitReader r(data, bits);
  uint32_t code, target, action, bank, pointer, length;
  if (!r.Get(4, &code) || !r.Get(3, &target) || !r.Get(3, &action) || !r.Get(2, &bank) || !r.GetEbv(&pointer) ||
      !r.Get(8, &length))
    return;
  Bytes mask;
  uint32_t truncate;
  if (!r.GetBits(length, &mask) || !r.Get(1, &truncate) || r.remaining() != 16) return;
  (void)target;
  (void)truncate;
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
    enum { kNone, kAssert, kDeassert, kNegate };
    static const int kOnMatch[8] = {kAssert, kAssert, kNone, kNegate, kDeassert, kDeassert, kNone, kNone};
    static const int kOnOther[8] = {kDeassert, kNone, kDeassert, kNone, kAssert, kNone, kAssert, kNegate};
    int what = match ? kOnMatch[action] : kOnOther[action];
    if (what == kAssert) t.selected = true;
    if (what == kDeassert) t.selected = false;
    if (what == kNegate) t.selected = !t.selected;
  }
}

// ---- commands to the singulated tag ---------------------------------------

TagReply TagField::Execute(const uint8_t* data, size_t bits) {
  if (IsSelect(data, bits)) {
    Select(data, bits);
    return {};
  }
  if (singulated_ < 0) return {};
  Tag& tag = tags_[static_cast<size_t>(singulated_)];
  if (tag.killed || tag.state == Tag::State::kReady) return {};
  return ExecuteOn(tag, data, bits);
}

TagReply TagField::ExecuteOn(Tag& t, const uint8_t* data, size_t bits) {
  // Commands with a bad CRC, a wrong length or a wrong handle get no reply and change nothing.
  if (bits < 8 || !CrcGood(data, bits)) return {};
  protocol::BitReader r(data, bits);
  uint32_t code = 0;
  r.Get(8, &code);

  const bool hadRn = t.rn_pending;
  const uint16_t rn = t.rn;
  auto silentToArbitrate = [&]() {
    t.state = Tag::State::kReady;
    t.access_step = t.kill_step = 0;
    t.rn_pending = false;
    singulated_ = -1;
    return TagReply{};
  };

  if (code == 0xC1) {  // Req_RN
    uint32_t handle;
    if (bits != 40 || !r.Get(16, &handle) || handle != t.handle) return {};
    t.rn = NextRn();
    t.rn_pending = true;
    return Immediate(t.rn);
  }

  uint32_t bank = 0, ptr = 0, count = 0, word = 0, handle = 0, rfu = 0, payload = 0;
  switch (code) {
    case 0xC2:
      if (!r.Get(2, &bank) || !r.GetEbv(&ptr) || !r.Get(8, &count) || !r.Get(16, &handle) || r.remaining() != 16)
        return {};
      break;
    case 0xC3:
      if (!r.Get(2, &bank) || !r.GetEbv(&ptr) || !r.Get(16, &word) || !r.Get(16, &handle) || r.remaining() != 16)
        return {};
      break;
    case 0xC4:
      if (bits != 59 || !r.Get(16, &word) || !r.Get(3, &rfu) || !r.Get(16, &handle)) return {};
      break;
    case 0xC5:
      if (bits != 60 || !r.Get(20, &payload) || !r.Get(16, &handle)) return {};
      break;
    case 0xC6:
      if (bits != 56 || !r.Get(16, &word) || !r.Get(16, &handle)) return {};
      break;
    default:
      return {};  // commands this tag model does not implement: silent
  }
  if (handle != t.handle) return {};
  // Any command but Req_RN uses up the RN16 and ends a half-done password
  // exchange of another kind.
  t.rn_pending = false;
  if (code != 0xC6) t.access_step = 0;
  if (code != 0xC4) t.kill_step = 0;

  const Bank b = static_cast<Bank>(bank);
  switch (code) {
    case 0xC2: {  // Read
      size_t size = BankSize(t, b);
      size_t n = count == 0 ? (ptr < size ? size - ptr : 0) : count;
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
    case 0xC3: {  // Write
      if (!hadRn) return {};
      size_t size = BankSize(t, b);
      if (ptr >= size) return Error(kTagErrorOverrun, t.handle);
      if (!Writable(t, FieldOf(b, ptr))) return Error(kTagErrorLocked, t.handle);
      if (power_level_ < t.min_write_power) return Error(kTagErrorPower, t.handle);
      uint16_t value = static_cast<uint16_t>(word ^ rn);
      if (b == Bank::kReserved) {
        t.reserved[ptr] = value;
      } else {
        (*t.BankWords(b))[ptr] = value;
        if (b == Bank::kEpc && ptr >= 1) t.UpdateStoredCrc();
      }
      return Delayed(t.handle);
    }
    case 0xC4: {  // Kill, two halves
      if (!hadRn) return {};
      uint16_t half = static_cast<uint16_t>(word ^ rn);
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
    case 0xC5: {  // Lock
      if (t.state != Tag::State::kSecured) return {};
      uint32_t mask = payload >> 10, action = payload & 0x3FF;
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
    case 0xC6: {  // Access, two halves
      if (!hadRn) return {};
      uint16_t half = static_cast<uint16_t>(word ^ rn);
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
  }
  return {};
}

// ---- TagField bookkeeping --------------------------------------------------

void TagField::set_tags(std::vector<Tag> tags) {
  tags_ = std::move(tags);
  singulated_ = -1;
}

void TagField::ResetStates() {
  for (Tag& t : tags_) t.ResetVolatile();
  singulated_ = -1;
}

std::vector<size_t> TagField::Matching() const {
  std::vector<size_t> out;
  for (size_t i = 0; i < tags_.size(); ++i) {
    if (!tags_[i].killed && tags_[i].selected) out.push_back(i);
  }
  return out;
}

void TagField::EndSingulation() {
  for (Tag& t : tags_) {
    t.state = Tag::State::kReady;
    t.rn_pending = false;
    t.access_step = t.kill_step = 0;
  }
  singulated_ = -1;
}

int TagField::Acquire() {
  EndSingulation();
  std::vector<size_t> m = Matching();
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
