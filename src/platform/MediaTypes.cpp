#include "platform/MediaTypes.h"

#include "platform/Text.h"

namespace cw {
namespace {

// ISO-8859-1 bytes as UTF-8.
std::string Latin1ToUtf8(const std::string& s)
{
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string LastSegment(const std::string& path)
{
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The parameters of a Content-Disposition value, as name (lower case) and raw value (a quoted
// string unquoted).
template <class F> void ForEachParameter(const std::string& value, F&& f)
{
    std::size_t i = value.find(';');
    while (i != std::string::npos && i < value.size()) {
        ++i;
        const std::size_t eq = value.find('=', i);
        if (eq == std::string::npos)
            return;
        const std::string name = text::Lower(text::TrimBlanks(value.substr(i, eq - i)));
        std::size_t j = eq + 1;
        while (j < value.size() && (value[j] == ' ' || value[j] == '\t'))
            ++j;
        std::string v;
        if (j < value.size() && value[j] == '"') {
            for (++j; j < value.size() && value[j] != '"'; ++j) {
                if (value[j] == '\\' && j + 1 < value.size())
                    ++j;
                v += value[j];
            }
            i = value.find(';', j);
        } else {
            const std::size_t end = value.find(';', j);
            v = text::TrimBlanks(value.substr(j, end == std::string::npos ? std::string::npos : end - j));
            i = end;
        }
        f(name, v);
    }
}

} // namespace


std::string MediaExtensionOf(const std::string& address)
{
    static const char* const kExtensions[] = {".mp4", ".m4v", ".webm", ".mkv",  ".mov", ".flv",
                                              ".ogv", ".mp3", ".m4a",  ".ogg", ".opus"};
    const std::size_t scheme = address.find("://");
    const std::size_t pathAt = address.find('/', scheme == std::string::npos ? 0 : scheme + 3);
    if (pathAt == std::string::npos)
        return std::string();
    const std::size_t end = address.find_first_of("?#", pathAt);
    const std::string path = address.substr(pathAt, end == std::string::npos ? std::string::npos : end - pathAt);
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos)
        return std::string();
    const std::string ext = text::Lower(path.substr(dot));
    for (const char* known : kExtensions)
        if (ext == known)
            return ext;
    return std::string();
}

std::string DispositionFileName(const std::string& value)
{
    std::string plain;
    std::string extended;
    ForEachParameter(value, [&](const std::string& name, const std::string& v) {
        if (name == "filename*" && extended.empty()) {
            const std::size_t q1 = v.find('\'');
            const std::size_t q2 = q1 == std::string::npos ? std::string::npos : v.find('\'', q1 + 1);
            if (q2 == std::string::npos)
                return;
            const std::string charset = text::Lower(v.substr(0, q1));
            const std::string decoded = text::PercentDecoded(v.substr(q2 + 1));
            if (charset == "utf-8")
                extended = decoded;
            else if (charset == "iso-8859-1")
                extended = Latin1ToUtf8(decoded);
        } else if (name == "filename" && plain.empty()) {
            plain = v;
        }
    });
    return LastSegment(extended.empty() ? plain : extended);
}

std::string AddressFileName(const std::string& address)
{
    const std::size_t scheme = address.find("://");
    const std::size_t pathAt = address.find('/', scheme == std::string::npos ? 0 : scheme + 3);
    if (pathAt == std::string::npos)
        return std::string();
    const std::size_t end = address.find_first_of("?#", pathAt);
    return text::PercentDecoded(LastSegment(address.substr(pathAt, end == std::string::npos ? std::string::npos : end - pathAt)));
}

bool IsMediaType(const std::string& contentType, const std::string& address, const std::string& disposition)
{
    const std::string type = text::Lower(text::TrimBlanks(contentType.substr(0, contentType.find(';'))));
    static const char* const kReadAsText[] = {"application/xhtml+xml", "application/vnd.apple.mpegurl",
                                              "application/x-mpegurl", "audio/mpegurl",
                                              "audio/x-mpegurl",       "application/dash+xml"};
    // Without a type the answer may be a page; text of any kind is read (playlists are often
    // served as text/plain).
    if (type.empty() || text::StartsWithNoCase(type, "text/"))
        return false;
    for (const char* t : kReadAsText)
        if (type == t)
            return false;
    // A playlist or manifest under a binary type is still one; its name says so.
    std::string name = DispositionFileName(disposition);
    if (name.empty())
        name = AddressFileName(address);
    return !text::EndsWithNoCase(name, ".m3u8") && !text::EndsWithNoCase(name, ".m3u") &&
           !text::EndsWithNoCase(name, ".mpd");
}

} // namespace cw
