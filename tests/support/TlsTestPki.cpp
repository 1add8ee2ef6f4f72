#include "support/TlsTestPki.h"

#include "support/HttpTestServer.h"

#include <cstdlib>
#include <openssl/ssl.h>

namespace cwtest {

namespace {

// EC keys: quick to make. The expired certificate needs `openssl ca` for its past dates.
const char* const kScript = R"(set -e
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key"; }
ca() { key "$1"; openssl req -x509 -new -key "$1.key" -out "$1.pem" -days 30 -subj "/CN=$2" \
         -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"; }
csr() { key "$1"; openssl req -new -key "$1.key" -out "$1.csr" -subj "/CN=$2"
        printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$3" > "$1.ext"; }
leaf() { csr "$1" "$3" "$4"
         openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial -days 30 \
           -extfile "$1.ext" -out "$1.pem"; }
ca ca "Clipwarden Test CA"
ca rogue "Rogue Test CA"
leaf localhost ca localhost "DNS:localhost,IP:127.0.0.1"
leaf other ca other.test "DNS:other.test"
leaf roguehost rogue localhost "DNS:localhost,IP:127.0.0.1"
cat roguehost.pem rogue.pem > roguechain.pem
cp roguehost.key roguechain.key
csr expired localhost "DNS:localhost,IP:127.0.0.1"
: > index.txt
echo 1000 > serial
printf '[ca]\ndefault_ca=t\n[t]\ndatabase=index.txt\nnew_certs_dir=.\nserial=serial\ndefault_md=sha256\npolicy=p\nunique_subject=no\n[p]\ncommonName=supplied\n' > ca.cnf
openssl ca -batch -notext -config ca.cnf -cert ca.pem -keyfile ca.key -in expired.csr -out expired.pem \
  -startdate 20200101000000Z -enddate 20200201000000Z -extfile expired.ext
mkdir -p emptydir
)";

} // namespace

TlsTestPki& TlsTestPki::Get()
{
    static TlsTestPki pki;
    return pki;
}

TlsTestPki::TlsTestPki()
{
    if (FindProgram("openssl").empty()) {
        FError = "the openssl command is not installed";
        return;
    }
    FDir.Write("make.sh", kScript);
    std::string cmd = "cd '" + FDir.Path() + "' && sh make.sh >make.log 2>&1";
    if (std::system(cmd.c_str()) != 0) {
        FError = "making the test certificates failed: " + ReadFile(FDir.File("make.log"));
        return;
    }
    ::setenv("SSL_CERT_FILE", Pem("ca").c_str(), 1);
    ::setenv("SSL_CERT_DIR", FDir.File("emptydir").c_str(), 1);
    FReady = true;
}

TlsNginx::TlsNginx(const std::string& root, const std::string& certName, const std::string& extraConfig,
                   std::uint16_t tlsPort, std::uint16_t plainPort)
{
    TlsTestPki& pki = TlsTestPki::Get();
    FTlsPort = tlsPort ? tlsPort : FreePort();
    FServer = std::make_unique<NginxServer>(root,
                                            "    listen 127.0.0.1:" + std::to_string(FTlsPort) + " ssl;\n" +
                                                "    ssl_certificate " + pki.Pem(certName) + ";\n" +
                                                "    ssl_certificate_key " + pki.Key(certName) + ";\n" + extraConfig,
                                            plainPort);
    if (FServer->Started() && !WaitForPort(FTlsPort, 10000))
        FServer.reset();
}

ScriptedPeer::Script TlsServerScript(std::function<void(ssl_st* ssl, int fd)> script, const std::string& plainFirst)
{
    return [script, plainFirst](int fd) {
        TlsTestPki& pki = TlsTestPki::Get();
        if (!plainFirst.empty() && !SendAll(fd, plainFirst))
            return;
        SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_chain_file(ctx, pki.Pem("localhost").c_str());
        SSL_CTX_use_PrivateKey_file(ctx, pki.Key("localhost").c_str(), SSL_FILETYPE_PEM);
        SSL* ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) == 1)
            script(ssl, fd);
        SSL_free(ssl);
        SSL_CTX_free(ctx);
    };
}

} // namespace cwtest
