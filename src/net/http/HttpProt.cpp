#include "net/http/HttpProt.h"

#include "net/http/Base64.h"
#include "net/http/CookieJar.h"
#include "net/http/HttpUrl.h"
#include "platform/Application.h"
#include "platform/Log.h"
#include "platform/Text.h"
#include "platform/TickCount.h"

#include <QTimer>
#include <cmath>
#include <cstdio>

namespace cw {

using namespace http_detail;

std::string HttpStateName(int state)
{
    static const char* const names[] = {"httpReady",       "httpNotConnected",  "httpConnected",
                                        "httpDnsLookup",   "httpDnsLookupDone", "httpWaitingHeader",
                                        "httpWaitingBody", "httpBodyReceived",  "httpWaitingProxyConnect",
                                        "httpClosing",     "httpAborting"};
    if (state < 0 || state >= static_cast<int>(sizeof names / sizeof names[0]))
        return "INVALID STATE";
    return names[state];
}

namespace {

// "Mon, 07 Dec 2026 08:06:06" from a date-time taken as it stands (no zone conversion).
std::string RFC1123Date(TDateTime dt)
{
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    long long whole = static_cast<long long>(std::floor(dt));
    long long secs = std::llround((dt - static_cast<double>(whole)) * 86400.0);
    if (secs >= 86400) {
        secs -= 86400;
        ++whole;
    }
    // Day 0 is Saturday 30 December 1899; 1 January 1970 is day 25569.
    long long z = whole - 25569 + 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long doe = z - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long y = yoe + era * 400;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    long long d = doy - (153 * mp + 2) / 5 + 1;
    long long m = mp < 10 ? mp + 3 : mp - 9;
    if (m <= 2)
        ++y;
    int wd = static_cast<int>(((whole + 6) % 7 + 7) % 7);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %2.2d %s %4.4d %2.2d:%2.2d:%2.2d", days[wd], static_cast<int>(d), months[m - 1],
                  static_cast<int>(y), static_cast<int>(secs / 3600), static_cast<int>(secs / 60 % 60),
                  static_cast<int>(secs % 60));
    return buf;
}

} // namespace

// ---- construction ---------------------------------------------------------------------------

THttpCli::THttpCli(TComponent* AOwner)
    : TComponent(AOwner), FCtrlSocket(std::make_unique<TSslWSocket>(this)), FWindow([this](TMessage& m) { WndProc(m); })
{
    TSslWSocket& s = *FCtrlSocket;
    s.OnSslHandshakeDone = [this](TObject*, std::uint16_t e) { Guarded([&] { SslHandshakeDone(e); }); };
    s.OnSessionClosed = [this](TObject*, std::uint16_t e) { Guarded([&] { SocketSessionClosed(e); }); };
    s.OnDataAvailable = [this](TObject*, std::uint16_t e) { Guarded([&] { SocketDataAvailable(e); }); };
    s.OnSessionConnected = [this](TObject*, std::uint16_t e) { Guarded([&] { SocketSessionConnected(e); }); };
    s.OnDataSent = [this](TObject*, std::uint16_t e) { Guarded([&] { SocketDataSent(e); }); };
    s.OnDnsLookupDone = [this](TObject*, std::uint16_t e) { Guarded([&] { SocketDNSLookupDone(e); }); };
    s.OnSslBytesReceived = [this](TObject*) { NoteActivity(); };
    s.OnSocksConnected = [this](TObject*, std::uint16_t e) {
        if (OnSocksConnected)
            OnSocksConnected(this, e);
    };
    s.OnSocksError = [this](TObject*, int error, const std::string& msg) {
        if (OnSocksError)
            OnSocksError(this, error, msg);
    };
    // Assigned so that socket errors come back as failed steps rather than exceptions thrown
    // out of the middle of the state machine.
    s.OnError = [this](TObject*) {
        if (OnSocketError)
            OnSocketError(this);
    };
}

THttpCli::~THttpCli()
{
    StopBandwidthTimer();
    FIdleTimer.reset();
    // The socket fires nothing while it is destroyed, but drop our handlers first anyway: they
    // point into this half-destroyed object.
    TSslWSocket& s = *FCtrlSocket;
    s.OnSslHandshakeDone = nullptr;
    s.OnSessionClosed = nullptr;
    s.OnDataAvailable = nullptr;
    s.OnSessionConnected = nullptr;
    s.OnDataSent = nullptr;
    s.OnDnsLookupDone = nullptr;
    s.OnSslBytesReceived = nullptr;
    s.OnSocksConnected = nullptr;
    s.OnSocksError = nullptr;
    s.OnError = nullptr;
    s.OnDebugDisplay = nullptr;
    FCtrlSocket.reset();
}

// ---- properties -----------------------------------------------------------------------------

void THttpCli::SetMultiThreaded(bool v)
{
    FMultiThreaded = v;
    FCtrlSocket->SetMultiThreaded(v);
}

void THttpCli::SetRequestVer(const std::string& v)
{
    if (v != "1.0" && v != "1.1")
        throw EHttpException("Insupported HTTP version", httperrVersion);
    FRequestVer = v;
}

THttpCliOptions THttpCli::Options() const
{
    THttpCliOptions o = FOptions;
    o.Exclude(httpoEnableContentCoding).Exclude(httpoUseQuality);
    if (FContentCodingHnd.Enabled())
        o.Include(httpoEnableContentCoding);
    if (FContentCodingHnd.UseQuality())
        o.Include(httpoUseQuality);
    return o;
}

void THttpCli::SetOptions(THttpCliOptions v)
{
    FOptions = v;
    FContentCodingHnd.SetEnabled(v.Contains(httpoEnableContentCoding));
    FContentCodingHnd.SetUseQuality(v.Contains(httpoUseQuality));
}

// ---- small helpers --------------------------------------------------------------------------

void THttpCli::Trace(const std::string& Msg)
{
    if (OnDebugDisplay)
        OnDebugDisplay(this, Msg);
}

