// The client library (zelquar.h) against separate zelquar-sim processes:
// every typed call with its refusals turned into the documented result and
// message, tags addressed by EPC alone (PC 3400), whole fields, and two
// readers told apart by serial number.
//
// Each test runs in a process of its own (gtest_discover_tests), so each
// loads the driver of its own installation.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/commands.h"
#include "protocol/hex.h"
#include "tests/support/install_dir.h"
#include "tests/support/sim_fixture.h"
#include "zelquar.h"

namespace zq::test {
namespace {

const std::string kIni =
    "BlockTimeout=200\nRetryTimeout=400\nCharacterTimeout=100\nLogLevel=0\nAdminCheckCut=1\nLogFileFlg=0\n"
    "HidDeviceOpenRetryCount=1\nOpenRetryNum=1\nOpenTimeoutRetryNum=1\n";

const std::string kTagA = "300833B2DDD9014000000001";
const std::string kTagB = "300833B2DDD9014000000002";  // access password 11223344
const std::string kTagC = "300833B2DDD9014000000003";  // kill password 0A0B0C0D
const std::string kTagUmi = "E2003412013E170012345678";  // PC 3400: user memory indicator set
const std::string kTags = R"({"tags": [
  {"epc": ")" + kTagA + R"(", "tid": "E2801160200074CF", "user": "0000000000000000", "rssi": 1},
  {"epc": ")" + kTagB + R"(", "tid": "E2801160200074D0", "user": "1111222233334444", "access_password": "11223344"},
  {"epc": ")" + kTagC + R"(", "tid": "E2801160200074D1", "user": "0000000000000000", "kill_password": "0A0B0C0D"},
  {"epc": ")" + kTagUmi + R"(", "pc": "3400", "tid": "E2801160200074D2", "user": "ABCDABCDABCDABCD"}
]})";

std::vector<uint8_t> H(const std::string& hex) {
  std::vector<uint8_t> b;
  protocol::ParseHexText(hex, &b);
  return b;
}
std::string X(const uint8_t* b, size_t n) { return protocol::HexText(b, n); }

std::string Message(const zq_outcome& o) {
  char text[512];
  return zq_outcome_message(&o, text, sizeof text);
}

// A field of `count` tags with EPCs numbered from `first`.
std::string Field(size_t count, unsigned first = 0) {
  std::string json = R"({"tags": [)";
  char epc[32];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(epc, sizeof epc, "E2000017%016zX", first + i);
    json += std::string(i ? "," : "") + R"({"epc": ")" + epc + R"(", "rssi": )" + std::to_string(100 + i % 500) + "}";
  }
  return json + "]}";
}

// The installation, its simulated reader with the tags above, and this
// process pointed at it.
class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& [k, v] : install_.Environment()) setenv(k.c_str(), v.c_str(), 1);
    setenv("ZELQUAR_LIBRARY", install_.libraryPath().c_str(), 1);
    Load(kTags);
  }
  void TearDown() override {
    if (reader_) zq_close(reader_);
  }
  void Load(const std::string& json, const std::string& name = "tags.json") {
    install_.WriteFile(name, json);
    ASSERT_EQ(install_.SimControl("tags load " + install_.path() + "/" + name), "OK");
  }
  void Open() {
    zq_outcome o{};
    ASSERT_EQ(zq_open_port(0x0100, &reader_, &o), ZQ_OK) << Message(o);
  }
  nlohmann::json SimTag(const std::string& epc) const {
    const nlohmann::json state = install_.SimState();
    for (const auto& t : state["tags"])
      if (t["epc"] == epc) return t;
    return nullptr;
  }
  std::map<std::string, zq_tag> Inventory(zq_inventory_options opts = zq_inventory_defaults(),
                                          zq_tag_list** keep = nullptr) {
    zq_tag_list* list = nullptr;
    zq_outcome o{};
    EXPECT_EQ(zq_inventory(reader_, &opts, &list, &o), ZQ_OK) << Message(o);
    std::map<std::string, zq_tag> tags;
    if (!list) return tags;
    for (size_t i = 0; i < list->count; ++i) tags[X(list->tags[i].epc, list->tags[i].epc_length)] = list->tags[i];
    if (keep) *keep = list;
    else zq_tag_list_free(list);
    return tags;
  }

  InstallDir install_{kIni};
  zq_reader* reader_ = nullptr;
};

