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
// Position of the first byte below 0x20 or of 0x7F (npos when none): such a byte on a request
// line or in a header value would end the line early and let the rest pose as more header.
std::size_t FindControlByte(const std::string& s);
// Blanks written as "%20", as browsers send them; every other byte stays.
std::string EncodeSpaces(const std::string& s);
// "scheme://host:port" with scheme and host lower-cased: what credentials are bound to.
std::string OriginOf(const std::string& scheme, const std::string& host, const std::string& port);
} // namespace http_detail

} // namespace cw
