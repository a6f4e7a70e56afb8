// zelquar-logview [FILE...] [--follow]: prints the driver's log files (as the
// collector writes them) one record per line. Without FILE it reads
// ZELQUAR_DrvDLL_Log.LOG in the current directory; --follow keeps reading
// the last file as it grows.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "tools/logview.h"
#include "zq_version.h"

int main(int argc, char** argv) {
  bool follow = false;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--follow" || a == "-f") {
      follow = true;
    } else if (a == "--help" || a == "-h") {
      // Rendered into the man page by help2man: one option to a line.
      std::cout << "Usage: zelquar-logview [--follow] [FILE]...\n"
                   "\n"
                   "Prints the Zelquar driver's log files, as the log collector writes them, one\n"
                   "record per line in UTF-8. Without FILE it reads ZELQUAR_DrvDLL_Log.LOG in the\n"
                   "current directory; damaged or truncated stretches are shown as lines that\n"
                   "start with !!.\n"
                   "\n"
                   "Options:\n"
                   "  -f, --follow   keep reading the last file as it grows (and from its start\n"
                   "                 again when the collector rotates it), until interrupted\n"
                   "  -h, --help     print this help and exit\n"
                   "  --version      print the version and exit\n"
                   "\n"
                   "Exit status: 0, or 1 when a file cannot be opened.\n";
      return 0;
    } else if (a == "--version") {
      std::cout << "zelquar-logview " << ZQ_VERSION_TEXT << "\n";
      return 0;
    } else {
      files.push_back(a);
    }
  }
  if (files.empty()) files.push_back("ZELQUAR_DrvDLL_Log.LOG");
  int status = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    const bool last = i + 1 == files.size();
    std::ifstream probe(files[i], std::ios::binary);
    if (!probe) {
      std::cerr << "zelquar-logview: cannot open " << files[i] << "\n";
      status = 1;
      continue;
    }
    std::streamoff offset = 0;
    for (;;) {
      std::vector<uint8_t> bytes = zq::logview::ReadFrom(files[i], offset);
      std::string text;
      const bool final = !(follow && last);
      offset += static_cast<std::streamoff>(zq::logview::DecodeToText(bytes.data(), bytes.size(), final, &text));
      std::cout << text << std::flush;
      if (final) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      // A rotated file starts again from the beginning.
      std::ifstream again(files[i], std::ios::binary | std::ios::ate);
      if (again && again.tellg() < offset) offset = 0;
    }
  }
  return status;
}
