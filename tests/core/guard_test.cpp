#include <vor/core/guard.h>

#include "core/internal/testhooks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#if !defined(_WIN32)
#include <sys/mman.h>
#endif
#include <thread>
#include <vector>

using namespace Vor::Core;

namespace {

std::atomic<int> g_Deaths{0};

// Counts its death and marks itself dead.
template <class Base>
struct Mortal : Base {
    template <class... Args>
    explicit Mortal(Args... args) : Base(args...) {}
    ~Mortal() override { m_iAlive = 0, ++g_Deaths; }
    int m_iAlive = 0x600D;
};
using Counted = Mortal<LocalRef>;
using Shared = Mortal<GlobalRef>;

// Built in memory the test owns, so that two objects can sit 4 GiB apart.
struct Placed : GlobalRef {
    static void operator delete(void*) {}
};

} // namespace

// New's guard holds the creation reference and no other: the object dies
// with the last of its guards, never before and never later, in the guard
// of its own class or of a base.
TEST(GuardTest, ANewObjectLivesExactlyAsLongAsItsGuards)
{
    int before = g_Deaths.load();
    {
        Guard<Shared> first = New<Shared>();
        ASSERT_TRUE(first.IsValid());
        EXPECT_EQ(1u, first->GetRef());
        Guard<Counted> local = New<Counted>(1u);
        Guard<LocalRef> base = New<LocalRef, Counted>();
        EXPECT_EQ(1u, local->GetRef());
        EXPECT_EQ(1u, base->GetRef());
        {
            Guard<Shared> second = first;
            first.Clear();
            EXPECT_EQ(before, g_Deaths.load());
            EXPECT_EQ(0x600D, second->m_iAlive);
        }
        EXPECT_EQ(before + 1, g_Deaths.load());
    }
    EXPECT_EQ(before + 3, g_Deaths.load());
}

