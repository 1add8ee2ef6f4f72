#pragma once
// Subtitles saved beside a video: where they come from (a page's <track> elements, the subtitle
// renditions of an HLS master playlist, the text adaptation sets of a DASH manifest), which one
// the user reads (the language of the locale), the name it is saved under ("name.en.vtt" beside
// "name.mp4") and how WebVTT pieces (HLS segments, DASH segments, periods) become one file.
//
// Everything here is a pure function of its arguments; nothing throws on bad input.

#include "engine/pages/PageMedia.h"
#include "engine/streams/DashManifest.h"
#include "engine/streams/HlsPlaylist.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace cw {

// One file of a subtitle track, and the seconds its cue times are moved by in the joined file
// (a DASH period's start).
struct TSubtitlePiece {
    std::string Url;
    double Offset = 0;
};

struct TSubtitleSource {
    std::string Language; // the language tag as declared, "" when none
    bool Default = false; // declared the default track
    // Pieces[0] is an HLS media playlist whose segments are the pieces; else the pieces are
    // the WebVTT files themselves, joined in order.
    bool Playlist = false;
    std::vector<TSubtitlePiece> Pieces;
};

// The most bytes one subtitle file may take (each piece and the joined file), and the most
// pieces one track may have.
constexpr std::size_t MaxSubtitleBytes = 5u << 20;
constexpr std::size_t MaxSubtitlePieces = 20000;

// The primary language subtag of a tag or locale name, lower case ("pt_BR.UTF-8" and "PT-br"
// give "pt"); "" when it is none (empty, "C", "POSIX", or not 2 to 8 letters).
std::string PrimaryLanguage(std::string_view tag);

// The language the user reads, from the locale's variables as the environment has them
// (nullptr or "" for unset): LANGUAGE (its first entry) unless the messages locale is "C" or
// "POSIX", else LC_ALL, LC_MESSAGES, LANG, the first that is set. "" when none says.
std::string UserLanguage(const char* language, const char* lcAll, const char* lcMessages, const char* lang);
// The same, read from this process's environment.
std::string UserLanguageFromEnvironment();

// The track to save for a user language (a primary subtag, may be ""): the first of that
// language (the default one among them first), else the default track, else the first. -1
// for an empty list.
int ChooseSubtitle(const std::vector<TSubtitleSource>& sources, const std::string& language);

// The path a subtitle of language is saved under beside videoPath: the video's name without
// its extension, the language tag (letters, digits and '-' only, '_' as '-', at most 35
// characters), ".vtt". No usable tag: "name.vtt".
std::string SubtitlePath(const std::string& videoPath, const std::string& language);

// Sources from a page's tracks, in page order.
std::vector<TSubtitleSource> PageSubtitleSources(const std::vector<TPageTrack>& tracks);
// The SUBTITLES renditions of a master playlist that go with variant (its group's; every one
// when the variant names no group), each a playlist to read.
std::vector<TSubtitleSource> HlsSubtitleSources(const THlsPlaylist& master, const THlsVariant& variant);
// The WebVTT text representations of a manifest, one source per language: the first
// representation of that language in each period, its segments moved by the period's start.
// TTML and subtitles inside MP4 fragments are not taken, nor byte ranges of a resource.
std::vector<TSubtitleSource> DashSubtitleSources(const TDashManifest& manifest);

// A body that is WebVTT: "WEBVTT" after an optional byte order mark, then a blank, a line end
// or the end.
bool LooksLikeWebVtt(std::string_view body);

// Joins WebVTT pieces into one file: one header (the first piece's, with its style and region
// blocks), then the cues of every piece in order. A cue repeated at the start of the next piece
// (one that spans the pieces' boundary) is kept once.
//
// HLS segments may map their cue times onto the stream's clock with X-TIMESTAMP-MAP
// (LOCAL:<cue time>,MPEGTS:<90 kHz time>). The joined video starts at the stream's first
// moment, so the first mapped piece's MPEGTS is taken as the origin: a cue at local time t of a
// piece mapped (LOCAL l, MPEGTS m) is written at t - l + (m - m0) / 90000. Pieces without a map
// keep their times (plus the piece's offset). Cues that end before 0 are dropped.
class TWebVttJoin {
public:
    // False (and nothing added) when piece is not WebVTT; Overflow() when the file would pass
    // MaxSubtitleBytes.
    bool Add(std::string_view piece, double offsetSeconds = 0);
    bool Overflow() const { return FOverflow; }
    int Cues() const { return FCues; }
    // The joined file; "WEBVTT\n" alone when nothing was added.
    std::string Text() const;

private:
    std::int64_t TimestampShift(const std::string& header);
    std::string Cue(const std::string& block, std::int64_t shift, std::unordered_set<std::string>& cues, bool& seenCue);
    std::string FHeader;
    std::string FBody;
    std::unordered_set<std::string> FLastCues; // the previous piece's cues, to drop their repeats
    bool FHaveHeader = false;
    bool FHaveOrigin = false;
    std::int64_t FOrigin = 0; // MPEGTS of the first mapped piece
    bool FOverflow = false;
    int FCues = 0;
};

// A WebVTT time ("[hh:]mm:ss.ttt") in milliseconds; -1 when it is none.
std::int64_t ParseWebVttTime(std::string_view text);
// Milliseconds as "hh:mm:ss.ttt".
std::string FormatWebVttTime(std::int64_t ms);

} // namespace cw
