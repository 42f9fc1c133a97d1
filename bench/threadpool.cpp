// ThreadPool task throughput against the plain standard-library pool:
// 2 workers, 1 and 2 producers. Read items_per_second of ThreadPoolTasks
// over PlainPoolTasks with the same argument.
#include <vor/basic/threadpool.h>

#include "plainpool.h"

using Vor::Basic::ThreadPool;
using Vor::Core::CallBack;

namespace {

std::atomic<long> g_Done{0};

void CountOne() { g_Done.fetch_add(1, std::memory_order_release); }

void PlainPoolTasks(benchmark::State& state)
{
    VorBench::PlainPool pool(2);
    std::function<void()> task = &CountOne;
    VorBench::RunBatches(state, static_cast<int>(state.range(0)), g_Done, [&] { pool.AddTask(task); });
}
BENCHMARK(PlainPoolTasks)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

void ThreadPoolTasks(benchmark::State& state)
{
    ThreadPool pool;
    if (!pool.Init(2, 10000)) {
        state.SkipWithError("Init failed");
        return;
    }
    CallBack task;
    task.Bind(&CountOne);
    VorBench::RunBatches(state, static_cast<int>(state.range(0)), g_Done, [&] { pool.AddTask(task); });
    pool.UnInit(10000);
}
BENCHMARK(ThreadPoolTasks)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
