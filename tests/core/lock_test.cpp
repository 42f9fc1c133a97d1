#include <vor/core/atomic.h>
#include <vor/core/lock.h>

#include "core/internal/testhooks.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace Vor::Core;
using VorTest::WaitUntil;
using namespace std::chrono_literals;

namespace {

// Runs `threads` threads that each add 1 to a plain counter `rounds` times
// under their own copy of `lock`; the total is exact only under exclusion.
long Hammer(Lock const& lock, int threads, int rounds, bool asReader = false)
{
    long counter = 0;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&] {
            for (int i = 0; i < rounds; ++i) {
                Lock local(lock);
                asReader ? local.Enter() : local.EnterWrite();
                ++counter;
            }
        });
    }
    for (auto& t : pool)
        t.join();
    return counter;
}

} // namespace

TEST(LockTest, KindsAreChosenByPlainNumbers)
{
    Lock defaultLock;
    EXPECT_EQ(defaultLock.GetType(), Lock::READ_WRITE_LOCK);
    EXPECT_EQ(Lock(0).GetType(), Lock::NULL_LOCK);
    EXPECT_EQ(Lock(1).GetType(), Lock::MUTEX_LOCK);
    EXPECT_EQ(Lock(2).GetType(), Lock::SPIN_LOCK);
    EXPECT_EQ(Lock(7).GetType(), Lock::NULL_LOCK);
    EXPECT_EQ(Lock(-1).GetType(), Lock::NULL_LOCK);
    LockTable<16, 2> table;
    EXPECT_EQ(table[&table].GetType(), Lock::SPIN_LOCK);
}

TEST(LockTest, NullLockOnlyCountsDepth)
{
    Lock none(0);
    none.Enter();
    none.EnterRead();
    EXPECT_EQ(none.GetDepth(), 2u);
    none.Leave();
    none.Leave();
    none.Leave();
    EXPECT_EQ(none.GetDepth(), 0u);
}

TEST(LockTest, EveryKindExcludesUnderStress)
{
    for (Lock::LockType type : {Lock::MUTEX_LOCK, Lock::SPIN_LOCK, Lock::READ_WRITE_LOCK}) {
        Lock shared(type);
        EXPECT_EQ(Hammer(shared, 4, 20000), 80000) << "lock type " << type;
    }
}

TEST(LockTest, MutexAndSpinAreRecursiveForTheOwner)
{
    for (Lock::LockType type : {Lock::MUTEX_LOCK, Lock::SPIN_LOCK}) {
        Lock outer(type);
        Lock inner(outer);
        outer.Enter();
        inner.Enter(); // the owner enters again without blocking
        inner.Leave();
        std::atomic<bool> entered{false};
        std::thread other([&] {
            Lock mine(outer);
            mine.Enter();
            entered = true;
        });
        EXPECT_FALSE(WaitUntil([&] { return entered.load(); }, 50ms));
        outer.Leave();
        EXPECT_TRUE(WaitUntil([&] { return entered.load(); }));
        other.join();
    }
}

TEST(LockTest, DepthDoesNotWrapAndTheDestructorLeavesEveryEntry)
{
    Lock shared(Lock::MUTEX_LOCK);
    {
        Lock deep(shared);
        for (int i = 0; i < 300; ++i)
            deep.Enter();
        EXPECT_EQ(deep.GetDepth(), 300u);
    }
    std::atomic<bool> entered{false};
    std::thread other([&] {
        Lock mine(shared);
        mine.Enter();
        entered = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return entered.load(); }));
    other.join();
}

TEST(LockTest, LeaveWithoutEntryDoesNotReleaseAnotherHolder)
{
    Lock shared(Lock::READ_WRITE_LOCK);
    Lock writer(shared);
    writer.EnterWrite();
    Lock stray(shared);
    stray.Leave(); // depth 0: nothing to undo
    EXPECT_EQ(stray.GetDepth(), 0u);

    std::atomic<bool> entered{false};
    std::thread reader([&] {
        Lock mine(shared);
        mine.EnterRead();
        entered = true;
    });
    EXPECT_FALSE(WaitUntil([&] { return entered.load(); }, 100ms));
    writer.Leave();
    EXPECT_TRUE(WaitUntil([&] { return entered.load(); }));
    reader.join();
}

