#pragma once
// The video and audio files the program recognises by an address or by an answer's type, in
// one place for the page engine (an address that answers with a file) and the address rules.

#include <string>

namespace cw {

// The media extension of an address's path (.mp4 .m4v .webm .mkv .mov .flv .ogv .mp3 .m4a .ogg
// .opus), with its dot and in lower case, or "" (the query and fragment do not count).
std::string MediaExtensionOf(const std::string& address);

// The last segment of an address's path, percent-decoded, without query or fragment; "" when
// the path ends in "/".
std::string AddressFileName(const std::string& address);

// The file name a Content-Disposition value gives (RFC 6266): the extended "filename*"
// (charset'language'percent-encoded, UTF-8 or ISO-8859-1) before the plain "filename" (quoted
// or a token). Only the last path segment of it counts; "" when the value names none.
std::string DispositionFileName(const std::string& value);

// An answer of this Content-Type (and Content-Disposition) for this address is the file itself,
// not something to read: every type but pages (text/html, XHTML), other text, and the playlist
// and manifest types (HLS, DASH); an answer without a type is read too. A binary answer whose
// name ends in .m3u8, .m3u or .mpd is a playlist served carelessly, and read.
bool IsMediaType(const std::string& contentType, const std::string& address, const std::string& disposition = "");

} // namespace cw
