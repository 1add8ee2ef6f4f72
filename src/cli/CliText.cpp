#include "cli/CliText.h"

#include <cstdio>
#include <iterator>
#include <string_view>
#include <utility>

namespace cw {

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

std::string FailureText(const TItemFailure& failure, const std::string& item, const std::string& windowLine)
{
    if (failure.Stage != "page" && failure.Stage != "download")
        return PlainFailure(windowLine);
    return (failure.Kind == fkSave ? "cannot save " : "cannot download ") + item +
           (failure.Words.empty() ? std::string() : ": " + failure.Words);
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
