#include "support/notify.h"

#include "support/wait.h"

#include <vor/core/thread.h>

#include <chrono>
#include <thread>

namespace VorTest {

using namespace Vor;

std::vector<Core::Guard<Sched::NotifyBase>> ProbeNotify::Engines()
{
    Core::Lock local(s_Lock);
    local.Enter();
    return s_NotifyList;
}

Sched::PosixSelect* ProbeNotify::EngineOf(Io::IoBase const& handle) const
{
    Core::Guard<Sched::NotifyBase> engine = GetNotify(handle);
    return dynamic_cast<Sched::PosixSelect*>(engine.Raw());
}

unsigned int SettledThreadCount()
{
    std::thread([] {}).join();
    return ProcessThreadCount();
}

Core::Guard<ProbeNotify> MakeNotify(unsigned int idleTime)
{
    ProbeNotify* notify = new ProbeNotify;
    Core::Guard<ProbeNotify> counted(notify);
    notify->DecRef();
    counted->Init(Sched::Notify::Param(idleTime));
    return counted;
}

namespace {
std::atomic<int> g_HoldState{0}; // 0 idle, 1 armed, 2 holding, 3 released

void HoldOnce()
{
    int armed = 1;
    if (g_HoldState.compare_exchange_strong(armed, 2))
        WaitUntil([] { return g_HoldState.load() == 3; }, std::chrono::milliseconds(5000));
}
} // namespace

HoldHook::HoldHook(std::atomic<void (*)()>& hook) : m_Hook(hook)
{
    g_HoldState = 0;
    m_Hook = &HoldOnce;
}

HoldHook::~HoldHook()
{
    g_HoldState = 3;
    m_Hook = nullptr;
}

void HoldHook::Arm() { g_HoldState = 1; }

bool HoldHook::Holding()
{
    return WaitUntil([] { return g_HoldState.load() == 2; });
}

void HoldHook::Release() { g_HoldState = 3; }

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

unsigned int Recorder::Count() const
{
    std::lock_guard<std::mutex> local(m_Lock);
    return static_cast<unsigned int>(m_Entries.size());
}

std::vector<Recorder::Entry> Recorder::Entries() const
{
    std::lock_guard<std::mutex> local(m_Lock);
    return m_Entries;
}

bool Recorder::WaitFor(unsigned int n, unsigned int ms) const
{
    return WaitUntil([&] { return Count() >= n; }, std::chrono::milliseconds(ms));
}

} // namespace VorTest
