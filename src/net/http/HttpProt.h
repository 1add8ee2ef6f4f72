#pragma once
// THttpCli: an asynchronous HTTP/1.0 and 1.1 client component on top of TWSocket. One request
// at a time over one connection; https addresses run over TLS (TSslWSocket): directly, over a
// SOCKS connection, or through an HTTP proxy's CONNECT tunnel; everything runs on the thread that created the component
// and reports progress through events. Get is the synchronous form: it pumps messages until the request is over and
// raises EHttpException when it failed.
//
// The component chains its own steps through three private messages posted to its hidden
// window, so a step never runs inside the event handler that caused it.
//
// A request's phase changes only through Move, against the one table of moves in HttpPhase;
// what follows an answer (finish, relocation, challenge, fresh connection) is decided once
// when it is over (DecideAfterAnswer); a connection is set up by the chain of links in
// HttpConnect (TCP, SOCKS, tunnel, TLS).
//
// Files: HttpProt.cpp (properties, request engine, phases and the decision), HttpProtResponse.cpp
// (status line, header, body, end of a response), HttpAuth.cpp (relocation, Basic and NTLM
// retries). Address parsing lives in HttpUrl, the chunk decoder in HttpChunk, the
// content-coding stage in HttpContCod.

#include "net/http/HttpChunk.h"
#include "net/http/HttpConnect.h"
#include "net/http/HttpContCod.h"
#include "net/http/HttpPhase.h"
#include "net/http/Ntlm.h"
#include "net/socket/WSocketComponent.h"
#include "net/tls/SslWSocket.h"
#include "platform/MessageWindow.h"
#include "platform/Streams.h"
#include "platform/Types.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

class QTimer;

