// The baseline the pool benchmarks are read against: the plain pool anyone
// would write with the standard library (one mutex, one condition variable,
// a queue of std::function, notify_one per task), and the harness that
// pushes a batch of tasks from several producers and waits for the batch.
#pragma once

#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace VorBench {

class PlainPool {
public:
    explicit PlainPool(unsigned int threads)
    {
        for (unsigned int i = 0; i < threads; ++i)
            m_Workers.emplace_back([this] { Work(); });
    }

    ~PlainPool()
    {
        {
            std::lock_guard<std::mutex> hold(m_Lock);
            m_bRunning = false;
        }
        m_Wake.notify_all();
        for (auto& worker : m_Workers)
            worker.join();
    }

    bool AddTask(std::function<void()> task)
    {
        {
            std::lock_guard<std::mutex> hold(m_Lock);
            if (!m_bRunning)
                return false;
            m_Tasks.push_back(std::move(task));
        }
        m_Wake.notify_one();
        return true;
    }

private:
    void Work()
    {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock<std::mutex> hold(m_Lock);
                m_Wake.wait(hold, [this] { return !m_bRunning || !m_Tasks.empty(); });
                if (!m_bRunning)
                    return;
                task = std::move(m_Tasks.front());
                m_Tasks.pop_front();
            }
            task();
        }
    }

    std::mutex m_Lock;
    std::condition_variable m_Wake;
    std::deque<std::function<void()>> m_Tasks;
    bool m_bRunning = true;
    std::vector<std::thread> m_Workers;
};

// Tasks pushed per producer in one measured batch.
constexpr int BATCH = 20000;

// Each iteration pushes BATCH tasks from each of `producers` threads (the
// benchmark's own thread is one of them) through `add`, then waits until
// `done` has counted all of them. Reported as tasks per second.
template <class Add>
void RunBatches(benchmark::State& state, int producers, std::atomic<long>& done, Add add)
{
    long total = 0;
    for (auto _ : state) {
        long target = done.load() + static_cast<long>(producers) * BATCH;
        std::vector<std::thread> helpers;
        for (int p = 1; p < producers; ++p) {
            helpers.emplace_back([&] {
                for (int i = 0; i < BATCH; ++i)
                    add();
            });
        }
        for (int i = 0; i < BATCH; ++i)
            add();
        for (auto& helper : helpers)
            helper.join();
        while (done.load(std::memory_order_acquire) < target)
            std::this_thread::yield();
        total += static_cast<long>(producers) * BATCH;
    }
    state.SetItemsProcessed(total);
}

} // namespace VorBench
