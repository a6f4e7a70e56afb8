// Gen2 tags in the reader's field: their memory and lock state (kept across
// power cycles), their inventory state and handle (lost when the field goes),
// and the commands they answer: Select, Req_RN, Read, Write, Kill, Lock, Access.
//
// Sections: Tag (memory and state), TagField (the population the reader
// talks to: select flags, singulation, raw command execution).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/bits.h"
#include "sim/model/hex.h"

namespace zq::sim {

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
  int min_write_power = -10;  // reader power level below which Write, Kill, Lock fail (error 0x0B)
  bool killed = false;

  // Volatile state, lost when the field goes away.
  State state = State::kReady;
  bool selected = true;
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
};

// Bits a tag sends back; nothing when it stays silent.
struct TagReply {
  bool sent = false;
  protocol::BitWriter bits;
};

class TagField {
 public:
  std::vector<Tag>& tags() { return tags_; }
  const std::vector<Tag>& tags() const { return tags_; }
  void set_tags(std::vector<Tag> tags);

  // Reader power level (-10..20): Write, Kill and Lock need the tag's minimum.
  void set_power_level(int level) { power_level_ = level; }
  int power_level() const { return power_level_; }

  // The field went away: every tag loses its inventory state and handle.
  void ResetStates();
  // Tags that answer an inventory: not killed and matching the last Select.
  std::vector<size_t> Matching() const;
  // An inventory round ends any singulation.
  void EndSingulation();
  // Singulates the first matching tag and gives it a fresh handle; its index, or -1.
  int Acquire();
  int singulated() const { return singulated_; }

  // One raw Gen2 command of `bits` bits, its CRC-16 included. Select goes to
  // every tag and never gets a reply; the others go to the singulated tag.
  static bool IsSelect(const uint8_t* data, size_t bits);
  TagReply Execute(const uint8_t* data, size_t bits);

 private:
  void Select(const uint8_t* data, size_t bits);
  TagReply ExecuteOn(Tag& tag, const uint8_t* data, size_t bits);
  uint16_t NextRn();

  std::vector<Tag> tags_;
  int singulated_ = -1;
  int power_level_ = 20;
  uint32_t rng_ = 0x2545F491u;
};

}  // namespace zq::sim