std::string THttpCli::MethodName() const
{
    switch (FRequestType) {
    case httpPOST:
        return "POST";
    case httpPUT:
        return "PUT";
    case httpHEAD:
        return "HEAD";
    default:
        return "GET";
    }
}

bool THttpCli::SameConnection() const
{
    if (FConn.Host != FTarget.ConnectHost || FConn.Port != FTarget.ConnectPort || FConn.Protocol != FTarget.Protocol)
        return false;
    // A tunnel (and the TLS session in it) belongs to the one server it was opened for.
    return !Tunnelled() || (FConn.TunnelHost == FTarget.Host && FConn.TunnelPort == FTarget.Port);
}

void THttpCli::SetFailure(const std::string& Text, std::uint16_t Code)
{
    if (FFailureText.empty()) {
        FFailureText = Text;
        FFailureCode = Code;
    }
    if (FResp.RequestDoneError == 0)
        FResp.RequestDoneError = Code;
}

// Every entry from the socket goes through here. An exception from a handler or from the
// caller's stream must not vanish inside the socket's receive loop (the rest of the document
// would silently go missing), so the request is ended and the exception kept: a synchronous
// caller gets it back from Get, an asynchronous one through the standard handler.
template <class F> void THttpCli::Guarded(F&& f)
{
    try {
        f();
    } catch (...) {
        HandleEventException(std::current_exception());
    }
}

void THttpCli::HandleEventException(std::exception_ptr E)
{
    std::string text = "Unknown exception";
    try {
        std::rethrow_exception(E);
    } catch (const std::exception& e) {
        text = e.what();
    } catch (...) {
    }
    if (FHandlingException)
        return; // a second failure while ending the request after the first: the first counts
    FHandlingException = true;
    SetFailure(text);
    const bool sync = FSyncDepth > 0 || FKeepEventExceptions;
    if (sync && !FPendingException)
        FPendingException = E;
    LogLine("http", "the request ends: " + text);
    try {
        if (HttpPhaseActive(Phase()) && Phase() != THttpPhase::Aborting) {
            if (FCtrlSocket->State() != wsClosed)
                FCtrlSocket->Abort(); // runs the closed handler, which ends the request
            if (HttpPhaseActive(Phase()))
                PostAnswerOver();
        }
    } catch (...) {
        LogCaught("http", "ending the request after \"" + text + "\" failed");
        if (HttpPhaseActive(Phase()))
            PostAnswerOver();
    }
    FHandlingException = false;
    if (!sync)
        Application::HandleException(text);
}

void THttpCli::CutStreamsBack()
{
    if (FRcvdStream && FRcvdStreamStartValid) {
        FRcvdStream->SetSize(FRcvdStreamStartSize);
        FRcvdStream->Seek(FRcvdStreamStartSize, soBeginning);
    }
    FRcvdStreamStartValid = false;
    if (FSendStream && FSentCount > 0)
        FSendStream->Seek(-FSentCount, soCurrent);
    FSentCount = 0;
}

// ---- state machine --------------------------------------------------------------------------

bool THttpCli::Move(THttpPhase To)
{
    const THttpPhase from = Phase();
    if (from == To)
        return true;
    if (!FMachine.Move(To))
        return false;
    if (Tracing())
        Trace(std::string("Phase ") + HttpPhaseName(from) + " -> " + HttpPhaseName(To));
    // Entry actions.
    switch (To) {
    case THttpPhase::Starting:
        // A new hop: whatever was posted for the answer before it is stale now.
        ++FAnswerSerial;
        break;
    case THttpPhase::Ending:
        ++FAnswerSerial;
        if (FIdleTimer)
            FIdleTimer->stop();
        FWindow.PostMessage(WM_HTTP_REQUEST_DONE);
        break;
    case THttpPhase::Idle:
        if (FIdleTimer)
            FIdleTimer->stop();
        break;
    default:
        break;
    }
    const THttpState before = HttpPublicState(from);
    const THttpState now = HttpPublicState(To);
    if (before != now) {
        if (Tracing())
            Trace("State = " + HttpStateName(now));
        if (OnStateChange)
            OnStateChange(this);
    }
    return true;
}

void THttpCli::StartNextRequest()
{
    if (Move(THttpPhase::Starting))
        FWindow.PostMessage(WM_HTTP_LOGIN);
}

void THttpCli::PostAnswerOver()
{
    FWindow.PostMessage(WM_HTTP_SET_READY, static_cast<WPARAM>(FAnswerSerial));
}

void THttpCli::Finish()
{
    Move(THttpPhase::Ending);
}

// The request's last word on an answer: when it is over (complete, broken, or cut by a close),
// one decision says what follows. Failures come first: nothing is followed or retried after
// one. Then the facts of the answer: a close before its first byte on a kept connection, a
// relocation, a challenge that credentials can answer.
THttpCli::TAfterAnswer THttpCli::DecideAfterAnswer()
{
    const THttpPhase p = Phase();
    const bool failed =
        !FFailureText.empty() || FPendingException || p == THttpPhase::Aborting || p == THttpPhase::Closing;
    if (!failed && p == THttpPhase::Header && FResp.HeaderLineCount == 0 && FreshRetryAllowed())
        return TAfterAnswer::RetryOnFreshConnection;
    if (!failed && FResp.Relocation.Follow)
        return TAfterAnswer::FollowRelocation;
    if (p == THttpPhase::Closing)
        return TAfterAnswer::Done;
    // The handshakes settle on every final answer; a retry only when nothing failed.
    if (AuthenticationDecision(!failed))
        return TAfterAnswer::AnswerChallenge;
    return failed ? TAfterAnswer::Fail : TAfterAnswer::Done;
}

