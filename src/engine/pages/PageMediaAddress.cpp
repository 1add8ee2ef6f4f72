// References resolved as RFC 3986 says, and the checks an address from a page must pass before
// it may be requested.

#include "engine/pages/PageMediaParts.h"

#include "net/http/HttpUrl.h"

namespace cw::pagemedia {

// ---------------------------------------------------------------------------------------------
// Addresses


// The host of an authority, lower case, without user information and port.
std::string HostOfAuthority(string_view host)
{
    if (std::size_t at = host.rfind('@'); at != npos)
        host.remove_prefix(at + 1);
    if (!host.empty() && host.front() == '[') {
        std::size_t close = host.find(']');
        host = host.substr(0, close == npos ? host.size() : close + 1);
    } else if (std::size_t colon = host.find(':'); colon != npos) {
        host = host.substr(0, colon);
    }
    return text::Lower(std::string(host));
}

std::string HostOf(const std::string& address)
{
    return HostOfAuthority(SplitUri(address).Authority);
}

bool IsWebScheme(const UriParts& u)
{
    return u.HasScheme && (u.Scheme == "http" || u.Scheme == "https");
}

// A decoded address made ready to request: resolved, checked, fragment cut, and the bytes a
// request line cannot carry as they are escaped. "" when it is no address to fetch.
std::string FinishAddress(const std::string& decoded, const std::string& base)
{
    if (decoded.empty() || decoded.size() > kMaxAddressBytes)
        return "";
    for (char c : decoded)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return "";
    UriParts u = SplitUri(ResolveAddress(base, decoded));
    if (!IsWebScheme(u) || !u.HasAuthority || HostOfAuthority(u.Authority).empty() ||
        u.Authority.find_first_of(" \"<>\\^`{|}") != npos)
        return "";
    u.HasFragment = false;
    u.Fragment.clear();
    // A reference without a path takes the base's path as it stands, dot segments included.
    u.Path = RemoveDotSegments(u.Path);
    if (u.Path.empty())
        u.Path = "/";
    auto escape = [](std::string& part) {
        static const char kHex[] = "0123456789ABCDEF";
        std::string out;
        for (char c : part) {
            const unsigned char b = static_cast<unsigned char>(c);
            if (b >= 0x80 || c == ' ' || c == '"' || c == '<' || c == '>' || c == '`') {
                out += '%';
                out += kHex[b >> 4];
                out += kHex[b & 15];
            } else {
                out += c;
            }
        }
        part = std::move(out);
    };
    escape(u.Path);
    escape(u.Query);
    return JoinUri(u);
}

// The lower-case extension of an address's last path segment, with its dot, or "".
std::string PathExtension(const std::string& address)
{
    const std::string path = SplitUri(address).Path;
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    if (dot == npos || (slash != npos && dot < slash) || path.size() - dot > 6)
        return "";
    return text::Lower(path.substr(dot));
}

// "HLS", "DASH" or nullptr, by the declared type, else by the address's extension.
const char* StreamKind(const std::string& type, const std::string& address)
{
    if (type == "application/vnd.apple.mpegurl" || type == "application/x-mpegurl" || type == "audio/mpegurl" ||
        type == "audio/x-mpegurl")
        return "HLS";
    if (type == "application/dash+xml")
        return "DASH";
    const std::string ext = PathExtension(address);
    if (ext == ".m3u8")
        return "HLS";
    if (ext == ".mpd")
        return "DASH";
    return nullptr;
}

bool IsPlayerType(const std::string& type)
{
    return type == "text/html" || type == "application/x-shockwave-flash";
}

} // namespace cw::pagemedia
