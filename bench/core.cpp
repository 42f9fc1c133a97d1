// Counted handles and locks against their standard-library counterparts.
// Read each pair as a ratio: Guard/shared_ptr copies, GlobalRef counting
// against shared_ptr copies (1 and 2 threads on distinct objects), and
// mutex-kind Lock enter/leave against std::recursive_mutex.
#include <vor/core/guard.h>
#include <vor/core/lock.h>

#include <benchmark/benchmark.h>

#include <memory>
#include <mutex>
#include <thread>

using namespace Vor::Core;

namespace {

class Local : public LocalRef {};
// As large as the library's own counted objects (sockets, groups, engines
// are all larger than a cache line): two threads' objects never share a line.
class Global : public GlobalRef {
    char m_Payload[64] = {};
};

// A program that uses the library has started threads, and the standard
// library's counted pointers then count atomically; before any thread they
// do not, which would make the baseline a plain increment.
struct StartsAThread {
    StartsAThread() { std::thread([] {}).join(); }
} s_StartsAThread;

void SharedPtrCopy(benchmark::State& state)
{
    auto shared = std::make_shared<int>(1);
    for (auto _ : state) {
        std::shared_ptr<int> copy(shared);
        benchmark::DoNotOptimize(copy);
    }
}
BENCHMARK(SharedPtrCopy)->Threads(1)->Threads(2);

void GuardCopyLocalRef(benchmark::State& state)
{
    Local* object = new Local;
    Guard<Local> guard(object);
    object->DecRef();
    for (auto _ : state) {
        Guard<Local> copy(guard);
        benchmark::DoNotOptimize(copy);
    }
}
BENCHMARK(GuardCopyLocalRef);

// Each thread counts its own object, so the threads share no object and
// should share no lock either.
void GlobalRefIncDec(benchmark::State& state)
{
    Global* object = new Global;
    for (auto _ : state) {
        object->IncRef();
        object->DecRef();
    }
    object->DecRef();
}
BENCHMARK(GlobalRefIncDec)->Threads(1)->Threads(2);

void GuardCopyGlobalRef(benchmark::State& state)
{
    Global* object = new Global;
    Guard<Global> guard(object);
    object->DecRef();
    for (auto _ : state) {
        Guard<Global> copy(guard);
        benchmark::DoNotOptimize(copy);
    }
}
BENCHMARK(GuardCopyGlobalRef);

void StdRecursiveMutex(benchmark::State& state)
{
    std::recursive_mutex mutex;
    for (auto _ : state) {
        mutex.lock();
        mutex.unlock();
    }
}
BENCHMARK(StdRecursiveMutex);

void LockMutexEnterLeave(benchmark::State& state)
{
    Lock lock(Lock::MUTEX_LOCK);
    for (auto _ : state) {
        lock.Enter();
        lock.Leave();
    }
}
BENCHMARK(LockMutexEnterLeave);

// The scoped pattern every lock user follows: a local copy, enter, leave.
void LockMutexScopedCopy(benchmark::State& state)
{
    Lock shared(Lock::MUTEX_LOCK);
    for (auto _ : state) {
        Lock local(shared);
        local.Enter();
    }
}
BENCHMARK(LockMutexScopedCopy);

void LockReadWriteEnterRead(benchmark::State& state)
{
    Lock lock(Lock::READ_WRITE_LOCK);
    for (auto _ : state) {
        lock.EnterRead();
        lock.Leave();
    }
}
BENCHMARK(LockReadWriteEnterRead);

} // namespace

BENCHMARK_MAIN();
