// CDllPort: device restart. The port is closed, the device is found among
// the present device nodes of the HID setup class by the restart pattern
// (its instance ID holds the pattern, or one of its hardware or compatible
// IDs matches it as a wildcard pattern), and the USB device behind it is
// reset; the caller reopens the port.
//
// Sections: DeviceRestart and DoDeviceRestart; DevConRestart.
#include <string>
#include <vector>

#include "comm/port.h"
#include "comm/restart_rules.h"
#include "platform/devices/hid_names.h"
#include "platform/os/win32_errors.h"

namespace zq::comm {
namespace {

constexpr size_t kInstanceIdMax = 200;
constexpr size_t kReasonTraceMax = 260;
constexpr uint32_t kHidClassIndex = 2;  // of the class table "USB", "PORTS", "HIDCLASS"

std::string TextOf(const char* s, size_t bound) {
  std::string out;
  for (size_t i = 0; s && i < bound && s[i] != '\0'; ++i) out += s[i];
  return out;
}

}  // namespace

// ---- DeviceRestart and DoDeviceRestart -------------------------------------------------------

int32_t CDllPort::DoDeviceRestart(const RestartParams& p) {
  trace().Line(Api("DeviceRestart() start"), p.value, 0, 0);
  const int32_t result = RunDeviceRestart(p.reason, p.value);
  trace().Line(Api("DeviceRestart() end"), static_cast<uint32_t>(result), 0, 0);
  return result;
}

int32_t CDllPort::RunDeviceRestart(const char* reasonText, uint32_t value) {
  trace().Text("DoDeviceRestart() start", TextOf(reasonText, kReasonTraceMax));
  const RestartReason reason = ReasonOf(reasonText);
  // A device that just failed a write or an open is given one more chance
  // before it is restarted.
  if (reason.refusable && restart_refusal_ == 1) {
    restart_refusal_ = 0;
    trace().Line(reason.refusedCode, 1, value, 0);
    return kResultRestartRefused;
  }
  if (restart_pattern_.empty()) {
    trace().Line("AAXF", 1, value, 0);
    return 0;
  }
  if (uint32_t w = port_lock_.Wait(side_->timings.portLockRestartMs); w != platform::kWaitObject0) {
    trace().Line("AAX0", 2, w, platform::LastError());
    const uint32_t data[2] = {static_cast<uint32_t>(kResultRestartLockBusy), 0};
    ReportEvent(platform::EventType::kWarning, kEventRestartFailed, 1, nullptr, data, sizeof data);
    return kResultRestartLockBusy;
  }
  if (reason.first) trace().Line(reason.first, 1, 0, 0);
  trace().Line("AAX6", 1, 0, 0);
  TearDownDevice();  // the port is left closed, whatever comes next
  trace().Line("AAX7", 1, 0, 0);
  ReportEvent(platform::EventType::kWarning, kEventRestartBegins, 1, reason.cause, &value, sizeof value);

  uint32_t systemError = 0;
  const int32_t result = DevConRestart(&systemError);
  if (result != 0) {
    trace().Line("DevConRestart() error", 0, 0, 0);
    const uint32_t data[2] = {static_cast<uint32_t>(result), systemError};
    ReportEvent(platform::EventType::kWarning, kEventRestartFailed, 1, nullptr, data, sizeof data);
  }
  if (reason.second) trace().Line(reason.second, 2, static_cast<uint32_t>(result), systemError);
  port_lock_.Release();
  trace().Line("DoDeviceRestart() end", 1, systemError, 0);
  return result;
}

// ---- DevConRestart -------------------------------------------------------------------------------

int32_t CDllPort::DevConRestart(uint32_t* systemError) {
  const TraceSink& t = trace();
  t.Line("DevConRestart() start", 0, 0, 0);
  if (!systemError) {
    t.Line("AAY0", 1, kResultNothingToRestart, 0);
    return kResultNothingToRestart;
  }
  if (restart_pattern_.empty()) {
    *systemError = 0;
    t.Line("AAY1", 0, 0, 0);
    return kResultNothingToRestart;
  }
  t.Line("AAY2", 0, 0, 0);
  t.Line("AAYG", 1, kHidClassIndex, 0);
  std::vector<platform::DeviceNode> nodes;
  if (uint32_t e = platform::EnumerateHidClassNodes(&nodes); e != 0) {
    *systemError = e;
    t.Line("AAY4", 2, kResultRestartSetupFailed, e);
    return kResultRestartSetupFailed;
  }
  t.Text("AAYD", restart_pattern_);
  const platform::DeviceNode* target = nullptr;
  for (const platform::DeviceNode& node : nodes) {
    const std::string id = node.instanceId.substr(0, kInstanceIdMax);
    t.Text("AAYE devID=", id);
    if (platform::PathMatchesFragment(id, restart_pattern_)) {
      target = &node;
      break;
    }
    for (const auto* ids : {&node.hardwareIds, &node.compatibleIds}) {
      for (const std::string& hw : *ids) {
        if (WildcardMatches(hw, restart_pattern_)) {
          t.Text("AAYF", hw);
          target = &node;
          break;
        }
      }
      if (target) break;
    }
    if (target) break;
  }
  if (!target) {
    *systemError = 0;
    t.Line("AAYB", 0, 0, 0);
    return kResultNothingToRestart;
  }
  // Whoever watches the port's restart event learns of it before the device goes.
  platform::SetNamedEvent(restart_event_);
  t.Line("AAY6 Restart start", 0, 0, 0);
  int32_t result = 0;
  if (uint32_t e = platform::RestartDeviceNode(*target); e != 0) {
    *systemError = e;
    t.Line("AAY7 Restart func error", 1, e, 0);
    result = kResultRestartSetupFailed;
  } else {
    t.Line("AAY8 Restart func success", 1, 0, 0);
    *systemError = 0;
    // A reset takes effect at once: no reboot is ever needed here.
    t.Line("AAYA Restart success", 0, 0, 0);
  }
  t.Line("AAYC DevConRestart() end", 3, static_cast<uint32_t>(result), 1);
  return result;
}

}  // namespace zq::comm
