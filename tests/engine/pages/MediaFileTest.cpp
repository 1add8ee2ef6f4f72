// Names of files that come from today's web: Content-Disposition (extended name first), the
// address's last segment, the extension from the answer's type.

#include "engine/pages/MediaFile.h"
#include "platform/MediaTypes.h"

#include <gtest/gtest.h>

using namespace cw;

TEST(MediaFile, NamesFromTheAnswerAndTheAddress)
{
    const struct {
        const char* Disposition;
        const char* Expected;
    } dispositions[] = {
        {"attachment; filename=\"plain.mp4\"", "plain.mp4"},
        {"attachment; filename*=UTF-8''%E2%82%AC%20rates.webm; filename=\"fallback.webm\"", "\xE2\x82\xAC rates.webm"},
        {"attachment; filename=\"fallback.webm\"; filename*=utf-8''first%20wins.webm", "first wins.webm"},
        {"attachment; filename*=iso-8859-1'en'%E9t%E9.mp3", "\xC3\xA9t\xC3\xA9.mp3"},
        {"inline; filename=token.ogv", "token.ogv"},
        {"attachment; filename=\"a \\\"quoted\\\" name.mp4\"", "a \"quoted\" name.mp4"},
        {"attachment; filename=\"../../etc/passwd\"", "passwd"},
        {"attachment; filename*=UTF-8''..%2F..%2Fescape.mp4", "escape.mp4"},
        {"attachment", ""},
        {"attachment; filename*=unknown''x.mp4", ""},
    };
    for (const auto& d : dispositions)
        EXPECT_EQ(DispositionFileName(d.Disposition), d.Expected) << d.Disposition;

    EXPECT_EQ(AddressFileName("https://cdn.example.org/a/My%20Clip.mp4?sig=1#t"), "My Clip.mp4");
    EXPECT_EQ(AddressFileName("https://cdn.example.org/a/"), "");
    EXPECT_EQ(AddressFileName("https://cdn.example.org"), "");

    EXPECT_EQ(MediaFileName("Evening News", ".webm"), "Evening News.webm");
    EXPECT_EQ(MediaFileName("clip.MP4", ".webm"), "clip.MP4");
    EXPECT_EQ(MediaFileName("a/b:c?.bin", ".mp4"), "a-b-c.bin.mp4");
    EXPECT_EQ(MediaFileName("line\nbreak", ".mp3"), "line break.mp3");

    EXPECT_EQ(ExtensionForAnswer("video/webm; codecs=vp9", "https://x.example/v"), ".webm");
    EXPECT_EQ(ExtensionForAnswer("Audio/MPEG", "https://x.example/v"), ".mp3");
    EXPECT_EQ(ExtensionForAnswer("application/octet-stream", "https://x.example/v.mkv?x"), ".mkv");
    EXPECT_EQ(ExtensionForAnswer("video/x-unknown", "https://x.example/v"), ".mp4");
}

// Which answers are the file itself and which are read: only pages, text and playlists are read,
// whatever else a server calls its file.
TEST(MediaFile, AnyAnswerButPagesTextAndPlaylistsIsTheFile)
{
    const struct {
        const char* Type;
        const char* Address;
        const char* Disposition;
        bool IsFile;
    } cases[] = {
        {"video/mp4", "https://x.example/v", "", true},
        {"application/octet-stream", "https://x.example/big.bin", "", true},
        {"binary/octet-stream", "https://x.example/download?id=3", "", true},
        {"application/x-matroska", "https://x.example/v", "", true},
        {"application/json", "https://x.example/data", "", true},
        {"text/html; charset=utf-8", "https://x.example/v.mp4", "", false},
        {"application/xhtml+xml", "https://x.example/page", "", false},
        {"text/plain", "https://x.example/list", "", false},
        {"", "https://x.example/v.mp4", "", false},
        {"application/vnd.apple.mpegurl", "https://x.example/a", "", false},
        {"Audio/X-MpegURL", "https://x.example/a", "", false},
        {"application/dash+xml", "https://x.example/a", "", false},
        {"application/octet-stream", "https://x.example/live/index.m3u8?t=1", "", false},
        {"application/octet-stream", "https://x.example/get", "attachment; filename=\"show.mpd\"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsMediaType(c.Type, c.Address, c.Disposition), c.IsFile) << c.Type << " " << c.Address;
}
