// Fuzz target: the log reader must survive any bytes as a log file, whole
// or fed in pieces as --follow reads them.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/logview.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string out;
  zq::logview::DecodeToText(data, size, true, &out);
  // In two reads, as a growing file is read.
  std::string first;
  const size_t split = size / 2;
  const size_t used = zq::logview::DecodeToText(data, split, false, &first);
  if (used > split) __builtin_trap();
  zq::logview::DecodeToText(data + used, size - used, true, &first);
  return 0;
}
