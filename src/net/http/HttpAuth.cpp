// Relocation and authentication retries of THttpCli: following Location fields, counting
// relocations, reusing or replacing the connection, and the Basic and NTLM handshakes for the
// server (401) and the proxy (407).

#include "net/http/HttpProt.h"

#include "net/http/Base64.h"
#include "net/http/HttpUrl.h"
#include "platform/Text.h"

namespace cw {

using namespace http_detail;

namespace {

std::string WithoutFragment(const std::string& s)
{
    return s.substr(0, s.find('#'));
}

// The credentials line ("Authorization" or "Proxy-Authorization") one side's handshake sends
// next, or "" when it has nothing to send.
std::string CredentialsLine(const std::string& Field, THttpNtlmState NTLM, THttpBasicState Basic,
                            const std::string& User, const std::string& Pass, const TNTLM_Msg2_Info& Msg2Info)
{
    if (NTLM == THttpNtlmState::NegotiateDue)
        return Field + ": NTLM " + NtlmGetMessage1();
    if (NTLM == THttpNtlmState::AuthenticateDue)
        return Field + ": NTLM " + NtlmGetMessage3(NtlmLocalHostName(), "", User, Pass, Msg2Info.Challenge);
    if (Basic == THttpBasicState::CredentialsDue)
        return Field + ": Basic " + Base64Encode(User + ":" + Pass);
    return "";
}

} // namespace

// ---- relocation -----------------------------------------------------------------------------

void THttpCli::LocationField(const std::string& Value)
{
    if (FRequestType == httpPUT) {
        FTarget.Location = Value;
        return;
    }
    if (!FFollowRelocation)
        return;
    // A control byte would reach the next request line (a lone CR survives the cutting of
    // header lines): such an address is not followed, and the request ends with this answer.
    const std::string reference = text::TrimBlanks(Value);
    if (FindControlByte(reference) != std::string::npos) {
        SetFailure("Relocation refused: the address contains a control character");
        return;
    }

    // Every form ("x", "../x", "//host/x", "?q", an absolute address) is resolved against the
    // address of the request that drew the answer; the fragment is the client's own business
    // and never goes out.
    TUriReference t = SplitReference(ResolveReference(CurrentAddress(), reference));
    t.Fragment.clear();
    t.HasFragment = false;
    // Only web addresses are fetched here: another scheme (a file, a mail address, a script)
    // must not turn into a path on this server, nor be handed to a proxy to deal with.
    if (!t.HasScheme || (t.Scheme != "http" && t.Scheme != "https")) {
        SetFailure("relocation to an unsupported address", httperrInvalidRequest);
        return;
    }
    // The authority holds no "/" or "?", so the address parser reads it as it stands.
    TUrlParts u = ParseURL(t.Scheme + "://" + t.Authority);
    if (!t.HasAuthority || u.Host.empty() || u.Host.find(' ') != std::string::npos) {
        // Following it would mean connecting to nowhere: end with this response instead.
        SetFailure("Relocation to an address without a usable host: " + Value);
        return;
    }
    TRelocation& r = FResp.Relocation;
    r.Follow = true;
    r.Scheme = t.Scheme;
    r.Host = u.Host;
    r.Port = u.Port;
    r.User = u.User;
    r.Pass = u.Pass;
    r.Path = (t.Path.empty() ? std::string("/") : t.Path) + (t.HasQuery ? "?" + t.Query : std::string());
}

// The request moves to the address the answer named: from here on it is the target.
void THttpCli::ApplyRelocation()
{
    const TRelocation r = FResp.Relocation;
    if (text::SameNoCase(FTarget.Protocol, "https") && r.Scheme != "https") {
        // Credentials meant for a protected connection are not sent in the clear.
        FTarget.User.clear();
        FTarget.Pass.clear();
        FServerSide.Basic = THttpBasicState::Idle;
        FServerSide.NTLM = THttpNtlmState::Idle;
    }
    FTarget.Host = r.Host;
    FTarget.Port = r.Port.empty() ? DefaultPort(r.Scheme) : r.Port;
    FTarget.Origin = OriginOf(r.Scheme, FTarget.Host, FTarget.Port);
    if (!r.User.empty() && !r.Pass.empty()) {
        FTarget.User = r.User;
        FTarget.Pass = r.Pass;
        FTarget.CredentialsOrigin = FTarget.Origin;
    }
    TargetMoved();
    // The scheme decides how a proxy is used: https goes through a tunnel.
    FTarget.Protocol = r.Scheme;
    if (FProxy.empty()) {
        FTarget.ConnectHost = r.Host;
        FTarget.ConnectPort = FTarget.Port;
        FTarget.Path = r.Path;
        FTarget.Location = FTarget.Protocol + "://" +
                           Authority(FTarget.Protocol, FTarget.ConnectHost, FTarget.ConnectPort) + FTarget.Path;
    } else {
        // Through a proxy the request line carries the absolute address; the connection
        // still goes to the proxy.
        FTarget.Path = r.Scheme + "://" + Authority(r.Scheme, r.Host, r.Port) + r.Path;
        FTarget.Location = FTarget.Path;
        AimAtProxy();
    }
}

// The absolute address of the request now under way, without credentials or fragment: the
// base a relocation's reference is resolved against.
std::string THttpCli::CurrentAddress() const
{
    if (!FProxy.empty())
        return FTarget.Path; // already the absolute address
    return FTarget.Protocol + "://" + Authority(FTarget.Protocol, FTarget.Host, FTarget.Port) + FTarget.Path;
}

// Counted once per hop, just before the next request of the chain goes out, however the
// connection went between them. Past the limit the request fails: the relocating answer is
// not the document, and its body is cut away again.
bool THttpCli::NextHopAllowed()
{
    ++FLocationChangeCurCount;
    bool allowMore = FLocationChangeCurCount <= FLocationChangeMaxCount;
    if (!allowMore && OnLocationChangeExceeded)
        OnLocationChangeExceeded(this, FLocationChangeCurCount, allowMore);
    if (allowMore)
        return true;
    CutStreamsBack();
    FResp.RcvdCount = 0; // what was counted of the relocating body is gone from the stream again
    SetFailure("too many relocations (" + std::to_string(FLocationChangeMaxCount) + ")", httperrTooManyRelocations);
    return false;
}

// The decision's "follow": the next hop is a request of its own, on the kept connection when it
// goes to the same place and the server keeps it, else on a new one. It may be sent once more
// on a fresh connection when the kept one turns out closed.
void THttpCli::Relocate()
{
    if (Tracing())
        Trace("Starting relocation process");
    const bool keep = !FResp.CloseReq;
    ApplyRelocation();
    if (!NextHopAllowed()) {
        Finish();
        return;
    }
    if (OnLocationChange)
        OnLocationChange(this); // RcvdHeader still holds the relocating answer
    ResetResponse();
    FTarget.DocName = DocNameFromPath(ParseURL(WithoutFragment(FTarget.Location)).Path);
    if (FRequestType == httpPOST)
        FRequestType = httpGET;
    CutStreamsBack();
    FReceiveLen = 0;
    FRetriedFresh = false;
    if (!keep || !SameConnection())
        DropOldConnection();
    StartNextRequest();
}

// ---- authentication -------------------------------------------------------------------------

const std::string* THttpCli::FindChallenge(const std::string& Scheme) const
{
    for (auto it = FResp.Challenges.rbegin(); it != FResp.Challenges.rend(); ++it)
        if (text::StartsWithNoCase(*it, Scheme))
            return &*it;
    return nullptr;
}

// Credentials belong to the server they were given for (scheme, host and port): a relocation
// elsewhere must not take them along, neither unasked nor in answer to that server's challenge.
bool THttpCli::CredentialsFitTarget() const
{
    return FTarget.Origin == FTarget.CredentialsOrigin;
}

// The request now goes to another server: a handshake under way with the old one ends there.
void THttpCli::TargetMoved()
{
    if (CredentialsFitTarget())
        return;
    FServerSide.NTLM = THttpNtlmState::Idle;
    FServerSide.Basic = THttpBasicState::Idle;
}

bool THttpCli::KeepAliveForNtlm() const
{
    return FRequestVer == "1.0" || FReplyVer == "1.0" || FReplyVer.empty();
}

void THttpCli::ApplyPresetAuth()
{
    if (!FProxy.empty() && FProxyAuth != httpAuthNone && !FProxyUsername.empty() && !FProxyPassword.empty()) {
        bool sameProxy = FCtrlSocket->State() == wsConnected && FConn.Ours && SameConnection();
        PresetAuth(FProxySide, FProxyAuth, sameProxy);
    }
    if (FServerAuth != httpAuthNone && !FTarget.User.empty() && !FTarget.Pass.empty())
        PresetAuth(FServerSide, FServerAuth, false);
}

// Credentials given beforehand go out with the first request, unless the connection they
// would go out on has already accepted them.
void THttpCli::PresetAuth(TAuthSide& P, THttpAuthType Type, bool Accepted)
{
    if (Type == httpAuthNtlm) {
        P.NTLM = Accepted ? THttpNtlmState::Accepted : THttpNtlmState::NegotiateDue;
        if (KeepAliveForNtlm())
            P.Connection = "Keep-alive";
    } else {
        P.Basic = Accepted ? THttpBasicState::Accepted : THttpBasicState::CredentialsDue;
    }
}

std::string THttpCli::AuthorizationLine() const
{
    // While the proxy handshake opens, the server's credentials would only be wasted on it.
    if (FProxySide.NTLM == THttpNtlmState::NegotiateDue || !CredentialsFitTarget())
        return "";
    return CredentialsLine("Authorization", FServerSide.NTLM, FServerSide.Basic, FTarget.User, FTarget.Pass,
                           FServerSide.NTLMMsg2Info);
}

std::string THttpCli::ProxyAuthorizationLine() const
{
    if (FProxy.empty())
        return ""; // the proxy's credentials are for the proxy alone
    return CredentialsLine("Proxy-Authorization", FProxySide.NTLM, FProxySide.Basic, FProxyUsername, FProxyPassword,
                           FProxySide.NTLMMsg2Info);
}

// Settles both sides' handshakes on the answer's status and, when MayRetry, runs the step that
// answers its challenge. True when a retry is due.
bool THttpCli::AuthenticationDecision(bool MayRetry)
{
    const int status = FResp.StatusCode;
    // Credentials that went out and drew no new challenge from their side were accepted; an
    // accepted side that refuses now starts over. A 407 from the proxy says nothing about the
    // server's credentials, which never reached it.
    auto settle = [](TAuthSide& side, bool challenged, bool refused) {
        if (side.NTLM == THttpNtlmState::AuthenticateDue && !challenged)
            side.NTLM = THttpNtlmState::Accepted;
        else if (side.NTLM == THttpNtlmState::Accepted && refused)
            side.NTLM = THttpNtlmState::Idle;
        if (side.Basic == THttpBasicState::CredentialsDue && !challenged)
            side.Basic = THttpBasicState::Accepted;
        else if (side.Basic == THttpBasicState::Accepted && refused)
            side.Basic = THttpBasicState::Idle;
    };
    // A 407 is the proxy's word only when a proxy answered: the one configured, for a plain
    // request through it or for its CONNECT. From anyone else (no proxy in use, or the origin
    // server inside a tunnel) it is just that answer's status, and the proxy's credentials
    // must never go to a server that merely asks for them.
    const bool proxyAsks = status == 407 && !FProxy.empty() && (!Tunnelled() || FResp.ProxyAnswer);
    settle(FServerSide, status == 401 || status == 407, status == 401);
    settle(FProxySide, proxyAsks, proxyAsks);

    // A request that failed on our side (aborted, no connection) is never retried.
    bool applied = false;
    bool retry = false;
    if (MayRetry && (status == 401 || proxyAsks)) {
        const bool server = status == 401;
        const bool haveCreds = server ? (!FTarget.User.empty() && !FTarget.Pass.empty() && CredentialsFitTarget())
                                      : (!FProxyUsername.empty() && !FProxyPassword.empty());
        const THttpAuthType preset = server ? FServerAuth : FProxyAuth;
        const bool ntlmAllowed = !FOptions.Contains(httpoNoNTLMAuth) || preset == httpAuthNtlm;
        const bool basicAllowed = !FOptions.Contains(httpoNoBasicAuth) || preset == httpAuthBasic;
        TAuthSide& side = server ? FServerSide : FProxySide;

        if (ntlmAllowed && !FResp.Challenges.empty() && side.Basic == THttpBasicState::Idle && haveCreds &&
            FindChallenge("NTLM")) {
            applied = true;
            NtlmStep(side);
            retry = side.NTLM == THttpNtlmState::NegotiateDue || side.NTLM == THttpNtlmState::AuthenticateDue;
        } else if (basicAllowed && !FResp.Challenges.empty() && side.NTLM == THttpNtlmState::Idle && haveCreds &&
                   FindChallenge("Basic")) {
            applied = true;
            BasicStep(side);
            retry = side.Basic == THttpBasicState::CredentialsDue;
        }
    }

    if (!applied)
        return false;

    if (status == 401) {
        // The proxy's credentials must go out again when the server's retry needs a new
        // connection; on a kept connection the proxy remembers them.
        if (FResp.CloseReq) {
            if (FProxySide.NTLM == THttpNtlmState::Accepted)
                FProxySide.NTLM = THttpNtlmState::NegotiateDue;
            else if (FProxySide.Basic == THttpBasicState::Accepted)
                FProxySide.Basic = THttpBasicState::CredentialsDue;
        } else {
            if (FProxySide.NTLM != THttpNtlmState::Accepted)
                FProxySide.NTLM = THttpNtlmState::Idle;
            else if (FProxySide.Basic != THttpBasicState::Accepted)
                FProxySide.Basic = THttpBasicState::Idle;
        }
    }

    return retry;
}

// The decision's "answer the challenge": the same request once more, with the credentials the
// step chose, on the kept connection (NTLM needs it) or a new one.
void THttpCli::AnswerChallenge()
{
    const bool keep = !FResp.CloseReq;
    FRetriedFresh = false; // a new request of the chain, with its own fresh-connection retry
    CutStreamsBack();
    FReceiveLen = 0;
    std::string docName = FTarget.DocName;
    ResetResponse();
    FTarget.DocName = docName;
    if (!keep)
        DropOldConnection();
    StartNextRequest();
}

void THttpCli::NtlmStep(TAuthSide& P)
{
    switch (P.NTLM) {
    case THttpNtlmState::Idle:
        if (Tracing())
            Trace(P.Proxy ? "Starting Proxy NTLM authentication" : "Starting NTLM authentication");
        P.NTLM = THttpNtlmState::NegotiateDue;
        P.Basic = THttpBasicState::Idle;
        if (KeepAliveForNtlm())
            P.Connection = "Keep-alive";
        break;
    case THttpNtlmState::NegotiateDue: {
        const std::string* entry = FindChallenge("NTLM");
        TNTLM_Msg2_Info info;
        if (entry && entry->size() > 5)
            info = NtlmGetMessage2(entry->substr(5, 1000));
        if (!info.Valid) {
            // No usable challenge: the other side refused the negotiation. End with its answer.
            FResp.Challenges.clear();
            P.NTLM = THttpNtlmState::Idle;
            break;
        }
        P.NTLMMsg2Info = info;
        P.NTLM = THttpNtlmState::AuthenticateDue;
        break;
    }
    case THttpNtlmState::AuthenticateDue:
        FResp.Challenges.clear();
        P.NTLM = THttpNtlmState::Idle;
        break;
    default:
        throw EHttpException(P.Proxy ? "Unexpected ProxyAuthNTLMState" : "Unexpected AuthNTLMState",
                             httperrInvalidAuthState);
    }
}

void THttpCli::BasicStep(TAuthSide& P)
{
    switch (P.Basic) {
    case THttpBasicState::Idle:
        if (Tracing())
            Trace(P.Proxy ? "Starting Proxy Basic authentication" : "Starting Basic authentication");
        P.Basic = THttpBasicState::CredentialsDue;
        P.NTLM = THttpNtlmState::Idle;
        break;
    case THttpBasicState::CredentialsDue:
        FResp.Challenges.clear();
        P.Basic = THttpBasicState::Idle;
        break;
    default:
        throw EHttpException(P.Proxy ? "Unexpected ProxyAuthBasicState" : "Unexpected AuthBasicState",
                             httperrInvalidAuthState);
    }
}

} // namespace cw
