#include "net/http/CookieJar.h"

#include "net/http/HttpUrl.h"
#include "platform/Text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

namespace cw {

namespace {

// Far enough for any date a server writes, near enough that adding to it never overflows.
constexpr std::int64_t kLatest = 253402300799;   // 9999-12-31 23:59:59
constexpr std::int64_t kEarliest = -11644473600; // 1601-01-01 00:00:00

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool IsDateDelimiter(unsigned char c)
{
    return c == 0x09 || (c >= 0x20 && c <= 0x2F) || (c >= 0x3B && c <= 0x40) || (c >= 0x5B && c <= 0x60) ||
           (c >= 0x7B && c <= 0x7E);
}

// A control byte in a name or value would end the Cookie line early; a tab counts too, since
// the client refuses any request whose header holds one.
bool HasControlByte(const std::string& s)
{
    return std::any_of(s.begin(), s.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7F;
    });
}


// Up to max digits at the start of token, then anything but a digit; -1 when it is not so.
int LeadingNumber(const std::string& token, std::size_t minDigits, std::size_t maxDigits, std::size_t& used)
{
    std::size_t n = 0;
    while (n < token.size() && IsDigit(token[n]))
        ++n;
    if (n < minDigits || n > maxDigits)
        return -1;
    used = n;
    return std::stoi(token.substr(0, n));
}

bool ParseTime(const std::string& token, int& h, int& m, int& s)
{
    int values[3];
    std::size_t at = 0;
    for (int i = 0; i < 3; ++i) {
        std::size_t used = 0;
        const int v = LeadingNumber(token.substr(at), 1, 2, used);
        if (v < 0)
            return false;
        values[i] = v;
        at += used;
        if (i < 2) {
            if (at >= token.size() || token[at] != ':')
                return false;
            ++at;
        }
    }
    h = values[0];
    m = values[1];
    s = values[2];
    return true;
}

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

int DaysInMonth(int year, int month)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

struct TRequestParts {
    bool Ok = false;
    std::string Scheme;
    std::string Host;
    std::string Path;
};

TRequestParts SplitRequest(const std::string& url)
{
    TRequestParts r;
    // The client never sends such an address; the jar does not take one from anywhere either.
    if (HasControlByte(url) || url.find(' ') != std::string::npos)
        return r;
    const TUriReference t = SplitReference(url);
    if (!t.HasScheme || !t.HasAuthority)
        return r;
    std::string authority = t.Authority;
    if (const std::size_t at = authority.rfind('@'); at != std::string::npos)
        authority = authority.substr(at + 1);
    if (const std::size_t colon = authority.find(':'); colon != std::string::npos)
        authority = authority.substr(0, colon);
    while (!authority.empty() && authority.back() == '.')
        authority.pop_back();
    if (authority.empty())
        return r;
    r.Ok = true;
    r.Scheme = text::Lower(t.Scheme);
    r.Host = text::Lower(authority);
    r.Path = t.Path.empty() || t.Path[0] != '/' ? std::string("/") : t.Path;
    return r;
}

bool IsSingleLabel(const std::string& domain)
{
    return domain.find('.') == std::string::npos;
}

} // namespace

std::optional<std::int64_t> ParseCookieDate(const std::string& text)
{
    bool foundTime = false, foundDay = false, foundMonth = false, foundYear = false;
    int hour = 0, minute = 0, second = 0, day = 0, month = 0, year = 0;
    static const char* const months[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                         "jul", "aug", "sep", "oct", "nov", "dec"};
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && IsDateDelimiter(static_cast<unsigned char>(text[i])))
            ++i;
        const std::size_t start = i;
        while (i < text.size() && !IsDateDelimiter(static_cast<unsigned char>(text[i])))
            ++i;
        if (i == start)
            break;
        const std::string token = text.substr(start, i - start);
        std::size_t used = 0;
        int h, m, s;
        if (!foundTime && ParseTime(token, h, m, s)) {
            foundTime = true;
            hour = h;
            minute = m;
            second = s;
        } else if (int v; !foundDay && (v = LeadingNumber(token, 1, 2, used)) >= 0) {
            foundDay = true;
            day = v;
        } else if (!foundMonth && token.size() >= 3 &&
                   std::find_if(std::begin(months), std::end(months), [&](const char* name) {
                       return text::SameNoCase(token.substr(0, 3), name);
                   }) != std::end(months)) {
            foundMonth = true;
            for (int k = 0; k < 12; ++k)
                if (text::SameNoCase(token.substr(0, 3), months[k]))
                    month = k + 1;
        } else if (int y; !foundYear && (y = LeadingNumber(token, 2, 4, used)) >= 0) {
            foundYear = true;
            year = y;
        }
    }
    if (!foundTime || !foundDay || !foundMonth || !foundYear)
        return std::nullopt;
    if (year >= 70 && year <= 99)
        year += 1900;
    else if (year >= 0 && year <= 69)
        year += 2000;
    if (day < 1 || day > 31 || year < 1601 || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;
    if (day > DaysInMonth(year, month))
        return std::nullopt;
    return DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 + hour * 3600 +
           minute * 60 + second;
}

