// The tool's pure parts on data: the argument parser, the command bytes it
// builds, the lock payload, response decoding, the message table and the
// watch bookkeeping.
#include <gtest/gtest.h>

#include <set>

#include "ZELQUAR_Drv.h"
#include "tools/zelquar/app.h"
#include "tools/zelquar/cli.h"
#include "tools/zelquar/report.h"

namespace zq::tool {
namespace {

const std::string kEpcA = "300833B2DDD9014000000001";

Bytes H(const std::string& hex) { return ParseHex(hex).value(); }

// ---- the argument parser and the bytes of each command -------------------------------------

struct GoodLine {
  std::vector<std::string> args;
  Command command;
  std::string bytes;  // the application command the options give; "" for none
  uint32_t port = 0x0100;
};

std::string BytesOf(const Options& o) {
  switch (o.command) {
    case Command::kRead: return ToHex(ReadCommand(o.Address(), o.bank, o.pointer, o.words, o.password));
    case Command::kWrite: return ToHex(WriteCommand(o.Address(), o.bank, o.pointer, o.data, o.password));
    case Command::kLock: return ToHex(LockCommand(o.Address(), *o.password, o.payload));
    case Command::kKill: return ToHex(KillCommand(o.Address(), *o.password));
    case Command::kGpio: return o.gpioWrite ? ToHex(GpioWriteCommand(static_cast<uint8_t>(*o.gpioLine), o.on)) : ToHex(GpioReadCommand());
    case Command::kSerial: return o.serialSet ? ToHex(*SerialSetCommand(o.serialText)) : ToHex(SerialGetCommand());
    case Command::kRaw: return ToHex(o.raw);
    default: return "";
  }
}

TEST(ToolArguments, EveryCommandsOptionsGiveTheApplicationCommandBytes) {
  const std::vector<GoodLine> lines = {
      {{"read", "--epc", kEpcA, "--bank", "tid", "--ptr", "0", "--words", "4"},
       Command::kRead, "081000000011" "3000" + kEpcA + "020004"},
      {{"--port", "0x0203", "read", "--epc", kEpcA, "--bank", "user", "--words", "2", "--password", "11223344"},
       Command::kRead, "081002000015" "3000" + kEpcA + "11223344" "030002", 0x0203},
      // Word pointers of one, three and four bytes (P2 0, 1, 3).
      {{"read", "--epc", "ABCD", "--bank", "epc", "--ptr", "0x100", "--words", "1"}, Command::kRead,
       "081000010009" "0800ABCD" "0100010001"},
      {{"read", "--epc", "ABCD", "--bank", "reserved", "--ptr", "16777216", "--words", "1"}, Command::kRead,
       "08100003000A" "0800ABCD" "000100000001"},
      // The tag's own PC word.
      {{"read", "--epc", "ABCD", "--pc", "0C00", "--bank", "tid", "--words", "1"}, Command::kRead,
       "081000000007" "0C00ABCD" "020001"},
      // A leading 0 is no octal: word 10, 10 words; 08 is eight.
      {{"read", "--epc", "ABCD", "--bank", "epc", "--ptr", "010", "--words", "010"}, Command::kRead,
       "081000000007" "0800ABCD" "010A0A"},
      {{"--port", "256", "read", "--epc", "ABCD", "--bank", "epc", "--ptr", "0x0A", "--words", "08"}, Command::kRead,
       "081000000007" "0800ABCD" "010A08"},
      // A write asks for the count of words written (P1 bit 0).
      {{"write", "--epc", kEpcA, "--bank", "user", "--ptr", "0", "--data", "CAFEBABE", "--verify"}, Command::kWrite,
       "081101000014" "3000" + kEpcA + "0300" "CAFEBABE"},
      {{"write", "--epc", kEpcA, "--bank=user", "--data=ca fe", "--password=01020304"}, Command::kWrite,
       "081103000016" "3000" + kEpcA + "01020304" "0300" "CAFE"},
      {{"lock", "--epc", kEpcA, "--password", "11223344", "--lock", "user=lock,access=permalock"}, Command::kLock,
       "081200000015" "3000" + kEpcA + "11223344" "30CC20"},
      {{"lock", "--epc", kEpcA, "--password", "11223344", "--payload", "0C0000"}, Command::kLock,
       "081200000015" "3000" + kEpcA + "11223344" "0C0000"},
      {{"kill", "--epc", kEpcA, "--password", "0A0B0C0D"}, Command::kKill, "081300000012" "3000" + kEpcA + "0A0B0C0D"},
      {{"gpio", "read"}, Command::kGpio, "20400000"},
      {{"gpio", "read", "7"}, Command::kGpio, "20400000"},
      {{"gpio", "write", "9", "1"}, Command::kGpio, "20410901"},
      {{"gpio", "write", "0", "0"}, Command::kGpio, "20410000"},
      {{"serial", "get"}, Command::kSerial, "20300000"},
      {{"serial", "set", "AB"}, Command::kSerial,
       "203000010041" "32333534" "41004200" + std::string(57 * 2, '0')},
      {{"raw", "00 05 16 00"}, Command::kRaw, "00051600"},
      {{"inventory", "--json"}, Command::kInventory, ""},
      {{"--sim=s.json", "--timeout=500", "power", "on"}, Command::kPower, ""},
      {{"info"}, Command::kInfo, ""},
      {{"log", "--follow", "x.LOG"}, Command::kLog, ""},
  };
  for (const GoodLine& l : lines) {
    const ParseResult r = ParseCommandLine(l.args);
    ASSERT_TRUE(r.ok) << l.args[0] << ": " << r.error;
    EXPECT_EQ(r.options.command, l.command);
    EXPECT_EQ(r.options.port, l.port);
    EXPECT_EQ(BytesOf(r.options), l.bytes) << l.args[0];
  }
  // Options of the command and global options mixed, and their values.
  ParseResult r = ParseCommandLine({"inventory", "--json", "--watch", "--interval", "50", "--rssi", "raw"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_TRUE(r.options.json && r.options.watch && r.options.rssiRaw);
  EXPECT_EQ(r.options.intervalMs, 50u);
  EXPECT_EQ(r.options.goneMs, 2000u);  // 4 x interval, at least 2000
  r = ParseCommandLine({"inventory", "--watch", "--interval", "1000"});
  EXPECT_EQ(r.options.goneMs, 4000u);
  r = ParseCommandLine({"--sim=s.json", "--timeout=500", "power", "on"});
  EXPECT_TRUE(r.options.sim && r.options.on);
  EXPECT_EQ(r.options.scenario, "s.json");
  EXPECT_EQ(r.options.timeoutMs, 500u);
  r = ParseCommandLine({"--json", "--version"});
  EXPECT_TRUE(r.ok && r.options.command == Command::kVersion && r.options.json) << r.error;
  r = ParseCommandLine({"log", "--follow", "--last", "5", "x.LOG"});
  EXPECT_TRUE(r.options.follow);
  EXPECT_EQ(r.options.last, 5u);
  EXPECT_EQ(r.options.logFile, "x.LOG");
  r = ParseCommandLine({"write-epc", "--epc", kEpcA, "--new", "AABB"});
  EXPECT_EQ(ToHex(r.options.newEpc), "AABB");
  r = ParseCommandLine({"read", "--help"});
  EXPECT_TRUE(r.ok && r.options.help);
  EXPECT_EQ(r.options.command, Command::kRead);
  r = ParseCommandLine({"help", "lock"});
  EXPECT_TRUE(r.ok && r.options.help);
  EXPECT_EQ(r.options.command, Command::kLock);
}

TEST(ToolArguments, BadLinesAreRefusedWithWhatWasWrongAndTheCommandsUsage) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
      {{}, "a command is needed"},
      {{"inventroy"}, "no command 'inventroy'"},
      {{"--port", "0x0000", "info"}, "--port: COM number 1 to 32"},
      {{"--port", "0x2100", "info"}, "--port: COM number 1 to 32"},
      {{"--port", "0x0120", "info"}, "--port: COM number 1 to 32"},
      {{"--port", "-1", "info"}, "--port: a whole number"},
      {{"--port"}, "--port needs a value"},
      {{"--timeout", "10s", "info"}, "--timeout: a whole number"},
      {{"--sim=", "info"}, "a scenario file expected"},
      {{"--json=yes", "info"}, "--json takes no value"},
      {{"--frob", "info"}, "unknown option '--frob'"},
      {{"info", "-x"}, "unknown option '-x'"},
      {{"--rssi", "raw", "inventory"}, "--rssi belongs after a command"},
      {{"inventory", "--rssi", "dB"}, "--rssi: raw or dbm"},
      {{"inventory", "--gone", "100"}, "go with --watch"},
      {{"inventory", "--interval", "5", "--watch"}, "--interval: a whole number from 10"},
      {{"inventory", "now"}, "inventory takes no argument 'now'"},
      {{"read", "--bank", "tid", "--words", "1"}, "--epc is needed"},
      {{"read", "--epc", kEpcA, "--words", "1"}, "--bank is needed"},
      {{"read", "--epc", kEpcA, "--bank", "tid"}, "--words is needed"},
      {{"read", "--epc", "ABC", "--bank", "tid", "--words", "1"}, "--epc: an even number of hex digits (whole bytes) expected"},
      {{"read", "--epc", "AB:CG", "--bank", "tid", "--words", "1"}, "--epc: hex digits expected"},
      {{"--port", "0100", "info"}, "not '0100' (a number without 0x is decimal: write 0x100)"},
      {{"--port", "0x", "info"}, "--port: a whole number from 0 to 65535 (decimal, or hex with 0x)"},
      {{"read", "--epc", kEpcA, "--bank", "tid", "--words", "1", "--ptr", "0o10"}, "--ptr: a whole number"},
      {{"read", "--epc", kEpcA, "--bank", "tid", "--words", " 1"}, "--words: a whole number"},
      {{"kill", "--epc", kEpcA, "--password", "00000000"}, "kill: the kill password 00000000 kills no tag"},
      {{"read", "--epc", "ABCDEF", "--bank", "tid", "--words", "1"}, "--epc: whole 16-bit words"},
      {{"read", "--epc", std::string(64 * 2, 'A'), "--bank", "tid", "--words", "1"}, "1 to 31 words"},
      {{"read", "--epc", kEpcA, "--epc", kEpcA, "--bank", "tid", "--words", "1"}, "--epc given twice"},
      {{"read", "--epc", kEpcA, "--bank", "rom", "--words", "1"}, "--bank: epc, tid, user or reserved"},
      {{"read", "--epc", kEpcA, "--bank", "tid", "--words", "0"}, "--words: a whole number from 1 to 255"},
      {{"read", "--epc", kEpcA, "--bank", "tid", "--words", "1", "--ptr", "4294967296"}, "--ptr: a whole number"},
      {{"read", "--epc", kEpcA, "--bank", "tid", "--words", "1", "--password", "112233"}, "--password: 4 bytes"},
      {{"read", "--epc", kEpcA, "--bank", "tid", "--words", "1", "--pc", "30"}, "--pc: 2 bytes"},
      {{"read", "--epc", kEpcA, "--bank", "tid", "--words", "1", "--data", "00"}, "--data is not an option of read"},
      {{"write", "--epc", kEpcA, "--bank", "user", "--data", "ABCDEF"}, "--data: whole 16-bit words"},
      {{"write", "--epc", kEpcA, "--bank", "user", "--data", std::string(258 * 2, '0')}, "1 to 128 words"},
      {{"write", "--epc", kEpcA, "--bank", "user", "--words", "1", "--data", "0000"}, "--words is not an option of write"},
      {{"lock", "--epc", kEpcA, "--password", "11223344"}, "one of --payload and --lock"},
      {{"lock", "--epc", kEpcA, "--lock", "user=lock"}, "--password is needed"},
      {{"lock", "--epc", kEpcA, "--password", "11223344", "--payload", "00C0"}, "--payload: 3 bytes"},
      {{"lock", "--epc", kEpcA, "--password", "11223344", "--lock", "user"}, "field=action expected"},
      {{"lock", "--epc", kEpcA, "--password", "11223344", "--lock", "user=lock,user=unlock"}, "named twice"},
      {{"kill", "--epc", kEpcA}, "--password is needed"},
      {{"write-epc", "--epc", kEpcA, "--new", "ABCDE"}, "--new: an even number of hex digits"},
      {{"write-epc", "--new", "ABCD"}, "--epc is needed"},
      {{"write-epc", "--epc", kEpcA, "--new", "ABCD", "--pc", "3000"}, "--pc is not an option of write-epc"},
      {{"power"}, "power needs on or off"},
      {{"power", "3"}, "power needs on or off"},
      {{"gpio"}, "gpio needs read or write"},
      {{"gpio", "write", "3"}, "gpio write needs a line and 0 or 1"},
      {{"gpio", "write", "10", "0"}, "gpio: line 0 to 9"},
      {{"gpio", "read", "15"}, "gpio: line 0 to 9"},
      {{"gpio", "write", "1", "on"}, "gpio write: 0 or 1"},
      {{"gpio", "read", "1", "2"}, "gpio read takes at most a line"},
      {{"serial", "set"}, "serial set needs one TEXT"},
      {{"serial", "set", "tab\there"}, "printable ASCII"},
      {{"serial", "set", std::string(31, 'x')}, "at most 30 characters"},
      {{"serial", "get", "x"}, "serial get takes no further argument"},
      {{"raw"}, "raw needs one HEX command"},
      {{"raw", "0005ZZ00"}, "raw: hex digits expected"},
      {{"raw", "000516"}, "4 to 1552 command bytes"},
      {{"raw", std::string(1553 * 2, '0')}, "4 to 1552 command bytes"},
      {{"log", "a", "b"}, "log takes at most one FILE"},
      {{"version", "now"}, "version takes no argument 'now'"},
      {{"inventory", "--version"}, "--version is not an option of inventory"},
      {{"--version", "read"}, "version takes no argument 'read'"},
  };
  for (const auto& [args, error] : bad) {
    const ParseResult r = ParseCommandLine(args);
    std::string line;
    for (const auto& a : args) line += a + " ";
    EXPECT_FALSE(r.ok) << line;
    EXPECT_NE(r.error.find(error), std::string::npos) << line << ": " << r.error;
    EXPECT_EQ(r.usage, UsageLine(r.options.command)) << line;
    EXPECT_EQ(r.usage.rfind("usage: zelquar ", 0), 0u) << line;
  }
  // The usage line names the command concerned.
  EXPECT_EQ(ParseCommandLine({"read", "--epc", "AB"}).usage, UsageLine(Command::kRead));
  EXPECT_NE(UsageLine(Command::kRead).find("read --epc HEX --bank"), std::string::npos);
}

// The address a tag answers to after a write to its EPC bank.
TEST(ToolArguments, AnEpcBankWriteGivesTheTagTheAddressItsWordsSay) {
  const Bytes old = H("3000" + kEpcA);
  struct Case {
    uint32_t pointer;
    std::string data;
    std::string after;
  };
  const Case cases[] = {
      {3, "0000", "3000" "30080000DDD9014000000001"},                     // one EPC word
      {2, "AAAABBBBCCCCDDDDEEEEFFFF", "3000" "AAAABBBBCCCCDDDDEEEEFFFF"},  // the whole EPC
      {1, "1000" "1234" "5678", "1000" "12345678"},                        // a shorter EPC with its PC
      {1, "3800", "3800" + kEpcA},                                         // a longer PC: only what is known
      {0, "ABCD", "3000" + kEpcA},                                         // the stored CRC only
      {40, "0000", "3000" + kEpcA},                                        // past PC and EPC
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ToHex(AddressAfterEpcWrite(old, c.pointer, H(c.data))), c.after) << c.pointer << " " << c.data;
  }
}

// ---- the lock payload ----------------------------------------------------------------------------

TEST(ToolLockPayload, NamedFormsGiveTheMaskAndActionBits) {
  const std::vector<std::pair<std::string, std::string>> table = {
      {"user=lock", "00C020"},
      {"access=permalock", "300C00"},
      {"user=lock,access=permalock", "30CC20"},
      {"access=permalock,user=lock", "30CC20"},
      {"epc=unlock", "0C0000"},
      {"tid=permaunlock", "030040"},
      {"kill=lock", "C02000"},
      {"kill=permalock,access=permalock,epc=permalock,tid=permalock,user=permalock", "FFFFF0"},
      {"kill=unlock,access=unlock,epc=unlock,tid=unlock,user=unlock", "FFC000"},
  };
  for (const auto& [forms, hex] : table) {
    std::string error;
    const auto payload = LockPayload(forms, &error);
    ASSERT_TRUE(payload) << forms << ": " << error;
    EXPECT_EQ(ToHex(*payload), hex) << forms;
  }
  for (const char* bad : {"", "user", "user=", "=lock", "user=lock,", "pin=lock", "user=seal", "user=lock,user=lock"}) {
    std::string error;
    EXPECT_FALSE(LockPayload(bad, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

// ---- response decoding -------------------------------------------------------------------------------

TEST(ToolDecoding, InventoryRecordsWithPcEpcCrcAndSignalStrength) {
  // Two tags (a 6-word EPC and a 1-word EPC), then 90 00.
  Inventory inv = ParseInventory(H("0002" "3000" + kEpcA + "1234" "A1AF" "0800ABCD" "5678" "E4D0" "9000"));
  ASSERT_TRUE(inv.ok);
  EXPECT_FALSE(inv.truncated);
  ASSERT_EQ(inv.tags.size(), 2u);
  EXPECT_EQ(inv.tags[0].pc, 0x3000);
  EXPECT_EQ(ToHex(inv.tags[0].epc), kEpcA);
  EXPECT_EQ(inv.tags[0].crc, 0x1234);
  EXPECT_NEAR(RssiDbm(inv.tags[0].rssiRaw), -94.316, 0.001);  // A1AF as signed 8.8
  EXPECT_EQ(ToHex(inv.tags[1].epc), "ABCD");
  EXPECT_NEAR(RssiDbm(inv.tags[1].rssiRaw), -27.1875, 0.001);
  EXPECT_EQ(RssiText(0xE4D0, false), "-27.19");
  EXPECT_EQ(RssiText(0xE4D0, true), "58576");

  // A count larger than the data: what is whole is kept.
  inv = ParseInventory(H("0003" "0800ABCD56780001" "0800" "9000"));
  EXPECT_TRUE(inv.ok && inv.truncated);
  EXPECT_EQ(inv.tags.size(), 1u);
  // No tags.
  inv = ParseInventory(H("00009000"));
  EXPECT_TRUE(inv.ok);
  EXPECT_TRUE(inv.tags.empty());
  // The four-byte status response of a refused inventory, and responses too short.
  inv = ParseInventory(H("00006401"));
  EXPECT_FALSE(inv.ok);
  EXPECT_EQ(inv.sw, 0x6401);
  EXPECT_FALSE(ParseInventory(H("9000")).ok);
  EXPECT_EQ(ParseInventory(H("90")).sw, 0x6403);

  // The table: one row per tag, a tag listed twice counted twice.
  inv = ParseInventory(H("0003" "0800ABCD00000100" "0800ABCD00000200" "0800BEEF00000300" "9000"));
  const std::string table = InventoryText(inv, true);
  EXPECT_EQ(table,
            "PC    EPC   RSSI       COUNT  IDENTITY\n"
            "0800  ABCD  512        2      -\n"
            "0800  BEEF  768        1      -\n"
            "2 tags\n");
  const nlohmann::json j = InventoryJson(inv, true);
  EXPECT_EQ(j["tags"].size(), 2u);
  EXPECT_EQ(j["tags"][0]["count"], 2);
  EXPECT_EQ(j["tags"][0]["rssi"], 512);
}

TEST(ToolDecoding, TagOperationOutcomesInformationBlockAndSerialString) {
  struct Case {
    std::string raw;
    bool counted;
    bool ok;
    uint16_t sw;
    int readerStatus;  // -1 none
    int written;       // -1 none
    std::string data;
  };
  const std::vector<Case> cases = {
      {"E28011609000", false, true, 0x9000, -1, -1, "E2801160"},
      {"9000", true, true, 0x9000, -1, -1, ""},
      {"036404", false, false, 0x6404, 0x03, -1, ""},
      {"04026403", true, false, 0x6403, 0x04, 2, ""},
      {"156402", false, false, 0x6402, 0x15, -1, ""},
      {"6401", false, false, 0x6401, -1, -1, ""},
      {"", false, false, 0x6403, -1, -1, ""},
  };
  for (const Case& c : cases) {
    const TagOutcome o = ParseTagOutcome(H(c.raw), c.counted);
    EXPECT_EQ(o.ok, c.ok) << c.raw;
    EXPECT_EQ(o.sw, c.sw) << c.raw;
    EXPECT_EQ(o.readerStatus ? int(*o.readerStatus) : -1, c.readerStatus) << c.raw;
    EXPECT_EQ(o.wordsWritten ? int(*o.wordsWritten) : -1, c.written) << c.raw;
    EXPECT_EQ(ToHex(o.data), c.data) << c.raw;
  }

  // The reader's information block: a head, 22 numbered values, a tail.
  std::string block = "010E0102010001000001" "0042";
  const unsigned values[22] = {0x23F6, 0x23F8, 0x23FA, 0x23FC, 0x23FE, 0x2400, 0x2402, 0x24D4, 0x2406, 0x23D0, 0x23DC,
                               0x23E8, 0x23F4, 0x23F6, 0x23F8, 0x23FA, 0x23FC, 0x23FE, 0x2400, 0x2402, 0x2404, 0x2406};
  char entry[8];
  for (int i = 0; i < 22; ++i) {
    std::snprintf(entry, sizeof entry, "%02X%04X", i + 1, values[i]);
    block += entry;
  }
  block += "0101F40215000102000100529000";
  ASSERT_EQ(H(block).size(), 92u);
  const InfoBlock info = ParseInfoBlock(H(block));
  ASSERT_TRUE(info.valid);
  EXPECT_EQ(ToHex(info.head), "010E0102010001000001");
  ASSERT_EQ(info.entries.size(), 22u);
  EXPECT_EQ(info.entries[7], (std::pair<uint8_t, uint16_t>{8, 0x24D4}));
  EXPECT_EQ(ToHex(info.tail), "0101F4021500010200010052");
  EXPECT_NE(InfoBlockText(info).find("  entry 16 = 2406\n"), std::string::npos);
  EXPECT_FALSE(ParseInfoBlock(H("010E9000")).valid);
  EXPECT_FALSE(ParseInfoBlock(H(block.substr(0, block.size() - 4) + "6403")).valid);
  EXPECT_FALSE(InfoBlockJson(ParseInfoBlock(H("6403")))["valid"]);

  // The serial-string area: UTF-16LE up to the first zero character.
  Bytes area(61, 0);
  const std::string text = "SIM0001";
  for (size_t i = 0; i < text.size(); ++i) area[2 * i] = static_cast<uint8_t>(text[i]);
  EXPECT_EQ(DecodeSerialArea(area), "SIM0001");
  area[14] = 0xE9;  // U+00E9 after it
  EXPECT_EQ(DecodeSerialArea(area), "SIM0001\xC3\xA9");
  EXPECT_EQ(DecodeSerialArea(Bytes(61, 0)), "");
  // What set writes is what get reads back.
  const Bytes set = *SerialSetCommand("ZQ-42");
  ASSERT_EQ(set.size(), 71u);
  EXPECT_EQ(DecodeSerialArea(Bytes(set.begin() + 10, set.end())), "ZQ-42");

  // Hex text.
  EXPECT_EQ(ToHex(H("00 A4:04-00")), "00A40400");
  EXPECT_FALSE(ParseHex("0 0"));
  EXPECT_FALSE(ParseHex("ABC"));
  EXPECT_FALSE(ParseHex("0x12"));
}

// ---- messages ----------------------------------------------------------------------------------------------

TEST(ToolMessages, EveryDriverResultAndStatusWordHasItsOwnMessage) {
  const std::vector<int32_t> results = {RFRW_SUCCESS,         RFRW_ERROR_INTERNAL,   RFRW_ERROR_DEVICE,
                                        RFRW_ERROR_PARAMETER, RFRW_ERROR_EXCHANGE,   RFRW_ERROR_FILE_MISSING,
                                        RFRW_ERROR_NOT_ADMIN, RFRW_ERROR_NOT_OPEN,   RFRW_ERROR_OPEN_ELSEWHERE};
  EXPECT_EQ(KnownResults(), results);
  std::set<std::string> messages, names;
  for (int32_t r : results) {
    names.insert(ResultName(r));
    messages.insert(ResultMessage(r));
    EXPECT_EQ(std::string(ResultName(r)).rfind("RFRW_", 0), 0u) << r;
  }
  EXPECT_EQ(names.size(), results.size());
  EXPECT_EQ(messages.size(), results.size());
  EXPECT_EQ(std::string(ResultName(RFRW_ERROR_EXCHANGE)), "RFRW_ERROR_EXCHANGE");
  EXPECT_NE(ResultMessage(RFRW_ERROR_NOT_ADMIN).find("AdminCheckCut=1"), std::string::npos);
  EXPECT_NE(ResultMessage(RFRW_ERROR_NOT_ADMIN).find("group zelquar"), std::string::npos);
  EXPECT_NE(ResultMessage(-65534).find("-65534"), std::string::npos);
  EXPECT_EQ(std::string(ResultName(-65534)), "");
  EXPECT_EQ(DriverErrorText("RFRW_Open", -1002).rfind("RFRW_Open failed: RFRW_ERROR_OPEN_ELSEWHERE (-1002): ", 0), 0u);
  EXPECT_EQ(DriverErrorJson("RFRW_Open", -2)["name"], "RFRW_ERROR_DEVICE");

  // 90 00 and every word from 64 00 to 64 0E.
  const std::vector<uint16_t>& words = KnownStatusWords();
  ASSERT_EQ(words.size(), 16u);
  std::set<std::string> texts;
  const std::string unknown = StatusWordMessage(0x6A82);
  for (uint16_t sw : words) {
    const std::string m = StatusWordMessage(sw);
    EXPECT_NE(m, unknown) << std::hex << sw;
    texts.insert(m);
    if (sw >= 0x6405 && sw <= 0x640E) {
      EXPECT_NE(m.find("power it off and on"), std::string::npos) << std::hex << sw;
    }
  }
  EXPECT_EQ(texts.size(), words.size());
  EXPECT_NE(unknown.find("not known"), std::string::npos);
  // The tag's own error codes in a 64 04, and the reader's status byte in the others.
  EXPECT_EQ(StatusWordMessage(0x6404, 0x0B), "the tag answered with an error: 0B insufficient power (the tag needs more RF power to write)");
  EXPECT_NE(StatusWordMessage(0x6404, 0x03).find("memory overrun"), std::string::npos);
  EXPECT_NE(StatusWordMessage(0x6404, 0x04).find("memory locked"), std::string::npos);
  EXPECT_NE(StatusWordMessage(0x6404, 0x00).find("other error"), std::string::npos);
  EXPECT_NE(StatusWordMessage(0x6404, 0x0F).find("unnamed error"), std::string::npos);
  EXPECT_NE(StatusWordMessage(0x6400, 0x05).find("(reader status 05)"), std::string::npos);
  const nlohmann::json j = StatusJson(0x6404, 0x0B);
  EXPECT_EQ(j["status_word"], "6404");
  EXPECT_EQ(j["tag_error"], "0B");
  EXPECT_EQ(StatusText(0x9000), "status 90 00: command executed");
}

// ---- watch mode ----------------------------------------------------------------------------------------------

TEST(ToolWatch, TagsAppearGoAfterTheirTimeAndAppearAgain) {
  WatchTracker tracker(100);
  const Inventory ab = ParseInventory(H("0002" "0800AAAA00000100" "0800BBBB00000200" "9000"));
  const Inventory a = ParseInventory(H("0001" "0800AAAA00000101" "9000"));
  const Inventory none = ParseInventory(H("00009000"));
  auto kinds = [](const std::vector<WatchEvent>& events) {
    std::vector<std::string> out;
    for (const WatchEvent& e : events) out.push_back((e.kind == WatchEvent::kAppeared ? "+" : "-") + ToHex(e.epc));
    return out;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(kinds(tracker.Round(ab, 0)), (V{"+AAAA", "+BBBB"}));
  EXPECT_EQ(kinds(tracker.Round(ab, 20)), V{});
  EXPECT_EQ(kinds(tracker.Round(a, 60)), V{});  // BBBB last seen 40 ms ago
  EXPECT_EQ(kinds(tracker.Round(a, 120)), V{"-BBBB"});
  EXPECT_EQ(kinds(tracker.Round(a, 130)), V{});
  EXPECT_EQ(kinds(tracker.Round(ab, 140)), V{"+BBBB"});
  EXPECT_EQ(kinds(tracker.Round(none, 239)), V{});
  EXPECT_EQ(kinds(tracker.Round(none, 240)), (V{"-AAAA", "-BBBB"}));
  EXPECT_EQ(tracker.rounds(), 8u);
  const auto& seen = tracker.tags();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen.at("AAAA").count, 6u);
  EXPECT_EQ(seen.at("AAAA").appearances, 1u);
  EXPECT_EQ(seen.at("BBBB").appearances, 2u);
  EXPECT_EQ(seen.at("AAAA").rssi, 0x0100);  // the latest reading (at 140)
  EXPECT_EQ(seen.at("BBBB").lastMs, 140u);

  const nlohmann::json summary = WatchSummaryJson(tracker, 250, true);
  EXPECT_EQ(summary["event"], "summary");
  EXPECT_EQ(summary["inventories"], 8);
  EXPECT_EQ(summary["tags"][1]["seen"], 3);
  EXPECT_EQ(summary["tags"][1]["present"], false);
  EXPECT_EQ(WatchSummaryText(tracker, 250, true).rfind("summary: 8 inventories in 0.250s, 2 tags seen\n", 0), 0u);
  const WatchEvent e{WatchEvent::kGone, 0x0800, H("BBBB"), 0x0200, 1234, 3};
  EXPECT_EQ(WatchEventText(e, true), "[1.234s] - gone     BBBB  PC 0800  RSSI 512  seen 3\n");
  EXPECT_EQ(WatchEventJson(e, true)["event"], "gone");
}

}  // namespace
}  // namespace zq::tool
