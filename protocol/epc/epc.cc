// The codec's interface: the EPC bank decoded (or shown raw, with the
// reason), text decoded, and identities encoded into PC word and EPC words.
//
// Sections: reasons and the PC word; URIs; decoding; encoding.
#include "protocol/epc/epc.h"

#include <algorithm>

#include "protocol/epc/codec.h"
#include "protocol/hex.h"

namespace zq::protocol::epc {

using detail::Fail;
using detail::Identity;
using detail::SchemeLayout;
using detail::Status;

// ---- reasons and the PC word --------------------------------------------------------

namespace {

struct ReasonName {
  Reason reason;
  const char* code;
  const char* text;
};

const ReasonName kReasons[] = {
    {Reason::kOk, "ok", "a GS1 identity"},
    {Reason::kEmpty, "empty", "the PC word announces no EPC"},
    {Reason::kTruncated, "truncated", "fewer EPC bytes than the PC word announces"},
    {Reason::kNotAnEpc, "not_an_epc", "the PC word's toggle bit is set: an ISO UII with an AFI, not an EPC"},
    {Reason::kUnprogrammed, "unprogrammed", "header 00: an unprogrammed EPC"},
    {Reason::kUnknownHeader, "unknown_header", "the header belongs to no scheme decoded here"},
    {Reason::kLengthMismatch, "length_mismatch", "the EPC's length is not its scheme's"},
    {Reason::kBadPartition, "bad_partition", "partition value 7 is not in the table"},
    {Reason::kCompanyPrefixOverflow, "company_prefix_overflow", "the company prefix has more digits than its partition gives"},
    {Reason::kReferenceOverflow, "reference_overflow", "the field after the company prefix has more digits than it may"},
    {Reason::kValueOutOfRange, "value_out_of_range", "a number beyond its field"},
    {Reason::kLeadingZero, "leading_zero", "an integer field cannot keep a leading zero"},
    {Reason::kBadCharacter, "bad_character", "a character outside the field's set"},
    {Reason::kTooLong, "too_long", "more characters than the field holds"},
    {Reason::kEmptyField, "empty_field", "a field that may not be empty is"},
    {Reason::kBadPadding, "bad_padding", "bits that must be zero are not"},
    {Reason::kMissingTerminator, "missing_terminator", "a 6-bit string has no end mark"},
    {Reason::kWrongDigitCount, "wrong_digit_count", "a fixed-width number with another count of digits"},
    {Reason::kBadSyntax, "bad_syntax", "not a URI or element string of this form"},
    {Reason::kUnknownScheme, "unknown_scheme", "a scheme or identity not known here"},
    {Reason::kSchemeMismatch, "scheme_mismatch", "the scheme does not encode this identity"},
    {Reason::kBadFilter, "bad_filter", "a filter value beyond the scheme's filter field"},
    {Reason::kCompanyPrefixLength, "company_prefix_length", "the company prefix length is missing or not 6 to 12 digits"},
    {Reason::kBadCheckDigit, "bad_check_digit", "the element string's check digit is wrong"},
};

const ReasonName* FindReason(Reason reason) {
  for (const ReasonName& r : kReasons)
    if (r.reason == reason) return &r;
  return nullptr;
}

}  // namespace

const char* ReasonCode(Reason reason) {
  const ReasonName* r = FindReason(reason);
  return r ? r->code : "unknown";
}

const char* ReasonText(Reason reason) {
  const ReasonName* r = FindReason(reason);
  return r ? r->text : "unknown reason";
}

PcInfo DescribePc(uint16_t pc) {
  PcInfo i;
  i.words = pc >> 11;
  i.umi = (pc & 0x0400) != 0;
  i.xi = (pc & 0x0200) != 0;
  i.toggle = (pc & 0x0100) != 0;
  i.low = static_cast<uint8_t>(pc & 0xFF);
  return i;
}

uint16_t PcWordFor(unsigned words, std::optional<uint16_t> keep) {
  uint16_t pc = static_cast<uint16_t>(std::min(words, 31u) << 11);
  if (keep) {
    pc |= *keep & 0x0600;                             // UMI, XI
    if ((*keep & 0x0100) == 0) pc |= *keep & 0x00FF;  // the attribute bits before an EPC
  }
  return pc;
}

std::string Decoded::Value(std::string_view name) const {
  for (const Field& f : fields)
    if (name == f.name) return f.value;
  return "";
}

// ---- URIs ---------------------------------------------------------------------------

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && detail::LowerAscii(text.substr(0, prefix.size())) == prefix;
}

