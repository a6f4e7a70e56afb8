// Sections: power; link (frame assembly, resend and duplicate requests,
// reply faults); command dispatch; set-up and queries; firmware download;
// inventory, handle acquisition and raw tag commands.
#include "sim/model/reader.h"

#include <algorithm>

#include "protocol/frame.h"
#include "sim/model/firmware.h"
#include "sim/model/round_time.h"

namespace zq::sim {

namespace {

Bytes WithSw(Bytes body, uint16_t sw) {
  protocol::AppendStatusWord(body, sw);
  return body;
}

Bytes Sw(uint16_t sw) { return WithSw(Bytes{}, sw); }

uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Module processing times, added only with wire timing.
constexpr uint64_t kBootUs = 50000;
constexpr uint64_t kSettingUs = 1000;
constexpr uint64_t kDownloadBlockUs = 20000;
constexpr uint64_t kAcquireUs = 8000;
constexpr uint64_t kTagTimeUnitUs = 100;  // the raw tag command's time value counts 0.1 ms

// What the module prints on its UART while it starts; the driver discards it.
const Bytes kBootBanner = {'Z', 'Q', 'B', 'O', 'O', 'T', '\r', '\n'};

constexpr size_t kLogLines = 64;

}  // namespace

Reader::Reader(ReaderOptions options, Faults* faults) : options_(options), faults_(faults), draws_(options.seed) {}

// ---- power -----------------------------------------------------------------

void Reader::PowerOn(uint64_t now, std::vector<Transmission>* out) {
  if (powered_) return;
  powered_ = true;
  ++counters_.boots;
  settings_ = Settings{};
  field_.set_power_level(settings_.power_level);
  field_.FieldOn(now);
  rx_.clear();
  discarding_ = false;
  have_last_ = false;
  downloading_ = false;
  Log("boot");
  out->push_back({now + (options_.wire_timing ? kBootUs : 0), kBootBanner});
}

void Reader::PowerOff(uint64_t now) {
  powered_ = false;
  field_.FieldOff(now);
  rx_.clear();
  discarding_ = false;
  have_last_ = false;
  downloading_ = false;
}

// ---- link ------------------------------------------------------------------

void Reader::Receive(uint8_t byte, uint64_t t, std::vector<Transmission>* out) {
  if (!powered_) return;
  if ((!rx_.empty() || discarding_) && t - last_byte_us_ > kFramePauseUs) {
    if (!rx_.empty()) ++counters_.frames_dropped;
    rx_.clear();
    discarding_ = false;
  }
  last_byte_us_ = t;
  if (discarding_) return;
  rx_.push_back(byte);
  if (rx_.size() < protocol::kFrameHeadLength) return;
  const size_t length = protocol::PayloadLength(rx_.data());
  if (length > kMaxRequestPayload) {
    // Longer than any request: ignore everything up to the next pause.
    ++counters_.frames_dropped;
    rx_.clear();
    discarding_ = true;
    return;
  }
  if (rx_.size() == length + protocol::kFrameOverhead) FrameComplete(t, out);
}

void Reader::FrameComplete(uint64_t t, std::vector<Transmission>* out) {
  Bytes frame = std::move(rx_);
  rx_.clear();
  field_.set_now(t);
  ++counters_.frames_received;
  protocol::FrameView view;
  if (protocol::DecodeFrame(frame, &view) != protocol::FrameStatus::kComplete) {
    ++counters_.bad_checks;
    return;
  }
  const uint8_t address = view.address;
  if (protocol::UnitOfAddress(address) != options_.unit) return;  // another unit's frame
  frame.pop_back();
  if (address & protocol::kResendRequestBit) {
    if (view.payloadLength != 0) return;
    ++counters_.resend_requests;
    if (have_last_) Transmit(last_reply_, t, out);
    return;
  }
  if (have_last_ && frame == last_request_) {
    // The host repeated a request whose reply it lost: answer again, do not
    // execute twice (a write or a download block must not happen twice).
    ++counters_.duplicates;
    Transmit(last_reply_, t, out);
    return;
  }
  Bytes command(view.payload, view.payload + view.payloadLength);
  Received(command);
  uint64_t processing = 0;
  uint64_t late = 0;
  Bytes body;
  if (!faults_->replies.empty() && faults_->replies.front().lateMs >= 0) {
    Faults::Reply& r = faults_->replies.front();
    late = static_cast<uint64_t>(r.lateMs) * 1000;
    if (--r.count <= 0) faults_->replies.pop_front();
    body = Execute(command, &processing);
  } else if (!faults_->replies.empty()) {
    Faults::Reply& r = faults_->replies.front();
    body = r.body;
    if (--r.count <= 0) faults_->replies.pop_front();
    last_command_ = command;
  } else if (faults_->status > 0) {
    --faults_->status;
    last_command_ = command;
    body = Sw(faults_->status_word);
  } else {
    body = Execute(command, &processing);
  }
  Bytes reply = protocol::EncodeFrame(address & protocol::kSequenceBit, body);
  last_request_ = std::move(frame);
  last_reply_ = reply;
  have_last_ = true;
  Transmit(reply, t + (options_.wire_timing ? processing : 0) + late, out);
}

void Reader::Transmit(const Bytes& frame, uint64_t start, std::vector<Transmission>* out) {
  Bytes wire = frame;
  if (faults_->drop_reply > 0) {
    --faults_->drop_reply;
    return;
  }
  if (faults_->bad_check > 0) {
    --faults_->bad_check;
    wire.back() ^= 0x5A;
  } else if (faults_->stall > 0) {
    --faults_->stall;
    wire.resize(wire.size() / 2);
  }
  ++counters_.replies_sent;
  out->push_back({start, std::move(wire)});
}

void Reader::Received(const Bytes& command) {
  ++counters_.commands_received;
  recent_.push_back(ToHex(command));
  if (recent_.size() > kRecentCommands) recent_.pop_front();
}

void Reader::Log(const std::string& line) {
  log_.push_back(line);
  if (log_.size() > kLogLines) log_.pop_front();
}

// ---- command dispatch -------------------------------------------------------

Bytes Reader::Execute(const Bytes& commandIn, uint64_t* processingUs) {
  uint64_t ignored = 0;
  uint64_t& processing = processingUs ? *processingUs : ignored;
  processing = kSettingUs;
  ++counters_.commands_executed;
  last_command_ = commandIn;
  Bytes c = commandIn;
  // Pass-through classes: the top two bits of the class byte are the host's
  // routing marks, the module ignores them.
  if (!c.empty() && c[0] >= 0xC0) c[0] &= 0x3F;
  Bytes reply = Sw(kSwRefused);
  if (c.size() >= 4) {
    const uint8_t cls = c[0], ins = c[1];
    if (cls == 0x00 && ins == 0x01) {
      reply = SetUp(c);
    } else if (cls == 0x00 && ins == 0x02) {
      reply = InfoQuery(c);
    } else if (cls == 0x00 && ins == 0x0D) {
      processing = kDownloadBlockUs;
      ++counters_.download_blocks;
      reply = DownloadBlock(c);
    } else if (cls == 0x00 && ins == 0x21) {
      if (c.size() == 12 && c[2] == 0 && c[3] == 0 && c[4] == 0 && c[5] == 6 && c[6] == 0 &&
          (Be32(&c[8]) & 0x7FFFF) != 0) {
        settings_.send_max_time = c[7];
        settings_.channel_mask = Be32(&c[8]);
        reply = Sw(kSwOk);
      } else {
        reply = Sw(kSwFailed);
      }
    } else if (cls == 0x00 && ins == 0x22) {
      int level = static_cast<int8_t>(c[2]);
      if (c.size() == 4 && c[3] == 0 && level >= -10 && level <= 20) {
        settings_.power_level = level;
        field_.set_power_level(level);
        reply = Sw(kSwOk);
      } else {
        reply = Sw(kSwFailed);
      }
    } else if (cls == 0x00 && ins == 0x2B) {
      if (c.size() == 4 && c[2] == 0) {
        Bytes text;
        for (const std::string& line : log_) {
          text.insert(text.end(), line.begin(), line.end());
          text.push_back('\r');
          text.push_back('\n');
        }
        reply = WithSw(text, kSwOk);
      } else {
        reply = Sw(kSwFailed);
      }
    } else if (cls == 0x00 && ins == 0x42 && c[2] == 0 && c[3] == 0) {
      if (c.size() == 7 && c[6] == 0x01 && c[4] >= 1 && c[4] <= 15 && c[5] >= 1 && c[5] <= 13) {
        // Antenna level q on channel a: the channel, then the measured level.
        unsigned level = 0x0100u + c[4] * 0x20u + c[5];
        reply = WithSw(Bytes{c[5], static_cast<uint8_t>(level >> 8), static_cast<uint8_t>(level)}, kSwOk);
      } else if (c.size() == 6) {
        // Carrier sense on channel x: the channel, then 00 for a free channel.
        reply = WithSw(Bytes{c[4], 0x00}, kSwOk);
      } else {
        reply = Sw(kSwFailed);
      }
    } else if (cls == 0x03 && ins == 0xFF) {
      reply = c.size() == 4 && c[2] == 0 && c[3] == 0 ? Sw(kSwOk) : Sw(kSwFailed);
      if (reply == Sw(kSwOk)) settings_.operating_mode = true;
    } else if (cls == 0x08 && ins == 0x01) {
      reply = Inventory(c, &processing);
    } else if (cls == 0x08 && ins == 0x02) {
      processing = kAcquireUs;
      reply = AcquireHandle(c);
    } else if (cls == 0x08 && ins == 0x03) {
      if (c.size() >= 8) processing = kTagTimeUnitUs * ((uint64_t{c[6]} << 8) | c[7]);
      reply = TagCommand(c);
    }
  }
  Log(ToHex(commandIn.data(), commandIn.size() < 12 ? commandIn.size() : 12) + " " +
      ToHex(&reply[reply.size() - 2], 2));
  return reply;
}

// ---- set-up and queries ----------------------------------------------------

Bytes Reader::SetUp(const Bytes& c) {
  // 00 01 00 n, then n data bytes; the last one is the XOR of the others.
  if (c.size() < 5 || c[2] != 0 || c.size() != 4u + c[3]) return Sw(kSwFailed);
  const uint8_t* d = &c[4];
  const size_t n = c[3];
  if (protocol::BlockCheck(d, n - 1) != d[n - 1]) return Sw(kSwFailed);
  if (n == 13) {
    // item (32 bits), register (32 bits), value (2 bytes), keep-mask (2 bytes)
    uint32_t item = Be32(d), reg = Be32(d + 4);
    if (item == 0x08 && reg == 0x0C) {
      settings_.carrier = (d[8] & 0x04) != 0;
    } else if (item == 0x0F && (reg == 0x25 || reg == 0x26)) {
      settings_.speed_mode_item = static_cast<uint8_t>(reg);
      settings_.speed_word = static_cast<uint16_t>((d[8] << 8) | d[9]);
    } else if (item == 0x0F && reg == 0x01) {
      settings_.p1 = d[8];
    } else if (item == 0x0F && reg == 0x0E) {
      settings_.session = d[8] & 3;
    } else {
      settings_.items[ToHex(d, 8)] = ToHex(d + 8, 4);
    }
  } else {
    static const uint8_t kFirmwareMode[] = {0x00, 0x1D, 0x00, 0x01, 0x00, 0x00};
    if (n == 7 && std::equal(d, d + 6, kFirmwareMode)) settings_.operating_mode = true;
    settings_.items[ToHex(d, n - 1)] = "";
  }
  return Sw(kSwOk);
}

Bytes Reader::InfoQuery(const Bytes& c) {
  // 00 02 00 04 a b n x: n bytes of item a b; x = a ^ b ^ n. The reply fits 32 bytes.
  if (c.size() != 8 || c[2] != 0 || c[3] != 4 || (c[4] ^ c[5] ^ c[6]) != c[7] || c[6] > 30) return Sw(kSwFailed);
  uint16_t item = static_cast<uint16_t>((c[4] << 8) | c[5]);
  Bytes data(c[6], 0);
  if (item == 0x001F) {
    for (size_t i = 0; i < data.size() && i < 2; ++i) data[i] = options_.firmware[i];
  } else if (item == 0x0012 && !data.empty()) {
    data[0] = 0x21;  // module type
  }
  return WithSw(data, kSwOk);
}

// ---- firmware download -------------------------------------------------------

Bytes Reader::DownloadBlock(const Bytes& c) {
  if (c.size() != kFirmwareBlockLength || c[4] != 0x00 || c[5] != kFirmwareBlockData) return Sw(kSwFailed);
  const uint16_t index = static_cast<uint16_t>((c[2] << 8) | c[3]);
  const bool last = (index & kFirmwareLastBlock) != 0;
  const uint16_t number = index & 0x7FFF;
  const uint8_t* data = &c[6];
  if (number == 0) {
    // Block 0 always starts a new image: an interrupted download restarts.
    downloading_ = true;
    image_crc_ = protocol::Crc16Accumulator{};
    new_version_ = {data[0], data[1]};
  } else if (!downloading_ || number != next_block_) {
    return Sw(kSwOutOfOrder);
  }
  next_block_ = static_cast<uint16_t>(number + 1);
  image_crc_.Update(data, last ? kFirmwareBlockData - 2 : kFirmwareBlockData);
  if (!last) return Sw(kSwOk);
  downloading_ = false;
  uint16_t check = static_cast<uint16_t>((data[29] << 8) | data[30]);
  if (check != image_crc_.Value()) return Sw(kSwBadImage);
  options_.firmware = new_version_;
  Log("firmware " + ToHex(new_version_.data(), 2) + " installed");
  return Sw(kSwOk);
}

// ---- inventory, handle acquisition, raw tag commands -------------------------

Bytes Reader::Inventory(const Bytes& c, uint64_t* processingUs) {
  // 08 01 i r: one round in the session last set up, aimed at the tags
  // whose flag of that session is A (i 0) or B (i 1); r 02 adds each tag's
  // raw signal strength. In sessions 1 to 3 the tags listed flip their
  // flag, and those the reply has no room for stay as they are for the next
  // round. Session 0 is the module's plain inventory: its rounds leave the
  // S0 flags as the last Select set them, so that every round lists the
  // selected tags from the start (what the driver's default inventory and
  // its handle acquisition, both in session 0, rely on).
  if (c.size() != 4 || c[2] > 1 || (c[3] & ~0x02) != 0) return Sw(kSwFailed);
  const bool withRssi = (c[3] & 0x02) != 0;
  const int session = settings_.session;
  field_.EndSingulation();
  const std::vector<size_t> taking = field_.Matching(session, c[2] == 1);
  std::vector<size_t> listed;
  Bytes entries;
  unsigned count = 0;
  const uint64_t now = field_.now();
  for (size_t i : taking) {
    Tag& t = field_.tags()[i];
    if (t.path_start_us == Tag::kPathNotStarted) t.path_start_us = now;
    const uint16_t strength = t.StrengthAt(now, draws_());
    if (options_.read_full > 0 && !Heard(strength, draws_())) continue;
    Bytes e = t.PcEpcBytes();
    e.push_back(static_cast<uint8_t>(t.stored_crc() >> 8));
    e.push_back(static_cast<uint8_t>(t.stored_crc()));
    if (withRssi) {
      e.push_back(static_cast<uint8_t>(strength >> 8));
      e.push_back(static_cast<uint8_t>(strength));
    }
    if (2 + entries.size() + e.size() + 2 > kMaxInventoryBody) break;
    entries.insert(entries.end(), e.begin(), e.end());
    listed.push_back(i);
    ++count;
  }
  if (session != 0) field_.Flip(listed, session);
  const RoundTime time = InventoryRoundTime(taking.size(), listed.size());
  *processingUs = time.us;
  last_round_ = {taking.size(), listed.size(), time.slots};
  Bytes body{static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
  body.insert(body.end(), entries.begin(), entries.end());
  return WithSw(body, kSwOk);
}

bool Reader::Heard(uint16_t strength, uint32_t draw) const {
  if (strength <= options_.read_floor) return false;
  if (strength >= options_.read_full) return true;
  const uint32_t span = static_cast<uint32_t>(options_.read_full - options_.read_floor);
  return draw % span < static_cast<uint32_t>(strength - options_.read_floor);
}

Bytes Reader::AcquireHandle(const Bytes& c) {
  if (c.size() != 4 || c[3] != 0) return Sw(kSwFailed);
  int i = field_.Acquire(settings_.session);
  if (i < 0) return Sw(kSwNoTag);
  const Tag& t = field_.tags()[static_cast<size_t>(i)];
  Bytes body = t.PcEpcBytes();
  body.push_back(static_cast<uint8_t>(t.handle >> 8));
  body.push_back(static_cast<uint8_t>(t.handle));
  return WithSw(body, kSwOk);
}

Bytes Reader::TagCommand(const Bytes& c) {
  // 08 03 00 B L1(2) T1(2) Le(2) bits
  if (c.size() < 10 || c[2] != 0) return Sw(kSwFailed);
  const size_t bits = (size_t{c[8]} << 8) | c[9];
  if (bits == 0 || c.size() != 10 + (bits + 7) / 8) return Sw(kSwFailed);
  const uint8_t* cmd = &c[10];
  if (TagField::IsSelect(cmd, bits)) {
    field_.Execute(cmd, bits);
    return Sw(kSwOk);
  }
  TagReply r = field_.Execute(cmd, bits);
  if (!r.sent) return WithSw(Bytes{0x00}, kSwOk);
  if (faults_->bad_crc > 0) {
    --faults_->bad_crc;
    r.SpoilCrc();
  }
  Bytes body{0x01};
  body.insert(body.end(), r.bits.bytes().begin(), r.bits.bytes().end());
  return WithSw(body, kSwOk);
}

}  // namespace zq::sim
