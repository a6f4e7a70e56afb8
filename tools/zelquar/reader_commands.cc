// The commands on the reader and its bridge (power, info, version, GPIO,
// serial string, raw commands, the readers present), the log reader and the
// identities that need no reader.
//
// Sections: the reader; the log reader; epc.
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/devices/hid.h"
#include "tools/logview.h"
#include "tools/zelquar/commands.h"
#include "tools/zelquar/epc_command.h"

#ifndef ZQ_TOOL_VERSION
#define ZQ_TOOL_VERSION "0"
#endif

namespace zq::tool {

namespace platform = zq::platform;

ExitCode CmdPower(const Options& o, Session& s) {
  int32_t sts = 0;
  const int32_t rc = s.PowerCtrl(o.on ? 3 : 0, &sts);
  if (rc != RFRW_SUCCESS) return s.DriverFailure("RFRW_PowerCtrl", rc);
  const uint16_t sw = static_cast<uint16_t>(sts);
  if (sw != 0x9000) return Refused(o, std::string("power ") + (o.on ? "on" : "off"), sw, std::nullopt);
  if (g_json) {
    nlohmann::json j = Base(o, true);
    j["power"] = o.on ? "on" : "off";
    j.update(StatusJson(sw));
    Emit(j);
  } else {
    Say(std::string("RF power ") + (o.on ? "on" : "off") + "\n");
  }
  return ExitCode::kOk;
}

namespace {

// One command whose response must end in 90 00; *data the bytes before it.
ExitCode Query(const Options& o, Session& s, const Bytes& command, const std::string& what, Bytes* data) {
  Bytes response;
  const int32_t rc = s.Transmit(command, &response);
  if (rc != RFRW_SUCCESS) return s.DriverFailure("RFRW_CLRW_Transmit (" + what + ")", rc);
  const Response r = SplitResponse(response);
  if (!r.ok()) return Refused(o, what, r.sw.value_or(0x6403), std::nullopt);
  *data = r.data;
  return ExitCode::kOk;
}

}  // namespace

ExitCode CmdInfo(const Options& o, Session& s) {
  uint8_t version[8] = {};
  const int32_t vrc = s.DllVersion(version);
  if (vrc != RFRW_SUCCESS) return s.DriverFailure("RFRW_GetDllVersion", vrc);
  Bytes type, firmware, block;
  if (ExitCode e = Query(o, s, InformationCommand(kInfoReaderType), "reader type", &type); e != ExitCode::kOk) return e;
  if (ExitCode e = Query(o, s, InformationCommand(kInfoFirmware), "firmware version", &firmware); e != ExitCode::kOk) return e;
  Bytes response;
  const int32_t rc = s.Transmit(InformationCommand(kInfoBlock), &response);
  if (rc != RFRW_SUCCESS) return s.DriverFailure("RFRW_CLRW_Transmit (information block)", rc);
  const InfoBlock info = ParseInfoBlock(response);
  if (g_json) {
    nlohmann::json j = Base(o, true);
    j.update({{"driver_version", DllVersionText(version)},
              {"reader_type", ToHex(type)},
              {"firmware_version", ToHex(firmware)},
              {"information_block", InfoBlockJson(info)}});
    Emit(j);
  } else {
    Say("driver version   " + DllVersionText(version) + "\nreader type      " + ToHex(type) + "\nfirmware version " +
        ToHex(firmware) + "\n" + InfoBlockText(info));
  }
  return ExitCode::kOk;
}

ExitCode CmdVersion(const Options& o, Session& s) {
  uint8_t version[8] = {};
  const int32_t rc = s.DllVersion(version);
  if (rc != RFRW_SUCCESS) return s.DriverFailure("RFRW_GetDllVersion", rc);
  if (g_json) {
    nlohmann::json j = Base(o, true);
    j.update({{"tool_version", ZQ_TOOL_VERSION}, {"driver_version", DllVersionText(version)}});
    Emit(j);
  } else {
    Say(std::string("zelquar ") + ZQ_TOOL_VERSION + "\ndriver  " + DllVersionText(version) + "\n");
  }
  return ExitCode::kOk;
}

ExitCode CmdGpio(const Options& o, Session& s) {
  Bytes data;
  if (o.gpioWrite) {
    if (ExitCode e = Query(o, s, GpioWriteCommand(static_cast<uint8_t>(*o.gpioLine), o.on), "gpio write", &data);
        e != ExitCode::kOk)
      return e;
    if (g_json) {
      nlohmann::json j = Base(o, true);
      j.update({{"line", *o.gpioLine}, {"value", o.on ? 1 : 0}});
      Emit(j);
    } else {
      Say("GPIO " + std::to_string(*o.gpioLine) + " = " + (o.on ? "1" : "0") + "\n");
    }
    return ExitCode::kOk;
  }
  if (ExitCode e = Query(o, s, GpioReadCommand(), "gpio read", &data); e != ExitCode::kOk) return e;
  if (data.size() != 2) return Refused(o, "gpio read (short response)", 0x6403, std::nullopt);
  const unsigned lines = data[0] << 8 | data[1];
  if (g_json) {
    nlohmann::json j = Base(o, true);
    j["lines"] = ToHex(data);
    if (o.gpioLine) j.update({{"line", *o.gpioLine}, {"value", (lines >> *o.gpioLine) & 1}});
    Emit(j);
  } else if (o.gpioLine) {
    Say("GPIO " + std::to_string(*o.gpioLine) + " = " + std::to_string((lines >> *o.gpioLine) & 1) + "\n");
  } else {
    std::string bits;
    for (int i = 15; i >= 0; --i) bits.push_back((lines >> i) & 1 ? '1' : '0');
    Say("GPIO 15..0 = " + bits + " (" + ToHex(data) + ")\n");
  }
  return ExitCode::kOk;
}

ExitCode CmdSerial(const Options& o, Session& s) {
  Bytes data;
  if (o.serialSet) {
    if (ExitCode e = Query(o, s, *SerialSetCommand(o.serialText), "serial set", &data); e != ExitCode::kOk) return e;
    if (g_json) {
      nlohmann::json j = Base(o, true);
      j["serial"] = o.serialText;
      Emit(j);
    } else {
      Say("serial string set to \"" + o.serialText + "\"\n");
    }
    return ExitCode::kOk;
  }
  if (ExitCode e = Query(o, s, SerialGetCommand(), "serial get", &data); e != ExitCode::kOk) return e;
  const std::string text = DecodeSerialArea(data);
  if (g_json) {
    nlohmann::json j = Base(o, true);
    j.update({{"serial", text}, {"area", ToHex(data)}});
    Emit(j);
  } else {
    Say(text + "\n");
  }
  return ExitCode::kOk;
}

ExitCode CmdRaw(const Options& o, Session& s) {
  Bytes response;
  const int32_t rc = s.Transmit(o.raw, &response);
  if (rc != RFRW_SUCCESS) return s.DriverFailure("RFRW_CLRW_Transmit", rc);
  const Response r = SplitResponse(response);
  std::optional<uint8_t> status;
  if (r.sw && *r.sw != 0x9000 && !r.data.empty()) status = r.data[0];
  if (g_json) {
    nlohmann::json j = Base(o, r.ok());
    j.update({{"sent", ToHex(o.raw)}, {"response", ToHex(response)}, {"data", ToHex(r.data)}});
    if (r.sw) j.update(StatusJson(*r.sw, status));
    Emit(j);
  } else {
    Say("response " + (response.empty() ? std::string("(empty)") : ToHex(response)) + "\n");
    if (r.sw) Say(StatusText(*r.sw, status) + "\n");
    else Say("no status word (response shorter than 2 bytes)\n");
  }
  return r.ok() ? ExitCode::kOk : ExitCode::kRefused;
}

ExitCode CmdReaders(const Options& o) {
  size_t count = 0;
  if (zq_list_readers(nullptr, 0, &count) != ZQ_OK) return NoDriver();
  std::vector<zq_reader_info> readers(count);
  if (count && zq_list_readers(readers.data(), readers.size(), &count) != ZQ_OK) return NoDriver();
  readers.resize(std::min(count, readers.size()));
  if (g_json) {
    nlohmann::json list = nlohmann::json::array();
    for (const zq_reader_info& r : readers)
      list.push_back({{"serial", r.serial}, {"path", r.path}, {"simulated", r.simulated != 0}});
    nlohmann::json j = Base(o, true);
    j["readers"] = list;
    Emit(j);
  } else {
    for (const zq_reader_info& r : readers)
      Say(std::string(r.serial[0] ? r.serial : "(no serial number)") + "  " + (r.simulated ? "simulated" : "USB") + "  " +
          r.path + "\n");
    Say(std::to_string(readers.size()) + (readers.size() == 1 ? " reader\n" : " readers\n"));
  }
  return ExitCode::kOk;
}

// ---- the log reader ------------------------------------------------------------------------

namespace {

void PrintLogLines(const std::string& text, std::optional<size_t> last) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  size_t from = last && *last < lines.size() ? lines.size() - *last : 0;
  for (size_t i = from; i < lines.size(); ++i) {
    if (g_json) Emit({{"record", lines[i]}});
    else Say(lines[i] + "\n");
  }
}

}  // namespace

