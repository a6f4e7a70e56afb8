// Sections: the command table and help texts; number and value readers;
// the parser.
#include "tools/zelquar/cli.h"

#include "client/fields.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace zq::tool {

// ---- the command table and help texts ------------------------------------------------

namespace {

struct CommandText {
  Command command;
  const char* name;
  const char* usage;  // after "zelquar [GLOBAL] "
  const char* help;   // the lines after the usage line
};

const CommandText kCommands[] = {
    {Command::kInventory, "inventory", "inventory [--rssi raw|dbm] [--watch [--interval MS] [--gone MS]]",
     "Lists the tags in the field: PC word, EPC, signal strength and how often each was seen.\n"
     "  --rssi dbm|raw   signal strength in dBm (default) or as the reader's raw value\n"
     "  --watch          keep taking inventories; print a line when a tag appears and when\n"
     "                   it has not been seen for a while; Ctrl-C (or SIGTERM) ends it with a summary\n"
     "  --interval MS    pause between inventories in watch mode (default 500)\n"
     "  --gone MS        a tag not seen for this long is reported gone (default 4 x interval, at least 2000)\n"},
    {Command::kRead, "read", "read --epc HEX --bank epc|tid|user|reserved [--ptr N] --words N [--password HEX] [--pc HEX]",
     "Reads N 16-bit words from word address --ptr (default 0) of a memory bank of the tag with this EPC.\n"
     "  --password HEX   the tag's access password (8 hex digits)\n"
     "  --pc HEX         the tag's PC word, when it is not the plain one for its EPC length\n"},
    {Command::kWrite, "write",
     "write --epc HEX --bank epc|tid|user|reserved [--ptr N] --data HEX [--password HEX] [--verify] [--pc HEX]",
     "Writes whole words (1 to 128) to a memory bank of the tag with this EPC, starting at word --ptr.\n"
     "  --verify         read the words back afterwards and compare them\n"
     "  --password HEX   the tag's access password (8 hex digits)\n"
     "  --pc HEX         the tag's PC word, when it is not the plain one for its EPC length\n"},
    {Command::kLock, "lock", "lock --epc HEX --password HEX (--payload HEX | --lock FIELD=ACTION[,...]) [--pc HEX]",
     "Locks or unlocks memory banks and passwords of a tag, with its access password.\n"
     "  --payload HEX    the 3-byte lock payload (mask in bits 23..14, actions in bits 13..4)\n"
     "  --lock FORMS     the payload by name: fields kill, access, epc, tid, user;\n"
     "                   actions unlock, permaunlock, lock, permalock (e.g. user=lock,access=permalock)\n"},
    {Command::kKill, "kill", "kill --epc HEX --password HEX [--pc HEX]",
     "Kills the tag with this EPC for good, with its kill password (8 hex digits, not 00000000).\n"},
    {Command::kWriteEpc, "write-epc", "write-epc --epc OLD (--new NEW | --uri URI) [--password HEX]",
     "Gives a tag a new EPC: finds it by inventory, writes the new EPC with the PC word that\n"
     "matches its length (its other bits kept), and checks by inventory that the tag answers\n"
     "with the new EPC.\n"
     "  --new HEX        the new EPC (whole words)\n"
     "  --uri URI        a GS1 identity to write: a tag URI such as\n"
     "                   urn:epc:tag:sgtin-96:1.0614141.812345.6789 (zelquar epc encode shows the bits)\n"
     "  --password HEX   the tag's access password (8 hex digits)\n"},
    {Command::kReaders, "readers", "readers",
     "Lists the readers present: USB serial number, device path, real or simulated.\n"
     "zelquar --reader SERIAL COMMAND picks one of them.\n"},
    {Command::kAgent, "agent", "agent status | agent tags | agent events [SEQ]",
     "Shows what the reader service zelquar-agent sees: its readers and health, its tag table, or its\n"
     "events after the sequence number SEQ (default 0). The service's address is $ZELQUAR_AGENT\n"
     "(default 127.0.0.1:8700), its access token $ZELQUAR_AGENT_TOKEN.\n"},
    {Command::kPower, "power", "power on|off", "Switches the reader's RF power on or off.\n"},
    {Command::kInfo, "info", "info",
     "Shows the driver version, the reader type, the reader's firmware version and its\n"
     "information block.\n"},
    {Command::kVersion, "version", "version", "Shows the tool's and the driver library's versions.\n"},
    {Command::kGpio, "gpio", "gpio read [N] | gpio write N 0|1",
     "Reads the USB bridge's GPIO lines (all, or line N), or switches line N (0 to 9;\n"
     "line 9 is the reader's power).\n"},
    {Command::kSerial, "serial", "serial get | serial set TEXT",
     "Reads or sets the USB bridge's serial string (printable ASCII, at most 30 characters).\n"},
    {Command::kRaw, "raw", "raw HEX",
     "Sends one application command (CLA INS P1 P2 [Lc data]) and shows the response and its status word.\n"},
    {Command::kLog, "log", "log [--follow] [--last N] [FILE]",
     "Prints the driver's log (default: ZELQUAR_DrvDLL_Log.LOG beside the driver library), one record\n"
     "a line. --last N prints only the last N records; --follow keeps reading as the file grows,\n"
     "until Ctrl-C.\n"},
    {Command::kEpc, "epc", kEpcUsage, kEpcHelp},
};

const CommandText* Find(Command c) {
  for (const CommandText& t : kCommands)
    if (t.command == c) return &t;
  return nullptr;
}

const char kGlobal[] =
    "Global options (before or after the command):\n"
    "  --port 0xCCUU    the port: COM number CC (1 to 32) and unit UU (0 to 31); default 0x0100\n"
    "  --sim[=FILE]     run a private simulated reader (optionally with a scenario file) for this run\n"
    "  --json           JSON output: one object per result (one per line in watch mode)\n"
    "  --timeout MS     give up when one driver call takes longer than MS\n"
    "  --open-timeout MS  give up when opening the port takes longer than MS (default 30000,\n"
    "                   more for a large firmware file): the unit does not answer\n"
    "  --help           this text; COMMAND --help for one command\n"
    "  --version        the tool's and the driver library's versions (the version command)\n";

const char kExitCodes[] =
    "Exit codes: 0 done; 1 the reader or the tag refused, or a check found other data;\n"
    "2 bad arguments (nothing sent); 3 a driver call failed; 4 the driver library could not be loaded;\n"
    "5 no reader; 6 the simulator could not be started; 7 timed out; 130 interrupted.\n";

}  // namespace

