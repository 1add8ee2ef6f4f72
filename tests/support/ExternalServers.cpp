#include "support/ExternalServers.h"

#include "support/HttpTestServer.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace cwtest {

namespace fs = std::filesystem;

std::string FindProgram(const std::string& name)
{
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/sbin:/sbin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= path.size()) {
        size_t colon = path.find(':', start);
        std::string dir = path.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (!dir.empty()) {
            std::string full = dir + "/" + name;
            if (::access(full.c_str(), X_OK) == 0)
                return full;
        }
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    return "";
}

// ---- ChildProcess ---------------------------------------------------------------------------

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& logFile)
{
    Stop();
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        int log = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (log >= 0) {
            ::dup2(log, 1);
            ::dup2(log, 2);
        }
        int devnull = ::open("/dev/null", O_RDONLY);
        if (devnull >= 0)
            ::dup2(devnull, 0);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    FPid = pid;
    return true;
}

bool ChildProcess::Running()
{
    if (FPid <= 0)
        return false;
    int status;
    pid_t r = ::waitpid(FPid, &status, WNOHANG);
    if (r == FPid) {
        FPid = -1;
        return false;
    }
    return true;
}

void ChildProcess::Stop()
{
    if (FPid <= 0)
        return;
    ::kill(FPid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        int status;
        if (::waitpid(FPid, &status, WNOHANG) == FPid) {
            FPid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(FPid, SIGKILL);
    int status;
    ::waitpid(FPid, &status, 0);
    FPid = -1;
}

// ---- nginx ----------------------------------------------------------------------------------

NginxServer::NginxServer(const std::string& root, const std::string& extraServerConfig, std::uint16_t port)
{
    std::string nginx = FindProgram("nginx");
    if (nginx.empty()) {
        FError = "nginx is not installed";
        return;
    }
    FPort = port ? port : FreeLocalPort();
    const std::string d = FDir.Path();
    for (const char* sub : {"body", "proxy", "fastcgi", "uwsgi", "scgi"})
        fs::create_directories(d + "/" + sub);
    std::string conf = "daemon off;\n"
                       "master_process off;\n"
                       "worker_processes 1;\n"
                       "pid " +
                       d +
                       "/nginx.pid;\n"
                       "error_log " +
                       d +
                       "/error.log warn;\n"
                       "events { worker_connections 256; }\n"
                       "http {\n"
                       "  access_log off;\n"
                       "  client_body_temp_path " +
                       d +
                       "/body;\n"
                       "  proxy_temp_path " +
                       d +
                       "/proxy;\n"
                       "  fastcgi_temp_path " +
                       d +
                       "/fastcgi;\n"
                       "  uwsgi_temp_path " +
                       d +
                       "/uwsgi;\n"
                       "  scgi_temp_path " +
                       d +
                       "/scgi;\n"
                       "  types { text/html html htm; text/plain txt; application/octet-stream bin; video/mp4 mp4; }\n"
                       "  default_type application/octet-stream;\n"
                       "  sendfile on;\n"
                       "  tcp_nopush on;\n"
                       "  keepalive_timeout 65;\n"
                       "  server {\n"
                       "    listen 127.0.0.1:" +
                       std::to_string(FPort) +
                       ";\n"
                       "    server_name localhost;\n"
                       "    root " +
                       root + ";\n" + extraServerConfig +
                       "\n"
                       "  }\n"
                       "}\n";
    FDir.Write("nginx.conf", conf);
    if (!FProcess.Start({nginx, "-p", d, "-c", d + "/nginx.conf", "-e", d + "/error.log"}, d + "/output.log")) {
        FError = "cannot start nginx";
        return;
    }
    if (!WaitForPort(FPort, 10000) || !FProcess.Running()) {
        FError = "nginx did not start: " + ReadFile(d + "/error.log") + ReadFile(d + "/output.log");
        FProcess.Stop();
        return;
    }
    FStarted = true;
}

NginxServer::~NginxServer()
{
    FProcess.Stop();
}

std::string NginxServer::Url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(FPort) + path;
}

// ---- tinyproxy ------------------------------------------------------------------------------

TinyproxyServer::TinyproxyServer(const std::string& user, const std::string& password, const std::string& upstream)
{
    std::string tinyproxy = FindProgram("tinyproxy");
    if (tinyproxy.empty()) {
        FError = "tinyproxy is not installed";
        return;
    }
    FPort = FreeLocalPort();
    const std::string d = FDir.Path();
    std::string conf = "Port " + std::to_string(FPort) +
                       "\n"
                       "Listen 127.0.0.1\n"
                       "Timeout 60\n"
                       "MaxClients 50\n"
                       "LogFile \"" +
                       d +
                       "/tinyproxy.log\"\n"
                       "LogLevel Info\n"
                       "PidFile \"" +
                       d +
                       "/tinyproxy.pid\"\n"
                       "DisableViaHeader Yes\n"
                       "Allow 127.0.0.1\n";
    if (::geteuid() == 0)
        conf += "User root\nGroup root\n";
    if (!user.empty())
        conf += "BasicAuth " + user + " " + password + "\n";
    if (!upstream.empty())
        conf += "Upstream http " + upstream + "\n";
    FDir.Write("tinyproxy.conf", conf);
    if (!FProcess.Start({tinyproxy, "-d", "-c", d + "/tinyproxy.conf"}, d + "/output.log")) {
        FError = "cannot start tinyproxy";
        return;
    }
    if (!WaitForPort(FPort, 10000) || !FProcess.Running()) {
        FError = "tinyproxy did not start: " + ReadFile(d + "/output.log") + ReadFile(d + "/tinyproxy.log");
        FProcess.Stop();
        return;
    }
    FStarted = true;
}

TinyproxyServer::~TinyproxyServer()
{
    FProcess.Stop();
}

} // namespace cwtest
