// DASH streams made by the real ffmpeg at test time (templates with numbers, timelines with
// times, one file cut by ranges, one file with a segment index, WebM), served by nginx, fetched by
// the engine into one file whose decoded video frames equal the chosen representation's.

#include "StreamRunSupport.h"
#include "convert/ConvertThread.h"
#include "engine/core/PartFile.h"
#include "engine/core/ResumeJournal.h"
#include "support/ExternalServers.h"
#include "support/Files.h"
#include "support/HttpTestServer.h"
#include "support/VideoSites.h"

#include <gtest/gtest.h>

#include <QProcess>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

using enginetest::EngineRun;
using enginetest::TestRunOwner;

namespace {

using namespace streamtest;

// Where the top-level box of a type starts in an MP4 file, and its size; {-1, 0} when absent.
std::pair<long, long> FindBox(const std::string& file, const char* type)
{
    const std::string b = ReadFile(file);
    std::size_t at = 0;
    while (at + 8 <= b.size()) {
        const auto byte = [&](std::size_t i) { return static_cast<unsigned long>(static_cast<unsigned char>(b[i])); };
        const unsigned long size = byte(at) << 24 | byte(at + 1) << 16 | byte(at + 2) << 8 | byte(at + 3);
        if (b.compare(at + 4, 4, type) == 0)
            return {static_cast<long>(at), static_cast<long>(size)};
        if (size < 8)
            break;
        at += size;
    }
    return {-1, 0};
}

// A manifest of two representations, each one file of its own with a segment index after its
// initialization.
std::string SegmentBaseManifest(const std::string& dir)
{
    std::string sets;
    for (const char* kind : {"video", "audio"}) {
        const std::string file = std::string(kind) + ".mp4";
        const auto [sidx, size] = FindBox(dir + "/" + file, "sidx");
        if (sidx < 0)
            return std::string();
        sets += std::string("<AdaptationSet mimeType=\"") + kind + "/mp4\"><Representation id=\"" + kind +
                "\" bandwidth=\"100000\"" + (std::string(kind) == "video" ? " width=\"320\" height=\"240\"" : "") +
                "><BaseURL>" + file + "</BaseURL><SegmentBase indexRange=\"" + std::to_string(sidx) + "-" +
                std::to_string(sidx + size - 1) + "\"/></Representation></AdaptationSet>\n";
    }
    return "<?xml version=\"1.0\"?>\n<MPD xmlns=\"urn:mpeg:dash:schema:mpd:2011\" type=\"static\" "
           "mediaPresentationDuration=\"PT8S\"><Period>\n" +
           sets + "</Period></MPD>\n";
}

class DashRun : public streamtest::StreamRun<DashRun> {
protected:
    static void SetUpTestSuite()
    {
        Docs = std::make_unique<cwtest::TempDir>("cw-dash");
        const std::string d = Docs->Path();
        const QString src = QString::fromStdString(d + "/src.mp4");
        Ffmpeg({"-f",   "lavfi", "-i",        "testsrc=size=320x240:rate=25",
                "-f",   "lavfi", "-i",        "sine=frequency=330",
                "-t",   "8",     "-c:v",      "libx264",
                "-g",   "25",    "-pix_fmt",  "yuv420p",
                "-c:a", "aac",   "-shortest", src});
        const auto dir = [&](const char* name) {
            std::filesystem::create_directories(d + "/" + name);
            return QString::fromStdString(d + "/" + name + "/");
        };
        // Templates with numbers: a small video beside the source's own, and the audio.
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
                "-g",
                "25",
                "-s:v:0",
                "160x120",
                "-c:v:1",
                "copy",
                "-c:a",
                "copy",
                "-f",
                "dash",
                "-seg_duration",
                "2",
                "-use_template",
                "1",
                "-use_timeline",
                "0",
                "-adaptation_sets",
                "id=0,streams=v id=1,streams=a",
                dir("tpl") + "m.mpd"});
        // A timeline whose segments are named by their times (the video alone: the muxer names
        // an AAC track's first segment by a time before the one its timeline says).
        Ffmpeg({"-i", src, "-map", "0:v", "-c", "copy", "-f", "dash", "-seg_duration", "2", "-use_template", "1",
                "-use_timeline", "1", "-media_seg_name", "c-$RepresentationID$-$Time$.m4s", dir("tl") + "m.mpd"});
        // One file per representation, its segments listed as byte ranges.
        Ffmpeg(
            {"-i", src, "-c", "copy", "-f", "dash", "-seg_duration", "2", "-single_file", "1", dir("one") + "m.mpd"});
        // One file per representation with a segment index (SegmentBase).
        Ffmpeg({"-i", src, "-map", "0:v", "-c", "copy", "-f", "mp4", "-movflags", "+dash+global_sidx", "-frag_duration",
                "2000000", dir("base") + "video.mp4"});
        Ffmpeg({"-i", src, "-map", "0:a", "-c", "copy", "-f", "mp4", "-movflags", "+dash+global_sidx", "-frag_duration",
                "2000000", dir("base") + "audio.mp4"});
        WriteFile(d + "/base/m.mpd", SegmentBaseManifest(d + "/base"));
        // VP8 and Vorbis, which an MP4 does not hold.
        const QString webm = QString::fromStdString(d + "/src.webm");
        Ffmpeg({"-i", src, "-c:v", "libvpx", "-deadline", "realtime", "-cpu-used", "8", "-g", "25", "-b:v", "300k",
                "-c:a", "libvorbis", webm});
        Ffmpeg({"-i", webm, "-map", "0:v", "-map", "0:a", "-c", "copy", "-f", "dash", "-seg_duration", "2",
                "-adaptation_sets", "id=0,streams=v id=1,streams=a", dir("webm") + "vp8.mpd"});
        // Pages that declare a manifest in each of the open ways.
        WriteFile(d + "/source.html", "<html><head><title>Source Page</title></head><body><video controls>"
                                      "<source src=\"tpl/m.mpd\" type=\"application/dash+xml\"></video></body></html>");
        WriteFile(d + "/og.html", "<html><head><meta property=\"og:title\" content=\"Open Graph\">"
                                  "<meta property=\"og:video\" content=\"/tl/m.mpd\"></head></html>");
        WriteFile(d + "/ld.html",
                  "<html><head><script type=\"application/ld+json\">{\"@context\":\"https://schema.org\","
                  "\"@type\":\"VideoObject\",\"name\":\"Linked Data\",\"contentUrl\":\"/one/m.mpd\"}"
                  "</script></head></html>");
        WriteFile(d + "/video.html", "<html><head><title>Video Src</title></head><body><video src=\"base/m.mpd\">"
                                     "</video></body></html>");
        // A page that declares a file where its server answers with a manifest.
        WriteFile(d + "/declared.html", "<html><head><meta property=\"og:title\" content=\"Declared\">"
                                        "<meta property=\"og:video\" content=\"/declared.mp4\">"
                                        "<meta property=\"og:video:type\" content=\"video/mp4\"></head></html>");
        SourceFrames = VideoFrames(d + "/src.mp4");
        WebmFrames = VideoFrames(d + "/src.webm");
        Nginx = std::make_unique<cwtest::NginxServer>(
            d, "types { text/html html; application/dash+xml mpd; video/mp4 mp4 m4s; video/webm webm; text/vtt vtt; }\n"
               "location = /declared.mp4 { return 302 /tpl/m.mpd; }");
    }
    static inline std::string WebmFrames;
};

