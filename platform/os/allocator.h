// The C library's allocator, for a long-running service whose threads in
// turn build large, short-lived answers.
#pragma once

namespace zq::platform {

// Lets the allocator keep at most `arenas` memory arenas for the rest of the
// process. Every thread that allocates at once gets an arena of its own, up
// to eight a core, and each keeps what it freed: a pool of threads that
// take turns building a large answer ends up holding that answer's peak
// once per arena. Call before threads start; arenas < 1 is ignored. Never
// blocks.
void LimitAllocatorArenas(int arenas);

// Gives the allocator's free memory back to the system (the free pages of
// every arena, not only the top of the heap). Takes a few milliseconds with a
// heap of hundreds of megabytes; thread-safe.
void ReturnFreeMemory();

}  // namespace zq::platform
