// Soak: the whole stack over loopback for a bounded time, once per readiness
// engine, with faults injected while the traffic flows. Every echoed byte is
// checked against what was sent; at the end the survivors' bytes are matched
// with the server's counts, and descriptors, threads and resident memory are
// compared with the start. Prints what was injected and what survived, then
// "N passed, M failed"; the exit status is 0 only when nothing failed.
//
//   vor_soak [--seconds N] [--connections N]
#include <vor/vor.h>

#include "support/net.h"
#include "support/wait.h"

#include "soak/sockets.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace Vor;
using Core::Guard;

namespace {

std::uint64_t Now()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::atomic<unsigned int> g_Passed{0}, g_Failed{0};

bool Check(bool ok, std::string const& what)
{
    ++(ok ? g_Passed : g_Failed);
    if (!ok)
        std::fprintf(stderr, "soak: FAILED: %s\n", what.c_str());
    return ok;
}

// What is injected, and how often the system came through it as it should.
enum Fault { RESET, HALF_CLOSE, STALL, BAD_KIND, HUGE_LENGTH, CUT_BODY, APP_CLOSE, LISTENER, SERVER_AWAY,
             DEAF_PEER, BURST, EMPTY_DGRAM, BIG_DGRAM, LOG_SWAP, FAULTS };
char const* const kFaultNames[FAULTS] = {
    "peer reset mid-message",  "half-close",          "reader stopped reading",      "packet of unknown kind",
    "packet over the limit",   "packet cut by reset", "closed by the server's code", "listener closed",
    "connect group's server gone", "connect group on a deaf peer", "burst of connects", "empty datagram",
    "oversized datagram",      "log swap and backup"};
std::atomic<unsigned int> g_Injected[FAULTS], g_Survived[FAULTS];
std::atomic<std::uint64_t> g_Messages{0}, g_Bytes{0}, g_Opened{0}, g_Lost{0}, g_Unaccepted{0};
std::atomic<int> g_Live{0};
// Orders accepts against the clients' connects and resets.
std::atomic<std::uint64_t> g_Clock{0};

// What a readable connection holds now: one receive; FAILED at its end.
unsigned int ReadSome(Io::IoBase const& handle, char* buffer, unsigned int size)
{
    Guard<Io::IoObject> object = handle.GetObject();
    Io::SocketIo* socket = dynamic_cast<Io::SocketIo*>(object.Raw());
    return socket == nullptr ? Io::IoObject::FAILED : socket->ReadOnce(buffer, size, 0);
}

// The callbacks the soak's events have no use for.
class QuietEvent : public Sched::IoEvent {
public:
    bool OnIdle(Io::IoBase&) override { return true; }
    bool OnWrite(Io::WriteHandle&) override { return true; }
    bool OnError(Io::IoBase&) override { return true; }
};

// ------------------------------------------------------------- framing
// kind (2 bytes: 1 request, 2 response), sequence (2), body length (4), body.
constexpr unsigned int kHeader = 8;

void PutHeader(std::string& to, unsigned short kind, unsigned short seq, unsigned int length)
{
    std::uint64_t header = std::uint64_t(kind) << 48 | std::uint64_t(seq) << 32 | length;
    for (int shift = 56; shift >= 0; shift -= 8)
        to.push_back(static_cast<char>(header >> shift));
}

// The server's side of a framed connection: each request goes back as the
// response with the same sequence and body.
class Frame : public Util::PacketUtil {
public:
    Frame() : m_Packet(CreateIo()), m_Send(m_Packet), m_Recv(m_Packet) {}
    bool Echo(Io::ReadHandle const& from, Io::WriteHandle to, unsigned int& bytes)
    {
        if (!CreateTcp(from))
            return false;
        m_uKind = 2;
        bytes = kHeader + m_uLength;
        return Send(to);
    }

protected:
    Io::ReadHandle& GetSendPacket() override { return m_Send; }
    Io::WriteHandle& GetRecvPacket() override { return m_Recv; }
    unsigned int GetHeaderSize() override { return kHeader; }
    unsigned int GetBodySize() override { return m_uLength; }
    bool EncodeHeader() override
    {
        return m_Packet.WriteUInt16(m_uKind) && m_Packet.WriteUInt16(m_uSeq) && m_Packet.WriteUInt32(m_uLength);
    }
    bool DecodeHeader() override
    {
        m_uKind = m_Packet.ReadUInt16();
        m_uSeq = m_Packet.ReadUInt16();
        m_uLength = m_Packet.ReadUInt32();
        return m_uKind == 1;
    }

private:
    Io::IoHandle m_Packet;
    Io::ReadHandle m_Send;
    Io::WriteHandle m_Recv;
    unsigned short m_uKind = 0, m_uSeq = 0;
    unsigned int m_uLength = 0;
};

// ------------------------------------------------------------- server
// The first byte of a connection chooses its service: 'R' echoes bytes as
// they come, 'P' answers framed requests. A small send buffer and writes
// that block for at most a second drop a peer that stops reading soon,
// instead of holding memory or a worker; a client that reads never has
// more than its window outstanding, so its writes never wait.
class Server : public QuietEvent {
public:
    struct Conn {
        std::uint64_t accepted = ++g_Clock;
        char mode = 0;
        std::atomic<std::uint64_t> in{0}, out{0};
        std::unique_ptr<Frame> frame;
        Io::IoHandle handle;
    };

