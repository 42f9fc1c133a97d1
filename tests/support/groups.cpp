#include "support/groups.h"

#include <vor/io/socket.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace VorTest {

using namespace Vor;

std::vector<GroupCase> AllGroupCases()
{
    return {{SchedKind::Tp, EngineKind::Select}, {SchedKind::Local, EngineKind::Select},
            {SchedKind::St, EngineKind::Select}, {SchedKind::Tp, EngineKind::Epoll},
            {SchedKind::Local, EngineKind::Epoll}, {SchedKind::St, EngineKind::Epoll}};
}

std::vector<GroupCase> EngineCases() { return {{SchedKind::Local, EngineKind::Select}, {SchedKind::Local, EngineKind::Epoll}}; }

std::string GroupCaseName(::testing::TestParamInfo<GroupCase> const& info)
{
    static char const* const kScheds[] = {"TpSched_", "LocalSched_", "StSched_"};
    return kScheds[static_cast<int>(info.param.sched)] + std::string(info.param.engine == EngineKind::Epoll ? "Epoll" : "Select");
}

Core::Guard<Sched::Scheduler> MakeScheduler(SchedKind kind)
{
    Core::Guard<Sched::Scheduler> scheduler =
        Own(kind == SchedKind::Tp      ? static_cast<Sched::Scheduler*>(new Sched::TpSched)
              : kind == SchedKind::Local ? static_cast<Sched::Scheduler*>(new Sched::LocalSched)
                                         : new Sched::StSched);
    scheduler->Init(Sched::Scheduler::Param(4));
    return scheduler;
}

Core::Guard<Sched::Notify> MakeNotify(EngineKind kind)
{
    Core::Guard<Sched::Notify> notify =
        Own(kind == EngineKind::Epoll ? static_cast<Sched::Notify*>(new Sched::EpollNotify) : new Sched::SelectNotify);
    notify->Init(Sched::Notify::Param());
    return notify;
}

bool ScriptedEvent::Note(std::string const& kind, Io::IoBase const& handle)
{
    Core::Guard<Io::IoObject> object = handle.GetObject();
    std::lock_guard<std::mutex> lock(m_Lock);
    std::size_t number = std::find(m_Seen.begin(), m_Seen.end(), object) - m_Seen.begin();
    if (number == m_Seen.size())
        m_Seen.push_back(object);
    m_Log.push_back(kind + " " + std::to_string(number + 1));
    return true;
}

bool ScriptedEvent::OnOpen(Io::IoBase& handle)
{
    if (openHook)
        openHook(handle);
    return Note("open", handle) && refuseOpens.fetch_sub(1) <= 0;
}

bool ScriptedEvent::OnIdle(Io::IoBase& handle)
{
    if (idleHook)
        idleHook(handle);
    return Note("idle", handle);
}

bool ScriptedEvent::OnRead(Io::ReadHandle& handle)
{
    if (readHook)
        readHook(handle);
    Note("read", handle);
    Core::Guard<Io::IoObject> object = handle.GetObject(); // a group's objects are sockets
    char buffer[65536];
    Io::Socket::Param peer;
    errno = 0;
    unsigned int got = static_cast<Io::SocketIo*>(object.Raw())->ReadOnce(buffer, sizeof buffer, peer, MSG_DONTWAIT);
    if (got == Io::IoObject::FAILED)
        return errno == EAGAIN || errno == EWOULDBLOCK; // nothing yet: keep; the end: close
    return std::string(buffer, got) != "bye" && (!echo.load() || Device(handle).Write(buffer, got, peer));
}

bool ScriptedEvent::OnClose(Io::IoBase& handle)
{
    if (closeHook)
        closeHook(handle);
    return Note("close", handle) && reopen.load();
}

std::vector<std::string> ScriptedEvent::Log() const
{
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Log;
}

unsigned int ScriptedEvent::Count(std::string const& kind) const
{
    std::vector<std::string> log = Log();
    return static_cast<unsigned int>(
        std::count_if(log.begin(), log.end(), [&](std::string const& entry) { return (entry + " ").rfind(kind + " ", 0) == 0; }));
}

Peer::Peer(bool tcp) : m_iSocket(socket(AF_INET, (tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0))
{
    timeval bound{5, 0};
    setsockopt(m_iSocket, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    setsockopt(m_iSocket, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    Platform::Ipv4Address any = LoopbackAddress(0);
    if (!tcp)
        bind(m_iSocket, reinterpret_cast<sockaddr*>(&any), sizeof any);
}

Peer::~Peer() { close(m_iSocket); }

bool Peer::Connect(std::uint16_t port)
{
    Platform::Ipv4Address address = LoopbackAddress(port);
    return connect(m_iSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

bool Peer::Send(std::string const& bytes, int flags, std::uint16_t to)
{
    Platform::Ipv4Address address = LoopbackAddress(to);
    for (std::size_t done = 0; done < bytes.size();) {
        ssize_t sent = sendto(m_iSocket, bytes.data() + done, bytes.size() - done, flags | MSG_NOSIGNAL,
                              to != 0 ? reinterpret_cast<sockaddr*>(&address) : nullptr, to != 0 ? sizeof address : 0);
        if (sent <= 0)
            return false;
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

std::string Peer::Receive(std::size_t n, std::uint16_t* from)
{
    std::string got;
    char buffer[65536];
    sockaddr_in sender{};
    socklen_t length = sizeof sender;
    while (got.size() < n) {
        ssize_t read = recvfrom(m_iSocket, buffer, std::min(n - got.size(), sizeof buffer), 0,
                                reinterpret_cast<sockaddr*>(&sender), &length);
        if (read <= 0)
            break;
        got.append(buffer, static_cast<std::size_t>(read));
        if (from != nullptr) {
            *from = ntohs(sender.sin_port);
            break;
        }
    }
    return got;
}

bool Peer::WaitClosed()
{
    char buffer[4096];
    ssize_t read = 0;
    while ((read = recv(m_iSocket, buffer, sizeof buffer, 0)) > 0) {
    }
    return read == 0 || errno != EAGAIN; // the end, a reset; not the bound
}

} // namespace VorTest
