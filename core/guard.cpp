#include <vor/core/guard.h>

#include "core/internal/rwstate.h"

#include <cstddef>

namespace Vor {
namespace Core {

constexpr unsigned int GlobalRef::UNCOUNTED;

namespace {

// One shard's set of live addresses: open addressing with linear probing
// over a power-of-two table, so a lookup is a multiply, a shift and usually
// one cache line. Readers look up under the shard's read lock; inserting,
// erasing and growing happen under its write lock, so slots never move while
// a reader looks at them.
class AddressTable {
public:
    AddressTable() { Resize(16); }
    ~AddressTable() { delete[] m_pKeys; }
    AddressTable(AddressTable const&) = delete;
    AddressTable& operator=(AddressTable const&) = delete;

    // The slot holding key, or null.
    std::uintptr_t* Find(std::uintptr_t key) const
    {
        for (std::size_t i = Home(key);; i = (i + 1) & m_Mask) {
            std::uintptr_t& slot = m_pKeys[i];
            if (slot == key)
                return &slot;
            if (slot == 0)
                return nullptr;
        }
    }

    void Put(std::uintptr_t key)
    {
        if (Find(key) != nullptr)
            return;
        if ((m_Size + 1) * 4 > (m_Mask + 1) * 3)
            Resize((m_Mask + 1) * 2);
        std::size_t i = Home(key);
        while (m_pKeys[i] != 0)
            i = (i + 1) & m_Mask;
        m_pKeys[i] = key;
        ++m_Size;
    }

    // Removes the entry, shifting later members of its probe run back so
    // that no run is broken (no tombstones needed).
    void Erase(std::uintptr_t* slot)
    {
        std::size_t hole = static_cast<std::size_t>(slot - m_pKeys);
        for (std::size_t i = (hole + 1) & m_Mask; m_pKeys[i] != 0; i = (i + 1) & m_Mask) {
            std::size_t home = Home(m_pKeys[i]);
            // Move slot i into the hole when its home does not lie in (hole, i].
            bool movable = hole <= i ? (home <= hole || home > i) : (home <= hole && home > i);
            if (movable) {
                m_pKeys[hole] = m_pKeys[i];
                hole = i;
            }
        }
        m_pKeys[hole] = 0;
        --m_Size;
    }

private:
    std::size_t Home(std::uintptr_t key) const
    {
        return static_cast<std::size_t>((static_cast<std::uint64_t>(key >> 4) * 0xC2B2AE3D27D4EB4Full) >> 32) & m_Mask;
    }

    void Resize(std::size_t capacity)
    {
        std::uintptr_t* old = m_pKeys;
        std::size_t oldCapacity = old == nullptr ? 0 : m_Mask + 1;
        m_pKeys = new std::uintptr_t[capacity]();
        m_Mask = capacity - 1;
        m_Size = 0;
        for (std::size_t i = 0; i < oldCapacity; ++i) {
            if (old[i] != 0)
                Put(old[i]);
        }
        delete[] old;
    }

    std::uintptr_t* m_pKeys = nullptr;
    std::size_t m_Mask = 0;
    std::size_t m_Size = 0;
};

// The registry of live GlobalRef objects by address. It is split into
// shards by address, each with its own reader/writer lock, so threads
// working on different objects rarely meet on one lock. Lookups hold a shard
// for reading, and an object found may be read (its count changed) until
// the lock is left: it is erased under the write lock before it dies.
// Inserting and erasing hold the shard for writing. No lock is held while an
// object is deleted.
class Registry {
public:
    struct alignas(64) Shard {
        Internal::RwState m_Lock;
        AddressTable m_Map;
    };

    static constexpr unsigned int SHARD_BITS = 6;

    Shard& For(void const* object)
    {
        std::uintptr_t a = reinterpret_cast<std::uintptr_t>(object);
        std::uint64_t h = static_cast<std::uint64_t>(a >> 4) * 0x9E3779B97F4A7C15ull;
        return m_Shards[h >> (64 - SHARD_BITS)];
    }

private:
    Shard m_Shards[1u << SHARD_BITS];
};

// Never destroyed: objects with static storage may release references while
// the process exits, after function-local statics are gone.
Registry& TheRegistry()
{
    static Registry* s_pRegistry = new Registry;
    return *s_pRegistry;
}

std::uintptr_t Key(void const* object) { return reinterpret_cast<std::uintptr_t>(object); }

class ReadScope {
public:
    explicit ReadScope(Internal::RwState& lock) : m_Lock(lock) { m_Lock.EnterRead(); }
    ~ReadScope() { m_Lock.Leave(); }

private:
    Internal::RwState& m_Lock;
};

class WriteScope {
public:
    explicit WriteScope(Internal::RwState& lock) : m_Lock(lock) { m_Lock.EnterWrite(); }
    ~WriteScope() { m_Lock.Leave(); }

private:
    Internal::RwState& m_Lock;
};

void Register(void const* object)
{
    Registry::Shard& shard = TheRegistry().For(object);
    WriteScope scope(shard.m_Lock);
    shard.m_Map.Put(Key(object));
}

} // namespace

GlobalRef::GlobalRef(unsigned int count)
    : m_bCounted(count != UNCOUNTED), m_iCount(m_bCounted ? static_cast<int>(count) : 1)
{
    Register(this);
}

GlobalRef::GlobalRef(GlobalRef const& other) : m_bCounted(other.m_bCounted), m_iCount(1) { Register(this); }

GlobalRef::~GlobalRef()
{
    Registry::Shard& shard = TheRegistry().For(this);
    WriteScope scope(shard.m_Lock);
    if (std::uintptr_t* slot = shard.m_Map.Find(Key(this)))
        shard.m_Map.Erase(slot);
}

bool GlobalRef::IncRef() const { return IncRefAt(this); }

unsigned int GlobalRef::GetRef() const { return GetRefAt(this); }

bool GlobalRef::IncRefAt(GlobalRef const* object)
{
    Registry::Shard& shard = TheRegistry().For(object);
    ReadScope scope(shard.m_Lock);
    if (shard.m_Map.Find(Key(object)) == nullptr)
        return false;
    object->IncRefHeld(); // listed, so alive while the read lock is held
    return true;
}

bool GlobalRef::ReleaseLast(GlobalRef const* object)
{
    // The count reached 0. Whether the object really dies is decided under
    // the write lock: another thread may have taken a reference through
    // IncRefAt in between. Without an entry another release decided already
    // (the object is gone): nothing here may read it, and the answer is false.
    Registry::Shard& shard = TheRegistry().For(object);
    {
        WriteScope scope(shard.m_Lock);
        std::uintptr_t* slot = shard.m_Map.Find(Key(object));
        if (slot == nullptr)
            return false;
        if (object->m_iCount.load(std::memory_order_acquire) >= 1)
            return true;
        shard.m_Map.Erase(slot);
    }
    delete object;
    return true;
}

unsigned int GlobalRef::GetRefAt(GlobalRef const* object)
{
    Registry::Shard& shard = TheRegistry().For(object);
    ReadScope scope(shard.m_Lock);
    if (shard.m_Map.Find(Key(object)) == nullptr)
        return UNCOUNTED;
    if (!object->m_bCounted)
        return 1;
    return static_cast<unsigned int>(object->m_iCount.load(std::memory_order_relaxed));
}

} // namespace Core
} // namespace Vor
