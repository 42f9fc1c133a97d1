#include "sched/internal/sendqueue.h"

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/poller.h"
#include "platform/socket.h"

#include <algorithm>

namespace Vor {
namespace Sched {
namespace Internal {

namespace {

// Small writes are gathered into chunks of about this size.
constexpr std::size_t kChunk = 65536;
// The longest single wait of a drain, so that a socket closed by another
// thread meanwhile is noticed soon.
constexpr unsigned int kDrainStep = 50;

} // namespace

SendQueue::SendQueue(Io::IoHandle const& connection, Core::Guard<Notify> const& notify, unsigned int limit)
    : m_Connection(connection), m_pSocket(connection.As<Io::SocketIo>()), m_Notify(notify), m_uLimit(limit)
{
}

unsigned int SendQueue::Read(void*, unsigned int, Io::IoParam&) const { return FAILED; }

unsigned int SendQueue::Read(void*, unsigned int) const { return FAILED; }

bool SendQueue::Write(void const* buffer, unsigned int n, Io::IoParam& param)
{
    // A stream has one peer: the parameter must be a socket's, as for the
    // connection's own write, and says nothing more.
    return dynamic_cast<Io::Socket::Param*>(&param) != nullptr && Write(buffer, n);
}

bool SendQueue::Write(void const* buffer, unsigned int n)
{
    if (n == 0)
        return true;
    if (buffer == nullptr || m_pSocket == nullptr)
        return false;
    unsigned char const* data = static_cast<unsigned char const*>(buffer);
    Core::Lock::WriteScope scope(m_Lock);
    // The whole write must fit, whatever the kernel would take of it: a
    // write that fails has sent nothing.
    if (m_bEnded || n > m_uLimit - m_uQueued)
        return false;
    unsigned int sent = 0;
    if (m_uQueued == 0) {
        sent = SendSome(data, n);
        if (sent == FAILED) {
            EndLocked();
            return false;
        }
        if (sent == n)
            return true;
    }
    data += sent;
    std::size_t left = n - sent;
    m_uQueued += left;
    // Appended to the last chunk while it is small (the first may be part
    // sent: it only grows at its end).
    if (!m_Chunks.empty() && m_Chunks.back().size() + left <= kChunk) {
        m_Chunks.back().insert(m_Chunks.back().end(), data, data + left);
    } else {
        m_Chunks.emplace_back(data, data + left);
    }
    if (!m_bWatching)
        WatchLocked(true);
    return true;
}

bool SendQueue::Close()
{
    Flush();
    {
        Core::Lock::WriteScope scope(m_Lock);
        EndLocked();
    }
    // A copy: a handle that closed its object drops it, and this one must
    // keep the socket object for the calls still to come.
    Io::IoHandle connection(m_Connection);
    return connection.Close();
}

bool SendQueue::Flush()
{
    Core::Lock::WriteScope scope(m_Lock);
    return FlushLocked();
}

bool SendQueue::FlushLocked()
{
    if (m_uQueued == 0)
        return false;
    while (m_uQueued > 0) {
        std::vector<unsigned char>& front = m_Chunks.front();
        unsigned int left = static_cast<unsigned int>(front.size() - m_uFront);
        unsigned int sent = SendSome(front.data() + m_uFront, left);
        if (sent == FAILED) {
            EndLocked();
            return false;
        }
        if (sent == 0)
            return false;
        m_uFront += sent;
        m_uQueued -= sent;
        if (m_uFront == front.size()) {
            m_Chunks.pop_front();
            m_uFront = 0;
        }
    }
    WatchLocked(false);
    return true;
}

bool SendQueue::Drain(unsigned int timeout)
{
    std::uint64_t start = Platform::MonotonicMs();
    for (;;) {
        {
            Core::Lock::WriteScope scope(m_Lock);
            FlushLocked();
            if (m_uQueued == 0)
                return true;
        }
        std::uint64_t elapsed = Platform::MonotonicMs() - start;
        if (elapsed >= timeout)
            return false;
        // Held for the wait, so that the number stays this socket's.
        Io::SocketIo::Use use(*m_pSocket);
        if (use.Handle() == 0xFFFFFFFFu)
            return false;
        Platform::PollEntry entry{use.Handle(), Platform::kPollWrite, 0};
        unsigned int wait = static_cast<unsigned int>(std::min<std::uint64_t>(timeout - elapsed, kDrainStep));
        if (Platform::Poll(&entry, 1, wait) < 0)
            return false;
    }
}

std::size_t SendQueue::Abandon()
{
    Core::Lock::WriteScope scope(m_Lock);
    std::size_t dropped = m_uQueued;
    EndLocked();
    return dropped;
}

std::size_t SendQueue::GetQueued() const
{
    Core::Lock::WriteScope scope(m_Lock);
    return m_uQueued;
}

unsigned int SendQueue::SendSome(unsigned char const* data, unsigned int n) const
{
    unsigned int sent = m_pSocket->WriteOnce(data, n, Platform::DontWaitFlag());
    if (sent != FAILED)
        return sent;
    return Platform::IsWouldBlock(Platform::LastError()) ? 0 : FAILED;
}

void SendQueue::EndLocked()
{
    m_bEnded = true;
    m_Chunks.clear();
    m_uFront = 0;
    m_uQueued = 0;
    if (m_bWatching)
        WatchLocked(false);
}

void SendQueue::WatchLocked(bool on)
{
    // Told under the queue's lock, so that the engine hears the changes in
    // the order the queue went through them. A socket the notify no longer
    // holds (detached, closed) is not reported any more either way.
    m_bWatching = on;
    if (m_Notify.IsValid())
        m_Notify->WatchWrite(m_Connection, on);
}

} // namespace Internal
} // namespace Sched
} // namespace Vor