TEST_F(ClientTest, InventoryListsEveryTagWithSignalStrengthAndIdentity) {
  Open();
  const auto tags = Inventory();
  ASSERT_EQ(tags.size(), 4u);
  for (const std::string& epc : {kTagA, kTagB, kTagC, kTagUmi}) {
    ASSERT_TRUE(tags.count(epc)) << epc;
    const zq_tag& t = tags.at(epc);
    EXPECT_EQ(t.pc, SimTag(epc)["pc"] == "3400" ? 0x3400 : 0x3000);
    EXPECT_TRUE(t.has_rssi);
    EXPECT_FALSE(t.rssi_is_raw);
    EXPECT_DOUBLE_EQ(t.rssi_dbm, static_cast<int16_t>(t.rssi_raw) / 256.0);
    // Every tag carries its URI; these EPCs are SGTIN-96 bits.
    zq_identity id;
    zq_decode_identity(t.pc, t.epc, t.epc_length, &id);
    EXPECT_STREQ(t.identity.tag_uri, id.tag_uri);
    EXPECT_EQ(std::strncmp(t.identity.tag_uri, "urn:epc:", 8), 0) << t.identity.tag_uri;
  }
  // Raw signal strengths are the simulator's own values; without them, none.
  zq_inventory_options raw = zq_inventory_defaults();
  raw.rssi_raw = 1;
  const auto rawTags = Inventory(raw);
  ASSERT_EQ(rawTags.size(), 4u);
  EXPECT_EQ(rawTags.at(kTagA).rssi_raw, SimTag(kTagA)["rssi"].get<uint16_t>());
  EXPECT_TRUE(rawTags.at(kTagA).rssi_is_raw);
  zq_inventory_options plain = zq_inventory_defaults();
  plain.with_rssi = 0;
  const auto plainTags = Inventory(plain);
  ASSERT_EQ(plainTags.size(), 4u);
  EXPECT_FALSE(plainTags.at(kTagB).has_rssi);
  // A session outside 0..3 is refused before anything is sent.
  zq_inventory_options bad = zq_inventory_defaults();
  bad.session = 4;
  zq_tag_list* list = nullptr;
  zq_outcome o{};
  EXPECT_EQ(zq_inventory(reader_, &bad, &list, &o), ZQ_BAD_ARGUMENT);
  EXPECT_EQ(list, nullptr);
}

TEST_F(ClientTest, ATagWithPc3400IsReadAndWrittenByItsEpcAlone) {
  Open();
  const std::vector<uint8_t> epc = H(kTagUmi);
  uint8_t data[16];
  size_t got = 0;
  zq_outcome o{};
  // No inventory first: the library finds the PC word in the field itself.
  ASSERT_EQ(zq_read(reader_, epc.data(), epc.size(), -1, ZQ_BANK_USER, 0, 4, nullptr, data, sizeof data, &got, &o), ZQ_OK)
      << Message(o);
  EXPECT_EQ(X(data, got), SimTag(kTagUmi)["user"]);
  const std::vector<uint8_t> words = H("0102030405060708");
  ASSERT_EQ(zq_write(reader_, epc.data(), epc.size(), -1, ZQ_BANK_USER, 0, words.data(), words.size(), 1, nullptr, &o), ZQ_OK)
      << Message(o);
  EXPECT_EQ(SimTag(kTagUmi)["user"], "0102030405060708");
  // The plain PC word for its length names another tag: not in the field.
  EXPECT_EQ(zq_read(reader_, epc.data(), epc.size(), 0x3000, ZQ_BANK_USER, 0, 1, nullptr, data, sizeof data, &got, &o),
            ZQ_TAG_NOT_FOUND);
  EXPECT_EQ(o.status_word, 0x6402);
  // An EPC that is nowhere in the field.
  const std::vector<uint8_t> absent = H("0123456789ABCDEF01234567");
  EXPECT_EQ(zq_read(reader_, absent.data(), absent.size(), -1, ZQ_BANK_TID, 0, 1, nullptr, data, sizeof data, &got, &o),
            ZQ_TAG_NOT_FOUND);
  EXPECT_NE(Message(o).find("no tag with that EPC"), std::string::npos) << Message(o);
}

