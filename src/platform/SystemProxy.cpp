#include "platform/SystemProxy.h"

#include "platform/Text.h"

#include <algorithm>
#include <cstdlib>

namespace cw::SystemProxy {
namespace {

std::string Trimmed(const char* value)
{
    std::string s = value ? value : "";
    std::size_t first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return std::string();
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

// The lower-case name is the common convention and wins; the upper-case one is the fallback.
std::string Variable(const char* lower, const char* upper)
{
    std::string v = Trimmed(std::getenv(lower));
    if (v.empty())
        v = Trimmed(std::getenv(upper));
    return v;
}

// The variable's [user[:password]@]host[:port], without the scheme and any path.
std::string Authority(std::string v)
{
    std::size_t scheme = v.find("://");
    if (scheme != std::string::npos)
        v.erase(0, scheme + 3);
    std::size_t slash = v.find('/');
    if (slash != std::string::npos)
        v.erase(slash);
    return v;
}

Route Parse(const std::string& variable)
{
    Route r;
    std::string v = Authority(variable);
    // The last "@" ends the user part: a password may hold an unescaped "@" of its own.
    std::size_t at = v.rfind('@');
    std::string userInfo;
    if (at != std::string::npos) {
        userInfo = v.substr(0, at);
        v.erase(0, at + 1);
    }
    if (v.empty() || v[0] == ':')
        return r; // no host: nothing usable
    // A proxy given without a port listens on the HTTP port.
    std::size_t colon = v.rfind(':');
    std::size_t bracket = v.rfind(']');
    if (colon == std::string::npos || (bracket != std::string::npos && colon < bracket))
        v += ":80";
    r.HostPort = v;
    if (at != std::string::npos) {
        std::size_t sep = userInfo.find(':');
        r.Login.User = text::PercentDecoded(userInfo.substr(0, sep));
        if (sep != std::string::npos)
            r.Login.Password = text::PercentDecoded(userInfo.substr(sep + 1));
    }
    return r;
}

// The host of "scheme://[user@]host[:port]/...", lower case, IPv6 literals without brackets.
std::string HostOf(const std::string& address)
{
    std::size_t start = address.find("://");
    if (start == std::string::npos)
        return std::string();
    std::string authority = address.substr(start + 3);
    authority.erase(std::min(authority.find_first_of("/?#"), authority.size()));
    if (std::size_t at = authority.rfind('@'); at != std::string::npos)
        authority.erase(0, at + 1);
    if (!authority.empty() && authority[0] == '[') {
        std::size_t close = authority.find(']');
        return text::Lower(authority.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    }
    authority.erase(std::min(authority.find(':'), authority.size()));
    return text::Lower(authority);
}

// One no_proxy entry against a host: the host itself, or any host under the entry's domain.
bool EntryTakes(std::string entry, const std::string& host)
{
    if (!entry.empty() && entry[0] == '[') { // "[::1]" or "[::1]:8080"
        std::size_t close = entry.find(']');
        entry = entry.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    } else if (std::count(entry.begin(), entry.end(), ':') == 1) {
        entry.erase(entry.find(':')); // "host:port"
    }
    entry = text::Lower(entry);
    while (!entry.empty() && entry[0] == '.')
        entry.erase(0, 1);
    if (entry.empty() || host.empty())
        return false;
    if (host == entry)
        return true;
    return host.size() > entry.size() && host.compare(host.size() - entry.size(), entry.size(), entry) == 0 &&
           host[host.size() - entry.size() - 1] == '.';
}

bool Bypassed(const std::string& host)
{
    const std::string list = Variable("no_proxy", "NO_PROXY");
    std::size_t pos = 0;
    while (pos < list.size()) {
        std::size_t end = list.find_first_of(", \t", pos);
        if (end == std::string::npos)
            end = list.size();
        const std::string entry = list.substr(pos, end - pos);
        if (entry == "*" || EntryTakes(entry, host))
            return true;
        pos = end + 1;
    }
    return false;
}

} // namespace

Credentials ProxyCredentials()
{
    return Parse(Variable("http_proxy", "HTTP_PROXY")).Login;
}

std::string ProxyListText()
{
    return Parse(Variable("http_proxy", "HTTP_PROXY")).HostPort;
}

bool IsEnabled()
{
    return !ProxyListText().empty();
}

Route RouteFor(const std::string& address)
{
    if (Bypassed(HostOf(address)))
        return Route();
    const bool https = text::Lower(address.substr(0, 8)) == "https://";
    if (https) {
        Route r = Parse(Variable("https_proxy", "HTTPS_PROXY"));
        if (!r.Direct())
            return r;
    }
    return Parse(Variable("http_proxy", "HTTP_PROXY"));
}

} // namespace cw::SystemProxy
