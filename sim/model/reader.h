// The reader module behind the bridge's UART: its link (frames, block check,
// sequence bit, resend requests, duplicate requests), its command set and the
// tags in its field.
//
// Time is given by the caller in microseconds of any monotonic clock; the
// model never reads a clock. Replies come back as transmissions that start at
// a given time; the caller paces them over the UART.
//
// Sections: options, faults and counters; Reader (power, link, commands).
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "protocol/crc.h"
#include "protocol/status_word.h"
#include "sim/model/hex.h"
#include "sim/model/tags.h"

namespace zq::sim {

// Status words of the reader: what this reader means by them.
inline constexpr uint16_t kSwOk = protocol::kSwSuccess;
inline constexpr uint16_t kSwFailed = protocol::kSwFailed;          // bad length, check byte or parameter
inline constexpr uint16_t kSwRefused = protocol::kSwRefused;        // unknown command
inline constexpr uint16_t kSwNoTag = protocol::kSwFailedStatus15;   // handle acquisition found no tag
inline constexpr uint16_t kSwOutOfOrder = 0x6581; // download block out of order
inline constexpr uint16_t kSwBadImage = 0x6582;   // download image check failed

// Pause after which a frame that is still arriving is dropped.
inline constexpr uint64_t kFramePauseUs = 100000;
// Largest request payload the reader's receive buffer holds.
inline constexpr size_t kMaxRequestPayload = 1554;
// Largest inventory reply body (count, entries, status word).
inline constexpr size_t kMaxInventoryBody = 1556;

struct ReaderOptions {
  uint8_t unit = 0;
  std::array<uint8_t, 2> firmware{0x01, 0x23};
  bool wire_timing = false;  // add the module's processing times
  // How likely a tag in the round is read, by its raw strength: never at or
  // below read_floor, always at or above read_full, in proportion between;
  // read_full 0: every tag is read whatever its strength.
  uint16_t read_floor = 0;
  uint16_t read_full = 0;
  uint32_t seed = 1;  // of the draws for noise and reads: the same scenario gives the same rounds
};

// Faults armed through the control socket, consumed as traffic meets them.
struct Faults {
  int drop_reply = 0;
  int bad_check = 0;
  int stall = 0;
  int status = 0;
  uint16_t status_word = 0;
  // Reply bodies (any bytes, also none) for the next commands, in order:
  // each answers `count` commands in place of the reader; or, with
  // `lateMs` >= 0, lets the reader answer them and starts the replies that
  // many milliseconds late.
  struct Reply {
    Bytes body;
    int count = 0;
    int lateMs = -1;
  };
  std::deque<Reply> replies;
  int replies_pending() const {
    int n = 0;
    for (const Reply& r : replies) n += r.count;
    return n;
  }
  int uart_readback = 0;
  int gpio_readback = 0;
  int feature_error = 0;
  int bad_crc = 0;  // tag replies whose CRC-16 is spoilt (the reader still reports them received)
};

struct ReaderCounters {
  uint64_t frames_received = 0;  // complete frames, whatever their check or unit
  uint64_t replies_sent = 0;
  uint64_t resend_requests = 0;
  uint64_t bad_checks = 0;
  uint64_t duplicates = 0;  // repeated requests answered from the last reply
  uint64_t commands_executed = 0;
  uint64_t frames_dropped = 0;  // cut by a pause or too long
  uint64_t commands_received = 0;  // new requests, also those a fault answered
  uint64_t boots = 0;              // power-ons
  uint64_t download_blocks = 0;    // download commands executed
};

// How many of the latest received commands the reader keeps for the state report.
inline constexpr size_t kRecentCommands = 32;

// Bytes the reader puts on its UART, the first of them starting at start_us.
struct Transmission {
  uint64_t start_us = 0;
  Bytes bytes;
};

class Reader {
 public:
  Reader(ReaderOptions options, Faults* faults);

  // Power through the bridge's GPIO line 9. Power-on boots the module (volatile
  // state reset, a few boot bytes sent); power-off loses the volatile state
  // and takes the field away (the tags' flags then keep what their
  // persistence allows, see tags.h).
  void PowerOn(uint64_t now, std::vector<Transmission>* out);
  void PowerOff(uint64_t now);
  bool powered() const { return powered_; }

  // One byte received on the UART at time t (non-decreasing).
  void Receive(uint8_t byte, uint64_t t, std::vector<Transmission>* out);

  // One command (the payload of a request frame) executed at once; the reply
  // body ends with the status word. `processingUs` gets the module's time for it.
  Bytes Execute(const Bytes& command, uint64_t* processingUs = nullptr);

  TagField& field() { return field_; }
  const TagField& field() const { return field_; }
  const ReaderCounters& counters() const { return counters_; }
  const Bytes& last_command() const { return last_command_; }
  // The latest received commands, oldest first (hex), also those a fault answered.
  const std::deque<std::string>& recent_commands() const { return recent_; }
  std::array<uint8_t, 2> firmware() const { return options_.firmware; }
  uint8_t unit() const { return options_.unit; }
  // The last inventory round: tags that took part, tags listed, slots.
  struct LastRound {
    size_t participants = 0;
    size_t listed = 0;
    uint64_t slots = 0;
  };
  const LastRound& last_round() const { return last_round_; }

  // Settings the commands changed, for the state report.
  struct Settings {
    bool carrier = false;
    int power_level = 20;
    uint16_t speed_word = 0;
    uint8_t speed_mode_item = 0;
    uint8_t p1 = 0;
    uint8_t session = 0;
    uint8_t send_max_time = 0;
    uint32_t channel_mask = 0x0007FFFF;
    bool operating_mode = false;
    std::map<std::string, std::string> items;  // other set-up items, hex
  };
  const Settings& settings() const { return settings_; }

  // The read range of ReaderOptions, changed while the reader runs.
  void set_read_range(uint16_t floor, uint16_t full) {
    options_.read_floor = floor;
    options_.read_full = full;
  }

 private:
  void FrameComplete(uint64_t t, std::vector<Transmission>* out);
  void Transmit(const Bytes& frame, uint64_t start, std::vector<Transmission>* out);
  void Log(const std::string& line);
  void Received(const Bytes& command);
  Bytes SetUp(const Bytes& c);
  Bytes InfoQuery(const Bytes& c);
  Bytes DownloadBlock(const Bytes& c);
  Bytes Inventory(const Bytes& c, uint64_t* processingUs);
  Bytes AcquireHandle(const Bytes& c);
  // Whether a tag of this strength is read in a round (see read_floor).
  bool Heard(uint16_t strength, uint32_t draw) const;
  Bytes TagCommand(const Bytes& c);

  ReaderOptions options_;
  Faults* faults_;
  TagField field_;
  ReaderCounters counters_;
  Settings settings_;
  LastRound last_round_;
  bool powered_ = false;
  std::mt19937 draws_;

  // Link receive state.
  Bytes rx_;
  uint64_t last_byte_us_ = 0;
  bool discarding_ = false;
  // The last executed request (frame without check) and its reply frame.
  bool have_last_ = false;
  Bytes last_request_;
  Bytes last_reply_;
  Bytes last_command_;

  // Firmware download in progress.
  bool downloading_ = false;
  uint16_t next_block_ = 0;
  std::array<uint8_t, 2> new_version_{};
  protocol::Crc16Accumulator image_crc_;

  std::deque<std::string> log_;
  std::deque<std::string> recent_;
};

}  // namespace zq::sim
