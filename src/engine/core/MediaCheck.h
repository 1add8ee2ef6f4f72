#pragma once
// Whether the first bytes of a stream's segment are media: MPEG-TS (a sync byte every 188 bytes),
// packed audio (an ID3 tag or an ADTS frame), MP4 (a box of a plausible size and a four-letter
// type) or WebM (an EBML header or a Cluster). Anything else, typically an error page served with 200, would leave a hole in the video.

#include <cstddef>
#include <string_view>

namespace cw {

// How many leading bytes the check wants when the segment has them.
constexpr std::size_t MediaCheckBytes = 189;

// head: the segment's first bytes (MediaCheckBytes, or fewer when the segment is that short).
bool LooksLikeMedia(std::string_view head);

// Whether a file's first bytes are a web page (a document type or an html, head or body tag after
// a byte order mark and blanks): a plain file may be any format, but never that. An error page
// served with 200 and a video type would otherwise be saved as the video. Too few bytes to
// tell: false.
bool LooksLikeWebPage(std::string_view head);

} // namespace cw
