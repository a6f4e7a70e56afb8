// BuildCommDCBA: a device-control text applied to a DCB, free of system calls.
//
// Two forms, optionally after "COMn:":
//   "115200,N,8,1"  baud, parity (N E O M S), data bits (5-8), stop bits
//                   (1 1.5 2), optionally ",x" (XON/XOFF) or ",p" (hardware
//                   handshake); later fields may be left out. Sets the flow
//                   control to none (DTR and RTS on) unless x or p says
//                   otherwise. The old two-digit bauds (11 15 30 60 12 24 48
//                   96 19) stand for 110 .. 19200; 110 baud without stop bits
//                   means 2.
//   "baud=9600 parity=E data=7 stop=2 xon=on odsr=off octs=off dtr=hs
//    rts=on idsr=off to=off"  changes only the members it names.
// Both set fBinary.
#pragma once

#include <string>

#include "comm/zq_comm_boundary.h"

namespace zq::comm {

// False (and the DCB as it was) when the text is not one of the forms.
bool BuildCommDcb(const std::string& text, DCB* dcb);

}  // namespace zq::comm
