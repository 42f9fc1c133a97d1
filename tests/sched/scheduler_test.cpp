#include <vor/core/thread.h>
#include <vor/sched/scheduler.h>

#include "support/capture.h"
#include "support/own.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using Vor::Core::CallBack;
using Vor::Core::Guard;
using Vor::Core::Thread;
using Vor::Sched::Handler;
using Vor::Sched::LocalSched;
using Vor::Sched::Scheduler;
using Vor::Sched::StSched;
using Vor::Sched::TpSched;
using VorTest::Own;
using VorTest::StderrCapture;
using VorTest::WaitUntil;

namespace {

using Lines = std::vector<std::string>;

// Counts its own instances, so tests can tell whether a reference leaked.
class Counted {
public:
    static std::atomic<int> s_iAlive;
    Counted() { ++s_iAlive; }
    Counted(Counted const&) { ++s_iAlive; }
    ~Counted() { --s_iAlive; }
};
std::atomic<int> Counted::s_iAlive{0};

class Payload : public Handler::Param, public Counted {
public:
    explicit Payload(int value) : m_iValue(value) {}
    int m_iValue;
};

Guard<Handler::Param> MakePayload(int value) { return Own<Handler::Param>(new Payload(value)); }

// A handler whose work is a function given by the test.
class TestHandler : public Handler, public Counted {
public:
    using Body = std::function<void(Guard<Handler::Param>)>;

    static Guard<Handler> Make(unsigned int id, Body body = nullptr)
    {
        return Own<Handler>(new TestHandler(id, std::move(body)));
    }

    unsigned int GetID() override { return m_uId; }
    bool OnHandle(Guard<Handler::Param> param) override
    {
        m_LastThread = Thread::GetID();
        if (auto* payload = dynamic_cast<Payload*>(param.Raw()))
            m_LastValue = payload->m_iValue;
        if (m_Body)
            m_Body(param);
        ++m_iCalls;
        return true;
    }

