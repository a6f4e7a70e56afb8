// Sections: stoppable threads; stop wake registration; thread exit hook.
#include "platform/os/threads.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "platform/os/stop_wake.h"
#include "platform/os/syscalls.h"
#include "platform/os/win32_errors.h"

namespace zq::platform {

// ---- stoppable threads ----------------------------------------------------

namespace {

// What the running thread and its handle share: a thread left running past
// its handle keeps the record alive until it ends.
struct ThreadRecord {
  std::atomic<uint32_t> exitCode{kErrorStillActive};
  std::atomic<bool> stop{false};
  std::mutex lock;                          // guards the wait below, the sleep and the end
  std::condition_variable changed;          // stop requested or thread ended
  void (*waitWake)(void*) = nullptr;        // the wake-up of the wait the thread is in now
  void* waitWakeArg = nullptr;
};

thread_local ThreadRecord* t_self = nullptr;

}  // namespace

struct Thread {
  std::shared_ptr<ThreadRecord> record;
  pthread_t thread{};
  bool joinable = false;
};

namespace {

// What the new thread takes over from StartThread: its share of the record
// and its body.
struct StartRecord {
  std::shared_ptr<ThreadRecord> record;
  std::function<uint32_t()> body;
};

void* RunThread(void* arg) {
  std::unique_ptr<StartRecord> start(static_cast<StartRecord*>(arg));
  const std::shared_ptr<ThreadRecord> record = std::move(start->record);
  t_self = record.get();
  const uint32_t code = start->body();
  start.reset();  // the body's captures go before the end is announced
  std::lock_guard<std::mutex> g(record->lock);
  record->exitCode.store(code);
  record->changed.notify_all();
  return nullptr;
}

}  // namespace

Thread* StartThread(std::function<uint32_t()> body) {
  if (!body) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  std::unique_ptr<Thread> t(new (std::nothrow) Thread);
  std::unique_ptr<StartRecord> start(new (std::nothrow) StartRecord);
  if (!t || !start) {
    SetLastError(kErrorNotEnoughMemory);
    return nullptr;
  }
  try {
    t->record = std::make_shared<ThreadRecord>();
  } catch (...) {
    SetLastError(kErrorNotEnoughMemory);
    return nullptr;
  }
  start->record = t->record;
  start->body = std::move(body);
  // pthread_create returns its error number rather than setting errno.
  const int err = Sys().pthread_create(&t->thread, nullptr, RunThread, start.get());
  if (err != 0) {
    // EAGAIN: the system lacks the resources for another thread.
    SetLastError(err == EAGAIN ? kErrorNotEnoughMemory : Win32FromErrno(err));
    return nullptr;
  }
  start.release();  // the thread owns it now
  t->joinable = true;
  return t.release();
}

uint32_t ThreadExitCode(const Thread* thread) { return thread ? thread->record->exitCode.load() : kErrorInvalidHandle; }

bool ThreadExitCode(const Thread* thread, uint32_t* code) {
  if (!thread || !code) return false;
  *code = thread->record->exitCode.load();
  return true;
}

void RequestThreadStop(Thread* thread) {
  if (!thread) return;
  ThreadRecord& r = *thread->record;
  r.stop.store(true);
  std::lock_guard<std::mutex> g(r.lock);
  // The wait's wake-up changes what the waiter sleeps on, so a waiter
  // between its look at the flag and its sleep cannot miss the request.
  if (r.waitWake) r.waitWake(r.waitWakeArg);
  r.changed.notify_all();
}

bool WaitThreadEnd(Thread* thread, uint32_t boundMs) {
  if (!thread) return true;
  ThreadRecord& r = *thread->record;
  std::unique_lock<std::mutex> lock(r.lock);
  return r.changed.wait_for(lock, std::chrono::milliseconds(boundMs),
                            [&r] { return r.exitCode.load() != kErrorStillActive; });
}

bool StopThread(Thread* thread, uint32_t boundMs) {
  RequestThreadStop(thread);
  return WaitThreadEnd(thread, boundMs);
}

void CloseThread(Thread* thread) {
  if (!thread) return;
  if (thread->record->exitCode.load() != kErrorStillActive) {
    if (thread->joinable) pthread_join(thread->thread, nullptr);
  } else if (thread->joinable) {
    pthread_detach(thread->thread);  // it holds its own share of the record
  }
  delete thread;
}

uint32_t ThreadHandleValue(const Thread* thread) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(thread));
}

bool StopRequested() { return t_self && t_self->stop.load(); }

bool SleepUnlessStopped(uint32_t ms) {
  if (!t_self) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return true;
  }
  ThreadRecord& r = *t_self;
  std::unique_lock<std::mutex> lock(r.lock);
  return !r.changed.wait_for(lock, std::chrono::milliseconds(ms), [&r] { return r.stop.load(); });
}

bool AskForShortTimeSlices() {
  // The kernel's struct sched_attr (first version with utilisation clamps),
  // spelled out: glibc declares it only from 2.41 on.
  struct SchedAttr {
    uint32_t size;
    uint32_t policy;
    uint64_t flags;
    int32_t nice;
    uint32_t priority;
    uint64_t runtime;  // for an ordinary thread: the slice it asks for, in ns
    uint64_t deadline;
    uint64_t period;
    uint32_t utilMin;
    uint32_t utilMax;
  };
  if (::sched_getscheduler(0) != SCHED_OTHER) return false;
  errno = 0;
  const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
  if (errno != 0) return false;
  SchedAttr a{};
  a.size = sizeof a;
  a.policy = SCHED_OTHER;
  a.nice = nice;
  a.runtime = 100000;
  return ::syscall(SYS_sched_setattr, 0, &a, 0) == 0;
}

bool RunAheadOfOrdinaryThreads() {
  sched_param p{};
  p.sched_priority = ::sched_get_priority_min(SCHED_FIFO);
  return ::sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &p) == 0;
}

// ---- stop wake registration -----------------------------------------------

StopWakeRegistration::StopWakeRegistration(void (*wake)(void*), void* arg) {
  if (!t_self) return;
  std::lock_guard<std::mutex> g(t_self->lock);
  t_self->waitWake = wake;
  t_self->waitWakeArg = arg;
}

StopWakeRegistration::~StopWakeRegistration() {
  if (!t_self) return;
  std::lock_guard<std::mutex> g(t_self->lock);
  t_self->waitWake = nullptr;
  t_self->waitWakeArg = nullptr;
}

// ---- thread exit hook -----------------------------------------------------

namespace {

pthread_key_t g_key;
std::atomic<bool> g_installed{false};
void (*g_onExit)() = nullptr;

void KeyDestructor(void*) {
  if (g_onExit) g_onExit();
}

}  // namespace

bool InstallThreadExitHook(void (*onExit)()) {
  if (g_installed.load()) return true;
  g_onExit = onExit;
  if (pthread_key_create(&g_key, &KeyDestructor) != 0) return false;
  g_installed.store(true);
  return true;
}

void RemoveThreadExitHook() {
  if (!g_installed.exchange(false)) return;
  pthread_key_delete(g_key);
}

bool MarkCurrentThread() {
  if (!g_installed.load()) return false;
  if (pthread_getspecific(g_key) != nullptr) return false;
  static char marker;
  return pthread_setspecific(g_key, &marker) == 0;
}

bool UnmarkCurrentThread() {
  if (!g_installed.load() || pthread_getspecific(g_key) == nullptr) return false;
  return pthread_setspecific(g_key, nullptr) == 0;
}

}  // namespace zq::platform
