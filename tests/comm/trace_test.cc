// The comm library's trace with the optional trace library present: a fake
// libZQTRACE2.so is loaded first by its path, so that the library's load
// by name finds it (a loaded object answers to its soname). The trace file
// lands in a scratch directory made current for each test.
#include <gtest/gtest.h>

#include "comm_test_util.h"
#include "fake_trace.h"

namespace zq::comm::test {
namespace {

const std::string kScripted = "vid_fff1&pid_7c03";

// "yyyy/mm/dd hh:mm:ss.mmm " + a message, without the line break.
bool IsTraceLine(const std::string& line) {
  const std::string shape = "dddd/dd/dd dd:dd:dd.ddd ";
  if (line.size() <= shape.size() || line.find_first_of("\r\n") != std::string::npos) return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    if (shape[i] == 'd' ? !digit : line[i] != shape[i]) return false;
  }
  return true;
}

class Trace : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.ok()) << ::dlerror();
    ASSERT_NE(fake_, nullptr) << ::dlerror();
    auto logFunc = reinterpret_cast<FakeTraceLogFunc>(::dlsym(fake_, kFakeTraceLogSymbol));
    ASSERT_NE(logFunc, nullptr);
    log_ = logFunc();
    *log_ = FakeTraceLog{};
    ASSERT_TRUE(device_.ok());
  }
  void TearDown() override {
    if (fake_) ::dlclose(fake_);
  }
  OpenOptions Options(const std::string& logicalName) {
    OpenOptions o;
    o.deviceName = kScripted;
    o.logicalName = logicalName;
    return o;
  }

  void* fake_ = ::dlopen(ZQ_FAKE_TRACE_PATH, RTLD_NOW | RTLD_LOCAL);
  FakeTraceLog* log_ = nullptr;
  CommLib lib_;
  Scratch scratch_;
  SimDirectory dir_;
  ScriptedDevice device_{dir_.path(), "scripted"};
};

TEST_F(Trace, TheTraceOpensUnderTheNamesLast14CharactersAndADigit) {
  Port port(lib_);
  ASSERT_EQ(port.Open(Options("ABCDEFGHIJKLMNOPQRST")), 0);  // 20 characters
  EXPECT_EQ(log_->opened, std::vector<std::string>{"GHIJKLMNOPQRST0C"});
  ASSERT_EQ(port.Close(), 0);
  EXPECT_EQ(log_->closed, std::vector<int32_t>{1});  // tracing was on
  // Closed by the library: no more lines until the next open.
  const size_t lines = TraceMessages().size();
  ASSERT_EQ(port.Write({1, 2, 3}), -1);
  EXPECT_EQ(TraceMessages().size(), lines);

  // Refused names are tried with the next digit; only 32 characters count.
  log_->refuse = 2;
  log_->opened.clear();
  ASSERT_EQ(port.Open(Options("0123456789abcdefghijklmnopqrstuvwxyz")), 0);
  EXPECT_EQ(log_->opened, (std::vector<std::string>{"ijklmnopqrstuv0C", "ijklmnopqrstuv1C", "ijklmnopqrstuv2C"}));
  EXPECT_TRUE(HasMessage(TraceMessages(), ApiLine("OpenPort() end 0x4 0x0 0x0")));
  EXPECT_EQ(log_->traceCalls, 0);
}

TEST_F(Trace, TermWithoutClosePortClosesTheTraceAndTheDeviceAllTheSame) {
  {
    Port port(lib_);
    ASSERT_EQ(port.Open(Options("TermOnly")), 0);
    ASSERT_TRUE(WaitUntil([&] { return device_.connected(); }));
    port.TermWithoutClose();
  }
  EXPECT_EQ(log_->opened, std::vector<std::string>{"TermOnly0C"});
  EXPECT_EQ(log_->closed, std::vector<int32_t>{1});
  EXPECT_TRUE(WaitUntil([&] { return !device_.connected(); }));
  // A ClosePort before Term closes it once.
  log_->closed.clear();
  {
    Port port(lib_);
    ASSERT_EQ(port.Open(Options("TermOnly")), 0);
    ASSERT_EQ(port.Close(), 0);
    port.TermWithoutClose();
  }
  EXPECT_EQ(log_->closed, std::vector<int32_t>{1});
}

