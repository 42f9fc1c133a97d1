#include <vor/core/guard.h>

#include "core/internal/rwstate.h"

#include <cstddef>

namespace Vor {
namespace Core {

namespace {

// One shard's map from address to count: open addressing with linear
// probing over a power-of-two table, so a lookup is a multiply, a shift and
// usually one cache line. Readers look up and change counts (atomically)
// under the shard's read lock; inserting, erasing and growing happen under
// its write lock, so slots never move while a reader looks at them.
class AddressTable {
public:
    struct Slot {
        std::uintptr_t m_Key = 0; // 0: free
        std::atomic<int> m_Count{0};
        bool m_bCounted = false;
    };

    AddressTable() { Resize(16); }
    ~AddressTable() { delete[] m_pSlots; }
    AddressTable(AddressTable const&) = delete;
    AddressTable& operator=(AddressTable const&) = delete;

    Slot* Find(std::uintptr_t key) const
    {
        for (std::size_t i = Home(key);; i = (i + 1) & m_Mask) {
            Slot& slot = m_pSlots[i];
            if (slot.m_Key == key)
                return &slot;
            if (slot.m_Key == 0)
                return nullptr;
        }
    }

    // Inserts or overwrites the entry for key.
    void Put(std::uintptr_t key, int count, bool counted)
    {
        if ((m_Size + 1) * 4 > (m_Mask + 1) * 3)
            Resize((m_Mask + 1) * 2);
        Slot* slot = Find(key);
        if (slot == nullptr) {
            slot = &m_pSlots[Home(key)];
            while (slot->m_Key != 0)
                slot = &m_pSlots[(static_cast<std::size_t>(slot - m_pSlots) + 1) & m_Mask];
            slot->m_Key = key;
            ++m_Size;
        }
        slot->m_Count.store(count, std::memory_order_relaxed);
        slot->m_bCounted = counted;
    }

    // Removes the entry, shifting later members of its probe run back so
    // that no run is broken (no tombstones needed).
    void Erase(Slot* slot)
    {
        std::size_t hole = static_cast<std::size_t>(slot - m_pSlots);
        for (std::size_t i = (hole + 1) & m_Mask; m_pSlots[i].m_Key != 0; i = (i + 1) & m_Mask) {
            std::size_t home = Home(m_pSlots[i].m_Key);
            // Move slot i into the hole when its home does not lie in (hole, i].
            bool movable = hole <= i ? (home <= hole || home > i) : (home <= hole && home > i);
            if (movable) {
                Move(m_pSlots[hole], m_pSlots[i]);
                hole = i;
            }
        }
        m_pSlots[hole].m_Key = 0;
        --m_Size;
    }

private:
    std::size_t Home(std::uintptr_t key) const
    {
        return static_cast<std::size_t>((static_cast<std::uint64_t>(key >> 4) * 0xC2B2AE3D27D4EB4Full) >> 32) & m_Mask;
    }

    static void Move(Slot& to, Slot& from)
    {
        to.m_Key = from.m_Key;
        to.m_Count.store(from.m_Count.load(std::memory_order_relaxed), std::memory_order_relaxed);
        to.m_bCounted = from.m_bCounted;
        from.m_Key = 0;
    }

    void Resize(std::size_t capacity)
    {
        Slot* old = m_pSlots;
        std::size_t oldCapacity = old == nullptr ? 0 : m_Mask + 1;
        m_pSlots = new Slot[capacity];
        m_Mask = capacity - 1;
        m_Size = 0;
        for (std::size_t i = 0; i < oldCapacity; ++i) {
            if (old[i].m_Key != 0)
                Put(old[i].m_Key, old[i].m_Count.load(std::memory_order_relaxed), old[i].m_bCounted);
        }
        delete[] old;
    }

    Slot* m_pSlots = nullptr;
    std::size_t m_Mask = 0;
    std::size_t m_Size = 0;
};

// The registry of GlobalRef objects: address -> count. It is split into
// shards by address, each with its own reader/writer lock, so threads
// working on different objects rarely meet on one lock. Lookups and count
// changes hold a shard for reading; inserting and erasing entries hold it
// for writing. No lock is held while an object is deleted.
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

void Register(void const* object, int count, bool counted)
{
    Registry::Shard& shard = TheRegistry().For(object);
    WriteScope scope(shard.m_Lock);
    shard.m_Map.Put(Key(object), count, counted);
}

} // namespace

GlobalRef::GlobalRef(unsigned int count) : m_bCounted(count != UNCOUNTED)
{
    Register(this, m_bCounted ? static_cast<int>(count) : 1, m_bCounted);
}

GlobalRef::GlobalRef(GlobalRef const& other) : m_bCounted(other.m_bCounted) { Register(this, 1, m_bCounted); }

GlobalRef::~GlobalRef()
{
    Registry::Shard& shard = TheRegistry().For(this);
    WriteScope scope(shard.m_Lock);
    if (AddressTable::Slot* slot = shard.m_Map.Find(Key(this)))
        shard.m_Map.Erase(slot);
}

bool GlobalRef::IncRef() const { return IncRefAt(this); }

unsigned int GlobalRef::GetRef() const { return GetRefAt(this); }

bool GlobalRef::IncRefAt(GlobalRef const* object)
{
    Registry::Shard& shard = TheRegistry().For(object);
    ReadScope scope(shard.m_Lock);
    AddressTable::Slot* slot = shard.m_Map.Find(Key(object));
    if (slot == nullptr)
        return false;
    if (slot->m_bCounted)
        slot->m_Count.fetch_add(1, std::memory_order_relaxed);
    return true;
}

bool GlobalRef::DecRef() const
{
    Registry::Shard& shard = TheRegistry().For(this);
    {
        ReadScope scope(shard.m_Lock);
        AddressTable::Slot* slot = shard.m_Map.Find(Key(this));
        if (slot == nullptr)
            return false;
        if (!slot->m_bCounted)
            return true;
        if (slot->m_Count.fetch_sub(1, std::memory_order_acq_rel) - 1 >= 1)
            return true;
    }
    // The count reached 0 under the read lock. Whether the object really
    // dies is decided under the write lock: another thread may have taken a
    // reference through IncRef in between.
    {
        WriteScope scope(shard.m_Lock);
        AddressTable::Slot* slot = shard.m_Map.Find(Key(this));
        if (slot == nullptr)
            return false;
        if (slot->m_Count.load(std::memory_order_acquire) >= 1)
            return true;
        shard.m_Map.Erase(slot);
    }
    delete this;
    return true;
}

unsigned int GlobalRef::GetRefAt(GlobalRef const* object)
{
    Registry::Shard& shard = TheRegistry().For(object);
    ReadScope scope(shard.m_Lock);
    AddressTable::Slot* slot = shard.m_Map.Find(Key(object));
    if (slot == nullptr)
        return UNCOUNTED;
    if (!slot->m_bCounted)
        return 1;
    return static_cast<unsigned int>(slot->m_Count.load(std::memory_order_relaxed));
}

} // namespace Core
} // namespace Vor
