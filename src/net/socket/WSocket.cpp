// The core socket: hidden window, state, look-up, connect, send queue, receive loop, closing and
// the error path. The SOCKS, line and waiting layers live in their own files.

#include "net/socket/WSocket.h"

#include "platform/Application.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <mutex>
#include <netinet/tcp.h>

namespace cw {

using namespace ws;

namespace {

// The process-wide locks: library start-up with the live-socket count, and every send queue
// (all sockets share one, as they share one thread; it never contends). The send lock is
// recursive because OnSendData and OnSessionClosed handlers may send again from inside
// TryToSend.
std::mutex gLibLock;
int gSocketCount = 0;
bool gWinsockLoaded = false;
std::recursive_mutex gSendLock;

const char* const kLibraryName = "wsock32.dll";

std::string Format(const char* fmt, const std::string& s, int n)
{
    char buf[512];
    std::snprintf(buf, sizeof(buf), fmt, s.c_str(), n);
    return buf;
}

std::string Format(const char* fmt, int n)
{
    char buf[256];
    std::snprintf(buf, sizeof(buf), fmt, n);
    return buf;
}

} // namespace

// The hidden window: everything posted to it comes back to the socket's WndProc on the thread
// that created the socket.
class TCustomWSocket::TSocketWindow : public MessageWindow {
public:
    explicit TSocketWindow(TCustomWSocket* owner) : FSocket(owner) {}

protected:
    void WndProc(TMessage& msg) override
    {
        if (FSocket)
            FSocket->WndProc(msg);
    }

private:
    TCustomWSocket* FSocket;
};

// ---- construction ----------------------------------------------------------------------------

TCustomWSocket::TCustomWSocket(TComponent* AOwner) : TComponent(AOwner)
{
    FWindow = std::make_unique<TSocketWindow>(this);
    AssignDefaultValue();
    std::lock_guard<std::mutex> lock(gLibLock);
    ++gSocketCount;
}

TCustomWSocket::~TCustomWSocket()
{
    FDestroying = true;
    try {
        CancelLookup();
    } catch (...) {
    }
    try {
        if (FHSocket != INVALID_SOCKET)
            InternalClose(true, 0);
    } catch (...) {
    }
    {
        std::lock_guard<std::mutex> lock(gLibLock);
        if (--gSocketCount == 0 && gWinsockLoaded) {
            WSACleanup();
            gWinsockLoaded = false;
        }
    }
    DeleteBufferedData();
    FWindow.reset();
}

void TCustomWSocket::AssignDefaultValue()
{
    Fsin = sockaddr_in{};
    Fsin.sin_family = AF_INET;
    FPortAssigned = false;
    FPortResolved = false;
    FAddrAssigned = false;
    FAddrResolved = false;
    FAddrStr.clear();
    FPortStr.clear();
    FPortNum = 0;
    FProtoAssigned = true;
    FProtoResolved = false;
    FProtoStr = "tcp";
    FProto = IPPROTO_TCP;
    FType = SOCK_STREAM;
    FLocalPortResolved = false;
    FLocalPortStr = "0";
    FLocalPortNum = 0;
    FLocalAddr = "0.0.0.0";
    FLingerOnOff = wsLingerOn;
    FLingerTimeout = 0;
    FHSocket = INVALID_SOCKET;
    FSelectEvent = 0;
    FState = wsClosed;
    FAllSent = true;
    FPaused = false;
    FReadCount = 0;
    FCloseInvoked = false;
    FWritePosted = false;
    FFlushTimeout = 60;
}

HWND TCustomWSocket::Handle() const
{
    return FWindow ? FWindow->Handle() : 0;
}

void TCustomWSocket::LoadWinsock()
{
    std::lock_guard<std::mutex> lock(gLibLock);
    if (gWinsockLoaded)
        return;
    WSAData data;
    std::uint16_t version = static_cast<std::uint16_t>(FReqVerLow | (FReqVerHigh << 8));
    int err = WSAStartup(version, &data);
    if (err != 0)
        throw ESocketException(Format("%s: WSAStartup error #%d", kLibraryName, err));
    gWinsockLoaded = true;
}

void TCustomWSocket::SetReqVerLow(std::uint8_t value)
{
    if (value == FReqVerLow)
        return;
    {
        std::lock_guard<std::mutex> lock(gLibLock);
        if (!gWinsockLoaded) {
            FReqVerLow = value;
            return;
        }
    }
    ReportSocketError("SetReqVerLow: WinSock version can't be changed now");
}

void TCustomWSocket::SetReqVerHigh(std::uint8_t value)
{
    if (value == FReqVerHigh)
        return;
    {
        std::lock_guard<std::mutex> lock(gLibLock);
        if (!gWinsockLoaded) {
            FReqVerHigh = value;
            return;
        }
    }
    ReportSocketError("SetReqVerHigh: WinSock version can't be changed now");
}

// ---- properties ------------------------------------------------------------------------------

void TCustomWSocket::SetAddr(const std::string& value)
{
    if (FState != wsClosed) {
        if (value != FAddrStr)
            ReportError("Cannot change Addr if not closed");
        return;
    }
    FAddrStr = value;
    FAddrAssigned = !value.empty();
    FAddrResolved = false;
}

void TCustomWSocket::SetPort(const std::string& value)
{
    if (FState != wsClosed) {
        if (value != FPortStr)
            ReportError("Cannot change Port if not closed");
        return;
    }
    FPortStr = value;
    FPortAssigned = !value.empty();
    FPortResolved = false;
}

void TCustomWSocket::SetProto(const std::string& value)
{
    if (FState != wsClosed) {
        if (value != FProtoStr)
            ReportError("Cannot change Proto if not closed");
        return;
    }
    FProtoStr = value;
    FProtoAssigned = !value.empty();
    FProtoResolved = false;
}

void TCustomWSocket::SetLocalAddr(const std::string& value)
{
    std::string v = value.empty() ? "0.0.0.0" : value;
    if (FState != wsClosed) {
        if (v != FLocalAddr)
            ReportError("Cannot change LocalAddr if not closed");
        return;
    }
    FLocalAddr = v;
}

void TCustomWSocket::SetLocalPort(const std::string& value)
{
    if (FState != wsClosed) {
        if (value != FLocalPortStr)
            ReportError("Cannot change LocalPort if not closed");
        return;
    }
    FLocalPortStr = value;
    FLocalPortResolved = false;
}

std::string TCustomWSocket::PeerAddr() const
{
    sockaddr_in sa{};
    if (FHSocket == INVALID_SOCKET || ws::getpeername(FHSocket, &sa) == SOCKET_ERROR)
        return "error";
    return ws::inet_ntoa(sa.sin_addr.s_addr);
}

std::string TCustomWSocket::PeerPort() const
{
    sockaddr_in sa{};
    if (FHSocket == INVALID_SOCKET || ws::getpeername(FHSocket, &sa) == SOCKET_ERROR)
        return "error";
    return std::to_string(ntohs(sa.sin_port));
}

int TCustomWSocket::RcvdCount()
{
    unsigned long n = 0;
    if (FHSocket == INVALID_SOCKET || ws::ioctlsocket(FHSocket, FIONREAD, &n) == SOCKET_ERROR)
        return -1;
    return static_cast<int>(n);
}

// ---- events ----------------------------------------------------------------------------------

void TCustomWSocket::ChangeState(TSocketState NewState)
{
    TSocketState old = FState;
    FState = NewState;
    if (old != NewState && !FDestroying)
        TriggerChangeState(old, NewState);
}

bool TCustomWSocket::TriggerDataAvailable(std::uint16_t ErrCode)
{
    if (!OnDataAvailable)
        return false;
    OnDataAvailable(this, ErrCode);
    return true;
}

void TCustomWSocket::TriggerSessionConnected(std::uint16_t ErrCode)
{
    if (OnSessionConnected)
        OnSessionConnected(this, ErrCode);
}

void TCustomWSocket::TriggerSessionClosed(std::uint16_t ErrCode)
{
    if (OnSessionClosed)
        OnSessionClosed(this, ErrCode);
}

void TCustomWSocket::TriggerDataSent(std::uint16_t ErrCode)
{
    if (OnDataSent)
        OnDataSent(this, ErrCode);
}

void TCustomWSocket::TriggerSendData(int BytesSent)
{
    if (OnSendData)
        OnSendData(this, BytesSent);
}

void TCustomWSocket::TriggerSessionAvailable(std::uint16_t ErrCode)
{
    if (OnSessionAvailable)
        OnSessionAvailable(this, ErrCode);
}

void TCustomWSocket::TriggerDnsLookupDone(std::uint16_t ErrCode)
{
    if (OnDnsLookupDone)
        OnDnsLookupDone(this, ErrCode);
}

void TCustomWSocket::TriggerChangeState(TSocketState OldState, TSocketState NewState)
{
    if (OnChangeState)
        OnChangeState(this, OldState, NewState);
}

void TCustomWSocket::TriggerError()
{
    if (OnError)
        OnError(this);
}

void TCustomWSocket::DebugDisplay(const std::string& Msg)
{
    if (OnDebugDisplay)
        OnDebugDisplay(this, Msg);
}

// ---- the error path --------------------------------------------------------------------------

void TCustomWSocket::RaiseException(const std::string& Msg)
{
    throw ESocketException(Msg);
}

void TCustomWSocket::ReportError(const std::string& Msg)
{
    if (HasDebugDisplay())
        DebugDisplay(Msg);
    if (OnError)
        TriggerError();
    else
        RaiseException(Msg);
}

void TCustomWSocket::ReportSocketError(const std::string& sockfunc)
{
    int n = WSAGetLastError();
    std::string line = "Error " + std::to_string(n) + " in function " + sockfunc + "\r\n" + SocketErrorText(n);
    if (n == WSAECONNRESET || n == WSAENOTCONN) {
        // The connection is gone: close the handle and tell the user once.
        if (FHSocket != INVALID_SOCKET) {
            ws::closesocket(FHSocket);
            FHSocket = INVALID_SOCKET;
        }
        if (!FCloseInvoked && !FDestroying) {
            FCloseInvoked = true;
            TriggerSessionClosed(static_cast<std::uint16_t>(n));
        }
        ChangeState(wsClosed);
    }
    FLastError = n;
    ReportError(line);
}

void TCustomWSocket::HandleBackGroundException(const std::exception& E)
{
    bool CanClose = true;
    if (OnBgException) {
        try {
            OnBgException(this, E, CanClose);
        } catch (...) {
        }
    }
    if (CanClose) {
        try {
            Abort();
        } catch (...) {
        }
    }
}

// ---- the hidden window -----------------------------------------------------------------------

void TCustomWSocket::WndProc(TMessage& Msg)
{
    try {
        switch (Msg.Msg) {
        case WM_SOCKET_EVENT:
            WMASyncSelect(Msg);
            break;
        case WM_SOCKET_LOOKUP_DONE:
            WMAsyncGetHostByName(Msg);
            break;
        case WM_SOCKET_REVERSE_DONE:
            WMAsyncGetHostByAddr(Msg);
            break;
        case WM_SOCKET_CLOSE:
            Close();
            break;
        case WM_SOCKET_FREE:
            delete this; // nothing of this object may be touched after this line
            return;
        case WM_SOCKET_TEST:
            throw ESocketException("Test exception in WSocket");
        default:
            break;
        }
    } catch (const std::exception& E) {
        HandleBackGroundException(E);
    }
}

void TCustomWSocket::WMASyncSelect(TMessage& Msg)
{
    if (FHSocket == INVALID_SOCKET || Msg.WParam != static_cast<WPARAM>(FHSocket))
        return;
    unsigned events = WSAGetSelectEvent(Msg.LParam);
    if (events & FD_WRITE)
        FWritePosted = false;
    if (FPaused)
        return;
    auto error = static_cast<std::uint16_t>(WSAGetSelectError(Msg.LParam));
    SOCKET s = FHSocket;
    // Fixed order; a handler that closes the socket ends the rest.
    if (events & FD_CONNECT)
        Do_FD_CONNECT(error);
    if ((events & FD_READ) && FHSocket == s)
        Do_FD_READ(error);
    if ((events & FD_WRITE) && FHSocket == s)
        Do_FD_WRITE(error);
    if ((events & FD_ACCEPT) && FHSocket == s)
        Do_FD_ACCEPT(error);
    if ((events & FD_CLOSE) && FHSocket == s)
        Do_FD_CLOSE(error);
}

void TCustomWSocket::Do_FD_CONNECT(std::uint16_t Error)
{
    if (IsConnectedState())
        return;
    ChangeState(StateAfterConnect());
    TriggerSessionConnected(Error);
    if (Error != 0 && FState != wsClosed)
        Close();
}

void TCustomWSocket::Do_FD_READ(std::uint16_t Error)
{
    // Data can be seen before the connect is reported; the user still hears of the connection
    // first, and only once.
    if (!IsConnectedState()) {
        ChangeState(StateAfterConnect());
        TriggerSessionConnected(Error);
    }
    ReceiveLoop(Error, FComponentOptions);
}

void TCustomWSocket::Do_FD_WRITE(std::uint16_t Error)
{
    TryToSend();
    if (FAllSent)
        TriggerDataSent(Error);
}

void TCustomWSocket::Do_FD_ACCEPT(std::uint16_t Error)
{
    TriggerSessionAvailable(Error);
}

void TCustomWSocket::Do_FD_CLOSE(std::uint16_t Error)
{
    if (FState == wsConnecting || FHSocket == INVALID_SOCKET)
        return;
    SOCKET s = FHSocket;
    ReceiveLoop(0, FComponentOptions.Without(wsoNoReceiveLoop));
    if (FHSocket != s)
        return; // a handler closed (and maybe reopened) the socket meanwhile
    // The close itself reports the peer's error: the state turns wsClosed first, then
    // OnSessionClosed(Error) fires, once, as for a close of our own.
    if (FState != wsClosed)
        InternalClose(true, Error);
}

void TCustomWSocket::ReceiveLoop(std::uint16_t Error, TWSocketOptions MySocketOptions)
{
    try {
        for (;;) {
            FLastError = 0;
            if (!TriggerDataAvailable(Error)) {
                // Nobody reads: discard, so the peer is not stalled by a full window.
                char junk[1024];
                if (Receive(junk, sizeof(junk)) < 0 && FLastError == WSAEWOULDBLOCK) {
                    FLastError = 0;
                    break;
                }
            }
            if (MySocketOptions.Contains(wsoNoReceiveLoop))
                break;
            if (FLastError != 0) {
                if (FLastError == -1)
                    FLastError = 0;
                break;
            }
            if (FHSocket == INVALID_SOCKET)
                break;
            unsigned long pending = 0;
            if (ws::ioctlsocket(FHSocket, FIONREAD, &pending) == SOCKET_ERROR) {
                FLastError = WSAGetLastError();
                break;
            }
            if (pending == 0)
                break;
        }
    } catch (...) {
        // A failing handler ends this round of reading; the next notification starts anew.
    }
}

// ---- look-up ---------------------------------------------------------------------------------

void TCustomWSocket::DnsLookup(const std::string& HostName)
{
    if (HostName.empty()) {
        ReportError("DNS lookup: invalid host name.");
        TriggerDnsLookupDone(WSAEINVAL);
        return;
    }
    if (FDnsLookup) {
        WSACancelAsyncRequest(*FDnsLookup);
        FDnsLookup.reset();
    }
    FDnsResult.clear();
    FDnsResultList.clear();
    LoadWinsock();

    if (WSocketIsDottedIP(HostName)) {
        std::string t = HostName;
        t.erase(0, t.find_first_not_of(' '));
        t.erase(t.find_last_not_of(' ') + 1);
        std::uint32_t a = ws::inet_addr(t.c_str());
        if (a != INADDR_NONE) {
            FDnsResult = ws::inet_ntoa(a);
            FDnsResultList.push_back(FDnsResult);
            TriggerDnsLookupDone(0);
            return;
        }
    }
    StartLookup(HostName, false, 0);
}

void TCustomWSocket::ReverseDnsLookup(const std::string& HostAddr)
{
    if (HostAddr.empty()) {
        ReportError("DNS lookup: invalid host name.");
        TriggerDnsLookupDone(WSAEINVAL);
        return;
    }
    if (FDnsLookup) {
        WSACancelAsyncRequest(*FDnsLookup);
        FDnsLookup.reset();
    }
    FDnsResult.clear();
    FDnsResultList.clear();
    LoadWinsock();
    std::uint32_t a = WSocketIsDottedIP(HostAddr) ? WSocketResolveHost(HostAddr) : INADDR_NONE;
    if (a == INADDR_NONE) {
        WSASetLastError(WSAEINVAL);
        ReportSocketError("ReverseDnsLookup");
        TriggerDnsLookupDone(WSAEINVAL);
        return;
    }
    StartLookup(HostAddr, true, a);
}

void TCustomWSocket::StartLookup(const std::string& Name, bool Reverse, std::uint32_t Addr)
{
    if (!FWindow) {
        ReportError("DnsLookup: Window not assigned");
        return;
    }
    // The answer may come back before the request handle is known here; it is then kept and
    // handled right after the handle has been stored.
    FLookupStarting = true;
    FEarlyAnswer = false;
    std::shared_ptr<AsyncRequest> req;
    try {
        req = Reverse ? WSAAsyncGetHostByAddr(Handle(), WM_SOCKET_REVERSE_DONE, Addr)
                      : WSAAsyncGetHostByName(Handle(), WM_SOCKET_LOOKUP_DONE, Name);
    } catch (...) {
        FLookupStarting = false;
        throw;
    }
    FLookupStarting = false;
    if (!req) {
        FEarlyAnswer = false;
        ReportError(Format("%s: can't start DNS lookup, error #%d", Name, WSAGetLastError()));
        return;
    }
    FDnsLookup = std::move(req);
    if (FEarlyAnswer) {
        FEarlyAnswer = false;
        TMessage m = FEarlyAnswerMsg;
        HandleLookupAnswer(m, Reverse);
    }
}

void TCustomWSocket::WMAsyncGetHostByName(TMessage& Msg)
{
    HandleLookupAnswer(Msg, false);
}

void TCustomWSocket::WMAsyncGetHostByAddr(TMessage& Msg)
{
    HandleLookupAnswer(Msg, true);
}

void TCustomWSocket::HandleLookupAnswer(TMessage& Msg, bool Reverse)
{
    if (FLookupStarting) {
        FEarlyAnswerMsg = Msg;
        FEarlyAnswer = true;
        return;
    }
    if (!FDnsLookup || Msg.WParam != FDnsLookup->Handle())
        return;
    std::shared_ptr<AsyncRequest> req = std::move(FDnsLookup);
    FDnsLookup.reset();
    auto error = static_cast<std::uint16_t>(WSAGetAsyncError(Msg.LParam));
    if (error == 0) {
        const HostEnt& h = req->Result();
        if (Reverse) {
            FDnsResultList.push_back(h.Name);
            for (const std::string& alias : h.Aliases)
                FDnsResultList.push_back(alias);
        } else {
            for (std::uint32_t a : h.Addresses)
                FDnsResultList.push_back(ws::inet_ntoa(a));
        }
        if (!FDnsResultList.empty())
            FDnsResult = FDnsResultList.front();
    }
    TriggerDnsLookupDone(error);
}

void TCustomWSocket::CancelLookup()
{
    if (!FDnsLookup)
        return;
    std::shared_ptr<AsyncRequest> req = std::move(FDnsLookup);
    FDnsLookup.reset();
    if (WSACancelAsyncRequest(*req) == SOCKET_ERROR) {
        ReportSocketError("WSACancelAsyncRequest");
        return;
    }
    if (!FDestroying)
        TriggerDnsLookupDone(WSAEINTR);
}

// ---- connect ---------------------------------------------------------------------------------

void TCustomWSocket::ResolveForConnect()
{
    if (!FProtoResolved) {
        FProto = WSocketResolveProto(FProtoStr);
        FType = FProto == IPPROTO_TCP ? SOCK_STREAM : FProto == IPPROTO_UDP ? SOCK_DGRAM : SOCK_RAW;
        FProtoResolved = true;
    }
    if (!FPortResolved) {
        FPortNum = WSocketResolvePort(FPortStr, FProtoStr);
        Fsin.sin_port = FPortNum;
        FPortResolved = true;
    }
    if (!FLocalPortResolved) {
        FLocalPortNum = WSocketResolvePort(FLocalPortStr, FProtoStr);
        FLocalPortResolved = true;
    }
    if (!FAddrResolved) {
        Fsin.sin_addr.s_addr = WSocketResolveHost(FAddrStr);
        FAddrResolved = true;
    }
}

void TCustomWSocket::Connect()
{
    if (FHSocket != INVALID_SOCKET && FState != wsClosed) {
        ReportError("Connect: Socket already in use");
        return;
    }
    if (!FPortAssigned) {
        ReportError("Connect: No Port Specified");
        return;
    }
    if (!FAddrAssigned) {
        ReportError("Connect: No IP Address Specified");
        return;
    }
    if (!FProtoAssigned) {
        ReportError("Connect: No Protocol Specified");
        return;
    }
    LoadWinsock();
    try {
        ResolveForConnect();
    } catch (const ESocketException& E) {
        ReportError("connect: " + E.Message());
        return;
    }
    Fsin.sin_family = AF_INET;

    DeleteBufferedData();

    FHSocket = ws::socket(AF_INET, FType, FProto);
    if (FHSocket == INVALID_SOCKET) {
        ReportSocketError("Connect (socket)");
        return;
    }
    // A new connection: its close has not been reported yet, whatever happened to the last.
    FCloseInvoked = false;
    int optLen = sizeof(FSocketSndBufSize);
    if (ws::getsockopt(FHSocket, SOL_SOCKET, SO_SNDBUF, &FSocketSndBufSize, &optLen) == SOCKET_ERROR) {
        ReportSocketError("ws::getsockopt(SO_SNDBUF)");
        return;
    }
    optLen = sizeof(FSocketRcvBufSize);
    if (ws::getsockopt(FHSocket, SOL_SOCKET, SO_RCVBUF, &FSocketRcvBufSize, &optLen) == SOCKET_ERROR) {
        ReportSocketError("ws::getsockopt(SO_RCVBUF)");
        return;
    }

    ChangeState(wsOpened);
    if (FState != wsOpened) {
        WSASetLastError(WSAEINVAL);
        ReportSocketError("Connect (Invalid operation in OnChangeState)");
        return;
    }

    if (FType == SOCK_STREAM) {
        int one = 1;
        if (ws::setsockopt(FHSocket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) == SOCKET_ERROR) {
            ReportSocketError("ws::setsockopt(SO_REUSEADDR)");
            return;
        }
        if (FComponentOptions.Contains(wsoTcpNoDelay) &&
            ws::setsockopt(FHSocket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) == SOCKET_ERROR) {
            ReportSocketError("ws::setsockopt(IPPROTO_TCP, TCP_NODELAY)");
            return;
        }
        if (!ApplyLinger() || !ApplyKeepAlive())
            return;
        if ((FLocalPortNum != 0 || FLocalAddr != "0.0.0.0") && !BindSocket())
            return;
    } else {
        if (FReuseAddr) {
            int one = 1;
            ws::setsockopt(FHSocket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        }
        if ((FLocalPortNum != 0 || FLocalAddr != "0.0.0.0") && !BindSocket())
            return;
        if (FMultiCast) {
            unsigned char ttl = static_cast<unsigned char>(FMultiCastIpTTL);
            if (ws::setsockopt(FHSocket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) == SOCKET_ERROR) {
                ReportSocketError("ws::setsockopt(IP_MULTICAST_TTL)");
                return;
            }
        }
        int one = 1;
        if (Fsin.sin_addr.s_addr == INADDR_BROADCAST)
            ws::setsockopt(FHSocket, SOL_SOCKET, SO_BROADCAST, &one, sizeof(one));
    }

    FSelectEvent = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
    if (WSAAsyncSelect(FHSocket, Handle(), WM_SOCKET_EVENT, FSelectEvent) == SOCKET_ERROR) {
        ReportSocketError("WSAAsyncSelect");
        return;
    }

    if (FType != SOCK_STREAM) {
        // Datagrams: no handshake; the remote end only becomes the default destination.
        if (ws::connect(FHSocket, Fsin) == SOCKET_ERROR) {
            FLastError = WSAGetLastError();
            ReportSocketError("Connect");
            return;
        }
        ChangeState(wsConnected);
        TriggerSessionConnected(0);
        return;
    }

    if (HasDebugDisplay())
        DebugDisplay("Connecting to " + ws::inet_ntoa(Fsin.sin_addr.s_addr) + ":" + std::to_string(ntohs(Fsin.sin_port)));
    if (ws::connect(FHSocket, Fsin) == SOCKET_ERROR) {
        int err = WSAGetLastError();
        if (err != WSAEWOULDBLOCK) {
            FLastError = err;
            ReportSocketError("Connect");
            return;
        }
    }
    ChangeState(wsConnecting);
}

bool TCustomWSocket::ApplyLinger()
{
    if (FLingerOnOff == wsLingerNoSet)
        return true;
    if (FHSocket == INVALID_SOCKET) {
        ReportError("Cannot set linger option at this time");
        return false;
    }
    linger l{};
    l.l_onoff = FLingerOnOff == wsLingerOn ? 1 : 0;
    l.l_linger = FLingerTimeout;
    if (ws::setsockopt(FHSocket, SOL_SOCKET, SO_LINGER, &l, sizeof(l)) == SOCKET_ERROR) {
        ReportSocketError("ws::setsockopt(SO_LINGER)");
        return false;
    }
    return true;
}

bool TCustomWSocket::ApplyKeepAlive()
{
    if (FKeepAliveOnOff == wsKeepAliveOff)
        return true;
    int one = 1;
    if (ws::setsockopt(FHSocket, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof(one)) == SOCKET_ERROR) {
        ReportSocketError("ws::setsockopt(SO_KEEPALIVE)");
        return false;
    }
    if (FKeepAliveOnOff == wsKeepAliveOnCustom &&
        WSAIoctlKeepAlive(FHSocket, true, FKeepAliveTime, FKeepAliveInterval) == SOCKET_ERROR) {
        ReportSocketError("WSocket_WSAIoctl(SIO_KEEPALIVE_VALS)");
        return false;
    }
    return true;
}

bool TCustomWSocket::BindSocket()
{
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = FLocalPortNum;
    try {
        local.sin_addr.s_addr = WSocketResolveHost(FLocalAddr);
    } catch (const ESocketException& E) {
        ReportError("connect: " + E.Message());
        return false;
    }
    if (ws::bind(FHSocket, local) == SOCKET_ERROR) {
        FLastError = WSAGetLastError();
        ReportError(Format("winsock.bind failed, error #%d", FLastError));
        return false;
    }
    sockaddr_in bound{};
    if (ws::getsockname(FHSocket, &bound) == SOCKET_ERROR) {
        FLastError = WSAGetLastError();
        ReportError(Format("winsock.getsockname failed, error #%d", FLastError));
        return false;
    }
    FLocalPortNum = bound.sin_port;
    FLocalPortStr = std::to_string(ntohs(bound.sin_port));
    return true;
}

// ---- listening side --------------------------------------------------------------------------

void TCustomWSocket::Listen()
{
    if (FHSocket != INVALID_SOCKET && FState != wsClosed) {
        ReportError("listen: socket is already in use");
        return;
    }
    LoadWinsock();
    try {
        if (!FProtoResolved) {
            FProto = WSocketResolveProto(FProtoStr);
            FType = FProto == IPPROTO_TCP ? SOCK_STREAM : FProto == IPPROTO_UDP ? SOCK_DGRAM : SOCK_RAW;
            FProtoResolved = true;
        }
        if (!FLocalPortResolved) {
            FLocalPortNum = WSocketResolvePort(FLocalPortStr, FProtoStr);
            FLocalPortResolved = true;
        }
    } catch (const ESocketException& E) {
        ReportError("listen: " + E.Message());
        return;
    }
    FHSocket = ws::socket(AF_INET, FType, FProto);
    if (FHSocket == INVALID_SOCKET) {
        ReportSocketError("socket");
        return;
    }
    FCloseInvoked = false;
    ChangeState(wsOpened);
    int one = 1;
    if (FType == SOCK_STREAM)
        ws::setsockopt(FHSocket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (!BindSocket())
        return;
    ChangeState(wsBound);
    if (FType == SOCK_STREAM) {
        FSelectEvent = FD_ACCEPT | FD_CLOSE;
        if (WSAAsyncSelect(FHSocket, Handle(), WM_SOCKET_EVENT, FSelectEvent) == SOCKET_ERROR) {
            ReportSocketError("WSAASyncSelect");
            return;
        }
        if (ws::listen(FHSocket, FListenBacklog) == SOCKET_ERROR) {
            ReportSocketError("listen");
            return;
        }
        ChangeState(wsListening);
    } else {
        FSelectEvent = FD_READ | FD_WRITE;
        if (WSAAsyncSelect(FHSocket, Handle(), WM_SOCKET_EVENT, FSelectEvent) == SOCKET_ERROR) {
            ReportSocketError("WSAASyncSelect");
            return;
        }
        ChangeState(wsListening);
        ChangeState(wsConnected);
    }
}

SOCKET TCustomWSocket::Accept()
{
    if (FState != wsListening) {
        WSASetLastError(WSAEINVAL);
        ReportSocketError("not a listening socket");
        return INVALID_SOCKET;
    }
    sockaddr_in peer{};
    SOCKET s = ws::accept(FHSocket, &peer);
    if (s == INVALID_SOCKET) {
        if (WSAGetLastError() == WSAEWOULDBLOCK)
            return INVALID_SOCKET;
        ReportSocketError("accept");
    }
    return s;
}

void TCustomWSocket::Dup(SOCKET NewHSocket)
{
    if (NewHSocket == INVALID_SOCKET) {
        WSASetLastError(WSAEINVAL);
        ReportSocketError("Dup");
        return;
    }
    if (FHSocket != INVALID_SOCKET && FState != wsClosed) {
        ReportError("Dup: socket already in use");
        return;
    }
    DeleteBufferedData();
    FHSocket = NewHSocket;
    FType = SOCK_STREAM;
    FProto = IPPROTO_TCP;
    FCloseInvoked = false;
    int optLen = sizeof(FSocketSndBufSize);
    ws::getsockopt(FHSocket, SOL_SOCKET, SO_SNDBUF, &FSocketSndBufSize, &optLen);
    optLen = sizeof(FSocketRcvBufSize);
    ws::getsockopt(FHSocket, SOL_SOCKET, SO_RCVBUF, &FSocketRcvBufSize, &optLen);
    FSelectEvent = FD_READ | FD_WRITE | FD_CLOSE | FD_CONNECT;
    if (WSAAsyncSelect(FHSocket, Handle(), WM_SOCKET_EVENT, FSelectEvent) == SOCKET_ERROR) {
        ReportSocketError("WSAAsyncSelect");
        return;
    }
    ChangeState(wsConnected);
}

// ---- sending ---------------------------------------------------------------------------------

void TCustomWSocket::QueueData(const void* Data, int Len)
{
    if (Len <= 0 || !Data)
        return;
    std::lock_guard<std::recursive_mutex> lock(gSendLock);
    if (FBufList.empty())
        FBufList.push_back(std::make_unique<TBuffer>(SendChunkSize));
    const char* p = static_cast<const char*>(Data);
    int left = Len;
    for (;;) {
        int n = FBufList.back()->Write(p, left);
        p += n;
        left -= n;
        if (left == 0)
            break;
        FBufList.push_back(std::make_unique<TBuffer>(SendChunkSize));
    }
    FBufferedByteCount += Len;
    FAllSent = false;
}

int TCustomWSocket::Send(const void* Data, int Len)
{
    if (!IsConnectedState()) {
        WSASetLastError(WSAENOTCONN);
        ReportSocketError("Send");
        return -1;
    }
    FAllSent = false;
    int queued = (Len > 0 && Data) ? Len : 0;
    if (queued > 0)
        QueueData(Data, queued);
    TryToSend();
    // OnDataSent always comes later, from a notification, never from inside Send. One such
    // notice waiting is enough: a sender that calls Send many times before returning to the
    // loop does not pile up a message per call.
    if (FAllSent && FWindow && !FWritePosted) {
        FWritePosted = true;
        FWindow->PostMessage(WM_SOCKET_EVENT, static_cast<WPARAM>(FHSocket),
                             WSAMakeSelectReply(static_cast<unsigned>(FD_WRITE), 0));
    }
    return queued;
}

int TCustomWSocket::SendStr(const std::string& Str)
{
    if (Str.empty())
        return 0;
    return Send(Str.data(), static_cast<int>(Str.size()));
}

void TCustomWSocket::TryToSend()
{
    std::lock_guard<std::recursive_mutex> lock(gSendLock);
    if (FHSocket == INVALID_SOCKET || FBufList.empty()) {
        FAllSent = true;
        return;
    }
    for (;;) {
        if (FBufList.empty() || FHSocket == INVALID_SOCKET) {
            FAllSent = true;
            return;
        }
        TBuffer* chunk = FBufList.front().get();
        const char* data = nullptr;
        int len = chunk->Peek(data);
        if (len > 0) {
            int flags = FSendFlags == wsSendUrgent ? MSG_OOB : 0;
            int n = ws::send(FHSocket, data, len, flags);
            if (n == SOCKET_ERROR) {
                int err = WSAGetLastError();
                if (err == WSAEWOULDBLOCK)
                    return; // FD_WRITE follows when there is room again
                if (err == WSAEINVAL || err == WSAENOTSOCK || err == WSAECONNABORTED || err == WSAECONNRESET ||
                    err == WSAENOTCONN) {
                    SocketClosedBySend(err);
                    return;
                }
                ReportSocketError("TryToSend failed");
                return;
            }
            // Consume before telling anyone: an OnSendData handler may send again, and must
            // not see these bytes still queued.
            chunk->Remove(n);
            FBufferedByteCount = std::max(0, FBufferedByteCount - n);
            if (n > 0)
                TriggerSendData(n);
            if (n < len)
                return;
            continue;
        }
        if (FBufList.size() > 1) {
            FBufList.pop_front();
            continue;
        }
        // The last chunk stays for reuse: a steady sender allocates nothing.
        FAllSent = true;
        return;
    }
}

void TCustomWSocket::SocketClosedBySend(int Err)
{
    FCloseInvoked = true;
    FLastError = Err;
    Close();
    if (!FDestroying)
        TriggerSessionClosed(static_cast<std::uint16_t>(Err));
}

void TCustomWSocket::DeleteBufferedData()
{
    std::lock_guard<std::recursive_mutex> lock(gSendLock);
    FBufList.clear();
    FBufferedByteCount = 0;
}

// ---- receiving -------------------------------------------------------------------------------

int TCustomWSocket::DoRecv(void* Buffer, int BufferSize, int Flags)
{
    return ws::recv(FHSocket, Buffer, BufferSize, Flags);
}

int TCustomWSocket::Receive(void* Buffer, int BufferSize)
{
    int n = DoRecv(Buffer, BufferSize, 0);
    if (n < 0)
        FLastError = WSAGetLastError();
    else
        FReadCount += n;
    return n;
}

std::string TCustomWSocket::ReceiveStr()
{
    int n = RcvdCount();
    if (n < 0)
        return std::string();
    if (n == 0)
        n = 255;
    std::string s(static_cast<size_t>(n), '\0');
    int got = Receive(s.data(), n);
    if (got <= 0)
        return std::string();
    s.resize(static_cast<size_t>(got));
    return s;
}

// ---- closing ---------------------------------------------------------------------------------

void TCustomWSocket::Close()
{
    InternalClose(true, 0);
}

void TCustomWSocket::InternalClose(bool bShut, std::uint16_t Error)
{
    if (FHSocket == INVALID_SOCKET) {
        ChangeState(wsClosed);
        AssignDefaultValue();
        return;
    }
    if (FState == wsClosed)
        return;
    if (bShut)
        ws::shutdown(FHSocket, SD_SEND);
    while (ws::closesocket(FHSocket) == SOCKET_ERROR) {
        int err = WSAGetLastError();
        if (err == WSAEWOULDBLOCK) {
            PumpMessages();
            continue;
        }
        FHSocket = INVALID_SOCKET;
        if (err != WSANOTINITIALISED) {
            FLastError = err;
            ReportSocketError("Disconnect (closesocket)");
        }
        return;
    }
    FHSocket = INVALID_SOCKET;
    ChangeState(wsClosed);
    if (!FDestroying && !FCloseInvoked) {
        FCloseInvoked = true;
        TriggerSessionClosed(Error);
    }
    // A handler may have opened a new connection already; its fields must stay.
    if (FHSocket == INVALID_SOCKET)
        AssignDefaultValue();
}

void TCustomWSocket::Abort()
{
    CancelLookup();
    DeleteBufferedData();
    if (FHSocket != INVALID_SOCKET && FType == SOCK_STREAM && IsConnectedState()) {
        FLingerOnOff = wsLingerOff;
        ApplyLinger();
    }
    InternalClose(false, 0);
}

void TCustomWSocket::InternalAbort(std::uint16_t ErrCode)
{
    CancelLookup();
    DeleteBufferedData();
    InternalClose(false, ErrCode);
}

void TCustomWSocket::PostClose()
{
    if (FWindow)
        FWindow->PostMessage(WM_SOCKET_CLOSE);
}

void TCustomWSocket::PostFree()
{
    if (FWindow)
        FWindow->PostMessage(WM_SOCKET_FREE);
}

void TCustomWSocket::Shutdown(int How)
{
    if (FHSocket != INVALID_SOCKET)
        ws::shutdown(FHSocket, How);
}

void TCustomWSocket::Pause()
{
    FPaused = true;
    if (FHSocket != INVALID_SOCKET)
        WSAAsyncSelect(FHSocket, Handle(), 0, 0);
}

void TCustomWSocket::Resume()
{
    FPaused = false;
    if (FHSocket != INVALID_SOCKET && FSelectEvent != 0)
        WSAAsyncSelect(FHSocket, Handle(), WM_SOCKET_EVENT, FSelectEvent);
}

// ---- message pumps ---------------------------------------------------------------------------

void TCustomWSocket::Flush()
{
    while (FHSocket != INVALID_SOCKET && !FAllSent) {
        int before = FBufferedByteCount;
        TryToSend();
        PumpMessages();
        // No progress: the system buffer is full. Wait for the write notification instead of
        // spinning.
        if (FHSocket != INVALID_SOCKET && !FAllSent && FBufferedByteCount == before)
            Application::WaitMessage(50);
    }
}

void TCustomWSocket::PumpMessages()
{
    if (FMultiThreaded)
        DrainMessages();
    else
        Application::ProcessMessages();
}

void TCustomWSocket::DrainMessages()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    if (Application::Terminated())
        FTerminated = true;
}

bool TCustomWSocket::ProcessMessages()
{
    DrainMessages();
    return FTerminated;
}

void TCustomWSocket::MessageLoop()
{
    while (!FTerminated && !Application::Terminated())
        Application::WaitMessage(100);
}

} // namespace cw
