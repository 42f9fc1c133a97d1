// The client side of TCP: a TCP group that keeps a number of connections to
// one address, made by a connect thread of its own.
//
// The connect thread opens connections one after the other until the group
// has as many as configured, pausing for the configured interval after each
// failed attempt, and then ends. A connection that closes leaves the group;
// when the application's OnClose returns true the close path starts the
// connect thread again to fill the gap. GetSocket hands out the connections
// in turn.
//
//     SocketGroup::Param param(scheduler, notify, event, 3, 1000);
//     group->Init(param);
//     group->Create(Io::Socket::Address("127.0.0.1", 7000));
//     group->GetSocket().Write(data, size);
#pragma once

#include <vor/core/export.h>

#include <vor/core/guard.h>
#include <vor/core/lock.h>
#include <vor/io/iobase.h>
#include <vor/sched/socketgroup.h>

#include <vector>

namespace Vor {
namespace Sched {

// A TCP client that keeps a number of connections to one address open,
// opening a new one when one closes.
class VOR_API ConnectGroup : public TcpGroup {
public:
    // The type is kept but not used: connections are always made by the
    // connect thread.
    explicit ConnectGroup(Type type = SYNC);
    // The copy has the source's settings, no connections and no thread.
    ConnectGroup(ConnectGroup const& other);

    // The parameter must be a SocketGroup::Param (connections, interval);
    // otherwise a line is written and the result is false.
    bool Init(Trigger::Param& param) override;
    // Stops the connect thread (its pause is cut short; killed only when it
    // does not end within `timeout`), forgets the connections and
    // uninitialises the group, which detaches them.
    bool UnInit(unsigned int timeout) override;
    // The connections in turn (one counter for every connect group of the
    // process); empty, with a line, when the group has none.
    Io::IoHandle GetSocket() const override;

    // The connections the group holds now.
    unsigned int GetCount() const;
    // The id of the connect thread, or Thread::INVALID_ID when none runs.
    unsigned int GetThread() const;

protected:
    ~ConnectGroup() override;

    // Starts the connect thread unless one runs. True when a thread runs
    // (connections are made asynchronously). False after UnInit.
    bool CreateGroup() override;
    // The connection leaves the group's list before the event hears of it.
    bool OnClose(Io::IoBase& handle) override;
    // So does one the application closed itself, without a callback.
    void OnDropped(Io::IoBase const& handle) override;

private:
    class Run;
    void Unlist(Io::IoBase const& handle);

    static void ConnectMain(Core::Guard<Core::LocalRef> run);
    void ConnectProc(Run& run);
    // One attempt; false when it failed (after its line was written).
    bool Connect(Run& run);
    bool IsCurrent(Run const& run) const;

    // Guards the list, the thread id, the current run and the active flag.
    // Never held while calling the application or waiting for a thread.
    mutable Core::Lock m_Lock{Core::Lock::READ_WRITE_LOCK};
    unsigned int m_uConnections = 0;
    unsigned int m_uInterval = 0;
    unsigned int m_uThread;
    std::vector<Io::IoHandle> m_List;
    // The run of the connect thread that is wanted now; a thread whose run
    // is no longer current ends.
    Core::Guard<Core::LocalRef> m_Run;
    // Between Init and UnInit: only then does CreateGroup start a thread.
    bool m_bActive = false;
};

} // namespace Sched
} // namespace Vor
