// Subtitles without the network: the user's language from the locale, the track chosen for it,
// the name beside the video, the tracks a playlist or manifest offers, and WebVTT pieces joined
// into one file.

#include "engine/Subtitles.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace cw;

namespace {

TEST(Subtitles, TheUsersLanguageComesFromTheLocaleLikeMessagesDo)
{
    struct Case {
        const char *Language, *LcAll, *LcMessages, *Lang;
        const char* Want;
    };
    const Case cases[] = {
        {nullptr, nullptr, nullptr, "de_DE.UTF-8", "de"},
        {nullptr, nullptr, nullptr, "pt_BR", "pt"},
        {nullptr, nullptr, nullptr, "sr_RS@latin", "sr"},
        {nullptr, nullptr, "fr_FR.UTF-8", "de_DE.UTF-8", "fr"}, // LC_MESSAGES before LANG
        {nullptr, "it_IT", "fr_FR", "de_DE", "it"},             // LC_ALL before both
        {"nl:de", nullptr, nullptr, "de_DE.UTF-8", "nl"},       // the language list first
        {":es_ES:de", nullptr, nullptr, "de_DE", "es"},         // its first usable entry
        {"nl", "C", nullptr, "de_DE", ""},                      // the C locale: no language at all
        {"nl", nullptr, nullptr, "C.UTF-8", ""},
        {nullptr, nullptr, nullptr, "POSIX", ""},
        {nullptr, nullptr, nullptr, nullptr, ""},
        {"", "", "", "", ""},
        {nullptr, nullptr, nullptr, "EN_us", "en"},
        {nullptr, nullptr, nullptr, "x", ""},     // too short for a language
        {nullptr, nullptr, nullptr, "e1_US", ""}, // not letters
        {"nl", nullptr, nullptr, nullptr, "nl"},  // no locale named is not the C one
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.Want, UserLanguage(c.Language, c.LcAll, c.LcMessages, c.Lang))
            << (c.Language ? c.Language : "-") << " " << (c.LcAll ? c.LcAll : "-") << " "
            << (c.LcMessages ? c.LcMessages : "-") << " " << (c.Lang ? c.Lang : "-");
}

TEST(Subtitles, TheTrackChosenIsTheUsersLanguageElseTheDefaultElseTheFirst)
{
    auto track = [](const char* language, bool isDefault = false) {
        return TSubtitleSource{language, isDefault, false, {TSubtitlePiece{"http://a.example/s.vtt", 0}}};
    };
    struct Case {
        std::vector<TSubtitleSource> Tracks;
        const char* Language;
        int Want;
    };
    const Case cases[] = {
        {{}, "de", -1},
        {{track("en"), track("de")}, "de", 1},
        {{track("en"), track("DE-at")}, "de", 1},       // the primary subtag, any case
        {{track("de-CH"), track("de", true)}, "de", 1}, // the default one among the language's
        {{track("de-CH"), track("de")}, "de", 0},       // else the first of them
        {{track("en"), track("fr", true)}, "de", 1},    // none in the language: the default
        {{track("en"), track("fr")}, "de", 0},          // no default either: the first
        {{track(""), track("en")}, "", 0},              // no language of the user's
        {{track("en"), track("deu")}, "de", 0},         // another code is another language
        {{track("en", true), track("de_DE")}, "de", 1}, // a locale-like tag still reads
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.Want, ChooseSubtitle(c.Tracks, c.Language)) << c.Language << " of " << c.Tracks.size();
}

TEST(Subtitles, TheFileIsNamedLikeTheVideoWithItsLanguageTag)
{
    struct Case {
        const char *Video, *Language, *Want;
    };
    const Case cases[] = {
        {"/out/name.mp4", "en", "/out/name.en.vtt"},
        {"/out/name (2).mp4", "en", "/out/name (2).en.vtt"},
        {"/out/name.webm", "", "/out/name.vtt"},
        {"/out/name.mp4", "pt-BR", "/out/name.pt-BR.vtt"},
        {"/out/name.mp4", "zh_Hant", "/out/name.zh-Hant.vtt"},
        {"/out/name.mp4", "../../etc/x", "/out/name.vtt"}, // nothing of a path gets in
        {"/out/name.mp4", "en/../x", "/out/name.en.vtt"},
        {"/out/name.mp4", "-", "/out/name.vtt"},
        {"/out/Vol. 2.mp4", "de", "/out/Vol. 2.de.vtt"},
        {"/out/name.mp4", "abcdefghij-abcdefghij-abcdefghij-abcdefghij",
         "/out/name.abcdefghij-abcdefghij-abcdefghij-ab.vtt"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.Want, SubtitlePath(c.Video, c.Language)) << c.Video << " " << c.Language;
}

TEST(Subtitles, PlaylistsAndManifestsOfferTheirTextTracks)
{
    const THlsParse master = ParseHlsPlaylist(
        "#EXTM3U\n"
        "#EXT-X-MEDIA:TYPE=SUBTITLES,GROUP-ID=\"subs\",NAME=\"English\",LANGUAGE=\"en\",URI=\"subs/en.m3u8\"\n"
        "#EXT-X-MEDIA:TYPE=SUBTITLES,GROUP-ID=\"subs\",NAME=\"Deutsch\",LANGUAGE=\"de\",DEFAULT=YES,"
        "URI=\"subs/de.m3u8\"\n"
        "#EXT-X-MEDIA:TYPE=SUBTITLES,GROUP-ID=\"other\",NAME=\"Francais\",LANGUAGE=\"fr\",URI=\"fr.m3u8\"\n"
        "#EXT-X-MEDIA:TYPE=CLOSED-CAPTIONS,GROUP-ID=\"cc\",NAME=\"CC\",LANGUAGE=\"en\",INSTREAM-ID=\"CC1\"\n"
        "#EXT-X-STREAM-INF:BANDWIDTH=1000,SUBTITLES=\"subs\",CLOSED-CAPTIONS=\"cc\"\nv1.m3u8\n"
        "#EXT-X-STREAM-INF:BANDWIDTH=2000\nv2.m3u8\n",
        "http://a.example/hls/master.m3u8");
    ASSERT_TRUE(master.Ok) << master.Error;
    ASSERT_EQ(2u, master.Playlist.Variants.size());
    EXPECT_EQ("subs", master.Playlist.Variants[0].SubtitleGroup);
    std::vector<TSubtitleSource> hls = HlsSubtitleSources(master.Playlist, master.Playlist.Variants[0]);
    ASSERT_EQ(2u, hls.size()); // the variant's group only
    EXPECT_EQ("en", hls[0].Language);
    EXPECT_EQ("http://a.example/hls/subs/en.m3u8", hls[0].Pieces.at(0).Url);
    EXPECT_TRUE(hls[0].Playlist);
    EXPECT_TRUE(hls[1].Default);
    EXPECT_EQ(3u, HlsSubtitleSources(master.Playlist, master.Playlist.Variants[1]).size()); // names none: all

    const TDashParse dash = ParseDashManifest(
        R"(<MPD xmlns="urn:mpeg:dash:schema:mpd:2011" type="static" mediaPresentationDuration="PT20S">
<Period id="1" duration="PT10S">
 <AdaptationSet contentType="video" mimeType="video/mp4"><Representation id="v" bandwidth="1" width="320" height="240">
  <BaseURL>v.mp4</BaseURL></Representation></AdaptationSet>
 <AdaptationSet contentType="text" mimeType="text/vtt" lang="en"><Representation id="en" bandwidth="1">
  <BaseURL>en-1.vtt</BaseURL></Representation></AdaptationSet>
 <AdaptationSet mimeType="application/ttml+xml" lang="de"><Representation id="de" bandwidth="1">
  <BaseURL>de.ttml</BaseURL></Representation></AdaptationSet>
 <AdaptationSet contentType="text" mimeType="application/mp4" codecs="wvtt" lang="fr">
  <Representation id="fr" bandwidth="1"><BaseURL>fr.mp4</BaseURL></Representation></AdaptationSet>
</Period>
<Period id="2" start="PT10S" duration="PT10S">
 <AdaptationSet contentType="video" mimeType="video/mp4"><Representation id="v2" bandwidth="1" width="320" height="240">
  <BaseURL>v2.mp4</BaseURL></Representation></AdaptationSet>
 <AdaptationSet contentType="text" lang="en"><Representation id="en2" bandwidth="1" mimeType="text/vtt">
  <SegmentTemplate media="en2-$Number$.vtt" startNumber="1" duration="5" timescale="1"/></Representation></AdaptationSet>
</Period></MPD>)",
        "http://a.example/dash/m.mpd");
    ASSERT_TRUE(dash.Ok()) << dash.Error;
    const std::vector<TSubtitleSource> text = DashSubtitleSources(dash.Manifest);
    ASSERT_EQ(1u, text.size()); // TTML and WebVTT in MP4 fragments are not taken
    EXPECT_EQ("en", text[0].Language);
    ASSERT_EQ(3u, text[0].Pieces.size()); // the periods' pieces in order, each moved by its start
    EXPECT_EQ("http://a.example/dash/en-1.vtt", text[0].Pieces[0].Url);
    EXPECT_EQ(0, text[0].Pieces[0].Offset);
    EXPECT_EQ("http://a.example/dash/en2-2.vtt", text[0].Pieces[2].Url);
    EXPECT_EQ(10, text[0].Pieces[2].Offset);
}

TEST(Subtitles, WebVttTimesReadAndWrite)
{
    const std::pair<const char*, std::int64_t> cases[] = {
        {"00:01.000", 1000},
        {"01:02:03.004", 3723004},
        {"100:00:00.000", 360000000},
        {"00:60.000", -1},
        {"1:02.000", 62000},
        {"00:01.00", -1},
        {"00:01,000", -1},
        {"", -1},
        {"00:00:00:01.000", -1},
        {"-00:01.000", -1},
    };
    for (const auto& [text, ms] : cases)
        EXPECT_EQ(ms, ParseWebVttTime(text)) << text;
    EXPECT_EQ("00:00:00.000", FormatWebVttTime(0));
    EXPECT_EQ("01:02:03.004", FormatWebVttTime(3723004));
    EXPECT_EQ("100:00:00.000", FormatWebVttTime(360000000));
}

TEST(Subtitles, OnlyWebVttIsTakenForWebVtt)
{
    const std::pair<std::string, bool> cases[] = {
        {"WEBVTT\n\n00:01.000 --> 00:02.000\nHi\n", true},
        {"\xEF\xBB\xBFWEBVTT\r\n", true},
        {"WEBVTT - a title\n", true},
        {"WEBVTT", true},
        {"WEBVTTX\n", false},
        {"<!DOCTYPE html><html>WEBVTT</html>", false},
        {" WEBVTT\n", false},
        {"1\n00:00:01,000 --> 00:00:02,000\nHi\n", false}, // SubRip is another format
        {"", false},
    };
    for (const auto& [body, want] : cases)
        EXPECT_EQ(want, LooksLikeWebVtt(body)) << body;
}

TEST(Subtitles, PiecesJoinIntoOneFileWithTheirCuesInOrder)
{
    struct Case {
        const char* Name;
        std::vector<std::pair<std::string, double>> Pieces;
        std::string Want;
        int Cues;
    };
    const Case cases[] = {
        {"one header, cues in order, line ends and byte order marks made plain",
         {{"\xEF\xBB\xBFWEBVTT\r\n\r\n1\r\n00:00.000 --> 00:01.000\r\nOne\r\n", 0},
          {"WEBVTT\n\n2\n00:02.000 --> 00:03.000 align:start\nTwo\nlines\n", 0}},
         "WEBVTT\n\n1\n00:00.000 --> 00:01.000\nOne\n\n2\n00:02.000 --> 00:03.000 align:start\nTwo\nlines\n",
         2},
        {"the first piece's style stays before the cues; later styles and comments go",
         {{"WEBVTT Title\nKind: captions\n\nSTYLE\n::cue { color: red }\n\nNOTE hi\n\n00:00.000 --> 00:01.000\nA\n", 0},
          {"WEBVTT\n\nSTYLE\n::cue { color: blue }\n\n00:01.000 --> 00:02.000\nB\n", 0}},
         "WEBVTT Title\n\nSTYLE\n::cue { color: red }\n\n00:00.000 --> 00:01.000\nA\n\n00:01.000 --> 00:02.000\nB\n",
         2},
        {"a cue over the boundary of two pieces is kept once",
         {{"WEBVTT\n\n00:01.000 --> 00:03.000\nAcross\n", 0},
          {"WEBVTT\n\nc9\n00:01.000 --> 00:03.000\nAcross\n\n00:03.000 --> 00:04.000\nNext\n", 0}},
         "WEBVTT\n\n00:01.000 --> 00:03.000\nAcross\n\n00:03.000 --> 00:04.000\nNext\n",
         2},
        {"X-TIMESTAMP-MAP: the first mapped piece's clock is the origin",
         {{"WEBVTT\nX-TIMESTAMP-MAP=MPEGTS:900000,LOCAL:00:00:00.000\n\n00:00:01.000 --> 00:00:02.000\nA\n", 0},
          {"WEBVTT\nX-TIMESTAMP-MAP=LOCAL:00:00:00.000,MPEGTS:1080000\n\n00:00:00.500 --> 00:00:01.000\nB\n", 0},
          {"WEBVTT\nX-TIMESTAMP-MAP=MPEGTS:900000,LOCAL:00:00:10.000\n\n00:00:14.000 --> 00:00:15.000\nC\n", 0}},
         "WEBVTT\n\n00:00:01.000 --> 00:00:02.000\nA\n\n00:00:02.500 --> 00:00:03.000\nB\n\n"
         "00:00:04.000 --> 00:00:05.000\nC\n",
         3},
        {"the 90 kHz clock wrapping between pieces",
         {{"WEBVTT\nX-TIMESTAMP-MAP=MPEGTS:8589924592,LOCAL:00:00:00.000\n\n00:00.000 --> 00:00.100\nA\n", 0},
          {"WEBVTT\nX-TIMESTAMP-MAP=MPEGTS:80000,LOCAL:00:00:00.000\n\n00:00.000 --> 00:00.100\nB\n", 0}},
         "WEBVTT\n\n00:00.000 --> 00:00.100\nA\n\n00:00:01.000 --> 00:00:01.100\nB\n",
         2},
        {"a period's start moves its cues; a cue ending before 0 is dropped, one starting before 0 cut",
         {{"WEBVTT\n\n00:01.000 --> 00:02.000\nA\n", 0},
          {"WEBVTT\n\n00:00.000 --> 00:01.500 line:0\nB\n", 10},
          {"WEBVTT\nX-TIMESTAMP-MAP=MPEGTS:0,LOCAL:00:00:05.000\n\n00:01.000 --> 00:02.000\nGone\n\n"
           "00:04.000 --> 00:06.000\nCut\n",
           0}},
         "WEBVTT\n\n00:01.000 --> 00:02.000\nA\n\n00:00:10.000 --> 00:00:11.500 line:0\nB\n\n"
         "00:00:00.000 --> 00:00:01.000\nCut\n",
         3},
        {"a broken timing line is no cue",
         {{"WEBVTT\n\n00:01 --> 00:02\nBad\n\n00:03.000 --> 00:04.000\nOk\n", 0}},
         "WEBVTT\n\n00:03.000 --> 00:04.000\nOk\n",
         1},
        {"a piece that is not WebVTT is refused and adds nothing",
         {{"WEBVTT\n\n00:01.000 --> 00:02.000\nA\n", 0}, {"<html>404</html>", 0}},
         "WEBVTT\n\n00:01.000 --> 00:02.000\nA\n",
         1},
    };
    for (const Case& c : cases) {
        TWebVttJoin join;
        for (const auto& [piece, offset] : c.Pieces)
            EXPECT_EQ(LooksLikeWebVtt(piece), join.Add(piece, offset)) << c.Name;
        EXPECT_EQ(c.Want, join.Text()) << c.Name;
        EXPECT_EQ(c.Cues, join.Cues()) << c.Name;
        EXPECT_FALSE(join.Overflow()) << c.Name;
    }
}

TEST(Subtitles, AJoinedFileStaysWithinItsBound)
{
    TWebVttJoin join;
    const std::string cue = "00:01.000 --> 00:02.000\n" + std::string(1000, 'x') + "\n";
    std::string piece = "WEBVTT\n";
    for (int i = 0; i < 1000; ++i)
        piece += "\n" + cue;
    // Each piece repeats the last one's cues: they count once, so the file stays small.
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(join.Add(piece));
    EXPECT_LT(join.Text().size(), 2u << 20);
    bool refused = false;
    // Different cues pile up until the bound refuses the piece that would pass it.
    for (int i = 0; i < 10 && !refused; ++i) {
        std::string other = "WEBVTT\n";
        for (int k = 0; k < 1000; ++k)
            other += "\n00:0" + std::to_string(i) + ".000 --> 00:10.000\n" + std::string(1000, 'y') + "\n";
        refused = !join.Add(other);
    }
    EXPECT_TRUE(refused);
    EXPECT_TRUE(join.Overflow());
    EXPECT_LE(join.Text().size(), MaxSubtitleBytes);
}

} // namespace
