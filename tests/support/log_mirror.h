// The driver log's text mirror (ZELQUAR_LOG_MIRROR names the file) as
// tests read it: one line per record that passed the level filter.
#pragma once

#include <fstream>
#include <string>
#include <vector>

namespace zq::test {

// The lines of the mirror at `path` that contain `fragment`, in order.
inline std::vector<std::string> MirrorLinesWith(const std::string& path, const std::string& fragment) {
  std::ifstream in(path);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) {
    if (line.find(fragment) != std::string::npos) out.push_back(line);
  }
  return out;
}

}  // namespace zq::test
