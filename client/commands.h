// The application command set of the reader, as plain functions on bytes:
// the command bytes an application sends through RFRW_CLRW_Transmit, the
// decoding of the responses, the lock payload, and the messages of driver
// results, status words and tag error codes. The one place these bytes are
// built: the client library, the tool, the soak and (through the library)
// the Python package use it. Nothing here calls the driver or the system,
// so all of it is checked on data alone. docs/commands.md describes the
// bytes.
//
// Sections: command building; the lock payload; response decoding;
// messages.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zq::client {

using Bytes = std::vector<uint8_t>;


using Bytes = std::vector<uint8_t>;

// ---- command building -----------------------------------------------------------

// Gen2 memory banks as the tag commands number them.
enum class Bank : uint8_t { kReserved = 0, kEpc = 1, kTid = 2, kUser = 3 };
std::optional<Bank> ParseBank(const std::string& name);
const char* BankName(Bank bank);

// CLA INS P1 P2, and with data the 16-bit big-endian length and the data.
Bytes ApplicationCommand(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const Bytes* data = nullptr);

// The PC word for an EPC of `epcBytes` bytes (whole words): its length in
// words in bits 15..11, the other bits taken from `otherBits` (bits 10..0).
uint16_t PcWordFor(size_t epcBytes, uint16_t otherBits = 0);
// The PC word and EPC that address a tag.
Bytes TagAddress(uint16_t pc, const Bytes& epc);

// The PC word and EPC a tag answers to once `data` was written from word
// `pointer` of its EPC bank, when it answered to `address` (PC word and
// EPC) before: the bank holds the stored CRC in word 0, the PC word in
// word 1 and the EPC from word 2, and the new PC word's length field
// decides how much of the EPC counts. Bytes the write did not reach and
// the old address did not hold are unknown, so a longer EPC comes back
// cut to what is known.
Bytes AddressAfterEpcWrite(const Bytes& address, uint32_t pointer, const Bytes& data);

// 08 01: every tag, session 0, listed with their signal strengths.
Bytes InventoryCommand();
// 08 01 80 P2: one inventory round without a Select in Gen2 session
// `session` (0..3, P2 bits 5..4) for the tags whose inventoried flag is in
// `targetB` (P2 bit 2: A 0, B 1); with `rssi` (P2 bit 1) each entry
// carries its signal strength. The reader lists the tags in the target
// state, up to what one response holds, and flips those it lists.
Bytes InventoryRoundCommand(uint8_t session, bool targetB, bool rssi);
// The most tags of 96-bit EPCs one inventory response holds (the driver's
// reply area of 1558 bytes less the status word, the count and framing).
inline constexpr size_t kInventoryReplyBytes = 1558;
// 20 20: signal strengths raw (true) or converted to dBm (false).
Bytes RssiModeCommand(bool raw);
// 08 10 / 08 11 / 08 12 / 08 13 for the tag with this PC and EPC. A password
// of std::nullopt sends none (P1 bit 1 clear). The write asks for the count
// of words written when it stops part-way (P1 bit 0).
Bytes ReadCommand(const Bytes& address, Bank bank, uint32_t pointer, uint8_t words, const std::optional<Bytes>& password);
Bytes WriteCommand(const Bytes& address, Bank bank, uint32_t pointer, const Bytes& data, const std::optional<Bytes>& password);
Bytes LockCommand(const Bytes& address, const Bytes& password, const Bytes& payload);
Bytes KillCommand(const Bytes& address, const Bytes& password);
// 00 05 P1 00: the information block (P1 00), the reader type (12), the
// firmware version (16).
Bytes InformationCommand(uint8_t p1);
inline constexpr uint8_t kInfoBlock = 0x00;
inline constexpr uint8_t kInfoReaderType = 0x12;
inline constexpr uint8_t kInfoFirmware = 0x16;
// 00 02 00 04: a query of reader item `item` (16 bits), `count` values;
// the last data byte is the XOR check of the three before it. The module
// type is item 0x0012 (one value), the firmware version item 0x001F (two).
Bytes ItemQueryCommand(uint16_t item, uint8_t count);
// 00 18 L 00: the RF power level L (0..63; the driver sends the reader
// min(L, 30) - 10, in dBm).
Bytes PowerLevelCommand(uint8_t level);
inline constexpr unsigned kPowerLevelMax = 63;
// 20 40 / 20 41: the bridge's GPIO lines.
Bytes GpioReadCommand();
Bytes GpioWriteCommand(uint8_t line, bool on);
// 20 30: the bridge's serial string.
Bytes SerialGetCommand();
// The 71-byte set command for `text` (printable ASCII, at most 30
// characters, stored as a USB string: UTF-16LE, zero-padded to 61 bytes);
// nullopt for another text.
std::optional<Bytes> SerialSetCommand(const std::string& text);
inline constexpr size_t kSerialTextMax = 30;
// The highest GPIO line of the bridge (lines 0 to 9; the GPIO command's
// number field goes to 15, but no latch bit stands behind 10 to 15, so a
// write there would be reported done while nothing changed).
inline constexpr unsigned kGpioLineMax = 9;

