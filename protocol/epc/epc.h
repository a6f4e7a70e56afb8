// GS1 EPC identities in a tag's EPC bank, after the GS1 EPC Tag Data
// Standard (TDS 2.x): the binary encodings of the EPC schemes in use, their
// tag, pure-identity and raw URIs, the GS1 element strings and GS1 Digital
// Link URIs of the identities they carry.
//
// Sections: schemes and reasons; the PC word; decoding; encoding.
//
// Pure: no system calls and no exceptions out of any function; the work for
// any input is bounded (an EPC bank of at most 31 words, text of at most
// kMaxTextLength characters). Results are plain structs with std::string
// members, so a C interface can copy them field by field; every enum value
// is fixed and has a stable lower-case name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zq::protocol::epc {

// ---- schemes and reasons ------------------------------------------------------------

// The binary encoding schemes decoded and encoded here.
enum class Scheme : uint8_t {
  kNone = 0,  // no identity: the raw URI stands for the EPC
  kSgtin96 = 1,
  kSgtin198 = 2,
  kSscc96 = 3,
  kSgln96 = 4,
  kSgln195 = 5,
  kGrai96 = 6,
  kGrai170 = 7,
  kGiai96 = 8,
  kGiai202 = 9,
  kGsrn96 = 10,
  kGsrnp96 = 11,
  kGdti96 = 12,
  kGdti174 = 13,
  kSgcn96 = 14,
  kCpi96 = 15,
  kCpiVar = 16,
  kGid96 = 17,
  kItip110 = 18,
  kItip212 = 19,
  kAdiVar = 20,
};

// The identity a scheme carries: the pure-identity URI's namespace.
enum class Kind : uint8_t {
  kNone = 0,
  kSgtin = 1,
  kSscc = 2,
  kSgln = 3,
  kGrai = 4,
  kGiai = 5,
  kGsrn = 6,
  kGsrnp = 7,
  kGdti = 8,
  kSgcn = 9,
  kCpi = 10,
  kGid = 11,
  kItip = 12,
  kAdi = 13,
};

// "sgtin-96" as the tag URI writes it; "" for kNone.
const char* SchemeName(Scheme scheme);
// The scheme of a tag URI name (either case); kNone for another name.
Scheme SchemeFromName(std::string_view name);
// The identity a scheme carries.
Kind KindOf(Scheme scheme);
// "sgtin" as the pure-identity URI writes it; "" for kNone.
const char* KindName(Kind kind);
// Every scheme, in the order of the enum.
const std::vector<Scheme>& AllSchemes();

// Why an EPC has no identity, or why an encoding was refused.
enum class Reason : uint8_t {
  kOk = 0,
  // The EPC bank as a whole.
  kEmpty = 1,            // the PC word announces no EPC words
  kTruncated = 2,        // fewer EPC bytes than the PC word announces
  kNotAnEpc = 3,         // the PC word's toggle bit: an ISO UII with an AFI, not an EPC
  kUnprogrammed = 4,     // header 00
  kUnknownHeader = 5,    // a header of no scheme decoded here
  kLengthMismatch = 6,   // the PC word's length is not the scheme's
  // One field.
  kBadPartition = 7,     // partition value 7, which no table has
  kCompanyPrefixOverflow = 8,  // the company prefix field holds more digits than the partition gives it
  kReferenceOverflow = 9,      // the field after the company prefix holds more digits than it may
  kValueOutOfRange = 10,       // a number beyond its field or its digits
  kLeadingZero = 11,           // an integer written with a leading zero
  kBadCharacter = 12,          // a character outside the field's set
  kTooLong = 13,               // more characters than the field holds
  kEmptyField = 14,            // a field that may not be empty is
  kBadPadding = 15,            // bits after a field's end, or reserved bits, are not zero
  kMissingTerminator = 16,     // a 6-bit string without its end mark
  kWrongDigitCount = 17,       // a fixed-width number with another count of digits
  // The text asked for.
  kBadSyntax = 18,             // not a URI or element string of this form
  kUnknownScheme = 19,         // a scheme or identity name not known here
  kSchemeMismatch = 20,        // the scheme does not encode this identity, or contradicts the URI
  kBadFilter = 21,             // a filter value beyond the scheme's filter field
  kCompanyPrefixLength = 22,   // no company prefix length, or one outside 6 to 12 digits
  kBadCheckDigit = 23,         // an element string whose check digit is wrong
};

// "bad_partition": the machine-readable name of a reason.
const char* ReasonCode(Reason reason);
// "partition value 7 is not in the table": a reason in words (a result's
// `detail` says it about the value at hand).
const char* ReasonText(Reason reason);

// The longest text (URI or element string) looked at.
inline constexpr size_t kMaxTextLength = 1024;

// The resolver of GS1 Digital Link URIs unless another is given.
inline constexpr std::string_view kDefaultResolver = "https://id.gs1.org";

// ---- the PC word --------------------------------------------------------------------

