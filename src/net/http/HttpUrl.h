#pragma once
// Taking an address apart, and the trimming the HTTP client shares between its files. Text is
// 8-bit; case folding lives in platform/Text.

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
std::string Trim(const std::string& s);
} // namespace http_detail

} // namespace cw
