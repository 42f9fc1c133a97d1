// Threads started with a callback and known by id, and counting signals.
#pragma once

#include <vor/core/export.h>

#include <vor/core/callback.h>

#include <vector>

namespace Vor {
namespace Core {

// The common part of signals: a counted wait object that threads wait on
// and others set.
class VOR_API SignalBase {
public:
    virtual ~SignalBase() = default;
};

// A counting wake-up: Set adds wake-ups, Wait takes one. Waits are measured
// on the monotonic clock and are not shortened by signals delivered to the
// waiting thread.
class VOR_API Signal {
public:
    static constexpr unsigned int INFINITE_WAIT = 0xFFFFFFFFu;

    Signal();
    // Shared between processes under the name (opened if it exists).
    explicit Signal(char const* name);
    ~Signal();
    Signal(Signal const&) = delete;
    Signal& operator=(Signal const&) = delete;

    // Adds count wake-ups; false when there is no semaphore, count is 0, or
    // the count would pass 0x0FFFFFFF.
    bool Set(unsigned int count);
    // Takes one wake-up within timeout ms (INFINITE_WAIT: no limit); false
    // on time-out or when there is no semaphore.
    bool Wait(unsigned int timeout);

private:
    SignalBase* m_pImpl;
};

// Threads the library starts, registered by id from their start until their
// task has returned.
class VOR_API Thread {
public:
    static constexpr unsigned int INVALID_ID = 0xFFFFFFFFu;

    // Starts a thread running `task` (void() or unsigned int()); returns its
    // id, or INVALID_ID. The thread is registered before this returns and
    // before it can end.
    static unsigned int Create(CallBack const& task);
    // The calling thread's id.
    static unsigned int GetID();

    // Waits until the listed threads have ended or the time is up; removes
    // the ended ones (and ids never started here) from ids. True when ids is
    // empty afterwards. Any number of callers may wait for one thread.
    static bool Wait(unsigned int id, unsigned int timeout);
    static bool Wait(std::vector<unsigned int>& ids, unsigned int timeout);

    // Last resort: asks the listed threads to stop at their next blocking
    // call and waits briefly for them. Removes those that are gone; true
    // when ids is empty afterwards. A thread that never reaches a blocking
    // call stays listed. Their waiters are woken as for a normal end. A
    // thread waiting for a reader/writer lock stops only once it holds the
    // lock, at its next blocking call, and leaves the lock as it unwinds.
    static bool Kill(unsigned int id);
    static bool Kill(std::vector<unsigned int>& ids);

    // The number of threads currently registered.
    static unsigned int GetCount();

private:
    Thread() = delete;
};

} // namespace Core
} // namespace Vor
