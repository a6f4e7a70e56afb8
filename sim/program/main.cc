// zelquar-sim: the reader simulator program. Three modes:
//   zelquar-sim [--dir DIR] [--name NAME] [--scenario FILE.json] [--serial S]
//               [--vid HEX] [--pid HEX] [--unit N] [--wire-timing] [--daemon]
//   zelquar-sim ctl [--dir DIR] [--name NAME] COMMAND...
//   zelquar-sim mkfw --version HHHH --blocks N [--last-bad] OUT.dwl
//
// Sections: argument parsing; server; ctl; mkfw; main.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <sstream>
#include <string>
#include <vector>

#include "platform/devices/sim_client.h"
#include "platform/os/access.h"
#include "platform/os/clock.h"
#include "platform/os/files.h"
#include "platform/os/process.h"
#include "platform/os/threads.h"
#include "platform/os/win32_errors.h"
#include "platform/sim_server/sim_server.h"
#include "sim/model/device.h"
#include "sim/model/firmware.h"
#include "sim/model/scenario.h"
#include "zq_version.h"

namespace {

using zq::sim::Bytes;
namespace platform = zq::platform;

// The usage lines in the form help2man takes for the synopsis.
constexpr const char kUsage[] =
    "Usage: zelquar-sim [--dir DIR] [--name NAME] [--scenario FILE.json] [OPTION]...\n"
    "  or:  zelquar-sim ctl [--dir DIR] [--name NAME] COMMAND...\n"
    "  or:  zelquar-sim mkfw --version HHHH --blocks N [--last-bad] OUT.dwl\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

// The --help text; help2man renders it into the man page, so options are
// listed one to a line, indented, with their meaning after them.
int Help() {
  std::fputs(kUsage, stdout);
  std::fputs(
      "\n"
      "Simulates a Zelquar UHF RFID reader/writer: its USB-UART bridge, the reader\n"
      "module and the Gen2 tags in its field. The driver finds the simulated reader\n"
      "the way it finds a real one, by its vendor and product ID, in the simulator\n"
      "directory: DIR, else $ZELQUAR_SIM_DIR, else $XDG_RUNTIME_DIR/zelquar-sim,\n"
      "else /tmp/zelquar-sim-UID. The server runs until SIGTERM, SIGINT or the\n"
      "control command quit, then removes its files.\n"
      "\n"
      "Options:\n"
      "  --dir DIR              the simulator directory to publish the device in\n"
      "  --name NAME            the device's name (letters, digits, _ and -; default reader0)\n"
      "  --scenario FILE.json   the tags in the field and the reader's settings\n"
      "  --serial S             the bridge's USB serial number (default SIM0001)\n"
      "  --vid HEX              the USB vendor ID (default FFF1)\n"
      "  --pid HEX              the USB product ID (default 7C02)\n"
      "  --unit N               the reader unit index the module answers to (0..31, default 0)\n"
      "  --wire-timing          pace UART bytes at the configured baud rate and add the\n"
      "                         reader's processing times (ahead of ordinary threads where\n"
      "                         the system allows: state shows realtime_pacing)\n"
      "  --daemon               detach once the device is published and print the server's pid\n"
      "  -h, --help             print this help and exit\n"
      "  --version              print the version and exit\n"
      "\n"
      "Commands:\n"
      "  ctl COMMAND...         send one control command (state, fault ..., unplug, replug, restart,\n"
      "                         tags load FILE, tag add JSON, tag remove EPC, tag rssi EPC RAW,\n"
      "                         tag move EPC JSON, read-range FLOOR FULL, reset, quit)\n"
      "                         to a running server and print its reply;\n"
      "                         exit status 0 for an OK reply, 1 for another, 2 for no answer\n"
      "  mkfw                   write a firmware file the simulated reader accepts: version\n"
      "                         HHHH, N blocks, --last-bad spoils its image check\n"
      "\n"
      "Exit status: 0 after a clean stop, 2 for bad arguments or an unreadable scenario.\n",
      stdout);
  return 0;
}

int Version() {
  std::printf("zelquar-sim %s\n", ZQ_VERSION_TEXT);
  return 0;
}

bool ParseHex16(const std::string& s, uint16_t* out) {
  if (s.empty() || s.size() > 4) return false;
  char* end = nullptr;
  unsigned long v = std::strtoul(s.c_str(), &end, 16);
  if (*end != '\0') return false;
  *out = static_cast<uint16_t>(v);
  return true;
}

bool ParseInt(const std::string& s, long lo, long hi, long* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  long v = std::strtol(s.c_str(), &end, 10);
  if (*end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

// Device names become file names and part of an interface path.
bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

// ---- server ----------------------------------------------------------------

// The largest scenario or tag file taken: far beyond any population a
// reply can list, far below what would exhaust memory.
constexpr size_t kMaxInputFile = 4 * 1024 * 1024;

// Reads a scenario or tag file: "" and the text, or why it is refused.
std::string ReadInputFile(const std::string& path, std::string* text) {
  switch (platform::ReadWholeFile(path, text, kMaxInputFile)) {
    case 0:
      return "";
    case platform::kErrorBadFileType:
      return "cannot read " + path + ": not a regular file";
    case platform::kErrorFileTooLarge:
      return "cannot read " + path + ": larger than " + std::to_string(kMaxInputFile / (1024 * 1024)) + " MiB";
    default:
      return "cannot read " + path;
  }
}

// One control line. Commands that name a file are read here and the model
// gets the text: it reads no files itself.
zq::sim::Device::ControlResult Control(zq::sim::Device& device, const std::string& line, uint64_t now) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string s; in >> s;) w.push_back(s);
  if (w.size() == 3 && w[0] == "tags" && w[1] == "load") {
    std::string text;
    if (std::string err = ReadInputFile(w[2], &text); !err.empty()) return {"ERR " + err, zq::sim::Device::Action::kNone};
    return device.LoadTags(text, w[2]);
  }
  return device.Control(line, now);
}

int Serve(const std::vector<std::string>& args) {
  zq::sim::DeviceOptions options;
  std::string dirOption, scenarioPath;
  bool daemon = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= args.size()) return false;
      *out = args[++i];
      return true;
    };
    std::string v;
    long n = 0;
    if (a == "--dir" && value(&dirOption)) continue;
    if (a == "--name" && value(&options.name) && ValidName(options.name)) continue;
    if (a == "--scenario" && value(&scenarioPath)) continue;
    if (a == "--serial" && value(&options.serial) && !options.serial.empty()) continue;
    if (a == "--vid" && value(&v) && ParseHex16(v, &options.vid)) continue;
    if (a == "--pid" && value(&v) && ParseHex16(v, &options.pid)) continue;
    if (a == "--unit" && value(&v) && ParseInt(v, 0, 31, &n)) {
      options.unit = static_cast<int>(n);
      continue;
    }
    if (a == "--wire-timing") {
      options.wire_timing = true;
      continue;
    }
    if (a == "--daemon") {
      daemon = true;
      continue;
    }
    std::fprintf(stderr, "zelquar-sim: bad argument %s\n", a.c_str());
    return Usage();
  }
  if (!scenarioPath.empty()) {
    std::string text;
    if (std::string err = ReadInputFile(scenarioPath, &text); !err.empty()) {
      std::fprintf(stderr, "zelquar-sim: %s\n", err.c_str());
      return 2;
    }
    if (std::string err = zq::sim::ParseJsonText(text, &options.scenario); !err.empty()) {
      std::fprintf(stderr, "zelquar-sim: %s: %s\n", scenarioPath.c_str(), err.c_str());
      return 2;
    }
  }
  zq::sim::Device device(options);
  if (std::string err = device.Reset(); !err.empty()) {
    std::fprintf(stderr, "zelquar-sim: scenario: %s\n", err.c_str());
    return 2;
  }

  const std::string dir = platform::SimulatorDirectory(dirOption);
  const std::string base = dir + "/" + options.name;
  const std::string hidPath = base + ".hid", ctlPath = base + ".ctl", jsonPath = base + ".json";
  if (const uint32_t e = platform::MakeDirectories(dir); e != 0) {
    if (e == platform::kErrorAccessDenied) {
      std::fprintf(stderr, "zelquar-sim: %s is refused: %s (use a directory of your own with --dir)\n", dir.c_str(),
                   platform::VerdictText(platform::LastRefusal()));
    } else {
      std::fprintf(stderr, "zelquar-sim: cannot create %s\n", dir.c_str());
    }
    return 1;
  }
  std::string reply;
  if (platform::ControlRequest(ctlPath, "state", &reply, 1000) == 0) {
    std::fprintf(stderr, "zelquar-sim: %s is already served\n", base.c_str());
    return 1;
  }
  if (daemon) {
    int r = platform::DaemonStart();
    if (r >= 0) return r;  // the parent: the child is published (or failed)
  }
  platform::RemoveFile(jsonPath);
  platform::SimServer server;
  if (uint32_t e = server.Start(hidPath, ctlPath); e != 0) {
    std::fprintf(stderr, "zelquar-sim: cannot serve %s (error %u)\n", base.c_str(), e);
    return 1;
  }
  // Paced bytes keep wire time only if the host's threads cannot hold them
  // up; without the right to run ahead of them the simulator still paces,
  // a little late when the CPUs are busy.
  if (options.wire_timing) device.SetRealtimePacing(platform::RunAheadOfOrdinaryThreads());
  auto publish = [&]() {
    nlohmann::json d = device.Description();
    d["server_pid"] = platform::CurrentProcessId();
    return platform::WriteFileAtomically(jsonPath, d.dump(2) + "\n");
  };
  if (publish() != 0) {
    std::fprintf(stderr, "zelquar-sim: cannot write %s\n", jsonPath.c_str());
    server.Shutdown();
    return 1;
  }
  platform::DaemonReady();

  auto now = []() { return static_cast<uint64_t>(platform::MonotonicMicroseconds()); };
  // Messages to the host wait here while its socket is full (a host busy
  // elsewhere for a few milliseconds meets one input report per byte of a
  // long reply), as a bridge's FIFO holds its bytes; they go, in order,
  // once the host reads again. They are lost only with the connection, or
  // beyond kMaxPending (a host that stopped reading for good).
  constexpr size_t kMaxPending = 65536;
  constexpr uint64_t kResendUs = 1000;  // as often as a USB host polls its interrupt endpoint
  std::deque<Bytes> pending;
  auto flush = [&]() {
    while (!pending.empty() && server.SendHid(pending.front().data(), pending.front().size())) pending.pop_front();
  };
  auto send = [&](const Bytes& m) {
    flush();
    if (pending.empty() && server.SendHid(m.data(), m.size())) return;
    if (pending.size() < kMaxPending) pending.push_back(m);
  };
  // A thread asleep on a timer wakes some tens of microseconds after it
  // (44 us median on the 2-core VM, 69 us at p90), which made every paced
  // byte that late, and so every reply's end: a third of a short exchange's
  // time above its wire time. For the last byte on its way the loop sleeps
  // until shortly before it is due and for the rest looks at its sockets
  // without sleeping (host messages are still taken as they come), so a
  // reply ends on time. The bytes before it keep their small lateness: their
  // due times do not depend on it, and spinning for each would hold a core
  // for as long as a reply takes.
  constexpr uint64_t kSpinUs = 80;
  for (bool running = true; running;) {
    int64_t deadline = -1;  // no limit
    if (std::optional<uint64_t> due = device.NextDue()) {
      const uint64_t spin = device.NextDueIsLast() ? kSpinUs : 0;
      deadline = *due > now() + spin ? static_cast<int64_t>(*due - spin) : 0;
    }
    if (!pending.empty()) {
      const auto retry = static_cast<int64_t>(now() + kResendUs);
      deadline = deadline < 0 ? retry : std::min(deadline, retry);
    }
    platform::SimServer::Event ev = server.Wait(deadline);
    switch (ev.kind) {
      case platform::SimServer::EventKind::kStop:
        running = false;
        break;
      case platform::SimServer::EventKind::kHidOpened:
        device.HidOpened();
        pending.clear();
        break;
      case platform::SimServer::EventKind::kHidClosed:
        device.HidClosed();
        pending.clear();
        break;
      case platform::SimServer::EventKind::kHidMessage:
        for (const Bytes& m : device.HidMessage(ev.data.data(), ev.data.size(), ev.atUs >= 0 ? static_cast<uint64_t>(ev.atUs) : now())) send(m);
        break;
      case platform::SimServer::EventKind::kControlLine: {
        zq::sim::Device::ControlResult r = Control(device, ev.line, now());
        const auto action = r.action;
        if (action == zq::sim::Device::Action::kUnplug || action == zq::sim::Device::Action::kRestart) {
          // The device vanishes: open handles end, the interface is no longer listed.
          platform::RemoveFile(jsonPath);
          server.StopHid();
          device.HidClosed();
          pending.clear();
        }
        if (action == zq::sim::Device::Action::kReplug || action == zq::sim::Device::Action::kRestart) {
          if (server.ListenHid() != 0 || publish() != 0) r.reply = "ERR cannot publish the device again";
        }
        server.ReplyControl(ev.control, r.reply);
        if (r.action == zq::sim::Device::Action::kQuit) running = false;
        break;
      }
      default:
        break;
    }
    flush();
    for (const Bytes& m : device.DueInputReports(now())) send(m);
  }
  platform::RemoveFile(jsonPath);
  server.Shutdown();
  return 0;
}