void THttpCli::AnswerOver(std::uint32_t Serial)
{
    if (Serial != FAnswerSerial || !HttpPhaseActive(Phase()))
        return; // posted for an answer already decided
    if (FReceiveLen > 0) {
        // Bytes past the answer's own end belong to no answer of ours. Kept, they would be read
        // as the next answer on this connection: they go, and so does the connection.
        FReceiveLen = 0;
        FResp.CloseReq = true;
        FConn.Ours = false;
    }
    switch (DecideAfterAnswer()) {
    case TAfterAnswer::RetryOnFreshConnection:
        RetryOnFreshConnection();
        break;
    case TAfterAnswer::FollowRelocation:
        Relocate();
        break;
    case TAfterAnswer::AnswerChallenge:
        AnswerChallenge();
        break;
    case TAfterAnswer::Done:
    case TAfterAnswer::Fail:
        // The outcome itself (DecideOutcome) is taken from the failure, or from the final
        // answer's status, when OnRequestDone is about to fire.
        Finish();
        break;
    }
}

// A kept connection that the server had already given up: the request went out just as it
// closed, and not a byte came back. Once per request of the chain.
bool THttpCli::FreshRetryAllowed() const
{
    return FReusedConnection && !FRetriedFresh && (FRequestType == httpGET || FRequestType == httpHEAD);
}

void THttpCli::RetryOnFreshConnection()
{
    if (Tracing())
        Trace("Kept connection closed before an answer: retrying on a new connection");
    FRetriedFresh = true;
    DropOldConnection();
    FReceiveLen = 0;
    ResetResponse();
    StartNextRequest();
}

const char* OutcomeKindName(THttpOutcomeKind kind)
{
    static const char* const names[] = {"none",           "done",           "status",
                                        "refused",        "name not found", "tls",
                                        "timeout",        "framing",        "too many relocations",
                                        "authentication", "proxy",          "stopped",
                                        "local"};
    const auto i = static_cast<std::size_t>(kind);
    return i < sizeof names / sizeof names[0] ? names[i] : "?";
}

// The request's one outcome, from what ended it: the first failure set, else the final status.
void THttpCli::DecideOutcome()
{
    THttpOutcome o;
    o.Status = FResp.StatusCode;
    const std::uint16_t code = FailureCode();
    if (code != 0) {
        o.Code = code;
        o.Words = FFailureText;
        if (code >= 10000) {
            o.SystemError = code;
            if (code >= 11001 && code <= 11004)
                o.Kind = hoNameNotFound;
            else if (code >= 13000 && code < 14000)
                o.Kind = hoTls;
            else if (o.Status != 0)
                o.Kind = hoFraming; // the connection broke in the middle of an answer
            else
                o.Kind = hoRefused;
        } else {
            switch (code) {
            case httperrTimeout:
                o.Kind = hoTimeout;
                break;
            case httperrAborted:
                o.Kind = hoStopped;
                break;
            case httperrProxyRefused:
                o.Kind = hoProxy;
                break;
            case httperrTooManyRelocations:
                o.Kind = hoTooManyRelocations;
                break;
            case httperrInvalidRequest:
                o.Kind = hoLocal;
                break;
            default:
                o.Kind = hoFraming;
                break;
            }
        }
    } else if (o.Status >= 200 && o.Status < 300) {
        o.Kind = hoDone;
    } else if (o.Status == 401 || (o.Status == 407 && !FProxy.empty())) {
        o.Kind = hoAuthentication;
        o.Words = "the " + std::string(o.Status == 401 ? "server" : "proxy " + FProxy + ":" + FProxyPort) +
                  " answered " + std::to_string(o.Status) + (FReasonPhrase.empty() ? "" : " " + FReasonPhrase);
    } else if (o.Status != 0) {
        o.Kind = hoStatus;
        o.Words =
            "the server answered " + std::to_string(o.Status) + (FReasonPhrase.empty() ? "" : " " + FReasonPhrase);
    } else {
        o.Kind = hoRefused;
        o.Words = "no answer from the server";
    }
    FOutcome = std::move(o);
}

void THttpCli::WndProc(TMessage& Msg)
{
    try {
        switch (Msg.Msg) {
        case WM_HTTP_REQUEST_DONE:
            if (Phase() != THttpPhase::Ending)
                break;
            Move(THttpPhase::Idle);
            // Whatever the proxy said instead of opening the tunnel (a relocation, a refusal, a
            // challenge left unanswered), the server was never asked: the request failed.
            if (FResp.ProxyAnswer)
                SetFailure(ProxyRefusalText(), httperrProxyRefused);
            DecideOutcome();
            if (OnRequestDone)
                OnRequestDone(this, FRequestType, FResp.RequestDoneError);
            break;
        case WM_HTTP_SET_READY:
            AnswerOver(static_cast<std::uint32_t>(Msg.WParam));
            break;
        case WM_HTTP_LOGIN:
            if (Phase() != THttpPhase::Starting)
                break; // the request was ended meanwhile (Abort, the idle limit)
            Login();
            break;
        default:
            break;
        }
    } catch (...) {
        // A synchronous caller gets the exception back from Get; otherwise it goes on to the
        // window's guard and the standard error box.
        if ((FSyncDepth > 0 || FKeepEventExceptions) && !FPendingException) {
            FPendingException = std::current_exception();
            if (HttpPhaseActive(Phase()))
                PostAnswerOver();
            return;
        }
        throw;
    }
}

void THttpCli::ResetResponse()
{
    FResp = TResponseState{};
    // Until the status line says otherwise, an HTTP/1.0 request means one response per
    // connection.
    FResp.CloseReq = FRequestVer == "1.0";
}

// Through a proxy the connection goes to the proxy whatever the address names.
void THttpCli::AimAtProxy()
{
    TUrlParts p = ParseURL(FProxy);
    FTarget.ConnectHost = p.Host;
    FTarget.ConnectPort = p.Port.empty() ? FProxyPort : p.Port;
}

