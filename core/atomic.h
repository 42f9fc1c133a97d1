// Atomic values.
//
// Interlocked instantiations (Native = 1) use the processor's atomic
// operations. Locked instantiations (Native = 0) guard a plain value with one
// of 16 spin locks chosen by the value's address; unrelated values may share
// a slot, but a value is never guarded by two.
#pragma once

#include <vor/core/lock.h>

#include <atomic>
#include <type_traits>

namespace Vor {
namespace Core {

template <class T, int Native, unsigned int Size = sizeof(T)>
class BasicAtomic;

// Interlocked.
template <class T, unsigned int Size>
class BasicAtomic<T, 1, Size> {
public:
    static_assert(Size == sizeof(T), "Size is the size of T");

    BasicAtomic() = default;
    BasicAtomic(T const& value) : m_Value(value) {}
    BasicAtomic(BasicAtomic const& other) : m_Value(other.GetValue()) {}
    T operator=(BasicAtomic const& other) { return SetValue(other.GetValue()); }
    T operator=(T const& value) { return SetValue(value); }

    operator T() const { return GetValue(); }
    // Stores value and returns the one it replaced.
    T Swap(T const& value) { return m_Value.exchange(value); }
    bool CompareSwap(T& expected, T const& desired) { return m_Value.compare_exchange_strong(expected, desired); }

protected:
    T GetValue() const { return m_Value.load(); }
    T SetValue(T const& value)
    {
        m_Value.store(value);
        return value;
    }
    std::atomic<T> m_Value;
};

// Locked.
template <class T, unsigned int Size>
class BasicAtomic<T, 0, Size> {
public:
    static_assert(Size == sizeof(T), "Size is the size of T");

    BasicAtomic() : m_Value() {}
    BasicAtomic(T const& value) : m_Value(value) {}
    BasicAtomic(BasicAtomic const& other) : m_Value(other.GetValue()) {}
    T operator=(BasicAtomic const& other) { return SetValue(other.GetValue()); }
    T operator=(T const& value) { return SetValue(value); }

    operator T() const { return GetValue(); }
    T Swap(T const& value)
    {
        Lock local(GetLock(this));
        local.Enter();
        T old = m_Value;
        m_Value = value;
        return old;
    }

protected:
    T GetValue() const
    {
        Lock local(GetLock(this));
        local.EnterRead();
        return m_Value;
    }
    T SetValue(T const& value)
    {
        Lock local(GetLock(this));
        local.Enter();
        m_Value = value;
        return value;
    }
    // Made at the first use and never destroyed: a value may still be used
    // by a thread that runs on while the process exits.
    static Lock GetLock(void const* address)
    {
        static LockTable<16, Lock::SPIN_LOCK>& s_LockTable = *new LockTable<16, Lock::SPIN_LOCK>;
        return s_LockTable[address];
    }
    T m_Value;
};

// An atomic value that counts: adds and subtracts as well as loads and
// stores.
template <class T, int Native, unsigned int Size = sizeof(T)>
class NumberAtomic : public BasicAtomic<T, Native, Size> {
public:
    using BasicAtomic<T, Native, Size>::BasicAtomic;
    using BasicAtomic<T, Native, Size>::operator=;
    NumberAtomic() = default;
};

template <class T, int Native, unsigned int Size = sizeof(T)>
class IntAtomic;

// An interlocked integer: the processor's atomic operations, bitwise ones
// included.
template <class T, unsigned int Size>
class IntAtomic<T, 1, Size> : public NumberAtomic<T, 1, Size> {
public:
    static_assert(std::is_integral<T>::value, "IntAtomic holds integers");
    using NumberAtomic<T, 1, Size>::NumberAtomic;
    using NumberAtomic<T, 1, Size>::operator=;
    IntAtomic() = default;

    // Both return the new value.
    T operator++() { return ++this->m_Value; }
    T operator--() { return --this->m_Value; }
    T operator+=(T const& d) { return this->m_Value += d; }
    T operator-=(T const& d) { return this->m_Value -= d; }
};

// A locked integer: a plain value guarded by its slot of the lock table.
template <class T, unsigned int Size>
class IntAtomic<T, 0, Size> : public NumberAtomic<T, 0, Size> {
public:
    static_assert(std::is_integral<T>::value, "IntAtomic holds integers");
    using NumberAtomic<T, 0, Size>::NumberAtomic;
    using NumberAtomic<T, 0, Size>::operator=;
    IntAtomic() = default;

    T operator++() { return Add(1); }
    T operator--() { return Add(static_cast<T>(-1)); }
    T operator+=(T const& d) { return Add(d); }
    T operator-=(T const& d) { return Add(static_cast<T>(0 - d)); }

private:
    T Add(T d)
    {
        Lock local(this->GetLock(this));
        local.Enter();
        this->m_Value = static_cast<T>(this->m_Value + d);
        return this->m_Value;
    }
};

namespace Detail {
template <class T, int IsInteger, unsigned int Size, int Interlocked>
struct ValueBase {
    // Non-integers: a byte is read and written whole by the processor; wider
    // values are guarded by the lock table.
    using type = BasicAtomic<T, Size == 1 ? 1 : 0, Size>;
};
template <class T, unsigned int Size, int Interlocked>
struct ValueBase<T, 1, Size, Interlocked> {
    using type = IntAtomic<T, Interlocked, Size>;
};
} // namespace Detail

// The atomic value the library declares: Value<int, 1, 0, 4, 1> is an
// interlocked int, Value<unsigned long long, 1, 0, 8, 0> a locked 64-bit
// counter, Value<bool, 0, 0, 1, 0> a flag.
template <class T, int IsInteger, int Reserved, unsigned int Size, int Interlocked>
class Value : public Detail::ValueBase<T, IsInteger, Size, Interlocked>::type {
    using Base = typename Detail::ValueBase<T, IsInteger, Size, Interlocked>::type;

public:
    using Base::Base;
    using Base::operator=;
    Value() = default;
};

} // namespace Core
} // namespace Vor