TEST_F(ClientTest, ReadWriteLockKillAndTheirRefusals) {
  Open();
  const std::vector<uint8_t> a = H(kTagA), b = H(kTagB), c = H(kTagC);
  const std::vector<uint8_t> access = H("11223344"), kill = H("0A0B0C0D"), wrong = H("01010101");
  uint8_t data[64];
  size_t got = 0;
  zq_outcome o{};

  // The TID bank and the chip it names.
  ASSERT_EQ(zq_read(reader_, a.data(), a.size(), -1, ZQ_BANK_TID, 0, 4, nullptr, data, sizeof data, &got, &o), ZQ_OK);
  EXPECT_EQ(X(data, got), SimTag(kTagA)["tid"]);
  // Beyond the bank: the tag's own error reply, its Gen2 code and name.
  EXPECT_EQ(zq_read(reader_, a.data(), a.size(), -1, ZQ_BANK_TID, 0, 20, nullptr, data, sizeof data, &got, &o), ZQ_REFUSED);
  EXPECT_EQ(o.status_word, 0x6404);
  EXPECT_EQ(o.reader_status, 0x03);
  EXPECT_NE(Message(o).find("memory overrun"), std::string::npos) << Message(o);
  // Too small an area, too many words: nothing sent.
  EXPECT_EQ(zq_read(reader_, a.data(), a.size(), -1, ZQ_BANK_TID, 0, 4, nullptr, data, 7, &got, &o), ZQ_BAD_ARGUMENT);
  EXPECT_EQ(zq_read(reader_, a.data(), 5, -1, ZQ_BANK_TID, 0, 1, nullptr, data, sizeof data, &got, &o), ZQ_BAD_ARGUMENT);

  // Lock by name; a write without the password is refused by the tag.
  uint8_t payload[3];
  char why[128];
  ASSERT_EQ(zq_lock_payload("user=lock", payload, why, sizeof why), ZQ_OK);
  EXPECT_EQ(zq_lock_payload("user=sealed", payload, why, sizeof why), ZQ_BAD_ARGUMENT);
  EXPECT_NE(std::string(why).find("sealed"), std::string::npos) << why;
  ASSERT_EQ(zq_lock_payload("user=lock", payload, why, sizeof why), ZQ_OK);
  ASSERT_EQ(zq_lock(reader_, b.data(), b.size(), -1, access.data(), payload, &o), ZQ_OK) << Message(o);
  EXPECT_EQ(SimTag(kTagB)["locked"], nlohmann::json::array({"user"}));
  const std::vector<uint8_t> ffff = H("FFFF");
  EXPECT_EQ(zq_write(reader_, b.data(), b.size(), -1, ZQ_BANK_USER, 0, ffff.data(), 2, 0, nullptr, &o), ZQ_REFUSED);
  EXPECT_EQ(o.status_word, 0x6404);
  EXPECT_EQ(o.reader_status, 0x04);
  EXPECT_NE(Message(o).find("memory locked"), std::string::npos) << Message(o);
  EXPECT_EQ(SimTag(kTagB)["user"], "1111222233334444");
  // With the password the write goes through, and is verified.
  ASSERT_EQ(zq_write(reader_, b.data(), b.size(), -1, ZQ_BANK_USER, 1, ffff.data(), 2, 1, access.data(), &o), ZQ_OK)
      << Message(o);
  EXPECT_EQ(SimTag(kTagB)["user"], "1111FFFF33334444");
  // Odd lengths are refused before anything is sent.
  EXPECT_EQ(zq_write(reader_, b.data(), b.size(), -1, ZQ_BANK_USER, 0, ffff.data(), 1, 0, nullptr, &o), ZQ_BAD_ARGUMENT);

  // Kill: a zero password is never sent, a wrong one is refused, the right one kills.
  const uint8_t zero[4] = {0, 0, 0, 0};
  EXPECT_EQ(zq_kill(reader_, c.data(), c.size(), -1, zero, &o), ZQ_BAD_ARGUMENT);
  EXPECT_EQ(zq_kill(reader_, c.data(), c.size(), -1, wrong.data(), &o), ZQ_REFUSED);
  EXPECT_NE(o.status_word, 0x9000);
  EXPECT_FALSE(Message(o).empty());
  EXPECT_NE(SimTag(kTagC)["state"], "killed");
  ASSERT_EQ(zq_kill(reader_, c.data(), c.size(), -1, kill.data(), &o), ZQ_OK) << Message(o);
  EXPECT_EQ(SimTag(kTagC)["state"], "killed");
  EXPECT_FALSE(Inventory().count(kTagC));
}

