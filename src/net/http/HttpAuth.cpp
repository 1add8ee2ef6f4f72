// Relocation and authentication retries of THttpCli: following Location fields, counting
// relocations, reusing or replacing the connection, and the Basic and NTLM handshakes for the
// server (401) and the proxy (407).
//
// Authentication states: Basic 0 idle, 1 credentials to be sent, 2 accepted; NTLM 0 idle,
// 1 negotiate message to be sent, 3 authenticate message to be sent, 4 accepted.

#include "net/http/HttpProt.h"

#include "net/http/Base64.h"
#include "net/http/HttpUrl.h"
#include "platform/Text.h"

namespace cw {

using namespace http_detail;

namespace {

// Host, and ":" + port unless the port is the default one.
std::string Authority(const std::string& host, const std::string& port)
{
    if (port.empty() || port == "80")
        return host;
    return host + ":" + port;
}

std::string WithoutFragment(const std::string& s)
{
    return s.substr(0, s.find('#'));
}

// The credentials line ("Authorization" or "Proxy-Authorization") one side's handshake sends
// next, or "" when it has nothing to send.
std::string CredentialsLine(const std::string& Field, int NTLMState, int BasicState, const std::string& User,
                            const std::string& Pass, const TNTLM_Msg2_Info& Msg2Info)
{
    if (NTLMState == 1)
        return Field + ": NTLM " + NtlmGetMessage1();
    if (NTLMState == 3)
        return Field + ": NTLM " + NtlmGetMessage3(NtlmLocalHostName(), "", User, Pass, Msg2Info.Challenge);
    if (BasicState == 1)
        return Field + ": Basic " + Base64Encode(User + ":" + Pass);
    return "";
}

} // namespace

// ---- relocation -----------------------------------------------------------------------------

void THttpCli::LocationField(const std::string& Value)
{
    if (FRequestType == httpPUT) {
        FLocation = Value;
        return;
    }
    if (!FFollowRelocation)
        return;

    std::string v = Value;
    // A network-path reference ("//host/path") names another server with the current scheme.
    if (v.compare(0, 2, "//") == 0)
        v = FProtocol + ":" + v;

    if (!v.empty() && v[0] == '/') {
        std::string path = WithoutFragment(v);
        if (FProxy.empty()) {
            FPath = path;
            FLocation = FProtocol + "://" + Authority(FHostName, FPort) + path;
        } else {
            TUrlParts u = ParseURL(FPath);
            FLocation = (u.Proto.empty() ? std::string("http") : u.Proto) + "://" + Authority(u.Host, u.Port) + path;
            FPath = FLocation;
            if (!u.User.empty() && !u.Pass.empty()) {
                FCurrUsername = u.User;
                FCurrPassword = u.Pass;
            }
        }
        FLocationFlag = true;
        return;
    }

    if (!text::StartsWithNoCase(v, "http://") && !text::StartsWithNoCase(v, "https://")) {
        // Relative to the directory of the current path; the old query does not carry over.
        std::size_t query = FPath.find('?');
        std::string base = FPath.substr(0, query);
        std::size_t cut = base.find_last_of("/:");
        FPath = (cut == std::string::npos ? std::string() : base.substr(0, cut + 1)) + WithoutFragment(v);
        FLocation = FProxy.empty() ? FProtocol + "://" + Authority(FHostName, FPort) + FPath : FPath;
        FLocationFlag = true;
        return;
    }

    TUrlParts u = ParseURL(WithoutFragment(v));
    if (u.Host.empty()) {
        // Following it would mean connecting to nowhere: end with this response instead.
        SetFailure("Relocation to an address without a host: " + Value);
        return;
    }
    FLocationFlag = true;
    FTargetHost = u.Host;
    FTargetPort = u.Port.empty() ? "80" : u.Port;
    if (!u.User.empty() && !u.Pass.empty()) {
        FCurrUsername = u.User;
        FCurrPassword = u.Pass;
    }
    std::string path = u.Path.empty() ? std::string("/") : (u.Path[0] == '?' ? "/" + u.Path : u.Path);
    if (FProxy.empty()) {
        FProtocol = u.Proto;
        FHostName = u.Host;
        FPort = FTargetPort;
        FPath = path;
        FLocation = FProtocol + "://" + Authority(FHostName, FPort) + FPath;
    } else {
        FPath = u.Proto + "://" + Authority(u.Host, u.Port) + path;
        FLocation = FPath;
    }
}

bool THttpCli::LocationLimitReached()
{
    ++FLocationChangeCurCount;
    if (FLocationChangeCurCount <= FLocationChangeMaxCount)
        return false;
    bool allowMore = false;
    if (OnLocationChangeExceeded)
        OnLocationChangeExceeded(this, FLocationChangeCurCount, allowMore);
    if (allowMore)
        return false;
    FLocationFlag = false;
    FWindow.PostMessage(WM_HTTP_SET_READY);
    return true;
}

void THttpCli::StartRelocation()
{
    if (Tracing())
        Trace("Starting relocation process");
    FRcvdCount = 0;
    FReceiveLen = 0;
    FHeaderLineCount = 0;
    FBodyLineCount = 0;

    if (LocationLimitReached())
        return;

    if (!SameConnection() || FCloseReq) {
        FClosedTarget = TClosedTarget::Relocate;
        FCtrlSocket->PostClose();
        return;
    }

    if (OnLocationChange)
        OnLocationChange(this);
    ResetResponseFields();
    FDocName = DocNameFromPath(ParseURL(FLocation).Path);
    if (FRequestType == httpPOST)
        FRequestType = httpGET;
    CutStreamsBack();
    PostLogin();
}

void THttpCli::RelocateAfterClose(std::uint16_t ErrCode)
{
    if (FState == httpAborting || FState == httpReady) {
        // The request was ended meanwhile: this is an ordinary close.
        FClosedTarget = TClosedTarget::Normal;
        SocketSessionClosed(ErrCode);
        return;
    }
    std::string loc = WithoutFragment(FLocation);
    FDocName = DocNameFromPath(ParseURL(loc).Path);
    FConnected = false;
    FLocationFlag = false;
    if (FRequestType == httpPOST)
        FRequestType = httpGET;
    FClosedTarget = TClosedTarget::Normal;

    if (LocationLimitReached())
        return;

    if (OnLocationChange)
        OnLocationChange(this);
    FRcvdHeader.clear();
    FHeaderLineCount = 0;
    FBodyLineCount = 0;
    FHeaderOpen = false;
    FHeaderBytes = 0;
    FContentLength = -1;
    FContentType.clear();
    FTransferEncoding.clear();
    FContentEncoding.clear();
    FStatusCode = 0;
    FRequestDoneError = 0;
    FCloseReq = FRequestVer == "1.0";
    FNoHeaderResponse = false;

    if (!FProxy.empty()) {
        TUrlParts p = ParseURL(FProxy);
        FHostName = p.Host;
        FPort = p.Port.empty() ? FProxyPort : p.Port;
    }
    CutStreamsBack();
    PostLogin();
}

// ---- authentication -------------------------------------------------------------------------

const std::string* THttpCli::FindChallenge(const std::string& Scheme) const
{
    for (auto it = FDoAuthor.rbegin(); it != FDoAuthor.rend(); ++it)
        if (text::StartsWithNoCase(*it, Scheme))
            return &*it;
    return nullptr;
}

bool THttpCli::KeepAliveForNtlm() const
{
    return FRequestVer == "1.0" || FReplyVer == "1.0" || FReplyVer.empty();
}

THttpCli::TAuthParty THttpCli::AuthParty(bool Proxy)
{
    if (Proxy)
        return {true, FProxyAuthNTLMState, FProxyAuthBasicState, FProxyNTLMMsg2Info, FCurrProxyConnection};
    return {false, FAuthNTLMState, FAuthBasicState, FNTLMMsg2Info, FCurrConnection};
}

void THttpCli::ApplyPresetAuth()
{
    if (!FProxy.empty() && FProxyAuth != httpAuthNone && !FProxyUsername.empty() && !FProxyPassword.empty()) {
        bool sameProxy = FCtrlSocket->State() == wsConnected && FConnected && SameConnection();
        PresetAuth(AuthParty(true), FProxyAuth, sameProxy);
    }
    if (FServerAuth != httpAuthNone && !FCurrUsername.empty() && !FCurrPassword.empty())
        PresetAuth(AuthParty(false), FServerAuth, false);
}

// Credentials given beforehand go out with the first request, unless the connection they
// would go out on has already accepted them.
void THttpCli::PresetAuth(const TAuthParty& P, THttpAuthType Type, bool Accepted)
{
    if (Type == httpAuthNtlm) {
        P.NTLMState = Accepted ? 4 : 1;
        if (KeepAliveForNtlm())
            P.Connection = "Keep-alive";
    } else {
        P.BasicState = Accepted ? 2 : 1;
    }
}

std::string THttpCli::AuthorizationLine() const
{
    // While the proxy handshake opens, the server's credentials would only be wasted on it.
    if (FProxyAuthNTLMState == 1)
        return "";
    return CredentialsLine("Authorization", FAuthNTLMState, FAuthBasicState, FCurrUsername, FCurrPassword,
                           FNTLMMsg2Info);
}

std::string THttpCli::ProxyAuthorizationLine() const
{
    return CredentialsLine("Proxy-Authorization", FProxyAuthNTLMState, FProxyAuthBasicState, FProxyUsername,
                           FProxyPassword, FProxyNTLMMsg2Info);
}

bool THttpCli::AuthenticationDecision()
{
    const int status = FStatusCode;
    if (FAuthNTLMState == 3 && status != 401 && status != 407)
        FAuthNTLMState = 4;
    else if (FAuthNTLMState == 4 && status == 401)
        FAuthNTLMState = 0;
    if (FProxyAuthNTLMState == 3 && status != 407)
        FProxyAuthNTLMState = 4;
    else if (FProxyAuthNTLMState == 4 && status == 407)
        FProxyAuthNTLMState = 0;
    if (FAuthBasicState == 1 && status != 401 && status != 407)
        FAuthBasicState = 2;
    else if (FAuthBasicState == 2 && status == 401)
        FAuthBasicState = 0;
    if (FProxyAuthBasicState == 1 && status != 407)
        FProxyAuthBasicState = 2;
    else if (FProxyAuthBasicState == 2 && status == 407)
        FProxyAuthBasicState = 0;

    // A request that failed on our side (aborted, no connection) is never retried.
    bool applied = false;
    bool retry = false;
    const bool failedHere = FRequestDoneError == httperrAborted || FPendingException;
    if (!failedHere && (status == 401 || status == 407)) {
        const bool server = status == 401;
        const bool haveCreds = server ? (!FCurrUsername.empty() && !FCurrPassword.empty())
                                      : (!FProxyUsername.empty() && !FProxyPassword.empty());
        const THttpAuthType preset = server ? FServerAuth : FProxyAuth;
        const bool ntlmAllowed = !FOptions.Contains(httpoNoNTLMAuth) || preset == httpAuthNtlm;
        const bool basicAllowed = !FOptions.Contains(httpoNoBasicAuth) || preset == httpAuthBasic;
        const TAuthParty party = AuthParty(!server);

        if (ntlmAllowed && !FDoAuthor.empty() && party.BasicState == 0 && haveCreds && FindChallenge("NTLM")) {
            applied = true;
            NtlmStep(party);
            retry = party.NTLMState == 1 || party.NTLMState == 3;
        } else if (basicAllowed && !FDoAuthor.empty() && party.NTLMState == 0 && haveCreds && FindChallenge("Basic")) {
            applied = true;
            BasicStep(party);
            retry = party.BasicState == 1;
        }
    }

    if (!applied) {
        PostRequestDone();
        return false;
    }

    if (status == 401) {
        // The proxy's credentials must go out again when the server's retry needs a new
        // connection; on a kept connection the proxy remembers them.
        if (FCloseReq) {
            if (FProxyAuthNTLMState == 4)
                FProxyAuthNTLMState = 1;
            else if (FProxyAuthBasicState == 2)
                FProxyAuthBasicState = 1;
        } else {
            if (FProxyAuthNTLMState < 4)
                FProxyAuthNTLMState = 0;
            else if (FProxyAuthBasicState < 2)
                FProxyAuthBasicState = 0;
        }
    }

    if (retry) {
        CutStreamsBack();
        FReceiveLen = 0;
        std::string docName = FDocName;
        ResetResponseFields();
        FDocName = docName;
    }
    return retry;
}

void THttpCli::NtlmStep(const TAuthParty& P)
{
    switch (P.NTLMState) {
    case 0:
        if (Tracing())
            Trace(P.Proxy ? "Starting Proxy NTLM authentication" : "Starting NTLM authentication");
        P.NTLMState = 1;
        P.BasicState = 0;
        if (KeepAliveForNtlm())
            P.Connection = "Keep-alive";
        PostLogin();
        break;
    case 1: {
        const std::string* entry = FindChallenge("NTLM");
        TNTLM_Msg2_Info info;
        if (entry && entry->size() > 5)
            info = NtlmGetMessage2(entry->substr(5, 1000));
        if (!info.Valid) {
            // No usable challenge: the other side refused the negotiation. End with its answer.
            FDoAuthor.clear();
            P.NTLMState = 0;
            PostRequestDone();
            break;
        }
        P.NTLMMsg2Info = info;
        P.NTLMState = 3;
        PostLogin();
        break;
    }
    case 3:
        FDoAuthor.clear();
        P.NTLMState = 0;
        PostRequestDone();
        break;
    default:
        throw EHttpException(P.Proxy ? "Unexpected ProxyAuthNTLMState" : "Unexpected AuthNTLMState",
                             httperrInvalidAuthState);
    }
}

void THttpCli::BasicStep(const TAuthParty& P)
{
    switch (P.BasicState) {
    case 0:
        if (Tracing())
            Trace(P.Proxy ? "Starting Proxy Basic authentication" : "Starting Basic authentication");
        P.BasicState = 1;
        P.NTLMState = 0;
        PostLogin();
        break;
    case 1:
        FDoAuthor.clear();
        P.BasicState = 0;
        PostRequestDone();
        break;
    default:
        throw EHttpException(P.Proxy ? "Unexpected ProxyAuthBasicState" : "Unexpected AuthBasicState",
                             httperrInvalidAuthState);
    }
}

} // namespace cw
