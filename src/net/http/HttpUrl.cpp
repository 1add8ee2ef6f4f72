#include "net/http/HttpUrl.h"

#include "platform/Text.h"

#include <algorithm>
#include <cstring>

namespace cw {

namespace http_detail {

std::string Trim(const std::string& s)
{
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ')
        --e;
    return s.substr(b, e - b);
}

std::string DefaultPort(const std::string& proto)
{
    return text::SameNoCase(proto, "https") ? "443" : "80";
}

std::string Authority(const std::string& proto, const std::string& host, const std::string& port)
{
    if (port.empty() || port == DefaultPort(proto))
        return host;
    return host + ":" + port;
}

std::size_t FindControlByte(const std::string& s)
{
    for (std::size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == 0x7F)
            return i;
    }
    return std::string::npos;
}

std::string RedactedHeaderLine(const std::string& line)
{
    for (const char* name : {"cookie:", "set-cookie:"}) {
        if (!text::StartsWithNoCase(line, name))
            continue;
        const std::size_t colon = std::strlen(name);
        return line.substr(0, colon) + " (" + std::to_string(line.size() - colon) + " bytes not shown)";
    }
    return line;
}

std::string EncodeSpaces(const std::string& s)
{
    if (s.find(' ') == std::string::npos)
        return s;
    std::string out;
    out.reserve(s.size() + 8);
    for (char c : s) {
        if (c == ' ')
            out += "%20";
        else
            out += c;
    }
    return out;
}

std::string OriginOf(const std::string& scheme, const std::string& host, const std::string& port)
{
    return text::Lower(scheme) + "://" + text::Lower(host) + ":" + port;
}

} // namespace http_detail

using namespace http_detail;

namespace {

bool IsSchemeChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// The directory of a path: up to and including its last "/", or "/" when it has none.
std::string DirOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string("/") : path.substr(0, slash + 1);
}

void SplitAuthority(const std::string& authority, TUrlParts& parts)
{
    size_t at = authority.rfind('@');
    std::string hostPort = at == std::string::npos ? authority : authority.substr(at + 1);
    // An IPv6 literal keeps its colons inside the brackets; the port follows "]:".
    size_t colon = hostPort.rfind(':');
    if (!hostPort.empty() && hostPort[0] == '[') {
        size_t close = hostPort.find(']');
        if (close != std::string::npos)
            colon = close + 1 < hostPort.size() && hostPort[close + 1] == ':' ? close + 1 : std::string::npos;
    }
    if (colon != std::string::npos) {
        parts.Port = hostPort.substr(colon + 1);
        parts.Host = hostPort.substr(0, colon);
    } else {
        parts.Host = hostPort;
    }
    if (at != std::string::npos) {
        std::string userInfo = authority.substr(0, at);
        size_t sep = userInfo.find(':');
        if (sep == std::string::npos) {
            parts.User = userInfo;
        } else {
            parts.User = userInfo.substr(0, sep);
            parts.Pass = userInfo.substr(sep + 1);
        }
    }
}

} // namespace

