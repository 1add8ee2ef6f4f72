#pragma once
// DASH manifests (MPD): the periods of a static presentation, the representations of each, and
// for every representation the exact list of requests that fetch it: an initialization section
// and the media segments, from SegmentTemplate (with or without a SegmentTimeline),
// SegmentList, SegmentBase or a plain BaseURL. A SegmentBase with an index only names the byte
// range of its `sidx` box; ReadSegmentIndex turns those bytes into the segments once they are
// fetched. Addressing given on the period or the adaptation set is inherited by the
// representations below it, attribute by attribute, and BaseURL is resolved level by level
// from the manifest's own address.
//
// A template's segments are not listed: a few hundred bytes of manifest may describe millions
// of them. The representation keeps the template and its timeline, and each segment's address
// is filled in when it is asked for; only the segments of the tracks fetched are ever listed,
// and the stream transfer bounds how many.
//
// Everything here is a pure function of its arguments. Manifests come from any server: the text
// is read once with bounded nesting and bounded memory, nothing throws, and a manifest that
// cannot be used gives a reason instead: a live one, one protected by DRM, or the line of
// what is malformed (numbers, times and ranges whose arithmetic would leave 64 bits included).
// Every address kept or filled in is absolute, http or https, and may be requested.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cw {

// Text: subtitles or captions (contentType "text", a text/* type, or TTML).
enum class TDashKind { Video, Audio, Text, Other };

// A request: the whole resource, or Length bytes from Offset.
struct TDashSegment {
    std::string Url;
    std::int64_t Offset = -1; // -1: all of it
    std::int64_t Length = -1;
};

// The media segments of a representation. Named one by one (SegmentList, SegmentBase, a plain
// BaseURL: as many as the manifest's own text holds), or described by a template and runs of
// segments of equal duration (a SegmentTimeline's S elements, or one run for a template's fixed
// duration): segment i is then found among the runs by binary search and its address filled in.
// A value: copies share nothing, and nothing here does any I/O.
class TDashSegmentList {
public:
    // A run of Count segments of Duration ticks each, from Time; First: the index of its first
    // segment in the representation.
    struct TRun {
        std::int64_t First = 0;
        std::int64_t Time = 0;
        std::int64_t Duration = 0;
        std::int64_t Count = 0;
    };

    std::int64_t Count() const { return FCount; }
    bool Empty() const { return FCount == 0; }
    // Segment i (0 <= i < Count()); any other i gives a segment without an address.
    TDashSegment At(std::int64_t i) const;
    // No segment is a byte range: each is a whole resource.
    bool WholeResources() const;
    bool Templated() const { return !FMedia.empty(); }

    // Building (the manifest reader): segments one by one, or a template and its runs. The
    // reader has checked that every number and time of the runs fits in 64 bits and that the
    // template fills in to an address that may be requested: the filled values differ only in
    // their digits, so that holds for every segment once it holds for one.
    void Add(TDashSegment segment);
    void SetTemplate(std::string media, std::string base, std::string id, std::int64_t bandwidth,
                     std::int64_t startNumber);
    void AddRun(std::int64_t time, std::int64_t duration, std::int64_t count);

private:
    std::vector<TDashSegment> FNamed;
    std::string FMedia; // the template's media pattern; "" for named segments
    std::string FBase;  // what the filled pattern is resolved against
    std::string FId;
    std::int64_t FBandwidth = 0;
    std::int64_t FStartNumber = 1;
    std::vector<TRun> FRuns;
    std::int64_t FCount = 0;
};

struct TDashRepresentation {
    std::string Id;
    TDashKind Kind = TDashKind::Other;
    std::string MimeType; // the representation's, else its adaptation set's
    std::string Codecs;
    std::string Language;
    std::int64_t Bandwidth = 0;
    int Width = 0;
    int Height = 0;
    // The base the addresses below were resolved against, and the same place at the other
    // servers the manifest names (further BaseURL elements), in its order.
    std::string Base;
    std::vector<std::string> AlternateBases;
    TDashSegment Init; // Url "" when the segments need none
    TDashSegmentList Segments;
    // A SegmentBase with indexRange: Segments stays empty until the index at IndexOffset (of
    // IndexUrl, IndexLength bytes) is read.
    bool Indexed = false;
    std::string IndexUrl;
    std::int64_t IndexOffset = -1;
    std::int64_t IndexLength = -1;
    // The media time at the period's start, in ticks of Timescale (presentationTimeOffset).
    std::int64_t PresentationTimeOffset = 0;
    std::int64_t Timescale = 1;
};

