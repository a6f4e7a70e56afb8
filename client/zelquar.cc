// The client library (include/zelquar.h) on the driver's five exported
// functions. The command bytes and their decoding are client/commands.h's;
// this file holds the calls, the handles and the state they need.
//
// Sections: the driver (finding and loading it); outcomes; the signal
// strength mode; readers (listing, binding, opening); identities; inventory;
// tag access; reader settings; raw commands; messages.
//
// State beyond the driver's: the loaded driver (loaded once, kept until the
// process ends, as its detach runs at exit), the COM numbers this process
// holds open through the library, and the driver's process-wide signal
// strength mode as this library last set it.
#include "zelquar.h"

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "ZELQUAR_Drv.h"
#include "client/agent_link.h"
#include "client/commands.h"
#include "client/driver_exports.h"
#include "client/fields.h"
#include "platform/devices/hid.h"
#include "platform/os/environment.h"
#include "platform/os/files.h"
#include "platform/os/ini.h"
#include "platform/os/module.h"
#include "platform/os/process.h"
#include "protocol/epc/epc.h"
#include "protocol/hex.h"
#include "protocol/text.h"

namespace zq::client {

// The loaded driver stays loaded until the process ends. Kept with external
// linkage, so the handle stays reachable and is not taken for a leak.
zq::platform::Module* g_driverModule = nullptr;

namespace {

namespace platform = zq::platform;

// ---- the driver ---------------------------------------------------------------------------

struct Driver : DriverExports {
  std::string path;
  bool loaded = false;
};

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::mutex g_driverMutex;
Driver g_driver;
std::string g_chosenDriver;  // zq_use_driver's path; "" when none was named

// zq_use_driver's choice; else $ZELQUAR_LIBRARY; else the driver beside
// this library (both installed in PREFIX/lib/zelquar); else the one a
// program in PREFIX/bin finds in PREFIX/lib/zelquar. g_driverMutex held.
std::string DriverPath() {
  if (!g_chosenDriver.empty()) return g_chosenDriver;
  const std::string given = platform::EnvironmentValue("ZELQUAR_LIBRARY");
  if (!given.empty()) return given;
  const std::string beside = DirectoryOf(platform::OwnModulePath()) + "/libZELQUAR_Drv.so";
  if (platform::FileExistsError(beside) == 0) return beside;
  return DirectoryOf(DirectoryOf(platform::OwnProgramPath())) + "/lib/zelquar/libZELQUAR_Drv.so";
}

// The loaded driver, or nullptr when it cannot be loaded (tried again at
// the next call: it may have been installed since).
const Driver* LoadedDriver() {
  std::lock_guard<std::mutex> lock(g_driverMutex);
  if (g_driver.loaded) return &g_driver;
  Driver d;
  d.path = DriverPath();
  platform::Module* m = platform::LoadModule(d.path);
  if (!m) return nullptr;
  if (!d.LookUp([m](const char* name) { return platform::FindSymbol(m, name); })) {
    platform::FreeModule(m);
    return nullptr;
  }
  d.loaded = true;
  g_driverModule = m;
  g_driver = d;
  return &g_driver;
}

// The bridge's device-path fragment, from the INI file beside the driver.
std::string BridgeFragment(const Driver& d) {
  const platform::IniFile ini(DirectoryOf(d.path) + "/ZELQUAR_Drv.ini");
  return ini.text().GetString("RFRW_Drv", "PID_VID", "vid_FFF1&pid_7C02", 256);
}

// ---- outcomes ----------------------------------------------------------------------------

zq_result Done(zq_outcome* out, zq_result result, int32_t driverResult = 0, uint16_t sw = 0,
               int16_t readerStatus = -1, int16_t wordsWritten = -1) {
  if (out) *out = zq_outcome{result, driverResult, sw, readerStatus, wordsWritten};
  return result;
}

// A tag list of `count` tags (freed with zq_tag_list_free), or nullptr when
// memory ran out.
zq_tag_list* NewTagList(size_t count) {
  zq_tag_list* l = new (std::nothrow) zq_tag_list{};
  if (!l) return nullptr;
  l->tags = count ? new (std::nothrow) zq_tag[count] : nullptr;
  if (count && !l->tags) {
    delete l;
    return nullptr;
  }
  l->count = count;
  return l;
}

zq_result FromTagOutcome(zq_outcome* out, const TagOutcome& t) {
  if (t.ok) return Done(out, ZQ_OK, 0, t.sw);
  const zq_result r = t.sw == 0x6402 ? ZQ_TAG_NOT_FOUND : ZQ_REFUSED;
  return Done(out, r, 0, t.sw, t.readerStatus ? *t.readerStatus : -1, t.wordsWritten ? *t.wordsWritten : -1);
}

// ---- the signal strength mode -----------------------------------------------------------------

// The driver's signal strength mode is one per process: inventories in one
// mode may run side by side, one in the other mode waits for them.
std::mutex g_modeMutex;
std::condition_variable g_modeChanged;
int g_mode = -1;  // -1 not known (never set by this library)
int g_modeUsers = 0;

}  // namespace
}  // namespace zq::client

// ---- the handle -------------------------------------------------------------------------------

struct zq_reader {
  uint32_t port = 0;
  std::string agentSerial;                // the reader zelquar-agent keeps open, for a handle through it; "" else
  zq::client::AgentAddress agent;
  bool passThrough = false;               // opened with ZQ_OPEN_PASS_THROUGH
  std::mutex mutex;                       // one call at a time
  std::map<zq::client::Bytes, uint16_t> pcs;  // EPC -> PC word, from the last inventory
  zq::client::Bytes buffer;               // response area
};

