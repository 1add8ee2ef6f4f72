#include "engine/Subtitles.h"

#include "engine/DownloadText.h"
#include "platform/Text.h"

#include <cstdlib>
#include <unordered_set>

namespace cw {
namespace {

using std::string_view;
constexpr std::size_t npos = std::string::npos;

bool IsLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsDigitChar(char c)
{
    return c >= '0' && c <= '9';
}

string_view Value(const char* v)
{
    return v ? string_view(v) : string_view();
}

// The lines of a piece with its line ends made "\n" and its byte order mark cut.
std::string Normalized(string_view piece)
{
    if (piece.substr(0, 3) == "\xEF\xBB\xBF")
        piece.remove_prefix(3);
    std::string out;
    out.reserve(piece.size());
    for (std::size_t i = 0; i < piece.size(); ++i) {
        if (piece[i] == '\r') {
            out += '\n';
            if (i + 1 < piece.size() && piece[i + 1] == '\n')
                ++i;
        } else if (piece[i] != '\0') {
            out += piece[i];
        }
    }
    return out;
}

// "LOCAL:00:00:10.000,MPEGTS:900000" (either order).
bool ReadTimestampMap(string_view value, std::int64_t& local, std::int64_t& mpegts)
{
    local = -1;
    mpegts = -1;
    while (!value.empty()) {
        const std::size_t comma = value.find(',');
        string_view part = value.substr(0, comma);
        value = comma == npos ? string_view() : value.substr(comma + 1);
        while (!part.empty() && (part.front() == ' ' || part.front() == '\t'))
            part.remove_prefix(1);
        if (part.substr(0, 6) == "LOCAL:") {
            local = ParseWebVttTime(part.substr(6));
        } else if (part.substr(0, 7) == "MPEGTS:") {
            std::int64_t n = 0;
            string_view digits = part.substr(7);
            if (digits.empty() || digits.size() > 15)
                return false;
            for (char c : digits) {
                if (!IsDigitChar(c))
                    return false;
                n = n * 10 + (c - '0');
            }
            mpegts = n;
        }
    }
    return local >= 0 && mpegts >= 0;
}

// A cue's timing line moved by shiftMs: "" when the cue ends before 0 (it is dropped), the
// line itself when it is no timing line.
std::string ShiftTiming(const std::string& line, std::int64_t shiftMs, bool& timing)
{
    timing = false;
    const std::size_t arrow = line.find("-->");
    if (arrow == npos)
        return line;
    std::size_t a = 0;
    while (a < arrow && (line[a] == ' ' || line[a] == '\t'))
        ++a;
    std::size_t aEnd = arrow;
    while (aEnd > a && (line[aEnd - 1] == ' ' || line[aEnd - 1] == '\t'))
        --aEnd;
    std::size_t b = arrow + 3;
    while (b < line.size() && (line[b] == ' ' || line[b] == '\t'))
        ++b;
    std::size_t bEnd = b;
    while (bEnd < line.size() && line[bEnd] != ' ' && line[bEnd] != '\t')
        ++bEnd;
    const std::int64_t start = ParseWebVttTime(string_view(line).substr(a, aEnd - a));
    const std::int64_t end = ParseWebVttTime(string_view(line).substr(b, bEnd - b));
    if (start < 0 || end < 0)
        return line;
    timing = true;
    if (shiftMs == 0)
        return line;
    const std::int64_t s = start + shiftMs, e = end + shiftMs;
    if (e < 0)
        return std::string();
    return FormatWebVttTime(s < 0 ? 0 : s) + " --> " + FormatWebVttTime(e) + line.substr(bEnd);
}

} // namespace

std::string PrimaryLanguage(string_view tag)
{
    std::size_t n = 0;
    while (n < tag.size() && IsLetter(tag[n]))
        ++n;
    if (n < 2 || n > 8)
        return std::string();
    if (n < tag.size() && tag[n] != '-' && tag[n] != '_' && tag[n] != '.' && tag[n] != '@')
        return std::string();
    const std::string primary = text::Lower(std::string(tag.substr(0, n)));
    return primary == "posix" ? std::string() : primary;
}

std::string UserLanguage(const char* language, const char* lcAll, const char* lcMessages, const char* lang)
{
    string_view locale = Value(lcAll);
    if (locale.empty())
        locale = Value(lcMessages);
    if (locale.empty())
        locale = Value(lang);
    // The "C" locale asks for untranslated text: a language list beside it is not used.
    const bool plain = locale == "C" || locale == "POSIX" || locale.substr(0, 2) == "C.";
    if (!plain) {
        string_view list = Value(language);
        while (!list.empty()) {
            const std::size_t colon = list.find(':');
            const std::string primary = PrimaryLanguage(list.substr(0, colon));
            if (!primary.empty())
                return primary;
            list = colon == npos ? string_view() : list.substr(colon + 1);
        }
    }
    return plain ? std::string() : PrimaryLanguage(locale);
}

std::string UserLanguageFromEnvironment()
{
    return UserLanguage(std::getenv("LANGUAGE"), std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"),
                        std::getenv("LANG"));
}

int ChooseSubtitle(const std::vector<TSubtitleSource>& sources, const std::string& language)
{
    if (sources.empty())
        return -1;
    int match = -1, fallback = -1;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        const TSubtitleSource& s = sources[i];
        if (!language.empty() && PrimaryLanguage(s.Language) == language) {
            if (s.Default)
                return static_cast<int>(i);
            if (match < 0)
                match = static_cast<int>(i);
        }
        if (s.Default && fallback < 0)
            fallback = static_cast<int>(i);
    }
    if (match >= 0)
        return match;
    return fallback >= 0 ? fallback : 0;
}