struct TDashPeriod {
    std::string Id;
    double Start = 0;     // seconds
    double Duration = -1; // seconds; -1 when the manifest does not say
    std::vector<TDashRepresentation> Representations;
};

struct TDashManifest {
    double Duration = -1; // mediaPresentationDuration in seconds; -1 when absent
    std::vector<TDashPeriod> Periods;
};

enum class TDashStatus { Ok, Malformed, Live, Protected };

struct TDashParse {
    TDashStatus Status = TDashStatus::Malformed;
    int Line = 0;      // Malformed: the line (from 1) of the fault
    std::string Error; // Malformed: a lower-case reason
    TDashManifest Manifest;
    bool Ok() const { return Status == TDashStatus::Ok; }
};

// The most segments one manifest may describe in all its representations; a manifest past it is
// refused rather than cut short. Far more than a stream ever fetches (see MaxStreamSegments):
// the bound only keeps counts, numbers and times in reach of 64-bit arithmetic. The addresses of
// the segments named one by one may take MaxDashAddressBytes together.
constexpr std::int64_t MaxDashSegments = 1000000000;
constexpr std::size_t MaxDashAddressBytes = 64 * 1024 * 1024;
// The most elements read, and the deepest nesting.
constexpr std::size_t MaxDashElements = 1000000;
constexpr int MaxDashDepth = 32;

// Reads a whole manifest. manifestAddress: its final address (after relocations), the base of
// every address in it.
TDashParse ParseDashManifest(std::string_view text, const std::string& manifestAddress);

// A duration as XML Schema writes it ("PT1H2M3.5S", "P1DT2S"); false for anything else, and for
// years and months, which have no fixed length.
bool ParseDashDuration(std::string_view text, double& seconds);

// Fills a SegmentTemplate's $RepresentationID$, $Number$, $Bandwidth$ and $Time$ (the last three
// with an optional "%0<width>d"), and "$$". False, with a reason, for an unknown identifier or
// format.
bool FillDashTemplate(std::string_view pattern, const std::string& id, std::int64_t number, std::int64_t bandwidth,
                      std::int64_t time, std::string& out, std::string& why);

// The segments a `sidx` box lists. bytes: what was fetched of the index range, starting at
// offset in the resource; the box must be among its top-level boxes. Segments come out as byte
// ranges of the resource (Url left empty). False, with a reason, when there is no such box or
// it cannot be read.
struct TSidxRead {
    bool Ok = false;
    std::string Error;
    std::vector<TDashSegment> Segments;
};
TSidxRead ReadSegmentIndex(std::string_view bytes, std::int64_t offset);

// The representations fetched for a quality (the values of vqNormal..vqBestAvailable), one per
// period for each track: video by height as for HLS variants (Normal the lowest, HQ nearest 480,
// HD and Best the highest), audio by bandwidth (the highest; Normal the lowest). A track is
// empty when no period has it; Error says why when only some periods do.
struct TDashChoice {
    std::vector<const TDashRepresentation*> Video;
    std::vector<const TDashRepresentation*> Audio;
    std::string Error;
};
TDashChoice ChooseDashTracks(const TDashManifest& manifest, int quality);

// The container the chosen tracks are joined into with the streams copied: ".mp4" when it can
// hold every codec, ".webm" when the tracks are WebM's own codecs, else ".mkv".
std::string DashJoinExtension(const TDashChoice& choice);

// An answer's Content-Type (parameters and letter case aside) that names a manifest.
bool IsDashManifestType(const std::string& contentType);
// A body that starts as a manifest does: an XML text whose first element is MPD (after a byte
// order mark, white space, the XML declaration, processing instructions, comments and a
// DOCTYPE with or without its internal subset).
bool LooksLikeDashManifest(std::string_view bodyStart);

} // namespace cw
