// The channel and the link thread against a scripted reader: whole
// conversations at byte level, run in this process.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <deque>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "driver/api/port_entries.h"
#include "driver/link/channel.h"
#include "driver/link/link_thread.h"
#include "driver/link/link_transport.h"
#include "driver/state/local_state.h"
#include "driver/state/shared_area.h"
#include "platform/os/channel.h"
#include "platform/os/clock.h"
#include "platform/os/process.h"
#include "platform/os/syscalls.h"
#include "platform/os/threads.h"
#include "platform/os/win32_errors.h"
#include "protocol/frame.h"
#include "tests/driver/link/fake_reader.h"
#include "tests/support/log_mirror.h"
#include "tests/support/namespace_objects.h"
#include "tests/support/syscall_hook.h"

namespace zq::drv {
namespace {

using test::Bytes;
using test::FakeReader;

std::string MirrorPath() { return "/tmp/zqt-link-" + std::to_string(getpid()) + ".log"; }

// Before the library's own attach code (default priority) runs: this
// process's objects get a namespace of their own, and the log a mirror.
__attribute__((constructor(101))) void IsolateThisProcess() {
  setenv("ZELQUAR_NAMESPACE", ("zqt-link-" + std::to_string(getpid())).c_str(), 1);
  setenv("ZELQUAR_LOG_MIRROR", MirrorPath().c_str(), 1);
  test::RemoveOwnNamespaceAtExit();
  // Also when no test runs (a listing of the tests): the library's attach
  // has created the mirror by then.
  std::atexit([] { std::filesystem::remove(MirrorPath()); });
}

std::vector<std::string> MirrorLinesWith(const std::string& fragment) {
  return zq::test::MirrorLinesWith(MirrorPath(), fragment);
}

constexpr int32_t kAnswerTimeoutMs = 150;
constexpr int32_t kCharacterTimeoutMs = 40;
constexpr int32_t kResendWindowMs = 500;

class LinkTest : public ::testing::Test {
 public:
  void SetUp() override {
    FakeReader::Install();
    Open(0);
  }
  void TearDown() override {
    for (uint32_t unit : opened_) {
      PortEntry& e = Entry(unit);
      if (e.linkThread) k_L_Level_End(0x0100 | unit, e);
      FreeLinkBuffers(e);  // after a forced close, as k_List_free does
      FakeReader::For(*e.dataArea).Reset();
    }
    std::ofstream(MirrorPath(), std::ios::trunc).close();  // the log keeps its file open
  }

  void Open(uint32_t unit) {
    SharedArea* area = Shared();
    ASSERT_NE(area, nullptr);
    area->characterTimeout = kCharacterTimeoutMs;
    area->blockTimeout = kAnswerTimeoutMs;
    area->retryTimeoutApi = kResendWindowMs;
    PortEntry& e = Entry(unit);
    e.dataArea = &area->portDataAreas[unit];
    e.sequenceBit = 0;
    FakeReader::For(*e.dataArea).Reset();
    ASSERT_EQ(k_L_Level_Init(0x0100 | unit, &Llevel_Thread, e), 0);
    opened_.push_back(unit);
  }

  static PortEntry& Entry(uint32_t unit) { return LocalPortEntry(unit); }
  static FakeReader& Reader(uint32_t unit = 0) { return FakeReader::For(*Entry(unit).dataArea); }

  static std::vector<uint8_t> Request(const Bytes& body, uint32_t unit) {
    std::vector<uint8_t> request(kHeaderSize + 3 + body.size(), 0);
    auto* h = reinterpret_cast<LevelMessageHeader*>(request.data());
    h->payloadLength = 3 + static_cast<int32_t>(body.size());
    h->kind = kKindExchange;
    h->timeoutMs = kAnswerTimeoutMs;
    h->portEntry = reinterpret_cast<uintptr_t>(&Entry(unit));
    uint8_t* frame = request.data() + kHeaderSize;
    protocol::WriteFrameHead(protocol::UnitAddress(unit), body.size(), frame);
    std::memcpy(frame + protocol::kFrameHeadLength, body.data(), body.size());
    return request;
  }

  // Puts a request into the port's channel without waiting for its answer.
  static void SendOnly(const Bytes& body, uint32_t unit = 0) {
    PortEntry& e = Entry(unit);
    const std::vector<uint8_t> request = Request(body, unit);
    ASSERT_EQ(k_CM_SendMsg(0x0100 | unit, reinterpret_cast<platform::PipeEnd*>(e.dPipe2Write),
                           reinterpret_cast<platform::Event*>(e.dEvent2), request.data(), static_cast<int32_t>(request.size())),
              0);
  }

