// TLS over the asynchronous socket. OpenSSL reads from FNetIn, a BIO over FCipherIn, which a
// read notification fills straight from the socket; it writes into FNetOut, a memory BIO emptied
// into the socket (FCipherOut holds what the system did not take yet, and a write notification
// brings the rest). So the handshake, reading and writing all advance from the socket's own
// notifications, and OpenSSL never touches the descriptor.
//
// A notification decrypts one record only, to learn whether application data came; the reader's
// Receive then decrypts on straight into its own buffer. Every byte of a download is so copied
// from the system, into OpenSSL's record buffer, and out to the reader, and nowhere else.

#include "net/tls/SslWSocket.h"

#include "net/tls/SslContext.h"

#include <algorithm>
#include <cstring>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace cw {

using namespace ws;

namespace {

// How much ciphertext is held ahead of the reader: a reader that takes its time (bandwidth
// control) leaves the rest in the system's buffer. FCipherIn is larger, so that what is left of
// a round seldom has to be moved to the front before the next one.
constexpr std::size_t kPullPerRound = 64 * 1024;
constexpr std::size_t kCipherInSize = 3 * kPullPerRound;

// The read side of OpenSSL's transport: a source BIO over the socket's FCipherIn.
BIO_METHOD* CipherInMethod(int (*Read)(BIO*, char*, int), long (*Ctrl)(BIO*, int, long, void*))
{
    static BIO_METHOD* const method = [&] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "socket ciphertext");
        if (m) {
            BIO_meth_set_read(m, Read);
            BIO_meth_set_ctrl(m, Ctrl);
        }
        return m;
    }();
    return method;
}

const unsigned char kAlpnHttp11[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};

} // namespace

std::string SslErrorText(int ErrCode)
{
    switch (ErrCode) {
    case tlsErrHandshake:
        return "TLS handshake failed";
    case tlsErrNotTrusted:
        return "certificate not trusted";
    case tlsErrWrongHost:
        return "certificate is for another host";
    case tlsErrExpired:
        return "certificate has expired";
    case tlsErrNotYetValid:
        return "certificate is not yet valid";
    case tlsErrConnection:
        return "TLS connection failed";
    default:
        return SocketErrorText(ErrCode);
    }
}

TSslWSocket::TSslWSocket(TComponent* AOwner) : TWSocket(AOwner) {}

TSslWSocket::~TSslWSocket()
{
    // No events while going away, but the server still hears a proper end.
    if (FPhase == Phase::Established && FHSocket != INVALID_SOCKET)
        SendCloseNotify();
    ResetSsl();
}

// ---- properties and operations --------------------------------------------------------------

void TSslWSocket::SetSslEnabled(bool value)
{
    if (value == FSslEnabled)
        return;
    if (State() != wsClosed) {
        ReportError("Cannot change SslEnabled if not closed");
        return;
    }
    FSslEnabled = value;
}

std::string TSslWSocket::SslVersion() const
{
    return FSsl && FPhase == Phase::Established ? SSL_get_version(FSsl) : std::string();
}

std::string TSslWSocket::SslAlpn() const
{
    if (!FSsl)
        return std::string();
    const unsigned char* p = nullptr;
    unsigned len = 0;
    SSL_get0_alpn_selected(FSsl, &p, &len);
    return p ? std::string(reinterpret_cast<const char*>(p), len) : std::string();
}

void TSslWSocket::Connect()
{
    ResetSsl();
    FLastTlsError.clear();
    if (FSslEnabled) {
        // Both layers read the socket themselves: under them, TLS would see their bytes, and
        // they would see TLS records.
        if (!SocksServer().empty()) {
            ReportError("TLS through a SOCKS server is not supported");
            return;
        }
        if (LineMode()) {
            ReportError("TLS in line mode is not supported");
            return;
        }
    }
    FAwaitingTls = FSslEnabled;
    TWSocket::Connect();
}