constexpr std::string_view kTagPrefix = "urn:epc:tag:";
constexpr std::string_view kIdPrefix = "urn:epc:id:";
constexpr std::string_view kRawPrefix = "urn:epc:raw:";

std::string RawUri(uint16_t pc, const uint8_t* epc, size_t bytes) {
  std::string uri = std::string(kRawPrefix) + detail::Decimal(bytes * 8) + ".x";
  if (pc & 0x0100) {
    const uint8_t afi = static_cast<uint8_t>(pc & 0xFF);
    uri += HexText(&afi, 1) + ".x";
  }
  return uri + HexText(epc, bytes);
}

std::string TagUriOf(const SchemeLayout& layout, const Identity& id) {
  std::string uri = std::string(kTagPrefix) + layout.name + ":";
  if (layout.filterBits) uri += detail::Decimal(id.filter) + ".";
  for (size_t i = 0; i < id.parts.size(); ++i) uri += (i ? "." : "") + detail::EscapeUriPart(id.parts[i]);
  return uri;
}

// `count` URI parts separated by '.', the last taking the rest (a GS1
// serial may hold '.'), each with its escapes undone.
Status SplitParts(std::string_view body, size_t count, std::vector<std::string>* parts) {
  parts->clear();
  for (size_t i = 0; i < count; ++i) {
    std::string_view piece = body;
    if (i + 1 < count) {
      const size_t dot = body.find('.');
      if (dot == std::string_view::npos)
        return Fail(Reason::kBadSyntax, "the URI has " + detail::Decimal(i + 1) + " parts; it needs " + detail::Decimal(count));
      piece = body.substr(0, dot);
      body = body.substr(dot + 1);
    }
    std::string part, what;
    if (!detail::UnescapeUriPart(piece, &part, &what))
      return Fail(Reason::kBadSyntax, "part " + detail::Decimal(i + 1) + " of the URI holds " + what);
    parts->push_back(std::move(part));
  }
  return {};
}

// A filter value as a tag URI writes it: digits without a leading zero.
Status ParseFilter(std::string_view text, unsigned* filter) {
  if (text.empty() || text.size() > 2 || !detail::AllDigits(text) || (text.size() > 1 && text[0] == '0'))
    return Fail(Reason::kBadFilter, "the filter value '" + std::string(text) + "' is not a number from 0 to 63");
  *filter = static_cast<unsigned>(text.size() == 1 ? text[0] - '0' : (text[0] - '0') * 10 + (text[1] - '0'));
  return {};
}

Status ParseTagUri(std::string_view text, const SchemeLayout** layout, Identity* id) {
  const std::string_view rest = text.substr(kTagPrefix.size());
  const size_t colon = rest.find(':');
  if (colon == std::string_view::npos) return Fail(Reason::kBadSyntax, "a tag URI is urn:epc:tag:SCHEME:FILTER.PARTS");
  const Scheme scheme = SchemeFromName(rest.substr(0, colon));
  *layout = detail::FindScheme(scheme);
  if (!*layout) return Fail(Reason::kUnknownScheme, "no scheme '" + std::string(rest.substr(0, colon)) + "' is encoded here");
  std::string_view body = rest.substr(colon + 1);
  id->scheme = scheme;
  id->filter = 0;
  if ((*layout)->filterBits) {
    const size_t dot = body.find('.');
    if (dot == std::string_view::npos) return Fail(Reason::kBadSyntax, "a tag URI has its filter value before the identity");
    if (Status s = ParseFilter(body.substr(0, dot), &id->filter); !s.ok()) return s;
    body = body.substr(dot + 1);
  }
  return SplitParts(body, detail::PartCount((*layout)->kind), &id->parts);
}