    std::atomic<int> m_iCalls{0};
    std::atomic<int> m_LastValue{-1};
    std::atomic<unsigned int> m_LastThread{0};
    std::function<void()> m_OnDestroy;

protected:
    ~TestHandler() override
    {
        if (m_OnDestroy)
            m_OnDestroy();
    }

private:
    TestHandler(unsigned int id, Body body) : m_uId(id), m_Body(std::move(body)) {}
    unsigned int m_uId;
    Body m_Body;
};

TestHandler& As(Guard<Handler>& handler) { return *static_cast<TestHandler*>(handler.Raw()); }

template <class S>
Guard<Scheduler> Make()
{
    return Own<Scheduler>(new S);
}

// Exposes the execution policies.
template <class S>
class Exposed : public S {
public:
    using S::Run;
};

class SchedulerTest : public ::testing::Test {
protected:
    void SetUp() override { Counted::s_iAlive = 0; }
    // Every handler and parameter a test made is gone once its guards are:
    // no task kept a reference after it was run, refused or dropped.
    void TearDown() override { EXPECT_TRUE(WaitUntil([] { return Counted::s_iAlive == 0; })); }
};

std::string NotFound(std::string const& id) { return "Can not find handler " + id + ", this should not happen"; }

// Runs the unknown `id`: refused, with exactly its one diagnostic line.
void ExpectUnknown(Guard<Scheduler> sched, std::uint64_t id, Guard<Handler::Param> param = Guard<Handler::Param>())
{
    StderrCapture capture;
    EXPECT_FALSE(sched->Run(id, param)) << id;
    capture.Stop();
    EXPECT_EQ(Lines{NotFound(std::to_string(id))}, capture.Lines()) << id;
    EXPECT_EQ('\n', capture.Text().back()) << id;
}

TEST_F(SchedulerTest, LocalSchedRunsTheHandlerOnTheCallingThreadBeforeReturning)
{
    Guard<Scheduler> sched = Make<LocalSched>();
    Guard<Handler> handler = TestHandler::Make(1);
    ASSERT_TRUE(sched->Register(handler, 100));
    EXPECT_TRUE(sched->Run(100, MakePayload(5)));
    EXPECT_EQ(1, As(handler).m_iCalls.load());
    EXPECT_EQ(5, As(handler).m_LastValue.load());
    EXPECT_EQ(Thread::GetID(), As(handler).m_LastThread.load());
    for (Guard<Scheduler> other : {sched, Make<StSched>()}) { // nothing to start
        EXPECT_TRUE(other->Init(Scheduler::Param()));
        EXPECT_TRUE(other->UnInit(0));
    }
}

TEST_F(SchedulerTest, StSchedReturnsWhileTheHandlerRunsOnItsOwnThread)
{
    Guard<Scheduler> sched = Make<StSched>();
    std::atomic<bool> gate{false};
    Guard<Handler> handler = TestHandler::Make(1, [&](Guard<Handler::Param>) { WaitUntil([&] { return gate.load(); }); });
    ASSERT_TRUE(sched->Register(handler, 1));
    EXPECT_TRUE(sched->Run(1, MakePayload(9)));
    EXPECT_EQ(0, As(handler).m_iCalls.load());
    gate = true;
    ASSERT_TRUE(WaitUntil([&] { return As(handler).m_iCalls == 1; }));
    EXPECT_EQ(9, As(handler).m_LastValue.load());
    EXPECT_NE(Thread::GetID(), As(handler).m_LastThread.load());
}

TEST_F(SchedulerTest, TpSchedNeedsWorkersAndRunsTasksOnItsPoolOnlyWhileStarted)
{
    Guard<Scheduler> sched = Make<TpSched>();
    Guard<Handler> handler = TestHandler::Make(1);
    ASSERT_TRUE(sched->Register(handler, 3));
    EXPECT_FALSE(sched->Init(Scheduler::Param(0)));
    {
        // Not started, so a task is refused rather than accepted and never run.
        StderrCapture capture;
        EXPECT_FALSE(sched->Run(3, MakePayload(1)));
        capture.Stop();
        EXPECT_EQ(Lines(), capture.Lines());
    }
    ASSERT_TRUE(sched->Init(Scheduler::Param(2)));
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(sched->Run(3, MakePayload(i)));
    EXPECT_TRUE(WaitUntil([&] { return As(handler).m_iCalls == 100; }));
    EXPECT_NE(Thread::GetID(), As(handler).m_LastThread.load());
    EXPECT_TRUE(sched->UnInit(1000));
    EXPECT_FALSE(sched->Run(3, MakePayload(1)));
}

TEST_F(SchedulerTest, UnknownEmptyOrUnRegisteredIdsPrintOneLineAndFail)
{
    Guard<Scheduler> sched = Make<LocalSched>();
    ExpectUnknown(sched, 42, MakePayload(0));
    ExpectUnknown(sched, (1ull << 32) + 5);
    ExpectUnknown(sched, ~0ull);
    EXPECT_TRUE(sched->Register(Guard<Handler>(), 8));
    ExpectUnknown(sched, 8);
    EXPECT_FALSE(sched->Register(Guard<Handler>()));
    EXPECT_FALSE(sched->UnRegister(Guard<Handler>()));

    Guard<Handler> handler = TestHandler::Make(1);
    EXPECT_TRUE(sched->UnRegister(12)); // never registered
    ASSERT_TRUE(sched->Register(handler, 12));
    EXPECT_TRUE(sched->UnRegister(12));
    ExpectUnknown(sched, 12);
    EXPECT_EQ(0, As(handler).m_iCalls.load());
}

TEST_F(SchedulerTest, FirstHandlerKeepsATakenIdAndOneArgumentFormsUseTheHandlersId)
{
    Guard<Scheduler> sched = Make<LocalSched>();
    Guard<Handler> first = TestHandler::Make(0xFFFFFFFFu);
    Guard<Handler> second = TestHandler::Make(2);
    EXPECT_TRUE(sched->Register(first, 11));
    EXPECT_TRUE(sched->Register(second, 11));
    EXPECT_TRUE(sched->Run(11, Guard<Handler::Param>()));
    EXPECT_EQ(1, As(first).m_iCalls.load());
    EXPECT_EQ(0, As(second).m_iCalls.load());

    ASSERT_TRUE(sched->Register(first));
    EXPECT_TRUE(sched->Run(0xFFFFFFFFull, Guard<Handler::Param>()));
    EXPECT_EQ(2, As(first).m_iCalls.load());
    EXPECT_TRUE(sched->UnRegister(first));
    ExpectUnknown(sched, 0xFFFFFFFFull);
    EXPECT_TRUE(sched->UnRegister(11));
}

TEST_F(SchedulerTest, PoliciesRefuseAnEmptyTask)
{
    unsigned int threads = Thread::GetCount();
    Guard<Scheduler> st = Make<Exposed<StSched>>();
    Guard<Scheduler> tp = Make<Exposed<TpSched>>();
    Guard<Scheduler> local = Make<Exposed<LocalSched>>();
    ASSERT_TRUE(tp->Init(Scheduler::Param(1)));
    EXPECT_FALSE(static_cast<Exposed<StSched>*>(st.Raw())->Run(CallBack()));
    EXPECT_FALSE(static_cast<Exposed<TpSched>*>(tp.Raw())->Run(CallBack()));
    EXPECT_FALSE(static_cast<Exposed<LocalSched>*>(local.Raw())->Run(CallBack()));
    EXPECT_EQ(threads + 1, Thread::GetCount()); // only the pool's worker
    EXPECT_TRUE(tp->UnInit(1000));
}

TEST_F(SchedulerTest, HandlerGivesNoTaskWhileBeingDestroyed)
{
    int checked = 0;
    {
        Guard<Handler> handler = TestHandler::Make(1);
        Handler* raw = handler.Raw();
        As(handler).m_OnDestroy = [raw, &checked] {
            checked = raw->GetTask(Guard<Handler::Param>()).IsValid() ? 1 : 2;
        };
        CallBack task = handler->GetTask(MakePayload(1));
        EXPECT_TRUE(task.IsValid());
        EXPECT_TRUE((task.Accepts<void, void>()));
    }
    EXPECT_EQ(2, checked);
}

TEST_F(SchedulerTest, TaskHoldsItsHandlerAndParameterUntilItIsDropped)
{
    Guard<Handler> handler = TestHandler::Make(1);
    unsigned int before = handler->GetRef();
    CallBack task = handler->GetTask(MakePayload(4));
    EXPECT_EQ(before + 1, handler->GetRef());
    CallBack copy = task;
    EXPECT_TRUE(copy.CallBackV());
    EXPECT_EQ(4, As(handler).m_LastValue.load());
    EXPECT_EQ(before + 1, handler->GetRef()); // running a task does not give it back
    task.Clear();
    copy.Clear();
    EXPECT_EQ(before, handler->GetRef());
    EXPECT_EQ(1, Counted::s_iAlive.load()); // the parameter went with the task

    // A copied parameter starts with its own single reference.
    Guard<Payload> payload = Own(new Payload(3));
    Payload* copied = new Payload(*payload);
    EXPECT_EQ(1u, copied->GetRef());
    copied->DecRef();
}

TEST_F(SchedulerTest, RefusedTaskGivesItsReferencesBack)
{
    // TpSched before Init refuses every task; the handler and the parameter
    // must still be released once nothing else holds them.
    Guard<Scheduler> sched = Make<TpSched>();
    Guard<Handler> handler = TestHandler::Make(1);
    unsigned int before = handler->GetRef();
    ASSERT_TRUE(sched->Register(handler, 5));
    for (int i = 0; i < 10; ++i)
        EXPECT_FALSE(sched->Run(5, MakePayload(i)));
    EXPECT_TRUE(sched->UnRegister(5));
    EXPECT_EQ(before, handler->GetRef());
    EXPECT_EQ(1, Counted::s_iAlive.load());
}

TEST_F(SchedulerTest, TasksDroppedAtUnInitGiveTheirReferencesBack)
{
    Guard<Scheduler> sched = Make<TpSched>();
    ASSERT_TRUE(sched->Init(Scheduler::Param(1)));
    std::atomic<bool> gate{false};
    Guard<Handler> blocker = TestHandler::Make(1, [&](Guard<Handler::Param>) { WaitUntil([&] { return gate.load(); }); });
    Guard<Handler> handler = TestHandler::Make(2);
    ASSERT_TRUE(sched->Register(blocker, 1));
    ASSERT_TRUE(sched->Register(handler, 2));
    unsigned int before = handler->GetRef();
    ASSERT_TRUE(sched->Run(1, Guard<Handler::Param>()));
    ASSERT_TRUE(WaitUntil([&] { return As(blocker).m_LastThread != 0; })); // the worker is busy
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(sched->Run(2, MakePayload(i)));
    EXPECT_EQ(before + 20, handler->GetRef());
    std::thread stopper([&] { EXPECT_TRUE(sched->UnInit(5000)); });
    // UnInit empties the queue at once, then waits for the busy worker.
    EXPECT_TRUE(WaitUntil([&] { return handler->GetRef() == before; }));
    gate = true;
    stopper.join();
    EXPECT_EQ(0, As(handler).m_iCalls.load());
}

TEST_F(SchedulerTest, HandedOverTaskRunsAfterItsIdIsUnRegistered)
{
    Guard<Scheduler> sched = Make<TpSched>();
    ASSERT_TRUE(sched->Init(Scheduler::Param(1)));
    std::atomic<bool> gate{false};
    Guard<Handler> handler = TestHandler::Make(1, [&](Guard<Handler::Param>) { WaitUntil([&] { return gate.load(); }); });
    ASSERT_TRUE(sched->Register(handler, 21));
    ASSERT_TRUE(sched->Run(21, MakePayload(1)));
    ASSERT_TRUE(sched->Run(21, MakePayload(2)));
    EXPECT_TRUE(sched->UnRegister(21));
    ExpectUnknown(sched, 21, MakePayload(3));
    gate = true;
    EXPECT_TRUE(WaitUntil([&] { return As(handler).m_iCalls == 2; }));
    EXPECT_EQ(2, As(handler).m_LastValue.load());
    EXPECT_TRUE(sched->UnInit(1000));
}

TEST_F(SchedulerTest, HandlerMayCallItsLocalSchedulerFromOnHandle)
{
    Guard<Scheduler> sched = Make<LocalSched>();
    Guard<Handler> inner = TestHandler::Make(2);
    Guard<Handler> outer = TestHandler::Make(1, [&](Guard<Handler::Param>) {
        EXPECT_TRUE(sched->Register(inner, 2));
        EXPECT_TRUE(sched->Run(2, Guard<Handler::Param>()));
        EXPECT_TRUE(sched->UnRegister(2));
    });
    ASSERT_TRUE(sched->Register(outer, 1));
    EXPECT_TRUE(sched->Run(1, Guard<Handler::Param>()));
    EXPECT_EQ(1, As(inner).m_iCalls.load());
}

TEST_F(SchedulerTest, HandlerWhoseDestructorCallsTheSchedulerIsReleasedOutsideItsLock)
{
    // The last reference of a handler can be the registry's. Its destructor
    // then runs inside UnRegister; if the lock were still held, its call
    // into the scheduler would never return.
    auto state = std::make_shared<std::atomic<int>>(0);
    Guard<Scheduler> sched = Make<LocalSched>();
    {
        Guard<Handler> handler = TestHandler::Make(1);
        Scheduler* raw = sched.Raw();
        As(handler).m_OnDestroy = [raw, state] {
            raw->UnRegister(99);
            raw->Register(Guard<Handler>(), 98);
            ++*state;
        };
        ASSERT_TRUE(sched->Register(handler, 1));
    }
    // Detached with shared state: a deadlock must fail the test, not hang it.
    std::thread([sched, state] {
        sched.Raw()->UnRegister(1);
        ++*state;
    }).detach();
    EXPECT_TRUE(WaitUntil([&] { return *state == 2; }, std::chrono::milliseconds(5000)));
}

TEST_F(SchedulerTest, TpSchedUnInitFromItsOwnTaskDoesNotWaitForItself)
{
    Guard<Scheduler> sched = Make<TpSched>();
    ASSERT_TRUE(sched->Init(Scheduler::Param(2)));
    std::atomic<int> result{-1};
    std::atomic<long long> elapsed{0};
    Guard<Handler> handler = TestHandler::Make(1, [&](Guard<Handler::Param>) {
        auto start = std::chrono::steady_clock::now();
        result = sched->UnInit(5000) ? 1 : 0;
        elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    });
    ASSERT_TRUE(sched->Register(handler, 1));
    ASSERT_TRUE(sched->Run(1, Guard<Handler::Param>()));
    ASSERT_TRUE(WaitUntil([&] { return result != -1; }));
    EXPECT_EQ(1, result.load());
    EXPECT_LT(elapsed.load(), 2500);
    EXPECT_FALSE(sched->Run(1, Guard<Handler::Param>()));
}

TEST_F(SchedulerTest, TaskMayReleaseTheLastReferenceOfItsTpSched)
{
    std::atomic<bool> done{false};
    Guard<Scheduler>* holder = new Guard<Scheduler>(Make<TpSched>());
    ASSERT_TRUE((*holder)->Init(Scheduler::Param(2)));
    Guard<Handler> handler = TestHandler::Make(1, [&](Guard<Handler::Param>) {
        delete holder; // the scheduler and its pool go while this task runs
        done = true;
    });
    ASSERT_TRUE((*holder)->Register(handler, 1));
    ASSERT_TRUE((*holder)->Run(1, Guard<Handler::Param>()));
    EXPECT_TRUE(WaitUntil([&] { return done.load(); }));
}

TEST_F(SchedulerTest, CopyOfATpSchedLeavesTheOriginalsWorkersAlone)
{
    TpSched* original = new TpSched;
    Guard<Scheduler> sched(original);
    original->DecRef();
    ASSERT_TRUE(sched->Init(Scheduler::Param(2)));
    Guard<Handler> handler = TestHandler::Make(1);
    ASSERT_TRUE(sched->Register(handler, 1));
    {
        TpSched* copied = new TpSched(*original);
        Guard<Scheduler> copy(copied);
        copied->DecRef();
        // The copy knows the handlers but has no running pool of its own.
        EXPECT_FALSE(copy->Run(1, Guard<Handler::Param>()));
        ASSERT_TRUE(copy->Init(Scheduler::Param(1)));
        EXPECT_TRUE(copy->Run(1, Guard<Handler::Param>()));
        EXPECT_TRUE(WaitUntil([&] { return As(handler).m_iCalls == 1; }));
    }
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(sched->Run(1, Guard<Handler::Param>()));
    EXPECT_TRUE(WaitUntil([&] { return As(handler).m_iCalls == 11; }));
    EXPECT_TRUE(sched->UnInit(1000));
}

TEST_F(SchedulerTest, HandlersUnRegisteredWhileTasksRun)
{
    // Dispatchers run ids while another thread registers and unregisters
    // them and replaces handlers. Every accepted task runs exactly once,
    // nothing is reported for ids that are registered throughout, and every
    // handler is released in the end.
    Guard<Scheduler> sched = Make<TpSched>();
    ASSERT_TRUE(sched->Init(Scheduler::Param(3)));
    std::atomic<int> ran{0};
    auto body = [&](Guard<Handler::Param>) { ++ran; };
    constexpr std::uint64_t STABLE = 1, VOLATILE = 2;
    ASSERT_TRUE(sched->Register(TestHandler::Make(1, body), STABLE));

    std::atomic<bool> stop{false};
    std::atomic<int> accepted{0};
    std::atomic<int> missing{0};
    StderrCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                if (sched->Run(STABLE, MakePayload(i)))
                    ++accepted;
                if (sched->Run(VOLATILE, MakePayload(i)))
                    ++accepted;
                else
                    ++missing;
            }
        });
    }
    threads.emplace_back([&] {
        while (!stop) {
            sched->Register(TestHandler::Make(2, body), VOLATILE);
            std::this_thread::yield();
            sched->UnRegister(VOLATILE);
        }
    });
    for (int t = 0; t < 3; ++t)
        threads[t].join();
    stop = true;
    threads[3].join();
    EXPECT_TRUE(WaitUntil([&] { return ran == accepted; }));
    capture.Stop();
    Lines lines = capture.Lines();
    EXPECT_EQ(static_cast<std::size_t>(missing.load()), lines.size());
    for (auto const& line : lines)
        ASSERT_EQ(NotFound("2"), line);
    EXPECT_TRUE(sched->UnInit(1000));
    sched->UnRegister(STABLE);
}

} // namespace
