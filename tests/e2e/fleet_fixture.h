// Readers in a driver installation of their own: simulated readers started
// with the options a test gives (serial number, unit, wire timing, tags),
// and probe programs that load the driver and talk to them through the
// exported functions.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/install_dir.h"

namespace zq::test {

// The driver's own timeouts, so that what the reader takes is measured
// against what an application meets.
inline const std::string kDefaultTimeoutsIni = "AdminCheckCut=1\nLogLevel=3\n";

// `count` tags of six EPC words whose last two words are `first` + i.
inline std::string TagList(size_t count, uint32_t first, const std::string& prefix = "E2003412") {
  std::string json = R"({"tags": [)";
  for (size_t i = 0; i < count; ++i) {
    char epc[17];
    std::snprintf(epc, sizeof epc, "%08X%08X", static_cast<unsigned>(i * 7 + 1), static_cast<unsigned>(first + i));
    json += std::string(i ? "," : "") + R"({"epc": ")" + prefix + epc + R"(", "user": "00000000"})";
  }
  return json + "]}";
}

struct ProbeAnswer {
  int result = 99;
  int length = -1;
  std::string data;
};

inline ProbeAnswer Send(ChildProcess& probe, uint32_t port, const std::string& hex, int rcvLen = 1600) {
  char p[16];
  std::snprintf(p, sizeof p, "0x%04X", port);
  std::istringstream in(probe.Ask(std::string("send ") + p + " " + hex + " " + std::to_string(rcvLen), 60000));
  ProbeAnswer a;
  std::string data;
  in >> a.result >> a.length >> data;
  a.data = data == "-" ? "" : data;
  for (char& c : a.data) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return a;
}

inline std::string Open(ChildProcess& probe, uint32_t port) {
  char p[16];
  std::snprintf(p, sizeof p, "0x%04X", port);
  return probe.Ask(std::string("open ") + p, 60000);
}

// The PC+EPC of each entry of an inventory answer (hex) whose entries carry
// `extra` bytes after the EPC (StoredCRC, and the signal strength when
// asked); empty when the answer is not a whole inventory.
inline std::vector<std::string> InventoryEntries(const ProbeAnswer& a, size_t extra) {
  std::vector<std::string> out;
  const std::string& d = a.data;
  if (a.result != 0 || d.size() < 8 || d.substr(d.size() - 4) != "9000") return out;
  const size_t count = std::stoul(d.substr(0, 4), nullptr, 16);
  size_t at = 4;
  for (size_t i = 0; i < count; ++i) {
    if (at + 4 > d.size() - 4) return {};
    const size_t words = std::stoul(d.substr(at, 2), nullptr, 16) >> 3;
    const size_t chars = 4 + 4 * words;
    if (at + chars + 2 * extra > d.size() - 4) return {};
    out.push_back(d.substr(at, chars));
    at += chars + 2 * extra;
  }
  if (at != d.size() - 4) return {};
  return out;
}

}  // namespace zq::test
