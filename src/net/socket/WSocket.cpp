// The core socket: hidden window, state, events, notifications, receive loop, closing and the
// error path. Look-up, connect and sending have their own files, as do the SOCKS, line and
// waiting layers.

#include "net/socket/WSocket.h"
#include "net/socket/WSocketInternal.h"

#include "platform/Application.h"
#include "platform/Log.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <arpa/inet.h>
#include <cstdio>
#include <mutex>

namespace cw {

using namespace ws;

namespace {

// The process-wide lock around library start-up and the live-socket count.
std::mutex gLibLock;
int gSocketCount = 0;
bool gWinsockLoaded = false;
const char* const kLibraryName = "wsock32.dll";

} // namespace

std::recursive_mutex& SendLock()
{
    static std::recursive_mutex lock;
    return lock;
}

std::string FormatText(const char* fmt, const std::string& s, int n)
{
    char buf[512];
    std::snprintf(buf, sizeof(buf), fmt, s.c_str(), n);
    return buf;
}

std::string FormatText(const char* fmt, int n)
{
    char buf[256];
    std::snprintf(buf, sizeof(buf), fmt, n);
    return buf;
}

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
    FThreadId = std::this_thread::get_id();
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
        LogCaught("socket", "cancelling the name look-up of a destroyed socket");
    }
    try {
        if (FHSocket != INVALID_SOCKET)
            InternalClose(true, 0);
    } catch (...) {
        LogCaught("socket", "closing a destroyed socket");
    }
    if (FHSocket != INVALID_SOCKET) {
        ws::closesocket(FHSocket); // whatever state a handler left behind, the handle goes
        FHSocket = INVALID_SOCKET;
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

void TCustomWSocket::ThreadDetach()
{
    if (std::this_thread::get_id() != FThreadId) {
        ReportError("Cannot detach from other thread");
        return;
    }
    if (!FWindow)
        return;
    if (FHSocket != INVALID_SOCKET)
        ws::WSAAsyncSelect(FHSocket, 0, 0, 0);
    FWindow.reset();
    FThreadId = std::thread::id();
}

void TCustomWSocket::ThreadAttach()
{
    if (FWindow) {
        ReportError("Cannot attach when not detached");
        return;
    }
    FWindow = std::make_unique<TSocketWindow>(this);
    FThreadId = std::this_thread::get_id();
    if (FHSocket != INVALID_SOCKET && FSelectEvent != 0 && !FPaused &&
        ws::WSAAsyncSelect(FHSocket, Handle(), WM_SOCKET_EVENT, FSelectEvent) == SOCKET_ERROR)
        ReportSocketError("WSAAsyncSelect");
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
        throw ESocketException(FormatText("%s: WSAStartup error #%d", kLibraryName, err));
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
        // The connection is gone: close the handle and tell the user once. A socket that was
        // never opened has no session to report closed.
        if (FHSocket != INVALID_SOCKET) {
            ws::closesocket(FHSocket);
            FHSocket = INVALID_SOCKET;
            if (!FCloseInvoked && !FDestroying) {
                FCloseInvoked = true;
                TriggerSessionClosed(static_cast<std::uint16_t>(n));
            }
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
            LogCaught("socket", std::string("the background-exception handler failed on \"") + E.what() + "\"");
        }
    } else {
        LogLine("socket", std::string("background exception, connection aborted: ") + E.what());
    }
    if (CanClose) {
        try {
            Abort();
        } catch (...) {
            LogCaught("socket", "aborting after a background exception");
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
            // A handler that paused the socket reads nothing more until it resumes it, also of
            // what has already arrived.
            if (FHSocket == INVALID_SOCKET || FPaused)
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
        LogCaught("socket", "data handler failed, this round of reading ends");
    }
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
