// The write device of a connection in a group that queues writes: what the
// kernel takes goes at once, the rest waits here, in order, and goes when
// the socket is reported writable. Not part of the installed interface.
#pragma once

#include <vor/core/guard.h>
#include <vor/core/lock.h>
#include <vor/io/iobase.h>
#include <vor/io/socket.h>
#include <vor/sched/notify.h>

#include <cstddef>
#include <deque>
#include <vector>

namespace Vor {
namespace Sched {
namespace Internal {

class SendQueue : public Io::IoObject {
public:
    // `connection` holds a socket object; `notify` is the one it is
    // attached to, told when the socket is to be watched for writability.
    SendQueue(Io::IoHandle const& connection, Core::Guard<Notify> const& notify, unsigned int limit);

    using IoObject::Read;
    using IoObject::Write;
    // The device answers; it does not read.
    unsigned int Read(void* buffer, unsigned int n, Io::IoParam& param) const override;
    unsigned int Read(void* buffer, unsigned int n) const override;
    // Never waits. False, and nothing sent or queued, when the bytes would
    // take the queue past its limit, or once the connection failed or was
    // let go of.
    bool Write(void const* buffer, unsigned int n, Io::IoParam& param) override;
    bool Write(void const* buffer, unsigned int n) override;
    // Sends what the kernel takes of the queue, then closes the connection.
    bool Close() override;

    // Sends what the kernel takes of the queue now. True when this emptied
    // it; the socket is then no longer watched for writability.
    bool Flush() override;
    // Sends the queue, waiting up to `timeout` ms for room; true when
    // nothing is left queued.
    bool Drain(unsigned int timeout);
    // Drops what is still queued (the count is returned); every later write
    // fails.
    std::size_t Abandon();
    std::size_t GetQueued() const;

protected:
    ~SendQueue() override = default;

private:
    // What the kernel took at once: 0 when it had no room, FAILED when the
    // connection is broken.
    unsigned int SendSome(unsigned char const* data, unsigned int n) const;
    bool FlushLocked();
    void EndLocked();
    void WatchLocked(bool on);

    mutable Core::Lock m_Lock{Core::Lock::MUTEX_LOCK};
    Io::IoHandle m_Connection;
    Io::SocketIo* m_pSocket; // held by m_Connection
    Core::Guard<Notify> m_Notify;
    unsigned int const m_uLimit;
    std::deque<std::vector<unsigned char>> m_Chunks;
    std::size_t m_uFront = 0; // bytes of the first chunk already sent
    std::size_t m_uQueued = 0;
    bool m_bWatching = false;
    bool m_bEnded = false;
};

} // namespace Internal
} // namespace Sched
} // namespace Vor
