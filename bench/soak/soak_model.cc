#include "bench/soak/soak_model.h"

#include "client/commands.h"

#include <cstdio>
#include <cstdlib>
#include <unordered_map>

namespace zq::soak {

namespace {
// The reader item that holds the module type.
constexpr uint16_t kModuleTypeItem = 0x0012;
}  // namespace

// ---- settings and bounds ----------------------------------------------------

std::string IniBody(const Settings& s) {
  return "AdminCheckCut=1\nLogFileFlg=1\nLogLevel=" + std::to_string(s.logLevel) +
         "\nMaxLogFileByteLength=2000000000\nMaxBackLogFileCount=20\nBlockTimeout=" + std::to_string(s.blockTimeoutMs) +
         "\nRetryTimeout =" + std::to_string(s.retryTimeoutMs) + "\nCharacterTimeout=" +
         std::to_string(s.characterTimeoutMs) + "\nRwPowerOffOnRetryCount=" + std::to_string(s.recoveries) +
         "\nHidDeviceOpenRetryCount=" + std::to_string(s.deviceOpenRetries) + "\n";
}

namespace {
constexpr int64_t kResendPauseMs = 50;
constexpr int64_t kSchedulingMs = 500;
constexpr int64_t kBridgeChainMs = 100 + 1000 + 300;
constexpr int64_t kBridgeChains = 11;
constexpr int64_t kOperatingModeMs = 200;
constexpr int64_t kFailedRecoveryPauseMs = 500;
}  // namespace

int64_t ExchangeBoundMs(const Settings& s) {
  return s.retryTimeoutMs + 2 * (s.blockTimeoutMs + s.characterTimeoutMs) + kResendPauseMs + kSchedulingMs;
}

int64_t RecoveryBoundMs(const Settings& s) {
  return kBridgeChains * kBridgeChainMs + ExchangeBoundMs(s) + kOperatingModeMs + kFailedRecoveryPauseMs;
}

int64_t CallBoundMs(const Settings& s, int exchanges) {
  const int64_t rounds = 1 + s.recoveries;
  return rounds * exchanges * ExchangeBoundMs(s) + s.recoveries * RecoveryBoundMs(s);
}

int64_t OpenBoundMs(const Settings& s, int64_t longestCallMs) {
  const int64_t rounds = 1 + s.recoveries;
  return kBridgeChains * kBridgeChainMs + rounds * (2 * ExchangeBoundMs(s) + kOperatingModeMs) +
         s.recoveries * RecoveryBoundMs(s) + longestCallMs;
}

// ---- commands ---------------------------------------------------------------

std::vector<uint8_t> FromHex(std::string_view hex) {
  std::vector<uint8_t> out;
  protocol::ParseHexText(hex, &out);
  return out;
}

// The bytes are the client library's command set.
std::vector<uint8_t> VersionCommand() { return client::InformationCommand(client::kInfoFirmware); }
std::vector<uint8_t> ModuleTypeCommand() { return client::ItemQueryCommand(kModuleTypeItem, 1); }
std::vector<uint8_t> InventoryCommand() { return client::InventoryCommand(); }

namespace {
// The soak's tags carry the plain PC word of a 6-word EPC.
client::Bytes Address(const std::string& epcHex) {
  const client::Bytes epc = FromHex(epcHex);
  return client::TagAddress(client::PcWordFor(epc.size()), epc);
}
}  // namespace

std::vector<uint8_t> ReadUserCommand(const std::string& epcHex, int words) {
  return client::ReadCommand(Address(epcHex), client::Bank::kUser, 0, static_cast<uint8_t>(words), std::nullopt);
}

std::vector<uint8_t> WriteUserCommand(const std::string& epcHex, int address, const std::vector<uint8_t>& data) {
  return client::WriteCommand(Address(epcHex), client::Bank::kUser, static_cast<uint32_t>(address), data, std::nullopt);
}

// ---- log accounting ---------------------------------------------------------

std::string_view MirrorKey(std::string_view line) {
  size_t pos = 0;
  for (int field = 0; field < 4; ++field) {
    pos = line.find(' ', pos);
    if (pos == std::string_view::npos) return {};
    ++pos;
  }
  return line.substr(pos);
}

std::string_view LogKey(std::string_view line) {
  if (line.rfind("!!", 0) == 0) return {};
  const size_t pos = line.find("] ");
  if (pos == std::string_view::npos) return {};
  return line.substr(pos + 2);
}

LogAccount AccountRecords(const std::vector<std::string>& mirrorLines, std::string_view logText) {
  LogAccount a;
  // Keys are hashed: a long soak accounts millions of records.
  std::unordered_map<size_t, int64_t> inLog;
  const std::hash<std::string_view> hash;
  constexpr std::string_view kLostNotice = "LogOutput lost ";
  for (size_t start = 0; start < logText.size();) {
    size_t end = logText.find('\n', start);
    if (end == std::string_view::npos) end = logText.size();
    const std::string_view line = logText.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    if (line.rfind("!!", 0) == 0) {
      ++a.damaged;
      continue;
    }
    const std::string_view key = LogKey(line);
    ++a.logRecords;
    ++inLog[hash(key)];
    if (key.rfind(kLostNotice, 0) == 0) a.lostNotices += std::strtoull(std::string(key.substr(kLostNotice.size())).c_str(), nullptr, 10);
  }
  for (const std::string& line : mirrorLines) {
    if (line.empty()) continue;
    const std::string_view key = MirrorKey(line);
    ++a.sent;
    auto it = inLog.find(hash(key));
    if (it != inLog.end() && it->second > 0) {
      --it->second;
      ++a.found;
    } else if (a.lostExamples.size() < 10) {
      a.lostExamples.emplace_back(key);
    }
  }
  a.lost = a.sent - a.found;
  return a;
}

}  // namespace zq::soak
