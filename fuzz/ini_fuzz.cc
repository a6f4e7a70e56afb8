// Fuzz target: the INI reader with any file text, and the driver's reading
// of its settings from it. Input: a first line "SECTION|KEY" (a lookup of
// its own), then the file text.
//
// Every lookup obeys its contract: a string is its value cut to the buffer,
// a value of plain digits reads as its number, and the driver's text
// settings stay zero-terminated inside their fields (their log lines print
// them as strings).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "driver/api/config.h"
#include "driver/state/shared_area.h"
#include "platform/os/ini.h"

namespace {

bool Terminated(const char* field, size_t size) { return std::memchr(field, 0, size) != nullptr; }

void CheckLookup(const zq::platform::IniText& ini, std::string_view section, std::string_view key, size_t bufferSize) {
  const std::optional<std::string> value = ini.Find(section, key);
  const std::string got = ini.GetString(section, key, "fallback-text", bufferSize);
  const std::string whole = value ? *value : std::string("fallback-text");
  const size_t limit = bufferSize == 0 ? 0 : bufferSize - 1;
  if (got.size() > limit || whole.compare(0, got.size(), got) != 0) __builtin_trap();
  if (got.size() < limit && got.size() != whole.size()) __builtin_trap();
  const int32_t number = ini.GetInt(section, key, -12345);
  if (!value) {
    if (number != -12345) __builtin_trap();
    return;
  }
  // Up to nine plain digits read as exactly their number.
  const std::string& v = *value;
  if (!v.empty() && v.size() <= 9 && v.find_first_not_of("0123456789") == std::string::npos) {
    if (number != std::atoi(v.c_str())) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  const size_t eol = all.find('\n');
  const std::string_view query = all.substr(0, eol == std::string_view::npos ? all.size() : eol);
  const std::string_view text = eol == std::string_view::npos ? std::string_view() : all.substr(eol + 1);
  const size_t bar = query.find('|');
  const std::string_view section = query.substr(0, bar == std::string_view::npos ? query.size() : bar);
  const std::string_view key = bar == std::string_view::npos ? std::string_view() : query.substr(bar + 1);

  const zq::platform::IniText ini(text);
  CheckLookup(ini, section, key, size % 67);
  CheckLookup(ini, "RFRW_Drv", "DspFileName", zq::drv::kConfigTextSize);
  CheckLookup(ini, "RFRW_Drv", "LogLevel", 16);

  auto area = std::make_unique<zq::drv::SharedArea>();
  zq::drv::ReadLogSettings(*area, ini);
  zq::drv::ReadDriverConfig(*area, ini);
  if (!Terminated(area->pidVid, sizeof area->pidVid) || !Terminated(area->hidCommDllTrace, sizeof area->hidCommDllTrace))
    __builtin_trap();
  // Whatever the file says, every number with a range lies in it.
  for (int32_t zq::drv::SharedArea::*field :
       {&zq::drv::SharedArea::blockTimeout, &zq::drv::SharedArea::characterTimeout, &zq::drv::SharedArea::retryTimeoutApi,
        &zq::drv::SharedArea::retryTimeoutLink, &zq::drv::SharedArea::hidDeviceOpenRetryCount,
        &zq::drv::SharedArea::rwPowerOffOnRetryCount, &zq::drv::SharedArea::gpioInitialData}) {
    const zq::drv::NumberRange r = zq::drv::RangeOf(field);
    if ((*area).*field < r.min || (*area).*field > r.max) __builtin_trap();
  }
  return 0;
}
