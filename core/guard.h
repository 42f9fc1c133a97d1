// Reference counting and guarded handles.
//
// Every shared object lives on the heap and deletes itself when its last
// reference goes. LocalRef keeps the count inside the object; GlobalRef
// keeps it in a process-wide registry keyed by the object's address, so a
// reference taken through a pointer to an object that is already gone fails
// instead of touching freed memory. Guard<T> is the handle all code holds.
#pragma once

#include <vor/core/export.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

namespace Vor {
namespace Core {

// Counted inside the object. The base of small, private objects.
class VOR_API LocalRef {
public:
    // Takes a reference. False when the count was already exhausted: the
    // object is dying and must not be used.
    bool IncRef() const
    {
        if (!m_bCounted)
            return true;
        return m_iCount.fetch_add(1, std::memory_order_relaxed) + 1 > 0;
    }

    // Drops a reference; the one that takes the count to 0 deletes the
    // object. Always true.
    VOR_HOT bool DecRef() const
    {
        if (m_bCounted && m_iCount.fetch_sub(1, std::memory_order_acq_rel) - 1 <= 0)
            delete this;
        return true;
    }

    unsigned int GetRef() const { return static_cast<unsigned int>(m_iCount.load(std::memory_order_relaxed)); }

    // Small objects of this kind are built and dropped per message (task
    // parameters, callback bodies): freed blocks wait in a cache of the
    // freeing thread and serve its next allocations of the same size class.
    static void* operator new(std::size_t size);
    static void* operator new(std::size_t size, std::nothrow_t const&) noexcept;
    static void* operator new(std::size_t, void* where) noexcept { return where; }
    static void operator delete(void* block) noexcept;
    static void operator delete(void* block, std::nothrow_t const&) noexcept { operator delete(block); }
    static void operator delete(void*, void*) noexcept {}

protected:
    explicit LocalRef(unsigned int count = 1, bool counted = true)
        : m_bCounted(counted), m_iCount(static_cast<int>(count))
    {
    }
    // A copy is a new object: it starts with one reference of its own.
    LocalRef(LocalRef const& other) : m_bCounted(other.m_bCounted), m_iCount(1) {}
    LocalRef& operator=(LocalRef const&) { return *this; }
    virtual ~LocalRef() = default;

private:
    bool const m_bCounted;
    mutable std::atomic<int> m_iCount;
};

// Counted with the help of the process-wide registry. The base of
// long-lived objects that other threads may reach through plain pointers.
//
// The registry lists every live GlobalRef object by address, with the cell
// that holds its count. Cells belong to the registry and are never freed,
// only handed to a later object, so a cell can be read whatever has become
// of the object that had it. Whatever starts from a plain pointer (IncRef,
// IncRefAt, GetRef, a guard built from a pointer) looks the address up and
// changes the count in the cell only while the cell still holds the same
// object's count: a pointer to an object that is gone gives a failure, never
// a read of freed memory. A holder of a reference already knows the object
// is alive: copying a guard and dropping a reference change the count with
// one atomic operation. A count that reached 0 stays 0: the object is dying
// and no reference is given any more, through the registry or otherwise.
// Uncounted objects (built with count 0xFFFFFFFF) are listed in the registry
// too, so that they are recognised, and never change or die by counting.
class VOR_API GlobalRef {
public:
    static constexpr unsigned int UNCOUNTED = 0xFFFFFFFFu;

    // True when the reference was taken (or the object is uncounted); false
    // when the object is gone or dying.
    bool IncRef() const;
    // For a caller that holds a reference of its own: one more.
    void IncRefHeld() const
    {
        if (m_bCounted)
            m_pCount->fetch_add(1, std::memory_order_relaxed);
    }
    // For a caller inside a call on the object, which keeps it in place
    // without holding a reference: one more, without the registry. False
    // when the object is already dying.
    bool IncRefLive() const { return !m_bCounted || StepLive(1) > 0; }
    // Drops a reference held by the caller: true when it was dropped (or the
    // object is uncounted); false, with nothing changed, when the object is
    // already dying. Deletes the object at the last release.
    VOR_HOT bool DecRef() const
    {
        if (!m_bCounted)
            return true;
        int count = CountOf(m_pCount->fetch_sub(1, std::memory_order_acq_rel));
        if (count > 1)
            return true;
        if (count == 1)
            return ReleaseLast(this);
        m_pCount->fetch_add(1, std::memory_order_relaxed); // dying already: put it back
        return false;
    }
    // 1 for an uncounted object, the count for a registered one, 0xFFFFFFFF
    // for an address without an entry.
    unsigned int GetRef() const;

