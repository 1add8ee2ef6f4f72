#pragma once
// TCookieJar: the cookies one item of a run has been given, by the answers of its own requests
// (Set-Cookie) and by the user's cookies.txt, and the Cookie header each later request of the
// item carries. The rules are HTTP state management's (RFC 6265): a cookie goes back only to
// the host it was set for (or, with a Domain, to that domain and the hosts below it), under its
// path, over https only when Secure, and never once it has expired. Without a list of public
// suffixes the jar refuses every Domain that is a single label ("com", "localhost" from
// elsewhere): a site can never set a cookie for a whole top-level domain.
//
// The jar is plain data: it holds no socket and no timer. Every client of one item holds a
// pointer to the same jar (THttpCli::SetCookieJar), so what the page sets is what the file,
// the playlist and the key requests send. Cookie values are secrets (a signed-in session): they
// are never written to a log, and the jar's own errors name cookies by their name only.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace cw {

struct TCookie {
    std::string Name;
    std::string Value;
    std::string Domain; // lower case, without a leading dot
    std::string Path;
    std::int64_t Expiry = 0; // Unix seconds; only for a persistent cookie
    bool Persistent = false; // else it lasts as long as the jar
    bool HostOnly = true;    // sent to Domain itself only, not to the hosts below it
    bool Secure = false;
    bool HttpOnly = false;
    std::uint64_t Creation = 0;   // order of creation in this jar (kept when a cookie is replaced)
    std::uint64_t LastAccess = 0; // order of the last use: the least recently used go first
};

// A date as a cookie's Expires writes it (RFC 6265 section 5.1.1: any of the usual forms,
// two-digit years, any delimiters), as Unix seconds; nothing when it is no date.
std::optional<std::int64_t> ParseCookieDate(const std::string& text);

// domainString domain-matches domain (both lower case): identical, or a host name (not an IP
// address) that ends in "." + domain.
bool CookieDomainMatch(const std::string& domainString, const std::string& domain);
// requestPath path-matches cookiePath.
bool CookiePathMatch(const std::string& requestPath, const std::string& cookiePath);
// The path a cookie without a Path attribute is given: the request path up to its last "/".
std::string CookieDefaultPath(const std::string& requestPath);
// A dotted IPv4 address (what the client speaks): such a host takes host-only cookies only.
bool IsIpAddressHost(const std::string& host);

class TCookieJar {
public:
    static constexpr std::size_t MaxCookieBytes = 4096; // name and value of one cookie
    static constexpr std::size_t MaxPerDomain = 50;
    static constexpr std::size_t MaxCookies = 3000;

    TCookieJar();

    // Stores what one Set-Cookie field value of an answer to requestUrl says. Returns false
    // when the cookie was refused (why says so, naming the cookie but never its value); a
    // cookie that arrives already expired removes its namesake and returns true.
    bool SetCookie(const std::string& setCookie, const std::string& requestUrl, std::string* why = nullptr);
    // A cookie from elsewhere (cookies.txt), taken as it is but for the jar's own limits: a
    // single-label domain that would reach below itself, an expired cookie and one with a
    // control byte are refused (false).
    bool Add(TCookie cookie);
    // The Cookie header value a request to url carries ("" when none): the cookies that
    // match its host, path and scheme, longest path first, then the oldest first.
    std::string CookieHeader(const std::string& url);

    // The cookies held now (expired ones included until the next use of the jar).
    const std::vector<TCookie>& Cookies() const { return FCookies; }
    std::size_t Count() const { return FCookies.size(); }
    void Clear() { FCookies.clear(); }

    // Unix seconds now (the system clock); tests set a clock of their own.
    void SetClock(std::function<std::int64_t()> now) { FNow = std::move(now); }
    std::int64_t Now() const { return FNow(); }

private:
    void RemoveExpired(std::int64_t now);
    void Store(TCookie cookie, std::int64_t now);
    void Evict();

    std::vector<TCookie> FCookies;
    std::uint64_t FSequence = 0;
    std::function<std::int64_t()> FNow;
};

// What reading a cookies.txt gave.
struct TCookieFileRead {
    bool Ok = false; // the file could be read (Error says why not)
    std::string Error;
    int Loaded = 0;           // cookies taken
    int Skipped = 0;          // lines that were no cookie of the format (malformed)
    int Expired = 0;          // cookies that had expired already
    int FirstSkippedLine = 0; // line number of the first malformed line, 0 when none
};

// The Netscape cookies.txt format that browsers' export add-ons write: optional
// "# Netscape HTTP Cookie File" header, comments, blank lines, "#HttpOnly_" before a domain,
// then seven tab-separated fields: domain, include subdomains (TRUE/FALSE), path, secure
// (TRUE/FALSE), expiry as Unix seconds (0: a session cookie), name, value. CR LF line ends are
// taken. A value with a tab in it makes an eighth field: such a line is malformed (a tab can
// never go back in a Cookie header), as is any line with a field out of place.
TCookieFileRead ParseCookieFile(const std::string& text, TCookieJar& jar);
// The same from a file; a file that cannot be read (or is larger than 16 MiB) is an error.
TCookieFileRead ReadCookieFile(const std::string& path, TCookieJar& jar);

} // namespace cw
