// CDllPort: the line. The configuration step after every open, and the
// serial-style requests that set or read the line state: they pass to the
// serial line for kinds 3 to 5 and are answered from the DCB shadow for
// every other kind, so that nothing reaches a USB or network device.
//
// Sections: configuration step; line state requests.
#include "comm/line_settings.h"
#include "comm/port.h"
#include "platform/os/win32_errors.h"

namespace zq::comm {

// ---- configuration step -----------------------------------------------------------------

// Runs with the port lock held, before the reader starts; failures of its
// calls leave the port open as it is.
void CDllPort::ConfigureAfterOpen() {
  // Nothing can be pending on a device just opened, and a cancel now would
  // abort the reader's first read: only the buffer is emptied.
  if (serial_) {
    serial_->Purge(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    serial_->SetTimeouts(timeouts_);
    serial_->SetQueueSizes(input_queue_size_, output_queue_size_);
    serial_->GetState(&dcb_shadow_);
  } else {
    side_->Empty();
  }
  BuildCommDcb(line_settings_, &dcb_shadow_);
  if (!serial_) return;
  serial_->SetState(dcb_shadow_);
  uint32_t mask = 0;
  if (side_->Lock() == platform::kWaitObject0) {
    mask = side_->eventMask;
    side_->lock.Release();
  }
  serial_->SetMask(mask);
  if (dcb_shadow_.fRtsControl == RTS_CONTROL_DISABLE) serial_->Escape(CLRRTS);
  if (dcb_shadow_.fRtsControl == RTS_CONTROL_ENABLE) serial_->Escape(SETRTS);
  if (dcb_shadow_.fDtrControl == DTR_CONTROL_DISABLE) serial_->Escape(CLRDTR);
  if (dcb_shadow_.fDtrControl == DTR_CONTROL_ENABLE) serial_->Escape(SETDTR);
}

// ---- line state requests ----------------------------------------------------------------

int32_t CDllPort::DoGetPortState(const StateParams& p) {
  if (!p.dcb) {
    trace().Line("AAG0", 0, 0, 0);
    return kResultInvalidParameter;
  }
  if (!isOpen()) {
    trace().Line("AAG2", 0, 0, 0);
    return 0;
  }
  if (serial_) {
    if (uint32_t e = serial_->GetState(p.dcb); e != 0) {
      trace().Line("AAG1", 2, 0, e);
      return static_cast<int32_t>(e);
    }
    return 0;
  }
  *p.dcb = dcb_shadow_;
  return 0;
}

int32_t CDllPort::DoSetPortState(const StateParams& p) {
  if (p.dcb) dcb_shadow_ = *p.dcb;
  if (!isOpen()) {
    trace().Line("AAC1", 0, 0, 0);
    return 0;
  }
  if (serial_) {
    if (uint32_t e = serial_->SetState(dcb_shadow_); e != 0) {
      trace().Line("AAC0", 2, 0, e);
      return static_cast<int32_t>(e);
    }
  }
  return 0;
}

int32_t CDllPort::DoSetPortTimeouts(const TimeoutsParams& p) {
  if (p.timeouts) timeouts_ = *p.timeouts;
  if (!isOpen()) {
    trace().Line("AAD1", 0, 0, 0);
    return 0;
  }
  if (serial_) {
    if (uint32_t e = serial_->SetTimeouts(timeouts_); e != 0) {
      trace().Line("AAD0", 2, 0, e);
      return static_cast<int32_t>(e);
    }
  }
  return 0;
}

int32_t CDllPort::DoEscapeFunction(uint32_t function) {
  switch (function) {
    case SETRTS:
      dcb_shadow_.fRtsControl = RTS_CONTROL_ENABLE;
      break;
    case CLRRTS:
      dcb_shadow_.fRtsControl = RTS_CONTROL_DISABLE;
      break;
    case SETDTR:
      dcb_shadow_.fDtrControl = DTR_CONTROL_ENABLE;
      break;
    case CLRDTR:
      dcb_shadow_.fDtrControl = DTR_CONTROL_DISABLE;
      break;
    default:
      break;
  }
  if (!isOpen()) {
    trace().Line("AAE1", 0, 0, 0);
    return 0;
  }
  if (serial_) {
    if (uint32_t e = serial_->Escape(function); e != 0) {
      trace().Line("AAE0", 2, 0, e);
      return static_cast<int32_t>(e);
    }
  }
  return 0;
}

int32_t CDllPort::DoGetProperties(const PropertiesParams& p) {
  if (!p.properties) {
    trace().Line("AAF0", 0, 0, 0);
    return kResultInvalidParameter;
  }
  if (!isOpen()) {
    trace().Line("AAF2", 0, 0, 0);
    return 0;
  }
  if (serial_) {
    if (uint32_t e = serial_->Properties(p.properties); e != 0) {
      trace().Line("AAF1", 2, 0, e);
      return static_cast<int32_t>(e);
    }
    return 0;
  }
  *p.properties = COMMPROP{};
  return 0;
}

int32_t CDllPort::DoGetModemStatus(const ModemStatusParams& p) {
  if (!p.status) {
    trace().Line("AAA0", 0, 0, 0);
    return kResultInvalidParameter;
  }
  if (!isOpen()) {
    trace().Line("AAA2", 0, 0, 0);
    *p.status = 0;
  } else if (serial_) {
    if (uint32_t e = serial_->ModemStatus(p.status); e != 0) {
      trace().Line("AAA1", 2, 0, e);
      *p.status = 0;
      return static_cast<int32_t>(e);
    }
  } else {
    *p.status = MS_CTS_ON | MS_DSR_ON;  // an emulated line is always ready
  }
  trace().Line("AAA3", 1, *p.status, 0);
  return 0;
}

}  // namespace zq::comm
