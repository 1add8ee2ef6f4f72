#include "engine/DownloadText.h"

#include "platform/Text.h"

#include <algorithm>
#include <clocale>
#include <cstdio>

namespace cw {

std::string GroupedCount(std::int64_t n)
{
    std::string digits = std::to_string(n < 0 ? 0 : n);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return out;
}

std::string SecondsText(int ms)
{
    return std::to_string((ms + 999) / 1000) + " s";
}

std::string KilobytesText(std::int64_t bytes)
{
    return FormatKilobytes(bytes) + " KB";
}

std::string ReceivedText(std::int64_t rcvdCount, const std::string& totalSizeText)
{
    return KilobytesText(rcvdCount) + " of " + totalSizeText + " " + "received";
}

std::optional<std::int64_t> FindContentLength(const std::vector<std::string>& header)
{
    static const std::string kMarker = "Content-Length:";
    for (const std::string& line : header) {
        if (line.compare(0, kMarker.size(), kMarker) != 0)
            continue;
        // Only the first such line counts, whatever it holds.
        std::size_t begin = kMarker.size();
        while (begin < line.size() && (line[begin] == ' ' || line[begin] == '\t'))
            ++begin;
        std::size_t end = line.size();
        while (end > begin && (line[end - 1] == ' ' || line[end - 1] == '\t' || line[end - 1] == '\r'))
            --end;
        if (begin == end || end - begin > 18)
            return std::nullopt;
        std::int64_t value = 0;
        for (std::size_t i = begin; i < end; ++i) {
            if (line[i] < '0' || line[i] > '9')
                return std::nullopt;
            value = value * 10 + (line[i] - '0');
        }
        return value;
    }
    return std::nullopt;
}

char LocaleDecimalSeparator()
{
    const std::lconv* lc = std::localeconv();
    if (lc && lc->decimal_point && lc->decimal_point[0])
        return lc->decimal_point[0];
    return '.';
}

std::string SpeedText(double kilobytesPerSecond, char decimalSeparator)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f", kilobytesPerSecond);
    std::string text = buf;
    // snprintf follows the C locale of the moment; put in the separator asked for.
    for (char& c : text)
        if (c == '.' || c == ',')
            c = decimalSeparator;
    return text + " KB/S";
}

std::string ClockText(std::int64_t seconds)
{
    if (seconds < 0)
        seconds = 0;
    if (seconds > kClockCeilingSeconds)
        seconds = kClockCeilingSeconds;
    const std::int64_t hours = seconds / 3600;
    const int minutes = static_cast<int>((seconds % 3600) / 60);
    const int secs = static_cast<int>(seconds % 60);
    std::string h = hours < 10 ? "0" + std::to_string(hours) : std::to_string(hours);
    return h + ":" + TwoDigitText(minutes) + ":" + TwoDigitText(secs);
}

std::optional<RateTexts> RateUpdate(std::int64_t maximum, std::int64_t rcvdCount, std::int64_t rateCount,
                                    std::uint32_t elapsedMs, char decimalSeparator)
{
    // The sizes come from the server: a Content-Length of 18 digits is accepted, and its
    // product with a time no longer fits 64 bits. 128 bits hold every product of a 64-bit
    // count and a 32-bit time; the result is capped before it narrows again.
    using Wide = __int128;
    const Wide delta = static_cast<Wide>(rcvdCount) - rateCount;
    if (elapsedMs == 0 || delta <= 0)
        return std::nullopt;
    RateTexts texts;
    const double speed = static_cast<double>(delta) / (static_cast<double>(elapsedMs) / 1000.0) / 1024.0;
    texts.Speed = SpeedText(speed, decimalSeparator);
    const Wide left = static_cast<Wide>(maximum) - rcvdCount;
    const Wide remaining = left <= 0 ? 0 : left * elapsedMs / (delta * 1000);
    texts.Remaining = ClockText(static_cast<std::int64_t>(std::min<Wide>(remaining, kClockCeilingSeconds)));
    return texts;
}

std::string IncludeTrailingPathDelimiter(const std::string& folder)
{
    if (!folder.empty() && folder.back() == '/')
        return folder;
    return folder + "/";
}

std::string ExtractFileName(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ChangeFileExt(const std::string& path, const std::string& ext)
{
    const std::size_t slash = path.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot < nameStart)
        return path + ext;
    return path.substr(0, dot) + ext;
}

std::string TransferOutputPath(const std::string& folder, const std::string& fileName, int quality)
{
    std::string name = CleanFileName(fileName);
    // The new extension may lengthen the name (".mp4" after a name without one): cleaned
    // again, it is cut back to a length the file system takes.
    if (quality > vqNormal)
        name = CleanFileName(ChangeFileExt(name, ".mp4"));
    return IncludeTrailingPathDelimiter(folder) + name;
}

std::string QualityAddress(const std::string& downloadUrl, int quality, bool hdAvailable)
{
    switch (quality) {
    case vqHQ:
        return downloadUrl + "&fmt=18";
    case vqHD:
    case vqBestAvailable:
        return downloadUrl + (hdAvailable ? "&fmt=22" : "&fmt=18");
    default:
        return downloadUrl;
    }
}

namespace {

// The byte a reference at text[at] (which holds '&') stands for, and its length; 0 when there
// is no reference there that decodes to printable ASCII.
char DecodeReferenceAt(const std::string& text, std::size_t at, std::size_t& length)
{
    static const struct {
        const char* Name;
        char Value;
    } kNamed[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    for (const auto& named : kNamed) {
        const std::string name = named.Name;
        if (text.compare(at, name.size(), name) == 0) {
            length = name.size();
            return named.Value;
        }
    }
    if (at + 3 >= text.size() || text[at + 1] != '#')
        return 0;
    std::size_t i = at + 2;
    const bool hex = text[i] == 'x' || text[i] == 'X';
    if (hex)
        ++i;
    long value = 0;
    std::size_t digits = 0;
    for (; i < text.size() && digits < 8; ++i, ++digits) {
        const char c = text[i];
        const int d = hex ? text::HexDigitValue(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (d < 0)
            break;
        value = value * (hex ? 16 : 10) + d;
    }
    if (digits == 0 || i >= text.size() || text[i] != ';' || value < 32 || value > 126)
        return 0;
    length = i + 1 - at;
    return static_cast<char>(value);
}

} // namespace

std::string DecodeCharacterReferences(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = 0;
        const char c = text[i] == '&' ? DecodeReferenceAt(text, i, length) : 0;
        if (c) {
            out += c;
            i += length;
        } else {
            out += text[i++];
        }
    }
    return out;
}

std::string RunCaption(const std::string& title, int itemIndex, int count)
{
    return title + " (" + std::to_string(itemIndex + 1) + "/" + std::to_string(count) + ")";
}

} // namespace cw
