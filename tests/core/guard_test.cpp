#include <vor/core/guard.h>
#include <vor/core/thread.h>

#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sys/mman.h>
#include <thread>
#include <vector>

using namespace Vor::Core;

namespace {

// Counts its death in *deaths (when given) and marks itself dead.
template <class Base>
class Mortal : public Base {
public:
    template <class... Args>
    explicit Mortal(std::atomic<int>* deaths = nullptr, Args... args) : Base(args...), m_pDeaths(deaths)
    {
    }
    ~Mortal() override
    {
        m_iAlive = 0;
        if (m_pDeaths != nullptr)
            ++*m_pDeaths;
    }
    int m_iAlive = 0x600D;

private:
    std::atomic<int>* m_pDeaths;
};
using Counted = Mortal<LocalRef>;
using Shared = Mortal<GlobalRef>;

} // namespace

TEST(GuardTest, EmptyGuardsAreInvalidEqualAndOrderedByAddress)
{
    Guard<Counted> empty;
    EXPECT_FALSE(empty.IsValid());
    EXPECT_FALSE(empty.Clear());
    EXPECT_TRUE(empty == Guard<Counted>(nullptr));
    Counted* a = new Counted;
    Counted* b = new Counted;
    Guard<Counted> ga(a), gb(b);
    a->DecRef();
    b->DecRef();
    bool less = reinterpret_cast<std::uintptr_t>(a) < reinterpret_cast<std::uintptr_t>(b);
    EXPECT_EQ(ga < gb, less);
    EXPECT_EQ(ga > gb, !less);
    EXPECT_TRUE(ga <= ga);
    EXPECT_TRUE(ga != gb);
}

TEST(GuardTest, HandOverCopiesAndSelfAssignmentKeepCountsRight)
{
    std::atomic<int> deaths{0};
    Counted* raw = new Counted(&deaths);
    {
        Guard<Counted> guard(raw);
        raw->DecRef();
        EXPECT_EQ(raw->GetRef(), 1u);
        Guard<Counted>& alias = guard;
        guard = alias;
        guard = raw;
        EXPECT_EQ(raw->GetRef(), 1u);
        Guard<Counted> copy(guard);
        EXPECT_EQ(raw->GetRef(), 2u);
        EXPECT_TRUE(copy.Clear());
        EXPECT_EQ(deaths.load(), 0);
    }
    EXPECT_EQ(deaths.load(), 1);
}

TEST(GuardTest, LocalObjectWithNegativeCountGivesAnEmptyGuard)
{
    Counted dying(nullptr, static_cast<unsigned int>(-5), true);
    Guard<Counted> guard(&dying);
    EXPECT_FALSE(guard.IsValid());
}

TEST(GuardTest, UncountedObjectsAreNeverDeleted)
{
    std::atomic<int> deaths{0};
    Counted local(&deaths, 1, false);
    EXPECT_TRUE(local.IncRef());
    EXPECT_TRUE(local.DecRef());
    EXPECT_TRUE(local.DecRef());
    { Guard<Counted> guard(&local); }
    EXPECT_EQ(deaths.load(), 0);

    Shared* global = new Shared(&deaths, GlobalRef::UNCOUNTED);
    EXPECT_TRUE(global->IncRef());
    EXPECT_TRUE(global->DecRef());
    EXPECT_TRUE(global->DecRef());
    { Guard<Shared> guard(global); EXPECT_TRUE(guard.IsValid()); }
    EXPECT_EQ(deaths.load(), 0);
    EXPECT_EQ(global->GetRef(), 1u);
}

TEST(GuardTest, GuardFromDestroyedGlobalObjectIsEmptyWithoutTouchingIt)
{
    std::atomic<int> deaths{0};
    Shared* raw = new Shared(&deaths);
    EXPECT_TRUE(raw->DecRef());
    EXPECT_EQ(deaths.load(), 1);
    // The memory is freed: under AddressSanitizer any read of it would fail.
    Guard<Shared> stale(raw);
    EXPECT_FALSE(stale.IsValid());
    EXPECT_EQ(GlobalRef::GetRefAt(raw), GlobalRef::UNCOUNTED);
}

namespace {
// An object placed in memory the test owns, so that two objects can sit
// exactly 4 GiB apart.
class Placed : public GlobalRef {
public:
    static void operator delete(void*) {}
    ~Placed() override = default;
};
} // namespace