TEST(LockTest, AssignmentWhileEnteredLeavesFirst)
{
    Lock first(Lock::MUTEX_LOCK);
    Lock second(Lock::SPIN_LOCK);
    Lock handle(first);
    handle.Enter();
    handle.Enter();
    handle = second;
    EXPECT_EQ(handle.GetDepth(), 0u);
    EXPECT_EQ(handle.GetType(), Lock::SPIN_LOCK);
    std::atomic<bool> entered{false};
    std::thread other([&] {
        Lock mine(first);
        mine.Enter();
        entered = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return entered.load(); }));
    other.join();
}

TEST(LockTest, SeparateLocksOfOneKindDoNotExcludeEachOther)
{
    Lock a(Lock::MUTEX_LOCK);
    Lock b(Lock::MUTEX_LOCK);
    a.Enter();
    std::atomic<bool> entered{false};
    std::thread other([&] {
        Lock mine(b);
        mine.Enter();
        entered = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return entered.load(); }));
    other.join();
}

TEST(LockTest, WaitingWriterGoesFirstThenWaitingReadersEnterTogether)
{
    Lock shared(Lock::READ_WRITE_LOCK);
    Lock r1(shared), r2(shared);
    r1.EnterRead();
    r2.EnterRead();

    std::atomic<int> step{0};
    std::atomic<bool> writerIn{false}, writerOut{false}, lateReaderIn{false};
    std::thread writer([&] {
        Lock mine(shared);
        step = 1;
        mine.EnterWrite();
        writerIn = true;
        while (step.load() < 2)
            std::this_thread::yield();
        writerOut = true;
        mine.Leave();
    });
    ASSERT_TRUE(WaitUntil([&] { return step.load() == 1; }));
    // Give the writer time to queue; a reader arriving now must wait behind it.
    ASSERT_FALSE(WaitUntil([&] { return writerIn.load(); }, 50ms));
    std::thread lateReader([&] {
        Lock mine(shared);
        mine.EnterRead();
        EXPECT_TRUE(writerOut.load()) << "a reader passed a waiting writer";
        lateReaderIn = true;
    });
    EXPECT_FALSE(WaitUntil([&] { return lateReaderIn.load() || writerIn.load(); }, 50ms));
    r1.Leave();
    EXPECT_FALSE(WaitUntil([&] { return writerIn.load(); }, 30ms));
    r2.Leave();
    EXPECT_TRUE(WaitUntil([&] { return writerIn.load(); }));
    EXPECT_FALSE(lateReaderIn.load());
    step = 2;
    EXPECT_TRUE(WaitUntil([&] { return lateReaderIn.load(); }));
    writer.join();
    lateReader.join();
}

TEST(LockTest, ReadersShareTheLock)
{
    Lock shared(Lock::READ_WRITE_LOCK);
    Lock first(shared);
    first.EnterRead();
    std::atomic<bool> entered{false};
    std::thread other([&] {
        Lock mine(shared);
        mine.EnterRead();
        entered = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return entered.load(); }));
    other.join();
}

TEST(LockTest, LockWhoseMemoryRanOutStillExcludes)
{
    for (Lock::LockType type : {Lock::MUTEX_LOCK, Lock::SPIN_LOCK, Lock::READ_WRITE_LOCK}) {
        Vor::Core::Internal::g_FailLockAllocations = 1;
        Lock starved(type);
        EXPECT_EQ(Vor::Core::Internal::g_FailLockAllocations.load(), 0);
        EXPECT_EQ(starved.GetType(), type);
        EXPECT_EQ(Hammer(starved, 4, 10000), 40000) << "lock type " << type;
    }
}

