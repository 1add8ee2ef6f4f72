// Segment indexes: the input is the bytes of an index range, the first eight of them taken as
// the offset it was read at. Whatever the bytes, the reader must refuse with a reason or give
// segments that follow one another without overlap, each a real byte range past the index.

#include "FuzzSupport.h"

#include "engine/streams/DashManifest.h"

#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 8)
        return 0;
    std::uint64_t raw = 0;
    for (int i = 0; i < 8; ++i)
        raw = (raw << 8) | data[i];
    const std::int64_t offset = static_cast<std::int64_t>(raw >> 1); // never negative
    const std::string_view bytes(reinterpret_cast<const char*>(data + 8), size - 8);
    const cw::TSidxRead r = cw::ReadSegmentIndex(bytes, offset);
    if (!r.Ok) {
        if (r.Error.empty() || !r.Segments.empty())
            cwfuzz::Fail("a refusal without a reason, or with segments");
        return 0;
    }
    if (r.Segments.empty())
        cwfuzz::Fail("an index read as no segments");
    std::int64_t next = -1;
    for (const cw::TDashSegment& s : r.Segments) {
        if (s.Offset < 0 || s.Length <= 0 || s.Offset > INT64_MAX - s.Length)
            cwfuzz::Fail("a segment that is no byte range");
        if (s.Offset < offset + 8)
            cwfuzz::Fail("a segment before the end of the index");
        if (next >= 0 && s.Offset != next)
            cwfuzz::Fail("segments that do not follow one another");
        next = s.Offset + s.Length;
    }
    return 0;
}
