// One simulated reader unit as the host sees it: the HID interface of the
// bridge (messages of the simulator's socket protocol), the UART between the
// bridge and the reader module, and the control commands.
//
// No clocks and no system calls: the caller passes the time (microseconds of
// a monotonic clock) with every call, asks for the input reports that are due
// and for the time the next one will be.
//
// Sections: options; Device (HID messages, UART, control, reports).
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "sim/model/bridge.h"
#include "sim/model/reader.h"
#include "sim/model/scenario.h"

namespace zq::sim {

struct DeviceOptions {
  std::string name = "reader0";
  std::string serial = "SIM0001";
  uint16_t vid = 0xFFF1;
  uint16_t pid = 0x7C02;
  std::optional<int> unit;  // overrides the scenario's
  bool wire_timing = false;
  // Filled in by the program: whether its pacing runs ahead of ordinary
  // threads (shown in the state).
  bool realtime_pacing = false;
  nlohmann::json scenario = nlohmann::json::object();
};

// Report lengths of the bridge's HID interface.
inline constexpr size_t kInputReportLength = 64;
inline constexpr size_t kOutputReportLength = 64;
inline constexpr size_t kFeatureReportLength = 64;

class Device {
 public:
  explicit Device(DeviceOptions options);

  // Builds everything from the options and the scenario. Empty on success,
  // else what is wrong with the scenario.
  std::string Reset();

  // NAME.json: identity, report lengths and the Windows-shaped names under
  // which the host's platform layer lists the device.
  nlohmann::json Description() const;
  void SetRealtimePacing(bool on) { options_.realtime_pacing = on; }

  // ---- HID interface ----
  void HidOpened();
  void HidClosed();
  // One message from the host ('O', 'S' or 'G' first). Returns the messages
  // to answer with at once ('A' or 'F'); output reports get none.
  std::vector<Bytes> HidMessage(const uint8_t* message, size_t length, uint64_t now);
  // Input reports ('I' first) whose bytes have arrived by `now`.
  std::vector<Bytes> DueInputReports(uint64_t now);
  // When the next UART byte reaches the bridge, if one is on its way.
  std::optional<uint64_t> NextDue() const;
  // Whether that byte is the last one on its way: the end of what the
  // reader has sent so far, the byte a waiting host finishes a reply with.
  bool NextDueIsLast() const { return rx_.size() == 1; }

  // ---- control ----
  enum class Action { kNone, kQuit, kUnplug, kReplug, kRestart };
  struct ControlResult {
    std::string reply;  // "OK", "OK {json}" or "ERR text"
    Action action = Action::kNone;
  };
  ControlResult Control(const std::string& line, uint64_t now);
  // `tags load FILE` with the file's text, which the caller has read (the
  // model reads no files): replaces the tag population. `source` names the
  // file in error replies.
  ControlResult LoadTags(const std::string& text, const std::string& source);
  nlohmann::json State(uint64_t now) const;
  bool plugged() const { return plugged_; }

  // ---- for tests ----
  Reader& reader() { return *reader_; }
  std::vector<std::unique_ptr<Reader>>& extra_readers() { return extra_; }
  const Bridge& bridge() const { return bridge_; }
  Faults& faults() { return faults_; }

 private:
  void LatchChanged(bool wasPowered, uint64_t now);
  void ToReader(const uint8_t* data, size_t length, uint64_t now);
  void FromReader(std::vector<Transmission>& sent);
  void Unplug(uint64_t now);

  DeviceOptions options_;
  Scenario scenario_;
  Faults faults_;
  Bridge bridge_;
  std::unique_ptr<Reader> reader_;
  // The scenario's further units on the same UART (the control commands
  // address reader_ alone).
  std::vector<std::unique_ptr<Reader>> extra_;
  bool plugged_ = true;
  bool hid_open_ = false;

  // UART: when each line is free again, and the bytes on their way up with
  // the time each reaches the bridge.
  double host_line_free_us_ = 0;
  double reader_line_free_us_ = 0;
  struct RxByte {
    uint64_t at;
    uint8_t byte;
  };
  std::deque<RxByte> rx_;
  uint64_t reports_in_ = 0;
  uint64_t reports_out_ = 0;
  // The GPIO latch after each set since the last reset (the latest
  // kLatchHistory), and how often line 9 switched the reader on and off.
  std::deque<std::string> latch_history_;
  uint64_t line9_on_ = 0;
  uint64_t line9_off_ = 0;
};

inline constexpr size_t kLatchHistory = 64;

}  // namespace zq::sim
