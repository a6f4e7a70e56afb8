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
 * Results: 0 success; -1 internal failure; -2 device attach failure;
 * -3 parameter error; -4 exchange failure; -5 missing file; -10 caller is not
 * an administrator; -1001 port not open; -1002 port already open by a living
 * process.
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

/* Opens the port. Data may be null (DataLen 0). */
ZELQUAR_DRV_API int32_t RFRW_Open(uint32_t Port, int32_t DataLen, const uint8_t* Data);

/* Closes the port; 0 also when it was not open or belongs to another process. */
ZELQUAR_DRV_API int32_t RFRW_Close(uint32_t Port);

/* Sends one application command (at most 1552 bytes); *RcvLen is the size of
 * RcvData on entry and the response length on return. */
ZELQUAR_DRV_API int32_t RFRW_CLRW_Transmit(uint32_t Port, uint32_t SLen, const uint8_t* SndData,
                                           int32_t* RcvLen, uint8_t* RcvData);

/* Switches the reader's RF power (Power 0 or 3); *Sts gets the status word. */
ZELQUAR_DRV_API int32_t RFRW_PowerCtrl(uint32_t Port, int32_t Power, int32_t* Sts);

/* Writes the 8-byte file version (major, minor, build, revision, each 16-bit
 * big-endian); *RcvBufLen is the buffer size on entry, 8 on success. */
ZELQUAR_DRV_API int32_t RFRW_GetDllVersion(int32_t* RcvBufLen, uint8_t* RcvData);

#ifdef __cplusplus
}
#endif

#endif /* ZELQUAR_DRV_H */