    // The same, through a pointer that may no longer point at a live object:
    // they read the object only while the registry lists it.
    static bool IncRefAt(GlobalRef const* object);
    static unsigned int GetRefAt(GlobalRef const* object);

protected:
    explicit GlobalRef(unsigned int count = 1);
    GlobalRef(GlobalRef const& other);
    GlobalRef& operator=(GlobalRef const&) { return *this; }
    virtual ~GlobalRef();

private:
    // A count cell's word: the count in the low 32 bits, the cell's tenure
    // (bumped each time the cell is given back) above it, and the top bit
    // set for an uncounted object.
    static int CountOf(std::uint64_t word) { return static_cast<int>(static_cast<std::uint32_t>(word)); }

    // Adds `step` to a count of at least 1 and gives the count before it; a
    // count below 1 (a dying object) is left alone and given back as it is.
    int StepLive(int step) const
    {
        std::uint64_t word = m_pCount->load(std::memory_order_relaxed);
        while (CountOf(word) >= 1 &&
               !m_pCount->compare_exchange_weak(word, word + static_cast<std::uint64_t>(static_cast<std::int64_t>(step)),
                                                std::memory_order_acq_rel, std::memory_order_relaxed)) {
        }
        return CountOf(word);
    }

    // After a release took the count to 0: the object dies. Always true.
    static bool ReleaseLast(GlobalRef const* object);

    // Takes the object's count cell and lists the object in the registry.
    void Enlist(unsigned int count);

    bool const m_bCounted;
    std::atomic<std::uint64_t>* m_pCount; // set once, by Enlist
};

// A GlobalRef with nothing of its own, for exercising the counting.
class VOR_API RefTest : public GlobalRef {
public:
    explicit RefTest(unsigned int count = 1) : GlobalRef(count) {}

protected:
    ~RefTest() override = default;
};

namespace Detail {
// Guards take references through here. A GlobalRef object may be reached
// through a stale pointer, so a reference from a plain pointer is taken
// through the registry; a copy of a held reference is taken directly.
template <class T, bool Global = std::is_base_of<GlobalRef, T>::value>
struct RefOps {
    static bool Inc(T* p) { return p->IncRef(); }
    static void IncHeld(T* p) { p->IncRef(); }
};
template <class T>
struct RefOps<T, true> {
    static bool Inc(T* p) { return GlobalRef::IncRefAt(static_cast<GlobalRef const*>(p)); }
    static void IncHeld(T* p) { static_cast<GlobalRef const*>(p)->IncRefHeld(); }
};
} // namespace Detail

// The handle to a counted object. An empty guard holds the per-type null
// object s_pNull (a null pointer unless one was installed with SetNull).
// A guard that was emptied before a null object was installed still holds a
// null pointer: null and s_pNull are both empty, always.
//
// One guard must not be assigned in one thread while another reads it;
// distinct guards on one object may be used from any threads.
template <class T>
class Guard {
public:
    static T* s_pNull;

    Guard() : m_pObject(s_pNull) {}
    Guard(T* p) : m_pObject(Acquire(p)) {}
    Guard(Guard const& g) : m_pObject(AcquireHeld(g.m_pObject)) {}
    Guard(Guard&& g) noexcept : m_pObject(g.m_pObject) { g.m_pObject = s_pNull; }
    ~Guard() { Release(m_pObject); }

    Guard& operator=(T* p)
    {
        T* old = m_pObject;
        m_pObject = Acquire(p); // the new reference first: self-assignment is safe
        Release(old);
        return *this;
    }
    Guard& operator=(Guard const& g)
    {
        T* old = m_pObject;
        m_pObject = AcquireHeld(g.m_pObject); // the new reference first: self-assignment is safe
        Release(old);
        return *this;
    }
    Guard& operator=(Guard&& g) noexcept
    {
        if (this != &g) {
            T* old = m_pObject;
            m_pObject = g.m_pObject;
            g.m_pObject = s_pNull;
            Release(old);
        }
        return *this;
    }

