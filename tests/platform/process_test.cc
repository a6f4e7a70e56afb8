#include "platform/os/process.h"

#include <gtest/gtest.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>

namespace zq::platform {
namespace {

TEST(Process, AliveUntilItEndsEvenBeforeItIsReaped) {
  EXPECT_TRUE(ProcessIsAlive(CurrentProcessId()));
  EXPECT_FALSE(ProcessIsAlive(0));
  pid_t child = fork();
  if (child == 0) {
    pause();
    _exit(0);
  }
  EXPECT_TRUE(ProcessIsAlive(static_cast<uint32_t>(child)));
  kill(child, SIGKILL);
  // Not reaped yet: a zombie has ended all the same.
  bool ended = false;
  for (int i = 0; i < 500 && !ended; ++i) {
    ended = !ProcessIsAlive(static_cast<uint32_t>(child));
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(ended);
  waitpid(child, nullptr, 0);
  EXPECT_FALSE(ProcessIsAlive(static_cast<uint32_t>(child)));
}

// Root, a member of an administrator group (effective or supplementary), and
// the rest, on data.
TEST(Administrator, DecidedByUidAndGroups) {
  const std::vector<uint32_t> admins = {27, 10, 990};  // say sudo, wheel, zelquar
  struct Case {
    uint32_t euid;
    std::vector<uint32_t> groups;
    bool expected;
  } cases[] = {
      {0, {}, true},              // root without any group
      {0, {1000}, true},          // root in an ordinary group
      {1000, {1000}, false},      // a user in his own group
      {1000, {1000, 27}, true},   // supplementary administrator group
      {1000, {990, 1000}, true},  // the reader's group first
      {1000, {}, false},
      {65534, {65534, 46, 20}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CountsAsAdministrator(c.euid, c.groups, admins), c.expected) << "euid " << c.euid;
  }
  EXPECT_FALSE(CountsAsAdministrator(1000, {27}, {}));  // no administrator group on this system
  // The group the installed udev rule gives the reader's device nodes to.
  EXPECT_NE(std::find_if(std::begin(kAdministratorGroups), std::end(kAdministratorGroups),
                         [](const char* g) { return std::strcmp(g, "zelquar") == 0; }),
            std::end(kAdministratorGroups));
}

// What IsAdministrator says in a child that has dropped root for the user
// nobody with `group` as its only group; nullopt when the group does not
// exist here. With `groupFile`, the child sees that file as /etc/group (in a
// mount namespace of its own), so a group can be tried that this system
// lacks; nullopt when the system refuses the namespace.
std::optional<bool> AdministratorAsNobodyIn(const char* group, const std::string& groupFile = "",
                                            gid_t gid = 0) {
  if (groupFile.empty()) {
    struct group* g = getgrnam(group);
    if (!g) return std::nullopt;
    gid = g->gr_gid;
  }
  pid_t child = fork();
  if (child == 0) {
    if (!groupFile.empty()) {
      if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          mount(groupFile.c_str(), "/etc/group", nullptr, MS_BIND, nullptr) != 0) {
        _exit(3);
      }
      struct group* g = getgrnam(group);
      if (!g || g->gr_gid != gid) _exit(4);
    }
    if (setgroups(1, &gid) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
    _exit(IsAdministrator() ? 1 : 0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) > 1) return std::nullopt;
  return WEXITSTATUS(status) == 1;
}

// The real check in a process that is not root: membership of an
// administrator group counts, of another group not.
TEST(Administrator, GroupMembershipOfARealProcess) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
  EXPECT_TRUE(IsAdministrator());
  EXPECT_EQ(AdministratorAsNobodyIn("nogroup"), std::optional<bool>(false));
  int tried = 0;
  for (const char* admin : kAdministratorGroups) {
    if (std::optional<bool> r = AdministratorAsNobodyIn(admin)) {
      EXPECT_TRUE(*r) << admin;
      ++tried;
    }
  }
  if (tried == 0) GTEST_SKIP() << "no administrator group on this system";
}

// A member of group "zelquar", the udev rule's group, is the reader's
// administrator; a member of a group of another name is not. The groups are
// added to a copy of the group database that only the child sees.
TEST(Administrator, MemberOfTheReadersGroup) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
  gid_t unused = 4242;
  while (getgrgid(unused)) ++unused;
  std::string database;
  {
    std::ifstream in("/etc/group");
    database.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  if (!database.empty() && database.back() != '\n') database += '\n';
  char path[] = "/tmp/zq-group-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  fchmod(fd, 0644);  // read by the child after it has become nobody
  close(fd);
  struct Case {
    const char* name;
    bool administrator;
  } cases[] = {{"zelquar", true}, {"zelquarx", false}};
  for (const Case& c : cases) {
    std::ofstream(path) << database << c.name << ":x:" << unused << ":\n";
    std::optional<bool> r = AdministratorAsNobodyIn(c.name, path, unused);
    if (!r) {
      unlink(path);
      GTEST_SKIP() << "no mount namespace here";
    }
    EXPECT_EQ(*r, c.administrator) << c.name;
  }
  unlink(path);
}

}  // namespace
}  // namespace zq::platform
