// The entry points of libZqRfrwCommVO.so: Init and Term, exported by name
// with C linkage, and Func, whose address Init hands out.
#include <new>

#include "comm/port.h"
#include "comm/zq_comm_boundary.h"

using zq::comm::CDllPort;
using zq::comm::PortFunc;
using zq::comm::PortRequest;

extern "C" {

int32_t Func(void* port, PortRequest* request) {
  if (!port) return zq::comm::kResultInvalidParameter;
  return static_cast<CDllPort*>(port)->Dispatch(request);
}

__attribute__((visibility("default"))) void* Init(PortFunc* func, uint32_t* error) {
  uint32_t ignored = 0;
  uint32_t& err = error ? *error : ignored;
  if (func) *func = nullptr;
  CDllPort* port = new (std::nothrow) CDllPort;
  if (!port) {
    err = zq::comm::kInitNoMemory;
    return nullptr;
  }
  if (!port->SyncObjectsReady()) {
    delete port;
    err = zq::comm::kInitNoSyncObjects;
    return nullptr;
  }
  // A caller without a slot for Func gets an object it can only Term; the
  // error word still says only what Init knows: 0, 10 or 11.
  if (func) *func = &Func;
  err = zq::comm::kInitOk;
  return port;
}

__attribute__((visibility("default"))) void Term(void* port) {
  // The destructor closes what the caller left open (device, reader thread,
  // named events, event source) and frees the object.
  delete static_cast<CDllPort*>(port);
}

}  // extern "C"
