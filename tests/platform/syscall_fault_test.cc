// The platform modules under failing system calls, made through the
// replaceable call table: a disk that fails, a signal in every blocking call,
// a full socket queue, a mapping or a thread the system cannot give.
//
// Sections: the table itself; files; pipes; mailslot; system log; shared
// section; named mutexes; threads.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/devices/sim_client.h"
#include "platform/os/channel.h"
#include "platform/os/clock.h"
#include "platform/os/files.h"
#include "platform/os/files.h"
#include "platform/os/mailslot.h"
#include "platform/os/named_mutex.h"
#include "platform/os/object_names.h"
#include "platform/os/shared_section.h"
#include "platform/os/syscalls.h"
#include "platform/os/syslog_sender.h"
#include "platform/os/threads.h"
#include "platform/os/win32_errors.h"
#include "tests/support/namespace_objects.h"
#include "tests/support/syscall_hook.h"

namespace zq::platform {
namespace {

using test::SyscallHook;
using Ms = std::chrono::milliseconds;

std::string TestName() { return ::testing::UnitTest::GetInstance()->current_test_info()->name(); }

// The namespace's objects whose names contain `fragment`.
std::vector<std::string> ObjectsWith(const std::string& fragment) {
  std::vector<std::string> out;
  for (const std::string& name : test::NamespaceObjects(std::string(ObjectNamespace()))) {
    if (name.find(fragment) != std::string::npos) out.push_back(name);
  }
  return out;
}

// ---- the table ---------------------------------------------------------------

ssize_t NoWrite(int, const void*, size_t) {
  errno = EIO;
  return -1;
}

TEST(SyscallTable, AMemberIsReplacedByNameAndPutBackWithTheOldOne) {
  void* real = GetSyscall("write");
  ASSERT_NE(real, nullptr);
  EXPECT_EQ(SetSyscall("write", reinterpret_cast<void*>(&NoWrite)), real);
  EXPECT_EQ(Sys().write, &NoWrite);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  EXPECT_EQ(Sys().write(fds[1], "x", 1), -1);
  EXPECT_EQ(errno, EIO);
  // nullptr puts the real call back; an unknown name changes nothing.
  EXPECT_EQ(SetSyscall("write", nullptr), reinterpret_cast<void*>(&NoWrite));
  EXPECT_EQ(GetSyscall("write"), real);
  EXPECT_EQ(Sys().write(fds[1], "x", 1), 1);
  EXPECT_EQ(SetSyscall("no_such_call", reinterpret_cast<void*>(&NoWrite)), nullptr);
  SetSyscall("write", reinterpret_cast<void*>(&NoWrite));
  ResetSyscalls();
  EXPECT_EQ(Sys().write(fds[1], "y", 1), 1);
  char c = 0;
  EXPECT_EQ(Sys().read(fds[0], &c, 1), 1);
  EXPECT_EQ(c, 'x');
  ::close(fds[0]);
  ::close(fds[1]);
}

// ---- files -------------------------------------------------------------------

TEST(FilesUnderFaults, InterruptedAndShortReadsGiveTheWholeFileAndAnIoErrorKeepsWhatCameBefore) {
  const std::string path = std::filesystem::temp_directory_path() / ("zq-fault-" + std::to_string(getpid()) + ".bin");
  std::string content(1000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  std::ofstream(path, std::ios::binary) << content;

  struct Case {
    const char* what;
    int failAtCall;  // the read that fails (1-based), 0 none
    int err;
    uint32_t result;
    size_t got;
  };
  // Every read takes at most 100 bytes; odd reads are interrupted first.
  const Case cases[] = {
      {"a signal before every read", 0, 0, 0, 1000},
      {"the disk fails on the 4th read", 4, EIO, kErrorGenFailure, 100},
      {"the disk is gone on the 6th", 6, ENODEV, Win32FromErrno(ENODEV), 200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int calls = 0;
    SyscallHook<&Syscalls::read> hook("read", [&](auto real, int fd, void* buf, size_t n) -> ssize_t {
      ++calls;
      if (calls == c.failAtCall) {
        errno = c.err;
        return -1;
      }
      if (calls % 2 == 1) {
        errno = EINTR;
        return -1;
      }
      return real(fd, buf, std::min<size_t>(n, 100));
    });
    InputFile f;
    ASSERT_EQ(f.Open(path), 0u);
    std::vector<uint8_t> buf(2000, 0xEE);
    size_t got = 0;
    EXPECT_EQ(f.Read(buf.data(), buf.size(), &got), c.result);
    EXPECT_EQ(got, c.got);
    EXPECT_EQ(std::string(buf.begin(), buf.begin() + static_cast<long>(got)), content.substr(0, got));
  }
  std::filesystem::remove(path);
}

TEST(FilesUnderFaults, AFileIsReplacedWholeOrNotAtAllWhenTheDiskFillsOrFails) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("zq-fault-dir-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = dir / "reader0.json";
  ASSERT_EQ(WriteFileAtomically(path, "old"), 0u);
  const std::string content(5000, 'n');
  struct Case {
    const char* what;
    int failAtCall;  // 0 none
    int err;
    uint32_t result;
  };
  // Every write takes at most 1000 bytes; odd writes are interrupted first.
  const Case cases[] = {
      {"the disk fills", 4, ENOSPC, kErrorDiskFull},
      {"the disk fails", 6, EIO, kErrorGenFailure},
      {"signals and short writes only", 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int calls = 0;
    {
      SyscallHook<&Syscalls::write> hook("write", [&](auto real, int fd, const void* b, size_t n) -> ssize_t {
        ++calls;
        if (calls == c.failAtCall) {
          errno = c.err;
          return -1;
        }
        if (calls % 2 == 1) {
          errno = EINTR;
          return -1;
        }
        return real(fd, b, std::min<size_t>(n, 1000));
      });
      EXPECT_EQ(WriteFileAtomically(path, content), c.result);
    }
    std::string now;
    ASSERT_EQ(ReadWholeFile(path, &now), 0u);
    EXPECT_EQ(now, c.result == 0 ? content : "old");
    // Nothing half-written is left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
  }
  std::filesystem::remove_all(dir);
}

// ---- pipes -------------------------------------------------------------------

TEST(PipesUnderFaults, InterruptedAndShortTransfersCarryWholeMessagesAndAPipeThatCannotBeMadeIsNamed) {
  PipeEnd* r = nullptr;
  PipeEnd* w = nullptr;
  {
    SyscallHook<&Syscalls::pipe2> hook("pipe2", SyscallHook<&Syscalls::pipe2>::FailFirst(1, EMFILE, -1));
    SetLastError(0);
    EXPECT_FALSE(CreatePipe(128 * 1024, &r, &w));
    EXPECT_EQ(LastError(), kErrorTooManyOpenFiles);
  }
  ASSERT_TRUE(CreatePipe(128 * 1024, &r, &w));

  // Every other call is interrupted, the others move at most 997 bytes.
  std::atomic<int> writes{0}, reads{0};
  SyscallHook<&Syscalls::write> wh("write", [&](auto real, int fd, const void* b, size_t n) -> ssize_t {
    if (writes.fetch_add(1) % 2 == 0) {
      errno = EINTR;
      return -1;
    }
    return real(fd, b, std::min<size_t>(n, 997));
  });
  SyscallHook<&Syscalls::read> rh("read", [&](auto real, int fd, void* b, size_t n) -> ssize_t {
    if (reads.fetch_add(1) % 2 == 0) {
      errno = EINTR;
      return -1;
    }
    return real(fd, b, std::min<size_t>(n, 997));
  });
  std::vector<uint8_t> sent(300 * 1024);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 31 + i / 256);
  bool wrote = false;
  std::thread writer([&] { wrote = WriteWhole(w, sent.data(), sent.size()); });
  std::vector<uint8_t> got(sent.size());
  const bool read = ReadWhole(r, got.data(), got.size());
  writer.join();
  EXPECT_TRUE(wrote);
  EXPECT_TRUE(read);
  EXPECT_EQ(got, sent);
  EXPECT_GT(writes.load(), 600);
  EXPECT_GT(reads.load(), 600);
  // A read from a pipe whose writer has gone is a broken pipe, not a hang.
  ClosePipeEnd(w);
  EXPECT_FALSE(ReadWhole(r, got.data(), 10));
  EXPECT_EQ(LastError(), kErrorBrokenPipe);
  ClosePipeEnd(r);
}

// ---- mailslot ----------------------------------------------------------------

TEST(MailslotUnderFaults, SignalsAreRetriedAFullQueueEndsInTimeAndAGoneReaderIsNamed) {
  MailslotServer server;
  ASSERT_EQ(server.Create("fault." + TestName()), 0u);
  MailslotClient client;
  ASSERT_EQ(client.Open("fault." + TestName()), 0u);
  const std::string record = "a record that must arrive whole\r\n";
  const auto* bytes = reinterpret_cast<const uint8_t*>(record.data());
  uint8_t buf[256];

  {
    // Interrupted on both sides: retried, and the message arrives whole.
    SyscallHook<&Syscalls::send> s("send", SyscallHook<&Syscalls::send>::FailFirst(3, EINTR, -1));
    SyscallHook<&Syscalls::recv> r("recv", SyscallHook<&Syscalls::recv>::FailFirst(3, EINTR, -1));
    EXPECT_EQ(client.Send(bytes, record.size(), 1000), 0u);
    EXPECT_EQ(server.Read(buf, sizeof buf, 1000), static_cast<long>(record.size()));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), record.size()), record);
    EXPECT_EQ(s.calls(), 4);
    EXPECT_EQ(r.calls(), 4);
  }
  {
    // A queue that stays full: the sender gives up after its wait, never
    // sooner and not much later; one that clears in time lets it through.
    SyscallHook<&Syscalls::send> s("send", SyscallHook<&Syscalls::send>::FailFirst(1 << 30, EAGAIN, -1));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.Send(bytes, record.size(), 300), kErrorTimeout);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, Ms(298));  // the sender counts whole milliseconds
    EXPECT_LT(took, Ms(1300));
  }
  {
    SyscallHook<&Syscalls::send> s("send", SyscallHook<&Syscalls::send>::FailFirst(5, EAGAIN, -1));
    EXPECT_EQ(client.Send(bytes, record.size(), 1000), 0u);
    EXPECT_EQ(server.Read(buf, sizeof buf, 1000), static_cast<long>(record.size()));
  }
  {
    // The reader's failure is reported, not taken for "nothing came".
    SyscallHook<&Syscalls::recv> r("recv", SyscallHook<&Syscalls::recv>::FailFirst(1, ENOMEM, -1));
    EXPECT_EQ(server.Read(buf, sizeof buf, 100), -1);
    EXPECT_EQ(LastError(), kErrorNotEnoughMemory);
  }
  // The reader gone: the writer hears "not found" at once.
  server.Close();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.Send(bytes, record.size(), 1000), kErrorFileNotFound);
  EXPECT_LT(std::chrono::steady_clock::now() - start, Ms(500));
}