TEST(GuardTest, ObjectsWhoseAddressesShareTheLow32BitsKeepSeparateCounts)
{
#if defined(_WIN32) || UINTPTR_MAX <= 0xFFFFFFFFu
    GTEST_SKIP() << "pointers are 32 bits here: no two addresses share their low 32 bits";
#else
    std::size_t const four = std::size_t(1) << 32, span = four + 4096;
    char* low = static_cast<char*>(mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
    ASSERT_NE(static_cast<void*>(low), MAP_FAILED);
    ASSERT_EQ(mprotect(low, 4096, PROT_READ | PROT_WRITE), 0);
    ASSERT_EQ(mprotect(low + four, 4096, PROT_READ | PROT_WRITE), 0);
    Placed* a = new (low) Placed;
    Placed* b = new (low + four) Placed;
    EXPECT_TRUE(a->IncRef() && a->IncRef());
    EXPECT_EQ(a->GetRef(), 3u);
    EXPECT_EQ(b->GetRef(), 1u);
    a->~Placed();
    EXPECT_TRUE(b->IncRef());
    EXPECT_EQ(b->GetRef(), 2u);
    b->~Placed();
    munmap(low, span);
#endif
}

TEST(GuardTest, LastReleaseRacingGuardsFromTheRawPointerDeletesOnce)
{
    // Each round the owner drops the last reference while two threads build
    // guards from the raw pointer: a guard either wins (and the object lives
    // until it is released) or comes out empty, never holding a dead object.
    constexpr int kRounds = 1000, kRacers = 2;
    g_Deaths = 0;
    std::atomic<int> round{0}, finished{0}, bad{0};
    std::atomic<Shared*> target{nullptr};
    std::vector<std::thread> racers;
    for (int r = 0; r < kRacers; ++r)
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
    for (int i = 1; i <= kRounds; ++i) {
        Shared* object = new Shared;
        target.store(object);
        round.store(i);
        object->DecRef();
        while (finished.load() < i * kRacers)
            std::this_thread::yield();
    }
    for (auto& t : racers)
        t.join();
    EXPECT_EQ(g_Deaths.load(), kRounds);
    EXPECT_EQ(bad.load(), 0);
}

TEST(GuardTest, GuardsEmptiedBeforeANullObjectIsInstalledStayEmpty)
{
    Guard<Counted> early; // holds a null pointer
    Counted nullObject(1, false), dying(static_cast<unsigned int>(-3), true); // a negative count
    EXPECT_FALSE(Guard<Counted>(&dying).IsValid());
    EXPECT_FALSE(Guard<Counted>::SetNull(&dying)) << "an object that can no longer be referenced";
    ASSERT_TRUE(Guard<Counted>::SetNull(&nullObject));
    EXPECT_FALSE(early.IsValid() || early.Clear());
    EXPECT_TRUE(early == &nullObject);
    Guard<Counted> fromNull(nullptr); // must not dereference null
    EXPECT_FALSE(fromNull.IsValid());
    EXPECT_TRUE(fromNull.Address() == &nullObject);
    ASSERT_TRUE(Guard<Counted>::SetNull(nullptr));
}

TEST(GuardTest, ManyObjectsKeepTheirOwnCountsAndDeadOnesAreKnownWithoutBeingTouched)
{
    // Enough objects to grow every shard of the registry several times;
    // releasing them in a scattered order takes entries out of the middle of
    // probe runs. Dead objects are freed: under AddressSanitizer any read of
    // one by the registry or a guard would fail.
    constexpr int kObjects = 20000;
    g_Deaths = 0;
    std::vector<Shared*> objects;
    for (int i = 0; i < kObjects; ++i) {
        objects.push_back(new Shared);
        for (int k = 0; k < i % 3; ++k)
            objects.back()->IncRef();
    }
    for (int pass = 0; pass < 3; ++pass) {
        for (int i = pass; i < kObjects; i += 3)
            for (int k = 0; k <= i % 3; ++k)
                objects[i]->DecRef();
        for (int i = 0; i < kObjects; ++i)
            ASSERT_EQ(GlobalRef::GetRefAt(objects[i]), i % 3 <= pass ? GlobalRef::UNCOUNTED : 1u + i % 3) << i;
    }
    EXPECT_EQ(g_Deaths.load(), kObjects);
    EXPECT_FALSE(Guard<Shared>(objects[7]).IsValid());
}

TEST(GuardTest, CopiesAndReleasesFromManyThreadsKeepTheCountExact)
{
    // Copies of a held guard count without the registry; plain-pointer
    // guards count through it. Both kinds, mixed across threads, must leave
    // exactly the creator's reference, and the last release deletes once.
    g_Deaths = 0;
    Shared* object = new Shared;
    Guard<Shared> held(object);
    object->DecRef();
    std::atomic<int> ready{0}, bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&, t] {
            ++ready;
            while (ready.load() < 3)
                std::this_thread::yield();
            for (int i = 0; i < 200000; ++i) {
                Guard<Shared> copy = t == 0 ? Guard<Shared>(object) : held;
                Guard<Shared> again;
                again = copy;
                if (again->m_iAlive != 0x600D)
                    ++bad;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(bad.load(), 0) << "a copy held a dead object";
    EXPECT_EQ(object->GetRef(), 1u);
    EXPECT_EQ(g_Deaths.load(), 0);
    held.Clear();
    EXPECT_EQ(g_Deaths.load(), 1);
}

namespace {
// Lives in memory the test keeps, so its address is not handed to a later
// object when it goes.
struct KeptMemory : Mortal<GlobalRef> {
    static void operator delete(void*) {}
};
alignas(KeptMemory) unsigned char g_KeptBlock[sizeof(KeptMemory)];
std::vector<Shared*>* g_pBornMeanwhile = nullptr;
} // namespace

TEST(GuardTest, AReferenceFromAPointerIsRefusedWhenTheObjectGoesWhileItIsTaken)
{
    // The object dies while its look-up is under way, and objects built
    // meanwhile take over the registry's cells, one of them the dead
    // object's; at step 0 the registry's table also grows first, so the
    // look-up holds a table in which the dead object is still listed. The
    // reference must be refused, and no new object's count may move.
    for (int step = 0; step < 2; ++step) {
        std::vector<Shared*> born;
        g_pBornMeanwhile = &born;
        static int s_Step;
        s_Step = step;
        auto* object = new (g_KeptBlock) KeptMemory;
        Internal::g_CountFound = [](void const* found, int at) {
            if (at != s_Step)
                return;
            Internal::g_CountFound = nullptr;
            for (int i = 0; i < 4096; ++i)
                g_pBornMeanwhile->push_back(new Shared);
            static_cast<KeptMemory const*>(found)->DecRef();
            for (int i = 0; i < 4096; ++i)
                g_pBornMeanwhile->push_back(new Shared);
        };
        EXPECT_FALSE(GlobalRef::IncRefAt(object)) << "step " << step;
        Internal::g_CountFound = nullptr;
        ASSERT_EQ(born.size(), 8192u);
        int moved = 0;
        for (Shared* s : born) {
            moved += s->GetRef() != 1u;
            s->DecRef();
        }
        EXPECT_EQ(moved, 0) << "step " << step;
        EXPECT_EQ(GlobalRef::GetRefAt(object), GlobalRef::UNCOUNTED);
    }
}

TEST(GuardTest, AReferenceTakenAndDroppedWhileTheObjectIsBuiltCountsOnItsOwnCell)
{
    // A stale pointer can find a new object at its address as soon as the
    // registry lists it, before its constructor returns: a reference taken
    // and dropped then must go to the new object's count. The memory under
    // it holds, in every word, the address of a count that is not its own.
    static std::atomic<std::uint64_t> s_Foreign{100};
    auto* words = reinterpret_cast<std::atomic<std::uint64_t>**>(g_KeptBlock);
    for (std::size_t i = 0; i < sizeof(g_KeptBlock) / sizeof(*words); ++i)
        words[i] = &s_Foreign;
    static bool s_Taken;
    s_Taken = false;
    Internal::g_CountListed = [](void const* listed) {
        Internal::g_CountListed = nullptr;
        auto const* object = static_cast<GlobalRef const*>(listed);
        s_Taken = GlobalRef::IncRefAt(object) && object->DecRef();
    };
    auto* object = new (g_KeptBlock) KeptMemory;
    Internal::g_CountListed = nullptr;
    EXPECT_TRUE(s_Taken);
    EXPECT_EQ(object->GetRef(), 1u);
    EXPECT_EQ(s_Foreign.load(), 100u);
    int deaths = g_Deaths.load();
    object->DecRef();
    EXPECT_EQ(g_Deaths.load(), deaths + 1);
}

TEST(GuardTest, ALiveObjectIsNeverRefusedWhileOthersComeAndGo)
{
    // References through plain pointers take no lock. Meanwhile another
    // thread registers and erases thousands of objects, which grows the
    // registry's tables and shifts entries within them: a live object must
    // be found every time, and a dead one never.
    std::vector<Shared*> live;
    for (int i = 0; i < 64; ++i)
        live.push_back(new Shared);
    std::atomic<bool> done{false};
    std::thread churn([&] {
        for (int round = 0; round < 40; ++round) {
            std::vector<Shared*> batch;
            for (int i = 0; i < 2000; ++i)
                batch.push_back(new Shared);
            for (std::size_t i = 0; i < batch.size(); i += 2)
                batch[i]->DecRef();
            for (std::size_t i = 1; i < batch.size(); i += 2)
                batch[i]->DecRef();
        }
        done = true;
    });
    long refused = 0, rounds = 0;
    while (!done.load() || rounds == 0) {
        for (Shared* s : live) {
            if (GlobalRef::IncRefAt(s))
                s->DecRef();
            else
                ++refused;
        }
        ++rounds;
    }
    churn.join();
    EXPECT_EQ(refused, 0) << "in " << rounds << " rounds";
    for (Shared* s : live) {
        EXPECT_EQ(s->GetRef(), 1u);
        s->DecRef();
    }
}

namespace {

// A counted object of N bytes of payload that it fills with its own mark.
template <std::size_t N>
struct Sized : LocalRef {
    explicit Sized(unsigned char mark) : m_Mark(mark)
    {
        for (auto& b : m_Bytes)
            b = mark;
    }
    bool Intact() const
    {
        for (auto b : m_Bytes)
            if (b != m_Mark)
                return false;
        return true;
    }
    unsigned char m_Mark;
    unsigned char m_Bytes[N];
};

struct AnyBlock {
    LocalRef* object;
    bool (*intact)(LocalRef*);
};

template <std::size_t N>
AnyBlock Make(unsigned char mark)
{
    auto* p = new (std::nothrow) Sized<N>(mark);
    return {p, [](LocalRef* o) { return static_cast<Sized<N>*>(o)->Intact(); }};
}

// Objects on both sides of every block size boundary, and past the largest.
std::vector<AnyBlock> MakeMany(unsigned char mark)
{
    return {Make<1>(mark),   Make<15>(mark),  Make<16>(mark),  Make<17>(mark),  Make<100>(mark),
            Make<230>(mark), Make<238>(mark), Make<239>(mark), Make<240>(mark), Make<500>(mark)};
}

} // namespace

TEST(GuardTest, SmallObjectsFreedOnOtherThreadsNeverShareMemoryWithLiveOnes)
{
    // Each round builds objects here, frees them on a short-lived thread (whose
    // kept blocks go back when it ends) or here, and builds again over the
    // reused blocks: every object must still hold only its own mark.
    int bad = 0;
    std::vector<AnyBlock> live;
    for (int round = 0; round < 200; ++round) {
        std::vector<AnyBlock> batch = MakeMany(static_cast<unsigned char>(round));
        for (auto& b : batch)
            ASSERT_NE(b.object, nullptr);
        if (round % 2 == 0) {
            std::thread([&batch] {
                for (auto& b : batch)
                    b.object->DecRef();
            }).join();
        } else {
            for (auto& b : batch)
                b.object->DecRef();
        }
        for (auto& b : MakeMany(static_cast<unsigned char>(0x80 | round)))
            live.push_back(b);
        for (auto& b : live)
            bad += b.intact(b.object) ? 0 : 1;
        if (live.size() > 100) {
            for (auto& b : live)
                b.object->DecRef();
            live.clear();
        }
    }
    for (auto& b : live)
        b.object->DecRef();
    EXPECT_EQ(bad, 0);

    // One thread allocates and another frees, as a producer and a pool
    // worker do: the freed blocks come back in whole lists, and objects
    // built over them still hold only their own marks.
    std::vector<AnyBlock> kept;
    for (int round = 0; round < 20; ++round) {
        std::vector<AnyBlock> made;
        for (int i = 0; i < 1500; ++i)
            made.push_back(i % 2 ? Make<40>(static_cast<unsigned char>(round)) : Make<100>(static_cast<unsigned char>(round)));
        for (auto& b : made)
            ASSERT_NE(b.object, nullptr);
        std::thread([&made] {
            for (auto& b : made)
                b.object->DecRef();
        }).join();
        for (int i = 0; i < 50; ++i)
            kept.push_back(i % 2 ? Make<40>(static_cast<unsigned char>(0xC0 | round)) : Make<100>(static_cast<unsigned char>(0xC0 | round)));
        for (auto& b : kept)
            bad += b.intact(b.object) ? 0 : 1;
    }
    for (auto& b : kept)
        b.object->DecRef();
    EXPECT_EQ(bad, 0);
}

namespace {
// Asks for a reference from inside its own destructor, and takes and drops
// one as a holder would (a handle to itself copied and let go).
struct AsksWhileDying : GlobalRef {
    ~AsksWhileDying() override
    {
        ++*m_pRuns;
        *m_pGot = IncRefLive();
        IncRefHeld();
        DecRef();
    }
    bool* m_pGot = nullptr;
    int* m_pRuns = nullptr;
};
} // namespace

TEST(GuardTest, AReferenceFromInsideACallIsRefusedOnceTheObjectIsDying)
{
    bool got = true;
    int runs = 0;
    auto* object = new AsksWhileDying;
    object->m_pGot = &got;
    object->m_pRuns = &runs;
    ASSERT_TRUE(object->IncRefLive()); // alive: 2 references
    EXPECT_EQ(object->GetRef(), 2u);
    object->DecRef();
    object->DecRef(); // dies, and asks in its destructor
    EXPECT_FALSE(got);
    EXPECT_EQ(runs, 1) << "the holder's release inside the destructor deleted it again";
}
