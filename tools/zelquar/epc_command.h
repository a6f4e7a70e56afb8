// `zelquar epc decode HEX|URI` and `zelquar epc encode URI`: GS1 EPC
// identities without a reader, and the identity's text and JSON forms any
// command that shows an EPC can use. Pure: no driver, no system calls.
//
// Sections: the request; running it; an identity as text and JSON.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "protocol/epc/epc.h"
#include "tools/zelquar/app.h"

namespace zq::tool {

// ---- the request --------------------------------------------------------------------

struct EpcRequest {
  bool encode = false;
  std::string text;                 // a URI or element string ("" when hex was given)
  Bytes epc;                        // decode: the EPC in hex (whole words)
  std::optional<uint16_t> pc;       // --pc: decode: the EPC's PC word; encode: a PC word whose other bits stay
  std::optional<unsigned> filter;   // --filter
  protocol::epc::Scheme scheme = protocol::epc::Scheme::kNone;  // --scheme
  unsigned prefixLength = 0;        // --prefix-length: the GS1 company prefix's digits in an element string
};

extern const char kEpcUsage[];  // after "zelquar [GLOBAL] "
extern const char kEpcHelp[];

// One option of `epc` with its value; false and *error for a bad one.
bool ParseEpcOption(const std::string& name, const std::string& value, EpcRequest* request, std::string* error);
// The words after `epc`: decode HEX|URI or encode URI; false and *error otherwise.
bool ParseEpcArguments(const std::vector<std::string>& positional, EpcRequest* request, std::string* error);

// ---- running it ---------------------------------------------------------------------

struct EpcOutput {
  ExitCode code = ExitCode::kOk;  // kRefused: a text no scheme holds, or not a URI
  std::string text;               // the human form, lines ending in "\n"
  nlohmann::json json;            // the --json form
};
EpcOutput RunEpc(const EpcRequest& request);

// ---- an identity as text and JSON ---------------------------------------------------

// {"identity": true, "uri": tag URI or raw URI, "scheme", "filter", "pure_uri",
//  "element_string", "digital_link", "raw_uri", "fields": {...}, "reason",
//  "detail", "pc", "epc"}; keys without a value are left out.
nlohmann::json IdentityJson(const protocol::epc::Decoded& d);
// Aligned "name  value" lines of the same.
std::string IdentityText(const protocol::epc::Decoded& d);

}  // namespace zq::tool
