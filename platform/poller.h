// Waiting for readiness on a small set of sockets, and the wake-up that lets
// another thread end such a wait early.
#pragma once

#include "platform/export.h"

#include "platform/socket.h"

#include <cstdint>

namespace Vor {
namespace Platform {

// At most this many entries in one wait: 63 watched sockets and the waiting
// thread's wake-up.
constexpr unsigned int kMaxPollEntries = 64;

// Readiness bits, asked for in `want` and reported in `got`.
constexpr std::uint16_t kPollRead = 0x1;    // data, end of stream, or an error to read
constexpr std::uint16_t kPollWrite = 0x2;   // a send would not block
constexpr std::uint16_t kPollExcept = 0x4;  // urgent data
constexpr std::uint16_t kPollHangUp = 0x8;  // reported only: the peer hung up or an error is pending
constexpr std::uint16_t kPollInvalid = 0x10; // reported only: not an open descriptor

struct PollEntry {
    SocketHandle socket;
    std::uint16_t want;
    std::uint16_t got;
};

// Waits up to timeoutMs (kInfinite: no limit, see semaphore.h) until one of
// the entries is ready, filling every `got`. Returns the number of ready
// entries, 0 on time-out, -1 on failure (more than kMaxPollEntries entries
// included). A signal does not end the wait early.
VOR_PLATFORM_API int Poll(PollEntry* entries, unsigned int count, std::uint32_t timeoutMs);

// A level-triggered wake-up: Signal makes the descriptor readable until
// Drain. Any thread may signal; one thread waits on Handle() and drains.
class VOR_PLATFORM_API WakeUp {
public:
    WakeUp();
    ~WakeUp();
    WakeUp(WakeUp const&) = delete;
    WakeUp& operator=(WakeUp const&) = delete;

    // False when the system gave no descriptor (see LastError).
    bool IsValid() const { return m_Handle != kInvalidSocket; }
    // The descriptor to wait on for reading.
    SocketHandle Handle() const { return m_Handle; }
    // Makes the descriptor readable. False when it could not.
    bool Signal();
    // Consumes every pending signal. False when none was pending.
    bool Drain();
    // Releases the descriptor now (the destructor does it otherwise).
    void Close();

private:
    SocketHandle m_Handle;
};

} // namespace Platform
} // namespace Vor