namespace cw {

class TCookieJar;

// Days since 30 December 1899, fraction = time of day.
using TDateTime = double;

constexpr unsigned WM_HTTP_REQUEST_DONE = WM_USER + 1; // 0x401
constexpr unsigned WM_HTTP_SET_READY = WM_USER + 2;    // 0x402
constexpr unsigned WM_HTTP_LOGIN = WM_USER + 3;        // 0x403

// Codes of EHttpException and of OnRequestDone's error argument (besides socket errors).
constexpr int httperrNoError = 0;
constexpr int httperrBusy = 1;
constexpr int httperrNoData = 2;
constexpr int httperrAborted = 3;
constexpr int httperrOverflow = 4;
constexpr int httperrVersion = 5;
constexpr int httperrInvalidAuthState = 6;
// The server's answer could not be used: nothing or no HTTP at all came back, the connection
// closed before the announced end of the document, the header was absurdly large, a relocation
// named no host, or writing the document failed.
constexpr int httperrBadResponse = 7;
// The request could not be written safely: the address or a header value holds a control
// byte (which would split the request), or the address has no usable host. Nothing is sent.
constexpr int httperrInvalidRequest = 8;
// No byte arrived for IdleTimeout milliseconds while the request was under way.
constexpr int httperrTimeout = 9;
// A proxy answered CONNECT with anything but 2xx: the tunnel was refused, the server never asked.
constexpr int httperrProxyRefused = 10;
// The relocation chain went past LocationChangeMaxCount (a loop ends this way too).
constexpr int httperrTooManyRelocations = 11;
// A partial answer (206) that is not the range asked for, or to a request that asked for none.
constexpr int httperrRangeMismatch = 12;
// A document whose end is the end of a TLS connection came without the server's close_notify:
// it may have been cut short by anyone on the way.
constexpr int httperrTlsTruncated = 13;

enum THttpRequest { httpABORT, httpGET, httpPOST, httpPUT, httpHEAD, httpCLOSE };

enum THttpState : int {
    httpReady,
    httpNotConnected,
    httpConnected,
    httpDnsLookup,
    httpDnsLookupDone,
    httpWaitingHeader,
    httpWaitingBody,
    httpBodyReceived,
    httpWaitingProxyConnect,
    httpClosing,
    httpAborting
};

// "httpReady" ... "httpAborting", or "INVALID STATE".
std::string HttpStateName(int state);

enum THttpCliOption {
    httpoNoBasicAuth,
    httpoNoNTLMAuth,
    httpoBandwidthControl,
    httpoEnableContentCoding,
    httpoUseQuality
};

class THttpCliOptions {
public:
    constexpr THttpCliOptions() = default;
    constexpr THttpCliOptions(std::initializer_list<THttpCliOption> options)
    {
        for (THttpCliOption o : options)
            FBits |= Bit(o);
    }
    constexpr bool Contains(THttpCliOption o) const { return (FBits & Bit(o)) != 0; }
    constexpr THttpCliOptions& Include(THttpCliOption o)
    {
        FBits |= Bit(o);
        return *this;
    }
    constexpr THttpCliOptions& Exclude(THttpCliOption o)
    {
        FBits &= ~Bit(o);
        return *this;
    }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr bool operator==(const THttpCliOptions&) const = default;

private:
    static constexpr unsigned Bit(THttpCliOption o) { return 1u << static_cast<unsigned>(o); }
    unsigned FBits = 0;
};

// Authentication scheme used before any challenge arrives.
enum THttpAuthType { httpAuthNone, httpAuthBasic, httpAuthNtlm };

// Where one side's (server or proxy) Basic handshake stands. The numbers are the ones traces
// and earlier versions show.
enum class THttpBasicState { Idle = 0, CredentialsDue = 1, Accepted = 2 };
// Where one side's NTLM handshake stands: the negotiate message goes out in NegotiateDue, the
// answer to the challenge in AuthenticateDue (there is no step 2 on our side).
enum class THttpNtlmState { Idle = 0, NegotiateDue = 1, AuthenticateDue = 3, Accepted = 4 };

class EHttpException : public Exception {
public:
    EHttpException(const std::string& msg, std::uint16_t errorCode) : Exception(msg), FErrorCode(errorCode) {}
    std::uint16_t ErrorCode() const { return FErrorCode; }

private:
    std::uint16_t FErrorCode;
};

using TOnCommand = std::function<void(TObject* Sender, std::string& S)>;
using TBeforeHeaderSendEvent =
    std::function<void(TObject* Sender, const std::string& Method, std::vector<std::string>& Headers)>;
using TDocDataEvent = std::function<void(TObject* Sender, const char* Buffer, int Len)>;
using TCookieRcvdEvent = std::function<void(TObject* Sender, const std::string& Data, bool& Accept)>;
using THttpRequestDone = std::function<void(TObject* Sender, THttpRequest RqType, std::uint16_t ErrCode)>;
using TLocationChangeExceeded = std::function<void(TObject* Sender, int RelocationCount, bool& AllowMoreRelocations)>;
using THttpDataPush = std::function<void(TObject* Sender, std::uint16_t ErrCode)>;

// How a request ended, decided once when it ends and delivered with OnRequestDone: what a
// caller needs to choose its words and what to do next without parsing any text. A failure never
// comes with a made-up status: Status is the one the server (or the proxy) really sent, 0 when
// none came.
enum THttpOutcomeKind {
    hoNone,               // the request has not ended yet
    hoDone,               // a final 2xx, whole by its framing
    hoStatus,             // a final answer with another status (3xx not followed, 4xx, 5xx)
    hoRefused,            // the connection was refused or broke before any answer
    hoNameNotFound,       // the host's name could not be looked up
    hoTls,                // the TLS handshake or the certificate failed
    hoTimeout,            // nothing arrived for the idle limit
    hoFraming,            // the answer broke its own framing, or was not the one asked for
    hoTooManyRelocations, // relocations without end
    hoAuthentication,     // 401, or a proxy in use asking for its credentials (407)
    hoProxy,              // the proxy refused to open the tunnel
    hoStopped,            // Abort
    hoLocal,              // refused before anything went out (a bad address, a relocation elsewhere)
};

struct THttpOutcome {
    THttpOutcomeKind Kind = hoNone;
    int Status = 0;         // the final answer's status, 0 when none came
    int SystemError = 0;    // the socket's or TLS layer's error number, 0 when none
    std::uint16_t Code = 0; // the failure code (httperr..., or the system error), 0 for hoDone/hoStatus
    std::string Words;      // in plain words, for a failure line
    bool Done() const { return Kind == hoDone; }
};

// The kind of an outcome as a short name ("done", "status", "refused", ...), for logs and tests.
const char* OutcomeKindName(THttpOutcomeKind kind);

class THttpCli : public TComponent {
public:
    explicit THttpCli(TComponent* AOwner = nullptr);
    ~THttpCli() override;
    THttpCli(const THttpCli&) = delete;
    THttpCli& operator=(const THttpCli&) = delete;

