#include <vor/core/lock.h>
#include <vor/core/thread.h>

#include "core/internal/testhooks.h"
#include "platform/clock.h"
#include "platform/semaphore.h"
#include "platform/thread.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <new>

namespace Vor {
namespace Core {

constexpr unsigned int Thread::INVALID_ID;

namespace {

class VOR_NATIVE(Signal) : public SignalBase {
public:
    Platform::Semaphore m_Semaphore;
};

class VOR_NATIVE(NamedSignal) : public SignalBase {
public:
    explicit VOR_NATIVE(NamedSignal)(char const* name) : m_Semaphore(name) {}
    Platform::NamedSemaphore m_Semaphore;
};

// The registry of running threads: id -> native handle and the semaphores
// of the threads waiting for it. An entry exists from before Create returns
// until the thread's task has returned (or it was cancelled).
struct Entry {
    Platform::ThreadHandle m_Handle = 0;
    std::vector<Platform::Semaphore*> m_Waiters;
    bool m_bCancelled = false;
};

struct Registry {
    Lock m_Lock{Lock::SPIN_LOCK};
    std::map<unsigned int, Entry> m_Threads;
};

// Never destroyed: detached threads may still end while the process exits.
Registry& TheRegistry()
{
    static Registry* s_pRegistry = new Registry;
    return *s_pRegistry;
}

// What the creator hands the new thread. Both hold it, and the one that
// lets go last frees it: a creator killed while it waits for the start
// report must not leave the new thread writing into its dead stack.
struct StartBlock {
    CallBack m_Task;
    Platform::Semaphore m_Started;
    unsigned int m_Id = Thread::INVALID_ID;
    std::atomic<int> m_iHolders{2};

    void Release()
    {
        if (m_iHolders.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete this;
    }
};

// The creator's hold on the block, let go also when it unwinds.
struct StartHold {
    StartBlock* m_pBlock;
    ~StartHold() { m_pBlock->Release(); }
};

// Removes the thread's entry and wakes its waiters. It runs when the task
// returns and also when the thread is cancelled and unwinds. Waiters are
// woken before the lock is released: a waiter's semaphore lives until the
// waiter has looked at the registry again under the same lock.
struct ExitStep {
    unsigned int m_Id;
    ~ExitStep()
    {
        Registry& registry = TheRegistry();
        Lock local(registry.m_Lock);
        local.Enter();
        auto found = registry.m_Threads.find(m_Id);
        if (found == registry.m_Threads.end())
            return;
        for (Platform::Semaphore* waiter : found->second.m_Waiters)
            waiter->Post(1);
        registry.m_Threads.erase(found);
    }
};

void RunThread(void* arg)
{
    StartBlock* block = static_cast<StartBlock*>(arg);
    CallBack task = block->m_Task;
    block->m_Task.Clear(); // whoever frees the block, the task's bindings stay with this thread
    unsigned int id = Platform::CurrentThreadId();
    {
        Registry& registry = TheRegistry();
        Lock local(registry.m_Lock);
        local.Enter();
        Entry& entry = registry.m_Threads[id];
        entry = Entry();
        entry.m_Handle = Platform::CurrentThread();
    }
    if (Internal::ThreadStartHook hook = Internal::g_ThreadStarting.load())
        hook();
    block->m_Id = id;
    block->m_Started.Post(1);
    block->Release();

    ExitStep exit{id};
    if (!task.CallBackV()) {
        unsigned int code = 0;
        task.CallBackR(code);
    }
    task.Clear();
}

// A waiter's semaphore listed in the entries of the threads it waits for.
// The semaphore lives on the waiter's stack, so the listing ends with the
// scope, also when the waiter is killed inside the wait: an exit step must
// never post into a stack that is gone.
class WaitScope {
public:
    WaitScope(Registry& registry, std::vector<unsigned int>& ids) : m_Registry(registry), m_Ids(ids)
    {
        Lock local(m_Registry.m_Lock);
        local.Enter();
        for (unsigned int id : m_Ids) {
            auto found = m_Registry.m_Threads.find(id);
            if (found != m_Registry.m_Threads.end()) {
                found->second.m_Waiters.push_back(&m_Waiter);
                ++m_uCounted;
            }
        }
    }
    WaitScope(WaitScope const&) = delete;
    WaitScope& operator=(WaitScope const&) = delete;
    ~WaitScope() { Finish(); }

    Platform::Semaphore& Waiter() { return m_Waiter; }
    // The threads it was listed with.
    unsigned int Counted() const { return m_uCounted; }

