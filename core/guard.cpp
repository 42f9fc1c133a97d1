#include <vor/core/guard.h>

#include "core/internal/rwstate.h"

#include <unordered_map>

namespace Vor {
namespace Core {

namespace {

// The registry of GlobalRef objects: address -> count. It is split into
// shards by address, each with its own reader/writer lock, so threads
// working on different objects rarely meet on one lock. Lookups and count
// changes hold a shard for reading; inserting and erasing entries hold it
// for writing. No lock is held while an object is deleted.
class Registry {
public:
    struct Entry {
        explicit Entry(int count, bool counted) : m_Count(count), m_bCounted(counted) {}
        std::atomic<int> m_Count;
        bool const m_bCounted;
    };

    struct alignas(64) Shard {
        Internal::RwState m_Lock;
        std::unordered_map<std::uintptr_t, Entry> m_Map;
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
    auto found = shard.m_Map.find(Key(object));
    if (found != shard.m_Map.end())
        shard.m_Map.erase(found);
    shard.m_Map.emplace(std::piecewise_construct, std::forward_as_tuple(Key(object)),
                        std::forward_as_tuple(count, counted));
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
    shard.m_Map.erase(Key(this));
}

bool GlobalRef::IncRef() const { return IncRefAt(this); }

unsigned int GlobalRef::GetRef() const { return GetRefAt(this); }

bool GlobalRef::IncRefAt(GlobalRef const* object)
{
    Registry::Shard& shard = TheRegistry().For(object);
    ReadScope scope(shard.m_Lock);
    auto found = shard.m_Map.find(Key(object));
    if (found == shard.m_Map.end())
        return false;
    if (found->second.m_bCounted)
        found->second.m_Count.fetch_add(1, std::memory_order_relaxed);
    return true;
}

bool GlobalRef::DecRef() const
{
    Registry::Shard& shard = TheRegistry().For(this);
    {
        ReadScope scope(shard.m_Lock);
        auto found = shard.m_Map.find(Key(this));
        if (found == shard.m_Map.end())
            return false;
        if (!found->second.m_bCounted)
            return true;
        if (found->second.m_Count.fetch_sub(1, std::memory_order_acq_rel) - 1 >= 1)
            return true;
    }
    // The count reached 0 under the read lock. Whether the object really
    // dies is decided under the write lock: another thread may have taken a
    // reference through IncRef in between.
    {
        WriteScope scope(shard.m_Lock);
        auto found = shard.m_Map.find(Key(this));
        if (found == shard.m_Map.end())
            return false;
        if (found->second.m_Count.load(std::memory_order_acquire) >= 1)
            return true;
        shard.m_Map.erase(found);
    }
    delete this;
    return true;
}

unsigned int GlobalRef::GetRefAt(GlobalRef const* object)
{
    Registry::Shard& shard = TheRegistry().For(object);
    ReadScope scope(shard.m_Lock);
    auto found = shard.m_Map.find(Key(object));
    if (found == shard.m_Map.end())
        return UNCOUNTED;
    if (!found->second.m_bCounted)
        return 1;
    return static_cast<unsigned int>(found->second.m_Count.load(std::memory_order_relaxed));
}

} // namespace Core
} // namespace Vor
