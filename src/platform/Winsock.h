#pragma once
// Windows Sockets 1.1 in asynchronous mode, on POSIX sockets. The socket component above is
// written against the WinSock contract, so this layer keeps that contract rather than exposing
// POSIX directly:
//
// - Every socket is non-blocking. Failures return SOCKET_ERROR (-1) and leave a WinSock error
//   code (100xx, 110xx) for WSAGetLastError(); errno values are mapped by ErrnoToWSA.
// - WSAAsyncSelect(s, window, msg, events) turns readiness (watched with QSocketNotifier on the
//   calling thread) into messages posted to a MessageWindow: wParam = socket, lParam = event bit
//   in the low word and error code in the high word, one bit per message. The rules are the
//   WinSock ones the component relies on:
//     FD_CONNECT  once, when a connect started on the socket completes (with its error);
//     FD_WRITE    after a successful connect, and afterwards only when a send has failed with
//                 WSAEWOULDBLOCK and room has become free again;
//     FD_READ     when data is waiting; after one is posted, no other until the program calls
//                 recv (any recv re-arms it; if data is still waiting then, another follows);
//     FD_CLOSE    once, when the peer has closed (error 0) or reset the connection, and only
//                 after the data received before the close has been read;
//     FD_ACCEPT   when a listening socket has a connection waiting; re-armed by accept.
//   A mask of 0 stops all notifications (messages already posted may still arrive). A window
//   of 0 also drops the watchers, so the socket can be selected again from another thread.
// - Name look-ups run on a worker thread and answer with a message posted to the window:
//   wParam = the request handle, lParam = error in the high word. The answer lands in the
//   request object, which the caller holds. A cancelled request never answers.
// - WSAStartup/WSACleanup keep a process-wide start-up count; socket() refuses with
//   WSANOTINITIALISED while the count is 0.
//
// Everything except the look-up workers runs on the thread that created the socket's
// notifications (the thread that called WSAAsyncSelect). QtCore only.

#include "platform/Types.h"

#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace cw::ws {

using SOCKET = int;
using HANDLE = std::uintptr_t; // asynchronous request handle, 0 = none
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

// Notification bits (low word of lParam).
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;

// shutdown() directions.
constexpr int SD_RECEIVE = 0;
constexpr int SD_SEND = 1;
constexpr int SD_BOTH = 2;

// Error codes.
constexpr int WSABASEERR = 10000;
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAEPROCLIM = 10067;
constexpr int WSAEUSERS = 10068;
constexpr int WSAEDQUOT = 10069;
constexpr int WSAESTALE = 10070;
constexpr int WSAEREMOTE = 10071;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// Map an errno value (or a getaddrinfo EAI_ value, through LookupErrorToWSA) to its WinSock
// code. Unknown values map to WSAEINVAL; 0 stays 0.
int ErrnoToWSA(int err);
int LookupErrorToWSA(int eaiError);

// lParam helpers.
constexpr std::intptr_t WSAMakeSelectReply(unsigned event, unsigned error)
{
    return static_cast<std::intptr_t>(((error & 0xFFFFu) << 16) | (event & 0xFFFFu));
}
constexpr unsigned WSAGetSelectEvent(std::intptr_t lParam)
{
    return static_cast<unsigned>(lParam) & 0xFFFFu;
}
constexpr unsigned WSAGetSelectError(std::intptr_t lParam)
{
    return (static_cast<unsigned>(lParam) >> 16) & 0xFFFFu;
}
constexpr unsigned WSAGetAsyncError(std::intptr_t lParam)
{
    return WSAGetSelectError(lParam);
}

// Start-up. The version's low byte is the major version; 1.0 .. 2.2 are accepted.
struct WSAData {
    std::uint16_t wVersion = 0;
    std::uint16_t wHighVersion = 0;
    std::string szDescription;
};
int WSAStartup(std::uint16_t versionRequested, WSAData* data); // 0 or an error code
int WSACleanup();                                              // 0 or SOCKET_ERROR
int WSAStartupCount();

// The calling thread's last error.
int WSAGetLastError();
void WSASetLastError(int error);

