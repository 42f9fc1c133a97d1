#include "support/groups.h"

#include <vor/io/socket.h>

#include "platform/error.h"
#include "platform/socket.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace VorTest {

using namespace Vor;

std::vector<GroupCase> AllGroupCases()
{
    return {{SchedKind::Tp, EngineKind::Select}, {SchedKind::Local, EngineKind::Select},
            {SchedKind::St, EngineKind::Select},
#if VOR_TEST_HAVE_EPOLL
            {SchedKind::Tp, EngineKind::Epoll}, {SchedKind::Local, EngineKind::Epoll},
            {SchedKind::St, EngineKind::Epoll}
#endif
    };
}

std::vector<GroupCase> EngineCases()
{
    return {{SchedKind::Local, EngineKind::Select},
#if VOR_TEST_HAVE_EPOLL
            {SchedKind::Local, EngineKind::Epoll}
#endif
    };
}

std::string GroupCaseName(::testing::TestParamInfo<GroupCase> const& info)
{
    static char const* const kScheds[] = {"TpSched_", "LocalSched_", "StSched_"};
    return kScheds[static_cast<int>(info.param.sched)] + std::string(info.param.engine == EngineKind::Epoll ? "Epoll" : "Select");
}

Core::Guard<Sched::Scheduler> MakeScheduler(SchedKind kind)
{
    using Sched::Scheduler;
    Core::Guard<Scheduler> scheduler = kind == SchedKind::Tp      ? Core::New<Scheduler, Sched::TpSched>()
                                       : kind == SchedKind::Local ? Core::New<Scheduler, Sched::LocalSched>()
                                                                  : Core::New<Scheduler, Sched::StSched>();
    scheduler->Init(Sched::Scheduler::Param(4));
    return scheduler;
}

Core::Guard<Sched::Notify> MakeNotify(EngineKind kind)
{
#if VOR_TEST_HAVE_EPOLL
    Core::Guard<Sched::Notify> notify = kind == EngineKind::Epoll ? Core::New<Sched::Notify, Sched::EpollNotify>()
                                                                  : Core::New<Sched::Notify, Sched::SelectNotify>();
#else
    (void)kind;
    Core::Guard<Sched::Notify> notify = Core::New<Sched::Notify, Sched::SelectNotify>();
#endif
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
    Platform::SetLastError(0);
    unsigned int got =
        static_cast<Io::SocketIo*>(object.Raw())->ReadOnce(buffer, sizeof buffer, peer, Platform::DontWaitFlag());
    if (got == Io::IoObject::FAILED) // nothing yet: keep; the end: close
        return Platform::LastError() != 0 &&
               Platform::ClassifyReceiveError(Platform::LastError()) == Platform::ReceiveError::NothingWaiting;
    // Ends with "bye": a stream may bring what was sent before it in the same read.
    bool bye = got >= 3 && std::memcmp(buffer + got - 3, "bye", 3) == 0;
    return !bye && (!echo.load() || Device(handle).Write(buffer, got, peer));
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

Peer::Peer(bool tcp)
    : m_uSocket(Platform::OpenSocket(Platform::kFamilyIpv4, tcp ? Platform::SocketKind::Stream : Platform::SocketKind::Datagram, 0))
{
    Platform::SetSocketOption(m_uSocket, Platform::SocketOption::ReceiveTimeout, 5000);
    Platform::SetSocketOption(m_uSocket, Platform::SocketOption::SendTimeout, 5000);
    if (!tcp)
        Platform::BindSocket(m_uSocket, LoopbackAddress(0));
}

Peer::~Peer() { Platform::CloseSocket(m_uSocket); }

bool Peer::Connect(std::uint16_t port) { return Platform::ConnectSocket(m_uSocket, LoopbackAddress(port), 5000); }

bool Peer::Send(std::string const& bytes, int flags, std::uint16_t to)
{
    for (std::size_t done = 0; done < bytes.size();) {
        std::int64_t sent = to != 0 ? Platform::SendToSocket(m_uSocket, bytes.data() + done, bytes.size() - done, flags,
                                                             LoopbackAddress(to))
                                    : Platform::SendSocket(m_uSocket, bytes.data() + done, bytes.size() - done, flags);
        if (sent <= 0)
            return false;
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

std::string Peer::Receive(std::size_t n, std::uint16_t* from)
{
    std::string got;
    std::vector<char> buffer(65536);
    while (got.size() < n) {
        std::size_t room = std::min(n - got.size(), buffer.size());
        Platform::Ipv4Address sender{};
        unsigned int length = sizeof sender;
        std::int64_t read = from != nullptr ? Platform::ReceiveFromSocket(m_uSocket, buffer.data(), room, 0, &sender, &length)
                                            : Platform::ReceiveSocket(m_uSocket, buffer.data(), room, 0);
        if (read <= 0)
            break;
        got.append(buffer.data(), static_cast<std::size_t>(read));
        if (from != nullptr) {
            *from = Platform::NetToHost16(sender.port);
            break;
        }
    }
    return got;
}

bool Peer::WaitClosed()
{
    char buffer[4096];
    std::int64_t read = 0;
    while ((read = Platform::ReceiveSocket(m_uSocket, buffer, sizeof buffer, 0)) > 0) {
    }
    // The end, or a reset; not the bound running out.
    return read == 0 || Platform::ClassifyReceiveError(Platform::LastError()) != Platform::ReceiveError::NothingWaiting;
}

} // namespace VorTest