bool IsIpAddressHost(const std::string& host)
{
    int parts = 0;
    std::size_t i = 0;
    while (i <= host.size()) {
        std::size_t n = 0;
        while (i + n < host.size() && IsDigit(host[i + n]))
            ++n;
        if (n == 0 || n > 3 || std::stoi(host.substr(i, n)) > 255)
            return false;
        ++parts;
        i += n;
        if (i == host.size())
            break;
        if (host[i] != '.')
            return false;
        ++i;
    }
    return parts == 4;
}

bool CookieDomainMatch(const std::string& domainString, const std::string& domain)
{
    if (domainString == domain)
        return true;
    if (domain.empty() || domainString.size() <= domain.size() + 1)
        return false;
    return domainString.compare(domainString.size() - domain.size(), domain.size(), domain) == 0 &&
           domainString[domainString.size() - domain.size() - 1] == '.' && !IsIpAddressHost(domainString);
}

bool CookiePathMatch(const std::string& requestPath, const std::string& cookiePath)
{
    if (requestPath == cookiePath)
        return true;
    if (cookiePath.empty() || requestPath.compare(0, cookiePath.size(), cookiePath) != 0)
        return false;
    return cookiePath.back() == '/' || requestPath[cookiePath.size()] == '/';
}

std::string CookieDefaultPath(const std::string& requestPath)
{
    if (requestPath.empty() || requestPath[0] != '/')
        return "/";
    const std::size_t last = requestPath.rfind('/');
    return last == 0 ? std::string("/") : requestPath.substr(0, last);
}

TCookieJar::TCookieJar() : FNow([] { return static_cast<std::int64_t>(std::time(nullptr)); }) {}

bool TCookieJar::SetCookie(const std::string& setCookie, const std::string& requestUrl, std::string* why)
{
    auto refuse = [why](const std::string& reason) {
        if (why)
            *why = reason;
        return false;
    };
    const TRequestParts request = SplitRequest(requestUrl);
    if (!request.Ok)
        return refuse("the answer's address has no host");

    const std::size_t semicolon = setCookie.find(';');
    const std::string pair = setCookie.substr(0, semicolon);
    const std::size_t eq = pair.find('=');
    if (eq == std::string::npos)
        return refuse("no name=value");
    TCookie c;
    c.Name = text::TrimBlanks(pair.substr(0, eq));
    c.Value = text::TrimBlanks(pair.substr(eq + 1));
    if (c.Name.empty())
        return refuse("no name");
    if (HasControlByte(c.Name) || HasControlByte(c.Value))
        return refuse("cookie " + c.Name + " holds a control character");
    if (c.Name.size() + c.Value.size() > MaxCookieBytes)
        return refuse("cookie " + c.Name + " is larger than " + std::to_string(MaxCookieBytes) + " bytes");

    const std::int64_t now = FNow();
    std::optional<std::int64_t> maxAgeExpiry;
    std::optional<std::int64_t> expires;
    std::optional<std::string> domainAttr;
    std::string path;
    // The last of each attribute counts; Max-Age wins over Expires wherever it stands.
    std::size_t at = semicolon;
    while (at != std::string::npos) {
        const std::size_t next = setCookie.find(';', at + 1);
        const std::string av = setCookie.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
        at = next;
        const std::size_t e = av.find('=');
        const std::string name = text::Lower(text::TrimBlanks(av.substr(0, e)));
        const std::string value = e == std::string::npos ? std::string() : text::TrimBlanks(av.substr(e + 1));
        if (name == "expires") {
            if (const auto date = ParseCookieDate(value))
                expires = *date;
        } else if (name == "max-age") {
            if (value.empty() || !(IsDigit(value[0]) || value[0] == '-'))
                continue;
            const bool negative = value[0] == '-';
            const std::string digits = negative ? value.substr(1) : value;
            if (digits.empty() || !std::all_of(digits.begin(), digits.end(), IsDigit))
                continue;
            // Too many digits for a number is a time beyond any date.
            const std::int64_t delta =
                digits.size() > 12 ? kLatest : std::min<std::int64_t>(std::stoll(digits), kLatest - now);
            maxAgeExpiry = negative || delta <= 0 ? kEarliest : now + delta;
        } else if (name == "domain") {
            if (value.empty())
                continue;
            std::string d = value[0] == '.' ? value.substr(1) : value;
            domainAttr = text::Lower(d);
        } else if (name == "path") {
            path = value.empty() || value[0] != '/' ? std::string() : value;
        } else if (name == "secure") {
            c.Secure = true;
        } else if (name == "httponly") {
            c.HttpOnly = true;
        }
    }

    if (maxAgeExpiry) {
        c.Persistent = true;
        c.Expiry = *maxAgeExpiry;
    } else if (expires) {
        c.Persistent = true;
        c.Expiry = *expires;
    }

    std::string domain = domainAttr.value_or(std::string());
    if (!domain.empty() && IsSingleLabel(domain)) {
        // A single label is a top-level domain or a name of the local network: nobody may set
        // a cookie for everything below it, only for itself.
        if (domain == request.Host)
            domain.clear();
        else
            return refuse("cookie " + c.Name + " names the domain " + domain + ", which is a whole top-level domain");
    }
    if (!domain.empty()) {
        if (!CookieDomainMatch(request.Host, domain))
            return refuse("cookie " + c.Name + " names the domain " + domain + ", not one of " + request.Host);
        if (IsIpAddressHost(request.Host)) {
            c.HostOnly = true;
            c.Domain = request.Host;
        } else {
            c.HostOnly = false;
            c.Domain = domain;
        }
    } else {
        c.HostOnly = true;
        c.Domain = request.Host;
    }
    c.Path = path.empty() ? CookieDefaultPath(request.Path) : path;
    if (HasControlByte(c.Path))
        return refuse("cookie " + c.Name + " has a path with a control character");
    // An answer that anyone on the way could have written must not set what only https reads.
    if (c.Secure && request.Scheme != "https")
        return refuse("cookie " + c.Name + " is Secure but came over " + request.Scheme);
    Store(std::move(c), now);
    return true;
}

