#include "platform/Process.h"

#include "platform/Application.h"

#include <QCoreApplication>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace cw {

int CreatePipe(THandle& readEnd, THandle& writeEnd)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return errno;
    readEnd = fds[0];
    writeEnd = fds[1];
    return 0;
}

int MoveAboveStdHandles(THandle& h)
{
    if (h > 2)
        return 0;
    int moved = ::fcntl(h, F_DUPFD_CLOEXEC, 3);
    if (moved < 0)
        return errno;
    ::close(h);
    h = moved;
    return 0;
}

int SetNonBlocking(THandle h)
{
    int flags = ::fcntl(h, F_GETFL);
    if (flags < 0 || ::fcntl(h, F_SETFL, flags | O_NONBLOCK) != 0)
        return errno;
    return 0;
}

int BytesAvailable(THandle h, std::int32_t& count)
{
    count = 0;
    int n = 0;
    if (h < 0)
        return EBADF;
    if (::ioctl(h, FIONREAD, &n) != 0)
        return errno;
    count = n;
    return 0;
}

int ReadHandle(THandle h, void* buffer, int count, int& bytesRead)
{
    bytesRead = 0;
    if (h < 0)
        return EBADF;
    while (true) {
        ssize_t n = ::read(h, buffer, static_cast<size_t>(count));
        if (n >= 0) {
            bytesRead = static_cast<int>(n);
            return 0;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        return errno;
    }
}

void CloseHandle(THandle& h)
{
    if (h >= 0)
        ::close(h);
    h = InvalidHandle;
}

THandle DuplicateHandle(THandle h)
{
    if (h < 0)
        return InvalidHandle;
    return ::fcntl(h, F_DUPFD_CLOEXEC, 3);
}

int WaitForChild(THandle waitHandle, int timeoutMs, THandle cancelHandle)
{
    if (waitHandle < 0)
        return WAIT_FAILED;
    pollfd fds[2] = {{waitHandle, POLLIN, 0}, {cancelHandle, POLLIN, 0}};
    int count = cancelHandle >= 0 ? 2 : 1;
    int rc = ::poll(fds, static_cast<nfds_t>(count), timeoutMs < 0 ? -1 : timeoutMs);
    if (rc < 0)
        return errno == EINTR ? WAIT_TIMEOUT : WAIT_FAILED;
    if (rc == 0)
        return WAIT_TIMEOUT;
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR))
        return WAIT_OBJECT_0;
    if (count == 2 && fds[1].revents)
        return WAIT_CANCELLED;
    return WAIT_FAILED;
}

namespace {

bool IsExecutableFile(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string ExecutableFolder()
{
    if (QCoreApplication::instance())
        return Application::ExeDir();
    // No application object (a console tool): ask the kernel where we run from.
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return {};
    std::string path(buf, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/') + 1);
}

} // namespace

std::string FindProgram(const std::string& name)
{
    if (name.empty())
        return {};
    if (name.find('/') != std::string::npos)
        return name;
    std::string own = ExecutableFolder();
    if (!own.empty() && IsExecutableFile(own + name))
        return own + name;
    const char* env = std::getenv("PATH");
    std::string path = env ? env : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos)
            end = path.size();
        // An empty entry means the current folder.
        std::string candidate = end > start ? path.substr(start, end - start) : std::string(1, '.');
        candidate += '/';
        candidate += name;
        if (IsExecutableFile(candidate))
            return candidate;
        start = end + 1;
    }
    return {};
}

// --- TProcess ---

TProcess::~TProcess()
{
    Kill();
}

namespace {

int OpenProcessHandle(pid_t pid)
{
#ifdef SYS_pidfd_open
    int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        return fd;
    }
#else
    (void)pid;
#endif
    return -1;
}

// Whether the kernel hands out process descriptors (Linux 5.3 and later).
bool HavePidFd()
{
    static const bool have = [] {
        int fd = OpenProcessHandle(::getpid());
        if (fd < 0)
            return false;
        ::close(fd);
        return true;
    }();
    return have;
}

