// Fault injection for the library's own tests. Not part of the installed
// interface.
#pragma once

#include <vor/core/export.h>

#include <atomic>

namespace Vor {
namespace Basic {
namespace Internal {

// The next n calls of AllocMem and ReAllocMem fail as if memory had run out.
extern VOR_API std::atomic<int> g_FailMemAllocations;

} // namespace Internal
} // namespace Basic
} // namespace Vor