void TSslWSocket::StartSslHandshake()
{
    if (State() != wsConnected || FHSocket == INVALID_SOCKET) {
        ReportError("Cannot start TLS if not connected");
        return;
    }
    if (FPhase != Phase::Off) {
        ReportError("TLS already started on this connection");
        return;
    }
    if (LineMode()) {
        ReportError("TLS in line mode is not supported");
        return;
    }
    FLastTlsError.clear();
    BeginHandshake(false);
}

void TSslWSocket::Close()
{
    if (FPhase == Phase::Established && FHSocket != INVALID_SOCKET && State() != wsClosed)
        SendCloseNotify();
    TWSocket::Close();
}

void TSslWSocket::Resume()
{
    TWSocket::Resume();
    // Decrypted bytes (or records already taken from the system) wait here, not in the
    // system: no notification of the system's would announce them.
    FReadPosted = false;
    if (FSsl && (PlainAvailable() > 0 || CipherHeld() > 0 || FPeerClosedTls || FReadFailed))
        PostReadNotice();
}

int TSslWSocket::RcvdCount()
{
    if (FPhase == Phase::Off)
        return TWSocket::RcvdCount();
    return static_cast<int>(std::min<std::size_t>(PlainAvailable(), 0x7FFFFFFF));
}

std::size_t TSslWSocket::PlainAvailable() const
{
    return FSsl ? static_cast<std::size_t>(SSL_pending(FSsl)) : 0;
}

void TSslWSocket::AssignDefaultValue()
{
    TWSocket::AssignDefaultValue();
    FSslServerName.clear();
    ResetSsl();
}

void TSslWSocket::ResetSsl()
{
    if (FSsl)
        SSL_free(FSsl); // frees both BIOs
    FSsl = nullptr;
    FNetIn = nullptr;
    FNetOut = nullptr;
    FPhase = Phase::Off;
    ++FSerial;
    FNotifyConnected = false;
    FAwaitingTls = false;
    FCipherOut.clear();
    FCipherOutPos = 0;
    FCipherIn.reset();
    FCipherInBegin = FCipherInEnd = 0;
    FPeerEof = false;
    FPeerClosedTls = false;
    FRawError = 0;
    FReadPosted = false;
    FReceiveCalled = false;
    FReadFailed = false;
    FVerifyError = 0;
    FVerifyNames.clear();
}

// ---- handshake ------------------------------------------------------------------------------