    bool OnOpen(Io::IoBase& handle) override
    {
        Soak::SetLimits(static_cast<int>(Io::Socket::Param::GetHandle(handle)), 1000, 3000, 65536);
        auto conn = std::make_shared<Conn>();
        conn->handle = Io::IoHandle(handle);
        unsigned short port = Io::Socket::GetAddress(handle, Io::Socket::Param::PEER_ADDR).Port();
        std::lock_guard<std::mutex> hold(m_Lock);
        m_Live[handle.GetObject().Raw()] = conn;
        m_Ports[port] = conn;
        m_AcceptedAt[port] = conn->accepted;
        ++opened;
        return true;
    }
    bool OnRead(Io::ReadHandle& handle) override
    {
        std::shared_ptr<Conn> conn = Find(handle);
        unsigned int n = 0;
        if (!conn)
            return false;
        if (conn->mode == 0) {
            if (ReadSome(handle, &conn->mode, 1) != 1)
                return false;
            ++conn->in;
            if (conn->mode == 'P')
                conn->frame.reset(new Frame);
        } else if (conn->frame) {
            if (!conn->frame->Echo(handle, GetDevice(handle), n))
                return false;
            conn->in += n;
            conn->out += n;
        } else {
            char buffer[16384];
            if ((n = ReadSome(handle, buffer, sizeof buffer)) == Io::IoObject::FAILED)
                return false;
            conn->in += n;
            if (!GetDevice(handle).Write(buffer, n))
                return false;
            conn->out += n;
        }
        return true;
    }
    bool OnClose(Io::IoBase& handle) override
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        auto found = m_Live.find(handle.GetObject().Raw());
        if (found == m_Live.end()) {
            if (m_AppClosed.count(handle.GetObject().Raw()) != 0)
                return false; // closed by CloseByApp while its close path ran
            ++listenerCloses;
            return true; // the listener: open a new one
        }
        for (auto at = m_Ports.begin(); at != m_Ports.end(); ++at)
            if (at->second == found->second) {
                m_Ports.erase(at);
                break;
            }
        m_Live.erase(found);
        ++closed;
        return false;
    }
    // The service's own code closes the connection from `port` while its
    // reports run: no OnClose follows, the group lets go of it by itself.
    void CloseByApp(unsigned short port)
    {
        Io::IoHandle handle;
        {
            std::lock_guard<std::mutex> hold(m_Lock);
            auto found = m_Ports.find(port);
            if (found == m_Ports.end())
                return;
            handle = found->second->handle;
        }
        Io::IoObject const* object = handle.GetObject().Raw();
        handle.Close();
        std::lock_guard<std::mutex> hold(m_Lock);
        auto found = m_Live.find(object);
        if (found == m_Live.end())
            return; // its close path came first and counted it
        // Kept, so that its object's address is never taken for the
        // listener's.
        m_AppClosed[found->first] = found->second->handle;
        m_Live.erase(found);
        m_Ports.erase(port);
        ++appClosed;
    }
    // After the group's UnInit: its connections close as their objects go.
    void LetGo()
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        for (auto& live : m_Live)
            live.second->handle.Clear();
    }
    std::shared_ptr<Conn> Find(Io::IoBase const& handle)
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        auto found = m_Live.find(handle.GetObject().Raw());
        return found == m_Live.end() ? nullptr : found->second;
    }
    // Whether the connection from `port` was accepted after `since`.
    bool AcceptedSince(unsigned short port, std::uint64_t since)
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        auto found = m_AcceptedAt.find(port);
        return found != m_AcceptedAt.end() && found->second > since;
    }
    std::shared_ptr<Conn> ByPort(unsigned short port)
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        auto found = m_Ports.find(port);
        return found == m_Ports.end() ? nullptr : found->second;
    }

    std::atomic<unsigned int> opened{0}, closed{0}, appClosed{0}, listenerCloses{0};

private:
    std::mutex m_Lock;
    std::map<Io::IoObject const*, std::shared_ptr<Conn>> m_Live;
    std::map<Io::IoObject const*, Io::IoHandle> m_AppClosed;
    std::map<unsigned short, std::shared_ptr<Conn>> m_Ports;
    std::map<unsigned short, std::uint64_t> m_AcceptedAt;
};

sockaddr_in Loopback(unsigned short port)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return to;
}

// A notify that can break the listener as an engine reports a broken
// socket: the listener's next report, which a connect brings about, carries
// an exception condition, and the group closes the listener and opens a new
// one. The report is the engine's own, made on its thread, so that nothing
// here races the engine's attributes or its pause.
template <class N>
class Tapped : public N {
public:
    explicit Tapped(Server* server) : m_pServer(server) {}
    bool Attach(Io::ReadHandle const& handle, Core::CallBack const& callback) override
    {
        // Asked first: a connection is known from OnOpen on, and may be gone
        // again as soon as it is attached.
        if (m_pServer->Find(handle))
            return N::Attach(handle, callback);
        {
            std::lock_guard<std::mutex> hold(m_Lock);
            m_Report = callback;
        }
        Core::CallBack tap;
        tap.Bind(this, &Tapped::Report);
        return N::Attach(handle, tap);
    }
    // Whether the connect that brings the listener's report went through.
    bool BreakListener(unsigned short port)
    {
        m_bBreak.store(true);
        int fd = Soak::Open(SOCK_STREAM);
        bool connected = fd >= 0 && Soak::Connect(fd, Loopback(port));
        if (fd >= 0)
            Soak::Close(fd);
        return connected;
    }

private:
    void Report(Io::ReadHandle handle)
    {
        if (m_bBreak.exchange(false))
            handle.SetAttrib(Io::IoParam::EXCEPT, true);
        Core::CallBack report;
        {
            std::lock_guard<std::mutex> hold(m_Lock);
            report = m_Report;
        }
        report.CallBackA(handle);
    }

    Server* m_pServer;
    std::atomic<bool> m_bBreak{false};
    std::mutex m_Lock;
    Core::CallBack m_Report;
};

