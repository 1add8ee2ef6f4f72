// DASH manifests: the whole input is one manifest read against a fixed address. Whatever the
// text, the reader must answer with a reason (a line inside the text for a malformed one), or a
// manifest whose every address may be requested, whose every range is a real byte range, and
// whose representation choice points into it.

#include "FuzzSupport.h"

#include "engine/streams/DashManifest.h"

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
    const cw::TDashParse r = cw::ParseDashManifest(text, "https://media.example.com/v/1/manifest.mpd?sig=x");
    if (!r.Ok()) {
        if (r.Error.empty() || r.Error.size() > 300)
            cwfuzz::Fail("a refusal without a short reason");
        if (r.Status == cw::TDashStatus::Malformed) {
            // Lines as XML counts them: CR LF, CR and LF each end one.
            std::size_t lines = 1;
            for (std::size_t i = 0; i < text.size(); ++i)
                if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')))
                    ++lines;
            if (r.Line < 1 || static_cast<std::size_t>(r.Line) > lines)
                cwfuzz::Fail("an error names a line outside the text");
            if (!r.Manifest.Periods.empty())
                cwfuzz::Fail("a malformed manifest kept periods");
        }
        return 0;
    }
    std::int64_t segments = 0;
    for (const cw::TDashPeriod& p : r.Manifest.Periods) {
        if (!std::isfinite(p.Start) || p.Start < 0 || !std::isfinite(p.Duration) || p.Duration < -1)
            cwfuzz::Fail("a period with a bad start or length");
        for (const cw::TDashRepresentation& rep : p.Representations) {
            if (rep.Bandwidth < 0 || rep.Width < 0 || rep.Height < 0)
                cwfuzz::Fail("a representation with a negative number");
            if (!rep.Init.Url.empty() &&
                (!RequestableAddress(rep.Init.Url) || !Range(rep.Init.Offset, rep.Init.Length)))
                cwfuzz::Fail("an initialization with a bad address or range");
            if (rep.Indexed && (!RequestableAddress(rep.IndexUrl) || rep.IndexOffset < 0 ||
                                !Range(rep.IndexOffset, rep.IndexLength) || !rep.Segments.Empty()))
                cwfuzz::Fail("an index with a bad address or range, or segments beside it");
            if (!rep.Indexed && rep.Segments.Empty())
                cwfuzz::Fail("a representation with nothing to fetch");
            // A template may describe far more than is worth filling in here: its first and last
            // segments and a spread between them.
            const std::int64_t n = rep.Segments.Count();
            const std::int64_t step = n > 64 ? n / 64 : 1;
            auto check = [&](std::int64_t i) {
                const cw::TDashSegment s = rep.Segments.At(i);
                if (!RequestableAddress(s.Url) || !Range(s.Offset, s.Length))
                    cwfuzz::Fail("a segment with a bad address or range");
            };
            for (std::int64_t i = 0; i < n; i += step)
                check(i);
            if (n > 0)
                check(n - 1);
            if (!rep.Segments.At(n).Url.empty() || !rep.Segments.At(-1).Url.empty())
                cwfuzz::Fail("a segment outside the list with an address");
            segments += n;
        }
    }
    if (segments > cw::MaxDashSegments)
        cwfuzz::Fail("more segments kept than allowed");
    for (int q = 0; q < 4; ++q) {
        const cw::TDashChoice c = cw::ChooseDashTracks(r.Manifest, q);
        const std::size_t periods = r.Manifest.Periods.size();
        if (!c.Error.empty() && (!c.Video.empty() || !c.Audio.empty()))
            cwfuzz::Fail("a refused choice that still chose");
        if ((!c.Video.empty() && c.Video.size() != periods) || (!c.Audio.empty() && c.Audio.size() != periods))
            cwfuzz::Fail("a track without one representation per period");
        for (std::size_t i = 0; i < c.Video.size(); ++i)
            if (c.Video[i]->Kind != cw::TDashKind::Video)
                cwfuzz::Fail("a video track of another kind");
        for (std::size_t i = 0; i < c.Audio.size(); ++i)
            if (c.Audio[i]->Kind != cw::TDashKind::Audio)
                cwfuzz::Fail("an audio track of another kind");
        const std::string ext = cw::DashJoinExtension(c);
        if (ext != ".mp4" && ext != ".webm" && ext != ".mkv")
            cwfuzz::Fail("a join into an unknown container");
    }
    return 0;
}
