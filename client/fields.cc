// Sections: text; tags and identities; messages.
#include "client/fields.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "protocol/epc/epc.h"

namespace zq::client {

// ---- text ---------------------------------------------------------------------------

void CopyText(const std::string& text, char* out, size_t capacity) {
  if (!out || !capacity) return;
  size_t n = std::min(text.size(), capacity - 1);
  // Not inside a UTF-8 sequence: back to the byte that starts one.
  if (n < text.size())
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  std::memcpy(out, text.data(), n);
  out[n] = 0;
}

// ---- tags and identities ------------------------------------------------------------

void FillIdentity(uint16_t pc, const uint8_t* epc, size_t length, zq_identity* id) {
  namespace epcs = zq::protocol::epc;
  std::memset(id, 0, sizeof *id);
  const epcs::Decoded d = epcs::DecodeEpcBank(pc, epc, length);
  id->is_gs1 = d.ok ? 1 : 0;
  id->filter = d.filter;
  CopyText(epcs::SchemeName(d.scheme), id->scheme, sizeof id->scheme);
  CopyText(d.tagUri, id->tag_uri, sizeof id->tag_uri);
  CopyText(d.pureUri, id->pure_uri, sizeof id->pure_uri);
  CopyText(d.elementString, id->element_string, sizeof id->element_string);
  CopyText(d.digitalLink, id->digital_link, sizeof id->digital_link);
  CopyText(d.Value("gtin"), id->gtin, sizeof id->gtin);
  CopyText(d.Value("serial"), id->serial, sizeof id->serial);
  if (!d.ok) CopyText(d.detail.empty() ? epcs::ReasonText(d.reason) : d.detail, id->reason, sizeof id->reason);
}

bool EncodeIdentity(const std::string& text, uint8_t* epc, size_t* length, uint16_t* pc, char* error, size_t capacity) {
  namespace epcs = zq::protocol::epc;
  const epcs::Encoded e = epcs::Encode(text);
  if (!e.ok || e.epc.size() > ZQ_EPC_MAX) {
    CopyText(!e.ok ? (e.detail.empty() ? std::string(epcs::ReasonText(e.reason)) : e.detail) : "the EPC is longer than 31 words",
             error, capacity);
    return false;
  }
  std::memcpy(epc, e.epc.data(), e.epc.size());
  *length = e.epc.size();
  *pc = e.pc;
  CopyText("", error, capacity);
  return true;
}

void FillTag(const InventoryTag& tag, bool withRssi, bool raw, zq_tag* out) {
  std::memset(out, 0, sizeof *out);
  out->pc = tag.pc;
  out->epc_length = static_cast<uint8_t>(std::min<size_t>(tag.epc.size(), ZQ_EPC_MAX));
  std::memcpy(out->epc, tag.epc.data(), out->epc_length);
  out->crc = tag.crc;
  out->has_rssi = withRssi ? 1 : 0;
  out->rssi_raw = tag.rssiRaw;
  out->rssi_is_raw = withRssi && raw ? 1 : 0;
  out->rssi_dbm = withRssi && !raw ? RssiDbm(tag.rssiRaw) : 0.0;
  FillIdentity(tag.pc, out->epc, out->epc_length, &out->identity);
}

// ---- messages -------------------------------------------------------------------------

namespace {

struct Sentence {
  zq_result result;
  const char* name;
  const char* text;
};

const Sentence kSentences[] = {
    {ZQ_OK, "ZQ_OK", "done"},
    {ZQ_REFUSED, "ZQ_REFUSED",
     "the reader or the tag refused the command; the status word and the tag's error code say why"},
    {ZQ_TAG_NOT_FOUND, "ZQ_TAG_NOT_FOUND",
     "no tag with that EPC answered: bring it into the field (an inventory lists what is there)"},
    {ZQ_BAD_ARGUMENT, "ZQ_BAD_ARGUMENT", "an argument was wrong and nothing was sent; correct the call"},
    {ZQ_NO_DRIVER, "ZQ_NO_DRIVER",
     "the driver library could not be loaded: install it beside libzelquar.so (lib/zelquar), "
     "or set ZELQUAR_LIBRARY to its path"},
    {ZQ_NO_READER, "ZQ_NO_READER",
     "no such reader: it is not connected, another program holds it, or no reader has that serial number "
     "(zq_list_readers lists those present)"},
    {ZQ_DRIVER_ERROR, "ZQ_DRIVER_ERROR", "a driver call failed; its result says why"},
    {ZQ_BAD_RESPONSE, "ZQ_BAD_RESPONSE",
     "the reader's response did not have the form of its command; try again, and update the firmware if it persists"},
    {ZQ_VERIFY_FAILED, "ZQ_VERIFY_FAILED",
     "the write was accepted but the tag reads back other data; keep the tag still in the field and write again"},
    {ZQ_NO_MEMORY, "ZQ_NO_MEMORY", "memory or the environment could not be extended; free some and try again"},
    {ZQ_PORT_IN_USE, "ZQ_PORT_IN_USE",
     "the port is open already, in this process or another; close it first, or use another port"},
    {ZQ_NOT_THROUGH_AGENT, "ZQ_NOT_THROUGH_AGENT",
     "zelquar-agent keeps this reader open and offers only inventory, read, write, lock, kill, write-epc and "
     "power through its API; stop the agent for this call"},
};

}  // namespace

const char* ResultSentence(zq_result result) {
  for (const Sentence& s : kSentences)
    if (s.result == result) return s.text;
  return "a result this library does not name";
}

const char* ResultEnumName(zq_result result) {
  for (const Sentence& s : kSentences)
    if (s.result == result) return s.name;
  return "";
}

std::string OutcomeSentence(const zq_outcome& o) {
  std::string text = ResultSentence(o.result);
  if (o.driver_result != 0) {
    const char* name = zq::client::ResultName(o.driver_result);
    text += std::string(" (driver: ") + (*name ? name : std::to_string(o.driver_result).c_str()) + ": " +
            ResultMessage(o.driver_result) + ")";
  }
  if (o.status_word != 0 && o.status_word != 0x9000) {
    char sw[8];
    std::snprintf(sw, sizeof sw, "%02X %02X", o.status_word >> 8, o.status_word & 0xFF);
    std::optional<uint8_t> status;
    if (o.reader_status >= 0) status = static_cast<uint8_t>(o.reader_status);
    text += std::string(" (status word ") + sw + ": " + StatusWordMessage(o.status_word, status) + ")";
  }
  if (o.words_written >= 0) text += " (" + std::to_string(o.words_written) + " word(s) written before it stopped)";
  return text;
}

}  // namespace zq::client
