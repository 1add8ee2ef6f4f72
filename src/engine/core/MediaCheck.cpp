#include "engine/core/MediaCheck.h"

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

} // namespace cw
