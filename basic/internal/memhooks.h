// Fault injection for the library's own tests. Not part of the installed
// interface.
#pragma once

#include <atomic>

namespace Vor {
namespace Basic {
namespace Internal {

// The next n calls of AllocMem and ReAllocMem fail as if memory had run out.
extern std::atomic<int> g_FailMemAllocations;

} // namespace Internal
} // namespace Basic
} // namespace Vor
