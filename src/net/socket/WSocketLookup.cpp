// Socket core: asynchronous name and address look-up, and cancelling it.

#include "net/socket/WSocket.h"
#include "net/socket/WSocketInternal.h"

namespace cw {

using namespace ws;

// ---- look-up ---------------------------------------------------------------------------------

void TCustomWSocket::DnsLookup(const std::string& HostName)
{
    if (!PrepareLookup(HostName))
        return;

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
    if (!PrepareLookup(HostAddr))
        return;
    std::uint32_t a = WSocketIsDottedIP(HostAddr) ? WSocketResolveHost(HostAddr) : INADDR_NONE;
    if (a == INADDR_NONE) {
        WSASetLastError(WSAEINVAL);
        ReportSocketError("ReverseDnsLookup");
        TriggerDnsLookupDone(WSAEINVAL);
        return;
    }
    StartLookup(HostAddr, true, a);
}

// Refuses an empty name; otherwise a look-up still running is cancelled, as its answer would
// now be stale, and the results of the last one are forgotten.
bool TCustomWSocket::PrepareLookup(const std::string& Name)
{
    if (Name.empty()) {
        ReportError("DNS lookup: invalid host name.");
        TriggerDnsLookupDone(WSAEINVAL);
        return false;
    }
    if (FDnsLookup) {
        WSACancelAsyncRequest(*FDnsLookup);
        FDnsLookup.reset();
    }
    FDnsResult.clear();
    FDnsResultList.clear();
    LoadWinsock();
    return true;
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
        ReportError(FormatText("%s: can't start DNS lookup, error #%d", Name, WSAGetLastError()));
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

} // namespace cw
