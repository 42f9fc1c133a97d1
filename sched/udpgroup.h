// UDP endpoints: one UDP socket bound to a local address, watched through
// the group's notify.
//
// A UDP group is a plain socket group: its reports are handled on the
// notify's own thread, without pausing the socket or running tasks, and
// every answer leaves through the group's one socket.
#pragma once

#include <vor/core/export.h>

#include <atomic>

#include <vor/core/lock.h>
#include <vor/io/iobase.h>
#include <vor/sched/socketgroup.h>

namespace Vor {
namespace Sched {

// A UDP endpoint: one datagram socket whose reads reach the event.
class VOR_API UdpGroup : public SocketGroup {
public:
    explicit UdpGroup(Type type = SYNC);
    // The copy has no socket of its own until its Create.
    UdpGroup(UdpGroup const& other);

    // A write handle on the group's socket, whatever handle is given.
    Io::WriteHandle GetDevice(Io::IoBase const& handle) const override;
    Io::IoHandle GetSocket() const override;

protected:
    ~UdpGroup() override = default;

    // For a SYNC group: opens and binds a socket on the stored address
    // unless the group's socket is open already. True when the group then
    // has an open socket, or when another thread's open is under way.
    bool CreateGroup() override;

private:
    Io::IoHandle SyncOpen();
    void SetSocket(Io::IoHandle socket);

    // Set while an open runs (Create against a reopen of the close path).
    std::atomic<bool> m_bOpening{false};
    // Guards the socket handle, read by GetDevice on any thread.
    mutable Core::Lock m_Lock{Core::Lock::SPIN_LOCK};
    Io::IoHandle m_Socket;
};

} // namespace Sched
} // namespace Vor
