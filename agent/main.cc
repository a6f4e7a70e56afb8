// zelquar-agent: the reader service. Owns the readers of its configuration,
// inventories them continuously, journals what it sees and serves it over
// a local HTTP API, an event stream and a live view in the browser.
//
// Sections: settings; the private simulator; start and stop.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <thread>

#include "agent/http_api.h"
#include "agent/journal.h"
#include "agent/model.h"
#include "agent/mqtt/publisher.h"
#include "agent/service.h"
#include "platform/os/access.h"
#include "platform/os/allocator.h"
#include "platform/os/environment.h"
#include "platform/os/files.h"
#include "platform/os/module.h"
#include "platform/os/process.h"
#include "platform/os/run_program.h"
#include "platform/os/stop_signals.h"

namespace {

namespace platform = zq::platform;
using zq::agent::Config;

constexpr const char* kDefaultConfig = "/etc/zelquar/agent.conf";

enum ExitCode { kOk = 0, kFailed = 1, kUsage = 2 };

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// ---- settings ------------------------------------------------------------------------------

// The configuration file (the named one must exist; the default one only
// when it does), then the flags.
bool Settings(const std::vector<std::string>& args, Config* config) {
  std::string file, error;
  bool help = false;
  Config flagsOnly;
  if (std::string e = zq::agent::ApplyFlags(args, &flagsOnly, &file, &help); !e.empty()) {
    std::cerr << "zelquar-agent: " << e << "\n" << zq::agent::kUsage;
    std::exit(kUsage);
  }
  if (help) {
    std::cout << zq::agent::kUsage
              << "\nKeeps the readers open, inventories them continuously, journals every event and serves\n"
                 "them on http://127.0.0.1:8700/ (docs/agent.md). The configuration file is "
              << kDefaultConfig << " unless --config names another; flags override it.\n";
    std::exit(kOk);
  }
  const bool named = !file.empty();
  if (!named) file = kDefaultConfig;
  std::ifstream in(file);
  if (!in && named) {
    std::cerr << "zelquar-agent: " << file << ": cannot be read\n";
    return false;
  }
  if (in) {
    std::ostringstream text;
    text << in.rdbuf();
    if (std::string e = zq::agent::ApplyConfigText(text.str(), file, config); !e.empty()) {
      std::cerr << "zelquar-agent: " << e << "\n";
      return false;
    }
  }
  zq::agent::ApplyFlags(args, config, &file, &help);
  if (std::string e = zq::agent::CheckConfig(*config); !e.empty()) {
    std::cerr << "zelquar-agent: " << e << "\n";
    return false;
  }
  if (config->webDir.empty()) {
    const std::string installed = DirectoryOf(DirectoryOf(platform::OwnProgramPath())) + "/share/zelquar/web";
    config->webDir = platform::FileExistsError(installed + "/index.html") == 0 ? installed : ZQ_AGENT_SOURCE_WEB_DIR;
  }
  return true;
}

// ---- the private simulator -----------------------------------------------------------------

struct PrivateSimulator {
  std::string dir;
  uint32_t pid = 0;
  ~PrivateSimulator() {
    if (pid) platform::EndProcess(pid, 3000);
    if (!dir.empty()) platform::RemoveDirectoryTree(dir);
  }
};

bool StartSimulator(const std::string& scenario, PrivateSimulator* sim) {
  const std::string program = DirectoryOf(platform::OwnProgramPath()) + "/zelquar-sim";
  sim->dir = platform::MakePrivateDirectory("zelquar-agent-sim-");
  if (sim->dir.empty()) return false;
  std::vector<std::string> argv{program, "--dir", sim->dir, "--daemon"};
  if (!scenario.empty()) argv.insert(argv.end(), {"--scenario", scenario});
  std::string out;
  if (platform::RunProgram(argv, &out) != 0) {
    std::cerr << "zelquar-agent: the simulator " << program << " did not start" << (scenario.empty() ? "" : " with " + scenario) << "\n";
    return false;
  }
  sim->pid = static_cast<uint32_t>(std::strtoul(out.c_str(), nullptr, 10));
  platform::SetEnvironmentValue("ZELQUAR_SIM_DIR", sim->dir);
  return true;
}

std::string BootId() {
  std::random_device r;
  char text[20];
  std::snprintf(text, sizeof text, "%08x%08x", r(), r());
  return text;
}

}  // namespace

// ---- start and stop ------------------------------------------------------------------------

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  Config config;
  if (!Settings(args, &config)) return kUsage;
  // The API's pool threads take turns building the tag list, tens of
  // megabytes with 10,000 tags: with the allocator's eight arenas a core,
  // the service came to hold that peak once per arena (470 MiB after minutes
  // of a page listing the tags every second). One arena a core is as many
  // as can be busy at once.
  platform::LimitAllocatorArenas(static_cast<int>(std::max(2u, std::thread::hardware_concurrency())));
  platform::CatchStopSignals();
  platform::CatchReloadSignal();
  PrivateSimulator sim;
  if (config.sim && !StartSimulator(config.scenario, &sim)) return kFailed;

  zq::agent::Journal journal;
  const std::string boot = BootId();
  if (!platform::PrepareDataFile(config.journal) ||
      journal.Open(config.journal, boot, config.journalMaxEvents, static_cast<int64_t>(config.journalMaxAgeS) * 1000) !=
          zq::agent::JournalResult::kOk) {
    std::cerr << "zelquar-agent: " << config.journal << ": the journal cannot be opened (a file of this user, 0600)\n";
    return kFailed;
  }
  zq::agent::Service service(config, &journal);
  zq::agent::HttpApi api(config, &service, &journal);
  std::string error;
  if (!api.Bind(&error)) {
    std::cerr << "zelquar-agent: " << error << "\n";
    return kFailed;
  }
  service.Start();
  std::thread http([&] { api.Serve(); });
  // The MQTT publisher, when a broker is configured: after the readers start,
  // stopped after they stop (their `offline` events go out) and before the journal closes.
  std::unique_ptr<zq::agent::mqtt::Bridge> mqtt;
  if (!config.mqttUrl.empty()) {
    mqtt = std::make_unique<zq::agent::mqtt::Bridge>(config, &service, &journal);
    if (!mqtt->Start(&error)) std::cerr << "zelquar-agent: " << error << "\n";
  }
  std::cerr << "zelquar-agent: boot " << boot << ", serving http://" << config.httpHost << ":" << config.httpPort
            << "/, journal " << config.journal << "\n";
  while (platform::SleepUnlessSignalled(200)) {
    if (!platform::ReloadRequested()) continue;
    // SIGHUP: the file and the flags read again; a configuration with a
    // mistake is refused (its place said) and the one in force stays.
    Config next;
    if (!Settings(args, &next)) {
      std::cerr << "zelquar-agent: reload refused; the configuration in force stays\n";
      continue;
    }
    std::vector<std::string> atRestart;
    service.Reload(next, &atRestart);
    if (mqtt && !mqtt->Sync(&error)) std::cerr << "zelquar-agent: " << error << "\n";
    std::string keys;
    for (const std::string& k : atRestart) keys += (keys.empty() ? "" : ", ") + k;
    std::cerr << "zelquar-agent: configuration reloaded"
              << (keys.empty() ? std::string() : "; " + keys + " take effect at the next start") << "\n";
  }
  std::cerr << "zelquar-agent: stopping\n";
  api.Stop();
  http.join();
  service.Stop();
  mqtt.reset();
  journal.Close();
  return kOk;
}