  // One exchange of a command body; the reply frame lands in *reply.
  static int32_t Exchange(const Bytes& body, Bytes* reply = nullptr, uint32_t unit = 0) {
    std::vector<uint8_t> request = Request(body, unit);
    request.resize(kRequestBufferSize);
    const int32_t frameLength = 3 + static_cast<int32_t>(body.size());
    std::vector<uint8_t> response(kResponseBufferSize, 0);
    const int32_t result = k_CM_TransmitMsg(0x0100 | unit, request.data(), static_cast<int32_t>(kHeaderSize) + frameLength,
                                            response.data(), static_cast<int32_t>(kResponseBufferSize));
    if (reply) {
      const auto* r = reinterpret_cast<const LevelMessageHeader*>(response.data());
      reply->assign(response.begin() + kHeaderSize, response.begin() + kHeaderSize + r->payloadLength);
    }
    return result;
  }

  // A reader that answers every request frame with `body` at once.
  static void AnswerEveryRequest(const Bytes& body, uint32_t unit = 0) {
    Reader(unit).SetResponder([body](const Bytes& frame, FakeReader& r) {
      if (frame[0] & 0x80) return;  // no resend requests in this script
      r.Send(test::ReplyFrame(frame[0] & 1, body));
    });
  }

  std::vector<uint32_t> opened_;
};

// Waits up to 5 s for `done`.
template <typename Condition>
bool Eventually(Condition done) {
  for (int i = 0; i < 5000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done();
}

const Bytes kCommand{0x00, 0x05, 0x00, 0x00};
const Bytes kAnswer{0x11, 0x22, 0x90, 0x00};

TEST_F(LinkTest, AOneReadReplyIsDeliveredAndRequestsCarryTheSequenceBitAndCheck) {
  AnswerEveryRequest(kAnswer);
  Bytes reply;
  ASSERT_EQ(Exchange(kCommand, &reply), 0);
  EXPECT_EQ(reply, test::ReplyFrame(0x01, kAnswer));
  ASSERT_EQ(Exchange(kCommand, &reply), 0);
  EXPECT_EQ(reply, test::ReplyFrame(0x00, kAnswer));
  const auto written = Reader().written();
  ASSERT_EQ(written.size(), 2u);
  // The first request goes out with sequence bit 1, the next with 0.
  EXPECT_EQ(written[0], test::ReplyFrame(0x01, kCommand));
  EXPECT_EQ(written[1], test::ReplyFrame(0x00, kCommand));
  EXPECT_EQ(Reader().purges(), 0);
}

TEST_F(LinkTest, AnEmptyReplyAndAReplySplitAcrossReadsAreDelivered) {
  Reader().SetResponder([](const Bytes& frame, FakeReader& r) { r.Send(test::ReplyFrame(frame[0] & 1, {})); });
  Bytes reply;
  ASSERT_EQ(Exchange(kCommand, &reply), 0);
  EXPECT_EQ(reply, (Bytes{0x01, 0x00, 0x00, 0x01}));

  // Pieces arrive with pauses shorter than the character timeout.
  Bytes body(150);
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i);
  Reader().SetResponder([body](const Bytes& frame, FakeReader& r) {
    const Bytes whole = test::ReplyFrame(frame[0] & 1, body);
    r.Send(Bytes(whole.begin(), whole.begin() + 1));
    r.Send(Bytes(whole.begin() + 1, whole.begin() + 2), kCharacterTimeoutMs / 4);
    r.Send(Bytes(whole.begin() + 2, whole.begin() + 90), kCharacterTimeoutMs / 4);
    r.Send(Bytes(whole.begin() + 90, whole.end()), kCharacterTimeoutMs / 4);
  });
  ASSERT_EQ(Exchange(kCommand, &reply), 0);
  EXPECT_EQ(reply, test::ReplyFrame(0x00, body));
  EXPECT_EQ(Reader().written().size(), 2u);
}

TEST_F(LinkTest, TheStatusWordComesFromTheTwoBytesBeforeTheCheckByteHoweverShortTheBody) {
  // Body, status word unpacked, data bytes; the caller presets 90 00.
  const struct {
    Bytes body;
    uint16_t statusWord;
    int32_t dataLength;
  } kReplies[] = {
      {{0x11, 0x22, 0x64, 0x03}, 0x6403, 2},
      {{0x90, 0x00}, 0x9000, 0},
      {{0x64}, 0x0164, 0},  // the low length byte and the one body byte
      {{}, 0x0000, 0},      // the two length bytes
  };
  for (const auto& r : kReplies) {
    AnswerEveryRequest(r.body);
    Bytes reply;
    ASSERT_EQ(Exchange(kCommand, &reply), 0);
    uint16_t sw = 0x9000;
    int32_t length = 64;
    uint8_t data[64];
    EXPECT_EQ(k_MakeRecvDat(0x0100, reply.data(), &sw, &length, data), 0);
    EXPECT_EQ(sw, r.statusWord) << r.body.size() << " body bytes";
    EXPECT_EQ(length, r.dataLength);
  }
}

TEST_F(LinkTest, LinkFailuresAreLoggedAtLevel0WithTheirOwnDetail) {
  // A request too short to hold a frame head.
  std::vector<uint8_t> request = Request(kCommand, 0);
  reinterpret_cast<LevelMessageHeader*>(request.data())->payloadLength = 2;
  std::vector<uint8_t> response(kResponseBufferSize);
  EXPECT_EQ(k_CM_TransmitMsg(0x0100, request.data(), static_cast<int32_t>(request.size()), response.data(),
                             static_cast<int32_t>(response.size())),
            -1);
  EXPECT_EQ(MirrorLinesWith(" 0 0100 L_Error k_GetEvent(5) detail = 2  (442)").size(), 1u);

  // A reply nobody can take any more: the API side's end of the reply pipe
  // has gone (the write fails instead of raising SIGPIPE).
  signal(SIGPIPE, SIG_IGN);
  PortEntry& e = Entry(0);
  platform::ClosePipeEnd(reinterpret_cast<platform::PipeEnd*>(e.dPipe1Read));
  e.dPipe1Read = 0;
  AnswerEveryRequest(kAnswer);
  SendOnly(kCommand);
  ASSERT_TRUE(Eventually([] { return !MirrorLinesWith("L_Error k_RBCC(3)").empty(); }));
  EXPECT_EQ(MirrorLinesWith(" 0 0100 L_Error k_RBCC(3) detail = -2  (692)").size(), 1u);
  EXPECT_FALSE(MirrorLinesWith(" 0 0100 L_Error k_Send_D_Level(1) detail = -2  (734)").empty());
  k_ForcedClose(e);
}

TEST_F(LinkTest, ABadCheckByteIsFollowedByOneResendRequest) {
  int replies = 0;
  Reader().SetResponder([&replies](const Bytes& frame, FakeReader& r) {
    const uint8_t seq = frame[0] & 1;
    r.Send(replies++ == 0 ? test::BrokenReplyFrame(seq, kAnswer) : test::ReplyFrame(seq, kAnswer));
  });
  Bytes reply;
  ASSERT_EQ(Exchange(kCommand, &reply), 0);
  EXPECT_EQ(reply, test::ReplyFrame(0x01, kAnswer));
  const auto written = Reader().written();
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(written[1], (Bytes{0x81, 0x00, 0x00, 0x81}));
  EXPECT_EQ(Reader().purges(), 1);
  EXPECT_FALSE(MirrorLinesWith("L_Error k_RBCC(2)").empty());
}

TEST_F(LinkTest, SilenceGetsOneRepeatThenStatusMinus4UntilTheResendWindowCloses) {
  // First: silent once, then the repeat is answered.
  int requests = 0;
  Reader().SetResponder([&requests](const Bytes& frame, FakeReader& r) {
    if (requests++ > 0) r.Send(test::ReplyFrame(frame[0] & 1, kAnswer));
  });
  ASSERT_EQ(Exchange(kCommand), 0);
  auto written = Reader().written();
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(written[0], written[1]);  // the same frame again
  EXPECT_EQ(Reader().purges(), 1);

  // Then a reader that never answers: each request is sent twice, ends with
  // -4 and detail 1, and the API side resends until its window has passed.
  Reader().Reset();
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(Exchange(kCommand), -4);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(kResendWindowMs));
  written = Reader().written();
  ASSERT_GE(written.size(), 4u);
  ASSERT_EQ(written.size() % 2, 0u);
  for (size_t i = 0; i < written.size(); i += 2) EXPECT_EQ(written[i], written[i + 1]);
  EXPECT_FALSE(MirrorLinesWith("LevelError Event = 3 Status = 1 ErrorSts = -4 detail = 1").empty());
  EXPECT_FALSE(MirrorLinesWith("D_Error k_CM_TransmitMsg(6) detail = -4  (1339)").empty());
}

// Wherever a reply stops (after its address byte, inside its length,
// after its head, inside its payload) it gets one resend request a
// character timeout after its last byte, not the answer timeout; the reply
// sent again is delivered.
TEST_F(LinkTest, AReplyThatStallsAnywhereInItsFrameGetsAResendRequestACharacterTimeoutAfterItsLastByte) {
  for (const long sent : {1, 2, 3, 5}) {
    SCOPED_TRACE(sent);
    std::chrono::steady_clock::time_point stopped{}, resendAsked{};
    uint8_t address = 0;
    int requests = 0;
    Reader().SetResponder([&](const Bytes& frame, FakeReader& r) {
      const Bytes whole = test::ReplyFrame(frame[0] & 1, kAnswer);
      if (requests++ == 0) {
        address = frame[0];
        r.Send(Bytes(whole.begin(), whole.begin() + sent));  // and then nothing
        stopped = std::chrono::steady_clock::now();
      } else {
        resendAsked = std::chrono::steady_clock::now();
        const auto resend = protocol::ResendRequest(address);
        EXPECT_EQ(frame, Bytes(resend.begin(), resend.end()));
        r.Send(whole);
      }
    });
    const size_t before = Reader().written().size();
    Bytes reply;
    ASSERT_EQ(Exchange(kCommand, &reply), 0);
    EXPECT_EQ(reply, test::ReplyFrame(address & 1, kAnswer));
    EXPECT_EQ(Reader().written().size(), before + 2);
    EXPECT_GE(resendAsked - stopped, std::chrono::milliseconds(kCharacterTimeoutMs));
    EXPECT_LT(resendAsked - stopped, std::chrono::milliseconds(kAnswerTimeoutMs));
  }
}

// A long payload is read as a whole, not byte by byte: the character
// timeout still counts from the newest byte. Pieces 30 ms apart (each gap
// under the 40 ms timeout, together well over it) make one reply; a
// payload that stops halfway gets its resend request no sooner than the
// timeout after its last byte.
TEST_F(LinkTest, ALongPayloadIsTimedFromItsNewestByteWhetherItTricklesOrStops) {
  Bytes body(40);
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(0xA0 + i);
  std::chrono::steady_clock::time_point stopped{}, resendAsked{};
  int requests = 0;
  Reader().SetResponder([&](const Bytes& frame, FakeReader& r) {
    const Bytes whole = test::ReplyFrame(frame[0] & 1, body);
    switch (requests++) {
      case 0:  // trickles
        for (size_t at = 0; at < whole.size(); at += 12)
          r.Send(Bytes(whole.begin() + static_cast<long>(at), whole.begin() + static_cast<long>(std::min(at + 12, whole.size()))),
                 at == 0 ? 0 : 30);
        break;
      case 1:  // stops after 20 bytes
        r.Send(Bytes(whole.begin(), whole.begin() + 20));
        stopped = std::chrono::steady_clock::now();
        break;
      default:
        resendAsked = std::chrono::steady_clock::now();
        EXPECT_EQ(frame, (Bytes{0x80, 0x00, 0x00, 0x80}));
        r.Send(test::ReplyFrame(0x00, body));
    }
  });
  Bytes reply;
  ASSERT_EQ(Exchange(kCommand, &reply), 0);
  EXPECT_EQ(reply, test::ReplyFrame(0x01, body));
  EXPECT_EQ(Reader().written().size(), 1u) << "a trickle with short gaps is no stall";
  ASSERT_EQ(Exchange(kCommand, &reply), 0);
  EXPECT_EQ(reply, test::ReplyFrame(0x00, body));
  ASSERT_EQ(Reader().written().size(), 3u);
  EXPECT_GE(resendAsked - stopped, std::chrono::milliseconds(kCharacterTimeoutMs));
}

TEST_F(LinkTest, AWrongAddressByteOrSequenceBitRepeatsTheRequest) {
  for (const uint8_t wrong : {uint8_t{0x80}, uint8_t{0x00}}) {
    Reader().Reset();
    int requests = 0;
    Reader().SetResponder([&requests, wrong](const Bytes& frame, FakeReader& r) {
      r.Send(test::ReplyFrame(requests++ == 0 ? wrong : static_cast<uint8_t>(frame[0] & 1), kAnswer));
    });
    // Sequence bit 1 for the first exchange, 0 for the second: 0x00 is
    // wrong only in the first round, so use a fresh bit each time.
    Entry(0).sequenceBit = 0;
    Bytes reply;
    ASSERT_EQ(Exchange(kCommand, &reply), 0);
    EXPECT_EQ(reply, test::ReplyFrame(0x01, kAnswer));
    const auto written = Reader().written();
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[0], written[1]);
  }
  EXPECT_EQ(MirrorLinesWith("L_Error k_RBCC(1) detail1 = 0x80  detail2 = 0 detail3 = 1  (679)").size(), 1u);
  EXPECT_EQ(MirrorLinesWith("L_Error k_RBCC(1) detail1 = 0x0  detail2 = 0 detail3 = 1  (679)").size(), 1u);
}