// Addresses come from pages and servers, header values from callers: a control byte in either
// would end a request line early and let whatever follows pose as more header, or as a second
// request through the user's proxy. Such a request is refused before anything is sent.
void THttpCli::CheckRequestText() const
{
    auto hex = [](unsigned char c) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "0x%02X", c);
        return std::string(buf);
    };
    std::size_t at = FindControlByte(FURL);
    if (at != std::string::npos)
        throw EHttpException("Address refused: it contains the control character " +
                                 hex(static_cast<unsigned char>(FURL[at])) + " (" + FURL.substr(0, at) + "...)",
                             httperrInvalidRequest);
    const std::string host = ParseURL(FURL).Host;
    if (host.find(' ') != std::string::npos)
        throw EHttpException("Address refused: its host name contains a blank (" + host + ")", httperrInvalidRequest);
    const struct {
        const char* Name;
        const std::string& Value;
    } values[] = {{"From", FSender},
                  {"Accept", FAccept},
                  {"Referer", FReference},
                  {"Connection", FConnection},
                  {"Accept-Language", FAcceptLanguage},
                  {"Content-Type", FContentTypePost},
                  {"User-Agent", FAgent},
                  {"Proxy-Connection", FProxyConnection},
                  {"Cookie", FCookie},
                  {"Range", FContentRangeBegin},
                  {"Range", FContentRangeEnd}};
    for (const auto& v : values) {
        at = FindControlByte(v.Value);
        if (at != std::string::npos)
            throw EHttpException(std::string("Request refused: the ") + v.Name +
                                     " value contains the control character " +
                                     hex(static_cast<unsigned char>(v.Value[at])),
                                 httperrInvalidRequest);
    }
}

// ---- operations -----------------------------------------------------------------------------

void THttpCli::Get()
{
    DoRequestSync(httpGET);
}

void THttpCli::DoRequestAsync(THttpRequest Rq)
{
    if (Rq != httpCLOSE && Phase() != THttpPhase::Idle)
        throw EHttpException("HTTP component " + Name() + " is busy", httperrBusy);
    if ((Rq == httpPOST || Rq == httpPUT) && !FSendStream)
        throw EHttpException("HTTP component has nothing to post or put", httperrNoData);
    if (Rq != httpCLOSE)
        CheckRequestText();
    if (Rq == httpCLOSE && (Phase() == THttpPhase::Ending || Phase() == THttpPhase::Aborting)) {
        // The request in hand is ending and its OnRequestDone is on its way: the close goes
        // with it rather than replacing its outcome.
        if (FCtrlSocket->State() != wsClosed)
            FCtrlSocket->PostClose();
        return;
    }

    FFailureText.clear();
    FOutcome = THttpOutcome{};
    FFailureCode = httperrBadResponse;
    FPendingException = nullptr;
    if (Rq == httpCLOSE) {
        FRequestType = httpCLOSE;
        FResp.RequestDoneError = 0;
        FResp.StatusCode = 200;
        FReasonPhrase = "OK";
        ++FAnswerSerial;
        Move(THttpPhase::Closing);
        if (FCtrlSocket->State() == wsClosed)
            PostAnswerOver();
        else
            FCtrlSocket->PostClose();
        return;
    }

    FRequestType = Rq;
    FLocationChangeCurCount = 0;
    FAskedConditional = false;
    FRequestRange.clear();
    if (!FContentRangeBegin.empty() || !FContentRangeEnd.empty())
        FRequestRange = FContentRangeBegin + "-" + FContentRangeEnd;
    FContentRangeBegin.clear();
    FContentRangeEnd.clear();
    ResetResponse();
    FSentCount = 0;
    FRcvdStreamStartValid = false;

    FTarget = TRequestTarget{};
    FTarget.Location = FURL;
    FTarget.User = FUsername;
    FTarget.Pass = FPassword;
    FServerSide.Connection = FConnection;
    FProxySide.Connection = FProxyConnection;

    TUrlParts u = ParseURL(FURL);
    FTarget.Host = u.Host;
    FTarget.Port = u.Port.empty() ? DefaultPort(u.Proto) : u.Port;
    if (!u.User.empty())
        FTarget.User = u.User;
    if (!u.Pass.empty())
        FTarget.Pass = u.Pass;
    FTarget.Protocol = u.Proto;
    // A query directly after the host ("http://h?x") still needs a path on the request line.
    std::string path = (!u.Path.empty() && u.Path[0] == '?') ? "/" + u.Path : u.Path;
    if (FProxy.empty()) {
        FTarget.ConnectHost = u.Host;
        FTarget.ConnectPort = FTarget.Port;
        FTarget.Path = path;
    } else {
        FTarget.Path = (u.Proto.empty() ? std::string("http") : u.Proto) + "://" + u.Host +
                       (u.Port.empty() ? std::string() : ":" + u.Port) + (path.empty() ? std::string("/") : path);
        AimAtProxy();
    }
    if (FTarget.Protocol.empty())
        FTarget.Protocol = "http";
    if (FTarget.Path.empty())
        FTarget.Path = "/";
    FTarget.DocName = DocNameFromPath(u.Path);
    FTarget.Origin = OriginOf(FTarget.Protocol, FTarget.Host, FTarget.Port);
    FTarget.CredentialsOrigin = FTarget.Origin;

    for (TAuthSide* side : {&FServerSide, &FProxySide}) {
        side->NTLM = THttpNtlmState::Idle;
        side->Basic = THttpBasicState::Idle;
    }
    ApplyPresetAuth();

    FRetriedFresh = false;
    Move(THttpPhase::Starting);
    StartIdleTimer();
    if (FCtrlSocket->State() == wsConnected && FConn.Ours && SameConnection() && RefusedTarget().empty()) {
        FReusedConnection = true;
        SocketSessionConnected(0);
        return;
    }
    // Another server: the old connection goes.
    DropOldConnection();
    Login();
}

