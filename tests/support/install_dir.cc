#include "tests/support/install_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "tests/support/namespace_objects.h"
#include "tools/logview.h"

namespace fs = std::filesystem;

namespace zq::test {
namespace {

std::string UniqueName() {
  static std::atomic<int> counter{0};
  std::random_device rd;
  std::ostringstream out;
  out << "zqt-" << getpid() << "-" << counter.fetch_add(1) << "-" << std::hex << (rd() & 0xFFFFFF);
  return out.str();
}

}  // namespace

InstallDir::InstallDir(std::optional<std::string> iniBody, const std::string& objectNamespace, bool withReader)
    : namespace_(objectNamespace.empty() ? UniqueName() : objectNamespace) {
  path_ = (fs::temp_directory_path() / UniqueName()).string();
  fs::create_directories(path_);
  // Readable by every user: some tests run the probe as an unprivileged one.
  chmod(path_.c_str(), 0755);
  fs::copy_file(ZQ_DRIVER_LIB_PATH, libraryPath(), fs::copy_options::overwrite_existing);
  fs::copy_file(ZQ_OUTLOG_PATH, collectorPath(), fs::copy_options::overwrite_existing);
  fs::copy_file(ZQ_COMM_LIB_PATH, commLibraryPath(), fs::copy_options::overwrite_existing);
  fs::copy_file(ZQ_FIRMWARE_PATH, firmwarePath(), fs::copy_options::overwrite_existing);
  // Readable by every user but writable only by its owner, as a simulator
  // directory must be to be used at all.
  fs::create_directories(path_ + "/sim");
  chmod((path_ + "/sim").c_str(), 0755);
  WriteFile("mirror.log", "");
  chmod((path_ + "/mirror.log").c_str(), 0666);
  if (iniBody) WriteIni(*iniBody);
  if (withReader) {
    // Open to every user, so a probe that dropped its privileges reaches the reader as well.
    sim_ = std::make_unique<SimulatedReader>(SimOptions{.dir = simDir(), .openToAllUsers = true});
    EXPECT_TRUE(sim_->published()) << "the simulated reader did not start";
  }
}

std::string InstallDir::SimControl(const std::string& command) const {
  return sim_ ? sim_->Control(command, 10000) : "";
}

nlohmann::json InstallDir::SimState() const { return sim_ ? sim_->State() : nlohmann::json::object(); }

InstallDir::~InstallDir() {
  sim_.reset();
  std::error_code ec;
  fs::remove_all(path_, ec);
  RemoveNamespaceObjects(namespace_);
}

void InstallDir::WriteIni(const std::string& body) const { WriteFile("ZELQUAR_Drv.ini", "[RFRW_Drv]\n" + body + "\n"); }

void InstallDir::RemoveIni() const { fs::remove(path_ + "/ZELQUAR_Drv.ini"); }

void InstallDir::WriteFile(const std::string& name, const std::string& bytes) const {
  std::ofstream out(path_ + "/" + name, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string InstallDir::MakeFirmware(const std::string& version, int blocks, bool lastBad) const {
  const std::string out = path_ + "/made.dwl";
  std::vector<std::string> argv{SimulatorProgram(), "mkfw", "--version", version, "--blocks", std::to_string(blocks)};
  if (lastBad) argv.push_back("--last-bad");
  argv.push_back(out);
  ChildProcess tool(argv, {});
  if (tool.Wait() != 0) return "";
  std::ifstream in(out, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  fs::remove(out);
  return bytes;
}

std::vector<std::string> InstallDir::LogLines() const {
  std::ifstream in(path_ + "/mirror.log");
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> InstallDir::LogLinesWith(const std::string& fragment) const {
  std::vector<std::string> out;
  for (const std::string& line : LogLines()) {
    if (line.find(fragment) != std::string::npos) out.push_back(line);
  }
  return out;
}

std::map<std::string, std::string> InstallDir::Environment() const {
  return {{"ZELQUAR_NAMESPACE", namespace_},
          {"ZELQUAR_SIM_DIR", path_ + "/sim"},
          {"ZELQUAR_LOG_MIRROR", path_ + "/mirror.log"}};
}

std::unique_ptr<ChildProcess> InstallDir::StartProbe(const std::map<std::string, std::string>& extraEnv) const {
  std::map<std::string, std::string> env = Environment();
  for (const auto& [k, v] : extraEnv) env[k] = v;
  return std::make_unique<ChildProcess>(std::vector<std::string>{ZQ_PROBE_PATH, libraryPath()}, env, path_);
}

std::unique_ptr<ChildProcess> InstallDir::StartLoadedProbe(const std::map<std::string, std::string>& extraEnv) const {
  auto probe = StartProbe(extraEnv);
  EXPECT_EQ(probe->Ask("load"), "loaded");
  return probe;
}

std::vector<std::string> InstallDir::DecodedLog(const std::string& path) const {
  std::ifstream in(path.empty() ? logPath() : path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string text;
  logview::DecodeToText(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), true, &text);
  std::vector<std::string> lines;
  std::istringstream lineStream(text);
  for (std::string line; std::getline(lineStream, line);) lines.push_back(line);
  return lines;
}

std::map<std::string, std::string> ParseFields(const std::string& line) {
  std::map<std::string, std::string> fields;
  std::istringstream in(line);
  for (std::string token; in >> token;) {
    size_t eq = token.find('=');
    if (eq != std::string::npos) fields[token.substr(0, eq)] = token.substr(eq + 1);
  }
  return fields;
}

}  // namespace zq::test
