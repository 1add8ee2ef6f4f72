// HLS playlists: the whole input is one playlist read against a fixed address. Whatever the
// text, the reader must answer with either a reason and a line inside the text, or a playlist
// whose every address may be requested and whose every index points where it should.

#include "FuzzSupport.h"

#include "engine/streams/HlsPlaylist.h"

#include <algorithm>
#include <cmath>
#include <string_view>

namespace {

bool RequestableAddress(const std::string& a)
{
    if (a.rfind("http://", 0) != 0 && a.rfind("https://", 0) != 0)
        return false;
    for (char c : a) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b >= 0x7F || c == '#')
            return false;
    }
    return true;
}

bool Range(std::int64_t offset, std::int64_t length)
{
    if (offset < 0)
        return offset == -1 && length == -1;
    return length > 0 && offset <= INT64_MAX - length;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const cw::THlsParse r = cw::ParseHlsPlaylist(text, "https://media.example.com/v/1/index.m3u8?sig=x");
    if (!r.Ok) {
        const std::size_t lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
        if (r.Line < 1 || static_cast<std::size_t>(r.Line) > lines)
            cwfuzz::Fail("an error names a line outside the text");
        if (r.Error.empty() || r.Error.size() > 200)
            cwfuzz::Fail("an error without a short reason");
        return 0;
    }
    if (!cw::LooksLikeHlsPlaylist(text))
        cwfuzz::Fail("a playlist was read from a body that does not start like one");
    const cw::THlsPlaylist& p = r.Playlist;
    if (p.Segments.size() > cw::MaxHlsSegments || p.Variants.size() > cw::MaxHlsSegments ||
        p.Keys.size() > cw::MaxHlsSegments || p.Maps.size() > cw::MaxHlsSegments)
        cwfuzz::Fail("more entries kept than allowed");
    if (p.Master != !p.Variants.empty() || (p.Master && !p.Segments.empty()))
        cwfuzz::Fail("a master playlist with segments, or variants in a media playlist");
    auto keyIndex = [&](int k) { return k >= -1 && k < static_cast<int>(p.Keys.size()); };
    for (const cw::THlsVariant& v : p.Variants)
        if (!RequestableAddress(v.Uri) || v.Bandwidth < 0 || v.Width < 0 || v.Height < 0)
            cwfuzz::Fail("a variant with a bad address or a negative number");
    for (const cw::THlsRendition& rd : p.Renditions)
        if (!rd.Uri.empty() && !RequestableAddress(rd.Uri))
            cwfuzz::Fail("a rendition address that may not be requested");
    for (const cw::THlsKey& k : p.Keys)
        if (k.Method == cw::THlsKeyMethod::None ||
            (k.Method == cw::THlsKeyMethod::Aes128 && !RequestableAddress(k.Uri)) ||
            (!k.Uri.empty() && !RequestableAddress(k.Uri)))
            cwfuzz::Fail("a kept key without a method or with an address that may not be requested");
    for (const cw::THlsMap& m : p.Maps)
        if (!RequestableAddress(m.Uri) || !Range(m.Offset, m.Length) || !keyIndex(m.Key))
            cwfuzz::Fail("a section with a bad address, range or key");
    for (std::size_t i = 0; i < p.Segments.size(); ++i) {
        const cw::THlsSegment& s = p.Segments[i];
        if (!RequestableAddress(s.Uri) || !Range(s.Offset, s.Length) || !keyIndex(s.Key) || s.Map < -1 ||
            s.Map >= static_cast<int>(p.Maps.size()))
            cwfuzz::Fail("a segment with a bad address, range or index");
        if (!std::isfinite(s.Duration) || s.Duration < 0)
            cwfuzz::Fail("a segment duration that is not a finite non-negative number");
        if (s.Sequence != p.MediaSequence + i)
            cwfuzz::Fail("a segment out of the media sequence");
    }
    for (int q = 0; q < 4; ++q) {
        const int v = cw::ChooseHlsVariant(p.Variants, q);
        if (v < -1 || v >= static_cast<int>(p.Variants.size()) || (v == -1) != p.Variants.empty())
            cwfuzz::Fail("a variant choice outside the list");
        if (v >= 0)
            if (const cw::THlsRendition* a = cw::ChooseHlsAudio(p, p.Variants[v].AudioGroup))
                if (a->Uri.empty() || a->GroupId != p.Variants[v].AudioGroup)
                    cwfuzz::Fail("an audio choice without an address or of another group");
    }
    return 0;
}
