#include <vor/core/lock.h>

#include "core/internal/rwstate.h"
#include "core/internal/testhooks.h"
#include "platform/mutex.h"
#include "platform/thread.h"

#include <new>

namespace Vor {
namespace Core {

template <>
LockBase* Guard<LockBase>::s_pNull = nullptr;

namespace {

// The null object of Guard<LockBase>: entering it only counts.
class NullLock : public LockBase {
public:
    NullLock() : LockBase(false) { Guard<LockBase>::SetNull(this); }
};

class VOR_NATIVE(Mutex) : public LockBase {
public:
    Platform::RecursiveMutex m_Mutex;
};

// A recursive lock that spins before it blocks, for short sections.
class VOR_NATIVE(Spin) : public LockBase {
public:
    static constexpr unsigned int SPIN_COUNT = 1024;
    Platform::RecursiveMutex m_Mutex;
};

class VOR_NATIVE(ReadWrite) : public LockBase {
public:
    Internal::RwState m_State;
};

NullLock& TheNullLock()
{
    static NullLock s_NullLock;
    return s_NullLock;
}

// Installed while the library loads, before any thread of the application
// can build a Lock.
struct InstallNullLock {
    InstallNullLock() { TheNullLock(); }
} s_InstallNullLock;

// When memory for a lock cannot be had, the lock falls back on one shared,
// never-freed implementation of its kind: slower under contention, but it
// still excludes. A lock that silently excluded nothing would be worse.
template <class Impl>
Impl* Fallback()
{
    static Impl* s_pImpl = new Impl;
    return s_pImpl;
}

template <class Impl>
Guard<LockBase> Create()
{
    Impl* impl = Internal::FailLockAllocation() ? nullptr : new (std::nothrow) Impl;
    if (impl == nullptr)
        return Guard<LockBase>(Fallback<Impl>());
    Guard<LockBase> guard(impl);
    impl->DecRef();
    return guard;
}

} // namespace

namespace Internal {
std::atomic<int> g_FailLockAllocations{0};
bool FailLockAllocation()
{
    int n = g_FailLockAllocations.load(std::memory_order_relaxed);
    while (n > 0) {
        if (g_FailLockAllocations.compare_exchange_weak(n, n - 1))
            return true;
    }
    return false;
}
} // namespace Internal

Guard<LockBase> Lock::GetLock(LockType const& type)
{
    TheNullLock();
    switch (type) {
    case MUTEX_LOCK:
        return Create<VOR_NATIVE(Mutex)>();
    case SPIN_LOCK:
        return Create<VOR_NATIVE(Spin)>();
    case READ_WRITE_LOCK:
        return Create<VOR_NATIVE(ReadWrite)>();
    default:
        return Guard<LockBase>();
    }
}

Lock::Lock(LockType const& type) : m_Impl(GetLock(type)), m_Type(type), m_uDepth(0)
{
    if (!m_Impl.IsValid() || type < NULL_LOCK || type > READ_WRITE_LOCK)
        m_Type = NULL_LOCK;
}

Lock::Lock(Lock const& other) : m_Impl(other.m_Impl), m_Type(other.m_Type), m_uDepth(0)
{
    if (!m_Impl.IsValid())
        m_Type = NULL_LOCK;
}

Lock::~Lock() { LeaveAll(); }

Lock& Lock::operator=(Lock const& other)
{
    if (this == &other)
        return *this;
    LeaveAll();
    m_Impl = other.m_Impl;
    m_Type = m_Impl.IsValid() ? other.m_Type : NULL_LOCK;
    m_uDepth = 0;
    return *this;
}

void Lock::LeaveAll()
{
    while (m_uDepth > 0)
        Leave();
}

void Lock::EnterImpl(LockType type, LockBase* impl, bool read)
{
    switch (type) {
    case MUTEX_LOCK:
        static_cast<VOR_NATIVE(Mutex)*>(impl)->m_Mutex.Lock();
        break;
    case SPIN_LOCK:
        static_cast<VOR_NATIVE(Spin)*>(impl)->m_Mutex.SpinLock(VOR_NATIVE(Spin)::SPIN_COUNT);
        break;
    case READ_WRITE_LOCK:
        if (read)
            static_cast<VOR_NATIVE(ReadWrite)*>(impl)->m_State.EnterRead();
        else
            static_cast<VOR_NATIVE(ReadWrite)*>(impl)->m_State.EnterWrite();
        break;
    default:
        break;
    }
}

void Lock::LeaveImpl(LockType type, LockBase* impl)
{
    switch (type) {
    case MUTEX_LOCK:
        static_cast<VOR_NATIVE(Mutex)*>(impl)->m_Mutex.Unlock();
        break;
    case SPIN_LOCK:
        static_cast<VOR_NATIVE(Spin)*>(impl)->m_Mutex.Unlock();
        break;
    case READ_WRITE_LOCK:
        static_cast<VOR_NATIVE(ReadWrite)*>(impl)->m_State.Leave();
        break;
    default:
        break;
    }
}

void CellLock::Wait() const
{
    for (unsigned int spins = 0;; ++spins) {
        if (!m_bHeld.load(std::memory_order_relaxed) && !m_bHeld.exchange(true, std::memory_order_acquire))
            return;
        if (spins < 64)
            Platform::CpuRelax();
        else
            Platform::YieldThread();
    }
}

void Lock::Enter()
{
    EnterImpl(m_Type, m_Impl.Raw(), false);
    ++m_uDepth;
}

void Lock::EnterRead()
{
    EnterImpl(m_Type, m_Impl.Raw(), true);
    ++m_uDepth;
}

void Lock::Leave()
{
    if (m_uDepth == 0)
        return;
    --m_uDepth;
    LeaveImpl(m_Type, m_Impl.Raw());
}

} // namespace Core
} // namespace Vor
