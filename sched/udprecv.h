// The UDP receiver: a notify for UDP sockets that works with receive threads
// of its own instead of a readiness engine.
//
// Every socket attached to a UdpRecvNotify gets an engine of its own, a
// UdpRecv, which runs a small pool of receive threads. Each datagram is read
// into a fresh memory buffer and handed to the callback given at attach time
// as an Io::ReadHandle over that buffer; the buffer's parameter is a
// Socket::Param holding the sender's address. The callback runs on the
// receive threads, several at once for one socket, so datagrams of one
// socket may be delivered out of their arrival order.
//
//     Core::Guard<UdpRecvNotify> notify = Core::New<UdpRecvNotify>();
//     notify->Init(UdpRecvNotify::Param(4, 1 << 20));
//     Core::CallBack onDatagram;
//     onDatagram.Bind(&OnDatagram);            // void OnDatagram(Io::ReadHandle)
//     notify->Attach(udp.GetReadHandle(), onDatagram);
//     ...
//     notify->UnInit(1000);
//
// Pausing, resuming and detaching only change the engine's state; its
// threads stay until the engine is uninitialised, and a detached engine is
// given to the next socket attached to the same notify.
#pragma once

#include <vor/core/export.h>

#include <vor/core/callback.h>
#include <vor/core/lock.h>
#include <vor/core/thread.h>
#include <vor/io/iobase.h>
#include <vor/sched/notify.h>

#include <atomic>
#include <memory>
#include <set>
#include <vector>

namespace Vor {
namespace Platform {
class WakeUp;
}

namespace Sched {

// A notify whose receive threads wait on UDP sockets themselves (see above).
class VOR_API UdpRecvNotify : public Notify {
public:
    // How many receive threads to run and each socket's receive buffer.
    class VOR_API Param : public Notify::Param {
    public:
        explicit Param(unsigned int threadCount = 1, int recvBufferSize = 64 * 1024)
            : m_uThreadCount(threadCount), m_iRecvBufferSize(recvBufferSize)
        {
        }
        Param(Param const& other)
            : Notify::Param(other), m_uThreadCount(other.m_uThreadCount), m_iRecvBufferSize(other.m_iRecvBufferSize)
        {
        }
        Param& operator=(Param const& other)
        {
            Notify::Param::operator=(other);
            m_uThreadCount = other.m_uThreadCount;
            m_iRecvBufferSize = other.m_iRecvBufferSize;
            return *this;
        }
        ~Param() override = default;

        // Receive threads per attached socket.
        unsigned int m_uThreadCount;
        // The socket's receive buffer size (SO_RCVBUF), set at attach time.
        int m_iRecvBufferSize;
    };

    UdpRecvNotify();
    // Shares the source's lock; holds the source's engines as well.
    UdpRecvNotify(UdpRecvNotify const& other);

    // Stops every engine's threads (waiting up to `timeout` ms for each
    // engine), releases the engines, then detaches every handle. False when
    // some engine's threads could neither end nor be killed.
    bool UnInit(unsigned int timeout) override;

    // The engines this notify holds (attached or detached).
    unsigned int GetEngineCount() const;

protected:
    // Stops the engines that UnInit did not.
    ~UdpRecvNotify() override;

    // Accepts any parameter block: each engine's Attach checks its own.
    bool OnInit(Notify::Param const& param) override;
    // A detached engine of this notify when one takes the attach, otherwise
    // a new one.
    Core::Guard<NotifyBase> GetNotify(Core::CallBack const& attach) const override;
    using Notify::GetNotify;

private:
    using EngineSet = std::set<Core::Guard<NotifyBase>>;

    bool StopEngines(unsigned int timeout);

    // Guards the engine set. Never held while an engine waits for its
    // threads: a callback on a receive thread may attach to this notify.
    mutable Core::Lock m_Lock;
    mutable EngineSet m_Engines;
};

// The engine of one UDP socket and its receive threads.
class VOR_API UdpRecv : public NotifyBase {
public:
    // Where the receive threads are.
    enum State : unsigned int {
        RUNNING = 0, // threads receive and deliver
        PAUSED = 1,  // threads stop after their current read
        IDLE = 2,    // initialised, no socket receiving (also after Detach)
        STOPPED = 3, // threads end
    };

    UdpRecv();
    // Shares the source's lock; has no socket, callback or threads.
    UdpRecv(UdpRecv const& other);

    bool Init() override;
    // Stops the threads: wakes them and waits up to `timeout` ms (at least
    // the short time a woken thread needs) for them to end, then kills those
    // still inside a callback. False only when killing failed. From one of
    // the engine's own threads, that thread is left to end by itself.
    bool UnInit(unsigned int timeout) override;
    // Always false: the receiver only reads.
    bool Attach(Io::WriteHandle const& handle, Core::CallBack const& callback, Notify::Param const& param) override;
    // Receives from `handle` with the parameter's thread count (threads of
    // an earlier attach are reused). False unless the engine is IDLE, or when
    // `param` is not a UdpRecvNotify::Param (with a message).
    bool Attach(Io::ReadHandle const& handle, Core::CallBack const& callback, Notify::Param const& param) override;
    // Each is false, changing nothing, for a handle of another object.
    bool Detach(Io::IoBase const& handle) override;
    bool Pause(Io::IoBase const& handle) override;
    bool Resume(Io::IoBase const& handle) override;

    unsigned int GetState() const { return m_uState.load(); }
    // The receive threads started and not yet ended by UnInit.
    unsigned int GetThreadCount() const;

protected:
    ~UdpRecv() override;

private:
    struct Reader;

    void ThreadProc(Core::Guard<UdpRecv> self);
    bool Receive(Reader& reader);
    bool NewBuffer(Reader& reader);
    void WaitForSocket(Reader const& reader, unsigned int socket);
    void Deliver(Reader& reader, Io::IoHandle& buffer, Core::Guard<Io::IoParam> const& from);
    void Rest(Reader const& reader, unsigned int ms);
    bool Matches(Io::IoBase const& handle) const;
    template <class Change>
    bool Control(Io::IoBase const& handle, Change change);
    void WakeAll();

    // RUNNING, PAUSED, IDLE or STOPPED. Written under m_Lock together with
    // the wake-up, read by the threads without it.
    std::atomic<unsigned int> m_uState;
    std::atomic<unsigned int> m_uThreadCount;
    unsigned int m_uIdleTime;
    // Bumped (under m_Lock) whenever the socket or callback is replaced, so
    // that each thread takes a fresh copy before it reads again.
    std::atomic<unsigned int> m_uGeneration;
    // Guards the socket, the callback and the thread list.
    mutable Core::Lock m_Lock;
    Io::ReadHandle m_Socket;
    Core::CallBack m_Callback;
    Core::Signal m_Signal;
    // Readable while the engine is not running: ends the threads' waits on
    // the socket at once when it is paused, detached or stopped.
    std::unique_ptr<Platform::WakeUp> m_pWakeUp;
    std::vector<unsigned int> m_Threads;
};

} // namespace Sched
} // namespace Vor