void WriteAll(int fd, const void* data, size_t size)
{
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        p += n;
        size -= static_cast<size_t>(n);
    }
}

} // namespace

int TProcess::Start(const std::vector<std::string>& args, THandle stdIn, THandle stdOut, THandle stdErr)
{
    if (Running())
        return EBUSY;
    if (args.empty())
        return EINVAL;
    const std::string program = FindProgram(args[0]);
    if (program.empty())
        return ENOENT;

    // Everything the child needs is prepared before fork: between fork and exec only
    // async-signal-safe calls are allowed (the program has other threads).
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    // The exec failure of the child comes back through this pipe; a successful exec closes it.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return errno;
    // Where the kernel has no process descriptors, a pipe whose write end only the child holds
    // tells the waiter when the child has gone (the read end then reports hang-up).
    int death[2] = {-1, -1};
    if (!HavePidFd()) {
        if (::pipe2(death, O_CLOEXEC) != 0 || MoveAboveStdHandles(death[1]) != 0) {
            int e = errno;
            ::close(report[0]);
            ::close(report[1]);
            if (death[0] >= 0)
                ::close(death[0]);
            if (death[1] >= 0)
                ::close(death[1]);
            return e;
        }
    }

    const pid_t parent = ::getpid();
    sigset_t all, old;
    sigfillset(&all);
    // Block signals across fork so no handler of the program runs in the child.
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    pid_t pid = ::fork();
    if (pid == 0) {
        // Child. Die with the program, even when it crashes and cannot kill us itself.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        for (int sig = 1; sig < NSIG; ++sig)
            if (sig != SIGKILL && sig != SIGSTOP)
                ::sigaction(sig, &dfl, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        const int given[3] = {stdIn, stdOut, stdErr};
        for (int target = 0; target < 3; ++target) {
            int h = given[target];
            // dup2 onto itself would keep the close-on-exec flag, so clear it by hand then.
            int rc = h < 0 ? 0 : (h == target ? ::fcntl(h, F_SETFD, 0) : ::dup2(h, target));
            if (rc < 0) {
                int e = errno;
                WriteAll(report[1], &e, sizeof e);
                ::_exit(127);
            }
        }
        if (death[1] >= 0)
            ::fcntl(death[1], F_SETFD, 0); // kept across exec: it closes when the child ends
        ::execv(program.c_str(), argv.data());
        int e = errno;
        WriteAll(report[1], &e, sizeof e);
        ::_exit(127);
    }
    int forkError = errno;
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ::close(report[1]);
    if (death[1] >= 0)
        ::close(death[1]);
    if (pid < 0) {
        ::close(report[0]);
        if (death[0] >= 0)
            ::close(death[0]);
        return forkError;
    }

    int childError = 0;
    ssize_t got;
    do {
        got = ::read(report[0], &childError, sizeof childError);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    if (got == static_cast<ssize_t>(sizeof childError)) {
        int status;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (death[0] >= 0)
            ::close(death[0]);
        return childError ? childError : ENOEXEC;
    }

    FPid = pid;
    if (death[0] >= 0)
        FWaitHandle = death[0];
    else
        FWaitHandle = OpenProcessHandle(pid);
    return 0;
}

THandle TProcess::DuplicateWaitHandle() const
{
    return DuplicateHandle(FWaitHandle);
}

int TProcess::Wait(int timeoutMs) const
{
    if (!Running())
        return WAIT_OBJECT_0;
    return WaitForChild(FWaitHandle, timeoutMs);
}

void TProcess::Kill()
{
    if (!Running())
        return;
    ::kill(FPid, SIGKILL);
    Close();
}

int TProcess::Close()
{
    if (!Running())
        return -1;
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(FPid, &status, 0);
    } while (r < 0 && errno == EINTR);
    CloseHandle(FWaitHandle);
    FPid = -1;
    if (r < 0)
        return -1;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

} // namespace cw