// ---- ctl -------------------------------------------------------------------

int Ctl(const std::vector<std::string>& args) {
  std::string dir, name = "reader0", command;
  size_t i = 0;
  for (; i < args.size(); ++i) {
    if (args[i] == "--dir" && i + 1 < args.size()) {
      dir = args[++i];
    } else if (args[i] == "--name" && i + 1 < args.size()) {
      name = args[++i];
    } else {
      break;
    }
  }
  for (; i < args.size(); ++i) command += (command.empty() ? "" : " ") + args[i];
  if (command.empty() || !ValidName(name)) return Usage();
  const std::string simDir = platform::SimulatorDirectory(dir);
  if (platform::CheckSimulatorDirectory(simDir) == platform::kErrorAccessDenied) {
    std::fprintf(stderr, "zelquar-sim ctl: %s is refused: %s\n", simDir.c_str(),
                 platform::VerdictText(platform::LastRefusal()));
    return 2;
  }
  const std::string ctlPath = simDir + "/" + name + ".ctl";
  std::string reply;
  if (uint32_t e = platform::ControlRequest(ctlPath, command, &reply, 10000); e != 0) {
    std::fprintf(stderr, "zelquar-sim ctl: no answer from %s (error %u)\n", ctlPath.c_str(), e);
    return 2;
  }
  std::printf("%s\n", reply.c_str());
  return reply.rfind("OK", 0) == 0 ? 0 : 1;
}

