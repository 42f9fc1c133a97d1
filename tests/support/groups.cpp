#include "support/groups.h"

#include <vor/io/socket.h>

#include <cerrno>
#include <sys/socket.h>

namespace VorTest {

using namespace Vor;

std::string SchedName(SchedKind kind)
{
    switch (kind) {
    case SchedKind::Tp:
        return "TpSched";
    case SchedKind::Local:
        return "LocalSched";
    case SchedKind::St:
        return "StSched";
    }
    return "?";
}

Core::Guard<Sched::Scheduler> MakeScheduler(SchedKind kind)
{
    Core::Guard<Sched::Scheduler> scheduler;
    switch (kind) {
    case SchedKind::Tp:
        scheduler = Core::Guard<Sched::Scheduler>(Adopt(new Sched::TpSched).Raw());
        break;
    case SchedKind::Local:
        scheduler = Core::Guard<Sched::Scheduler>(Adopt(new Sched::LocalSched).Raw());
        break;
    case SchedKind::St:
        scheduler = Core::Guard<Sched::Scheduler>(Adopt(new Sched::StSched).Raw());
        break;
    }
    scheduler->Init(Sched::Scheduler::Param(4));
    return scheduler;
}

void ScriptedEvent::Note(std::string const& kind, Io::IoBase const& handle)
{
    Core::Guard<Io::IoObject> object = handle.GetObject();
    std::lock_guard<std::mutex> lock(m_Lock);
    auto found = m_Numbers.find(object.Raw());
    if (found == m_Numbers.end()) {
        found = m_Numbers.emplace(object.Raw(), static_cast<unsigned int>(m_Numbers.size() + 1)).first;
        m_Keep.push_back(object);
    }
    m_Log.push_back(kind + " " + std::to_string(found->second));
    if (kind == "open")
        m_Opened.push_back(Io::IoHandle(handle));
}

bool ScriptedEvent::OnOpen(Io::IoBase& handle)
{
    if (openHook)
        openHook(handle);
    Note("open", handle);
    int left = refuseOpens.load();
    while (left > 0) {
        if (refuseOpens.compare_exchange_weak(left, left - 1))
            return false;
    }
    return true;
}

bool ScriptedEvent::OnIdle(Io::IoBase& handle)
{
    Note("idle", handle);
    return keepIdle.load();
}

bool ScriptedEvent::OnRead(Io::ReadHandle& handle)
{
    if (readHook)
        readHook(handle);
    Note("read", handle);
    Core::Guard<Io::IoObject> object = handle.GetObject();
    Io::SocketIo* socket = dynamic_cast<Io::SocketIo*>(object.Raw());
    if (socket == nullptr)
        return false;
    char buffer[65536];
    Io::Socket::Param peer;
    errno = 0;
    unsigned int got = socket->ReadOnce(buffer, sizeof buffer, peer, MSG_DONTWAIT);
    if (got == Io::IoObject::FAILED)
        return errno == EAGAIN || errno == EWOULDBLOCK; // nothing yet: keep; the end: close
    if (echo.load() && !Device(handle).Write(buffer, got, peer))
        return false;
    return !closeOnRead.load();
}

bool ScriptedEvent::OnWrite(Io::WriteHandle& handle)
{
    Note("write", handle);
    return true;
}

bool ScriptedEvent::OnError(Io::IoBase& handle)
{
    Note("error", handle);
    return true;
}

bool ScriptedEvent::OnClose(Io::IoBase& handle)
{
    if (closeHook)
        closeHook(handle);
    Note("close", handle);
    return reopen.load();
}

std::vector<std::string> ScriptedEvent::Log() const
{
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Log;
}

unsigned int ScriptedEvent::Count(std::string const& kind) const
{
    std::lock_guard<std::mutex> lock(m_Lock);
    unsigned int n = 0;
    for (std::string const& entry : m_Log) {
        if (entry.compare(0, kind.size() + 1, kind + " ") == 0)
            ++n;
    }
    return n;
}

bool ScriptedEvent::Balanced() const
{
    std::lock_guard<std::mutex> lock(m_Lock);
    std::map<std::string, int> opens, closes;
    for (std::string const& entry : m_Log) {
        std::string number = entry.substr(entry.find(' ') + 1);
        if (entry.compare(0, 5, "open ") == 0)
            ++opens[number];
        else if (entry.compare(0, 6, "close ") == 0)
            ++closes[number];
    }
    if (opens.size() != closes.size())
        return false;
    for (auto const& open : opens) {
        if (open.second != 1 || closes[open.first] != 1)
            return false;
    }
    return true;
}

std::vector<Io::IoHandle> ScriptedEvent::Opened() const
{
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Opened;
}

} // namespace VorTest
