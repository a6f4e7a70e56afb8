// The Win32 shapes and numbers of the comm calls (OVERLAPPED, DCB,
// COMMTIMEOUTS, COMSTAT, COMMPROP, EV_, PURGE_, escape codes, DCB values,
// CE_ and MS_ bits): the serial line of the platform layer speaks them, and
// they cross the boundary between the driver and the comm library
// (comm/zq_comm_boundary.h) with the layouts Windows gives them in a 64-bit
// process with natural alignment.
//
// Sections: numbers; shapes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zq::platform::win32 {

// ---- numbers -----------------------------------------------------------------------

// Comm events (EV_). Only EV_RXCHAR and EV_ERR act on the non-serial kinds.
inline constexpr uint32_t EV_RXCHAR = 0x0001;
inline constexpr uint32_t EV_RXFLAG = 0x0002;
inline constexpr uint32_t EV_TXEMPTY = 0x0004;
inline constexpr uint32_t EV_CTS = 0x0008;
inline constexpr uint32_t EV_DSR = 0x0010;
inline constexpr uint32_t EV_RLSD = 0x0020;
inline constexpr uint32_t EV_BREAK = 0x0040;
inline constexpr uint32_t EV_ERR = 0x0080;
inline constexpr uint32_t EV_RING = 0x0100;

// Purge flags (PURGE_).
inline constexpr uint32_t PURGE_TXABORT = 0x0001;
inline constexpr uint32_t PURGE_RXABORT = 0x0002;
inline constexpr uint32_t PURGE_TXCLEAR = 0x0004;
inline constexpr uint32_t PURGE_RXCLEAR = 0x0008;

// EscapeCommFunction codes.
inline constexpr uint32_t SETXOFF = 1;
inline constexpr uint32_t SETXON = 2;
inline constexpr uint32_t SETRTS = 3;
inline constexpr uint32_t CLRRTS = 4;
inline constexpr uint32_t SETDTR = 5;
inline constexpr uint32_t CLRDTR = 6;
inline constexpr uint32_t SETBREAK = 8;
inline constexpr uint32_t CLRBREAK = 9;

// DCB field values.
inline constexpr uint8_t NOPARITY = 0;
inline constexpr uint8_t ODDPARITY = 1;
inline constexpr uint8_t EVENPARITY = 2;
inline constexpr uint8_t MARKPARITY = 3;
inline constexpr uint8_t SPACEPARITY = 4;
inline constexpr uint8_t ONESTOPBIT = 0;
inline constexpr uint8_t ONE5STOPBITS = 1;
inline constexpr uint8_t TWOSTOPBITS = 2;
inline constexpr uint32_t DTR_CONTROL_DISABLE = 0;
inline constexpr uint32_t DTR_CONTROL_ENABLE = 1;
inline constexpr uint32_t DTR_CONTROL_HANDSHAKE = 2;
inline constexpr uint32_t RTS_CONTROL_DISABLE = 0;
inline constexpr uint32_t RTS_CONTROL_ENABLE = 1;
inline constexpr uint32_t RTS_CONTROL_HANDSHAKE = 2;
inline constexpr uint32_t RTS_CONTROL_TOGGLE = 3;

// Comm error flags (ClearCommError).
inline constexpr uint32_t CE_RXOVER = 0x0001;
inline constexpr uint32_t CE_OVERRUN = 0x0002;
inline constexpr uint32_t CE_RXPARITY = 0x0004;
inline constexpr uint32_t CE_FRAME = 0x0008;
inline constexpr uint32_t CE_BREAK = 0x0010;

// Modem status bits.
inline constexpr uint32_t MS_CTS_ON = 0x0010;
inline constexpr uint32_t MS_DSR_ON = 0x0020;
inline constexpr uint32_t MS_RING_ON = 0x0040;
inline constexpr uint32_t MS_RLSD_ON = 0x0080;

// ---- shapes -------------------------------------------------------------------------

struct OVERLAPPED {
  uintptr_t Internal;      // completion status: 0, or the Win32 error of the operation
  uintptr_t InternalHigh;  // bytes transferred
  union {
    struct {
      uint32_t Offset;
      uint32_t OffsetHigh;
    } Offsets;
    void* Pointer;
  };
  void* hEvent;  // zq::platform::SyncEvent*, or null
};

struct DCB {
  uint32_t DCBlength;
  uint32_t BaudRate;
  uint32_t fBinary : 1;
  uint32_t fParity : 1;
  uint32_t fOutxCtsFlow : 1;
  uint32_t fOutxDsrFlow : 1;
  uint32_t fDtrControl : 2;
  uint32_t fDsrSensitivity : 1;
  uint32_t fTXContinueOnXoff : 1;
  uint32_t fOutX : 1;
  uint32_t fInX : 1;
  uint32_t fErrorChar : 1;
  uint32_t fNull : 1;
  uint32_t fRtsControl : 2;
  uint32_t fAbortOnError : 1;
  uint32_t fDummy2 : 17;
  uint16_t wReserved;
  uint16_t XonLim;
  uint16_t XoffLim;
  uint8_t ByteSize;
  uint8_t Parity;
  uint8_t StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  uint16_t wReserved1;
};

struct COMMTIMEOUTS {
  uint32_t ReadIntervalTimeout;
  uint32_t ReadTotalTimeoutMultiplier;
  uint32_t ReadTotalTimeoutConstant;
  uint32_t WriteTotalTimeoutMultiplier;
  uint32_t WriteTotalTimeoutConstant;
};

struct COMSTAT {
  uint32_t fCtsHold : 1;
  uint32_t fDsrHold : 1;
  uint32_t fRlsdHold : 1;
  uint32_t fXoffHold : 1;
  uint32_t fXoffSent : 1;
  uint32_t fEof : 1;
  uint32_t fTxim : 1;
  uint32_t fReserved : 25;
  uint32_t cbInQue;
  uint32_t cbOutQue;
};

struct COMMPROP {
  uint16_t wPacketLength;
  uint16_t wPacketVersion;
  uint32_t dwServiceMask;
  uint32_t dwReserved1;
  uint32_t dwMaxTxQueue;
  uint32_t dwMaxRxQueue;
  uint32_t dwMaxBaud;
  uint32_t dwProvSubType;
  uint32_t dwProvCapabilities;
  uint32_t dwSettableParams;
  uint32_t dwSettableBaud;
  uint16_t wSettableData;
  uint16_t wSettableStopParity;
  uint32_t dwCurrentTxQueue;
  uint32_t dwCurrentRxQueue;
  uint32_t dwProvSpec1;
  uint32_t dwProvSpec2;
  uint16_t wcProvChar[1];  // WCHAR: 16 bits on Windows
};

static_assert(sizeof(void*) == 8, "the boundary is laid out for 64-bit processes");
static_assert(sizeof(OVERLAPPED) == 32);
static_assert(sizeof(DCB) == 28);
static_assert(sizeof(COMMTIMEOUTS) == 20);
static_assert(sizeof(COMSTAT) == 12);
static_assert(sizeof(COMMPROP) == 64);

}  // namespace zq::platform::win32