std::string SubtitlePath(const std::string& videoPath, const std::string& language)
{
    std::string tag;
    for (char c : language) {
        if (tag.size() == 35)
            break;
        if (IsLetter(c) || IsDigitChar(c))
            tag += c;
        else if ((c == '-' || c == '_') && !tag.empty() && tag.back() != '-')
            tag += '-';
        else if (c != '-' && c != '_')
            break; // a tag ends at what no tag holds ("en;q=1", "de.utf8")
    }
    while (!tag.empty() && tag.back() == '-')
        tag.pop_back();
    return ChangeFileExt(videoPath, tag.empty() ? ".vtt" : "." + tag + ".vtt");
}

std::vector<TSubtitleSource> PageSubtitleSources(const std::vector<TPageTrack>& tracks)
{
    std::vector<TSubtitleSource> out;
    for (const TPageTrack& t : tracks)
        out.push_back(TSubtitleSource{t.Language, t.Default, false, {TSubtitlePiece{t.Url, 0}}});
    return out;
}

std::vector<TSubtitleSource> HlsSubtitleSources(const THlsPlaylist& master, const THlsVariant& variant)
{
    std::vector<TSubtitleSource> out;
    for (const THlsRendition& r : master.Renditions) {
        if (r.Type != "SUBTITLES" || r.Uri.empty())
            continue;
        if (!variant.SubtitleGroup.empty() && r.GroupId != variant.SubtitleGroup)
            continue;
        out.push_back(TSubtitleSource{r.Language, r.Default, true, {TSubtitlePiece{r.Uri, 0}}});
    }
    return out;
}