namespace zq::client {
namespace {

std::mutex g_portsMutex;
std::set<uint32_t> g_openComNumbers;  // COM numbers opened through this library

int32_t Transmit(zq_reader* r, const Bytes& command, Bytes* response) {
  const Driver* d = LoadedDriver();
  if (!d) return RFRW_ERROR_INTERNAL;
  if (r->buffer.size() < 65536) r->buffer.resize(65536);
  int32_t length = static_cast<int32_t>(r->buffer.size());
  const int32_t given = length;
  const int32_t rc = d->transmit(r->port, static_cast<uint32_t>(command.size()), command.data(), &length, r->buffer.data());
  // 00 17 xx 00 is answered inside the driver with nothing (the length
  // stays as given), unless every command goes to the reader.
  const bool noAnswer = !r->passThrough && length == given && command.size() >= 4 && command[0] == 0x00 &&
                        command[1] == 0x17 && command[3] == 0x00;
  if (rc != RFRW_SUCCESS || length <= 0 || noAnswer) {
    response->clear();
    return rc;
  }
  response->assign(r->buffer.begin(), r->buffer.begin() + std::min<int32_t>(length, static_cast<int32_t>(r->buffer.size())));
  return rc;
}

// Holds the driver's signal strength mode at `raw` while alive.
class ModeHold {
 public:
  ModeHold(zq_reader* r, bool raw, int32_t* rc) {
    std::unique_lock<std::mutex> lock(g_modeMutex);
    const int want = raw ? 1 : 0;
    g_modeChanged.wait(lock, [&] { return g_modeUsers == 0 || g_mode == want; });
    *rc = RFRW_SUCCESS;
    if (g_mode != want) {
      Bytes response;
      // Answered inside the driver: no reader exchange.
      *rc = Transmit(r, RssiModeCommand(raw), &response);
      if (*rc != RFRW_SUCCESS) return;
      g_mode = want;
    }
    ++g_modeUsers;
    held_ = true;
  }
  ~ModeHold() {
    if (!held_) return;
    std::lock_guard<std::mutex> lock(g_modeMutex);
    --g_modeUsers;
    g_modeChanged.notify_all();
  }
  ModeHold(const ModeHold&) = delete;
  ModeHold& operator=(const ModeHold&) = delete;

