// `zelquar epc`: its arguments and output on data, and the installed
// program without a reader or driver, then with a simulated reader: an
// identity encoded, written with write-epc and read back from the inventory.
#include <gtest/gtest.h>

#include "tests/tools/tool_fixture.h"
#include "tools/zelquar/cli.h"
#include "tools/zelquar/epc_command.h"

namespace zq::tool {
namespace {

// ---- arguments and output on data ------------------------------------------------------

EpcOutput RunLine(const std::vector<std::string>& args) {
  const ParseResult r = ParseCommandLine(args);
  EXPECT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.options.command, Command::kEpc);
  return RunEpc(r.options.epcRequest);
}

TEST(ToolEpc, DecodeAndEncodeEveryInputFormInTextAndJson) {
  // The hex of an SGTIN-96, in words with blanks.
  EpcOutput out = RunLine({"epc", "decode", "3074 257B F719 4E40 0000 1A85"});
  EXPECT_EQ(out.code, ExitCode::kOk);
  EXPECT_NE(out.text.find("tag URI           urn:epc:tag:sgtin-96:3.0614141.812345.6789\n"), std::string::npos) << out.text;
  EXPECT_NE(out.text.find("gtin              80614141123458\n"), std::string::npos) << out.text;
  EXPECT_EQ(out.json["uri"], "urn:epc:tag:sgtin-96:3.0614141.812345.6789");
  EXPECT_EQ(out.json["fields"]["serial"], "6789");
  EXPECT_EQ(out.json["pc"], "3000");

  // With the tag's PC word: the toggle bit makes it an ISO UII.
  out = RunLine({"--json", "epc", "decode", "--pc", "31C1", "3074257BF7194E4000001A85"});
  EXPECT_EQ(out.code, ExitCode::kOk);
  EXPECT_EQ(out.json["identity"], false);
  EXPECT_EQ(out.json["reason"], "not_an_epc");
  EXPECT_EQ(out.json["uri"], "urn:epc:raw:96.xC1.x3074257BF7194E4000001A85");

  // An element string, encoded as the scheme asked for, keeping the PC's UMI bit.
  out = RunLine({"epc", "encode", "(01)80614141123458(21)6789", "--prefix-length", "7", "--filter", "3", "--scheme",
             "SGTIN-198", "--pc", "3400"});
  EXPECT_EQ(out.code, ExitCode::kOk);
  EXPECT_EQ(out.json["scheme"], "sgtin-198");
  EXPECT_EQ(out.json["pc"], "6C00");
  EXPECT_EQ(out.json["uri"], "urn:epc:tag:sgtin-198:3.0614141.812345.6789");
  EXPECT_NE(out.text.find("write it with: zelquar write-epc --epc OLD --new " + out.json["epc"].get<std::string>()),
            std::string::npos);

  // A pure identity decodes to its key without bits.
  out = RunLine({"epc", "decode", "urn:epc:id:sscc:0614141.1234567890"});
  EXPECT_EQ(out.json["element_string"], "(00)106141412345678908");
  EXPECT_FALSE(out.json.contains("epc"));

  // What no scheme holds, or what is no identity at all, is refused: exit 1.
  out = RunLine({"epc", "encode", "urn:epc:tag:sgtin-96:1.0614141.812345.06789"});
  EXPECT_EQ(out.code, ExitCode::kRefused);
  EXPECT_EQ(out.json["reason"], "leading_zero");
  EXPECT_EQ(out.text.rfind("epc encode refused: leading_zero: ", 0), 0u) << out.text;
  out = RunLine({"epc", "decode", "urn:epc:id:sgtin:0614141.812345"});
  EXPECT_EQ(out.code, ExitCode::kRefused);
  EXPECT_EQ(out.json["reason"], "bad_syntax");
}

TEST(ToolEpc, BadArgumentsGiveTheUsageLine) {
  const std::vector<std::vector<std::string>> bad = {
      {"epc"},
      {"epc", "decode"},
      {"epc", "translate", "3074257BF7194E4000001A85"},
      {"epc", "decode", "307425"},
      {"epc", "decode", "3074257BF7194E4000001A85", "--filter", "1"},
      {"epc", "encode", "3074257BF7194E4000001A85"},
      {"epc", "encode", "urn:epc:id:sgtin:0614141.812345.6789", "--filter", "64"},
      {"epc", "encode", "urn:epc:id:sgtin:0614141.812345.6789", "--scheme", "sgtin-97"},
      {"epc", "encode", "(01)80614141123458(21)6789", "--prefix-length", "5"},
      {"epc", "decode", "3074257BF7194E4000001A85", "--pc", "31"},
      {"epc", "decode", "urn:epc:tag:sgtin-96:1.0614141.812345.6789", "--pc", "3000"},
      {"epc", "decode", "3074257BF7194E4000001A85", "--bank", "tid"},
  };
  for (const auto& args : bad) {
    const ParseResult r = ParseCommandLine(args);
    EXPECT_FALSE(r.ok) << args.size();
    EXPECT_FALSE(r.error.empty());
    EXPECT_NE(r.usage.find("epc decode HEX|URI"), std::string::npos) << r.usage;
  }
}

}  // namespace
}  // namespace zq::tool

