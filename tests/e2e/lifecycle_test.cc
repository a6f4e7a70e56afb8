// The library's attach and detach as processes meet them: forked children,
// calls made while a process exits, the order in which a port is taken
// down, and what a run leaves in /dev/shm.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/install_dir.h"
#include "tests/support/namespace_objects.h"

namespace zq::test {
namespace {

namespace fs = std::filesystem;

// Running processes whose program is `program` (zombies have none).
size_t ProcessesRunning(const std::string& program) {
  size_t n = 0;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/proc", ec)) {
    if (fs::read_symlink(e.path() / "exe", ec) == program && !ec) ++n;
  }
  return n;
}

TEST(Lifecycle, AForkedChildNeitherUsesNorTakesDownTheParentsAttachment) {
  InstallDir install("LogFileFlg=1\nAdminCheckCut=0\nHidDeviceOpenRetryCount=0\n");
  // The child leaves with exit() and LeakSanitizer would count the
  // parent's objects it inherited.
  auto parent = install.StartLoadedProbe({{"ASAN_OPTIONS", "detect_leaks=0"}});
  ASSERT_EQ(parent->Ask("open 0x0100"), "0");
  auto before = ParseFields(parent->Ask("inspect"));
  ASSERT_NE(before["collector"], "0");

  // A child never attached: its calls are refused or do nothing, and its
  // exit() leaves the count, the section and the port table as they were.
  EXPECT_EQ(parent->Ask("fork open 0x0101"), "-1 exit=0");
  EXPECT_EQ(parent->Ask("fork close 0x0100"), "0 exit=0");
  EXPECT_EQ(parent->Ask("fork close 0x2100"), "-3 exit=0");
  EXPECT_EQ(parent->Ask("fork version 8").rfind("0 8 ", 0), 0u);
  EXPECT_EQ(ParseFields(parent->Ask("inspect"))["attach"], "1");

  auto third = install.StartLoadedProbe();
  EXPECT_EQ(third->Ask("open 0x0100"), "-1002");
  auto after = ParseFields(third->Ask("inspect"));
  EXPECT_EQ(after["attach"], "2");
  EXPECT_EQ(after["collector"], before["collector"]);
  EXPECT_EQ(ProcessesRunning(install.collectorPath()), 1u);
  EXPECT_EQ(parent->Ask("close 0x0100"), "0");
}

TEST(Lifecycle, CallsMadeWhileTheProcessExitsGetTheirDocumentedResults) {
  InstallDir install("LogFileFlg=1\nAdminCheckCut=0\n");
  auto probe = install.StartLoadedProbe({{"ASAN_OPTIONS", "detect_leaks=0"}});
  ASSERT_EQ(probe->Ask("open 0x0100"), "0");
  probe->Send("exit-calling 0x0100");
  EXPECT_EQ(probe->ReadLine(20000).value_or(""), "after-detach close=0 bad=-3 version=0");
  EXPECT_EQ(probe->Wait(), 0);
}

TEST(Lifecycle, ThePortsLinkThreadEndsBeforeItsDeviceIsReleased) {
  InstallDir install("AdminCheckCut=0");
  auto probe = install.StartLoadedProbe();
  // By a close, and by the unload of a process that left ports open.
  ASSERT_EQ(probe->Ask("open 0x0100"), "0");
  ASSERT_EQ(probe->Ask("close 0x0100"), "0");
  ASSERT_EQ(probe->Ask("open 0x0100"), "0");
  ASSERT_EQ(probe->Ask("unload"), "unloaded");
  size_t exits = 0, releases = 0;
  for (const std::string& line : install.LogLines()) {
    if (line.find("Level Thread Exit") != std::string::npos) ++exits;
    if (line.find("RW_Close() Call") != std::string::npos) {
      ++releases;
      EXPECT_EQ(exits, releases) << "the device went while its link thread still ran";
    }
  }
  EXPECT_EQ(releases, 2u);
}

// The namespace's objects of one kind ("sec", "mtx", "evt").
std::vector<std::string> ObjectsOfKind(const std::string& objectNamespace, const std::string& kind) {
  std::vector<std::string> out;
  for (const std::string& name : NamespaceObjects(objectNamespace)) {
    if (name.find("." + kind + ".") != std::string::npos) out.push_back(name);
  }
  return out;
}

// Sections, gates, mutexes and the comm library's named events all go with
// the last process that holds them.
TEST(Lifecycle, TheLastProcessToGoRemovesEveryObject) {
  InstallDir install("AdminCheckCut=0");
  auto first = install.StartLoadedProbe();
  auto second = install.StartLoadedProbe();
  ASSERT_EQ(first->Ask("open 0x0100"), "0");
  EXPECT_EQ(ObjectsOfKind(install.objectNamespace(), "evt").size(), 2u);  // the device's restart events
  ASSERT_EQ(first->Ask("close 0x0100"), "0");
  EXPECT_EQ(ObjectsOfKind(install.objectNamespace(), "evt"), std::vector<std::string>{});
  ASSERT_EQ(second->Ask("close 0x0105"), "0");
  first->Send("exit");
  EXPECT_EQ(first->Wait(), 0);
  EXPECT_FALSE(ObjectsOfKind(install.objectNamespace(), "sec").empty());  // the second still uses them
  second->Send("exit");
  EXPECT_EQ(second->Wait(), 0);
  EXPECT_EQ(NamespaceObjects(install.objectNamespace()), std::vector<std::string>{});
  // The next process starts afresh and works.
  auto third = install.StartLoadedProbe();
  EXPECT_EQ(ParseFields(third->Ask("inspect"))["attach"], "1");
  EXPECT_EQ(third->Ask("open 0x0100"), "0");
}

// An application that loads and unloads the library again and again keeps
// no mapping of it: the shared area, its mutexes and events all go.
TEST(Lifecycle, LoadingAndUnloadingAgainAndAgainKeepsNoSharedMapping) {
  InstallDir install("AdminCheckCut=0");
  auto probe = install.StartProbe();
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(probe->Ask("load"), "loaded");
    ASSERT_EQ(probe->Ask("open 0x0101" + kOpenWithoutReader), "0");
    ASSERT_EQ(probe->Ask("close 0x0101"), "0");
    ASSERT_EQ(probe->Ask("unload"), "unloaded");
  }
  EXPECT_EQ(probe->Ask("shm-maps"), "0");
}

TEST(Lifecycle, TestProgramsLeaveNothingInTheirNamespaces) {
  // Programs that run the driver in their own process, with and without a
  // simulated reader behind the comm library.
  const std::pair<const char*, const char*> kRuns[] = {
      {ZQ_LINK_TESTS_PATH, "zqt-link-"},
      {ZQ_TRANSPORT_TESTS_PATH, "zqt-transport-"},
  };
  for (const auto& [program, prefix] : kRuns) {
    ChildProcess run({program, "--gtest_filter=*AnOpen*:*OneRead*"}, {});
    EXPECT_EQ(run.Wait(), 0) << program;
    EXPECT_EQ(NamespaceObjects(prefix + std::to_string(run.pid())), std::vector<std::string>{}) << program;
  }
  // An installation whose probe opened the reader, once it has gone.
  std::string objectNamespace;
  {
    InstallDir install("AdminCheckCut=0");
    objectNamespace = install.objectNamespace();
    auto probe = install.StartLoadedProbe();
    ASSERT_EQ(probe->Ask("open 0x0100"), "0");
    EXPECT_FALSE(NamespaceObjects(objectNamespace).empty());
  }
  EXPECT_EQ(NamespaceObjects(objectNamespace), std::vector<std::string>{});
}

}  // namespace
}  // namespace zq::test