// ---- mkfw ------------------------------------------------------------------

int Mkfw(const std::vector<std::string>& args) {
  uint16_t version = 0;
  long blocks = 0;
  bool haveVersion = false, lastBad = false;
  std::string out;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--version" && i + 1 < args.size() && args[i + 1].size() == 4 && ParseHex16(args[i + 1], &version)) {
      haveVersion = true;
      ++i;
    } else if (args[i] == "--blocks" && i + 1 < args.size() && ParseInt(args[i + 1], 1, 32767, &blocks)) {
      ++i;
    } else if (args[i] == "--last-bad") {
      lastBad = true;
    } else if (out.empty() && !args[i].empty() && args[i][0] != '-') {
      out = args[i];
    } else {
      return Usage();
    }
  }
  if (!haveVersion || blocks == 0 || out.empty()) return Usage();
  Bytes file = zq::sim::BuildFirmwareFile(version, static_cast<unsigned>(blocks), lastBad);
  if (platform::WriteFileAtomically(out, std::string(file.begin(), file.end())) != 0) {
    std::fprintf(stderr, "zelquar-sim mkfw: cannot write %s\n", out.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "ctl") return Ctl({args.begin() + 1, args.end()});
  if (!args.empty() && args[0] == "mkfw") return Mkfw({args.begin() + 1, args.end()});
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) return Help();
  if (!args.empty() && args[0] == "--version") return Version();
  return Serve(args);
}
