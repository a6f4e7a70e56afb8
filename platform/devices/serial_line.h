// A serial line as the Win32 comm calls see one (the comm library's kinds 3
// to 5): a terminal device opened raw and without sharing, whose DCB,
// COMMTIMEOUTS, PurgeComm, SetCommMask/WaitCommEvent, EscapeCommFunction,
// modem status, COMMPROP and ClearCommError map to termios, tcflush, poll,
// TIOCMGET/TIOCMBIS/TIOCMBIC and TIOCGICOUNT.
//
// Names: "COM1" .. "COM9" and "\\.\COMn" (any n from 1) name /dev/ttyS<n-1>;
// any other name is a path (/dev/ttyUSB0, /dev/pts/3 ...).
//
// Lines without modem-control lines (pseudo-terminals): RTS and DTR are
// kept as the line's state and nothing is driven; the modem status reads 0.
//
// Reads and writes complete before they return, within the line's
// COMMTIMEOUTS; a wait for comm events is the one operation that stays
// pending, completed later from a thread of the line.
//
// Results are Win32 numbers (win32_errors.h). One thread at a time may use
// a line (the comm library's API lock serialises its requests); the pending
// event wait's completion runs on the line's own thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/os/win32_comm.h"

namespace zq::platform {

class SerialLine {
 public:
  // Called once when a pending event wait ends: result 0 with the events
  // that occurred (0 when SetMask ended the wait), or kErrorOperationAborted
  // when the line closed first.
  using EventDone = std::function<void(uint32_t result, uint32_t events)>;

  // Opens `name` for reading and writing without sharing (a second open of
  // the same line is refused with 5), raw: no echo, no line editing, no
  // character translation, modem status lines ignored for opening. 0 with
  // *line set; 2 when there is no such device, 50 when it is no terminal,
  // other Win32 errors. Blocks only for the open.
  static uint32_t Open(const std::string& name, std::unique_ptr<SerialLine>* line);

  // Ends a pending event wait (kErrorOperationAborted) and closes the line.
  virtual ~SerialLine() = default;

  // GetCommState: the line's settings (baud, byte size, parity, stop bits,
  // flow control, XON/XOFF characters) over the DCB fields the line keeps
  // for itself (RTS and DTR control, limits, other characters).
  virtual uint32_t GetState(win32::DCB* dcb) = 0;
  // SetCommState: 87 for a baud rate, byte size, parity or stop-bit setting
  // the line cannot take (nothing is changed then).
  virtual uint32_t SetState(const win32::DCB& dcb) = 0;
  virtual uint32_t SetTimeouts(const win32::COMMTIMEOUTS& timeouts) = 0;
  // SetupComm: the sizes are reported back by Properties; the kernel's
  // queues keep their own sizes.
  virtual uint32_t SetQueueSizes(uint32_t input, uint32_t output) = 0;
  // PurgeComm: PURGE_RXCLEAR and PURGE_TXCLEAR flush the kernel's queues;
  // the abort flags have nothing pending to end.
  virtual uint32_t Purge(uint32_t flags) = 0;
  // EscapeCommFunction: SETRTS, CLRRTS, SETDTR, CLRDTR, SETXOFF, SETXON,
  // SETBREAK, CLRBREAK; 87 for any other code.
  virtual uint32_t Escape(uint32_t function) = 0;
  // GetCommModemStatus: MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON.
  virtual uint32_t ModemStatus(uint32_t* status) = 0;
  virtual uint32_t Properties(win32::COMMPROP* properties) = 0;
  // ClearCommError: CE_ flags counted since the last call (lines that keep
  // counters), and the queue counts.
  virtual uint32_t ClearErrors(uint32_t* errors, win32::COMSTAT* stat) = 0;

  // ReadFile under the COMMTIMEOUTS: waits for `length` bytes until a total
  // or interval time-out ends it, then succeeds with what came (possibly
  // nothing). 1167 when the line hung up before anything came. Blocks.
  virtual uint32_t Read(void* buffer, uint32_t length, uint32_t* bytesRead) = 0;
  // WriteFile under the write time-outs: succeeds with the bytes taken when
  // the total time-out ends it. Blocks.
  virtual uint32_t Write(const void* data, uint32_t length, uint32_t* bytesWritten) = 0;

  // SetCommMask: a pending wait ends with events 0.
  virtual uint32_t SetMask(uint32_t mask) = 0;
  // WaitCommEvent: 0 with *events set when an event of the mask is there
  // now (EV_RXCHAR: bytes are queued); otherwise kErrorIoPending and `done`
  // runs when one occurs (EV_RXCHAR, EV_TXEMPTY after a write, EV_CTS,
  // EV_DSR, EV_RLSD, EV_RING, EV_BREAK, EV_ERR where the line reports
  // them). 87 when a wait is already pending or the mask is 0.
  virtual uint32_t WaitEvent(uint32_t* events, EventDone done) = 0;
};

}  // namespace zq::platform
