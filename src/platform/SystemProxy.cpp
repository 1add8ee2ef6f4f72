#include "platform/SystemProxy.h"

#include "platform/Text.h"

#include <cstdlib>

namespace cw::SystemProxy {
namespace {

std::string Trimmed(const char* value)
{
    std::string s = value ? value : "";
    std::size_t first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return std::string();
    std::size_t last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

// The lower-case name is the common convention and wins; the upper-case one is the fallback.
std::string ProxyVariable()
{
    std::string v = Trimmed(std::getenv("http_proxy"));
    if (v.empty())
        v = Trimmed(std::getenv("HTTP_PROXY"));
    return v;
}

// The variable's [user[:password]@]host[:port], without the scheme and any path.
std::string ProxyAuthority()
{
    std::string v = ProxyVariable();
    std::size_t scheme = v.find("://");
    if (scheme != std::string::npos)
        v.erase(0, scheme + 3);
    std::size_t slash = v.find('/');
    if (slash != std::string::npos)
        v.erase(slash);
    return v;
}

} // namespace

Credentials ProxyCredentials()
{
    Credentials c;
    if (ProxyListText().empty())
        return c;
    const std::string v = ProxyAuthority();
    // The last "@" ends the user part: a password may hold an unescaped "@" of its own.
    std::size_t at = v.rfind('@');
    if (at == std::string::npos)
        return c;
    std::string userInfo = v.substr(0, at);
    std::size_t colon = userInfo.find(':');
    c.User = text::PercentDecoded(userInfo.substr(0, colon));
    if (colon != std::string::npos)
        c.Password = text::PercentDecoded(userInfo.substr(colon + 1));
    return c;
}

std::string ProxyListText()
{
    std::string v = ProxyAuthority();
    std::size_t at = v.rfind('@');
    if (at != std::string::npos)
        v.erase(0, at + 1);
    if (v.empty() || v[0] == ':')
        return std::string(); // no host: nothing usable
    // A proxy given without a port listens on the HTTP port.
    std::size_t colon = v.rfind(':');
    std::size_t bracket = v.rfind(']');
    if (colon == std::string::npos || (bracket != std::string::npos && colon < bracket))
        v += ":80";
    return v;
}

bool IsEnabled()
{
    return !ProxyListText().empty();
}

} // namespace cw::SystemProxy
