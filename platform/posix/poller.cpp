#include "platform/poller.h"

#include "platform/clock.h"
#include "platform/semaphore.h"

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace Vor {
namespace Platform {

namespace {

// The poll events for each combination of kPollRead, kPollWrite and
// kPollExcept.
constexpr short kEvents[8] = {0,
                              POLLIN,
                              POLLOUT,
                              POLLIN | POLLOUT,
                              POLLPRI,
                              POLLIN | POLLPRI,
                              POLLOUT | POLLPRI,
                              POLLIN | POLLOUT | POLLPRI};

std::uint16_t Got(short r)
{
    std::uint16_t got = 0;
    if (r & POLLIN)
        got |= kPollRead;
    if (r & POLLOUT)
        got |= kPollWrite;
    if (r & POLLPRI)
        got |= kPollExcept;
    if (r & (POLLHUP | POLLERR))
        got |= kPollHangUp;
    if (r & POLLNVAL)
        got |= kPollInvalid;
    return got;
}

} // namespace

int Poll(PollEntry* entries, unsigned int count, std::uint32_t timeoutMs)
{
    if (count > kMaxPollEntries || (count > 0 && entries == nullptr)) {
        errno = EINVAL;
        return -1;
    }
    pollfd fds[kMaxPollEntries];
    for (unsigned int i = 0; i < count; ++i) {
        // A negative descriptor is skipped by poll: the handle cannot be one.
        fds[i].fd = entries[i].socket > 0x7FFFFFFFu ? -1 : static_cast<int>(entries[i].socket);
        fds[i].events = kEvents[entries[i].want & (kPollRead | kPollWrite | kPollExcept)];
        fds[i].revents = 0;
        entries[i].got = 0;
    }
    std::uint64_t deadline = timeoutMs == kInfinite ? 0 : MonotonicMs() + timeoutMs;
    int ready;
    for (;;) {
        int wait = -1;
        if (timeoutMs != kInfinite) {
            std::uint64_t now = MonotonicMs();
            wait = now >= deadline ? 0 : static_cast<int>(deadline - now);
        }
        ready = poll(fds, count, wait);
        if (ready >= 0 || errno != EINTR)
            break;
    }
    if (ready <= 0)
        return ready;
    for (unsigned int i = 0; i < count; ++i) {
        short r = fds[i].revents;
        entries[i].got = r == 0 ? 0 : Got(r);
    }
    return ready;
}

WakeUp::WakeUp()
{
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    m_Handle = fd < 0 ? kInvalidSocket : static_cast<SocketHandle>(fd);
}

WakeUp::~WakeUp() { Close(); }

bool WakeUp::Signal()
{
    if (!IsValid()) {
        errno = EBADF;
        return false;
    }
    std::uint64_t one = 1;
    for (;;) {
        if (write(static_cast<int>(m_Handle), &one, sizeof(one)) == static_cast<ssize_t>(sizeof(one)))
            return true;
        // EAGAIN means the counter is at its ceiling: the descriptor is
        // readable already, which is all a signal has to achieve.
        if (errno == EAGAIN)
            return true;
        if (errno != EINTR)
            return false;
    }
}

bool WakeUp::Drain()
{
    if (!IsValid()) {
        errno = EBADF;
        return false;
    }
    std::uint64_t count = 0;
    for (;;) {
        if (read(static_cast<int>(m_Handle), &count, sizeof(count)) == static_cast<ssize_t>(sizeof(count)))
            return true;
        if (errno != EINTR)
            return false;
    }
}

void WakeUp::Close()
{
    if (IsValid()) {
        close(static_cast<int>(m_Handle));
        m_Handle = kInvalidSocket;
    }
}

} // namespace Platform
} // namespace Vor
