#include "global/Global.h"

#include "platform/Utf8.h"

#include "platform/Files.h"
#include "platform/Shell.h"
#include "platform/Streams.h"
#include "platform/SystemProxy.h"
#include "platform/MediaTypes.h"
#include "platform/Text.h"

#include <cstdint>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

namespace cw {

using text::ContainsNoCase;
using text::PosNoCase;
using text::StartsWithNoCase;

const char* const ProductTitle = "Ostrelle Clipwarden";
const char* const ProductVersion = "1.2";

const char* const YoutubeDomain = "youtube.com";
const char* const MetacafeDomain = "metacafe.com";
const char* const GoogleDomain = "video.google.com";
const char* const VideoCacheHost = "vp.video.l.google.com";
const char* const YoutubeWatchPrefix = "http://www.youtube.com/watch?v=";

namespace {

constexpr auto npos = std::string::npos;

} // namespace

bool IsVideoAddress(const std::string& text)
{
    if (ContainsNoCase(text, YoutubeDomain))
        return ContainsNoCase(text, "watch");
    if (ContainsNoCase(text, MetacafeDomain))
        return ContainsNoCase(text, "watch");
    return ContainsNoCase(text, GoogleDomain);
}

bool IsWebAddress(const std::string& text)
{
    std::size_t hostAt = 0;
    if (StartsWithNoCase(text, "http://"))
        hostAt = 7;
    else if (StartsWithNoCase(text, "https://"))
        hostAt = 8;
    else
        return false;
    for (unsigned char c : text)
        if (c <= 32 || c == 127)
            return false;
    const std::size_t hostEnd = text.find_first_of("/?#", hostAt);
    std::string host = text.substr(hostAt, hostEnd == npos ? npos : hostEnd - hostAt);
    if (const std::size_t at = host.rfind('@'); at != npos)
        host = host.substr(at + 1);
    if (const std::size_t colon = host.rfind(':'); colon != npos && host.find(']') == npos)
        host = host.substr(0, colon);
    return !host.empty();
}

bool IsMediaFileAddress(const std::string& text)
{
    return IsWebAddress(text) && !MediaExtensionOf(text).empty();
}

namespace {

// A playlist address ("/watch_videos?video_ids=a%2Cb%2Cc&index=1") names its videos in one
// list; the watch address is built for the one the index selects.
std::string PlaylistVideoId(const std::string& address)
{
    static const std::string kIds = "video_ids=";
    static const std::string kIndex = "index=";
    static const std::string kSeparator = "%2C";

    std::size_t idsAt = PosNoCase(address, kIds);
    std::size_t indexAt = PosNoCase(address, kIndex);
    if (indexAt != npos) {
        std::size_t start = indexAt + kIndex.size();
        std::size_t amp = address.find('&', start);
        int index = text::ToIntDef(address.substr(start, amp == npos ? npos : amp - start), 0);

        std::string list = idsAt == npos ? std::string() : address.substr(idsAt + kIds.size());
        std::size_t entry = 0;
        for (int skipped = 0; skipped < index; ++skipped) {
            std::size_t sep = PosNoCase(list, kSeparator, entry);
            if (sep == npos)
                break; // fewer entries than the index: the last one reached
            entry = sep + kSeparator.size();
        }
        std::size_t end = PosNoCase(list, kSeparator, entry);
        if (end == npos)
            end = list.find('&', entry);
        return list.substr(entry, end == npos ? npos : end - entry);
    }
    if (idsAt != npos) {
        std::string rest = address.substr(idsAt + kIds.size());
        std::size_t sep = rest.find(kSeparator); // exactly "%2C" here
        return sep == npos ? rest : rest.substr(0, sep);
    }
    return std::string();
}

} // namespace

std::string NormalizeVideoAddress(const std::string& address)
{
    if (!ContainsNoCase(address, YoutubeDomain))
        return address;
    if (ContainsNoCase(address, "watch?v="))
        return address;

    const std::string domain = YoutubeDomain;
    if (ContainsNoCase(address, domain + "/watch_videos"))
        return YoutubeWatchPrefix + PlaylistVideoId(address);

    std::size_t watchAt = PosNoCase(address, domain + "/watch");
    if (watchAt != npos) {
        // The identifier stands somewhere after "/watch" (after a fragment or other
        // parameters): move it into the query.
        std::size_t v = PosNoCase(address, "v=");
        if (v == npos)
            return address;
        std::size_t watchEnd = watchAt + domain.size() + 6;
        return address.substr(0, watchEnd) + "?" + address.substr(v);
    }
    return address;
}

namespace {

bool IsUtf8Continuation(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

} // namespace

std::size_t NameExtensionStart(const std::string& name)
{
    constexpr std::size_t kLongestExtension = 5; // with its dot
    std::size_t dot = name.rfind('.');
    if (dot == npos || dot + 1 == name.size() || name.size() - dot > kLongestExtension || name.find(' ', dot) != npos)
        return name.size();
    return dot;
}

std::string CleanFileName(const std::string& text)
{
    std::string r;
    r.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const TCodePoint cp = DecodeAt(text, at);
        at += cp.Length;
        if (IsUnsafeCodePoint(cp.Value))
            continue;
        switch (cp.Value) {
        case '/':
        case '\\':
        case '|':
        case '<':
        case '>':
            r += '-';
            break;
        case ':':
            // "Part 1: Intro" reads "Part 1 - Intro"; "12:30" reads "12-30".
            r += !r.empty() && r.back() != ' ' && at < text.size() && text[at] == ' ' ? " -" : "-";
            break;
        case '?':
        case '*':
            break;
        default:
            AppendUtf8(r, cp.Value);
        }
    }

