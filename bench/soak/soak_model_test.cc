// The soak's log accounting against log files made of real records: the
// records are built as the driver sends them and decoded as the log viewer
// reads the collector's files, the mirror lines written as the driver's
// mirror writes them.
#include "bench/soak/soak_model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/os/text_encoding.h"
#include "protocol/log_record.h"
#include "tools/logview.h"

namespace zq::soak {
namespace {

struct Record {
  std::string text;  // UTF-8
  std::vector<uint8_t> data;
};

// The collector's file: the messages one after the other, texts in code page 932.
std::string LogText(const std::vector<Record>& records, const std::string& damage = "") {
  std::string bytes;
  logfmt::RecordTime t{2026, 12, 9, 8, 30, 0, 4711};
  for (const Record& r : records) {
    const std::vector<uint8_t> m = logfmt::BuildMessage(t, platform::Utf8ToCp932(r.text), r.data.data(), r.data.size());
    bytes.append(m.begin(), m.end());
    ++t.stamp;
  }
  bytes += damage;
  std::string text;
  logview::DecodeToText(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), true, &text);
  return text;
}

std::string MirrorLine(const Record& r) {
  std::string line = "1a2b 1a2c 1 0101 " + r.text;
  if (!r.data.empty()) line += " |";
  for (uint8_t b : r.data) line += " " + ToHex(&b, 1);
  return line;
}

const Record kCall{"RFRW_CLRW_Transmit Call Port=0x0101", {0x08, 0x11, 0x00}};
const Record kOut{"★EPC_TagDataWrite Out  Ret = 0", {0x90, 0x00}};
const Record kMutex{"▼▼k_RFRW_SetMutexList (0x104) Ret=0x0 PID=1a2b TID=1a2c", {}};

TEST(SoakLogAccount, EveryMirroredRecordMustBeInTheLogAsOftenAsItWasSent) {
  struct Case {
    const char* name;
    std::vector<Record> mirrored;
    std::vector<Record> logged;
    std::string damage;
    uint64_t lost, damaged, notices;
  };
  const Record notice{"LogOutput lost 3 records", {}};
  const std::vector<Case> cases = {
      {"all there, in another order, with records of other writers", {kCall, kOut, kMutex},
       {kMutex, kOut, Record{"somebody else", {1}}, kCall}, "", 0, 0, 0},
      {"one missing", {kCall, kOut, kMutex}, {kCall, kMutex}, "", 1, 0, 0},
      {"sent twice, found once", {kCall, kCall}, {kCall}, "", 1, 0, 0},
      {"data differs", {kCall}, {Record{kCall.text, {0x08, 0x11, 0x01}}}, "", 1, 0, 0},
      {"a damaged stretch", {kCall}, {kCall}, "\x41\x42\x43", 0, 1, 0},
      {"the writers' own count of dropped records", {kCall}, {notice, kCall}, "", 0, 0, 3},
  };
  for (const Case& c : cases) {
    std::vector<std::string> mirror;
    for (const Record& r : c.mirrored) mirror.push_back(MirrorLine(r));
    const LogAccount a = AccountRecords(mirror, LogText(c.logged, c.damage));
    EXPECT_EQ(a.sent, c.mirrored.size()) << c.name;
    EXPECT_EQ(a.lost, c.lost) << c.name;
    EXPECT_EQ(a.found + a.lost, a.sent) << c.name;
    EXPECT_EQ(a.damaged, c.damaged) << c.name;
    EXPECT_EQ(a.lostNotices, c.notices) << c.name;
    EXPECT_EQ(a.logRecords, c.logged.size()) << c.name;
    EXPECT_EQ(a.lostExamples.size(), c.lost) << c.name;
  }
}

TEST(SoakLogAccount, AMissingRecordIsNamed) {
  const LogAccount a = AccountRecords({MirrorLine(kCall), MirrorLine(kOut)}, LogText({kCall}));
  ASSERT_EQ(a.lostExamples.size(), 1u);
  EXPECT_EQ(a.lostExamples[0], "★EPC_TagDataWrite Out  Ret = 0 | 90 00");
}

TEST(SoakCommands, TagCommandsCarryTheTagAndTheirFields) {
  const std::string epc = "300833B2DDD9014000000003";
  EXPECT_EQ(ToHex(ReadUserCommand(epc, 8)), "08100000" "0011" "3000" + epc + "030008");
  EXPECT_EQ(ToHex(WriteUserCommand(epc, 2, FromHex("CAFEBABE"))), "08110100" "0014" "3000" + epc + "0302CAFEBABE");
}

TEST(SoakBounds, EveryBoundGrowsWithTheTimeoutsAndTheRecoveryLimit) {
  const Settings base;
  Settings longer = base;
  longer.retryTimeoutMs *= 2;
  Settings noRecovery = base;
  noRecovery.recoveries = 0;
  EXPECT_GT(CallBoundMs(longer, 4), CallBoundMs(base, 4));
  EXPECT_GT(CallBoundMs(base, 4), CallBoundMs(noRecovery, 4));
  EXPECT_GT(CallBoundMs(base, 34), CallBoundMs(base, 4));
  // A call without recovery: its exchanges' windows and nothing else.
  EXPECT_EQ(CallBoundMs(noRecovery, 4), 4 * ExchangeBoundMs(base));
  // The open waits out the longest call of another process on the unit.
  EXPECT_EQ(OpenBoundMs(base, 5000) - OpenBoundMs(base, 0), 5000);
  // The INI body carries the settings the bounds were derived from.
  const std::string ini = IniBody(base);
  EXPECT_NE(ini.find("RetryTimeout =1000\n"), std::string::npos);
  EXPECT_NE(ini.find("RwPowerOffOnRetryCount=2\n"), std::string::npos);
  EXPECT_NE(ini.find("LogFileFlg=1\n"), std::string::npos);
}

}  // namespace
}  // namespace zq::soak