// The connect group's side: a byte echo whose answers must all be '!'; a
// connection that closes is replaced.
class Pinger : public QuietEvent {
public:
    bool OnOpen(Io::IoBase& handle) override { return Io::WriteHandle(Io::IoHandle(handle)).Write("R", 1); }
    bool OnRead(Io::ReadHandle& handle) override
    {
        char buffer[4096];
        unsigned int n = ReadSome(handle, buffer, sizeof buffer);
        if (n == Io::IoObject::FAILED)
            return false;
        got += n;
        bad += n - static_cast<unsigned int>(std::count(buffer, buffer + n, '!'));
        return true;
    }
    bool OnClose(Io::IoBase&) override { return true; }

    std::atomic<std::uint64_t> got{0}, bad{0};
};

// The UDP receiver's side: datagram s carries its number in 4 bytes and
// then (s + i) & 0xFF at byte i, 4 + s % 1400 bytes in all.
class Datagrams {
public:
    Core::CallBack Callback()
    {
        Core::CallBack callback;
        callback.Bind(this, &Datagrams::OnDatagram);
        return callback;
    }
    static std::string Make(std::uint32_t s)
    {
        std::string bytes(4 + s % 1400, '\0');
        std::memcpy(&bytes[0], &s, 4);
        for (std::size_t i = 4; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>((s + i) & 0xFF);
        return bytes;
    }
    std::atomic<unsigned int> good{0}, empty{0}, bad{0};

private:
    void OnDatagram(Io::ReadHandle handle)
    {
        std::string bytes(handle.GetSize(), '\0');
        if (bytes.empty()) {
            ++empty;
            return;
        }
        std::uint32_t s = 0;
        bool whole = handle.Read(&bytes[0], static_cast<unsigned int>(bytes.size())) == bytes.size() &&
                     bytes.size() >= 4 && (std::memcpy(&s, bytes.data(), 4), bytes == Make(s));
        ++(whole ? good : bad);
    }
};

// ------------------------------------------------------------- clients
struct Rng {
    std::uint32_t s;
    std::uint32_t Next() { return s ^= s << 13, s ^= s >> 17, s ^= s << 5; }
};

constexpr std::size_t kWindow = 16384; // echo bytes a connection may have outstanding

struct Conn {
    int fd = -1;
    bool framed = false, connecting = false, accepted = false, shut = false;
    int fault = -1;
    unsigned short port = 0, seq = 0;
    Rng rng{1};
    std::string out, expect;
    std::uint64_t sent = 0, got = 0, since = 0, deadline = 0;
};

// Plain non-blocking sockets in one poll loop: a share of the connections,
// kept open (a closed one is replaced), each with its traffic checked.
class Driver {
public:
    Driver(Server* server, unsigned short port, unsigned int count, unsigned int index)
        : m_pServer(server), m_uPort(port), conns(count)
    {
        for (unsigned int i = 0; i < count; ++i) {
            conns[i].framed = i % 4 == 3; // a quarter of them framed
            conns[i].rng.s = 0x9E3779B9u * (index * count + i + 1);
        }
    }
    void Ask(Fault fault) { m_iAsked = fault; }
    void Run()
    {
        std::vector<Soak::PollFd> fds;
        std::vector<Conn*> who;
        while (!stop) {
            int asked = m_iAsked.exchange(-1);
            if (asked >= 0)
                Inject(static_cast<Fault>(asked));
            unsigned int opening = 0; // connects not yet accepted by the server
            bool quiet = true;
            fds.clear();
            who.clear();
            for (Conn& c : conns) {
                // One connection at a time until the server has accepted it:
                // the listener's backlog is 5, and a connect it has no room
                // for waits a second or more to be tried again.
                if (c.fd < 0 && !draining && opening == 0)
                    Open(c);
                if (c.fd >= 0 && !c.accepted && !c.connecting)
                    c.accepted = m_pServer->AcceptedSince(c.port, c.since);
                opening += c.fd >= 0 && !c.accepted;
                quiet = quiet && (c.fd < 0 || c.connecting || (c.fault < 0 && c.out.empty() && c.expect.empty()));
                if (c.fd >= 0) {
                    short events = c.connecting || !c.out.empty() ? Soak::kOut : 0;
                    fds.push_back(Soak::Watch(c.fd, static_cast<short>(events | (c.fault == STALL ? 0 : Soak::kIn))));
                    who.push_back(&c);
                }
            }
            settled = draining && quiet;
            Soak::Poll(fds.data(), fds.size(), 5);
            for (std::size_t i = 0; i < fds.size(); ++i)
                Step(*who[i], fds[i].revents);
        }
    }

