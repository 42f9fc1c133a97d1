#include <vor/core/guard.h>

#include "core/internal/rwstate.h"
#include "core/internal/testhooks.h"

#include <cstddef>

namespace Vor {
namespace Core {

constexpr unsigned int GlobalRef::UNCOUNTED;

std::atomic<Internal::CountFoundHook> Internal::g_CountFound{nullptr};
std::atomic<Internal::CountListedHook> Internal::g_CountListed{nullptr};

namespace {

using Word = std::uint64_t;

constexpr Word TENURE_ONE = Word(1) << 32;
constexpr Word TENURE_MASK = Word(0x7FFFFFFF) << 32;
constexpr Word UNCOUNTED_BIT = Word(1) << 63;
constexpr Word DYING = 0xC0000000u; // a count of -2^30: far from 0 and from INT_MIN

// Where an object's count lives. A cell is given to one object at a time and
// given back when the object goes; the tenure in its word changes then, so
// a compare-and-swap against a word read under an earlier tenure fails. A
// cell has a cache line of its own: two threads counting distinct objects
// never write one line.
struct alignas(64) CountCell {
    std::atomic<Word> m_Word{0};
    CountCell* m_pNextFree = nullptr;
};

struct CellChunk {
    static constexpr std::size_t SIZE = 32;
    CountCell m_Cells[SIZE];
    CellChunk* m_pNext = nullptr;
};

struct Slot {
    std::atomic<std::uintptr_t> m_Key{0};
    std::atomic<CountCell*> m_pCell{nullptr};
};

// One array of slots: open addressing with linear probing over a power of
// two, so a look-up is a multiply, a shift and usually one cache line. An
// array replaced by a larger one is kept, never freed: a reader may still be
// looking at it.
struct SlotArray {
    explicit SlotArray(std::size_t capacity, SlotArray* older)
        : m_pSlots(new Slot[capacity]), m_Mask(capacity - 1), m_pOlder(older)
    {
    }
    Slot* const m_pSlots;
    std::size_t const m_Mask;
    SlotArray* const m_pOlder;

    std::size_t Home(std::uintptr_t key) const
    {
        return static_cast<std::size_t>((static_cast<std::uint64_t>(key >> 4) * 0xC2B2AE3D27D4EB4Full) >> 32) & m_Mask;
    }

