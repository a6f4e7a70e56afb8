// The tool's commands, each on an open Session (or none), printing its
// result as text or JSON and giving its exit code.
#pragma once

#include "tools/zelquar/cli.h"
#include "tools/zelquar/session.h"

namespace zq::tool {

// tag_commands.cc: the field and one tag.
ExitCode CmdInventory(const Options& o, Session& s);
ExitCode CmdRead(const Options& o, Session& s);
ExitCode CmdWrite(const Options& o, Session& s);
ExitCode CmdLock(const Options& o, Session& s);
ExitCode CmdKill(const Options& o, Session& s);
ExitCode CmdWriteEpc(const Options& o, Session& s);

// reader_commands.cc: the reader and the bridge, the log, identities.
ExitCode CmdPower(const Options& o, Session& s);
ExitCode CmdInfo(const Options& o, Session& s);
ExitCode CmdVersion(const Options& o, Session& s);
ExitCode CmdGpio(const Options& o, Session& s);
ExitCode CmdSerial(const Options& o, Session& s);
ExitCode CmdRaw(const Options& o, Session& s);
ExitCode CmdReaders(const Options& o);
ExitCode CmdLog(const Options& o);
ExitCode CmdEpc(const Options& o);

}  // namespace zq::tool
