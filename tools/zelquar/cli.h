// The command line of `zelquar`: every command's options, checked before
// anything is sent, and the help texts. Pure: no driver, no system calls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/zelquar/app.h"
#include "tools/zelquar/epc_command.h"

namespace zq::tool {

enum class Command {
  kNone,
  kInventory,
  kRead,
  kWrite,
  kLock,
  kKill,
  kWriteEpc,
  kPower,
  kInfo,
  kVersion,
  kGpio,
  kSerial,
  kRaw,
  kLog,
  kEpc,
  kReaders,
  kAgent,
};

struct Options {
  // Global.
  uint32_t port = 0x0100;
  std::string reader;                // --reader SERIAL: unit 0 of the reader with this USB serial number
  bool sim = false;
  std::string scenario;              // --sim=SCENARIO.json
  bool json = false;
  std::optional<uint32_t> timeoutMs;  // the longest one driver call may take
  std::optional<uint32_t> openTimeoutMs;  // the longest the open may take (default: OpenBoundMs)
  Command command = Command::kNone;
  bool help = false;                 // --help: print the help of `command` (or the overview)

  // inventory
  bool rssiRaw = false;
  bool watch = false;
  uint32_t intervalMs = 500;
  uint32_t goneMs = 0;  // a watched tag not seen for this long is reported gone

  // read, write, lock, kill, write-epc
  Bytes epc;
  std::optional<uint16_t> pc;  // --pc: the tag's PC word when it is not the plain one for its EPC length
  Bank bank = Bank::kUser;
  uint32_t pointer = 0;
  uint8_t words = 0;
  Bytes data;
  std::optional<Bytes> password;
  bool verify = false;
  Bytes payload;  // lock: from --payload or --lock
  std::string lockForms;  // lock: the --lock text, "" for --payload
  Bytes newEpc;   // write-epc
  std::string newUri;  // write-epc --uri: the identity to write (newEpc is its encoding)

  // power, gpio, serial, raw
  bool on = false;          // power on | gpio write value
  bool gpioWrite = false;
  std::optional<unsigned> gpioLine;
  bool serialSet = false;
  std::string serialText;
  Bytes raw;

  // log
  bool follow = false;
  std::string logFile;
  std::optional<size_t> last;

  // epc
  EpcRequest epcRequest;

  // agent: what to show of the reader service, and the events after which sequence number
  std::string agentWhat;
  uint64_t agentAfter = 0;

  // The tag's address (PC word and EPC) for the tag commands.
  Bytes Address() const { return TagAddress(pc ? *pc : PcWordFor(epc.size()), epc); }
};

struct ParseResult {
  bool ok = false;
  Options options;
  std::string error;  // what was wrong, when !ok
  std::string usage;  // the usage line of the command concerned (or the overall one)
};

// `args` are the arguments after the program name.
ParseResult ParseCommandLine(const std::vector<std::string>& args);

// "zelquar [GLOBAL] COMMAND ..." for one command, or the overall one for kNone.
std::string UsageLine(Command command);
// The --help text of a command; the overview (every command, the global
// options, the exit codes) for kNone.
std::string HelpText(Command command);
// The command's name as typed ("write-epc"); "" for kNone.
const char* CommandName(Command command);

}  // namespace zq::tool
