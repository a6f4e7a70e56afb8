// The tool's run of one command: its output, the private simulator, the
// driver's place, the guard that bounds every driver call and ends the
// process on a stop signal, the checks before the open, and the Session
// through which the commands reach the reader (libzelquar).
//
// Sections: output; the private simulator and the driver; the guard; before
// the open; the session; tag outcomes.
#pragma once

#include <climits>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "ZELQUAR_Drv.h"
#include "platform/os/clock.h"
#include "platform/os/stop_signals.h"
#include "tools/zelquar/app.h"
#include "tools/zelquar/cli.h"
#include "tools/zelquar/report.h"
#include "zelquar.h"

namespace zq::tool {

// ---- output ---------------------------------------------------------------------------

// --json: every result as one JSON object a line on standard output.
extern bool g_json;

void Emit(const nlohmann::json& j);
void Say(const std::string& text);
void Complain(const std::string& text);

// A failure of the run as a whole (no driver, no reader, ...): a JSON
// object on standard output with --json, and always the text on standard
// error.
ExitCode Failure(ExitCode code, const std::string& what, const std::string& text, nlohmann::json extra = {});

// How to get a reader, for the failures that found none.
extern const char kHowToGetAReader[];

// ---- the private simulator and the driver ----------------------------------------------------

// The directory part of `path` ("." for none). Pure.
std::string DirectoryOf(const std::string& path);

// Starts zelquar-sim from this program's directory in a directory of its
// own and points the driver at it; false with *error when it could not.
bool StartSimulator(const std::string& scenario, std::string* error);
// Stops the simulator StartSimulator started and removes its directory.
void StopSimulator();

// The driver library's path: $ZELQUAR_LIBRARY, else PREFIX/lib/zelquar.
std::string DriverPath();
ExitCode NoDriver();

// ---- the guard: deadlines and stop signals ------------------------------------------------

// Ends the process now: no exit handlers, no static destructors. The
// driver's detach must not run while a thread of ours is still inside the
// driver; the port entry left behind is taken over by the next open, as
// for any process that ended, and the system closes the device.
[[noreturn]] void EndNow(ExitCode code, const std::string& what, const std::string& text);

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

// The guard of this run (main's), while it runs.
extern Guard* g_guard;

ExitCode Interrupted();

// A Session call that did not run, or whose outcome no longer counts,
// because a stop signal came (not a driver result).
inline constexpr int32_t kStopped = INT32_MIN;
// A Session call that zelquar-agent, which keeps the reader open, does not
// offer (not a driver result).
inline constexpr int32_t kNotThroughAgent = INT32_MIN + 1;

// "unit 1 on COM 1 (port 0x0101)".
std::string UnitText(uint32_t port);

// ---- before the open: a reader there at all, and how long its open may take ----------------

// The INI file beside the driver, as the driver reads it.
struct DriverSettings {
  bool found = false;
  std::string pidVid;        // the device-path fragment of the bridge
  std::string firmwarePath;  // the firmware file the open compares and downloads
};

DriverSettings ReadDriverSettings(const std::string& driverPath);

// How long an open may take before its unit counts as not answering: a
// healthy open (power-up, firmware check, operating mode) takes a second or
// two; a download adds one exchange per 39-byte record of the firmware file.
uint32_t DefaultOpenBoundMs(const DriverSettings& d);

// kOk when a bridge the driver would open is present (a real one or a
// published simulator), else the no-reader failure, at once: the driver's
// own search would retry for seconds first. Without the INI file the
// driver reports that itself.
ExitCode CheckReaderPresent(const Options& o, const DriverSettings& d);

// ---- the session ------------------------------------------------------------------------

class Session {
 public:
  explicit Session(const Options& o) : options_(o) {}
  ~Session() { Close(); }

  // Opens the port (or the reader --reader names) within `boundMs` unless
  // --timeout bounds every call; the failure's exit code (and its message
  // printed) or kOk.
  ExitCode Open(uint32_t boundMs);
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
    if (res == ZQ_NOT_THROUGH_AGENT) return kNotThroughAgent;
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
    if (rc == kNotThroughAgent) {
      return Failure(ExitCode::kNoReader, "agent", call + ": " + zq_result_message(ZQ_NOT_THROUGH_AGENT));
    }
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

// ---- tag outcomes -------------------------------------------------------------------------

// A tag call's outcome as the tool's commands read it; nullopt when it ended
// the run (a driver failure or a stop, reported already: *code).
std::optional<TagOutcome> TagResult(Session& s, const std::string& call, int32_t res, const zq_outcome& out,
                                    const Bytes& data, ExitCode* code);

// --pc as the library takes it (-1: from the field).
int32_t PcArgument(const Options& o);

// The "command" and "ok" members of a command's JSON object.
nlohmann::json Base(const Options& o, bool ok);

// Prints a refusal (status word not 90 00) of `what` and gives its exit code.
ExitCode Refused(const Options& o, const std::string& what, uint16_t sw, std::optional<uint8_t> readerStatus,
                 nlohmann::json extra = nlohmann::json::object());

}  // namespace zq::tool
