// Socket groups: sets of sockets that belong together (a server's listener
// and its connections, a client's self-renewing connections, a UDP socket),
// watched through one notify and reported to one IoEvent.
//
// A group turns each readiness report of the notify into calls of the
// event's six callbacks and, when a callback asks for it or the socket
// fails, runs the socket's close path: OnClose, detach from the notify,
// close, and (when OnClose asked for it) open the group's socket again
// 100 ms later. The old socket is always closed before the new one is
// opened, so a reopen on the same address finds the address free.
//
// A TcpGroup does not run application code on the notify's thread: it
// pauses the reported socket, dispatches the work as a task to a handler of
// its own in its scheduler and resumes the socket when the task is done. At
// most one task per connection runs at a time. Under the library's own
// LocalSched an AcceptGroup or ConnectGroup whose own handler is registered
// runs the task in place without building it, as LocalSched would run it;
// a subclass of either, another scheduler, or a handler put in place of the
// group's own gets the built task.
//
// A TCP group may queue writes (Param::m_uQueueLimit). GetDevice then
// answers with a device that never waits: what the kernel takes goes at
// once, the rest waits in a queue of the connection's own, in order, and
// goes when the socket is reported writable; OnWrite hears when a queue
// has drained. A write that would take the queue past the limit fails and
// sends nothing, so the application decides: close, or write again after
// OnWrite. Writes through the device from several threads keep their order;
// a write straight to the connection's own handle bypasses the queue.
// What is still queued when the connection closes:
//   - on the close path (OnClose, an error, the device's Close) what the
//     kernel takes at once is sent, the rest is dropped;
//   - a connection the application closed itself drops its queue;
//   - UnInit(timeout) first waits up to `timeout` for every queue to go,
//     then drops what is left, and from then on the group's devices fail.
//
//     Guard<AcceptGroup> group = New<AcceptGroup>(SocketGroup::SYNC);
//     IoTrigger::Param param(scheduler, notify, event);
//     group->Init(param);
//     group->Create(Io::Socket::Address("127.0.0.1", 7000));
//     ...
//     group->UnInit(1000);
#pragma once

#include <vor/core/export.h>

#include <vor/core/callback.h>
#include <vor/core/guard.h>
#include <vor/core/lock.h>
#include <vor/io/iobase.h>
#include <vor/io/socket.h>
#include <vor/sched/event.h>
#include <vor/sched/handler.h>
#include <vor/sched/notify.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <set>
#include <unordered_map>

namespace Vor {
namespace Sched {

namespace Internal {
class SendQueue;
struct Reporting;
}

// The base of socket groups (see above).
class VOR_API SocketGroup : public IoTrigger {
public:
    // How a group opens its sockets. Only SYNC (in CreateGroup, on the
    // calling thread) is defined; accept and UDP groups open nothing for
    // any other value.
    enum Type : unsigned int {
        SYNC = 0,
    };

    // The parameter of connect groups: how many connections to keep and
    // how long to pause after a failed attempt; and, for every TCP group,
    // whether it queues writes.
    class VOR_API Param : public IoTrigger::Param {
    public:
        Param() = default;
        Param(Core::Guard<Scheduler> const& scheduler, Core::Guard<Notify> const& notify,
              Core::Guard<IoEvent> const& event, unsigned int connections = 0, unsigned int interval = 0,
              unsigned int queueLimit = 0)
            : IoTrigger::Param(scheduler, notify, event), m_uConnections(connections), m_uInterval(interval),
              m_uQueueLimit(queueLimit)
        {
        }
        unsigned int m_uConnections = 0;
        unsigned int m_uInterval = 0; // milliseconds
        // The bytes a connection's write device may hold back; 0 (the
        // default): a write through the device waits until the kernel has
        // taken every byte.
        unsigned int m_uQueueLimit = 0;
    };

    explicit SocketGroup(Type type);
    SocketGroup(SocketGroup const& other);

    bool Init(Trigger::Param& param) override;
    // Releases event, notify (which detaches every socket still attached)
    // and scheduler, in that order.
    bool UnInit(unsigned int timeout) override;