const char* CommandName(Command command) {
  const CommandText* t = Find(command);
  return t ? t->name : "";
}

std::string UsageLine(Command command) {
  const CommandText* t = Find(command);
  if (!t)
    return "usage: zelquar [--port 0x0100] [--sim[=SCENARIO.json]] [--json] [--timeout MS] [--open-timeout MS] COMMAND ...";
  return std::string("usage: zelquar [GLOBAL] ") + t->usage;
}

std::string HelpText(Command command) {
  const CommandText* t = Find(command);
  if (t) return UsageLine(command) + "\n" + t->help + "\n" + kGlobal;
  std::string text = UsageLine(Command::kNone) + "\n\nCommands:\n";
  for (const CommandText& c : kCommands) text += std::string("  ") + c.usage + "\n";
  text += "\n";
  text += kGlobal;
  text += "\n";
  text += kExitCodes;
  text += "\nWithout a reader: run with --sim, or start `zelquar-sim --daemon`.\n";
  return text;
}

// ---- number and value readers ----------------------------------------------------------

namespace {

// A whole number from low to high: decimal digits, or hex digits after 0x.
// A leading 0 does not make a number octal: "010" is ten.
bool ReadNumber(const std::string& text, uint64_t low, uint64_t high, uint64_t* out) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty()) return false;
  for (const char c : digits) {
    if (!(hex ? std::isxdigit(static_cast<unsigned char>(c)) : std::isdigit(static_cast<unsigned char>(c)))) return false;
  }
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(digits.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || !end || *end != '\0' || v < low || v > high) return false;
  *out = v;
  return true;
}

// A number a person may have meant as hex or octal: a leading 0 without 0x.
bool LooksLikeBareHex(const std::string& text) {
  return text.size() > 1 && text[0] == '0' && text[1] != 'x' && text[1] != 'X';
}

// Whether `text` is hex digits (with the separators ParseHex allows) whose
// count is odd: whole bytes need an even number.
bool OddHexDigits(const std::string& text) {
  size_t digits = 0;
  for (const char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) ++digits;
    else if (c != ' ' && c != ':' && c != '-' && c != '\t') return false;
  }
  return digits % 2 == 1;
}