TEST_F(ClientTest, WriteEpcUriThenTheInventoryShowsTheGtinAndSerial) {
  Open();
  const std::vector<uint8_t> a = H(kTagUmi);
  zq_tag written{};
  zq_outcome o{};
  const char* uri = "urn:epc:tag:sgtin-96:1.0614141.812345.6789";
  ASSERT_EQ(zq_write_epc_uri(reader_, a.data(), a.size(), -1, uri, nullptr, &written, &o), ZQ_OK) << Message(o);
  // The tag's other PC bits (the user memory indicator) are kept.
  EXPECT_EQ(written.pc, 0x3400);
  const auto tags = Inventory();
  const std::string epc = X(written.epc, written.epc_length);
  ASSERT_TRUE(tags.count(epc));
  EXPECT_FALSE(tags.count(kTagUmi));
  const zq_identity& id = tags.at(epc).identity;
  EXPECT_TRUE(id.is_gs1);
  EXPECT_STREQ(id.tag_uri, uri);
  EXPECT_STREQ(id.gtin, "80614141123458");
  EXPECT_STREQ(id.serial, "6789");
  EXPECT_EQ(SimTag(epc)["pc"], "3400");
  // An identity the scheme cannot hold: refused with its reason, nothing written.
  uint8_t bits[ZQ_EPC_MAX];
  size_t length = 0;
  uint16_t pc = 0;
  char why[160] = "";
  EXPECT_EQ(zq_encode_uri("urn:epc:tag:sgtin-96:9.0614141.812345.6789", bits, &length, &pc, why, sizeof why),
            ZQ_BAD_ARGUMENT);
  EXPECT_NE(why[0], 0);
  EXPECT_EQ(zq_write_epc_uri(reader_, written.epc, written.epc_length, -1, "urn:epc:tag:sgtin-96:9.0614141.812345.6789",
                             nullptr, nullptr, &o),
            ZQ_BAD_ARGUMENT);
  EXPECT_TRUE(Inventory().count(epc));
}