int TSslWSocket::VerifyCallback(int Ok, x509_store_ctx_st* Store)
{
    if (Ok)
        return 1;
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(Store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* self = ssl ? static_cast<TSslWSocket*>(SSL_get_ex_data(ssl, tls::SocketExIndex())) : nullptr;
    if (self && self->FVerifyError == 0) {
        self->FVerifyError = X509_STORE_CTX_get_error(Store);
        if (self->FVerifyError == X509_V_ERR_HOSTNAME_MISMATCH || self->FVerifyError == X509_V_ERR_IP_ADDRESS_MISMATCH)
            self->FVerifyNames = tls::CertificateNames(X509_STORE_CTX_get_current_cert(Store));
    }
    return 0; // the first failure ends the handshake
}

void TSslWSocket::BeginHandshake(bool NotifyConnected)
{
    ResetSsl();
    FCloseNotified = false;
    FNotifyConnected = NotifyConnected;
    FPhase = Phase::Handshaking; // a failure from here on is reported as a handshake failure
    std::string error;
    SSL_CTX* ctx = tls::ClientContext(error);
    if (!ctx) {
        Fail(tlsErrHandshake, "TLS handshake failed: " + error);
        return;
    }
    const std::string name = FSslServerName.empty() ? Addr() : FSslServerName;
    if (name.empty() || name.find('\0') != std::string::npos) {
        Fail(tlsErrHandshake, "TLS handshake failed: no valid server name to verify");
        return;
    }
    FSsl = SSL_new(ctx);
    BIO_METHOD* cipherIn = CipherInMethod(&TSslWSocket::CipherInRead, &TSslWSocket::CipherInCtrl);
    FNetIn = cipherIn ? BIO_new(cipherIn) : nullptr;
    FNetOut = BIO_new(BIO_s_mem());
    FCipherIn.reset(new char[kCipherInSize]);
    if (FNetIn) {
        BIO_set_data(FNetIn, this);
        BIO_set_init(FNetIn, 1);
    }
    if (!FSsl || !FNetIn || !FNetOut) {
        BIO_free(FNetIn);
        BIO_free(FNetOut);
        FNetIn = FNetOut = nullptr;
        Fail(tlsErrHandshake, "TLS handshake failed: " + tls::TakeSslErrorReason());
        return;
    }
    SSL_set_bio(FSsl, FNetIn, FNetOut);
    SSL_set_connect_state(FSsl);
    SSL_set_ex_data(FSsl, tls::SocketExIndex(), this);
    SSL_set_verify(FSsl, SSL_VERIFY_PEER, &TSslWSocket::VerifyCallback);
    bool ok = SSL_set_alpn_protos(FSsl, kAlpnHttp11, sizeof kAlpnHttp11) == 0;
    X509_VERIFY_PARAM* param = SSL_get0_param(FSsl);
    if (tls::IsIpLiteral(name)) {
        // No server name indication for an address.
        ok = ok && X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str()) == 1;
    } else {
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        ok = ok && X509_VERIFY_PARAM_set1_host(param, name.c_str(), name.size()) == 1 &&
             SSL_set_tlsext_host_name(FSsl, name.c_str()) == 1;
    }
    if (!ok) {
        Fail(tlsErrHandshake, "TLS handshake failed: cannot use the server name " + name);
        return;
    }
    ContinueHandshake();
}

void TSslWSocket::ContinueHandshake()
{
    ERR_clear_error();
    int r = SSL_do_handshake(FSsl);
    int sslError = r == 1 ? SSL_ERROR_NONE : SSL_get_error(FSsl, r);
    FlushCiphertext(); // the next flight, or the alert that ends it all
    if (r == 1) {
        HandshakeDone();
        return;
    }
    if (sslError == SSL_ERROR_WANT_READ && !FPeerEof && FRawError == 0)
        return; // the server's answer comes with a later notification
    int code = tlsErrHandshake;
    std::string text = HandshakeFailureText(sslError, code);
    Fail(code, text);
}

std::string TSslWSocket::HandshakeFailureText(int SslError, int& Code)
{
    Code = tlsErrHandshake;
    if (FVerifyError != 0) {
        ERR_clear_error();
        return tls::VerifyFailureText(FVerifyError, FVerifyNames, Code);
    }
    std::string reason = tls::TakeSslErrorReason();
    if (reason.empty()) {
        if (FRawError != 0)
            reason = SocketErrorText(FRawError);
        else if (FPeerEof || SslError == SSL_ERROR_SYSCALL || SslError == SSL_ERROR_ZERO_RETURN)
            reason = "the server closed the connection";
        else
            reason = "unknown error";
    }
    return "TLS handshake failed: " + reason;
}

void TSslWSocket::HandshakeDone()
{
    FPhase = Phase::Established;
    const unsigned serial = FSerial;
    const bool hadQueued = BufferedByteCount() > 0;
    if (OnSslHandshakeDone)
        OnSslHandshakeDone(this, 0);
    if (FSerial != serial)
        return;
    if (FNotifyConnected)
        TWSocket::TriggerSessionConnected(0);
    if (FSerial != serial || FHSocket == INVALID_SOCKET)
        return;
    // What the user sent while the handshake ran goes now; OnDataSent follows as after Send.
    if (hadQueued) {
        TryToSend();
        if (FSerial == serial && AllSent() && !FWritePosted && FHSocket != INVALID_SOCKET) {
            FWritePosted = true;
            MessageWindow::PostMessage(Handle(), WM_SOCKET_EVENT, static_cast<WPARAM>(FHSocket),
                                       WSAMakeSelectReply(static_cast<unsigned>(FD_WRITE), 0));
        }
    }
}

