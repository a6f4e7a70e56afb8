// Gen2 tags in the reader's field: their memory and lock state (kept across
// power cycles), their inventoried and SL flags (each with its own
// persistence), their singulation state and handle (lost when the field
// goes), and the commands they answer: Select, Req_RN, Read, Write, Kill,
// Lock, Access.
//
// Time comes from the caller (microseconds of a monotonic clock); nothing
// here reads a clock.
//
// Sections: flag persistence; Tag (memory and state), TagField (the
// population the reader talks to: flags, singulation, raw command execution).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/bits.h"
#include "sim/model/hex.h"
#include "sim/model/tag_commands.h"

namespace zq::sim {

// ---- flag persistence ---------------------------------------------------------
//
// A tag's inventoried flags, one per session S0..S3, are A or B; its SL flag
// is asserted or not. Gen2 gives each a persistence range; the model takes
// one figure from each:
//  - S0: kept while the tag is in the field, lost (A) the moment it leaves;
//  - S1: goes back to A kS1PersistUs after it was set to B, in the field or not;
//  - S2, S3 and SL: kept while in the field, and through a field loss of up
//    to kUnpoweredPersistUs; a longer loss sets them back (A, SL deasserted).
inline constexpr int kSessions = 4;
inline constexpr uint64_t kS1PersistUs = 2'000'000;
inline constexpr uint64_t kUnpoweredPersistUs = 2'000'000;

// Select targets: the inventoried flag of S0..S3, or SL (5..7 are reserved).
inline constexpr uint8_t kSelectTargetSl = 4;

enum class Bank : uint8_t { kReserved = 0, kEpc = 1, kTid = 2, kUser = 3 };

// Gen2 error codes a tag sends in an error reply.
inline constexpr uint8_t kTagErrorOther = 0x00;
inline constexpr uint8_t kTagErrorOverrun = 0x03;
inline constexpr uint8_t kTagErrorLocked = 0x04;
inline constexpr uint8_t kTagErrorPower = 0x0B;

// Lock fields in payload order: kill password, access password, EPC, TID, user.
enum LockField : int { kLockKill = 0, kLockAccess = 1, kLockEpc = 2, kLockTid = 3, kLockUser = 4 };
struct LockBits {
  bool lock = false;   // writable (readable, for passwords) only in the secured state
  bool perma = false;  // the pair can never change again
  bool operator==(const LockBits&) const = default;
};

struct Tag {
  enum class State { kReady, kOpen, kSecured };

  // Memory, kept while the reader is off.
  std::array<uint16_t, 4> reserved{};  // kill password words 0-1, access password words 2-3
  std::vector<uint16_t> epc;           // StoredCRC, PC, EPC words
  std::vector<uint16_t> tid;
  std::vector<uint16_t> user;
  std::array<LockBits, 5> locks{};
  uint16_t rssi = 0;
  // A strength that moves: the raw value follows `path` (points of time in
  // microseconds from path_start_us, and a raw value; straight between two
  // points, the last value after the last point, or the path again from its
  // start with path_repeat), then up to `noise` either way. Without a path
  // the base is `rssi`. path_start_us kPathNotStarted: the path starts at
  // the next inventory round that meets the tag.
  std::vector<std::pair<uint64_t, uint16_t>> path;
  uint64_t path_start_us = 0;
  bool path_repeat = false;
  uint16_t noise = 0;
  static constexpr uint64_t kPathNotStarted = UINT64_MAX;
  int min_write_power = -10;  // reader power level below which Write, Kill, Lock fail (error 0x0B)
  bool killed = false;

  // Flags: inventoried[s] true for B (see flag persistence); the time S1
  // last went to B; SL.
  std::array<bool, kSessions> inventoried{};
  uint64_t s1_b_since_us = 0;
  bool sl = false;

  // Volatile state, lost when the field goes away.
  State state = State::kReady;
  uint16_t handle = 0;
  bool rn_pending = false;  // a Req_RN came just before: its RN16 covers the next password or data word
  uint16_t rn = 0;
  int access_step = 0;  // 1 after the first half of an Access
  uint16_t access_half = 0;
  int kill_step = 0;  // 1 after the first half of a Kill
  uint16_t kill_half = 0;

