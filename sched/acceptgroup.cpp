#include <vor/sched/acceptgroup.h>

#include <vor/io/socket.h>
#include <vor/system/system.h>

#include "core/internal/diag.h"
#include "platform/thread.h"
#include "platform/error.h"
#include "platform/socket.h"

namespace Vor {
namespace Sched {

using Core::Guard;
using Core::Lock;
using Core::Internal::Report;

AcceptGroup::AcceptGroup(Type type) : TcpGroup(type) {}

AcceptGroup::AcceptGroup(AcceptGroup const& other) : TcpGroup(other) {}

bool AcceptGroup::Init(Trigger::Param& param)
{
    {
        Lock::WriteScope scope(m_HoldLock);
        m_bHoldEnded = false;
        // Wake-ups left by an earlier UnInit would cut the next hold short.
        while (m_HoldWake.Wait(0)) {
        }
    }
    return TcpGroup::Init(param);
}

bool AcceptGroup::UnInit(unsigned int timeout)
{
    std::vector<unsigned int> threads;
    {
        Lock::WriteScope scope(m_HoldLock);
        m_bHoldEnded = true;
        std::swap(threads, m_HoldThreads);
    }
    if (!threads.empty())
        m_HoldWake.Set(static_cast<unsigned int>(threads.size()));
    bool held = Core::Thread::Wait(threads, timeout);
    return TcpGroup::UnInit(timeout) && held;
}

bool AcceptGroup::HoldResume(Io::IoBase const& handle, Guard<Notify> const& notify)
{
    if (!notify.IsValid() || !IsListener(handle) || !TakeHold())
        return false;
    unsigned int delay = m_uHoldDelay.load();
    Hold hold{Guard<AcceptGroup>(this), notify, Io::IoHandle(handle), delay};
    Core::CallBack task;
    Lock::WriteScope scope(m_HoldLock);
    if (m_bHoldEnded || !hold.group.IsValid() || !task.Bind(&AcceptGroup::HoldMain, hold))
        return false;
    // Threads that have resumed their hold are gone or about to be.
    Core::Thread::Wait(m_HoldThreads, 0);
    unsigned int thread = Core::Thread::Create(task);
    if (thread == Core::Thread::INVALID_ID)
        return false; // resumed at once, as before
    m_HoldThreads.push_back(thread);
    m_uHoldDelay.store(delay * 2 < EXHAUSTED_DELAY_MAX ? delay * 2 : EXHAUSTED_DELAY_MAX);
    return true;
}

void AcceptGroup::HoldMain(Hold hold)
{
    AcceptGroup& group = *hold.group;
    group.m_HoldWake.Wait(hold.delay);
    Lock::WriteScope scope(group.m_HoldLock);
    // Under UnInit the listener stays paused: it is being detached.
    if (!group.m_bHoldEnded)
        hold.notify->Resume(hold.listener);
}

Io::IoHandle AcceptGroup::GetListener() const
{
    Lock::WriteScope scope(m_Lock);
    return m_Listener;
}

void AcceptGroup::SetListener(Io::IoHandle listener)
{
    {
        Lock::WriteScope scope(m_Lock);
        std::swap(m_Listener, listener);
        m_pListenerIo.store(m_Listener.IsValid() ? m_Listener.As<Io::IoObject>() : nullptr, std::memory_order_release);
    }
    // The old handle is released outside the spin lock.
}

bool AcceptGroup::IsListener(Io::IoBase const& handle) const
{
    Io::IoObject const* listener = m_pListenerIo.load(std::memory_order_acquire);
    return listener != nullptr && handle.As<Io::IoObject>() == listener;
}

bool AcceptGroup::CreateGroup()
{
    if (GetType() != SYNC)
        return false;
    Lock opening(m_OpenLock);
    opening.Enter();
    // A connection's close path asking for a reopen must not touch a
    // listener that is still serving.
    if (IsLive(GetListener()))
        return true;
    return SyncOpen().IsValid();
}

Io::IoHandle AcceptGroup::SyncOpen()
{
    Io::Socket device;
    unsigned int step = 1;
    // One place undoes what the steps did: the socket is closed from step 2
    // on, and the line names the step that failed.
    auto failed = [&]() {
        unsigned int error = System::GetError();
        if (step >= 2)
            device.GetHandle().Close();
        Report() << "Open accepted socket error, at step " << step << ", error code : " << error;
        return Io::IoHandle();
    };
    try {
        if (!device.Open(Io::Socket::SOCKET_LISTEN, 2, 0))
            return failed();
        step = 2;
        if (!device.Bind(GetAddress()))
            return failed();
        step = 3;
        // The system's longest queue: a burst of clients connecting at once
        // would otherwise see handshakes dropped and retried a second later.
        if (!device.Listen(static_cast<unsigned int>(Platform::MaxListenBacklog())))
            return failed();
        step = 4;
        Io::IoHandle socket = device.GetHandle();
        if (!socket.GetAttrib(Io::IoParam::VALID))
            return failed();
        step = 5;
        // Known as the listener before its first report can arrive, so that
        // the report accepts instead of reaching the application.
        SetListener(socket);
        Guard<Notify> notify = GetNotifyGuard();
        if (notify.IsValid() && notify->Attach(Io::ReadHandle(socket), GetCallBack(true)))
            return socket;
        SetListener(Io::IoHandle());
        return failed();
    } catch (...) {
        Platform::RethrowIfKilled();
        unsigned int error = System::GetError();
        SetListener(Io::IoHandle());
        device.GetHandle().Close();
        Report() << "Open accepted socket error, error code : " << error;
        return Io::IoHandle();
    }
}

bool AcceptGroup::SyncAccept()
{
    Io::IoHandle connection;
    unsigned int step = 1;
    auto failed = [&]() {
        unsigned int error = System::GetError();
        if (step >= 2)
            connection.Close();
        Report() << "Accepted socket error, at step " << step << ", error code : " << error;
        return false;
    };
    try {
        connection = Io::Socket::Accept(Io::ReadHandle(GetListener()));
        if (!connection.IsValid()) {
            if (Platform::IsDescriptorExhaustion(Platform::LastError()))
                HoldNext();
            return failed();
        }
        if (m_uHoldDelay.load(std::memory_order_relaxed) != EXHAUSTED_DELAY)
            m_uHoldDelay.store(EXHAUSTED_DELAY);
        step = 2;
        if (!connection.GetAttrib(Io::IoParam::VALID))
            return failed();
        // The application sees the connection before the notify does: no
        // report of it can be handled before OnOpen has returned.
        step = 5;
        if (!OnOpen(connection))
            return failed();
        step = 4;
        Guard<Notify> notify = GetNotifyGuard();
        if (!notify.IsValid() || !notify->Attach(Io::ReadHandle(connection), GetCallBack(true))) {
            unsigned int error = System::GetError();
            OnClose(connection); // OnOpen was told; so is OnClose
            Platform::SetLastError(static_cast<int>(error));
            return failed();
        }
        return true;
    } catch (...) {
        Platform::RethrowIfKilled();
        unsigned int error = System::GetError();
        connection.Close();
        Report() << "Accepted socket error, error code : " << error;
        return false;
    }
}

VOR_HOT bool AcceptGroup::OnRead(Io::ReadHandle& handle)
{
    if (IsListener(handle)) {
        if (GetType() == SYNC && !SyncAccept())
            Report() << "Accept socket error, error code : " << System::GetError();
        return true;
    }
    return TcpGroup::OnRead(handle);
}

bool AcceptGroup::OnIdle(Io::IoBase& handle)
{
    if (IsListener(handle))
        return true;
    return TcpGroup::OnIdle(handle);
}

bool AcceptGroup::IsReopenNeeded() const { return !IsLive(GetListener()); }

bool AcceptGroup::OnClose(Io::IoBase& handle)
{
    if (IsListener(handle))
        SetListener(Io::IoHandle());
    return TcpGroup::OnClose(handle);
}

} // namespace Sched
} // namespace Vor
