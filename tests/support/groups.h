// Fixtures for tests of the socket groups: schedulers of each kind, an
// application event whose behaviour a test scripts and whose calls it
// records, and a running group with its scheduler and notify.
#pragma once

#include <vor/core/guard.h>
#include <vor/io/iobase.h>
#include <vor/sched/event.h>
#include <vor/sched/notify.h>
#include <vor/sched/scheduler.h>
#include <vor/sched/select.h>
#include <vor/sched/socketgroup.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace VorTest {

enum class SchedKind { Tp, Local, St };

// "TpSched", "LocalSched", "StSched".
std::string SchedName(SchedKind kind);
// A scheduler of the kind, initialised (a TpSched with 4 workers).
Vor::Core::Guard<Vor::Sched::Scheduler> MakeScheduler(SchedKind kind);

template <class T>
Vor::Core::Guard<T> Adopt(T* object)
{
    Vor::Core::Guard<T> guard(object);
    object->DecRef();
    return guard;
}

// An event whose answers the test sets and whose calls it records. Reads
// never block (an urgent byte alone can look readable); by default what is
// read is echoed through GetDevice to the sender.
class ScriptedEvent : public Vor::Sched::IoEvent {
public:
    bool OnOpen(Vor::Io::IoBase& handle) override;
    bool OnIdle(Vor::Io::IoBase& handle) override;
    bool OnRead(Vor::Io::ReadHandle& handle) override;
    bool OnWrite(Vor::Io::WriteHandle& handle) override;
    bool OnError(Vor::Io::IoBase& handle) override;
    bool OnClose(Vor::Io::IoBase& handle) override;

    // The answer device of a handle, as the application gets it.
    Vor::Io::WriteHandle Device(Vor::Io::IoBase const& handle) const { return GetDevice(handle); }

    // What happened, in order: "open 1", "read 1", "error 1", "close 1"...
    // numbered by object in the order they were first seen.
    std::vector<std::string> Log() const;
    // Calls of one kind ("open", "read", "error", "close", "idle").
    unsigned int Count(std::string const& kind) const;
    // True when every object that was opened was closed exactly once (and
    // nothing was closed that was not opened).
    bool Balanced() const;
    // The handles opened so far, in order.
    std::vector<Vor::Io::IoHandle> Opened() const;

    // Scripted answers.
    std::atomic<int> refuseOpens{0}; // refuse this many opens first
    std::atomic<bool> echo{true};
    std::atomic<bool> closeOnRead{false};
    std::atomic<bool> reopen{false};
    std::atomic<bool> keepIdle{true};
    // Called at the start of OnOpen / OnRead / OnClose, when set (set them
    // before the group starts).
    std::function<void(Vor::Io::IoBase&)> openHook;
    std::function<void(Vor::Io::IoBase&)> readHook;
    std::function<void(Vor::Io::IoBase&)> closeHook;

private:
    void Note(std::string const& kind, Vor::Io::IoBase const& handle);

    mutable std::mutex m_Lock;
    std::vector<std::string> m_Log;
    std::map<Vor::Io::IoObject const*, unsigned int> m_Numbers;
    std::vector<Vor::Core::Guard<Vor::Io::IoObject>> m_Keep; // numbers stay unique
    std::vector<Vor::Io::IoHandle> m_Opened;
};

// A group with its scheduler, notify and event, initialised (not yet
// created). The destructor uninitialises group and scheduler.
template <class G>
struct RunningGroup {
    RunningGroup(SchedKind kind, G* group, Vor::Sched::IoTrigger::Param* param = nullptr)
        : scheduler(MakeScheduler(kind)), notify(MakeSelectNotify()),
          event(Adopt(new ScriptedEvent)), group(Adopt(group))
    {
        Vor::Sched::IoTrigger::Param plain(scheduler, notify, Vor::Core::Guard<Vor::Sched::IoEvent>(event.Raw()));
        if (param != nullptr) {
            param->m_Scheduler = scheduler;
            param->m_Notify = notify;
            param->m_Event = Vor::Core::Guard<Vor::Sched::IoEvent>(event.Raw());
        }
        initialised = this->group->Init(param != nullptr ? *param : plain);
    }
    ~RunningGroup() { Stop(); }
    void Stop()
    {
        if (group.IsValid())
            group->UnInit(5000);
        if (scheduler.IsValid())
            scheduler->UnInit(5000);
        group.Clear();
        scheduler.Clear();
    }
    static Vor::Core::Guard<Vor::Sched::Notify> MakeSelectNotify();

    Vor::Core::Guard<Vor::Sched::Scheduler> scheduler;
    Vor::Core::Guard<Vor::Sched::Notify> notify;
    Vor::Core::Guard<ScriptedEvent> event;
    Vor::Core::Guard<G> group;
    bool initialised = false;
};

template <class G>
Vor::Core::Guard<Vor::Sched::Notify> RunningGroup<G>::MakeSelectNotify()
{
    auto notify = Adopt(new Vor::Sched::SelectNotify);
    notify->Init(Vor::Sched::Notify::Param());
    return Vor::Core::Guard<Vor::Sched::Notify>(notify.Raw());
}

} // namespace VorTest
