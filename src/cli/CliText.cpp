#include "cli/CliText.h"

#include <cstdio>
#include <iterator>
#include <string_view>
#include <utility>

namespace cw {

TCodePoint DecodeAt(const std::string& text, std::size_t at)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char c = byte(at);
    if (c < 0x80)
        return {c, 1};
    const std::size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
    bool whole = n > 0 && at + n <= text.size();
    for (std::size_t k = 1; whole && k < n; ++k)
        whole = (byte(at + k) & 0xC0) == 0x80;
    if (whole && n == 3) // no overlong forms, no surrogates
        whole = !(c == 0xE0 && byte(at + 1) < 0xA0) && !(c == 0xED && byte(at + 1) >= 0xA0);
    else if (whole && n == 4) // no overlong forms, nothing past U+10FFFF
        whole = !(c == 0xF0 && byte(at + 1) < 0x90) && !(c == 0xF4 && byte(at + 1) >= 0x90);
    if (!whole)
        return {c, 1}; // Latin-1
    std::uint32_t v = c & (n == 2 ? 0x1F : n == 3 ? 0x0F : 0x07);
    for (std::size_t k = 1; k < n; ++k)
        v = (v << 6) | (byte(at + k) & 0x3F);
    return {v, n};
}

void AppendUtf8(std::string& out, std::uint32_t v)
{
    if (v < 0x80) {
        out += static_cast<char>(v);
    } else if (v < 0x800) {
        out += static_cast<char>(0xC0 | (v >> 6));
        out += static_cast<char>(0x80 | (v & 0x3F));
    } else if (v < 0x10000) {
        out += static_cast<char>(0xE0 | (v >> 12));
        out += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (v & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (v >> 18));
        out += static_cast<char>(0x80 | ((v >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (v & 0x3F));
    }
}

bool IsUnsafeCodePoint(std::uint32_t v)
{
    return v < 0x20 || (v >= 0x7F && v <= 0x9F) || (v >= 0x202A && v <= 0x202E) || (v >= 0x2066 && v <= 0x2069);
}

std::string MaskPasswords(const std::string& text)
{
    std::string out;
    std::size_t done = 0;
    for (std::size_t scheme = text.find("://"); scheme != std::string::npos; scheme = text.find("://", scheme + 3)) {
        // The authority ends where the path, query or fragment begins, or the address ends.
        const std::size_t start = scheme + 3;
        std::size_t end = text.find_first_of("/?#\"'<> \t\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        const std::size_t at = text.rfind('@', end == 0 ? 0 : end - 1);
        if (at == std::string::npos || at < start)
            continue;
        const std::size_t colon = text.find(':', start);
        if (colon == std::string::npos || colon + 1 >= at)
            continue;
        out.append(text, done, colon + 1 - done);
        out += "***";
        done = at;
        scheme = at;
    }
    out.append(text, done, std::string::npos);
    return out;
}

std::string TerminalSafe(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const TCodePoint cp = DecodeAt(text, i);
        if (cp.Value < 0x80 && !IsUnsafeCodePoint(cp.Value))
            out += text[i];
        else
            AppendUtf8(out, IsUnsafeCodePoint(cp.Value) ? 0xFFFD : cp.Value);
        i += cp.Length;
    }
    return out;
}

std::string Shown(const std::string& text)
{
    return TerminalSafe(MaskPasswords(text));
}

namespace {

// "Error while creating convert process!<code> (<why>)": the converter did not start.
std::string ConverterStartWords(const std::string& rest)
{
    std::string why;
    const std::size_t open = rest.find(" (");
    if (open != std::string::npos && rest.back() == ')')
        why = rest.substr(open + 2, rest.size() - open - 3);
    if (why.find(" was not found") != std::string::npos)
        return "ffmpeg was not found; install the ffmpeg package";
    return "ffmpeg could not be started" + (why.empty() ? std::string() : ": " + why);
}

} // namespace

std::string PlainFailure(const std::string& line)
{
    // Whole texts first: the boxes the window shows.
    static const std::pair<std::string_view, std::string_view> kWhole[] = {
        {"Unable get html from the url. Please try again later!", "cannot read the page; try again later"},
        {"Video file will be created may be used, convert process failed!",
         "cannot convert: the converted file is in use by another program"},
    };
    for (const auto& [window, ours] : kWhole)
        if (line == window)
            return std::string(ours);
    // Then the beginnings of the failure lines; the rest of a line (address, reason) stays.
    static const std::pair<std::string_view, std::string_view> kPrefix[] = {
        {"Unable download video from ", "cannot download "},
        {"Unable get html from ", "cannot download "},
        {"Unable to save ", "cannot save "},
        {"Convert process failed on ", "cannot convert "},
        {"Not a local file: ", "no such file: "},
    };
    std::string out = line;
    for (const auto& [window, ours] : kPrefix)
        if (out.starts_with(window)) {
            out = std::string(ours) + out.substr(window.size());
            break;
        }
    static const std::string_view kNoConverter = "Error while creating convert process!";
    if (const std::size_t at = out.find(kNoConverter); at != std::string::npos)
        out = out.substr(0, at) + ConverterStartWords(out.substr(at + kNoConverter.size()));
    return out;
}

std::string SizeText(std::int64_t bytes)
{
    if (bytes < 1024)
        return std::to_string(bytes < 0 ? 0 : bytes) + " B";
    static const char* const units[] = {"KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes) / 1024;
    std::size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

std::string DurationText(std::int64_t ms)
{
    if (ms < 0)
        ms = 0;
    if (ms < 60000) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000);
        return text;
    }
    const std::int64_t seconds = ms / 1000;
    if (seconds < 3600)
        return std::to_string(seconds / 60) + " min " + std::to_string(seconds % 60) + " s";
    return std::to_string(seconds / 3600) + " h " + std::to_string(seconds % 3600 / 60) + " min";
}

} // namespace cw
