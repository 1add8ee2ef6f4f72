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
    std::string Path;       // with its query string, not decoded
};

// Split an address into scheme, user, password, host, port and path. basePath is the path the
// relative forms "./x" and "../x" are resolved against. Every part not found stays empty.
TUrlParts ParseURL(const std::string& url, const std::string& basePath = std::string());

// A port as an address writes it: decimal digits only, 1..65535. Returns the number, or 0 with
// the reason (which says "invalid port") in why. Service names are not ports here: a name
// from a server's Location must not be looked up on this machine.
int ParsePort(const std::string& text, std::string& why);

// Why a host as an address writes it cannot be used, or "" when it can. An IPv6 literal
// ("[::1]") is refused with a message that says so; the client speaks IPv4 only.
std::string RefusedHostText(const std::string& host);

// The document name of a path: its last segment before any query (at most 255 characters),
// "document.htm" when there is none.
std::string DocNameFromPath(const std::string& path);

// A URI reference taken apart as RFC 3986 (section 3) does: nothing is decoded, the scheme is
// lower-cased, and a component that is absent differs from one that is present but empty.
struct TUriReference {
    std::string Scheme;
    std::string Authority;
    std::string Path;
    std::string Query;
    std::string Fragment;
    bool HasScheme = false;
    bool HasAuthority = false;
    bool HasQuery = false;
    bool HasFragment = false;
};
TUriReference SplitReference(const std::string& reference);
// The parts put back together (the inverse of SplitReference).
std::string JoinReference(const TUriReference& parts);
// "." and ".." segments removed from a path (RFC 3986 section 5.2.4).
std::string RemoveDotSegments(const std::string& path);
// The target of reference against the absolute base (RFC 3986 section 5.2): relative forms
// ("x", "../x", "//host/x", "?q", "#f", "") take what they lack from the base, and the
// target's path has its dot segments removed, also when the reference is absolute. The
// fragment stays as the reference gives it. "" when there is no target: a relative reference
// and a base without a scheme.
std::string ResolveReference(const std::string& base, const std::string& reference);

namespace http_detail {
std::string Trim(const std::string& s);
// The port a scheme uses when an address names none: "443" for https, "80" otherwise.
std::string DefaultPort(const std::string& proto);
// Host, and ":" + port unless the port is the scheme's default one.
std::string Authority(const std::string& proto, const std::string& host, const std::string& port);
// Position of the first byte below 0x20 or of 0x7F (npos when none): such a byte on a request
// line or in a header value would end the line early and let the rest pose as more header.
std::size_t FindControlByte(const std::string& s);
// A header line as a trace or a log may show it: the value of a Cookie or Set-Cookie line (a
// session's secret) is replaced by its length; every other line stays.
std::string RedactedHeaderLine(const std::string& line);
// Blanks written as "%20", as browsers send them; every other byte stays.
std::string EncodeSpaces(const std::string& s);
// "scheme://host:port" with scheme and host lower-cased: what credentials are bound to.
std::string OriginOf(const std::string& scheme, const std::string& host, const std::string& port);
} // namespace http_detail

} // namespace cw
