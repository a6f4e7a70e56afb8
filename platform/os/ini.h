// Configuration files with the lookup rules of GetPrivateProfileInt/String:
// section and key names match without regard to case; blanks around names
// and values are ignored, so the key "BlockTimeout " finds a file line
// "BlockTimeout=300"; the first match wins; lines starting with ';' are
// comments; a value enclosed in double quotes loses the quotes.
//
// Parsing is pure (IniText); IniFile only adds reading the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zq::platform {

class IniText {
 public:
  explicit IniText(std::string_view text);

  // The raw value of `key` in `section`, or nullopt when absent.
  std::optional<std::string> Find(std::string_view section, std::string_view key) const;

  // A signed decimal integer: optional blanks, optional sign, digits; what
  // follows the digits is ignored and a value without digits reads as 0.
  // An absent key gives `fallback`.
  int32_t GetInt(std::string_view section, std::string_view key, int32_t fallback) const;

  // The value cut to at most bufferSize - 1 characters, as it would fit a
  // zero-terminated buffer of bufferSize bytes; `fallback` (cut the same
  // way) when absent.
  std::string GetString(std::string_view section, std::string_view key, std::string_view fallback,
                        size_t bufferSize) const;

 private:
  struct Entry {
    std::string section;
    std::string key;
    std::string value;
  };
  std::vector<Entry> entries_;
};

// Reads `path` once; a missing or unreadable file behaves as an empty one
// (every lookup gives its fallback) and exists() says false. Blocks on file
// I/O only in the constructor.
class IniFile {
 public:
  explicit IniFile(const std::string& path);
  bool exists() const { return exists_; }
  const IniText& text() const { return text_; }

 private:
  bool exists_ = false;
  IniText text_;
};

}  // namespace zq::platform
