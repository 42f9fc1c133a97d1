// The server side of TCP: a TCP group that owns one listening socket and
// hands every connection it accepts to the application.
//
// The listener is watched through the group's notify like any connection;
// its read reports accept one connection each (as scheduler tasks) and never
// reach the event's OnRead, its idle reports never reach OnIdle. Accepted
// connections are ordinary members of the TCP group from then on.
#pragma once

#include <vor/core/lock.h>
#include <vor/io/iobase.h>
#include <vor/sched/socketgroup.h>

namespace Vor {
namespace Sched {

class AcceptGroup : public TcpGroup {
public:
    explicit AcceptGroup(Type type = SYNC);
    // The copy has no listener of its own until its Create.
    AcceptGroup(AcceptGroup const& other);

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

private:
    Io::IoHandle SyncOpen();
    bool SyncAccept();
    Io::IoHandle GetListener() const;
    void SetListener(Io::IoHandle listener);
    bool IsListener(Io::IoBase const& handle) const;

    // Serialises opening, so that two reopens never race for the address.
    Core::Lock m_OpenLock{Core::Lock::MUTEX_LOCK};
    // Guards the listener handle, read by every task of the group.
    mutable Core::Lock m_Lock{Core::Lock::SPIN_LOCK};
    Io::IoHandle m_Listener;
};

} // namespace Sched
} // namespace Vor
