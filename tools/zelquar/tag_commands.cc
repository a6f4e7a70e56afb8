// The commands on the field and on one tag: inventory (once or watching),
// read, write, lock, kill, write-epc.
//
// Sections: inventory; read and write; lock and kill; write-epc.
#include <algorithm>
#include <string>
#include <vector>

#include "platform/os/clock.h"
#include "platform/os/stop_signals.h"
#include "tools/zelquar/commands.h"

namespace zq::tool {

namespace platform = zq::platform;

namespace {

// The whole field through the library: *out the tags, *rounds the rounds
// it took and *several whether the field held more than one reply lists.
int32_t InventoryField(const Options& o, Session& s, bool withRssi, Inventory* out, unsigned* rounds, bool* several,
                       zq_outcome* outcome) {
  zq_inventory_options opts = zq_inventory_defaults();
  opts.with_rssi = withRssi ? 1 : 0;
  opts.rssi_raw = o.rssiRaw ? 1 : 0;
  zq_tag_list* list = nullptr;
  const int32_t res = s.Call("inventory", [&](zq_reader* r, zq_outcome* oc) { return zq_inventory(r, &opts, &list, oc); },
                             outcome);
  *out = Inventory{};
  out->ok = res == ZQ_OK;
  out->sw = outcome->status_word ? outcome->status_word : 0x6403;
  *rounds = 0;
  *several = false;
  if (list) {
    for (size_t i = 0; i < list->count; ++i) {
      const zq_tag& t = list->tags[i];
      InventoryTag tag;
      tag.pc = t.pc;
      tag.epc.assign(t.epc, t.epc + t.epc_length);
      tag.crc = t.crc;
      tag.rssiRaw = t.rssi_raw;
      out->tags.push_back(std::move(tag));
    }
    *rounds = list->rounds;
    *several = list->several_rounds != 0;
    zq_tag_list_free(list);
  }
  return res;
}

}  // namespace

namespace {

ExitCode RunInventoryOnce(const Options& o, Session& s, Inventory* out) {
  zq_outcome outcome;
  unsigned rounds = 0;
  bool several = false;
  const int32_t res = InventoryField(o, s, false, out, &rounds, &several, &outcome);
  if (res == kStopped) return Interrupted();
  if (res == ZQ_DRIVER_ERROR) return s.DriverFailure("RFRW_CLRW_Transmit (inventory)", outcome.driver_result);
  return ExitCode::kOk;
}

}  // namespace

ExitCode CmdInventory(const Options& o, Session& s) {
  if (!o.watch) {
    Inventory inv;
    zq_outcome outcome;
    unsigned rounds = 0;
    bool several = false;
    const int32_t res = InventoryField(o, s, true, &inv, &rounds, &several, &outcome);
    if (res == kStopped) return Interrupted();
    if (res == ZQ_DRIVER_ERROR) return s.DriverFailure("RFRW_CLRW_Transmit (inventory)", outcome.driver_result);
    if (!inv.ok) return Refused(o, "inventory", inv.sw, std::nullopt);
    if (g_json) {
      nlohmann::json j = InventoryJson(inv, o.rssiRaw);
      j["rounds"] = rounds;
      j["several_rounds"] = several;
      Emit(j);
    } else {
      Say(InventoryText(inv, o.rssiRaw));
      if (several)
        Say("(the field held more tags than one reply lists: " + std::to_string(rounds) + " inventory rounds)\n");
    }
    return ExitCode::kOk;
  }
  WatchTracker tracker(o.goneMs);
  const uint32_t start = platform::TickCount();
  if (!g_json) Say("watching (every " + std::to_string(o.intervalMs) + " ms; Ctrl-C ends)\n");
  while (platform::StopSignalReceived() == 0) {
    Inventory inv;
    zq_outcome outcome;
    unsigned rounds = 0;
    bool several = false;
    const int32_t res = InventoryField(o, s, true, &inv, &rounds, &several, &outcome);
    const int32_t rc = res == ZQ_DRIVER_ERROR ? outcome.driver_result : RFRW_SUCCESS;
    const uint64_t now = platform::TickCount() - start;
    if (res == kStopped) break;
    if (rc != RFRW_SUCCESS) {
      // A failed round is reported and the watch goes on: the driver recovers the reader itself.
      if (g_json) Emit({{"event", "error"}, {"at_ms", now}, {"driver", DriverErrorJson("RFRW_CLRW_Transmit", rc)}});
      else Complain(DriverErrorText("RFRW_CLRW_Transmit (inventory)", rc));
    } else {
      if (!inv.ok) {
        if (g_json) Emit({{"event", "refused"}, {"at_ms", now}, {"status_word", StatusJson(inv.sw)["status_word"]}});
        else Complain("inventory refused: " + StatusText(inv.sw));
      }
      for (const WatchEvent& e : tracker.Round(inv, now)) {
        if (g_json) Emit(WatchEventJson(e, o.rssiRaw));
        else Say(WatchEventText(e, o.rssiRaw));
      }
    }
    platform::SleepUnlessSignalled(o.intervalMs);
  }
  const uint64_t duration = platform::TickCount() - start;
  if (g_json) Emit(WatchSummaryJson(tracker, duration, o.rssiRaw));
  else Say(WatchSummaryText(tracker, duration, o.rssiRaw));
  return ExitCode::kOk;
}

namespace {

nlohmann::json TagJson(const Options& o) {
  nlohmann::json j = {{"epc", ToHex(o.epc)}, {"pc", ToHex(TagAddress(o.pc ? *o.pc : PcWordFor(o.epc.size()), {}))}};
  return j;
}

}  // namespace

namespace {

// Read: `words` words of `bank` from `pointer` of the tag with this EPC
// (pc -1: its PC word from the field); *outcome its decoded response.
ExitCode ReadWords(const Options& o, Session& s, const Bytes& epc, int32_t pc, Bank bank, uint32_t pointer,
                   uint8_t words, TagOutcome* outcome) {
  Bytes data(2 * static_cast<size_t>(words));
  size_t got = 0;
  zq_outcome out;
  const int32_t res = s.Call("read", [&](zq_reader* r, zq_outcome* oc) {
    return zq_read(r, epc.data(), epc.size(), pc, static_cast<zq_bank>(bank), pointer, words,
                   o.password ? o.password->data() : nullptr, data.data(), data.size(), &got, oc);
  }, &out);
  data.resize(got);
  ExitCode code = ExitCode::kOk;
  const std::optional<TagOutcome> t = TagResult(s, "RFRW_CLRW_Transmit (read)", res, out, data, &code);
  if (!t) return code;
  *outcome = *t;
  return ExitCode::kOk;
}

}  // namespace

ExitCode CmdRead(const Options& o, Session& s) {
  TagOutcome out;
  if (ExitCode e = ReadWords(o, s, o.epc, PcArgument(o), o.bank, o.pointer, o.words, &out); e != ExitCode::kOk) return e;
  nlohmann::json where = TagJson(o);
  where.update({{"bank", BankName(o.bank)}, {"ptr", o.pointer}, {"words", o.words}});
  if (!out.ok) return Refused(o, "read", out.sw, out.readerStatus, where);
  if (g_json) {
    nlohmann::json j = Base(o, true);
    j.update(where);
    j["data"] = ToHex(out.data);
    if (o.bank == Bank::kTid) j["chip"] = ChipJson(out.data);
    j.update(StatusJson(out.sw));
    Emit(j);
  } else {
    std::string words;
    for (size_t i = 0; i + 1 < out.data.size(); i += 2) words += (i ? " " : "") + ToHex(&out.data[i], 2);
    Say(std::string(BankName(o.bank)) + "[" + std::to_string(o.pointer) + ".." + std::to_string(o.pointer + o.words - 1) +
        "]: " + words + "\n");
    if (o.bank == Bank::kTid && o.pointer == 0) Say(ChipText(out.data));
  }
  return ExitCode::kOk;
}

namespace {

// Writes `data` at `pointer` of `bank` of the tag with this EPC (pc -1:
// its PC word from the field).
ExitCode WriteWords(const Options& o, Session& s, const Bytes& epc, int32_t pc, Bank bank, uint32_t pointer,
                    const Bytes& data, TagOutcome* outcome) {
  zq_outcome out;
  const int32_t res = s.Call("write", [&](zq_reader* r, zq_outcome* oc) {
    return zq_write(r, epc.data(), epc.size(), pc, static_cast<zq_bank>(bank), pointer, data.data(), data.size(), 0,
                    o.password ? o.password->data() : nullptr, oc);
  }, &out);
  ExitCode code = ExitCode::kOk;
  const std::optional<TagOutcome> t = TagResult(s, "RFRW_CLRW_Transmit (write)", res, out, {}, &code);
  if (!t) return code;
  *outcome = *t;
  return ExitCode::kOk;
}

}  // namespace

ExitCode CmdWrite(const Options& o, Session& s) {
  TagOutcome out;
  if (ExitCode e = WriteWords(o, s, o.epc, PcArgument(o), o.bank, o.pointer, o.data, &out); e != ExitCode::kOk) return e;
  nlohmann::json where = TagJson(o);
  where.update({{"bank", BankName(o.bank)}, {"ptr", o.pointer}, {"data", ToHex(o.data)}});
  if (!out.ok) {
    if (out.wordsWritten) where["words_written"] = *out.wordsWritten;
    return Refused(o, "write" + (out.wordsWritten ? " (" + std::to_string(*out.wordsWritten) + " word(s) written)" : std::string()),
                   out.sw, out.readerStatus, where);
  }
  const size_t words = o.data.size() / 2;
  if (!o.verify) {
    if (g_json) {
      nlohmann::json j = Base(o, true);
      j.update(where);
      j.update(StatusJson(out.sw));
      Emit(j);
    } else {
      Say("wrote " + std::to_string(words) + (words == 1 ? " word" : " words") + " to " + BankName(o.bank) + "[" +
          std::to_string(o.pointer) + "]\n");
    }
    return ExitCode::kOk;
  }
  // The read-back addresses the tag as it now is: a write to the EPC bank
  // may have given it another PC word or EPC.
  const bool epcBank = o.bank == Bank::kEpc;
  const Bytes now = epcBank ? AddressAfterEpcWrite(o.Address(), o.pointer, o.data) : o.Address();
  TagOutcome back;
  const Bytes nowEpc(now.begin() + std::min<size_t>(2, now.size()), now.end());
  const int32_t nowPc = epcBank && now.size() >= 2 ? (now[0] << 8 | now[1]) : PcArgument(o);
  if (ExitCode e = ReadWords(o, s, nowEpc, nowPc, o.bank, o.pointer, static_cast<uint8_t>(words), &back);
      e != ExitCode::kOk)
    return e;
  const bool same = back.ok && back.data == o.data;
  if (g_json) {
    nlohmann::json j = Base(o, same);
    j.update(where);
    j.update(StatusJson(out.sw));
    j["verified"] = same;
    j["read_back"] = back.ok ? nlohmann::json(ToHex(back.data)) : nlohmann::json(nullptr);
    if (!back.ok) j["read_back_status"] = StatusJson(back.sw, back.readerStatus);
    Emit(j);
  } else {
    Say("wrote " + std::to_string(words) + (words == 1 ? " word" : " words") + " to " + BankName(o.bank) + "[" +
        std::to_string(o.pointer) + "]\n");
    if (same) Say("verified: read back " + ToHex(back.data) + "\n");
    else if (back.ok) Say("verify FAILED: read back " + ToHex(back.data) + ", wrote " + ToHex(o.data) + "\n");
    else Say("verify FAILED: read back refused: " + StatusText(back.sw, back.readerStatus) + "\n");
  }
  return same ? ExitCode::kOk : ExitCode::kRefused;
}

namespace {

ExitCode TagStatusCommand(const Options& o, Session& s, const std::string& what, nlohmann::json where,
                          const std::string& doneText) {
  zq_outcome out;
  const int32_t pc = PcArgument(o);
  const int32_t res = s.Call(what, [&](zq_reader* r, zq_outcome* oc) {
    return what == "lock" ? zq_lock(r, o.epc.data(), o.epc.size(), pc, o.password->data(), o.payload.data(), oc)
                          : zq_kill(r, o.epc.data(), o.epc.size(), pc, o.password->data(), oc);
  }, &out);
  ExitCode code = ExitCode::kOk;
  const std::optional<TagOutcome> t = TagResult(s, "RFRW_CLRW_Transmit (" + what + ")", res, out, {}, &code);
  if (!t) return code;
  if (!t->ok) return Refused(o, what, t->sw, t->readerStatus, where);
  if (g_json) {
    nlohmann::json j = Base(o, true);
    j.update(where);
    j.update(StatusJson(t->sw));
    Emit(j);
  } else {
    Say(doneText + "\n");
  }
  return ExitCode::kOk;
}

}  // namespace

ExitCode CmdLock(const Options& o, Session& s) {
  nlohmann::json where = TagJson(o);
  where["payload"] = ToHex(o.payload);
  if (!o.lockForms.empty()) where["lock"] = o.lockForms;
  // What was asked, not "locked": the payload may unlock as well.
  const std::string done = o.lockForms.empty()
                               ? "lock payload " + ToHex(o.payload) + " applied to " + ToHex(o.epc)
                               : o.lockForms + " applied to " + ToHex(o.epc) + " (payload " + ToHex(o.payload) + ")";
  return TagStatusCommand(o, s, "lock", where, done);
}

ExitCode CmdKill(const Options& o, Session& s) {
  return TagStatusCommand(o, s, "kill", TagJson(o), "killed " + ToHex(o.epc));
}

ExitCode CmdWriteEpc(const Options& o, Session& s) {
  nlohmann::json steps = nlohmann::json::array();
  auto finish = [&](bool ok, ExitCode code) {
    if (g_json) {
      nlohmann::json j = Base(o, ok);
      j.update({{"epc", ToHex(o.epc)}, {"new", ToHex(o.newEpc)}, {"steps", steps}});
      if (!o.newUri.empty()) j["uri"] = o.newUri;
      Emit(j);
    }
    return code;
  };
  auto step = [&](const std::string& name, bool ok, const std::string& text, nlohmann::json detail) {
    detail["step"] = name;
    detail["ok"] = ok;
    detail["text"] = text;
    steps.push_back(detail);
    if (!g_json) Say(std::to_string(steps.size()) + ". " + name + ": " + text + "\n");
  };

  // 1. The tag's own PC word, by inventory: its other bits are kept.
  Inventory before;
  if (ExitCode e = RunInventoryOnce(o, s, &before); e != ExitCode::kOk) return e;  // reported already
  if (!before.ok) {
    step("find", false, "inventory refused: " + StatusText(before.sw), StatusJson(before.sw));
    return finish(false, ExitCode::kRefused);
  }
  const InventoryTag* found = nullptr;
  for (const InventoryTag& t : before.tags)
    if (t.epc == o.epc) found = &t;
  if (!found) {
    step("find", false, "no tag with EPC " + ToHex(o.epc) + " in the field", {});
    return finish(false, ExitCode::kRefused);
  }
  const uint16_t oldPc = found->pc;
  const uint16_t newPc = PcWordFor(o.newEpc.size(), oldPc);
  char pcText[40];
  std::snprintf(pcText, sizeof pcText, "PC %04X", oldPc);
  step("find", true, "found " + ToHex(o.epc) + " (" + pcText + ")", {{"pc", ToHex(TagAddress(oldPc, {}))}});
  if (platform::StopSignalReceived()) {
    Complain("interrupted");
    return finish(false, ExitCode::kInterrupted);
  }

  // 2. The PC word (EPC bank word 1) and the EPC after it, in one write.
  Bytes data = TagAddress(newPc, o.newEpc);
  TagOutcome written;
  if (ExitCode e = WriteWords(o, s, o.epc, oldPc, Bank::kEpc, 1, data, &written); e != ExitCode::kOk)
    return e;  // reported already
  std::snprintf(pcText, sizeof pcText, "PC %04X", newPc);
  if (!written.ok) {
    nlohmann::json d = StatusJson(written.sw, written.readerStatus);
    if (written.wordsWritten) d["words_written"] = *written.wordsWritten;
    step("write", false,
         "refused" + (written.wordsWritten ? " after " + std::to_string(*written.wordsWritten) + " word(s)" : std::string()) +
             ": " + StatusText(written.sw, written.readerStatus),
         d);
    return finish(false, ExitCode::kRefused);
  }
  step("write", true,
       "wrote " + std::string(pcText) + " and EPC " + ToHex(o.newEpc) + " (" + std::to_string(data.size() / 2) +
           " words from EPC bank word 1)",
       {{"pc", ToHex(TagAddress(newPc, {}))}, {"words", data.size() / 2}});
  if (platform::StopSignalReceived()) {
    Complain("interrupted");
    return finish(false, ExitCode::kInterrupted);
  }

  // 3. The tag answers with its new EPC (and no longer with the old one).
  Inventory after;
  if (ExitCode e = RunInventoryOnce(o, s, &after); e != ExitCode::kOk) return e;  // reported already
  bool seenNew = false;
  bool seenOld = false;
  for (const InventoryTag& t : after.tags) {
    if (t.epc == o.newEpc && t.pc == newPc) seenNew = true;
    if (t.epc == o.epc) seenOld = true;
  }
  if (o.newEpc == o.epc) seenOld = false;
  const bool ok = after.ok && seenNew && !seenOld;
  std::string text = !after.ok ? "inventory refused: " + StatusText(after.sw)
                     : ok      ? "inventory shows " + ToHex(o.newEpc) + " (" + pcText + ")"
                     : !seenNew ? "inventory does not show " + ToHex(o.newEpc)
                                : "inventory still shows the old EPC " + ToHex(o.epc);
  step("verify", ok, text, {{"seen_new", seenNew}, {"seen_old", seenOld}});
  return finish(ok, ok ? ExitCode::kOk : ExitCode::kRefused);
}

}  // namespace zq::tool