// What the PC word says about the EPC bank.
struct PcInfo {
  unsigned words = 0;   // bits 15..11: EPC words after the PC word
  bool umi = false;     // bit 10: user memory indicator
  bool xi = false;      // bit 9: an XPC word follows
  bool toggle = false;  // bit 8: 0 an EPC follows; 1 an ISO UII, with an AFI in bits 7..0
  uint8_t low = 0;      // bits 7..0: the attribute bits (toggle 0) or the AFI (toggle 1)
};
PcInfo DescribePc(uint16_t pc);

// The PC word for an EPC of `words` words (at most 31). Without `keep` every
// other bit is 0; with it, the UMI and XI bits of `keep` stay, and its bits
// 7..0 when its toggle bit is 0 (an AFI means nothing before an EPC). The
// toggle bit is always 0.
uint16_t PcWordFor(unsigned words, std::optional<uint16_t> keep = std::nullopt);

// ---- decoding -----------------------------------------------------------------------

// One named part of an identity, as the element string writes it (URI
// escapes undone). Names are lower-case words ("company_prefix",
// "item_reference", "serial", "gtin", ...) held in static storage.
struct Field {
  const char* name = "";
  std::string value;
};

struct DecodeOptions {
  std::string_view resolver = kDefaultResolver;  // of the GS1 Digital Link URI
  // Element strings only: the digits of the GS1 company prefix, which the
  // element string does not show (6 to 12).
  unsigned companyPrefixLength = 0;
};

struct Decoded {
  bool ok = false;             // an identity was decoded
  Reason reason = Reason::kOk; // kOk, or why there is none
  std::string detail;          // the reason in words, about the value at hand
  Scheme scheme = Scheme::kNone;  // kNone for a pure identity (no binary form chosen)
  Kind kind = Kind::kNone;
  int filter = -1;             // the filter value; -1 without one (GID-96, pure identities)
  // The identity's parts in URI order, then the GS1 key it makes ("gtin",
  // "sscc", "gln", "grai", "giai", "gsrn", "gsrnp", "gdti", "sgcn", "cpid",
  // "itip"); empty without an identity.
  std::vector<Field> fields;
  std::string tagUri;          // urn:epc:tag:sgtin-96:3.0614141.812345.6789; the raw URI without an identity
  std::string pureUri;         // urn:epc:id:sgtin:0614141.812345.6789; "" without an identity
  std::string elementString;   // (01)80614141123458(21)6789; "" for GID, ADI or no identity
  std::string digitalLink;     // https://id.gs1.org/01/80614141123458/21/6789; "" likewise
  std::string rawUri;          // urn:epc:raw:96.x3074257BF7194E4000001A85; "" for a pure identity
  // The binary form: the PC word and the EPC (whole words) it announces.
  bool hasBinary = false;
  uint16_t pc = 0;
  std::vector<uint8_t> epc;

  // The value of the field with this name; "" when there is none.
  std::string Value(std::string_view name) const;
};

// The EPC bank from its PC word: `epc` holds the EPC words after it (more
// bytes than the PC word announces are ignored). Without an identity, the
// tag URI is the raw URI: `urn:epc:raw:LEN.xHEX` (LEN in bits from the PC
// word's length field), or `urn:epc:raw:LEN.xAFI.xHEX` when the toggle bit
// is set; a GS1 identity is shown only when its bits are exactly what
// encoding it gives back.
Decoded DecodeEpcBank(uint16_t pc, const uint8_t* epc, size_t length, const DecodeOptions& options = {});
// An EPC of whole words without its PC word: the plain PC word for its
// length (an odd byte is half a word: kTruncated; past 31 words is ignored).
Decoded DecodeEpc(const uint8_t* epc, size_t length, const DecodeOptions& options = {});
// Text: a tag URI or raw URI (decoded through its bits), a pure-identity URI
// or a GS1 element string (with options.companyPrefixLength); no binary form
// for the last two.
Decoded DecodeText(std::string_view text, const DecodeOptions& options = {});

// ---- encoding -----------------------------------------------------------------------

struct EncodeOptions {
  // The filter value, for a pure identity or element string (0 when not
  // given); with a tag URI it must agree with the URI's when given.
  std::optional<unsigned> filter = std::nullopt;
  // The scheme; kNone: the first scheme of the identity's kind that holds it
  // (the 96-bit one before the longer one). With a tag URI it must agree.
  Scheme scheme = Scheme::kNone;
  // Element strings only: the digits of the GS1 company prefix (6 to 12).
  unsigned companyPrefixLength = 0;
  // An existing PC word whose other bits are kept (see PcWordFor).
  std::optional<uint16_t> keepPc = std::nullopt;
};

struct Encoded {
  bool ok = false;
  Reason reason = Reason::kOk;
  std::string detail;           // why it was refused, about the value at hand
  Scheme scheme = Scheme::kNone;
  uint16_t pc = 0;              // length field = the EPC's words
  std::vector<uint8_t> epc;     // whole words, padded with 0 bits
  std::string tagUri;           // the canonical tag URI of what was encoded
};

// A tag URI, a pure-identity URI or a GS1 element string into the PC word
// and EPC words; refused, with the reason, when the scheme cannot hold it.
Encoded Encode(std::string_view text, const EncodeOptions& options = {});

}  // namespace zq::protocol::epc