void TSslWSocket::Fail(int Code, const std::string& Text)
{
    const bool handshaking = FPhase == Phase::Handshaking;
    FPhase = Phase::Failed;
    FLastTlsError = Text;
    if (HasDebugDisplay())
        DebugDisplay(Text);
    const unsigned serial = FSerial;
    const auto code = static_cast<std::uint16_t>(Code);
    if (handshaking) {
        if (OnSslHandshakeDone)
            OnSslHandshakeDone(this, code);
        if (FSerial == serial && FNotifyConnected)
            TWSocket::TriggerSessionConnected(code);
    }
    if (FSerial == serial && FHSocket != INVALID_SOCKET && State() != wsClosed)
        InternalClose(true, code);
}

// ---- receiving ------------------------------------------------------------------------------

int TSslWSocket::CipherInRead(bio_st* Bio, char* Out, int Len)
{
    auto* self = static_cast<TSslWSocket*>(BIO_get_data(Bio));
    BIO_clear_retry_flags(Bio);
    if (!self || Len <= 0)
        return 0;
    const std::size_t held = self->CipherHeld();
    if (held == 0) {
        if (self->FPeerEof)
            return 0; // OpenSSL sees the end once everything before it is read
        BIO_set_retry_read(Bio);
        return -1;
    }
    const std::size_t n = std::min(held, static_cast<std::size_t>(Len));
    std::memcpy(Out, self->FCipherIn.get() + self->FCipherInBegin, n);
    self->FCipherInBegin += n;
    if (self->FCipherInBegin == self->FCipherInEnd)
        self->FCipherInBegin = self->FCipherInEnd = 0;
    return static_cast<int>(n);
}

long TSslWSocket::CipherInCtrl(bio_st* Bio, int Cmd, long /*Num*/, void* /*Ptr*/)
{
    auto* self = static_cast<TSslWSocket*>(BIO_get_data(Bio));
    switch (Cmd) {
    case BIO_CTRL_PENDING:
        return self ? static_cast<long>(self->CipherHeld()) : 0;
    case BIO_CTRL_EOF:
        return self && self->FPeerEof && self->CipherHeld() == 0 ? 1 : 0;
    case BIO_CTRL_FLUSH:
        return 1;
    default:
        return 0;
    }
}

void TSslWSocket::PullCiphertext()
{
    if (!FCipherIn)
        return;
    while (CipherHeld() < kPullPerRound && !FPeerEof && FRawError == 0) {
        const std::size_t want = kPullPerRound - CipherHeld();
        if (kCipherInSize - FCipherInEnd < want) {
            // What is left is less than a round: cheap to move.
            std::memmove(FCipherIn.get(), FCipherIn.get() + FCipherInBegin, CipherHeld());
            FCipherInEnd -= FCipherInBegin;
            FCipherInBegin = 0;
        }
        int n = TWSocket::DoRecv(FCipherIn.get() + FCipherInEnd, static_cast<int>(want), 0);
        if (n > 0) {
            FCipherInEnd += static_cast<std::size_t>(n);
            if (OnSslBytesReceived)
                OnSslBytesReceived(this);
        } else if (n == 0) {
            FPeerEof = true;
        } else {
            int err = WSAGetLastError();
            if (err != WSAEWOULDBLOCK)
                FRawError = err;
            break;
        }
    }
}

