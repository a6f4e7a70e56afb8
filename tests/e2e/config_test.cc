// The configuration as processes that load the installed library see it:
// read once per system from the INI file into the shared area.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "tests/support/install_dir.h"

namespace zq::test {
namespace {

TEST(Config, WithoutAnIniFileTheDefaultsHoldAndOpeningFails) {
  InstallDir install(std::nullopt);
  auto probe = install.StartLoadedProbe();
  auto f = ParseFields(probe->Ask("inspect"));
  EXPECT_EQ(f["block"], "2300");
  EXPECT_EQ(f["retry"], "15000");
  EXPECT_EQ(f["retrylink"], "15000");
  EXPECT_EQ(f["char"], "500");
  EXPECT_EQ(f["gpio"], "132");
  EXPECT_EQ(f["powerretry"], "3");
  EXPECT_EQ(f["hidretry"], "20");
  EXPECT_EQ(f["loglevel"], "3");
  EXPECT_EQ(f["logflg"], "0");
  EXPECT_EQ(f["pidvid"], "vid_FFF1&pid_7C02");
  EXPECT_EQ(f["attach"], "1");

  EXPECT_EQ(probe->Ask("open 0x0100"), "-5");
  EXPECT_EQ(install.LogLinesWith("D_Error RFRW_Open(10) detail1 = 2  (856)").size(), 1u);
  // The failed open left the port entry free.
  EXPECT_EQ(ParseFields(probe->Ask("entry 0"))["use"], "0");
}

TEST(Config, TheFirstProcessLogsItsValuesInOrder) {
  InstallDir install(
      "BlockTimeout=300\nRetryTimeout =700\nTransmitRetryNum=4\nOpenRetryNum=5\nOpenTimeoutRetryNum=6\n"
      "DspRfSendMaxTime=7\nPID_VID=vid_1234&pid_5678\nHidCommDllTrace=trace1\nDspDownloadCutMode=1\n"
      "DspAlwaysDownloadMode=1\nDspPassThroughMode=1\nGpioInitialData=255\nAdminCheckCut=1\n");
  auto probe = install.StartLoadedProbe();
  const std::vector<std::string> expected = {
      "■■■■ZELQUAR_Drv.dll Version=",      "IniFile BlockTimeout = 300",
      "IniFile RetryTimeout = 700",         "IniFile TransmitRetryNum = 4",
      "IniFile OpenRetryNum = 5",           "IniFile OpenTimeoutRetryNum = 6",
      "IniFile DspRfSendMaxTime = 7",       "IniFile PID_VID = vid_1234&pid_5678",
      "IniFile HidCommDllTrace = trace1",   "IniFile DspDownloadCutMode = 1",
      "IniFile DspAlwaysDownloadMode = 1",  "IniFile DspPassThroughMode = 1",
      "IniFile GpioInitialData = 0x00ff",   "IniFile AdminCheckCut = 1",
      "DLL_PROCESS_ATTACH PID=",
  };
  std::vector<std::string> lines = install.LogLines();
  ASSERT_GE(lines.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_NE(lines[i].find(expected[i]), std::string::npos) << "line " << i << ": " << lines[i];
  }
  EXPECT_NE(lines.back().find("Process=1"), std::string::npos);
  // The link-level "RetryTimeout" finds the same file line.
  EXPECT_EQ(ParseFields(probe->Ask("inspect"))["retrylink"], "700");
}

TEST(Config, LaterProcessesUseTheFirstProcessValuesUntilAllHaveGone) {
  InstallDir install("BlockTimeout=300\nPID_VID=vid_1111&pid_2222\nLogLevel=4\nAdminCheckCut=0\n"
                     "HidDeviceOpenRetryCount=0\n");
  auto first = install.StartLoadedProbe();
  install.WriteIni("BlockTimeout=999\nPID_VID=vid_FFF1&pid_7C02\nLogLevel=1\nAdminCheckCut=1\n");

  auto second = install.StartLoadedProbe();
  auto f = ParseFields(second->Ask("inspect"));
  EXPECT_EQ(f["block"], "300");
  EXPECT_EQ(f["pidvid"], "vid_1111&pid_2222");
  EXPECT_EQ(f["attach"], "2");
  // The configuration is logged by the first process only.
  EXPECT_EQ(install.LogLinesWith("IniFile BlockTimeout").size(), 1u);
  // The second process filters by the first process's LogLevel 4.
  ASSERT_EQ(second->Ask("close 0x0101"), "0");
  const std::string secondPid = second->Ask("pid");
  char pidHex[16];
  std::snprintf(pidHex, sizeof pidHex, "PID=%x", std::stoi(secondPid));
  bool sawLevel4 = false;
  for (const std::string& line : install.LogLinesWith("▼▼k_RFRW_SetMutexAPI")) {
    sawLevel4 |= line.find(pidHex) != std::string::npos;
  }
  EXPECT_TRUE(sawLevel4);

  // The second process looks for the reader by the first one's PID_VID,
  // which names no device here.
  EXPECT_EQ(second->Ask("open 0x0101"), "-2");

  // Both leave, one of them by crashing: the next process reads the changed
  // file into a clean area, and finds the reader by the new PID_VID.
  second->Kill(SIGKILL);
  second->Wait();
  first->Send("exit");
  first->Wait();
  auto third = install.StartLoadedProbe();
  f = ParseFields(third->Ask("inspect"));
  EXPECT_EQ(f["block"], "999");
  EXPECT_EQ(f["pidvid"], "vid_FFF1&pid_7C02");
  EXPECT_EQ(f["attach"], "1");
  EXPECT_EQ(third->Ask("open 0x0101" + kOpenWithoutReader), "0");
}

TEST(Config, DetachCountsDownAndReportsTheLogSwitch) {
  InstallDir install("LogFileFlg=0\n");
  auto first = install.StartLoadedProbe();
  auto second = install.StartLoadedProbe();
  second->Send("exit");
  second->Wait();
  EXPECT_EQ(install.LogLinesWith("DLL_PROCESS_DETACH").size(), 1u);
  EXPECT_NE(install.LogLinesWith("DLL_PROCESS_DETACH")[0].find("Process=1 g_YorN=0 g_outputhFile=0xffffffff"),
            std::string::npos);
  EXPECT_EQ(ParseFields(first->Ask("inspect"))["attach"], "1");
}

// Numbers past their documented range (a huge timeout would make a wait
// that outlasts any user, a huge retry count a call that never returns) are
// taken as the nearest bound, logged as used, and used so.
TEST(Config, EveryNumberIsKeptInItsDocumentedRange) {
  InstallDir install(
      "AdminCheckCut=0\nBlockTimeout=1100000000\nCharacterTimeout=-5\nHidDeviceOpenRetryCount=2147483647\n"
      "RwPowerOffOnRetryCount=2147483647\nDspRfSendMaxTime=100000\n");
  auto probe = install.StartLoadedProbe();
  auto f = ParseFields(probe->Ask("inspect"));
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"block", "3600000"}, {"char", "1"}, {"hidretry", "50"}, {"powerretry", "10"},
  };
  for (const auto& [field, value] : expected) EXPECT_EQ(f[field], value) << field;
  EXPECT_EQ(install.LogLinesWith("IniFile BlockTimeout = 3600000").size(), 1u);
  EXPECT_EQ(install.LogLinesWith("IniFile DspRfSendMaxTime = 255").size(), 1u);
  ASSERT_EQ(probe->Ask("open 0x0100"), "0");
  ASSERT_EQ(probe->Ask("close 0x0100"), "0");  // the end exchange waits with the clamped timeout
  EXPECT_FALSE(install.LogLinesWith("k_CM_TransmitMsg2 Timeout=(7200000)").empty());
}

}  // namespace
}  // namespace zq::test