    // ---- operations -------------------------------------------------------------------------
    // Synchronous GET of URL; raises EHttpException when the request failed.
    void Get();
    // End the request in progress at once; harmless while idle.
    void Abort();
    // Start a request and return; it ends with OnRequestDone.
    virtual void DoRequestAsync(THttpRequest Rq);
    // Start a request and pump messages until it is over; raises on failure.
    virtual void DoRequestSync(THttpRequest Rq);

    // ---- published properties ---------------------------------------------------------------
    const std::string& URL() const { return FURL; }
    void SetURL(const std::string& v) { FURL = v; }
    const std::string& LocalAddr() const { return FLocalAddr; }
    void SetLocalAddr(const std::string& v) { FLocalAddr = v; }
    const std::string& Proxy() const { return FProxy; }
    void SetProxy(const std::string& v) { FProxy = v; }
    const std::string& ProxyPort() const { return FProxyPort; }
    void SetProxyPort(const std::string& v) { FProxyPort = v; }
    const std::string& Sender() const { return FSender; }
    void SetSender(const std::string& v) { FSender = v; }
    const std::string& Agent() const { return FAgent; }
    void SetAgent(const std::string& v) { FAgent = v; }
    const std::string& Accept() const { return FAccept; }
    void SetAccept(const std::string& v) { FAccept = v; }
    const std::string& AcceptLanguage() const { return FAcceptLanguage; }
    void SetAcceptLanguage(const std::string& v) { FAcceptLanguage = v; }
    const std::string& Reference() const { return FReference; }
    void SetReference(const std::string& v) { FReference = v; }
    const std::string& Connection() const { return FConnection; }
    void SetConnection(const std::string& v) { FConnection = v; }
    const std::string& ProxyConnection() const { return FProxyConnection; }
    void SetProxyConnection(const std::string& v) { FProxyConnection = v; }
    const std::string& Username() const { return FUsername; }
    void SetUsername(const std::string& v) { FUsername = v; }
    const std::string& Password() const { return FPassword; }
    void SetPassword(const std::string& v) { FPassword = v; }
    const std::string& ProxyUsername() const { return FProxyUsername; }
    void SetProxyUsername(const std::string& v) { FProxyUsername = v; }
    const std::string& ProxyPassword() const { return FProxyPassword; }
    void SetProxyPassword(const std::string& v) { FProxyPassword = v; }
    bool NoCache() const { return FNoCache; }
    void SetNoCache(bool v) { FNoCache = v; }
    TDateTime ModifiedSince() const { return FModifiedSince; }
    void SetModifiedSince(TDateTime v) { FModifiedSince = v; }
    const std::string& Cookie() const { return FCookie; }
    void SetCookie(const std::string& v) { FCookie = v; }
    // The jar this client shares with the other clients of one item (not owned; nullptr:
    // none). With one, every request (each hop of a relocation too) carries the jar's cookies
    // for its address after any fixed Cookie, and every Set-Cookie of an answer from the server
    // that OnCookie leaves accepted is stored in it.
    TCookieJar* CookieJar() const { return FCookieJar; }
    void SetCookieJar(TCookieJar* jar) { FCookieJar = jar; }
    const std::string& ContentTypePost() const { return FContentTypePost; }
    void SetContentTypePost(const std::string& v) { FContentTypePost = v; }
    const std::string& ContentRangeBegin() const { return FContentRangeBegin; }
    void SetContentRangeBegin(const std::string& v) { FContentRangeBegin = v; }
    const std::string& ContentRangeEnd() const { return FContentRangeEnd; }
    void SetContentRangeEnd(const std::string& v) { FContentRangeEnd = v; }
    const std::string& AcceptRanges() const { return FAcceptRanges; }
    // How long (ms) the request may go without receiving a byte, from connecting to the end of
    // the body; then it ends with httperrTimeout. A TLS handshake must finish within this
    // time from its start, however steadily its bytes arrive. 0: no limit.
    int IdleTimeout() const { return FIdleTimeout; }
    // Takes effect at once, also for a request under way.
    void SetIdleTimeout(int ms);
    bool MultiThreaded() const { return FMultiThreaded; }
    void SetMultiThreaded(bool v);
    const std::string& RequestVer() const { return FRequestVer; }
    // Only "1.0" and "1.1"; anything else raises "Insupported HTTP version" (code 5).
    void SetRequestVer(const std::string& v);
    bool FollowRelocation() const { return FFollowRelocation; }
    void SetFollowRelocation(bool v) { FFollowRelocation = v; }
    int LocationChangeMaxCount() const { return FLocationChangeMaxCount; }
    void SetLocationChangeMaxCount(int v) { FLocationChangeMaxCount = v; }
    int LocationChangeCurCount() const { return FLocationChangeCurCount; }
    int BandwidthLimit() const { return FBandwidthLimit; }
    void SetBandwidthLimit(int v) { FBandwidthLimit = v; }
    int BandwidthSampling() const { return FBandwidthSampling; }
    void SetBandwidthSampling(int v) { FBandwidthSampling = v; }
    THttpCliOptions Options() const;
    void SetOptions(THttpCliOptions v);
    const std::string& SocksServer() const { return FSocksServer; }
    void SetSocksServer(const std::string& v) { FSocksServer = v; }
    const std::string& SocksLevel() const { return FSocksLevel; }
    void SetSocksLevel(const std::string& v) { FSocksLevel = v; }
    const std::string& SocksPort() const { return FSocksPort; }
    void SetSocksPort(const std::string& v) { FSocksPort = v; }
    const std::string& SocksUsercode() const { return FSocksUsercode; }
    void SetSocksUsercode(const std::string& v) { FSocksUsercode = v; }
    const std::string& SocksPassword() const { return FSocksPassword; }
    void SetSocksPassword(const std::string& v) { FSocksPassword = v; }
    TSocksAuthentication SocksAuthentication() const { return FSocksAuthentication; }
    void SetSocksAuthentication(TSocksAuthentication v) { FSocksAuthentication = v; }

