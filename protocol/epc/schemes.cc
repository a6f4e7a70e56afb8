// The schemes' tables (headers, partition tables, field widths and
// codings) and the one interpreter that turns an identity into bits and back
// by them, so both directions read the same table.
//
// Sections: the tables; reading bits; writing bits.
#include <algorithm>

#include "protocol/epc/codec.h"
#include "protocol/hex.h"

namespace zq::protocol::epc::detail {

// ---- the tables ---------------------------------------------------------------------

namespace {

// Partition value P: the company prefix has 12 - P digits in kPrefixBits[P]
// bits; the field after it takes the rest of the pair's bits and digits.
constexpr unsigned kPrefixBits[7] = {40, 37, 34, 30, 27, 24, 20};
constexpr unsigned kPartitions = 7;

constexpr FieldLayout Pair(Op op, uint16_t bits, uint8_t digits, const char* second, Charset6 cs = Charset6::kNone) {
  return FieldLayout{op, bits, digits, cs, "company_prefix", second, false, false};
}
constexpr FieldLayout One(Op op, uint16_t bits, uint8_t digits, const char* name) {
  return FieldLayout{op, bits, digits, Charset6::kNone, name, "", false, false};
}
constexpr FieldLayout Str6(uint8_t most, Charset6 cs, const char* name, bool mayBeEmpty, bool hashFirst) {
  return FieldLayout{Op::kString6, 0, most, cs, name, "", mayBeEmpty, hashFirst};
}
// In the order of the Scheme enum, after kNone.
const SchemeLayout kSchemes[] = {
    {Scheme::kSgtin96, Kind::kSgtin, "sgtin-96", 0x30, 96, 3, 2,
     {Pair(Op::kPartitionPadded, 44, 13, "item_reference"), One(Op::kInteger, 38, 0, "serial")}},
    {Scheme::kSgtin198, Kind::kSgtin, "sgtin-198", 0x36, 198, 3, 2,
     {Pair(Op::kPartitionPadded, 44, 13, "item_reference"), One(Op::kString7, 140, 0, "serial")}},
    {Scheme::kSscc96, Kind::kSscc, "sscc-96", 0x31, 96, 3, 2,
     {Pair(Op::kPartitionPadded, 58, 17, "serial_reference"), One(Op::kZeros, 24, 0, "")}},
    {Scheme::kSgln96, Kind::kSgln, "sgln-96", 0x32, 96, 3, 2,
     {Pair(Op::kPartitionPadded, 41, 12, "location_reference"), One(Op::kInteger, 41, 0, "extension")}},
    {Scheme::kSgln195, Kind::kSgln, "sgln-195", 0x39, 195, 3, 2,
     {Pair(Op::kPartitionPadded, 41, 12, "location_reference"), One(Op::kString7, 140, 0, "extension")}},
    {Scheme::kGrai96, Kind::kGrai, "grai-96", 0x33, 96, 3, 2,
     {Pair(Op::kPartitionPadded, 44, 12, "asset_type"), One(Op::kInteger, 38, 0, "serial")}},
    {Scheme::kGrai170, Kind::kGrai, "grai-170", 0x37, 170, 3, 2,
     {Pair(Op::kPartitionPadded, 44, 12, "asset_type"), One(Op::kString7, 112, 0, "serial")}},
    {Scheme::kGiai96, Kind::kGiai, "giai-96", 0x34, 96, 3, 1, {Pair(Op::kPartitionInteger, 82, 0, "asset_reference")}},
    {Scheme::kGiai202, Kind::kGiai, "giai-202", 0x38, 202, 3, 1,
     {Pair(Op::kPartitionString7, 188, 30, "asset_reference")}},
    {Scheme::kGsrn96, Kind::kGsrn, "gsrn-96", 0x2D, 96, 3, 2,
     {Pair(Op::kPartitionPadded, 58, 17, "service_reference"), One(Op::kZeros, 24, 0, "")}},
    {Scheme::kGsrnp96, Kind::kGsrnp, "gsrnp-96", 0x2E, 96, 3, 2,
     {Pair(Op::kPartitionPadded, 58, 17, "service_reference"), One(Op::kZeros, 24, 0, "")}},
    {Scheme::kGdti96, Kind::kGdti, "gdti-96", 0x2C, 96, 3, 2,
     {Pair(Op::kPartitionPadded, 41, 12, "document_type"), One(Op::kInteger, 41, 0, "serial")}},
    {Scheme::kGdti174, Kind::kGdti, "gdti-174", 0x3E, 174, 3, 2,
     {Pair(Op::kPartitionPadded, 41, 12, "document_type"), One(Op::kString7, 119, 0, "serial")}},
    {Scheme::kSgcn96, Kind::kSgcn, "sgcn-96", 0x3F, 96, 3, 2,
     {Pair(Op::kPartitionPadded, 41, 12, "coupon_reference"), One(Op::kNumericString, 41, 12, "serial")}},
    {Scheme::kCpi96, Kind::kCpi, "cpi-96", 0x3C, 96, 3, 2,
     {Pair(Op::kPartitionInteger, 51, 15, "part_reference"), One(Op::kInteger, 31, 0, "serial")}},
    {Scheme::kCpiVar, Kind::kCpi, "cpi-var", 0x3D, 0, 3, 2,
     {Pair(Op::kPartitionString6, 0, 30, "part_reference", Charset6::kCpi), One(Op::kInteger, 40, 12, "serial")}},
    {Scheme::kGid96, Kind::kGid, "gid-96", 0x35, 96, 0, 3,
     {One(Op::kInteger, 28, 0, "manager_number"), One(Op::kInteger, 24, 0, "object_class"),
      One(Op::kInteger, 36, 0, "serial")}},
    {Scheme::kItip110, Kind::kItip, "itip-110", 0x40, 110, 3, 4,
     {Pair(Op::kPartitionPadded, 44, 13, "item_reference"), One(Op::kFixedWidth, 7, 2, "piece"),
      One(Op::kFixedWidth, 7, 2, "total"), One(Op::kInteger, 38, 0, "serial")}},
    {Scheme::kItip212, Kind::kItip, "itip-212", 0x41, 212, 3, 4,
     {Pair(Op::kPartitionPadded, 44, 13, "item_reference"), One(Op::kFixedWidth, 7, 2, "piece"),
      One(Op::kFixedWidth, 7, 2, "total"), One(Op::kString7, 140, 0, "serial")}},
    {Scheme::kAdiVar, Kind::kAdi, "adi-var", 0x3B, 0, 6, 3,
     {One(Op::kCage, 36, 0, "cage_or_dodaac"), Str6(32, Charset6::kAdi, "part_number", true, false),
      Str6(30, Charset6::kAdi, "serial", false, true)}},
};

const char* const kKindNames[] = {"", "sgtin", "sscc", "sgln", "grai", "giai", "gsrn",
                                  "gsrnp", "gdti", "sgcn", "cpi", "gid", "itip", "adi"};
const size_t kKindParts[] = {0, 3, 2, 3, 3, 2, 2, 2, 3, 3, 3, 3, 5, 3};

uint64_t Pow10(unsigned n) {
  uint64_t v = 1;
  while (n-- > 0) v *= 10;
  return v;
}

}  // namespace

const SchemeLayout* FindScheme(Scheme scheme) {
  for (const SchemeLayout& s : kSchemes)
    if (s.scheme == scheme) return &s;
  return nullptr;
}

const SchemeLayout* FindHeader(uint8_t header) {
  for (const SchemeLayout& s : kSchemes)
    if (s.header == header) return &s;
  return nullptr;
}

std::vector<const SchemeLayout*> SchemesOf(Kind kind) {
  std::vector<const SchemeLayout*> out;
  for (const SchemeLayout& s : kSchemes)
    if (s.kind == kind) out.push_back(&s);
  return out;
}

Kind KindFromName(std::string_view name) {
  for (size_t i = 1; i < std::size(kKindNames); ++i)
    if (name == kKindNames[i]) return static_cast<Kind>(i);
  return Kind::kNone;
}

size_t PartCount(Kind kind) {
  const size_t i = static_cast<size_t>(kind);
  return i < std::size(kKindParts) ? kKindParts[i] : 0;
}

// ---- reading bits -------------------------------------------------------------------

namespace {

bool IsCageChar(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z' && c != 'I' && c != 'O'); }

bool In6BitSet(char c, Charset6 cs) {
  if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || c == '-' || c == '/') return true;
  return cs == Charset6::kCpi && c == '#';
}

// 6-bit characters are the low six bits of ASCII 0x20..0x5F.
char From6Bit(uint32_t v) { return static_cast<char>(v >= 0x20 ? v : v + 0x40); }
uint32_t To6Bit(char c) { return static_cast<uint32_t>(c) & 0x3F; }

std::string Shown(char c) {
  if (c >= 0x21 && c <= 0x7E) return std::string("'") + c + "'";
  const uint8_t b = static_cast<uint8_t>(c);
  return "0x" + HexText(&b, 1);
}

class Reader {
 public:
  Reader(const uint8_t* data, size_t bits) : r_(data, bits) {}
  // Up to 64 bits; false past the end.
  bool Get(unsigned bits, uint64_t* out) {
    uint32_t high = 0, low = 0;
    const unsigned highBits = bits > 32 ? bits - 32 : 0;
    if (!r_.Get(highBits, &high) || !r_.Get(bits - highBits, &low)) return false;
    *out = static_cast<uint64_t>(high) << (bits - highBits) | low;
    return true;
  }
  size_t position() const { return r_.position(); }

