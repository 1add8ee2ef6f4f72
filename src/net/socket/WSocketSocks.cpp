// The SOCKS layer: with SocksServer set, Connect goes to the proxy and the connection to the
// real target is negotiated there (SOCKS 4, 4A, or 5 with optional user name and password)
// before the user hears OnSessionConnected. Without a proxy every step passes straight through.

#include "net/socket/WSocketSocks.h"
#include "platform/Text.h"

#include <arpa/inet.h>
#include <cstring>

namespace cw {

using namespace ws;

namespace {

std::string Trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return std::string();
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

void AppendPort(std::string& out, std::uint16_t portNetOrder)
{
    const auto* p = reinterpret_cast<const char*>(&portNetOrder);
    out.append(p, 2);
}

void AppendAddr(std::string& out, std::uint32_t addrNetOrder)
{
    const auto* p = reinterpret_cast<const char*>(&addrNetOrder);
    out.append(p, 4);
}

} // namespace

TCustomSocksWSocket::TCustomSocksWSocket(TComponent* AOwner) : TCustomWSocket(AOwner) {}

void TCustomSocksWSocket::AssignDefaultValue()
{
    TCustomWSocket::AssignDefaultValue();
    FSocksServer.clear();
    FSocksPort.clear();
    FSocksServerAssigned = false;
    FSocksPortAssigned = false;
    FSocksLevel = "5";
    FSocksState = SocksState::Data;
    FSocksReply.clear();
    FSocksLeftover.clear();
}

void TCustomSocksWSocket::SetSocksLevel(const std::string& value)
{
    if (FState != wsClosed) {
        if (value != FSocksLevel)
            ReportError("Can't change socks level if not closed");
        return;
    }
    std::string v = text::Upper(value);
    if (v != "4" && v != "4A" && v != "5") {
        ReportError("Invalid socks level. Must be 4, 4A or 5.");
        return;
    }
    FSocksLevel = v;
}

void TCustomSocksWSocket::SetSocksServer(const std::string& value)
{
    std::string v = Trim(value);
    if (FState != wsClosed) {
        if (v != FSocksServer)
            ReportError("Can't change socks server if not closed");
        return;
    }
    FSocksServer = v;
    FSocksServerAssigned = !v.empty();
}

void TCustomSocksWSocket::SetSocksPort(const std::string& value)
{
    std::string v = Trim(value);
    if (FState != wsClosed) {
        if (v != FSocksPort)
            ReportError("Can't change socks port if not closed");
        return;
    }
    FSocksPort = v;
    FSocksPortAssigned = !v.empty();
}

void TCustomSocksWSocket::Connect()
{
    bool refusedByCore =
        (FHSocket != INVALID_SOCKET && FState != wsClosed) || !FPortAssigned || !FAddrAssigned || !FProtoAssigned;
    if (!FSocksServerAssigned || refusedByCore) {
        TCustomWSocket::Connect();
        return;
    }
    std::uint32_t proxyAddr = 0;
    std::uint16_t proxyPort = 0;
    int proto = 0;
    try {
        proto = WSocketResolveProto(FProtoStr);
    } catch (const ESocketException& E) {
        ReportError("connect: " + E.Message());
        return;
    }
    if (proto != IPPROTO_TCP) {
        ReportError("tcp is the only protocol supported thru socks server");
        return;
    }
    try {
        FTargetPortNum = WSocketResolvePort(FPortStr, "tcp");
        std::string host = Trim(FAddrStr);
        FTargetIsName = !WSocketIsDottedIP(host);
        FTargetHost = host;
        FTargetAddr = 0;
        if (!FTargetIsName)
            FTargetAddr = WSocketResolveHost(host);
        else if (FSocksLevel == "4") {
            // SOCKS 4 carries only an address: the name is resolved here.
            FTargetAddr = WSocketResolveHost(host);
            FTargetIsName = false;
        }
        proxyPort = WSocketResolvePort(FSocksPort, "tcp");
        proxyAddr = WSocketResolveHost(FSocksServer);
    } catch (const ESocketException& E) {
        ReportError("connect: " + E.Message());
        return;
    }
    // The core connects to the proxy; Addr and Port keep naming the target.
    Fsin.sin_family = AF_INET;
    Fsin.sin_port = proxyPort;
    Fsin.sin_addr.s_addr = proxyAddr;
    FPortResolved = true;
    FAddrResolved = true;
    FSocksReply.clear();
    FSocksLeftover.clear();
    FSocksState = SocksState::NegociateMethods;
    TCustomWSocket::Connect();
    if (FState != wsConnecting && FState != wsSocksConnected)
        FSocksState = SocksState::Data;
}

void TCustomSocksWSocket::Listen()
{
    if (FSocksServerAssigned) {
        ReportError("Listening is not supported thru socks server");
        return;
    }
    TCustomWSocket::Listen();
}

TSocketState TCustomSocksWSocket::StateAfterConnect() const
{
    return SocksNegotiating() ? wsSocksConnected : wsConnected;
}

int TCustomSocksWSocket::RcvdCount()
{
    if (!FSocksLeftover.empty())
        return static_cast<int>(FSocksLeftover.size());
    return TCustomWSocket::RcvdCount();
}

int TCustomSocksWSocket::DoRecv(void* Buffer, int BufferSize, int Flags)
{
    if (!FSocksLeftover.empty() && BufferSize > 0) {
        size_t n = std::min(FSocksLeftover.size(), static_cast<size_t>(BufferSize));
        std::memcpy(Buffer, FSocksLeftover.data(), n);
        FSocksLeftover.erase(0, n);
        return static_cast<int>(n);
    }
    return TCustomWSocket::DoRecv(Buffer, BufferSize, Flags);
}

void TCustomSocksWSocket::TriggerDataSent(std::uint16_t ErrCode)
{
    // The proxy's greeting and requests are the layer's own traffic.
    if (!SocksNegotiating())
        TCustomWSocket::TriggerDataSent(ErrCode);
}

void TCustomSocksWSocket::TriggerSendData(int BytesSent)
{
    if (!SocksNegotiating())
        TCustomWSocket::TriggerSendData(BytesSent);
}

void TCustomSocksWSocket::TriggerSocksAuthState(TSocksAuthState AuthState)
{
    if (OnSocksAuthState)
        OnSocksAuthState(this, AuthState);
}

int TCustomSocksWSocket::SendRaw(const std::string& Bytes)
{
    return Send(Bytes.data(), static_cast<int>(Bytes.size()));
}

void TCustomSocksWSocket::TriggerSessionConnected(std::uint16_t ErrCode)
{
    if (!SocksNegotiating()) {
        TCustomWSocket::TriggerSessionConnected(ErrCode);
        return;
    }
    // The connection to the proxy is up (or failed).
    if (OnSocksConnected)
        OnSocksConnected(this, ErrCode);
    if (ErrCode != 0) {
        FSocksState = SocksState::Data;
        TCustomWSocket::TriggerSessionConnected(ErrCode);
        return;
    }
    if (FSocksLevel[0] == '4') {
        // VN 4, CD 1 (connect), port, address, empty user id; 4A puts 0.0.0.1 as the address and
        // the host name after the user id.
        std::string req;
        req += '\x04';
        req += '\x01';
        AppendPort(req, FTargetPortNum);
        if (FSocksLevel == "4A" && FTargetIsName)
            AppendAddr(req, htonl(1));
        else
            AppendAddr(req, FTargetAddr);
        req += FSocksUsercode;
        req += '\0';
        if (FSocksLevel == "4A" && FTargetIsName) {
            req += FTargetHost;
            req += '\0';
        }
        FSocksState = SocksState::WaitReply;
        SendRaw(req);
        return;
    }
    std::string greeting("\x05\x01", 2);
    greeting += FSocksAuthentication == socksAuthenticateUsercode ? '\x02' : '\x00';
    FSocksState = SocksState::NegociateMethods;
    SendRaw(greeting);
}

void TCustomSocksWSocket::SocksDoAuthenticate()
{
    // RFC 1929: version 1, then user name and password, each with a length byte.
    std::string user = FSocksUsercode.substr(0, 255);
    std::string pass = FSocksPassword.substr(0, 255);
    std::string req;
    req += '\x01';
    req += static_cast<char>(user.size());
    req += user;
    req += static_cast<char>(pass.size());
    req += pass;
    FSocksState = SocksState::Authenticate;
    TriggerSocksAuthState(socksAuthStart);
    SendRaw(req);
}

void TCustomSocksWSocket::SocksDoConnect()
{
    // RFC 1928 CONNECT: an IPv4 address, or the name for the proxy to resolve.
    std::string req("\x05\x01\x00", 3);
    if (FTargetIsName) {
        std::string name = FTargetHost.substr(0, 255);
        req += '\x03';
        req += static_cast<char>(name.size());
        req += name;
    } else {
        req += '\x01';
        AppendAddr(req, FTargetAddr);
    }
    AppendPort(req, FTargetPortNum);
    FSocksState = SocksState::WaitReply;
    SendRaw(req);
}

void TCustomSocksWSocket::SocksFailure(int Error, const std::string& Msg)
{
    // The user learns of it as a failed connect, then the connection closes.
    FSocksState = SocksState::Data;
    FSocksReply.clear();
    if (OnSocksError)
        OnSocksError(this, Error, Msg);
    TCustomWSocket::TriggerSessionConnected(static_cast<std::uint16_t>(Error));
    if (FHSocket != INVALID_SOCKET && FState != wsClosed)
        Close();
}

void TCustomSocksWSocket::SocksConnectDone(std::uint16_t ErrCode)
{
    FSocksState = SocksState::Data;
    ChangeState(wsConnected);
    TCustomWSocket::TriggerSessionConnected(ErrCode);
}

// Work through what the proxy has sent so far; returns when more bytes are needed or the
// negotiation has ended.
void TCustomSocksWSocket::SocksHandleReply()
{
    auto byte = [this](size_t i) { return static_cast<unsigned char>(FSocksReply[i]); };
    for (;;) {
        switch (FSocksState) {
        case SocksState::Data:
            return;
        case SocksState::NegociateMethods: {
            if (FSocksReply.size() < 2)
                return;
            if (byte(0) != 5) {
                SocksFailure(socksVersionError, "socks version error");
                return;
            }
            unsigned method = byte(1);
            FSocksReply.erase(0, 2);
            if (method == 0x00) {
                if (FSocksAuthentication == socksAuthenticateUsercode)
                    TriggerSocksAuthState(socksAuthNotRequired);
                SocksDoConnect();
            } else if (method == 0x02 && FSocksAuthentication == socksAuthenticateUsercode) {
                SocksDoAuthenticate();
            } else {
                SocksFailure(socksAuthMethodError, "authentification method not acceptable");
                return;
            }
            break;
        }
        case SocksState::Authenticate: {
            if (FSocksReply.size() < 2)
                return;
            unsigned status = byte(1);
            FSocksReply.erase(0, 2);
            if (status != 0) {
                TriggerSocksAuthState(socksAuthFailure);
                SocksFailure(socksAuthenticationFailed, "socks authentication failed");
                return;
            }
            TriggerSocksAuthState(socksAuthSuccess);
            SocksDoConnect();
            break;
        }
        case SocksState::WaitReply: {
            if (FSocksLevel[0] == '4') {
                if (FSocksReply.size() < 8)
                    return;
                if (byte(0) != 0 && byte(0) != 4) {
                    SocksFailure(socksVersionError, "socks version error");
                    return;
                }
                unsigned cd = byte(1);
                if (cd != 90) {
                    if (cd == 91)
                        SocksFailure(socksRejectedOrFailed, "request rejected or failed");
                    else if (cd == 92)
                        SocksFailure(socksRejectedOrFailed,
                                     "request rejected because SOCKS server cannot connect to identd on the client");
                    else if (cd == 93)
                        SocksFailure(socksRejectedOrFailed,
                                     "request rejected because the client program and identd report different "
                                     "user-ids");
                    else
                        SocksFailure(socksUnassignedError, "unassigned error #" + std::to_string(cd));
                    return;
                }
                FSocksLeftover = FSocksReply.substr(8);
                FSocksReply.clear();
                SocksConnectDone(0);
                return;
            }
            if (FSocksReply.size() < 2)
                return;
            if (byte(0) != 5) {
                SocksFailure(socksVersionError, "socks version error");
                return;
            }
            unsigned rep = byte(1);
            if (rep != 0) {
                static const char* const texts[] = {"general SOCKS server failure", "connection not allowed by ruleset",
                                                    "network unreachable",          "host unreachable",
                                                    "connection refused",           "time to live expired",
                                                    "command not supported",        "address type not supported"};
                if (rep >= 1 && rep <= 8)
                    SocksFailure(socksGeneralFailure + static_cast<int>(rep) - 1, texts[rep - 1]);
                else
                    SocksFailure(socksUnassignedError, "unassigned error #" + std::to_string(rep));
                return;
            }
            if (FSocksReply.size() < 5)
                return;
            size_t addrLen = 0;
            switch (byte(3)) {
            case 1:
                addrLen = 4;
                break;
            case 3:
                addrLen = 1 + byte(4);
                break;
            case 4:
                addrLen = 16;
                break;
            default:
                SocksFailure(socksUnknownAddressType, "address type not supported");
                return;
            }
            size_t total = 4 + addrLen + 2;
            if (FSocksReply.size() < total)
                return;
            FSocksLeftover = FSocksReply.substr(total);
            FSocksReply.clear();
            SocksConnectDone(0);
            return;
        }
        }
    }
}

bool TCustomSocksWSocket::TriggerDataAvailable(std::uint16_t ErrCode)
{
    if (!SocksNegotiating())
        return TCustomWSocket::TriggerDataAvailable(ErrCode);

    char buf[1024];
    int n = TCustomWSocket::DoRecv(buf, sizeof(buf), 0);
    if (n < 0) {
        FLastError = WSAGetLastError();
        return true;
    }
    if (n == 0)
        return true; // the proxy closed; the close notification follows
    FSocksReply.append(buf, static_cast<size_t>(n));
    SocksHandleReply();

    // Application data that came in with the proxy's last reply is offered at once: no
    // notification would announce it, since it has already left the system's buffer.
    while (!SocksNegotiating() && !FSocksLeftover.empty() && FHSocket != INVALID_SOCKET) {
        size_t before = FSocksLeftover.size();
        if (!TriggerDataAvailable(ErrCode)) {
            FSocksLeftover.clear();
            break;
        }
        if (FSocksLeftover.size() == before)
            break;
    }
    return true;
}

void TCustomSocksWSocket::TriggerSessionClosed(std::uint16_t ErrCode)
{
    if (FSocksState == SocksState::Authenticate)
        TriggerSocksAuthState(socksAuthFailure);
    FSocksState = SocksState::Data;
    TCustomWSocket::TriggerSessionClosed(ErrCode);
}

} // namespace cw