TEST_F(DashRun, EachKindOfManifestBecomesOneFileWithTheChosenFrames)
{
    ASSERT_FALSE(ReadFile(Doc("base/m.mpd")).empty()) << "ffmpeg wrote no segment index";
    struct Case {
        const char* Address;
        const char* Saved;
        const char* Streams;
    };
    const Case cases[] = {
        {"/tpl/m.mpd", "m.mp4", "h264 aac 8"},             // $Number%05d$, the larger of two videos
        {"/source.html", "Source Page.mp4", "h264 aac 8"}, // <source type="application/dash+xml">
        {"/og.html", "Open Graph.mp4", "h264 8"},          // og:video; a timeline named by $Time$, video alone
        {"/ld.html", "Linked Data.mp4", "h264 aac 8"},     // JSON-LD contentUrl; byte ranges of one file
        {"/video.html", "Video Src.mp4", "h264 aac 8"},    // <video src>; SegmentBase read from its sidx
        {"/declared.html", "Declared.mp4", "h264 aac 8"},  // a "video/mp4" that relocates to a manifest
        {"/tpl/doctype.mpd", "doctype.mp4", "h264 aac 8"}, // a DOCTYPE and comments before <MPD>
    };
    std::string doctype = ReadFile(Doc("tpl/m.mpd"));
    ASSERT_NE(std::string::npos, doctype.find("<MPD"));
    doctype.replace(doctype.find("<MPD"), 4, "<!DOCTYPE MPD [\n<!-- ]> -->\n]>\n<!-- made here -->\n<MPD");
    WriteFile(Doc("tpl/doctype.mpd"), doctype);
    for (const Case& c : cases) {
        const std::string saved = Out.Path() + "/" + c.Saved;
        EngineRun run({Nginx->Url(c.Address)}, cw::jmDownload, Owner);
        ASSERT_TRUE(run.Run(60000)) << c.Address;
        EXPECT_EQ(std::vector<std::string>{"done"}, run.Events.Ended) << c.Address;
        EXPECT_TRUE(SourceFrames == VideoFrames(saved)) << c.Address;
        EXPECT_EQ(c.Streams, StreamCodecs(saved)) << c.Address;
        EXPECT_EQ(run.Events.Size, run.Events.Bytes) << c.Address;
        for (const char* left : {".part", ".audio.part", ".part.meta"})
            EXPECT_FALSE(std::filesystem::exists(saved + left)) << c.Address << left;
    }
}

