// Bounded waiting for conditions in tests.
#pragma once

#include <chrono>
#include <functional>

namespace VorTest {

// Polls `condition` every millisecond until it holds or `bound` has passed;
// returns whether it held. Tests wait on what they expect, never on time.
bool WaitUntil(std::function<bool()> const& condition,
               std::chrono::milliseconds bound = std::chrono::milliseconds(10000));

// The number of threads of this process (from /proc/self/task).
unsigned int ProcessThreadCount();

// The number of open descriptors of this process (from /proc/self/fd).
unsigned int OpenDescriptorCount();

// Raises the soft limit on open descriptors towards `want`, up to the hard
// limit; returns the soft limit now in force.
unsigned int RaiseDescriptorLimit(unsigned int want);

} // namespace VorTest
