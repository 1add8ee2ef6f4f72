#pragma once
// Taking an address apart, and the small text helpers the HTTP client shares between its
// files. Text is 8-bit; case folding touches ASCII letters only.

#include <string>

namespace cw {

struct TUrlParts {
    std::string Proto;
    std::string User;
    std::string Pass;
    std::string Host;
    std::string Port;
    std::string Path; // with its query string, not decoded
};

// Split an address into scheme, user, password, host, port and path. basePath is the path the
// relative forms "./x" and "../x" are resolved against. Every part not found stays empty.
TUrlParts ParseURL(const std::string& url, const std::string& basePath = std::string());

// The document name of a path: its last segment before any query (at most 255 characters),
// "document.htm" when there is none.
std::string DocNameFromPath(const std::string& path);

namespace http_detail {
std::string LowerCase(std::string s);
std::string UpperCase(std::string s);
bool SameText(const std::string& a, const std::string& b);
bool StartsWithNoCase(const std::string& s, const std::string& prefix);
std::string Trim(const std::string& s);
// The port a scheme uses when an address names none: "443" for https, "80" otherwise.
std::string DefaultPort(const std::string& proto);
// Host, and ":" + port unless the port is the scheme's default one.
std::string Authority(const std::string& proto, const std::string& host, const std::string& port);
} // namespace http_detail

} // namespace cw
