// Stateless helpers of the socket unit: error texts, the dotted-address test and the resolvers
// Connect uses for the protocol, the ports and the remote host.

#include "net/socket/WSocket.h"
#include "platform/Text.h"

#include <cctype>
#include <cstdio>

namespace cw {

using namespace ws;

namespace {

std::string Trimmed(const std::string& s)
{
    size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos)
        return std::string();
    size_t e = s.find_last_not_of(' ');
    return s.substr(b, e - b + 1);
}

std::string FormatNameError(const char* fmt, const std::string& name, int err)
{
    char buf[512];
    std::snprintf(buf, sizeof(buf), fmt, name.c_str(), err);
    return buf;
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

std::string SocketErrorText(int ErrCode)
{
    switch (ErrCode) {
    case 0:
        return "No Error";
    case 10004:
        return "Interrupted system call";
    case 10009:
        return "Bad file number";
    case 10013:
        return "Permission denied";
    case 10014:
        return "Bad address";
    case 10022:
        return "Invalid argument";
    case 10024:
        return "Too many open files";
    case 10035:
        return "Operation would block";
    case 10036:
        return "Operation now in progress";
    case 10037:
        return "Operation already in progress";
    case 10038:
        return "Socket operation on non-socket";
    case 10039:
        return "Destination address required";
    case 10040:
        return "Message too long";
    case 10041:
        return "Protocol wrong type for socket";
    case 10042:
        return "Protocol not available";
    case 10043:
        return "Protocol not supported";
    case 10044:
        return "Socket type not supported";
    case 10045:
        return "Operation not supported on socket";
    case 10046:
        return "Protocol family not supported";
    case 10047:
        return "Address family not supported by protocol family";
    case 10048:
        return "Address already in use";
    case 10049:
        return "Address not available";
    case 10050:
        return "Network is down";
    case 10051:
        return "Network is unreachable";
    case 10052:
        return "Network dropped connection on reset";
    case 10053:
        return "Connection aborted";
    case 10054:
        return "Connection reset by peer";
    case 10055:
        return "No buffer space available";
    case 10056:
        return "Socket is already connected";
    case 10057:
        return "Socket is not connected";
    case 10058:
        return "Can't send after socket shutdown";
    case 10059:
        return "Too many references: can't splice";
    case 10060:
        return "Connection timed out";
    case 10061:
        return "Connection refused";
    case 10062:
        return "Too many levels of symbolic links";
    case 10063:
        return "File name too long";
    case 10064:
        return "Host is down";
    case 10065:
        return "No route to host";
    case 10066:
        return "Directory not empty";
    case 10067:
        return "Too many processes";
    case 10068:
        return "Too many users";
    case 10069:
        return "Disc quota exceeded";
    case 10070:
        return "Stale NFS file handle";
    case 10071:
        return "Too many levels of remote in path";
    case 10091:
        return "Network sub-system is unusable";
    case 10092:
        return "WinSock DLL cannot support this application";
    case 10093:
        return "WinSock not initialized";
    case 11001:
        return "Host not found";
    case 11002:
        return "Non-authoritative host not found";
    case 11003:
        return "Non-recoverable error";
    case 11004:
        return "No Data";
    default:
        return "Not a WinSock error";
    }
}

bool WSocketIsDottedIP(const std::string& s)
{
    std::string t = Trimmed(s);
    if (t.empty() || t[0] == '.')
        return false;
    int dots = 0;
    int group = 0;
    int digits = 0;
    for (size_t i = 0; i < t.size(); ++i) {
        char c = t[i];
        if (c == '.') {
            if (digits == 0 || ++dots > 3)
                return false;
            if (i + 1 >= t.size() || !IsDigit(t[i + 1]))
                return false;
            group = 0;
            digits = 0;
        } else if (IsDigit(c)) {
            group = group * 10 + (c - '0');
            if (++digits > 3 || group > 255)
                return false;
        } else {
            return false;
        }
    }
    return dots == 3 && digits > 0;
}

std::uint32_t WSocketResolveHost(const std::string& InAddr)
{
    if (InAddr.empty() || InAddr.size() > 256)
        throw ESocketException("WSocketResolveHost: '" + InAddr + "' Invalid Hostname.");
    if (WSocketIsDottedIP(InAddr)) {
        std::string t = Trimmed(InAddr);
        std::uint32_t a = ws::inet_addr(t.c_str());
        if (a == INADDR_NONE && t != "255.255.255.255")
            throw ESocketException("WSocketResolveHost: '" + InAddr + "' Invalid IP address.");
        return a;
    }
    HostEnt h;
    int err = ws::gethostbyname(InAddr, h);
    if (err != 0 || h.Addresses.empty())
        throw ESocketException(FormatNameError("WSocketResolveHost: Cannot convert host address '%s', Error #%d",
                                               InAddr, err ? err : WSANO_DATA));
    return h.Addresses.front();
}

std::uint16_t WSocketResolvePort(const std::string& Port, const std::string& Proto)
{
    if (Port.empty() || Port.size() >= 32)
        throw ESocketException("WSocketResolvePort: Invalid Port.");
    if (Proto.empty() || Proto.size() >= 32)
        throw ESocketException("WSocketResolvePort: Invalid Proto.");
    size_t i = Port.find_first_not_of(' ');
    if (i != std::string::npos && IsDigit(Port[i])) {
        unsigned long n = 0;
        for (; i < Port.size() && IsDigit(Port[i]); ++i) {
            n = n * 10 + static_cast<unsigned long>(Port[i] - '0');
            if (n > 65535)
                // A number that is no port would otherwise wrap to some other port silently.
                throw ESocketException(
                    FormatNameError("WSocketResolvePort: Cannot convert port '%s', Error #%d", Port, WSAEINVAL));
        }
        return htons(static_cast<std::uint16_t>(n));
    }
    int p = ws::getservbyname(Port.c_str(), text::Lower(Proto).c_str());
    if (p < 0)
        throw ESocketException(
            FormatNameError("WSocketResolvePort: Cannot convert port '%s', Error #%d", Port, WSAGetLastError()));
    return static_cast<std::uint16_t>(p);
}

int WSocketResolveProto(const std::string& Proto)
{
    if (Proto.empty() || Proto.size() >= 32)
        throw ESocketException("WSocketResolveProto: Invalid Protocol.");
    std::string p = text::Lower(Proto);
    if (p == "tcp")
        return IPPROTO_TCP;
    if (p == "udp")
        return IPPROTO_UDP;
    if (p == "raw")
        return IPPROTO_RAW;
    if (IsDigit(p[0])) {
        int n = 0;
        for (size_t i = 0; i < p.size() && IsDigit(p[i]) && n < 100000; ++i)
            n = n * 10 + (p[i] - '0');
        return n;
    }
    int n = ws::getprotobyname(p.c_str());
    if (n < 0)
        throw ESocketException(
            FormatNameError("WSocketResolveProto: Cannot convert protocol '%s', Error #%d", Proto, WSAGetLastError()));
    return n;
}

std::string LocalHostName()
{
    char name[64];
    if (ws::gethostname(name, sizeof(name)) != 0)
        throw ESocketException("Winsock.GetHostName failed");
    return name;
}

} // namespace cw