// Normal quality takes the smallest video; codecs an MP4 cannot hold go into a WebM.
TEST_F(DashRun, QualityAndCodecsChooseTheRepresentationAndTheContainer)
{
    Owner.QualityLevel = cw::vqNormal;
    {
        EngineRun run({Nginx->Url("/tpl/m.mpd")}, cw::jmDownload, Owner);
        ASSERT_TRUE(run.Run(60000));
        EXPECT_EQ(std::vector<std::string>{"done"}, run.Events.Ended);
        QProcess p;
        p.start("ffprobe", {"-v", "error", "-select_streams", "v", "-show_entries", "stream=width,height", "-of",
                            "csv=p=0", QString::fromStdString(Out.Path() + "/m.mp4")});
        p.waitForFinished(30000);
        EXPECT_EQ("160,120", p.readAllStandardOutput().trimmed().toStdString());
        EXPECT_EQ("h264 aac 8", StreamCodecs(Out.Path() + "/m.mp4"));
    }
    Owner.QualityLevel = cw::vqBestAvailable;
    EngineRun run({Nginx->Url("/webm/vp8.mpd")}, cw::jmDownload, Owner);
    ASSERT_TRUE(run.Run(60000));
    EXPECT_EQ(std::vector<std::string>{"done"}, run.Events.Ended);
    EXPECT_FALSE(std::filesystem::exists(Out.Path() + "/vp8.mp4"));
    EXPECT_TRUE(WebmFrames == VideoFrames(Out.Path() + "/vp8.webm"));
    EXPECT_EQ("vp8 vorbis 8", StreamCodecs(Out.Path() + "/vp8.webm"));
    for (const char* left : {"/vp8.mp4.part", "/vp8.mp4.audio.part", "/vp8.mp4.part.meta"})
        EXPECT_FALSE(std::filesystem::exists(Out.Path() + left)) << left;
}