TEST(LockTableTest, IndexStaysInRange)
{
    EXPECT_EQ((LockTable<16, 2>::GetIndex(0)), 0u);
    for (unsigned int key : {1u, 7u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, 0xDEADBEEFu}) {
        EXPECT_LT((LockTable<16, 2>::GetIndex(key)), 16u);
        EXPECT_LT((LockTable<128, 1>::GetIndex(key)), 128u);
    }
    LockTable<128, 1> table;
    int values[64];
    for (int& v : values)
        EXPECT_EQ(table[&v].GetType(), Lock::MUTEX_LOCK);
}

TEST(LockTableTest, OneAddressAlwaysMeetsTheSameSlot)
{
    LockTable<16, 2> table;
    long counter = 0;
    std::vector<std::thread> pool;
    for (int t = 0; t < 4; ++t) {
        pool.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                Lock slot = table[&counter];
                slot.Enter();
                ++counter;
            }
        });
    }
    for (auto& t : pool)
        t.join();
    EXPECT_EQ(counter, 40000);
}

TEST(AtomicTest, InterlockedValuesReturnTheNewOrPreviousValue)
{
    Value<int, 1, 0, 4, 1> count(5);
    EXPECT_EQ(++count, 6);
    EXPECT_EQ(--count, 5);
    Value<unsigned int, 1, 0, 4, 1> word(9u);
    EXPECT_EQ(word.Swap(3u), 9u);
    EXPECT_EQ(static_cast<unsigned int>(word), 3u);
    EXPECT_EQ(sizeof(count), sizeof(int));
    EXPECT_EQ(sizeof(word), sizeof(unsigned int));
    Value<bool, 0, 0, 1, 0> flag(true);
    EXPECT_TRUE(static_cast<bool>(flag));
    flag = false;
    EXPECT_FALSE(static_cast<bool>(flag));
    EXPECT_EQ(sizeof(flag), sizeof(bool));
}

TEST(AtomicTest, CountersStayExactAcrossThreads)
{
    Value<int, 1, 0, 4, 1> fast(0);
    Value<unsigned long long, 1, 0, 8, 0> locked(0ull);
    EXPECT_EQ(sizeof(locked), sizeof(unsigned long long));
    std::vector<std::thread> pool;
    for (int t = 0; t < 4; ++t) {
        pool.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                ++fast;
                ++locked;
            }
        });
    }
    for (auto& t : pool)
        t.join();
    EXPECT_EQ(static_cast<int>(fast), 80000);
    EXPECT_EQ(static_cast<unsigned long long>(locked), 80000ull);
    locked = 0xFFFFFFFFFFFFFFFFull;
    EXPECT_EQ(++locked, 0ull);
}

TEST(AtomicTest, LockedPointerValueSwapsWhole)
{
    int a = 0, b = 0;
    Value<int*, 0, 0, sizeof(int*), 0> pointer(&a);
    EXPECT_EQ(pointer.Swap(&b), &a);
    EXPECT_EQ(static_cast<int*>(pointer), &b);
}

TEST(LockTest, ScopesExcludeLikeHandlesAndLeaveOnExit)
{
    for (Lock::LockType type : {Lock::MUTEX_LOCK, Lock::SPIN_LOCK, Lock::READ_WRITE_LOCK}) {
        Lock shared(type);
        long counter = 0;
        std::vector<std::thread> pool;
        for (int t = 0; t < 4; ++t) {
            pool.emplace_back([&] {
                for (int i = 0; i < 10000; ++i) {
                    Lock::WriteScope scope(shared);
                    ++counter;
                }
            });
        }
        for (auto& t : pool)
            t.join();
        EXPECT_EQ(counter, 40000) << "lock type " << type;
    }
    Lock rw(Lock::READ_WRITE_LOCK);
    std::atomic<bool> entered{false};
    std::thread writer;
    {
        Lock::ReadScope first(rw);
        Lock::ReadScope second(rw); // readers share
        writer = std::thread([&] {
            Lock::WriteScope scope(rw);
            entered = true;
        });
        EXPECT_FALSE(WaitUntil([&] { return entered.load(); }, 50ms));
    }
    EXPECT_TRUE(WaitUntil([&] { return entered.load(); })) << "leaving the read scopes lets the writer in";
    writer.join();
}
