// The driver's binding to the comm library: loading it from the driver's
// own directory, a port object per bridge the process has open, and a
// wrapper per request the driver makes of it (open and close of the bridge,
// data, feature reports, device restart). One library serves the whole
// process; each COM number reaches one bridge: the one whose USB serial
// number it is bound to, or (unbound) the first matching bridge, which all
// unbound COM numbers share.
//
// Which bridge a call addresses: that of the COM number a DeviceScope on
// the calling thread names; without one, the first bridge the process
// opened.
#pragma once

#include <cstdint>
#include <string>

namespace zq::drv {

// Results: 0, or the comm library's result passed on unchanged; 6 (invalid
// handle) when the library is not bound.
inline constexpr int32_t kNotBound = 6;
// The comm library's open result when no bridge matches (ERROR_FILE_NOT_FOUND).
inline constexpr int32_t kCommDeviceNotFound = 2;

// Makes the calling thread's requests address the bridge of the COM number
// of `port` (bits 8..15; 0 leaves the thread as it is) while it lives.
// Scopes nest; each restores what it found.
class DeviceScope {
 public:
  explicit DeviceScope(uint32_t port);
  ~DeviceScope();
  DeviceScope(const DeviceScope&) = delete;
  DeviceScope& operator=(const DeviceScope&) = delete;

 private:
  uint32_t previous_;
};

// The serial number a COM number N is bound to, from the values of the INI
// key ReaderSerial<N> and the environment variable ZELQUAR_READER_SERIAL_<N>
// (as read by the caller): the variable, when it holds more than blanks,
// wins; blanks around either are dropped; "" unbound. Pure.
std::string ReaderSerialOf(const std::string& iniValue, const std::string& environmentValue);

// Loads the library (once) and opens the bridge for `comNumber` (0: none
// named, the transport's own use; the caller holds a DeviceScope for it
// otherwise): a bridge this process has open for the
// same serial number is shared ("Open zumi", 0); else a new port object
// opens the bridge of `serial`, or the first matching one when it is "".
// The comm library's result (2 when no such bridge is present), 14 when
// no port object could be made (or too many bridges are open).
int32_t HidRwOpen(uint32_t comNumber = 0, const std::string& serial = "");
// Closes the current bridge (the library unloaded with the last one); a
// bridge another COM number of the process still uses stays open.
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
// The same for a count of bytes: returns once the receive buffer holds
// `minimum` bytes, or holds some of which the newest has waited quietMs
// without another (*ready true, at once when that is so already), or with
// *ready false: after waitMs when nothing is held, after at most capMs
// when bytes are held (sooner when their quiet time runs out first), or
// when the reader gave up or the calling thread is asked to stop. *held is
// the count held before the wait. Results as HidRwWaitForInput.
int32_t HidRwWaitForBytes(uint32_t waitMs, uint32_t capMs, uint32_t minimum, uint32_t quietMs, bool* ready, uint32_t* held);
int32_t HidRwWrite(const uint8_t* data, uint32_t length, uint32_t* bytesWritten);
// 64-byte report buffers, byte 0 the report id.
int32_t HidRfrwSetFeature(uint8_t* report);
int32_t HidRfrwGetFeature(uint8_t* report);

// True when the library, its Init and Term, and its Func are all bound.
bool HidBound();
// Drops the current bridge after a failed open: ends its port object, and
// unloads the library when no other bridge is open.
void HidUnbind();

}  // namespace zq::drv