 private:
  bool held_ = false;
};

// ---- readers ------------------------------------------------------------------------------

struct Bridge {
  std::string serial;
  std::string path;
  bool simulated = false;
};

std::string SerialOf(const platform::DeviceInterface& i) {
  const size_t slash = i.usbInstanceId.rfind('\\');
  return slash == std::string::npos ? std::string() : i.usbInstanceId.substr(slash + 1);
}

std::vector<Bridge> ListBridges(const Driver& d) {
  std::vector<platform::DeviceInterface> found;
  std::vector<Bridge> out;
  if (platform::ListReaderBridges(BridgeFragment(d), &found) != 0) return out;
  for (const platform::DeviceInterface& i : found)
    out.push_back(Bridge{SerialOf(i), i.backend == "sim" ? i.location : i.location, i.backend == "sim"});
  return out;
}

std::string BindingVariable(unsigned com) { return "ZELQUAR_READER_SERIAL_" + std::to_string(com); }

// The driver's open data block: 17 bytes, '#' 'T' at 12 and 13, then one
// byte per flag.
constexpr size_t kOpenBlockSize = 17;

zq_result OpenPort(uint32_t port, unsigned flags, zq_reader** reader, zq_outcome* outcome) {
  *reader = nullptr;
  const Driver* d = LoadedDriver();
  if (!d) return Done(outcome, ZQ_NO_DRIVER);
  zq_reader* r = new (std::nothrow) zq_reader;
  if (!r) return Done(outcome, ZQ_NO_MEMORY);
  r->port = port;
  r->passThrough = (flags & ZQ_OPEN_PASS_THROUGH) != 0;
  uint8_t block[kOpenBlockSize] = {};
  block[12] = '#';
  block[13] = 'T';
  block[14] = (flags & ZQ_OPEN_SKIP_DOWNLOAD) ? 1 : 0;
  block[15] = (flags & ZQ_OPEN_BOOT_MODE) ? 1 : 0;
  block[16] = (flags & ZQ_OPEN_PASS_THROUGH) ? 1 : 0;
  const int32_t rc = flags ? d->open(port, static_cast<int32_t>(sizeof block), block) : d->open(port, 0, nullptr);
  if (rc != RFRW_SUCCESS) {
    delete r;
    const zq_result res = rc == RFRW_ERROR_DEVICE                                     ? ZQ_NO_READER
                          : rc == RFRW_ERROR_OPEN_ELSEWHERE                           ? ZQ_PORT_IN_USE
                          : rc == RFRW_ERROR_PARAMETER && ((port >> 8) & 0xFF) >= 1 &&
                                    ((port >> 8) & 0xFF) <= 32 && (port & 0xFF) < 32 ? ZQ_PORT_IN_USE
                                                                                       : ZQ_DRIVER_ERROR;
    return Done(outcome, res, rc);
  }
  {
    std::lock_guard<std::mutex> lock(g_portsMutex);
    g_openComNumbers.insert((port >> 8) & 0xFF);
  }
  *reader = r;
  return Done(outcome, ZQ_OK);
}

// ---- a reader that zelquar-agent keeps open ----------------------------------------------------

// How long an operation through the agent may take: the agent itself waits
// up to a minute for the reader to come to it.
constexpr int kAgentOperationMs = 65000;
constexpr int kAgentLookMs = 3000;

bool ThroughAgent(const zq_reader* r) { return !r->agentSerial.empty(); }

// An open that found the port in use (`inUse`): when a zelquar-agent keeps
// the reader of `serial` (or of `port`) open, a handle whose calls go to
// it; else the in-use answer as it was.
zq_result OpenThroughAgent(const std::string& serial, uint32_t port, zq_reader** reader, zq_outcome* outcome,
                           const zq_outcome& inUse) {
  if (outcome) *outcome = inUse;
  const AgentAddress agent = AgentFromEnvironment();
  HttpAnswer answer;
  if (!AgentRequest(agent, "GET", "/api/readers", "", kAgentLookMs, &answer) || answer.status != 200)
    return inUse.result;
  const nlohmann::json readers = nlohmann::json::parse(answer.body, nullptr, false);
  const std::string name = AgentReaderFor(readers, serial, port);
  if (name.empty()) return inUse.result;
  zq_reader* r = new (std::nothrow) zq_reader;
  if (!r) return Done(outcome, ZQ_NO_MEMORY);
  r->port = port;
  for (const nlohmann::json& x : readers) {
    if (!port && x.value("serial", "") == name && x.contains("port") && x["port"].is_number_unsigned())
      r->port = x["port"].get<uint32_t>();  // the port the agent keeps it on, as zq_reader_port says
  }
  r->agent = agent;
  r->agentSerial = name;
  *reader = r;
  return Done(outcome, ZQ_OK);
}

// A serial number in a URL path.
std::string PathPart(const std::string& text) {
  std::string out;
  for (const unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.') {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

// One operation (POST /api/readers/SERIAL/OP) and its result; *answer the
// answer's JSON.
zq_result AgentOperation(zq_reader* r, const std::string& op, const nlohmann::json& body, nlohmann::json* answer,
                         zq_outcome* outcome) {
  HttpAnswer http;
  if (!AgentRequest(r->agent, "POST", "/api/readers/" + PathPart(r->agentSerial) + "/" + op, body.dump(),
                    kAgentOperationMs, &http))
    return Done(outcome, ZQ_DRIVER_ERROR, RFRW_ERROR_EXCHANGE);
  *answer = nlohmann::json::parse(http.body, nullptr, false);
  return AgentOutcome(http, *answer, outcome);
}

// The tag arguments every operation takes, as the agent names them.
nlohmann::json AgentTagBody(const uint8_t* epc, size_t epcLength, int32_t pc, const uint8_t* password) {
  nlohmann::json body = {{"epc", zq::protocol::HexText(epc, epcLength)}};
  if (pc >= 0 && pc <= 0xFFFF) {
    const uint8_t word[2] = {static_cast<uint8_t>(pc >> 8), static_cast<uint8_t>(pc)};
    body["pc"] = zq::protocol::HexText(word, 2);
  }
  if (password) body["password"] = zq::protocol::HexText(password, 4);
  return body;
}

const char* BankName(zq_bank bank) {
  switch (bank) {
    case ZQ_BANK_RESERVED: return "reserved";
    case ZQ_BANK_EPC: return "epc";
    case ZQ_BANK_TID: return "tid";
    case ZQ_BANK_USER: return "user";
  }
  return "user";
}

// The reader's inventory through the agent: the tags its table holds as
// present (seen within its leave time), with their last strength in dBm.
zq_result AgentInventory(zq_reader* r, const zq_inventory_options& o, zq_tag_list** list, zq_outcome* outcome) {
  HttpAnswer http;
  if (!AgentRequest(r->agent, "GET", "/api/tags?reader=" + PathPart(r->agentSerial), "", kAgentOperationMs, &http) ||
      http.status != 200)
    return Done(outcome, ZQ_DRIVER_ERROR, RFRW_ERROR_EXCHANGE);
  const std::vector<zq_tag> tags = AgentPresentTags(nlohmann::json::parse(http.body, nullptr, false), o.with_rssi != 0);
  zq_tag_list* l = NewTagList(tags.size());
  if (!l) return Done(outcome, ZQ_NO_MEMORY);
  std::copy(tags.begin(), tags.end(), l->tags);
  *list = l;
  return Done(outcome, ZQ_OK, 0, 0x9000);
}

// The hex text of `key` in `j`, or nothing.
Bytes HexMember(const nlohmann::json& j, const char* key) {
  Bytes out;
  if (j.is_object() && j.contains(key) && j[key].is_string()) zq::protocol::ParseHexText(j[key].get<std::string>(), &out);
  return out;
}

}  // namespace
}  // namespace zq::client

using namespace zq::client;  // NOLINT: the C entry points below

extern "C" {

int zq_version(void) { return ZQ_VERSION; }

zq_result zq_list_readers(zq_reader_info* readers, size_t capacity, size_t* count) {
  if (!count || (capacity && !readers)) return ZQ_BAD_ARGUMENT;
  *count = 0;
  const Driver* d = LoadedDriver();
  if (!d) return ZQ_NO_DRIVER;
  const std::vector<Bridge> bridges = ListBridges(*d);
  for (size_t i = 0; i < bridges.size() && i < capacity; ++i) {
    zq_reader_info& info = readers[i];
    std::memset(&info, 0, sizeof info);
    CopyText(bridges[i].serial, info.serial, sizeof info.serial);
    CopyText(bridges[i].path, info.path, sizeof info.path);
    info.simulated = bridges[i].simulated ? 1 : 0;
  }
  *count = bridges.size();
  return ZQ_OK;
}

zq_result zq_open_port(uint32_t port, zq_reader** reader, zq_outcome* outcome) {
  return zq_open_port_flags(port, 0, reader, outcome);
}

zq_result zq_open_port_flags(uint32_t port, unsigned flags, zq_reader** reader, zq_outcome* outcome) {
  if (!reader) return Done(outcome, ZQ_BAD_ARGUMENT);
  *reader = nullptr;
  const unsigned com = (port >> 8) & 0xFF;
  constexpr unsigned kKnown = ZQ_OPEN_SKIP_DOWNLOAD | ZQ_OPEN_BOOT_MODE | ZQ_OPEN_PASS_THROUGH;
  if (port > 0xFFFF || com < 1 || com > 32 || (port & 0xFF) > 31 || (flags & ~kKnown))
    return Done(outcome, ZQ_BAD_ARGUMENT);
  zq_outcome o{};
  const zq_result res = OpenPort(port, flags, reader, &o);
  if (outcome) *outcome = o;
  // The open flags shape an open of the reader itself: no agent serves them.
  if (res == ZQ_PORT_IN_USE && flags == 0) return OpenThroughAgent("", port, reader, outcome, o);
  return res;
}

zq_result zq_use_driver(const char* path) {
  if (!path || !*path) return ZQ_BAD_ARGUMENT;
  std::lock_guard<std::mutex> lock(g_driverMutex);
  if (g_driver.loaded) return g_driver.path == path ? ZQ_OK : ZQ_BAD_ARGUMENT;
  g_chosenDriver = path;
  return ZQ_OK;
}

zq_result zq_open_serial(const char* serial, zq_reader** reader, zq_outcome* outcome) {
  return zq_open_serial_unit(serial, 0, reader, outcome);
}

zq_result zq_open_serial_unit(const char* serial, unsigned unit, zq_reader** reader, zq_outcome* outcome) {
  if (!reader) return Done(outcome, ZQ_BAD_ARGUMENT);
  *reader = nullptr;
  if (!serial || !*serial || unit > 31) return Done(outcome, ZQ_BAD_ARGUMENT);
  const Driver* d = LoadedDriver();
  if (!d) return Done(outcome, ZQ_NO_DRIVER);
  const std::string wanted = serial;
  bool present = false;
  for (const Bridge& b : ListBridges(*d)) present = present || zq::protocol::EqualIgnoringCase(b.serial, wanted);
  if (!present) return Done(outcome, ZQ_NO_READER);
  const platform::IniFile ini(DirectoryOf(d->path) + "/ZELQUAR_Drv.ini");
  std::set<unsigned> taken;  // COM numbers another process turned out to hold
  zq_outcome first{ZQ_PORT_IN_USE, 0, 0, -1, -1};  // what the first of them gave
  for (;;) {
    unsigned chosen = 0;
    bool ours = false;
    {
      // Held over the choice and the binding, so two threads opening two
      // readers take two COM numbers.
      std::lock_guard<std::mutex> lock(g_portsMutex);
      unsigned unbound = 0;
      for (unsigned com = 1; com <= 32 && !chosen; ++com) {
        std::string bound = platform::EnvironmentValue(BindingVariable(com));
        if (bound.empty()) bound = ini.text().GetString("RFRW_Drv", "ReaderSerial" + std::to_string(com), "", 256);
        if (!bound.empty() && zq::protocol::EqualIgnoringCase(bound, wanted)) chosen = com;
        if (bound.empty() && !unbound && !g_openComNumbers.count(com) && !taken.count(com)) unbound = com;
      }
      if (!chosen) {
        if (!unbound) {
          if (outcome) *outcome = first;
          return first.result == ZQ_PORT_IN_USE ? OpenThroughAgent(wanted, 0, reader, outcome, first) : first.result;
        }
        if (!platform::SetEnvironmentValue(BindingVariable(unbound), wanted)) return Done(outcome, ZQ_NO_MEMORY);
        chosen = unbound;
        ours = true;
      }
    }
    zq_outcome attempt{};
    const zq_result res = OpenPort(chosen << 8 | unit, 0, reader, &attempt);
    if (outcome) *outcome = attempt;
    // A COM number this process chose may be open in another process (the
    // driver's port table is shared): the binding is taken back and the
    // next one tried.
    if (res == ZQ_PORT_IN_USE && !ours) return OpenThroughAgent(wanted, 0, reader, outcome, attempt);
    if (res != ZQ_PORT_IN_USE) return res;
    if (taken.empty()) first = attempt;
    std::lock_guard<std::mutex> lock(g_portsMutex);
    platform::SetEnvironmentValue(BindingVariable(chosen), "");
    taken.insert(chosen);
  }
}

void zq_close(zq_reader* reader) {
  if (!reader) return;
  if (ThroughAgent(reader)) {
    delete reader;
    return;
  }
  if (const Driver* d = LoadedDriver()) d->close(reader->port);
  {
    std::lock_guard<std::mutex> lock(g_portsMutex);
    g_openComNumbers.erase((reader->port >> 8) & 0xFF);
  }
  delete reader;
}

uint32_t zq_reader_port(const zq_reader* reader) { return reader ? reader->port : 0; }

zq_result zq_driver_version(uint8_t version[8]) {
  if (!version) return ZQ_BAD_ARGUMENT;
  const Driver* d = LoadedDriver();
  if (!d) return ZQ_NO_DRIVER;
  int32_t length = 8;
  return d->version(&length, version) == RFRW_SUCCESS ? ZQ_OK : ZQ_DRIVER_ERROR;
}

// ---- identities ----------------------------------------------------------------------------

void zq_decode_identity(uint16_t pc, const uint8_t* epc, size_t epc_length, zq_identity* identity) {
  if (!identity) return;
  FillIdentity(pc, epc, epc ? epc_length : 0, identity);
}

zq_result zq_encode_uri(const char* uri, uint8_t epc[ZQ_EPC_MAX], size_t* epc_length, uint16_t* pc, char* error,
                        size_t error_capacity) {
  if (!uri || !epc || !epc_length || !pc) return ZQ_BAD_ARGUMENT;
  return EncodeIdentity(uri, epc, epc_length, pc, error, error ? error_capacity : 0) ? ZQ_OK : ZQ_BAD_ARGUMENT;
}

zq_result zq_lock_payload(const char* forms, uint8_t payload[3], char* error, size_t error_capacity) {
  if (!forms || !payload) return ZQ_BAD_ARGUMENT;
  std::string why;
  const std::optional<Bytes> p = LockPayload(forms, &why);
  if (!p) {
    if (error) CopyText(why, error, error_capacity);
    return ZQ_BAD_ARGUMENT;
  }
  std::memcpy(payload, p->data(), 3);
  if (error && error_capacity) error[0] = 0;
  return ZQ_OK;
}

// ---- inventory ------------------------------------------------------------------------------

zq_inventory_options zq_inventory_defaults(void) {
  zq_inventory_options o{};
  o.with_rssi = 1;
  o.rssi_raw = 0;
  o.session = 2;
  o.max_rounds = 0;
  return o;
}

void zq_tag_list_free(zq_tag_list* list) {
  if (!list) return;
  delete[] list->tags;
  delete list;
}

}  // extern "C"

namespace zq::client {
namespace {

constexpr unsigned kRoundsLimit = 1000;

// Rounds until a round brings no tag not yet listed, first for the target
// the last inventory left most tags in, then for the other (tags that an
// earlier inventory left there); the reader's lock held.
zq_result InventoryLocked(zq_reader* r, const zq_inventory_options& o, std::vector<InventoryTag>* tags,
                          unsigned* rounds, bool* several, zq_outcome* outcome) {
  tags->clear();
  *rounds = 0;
  *several = false;
  if (o.session < 0 || o.session > 3) return Done(outcome, ZQ_BAD_ARGUMENT);
  const bool raw = o.with_rssi && o.rssi_raw;
  int32_t rc = RFRW_SUCCESS;
  std::optional<ModeHold> hold;
  if (o.with_rssi) {
    hold.emplace(r, raw, &rc);
    if (rc != RFRW_SUCCESS) return Done(outcome, ZQ_DRIVER_ERROR, rc);
  }
  const unsigned limit = o.max_rounds ? std::min(o.max_rounds, kRoundsLimit) : kRoundsLimit;
  std::map<Bytes, size_t> seen;
  unsigned mostRounds = 0;  // the most rounds one target needed
  uint16_t lastSw = 0x9000;
  // Target A, then B: the reader flips every tag it lists, so the rounds of
  // one target walk through the tags in that state until a round lists none
  // it has not listed in this target. Tags come into the field in A; those
  // an earlier inventory (of this or another process) left in B are found in
  // the second target, which sends every tag back to A for the next one. A
  // reader that does not flip lists the same tags again: that ends the
  // target too.
  for (const bool targetB : {false, true}) {
    std::set<Bytes> inTarget;
    unsigned listing = 0;
    while (*rounds < limit) {
      Bytes response;
      rc = Transmit(r, InventoryRoundCommand(static_cast<uint8_t>(o.session), targetB, o.with_rssi != 0), &response);
      ++*rounds;
      if (rc != RFRW_SUCCESS) return Done(outcome, ZQ_DRIVER_ERROR, rc);
      Inventory inv = ParseInventory(response, o.with_rssi != 0);
      lastSw = inv.sw;
      if (!inv.ok && inv.sw != 0x6402) return Done(outcome, ZQ_REFUSED, 0, inv.sw);
      if (inv.truncated) return Done(outcome, ZQ_BAD_RESPONSE, 0, inv.sw);
      size_t fresh = 0;
      for (InventoryTag& t : inv.tags) {
        Bytes key = TagAddress(t.pc, t.epc);
        if (!inTarget.insert(key).second) continue;
        ++fresh;
        if (seen.count(key)) continue;
        seen.emplace(std::move(key), tags->size());
        tags->push_back(std::move(t));
      }
      if (!fresh) break;
      ++listing;
    }
    mostRounds = std::max(mostRounds, listing);
  }
  *several = mostRounds > 1;
  r->pcs.clear();
  for (const InventoryTag& t : *tags) r->pcs[t.epc] = t.pc;
  return Done(outcome, ZQ_OK, 0, lastSw == 0x6402 ? 0x9000 : lastSw);
}

}  // namespace
}  // namespace zq::client

extern "C" zq_result zq_inventory(zq_reader* reader, const zq_inventory_options* options, zq_tag_list** list,
                                  zq_outcome* outcome) {
  if (!reader || !list) return Done(outcome, ZQ_BAD_ARGUMENT);
  *list = nullptr;
  const zq_inventory_options o = options ? *options : zq_inventory_defaults();
  if (ThroughAgent(reader)) return AgentInventory(reader, o, list, outcome);
  std::vector<InventoryTag> tags;
  unsigned rounds = 0;
  bool several = false;
  zq_result res;
  {
    std::lock_guard<std::mutex> lock(reader->mutex);
    res = InventoryLocked(reader, o, &tags, &rounds, &several, outcome);
  }
  if (res != ZQ_OK) return res;
  zq_tag_list* l = NewTagList(tags.size());
  if (!l) return Done(outcome, ZQ_NO_MEMORY);
  for (size_t i = 0; i < tags.size(); ++i) FillTag(tags[i], o.with_rssi != 0, o.with_rssi && o.rssi_raw, &l->tags[i]);
  l->rounds = rounds;
  l->several_rounds = several ? 1 : 0;
  *list = l;
  return res;
}

// ---- tag access ------------------------------------------------------------------------------

namespace zq::client {
namespace {

bool ValidEpc(const uint8_t* epc, size_t length) { return epc && length >= 2 && length <= ZQ_EPC_MAX && length % 2 == 0; }

// The PC word of the tag: given, from the last inventory, or from a new one.
zq_result ResolvePc(zq_reader* r, const Bytes& epc, int32_t pc, bool fresh, uint16_t* out, zq_outcome* outcome) {
  if (pc >= 0) {
    if (pc > 0xFFFF) return Done(outcome, ZQ_BAD_ARGUMENT);
    *out = static_cast<uint16_t>(pc);
    return ZQ_OK;
  }
  auto it = r->pcs.find(epc);
  if (!fresh && it != r->pcs.end()) {
    *out = it->second;
    return ZQ_OK;
  }
  std::vector<InventoryTag> tags;
  unsigned rounds = 0;
  bool several = false;
  zq_inventory_options o = zq_inventory_defaults();
  o.with_rssi = 0;
  if (zq_result res = InventoryLocked(r, o, &tags, &rounds, &several, outcome); res != ZQ_OK) return res;
  it = r->pcs.find(epc);
  if (it == r->pcs.end()) return Done(outcome, ZQ_TAG_NOT_FOUND, 0, 0x6402);
  *out = it->second;
  return ZQ_OK;
}

// One tag command built for the tag's address; with the PC word taken
// from the field, a tag that no longer answers to the remembered PC word is
// looked for once more.
template <typename Build>
zq_result TagCall(zq_reader* r, const uint8_t* epc, size_t epcLength, int32_t pc, bool counted, Build build,
                  TagOutcome* result, zq_outcome* outcome) {
  const Bytes e(epc, epc + epcLength);
  for (int attempt = 0; attempt < 2; ++attempt) {
    uint16_t word = 0;
    if (zq_result res = ResolvePc(r, e, pc, attempt > 0, &word, outcome); res != ZQ_OK) return res;
    Bytes response;
    const int32_t rc = Transmit(r, build(TagAddress(word, e)), &response);
    if (rc != RFRW_SUCCESS) return Done(outcome, ZQ_DRIVER_ERROR, rc);
    *result = ParseTagOutcome(response, counted);
    if (result->ok || pc >= 0 || result->sw != 0x6402 || attempt > 0) break;
  }
  return FromTagOutcome(outcome, *result);
}

std::optional<Bytes> Password(const uint8_t* p) {
  if (!p) return std::nullopt;
  return Bytes(p, p + 4);
}

}  // namespace
}  // namespace zq::client

extern "C" {

zq_result zq_read(zq_reader* reader, const uint8_t* epc, size_t epc_length, int32_t pc, zq_bank bank, uint32_t pointer,
                  unsigned words, const uint8_t* password, uint8_t* data, size_t capacity, size_t* data_length,
                  zq_outcome* outcome) {
  if (data_length) *data_length = 0;
  if (!reader || !ValidEpc(epc, epc_length) || bank > ZQ_BANK_USER || words < 1 || words > 255 || !data ||
      !data_length || capacity < 2 * words)
    return Done(outcome, ZQ_BAD_ARGUMENT);
  if (ThroughAgent(reader)) {
    nlohmann::json body = AgentTagBody(epc, epc_length, pc, password), answer;
    body.update({{"bank", BankName(bank)}, {"ptr", pointer}, {"words", words}});
    const zq_result res = AgentOperation(reader, "read", body, &answer, outcome);
    if (res != ZQ_OK) return res;
    const Bytes got = HexMember(answer, "data");
    if (got.size() != 2 * words) return Done(outcome, ZQ_BAD_RESPONSE, 0, 0x9000);
    std::memcpy(data, got.data(), got.size());
    *data_length = got.size();
    return res;
  }
  std::lock_guard<std::mutex> lock(reader->mutex);
  TagOutcome t;
  const auto build = [&](const Bytes& address) {
    return ReadCommand(address, static_cast<Bank>(bank), pointer, static_cast<uint8_t>(words), Password(password));
  };
  const zq_result res = TagCall(reader, epc, epc_length, pc, false, build, &t, outcome);
  if (res != ZQ_OK) return res;
  if (t.data.size() != 2 * words) return Done(outcome, ZQ_BAD_RESPONSE, 0, t.sw);
  std::memcpy(data, t.data.data(), t.data.size());
  *data_length = t.data.size();
  return res;
}

zq_result zq_write(zq_reader* reader, const uint8_t* epc, size_t epc_length, int32_t pc, zq_bank bank, uint32_t pointer,
                   const uint8_t* data, size_t length, int verify, const uint8_t* password, zq_outcome* outcome) {
  if (!reader || !ValidEpc(epc, epc_length) || bank > ZQ_BANK_USER || !data || length < 2 || length > 256 ||
      length % 2)
    return Done(outcome, ZQ_BAD_ARGUMENT);
  if (ThroughAgent(reader)) {
    nlohmann::json body = AgentTagBody(epc, epc_length, pc, password), answer;
    body.update({{"bank", BankName(bank)}, {"ptr", pointer}, {"data", zq::protocol::HexText(data, length)},
                 {"verify", verify != 0}});
    return AgentOperation(reader, "write", body, &answer, outcome);
  }
  const Bytes bytes(data, data + length);
  {
    std::lock_guard<std::mutex> lock(reader->mutex);
    TagOutcome t;
    const auto build = [&](const Bytes& address) {
      return WriteCommand(address, static_cast<Bank>(bank), pointer, bytes, Password(password));
    };
    if (zq_result res = TagCall(reader, epc, epc_length, pc, true, build, &t, outcome); res != ZQ_OK) return res;
  }
  if (!verify) return ZQ_OK;
  // A write that reaches the EPC bank's PC word or EPC (words 1 to 1 + the
  // EPC's words) changes how the tag answers: not read back here.
  const uint64_t firstWord = pointer, endWord = static_cast<uint64_t>(pointer) + length / 2;
  if (bank == ZQ_BANK_EPC && firstWord < 2 + epc_length / 2 && endWord > 1) return ZQ_OK;
  std::vector<uint8_t> back(length);
  size_t got = 0;
  const zq_result res = zq_read(reader, epc, epc_length, pc, bank, pointer, static_cast<unsigned>(length / 2),
                                password, back.data(), back.size(), &got, outcome);
  if (res != ZQ_OK) return res;
  if (got != length || !std::equal(back.begin(), back.end(), data)) return Done(outcome, ZQ_VERIFY_FAILED, 0, 0x9000);
  return ZQ_OK;
}

zq_result zq_write_epc(zq_reader* reader, const uint8_t* epc, size_t epc_length, int32_t pc, const uint8_t* new_epc,
                       size_t new_length, const uint8_t* password, uint16_t* new_pc, zq_outcome* outcome) {
  if (!reader || !ValidEpc(epc, epc_length) || !ValidEpc(new_epc, new_length)) return Done(outcome, ZQ_BAD_ARGUMENT);
  if (ThroughAgent(reader)) {
    nlohmann::json body = AgentTagBody(epc, epc_length, pc, password), answer;
    body["new"] = zq::protocol::HexText(new_epc, new_length);
    const zq_result res = AgentOperation(reader, "write-epc", body, &answer, outcome);
    const Bytes written = HexMember(answer, "pc");
    if (res == ZQ_OK && new_pc) *new_pc = written.size() == 2 ? static_cast<uint16_t>(written[0] << 8 | written[1]) : 0;
    return res;
  }
  std::lock_guard<std::mutex> lock(reader->mutex);
  const Bytes oldEpc(epc, epc + epc_length);
  const Bytes newEpc(new_epc, new_epc + new_length);
  uint16_t oldPc = 0;
  if (zq_result res = ResolvePc(reader, oldEpc, pc, false, &oldPc, outcome); res != ZQ_OK) return res;
  const uint16_t written = PcWordFor(newEpc.size(), oldPc);
  TagOutcome t;
  const auto build = [&](const Bytes& address) {
    return WriteCommand(address, Bank::kEpc, 1, TagAddress(written, newEpc), Password(password));
  };
  if (zq_result res = TagCall(reader, epc, epc_length, static_cast<int32_t>(oldPc), true, build, &t, outcome);
      res != ZQ_OK)
    return res;
  if (new_pc) *new_pc = written;
  // The tag must answer with the new EPC now.
  std::vector<InventoryTag> tags;
  unsigned rounds = 0;
  bool several = false;
  zq_inventory_options o = zq_inventory_defaults();
  o.with_rssi = 0;
  if (zq_result res = InventoryLocked(reader, o, &tags, &rounds, &several, outcome); res != ZQ_OK) return res;
  bool seenNew = false;
  bool seenOld = false;
  for (const InventoryTag& x : tags) {
    seenNew = seenNew || (x.epc == newEpc && x.pc == written);
    seenOld = seenOld || (x.epc == oldEpc && oldEpc != newEpc);
  }
  if (!seenNew || seenOld) return Done(outcome, ZQ_VERIFY_FAILED, 0, 0x9000);
  return Done(outcome, ZQ_OK, 0, 0x9000);
}

zq_result zq_write_epc_uri(zq_reader* reader, const uint8_t* epc, size_t epc_length, int32_t pc, const char* uri,
                           const uint8_t* password, zq_tag* written, zq_outcome* outcome) {
  if (!uri) return Done(outcome, ZQ_BAD_ARGUMENT);
  const zq::protocol::epc::Encoded e = zq::protocol::epc::Encode(uri);
  if (!e.ok || e.epc.size() > ZQ_EPC_MAX) return Done(outcome, ZQ_BAD_ARGUMENT);
  if (reader && ThroughAgent(reader)) {
    if (!ValidEpc(epc, epc_length)) return Done(outcome, ZQ_BAD_ARGUMENT);
    nlohmann::json body = AgentTagBody(epc, epc_length, pc, password), answer;
    body["uri"] = uri;
    const zq_result res = AgentOperation(reader, "write-epc", body, &answer, outcome);
    const Bytes newEpc = HexMember(answer, "new"), newPc = HexMember(answer, "pc");
    if (res == ZQ_OK && written) {
      InventoryTag t;
      t.pc = newPc.size() == 2 ? static_cast<uint16_t>(newPc[0] << 8 | newPc[1]) : 0;
      t.epc = newEpc.empty() ? e.epc : newEpc;
      FillTag(t, false, false, written);
    }
    return res;
  }
  uint16_t newPc = 0;
  const zq_result res = zq_write_epc(reader, epc, epc_length, pc, e.epc.data(), e.epc.size(), password, &newPc, outcome);
  if (res == ZQ_OK && written) {
    InventoryTag t;
    t.pc = newPc;
    t.epc = e.epc;
    FillTag(t, false, false, written);
  }
  return res;
}

zq_result zq_lock(zq_reader* reader, const uint8_t* epc, size_t epc_length, int32_t pc, const uint8_t password[4],
                  const uint8_t payload[3], zq_outcome* outcome) {
  if (!reader || !ValidEpc(epc, epc_length) || !password || !payload) return Done(outcome, ZQ_BAD_ARGUMENT);
  if (ThroughAgent(reader)) {
    nlohmann::json body = AgentTagBody(epc, epc_length, pc, password), answer;
    body["payload"] = zq::protocol::HexText(payload, 3);
    return AgentOperation(reader, "lock", body, &answer, outcome);
  }
  std::lock_guard<std::mutex> lock(reader->mutex);
  const Bytes pw(password, password + 4);
  const Bytes pl(payload, payload + 3);
  TagOutcome t;
  return TagCall(reader, epc, epc_length, pc, false, [&](const Bytes& a) { return LockCommand(a, pw, pl); }, &t, outcome);
}

zq_result zq_kill(zq_reader* reader, const uint8_t* epc, size_t epc_length, int32_t pc, const uint8_t password[4],
                  zq_outcome* outcome) {
  if (!reader || !ValidEpc(epc, epc_length) || !password) return Done(outcome, ZQ_BAD_ARGUMENT);
  // Gen2: a tag with a zero kill password does not execute a kill.
  if (!password[0] && !password[1] && !password[2] && !password[3]) return Done(outcome, ZQ_BAD_ARGUMENT);
  if (ThroughAgent(reader)) {
    nlohmann::json answer;
    return AgentOperation(reader, "kill", AgentTagBody(epc, epc_length, pc, password), &answer, outcome);
  }
  std::lock_guard<std::mutex> lock(reader->mutex);
  const Bytes pw(password, password + 4);
  TagOutcome t;
  const zq_result res =
      TagCall(reader, epc, epc_length, pc, false, [&](const Bytes& a) { return KillCommand(a, pw); }, &t, outcome);
  if (res == ZQ_OK) reader->pcs.erase(Bytes(epc, epc + epc_length));
  return res;
}

}  // extern "C"

// ---- reader settings -----------------------------------------------------------------------

namespace zq::client {
namespace {

// One command whose response ends in 90 00; *data the bytes before it.
zq_result Query(zq_reader* r, const Bytes& command, Bytes* data, zq_outcome* outcome) {
  Bytes response;
  const int32_t rc = Transmit(r, command, &response);
  if (rc != RFRW_SUCCESS) return Done(outcome, ZQ_DRIVER_ERROR, rc);
  const Response resp = SplitResponse(response);
  if (!resp.sw) return Done(outcome, ZQ_BAD_RESPONSE);
  if (!resp.ok()) return Done(outcome, ZQ_REFUSED, 0, *resp.sw, resp.data.empty() ? -1 : resp.data[0]);
  if (data) *data = resp.data;
  return Done(outcome, ZQ_OK, 0, 0x9000);
}

}  // namespace
}  // namespace zq::client

extern "C" {

zq_result zq_power(zq_reader* reader, int on, zq_outcome* outcome) {
  if (!reader) return Done(outcome, ZQ_BAD_ARGUMENT);
  if (ThroughAgent(reader)) {
    nlohmann::json answer;
    return AgentOperation(reader, "power", {{"on", on != 0}}, &answer, outcome);
  }
  const Driver* d = LoadedDriver();
  if (!d) return Done(outcome, ZQ_NO_DRIVER);
  std::lock_guard<std::mutex> lock(reader->mutex);
  int32_t sts = 0;
  const int32_t rc = d->power(reader->port, on ? 3 : 0, &sts);
  if (rc != RFRW_SUCCESS) return Done(outcome, ZQ_DRIVER_ERROR, rc);
  const uint16_t sw = static_cast<uint16_t>(sts);
  return Done(outcome, sw == 0x9000 ? ZQ_OK : ZQ_REFUSED, 0, sw);
}

zq_result zq_power_level(zq_reader* reader, unsigned level, zq_outcome* outcome) {
  if (!reader || level > kPowerLevelMax) return Done(outcome, ZQ_BAD_ARGUMENT);
  if (ThroughAgent(reader)) {
    nlohmann::json answer;
    return AgentOperation(reader, "power", {{"level", level}}, &answer, outcome);
  }
  std::lock_guard<std::mutex> lock(reader->mutex);
  return Query(reader, PowerLevelCommand(static_cast<uint8_t>(level)), nullptr, outcome);
}

zq_result zq_information_block(zq_reader* reader, uint8_t* block, size_t capacity, size_t* length,
                               zq_outcome* outcome) {
  if (length) *length = 0;
  if (!reader || !length || (capacity && !block)) return Done(outcome, ZQ_BAD_ARGUMENT);
  if (ThroughAgent(reader)) return Done(outcome, ZQ_NOT_THROUGH_AGENT);
  std::lock_guard<std::mutex> lock(reader->mutex);
  Bytes data;
  if (zq_result r = Query(reader, InformationCommand(kInfoBlock), &data, outcome); r != ZQ_OK) return r;
  *length = data.size();
  if (data.size() > capacity) return Done(outcome, ZQ_BAD_ARGUMENT, 0, 0x9000);
  if (!data.empty()) std::memcpy(block, data.data(), data.size());
  return ZQ_OK;
}

zq_result zq_reader_details_get(zq_reader* reader, zq_reader_details* details, zq_outcome* outcome) {
  if (!reader || !details) return Done(outcome, ZQ_BAD_ARGUMENT);
  std::memset(details, 0, sizeof *details);
  if (zq_driver_version(details->driver_version) != ZQ_OK) return Done(outcome, ZQ_NO_DRIVER);
  if (ThroughAgent(reader)) return Done(outcome, ZQ_NOT_THROUGH_AGENT);
  std::lock_guard<std::mutex> lock(reader->mutex);
  Bytes type, firmware, block;
  if (zq_result r = Query(reader, InformationCommand(kInfoReaderType), &type, outcome); r != ZQ_OK) return r;
  if (zq_result r = Query(reader, InformationCommand(kInfoFirmware), &firmware, outcome); r != ZQ_OK) return r;
  Bytes response;
  const int32_t rc = Transmit(reader, InformationCommand(kInfoBlock), &response);
  if (rc != RFRW_SUCCESS) return Done(outcome, ZQ_DRIVER_ERROR, rc);
  const InfoBlock info = ParseInfoBlock(response);
  if (!info.valid) return Done(outcome, ZQ_BAD_RESPONSE, 0, SplitResponse(response).sw.value_or(0));
  details->reader_type_length = std::min(type.size(), sizeof details->reader_type);
  std::memcpy(details->reader_type, type.data(), details->reader_type_length);
  details->firmware_length = std::min(firmware.size(), sizeof details->firmware);
  std::memcpy(details->firmware, firmware.data(), details->firmware_length);
  for (const auto& [number, value] : info.entries) {
    if (details->entry_count == 32) break;
    details->entry_number[details->entry_count] = number;
    details->entry_value[details->entry_count] = value;
    ++details->entry_count;
  }
  return Done(outcome, ZQ_OK, 0, 0x9000);
}

zq_result zq_gpio_read(zq_reader* reader, uint16_t* lines, zq_outcome* outcome) {
  if (!reader || !lines) return Done(outcome, ZQ_BAD_ARGUMENT);
  if (ThroughAgent(reader)) return Done(outcome, ZQ_NOT_THROUGH_AGENT);
  std::lock_guard<std::mutex> lock(reader->mutex);
  Bytes data;
  if (zq_result r = Query(reader, GpioReadCommand(), &data, outcome); r != ZQ_OK) return r;
  if (data.size() != 2) return Done(outcome, ZQ_BAD_RESPONSE, 0, 0x9000);
  *lines = static_cast<uint16_t>(data[0] << 8 | data[1]);
  return ZQ_OK;
}

zq_result zq_gpio_write(zq_reader* reader, unsigned line, int on, zq_outcome* outcome) {
  if (!reader || line > kGpioLineMax) return Done(outcome, ZQ_BAD_ARGUMENT);
  if (ThroughAgent(reader)) return Done(outcome, ZQ_NOT_THROUGH_AGENT);
  std::lock_guard<std::mutex> lock(reader->mutex);
  return Query(reader, GpioWriteCommand(static_cast<uint8_t>(line), on != 0), nullptr, outcome);
}

zq_result zq_serial_get(zq_reader* reader, char* text, size_t capacity, zq_outcome* outcome) {
  if (!reader || !text || !capacity) return Done(outcome, ZQ_BAD_ARGUMENT);
  text[0] = 0;
  if (ThroughAgent(reader)) return Done(outcome, ZQ_NOT_THROUGH_AGENT);
  std::lock_guard<std::mutex> lock(reader->mutex);
  Bytes data;
  if (zq_result r = Query(reader, SerialGetCommand(), &data, outcome); r != ZQ_OK) return r;
  CopyText(DecodeSerialArea(data), text, capacity);
  return ZQ_OK;
}

zq_result zq_serial_set(zq_reader* reader, const char* text, zq_outcome* outcome) {
  if (!reader || !text) return Done(outcome, ZQ_BAD_ARGUMENT);
  const std::optional<Bytes> command = SerialSetCommand(text);
  if (!command) return Done(outcome, ZQ_BAD_ARGUMENT);
  if (ThroughAgent(reader)) return Done(outcome, ZQ_NOT_THROUGH_AGENT);
  std::lock_guard<std::mutex> lock(reader->mutex);
  return Query(reader, *command, nullptr, outcome);
}

// ---- raw commands ------------------------------------------------------------------------------

zq_result zq_raw(zq_reader* reader, const uint8_t* command, size_t length, uint8_t* response, size_t capacity,
                 size_t* response_length, zq_outcome* outcome) {
  if (response_length) *response_length = 0;
  if (!reader || !command || !length || length > 65536 || !response_length || (capacity && !response))
    return Done(outcome, ZQ_BAD_ARGUMENT);
  if (ThroughAgent(reader)) return Done(outcome, ZQ_NOT_THROUGH_AGENT);
  std::lock_guard<std::mutex> lock(reader->mutex);
  Bytes reply;
  const int32_t rc = Transmit(reader, Bytes(command, command + length), &reply);
  if (rc != RFRW_SUCCESS) return Done(outcome, ZQ_DRIVER_ERROR, rc);
  if (reply.size() > capacity) {
    *response_length = reply.size();
    return Done(outcome, ZQ_BAD_ARGUMENT);
  }
  if (!reply.empty()) std::memcpy(response, reply.data(), reply.size());
  *response_length = reply.size();
  const Response r = SplitResponse(reply);
  int16_t status = -1;
  if (r.sw && *r.sw != 0x9000 && !r.data.empty()) status = r.data[0];
  return Done(outcome, ZQ_OK, 0, r.sw.value_or(0), status);
}

// ---- messages ------------------------------------------------------------------------------------

const char* zq_result_message(zq_result result) { return ResultSentence(result); }

const char* zq_outcome_message(const zq_outcome* outcome, char* text, size_t capacity) {
  if (!text || !capacity) return text;
  CopyText(outcome ? OutcomeSentence(*outcome) : std::string(ResultSentence(ZQ_BAD_ARGUMENT)), text, capacity);
  return text;
}

}  // extern "C"