    // The base group answers nowhere: it writes a line and returns a handle
    // on the null object. Every concrete group overrides it.
    Io::WriteHandle GetDevice(Io::IoBase const& handle) const override;

    // Stores the address and opens the group's socket(s) for it.
    bool Create(Io::Socket::Address const& address);
    // The group's main socket; empty for groups that have none.
    virtual Io::IoHandle GetSocket() const;

    Type GetType() const { return m_Type; }
    Io::Socket::Address GetAddress() const;

protected:
    ~SocketGroup() override = default;

    // Opens the group's socket(s) for the stored address.
    virtual bool CreateGroup() = 0;

    // Forwarders to the event's callbacks; false when the group has no
    // event (never initialised, or already uninitialised).
    virtual bool OnOpen(Io::IoBase& handle);
    virtual bool OnIdle(Io::IoBase& handle);
    virtual bool OnRead(Io::ReadHandle& handle);
    virtual bool OnWrite(Io::WriteHandle& handle);
    virtual bool OnError(Io::IoBase& handle);
    virtual bool OnClose(Io::IoBase& handle);

    // What one report leads to once the read or write callback has run:
    // idle and exception handling, and the close path when the socket is
    // not to be kept. True when the socket stays attached; after a close,
    // whether the group's socket was opened again.
    virtual bool ParseNotify(Io::IoBase& handle, bool keep);
    // The callback to attach sockets with: it reaches OnReadNotify (read)
    // or OnWriteNotify. It holds a reference on the group, so a late report
    // never finds the group gone; the notify's UnInit drops it.
    virtual Core::CallBack GetCallBack(bool read);
    virtual void OnReadNotify(Io::ReadHandle handle);
    virtual void OnWriteNotify(Io::WriteHandle handle);
    // The rest of a report whose socket was found open and not let go of
    // just now: OnRead (OnWrite), then what the callbacks asked for. True
    // when ParseNotify kept the socket.
    bool ReadOpen(Io::ReadHandle& handle);
    bool WriteOpen(Io::WriteHandle& handle);

    // Whether the handle's socket is open: not closed, and not on its way
    // through the close path.
    bool IsOpen(Io::IoBase const& handle) const;
    // Whether the handle holds a socket that is not closed.
    static bool IsLive(Io::IoBase const& handle);
    // Lets go of a socket the application closed itself: detached once,
    // quietly, and no callback hears of it. True when it was such a socket.
    bool DropClosed(Io::IoBase const& handle);
    // Whether CreateGroup, asked after a close, would open anything; the
    // close path waits before a reopen only then. Groups whose socket stays
    // open (an accept group's listener) say no while it does.
    virtual bool IsReopenNeeded() const { return true; }
    // A socket the application closed itself has been let go of: a group
    // that lists its sockets takes it off the list here.
    virtual void OnDropped(Io::IoBase const& handle) { (void)handle; }
    // The close path is about to close the socket (OnClose has run, the
    // socket is detached), and has closed it or let it go; `object` is
    // the socket's object, kept alive for the call. OnClosed also follows
    // OnDropped.
    virtual void OnClosing(Io::IoBase& handle) { (void)handle; }
    virtual void OnClosed(Io::IoObject const* object) { (void)object; }

private:
    static void ReadReport(Core::Guard<SocketGroup> const& group, Io::ReadHandle const& handle);
    static void WriteReport(Core::Guard<SocketGroup> const& group, Io::WriteHandle const& handle);

    // Takes the close path of the handle's object for the calling thread;
    // false when another thread has it, or (unless `closed` is allowed) the
    // socket is already closed.
    bool ClaimClose(Io::IoBase const& handle, bool closed = false);
    void ReleaseClose(Io::IoObject const* object);
    bool ClosePath(Io::IoBase& handle);

