// `zelquar agent status|tags|events`: what a running reader service sees,
// read over its local API.
#pragma once

#include <string>

#include "client/agent_http.h"
#include "tools/zelquar/cli.h"

namespace zq::tool {

// Prints it (as a table, or its JSON with --json) and returns the exit code:
// kOk, kNoReader when no service answers, kRefused when it refuses (with a
// message on standard error).
ExitCode RunAgentCommand(const Options& options, const client::AgentAddress& agent);

}  // namespace zq::tool