TEST_F(LinkTest, AnUnknownMessageKindIsIgnoredAndAStaleResponseIsNotReturned) {
  AnswerEveryRequest(kAnswer);
  PortEntry& e = Entry(0);
  uint8_t odd[kHeaderSize + 7] = {};
  auto* h = reinterpret_cast<LevelMessageHeader*>(odd);
  h->payloadLength = 7;
  h->kind = 7;
  h->portEntry = reinterpret_cast<uintptr_t>(&e);
  ASSERT_EQ(k_CM_SendMsg(0x0100, reinterpret_cast<platform::PipeEnd*>(e.dPipe2Write),
                         reinterpret_cast<platform::Event*>(e.dEvent2), odd, sizeof odd),
            0);
  EXPECT_EQ(platform::WaitForEvent(reinterpret_cast<platform::Event*>(e.dEvent1), 300), platform::kWaitTimeout);
  EXPECT_TRUE(Reader().written().empty());

  // An answer nobody collected (sequence bit 1) waits in the reply pipe;
  // the next exchange goes out with bit 1 as well and must get its own.
  uint8_t stale[kHeaderSize] = {};
  auto* s = reinterpret_cast<LevelMessageHeader*>(stale);
  s->sequenceBit = 0;
  ASSERT_EQ(PipeWrite(reinterpret_cast<platform::PipeEnd*>(e.lPipe1Write),
                      reinterpret_cast<platform::Event*>(e.lEvent1), stale, sizeof stale),
            0);
  Bytes reply;
  ASSERT_EQ(Exchange(kCommand, &reply), 0);
  EXPECT_EQ(reply, test::ReplyFrame(0x01, kAnswer));
  EXPECT_EQ(Reader().written().size(), 1u);
  EXPECT_FALSE(MirrorLinesWith("D_Error k_CM_TransmitMsg(6) detail1 = 1 detail2 = 0  (1310)").empty());
  // The channel is back in step.
  ASSERT_EQ(Exchange(kCommand, &reply), 0);
  EXPECT_EQ(reply, test::ReplyFrame(0x00, kAnswer));
}