    // The slot holding key, or null. Safe to run while a writer changes the
    // array (every slot is atomic and the probe is bounded); the answer then
    // means nothing, and the reader's version check throws it away.
    Slot* Find(std::uintptr_t key) const
    {
        std::size_t i = Home(key);
        for (std::size_t n = 0; n <= m_Mask; ++n, i = (i + 1) & m_Mask) {
            std::uintptr_t k = m_pSlots[i].m_Key.load(std::memory_order_acquire);
            if (k == key)
                return &m_pSlots[i];
            if (k == 0)
                return nullptr;
        }
        return nullptr;
    }
};

// The registry of live GlobalRef objects by address. It is split into
// shards by address, so threads working on different objects rarely meet.
// Readers take no lock and write nothing: they read the shard's version,
// look the address up, read the cell's word, and read the version again; an
// odd or changed version means a writer was inside, and the reader tries
// again, in the end under the shard's lock for reading. Inserting, erasing
// and growing hold the lock for writing and make the version odd meanwhile.
// No lock is held while an object is deleted.
class Registry {
public:
    struct alignas(64) Shard {
        Internal::RwState m_Lock;
        std::atomic<std::uint32_t> m_Version{0};
        std::atomic<SlotArray*> m_pArray{nullptr};
        // The rest only under the write lock.
        std::size_t m_Size = 0;
        CountCell* m_pFree = nullptr;
        CellChunk* m_pChunks = nullptr;
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

// The write lock, with the shard's version odd while it is held: whatever a
// reader saw meanwhile is thrown away. Every slot is stored with release and
// loaded with acquire, so a reader that sees any store made under the lock
// also sees the odd version on its second look (no fences: the thread
// sanitizer follows these, and on x86 they are plain moves).
class WriteScope {
public:
    explicit WriteScope(Registry::Shard& shard) : m_Shard(shard)
    {
        m_Shard.m_Lock.EnterWrite();
        m_Shard.m_Version.store(m_Shard.m_Version.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    ~WriteScope()
    {
        m_Shard.m_Version.store(m_Shard.m_Version.load(std::memory_order_relaxed) + 1, std::memory_order_release);
        m_Shard.m_Lock.Leave();
    }

    Slot* Find(std::uintptr_t key) const
    {
        SlotArray* array = m_Shard.m_pArray.load(std::memory_order_relaxed);
        return array == nullptr ? nullptr : array->Find(key);
    }

    void Put(std::uintptr_t key, CountCell* cell)
    {
        if (Slot* slot = Find(key)) {
            // An object was built over one that never went: the new one counts.
            slot->m_pCell.store(cell, std::memory_order_release);
            return;
        }
        SlotArray* array = m_Shard.m_pArray.load(std::memory_order_relaxed);
        if (array == nullptr || (m_Shard.m_Size + 1) * 4 > (array->m_Mask + 1) * 3)
            array = Grow(array);
        Place(*array, key, cell);
        ++m_Shard.m_Size;
    }

    // Removes the entry, shifting later members of its probe run back so
    // that no run is broken (no tombstones needed). A member is copied into
    // the hole before its own slot is emptied or refilled.
    void Erase(Slot* slot)
    {
        SlotArray& array = *m_Shard.m_pArray.load(std::memory_order_relaxed);
        Slot* slots = array.m_pSlots;
        std::size_t hole = static_cast<std::size_t>(slot - slots);
        for (std::size_t i = (hole + 1) & array.m_Mask; slots[i].m_Key.load(std::memory_order_relaxed) != 0;
             i = (i + 1) & array.m_Mask) {
            std::size_t home = array.Home(slots[i].m_Key.load(std::memory_order_relaxed));
            // Move slot i into the hole when its home does not lie in (hole, i].
            bool movable = hole <= i ? (home <= hole || home > i) : (home <= hole && home > i);
            if (movable) {
                slots[hole].m_pCell.store(slots[i].m_pCell.load(std::memory_order_relaxed), std::memory_order_release);
                slots[hole].m_Key.store(slots[i].m_Key.load(std::memory_order_relaxed), std::memory_order_release);
                hole = i;
            }
        }
        slots[hole].m_Key.store(0, std::memory_order_release);
        slots[hole].m_pCell.store(nullptr, std::memory_order_release);
        --m_Shard.m_Size;
    }

    CountCell* TakeCell(Word count)
    {
        if (m_Shard.m_pFree == nullptr) {
            CellChunk* chunk = new CellChunk;
            chunk->m_pNext = m_Shard.m_pChunks;
            m_Shard.m_pChunks = chunk;
            for (CountCell& cell : chunk->m_Cells) {
                cell.m_pNextFree = m_Shard.m_pFree;
                m_Shard.m_pFree = &cell;
            }
        }
        CountCell* cell = m_Shard.m_pFree;
        m_Shard.m_pFree = cell->m_pNextFree;
        Word tenure = cell->m_Word.load(std::memory_order_relaxed) & TENURE_MASK;
        cell->m_Word.store(tenure | count, std::memory_order_relaxed);
        return cell;
    }

    void GiveBack(CountCell* cell)
    {
        Word tenure = (cell->m_Word.load(std::memory_order_relaxed) + TENURE_ONE) & TENURE_MASK;
        cell->m_Word.store(tenure, std::memory_order_relaxed);
        cell->m_pNextFree = m_Shard.m_pFree;
        m_Shard.m_pFree = cell;
    }

private:
    static void Place(SlotArray& array, std::uintptr_t key, CountCell* cell)
    {
        std::size_t i = array.Home(key);
        while (array.m_pSlots[i].m_Key.load(std::memory_order_relaxed) != 0)
            i = (i + 1) & array.m_Mask;
        array.m_pSlots[i].m_pCell.store(cell, std::memory_order_release);
        array.m_pSlots[i].m_Key.store(key, std::memory_order_release);
    }

    SlotArray* Grow(SlotArray* old)
    {
        std::size_t capacity = old == nullptr ? 16 : (old->m_Mask + 1) * 2;
        auto* array = new SlotArray(capacity, old);
        for (std::size_t i = 0; old != nullptr && i <= old->m_Mask; ++i) {
            std::uintptr_t key = old->m_pSlots[i].m_Key.load(std::memory_order_relaxed);
            if (key != 0)
                Place(*array, key, old->m_pSlots[i].m_pCell.load(std::memory_order_relaxed));
        }
        m_Shard.m_pArray.store(array, std::memory_order_release);
        return array;
    }

    Registry::Shard& m_Shard;
};

Word FirstWord(unsigned int count)
{
    if (count == GlobalRef::UNCOUNTED)
        return UNCOUNTED_BIT | 1;
    return count == 0 ? DYING : count; // dying from the start
}

// Takes a reference on the count in `cell`, whose word was `word` while the
// cell was the object's: only while the cell keeps that tenure and the
// count is at least 1. False when the object is dying or the cell has moved
// on (the object is gone).
bool TakeIn(CountCell* cell, Word word)
{
    Word tenure = word & TENURE_MASK;
    for (;;) {
        if ((word & UNCOUNTED_BIT) != 0)
            return true;
        if (static_cast<int>(static_cast<std::uint32_t>(word)) < 1 || (word & TENURE_MASK) != tenure)
            return false;
        if (cell->m_Word.compare_exchange_weak(word, word + 1, std::memory_order_acquire, std::memory_order_relaxed))
            return true;
    }
}

} // namespace

GlobalRef::GlobalRef(unsigned int count) : m_bCounted(count != UNCOUNTED) { Enlist(count); }

GlobalRef::GlobalRef(GlobalRef const& other) : m_bCounted(other.m_bCounted) { Enlist(m_bCounted ? 1 : UNCOUNTED); }

// The object's own fields are set before the registry lists it: a thread
// holding a stale pointer to this address may find the new object there,
// take a reference and drop it again at once, and it reads them to do so.
void GlobalRef::Enlist(unsigned int count)
{
    {
        WriteScope scope(TheRegistry().For(this));
        CountCell* cell = scope.TakeCell(FirstWord(count));
        m_pCount = &cell->m_Word;
        scope.Put(Key(this), cell);
    }
    Internal::CountListedHook hook = Internal::g_CountListed.load(std::memory_order_relaxed);
    if (hook != nullptr)
        hook(this);
}

GlobalRef::~GlobalRef()
{
    WriteScope scope(TheRegistry().For(this));
    Slot* slot = scope.Find(Key(this));
    if (slot != nullptr && &slot->m_pCell.load(std::memory_order_relaxed)->m_Word == m_pCount)
        scope.Erase(slot);
    // The cell's address is the object's own member: the cell sits at the
    // start of its struct.
    scope.GiveBack(reinterpret_cast<CountCell*>(m_pCount));
}

bool GlobalRef::IncRef() const { return IncRefAt(this); }

unsigned int GlobalRef::GetRef() const { return GetRefAt(this); }

bool GlobalRef::IncRefAt(GlobalRef const* object)
{
    Registry::Shard& shard = TheRegistry().For(object);
    std::uintptr_t key = Key(object);
    for (int tries = 0; tries < 4; ++tries) {
        std::uint32_t version = shard.m_Version.load(std::memory_order_acquire);
        if ((version & 1) != 0)
            break;
        SlotArray* array = shard.m_pArray.load(std::memory_order_acquire);
        Internal::CountFoundHook hook = Internal::g_CountFound.load(std::memory_order_relaxed);
        if (hook != nullptr)
            hook(object, 0);
        Slot* slot = array == nullptr ? nullptr : array->Find(key);
        CountCell* cell = slot == nullptr ? nullptr : slot->m_pCell.load(std::memory_order_acquire);
        Word word = cell == nullptr ? 0 : cell->m_Word.load(std::memory_order_acquire);
        if (shard.m_Version.load(std::memory_order_relaxed) != version)
            continue;
        if (cell == nullptr)
            return false;
        if (hook != nullptr)
            hook(object, 1);
        return TakeIn(cell, word);
    }
    // A writer is inside the shard, or keeps coming back: wait it out.
    ReadScope scope(shard.m_Lock);
    SlotArray* array = shard.m_pArray.load(std::memory_order_acquire);
    Slot* slot = array == nullptr ? nullptr : array->Find(key);
    if (slot == nullptr)
        return false;
    CountCell* cell = slot->m_pCell.load(std::memory_order_relaxed);
    return TakeIn(cell, cell->m_Word.load(std::memory_order_relaxed));
}

bool GlobalRef::ReleaseLast(GlobalRef const* object)
{
    // A count at 0 never rises through the registry again. The count is set
    // far below 0 as well, so that a reference the dying object's own
    // destructors take and drop again as holders (a handle copied and let
    // go) cannot bring it back to 0 and delete the object a second time.
    Word word = object->m_pCount->load(std::memory_order_relaxed);
    object->m_pCount->store((word & ~Word(0xFFFFFFFF)) | DYING, std::memory_order_relaxed);
    delete object;
    return true;
}

unsigned int GlobalRef::GetRefAt(GlobalRef const* object)
{
    Registry::Shard& shard = TheRegistry().For(object);
    ReadScope scope(shard.m_Lock);
    SlotArray* array = shard.m_pArray.load(std::memory_order_acquire);
    Slot* slot = array == nullptr ? nullptr : array->Find(Key(object));
    if (slot == nullptr)
        return UNCOUNTED;
    Word word = slot->m_pCell.load(std::memory_order_relaxed)->m_Word.load(std::memory_order_relaxed);
    if ((word & UNCOUNTED_BIT) != 0)
        return 1;
    int count = static_cast<int>(static_cast<std::uint32_t>(word));
    return count < 0 ? 0u : static_cast<unsigned int>(count);
}

} // namespace Core
} // namespace Vor
