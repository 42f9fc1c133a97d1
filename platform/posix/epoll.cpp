#include "platform/epoll.h"

#include "platform/clock.h"
#include "platform/export.h"
#include "platform/semaphore.h"

#include <cerrno>
#include <sys/epoll.h>
#include <unistd.h>

namespace Vor {
namespace Platform {

namespace {

// The most events one Wait takes from the system; a larger `room` is served
// in slices of this size.
constexpr unsigned int kWaitSlice = 256;

std::uint32_t ToEpoll(std::uint16_t want, bool oneShot)
{
    std::uint32_t events = 0;
    if (want & kPollRead)
        events |= EPOLLIN;
    if (want & kPollWrite)
        events |= EPOLLOUT;
    if (want & kPollExcept)
        events |= EPOLLPRI;
    if (oneShot)
        events |= EPOLLONESHOT;
    return events;
}

std::uint16_t FromEpoll(std::uint32_t events)
{
    std::uint16_t got = 0;
    if (events & EPOLLIN)
        got |= kPollRead;
    if (events & EPOLLOUT)
        got |= kPollWrite;
    if (events & EPOLLPRI)
        got |= kPollExcept;
    if (events & (EPOLLHUP | EPOLLERR))
        got |= kPollHangUp;
    return got;
}

bool Control(int set, int op, SocketHandle socket, std::uint64_t key, std::uint32_t events)
{
    if (set < 0 || socket > 0x7FFFFFFFu) {
        errno = EBADF;
        return false;
    }
    epoll_event event{};
    event.events = events;
    event.data.u64 = key;
    return epoll_ctl(set, op, static_cast<int>(socket), &event) == 0;
}

} // namespace

Epoll::Epoll() : m_Handle(epoll_create1(EPOLL_CLOEXEC)) {}

Epoll::~Epoll()
{
    if (m_Handle >= 0)
        close(m_Handle);
}

bool Epoll::Add(SocketHandle socket, std::uint64_t key, std::uint16_t want, bool oneShot)
{
    return Control(m_Handle, EPOLL_CTL_ADD, socket, key, ToEpoll(want, oneShot));
}

bool Epoll::Arm(SocketHandle socket, std::uint64_t key, std::uint16_t want, bool oneShot)
{
    return Control(m_Handle, EPOLL_CTL_MOD, socket, key, ToEpoll(want, oneShot));
}

bool Epoll::Remove(SocketHandle socket)
{
    return Control(m_Handle, EPOLL_CTL_DEL, socket, 0, 0);
}

VOR_HOT int Epoll::Wait(EpollEvent* events, unsigned int room, std::uint32_t timeoutMs)
{
    if (m_Handle < 0 || room == 0 || events == nullptr) {
        errno = m_Handle < 0 ? EBADF : EINVAL;
        return -1;
    }
    epoll_event got[kWaitSlice];
    int max = static_cast<int>(room < kWaitSlice ? room : kWaitSlice);
    std::uint64_t deadline = timeoutMs == kInfinite ? 0 : MonotonicMs() + timeoutMs;
    int ready;
    for (;;) {
        int wait = -1;
        if (timeoutMs != kInfinite) {
            std::uint64_t now = MonotonicMs();
            wait = now >= deadline ? 0 : static_cast<int>(deadline - now);
        }
        ready = epoll_wait(m_Handle, got, max, wait);
        if (ready >= 0 || errno != EINTR)
            break;
    }
    for (int i = 0; i < ready; ++i)
        events[i] = EpollEvent{got[i].data.u64, FromEpoll(got[i].events)};
    return ready;
}

} // namespace Platform
} // namespace Vor
