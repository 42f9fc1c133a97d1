// Fixtures for tests of the socket groups: the schedulers and engines they
// run over, an application event whose answers a test scripts and whose
// calls it records, a running group, and plain loopback peers to talk to it.
#pragma once

#include <vor/core/thread.h>
#include <vor/sched/acceptgroup.h>
#include <vor/sched/connectgroup.h>
#if VOR_TEST_HAVE_EPOLL
#include <vor/sched/epoll.h>
#endif
#include <vor/sched/udpgroup.h>

#include "support/capture.h"
#include "support/net.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace VorTest {

enum class SchedKind { Tp, Local, St };
enum class EngineKind { Select, Epoll };

// What a group test runs over.
struct GroupCase {
    SchedKind sched;
    EngineKind engine;
};
// Every scheduler over both engines.
std::vector<GroupCase> AllGroupCases();
// LocalSched over both engines, for tests the scheduler does not change.
std::vector<GroupCase> EngineCases();
// "TpSched_Select", "LocalSched_Epoll", ...
std::string GroupCaseName(::testing::TestParamInfo<GroupCase> const& info);
class GroupTest : public ::testing::TestWithParam<GroupCase> {};

// Initialised: a TpSched with 4 workers; a notify without idle reports.
Vor::Core::Guard<Vor::Sched::Scheduler> MakeScheduler(SchedKind kind);
Vor::Core::Guard<Vor::Sched::Notify> MakeNotify(EngineKind kind);

// An event whose answers the test sets and whose calls it records. Reads
// never block (an urgent byte alone can look readable); what is read goes
// back to the sender through GetDevice, except a read that ends with "bye",
// which closes.
class ScriptedEvent : public Vor::Sched::IoEvent {
public:
    bool OnOpen(Vor::Io::IoBase& handle) override;
    bool OnIdle(Vor::Io::IoBase& handle) override;
    bool OnRead(Vor::Io::ReadHandle& handle) override;
    bool OnWrite(Vor::Io::WriteHandle& handle) override { return Note("write", handle); }
    bool OnError(Vor::Io::IoBase& handle) override { return Note("error", handle); }
    bool OnClose(Vor::Io::IoBase& handle) override;
    Vor::Io::WriteHandle Device(Vor::Io::IoBase const& handle) const { return GetDevice(handle); }

    // What happened, in order: "open 1", "read 1", "error 1", "close 1"...,
    // objects numbered in the order they were first seen.
    std::vector<std::string> Log() const;
    // Calls of a kind ("close"), or of a kind for one object ("close 2").
    unsigned int Count(std::string const& kind) const;

    std::atomic<int> refuseOpens{0}; // refuse this many opens first
    std::atomic<bool> echo{true}, reopen{false};
    // Run at the start of the callback (set before the group starts).
    std::function<void(Vor::Io::IoBase&)> openHook, idleHook, readHook, closeHook;

private:
    bool Note(std::string const& kind, Vor::Io::IoBase const& handle); // true

    mutable std::mutex m_Lock;
    std::vector<std::string> m_Log;
    std::vector<Vor::Core::Guard<Vor::Io::IoObject>> m_Seen; // numbers stay unique
};

// A group with its scheduler and notify (each made for the case unless given) and
// event, initialised with a SocketGroup::Param (connections and interval
// for connect groups, whose events do not echo; a queue limit for groups
// that queue writes). The destructor
// uninitialises group and scheduler.
template <class G>
struct RunningGroup {
    RunningGroup(GroupCase run, G* made, unsigned int connections = 0, unsigned int interval = 0,
                 Vor::Core::Guard<Vor::Sched::Notify> given = Vor::Core::Guard<Vor::Sched::Notify>(),
                 unsigned int queueLimit = 0,
                 Vor::Core::Guard<Vor::Sched::Scheduler> givenScheduler = Vor::Core::Guard<Vor::Sched::Scheduler>())
        : scheduler(givenScheduler.IsValid() ? givenScheduler : MakeScheduler(run.sched)),
          notify(given.IsValid() ? given : MakeNotify(run.engine)),
          event(Vor::Core::New<ScriptedEvent>()), group(Vor::Core::Guard<G>::Adopt(made)),
          param(scheduler, notify, Vor::Core::Guard<Vor::Sched::IoEvent>(event.Raw()), connections, interval,
                queueLimit),
          initialised(group->Init(param))
    {
        event->echo = connections == 0; // a connect group's peer echoes: its clients only read
    }
    ~RunningGroup() { Stop(); }
    void Stop()
    {
        group->UnInit(5000);
        scheduler->UnInit(5000);
    }
    // Creates the group for 127.0.0.1:at, or a free port.
    bool Start(std::uint16_t at = 0)
    {
        port = at != 0 ? at : FreeLoopbackPort();
        return initialised && group->Create(Vor::Io::Socket::Address("127.0.0.1", port));
    }

    Vor::Core::Guard<Vor::Sched::Scheduler> scheduler;
    Vor::Core::Guard<Vor::Sched::Notify> notify;
    Vor::Core::Guard<ScriptedEvent> event;
    Vor::Core::Guard<G> group;
    Vor::Sched::SocketGroup::Param param;
    bool initialised;
    std::uint16_t port = 0;
};

// A plain loopback socket (TCP or UDP) for talking to a group. Every wait
// is bounded by 5 s, so a group that never answers fails the test.
class Peer {
public:
    explicit Peer(bool tcp = true);
    ~Peer();

    bool Connect(std::uint16_t port);
    // All bytes; a UDP peer sends one datagram to port `to`.
    bool Send(std::string const& bytes, int flags = 0, std::uint16_t to = 0);
    // TCP: n bytes, or what came before the end, an error or the bound.
    // UDP (with `from`): one datagram, its sender's port to *from.
    std::string Receive(std::size_t n, std::uint16_t* from = nullptr);
    // The other end closes (or resets) within the bound.
    bool WaitClosed();

private:
    Vor::Platform::SocketHandle m_uSocket;
};

} // namespace VorTest