    // A guard that takes over a reference the caller holds on p, taking no
    // new one: the creation reference of a new object, say. Empty for null.
    static Guard Adopt(T* p)
    {
        Guard guard;
        if (p != nullptr)
            guard.m_pObject = p;
        return guard;
    }

    // Gives the reference to the caller and becomes empty: the object, for
    // the caller to release (Adopt takes it back), or null when empty.
    T* Detach()
    {
        T* p = IsEmpty(m_pObject) ? nullptr : m_pObject;
        m_pObject = s_pNull;
        return p;
    }

    // Drops the reference and becomes empty; false (no change) when empty.
    bool Clear()
    {
        if (IsEmpty(m_pObject))
            return false;
        T* old = m_pObject;
        m_pObject = s_pNull;
        Release(old);
        return true;
    }

    // Installs p as the null object of T. False, with nothing changed, when
    // a reference on p cannot be taken. Meant for start-up.
    static bool SetNull(T* p)
    {
        if (p != nullptr && !Detail::RefOps<T>::Inc(p))
            return false;
        T* old = s_pNull;
        s_pNull = p;
        if (old != nullptr)
            old->DecRef();
        return true;
    }

    bool IsValid() const { return !IsEmpty(m_pObject); }

    T* operator->() { return Get(); }
    T const* operator->() const { return Get(); }
    T& operator*() { return *Get(); }
    T const& operator*() const { return *Get(); }
    T const* Address() const { return Get(); }
    T* Raw() const { return Get(); }

    bool operator==(T const* p) const { return Key(Get()) == Key(p); }
    bool operator!=(T const* p) const { return Key(Get()) != Key(p); }
    bool operator<(T const* p) const { return Key(Get()) < Key(p); }
    bool operator<=(T const* p) const { return Key(Get()) <= Key(p); }
    bool operator>(T const* p) const { return Key(Get()) > Key(p); }
    bool operator>=(T const* p) const { return Key(Get()) >= Key(p); }
    bool operator==(Guard const& g) const { return *this == g.Get(); }
    bool operator!=(Guard const& g) const { return *this != g.Get(); }
    bool operator<(Guard const& g) const { return *this < g.Get(); }
    bool operator<=(Guard const& g) const { return *this <= g.Get(); }
    bool operator>(Guard const& g) const { return *this > g.Get(); }
    bool operator>=(Guard const& g) const { return *this >= g.Get(); }

private:
    static bool IsEmpty(T const* p) { return p == nullptr || p == s_pNull; }
    static std::uintptr_t Key(T const* p) { return reinterpret_cast<std::uintptr_t>(p); }

    static T* Acquire(T* p)
    {
        if (IsEmpty(p) || !Detail::RefOps<T>::Inc(p))
            return s_pNull;
        return p;
    }
    // A further reference on an object a guard holds: it is alive.
    static T* AcquireHeld(T* p)
    {
        if (IsEmpty(p))
            return s_pNull;
        Detail::RefOps<T>::IncHeld(p);
        return p;
    }
    static void Release(T* p)
    {
        if (!IsEmpty(p))
            p->DecRef();
    }

    T* Get() const { return m_pObject != nullptr ? m_pObject : s_pNull; }

    T* m_pObject;
};

template <class T>
T* Guard<T>::s_pNull = nullptr;

// A new object in a guard that holds its creation reference, so that the
// object lives exactly as long as guards on it:
//     Guard<TpSched> sched = New<TpSched>();
//     Guard<Scheduler> local = New<Scheduler, LocalSched>();
// The second form gives the guard of a base class. An empty guard when
// memory runs out. For objects made with the count of 1 that every class
// here starts with.
template <class T, class Made = T, class... Args>
Guard<T> New(Args&&... args)
{
    static_assert(std::is_convertible<Made*, T*>::value, "the object made must be a T");
    return Guard<T>::Adopt(new (std::nothrow) Made(std::forward<Args>(args)...));
}

} // namespace Core
} // namespace Vor
