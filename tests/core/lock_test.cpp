#include <vor/core/lock.h>
#include <vor/core/thread.h>

#include "core/internal/testhooks.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

using namespace Vor::Core;
using VorTest::WaitUntil;
using namespace std::chrono_literals;

namespace {

// Four threads each run `body(counter)` `rounds` times on one plain
// counter: the total is exact only under exclusion.
template <class Body>
long Hammer(int rounds, Body body)
{
    long counter = 0;
    std::vector<std::thread> pool;
    for (int t = 0; t < 4; ++t)
        pool.emplace_back([&] {
            for (int i = 0; i < rounds; ++i)
                body(counter);
        });
    for (auto& t : pool)
        t.join();
    return counter;
}

// A thread that enters `lock` (for reading or writing) through its own
// handle as soon as it can, and holds it until released or destroyed.
class Contender {
public:
    explicit Contender(Lock const& lock, bool read = false)
        : m_Thread([this, &lock, read] {
              Lock mine(lock);
              m_bStarted = true;
              read ? mine.EnterRead() : mine.Enter();
              m_bIn = true;
              WaitUntil([this] { return m_bRelease.load(); });
          })
    {
    }
    ~Contender() { Release(), m_Thread.join(); }
    bool Entered(std::chrono::milliseconds bound = 10000ms)
    {
        return WaitUntil([&] { return m_bIn.load(); }, bound);
    }
    // True once the thread is about to enter.
    bool Started() { return WaitUntil([&] { return m_bStarted.load(); }); }
    void Release() { m_bRelease = true; }

private:
    std::atomic<bool> m_bStarted{false}, m_bIn{false}, m_bRelease{false};
    std::thread m_Thread;
};

// What a thread started with Thread::Create does with a reader/writer lock.
struct LockUser {
    Lock const* m_pLock;
    bool m_bRead;
    Signal* m_pPark;          // waited on, inside the lock, when given
    std::atomic<bool> m_bIn{false};
};
void EnterAndPark(LockUser* user)
{
    Lock mine(*user->m_pLock);
    user->m_bRead ? mine.EnterRead() : mine.Enter();
    user->m_bIn = true;
    if (user->m_pPark != nullptr)
        user->m_pPark->Wait(Signal::INFINITE_WAIT);
}
unsigned int StartUser(LockUser& user)
{
    CallBack task;
    task.Bind(&EnterAndPark, &user);
    return Thread::Create(task);
}

} // namespace

TEST(LockTest, KindsAreChosenByPlainNumbersAndTheNullLockOnlyCounts)
{
    EXPECT_EQ(Lock().GetType(), Lock::READ_WRITE_LOCK);
    std::pair<int, Lock::LockType> const cases[] = {
        {0, Lock::NULL_LOCK}, {1, Lock::MUTEX_LOCK}, {2, Lock::SPIN_LOCK}, {7, Lock::NULL_LOCK}, {-1, Lock::NULL_LOCK}};
    for (auto const& c : cases)
        EXPECT_EQ(Lock(c.first).GetType(), c.second) << "kind " << c.first;
    Lock none(0);
    none.Enter();
    for (int i = 0; i < 2; ++i)
        none.Leave();
    EXPECT_EQ(none.GetDepth(), 0u);
}

TEST(LockTest, EveryKindExcludesThroughHandlesScopesAndWhenMemoryRanOut)
{
    for (Lock::LockType type : {Lock::MUTEX_LOCK, Lock::SPIN_LOCK, Lock::READ_WRITE_LOCK}) {
        Lock shared(type);
        EXPECT_EQ(Hammer(20000, [&](long& c) { Lock local(shared); local.EnterWrite(); ++c; }), 80000) << type;
        EXPECT_EQ(Hammer(10000, [&](long& c) { Lock::WriteScope scope(shared); ++c; }), 40000) << type;
        // A lock whose creation failed must still exclude.
        Vor::Core::Internal::g_FailLockAllocations = 1;
        Lock starved(type);
        EXPECT_EQ(Vor::Core::Internal::g_FailLockAllocations.load(), 0);
        EXPECT_EQ(Hammer(10000, [&](long& c) { Lock local(starved); local.Enter(); ++c; }), 40000) << type;
    }
    CellLock cell;
    EXPECT_EQ(Hammer(20000, [&](long& c) { CellLock::Scope scope(cell); ++c; }), 80000);
    LockTable<16, 2> table;
    EXPECT_EQ(table[&table].GetType(), Lock::SPIN_LOCK);
    for (unsigned int key : {0u, 7u, 0x80000000u, 0xFFFFFFFFu})
        EXPECT_LT((LockTable<16, 2>::GetIndex(key)), 16u) << key;
    EXPECT_EQ(Hammer(10000, [&](long& c) { Lock slot = table[&table]; slot.Enter(); ++c; }), 40000);
}