TUrlParts ParseURL(const std::string& url, const std::string& basePath)
{
    TUrlParts parts;
    if (url.empty())
        return parts;

    if (url.compare(0, 2, "./") == 0) {
        parts.Path = DirOf(basePath) + url.substr(2);
        return parts;
    }
    if (url.compare(0, 3, "../") == 0) {
        std::string dir = DirOf(basePath);
        std::string rest = url;
        while (rest.compare(0, 3, "../") == 0) {
            rest.erase(0, 3);
            std::string trimmed = dir.substr(0, dir.size() - 1); // without the final "/"
            size_t slash = trimmed.rfind('/');
            dir = slash == std::string::npos ? std::string("/") : trimmed.substr(0, slash + 1);
        }
        parts.Path = dir + rest;
        return parts;
    }

    std::string rest;
    bool schemeFound = false;
    size_t sep = url.find("://");
    if (sep != std::string::npos) {
        std::string prefix = text::Lower(url.substr(0, sep));
        bool valid = true;
        for (char c : prefix)
            if (!IsSchemeChar(c))
                valid = false;
        if (valid) {
            parts.Proto = prefix;
            rest = url.substr(sep + 3);
            schemeFound = true;
        } else {
            parts.Proto = "http";
        }
    }

    if (!schemeFound) {
        if (url[0] == '/') {
            parts.Proto = "http";
            if (url.size() > 1 && url[1] != '/') {
                parts.Path = url;
                return parts;
            }
            rest = url.substr(1);
        } else if (text::StartsWithNoCase(url, "http:")) {
            parts.Proto = "http";
            if (url.size() > 6 && url[6] != '/') {
                parts.Path = url.substr(5);
                return parts;
            }
            rest = url.size() > 6 ? url.substr(6) : std::string();
        } else if (text::StartsWithNoCase(url, "mailto:")) {
            parts.Proto = "mailto";
            rest = url.substr(url.find(':') + 1);
        } else {
            rest = url;
        }
    }

    size_t slash = rest.find('/');
    size_t query = rest.find('?');
    size_t pathStart = std::min(slash, query);
    std::string authority;
    if (pathStart == std::string::npos) {
        authority = rest;
    } else {
        authority = rest.substr(0, pathStart);
        parts.Path = rest.substr(pathStart);
    }
    SplitAuthority(authority, parts);
    return parts;
}

int ParsePort(const std::string& text, std::string& why)
{
    why.clear();
    long n = 0;
    bool digitsOnly = !text.empty();
    for (char c : text) {
        if (c < '0' || c > '9') {
            digitsOnly = false;
            break;
        }
        n = n * 10 + (c - '0');
        if (n > 65535)
            break;
    }
    if (digitsOnly && n >= 1 && n <= 65535)
        return static_cast<int>(n);
    why = "invalid port \"" + text.substr(0, 32) + (text.size() > 32 ? "..." : "") +
          "\": a port is a number from 1 to 65535";
    return 0;
}

std::string RefusedHostText(const std::string& host)
{
    if (host.find('[') != std::string::npos || host.find(']') != std::string::npos)
        return "IPv6 addresses are not supported: \"" + host.substr(0, 64) + "\"";
    return std::string();
}

namespace {

bool IsAlpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool StartsWith(const std::string& s, std::size_t at, const char* prefix)
{
    return s.compare(at, std::char_traits<char>::length(prefix), prefix) == 0;
}

} // namespace

TUriReference SplitReference(const std::string& s)
{
    TUriReference u;
    std::size_t i = 0;
    // A scheme is a letter followed by letters, digits, "+", "-" or "."; anything else before
    // the first ":" makes the reference a relative path.
    const std::size_t colon = s.find_first_of(":/?#");
    if (colon != std::string::npos && colon > 0 && s[colon] == ':' && IsAlpha(s[0])) {
        bool valid = true;
        for (std::size_t k = 1; k < colon && valid; ++k)
            valid = IsAlpha(s[k]) || IsSchemeChar(s[k]);
        if (valid) {
            u.Scheme = text::Lower(s.substr(0, colon));
            u.HasScheme = true;
            i = colon + 1;
        }
    }
    if (StartsWith(s, i, "//")) {
        std::size_t end = s.find_first_of("/?#", i + 2);
        if (end == std::string::npos)
            end = s.size();
        u.Authority = s.substr(i + 2, end - i - 2);
        u.HasAuthority = true;
        i = end;
    }
    std::size_t end = s.find_first_of("?#", i);
    if (end == std::string::npos)
        end = s.size();
    u.Path = s.substr(i, end - i);
    i = end;
    if (i < s.size() && s[i] == '?') {
        end = s.find('#', i + 1);
        if (end == std::string::npos)
            end = s.size();
        u.Query = s.substr(i + 1, end - i - 1);
        u.HasQuery = true;
        i = end;
    }
    if (i < s.size() && s[i] == '#') {
        u.Fragment = s.substr(i + 1);
        u.HasFragment = true;
    }
    return u;
}

