// An application with an open port on the simulated reader: the driver
// installed in a directory of its own, a probe that loaded it and opened
// unit 0 (so the reader is in its operating mode), and helpers that send
// application commands through RFRW_CLRW_Transmit and ask the simulator
// what reached the reader.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/install_dir.h"

namespace zq::test {

// Short exchange timeouts, so a reader that keeps silent fails fast.
inline const std::string kFastReaderIni =
    "AdminCheckCut=1\nBlockTimeout=200\nRetryTimeout=400\nCharacterTimeout=100\nLogLevel=3\n";

// One RFRW_CLRW_Transmit as the probe answered it.
struct Answer {
  int result = 99;
  int length = -1;
  std::string data;  // hex, upper case; "" when empty
  bool operator==(const Answer&) const = default;
};

inline std::ostream& operator<<(std::ostream& o, const Answer& a) {
  return o << "{" << a.result << ", " << a.length << ", \"" << a.data << "\"}";
}

inline std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

class ReaderTest : public ::testing::Test {
 protected:
  explicit ReaderTest(const std::string& ini = kFastReaderIni, const std::string& openBlock = "") : install_(ini) {
    probe_ = install_.StartLoadedProbe();
    opened_ = probe_->Ask("open 0x0100" + (openBlock.empty() ? "" : " " + openBlock));
  }
  void SetUp() override { ASSERT_EQ(opened_, "0"); }

  // Sends `hex` (SLEN its length unless given) with a receive area of `rcvLen`.
  Answer Send(const std::string& hex, int rcvLen = 256, int sLen = -1) {
    std::string line = "send 0x0100 " + (hex.empty() ? std::string("-") : hex) + " " + std::to_string(rcvLen);
    if (sLen >= 0) line += " " + std::to_string(sLen);
    std::istringstream in(probe_->Ask(line));
    Answer a;
    std::string data;
    in >> a.result >> a.length >> data;
    a.data = data == "-" ? "" : Upper(data);
    return a;
  }
  std::string Sim(const std::string& command) { return install_.SimControl(command); }
  nlohmann::json State() { return install_.SimState(); }
  // The commands the reader received since `before` (a count of
  // commands_received), oldest first, as far as the state keeps them.
  std::vector<std::string> CommandsSince(uint64_t before) {
    const nlohmann::json s = State();
    const uint64_t now = s["counters"]["commands_received"];
    const auto& all = s["commands"];
    std::vector<std::string> out;
    const uint64_t n = std::min<uint64_t>(now - before, all.size());
    for (uint64_t i = all.size() - n; i < all.size(); ++i) out.push_back(all[i]);
    return out;
  }
  uint64_t Received() { return State()["counters"]["commands_received"]; }
  size_t Lines(const std::string& fragment) const { return install_.LogLinesWith(fragment).size(); }

  InstallDir install_;
  std::unique_ptr<ChildProcess> probe_;
  std::string opened_;
};

}  // namespace zq::test
