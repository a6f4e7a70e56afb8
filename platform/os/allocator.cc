#include "platform/os/allocator.h"

#include <malloc.h>

namespace zq::platform {

void LimitAllocatorArenas(int arenas) {
  if (arenas >= 1) (void)mallopt(M_ARENA_MAX, arenas);
}

void ReturnFreeMemory() { (void)malloc_trim(0); }

}  // namespace zq::platform
