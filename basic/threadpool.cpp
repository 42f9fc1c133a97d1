#include <vor/basic/threadpool.h>
#include <vor/core/thread.h>

#include "platform/mutex.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <new>
#include <set>
#include <utility>
#include <vector>

namespace Vor {
namespace Basic {

using Core::CallBack;
using Core::Guard;
using Core::Signal;
using Core::Thread;

namespace {

// Holds the pool's mutex for a scope. The pool keeps the platform's mutex
// itself rather than a Lock handle: a handle's copy would cost two atomic
// operations on the lock's shared count, which every producer and worker
// would bounce between them (measured: about a third of the pool's
// throughput), and entering one handle pays for its kind's dispatch and
// depth on every task.
class Hold {
public:
    explicit Hold(Platform::RecursiveMutex& lock) : m_Lock(lock) { m_Lock.Lock(); }
    ~Hold() { m_Lock.Unlock(); }
    Hold(Hold const&) = delete;
    Hold& operator=(Hold const&) = delete;

private:
    Platform::RecursiveMutex& m_Lock;
};

} // namespace

// One queued task: a callback, or a job (`run` not null), which goes to its
// `drop` when the entry goes without having run it.
class ThreadPool::Entry {
public:
    Entry() = default;
    explicit Entry(CallBack&& task) : m_Task(std::move(task)) {}
    explicit Entry(Job const& job) : m_Job(job) {}
    Entry(Entry&& other) noexcept : m_Task(std::move(other.m_Task)), m_Job(other.m_Job) { other.m_Job.run = nullptr; }
    Entry& operator=(Entry&&) = delete;
    Entry(Entry const&) = delete;
    Entry& operator=(Entry const&) = delete;
    ~Entry() { Drop(); }

    bool IsValid() const { return m_Job.run != nullptr || m_Task.IsValid(); }
    // Runs the task once. A job is taken out first, so that it is neither
    // dropped after its run nor dropped when its run unwinds.
    void Run()
    {
        if (m_Job.run == nullptr) {
            m_Task.CallBackV();
            return;
        }
        Job job = m_Job;
        m_Job.run = nullptr;
        job.run(job.first, job.second);
    }
    // The task as a callback: a job is carried by a box of its own.
    CallBack Take();

private:
    // A job in a callback: the callback's own copy of the box owns the
    // job, and drops it unless a call took it; every other copy (the one
    // a call is given) only points at it. Calls from several threads take
    // it once.
    class Box {
    public:
        explicit Box(Job const& job) : m_pHeld(new (std::nothrow) Held{job, {false}}), m_bOwner(true) {}
        Box(Box&& other) noexcept : m_pHeld(other.m_pHeld), m_bOwner(other.m_bOwner) { other.m_bOwner = false; }
        Box(Box const& other) : m_pHeld(other.m_pHeld), m_bOwner(false) {}
        Box& operator=(Box const&) = delete;
        ~Box()
        {
            if (!m_bOwner || m_pHeld == nullptr)
                return;
            Job const& job = m_pHeld->job;
            if (!m_pHeld->taken.load(std::memory_order_acquire) && job.drop != nullptr)
                job.drop(job.first, job.second);
            delete m_pHeld;
        }
        bool IsValid() const { return m_pHeld != nullptr; }
        // Leaves the job to whoever gave it: the box neither runs nor drops it.
        void Forget()
        {
            if (m_bOwner && m_pHeld != nullptr)
                m_pHeld->taken.store(true, std::memory_order_relaxed);
        }
        static void Run(Box box)
        {
            if (box.m_pHeld->taken.exchange(true, std::memory_order_acq_rel))
                return;
            Job const& job = box.m_pHeld->job;
            job.run(job.first, job.second);
        }

    private:
        struct Held {
            Job job;
            std::atomic<bool> taken;
        };
        Held* m_pHeld;
        bool m_bOwner;
    };

