#include <vor/sched/connectgroup.h>

#include <vor/basic/basic.h>
#include <vor/core/thread.h>
#include <vor/io/socket.h>
#include <vor/system/system.h>

#include "core/internal/diag.h"
#include "platform/error.h"
#include "platform/thread.h"

#include <algorithm>
#include <atomic>
#include <new>

namespace Vor {
namespace Sched {

using Core::Guard;
using Core::Lock;
using Core::Thread;
using Core::Internal::Report;
using Core::Internal::ReportLine;

namespace {

// Drives the turn-taking of GetSocket across every connect group.
std::atomic<unsigned int> s_uTurn(0);

} // namespace

// One run of the connect thread. The group keeps the run that is wanted
// now; the thread holds its own, and a reference on the group.
class ConnectGroup::Run : public Core::LocalRef {
public:
    explicit Run(ConnectGroup* group) : group(group) {}

    Guard<ConnectGroup> group;
    // Cuts the pause after a failed attempt short.
    Core::Signal wake;
    // The socket of the attempt in progress, under the group's lock: UnInit
    // closes it, which ends a connect waiting for its handshake at once.
    Io::IoHandle connecting;

protected:
    ~Run() override = default;
};

ConnectGroup::ConnectGroup(Type type) : TcpGroup(type), m_uThread(Thread::INVALID_ID) {}

ConnectGroup::ConnectGroup(ConnectGroup const& other) : TcpGroup(other), m_uThread(Thread::INVALID_ID)
{
    Lock local(other.m_Lock);
    local.EnterRead();
    m_uConnections = other.m_uConnections;
    m_uInterval = other.m_uInterval;
}

ConnectGroup::~ConnectGroup() = default;

bool ConnectGroup::Init(Trigger::Param& param)
{
    SocketGroup::Param* groupParam = dynamic_cast<SocketGroup::Param*>(&param);
    if (groupParam == nullptr) {
        ReportLine("Init connect group param error");
        return false;
    }
    {
        Lock local(m_Lock);
        local.Enter();
        m_uConnections = groupParam->m_uConnections;
        m_uInterval = groupParam->m_uInterval;
    }
    if (!TcpGroup::Init(param))
        return false;
    Lock local(m_Lock);
    local.Enter();
    m_bActive = true;
    return true;
}

bool ConnectGroup::UnInit(unsigned int timeout)
{
    Guard<Core::LocalRef> run;
    std::vector<Io::IoHandle> list;
    Io::IoHandle connecting;
    unsigned int thread;
    {
        Lock local(m_Lock);
        local.Enter();
        m_bActive = false;
        std::swap(run, m_Run);
        if (run.IsValid())
            std::swap(connecting, static_cast<Run*>(run.Raw())->connecting);
        thread = m_uThread;
        m_uThread = Thread::INVALID_ID;
        list.swap(m_List);
    }
    // A peer that drops handshakes would hold the connect for its whole
    // time-out: closing the socket ends it now, and the kill stays the last
    // resort.
    connecting.Close();
    // The thread is waited for outside the lock: it needs the lock to see
    // that its run has ended.
    if (run.IsValid()) {
        static_cast<Run*>(run.Raw())->wake.Set(1);
        if (thread != Thread::INVALID_ID && thread != Thread::GetID() && !Thread::Wait(thread, timeout))
            Thread::Kill(thread);
    }
    list.clear();
    return TcpGroup::UnInit(timeout);
}

Io::IoHandle ConnectGroup::GetSocket() const
{
    unsigned int turn = ++s_uTurn;
    {
        Lock local(m_Lock);
        local.EnterRead();
        if (!m_List.empty())
            return m_List[turn % m_List.size()];
    }
    ReportLine("There are no valid socket in connect group");
    return Io::IoHandle();
}

unsigned int ConnectGroup::GetCount() const
{
    Lock local(m_Lock);
    local.EnterRead();
    return static_cast<unsigned int>(m_List.size());
}

unsigned int ConnectGroup::GetThread() const
{
    Lock local(m_Lock);
    local.EnterRead();
    return m_uThread;
}

bool ConnectGroup::CreateGroup()
{
    Run* made = nullptr;
    Guard<Core::LocalRef> run;
    {
        Lock local(m_Lock);
        local.Enter();
        if (!m_bActive)
            return false;
        // A run is wanted already: its thread runs or is being started.
        if (m_Run.IsValid())
            return true;
        made = new (std::nothrow) Run(this);
        if (made == nullptr)
            return false;
        run = Guard<Core::LocalRef>(made);
        made->DecRef();
        // Current before the thread starts: the thread never has to wait
        // for its id to be stored to know it is wanted.
        m_Run = run;
    }
    Core::CallBack task;
    unsigned int thread = Thread::INVALID_ID;
    if (task.Bind(&ConnectGroup::ConnectMain, run))
        thread = Thread::Create(task);
    Lock local(m_Lock);
    local.Enter();
    if (m_Run == run) {
        if (thread != Thread::INVALID_ID)
            m_uThread = thread;
        else
            m_Run.Clear();
    }
    return thread != Thread::INVALID_ID;
}

bool ConnectGroup::IsCurrent(Run const& run) const
{
    Lock local(m_Lock);
    local.EnterRead();
    return m_Run.Raw() == &run;
}

void ConnectGroup::ConnectMain(Guard<Core::LocalRef> run)
{
    Run* self = static_cast<Run*>(run.Raw());
    self->group->ConnectProc(*self);
}

void ConnectGroup::ConnectProc(Run& run)
{
    for (;;) {
        Guard<Core::LocalRef> ended; // released outside the lock
        unsigned int interval;
        {
            Lock local(m_Lock);
            local.Enter();
            if (m_Run.Raw() != &run)
                return;
            if (m_List.size() >= m_uConnections) {
                std::swap(ended, m_Run);
                m_uThread = Thread::INVALID_ID;
                return;
            }
            interval = m_uInterval;
        }
        if (!Connect(run))
            Basic::Sleep(interval, run.wake);
    }
}

bool ConnectGroup::Connect(Run& run)
{
    Io::Socket::Address address = GetAddress();
    Io::Socket device;
    Io::IoHandle socket;
    unsigned int step = 1;
    auto failed = [&]() {
        unsigned int error = System::GetError();
        if (step >= 2)
            device.GetHandle().Close();
        // An attempt cut off by UnInit is not a failure worth a line.
        if (!IsCurrent(run))
            return false;
        Report() << "Connect to " << address.IpString() << ":" << address.Port() << " error, at step " << step
                 << ", error code : " << error;
        return false;
    };
    // Shown to UnInit while it lasts (see Run::connecting).
    struct Showing {
        ConnectGroup& group;
        Run& run;
        ~Showing()
        {
            Lock local(group.m_Lock);
            local.Enter();
            run.connecting.Clear();
        }
    };
    try {
        if (!device.Open(Io::Socket::SOCKET_TCP, 2, 0))
            return failed();
        step = 2;
        {
            Lock local(m_Lock);
            local.Enter();
            if (m_Run.Raw() != &run) {
                local.Leave(); // failed() looks at the run under the lock
                return failed(); // uninitialised meanwhile: no line
            }
            run.connecting = device.GetHandle();
        }
        Showing showing{*this, run};
        if (!device.Connect(Io::Socket::Param(address)))
            return failed();
        step = 3;
        socket = device.GetHandle();
        if (!socket.GetAttrib(Io::IoParam::VALID))
            return failed();
        // The application sees the connection, and the connection is
        // listed, before the notify can report it: a close path then always
        // finds it in the list.
        step = 6;
        if (!OnOpen(socket))
            return failed();
        {
            Lock local(m_Lock);
            local.Enter();
            if (m_Run.Raw() != &run) {
                local.Leave();
                socket.Close(); // the group was uninitialised meanwhile
                return true;
            }
            m_List.push_back(socket);
        }
        step = 5;
        Guard<Notify> notify = GetNotifyGuard();
        if (!notify.IsValid() || !notify->Attach(Io::ReadHandle(socket), GetCallBack(true))) {
            unsigned int error = System::GetError();
            OnClose(socket); // OnOpen was told; so is OnClose
            Platform::SetLastError(static_cast<int>(error));
            return failed();
        }
        return true;
    } catch (...) {
        Platform::RethrowIfKilled();
        unsigned int error = System::GetError();
        device.GetHandle().Close();
        Report() << "Connect to " << address.IpString() << ":" << address.Port() << " error, error code : " << error;
        return false;
    }
}

void ConnectGroup::Unlist(Io::IoBase const& handle)
{
    std::vector<Io::IoHandle> removed; // released outside the lock
    Lock local(m_Lock);
    local.Enter();
    auto keep = std::stable_partition(m_List.begin(), m_List.end(),
                                      [&](Io::IoHandle const& listed) { return listed != handle; });
    removed.assign(keep, m_List.end());
    m_List.erase(keep, m_List.end());
    local.Leave();
}

bool ConnectGroup::OnClose(Io::IoBase& handle)
{
    Unlist(handle);
    return TcpGroup::OnClose(handle);
}

void ConnectGroup::OnDropped(Io::IoBase const& handle) { Unlist(handle); }

} // namespace Sched
} // namespace Vor