bool TCookieJar::Add(TCookie c)
{
    c.Domain = text::Lower(c.Domain);
    if (!c.Domain.empty() && c.Domain[0] == '.')
        c.Domain.erase(0, 1);
    if (c.Domain.empty() || c.Name.empty() || c.Path.empty() || c.Path[0] != '/')
        return false;
    if (HasControlByte(c.Name) || HasControlByte(c.Value) || HasControlByte(c.Domain) || HasControlByte(c.Path) ||
        c.Name.find('=') != std::string::npos || c.Name.find(';') != std::string::npos ||
        c.Value.find(';') != std::string::npos || c.Name.size() + c.Value.size() > MaxCookieBytes)
        return false;
    if (IsIpAddressHost(c.Domain))
        c.HostOnly = true;
    if (!c.HostOnly && IsSingleLabel(c.Domain))
        return false;
    const std::int64_t now = FNow();
    if (c.Persistent && c.Expiry <= now)
        return false;
    Store(std::move(c), now);
    return true;
}

void TCookieJar::Store(TCookie c, std::int64_t now)
{
    c.Creation = ++FSequence;
    c.LastAccess = c.Creation;
    auto same = std::find_if(FCookies.begin(), FCookies.end(), [&](const TCookie& o) {
        return o.Name == c.Name && o.Domain == c.Domain && o.Path == c.Path;
    });
    if (same != FCookies.end()) {
        c.Creation = same->Creation;
        FCookies.erase(same);
    }
    // An expired cookie is how a server deletes one: it removes its namesake and stays out.
    if (c.Persistent && c.Expiry <= now)
        return;
    FCookies.push_back(std::move(c));
    RemoveExpired(now);
    Evict();
}

void TCookieJar::RemoveExpired(std::int64_t now)
{
    FCookies.erase(std::remove_if(FCookies.begin(), FCookies.end(),
                                  [now](const TCookie& c) { return c.Persistent && c.Expiry <= now; }),
                   FCookies.end());
}

