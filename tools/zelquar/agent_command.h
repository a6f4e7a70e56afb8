// `zelquar agent status|tags|events`: what a running reader service sees,
// read over its local API.
#pragma once

#include <string>

#include "tools/zelquar/cli.h"

namespace zq::tool {

// Prints it (as a table, or its JSON with --json) and returns the exit code:
// kOk, kNoReader when no service answers, kRefused when it refuses (with a
// message on standard error). `address` is HOST:PORT, `token` "" for none.
ExitCode RunAgentCommand(const Options& options, const std::string& address, const std::string& token);

}  // namespace zq::tool