TEST_F(DashRun, ManifestsThatCannotBecomeAWholeVideoFailWithTheirReason)
{
    const std::string tpl = ReadFile(Doc("tpl/m.mpd"));
    // The manifest with every from replaced; "" when there is none.
    auto with = [&](const std::string& from, const std::string& to) {
        std::string t = tpl;
        if (t.find(from) == std::string::npos)
            return std::string();
        for (std::size_t at = t.find(from); at != std::string::npos; at = t.find(from, at + to.size()))
            t.replace(at, from.size(), to);
        return t;
    };
    struct Case {
        const char* Name;
        std::string Text;
        std::string Reason;
    };
    const Case cases[] = {
        {"live", with("type=\"static\"", "type=\"dynamic\""), "live streams are not supported"},
        {"drm",
         with("<Representation id=\"1\"", "<ContentProtection schemeIdUri=\"urn:mpeg:dash:mp4protection:2011\" "
                                          "value=\"cenc\"/><Representation id=\"1\""),
         "the stream is protected by DRM"},
        {"broken", with("</Period>", ""), "the manifest " + Nginx->Url("/tpl/broken.mpd") + " is malformed: line "},
        // Numbers from 3: the last of each track is not there.
        {"missing", with("startNumber=\"1\"", "startNumber=\"3\""), " of 4 (" + Nginx->Url("/tpl/chunk-stream")},
        // A few hundred bytes that describe a million segments: refused before any is asked for.
        {"endless",
         "<?xml version=\"1.0\"?>\n<MPD type=\"static\" mediaPresentationDuration=\"PT2000000S\"><Period>"
         "<AdaptationSet mimeType=\"video/mp4\"><SegmentTemplate timescale=\"1\" duration=\"2\" "
         "initialization=\"init-stream0.m4s\" media=\"chunk-stream0-$Number%05d$.m4s\"/><Representation id=\"0\" "
         "bandwidth=\"1000\" height=\"240\"/></AdaptationSet></Period></MPD>\n",
         "the stream has 1,000,001 segments; at most 200,000 are fetched"},
    };
    for (const Case& c : cases) {
        ASSERT_FALSE(c.Text.empty()) << c.Name;
        WriteFile(Doc(std::string("tpl/") + c.Name + ".mpd"), c.Text);
        const std::string address = Nginx->Url(std::string("/tpl/") + c.Name + ".mpd");
        EngineRun run({address}, cw::jmDownload, Owner);
        run.Engine().SetRetryDelays({20, 20, 20, 20, 20});
        ASSERT_TRUE(run.Run(30000)) << c.Name;
        ASSERT_EQ(1u, run.Events.Ended.size()) << c.Name;
        EXPECT_EQ(0u, run.Events.Ended[0].find("Unable download video from " + address + ": ")) << run.Events.Ended[0];
        EXPECT_NE(std::string::npos, run.Events.Ended[0].find(c.Reason)) << run.Events.Ended[0];
        EXPECT_FALSE(std::filesystem::exists(Out.Path() + "/" + c.Name + ".mp4")) << c.Name;
    }
    // A page's manifest that is not there is named as one before anything of it is known.
    WriteFile(Doc("absent.html"), "<html><body><video src=\"tpl/absent.mpd\"></video></body></html>");
    const std::string page = Nginx->Url("/absent.html");
    EngineRun run({page}, cw::jmDownload, Owner);
    ASSERT_TRUE(run.Run(30000));
    EXPECT_EQ(std::vector<std::string>{"Unable download video from " + page + ": the manifest " +
                                       Nginx->Url("/tpl/absent.mpd") + ": the server answered 404 Not Found"},
              run.Events.Ended);
}

