// The exported surface of the installed driver library: its symbol table,
// the version call, and the argument checks of the calls that need a port.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include "tests/support/install_dir.h"
#include "zq_version.h"

namespace zq::test {
namespace {

std::set<std::string> DefinedDynamicSymbols(const std::string& library) {
  std::set<std::string> names;
  FILE* nm = popen(("nm -D --defined-only " + library).c_str(), "r");
  if (!nm) return names;
  char line[512];
  while (fgets(line, sizeof line, nm)) {
    std::istringstream in(line);
    std::string address, type, name;
    if (in >> address >> type >> name) names.insert(name);
  }
  pclose(nm);
  return names;
}

TEST(Exports, TheLibraryExportsExactlyTheFiveFunctions) {
  InstallDir install;
  EXPECT_EQ(DefinedDynamicSymbols(install.libraryPath()),
            (std::set<std::string>{"RFRW_Open", "RFRW_Close", "RFRW_CLRW_Transmit", "RFRW_PowerCtrl",
                                   "RFRW_GetDllVersion"}));
}

TEST(Exports, VersionIsTheProjectVersionInBigEndianWords) {
  InstallDir install;
  auto probe = install.StartLoadedProbe();
  char expected[64];
  std::snprintf(expected, sizeof expected, "0 8 %04x%04x%04x%04x", ZQ_VERSION_MAJOR, ZQ_VERSION_MINOR,
                ZQ_VERSION_BUILD, ZQ_VERSION_REVISION);
  EXPECT_EQ(probe->Ask("version 8"), expected);
  // A larger buffer still gets exactly 8 bytes.
  EXPECT_EQ(probe->Ask("version 64"), expected);
  // Too small, or no buffer: -3 and a length of 0.
  EXPECT_EQ(probe->Ask("version 7"), "-3 0 -");
  EXPECT_EQ(probe->Ask("version-null 8"), "-3 0 -");
  EXPECT_EQ(install.LogLinesWith("Internal_GetFileVersionCMD(1) *ReceiveLength=7").size(), 1u);
  // The version call needs no port and uses the port value 0x200 in its lines.
  EXPECT_FALSE(install.LogLinesWith(" 0200 ★★★RFRW_GetDllVersion Call  RcvBufLen = 8").empty());
}

TEST(Exports, BadPortNumbersAreRefusedWithTheirDetailsLogged) {
  InstallDir install("AdminCheckCut=0");
  auto probe = install.StartLoadedProbe();
  EXPECT_EQ(probe->Ask("open 0x0000"), "-3");
  EXPECT_EQ(probe->Ask("open 0x2100"), "-3");
  EXPECT_EQ(probe->Ask("open 0x0120"), "-3");
  EXPECT_EQ(install.LogLinesWith("D_Error k_PortCheck(1) detail1 = 0 detail2 = 0  (1098)").size(), 1u);
  EXPECT_EQ(install.LogLinesWith("D_Error k_PortCheck(1) detail1 = 33 detail2 = 0  (1098)").size(), 1u);
  EXPECT_EQ(install.LogLinesWith("D_Error k_PortCheck(1) detail1 = 1 detail2 = 32  (1098)").size(), 1u);
  EXPECT_EQ(install.LogLinesWith("D_Error RFRW_Open(1) detail = -1  (840)").size(), 3u);
  // A refused port number takes no mutex.
  EXPECT_TRUE(install.LogLinesWith("k_RFRW_SetMutex").empty());

  // Bits 16 to 31 are ignored; the highest COM number and unit are valid.
  EXPECT_EQ(probe->Ask("open 0xFFFF0100"), "0");
  EXPECT_EQ(probe->Ask("open 0x201F" + kOpenWithoutReader), "0");
  EXPECT_EQ(probe->Ask("close 0x0100"), "0");
  EXPECT_EQ(probe->Ask("close 0x201F"), "0");

  EXPECT_EQ(probe->Ask("close 0x2100"), "-3");
  EXPECT_EQ(install.LogLinesWith("D_Error k_RFRW_Close(1) detail = -1  (928)").size(), 1u);
  EXPECT_EQ(probe->Ask("transmit 0x0120 4 00050000"), "-3 0");
  EXPECT_EQ(probe->Ask("power 0x0000 0"), "-3");
}

TEST(Exports, TransmitAndPowerCheckArgumentsThenPortState) {
  InstallDir install("AdminCheckCut=0");
  auto probe = install.StartLoadedProbe();
  // Null pointers and an over-long command: -3, and a given length is zeroed.
  EXPECT_EQ(probe->Ask("transmit-null 0x0100 snd"), "-3 0");
  EXPECT_EQ(probe->Ask("transmit-null 0x0100 rcv"), "-3 0");
  EXPECT_EQ(probe->Ask("transmit-null 0x0100 rcvlen"), "-3 256");
  EXPECT_EQ(install.LogLinesWith("D_Error RFRW_CLRW_Transmit(2)  (3810)").size(), 3u);
  EXPECT_EQ(probe->Ask("transmit 0x0100 1553 00050000"), "-3 0");
  EXPECT_EQ(install.LogLinesWith("D_Error RFRW_CLRW_Transmit(3) detail = 1553  (3814)").size(), 1u);
  EXPECT_EQ(probe->Ask("power-null 0x0100"), "-3");
  EXPECT_EQ(probe->Ask("power 0x0100 1"), "-3");
  EXPECT_EQ(probe->Ask("power 0x0100 2"), "-3");
  EXPECT_EQ(install.LogLinesWith("D_Error RFRW_PowerCtrl(2)  (1034)").size(), 1u);
  EXPECT_EQ(install.LogLinesWith("D_Error RFRW_PowerCtrl(3) detail = 0x2  (1038)").size(), 1u);

  // Well-formed calls on a port that is not open.
  EXPECT_EQ(probe->Ask("transmit 0x0100 1552 00050000"), "-1001 0");
  EXPECT_EQ(probe->Ask("power 0x0100 3"), "-1001");
  EXPECT_EQ(install.LogLinesWith("D_Error RFRW_CLRW_Transmit(6)  (3827)").size(), 1u);
  EXPECT_EQ(install.LogLinesWith("D_Error RFRW_PowerCtrl(5)  (1046)").size(), 1u);

  // A port another living process owns.
  auto owner = install.StartLoadedProbe();
  ASSERT_EQ(owner->Ask("open 0x0100"), "0");
  EXPECT_EQ(probe->Ask("transmit 0x0100 4 00050000"), "-3 0");
  EXPECT_EQ(probe->Ask("power 0x0100 0"), "-3");
  EXPECT_EQ(install.LogLinesWith("D_Error RFRW_CLRW_Transmit(5) (3818)").size(), 1u);
  EXPECT_EQ(install.LogLinesWith("D_Error RFRW_PowerCtrl(4) (1042)").size(), 1u);
}

TEST(Exports, ThreadsEnteringTheLibraryLogAttachAndDetachLines) {
  InstallDir install;
  auto probe = install.StartLoadedProbe();
  const std::string pid = probe->Ask("pid");
  const std::string tid = probe->Ask("thread-version");
  char pidHex[32];
  std::snprintf(pidHex, sizeof pidHex, "%x", std::stoi(pid));
  const std::string suffix = std::string("PID=") + pidHex + " TID=" + tid;
  EXPECT_EQ(install.LogLinesWith("DLL_THREAD_ATTACH " + suffix).size(), 1u);
  EXPECT_EQ(install.LogLinesWith("DLL_THREAD_DEATACH " + suffix).size(), 1u);
}

}  // namespace
}  // namespace zq::test
