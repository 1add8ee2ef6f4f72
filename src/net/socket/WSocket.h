#pragma once
// TCustomWSocket, the core of the socket component: an asynchronous, event-driven TCP socket.
// Every operation returns at once; look-up, connect, sending and receiving complete later
// through events, which run on the thread that created the component (the user-interface
// thread). Notifications arrive as messages on the component's hidden MessageWindow, so they
// are also delivered from nested message loops (Application::ProcessMessages / WaitMessage).
//
// The layers above the core, one concern and one header each, lowest first:
//   WSocketSocks.h      TCustomSocksWSocket  optional SOCKS 4 / 4A / 5 negotiation
//   WSocketLine.h       TCustomLineWSocket   optional line mode
//   WSocketSync.h       TCustomSyncWSocket   waiting operations that pump messages
//   WSocketComponent.h  TWSocket             the component the program uses
// Code that only needs the core (a layer of its own over the socket) includes this header.
//
// Conventions: a property X is X() / SetX(v); an event OnX is a std::function that fires only
// when assigned; Sender is always the component itself. Errors go through ReportSocketError /
// ReportError: when OnError is assigned it is called and the operation carries on as its own
// code says (Send returns -1, ...); otherwise ESocketException is thrown.
//
// PostFree deletes the component when its message is handled: only for components created
// with new and not owned by anything else.

#include "net/socket/WSockBuf.h"
#include "platform/MessageWindow.h"
#include "platform/Types.h"
#include "platform/Winsock.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace cw {

// Private messages of the hidden window (the layers above add theirs from 0x410 on).
constexpr unsigned WM_SOCKET_EVENT = 0x401;        // wParam socket, lParam event | error << 16
constexpr unsigned WM_SOCKET_LOOKUP_DONE = 0x402;  // wParam request handle, lParam error << 16
constexpr unsigned WM_SOCKET_REVERSE_DONE = 0x403; // wParam request handle, lParam error << 16
constexpr unsigned WM_SOCKET_CLOSE = 0x404;        // PostClose
constexpr unsigned WM_SOCKET_FREE = 0x405;         // PostFree
constexpr unsigned WM_SOCKET_TEST = 0x406;         // throws "Test exception in WSocket"

// Names and order are fixed: ordinal values are stored and compared.
enum TSocketState {
    wsInvalidState,
    wsOpened,
    wsBound,
    wsConnecting,
    wsSocksConnected,
    wsConnected,
    wsAccepting,
    wsListening,
    wsClosed
};
enum TWSocketOption { wsoNoReceiveLoop, wsoTcpNoDelay, wsoSIO_RCVALL };
enum TSocketSendFlags { wsSendNormal, wsSendUrgent };
enum TSocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };
enum TSocketKeepAliveOnOff { wsKeepAliveOff, wsKeepAliveOnCustom, wsKeepAliveOnSystem };

// The set of TWSocketOption: TWSocketOptions{wsoNoReceiveLoop, wsoTcpNoDelay}.
class TWSocketOptions {
public:
    constexpr TWSocketOptions() = default;
    constexpr TWSocketOptions(std::initializer_list<TWSocketOption> options)
    {
        for (TWSocketOption o : options)
            FBits |= Bit(o);
    }
    constexpr bool Contains(TWSocketOption o) const { return (FBits & Bit(o)) != 0; }
    constexpr TWSocketOptions& Include(TWSocketOption o)
    {
        FBits |= Bit(o);
        return *this;
    }
    constexpr TWSocketOptions& Exclude(TWSocketOption o)
    {
        FBits &= ~Bit(o);
        return *this;
    }
    constexpr TWSocketOptions Without(TWSocketOption o) const
    {
        TWSocketOptions r = *this;
        return r.Exclude(o);
    }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr bool operator==(const TWSocketOptions&) const = default;

private:
    static constexpr unsigned Bit(TWSocketOption o) { return 1u << static_cast<unsigned>(o); }
    unsigned FBits = 0;
};

// Event types.
using TDataAvailable = std::function<void(TObject* Sender, std::uint16_t ErrCode)>;
using TDataSent = std::function<void(TObject* Sender, std::uint16_t ErrCode)>;
using TSendData = std::function<void(TObject* Sender, int BytesSent)>;
using TSessionClosed = std::function<void(TObject* Sender, std::uint16_t ErrCode)>;
using TSessionAvailable = std::function<void(TObject* Sender, std::uint16_t ErrCode)>;
using TSessionConnected = std::function<void(TObject* Sender, std::uint16_t ErrCode)>;
using TChangeState = std::function<void(TObject* Sender, TSocketState OldState, TSocketState NewState)>;
using TDnsLookupDone = std::function<void(TObject* Sender, std::uint16_t ErrCode)>;
using TNotifyEvent = std::function<void(TObject* Sender)>;
// CanClose starts true; leaving it true aborts the socket after the handler.
using TBgExceptionEvent = std::function<void(TObject* Sender, const std::exception& E, bool& CanClose)>;
// Trace sink: with none attached, no trace text is built.
using TDebugDisplay = std::function<void(TObject* Sender, const std::string& Msg)>;

