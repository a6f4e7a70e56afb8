// The log writer when its mailslot sends fail (the collector's socket
// refuses, the system is short of buffers, an I/O error): no record is lost
// without a word. This process carries the driver (linked in) and plays the
// collector itself, on the real mailslot.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/log/output_log.h"
#include "driver/state/shared_area.h"
#include "platform/os/mailslot.h"
#include "platform/os/process.h"
#include "platform/os/syscalls.h"
#include "tests/support/namespace_objects.h"
#include "tests/support/syscall_hook.h"
#include "tools/logview.h"

namespace zq::drv {
namespace {

// Before the library's own attach code (default priority) runs: this
// process's objects get a namespace of their own.
__attribute__((constructor(101))) void IsolateThisProcess() {
  setenv("ZELQUAR_NAMESPACE", ("zqt-logw-" + std::to_string(getpid())).c_str(), 1);
  test::RemoveOwnNamespaceAtExit();
}

// Every message waiting in the mailslot, decoded to one line per record.
std::vector<std::string> Drain(platform::MailslotServer& slot) {
  std::string bytes;
  std::vector<uint8_t> buf(40000);
  for (long n; (n = slot.Read(buf.data(), buf.size(), 300)) > 0;) bytes.append(reinterpret_cast<char*>(buf.data()), n);
  std::string text;
  logview::DecodeToText(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), true, &text);
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
    at = end == std::string::npos ? text.size() : end + 1;
  }
  return lines;
}

size_t CountContaining(const std::vector<std::string>& lines, const std::string& fragment) {
  size_t n = 0;
  for (const std::string& l : lines) n += l.find(fragment) != std::string::npos;
  return n;
}

TEST(LogWriterUnderFaults, RecordsThatCannotBeSentAreCountedAndTheCountComesBeforeTheNextRecordThatGoesThrough) {
  SharedArea* area = Shared();
  ASSERT_NE(area, nullptr);
  platform::MailslotServer collector;
  ASSERT_EQ(collector.Create("ZELQUAR_Outlog"), 0u);
  area->logFileFlg = 1;
  area->collectorProcessId = platform::CurrentProcessId();
  OpenLogOutput(*area);
  OutputLog(LogLevel::kError, 0x200, nullptr, 0, "rec#start");
  ASSERT_EQ(CountContaining(Drain(collector), "rec#start"), 1u);

  using Send = test::SyscallHook<&platform::Syscalls::send>;
  struct Row {
    int err;
    int records;
  };
  int n = 0;
  for (const Row r : {Row{EIO, 3}, Row{ENOBUFS, 1}, Row{ECONNREFUSED, 2}}) {
    SCOPED_TRACE(r.err);
    {
      Send hook("send", Send::FailFirst(1 << 30, r.err, -1));
      for (int i = 0; i < r.records; ++i) OutputLog(LogLevel::kError, 0x200, nullptr, 0, "rec#%d", n++);
      EXPECT_GE(hook.calls(), r.records);
    }
    // Nothing of them came; the next record that goes through says how many.
    OutputLog(LogLevel::kError, 0x200, nullptr, 0, "rec#after");
    const std::vector<std::string> got = Drain(collector);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_NE(got[0].find("LogOutput lost " + std::to_string(r.records) + " records"), std::string::npos) << got[0];
    EXPECT_NE(got[1].find("rec#after"), std::string::npos) << got[1];
  }
  // A count that could not be sent itself is carried on, with the records
  // behind it, to the next record that goes through.
  {
    Send hook("send", Send::FailFirst(1, EIO, -1));
    OutputLog(LogLevel::kError, 0x200, nullptr, 0, "rec#lost");
  }
  {
    // The count goes (first send), the record does not (second send).
    Send hook("send", [calls = 0](auto real, int fd, const void* b, size_t len, int flags) mutable -> ssize_t {
      if (++calls == 2) {
        errno = EIO;
        return -1;
      }
      return real(fd, b, len, flags);
    });
    OutputLog(LogLevel::kError, 0x200, nullptr, 0, "rec#lost-too");
  }
  OutputLog(LogLevel::kError, 0x200, nullptr, 0, "rec#last");
  const std::vector<std::string> got = Drain(collector);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_NE(got[0].find("LogOutput lost 1 records"), std::string::npos) << got[0];
  EXPECT_NE(got[1].find("LogOutput lost 1 records"), std::string::npos) << got[1];
  EXPECT_NE(got[2].find("rec#last"), std::string::npos) << got[2];

  CloseLogOutput(*area);
  area->logFileFlg = 0;
  area->collectorProcessId = 0;
}

}  // namespace
}  // namespace zq::drv