// Servers that misbehave around a stream: a manifest or playlist served as a plain file at an
// address without an extension, a host where nothing listens, a first BaseURL that is dead, a
// missing initialization section, a page whose first video is an empty answer.
TEST_F(DashRun, MisbehavingServersStillGiveTheStreamOrTheirOwnReason)
{
    // A port that was just free on 127.0.0.1, closed again without listening: connects are refused.
    int dead = 0;
    {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a));
        ASSERT_EQ(0, getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len));
        dead = ntohs(a.sin_port);
        close(fd);
    }
    const std::string deadBase = "http://127.0.0.1:" + std::to_string(dead) + "/tpl/";
    cwtest::HttpTestServer server;
    std::mutex lock;
    std::map<std::string, int> asked;
    const std::string tpl = ReadFile(Doc("tpl/m.mpd"));
    ASSERT_NE(std::string::npos, tpl.find("<Period"));
    // The manifest with BaseURLs before its first period.
    auto based = [&](const std::string& bases) {
        std::string t = tpl;
        t.insert(t.find("<Period"), bases);
        return t;
    };
    std::string playlist = "#EXTM3U\n#EXT-X-VERSION:7\n#EXT-X-TARGETDURATION:2\n#EXT-X-PLAYLIST-TYPE:VOD\n"
                           "#EXT-X-MAP:URI=\"init-stream1.m4s\"\n";
    for (int i = 1; i <= 4; ++i)
        playlist += "#EXTINF:2.0,\nchunk-stream1-0000" + std::to_string(i) + ".m4s\n";
    playlist += "#EXT-X-ENDLIST\n";
    std::string noInit = tpl;
    for (std::size_t at = noInit.find("init-stream"); at != std::string::npos; at = noInit.find("init-stream", at + 4))
        noInit.replace(at, 4, "gone");
    const std::map<std::string, std::string> texts = {
        {"/octet/manifest", tpl},
        {"/octet/playlist", playlist},
        {"/dead.mpd", based("<BaseURL>" + deadBase + "</BaseURL>")},
        {"/alt.mpd", based("<BaseURL>" + deadBase + "</BaseURL><BaseURL>" + server.Url("/tpl/") + "</BaseURL>")},
        {"/tpl/noinit.mpd", noInit},
        {"/two.html", "<html><head><title>Two Videos</title></head><body><video src=\"/empty.mp4\"></video>"
                      "<video src=\"/src.mp4\"></video></body></html>"},
    };
    server.On("/*", [&](const cwtest::HttpTestRequest& rq, cwtest::HttpTestConnection& c) {
        std::string path = rq.PathOnly();
        {
            std::lock_guard<std::mutex> g(lock);
            ++asked[path];
        }
        if (const auto text = texts.find(path); text != texts.end()) {
            c.Reply(200, "OK",
                    {path == "/two.html" ? "Content-Type: text/html" : "Content-Type: application/octet-stream"},
                    text->second);
            return;
        }
        if (path == "/empty.mp4") {
            c.Reply(200, "OK", {"Content-Type: video/mp4"}, "");
            return;
        }
        if (path.rfind("/octet/", 0) == 0)
            path = "/tpl/" + path.substr(7);
        const std::string body = ReadFile(Doc(path.substr(1)));
        if (body.empty())
            c.Reply(404, "Not Found", {}, "none");
        else
            c.Reply(200, "OK", {"Content-Type: video/mp4"}, body);
    });
    struct Case {
        const char* Address;
        const char* Saved; // "" for a failure
        std::string Reason;
        std::vector<std::uint32_t> Pauses;
    };
    const Case cases[] = {
        {"/octet/manifest", "manifest.mp4", "", {}},
        {"/octet/playlist", "playlist.mp4", "", {}},
        // Every try refused: the stream ends after its tries, naming the segment and the refusal.
        {"/dead.mpd", "", "): Connection refused (Error #10061) (4 tries)", {20, 20, 20}},
        // The first server is dead with the default pauses: each segment goes on at the second.
        {"/alt.mpd", "alt.mp4", "", {}},
        {"/tpl/noinit.mpd",
         "",
         // Video's and audio's both 404: whichever answer comes first ends the stream.
         "initialization section (" + server.Url("/tpl/gone-stream"),
         {20, 20, 20}},
        {"/two.html", "Two Videos.mp4", "", {}},
    };
    for (const Case& c : cases) {
        const std::string address = server.Url(c.Address);
        EngineRun run({address}, cw::jmDownload, Owner);
        if (!c.Pauses.empty())
            run.Engine().SetRetryDelays(c.Pauses);
        ASSERT_TRUE(run.Run(60000)) << c.Address;
        ASSERT_EQ(1u, run.Events.Ended.size()) << c.Address;
        if (*c.Saved) {
            EXPECT_EQ("done", run.Events.Ended[0]) << c.Address;
            EXPECT_TRUE(SourceFrames == VideoFrames(Out.Path() + "/" + c.Saved)) << c.Address;
        } else {
            EXPECT_EQ(0u, run.Events.Ended[0].find("Unable download video from " + address + ": "))
                << run.Events.Ended[0];
            EXPECT_NE(std::string::npos, run.Events.Ended[0].find(c.Reason)) << run.Events.Ended[0];
            if (c.Reason.find("refused") != std::string::npos) {
                EXPECT_NE(std::string::npos, run.Events.Ended[0].find(" (" + deadBase)) << run.Events.Ended[0];
            }
        }
    }
    for (const char* left : {"manifest.mp4.part", "playlist.mp4.part", "alt.mp4.part", "Two Videos.mp4.part"})
        EXPECT_FALSE(std::filesystem::exists(Out.Path() + "/" + left)) << left;
    std::lock_guard<std::mutex> g(lock);
    EXPECT_EQ(1, asked["/empty.mp4"]);
}