TEST_F(ClientTest, ReaderSettingsAndRawCommands) {
  Open();
  zq_outcome o{};
  ASSERT_EQ(zq_power(reader_, 0, &o), ZQ_OK) << Message(o);
  ASSERT_EQ(zq_power(reader_, 1, &o), ZQ_OK) << Message(o);
  EXPECT_EQ(zq_power_level(reader_, 20, &o), ZQ_OK) << Message(o);
  EXPECT_EQ(zq_power_level(reader_, 64, &o), ZQ_BAD_ARGUMENT);

  zq_reader_details d;
  ASSERT_EQ(zq_reader_details_get(reader_, &d, &o), ZQ_OK) << Message(o);
  uint8_t version[8];
  ASSERT_EQ(zq_driver_version(version), ZQ_OK);
  EXPECT_EQ(X(d.driver_version, 8), X(version, 8));
  EXPECT_GT(d.firmware_length, 0u);
  EXPECT_GT(d.entry_count, 0u);

  ASSERT_EQ(zq_gpio_write(reader_, 3, 1, &o), ZQ_OK) << Message(o);
  uint16_t lines = 0;
  ASSERT_EQ(zq_gpio_read(reader_, &lines, &o), ZQ_OK);
  EXPECT_EQ((lines >> 3) & 1, 1);
  ASSERT_EQ(zq_gpio_write(reader_, 3, 0, &o), ZQ_OK);
  ASSERT_EQ(zq_gpio_read(reader_, &lines, &o), ZQ_OK);
  EXPECT_EQ((lines >> 3) & 1, 0);
  EXPECT_EQ(zq_gpio_write(reader_, 10, 1, &o), ZQ_BAD_ARGUMENT);

  ASSERT_EQ(zq_serial_set(reader_, "BENCH-7", &o), ZQ_OK) << Message(o);
  char serial[64];
  ASSERT_EQ(zq_serial_get(reader_, serial, sizeof serial, &o), ZQ_OK);
  EXPECT_STREQ(serial, "BENCH-7");
  EXPECT_EQ(zq_serial_set(reader_, "caf\xC3\xA9", &o), ZQ_BAD_ARGUMENT);
  EXPECT_EQ(zq_serial_set(reader_, std::string(31, 'x').c_str(), &o), ZQ_BAD_ARGUMENT);

  // raw: the reader type query, and a command the reader does not know.
  const client::Bytes type = client::InformationCommand(client::kInfoReaderType);
  uint8_t response[256];
  size_t length = 0;
  ASSERT_EQ(zq_raw(reader_, type.data(), type.size(), response, sizeof response, &length, &o), ZQ_OK);
  EXPECT_EQ(o.status_word, 0x9000);
  ASSERT_GE(length, 2u);
  EXPECT_EQ(X(response + length - 2, 2), "9000");
  const std::vector<uint8_t> unknown = H("C0990000");
  ASSERT_EQ(zq_raw(reader_, unknown.data(), unknown.size(), response, sizeof response, &length, &o), ZQ_OK);
  EXPECT_EQ(o.status_word, 0x6401);
  EXPECT_NE(Message(o).find("refused the command"), std::string::npos) << Message(o);
}

TEST_F(ClientTest, OpeningAndResultsHaveTheirMessages) {
  zq_reader* r = nullptr;
  zq_outcome o{};
  EXPECT_EQ(zq_open_port(0x0000, &r, &o), ZQ_BAD_ARGUMENT);
  EXPECT_EQ(zq_open_port(0x2100, &r, &o), ZQ_BAD_ARGUMENT);
  EXPECT_EQ(zq_open_serial("NO-SUCH-READER", &r, &o), ZQ_NO_READER);
  EXPECT_EQ(r, nullptr);
  Open();
  EXPECT_EQ(zq_reader_port(reader_), 0x0100u);
  std::set<std::string> sentences;
  for (int v = ZQ_OK; v <= ZQ_PORT_IN_USE; ++v) {
    const std::string s = zq_result_message(static_cast<zq_result>(v));
    EXPECT_FALSE(s.empty());
    sentences.insert(s);
  }
  EXPECT_EQ(sentences.size(), static_cast<size_t>(ZQ_PORT_IN_USE + 1));
  // A driver failure names the driver's result.
  o = zq_outcome{ZQ_DRIVER_ERROR, -4, 0, -1, -1};
  EXPECT_NE(Message(o).find("RFRW_ERROR_EXCHANGE"), std::string::npos) << Message(o);
}

// ---- whole fields ------------------------------------------------------------------------------