void THttpCli::DoRequestSync(THttpRequest Rq)
{
    DoRequestAsync(Rq);
    ++FSyncDepth;
    try {
        while (Phase() != THttpPhase::Idle) {
            if (FMultiThreaded) {
                FCtrlSocket->PumpMessages();
                // Wait briefly instead of spinning a core while nothing happens.
                if (Phase() != THttpPhase::Idle)
                    Application::WaitMessage(10);
            } else {
                Application::WaitMessage(FSyncWaitTimeout);
            }
            if (Application::Terminated()) {
                if (HttpPhaseActive(Phase()))
                    Abort();
                break;
            }
        }
    } catch (...) {
        --FSyncDepth;
        throw;
    }
    --FSyncDepth;

    if (FPendingException) {
        std::exception_ptr e = FPendingException;
        FPendingException = nullptr;
        std::rethrow_exception(e);
    }
    // A failure of the connection, the TLS layer, the framing or the proxy speaks for itself,
    // with its own code; only an answer the server really gave carries the server's status.
    if (!FFailureText.empty())
        throw EHttpException(FFailureText, FFailureCode);
    if (FResp.StatusCode > 399 && FResp.StatusCode != 401 && FResp.StatusCode != 407)
        throw EHttpException(FReasonPhrase, static_cast<std::uint16_t>(FResp.StatusCode));
    if (Rq != httpCLOSE && (FResp.StatusCode < 100 || FResp.StatusCode > 599))
        throw EHttpException(FResp.StatusCode == 0 ? "No valid HTTP response from the server"
                                                   : "Invalid HTTP status " + std::to_string(FResp.StatusCode),
                             httperrBadResponse);
}

void THttpCli::Abort()
{
    if (HttpPhaseActive(Phase())) {
        bool lookup = Phase() == THttpPhase::Lookup;
        Move(THttpPhase::Aborting);
        if (lookup) {
            try {
                FCtrlSocket->CancelLookup();
            } catch (...) {
                LogCaught("http", "cancelling the name look-up on abort");
            }
        }
        SetFailure("Connection aborted on request", httperrAborted);
        FResp.RequestDoneError = httperrAborted;
        if (lookup || FCtrlSocket->State() == wsClosed)
            SocketSessionClosed(httperrAborted);
        else
            FCtrlSocket->Close(); // the closed handler runs inside
        FResp.RequestDoneError = httperrAborted;
        AuthenticationDecision(false); // the handshakes settle on the last answer
        Finish();
        return;
    }
    if (FCtrlSocket->State() != wsClosed)
        FCtrlSocket->Abort();
    FConn.Ours = false;
    FResp.StatusCode = 200;
    FReasonPhrase = "OK";
    FResp.RequestDoneError = 0;
    if (OnStateChange)
        OnStateChange(this);
    if (OnRequestDone)
        OnRequestDone(this, FRequestType, 0);
}

// ---- connection -----------------------------------------------------------------------------

void THttpCli::Login()
{
    FCtrlSocket->OnDebugDisplay = OnDebugDisplay;
    // A refused address never goes out, not even on a connection kept from before.
    const bool refused = !RefusedTarget().empty();
    if (!refused && FCtrlSocket->State() == wsConnected && FConn.Ours) {
        FReusedConnection = true;
        SocketSessionConnected(0);
        return;
    }
    FReusedConnection = false;
    DropOldConnection();
    FReceiveLen = 0; // anything left over belonged to the old connection
    Move(THttpPhase::Lookup);
    if (refused) {
        // Ended the way a look-up that completes at once ends (as for a dotted address).
        SocketDNSLookupDone(0);
        return;
    }
    try {
        FCtrlSocket->SetLocalAddr(FLocalAddr);
        FCtrlSocket->DnsLookup(FTarget.ConnectHost);
    } catch (const std::exception& e) {
        SetFailure(e.what(), httperrInvalidRequest);
        Finish();
    }
}

std::string THttpCli::RefusedTarget() const
{
    std::string why;
    for (const std::string* host : {&FTarget.Host, &FTarget.ConnectHost}) {
        why = RefusedHostText(*host);
        if (!why.empty())
            return why;
    }
    for (const std::string* port : {&FTarget.Port, &FTarget.ConnectPort})
        if (ParsePort(*port, why) == 0)
            return why;
    return std::string();
}

void THttpCli::SocketDNSLookupDone(std::uint16_t ErrCode)
{
    if (Phase() != THttpPhase::Lookup)
        return; // an answer for a request that has been aborted
    // The address's own host and port, and the ones connected to (the proxy's, if any), are
    // checked before anything is connected: a port like "18900abc" must not quietly become
    // 18900, nor a name be looked up as a service.
    std::string refused = RefusedTarget();
    if (!refused.empty()) {
        SetFailure("can't connect: " + refused, httperrInvalidRequest);
        SocketSessionClosed(FResp.RequestDoneError);
        return;
    }
    if (ErrCode != 0) {
        SetFailure("can't resolve hostname to IP address", ErrCode);
        SocketSessionClosed(ErrCode);
        return;
    }
    Move(THttpPhase::Connecting);
    NoteActivity();
    TSslWSocket& s = *FCtrlSocket;
    s.SetMultiThreaded(FMultiThreaded);
    FConn.Host = FTarget.ConnectHost;
    FConn.Port = FTarget.ConnectPort;
    FConn.Protocol = FTarget.Protocol;
    FConn.TunnelHost = Tunnelled() ? FTarget.Host : std::string();
    FConn.TunnelPort = Tunnelled() ? FTarget.Port : std::string();
    BuildChain(s.DnsResult());
    FChain.Prepare(s);

    if (FTarget.Protocol != "http" && FTarget.Protocol != "https") {
        SetFailure("Protocol \"" + FTarget.Protocol + "\" not implemented", httperrInvalidRequest);
        FIgnoreClosed = true;
        s.Close();
        FIgnoreClosed = false;
        SocketSessionClosed(FResp.RequestDoneError);
        return;
    }
    try {
        FChain.Find(THttpLinkKind::Tcp)->Start(s);
    } catch (...) {
        FailConnect(s.LastError());
        return;
    }
    // With OnError assigned the socket reports a refused connect (a bad port, no socket) by
    // calling it and returning: without this check the request would wait for ever.
    if (s.State() == wsClosed && Phase() == THttpPhase::Connecting)
        FailConnect(s.LastError());
}

// Drops the connection quietly: it belonged to an ended request, and its closed handler must
// not end the request now starting.
void THttpCli::DropOldConnection()
{
    if (FCtrlSocket->State() != wsClosed) {
        FIgnoreClosed = true;
        try {
            FCtrlSocket->Abort();
        } catch (...) {
            LogCaught("http", "dropping the old connection");
        }
        FIgnoreClosed = false;
    }
    FConn.Ours = false;
}

