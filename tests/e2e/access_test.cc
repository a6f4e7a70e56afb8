// Who may reach a reader session, tried as the users themselves: root runs
// the installed library as an application would, and the unprivileged user
// nobody tries, from processes of its own, what an attacker would try, in
// and outside group zelquar. The group is made for the test in a copy of
// the group database that only this test's processes see.
//
// Sections: the test group; a user outside the group; a member; planted and
// damaged objects; holders that never let go; the log; the simulator's
// directory.
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/install_dir.h"

namespace zq::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// ---- the test group ------------------------------------------------------------

// Gives this process (and the processes it starts) a group database of its
// own in which group "zelquar" exists, with nobody as its member or not.
// Returns the group's id; 0 when the test cannot run here.
uint32_t MakeReaderGroup(bool nobodyIsMember) {
  if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) return 0;
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 0;
  uint32_t gid = 64000;
  while (getgrgid(gid)) ++gid;
  std::ifstream in("/etc/group");
  std::ostringstream copy;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("zelquar:", 0) != 0) copy << line << "\n";
  }
  copy << "zelquar:x:" << gid << ":" << (nobodyIsMember ? "nobody" : "") << "\n";
  const std::string path = "/tmp/zq-group-" + std::to_string(getpid());
  std::ofstream(path) << copy.str();
  chmod(path.c_str(), 0644);
  const bool bound = mount(path.c_str(), "/etc/group", nullptr, MS_BIND, nullptr) == 0;
  fs::remove(path);
  return bound ? gid : 0;
}

#define NEED_READER_GROUP(gid) \
  if ((gid) == 0) GTEST_SKIP() << "needs root, setpriv and a mount namespace"

// A probe as nobody (in group `gid` when not 0), with the library loaded.
std::unique_ptr<ChildProcess> NobodyProbe(const InstallDir& install, uint32_t gid = 0) {
  auto probe = install.StartProbe();
  EXPECT_EQ(probe->Ask(gid ? "drop-privileges " + std::to_string(gid) : "drop-privileges"), "ok");
  EXPECT_EQ(probe->Ask("load"), "loaded");
  return probe;
}

struct Mode {
  uint32_t owner, group, permissions;
};
Mode ModeOf(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return {~0u, ~0u, ~0u};
  return {st.st_uid, st.st_gid, st.st_mode & 07777u};
}

