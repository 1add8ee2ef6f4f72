#pragma once
// The SOCKS layer of the socket component: when SocksServer is set, Connect goes to the SOCKS
// server and negotiates the connection to Addr:Port (SOCKS 4, 4A or 5, with user and password
// for 5) before the session counts as connected. With SocksServer empty it passes everything
// through to the core.

#include "net/socket/WSocket.h"

#include <cstdint>
#include <functional>
#include <string>

namespace cw {

enum TSocksAuthentication { socksNoAuthentication, socksAuthenticateUsercode };
enum TSocksAuthState { socksAuthStart, socksAuthSuccess, socksAuthFailure, socksAuthNotRequired };

using TSocksErrorEvent = std::function<void(TObject* Sender, int Error, const std::string& Msg)>;
using TSocksAuthStateEvent = std::function<void(TObject* Sender, TSocksAuthState AuthState)>;

class TCustomSocksWSocket : public TCustomWSocket {
public:
    explicit TCustomSocksWSocket(TComponent* AOwner = nullptr);

    void Connect() override;
    void Listen() override;
    int RcvdCount() override;

    // "4", "4A" (also "4a", stored upper-cased) or "5"; only while closed.
    const std::string& SocksLevel() const { return FSocksLevel; }
    void SetSocksLevel(const std::string& value);
    const std::string& SocksServer() const { return FSocksServer; } // trimmed; only while closed
    void SetSocksServer(const std::string& value);
    const std::string& SocksPort() const { return FSocksPort; } // trimmed; only while closed
    void SetSocksPort(const std::string& value);
    const std::string& SocksUsercode() const { return FSocksUsercode; }
    void SetSocksUsercode(const std::string& value) { FSocksUsercode = value; }
    const std::string& SocksPassword() const { return FSocksPassword; }
    void SetSocksPassword(const std::string& value) { FSocksPassword = value; }
    TSocksAuthentication SocksAuthentication() const { return FSocksAuthentication; }
    void SetSocksAuthentication(TSocksAuthentication value) { FSocksAuthentication = value; }

    TSessionConnected OnSocksConnected;
    TSocksAuthStateEvent OnSocksAuthState;
    TSocksErrorEvent OnSocksError;

    // Error codes of OnSocksError.
    static constexpr int socksProtocolError = 20001;
    static constexpr int socksVersionError = 20002;
    static constexpr int socksAuthMethodError = 20003;
    static constexpr int socksGeneralFailure = 20004;
    static constexpr int socksConnectionNotAllowed = 20005;
    static constexpr int socksNetworkUnreachable = 20006;
    static constexpr int socksHostUnreachable = 20007;
    static constexpr int socksConnectionRefused = 20008;
    static constexpr int socksTtlExpired = 20009;
    static constexpr int socksUnknownCommand = 20010;
    static constexpr int socksUnknownAddressType = 20011;
    static constexpr int socksUnassignedError = 20012;
    static constexpr int socksInternalError = 20013;
    static constexpr int socksDataReceiveError = 20014;
    static constexpr int socksAuthenticationFailed = 20015;
    static constexpr int socksRejectedOrFailed = 20016;
    static constexpr int socksHostResolutionFailed = 20017;

protected:
    void AssignDefaultValue() override;
    bool TriggerDataAvailable(std::uint16_t ErrCode) override;
    void TriggerSessionConnected(std::uint16_t ErrCode) override;
    void TriggerSessionClosed(std::uint16_t ErrCode) override;
    void TriggerDataSent(std::uint16_t ErrCode) override;
    void TriggerSendData(int BytesSent) override;
    int DoRecv(void* Buffer, int BufferSize, int Flags) override;
    TSocketState StateAfterConnect() const override;
    bool SocksNegotiating() const { return FSocksState != SocksState::Data; }

private:
    enum class SocksState { Data, NegociateMethods, Authenticate, WaitReply };
    void SocksDoConnect();
    void SocksDoAuthenticate();
    void SocksConnectDone(std::uint16_t ErrCode);
    void SocksHandleReply();
    void SocksFailure(int Error, const std::string& Msg);
    void TriggerSocksAuthState(TSocksAuthState AuthState);
    int SendRaw(const std::string& Bytes);

    std::string FSocksLevel = "5";
    std::string FSocksServer;
    std::string FSocksPort;
    std::string FSocksUsercode;
    std::string FSocksPassword;
    TSocksAuthentication FSocksAuthentication = socksNoAuthentication;
    bool FSocksServerAssigned = false;
    bool FSocksPortAssigned = false;
    SocksState FSocksState = SocksState::Data;
    std::string FSocksReply;    // proxy reply bytes received so far
    std::string FSocksLeftover; // bytes after the proxy's reply, handed out by Receive
    std::uint16_t FTargetPortNum = 0;
    std::uint32_t FTargetAddr = 0;
    std::string FTargetHost;
    bool FTargetIsName = false;
};

} // namespace cw
