#include "tests/support/sim_fixture.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include "platform/devices/sim_client.h"
#include "platform/os/clock.h"
#include "platform/os/files.h"

namespace fs = std::filesystem;

namespace zq::test {
namespace {

constexpr int kPublishWaitMs = 5000;

std::string NewTemporaryDirectory() {
  static std::atomic<int> counter{0};
  std::random_device random;
  const std::string name = "zqt-sim-" + std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1)) + "-" +
                           std::to_string(random() & 0xFFFFFF);
  const fs::path path = fs::temp_directory_path() / name;
  fs::create_directories(path);
  return path.string();
}

}  // namespace

const std::string& SimulatorProgram() {
  static const std::string path = ZQ_SIM_PATH;
  return path;
}

SimulatedReader::SimulatedReader(SimOptions options) : options_(std::move(options)) {
  owns_dir_ = options_.dir.empty();
  if (owns_dir_) options_.dir = NewTemporaryDirectory();
  std::error_code ec;
  fs::create_directories(options_.dir, ec);
  Start();
}

SimulatedReader::~SimulatedReader() {
  Stop();
  RemoveFiles();
  if (owns_dir_) {
    std::error_code ec;
    fs::remove_all(options_.dir, ec);
  }
}

std::string SimulatedReader::Path(const std::string& extension) const {
  return options_.dir + "/" + options_.name + extension;
}

bool SimulatedReader::Running() { return process_ && !process_->WaitFor(0).has_value(); }

bool SimulatedReader::Start() {
  if (Running()) return published_;
  std::vector<std::string> argv{SimulatorProgram(), "--dir", options_.dir, "--name", options_.name};
  if (!options_.scenario.empty()) argv.insert(argv.end(), {"--scenario", options_.scenario});
  if (options_.wireTiming) argv.push_back("--wire-timing");
  if (options_.unit >= 0) argv.insert(argv.end(), {"--unit", std::to_string(options_.unit)});
  argv.insert(argv.end(), options_.extraArgs.begin(), options_.extraArgs.end());
  if (options_.openToAllUsers) {
    // With umask 0 its sockets admit every user (a probe that dropped its
    // privileges reaches the reader as well).
    argv.insert(argv.begin(), {"/bin/sh", "-c", "umask 0; exec \"$0\" \"$@\""});
  }
  process_ = std::make_unique<ChildProcess>(argv, std::map<std::string, std::string>{});
  // It publishes its description last, once it serves.
  published_ = false;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPublishWaitMs);
  while (!(published_ = fs::exists(Path(".json"))) && std::chrono::steady_clock::now() < end && Running()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return published_;
}

int SimulatedReader::Stop() {
  published_ = false;
  if (!process_) return -1;
  int code = -1;
  if (Running()) {
    process_->Kill(SIGTERM);
    std::optional<int> ended = process_->WaitFor(kPublishWaitMs);
    if (!ended) {
      process_->Kill(SIGKILL);
      ended = process_->Wait();
    }
    code = *ended;
  }
  RemoveFiles();
  return code;
}

void SimulatedReader::Kill() {
  published_ = false;
  if (!Running()) return;
  process_->Kill(SIGKILL);
  process_->Wait();
}

std::optional<int> SimulatedReader::WaitExit(int timeoutMs) {
  if (!process_) return std::nullopt;
  std::optional<int> code = process_->WaitFor(timeoutMs);
  if (code) published_ = false;
  return code;
}

std::string SimulatedReader::Control(const std::string& line, int timeoutMs) const {
  std::string reply;
  if (platform::ControlRequest(Path(".ctl"), line, &reply, timeoutMs) != 0) return "";
  return reply;
}

nlohmann::json SimulatedReader::State() const {
  const std::string reply = Control("state");
  if (reply.rfind("OK ", 0) != 0) return nlohmann::json::object();
  nlohmann::json state = nlohmann::json::parse(reply.substr(3), nullptr, false);
  return state.is_discarded() ? nlohmann::json::object() : state;
}

void SimulatedReader::RemoveFiles() const {
  std::error_code ec;
  for (const char* extension : {".json", ".hid", ".ctl"}) fs::remove(Path(extension), ec);
}

SimDirectory::SimDirectory() : path_(NewTemporaryDirectory()) { setenv("ZELQUAR_SIM_DIR", path_.c_str(), 1); }

SimDirectory::~SimDirectory() {
  unsetenv("ZELQUAR_SIM_DIR");
  std::error_code ec;
  fs::remove_all(path_, ec);
}

}  // namespace zq::test