  // A tag with the given EPC words and a PC word formed from their count.
  static Tag WithEpc(const std::vector<uint16_t>& epcWords);

  uint32_t kill_password() const { return (uint32_t{reserved[0]} << 16) | reserved[1]; }
  uint32_t access_password() const { return (uint32_t{reserved[2]} << 16) | reserved[3]; }
  uint16_t pc() const { return epc.size() > 1 ? epc[1] : 0; }
  // PC word and the EPC words its length field names (as far as the bank holds them).
  Bytes PcEpcBytes() const;
  uint16_t stored_crc() const { return epc.empty() ? 0 : epc[0]; }
  // Recomputes StoredCRC from the PC word and the EPC words.
  void UpdateStoredCrc();
  std::vector<uint16_t>* BankWords(Bank bank);
  const std::vector<uint16_t>* BankWords(Bank bank) const;
  void ResetVolatile();

  // The raw signal strength at `now`: the path's value (or `rssi`), moved by
  // `draw` (any 32-bit number, spread evenly) within the noise.
  uint16_t StrengthAt(uint64_t now, uint32_t draw) const;
  // The same without the noise.
  uint16_t BaseStrengthAt(uint64_t now) const;

  // The inventoried flag of `session` at `now` (true: B), S1's decay applied.
  bool InventoriedB(int session, uint64_t now) const;
  void SetInventoried(int session, bool b, uint64_t now);
  // The field went away (S0 back to A) / came back after `offUs` without it.
  void FieldLost();
  void FieldBack(uint64_t offUs);
};

// Bits a tag sends back; nothing when it stays silent.
struct TagReply {
  bool sent = false;
  protocol::BitWriter bits;

  // Inverts the last bit, so the CRC-16 that ends every reply no longer
  // matches (a reply damaged on the air).
  void SpoilCrc();
};

class TagField {
 public:
  std::vector<Tag>& tags() { return tags_; }
  const std::vector<Tag>& tags() const { return tags_; }
  void set_tags(std::vector<Tag> tags);

  // Reader power level (-10..20): Write, Kill and Lock need the tag's minimum.
  void set_power_level(int level) { power_level_ = level; }
  int power_level() const { return power_level_; }

  // The caller's clock: the S1 flags decay against it.
  void set_now(uint64_t now) { now_ = now; }
  uint64_t now() const { return now_; }

  // The field went away for a moment: every tag loses its singulation
  // state, its handle and its S0 flag.
  void ResetStates();
  // The reader's power went off / came back (the field with it): S0 is
  // lost at once; S2, S3 and SL only when the field was gone long enough.
  void FieldOff(uint64_t now);
  void FieldOn(uint64_t now);
  // Tags that take part in a round of `session` aimed at `targetB` (false:
  // flag A): not killed and with that flag now. The module's rounds take
  // every tag whatever its SL flag (Query Sel "all").
  std::vector<size_t> Matching(int session = 0, bool targetB = false) const;
  // Tags a round listed flip their flag of `session` (A to B, B to A).
  void Flip(const std::vector<size_t>& listed, int session);
  // An inventory round ends any singulation.
  void EndSingulation();
  // Singulates the first tag in state A of `session` and gives it a fresh
  // handle (its flag stays: the module keeps it singulated); its index, or -1.
  int Acquire(int session = 0);
  int singulated() const { return singulated_; }

  // One raw Gen2 command of `bits` bits, its CRC-16 included. Select goes to
  // every tag, ends any singulation and never gets a reply; the others go
  // to the singulated tag.
  static bool IsSelect(const uint8_t* data, size_t bits);
  TagReply Execute(const uint8_t* data, size_t bits);

 private:
  void Select(const Gen2Command& c);
  TagReply ExecuteOn(Tag& tag, const Gen2Command& c);
  uint16_t NextRn();

  std::vector<Tag> tags_;
  int singulated_ = -1;
  int power_level_ = 20;
  uint64_t now_ = 0;
  bool field_on_ = false;
  uint64_t off_since_ = 0;
  uint32_t rng_ = 0x2545F491u;
};

}  // namespace zq::sim
