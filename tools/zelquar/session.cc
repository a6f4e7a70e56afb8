// Sections: output; the private simulator; the driver; the guard; before the
// open; tag outcomes.
#include "tools/zelquar/session.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <vector>

#include "platform/devices/hid.h"
#include "platform/os/environment.h"
#include "platform/os/ini.h"
#include "platform/os/process.h"
#include "platform/os/run_program.h"

namespace zq::tool {

namespace platform = zq::platform;

// ---- output ---------------------------------------------------------------------------

bool g_json = false;

void Emit(const nlohmann::json& j) { std::cout << j.dump() << "\n" << std::flush; }
void Say(const std::string& text) { std::cout << text << std::flush; }
void Complain(const std::string& text) { std::cerr << "zelquar: " << text << "\n" << std::flush; }

ExitCode Failure(ExitCode code, const std::string& what, const std::string& text, nlohmann::json extra) {
  if (g_json) {
    nlohmann::json j = {{"ok", false}, {"error", what}, {"message", text}, {"exit_code", static_cast<int>(code)}};
    if (extra.is_object()) j.update(extra);
    Emit(j);
  }
  Complain(text);
  return code;
}

extern const char kHowToGetAReader[];
const char kHowToGetAReader[] =
    "no reader found. Plug in a reader and install the udev rule (so your user may open its hidraw\n"
    "node), or run this command with --sim for a private simulated reader, or start one for every\n"
    "program with `zelquar-sim --daemon`.";

// ---- the private simulator --------------------------------------------------------------

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

namespace {

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

}  // namespace

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


void StopSimulator() { g_sim.Stop(); }

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

[[noreturn]] void EndNow(ExitCode code, const std::string& what, const std::string& text) {
  Failure(code, what, text);
  g_sim.Stop();
  platform::ExitProcessNow(static_cast<int>(code));
}


Guard* g_guard = nullptr;

ExitCode Interrupted() { return Failure(ExitCode::kInterrupted, "interrupted", "interrupted"); }

std::string UnitText(uint32_t port) {
  char text[64];
  std::snprintf(text, sizeof text, "unit %u on COM %u (port 0x%04X)", port & 0xFF, (port >> 8) & 0xFF, port);
  return text;
}

// ---- before the open ---------------------------------------------------------------------

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

uint32_t DefaultOpenBoundMs(const DriverSettings& d) {
  constexpr uint64_t kBaseMs = 30000;
  constexpr uint64_t kPerBlockMs = 100;
  std::error_code ec;
  const uint64_t size = d.firmwarePath.empty() ? 0 : std::filesystem::file_size(d.firmwarePath, ec);
  const uint64_t blocks = ec || size < 4 ? 0 : (size - 4) / 39;
  return static_cast<uint32_t>(std::min<uint64_t>(kBaseMs + blocks * kPerBlockMs, 3600000));
}

ExitCode CheckReaderPresent(const Options& o, const DriverSettings& d) {
  if (!d.found) return ExitCode::kOk;
  std::vector<platform::DeviceInterface> bridges;
  if (platform::ListReaderBridges(d.pidVid, &bridges) == 0 && !bridges.empty()) return ExitCode::kOk;
  return Failure(ExitCode::kNoReader, "no reader",
                 (o.sim ? std::string("the simulated reader is not there (") + d.pidVid + ")" : std::string(kHowToGetAReader)) +
                     "\n(looked for a bridge " + d.pidVid + " before opening " + UnitText(o.port) + ")");
}

// A command's run: the reader once opened, through the client library.
// ---- the session ------------------------------------------------------------------------

ExitCode Session::Open(uint32_t boundMs) {
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

// ---- tag outcomes -------------------------------------------------------------------------

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

nlohmann::json Base(const Options& o, bool ok) { return {{"command", CommandName(o.command)}, {"ok", ok}}; }

ExitCode Refused(const Options& o, const std::string& what, uint16_t sw, std::optional<uint8_t> readerStatus,
                 nlohmann::json extra) {
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


}  // namespace zq::tool