namespace zq::test {
namespace {

// ---- the installed program ---------------------------------------------------------------

TEST(ToolEpcProgram, WorksWithoutReaderOrDriver) {
  ToolInstall t(kToolIni, false);
  const std::map<std::string, std::string> noDriver = {{"ZELQUAR_LIBRARY", "/nonexistent/libZELQUAR_Drv.so"}};
  const ToolRun enc = t.Run({"--json", "epc", "encode", "urn:epc:tag:sgtin-96:1.0614141.812345.6789"}, noDriver);
  ASSERT_EQ(enc.exit, 0) << enc;
  const nlohmann::json j = enc.Json().at(0);
  EXPECT_EQ(j["command"], "epc");
  EXPECT_EQ(j["epc"], "3034257BF7194E4000001A85");
  EXPECT_EQ(j["fields"]["gtin"], "80614141123458");

  const ToolRun refused = t.Run({"epc", "encode", "urn:epc:tag:sgtin-96:9.0614141.812345.6789"}, noDriver);
  EXPECT_EQ(refused.exit, 1) << refused;
  EXPECT_EQ(refused.out.at(0).rfind("epc encode refused: bad_filter: ", 0), 0u) << refused;

  const ToolRun usage = t.Run({"epc", "decode", "ZZ"}, noDriver);
  EXPECT_EQ(usage.exit, 2) << usage;
  EXPECT_TRUE(usage.out.empty());
  EXPECT_NE(usage.err.find("usage: zelquar [GLOBAL] epc"), std::string::npos) << usage;
}

TEST(ToolEpcProgram, AnEncodedIdentityWrittenWithWriteEpcIsReadBackFromTheInventory) {
  ToolInstall t;
  const ToolRun enc = t.Run({"--json", "epc", "encode", "urn:epc:id:sgtin:0614141.812345.6789", "--filter", "1"});
  ASSERT_EQ(enc.exit, 0) << enc;
  const std::string epc = enc.Json().at(0)["epc"];

  const ToolRun write = t.Run({"write-epc", "--epc", kToolTagA, "--new", epc});
  ASSERT_EQ(write.exit, 0) << write;

  const ToolRun inv = t.Run({"--json", "inventory"});
  ASSERT_EQ(inv.exit, 0) << inv;
  std::string pc;
  const nlohmann::json listing = inv.Json().at(0);
  for (const auto& tag : listing["tags"])
    if (tag["epc"] == epc) pc = tag["pc"].get<std::string>();
  ASSERT_EQ(pc, "3000") << inv;

  const ToolRun dec = t.Run({"epc", "decode", "--pc", pc, epc});
  ASSERT_EQ(dec.exit, 0) << dec;
  EXPECT_NE(dec.Out().find("tag URI           urn:epc:tag:sgtin-96:1.0614141.812345.6789\n"), std::string::npos) << dec;
  EXPECT_NE(dec.Out().find("gtin              80614141123458\n"), std::string::npos) << dec;
}

// One command writes an identity; the inventory shows it beside the hex,
// as text and as JSON, and the old EPC is gone.
TEST(ToolEpcProgram, WriteEpcWithAUriShowsTheGtinAndSerialInTheInventory) {
  ToolInstall t;
  const std::string uri = "urn:epc:tag:sgtin-96:1.0614141.812345.6789";
  const ToolRun write = t.Run({"--json", "write-epc", "--epc", kToolTagB, "--uri", uri});
  ASSERT_EQ(write.exit, 0) << write;
  const nlohmann::json w = write.Json().at(0);
  EXPECT_EQ(w["uri"], uri);
  const std::string epc = w["new"];

  const ToolRun inv = t.Run({"--json", "inventory"});
  ASSERT_EQ(inv.exit, 0) << inv;
  nlohmann::json written;
  const nlohmann::json listing = inv.Json().at(0);
  for (const auto& tag : listing["tags"]) {
    EXPECT_NE(tag["epc"], kToolTagB) << inv;
    EXPECT_TRUE(tag.contains("uri")) << tag;  // every tag carries its URI, GS1 or raw
    if (tag["epc"] == epc) written = tag;
  }
  ASSERT_TRUE(written.is_object()) << inv << "\nwrite-epc: " << write;
  EXPECT_EQ(written["uri"], uri);
  EXPECT_EQ(written["identity"]["gtin"], "80614141123458");
  EXPECT_EQ(written["identity"]["serial"], "6789");
  // The simulator holds what the inventory shows.
  EXPECT_FALSE(t.SimTag(epc).is_null());

  const ToolRun text = t.Run({"inventory"});
  ASSERT_EQ(text.exit, 0) << text;
  EXPECT_NE(text.Out().find(epc + "  "), std::string::npos) << text;
  EXPECT_NE(text.Out().find("(01)80614141123458(21)6789"), std::string::npos) << text;

  // A URI that does not encode is refused before anything is sent.
  const uint64_t before = t.Received();
  const ToolRun bad = t.Run({"write-epc", "--epc", epc, "--uri", "urn:epc:tag:sgtin-96:9.0614141.812345.6789"});
  EXPECT_EQ(bad.exit, 2) << bad;
  EXPECT_NE(bad.err.find("--uri"), std::string::npos) << bad;
  EXPECT_EQ(t.Received(), before);
}

}  // namespace
}  // namespace zq::test
