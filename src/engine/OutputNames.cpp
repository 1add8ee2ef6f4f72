#include "engine/OutputNames.h"

#include "engine/RunModel.h"
#include "global/Global.h"
#include "net/http/HttpUrl.h"
#include "platform/Files.h"
#include "platform/MediaTypes.h"
#include "platform/Text.h"

#include <filesystem>
#include <system_error>

namespace cw {

namespace {
// Past this many numbered names something else is wrong; the last one is then shared as before.
constexpr int kMostNumbered = 999;
} // namespace

const TNameClaims::THolder* TNameClaims::Holder(const std::string& path) const
{
    const auto it = FHolders.find(path);
    return it == FHolders.end() ? nullptr : &it->second;
}

void TNameClaims::Claim(const std::string& path, const THolder& holder)
{
    FHolders[path] = holder;
}

std::string NumberedPath(const std::string& path, int n)
{
    if (n <= 1)
        return path;
    const std::size_t slash = path.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot <= nameStart)
        dot = path.size();
    return path.substr(0, dot) + " (" + std::to_string(n) + ")" + path.substr(dot);
}

std::string OriginAddress(const std::string& address)
{
    TUriReference parts = SplitReference(address);
    const std::size_t at = parts.Authority.rfind('@');
    if (at == std::string::npos)
        return address;
    parts.Authority.erase(0, at + 1);
    return JoinReference(parts);
}

namespace {

std::string QueryValue(const std::string& query, const std::string& name)
{
    std::size_t at = 0;
    while (at <= query.size()) {
        std::size_t end = query.find('&', at);
        if (end == std::string::npos)
            end = query.size();
        const std::string pair = query.substr(at, end - at);
        if (pair.compare(0, name.size() + 1, name + "=") == 0)
            return text::PercentDecoded(pair.substr(name.size() + 1));
        at = end + 1;
    }
    return std::string();
}

// The host of an address in lower case, without "www.".
std::string HostOf(const std::string& address)
{
    std::string host = text::Lower(ParseURL(address).Host);
    if (host.compare(0, 4, "www.") == 0)
        host.erase(0, 4);
    return host;
}

std::string SiteName(const std::string& address)
{
    switch (SiteOfAddress(address)) {
    case vsYoutube:
        return "youtube";
    case vsMetacafe:
        return "metacafe";
    case vsGoogleVideo:
        return "google";
    case vsNone:
        break;
    }
    return HostOf(address);
}

std::string VideoId(const std::string& address)
{
    const TUriReference parts = SplitReference(address);
    switch (SiteOfAddress(address)) {
    case vsYoutube:
        return QueryValue(parts.Query, "v");
    case vsGoogleVideo:
        return QueryValue(parts.Query, "docid");
    case vsMetacafe:
        if (const std::size_t watch = parts.Path.find("/watch/"); watch != std::string::npos) {
            const std::size_t from = watch + 7;
            return parts.Path.substr(from, parts.Path.find('/', from) - from);
        }
        break;
    case vsNone:
        break;
    }
    std::string name = AddressFileName(address);
    if (const std::size_t dot = name.rfind('.'); dot != std::string::npos && dot > 0)
        name.erase(dot);
    return name.empty() ? HostOf(address) : name;
}

} // namespace

std::string NameFromTemplate(const std::string& nameTemplate, const std::string& fileName, const std::string& address)
{
    const std::size_t dot = NameExtensionStart(fileName);
    const std::string title = fileName.substr(0, dot);
    const std::string ext = dot < fileName.size() ? fileName.substr(dot + 1) : std::string();
    std::string name;
    for (std::size_t i = 0; i < nameTemplate.size(); ++i) {
        const std::size_t close = nameTemplate[i] == '{' ? nameTemplate.find('}', i) : std::string::npos;
        if (close == std::string::npos) {
            name += nameTemplate[i];
            continue;
        }
        const std::string field = nameTemplate.substr(i + 1, close - i - 1);
        if (field == "title")
            name += title;
        else if (field == "ext")
            name += ext;
        else if (field == "site")
            name += SiteName(address);
        else if (field == "id")
            name += VideoId(address);
        else
            name += nameTemplate.substr(i, close - i + 1);
        i = close;
    }
    // "{title}.{ext}" of a file without an extension leaves a dot at the end.
    while (!name.empty() && name.back() == '.')
        name.pop_back();
    return CleanFileName(name);
}

void RecordOrigin(const std::string& path, const std::string& address)
{
    SetFileOrigin(path, OriginAddress(address));
}

namespace {

// Two paths that name one file (a link, a relative and an absolute path, the same text).
bool SameFile(const std::string& a, const std::string& b)
{
    if (a == b)
        return true;
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec) && !ec;
}

TOutputChoice Choose(const std::string& wanted, const std::string& address, int item, TNameClaims& claims,
                     const std::string& source)
{
    const TNameClaims::THolder me{OriginAddress(address), item};
    std::string path = wanted;
    for (int n = 1; n <= kMostNumbered; ++n) {
        path = NumberedPath(wanted, n);
        if (!source.empty() && SameFile(path, source))
            continue;
        const TNameClaims::THolder* holder = claims.Holder(path);
        if (holder && holder->Item == item)
            return {TOutputKind::Free, path};
        if (holder && holder->Origin != me.Origin)
            continue;
        if (holder)
            return {TOutputKind::Duplicate, path};
        if (FileExists(path)) {
            const std::string recorded = FileOrigin(path);
            if (recorded == me.Origin)
                return {TOutputKind::Saved, path};
            if (!recorded.empty())
                continue;
            claims.Claim(path, me);
            return {TOutputKind::Unknown, path};
        }
        claims.Claim(path, me);
        return {TOutputKind::Free, path};
    }
    return {TOutputKind::Unknown, path};
}

} // namespace

TOutputChoice ChooseOutputPath(const std::string& wanted, const std::string& address, int item, TNameClaims& claims)
{
    return Choose(wanted, address, item, claims, std::string());
}

TOutputChoice ChooseConvertedPath(const std::string& wanted, const std::string& source, const std::string& address,
                                  int item, TNameClaims& claims)
{
    return Choose(wanted, address, item, claims, source);
}

std::string SavedFrom(const std::string& wanted, const std::string& address, const std::string& notThis,
                      const TNameClaims& claims)
{
    const std::string origin = OriginAddress(address);
    for (int n = 1; n <= kMostNumbered; ++n) {
        const std::string path = NumberedPath(wanted, n);
        if (!notThis.empty() && SameFile(path, notThis))
            continue;
        if (FileExists(path)) {
            if (FileOrigin(path) == origin)
                return path;
        } else if (!claims.Holder(path)) {
            // Numbers are given from the lowest free one: no file of this address lies past a
            // name nobody holds (unless one before it was removed since).
            break;
        }
    }
    return std::string();
}

} // namespace cw
