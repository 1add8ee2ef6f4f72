// Names: dotted-address conversion, service and protocol names, the host name, and the
// asynchronous look-ups answered with a message posted to a window.

#include "platform/Winsock.h"

#include "platform/MessageWindow.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <netdb.h>
#include <thread>
#include <unistd.h>

namespace cw::ws {

struct AsyncRequestAccess {
    static HANDLE& Handle(AsyncRequest& r) { return r.FHandle; }
    static HWND& Window(AsyncRequest& r) { return r.FWindow; }
    static unsigned& Msg(AsyncRequest& r) { return r.FMsg; }
    static HostEnt& Result(AsyncRequest& r) { return r.FResult; }
    static int& Error(AsyncRequest& r) { return r.FError; }
    static std::mutex& Lock(AsyncRequest& r) { return r.FLock; }
    static bool& Cancelled(AsyncRequest& r) { return r.FCancelled; }
    static bool& Answered(AsyncRequest& r) { return r.FAnswered; }
};

namespace {

// ---- look-ups --------------------------------------------------------------------------------

std::mutex gResolverLock;
LookupResolver gResolver;
bool gInlineAnswer = false;
std::atomic<HANDLE> gNextRequest{0x10};

// Look-up workers still running. At exit we give them a moment to finish, so none posts into
// objects that static destruction is tearing down.
struct WorkerCount {
    std::mutex Lock;
    std::condition_variable Done;
    int Count = 0;
    ~WorkerCount()
    {
        std::unique_lock<std::mutex> lock(Lock);
        Done.wait_for(lock, std::chrono::seconds(3), [this] { return Count == 0; });
    }
};
WorkerCount& Workers()
{
    static WorkerCount w;
    return w;
}

int SystemLookup(const std::string& name, HostEnt& result)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* list = nullptr;
    int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (rc != 0)
        return LookupErrorToWSA(rc);
    for (addrinfo* a = list; a; a = a->ai_next) {
        if (a == list && a->ai_canonname)
            result.Name = a->ai_canonname;
        if (a->ai_family == AF_INET)
            result.Addresses.push_back(reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr);
    }
    ::freeaddrinfo(list);
    if (result.Name.empty())
        result.Name = name;
    return result.Addresses.empty() ? WSANO_DATA : 0;
}

int SystemReverseLookup(std::uint32_t addr, HostEnt& result)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr;
    char host[NI_MAXHOST];
    int rc = ::getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof(sa), host, sizeof(host), nullptr, 0, NI_NAMEREQD);
    if (rc != 0)
        return LookupErrorToWSA(rc);
    result.Name = host;
    result.Addresses.push_back(addr);
    return 0;
}

// Hand the answer to the window unless the request was cancelled meanwhile.
void Answer(const std::shared_ptr<AsyncRequest>& req, bool send)
{
    using A = AsyncRequestAccess;
    {
        std::lock_guard<std::mutex> lock(A::Lock(*req));
        if (A::Cancelled(*req))
            return;
        A::Answered(*req) = true;
    }
    LPARAM lp = WSAMakeSelectReply(0, static_cast<unsigned>(A::Error(*req)));
    if (send)
        MessageWindow::SendMessage(A::Window(*req), A::Msg(*req), A::Handle(*req), lp);
    else
        MessageWindow::PostMessage(A::Window(*req), A::Msg(*req), A::Handle(*req), lp);
}