    // ---- run-time properties ----------------------------------------------------------------
    THttpState State() const { return HttpPublicState(FMachine.Phase()); }
    // Moves of the request's phase that its own table refused (a fault of this component; 0).
    int RefusedMoves() const { return FMachine.RefusedMoves(); }
    THttpRequest RequestType() const { return FRequestType; }
    int StatusCode() const { return FResp.StatusCode; }
    const std::string& ReasonPhrase() const { return FReasonPhrase; }
    // The status is the proxy's answer to CONNECT: the tunnel to the server was refused and
    // the server itself was never asked.
    bool AnsweredByProxy() const { return FResp.ProxyAnswer; }
    // Why the last request failed, "" when it did not: a connection, TLS, framing or protocol
    // failure, or the proxy's refusal. StatusCode is 0 when no answer came at all.
    const std::string& FailureText() const { return FFailureText; }
    std::uint16_t FailureCode() const { return FFailureText.empty() ? 0 : FFailureCode; }
    // How the last request ended; hoNone while one runs. Set just before OnRequestDone fires.
    const THttpOutcome& Outcome() const { return FOutcome; }
    // The answer in hand names a Location that will be followed when it is over.
    bool Relocating() const { return FResp.Relocation.Follow; }
    const std::string& ReplyVer() const { return FReplyVer; }
    std::int64_t ContentLength() const { return FResp.ContentLength; } // -1 = not given
    const std::string& ContentType() const { return FResp.ContentType; }
    const std::string& TransferEncoding() const { return FResp.TransferEncoding; }
    const std::string& ContentEncoding() const { return FResp.ContentEncoding; }
    const std::string& DocName() const { return FTarget.DocName; }
    const std::string& Location() const { return FTarget.Location; }
    const std::vector<std::string>& RcvdHeader() const { return FResp.RcvdHeader; }
    // Of the last response, as received ("" when absent): Content-Range, ETag, Last-Modified.
    const std::string& ContentRange() const { return FResp.ContentRange; }
    const std::string& ETag() const { return FResp.ETag; }
    const std::string& LastModified() const { return FResp.LastModified; }
    std::int64_t RcvdCount() const { return FResp.RcvdCount; }
    TStream* RcvdStream() const { return FRcvdStream; }
    void SetRcvdStream(TStream* s) { FRcvdStream = s; }
    TStream* SendStream() const { return FSendStream; }
    void SetSendStream(TStream* s) { FSendStream = s; }
    THttpAuthType ServerAuth() const { return FServerAuth; }
    void SetServerAuth(THttpAuthType v) { FServerAuth = v; }
    THttpAuthType ProxyAuth() const { return FProxyAuth; }
    void SetProxyAuth(THttpAuthType v) { FProxyAuth = v; }
    // Where the handshakes stand; read-only, for tests and tracing.
    THttpNtlmState AuthNTLMState() const { return FServerSide.NTLM; }
    THttpNtlmState ProxyAuthNTLMState() const { return FProxySide.NTLM; }
    THttpBasicState AuthBasicState() const { return FServerSide.Basic; }
    THttpBasicState ProxyAuthBasicState() const { return FProxySide.Basic; }
    // The socket the component owns.
    TWSocket& CtrlSocket() { return *FCtrlSocket; }
    // The content-coding stage (its registry can be extended).
    THttpContCodHandler& ContentCodingHandler() { return FContentCodingHnd; }
    // An exception of a handler or of the caller's stream (a full disk) ends the request. With
    // this set, an asynchronous request keeps it for the caller (TakeEventException, after
    // OnRequestDone) instead of handing it to the program's standard error handler.
    bool KeepEventExceptions() const { return FKeepEventExceptions; }
    void SetKeepEventExceptions(bool v) { FKeepEventExceptions = v; }
    std::exception_ptr TakeEventException()
    {
        std::exception_ptr e = FPendingException;
        FPendingException = nullptr;
        return e;
    }
    // How long the synchronous wait waits for a message before it looks again (1000 ms).
    int SyncWaitTimeout() const { return FSyncWaitTimeout; }
    void SetSyncWaitTimeout(int ms) { FSyncWaitTimeout = ms; }

