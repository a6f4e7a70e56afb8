// zelquar: the reader for people, on the driver's five exported functions.
//
// Sections: output; the private simulator; the driver (loading it); the
// guard (deadlines and stop signals); before the open (a reader there, the
// open's bound) and the port; the commands; the log reader; epc; main.
//
// The driver is loaded the way an application loads it: dlopen of
// libZELQUAR_Drv.so from PREFIX/lib/zelquar beside this program's
// PREFIX/bin (or from $ZELQUAR_LIBRARY). The port is opened once per run
// and closed at the end, also after Ctrl-C.
#include <algorithm>
#include <climits>
#include <condition_variable>
#include <filesystem>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ZELQUAR_Drv.h"
#include "platform/devices/hid.h"
#include "platform/os/clock.h"
#include "platform/os/environment.h"
#include "platform/os/ini.h"
#include "platform/os/module.h"
#include "platform/os/process.h"
#include "platform/os/run_program.h"
#include "platform/os/stop_signals.h"
#include "tools/logview.h"
#include "tools/zelquar/agent_command.h"
#include "tools/zelquar/app.h"
#include "tools/zelquar/cli.h"
#include "tools/zelquar/report.h"
#include "zelquar.h"

#ifndef ZQ_TOOL_VERSION
#define ZQ_TOOL_VERSION "0"
#endif

namespace zq::tool {

namespace {

namespace platform = zq::platform;

// ---- output ---------------------------------------------------------------------------

bool g_json = false;

void Emit(const nlohmann::json& j) { std::cout << j.dump() << "\n" << std::flush; }
void Say(const std::string& text) { std::cout << text << std::flush; }
void Complain(const std::string& text) { std::cerr << "zelquar: " << text << "\n" << std::flush; }

// A failure of the run as a whole (no driver, no reader, ...): a JSON
// object on standard output with --json, and always the text on standard
// error.
ExitCode Failure(ExitCode code, const std::string& what, const std::string& text, nlohmann::json extra = {}) {
  if (g_json) {
    nlohmann::json j = {{"ok", false}, {"error", what}, {"message", text}, {"exit_code", static_cast<int>(code)}};
    if (extra.is_object()) j.update(extra);
    Emit(j);
  }
  Complain(text);
  return code;
}

const char kHowToGetAReader[] =
    "no reader found. Plug in a reader and install the udev rule (so your user may open its hidraw\n"
    "node), or run this command with --sim for a private simulated reader, or start one for every\n"
    "program with `zelquar-sim --daemon`.";

// ---- the private simulator --------------------------------------------------------------

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

struct PrivateSimulator {
  std::string dir;
  uint32_t pid = 0;

  void Stop() {
    if (pid) platform::EndProcess(pid, 3000);
    pid = 0;
    if (!dir.empty()) platform::RemoveDirectoryTree(dir);
    dir.clear();
  }
};

PrivateSimulator g_sim;

// Starts zelquar-sim from this program's directory in a directory of its
// own and points the driver at it.
bool StartSimulator(const std::string& scenario, std::string* error) {
  const std::string program = DirectoryOf(platform::OwnProgramPath()) + "/zelquar-sim";
  g_sim.dir = platform::MakePrivateDirectory("zelquar-sim-");
  if (g_sim.dir.empty()) {
    *error = "no private directory for the simulator could be made";
    return false;
  }
  std::vector<std::string> argv{program, "--dir", g_sim.dir, "--daemon"};
  if (!scenario.empty()) {
    argv.push_back("--scenario");
    argv.push_back(scenario);
  }
  std::string out;
  const int rc = platform::RunProgram(argv, &out);
  if (rc != 0) {
    *error = rc == platform::kProgramNotStarted ? program + " could not be started (is it installed beside zelquar?)"
                    : program + " ended with " + std::to_string(rc) + (scenario.empty() ? "" : " (scenario " + scenario + ")");
    g_sim.Stop();
    return false;
  }
  g_sim.pid = static_cast<uint32_t>(std::strtoul(out.c_str(), nullptr, 10));
  platform::SetEnvironmentValue("ZELQUAR_SIM_DIR", g_sim.dir);
  return true;
}

// ---- the driver ---------------------------------------------------------------------------

std::string DriverPath() {
  const std::string given = platform::EnvironmentValue("ZELQUAR_LIBRARY");
  if (!given.empty()) return given;
  return DirectoryOf(DirectoryOf(platform::OwnProgramPath())) + "/lib/zelquar/libZELQUAR_Drv.so";
}

ExitCode NoDriver() {
  return Failure(ExitCode::kNoDriver, "no driver",
                 "the driver library could not be loaded from " + DriverPath() +
                     "\n(install the driver beside this program in ../lib/zelquar, or set ZELQUAR_LIBRARY to its path)");
}

// ---- the guard: deadlines and stop signals ------------------------------------------------

// Ends the process now: no exit handlers, no static destructors. The
// driver's detach must not run while a thread of ours is still inside the
// driver; the port entry left behind is taken over by the next open, as
// for any process that ended, and the system closes the device.
[[noreturn]] void EndNow(ExitCode code, const std::string& what, const std::string& text) {
  Failure(code, what, text);
  g_sim.Stop();
  platform::ExitProcessNow(static_cast<int>(code));
}

// A driver call cannot be cancelled, so a thread of its own watches the one
// in progress: past its deadline the process ends (exit 7 for --timeout,
// exit 5 for an open whose unit does not answer), and after Ctrl-C or
// SIGTERM a call that does not return within kStopGraceMs ends it with
// 130. Once a stop signal came the process ends within kStopLimitMs
// whatever it is doing (a watch that ends by itself prints its summary
// first). While held (the private simulator starting, whose process must
// be known to be stopped) it waits.
class Guard {
 public:
  static constexpr uint32_t kStopGraceMs = 300;
  static constexpr uint32_t kStopLimitMs = 900;

  // What a deadline that passes ends the process with.
  struct Deadline {
    uint32_t ms = 0;
    ExitCode code = ExitCode::kTimedOut;
    std::string what;  // the JSON "error"
    std::string text;  // the message
  };

  Guard() : thread_([this] { Run(); }) {}
  ~Guard() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

