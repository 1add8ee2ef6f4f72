// httpget URL OUTFILE [--proxy HOST:PORT] [--user U --password P]
//                     [--proxy-user U --proxy-password P] [--http11] [--cacert FILE]
//                     [--idle-timeout SECONDS]
//
// URL may be https; --cacert trusts the certificates in FILE instead of the system's store.
//
// Fetches URL with THttpCli's asynchronous request, from an event loop, into OUTFILE and prints the status, the
// number of bytes and the time taken. Exits with 0 only when the final answer is a 2xx and the
// whole document arrived (its framing complete, or over TLS the server's close_notify). Any other
// outcome exits with 1, says why on standard error and removes OUTFILE: a partial or foreign
// document never stands under the name asked for. 2 for bad arguments or an output file that
// cannot be made.
// --idle-timeout: give up when no byte arrives for that long (default 60, 0 = never).

#include "net/http/HttpProt.h"
#include "platform/Streams.h"

#include <QCoreApplication>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

int Usage()
{
    std::fprintf(stderr, "usage: httpget URL OUTFILE [--proxy HOST:PORT] [--user U --password P]\n"
                         "               [--proxy-user U --proxy-password P] [--http11] [--cacert FILE]\n"
                         "               [--idle-timeout SECONDS]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    if (argc < 3)
        return Usage();
    std::string url = argv[1];
    std::string outFile = argv[2];
    std::string proxy, user, password, proxyUser, proxyPassword, caCert;
    bool http11 = false;
    int idleSeconds = 60;
    for (int i = 3; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string& target) {
            if (i + 1 >= argc)
                return false;
            target = argv[++i];
            return true;
        };
        bool ok = true;
        if (a == "--proxy")
            ok = value(proxy);
        else if (a == "--user")
            ok = value(user);
        else if (a == "--password")
            ok = value(password);
        else if (a == "--proxy-user")
            ok = value(proxyUser);
        else if (a == "--proxy-password")
            ok = value(proxyPassword);
        else if (a == "--cacert")
            ok = value(caCert);
        else if (a == "--idle-timeout") {
            std::string text;
            ok = value(text);
            char* end = nullptr;
            long v = ok ? std::strtol(text.c_str(), &end, 10) : -1;
            ok = ok && !text.empty() && *end == 0 && v >= 0 && v <= 86400;
            idleSeconds = static_cast<int>(v);
        } else if (a == "--http11")
            http11 = true;
        else
            ok = false;
        if (!ok)
            return Usage();
    }

    // The TLS layer reads the trust store once, at its first connection.
    if (!caCert.empty())
        ::setenv("SSL_CERT_FILE", caCert.c_str(), 1);

    std::string message;
    try {
        auto out = std::make_unique<cw::TFileStream>(outFile, cw::fmCreate);
        cw::THttpCli cli;
        cli.SetName("httpget");
        cli.SetRcvdStream(out.get());
        cli.SetURL(url);
        cli.SetAgent("Mozilla/3.0 (compatible)");
        if (http11)
            cli.SetRequestVer("1.1");
        if (!proxy.empty())
            cli.SetProxy(proxy);
        cli.SetUsername(user);
        cli.SetPassword(password);
        cli.SetProxyUsername(proxyUser);
        cli.SetProxyPassword(proxyPassword);
        cli.SetIdleTimeout(idleSeconds * 1000);

        // The program's own way: the asynchronous request, its end delivered from the loop.
        auto start = std::chrono::steady_clock::now();
        cli.OnRequestDone = [&app](cw::TObject*, cw::THttpRequest, std::uint16_t) { app.quit(); };
        try {
            cli.DoRequestAsync(cw::httpGET);
            QCoreApplication::exec();
            const cw::THttpOutcome& outcome = cli.Outcome();
            if (outcome.Kind != cw::hoDone && outcome.Kind != cw::hoStatus)
                message = outcome.Words + " (" + cw::OutcomeKindName(outcome.Kind) + ", code " +
                          std::to_string(outcome.Code) + ")";
        } catch (const std::exception& e) {
            message = e.what(); // the request could not start
        }
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        double mbps = seconds > 0 ? static_cast<double>(cli.RcvdCount()) / seconds / 1e6 : 0.0;
        cli.SetRcvdStream(nullptr);
        out.reset();
        std::printf("status %d, %lld bytes in %.3f s (%.1f MB/s)\n", cli.StatusCode(),
                    static_cast<long long>(cli.RcvdCount()), seconds, mbps);
        const int status = cli.StatusCode();
        if (message.empty() && (status < 200 || status > 299))
            message = "the final answer is " + std::to_string(status) +
                      (cli.ReasonPhrase().empty() ? std::string() : " " + cli.ReasonPhrase()) + ", not a document";
        if (message.empty())
            return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "httpget: %s\n", e.what());
        return 2;
    }
    std::remove(outFile.c_str());
    std::fprintf(stderr, "httpget: %s; %s removed\n", message.c_str(), outFile.c_str());
    return 1;
}
