// Sections: the request; an identity as text and JSON; running it.
#include "tools/zelquar/epc_command.h"

#include <cerrno>
#include <cstdlib>

namespace zq::tool {

namespace epc = protocol::epc;

// ---- the request --------------------------------------------------------------------

const char kEpcUsage[] =
    "epc decode HEX|URI [--pc HEX] [--prefix-length N] | epc encode URI [--filter N] [--scheme S] "
    "[--prefix-length N] [--pc HEX]";

const char kEpcHelp[] =
    "Decodes and encodes GS1 EPC identities without a reader (docs/epc.md).\n"
    "  decode HEX       an EPC in hex (whole words): its tag URI, pure-identity URI, GS1 element\n"
    "                   string, GS1 Digital Link URI and fields; an EPC that carries no GS1 identity\n"
    "                   shows its raw URI and the reason\n"
    "  decode URI       a tag, raw or pure-identity URI (urn:epc:...) or a GS1 element string\n"
    "  encode URI       a tag URI, or a pure-identity URI or element string with --filter and\n"
    "                   --scheme, into the PC word and EPC that write-epc writes\n"
    "  --filter N       the filter value (0 to 7; 0 to 63 for adi-var; default 0)\n"
    "  --scheme S       the binary scheme (sgtin-96, sgtin-198, ...); default: the first of the\n"
    "                   identity's schemes that holds it, the 96-bit one first\n"
    "  --prefix-length N  the digits of the GS1 company prefix in an element string (6 to 12)\n"
    "  --pc HEX         decode: the EPC's PC word (default: the plain one for its length);\n"
    "                   encode: a PC word whose UMI, XI and attribute bits are kept\n";

namespace {

bool Number(const std::string& name, const std::string& text, unsigned low, unsigned high, unsigned* out,
            std::string* error) {
  errno = 0;
  char* end = nullptr;
  const unsigned long v = text.empty() || text[0] == '-' || text[0] == '+' ? 0 : std::strtoul(text.c_str(), &end, 10);
  if (text.empty() || !end || *end != '\0' || errno != 0 || v < low || v > high) {
    *error = name + ": a whole number from " + std::to_string(low) + " to " + std::to_string(high) + " expected, not '" +
             text + "'";
    return false;
  }
  *out = static_cast<unsigned>(v);
  return true;
}

bool LooksLikeText(const std::string& s) { return s.rfind("urn:", 0) == 0 || s.rfind("URN:", 0) == 0 || s.rfind("(", 0) == 0; }

}  // namespace

bool ParseEpcOption(const std::string& name, const std::string& value, EpcRequest* r, std::string* error) {
  unsigned n = 0;
  if (name == "--filter") {
    if (!Number(name, value, 0, 63, &n, error)) return false;
    r->filter = n;
    return true;
  }
  if (name == "--prefix-length") {
    if (!Number(name, value, 6, 12, &n, error)) return false;
    r->prefixLength = n;
    return true;
  }
  if (name == "--scheme") {
    r->scheme = epc::SchemeFromName(value);
    if (r->scheme != epc::Scheme::kNone) return true;
    *error = "--scheme: no scheme '" + value + "' (";
    for (epc::Scheme s : epc::AllSchemes()) *error += std::string(s == epc::AllSchemes().front() ? "" : ", ") + epc::SchemeName(s);
    *error += ")";
    return false;
  }
  if (name == "--pc") {
    const std::optional<Bytes> b = ParseHex(value);
    if (!b || b->size() != 2) {
      *error = "--pc: 2 bytes (4 hex digits) expected, not '" + value + "'";
      return false;
    }
    r->pc = static_cast<uint16_t>((*b)[0] << 8 | (*b)[1]);
    return true;
  }
  *error = name + " is not an option of epc";
  return false;
}

bool ParseEpcArguments(const std::vector<std::string>& positional, EpcRequest* r, std::string* error) {
  if (positional.size() != 2 || (positional[0] != "decode" && positional[0] != "encode")) {
    *error = "epc needs decode HEX|URI or encode URI";
    return false;
  }
  r->encode = positional[0] == "encode";
  const std::string& arg = positional[1];
  if (LooksLikeText(arg)) {
    r->text = arg;
  } else if (r->encode) {
    *error = "epc encode: a tag URI, a pure-identity URI (urn:epc:...) or a GS1 element string ((01)...) expected, not '" +
             arg + "'";
    return false;
  } else {
    const std::optional<Bytes> b = ParseHex(arg);
    if (!b || b->empty() || b->size() % 2 != 0 || b->size() > 62) {
      *error = "epc decode: an EPC of whole 16-bit words of hex (1 to 31 words), or a URI, expected ('" + arg + "')";
      return false;
    }
    r->epc = *b;
  }
  if (!r->encode && (r->filter || r->scheme != epc::Scheme::kNone)) {
    *error = "--filter and --scheme go with epc encode";
    return false;
  }
  if (!r->encode && r->pc && !r->text.empty()) {
    *error = "--pc goes with an EPC in hex (a URI says what its PC word is)";
    return false;
  }
  return true;
}

// ---- an identity as text and JSON ---------------------------------------------------

namespace {

std::string Hex16(uint16_t v) {
  const uint8_t b[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
  return ToHex(b, 2);
}

void Line(std::string* text, const std::string& name, const std::string& value) {
  if (value.empty()) return;
  std::string n = name;
  if (n.size() < 18) n.append(18 - n.size(), ' ');
  *text += n + value + "\n";
}

}  // namespace

nlohmann::json IdentityJson(const epc::Decoded& d) {
  // The URI that stands for the EPC: its tag URI, the raw URI without an
  // identity, the pure-identity URI for text without bits.
  nlohmann::json j = {{"identity", d.ok}, {"uri", d.hasBinary ? d.tagUri : d.pureUri}};
  if (d.scheme != epc::Scheme::kNone) j["scheme"] = epc::SchemeName(d.scheme);
  if (d.kind != epc::Kind::kNone) j["kind"] = epc::KindName(d.kind);
  if (d.filter >= 0) j["filter"] = d.filter;
  if (d.ok && d.hasBinary) j["tag_uri"] = d.tagUri;
  if (!d.pureUri.empty()) j["pure_uri"] = d.pureUri;
  if (!d.elementString.empty()) j["element_string"] = d.elementString;
  if (!d.digitalLink.empty()) j["digital_link"] = d.digitalLink;
  if (!d.rawUri.empty()) j["raw_uri"] = d.rawUri;
  if (!d.fields.empty()) {
    nlohmann::json fields = nlohmann::json::object();
    for (const epc::Field& f : d.fields) fields[f.name] = f.value;
    j["fields"] = fields;
  }
  j["reason"] = epc::ReasonCode(d.reason);
  if (!d.detail.empty()) j["detail"] = d.detail;
  if (d.hasBinary) {
    j["pc"] = Hex16(d.pc);
    j["epc"] = ToHex(d.epc);
  }
  return j;
}

std::string IdentityText(const epc::Decoded& d) {
  std::string t;
  if (!d.ok) {
    t += std::string("no GS1 identity: ") + epc::ReasonCode(d.reason) + ": " + d.detail + "\n";
  } else {
    Line(&t, "identity", epc::KindName(d.kind));
    Line(&t, "scheme", epc::SchemeName(d.scheme));
    if (d.filter >= 0) Line(&t, "filter", std::to_string(d.filter));
    if (d.hasBinary) Line(&t, "tag URI", d.tagUri);
    Line(&t, "pure URI", d.pureUri);
    Line(&t, "element string", d.elementString);
    Line(&t, "digital link", d.digitalLink);
    for (const epc::Field& f : d.fields) Line(&t, f.name, f.value);
  }
  Line(&t, "raw URI", d.rawUri);
  if (d.hasBinary) {
    Line(&t, "PC", Hex16(d.pc) + " (" + std::to_string(d.pc >> 11) + " EPC words)");
    Line(&t, "EPC", ToHex(d.epc));
  }
  return t;
}

// ---- running it ---------------------------------------------------------------------

EpcOutput RunEpc(const EpcRequest& r) {
  EpcOutput out;
  const epc::DecodeOptions decodeOptions{.companyPrefixLength = r.prefixLength};
  epc::Decoded d;
  if (r.encode) {
    const epc::Encoded e = epc::Encode(r.text, {.filter = r.filter,
                                                .scheme = r.scheme,
                                                .companyPrefixLength = r.prefixLength,
                                                .keepPc = r.pc});
    if (!e.ok) {
      out.code = ExitCode::kRefused;
      out.text = std::string("epc encode refused: ") + epc::ReasonCode(e.reason) + ": " + e.detail + "\n";
      out.json = {{"command", "epc"}, {"action", "encode"}, {"ok", false}, {"reason", epc::ReasonCode(e.reason)},
                  {"detail", e.detail}};
      return out;
    }
    d = epc::DecodeEpcBank(e.pc, e.epc.data(), e.epc.size(), decodeOptions);
  } else if (!r.text.empty()) {
    d = epc::DecodeText(r.text, decodeOptions);
    if (!d.ok && d.rawUri.empty()) {
      // Not an EPC bank at all: the text itself was refused.
      out.code = ExitCode::kRefused;
      out.text = std::string("epc decode refused: ") + epc::ReasonCode(d.reason) + ": " + d.detail + "\n";
      out.json = {{"command", "epc"}, {"action", "decode"}, {"ok", false}, {"reason", epc::ReasonCode(d.reason)},
                  {"detail", d.detail}};
      return out;
    }
  } else {
    d = r.pc ? epc::DecodeEpcBank(*r.pc, r.epc.data(), r.epc.size(), decodeOptions)
             : epc::DecodeEpc(r.epc.data(), r.epc.size(), decodeOptions);
  }
  out.text = IdentityText(d);
  if (r.encode) out.text += "write it with: zelquar write-epc --epc OLD --new " + ToHex(d.epc) + "\n";
  out.json = {{"command", "epc"}, {"action", r.encode ? "encode" : "decode"}, {"ok", true}};
  out.json.update(IdentityJson(d));
  return out;
}

}  // namespace zq::tool