class ESocketException : public Exception {
public:
    using Exception::Exception;
};

// "Connection refused" for 10061, "Not a WinSock error" for unknown codes, "No Error" for 0.
std::string SocketErrorText(int ErrCode);

// Four groups of decimal digits (each <= 255) separated by exactly three dots, every dot
// followed by a digit; leading and trailing blanks allowed; must not start with ".".
bool WSocketIsDottedIP(const std::string& s);

// Resolvers (throw ESocketException with the texts the error path reports).
// Results in network byte order.
std::uint32_t WSocketResolveHost(const std::string& InAddr);
std::uint16_t WSocketResolvePort(const std::string& Port, const std::string& Proto);
int WSocketResolveProto(const std::string& Proto);
// The machine's host name; "Winsock.GetHostName failed" as ESocketException on failure.
std::string LocalHostName();

class TCustomWSocket : public TComponent {
public:
    explicit TCustomWSocket(TComponent* AOwner = nullptr);
    ~TCustomWSocket() override;
    TCustomWSocket(const TCustomWSocket&) = delete;
    TCustomWSocket& operator=(const TCustomWSocket&) = delete;

    // ---- operations -------------------------------------------------------------------------
    void DnsLookup(const std::string& HostName);
    void ReverseDnsLookup(const std::string& HostAddr);
    void CancelLookup();
    virtual void Connect();
    virtual void Listen();
    // Accept a waiting connection on a listening socket; returns the new handle (or
    // INVALID_SOCKET). Hand it to another component with Dup.
    virtual ws::SOCKET Accept();
    // Take over an accepted socket handle: the component becomes connected.
    virtual void Dup(ws::SOCKET NewHSocket);

    // Queue and start sending; -1 (LastError 10057, "Send" reported) unless connected.
    // Returns the count queued. Send(nullptr, 0) just starts sending what is queued.
    int Send(const void* Data, int Len);
    int SendStr(const std::string& Str);
    // Append to the send queue without sending.
    void QueueData(const void* Data, int Len);
    virtual void TryToSend();

    // One receive call: bytes read, 0 when the peer has closed, -1 on error (LastError holds
    // the code; 10035 means no data now).
    int Receive(void* Buffer, int BufferSize);
    std::string ReceiveStr();

    // Virtual so that a layer with its own closing handshake (TLS) runs it first.
    virtual void Close();
    void Abort();
    void PostClose();
    void PostFree();
    void Shutdown(int How);
    void Pause();
    // Virtual so that a layer holding received bytes of its own can announce them again.
    virtual void Resume();
    void Flush();
    // One round of message handling: DrainMessages when MultiThreaded, else the application's.
    void PumpMessages();
    // Handle every message waiting on this thread; a quit sets Terminated.
    void DrainMessages();
    // Spellings used elsewhere for the same two operations. ProcessMessages returns Terminated.
    bool ProcessMessages();
    void MessageLoop(); // pumps until Terminated or the application ends

    // Move the component to another thread: ThreadDetach on the thread that owns it (the
    // hidden window goes, notifications stop), then ThreadAttach on the new thread.
    void ThreadDetach();
    void ThreadAttach();

    // The error path.
    void ReportSocketError(const std::string& sockfunc);
    void ReportError(const std::string& Msg);