    // ---- events -----------------------------------------------------------------------------
    TNotifyEvent OnStateChange;
    TNotifyEvent OnSessionConnected;
    TNotifyEvent OnSessionClosed;
    TNotifyEvent OnRequestHeaderBegin;
    TBeforeHeaderSendEvent OnBeforeHeaderSend;
    TOnCommand OnCommand;
    TNotifyEvent OnRequestHeaderEnd;
    TNotifyEvent OnSendBegin;
    TDocDataEvent OnSendData;
    TNotifyEvent OnSendEnd;
    TNotifyEvent OnHeaderBegin;
    TNotifyEvent OnHeaderData;
    TNotifyEvent OnHeaderEnd;
    TCookieRcvdEvent OnCookie;
    TNotifyEvent OnDocBegin;
    TDocDataEvent OnDocData;
    TNotifyEvent OnDocEnd;
    TNotifyEvent OnLocationChange;
    TLocationChangeExceeded OnLocationChangeExceeded;
    THttpRequestDone OnRequestDone;
    THttpDataPush OnDataPush;
    TNotifyEvent OnDataPush2;
    TSessionConnected OnSocksConnected;
    TSocksErrorEvent OnSocksError;
    TNotifyEvent OnSocketError;
    // Trace sink shared with the socket; with none attached no trace text is built.
    TDebugDisplay OnDebugDisplay;

    static constexpr int ReceiveBufferSize = 8190;
    static constexpr int SendBufferSize = 8193;
    // Body bytes are received in larger blocks: a block per system call and per write to the
    // caller's stream is what limits a large download, not the header's line buffer.
    static constexpr int BodyBufferSize = 262144;

protected:
    virtual void WndProc(TMessage& Msg);

private:
    // What follows an answer, decided once when it is over (DecideAfterAnswer): the request
    // ends (done with the final answer, or failed), or the next request of its chain starts.
    enum class TAfterAnswer { Done, Fail, FollowRelocation, AnswerChallenge, RetryOnFreshConnection };