void TCookieJar::Evict()
{
    auto leastUsed = [this](auto pick) {
        auto victim = FCookies.end();
        for (auto it = FCookies.begin(); it != FCookies.end(); ++it)
            if (pick(*it) && (victim == FCookies.end() || it->LastAccess < victim->LastAccess))
                victim = it;
        return victim;
    };
    if (!FCookies.empty()) {
        const std::string domain = FCookies.back().Domain;
        auto ofDomain = [&domain](const TCookie& c) { return c.Domain == domain; };
        while (static_cast<std::size_t>(std::count_if(FCookies.begin(), FCookies.end(), ofDomain)) > MaxPerDomain)
            FCookies.erase(leastUsed(ofDomain));
    }
    while (FCookies.size() > MaxCookies)
        FCookies.erase(leastUsed([](const TCookie&) { return true; }));
}

std::string TCookieJar::CookieHeader(const std::string& url)
{
    const TRequestParts request = SplitRequest(url);
    if (!request.Ok || FCookies.empty())
        return std::string();
    RemoveExpired(FNow());
    std::string path = request.Path;
    if (const std::size_t q = path.find('?'); q != std::string::npos)
        path.resize(q);
    std::vector<TCookie*> chosen;
    for (TCookie& c : FCookies) {
        const bool hostFits = c.HostOnly ? request.Host == c.Domain : CookieDomainMatch(request.Host, c.Domain);
        if (!hostFits || !CookiePathMatch(path, c.Path))
            continue;
        if (c.Secure && request.Scheme != "https")
            continue;
        chosen.push_back(&c);
    }
    std::stable_sort(chosen.begin(), chosen.end(), [](const TCookie* a, const TCookie* b) {
        if (a->Path.size() != b->Path.size())
            return a->Path.size() > b->Path.size();
        return a->Creation < b->Creation;
    });
    std::string header;
    for (TCookie* c : chosen) {
        c->LastAccess = ++FSequence;
        if (!header.empty())
            header += "; ";
        header += c->Name + "=" + c->Value;
    }
    return header;
}

// ---- cookies.txt ------------------------------------------------------------------------------

TCookieFileRead ParseCookieFile(const std::string& text, TCookieJar& jar)
{
    TCookieFileRead r;
    r.Ok = true;
    int lineNo = 0;
    std::size_t at = 0;
    auto skip = [&r, &lineNo] {
        ++r.Skipped;
        if (r.FirstSkippedLine == 0)
            r.FirstSkippedLine = lineNo;
    };
    while (at < text.size()) {
        ++lineNo;
        std::size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        bool httpOnly = false;
        if (text::StartsWithNoCase(line, "#HttpOnly_")) {
            httpOnly = true;
            line.erase(0, 10);
        } else if (text::TrimBlanks(line).empty() || line[0] == '#') {
            continue;
        }
        std::vector<std::string> fields;
        std::size_t from = 0;
        for (;;) {
            const std::size_t tab = line.find('\t', from);
            fields.push_back(line.substr(from, tab == std::string::npos ? std::string::npos : tab - from));
            if (tab == std::string::npos)
                break;
            from = tab + 1;
        }
        if (fields.size() != 7) {
            skip();
            continue;
        }
        TCookie c;
        c.Domain = fields[0];
        const std::string sub = text::Upper(fields[1]);
        const std::string secure = text::Upper(fields[3]);
        if ((sub != "TRUE" && sub != "FALSE") || (secure != "TRUE" && secure != "FALSE") || fields[4].empty() ||
            !std::all_of(fields[4].begin(), fields[4].end(), IsDigit) || fields[4].size() > 15) {
            skip();
            continue;
        }
        c.HostOnly = sub == "FALSE";
        c.Path = fields[2];
        c.Secure = secure == "TRUE";
        const std::int64_t expiry = std::stoll(fields[4]);
        c.Persistent = expiry != 0;
        c.Expiry = expiry;
        c.Name = fields[5];
        c.Value = fields[6];
        c.HttpOnly = httpOnly;
        if (c.Persistent && c.Expiry <= jar.Now()) {
            ++r.Expired;
            continue;
        }
        if (jar.Add(std::move(c)))
            ++r.Loaded;
        else
            skip();
    }
    return r;
}

TCookieFileRead ReadCookieFile(const std::string& path, TCookieJar& jar)
{
    TCookieFileRead r;
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        r.Error = "cannot read " + path + ": it is a folder";
        return r;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        r.Error = "cannot read " + path + ": " + std::strerror(errno);
        return r;
    }
    constexpr std::size_t kMax = 16u << 20;
    std::string text(kMax + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad()) {
        r.Error = "cannot read " + path + ": " + std::strerror(errno);
        return r;
    }
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMax) {
        r.Error = path + " is larger than 16 MiB: no cookies file";
        return r;
    }
    return ParseCookieFile(text, jar);
}

} // namespace cw