    // Guards the stored address (read by connect threads and reopens).
    mutable Core::Lock m_AddressLock{Core::Lock::SPIN_LOCK};
    Io::Socket::Address m_Address;
    Type m_Type;
    // Set while UnInit runs: the notify then detaches every socket itself,
    // and a close path that finds its socket gone has nothing to report.
    std::atomic<bool> m_bStopping{false};
    // Objects whose close path is running. An idle report and a task of the
    // same socket can both decide to close it; only the first one does.
    // The entry's object is kept alive by the claiming thread's handle.
    mutable Core::Lock m_CloseLock{Core::Lock::SPIN_LOCK};
    std::set<Io::IoObject const*> m_Closing;
    // The size of m_Closing, read without the lock: mostly nothing closes.
    std::atomic<std::size_t> m_uClosing{0};
};

// A group of TCP sockets whose reports run as tasks in its scheduler, one
// at a time per connection (see above).
class VOR_API TcpGroup : public SocketGroup {
public:
    // The handler every TCP group registers under its sequence: it runs
    // the task parameter's Proc.
    class VOR_API Pool : public Handler {
    public:
        Pool() = default;
        unsigned int GetID() override { return 0; }
        bool OnHandle(Core::Guard<Handler::Param> param) override;

    protected:
        ~Pool() override = default;
    };

    // A task of the group: Proc runs one dispatched report.
    class VOR_API ParamProc : public Handler::Param {
    public:
        virtual bool Proc() = 0;

    protected:
        ~ParamProc() override = default;
    };

    // One dispatched report: the reported handle, and counted references
    // on the group and its notify, which therefore outlive the task.
    template <class T>
    class VOR_API Param : public ParamProc {
    public:
        explicit Param(T const& handle) : m_Handle(handle) {}
        // Runs the report, then resumes the socket in the notify.
        bool Proc() override;

        T m_Handle;
        Core::Guard<TcpGroup> m_Group;
        Core::Guard<Notify> m_Notify;
        // The engine that reported the socket and its record there, when
        // the notify is of the library's own kinds: the resume goes to the
        // record first (NotifyBase::ResumeRecord).
        Core::Guard<NotifyBase> m_Engine;
        Core::Guard<Core::LocalRef> m_Record;

    protected:
        ~Param() override = default;
    };

    explicit TcpGroup(Type type);
    // The copy gets a sequence (and so a pool registration) of its own,
    // and queues of its own.
    TcpGroup(TcpGroup const& other);
    TcpGroup& operator=(TcpGroup const&) = delete;

    // Registers the pool handler in the parameter's scheduler under the
    // group's sequence, then initialises the trigger. False, with a line,
    // when the parameter has no scheduler or the registration fails. A
    // SocketGroup::Param with a queue limit turns queued writes on.
    bool Init(Trigger::Param& param) override;
    // With queued writes, first waits up to `timeout` ms for the queues to
    // go and drops what is left; then uninitialises the trigger and takes
    // the pool handler out of the scheduler again.
    bool UnInit(unsigned int timeout) override;
    // A TCP connection answers on itself; with queued writes, on its
    // queue's device (a handle that holds no open socket answers on
    // itself, and after UnInit the device is empty and fails).
    Io::WriteHandle GetDevice(Io::IoBase const& handle) const override;
    // The bytes waiting in the connection's queue; 0 without one.
    std::size_t GetQueued(Io::IoBase const& handle) const;

    // The id the pool handler is registered under: 2^32 plus a sequence
    // number.
    std::uint64_t GetSequenceId() const { return m_uSequence; }

protected:
    ~TcpGroup() override;

    void OnReadNotify(Io::ReadHandle handle) override;
    void OnClosing(Io::IoBase& handle) override;
    void OnClosed(Io::IoObject const* object) override;
    void OnWriteNotify(Io::WriteHandle handle) override;

    // A report asks that its socket stay paused after it (HoldNext); once
    // the report has run, HoldResume is asked to take on resuming it. True
    // when it does (the socket is then resumed by the group, later); false
    // resumes it at once, as after any report.
    void HoldNext() { m_bHold.store(true); }
    bool TakeHold() { return m_bHold.exchange(false); }
    virtual bool HoldResume(Io::IoBase const& handle, Core::Guard<Notify> const& notify);

private:
    friend class SocketGroup;

    static std::uint64_t GetSeq();
    static Core::Guard<Handler> CreatePool();