    void Drop()
    {
        Job job = m_Job;
        m_Job.run = nullptr;
        if (job.run != nullptr && job.drop != nullptr)
            job.drop(job.first, job.second);
    }

    CallBack m_Task;
    Job m_Job{}; // no job: all null
};

CallBack ThreadPool::Entry::Take()
{
    if (m_Job.run == nullptr)
        return std::move(m_Task);
    // Without room for the box or the callback the job stays here and is
    // dropped with the entry: the caller sees an empty task.
    Box box(m_Job);
    CallBack task;
    if (box.IsValid() && task.Bind(&Box::Run, std::move(box)))
        m_Job.run = nullptr; // the callback's box has it now
    else
        box.Forget();
    return task;
}

// The state the pool shares with its workers. The lock protects the queue,
// the thread set and the idle count; the running flag is written under it
// too, so that a task is either queued before UnInit empties the queue or
// refused after, never left behind in a stopped pool.
class ThreadPool::Shared : public Core::LocalRef {
public:
    // A blocking mutex rather than a spinning lock: the sections are a few
    // instructions, but with more runnable threads than cores a spinner
    // mostly waits for a holder that is not running (measured on two cores
    // with two producers and two workers: the spinning kind was slower).
    Shared() = default;

    Entry GetTask();
    void Work();
    // Queues a task or a job, which becomes an entry only once accepted:
    // a refused one is left with the caller.
    // With `owed`, a wake-up the task would post is counted there instead.
    template <class T>
    bool Push(T&& task, unsigned int* owed = nullptr)
    {
        bool wake = false;
        {
            Hold hold(m_Lock);
            if (!m_bRunning.load(std::memory_order_relaxed))
                return false;
            m_Tasks.emplace_back(std::forward<T>(task));
            if (m_uIdle > 0) {
                if (owed != nullptr) {
                    ++*owed;
                } else {
                    --m_uIdle;
                    ++m_uWoken;
                    wake = true;
                }
            }
        }
        if (wake)
            m_Signal.Set(1);
        return true;
    }

    std::atomic<bool> m_bRunning{false};
    // Workers that announced a wait on the signal and have not been counted
    // off by AddTask or UnInit. Every wake-up posted on the signal belongs
    // to one counted-off worker, so none is left over for a later start.
    unsigned int m_uIdle = 0;
    Signal m_Signal;
    // Wake-ups posted for queued tasks whose workers have not yet come
    // for a task: so many queued tasks are as good as taken.
    unsigned int m_uWoken = 0;
    // Backlog waits in progress, each woken once by the first worker that
    // finds the queue empty after it began, or by UnInit.
    unsigned int m_uBacklogWaits = 0;
    Signal m_Drained;
    mutable Platform::RecursiveMutex m_Lock;
    std::deque<Entry> m_Tasks;
    std::set<unsigned int> m_Threads;

private:
    ~Shared() override = default;
};

// What a starting worker needs: the state and the signal it reports its
// start on. Counted, because Init may give up waiting and return while a
// late worker has still to report.
class ThreadPool::StartUp : public Core::LocalRef {
public:
    explicit StartUp(Guard<Shared> const& shared) : m_Shared(shared) {}