// A server that ignores byte ranges still gives the index and the segments (each cut out of the
// whole file); a run stopped in the middle resumes by segment, asking nothing twice that was
// written.
// A text adaptation set in the user's language ("de") is saved beside the video: one file kept as
// served, segments joined into one; TTML is passed over without a word.
TEST_F(DashRun, TextAdaptationSetsBecomeASubtitleBesideTheVideo)
{
    const std::string manifest = ReadFile(Doc("tpl/m.mpd"));
    const std::size_t end = manifest.rfind("</Period>");
    ASSERT_NE(std::string::npos, end);
    std::filesystem::create_directories(Doc("subs"));
    const std::string single = "\xEF\xBB\xBFWEBVTT\r\n\r\n00:01.000 --> 00:02.000\r\nEins\r\n";
    WriteFile(Doc("subs/de.vtt"), single);
    WriteFile(Doc("subs/en.vtt"), "WEBVTT\n\n00:01.000 --> 00:02.000\nOne\n");
    WriteFile(Doc("subs/de-1.vtt"), "WEBVTT\n\n00:01.000 --> 00:02.000\nEins\n");
    WriteFile(Doc("subs/de-2.vtt"), "WEBVTT\n\n00:05.000 --> 00:06.000\nZwei\n");
    WriteFile(Doc("subs/de.ttml"), "<tt xmlns=\"http://www.w3.org/ns/ttml\"></tt>");
    const std::string english = "<AdaptationSet contentType=\"text\" mimeType=\"text/vtt\" lang=\"en\">"
                                "<Representation id=\"en\" bandwidth=\"100\"><BaseURL>../subs/en.vtt</BaseURL>"
                                "</Representation></AdaptationSet>\n";
    auto with = [&](const char* name, const std::string& sets) {
        WriteFile(Doc(std::string("tpl/") + name), manifest.substr(0, end) + sets + manifest.substr(end));
    };
    with("single.mpd", english + "<AdaptationSet contentType=\"text\" mimeType=\"text/vtt\" lang=\"de\">"
                                 "<Representation id=\"de\" bandwidth=\"100\"><BaseURL>../subs/de.vtt</BaseURL>"
                                 "</Representation></AdaptationSet>\n");
    with("pieces.mpd", english + "<AdaptationSet contentType=\"text\" lang=\"de\"><Representation id=\"de\" "
                                 "bandwidth=\"100\" mimeType=\"text/vtt\"><SegmentTemplate timescale=\"1\" "
                                 "duration=\"4\" startNumber=\"1\" media=\"../subs/de-$Number$.vtt\"/>"
                                 "</Representation></AdaptationSet>\n");
    with("ttml.mpd", "<AdaptationSet contentType=\"text\" mimeType=\"application/ttml+xml\" lang=\"de\">"
                     "<Representation id=\"de\" bandwidth=\"100\"><BaseURL>../subs/de.ttml</BaseURL>"
                     "</Representation></AdaptationSet>\n");
    struct Case {
        const char* Address;
        const char* Subtitle; // "" for none
        std::string Text;
    };
    const Case cases[] = {
        {"/tpl/single.mpd", "single.de.vtt", single},
        {"/tpl/pieces.mpd", "pieces.de.vtt",
         "WEBVTT\n\n00:01.000 --> 00:02.000\nEins\n\n00:05.000 --> 00:06.000\nZwei\n"},
        {"/tpl/ttml.mpd", "", ""},
    };
    for (const Case& c : cases) {
        EngineRun run({Nginx->Url(c.Address)}, cw::jmDownload, Owner);
        ASSERT_TRUE(run.Run(60000)) << c.Address;
        EXPECT_EQ(std::vector<std::string>{"done"}, run.Events.Ended) << c.Address;
        EXPECT_TRUE(run.Events.Notes.empty()) << c.Address << ": " << run.Events.Notes.at(0);
        EXPECT_EQ(*c.Subtitle ? std::vector<std::string>{c.Subtitle} : std::vector<std::string>{}, run.Events.Subtitles)
            << c.Address;
        if (*c.Subtitle) {
            EXPECT_EQ(c.Text, ReadFile(Out.Path() + "/" + c.Subtitle)) << c.Address;
        }
    }
    EXPECT_FALSE(std::filesystem::exists(Out.Path() + "/ttml.de.vtt"));
    EXPECT_FALSE(std::filesystem::exists(Out.Path() + "/ttml.vtt"));
}

