// Preloaded into a probe (LD_PRELOAD) to make thread starts fail on demand
// in the installed libraries, which start their threads through the
// system's pthread_create: the probe's "fail-thread-starts N [SKIP]" command
// lets the next SKIP starts through and makes the N after them fail with
// EAGAIN, as when the system has no room for another thread. Every other
// start goes to the real call.
#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>

namespace {

std::atomic<int> g_skips{0};
std::atomic<int> g_failures{0};

using CreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

}  // namespace

extern "C" __attribute__((visibility("default"))) void zq_fail_thread_starts(int n, int skip) {
  g_failures.store(n);
  g_skips.store(skip);
}

extern "C" __attribute__((visibility("default"))) int pthread_create(pthread_t* thread, const pthread_attr_t* attr,
                                                                    void* (*start)(void*), void* arg) {
  bool skipped = false;
  for (int skips = g_skips.load(); skips > 0 && !skipped;) skipped = g_skips.compare_exchange_weak(skips, skips - 1);
  for (int left = skipped ? 0 : g_failures.load(); left > 0;) {
    if (g_failures.compare_exchange_weak(left, left - 1)) return EAGAIN;
  }
  static const CreateFn real = reinterpret_cast<CreateFn>(dlsym(RTLD_NEXT, "pthread_create"));
  return real ? real(thread, attr, start, arg) : EAGAIN;
}
