#include "engine/OutputNames.h"

#include "net/http/HttpUrl.h"
#include "platform/Files.h"

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

void RecordOrigin(const std::string& path, const std::string& address)
{
    SetFileOrigin(path, OriginAddress(address));
}

TOutputChoice ChooseOutputPath(const std::string& wanted, const std::string& address, int item,
                               TNameClaims& claims)
{
    const TNameClaims::THolder me{OriginAddress(address), item};
    std::string path = wanted;
    for (int n = 1; n <= kMostNumbered; ++n) {
        path = NumberedPath(wanted, n);
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

} // namespace cw
