// A C++ application of the installed driver through find_package(zelquar):
// checks that the library it loads reports the package's version, and given
// a port, opens and closes it.
#include <ZELQUAR_Drv.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  std::array<uint8_t, 8> v{};
  int32_t length = static_cast<int32_t>(v.size());
  if (RFRW_GetDllVersion(&length, v.data()) != RFRW_SUCCESS) return 1;
  const std::string version = std::to_string(v[0] << 8 | v[1]) + "." + std::to_string(v[2] << 8 | v[3]) + "." +
                              std::to_string(v[4] << 8 | v[5]) + "." + std::to_string(v[6] << 8 | v[7]);
  std::printf("driver %s package %s\n", version.c_str(), PACKAGE_VERSION);
  if (version != PACKAGE_VERSION) return 1;
  if (argc < 2) return 0;
  const auto port = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 0));
  const int32_t opened = RFRW_Open(port, 0, nullptr);
  const int32_t closed = opened == RFRW_SUCCESS ? RFRW_Close(port) : opened;
  std::printf("open %d close %d\n", opened, closed);
  return opened == RFRW_SUCCESS && closed == RFRW_SUCCESS ? 0 : 1;
}
