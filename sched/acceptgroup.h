// The server side of TCP: a TCP group that owns one listening socket and
// hands every connection it accepts to the application.
//
// The listener is watched through the group's notify like any connection;
// its read reports accept one connection each (as scheduler tasks) and never
// reach the event's OnRead, its idle reports never reach OnIdle. Accepted
// connections are ordinary members of the TCP group from then on.
#pragma once

#include <vor/core/export.h>

#include <vor/core/lock.h>
#include <vor/core/thread.h>
#include <vor/io/iobase.h>
#include <vor/sched/socketgroup.h>

#include <atomic>
#include <vector>

namespace Vor {
namespace Sched {

// A TCP server: one listener, and every connection it accepts (see above).
class VOR_API AcceptGroup : public TcpGroup {
public:
    explicit AcceptGroup(Type type = SYNC);
    // The copy has no listener of its own until its Create.
    AcceptGroup(AcceptGroup const& other);

    bool Init(Trigger::Param& param) override;
    // Ends a hold of the listener first (see HoldResume), then
    // uninitialises the TCP group.
    bool UnInit(unsigned int timeout) override;

    // How long the listener stays paused after an accept found no
    // descriptor left (ms); each further such accept doubles it, up to
    // EXHAUSTED_DELAY_MAX, until one succeeds.
    static constexpr unsigned int EXHAUSTED_DELAY = 100;
    static constexpr unsigned int EXHAUSTED_DELAY_MAX = 1000;

protected:
    ~AcceptGroup() override = default;

    // For a SYNC group: opens a listener on the stored address unless one
    // is open already (a live listener is never replaced). True when the
    // group then has a listener.
    bool CreateGroup() override;
    bool OnIdle(Io::IoBase& handle) override;
    // The listener's reports accept a connection; others go to the event.
    bool OnRead(Io::ReadHandle& handle) override;
    // The listener leaves the group here; the close path then detaches it
    // and closes it.
    bool OnClose(Io::IoBase& handle) override;
    // Only a closed listener is opened again.
    bool IsReopenNeeded() const override;
    // After an accept that found no descriptor left the listener is still
    // readable: resumed at once, it would be reported again and again. A
    // thread of its own resumes it after the delay instead, so that neither
    // the engine nor a worker waits meanwhile.
    bool HoldResume(Io::IoBase const& handle, Core::Guard<Notify> const& notify) override;

private:
    Io::IoHandle SyncOpen();
    bool SyncAccept();
    Io::IoHandle GetListener() const;
    void SetListener(Io::IoHandle listener);
    bool IsListener(Io::IoBase const& handle) const;
    // What a holding thread keeps alive until it has resumed the listener.
    struct VOR_API Hold {
        Core::Guard<AcceptGroup> group;
        Core::Guard<Notify> notify;
        Io::IoHandle listener;
        unsigned int delay;
    };
    static void HoldMain(Hold hold);

    // Serialises opening, so that two reopens never race for the address.
    Core::Lock m_OpenLock{Core::Lock::MUTEX_LOCK};
    // Guards the listener handle, read by every task of the group.
    mutable Core::Lock m_Lock{Core::Lock::SPIN_LOCK};
    Io::IoHandle m_Listener;
    // The listener's object, or null: set with m_Listener, so that a report
    // knows the listener without the lock. The address is only compared.
    std::atomic<Io::IoObject const*> m_pListenerIo{nullptr};
    // The threads holding the listener paused; UnInit wakes them early and
    // they then leave it paused.
    Core::Lock m_HoldLock{Core::Lock::MUTEX_LOCK};
    Core::Signal m_HoldWake;
    std::vector<unsigned int> m_HoldThreads;
    bool m_bHoldEnded = false;
    std::atomic<unsigned int> m_uHoldDelay{EXHAUSTED_DELAY};
};

} // namespace Sched
} // namespace Vor