Status ParseIdentityUri(std::string_view text, Kind* kind, std::vector<std::string>* parts) {
  const std::string_view rest = text.substr(kIdPrefix.size());
  const size_t colon = rest.find(':');
  if (colon == std::string_view::npos) return Fail(Reason::kBadSyntax, "a pure-identity URI is urn:epc:id:KIND:PARTS");
  *kind = colon <= 16 ? detail::KindFromName(detail::LowerAscii(rest.substr(0, colon))) : Kind::kNone;
  if (*kind == Kind::kNone)
    return Fail(Reason::kUnknownScheme, "no identity '" + std::string(rest.substr(0, colon)) + "' is encoded here");
  return SplitParts(rest.substr(colon + 1), detail::PartCount(*kind), parts);
}

// urn:epc:raw:LEN.xHEX or urn:epc:raw:LEN.xAFI.xHEX: the PC word and EPC.
Status ParseRawUri(std::string_view text, uint16_t* pc, std::vector<uint8_t>* epc) {
  std::string_view rest = text.substr(kRawPrefix.size());
  const size_t dot = rest.find('.');
  const std::string_view len = rest.substr(0, dot);
  if (dot == std::string_view::npos || len.empty() || len.size() > 3 || !detail::AllDigits(len))
    return Fail(Reason::kBadSyntax, "a raw URI is urn:epc:raw:LENGTH.xHEX");
  unsigned bits = 0;
  for (char c : len) bits = bits * 10 + static_cast<unsigned>(c - '0');
  if (bits % 16 != 0 || bits > 31 * 16)
    return Fail(Reason::kBadSyntax, "an EPC bank holds whole 16-bit words, at most 31: not " + std::string(len) + " bits");
  rest = rest.substr(dot + 1);
  uint16_t low = 0;
  const size_t afiDot = rest.find('.');
  if (afiDot != std::string_view::npos) {
    std::vector<uint8_t> afi;
    if (afiDot != 3 || (rest[0] != 'x' && rest[0] != 'X') || !ParseHexText(rest.substr(1, 2), &afi))
      return Fail(Reason::kBadSyntax, "the AFI of a raw URI is x and two hex digits");
    low = static_cast<uint16_t>(0x0100 | afi[0]);
    rest = rest.substr(afiDot + 1);
  }
  if (rest.empty() || (rest[0] != 'x' && rest[0] != 'X') || rest.size() - 1 != bits / 4 ||
      !ParseHexText(rest.substr(1), epc))
    return Fail(Reason::kBadSyntax, "a raw URI of " + std::string(len) + " bits has x and " + detail::Decimal(bits / 4) +
                                        " hex digits after its length");
  *pc = static_cast<uint16_t>((bits / 16) << 11 | low);
  return {};
}

}  // namespace

// ---- decoding -----------------------------------------------------------------------

namespace {

// A Decoded or Encoded that says why there is nothing.
template <typename Result>
Result Refusal(Status why) {
  Result r;
  r.reason = why.reason;
  r.detail = std::move(why.detail);
  return r;
}

Decoded Refused(Status why) { return Refusal<Decoded>(std::move(why)); }

// The raw URI stands for the EPC; the reason says why.
Decoded& Raw(Decoded& d, Status why) {
  d.ok = false;
  d.reason = why.reason;
  d.detail = std::move(why.detail);
  d.tagUri = d.rawUri;
  return d;
}

std::string HexByte(uint8_t b) { return HexText(&b, 1); }

}  // namespace