TEST(GuardTest, ObjectsWhoseAddressesShareTheLow32BitsKeepSeparateCounts)
{
    std::size_t const span = (std::size_t(1) << 32) + 4096;
    void* area = mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(area, MAP_FAILED);
    char* low = static_cast<char*>(area);
    char* high = low + (std::size_t(1) << 32);
    ASSERT_EQ(mprotect(low, 4096, PROT_READ | PROT_WRITE), 0);
    ASSERT_EQ(mprotect(high, 4096, PROT_READ | PROT_WRITE), 0);

    Placed* a = new (low) Placed;
    Placed* b = new (high) Placed;
    ASSERT_EQ(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(a)),
              static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(b)));
    EXPECT_TRUE(a->IncRef());
    EXPECT_TRUE(a->IncRef());
    EXPECT_EQ(a->GetRef(), 3u);
    EXPECT_EQ(b->GetRef(), 1u);
    a->~Placed();
    EXPECT_EQ(b->GetRef(), 1u);
    EXPECT_TRUE(b->IncRef());
    EXPECT_EQ(b->GetRef(), 2u);
    b->~Placed();
    munmap(area, span);
}

TEST(GuardTest, LastReleaseRacingGuardsFromTheRawPointerDeletesOnce)
{
    // Each round: the owner drops the last reference while other threads
    // build guards from the raw pointer. Either a guard wins (and the object
    // lives until it is released) or it comes out empty; the destructor runs
    // exactly once and no guard ever sees a dead object.
    constexpr int kRounds = 1000;
    constexpr int kRacers = 2;
    std::atomic<int> deaths{0};
    std::atomic<Shared*> target{nullptr};
    std::atomic<int> round{0};
    std::atomic<int> finished{0};
    std::atomic<int> bad{0};
    std::vector<std::thread> racers;
    for (int r = 0; r < kRacers; ++r) {
        racers.emplace_back([&] {
            for (int seen = 1; seen <= kRounds; ++seen) {
                while (round.load() < seen)
                    std::this_thread::yield();
                Guard<Shared> guard(target.load());
                if (guard.IsValid() && guard->m_iAlive != 0x600D)
                    ++bad;
                guard.Clear();
                ++finished;
            }
        });
    }
    for (int i = 1; i <= kRounds; ++i) {
        Shared* object = new Shared(&deaths);
        target.store(object);
        round.store(i);
        object->DecRef();
        while (finished.load() < i * kRacers)
            std::this_thread::yield();
    }
    for (auto& t : racers)
        t.join();
    EXPECT_EQ(deaths.load(), kRounds);
    EXPECT_EQ(bad.load(), 0);
}

namespace {
class WithNull : public LocalRef {
public:
    explicit WithNull(bool counted = true) : LocalRef(1, counted) {}
};
} // namespace

TEST(GuardTest, GuardsEmptiedBeforeANullObjectIsInstalledStayEmpty)
{
    Guard<WithNull> early; // holds a null pointer
    WithNull nullObject(false);
    ASSERT_TRUE(Guard<WithNull>::SetNull(&nullObject));
    EXPECT_FALSE(early.IsValid());
    EXPECT_FALSE(early.Clear());
    EXPECT_TRUE(early == &nullObject); // compares as the null object
    Guard<WithNull> fromNull(nullptr);   // must not dereference null
    EXPECT_FALSE(fromNull.IsValid());
    EXPECT_TRUE(fromNull.Address() == &nullObject);
    ASSERT_TRUE(Guard<WithNull>::SetNull(nullptr));
}

TEST(GuardTest, SetNullRefusesAnObjectThatCannotBeReferenced)
{
    WithNull* dead = new WithNull;
    Guard<WithNull> keep(dead);
    dead->DecRef();
    Counted dying(nullptr, static_cast<unsigned int>(-3), true);
    EXPECT_FALSE(Guard<Counted>::SetNull(&dying));
    EXPECT_TRUE(Guard<Counted>::s_pNull == nullptr);
}

TEST(GuardTest, ManyObjectsKeepTheirOwnCountsThroughRegistryGrowthAndShrinking)
{
    // Enough objects to grow every shard several times; releasing them in a
    // scattered order exercises the removal of entries from probe runs.
    constexpr int kObjects = 20000;
    std::atomic<int> deaths{0};
    std::vector<Shared*> objects;
    for (int i = 0; i < kObjects; ++i) {
        objects.push_back(new Shared(&deaths));
        for (int k = 0; k < i % 3; ++k)
            objects.back()->IncRef();
    }
    for (int i = 0; i < kObjects; ++i)
        ASSERT_EQ(objects[i]->GetRef(), 1u + i % 3) << i;
    for (int pass = 0; pass < 3; ++pass) {
        for (int i = pass; i < kObjects; i += 3) {
            for (int k = 0; k <= i % 3; ++k)
                objects[i]->DecRef();
        }
        for (int i = 0; i < kObjects; ++i) {
            unsigned int expected = i % 3 <= pass ? GlobalRef::UNCOUNTED : 1u + i % 3;
            ASSERT_EQ(GlobalRef::GetRefAt(objects[i]), expected) << "object " << i << " pass " << pass;
        }
    }
    EXPECT_EQ(deaths.load(), kObjects);
}
