// Synchronisation objects and the event log, as the comm library uses them:
// unnamed recursive mutexes with timed waits, auto- and manual-reset events,
// process-shared named events, and an event source that writes to syslog.
// Its threads are the stoppable threads of threads.h.
//
// Wait results are the Win32 ones of win32_errors.h (kWaitObject0,
// kWaitTimeout, kWaitFailed). Every object here may be used from any thread
// unless a member says otherwise.
//
// Sections: TimedMutex; NamedEvent; EventSource; Sleep. (SyncEvent, the
// unnamed event with a lifetime, is platform/channel.h's.)
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/os/channel.h"
#include "platform/os/clock.h"

namespace zq::platform {

// ---- TimedMutex ---------------------------------------------------------------

// An unnamed Win32 mutex: owned by a thread, recursive. Not copyable.
class TimedMutex {
 public:
  TimedMutex();
  ~TimedMutex();
  TimedMutex(const TimedMutex&) = delete;
  TimedMutex& operator=(const TimedMutex&) = delete;

  // False when the system could not make the mutex; the object is then unusable.
  bool ok() const { return ok_; }
  // Waits for ownership at most timeoutMs (< 0: no limit). kWaitObject0 or
  // kWaitTimeout; kWaitFailed (LastError set) when the mutex is unusable.
  // Blocks.
  uint32_t Wait(int32_t timeoutMs);
  // Releases one level of ownership; false when the caller does not own it.
  bool Release();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  bool ok_ = false;
};

// ---- NamedEvent -------------------------------------------------------------------

// A manual-reset event that every process of the object namespace
// (object_names.h) opens under the same name, kept in shared memory under
// the access rules of access.h. The shared object lives while any handle of
// any process is open on it and is removed with the last one, as a Windows
// event is; a new creator finds it reset.
struct NamedEvent;

// Opens the event `name`, creating it (not set) when it does not exist.
// nullptr with LastError set on failure (kErrorAccessDenied for an object
// refused by the access rules). Waits at most a few seconds for another
// process that is initialising the same event. Thread-safe.
NamedEvent* OpenNamedEvent(const std::string& name);
bool SetNamedEvent(NamedEvent* event);
bool ResetNamedEvent(NamedEvent* event);
// kWaitObject0, kWaitTimeout or kWaitFailed. Blocks at most timeoutMs.
uint32_t WaitNamedEvent(NamedEvent* event, int32_t timeoutMs);
// Closes the handle; the last handle of all processes removes the object.
// nullptr is ignored.
void CloseNamedEvent(NamedEvent* event);

// ---- EventSource ----------------------------------------------------------------------

// RegisterEventSourceA / ReportEventA / DeregisterEventSource: entries go to
// the system log (facility user) with the source name as ident and the
// event ID, type, category, insertion strings and data in the message:
//   event 0x800003ED type 2 category 0 "text1" "text2" "WriteFile" data 01 00 00 00
// The destination is $ZELQUAR_SYSLOG_SOCKET when set (a Unix datagram
// socket, read at every entry; tests capture entries there), else the
// system's. No process-wide state: several sources may be registered at once.
struct EventSource;
enum class EventType : uint16_t { kError = 1, kWarning = 2, kInformation = 4 };

// nullptr (LastError 87) for an empty name.
EventSource* RegisterEventSource(const std::string& sourceName);
// False when the entry could not be handed over. Never blocks.
bool ReportEvent(EventSource* source, EventType type, uint16_t category, uint32_t eventId,
                 const std::vector<std::string>& strings, const void* data, size_t dataLength);
void DeregisterEventSource(EventSource* source);

// Sleeping: SleepMilliseconds in platform/clock.h.

}  // namespace zq::platform
