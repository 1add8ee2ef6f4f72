#include "engine/core/MediaCheck.h"

#include <cctype>
#include <cstdint>

namespace cw {

bool LooksLikeMedia(std::string_view data)
{
    if (data.empty())
        return false; // an empty answer is no segment
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(data[i]); };
    if (byte(0) == 0x47)
        return data.size() < MediaCheckBytes || byte(188) == 0x47;
    if (data.substr(0, 3) == "ID3" || (data.size() > 1 && byte(0) == 0xFF && (byte(1) & 0xF6) == 0xF0))
        return true;
    // Matroska and WebM: the EBML header an initialization starts with, or a Cluster, which
    // is what a WebM segment of a DASH stream is.
    if (data.substr(0, 4) == "\x1A\x45\xDF\xA3" || data.substr(0, 4) == "\x1F\x43\xB6\x75")
        return true;
    if (data.size() < 8)
        return false;
    const std::uint32_t size =
        (std::uint32_t{byte(0)} << 24) | (std::uint32_t{byte(1)} << 16) | (std::uint32_t{byte(2)} << 8) | byte(3);
    // Only the boxes a fragment or an initialization section starts with: any four letters
    // would let a page of text through ("<htm" reads as a size, "l><h" as a type).
    static constexpr std::string_view kFirstBoxes[] = {"ftyp", "styp", "moov", "moof", "sidx",
                                                       "emsg", "prft", "free", "skip", "mdat"};
    const std::string_view type = data.substr(4, 4);
    bool known = false;
    for (std::string_view box : kFirstBoxes)
        known |= type == box;
    return known && (size == 1 || size >= 8);
}

bool LooksLikeWebPage(std::string_view head)
{
    if (head.substr(0, 3) == "\xEF\xBB\xBF")
        head.remove_prefix(3);
    while (!head.empty() && (head[0] == ' ' || head[0] == '\t' || head[0] == '\r' || head[0] == '\n'))
        head.remove_prefix(1);
    static constexpr std::string_view kStarts[] = {"<!doctype html", "<html", "<head", "<body"};
    for (std::string_view start : kStarts) {
        if (head.size() < start.size() + 1)
            continue;
        bool same = true;
        for (std::size_t i = 0; i < start.size() && same; ++i)
            same = static_cast<char>(std::tolower(static_cast<unsigned char>(head[i]))) == start[i];
        // "<header" or "<bodyguard.mp4" are no tags of a page.
        const char next = head[start.size()];
        if (same && (next == '>' || next == ' ' || next == '\t' || next == '\r' || next == '\n'))
            return true;
    }
    return false;
}

} // namespace cw
