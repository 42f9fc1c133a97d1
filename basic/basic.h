// Basic services: sequence numbers, wakeable sleeping and raw memory blocks.
#pragma once

#include <vor/core/export.h>

#include <vor/core/thread.h>

namespace Vor {
namespace Basic {

// The next number of the process-wide sequence: 1 on the first call, unique
// across threads until it wraps after 2^32 calls.
VOR_API unsigned int GetSequence();

// Waits up to ms milliseconds for the signal, so that another thread can
// cut the sleep short. True: the whole time passed, and ms is 0. False: the
// sleep ended early, either because the signal came or because the signal
// could not be waited on; ms then holds the time that was left (never more
// than it was, 0 when the deadline had passed).
VOR_API bool Sleep(unsigned int& ms, Core::Signal& signal);

// Raw memory blocks. AllocMem gives null when memory is exhausted.
VOR_API void* AllocMem(unsigned int size);
// Frees a block of AllocMem (null is allowed). Always true.
VOR_API bool FreeMem(void* p);
// Moves a block to a new allocation of newSize bytes, copying the first
// min(oldSize, newSize) bytes, and frees the old one. Null when memory is
// exhausted: p is then untouched and still owned by the caller.
VOR_API void* ReAllocMem(void* p, unsigned int oldSize, unsigned int newSize);

} // namespace Basic
} // namespace Vor
