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

} // namespace Internal
} // namespace Core
} // namespace Vor
