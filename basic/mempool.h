// A memory pool type and its slots. Only their layout and copying are
// defined: a lock, an ordered map and a hash map of 32-bit keys to 32-bit
// values, and two callbacks.
#pragma once

#include <vor/core/export.h>

#include <vor/core/callback.h>
#include <vor/core/guard.h>
#include <vor/core/hashmap.h>
#include <vor/core/lock.h>

#include <map>

namespace Vor {
namespace Basic {

// Copies copy each member in order: the copy shares the lock (as any Lock
// copy does) and the callbacks' bodies, and has maps of its own.
class VOR_API MemPool {
public:
    MemPool() = default;
    MemPool(MemPool const&) = default;
    MemPool& operator=(MemPool const&) = default;
    ~MemPool() = default;

protected:
    Core::Lock m_Lock;
    std::map<unsigned int, unsigned int> m_Slots;
    System::HashMap<unsigned int, unsigned int, 1> m_Blocks;
    Core::CallBack m_OnAlloc;
    Core::CallBack m_OnFree;
};

// A counted slot of a pool, held through Core::Guard<MemSlot>.
class VOR_API MemSlot : public Core::LocalRef {
public:
    MemSlot() = default;

protected:
    ~MemSlot() override = default;
};

} // namespace Basic
} // namespace Vor
