// The application command set (client/commands.h).
//
// Sections: command building; the lock payload; response
// decoding; messages.
#include "client/commands.h"

#include <algorithm>
#include <cstdio>

#include "ZELQUAR_Drv.h"
#include "protocol/hex.h"

namespace zq::client {

// ---- command building -----------------------------------------------------------

std::optional<Bank> ParseBank(const std::string& name) {
  if (name == "reserved") return Bank::kReserved;
  if (name == "epc") return Bank::kEpc;
  if (name == "tid") return Bank::kTid;
  if (name == "user") return Bank::kUser;
  return std::nullopt;
}

const char* BankName(Bank bank) {
  switch (bank) {
    case Bank::kReserved: return "reserved";
    case Bank::kEpc: return "epc";
    case Bank::kTid: return "tid";
    case Bank::kUser: return "user";
  }
  return "?";
}

Bytes ApplicationCommand(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const Bytes* data) {
  Bytes b{cla, ins, p1, p2};
  if (data) {
    b.push_back(static_cast<uint8_t>(data->size() >> 8));
    b.push_back(static_cast<uint8_t>(data->size()));
    b.insert(b.end(), data->begin(), data->end());
  }
  return b;
}

uint16_t PcWordFor(size_t epcBytes, uint16_t otherBits) {
  return static_cast<uint16_t>((epcBytes / 2) << 11 | (otherBits & 0x07FF));
}

Bytes TagAddress(uint16_t pc, const Bytes& epc) {
  // Sized first and filled: GCC 12 at -O3 takes an insert behind a
  // two-byte start for a read past its end.
  Bytes b(2 + epc.size());
  b[0] = static_cast<uint8_t>(pc >> 8);
  b[1] = static_cast<uint8_t>(pc);
  std::copy(epc.begin(), epc.end(), b.begin() + 2);
  return b;
}

Bytes AddressAfterEpcWrite(const Bytes& address, uint32_t pointer, const Bytes& data) {
  Bytes memory = address;  // EPC bank from word 1 on
  for (size_t i = 0; i < data.size(); ++i) {
    // Word 0 (the stored CRC) lies before the address; beyond word 32 the
    // bank holds nothing an address could use.
    const int64_t at = (static_cast<int64_t>(pointer) - 1) * 2 + static_cast<int64_t>(i);
    if (at < 0 || at >= 64) continue;
    if (static_cast<size_t>(at) >= memory.size()) memory.resize(static_cast<size_t>(at) + 1, 0);
    memory[static_cast<size_t>(at)] = data[i];
  }
  if (memory.size() < 2) return memory;
  const size_t length = (memory[0] >> 3) * 2 + 2;
  if (memory.size() > length) memory.resize(length);
  return memory;
}

Bytes InventoryCommand() {
  const Bytes data{0x00, 0x00};
  // P2 bit 1: each entry carries its signal strength.
  return ApplicationCommand(0x08, 0x01, 0x00, 0x02, &data);
}

Bytes InventoryRoundCommand(uint8_t session, bool targetB, bool rssi) {
  const Bytes data{0x00, 0x00};
  const uint8_t p2 = static_cast<uint8_t>((session & 3) << 4 | (targetB ? 0x04 : 0) | (rssi ? 0x02 : 0));
  return ApplicationCommand(0x08, 0x01, 0x80, p2, &data);
}

Bytes ItemQueryCommand(uint16_t item, uint8_t count) {
  const uint8_t hi = static_cast<uint8_t>(item >> 8);
  const uint8_t lo = static_cast<uint8_t>(item);
  return Bytes{0x00, 0x02, 0x00, 0x04, hi, lo, count, static_cast<uint8_t>(hi ^ lo ^ count)};
}

Bytes PowerLevelCommand(uint8_t level) { return ApplicationCommand(0x00, 0x18, level, 0x00); }

Bytes RssiModeCommand(bool raw) { return ApplicationCommand(0x20, 0x20, 0x00, raw ? 0x01 : 0x00); }

namespace {

// The P2 address form of a word pointer and its bytes: one byte (form 0),
// three (form 1) or four (form 3), most significant first.
void AppendPointer(uint32_t pointer, uint8_t* p2, Bytes* body) {
  if (pointer < 0x100) {
    *p2 = 0;
    body->push_back(static_cast<uint8_t>(pointer));
  } else if (pointer < 0x1000000) {
    *p2 = 1;
    for (int shift : {16, 8, 0}) body->push_back(static_cast<uint8_t>(pointer >> shift));
  } else {
    *p2 = 3;
    for (int shift : {24, 16, 8, 0}) body->push_back(static_cast<uint8_t>(pointer >> shift));
  }
}

Bytes TagAccess(uint8_t ins, uint8_t p1Extra, const Bytes& address, Bank bank, uint32_t pointer,
                const Bytes& tail, const std::optional<Bytes>& password) {
  Bytes body = address;
  if (password) body.insert(body.end(), password->begin(), password->end());
  body.push_back(static_cast<uint8_t>(bank));
  uint8_t p2 = 0;
  AppendPointer(pointer, &p2, &body);
  body.insert(body.end(), tail.begin(), tail.end());
  const uint8_t p1 = static_cast<uint8_t>(p1Extra | (password ? 0x02 : 0x00));
  return ApplicationCommand(0x08, ins, p1, p2, &body);
}

}  // namespace

Bytes ReadCommand(const Bytes& address, Bank bank, uint32_t pointer, uint8_t words,
                  const std::optional<Bytes>& password) {
  return TagAccess(0x10, 0x00, address, bank, pointer, Bytes{words}, password);
}

Bytes WriteCommand(const Bytes& address, Bank bank, uint32_t pointer, const Bytes& data,
                   const std::optional<Bytes>& password) {
  return TagAccess(0x11, 0x01, address, bank, pointer, data, password);
}

Bytes LockCommand(const Bytes& address, const Bytes& password, const Bytes& payload) {
  Bytes body = address;
  body.insert(body.end(), password.begin(), password.end());
  body.insert(body.end(), payload.begin(), payload.end());
  return ApplicationCommand(0x08, 0x12, 0x00, 0x00, &body);
}

Bytes KillCommand(const Bytes& address, const Bytes& password) {
  Bytes body = address;
  body.insert(body.end(), password.begin(), password.end());
  return ApplicationCommand(0x08, 0x13, 0x00, 0x00, &body);
}

Bytes InformationCommand(uint8_t p1) { return ApplicationCommand(0x00, 0x05, p1, 0x00); }
Bytes GpioReadCommand() { return ApplicationCommand(0x20, 0x40, 0x00, 0x00); }
Bytes GpioWriteCommand(uint8_t line, bool on) { return ApplicationCommand(0x20, 0x41, line, on ? 1 : 0); }
Bytes SerialGetCommand() { return ApplicationCommand(0x20, 0x30, 0x00, 0x00); }

std::optional<Bytes> SerialSetCommand(const std::string& text) {
  if (text.size() > kSerialTextMax) return std::nullopt;
  // The bridge's set command carries the marker "2354" before the 61 bytes.
  Bytes data{'2', '3', '5', '4'};
  for (char c : text) {
    if (c < 0x20 || c > 0x7E) return std::nullopt;
    data.push_back(static_cast<uint8_t>(c));
    data.push_back(0);
  }
  data.resize(4 + 61, 0);
  return ApplicationCommand(0x20, 0x30, 0x00, 0x01, &data);
}

// ---- the lock payload ------------------------------------------------------------

std::optional<Bytes> LockPayload(const std::string& forms, std::string* error) {
  static const char* const kFields[] = {"kill", "access", "epc", "tid", "user"};
  static const char* const kActions[] = {"unlock", "permaunlock", "lock", "permalock"};
  uint32_t value = 0;
  uint32_t named = 0;
  size_t at = 0;
  if (forms.empty()) {
    *error = "name at least one of kill, access, epc, tid, user (like user=lock)";
    return std::nullopt;
  }
  while (at <= forms.size()) {
    size_t end = forms.find(',', at);
    if (end == std::string::npos) end = forms.size();
    const std::string item = forms.substr(at, end - at);
    const size_t eq = item.find('=');
    if (eq == std::string::npos) {
      *error = "'" + item + "': field=action expected (like user=lock)";
      return std::nullopt;
    }
    const std::string field = item.substr(0, eq);
    const std::string action = item.substr(eq + 1);
    int f = -1;
    for (int i = 0; i < 5; ++i)
      if (field == kFields[i]) f = i;
    int a = -1;
    for (int i = 0; i < 4; ++i)
      if (action == kActions[i]) a = i;
    if (f < 0) {
      *error = "no lock field '" + field + "' (kill, access, epc, tid, user)";
      return std::nullopt;
    }
    if (a < 0) {
      *error = "no lock action '" + action + "' for " + field + " (unlock, permaunlock, lock, permalock)";
      return std::nullopt;
    }
    if (named & (1u << f)) {
      *error = "lock field '" + field + "' named twice";
      return std::nullopt;
    }
    named |= 1u << f;
    const int shift = 2 * (4 - f);
    value |= 3u << (10 + shift);
    value |= static_cast<uint32_t>(a) << shift;
    at = end + 1;
  }
  value <<= 4;
  return Bytes{static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

// ---- response decoding --------------------------------------------------------------

Response SplitResponse(const Bytes& raw) {
  Response r;
  if (raw.size() < 2) {
    r.data = raw;
    return r;
  }
  r.data.assign(raw.begin(), raw.end() - 2);
  r.sw = static_cast<uint16_t>(raw[raw.size() - 2] << 8 | raw[raw.size() - 1]);
  return r;
}

Inventory ParseInventory(const Bytes& raw, bool withRssi) {
  Inventory inv;
  const Response r = SplitResponse(raw);
  inv.sw = r.sw.value_or(0x6403);
  inv.ok = r.ok();
  if (!inv.ok) return inv;
  const Bytes& d = r.data;
  if (d.size() < 2) {
    inv.ok = false;
    inv.sw = 0x6403;
    return inv;
  }
  const size_t count = static_cast<size_t>(d[0] << 8 | d[1]);
  size_t at = 2;
  for (size_t i = 0; i < count; ++i) {
    if (at >= d.size()) {
      inv.truncated = true;
      break;
    }
    const size_t size = static_cast<size_t>(d[at] >> 3) * 2 + 2;
    const size_t end = at + size + (withRssi ? 4 : 2);
    if (end > d.size()) {
      inv.truncated = true;
      break;
    }
    InventoryTag t;
    t.pc = static_cast<uint16_t>(d[at] << 8 | d[at + 1]);
    t.epc.assign(d.begin() + static_cast<long>(at + 2), d.begin() + static_cast<long>(at + size));
    t.crc = static_cast<uint16_t>(d[at + size] << 8 | d[at + size + 1]);
    if (withRssi) t.rssiRaw = static_cast<uint16_t>(d[at + size + 2] << 8 | d[at + size + 3]);
    inv.tags.push_back(std::move(t));
    at = end;
  }
  return inv;
}

double RssiDbm(uint16_t value) { return static_cast<int16_t>(value) / 256.0; }

TagOutcome ParseTagOutcome(const Bytes& raw, bool counted) {
  TagOutcome o;
  const Response r = SplitResponse(raw);
  o.sw = r.sw.value_or(0x6403);
  o.ok = r.ok();
  if (o.ok) {
    o.data = r.data;
    return o;
  }
  if (!r.data.empty()) o.readerStatus = r.data[0];
  if (counted && r.data.size() >= 2) o.wordsWritten = r.data[1];
  return o;
}

InfoBlock ParseInfoBlock(const Bytes& raw) {
  InfoBlock b;
  const Response r = SplitResponse(raw);
  const Bytes& d = r.data;
  // A 10-byte head, the table's byte length (16 bits), 3-byte entries.
  if (!r.ok() || d.size() < 12) return b;
  const size_t tableLength = static_cast<size_t>(d[10] << 8 | d[11]);
  if (tableLength % 3 != 0 || 12 + tableLength > d.size()) return b;
  b.head.assign(d.begin(), d.begin() + 10);
  for (size_t at = 12; at < 12 + tableLength; at += 3)
    b.entries.emplace_back(d[at], static_cast<uint16_t>(d[at + 1] << 8 | d[at + 2]));
  b.tail.assign(d.begin() + static_cast<long>(12 + tableLength), d.end());
  b.valid = true;
  return b;
}

std::string DecodeSerialArea(const Bytes& area) {
  std::string out;
  for (size_t i = 0; i + 1 < area.size(); i += 2) {
    const unsigned c = area[i] | area[i + 1] << 8;
    if (c == 0) break;
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | c >> 6));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | c >> 12));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

// ---- messages -------------------------------------------------------------------------

namespace {

struct ResultText {
  int32_t code;
  const char* name;
  const char* message;
};

const ResultText kResults[] = {
    {RFRW_SUCCESS, "RFRW_SUCCESS", "done"},
    {RFRW_ERROR_INTERNAL, "RFRW_ERROR_INTERNAL",
     "the driver could not do its own part (memory, its link thread, or a firmware file it could not read); "
     "try again, and if it persists unplug the reader and plug it in again"},
    {RFRW_ERROR_DEVICE, "RFRW_ERROR_DEVICE",
     "the reader device could not be attached: it is not connected, another program holds it, "
     "or it refused a firmware block"},
    {RFRW_ERROR_PARAMETER, "RFRW_ERROR_PARAMETER",
     "the driver refused the command's parameters (a port number, a length or a value out of range, "
     "or a port another process opened); nothing was done"},
    {RFRW_ERROR_EXCHANGE, "RFRW_ERROR_EXCHANGE",
     "the reader did not answer, or kept answering wrongly, within the resend window; "
     "try again, and check the connection if it stays silent"},
    {RFRW_ERROR_FILE_MISSING, "RFRW_ERROR_FILE_MISSING",
     "a file the driver needs beside itself is missing (ZELQUAR_Drv.ini, the comm library "
     "or the firmware file); reinstall the driver"},
    {RFRW_ERROR_NOT_ADMIN, "RFRW_ERROR_NOT_ADMIN",
     "opening the port needs administrator rights: run as root or as a member of the group zelquar "
     "(the udev rule's group, which also gives access to the reader) or of sudo, wheel or admin, "
     "or set AdminCheckCut=1 in ZELQUAR_Drv.ini"},
    {RFRW_ERROR_NOT_OPEN, "RFRW_ERROR_NOT_OPEN", "the port is not open"},
    {RFRW_ERROR_OPEN_ELSEWHERE, "RFRW_ERROR_OPEN_ELSEWHERE",
     "the port is open in another process that is still running; wait until it closes the port, "
     "or use another unit"},
};

}  // namespace

const char* ResultName(int32_t result) {
  for (const ResultText& r : kResults)
    if (r.code == result) return r.name;
  return "";
}

std::string ResultMessage(int32_t result) {
  for (const ResultText& r : kResults)
    if (r.code == result) return r.message;
  return "the driver reported an unlisted failure (result " + std::to_string(result) + ")";
}

const std::vector<int32_t>& KnownResults() {
  static const std::vector<int32_t> codes = [] {
    std::vector<int32_t> v;
    for (const ResultText& r : kResults) v.push_back(r.code);
    return v;
  }();
  return codes;
}

std::string TagErrorName(uint8_t code) {
  switch (code) {
    case 0x00: return "other error";
    case 0x03: return "memory overrun (the address lies beyond the bank)";
    case 0x04: return "memory locked (the bank or password is locked)";
    case 0x0B: return "insufficient power (the tag needs more RF power to write)";
    case 0x0F: return "unnamed error";
  }
  return "tag error code not named by Gen2";
}

std::string StatusWordMessage(uint16_t sw, std::optional<uint8_t> readerStatus) {
  char hex[8];
  const auto statusSuffix = [&]() -> std::string {
    if (!readerStatus) return "";
    std::snprintf(hex, sizeof hex, "%02X", *readerStatus);
    return std::string(" (reader status ") + hex + ")";
  };
  switch (sw) {
    case 0x9000: return "command executed";
    case 0x6400: return "the reader could not carry out the command" + statusSuffix();
    case 0x6401: return "the reader refused the command" + statusSuffix();
    case 0x6402: return "no tag answered: no tag with that PC and EPC is in the field" + statusSuffix();
    case 0x6403:
      return "the command failed: the reply did not pass the check (no tag answered, another tag answered, "
             "or its reply was damaged)" + statusSuffix();
    case 0x6404:
      if (readerStatus) {
        std::snprintf(hex, sizeof hex, "%02X", *readerStatus);
        return std::string("the tag answered with an error: ") + hex + " " + TagErrorName(*readerStatus);
      }
      return "the tag answered with an error";
  }
  if (sw >= 0x6405 && sw <= 0x640E) {
    std::snprintf(hex, sizeof hex, "%02X", sw & 0xFF);
    return std::string("the reader reported condition ") + hex +
           ", which makes the driver power it off and on and restore its settings";
  }
  return "status word not known to this tool" + statusSuffix();
}

const std::vector<uint16_t>& KnownStatusWords() {
  static const std::vector<uint16_t> words = [] {
    std::vector<uint16_t> v{0x9000};
    for (uint16_t sw = 0x6400; sw <= 0x640E; ++sw) v.push_back(sw);
    return v;
  }();
  return words;
}

}  // namespace zq::client
