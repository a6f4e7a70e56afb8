#include "platform/os/shared_section.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace zq::platform {
namespace {

constexpr size_t kSize = 4096;

std::string Key() { return std::string("test:") + ::testing::UnitTest::GetInstance()->current_test_info()->name(); }

uint32_t& Word(SharedSection& s) { return *static_cast<uint32_t*>(s.base); }

// Each attach opens the object anew, so one process can play several
// attached processes: presence is held per attach.
TEST(SharedSection, FirstAttachZeroFillsAndLaterAttachesShareTheData) {
  bool firstSeenUnderGate = false;
  SharedSection a = AttachSharedSection(Key(), kSize, [&](SharedSection& s) { firstSeenUnderGate = s.first; });
  ASSERT_TRUE(a.shared);
  EXPECT_TRUE(a.first);
  EXPECT_TRUE(firstSeenUnderGate);
  Word(a) = 0xC0FFEE;

  SharedSection b = AttachSharedSection(Key(), kSize, nullptr);
  ASSERT_TRUE(b.shared);
  EXPECT_FALSE(b.first);
  EXPECT_EQ(Word(b), 0xC0FFEEu);

  // Another size is another section.
  SharedSection other = AttachSharedSection(Key(), kSize * 2, nullptr);
  EXPECT_TRUE(other.first);
  DetachSharedSection(other, true, nullptr);

  DetachSharedSection(a, true, nullptr);
  EXPECT_EQ(Word(b), 0xC0FFEEu);  // survives while anybody is attached
  SharedSection c = AttachSharedSection(Key(), kSize, nullptr);
  EXPECT_FALSE(c.first);
  DetachSharedSection(b, true, nullptr);
  DetachSharedSection(c, true, nullptr);

  // Everybody left: the next attach starts from zeros.
  SharedSection d = AttachSharedSection(Key(), kSize, nullptr);
  EXPECT_TRUE(d.first);
  EXPECT_EQ(Word(d), 0u);
  DetachSharedSection(d, true, nullptr);
}

TEST(SharedSection, StartsCleanAfterEveryUserCrashed) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t pid = fork();
  if (pid == 0) {
    SharedSection s = AttachSharedSection(Key(), kSize, nullptr);
    Word(s) = 77;
    char c = 1;
    (void)!write(ready[1], &c, 1);
    pause();  // killed while attached: no detach runs
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);

  SharedSection live = AttachSharedSection(Key(), kSize, nullptr);
  EXPECT_FALSE(live.first);
  EXPECT_EQ(Word(live), 77u);
  DetachSharedSection(live, true, nullptr);

  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  SharedSection after = AttachSharedSection(Key(), kSize, nullptr);
  EXPECT_TRUE(after.first);
  EXPECT_EQ(Word(after), 0u);
  DetachSharedSection(after, true, nullptr);
  close(ready[0]);
  close(ready[1]);
}

TEST(SharedSection, InspectionSeesTheDataWithoutAttaching) {
  EXPECT_EQ(InspectSharedSection(Key(), kSize), nullptr);
  SharedSection a = AttachSharedSection(Key(), kSize, nullptr);
  Word(a) = 5;
  const void* view = InspectSharedSection(Key(), kSize);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(*static_cast<const uint32_t*>(view), 5u);
  EXPECT_EQ(InspectSharedSection(Key(), kSize + 1), nullptr);
  DetachSharedSection(a, false, nullptr);
  // The inspector held no presence: the detach above was the last one.
  SharedSection b = AttachSharedSection(Key(), kSize, nullptr);
  EXPECT_TRUE(b.first);
  DetachSharedSection(b, true, nullptr);
  UnmapInspectedSection(view, kSize);
  DetachSharedSection(a, true, nullptr);
}

}  // namespace
}  // namespace zq::platform
