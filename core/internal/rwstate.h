// The reader/writer algorithm behind Lock's reader/writer kind and the
// registry of counted objects. Not part of the installed interface.
//
// Writers have priority: a reader does not enter while a writer waits, and a
// release hands the lock to one waiting writer before any readers. Hand-off
// is direct: the releaser counts the woken threads into the state before
// waking them, so a woken thread owns the lock without re-checking.
//
// The whole state is one 64-bit word, changed by compare-and-swap:
//   bits  0..31  state: n > 0 readers inside, -1 a writer inside, 0 free
//   bits 32..47  writers waiting
//   bits 48..63  readers waiting
// so the uncontended paths are a single atomic operation each.
//
// A thread counted in as a waiter cannot be taken out again: the releaser
// may already have handed it the lock. So the hand-off wait holds off the
// thread's cancellation (Thread::Kill); a kill that arrives meanwhile takes
// effect at the thread's next cancellation point, once it owns the lock,
// and the unwind then leaves the lock through the owner's handle or scope.
// A waiter cancelled inside the wait would be handed the lock though gone,
// and no writer would ever enter again.
#pragma once

#include <vor/core/export.h>

#include "platform/semaphore.h"
#include "platform/thread.h"

#include <atomic>
#include <cstdint>

namespace Vor {
namespace Core {
namespace Internal {

class VOR_API RwState {
public:
    RwState() : m_Word(0) {}
    RwState(RwState const&) = delete;
    RwState& operator=(RwState const&) = delete;

    void EnterRead()
    {
        std::uint64_t w = m_Word.load(std::memory_order_relaxed);
        for (;;) {
            std::uint64_t next;
            bool enters = State(w) >= 0 && Writers(w) == 0;
            if (enters)
                next = Make(State(w) + 1, Writers(w), Readers(w));
            else
                next = Make(State(w), Writers(w), Readers(w) + 1);
            if (m_Word.compare_exchange_weak(w, next, std::memory_order_acquire, std::memory_order_relaxed)) {
                if (!enters)
                    AwaitHandOff(m_ReaderWake);
                return;
            }
        }
    }

    void EnterWrite()
    {
        std::uint64_t w = m_Word.load(std::memory_order_relaxed);
        for (;;) {
            std::uint64_t next;
            bool enters = State(w) == 0;
            if (enters)
                next = Make(-1, Writers(w), Readers(w));
            else
                next = Make(State(w), Writers(w) + 1, Readers(w));
            if (m_Word.compare_exchange_weak(w, next, std::memory_order_acquire, std::memory_order_relaxed)) {
                if (!enters)
                    AwaitHandOff(m_WriterWake);
                return;
            }
        }
    }

    // Leaves a reader's or the writer's entry.
    void Leave()
    {
        std::uint64_t w = m_Word.load(std::memory_order_relaxed);
        // The common case: one of several readers leaves, or the last one
        // (or the writer) leaves with nobody waiting.
        while (State(w) > 1 || ((State(w) == 1 || State(w) == -1) && (w >> 32) == 0)) {
            std::uint64_t next = State(w) > 1 ? w - 1 : 0;
            if (m_Word.compare_exchange_weak(w, next, std::memory_order_release, std::memory_order_relaxed))
                return;
        }
        for (;;) {
            std::int32_t state = State(w) >= 1 ? State(w) - 1 : 0;
            std::uint32_t writers = Writers(w);
            std::uint32_t readers = Readers(w);
            std::uint32_t wakeWriter = 0, wakeReaders = 0;
            if (state == 0) {
                if (writers > 0) {
                    --writers;
                    state = -1;
                    wakeWriter = 1;
                } else if (readers > 0) {
                    state = static_cast<std::int32_t>(readers);
                    wakeReaders = readers;
                    readers = 0;
                }
            }
            if (m_Word.compare_exchange_weak(w, Make(state, writers, readers), std::memory_order_acq_rel,
                                             std::memory_order_relaxed)) {
                if (wakeWriter)
                    m_WriterWake.Post(1);
                else if (wakeReaders)
                    m_ReaderWake.Post(wakeReaders);
                return;
            }
        }
    }

private:
    static void AwaitHandOff(Platform::Semaphore& wake)
    {
        Platform::NoKill hold;
        wake.Wait(Platform::kInfinite);
    }

    static std::int32_t State(std::uint64_t w) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(w)); }
    static std::uint32_t Writers(std::uint64_t w) { return static_cast<std::uint32_t>((w >> 32) & 0xFFFF); }
    static std::uint32_t Readers(std::uint64_t w) { return static_cast<std::uint32_t>(w >> 48); }
    static std::uint64_t Make(std::int32_t state, std::uint32_t writers, std::uint32_t readers)
    {
        return static_cast<std::uint64_t>(static_cast<std::uint32_t>(state)) |
               (static_cast<std::uint64_t>(writers & 0xFFFF) << 32) | (static_cast<std::uint64_t>(readers) << 48);
    }

    std::atomic<std::uint64_t> m_Word;
    Platform::Semaphore m_ReaderWake;
    Platform::Semaphore m_WriterWake;
};

} // namespace Internal
} // namespace Core
} // namespace Vor