    // ---- properties -------------------------------------------------------------------------
    const std::string& Addr() const { return FAddrStr; }
    void SetAddr(const std::string& value);
    const std::string& Port() const { return FPortStr; }
    void SetPort(const std::string& value);
    const std::string& Proto() const { return FProtoStr; }
    void SetProto(const std::string& value);
    const std::string& LocalAddr() const { return FLocalAddr; }
    void SetLocalAddr(const std::string& value);
    const std::string& LocalPort() const { return FLocalPortStr; }
    void SetLocalPort(const std::string& value);
    std::string PeerAddr() const; // "error" when not available
    std::string PeerPort() const;
    const std::string& DnsResult() const { return FDnsResult; }
    const std::vector<std::string>& DnsResultList() const { return FDnsResultList; }
    TSocketState State() const { return FState; }
    // Bytes Receive has handed out on this connection (reset at every close). 64 bits: one
    // download may well pass 2 GiB.
    std::int64_t ReadCount() const { return FReadCount; }
    virtual int RcvdCount(); // bytes waiting; -1 on failure
    int LastError() const { return FLastError; }
    void SetLastError(int value) { FLastError = value; }
    bool MultiThreaded() const { return FMultiThreaded; }
    void SetMultiThreaded(bool value) { FMultiThreaded = value; }
    bool MultiCast() const { return FMultiCast; }
    void SetMultiCast(bool value) { FMultiCast = value; }
    const std::string& MultiCastAddrStr() const { return FMultiCastAddrStr; }
    void SetMultiCastAddrStr(const std::string& value) { FMultiCastAddrStr = value; }
    int MultiCastIpTTL() const { return FMultiCastIpTTL; }
    void SetMultiCastIpTTL(int value) { FMultiCastIpTTL = value; }
    bool ReuseAddr() const { return FReuseAddr; }
    void SetReuseAddr(bool value) { FReuseAddr = value; }
    TWSocketOptions ComponentOptions() const { return FComponentOptions; }
    void SetComponentOptions(TWSocketOptions value) { FComponentOptions = value; }
    int ListenBacklog() const { return FListenBacklog; }
    void SetListenBacklog(int value) { FListenBacklog = value; }
    std::uint8_t ReqVerLow() const { return FReqVerLow; }
    void SetReqVerLow(std::uint8_t value);
    std::uint8_t ReqVerHigh() const { return FReqVerHigh; }
    void SetReqVerHigh(std::uint8_t value);
    int FlushTimeout() const { return FFlushTimeout; }
    void SetFlushTimeout(int value) { FFlushTimeout = value; }
    TSocketSendFlags SendFlags() const { return FSendFlags; }
    void SetSendFlags(TSocketSendFlags value) { FSendFlags = value; }
    TSocketLingerOnOff LingerOnOff() const { return FLingerOnOff; }
    void SetLingerOnOff(TSocketLingerOnOff value) { FLingerOnOff = value; }
    int LingerTimeout() const { return FLingerTimeout; }
    void SetLingerTimeout(int value) { FLingerTimeout = value; }
    TSocketKeepAliveOnOff KeepAliveOnOff() const { return FKeepAliveOnOff; }
    void SetKeepAliveOnOff(TSocketKeepAliveOnOff value) { FKeepAliveOnOff = value; }
    unsigned KeepAliveTime() const { return FKeepAliveTime; }
    void SetKeepAliveTime(unsigned value) { FKeepAliveTime = value; }
    unsigned KeepAliveInterval() const { return FKeepAliveInterval; }
    void SetKeepAliveInterval(unsigned value) { FKeepAliveInterval = value; }
    // Bytes queued and not yet handed to the system.
    std::int64_t BufferedByteCount() const { return FBufferedByteCount; }
    bool AllSent() const { return FAllSent; }
    bool Paused() const { return FPaused; }
    bool Terminated() const { return FTerminated; }
    void SetTerminated(bool value) { FTerminated = value; }
    ws::SOCKET HSocket() const { return FHSocket; }
    // The hidden window's handle (messages posted to it reach this component).
    HWND Handle() const;
    int SocketSndBufSize() const { return FSocketSndBufSize; }
    int SocketRcvBufSize() const { return FSocketRcvBufSize; }
    // Number of chunks in the send queue (the first one stays for reuse).
    int SendQueueChunks() const { return static_cast<int>(FBufList.size()); }

    // ---- events -----------------------------------------------------------------------------
    TDataAvailable OnDataAvailable;
    TDataSent OnDataSent;
    TSendData OnSendData;
    TSessionClosed OnSessionClosed;
    TSessionAvailable OnSessionAvailable;
    TSessionConnected OnSessionConnected;
    TChangeState OnChangeState;
    TDnsLookupDone OnDnsLookupDone;
    TNotifyEvent OnError;
    TBgExceptionEvent OnBgException;
    TDebugDisplay OnDebugDisplay;

    static constexpr int SendChunkSize = 1460;

protected:
    virtual void WndProc(TMessage& Msg);
    // Steps the layers override.
    virtual void AssignDefaultValue();                        // reset of the connection fields
    virtual bool TriggerDataAvailable(std::uint16_t ErrCode); // true when a handler ran
    virtual void TriggerSessionConnected(std::uint16_t ErrCode);
    virtual void TriggerSessionClosed(std::uint16_t ErrCode);
    virtual void TriggerDataSent(std::uint16_t ErrCode);
    virtual void TriggerSendData(int BytesSent);
    virtual void TriggerSessionAvailable(std::uint16_t ErrCode);
    virtual void TriggerDnsLookupDone(std::uint16_t ErrCode);
    virtual void TriggerChangeState(TSocketState OldState, TSocketState NewState);
    virtual void TriggerError();
    virtual int DoRecv(void* Buffer, int BufferSize, int Flags); // the receive step
    // The send step of TryToSend: bytes taken (0 or more), or SOCKET_ERROR with the platform's
    // last error set (10035: no room now, a write notification follows).
    virtual int DoSend(const void* Data, int Len, int Flags);
    virtual void HandleBackGroundException(const std::exception& E);
    // The state a completed connect leads to (the SOCKS layer negotiates in wsSocksConnected).
    virtual TSocketState StateAfterConnect() const { return wsConnected; }
    bool IsConnectedState() const { return FState == wsConnected || FState == wsSocksConnected; }

