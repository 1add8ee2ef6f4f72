#include "net/http/HttpConnect.h"

#include "platform/TickCount.h"

namespace cw {

const char* HttpLinkName(THttpLinkKind kind)
{
    switch (kind) {
    case THttpLinkKind::Tcp:
        return "TCP";
    case THttpLinkKind::Socks:
        return "SOCKS";
    case THttpLinkKind::Tunnel:
        return "tunnel";
    case THttpLinkKind::Tls:
        return "TLS";
    }
    return "?";
}

void THttpTcpLink::Prepare(TSslWSocket& s)
{
    s.SetAddr(FAddr);
    s.SetLocalAddr(FLocalAddr);
    s.SetPort(FPort);
    s.SetProto("tcp");
    // No SOCKS unless a SOCKS link says so: a server set for an earlier connection is dropped.
    s.SetSocksServer(std::string());
}

void THttpSocksLink::Prepare(TSslWSocket& s)
{
    s.SetSocksServer(FSettings.Server);
    s.SetSocksLevel(FSettings.Level);
    s.SetSocksPort(FSettings.Port);
    s.SetSocksUsercode(FSettings.Usercode);
    s.SetSocksPassword(FSettings.Password);
    s.SetSocksAuthentication(FSettings.Authentication);
}

void THttpTunnelLink::Start(TSslWSocket& s)
{
    const std::string authority = FHost + ":" + FPort;
    std::string block = "CONNECT " + authority + " HTTP/" + FVersion + "\r\nHost: " + authority + "\r\n";
    if (FExtraLines)
        for (const std::string& l : FExtraLines())
            block += l + "\r\n";
    block += "\r\n";
    FRequest = block;
    s.QueueData(block.data(), static_cast<int>(block.size()));
    s.Send(nullptr, 0);
}

void THttpTlsLink::Start(TSslWSocket& s)
{
    FStartedAt = GetTickCount();
    // The certificate must name the server of the address; the socket's Addr is the address
    // it connected to (an IP, or the proxy).
    s.SetSslServerName(FServerName);
    s.StartSslHandshake();
}

void THttpConnectChain::Prepare(TSslWSocket& s)
{
    for (const auto& l : FLinks)
        l->Prepare(s);
}

void THttpConnectChain::SocketConnected()
{
    for (const auto& l : FLinks)
        if (l->Kind() == THttpLinkKind::Tcp || l->Kind() == THttpLinkKind::Socks)
            l->SetUp();
}

THttpLink* THttpConnectChain::Next() const
{
    for (const auto& l : FLinks)
        if (!l->Up())
            return l.get();
    return nullptr;
}

THttpLink* THttpConnectChain::Find(THttpLinkKind kind) const
{
    for (const auto& l : FLinks)
        if (l->Kind() == kind)
            return l.get();
    return nullptr;
}

std::string THttpConnectChain::Describe() const
{
    std::string out;
    for (const auto& l : FLinks)
        out += (out.empty() ? "" : " > ") + std::string(HttpLinkName(l->Kind()));
    return out;
}

} // namespace cw
