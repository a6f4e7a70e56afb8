// Sections: set-up and description; HID messages; UART in both directions;
// input reports; control commands; state report.
#include "sim/model/device.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <sstream>

#include "protocol/bridge_reports.h"
#include "protocol/frame.h"

namespace zq::sim {

namespace {

Bytes Le32Message(char kind, uint32_t v) {
  return Bytes{static_cast<uint8_t>(kind), static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
               static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
}

std::string Hex4(uint16_t v) {
  uint8_t b[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
  return ToHex(b, 2);
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool ParseCount(const std::string& s, int* out) {
  if (s.empty() || s.size() > 9 || !std::all_of(s.begin(), s.end(), ::isdigit)) return false;
  *out = std::stoi(s);
  return true;
}

}  // namespace

// ---- set-up and description -------------------------------------------------

Device::Device(DeviceOptions options) : options_(std::move(options)), bridge_(options_.serial) {}

std::string Device::Reset() {
  Scenario s;
  std::string err = ParseScenario(options_.scenario, &s);
  if (!err.empty()) return err;
  scenario_ = s;
  faults_ = Faults{};
  bridge_.Reset(options_.serial);
  ReaderOptions ro;
  ro.unit = static_cast<uint8_t>(options_.unit.value_or(scenario_.unit));
  ro.firmware = scenario_.firmware;
  ro.wire_timing = options_.wire_timing;
  ro.read_floor = scenario_.read_floor;
  ro.read_full = scenario_.read_full;
  ro.seed = scenario_.seed;
  reader_ = std::make_unique<Reader>(ro, &faults_);
  reader_->field().set_tags(scenario_.tags);
  extra_.clear();
  for (const ExtraUnit& u : scenario_.extra_units) {
    ReaderOptions eo = ro;
    eo.unit = static_cast<uint8_t>(u.unit);
    extra_.push_back(std::make_unique<Reader>(eo, &faults_));
    extra_.back()->field().set_tags(u.tags);
  }
  plugged_ = true;
  rx_.clear();
  host_line_free_us_ = reader_line_free_us_ = 0;
  reports_in_ = reports_out_ = 0;
  latch_history_.clear();
  line9_on_ = line9_off_ = 0;
  return "";
}

nlohmann::json Device::Description() const {
  const std::string vid = Hex4(options_.vid), pid = Hex4(options_.pid);
  const std::string vp = "VID_" + vid + "&PID_" + pid;
  const std::string rev = "REV_0100";
  const std::string hidInstance = "HID\\" + vp + "\\SIM&" + options_.name + "&0000";
  std::string instanceTail = Lower(hidInstance.substr(hidInstance.rfind('\\') + 1));
  return {{"name", options_.name},
          {"vendor_id", vid},
          {"product_id", pid},
          {"serial_number", options_.serial},
          {"revision", "0100"},
          {"input_report_length", kInputReportLength},
          {"output_report_length", kOutputReportLength},
          {"feature_report_length", kFeatureReportLength},
          {"unit", reader_ ? reader_->unit() : 0},
          {"interface_path",
           "\\\\?\\hid#" + Lower(vp) + "#" + instanceTail + "#{4d1e55b2-f16f-11cf-88cb-001111000030}"},
          {"hid_instance_id", hidInstance},
          {"hid_hardware_ids", {"HID\\" + vp + "&" + rev, "HID\\" + vp, "HID_DEVICE_SYSTEM_VENDOR", "HID_DEVICE"}},
          {"hid_compatible_ids", {"HID_DEVICE_SYSTEM_VENDOR", "HID_DEVICE"}},
          {"usb_instance_id", "USB\\" + vp + "\\" + options_.serial},
          {"usb_hardware_ids", {"USB\\" + vp + "&" + rev, "USB\\" + vp}},
          {"usb_compatible_ids", {"USB\\Class_03&SubClass_00&Prot_00", "USB\\Class_03&SubClass_00", "USB\\Class_03"}},
          {"hid_socket", options_.name + ".hid"},
          {"control_socket", options_.name + ".ctl"}};
}

// ---- HID messages ------------------------------------------------------------

void Device::HidOpened() { hid_open_ = true; }
void Device::HidClosed() { hid_open_ = false; }

std::vector<Bytes> Device::HidMessage(const uint8_t* m, size_t n, uint64_t now) {
  if (n == 0) return {};
  const char kind = static_cast<char>(m[0]);
  if (kind == 'O') {
    if (!plugged_ || n < 2) return {};
    const size_t count = m[1];
    if (count == 0 || count > 63 || n < 2 + count) return {};  // not a data report: dropped
    ++reports_in_;
    ToReader(m + 2, count, now);
    return {};
  }
  if (kind == 'S') {
    if (!plugged_) return {Le32Message('A', kResultNotConnected)};
    if (faults_.feature_error > 0) {
      --faults_.feature_error;
      return {Le32Message('A', kResultStalled)};
    }
    const bool wasPowered = bridge_.reader_powered();
    Bridge::SetResult r = bridge_.SetFeature(m + 1, n - 1);
    if (r.effect == Bridge::Effect::kPurge && (r.purge & 2)) {
      // Receive purge: what has reached the bridge is gone; bytes still on the wire come later.
      while (!rx_.empty() && rx_.front().at <= now) rx_.pop_front();
    }
    if (r.effect == Bridge::Effect::kLatch) LatchChanged(wasPowered, now);
    return {Le32Message('A', r.result)};
  }
  if (kind == 'G') {
    if (!plugged_) return {Le32Message('F', kResultNotConnected)};
    if (n < 4) return {Le32Message('F', kResultBadLength)};
    if (faults_.feature_error > 0) {
      --faults_.feature_error;
      return {Le32Message('F', kResultStalled)};
    }
    const uint8_t id = m[1];
    const size_t want = m[2] | (size_t{m[3]} << 8);
    bool wrongUart = false, wrongLatch = false;
    if (id == protocol::kReportUartConfig && faults_.uart_readback > 0) {
      --faults_.uart_readback;
      wrongUart = true;
    }
    if (id == protocol::kReportGpioValues && faults_.gpio_readback > 0) {
      --faults_.gpio_readback;
      wrongLatch = true;
    }
    size_t arrived = 0;
    for (const RxByte& b : rx_) arrived += b.at <= now ? 1 : 0;
    Bytes report;
    uint32_t result = bridge_.GetFeature(id, want, static_cast<uint16_t>(std::min<size_t>(arrived, 480)), wrongUart,
                                         wrongLatch, &report);
    Bytes reply = Le32Message('F', result);
    if (result == kResultOk) reply.insert(reply.end(), report.begin(), report.end());
    return {reply};
  }
  return {};
}

// ---- UART --------------------------------------------------------------------

void Device::LatchChanged(bool wasPowered, uint64_t now) {
  latch_history_.push_back(Hex4(bridge_.latch()));
  if (latch_history_.size() > kLatchHistory) latch_history_.pop_front();
  const bool powered = bridge_.reader_powered();
  if (powered == wasPowered) return;
  ++(powered ? line9_on_ : line9_off_);
  if (powered) {
    std::vector<Transmission> sent;
    reader_->PowerOn(now, &sent);
    for (auto& r : extra_) r->PowerOn(now, &sent);
    FromReader(sent);
  } else {
    reader_->PowerOff(now);
    for (auto& r : extra_) r->PowerOff(now);
    // A reader switched off stops sending: bytes still on the wire never arrive.
    while (!rx_.empty() && rx_.back().at > now) rx_.pop_back();
    reader_line_free_us_ = static_cast<double>(now);
  }
}

void Device::ToReader(const uint8_t* data, size_t length, uint64_t now) {
  if (!bridge_.uart_enabled()) return;
  std::vector<Transmission> sent;
  const double charUs = bridge_.config().CharacterUs();
  for (size_t i = 0; i < length; ++i) {
    uint64_t at = now;
    if (options_.wire_timing) {
      host_line_free_us_ = std::max(host_line_free_us_, static_cast<double>(now)) + charUs;
      at = static_cast<uint64_t>(std::ceil(host_line_free_us_));
    }
    if (!reader_->powered()) continue;
    std::optional<uint8_t> b = LineTransfer(bridge_.config(), data[i]);
    if (!b) continue;
    // Every module on the line hears every byte; each answers its own unit's frames.
    reader_->Receive(*b, at, &sent);
    for (auto& r : extra_) r->Receive(*b, at, &sent);
  }
  FromReader(sent);
}

void Device::FromReader(std::vector<Transmission>& sent) {
  const double charUs = UartConfig::Reader().CharacterUs();
  for (const Transmission& t : sent) {
    if (!bridge_.uart_enabled()) continue;  // the bridge's receiver is off
    for (uint8_t byte : t.bytes) {
      uint64_t at = t.start_us;
      if (options_.wire_timing) {
        reader_line_free_us_ = std::max(reader_line_free_us_, static_cast<double>(t.start_us)) + charUs;
        at = static_cast<uint64_t>(std::ceil(reader_line_free_us_));
      }
      std::optional<uint8_t> b = LineTransfer(bridge_.config(), byte);
      if (b) rx_.push_back({std::max(at, rx_.empty() ? 0 : rx_.back().at), *b});
    }
  }
}

// ---- input reports -----------------------------------------------------------

std::vector<Bytes> Device::DueInputReports(uint64_t now) {
  std::vector<Bytes> out;
  Bytes bytes;
  while (!rx_.empty() && rx_.front().at <= now) {
    bytes.push_back(rx_.front().byte);
    rx_.pop_front();
  }
  if (!hid_open_ || !plugged_) return out;  // nobody reads the interface: the reports are lost
  for (size_t i = 0; i < bytes.size(); i += 63) {
    size_t n = std::min<size_t>(63, bytes.size() - i);
    Bytes m(1 + kInputReportLength, 0);
    m[0] = 'I';
    m[1] = static_cast<uint8_t>(n);
    std::copy(bytes.begin() + static_cast<long>(i), bytes.begin() + static_cast<long>(i + n), m.begin() + 2);
    out.push_back(std::move(m));
    ++reports_out_;
  }
  return out;
}

std::optional<uint64_t> Device::NextDue() const {
  if (rx_.empty()) return std::nullopt;
  return rx_.front().at;
}

// ---- control -----------------------------------------------------------------

void Device::Unplug(uint64_t now) {
  plugged_ = false;
  hid_open_ = false;
  reader_->PowerOff(now);
  for (auto& r : extra_) r->PowerOff(now);
  bridge_.Reset(options_.serial);
  rx_.clear();
}

Device::ControlResult Device::Control(const std::string& lineIn, uint64_t now) {
  std::string line = lineIn;
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' ')) line.pop_back();
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string s; in >> s;) w.push_back(s);
  ControlResult r{"OK", Action::kNone};
  if (w.empty()) return {"ERR empty command", Action::kNone};
  const std::string& cmd = w[0];
  if (cmd == "state" && w.size() == 1) {
    r.reply = "OK " + State(now).dump();
  } else if (cmd == "fault" && w.size() >= 2) {
    int n = 0;
    const std::string& kind = w[1];
    if (kind == "reply") {
      // fault reply HEXBODY N: the body as it is ("-" for none) for the
      // next N commands, after the replies queued before; N 0 empties the queue.
      Bytes body;
      if (w.size() != 4 || (w[2] != "-" && !FromHex(w[2], &body)) || body.size() > protocol::kMaxFramePayload ||
          !ParseCount(w[3], &n))
        return {"ERR usage: fault reply HEXBODY|- N", Action::kNone};
      if (n == 0) {
        faults_.replies.clear();
      } else {
        faults_.replies.push_back({std::move(body), n});
      }
      return r;
    }
    if (kind == "reply-late") {
      // fault reply-late MS N: the next N commands (queued like fault reply)
      // are carried out, and their replies start MS milliseconds late.
      int ms = 0;
      if (w.size() != 4 || !ParseCount(w[2], &ms) || !ParseCount(w[3], &n) || n == 0)
        return {"ERR usage: fault reply-late MS N", Action::kNone};
      faults_.replies.push_back({Bytes{}, n, ms});
      return r;
    }
    if (kind == "status") {
      Bytes sw;
      if (w.size() != 4 || !FromHex(w[2], &sw) || sw.size() != 2 || !ParseCount(w[3], &n))
        return {"ERR usage: fault status SW N", Action::kNone};
      faults_.status_word = static_cast<uint16_t>((sw[0] << 8) | sw[1]);
      faults_.status = n;
      return r;
    }
    if (w.size() != 3 || !ParseCount(w[2], &n)) return {"ERR usage: fault KIND N", Action::kNone};
    if (kind == "drop-reply") faults_.drop_reply = n;
    else if (kind == "bad-check") faults_.bad_check = n;
    else if (kind == "stall") faults_.stall = n;
    else if (kind == "uart-readback") faults_.uart_readback = n;
    else if (kind == "gpio-readback") faults_.gpio_readback = n;
    else if (kind == "feature-error") faults_.feature_error = n;
    else if (kind == "bad-crc") faults_.bad_crc = n;
    else return {"ERR unknown fault " + kind, Action::kNone};
  } else if (cmd == "unplug" && w.size() == 1) {
    if (plugged_) Unplug(now);
    r.action = Action::kUnplug;
  } else if (cmd == "replug" && w.size() == 1) {
    if (!plugged_) {
      plugged_ = true;
      r.action = Action::kReplug;
    }
  } else if (cmd == "restart" && w.size() == 1) {
    // Pulled and plugged in again in one step: a requester that gave up
    // waiting for the answer does not leave the device pulled out.
    if (plugged_) Unplug(now);
    plugged_ = true;
    r.action = Action::kRestart;
  } else if (cmd == "tag" && w.size() >= 3 && w[1] == "add") {
    nlohmann::json j;
    Tag t;
    std::string err = ParseJsonText(line.substr(line.find("add") + 3), &j);
    if (err.empty()) err = ParseTag(j, &t);
    if (!err.empty()) return {"ERR " + err, Action::kNone};
    reader_->field().tags().push_back(std::move(t));
  } else if (cmd == "read-range" && w.size() == 3) {
    // read-range FLOOR FULL: as the scenario's "read_range"; 0 0 reads every tag.
    int floor = 0, full = 0;
    if (!ParseCount(w[1], &floor) || !ParseCount(w[2], &full) || full > 0xFFFF || (full != 0 && floor >= full))
      return {"ERR usage: read-range FLOOR FULL (FLOOR < FULL <= 65535, or 0 0)", Action::kNone};
    reader_->set_read_range(static_cast<uint16_t>(floor), static_cast<uint16_t>(full));
    for (auto& x : extra_) x->set_read_range(static_cast<uint16_t>(floor), static_cast<uint16_t>(full));
  } else if (cmd == "tag" && w.size() >= 4 && (w[1] == "rssi" || w[1] == "move")) {
    // tag rssi EPC RAW: the strength from now on, still; tag move EPC JSON:
    // a path (and noise) from now on, as a scenario's tag has them.
    Tag* t = nullptr;
    std::string epc = w[2];
    for (char& c : epc) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (Tag& candidate : reader_->field().tags())
      if (EpcHex(candidate) == epc) t = &candidate;
    if (!t) return {"ERR no tag " + w[2], Action::kNone};
    if (w[1] == "rssi") {
      int value = 0;
      if (w.size() != 4 || !ParseCount(w[3], &value) || value > 0xFFFF) return {"ERR usage: tag rssi EPC 0..65535", Action::kNone};
      t->rssi = static_cast<uint16_t>(value);
      t->path.clear();
      return r;
    }
    nlohmann::json j;
    const size_t at = line.find(w[2], line.find("move") + 4) + w[2].size();
    std::string err = ParseJsonText(line.substr(at), &j);
    if (err.empty()) err = ParseMotion(j, t);
    if (!err.empty()) return {"ERR " + err, Action::kNone};
    if (!t->path.empty()) t->path_start_us = now;
  } else if (cmd == "tag" && w.size() == 3 && w[1] == "remove") {
    auto& tags = reader_->field().tags();
    std::string epc = w[2];
    for (char& c : epc) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    auto it = std::find_if(tags.begin(), tags.end(), [&](const Tag& t) { return EpcHex(t) == epc; });
    if (it == tags.end()) return {"ERR no tag " + w[2], Action::kNone};
    tags.erase(it);
    reader_->field().EndSingulation();
  } else if (cmd == "reset" && w.size() == 1) {
    const bool wasPlugged = plugged_;
    Reset();
    if (!wasPlugged) r.action = Action::kReplug;
  } else if (cmd == "quit" && w.size() == 1) {
    r.action = Action::kQuit;
  } else {
    return {"ERR unknown command: " + line, Action::kNone};
  }
  return r;
}

Device::ControlResult Device::LoadTags(const std::string& text, const std::string& source) {
  nlohmann::json j;
  if (std::string err = ParseJsonText(text, &j); !err.empty()) return {"ERR " + source + ": " + err, Action::kNone};
  std::vector<Tag> tags;
  std::string err = ParseTagList(j, &tags);
  if (!err.empty()) return {"ERR " + err, Action::kNone};
  reader_->field().set_tags(std::move(tags));
  return {"OK", Action::kNone};
}

// ---- state report ------------------------------------------------------------

nlohmann::json Device::State(uint64_t now) const {
  const UartConfig& c = bridge_.config();
  const ReaderCounters& k = reader_->counters();
  const Reader::Settings& s = reader_->settings();
  const auto& serial = bridge_.serial_report();
  nlohmann::json tags = nlohmann::json::array();
  for (const Tag& t : reader_->field().tags()) tags.push_back(TagToJson(t, now));
  size_t pending = 0;
  for (const RxByte& b : rx_) pending += b.at > now ? 1 : 0;
  nlohmann::json extra = nlohmann::json::array();
  for (const auto& r : extra_) {
    nlohmann::json unitTags = nlohmann::json::array();
    for (const Tag& t : r->field().tags()) unitTags.push_back(TagToJson(t, now));
    extra.push_back({{"unit", r->unit()},
                     {"commands_received", r->counters().commands_received},
                     {"commands", r->recent_commands()},
                     {"tags", unitTags}});
  }
  auto fw = reader_->firmware();
  const Reader::LastRound& round = reader_->last_round();
  return {{"plugged", plugged_},
          {"serial_number", options_.serial},
          {"hid_open", hid_open_},
          {"power", reader_->powered()},
          {"unit", reader_->unit()},
          {"extra_units", extra},
          {"wire_timing", options_.wire_timing},
          {"realtime_pacing", options_.realtime_pacing},
          {"uart",
           {{"enabled", bridge_.uart_enabled()},
            {"baud", c.baud},
            {"parity", c.parity},
            {"flow_control", c.flow},
            {"data_bits", c.data_bits},
            {"stop_bits", c.stop_bits},
            {"reader_link", c == UartConfig::Reader()}}},
          {"gpio_latch", Hex4(bridge_.latch())},
          {"serial_string", ToHex(serial.data() + 1, serial.size() - 1)},
          {"firmware_version", ToHex(fw.data(), 2)},
          {"counters",
           {{"frames_received", k.frames_received},
            {"replies_sent", k.replies_sent},
            {"resend_requests", k.resend_requests},
            {"bad_check_bytes", k.bad_checks},
            {"duplicates", k.duplicates},
            {"commands_executed", k.commands_executed},
            {"frames_dropped", k.frames_dropped},
            {"output_reports", reports_in_},
            {"input_reports", reports_out_},
            {"bytes_in_flight", pending},
            {"commands_received", k.commands_received},
            {"boots", k.boots},
            {"download_blocks", k.download_blocks}}},
          {"last_command", ToHex(reader_->last_command())},
          {"last_round", {{"participants", round.participants}, {"listed", round.listed}, {"slots", round.slots}}},
          {"commands", reader_->recent_commands()},
          {"gpio_history", latch_history_},
          {"line9", {{"on", line9_on_}, {"off", line9_off_}}},
          {"settings",
           {{"carrier", s.carrier},
            {"power_level", s.power_level},
            {"speed_word", Hex4(s.speed_word)},
            {"speed_register", s.speed_mode_item},
            {"p1", s.p1},
            {"session", s.session},
            {"channel_mask", s.channel_mask},
            {"send_max_time", s.send_max_time},
            {"operating_mode", s.operating_mode}}},
          {"faults",
           {{"drop_reply", faults_.drop_reply},
            {"bad_check", faults_.bad_check},
            {"stall", faults_.stall},
            {"status", faults_.status},
            {"status_word", Hex4(faults_.status_word)},
            {"reply", faults_.replies_pending()},
            {"reply_next", faults_.replies.empty() ? std::string() : ToHex(faults_.replies.front().body)},
            {"uart_readback", faults_.uart_readback},
            {"gpio_readback", faults_.gpio_readback},
            {"feature_error", faults_.feature_error},
            {"bad_crc", faults_.bad_crc}}},
          {"tags", tags}};
}

}  // namespace zq::sim
