// The idle checker of the readiness engines. Not part of the installed
// interface.
//
// One checker thread per kind of engine, started with the kind's first
// engine and stopped with its last, looks at every record in its list once
// per IdleCheckPeriod() and hands each to the kind's check, which counts it
// towards idleness and reports it when its time has come. Idle reports (and
// the application code behind them) therefore run on this thread, never on
// an engine's own: an OnIdle that blocks on a peer holds up other idle
// reports, not the traffic of the engine's sockets.
#pragma once

#include <vor/core/guard.h>
#include <vor/core/lock.h>
#include <vor/core/thread.h>
#include <vor/sched/select.h>

#include "sched/internal/selecthooks.h"

#include <cstdint>
#include <new>
#include <unordered_map>
#include <vector>

namespace Vor {
namespace Sched {
namespace Internal {

template <class Info>
class IdleChecker {
public:
    using Check = void (*)(Info& record);

    // Counts one more engine; the first starts the thread. False when the
    // thread could not be started (the engine is then not counted).
    static bool Start(Check check)
    {
        State& state = State::Get();
        Core::Lock local(state.control);
        local.Enter();
        if (++state.engines != 1)
            return true;
        Run* run = new (std::nothrow) Run;
        Core::Guard<Core::LocalRef> counted(run);
        if (run != nullptr) {
            run->DecRef();
            run->check = check;
        }
        Core::CallBack task;
        unsigned int thread = Core::Thread::INVALID_ID;
        if (counted.IsValid() && task.Bind(&IdleChecker::Proc, counted))
            thread = Core::Thread::Create(task);
        if (thread == Core::Thread::INVALID_ID) {
            --state.engines;
            return false;
        }
        state.thread = thread;
        state.run = counted;
        return true;
    }

    // Counts one engine less; the last stops the thread, killing it after
    // `timeout` ms. False when it had to be killed.
    static bool Stop(unsigned int timeout)
    {
        State& state = State::Get();
        Core::Guard<Core::LocalRef> run;
        unsigned int thread;
        {
            Core::Lock local(state.control);
            local.Enter();
            if (state.engines == 0 || --state.engines != 0)
                return true;
            run = std::move(state.run);
            thread = state.thread;
            state.thread = Core::Thread::INVALID_ID;
        }
        // Waited for outside the control lock: a report on the checker may
        // be starting an engine, which needs that lock.
        static_cast<Run*>(run.Raw())->stop.Set(1);
        if (thread == Core::Thread::GetID())
            return true; // called from an idle report: the thread ends after it
        if (Core::Thread::Wait(thread, timeout))
            return true;
        Core::Thread::Kill(thread);
        return false;
    }

    static unsigned int Engines()
    {
        State& state = State::Get();
        Core::Lock local(state.control);
        local.Enter();
        return state.engines;
    }

    static bool Add(Core::Guard<Info> const& record)
    {
        State& state = State::Get();
        Info* info = record.Raw();
        Core::Lock local(state.lock);
        local.Enter();
        return state.list.emplace(Key(info), Core::Guard<Info>(info)).second;
    }

    static void Remove(Info const* record)
    {
        State& state = State::Get();
        Core::Guard<Info> dropped; // released after the spin lock is left
        Core::Lock local(state.lock);
        local.Enter();
        auto found = state.list.find(Key(record));
        if (found != state.list.end()) {
            dropped = std::move(found->second);
            state.list.erase(found);
        }
    }

private:
    // One run of the checker thread. Each run has its own stop signal, so a
    // stop meant for one run can never be taken by the next.
    struct VOR_API Run : Core::LocalRef {
        Core::Signal stop;
        Check check = nullptr;
    };

    // Made once and never destroyed: threads may still reach it while the
    // process exits.
    struct VOR_API State {
        // Guards `list`; never held together with an engine lock.
        Core::Lock lock{Core::Lock::SPIN_LOCK};
        std::unordered_map<std::uintptr_t, Core::Guard<Info>> list;
        // Guards the engine count and the thread, so that the first
        // engine's start and the last engine's stop never interleave.
        Core::Lock control{Core::Lock::MUTEX_LOCK};
        unsigned int engines = 0;
        unsigned int thread = Core::Thread::INVALID_ID;
        Core::Guard<Core::LocalRef> run;

        static State& Get()
        {
            static State* state = new State;
            return *state;
        }
    };

    static std::uintptr_t Key(void const* record) { return reinterpret_cast<std::uintptr_t>(record); }

    // The checker works on a copy, so that the list's lock is held only
    // while copying.
    static void Proc(Core::Guard<Core::LocalRef> counted)
    {
        State& state = State::Get();
        Run* run = static_cast<Run*>(counted.Raw());
        std::vector<Core::Guard<Info>> copy;
        while (!run->stop.Wait(IdleCheckPeriod())) {
            {
                Core::Lock local(state.lock);
                local.Enter();
                copy.reserve(state.list.size());
                for (auto& entry : state.list)
                    copy.push_back(entry.second);
            }
            if (auto hook = g_BeforeIdleCheck.load())
                hook();
            for (auto& record : copy)
                run->check(*record);
            copy.clear();
        }
    }
};

} // namespace Internal
} // namespace Sched
} // namespace Vor
