// zelquar-drvcheck [PORT]: prints the driver's version, the result of
// opening PORT (default 0x0100) and the reader's firmware version, then
// closes the port again.
#include <cstdio>
#include <cstdlib>

#include "ZELQUAR_Drv.h"
#include "client/commands.h"

int main(int argc, char** argv) {
  unsigned long port = 0x0100;
  if (argc > 1) {
    char* end = nullptr;
    port = std::strtoul(argv[1], &end, 0);
    if (!end || *end != '\0') {
      std::fprintf(stderr, "usage: %s [PORT]   (PORT like 0x0100)\n", argv[0]);
      return 2;
    }
  }
  uint8_t version[8] = {};
  int32_t length = sizeof version;
  int32_t rc = RFRW_GetDllVersion(&length, version);
  if (rc != 0) {
    std::printf("RFRW_GetDllVersion failed: %d\n", rc);
    return 1;
  }
  std::printf("driver version %u.%u.%u.%u\n", version[0] << 8 | version[1], version[2] << 8 | version[3],
              version[4] << 8 | version[5], version[6] << 8 | version[7]);
  rc = RFRW_Open(static_cast<uint32_t>(port), 0, nullptr);
  std::printf("RFRW_Open(0x%04lx) = %d\n", port, rc);
  if (rc != 0) return 1;
  const zq::client::Bytes firmwareQuery = zq::client::InformationCommand(zq::client::kInfoFirmware);
  uint8_t answer[16] = {};
  length = sizeof answer;
  rc = RFRW_CLRW_Transmit(static_cast<uint32_t>(port), static_cast<uint32_t>(firmwareQuery.size()), firmwareQuery.data(),
                          &length, answer);
  if (rc == 0 && length == 4) {
    std::printf("reader firmware %02X%02X (status %02X%02X)\n", answer[0], answer[1], answer[2], answer[3]);
  } else {
    std::printf("firmware version query: %d, %d bytes\n", rc, length);
  }
  std::printf("RFRW_Close(0x%04lx) = %d\n", port, RFRW_Close(static_cast<uint32_t>(port)));
  return rc == 0 ? 0 : 1;
}