    void ChangeState(TSocketState NewState);
    void InternalClose(bool bShut, std::uint16_t Error);
    void ReceiveLoop(std::uint16_t Error, TWSocketOptions MySocketOptions);
    void DeleteBufferedData();
    bool IsDestroying() const { return FDestroying; }
    void DebugDisplay(const std::string& Msg);
    bool HasDebugDisplay() const { return static_cast<bool>(OnDebugDisplay); }
    // Raise (always) an ESocketException for the texts that never go to OnError.
    [[noreturn]] static void RaiseException(const std::string& Msg);

    // Message handlers of WndProc.
    void Do_FD_CONNECT(std::uint16_t Error);
    void Do_FD_READ(std::uint16_t Error);
    void Do_FD_WRITE(std::uint16_t Error);
    void Do_FD_ACCEPT(std::uint16_t Error);
    void Do_FD_CLOSE(std::uint16_t Error);
    void WMASyncSelect(TMessage& Msg);
    void WMAsyncGetHostByName(TMessage& Msg);
    void WMAsyncGetHostByAddr(TMessage& Msg);

    // Connection fields the layers reach.
    ws::SOCKET FHSocket = ws::INVALID_SOCKET;
    std::string FAddrStr;
    std::string FPortStr;
    std::string FProtoStr;
    std::string FLocalAddr;
    std::string FLocalPortStr;
    sockaddr_in Fsin{};
    std::uint16_t FPortNum = 0; // network order
    std::uint16_t FLocalPortNum = 0;
    int FProto = 6;
    int FType = 0; // SOCK_STREAM, SOCK_DGRAM or SOCK_RAW
    bool FAddrAssigned = false;
    bool FAddrResolved = false;
    bool FPortAssigned = false;
    bool FPortResolved = false;
    bool FLocalPortResolved = false;
    bool FProtoAssigned = false;
    bool FProtoResolved = false;
    long FSelectEvent = 0;
    TSocketState FState = wsClosed;
    bool FAllSent = true;
    bool FPaused = false;
    bool FCloseInvoked = false;
    bool FWritePosted = false; // a write notice posted by Send is waiting
    bool FTerminated = false;
    std::int64_t FReadCount = 0;
    int FLastError = 0;

private:
    class TSocketWindow;
    void LoadWinsock();
    bool PrepareLookup(const std::string& Name);
    void StartLookup(const std::string& Name, bool Reverse, std::uint32_t Addr);
    void HandleLookupAnswer(TMessage& Msg, bool Reverse);
    bool ApplyLinger();
    bool ApplyKeepAlive();
    bool BindSocket();
    void SocketClosedBySend(int Err);
    void ResolveForConnect();

    std::unique_ptr<TSocketWindow> FWindow;
    std::thread::id FThreadId; // the thread the hidden window belongs to
    std::list<std::unique_ptr<TBuffer>> FBufList;
    std::int64_t FBufferedByteCount = 0;
    std::string FDnsResult;
    std::vector<std::string> FDnsResultList;
    std::shared_ptr<ws::AsyncRequest> FDnsLookup;
    bool FLookupStarting = false;
    bool FEarlyAnswer = false;
    TMessage FEarlyAnswerMsg;
    bool FMultiThreaded = false;
    bool FMultiCast = false;
    std::string FMultiCastAddrStr;
    int FMultiCastIpTTL = 1;
    bool FReuseAddr = false;
    TWSocketOptions FComponentOptions;
    int FListenBacklog = 5;
    std::uint8_t FReqVerLow = 1;
    std::uint8_t FReqVerHigh = 1;
    int FFlushTimeout = 60;
    TSocketSendFlags FSendFlags = wsSendNormal;
    TSocketLingerOnOff FLingerOnOff = wsLingerOn;
    int FLingerTimeout = 0;
    TSocketKeepAliveOnOff FKeepAliveOnOff = wsKeepAliveOnSystem;
    unsigned FKeepAliveTime = 30000;
    unsigned FKeepAliveInterval = 1000;
    int FSocketSndBufSize = 0;
    int FSocketRcvBufSize = 0;
    bool FDestroying = false;
};

} // namespace cw