    // A Location of a relocating answer, resolved when its line arrives and followed only when
    // the answer is over and nothing went wrong with it.
    struct TRelocation {
        bool Follow = false;
        std::string Scheme;
        std::string Host;
        std::string Port; // as written, "" when the address names none
        std::string User;
        std::string Pass;
        std::string Path; // with its query
    };

    // Where the current request goes and as whom. Set from URL by DoRequestAsync; a followed
    // relocation moves it.
    struct TRequestTarget {
        std::string Protocol; // scheme
        // What the connection goes to: the origin server, or the proxy.
        std::string ConnectHost;
        std::string ConnectPort;
        // The origin server, for the Host line.
        std::string Host;
        std::string Port;
        // The request path; through a proxy the absolute address.
        std::string Path;
        // The current absolute address, and the document name taken from it.
        std::string Location;
        std::string DocName;
        // Working credentials for the server: from Username/Password or from the address.
        std::string User;
        std::string Pass;
        // "scheme://host:port" of the server the request goes to now, and of the server the
        // working credentials were given for: they are sent only while the two agree.
        std::string Origin;
        std::string CredentialsOrigin;
    };

    // What is known of the response being received. Every new response (a new request, an
    // authentication retry, a relocation) starts from a fresh one: see ResetResponse.
    struct TResponseState {
        int StatusCode = 0;
        std::int64_t ContentLength = -1;
        std::string ContentType;
        std::string TransferEncoding;
        std::string ContentEncoding;
        std::vector<std::string> RcvdHeader;
        std::vector<std::string> Challenges; // WWW-Authenticate and Proxy-Authenticate values
        std::string ContentRange;
        std::string ETag;
        std::string LastModified;
        std::int64_t RcvdCount = 0; // document bytes
        int HeaderLineCount = 0;
        int BodyLineCount = 0;
        bool HeaderOpen = false;
        bool ProxyAnswer = false;           // the proxy's refusal of CONNECT: never handed on as a document
        std::size_t HeaderBytes = 0;        // of every answer to this request so far, interim ones too
        bool ContentLengthSeen = false;     // a Content-Length line has arrived
        bool Failed = false;                // the answer broke the framing: FailResponse ran
        bool CloseReq = false;              // close the connection after this response
        std::uint16_t RequestDoneError = 0; // for OnRequestDone
        TRelocation Relocation;
    };

    // One side of authentication: the origin server (401) or the proxy (407). Both run the
    // same handshakes; only the state they keep and the words of their messages differ.
    struct TAuthSide {
        explicit TAuthSide(bool proxy) : Proxy(proxy) {}
        const bool Proxy;
        THttpNtlmState NTLM = THttpNtlmState::Idle;
        THttpBasicState Basic = THttpBasicState::Idle;
        TNTLM_Msg2_Info NTLMMsg2Info;
        // Working copy of Connection (server) or ProxyConnection (proxy): NTLM needs the
        // connection kept and may set "Keep-alive".
        std::string Connection;
    };

    // The connection the socket holds, and what it was made for. Through an HTTP proxy an
    // https connection is a tunnel to one origin server: it is only reused for that server.
    struct TOpenConnection {
        bool Ours = false;
        std::string Host;
        std::string Port;
        std::string Protocol;
        std::string TunnelHost;
        std::string TunnelPort;
    };

