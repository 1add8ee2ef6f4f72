#pragma once
// The process-wide OpenSSL client context of the TLS layer, and the plain-words texts of its
// failures. Private to src/net/tls.

#include <string>

struct ssl_ctx_st;
struct x509_st;

namespace cw::tls {

// The shared client context: TLS 1.2 and 1.3 only, the system's trust store, peer
// verification on. Created at first use; nullptr (with the reason in Error) when OpenSSL cannot
// set it up.
ssl_ctx_st* ClientContext(std::string& Error);

// The index of the ex_data slot of an SSL object that points back at its socket.
int SocketExIndex();

// The user's text and error code for a failed certificate verification (X509_V_ERR_...);
// Names lists what the certificate was issued for, used when the host name did not match.
std::string VerifyFailureText(int VerifyError, const std::string& Names, int& Code);

// The DNS names and IP addresses a certificate was issued for ("a.test, 10.0.0.1"), or its
// common name when it has none; only printable ASCII, so a hostile certificate cannot put
// control characters into a message.
std::string CertificateNames(x509_st* Cert);

// The reason of the oldest error in OpenSSL's queue, in plain words ("" when the queue is
// empty). The queue is cleared.
std::string TakeSslErrorReason();

// True for "1.2.3.4" and IPv6 literals.
bool IsIpLiteral(const std::string& Name);

} // namespace cw::tls
