// The driver's binding to the comm library: loading it from the driver's
// own directory, its one port object, and a wrapper per request the driver
// makes of it (open and close of the bridge, data, feature reports, device
// restart). One binding serves the whole process.
#pragma once

#include <cstdint>

namespace zq::drv {

// Results: 0, or the comm library's result passed on unchanged; 6 (invalid
// handle) when the library is not bound.
inline constexpr int32_t kNotBound = 6;

int32_t HidRwOpen();
int32_t HidRwClose();
int32_t HidRw_DeviceOpen();
int32_t HidRw_DeviceClose();
int32_t HidDeviceRestart();
int32_t HidRwRead(uint8_t* buffer, uint32_t length, uint32_t* bytesRead);
// Waits up to waitMs for input to read: returns once the comm library's
// receive buffer holds bytes (at once when it does already), its reader
// gave up, the time has passed or the calling thread is asked to stop; the
// caller reads to see which. 0 after such a wait; the comm library's
// result when it refused the wait (a library without it:
// kResultUnknownRequest); kNotBound. Blocks at most about waitMs.
int32_t HidRwWaitForInput(uint32_t waitMs);
int32_t HidRwWrite(const uint8_t* data, uint32_t length, uint32_t* bytesWritten);
// 64-byte report buffers, byte 0 the report id.
int32_t HidRfrwSetFeature(uint8_t* report);
int32_t HidRfrwGetFeature(uint8_t* report);

// True when the library, its Init and Term, and its Func are all bound.
bool HidBound();
// Drops the binding after a failed open: ends the port object, unloads.
void HidUnbind();

}  // namespace zq::drv
