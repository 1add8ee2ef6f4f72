// Socket core: Connect with its resolvers and socket options, and the listening side.

#include "net/socket/WSocket.h"
#include "net/socket/WSocketInternal.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>

namespace cw {

using namespace ws;

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
        DebugDisplay("Connecting to " + ws::inet_ntoa(Fsin.sin_addr.s_addr) + ":" +
                     std::to_string(ntohs(Fsin.sin_port)));
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
        ReportError(FormatText("winsock.bind failed, error #%d", FLastError));
        return false;
    }
    sockaddr_in bound{};
    if (ws::getsockname(FHSocket, &bound) == SOCKET_ERROR) {
        FLastError = WSAGetLastError();
        ReportError(FormatText("winsock.getsockname failed, error #%d", FLastError));
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

} // namespace cw
