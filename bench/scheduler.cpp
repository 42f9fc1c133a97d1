// Scheduler dispatch. Read as ratios:
// - LocalSchedRun against PlainDispatch: one Run of a registered handler on
//   the calling thread, against the plain equivalent (a hash lookup of a
//   std::shared_ptr handler under a std::shared_mutex, then a virtual call).
//   The goal is also absolute: at most 150 ns per Run.
// - TpSchedTasks against PlainPoolTasks: tasks per second through a TpSched
//   of 2 workers, against the plain standard-library pool, 1 and 2
//   producers.
#include <vor/sched/scheduler.h>

#include "plainpool.h"

#include <memory>
#include <shared_mutex>
#include <unordered_map>

using Vor::Core::Guard;
using Vor::Sched::Handler;
using Vor::Sched::LocalSched;
using Vor::Sched::Scheduler;
using Vor::Sched::TpSched;

namespace {

std::atomic<long> g_Done{0};

class Counter : public Handler {
public:
    unsigned int GetID() override { return 7; }
    bool OnHandle(Guard<Handler::Param>) override
    {
        g_Done.fetch_add(1, std::memory_order_release);
        return true;
    }
};

template <class S>
Guard<Scheduler> MakeScheduler()
{
    S* scheduler = new S;
    Guard<Scheduler> guard(scheduler);
    scheduler->DecRef();
    Counter* handler = new Counter;
    guard->Register(Guard<Handler>(handler), 7);
    handler->DecRef();
    return guard;
}

// The plain equivalent of a scheduler with one handler, run inline.
struct PlainHandler {
    virtual ~PlainHandler() = default;
    virtual bool OnHandle(std::shared_ptr<int> const&)
    {
        g_Done.fetch_add(1, std::memory_order_release);
        return true;
    }
};

void PlainDispatch(benchmark::State& state)
{
    std::shared_mutex lock;
    std::unordered_map<std::uint64_t, std::shared_ptr<PlainHandler>> registry;
    registry[7] = std::make_shared<PlainHandler>();
    std::shared_ptr<int> param;
    for (auto _ : state) {
        std::shared_ptr<PlainHandler> handler;
        {
            std::shared_lock<std::shared_mutex> hold(lock);
            auto found = registry.find(7);
            if (found != registry.end())
                handler = found->second;
        }
        benchmark::DoNotOptimize(handler->OnHandle(param));
    }
}
BENCHMARK(PlainDispatch);

void LocalSchedRun(benchmark::State& state)
{
    Guard<Scheduler> sched = MakeScheduler<LocalSched>();
    Guard<Handler::Param> param;
    for (auto _ : state)
        benchmark::DoNotOptimize(sched->Run(7, param));
}
BENCHMARK(LocalSchedRun);

void PlainPoolTasks(benchmark::State& state)
{
    VorBench::PlainPool pool(2);
    std::function<void()> task = [] { g_Done.fetch_add(1, std::memory_order_release); };
    VorBench::RunBatches(state, static_cast<int>(state.range(0)), g_Done, [&] { pool.AddTask(task); });
}
BENCHMARK(PlainPoolTasks)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

void TpSchedTasks(benchmark::State& state)
{
    Guard<Scheduler> sched = MakeScheduler<TpSched>();
    if (!sched->Init(Scheduler::Param(2))) {
        state.SkipWithError("Init failed");
        return;
    }
    Guard<Handler::Param> param;
    VorBench::RunBatches(state, static_cast<int>(state.range(0)), g_Done, [&] { sched->Run(7, param); });
    sched->UnInit(10000);
}
BENCHMARK(TpSchedTasks)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
