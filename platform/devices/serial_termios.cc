#include "platform/devices/serial_termios.h"

#include <cctype>

namespace zq::platform {

using win32::DCB;

namespace {

struct SpeedRow {
  uint32_t baud;
  speed_t code;
};
constexpr SpeedRow kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedCode(uint32_t baud, speed_t* code) {
  for (const SpeedRow& r : kSpeeds) {
    if (r.baud == baud) {
      *code = r.code;
      return true;
    }
  }
  return false;
}

uint32_t BaudOf(speed_t code) {
  for (const SpeedRow& r : kSpeeds) {
    if (r.code == code) return r.baud;
  }
  return 0;
}

}  // namespace

std::string SerialDevicePath(const std::string& name) {
  std::string rest = name;
  if (rest.rfind("\\\\.\\", 0) == 0) rest = rest.substr(4);
  if (rest.size() > 3 && std::toupper(static_cast<unsigned char>(rest[0])) == 'C' &&
      std::toupper(static_cast<unsigned char>(rest[1])) == 'O' &&
      std::toupper(static_cast<unsigned char>(rest[2])) == 'M') {
    unsigned long n = 0;
    size_t i = 3;
    for (; i < rest.size() && std::isdigit(static_cast<unsigned char>(rest[i])) && n < 100000; ++i)
      n = n * 10 + static_cast<unsigned long>(rest[i] - '0');
    if (i == rest.size() && n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
  }
  return name;
}

DCB DcbFromTermios(const termios& t, const DCB& kept) {
  DCB d = kept;
  d.DCBlength = sizeof(DCB);
  d.fBinary = 1;
  d.BaudRate = BaudOf(cfgetospeed(&t));
  switch (t.c_cflag & CSIZE) {
    case CS5: d.ByteSize = 5; break;
    case CS6: d.ByteSize = 6; break;
    case CS7: d.ByteSize = 7; break;
    default: d.ByteSize = 8; break;
  }
  if (!(t.c_cflag & PARENB)) {
    d.Parity = win32::NOPARITY;
  } else if (t.c_cflag & CMSPAR) {
    d.Parity = (t.c_cflag & PARODD) ? win32::MARKPARITY : win32::SPACEPARITY;
  } else {
    d.Parity = (t.c_cflag & PARODD) ? win32::ODDPARITY : win32::EVENPARITY;
  }
  d.StopBits = !(t.c_cflag & CSTOPB) ? win32::ONESTOPBIT : d.ByteSize == 5 ? win32::ONE5STOPBITS : win32::TWOSTOPBITS;
  d.fParity = (t.c_iflag & INPCK) ? 1 : 0;
  const bool ctsFlow = (t.c_cflag & CRTSCTS) != 0;
  d.fOutxCtsFlow = ctsFlow ? 1 : 0;
  if (ctsFlow) {
    d.fRtsControl = win32::RTS_CONTROL_HANDSHAKE;
  } else if (d.fRtsControl == win32::RTS_CONTROL_HANDSHAKE) {
    d.fRtsControl = win32::RTS_CONTROL_ENABLE;
  }
  d.fOutX = (t.c_iflag & IXON) ? 1 : 0;
  d.fInX = (t.c_iflag & IXOFF) ? 1 : 0;
  d.XonChar = static_cast<char>(t.c_cc[VSTART]);
  d.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
  return d;
}

bool ApplyDcbToTermios(const DCB& d, termios* out) {
  speed_t speed;
  if (!SpeedCode(d.BaudRate, &speed) || d.ByteSize < 5 || d.ByteSize > 8 || d.Parity > win32::SPACEPARITY ||
      d.StopBits > win32::TWOSTOPBITS) {
    return false;
  }
  termios t = *out;
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= kSizes[d.ByteSize - 5];
  if (d.Parity != win32::NOPARITY) t.c_cflag |= PARENB;
  if (d.Parity == win32::ODDPARITY || d.Parity == win32::MARKPARITY) t.c_cflag |= PARODD;
  if (d.Parity == win32::MARKPARITY || d.Parity == win32::SPACEPARITY) t.c_cflag |= CMSPAR;
  if (d.StopBits != win32::ONESTOPBIT) t.c_cflag |= CSTOPB;
  if (d.fOutxCtsFlow || d.fRtsControl == win32::RTS_CONTROL_HANDSHAKE) t.c_cflag |= CRTSCTS;
  t.c_iflag &= ~static_cast<tcflag_t>(INPCK | IXON | IXOFF | IXANY);
  if (d.fParity) t.c_iflag |= INPCK;
  if (d.fOutX) t.c_iflag |= IXON;
  if (d.fInX) t.c_iflag |= IXOFF;
  if (d.XonChar != 0) t.c_cc[VSTART] = static_cast<cc_t>(d.XonChar);
  if (d.XoffChar != 0) t.c_cc[VSTOP] = static_cast<cc_t>(d.XoffChar);
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  *out = t;
  return true;
}

}  // namespace zq::platform
