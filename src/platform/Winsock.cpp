#include "platform/Winsock.h"

#include "platform/Application.h"
#include "platform/MessageWindow.h"

#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/tcp.h>
#include <unistd.h>
#include <unordered_map>

namespace cw::ws {

namespace {

thread_local int tLastError = 0;

int Fail(int wsaError)
{
    tLastError = wsaError;
    return SOCKET_ERROR;
}
int FailErrno()
{
    return Fail(ErrnoToWSA(errno));
}

// ---- start-up count --------------------------------------------------------------------------

std::mutex gStartupLock;
int gStartupCount = 0;

bool Started()
{
    std::lock_guard<std::mutex> lock(gStartupLock);
    return gStartupCount > 0;
}

// ---- sockets ---------------------------------------------------------------------------------
//
// Handles are our own numbers, never reused while the process lives: a notification still
// queued for a closed socket can then never be mistaken for one of a newer socket that got
// the same descriptor from the system.

struct SocketRecord {
    SOCKET Id = INVALID_SOCKET;
    int Fd = -1;
    int Type = SOCK_STREAM;
    HWND Window = 0;
    unsigned Msg = 0;
    long Mask = 0;
    std::unique_ptr<QSocketNotifier> ReadNotifier;
    std::unique_ptr<QSocketNotifier> WriteNotifier;
    bool Listening = false;
    bool Connecting = false;    // a connect is in progress: FD_CONNECT not reported yet
    bool ReadArmed = true;      // an FD_READ may be posted
    bool AcceptArmed = true;    // an FD_ACCEPT may be posted
    bool WriteWanted = false;   // a send would have blocked: FD_WRITE when room is free
    bool CloseReported = false; // FD_CLOSE has been posted (or the end has been seen)
    int ResetError = 0;         // a reset taken from SO_ERROR at connect time, for the close
};

std::mutex gSocketsLock;
std::unordered_map<SOCKET, std::unique_ptr<SocketRecord>>& Sockets()
{
    static std::unordered_map<SOCKET, std::unique_ptr<SocketRecord>> m;
    return m;
}
std::atomic<SOCKET> gNextSocket{1000};

// Records are only created and destroyed on their owner's thread; the lock protects the map
// itself, so the pointer stays valid for the caller after the lock is released.
SocketRecord* Find(SOCKET s)
{
    std::lock_guard<std::mutex> lock(gSocketsLock);
    auto it = Sockets().find(s);
    return it == Sockets().end() ? nullptr : it->second.get();
}

SOCKET Register(int fd, int type)
{
    auto rec = std::make_unique<SocketRecord>();
    rec->Id = gNextSocket.fetch_add(1);
    rec->Fd = fd;
    rec->Type = type;
    SOCKET id = rec->Id;
    std::lock_guard<std::mutex> lock(gSocketsLock);
    Sockets()[id] = std::move(rec);
    return id;
}

void Post(SocketRecord& r, long event, int error)
{
    if (r.Window == 0 || (r.Mask & event) == 0)
        return;
    MessageWindow::PostMessage(r.Window, r.Msg, static_cast<WPARAM>(r.Id),
                               WSAMakeSelectReply(static_cast<unsigned>(event), static_cast<unsigned>(error)));
}

// Bring the notifiers in line with what may be reported next.
void UpdateNotifiers(SocketRecord& r)
{
    if (!r.ReadNotifier)
        return;
    bool read = false;
    bool write = false;
    if (r.Mask != 0) {
        if (r.Listening)
            read = r.AcceptArmed && (r.Mask & FD_ACCEPT);
        else if (r.Connecting)
            write = true;
        else {
            read = r.ReadArmed && !r.CloseReported && (r.Mask & (FD_READ | FD_CLOSE));
            write = r.WriteWanted && (r.Mask & FD_WRITE);
        }
    }
    if (r.ReadNotifier->isEnabled() != read)
        r.ReadNotifier->setEnabled(read);
    if (r.WriteNotifier->isEnabled() != write)
        r.WriteNotifier->setEnabled(write);
}

void OnReadable(SOCKET s)
{
    SocketRecord* r = Find(s);
    if (!r)
        return;
    if (r->Listening) {
        r->AcceptArmed = false;
        Post(*r, FD_ACCEPT, 0);
        UpdateNotifiers(*r);
        return;
    }
    int pending = 0;
    bool data = ::ioctl(r->Fd, FIONREAD, &pending) == 0 && pending > 0;
    int closeError = -1;
    if (!data) {
        // Nothing waiting yet readable: the peer has closed, or the connection failed. A peek
        // tells which (and catches data that arrived in between).
        char c;
        ssize_t n = ::recv(r->Fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0)
            data = true;
        else if (n == 0)
            closeError = r->ResetError; // 0 unless the reset was already read at connect time
        else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            closeError = ErrnoToWSA(errno);
        else if (r->Type != SOCK_STREAM)
            data = true; // an empty datagram
    }
    if (data) {
        r->ReadArmed = false;
        Post(*r, FD_READ, 0);
    } else if (closeError >= 0 && r->Type == SOCK_STREAM) {
        r->CloseReported = true;
        Post(*r, FD_CLOSE, closeError);
    }
    UpdateNotifiers(*r);
}

void OnWritable(SOCKET s)
{
    SocketRecord* r = Find(s);
    if (!r)
        return;
    if (r->Connecting) {
        r->Connecting = false;
        int err = 0;
        socklen_t len = sizeof(err);
        if (::getsockopt(r->Fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
            err = errno;
        if (err == ECONNRESET || err == EPIPE) {
            // The handshake completed and the peer reset the connection before this notice ran.
            // Reading SO_ERROR cleared the reset, so keep it: the connection is reported as made,
            // then closed with the reset once the read side sees the end.
            r->ResetError = ErrnoToWSA(err);
            err = 0;
        }
        int wsaErr = ErrnoToWSA(err);
        Post(*r, FD_CONNECT, wsaErr);
        if (wsaErr == 0)
            Post(*r, FD_WRITE, 0);
        else
            r->CloseReported = true; // a failed connect reports nothing more
        r->WriteWanted = false;
        UpdateNotifiers(*r);
        return;
    }
    if (r->WriteWanted) {
        r->WriteWanted = false;
        Post(*r, FD_WRITE, 0);
    }
    UpdateNotifiers(*r);
}

void CreateNotifiers(SocketRecord& r)
{
    if (r.ReadNotifier)
        return;
    SOCKET id = r.Id;
    r.ReadNotifier = std::make_unique<QSocketNotifier>(r.Fd, QSocketNotifier::Read);
    r.ReadNotifier->setEnabled(false);
    QObject::connect(r.ReadNotifier.get(), &QSocketNotifier::activated,
                     [id] { Application::Guard([id] { OnReadable(id); }); });
    r.WriteNotifier = std::make_unique<QSocketNotifier>(r.Fd, QSocketNotifier::Write);
    r.WriteNotifier->setEnabled(false);
    QObject::connect(r.WriteNotifier.get(), &QSocketNotifier::activated,
                     [id] { Application::Guard([id] { OnWritable(id); }); });
}

// A receive, whatever it returned, lets the next waiting data (or the close) be reported again.
void RearmRead(SocketRecord& r)
{
    if (!r.ReadArmed) {
        r.ReadArmed = true;
        UpdateNotifiers(r);
    }
}

// getsockname and getpeername: the same query of one end of the connection.
int QueryAddress(SOCKET s, sockaddr_in* addr, int (*query)(int, sockaddr*, socklen_t*))
{
    SocketRecord* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    socklen_t len = sizeof(*addr);
    if (query(r->Fd, reinterpret_cast<sockaddr*>(addr), &len) != 0)
        return FailErrno();
    return 0;
}

bool IsConnectOutcome(int err)
{
    return err == ECONNREFUSED || err == ECONNRESET || err == ETIMEDOUT || err == ENETUNREACH || err == EHOSTUNREACH;
}

} // namespace

// ---- errors ----------------------------------------------------------------------------------

int ErrnoToWSA(int err)
{
    switch (err) {
    case 0:
        return 0;
    case EINTR:
        return WSAEINTR;
    case EBADF:
        return WSAENOTSOCK;
    case EACCES:
    case EPERM:
        return WSAEACCES;
    case EFAULT:
        return WSAEFAULT;
    case EINVAL:
        return WSAEINVAL;
    case EMFILE:
    case ENFILE:
        return WSAEMFILE;
    case EAGAIN:
        return WSAEWOULDBLOCK;
    case EINPROGRESS:
        return WSAEWOULDBLOCK; // a started connect, as WinSock reports it
    case EALREADY:
        return WSAEALREADY;
    case ENOTSOCK:
        return WSAENOTSOCK;
    case EDESTADDRREQ:
        return WSAEDESTADDRREQ;
    case EMSGSIZE:
        return WSAEMSGSIZE;
    case EPROTOTYPE:
        return WSAEPROTOTYPE;
    case ENOPROTOOPT:
        return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
        return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
        return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
        return WSAEOPNOTSUPP;
    case EPFNOSUPPORT:
        return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT:
        return WSAEAFNOSUPPORT;
    case EADDRINUSE:
        return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
        return WSAEADDRNOTAVAIL;
    case ENETDOWN:
        return WSAENETDOWN;
    case ENETUNREACH:
        return WSAENETUNREACH;
    case ENETRESET:
        return WSAENETRESET;
    case ECONNABORTED:
        return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE:
        return WSAECONNRESET; // writing to a connection the peer has reset
    case ENOBUFS:
    case ENOMEM:
        return WSAENOBUFS;
    case EISCONN:
        return WSAEISCONN;
    case ENOTCONN:
        return WSAENOTCONN;
    case ESHUTDOWN:
        return WSAESHUTDOWN;
    case ETOOMANYREFS:
        return WSAETOOMANYREFS;
    case ETIMEDOUT:
        return WSAETIMEDOUT;
    case ECONNREFUSED:
        return WSAECONNREFUSED;
    case ELOOP:
        return WSAELOOP;
    case ENAMETOOLONG:
        return WSAENAMETOOLONG;
    case EHOSTDOWN:
        return WSAEHOSTDOWN;
    case EHOSTUNREACH:
        return WSAEHOSTUNREACH;
    case ENOTEMPTY:
        return WSAENOTEMPTY;
    case EUSERS:
        return WSAEUSERS;
    case EDQUOT:
        return WSAEDQUOT;
    case ESTALE:
        return WSAESTALE;
    case EREMOTE:
        return WSAEREMOTE;
    default:
        return WSAEINVAL;
    }
}

int LookupErrorToWSA(int eaiError)
{
    switch (eaiError) {
    case 0:
        return 0;
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
        return WSAHOST_NOT_FOUND;
    case EAI_AGAIN:
        return WSATRY_AGAIN;
    case EAI_FAIL:
        return WSANO_RECOVERY;
    case EAI_MEMORY:
        return WSAENOBUFS;
    case EAI_SYSTEM:
        return ErrnoToWSA(errno);
    default:
        return WSANO_RECOVERY;
    }
}

// ---- start-up --------------------------------------------------------------------------------

int WSAStartup(std::uint16_t versionRequested, WSAData* data)
{
    unsigned major = versionRequested & 0xFF;
    unsigned minor = (versionRequested >> 8) & 0xFF;
    if (major < 1 || major > 2 || (major == 2 && minor > 2))
        return WSAVERNOTSUPPORTED;
    std::lock_guard<std::mutex> lock(gStartupLock);
    ++gStartupCount;
    if (data) {
        data->wVersion = versionRequested;
        data->wHighVersion = 0x0202;
        data->szDescription = "POSIX sockets";
    }
    return 0;
}

int WSACleanup()
{
    std::lock_guard<std::mutex> lock(gStartupLock);
    if (gStartupCount == 0)
        return Fail(WSANOTINITIALISED);
    --gStartupCount;
    return 0;
}

int WSAStartupCount()
{
    std::lock_guard<std::mutex> lock(gStartupLock);
    return gStartupCount;
}

int WSAGetLastError()
{
    return tLastError;
}

void WSASetLastError(int error)
{
    tLastError = error;
}

// ---- sockets ---------------------------------------------------------------------------------

SOCKET socket(int af, int type, int protocol)
{
    if (!Started())
        return Fail(WSANOTINITIALISED);
    if (type == SOCK_STREAM && protocol == 255)
        protocol = 0;
    int fd = ::socket(af, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (fd < 0)
        return FailErrno();
    return Register(fd, type);
}

int closesocket(SOCKET s)
{
    std::unique_ptr<SocketRecord> rec;
    {
        std::lock_guard<std::mutex> lock(gSocketsLock);
        auto it = Sockets().find(s);
        if (it == Sockets().end())
            return Fail(WSAENOTSOCK);
        rec = std::move(it->second);
        Sockets().erase(it);
    }
    int fd = rec->Fd;
    rec.reset(); // notifiers go before the descriptor
    if (::close(fd) != 0 && errno != EINTR)
        return FailErrno();
    return 0;
}

int shutdown(SOCKET s, int how)
{
    SocketRecord* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    int h = how == SD_RECEIVE ? SHUT_RD : how == SD_SEND ? SHUT_WR : SHUT_RDWR;
    if (::shutdown(r->Fd, h) != 0)
        return FailErrno();
    return 0;
}

int connect(SOCKET s, const sockaddr_in& addr)
{
    SocketRecord* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    int rc;
    do {
        rc = ::connect(r->Fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
    } while (rc != 0 && errno == EINTR);
    if (r->Type != SOCK_STREAM)
        return rc == 0 ? 0 : FailErrno();
    if (rc == 0) {
        // Connected at once: report it the way a completed connect is reported.
        r->Connecting = false;
        Post(*r, FD_CONNECT, 0);
        Post(*r, FD_WRITE, 0);
        UpdateNotifiers(*r);
        return 0;
    }
    int err = errno;
    if (err == EINPROGRESS) {
        r->Connecting = true;
        UpdateNotifiers(*r);
        return Fail(WSAEWOULDBLOCK);
    }
    if (IsConnectOutcome(err) && r->Window != 0) {
        // The connection's fate is known already; it is still reported through FD_CONNECT,
        // as for every connect on a socket in asynchronous mode.
        r->CloseReported = true;
        Post(*r, FD_CONNECT, ErrnoToWSA(err));
        UpdateNotifiers(*r);
        return Fail(WSAEWOULDBLOCK);
    }
    return Fail(ErrnoToWSA(err));
}

int bind(SOCKET s, const sockaddr_in& addr)
{
    SocketRecord* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    if (::bind(r->Fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0)
        return FailErrno();
    return 0;
}

int listen(SOCKET s, int backlog)
{
    SocketRecord* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    if (::listen(r->Fd, backlog) != 0)
        return FailErrno();
    r->Listening = true;
    r->AcceptArmed = true;
    UpdateNotifiers(*r);
    return 0;
}

SOCKET accept(SOCKET s, sockaddr_in* addr)
{
    SocketRecord* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    sockaddr_in sa{};
    socklen_t len = sizeof(sa);
    int fd = ::accept4(r->Fd, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    int err = errno;
    r->AcceptArmed = true;
    UpdateNotifiers(*r);
    if (fd < 0)
        return Fail(ErrnoToWSA(err));
    if (addr)
        *addr = sa;
    return Register(fd, SOCK_STREAM);
}

int send(SOCKET s, const void* buf, int len, int flags)
{
    SocketRecord* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    ssize_t n;
    do {
        n = ::send(r->Fd, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK) {
            r->WriteWanted = true;
            UpdateNotifiers(*r);
        }
        return Fail(ErrnoToWSA(err));
    }
    if (n < len && r->Type == SOCK_STREAM) {
        // A short send means the system buffer is full: the rest would have blocked, so room
        // becoming free is reported as for a send that failed with WSAEWOULDBLOCK.
        r->WriteWanted = true;
        UpdateNotifiers(*r);
    }
    return static_cast<int>(n);
}

int recv(SOCKET s, void* buf, int len, int flags)
{
    SocketRecord* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    ssize_t n;
    do {
        n = ::recv(r->Fd, buf, static_cast<size_t>(len), flags);
    } while (n < 0 && errno == EINTR);
    int err = errno;
    RearmRead(*r);
    if (n < 0)
        return Fail(ErrnoToWSA(err));
    return static_cast<int>(n);
}

int sendto(SOCKET s, const void* buf, int len, int flags, const sockaddr_in& to)
{
    SocketRecord* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    ssize_t n = ::sendto(r->Fd, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL,
                         reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    if (n < 0) {
        if (errno == EAGAIN) {
            r->WriteWanted = true;
            UpdateNotifiers(*r);
        }
        return FailErrno();
    }
    return static_cast<int>(n);
}

int recvfrom(SOCKET s, void* buf, int len, int flags, sockaddr_in* from)
{
    SocketRecord* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    sockaddr_in sa{};
    socklen_t sl = sizeof(sa);
    ssize_t n = ::recvfrom(r->Fd, buf, static_cast<size_t>(len), flags, reinterpret_cast<sockaddr*>(&sa), &sl);
    int err = errno;
    RearmRead(*r);
    if (n < 0)
        return Fail(ErrnoToWSA(err));
    if (from)
        *from = sa;
    return static_cast<int>(n);
}

int setsockopt(SOCKET s, int level, int name, const void* value, int len)
{
    SocketRecord* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    if (::setsockopt(r->Fd, level, name, value, static_cast<socklen_t>(len)) != 0)
        return FailErrno();
    return 0;
}

int getsockopt(SOCKET s, int level, int name, void* value, int* len)
{
    SocketRecord* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    socklen_t l = static_cast<socklen_t>(*len);
    if (::getsockopt(r->Fd, level, name, value, &l) != 0)
        return FailErrno();
    *len = static_cast<int>(l);
    return 0;
}

int ioctlsocket(SOCKET s, unsigned long cmd, unsigned long* arg)
{
    SocketRecord* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    if (cmd == FIONREAD) {
        int n = 0;
        if (::ioctl(r->Fd, FIONREAD, &n) != 0)
            return FailErrno();
        *arg = static_cast<unsigned long>(n);
        return 0;
    }
    if (cmd == FIONBIO)
        return 0; // asynchronous mode needs non-blocking sockets; they stay so
    return Fail(WSAEINVAL);
}

int getsockname(SOCKET s, sockaddr_in* addr)
{
    return QueryAddress(s, addr, ::getsockname);
}

int getpeername(SOCKET s, sockaddr_in* addr)
{
    return QueryAddress(s, addr, ::getpeername);
}

int WSAIoctlKeepAlive(SOCKET s, bool on, unsigned timeMs, unsigned intervalMs)
{
    SocketRecord* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    int enable = on ? 1 : 0;
    if (::setsockopt(r->Fd, SOL_SOCKET, SO_KEEPALIVE, &enable, sizeof(enable)) != 0)
        return FailErrno();
    if (!on)
        return 0;
    int idle = static_cast<int>(timeMs / 1000 ? timeMs / 1000 : 1);
    int interval = static_cast<int>(intervalMs / 1000 ? intervalMs / 1000 : 1);
    if (::setsockopt(r->Fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle)) != 0 ||
        ::setsockopt(r->Fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval)) != 0)
        return FailErrno();
    return 0;
}

int WSAAsyncSelect(SOCKET s, HWND window, unsigned msg, long events)
{
    SocketRecord* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    if (events != 0 && !MessageWindow::IsWindow(window))
        return Fail(WSAEINVAL);
    r->Window = window;
    r->Msg = msg;
    r->Mask = events;
    if (window == 0) {
        // Detached from its window (and maybe about to move to another thread): the watchers
        // belong to this thread and go now; the next selection creates them where it runs.
        r->ReadNotifier.reset();
        r->WriteNotifier.reset();
        return 0;
    }
    if (events != 0) {
        CreateNotifiers(*r);
        // Asking again re-enables what may be reported: waiting data or a waiting connection
        // shows up anew. A write notification still needs a send that would block.
        r->ReadArmed = true;
        r->AcceptArmed = true;
    }
    UpdateNotifiers(*r);
    return 0;
}

} // namespace cw::ws