    Guard<Shared> m_Shared;
    Signal m_Started;

private:
    ~StartUp() override = default;
};

ThreadPool::Entry ThreadPool::Shared::GetTask()
{
    // A worker without a task sleeps at once, without yielding the
    // processor a few times first: with the engine thread and the workers
    // on one core, each yield is a switch to a thread that has nothing to
    // give (measured on the echo service: the server's CPU per message fell
    // from 62 to 25 us at one connection).
    bool woken = false;
    for (;;) {
        unsigned int drained = 0;
        {
            Hold hold(m_Lock);
            if (woken && m_uWoken > 0)
                --m_uWoken; // the wake-up this worker came with
            woken = false;
            if (!m_bRunning.load(std::memory_order_relaxed))
                return Entry();
            if (!m_Tasks.empty()) {
                Entry task = std::move(m_Tasks.front());
                m_Tasks.pop_front();
                return task;
            }
            // Counted before the lock is left: a task queued between here
            // and the wait below still finds this worker idle and wakes it.
            ++m_uIdle;
            drained = m_uBacklogWaits;
            m_uBacklogWaits = 0;
        }
        if (drained > 0)
            m_Drained.Set(drained);
        // A wake-up does not reserve a task: another worker may take it
        // first, and this one looks again.
        if (!m_Signal.Wait(Signal::INFINITE_WAIT))
            return Entry();
        woken = true;
    }
}

void ThreadPool::Shared::Work()
{
    // Leaves the thread set also when the worker is killed and unwinds.
    struct Leave {
        Shared& m_Shared;
        unsigned int m_Id;
        ~Leave()
        {
            Hold hold(m_Shared.m_Lock);
            m_Shared.m_Threads.erase(m_Id);
        }
    } leave{*this, Thread::GetID()};

    // GetTask sees the running flag under the lock and gives an empty task
    // once the pool stops; the flag is not read here on every task, since
    // its line is the one every producer writes.
    for (;;) {
        Entry task = GetTask();
        if (task.IsValid())
            task.Run();
        else if (!m_bRunning.load(std::memory_order_acquire))
            break;
    }
}

unsigned int ThreadPool::ThreadProc(Guard<StartUp> start)
{
    Guard<Shared> shared = start->m_Shared;
    {
        // Listed before the start is reported: once Init has seen every
        // start, GetThreadCount and UnInit know every worker.
        Hold hold(shared->m_Lock);
        shared->m_Threads.insert(Thread::GetID());
    }
    start->m_Started.Set(1);
    start.Clear();
    shared->Work();
    return 0;
}

ThreadPool::ThreadPool()
{
    Shared* shared = new Shared;
    m_Shared = shared;
    shared->DecRef();
}

ThreadPool::~ThreadPool() { UnInit(10000); }

bool ThreadPool::Init(unsigned int threads, unsigned int timeout)
{
    StartUp* created = new (std::nothrow) StartUp(m_Shared);
    if (created == nullptr)
        return false;
    Guard<StartUp> start(created);
    created->DecRef();
    CallBack worker;
    if (!worker.Bind(&ThreadPool::ThreadProc, start))
        return false;

    {
        Hold hold(m_Shared->m_Lock);
        m_Shared->m_bRunning.store(true, std::memory_order_release);
    }
    for (unsigned int i = 0; i < threads; ++i) {
        if (Thread::Create(worker) == Thread::INVALID_ID)
            return false;
    }
    for (unsigned int i = 0; i < threads; ++i) {
        if (!start->m_Started.Wait(timeout))
            return false;
    }
    return true;
}

bool ThreadPool::UnInit(unsigned int timeout)
{
    Shared& shared = *m_Shared;
    std::deque<Entry> dropped;
    std::vector<unsigned int> ids;
    unsigned int idle = 0;
    unsigned int backlog = 0;
    {
        Hold hold(shared.m_Lock);
        shared.m_bRunning.store(false, std::memory_order_release);
        dropped.swap(shared.m_Tasks);
        idle = shared.m_uIdle;
        shared.m_uIdle = 0;
        backlog = shared.m_uBacklogWaits;
        shared.m_uBacklogWaits = 0;
        // A task stopping its own pool must not wait for its own worker:
        // that worker sees the flag and ends when the task returns.
        unsigned int self = Thread::GetID();
        for (unsigned int id : shared.m_Threads) {
            if (id != self)
                ids.push_back(id);
        }
    }
    // Dropped tasks are released (and dropped jobs given to their drop)
    // outside the lock: releasing one may end the life of whatever it
    // holds, and that may call back into the pool.
    dropped.clear();
    // Busy workers see the flag when their task returns; only the waiting
    // ones need a wake-up.
    if (idle > 0)
        shared.m_Signal.Set(idle);
    if (backlog > 0)
        shared.m_Drained.Set(backlog);
    if (ids.empty())
        return true;
    if (Thread::Wait(ids, timeout))
        return true;
    return Thread::Kill(ids);
}

// The copy is made before the lock is taken and, when refused, released
// after it is left.
bool ThreadPool::AddTask(CallBack const& task) { return AddTask(CallBack(task)); }

bool ThreadPool::AddTask(CallBack&& task) { return m_Shared->Push(std::move(task)); }

bool ThreadPool::AddJob(Job const& job) { return job.run != nullptr && m_Shared->Push(job); }

bool ThreadPool::AddJob(Job const& job, Backlog& backlog)
{
    if (job.run == nullptr)
        return false;
    backlog.Note(*this);
    return m_Shared->Push(job, &backlog.m_uOwed);
}

unsigned int ThreadPool::GetThreadCount() const
{
    Hold hold(m_Shared->m_Lock);
    return static_cast<unsigned int>(m_Shared->m_Threads.size());
}

CallBack ThreadPool::GetTask() { return m_Shared->GetTask().Take(); }

// ---------------------------------------------------------------- Backlog

ThreadPool::Backlog::Backlog() = default;

ThreadPool::Backlog::~Backlog() { Wake(); }

void ThreadPool::Backlog::Note(ThreadPool const& pool)
{
    // Taken only when it changes: a feeding thread notes its pool once per
    // task, and the count's line would otherwise be written each time.
    if (m_Shared.Raw() != pool.m_Shared.Raw()) {
        Wake(); // what the last pool is owed
        m_Shared = pool.m_Shared;
    }
}

void ThreadPool::Backlog::Wake()
{
    unsigned int owed = m_uOwed;
    m_uOwed = 0;
    Shared* shared = m_Shared.Raw();
    if (owed == 0 || shared == nullptr)
        return;
    unsigned int wake = 0;
    {
        Hold hold(shared->m_Lock);
        // A stopped pool has woken all its idle workers already. Tasks
        // taken meanwhile, by workers that came for a task of their own
        // accord, need no wake-up.
        if (!shared->m_bRunning.load(std::memory_order_relaxed))
            return;
        std::size_t queued = shared->m_Tasks.size();
        std::size_t waiting = queued > shared->m_uWoken ? queued - shared->m_uWoken : 0;
        wake = static_cast<unsigned int>(std::min<std::size_t>({owed, shared->m_uIdle, waiting}));
        shared->m_uIdle -= wake;
        shared->m_uWoken += wake;
    }
    if (wake > 0)
        shared->m_Signal.Set(wake);
}

bool ThreadPool::Backlog::Wait(unsigned int timeout)
{
    Wake();
    m_bRanOut = false;
    Shared* shared = m_Shared.Raw();
    if (shared == nullptr)
        return false;
    {
        Hold hold(shared->m_Lock);
        // Tasks that woken workers are about to take are no backlog.
        if (!shared->m_bRunning.load(std::memory_order_relaxed) || shared->m_Tasks.size() <= shared->m_uWoken)
            return false;
        ++shared->m_uBacklogWaits;
    }
    if (shared->m_Drained.Wait(timeout))
        return true;
    // Not counted off yet: no wake-up is on its way, and none must come.
    // Counted off already: its wake-up stays posted for the next wait.
    Hold hold(shared->m_Lock);
    if (shared->m_uBacklogWaits > 0)
        --shared->m_uBacklogWaits;
    m_bRanOut = shared->m_bRunning.load(std::memory_order_relaxed) && shared->m_Tasks.size() > shared->m_uWoken;
    return false;
}

void ThreadPool::Backlog::Clear()
{
    Wake();
    m_Shared.Clear();
}

} // namespace Basic
} // namespace Vor