void TSslWSocket::ReadStopped(int SslResult)
{
    int e = SSL_get_error(FSsl, SslResult);
    if (e == SSL_ERROR_WANT_READ) {
        if (FPeerEof) // cut off inside a record
            FPeerClosedTls = true;
        return;
    }
    if (e == SSL_ERROR_ZERO_RETURN) {
        FPeerClosedTls = true;
        FCloseNotified = true;
        return;
    }
    if (e == SSL_ERROR_SSL && ERR_GET_LIB(ERR_peek_error()) == ERR_LIB_SSL &&
        ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        // The connection ended without close_notify (between records or inside one). Servers
        // that close after a framed body do this all the time: it is an end, not a failure;
        // whether anything is missing is for the reader to judge (SslCloseNotified).
        ERR_clear_error();
        FPeerClosedTls = true;
        return;
    }
    std::string reason = tls::TakeSslErrorReason();
    if (reason.empty())
        reason = FRawError ? SocketErrorText(FRawError) : "the server closed the connection";
    FLastTlsError = "TLS connection failed: " + reason;
    FPhase = Phase::Failed;
}

void TSslWSocket::NoteReset()
{
    // A reset: nothing more can complete the record under way; what was decrypted is still
    // handed out.
    if (FRawError != 0 && FPhase == Phase::Established && CipherHeld() == 0)
        FPeerClosedTls = true;
}

void TSslWSocket::Decrypt()
{
    // One record, to learn whether application data came (and not a ticket or a key update); it
    // waits inside OpenSSL for the reader.
    if (FPhase == Phase::Established && !FPeerClosedTls && PlainAvailable() == 0) {
        ERR_clear_error();
        char first;
        int r = SSL_peek(FSsl, &first, 1);
        if (r <= 0)
            ReadStopped(r);
    }
    NoteReset();
    FlushCiphertext(); // key updates and the like
}

bool TSslWSocket::TriggerDataAvailable(std::uint16_t ErrCode)
{
    if (FPhase == Phase::Off)
        return TWSocket::TriggerDataAvailable(ErrCode);
    if (FPhase == Phase::Failed) {
        if (FReadFailed && FHSocket != INVALID_SOCKET && State() != wsClosed) {
            FReadFailed = false;
            const int err = FRawError;
            InternalClose(false, static_cast<std::uint16_t>(err ? err : tlsErrConnection));
        }
        return true;
    }
    if (Paused() && FPhase == Phase::Established) {
        // A reader that paused inside its handler gets nothing more until it resumes (Resume
        // announces what is held). -1 ends the receive loop without an error.
        FLastError = -1;
        return true;
    }
    const unsigned serial = FSerial;
    PullCiphertext();
    if (FPhase == Phase::Handshaking) {
        ContinueHandshake();
        if (FSerial != serial || FPhase != Phase::Established)
            return true;
    }
    Decrypt();
    if (FPhase != Phase::Failed)
        DeliverPlain(ErrCode);
    if (FSerial != serial || FHSocket == INVALID_SOCKET)
        return true;
    if (FPhase == Phase::Failed) {
        FReadFailed = false;
        const int err = FRawError;
        InternalClose(false, static_cast<std::uint16_t>(err ? err : tlsErrConnection));
        return true;
    }
    NoteReset();
    if (FPeerClosedTls && PlainAvailable() == 0) {
        // The server has said its last word: answer its close_notify and close, as the end of
        // the stream would be handled on a plain connection.
        const int err = FRawError;
        if (err == 0)
            Close();
        else
            InternalClose(false, static_cast<std::uint16_t>(err));
    }
    return true;
}

void TSslWSocket::DeliverPlain(std::uint16_t ErrCode)
{
    if (PlainAvailable() == 0)
        return;
    const unsigned serial = FSerial;
    FReceiveCalled = false;
    if (!TWSocket::TriggerDataAvailable(ErrCode)) {
        // Nobody reads: dropped, as on a plain socket.
        char junk[4096];
        while (SSL_pending(FSsl) > 0 && SSL_read(FSsl, junk, sizeof junk) > 0) {
        }
        return;
    }
    if (FSerial != serial)
        return;
    // As the system does after a receive: bytes still waiting are announced again. That
    // includes records already taken from the system but not yet decrypted (a reader's buffer
    // may fill before they are reached): the system's buffer may be empty by now, so no
    // notification of its own would ever bring them, and the end of a body would wait until
    // the server closed the connection.
    if (FReceiveCalled && (PlainAvailable() > 0 || CipherHeld() > 0))
        PostReadNotice();
}