struct Parser {
  std::vector<std::string> args;
  size_t at = 0;
  ParseResult result;

  bool Fail(const std::string& error) {
    result.ok = false;
    result.error = error;
    result.usage = UsageLine(result.options.command);
    return false;
  }

  // The value of an option: "--opt=VALUE" or the next argument.
  bool Value(const std::string& name, const std::optional<std::string>& inline_, std::string* out) {
    if (inline_) {
      *out = *inline_;
      return true;
    }
    if (at >= args.size()) return Fail(name + " needs a value");
    *out = args[at++];
    return true;
  }

  bool Number(const std::string& name, const std::string& text, uint64_t low, uint64_t high, uint64_t* out) {
    if (ReadNumber(text, low, high, out)) return true;
    return Fail(name + ": a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
                " (decimal, or hex with 0x) expected, not '" + text + "'");
  }

  bool Hex(const std::string& name, const std::string& text, Bytes* out) {
    auto b = ParseHex(text);
    if (!b && OddHexDigits(text)) return Fail(name + ": an even number of hex digits (whole bytes) expected, not '" + text + "'");
    if (!b) return Fail(name + ": hex digits expected, not '" + text + "'");
    *out = *b;
    return true;
  }

  bool Epc(const std::string& name, const std::string& text, Bytes* out) {
    if (!Hex(name, text, out)) return false;
    if (out->empty() || out->size() % 2 != 0 || out->size() > 62)
      return Fail(name + ": whole 16-bit words of hex, 1 to 31 words, expected ('" + text + "')");
    return true;
  }

  bool Password(const std::string& name, const std::string& text) {
    Bytes b;
    if (!Hex(name, text, &b)) return false;
    if (b.size() != 4) return Fail(name + ": 4 bytes (8 hex digits) expected, not '" + text + "'");
    result.options.password = b;
    return true;
  }
};

bool CommandFromName(const std::string& name, Command* out) {
  for (const CommandText& t : kCommands) {
    if (name == t.name) {
      *out = t.command;
      return true;
    }
  }
  return false;
}

}  // namespace

// ---- the parser ----------------------------------------------------------------------------