TEST_F(DashRun, RangesIgnoredAndAStoppedRunResumesBySegment)
{
    cwtest::HttpTestServer server;
    std::mutex lock;
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
        std::this_thread::sleep_for(std::chrono::milliseconds(30)); // a distant host
        c.Reply(200, "OK", {}, body);
    });
    const std::string address = server.Url("/tpl/m.mpd");
    const std::string saved = Out.Path() + "/m.mp4";
    Owner.ConnectionsPerFile = 2;
    const std::string third = "/tpl/chunk-stream1-00003.m4s";
    {
        EngineRun run({address}, cw::jmDownload, Owner);
        run.Events.OnBytes = [&](std::int64_t) {
            std::lock_guard<std::mutex> g(lock);
            if (asked[third] > 0)
                run.Engine().Stop();
        };
        run.Run(30000);
        EXPECT_TRUE(run.Engine().Stopped());
    }
    const std::optional<cw::TResumeJournal> meta = cw::ReadJournal(saved + ".part.meta");
    ASSERT_TRUE(meta.has_value());
    EXPECT_EQ(cw::jkStream, meta->Kind);
    ASSERT_EQ(2u, meta->Tracks.size());
    std::map<std::string, int> before;
    {
        std::lock_guard<std::mutex> g(lock);
        before = asked;
    }
    ASSERT_EQ(1, before["/tpl/init-stream1.m4s"]);
    EngineRun again({address}, cw::jmDownload, Owner);
    ASSERT_TRUE(again.Run(60000));
    EXPECT_EQ(std::vector<std::string>{"done"}, again.Events.Ended);
    EXPECT_TRUE(SourceFrames == VideoFrames(saved));
    {
        std::lock_guard<std::mutex> g(lock);
        // Written before the stop: asked again only for the first bytes that show it is the same.
        EXPECT_EQ(2, asked["/tpl/init-stream1.m4s"]);
        EXPECT_EQ(2, asked["/tpl/chunk-stream1-00001.m4s"]);
    }
    EXPECT_FALSE(std::filesystem::exists(saved + ".part.meta"));

    // The segment index and the segments of files served whole, never in ranges.
    EngineRun whole({server.Url("/base/m.mpd")}, cw::jmDownload, Owner);
    ASSERT_TRUE(whole.Run(60000));
    EXPECT_EQ(std::vector<std::string>{"done"}, whole.Events.Ended);
    EXPECT_TRUE(SourceFrames == VideoFrames(Out.Path() + "/m (2).mp4"));
}