std::string JoinReference(const TUriReference& u)
{
    std::string s;
    if (u.HasScheme)
        s += u.Scheme + ":";
    if (u.HasAuthority)
        s += "//" + u.Authority;
    s += u.Path;
    if (u.HasQuery)
        s += "?" + u.Query;
    if (u.HasFragment)
        s += "#" + u.Fragment;
    return s;
}

std::string RemoveDotSegments(const std::string& path)
{
    // The input buffer of the algorithm is path from i on; "/." and "/.." at its very end are
    // rewritten in place to "/" so that the next round sees the plain form.
    std::string in = path;
    std::string out;
    out.reserve(in.size());
    auto dropLastSegment = [&out] {
        const std::size_t slash = out.rfind('/');
        out.resize(slash == std::string::npos ? 0 : slash);
    };
    std::size_t i = 0;
    while (i < in.size()) {
        const std::size_t left = in.size() - i;
        if (StartsWith(in, i, "../")) {
            i += 3;
        } else if (StartsWith(in, i, "./")) {
            i += 2;
        } else if (StartsWith(in, i, "/./")) {
            i += 2;
        } else if (left == 2 && StartsWith(in, i, "/.")) {
            in[i + 1] = '/';
            i += 1;
        } else if (StartsWith(in, i, "/../")) {
            i += 3;
            dropLastSegment();
        } else if (left == 3 && StartsWith(in, i, "/..")) {
            in[i + 2] = '/';
            i += 2;
            dropLastSegment();
        } else if ((left == 1 && in[i] == '.') || (left == 2 && StartsWith(in, i, ".."))) {
            i = in.size();
        } else {
            std::size_t end = in.find('/', i + 1);
            if (end == std::string::npos)
                end = in.size();
            out.append(in, i, end - i);
            i = end;
        }
    }
    return out;
}

std::string ResolveReference(const std::string& base, const std::string& reference)
{
    const TUriReference r = SplitReference(reference);
    TUriReference t;
    if (r.HasScheme) {
        t = r;
        t.Path = RemoveDotSegments(r.Path);
        return JoinReference(t);
    }
    const TUriReference b = SplitReference(base);
    if (!b.HasScheme)
        return std::string();
    t.Scheme = b.Scheme;
    t.HasScheme = true;
    if (r.HasAuthority) {
        t.Authority = r.Authority;
        t.HasAuthority = true;
        t.Path = RemoveDotSegments(r.Path);
        t.Query = r.Query;
        t.HasQuery = r.HasQuery;
    } else {
        t.Authority = b.Authority;
        t.HasAuthority = b.HasAuthority;
        if (r.Path.empty()) {
            t.Path = b.Path;
            t.Query = r.HasQuery ? r.Query : b.Query;
            t.HasQuery = r.HasQuery || b.HasQuery;
        } else {
            if (r.Path[0] == '/') {
                t.Path = RemoveDotSegments(r.Path);
            } else {
                // Merge: the base's directory, or "/" under an authority with an empty path.
                std::string merged;
                if (b.HasAuthority && b.Path.empty()) {
                    merged = "/" + r.Path;
                } else {
                    const std::size_t slash = b.Path.rfind('/');
                    merged = (slash == std::string::npos ? std::string() : b.Path.substr(0, slash + 1)) + r.Path;
                }
                t.Path = RemoveDotSegments(merged);
            }
            t.Query = r.Query;
            t.HasQuery = r.HasQuery;
        }
    }
    t.Fragment = r.Fragment;
    t.HasFragment = r.HasFragment;
    return JoinReference(t);
}

std::string DocNameFromPath(const std::string& path)
{
    std::string p = path.substr(0, path.find('?'));
    if (p.empty() || p.back() == '/')
        return "document.htm";
    size_t slash = p.rfind('/');
    std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
    return name.substr(0, 255);
}

} // namespace cw
