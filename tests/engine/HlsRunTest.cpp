// Streams made by the real ffmpeg at test time (MPEG-TS with AES-128 and separate audio behind a
// master playlist, fragmented MP4, one TS file cut by byte ranges), served by nginx, fetched by
// the engine into one .mp4 whose decoded video frames equal the source's.

#include "StreamRunSupport.h"
#include "convert/ConvertThread.h"
#include "convert/FormatPresets.h"
#include "engine/core/PartFile.h"
#include "engine/core/ResumeJournal.h"
#include "engine/streams/HlsPlaylist.h"
#include "support/ExternalServers.h"
#include "support/Files.h"
#include "support/HttpTestServer.h"
#include "support/TlsTestPki.h"
#include "support/VideoSites.h"

#include <gtest/gtest.h>

#include <QProcess>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

using enginetest::EngineRun;
using enginetest::TestRunOwner;

namespace {

using namespace streamtest;

class HlsRun : public streamtest::StreamRun<HlsRun> {
protected:
    static void SetUpTestSuite()
    {
        Docs = std::make_unique<cwtest::TempDir>("cw-hls");
        const std::string d = Docs->Path();
        const QString src = QString::fromStdString(d + "/src.mp4");
        Ffmpeg({"-f",   "lavfi", "-i",        "testsrc=size=320x240:rate=25",
                "-f",   "lavfi", "-i",        "sine=frequency=330",
                "-t",   "8",     "-c:v",      "libx264",
                "-g",   "25",    "-pix_fmt",  "yuv420p",
                "-c:a", "aac",   "-shortest", src});
        // MPEG-TS under AES-128: two variants (the larger one the source's own video) and one
        // audio rendition of its own.
        std::filesystem::create_directories(d + "/ts");
        WriteFile(d + "/ts/k.key", std::string("0123456789abcdef"));
        WriteFile(d + "/keyinfo", "k.key\n" + d + "/ts/k.key\n00112233445566778899aabbccddeeff\n");
        Ffmpeg({"-i",
                src,
                "-map",
                "0:v",
                "-map",
                "0:v",
                "-map",
                "0:a",
                "-c:v:0",
                "libx264",
                "-s:v:0",
                "160x120",
                "-c:v:1",
                "copy",
                "-c:a",
                "copy",
                "-f",
                "hls",
                "-hls_time",
                "2",
                "-hls_playlist_type",
                "vod",
                "-hls_segment_type",
                "mpegts",
                "-hls_key_info_file",
                QString::fromStdString(d + "/keyinfo"),
                "-master_pl_name",
                "master.m3u8",
                "-var_stream_map",
                "v:0,agroup:a v:1,agroup:a a:0,agroup:a,default:yes",
                "-hls_segment_filename",
                QString::fromStdString(d + "/ts/v%v_%03d.ts"),
                QString::fromStdString(d + "/ts/v%v.m3u8")});
        std::filesystem::create_directories(d + "/fmp4");
        Ffmpeg({"-i", src, "-c", "copy", "-f", "hls", "-hls_time", "2", "-hls_playlist_type", "vod",
                "-hls_segment_type", "fmp4", "-hls_segment_filename", QString::fromStdString(d + "/fmp4/s%03d.m4s"),
                QString::fromStdString(d + "/fmp4/clip.m3u8")});
        std::filesystem::create_directories(d + "/one");
        Ffmpeg({"-i", src, "-c", "copy", "-f", "hls", "-hls_time", "2", "-hls_playlist_type", "vod", "-hls_flags",
                "single_file", "-hls_segment_filename", QString::fromStdString(d + "/one/all.ts"),
                QString::fromStdString(d + "/one/all.m3u8")});
        WriteFile(d + "/page.html", "<html><head><title>Stream Page</title></head><body><video controls>"
                                    "<source src=\"ts/master.m3u8\" type=\"application/vnd.apple.mpegurl\"></video>"
                                    "</body></html>");
        // A page that declares a file where its server answers with a playlist.
        WriteFile(d + "/og.html", "<html><head><meta property=\"og:title\" content=\"Declared File\">"
                                  "<meta property=\"og:video\" content=\"/declared.webm\">"
                                  "<meta property=\"og:video:type\" content=\"video/webm\"></head></html>");
        // AES-128 without an IV of its own, numbered from 7: each segment's IV is its media
        // sequence number, not its place in the playlist.
        std::filesystem::create_directories(d + "/seq");
        WriteFile(d + "/seq/k.key", std::string("fedcba9876543210"));
        WriteFile(d + "/keyinfo-seq", "k.key\n" + d + "/seq/k.key\n");
        Ffmpeg({"-i", src, "-c", "copy", "-f", "hls", "-hls_time", "2", "-hls_playlist_type", "vod", "-start_number",
                "7", "-hls_key_info_file", QString::fromStdString(d + "/keyinfo-seq"), "-hls_segment_filename",
                QString::fromStdString(d + "/seq/s%03d.ts"), QString::fromStdString(d + "/seq/seq.m3u8")});
        // A stream whose key and segments are refused without the cookie its playlist sets.
        std::filesystem::create_directories(d + "/locked");
        WriteFile(d + "/locked/k.key", std::string("0f1e2d3c4b5a6978"));
        WriteFile(d + "/keyinfo-locked", "k.key\n" + d + "/locked/k.key\n");
        Ffmpeg({"-i", src, "-c", "copy", "-f", "hls", "-hls_time", "2", "-hls_playlist_type", "vod",
                "-hls_key_info_file", QString::fromStdString(d + "/keyinfo-locked"), "-hls_segment_filename",
                QString::fromStdString(d + "/locked/s%03d.ts"), QString::fromStdString(d + "/locked/index.m3u8")});
        // Two plain streams of the same length and segment count, for a stream that changes
        // between two runs.
        const QString other = QString::fromStdString(d + "/other.mp4");
        Ffmpeg({"-f",   "lavfi", "-i",        "testsrc2=size=320x240:rate=25",
                "-f",   "lavfi", "-i",        "sine=frequency=550",
                "-t",   "8",     "-c:v",      "libx264",
                "-g",   "25",    "-pix_fmt",  "yuv420p",
                "-c:a", "aac",   "-shortest", other});
        for (const char* name : {"plain", "plain2"}) {
            std::filesystem::create_directories(d + "/" + name);
            Ffmpeg({"-i", std::string(name) == "plain" ? src : other, "-c", "copy", "-f", "hls", "-hls_time", "2",
                    "-hls_playlist_type", "vod", "-hls_segment_filename",
                    QString::fromStdString(d + "/" + name + "/p%03d.ts"),
                    QString::fromStdString(d + "/" + name + "/index.m3u8")});
        }
        OtherFrames = VideoFrames(d + "/other.mp4");
        SourceFrames = VideoFrames(d + "/src.mp4");
        Nginx = std::make_unique<cwtest::NginxServer>(
            d, "types { text/html html; application/vnd.apple.mpegurl m3u8; video/mp2t ts; "
               "video/mp4 mp4; text/vtt vtt; }\n"
               "location = /declared.webm { return 302 /fmp4/clip.m3u8; }\n"
               "location /locked/ { if ($cookie_hls != \"yes\") { return 403; } }\n"
               "location = /locked/index.m3u8 {\n"
               "  add_header Set-Cookie \"hls=yes; Path=/locked; HttpOnly\"; }");
    }
    static inline std::string OtherFrames;
};

TEST_F(HlsRun, EachKindOfStreamBecomesOneFileWithTheSourcesFrames)
{
    struct Case {
        const char* Address;
        const char* Saved;
    };
    const Case cases[] = {
        {"/page.html", "Stream Page.mp4"},    // a page's <source>: TS, AES-128, separate audio, the HD variant
        {"/fmp4/clip.m3u8", "clip.mp4"},      // fragmented MP4 is kept as it is
        {"/one/all.m3u8", "all.mp4"},         // one TS file cut by byte ranges
        {"/og.html", "Declared File.mp4"},    // a "video/webm" whose address relocates to a playlist
        {"/seq/seq.m3u8", "seq.mp4"},         // AES-128 with IVs from a media sequence that starts at 7
        {"/locked/index.m3u8", "stream.mp4"}, // the playlist sets the cookie its key and segments need
    };
    for (const Case& c : cases) {
        const std::string saved = Out.Path() + "/" + c.Saved;
        std::filesystem::remove(saved);
        EngineRun run({Nginx->Url(c.Address)}, cw::jmDownload, Owner);
        ASSERT_TRUE(run.Run(60000)) << c.Address;
        EXPECT_EQ(std::vector<std::string>{"done"}, run.Events.Ended) << c.Address;
        EXPECT_TRUE(SourceFrames == VideoFrames(saved)) << c.Address;
        EXPECT_EQ("video audio 8", StreamKinds(saved)) << c.Address;
        EXPECT_EQ(run.Events.Size, run.Events.Bytes) << c.Address;
        for (const char* left : {".part", ".audio.part", ".part.meta"})
            EXPECT_FALSE(std::filesystem::exists(saved + left)) << c.Address << left;
    }
}

TEST_F(HlsRun, StreamsThatCannotBecomeAWholeVideoFailWithTheirReason)
{
    const std::string head = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n";
    const std::string seg = "#EXTINF:2,\n../ts/v1_000.ts\n";
    struct Case {
        const char* Name;
        std::string Text;
        std::string Reason;
    };
    const Case cases[] = {
        {"live", head + seg + seg, "live streams are not supported"},
        {"sample", head + "#EXT-X-KEY:METHOD=SAMPLE-AES,URI=\"k.key\"\n" + seg + "#EXT-X-ENDLIST\n",
         "the stream is protected (SAMPLE-AES)"},
        {"shortkey", head + "#EXT-X-KEY:METHOD=AES-128,URI=\"short.key\"\n" + seg + "#EXT-X-ENDLIST\n",
         "the key " + Nginx->Url("/bad/short.key") + " is 15 bytes long, not 16"},
        {"wrongkey", head + "#EXT-X-KEY:METHOD=AES-128,URI=\"wrong.key\"\n" + seg + "#EXT-X-ENDLIST\n",
         "segment 1 of 1 (" + Nginx->Url("/ts/v1_000.ts") + "): the segment does not decrypt (wrong key or cut short)"},
        {"past", head + "#EXTINF:2,\n#EXT-X-BYTERANGE:100000000@0\n../one/all.ts\n#EXT-X-ENDLIST\n",
         "segment 1 of 1 (" + Nginx->Url("/one/all.ts") + "): "},
        {"scheme", head + "#EXTINF:2,\nfile:///etc/passwd\n#EXT-X-ENDLIST\n", "is malformed: line 4: "},
        {"missing", head + "#EXTINF:2,\nnone.ts\n#EXT-X-ENDLIST\n",
         "segment 1 of 1 (" + Nginx->Url("/bad/none.ts") + "): the server answered 404 Not Found"},
        // The segments of a stream that wants its playlist's cookie, from a playlist that sets none.
        {"nocookie", head + "#EXTINF:2,\n../locked/s000.ts\n#EXT-X-ENDLIST\n",
         "segment 1 of 1 (" + Nginx->Url("/locked/s000.ts") + "): the server answered 403 Forbidden"},
        // An error page served as a success would be a hole in the video.
        {"html", head + "#EXTINF:2,\n../plain/p000.ts\n#EXTINF:2,\n../page.html\n#EXT-X-ENDLIST\n",
         "segment 2 of 2 (" + Nginx->Url("/page.html") + "): is not video: the server sent a web page as text/html (6 tries)"},
        {"toolong",
         "#EXTM3U\n#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"a\",NAME=\"main\",DEFAULT=YES,URI=\"long-a.m3u8\"\n"
         "#EXT-X-STREAM-INF:BANDWIDTH=1000,AUDIO=\"a\"\nlong-v.m3u8\n",
         "the stream has 200,002 segments; at most 200,000 are fetched"},
    };
    std::filesystem::create_directories(Doc("bad"));
    // Video and audio of as many segments as a playlist may list, each with its section: more
    // than a stream fetches.
    std::string longest = head + "#EXT-X-MAP:URI=\"../ts/init.mp4\"\n";
    for (std::size_t i = 0; i < cw::MaxHlsSegments; ++i)
        longest += seg;
    WriteFile(Doc("bad/long-v.m3u8"), longest + "#EXT-X-ENDLIST\n");
    WriteFile(Doc("bad/long-a.m3u8"), longest + "#EXT-X-ENDLIST\n");
    WriteFile(Doc("bad/short.key"), std::string(15, 'k'));
    WriteFile(Doc("bad/wrong.key"), std::string(16, 'w'));
    for (const Case& c : cases) {
        WriteFile(Doc(std::string("bad/") + c.Name + ".m3u8"), c.Text);
        const std::string address = Nginx->Url(std::string("/bad/") + c.Name + ".m3u8");
        EngineRun run({address}, cw::jmDownload, Owner);
        run.Engine().SetRetryDelays({20, 20, 20, 20, 20});
        ASSERT_TRUE(run.Run(30000)) << c.Name;
        ASSERT_EQ(1u, run.Events.Ended.size()) << c.Name;
        EXPECT_EQ(0u, run.Events.Ended[0].find("Unable download video from " + address + ": ")) << run.Events.Ended[0];
        EXPECT_NE(std::string::npos, run.Events.Ended[0].find(c.Reason)) << run.Events.Ended[0];
        EXPECT_FALSE(std::filesystem::exists(Out.Path() + "/" + c.Name + ".mp4")) << c.Name;
    }
}

// A playlist or segment cut short is asked for again; a run stopped in the middle resumes by
// segment: what was written is not fetched again.
TEST_F(HlsRun, WhatIsCutIsFetchedAgainAndAStoppedRunResumesBySegment)
{
    cwtest::HttpTestServer server;
    std::mutex lock;
    std::map<std::string, int> cuts = {{"/ts/v1.m3u8", 1}, {"/ts/v1_002.ts", 1}}; // each cut once
    std::map<std::string, int> asked;
    server.On("/*", [&](const cwtest::HttpTestRequest& rq, cwtest::HttpTestConnection& c) {
        const std::string path = rq.PathOnly();
        const std::string body = ReadFile(Doc(path.substr(1)));
        {
            std::lock_guard<std::mutex> g(lock);
            ++asked[path];
        }
        if (body.empty()) {
            c.Reply(404, "Not Found", {}, "none");
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(40)); // a distant host
        bool cut = false;
        {
            std::lock_guard<std::mutex> g(lock);
            cut = cuts[path]-- > 0;
        }
        if (cut) {
            c.Send("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                   body.substr(0, body.size() / 2));
            c.Close();
            return;
        }
        c.Reply(200, "OK", {}, body);
    });
    const std::string address = server.Url("/ts/master.m3u8");
    const std::string saved = Out.Path() + "/stream.mp4"; // a master playlist's name says nothing
    Owner.ConnectionsPerFile = 2;
    {
        EngineRun run({address}, cw::jmDownload, Owner);
        run.Engine().SetRetryDelays({50, 50});
        run.Events.OnBytes = [&](std::int64_t) {
            std::lock_guard<std::mutex> g(lock);
            if (asked["/ts/v1_002.ts"] > 1)
                run.Engine().Stop();
        };
        run.Run(30000);
        EXPECT_TRUE(run.Engine().Stopped());
    }
    EXPECT_TRUE(std::filesystem::exists(saved + ".part"));
    const std::optional<cw::TResumeJournal> meta = cw::ReadJournal(saved + ".part.meta");
    ASSERT_TRUE(meta.has_value());
    EXPECT_EQ(cw::jkStream, meta->Kind);
    EXPECT_EQ(address, meta->Url);
    std::map<std::string, int> before;
    {
        std::lock_guard<std::mutex> g(lock);
        before = asked;
    }
    EXPECT_EQ(2, before["/ts/v1.m3u8"]);   // a playlist cut once is asked again,
    EXPECT_EQ(2, before["/ts/v1_002.ts"]); // as a segment is

    EngineRun again({address}, cw::jmDownload, Owner);
    ASSERT_TRUE(again.Run(60000));
    EXPECT_EQ(std::vector<std::string>{"done"}, again.Events.Ended);
    EXPECT_TRUE(SourceFrames == VideoFrames(saved));
    std::lock_guard<std::mutex> g(lock);
    // Written before the stop: asked again only for the first bytes that show it is the same.
    EXPECT_EQ(before["/ts/v1_000.ts"] + 1, asked["/ts/v1_000.ts"]);
    EXPECT_FALSE(std::filesystem::exists(saved + ".part.meta"));
}

// Streams of different addresses under one name in one run: the second gets a number, nobody
// is asked to overwrite, and a second run skips both without fetching them.
// Subtitles in the user's language ("de") go beside the video under its final name, from a
// page's <track>s or a stream's subtitle rendition; a subtitle that fails is a note and the
// item is still done.
TEST_F(HlsRun, SubtitlesInTheUsersLanguageAreSavedBesideTheVideo)
{
    const std::string de = "WEBVTT\n\n1\n00:00:01.000 --> 00:00:02.000\nHallo\n";
    std::filesystem::create_directories(Doc("subs"));
    WriteFile(Doc("subs/de.vtt"), de);
    WriteFile(Doc("subs/en.vtt"), "WEBVTT\n\n1\n00:00:01.000 --> 00:00:02.000\nHello\n");
    WriteFile(Doc("subs/chapters.vtt"), "WEBVTT\n\n00:00:00.000 --> 00:00:08.000\nChapter 1\n");
    auto page = [&](const char* name, const char* title, const char* video, const std::string& tracks) {
        WriteFile(Doc(std::string("subs/") + name), std::string("<html><head><title>") + title +
                                                        "</title></head><body><video src=\"" + video + "\">" + tracks +
                                                        "</video></body></html>");
    };
    // Chapters in German come first: they are no subtitles.
    const std::string both = "<track kind=\"chapters\" srclang=\"de\" src=\"chapters.vtt\">"
                             "<track kind=\"subtitles\" srclang=\"en\" src=\"en.vtt\" default>"
                             "<track kind=\"captions\" srclang=\"de\" src=\"de.vtt\">";
    page("tracks.html", "Tracks", "../src.mp4", both);
    page("tracks2.html", "Tracks", "../src.mp4?second", both);
    page("missing.html", "Missing", "../src.mp4?missing", "<track srclang=\"de\" src=\"none.vtt\">");
    page("html.html", "Html Answer", "../src.mp4?html", "<track srclang=\"de\" src=\"../page.html\">");
    page("off.html", "Off", "../src.mp4?off", both);
    page("kept.html", "Kept", "../src.mp4?kept", both);
    WriteFile(Out.Path() + "/Kept.de.vtt", "mine");
    // A subtitle rendition of two segments on one clock, a cue repeated over their boundary.
    WriteFile(Doc("subs/de1.vtt"), "WEBVTT\nX-TIMESTAMP-MAP=MPEGTS:900000,LOCAL:00:00:00.000\n\n"
                                   "00:00:00.500 --> 00:00:01.500\nErster\n\n00:00:03.000 --> 00:00:04.500\nGrenze\n");
    WriteFile(Doc("subs/de2.vtt"), "WEBVTT\nX-TIMESTAMP-MAP=MPEGTS:900000,LOCAL:00:00:00.000\n\n"
                                   "00:00:03.000 --> 00:00:04.500\nGrenze\n\n00:00:05.000 --> 00:00:06.000\nZweiter\n");
    WriteFile(Doc("subs/de.m3u8"), "#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXT-X-PLAYLIST-TYPE:VOD\n#EXTINF:4,\nde1.vtt\n"
                                   "#EXTINF:4,\nde2.vtt\n#EXT-X-ENDLIST\n");
    WriteFile(Doc("subs/en.m3u8"), "#EXTM3U\n#EXT-X-TARGETDURATION:8\n#EXTINF:8,\nen.vtt\n#EXT-X-ENDLIST\n");
    WriteFile(
        Doc("subs/subbed.m3u8"),
        "#EXTM3U\n"
        "#EXT-X-MEDIA:TYPE=SUBTITLES,GROUP-ID=\"s\",NAME=\"English\",LANGUAGE=\"en\",DEFAULT=YES,URI=\"en.m3u8\"\n"
        "#EXT-X-MEDIA:TYPE=SUBTITLES,GROUP-ID=\"s\",NAME=\"Deutsch\",LANGUAGE=\"de\",URI=\"de.m3u8\"\n"
        "#EXT-X-STREAM-INF:BANDWIDTH=500000,RESOLUTION=320x240,SUBTITLES=\"s\"\n../plain/index.m3u8\n");
    // A track whose pieces repeat one another adds nothing, but it is not fetched without end.
    std::string big = "WEBVTT\n";
    while (big.size() < (1u << 20))
        big += "\n00:00:01.000 --> 00:00:02.000\n" + std::string(200, 'x') + "\n";
    WriteFile(Doc("subs/big.vtt"), big);
    std::string repeated = "#EXTM3U\n#EXT-X-TARGETDURATION:1\n";
    for (int i = 0; i < 30; ++i)
        repeated += "#EXTINF:1,\nbig.vtt\n";
    WriteFile(Doc("subs/repeated.m3u8"), repeated + "#EXT-X-ENDLIST\n");
    WriteFile(Doc("subs/huge.m3u8"),
              "#EXTM3U\n#EXT-X-MEDIA:TYPE=SUBTITLES,GROUP-ID=\"s\",NAME=\"D\",LANGUAGE=\"de\",URI=\"repeated.m3u8\"\n"
              "#EXT-X-STREAM-INF:BANDWIDTH=500000,SUBTITLES=\"s\"\n../plain/index.m3u8\n");
    const std::string joined = "WEBVTT\n\n00:00:00.500 --> 00:00:01.500\nErster\n\n00:00:03.000 --> 00:00:04.500\n"
                               "Grenze\n\n00:00:05.000 --> 00:00:06.000\nZweiter\n";
    struct Case {
        const char* Address;
        bool Subtitles;
        const char* Video;
        const char* Subtitle; // the file beside it, "" for none
        std::string Text;     // what it holds
        std::string Note;     // the note about it, "" for none
    };
    const Case cases[] = {
        {"/subs/tracks.html", true, "Tracks.mp4", "Tracks.de.vtt", de, ""},
        {"/subs/tracks2.html", true, "Tracks (2).mp4", "Tracks (2).de.vtt", de, ""}, // the video's number
        {"/subs/missing.html", true, "Missing.mp4", "", "",
         "item 1: subtitle not saved: the subtitle " + Nginx->Url("/subs/none.vtt") +
             ": the server answered 404 Not Found"},
        {"/subs/html.html", true, "Html Answer.mp4", "", "",
         "item 1: subtitle not saved: the subtitle " + Nginx->Url("/page.html") +
             ": is not WebVTT (the server sent text/html)"},
        {"/subs/off.html", false, "Off.mp4", "", "", ""},
        // A new video leaves a subtitle file of its name that was there alone.
        {"/subs/kept.html", true, "Kept.mp4", "Kept.de.vtt", "mine",
         "item 1: subtitle not saved: Kept.de.vtt is there already"},
        {"/subs/subbed.m3u8", true, "subbed.mp4", "subbed.de.vtt", joined, ""},
        {"/subs/huge.m3u8", true, "huge.mp4", "", "",
         "item 1: subtitle not saved: the subtitle track's files are larger than 20 MiB together"},
    };
    for (const Case& c : cases) {
        Owner.Subtitles = c.Subtitles;
        EngineRun run({Nginx->Url(c.Address)}, cw::jmDownload, Owner);
        ASSERT_TRUE(run.Run(60000)) << c.Address;
        EXPECT_EQ(std::vector<std::string>{"done"}, run.Events.Ended) << c.Address;
        EXPECT_TRUE(std::filesystem::exists(Out.Path() + "/" + c.Video)) << c.Address;
        std::vector<std::string> vtt;
        for (const auto& entry : std::filesystem::directory_iterator(Out.Path()))
            if (entry.path().extension() == ".vtt" || entry.path().extension() == ".part")
                vtt.push_back(entry.path().filename().string());
        if (*c.Subtitle) {
            EXPECT_EQ(c.Text, ReadFile(Out.Path() + "/" + c.Subtitle)) << c.Address;
            EXPECT_EQ(c.Note.empty() ? std::vector<std::string>{c.Subtitle} : std::vector<std::string>{},
                      run.Events.Subtitles)
                << c.Address;
        } else {
            EXPECT_TRUE(run.Events.Subtitles.empty()) << c.Address;
        }
        EXPECT_EQ(c.Note.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.Note}, run.Events.Notes)
            << c.Address;
        for (const std::string& name : vtt) // nothing but the subtitles asked for, and no leftovers
            EXPECT_TRUE(name == "Tracks.de.vtt" || name == "Tracks (2).de.vtt" || name == "Kept.de.vtt" ||
                        name == "subbed.de.vtt")
                << c.Address << ": " << name;
    }
    Owner.Subtitles = true;

    // A video that replaces its own file replaces its subtitle too.
    WriteFile(Out.Path() + "/Tracks.de.vtt", "old");
    Owner.Replace = true;
    EngineRun replaced({Nginx->Url("/subs/tracks.html")}, cw::jmDownload, Owner);
    ASSERT_TRUE(replaced.Run(60000));
    Owner.Replace = false;
    EXPECT_EQ(std::vector<std::string>{"done"}, replaced.Events.Ended);
    EXPECT_EQ(de, ReadFile(Out.Path() + "/Tracks.de.vtt"));
    EXPECT_TRUE(replaced.Events.Notes.empty());

    // ffmpeg's own subtitle rendition: WebVTT segments without a language, the default track.
    std::filesystem::create_directories(Doc("ffsubs"));
    WriteFile(Doc("ffsubs/s.srt"), "1\n00:00:01,000 --> 00:00:02,000\nOne\n\n2\n00:00:05,000 --> 00:00:06,500\nTwo\n");
    Ffmpeg({"-i",
            QString::fromStdString(Doc("src.mp4")),
            "-i",
            QString::fromStdString(Doc("ffsubs/s.srt")),
            "-map",
            "0:v",
            "-map",
            "0:a",
            "-map",
            "1:s",
            "-c:v",
            "copy",
            "-c:a",
            "copy",
            "-c:s",
            "webvtt",
            "-f",
            "hls",
            "-hls_time",
            "4",
            "-hls_playlist_type",
            "vod",
            "-master_pl_name",
            "talk.m3u8",
            "-var_stream_map",
            "v:0,a:0,s:0,sgroup:subs",
            "-hls_segment_filename",
            QString::fromStdString(Doc("ffsubs/v%v_%03d.ts")),
            QString::fromStdString(Doc("ffsubs/v%v.m3u8"))});
    ASSERT_FALSE(ReadFile(Doc("ffsubs/talk.m3u8")).empty()) << "ffmpeg made no subtitle rendition";
    EngineRun run({Nginx->Url("/ffsubs/talk.m3u8")}, cw::jmDownload, Owner);
    ASSERT_TRUE(run.Run(60000));
    EXPECT_EQ(std::vector<std::string>{"done"}, run.Events.Ended);
    EXPECT_EQ(std::vector<std::string>{"talk.vtt"}, run.Events.Subtitles);
    EXPECT_TRUE(run.Events.Notes.empty());
    const std::string text = ReadFile(Out.Path() + "/talk.vtt");
    EXPECT_EQ(0u, text.find("WEBVTT\n")) << text;
    EXPECT_EQ(text.rfind("WEBVTT"), 0u) << text; // one header
    EXPECT_LT(text.find("\nOne\n"), text.find("\nTwo\n")) << text;
    EXPECT_NE(std::string::npos, text.find("\nTwo\n")) << text;
}

TEST_F(HlsRun, TwoStreamsOfOneNameAreBothKept)
{
    const std::vector<std::string> items = {Nginx->Url("/fmp4/clip.m3u8"), Nginx->Url("/fmp4/clip.m3u8?copy=2")};
    for (const char* name : {"clip.mp4", "clip (2).mp4"})
        std::filesystem::remove(Out.Path() + "/" + name);
    EngineRun run(items, cw::jmDownload, Owner);
    ASSERT_TRUE(run.Run(60000));
    EXPECT_EQ((std::vector<std::string>{"done", "done"}), run.Events.Ended);
    EXPECT_TRUE(run.Events.Questions.empty());
    for (const char* name : {"clip.mp4", "clip (2).mp4"})
        EXPECT_TRUE(SourceFrames == VideoFrames(Out.Path() + "/" + name)) << name;

    EngineRun again(items, cw::jmDownload, Owner);
    ASSERT_TRUE(again.Run(60000));
    EXPECT_EQ((std::vector<std::string>{"skipped", "skipped"}), again.Events.Ended);
    EXPECT_TRUE(again.Events.Questions.empty());
}

// As a user meets it today: a page over https, reached through the system proxy, whose <video>
// names a master playlist with AES-128 segments and separate audio; HD, downloaded and converted.
TEST_F(HlsRun, AnHttpsPageThroughTheProxyIsDownloadedAndConverted)
{
    if (!cwtest::TlsTestPki::Get().Ready())
        GTEST_SKIP() << cwtest::TlsTestPki::Get().Error();
    cwtest::TlsNginx secure(Docs->Path(), "localhost", "types { text/html html; application/vnd.apple.mpegurl m3u8; }");
    cwtest::TinyproxyServer proxy;
    if (!secure.Started() || !proxy.Started())
        GTEST_SKIP() << "nginx or tinyproxy did not start";
    cwtest::ScopedHttpProxy viaProxy("http://127.0.0.1:" + proxy.PortText() + "/");
    const std::string page = "https://localhost:" + secure.TlsPort() + "/page.html";
    EngineRun run({page}, cw::jmDownloadConvert, Owner);
    run.Engine().SetJob(cw::jmDownloadConvert, ".mp3", cw::FormatArguments(7));
    ASSERT_TRUE(run.Run(60000));
    EXPECT_EQ(std::vector<std::string>{"done"}, run.Events.Ended);
    EXPECT_TRUE(SourceFrames == VideoFrames(Out.Path() + "/Stream Page.mp4"));
    EXPECT_EQ("video audio 8", StreamKinds(Out.Path() + "/Stream Page.mp4"));
    EXPECT_EQ("audio 8", StreamKinds(Out.Path() + "/Stream Page.mp3"));
    const std::string log = ReadFile(proxy.Dir() + "/tinyproxy.log");
    EXPECT_NE(std::string::npos, log.find("CONNECT")) << "the stream did not go through the proxy";
}

// A run stopped part way, then the stream or what was kept of it changed before the next run: the
// next run never joins two versions, and never keeps bytes it cannot prove. Other segment
// addresses change the playlist; the same names with other pictures are found by asking each kept
// segment's first bytes again; a damaged kept part by its hashes.
TEST_F(HlsRun, AStreamThatChangedBetweenTwoRunsStartsOverInsteadOfJoiningTwoVersions)
{
    const auto playlist = [](const std::string& dir, const std::string& segments) {
        std::string text = ReadFile(Doc(dir + "/index.m3u8"));
        std::string out;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            out += (line.empty() || line[0] == '#' ? line : "../" + segments + "/" + line) + "\n";
        return out;
    };
    const auto copySegments = [](const std::string& from, const std::string& to) {
        std::filesystem::create_directories(Doc(to));
        for (const auto& e : std::filesystem::directory_iterator(Doc(from)))
            if (e.path().extension() == ".ts")
                std::filesystem::copy_file(e.path(), Doc(to) + "/" + e.path().filename().string(),
                                           std::filesystem::copy_options::overwrite_existing);
    };
    const struct {
        const char* Name;
        std::function<void(const std::string& dir, const std::string& saved)> Change;
        bool Other; // the new stream is the other one
    } cases[] = {
        {"other segment addresses",
         [&](const std::string& dir, const std::string&) {
             WriteFile(Doc(dir + "/list.m3u8"), playlist("plain2", "plain2"));
         },
         true},
        {"same names, other pictures",
         [&](const std::string& dir, const std::string&) { copySegments("plain2", dir + "/seg"); }, true},
        {"a kept byte changed",
         [](const std::string&, const std::string& saved) {
             std::fstream f(saved + ".part", std::ios::in | std::ios::out | std::ios::binary);
             f.seekp(1000);
             f.put('\x5a');
         },
         false},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.Name);
        const std::string dir = "chg" + std::to_string(&k - cases);
        copySegments("plain", dir + "/seg");
        WriteFile(Doc(dir + "/list.m3u8"), playlist("plain", dir + "/seg"));
        const std::string address = Nginx->Url("/" + dir + "/list.m3u8");
        const std::string saved = Out.Path() + "/list.mp4";
        std::filesystem::remove(saved);
        Owner.ConnectionsPerFile = 1;
        {
            EngineRun run({address}, cw::jmDownload, Owner);
            // Once the first segment is in and the second under way.
            const auto first = static_cast<std::int64_t>(std::filesystem::file_size(Doc("plain/p000.ts")));
            run.Events.OnBytes = [&](std::int64_t bytes) {
                if (bytes > first)
                    run.Engine().Stop();
            };
            run.Run(30000);
            EXPECT_TRUE(run.Engine().Stopped());
        }
        const std::optional<cw::TResumeJournal> kept = cw::ReadJournal(saved + ".part.meta");
        ASSERT_TRUE(kept.has_value());
        ASSERT_FALSE(kept->Tracks.empty());
        ASSERT_FALSE(kept->Tracks[0].empty()) << "no segment was kept by the first run";

        k.Change(dir, saved);
        EngineRun again({address}, cw::jmDownload, Owner);
        ASSERT_TRUE(again.Run(60000));
        EXPECT_EQ(std::vector<std::string>{"done"}, again.Events.Ended);
        EXPECT_TRUE((k.Other ? OtherFrames : SourceFrames) == VideoFrames(saved))
            << "the saved video is not one stream alone";
    }
}

} // namespace

