#include <vor/sched/udprecv.h>

#include <vor/io/memory.h>
#include <vor/io/socket.h>

#include "core/internal/diag.h"
#include "platform/error.h"
#include "platform/poller.h"
#include "platform/socket.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace Vor {
namespace Sched {

namespace {

// The most one read takes; a longer datagram is refused and dropped.
constexpr unsigned int DATAGRAM_ROOM = 4096;
// How long a thread waits on its socket before it looks at the state again
// (the wake-up usually ends the wait sooner).
constexpr unsigned int POLL_SLICE = 200;
// Pauses after failures that would repeat at once: a socket that cannot
// receive, and a buffer that cannot be had.
constexpr unsigned int BROKEN_SOCKET_REST = 1000;
constexpr unsigned int NO_BUFFER_REST = 100;
// The least time UnInit gives woken threads to end, whatever its time-out.
constexpr unsigned int END_GRACE = 1000;

static_assert(sizeof(Platform::Ipv4Address) == sizeof(Io::Socket::Address), "one address layout");

// Reads one datagram, without waiting, straight into the memory buffer that
// asks for it. A 0-byte datagram is a datagram (count 0); a failure keeps
// its error for the reader to judge.
class DatagramSource final : public Io::IoObject {
public:
    using IoObject::Read;
    using IoObject::Write;

    DatagramSource() = default;

    unsigned int Read(void* buffer, unsigned int n, Io::IoParam& param) const override
    {
        Platform::Ipv4Address from{};
        unsigned int length = sizeof(from);
        std::int64_t got = Platform::ReceiveFromSocket(m_uSocket, buffer, n, Platform::DontWaitFlag(), &from, &length);
        if (got < 0) {
            m_iError = Platform::LastError();
            return FAILED;
        }
        Io::Socket::Param* peer = dynamic_cast<Io::Socket::Param*>(&param);
        if (peer != nullptr && length <= sizeof(from))
            std::memcpy(static_cast<void*>(&peer->address), &from, sizeof(from));
        m_iError = 0;
        return static_cast<unsigned int>(got);
    }
    unsigned int Read(void* buffer, unsigned int n) const override
    {
        Io::Socket::Param scratch;
        return Read(buffer, n, scratch);
    }
    bool Write(void const*, unsigned int, Io::IoParam&) override { return false; }
    bool Write(void const*, unsigned int) override { return false; }
    bool Close() override { return true; }

