// Conversion between UTF-8 (the source code's literals, what people read)
// and code page 932 (what the log records carry).
#pragma once

#include <string>
#include <string_view>

namespace zq::platform {

// Converts; ASCII text is returned as it is without a conversion. A
// character that has no counterpart becomes '?'. Thread-safe; never blocks.
std::string Utf8ToCp932(std::string_view text);
std::string Cp932ToUtf8(std::string_view text);

}  // namespace zq::platform