    std::atomic<bool> stop{false}, flowing{false}, draining{false}, settled{false};
    std::vector<Conn> conns;
    struct Reset {
        unsigned short port;
        Fault fault;
        std::uint64_t at;
    };
    std::vector<Reset> resets; // their server side must close

private:
    void Open(Conn& c)
    {
        c.since = g_Clock; // before the connect: the server may accept at once
        c.fd = Soak::Open(SOCK_STREAM, true);
        c.connecting = c.fd >= 0 && (Soak::Connect(c.fd, Loopback(m_uPort)) || Soak::WouldWait());
        c.deadline = Now() + 30000;
        if (!c.connecting)
            Drop(c);
    }
    void Step(Conn& c, short revents)
    {
        if (c.connecting) {
            int error = 0;
            socklen_t size = sizeof error;
            if (revents == 0 && Now() < c.deadline)
                return;
            if (revents == 0 || getsockopt(c.fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0 || error != 0)
                return Drop(c); // refused while the listener was away: try again
            sockaddr_in local{};
            size = sizeof local;
            getsockname(c.fd, reinterpret_cast<sockaddr*>(&local), &size);
            c.port = ntohs(local.sin_port);
            c.connecting = false;
            c.out = c.framed ? "P" : "R";
            ++g_Opened;
            ++g_Live;
        }
        if (c.fault != STALL && (revents & (Soak::kIn | Soak::kHup | Soak::kErr))) {
            char buffer[65536];
            for (;;) {
                long n = Soak::Receive(c.fd, buffer, sizeof buffer);
                if (n > 0 && !Verify(c, buffer, static_cast<std::size_t>(n)))
                    return Drop(c);
                if (n == 0 || (n < 0 && !Soak::WouldWait()))
                    return End(c, n == 0);
                if (n < 0)
                    break;
            }
        }
        if (c.fault == STALL && (revents & (Soak::kHup | Soak::kErr)))
            return End(c, false);
        if (c.fault < 0 && flowing && !draining && c.expect.size() < kWindow && c.out.size() < 8192)
            Fill(c, true);
        // A reader that stopped pushes hard, so that the buffers between it
        // and the server fill in seconds even on a busy machine.
        while (c.fault == STALL && c.out.size() < 262144)
            Fill(c, false);
        while (!c.out.empty()) {
            long n = Soak::Send(c.fd, c.out.data(), c.out.size());
            if (n < 0 && Soak::WouldWait())
                break;
            if (n <= 0)
                return End(c, false);
            c.sent += static_cast<std::uint64_t>(n);
            c.out.erase(0, static_cast<std::size_t>(n));
        }
        if (c.fault == HALF_CLOSE && c.out.empty() && !c.shut)
            c.shut = Soak::ShutWrite(c.fd);
        if (c.fault >= 0 && Now() > c.deadline) {
            Check(false, std::string(kFaultNames[c.fault]) + ": the server did not end the connection in time");
            Drop(c);
        }
    }
    // One more message (or request) at the end of the queue.
    void Fill(Conn& c, bool expected)
    {
        std::string body(c.framed ? c.rng.Next() % 4000 : 1 + c.rng.Next() % 4000, '\0');
        for (char& b : body)
            b = static_cast<char>(c.rng.Next() >> 24);
        if (c.framed) {
            PutHeader(c.out, 1, ++c.seq, static_cast<unsigned int>(body.size()));
            if (expected)
                PutHeader(c.expect, 2, c.seq, static_cast<unsigned int>(body.size()));
        }
        c.out += body;
        if (expected)
            c.expect += body;
        ++g_Messages;
    }
    bool Verify(Conn& c, char const* bytes, std::size_t n)
    {
        if (n > c.expect.size() || std::memcmp(bytes, c.expect.data(), n) != 0)
            return Check(false, "echo on port " + std::to_string(c.port) + " differs from what was sent after byte " +
                                    std::to_string(c.got));
        c.expect.erase(0, n);
        c.got += n;
        g_Bytes += n;
        return true;
    }
    // The server ended the connection: right only for a fault that asks it.
    void End(Conn& c, bool eof)
    {
        bool ok = false;
        if (c.fault == HALF_CLOSE)
            ok = eof && c.expect.empty();
        else if (c.fault == STALL || c.fault == APP_CLOSE)
            ok = true;
        else if (c.fault == BAD_KIND || c.fault == HUGE_LENGTH)
            ok = c.expect.empty(); // every earlier request answered first
        else
            ++(m_pServer->AcceptedSince(c.port, c.since) ? g_Lost : g_Unaccepted);
        if (c.fault >= 0 && Check(ok, std::string(kFaultNames[c.fault]) + " ended wrongly"))
            ++g_Survived[c.fault];
        Drop(c);
    }
    void Drop(Conn& c)
    {
        if (c.fd >= 0)
            Soak::Close(c.fd);
        if (c.fd >= 0 && !c.connecting)
            --g_Live;
        Conn fresh;
        fresh.framed = c.framed;
        fresh.rng = c.rng;
        c = fresh;
    }
    void Inject(Fault fault)
    {
        bool framed = fault == BAD_KIND || fault == HUGE_LENGTH || fault == CUT_BODY;
        std::size_t start = conns[0].rng.Next() % conns.size();
        for (std::size_t k = 0; k < conns.size(); ++k) {
            Conn& c = conns[(start + k) % conns.size()];
            if (c.fd < 0 || c.connecting || c.fault >= 0 || c.got == 0 ||
                (fault != RESET && fault != HALF_CLOSE && fault != APP_CLOSE && c.framed != framed))
                continue;
            ++g_Injected[fault];
            c.fault = fault;
            c.deadline = Now() + (fault == STALL ? 60000 : 15000);
            if (fault == BAD_KIND)
                PutHeader(c.out, 7, 0, 0);
            if (fault == HUGE_LENGTH)
                PutHeader(c.out, 1, 0, 0xFFFFFF00u);
            if (fault == APP_CLOSE)
                m_pServer->CloseByApp(c.port); // while its echoes flow
            if (fault == RESET || fault == CUT_BODY) {
                // Part of a message, then a reset instead of a close.
                std::string part;
                if (c.framed)
                    PutHeader(part, 1, 0, fault == CUT_BODY ? 1u << 20 : 4000);
                part.append(fault == CUT_BODY ? 1000 : 2000, 'x');
                Soak::Send(c.fd, part.data(), part.size()); // the socket does not wait
                Soak::ResetOnClose(c.fd);
                resets.push_back(Reset{c.port, fault, g_Clock});
                Drop(c);
            }
            return;
        }
    }

    Server* m_pServer;
    unsigned short m_uPort;
    std::atomic<int> m_iAsked{-1}; // the fault to inject next, if any
};

// Whether a new connection to the port is served: a byte sent through it
// comes back within five seconds.
bool Served(unsigned short port)
{
    int fd = Soak::Open(SOCK_STREAM);
    Soak::SetLimits(fd, 5000, 5000);
    char answer = 0;
    bool served = Soak::Connect(fd, Loopback(port)) && Soak::Send(fd, "R!", 2) == 2 &&
                  Soak::Receive(fd, &answer, 1) == 1 && answer == '!';
    Soak::Close(fd);
    return served;
}

// `count` connects to the port at once, each a byte echo of five bytes:
// how many got their bytes back within 30 seconds.
unsigned int Burst(unsigned short port, unsigned int count)
{
    std::vector<int> fds(count, -1);
    std::vector<std::string> got(count);
    std::vector<bool> sent(count, false);
    sockaddr_in to = Loopback(port);
    for (int& fd : fds) {
        fd = Soak::Open(SOCK_STREAM, true);
        if (fd >= 0 && !Soak::Connect(fd, to) && !Soak::WouldWait())
            Soak::Close(fd), fd = -1;
    }
    unsigned int answered = 0;
    std::vector<Soak::PollFd> polls;
    std::vector<unsigned int> who;
    for (std::uint64_t deadline = Now() + 30000; answered < count && Now() < deadline;) {
        polls.clear();
        who.clear();
        for (unsigned int i = 0; i < count; ++i)
            if (fds[i] >= 0 && got[i].size() < 5) {
                polls.push_back(Soak::Watch(fds[i], sent[i] ? Soak::kIn : Soak::kOut));
                who.push_back(i);
            }
        if (polls.empty())
            break;
        Soak::Poll(polls.data(), polls.size(), 100);
        for (std::size_t k = 0; k < polls.size(); ++k) {
            unsigned int i = who[k];
            int error = 0;
            socklen_t size = sizeof error;
            char buffer[16];
            long n = 0;
            if (polls[k].revents == 0)
                continue;
            bool ok = false;
            if (!sent[i]) {
                ok = sent[i] = getsockopt(fds[i], SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) == 0 &&
                               error == 0 && Soak::Send(fds[i], "Rburst", 6) == 6;
            } else if ((n = Soak::Receive(fds[i], buffer, sizeof buffer)) > 0) {
                got[i].append(buffer, static_cast<std::size_t>(n));
                answered += got[i] == "burst";
                ok = true;
            } else {
                ok = n < 0 && Soak::WouldWait();
            }
            if (!ok)
                Soak::Close(fds[i]), fds[i] = -1;
        }
    }
    for (int fd : fds)
        if (fd >= 0)
            Soak::Close(fd);
    return answered;
}

// ------------------------------------------------------------- logging
// Eight threads log numbered lines while the log is swapped and backed up
// every second; afterwards every line is found exactly once, whole.
class LogStorm {
public:
    LogStorm(std::filesystem::path dir, std::string name, unsigned int module)
        : m_Dir(std::move(dir)), m_Name(std::move(name)), m_uModule(module)
    {
        Check(Util::Log::AddModule(Util::Log::Param(module, Util::Log::INFO_LEVEL, 0, (m_Dir / (m_Name + ".log")).string())),
              "log module opens");
        for (unsigned int w = 0; w < 8; ++w)
            m_Threads.emplace_back([this, w] {
                unsigned int n = 0;
                for (; !m_bStop; ++n) {
                    VOR_LOG(m_uModule, Util::Log::INFO_LEVEL, "soak w% n%") << w << n << Util::Log::End();
                    if (n % 32 == 31)
                        std::this_thread::sleep_for(std::chrono::milliseconds(2)); // pacing
                }
                m_Count[w] = n;
            });
        m_Threads.emplace_back([this] {
            for (unsigned int k = 1; !m_bStop; ++k) {
                for (int i = 0; i < 100 && !m_bStop; ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10)); // pacing
                std::string suffix = "b" + std::to_string(k);
                ++g_Injected[LOG_SWAP];
                g_Survived[LOG_SWAP] += Util::Log::Backup(suffix, false) &&
                                        std::filesystem::exists(m_Dir / (m_Name + "_" + suffix + ".log"));
            }
        });
    }
    void Stop()
    {
        m_bStop = true;
        for (std::thread& t : m_Threads)
            t.join();
        Util::Log::DelModule(m_uModule);
        std::vector<std::vector<unsigned char>> seen(8);
        for (unsigned int w = 0; w < 8; ++w)
            seen[w].resize(m_Count[w]);
        unsigned int wrong = 0, lines = 0;
        for (auto const& entry : std::filesystem::directory_iterator(m_Dir)) {
            if (entry.path().filename().string().rfind(m_Name, 0) != 0)
                continue;
            std::ifstream in(entry.path());
            for (std::string line; std::getline(in, line); ++lines) {
                unsigned int w = 0, n = 0;
                std::size_t at = line.find("] soak w");
                bool whole = at != std::string::npos && std::sscanf(line.c_str() + at, "] soak w%u n%u", &w, &n) == 2 &&
                             line.compare(0, 2, "[2") == 0 && w < 8 && n < seen[w].size() && seen[w][n]++ == 0;
                wrong += !whole;
            }
        }
        unsigned long long missing = 0;
        for (auto const& marks : seen)
            for (unsigned char mark : marks)
                missing += mark == 0;
        Check(wrong == 0 && missing == 0, m_Name + " log: " + std::to_string(lines) + " lines, " +
                                              std::to_string(wrong) + " torn or repeated, " + std::to_string(missing) +
                                              " missing");
    }

private:
    std::filesystem::path m_Dir;
    std::string m_Name;
    unsigned int m_uModule;
    std::atomic<bool> m_bStop{false};
    unsigned int m_Count[8] = {};
    std::vector<std::thread> m_Threads;
};

// ------------------------------------------------------------- a round
constexpr unsigned int kLinks = 4;      // connections of the connect group
constexpr unsigned int kInterval = 300; // its pause between failed attempts, ms
constexpr Fault kConnectionFaults[] = {RESET, HALF_CLOSE, STALL, BAD_KIND, HUGE_LENGTH, CUT_BODY, APP_CLOSE};
constexpr unsigned int kBurst = 300; // connects at once

template <class N>
Guard<Sched::Notify> MakeNotify()
{
    Guard<Sched::Notify> notify(Core::New<N>().Raw());
    notify->Init(Sched::Notify::Param());
    return notify;
}

// An accept group serving `event` on 127.0.0.1:port; empty when it cannot.
Guard<Sched::AcceptGroup> Serve(Guard<Sched::Scheduler> const& scheduler, Guard<Sched::Notify> const& notify,
                                Guard<Server> const& event, unsigned short port)
{
    auto group = Core::New<Sched::AcceptGroup>();
    Sched::IoTrigger::Param param(scheduler, notify, Guard<Sched::IoEvent>(event.Raw()));
    if (group->Init(param) && group->Create(Io::Socket::Address("127.0.0.1", port)))
        return group;
    group->UnInit(1000);
    return Guard<Sched::AcceptGroup>();
}

std::uint64_t g_MaxReconnect = 0;

// A connect group whose peer drops its handshakes (a listener that never
// accepts, its queue full) is shut down inside its connect: UnInit ends it
// within its time-out, and the process goes on.
template <class N>
bool DeafPeer(Guard<Sched::Scheduler> const& scheduler, std::string& what)
{
    int deaf = Soak::Open(SOCK_STREAM);
    sockaddr_in at = Loopback(0);
    socklen_t size = sizeof at;
    bool listening = deaf >= 0 && bind(deaf, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
                     listen(deaf, 0) == 0 && getsockname(deaf, reinterpret_cast<sockaddr*>(&at), &size) == 0;
    std::vector<int> fillers;
    for (int i = 0; listening && i < 3; ++i) {
        fillers.push_back(Soak::Open(SOCK_STREAM, true));
        Soak::Connect(fillers.back(), at); // the first fills the queue
    }
    auto event = Core::New<Pinger>();
    auto group = Core::New<Sched::ConnectGroup>();
    Guard<Sched::Notify> notify = MakeNotify<N>();
    Sched::SocketGroup::Param param(scheduler, notify, Guard<Sched::IoEvent>(event.Raw()), 1, 100);
    bool started = listening && group->Init(param) && group->Create(Io::Socket::Address("127.0.0.1", ntohs(at.sin_port)));
    // Inside its connect once it has had time to send its first handshake.
    VorTest::WaitUntil([] { return false; }, std::chrono::milliseconds(300));
    std::uint64_t asked = Now();
    bool done = group->UnInit(200);
    std::uint64_t took = Now() - asked;
    notify->UnInit(1000);
    for (int fd : fillers)
        Soak::Close(fd);
    if (deaf >= 0)
        Soak::Close(deaf);
    what = "started " + std::to_string(started) + ", UnInit " + std::to_string(done) + " in " + std::to_string(took) +
           " ms, connected " + std::to_string(group->GetCount());
    return started && done && took < 1000 && group->GetCount() == 0;
}

template <class N>
void Round(std::string const& name, unsigned int seconds, unsigned int connections, std::filesystem::path const& dir)
{
    using VorTest::WaitUntil;
    using std::chrono::milliseconds;
    std::printf("soak: %s engine, %u connections, %u s\n", name.c_str(), connections, seconds);
    std::fflush(stdout);
    Guard<Sched::Scheduler> scheduler(Core::New<Sched::TpSched>().Raw());
    Check(scheduler->Init(Sched::Scheduler::Param(4)), "thread-pool scheduler starts");
    // The echo service, whose listener the faults close.
    auto server = Core::New<Server>();
    auto tapped = Core::New<Tapped<N>>(server.Raw());
    tapped->Init(Sched::Notify::Param());
    unsigned short port = VorTest::FreeLoopbackPort();
    auto group = Serve(scheduler, Guard<Sched::Notify>(tapped.Raw()), server, port);
    // A second service that goes away and comes back, and its connect group.
    unsigned short portB = VorTest::FreeLoopbackPort();
    Guard<Server> serverB = Core::New<Server>();
    Guard<Sched::AcceptGroup> groupB = Serve(scheduler, MakeNotify<N>(), serverB, portB);
    auto pinger = Core::New<Pinger>();
    auto client = Core::New<Sched::ConnectGroup>();
    Sched::SocketGroup::Param linkParam(scheduler, MakeNotify<N>(), Guard<Sched::IoEvent>(pinger.Raw()), kLinks,
                                        kInterval);
    bool linked = client->Init(linkParam) && client->Create(Io::Socket::Address("127.0.0.1", portB));
    // The UDP receiver, and a plain socket that feeds it.
    Io::Socket udp;
    Datagrams datagrams;
    auto receiver = Core::New<Sched::UdpRecvNotify>();
    bool udpUp = udp.Open(Io::Socket::SOCKET_UDP) && udp.Bind(Io::Socket::Address("127.0.0.1", 0)) &&
                 receiver->Init(Sched::UdpRecvNotify::Param(2, 1 << 20)) &&
                 receiver->Attach(udp.GetReadHandle(), datagrams.Callback());
    sockaddr_in udpTo = Loopback(Io::Socket::GetAddress(udp.GetHandle(), Io::Socket::Param::LOCAL_ADDR).Port());
    int sender = Soak::Open(SOCK_DGRAM);
    Check(group.IsValid() && groupB.IsValid() && linked && udpUp && sender >= 0, name + ": services start");
    LogStorm storm(dir, "soak-" + name, 40);

    std::vector<std::unique_ptr<Driver>> drivers;
    std::vector<std::thread> driving;
    for (unsigned int d = 0; d < 4; ++d) {
        drivers.emplace_back(new Driver(server.Raw(), port, (connections + 3 - d) / 4, d));
        driving.emplace_back(&Driver::Run, drivers.back().get());
    }
    // All connections first: under full traffic each accept waits its turn
    // among the echo tasks.
    Check(WaitUntil([&] { return g_Live >= static_cast<int>(connections); }, milliseconds(60000)),
          name + ": " + std::to_string(g_Live) + " of " + std::to_string(connections) + " connections open");
    for (auto& d : drivers)
        d->flowing = true;
    unsigned int sentGood = 0, sentEmpty = 0;
    std::uint64_t start = Now(), end = start + seconds * 1000ull;
    for (unsigned int tick = 0; Now() < end; ++tick) {
        std::this_thread::sleep_for(milliseconds(100)); // pacing
        if (tick % 50 == 0)
            std::printf("soak: %s %4.1f s: %d connections, %llu bytes checked\n", name.c_str(), (Now() - start) / 1000.0,
                        g_Live.load(), static_cast<unsigned long long>(g_Bytes)), std::fflush(stdout);
        if (tick % 2 == 0)
            drivers[tick / 2 % drivers.size()]->Ask(kConnectionFaults[tick / 2 % 7]);
        for (int i = 0; i < 5; ++i, ++sentGood) {
            std::string d = Datagrams::Make(sentGood);
            Soak::SendTo(sender, d.data(), d.size(), udpTo);
        }
        std::string big(tick % 2 ? 6000 : 65000, 'z');
        Soak::SendTo(sender, "", 0, udpTo);
        Soak::SendTo(sender, big.data(), big.size(), udpTo);
        ++sentEmpty, ++g_Injected[EMPTY_DGRAM], ++g_Injected[BIG_DGRAM];
        if (tick % 40 == 20) {
            // The listener breaks: the group closes it and listens again.
            unsigned int before = server->listenerCloses;
            ++g_Injected[LISTENER];
            bool broken = tapped->BreakListener(port);
            bool closed = broken && WaitUntil([&] { return server->listenerCloses > before; });
            bool served = closed && WaitUntil([&] { return Served(port); }, milliseconds(30000));
            g_Survived[LISTENER] += Check(served, "listener: reported " + std::to_string(broken) + ", closed " +
                                                      std::to_string(closed) + ", served again " + std::to_string(served));
        }
        if (tick % 60 == 10) {
            std::string what;
            ++g_Injected[DEAF_PEER];
            g_Survived[DEAF_PEER] += Check(DeafPeer<N>(scheduler, what), "connect group on a deaf peer: " + what);
        }
        if (tick % 60 == 30) {
            // Several hundred new clients at once, beside the traffic.
            ++g_Injected[BURST];
            unsigned int answered = Burst(port, kBurst);
            g_Survived[BURST] += Check(answered == kBurst, "burst: " + std::to_string(answered) + " of " +
                                                             std::to_string(kBurst) + " connects answered");
        }
        if (tick % 60 == 40) {
            // The connect group's server goes away and comes back.
            ++g_Injected[SERVER_AWAY];
            groupB->UnInit(5000);
            groupB.Clear();
            serverB->LetGo();
            bool gone = WaitUntil([&] { return client->GetCount() == 0; });
            serverB = Core::New<Server>();
            // The port is taken again once the old listener has closed.
            WaitUntil([&] { return (groupB = Serve(scheduler, MakeNotify<N>(), serverB, portB)).IsValid(); },
                      milliseconds(5000));
            std::uint64_t back = Now();
            bool refilled = groupB.IsValid() && WaitUntil([&] { return client->GetCount() == kLinks; });
            std::uint64_t took = Now() - back;
            g_MaxReconnect = std::max(g_MaxReconnect, took);
            std::uint64_t want = pinger->got + 10 * kLinks;
            for (unsigned int k = 0; k < kLinks; ++k)
                client->GetSocket().Write("!!!!!!!!!!", 10);
            bool echoed = WaitUntil([&] { return pinger->got >= want; }) && pinger->bad == 0;
            g_Survived[SERVER_AWAY] += Check(gone && refilled && took <= kInterval + 700 && echoed,
                                             "connect group: server gone " + std::to_string(gone) + ", back in " +
                                                 std::to_string(took) + " ms, echoed " + std::to_string(echoed));
        }
    }

    // Drain: no new messages; every connection gets its echoes back.
    for (auto& d : drivers)
        d->draining = true;
    Check(WaitUntil([&] { return std::all_of(drivers.begin(), drivers.end(), [](auto& d) { return d->settled.load(); }); },
                    milliseconds(60000)),
          name + ": every surviving connection got all its echoes back");
    for (std::size_t d = 0; d < drivers.size(); ++d) {
        drivers[d]->stop = true;
        driving[d].join();
    }
    // Each survivor's bytes as the server counted them.
    unsigned int survivors = 0, matched = 0, unclosed = 0;
    WaitUntil([&] {
        survivors = matched = 0;
        for (auto& d : drivers)
            for (Conn const& c : d->conns)
                if (c.fd >= 0 && !c.connecting && c.fault < 0) {
                    auto s = server->ByPort(c.port);
                    ++survivors;
                    matched += s && s->in == c.sent && s->out == c.got && c.got + 1 == c.sent;
                }
        return matched == survivors;
    });
    Check(matched == survivors, name + ": " + std::to_string(matched) + " of " + std::to_string(survivors) +
                                    " surviving connections accounted for byte for byte");
    // A later connection may have been given the port of a reset one.
    auto open = [&](Driver::Reset const& reset) {
        auto s = server->ByPort(reset.port);
        return s && s->accepted <= reset.at;
    };
    WaitUntil([&] {
        unclosed = 0;
        for (auto& d : drivers)
            unclosed += static_cast<unsigned int>(std::count_if(d->resets.begin(), d->resets.end(), open));
        return unclosed == 0;
    });
    for (auto& d : drivers)
        for (auto const& reset : d->resets)
            g_Survived[reset.fault] += !open(reset);
    Check(unclosed == 0, name + ": the server closed every connection reset by its peer");
    for (auto& d : drivers)
        for (Conn& c : d->conns)
            if (c.fd >= 0)
                Soak::Close(c.fd);
    g_Live = 0;
    // Those its own code closed are let go of without an OnClose, at their
    // next report or idle check; every one leaves the notify.
    Check(WaitUntil([&] { return server->closed + server->appClosed == server->opened; }, milliseconds(30000)),
          name + ": the server closed every connection its clients closed (" + std::to_string(server->closed) + " and " +
              std::to_string(server->appClosed) + " closed by its code, of " + std::to_string(server->opened) + ")");
    Check(WaitUntil([&] { return tapped->GetCount() == 1; }, milliseconds(30000)),
          name + ": the server let go of every connection (" + std::to_string(tapped->GetCount()) +
              " sockets attached, the listener one of them)");
    Check(WaitUntil([&] { return datagrams.good == sentGood && datagrams.empty == sentEmpty; }) && datagrams.bad == 0,
          name + ": datagrams " + std::to_string(datagrams.good) + " of " + std::to_string(sentGood) + ", empty " +
              std::to_string(datagrams.empty) + " of " + std::to_string(sentEmpty) + ", bad " +
              std::to_string(datagrams.bad));
    g_Survived[EMPTY_DGRAM] += datagrams.empty;
    g_Survived[BIG_DGRAM] += datagrams.bad == 0 && datagrams.good == sentGood ? sentEmpty : 0;

    client->UnInit(5000);
    if (groupB.IsValid())
        groupB->UnInit(5000);
    group->UnInit(5000);
    receiver->UnInit(3000);
    udp.GetHandle().Close();
    Soak::Close(sender);
    storm.Stop();
    scheduler->UnInit(5000);
}

} // namespace

int main(int argc, char** argv)
{
    unsigned int seconds = 60, connections = 1000;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        unsigned int value = static_cast<unsigned int>(std::strtoul(argv[i + 1], nullptr, 10));
        if (option == "--seconds" && value >= 2)
            seconds = value;
        else if (option == "--connections" && value >= 4)
            connections = value;
        else
            return std::fprintf(stderr, "usage: %s [--seconds N>=2] [--connections N>=4]\n", argv[0]), 2;
    }
    VorTest::RaiseDescriptorLimit(4 * connections + 1024);
    // Two allocator arenas: with one per thread (up to sixteen here) each
    // keeps the freed memory of its own threads resident, which over ten
    // minutes of thread churn is tens of MiB of nothing the library holds.
    // The resident check below is about what the library holds.
#if !defined(_WIN32)
    mallopt(M_ARENA_MAX, 2);
#endif
    System::Init();
    std::filesystem::path dir = std::filesystem::temp_directory_path() / ("vor-soak-" + std::to_string(Soak::ProcessId()));
    std::filesystem::create_directories(dir);
    // A sanitizer's runtime starts a helper thread of its own with the
    // first thread: counted in the start.
    std::thread([] {}).join();
    unsigned int threads = VorTest::ProcessThreadCount(), fds = VorTest::OpenDescriptorCount();
    auto memory = Soak::Memory();

