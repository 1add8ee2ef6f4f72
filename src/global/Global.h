#pragma once
// Stateless helpers shared by the windows: video address recognition and normalisation,
// file-name cleaning, the in-use test, number texts and the user's proxy settings.
// All text is 8-bit; case folding and case-insensitive comparison live in platform/Text.

#include <cstdint>
#include <string>

namespace cw {

// Run mode, stored as RadioButton in settings.ini; order and values matter.
enum JobMode { jmDownload = 0, jmDownloadConvert = 1, jmConvert = 2 };
// Download quality: the Tag of the quality menu items, stored as Quality.
enum VideoQuality { vqNormal = 0, vqHQ = 1, vqHD = 2, vqBestAvailable = 3 };

// The product title (application title and caption of every box) and version text.
extern const char* const ProductTitle;   // "Ostrelle Clipwarden"
extern const char* const ProductVersion; // "1.2"

// Site names: the sites' public domain names, without scheme or host prefix.
extern const char* const YoutubeDomain;  // "youtube.com"
extern const char* const MetacafeDomain; // "metacafe.com"
extern const char* const GoogleDomain;   // "video.google.com"
extern const char* const VideoCacheHost; // "vp.video.l.google.com": Google Video's file cache
// "http://www.youtube.com/watch?v=": the canonical watch address without the identifier.
extern const char* const YoutubeWatchPrefix;

// A watch page of one of the three sites (their own page rules).
bool IsVideoAddress(const std::string& text);
// Any other absolute http or https address, standing alone: a scheme, a host, no blank and no
// control byte anywhere. Its page is read by the open rules (page metadata, HTML video), or it
// is the file itself.
bool IsWebAddress(const std::string& text);
// A web address whose path ends in a video or audio file extension (.mp4 .m4v .webm .mkv .mov
// .flv .ogv .mp3 .m4a .ogg .opus, any letter case): the one kind of ordinary link the clipboard
// pick-up takes besides the three sites' watch pages.
bool IsMediaFileAddress(const std::string& text);
std::string NormalizeVideoAddress(const std::string& address);
// The longest file name, in bytes, CleanFileName gives: the file system's 255 less room for
// what the program adds to a name: a number when the name is taken (" (999)") and the helper
// files of a download in progress (".audio.part.meta.tmp", ".audio.part.s99999").
constexpr std::size_t MaxCleanFileNameBytes = 255 - 32;

// A name a file can really be created under, that reads as the title did and shows what it is.
// The text is read as UTF-8, stray bytes as Latin-1, and written as UTF-8. Separators that
// cannot stand in a name become a dash ("a/b: c" reads "a-b - c": / \ | < > and the colon),
// ? and * are dropped, and so are control characters (C0, DEL, C1) and bidirectional controls
// (a right-to-left override could make "clip\u202Egpj.mp4" show as "clipmp4.jpg"). Leading dots,
// dashes and blanks go (no hidden files, no names that read as options). A name that is then empty, or only dots and blanks before its
// extension, becomes "video" with that extension. A name longer than MaxCleanFileNameBytes is
// cut at a UTF-8 character boundary, keeping its extension.
std::string CleanFileName(const std::string& text);
// Where a file name's extension starts: its last dot, when a short word without blanks follows
// (".flv", ".mp4", ".webm"; a dot in the middle of a title, "Vol. 2 of 3", is none); the
// name's size when it has none.
std::size_t NameExtensionStart(const std::string& name);
// False when no such file; else true when the file cannot be opened for exclusive use.
bool IsFileInUse(const std::string& path);
std::string TwoDigitText(int n);

bool IsProxyEnabled();
std::string GetSystemProxy();
void GetProxyForProtocol(const std::string& protocol, std::string& host, int& port);
// The rule of GetProxyForProtocol on a given proxy list text: "host:port" for every protocol,
// or "ftp=h:p;http=h:p;https=h:p". Empty host and port 0 when nothing is named.
void ProxyFromList(const std::string& list, const std::string& protocol, std::string& host, int& port);

// Kilobytes rounded up, digits grouped by "," from the right: 1263616 -> "1,234".
std::string FormatKilobytes(std::int64_t bytes);

// The folder chooser: folder is cleared first unless it names an existing folder; true and the
// chosen path in folder when the user picked one. root is accepted for the caller's benefit but
// the chooser starts at the user's default place.
bool BrowseForFolder(const std::string& title, const std::string& root, std::string& folder);

} // namespace cw