    // A report reaching a group of the library's own kinds runs its task in
    // place (RunInPlace) straight from the report's handle, without the
    // copy OnReadNotify takes. False when the report goes the usual way.
    template <class T>
    static bool ReportInPlace(SocketGroup& group, T const& handle);
    template <class T>
    void DispatchNotify(T const& handle);
    // Runs the report here when its task would run here at once through
    // nothing an application may have overridden: a group of the
    // library's own kinds (checked by ReportInPlace, whose caller holds
    // the group), the library's own LocalSched, and the group's own pool
    // handler under its sequence. False when it is not so.
    template <class T>
    bool RunInPlace(T const& handle);
    // The task of one report: the report's callbacks, then the resume (or
    // the hold, or letting go of a socket closed meanwhile). The callbacks
    // get their own copy of the handle; the resume goes to `handle`.
    // `report`: run in place in that report, whose record takes the resume
    // first (see Notify::ReportOf); `record`: a record of `engine` held
    // from the report, which takes it first otherwise.
    template <class T>
    bool RunReport(T const& handle, Core::Guard<Notify> const& notify, bool open = false,
                   Internal::Reporting* report = nullptr, NotifyBase* engine = nullptr,
                   Core::LocalRef* record = nullptr);
    // Dispatches the task as Dispatch(GetSequenceId(), param) would. A
    // group of the library's own kinds under a thread pool or thread
    // scheduler of the library's own hands it to the scheduler's policy
    // without the registry's look-up while the registry's version shows a
    // pool under the sequence (any pool runs a task alike).
    bool DispatchTask(Core::Guard<Handler::Param> const& param);
    // Whether the notify is of the library's own kinds, which pause and
    // resume on an engine's record as their Pause and Resume would.
    static bool IsOwnNotify(Notify const& notify);
    // Pause (or resume) of a socket found open a moment ago: a notify of the
    // library's own kinds says nothing when another thread has closed it
    // since, and the caller lets it go.
    static bool MoveSocket(Notify const& notify, Io::IoBase const& handle, bool resume);
    // Whether the group is exactly of the library's own kinds, whose
    // report callbacks, Dispatch and ParseNotify are the library's.
    static bool IsOwnKind(SocketGroup const& group);
    // Whether the scheduler, still at `version`, has a Pool under the
    // group's sequence; `found` then takes the version.
    bool PoolAt(Scheduler const& scheduler, std::uint64_t version, std::atomic<std::uint64_t>& found) const;
    // `open`: the socket was found open just before, on this thread. True
    // when a ParseNotify of the library's own (see IsOwnKind) kept the
    // socket just now.
    bool ContinueNotify(Io::ReadHandle const& handle, bool open);
    bool ContinueNotify(Io::WriteHandle const& handle, bool open);

    // The connection's queue, or an empty guard.
    Core::Guard<Internal::SendQueue> FindQueue(Io::IoBase const& handle) const;
    // Runs the reported writability: true when the connection's queue was
    // sent to its end.
    bool FlushQueue(Io::IoBase const& handle);

    std::uint64_t m_uSequence;
    std::atomic<bool> m_bHold{false};
    // The scheduler version at which the pool was last found registered
    // under the sequence (0: not yet): a report runs in place without the
    // look-up while the version stays.
    std::atomic<std::uint64_t> m_uPoolVersion{0};
    // The same for DispatchTask, under any scheduler.
    std::atomic<std::uint64_t> m_uTaskVersion{0};
    // The queue limit, 0 without queued writes; and the queues, made by
    // GetDevice and let go of when their connection closes.
    std::atomic<unsigned int> m_uQueueLimit{0};
    using QueueMap = std::unordered_map<Io::IoObject const*, Core::Guard<Internal::SendQueue>>;
    mutable Core::CellLock m_QueueLock;
    mutable QueueMap m_Queues;
    mutable bool m_bQueuesEnded = false;
    // The scheduler the pool was registered in, for UnInit.
    mutable Core::Lock m_PoolLock{Core::Lock::SPIN_LOCK};
    Core::Guard<Scheduler> m_PoolScheduler;
};

} // namespace Sched
} // namespace Vor
