// The notify framework: the front end through which the library asks to be
// told when an I/O handle becomes ready.
//
// A notify watches nothing itself. It hands each attached handle to an
// engine (a NotifyBase) and remembers which engine holds which object, so
// that later requests about the object reach the same engine. Engines of one
// kind are shared by every notify of that kind in the process
// (TypeNotify<E>): an attach tries the engines in creation order and a new
// engine is made only when every one of them is full.
//
//     Core::Guard<SelectNotify> notify = Core::New<SelectNotify>();
//     notify->Init(Notify::Param(60000));
//     notify->Attach(socket.GetReadHandle(), onRead);
//     ...
//     notify->UnInit(1000);
#pragma once

#include <vor/core/export.h>

#include <vor/core/atomic.h>
#include <vor/core/callback.h>
#include <vor/core/guard.h>
#include <vor/core/lock.h>
#include <vor/io/iobase.h>

#include <atomic>
#include <unordered_map>
#include <new>
#include <type_traits>
#include <vector>

namespace Vor {
namespace Sched {

class NotifyBase;
namespace Internal {
struct Reporting;
}

// The front end of the readiness engines (see above): attach, detach, pause
// and resume sockets.
class VOR_API Notify : public Core::GlobalRef {
public:
    // The parameter block handed unchanged to every engine attach.
    class VOR_API Param : public Core::LocalRef {
    public:
        // No idle reports.
        static constexpr unsigned int NO_IDLE = 0xFFFFFFFFu;

        explicit Param(unsigned int idleTime = NO_IDLE) : m_uIdleTime(idleTime) {}
        Param(Param const& other) : LocalRef(), m_uIdleTime(other.m_uIdleTime) {}
        Param& operator=(Param const& other)
        {
            m_uIdleTime = other.m_uIdleTime;
            return *this;
        }
        ~Param() override = default;

        // Milliseconds an attached socket may stay without activity before
        // it is reported idle.
        unsigned int GetIdleTime() const { return m_uIdleTime; }
        void SetIdleTime(unsigned int ms) { m_uIdleTime = ms; }

    private:
        unsigned int m_uIdleTime;
    };

    // What one Attach hands to the engine-selection callback.
    template <class T>
    struct HandleParam {
        T const* handle;
        Core::CallBack const* callback;
    };

    Notify();
    Notify(Notify const& other);

    // Stores a counted copy of `param` (a Param or a class derived from it)
    // and calls OnInit with it. False when the copy cannot be made or
    // OnInit refuses.
    template <class P>
    bool Init(P const& param)
    {
        static_assert(std::is_base_of<Param, P>::value, "a notify is initialised with a Notify::Param");
        Core::Guard<Param> counted = Core::New<Param, P>(param);
        return counted.IsValid() && Start(counted);
    }

    // Detaches every recorded handle and drops the parameter block. Always
    // true; the time-out is for derived notifies.
    virtual bool UnInit(unsigned int timeout);
    // True when an engine took the handle and a new record was made. An
    // object already recorded is attached again in its own engine (which
    // widens what it watches) and the result is false. Refused: a notify
    // that is not initialised, and handles that hold no socket.
    virtual bool Attach(Io::WriteHandle const& handle, Core::CallBack const& callback);
    virtual bool Attach(Io::ReadHandle const& handle, Core::CallBack const& callback);
    // True when the recorded engine let the handle go (the record is then
    // dropped); false for a handle that was never attached.
    virtual bool Detach(Io::IoBase const& handle);
    // The recorded engine's result; false for a handle that was never
    // attached.
    virtual bool Pause(Io::IoBase const& handle) const;
    virtual bool Resume(Io::IoBase const& handle) const;
    // Whether the recorded engine also reports the handle's socket when it
    // becomes writable (`on`), or no longer does; a report then reaches the
    // callback the socket was first attached with. Takes effect at once for
    // a watched socket and at its Resume for a paused one. False for a
    // handle that was never attached, or whose socket is closed.
    virtual bool WatchWrite(Io::IoBase const& handle, bool on) const;
    // The number of recorded handles.
    virtual unsigned int GetCount() const;

protected:
    ~Notify() override;

    virtual bool OnInit(Param const& param);
    // An engine that accepted the attach made by `tryAttach` (called with
    // each candidate), or an empty guard.
    virtual Core::Guard<NotifyBase> GetNotify(Core::CallBack const& tryAttach) const = 0;
    // The engine recorded for the handle's object, or an empty guard.
    virtual Core::Guard<NotifyBase> GetNotify(Io::IoBase const& handle) const;
    // The parameter block; empty before Init and after UnInit.
    virtual Core::Guard<Param> GetParam() const;

private:
    // Hashed by object address, so that any handle over the object finds
    // it without a counted copy for the key; the record's handle holds the
    // object, so the address cannot be another object's meanwhile.
    struct Record {
        Io::IoHandle handle;
        Core::Guard<NotifyBase> engine;
    };
    using HandleMap = std::unordered_map<Io::IoObject const*, Record>;
    static Io::IoObject const* KeyOf(Io::IoBase const& handle) { return handle.As<Io::IoObject>(); }