void TSslWSocket::WndProc(TMessage& Msg)
{
    if (Msg.Msg == WM_SOCKET_EVENT && Msg.WParam == static_cast<WPARAM>(FHSocket)) {
        const unsigned events = WSAGetSelectEvent(Msg.LParam);
        // Any read notification, ours or the system's, delivers what is held.
        if (events & FD_READ)
            FReadPosted = false;
        // The system reports the end only once nothing is left to read: every record is in
        // FCipherIn already. A full FCipherIn may have kept the last pull from reading the end
        // itself, and what the server sent before it must not be taken for data cut off by a
        // close of our own.
        if ((events & FD_CLOSE) && WSAGetSelectError(Msg.LParam) == 0 && FSsl)
            FPeerEof = true;
    }
    TWSocket::WndProc(Msg);
}

void TSslWSocket::PostReadNotice()
{
    if (FReadPosted || FHSocket == INVALID_SOCKET)
        return;
    FReadPosted = true;
    MessageWindow::PostMessage(Handle(), WM_SOCKET_EVENT, static_cast<WPARAM>(FHSocket),
                               WSAMakeSelectReply(static_cast<unsigned>(FD_READ), 0));
}

int TSslWSocket::DoRecv(void* Buffer, int BufferSize, int Flags)
{
    if (FPhase == Phase::Off && !FAwaitingTls)
        return TWSocket::DoRecv(Buffer, BufferSize, Flags);
    FReceiveCalled = true;
    if (FPhase == Phase::Established && BufferSize > 0) {
        // Decrypted straight into the reader's buffer, record after record, as far as the
        // records already taken from the system go.
        auto* out = static_cast<char*>(Buffer);
        int got = 0;
        while (got < BufferSize && (!FPeerClosedTls || PlainAvailable() > 0)) {
            ERR_clear_error();
            int r = SSL_read(FSsl, out + got, BufferSize - got);
            if (r > 0) {
                got += r;
                continue;
            }
            ReadStopped(r);
            break;
        }
        if (BIO_ctrl_pending(FNetOut) > 0)
            FlushCiphertext(); // a key update's answer
        if (FPhase == Phase::Failed) {
            // The close follows once the reader is done (or with the next notification).
            FReadFailed = true;
            PostReadNotice();
        }
        if (got > 0) {
            FPlainHandedOut += static_cast<std::uint64_t>(got);
            return got;
        }
    }
    if (FPhase == Phase::Established && FPeerClosedTls)
        return 0;
    WSASetLastError(WSAEWOULDBLOCK);
    return SOCKET_ERROR;
}

void TSslWSocket::TriggerSessionClosed(std::uint16_t ErrCode)
{
    if (FPhase == Phase::Handshaking && ErrCode != 0) {
        // The connection broke under the handshake (a close of our own reports 0 and is no
        // failure).
        FPhase = Phase::Failed;
        FLastTlsError = "TLS handshake failed: " + SocketErrorText(ErrCode);
        const unsigned serial = FSerial;
        if (OnSslHandshakeDone)
            OnSslHandshakeDone(this, tlsErrHandshake);
        if (FSerial == serial && FNotifyConnected)
            TWSocket::TriggerSessionConnected(tlsErrHandshake);
        if (FSerial != serial)
            return;
    } else if (FPhase == Phase::Established && FSsl && (FPeerEof || FPeerClosedTls || ErrCode != 0)) {
        // The server ended the connection: everything it sent before is handed out before the
        // end is told. (A close of our own drops it, as closing a plain socket does.)
        const unsigned serial = FSerial;
        for (;;) {
            Decrypt();
            if (PlainAvailable() == 0 || FSerial != serial)
                break;
            // Receive decrypts on by itself, so progress shows in what it handed out, not in
            // what is left.
            const std::uint64_t before = FPlainHandedOut;
            DeliverPlain(0);
            if (FSerial != serial || FPlainHandedOut == before)
                break;
        }
        if (FSerial != serial)
            return;
    }
    TWSocket::TriggerSessionClosed(ErrCode);
}

