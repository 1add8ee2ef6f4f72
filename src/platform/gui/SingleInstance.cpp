#include "platform/gui/SingleInstance.h"

#include "platform/MessageWindow.h"
#include "platform/gui/QtGlue.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace cw {
namespace {

constexpr char kRequest[] = "show\n";
constexpr char kAnswer[] = "ok\n";
// A later copy that connects and then says nothing is dropped after this long; a real one
// sends its request at once.
constexpr int kClientTimeoutMs = 1000;
constexpr std::size_t kMaxClients = 16;

std::string ErrnoText(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

// Owned by this user, a real folder (not a link to one) and closed to everyone else: nobody
// else can plant a socket or a lock file in it, or take ours away.
bool IsPrivateDir(const std::string& dir)
{
    struct stat st {};
    return !dir.empty() && dir[0] == '/' && lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == getuid() && (st.st_mode & 077) == 0;
}

// FNV-1a, for short names made from longer texts.
std::uint64_t Fnv1a(const std::string& text)
{
    std::uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    return h;
}

std::string Hex(std::uint64_t n)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(n));
    return buf;
}

// A private folder "parent/name", made if need be. Every start walks the same names in the same
// order, so two starts meet in the same folder; a name someone else took first (or opened to
// others) is passed over rather than trusted.
std::string PrivateFolderIn(const std::string& parent, const std::string& name)
{
    for (int i = 0; i < 8; ++i) {
        std::string dir = parent + "/" + name + (i == 0 ? std::string() : "-" + std::to_string(i));
        if (mkdir(dir.c_str(), 0700) == 0)
            chmod(dir.c_str(), 0700); // whatever the umask made of it
        else if (errno != EEXIST)
            throw Exception(ErrnoText("Cannot create " + dir));
        if (IsPrivateDir(dir))
            return dir;
    }
    throw Exception("Cannot use " + parent + "/" + name + ": every such folder belongs to someone else");
}

// The folder for the lock and the socket, from the one asked for (the caller's, else
// $XDG_RUNTIME_DIR). That folder is used as it is only when it is private. Otherwise a private
// folder is made, named after it so that every start asking for the same folder lands in the
// same place: in $XDG_RUNTIME_DIR when that is private, else in /tmp.
std::string ChooseDir(const std::string& asked)
{
    if (IsPrivateDir(asked))
        return asked;
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    const std::string runtime = xdg ? std::string(xdg) : std::string();
    const std::string uid = std::to_string(getuid());
    if (IsPrivateDir(runtime))
        return PrivateFolderIn(runtime, "clipwarden-" + Hex(Fnv1a(asked)));
    if (asked.empty() || asked == runtime)
        return PrivateFolderIn("/tmp", "clipwarden-" + uid);
    return PrivateFolderIn("/tmp", "clipwarden-" + uid + "-" + Hex(Fnv1a(asked)));
}

std::string SafeName(const std::string& className)
{
    std::string name;
    for (unsigned char c : className)
        name += std::isalnum(c) ? static_cast<char>(c) : '-';
    return name.empty() ? std::string("instance") : name;
}

// A short stand-in name when the folder's path leaves no room for the long one.
std::string ShortName(const std::string& className)
{
    return "cw-" + Hex(Fnv1a(className));
}

