// Fuzz target: the GS1 EPC codec (protocol/epc) on any EPC bank and any
// text. Input:
//
//   byte 0      bit 0: 0 an EPC bank, 1 a text; bits 1..3 a filter value,
//               bits 4..7 a company prefix length for element strings
//   EPC bank    bytes 1-2 the PC word, then the EPC bytes
//   text        byte 1 a scheme number (0: none), then the text
//
// Whatever the decoder accepts must encode back to exactly the bits it came
// from, through its tag URI, its pure-identity URI and its element string
// alike (never a wrong identity); whatever it refuses is its raw URI, which
// reads back as the same bits. Whatever the encoder accepts must decode to
// the identity it was given (decode(encode(x)) = x).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/epc/epc.h"

namespace {

using namespace zq::protocol::epc;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

void Bank(uint16_t pc, const uint8_t* epc, size_t n) {
  const Decoded d = DecodeEpcBank(pc, epc, n);
  if (!d.ok) {
    Check(d.tagUri == d.rawUri && d.rawUri.rfind("urn:epc:raw:", 0) == 0 && d.pureUri.empty() && d.fields.empty());
    Check(d.reason != Reason::kOk && !d.detail.empty());
    if (d.reason != Reason::kTruncated) {
      const Decoded raw = DecodeText(d.rawUri);
      // The raw URI keeps the length, and the toggle bit with its AFI.
      const uint16_t kept = static_cast<uint16_t>((pc & 0xF800) | (pc & 0x0100 ? pc & 0x01FF : 0));
      Check(raw.reason == d.reason && raw.epc == d.epc && raw.pc == kept);
    }
    return;
  }
  // Accepted: the same bits again, from every form of the identity.
  Check(d.epc.size() == (pc >> 11) * 2u && (pc & 0x0100) == 0);
  const Encoded tag = Encode(d.tagUri, {.keepPc = pc});
  Check(tag.ok && tag.pc == pc && tag.epc == d.epc && tag.scheme == d.scheme && tag.tagUri == d.tagUri);
  const EncodeOptions same{.filter = d.filter < 0 ? std::nullopt : std::optional<unsigned>(d.filter), .scheme = d.scheme};
  const Encoded pure = Encode(d.pureUri, same);
  Check(pure.ok && pure.epc == d.epc);
  if (!d.elementString.empty()) {
    EncodeOptions key = same;
    key.companyPrefixLength = static_cast<unsigned>(d.Value("company_prefix").size());
    const Encoded viaKey = Encode(d.elementString, key);
    Check(viaKey.ok && viaKey.epc == d.epc);
  }
  const Decoded again = DecodeText(d.tagUri);
  Check(again.ok && again.pureUri == d.pureUri && again.elementString == d.elementString &&
        again.digitalLink == d.digitalLink);
}

void Text(std::string_view text, unsigned filter, unsigned cpLength, Scheme scheme) {
  const EncodeOptions options{.filter = filter, .scheme = scheme, .companyPrefixLength = cpLength};
  const Encoded e = Encode(text, options);
  const Decoded d = DecodeText(text, {.companyPrefixLength = cpLength});
  if (!e.ok) {
    Check(e.reason != Reason::kOk && !e.detail.empty() && e.epc.empty());
    return;
  }
  Check(e.epc.size() % 2 == 0 && e.pc == PcWordFor(static_cast<unsigned>(e.epc.size() / 2)));
  const Decoded back = DecodeEpcBank(e.pc, e.epc.data(), e.epc.size());
  Check(back.ok && back.tagUri == e.tagUri && back.scheme == e.scheme);
  // A text the encoder accepts is one the decoder reads as the same identity.
  Check(d.ok && d.pureUri == back.pureUri);
  const Encoded again = Encode(e.tagUri);
  Check(again.ok && again.epc == e.epc && again.tagUri == e.tagUri);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const unsigned filter = (data[0] >> 1) & 7;
  const unsigned cpLength = data[0] >> 4;
  if ((data[0] & 1) == 0) {
    if (size < 3) return 0;
    Bank(static_cast<uint16_t>(data[1] << 8 | data[2]), data + 3, size - 3);
  } else {
    const std::vector<Scheme>& all = AllSchemes();
    const Scheme scheme = data[1] == 0 || data[1] > all.size() ? Scheme::kNone : all[data[1] - 1];
    Text(std::string_view(reinterpret_cast<const char*>(data + 2), size - 2), filter, cpLength, scheme);
  }
  return 0;
}