// Whether the simulator keeps inventoried flags: two rounds of the same
// target list different tags of a field larger than one reply.
bool FlagsModelled(zq_reader* r) {
  std::set<std::string> first, second;
  for (std::set<std::string>* into : {&first, &second}) {
    const client::Bytes round = client::InventoryRoundCommand(1, false, true);
    std::vector<uint8_t> response(65536);
    size_t length = 0;
    zq_outcome o{};
    if (zq_raw(r, round.data(), round.size(), response.data(), response.size(), &length, &o) != ZQ_OK) return false;
    response.resize(length);
    for (const auto& t : client::ParseInventory(response).tags) into->insert(X(t.epc.data(), t.epc.size()));
  }
  return first != second;
}

TEST_F(ClientTest, AFieldOfFiftyIsListedInOneRound) {
  Load(Field(50));
  Open();
  zq_tag_list* list = nullptr;
  std::map<std::string, zq_tag> tags = Inventory(zq_inventory_defaults(), &list);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(tags.size(), 50u);
  EXPECT_FALSE(list->several_rounds);
  zq_tag_list_free(list);
}

class FieldTest : public ClientTest, public ::testing::WithParamInterface<std::tuple<size_t, bool>> {};

TEST_P(FieldTest, EveryTagOfALargeFieldIsListed) {
  const auto [count, withRssi] = GetParam();
  Load(Field(count));
  Open();
  if (!FlagsModelled(reader_)) GTEST_SKIP() << "this simulator lists the same first reply every round";
  zq_inventory_options opts = zq_inventory_defaults();
  opts.with_rssi = withRssi;
  for (int pass = 0; pass < 2; ++pass) {  // the second finds the tags the first left flipped
    zq_tag_list* list = nullptr;
    const auto tags = Inventory(opts, &list);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(tags.size(), count) << "pass " << pass;
    EXPECT_TRUE(list->several_rounds);
    const nlohmann::json state = install_.SimState();
    for (const auto& t : state["tags"]) EXPECT_TRUE(tags.count(t["epc"])) << t;
    zq_tag_list_free(list);
  }
}

INSTANTIATE_TEST_SUITE_P(Fields, FieldTest,
                         ::testing::Values(std::make_tuple(size_t{500}, true), std::make_tuple(size_t{500}, false),
                                           std::make_tuple(size_t{2000}, true), std::make_tuple(size_t{2000}, false)));

// ---- two readers ------------------------------------------------------------------------------

TEST_F(ClientTest, TwoReadersAreListedAndOpenedByTheirSerialNumbers) {
  // The driver keeps one open port per unit index in a process: the second
  // reader's module is unit 1.
  SimulatedReader second(
      SimOptions{.dir = install_.simDir(), .name = "reader1", .unit = 1, .extraArgs = {"--serial", "SIM0002"}});
  ASSERT_TRUE(second.published());
  install_.WriteFile("second.json", Field(5, 0x1000));
  ASSERT_EQ(second.Control("tags load " + install_.path() + "/second.json"), "OK");

  size_t count = 0;
  ASSERT_EQ(zq_list_readers(nullptr, 0, &count), ZQ_OK);
  std::vector<zq_reader_info> readers(count);
  ASSERT_EQ(zq_list_readers(readers.data(), readers.size(), &count), ZQ_OK);
  std::set<std::string> serials;
  for (const zq_reader_info& r : readers) {
    serials.insert(r.serial);
    EXPECT_TRUE(r.simulated);
    EXPECT_NE(r.path[0], 0);
  }
  EXPECT_EQ(serials, (std::set<std::string>{"SIM0001", "SIM0002"}));

  zq_reader* one = nullptr;
  zq_reader* two = nullptr;
  zq_outcome o{};
  ASSERT_EQ(zq_open_serial("SIM0001", &one, &o), ZQ_OK) << Message(o);
  reader_ = one;
  if (zq_open_serial_unit("SIM0002", 1, &two, &o) != ZQ_OK)
    GTEST_SKIP() << "COM numbers are not bound to serial numbers by this driver yet: " << Message(o);
  EXPECT_NE(zq_reader_port(one) >> 8, zq_reader_port(two) >> 8);
  reader_ = two;
  const auto second_tags = Inventory();
  reader_ = one;
  const auto first_tags = Inventory();
  zq_close(two);
  ASSERT_FALSE(first_tags.empty());
  ASSERT_FALSE(second_tags.empty());
  if (first_tags.begin()->first == second_tags.begin()->first)
    GTEST_SKIP() << "COM numbers are not bound to serial numbers by this driver yet";
  EXPECT_EQ(second_tags.size(), 5u);
  EXPECT_TRUE(first_tags.count(kTagA));
  // A write on one changes nothing on the other.
  const std::vector<uint8_t> a = H(kTagA), w = H("BEEF");
  ASSERT_EQ(zq_write(one, a.data(), a.size(), -1, ZQ_BANK_USER, 0, w.data(), 2, 1, nullptr, &o), ZQ_OK);
  const nlohmann::json state = second.State();
  for (const auto& t : state["tags"]) EXPECT_NE(t["user"], "BEEF000000000000");
}