// ---- the lock payload ------------------------------------------------------------

// The 3 payload bytes of a Lock: bits 23..14 the mask and 13..4 the
// actions, two bits each for the kill password, the access password, the
// EPC, TID and user banks (in that order); the low 4 bits are 0. Fields
// not named keep their lock state.
// `forms` is "field=action[,field=action...]" with field kill, access, epc,
// tid or user and action unlock, permaunlock, lock or permalock. nullopt
// and *error set for another text (a field twice included).
std::optional<Bytes> LockPayload(const std::string& forms, std::string* error);

// ---- response decoding --------------------------------------------------------------

// A response: its data and, when it has two bytes or more, its last two
// bytes as the status word.
struct Response {
  Bytes data;
  std::optional<uint16_t> sw;
  bool ok() const { return sw && *sw == 0x9000; }
};
Response SplitResponse(const Bytes& raw);

struct InventoryTag {
  uint16_t pc = 0;
  Bytes epc;
  uint16_t crc = 0;
  uint16_t rssiRaw = 0;  // as the driver reported it: raw, or signed 8.8 dBm
};
struct Inventory {
  bool ok = false;          // status word 90 00
  uint16_t sw = 0x6403;     // the status word (64 03 for a response without one)
  std::vector<InventoryTag> tags;
  bool truncated = false;   // the count named more tags than the data holds
};
// The inventory response: a 16-bit tag count, then per tag PC+EPC, its CRC
// and a 16-bit signal strength; or the four-byte status response.
// Without signal strengths (`withRssi` false) an entry ends after its CRC.
Inventory ParseInventory(const Bytes& raw, bool withRssi = true);
// A signed 8.8 signal strength in dBm.
double RssiDbm(uint16_t value);

// The outcome of a tag operation: 90 00 with data, or a refusal whose
// first byte is a status byte (for 64 04 the tag's error code) and, for a
// write that stopped part-way, the count of words written.
struct TagOutcome {
  bool ok = false;
  uint16_t sw = 0x6403;
  Bytes data;                          // read data (ok)
  std::optional<uint8_t> readerStatus;  // refusal
  std::optional<uint8_t> wordsWritten;  // refusal of a counted write
};
TagOutcome ParseTagOutcome(const Bytes& raw, bool counted);

// The information block (00 05 00 00): a head, the table of numbered
// 16-bit values and the bytes after it.
struct InfoBlock {
  bool valid = false;
  Bytes head;
  std::vector<std::pair<uint8_t, uint16_t>> entries;
  Bytes tail;
};
InfoBlock ParseInfoBlock(const Bytes& raw);

// The serial-string area (61 bytes, UTF-16LE, up to the first zero
// character) as UTF-8.
std::string DecodeSerialArea(const Bytes& area);

// ---- messages -------------------------------------------------------------------------

// The enumerator name of a driver result ("RFRW_ERROR_EXCHANGE"), "" for
// one the header does not name.
const char* ResultName(int32_t result);
// What a driver result means for the person running the tool, and what to
// do about it.
std::string ResultMessage(int32_t result);
// The meaning of a status word; `readerStatus` is the status byte before
// it (the tag's error code for 64 04).
std::string StatusWordMessage(uint16_t sw, std::optional<uint8_t> readerStatus = std::nullopt);
// The Gen2 error code of a tag's error reply.
std::string TagErrorName(uint8_t code);
// Every status word the tool names, for tests and the documentation.
const std::vector<uint16_t>& KnownStatusWords();
// Every driver result the header names.
const std::vector<int32_t>& KnownResults();

}  // namespace zq::client