std::vector<TSubtitleSource> DashSubtitleSources(const TDashManifest& manifest)
{
    std::vector<TSubtitleSource> out;
    for (const TDashPeriod& period : manifest.Periods) {
        std::unordered_set<std::string> taken; // languages this period added to already
        for (const TDashRepresentation& r : period.Representations) {
            if (r.Kind != TDashKind::Text || r.MimeType != "text/vtt" || r.Indexed || r.Segments.Empty())
                continue;
            const bool whole = r.Init.Url.empty() && r.Segments.WholeResources();
            if (!whole || !taken.insert(r.Language).second)
                continue;
            TSubtitleSource* into = nullptr;
            for (TSubtitleSource& s : out)
                if (s.Language == r.Language)
                    into = &s;
            if (!into) {
                out.push_back(TSubtitleSource{r.Language, false, false, {}});
                into = &out.back();
            }
            for (std::int64_t i = 0; i < r.Segments.Count() && into->Pieces.size() < MaxSubtitlePieces; ++i)
                into->Pieces.push_back(TSubtitlePiece{r.Segments.At(i).Url, period.Start});
        }
    }
    return out;
}

bool LooksLikeWebVtt(string_view body)
{
    if (body.substr(0, 3) == "\xEF\xBB\xBF")
        body.remove_prefix(3);
    if (body.substr(0, 6) != "WEBVTT")
        return false;
    if (body.size() == 6)
        return true;
    const char c = body[6];
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::int64_t ParseWebVttTime(string_view t)
{
    // [hh:]mm:ss.ttt: hours of any number of digits, minutes and seconds of two, thousandths.
    std::int64_t fields[3] = {0, 0, 0};
    int count = 0;
    std::size_t i = 0;
    while (true) {
        std::size_t start = i;
        std::int64_t n = 0;
        while (i < t.size() && IsDigitChar(t[i]) && i - start < 10)
            n = n * 10 + (t[i++] - '0');
        if (i == start || count == 3)
            return -1;
        fields[count++] = n;
        if (i < t.size() && t[i] == ':') {
            ++i;
            continue;
        }
        if (i < t.size() && t[i] == '.')
            break;
        return -1;
    }
    if (count < 2 || i + 4 != t.size())
        return -1;
    std::int64_t ms = 0;
    for (std::size_t k = i + 1; k < t.size(); ++k) {
        if (!IsDigitChar(t[k]))
            return -1;
        ms = ms * 10 + (t[k] - '0');
    }
    const std::int64_t h = count == 3 ? fields[0] : 0, m = fields[count - 2], s = fields[count - 1];
    if (m > 59 || s > 59)
        return -1;
    return ((h * 60 + m) * 60 + s) * 1000 + ms;
}

std::string FormatWebVttTime(std::int64_t ms)
{
    if (ms < 0)
        ms = 0;
    const std::int64_t h = ms / 3600000, m = ms / 60000 % 60, s = ms / 1000 % 60, t = ms % 1000;
    auto two = [](std::int64_t v) { return (v < 10 ? "0" : "") + std::to_string(v); };
    return two(h) + ":" + two(m) + ":" + two(s) + "." + (t < 100 ? "0" : "") + (t < 10 ? "0" : "") + std::to_string(t);
}

// The blocks of a WebVTT text, separated by blank lines; the first is the header.
static std::vector<std::string> VttBlocks(const std::string& text)
{
    std::vector<std::string> blocks;
    std::size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && text[at] == '\n')
            ++at;
        if (at >= text.size())
            break;
        std::size_t end = text.find("\n\n", at);
        if (end == npos)
            end = text.size();
        std::size_t last = end;
        while (last > at && text[last - 1] == '\n')
            --last;
        blocks.push_back(text.substr(at, last - at));
        at = end;
    }
    return blocks;
}

// How far a piece's cues move on the run's clock: its X-TIMESTAMP-MAP against the first piece's.
std::int64_t TWebVttJoin::TimestampShift(const std::string& header)
{
    std::int64_t shift = 0;
    for (std::size_t p = 0; p < header.size();) {
        std::size_t e = header.find('\n', p);
        if (e == npos)
            e = header.size();
        const string_view line = string_view(header).substr(p, e - p);
        std::int64_t local = 0, mpegts = 0;
        if (line.substr(0, 16) == "X-TIMESTAMP-MAP=" && ReadTimestampMap(line.substr(16), local, mpegts)) {
            if (!FHaveOrigin) {
                FHaveOrigin = true;
                FOrigin = mpegts;
            }
            // The 90 kHz clock wraps at 2^33: the nearer of the two ways round counts.
            constexpr std::int64_t wrap = std::int64_t(1) << 33;
            std::int64_t delta = ((mpegts - FOrigin) % wrap + wrap) % wrap;
            if (delta >= wrap / 2)
                delta -= wrap;
            shift += delta / 90 - local;
        }
        p = e + 1;
    }
    return shift;
}

