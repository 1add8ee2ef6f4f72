#include "net/http/HttpUrl.h"

#include "platform/Text.h"

#include <algorithm>

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
    size_t colon = authority.rfind(':');
    size_t at = authority.rfind('@');
    bool hasColon = colon != std::string::npos;
    bool hasAt = at != std::string::npos;
    if (hasColon && (!hasAt || colon > at)) {
        parts.Port = authority.substr(colon + 1);
        size_t hostStart = hasAt ? at + 1 : 0;
        parts.Host = authority.substr(hostStart, colon - hostStart);
    } else {
        parts.Host = hasAt ? authority.substr(at + 1) : authority;
    }
    if (hasAt) {
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
