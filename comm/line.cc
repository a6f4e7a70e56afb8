// CDllPort: the line. The configuration step after every open, and the
// serial-style requests that set or read the line state: the port keeps
// the DCB shadow and the timeouts, and its device (port_device.h) passes
// them to the serial line for kinds 3 to 5; every other kind is answered
// from the shadow, so that nothing reaches a USB or network device.
//
// Sections: configuration step; line state requests.
#include "comm/port.h"
#include "platform/os/win32_errors.h"

namespace zq::comm {

// ---- configuration step -----------------------------------------------------------------

// Runs with the port lock held, before the reader starts; failures of its
// calls leave the port open as it is.
void CDllPort::ConfigureAfterOpen() {
  device_->Configure(LineSetup{timeouts_, input_queue_size_, output_queue_size_, line_settings_}, &dcb_shadow_);
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
  // A device without a line leaves the shadow as the answer.
  DCB state = dcb_shadow_;
  if (uint32_t e = device_->GetState(&state); e != 0) {
    trace().Line("AAG1", 2, 0, e);
    return static_cast<int32_t>(e);
  }
  *p.dcb = state;
  return 0;
}

int32_t CDllPort::DoSetPortState(const StateParams& p) {
  if (p.dcb) dcb_shadow_ = *p.dcb;
  if (!isOpen()) {
    trace().Line("AAC1", 0, 0, 0);
    return 0;
  }
  if (uint32_t e = device_->SetState(dcb_shadow_); e != 0) {
    trace().Line("AAC0", 2, 0, e);
    return static_cast<int32_t>(e);
  }
  return 0;
}

int32_t CDllPort::DoSetPortTimeouts(const TimeoutsParams& p) {
  if (p.timeouts) timeouts_ = *p.timeouts;
  if (!isOpen()) {
    trace().Line("AAD1", 0, 0, 0);
    return 0;
  }
  if (uint32_t e = device_->SetTimeouts(timeouts_); e != 0) {
    trace().Line("AAD0", 2, 0, e);
    return static_cast<int32_t>(e);
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
  if (uint32_t e = device_->Escape(function); e != 0) {
    trace().Line("AAE0", 2, 0, e);
    return static_cast<int32_t>(e);
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
  if (uint32_t e = device_->Properties(p.properties); e != 0) {
    trace().Line("AAF1", 2, 0, e);
    return static_cast<int32_t>(e);
  }
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
  } else if (uint32_t e = device_->ModemStatus(p.status); e != 0) {
    trace().Line("AAA1", 2, 0, e);
    *p.status = 0;
    return static_cast<int32_t>(e);
  }
  trace().Line("AAA3", 1, *p.status, 0);
  return 0;
}

}  // namespace zq::comm