  // A driver call starts (with a deadline, or none) / has returned.
  void Arm(std::optional<Deadline> deadline) {
    std::lock_guard<std::mutex> lock(mutex_);
    armed_ = true;
    armedAt_ = platform::TickCount();
    deadline_ = std::move(deadline);
    cv_.notify_all();
  }
  void Disarm() {
    std::lock_guard<std::mutex> lock(mutex_);
    armed_ = false;
    deadline_.reset();
  }
  void Hold(bool held) {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = held;
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    uint32_t stopSeenAt = 0;
    bool stopSeen = false;
    while (!quit_) {
      cv_.wait_for(lock, std::chrono::milliseconds(20), [&] { return quit_; });
      if (quit_) break;
      const uint32_t now = platform::TickCount();
      if (!stopSeen && platform::StopSignalReceived() != 0) {
        stopSeen = true;
        stopSeenAt = now;
      }
      if (held_) continue;
      if (stopSeen) {
        // The call in progress gets a moment from the signal (or from its
        // start, for one begun after it) to return; the whole process a
        // little more.
        const uint32_t callFrom = armed_ && armedAt_ - stopSeenAt < 0x80000000u ? armedAt_ : stopSeenAt;
        if ((armed_ && now - callFrom >= kStopGraceMs) || now - stopSeenAt >= kStopLimitMs) {
          EndNow(ExitCode::kInterrupted, "interrupted", "interrupted");
        }
      }
      if (armed_ && deadline_ && now - armedAt_ >= deadline_->ms) EndNow(deadline_->code, deadline_->what, deadline_->text);
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  bool quit_ = false;
  bool armed_ = false;
  bool held_ = false;
  uint32_t armedAt_ = 0;
  std::optional<Deadline> deadline_;
  std::thread thread_;  // last: it starts once the members above are made
};

Guard* g_guard = nullptr;

ExitCode Interrupted() { return Failure(ExitCode::kInterrupted, "interrupted", "interrupted"); }

// A Session call that did not run, or whose outcome no longer counts,
// because a stop signal came (not a driver result).
constexpr int32_t kStopped = INT32_MIN;

// "unit 1 on COM 1 (port 0x0101)".
std::string UnitText(uint32_t port) {
  char text[64];
  std::snprintf(text, sizeof text, "unit %u on COM %u (port 0x%04X)", port & 0xFF, (port >> 8) & 0xFF, port);
  return text;
}

// ---- before the open: a reader there at all, and how long its open may take ----------------

// The INI file beside the driver, as the driver reads it.
struct DriverSettings {
  bool found = false;
  std::string pidVid;        // the device-path fragment of the bridge
  std::string firmwarePath;  // the firmware file the open compares and downloads
};

DriverSettings ReadDriverSettings(const std::string& driverPath) {
  const std::string dir = DirectoryOf(driverPath);
  const platform::IniFile ini(dir + "/ZELQUAR_Drv.ini");
  DriverSettings d;
  d.found = ini.exists();
  // The driver's text buffers hold 255 characters and the terminator.
  d.pidVid = ini.text().GetString("RFRW_Drv", "PID_VID", "vid_FFF1&pid_7C02", 256);
  d.firmwarePath = dir + "/" + ini.text().GetString("RFRW_Drv", "DspFileName", "ZQRWDSP01.dwl", 256);
  return d;
}

// How long an open may take before its unit counts as not answering: a
// healthy open (power-up, firmware check, operating mode) takes a second or
// two; a download adds one exchange per 39-byte record of the firmware file.
uint32_t DefaultOpenBoundMs(const DriverSettings& d) {
  constexpr uint64_t kBaseMs = 30000;
  constexpr uint64_t kPerBlockMs = 100;
  std::error_code ec;
  const uint64_t size = d.firmwarePath.empty() ? 0 : std::filesystem::file_size(d.firmwarePath, ec);
  const uint64_t blocks = ec || size < 4 ? 0 : (size - 4) / 39;
  return static_cast<uint32_t>(std::min<uint64_t>(kBaseMs + blocks * kPerBlockMs, 3600000));
}

// kOk when a bridge the driver would open is present (a real one or a
// published simulator), else the no-reader failure, at once: the driver's
// own search would retry for seconds first. Without the INI file the
// driver reports that itself.
ExitCode CheckReaderPresent(const Options& o, const DriverSettings& d) {
  if (!d.found) return ExitCode::kOk;
  std::vector<platform::DeviceInterface> bridges;
  if (platform::ListReaderBridges(d.pidVid, &bridges) == 0 && !bridges.empty()) return ExitCode::kOk;
  return Failure(ExitCode::kNoReader, "no reader",
                 (o.sim ? std::string("the simulated reader is not there (") + d.pidVid + ")" : std::string(kHowToGetAReader)) +
                     "\n(looked for a bridge " + d.pidVid + " before opening " + UnitText(o.port) + ")");
}

// A command's run: the reader once opened, through the client library.
class Session {
 public:
  explicit Session(const Options& o) : options_(o) {}
  ~Session() { Close(); }

  // Opens the port (or the reader --reader names) within `boundMs` unless
  // --timeout bounds every call; the failure's exit code (and its message
  // printed) or kOk.
  ExitCode Open(uint32_t boundMs) {
    if (Stopped()) return Interrupted();
    const std::string unit = options_.reader.empty() ? UnitText(options_.port) : "the reader " + options_.reader;
    std::optional<Guard::Deadline> deadline;
    if (options_.timeoutMs && !options_.openTimeoutMs) {
      deadline = Guard::Deadline{*options_.timeoutMs, ExitCode::kTimedOut, "timeout",
                                 "RFRW_Open did not return within " + std::to_string(*options_.timeoutMs) +
                                     " ms (--timeout); " + unit};
    } else {
      const uint32_t ms = options_.openTimeoutMs.value_or(boundMs);
      deadline = Guard::Deadline{ms, ExitCode::kNoReader, "no answer",
                                 "no answer from " + unit + " within " + std::to_string(ms) +
                                     " ms: is a reader module set to unit " + std::to_string(options_.port & 0xFF) +
                                     " behind this bridge? (--open-timeout MS waits longer)"};
    }
    zq_outcome out{};
    g_guard->Arm(deadline);
    const zq_result res = options_.reader.empty() ? zq_open_port(options_.port, &reader_, &out)
                                                  : zq_open_serial_unit(options_.reader.c_str(), options_.port & 0xFF,
                                                                        &reader_, &out);
    g_guard->Disarm();
    if (Stopped()) return Interrupted();
    if (res == ZQ_OK) return ExitCode::kOk;
    if (res == ZQ_NO_DRIVER) return NoDriver();
    const int32_t rc = out.driver_result;
    if (res == ZQ_NO_READER && rc == 0) {
      return Failure(ExitCode::kNoReader, "no reader",
                     "no reader with the serial number " + options_.reader + " is present (zelquar readers lists them)");
    }
    if (rc == 0) return Failure(ExitCode::kDriverError, "driver", std::string(zq_result_message(res)) + "\n(" + unit + ")");
    if (rc == RFRW_ERROR_DEVICE) {
      return Failure(ExitCode::kNoReader, "no reader",
                     DriverErrorText("RFRW_Open", rc) + "\n" +
                         (options_.sim ? std::string("the simulated reader did not answer") : kHowToGetAReader) + "\n(" + unit + ")",
                     {{"driver", DriverErrorJson("RFRW_Open", rc)}});
    }
    if (rc == RFRW_ERROR_EXCHANGE) {
      return Failure(ExitCode::kNoReader, "no answer",
                     DriverErrorText("RFRW_Open", rc) + "\nno reader module answered as " + unit,
                     {{"driver", DriverErrorJson("RFRW_Open", rc)}});
    }
    return Failure(ExitCode::kDriverError, "driver", DriverErrorText("RFRW_Open", rc) + "\n(" + unit + ")",
                   {{"driver", DriverErrorJson("RFRW_Open", rc)}});
  }
  void Close() {
    if (!reader_) return;
    g_guard->Arm(CallDeadline("RFRW_Close"));
    zq_close(reader_);
    g_guard->Disarm();
    reader_ = nullptr;
  }

  // One call of the client library on the open reader, under the guard;
  // its result, or kStopped (as a zq_result) after a stop signal.
  template <typename F>
  int32_t Call(const std::string& call, F f, zq_outcome* out) {
    *out = zq_outcome{ZQ_OK, 0, 0, -1, -1};
    if (Stopped()) return kStopped;
    g_guard->Arm(CallDeadline(call));
    const zq_result res = f(reader_, out);
    g_guard->Disarm();
    return Stopped() ? kStopped : res;
  }

  // One application command; its driver result (kStopped after a stop
  // signal), *response the response bytes.
  int32_t Transmit(const Bytes& command, Bytes* response, size_t capacity = 65536) {
    response->assign(capacity, 0);
    size_t length = 0;
    zq_outcome out;
    const int32_t res = Call("RFRW_CLRW_Transmit", [&](zq_reader* r, zq_outcome* o) {
      return zq_raw(r, command.data(), command.size(), response->data(), response->size(), &length, o);
    }, &out);
    response->resize(res == ZQ_OK ? length : 0);
    if (res == kStopped) return kStopped;
    if (res == ZQ_OK) return RFRW_SUCCESS;
    return out.driver_result ? out.driver_result : RFRW_ERROR_PARAMETER;
  }
  int32_t PowerCtrl(int32_t power, int32_t* sts) {
    zq_outcome out;
    const int32_t res = Call("RFRW_PowerCtrl", [&](zq_reader* r, zq_outcome* o) { return zq_power(r, power != 0, o); }, &out);
    if (res == kStopped) return kStopped;
    *sts = out.status_word;
    return res == ZQ_DRIVER_ERROR ? out.driver_result : RFRW_SUCCESS;
  }
  int32_t DllVersion(uint8_t out[8]) { return zq_driver_version(out) == ZQ_OK ? RFRW_SUCCESS : RFRW_ERROR_FILE_MISSING; }

  ExitCode DriverFailure(const std::string& call, int32_t rc) {
    if (rc == kStopped) return Interrupted();
    return Failure(ExitCode::kDriverError, "driver", DriverErrorText(call, rc), {{"driver", DriverErrorJson(call, rc)}});
  }

 private:
  // A stop signal came and this run is not a watch (which ends by itself).
  bool Stopped() const {
    return platform::StopSignalReceived() != 0 && !(options_.command == Command::kInventory && options_.watch);
  }
  std::optional<Guard::Deadline> CallDeadline(const std::string& call) const {
    if (!options_.timeoutMs) return std::nullopt;
    return Guard::Deadline{*options_.timeoutMs, ExitCode::kTimedOut, "timeout",
                           call + " did not return within " + std::to_string(*options_.timeoutMs) + " ms (--timeout)"};
  }

  const Options& options_;
  zq_reader* reader_ = nullptr;
};

// A tag call's outcome as the tool's commands read it; nullopt when it ended
// the run (a driver failure or a stop, reported already: *code).
std::optional<TagOutcome> TagResult(Session& s, const std::string& call, int32_t res, const zq_outcome& out,
                                    const Bytes& data, ExitCode* code) {
  if (res == kStopped) {
    *code = Interrupted();
    return std::nullopt;
  }
  if (res == ZQ_DRIVER_ERROR) {
    *code = s.DriverFailure(call, out.driver_result);
    return std::nullopt;
  }
  if (res == ZQ_BAD_ARGUMENT || res == ZQ_NO_MEMORY || res == ZQ_NO_DRIVER) {
    *code = Failure(ExitCode::kDriverError, "library", std::string(call) + ": " + zq_result_message(static_cast<zq_result>(res)));
    return std::nullopt;
  }
  TagOutcome t;
  t.ok = res == ZQ_OK;
  t.sw = out.status_word ? out.status_word : 0x6403;
  if (t.ok) t.sw = 0x9000;
  t.data = data;
  if (out.reader_status >= 0) t.readerStatus = static_cast<uint8_t>(out.reader_status);
  if (out.words_written >= 0) t.wordsWritten = static_cast<uint8_t>(out.words_written);
  return t;
}

int32_t PcArgument(const Options& o) { return o.pc ? static_cast<int32_t>(*o.pc) : -1; }

// ---- the commands -------------------------------------------------------------------------

nlohmann::json Base(const Options& o, bool ok) { return {{"command", CommandName(o.command)}, {"ok", ok}}; }

// Prints a refusal (status word not 90 00) of `what` and gives its exit code.
ExitCode Refused(const Options& o, const std::string& what, uint16_t sw, std::optional<uint8_t> readerStatus,
                 nlohmann::json extra = nlohmann::json::object()) {
  if (g_json) {
    nlohmann::json j = Base(o, false);
    j.update(extra);
    j.update(StatusJson(sw, readerStatus));
    Emit(j);
  } else {
    Say(what + " refused: " + StatusText(sw, readerStatus) + "\n");
  }
  return ExitCode::kRefused;
}

// The whole field through the library: *out the tags, *rounds the rounds
// it took and *several whether the field held more than one reply lists.
int32_t InventoryField(const Options& o, Session& s, bool withRssi, Inventory* out, unsigned* rounds, bool* several,
                       zq_outcome* outcome) {
  zq_inventory_options opts = zq_inventory_defaults();
  opts.with_rssi = withRssi ? 1 : 0;
  opts.rssi_raw = o.rssiRaw ? 1 : 0;
  zq_tag_list* list = nullptr;
  const int32_t res = s.Call("inventory", [&](zq_reader* r, zq_outcome* oc) { return zq_inventory(r, &opts, &list, oc); },
                             outcome);
  *out = Inventory{};
  out->ok = res == ZQ_OK;
  out->sw = outcome->status_word ? outcome->status_word : 0x6403;
  *rounds = 0;
  *several = false;
  if (list) {
    for (size_t i = 0; i < list->count; ++i) {
      const zq_tag& t = list->tags[i];
      InventoryTag tag;
      tag.pc = t.pc;
      tag.epc.assign(t.epc, t.epc + t.epc_length);
      tag.crc = t.crc;
      tag.rssiRaw = t.rssi_raw;
      out->tags.push_back(std::move(tag));
    }
    *rounds = list->rounds;
    *several = list->several_rounds != 0;
    zq_tag_list_free(list);
  }
  return res;
}

ExitCode RunInventoryOnce(const Options& o, Session& s, Inventory* out) {
  zq_outcome outcome;
  unsigned rounds = 0;
  bool several = false;
  const int32_t res = InventoryField(o, s, false, out, &rounds, &several, &outcome);
  if (res == kStopped) return Interrupted();
  if (res == ZQ_DRIVER_ERROR) return s.DriverFailure("RFRW_CLRW_Transmit (inventory)", outcome.driver_result);
  return ExitCode::kOk;
}

ExitCode CmdInventory(const Options& o, Session& s) {
  if (!o.watch) {
    Inventory inv;
    zq_outcome outcome;
    unsigned rounds = 0;
    bool several = false;
    const int32_t res = InventoryField(o, s, true, &inv, &rounds, &several, &outcome);
    if (res == kStopped) return Interrupted();
    if (res == ZQ_DRIVER_ERROR) return s.DriverFailure("RFRW_CLRW_Transmit (inventory)", outcome.driver_result);
    if (!inv.ok) return Refused(o, "inventory", inv.sw, std::nullopt);
    if (g_json) {
      nlohmann::json j = InventoryJson(inv, o.rssiRaw);
      j["rounds"] = rounds;
      j["several_rounds"] = several;
      Emit(j);
    } else {
      Say(InventoryText(inv, o.rssiRaw));
      if (several)
        Say("(the field held more tags than one reply lists: " + std::to_string(rounds) + " inventory rounds)\n");
    }
    return ExitCode::kOk;
  }
  WatchTracker tracker(o.goneMs);
  const uint32_t start = platform::TickCount();
  if (!g_json) Say("watching (every " + std::to_string(o.intervalMs) + " ms; Ctrl-C ends)\n");
  while (platform::StopSignalReceived() == 0) {
    Inventory inv;
    zq_outcome outcome;
    unsigned rounds = 0;
    bool several = false;
    const int32_t res = InventoryField(o, s, true, &inv, &rounds, &several, &outcome);
    const int32_t rc = res == ZQ_DRIVER_ERROR ? outcome.driver_result : RFRW_SUCCESS;
    const uint64_t now = platform::TickCount() - start;
    if (res == kStopped) break;
    if (rc != RFRW_SUCCESS) {
      // A failed round is reported and the watch goes on: the driver recovers the reader itself.
      if (g_json) Emit({{"event", "error"}, {"at_ms", now}, {"driver", DriverErrorJson("RFRW_CLRW_Transmit", rc)}});
      else Complain(DriverErrorText("RFRW_CLRW_Transmit (inventory)", rc));
    } else {
      if (!inv.ok) {
        if (g_json) Emit({{"event", "refused"}, {"at_ms", now}, {"status_word", StatusJson(inv.sw)["status_word"]}});
        else Complain("inventory refused: " + StatusText(inv.sw));
      }
      for (const WatchEvent& e : tracker.Round(inv, now)) {
        if (g_json) Emit(WatchEventJson(e, o.rssiRaw));
        else Say(WatchEventText(e, o.rssiRaw));
      }
    }
    platform::SleepUnlessSignalled(o.intervalMs);
  }
  const uint64_t duration = platform::TickCount() - start;
  if (g_json) Emit(WatchSummaryJson(tracker, duration, o.rssiRaw));
  else Say(WatchSummaryText(tracker, duration, o.rssiRaw));
  return ExitCode::kOk;
}

nlohmann::json TagJson(const Options& o) {
  nlohmann::json j = {{"epc", ToHex(o.epc)}, {"pc", ToHex(TagAddress(o.pc ? *o.pc : PcWordFor(o.epc.size()), {}))}};
  return j;
}

// Read: `words` words of `bank` from `pointer` of the tag with this EPC
// (pc -1: its PC word from the field); *outcome its decoded response.
ExitCode ReadWords(const Options& o, Session& s, const Bytes& epc, int32_t pc, Bank bank, uint32_t pointer,
                   uint8_t words, TagOutcome* outcome) {
  Bytes data(2 * static_cast<size_t>(words));
  size_t got = 0;
  zq_outcome out;
  const int32_t res = s.Call("read", [&](zq_reader* r, zq_outcome* oc) {
    return zq_read(r, epc.data(), epc.size(), pc, static_cast<zq_bank>(bank), pointer, words,
                   o.password ? o.password->data() : nullptr, data.data(), data.size(), &got, oc);
  }, &out);
  data.resize(got);
  ExitCode code = ExitCode::kOk;
  const std::optional<TagOutcome> t = TagResult(s, "RFRW_CLRW_Transmit (read)", res, out, data, &code);
  if (!t) return code;
  *outcome = *t;
  return ExitCode::kOk;
}

ExitCode CmdRead(const Options& o, Session& s) {
  TagOutcome out;
  if (ExitCode e = ReadWords(o, s, o.epc, PcArgument(o), o.bank, o.pointer, o.words, &out); e != ExitCode::kOk) return e;
  nlohmann::json where = TagJson(o);
  where.update({{"bank", BankName(o.bank)}, {"ptr", o.pointer}, {"words", o.words}});
  if (!out.ok) return Refused(o, "read", out.sw, out.readerStatus, where);
  if (g_json) {
    nlohmann::json j = Base(o, true);
    j.update(where);
    j["data"] = ToHex(out.data);
    if (o.bank == Bank::kTid) j["chip"] = ChipJson(out.data);
    j.update(StatusJson(out.sw));
    Emit(j);
  } else {
    std::string words;
    for (size_t i = 0; i + 1 < out.data.size(); i += 2) words += (i ? " " : "") + ToHex(&out.data[i], 2);
    Say(std::string(BankName(o.bank)) + "[" + std::to_string(o.pointer) + ".." + std::to_string(o.pointer + o.words - 1) +
        "]: " + words + "\n");
    if (o.bank == Bank::kTid && o.pointer == 0) Say(ChipText(out.data));
  }
  return ExitCode::kOk;
}

// Writes `data` at `pointer` of `bank` of the tag with this EPC (pc -1:
// its PC word from the field).
ExitCode WriteWords(const Options& o, Session& s, const Bytes& epc, int32_t pc, Bank bank, uint32_t pointer,
                    const Bytes& data, TagOutcome* outcome) {
  zq_outcome out;
  const int32_t res = s.Call("write", [&](zq_reader* r, zq_outcome* oc) {
    return zq_write(r, epc.data(), epc.size(), pc, static_cast<zq_bank>(bank), pointer, data.data(), data.size(), 0,
                    o.password ? o.password->data() : nullptr, oc);
  }, &out);
  ExitCode code = ExitCode::kOk;
  const std::optional<TagOutcome> t = TagResult(s, "RFRW_CLRW_Transmit (write)", res, out, {}, &code);
  if (!t) return code;
  *outcome = *t;
  return ExitCode::kOk;
}

ExitCode CmdWrite(const Options& o, Session& s) {
  TagOutcome out;
  if (ExitCode e = WriteWords(o, s, o.epc, PcArgument(o), o.bank, o.pointer, o.data, &out); e != ExitCode::kOk) return e;
  nlohmann::json where = TagJson(o);
  where.update({{"bank", BankName(o.bank)}, {"ptr", o.pointer}, {"data", ToHex(o.data)}});
  if (!out.ok) {
    if (out.wordsWritten) where["words_written"] = *out.wordsWritten;
    return Refused(o, "write" + (out.wordsWritten ? " (" + std::to_string(*out.wordsWritten) + " word(s) written)" : std::string()),
                   out.sw, out.readerStatus, where);
  }
  const size_t words = o.data.size() / 2;
  if (!o.verify) {
    if (g_json) {
      nlohmann::json j = Base(o, true);
      j.update(where);
      j.update(StatusJson(out.sw));
      Emit(j);
    } else {
      Say("wrote " + std::to_string(words) + (words == 1 ? " word" : " words") + " to " + BankName(o.bank) + "[" +
          std::to_string(o.pointer) + "]\n");
    }
    return ExitCode::kOk;
  }
  // The read-back addresses the tag as it now is: a write to the EPC bank
  // may have given it another PC word or EPC.
  const bool epcBank = o.bank == Bank::kEpc;
  const Bytes now = epcBank ? AddressAfterEpcWrite(o.Address(), o.pointer, o.data) : o.Address();
  TagOutcome back;
  const Bytes nowEpc(now.begin() + std::min<size_t>(2, now.size()), now.end());
  const int32_t nowPc = epcBank && now.size() >= 2 ? (now[0] << 8 | now[1]) : PcArgument(o);
  if (ExitCode e = ReadWords(o, s, nowEpc, nowPc, o.bank, o.pointer, static_cast<uint8_t>(words), &back);
      e != ExitCode::kOk)
    return e;
  const bool same = back.ok && back.data == o.data;
  if (g_json) {
    nlohmann::json j = Base(o, same);
    j.update(where);
    j.update(StatusJson(out.sw));
    j["verified"] = same;
    j["read_back"] = back.ok ? nlohmann::json(ToHex(back.data)) : nlohmann::json(nullptr);
    if (!back.ok) j["read_back_status"] = StatusJson(back.sw, back.readerStatus);
    Emit(j);
  } else {
    Say("wrote " + std::to_string(words) + (words == 1 ? " word" : " words") + " to " + BankName(o.bank) + "[" +
        std::to_string(o.pointer) + "]\n");
    if (same) Say("verified: read back " + ToHex(back.data) + "\n");
    else if (back.ok) Say("verify FAILED: read back " + ToHex(back.data) + ", wrote " + ToHex(o.data) + "\n");
    else Say("verify FAILED: read back refused: " + StatusText(back.sw, back.readerStatus) + "\n");
  }
  return same ? ExitCode::kOk : ExitCode::kRefused;
}

ExitCode TagStatusCommand(const Options& o, Session& s, const std::string& what, nlohmann::json where,
                          const std::string& doneText) {
  zq_outcome out;
  const int32_t pc = PcArgument(o);
  const int32_t res = s.Call(what, [&](zq_reader* r, zq_outcome* oc) {
    return what == "lock" ? zq_lock(r, o.epc.data(), o.epc.size(), pc, o.password->data(), o.payload.data(), oc)
                          : zq_kill(r, o.epc.data(), o.epc.size(), pc, o.password->data(), oc);
  }, &out);
  ExitCode code = ExitCode::kOk;
  const std::optional<TagOutcome> t = TagResult(s, "RFRW_CLRW_Transmit (" + what + ")", res, out, {}, &code);
  if (!t) return code;
  if (!t->ok) return Refused(o, what, t->sw, t->readerStatus, where);
  if (g_json) {
    nlohmann::json j = Base(o, true);
    j.update(where);
    j.update(StatusJson(t->sw));
    Emit(j);
  } else {
    Say(doneText + "\n");
  }
  return ExitCode::kOk;
}

ExitCode CmdLock(const Options& o, Session& s) {
  nlohmann::json where = TagJson(o);
  where["payload"] = ToHex(o.payload);
  if (!o.lockForms.empty()) where["lock"] = o.lockForms;
  // What was asked, not "locked": the payload may unlock as well.
  const std::string done = o.lockForms.empty()
                               ? "lock payload " + ToHex(o.payload) + " applied to " + ToHex(o.epc)
                               : o.lockForms + " applied to " + ToHex(o.epc) + " (payload " + ToHex(o.payload) + ")";
  return TagStatusCommand(o, s, "lock", where, done);
}

ExitCode CmdKill(const Options& o, Session& s) {
  return TagStatusCommand(o, s, "kill", TagJson(o), "killed " + ToHex(o.epc));
}

ExitCode CmdWriteEpc(const Options& o, Session& s) {
  nlohmann::json steps = nlohmann::json::array();
  auto finish = [&](bool ok, ExitCode code) {
    if (g_json) {
      nlohmann::json j = Base(o, ok);
      j.update({{"epc", ToHex(o.epc)}, {"new", ToHex(o.newEpc)}, {"steps", steps}});
      if (!o.newUri.empty()) j["uri"] = o.newUri;
      Emit(j);
    }
    return code;
  };
  auto step = [&](const std::string& name, bool ok, const std::string& text, nlohmann::json detail) {
    detail["step"] = name;
    detail["ok"] = ok;
    detail["text"] = text;
    steps.push_back(detail);
    if (!g_json) Say(std::to_string(steps.size()) + ". " + name + ": " + text + "\n");
  };

  // 1. The tag's own PC word, by inventory: its other bits are kept.
  Inventory before;
  if (ExitCode e = RunInventoryOnce(o, s, &before); e != ExitCode::kOk) return e;  // reported already
  if (!before.ok) {
    step("find", false, "inventory refused: " + StatusText(before.sw), StatusJson(before.sw));
    return finish(false, ExitCode::kRefused);
  }
  const InventoryTag* found = nullptr;
  for (const InventoryTag& t : before.tags)
    if (t.epc == o.epc) found = &t;
  if (!found) {
    step("find", false, "no tag with EPC " + ToHex(o.epc) + " in the field", {});
    return finish(false, ExitCode::kRefused);
  }
  const uint16_t oldPc = found->pc;
  const uint16_t newPc = PcWordFor(o.newEpc.size(), oldPc);
  char pcText[40];
  std::snprintf(pcText, sizeof pcText, "PC %04X", oldPc);
  step("find", true, "found " + ToHex(o.epc) + " (" + pcText + ")", {{"pc", ToHex(TagAddress(oldPc, {}))}});
  if (platform::StopSignalReceived()) {
    Complain("interrupted");
    return finish(false, ExitCode::kInterrupted);
  }

  // 2. The PC word (EPC bank word 1) and the EPC after it, in one write.
  Bytes data = TagAddress(newPc, o.newEpc);
  TagOutcome written;
  if (ExitCode e = WriteWords(o, s, o.epc, oldPc, Bank::kEpc, 1, data, &written); e != ExitCode::kOk)
    return e;  // reported already
  std::snprintf(pcText, sizeof pcText, "PC %04X", newPc);
  if (!written.ok) {
    nlohmann::json d = StatusJson(written.sw, written.readerStatus);
    if (written.wordsWritten) d["words_written"] = *written.wordsWritten;
    step("write", false,
         "refused" + (written.wordsWritten ? " after " + std::to_string(*written.wordsWritten) + " word(s)" : std::string()) +
             ": " + StatusText(written.sw, written.readerStatus),
         d);
    return finish(false, ExitCode::kRefused);
  }
  step("write", true,
       "wrote " + std::string(pcText) + " and EPC " + ToHex(o.newEpc) + " (" + std::to_string(data.size() / 2) +
           " words from EPC bank word 1)",
       {{"pc", ToHex(TagAddress(newPc, {}))}, {"words", data.size() / 2}});
  if (platform::StopSignalReceived()) {
    Complain("interrupted");
    return finish(false, ExitCode::kInterrupted);
  }

  // 3. The tag answers with its new EPC (and no longer with the old one).
  Inventory after;
  if (ExitCode e = RunInventoryOnce(o, s, &after); e != ExitCode::kOk) return e;  // reported already
  bool seenNew = false;
  bool seenOld = false;
  for (const InventoryTag& t : after.tags) {
    if (t.epc == o.newEpc && t.pc == newPc) seenNew = true;
    if (t.epc == o.epc) seenOld = true;
  }
  if (o.newEpc == o.epc) seenOld = false;
  const bool ok = after.ok && seenNew && !seenOld;
  std::string text = !after.ok ? "inventory refused: " + StatusText(after.sw)
                     : ok      ? "inventory shows " + ToHex(o.newEpc) + " (" + pcText + ")"
                     : !seenNew ? "inventory does not show " + ToHex(o.newEpc)
                                : "inventory still shows the old EPC " + ToHex(o.epc);
  step("verify", ok, text, {{"seen_new", seenNew}, {"seen_old", seenOld}});
  return finish(ok, ok ? ExitCode::kOk : ExitCode::kRefused);
}

ExitCode CmdPower(const Options& o, Session& s) {
  int32_t sts = 0;
  const int32_t rc = s.PowerCtrl(o.on ? 3 : 0, &sts);
  if (rc != RFRW_SUCCESS) return s.DriverFailure("RFRW_PowerCtrl", rc);
  const uint16_t sw = static_cast<uint16_t>(sts);
  if (sw != 0x9000) return Refused(o, std::string("power ") + (o.on ? "on" : "off"), sw, std::nullopt);
  if (g_json) {
    nlohmann::json j = Base(o, true);
    j["power"] = o.on ? "on" : "off";
    j.update(StatusJson(sw));
    Emit(j);
  } else {
    Say(std::string("RF power ") + (o.on ? "on" : "off") + "\n");
  }
  return ExitCode::kOk;
}

// One command whose response must end in 90 00; *data the bytes before it.
ExitCode Query(const Options& o, Session& s, const Bytes& command, const std::string& what, Bytes* data) {
  Bytes response;
  const int32_t rc = s.Transmit(command, &response);
  if (rc != RFRW_SUCCESS) return s.DriverFailure("RFRW_CLRW_Transmit (" + what + ")", rc);
  const Response r = SplitResponse(response);
  if (!r.ok()) return Refused(o, what, r.sw.value_or(0x6403), std::nullopt);
  *data = r.data;
  return ExitCode::kOk;
}

ExitCode CmdInfo(const Options& o, Session& s) {
  uint8_t version[8] = {};
  const int32_t vrc = s.DllVersion(version);
  if (vrc != RFRW_SUCCESS) return s.DriverFailure("RFRW_GetDllVersion", vrc);
  Bytes type, firmware, block;
  if (ExitCode e = Query(o, s, InformationCommand(kInfoReaderType), "reader type", &type); e != ExitCode::kOk) return e;
  if (ExitCode e = Query(o, s, InformationCommand(kInfoFirmware), "firmware version", &firmware); e != ExitCode::kOk) return e;
  Bytes response;
  const int32_t rc = s.Transmit(InformationCommand(kInfoBlock), &response);
  if (rc != RFRW_SUCCESS) return s.DriverFailure("RFRW_CLRW_Transmit (information block)", rc);
  const InfoBlock info = ParseInfoBlock(response);
  if (g_json) {
    nlohmann::json j = Base(o, true);
    j.update({{"driver_version", DllVersionText(version)},
              {"reader_type", ToHex(type)},
              {"firmware_version", ToHex(firmware)},
              {"information_block", InfoBlockJson(info)}});
    Emit(j);
  } else {
    Say("driver version   " + DllVersionText(version) + "\nreader type      " + ToHex(type) + "\nfirmware version " +
        ToHex(firmware) + "\n" + InfoBlockText(info));
  }
  return ExitCode::kOk;
}

ExitCode CmdVersion(const Options& o, Session& s) {
  uint8_t version[8] = {};
  const int32_t rc = s.DllVersion(version);
  if (rc != RFRW_SUCCESS) return s.DriverFailure("RFRW_GetDllVersion", rc);
  if (g_json) {
    nlohmann::json j = Base(o, true);
    j.update({{"tool_version", ZQ_TOOL_VERSION}, {"driver_version", DllVersionText(version)}});
    Emit(j);
  } else {
    Say(std::string("zelquar ") + ZQ_TOOL_VERSION + "\ndriver  " + DllVersionText(version) + "\n");
  }
  return ExitCode::kOk;
}

ExitCode CmdGpio(const Options& o, Session& s) {
  Bytes data;
  if (o.gpioWrite) {
    if (ExitCode e = Query(o, s, GpioWriteCommand(static_cast<uint8_t>(*o.gpioLine), o.on), "gpio write", &data);
        e != ExitCode::kOk)
      return e;
    if (g_json) {
      nlohmann::json j = Base(o, true);
      j.update({{"line", *o.gpioLine}, {"value", o.on ? 1 : 0}});
      Emit(j);
    } else {
      Say("GPIO " + std::to_string(*o.gpioLine) + " = " + (o.on ? "1" : "0") + "\n");
    }
    return ExitCode::kOk;
  }
  if (ExitCode e = Query(o, s, GpioReadCommand(), "gpio read", &data); e != ExitCode::kOk) return e;
  if (data.size() != 2) return Refused(o, "gpio read (short response)", 0x6403, std::nullopt);
  const unsigned lines = data[0] << 8 | data[1];
  if (g_json) {
    nlohmann::json j = Base(o, true);
    j["lines"] = ToHex(data);
    if (o.gpioLine) j.update({{"line", *o.gpioLine}, {"value", (lines >> *o.gpioLine) & 1}});
    Emit(j);
  } else if (o.gpioLine) {
    Say("GPIO " + std::to_string(*o.gpioLine) + " = " + std::to_string((lines >> *o.gpioLine) & 1) + "\n");
  } else {
    std::string bits;
    for (int i = 15; i >= 0; --i) bits.push_back((lines >> i) & 1 ? '1' : '0');
    Say("GPIO 15..0 = " + bits + " (" + ToHex(data) + ")\n");
  }
  return ExitCode::kOk;
}

ExitCode CmdSerial(const Options& o, Session& s) {
  Bytes data;
  if (o.serialSet) {
    if (ExitCode e = Query(o, s, *SerialSetCommand(o.serialText), "serial set", &data); e != ExitCode::kOk) return e;
    if (g_json) {
      nlohmann::json j = Base(o, true);
      j["serial"] = o.serialText;
      Emit(j);
    } else {
      Say("serial string set to \"" + o.serialText + "\"\n");
    }
    return ExitCode::kOk;
  }
  if (ExitCode e = Query(o, s, SerialGetCommand(), "serial get", &data); e != ExitCode::kOk) return e;
  const std::string text = DecodeSerialArea(data);
  if (g_json) {
    nlohmann::json j = Base(o, true);
    j.update({{"serial", text}, {"area", ToHex(data)}});
    Emit(j);
  } else {
    Say(text + "\n");
  }
  return ExitCode::kOk;
}

ExitCode CmdRaw(const Options& o, Session& s) {
  Bytes response;
  const int32_t rc = s.Transmit(o.raw, &response);
  if (rc != RFRW_SUCCESS) return s.DriverFailure("RFRW_CLRW_Transmit", rc);
  const Response r = SplitResponse(response);
  std::optional<uint8_t> status;
  if (r.sw && *r.sw != 0x9000 && !r.data.empty()) status = r.data[0];
  if (g_json) {
    nlohmann::json j = Base(o, r.ok());
    j.update({{"sent", ToHex(o.raw)}, {"response", ToHex(response)}, {"data", ToHex(r.data)}});
    if (r.sw) j.update(StatusJson(*r.sw, status));
    Emit(j);
  } else {
    Say("response " + (response.empty() ? std::string("(empty)") : ToHex(response)) + "\n");
    if (r.sw) Say(StatusText(*r.sw, status) + "\n");
    else Say("no status word (response shorter than 2 bytes)\n");
  }
  return r.ok() ? ExitCode::kOk : ExitCode::kRefused;
}

ExitCode CmdReaders(const Options& o) {
  size_t count = 0;
  if (zq_list_readers(nullptr, 0, &count) != ZQ_OK) return NoDriver();
  std::vector<zq_reader_info> readers(count);
  if (count && zq_list_readers(readers.data(), readers.size(), &count) != ZQ_OK) return NoDriver();
  readers.resize(std::min(count, readers.size()));
  if (g_json) {
    nlohmann::json list = nlohmann::json::array();
    for (const zq_reader_info& r : readers)
      list.push_back({{"serial", r.serial}, {"path", r.path}, {"simulated", r.simulated != 0}});
    nlohmann::json j = Base(o, true);
    j["readers"] = list;
    Emit(j);
  } else {
    for (const zq_reader_info& r : readers)
      Say(std::string(r.serial[0] ? r.serial : "(no serial number)") + "  " + (r.simulated ? "simulated" : "USB") + "  " +
          r.path + "\n");
    Say(std::to_string(readers.size()) + (readers.size() == 1 ? " reader\n" : " readers\n"));
  }
  return ExitCode::kOk;
}

// ---- the log reader ------------------------------------------------------------------------

void PrintLogLines(const std::string& text, std::optional<size_t> last) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  size_t from = last && *last < lines.size() ? lines.size() - *last : 0;
  for (size_t i = from; i < lines.size(); ++i) {
    if (g_json) Emit({{"record", lines[i]}});
    else Say(lines[i] + "\n");
  }
}

ExitCode CmdLog(const Options& o) {
  const std::string file = o.logFile.empty() ? DirectoryOf(DriverPath()) + "/ZELQUAR_DrvDLL_Log.LOG" : o.logFile;
  bool exists = false;
  std::vector<uint8_t> bytes = zq::logview::ReadFrom(file, 0, &exists);
  if (!exists) {
    return Failure(ExitCode::kRefused, "no log",
                   "cannot open the log file " + file + " (logging is on with LogFileFlg=1 in ZELQUAR_Drv.ini)");
  }
  std::string text;
  std::streamoff offset =
      static_cast<std::streamoff>(logview::DecodeToText(bytes.data(), bytes.size(), !o.follow, &text));
  PrintLogLines(text, o.last);
  while (o.follow && platform::SleepUnlessSignalled(200)) {
    std::ifstream again(file, std::ios::binary | std::ios::ate);
    if (again && again.tellg() < offset) offset = 0;  // a rotated file starts again
    bytes = zq::logview::ReadFrom(file, offset, &exists);
    text.clear();
    offset += static_cast<std::streamoff>(logview::DecodeToText(bytes.data(), bytes.size(), false, &text));
    PrintLogLines(text, std::nullopt);
  }
  return ExitCode::kOk;
}

// ---- epc: identities without a reader -------------------------------------------------------

ExitCode CmdEpc(const Options& o) {
  const EpcOutput out = RunEpc(o.epcRequest);
  if (g_json) Emit(out.json);
  else Say(out.text);
  return out.code;
}

// ---- main ---------------------------------------------------------------------------------

ExitCode RunCommand(const Options& o) {
  if (o.command == Command::kLog) return CmdLog(o);
  if (o.command == Command::kEpc) return CmdEpc(o);
  if (o.sim) {
    // Not ended half-way: the simulator's process must be known to be stopped.
    g_guard->Hold(true);
    std::string error;
    const bool started = StartSimulator(o.scenario, &error);
    g_guard->Hold(false);
    if (!started) return Failure(ExitCode::kSimulator, "simulator", error);
  }
  // The reader service is read over its API: no driver needed.
  if (o.command == Command::kAgent) {
    const std::string address = platform::EnvironmentValue("ZELQUAR_AGENT");
    return RunAgentCommand(o, address.empty() ? "127.0.0.1:8700" : address, platform::EnvironmentValue("ZELQUAR_AGENT_TOKEN"));
  }
  uint8_t version[8];
  if (zq_driver_version(version) != ZQ_OK) return NoDriver();
  Session session(o);
  if (o.command == Command::kVersion) return CmdVersion(o, session);
  if (o.command == Command::kReaders) return CmdReaders(o);
  const DriverSettings settings = ReadDriverSettings(DriverPath());
  if (ExitCode e = CheckReaderPresent(o, settings); e != ExitCode::kOk) return e;
  if (ExitCode e = session.Open(DefaultOpenBoundMs(settings)); e != ExitCode::kOk) return e;
  if (platform::StopSignalReceived() && !(o.command == Command::kInventory && o.watch)) return Interrupted();
  ExitCode code = ExitCode::kOk;
  switch (o.command) {
    case Command::kInventory: code = CmdInventory(o, session); break;
    case Command::kRead: code = CmdRead(o, session); break;
    case Command::kWrite: code = CmdWrite(o, session); break;
    case Command::kLock: code = CmdLock(o, session); break;
    case Command::kKill: code = CmdKill(o, session); break;
    case Command::kWriteEpc: code = CmdWriteEpc(o, session); break;
    case Command::kPower: code = CmdPower(o, session); break;
    case Command::kInfo: code = CmdInfo(o, session); break;
    case Command::kGpio: code = CmdGpio(o, session); break;
    case Command::kSerial: code = CmdSerial(o, session); break;
    case Command::kRaw: code = CmdRaw(o, session); break;
    case Command::kVersion:
    case Command::kReaders:
    case Command::kAgent:
    case Command::kLog:
    case Command::kEpc:
    case Command::kNone: break;
  }
  session.Close();
  return code;
}

}  // namespace
}  // namespace zq::tool

int main(int argc, char** argv) {
  using namespace zq::tool;
  const std::vector<std::string> args(argv + 1, argv + argc);
  const ParseResult parsed = ParseCommandLine(args);
  if (!parsed.ok) {
    std::cerr << "zelquar: " << parsed.error << "\n" << parsed.usage << "\n";
    std::cerr << "(zelquar " << (parsed.options.command == Command::kNone ? "" : std::string(CommandName(parsed.options.command)) + " ")
              << "--help for more)\n";
    return static_cast<int>(ExitCode::kUsage);
  }
  if (parsed.options.help) {
    std::cout << HelpText(parsed.options.command);
    return static_cast<int>(ExitCode::kOk);
  }
  g_json = parsed.options.json;
  zq::platform::CatchStopSignals();
  ExitCode code;
  {
    Guard guard;
    g_guard = &guard;
    code = RunCommand(parsed.options);
    guard.Hold(true);  // the simulator is stopped by this thread alone
    g_sim.Stop();
    g_guard = nullptr;
  }
  return static_cast<int>(code);
}