bool FillAddress(const std::string& path, sockaddr_un& addr)
{
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

void CloseFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

// One accepted connection from a later copy: read its request, post the message, answer, close.
class SingleInstance::Server : public QObject {
public:
    Server(int listenFd, HWND window) : FWindow(window), FListen(listenFd, QSocketNotifier::Read)
    {
        QObject::connect(&FListen, &QSocketNotifier::activated, this, Guarded([this, listenFd] { Accept(listenFd); }));
    }

private:
    class Client : public QObject {
    public:
        Client(Server* server, int fd) : QObject(server), FServer(server), FFd(fd), FNotifier(fd, QSocketNotifier::Read)
        {
            QObject::connect(&FNotifier, &QSocketNotifier::activated, this, Guarded([this] { Read(); }));
            FTimer.setSingleShot(true);
            QObject::connect(&FTimer, &QTimer::timeout, this, Guarded([this] { Finish(); }));
            FTimer.start(kClientTimeoutMs);
        }
        ~Client() override { CloseFd(FFd); }

    private:
        void Read()
        {
            char buf[64];
            ssize_t n = ::recv(FFd, buf, sizeof buf, MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                return;
            if (n <= 0) {
                Finish();
                return;
            }
            FRequest.append(buf, static_cast<std::size_t>(n));
            if (FRequest.find(kRequest) != std::string::npos) {
                MessageWindow::PostMessage(FServer->FWindow, WM_SHOW_INSTANCE, 0, 0);
                ::send(FFd, kAnswer, sizeof kAnswer - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
                Finish();
            } else if (FRequest.size() > sizeof buf) {
                Finish(); // not one of ours
            }
        }

    public:
        void Finish()
        {
            if (FFd < 0)
                return; // already finished, waiting for deletion
            FNotifier.setEnabled(false);
            FTimer.stop();
            CloseFd(FFd);
            std::erase(FServer->FClients, this);
            deleteLater();
        }

    private:
        Server* FServer;
        int FFd;
        QSocketNotifier FNotifier;
        QTimer FTimer;
        std::string FRequest;
    };

    void Accept(int listenFd)
    {
        while (true) {
            int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0)
                return; // EAGAIN: nothing more waiting; anything else: try again on the next wake
            if (FClients.size() >= kMaxClients)
                FClients.front()->Finish();           // the one waiting longest: idle, not one of ours
            FClients.push_back(new Client(this, fd)); // a child of the server, gone with it at the latest
        }
    }

    HWND FWindow;
    QSocketNotifier FListen;
    std::vector<Client*> FClients; // open ones, oldest first
};

SingleInstance::SingleInstance(const std::string& className, const std::string& runtimeDir)
{
    std::string asked = runtimeDir;
    if (asked.empty()) {
        const char* xdg = std::getenv("XDG_RUNTIME_DIR");
        asked = xdg ? std::string(xdg) : std::string();
    }
    while (asked.size() > 1 && asked.back() == '/')
        asked.pop_back();
    std::string dir = ChooseDir(asked);
    if (dir.back() != '/')
        dir += '/';
    // Socket paths are short (under 108 bytes): a deep folder gets a short name made from the
    // folder and the class name, and a folder too deep even for that gives way to /tmp.
    auto fits = [](const std::string& d, const std::string& n) {
        return d.size() + n.size() + 5 < sizeof(sockaddr_un::sun_path);
    };
    std::string name = SafeName(className);
    if (!fits(dir, name))
        name = ShortName(dir + className);
    if (!fits(dir, name)) {
        dir = PrivateFolderIn("/tmp", "clipwarden-" + std::to_string(getuid())) + "/";
        name = ShortName(dir + className);
    }
    FSocketPath = dir + name + ".sock";
    FLockPath = dir + name + ".lock";
}

SingleInstance::~SingleInstance()
{
    FServer.reset();
    if (FListenFd >= 0) {
        CloseFd(FListenFd);
        ::unlink(FSocketPath.c_str()); // only the owner ever binds, so this is ours
    }
    CloseFd(FLockFd); // releases the lock last, once the socket is gone
}

bool SingleInstance::Acquire()
{
    if (FLockFd >= 0)
        return true;
    int fd = ::open(FLockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        throw Exception(ErrnoText("Cannot open " + FLockPath));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        ::close(fd);
        if (err == EWOULDBLOCK)
            return false;
        errno = err;
        throw Exception(ErrnoText("Cannot lock " + FLockPath));
    }
    FLockFd = fd;

    // We hold the lock, so any socket file still there was left by a copy that has ended.
    ::unlink(FSocketPath.c_str());
    sockaddr_un addr{};
    int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s >= 0 && FillAddress(FSocketPath, addr) && ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::listen(s, static_cast<int>(kMaxClients)) == 0) {
        FListenFd = s;
    } else {
        // Still the one running copy; later copies just cannot bring it to the front.
        std::fprintf(stderr, "%s\n", ErrnoText("Cannot listen on " + FSocketPath).c_str());
        if (s >= 0)
            ::close(s);
    }
    return true;
}

bool SingleInstance::ActivateRunning(int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    sockaddr_un addr{};
    if (!FillAddress(FSocketPath, addr))
        return false;

    while (true) {
        int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0)
            return false;
        if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
            if (left < 1000)
                left = 1000;
            timeval tv{static_cast<time_t>(left / 1000000), static_cast<suseconds_t>(left % 1000000)};
            ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
            bool ok = false;
            bool closedUnanswered = false;
            if (::send(s, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof kRequest - 1)) {
                std::string answer;
                char buf[16];
                ssize_t n = 0;
                while (answer.size() < 16 && (n = ::recv(s, buf, sizeof buf, 0)) > 0)
                    answer.append(buf, static_cast<std::size_t>(n));
                ok = answer.find(kAnswer) != std::string::npos;
                closedUnanswered = answer.empty() && n == 0;
            } else {
                closedUnanswered = errno == EPIPE || errno == ECONNRESET;
            }
            ::close(s);
            // Closed without a word: the running copy made room for a newer connection before
            // it read ours. Ask again while there is time.
            if (ok || !closedUnanswered || Clock::now() >= deadline)
                return ok;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        ::close(s);
        // The running copy holds the lock but may not be listening yet: it is still starting.
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

void SingleInstance::StopServing()
{
    FServer.reset();
}

void SingleInstance::Serve(HWND window)
{
    FServer.reset();
    if (FListenFd >= 0)
        FServer = std::make_unique<Server>(FListenFd, window);
}

} // namespace cw
