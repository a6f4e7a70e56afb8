// The GS1 EPC codec on data alone: the Tag Data Standard's worked examples
// both ways, random identities of every scheme and partition through their
// bits and back, the EPCs and texts the standard's rules refuse (each with
// its reason), the PC word, and the TID bank.
//
// Sections: worked examples; element strings; random round trips; refused
// EPCs; refused texts; the PC word; the TID.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "protocol/bits.h"
#include "protocol/epc/epc.h"
#include "protocol/epc/tid.h"
#include "protocol/hex.h"

namespace zq::protocol::epc {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes H(const std::string& hex) {
  Bytes b;
  EXPECT_TRUE(ParseHexText(hex, &b)) << hex;
  return b;
}

// ---- worked examples ------------------------------------------------------------------

struct Example {
  const char* tagUri;
  uint16_t pc;
  const char* hex;
  const char* pureUri;
  const char* elementString;  // "" for none
  const char* digitalLink;    // "" for none
};

// The first two are the Tag Data Standard's own encoding examples (its
// appendix of worked examples: (01)80614141123458(21)6789 as SGTIN-96, and
// (01)70614141123451(21)32a/b as SGTIN-198). The others use the standard's
// example identities; their bits were packed independently of this codec,
// field by field from the standard's tables.
const Example kExamples[] = {
    {"urn:epc:tag:sgtin-96:3.0614141.812345.6789", 0x3000, "3074257BF7194E4000001A85",
     "urn:epc:id:sgtin:0614141.812345.6789", "(01)80614141123458(21)6789", "https://id.gs1.org/01/80614141123458/21/6789"},
    {"urn:epc:tag:sgtin-198:3.0614141.712345.32a%2Fb", 0x6800, "3674257BF6B7A659B2C2BF100000000000000000000000000000",
     "urn:epc:id:sgtin:0614141.712345.32a%2Fb", "(01)70614141123451(21)32a/b",
     "https://id.gs1.org/01/70614141123451/21/32a%2Fb"},
    {"urn:epc:tag:sscc-96:3.0614141.1234567890", 0x3000, "3174257BF4499602D2000000", "urn:epc:id:sscc:0614141.1234567890",
     "(00)106141412345678908", "https://id.gs1.org/00/106141412345678908"},
    {"urn:epc:tag:sgln-96:3.0614141.12345.400", 0x3000, "3274257BF460720000000190", "urn:epc:id:sgln:0614141.12345.400",
     "(414)0614141123452(254)400", "https://id.gs1.org/414/0614141123452/254/400"},
    {"urn:epc:tag:grai-170:3.0614141.12345.32a%2Fb", 0x5800, "3774257BF40C0E59B2C2BF1000000000000000000000",
     "urn:epc:id:grai:0614141.12345.32a%2Fb", "(8003)0061414112345232a/b",
     "https://id.gs1.org/8003/0061414112345232a%2Fb"},
    {"urn:epc:tag:giai-96:3.0614141.5678", 0x3000, "3474257BF40000000000162E", "urn:epc:id:giai:0614141.5678",
     "(8004)06141415678", "https://id.gs1.org/8004/06141415678"},
    {"urn:epc:tag:giai-202:3.0614141.12345400", 0x6800, "3874257BF58B266D1AB460C00000000000000000000000000000",
     "urn:epc:id:giai:0614141.12345400", "(8004)061414112345400", "https://id.gs1.org/8004/061414112345400"},
    {"urn:epc:tag:gdti-174:3.0614141.12345.006847", 0x5800, "3E74257BF46072C183670D1B80000000000000000000",
     "urn:epc:id:gdti:0614141.12345.006847", "(253)0614141123452006847", "https://id.gs1.org/253/0614141123452006847"},
    {"urn:epc:tag:sgcn-96:3.4012345.67890.04711", 0x3000, "3F74F4E4E612640000019907", "urn:epc:id:sgcn:4012345.67890.04711",
     "(255)401234567890104711", "https://id.gs1.org/255/401234567890104711"},
    {"urn:epc:tag:cpi-96:3.0614141.123456.123456789", 0x3000, "3C74257BF400F120075BCD15",
     "urn:epc:id:cpi:0614141.123456.123456789", "(8010)0614141123456(8011)123456789",
     "https://id.gs1.org/8010/0614141123456/8011/123456789"},
    {"urn:epc:tag:cpi-var:3.0614141.5PQ7%2FZ43.12345", 0x4800, "3D74257BF75411DEF6B4CC00000003039000",
     "urn:epc:id:cpi:0614141.5PQ7%2FZ43.12345", "(8010)06141415PQ7/Z43(8011)12345",
     "https://id.gs1.org/8010/06141415PQ7%2FZ43/8011/12345"},
    {"urn:epc:tag:gid-96:95100000.12345.400", 0x3000, "355AB1C60003039000000190", "urn:epc:id:gid:95100000.12345.400", "",
     ""},
    {"urn:epc:tag:itip-110:3.4012345.012345.01.02.987", 0x3800, "4074F4E4E40C0E40820000000F6C",
     "urn:epc:id:itip:4012345.012345.01.02.987", "(8006)040123451234560102(21)987",
     "https://id.gs1.org/8006/040123451234560102/21/987"},
    {"urn:epc:tag:adi-var:3.35962.PQ7VZ4.M37GXB92", 0x5000, "3B0E0CF5E76C9047759AD00373DC7602E7200000",
     "urn:epc:id:adi:35962.PQ7VZ4.M37GXB92", "", ""},
    {"urn:epc:tag:adi-var:3.35962..%23M37GXB92", 0x4000, "3B0E0CF5E76C808CDCF71D80B9C80000",
     "urn:epc:id:adi:35962..%23M37GXB92", "", ""},
};

TEST(EpcExamples, EncodeToTheirBitsAndDecodeToEveryForm) {
  for (const Example& x : kExamples) {
    SCOPED_TRACE(x.tagUri);
    const Encoded e = Encode(x.tagUri);
    ASSERT_TRUE(e.ok) << e.detail;
    EXPECT_EQ(e.pc, x.pc);
    EXPECT_EQ(HexText(e.epc), x.hex);
    EXPECT_EQ(e.tagUri, x.tagUri);

    const Bytes bits = H(x.hex);
    const Decoded d = DecodeEpcBank(x.pc, bits.data(), bits.size());
    ASSERT_TRUE(d.ok) << d.detail;
    EXPECT_EQ(d.tagUri, x.tagUri);
    EXPECT_EQ(d.pureUri, x.pureUri);
    EXPECT_EQ(d.elementString, x.elementString);
    EXPECT_EQ(d.digitalLink, x.digitalLink);
    EXPECT_EQ(d.rawUri, "urn:epc:raw:" + std::to_string(bits.size() * 8) + ".x" + x.hex);
    EXPECT_EQ(SchemeName(d.scheme), std::string(x.tagUri).substr(12, std::string(x.tagUri).find(':', 12) - 12));
  }
}

TEST(EpcExamples, TheGtinAndSerialAsFieldsAndAnotherResolver) {
  const Decoded d = DecodeText("urn:epc:tag:sgtin-96:1.0614141.812345.6789", {.resolver = "https://example.com/dl/"});
  ASSERT_TRUE(d.ok) << d.detail;
  EXPECT_EQ(d.filter, 1);
  EXPECT_EQ(d.kind, Kind::kSgtin);
  EXPECT_EQ(d.Value("company_prefix"), "0614141");
  EXPECT_EQ(d.Value("item_reference"), "812345");
  EXPECT_EQ(d.Value("serial"), "6789");
  EXPECT_EQ(d.Value("gtin"), "80614141123458");
  EXPECT_EQ(d.digitalLink, "https://example.com/dl/01/80614141123458/21/6789");
  EXPECT_TRUE(d.hasBinary);
  EXPECT_EQ(HexText(d.epc), "3034257BF7194E4000001A85");

  // GID-96 has no filter; an SGLN without extension shows only its GLN.
  EXPECT_EQ(DecodeText("urn:epc:tag:gid-96:95100000.12345.400").filter, -1);
  const Decoded gln = DecodeText("urn:epc:id:sgln:0614141.12345.0");
  EXPECT_EQ(gln.elementString, "(414)0614141123452");
  EXPECT_EQ(gln.digitalLink, "https://id.gs1.org/414/0614141123452");
}

// ---- element strings ---------------------------------------------------------------

struct KeyExample {
  const char* elementString;
  unsigned cpLength;
  const char* pureUri;
};

// The standard's examples of GS1 keys and the EPCs they make.
const KeyExample kKeys[] = {
    {"(01)80614141123458(21)6789", 7, "urn:epc:id:sgtin:0614141.812345.6789"},
    {"(00)106141412345678908", 7, "urn:epc:id:sscc:0614141.1234567890"},
    {"(414)0614141123452(254)5678", 7, "urn:epc:id:sgln:0614141.12345.5678"},
    {"(8003)006141411234525678", 7, "urn:epc:id:grai:0614141.12345.5678"},
    {"(8004)06141411A2B3C", 7, "urn:epc:id:giai:0614141.1A2B3C"},
    {"(8018)061414112345678902", 7, "urn:epc:id:gsrn:0614141.1234567890"},
    {"(8017)061414112345678902", 7, "urn:epc:id:gsrnp:0614141.1234567890"},
    {"(253)0614141123452006847", 7, "urn:epc:id:gdti:0614141.12345.006847"},
    {"(255)401234567890104711", 7, "urn:epc:id:sgcn:4012345.67890.04711"},
    {"(8010)061414198765(8011)12345", 7, "urn:epc:id:cpi:0614141.98765.12345"},
    {"(8010)0614141123ABC(8011)123456789", 7, "urn:epc:id:cpi:0614141.123ABC.123456789"},
    {"(8010)0614141123#53(8011)123456789", 7, "urn:epc:id:cpi:0614141.123%2353.123456789"},
    {"(8006)040123451234560102(21)987", 7, "urn:epc:id:itip:4012345.012345.01.02.987"},
};

TEST(EpcElementStrings, StandardKeysToPureIdentitiesAndBack) {
  for (const KeyExample& k : kKeys) {
    SCOPED_TRACE(k.elementString);
    const Decoded fromKey = DecodeText(k.elementString, {.companyPrefixLength = k.cpLength});
    ASSERT_TRUE(fromKey.ok) << fromKey.detail;
    EXPECT_EQ(fromKey.pureUri, k.pureUri);
    EXPECT_FALSE(fromKey.hasBinary);
    const Decoded fromUri = DecodeText(k.pureUri);
    ASSERT_TRUE(fromUri.ok) << fromUri.detail;
    EXPECT_EQ(fromUri.elementString, k.elementString);
    // And into bits, through both texts alike.
    const Encoded a = Encode(k.elementString, {.filter = 2, .companyPrefixLength = k.cpLength});
    const Encoded b = Encode(k.pureUri, {.filter = 2});
    ASSERT_TRUE(a.ok && b.ok) << a.detail << b.detail;
    EXPECT_EQ(a.epc, b.epc);
    EXPECT_EQ(a.tagUri, b.tagUri);
  }
}

// ---- random round trips -----------------------------------------------------------------

const char kGs1Chars[] = "!\"%&'()*+,-./0123456789:;<=>?ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz";

class Gen {
 public:
  explicit Gen(uint32_t seed) : rng_(seed) {}
  uint64_t Below(uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng_); }
  uint64_t Bits(unsigned n) { return Below(uint64_t{1} << n); }
  std::string Digits(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>('0' + Below(10)));
    return s;
  }
  std::string Chars(const std::string& set, size_t least, size_t most) {
    std::string s;
    const size_t n = least + Below(most - least + 1);
    for (size_t i = 0; i < n; ++i) s.push_back(set[Below(set.size())]);
    return s;
  }
  // An integer below 2^bits written without leading zeros, often small.
  std::string Integer(unsigned bits) { return std::to_string(Below(2) ? Bits(bits) : Below(1000)); }

 private:
  std::mt19937_64 rng_;
};