namespace {

// The stream of dir served by a test server, its requests counted; before(path, n) may delay or
// stall answer n (from 0) for path, returning false when it answered itself.
struct TSlowStream {
    cwtest::HttpTestServer Server;
    std::mutex Lock;
    std::map<std::string, int> Asked;
    std::function<bool(const std::string& path, int n, cwtest::HttpTestConnection& c)> Before;

    explicit TSlowStream(const std::string& dir)
    {
        for (const auto& e : std::filesystem::directory_iterator(dir)) {
            const std::string path = "/" + e.path().filename().string();
            const std::string file = e.path().string();
            Server.On(path, [this, path, file](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
                int n = 0;
                {
                    std::lock_guard<std::mutex> g(Lock);
                    n = Asked[path]++;
                }
                if (Before && !Before(path, n, c))
                    return;
                c.Reply(200, "OK", {}, ReadFile(file));
            });
        }
    }
};

} // namespace

// Segments that answer late or stall with several connections: the end game's second try and the
// first one each write a spool of their own, and the file is whole whichever finishes first.
TEST_F(HlsRun, SlowSegmentsAreNeverFatalWithSeveralConnections)
{
    const struct {
        const char* Name;
        std::function<bool(const std::string& path, int n, cwtest::HttpTestConnection& c)> Before;
    } cases[] = {
        {"the first segment answers late",
         [](const std::string& path, int n, cwtest::HttpTestConnection&) {
             if (path == "/p000.ts" && n == 0)
                 std::this_thread::sleep_for(std::chrono::milliseconds(1500));
             return true;
         }},
        {"a segment stalls on its first three requests",
         [](const std::string& path, int n, cwtest::HttpTestConnection& c) {
             if (path != "/p001.ts" || n >= 3)
                 return true;
             const std::string body = ReadFile(Doc("plain/p001.ts"));
             c.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                    body.substr(0, 2000));
             c.WaitForClientClose(3000);
             return false;
         }},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.Name);
        TSlowStream stream(Doc("plain"));
        stream.Before = k.Before;
        const std::string folder = Out.Path() + "/slow" + std::to_string(&k - cases);
        std::filesystem::create_directories(folder);
        Owner.Folder = folder;
        Owner.ConnectionsPerFile = 4;
        EngineRun run({stream.Server.Url("/index.m3u8")}, cw::jmDownload, Owner);
        run.Engine().SetEndGameMs(400);
        run.Engine().SetRetryDelays({50, 50, 50, 50, 50});
        ASSERT_TRUE(run.Run(60000));
        EXPECT_EQ(std::vector<std::string>{"done"}, run.Events.Ended);
        std::string files;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            files += entry.path().filename().string() + " ";
        EXPECT_TRUE(SourceFrames == VideoFrames(folder + "/stream.mp4")) << files; // a playlist's name says nothing
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            EXPECT_EQ(std::string::npos, entry.path().filename().string().find(".part"))
                << entry.path() << " left behind";
    }
}

// A playlist larger than any page the page engine keeps (comments make it 33 MiB) is no page that
// cannot be read: the stream reads it within its own limit, and the run goes on.
TEST_F(HlsRun, APlaylistLargerThanAPageIsFetchedAsTheStream)
{
    std::string text = ReadFile(Doc("plain/index.m3u8"));
    const std::string padding = "# " + std::string(1000, 'x') + "\n";
    std::string big = "#EXTM3U\n";
    while (big.size() < (33u << 20))
        big += padding;
    big += text.substr(text.find('\n') + 1);
    std::string out;
    std::istringstream in(big);
    for (std::string line; std::getline(in, line);)
        out += (line.empty() || line[0] == '#' ? line : "../plain/" + line) + "\n";
    std::filesystem::create_directories(Doc("big"));
    WriteFile(Doc("big/list.m3u8"), out);
    Owner.ConnectionsPerFile = 2;
    EngineRun run({Nginx->Url("/big/list.m3u8")}, cw::jmDownload, Owner);
    ASSERT_TRUE(run.Run(60000));
    EXPECT_EQ(std::vector<std::string>{"done"}, run.Events.Ended);
    EXPECT_TRUE(SourceFrames == VideoFrames(Out.Path() + "/list.mp4"));
}
