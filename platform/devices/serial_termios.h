// The serial line's pure side: how a Windows port name becomes a device
// path, and how a DCB and a termios record map onto each other. No system
// calls (termios records are data here), so tests feed them directly.
// Internal to the platform layer.
#pragma once

#include <termios.h>

#include <string>

#include "platform/os/win32_comm.h"

namespace zq::platform {

// "COM3" and "\\.\COM3" (any number from 1) name /dev/ttyS2; every other
// name is a path and is returned as it is.
std::string SerialDevicePath(const std::string& name);

// Puts the DCB's baud rate, byte size, parity, stop bits, CTS flow, parity
// checking and XON/XOFF settings into `t`. False (and `t` unchanged) for a
// rate without a termios speed, a byte size outside 5 to 8, or a parity or
// stop-bit code outside the Win32 ones.
bool ApplyDcbToTermios(const win32::DCB& dcb, termios* t);

// The DCB a line with these settings reports: `kept` (what termios cannot
// hold: DTR/RTS control, limits, other characters) with the settings of `t`
// over it.
win32::DCB DcbFromTermios(const termios& t, const win32::DCB& kept);

}  // namespace zq::platform
