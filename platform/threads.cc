#include "platform/threads.h"

#include <pthread.h>

#include <atomic>

namespace zq::platform {
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