    Round<Sched::SelectNotify>("select", seconds / 2, connections, dir);
#if defined(_WIN32)
    Round<Sched::SelectNotify>("select", seconds - seconds / 2, connections, dir); // no epoll here
#else
    Round<Sched::EpollNotify>("epoll", seconds - seconds / 2, connections, dir);
#endif

    std::filesystem::remove_all(dir);
    bool threadsBack = VorTest::WaitUntil([&] { return VorTest::ProcessThreadCount() <= threads; });
    bool fdsBack = VorTest::WaitUntil([&] { return VorTest::OpenDescriptorCount() <= fds; });
    auto memoryNow = Soak::Memory();
    Check(threadsBack, "threads back to " + std::to_string(threads) + " (now " +
                           std::to_string(VorTest::ProcessThreadCount()) + ")");
    Check(fdsBack, "descriptors back to " + std::to_string(fds) + " (now " +
                       std::to_string(VorTest::OpenDescriptorCount()) + ")");
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Freed memory the allocator keeps in its arenas stays resident; what
    // live objects hold must come back to its start.
    Check(memoryNow.first <= memory.first + (32u << 20), "resident memory within 32 MiB of its start");
#if !defined(_WIN32) // where the heap does not tell what it holds
    Check(memoryNow.second <= memory.second + (2u << 20), "heap in use within 2 MiB of its start");
#endif
#endif
    for (int f = 0; f < FAULTS; ++f)
        Check(g_Survived[f] == g_Injected[f], std::string(kFaultNames[f]) + ": not every one came through");