void THttpCli::FailConnect(int Err)
{
    SetFailure("can't connect: " + SocketErrorText(Err) + " (Error #" + std::to_string(Err) + ")",
               static_cast<std::uint16_t>(Err));
    // The closed handler is run once, here, whatever Close does.
    FIgnoreClosed = true;
    try {
        FCtrlSocket->Close();
    } catch (...) {
        LogCaught("http", "closing after a failed connect");
    }
    FIgnoreClosed = false;
    SocketSessionClosed(static_cast<std::uint16_t>(Err));
}

void THttpCli::SocketSessionConnected(std::uint16_t ErrCode)
{
    if (Tracing())
        Trace("SessionConnected");
    if (ErrCode != 0) {
        // A TLS failure under Connect has said its own words already.
        SetFailure(SocketErrorText(ErrCode) + " (Error #" + std::to_string(ErrCode) + ")", ErrCode);
        if (OnSessionConnected)
            OnSessionConnected(this);
        return; // the socket closes itself; the closed handler ends the request
    }
    FConn.Ours = true;
    NoteActivity();
    FChain.SocketConnected();
    StartNextLink();
}

// The links of one connection, lowest first: TCP to the server or the proxy, the SOCKS server
// when one is set, the proxy's tunnel for https through an HTTP proxy, TLS for https.
void THttpCli::BuildChain(const std::string& Addr)
{
    FChain.Clear();
    FChain.Add(std::make_unique<THttpTcpLink>(Addr, FTarget.ConnectPort, FLocalAddr));
    if (!FSocksServer.empty())
        FChain.Add(std::make_unique<THttpSocksLink>(THttpSocksSettings{
            FSocksServer, FSocksLevel, FSocksPort, FSocksUsercode, FSocksPassword, FSocksAuthentication}));
    if (Tunnelled())
        FChain.Add(std::make_unique<THttpTunnelLink>(FTarget.Host, FTarget.Port, FRequestVer, [this] {
            std::vector<std::string> lines;
            if (!FAgent.empty())
                lines.push_back("User-Agent: " + FAgent);
            if (!FProxySide.Connection.empty())
                lines.push_back("Proxy-Connection: " + FProxySide.Connection);
            std::string proxyAuth = ProxyAuthorizationLine();
            if (!proxyAuth.empty())
                lines.push_back(proxyAuth);
            return lines;
        }));
    if (FTarget.Protocol == "https")
        FChain.Add(std::make_unique<THttpTlsLink>(FTarget.Host));
    if (Tracing())
        Trace("Connection: " + FChain.Describe());
}

// The next link of the chain starts once the ones below it are up; with all of them up the
// connection reaches the origin server (privately for https) and the request goes out.
void THttpCli::StartNextLink()
{
    THttpLink* link = FChain.Next();
    if (!link) {
        SessionReady();
        return;
    }
    TSslWSocket& s = *FCtrlSocket;
    switch (link->Kind()) {
    case THttpLinkKind::Tunnel:
        // The proxy answers like a server; its header is read by the usual steps, and
        // EndOfHeader hands it back (ProxyConnectAnswered) while the phase says so.
        FReceiveLen = 0;
        Move(THttpPhase::TunnelAnswer);
        link->Start(s);
        if (Tracing())
            Trace("Tunnel request\r\n" + static_cast<THttpTunnelLink*>(link)->RequestText());
        break;
    case THttpLinkKind::Tls:
        Move(Phase() == THttpPhase::TunnelAnswer ? THttpPhase::TunnelTls : THttpPhase::TlsHandshake);
        link->Start(s);
        // With OnError assigned a refusal is reported and the call returns: end here then.
        if (!s.SslActive() && s.LastTlsError().empty() && s.State() != wsClosed) {
            SetFailure("TLS handshake failed: the connection could not be used", tlsErrHandshake);
            s.Abort();
        }
        break;
    case THttpLinkKind::Tcp:
    case THttpLinkKind::Socks:
        // Up with the socket's connection; never next once it is connected.
        SetFailure("the connection is not up");
        s.Abort();
        break;
    }
}

// The connection reaches the origin server (privately for https): the request goes out.
void THttpCli::SessionReady()
{
    if (!Move(THttpPhase::Sending))
        return;
    try {
        if (OnSessionConnected)
            OnSessionConnected(this);
        if (Phase() != THttpPhase::Sending)
            return; // the handler ended the request
        Move(THttpPhase::Header);
        SendRequest(MethodName(), FRequestVer);
        if (FRequestType == httpPOST || FRequestType == httpPUT)
            StartRequestBody();
    } catch (const std::exception& e) {
        // The request never went out whole: close, and make sure the caller hears of it.
        SetFailure(std::string("Request not sent: ") + e.what());
        FCtrlSocket->Close();
        if (HttpPhaseActive(Phase()))
            PostAnswerOver();
    }
}

void THttpCli::ProxyConnectAnswered()
{
    if (FResp.StatusCode < 200 || FResp.StatusCode > 299) {
        FResp.ProxyAnswer = true;
        const bool canAnswer = FResp.StatusCode == 407 && !FProxyUsername.empty() && !FProxyPassword.empty();
        if (!canAnswer) {
            // Refused, or sent elsewhere: nothing the proxy says instead of a tunnel is followed
            // or handed on, since it could stand in for any https document.
            FailResponse(ProxyRefusalText(), httperrProxyRefused);
            return;
        }
        // Credentials wanted: the answer is read to its end (NTLM keeps the connection), never
        // handed on; its end runs the authentication decision, which sends a new CONNECT.
        Move(THttpPhase::Header);
        return;
    }
    if (FReceiveLen > 0) {
        // Nothing may come from the server before our side of the handshake.
        SetFailure("The proxy sent data after accepting the tunnel");
        FReceiveLen = 0;
        FCtrlSocket->Abort();
        return;
    }
    if (THttpLink* tunnel = FChain.Find(THttpLinkKind::Tunnel))
        tunnel->SetUp();
    if (Tracing())
        Trace("Tunnel to " + FTarget.Host + ":" + FTarget.Port + " is open");
    const std::uint16_t keepError = FResp.RequestDoneError;
    ResetResponse();
    FResp.RequestDoneError = keepError;
    StartNextLink();
}

