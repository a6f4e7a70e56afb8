/*
 * ZELQUAR_Drv: driver library of the USB UHF RFID reader/writer.
 *
 * Load libZELQUAR_Drv.so from its installation directory, where its INI file
 * "ZELQUAR_Drv.ini", the comm library and the log collector lie as well.
 * Every function may be called from any thread; calls on one reader unit are
 * serialised across threads and processes.
 *
 * Port numbers: bits 8..15 the COM number (1..32), bits 0..7 the unit index
 * (0..31); 0x0100 is COM number 1, unit 0.
 *
 * Every function returns one of the results of enum RFRW_Result below, as an
 * int32_t.
 */
#ifndef ZELQUAR_DRV_H
#define ZELQUAR_DRV_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define ZELQUAR_DRV_API __attribute__((visibility("default")))
#else
#define ZELQUAR_DRV_API
#endif

/* The results of the driver's functions. 0 is success; every failure is
 * negative. A function that fails leaves its output lengths at 0. */
enum RFRW_Result {
  /* The call did what it was asked. */
  RFRW_SUCCESS = 0,

  /* The library could not do its own part: memory ran out, the channel to
   * the port's link thread failed, the command is not handled by this build,
   * or the library is not attached in the calling process (it is being
   * unloaded, or the process is a fork() child of the one that loaded it,
   * which must load nothing through it). The port stays as it was. Retry; if
   * it persists, close and open the port again. */
  RFRW_ERROR_INTERNAL = -1,

  /* RFRW_Open could not attach the reader device: the USB bridge was not
   * found, is held by another process, or could not be configured even
   * after restarts. Check the connection (and that no other program holds
   * the reader), then call RFRW_Open again. */
  RFRW_ERROR_DEVICE = -2,

  /* A parameter was wrong and nothing was done: a port number outside COM
   * number 1..32 or unit 0..31, a null pointer, a length or value out of
   * range, or a port that another process opened. Correct the call. */
  RFRW_ERROR_PARAMETER = -3,

  /* The exchange with the reader failed: it did not answer, or its answers
   * stayed wrong, through every repeat within the resend window
   * ("RetryTimeout "). The port stays open. Retry the command; if the reader
   * stays silent, close and open the port to restart it. */
  RFRW_ERROR_EXCHANGE = -4,

  /* A file the library needs beside itself is missing: its INI file
   * "ZELQUAR_Drv.ini" or the comm library. Reinstall the library. */
  RFRW_ERROR_FILE_MISSING = -5,

  /* RFRW_Open refused: the calling process does not run with administrator
   * rights: neither root nor a member of the group sudo, wheel, admin or
   * zelquar (and the INI file does not set AdminCheckCut=1). Run the
   * application as a member of zelquar, the group the installed udev rule
   * gives the reader to. */
  RFRW_ERROR_NOT_ADMIN = -10,

  /* The port is not open. Call RFRW_Open first. */
  RFRW_ERROR_NOT_OPEN = -1001,

  /* RFRW_Open refused: the port is open by another process that is still
   * running. Wait until that process closes it, or use another unit. */
  RFRW_ERROR_OPEN_ELSEWHERE = -1002
};

/* Opens the port. Data may be null (DataLen 0). */
ZELQUAR_DRV_API int32_t RFRW_Open(uint32_t Port, int32_t DataLen, const uint8_t* Data);

/* Closes the port: 0, also when it was not open, belongs to another process
 * or the library is no longer attached in this process; -3 for a bad port
 * number. */
ZELQUAR_DRV_API int32_t RFRW_Close(uint32_t Port);

/* Sends one application command (at most 1552 bytes); *RcvLen is the size of
 * RcvData on entry and the response length on return. */
ZELQUAR_DRV_API int32_t RFRW_CLRW_Transmit(uint32_t Port, uint32_t SLen, const uint8_t* SndData,
                                           int32_t* RcvLen, uint8_t* RcvData);

/* Switches the reader's RF power (Power 0 or 3); *Sts gets the status word. */
ZELQUAR_DRV_API int32_t RFRW_PowerCtrl(uint32_t Port, int32_t Power, int32_t* Sts);

/* Writes the 8-byte file version (major, minor, build, revision, each 16-bit
 * big-endian); *RcvBufLen is the buffer size on entry, 8 on success. 0, or
 * -3 (and *RcvBufLen 0) for a buffer shorter than 8 bytes; it needs no port
 * and answers even while the library is being unloaded. */
ZELQUAR_DRV_API int32_t RFRW_GetDllVersion(int32_t* RcvBufLen, uint8_t* RcvData);

#ifdef __cplusplus
}
#endif

#endif /* ZELQUAR_DRV_H */