TEST(LockTest, OwnersReenterAndTheDepthDoesNotWrapAndIsLeftByTheDestructorOrAnAssignment)
{
    for (Lock::LockType type : {Lock::MUTEX_LOCK, Lock::SPIN_LOCK}) {
        Lock shared(type);
        auto deep = std::make_unique<Lock>(shared);
        for (int i = 0; i < 300; ++i)
            deep->Enter();
        EXPECT_EQ(deep->GetDepth(), 300u);
        Contender other(shared);
        EXPECT_FALSE(other.Entered(30ms)) << type;
        deep.reset();
        EXPECT_TRUE(other.Entered()) << type;
    }
    Lock shared(Lock::MUTEX_LOCK), handle(shared);
    handle.Enter();
    handle.Enter();
    handle = Lock(Lock::SPIN_LOCK);
    EXPECT_EQ(handle.GetDepth(), 0u);
    handle.Enter(); // a separate lock: no exclusion with the first
    EXPECT_TRUE(Contender(shared).Entered());
}

TEST(LockTest, LeaveWithoutEntryDoesNotReleaseAnotherHolder)
{
    Lock shared(Lock::READ_WRITE_LOCK), writer(shared), stray(shared);
    writer.EnterWrite();
    stray.Leave(); // depth 0: nothing to undo
    Contender reader(shared, true);
    EXPECT_FALSE(reader.Entered(100ms));
    writer.Leave();
    EXPECT_TRUE(reader.Entered());
}

TEST(LockTest, WaitingWriterGoesFirstThenWaitingReadersEnter)
{
    Lock shared(Lock::READ_WRITE_LOCK), r1(shared), r2(shared);
    r1.EnterRead();
    r2.EnterRead();
    EXPECT_TRUE(Contender(shared, true).Entered()) << "readers share";
    Contender writer(shared);
    ASSERT_TRUE(writer.Started());
    EXPECT_FALSE(writer.Entered(100ms)); // time enough to queue
    Contender late(shared, true); // arrives behind the queued writer
    EXPECT_FALSE(late.Entered(50ms)) << "a reader passed a waiting writer";
    r1.Leave();
    EXPECT_FALSE(writer.Entered(30ms));
    r2.Leave();
    EXPECT_TRUE(writer.Entered());
    EXPECT_FALSE(late.Entered(30ms));
    writer.Release();
    EXPECT_TRUE(late.Entered());
}

// Threads killed while they wait their turn are handed the lock all the
// same, stop only once they hold it, and leave it as they unwind: a reader
// and then a writer enter after them.
TEST(LockTest, WaitersKilledInTheirTurnLeaveTheLockToThoseAfterThem)
{
    // Never freed: a lock kept by a waiter that is gone would hold a late
    // thread for ever.
    static Lock& shared = *new Lock(Lock::READ_WRITE_LOCK);
    Lock holder(shared);
    holder.Enter();
    Signal park;
    LockUser reader{&shared, true, &park}, writer{&shared, false, &park};
    std::vector<unsigned int> ids{StartUser(reader), StartUser(writer)};
    EXPECT_FALSE(Thread::Kill(ids)) << "killed while counted in for the lock";
    holder.Leave();
    EXPECT_TRUE(Thread::Wait(ids, 10000));
    EXPECT_TRUE(reader.m_bIn && writer.m_bIn);
    for (bool read : {true, false}) {
        LockUser late{&shared, read, nullptr};
        unsigned int id = StartUser(late);
        ASSERT_TRUE(WaitUntil([&] { return late.m_bIn.load(); })) << (read ? "reader" : "writer");
        EXPECT_TRUE(Thread::Wait(id, 10000));
    }
}
