#pragma once
// Real servers we did not write, started by tests on free 127.0.0.1 ports with their own
// configuration in a temporary folder, and stopped (and the folder removed) when the object
// goes away: nginx as a web server and tinyproxy as an HTTP proxy. Both run in the foreground
// as child processes of the test, so nothing is left running after it, also as root in a
// container without systemd.
//
//   cwtest::NginxServer nginx(docRoot, "location /private/ { auth_basic \"x\"; "
//                                      "auth_basic_user_file " + htpasswd + "; }");
//   if (!nginx.Started()) GTEST_SKIP() << nginx.Error();
//   client.SetURL(nginx.Url("/big.bin"));

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "support/Files.h"

namespace cwtest {

// A child process with its output sent to a log file; stopped with SIGTERM (then SIGKILL).
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { Stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    bool Start(const std::vector<std::string>& argv, const std::string& logFile);
    void Stop();
    bool Running();
    pid_t Pid() const { return FPid; }

private:
    pid_t FPid = -1;
};

// Full path of a program found on PATH (or in /usr/sbin, /sbin), or "".
std::string FindProgram(const std::string& name);

class NginxServer {
public:
    // Serves root on a free port; extraServerConfig is inserted into the server block (for
    // locations with authentication, redirects, ...). Use Port() inside extraServerConfig by
    // passing the port: NginxServer(root, config, port).
    explicit NginxServer(const std::string& root, const std::string& extraServerConfig = "", std::uint16_t port = 0);
    ~NginxServer();
    bool Started() const { return FStarted; }
    const std::string& Error() const { return FError; }
    std::uint16_t Port() const { return FPort; }
    std::string Url(const std::string& path) const;
    const std::string& Dir() const { return FDir.Path(); }

private:
    TempDir FDir{"cw-nginx"};
    ChildProcess FProcess;
    std::uint16_t FPort = 0;
    bool FStarted = false;
    std::string FError;
};

class TinyproxyServer {
public:
    // With user and password, the proxy asks for Basic authentication (407). With upstream
    // ("127.0.0.1:port") every request is passed on to that proxy instead of the named host
    // (an HttpTestServer routes it by host, so made-up site names work behind tinyproxy).
    explicit TinyproxyServer(const std::string& user = "", const std::string& password = "",
                             const std::string& upstream = "");
    ~TinyproxyServer();
    bool Started() const { return FStarted; }
    const std::string& Error() const { return FError; }
    std::uint16_t Port() const { return FPort; }
    std::string PortText() const { return std::to_string(FPort); }
    const std::string& Dir() const { return FDir.Path(); }

private:
    TempDir FDir{"cw-tinyproxy"};
    ChildProcess FProcess;
    std::uint16_t FPort = 0;
    bool FStarted = false;
    std::string FError;
};

} // namespace cwtest