std::string Escaped(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (std::string("\"%&/<>?#").find(c) != std::string::npos) {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", static_cast<unsigned char>(c));
      out += buf;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

const unsigned kPrefixBits[7] = {40, 37, 34, 30, 27, 24, 20};

// A valid tag URI body (after "urn:epc:tag:NAME:") of `scheme` with a
// company prefix of 12 - p digits.
std::string RandomBody(Scheme scheme, unsigned p, Gen& g) {
  const unsigned cp = 12 - p;
  const std::string prefix = g.Digits(cp) + ".";
  const std::string f = std::to_string(g.Below(8)) + ".";
  const std::string string20 = Escaped(g.Chars(kGs1Chars, 1, 20));
  const std::string cpiChars = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ-/#";
  const std::string adiChars = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ-/";
  switch (scheme) {
    case Scheme::kSgtin96: return f + prefix + g.Digits(13 - cp) + "." + g.Integer(38);
    case Scheme::kSgtin198: return f + prefix + g.Digits(13 - cp) + "." + string20;
    case Scheme::kSscc96:
    case Scheme::kGsrn96:
    case Scheme::kGsrnp96: return f + prefix + g.Digits(17 - cp);
    case Scheme::kSgln96:
    case Scheme::kGdti96: return f + prefix + g.Digits(12 - cp) + "." + g.Integer(41);
    case Scheme::kSgln195: return f + prefix + g.Digits(12 - cp) + "." + string20;
    case Scheme::kGrai96: return f + prefix + g.Digits(12 - cp) + "." + g.Integer(38);
    case Scheme::kGrai170: return f + prefix + g.Digits(12 - cp) + "." + Escaped(g.Chars(kGs1Chars, 1, 16));
    case Scheme::kGiai96: return f + prefix + g.Integer(82 - kPrefixBits[p]);
    case Scheme::kGiai202:
      return f + prefix + Escaped(g.Chars(kGs1Chars, 1, std::min<size_t>((188 - kPrefixBits[p]) / 7, 30 - cp)));
    case Scheme::kGdti174: return f + prefix + g.Digits(12 - cp) + "." + Escaped(g.Chars(kGs1Chars, 1, 17));
    case Scheme::kSgcn96: return f + prefix + g.Digits(12 - cp) + "." + g.Digits(1 + g.Below(12));
    case Scheme::kCpi96: {
      uint64_t most = 1;
      for (unsigned i = 0; i < 15 - cp; ++i) most *= 10;
      return f + prefix + std::to_string(g.Below(most)) + "." + g.Integer(31);
    }
    case Scheme::kCpiVar:
      return f + prefix + Escaped(g.Chars(cpiChars, 1, 30 - cp)) + "." + std::to_string(g.Below(1000000000000));
    case Scheme::kItip110:
    case Scheme::kItip212:
      return f + prefix + g.Digits(13 - cp) + "." + g.Digits(2) + "." + g.Digits(2) + "." +
             (scheme == Scheme::kItip110 ? g.Integer(38) : string20);
    case Scheme::kGid96: return g.Integer(28) + "." + g.Integer(24) + "." + g.Integer(36);
    case Scheme::kAdiVar: {
      const std::string cage = g.Chars("0123456789ABCDEFGHJKLMNPQRSTUVWXYZ", 5, 6);
      const std::string part = g.Below(3) == 0 ? "" : g.Chars(adiChars, 1, 32);
      std::string serial = g.Chars(adiChars, 1, 29);
      if (part.empty() && g.Below(2)) serial = "#" + serial;
      return std::to_string(g.Below(64)) + "." + cage + "." + Escaped(part) + "." + Escaped(serial);
    }
    case Scheme::kNone: break;
  }
  return "";
}

bool HasPartitions(Scheme s) { return s != Scheme::kGid96 && s != Scheme::kAdiVar; }

TEST(EpcRoundTrip, RandomIdentitiesOfEverySchemeAndPartitionKeepTheirBitsAndTexts) {
  Gen g(20240527);
  size_t checked = 0;
  for (Scheme scheme : AllSchemes()) {
    for (unsigned p = 0; p < (HasPartitions(scheme) ? 7u : 1u); ++p) {
      for (int n = 0; n < 40; ++n) {
        const std::string uri = std::string("urn:epc:tag:") + SchemeName(scheme) + ":" + RandomBody(scheme, p, g);
        SCOPED_TRACE(uri);
        const Encoded e = Encode(uri);
        ASSERT_TRUE(e.ok) << ReasonCode(e.reason) << ": " << e.detail;
        ASSERT_EQ(e.scheme, scheme);
        EXPECT_EQ(e.tagUri, uri);
        EXPECT_EQ(e.pc >> 11, e.epc.size() / 2);

        const Decoded d = DecodeEpcBank(e.pc, e.epc.data(), e.epc.size());
        ASSERT_TRUE(d.ok) << ReasonCode(d.reason) << ": " << d.detail;
        EXPECT_EQ(d.tagUri, uri);
        EXPECT_EQ(d.scheme, scheme);

        // The pure identity (and element string) with the same filter and
        // scheme give the same bits.
        const EncodeOptions same{.filter = d.filter < 0 ? std::nullopt : std::optional<unsigned>(d.filter), .scheme = scheme};
        const Encoded viaPure = Encode(d.pureUri, same);
        ASSERT_TRUE(viaPure.ok) << viaPure.detail;
        EXPECT_EQ(viaPure.epc, e.epc);
        if (!d.elementString.empty()) {
          EncodeOptions withCp = same;
          withCp.companyPrefixLength = 12 - p;
          const Encoded viaKey = Encode(d.elementString, withCp);
          ASSERT_TRUE(viaKey.ok) << d.elementString << ": " << viaKey.detail;
          EXPECT_EQ(viaKey.epc, e.epc);
        }
        ++checked;
      }
    }
  }
  EXPECT_EQ(checked, 40u * (18 * 7 + 2));
}

// ---- refused EPCs -------------------------------------------------------------------

// An EPC from its fields: pairs of (value, bits).
Bytes Pack(std::initializer_list<std::pair<uint64_t, unsigned>> fields) {
  BitWriter w;
  for (const auto& [value, bits] : fields)
    for (unsigned i = bits; i-- > 0;) w.Put(i < 64 ? (value >> i) & 1 : 0, 1);
  while (w.bit_count() % 16) w.Put(0, 1);
  return w.bytes();
}

struct BadEpc {
  const char* what;
  uint16_t pc;
  Bytes epc;
  Reason reason;
};

TEST(EpcRefused, RuleBreakingEpcsDecodeToTheirRawUriWithTheReason) {
  const Bytes sgtin = H("3074257BF7194E4000001A85");
  Bytes sgtin198Hash = Pack({{0x36, 8}, {3, 3}, {5, 3}, {614141, 24}, {712345, 20}, {'3', 7}, {'#', 7}, {0, 126}});
  Bytes sgtin198Gap = Pack({{0x36, 8}, {3, 3}, {5, 3}, {614141, 24}, {712345, 20}, {'3', 7}, {0, 7}, {'2', 7}, {0, 119}});
  Bytes sgtin198Empty = Pack({{0x36, 8}, {3, 3}, {5, 3}, {614141, 24}, {712345, 20}, {0, 70}, {0, 70}});
  const BadEpc cases[] = {
      {"partition value 7", 0x3000, Pack({{0x30, 8}, {3, 3}, {7, 3}, {614141, 24}, {812345, 20}, {6789, 38}}),
       Reason::kBadPartition},
      {"a 12-digit company prefix field holding 13 digits", 0x3000,
       Pack({{0x30, 8}, {0, 3}, {0, 3}, {1000000000000, 40}, {1, 4}, {1, 38}}), Reason::kCompanyPrefixOverflow},
      {"a 7-digit company prefix field holding 8 digits", 0x3000,
       Pack({{0x30, 8}, {0, 3}, {5, 3}, {10000000, 24}, {1, 20}, {1, 38}}), Reason::kCompanyPrefixOverflow},
      {"an item reference of 7 digits beside a 7-digit prefix", 0x3000,
       Pack({{0x30, 8}, {0, 3}, {5, 3}, {614141, 24}, {1000000, 20}, {1, 38}}), Reason::kReferenceOverflow},
      {"an SGLN location reference beside a 12-digit prefix", 0x3000,
       Pack({{0x32, 8}, {0, 3}, {0, 3}, {614141, 40}, {1, 1}, {0, 41}}), Reason::kReferenceOverflow},
      {"a CPI-96 part reference of 4 digits beside a 12-digit prefix", 0x3000,
       Pack({{0x3C, 8}, {0, 3}, {0, 3}, {614141, 40}, {1000, 11}, {5, 31}}), Reason::kReferenceOverflow},
      {"a serial character outside the GS1 set", 0x6800, sgtin198Hash, Reason::kBadCharacter},
      {"serial characters after its end", 0x6800, sgtin198Gap, Reason::kBadPadding},
      {"an empty serial", 0x6800, sgtin198Empty, Reason::kEmptyField},
      {"an SSCC with reserved bits set", 0x3000, Pack({{0x31, 8}, {0, 3}, {5, 3}, {614141, 24}, {1, 34}, {1, 24}}),
       Reason::kBadPadding},
      {"an SGCN serial without its leading 1", 0x3000,
       Pack({{0x3F, 8}, {0, 3}, {5, 3}, {4012345, 24}, {67890, 17}, {204711, 41}}), Reason::kValueOutOfRange},
      {"an ITIP piece of 100", 0x3800,
       Pack({{0x40, 8}, {0, 3}, {5, 3}, {4012345, 24}, {12345, 20}, {100, 7}, {2, 7}, {987, 38}}), Reason::kValueOutOfRange},
      {"a CPI-var part reference of 24 characters beside a 7-digit prefix", 0x7800,
       Pack({{0x3D, 8}, {0, 3}, {5, 3}, {614141, 24}, {0x35, 6}, {0x35, 6}, {0x35, 6}, {0x35, 6}, {0x35, 6}, {0x35, 6},
             {0x35, 6}, {0x35, 6}, {0x35, 6}, {0x35, 6}, {0x35, 6}, {0x35, 6}, {0x35, 6}, {0x35, 6}, {0x35, 6}, {0x35, 6},
             {0x35, 6}, {0x35, 6}, {0x35, 6}, {0x35, 6}, {0x35, 6}, {0x35, 6}, {0x35, 6}, {0x35, 6}, {0, 6}, {1, 40}}),
       Reason::kTooLong},
      {"a CPI-var part reference without its end mark", 0x2000,
       Pack({{0x3D, 8}, {0, 3}, {5, 3}, {614141, 24}, {0x35, 6}, {0x35, 6}, {0x35, 6}, {0x35, 6}}),
       Reason::kMissingTerminator},
      {"a CPI-var serial of 13 digits", 0x3000,
       Pack({{0x3D, 8}, {0, 3}, {5, 3}, {614141, 24}, {0x31, 6}, {0, 6}, {1000000000000, 40}}), Reason::kValueOutOfRange},
      {"an ADI serial with '#' after a part number", 0x2800,
       Pack({{0x3B, 8}, {0, 6}, {0x20, 6}, {0x03, 6}, {0x05, 6}, {0x39, 6}, {0x36, 6}, {0x32, 6}, {0x01, 6}, {0, 6},
             {0x23, 6}, {0x31, 6}, {0, 6}}),
       Reason::kBadCharacter},
      {"a CAGE code with the letter I", 0x2800,
       Pack({{0x3B, 8}, {0, 6}, {0x20, 6}, {0x09, 6}, {0x05, 6}, {0x39, 6}, {0x36, 6}, {0x32, 6}, {0, 6}, {0x31, 6},
             {0, 6}}),
       Reason::kBadCharacter},
      {"an ADI serial without its end mark", 0x2000,
       Pack({{0x3B, 8}, {0, 6}, {0x20, 6}, {0x03, 6}, {0x05, 6}, {0x39, 6}, {0x36, 6}, {0x32, 6}, {0, 6}, {0x31, 6},
             {0x31, 6}}),
       Reason::kMissingTerminator},
      {"an unknown header", 0x3000, H("FF74257BF7194E4000001A85"), Reason::kUnknownHeader},
      {"header 00", 0x3000, H("000000000000000000000000"), Reason::kUnprogrammed},
      {"a PC word announcing no EPC", 0x0000, {}, Reason::kEmpty},
      {"an SGTIN-96 in 8 words", 0x4000, [&] { Bytes b = sgtin; b.resize(16, 0); return b; }(), Reason::kLengthMismatch},
      {"an SGTIN-96 cut to 5 words", 0x2800, Bytes(sgtin.begin(), sgtin.begin() + 10), Reason::kLengthMismatch},
      {"fewer bytes than the PC word announces", 0x3000, Bytes(sgtin.begin(), sgtin.begin() + 10), Reason::kTruncated},
  };
  for (const BadEpc& c : cases) {
    SCOPED_TRACE(c.what);
    const Decoded d = DecodeEpcBank(c.pc, c.epc.data(), c.epc.size());
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(ReasonCode(d.reason), std::string(ReasonCode(c.reason))) << d.detail;
    EXPECT_FALSE(d.detail.empty());
    const size_t shown = std::min<size_t>(c.epc.size(), (c.pc >> 11) * 2u);
    EXPECT_EQ(d.tagUri, "urn:epc:raw:" + std::to_string(shown * 8) + ".x" + HexText(c.epc.data(), shown));
    EXPECT_EQ(d.rawUri, d.tagUri);
    EXPECT_TRUE(d.pureUri.empty() && d.elementString.empty() && d.fields.empty());
  }
}

TEST(EpcRefused, TheToggleBitMakesTheAfiFormOfTheRawUri) {
  const Bytes sgtin = H("3074257BF7194E4000001A85");
  const Decoded d = DecodeEpcBank(0x31C1, sgtin.data(), sgtin.size());
  EXPECT_FALSE(d.ok);
  EXPECT_EQ(d.reason, Reason::kNotAnEpc);
  EXPECT_EQ(d.tagUri, "urn:epc:raw:96.xC1.x3074257BF7194E4000001A85");
  // The raw URI decodes back to the same PC word and bits.
  const Decoded back = DecodeText(d.tagUri);
  EXPECT_EQ(back.pc, 0x31C1);
  EXPECT_EQ(back.epc, sgtin);
  EXPECT_EQ(back.reason, Reason::kNotAnEpc);
  // Without a PC word, an odd byte is half a word.
  EXPECT_EQ(DecodeEpc(sgtin.data(), 11).reason, Reason::kTruncated);
  EXPECT_TRUE(DecodeEpc(sgtin.data(), 12).ok);
}

// ---- refused texts ------------------------------------------------------------------

struct BadText {
  const char* text;
  EncodeOptions options;
  Reason reason;
};

TEST(EpcRefused, TextsNoSchemeCanHoldAreRefusedWithTheReason) {
  const BadText cases[] = {
      {"urn:epc:tag:sgtin-96:3.0614141.812345.06789", {}, Reason::kLeadingZero},
      {"urn:epc:id:sgtin:0614141.812345.06789", {.scheme = Scheme::kSgtin96}, Reason::kLeadingZero},
      {"urn:epc:tag:giai-96:3.0614141.05678", {}, Reason::kLeadingZero},
      {"urn:epc:tag:sgtin-96:3.0614141.812345.274877906944", {}, Reason::kValueOutOfRange},
      {"urn:epc:tag:sgtin-96:3.06141.8123456.1", {}, Reason::kCompanyPrefixLength},
      {"urn:epc:tag:sgtin-96:3.0614141.8123456.1", {}, Reason::kWrongDigitCount},
      {"urn:epc:tag:sscc-96:3.0614141.123456789", {}, Reason::kWrongDigitCount},
      {"urn:epc:tag:sgtin-198:3.0614141.812345.a%23b", {}, Reason::kBadCharacter},
      {"urn:epc:tag:sgtin-198:3.0614141.812345.a/b", {}, Reason::kBadSyntax},
      {"urn:epc:tag:sgtin-198:3.0614141.812345.%41", {}, Reason::kBadSyntax},
      {"urn:epc:tag:sgtin-198:3.0614141.812345.123456789012345678901", {}, Reason::kTooLong},
      {"urn:epc:id:sgtin:0614141.812345.123456789012345678901", {}, Reason::kTooLong},
      {"urn:epc:tag:grai-170:3.0614141.12345.12345678901234567", {}, Reason::kTooLong},
      {"urn:epc:tag:giai-202:3.061414112345.1234567890123456789", {}, Reason::kTooLong},
      {"urn:epc:tag:sgcn-96:3.4012345.67890.0123456789012", {}, Reason::kTooLong},
      {"urn:epc:tag:cpi-96:3.061414112345.1000.1", {}, Reason::kValueOutOfRange},
      {"urn:epc:tag:cpi-var:3.0614141.ab.1", {}, Reason::kBadCharacter},
      {"urn:epc:tag:itip-110:3.4012345.012345.1.02.987", {}, Reason::kWrongDigitCount},
      {"urn:epc:tag:adi-var:3.35962.PQ%23.1", {}, Reason::kBadCharacter},
      {"urn:epc:tag:adi-var:3.3596.PQ.1", {}, Reason::kWrongDigitCount},
      {"urn:epc:tag:sgtin-96:8.0614141.812345.6789", {}, Reason::kBadFilter},
      {"urn:epc:tag:sgtin-96:03.0614141.812345.6789", {}, Reason::kBadFilter},
      {"urn:epc:tag:sgtin-96:3.0614141.812345.6789", {.filter = 1}, Reason::kBadFilter},
      {"urn:epc:tag:sgtin-96:3.0614141.812345.6789", {.scheme = Scheme::kSgtin198}, Reason::kSchemeMismatch},
      {"urn:epc:id:sgtin:0614141.812345.6789", {.scheme = Scheme::kSscc96}, Reason::kSchemeMismatch},
      {"urn:epc:id:sgtin:0614141.812345.6789", {.filter = 9}, Reason::kBadFilter},
      {"urn:epc:tag:sgtin-97:3.0614141.812345.6789", {}, Reason::kUnknownScheme},
      {"urn:epc:id:upui:0614141.812345.6789", {}, Reason::kUnknownScheme},
      {"urn:epc:tag:sgtin-96:3.0614141.812345", {}, Reason::kBadSyntax},
      {"(01)80614141123458(21)6789", {}, Reason::kCompanyPrefixLength},
      {"(01)80614141123459(21)6789", {.companyPrefixLength = 7}, Reason::kBadCheckDigit},
      {"(01)80614141123458", {.companyPrefixLength = 7}, Reason::kBadSyntax},
      {"(8003)00614141123452", {.companyPrefixLength = 7}, Reason::kEmptyField},
      {"(02)80614141123458", {.companyPrefixLength = 7}, Reason::kUnknownScheme},
      {"80614141123458", {}, Reason::kBadSyntax},
  };
  for (const BadText& c : cases) {
    SCOPED_TRACE(c.text);
    const Encoded e = Encode(c.text, c.options);
    EXPECT_FALSE(e.ok);
    EXPECT_EQ(ReasonCode(e.reason), std::string(ReasonCode(c.reason))) << e.detail;
    EXPECT_FALSE(e.detail.empty());
    EXPECT_TRUE(e.epc.empty());
  }
  EXPECT_EQ(Encode(std::string(kMaxTextLength + 1, 'u')).reason, Reason::kBadSyntax);
}

TEST(EpcRefused, WithoutASchemeTheFirstThatHoldsTheIdentityIsChosen) {
  EXPECT_EQ(Encode("urn:epc:id:sgtin:0614141.812345.6789").scheme, Scheme::kSgtin96);
  EXPECT_EQ(Encode("urn:epc:id:sgtin:0614141.812345.06789").scheme, Scheme::kSgtin198);
  EXPECT_EQ(Encode("urn:epc:id:sgtin:0614141.812345.A1").scheme, Scheme::kSgtin198);
  EXPECT_EQ(Encode("urn:epc:id:cpi:0614141.123ABC.1").scheme, Scheme::kCpiVar);
  EXPECT_EQ(Encode("urn:epc:id:cpi:0614141.0123.1").scheme, Scheme::kCpiVar);
  EXPECT_EQ(Encode("urn:epc:id:cpi:0614141.123.1").scheme, Scheme::kCpi96);
  // A pure identity no scheme holds is refused by decoding too.
  EXPECT_EQ(DecodeText("urn:epc:id:sgtin:0614141.812345.a#b").reason, Reason::kBadSyntax);
  EXPECT_EQ(DecodeText("urn:epc:id:sscc:0614141.123").reason, Reason::kWrongDigitCount);
}

// ---- the PC word --------------------------------------------------------------------

TEST(EpcPcWord, LengthFieldIsTheEpcWordsAndOnlyTheTagsOwnBitsAreKept) {
  EXPECT_EQ(PcWordFor(6), 0x3000);
  EXPECT_EQ(PcWordFor(13), 0x6800);
  EXPECT_EQ(PcWordFor(6, 0x7605), 0x3605);  // UMI, XI and the attribute bits kept
  EXPECT_EQ(PcWordFor(6, 0x31C1), 0x3000);  // an AFI is not kept before an EPC
  const Encoded e = Encode("urn:epc:tag:sgtin-198:3.0614141.712345.32a%2Fb", {.keepPc = 0x3400});
  ASSERT_TRUE(e.ok);
  EXPECT_EQ(e.pc, 0x6C00);
  const PcInfo i = DescribePc(0x37C1);
  EXPECT_EQ(i.words, 6u);
  EXPECT_TRUE(i.umi && i.xi && i.toggle);
  EXPECT_EQ(i.low, 0xC1);
}

// ---- the TID ------------------------------------------------------------------------

TEST(EpcTid, AllocationClassMaskDesignerModelAndSerial) {
  // E2 with an XTID whose header announces a 48-bit serial.
  const Bytes xtid = H("E28011052000123456789ABC");
  TidInfo t = DecodeTid(xtid.data(), xtid.size());
  ASSERT_TRUE(t.ok);
  EXPECT_EQ(std::string(t.className), "GS1 EPCglobal");
  EXPECT_TRUE(t.xtid);
  EXPECT_FALSE(t.security || t.file);
  EXPECT_EQ(t.mdid, 0x001);
  EXPECT_EQ(t.tmn, 0x105);
  EXPECT_TRUE(t.hasXtidHeader);
  EXPECT_EQ(t.serialBits, 48u);
  EXPECT_EQ(t.serial, "123456789ABC");
  // The same TID read only to word 4: the serial is declared, not shown.
  t = DecodeTid(xtid.data(), 10);
  EXPECT_EQ(t.serialBits, 48u);
  EXPECT_EQ(t.serial, "");
  EXPECT_FALSE(t.detail.empty());
  // A 64-bit serial (N = 2) with the segment bits.
  const Bytes longer = H("E2C0300A5C001122334455667788");
  t = DecodeTid(longer.data(), longer.size());
  EXPECT_TRUE(t.xtid && t.security);
  EXPECT_EQ(t.mdid, 0x003);
  EXPECT_EQ(t.tmn, 0x00A);
  EXPECT_TRUE(t.optionalCommandSegment && t.blockWriteSegment && t.userMemorySegment);
  EXPECT_EQ(t.serialBits, 64u);
  EXPECT_EQ(t.serial, "1122334455667788");
  // No XTID: no serial declared.
  const Bytes plain = H("E200116012345678");
  t = DecodeTid(plain.data(), plain.size());
  EXPECT_FALSE(t.xtid);
  EXPECT_EQ(t.mdid, 0x001);
  EXPECT_EQ(t.tmn, 0x160);
  EXPECT_EQ(t.serialBits, 0u);
  // ISO/IEC 7816-6: a manufacturer byte and a 48-bit serial.
  const Bytes iso = H("E004A1B2C3D4E5F6");
  t = DecodeTid(iso.data(), iso.size());
  EXPECT_TRUE(t.ok);
  EXPECT_EQ(t.mdid, 0x04);
  EXPECT_EQ(t.serial, "A1B2C3D4E5F6");
  // Unknown classes and nothing at all.
  const Bytes other = H("3000");
  EXPECT_FALSE(DecodeTid(other.data(), other.size()).ok);
  EXPECT_FALSE(DecodeTid(nullptr, 0).ok);
}

}  // namespace
}  // namespace zq::protocol::epc