// Socket calls, with the WinSock results (SOCKET_ERROR + WSAGetLastError on failure).
SOCKET socket(int af, int type, int protocol); // created non-blocking
int closesocket(SOCKET s);
int shutdown(SOCKET s, int how);
int connect(SOCKET s, const sockaddr_in& addr); // in progress = SOCKET_ERROR + WSAEWOULDBLOCK
int bind(SOCKET s, const sockaddr_in& addr);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr_in* addr);
int send(SOCKET s, const void* buf, int len, int flags);
int recv(SOCKET s, void* buf, int len, int flags);
int sendto(SOCKET s, const void* buf, int len, int flags, const sockaddr_in& to);
int recvfrom(SOCKET s, void* buf, int len, int flags, sockaddr_in* from);
int setsockopt(SOCKET s, int level, int name, const void* value, int len);
int getsockopt(SOCKET s, int level, int name, void* value, int* len);
// FIONREAD (bytes waiting) and FIONBIO (the socket stays non-blocking whatever is asked).
int ioctlsocket(SOCKET s, unsigned long cmd, unsigned long* arg);
int getsockname(SOCKET s, sockaddr_in* addr);
int getpeername(SOCKET s, sockaddr_in* addr);
// SIO_KEEPALIVE_VALS: keep-alive on/off with the idle time and probe interval in milliseconds.
int WSAIoctlKeepAlive(SOCKET s, bool on, unsigned timeMs, unsigned intervalMs);

// Asynchronous selection; see the header comment for the rules.
int WSAAsyncSelect(SOCKET s, HWND window, unsigned msg, long events);

// Blocking helpers of the resolvers. Results in network byte order where an address or port.
std::uint32_t inet_addr(const char* text);              // INADDR_NONE when not a dotted address
std::string inet_ntoa(std::uint32_t addr);              // "a.b.c.d"
int getservbyname(const char* name, const char* proto); // port (network order), -1 if unknown
int getprotobyname(const char* name);                   // protocol number, -1 if unknown
int gethostname(char* name, int len);

struct HostEnt {
    std::string Name;
    std::vector<std::string> Aliases;
    std::vector<std::uint32_t> Addresses; // IPv4, network order, in the resolver's order
};
// Blocking look-up by name; 0 or an error code (11001 ...).
int gethostbyname(const std::string& name, HostEnt& result);

// An asynchronous look-up in flight. The caller keeps the shared pointer; the worker fills
// Result() before it posts the answer. Handle() is the value carried in wParam.
class AsyncRequest {
public:
    HANDLE Handle() const { return FHandle; }
    const HostEnt& Result() const { return FResult; }
    int Error() const { return FError; }

private:
    friend struct AsyncRequestAccess;
    HANDLE FHandle = 0;
    HWND FWindow = 0;
    unsigned FMsg = 0;
    HostEnt FResult;
    int FError = 0;
    std::mutex FLock;
    bool FCancelled = false;
    bool FAnswered = false;
};

// Start a look-up by name (AF_INET) or by address (network order). nullptr when it cannot
// start (WSAGetLastError tells why).
std::shared_ptr<AsyncRequest> WSAAsyncGetHostByName(HWND window, unsigned msg, const std::string& name);
std::shared_ptr<AsyncRequest> WSAAsyncGetHostByAddr(HWND window, unsigned msg, std::uint32_t addr);
// Cancel: 0 when the request was still in flight, or answered but the answer has not been
// taken yet (the posted answer is then to be ignored by the receiver); SOCKET_ERROR with
// WSAEINVAL when it was already cancelled.
int WSACancelAsyncRequest(AsyncRequest& request);

// Test seam: replaces the system resolver of the asynchronous look-ups. The function fills the
// entry and returns 0 or an error code. When inlineAnswer is set, the answer is sent to the
// window from inside WSAAsyncGetHostByName, before the caller has the request handle (the
// ordering the component must survive). An empty function restores the system resolver.
using LookupResolver = std::function<int(const std::string& name, HostEnt& result)>;
void SetLookupResolverForTests(LookupResolver resolver, bool inlineAnswer = false);

} // namespace cw::ws
