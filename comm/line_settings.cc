#include "comm/line_settings.h"

#include <cctype>
#include <cstdlib>
#include <vector>

namespace zq::comm {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

bool Number(const std::string& s, unsigned long* v) {
  if (s.empty() || s.size() > 9) return false;
  for (char c : s)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  *v = std::strtoul(s.c_str(), nullptr, 10);
  return true;
}

bool Baud(const std::string& s, bool oldForm, uint32_t* baud) {
  unsigned long v = 0;
  if (!Number(s, &v) || v == 0) return false;
  if (oldForm && s.size() == 2) {
    static constexpr struct { unsigned long two; uint32_t baud; } kShort[] = {
        {11, 110}, {15, 150}, {30, 300}, {60, 600}, {12, 1200}, {24, 2400}, {48, 4800}, {96, 9600}, {19, 19200}};
    for (const auto& k : kShort)
      if (k.two == v) {
        *baud = k.baud;
        return true;
      }
    return false;
  }
  *baud = static_cast<uint32_t>(v);
  return true;
}

bool Parity(const std::string& s, uint8_t* parity) {
  static constexpr const char kLetters[] = "neoms";
  static constexpr uint8_t kValues[] = {NOPARITY, EVENPARITY, ODDPARITY, MARKPARITY, SPACEPARITY};
  if (s.size() != 1) return false;
  for (int i = 0; i < 5; ++i)
    if (s[0] == kLetters[i]) {
      *parity = kValues[i];
      return true;
    }
  return false;
}

bool Data(const std::string& s, uint8_t* bits) {
  unsigned long v = 0;
  if (!Number(s, &v) || v < 5 || v > 8) return false;
  *bits = static_cast<uint8_t>(v);
  return true;
}

bool Stop(const std::string& s, uint8_t* stop) {
  if (s == "1") *stop = ONESTOPBIT;
  else if (s == "1.5") *stop = ONE5STOPBITS;
  else if (s == "2") *stop = TWOSTOPBITS;
  else return false;
  return true;
}

bool OnOff(const std::string& s, uint32_t* v) {
  if (s == "on") *v = 1;
  else if (s == "off") *v = 0;
  else return false;
  return true;
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> out;
  size_t at = 0;
  for (;;) {
    size_t next = s.find(sep, at);
    out.push_back(Trim(s.substr(at, next == std::string::npos ? std::string::npos : next - at)));
    if (next == std::string::npos) return out;
    at = next + 1;
  }
}

bool OldForm(const std::string& text, DCB* d) {
  const std::vector<std::string> f = Split(text, ',');
  if (f.size() > 5 || !Baud(f[0], true, &d->BaudRate)) return false;
  if (f.size() > 1 && !f[1].empty() && !Parity(f[1], &d->Parity)) return false;
  if (f.size() > 2 && !f[2].empty() && !Data(f[2], &d->ByteSize)) return false;
  const bool stopGiven = f.size() > 3 && !f[3].empty();
  if (stopGiven && !Stop(f[3], &d->StopBits)) return false;
  if (!stopGiven && d->BaudRate == 110) d->StopBits = TWOSTOPBITS;
  const std::string flow = f.size() > 4 ? f[4] : "";
  if (!flow.empty() && flow != "x" && flow != "p") return false;
  d->fOutX = d->fInX = flow == "x" ? 1 : 0;
  d->fOutxCtsFlow = d->fOutxDsrFlow = flow == "p" ? 1 : 0;
  d->fDtrControl = flow == "p" ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
  d->fRtsControl = flow == "p" ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  d->fDsrSensitivity = 0;
  return true;
}

bool NewForm(const std::string& text, DCB* d) {
  std::vector<std::string> words;
  for (const std::string& w : Split(text, ' '))
    if (!w.empty()) words.push_back(w);
  if (words.empty()) return false;
  for (const std::string& w : words) {
    const size_t eq = w.find('=');
    if (eq == std::string::npos) return false;
    const std::string key = w.substr(0, eq), value = w.substr(eq + 1);
    uint32_t v = 0;
    if (key == "baud") {
      if (!Baud(value, false, &d->BaudRate)) return false;
    } else if (key == "parity") {
      if (!Parity(value, &d->Parity)) return false;
    } else if (key == "data") {
      if (!Data(value, &d->ByteSize)) return false;
    } else if (key == "stop") {
      if (!Stop(value, &d->StopBits)) return false;
    } else if (key == "xon") {
      if (!OnOff(value, &v)) return false;
      d->fOutX = d->fInX = v;
    } else if (key == "odsr") {
      if (!OnOff(value, &v)) return false;
      d->fOutxDsrFlow = v;
    } else if (key == "octs") {
      if (!OnOff(value, &v)) return false;
      d->fOutxCtsFlow = v;
    } else if (key == "idsr") {
      if (!OnOff(value, &v)) return false;
      d->fDsrSensitivity = v;
    } else if (key == "dtr") {
      if (value == "hs") d->fDtrControl = DTR_CONTROL_HANDSHAKE;
      else if (OnOff(value, &v)) d->fDtrControl = v ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
      else return false;
    } else if (key == "rts") {
      if (value == "hs") d->fRtsControl = RTS_CONTROL_HANDSHAKE;
      else if (value == "tg") d->fRtsControl = RTS_CONTROL_TOGGLE;
      else if (OnOff(value, &v)) d->fRtsControl = v ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
      else return false;
    } else if (key == "to") {
      if (!OnOff(value, &v)) return false;  // a time-out setting: not part of the DCB
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

bool BuildCommDcb(const std::string& textIn, DCB* dcb) {
  std::string text = Lower(Trim(textIn));
  // An optional device prefix: "com1:" or "com1 ".
  if (text.rfind("com", 0) == 0) {
    size_t i = 3;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
    if (i > 3 && i < text.size() && (text[i] == ':' || text[i] == ' ')) text = Trim(text.substr(i + 1));
  }
  if (text.empty()) return false;
  DCB d = *dcb;
  const bool ok = text.find('=') != std::string::npos ? NewForm(text, &d) : OldForm(text, &d);
  if (!ok) return false;
  d.fBinary = 1;
  *dcb = d;
  return true;
}

}  // namespace zq::comm