TEST_F(Trace, AnEmptyLogicalNameWritesNoLineAndMakesNoCall) {
  Port port(lib_);
  ASSERT_EQ(port.Open(Options("")), 0);
  ASSERT_EQ(port.Write({1, 2, 3}), 0);
  ASSERT_EQ(port.Close(), 0);
  EXPECT_FALSE(std::filesystem::exists("ZqRfrwCommVO_Log.LOG"));
  EXPECT_TRUE(log_->opened.empty());
  EXPECT_TRUE(log_->closed.empty());
}

TEST_F(Trace, TheFileRotatesPast20000BytesAndReplacesAnOlderBackLog) {
  std::ofstream("ZqRfrwCommVO_Log.LOG", std::ios::binary) << std::string(20001, 'x');
  std::ofstream("ZqRfrwCommVO_Back_Log.LOG", std::ios::binary) << "older";
  Port port(lib_);
  ASSERT_EQ(port.Open(Options("RotateTest")), 0);
  EXPECT_EQ(FileText("ZqRfrwCommVO_Back_Log.LOG"), std::string(20001, 'x'));
  const std::string fresh = FileText("ZqRfrwCommVO_Log.LOG");
  ASSERT_LT(fresh.size(), 20000u);
  // Every line: "yyyy/mm/dd hh:mm:ss.mmm " + message + CR LF.
  ASSERT_GE(fresh.size(), 2u);
  EXPECT_EQ(fresh.substr(fresh.size() - 2), "\r\n");
  for (size_t at = 0, end; at < fresh.size(); at = end + 2) {
    end = fresh.find("\r\n", at);
    ASSERT_NE(end, std::string::npos);
    EXPECT_TRUE(IsTraceLine(fresh.substr(at, end - at))) << fresh.substr(at, end - at);
  }
  EXPECT_NE(fresh.find("AA10," + kScripted + "\r\n"), std::string::npos);
  EXPECT_NE(fresh.find("\x81\xA1" "API:OpenPort() end 0x4 0x0 0x0\r\n"), std::string::npos);
}

TEST_F(Trace, WritesDumpTheirBytesFrom16OnInRowsOf20) {
  Port port(lib_);
  ASSERT_EQ(port.Open(Options("DumpTest")), 0);
  // The reader thread's first line comes in its own time; the write's lines
  // must not be interleaved with it.
  ASSERT_TRUE(WaitUntil([&] { return HasMessage(TraceMessages(), "AAR0 DoReadThread() START 0x0 0x0 0x0"); }));
  Bytes data(40);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  ASSERT_EQ(port.Write(data), 0);
  auto t = TraceMessages();
  long at = MessageAt(t, "WritePort() 5 0x0 0x0 0x0");
  ASSERT_GE(at, 0);
  EXPECT_EQ(t[at + 1], " 0x5 0x13121110 0x17161514");  // bytes 16 .. 35: one row
  EXPECT_EQ(t[at + 2], "WritePort() 6 0x0 0x0 0x0");
  EXPECT_TRUE(HasMessage(t, "AA40 0x5 0x28 0x3020100"));

  // A dump shorter than its row shows only the caller's bytes.
  const Bytes seventeen(data.begin(), data.begin() + 17);
  ASSERT_EQ(port.Write(seventeen), 0);
  t = TraceMessages();
  at = MessageAt(t, "WritePort() 5 0x0 0x0 0x0", static_cast<size_t>(at) + 1);
  ASSERT_GE(at, 0);
  EXPECT_EQ(t[at + 1], " 0x5 0x10 0x0");
}

}  // namespace
}  // namespace zq::comm::test