    unsigned int m_uSocket = Platform::kInvalidSocket;
    mutable int m_iError = 0;

private:
    ~DatagramSource() override = default;
};

} // namespace

// What one receive thread works with: its own copies of the engine's socket
// and callback (taken again whenever an attach replaces them) and its
// reading helper.
struct UdpRecv::Reader {
    Io::ReadHandle socket;
    // The socket's object (kept alive by `socket`), null when it is none.
    Io::SocketIo const* io = nullptr;
    Core::CallBack callback;
    unsigned int generation = 0;
    bool fresh = false;
    DatagramSource* source = nullptr;
    Io::IoHandle sourceHandle;
    // The buffer and address block the next datagram goes into.
    Io::IoHandle buffer;
    Core::Guard<Io::IoParam> from;
};

// ---------------------------------------------------------------- UdpRecv

UdpRecv::UdpRecv()
    : m_uState(STOPPED), m_uThreadCount(0), m_uIdleTime(Notify::Param::NO_IDLE), m_uGeneration(0),
      m_Lock(Core::Lock::READ_WRITE_LOCK), m_pWakeUp(new (std::nothrow) Platform::WakeUp)
{
}

UdpRecv::UdpRecv(UdpRecv const& other)
    : NotifyBase(other), m_uState(STOPPED), m_uThreadCount(0), m_uIdleTime(Notify::Param::NO_IDLE),
      m_uGeneration(0), m_Lock(other.m_Lock), m_pWakeUp(new (std::nothrow) Platform::WakeUp)
{
}

// Threads hold a counted reference to their engine, so none runs here.
UdpRecv::~UdpRecv() = default;

bool UdpRecv::Init()
{
    if (!m_pWakeUp || !m_pWakeUp->IsValid())
        return false;
    m_uState = IDLE;
    return true;
}

bool UdpRecv::Attach(Io::WriteHandle const&, Core::CallBack const&, Notify::Param const&) { return false; }

bool UdpRecv::Attach(Io::ReadHandle const& handle, Core::CallBack const& callback, Notify::Param const& param)
{
    // Exclusive for the whole attach: two attaches must not both find the
    // engine idle and take it.
    Core::Lock local(m_Lock);
    local.Enter();
    if (m_uState.load() != IDLE)
        return false;
    UdpRecvNotify::Param const* own = dynamic_cast<UdpRecvNotify::Param const*>(&param);
    if (own == nullptr) {
        Core::Internal::Report() << "Udp recv can not cast attach param " << static_cast<void const*>(&param)
                                 << " to UdpRecvNotify::Param";
        return false;
    }
    unsigned int wanted = own->m_uThreadCount;
    unsigned int start = wanted > m_Threads.size() ? wanted - static_cast<unsigned int>(m_Threads.size()) : 0;

    m_uThreadCount = wanted;
    m_uIdleTime = own->GetIdleTime();
    m_Socket = handle;
    m_Callback = callback;
    ++m_uGeneration;
    {
        Core::Guard<Io::IoObject> object = handle.GetObject();
        Io::SocketIo* io = dynamic_cast<Io::SocketIo*>(object.Raw());
        Io::SocketIo::Use use;
        if (io != nullptr && use.Take(*io) != Platform::kInvalidSocket)
            Platform::SetSocketOption(use.Handle(), Platform::SocketOption::ReceiveBuffer, own->m_iRecvBufferSize);
    }

    for (unsigned int i = 0; i < start; ++i) {
        Core::CallBack task;
        if (!task.Bind(this, &UdpRecv::ThreadProc, Core::Guard<UdpRecv>(this)))
            continue;
        unsigned int id = Core::Thread::Create(task);
        if (id != Core::Thread::INVALID_ID)
            m_Threads.push_back(id);
    }
    m_pWakeUp->Drain();
    m_uState = RUNNING;
    if (wanted > 0)
        m_Signal.Set(wanted);
    return true;
}

bool UdpRecv::Matches(Io::IoBase const& handle) const { return m_Socket.IsValid() && handle == m_Socket; }

// Threads resting in the signal wait look at the state and rest again;
// threads waiting on the socket see the wake-up and do the same.
void UdpRecv::WakeAll()
{
    m_pWakeUp->Signal();
    unsigned int count = m_uThreadCount.load();
    if (count > 0)
        m_Signal.Set(count);
}

// Changes the state of a running, paused or detached engine for its own
// socket; `change` runs under the lock, which orders it against the other
// changes and the wake-up that goes with them.
template <class Change>
bool UdpRecv::Control(Io::IoBase const& handle, Change change)
{
    Core::Lock local(m_Lock);
    local.Enter();
    if (m_uState.load() == STOPPED || !Matches(handle))
        return false;
    change();
    return true;
}

bool UdpRecv::Detach(Io::IoBase const& handle)
{
    return Control(handle, [this] {
        m_uState = IDLE;
        WakeAll();
    });
}

bool UdpRecv::Pause(Io::IoBase const& handle)
{
    return Control(handle, [this] {
        m_uState = PAUSED;
        m_pWakeUp->Signal();
    });
}

bool UdpRecv::Resume(Io::IoBase const& handle)
{
    return Control(handle, [this] {
        // Drained before the state changes: the wake-up is readable only
        // while the engine is not running.
        m_pWakeUp->Drain();
        m_uState = RUNNING;
        unsigned int count = m_uThreadCount.load();
        if (count > 0)
            m_Signal.Set(count);
    });
}

bool UdpRecv::UnInit(unsigned int timeout)
{
    std::vector<unsigned int> threads;
    {
        Core::Lock local(m_Lock);
        local.Enter();
        m_uState = STOPPED;
        if (m_pWakeUp)
            m_pWakeUp->Signal();
        if (!m_Threads.empty())
            m_Signal.Set(static_cast<unsigned int>(m_Threads.size()));
        threads.swap(m_Threads);
    }
    // A callback that stops its own engine cannot wait for itself; its
    // thread ends when the callback returns.
    threads.erase(std::remove(threads.begin(), threads.end(), Core::Thread::GetID()), threads.end());
    if (threads.empty())
        return true;
    // Woken threads end at once; only one held inside a callback needs the
    // time-out, and only then is it killed.
    if (Core::Thread::Wait(threads, std::max(timeout, END_GRACE)))
        return true;
    return Core::Thread::Kill(threads);
}

unsigned int UdpRecv::GetThreadCount() const
{
    Core::Lock local(m_Lock);
    local.EnterRead();
    return static_cast<unsigned int>(m_Threads.size());
}

void UdpRecv::ThreadProc(Core::Guard<UdpRecv>)
{
    Reader reader;
    reader.source = new (std::nothrow) DatagramSource;
    if (reader.source == nullptr)
        return;
    reader.sourceHandle = Io::IoHandle(reader.source);
    reader.source->DecRef();

    for (;;) {
        if (!m_Signal.Wait(Core::Signal::INFINITE_WAIT))
            return;
        for (;;) {
            unsigned int state = m_uState.load();
            if (state == STOPPED)
                return;
            if (state != RUNNING)
                break;
            unsigned int generation = m_uGeneration.load();
            if (!reader.fresh || reader.generation != generation) {
                Core::Lock local(m_Lock);
                local.EnterRead();
                reader.socket = m_Socket;
                Core::Guard<Io::IoObject> object = reader.socket.GetObject();
                reader.io = dynamic_cast<Io::SocketIo*>(object.Raw());
                reader.callback = m_Callback;
                reader.generation = m_uGeneration.load();
                reader.fresh = true;
            }
            Receive(reader);
        }
    }
}

// Waits up to ms, or until the engine stops running.
void UdpRecv::Rest(Reader const& reader, unsigned int ms)
{
    if (m_uState.load() != RUNNING || reader.generation != m_uGeneration.load())
        return;
    Platform::PollEntry wake{m_pWakeUp->Handle(), Platform::kPollRead, 0};
    Platform::Poll(&wake, 1, ms);
}

// Takes one datagram when one is waiting and delivers it, otherwise waits
// a while for the socket. Returns whether one was delivered. A thread reads
// again at once after a delivery, so a burst is drained without a wait per
// datagram. Only a socket that cannot receive at all makes the thread rest:
// a peer that sends bad datagrams must not stall the receiver.
bool UdpRecv::Receive(Reader& reader)
{
    // The socket is held open for the read and the wait: a number given
    // back by a close meanwhile could be another stream's, whose bytes a
    // datagram read would take and drop.
    Io::SocketIo::Use use;
    unsigned int socket = reader.io != nullptr ? use.Take(*reader.io) : Platform::kInvalidSocket;
    if (socket == Platform::kInvalidSocket) {
        Rest(reader, BROKEN_SOCKET_REST);
        return false;
    }
    // A fresh buffer and address block for every datagram (the callback may
    // keep them as long as it likes); one that got nothing is kept for the
    // next read.
    if (!reader.buffer.IsValid() && !NewBuffer(reader))
        return false;
    reader.source->m_uSocket = socket;
    bool read = reader.buffer.Write(reader.sourceHandle, DATAGRAM_ROOM, *reader.from);
    // Closed meanwhile: the close woke this read, and what it returned (a
    // shut-down socket reads as an empty datagram) is no datagram.
    if (reader.io->GetHandle() != socket) {
        reader.buffer.Clear();
        reader.from.Clear();
        return false;
    }
    if (!read) {
        switch (Platform::ClassifyReceiveError(reader.source->m_iError)) {
        case Platform::ReceiveError::NothingWaiting:
            WaitForSocket(reader, socket);
            break;
        case Platform::ReceiveError::BadDatagram:
            break;
        case Platform::ReceiveError::BrokenSocket:
            Rest(reader, BROKEN_SOCKET_REST);
            break;
        }
        return false;
    }
    use.Drop();
    Io::IoHandle buffer = reader.buffer;
    Core::Guard<Io::IoParam> param = reader.from;
    reader.buffer.Clear();
    reader.from.Clear();
    // Paused, detached or stopped meanwhile, or moved to another socket: the
    // datagram is dropped.
    if (m_uState.load() != RUNNING || reader.generation != m_uGeneration.load())
        return false;
    Deliver(reader, buffer, param);
    return true;
}

bool UdpRecv::NewBuffer(Reader& reader)
{
    Io::Socket::Param* from = new (std::nothrow) Io::Socket::Param;
    Core::Guard<Io::IoParam> param(from);
    if (from != nullptr)
        from->DecRef();
    Io::Memory memory;
    if (from == nullptr || !memory.Open(Io::Memory::MEM_SEQUENTIAL, DATAGRAM_ROOM)) {
        Core::Internal::ReportLine("Get udp recv buffer error");
        Rest(reader, NO_BUFFER_REST);
        return false;
    }
    if (!memory.GetWriteHandle().IsValid()) {
        Core::Internal::ReportLine("Get invalid buffer handle");
        Rest(reader, NO_BUFFER_REST);
        return false;
    }
    reader.buffer = memory.GetHandle();
    reader.from = param;
    return true;
}

// Waits until the socket has something, the engine stops running, or a
// slice of time has passed.
void UdpRecv::WaitForSocket(Reader const& reader, unsigned int socket)
{
    Platform::PollEntry entries[2] = {
        {socket, Platform::kPollRead, 0},
        {m_pWakeUp->Handle(), Platform::kPollRead, 0},
    };
    int ready = Platform::Poll(entries, 2, POLL_SLICE);
    if (ready < 0 || (entries[0].got & Platform::kPollInvalid) != 0)
        Rest(reader, BROKEN_SOCKET_REST);
}

void UdpRecv::Deliver(Reader& reader, Io::IoHandle& buffer, Core::Guard<Io::IoParam> const& from)
{
    buffer.SetParam(from);
    Io::ReadHandle datagram(buffer);
    datagram.Seek(0, Io::IoParam::BEGIN);
    // The result of a callback that returns one is ignored.
    if (!reader.callback.CallBackA(datagram)) {
        bool ignored = false;
        reader.callback.CallBackAR(datagram, ignored);
    }
}

// ------------------------------------------------------------ UdpRecvNotify

UdpRecvNotify::UdpRecvNotify() : m_Lock(Core::Lock::READ_WRITE_LOCK) {}

UdpRecvNotify::UdpRecvNotify(UdpRecvNotify const& other) : Notify(other), m_Lock(other.m_Lock)
{
    Core::Lock local(other.m_Lock);
    local.EnterRead();
    m_Engines = other.m_Engines;
}

UdpRecvNotify::~UdpRecvNotify() { StopEngines(1000); }

bool UdpRecvNotify::OnInit(Notify::Param const&) { return true; }

Core::Guard<NotifyBase> UdpRecvNotify::GetNotify(Core::CallBack const& attach) const
{
    // A detached engine keeps its threads: give it the new socket before
    // starting more threads in a new engine.
    std::vector<Core::Guard<NotifyBase>> idle;
    {
        Core::Lock local(m_Lock);
        local.EnterRead();
        for (Core::Guard<NotifyBase> const& engine : m_Engines) {
            UdpRecv const* receiver = dynamic_cast<UdpRecv const*>(engine.Raw());
            if (receiver != nullptr && receiver->GetState() == UdpRecv::IDLE)
                idle.push_back(engine);
        }
    }
    for (Core::Guard<NotifyBase> const& engine : idle) {
        bool accepted = false;
        attach.CallBackAR(Core::Guard<NotifyBase>(engine), accepted);
        if (accepted)
            return engine;
    }

    UdpRecv* created = new (std::nothrow) UdpRecv;
    if (created == nullptr)
        return Core::Guard<NotifyBase>();
    Core::Guard<NotifyBase> engine(created);
    created->DecRef();
    if (!engine->Init())
        return Core::Guard<NotifyBase>();
    bool accepted = false;
    attach.CallBackAR(Core::Guard<NotifyBase>(engine), accepted);
    if (!accepted)
        return Core::Guard<NotifyBase>();
    Core::Lock local(m_Lock);
    local.Enter();
    m_Engines.insert(engine);
    return engine;
}

// The engines are taken out under the lock and stopped outside it.
bool UdpRecvNotify::StopEngines(unsigned int timeout)
{
    EngineSet engines;
    {
        Core::Lock local(m_Lock);
        local.Enter();
        engines.swap(m_Engines);
    }
    bool stopped = true;
    for (Core::Guard<NotifyBase> const& engine : engines)
        stopped = engine.Raw()->UnInit(timeout) && stopped;
    return stopped;
}

bool UdpRecvNotify::UnInit(unsigned int timeout)
{
    bool stopped = StopEngines(timeout);
    return Notify::UnInit(timeout) && stopped;
}

unsigned int UdpRecvNotify::GetEngineCount() const
{
    Core::Lock local(m_Lock);
    local.EnterRead();
    return static_cast<unsigned int>(m_Engines.size());
}

} // namespace Sched
} // namespace Vor
