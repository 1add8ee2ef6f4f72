#pragma once
// HLS playlists: the master playlist that lists a stream's variants and alternative audio, and
// the media playlist that lists the segments of one variant, with their byte ranges, keys and
// initialization sections. What is read here is what the engine needs to fetch a stream and
// put it back together as one file; tags that only matter to a live player are skipped.
//
// Everything here is a pure function of its arguments. Playlists come from any server: any
// text is read once in linear time with bounded memory, nothing throws, and a playlist that
// cannot be read gives a line number and a reason instead. Every address kept is absolute,
// http or https, without a fragment, and holds no byte a request line cannot carry.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cw {

struct THlsVariant {
    std::string Uri;
    std::int64_t Bandwidth = 0; // bits per second; 0 when not declared
    int Width = 0;              // RESOLUTION, 0 when not declared
    int Height = 0;
    std::string Codecs;
    std::string AudioGroup;    // the AUDIO attribute: the GroupId of its audio renditions
    std::string SubtitleGroup; // the SUBTITLES attribute: the GroupId of its subtitle renditions
};

struct THlsRendition {
    std::string Type; // AUDIO, VIDEO, SUBTITLES, CLOSED-CAPTIONS as written
    std::string GroupId;
    std::string Name;
    std::string Uri; // "" when the rendition travels inside the variant
    bool Default = false;
    std::string Language; // LANGUAGE as written (a language tag), "" when not declared
};

enum class THlsKeyMethod { None, Aes128, Other };

struct THlsKey {
    THlsKeyMethod Method = THlsKeyMethod::None;
    std::string MethodText; // METHOD as written: "AES-128", "SAMPLE-AES", ...
    std::string KeyFormat;  // KEYFORMAT, "identity" when not declared
    // Where the key is fetched. A key this program cannot use (Other) keeps its address only
    // when it is http or https; DRM systems' own schemes leave it empty.
    std::string Uri;
    bool HasIv = false;
    std::array<std::uint8_t, 16> Iv{};
};

struct THlsMap {
    std::string Uri;
    std::int64_t Offset = -1; // -1: the whole resource
    std::int64_t Length = -1;
    int Key = -1; // the key the section is encrypted with, as for segments
};

struct THlsSegment {
    std::string Uri;
    double Duration = 0;
    std::int64_t Offset = -1; // -1: the whole resource
    std::int64_t Length = -1;
    std::uint64_t Sequence = 0; // media sequence number
    // Index into THlsPlaylist::Keys; -1 when not encrypted. When a key of another format than
    // "identity" is in force beside an AES-128 one, that key, so the segment counts as protected.
    int Key = -1;
    int Map = -1; // index into THlsPlaylist::Maps; -1 when none
    bool Discontinuity = false;
};

struct THlsPlaylist {
    bool Master = false;
    std::vector<THlsVariant> Variants;     // master only
    std::vector<THlsRendition> Renditions; // master only (EXT-X-MEDIA)
    double TargetDuration = 0;
    std::uint64_t MediaSequence = 0;
    bool EndList = false;
    std::vector<THlsSegment> Segments;
    std::vector<THlsKey> Keys; // every EXT-X-KEY but METHOD=NONE, in playlist order
    std::vector<THlsMap> Maps; // every EXT-X-MAP, in playlist order
};

// Ok, or the line (from 1) and a lower-case reason, shown as "line <Line>: <Error>".
struct THlsParse {
    bool Ok = false;
    int Line = 0;
    std::string Error;
    THlsPlaylist Playlist;
};

// The most segments one playlist may list, and the most keys, sections, variants or renditions;
// a playlist with more is refused rather than cut short.
constexpr std::size_t MaxHlsSegments = 100000;
// The most segments one stream fetches, HLS or DASH, in all its tracks (initialization sections
// included): a stream with more is refused before any of them is asked for. A playlist or
// manifest may describe more (a DASH template any number); only what is fetched counts.
constexpr std::size_t MaxStreamSegments = 200000;
// The longest line read; any longer line makes the playlist unreadable.
constexpr std::size_t MaxHlsLineBytes = 64 * 1024;
// The most bytes all the addresses of one playlist may take together once resolved.
constexpr std::size_t MaxHlsAddressBytes = 64 * 1024 * 1024;

// ref resolved against base into an address that may be requested: http or https with a host,
// the fragment cut, and the bytes a request line cannot carry escaped. False when it is no such
// address. Playlists and manifests alike keep only what this lets through.
bool ResolveStreamAddress(const std::string& base, std::string_view ref, std::string& out);

// Reads a whole playlist. playlistAddress: its final address (after relocations), against which
// every address in it is resolved.
THlsParse ParseHlsPlaylist(std::string_view text, const std::string& playlistAddress);

// The variant for a quality (the values of vqNormal..vqBestAvailable): Normal takes the lowest
// height, HQ the one nearest 480 lines (the taller of two equally near), HD and Best Available
// the highest. Between equal heights the higher bandwidth wins, except for Normal, which takes
// the lower. Variants without RESOLUTION count only when none has one; they are then ranked by
// bandwidth alone, HQ taking the middle one. -1 for an empty list.
int ChooseHlsVariant(const std::vector<THlsVariant>& variants, int quality);

// The audio rendition to fetch beside a variant of the AUDIO group: the group's DEFAULT=YES
// rendition with a URI, else its first with a URI. nullptr when the group is absent or none of
// its renditions has a URI (the audio is then inside the variant).
const THlsRendition* ChooseHlsAudio(const THlsPlaylist& master, const std::string& group);

// The IV a segment is decrypted with: the key's own, else the segment's media sequence number
// as a 128-bit big-endian number.
std::array<std::uint8_t, 16> HlsSegmentIv(const THlsKey& key, std::uint64_t sequence);

// An answer's Content-Type (parameters and letter case aside) that names a playlist.
bool IsHlsPlaylistType(const std::string& contentType);
// A body that starts as a playlist does: "#EXTM3U", after an optional UTF-8 byte order mark.
bool LooksLikeHlsPlaylist(std::string_view bodyStart);

} // namespace cw
