// Locks: one handle type over four lock kinds, and fixed tables of locks.
//
// A Lock handle shares a counted lock implementation and remembers how often
// it has entered it itself. The usual use is scoped: copy a long-lived Lock
// into a local one, enter the local one, and let its destructor leave.
//
//     Lock local(m_Lock);
//     local.Enter();
//     ... // left when `local` goes out of scope
#pragma once

#include <vor/core/export.h>

#include <vor/core/guard.h>

#include <atomic>
#include <cmath>
#include <cstdint>

namespace Vor {
namespace Core {

// The base of the lock implementations. Lock dispatches on its stored type
// and never calls into the implementation virtually.
class VOR_API LockBase : public LocalRef {
public:
    LockBase(LockBase const& other) : LocalRef(other) {}

protected:
    LockBase() = default;
    explicit LockBase(bool counted) : LocalRef(1, counted) {}
    ~LockBase() override = default;
};

// The null lock lives in the library: one for the library and every program
// that uses it.
template <>
VOR_API LockBase* Guard<LockBase>::s_pNull;

// A lock of one of the kinds of LockType, shared by its copies.
class VOR_API Lock {
public:
    // The lock kinds. Callers may pass the plain numbers.
    using LockType = int;
    static constexpr LockType NULL_LOCK = 0;       // enter and leave only count
    static constexpr LockType MUTEX_LOCK = 1;      // recursive, blocking
    static constexpr LockType SPIN_LOCK = 2;       // recursive, spins before blocking
    static constexpr LockType READ_WRITE_LOCK = 3; // shared readers, one writer, writers first

    Lock(LockType const& type = READ_WRITE_LOCK);
    Lock(Lock const& other);
    ~Lock();
    Lock& operator=(Lock const& other);

    // Exclusive entry (the writer's side of a reader/writer lock).
    void Enter();
    void EnterWrite() { Enter(); }
    // Shared entry for a reader/writer lock; exclusive for the other kinds.
    void EnterRead();
    // Undoes one entry made through this handle; nothing when none is left.
    void Leave();

    LockType GetType() const { return m_Type; }
    // Entries made through this handle and not yet left.
    unsigned int GetDepth() const { return m_uDepth; }

    // Holds a lock for the life of a scope without a handle of its own:
    // cheaper than a local copy (no reference is taken), for a Lock that
    // outlives the scope, such as a member of the object being worked on.
    //
    //     Lock::ReadScope scope(m_Lock);
    class VOR_API Scope {
    public:
        Scope(Scope const&) = delete;
        Scope& operator=(Scope const&) = delete;
        ~Scope() { Lock::LeaveImpl(m_Type, m_pImpl); }

    protected:
        Scope(Lock const& lock, bool read) : m_pImpl(lock.m_Impl.Raw()), m_Type(lock.m_Type)
        {
            Lock::EnterImpl(m_Type, m_pImpl, read);
        }

    private:
        LockBase* m_pImpl;
        LockType m_Type;
    };
    // Holds the lock for reading (shared, for READ_WRITE_LOCK) while it lives.
    class VOR_API ReadScope : public Scope {
    public:
        explicit ReadScope(Lock const& lock) : Scope(lock, true) {}
    };
    // Holds the lock for writing (exclusively) while it lives.
    class VOR_API WriteScope : public Scope {
    public:
        explicit WriteScope(Lock const& lock) : Scope(lock, false) {}
    };

private:
    static Guard<LockBase> GetLock(LockType const& type);
    static void EnterImpl(LockType type, LockBase* impl, bool read);
    static void LeaveImpl(LockType type, LockBase* impl);
    void LeaveAll();

    Guard<LockBase> m_Impl;
    LockType m_Type;
    // Wide enough never to wrap: a byte would silently turn the 256th entry
    // into none.
    unsigned int m_uDepth;
};

// A lock for sections of a few instructions, such as copying a stored guard
// that another thread may replace: entered and left inline with one atomic
// operation each. Not recursive, and nothing that blocks or calls out may
// run while it is held; a waiter spins, then yields its processor.
class VOR_API CellLock {
public:
    CellLock() = default;
    CellLock(CellLock const&) = delete;
    CellLock& operator=(CellLock const&) = delete;

    void Enter() const
    {
        if (m_bHeld.exchange(true, std::memory_order_acquire))
            Wait();
    }
    void Leave() const { m_bHeld.store(false, std::memory_order_release); }

    // Holds the cell lock while it lives.
    class VOR_API Scope {
    public:
        explicit Scope(CellLock const& lock) : m_Lock(lock) { m_Lock.Enter(); }
        ~Scope() { m_Lock.Leave(); }
        Scope(Scope const&) = delete;
        Scope& operator=(Scope const&) = delete;

    private:
        CellLock const& m_Lock;
    };

private:
    void Wait() const; // until this thread holds it
    mutable std::atomic<bool> m_bHeld{false};
};

// N locks of one kind, one chosen per address. Bounds the number of system
// objects when many small values each need exclusion.
template <unsigned int N, Lock::LockType T>
class LockTable {
public:
    static_assert(N > 0, "a lock table needs slots");

    LockTable()
    {
        for (unsigned int i = 0; i < N; ++i)
            m_Slots[i] = Lock(T);
    }

    // A fresh handle (depth 0) on the slot for this address.
    Lock operator[](void const* address) const
    {
        std::uintptr_t a = reinterpret_cast<std::uintptr_t>(address);
        return m_Slots[GetIndex(static_cast<unsigned int>(a ^ (static_cast<std::uint64_t>(a) >> 32)))];
    }

    // Multiplicative hashing of a 32-bit key into 0 .. N-1.
    static unsigned int GetIndex(unsigned int key)
    {
        double whole;
        double fraction = std::modf(static_cast<double>(key) * 0.60180339887, &whole);
        unsigned int index = static_cast<unsigned int>(fraction * static_cast<double>(N));
        return index < N ? index : N - 1;
    }

private:
    Lock m_Slots[N];
};

} // namespace Core
} // namespace Vor
