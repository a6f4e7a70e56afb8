// An open port on the simulated reader with a known tag population, and
// the application commands of the tag operations built from a tag's PC
// and EPC.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "tests/e2e/reader_fixture.h"

namespace zq::test {

// Three tags of six EPC words (PC 3000): A with no passwords, B with an
// access and a kill password, C with a kill password only.
inline const std::string kTagA = "300833B2DDD9014000000001";
inline const std::string kTagB = "300833B2DDD9014000000002";
inline const std::string kTagC = "300833B2DDD9014000000003";
inline const std::string kPasswordB = "11223344";
inline const std::string kKillB = "87654321";
inline const std::string kKillC = "0A0B0C0D";

inline const std::string kTagPopulation = R"({"tags": [
  {"epc": ")" + kTagA + R"(", "tid": "E2801160200074CF", "user": "0000000000000000", "rssi": 1},
  {"epc": ")" + kTagB + R"(", "tid": "E2801160200074D0", "user": "1111222233334444", "rssi": 65535,
   "access_password": ")" + kPasswordB + R"(", "kill_password": ")" + kKillB + R"("},
  {"epc": ")" + kTagC + R"(", "tid": "E2801160200074D1", "user": "0000000000000000", "rssi": 0,
   "kill_password": ")" + kKillC + R"("}
]})";

inline std::string Hex8(unsigned v) {
  char b[3];
  std::snprintf(b, sizeof b, "%02X", v & 0xFF);
  return b;
}
inline std::string Hex16(unsigned v) { return Hex8(v >> 8) + Hex8(v); }

// The PC word and the EPC of a tag of six EPC words.
inline std::string PcEpc(const std::string& epc) { return "3000" + epc; }

// 08 INS P1 P2 Lc data, Lc from the data.
inline std::string TagCommand(int ins, int p1, int p2, const std::string& data) {
  return "08" + Hex8(ins) + Hex8(p1) + Hex8(p2) + Hex16(static_cast<unsigned>(data.size() / 2)) + data;
}
// A read of `count` words at `address` (one byte, P2 0) of `bank`; with a
// password P1 bit 1 is set.
inline std::string ReadCommand(const std::string& epc, int bank, int address, int count,
                               const std::string& password = "") {
  return TagCommand(0x10, password.empty() ? 0 : 2, 0, PcEpc(epc) + password + Hex8(bank) + Hex8(address) + Hex8(count));
}
inline std::string WriteCommand(const std::string& epc, int bank, int address, const std::string& words,
                                const std::string& password = "", int p1Extra = 0) {
  return TagCommand(0x11, (password.empty() ? 0 : 2) | p1Extra, 0, PcEpc(epc) + password + Hex8(bank) + Hex8(address) + words);
}

class TagTest : public ReaderTest {
 protected:
  explicit TagTest(const std::string& ini = kFastReaderIni) : ReaderTest(ini) {}
  void SetUp() override {
    ReaderTest::SetUp();
    install_.WriteFile("tags.json", kTagPopulation);
    ASSERT_EQ(Sim("tags load " + install_.path() + "/tags.json"), "OK");
  }
  // The simulated tag `i` as the state report shows it.
  nlohmann::json SimTag(size_t i) { return State()["tags"][i]; }
  // The Gen2 command codes (first command byte) of the tag commands the
  // reader received since `before`.
  std::vector<std::string> Gen2CodesSince(uint64_t before) {
    std::vector<std::string> codes;
    for (const std::string& c : CommandsSince(before)) {
      if (c.rfind("0803", 0) == 0 && c.size() >= 22) codes.push_back(c.substr(20, 2));
    }
    return codes;
  }
};

}  // namespace zq::test