Decoded DecodeEpcBank(uint16_t pc, const uint8_t* epc, size_t length, const DecodeOptions& options) {
  const PcInfo info = DescribePc(pc);
  const size_t announced = info.words * 2u;
  const size_t have = std::min(length, announced);
  Decoded d;
  d.hasBinary = true;
  d.pc = pc;
  if (have) d.epc.assign(epc, epc + have);
  d.rawUri = RawUri(pc, epc, have);
  if (announced == 0) return Raw(d, Fail(Reason::kEmpty, "the PC word's length field is 0: the tag has no EPC"));
  if (length < announced)
    return Raw(d, Fail(Reason::kTruncated, "the PC word announces " + detail::Decimal(info.words) + " EPC words; " +
                                               detail::Decimal(length) + " bytes were given"));
  if (info.toggle)
    return Raw(d, Fail(Reason::kNotAnEpc, "the PC word's toggle bit is set: the EPC bank holds an ISO UII with AFI " +
                                              HexByte(info.low) + ", not a GS1 EPC"));
  if (epc[0] == 0x00) return Raw(d, Fail(Reason::kUnprogrammed, "header 00: the EPC is not programmed"));
  const SchemeLayout* layout = detail::FindHeader(epc[0]);
  if (!layout)
    return Raw(d, Fail(Reason::kUnknownHeader, "header " + HexByte(epc[0]) + " belongs to no scheme decoded here"));
  Identity id;
  size_t used = 0;
  if (Status s = detail::DecodeBits(*layout, epc, have * 8, &id, &used); !s.ok()) {
    if (s.reason == Reason::kLengthMismatch) s.detail += " (" + std::string(layout->name) + ")";
    return Raw(d, s);
  }
  const unsigned words = static_cast<unsigned>((used + 15) / 16);
  if (words != info.words)
    return Raw(d, Fail(Reason::kLengthMismatch, "the PC word announces " + detail::Decimal(info.words) + " EPC words; this " +
                                                    layout->name + " takes " + detail::Decimal(words)));
  // The bits must be exactly what the identity encodes to: zero padding, and
  // no second reading of the same identity.
  BitWriter again;
  if (Status s = detail::EncodeBits(*layout, id, &again); !s.ok()) return Raw(d, s);
  while (again.bit_count() < have * 8) again.Put(0, 1);
  if (again.bytes() != d.epc)
    return Raw(d, Fail(Reason::kBadPadding, std::string("the bits after the ") + layout->name + " fields are not zero"));
  d.ok = true;
  d.scheme = layout->scheme;
  d.filter = layout->filterBits ? static_cast<int>(id.filter) : -1;
  d.tagUri = TagUriOf(*layout, id);
  detail::DescribeIdentity(layout->kind, id.parts, options.resolver, &d);
  return d;
}

Decoded DecodeEpc(const uint8_t* epc, size_t length, const DecodeOptions& options) {
  const unsigned words = static_cast<unsigned>(std::min<size_t>((length + 1) / 2, 31));
  return DecodeEpcBank(PcWordFor(words), epc, length, options);
}

namespace {

// The pure identity's parts are sound when the kind's widest scheme holds them.
Status CheckIdentity(Kind kind, const std::vector<std::string>& parts) {
  const std::vector<const SchemeLayout*> schemes = detail::SchemesOf(kind);
  Identity id;
  id.parts = parts;
  BitWriter w;
  return detail::EncodeBits(*schemes.back(), id, &w);
}

}  // namespace

Decoded DecodeText(std::string_view text, const DecodeOptions& options) {
  if (text.size() > kMaxTextLength)
    return Refused(Fail(Reason::kBadSyntax, "the text is longer than " + detail::Decimal(kMaxTextLength) + " characters"));
  if (StartsWithNoCase(text, kTagPrefix)) {
    const Encoded e = Encode(text);
    if (!e.ok) return Refused(Status{e.reason, e.detail});
    return DecodeEpcBank(e.pc, e.epc.data(), e.epc.size(), options);
  }
  if (StartsWithNoCase(text, kRawPrefix)) {
    uint16_t pc = 0;
    std::vector<uint8_t> epc;
    if (Status s = ParseRawUri(text, &pc, &epc); !s.ok()) return Refused(s);
    return DecodeEpcBank(pc, epc.data(), epc.size(), options);
  }
  Kind kind = Kind::kNone;
  std::vector<std::string> parts;
  if (StartsWithNoCase(text, kIdPrefix)) {
    if (Status s = ParseIdentityUri(text, &kind, &parts); !s.ok()) return Refused(s);
  } else if (!text.empty() && text[0] == '(') {
    if (Status s = detail::ParseElementString(text, options.companyPrefixLength, &kind, &parts); !s.ok()) return Refused(s);
  } else {
    return Refused(Fail(Reason::kBadSyntax, "not a tag, raw or pure-identity URI (urn:epc:...) nor a GS1 element string"));
  }
  if (Status s = CheckIdentity(kind, parts); !s.ok()) return Refused(s);
  Decoded d;
  d.ok = true;
  detail::DescribeIdentity(kind, parts, options.resolver, &d);
  return d;
}

