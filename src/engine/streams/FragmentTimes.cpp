#include "engine/streams/FragmentTimes.h"

#include <cmath>
#include <vector>

namespace cw {

namespace {

std::uint64_t BigEndian(std::string_view b, std::size_t at, int bytes)
{
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = v << 8 | static_cast<unsigned char>(b[at + static_cast<std::size_t>(i)]);
    return v;
}

void PutBigEndian(std::string& b, std::size_t at, int bytes, std::uint64_t v)
{
    for (int i = bytes - 1; i >= 0; --i, v >>= 8)
        b[at + static_cast<std::size_t>(i)] = static_cast<char>(v & 0xff);
}

// A box among the children held by bytes[from, to): where it starts and its parts.
struct TBoxAt {
    std::size_t At = 0;
    TBoxHeader Head;
};

// The boxes of bytes[from, to), in order; Error of the last one set when one cannot be read.
// partial: a box running past to ends the list without an error.
std::vector<TBoxAt> Children(std::string_view bytes, std::size_t from, std::size_t to, bool partial, std::string& error)
{
    std::vector<TBoxAt> out;
    for (std::size_t at = from; at < to;) {
        TBoxHeader h = ReadBoxHeader(bytes.substr(at, to - at));
        if (!h.Error.empty()) {
            if (!(partial && h.Error.find("cut short") != std::string::npos))
                error = h.Error;
            break;
        }
        out.push_back(TBoxAt{at, h});
        at += static_cast<std::size_t>(h.Size);
    }
    return out;
}

// The new baseMediaDecodeTime of a tfdt box at at, written into bytes.
std::string ShiftTfdt(std::string& bytes, const TBoxAt& box, std::int64_t delta)
{
    const std::size_t p = box.At + static_cast<std::size_t>(box.Head.Header);
    if (box.Head.Size < box.Head.Header + 4)
        return "a tfdt box without its version";
    const int version = static_cast<unsigned char>(bytes[p]);
    const int width = version == 1 ? 8 : 4;
    if (box.Head.Size < box.Head.Header + 4 + static_cast<std::uint64_t>(width))
        return "a tfdt box cut short";
    const std::uint64_t time = BigEndian(bytes, p + 4, width);
    if (time > static_cast<std::uint64_t>(INT64_MAX))
        return "a decode time past the largest number";
    std::int64_t moved = 0;
    if (__builtin_add_overflow(static_cast<std::int64_t>(time), delta, &moved))
        return "a decode time moved past the largest number";
    if (moved < 0)
        return "a decode time moved before 0";
    if (width == 4 && moved > static_cast<std::int64_t>(UINT32_MAX))
        return "a decode time moved past what its 32-bit tfdt box holds";
    PutBigEndian(bytes, p + 4, width, static_cast<std::uint64_t>(moved));
    return std::string();
}

} // namespace

TBoxHeader ReadBoxHeader(std::string_view bytes, bool whole)
{
    TBoxHeader h;
    if (bytes.size() < 8) {
        h.Error = "a box header cut short";
        return h;
    }
    h.Type = std::string(bytes.substr(4, 4));
    h.Header = 8;
    h.Size = BigEndian(bytes, 0, 4);
    if (h.Size == 1) {
        if (bytes.size() < 16) {
            h.Error = "a box header cut short";
            return h;
        }
        h.Header = 16;
        h.Size = BigEndian(bytes, 8, 8);
    } else if (h.Size == 0) {
        if (!whole)
            return h;
        h.Size = bytes.size();
    }
    if (h.Size < h.Header)
        h.Error = "a " + h.Type + " box smaller than its header";
    else if (whole && h.Size > bytes.size())
        h.Error = "a " + h.Type + " box cut short";
    return h;
}

std::string ShiftFragmentTimes(std::string& bytes, std::int64_t delta, bool partial)
{
    std::string error;
    std::vector<TBoxAt> tfdts;
    for (const TBoxAt& top : Children(bytes, 0, bytes.size(), partial, error)) {
        if (top.Head.Type != "moof")
            continue;
        const std::size_t end = top.At + static_cast<std::size_t>(top.Head.Size);
        for (const TBoxAt& traf : Children(bytes, top.At + top.Head.Header, end, false, error)) {
            if (traf.Head.Type != "traf")
                continue;
            const std::size_t trafEnd = traf.At + static_cast<std::size_t>(traf.Head.Size);
            for (const TBoxAt& box : Children(bytes, traf.At + traf.Head.Header, trafEnd, false, error))
                if (box.Head.Type == "tfdt")
                    tfdts.push_back(box);
        }
    }
    if (!error.empty())
        return error;
    // Every time is checked before any is written: a segment is moved whole or not at all.
    std::string moved = bytes;
    for (const TBoxAt& box : tfdts)
        if (std::string why = ShiftTfdt(moved, box, delta); !why.empty())
            return why;
    bytes.swap(moved);
    return std::string();
}

std::string ReadMediaTimescale(std::string_view init, std::uint32_t& timescale)
{
    std::string error;
    // moov, trak, mdia, then mdhd: the first of each type on the way down.
    const char* path[] = {"moov", "trak", "mdia", "mdhd"};
    std::size_t from = 0, to = init.size();
    for (std::size_t level = 0; level < 4; ++level) {
        const std::vector<TBoxAt> boxes = Children(init, from, to, level == 0, error);
        const TBoxAt* found = nullptr;
        for (const TBoxAt& b : boxes)
            if (b.Head.Type == path[level]) {
                found = &b;
                break;
            }
        if (!found)
            return !error.empty() ? error : "no " + std::string(path[level]) + " box in the initialization section";
        from = found->At + static_cast<std::size_t>(found->Head.Header);
        to = found->At + static_cast<std::size_t>(found->Head.Size);
    }
    if (to - from < 4)
        return "an mdhd box cut short";
    const std::size_t skip = static_cast<unsigned char>(init[from]) == 1 ? 4 + 8 + 8 : 4 + 4 + 4;
    if (to - from < skip + 4)
        return "an mdhd box cut short";
    timescale = static_cast<std::uint32_t>(BigEndian(init, from + skip, 4));
    if (timescale == 0)
        return "an mdhd box with a timescale of 0";
    return std::string();
}

bool SecondsToTicks(double seconds, std::uint32_t timescale, std::int64_t& ticks)
{
    const double t = std::round(seconds * static_cast<double>(timescale));
    if (!std::isfinite(t) || std::fabs(t) >= 9.0e18)
        return false;
    ticks = static_cast<std::int64_t>(t);
    return true;
}

} // namespace cw
