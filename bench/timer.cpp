// 1,000 timers at 10 ms on one timer thread: how late do expiries arrive?
// Each expiry's lateness is measured against its exact due time (the time
// it was added plus whole intervals); the distribution is reported as
// counters (milliseconds). The baseline is a bare thread sleeping to the
// same deadlines in the same run: what the machine itself adds to a wake-up.
#include <vor/sched/scheduler.h>
#include <vor/sched/timer.h>

#include "platform/clock.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

using namespace Vor::Core;
using namespace Vor::Sched;

namespace {

// p50, p99 and the largest of the microsecond figures, as millisecond counters.
void Report(benchmark::State& state, std::vector<std::uint64_t> late)
{
    std::sort(late.begin(), late.end());
    auto at = [&](double q) { return late.empty() ? 0.0 : late[static_cast<std::size_t>(q * (late.size() - 1))] / 1000.0; };
    state.counters["expiries"] = static_cast<double>(late.size());
    state.counters["p50_ms"] = at(0.50);
    state.counters["p99_ms"] = at(0.99);
    state.counters["max_ms"] = at(1.0);
}

class Lateness : public TimerEvent {
public:
    explicit Lateness(std::size_t timers) : m_Added(timers), m_Fired(timers, 0) {}
    bool OnTimer(unsigned int id) override
    {
        std::uint64_t now = Vor::Platform::MonotonicUs();
        std::uint64_t due = m_Added[id] + m_Fired[id] * 10000ull;
        ++m_Fired[id];
        m_Late.push_back(now > due ? now - due : 0);
        return true;
    }
    std::vector<std::uint64_t> m_Added;
    std::vector<std::uint64_t> m_Fired;
    std::vector<std::uint64_t> m_Late; // microseconds; touched by the timer thread only
};

void ThousandTimersAt10ms(benchmark::State& state)
{
    constexpr unsigned int kTimers = 1000;
    for (auto _ : state) {
        LocalSched* sched = new LocalSched;
        Guard<Scheduler> scheduler(sched);
        sched->DecRef();
        Lateness* event = new Lateness(kTimers);
        Guard<TimerEvent> eventGuard(event);
        event->DecRef();
        Timer* raw = new Timer;
        Guard<Timer> timer(raw);
        raw->DecRef();
        Timer::Param param(scheduler, eventGuard);
        timer->Init(param);
        for (unsigned int id = 0; id < kTimers; ++id) {
            // Adding under the clock reading keeps the due time exact.
            event->m_Added[id] = Vor::Platform::MonotonicUs() / 1000 * 1000;
            timer->AddTimer(id, 10);
        }
        Vor::Platform::SleepMs(1000);
        timer->UnInit();
        timer->Trigger::UnInit(0);

        Report(state, event->m_Late);
    }
}
BENCHMARK(ThousandTimersAt10ms)->Iterations(1)->Unit(benchmark::kMillisecond);

// The baseline: one thread sleeping to a deadline every 10 ms for a second.
void BareSleeperAt10ms(benchmark::State& state)
{
    using Clock = std::chrono::steady_clock;
    for (auto _ : state) {
        std::vector<std::uint64_t> late;
        std::thread sleeper([&] {
            Clock::time_point due = Clock::now();
            for (int i = 0; i < 100; ++i) {
                due += std::chrono::milliseconds(10);
                std::this_thread::sleep_until(due);
                late.push_back(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - due).count());
            }
        });
        sleeper.join();
        Report(state, late);
    }
}
BENCHMARK(BareSleeperAt10ms)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
