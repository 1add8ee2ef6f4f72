#pragma once
// The generic page rules: what any web page says about the video it shows, read from the
// markup every publisher shares rather than from one site's layout. A page announces its video
// in up to five ways, trusted in this order: a schema.org VideoObject in JSON-LD, the same in
// microdata (itemscope/itemprop), Open Graph video tags, the Twitter card's stream, and the HTML
// <video>/<audio> elements themselves. Each gives candidate files, stream manifests (HLS, DASH)
// or an embedded player, whose own page can be read by the same rules.
//
// Everything here is a pure function of its arguments. Pages are hostile input: any page, of
// any size or content, is read once in linear time with bounded nesting and bounded memory for
// what is kept, and nothing here throws on bad input.

#include <string>
#include <vector>

namespace cw {

struct TMediaCandidate {
    std::string Url;  // absolute http(s) address, resolved, decoded, without a fragment
    std::string Type; // MIME type as declared ("video/mp4"), lower case, parameters cut; "" when none
    int Height = 0;   // declared height in lines, 0 when none
    int Width = 0;    // declared width, 0 when none
    std::string Title{}; // the title the same markup gives (og:title, the VideoObject's name,
                         // twitter:title); "" when it gives none
};

// A text track of a <video> or <audio> element that a viewer reads: subtitles or captions
// (a <track> without kind is subtitles; chapters, metadata and descriptions are not kept).
struct TPageTrack {
    std::string Url;      // absolute http(s) address, as for candidates
    std::string Language; // srclang as written, trimmed; "" when none
    bool Default = false; // the default attribute
};

struct TPageMedia {
    std::string Title; // og:title, else the first VideoObject's name, else twitter:title, else <title>
    std::vector<TMediaCandidate> Files;   // media files, most trusted first, one per address
    std::string EmbedHost;                // no file, but another site's player is embedded: its host
    std::string StreamType;               // no file, but a manifest: "HLS" or "DASH" (of the first one)
    std::vector<TMediaCandidate> Streams; // the manifests found, most trusted first, one per address
    std::vector<TPageTrack> Tracks;       // subtitle tracks of the page's media elements, in page order
    // The players worth opening when the page declares no video itself, best first, at most
    // MaxPlayerTries: declared ones (a VideoObject's embedUrl, og:video of type text/html,
    // twitter:player) before frames, and frames that look like players before the rest.
    std::vector<std::string> Players;
    std::string OEmbed; // the JSON oEmbed address the page announces, "" when none
};

// The most players of one page that are opened before the page counts as holding no video.
constexpr std::size_t MaxPlayerTries = 3;

// The most candidates of each kind kept from one page; the rest of a page that lists more is
// still read, but adds nothing.
constexpr std::size_t MaxMediaCandidates = 1000;

// Reads the whole page once. pageUrl: the page's final address (after relocations), against
// which (and the page's first <base href>) relative addresses are resolved.
TPageMedia FindPageMedia(const std::string& html, const std::string& pageUrl);

// The player an oEmbed answer (JSON) embeds: the address of the first frame in its "html",
// resolved against the answer's own address; "" when there is none.
std::string OEmbedPlayer(const std::string& json, const std::string& answerUrl);

// The candidate for a quality (the values of vqNormal..vqBestAvailable): Normal takes the
// smallest declared height, HQ the one nearest 480 lines, HD and Best Available the largest;
// when no candidate declares a height, the first of the best format. Between equal heights, and
// among candidates without one, MP4 comes before WebM before the rest. nullptr for an empty list; otherwise a pointer into files.
const TMediaCandidate* PickMediaCandidate(const std::vector<TMediaCandidate>& files, int quality);

// Reference resolution of ref against an absolute base (scheme, authority, path, query,
// fragment), removing dot segments; the scheme comes out in lower case. A base without a scheme
// still gives a result, but not an absolute one.
std::string ResolveAddress(const std::string& base, const std::string& ref);

// The file extension, with its dot, a candidate's file should be saved under: from its Type,
// else from a media extension on its address's path, else ".mp4".
std::string MediaExtension(const TMediaCandidate& c);

} // namespace cw