    std::printf("\n%-30s %10s %10s\n", "injected", "count", "survived");
    for (int f = 0; f < FAULTS; ++f)
        std::printf("%-30s %10u %10u\n", kFaultNames[f], g_Injected[f].load(), g_Survived[f].load());
    std::printf("\nconnections opened %llu (%llu reset with a closed listener before their accept), messages %llu, "
                "bytes echoed and checked %llu, connections lost %llu\n",
                static_cast<unsigned long long>(g_Opened), static_cast<unsigned long long>(g_Unaccepted),
                static_cast<unsigned long long>(g_Messages), static_cast<unsigned long long>(g_Bytes),
                static_cast<unsigned long long>(g_Lost));
    std::printf("threads %u -> %u, descriptors %u -> %u, resident %.1f -> %.1f MiB, heap in use %.0f -> %.0f KiB, "
                "slowest reconnect %llu ms\n",
                threads, VorTest::ProcessThreadCount(), fds, VorTest::OpenDescriptorCount(), memory.first / 1048576.0,
                memoryNow.first / 1048576.0, memory.second / 1024.0, memoryNow.second / 1024.0,
                static_cast<unsigned long long>(g_MaxReconnect));
    Check(g_Lost == 0, "no healthy connection was closed by the server");
    std::printf("%u passed, %u failed\n", g_Passed.load(), g_Failed.load());
    System::UnInit();
    return g_Failed == 0 ? 0 : 1;
}
