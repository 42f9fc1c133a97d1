// Fault injection for the library's own tests. Not part of the installed
// interface.
#pragma once

#include <atomic>

namespace Vor {
namespace Core {
namespace Internal {

// The next n lock creations behave as if memory had run out.
extern std::atomic<int> g_FailLockAllocations;
bool FailLockAllocation();

} // namespace Internal
} // namespace Core
} // namespace Vor