TEST_F(LinkTest, TheEndRequestStopsTheThreadAndFreesEverything) {
  PortEntry& e = Entry(0);
  ASSERT_NE(e.linkThread, 0u);
  ASSERT_NE(e.linkContext, nullptr);
  k_L_Level_End(0x0100, e);
  EXPECT_EQ(e.linkThread, 0u);
  EXPECT_EQ(e.linkContext, nullptr);
  EXPECT_EQ(e.dPipe1Read, 0u);
  EXPECT_EQ(e.dEvent2, 0u);
  EXPECT_EQ(e.requestBuffer, nullptr);
  EXPECT_EQ(e.slot->linkRunning, 0u);
  EXPECT_EQ(MirrorLinesWith("Level Thread Exit").size(), 1u);
  EXPECT_FALSE(MirrorLinesWith("k_L_Level_End GetExitCodeThread 1 Exit=0 (1670)").empty());
}

// The descriptors this process has open now.
size_t OpenDescriptors() {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

TEST_F(LinkTest, AChannelOrThreadTheSystemCannotGiveFailsTheStartAndLeavesNothing) {
  using Create = test::SyscallHook<&platform::Syscalls::pthread_create>;
  using Pipe = test::SyscallHook<&platform::Syscalls::pipe2>;
  const uint32_t unit = 2;
  PortEntry& e = Entry(unit);
  SharedArea* area = Shared();
  e.dataArea = &area->portDataAreas[unit];
  const size_t fds = OpenDescriptors();
  const int running = LinkThreadsRunning();
  struct Case {
    const char* what;
    std::function<std::shared_ptr<void>()> install;
    const char* line;
  };
  const Case cases[] = {
      {"no thread", [] { return std::make_shared<Create>("pthread_create", [](auto, auto, auto, auto, auto) { return EAGAIN; }); },
       "D_Error k_L_Level_Init(1) detail = -3  (1616)"},
      {"no second pipe",
       [] {
         // The first direction's pipe is made, the second's is not.
         auto calls = std::make_shared<int>(0);
         return std::make_shared<Pipe>("pipe2", [calls](auto real, int* p, int flags) {
           if (++*calls == 2) {
             errno = EMFILE;
             return -1;
           }
           return real(p, flags);
         });
       },
       "D_Error k_L_Level_Init(1) detail = -2  (1616)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t before = MirrorLinesWith(c.line).size();
    {
      const std::shared_ptr<void> hook = c.install();
      EXPECT_EQ(k_L_Level_Init(0x0100 | unit, &Llevel_Thread, e), kLinkChannelFailed);
    }
    EXPECT_EQ(MirrorLinesWith(c.line).size(), before + 1);
    // Nothing of the channel is left: no pipe, event, buffer or thread.
    EXPECT_EQ(e.linkThread, 0u);
    EXPECT_EQ(e.linkContext, nullptr);
    EXPECT_EQ(e.dPipe1Read, 0u);
    EXPECT_EQ(e.dPipe2Write, 0u);
    EXPECT_EQ(e.dEvent1, 0u);
    EXPECT_EQ(e.requestBuffer, nullptr);
    EXPECT_EQ(e.responseBuffer, nullptr);
    EXPECT_EQ(OpenDescriptors(), fds);
    EXPECT_EQ(LinkThreadsRunning(), running);
  }
  // With the system's help again the same entry starts and carries a request.
  Open(unit);
  AnswerEveryRequest({0x01, 0x90, 0x00}, unit);
  Bytes reply;
  EXPECT_EQ(Exchange(kCommand, &reply, unit), kLinkOk);
  ASSERT_FALSE(reply.empty());
  EXPECT_EQ(reply, test::ReplyFrame(reply[0], {0x01, 0x90, 0x00}));
}

// A link thread that acknowledges the end request and then takes longer
// than a hundred polls (10 s) to leave; it ends with exit code 7 unless it
// is told to stop first (then 8).
uint32_t SlowToLeave(void* startRecord) {
  const ThreadStartRecord r = *static_cast<const ThreadStartRecord*>(startRecord);
  LevelMessageHeader reply{};
  PipeWrite(r.pipe1Write, r.event1, reinterpret_cast<const uint8_t*>(&reply), kHeaderSize);  // ready
  std::vector<uint8_t> request(kRequestBufferSize);
  int32_t length = 0;
  platform::WaitForEvent(r.event2, -1);
  PipeRead(r.pipe2Read, request.data(), static_cast<int32_t>(request.size()), &length);
  reply.sequenceBit = r.portEntry->sequenceBit;
  PipeWrite(r.pipe1Write, r.event1, reinterpret_cast<const uint8_t*>(&reply), kHeaderSize);  // end acknowledged
  const bool slept = platform::SleepUnlessStopped(10500);
  LinkThreadEnded();
  return slept ? 7 : 8;
}

TEST(LinkEnd, WaitsForAnAcknowledgingThreadAsLongAsItRunsAndLogsEachQuery) {
  SharedArea* area = Shared();
  ASSERT_NE(area, nullptr);
  area->blockTimeout = kAnswerTimeoutMs;
  PortEntry& e = LocalPortEntry(1);
  e.dataArea = &area->portDataAreas[1];
  ASSERT_EQ(k_L_Level_Init(0x0101, &SlowToLeave, e), 0);
  k_L_Level_End(0x0101, e);
  EXPECT_EQ(e.linkThread, 0u);
  const auto polls = MirrorLinesWith("k_L_Level_End GetExitCodeThread 1 Exit=");
  ASSERT_GT(polls.size(), 100u);
  EXPECT_NE(polls.back().find("GetExitCodeThread 1 Exit=7 (1670)"), std::string::npos) << polls.back();
  EXPECT_EQ(MirrorLinesWith("k_L_Level_End GetExitCodeThread 1 Exit=259 (1670)").size(), polls.size() - 1);
  EXPECT_TRUE(MirrorLinesWith("Llevel Thread Terminate").empty());
  std::ofstream(MirrorPath(), std::ios::trunc).close();
}

TEST_F(LinkTest, AForcedCloseStopsAThreadThatIsWaitingForTheReader) {
  // The reader is silent: the thread sits in its reads when the close comes.
  PortEntry& e = Entry(0);
  int32_t result = 0;
  std::thread caller([&result] { result = Exchange(kCommand); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  k_ForcedClose(e);
  EXPECT_EQ(e.linkThread, 0u);
  EXPECT_EQ(e.dPipe1Read, 0u);
  // The caller's wait for the response ends with the channel.
  caller.join();
  EXPECT_EQ(result, -1);
  EXPECT_EQ(MirrorLinesWith("Level Thread Exit").size(), 1u);
}

TEST_F(LinkTest, AThreadLeftRunningPastItsStopBoundNeverTouchesThePortAgain) {
  PortEntry& e = Entry(0);
  Reader().Hold();
  SendOnly(kCommand);
  ASSERT_TRUE(Eventually([] { return Reader().ReadIsHeld(); }));
  k_ForcedClose(e);  // gives up after its bound
  EXPECT_EQ(e.linkThread, 0u);
  EXPECT_EQ(e.linkContext, nullptr);
  EXPECT_EQ(e.dPipe1Read, 0u);
  EXPECT_EQ(LinkThreadsRunning(), 1);
  FreeLinkBuffers(e);

  // The unit gets a link of its own before the old thread comes back.
  ASSERT_EQ(k_L_Level_Init(0x0100, &Llevel_Thread, e), 0);
  void* const fresh = e.linkContext;
  ASSERT_NE(fresh, nullptr);
  Reader().Release();
  ASSERT_TRUE(Eventually([] { return LinkThreadsRunning() == 1; }));
  EXPECT_EQ(e.linkContext, fresh);
  AnswerEveryRequest(kAnswer);
  EXPECT_EQ(Exchange(kCommand), 0);
}

TEST_F(LinkTest, AReplyLongerThanTheReceiveBufferIsDrainedAndFailsTheRequest) {
  Reader().SetResponder([](const Bytes& frame, FakeReader& r) {
    Bytes head{static_cast<uint8_t>(frame[0] & 1), 0xFF, 0xFF};
    r.Send(head);
    r.Send(Bytes(200, 0x33));
  });
  Entry(0).requestBuffer[0] = 0;
  Shared()->retryTimeoutApi = 0;  // no resends from the API side
  EXPECT_EQ(Exchange(kCommand), -4);
  EXPECT_FALSE(MirrorLinesWith("L_Error k_GetEvent(4)").empty());
  Shared()->retryTimeoutApi = kResendWindowMs;
  AnswerEveryRequest(kAnswer);
  EXPECT_EQ(Exchange(kCommand), 0);
}

TEST_F(LinkTest, ExchangesThroughInterruptedAndShortPipeCallsArriveWhole) {
  // Every other pipe read and write of both sides is interrupted by a
  // signal, and the others move at most 100 bytes.
  using Read = test::SyscallHook<&platform::Syscalls::read>;
  using Write = test::SyscallHook<&platform::Syscalls::write>;
  std::atomic<int> reads{0}, writes{0};
  Bytes big(1500);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7 + 1);
  big.insert(big.end(), {0x90, 0x00});
  const size_t errors = MirrorLinesWith("_Error").size();
  {
    Read r("read", [&reads](auto real, int fd, void* b, size_t n) -> ssize_t {
      if (reads.fetch_add(1) % 2 == 0) {
        errno = EINTR;
        return -1;
      }
      return real(fd, b, std::min<size_t>(n, 100));
    });
    Write w("write", [&writes](auto real, int fd, const void* b, size_t n) -> ssize_t {
      if (writes.fetch_add(1) % 2 == 0) {
        errno = EINTR;
        return -1;
      }
      return real(fd, b, std::min<size_t>(n, 100));
    });
    for (int i = 0; i < 10; ++i) {
      const Bytes& answer = i % 2 ? big : kAnswer;
      AnswerEveryRequest(answer);
      Bytes reply;
      ASSERT_EQ(Exchange(kCommand, &reply), 0) << i;
      ASSERT_FALSE(reply.empty());
      EXPECT_EQ(reply, test::ReplyFrame(reply[0], answer)) << i;
    }
  }
  EXPECT_GT(reads.load(), 100);
  EXPECT_GT(writes.load(), 100);
  EXPECT_EQ(MirrorLinesWith("_Error").size(), errors);
}

TEST_F(LinkTest, TwoPortsExchangeAtTheSameTimeWithoutMixingReplies) {
  Open(1);
  AnswerEveryRequest({0xAA, 0x90, 0x00}, 0);
  AnswerEveryRequest({0xBB, 0x90, 0x00}, 1);
  std::atomic<int> bad{0};
  auto run = [&bad](uint32_t unit, uint8_t mark) {
    for (int i = 0; i < 200; ++i) {
      Bytes reply;
      if (Exchange(kCommand, &reply, unit) != 0 || reply.size() != 7 || reply[3] != mark) ++bad;
    }
  };
  std::thread a(run, 0, 0xAA);
  std::thread b(run, 1, 0xBB);
  a.join();
  b.join();
  EXPECT_EQ(bad.load(), 0);
}

// A reader of its own behind a transport table: a script of the commands
// it expects, in order, and what it does with each. It checks every frame
// it is given as the reader would (address, length, block check) and echoes
// the request's sequence bit in its answer.
class ScriptedReader {
 public:
  static void Reset() {
    std::lock_guard<std::mutex> g(lock_);
    steps_.clear();
    pending_.clear();
    mismatches_.clear();
  }
  // The next frame must carry `command`; the reader answers with `answer`,
  // or, with a write result other than 0, the write fails with it.
  static void Expect(const Bytes& command, const Bytes& answer, int32_t writeResult = 0) {
    std::lock_guard<std::mutex> g(lock_);
    steps_.push_back({command, answer, writeResult});
  }
  static std::vector<std::string> Mismatches() {
    std::lock_guard<std::mutex> g(lock_);
    return mismatches_;
  }
  static size_t StepsLeft() {
    std::lock_guard<std::mutex> g(lock_);
    return steps_.size();
  }

  static const LinkTransport kTable;

 private:
  struct Step {
    Bytes command;
    Bytes answer;
    int32_t writeResult;
  };

  static int32_t Write(PortDataArea&, const uint8_t* frame, uint32_t length) {
    std::lock_guard<std::mutex> g(lock_);
    if (steps_.empty()) return kRwNotOpen;  // past the script the reader is gone
    const Step step = steps_.front();
    steps_.pop_front();
    const Bytes f(frame, frame + length);
    uint8_t check = 0;
    for (uint8_t b : f) check ^= b;
    if (f.size() < 4 || (f[0] & 0xFE) != 2 || ((f[1] << 8) | f[2]) + 4u != f.size() || check != 0 ||
        Bytes(f.begin() + 3, f.end() - 1) != step.command) {
      mismatches_.push_back("unexpected frame of " + std::to_string(f.size()) + " bytes");
      return kRwFailed;
    }
    if (step.writeResult != 0) return step.writeResult;
    pending_ = test::ReplyFrame(f[0] & 1, step.answer);
    return 0;
  }

  static int32_t Read(PortDataArea&, uint8_t* buffer, uint32_t maximum, uint32_t waitMs, uint32_t wanted, uint32_t quietMs) {
    size_t n = 0;
    {
      std::lock_guard<std::mutex> g(lock_);
      n = std::min<size_t>(maximum, pending_.size());
      std::copy(pending_.begin(), pending_.begin() + static_cast<long>(n), buffer);
      pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(n));
    }
    if (n > 0) {
      // Fewer than wanted: nothing more comes, and the read says so only
      // after waiting for it.
      if (n < std::min<size_t>(wanted, maximum)) platform::SleepUnlessStopped(quietMs != 0 ? quietMs : waitMs == 0 ? 50 : waitMs);
      return static_cast<int32_t>(n);
    }
    // Only a write of this same link thread brings more: wait out the time.
    platform::SleepUnlessStopped(waitMs == 0 ? 50 : waitMs);
    return kRwTimeout;
  }

  static int32_t Purge(PortDataArea&) { return 0; }

  static inline std::mutex lock_;
  static inline std::deque<Step> steps_;
  static inline Bytes pending_;
  static inline std::vector<std::string> mismatches_;
};

constexpr LinkTransport ScriptedReader::kTable{&ScriptedReader::Write, &ScriptedReader::Read, &ScriptedReader::Purge};

TEST_F(LinkTest, AReaderInstalledThroughTheTableCarriesTheWholeConversationOfItsPort) {
  const Bytes kSecondAnswer{0x33, 0x90, 0x00};
  ScriptedReader::Reset();
  ScriptedReader::Expect(kCommand, kAnswer);
  ScriptedReader::Expect(kCommand, {}, kRwNotOpen);  // the device has gone away
  ScriptedReader::Expect(kCommand, kSecondAnswer);
  // Unit 1's link thread starts with the scripted reader and keeps it after
  // the fakes are installed again; unit 0's thread keeps its fake.
  InstallLinkTransport(&ScriptedReader::kTable);
  Open(1);
  FakeReader::Install();
  AnswerEveryRequest(kAnswer, 0);

  Bytes reply;
  ASSERT_EQ(Exchange(kCommand, &reply, 1), 0);
  EXPECT_EQ(reply, test::ReplyFrame(0x01, kAnswer));

  // A write the transport refuses fails the request with -4 (no resends
  // from the API side here).
  Shared()->retryTimeoutApi = 0;
  EXPECT_EQ(Exchange(kCommand, nullptr, 1), -4);
  Shared()->retryTimeoutApi = kResendWindowMs;
  EXPECT_FALSE(MirrorLinesWith("L_Error k_L_RW_Write(1) detail = -65533  (892)").empty());

  // The port goes on with the next command as if nothing had happened.
  ASSERT_EQ(Exchange(kCommand, &reply, 1), 0);
  ASSERT_EQ(reply.size(), kSecondAnswer.size() + 4);
  EXPECT_EQ(Bytes(reply.begin() + 3, reply.end() - 1), kSecondAnswer);
  EXPECT_TRUE(ScriptedReader::Mismatches().empty());
  EXPECT_EQ(ScriptedReader::StepsLeft(), 0u);

  // Unit 0 still talks to its fake, and no frame of unit 1 reached a fake.
  ASSERT_EQ(Exchange(kCommand, &reply, 0), 0);
  EXPECT_EQ(Reader(0).written().size(), 1u);
  EXPECT_TRUE(Reader(1).written().empty());
}

// ---- a link thread still running when the process exits ----

// Set in the child of the test below: released by this program's last
// destructor, which runs after the library's detach at exit.
FakeReader* g_heldUntilAfterDetach = nullptr;

// Before the namespace's objects go (priority 101).
__attribute__((destructor(102))) void ReleaseAfterTheLibraryDetached() {
  if (!g_heldUntilAfterDetach) return;
  g_heldUntilAfterDetach->Release();
  Eventually([] { return LinkThreadsRunning() == 0; });
}

// A port of this process whose link thread sits in a read that outlasts
// the stop bound of the detach; then the process exits.
void ExitWithALinkThreadInARead() {
  FakeReader::Install();
  SharedArea* area = Shared();
  area->blockTimeout = kAnswerTimeoutMs;
  PortEntry& e = LocalPortEntry(7);
  e.dataArea = &area->portDataAreas[7];
  if (k_L_Level_Init(0x0107, &Llevel_Thread, e) != 0) std::_Exit(3);
  e.slot->useCount = 1;
  e.slot->ownerProcessId = platform::CurrentProcessId();
  SetLinkRunsHere(7, true);
  FakeReader& reader = FakeReader::For(*e.dataArea);
  reader.Hold();
  const std::vector<uint8_t> request = LinkTest::Request(kCommand, 7);
  k_CM_SendMsg(0x0107, reinterpret_cast<platform::PipeEnd*>(e.dPipe2Write), reinterpret_cast<platform::Event*>(e.dEvent2),
               request.data(), static_cast<int32_t>(request.size()));
  if (!Eventually([&reader] { return reader.ReadIsHeld(); })) std::_Exit(4);
  g_heldUntilAfterDetach = &reader;
  std::exit(0);
}

TEST(LinkAtExit, AThreadLeftRunningPastItsStopBoundStillFindsThePortRecords) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ExitWithALinkThreadInARead(), ::testing::ExitedWithCode(0), "");
}

TEST(ResponseWait, IsTwiceTheTimeoutAtLeastTheResendWindowPlus120Seconds) {
  EXPECT_EQ(ResponseWaitMs(2300, 15000), 135000);
  EXPECT_EQ(ResponseWaitMs(4000, 15000), 135000);
  EXPECT_EQ(ResponseWaitMs(10000, 15000), 140000);
  // Never past what a 32-bit wait holds, never below nothing.
  EXPECT_EQ(ResponseWaitMs(1073000000, 15000), 2146120000);
  EXPECT_EQ(ResponseWaitMs(1074000000, 15000), INT32_MAX);
  EXPECT_EQ(ResponseWaitMs(INT32_MAX, 15000), INT32_MAX);
  EXPECT_EQ(ResponseWaitMs(-100000, -200000), 0);
}

}  // namespace
}  // namespace zq::drv
