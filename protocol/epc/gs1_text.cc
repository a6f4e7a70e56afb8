// Text of identities: character sets, URI escapes, numbers, the GS1 check
// digit, and the GS1 keys an identity makes (its fields, element string and
// Digital Link URI) and takes back from an element string.
//
// Sections: characters and numbers; the GS1 keys; element strings.
#include <cstring>
#include <string>

#include "protocol/epc/codec.h"
#include "protocol/hex.h"

namespace zq::protocol::epc::detail {

// ---- characters and numbers ---------------------------------------------------------

bool IsGs1Char(char c) {
  return c == '!' || c == '"' || (c >= '%' && c <= '?') || (c >= 'A' && c <= 'Z') || c == '_' || (c >= 'a' && c <= 'z');
}

namespace {

// The characters a URI part writes as %XX.
bool NeedsEscape(char c) { return std::strchr("\"%&/<>?#", c) != nullptr && c != '\0'; }

// "%2F" for '/'.
std::string PercentForm(char c) {
  const uint8_t b = static_cast<uint8_t>(c);
  return "%" + HexText(&b, 1);
}

}  // namespace

std::string EscapeUriPart(std::string_view part) {
  std::string s;
  s.reserve(part.size());
  for (char c : part) s += NeedsEscape(c) ? PercentForm(c) : std::string(1, c);
  return s;
}

bool UnescapeUriPart(std::string_view part, std::string* out, std::string* what) {
  std::string s;
  s.reserve(part.size());
  for (size_t i = 0; i < part.size(); ++i) {
    const char c = part[i];
    if (c == '%') {
      const int h = i + 1 < part.size() ? HexDigit(part[i + 1]) : -1;
      const int l = i + 2 < part.size() ? HexDigit(part[i + 2]) : -1;
      if (h < 0 || l < 0) {
        *what = "a '%' without two hex digits after it";
        return false;
      }
      const char decoded = static_cast<char>(h << 4 | l);
      if (!NeedsEscape(decoded)) {
        *what = "the escape " + std::string(part.substr(i, 3)) + ", which stands for a character that is written as it is";
        return false;
      }
      s.push_back(decoded);
      i += 2;
      continue;
    }
    if (NeedsEscape(c)) {
      *what = std::string("'") + c + "', which a URI writes as " + PercentForm(c);
      return false;
    }
    if (static_cast<uint8_t>(c) <= 0x20 || static_cast<uint8_t>(c) >= 0x7F) {
      *what = "a character that is not printable ASCII";
      return false;
    }
    s.push_back(c);
  }
  *out = std::move(s);
  return true;
}

std::string Decimal(uint64_t value) { return std::to_string(value); }

std::string Padded(uint64_t value, unsigned digits) {
  if (digits == 0) return "";
  std::string s = Decimal(value);
  if (s.size() < digits) s.insert(0, digits - s.size(), '0');
  return s;
}

bool AllDigits(std::string_view s) {
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

std::string LowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

char CheckDigit(std::string_view digits) {
  // Weights 3 and 1 from the right, the check digit completing a multiple of 10.
  unsigned sum = 0;
  for (size_t i = 0; i < digits.size(); ++i) {
    const unsigned d = static_cast<unsigned>(digits[digits.size() - 1 - i] - '0');
    sum += i % 2 == 0 ? 3 * d : d;
  }
  return static_cast<char>('0' + (10 - sum % 10) % 10);
}

// ---- the GS1 keys -------------------------------------------------------------------

namespace {

// A Digital Link path segment: everything but the unreserved characters as %XX.
std::string LinkSegment(std::string_view value) {
  std::string s;
  for (char c : value) {
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                            c == '.' || c == '_' || c == '~';
    s += unreserved ? std::string(1, c) : PercentForm(c);
  }
  return s;
}

// The digits of a key whose first digit (an indicator or extension digit)
// stands before the company prefix: p1's first digit, the prefix, the rest of p1.
std::string Shifted(const std::string& cp, const std::string& ref) {
  return ref.empty() ? cp : ref.substr(0, 1) + cp + ref.substr(1);
}

std::string WithCheck(const std::string& digits) { return digits + CheckDigit(digits); }

struct KeyParts {
  const char* name = "";  // the field the key is shown as
  const char* ai = "";
  std::string value;
  const char* ai2 = "";   // a second element string (serial, extension), or ""
  std::string value2;
};

bool KeyOf(Kind kind, const std::vector<std::string>& p, KeyParts* k) {
  switch (kind) {
    case Kind::kSgtin:
      *k = {"gtin", "01", WithCheck(Shifted(p[0], p[1])), "21", p[2]};
      return true;
    case Kind::kSscc:
      *k = {"sscc", "00", WithCheck(Shifted(p[0], p[1])), "", ""};
      return true;
    case Kind::kSgln:
      *k = {"gln", "414", WithCheck(p[0] + p[1]), p[2] == "0" ? "" : "254", p[2] == "0" ? "" : p[2]};
      return true;
    case Kind::kGrai:
      *k = {"grai", "8003", "0" + WithCheck(p[0] + p[1]) + p[2], "", ""};
      return true;
    case Kind::kGiai:
      *k = {"giai", "8004", p[0] + p[1], "", ""};
      return true;
    case Kind::kGsrn:
      *k = {"gsrn", "8018", WithCheck(p[0] + p[1]), "", ""};
      return true;
    case Kind::kGsrnp:
      *k = {"gsrnp", "8017", WithCheck(p[0] + p[1]), "", ""};
      return true;
    case Kind::kGdti:
      *k = {"gdti", "253", WithCheck(p[0] + p[1]) + p[2], "", ""};
      return true;
    case Kind::kSgcn:
      *k = {"sgcn", "255", WithCheck(p[0] + p[1]) + p[2], "", ""};
      return true;
    case Kind::kCpi:
      *k = {"cpid", "8010", p[0] + p[1], "8011", p[2]};
      return true;
    case Kind::kItip:
      *k = {"itip", "8006", WithCheck(Shifted(p[0], p[1])) + p[2] + p[3], "21", p[4]};
      return true;
    default:
      return false;
  }
}

// The fields' names in URI order, per kind.
const char* const kPartNames[][5] = {
    {},
    {"company_prefix", "item_reference", "serial"},
    {"company_prefix", "serial_reference"},
    {"company_prefix", "location_reference", "extension"},
    {"company_prefix", "asset_type", "serial"},
    {"company_prefix", "asset_reference"},
    {"company_prefix", "service_reference"},
    {"company_prefix", "service_reference"},
    {"company_prefix", "document_type", "serial"},
    {"company_prefix", "coupon_reference", "serial"},
    {"company_prefix", "part_reference", "serial"},
    {"manager_number", "object_class", "serial"},
    {"company_prefix", "item_reference", "piece", "total", "serial"},
    {"cage_or_dodaac", "part_number", "serial"},
};

}  // namespace

void DescribeIdentity(Kind kind, const std::vector<std::string>& parts, std::string_view resolver, Decoded* out) {
  out->kind = kind;
  out->fields.clear();
  const size_t k = static_cast<size_t>(kind);
  for (size_t i = 0; i < parts.size() && i < 5; ++i) out->fields.push_back({kPartNames[k][i], parts[i]});
  std::string uri = std::string("urn:epc:id:") + KindName(kind) + ":";
  for (size_t i = 0; i < parts.size(); ++i) uri += (i ? "." : "") + EscapeUriPart(parts[i]);
  out->pureUri = uri;
  KeyParts key;
  if (!KeyOf(kind, parts, &key)) {
    out->elementString.clear();
    out->digitalLink.clear();
    return;
  }
  out->fields.push_back({key.name, key.value});
  out->elementString = std::string("(") + key.ai + ")" + key.value;
  std::string base(resolver);
  while (!base.empty() && base.back() == '/') base.pop_back();
  out->digitalLink = base + "/" + key.ai + "/" + LinkSegment(key.value);
  if (*key.ai2) {
    out->elementString += std::string("(") + key.ai2 + ")" + key.value2;
    out->digitalLink += std::string("/") + key.ai2 + "/" + LinkSegment(key.value2);
  }
}

// ---- element strings ----------------------------------------------------------------

namespace {

// "(AI)" at the start of `text`: the AI's digits, *rest after the ')'.
bool TakeAi(std::string_view text, std::string_view* ai, std::string_view* rest) {
  if (text.size() < 4 || text[0] != '(') return false;
  const size_t close = text.find(')');
  if (close == std::string_view::npos || close < 3 || close > 5) return false;
  *ai = text.substr(1, close - 1);
  if (!AllDigits(*ai)) return false;
  *rest = text.substr(close + 1);
  return true;
}

Status Syntax(const std::string& what) { return Fail(Reason::kBadSyntax, what); }

// A key of `n` digits whose last is its check digit.
Status CheckedDigits(std::string_view value, size_t n, const char* ai) {
  if (value.size() < n || !AllDigits(value.substr(0, n)))
    return Syntax(std::string("(") + ai + ") needs " + Decimal(n) + " digits");
  const std::string_view body = value.substr(0, n - 1);
  if (CheckDigit(body) != value[n - 1])
    return Fail(Reason::kBadCheckDigit, std::string("the check digit of (") + ai + ")" + std::string(value.substr(0, n)) +
                                            " is " + value[n - 1] + "; it should be " + CheckDigit(body));
  return {};
}

Status NeedSerial(std::string_view serial, const char* ai) {
  if (serial.empty()) return Fail(Reason::kEmptyField, std::string("(") + ai + ") has no serial; an EPC needs one");
  return {};
}

}  // namespace

Status ParseElementString(std::string_view text, unsigned cp, Kind* kind, std::vector<std::string>* parts) {
  std::string_view ai, v;
  if (!TakeAi(text, &ai, &v)) return Syntax("a GS1 element string starts with an application identifier in brackets, like (01)");
  if (cp < 6 || cp > 12)
    return Fail(Reason::kCompanyPrefixLength,
                "an element string does not show where the GS1 company prefix ends: give its length (6 to 12 digits)");
  auto second = [&](size_t at, const char* want, std::string* value) -> Status {
    std::string_view ai2, rest;
    if (v.size() == at) return Syntax(std::string("(") + want + ") is missing");
    if (!TakeAi(v.substr(at), &ai2, &rest) || ai2 != want) return Syntax(std::string("(") + want + ") should follow");
    *value = std::string(rest);
    return {};
  };
  std::string s;
  if (ai == "01" || ai == "8006") {
    const bool itip = ai == "8006";
    const size_t n = itip ? 18 : 14;
    if (Status st = CheckedDigits(v, 14, itip ? "8006" : "01"); !st.ok()) return st;
    if (v.size() < n || !AllDigits(v.substr(0, n))) return Syntax("(8006) needs 18 digits");
    if (Status st = second(n, "21", &s); !st.ok()) return st;
    if (Status st = NeedSerial(s, "21"); !st.ok()) return st;
    const std::string key(v.substr(0, 13));
    *kind = itip ? Kind::kItip : Kind::kSgtin;
    *parts = {key.substr(1, cp), key.substr(0, 1) + key.substr(1 + cp)};
    if (itip) {
      parts->push_back(std::string(v.substr(14, 2)));
      parts->push_back(std::string(v.substr(16, 2)));
    }
    parts->push_back(s);
    return {};
  }
  if (ai == "00" || ai == "8018" || ai == "8017") {
    if (Status st = CheckedDigits(v, 18, ai == "00" ? "00" : ai == "8018" ? "8018" : "8017"); !st.ok()) return st;
    if (v.size() != 18) return Syntax(std::string("(") + std::string(ai) + ") has 18 digits and nothing after them");
    const std::string key(v.substr(0, 17));
    if (ai == "00") {
      *kind = Kind::kSscc;
      *parts = {key.substr(1, cp), key.substr(0, 1) + key.substr(1 + cp)};
    } else {
      *kind = ai == "8018" ? Kind::kGsrn : Kind::kGsrnp;
      *parts = {key.substr(0, cp), key.substr(cp)};
    }
    return {};
  }
  if (ai == "414") {
    if (Status st = CheckedDigits(v, 13, "414"); !st.ok()) return st;
    std::string ext = "0";
    if (v.size() > 13) {
      if (Status st = second(13, "254", &ext); !st.ok()) return st;
      if (ext.empty()) return Fail(Reason::kEmptyField, "(254) is empty");
    }
    *kind = Kind::kSgln;
    *parts = {std::string(v.substr(0, cp)), std::string(v.substr(cp, 12 - cp)), ext};
    return {};
  }
  if (ai == "8003") {
    if (v.empty() || v[0] != '0') return Syntax("(8003) starts with the digit 0");
    if (Status st = CheckedDigits(v.substr(1), 13, "8003"); !st.ok()) return st;
    if (Status st = NeedSerial(v.substr(14), "8003"); !st.ok()) return st;
    *kind = Kind::kGrai;
    *parts = {std::string(v.substr(1, cp)), std::string(v.substr(1 + cp, 12 - cp)), std::string(v.substr(14))};
    return {};
  }
  if (ai == "253" || ai == "255") {
    if (Status st = CheckedDigits(v, 13, ai == "253" ? "253" : "255"); !st.ok()) return st;
    if (Status st = NeedSerial(v.substr(13), ai == "253" ? "253" : "255"); !st.ok()) return st;
    *kind = ai == "253" ? Kind::kGdti : Kind::kSgcn;
    *parts = {std::string(v.substr(0, cp)), std::string(v.substr(cp, 12 - cp)), std::string(v.substr(13))};
    return {};
  }
  if (ai == "8004") {
    if (v.size() <= cp || !AllDigits(v.substr(0, cp)))
      return Syntax("(8004) starts with the company prefix's digits and has an asset reference after them");
    *kind = Kind::kGiai;
    *parts = {std::string(v.substr(0, cp)), std::string(v.substr(cp))};
    return {};
  }
  if (ai == "8010") {
    const size_t open = v.find('(');
    if (open == std::string_view::npos) return Syntax("(8011) is missing");
    const std::string_view cpid = v.substr(0, open);
    if (cpid.size() <= cp || !AllDigits(cpid.substr(0, cp)))
      return Syntax("(8010) starts with the company prefix's digits and has a part reference after them");
    if (Status st = second(open, "8011", &s); !st.ok()) return st;
    if (Status st = NeedSerial(s, "8011"); !st.ok()) return st;
    *kind = Kind::kCpi;
    *parts = {std::string(cpid.substr(0, cp)), std::string(cpid.substr(cp)), s};
    return {};
  }
  return Fail(Reason::kUnknownScheme, "(" + std::string(ai) + ") is no GS1 key that an EPC carries");
}

}  // namespace zq::protocol::epc::detail