 private:
  BitReader r_;
};

Status Short(const char* name) { return Fail(Reason::kLengthMismatch, std::string("the EPC ends inside the ") + name + " field"); }

// The company prefix after its partition value; *p the partition.
Status ReadPrefix(Reader& r, unsigned* p, unsigned* cpDigits, std::string* prefix) {
  uint64_t partition = 0;
  if (!r.Get(3, &partition)) return Short("partition");
  if (partition >= kPartitions)
    return Fail(Reason::kBadPartition, "partition value " + Decimal(partition) + " is not in the partition table (0 to 6)");
  *p = static_cast<unsigned>(partition);
  *cpDigits = 12 - *p;
  uint64_t cp = 0;
  if (!r.Get(kPrefixBits[*p], &cp)) return Short("company_prefix");
  if (cp >= Pow10(*cpDigits))
    return Fail(Reason::kCompanyPrefixOverflow, "the company prefix field holds " + Decimal(cp) + ", more than the " +
                                                    Decimal(*cpDigits) + " digits partition " + Decimal(*p) + " gives it");
  *prefix = Padded(cp, *cpDigits);
  return {};
}

Status ReadString7(Reader& r, unsigned bits, size_t most, const char* name, std::string* out) {
  std::string s;
  bool ended = false;
  for (unsigned i = 0; i < bits / 7; ++i) {
    uint64_t c = 0;
    if (!r.Get(7, &c)) return Short(name);
    if (ended) {
      if (c != 0) return Fail(Reason::kBadPadding, std::string("the ") + name + " field has characters after its end");
    } else if (c == 0) {
      ended = true;
    } else if (!IsGs1Char(static_cast<char>(c))) {
      return Fail(Reason::kBadCharacter, std::string("the ") + name + " field holds " + Shown(static_cast<char>(c)) +
                                             ", which is not among the GS1 characters");
    } else {
      s.push_back(static_cast<char>(c));
    }
  }
  uint64_t rest = 0;
  if (!r.Get(bits % 7, &rest)) return Short(name);
  if (rest != 0) return Fail(Reason::kBadPadding, std::string("the ") + name + " field's last bits are not zero");
  if (s.empty()) return Fail(Reason::kEmptyField, std::string("the ") + name + " field is empty");
  if (s.size() > most)
    return Fail(Reason::kTooLong, std::string("the ") + name + " field has " + Decimal(s.size()) + " characters; at most " +
                                      Decimal(most) + " are allowed here");
  *out = std::move(s);
  return {};
}

Status ReadString6(Reader& r, const FieldLayout& f, size_t most, bool previousEmpty, std::string* out) {
  std::string s;
  for (;;) {
    uint64_t v = 0;
    if (!r.Get(6, &v)) return Fail(Reason::kMissingTerminator, std::string("the ") + f.name + " field has no end mark (000000)");
    if (v == 0) break;
    const char c = From6Bit(static_cast<uint32_t>(v));
    const bool hashHere = c == '#' && f.hashFirst && s.empty() && previousEmpty;
    if (!In6BitSet(c, f.charset) && !hashHere)
      return Fail(Reason::kBadCharacter, std::string("the ") + f.name + " field holds " + Shown(c) + ", which it may not");
    s.push_back(c);
    if (s.size() > most)
      return Fail(Reason::kTooLong, std::string("the ") + f.name + " field has more than " + Decimal(most) + " characters");
  }
  if (s.empty() && !f.mayBeEmpty) return Fail(Reason::kEmptyField, std::string("the ") + f.name + " field is empty");
  if (f.hashFirst && s == "#")
    return Fail(Reason::kEmptyField, std::string("the ") + f.name + " field has nothing after its '#'");
  *out = std::move(s);
  return {};
}

Status ReadField(const FieldLayout& f, Reader& r, std::vector<std::string>* parts) {
  unsigned p = 0, cpDigits = 0;
  std::string cp;
  uint64_t v = 0;
  switch (f.op) {
    case Op::kPartitionPadded:
    case Op::kPartitionInteger:
    case Op::kPartitionString7:
    case Op::kPartitionString6: {
      if (Status s = ReadPrefix(r, &p, &cpDigits, &cp); !s.ok()) return s;
      parts->push_back(cp);
      const unsigned refBits = f.bits - kPrefixBits[p];
      if (f.op == Op::kPartitionString7) {
        std::string ref;
        if (Status s = ReadString7(r, refBits, std::min<size_t>(refBits / 7, f.digits - cpDigits), f.name2, &ref); !s.ok())
          return s;
        parts->push_back(ref);
        return {};
      }
      if (f.op == Op::kPartitionString6) {
        FieldLayout second = f;
        second.name = f.name2;
        std::string ref;
        if (Status s = ReadString6(r, second, f.digits - cpDigits, false, &ref); !s.ok()) return s;
        parts->push_back(ref);
        return {};
      }
      if (!r.Get(refBits, &v)) return Short(f.name2);
      if (f.op == Op::kPartitionPadded) {
        const unsigned refDigits = f.digits - cpDigits;
        if (v >= Pow10(refDigits))
          return Fail(Reason::kReferenceOverflow, std::string("the ") + f.name2 + " field holds " + Decimal(v) +
                                                      ", more than the " + Decimal(refDigits) + " digits it has beside a " +
                                                      Decimal(cpDigits) + "-digit company prefix");
        parts->push_back(Padded(v, refDigits));
      } else {
        if (f.digits != 0 && v >= Pow10(f.digits - cpDigits))
          return Fail(Reason::kReferenceOverflow, std::string("the ") + f.name2 + " field holds " + Decimal(v) +
                                                      ", more than the " + Decimal(f.digits - cpDigits) +
                                                      " digits it may have beside a " + Decimal(cpDigits) +
                                                      "-digit company prefix");
        parts->push_back(Decimal(v));
      }
      return {};
    }
    case Op::kInteger:
      if (!r.Get(f.bits, &v)) return Short(f.name);
      if (f.digits != 0 && v >= Pow10(f.digits))
        return Fail(Reason::kValueOutOfRange,
                    std::string("the ") + f.name + " field holds " + Decimal(v) + ", more than " + Decimal(f.digits) + " digits");
      parts->push_back(Decimal(v));
      return {};
    case Op::kString7: {
      std::string s;
      if (Status st = ReadString7(r, f.bits, f.bits / 7, f.name, &s); !st.ok()) return st;
      parts->push_back(s);
      return {};
    }
    case Op::kNumericString: {
      if (!r.Get(f.bits, &v)) return Short(f.name);
      const std::string s = Decimal(v);
      if (s[0] != '1' || s.size() < 2 || s.size() > f.digits + 1u)
        return Fail(Reason::kValueOutOfRange, std::string("the ") + f.name + " field holds " + s + ", not a 1 followed by 1 to " +
                                                  Decimal(f.digits) + " digits");
      parts->push_back(s.substr(1));
      return {};
    }
    case Op::kFixedWidth:
      if (!r.Get(f.bits, &v)) return Short(f.name);
      if (v >= Pow10(f.digits))
        return Fail(Reason::kValueOutOfRange,
                    std::string("the ") + f.name + " field holds " + Decimal(v) + ", more than " + Decimal(f.digits) + " digits");
      parts->push_back(Padded(v, f.digits));
      return {};
    case Op::kZeros:
      if (!r.Get(f.bits, &v)) return Short("reserved");
      if (v != 0) return Fail(Reason::kBadPadding, "the " + Decimal(f.bits) + " reserved bits at the end are not zero");
      return {};
    case Op::kCage: {
      std::string s;
      for (int i = 0; i < 6; ++i) {
        if (!r.Get(6, &v)) return Short(f.name);
        const char c = From6Bit(static_cast<uint32_t>(v));
        if (i == 0 && c == ' ') continue;  // a CAGE code's space before its five characters
        if (!IsCageChar(c))
          return Fail(Reason::kBadCharacter, std::string("the ") + f.name + " field holds " + Shown(c) + ", which it may not");
        s.push_back(c);
      }
      parts->push_back(s);
      return {};
    }
    case Op::kString6: {
      std::string s;
      const bool previousEmpty = !parts->empty() && parts->back().empty();
      if (Status st = ReadString6(r, f, f.digits, previousEmpty, &s); !st.ok()) return st;
      parts->push_back(s);
      return {};
    }
  }
  return Fail(Reason::kBadSyntax, "unknown field");
}

}  // namespace

Status DecodeBits(const SchemeLayout& layout, const uint8_t* data, size_t bits, Identity* out, size_t* used) {
  Reader r(data, bits);
  uint64_t header = 0, filter = 0;
  if (!r.Get(8, &header) || header != layout.header) return Fail(Reason::kUnknownHeader, "not this scheme's header");
  if (!r.Get(layout.filterBits, &filter)) return Short("filter");
  Identity id;
  id.scheme = layout.scheme;
  id.filter = static_cast<unsigned>(filter);
  for (uint8_t i = 0; i < layout.fieldCount; ++i)
    if (Status s = ReadField(layout.fields[i], r, &id.parts); !s.ok()) return s;
  *used = r.position();
  *out = std::move(id);
  return {};
}

// ---- writing bits -------------------------------------------------------------------

namespace {

void Put(BitWriter* w, uint64_t value, unsigned bits) {
  const unsigned highBits = bits > 32 ? bits - 32 : 0;
  w->Put(static_cast<uint32_t>(value >> (bits - highBits)), highBits);
  w->Put(static_cast<uint32_t>(bits - highBits == 32 ? value : value & ((uint64_t{1} << (bits - highBits)) - 1)),
         bits - highBits);
}

// An integer without leading zeros, below 2^bits and (if digits) 10^digits.
Status ParseInteger(std::string_view s, const char* name, unsigned bits, unsigned digits, uint64_t* out) {
  if (s.empty()) return Fail(Reason::kEmptyField, std::string("the ") + name + " is empty");
  if (!AllDigits(s)) return Fail(Reason::kBadCharacter, std::string("the ") + name + " '" + std::string(s) + "' is not all digits");
  if (s.size() > 1 && s[0] == '0')
    return Fail(Reason::kLeadingZero, std::string("the ") + name + " '" + std::string(s) +
                                          "' has a leading zero, which this scheme's integer field cannot keep");
  const uint64_t limit = bits >= 64 ? UINT64_MAX : (uint64_t{1} << bits) - 1;
  uint64_t v = 0;
  for (char c : s) {
    if (v > (UINT64_MAX - 9) / 10) return Fail(Reason::kValueOutOfRange, std::string("the ") + name + " " + std::string(s) + " is too large");
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > limit)
    return Fail(Reason::kValueOutOfRange, std::string("the ") + name + " " + std::string(s) + " does not fit its " +
                                              Decimal(bits) + " bits (at most " + Decimal(limit) + ")");
  if (digits != 0 && s.size() > digits)
    return Fail(Reason::kValueOutOfRange, std::string("the ") + name + " " + std::string(s) + " has more than " +
                                              Decimal(digits) + " digits");
  *out = v;
  return {};
}

// Exactly `digits` digits (zeros kept).
Status ParseFixed(std::string_view s, const char* name, unsigned digits, uint64_t* out, const std::string& why = "") {
  if (!AllDigits(s)) return Fail(Reason::kBadCharacter, std::string("the ") + name + " '" + std::string(s) + "' is not all digits");
  if (s.size() != digits)
    return Fail(Reason::kWrongDigitCount, std::string("the ") + name + " '" + std::string(s) + "' has " + Decimal(s.size()) +
                                              " digits; it must have " + Decimal(digits) + why);
  uint64_t v = 0;
  for (char c : s) v = v * 10 + static_cast<uint64_t>(c - '0');
  *out = v;
  return {};
}

Status CheckString7(std::string_view s, const char* name, size_t most) {
  if (s.empty()) return Fail(Reason::kEmptyField, std::string("the ") + name + " is empty");
  for (char c : s)
    if (!IsGs1Char(c))
      return Fail(Reason::kBadCharacter, std::string("the ") + name + " holds " + Shown(c) + ", which is not among the GS1 characters");
  if (s.size() > most)
    return Fail(Reason::kTooLong, std::string("the ") + name + " has " + Decimal(s.size()) + " characters; this scheme holds " +
                                      Decimal(most));
  return {};
}

void PutString7(BitWriter* w, std::string_view s, unsigned bits) {
  for (char c : s) w->Put(static_cast<uint32_t>(c), 7);
  for (unsigned left = bits - static_cast<unsigned>(s.size()) * 7; left > 0;) {
    const unsigned n = std::min(left, 32u);
    w->Put(0, n);
    left -= n;
  }
}

Status CheckString6(std::string_view s, const FieldLayout& f, const char* name, size_t most, bool previousEmpty) {
  if (s.empty() && !f.mayBeEmpty) return Fail(Reason::kEmptyField, std::string("the ") + name + " is empty");
  for (size_t i = 0; i < s.size(); ++i) {
    const bool hashHere = s[i] == '#' && i == 0 && f.hashFirst && previousEmpty && s.size() > 1;
    if (!In6BitSet(s[i], f.charset) && !hashHere)
      return Fail(Reason::kBadCharacter, std::string("the ") + name + " holds " + Shown(s[i]) + ", which it may not");
  }
  if (s.size() > most)
    return Fail(Reason::kTooLong, std::string("the ") + name + " has " + Decimal(s.size()) + " characters; at most " +
                                      Decimal(most) + " are allowed here");
  return {};
}

void PutString6(BitWriter* w, std::string_view s) {
  for (char c : s) w->Put(To6Bit(c), 6);
  w->Put(0, 6);
}

// The company prefix: 6 to 12 digits, giving the partition.
Status WritePrefix(BitWriter* w, std::string_view cp, unsigned* cpDigits) {
  if (!AllDigits(cp) || cp.empty())
    return Fail(Reason::kBadCharacter, "the company prefix '" + std::string(cp) + "' is not all digits");
  if (cp.size() < 6 || cp.size() > 12)
    return Fail(Reason::kCompanyPrefixLength, "the company prefix '" + std::string(cp) + "' has " + Decimal(cp.size()) +
                                                  " digits; a GS1 company prefix has 6 to 12");
  *cpDigits = static_cast<unsigned>(cp.size());
  const unsigned p = 12 - *cpDigits;
  uint64_t v = 0;
  for (char c : cp) v = v * 10 + static_cast<uint64_t>(c - '0');
  w->Put(p, 3);
  Put(w, v, kPrefixBits[p]);
  return {};
}

Status WriteField(const FieldLayout& f, const std::vector<std::string>& parts, size_t* at, BitWriter* w) {
  uint64_t v = 0;
  switch (f.op) {
    case Op::kPartitionPadded:
    case Op::kPartitionInteger:
    case Op::kPartitionString7:
    case Op::kPartitionString6: {
      unsigned cpDigits = 0;
      if (Status s = WritePrefix(w, parts[*at], &cpDigits); !s.ok()) return s;
      const std::string& ref = parts[*at + 1];
      *at += 2;
      const unsigned p = 12 - cpDigits;
      const unsigned refBits = f.bits - kPrefixBits[p];
      const std::string beside = " beside a " + Decimal(cpDigits) + "-digit company prefix";
      switch (f.op) {
        case Op::kPartitionPadded:
          if (Status s = ParseFixed(ref, f.name2, f.digits - cpDigits, &v, beside + " (" + Decimal(f.digits) + " together)");
              !s.ok())
            return s;
          Put(w, v, refBits);
          return {};
        case Op::kPartitionInteger: {
          const unsigned most = f.digits ? f.digits - cpDigits : 0;
          if (Status s = ParseInteger(ref, f.name2, refBits, most, &v); !s.ok()) {
            if (s.reason == Reason::kValueOutOfRange) s.detail += beside;
            return s;
          }
          Put(w, v, refBits);
          return {};
        }
        case Op::kPartitionString7: {
          const size_t most = std::min<size_t>(refBits / 7, f.digits - cpDigits);
          if (Status s = CheckString7(ref, f.name2, most); !s.ok()) {
            if (s.reason == Reason::kTooLong) s.detail += beside;
            return s;
          }
          PutString7(w, ref, refBits);
          return {};
        }
        default: {
          FieldLayout second = f;
          if (Status s = CheckString6(ref, second, f.name2, f.digits - cpDigits, false); !s.ok()) {
            if (s.reason == Reason::kTooLong) s.detail += beside;
            return s;
          }
          PutString6(w, ref);
          return {};
        }
      }
    }
    case Op::kInteger:
      if (Status s = ParseInteger(parts[*at], f.name, f.bits, f.digits, &v); !s.ok()) return s;
      ++*at;
      Put(w, v, f.bits);
      return {};
    case Op::kString7:
      if (Status s = CheckString7(parts[*at], f.name, f.bits / 7); !s.ok()) return s;
      PutString7(w, parts[*at], f.bits);
      ++*at;
      return {};
    case Op::kNumericString: {
      const std::string& s = parts[*at];
      if (s.empty()) return Fail(Reason::kEmptyField, std::string("the ") + f.name + " is empty");
      if (!AllDigits(s)) return Fail(Reason::kBadCharacter, std::string("the ") + f.name + " '" + s + "' is not all digits");
      if (s.size() > f.digits)
        return Fail(Reason::kTooLong, std::string("the ") + f.name + " '" + s + "' has more than " + Decimal(f.digits) + " digits");
      v = 1;
      for (char c : s) v = v * 10 + static_cast<uint64_t>(c - '0');
      Put(w, v, f.bits);
      ++*at;
      return {};
    }
    case Op::kFixedWidth:
      if (Status s = ParseFixed(parts[*at], f.name, f.digits, &v); !s.ok()) return s;
      Put(w, v, f.bits);
      ++*at;
      return {};
    case Op::kZeros:
      Put(w, 0, f.bits);
      return {};
    case Op::kCage: {
      const std::string& s = parts[*at];
      if (s.size() != 5 && s.size() != 6)
        return Fail(Reason::kWrongDigitCount, std::string("the ") + f.name + " '" + s +
                                                  "' has " + Decimal(s.size()) + " characters: a CAGE code has 5, a DoDAAC 6");
      for (char c : s)
        if (!IsCageChar(c))
          return Fail(Reason::kBadCharacter, std::string("the ") + f.name + " holds " + Shown(c) + ", which it may not");
      if (s.size() == 5) w->Put(To6Bit(' '), 6);
      for (char c : s) w->Put(To6Bit(c), 6);
      ++*at;
      return {};
    }
    case Op::kString6: {
      const bool previousEmpty = *at > 0 && parts[*at - 1].empty();
      if (Status s = CheckString6(parts[*at], f, f.name, f.digits, previousEmpty); !s.ok()) return s;
      PutString6(w, parts[*at]);
      ++*at;
      return {};
    }
  }
  return Fail(Reason::kBadSyntax, "unknown field");
}

}  // namespace

Status EncodeBits(const SchemeLayout& layout, const Identity& id, BitWriter* out) {
  if (id.parts.size() != PartCount(layout.kind)) return Fail(Reason::kBadSyntax, "wrong number of parts");
  const unsigned filterLimit = layout.filterBits ? (1u << layout.filterBits) - 1 : 0;
  if (id.filter > filterLimit)
    return Fail(Reason::kBadFilter, std::string("filter value ") + Decimal(id.filter) + " does not fit " + layout.name +
                                        (layout.filterBits ? " (0 to " + Decimal(filterLimit) + ")" : " (which has no filter)"));
  BitWriter w;
  w.Put(layout.header, 8);
  w.Put(id.filter, layout.filterBits);
  size_t at = 0;
  for (uint8_t i = 0; i < layout.fieldCount; ++i)
    if (Status s = WriteField(layout.fields[i], id.parts, &at, &w); !s.ok()) return s;
  *out = std::move(w);
  return {};
}

}  // namespace zq::protocol::epc::detail

// ---- the public names ---------------------------------------------------------------

namespace zq::protocol::epc {

const char* KindName(Kind kind) {
  const size_t i = static_cast<size_t>(kind);
  return i < std::size(detail::kKindNames) ? detail::kKindNames[i] : "";
}

const char* SchemeName(Scheme scheme) {
  const detail::SchemeLayout* s = detail::FindScheme(scheme);
  return s ? s->name : "";
}

Kind KindOf(Scheme scheme) {
  const detail::SchemeLayout* s = detail::FindScheme(scheme);
  return s ? s->kind : Kind::kNone;
}

Scheme SchemeFromName(std::string_view name) {
  if (name.size() > 16) return Scheme::kNone;
  const std::string lower = detail::LowerAscii(name);
  for (const detail::SchemeLayout& s : detail::kSchemes)
    if (lower == s.name) return s.scheme;
  return Scheme::kNone;
}

const std::vector<Scheme>& AllSchemes() {
  static const std::vector<Scheme> all = [] {
    std::vector<Scheme> v;
    for (const detail::SchemeLayout& s : detail::kSchemes) v.push_back(s.scheme);
    return v;
  }();
  return all;
}

}  // namespace zq::protocol::epc
