#pragma once
// The user's system proxy setting. On this platform it comes from the environment: the proxy is
// enabled when http_proxy (or HTTP_PROXY, used when the lower-case one is unset or empty) names a
// host, and the proxy list text is its host:port ("http://user:pw@host:port/" gives "host:port";
// a proxy given without a port gets the HTTP port, "proxy" gives "proxy:80").

#include <string>

namespace cw::SystemProxy {

// True when a proxy is configured.
bool IsEnabled();
// "host:port", or "" when none is configured.
std::string ProxyListText();

} // namespace cw::SystemProxy