std::string THttpCli::ProxyRefusalText() const
{
    return "the proxy " + FTarget.ConnectHost + ":" + FTarget.ConnectPort + " answered " +
           std::to_string(FResp.StatusCode) + (FReasonPhrase.empty() ? std::string() : " " + FReasonPhrase);
}

void THttpCli::SslHandshakeDone(std::uint16_t ErrCode)
{
    if (ErrCode != 0) {
        // The socket closes the connection next; the closed handler ends the request.
        const std::string text =
            FCtrlSocket->LastTlsError().empty() ? SslErrorText(ErrCode) : FCtrlSocket->LastTlsError();
        SetFailure(text, ErrCode);
        if (Tracing())
            Trace(text);
        return;
    }
    if (THttpLink* tls = FChain.Find(THttpLinkKind::Tls))
        tls->SetUp();
    if (Tracing())
        Trace("TLS established: " + FCtrlSocket->SslVersion());
    StartNextLink();
}

void THttpCli::SendRequest(const std::string& Method, const std::string& Version)
{
    // Bandwidth counters.
    FBandwidthCount = 0;
    FBandwidthPaused = false;
    TWSocketOptions sockOpts = FCtrlSocket->ComponentOptions();
    if (FOptions.Contains(httpoBandwidthControl)) {
        if (!FBandwidthTimer) {
            FBandwidthTimer = std::make_unique<QTimer>();
            QObject::connect(FBandwidthTimer.get(), &QTimer::timeout,
                             [this] { Application::Guard([this] { BandwidthTimerTick(); }); });
        }
        FBandwidthTimer->setInterval(FBandwidthSampling);
        FBandwidthTimer->start();
        FBandwidthMaxCount = static_cast<std::int64_t>(FBandwidthLimit) * FBandwidthSampling / 1000;
        sockOpts.Include(wsoNoReceiveLoop);
    } else {
        sockOpts.Exclude(wsoNoReceiveLoop);
    }
    FCtrlSocket->SetComponentOptions(sockOpts);

    if (OnRequestHeaderBegin)
        OnRequestHeaderBegin(this);

    // Inside a tunnel the request goes to the origin server itself: the path alone, and
    // nothing meant for the proxy.
    const bool tunnel = Tunnelled();
    std::string path = FTarget.Path;
    if (tunnel) {
        std::size_t scheme = path.find("://");
        std::size_t slash = scheme == std::string::npos ? std::string::npos : path.find('/', scheme + 3);
        path = slash == std::string::npos ? std::string("/") : path.substr(slash);
    }
    std::vector<std::string> lines;
    lines.push_back(Method + " " + EncodeSpaces(path) + " HTTP/" + Version);
    if (!FSender.empty())
        lines.push_back("From: " + FSender);
    if (!FAccept.empty())
        lines.push_back("Accept: " + FAccept);
    if (!FReference.empty())
        lines.push_back("Referer: " + FReference);
    if (!FServerSide.Connection.empty())
        lines.push_back("Connection: " + FServerSide.Connection);
    if (!FAcceptLanguage.empty())
        lines.push_back("Accept-Language: " + FAcceptLanguage);
    std::string codings = FContentCodingHnd.HeaderText();
    if (!codings.empty() && FRequestType != httpHEAD)
        lines.push_back("Accept-Encoding: " + codings);
    bool withBody = FRequestType == httpPOST || FRequestType == httpPUT;
    if (withBody && !FContentTypePost.empty())
        lines.push_back("Content-Type: " + FContentTypePost);
    if (!FAgent.empty())
        lines.push_back("User-Agent: " + FAgent);
    lines.push_back("Host: " + Authority(FTarget.Protocol, FTarget.Host, FTarget.Port));
    if (FNoCache)
        lines.push_back("Pragma: no-cache");
    if (!FProxySide.Connection.empty() && !tunnel)
        lines.push_back("Proxy-Connection: " + FProxySide.Connection);
    if (withBody) {
        if (NtlmNegotiating())
            lines.push_back("Content-Length: 0");
        else
            lines.push_back("Content-Length: " + std::to_string(FSendStream->Size() - FSendStream->Position()));
    }
    if (FModifiedSince != 0)
        lines.push_back("If-Modified-Since: " + RFC1123Date(FModifiedSince) + " GMT");
    std::string auth = AuthorizationLine();
    if (!auth.empty())
        lines.push_back(auth);
    std::string proxyAuth = tunnel ? std::string() : ProxyAuthorizationLine();
    if (!proxyAuth.empty())
        lines.push_back(proxyAuth);
    std::string cookie = FCookie;
    if (FCookieJar) {
        const std::string fromJar = FCookieJar->CookieHeader(CurrentAddress());
        if (!fromJar.empty())
            cookie = cookie.empty() ? fromJar : cookie + "; " + fromJar;
    }
    if (!cookie.empty())
        lines.push_back("Cookie: " + cookie);
    if (!FRequestRange.empty())
        lines.push_back("Range: bytes=" + FRequestRange);

    FAcceptRanges.clear();
    if (Tracing()) {
        std::string t = std::to_string(lines.size()) + " header lines to send\r\n";
        for (const auto& l : lines)
            t += RedactedHeaderLine(l) + "\r\n";
        Trace(t);
    }
    if (OnBeforeHeaderSend)
        OnBeforeHeaderSend(this, Method, lines);
    FAskedConditional = false;
    for (const auto& l : lines)
        if (text::StartsWithNoCase(l, "If-Modified-Since:") || text::StartsWithNoCase(l, "If-None-Match:"))
            FAskedConditional = true;

    std::string block;
    for (auto& l : lines) {
        if (OnCommand)
            OnCommand(this, l);
        // The last word on what goes out, whatever a handler or a relocation put in the line.
        if (FindControlByte(l) != std::string::npos)
            throw EHttpException("Request refused: a header line contains a control character", httperrInvalidRequest);
        if (!l.empty())
            block += l;
        block += "\r\n";
    }
    if (OnRequestHeaderEnd)
        OnRequestHeaderEnd(this);
    std::string empty;
    if (OnCommand)
        OnCommand(this, empty);
    block += empty + "\r\n";

    FCtrlSocket->QueueData(block.data(), static_cast<int>(block.size()));
    FCtrlSocket->Send(nullptr, 0);
    if (Tracing())
        Trace("SendRequest Done");
}

