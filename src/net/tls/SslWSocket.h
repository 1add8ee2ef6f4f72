#pragma once
// TSslWSocket: a TWSocket that can speak TLS (1.2 or 1.3, OpenSSL) on its connection.
//
// With SslEnabled false it is exactly a TWSocket. With SslEnabled true, Connect opens the TCP
// connection and then runs the TLS handshake, driven by the socket's own notifications; nothing
// blocks the thread. To its user it keeps the TWSocket contract:
//   - OnSessionConnected(0) fires only once the handshake has finished and the server's
//     certificate has been verified; a failed handshake fires OnSessionConnected(code) and then
//     closes the connection with OnSessionClosed(code).
//   - Send / SendStr / QueueData take plain bytes; they are encrypted on their way out. Bytes
//     sent before the handshake has finished wait in the send queue.
//   - OnDataAvailable fires only when decrypted bytes can be read; Receive returns them.
//   - Close sends the TLS close_notify alert, then closes the socket.
// StartSslHandshake begins TLS on a connection that is already open (a tunnel through an HTTP
// proxy, or a connection through a SOCKS server once OnSessionConnected has fired): completion
// is reported by OnSslHandshakeDone only.
//
// The server is verified against the system's trust store (ca-certificates; SSL_CERT_FILE and
// SSL_CERT_DIR are honoured when set before the first TLS connection of the process) and its
// certificate must name SslServerName (Addr when empty): a host name by DNS name, an IP literal
// by address. The name is also sent as server name indication; ALPN offers "http/1.1".
//
// Failures carry one of the tlsErr codes below; LastTlsError() has the full text for the user
// ("certificate has expired", "certificate is for another host: other.test", ...), and
// SslErrorText(code) a generic one. Connect with SslEnabled refuses a SOCKS server (use
// StartSslHandshake after the SOCKS connection is up), and TLS is never offered in line mode.

#include "net/socket/WSocketComponent.h"

#include <cstdint>
#include <memory>
#include <string>

struct ssl_st;
struct bio_st;
struct x509_store_ctx_st;

namespace cw {

// Error codes of the TLS layer, in the socket's error-code space.
constexpr int tlsErrHandshake = 13001;   // "TLS handshake failed: <reason>"
constexpr int tlsErrNotTrusted = 13002;  // "certificate not trusted: <reason>"
constexpr int tlsErrWrongHost = 13003;   // "certificate is for another host: <names>"
constexpr int tlsErrExpired = 13004;     // "certificate has expired"
constexpr int tlsErrNotYetValid = 13005; // "certificate is not yet valid"
constexpr int tlsErrConnection = 13006;  // "TLS connection failed: <reason>" (after the handshake)

// The generic text of a TLS error code; any other code as SocketErrorText.
std::string SslErrorText(int ErrCode);

class TSslWSocket : public TWSocket {
public:
    explicit TSslWSocket(TComponent* AOwner = nullptr);
    ~TSslWSocket() override;

    void Connect() override;
    void Close() override;
    void Resume() override;
    int RcvdCount() override;

    // Begin TLS on the open connection; OnSslHandshakeDone reports the outcome.
    void StartSslHandshake();

    // Settable only while closed ("Cannot change SslEnabled if not closed"); kept across
    // connections.
    bool SslEnabled() const { return FSslEnabled; }
    void SetSslEnabled(bool value);
    // The name the certificate must carry; empty means Addr. Reset with Addr at every close.
    const std::string& SslServerName() const { return FSslServerName; }
    void SetSslServerName(const std::string& value) { FSslServerName = value; }

    // TLS runs on this connection (handshaking or established).
    bool SslActive() const { return FPhase == Phase::Handshaking || FPhase == Phase::Established; }
    bool SslEstablished() const { return FPhase == Phase::Established; }
    std::string SslVersion() const; // "TLSv1.3", or "" without a session
    std::string SslAlpn() const;    // the protocol the server chose, or ""
    // The text of the last TLS failure of this socket ("" when none since the last Connect).
    const std::string& LastTlsError() const { return FLastTlsError; }
    // The server ended its side with close_notify: everything it sent arrived. Without it, an
    // end of the connection may be anyone's cut. Kept after the close, until the next handshake.
    bool SslCloseNotified() const { return FCloseNotified; }

    TSessionConnected OnSslHandshakeDone;
    // Bytes came from the server, whether or not they hold data for the reader (handshake
    // messages, session tickets never show as data): a slow exchange is not silence.
    TNotifyEvent OnSslBytesReceived;

protected:
    void WndProc(TMessage& Msg) override;
    void AssignDefaultValue() override;
    bool TriggerDataAvailable(std::uint16_t ErrCode) override;
    void TriggerSessionConnected(std::uint16_t ErrCode) override;
    void TriggerSessionClosed(std::uint16_t ErrCode) override;
    void TriggerDataSent(std::uint16_t ErrCode) override;
    int DoRecv(void* Buffer, int BufferSize, int Flags) override;
    int DoSend(const void* Data, int Len, int Flags) override;
    void TryToSend() override;

private:
    enum class Phase { Off, Handshaking, Established, Failed };

    void BeginHandshake(bool NotifyConnected);
    void ContinueHandshake();
    void HandshakeDone();
    void Fail(int Code, const std::string& Text);
    std::string HandshakeFailureText(int SslError, int& Code);
    void PullCiphertext();
    void Decrypt();
    void ReadStopped(int SslResult);
    void NoteReset();
    int FlushCiphertext();
    void SendCloseNotify();
    void DeliverPlain(std::uint16_t ErrCode);
    void PostReadNotice();
    void ResetSsl();
    std::size_t PlainAvailable() const;
    std::size_t CipherHeld() const { return FCipherInEnd - FCipherInBegin; }
    static int VerifyCallback(int Ok, x509_store_ctx_st* Store);
    static int CipherInRead(bio_st* Bio, char* Out, int Len);
    static long CipherInCtrl(bio_st* Bio, int Cmd, long Num, void* Ptr);

    bool FSslEnabled = false;
    std::string FSslServerName;
    std::string FLastTlsError;
    Phase FPhase = Phase::Off;
    ssl_st* FSsl = nullptr;
    bio_st* FNetIn = nullptr;  // reads FCipherIn for OpenSSL
    bio_st* FNetOut = nullptr; // bytes OpenSSL wants sent to the server
    unsigned FSerial = 0;      // changes with every session: handlers may close and reconnect
    bool FNotifyConnected = false;
    bool FAwaitingTls = false; // connected by Connect with TLS on: nothing goes out in the clear
    std::string FCipherOut;    // encrypted bytes the system did not take yet
    std::size_t FCipherOutPos = 0;
    // Records taken from the system and not yet read by OpenSSL: FCipherInBegin..FCipherInEnd.
    // Decrypted bytes wait inside OpenSSL (SSL_pending), one record at most.
    std::unique_ptr<char[]> FCipherIn;
    std::size_t FCipherInBegin = 0;
    std::size_t FCipherInEnd = 0;
    std::uint64_t FPlainHandedOut = 0; // by Receive, over the socket's life
    bool FPeerEof = false;             // the server closed its sending side
    bool FPeerClosedTls = false;       // no more application data will come
    bool FCloseNotified = false;       // ... because the server said so (close_notify)
    int FRawError = 0;                 // socket error seen while reading
    bool FReadPosted = false;
    bool FReceiveCalled = false;
    bool FReadFailed = false; // a receive found the connection broken: close at the next chance
    int FVerifyError = 0;
    std::string FVerifyNames; // names of the certificate that did not match
};

} // namespace cw
