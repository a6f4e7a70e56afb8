// Port entries across processes: opening, double opens, owners that died,
// the open data block, the administrator check and release at unload.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "tests/support/install_dir.h"

namespace zq::test {
namespace {

std::string Hex(int pid) {
  char b[16];
  std::snprintf(b, sizeof b, "%x", pid);
  return b;
}

TEST(PortEntries, OpenTakesTheEntryAndCloseFreesIt) {
  InstallDir install("AdminCheckCut=0");
  auto probe = install.StartLoadedProbe();
  const std::string pid = probe->Ask("pid");
  ASSERT_EQ(probe->Ask("open 0x0A03" + kOpenWithoutReader), "0");
  auto e = ParseFields(probe->Ask("entry 3"));
  EXPECT_EQ(e["use"], "1");
  EXPECT_EQ(e["owner"], pid);
  EXPECT_EQ(e["port"], std::to_string(0x0A03));
  EXPECT_EQ(e["dataport"], std::to_string(0x0A03));
  EXPECT_EQ(e["dev"], "\\\\.\\COM10");

  // The same process opening again: -1002, entry untouched.
  EXPECT_EQ(probe->Ask("open 0x0A03"), "-1002");
  EXPECT_EQ(install.LogLinesWith("D_Error RFRW_Open(2)  (844)").size(), 1u);
  EXPECT_EQ(ParseFields(probe->Ask("entry 3"))["use"], "1");

  EXPECT_EQ(probe->Ask("close 0x0A03"), "0");
  e = ParseFields(probe->Ask("entry 3"));
  EXPECT_EQ(e["use"], "0");
  EXPECT_EQ(e["owner"], "0");
  EXPECT_EQ(e["state"], "-1");  // the device was released
  // Closing a port that is not open is no error.
  EXPECT_EQ(probe->Ask("close 0x0A03"), "0");
  EXPECT_EQ(probe->Ask("open 0x0A03" + kOpenWithoutReader), "0");
}

TEST(PortEntries, AnOpenPowersTheSimulatedReaderAndACloseReleasesIt) {
  InstallDir install("AdminCheckCut=0");
  auto probe = install.StartLoadedProbe();
  // Skip the download, pass commands through: open is complete once the
  // device is attached.
  ASSERT_EQ(probe->Ask("open 0x0100 000000000000000000000000" "2354" "010001"), "0");
  std::string state = install.SimControl("state");
  EXPECT_NE(state.find("\"power\":true"), std::string::npos) << state;
  EXPECT_NE(state.find("\"hid_open\":true"), std::string::npos);
  EXPECT_NE(state.find("\"gpio_latch\":\"2804\""), std::string::npos);  // 9 and 7 on, 8 off (2 from the INI)
  EXPECT_NE(ParseFields(probe->Ask("entry 0"))["marker0"], "0");
  ASSERT_EQ(probe->Ask("close 0x0100"), "0");
  state = install.SimControl("state");
  EXPECT_NE(state.find("\"power\":false"), std::string::npos) << state;
  EXPECT_NE(state.find("\"hid_open\":false"), std::string::npos);
  EXPECT_NE(state.find("\"gpio_latch\":\"0004\""), std::string::npos);  // 7, 8, 9 off
}

TEST(PortEntries, ABridgeThatNeverConfiguresIsRestartedAfterEveryFailedAttempt) {
  InstallDir install("AdminCheckCut=0");
  auto probe = install.StartLoadedProbe();
  install.SimControl("fault uart-readback 11");
  EXPECT_EQ(probe->Ask("open 0x0A03" + kOpenWithoutReader, 60000), "-2");
  EXPECT_EQ(install.LogLinesWith("HidSetUartConfig() error end").size(), 11u);
  EXPECT_EQ(install.LogLinesWith("HidDeviceRestart() start").size(), 11u);
  EXPECT_EQ(install.LogLinesWith("k_RS_Open()2 error end").size(), 1u);
  // The binding was kept: the next open configures the restarted bridge.
  EXPECT_EQ(probe->Ask("open 0x0A03" + kOpenWithoutReader), "0");
  // Each read-back of the configuration is logged for the port opened.
  EXPECT_EQ(install.LogLinesWith(" 0a03 HidGetUartConfig  HidRfrwGetFeature() dwRet=0").size(), 12u);
  EXPECT_TRUE(install.LogLinesWith(" 0200 HidGetUartConfig").empty());
}

TEST(PortEntries, EachOpenPortHasALinkThreadThatCloseAndUnloadEnd) {
  InstallDir install("AdminCheckCut=0");
  auto probe = install.StartLoadedProbe();
  ASSERT_EQ(probe->Ask("open 0x0100"), "0");
  EXPECT_EQ(install.LogLinesWith("Llevel Thread Create").size(), 1u);
  EXPECT_EQ(ParseFields(probe->Ask("entry 0"))["link"], "1");
  ASSERT_EQ(probe->Ask("close 0x0100"), "0");
  // The end request was acknowledged and the thread left.
  EXPECT_EQ(install.LogLinesWith("Level Thread Exit").size(), 1u);
  EXPECT_EQ(ParseFields(probe->Ask("entry 0"))["link"], "0");

  // Unloading with ports open stops their threads without the exchange.
  ASSERT_EQ(probe->Ask("open 0x0100"), "0");
  ASSERT_EQ(probe->Ask("open 0x0101" + kOpenWithoutReader), "0");
  EXPECT_EQ(probe->Ask("unload"), "unloaded");
  EXPECT_EQ(install.LogLinesWith("Llevel Thread Terminate").size(), 2u);
  EXPECT_EQ(install.LogLinesWith("Level Thread Exit").size(), 3u);
  // And the process goes on to load it again.
  EXPECT_EQ(probe->Ask("load"), "loaded");
  EXPECT_EQ(probe->Ask("open 0x0101" + kOpenWithoutReader), "0");
}

TEST(PortEntries, AUnitHeldByAnotherLivingProcessIsRefusedAndNotClosedByIt) {
  // One reader: a second process cannot open its bridge while the first
  // holds it, and must not restart it from under the first.
  InstallDir install("AdminCheckCut=0\nHidDeviceOpenRetryCount=0\n");
  auto owner = install.StartLoadedProbe();
  auto other = install.StartLoadedProbe();
  const std::string ownerPid = owner->Ask("pid");
  ASSERT_EQ(owner->Ask("open 0x0100"), "0");
  EXPECT_EQ(other->Ask("open 0x0100"), "-1002");
  EXPECT_EQ(install.LogLinesWith("RFRW_Open 二重オープン").size(), 1u);
  EXPECT_EQ(install.LogLinesWith("RFRW_Open プロセスチェック Process=" + Hex(std::stoi(ownerPid))).size(), 1u);
  // A close from a process that does not own the entry changes nothing.
  EXPECT_EQ(other->Ask("close 0x0100"), "0");
  EXPECT_EQ(ParseFields(other->Ask("entry 0"))["owner"], ownerPid);
  // Another unit is free, but the one bridge is held by the owner.
  EXPECT_EQ(other->Ask("open 0x0101"), "-2");
  EXPECT_FALSE(install.LogLinesWith("k_RS_Open()1 error end").empty());
  EXPECT_EQ(owner->Ask("close 0x0100"), "0");
  EXPECT_EQ(other->Ask("open 0x0100"), "0");
}

TEST(PortEntries, AUnitLeftOpenByACrashedProcessIsTakenOverOnce) {
  InstallDir install("AdminCheckCut=0");
  auto survivor = install.StartLoadedProbe();
  auto crasher = install.StartLoadedProbe();
  const std::string crasherPid = crasher->Ask("pid");
  ASSERT_EQ(crasher->Ask("open 0x0100"), "0");
  EXPECT_EQ(ParseFields(survivor->Ask("inspect"))["attach"], "2");
  crasher->Kill(SIGKILL);
  crasher->Wait();
  // The dead process never detached.
  EXPECT_EQ(ParseFields(survivor->Ask("inspect"))["attach"], "2");

  EXPECT_EQ(survivor->Ask("open 0x0100"), "0");
  EXPECT_EQ(install.LogLinesWith("RFRW_Open プロセスチェック Process=0").size(), 1u);
  auto f = ParseFields(survivor->Ask("inspect"));
  EXPECT_EQ(f["attach"], "1");
  EXPECT_EQ(ParseFields(survivor->Ask("entry 0"))["owner"], survivor->Ask("pid"));

  // The correction is made once: closing and reopening leaves the count.
  EXPECT_EQ(survivor->Ask("close 0x0100"), "0");
  EXPECT_EQ(survivor->Ask("open 0x0100"), "0");
  EXPECT_EQ(ParseFields(survivor->Ask("inspect"))["attach"], "1");
  auto late = install.StartLoadedProbe();
  EXPECT_EQ(ParseFields(late->Ask("inspect"))["attach"], "2");
  EXPECT_EQ(late->Ask("open 0x0100"), "-1002");
}

TEST(PortEntries, TheOpenDataBlockSetsItsFlagsForOneOpenOnly) {
  InstallDir install("AdminCheckCut=0\nDspDownloadCutMode=1\n");
  auto probe = install.StartLoadedProbe();
  // 17 bytes, '#' 'T' at 12 and 13; skip download, no boot mode, pass-through.
  const std::string block = "000000000000000000000000" "2354" "01" "00" "01";
  ASSERT_EQ(probe->Ask("open 0x0100 " + block), "0");
  auto f = ParseFields(probe->Ask("inspect"));
  EXPECT_EQ(f["cut"], "3");   // INI bit 0 and this open's bit 1
  EXPECT_EQ(f["pass"], "2");
  EXPECT_EQ(install.LogLinesWith("DspDownloadCutMode set").size(), 1u);
  EXPECT_EQ(install.LogLinesWith("DspPassThroghMode set").size(), 1u);
  EXPECT_TRUE(install.LogLinesWith("DspBootMode set").empty());
  // The data block is dumped with the entry line.
  EXPECT_EQ(install.LogLinesWith("★★★RFRW_Open Call  Port = 0x100 Data = | 00 00 00 00 00 00 00 00 00 00 00 00 23 54 01 00 01").size(), 1u);
  ASSERT_EQ(probe->Ask("close 0x0100"), "0");

  // The next open without a block clears bit 1 again.
  ASSERT_EQ(probe->Ask("open 0x0100"), "0");
  f = ParseFields(probe->Ask("inspect"));
  EXPECT_EQ(f["cut"], "1");
  EXPECT_EQ(f["pass"], "0");
  ASSERT_EQ(probe->Ask("close 0x0100"), "0");

  // Boot mode only; then blocks of another length or without the marks.
  ASSERT_EQ(probe->Ask("open 0x0100 000000000000000000000000" "2354" "000100"), "0");
  EXPECT_EQ(install.LogLinesWith("DspBootMode set").size(), 1u);
  ASSERT_EQ(probe->Ask("close 0x0100"), "0");
  ASSERT_EQ(probe->Ask("open 0x0100 000000000000000000000000" "2354" "010101" "00"), "0");
  ASSERT_EQ(probe->Ask("close 0x0100"), "0");
  ASSERT_EQ(probe->Ask("open 0x0100 000000000000000000000000" "2353" "010101"), "0");
  EXPECT_EQ(ParseFields(probe->Ask("inspect"))["cut"], "1");
  EXPECT_EQ(install.LogLinesWith("DspDownloadCutMode set").size(), 1u);
}

TEST(PortEntries, NonAdministratorsAreRefusedUnlessTheCheckIsCut) {
  InstallDir install("AdminCheckCut=0");
  auto user = install.StartProbe();
  ASSERT_EQ(user->Ask("drop-privileges"), "ok");
  ASSERT_EQ(user->Ask("load"), "loaded");
  EXPECT_EQ(user->Ask("open 0x0100"), "-10");
  EXPECT_EQ(install.LogLinesWith("RFRW_Open() error end: No admin error").size(), 1u);
  EXPECT_EQ(ParseFields(user->Ask("entry 0"))["use"], "0");
  user->Send("exit");
  user->Wait();

  install.WriteIni("AdminCheckCut=1");
  auto cut = install.StartProbe();
  ASSERT_EQ(cut->Ask("drop-privileges"), "ok");
  ASSERT_EQ(cut->Ask("load"), "loaded");
  EXPECT_EQ(cut->Ask("open 0x0100"), "0");
  EXPECT_EQ(cut->Ask("close 0x0100"), "0");
}

TEST(PortEntries, UnloadingTheLibraryReleasesTheProcessPorts) {
  InstallDir install("AdminCheckCut=0");
  auto watcher = install.StartLoadedProbe();
  auto app = install.StartLoadedProbe();
  ASSERT_EQ(app->Ask("open 0x0102" + kOpenWithoutReader), "0");
  ASSERT_EQ(app->Ask("open 0x0305" + kOpenWithoutReader), "0");
  EXPECT_EQ(ParseFields(watcher->Ask("inspect"))["attach"], "2");
  EXPECT_EQ(app->Ask("unload"), "unloaded");
  EXPECT_EQ(ParseFields(watcher->Ask("inspect"))["attach"], "1");
  for (const char* unit : {"entry 2", "entry 5"}) {
    auto e = ParseFields(watcher->Ask(unit));
    EXPECT_EQ(e["use"], "0");
    EXPECT_EQ(e["owner"], "0");
  }
  EXPECT_FALSE(install.LogLinesWith("k_List_free Call").empty());
  // Loading it again in the same process attaches anew.
  EXPECT_EQ(app->Ask("load"), "loaded");
  EXPECT_EQ(ParseFields(watcher->Ask("inspect"))["attach"], "2");
  EXPECT_EQ(app->Ask("open 0x0102" + kOpenWithoutReader), "0");
}

TEST(PortEntries, AProcessMayExitWhileItsThreadsAreInsideTheLibrary) {
  InstallDir install("AdminCheckCut=0");
  auto watcher = install.StartLoadedProbe();
  for (int round = 0; round < 3; ++round) {
    // LeakSanitizer's exit-time scan cannot stop threads that are still
    // running; leaks are checked by every other test.
    auto app = install.StartLoadedProbe({{"ASAN_OPTIONS", "detect_leaks=0"}});
    ASSERT_EQ(app->Ask("hammer 4"), "hammering");
    ASSERT_EQ(app->Ask("version 8").rfind("0 8 ", 0), 0u);
    app->Send("exit");
    EXPECT_EQ(app->Wait(), 0);
  }
  // Every exit detached and left no port entry behind.
  EXPECT_EQ(ParseFields(watcher->Ask("inspect"))["attach"], "1");
  for (int unit = 0; unit < 4; ++unit) {
    EXPECT_EQ(ParseFields(watcher->Ask("entry " + std::to_string(unit)))["owner"], "0");
  }
}

TEST(PortEntries, AnIniFileRemovedAfterAttachMakesOpenFailWithMissingFile) {
  InstallDir install("AdminCheckCut=0");
  auto probe = install.StartLoadedProbe();
  install.RemoveIni();
  EXPECT_EQ(probe->Ask("open 0x0100"), "-5");
  EXPECT_EQ(ParseFields(probe->Ask("entry 0"))["use"], "0");
}

}  // namespace
}  // namespace zq::test