ParseResult ParseCommandLine(const std::vector<std::string>& args) {
  Parser p;
  p.args = args;
  Options& o = p.result.options;
  std::vector<std::string> positional;
  bool seen[64] = {};
  enum Seen { kEpc, kBank, kPtr, kWords, kData, kPayload, kLock, kNew, kRssi, kInterval, kGone, kPassword, kPc, kLast };
  bool commandNamed = false;

  while (p.at < args.size()) {
    const std::string arg = args[p.at++];
    if (arg.size() < 2 || arg[0] != '-' || arg[1] != '-') {
      if (!commandNamed && arg.size() && arg[0] != '-') {
        if (arg == "help") {
          o.help = true;
          commandNamed = true;
          if (p.at < args.size() && CommandFromName(args[p.at], &o.command)) ++p.at;
          continue;
        }
        if (!CommandFromName(arg, &o.command)) {
          p.Fail("no command '" + arg + "' (zelquar --help lists them)");
          return p.result;
        }
        commandNamed = true;
        continue;
      }
      if (arg == "-h") {
        o.help = true;
        continue;
      }
      if (arg.size() && arg[0] == '-' && arg != "-") {
        p.Fail("unknown option '" + arg + "'");
        return p.result;
      }
      positional.push_back(arg);
      continue;
    }
    std::string name = arg;
    std::optional<std::string> inlineValue;
    const size_t eq = arg.find('=');
    if (eq != std::string::npos) {
      name = arg.substr(0, eq);
      inlineValue = arg.substr(eq + 1);
    }
    std::string v;
    uint64_t n = 0;
    auto once = [&](int which) {
      if (seen[which]) return p.Fail(name + " given twice");
      seen[which] = true;
      return true;
    };
    auto noValue = [&]() {
      if (inlineValue) return p.Fail(name + " takes no value");
      return true;
    };
    const Command c = o.command;
    const bool tagCommand = c == Command::kRead || c == Command::kWrite || c == Command::kLock || c == Command::kKill ||
                            c == Command::kWriteEpc;
    auto forCommand = [&](bool allowed) {
      if (!allowed) {
        if (c == Command::kNone) return p.Fail(name + " belongs after a command");
        return p.Fail(name + " is not an option of " + CommandName(c));
      }
      return true;
    };
    bool good = true;
    if (name == "--version") {
      // The version command as the option every program answers.
      if (commandNamed && c != Command::kVersion) {
        good = p.Fail("--version is not an option of " + std::string(CommandName(c)));
      } else {
        good = noValue();
        o.command = Command::kVersion;
        commandNamed = true;
      }
    } else if (name == "--help") {
      good = noValue() && (o.help = true);
    } else if (name == "--json") {
      good = noValue() && (o.json = true);
    } else if (name == "--sim") {
      o.sim = true;
      if (inlineValue) {
        if (inlineValue->empty()) good = p.Fail("--sim=: a scenario file expected");
        o.scenario = *inlineValue;
      }
    } else if (name == "--port") {
      good = p.Value(name, inlineValue, &v) && p.Number(name, v, 0, 0xFFFF, &n);
      if (good && ((n >> 8) < 1 || (n >> 8) > 32 || (n & 0xFF) > 31))
        good = p.Fail("--port: COM number 1 to 32 in the high byte and unit 0 to 31 in the low byte (like 0x0100), not '" +
                      v + "'" + (LooksLikeBareHex(v) ? " (a number without 0x is decimal: write 0x" + v.substr(1) + ")" : ""));
      o.port = static_cast<uint32_t>(n);
    } else if (name == "--reader") {
      good = p.Value(name, inlineValue, &v);
      if (good && v.empty()) good = p.Fail("--reader: a serial number expected (zelquar readers lists them)");
      o.reader = v;
    } else if (name == "--timeout") {
      good = p.Value(name, inlineValue, &v) && p.Number(name, v, 1, 3600000, &n);
      o.timeoutMs = static_cast<uint32_t>(n);
    } else if (name == "--open-timeout") {
      good = p.Value(name, inlineValue, &v) && p.Number(name, v, 1, 3600000, &n);
      o.openTimeoutMs = static_cast<uint32_t>(n);
    } else if (c == Command::kEpc) {
      std::string why;
      good = p.Value(name, inlineValue, &v) && (ParseEpcOption(name, v, &o.epcRequest, &why) || p.Fail(why));
    } else if (name == "--rssi") {
      good = forCommand(c == Command::kInventory) && once(kRssi) && p.Value(name, inlineValue, &v);
      if (good && v != "raw" && v != "dbm") good = p.Fail("--rssi: raw or dbm, not '" + v + "'");
      o.rssiRaw = v == "raw";
    } else if (name == "--watch") {
      good = forCommand(c == Command::kInventory) && noValue() && (o.watch = true);
    } else if (name == "--interval") {
      good = forCommand(c == Command::kInventory) && once(kInterval) && p.Value(name, inlineValue, &v) &&
             p.Number(name, v, 10, 3600000, &n);
      o.intervalMs = static_cast<uint32_t>(n);
    } else if (name == "--gone") {
      good = forCommand(c == Command::kInventory) && once(kGone) && p.Value(name, inlineValue, &v) &&
             p.Number(name, v, 10, 86400000, &n);
      o.goneMs = static_cast<uint32_t>(n);
    } else if (name == "--epc") {
      good = forCommand(tagCommand) && once(kEpc) && p.Value(name, inlineValue, &v) && p.Epc(name, v, &o.epc);
    } else if (name == "--pc") {
      Bytes b;
      good = forCommand(tagCommand && c != Command::kWriteEpc) && once(kPc) && p.Value(name, inlineValue, &v) &&
             p.Hex(name, v, &b);
      if (good && b.size() != 2) good = p.Fail("--pc: 2 bytes (4 hex digits) expected, not '" + v + "'");
      if (good) o.pc = static_cast<uint16_t>(b[0] << 8 | b[1]);
    } else if (name == "--bank") {
      good = forCommand(c == Command::kRead || c == Command::kWrite) && once(kBank) && p.Value(name, inlineValue, &v);
      if (good) {
        auto bank = ParseBank(v);
        if (!bank) good = p.Fail("--bank: epc, tid, user or reserved, not '" + v + "'");
        else o.bank = *bank;
      }
    } else if (name == "--ptr") {
      good = forCommand(c == Command::kRead || c == Command::kWrite) && once(kPtr) && p.Value(name, inlineValue, &v) &&
             p.Number(name, v, 0, 0xFFFFFFFF, &n);
      o.pointer = static_cast<uint32_t>(n);
    } else if (name == "--words") {
      good = forCommand(c == Command::kRead) && once(kWords) && p.Value(name, inlineValue, &v) &&
             p.Number(name, v, 1, 255, &n);
      o.words = static_cast<uint8_t>(n);
    } else if (name == "--data") {
      good = forCommand(c == Command::kWrite) && once(kData) && p.Value(name, inlineValue, &v) && p.Hex(name, v, &o.data);
      if (good && (o.data.empty() || o.data.size() % 2 != 0 || o.data.size() > 256))
        good = p.Fail("--data: whole 16-bit words of hex, 1 to 128 words, expected ('" + v + "')");
    } else if (name == "--password") {
      good = forCommand(tagCommand) && once(kPassword) && p.Value(name, inlineValue, &v) && p.Password(name, v);
    } else if (name == "--verify") {
      good = forCommand(c == Command::kWrite) && noValue() && (o.verify = true);
    } else if (name == "--payload") {
      good = forCommand(c == Command::kLock) && once(kPayload) && p.Value(name, inlineValue, &v) &&
             p.Hex(name, v, &o.payload);
      if (good && o.payload.size() != 3) good = p.Fail("--payload: 3 bytes (6 hex digits) expected, not '" + v + "'");
    } else if (name == "--lock") {
      good = forCommand(c == Command::kLock) && once(kLock) && p.Value(name, inlineValue, &v);
      if (good) {
        std::string why;
        auto payload = LockPayload(v, &why);
        if (!payload) {
          good = p.Fail("--lock: " + why);
        } else {
          o.payload = *payload;
          o.lockForms = v;
        }
      }
    } else if (name == "--new") {
      good = forCommand(c == Command::kWriteEpc) && once(kNew) && p.Value(name, inlineValue, &v) &&
             p.Epc(name, v, &o.newEpc);
    } else if (name == "--uri") {
      good = forCommand(c == Command::kWriteEpc) && once(kNew) && p.Value(name, inlineValue, &v);
      if (good) {
        uint8_t epc[ZQ_EPC_MAX];
        size_t length = 0;
        uint16_t pcWord = 0;
        char why[160];
        if (zq::client::EncodeIdentity(v, epc, &length, &pcWord, why, sizeof why)) {
          o.newEpc.assign(epc, epc + length);
          o.newUri = v;
        } else {
          good = p.Fail("--uri: " + std::string(why));
        }
      }
    } else if (name == "--follow") {
      good = forCommand(c == Command::kLog) && noValue() && (o.follow = true);
    } else if (name == "--last") {
      good = forCommand(c == Command::kLog) && once(kLast) && p.Value(name, inlineValue, &v) &&
             p.Number(name, v, 1, 100000000, &n);
      o.last = static_cast<size_t>(n);
    } else {
      good = p.Fail("unknown option '" + name + "'");
    }
    if (!good) return p.result;
  }

  if (o.help) {
    p.result.ok = true;
    return p.result;
  }
  p.result.usage = UsageLine(o.command);
  auto fail = [&](const std::string& e) {
    p.Fail(e);
    return p.result;
  };
  auto noPositional = [&]() { return positional.empty(); };
  auto need = [&](int which, const char* option) -> bool {
    if (seen[which]) return true;
    p.Fail(std::string(option) + " is needed");
    return false;
  };
  switch (o.command) {
    case Command::kNone:
      return fail("a command is needed");
    case Command::kInventory:
      if (!noPositional()) return fail("inventory takes no argument '" + positional[0] + "'");
      if ((seen[kInterval] || seen[kGone]) && !o.watch) return fail("--interval and --gone go with --watch");
      if (o.goneMs == 0) o.goneMs = std::max<uint32_t>(2000, o.intervalMs * 4);
      break;
    case Command::kRead:
      if (!need(kEpc, "--epc") || !need(kBank, "--bank") || !need(kWords, "--words")) return p.result;
      if (!noPositional()) return fail("read takes no argument '" + positional[0] + "'");
      break;
    case Command::kWrite:
      if (!need(kEpc, "--epc") || !need(kBank, "--bank") || !need(kData, "--data")) return p.result;
      if (!noPositional()) return fail("write takes no argument '" + positional[0] + "'");
      break;
    case Command::kLock:
      if (!need(kEpc, "--epc") || !need(kPassword, "--password")) return p.result;
      if (seen[kPayload] == seen[kLock]) return fail("lock needs one of --payload and --lock");
      if (!noPositional()) return fail("lock takes no argument '" + positional[0] + "'");
      break;
    case Command::kKill:
      if (!need(kEpc, "--epc") || !need(kPassword, "--password")) return p.result;
      if (!noPositional()) return fail("kill takes no argument '" + positional[0] + "'");
      // A tag whose kill password is zero cannot be killed: a zero password
      // is never the right one to send.
      if (*o.password == Bytes(4, 0)) return fail("kill: the kill password 00000000 kills no tag; give the tag's own kill password");
      break;
    case Command::kWriteEpc:
      if (!need(kEpc, "--epc") || !need(kNew, "--new or --uri")) return p.result;
      if (!noPositional()) return fail("write-epc takes no argument '" + positional[0] + "'");
      break;
    case Command::kPower:
      if (positional.size() != 1 || (positional[0] != "on" && positional[0] != "off"))
        return fail("power needs on or off");
      o.on = positional[0] == "on";
      break;
    case Command::kAgent: {
      if (positional.empty() || (positional[0] != "status" && positional[0] != "tags" && positional[0] != "events"))
        return fail("agent needs status, tags or events");
      o.agentWhat = positional[0];
      if (positional.size() > (o.agentWhat == "events" ? 2u : 1u)) return fail("agent " + o.agentWhat + ": too many arguments");
      if (positional.size() == 2 && !ReadNumber(positional[1], 0, UINT64_MAX >> 1, &o.agentAfter))
        return fail("agent events: a sequence number expected, not '" + positional[1] + "'");
      break;
    }
    case Command::kInfo:
    case Command::kReaders:
    case Command::kVersion:
      if (!noPositional()) return fail(std::string(CommandName(o.command)) + " takes no argument '" + positional[0] + "'");
      break;
    case Command::kGpio: {
      uint64_t n = 0;
      if (positional.empty() || (positional[0] != "read" && positional[0] != "write"))
        return fail("gpio needs read or write");
      o.gpioWrite = positional[0] == "write";
      if (o.gpioWrite) {
        if (positional.size() != 3) return fail("gpio write needs a line and 0 or 1");
      } else if (positional.size() > 2) {
        return fail("gpio read takes at most a line");
      }
      if (positional.size() >= 2) {
        if (!ReadNumber(positional[1], 0, kGpioLineMax, &n))
          return fail("gpio: line 0 to " + std::to_string(kGpioLineMax) + " expected, not '" + positional[1] + "'");
        o.gpioLine = static_cast<unsigned>(n);
      }
      if (o.gpioWrite) {
        if (positional[2] != "0" && positional[2] != "1") return fail("gpio write: 0 or 1 expected, not '" + positional[2] + "'");
        o.on = positional[2] == "1";
      }
      break;
    }
    case Command::kSerial:
      if (positional.empty() || (positional[0] != "get" && positional[0] != "set")) return fail("serial needs get or set");
      o.serialSet = positional[0] == "set";
      if (o.serialSet) {
        if (positional.size() != 2) return fail("serial set needs one TEXT");
        if (!SerialSetCommand(positional[1]))
          return fail("serial set: printable ASCII, at most " + std::to_string(kSerialTextMax) + " characters");
        o.serialText = positional[1];
      } else if (positional.size() != 1) {
        return fail("serial get takes no further argument");
      }
      break;
    case Command::kRaw: {
      if (positional.size() != 1) return fail("raw needs one HEX command");
      auto b = ParseHex(positional[0]);
      if (!b) return fail("raw: hex digits expected, not '" + positional[0] + "'");
      if (b->size() < 4 || b->size() > 1552) return fail("raw: 4 to 1552 command bytes (CLA INS P1 P2 [Lc data])");
      o.raw = *b;
      break;
    }
    case Command::kEpc: {
      std::string why;
      if (!ParseEpcArguments(positional, &o.epcRequest, &why)) return fail(why);
      break;
    }
    case Command::kLog:
      if (positional.size() > 1) return fail("log takes at most one FILE");
      if (!positional.empty()) o.logFile = positional[0];
      break;
  }
  p.result.ok = true;
  return p.result;
}

}  // namespace zq::tool