    // Removes the ended threads from the ids and withdraws this waiter from
    // the others, never another waiter's listing.
    void Finish()
    {
        if (m_bFinished)
            return;
        Lock local(m_Registry.m_Lock);
        local.Enter();
        auto running = [this](unsigned int id) {
            auto found = m_Registry.m_Threads.find(id);
            if (found == m_Registry.m_Threads.end())
                return false;
            auto& waiters = found->second.m_Waiters;
            waiters.erase(std::remove(waiters.begin(), waiters.end(), &m_Waiter), waiters.end());
            return true;
        };
        m_Ids.erase(std::remove_if(m_Ids.begin(), m_Ids.end(), [&](unsigned int id) { return !running(id); }),
                    m_Ids.end());
        m_bFinished = true;
    }

private:
    Registry& m_Registry;
    std::vector<unsigned int>& m_Ids;
    Platform::Semaphore m_Waiter;
    unsigned int m_uCounted = 0;
    bool m_bFinished = false;
};

// Waits on `waiter` for `count` wake-ups within timeout ms.
void WaitFor(Platform::Semaphore& waiter, unsigned int count, unsigned int timeout)
{
    std::uint64_t deadline = Platform::MonotonicMs() + timeout;
    for (unsigned int i = 0; i < count; ++i) {
        std::uint32_t remaining = Platform::kInfinite;
        if (timeout != Signal::INFINITE_WAIT) {
            std::uint64_t now = Platform::MonotonicMs();
            remaining = now >= deadline ? 0 : static_cast<std::uint32_t>(deadline - now);
        }
        if (!waiter.Wait(remaining))
            return;
    }
}

} // namespace

namespace Internal {
std::atomic<ThreadStartHook> g_ThreadStarting{nullptr};
} // namespace Internal

Signal::Signal() : m_pImpl(new VOR_NATIVE(Signal)) {}

Signal::Signal(char const* name) : m_pImpl(nullptr)
{
    VOR_NATIVE(NamedSignal)* impl = new VOR_NATIVE(NamedSignal)(name);
    if (impl->m_Semaphore.IsValid())
        m_pImpl = impl;
    else
        delete impl;
}

Signal::~Signal() { delete m_pImpl; }

bool Signal::Set(unsigned int count)
{
    if (auto impl = dynamic_cast<VOR_NATIVE(Signal)*>(m_pImpl))
        return impl->m_Semaphore.Post(count);
    if (auto impl = dynamic_cast<VOR_NATIVE(NamedSignal)*>(m_pImpl))
        return impl->m_Semaphore.Post(count);
    return false;
}

bool Signal::Wait(unsigned int timeout)
{
    if (auto impl = dynamic_cast<VOR_NATIVE(Signal)*>(m_pImpl))
        return impl->m_Semaphore.Wait(timeout);
    if (auto impl = dynamic_cast<VOR_NATIVE(NamedSignal)*>(m_pImpl))
        return impl->m_Semaphore.Wait(timeout);
    return false;
}

unsigned int Thread::Create(CallBack const& task)
{
    StartBlock* block = new (std::nothrow) StartBlock;
    if (block == nullptr)
        return INVALID_ID;
    block->m_Task = task;
    if (!Platform::StartThread(&RunThread, block, nullptr)) {
        delete block;
        return INVALID_ID;
    }
    StartHold hold{block};
    block->m_Started.Wait(Platform::kInfinite);
    return block->m_Id;
}

unsigned int Thread::GetID() { return Platform::CurrentThreadId(); }

bool Thread::Wait(unsigned int id, unsigned int timeout)
{
    std::vector<unsigned int> ids(1, id);
    return Wait(ids, timeout);
}

bool Thread::Wait(std::vector<unsigned int>& ids, unsigned int timeout)
{
    if (ids.empty())
        return true;
    WaitScope scope(TheRegistry(), ids);
    WaitFor(scope.Waiter(), scope.Counted(), timeout);
    scope.Finish();
    return ids.empty();
}

bool Thread::Kill(unsigned int id)
{
    std::vector<unsigned int> ids(1, id);
    return Kill(ids);
}

bool Thread::Kill(std::vector<unsigned int>& ids)
{
    if (ids.empty())
        return true;
    Registry& registry = TheRegistry();
    {
        // The entry is erased by the thread itself, under this lock, before
        // it finishes: while the entry exists its handle is a live thread.
        Lock local(registry.m_Lock);
        local.Enter();
        for (unsigned int id : ids) {
            auto found = registry.m_Threads.find(id);
            if (found == registry.m_Threads.end() || found->second.m_bCancelled)
                continue;
            if (Platform::CurrentThreadId() == id)
                continue; // a thread does not cancel itself from here
            found->second.m_bCancelled = Platform::CancelThread(found->second.m_Handle);
            if (found->second.m_bCancelled && !Platform::KillUnwinds()) {
                // The thread was stopped where it stood and will not run its
                // exit step: take it out of the registry here.
                for (Platform::Semaphore* waiter : found->second.m_Waiters)
                    waiter->Post(1);
                registry.m_Threads.erase(found);
            }
        }
    }
    // A cancelled thread unwinds at its next blocking call and leaves the
    // registry through its normal exit step.
    static constexpr unsigned int KILL_WAIT_MS = 1000;
    return Wait(ids, KILL_WAIT_MS);
}

unsigned int Thread::GetCount()
{
    Registry& registry = TheRegistry();
    Lock local(registry.m_Lock);
    local.Enter();
    return static_cast<unsigned int>(registry.m_Threads.size());
}

} // namespace Core
} // namespace Vor
