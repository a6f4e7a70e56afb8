// The installed `zelquar` program against a simulated reader: a PREFIX
// laid out as an installation is (bin/zelquar and bin/zelquar-sim beside
// lib/zelquar with the driver, its INI file, the comm library, the
// collector and the firmware file), a private namespace and simulator
// directory, and runs of the tool as child processes with their standard
// output, standard error and exit code.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/install_dir.h"

namespace zq::test {

// Short timeouts, no administrator check; kToolLogIni with logging on.
inline const std::string kToolIniCommon =
    "BlockTimeout=200\nRetryTimeout=400\nCharacterTimeout=100\nLogLevel=3\n"
    "HidDeviceOpenRetryCount=1\nOpenRetryNum=1\nOpenTimeoutRetryNum=1\n";
inline const std::string kToolIni = kToolIniCommon + "AdminCheckCut=1\nLogFileFlg=0\n";
inline const std::string kToolLogIni = kToolIniCommon + "AdminCheckCut=1\nLogFileFlg=1\n";

// Three tags of six EPC words: A open, B with an access password, C with a
// kill password.
inline const std::string kToolTagA = "300833B2DDD9014000000001";
inline const std::string kToolTagB = "300833B2DDD9014000000002";
inline const std::string kToolTagC = "300833B2DDD9014000000003";
inline const std::string kToolTags = R"({"tags": [
  {"epc": ")" + kToolTagA + R"(", "tid": "E2801160200074CF", "user": "0000000000000000", "rssi": 1},
  {"epc": ")" + kToolTagB + R"(", "tid": "E2801160200074D0", "user": "1111222233334444", "rssi": 65535,
   "access_password": "11223344"},
  {"epc": ")" + kToolTagC + R"(", "tid": "E2801160200074D1", "user": "0000000000000000", "rssi": 0,
   "kill_password": "0A0B0C0D"}
]})";

struct ToolRun {
  int exit = -1;
  std::vector<std::string> out;  // standard output, line by line
  std::string err;               // standard error
  std::string Out() const {
    std::string s;
    for (const std::string& l : out) s += l + "\n";
    return s;
  }
  // Standard output as JSON objects, one a line (a line that is not JSON fails the test).
  std::vector<nlohmann::json> Json() const {
    std::vector<nlohmann::json> objects;
    for (const std::string& l : out) {
      nlohmann::json j = nlohmann::json::parse(l, nullptr, false);
      EXPECT_FALSE(j.is_discarded()) << "not JSON: " << l;
      objects.push_back(j);
    }
    return objects;
  }
};

inline std::ostream& operator<<(std::ostream& o, const ToolRun& r) {
  return o << "exit " << r.exit << "\n--- stdout\n" << r.Out() << "--- stderr\n" << r.err;
}

class ToolInstall {
 public:
  // `withReader` false: no simulated reader in the simulator directory.
  explicit ToolInstall(std::optional<std::string> ini = kToolIni, bool withReader = true)
      : install_(ini, "", withReader) {
    namespace fs = std::filesystem;
    prefix_ = install_.path() + "/prefix";
    fs::create_directories(prefix_ + "/bin");
    fs::create_directories(prefix_ + "/lib");
    fs::copy_file(ZQ_TOOL_PATH, prefix_ + "/bin/zelquar");
    fs::copy_file(ZQ_SIM_PROGRAM_PATH, prefix_ + "/bin/zelquar-sim");
    // PREFIX/lib/zelquar is the installation directory itself.
    fs::create_directory_symlink(install_.path(), prefix_ + "/lib/zelquar");
    fs::create_directories(install_.path() + "/tmp");
    install_.WriteFile("tags.json", kToolTags);
    if (withReader) {
      EXPECT_EQ(install_.SimControl("tags load " + install_.path() + "/tags.json"), "OK");
    }
  }

  const InstallDir& install() const { return install_; }
  std::string tool() const { return prefix_ + "/bin/zelquar"; }
  std::string tmp() const { return install_.path() + "/tmp"; }
  std::map<std::string, std::string> Environment() const {
    auto env = install_.Environment();
    env["TMPDIR"] = tmp();
    env["ZELQUAR_LIBRARY"] = "";
    return env;
  }

  // Runs the tool to its end; `launcher` (a program and its options) runs it
  // when given.
  ToolRun Run(const std::vector<std::string>& args, const std::map<std::string, std::string>& extraEnv = {},
              const std::vector<std::string>& launcher = {}) const {
    const std::string errFile = install_.path() + "/stderr.txt";
    std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>\"$ZQ_TEST_STDERR\""};
    argv.insert(argv.end(), launcher.begin(), launcher.end());
    argv.push_back(tool());
    argv.insert(argv.end(), args.begin(), args.end());
    auto env = Environment();
    env["ZQ_TEST_STDERR"] = errFile;
    for (const auto& [k, v] : extraEnv) env[k] = v;
    ChildProcess child(argv, env, install_.path());
    ToolRun run;
    while (auto line = child.ReadLine(60000)) run.out.push_back(*line);
    run.exit = child.Wait();
    std::ifstream in(errFile);
    run.err.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return run;
  }
  // Starts the tool and leaves it running (standard error goes to the test's).
  std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{tool()};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>(argv, Environment(), install_.path());
  }

  std::string Sim(const std::string& command) const { return install_.SimControl(command); }
  nlohmann::json State() const { return install_.SimState(); }
  uint64_t Received() const { return State()["counters"]["commands_received"]; }
  // The simulated tag with this EPC; null when there is none.
  nlohmann::json SimTag(const std::string& epc) const {
    const nlohmann::json state = State();
    for (const auto& t : state["tags"])
      if (t["epc"] == epc) return t;
    return nullptr;
  }

 private:
  InstallDir install_;
  std::string prefix_;
};

}  // namespace zq::test
