// Handlers: the application's work, registered in a scheduler under a
// 64-bit id and run as tasks.
#pragma once

#include <vor/core/export.h>

#include <vor/core/callback.h>
#include <vor/core/guard.h>

#include <cstdint>
#include <utility>

namespace Vor {
namespace Sched {

// Work registered in a scheduler under an id: runs each task dispatched to
// that id.
class VOR_API Handler : public Core::GlobalRef {
public:
    // The base of every parameter object that travels with a task. Always
    // passed as a Guard<Handler::Param>; an empty guard means no parameter.
    // Handlers that expect a particular kind recover it by dynamic_cast.
    class VOR_API Param : public Core::LocalRef {
    public:
        Param() = default;
        // A copy is a new object with one reference of its own.
        Param(Param const& other) : LocalRef(other) {}

    protected:
        ~Param() override = default;
    };

    Handler(Handler const& other) : GlobalRef(other) {}

    // The handler's own id, used by the one-argument Register and UnRegister
    // (widened to 64 bits with zero upper bits).
    virtual unsigned int GetID() = 0;
    // Does the work of one task. The scheduler ignores the result.
    virtual bool OnHandle(Core::Guard<Param> param) = 0;

    // A task (a CallBack taking and returning nothing) that calls OnHandle
    // with `param`. The task holds a reference on this handler and on the
    // parameter for as long as it exists, run or not: a task that is
    // refused or dropped gives both back. Empty when the handler is already
    // being destroyed or the task could not be built.
    Core::CallBack GetTask(Core::Guard<Param> param);

protected:
    // Counted, with the creator's one reference.
    Handler() = default;
    ~Handler() override = default;

private:
    friend class Scheduler;

    // What a task carries: the handler and its parameter. The instance kept
    // in the task owns one reference on the handler and gives it back when
    // the task goes, run or not. The copies a call makes for itself do not
    // own one: they live only while the caller holds the task, and a
    // counted copy would cost two registry operations on every run.
    class VOR_API Job {
    public:
        // Takes over a reference already taken on `handler`.
        Job(Handler* handler, Core::Guard<Param>&& param) : m_pHandler(handler), m_Param(std::move(param)), m_bOwner(true) {}
        Job(Job&& other) noexcept : m_pHandler(other.m_pHandler), m_Param(std::move(other.m_Param)), m_bOwner(other.m_bOwner)
        {
            other.m_bOwner = false;
        }
        Job(Job const& other) : m_pHandler(other.m_pHandler), m_Param(other.m_Param), m_bOwner(false) {}
        Job& operator=(Job const&) = delete;
        ~Job()
        {
            if (m_bOwner)
                m_pHandler->DecRef();
        }

        Handler* m_pHandler;
        Core::Guard<Param> m_Param;

    private:
        bool m_bOwner;
    };

    // The task around a reference already taken on `handler`; the reference
    // is given back at once when no task can be built.
    static Core::CallBack MakeTask(Handler* handler, Core::Guard<Param>&& param);
    // The same task as a pool job, without a callback object: `handler` and
    // `param` (null for none) each with one reference that the job owns.
    static void RunJob(void* handler, void* param);
    static void DropJob(void* handler, void* param);

    void HandleProc(Job job);
};

} // namespace Sched
} // namespace Vor
