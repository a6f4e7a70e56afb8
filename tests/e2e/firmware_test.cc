// The reader's firmware brought up to the firmware file beside the library
// at every RFRW_Open, against the simulated reader (firmware 01 23): what
// the reader was sent, the version it runs afterwards, the open's result and
// the download's log lines, for files that match, differ, are missing,
// damaged or refused.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>

#include "tests/e2e/reader_fixture.h"

namespace zq::test {
namespace {

const std::string kNoDownloadBlock = "000000000000000000000000" "2354" "010000";

std::string Header(const std::string& version) {
  return std::string{static_cast<char>(std::stoi(version.substr(0, 2), nullptr, 16)),
                     static_cast<char>(std::stoi(version.substr(2, 2), nullptr, 16)), 0, 0};
}

TEST(FirmwareAtOpen, TheReaderIsBroughtToTheFilesVersionOrTheOpenFailsAsTheDownloadDid) {
  InstallDir install;
  const std::string shipped = [&] {
    std::ifstream in(install.firmwarePath(), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }();
  ASSERT_EQ(shipped.substr(0, 2), Header("0123").substr(0, 2));
  const int shippedBlocks = static_cast<int>((shipped.size() - 4) / 39);
  ASSERT_GT(shippedBlocks, 0);
  const std::string newer = install.MakeFirmware("0200", 4);
  const std::string refused = install.MakeFirmware("0300", 3, /*lastBad=*/true);
  const std::string twoBlocks = install.MakeFirmware("0200", 2);
  ASSERT_EQ(newer.size(), 4u + 4 * 39);
  ASSERT_FALSE(refused.empty());
  // The second record cut short: a damaged file.
  const std::string cut = twoBlocks.substr(0, 4 + 39 + 20);

  struct Case {
    const char* name;
    std::string ini;   // added to the fast-reader settings
    const std::string* file;  // nullptr: no firmware file
    std::string openBlock;
    int result;
    int blocksSent;
    std::string versionAfter;
    std::map<std::string, size_t> lines;  // fragment -> lines this open added
  };
  const std::string header0200 = Header("0200");
  const Case cases[] = {
      {"equal versions", "", &shipped, "", 0, 0, "0123", {{"k_Download  FirmVL = 0x0123 : FileVL = 0x0123 ", 1}}},
      {"always", "DspAlwaysDownloadMode=1\n", &shipped, "", 0, shippedBlocks, "0123",
       {{"k_Download_Firm 一行読込み 39 byte", static_cast<size_t>(shippedBlocks)}, {"k_Download_Firm 一行読込み 0 byte", 1}}},
      {"missing file", "RwPowerOffOnRetryCount=0\n", nullptr, "", -5, 0, "0123",
       {{"D_Error k_Download_Firm(1) detail = 0x2  (2127),FilePath=", 1},
        {"FileOpenError FilePath=0x2  (2129)", 1},
        {"D_Error RFRW_Open(5) detail = -5  (860)", 1}}},
      {"cut by the INI", "DspDownloadCutMode=1\n", nullptr, "", 0, 0, "0123", {{"Download Dsp File Name=", 0}}},
      {"cut by the open block", "", nullptr, kNoDownloadBlock, 0, 0, "0123", {{"Download Dsp File Name=", 0}}},
      {"header only", "", &header0200, "", 0, 0, "0123", {{"k_Download  FirmVL = 0x0123 : FileVL = 0x0200 ", 1}}},
      {"short trailing record", "RwPowerOffOnRetryCount=0\n", &cut, "", -1, 1, "0123",
       {{"k_Download_Firm 一行読込み 20 byte", 1}, {"D_Error k_Download_Firm(2) detail = 0x0  (2134)", 1}}},
      // Refused at its last block: the recovery restarts the download from
      // the first block, which is refused again after the one recovery allowed.
      {"refused block", "RwPowerOffOnRetryCount=1\n", &refused, "", -2, 6, "0123",
       {{"D_Error k_TransmitDownLoadData(2) detail = 0x", 2},
        {"D_Error k_Download_Firm(4) detail = -2  (2142)", 2},
        {"RfPowerOffOnRetry_Sub() End,FncRet=0", 1},
        {"D_Error RFRW_Open(5) detail = -2  (860)", 1}}},
      {"older reader", "", &newer, "", 0, 4, "0200", {{"k_Download  FirmVL = 0x0123 : FileVL = 0x0200 ", 1}}},
      {"now current", "", &newer, "", 0, 0, "0200", {{"k_Download  FirmVL = 0x0200 : FileVL = 0x0200 ", 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    install.WriteIni(kFastReaderIni + c.ini);
    if (c.file) {
      install.WriteFile("ZQRWDSP01.dwl", *c.file);
    } else {
      std::remove(install.firmwarePath().c_str());
    }
    std::map<std::string, size_t> before;
    for (const auto& [fragment, n] : c.lines) before[fragment] = install.LogLinesWith(fragment).size();
    const int blocks = install.SimState()["counters"]["download_blocks"];
    // A process of its own for each case, so the INI is read anew.
    auto probe = install.StartLoadedProbe();
    EXPECT_EQ(probe->Ask("open 0x0100" + (c.openBlock.empty() ? "" : " " + c.openBlock)), std::to_string(c.result));
    const nlohmann::json s = install.SimState();
    EXPECT_EQ(s["counters"]["download_blocks"].get<int>() - blocks, c.blocksSent);
    EXPECT_EQ(s["firmware_version"], c.versionAfter);
    for (const auto& [fragment, n] : c.lines) EXPECT_EQ(install.LogLinesWith(fragment).size() - before[fragment], n) << fragment;
    if (c.result == 0) {
      // Brought up (or left as it was): the reader is in its operating mode.
      EXPECT_TRUE(s["settings"]["operating_mode"]);
      EXPECT_EQ(probe->Ask("close 0x0100"), "0");
    } else {
      EXPECT_EQ(ParseFields(probe->Ask("entry 0"))["use"], "0");
    }
    probe->Send("exit");
    probe->Wait();
  }
}

TEST(FirmwareAtOpen, AVersionQueryThatFailsOrAnswersOtherThanFourBytesSendsNoBlock) {
  InstallDir install(kFastReaderIni + "DspAlwaysDownloadMode=1\nRwPowerOffOnRetryCount=0\n");
  struct Case {
    const char* name;
    const char* fault;  // for the version query, the open's first reader command
    std::string result;
    std::map<std::string, size_t> lines;
  };
  const Case cases[] = {
      // Five bytes: a reader that cannot tell its version is left as it is,
      // even with every open downloading, and the open goes on.
      {"five bytes", "fault reply 0123459000 1", "0",
       {{"D_Error k_Download_Firm(3) detail = 0  (2138)", 1}, {"Download Dsp File Name=", 0}}},
      {"two bytes", "fault reply 9000 1", "0", {{"D_Error k_Download_Firm(3) detail = 0  (2138)", 1}}},
      // No answer at all: the query's failure is the open's (no recovery allowed).
      {"silent", "fault drop-reply 1000", "-4",
       {{"D_Error k_Download_Firm(3) detail = -4  (2138)", 1}, {"D_Error RFRW_Open(5) detail = -4  (860)", 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::map<std::string, size_t> before;
    for (const auto& [fragment, n] : c.lines) before[fragment] = install.LogLinesWith(fragment).size();
    const int blocks = install.SimState()["counters"]["download_blocks"];
    ASSERT_EQ(install.SimControl(c.fault), "OK");
    auto probe = install.StartLoadedProbe();
    EXPECT_EQ(probe->Ask("open 0x0100"), c.result);
    ASSERT_EQ(install.SimControl("fault drop-reply 0"), "OK");
    EXPECT_EQ(install.SimState()["counters"]["download_blocks"].get<int>(), blocks);
    for (const auto& [fragment, n] : c.lines) EXPECT_EQ(install.LogLinesWith(fragment).size() - before[fragment], n) << fragment;
    if (c.result == "0") {
      EXPECT_EQ(probe->Ask("close 0x0100"), "0");
    }
    probe->Send("exit");
    probe->Wait();
  }
}

// A download block waits 4000 ms for the reader's answer, whatever the
// INI's BlockTimeout (200 ms here); a reader command waits BlockTimeout.
TEST(FirmwareAtOpen, ABlockWaitsFourSecondsForItsReplyWhateverTheBlockTimeout) {
  InstallDir install(kFastReaderIni + "DspAlwaysDownloadMode=1\nRwPowerOffOnRetryCount=0\n");
  install.WriteFile("ZQRWDSP01.dwl", install.MakeFirmware("0123", 2));
  auto link = [&] {
    const nlohmann::json c = install.SimState()["counters"];
    return std::make_pair(c["duplicates"].get<int>() + c["resend_requests"].get<int>(), c["download_blocks"].get<int>());
  };
  const auto before = link();
  // The version query answered in time, the first block 1.5 s late.
  ASSERT_EQ(install.SimControl("fault reply-late 0 1"), "OK");
  ASSERT_EQ(install.SimControl("fault reply-late 1500 1"), "OK");
  auto probe = install.StartLoadedProbe();
  EXPECT_EQ(probe->Ask("open 0x0100"), "0");
  const auto opened = link();
  EXPECT_EQ(opened.second - before.second, 2);
  EXPECT_EQ(opened.first, before.first) << "the link asked again instead of waiting";
  // The same lateness for a reader command: the link asks again.
  ASSERT_EQ(install.SimControl("fault reply-late 1500 1"), "OK");
  probe->Ask("send 0x0100 03FF0000 256");
  EXPECT_GT(link().first, opened.first);
  probe->Send("exit");
  probe->Wait();
}

// Two reader modules on the line of one bridge: unit 1 is brought up to
// date block by block while another thread of the same application keeps
// taking inventories on unit 0. Neither takes the other's replies.
TEST(FirmwareAtOpen, ADownloadOnOneUnitAndInventoriesOnAnotherShareTheBridge) {
  InstallDir install(kFastReaderIni + "DspAlwaysDownloadMode=1\nRwPowerOffOnRetryCount=0\n", "", false);
  install.WriteFile("ZQRWDSP01.dwl", install.MakeFirmware("0123", 40));
  install.WriteFile("units.json", R"({"extra_units": [{"unit": 1, "tags": []}]})");
  SimulatedReader sim(SimOptions{.dir = install.simDir(), .scenario = install.path() + "/units.json"});
  ASSERT_TRUE(sim.published());
  auto probe = install.StartLoadedProbe();
  // Unit 0 without the firmware step, so only unit 1 downloads.
  ASSERT_EQ(probe->Ask("open 0x0100 " + kNoDownloadBlock), "0");
  const int boots = sim.State()["counters"]["boots"];
  const int unit1Before = sim.State()["extra_units"][0]["commands_received"];
  std::istringstream answer(probe->Ask("open-while-sending 0x0101 0x0100 0801000200020000"));
  int opened = 99, sends = 0, same = 0, result = 99, length = 0;
  std::string data;
  answer >> opened >> sends >> same >> result >> length >> data;
  EXPECT_EQ(opened, 0);
  EXPECT_GT(sends, 1);
  EXPECT_EQ(same, sends);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(length, 58) << data;  // the three default tags
  const nlohmann::json s = sim.State();
  // The open's own power-on of the shared line, and no recovery.
  EXPECT_EQ(s["counters"]["boots"], boots + 1) << "the shared reader was power-cycled";
  EXPECT_TRUE(install.LogLinesWith("RfPowerOffOnRetry").empty());
  // Unit 1 got its version query, the 40 blocks and its operating mode.
  EXPECT_EQ(s["extra_units"][0]["commands_received"].get<int>() - unit1Before, 42);
  EXPECT_TRUE(install.LogLinesWith("D_Error k_TransmitDownLoadData").empty());
  EXPECT_EQ(probe->Ask("close 0x0101"), "0");
  EXPECT_EQ(probe->Ask("close 0x0100"), "0");
}

}  // namespace
}  // namespace zq::test
