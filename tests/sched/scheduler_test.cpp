#include <vor/core/thread.h>
#include <vor/sched/scheduler.h>

#include "support/capture.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace Vor::Sched;
using Vor::Core::CallBack;
using Vor::Core::Guard;
using Vor::Core::New;
using Vor::Core::Thread;
using VorTest::WaitUntil;

namespace {

using Lines = std::vector<std::string>;
std::atomic<int> g_Alive{0}; // handlers and parameters alive

struct Payload : Handler::Param {
    explicit Payload(int value) : m_iValue(value) { ++g_Alive; }
    ~Payload() override { --g_Alive; }
    int m_iValue;
};
Guard<Handler::Param> MakePayload(int value) { return New<Handler::Param, Payload>(value); }

// A handler whose work is a function given by the test; it counts its calls
// and keeps the value of the last parameter it was given.
class TestHandler : public Handler {
public:
    static Guard<Handler> Make(unsigned int id, std::function<void()> body = [] {})
    {
        return Guard<Handler>::Adopt(new TestHandler(id, std::move(body)));
    }
    unsigned int GetID() override { return m_uId; }
    bool OnHandle(Guard<Handler::Param> param) override
    {
        if (auto* payload = dynamic_cast<Payload*>(param.Raw()))
            m_iValue = payload->m_iValue;
        m_Body();
        return ++m_iCalls, true;
    }
    std::atomic<int> m_iCalls{0}, m_iValue{-1};
    std::function<void()> m_OnDestroy = [] {};

private:
    TestHandler(unsigned int id, std::function<void()> body) : m_uId(id), m_Body(std::move(body)) { ++g_Alive; }
    ~TestHandler() override { m_OnDestroy(), --g_Alive; }
    unsigned int m_uId;
    std::function<void()> m_Body;
};
TestHandler& As(Guard<Handler> const& handler) { return *static_cast<TestHandler*>(handler.Raw()); }

// Exposes the execution policy.
template <class S>
struct Exposed : S {
    using S::Run;
};

class SchedulerTest : public ::testing::Test {
protected:
    // Every handler and parameter a test made is gone once its guards are:
    // no task kept a reference after it was run, refused or dropped.
    void TearDown() override { EXPECT_TRUE(WaitUntil([] { return g_Alive == 0; })); }
};

std::string NotFound(std::string const& id) { return "Can not find handler " + id + ", this should not happen"; }

// Runs `id`: refused, with exactly the unknown-id line or no line at all.
void ExpectRefused(Guard<Scheduler> sched, std::uint64_t id, bool unknown = true)
{
    VorTest::StderrCapture capture;
    EXPECT_FALSE(sched->Run(id, MakePayload(0))) << id;
    capture.Stop();
    EXPECT_EQ(unknown ? Lines{NotFound(std::to_string(id))} : Lines(), capture.Lines()) << id;
}

TEST_F(SchedulerTest, EachPolicyRunsTasksWhereItShouldAndRefusesEmptyOnes)
{
    unsigned int threads = Thread::GetCount();
    std::atomic<bool> gate{false};
    std::atomic<unsigned int> thread{0};
    Guard<Handler> handler = TestHandler::Make(1, [&] { thread = Thread::GetID(), WaitUntil([&] { return gate.load(); }); });
    auto local = New<Scheduler, Exposed<LocalSched>>(), st = New<Scheduler, Exposed<StSched>>();
    auto tp = New<Scheduler, Exposed<TpSched>>();
    for (Guard<Scheduler> sched : {local, st, tp})
        ASSERT_TRUE(sched->Register(handler, 7));
    gate = true; // inline: the handler runs on the calling thread before Run returns
    EXPECT_TRUE(local->Run(7, MakePayload(5)) && As(handler).m_iCalls == 1 && As(handler).m_iValue == 5);
    EXPECT_EQ(Thread::GetID(), thread.load());
    gate = false; // a thread of its own: Run returns while the handler waits
    EXPECT_TRUE(st->Run(7, MakePayload(9)));
    EXPECT_EQ(1, As(handler).m_iCalls.load());
    gate = true;
    ASSERT_TRUE(WaitUntil([&] { return As(handler).m_iCalls == 2; }));
    EXPECT_NE(Thread::GetID(), thread.load());
    EXPECT_FALSE(tp->Init(Scheduler::Param(0)));
    ExpectRefused(tp, 7, false); // not started: refused, not accepted and never run
    ASSERT_TRUE(tp->Init(Scheduler::Param(2)));
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(tp->Run(7, MakePayload(i)));
    EXPECT_TRUE(WaitUntil([&] { return As(handler).m_iCalls == 102; }));
    EXPECT_FALSE(static_cast<Exposed<LocalSched>*>(local.Raw())->Run(CallBack()));
    EXPECT_FALSE(static_cast<Exposed<StSched>*>(st.Raw())->Run(CallBack()));
    EXPECT_FALSE(static_cast<Exposed<TpSched>*>(tp.Raw())->Run(CallBack()));
    EXPECT_TRUE(WaitUntil([&] { return Thread::GetCount() == threads + 2; })); // the pool's two workers
    EXPECT_TRUE(tp->UnInit(1000));
    ExpectRefused(tp, 7, false);
}

// A scheduler that counts the tasks it is handed.
template <class S>
struct Watching : S {
    bool Run(CallBack const& task) override { return ++m_iTasks, S::Run(task); }
    using S::Run;
    std::atomic<int> m_iTasks{0};
};

TEST_F(SchedulerTest, LocalSchedRunsHandlersInlineHoldingThemAndASubclassOfEitherStillSeesEveryTask)
{
    auto plain = New<Scheduler, LocalSched>();
    auto watching = New<Scheduler, Watching<LocalSched>>();
    std::atomic<unsigned int> thread{0};
    Guard<Handler> handler = TestHandler::Make(3, [&] {
        thread = Thread::GetID();
        // Unregistered while it runs: the run's own reference keeps it.
        plain->UnRegister(3);
        watching->UnRegister(3);
    });
    Handler* raw = handler.Raw();
    ASSERT_TRUE(plain->Register(handler, 3) && watching->Register(handler, 3));
    handler.Clear();
    bool alive = true;
    As(Guard<Handler>(raw)).m_OnDestroy = [&] { alive = false; };
    EXPECT_TRUE(plain->Run(3, MakePayload(4)));
    EXPECT_EQ(Thread::GetID(), thread.load());
    EXPECT_FALSE(alive); // the registry's and the run's references are gone
    EXPECT_FALSE(plain->Run(3, MakePayload(5)) || watching->Run(3, MakePayload(5)));

    Guard<Handler> again = TestHandler::Make(4);
    ASSERT_TRUE(watching->Register(again, 4));
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(watching->Run(4, MakePayload(i)));
    EXPECT_EQ(3, static_cast<Watching<LocalSched>*>(watching.Raw())->m_iTasks);
    EXPECT_EQ(3, As(again).m_iCalls.load());

    // A subclass of the thread-pool scheduler is handed its tasks too.
    auto pool = New<Scheduler, Watching<TpSched>>();
    ASSERT_TRUE(pool->Init(Scheduler::Param(1)) && pool->Register(again, 4));
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(pool->Run(4, MakePayload(i)));
    EXPECT_TRUE(WaitUntil([&] { return As(again).m_iCalls == 6; }));
    EXPECT_EQ(3, static_cast<Watching<TpSched>*>(pool.Raw())->m_iTasks);
    EXPECT_TRUE(pool->UnInit(1000));
}

TEST_F(SchedulerTest, UnknownEmptyOrUnRegisteredIdsPrintOneLineAndFail)
{
    auto sched = New<Scheduler, LocalSched>();
    for (std::uint64_t id : {42ull, (1ull << 32) + 5, ~0ull})
        ExpectRefused(sched, id);
    EXPECT_TRUE(sched->Register(Guard<Handler>(), 8));
    ExpectRefused(sched, 8);
    EXPECT_FALSE(sched->Register(Guard<Handler>()) || sched->UnRegister(Guard<Handler>()));
    Guard<Handler> first = TestHandler::Make(0xFFFFFFFFu);
    EXPECT_TRUE(sched->UnRegister(12)); // never registered
    EXPECT_TRUE(sched->Register(first, 12) && sched->Register(TestHandler::Make(2), 12)); // the first keeps the id
    EXPECT_TRUE(sched->Run(12, Guard<Handler::Param>()) && sched->Run(12, Guard<Handler::Param>()));
    EXPECT_EQ(2, As(first).m_iCalls);
    // Gone from the registry though still alive (held here), and then
    // replaced: a thread that found the first one before does not run it.
    EXPECT_TRUE(sched->UnRegister(12));
    ExpectRefused(sched, 12);
    Guard<Handler> second = TestHandler::Make(3);
    ASSERT_TRUE(sched->Register(second, 12));
    EXPECT_TRUE(sched->Run(12, Guard<Handler::Param>()) && As(second).m_iCalls == 1 && As(first).m_iCalls == 2);
    EXPECT_TRUE(sched->UnRegister(12));
    ASSERT_TRUE(sched->Register(first)); // the one-argument forms use the handler's id
    EXPECT_TRUE(sched->Run(0xFFFFFFFFull, Guard<Handler::Param>()) && As(first).m_iCalls == 3);
    EXPECT_TRUE(sched->UnRegister(first));
    ExpectRefused(sched, 0xFFFFFFFFull);
}

TEST_F(SchedulerTest, TasksHoldTheirReferencesUntilRunRefusedOrDroppedAtUnInit)
{
    auto sched = New<Scheduler, TpSched>();
    std::atomic<bool> gate{false}, busy{false};
    Guard<Handler> blocker = TestHandler::Make(1, [&] { busy = true, WaitUntil([&] { return gate.load(); }); });
    Guard<Handler> handler = TestHandler::Make(2);
    unsigned int before = handler->GetRef();
    ASSERT_TRUE(sched->Register(blocker, 1) && sched->Register(handler, 2));
    CallBack task = handler->GetTask(MakePayload(4)), copy = task;
    EXPECT_TRUE(copy.CallBackV() && As(handler).m_iValue == 4);
    EXPECT_EQ(before + 2, handler->GetRef()); // running a task does not give it back
    task.Clear(), copy.Clear();
    for (int i = 0; i < 10; ++i)
        EXPECT_FALSE(sched->Run(2, MakePayload(i))); // refused before Init
    EXPECT_EQ(before + 1, handler->GetRef());
    ASSERT_TRUE(sched->Init(Scheduler::Param(1)));
    ASSERT_TRUE(sched->Run(1, Guard<Handler::Param>()));
    ASSERT_TRUE(WaitUntil([&] { return busy.load(); })); // the only worker is held
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(sched->Run(2, MakePayload(i)));
    EXPECT_TRUE(sched->UnRegister(2)); // handed-over tasks keep their handler
    EXPECT_EQ(before + 20, handler->GetRef());
    std::thread stopper([&] { EXPECT_TRUE(sched->UnInit(5000)); });
    // UnInit empties the queue at once, then waits for the busy worker.
    EXPECT_TRUE(WaitUntil([&] { return handler->GetRef() == before; }));
    gate = true;
    stopper.join();
    EXPECT_EQ(1, As(handler).m_iCalls.load());
    // A handler being destroyed gives no task.
    Handler* raw = handler.Raw();
    int checked = 0;
    As(handler).m_OnDestroy = [raw, &checked] { checked = raw->GetTask(Guard<Handler::Param>()).IsValid() ? 1 : 2; };
    handler.Clear();
    EXPECT_EQ(2, checked);
}

TEST_F(SchedulerTest, HandlerWhoseDestructorCallsTheSchedulerIsReleasedOutsideItsLock)
{
    // The registry can hold a handler's last reference: its destructor then
    // runs inside UnRegister, and would never return from its own call into
    // the scheduler if the lock were still held.
    auto sched = New<Scheduler, LocalSched>();
    auto state = std::make_shared<std::atomic<int>>(0);
    Scheduler* raw = sched.Raw();
    Guard<Handler> handler = TestHandler::Make(1);
    As(handler).m_OnDestroy = [raw, state] { raw->UnRegister(99), raw->Register(Guard<Handler>(), 98), ++*state; };
    ASSERT_TRUE(sched->Register(handler, 1));
    handler.Clear();
    // Detached with shared state: a deadlock must fail the test, not hang it.
    std::thread([sched, state] { sched.Raw()->UnRegister(1), ++*state; }).detach();
    EXPECT_TRUE(WaitUntil([&] { return *state == 2; }, std::chrono::milliseconds(5000)));
}

TEST_F(SchedulerTest, TpSchedTaskMayStopOrReleaseItsOwnSchedulerWithoutWaitingForItself)
{
    auto sched = New<Scheduler, TpSched>();
    ASSERT_TRUE(sched->Init(Scheduler::Param(2)));
    std::atomic<bool> stopped{false};
    Guard<Handler> handler = TestHandler::Make(1, [&] { stopped = sched->UnInit(5000); });
    ASSERT_TRUE(sched->Register(handler, 1) && sched->Run(1, Guard<Handler::Param>()));
    // Waiting for itself would take the whole 5 s.
    EXPECT_TRUE(WaitUntil([&] { return stopped.load(); }, std::chrono::milliseconds(2500)));
    EXPECT_FALSE(sched->Run(1, Guard<Handler::Param>()));
    // The scheduler and its pool may go while the task runs.
    auto* holder = new Guard<Scheduler>(New<Scheduler, TpSched>());
    ASSERT_TRUE((*holder)->Init(Scheduler::Param(2)));
    std::atomic<bool> done{false};
    Guard<Handler> last = TestHandler::Make(1, [&] { delete holder, done = true; });
    ASSERT_TRUE((*holder)->Register(last, 1) && (*holder)->Run(1, Guard<Handler::Param>()));
    EXPECT_TRUE(WaitUntil([&] { return done.load(); }));
}

TEST_F(SchedulerTest, CopyOfATpSchedLeavesTheOriginalsWorkersAlone)
{
    Guard<TpSched> made = New<TpSched>();
    TpSched* original = made.Raw();
    Guard<Scheduler> sched(original);
    ASSERT_TRUE(sched->Init(Scheduler::Param(2)));
    Guard<Handler> handler = TestHandler::Make(1);
    ASSERT_TRUE(sched->Register(handler, 1));
    {
        auto copy = New<Scheduler, TpSched>(*original);
        EXPECT_FALSE(copy->Run(1, Guard<Handler::Param>())) << "the copy knows the handlers but has no pool";
        ASSERT_TRUE(copy->Init(Scheduler::Param(1)) && copy->Run(1, Guard<Handler::Param>()));
        EXPECT_TRUE(WaitUntil([&] { return As(handler).m_iCalls == 1; }));
    }
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(sched->Run(1, Guard<Handler::Param>()));
    EXPECT_TRUE(WaitUntil([&] { return As(handler).m_iCalls == 11; }));
    EXPECT_TRUE(sched->UnInit(1000));
}

TEST_F(SchedulerTest, HandlersUnRegisteredWhileTasksRun)
{
    // Dispatchers run ids while another thread registers, unregisters and
    // replaces a handler (each replaced one is destroyed once its tasks
    // have run). Every accepted task runs exactly once, only the changing
    // id is ever reported unknown, and every handler is released. The
    // changing id is run twice in a row, so that the second finds the
    // handler the first one found, which may have gone meanwhile.
    auto sched = New<Scheduler, TpSched>();
    ASSERT_TRUE(sched->Init(Scheduler::Param(3)));
    std::atomic<int> ran{0}, accepted{0}, missing{0};
    std::atomic<bool> stop{false};
    ASSERT_TRUE(sched->Register(TestHandler::Make(1, [&] { ++ran; }), 1));
    VorTest::StderrCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                accepted += sched->Run(1, MakePayload(i)) ? 1 : 0;
                sched->Run(2, MakePayload(i)) ? ++accepted : ++missing;
                sched->Run(2, MakePayload(i)) ? ++accepted : ++missing;
            }
        });
    std::thread changer([&] {
        while (!stop) {
            sched->Register(TestHandler::Make(2, [&] { ++ran; }), 2);
            std::this_thread::yield();
            sched->UnRegister(2);
        }
    });
    for (auto& thread : threads)
        thread.join();
    stop = true;
    changer.join();
    EXPECT_TRUE(WaitUntil([&] { return ran == accepted; }));
    capture.Stop();
    EXPECT_EQ(Lines(static_cast<std::size_t>(missing.load()), NotFound("2")), capture.Lines());
    EXPECT_TRUE(sched->UnInit(1000));
    sched->UnRegister(1);
}

} // namespace
