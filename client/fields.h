// The client library's C structs filled from the command set's decodings,
// and the sentences of its results. Pure: no system calls, so tests feed
// them data.
//
// Sections: text; tags and identities; messages.
#pragma once

#include <string>

#include "client/commands.h"
#include "zelquar.h"

namespace zq::client {

// ---- text ---------------------------------------------------------------------------

// `text` into `out` (capacity bytes), cut at a character boundary of UTF-8
// and always terminated; nothing for capacity 0.
void CopyText(const std::string& text, char* out, size_t capacity);

// ---- tags and identities ------------------------------------------------------------

// The GS1 identity of the PC word and EPC (a raw URI and the reason
// without one).
void FillIdentity(uint16_t pc, const uint8_t* epc, size_t length, zq_identity* identity);
// A tag URI, pure-identity URI or element string into the EPC (at most
// ZQ_EPC_MAX bytes) and PC word; false with the reason in `error`.
bool EncodeIdentity(const std::string& text, uint8_t* epc, size_t* length, uint16_t* pc, char* error, size_t capacity);
// A listed tag; `withRssi` the inventory asked for signal strengths,
// `raw` in the reader's raw form (else signed 8.8 dBm).
void FillTag(const InventoryTag& tag, bool withRssi, bool raw, zq_tag* out);

// ---- messages -------------------------------------------------------------------------

// What a result means and what to do about it; every zq_result has one.
const char* ResultSentence(zq_result result);
// The enumerator's name ("ZQ_REFUSED"); "" for a value the header does not name.
const char* ResultEnumName(zq_result result);
// The result's sentence, and the driver result, status word and tag error
// code behind it.
std::string OutcomeSentence(const zq_outcome& outcome);

}  // namespace zq::client