ExitCode CmdLog(const Options& o) {
  const std::string file = o.logFile.empty() ? DirectoryOf(DriverPath()) + "/ZELQUAR_DrvDLL_Log.LOG" : o.logFile;
  bool exists = false;
  std::vector<uint8_t> bytes = zq::logview::ReadFrom(file, 0, &exists);
  if (!exists) {
    return Failure(ExitCode::kRefused, "no log",
                   "cannot open the log file " + file + " (logging is on with LogFileFlg=1 in ZELQUAR_Drv.ini)");
  }
  std::string text;
  std::streamoff offset =
      static_cast<std::streamoff>(logview::DecodeToText(bytes.data(), bytes.size(), !o.follow, &text));
  PrintLogLines(text, o.last);
  while (o.follow && platform::SleepUnlessSignalled(200)) {
    std::ifstream again(file, std::ios::binary | std::ios::ate);
    if (again && again.tellg() < offset) offset = 0;  // a rotated file starts again
    bytes = zq::logview::ReadFrom(file, offset, &exists);
    text.clear();
    offset += static_cast<std::streamoff>(logview::DecodeToText(bytes.data(), bytes.size(), false, &text));
    PrintLogLines(text, std::nullopt);
  }
  return ExitCode::kOk;
}

// ---- epc: identities without a reader -------------------------------------------------------

ExitCode CmdEpc(const Options& o) {
  const EpcOutput out = RunEpc(o.epcRequest);
  if (g_json) Emit(out.json);
  else Say(out.text);
  return out.code;
}

}  // namespace zq::tool