    const std::size_t extAt = NameExtensionStart(r);
    std::string ext = r.substr(extAt);
    std::string stem = r.substr(0, extAt);
    // A leading dot would hide the file, a leading dash reads as an option to every command
    // given the name, and leading blanks hide where the name starts.
    stem.erase(0, std::min(stem.size(), stem.find_first_not_of(". -")));
    if (stem.size() + ext.size() > MaxCleanFileNameBytes) {
        std::size_t cut = MaxCleanFileNameBytes - ext.size();
        // Back to the start of the character the cut would split; a few bytes at most.
        std::size_t back = cut;
        while (back > 0 && cut - back < 4 && IsUtf8Continuation(stem[back]))
            --back;
        if (back > 0 && !IsUtf8Continuation(stem[back]))
            cut = back;
        stem.resize(cut);
    }
    if (stem.find_first_not_of(". -") == npos)
        stem = "video";
    return stem + ext;
}

bool IsFileInUse(const std::string& path)
{
    if (!FileExists(path))
        return false;
    // Opened for reading and writing and locked the way an exclusive TFileStream locks: if
    // either fails, someone else has the file.
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return true;
    bool inUse = !TryLockExclusive(fd);
    ::close(fd); // also drops the lock if we took it
    return inUse;
}

std::string TwoDigitText(int n)
{
    // Minutes and seconds: "05", "12", "123". Only 0..9 get the leading zero; a negative
    // number is written as it is rather than as "0-5".
    if (n >= 0 && n < 10)
        return "0" + std::to_string(n);
    return std::to_string(n);
}

bool IsProxyEnabled()
{
    return SystemProxy::IsEnabled();
}

std::string GetSystemProxy()
{
    return SystemProxy::ProxyListText();
}

void GetProxyForProtocol(const std::string& protocol, std::string& host, int& port)
{
    ProxyFromList(GetSystemProxy(), protocol, host, port);
}

void ProxyFromList(const std::string& list, const std::string& protocol, std::string& host, int& port)
{
    host.clear();
    port = 0;
    std::string s = list;
    if (s.empty())
        return;
    // Either one "host:port" for every protocol, or "ftp=h:p;http=h:p;https=h:p".
    std::size_t at = s.find(protocol + "=");
    if (at != npos) {
        s.erase(0, at + protocol.size() + 1);
        std::size_t semi = s.find(';');
        if (semi != npos)
            s.erase(semi);
    }
    std::size_t colon = s.find(':');
    if (colon == npos)
        return;
    port = text::ToIntDef(s.substr(colon + 1), 0);
    host = s.substr(0, colon);
}

std::string FormatKilobytes(std::int64_t bytes)
{
    // Work on the magnitude so that the most negative value cannot overflow.
    const bool negative = bytes < 0;
    std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(bytes) : static_cast<std::uint64_t>(bytes);
    std::uint64_t kilobytes = magnitude / 1024 + (magnitude % 1024 != 0 ? 1 : 0);

    std::string digits = std::to_string(kilobytes);
    std::string r;
    r.reserve(digits.size() + digits.size() / 3 + 1);
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i != 0 && (digits.size() - i) % 3 == 0)
            r += ',';
        r += digits[i];
    }
    return negative ? "-" + r : r;
}

bool BrowseForFolder(const std::string& title, const std::string& root, std::string& folder)
{
    (void)root; // the chooser opens at the desktop's usual place
    if (!DirectoryExists(folder))
        folder.clear();
    std::optional<std::string> chosen = Shell::ChooseFolder(title);
    if (!chosen)
        return false;
    folder = *chosen;
    return true;
}

} // namespace cw
