// One simulated reader for tests and benchmarks: a private zelquar-sim
// process in a directory of its own (or a given one), published (its
// NAME.json written) before the constructor returns, reached through its
// control socket, and stopped with its files removed when the fixture goes.
//
// Not thread-safe: one thread owns a fixture. Starting waits up to 5 s.
#pragma once

#include <sys/types.h>

#include <nlohmann/json.hpp>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace zq::test {

// The zelquar-sim program built with this tree.
const std::string& SimulatorProgram();

struct SimOptions {
  std::string dir{};             // "" a new temporary directory, removed at the end
  std::string name = "reader0";  // the device name: NAME.json, NAME.hid, NAME.ctl
  std::string scenario{};        // a scenario file; "" the default reader
  bool wireTiming = false;       // UART and module times as on the wire
  int unit = -1;                 // the reader's unit; -1 the scenario's
  std::vector<std::string> extraArgs{};  // further options, e.g. {"--serial", "SIM0002"}
  bool openToAllUsers = false;   // sockets that every user may connect to
};

class SimulatedReader {
 public:
  explicit SimulatedReader(SimOptions options = {});
  ~SimulatedReader();  // Stop(), then its files (and its own directory) go
  SimulatedReader(const SimulatedReader&) = delete;
  SimulatedReader& operator=(const SimulatedReader&) = delete;

  // True once the running simulator has published its device.
  bool published() const { return published_; }
  const std::string& dir() const { return options_.dir; }
  const std::string& name() const { return options_.name; }
  // dir/NAME + extension (".json", ".hid", ".ctl").
  std::string Path(const std::string& extension) const;
  pid_t pid() const { return process_ ? process_->pid() : -1; }

  // One control command; its one-line answer, "" when none came in time.
  std::string Control(const std::string& line, int timeoutMs = 5000) const;
  // The state report; an empty object when there is none.
  nlohmann::json State() const;

  // Starts it (again, after it ended); true once published.
  bool Start();
  // Ends it with SIGTERM (SIGKILL when that does not end it within 5 s):
  // its exit code, or -1 when it was not running. Its files are removed.
  int Stop();
  // Ends it with SIGKILL, like a crash: its files stay until the fixture goes.
  void Kill();
  // Waits for it to end by itself (after "quit"): its exit code, nullopt
  // while it still runs after timeoutMs.
  std::optional<int> WaitExit(int timeoutMs = 5000);

 private:
  bool Running();
  void RemoveFiles() const;

  SimOptions options_;
  bool owns_dir_ = false;
  std::unique_ptr<ChildProcess> process_;
  bool published_ = false;
};

// A directory for simulated readers that the comm library searches:
// ZELQUAR_SIM_DIR names it while it lives; removed with everything in it.
class SimDirectory {
 public:
  SimDirectory();
  ~SimDirectory();
  SimDirectory(const SimDirectory&) = delete;
  SimDirectory& operator=(const SimDirectory&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace zq::test
