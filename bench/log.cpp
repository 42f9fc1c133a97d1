// Log statements against the plain C library doing the same work.
//
// A passing statement writes a prefixed line into a file and flushes it;
// the baseline formats the same prefix with strftime and fprintf and
// flushes after every line. A filtered statement is measured against a
// bare relaxed load and comparison. Read the figures as ratios of the
// pairs in the same run (lines per second, time per statement).
#include <vor/util/log.h>

#include <vor/core/thread.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <sys/time.h>

using namespace Vor::Util;

namespace {

constexpr unsigned int kModule = 1;
constexpr unsigned int kQuiet = 2;

std::string TempPath(char const* name)
{
    return (std::filesystem::temp_directory_path() / name).string();
}

// One file and module for all threads of a run.
std::FILE* g_pBaseline = nullptr;

void SetUpBaseline(benchmark::State const& state)
{
    if (state.thread_index() == 0)
        g_pBaseline = std::fopen(TempPath("vor-bench-baseline.log").c_str(), "w");
}

void TearDownBaseline(benchmark::State const& state)
{
    if (state.thread_index() == 0) {
        std::fclose(g_pBaseline);
        std::remove(TempPath("vor-bench-baseline.log").c_str());
    }
}

void BaselineFprintf(benchmark::State& state)
{
    SetUpBaseline(state);
    unsigned int tid = Vor::Core::Thread::GetID();
    int i = 0;
    for (auto _ : state) {
        struct timeval now;
        gettimeofday(&now, nullptr);
        struct tm local;
        localtime_r(&now.tv_sec, &local);
        char seconds[64];
        std::strftime(seconds, sizeof seconds, "%Y-%m-%d %H:%M:%S", &local);
        std::fprintf(g_pBaseline, "[%s,%03d] [INFO ] [%04u] request %d served in %d us\n", seconds,
                     static_cast<int>(now.tv_usec / 1000), tid, i, 250);
        std::fflush(g_pBaseline);
        ++i;
    }
    state.SetItemsProcessed(state.iterations());
    TearDownBaseline(state);
}

void SetUpLog(benchmark::State const& state)
{
    if (state.thread_index() == 0)
        Log::AddModule(Log::Param(kModule, Log::INFO_LEVEL, 0, TempPath("vor-bench-log.log")));
}

void TearDownLog(benchmark::State const& state)
{
    if (state.thread_index() == 0) {
        Log::UnInit();
        std::remove(TempPath("vor-bench-log.log").c_str());
    }
}

void LogStatement(benchmark::State& state)
{
    SetUpLog(state);
    int i = 0;
    for (auto _ : state) {
        VOR_LOG(kModule, Log::INFO_LEVEL, "request % served in % us") << i << 250 << Log::End();
        ++i;
    }
    state.SetItemsProcessed(state.iterations());
    TearDownLog(state);
}

BENCHMARK(BaselineFprintf)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(LogStatement)->Threads(1)->Threads(4)->UseRealTime();

std::atomic<unsigned long long> g_uThreshold{Log::INFO_LEVEL + 1};

void BaselineRelaxedCheck(benchmark::State& state)
{
    unsigned int level = Log::DEBUG_LEVEL;
    for (auto _ : state) {
        benchmark::DoNotOptimize(level);
        if (level < g_uThreshold.load(std::memory_order_relaxed))
            benchmark::DoNotOptimize(level);
    }
}

void FilteredStatement(benchmark::State& state)
{
    Log::AddModule(Log::Param(kQuiet, Log::INFO_LEVEL, 0, ""));
    unsigned int level = Log::DEBUG_LEVEL;
    int i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(level);
        VOR_LOG(kQuiet, level, "value %") << i++ << Log::End();
    }
    benchmark::DoNotOptimize(i);
    Log::UnInit();
}

BENCHMARK(BaselineRelaxedCheck);
BENCHMARK(FilteredStatement);

} // namespace

BENCHMARK_MAIN();