// One block of a piece: a cue moved by shift ("\n<cue>\n"), or "" for a style, region or comment
// block (kept in the header while it comes before the file's first cue), a broken timing line,
// and a cue the piece before already had (pieces overlap by a cue or two).
std::string TWebVttJoin::Cue(const std::string& block, std::int64_t shift, std::unordered_set<std::string>& cues,
                             bool& seenCue)
{
    const std::size_t firstEnd = block.find('\n');
    const std::string first = block.substr(0, firstEnd);
    const std::size_t secondStart = firstEnd == npos ? npos : firstEnd + 1;
    const std::string second =
        secondStart == npos ? std::string() : block.substr(secondStart, block.find('\n', secondStart) - secondStart);
    const bool cueFirst = first.find("-->") != npos;
    const bool cueSecond = !cueFirst && second.find("-->") != npos;
    if (!cueFirst && !cueSecond) {
        // Style and region blocks belong before the first cue of the file; a later piece's own
        // are left out, as are comments.
        const bool headerBlock = first.rfind("STYLE", 0) == 0 || first.rfind("REGION", 0) == 0;
        if (headerBlock && !FHaveHeader && !seenCue)
            FHeader += "\n" + block + "\n";
        return {};
    }
    seenCue = true;
    const std::size_t timingStart = cueFirst ? 0 : secondStart;
    const std::size_t timingEnd = block.find('\n', timingStart);
    bool timing = false;
    const std::string shifted =
        ShiftTiming(block.substr(timingStart, timingEnd == npos ? npos : timingEnd - timingStart), shift, timing);
    if (!timing || shifted.empty())
        return {}; // a broken timing line: players skip the cue too
    const std::string rest = timingEnd == npos ? std::string() : block.substr(timingEnd);
    // The key leaves the identifier out: a repeated cue may be renumbered.
    const std::string key = shifted + rest;
    const bool repeated = FLastCues.count(key) > 0;
    cues.insert(key);
    if (repeated)
        return {};
    ++FCues;
    return "\n" + (cueFirst ? std::string() : first + "\n") + shifted + rest + "\n";
}

bool TWebVttJoin::Add(string_view piece, double offsetSeconds)
{
    if (!LooksLikeWebVtt(piece) || FOverflow)
        return false;
    std::vector<std::string> blocks = VttBlocks(Normalized(piece));
    std::int64_t shift = static_cast<std::int64_t>(offsetSeconds * 1000.0 + (offsetSeconds < 0 ? -0.5 : 0.5));
    if (!blocks.empty())
        shift += TimestampShift(blocks[0]);
    std::unordered_set<std::string> cues;
    std::string added;
    bool seenCue = false;
    for (std::size_t i = 1; i < blocks.size(); ++i)
        added += Cue(blocks[i], shift, cues, seenCue);
    if (!FHaveHeader) {
        FHaveHeader = true;
        std::string line = blocks.empty() ? std::string("WEBVTT") : blocks[0].substr(0, blocks[0].find('\n'));
        FHeader = line + "\n" + FHeader;
    }
    if (FHeader.size() + FBody.size() + added.size() > MaxSubtitleBytes) {
        FOverflow = true;
        return false;
    }
    FBody += added;
    FLastCues = std::move(cues);
    return true;
}

std::string TWebVttJoin::Text() const
{
    if (!FHaveHeader)
        return "WEBVTT\n";
    return FHeader + FBody;
}

} // namespace cw
