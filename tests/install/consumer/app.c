/* An application of the installed driver, built in one line:
 *   cc app.c $(pkg-config --cflags --libs zelquar) -o app
 * Prints the driver's version; given a port, opens it, asks the reader for
 * its firmware version and closes it again. Exit status 0 when every call
 * succeeded. */
#include <stdio.h>
#include <stdlib.h>

#include <ZELQUAR_Drv.h>

int main(int argc, char** argv) {
  uint8_t version[8] = {0};
  int32_t length = (int32_t)sizeof version;
  int32_t rc = RFRW_GetDllVersion(&length, version);
  if (rc != RFRW_SUCCESS || length != 8) {
    printf("version failed %d\n", (int)rc);
    return 1;
  }
  printf("driver %u.%u.%u.%u\n", version[0] << 8 | version[1], version[2] << 8 | version[3],
         version[4] << 8 | version[5], version[6] << 8 | version[7]);
  if (argc < 2) return 0;

  uint32_t port = (uint32_t)strtoul(argv[1], NULL, 0);
  rc = RFRW_Open(port, 0, NULL);
  printf("open %d\n", (int)rc);
  if (rc != RFRW_SUCCESS) return 1;
  /* The reader's firmware version: 00 05 16 00 gives it and a status word. */
  const uint8_t query[4] = {0x00, 0x05, 0x16, 0x00};
  uint8_t answer[16] = {0};
  length = (int32_t)sizeof answer;
  rc = RFRW_CLRW_Transmit(port, (int32_t)sizeof query, query, &length, answer);
  printf("transmit %d:", (int)rc);
  for (int32_t i = 0; i < length; ++i) printf(" %02X", answer[i]);
  printf("\n");
  int32_t closed = RFRW_Close(port);
  printf("close %d\n", (int)closed);
  return rc == RFRW_SUCCESS && closed == RFRW_SUCCESS ? 0 : 1;
}