    // HttpProt.cpp
    // The one place the phase changes: checks the move against the table, then runs the
    // entry actions of the new phase and tells OnStateChange when the public state changed.
    bool Move(THttpPhase To);
    THttpPhase Phase() const { return FMachine.Phase(); }
    // The next request of the chain (or the first) finds its connection from the message loop.
    void StartNextRequest();
    // The answer (or the request) is over: the decision follows from the message loop.
    void PostAnswerOver();
    void AnswerOver(std::uint32_t Serial);
    TAfterAnswer DecideAfterAnswer();
    void Finish();
    void RetryOnFreshConnection();
    bool FreshRetryAllowed() const;
    void ResetResponse();
    void AimAtProxy();
    void Login();
    void SocketDNSLookupDone(std::uint16_t ErrCode);
    void SocketSessionConnected(std::uint16_t ErrCode);
    void SessionReady();
    bool Tunnelled() const { return !FProxy.empty() && FTarget.Protocol == "https"; }
    void BuildChain(const std::string& Addr);
    void StartNextLink();
    void ProxyConnectAnswered();
    std::string ProxyRefusalText() const;
    void SslHandshakeDone(std::uint16_t ErrCode);
    void SendRequest(const std::string& Method, const std::string& Version);
    void StartRequestBody();
    void SocketDataSent(std::uint16_t ErrCode);
    void DropOldConnection();
    void FailConnect(int Err);
    bool SameConnection() const;
    std::string MethodName() const;
    void BandwidthTimerTick();
    void StopBandwidthTimer();
    void StartIdleTimer();
    void NoteActivity();
    void IdleTimerTick();
    void IdleTimedOut();
    void Trace(const std::string& Msg);
    bool Tracing() const { return static_cast<bool>(OnDebugDisplay); }
    template <class F> void Guarded(F&& f);
    void HandleEventException(std::exception_ptr E);
    void SetFailure(const std::string& Text, std::uint16_t Code = httperrBadResponse);
    void CutStreamsBack();
    void CheckRequestText() const;

    // HttpProtResponse.cpp
    void SocketDataAvailable(std::uint16_t ErrCode);
    void ProcessLines(std::uint16_t ErrCode, bool FirstLineCut);
    bool CountHeaderBytes(std::size_t n);
    void RemoveFromBuffer(std::size_t n);
    void HandBufferToBody();
    // Why the address or the proxy cannot be connected to (bad port, IPv6 host), or "".
    std::string RefusedTarget() const;
    void GetHeaderLineNext(const std::string& Line, bool Cut = false);
    void InterpretField(const std::string& Line);
    void EndOfHeader();
    bool AnswerWasAsked();
    void GetBodyLineNext(const char* Data, std::size_t Len);
    bool PassOn(const char* Data, std::size_t Len);
    void DocumentComplete(bool Plain);
    void EndOfResponseNoBody();
    void EndOfResponseWithBody();
    void SocketSessionClosed(std::uint16_t ErrCode);
    // Nothing more of this answer is read: its header or its body has ended or broken.
    void StopReading();
    bool BodyIncomplete() const;
    void FailResponse(const std::string& Text, std::uint16_t Code = httperrBadResponse);
    bool EndUnconfirmed() const;
    void FailTlsEnd();
    bool CheckTransferEncoding();

    // HttpAuth.cpp
    void LocationField(const std::string& Value);
    std::string CurrentAddress() const;
    void ApplyRelocation();
    void Relocate();
    bool NextHopAllowed();
    bool AuthenticationDecision(bool MayRetry);
    void AnswerChallenge();
    void NtlmStep(TAuthSide& P);
    void BasicStep(TAuthSide& P);
    void ApplyPresetAuth();
    void PresetAuth(TAuthSide& P, THttpAuthType Type, bool Accepted);
    bool KeepAliveForNtlm() const;
    bool CredentialsFitTarget() const;
    void TargetMoved();
    // The negotiate message of either side goes out with this request.
    bool NtlmNegotiating() const
    {
        return FServerSide.NTLM == THttpNtlmState::NegotiateDue || FProxySide.NTLM == THttpNtlmState::NegotiateDue;
    }
    const std::string* FindChallenge(const std::string& Scheme) const;
    std::string AuthorizationLine() const;
    std::string ProxyAuthorizationLine() const;

    std::unique_ptr<TSslWSocket> FCtrlSocket;
    MessageWindow FWindow;

