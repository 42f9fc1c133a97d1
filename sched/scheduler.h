// Schedulers: the point where work reaches application code. Handlers are
// registered under 64-bit ids; Run(id, param) looks one up, asks it for a
// task and hands the task to the scheduler's execution policy:
//
//     StSched     a new thread per task
//     TpSched     a thread pool of its own (Init starts it)
//     LocalSched  at once, on the thread that called Run
//
//     Guard<Scheduler> sched = New<Scheduler, TpSched>(); // holds it alone
//     sched->Init(Scheduler::Param(4));
//     sched->Register(handler, 7);
//     sched->Run(7, param);                  // handler->OnHandle(param) on a pool thread
//     sched->UnInit(10000);
#pragma once

#include <vor/core/export.h>

#include <vor/basic/threadpool.h>
#include <vor/core/guard.h>
#include <vor/core/hashmap.h>
#include <vor/core/lock.h>
#include <vor/sched/handler.h>

#include <atomic>
#include <cstdint>

namespace Vor {
namespace Sched {

// Hands tasks to the handlers registered under their ids (see above).
class VOR_API Scheduler : public Core::GlobalRef {
public:
    // How a scheduler starts: the number of threads of a pool.
    class VOR_API Param {
    public:
        explicit Param(unsigned int threads = 10) : m_uThreads(threads) {}
        virtual ~Param() = default;
        Param(Param const&) = default;
        Param& operator=(Param const&) = default;

        // Worker threads TpSched::Init starts; the other schedulers ignore it.
        unsigned int m_uThreads;
    };

    // No-ops that return true, unless the policy needs starting (TpSched).
    virtual bool Init(Param const& param);
    virtual bool UnInit(unsigned int timeout);

    // Registers `handler` under `id`. When the id is taken, the entry stays
    // as it is and `handler` is not stored; the result is true either way.
    // An empty guard is stored like any other and Run treats its id as
    // unknown.
    virtual bool Register(Core::Guard<Handler> handler, std::uint64_t id);
    // Registers under the handler's GetID(). False for an empty guard.
    virtual bool Register(Core::Guard<Handler> handler);
    // Removes the handler's GetID(). False for an empty guard.
    virtual bool UnRegister(Core::Guard<Handler> handler);
    // Removes the id; true whether or not it was registered. Tasks already
    // created for it still run.
    virtual bool UnRegister(std::uint64_t id);

    // Runs the task of the handler registered under `id` with `param`
    // under the execution policy. False, with the line "Can not find
    // handler <id>, this should not happen" on standard error, for an
    // unknown id; false without a line when no task could be built or the
    // policy refused it.
    virtual bool Run(std::uint64_t id, Core::Guard<Handler::Param> param);

    // The handler registered under `id`; an empty guard for an unknown id
    // or an empty entry. Writes no line.
    Core::Guard<Handler> GetHandler(std::uint64_t id) const;
    // A number that changes with every change of the registry and that no
    // other scheduler ever has: what was found under an id at one version
    // is still there while the version stays.
    std::uint64_t GetVersion() const { return m_uVersion.load(std::memory_order_acquire); }
    // Runs the handler's task with `param` under the execution policy, as
    // this class's Run(id, param) does with the handler it found; takes
    // over one reference on `handler` (released whatever the result).
    bool RunHandler(Handler* handler, Core::Guard<Handler::Param> param);

protected:
    Scheduler();
    // Copies the registry (each handler is referenced once more) and shares
    // the source's lock.
    Scheduler(Scheduler const& other);
    ~Scheduler() override;

    // The execution policy. False when it refuses the task; an empty task
    // is always refused.
    virtual bool Run(Core::CallBack const& task) = 0;

private:
    using Registry = System::HashMap<std::uint64_t, Core::Guard<Handler>, 1>;

    // The handler under `id` with a reference taken for the caller; null
    // for an unknown id or an empty entry.
    Handler* Find(std::uint64_t id) const;

    // Guards the registry: Run holds it shared for the lookup only;
    // Register, UnRegister and destruction hold it exclusively. No handler
    // code runs under it, and no handler reference is dropped under it (the
    // last one ends the handler, whose destructor may call back in here).
    Core::Lock m_Lock;
    Registry m_Registry;
    // Taken from one process-wide count at construction and at every
    // change, under the lock, after the change.
    std::atomic<std::uint64_t> m_uVersion;
};

// A new thread for every task; the scheduler keeps no record of it.
class VOR_API StSched : public Scheduler {
public:
    StSched() = default;
    StSched(StSched const& other) = default;

    using Scheduler::Run;

protected:
    ~StSched() override = default;
    bool Run(Core::CallBack const& task) override;
};

// Every task is queued on the scheduler's own thread pool. Run succeeds
// between a successful Init and UnInit.
class VOR_API TpSched : public Scheduler {
public:
    TpSched() = default;
    // The copy has the source's handlers and a pool of its own, not yet
    // started: the source's workers are left alone.
    TpSched(TpSched const& other) : Scheduler(other) {}

    using Scheduler::Run;

    // Starts param.m_uThreads workers, waiting up to 10 s for each. False
    // for 0 workers: such a scheduler would accept tasks and never run them.
    bool Init(Param const& param) override;
    // Stops the pool; queued tasks are dropped (and give back their
    // references). Called from a task of this scheduler, it does not wait
    // for that task's own worker.
    bool UnInit(unsigned int timeout) override;

protected:
    // UnInit(10000), then the scheduler's own destruction.
    ~TpSched() override;
    bool Run(Core::CallBack const& task) override;

private:
    friend class Scheduler; // queues the tasks it builds itself by moving them in
    Basic::ThreadPool m_Pool;
};

// Every task runs at once on the thread that called Run, and Run returns
// when the handler's OnHandle has returned.
class VOR_API LocalSched : public Scheduler {
public:
    LocalSched() = default;
    LocalSched(LocalSched const& other) = default;

    using Scheduler::Run;

protected:
    ~LocalSched() override = default;
    bool Run(Core::CallBack const& task) override;
};

} // namespace Sched
} // namespace Vor
