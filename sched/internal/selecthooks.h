// Fault injection and timing for the select engine's own tests. Not part of
// the installed interface.
#pragma once

#include <vor/core/export.h>

#include <atomic>

namespace Vor {
namespace Sched {
namespace Internal {

// The idle checker's period in milliseconds (10000); read at each wait and
// when a record's idle time is turned into periods.
extern VOR_API std::atomic<unsigned int> g_IdleCheckPeriod;
// The longest single wait of a selecting thread in milliseconds (10000).
extern VOR_API std::atomic<unsigned int> g_SelectTimeout;
// The next n wake-ups, or waits, fail as if the system had refused them.
extern VOR_API std::atomic<int> g_FailWakeUps;
extern VOR_API std::atomic<int> g_FailSelects;
// The next n arming calls of an epoll engine fail.
extern VOR_API std::atomic<int> g_FailArms;

// Called, when set, by a selecting thread between building its wait and
// waiting, and by the idle checker between copying the idle list and
// checking the copy.
extern VOR_API std::atomic<void (*)()> g_BeforeWait;
// Called, when set, by an epoll engine's thread between a wait's return and
// its look at what the wait reported.
extern VOR_API std::atomic<void (*)()> g_AfterWait;
extern VOR_API std::atomic<void (*)()> g_BeforeIdleCheck;
// Called, when set, by a select engine's Pause or Resume between reading
// the handle's socket and looking its record up.
extern VOR_API std::atomic<void (*)()> g_BeforeMove;
// Called, when set, by a socket group before it pauses or resumes a socket
// through its notify rather than on the engine's record.
extern VOR_API std::atomic<void (*)()> g_BeforeGroupMove;

// Takes one injected failure from the counter; true when there was one.
VOR_API bool TakeFailure(std::atomic<int>& counter);

} // namespace Internal
} // namespace Sched
} // namespace Vor
