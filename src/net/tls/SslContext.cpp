#include "net/tls/SslContext.h"

#include "net/tls/SslWSocket.h"

#include <arpa/inet.h>
#include <mutex>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace cw::tls {

namespace {

std::once_flag gContextOnce;
SSL_CTX* gContext = nullptr; // lives until the process ends
std::string gContextError;
int gExIndex = -1;

std::string Printable(const unsigned char* p, int len)
{
    std::string s;
    for (int i = 0; i < len && s.size() < 100; ++i)
        if (p[i] > 0x20 && p[i] < 0x7F)
            s += static_cast<char>(p[i]);
    return s;
}

void CreateContext()
{
    gExIndex = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) {
        gContextError = "cannot set up TLS: " + TakeSslErrorReason();
        return;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
    // An end without close_notify is reported as such (SSL_R_UNEXPECTED_EOF_WHILE_READING) and
    // the socket ends the stream as a plain close would, remembering that the server did not
    // vouch for it: only a body framed by the end of the connection needs that word.
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
    // The system store: /etc/ssl/certs, or SSL_CERT_FILE / SSL_CERT_DIR when set. A missing
    // store is not fatal here: every server then fails verification with a clear reason.
    SSL_CTX_set_default_verify_paths(ctx);
    ERR_clear_error();
    gContext = ctx;
}

} // namespace

ssl_ctx_st* ClientContext(std::string& Error)
{
    std::call_once(gContextOnce, CreateContext);
    if (!gContext)
        Error = gContextError;
    return gContext;
}

int SocketExIndex()
{
    std::string ignored;
    ClientContext(ignored);
    return gExIndex;
}

std::string VerifyFailureText(int VerifyError, const std::string& Names, int& Code)
{
    switch (VerifyError) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        Code = tlsErrWrongHost;
        return "certificate is for another host: " + (Names.empty() ? std::string("(no name)") : Names);
    case X509_V_ERR_CERT_HAS_EXPIRED:
        Code = tlsErrExpired;
        return "certificate has expired";
    case X509_V_ERR_CERT_NOT_YET_VALID:
        Code = tlsErrNotYetValid;
        return "certificate is not yet valid";
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        Code = tlsErrNotTrusted;
        return "certificate not trusted: self-signed certificate";
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        Code = tlsErrNotTrusted;
        return "certificate not trusted: self-signed certificate in chain";
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        Code = tlsErrNotTrusted;
        return "certificate not trusted: unknown issuer";
    default:
        Code = tlsErrNotTrusted;
        return std::string("certificate not trusted: ") + X509_verify_cert_error_string(VerifyError);
    }
}

std::string CertificateNames(x509_st* Cert)
{
    if (!Cert)
        return std::string();
    std::string names;
    auto add = [&names](const std::string& n) {
        if (n.empty() || names.size() > 300)
            return;
        if (!names.empty())
            names += ", ";
        names += n;
    };
    auto* alt = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(Cert, NID_subject_alt_name, nullptr, nullptr));
    if (alt) {
        for (int i = 0; i < sk_GENERAL_NAME_num(alt); ++i) {
            const GENERAL_NAME* g = sk_GENERAL_NAME_value(alt, i);
            if (g->type == GEN_DNS) {
                add(Printable(ASN1_STRING_get0_data(g->d.dNSName), ASN1_STRING_length(g->d.dNSName)));
            } else if (g->type == GEN_IPADD) {
                const int len = ASN1_STRING_length(g->d.iPAddress);
                char text[INET6_ADDRSTRLEN] = {};
                const unsigned char* p = ASN1_STRING_get0_data(g->d.iPAddress);
                if ((len == 4 && inet_ntop(AF_INET, p, text, sizeof text)) ||
                    (len == 16 && inet_ntop(AF_INET6, p, text, sizeof text)))
                    add(text);
            }
        }
        GENERAL_NAMES_free(alt);
    }
    if (names.empty()) {
        X509_NAME* subject = X509_get_subject_name(Cert);
        int i = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
        if (i >= 0) {
            ASN1_STRING* cn = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, i));
            add(Printable(ASN1_STRING_get0_data(cn), ASN1_STRING_length(cn)));
        }
    }
    return names;
}

std::string TakeSslErrorReason()
{
    unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (e == 0)
        return std::string();
    if (ERR_GET_LIB(e) == ERR_LIB_SSL) {
        switch (ERR_GET_REASON(e)) {
        case SSL_R_WRONG_VERSION_NUMBER:
        case SSL_R_HTTP_REQUEST:
        case SSL_R_PACKET_LENGTH_TOO_LONG:
        case SSL_R_UNKNOWN_PROTOCOL:
        case SSL_R_RECORD_LENGTH_MISMATCH:
            return "the server did not answer in TLS";
        case SSL_R_UNEXPECTED_EOF_WHILE_READING:
            return "the server closed the connection";
        case SSL_R_UNSUPPORTED_PROTOCOL:
        case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
            return "the server offers neither TLS 1.2 nor TLS 1.3";
        case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE:
        case SSL_R_NO_SHARED_CIPHER:
            return "the server refused the handshake";
        default:
            break;
        }
    }
    const char* reason = ERR_reason_error_string(e);
    return reason ? reason : "error " + std::to_string(e);
}

bool IsIpLiteral(const std::string& Name)
{
    unsigned char buf[16];
    return inet_pton(AF_INET, Name.c_str(), buf) == 1 || inet_pton(AF_INET6, Name.c_str(), buf) == 1;
}

} // namespace cw::tls
