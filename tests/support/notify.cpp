#include "support/notify.h"

#include <vor/core/thread.h>

#include <chrono>
#include <thread>

namespace VorTest {

using namespace Vor;

Sched::VOR_NATIVE(Select)* ProbeNotify::EngineOf(Io::IoBase const& handle) const
{
    Core::Guard<Sched::NotifyBase> engine = GetNotify(handle);
    return dynamic_cast<Sched::VOR_NATIVE(Select)*>(engine.Raw());
}

unsigned int SettledThreadCount()
{
    std::thread([] {}).join();
    // Threads that earlier work ended may still be leaving the process: the
    // count is taken once it has held still for 50 ms.
    unsigned int count = ProcessThreadCount();
    auto since = std::chrono::steady_clock::now();
    WaitUntil(
        [&] {
            unsigned int now = ProcessThreadCount();
            if (now != count)
                count = now, since = std::chrono::steady_clock::now();
            return std::chrono::steady_clock::now() - since >= std::chrono::milliseconds(50);
        },
        std::chrono::milliseconds(3000));
    return count;
}

Core::CallBack Recorder::Reads()
{
    Core::CallBack callback;
    callback.Bind(this, &Recorder::OnRead);
    return callback;
}

Core::CallBack Recorder::Writes()
{
    Core::CallBack callback;
    callback.Bind(this, &Recorder::OnWrite);
    return callback;
}

void Recorder::Note(Io::IoBase& handle, bool read)
{
    Entry entry{read,
                handle.GetAttrib(Io::IoParam::READABLE),
                handle.GetAttrib(Io::IoParam::WRITABLE),
                handle.GetAttrib(Io::IoParam::EXCEPT),
                handle.GetAttrib(Io::IoParam::IDLE),
                Core::Thread::GetID()};
    std::lock_guard<std::mutex> local(m_Lock);
    m_Entries.push_back(entry);
}

void Recorder::OnRead(Io::ReadHandle handle)
{
    Note(handle, true);
    if (drain.load() && handle.GetAttrib(Io::IoParam::READABLE)) {
        char buffer[4096];
        Io::SocketIo* io = dynamic_cast<Io::SocketIo*>(handle.GetObject().Raw());
        unsigned int got = io != nullptr ? io->ReadOnce(buffer, sizeof(buffer), 0) : Io::IoObject::FAILED;
        if (echo.load() && got != Io::IoObject::FAILED && got > 0)
            io->WriteAll(buffer, got, 0);
    }
    if (then)
        then(handle);
}

void Recorder::OnWrite(Io::WriteHandle handle)
{
    Note(handle, false);
    if (then)
        then(handle);
}

std::vector<Recorder::Entry> Recorder::Entries() const
{
    std::lock_guard<std::mutex> local(m_Lock);
    return m_Entries;
}

unsigned int Recorder::Count(std::function<bool(Entry const&)> const& pick) const
{
    std::lock_guard<std::mutex> local(m_Lock);
    unsigned int n = 0;
    for (auto const& entry : m_Entries)
        n += !pick || pick(entry) ? 1 : 0;
    return n;
}

} // namespace VorTest
