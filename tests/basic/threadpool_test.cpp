#include <vor/basic/threadpool.h>
#include <vor/core/thread.h>

#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <algorithm>
#include <thread>
#include <vector>

using Vor::Basic::ThreadPool;
using Vor::Core::CallBack;
using Vor::Core::Guard;
using Vor::Core::Thread;
using VorTest::WaitUntil;
using std::chrono::milliseconds;

namespace {

// A task body with its own piece of state. Every instance alive is counted,
// so a test can tell whether the pool still holds a task it dropped or
// refused.
class Probe : public Vor::Core::LocalRef {
public:
    static std::atomic<int> s_iAlive;
    static CallBack Task(std::function<void()> body)
    {
        CallBack task;
        task.Bind(&Probe::Run, Guard<Probe>::Adopt(new Probe(std::move(body))));
        return task;
    }

private:
    explicit Probe(std::function<void()> body) : m_Body(std::move(body)) { ++s_iAlive; }
    ~Probe() override { --s_iAlive; }
    static void Run(Guard<Probe> probe) { probe->m_Body(); }
    std::function<void()> m_Body;
};
std::atomic<int> Probe::s_iAlive{0};

class ThreadPoolTest : public ::testing::Test {
protected:
    void SetUp() override { Probe::s_iAlive = 0; }
    void TearDown() override { EXPECT_TRUE(WaitUntil([] { return Probe::s_iAlive == 0; })); }
};

TEST_F(ThreadPoolTest, RunsQueuedTasksInOrderAndWakesAnIdleWorkerForEachTask)
{
    ThreadPool pool;
    ASSERT_TRUE(pool.Init(1, 1000));
    std::atomic<bool> gate{false};
    std::atomic<int> next{0}, inOrder{0};
    ASSERT_TRUE(pool.AddTask(Probe::Task([&] { WaitUntil([&] { return gate.load(); }); })));
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(pool.AddTask(Probe::Task([&, i] { inOrder += next++ == i; })));
    gate = true;
    ASSERT_TRUE(WaitUntil([&] { return next == 50; }));
    EXPECT_EQ(50, inOrder.load());
    // The worker keeps going idle: each task must reach it without a
    // further AddTask to push it.
    for (int i = 0; i < 500; ++i) {
        ASSERT_TRUE(pool.AddTask(Probe::Task([&] { ++next; })));
        ASSERT_TRUE(WaitUntil([&] { return next == 51 + i; }, milliseconds(5000))) << "task " << i;
    }
    // The worker stays busy until the pool refuses work, which it does from
    // the moment UnInit has emptied the queue: the queued tasks are dropped.
    ASSERT_TRUE(pool.AddTask(Probe::Task([&pool] { WaitUntil([&pool] { return !pool.AddTask(CallBack()); }); })));
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(pool.AddTask(Probe::Task([&] { ++next; })));
    EXPECT_TRUE(pool.UnInit(5000));
    EXPECT_EQ(550, next.load());
    EXPECT_EQ(0, Probe::s_iAlive.load());
}

// How long a backlog wait took, in ms.
template <class F>
long long Timed(F&& wait)
{
    auto start = std::chrono::steady_clock::now();
    wait();
    return std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(ThreadPoolTest, BacklogWaitLastsUntilAWorkerRunsOutOfTasksOrThePoolStops)
{
    ThreadPool::Backlog backlog;
    std::atomic<bool> gate{false}, held{false};
    std::atomic<int> ran{0};
    auto holding = [&] {
        return Probe::Task([&] {
            held = true;
            WaitUntil([&] { return gate.load(); }, milliseconds(20000));
            ++ran;
        });
    };
    auto counting = [&] { return Probe::Task([&] { ++ran; }); };
    EXPECT_LT(Timed([&] { EXPECT_FALSE(backlog.Wait(5000)); }), 2000) << "no pool noted";
    {
        ThreadPool pool;
        ASSERT_TRUE(pool.Init(1, 1000));
        backlog.Note(pool);
        EXPECT_LT(Timed([&] { EXPECT_FALSE(backlog.Wait(5000)); }), 2000) << "nothing queued";
        // Woken only once the worker has run them all and found none left.
        // A wait that begins after that finds nothing to wait for.
        int woken = 0;
        for (int round = 0; round < 20; ++round) {
            gate = false;
            held = false;
            ran = 0;
            ASSERT_TRUE(pool.AddTask(holding()));
            ASSERT_TRUE(WaitUntil([&] { return held.load(); }));
            ASSERT_TRUE(pool.AddTask(counting()) && pool.AddTask(counting()));
            if (round == 0) {
                EXPECT_GE(Timed([&] { EXPECT_FALSE(backlog.Wait(100)); }), 90) << "two tasks behind the held worker";
                EXPECT_TRUE(backlog.RanOut()) << "the tasks are still queued";
            }
            std::atomic<int> seen{-1};
            std::thread waiter([&] { seen = backlog.Wait(2000) ? ran.load() : -2; });
            gate = true;
            waiter.join();
            EXPECT_FALSE(backlog.RanOut()) << "woken, or nothing to wait for: " << round;
            if (seen != -2) {
                EXPECT_EQ(3, seen.load()) << round;
                ++woken;
            }
            ASSERT_TRUE(WaitUntil([&] { return ran.load() == 3; }));
        }
        EXPECT_GT(woken, 0);

        // UnInit ends the wait while the worker is still held.
        gate = false;
        held = false;
        ran = 0;
        ASSERT_TRUE(pool.AddTask(holding()));
        ASSERT_TRUE(WaitUntil([&] { return held.load(); }));
        ASSERT_TRUE(pool.AddTask(counting()));
        std::atomic<bool> done{false};
        std::thread waiter2([&] {
            backlog.Wait(10000);
            done = true;
        });
        std::thread stopper([&] { pool.UnInit(10000); });
        EXPECT_TRUE(WaitUntil([&] { return done.load(); }, milliseconds(5000)));
        gate = true;
        stopper.join();
        waiter2.join();
        EXPECT_EQ(1, ran.load()) << "the queued task was dropped";
    }
    // The backlog holds the state of a pool that is gone.
    EXPECT_LT(Timed([&] { EXPECT_FALSE(backlog.Wait(5000)); }), 2000) << "pool gone";
}

// A job's two pointers: a counter of its runs and one of its drops.
void CountRun(void* runs, void*) { ++*static_cast<std::atomic<int>*>(runs); }
void CountDrop(void*, void* drops) { ++*static_cast<std::atomic<int>*>(drops); }
ThreadPool::Job CountingJob(std::atomic<int>& runs, std::atomic<int>& drops)
{
    return ThreadPool::Job{&CountRun, &CountDrop, &runs, &drops};
}

// Takes tasks as a worker would.
struct Puller : ThreadPool {
    using ThreadPool::GetTask;
};

// Jobs queued through a backlog wait for the wake-up it holds back, which
// every way of leaving the backlog posts: no idle worker is left asleep
// over them. Each round begins once the workers have run out of tasks.
TEST_F(ThreadPoolTest, JobsQueuedThroughABacklogRunOnceItWakesWaitsMovesOnOrGoes)
{
    std::atomic<int> runs{0}, drops{0};
    ThreadPool pool, other;
    ASSERT_TRUE(pool.Init(2, 1000) && other.Init(1, 1000));
    auto idle = [&] {
        std::atomic<int> done{0};
        for (int i = 0; i < 2; ++i)
            ASSERT_TRUE(pool.AddTask(Probe::Task([&] { ++done; })));
        ASSERT_TRUE(WaitUntil([&] { return done == 2; }));
    };
    std::function<void(ThreadPool::Backlog&)> const leaves[] = {
        [](ThreadPool::Backlog& backlog) { backlog.Wake(); },
        [](ThreadPool::Backlog& backlog) { backlog.Wait(1000); },
        [](ThreadPool::Backlog& backlog) { backlog.Clear(); },
        [&](ThreadPool::Backlog& backlog) { backlog.Note(other); },
        [](ThreadPool::Backlog&) {}, // the backlog's end
    };
    char const* const names[] = {"Wake", "Wait", "Clear", "Note", "end"};
    int expected = 0;
    for (int way = 0; way < 5; ++way) {
        for (int round = 0; round < 10; ++round) {
            idle();
            expected += 3;
            {
                ThreadPool::Backlog backlog;
                for (int i = 0; i < 3; ++i)
                    ASSERT_TRUE(pool.AddJob(CountingJob(runs, drops), backlog));
                leaves[way](backlog);
                if (way < 4)
                    ASSERT_TRUE(WaitUntil([&] { return runs == expected; }, milliseconds(5000))) << names[way] << " " << round;
            }
            ASSERT_TRUE(WaitUntil([&] { return runs == expected; }, milliseconds(5000))) << names[way] << " " << round;
        }
    }
    // Owed to a pool that stopped meanwhile: its jobs are dropped, once.
    ThreadPool::Backlog backlog;
    ASSERT_TRUE(pool.AddJob(CountingJob(runs, drops), backlog));
    EXPECT_TRUE(pool.UnInit(5000));
    backlog.Wake();
    EXPECT_FALSE(pool.AddJob(CountingJob(runs, drops), backlog));
    EXPECT_EQ(expected + 1, runs + drops);
}

TEST_F(ThreadPoolTest, RunsEveryTaskExactlyOnceUnderManyProducers)
{
    // Half the producers queue callbacks, half queue jobs.
    constexpr int PRODUCERS = 8, TASKS = 10000;
    std::vector<std::atomic<int>> runs(PRODUCERS * TASKS);
    std::atomic<int> refused{0}, drops{0};
    ThreadPool pool;
    ASSERT_TRUE(pool.Init(2, 1000));
    std::vector<std::thread> producers;
    for (int p = 0; p < PRODUCERS; ++p)
        producers.emplace_back([&, p] {
            for (int slot = p * TASKS; slot < (p + 1) * TASKS; ++slot) {
                bool added = p % 2 == 0 ? pool.AddTask(Probe::Task([&, slot] { ++runs[slot]; }))
                                        : pool.AddJob(CountingJob(runs[slot], drops));
                if (!added)
                    ++refused;
            }
        });
    for (auto& producer : producers)
        producer.join();
    EXPECT_EQ(0, refused.load());
    auto ran = [&] { return std::count_if(runs.begin(), runs.end(), [](std::atomic<int> const& r) { return r != 0; }); };
    EXPECT_TRUE(WaitUntil([&] { return ran() == PRODUCERS * TASKS; }, milliseconds(60000)));
    EXPECT_TRUE(pool.UnInit(1000));
    EXPECT_EQ(0, std::count_if(runs.begin(), runs.end(), [](std::atomic<int> const& r) { return r != 1; }));
    EXPECT_EQ(0, drops.load());
}

TEST_F(ThreadPoolTest, AJobRunsOnceOrIsDroppedOnceAndARefusedOneIsLeftAlone)
{
    std::atomic<int> runs[4] = {}, drops[4] = {};
    Puller pool;
    EXPECT_FALSE(pool.AddJob(CountingJob(runs[0], drops[0]))); // not running
    EXPECT_FALSE(pool.AddJob({nullptr, &CountDrop, &runs[0], &drops[0]}));
    ASSERT_TRUE(pool.Init(0, 1000)); // the queue only: the test takes the tasks
    for (int i = 1; i < 4; ++i)
        ASSERT_TRUE(pool.AddJob(CountingJob(runs[i], drops[i])));
    // A job taken as a callback runs once, however often it is called; one
    // whose callback goes unrun is dropped with it.
    CallBack first = pool.GetTask(), copy = first;
    ASSERT_TRUE(first.IsValid());
    EXPECT_TRUE(first.CallBackV() && copy.CallBackV());
    first.Clear(), copy.Clear();
    CallBack second = pool.GetTask();
    ASSERT_TRUE(second.IsValid());
    second.Clear();
    EXPECT_TRUE(pool.UnInit(1000)); // drops the third
    EXPECT_FALSE(pool.AddJob(CountingJob(runs[0], drops[0])));
    int const ranOnce[4] = {0, 1, 0, 0}, droppedOnce[4] = {0, 0, 1, 1};
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(runs[i] == ranOnce[i] && drops[i] == droppedOnce[i]) << i << ": " << runs[i] << " " << drops[i];
}

TEST_F(ThreadPoolTest, AddTaskRacingUnInitLeavesNoTaskBehind)
{
    // A task is either refused or queued before UnInit empties the queue:
    // none may slip in afterwards and wait in the stopped pool. The same
    // pool is started again for every round.
    unsigned int before = Thread::GetCount();
    ThreadPool pool;
    EXPECT_FALSE(pool.AddTask(Probe::Task([] {})));
    for (int round = 0; round < 30; ++round) {
        ASSERT_TRUE(pool.Init(2, 1000));
        std::atomic<bool> stopped{false};
        std::atomic<int> lateRuns{0}, added{0};
        std::vector<std::thread> producers;
        for (int p = 0; p < 3; ++p)
            producers.emplace_back([&] {
                while (pool.AddTask(Probe::Task([&] { lateRuns += stopped ? 1 : 0; })))
                    ++added;
            });
        // Stop at a different point of the producers' stream each round.
        WaitUntil([&] { return added.load() >= 40 * (round % 5); });
        EXPECT_TRUE(pool.UnInit(5000));
        stopped = true;
        for (auto& producer : producers)
            producer.join();
        ASSERT_EQ(0, Probe::s_iAlive.load()) << "round " << round;
        EXPECT_EQ(0, lateRuns.load());
        EXPECT_EQ(0u, pool.GetThreadCount());
    }
    EXPECT_TRUE(WaitUntil([&] { return Thread::GetCount() == before; }));
}

TEST_F(ThreadPoolTest, LateWorkerReportsStartAfterInitGaveUp)
{
    // With no time to wait, Init mostly returns before its last workers
    // have reported their start; they report it later, into a start-up
    // signal that must still exist.
    for (int round = 0; round < 5; ++round) {
        ThreadPool pool;
        pool.Init(8, 0);
        EXPECT_TRUE(WaitUntil([&] { return pool.GetThreadCount() == 8; }));
        std::atomic<int> ran{0};
        for (int i = 0; i < 100; ++i)
            ASSERT_TRUE(pool.AddTask(Probe::Task([&] { ++ran; })));
        EXPECT_TRUE(WaitUntil([&] { return ran == 100; }));
        EXPECT_TRUE(pool.UnInit(1000));
    }
}

TEST_F(ThreadPoolTest, TaskUnInitsOrDestroysItsOwnPoolWithoutWaitingForItself)
{
    ThreadPool pool;
    ASSERT_TRUE(pool.Init(3, 1000));
    std::atomic<bool> stopped{false};
    ASSERT_TRUE(pool.AddTask(Probe::Task([&] { stopped = pool.UnInit(5000); })));
    // Waiting for itself would take the whole 5 s.
    EXPECT_TRUE(WaitUntil([&] { return stopped && pool.GetThreadCount() == 0; }, milliseconds(2500)));
    EXPECT_FALSE(pool.AddTask(Probe::Task([] {})));
    // The worker goes on after its task returns, with the pool object gone.
    auto* own = new ThreadPool;
    ASSERT_TRUE(own->Init(2, 1000));
    std::atomic<bool> done{false};
    ASSERT_TRUE(own->AddTask(Probe::Task([&] { delete own, done = true; })));
    ASSERT_TRUE(WaitUntil([&] { return done.load(); }));
}

TEST_F(ThreadPoolTest, DestructorLeavesAnUnstoppableWorkerItsState)
{
    // A task that never blocks can neither be waited for nor killed: the
    // destructor gives up on it (after 10 s and the kill's 1 s) and frees
    // the pool. When the task finally returns, its worker must find the
    // state it shares still alive, and end.
    unsigned int before = Thread::GetCount();
    std::atomic<bool> release{false}, started{false};
    auto* pool = new ThreadPool;
    ASSERT_TRUE(pool->Init(1, 1000));
    ASSERT_TRUE(pool->AddTask(Probe::Task([&] {
        started = true;
        while (!release)
            ; // spins: no call here is a place where the thread could be killed
    })));
    ASSERT_TRUE(WaitUntil([&] { return started.load(); }));
    delete pool;
    release = true;
    EXPECT_TRUE(WaitUntil([&] { return Thread::GetCount() == before; }));
}

} // namespace
