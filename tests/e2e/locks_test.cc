// The named mutexes as processes meet them: per-unit serialisation, dead
// owners, their names, and a mutex that cannot be made.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "tests/support/install_dir.h"

namespace zq::test {
namespace {

bool SharedObjectExists(const InstallDir& install, const std::string& mutexName) {
  return std::filesystem::exists("/dev/shm/ZELQUAR." + install.objectNamespace() + ".mtx." + mutexName);
}

TEST(Locks, ADeadOwnerOfTheApiMutexDoesNotBlockTheNextCaller) {
  InstallDir install("AdminCheckCut=0\nLogLevel=4\n");
  auto holder = install.StartProbe();
  ASSERT_EQ(holder->Ask("hold-mutex ZELQU_MUTEXOFAPI_R00"), "0x0");
  holder->Kill(SIGKILL);
  holder->Wait();

  auto caller = install.StartLoadedProbe();
  EXPECT_EQ(caller->Ask("open 0x0100"), "0");
  // The take reports the abandoned result, once; later takes are ordinary.
  EXPECT_EQ(install.LogLinesWith("▼▼k_RFRW_SetMutexAPI").size(), 1u);
  EXPECT_NE(install.LogLinesWith("▼▼k_RFRW_SetMutexAPI")[0].find("Ret=0x80"), std::string::npos);
  EXPECT_EQ(caller->Ask("close 0x0100"), "0");
  EXPECT_NE(install.LogLinesWith("▼▼k_RFRW_SetMutexAPI").back().find("Ret=0x0 "), std::string::npos);
}

TEST(Locks, CallsOnOneUnitWaitForEachOtherAndOtherUnitsDoNot) {
  InstallDir install("AdminCheckCut=0");
  auto holder = install.StartProbe();
  // Another process in the middle of a call on unit 0.
  ASSERT_EQ(holder->Ask("hold-mutex ZELQU_MUTEXOFAPI_R00"), "0x0");

  auto sameUnit = install.StartLoadedProbe();
  auto otherUnit = install.StartLoadedProbe();
  sameUnit->Send("open 0x0100");
  // The other unit's calls go through while unit 0 is busy.
  EXPECT_EQ(otherUnit->Ask("open 0x0101" + kOpenWithoutReader, 20000), "0");
  EXPECT_EQ(otherUnit->Ask("close 0x0101", 20000), "0");
  EXPECT_FALSE(sameUnit->ReadLine(300).has_value());

  ASSERT_EQ(holder->Ask("release-mutex ZELQU_MUTEXOFAPI_R00"), "ok");
  EXPECT_EQ(sameUnit->ReadLine(20000).value_or("none"), "0");
}

// An open's own data block decides its own bring-up: another process's
// plain open, made while this one waits for its unit, clears the shared
// "last open" bits but does not turn this open's skipped download into a
// download to a unit no module answers.
TEST(Locks, AnOpenWaitingForItsUnitKeepsItsOwnDataBlock) {
  InstallDir install("AdminCheckCut=0");
  auto holder = install.StartProbe();
  ASSERT_EQ(holder->Ask("hold-mutex ZELQU_MUTEXOFAPI_R01"), "0x0");
  auto withBlock = install.StartLoadedProbe();
  withBlock->Send("open 0x0101" + kOpenWithoutReader);
  for (int i = 0; i < 2000 && install.LogLinesWith("DspDownloadCutMode set").empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(install.LogLinesWith("DspDownloadCutMode set").size(), 1u);
  auto plain = install.StartLoadedProbe();
  EXPECT_EQ(plain->Ask("open 0x0100", 20000), "0");
  ASSERT_EQ(holder->Ask("release-mutex ZELQU_MUTEXOFAPI_R01"), "ok");
  EXPECT_EQ(withBlock->ReadLine(20000).value_or("none"), "0");
  EXPECT_EQ(install.LogLinesWith("DSP Boot Mode Set").size(), 1u);
}

TEST(Locks, MutexNamesCarryTheUnitIndexInLowerCaseHex) {
  InstallDir install("AdminCheckCut=0");
  auto probe = install.StartLoadedProbe();
  ASSERT_EQ(probe->Ask("open 0x011F" + kOpenWithoutReader), "0");
  ASSERT_EQ(probe->Ask("close 0x011F"), "0");
  ASSERT_EQ(probe->Ask("open 0x010A" + kOpenWithoutReader), "0");
  ASSERT_EQ(probe->Ask("close 0x010A"), "0");
  EXPECT_TRUE(SharedObjectExists(install, "ZELQU_MUTEXOFAPI_R1f"));
  EXPECT_TRUE(SharedObjectExists(install, "ZELQU_MUTEXOFRW_R1f"));
  EXPECT_TRUE(SharedObjectExists(install, "ZELQU_MUTEXOFAPI_R0a"));
  EXPECT_TRUE(SharedObjectExists(install, "ZELQU_MUTEXOFRW_R0a"));
  EXPECT_TRUE(SharedObjectExists(install, "ZELQU_MUTEXOFLIST"));
}

TEST(Locks, CloseTakesApiListAndRwInThatOrder) {
  InstallDir install("AdminCheckCut=0\nLogLevel=4\n");
  auto probe = install.StartLoadedProbe();
  ASSERT_EQ(probe->Ask("open 0x0100"), "0");
  ASSERT_EQ(probe->Ask("close 0x0100"), "0");
  std::vector<std::string> order;
  bool inClose = false;
  for (const std::string& line : install.LogLines()) {
    if (line.find("★★★RFRW_Close Call") != std::string::npos) inClose = true;
    if (!inClose) continue;
    for (const char* mark : {"▼▼k_RFRW_SetMutexAPI", "▼▼k_RFRW_SetMutexList", "▼▼k_RFRW_SetMutexRW",
                             "▲▲k_RFRW_ReleaseMutexRW", "▲▲k_RFRW_ReleaseMutexList", "▲▲k_RFRW_ReleaseMutexAPI"}) {
      if (line.find(mark) != std::string::npos) order.push_back(mark);
    }
  }
  EXPECT_EQ(order, (std::vector<std::string>{"▼▼k_RFRW_SetMutexAPI", "▼▼k_RFRW_SetMutexList", "▼▼k_RFRW_SetMutexRW",
                                             "▲▲k_RFRW_ReleaseMutexRW", "▲▲k_RFRW_ReleaseMutexList",
                                             "▲▲k_RFRW_ReleaseMutexAPI"}));
}

// A unit whose API mutex cannot be used (something that is not a mutex
// object stands under its name) is never worked on without it: every call
// on it fails with the internal result and changes nothing, and the other
// units go on.
TEST(Locks, AMutexThatCannotBeUsedFailsTheCallsOfItsUnitOnly) {
  InstallDir install("AdminCheckCut=0");
  const std::string path = "/dev/shm/ZELQUAR." + install.objectNamespace() + ".mtx.ZELQU_MUTEXOFAPI_R02";
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  auto probe = install.StartLoadedProbe();
  EXPECT_EQ(probe->Ask("open 0x0102" + kOpenWithoutReader), "-1");
  EXPECT_EQ(probe->Ask("send 0x0102 00050000"), "-1 0 -");
  EXPECT_EQ(probe->Ask("close 0x0102"), "-1");
  const auto failures = install.LogLinesWith("MutexError k_RFRW_SetMutexAPI Port=0x0102 detail=");
  ASSERT_EQ(failures.size(), 3u);
  EXPECT_EQ(failures[0].find("detail=0"), std::string::npos);  // the system's reason is given
  EXPECT_EQ(ParseFields(probe->Ask("entry 2"))["use"], "0");
  // Nothing was taken, so nothing is released.
  for (const std::string& line : install.LogLinesWith("▲▲k_RFRW_ReleaseMutexAPI")) {
    EXPECT_EQ(line.find("Port=0x0102"), std::string::npos) << line;
  }
  EXPECT_EQ(probe->Ask("open 0x0103" + kOpenWithoutReader), "0");
  EXPECT_EQ(probe->Ask("close 0x0103"), "0");
}

}  // namespace
}  // namespace zq::test