std::shared_ptr<AsyncRequest> StartRequest(HWND window, unsigned msg, std::function<int(HostEnt&)> resolve,
                                           bool allowInline)
{
    using A = AsyncRequestAccess;
    if (WSAStartupCount() == 0) {
        WSASetLastError(WSANOTINITIALISED);
        return nullptr;
    }
    if (!MessageWindow::IsWindow(window)) {
        WSASetLastError(WSAEINVAL);
        return nullptr;
    }
    auto req = std::make_shared<AsyncRequest>();
    A::Handle(*req) = gNextRequest.fetch_add(1);
    A::Window(*req) = window;
    A::Msg(*req) = msg;

    bool inlineAnswer = false;
    {
        std::lock_guard<std::mutex> lock(gResolverLock);
        inlineAnswer = allowInline && gInlineAnswer && gResolver;
    }
    if (inlineAnswer) {
        A::Error(*req) = resolve(A::Result(*req));
        Answer(req, true);
        return req;
    }
    {
        std::lock_guard<std::mutex> lock(Workers().Lock);
        ++Workers().Count;
    }
    try {
        std::thread([req, resolve = std::move(resolve)] {
            using A = AsyncRequestAccess;
            A::Error(*req) = resolve(A::Result(*req));
            Answer(req, false);
            std::lock_guard<std::mutex> lock(Workers().Lock);
            if (--Workers().Count == 0)
                Workers().Done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        std::lock_guard<std::mutex> lock(Workers().Lock);
        --Workers().Count;
        WSASetLastError(WSAENOBUFS);
        return nullptr;
    }
    return req;
}

} // namespace

// ---- names -----------------------------------------------------------------------------------

std::uint32_t inet_addr(const char* text)
{
    // Four decimal groups; a leading zero does not make a group octal.
    if (!text)
        return INADDR_NONE;
    std::uint32_t host = 0;
    const char* p = text;
    for (int group = 0; group < 4; ++group) {
        if (group > 0 && *p++ != '.')
            return INADDR_NONE;
        if (*p < '0' || *p > '9')
            return INADDR_NONE;
        unsigned value = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9') {
            value = value * 10 + static_cast<unsigned>(*p++ - '0');
            if (++digits > 3 || value > 255)
                return INADDR_NONE;
        }
        host = (host << 8) | value;
    }
    if (*p != '\0')
        return INADDR_NONE;
    return htonl(host);
}

std::string inet_ntoa(std::uint32_t addr)
{
    char buf[INET_ADDRSTRLEN];
    in_addr a{};
    a.s_addr = addr;
    ::inet_ntop(AF_INET, &a, buf, sizeof(buf));
    return buf;
}

int getservbyname(const char* name, const char* proto)
{
    servent se{};
    servent* result = nullptr;
    char buf[1024];
    if (::getservbyname_r(name, proto, &se, buf, sizeof(buf), &result) != 0 || !result) {
        WSASetLastError(WSANO_DATA);
        return -1;
    }
    return result->s_port;
}

int getprotobyname(const char* name)
{
    protoent pe{};
    protoent* result = nullptr;
    char buf[1024];
    if (::getprotobyname_r(name, &pe, buf, sizeof(buf), &result) != 0 || !result) {
        WSASetLastError(WSANO_DATA);
        return -1;
    }
    return result->p_proto;
}

int gethostname(char* name, int len)
{
    if (len <= 0) {
        WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    if (::gethostname(name, static_cast<size_t>(len)) != 0) {
        WSASetLastError(ErrnoToWSA(errno));
        return SOCKET_ERROR;
    }
    name[len - 1] = '\0';
    return 0;
}

int gethostbyname(const std::string& name, HostEnt& result)
{
    result = HostEnt();
    int err = SystemLookup(name, result);
    WSASetLastError(err);
    return err;
}

std::shared_ptr<AsyncRequest> WSAAsyncGetHostByName(HWND window, unsigned msg, const std::string& name)
{
    LookupResolver resolver;
    {
        std::lock_guard<std::mutex> lock(gResolverLock);
        resolver = gResolver;
    }
    auto resolve = [name, resolver](HostEnt& result) {
        return resolver ? resolver(name, result) : SystemLookup(name, result);
    };
    return StartRequest(window, msg, resolve, true);
}

std::shared_ptr<AsyncRequest> WSAAsyncGetHostByAddr(HWND window, unsigned msg, std::uint32_t addr)
{
    return StartRequest(
        window, msg, [addr](HostEnt& result) { return SystemReverseLookup(addr, result); }, false);
}

int WSACancelAsyncRequest(AsyncRequest& request)
{
    using A = AsyncRequestAccess;
    std::lock_guard<std::mutex> lock(A::Lock(request));
    if (A::Cancelled(request)) {
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    A::Cancelled(request) = true;
    return 0;
}

void SetLookupResolverForTests(LookupResolver resolver, bool inlineAnswer)
{
    std::lock_guard<std::mutex> lock(gResolverLock);
    gResolver = std::move(resolver);
    gInlineAnswer = inlineAnswer;
}

} // namespace cw::ws