// The lines of the fatal-error file the probes of `install` write (their
// current directory is the installation).
std::string FatalErrors(const InstallDir& install) {
  std::ifstream in(install.path() + "/ZELQUAR_DrvDLL_FATALERROR.TXT");
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The namespace's objects in /dev/shm.
std::vector<std::string> Objects(const InstallDir& install) {
  std::vector<std::string> out;
  const std::string prefix = "ZELQUAR." + install.objectNamespace() + ".";
  for (const auto& e : fs::directory_iterator("/dev/shm")) {
    if (e.path().filename().string().rfind(prefix, 0) == 0) out.push_back(e.path().string());
  }
  return out;
}

// ---- a user outside the group ----------------------------------------------------

// Every object of a root session is made for root and the group alone; a
// process of a user outside the group can open none of them, cannot join
// the session, and nothing it tries changes what root's session does.
TEST(Access, AUserOutsideTheGroupCannotReachARootSession) {
  const uint32_t gid = MakeReaderGroup(false);
  NEED_READER_GROUP(gid);
  InstallDir install("AdminCheckCut=0\nLogFileFlg=1\n");
  auto root = install.StartLoadedProbe();
  ASSERT_EQ(root->Ask("open 0x0100"), "0");
  ASSERT_EQ(root->Ask("send 0x0100 00050000").substr(0, 2), "0 ");

  const std::vector<std::string> objects = Objects(install);
  ASSERT_GE(objects.size(), 5u);  // the section, its gate, mutexes, the mailslot
  for (const std::string& object : objects) {
    const Mode m = ModeOf(object);
    EXPECT_EQ(m.owner, 0u) << object;
    EXPECT_EQ(m.group, gid) << object;
    EXPECT_EQ(m.permissions, 0660u) << object;
  }
  EXPECT_EQ(ModeOf(install.logPath()).permissions, 0660u);

  auto other = NobodyProbe(install);
  EXPECT_EQ(other->Ask("try-objects"), "0 0 " + std::to_string(Objects(install).size()));
  EXPECT_EQ(other->Ask("open 0x0100"), "-1");  // never attached: the library is unusable here
  EXPECT_EQ(other->Ask("open 0x0101" + kOpenWithoutReader), "-1");
  EXPECT_EQ(other->Ask("inspect"), "absent");
  EXPECT_EQ(other->Ask("forge-log forged"), "error connect 13");
  EXPECT_EQ(other->Ask("read-file " + install.logPath()), "error open 13");
  EXPECT_EQ(other->Ask("hold-gate"), "error shm_open 13");
  EXPECT_EQ(other->Ask("hold-mutex ZELQU_MUTEXOFAPI_R00"), "error");
  other->Send("exit");
  other->Wait();

  // Root's session goes on as before, with one process attached.
  EXPECT_EQ(ParseFields(root->Ask("inspect"))["attach"], "1");
  EXPECT_EQ(root->Ask("send 0x0100 00050000").substr(0, 2), "0 ");
  ASSERT_EQ(root->Ask("close 0x0100"), "0");
  root->Send("exit");
  root->Wait();
  for (const std::string& record : install.DecodedLog()) EXPECT_EQ(record.find("forged"), std::string::npos) << record;
}

// ---- a member ------------------------------------------------------------------

// A member of the group shares the reader with root exactly as two
// processes of one user do: a unit open elsewhere is refused with -1002,
// other units open, a dead owner's unit is taken over, and its records
// reach root's log.
TEST(Access, AMemberOfTheGroupSharesTheReaderWithRoot) {
  const uint32_t gid = MakeReaderGroup(true);
  NEED_READER_GROUP(gid);
  InstallDir install("AdminCheckCut=0\nLogFileFlg=1\n");
  auto root = install.StartLoadedProbe();
  ASSERT_EQ(root->Ask("open 0x0100"), "0");
  auto member = NobodyProbe(install, gid);
  EXPECT_EQ(ParseFields(member->Ask("inspect"))["attach"], "2");
  EXPECT_EQ(member->Ask("open 0x0100"), "-1002");
  EXPECT_EQ(member->Ask("open 0x0101" + kOpenWithoutReader), "0");
  EXPECT_EQ(member->Ask("close 0x0101"), "0");
  root->Kill(SIGKILL);
  root->Wait();
  EXPECT_EQ(member->Ask("open 0x0100"), "0");
  EXPECT_EQ(member->Ask("send 0x0100 00050000").substr(0, 2), "0 ");
  EXPECT_EQ(member->Ask("close 0x0100"), "0");
  const std::string memberPid = member->Ask("pid");
  member->Send("exit");
  member->Wait();
  char pidHex[32];
  std::snprintf(pidHex, sizeof pidHex, "PID=%x", std::stoi(memberPid));
  bool memberLogged = false;
  for (const std::string& record : install.DecodedLog()) memberLogged |= record.find(pidHex) != std::string::npos;
  EXPECT_TRUE(memberLogged);
}

// ---- planted and damaged objects ----------------------------------------------------

// A shared area prepared before root's first process attaches is refused
// when it is not root's and the group's alone, or not of its size; one that
// is (made by a trusted user, then filled with anything, its texts naming a
// directory of planted programs) steers nothing wildly and loads nothing.
TEST(Access, APlantedOrDamagedSharedAreaIsRefusedOrSteersNothing) {
  const uint32_t gid = MakeReaderGroup(false);
  NEED_READER_GROUP(gid);
  struct Row {
    const char* what;
    bool byNobody;
    const char* plant;  // plant-section MODE SIZEDELTA BYTE
    bool refused;
  };
  const Row rows[] = {
      {"another user's", true, "600 0 00", true},
      {"open to every user", false, "666 0 00", true},
      {"open to another group", false, "640 0 00", true},
      {"of another size", false, "600 8 00", true},
      {"filled with ones", false, "600 0 41", false},
      {"filled with all bits", false, "600 0 ff", false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    InstallDir install("AdminCheckCut=0\nLockTimeout=2000\n");
    // Planted programs that leave a mark when run or loaded.
    const std::string planted = install.path() + "/planted";
    fs::create_directories(planted);
    fs::copy_file(ZQ_PLANTED_LIBRARY_PATH, planted + "/libZqRfrwCommVO.so");
    std::ofstream(planted + "/ZELQUAR_Outlog") << "#!/bin/sh\ntouch " << planted << "/started\n";
    fs::permissions(planted + "/ZELQUAR_Outlog", fs::perms::owner_all);
    std::ofstream(planted + "/ZELQUAR_Drv.ini") << "[RFRW_Drv]\nLogFileFlg=1\n";

    auto planter = install.StartProbe();
    if (r.byNobody) {
      ASSERT_EQ(planter->Ask("drop-privileges"), "ok");
    }
    ASSERT_EQ(planter->Ask("plant-section " + std::string(r.plant) + " " + planted + "/"), "ok");
    auto root = install.StartProbe();
    ASSERT_EQ(root->Ask("load"), "loaded");
    const std::string opened = root->Ask("open 0x0100", 120000);
    if (r.refused) {
      EXPECT_EQ(opened, "-1");
      EXPECT_NE(FatalErrors(install).find("SharedArea attach    ERROR:5 "), std::string::npos) << FatalErrors(install);
    } else {
      // Whatever the damaged values made of the open, it answered, and
      // the process still answers.
      EXPECT_EQ(root->Ask("pid").empty(), false);
    }
    EXPECT_FALSE(fs::exists(planted + "/loaded"));
    EXPECT_FALSE(fs::exists(planted + "/started"));
  }
}

// ---- holders that never let go ------------------------------------------------------

// A process that holds the shared area's gate, or a unit's API mutex, and
// never lets go holds up the others only for their LockTimeout: the attach
// gives up with a message, the call with -1002 and its log line.
TEST(Access, AHolderThatNeverLetsGoHoldsUpTheOthersOnlyForTheBound) {
  InstallDir install("AdminCheckCut=0\nLockTimeout=2000\n");
  auto holder = install.StartProbe();
  ASSERT_EQ(holder->Ask("hold-gate"), "ok");
  auto late = install.StartProbe();
  auto start = Clock::now();
  ASSERT_EQ(late->Ask("load"), "loaded");
  auto waited = Clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(1900));
  EXPECT_LT(waited, std::chrono::milliseconds(6000));
  EXPECT_EQ(late->Ask("open 0x0100"), "-1");
  EXPECT_NE(FatalErrors(install).find("SharedArea attach    ERROR:1460 "), std::string::npos) << FatalErrors(install);
  holder->Kill(SIGKILL);
  holder->Wait();

  auto app = install.StartLoadedProbe();
  auto mutexHolder = install.StartProbe();
  ASSERT_EQ(mutexHolder->Ask("hold-mutex ZELQU_MUTEXOFAPI_R00"), "0x0");
  start = Clock::now();
  EXPECT_EQ(app->Ask("open 0x0100"), "-1002");
  waited = Clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(1900));
  EXPECT_LT(waited, std::chrono::milliseconds(6000));
  EXPECT_EQ(install.LogLinesWith("MutexError k_RFRW_SetMutexAPI Port=0x0100 detail=1460").size(), 1u);
  // Another unit is not held up, and once the holder lets go the unit opens.
  EXPECT_EQ(app->Ask("open 0x0101" + kOpenWithoutReader), "0");
  ASSERT_EQ(mutexHolder->Ask("release-mutex ZELQU_MUTEXOFAPI_R00"), "ok");
  EXPECT_EQ(app->Ask("open 0x0100"), "0");
}