// A field that moves: a tag carried towards the antenna is first not read
// at all, then read with a rising strength; a still tag's strength is what
// the control sets, within its noise; the read range applies to every round.
TEST_F(ClientTest, TagsAreReadAsTheirSignalMoves) {
  const std::string walker = "E20000170000000000000001", still = "E20000170000000000000002";
  Load(R"({"tags": [{"epc": ")" + walker + R"(", "path": [[0, 1000], [800, 60000]]},
                    {"epc": ")" + still + R"(", "rssi": 30000, "noise": 500}]})");
  ASSERT_EQ(install_.SimControl("read-range 20000 40000"), "OK");
  ASSERT_EQ(install_.SimControl("read-range 40000 20000").rfind("ERR", 0), 0u);
  Open();  // the walker's path starts at the first round that meets it
  std::vector<uint16_t> walked;
  bool missedEarly = false;
  zq_inventory_options opts = zq_inventory_defaults();
  opts.rssi_raw = 1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // The path only rises: the strength during the rounds is at least this.
    const uint16_t before = SimTag(walker)["rssi_now"].get<uint16_t>();
    const std::map<std::string, zq_tag> tags = Inventory(opts);
    if (!tags.count(walker)) {
      EXPECT_LT(before, 40000) << "a tag at full strength is always read";
      missedEarly = missedEarly || walked.empty();
    } else {
      EXPECT_GT(tags.at(walker).rssi_raw, 20000) << "a tag at or below the floor is never read";
      if (!walked.empty()) {
        EXPECT_GE(tags.at(walker).rssi_raw, walked.back());
      }
      walked.push_back(tags.at(walker).rssi_raw);
    }
    if (tags.count(still)) {
      EXPECT_GE(tags.at(still).rssi_raw, 29500);
      EXPECT_LE(tags.at(still).rssi_raw, 30500);
    }
    if (before == 60000 && walked.size() >= 3) break;
  }
  EXPECT_TRUE(missedEarly);
  ASSERT_GE(walked.size(), 3u);
  EXPECT_EQ(walked.back(), 60000);
  // Still at a strength the control gives it; out of range: not read.
  ASSERT_EQ(install_.SimControl("tag rssi " + still + " 50000"), "OK");
  ASSERT_EQ(install_.SimControl("tag move " + walker + R"( {"path": [[0, 100]]})"), "OK");
  const std::map<std::string, zq_tag> tags = Inventory(opts);
  ASSERT_TRUE(tags.count(still));
  EXPECT_NEAR(tags.at(still).rssi_raw, 50000, 500);
  EXPECT_FALSE(tags.count(walker));
  EXPECT_EQ(install_.SimControl("tag move " + still + R"( {"path": [[5, 1], [1, 2]]})"), "ERR path: times must rise");
}

}  // namespace
}  // namespace zq::test
