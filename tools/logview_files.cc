#include <fstream>

#include "tools/logview.h"

namespace zq::logview {

std::vector<uint8_t> ReadFrom(const std::string& path, uint64_t offset, bool* exists) {
  std::ifstream in(path, std::ios::binary);
  if (exists) *exists = static_cast<bool>(in);
  if (!in) return {};
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size <= static_cast<std::streamoff>(offset)) return {};
  in.seekg(static_cast<std::streamoff>(offset));
  std::vector<uint8_t> bytes(static_cast<size_t>(size - static_cast<std::streamoff>(offset)));
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<size_t>(in.gcount()));
  return bytes;
}

}  // namespace zq::logview
