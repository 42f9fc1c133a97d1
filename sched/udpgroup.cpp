#include <vor/sched/udpgroup.h>

#include <vor/io/socket.h>
#include <vor/system/system.h>

#include "core/internal/diag.h"
#include "platform/thread.h"

namespace Vor {
namespace Sched {

using Core::Guard;
using Core::Lock;
using Core::Internal::Report;

UdpGroup::UdpGroup(Type type) : SocketGroup(type) {}

UdpGroup::UdpGroup(UdpGroup const& other) : SocketGroup(other) {}

Io::IoHandle UdpGroup::GetSocket() const
{
    Lock local(m_Lock);
    local.Enter();
    return m_Socket;
}

void UdpGroup::SetSocket(Io::IoHandle socket)
{
    {
        Lock local(m_Lock);
        local.Enter();
        std::swap(m_Socket, socket);
    }
    // The old handle is released outside the spin lock.
}

Io::WriteHandle UdpGroup::GetDevice(Io::IoBase const&) const { return Io::WriteHandle(GetSocket()); }

bool UdpGroup::CreateGroup()
{
    if (GetType() != SYNC)
        return false;
    // One open at a time, claimed rather than locked: OnOpen and OnClose
    // run inside it, and application code never runs under the group's
    // locks. A second Create while an open is under way returns at once;
    // that open writes its own line if it fails.
    bool idle = false;
    if (!m_bOpening.compare_exchange_strong(idle, true))
        return true;
    struct Claim {
        std::atomic<bool>& opening;
        ~Claim() { opening.store(false); } // a kill inside OnOpen lets go of it too
    } claim{m_bOpening};
    // An open socket is kept: it is never replaced, least of all by an
    // empty handle after a failed open.
    if (IsLive(GetSocket()))
        return true;
    return SyncOpen().IsValid();
}

Io::IoHandle UdpGroup::SyncOpen()
{
    Io::Socket device;
    unsigned int step = 1;
    // The line carries the step, not a system error code.
    auto failed = [&]() {
        if (step >= 2)
            device.GetHandle().Close();
        Report() << "Udp sync open error, error code : " << step;
        return Io::IoHandle();
    };
    try {
        if (!device.Open(Io::Socket::SOCKET_UDP, 2, 0))
            return failed();
        step = 2;
        if (!device.Bind(GetAddress()))
            return failed();
        step = 3;
        Io::IoHandle socket = device.GetHandle();
        if (!socket.GetAttrib(Io::IoParam::VALID))
            return failed();
        // The application sees the socket before the notify does: no
        // datagram is handed to OnRead before OnOpen has returned.
        step = 6;
        if (!OnOpen(socket))
            return failed();
        SetSocket(socket);
        step = 5;
        Guard<Notify> notify = GetNotifyGuard();
        if (!notify.IsValid() || !notify->Attach(Io::ReadHandle(socket), GetCallBack(true))) {
            OnClose(socket); // OnOpen was told; so is OnClose
            SetSocket(Io::IoHandle());
            return failed();
        }
        return socket;
    } catch (...) {
        Platform::RethrowIfKilled();
        device.GetHandle().Close();
        SetSocket(Io::IoHandle());
        Report() << "Udp sync open get an unknown error, error code : " << step;
        return Io::IoHandle();
    }
}

} // namespace Sched
} // namespace Vor
