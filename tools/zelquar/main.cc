// zelquar: the reader for people, on the client library.
//
// The driver is loaded the way an application loads it, by libzelquar:
// libZELQUAR_Drv.so from PREFIX/lib/zelquar beside this program's
// PREFIX/bin (or from $ZELQUAR_LIBRARY). The port is opened once per run
// and closed at the end, also after Ctrl-C. The run's parts are in
// session.h, the commands in tag_commands.cc and reader_commands.cc.
#include <iostream>
#include <string>
#include <vector>

#include "platform/os/stop_signals.h"
#include "tools/zelquar/agent_command.h"
#include "tools/zelquar/commands.h"

namespace zq::tool {
namespace {

namespace platform = zq::platform;

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
    return RunAgentCommand(o, client::AgentFromEnvironment());
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
    StopSimulator();
    g_guard = nullptr;
  }
  return static_cast<int>(code);
}
