// The insides of the EPC codec (protocol/epc/epc.h is its interface): the
// table of schemes and their fields, the bits of one identity both ways,
// the URI texts and the GS1 keys.
//
// Sections: results; the scheme table; identities and their bits; text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/bits.h"
#include "protocol/epc/epc.h"

namespace zq::protocol::epc::detail {

// ---- results ------------------------------------------------------------------------

struct Status {
  Reason reason = Reason::kOk;
  std::string detail;
  bool ok() const { return reason == Reason::kOk; }
};
inline Status Fail(Reason reason, std::string detail) { return Status{reason, std::move(detail)}; }

// ---- the scheme table ---------------------------------------------------------------

// How one field of a scheme sits in the bits and in the URI.
enum class Op : uint8_t {
  // A partition value, the GS1 company prefix and the field after it (two
  // URI parts). `bits`: the two fields' bits together; `digits`: their
  // digits (or characters) together.
  kPartitionPadded,   // the second field: exactly `digits` minus the prefix's digits, zeros kept
  kPartitionInteger,  // the second field: an integer without leading zeros, under 2^bits (and 10^digits if given)
  kPartitionString7,  // the second field: 7-bit characters, at most `digits` with the prefix
  kPartitionString6,  // the second field: 6-bit characters ended by 000000, at most `digits` with the prefix
  kInteger,           // an integer without leading zeros in `bits` (under 10^digits if given)
  kString7,           // 7-bit characters in `bits`, zero-padded
  kNumericString,     // up to `digits` digits, zeros kept: "1" and the digits as an integer in `bits`
  kFixedWidth,        // exactly `digits` digits as an integer in `bits`
  kZeros,             // `bits` reserved bits, all 0 (no URI part)
  kCage,              // a CAGE code (5 characters, after a space) or DoDAAC (6) in 36 bits of 6-bit characters
  kString6,           // 6-bit characters ended by 000000, at most `digits`
};

// Character sets of the 6-bit fields.
enum class Charset6 : uint8_t { kNone, kCpi, kAdi };

struct FieldLayout {
  Op op;
  uint16_t bits;
  uint8_t digits;
  Charset6 charset;
  const char* name;
  const char* name2;  // the partition's second field
  bool mayBeEmpty;    // kString6
  bool hashFirst;     // kString6: may start with '#' when the field before it is empty
};

struct SchemeLayout {
  Scheme scheme;
  Kind kind;
  const char* name;     // "sgtin-96"
  uint8_t header;
  uint16_t bits;        // 0: variable
  uint8_t filterBits;   // 0: no filter
  uint8_t fieldCount;
  FieldLayout fields[5];
};

const SchemeLayout* FindScheme(Scheme scheme);
const SchemeLayout* FindHeader(uint8_t header);
// The schemes of one identity kind, the first the one chosen by default.
std::vector<const SchemeLayout*> SchemesOf(Kind kind);
Kind KindFromName(std::string_view name);
// The URI parts of an identity of this kind.
size_t PartCount(Kind kind);

// ---- identities and their bits ------------------------------------------------------

struct Identity {
  Scheme scheme = Scheme::kNone;
  unsigned filter = 0;
  std::vector<std::string> parts;  // the URI parts, escapes undone
};

// The identity in the first `bits` bits of `data` (header included);
// *used the bits it takes.
Status DecodeBits(const SchemeLayout& layout, const uint8_t* data, size_t bits, Identity* out, size_t* used);
// The identity's bits (header included), unpadded.
Status EncodeBits(const SchemeLayout& layout, const Identity& id, BitWriter* out);

// ---- text ---------------------------------------------------------------------------

// The 82 characters of GS1 alphanumeric fields (the 7-bit strings).
bool IsGs1Char(char c);
// A URI part with " % & / < > ? # written as %XX.
std::string EscapeUriPart(std::string_view part);
// A URI part with its escapes undone: false (with *what) for a character a
// URI part may not hold as it stands, or a malformed escape.
bool UnescapeUriPart(std::string_view part, std::string* out, std::string* what);
// "1099511627775" and zero-padded forms.
std::string Decimal(uint64_t value);
std::string Padded(uint64_t value, unsigned digits);
bool AllDigits(std::string_view s);
std::string LowerAscii(std::string_view s);
// The GS1 check digit of a digit string.
char CheckDigit(std::string_view digits);

// The fields, element string and Digital Link URI of an identity.
void DescribeIdentity(Kind kind, const std::vector<std::string>& parts, std::string_view resolver, Decoded* out);
// The URI parts of the identity a GS1 element string names, the company
// prefix `cpLength` digits long.
Status ParseElementString(std::string_view text, unsigned cpLength, Kind* kind, std::vector<std::string>* parts);

}  // namespace zq::protocol::epc::detail
