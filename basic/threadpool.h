// A fixed set of worker threads running queued callbacks.
//
//     ThreadPool pool;
//     pool.Init(4, 10000);          // four workers, each started within 10 s
//     pool.AddTask(task);           // task: a CallBack taking and returning nothing
//     pool.UnInit(10000);           // queued tasks are dropped, workers stopped
#pragma once

#include <vor/core/export.h>

#include <vor/core/callback.h>
#include <vor/core/guard.h>

namespace Vor {
namespace Basic {

// Tasks are taken oldest first by whichever worker is free; idle workers
// sleep on one shared signal and are woken once per task, only when one of
// them is idle.
//
// The queue, the running flag and the bookkeeping of the workers live in a
// counted state that every worker holds as well as the pool. A worker that
// could not be stopped in time, or a task that destroys its own pool, never
// touches freed memory: the state goes with the last of them.
class VOR_API ThreadPool {
public:
    ThreadPool();
    // UnInit(10000), then releases the pool's share of the state.
    virtual ~ThreadPool();
    ThreadPool(ThreadPool const&) = delete;
    ThreadPool& operator=(ThreadPool const&) = delete;

    // Starts `threads` workers and waits up to `timeout` ms for each to
    // report that it runs. False when a thread could not be started or did
    // not report in time; the pool then runs with those that did start,
    // and UnInit stops them. Init(0, ...) only opens the queue.
    bool Init(unsigned int threads, unsigned int timeout);
    // Closes the queue, drops the tasks still queued (unrun) and waits up
    // to `timeout` ms for the workers to end; those that do not are killed
    // as a last resort. False only when some worker could not be stopped.
    // Called from a task, it does not wait for its own worker, which ends
    // when the task returns.
    bool UnInit(unsigned int timeout);
    // Queues a task. False when the pool is not running: a task is either
    // refused here, or queued before UnInit closed the queue.
    bool AddTask(Core::CallBack const& task);
    // The same for a task the caller gives up: it is moved into the queue,
    // and left with the caller when refused.
    bool AddTask(Core::CallBack&& task);

    // A task without a callback object, for callers that queue one per
    // message: a worker calls `run(first, second)`, and a job dropped
    // unrun (by UnInit) is given to `drop(first, second)` instead, when
    // `drop` is not null. Whichever is called owns what the two pointers
    // stand for.
    struct Job {
        void (*run)(void* first, void* second);
        void (*drop)(void* first, void* second);
        void* first;
        void* second;
    };
    // Queues a job (`run` must not be null). False when the pool is not
    // running or `run` is null: the job is then neither run nor dropped,
    // and stays the caller's.
    bool AddJob(Job const& job);
    class Backlog;
    // Queues a job as AddJob(job) does, but leaves the wake-up of an idle
    // worker for it to `backlog`, which posts the wake-ups it has collected
    // at its next Wake, Wait or Clear (and notes the pool, as Note does). A
    // thread that queues several jobs in a row so wakes the workers once,
    // after the last, instead of each woken worker taking the processor
    // from it before it has queued the next. Until then a worker that is
    // about to look for a task still finds the job, and so does one woken
    // for another producer's task.
    bool AddJob(Job const& job, Backlog& backlog);
    // The number of workers running.
    unsigned int GetThreadCount() const;

private:
    class Shared;

public:
    // For a thread that feeds the pool from a wait of its own, as a
    // readiness engine's thread does: before its next wait it waits here
    // while the tasks it queued are still queued behind busy workers. What
    // arrives meanwhile is collected by that next wait in one go, instead
    // of each arrival waking the feeding thread, which on a busy processor
    // takes it from the worker that runs the queue. Tasks queued behind
    // busy workers would start no sooner for being queued earlier. One
    // thread uses a backlog; it keeps the last pool's state, not the pool.
    class VOR_API Backlog {
    public:
        Backlog();
        ~Backlog();
        Backlog(Backlog const&) = delete;
        Backlog& operator=(Backlog const&) = delete;

        // The pool the thread has just queued to.
        void Note(ThreadPool const& pool);
        // While that pool runs and has more tasks queued than the workers
        // woken for them are about to take, waits until one of its workers
        // finds the queue empty or the pool stops, at most `timeout` ms.
        // False at once when there is nothing to wait for, and after a
        // time-out. A wake-up that comes just after a time-out ends the
        // next wait early.
        bool Wait(unsigned int timeout);
        // Whether the last Wait ran out its time with tasks still queued
        // behind busy workers, which the thread's next wait then finds
        // waiting for their turn.
        bool RanOut() const { return m_bRanOut; }
        // Posts the wake-ups that jobs queued through AddJob(job, *this)
        // left here: one for each such job still queued that no woken
        // worker is about to take, as far as workers are idle.
        void Wake();
        // Wakes, and lets go of the pool's state.
        void Clear();

    private:
        friend class ThreadPool;

        Core::Guard<Shared> m_Shared;
        unsigned int m_uOwed = 0; // wake-ups held back for m_Shared's workers
        bool m_bRanOut = false;
    };

protected:
    // The next task, waiting while the queue is empty; an empty callback
    // once the pool stops. A job comes as a callback that runs it (and
    // drops it when the callback goes unrun).
    Core::CallBack GetTask();

private:
    class Entry;
    class StartUp;

    // The worker loop; `start` carries the state and the start-up signal.
    static unsigned int ThreadProc(Core::Guard<StartUp> start);

    Core::Guard<Shared> m_Shared;
};

} // namespace Basic
} // namespace Vor