// ---- system log --------------------------------------------------------------

TEST(SystemLogUnderFaults, AnInterruptedSendIsRetriedAndAFullSocketDropsTheEntryAtOnce) {
  const std::string path = std::filesystem::temp_directory_path() / ("zq-syslog-" + std::to_string(getpid()));
  std::filesystem::remove(path);
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::setenv("ZELQUAR_SYSLOG_SOCKET", path.c_str(), 1);
  char buf[512];
  {
    SyscallHook<&Syscalls::sendto> s("sendto", SyscallHook<&Syscalls::sendto>::FailFirst(2, EINTR, -1));
    EXPECT_TRUE(SendToSystemLog(LogSeverity::kError, "zqtest", "interrupted twice"));
    const ssize_t n = ::recv(fd, buf, sizeof buf - 1, MSG_DONTWAIT);
    ASSERT_GT(n, 0);
    buf[n] = 0;
    EXPECT_NE(std::string(buf).find("zqtest[" + std::to_string(getpid()) + "]: interrupted twice"), std::string::npos);
  }
  {
    SyscallHook<&Syscalls::sendto> s("sendto", SyscallHook<&Syscalls::sendto>::FailFirst(1 << 30, EAGAIN, -1));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(SendToSystemLog(LogSeverity::kError, "zqtest", "dropped"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, Ms(200));
    EXPECT_EQ(s.calls(), 1);
  }
  EXPECT_LT(::recv(fd, buf, sizeof buf, MSG_DONTWAIT), 0);
  ::unsetenv("ZELQUAR_SYSLOG_SOCKET");
  ::close(fd);
  std::filesystem::remove(path);
}

// ---- shared section ----------------------------------------------------------

TEST(SharedSectionUnderFaults, ASectionTheSystemCannotGiveIsPrivateNamedAndLeavesNothingBehind) {
  constexpr size_t kSize = 8192;
  using Mmap = SyscallHook<&Syscalls::mmap>;
  using Truncate = SyscallHook<&Syscalls::ftruncate>;
  using ShmOpen = SyscallHook<&Syscalls::shm_open>;
  struct Case {
    const char* what;
    std::function<std::shared_ptr<void>()> install;
    uint32_t error;
  };
  const Case cases[] = {
      {"the shared mapping fails",
       [] {
         return std::make_shared<Mmap>("mmap", [](auto real, void* a, size_t n, int prot, int flags, int fd, off_t o) {
           if (flags & MAP_SHARED) {
             errno = ENOMEM;
             return MAP_FAILED;
           }
           return real(a, n, prot, flags, fd, o);
         });
       },
       kErrorNotEnoughMemory},
      {"sizing the object fails", [] { return std::make_shared<Truncate>("ftruncate", Truncate::FailFirst(1, ENOSPC, -1)); },
       kErrorDiskFull},
      {"the object cannot be opened", [] {
         // The gate opens; the section object itself does not.
         return std::make_shared<ShmOpen>("shm_open", [](auto real, const char* name, int flags, mode_t mode) {
           if (std::string(name).find(".gate") == std::string::npos) {
             errno = EMFILE;
             return -1;
           }
           return real(name, flags, mode);
         });
       },
       kErrorTooManyOpenFiles},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string key = "fault:" + std::string(c.what);
    const std::string object = SharedSectionObjectName(key, kSize).substr(1);
    SharedSection s;
    {
      auto hook = c.install();
      SetLastError(0);
      bool ranUnderGate = false;
      s = AttachSharedSection(key, kSize, [&](SharedSection& in) { ranUnderGate = !in.shared; });
      EXPECT_EQ(LastError(), c.error);
      EXPECT_TRUE(ranUnderGate);
    }
    EXPECT_FALSE(s.shared);
    ASSERT_NE(s.base, nullptr);
    EXPECT_EQ(s.size, kSize);
    auto* bytes = static_cast<uint8_t*>(s.base);
    EXPECT_EQ(std::count(bytes, bytes + kSize, 0), static_cast<long>(kSize));
    bytes[kSize - 1] = 1;  // writable
    // Neither the section object nor its gate is left half-made.
    EXPECT_EQ(ObjectsWith(object), std::vector<std::string>{});
    EXPECT_FALSE(SharedSectionInUse(key, kSize));
    DetachSharedSection(s, true, nullptr);
    // With the system's help again the section is shared, and zero-filled.
    SharedSection again = AttachSharedSection(key, kSize, nullptr);
    EXPECT_TRUE(again.shared);
    EXPECT_TRUE(again.first);
    EXPECT_EQ(static_cast<uint8_t*>(again.base)[kSize - 1], 0);
    DetachSharedSection(again, true, nullptr);
    EXPECT_EQ(ObjectsWith(object), std::vector<std::string>{});
  }
}

// ---- named mutexes -----------------------------------------------------------

TEST(NamedMutexUnderFaults, InterruptedLockWaitsAreRetriedAndAFailedMapLeavesNoObject) {
  const std::string name = "ZQFAULT_" + std::to_string(getpid());
  {
    using Mmap = SyscallHook<&Syscalls::mmap>;
    Mmap hook("mmap", Mmap::FailFirst(1, ENOMEM, MAP_FAILED));
    SetLastError(0);
    EXPECT_EQ(OpenNamedMutex(name.c_str()), nullptr);
    EXPECT_EQ(LastError(), kErrorNotEnoughMemory);
    EXPECT_EQ(ObjectsWith(name), std::vector<std::string>{});
  }
  {
    using Flock = SyscallHook<&Syscalls::flock>;
    Flock hook("flock", Flock::FailFirst(3, EINTR, -1));
    NamedMutex* m = OpenNamedMutex(name.c_str());
    ASSERT_NE(m, nullptr);
    EXPECT_GE(hook.calls(), 4);
    EXPECT_EQ(WaitNamedMutex(m, 1000), kWaitObject0);
    EXPECT_TRUE(ReleaseNamedMutex(m));
    CloseNamedMutex(m);
  }
  EXPECT_EQ(ObjectsWith(name).size(), 1u);
  LetGoOfNamedMutexes();
  EXPECT_EQ(ObjectsWith(name), std::vector<std::string>{});
}

// ---- threads -----------------------------------------------------------------

TEST(ThreadsUnderFaults, AThreadTheSystemCannotStartIsReportedAndItsBodyIsReleasedUnrun) {
  using Create = SyscallHook<&Syscalls::pthread_create>;
  auto ran = std::make_shared<std::atomic<bool>>(false);
  struct Case {
    int err;
    uint32_t error;
  };
  for (const Case c : {Case{EAGAIN, kErrorNotEnoughMemory}, Case{EPERM, kErrorAccessDenied}}) {
    SCOPED_TRACE(c.err);
    Create hook("pthread_create", [&](auto, pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) { return c.err; });
    SetLastError(0);
    EXPECT_EQ(StartThread([ran] {
                ran->store(true);
                return 0u;
              }),
              nullptr);
    EXPECT_EQ(LastError(), c.error);
  }
  // The body and what it holds went with the failed start.
  EXPECT_EQ(ran.use_count(), 1);
  EXPECT_FALSE(ran->load());
  Thread* t = StartThread([ran] {
    ran->store(true);
    return 7u;
  });
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(WaitThreadEnd(t, 5000));
  EXPECT_EQ(ThreadExitCode(t), 7u);
  CloseThread(t);
  EXPECT_TRUE(ran->load());
}

}  // namespace
}  // namespace zq::platform
