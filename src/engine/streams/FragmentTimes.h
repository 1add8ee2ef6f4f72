#pragma once
// The decode times of fragmented MP4 media segments, moved so that a DASH period whose media
// starts its clock again at 0 plays after the period before it instead of on top of it. Pure
// functions of their arguments: the boxes come from a server, so every size is checked against
// the bytes at hand and every sum against 64 bits, and nothing throws.

#include <cstdint>
#include <string>
#include <string_view>

namespace cw {

// A box header read from the front of bytes: its type, the header's length and the whole box's
// size (to the end of bytes for a size of 0). Error says why there is none, "" when there is.
// whole: bytes hold the whole box, which is checked; else only its header is read, and a size
// of 0 (to the end of the file) stays 0.
struct TBoxHeader {
    std::string Type;
    std::uint64_t Header = 0;
    std::uint64_t Size = 0;
    std::string Error;
};
TBoxHeader ReadBoxHeader(std::string_view bytes, bool whole = true);

// Adds delta ticks to the baseMediaDecodeTime of every moof/traf/tfdt among the top-level boxes
// of bytes, in place. "" when done, else why not (nothing is changed then): a box cut short or
// smaller than its header, or a time that leaves its field (below 0, or past 32 bits in a
// version 0 box, which is not grown). partial: bytes are only the front of a segment, and a
// top-level box running past their end is left as it is.
std::string ShiftFragmentTimes(std::string& bytes, std::int64_t delta, bool partial = false);

// The timescale of the media of an initialization section: that of the first moov/trak/mdia/mdhd.
// "" when found, else why not.
std::string ReadMediaTimescale(std::string_view init, std::uint32_t& timescale);

// seconds in ticks of timescale, to the nearest tick; false when it does not fit 64 bits.
bool SecondsToTicks(double seconds, std::uint32_t timescale, std::int64_t& ticks);

} // namespace cw
