// A readiness set of the system's own (epoll): sockets are registered once
// and the kernel keeps the set, so a wait costs the same for ten sockets as
// for ten thousand.
//
// Registrations are level triggered: a socket is reported at every wait
// while it is ready, and arming a socket that is ready already reports it at
// the next wait. A one-shot registration, once reported, stays registered
// but is not reported again until Arm. Any thread may register, arm and
// remove while another thread waits.
#pragma once

#include "platform/export.h"

#include "platform/poller.h"
#include "platform/socket.h"

#include <cstdint>

namespace Vor {
namespace Platform {

// One report of a wait: the key given at registration and the readiness
// bits of poller.h (kPollRead, kPollWrite, kPollExcept, kPollHangUp).
struct EpollEvent {
    std::uint64_t key;
    std::uint16_t got;
};

class VOR_PLATFORM_API Epoll {
public:
    Epoll();
    ~Epoll();
    Epoll(Epoll const&) = delete;
    Epoll& operator=(Epoll const&) = delete;

    // False when the system gave no set (see LastError).
    bool IsValid() const { return m_Handle >= 0; }

    // Registers `socket` for `want` (poller.h bits) under `key`, armed.
    // `oneShot` false keeps reporting while the socket is ready (for the
    // waiting thread's own wake-up).
    bool Add(SocketHandle socket, std::uint64_t key, std::uint16_t want, bool oneShot = true);
    // Arms a registered socket again for `want` under `key`, one-shot or
    // not. One-shot for nothing (`want` 0) disarms it.
    bool Arm(SocketHandle socket, std::uint64_t key, std::uint16_t want, bool oneShot = true);
    // Ends the registration. A socket the system closed is no longer
    // registered: its number must not be removed then, it may be another's.
    bool Remove(SocketHandle socket);

    // Waits up to timeoutMs (kInfinite: no limit) and fills at most `room`
    // events. Returns their number, 0 on time-out, -1 on failure. A signal
    // does not end the wait early.
    int Wait(EpollEvent* events, unsigned int room, std::uint32_t timeoutMs);

private:
    int m_Handle;
};

} // namespace Platform
} // namespace Vor