void THttpCli::StartRequestBody()
{
    // The first step of an NTLM handshake carries no body: the server would throw it away.
    if (NtlmNegotiating())
        return;
    if (OnSendBegin)
        OnSendBegin(this);
    FAllowedToSend = true;
    SocketDataSent(0);
}

void THttpCli::SocketDataSent(std::uint16_t)
{
    NoteActivity();
    if (!FAllowedToSend || !FSendStream)
        return;
    char buf[SendBufferSize];
    std::int64_t n = FSendStream->Read(buf, sizeof buf);
    if (n > 0) {
        FSentCount += n;
        if (OnSendData)
            OnSendData(this, buf, static_cast<int>(n));
        FCtrlSocket->Send(buf, static_cast<int>(n));
    } else {
        FAllowedToSend = false;
        if (OnSendEnd)
            OnSendEnd(this);
    }
}

// ---- idle limit -----------------------------------------------------------------------------

// The timer is not restarted for every block received (that would re-arm a system timer many
// thousand times a second on a fast transfer): each arrival only notes the tick, and the timer,
// when it fires, looks how long ago that was.
void THttpCli::StartIdleTimer()
{
    if (FIdleTimeout <= 0) {
        if (FIdleTimer)
            FIdleTimer->stop();
        return;
    }
    if (!FIdleTimer) {
        FIdleTimer = std::make_unique<QTimer>();
        FIdleTimer->setSingleShot(true);
        QObject::connect(FIdleTimer.get(), &QTimer::timeout, [this] { Guarded([this] { IdleTimerTick(); }); });
    }
    FLastActivity = GetTickCount();
    FIdleTimer->start(FIdleTimeout);
}

void THttpCli::SetIdleTimeout(int ms)
{
    FIdleTimeout = ms < 0 ? 0 : ms;
    if (!FIdleTimer || !FIdleTimer->isActive())
        return;
    if (FIdleTimeout > 0)
        FIdleTimer->start(FIdleTimeout); // it looks at the last arrival when it fires
    else
        FIdleTimer->stop();
}

void THttpCli::NoteActivity()
{
    FLastActivity = GetTickCount();
}

void THttpCli::IdleTimerTick()
{
    // A body already complete is not spoilt by a slow close.
    const THttpPhase p = Phase();
    if (!HttpPhaseActive(p) || p == THttpPhase::Aborting || p == THttpPhase::BodyReceived || FIdleTimeout <= 0)
        return;
    // The handshake as a whole must finish within the limit: a server that drips it a byte at a
    // time is never silent, yet would hold the request for as long as it likes.
    const bool handshaking = p == THttpPhase::TlsHandshake || p == THttpPhase::TunnelTls;
    const THttpTlsLink* tls = static_cast<const THttpTlsLink*>(FChain.Find(THttpLinkKind::Tls));
    const std::uint32_t quiet = GetTickCount() - (handshaking && tls ? tls->StartedAt() : FLastActivity);
    // Bytes held back by the bandwidth limit are not silence: the pause is ours.
    if (FBandwidthPaused || quiet < static_cast<std::uint32_t>(FIdleTimeout)) {
        std::uint32_t left = FBandwidthPaused ? static_cast<std::uint32_t>(FIdleTimeout)
                                              : static_cast<std::uint32_t>(FIdleTimeout) - quiet;
        FIdleTimer->start(static_cast<int>(std::max<std::uint32_t>(left, 1)));
        return;
    }
    IdleTimedOut();
}

void THttpCli::IdleTimedOut()
{
    const int secs = (FIdleTimeout + 999) / 1000;
    const bool handshaking = Phase() == THttpPhase::TlsHandshake || Phase() == THttpPhase::TunnelTls;
    SetFailure(handshaking ? "the TLS handshake did not finish within " + std::to_string(secs) + " s"
                           : "No data received for " + std::to_string(secs) + " s",
               httperrTimeout);
    FResp.RequestDoneError = httperrTimeout;
    if (Tracing())
        Trace("Idle limit reached");
    if (Phase() == THttpPhase::Starting) {
        // Between two requests of the chain: there is no connection of this hop to close.
        PostAnswerOver();
        return;
    }
    if (Phase() == THttpPhase::Lookup) {
        try {
            FCtrlSocket->CancelLookup();
        } catch (...) {
            LogCaught("http", "cancelling the name look-up after the idle limit");
        }
    } else if (FCtrlSocket->State() != wsClosed) {
        // The closed handler is run once, here, with the time-out as its error.
        FIgnoreClosed = true;
        try {
            FCtrlSocket->Abort();
        } catch (...) {
            LogCaught("http", "closing after the idle limit");
        }
        FIgnoreClosed = false;
    }
    SocketSessionClosed(httperrTimeout);
}

// ---- bandwidth control ----------------------------------------------------------------------

void THttpCli::BandwidthTimerTick()
{
    if (!FBandwidthPaused)
        return;
    FBandwidthPaused = false;
    FBandwidthCount -= FBandwidthMaxCount;
    FCtrlSocket->Resume();
}

void THttpCli::StopBandwidthTimer()
{
    if (FBandwidthTimer)
        FBandwidthTimer->stop();
    if (FBandwidthPaused) {
        FBandwidthPaused = false;
        FCtrlSocket->Resume();
    }
}

} // namespace cw