    // Published properties.
    std::string FURL;
    std::string FLocalAddr = "0.0.0.0";
    std::string FProxy;
    std::string FProxyPort = "80";
    std::string FSender;
    std::string FAgent = "Mozilla/4.0 (compatible; Clipwarden)";
    std::string FAccept = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
    std::string FAcceptLanguage;
    std::string FReference;
    std::string FConnection;
    std::string FProxyConnection;
    std::string FUsername;
    std::string FPassword;
    std::string FProxyUsername;
    std::string FProxyPassword;
    bool FNoCache = false;
    TDateTime FModifiedSince = 0;
    std::string FCookie;
    TCookieJar* FCookieJar = nullptr;
    std::string FContentTypePost = "application/x-www-form-urlencoded";
    std::string FContentRangeBegin;
    std::string FContentRangeEnd;
    std::string FAcceptRanges;
    bool FMultiThreaded = false;
    std::string FRequestVer = "1.0";
    bool FFollowRelocation = true;
    int FLocationChangeMaxCount = 5;
    int FLocationChangeCurCount = 0;
    int FBandwidthLimit = 10000;
    int FBandwidthSampling = 1000;
    THttpCliOptions FOptions;
    std::string FSocksServer;
    std::string FSocksLevel = "5";
    std::string FSocksPort;
    std::string FSocksUsercode;
    std::string FSocksPassword;
    TSocksAuthentication FSocksAuthentication = socksNoAuthentication;

    // Run-time properties.
    THttpPhaseMachine FMachine;
    // Names the answer (or hop) a posted WM_HTTP_SET_READY belongs to: one posted for an answer
    // already decided is stale and dropped, whatever the request does by the time it arrives.
    std::uint32_t FAnswerSerial = 0;
    THttpRequest FRequestType = httpABORT;
    // Kept from response to response: the NTLM handshake asks what the server spoke last.
    std::string FReasonPhrase;
    std::string FReplyVer;
    TStream* FRcvdStream = nullptr;
    TStream* FSendStream = nullptr;
    THttpAuthType FServerAuth = httpAuthNone;
    THttpAuthType FProxyAuth = httpAuthNone;
    int FSyncWaitTimeout = 1000;

    // Working state of the request.
    TRequestTarget FTarget;
    TResponseState FResp;
    TAuthSide FServerSide{false};
    TAuthSide FProxySide{true};
    TOpenConnection FConn;
    THttpConnectChain FChain; // the links the open connection went through
    char FReceiveBuffer[ReceiveBufferSize + 1] = {};
    int FReceiveLen = 0;
    std::unique_ptr<char[]> FBodyBuffer{new char[BodyBufferSize]};
    bool FInBodyDelivery = false;
    bool FIgnoreClosed = false; // closing a connection we are done with: no closed handler
    THttpChunkDecoder FChunk;
    THttpContCodHandler FContentCodingHnd;
    std::int64_t FSentCount = 0; // SendStream bytes sent, for moving it back
    std::int64_t FRcvdStreamStartSize = 0;
    bool FRcvdStreamStartValid = false;
    bool FAllowedToSend = false;
    bool FReusedConnection = false; // this request went out on a connection kept from before
    bool FRetriedFresh = false;     // ... and was already sent again on a new one
    int FSyncDepth = 0;
    std::string FFailureText;
    THttpOutcome FOutcome;
    void DecideOutcome();
    std::uint16_t FFailureCode = httperrBadResponse;
    std::exception_ptr FPendingException;
    bool FHandlingException = false;
    bool FKeepEventExceptions = false;

    // The range asked for by this request: taken from ContentRangeBegin/End when it starts, so
    // that a relocation or an authentication retry asks for the same bytes.
    std::string FRequestRange;
    // The request carried a validator (If-Modified-Since, If-None-Match): only then is a 304 an
    // answer.
    bool FAskedConditional = false;

    // Idle limit: the tick of the last byte received (or of the start), and the timer that
    // looks at it. It also bounds a TLS handshake as a whole, from the tick its link began.
    int FIdleTimeout = 0;
    std::uint32_t FLastActivity = 0;
    std::unique_ptr<QTimer> FIdleTimer;

    // Bandwidth control.
    std::unique_ptr<QTimer> FBandwidthTimer;
    std::int64_t FBandwidthCount = 0;
    std::int64_t FBandwidthMaxCount = 0;
    bool FBandwidthPaused = false;
};

} // namespace cw