// ---- sending --------------------------------------------------------------------------------

int TSslWSocket::FlushCiphertext()
{
    if (FNetOut) {
        char buf[16384];
        while (BIO_ctrl_pending(FNetOut) > 0) {
            int n = BIO_read(FNetOut, buf, sizeof buf);
            if (n <= 0)
                break;
            if (FCipherOutPos > 0) {
                FCipherOut.erase(0, FCipherOutPos);
                FCipherOutPos = 0;
            }
            FCipherOut.append(buf, static_cast<std::size_t>(n));
        }
    }
    while (FCipherOutPos < FCipherOut.size()) {
        if (FHSocket == INVALID_SOCKET)
            return WSAENOTCONN;
        std::size_t left = FCipherOut.size() - FCipherOutPos;
        int n = ws::send(FHSocket, FCipherOut.data() + FCipherOutPos,
                         static_cast<int>(std::min<std::size_t>(left, 65536)), 0);
        if (n == SOCKET_ERROR)
            return WSAGetLastError(); // 10035: the write notification brings the rest
        FCipherOutPos += static_cast<std::size_t>(n);
    }
    FCipherOut.clear();
    FCipherOutPos = 0;
    return 0;
}

void TSslWSocket::TryToSend()
{
    if (FPhase != Phase::Off && FlushCiphertext() != 0)
        return; // records of earlier data go first; a notification or the close follows
    TWSocket::TryToSend();
}

int TSslWSocket::DoSend(const void* Data, int Len, int Flags)
{
    if (FPhase == Phase::Off && !FAwaitingTls)
        return TWSocket::DoSend(Data, Len, Flags);
    if (FPhase != Phase::Established) {
        // Not before the handshake has finished, and never in the clear: the bytes wait.
        WSASetLastError(WSAEWOULDBLOCK);
        return SOCKET_ERROR;
    }
    int err = FlushCiphertext();
    if (err != 0) {
        WSASetLastError(err);
        return SOCKET_ERROR;
    }
    ERR_clear_error();
    int r = SSL_write(FSsl, Data, Len);
    if (r <= 0) {
        FLastTlsError = "TLS connection failed: " + tls::TakeSslErrorReason();
        FPhase = Phase::Failed;
        WSASetLastError(WSAECONNABORTED); // the send path closes the connection
        return SOCKET_ERROR;
    }
    err = FlushCiphertext();
    if (err != 0 && err != WSAEWOULDBLOCK) {
        // The record is lost with the connection; the send path closes it.
        WSASetLastError(err);
        return SOCKET_ERROR;
    }
    return r;
}

void TSslWSocket::TriggerDataSent(std::uint16_t ErrCode)
{
    // Everything is sent only when the records are with the system too; during the handshake
    // nothing of the user's has gone.
    if (FPhase == Phase::Handshaking || (FPhase == Phase::Off && FAwaitingTls) ||
        (FPhase != Phase::Off && FCipherOutPos < FCipherOut.size()))
        return;
    TWSocket::TriggerDataSent(ErrCode);
}

void TSslWSocket::SendCloseNotify()
{
    if (!FSsl)
        return;
    ERR_clear_error();
    SSL_shutdown(FSsl); // writes close_notify; the server's answer is not waited for
    ERR_clear_error();
    FlushCiphertext();
}

void TSslWSocket::TriggerSessionConnected(std::uint16_t ErrCode)
{
    if (!FSslEnabled || ErrCode != 0 || SocksNegotiating() || FPhase != Phase::Off) {
        TWSocket::TriggerSessionConnected(ErrCode);
        return;
    }
    BeginHandshake(true);
}

} // namespace cw
