// What the readiness engines (select and epoll) share: how a report reaches
// the callback of an attach, and how a wait that keeps failing is retried.
// Not part of the installed interface.
#pragma once

#include <vor/basic/threadpool.h>
#include <vor/core/callback.h>
#include <vor/io/iobase.h>
#include <vor/io/socket.h>

#include "core/internal/diag.h"
#include "platform/clock.h"
#include "platform/poller.h"

#include <algorithm>
#include <cstdint>

namespace Vor {
namespace Sched {

class IoTrigger;
class NotifyBase;

namespace Internal {

// The poller's bits for a Socket::Param mask.
inline std::uint16_t PollBits(unsigned int mask)
{
    // The same bits in both: a mask, nothing more.
    static_assert(Io::Socket::Param::READ_MASK == Platform::kPollRead && Io::Socket::Param::WRITE_MASK == Platform::kPollWrite &&
                      Io::Socket::Param::EXCEPT_MASK == Platform::kPollExcept,
                  "watch masks and poll bits differ");
    return static_cast<std::uint16_t>(mask & (Platform::kPollRead | Platform::kPollWrite | Platform::kPollExcept));
}

// Bit n of an attribute word (see IoObject::GetAttribs): attribute n.
constexpr unsigned int AttribBit(Io::IoParam::Attrib attrib) { return 1u << static_cast<unsigned int>(attrib); }

// Sets the readiness of each condition of `mask` as seen (READABLE,
// WRITABLE, EXCEPT) and the idleness, in one change of the attributes.
inline void SetReadiness(Io::IoBase& handle, unsigned int mask, bool read, bool write, bool except, bool idle)
{
    using Param = Io::Socket::Param;
    unsigned int clear = AttribBit(Io::IoParam::IDLE);
    unsigned int set = idle ? clear : 0;
    if (mask & Param::READ_MASK) {
        clear |= AttribBit(Io::IoParam::READABLE);
        set |= read ? AttribBit(Io::IoParam::READABLE) : 0;
    }
    if (mask & Param::WRITE_MASK) {
        clear |= AttribBit(Io::IoParam::WRITABLE);
        set |= write ? AttribBit(Io::IoParam::WRITABLE) : 0;
    }
    if (mask & Param::EXCEPT_MASK) {
        clear |= AttribBit(Io::IoParam::EXCEPT);
        set |= except ? AttribBit(Io::IoParam::EXCEPT) : 0;
    }
    handle.SetAttribs(clear, set);
}

// The report this thread is delivering from an engine's wait, so that a
// pause or resume of the same socket from inside its callback reaches the
// engine's record without looking it up: the notify that attached it
// knows itself by its parameter block, the engine by itself. The record is
// held by the engine for the report. Null outside such a report.
struct Reporting {
    NotifyBase* engine;
    Io::IoObject const* object;
    void const* owner;
    void* record;
    // The group whose task runs in place in this report (see TcpGroup),
    // held by the report's callback meanwhile; null otherwise. Its event's
    // GetDevice asks it without a counted copy.
    IoTrigger const* inPlace = nullptr;
    // The record as the counted object it is, for a task that resumes the
    // socket on it later (NotifyBase::ResumeRecord).
    Core::LocalRef* held = nullptr;
    // The engine's note of the pool that its reports' tasks went to, which
    // its thread waits on before its next wait (see AwaitBacklog); null
    // outside an engine's own reports.
    Basic::ThreadPool::Backlog* backlog = nullptr;
    // Set while a socket group queues the report's task to a pool: the
    // wake-up of a worker for it is left to the backlog, which the engine
    // posts once its wait has been reported whole. Only the library's own
    // code runs between the two, so nothing in between waits for the task.
    bool deferWake = false;
};
Reporting*& CurrentReport();

// Before an engine's next wait: while the pool its last reports went to
// has tasks queued behind busy workers, waits until a worker runs out of
// them, for at most a few milliseconds, so that a socket of another
// scheduler, an attach or UnInit waits no longer than that. With the
// engine and the workers on one processor, each arrival that wakes the
// engine takes the processor from the worker that runs the queue, only to
// add a task behind the ones already waiting: two switches for what the
// next wait collects with the others. True when the wait ran out with tasks
// still queued: the next wait will see their sockets still ready.
constexpr unsigned int kBacklogWait = 2; // ms
inline bool AwaitBacklog(Basic::ThreadPool::Backlog& backlog, unsigned int timeout)
{
    return timeout != 0 && !backlog.Wait(std::min(timeout, kBacklogWait)) && backlog.RanOut();
}

// Sets the thread's report for a scope.
class ReportScope {
public:
    explicit ReportScope(Reporting& report) : m_pSaved(CurrentReport()) { CurrentReport() = &report; }
    ~ReportScope() { CurrentReport() = m_pSaved; }
    ReportScope(ReportScope const&) = delete;
    ReportScope& operator=(ReportScope const&) = delete;

private:
    Reporting* m_pSaved;
};

// The engine's record in the report this thread is delivering, when that
// is the handle's own report from `engine`; null otherwise.
template <class Record>
Record* ReportedRecord(NotifyBase const* engine, Io::IoBase const& handle)
{
    Reporting const* report = CurrentReport();
    if (report == nullptr || report->engine != engine || report->object != handle.As<Io::IoObject>())
        return nullptr;
    return static_cast<Record*>(report->record);
}

// A handle of kind H on the object of `holder`, which the caller keeps
// for longer than this lives: it takes no reference, and gives none back.
template <class H>
class LentHandle : public H {
public:
    explicit LentHandle(Io::IoBase const& holder) : H(holder, typename H::Loan()) {}
    ~LentHandle() override { this->EndLoan(); }
    LentHandle(LentHandle const&) = delete;
    LentHandle& operator=(LentHandle const&) = delete;
};

// Calls the callback kept with an attach as its mask asks: with a
// ReadHandle, then with a WriteHandle. The attributes are set already.
// `handle` and `callback` are the engine's own, in the record that the
// engine holds through the report and that keeps both from its attach to
// its end: the handles for the callback are lent from it, and so is the
// callback's bound argument.
VOR_HOT inline void CallAttached(Core::CallBack const& callback, Io::IoHandle const& handle, unsigned int mask)
{
    if (mask & Io::Socket::Param::READ_MASK) {
        LentHandle<Io::ReadHandle> read(handle);
        callback.CallBackHeldA<Io::ReadHandle>(read);
    }
    if (mask & Io::Socket::Param::WRITE_MASK) {
        LentHandle<Io::WriteHandle> write(handle);
        callback.CallBackHeldA<Io::WriteHandle>(write);
    }
}

// The line of a refused attach.
inline void ReportAttachFailure(unsigned int socket, unsigned int step, unsigned int error)
{
    Core::Internal::Report() << "Attach handle " << socket << " error at step " << step << ", error code " << error;
}

// After a failed wait: pauses before the next one, ever longer (10 ms
// doubling up to a second) while the waits keep failing, so that the error
// line does not flood standard error. The wake-up still ends the pause at
// once; true when it did (and was drained).
inline bool BackOff(Platform::WakeUp& wake, unsigned int& delay)
{
    delay = delay == 0 ? 10 : std::min(delay * 2, 1000u);
    Platform::PollEntry entry{wake.Handle(), Platform::kPollRead, 0};
    int woken = Platform::Poll(&entry, 1, delay);
    if (woken > 0)
        return wake.Drain(), true;
    if (woken < 0)
        Platform::SleepMs(delay);
    return false;
}

} // namespace Internal
} // namespace Sched
} // namespace Vor
