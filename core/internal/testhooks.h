// Fault injection for the library's own tests. Not part of the installed
// interface.
#pragma once

#include <vor/core/export.h>

#include <atomic>

namespace Vor {
namespace Core {
namespace Internal {

// The next n lock creations behave as if memory had run out.
extern VOR_API std::atomic<int> g_FailLockAllocations;
VOR_API bool FailLockAllocation();

// Called by every new thread after it is registered and before it reports
// its start to its creator, so a test can hold the creator inside Create.
using ThreadStartHook = void (*)();
extern VOR_API std::atomic<ThreadStartHook> g_ThreadStarting;

// Called by a look-up of a counted object through a plain pointer, so a test
// can make the object go in between: at step 0 with the registry's table in
// hand and before it looks there, at step 1 with the object's count found
// and before it takes the reference.
using CountFoundHook = void (*)(void const* object, int step);
extern VOR_API std::atomic<CountFoundHook> g_CountFound;

// Called by the constructor of a counted object once the registry lists it,
// so a test can reach the object through its address before the
// constructor returns.
using CountListedHook = void (*)(void const* object);
extern VOR_API std::atomic<CountListedHook> g_CountListed;

} // namespace Internal
} // namespace Core
} // namespace Vor