    bool Start(Core::Guard<Param> const& param);
    template <class T>
    bool AttachHandle(T const& handle, Core::CallBack const& callback);
    template <class T>
    bool TryAttach(HandleParam<T>* param, Core::Guard<NotifyBase> engine);
    // Calls `call` with the engine recorded for the handle, under the read
    // lock; false when none is recorded.
    template <class Call>
    bool WithEngine(Io::IoBase const& handle, Call call) const;
    // The engine that is reporting the handle's socket to this notify on
    // the calling thread, or null.
    NotifyBase* ReportingEngine(Io::IoBase const& handle) const;
    // Calls `call` with that engine when there is one and it agrees, and
    // otherwise as WithEngine does.
    template <class Call>
    bool OnEngine(Io::IoBase const& handle, Call call) const;

    // The report being delivered on the calling thread when it is the
    // handle's, to this notify; null otherwise. The library's groups pause
    // and resume on its record (NotifyBase::MoveReported) where this
    // class's own Pause and Resume would reach the same.
    friend class TcpGroup;
    Internal::Reporting* ReportOf(Io::IoBase const& handle) const;
    // Pause (or resume) for a caller that found the socket open a moment
    // ago: false, and nothing said of it, when the socket has been closed
    // since (the caller then lets it go).
    bool MoveOpen(Io::IoBase const& handle, bool resume) const;

    // Guards the handle map and the parameter block. Held across an engine
    // call and the map change that goes with it, so that a record never
    // disagrees with the engine that holds the object: attach and detach
    // take it for writing, pause and resume for reading. Never held while
    // waiting for a thread.
    mutable Core::Lock m_Lock;
    Core::Guard<Param> m_Param;
    HandleMap m_Handles;
    // The parameter block's address while initialised: engines keep it
    // with each record, and a report names its notify by it.
    std::atomic<void const*> m_pOwner{nullptr};
};

// The engine interface: watches handles for one or more notifies.
class VOR_API NotifyBase : public Core::GlobalRef {
public:
    NotifyBase() = default;
    NotifyBase(NotifyBase const& other) : GlobalRef(other) {}

    virtual bool Init() { return true; }
    virtual bool UnInit(unsigned int) { return true; }
    virtual bool Attach(Io::WriteHandle const& handle, Core::CallBack const& callback, Notify::Param const& param) = 0;
    virtual bool Attach(Io::ReadHandle const& handle, Core::CallBack const& callback, Notify::Param const& param) = 0;
    virtual bool Detach(Io::IoBase const& handle) = 0;
    virtual bool Pause(Io::IoBase const& handle) = 0;
    virtual bool Resume(Io::IoBase const& handle) = 0;
    // Pause (or Resume) that says nothing when the handle's socket is
    // closed: another thread may close it after its caller looked.
    virtual bool MoveOpen(Io::IoBase const& handle, bool resume) { return resume ? Resume(handle) : Pause(handle); }
    // Pause (or resume) of the socket whose report this engine is
    // delivering on the calling thread, given the report's record: true
    // when done; false leaves it to Pause (Resume).
    virtual bool MoveReported(void* record, bool resume)
    {
        (void)record;
        (void)resume;
        return false;
    }
    // Resume, from any thread, of the socket whose record (held from its
    // report, see MoveReported) this is, while the record is still the
    // socket's: true when done; false leaves it to Resume.
    virtual bool ResumeRecord(Core::LocalRef& record)
    {
        (void)record;
        return false;
    }
    // See Notify::WatchWrite; an engine that cannot change what it watches
    // says false.
    virtual bool WatchWrite(Io::IoBase const& handle, bool on)
    {
        (void)handle;
        (void)on;
        return false;
    }
    // True when the engine has no room for another handle: the only refusal
    // for which a notify makes a new engine.
    virtual bool IsFull() const { return false; }

protected:
    ~NotifyBase() override = default;
};

// A notify whose engines are of kind E, shared by all notifies of kind E.
template <class E>
class VOR_API TypeNotify : public Notify {
public:
    bool UnInit(unsigned int timeout) override;

    // Initialised notifies of this kind, and the engines they share.
    static unsigned int GetTypeCount();
    static unsigned int GetEngineCount();

protected:
    TypeNotify() = default;
    TypeNotify(TypeNotify const& other) : Notify(other) {}
    // Ends this notify's share as UnInit does: the last notify of the kind
    // stops every engine.
    ~TypeNotify() override;

    bool OnInit(Param const& param) override;
    Core::Guard<NotifyBase> GetNotify(Core::CallBack const& tryAttach) const override;
    using Notify::GetNotify;
    // A new engine, not yet initialised.
    virtual Core::Guard<NotifyBase> CreateNotify() const = 0;

    // Serialises engine selection and the list of engines; taken before an
    // engine's own lock. Never held while waiting for an engine's thread.
    // Both live for the whole process: a task that ends on a thread nobody
    // waits for (StSched keeps no record of its threads) may release the
    // last reference on a notify while the process is already exiting.
    static Core::Lock& s_Lock;
    static std::vector<Core::Guard<NotifyBase>>& s_NotifyList;
    static Core::Value<unsigned int, 1, 0, 4, 1> s_iTypeCount;

private:
    bool Leave(unsigned int timeout);

    // Whether this notify is counted in s_iTypeCount: each notify counts
    // once, however often it is initialised or uninitialised.
    std::atomic<bool> m_bCounted{false};
};

// The notify whose engines are select engines (63 sockets each).
class VOR_API SelectNotify : public TypeNotify<SelectNotify> {
public:
    SelectNotify() = default;

protected:
    ~SelectNotify() override;

private:
    Core::Guard<NotifyBase> CreateNotify() const override;
};

extern template class TypeNotify<SelectNotify>;

} // namespace Sched
} // namespace Vor