// The lengths of a file's streams in seconds, "video 12 audio 12" (rounded).
std::string StreamLengths(const std::string& path)
{
    QProcess p;
    p.start("ffprobe", {"-v", "error", "-show_entries", "stream=codec_type,duration", "-of",
                        "default=noprint_wrappers=1:nokey=1", QString::fromStdString(path)});
    p.waitForFinished(30000);
    std::istringstream in(p.readAllStandardOutput().toStdString());
    std::string out;
    for (std::string kind, length; std::getline(in, kind) && std::getline(in, length);)
        out += (out.empty() ? "" : " ") + kind + " " +
               (length == "N/A" ? length : std::to_string(static_cast<int>(std::stod(length) + 0.5)));
    return out;
}

// Two periods whose media each start their clocks at 0 play one after the other: the second
// period's fragments are moved to its start, in the video's and the audio's own timescales.
TEST_F(DashRun, EachPeriodIsPlacedAtItsStart)
{
    const std::string d = Doc("periods");
    std::filesystem::create_directories(d);
    std::string expected;
    std::string periods[2];
    for (int i = 0; i < 2; ++i) {
        const std::string part = d + "/part" + std::to_string(i) + ".mp4";
        const std::string dir = d + "/p" + std::to_string(i);
        std::filesystem::create_directories(dir);
        Ffmpeg({"-ss",
                QString::number(6 * i),
                "-f",
                "lavfi",
                "-i",
                "testsrc=size=320x240:rate=25",
                "-f",
                "lavfi",
                "-i",
                "sine=frequency=" + QString::number(330 + 110 * i),
                "-t",
                "6",
                "-c:v",
                "libx264",
                "-g",
                "25",
                "-pix_fmt",
                "yuv420p",
                "-c:a",
                "aac",
                QString::fromStdString(part)});
        Ffmpeg({"-i", QString::fromStdString(part), "-c", "copy", "-f", "dash", "-seg_duration", "2", "-use_template",
                "1", "-use_timeline", "0", "-adaptation_sets", "id=0,streams=v id=1,streams=a",
                QString::fromStdString(dir + "/m.mpd")});
        expected += VideoFrames(part);
        const std::string mpd = ReadFile(dir + "/m.mpd");
        const std::size_t from = mpd.find("<Period"), to = mpd.find("</Period>");
        ASSERT_NE(std::string::npos, to) << mpd;
        periods[i] = mpd.substr(mpd.find('>', from) + 1, to - mpd.find('>', from) - 1);
        periods[i] = "<BaseURL>p" + std::to_string(i) + "/</BaseURL>" + periods[i] + "</Period>\n";
    }
    // About 150 frames a part (a seek into the generated picture may take one off).
    ASSERT_LT(290, std::count(expected.begin(), expected.end(), '\n'));
    const std::string head = "<?xml version=\"1.0\"?>\n<MPD xmlns=\"urn:mpeg:dash:schema:mpd:2011\" type=\"static\" "
                             "mediaPresentationDuration=\"PT12S\">\n";
    struct Case {
        const char* Name;
        std::string Manifest;
    };
    const Case cases[] = {
        {"starts", head + "<Period id=\"a\" start=\"PT0S\">" + periods[0] + "<Period id=\"b\" start=\"PT6S\">" +
                       periods[1] + "</MPD>\n"},
        // The second period starts where the first one's duration ends.
        {"durations",
         head + "<Period duration=\"PT6S\">" + periods[0] + "<Period duration=\"PT6S\">" + periods[1] + "</MPD>\n"},
    };
    for (const Case& c : cases) {
        WriteFile(d + "/" + c.Name + ".mpd", c.Manifest);
        const std::string saved = Out.Path() + "/" + c.Name + ".mp4";
        EngineRun run({Nginx->Url("/periods/" + std::string(c.Name) + ".mpd")}, cw::jmDownload, Owner);
        ASSERT_TRUE(run.Run(60000)) << c.Name;
        EXPECT_EQ(std::vector<std::string>{"done"}, run.Events.Ended) << c.Name;
        EXPECT_TRUE(expected == VideoFrames(saved)) << c.Name;
        EXPECT_EQ("h264 aac 12", StreamCodecs(saved)) << c.Name;
        EXPECT_EQ("video 12 audio 12", StreamLengths(saved)) << c.Name;
    }
}

} // namespace