// ---- encoding -----------------------------------------------------------------------

namespace {

Encoded Refuse(Status why) { return Refusal<Encoded>(std::move(why)); }

Encoded Build(const SchemeLayout& layout, const Identity& id, const BitWriter& bits, std::optional<uint16_t> keepPc) {
  Encoded e;
  e.ok = true;
  e.scheme = layout.scheme;
  e.epc = bits.bytes();
  if (e.epc.size() % 2) e.epc.push_back(0);
  e.pc = PcWordFor(static_cast<unsigned>(e.epc.size() / 2), keepPc);
  e.tagUri = TagUriOf(layout, id);
  return e;
}

}  // namespace

Encoded Encode(std::string_view text, const EncodeOptions& options) {
  if (text.size() > kMaxTextLength)
    return Refuse(Fail(Reason::kBadSyntax, "the text is longer than " + detail::Decimal(kMaxTextLength) + " characters"));
  Identity id;
  BitWriter bits;
  if (StartsWithNoCase(text, kTagPrefix)) {
    const SchemeLayout* layout = nullptr;
    if (Status s = ParseTagUri(text, &layout, &id); !s.ok()) return Refuse(s);
    if (options.scheme != Scheme::kNone && options.scheme != layout->scheme)
      return Refuse(Fail(Reason::kSchemeMismatch, std::string("the tag URI is ") + layout->name + ", not " +
                                                      SchemeName(options.scheme)));
    if (options.filter && *options.filter != id.filter)
      return Refuse(Fail(Reason::kBadFilter, "the tag URI carries filter value " + detail::Decimal(id.filter) + ", not " +
                                                 detail::Decimal(*options.filter)));
    if (Status s = detail::EncodeBits(*layout, id, &bits); !s.ok()) return Refuse(s);
    return Build(*layout, id, bits, options.keepPc);
  }
  Kind kind = Kind::kNone;
  if (StartsWithNoCase(text, kIdPrefix)) {
    if (Status s = ParseIdentityUri(text, &kind, &id.parts); !s.ok()) return Refuse(s);
  } else if (!text.empty() && text[0] == '(') {
    if (Status s = detail::ParseElementString(text, options.companyPrefixLength, &kind, &id.parts); !s.ok())
      return Refuse(s);
  } else {
    return Refuse(Fail(Reason::kBadSyntax, "not a tag or pure-identity URI (urn:epc:...) nor a GS1 element string"));
  }
  std::vector<const SchemeLayout*> schemes = detail::SchemesOf(kind);
  if (options.scheme != Scheme::kNone) {
    const SchemeLayout* chosen = detail::FindScheme(options.scheme);
    if (!chosen || chosen->kind != kind)
      return Refuse(Fail(Reason::kSchemeMismatch, std::string(SchemeName(options.scheme)) + " does not encode " +
                                                      KindName(kind) + " identities"));
    schemes = {chosen};
  }
  id.filter = options.filter.value_or(0);
  Status last;
  for (const SchemeLayout* layout : schemes) {
    id.scheme = layout->scheme;
    BitWriter w;
    last = detail::EncodeBits(*layout, id, &w);
    if (last.ok()) return Build(*layout, id, w, options.keepPc);
    if (last.reason == Reason::kBadFilter) break;
  }
  return Refuse(last);
}

}  // namespace zq::protocol::epc