// ---- the log -------------------------------------------------------------------------

// The collector's name taken by another user before any collector started:
// the collector refuses to serve it, no process of the session sends a
// record there, and the session works without its log.
TEST(Access, AMailslotNameTakenByAnotherUserGetsNoRecord) {
  const uint32_t gid = MakeReaderGroup(false);
  NEED_READER_GROUP(gid);
  InstallDir install("AdminCheckCut=0\nLogFileFlg=1\n");
  auto squatter = install.StartProbe();
  ASSERT_EQ(squatter->Ask("drop-privileges"), "ok");
  ASSERT_EQ(squatter->Ask("squat-mailslot"), "ok");
  auto root = install.StartLoadedProbe();
  ASSERT_EQ(root->Ask("open 0x0100"), "0");
  ASSERT_EQ(root->Ask("send 0x0100 00050000").substr(0, 2), "0 ");
  ASSERT_EQ(root->Ask("close 0x0100"), "0");
  EXPECT_EQ(squatter->Ask("squat-count"), "0");
  EXPECT_FALSE(fs::exists(install.logPath()));
}

// ---- the firmware file -------------------------------------------------------------------

// The firmware file an open reads is the installation's own: a name that
// climbs out of the library's directory, an absolute one from an INI file
// others may change, and a file others may write are not read (the open
// fails as for a missing file, with the refusal's error); an absolute path
// from an INI file only root may change is.
TEST(Access, TheFirmwareFileIsTheInstallationsOwn) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to own the INI file as root";
  struct Row {
    const char* what;
    std::string ini;          // added to the INI file
    mode_t iniMode;
    mode_t firmwareMode;
    const char* result;
  };
  InstallDir probeInstall("");
  const std::string absolute = "DspFileName=" + probeInstall.firmwarePath() + "\n";
  const Row rows[] = {
      {"the installation's file", "", 0644, 0644, "0"},
      {"a name that climbs out", "DspFileName=../../../../../../../etc/passwd\n", 0644, 0644, "-5"},
      {"an absolute path from an INI file only root may change", absolute, 0644, 0644, "0"},
      {"an absolute path from an INI file others may change", absolute, 0666, 0644, "-5"},
      {"a file others may write", "", 0644, 0666, "-5"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    InstallDir install("AdminCheckCut=0\nRwPowerOffOnRetryCount=0\n" + r.ini);
    ASSERT_EQ(chmod((install.path() + "/ZELQUAR_Drv.ini").c_str(), r.iniMode), 0);
    ASSERT_EQ(chmod(install.firmwarePath().c_str(), r.firmwareMode), 0);
    auto probe = install.StartLoadedProbe();
    EXPECT_EQ(probe->Ask("open 0x0100", 60000), r.result);
    if (std::string(r.result) == "-5") {
      EXPECT_EQ(install.LogLinesWith("D_Error k_Download_Firm(1) detail = 0x5  (2127)").size(), 1u);
      EXPECT_EQ(install.LogLinesWith("Download Dsp File Name=/etc/passwd").size(), 0u);
    }
  }
}

// ---- the simulator's directory ------------------------------------------------------------

// A simulator directory another user made first serves nobody else: root's
// simulator refuses to start in it, and root's driver does not see the
// simulated reader that user serves from it.
TEST(Access, APlantedSimulatorDirectoryIsRefused) {
  if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs root and setpriv";
  InstallDir install("AdminCheckCut=0\n", "", /*withReader=*/false);
  const std::string dir = install.path() + "/theirs";
  fs::create_directories(dir);
  ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
  const std::vector<std::string> asNobody{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  std::vector<std::string> theirs = asNobody;
  theirs.insert(theirs.end(), {SimulatorProgram(), "--dir", dir, "--name", "planted"});
  ChildProcess theirSim(theirs, {});
  for (int i = 0; i < 500 && !fs::exists(dir + "/planted.json"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(fs::exists(dir + "/planted.json"));

  ChildProcess ours({SimulatorProgram(), "--dir", dir}, {});
  EXPECT_EQ(ours.WaitFor(10000), std::optional<int>(1));

  auto root = install.StartLoadedProbe({{"ZELQUAR_SIM_DIR", dir}});
  EXPECT_EQ(root->Ask("open 0x0100"), "-2");
}

}  // namespace
}  // namespace zq::test
