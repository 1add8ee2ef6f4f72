#include "engine/pages/PageMedia.h"

#include "global/Global.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace cw;

namespace {

const std::string kPage = "https://www.example.com/a/b/page.html";

struct PageCase {
    const char* Name;
    std::string Html;
    std::string Title;
    std::vector<std::string> Files; // "address height"
    std::string EmbedHost = "";
    std::string StreamType = "";
    std::vector<std::string> Players = {}; // in the order they would be opened
    std::vector<std::string> Tracks = {}; // subtitle tracks: "address language" (+ " default")
};

const PageCase kPages[] = {
    {"OpenGraphArticle",
     "<html><head><title>Not this</title>"
     "<meta property=\"og:title\" content=\"Cats &amp; Dogs &#8211;  Live \">"
     "<meta property=\"og:video\" content=\"https://cdn.example.com/v/42.mp4\">"
     "<meta property=\"og:video:secure_url\" content=\"https://cdn.example.com/v/42s.mp4\">"
     "<META PROPERTY=\"og:video:type\" content=\"video/mp4\">"
     "<meta property='og:video:height' content=720><meta property=og:video:width content=1280>"
     "<meta name=\"og:video\" content=\"https://cdn.example.com/v/42-low.webm\">"
     "<meta content=\"360\" property=\"og:video:height\">"
     "<meta property=\"og:video:url\" content=\"https://cdn.example.com/v/42-low.webm\">",
     "Cats & Dogs \xE2\x80\x93 Live",
     {"https://cdn.example.com/v/42s.mp4 720", "https://cdn.example.com/v/42.mp4 720",
      "https://cdn.example.com/v/42-low.webm 360"}},
    {"OpenGraphPlayerOnly",
     "<title>\n  My   clip\t</title><meta property=\"og:video\" content=\"https://player.other.net/embed/5\">"
     "<meta property=\"og:video:type\" content=\"text/html\"><meta property=\"og:video:height\" content=\"720\">"
     "<svg><title>Not this</title></svg>",
     "My clip",
     {},
     "player.other.net",
     "",
     {"https://player.other.net/embed/5"}},
    {"PlayersOfTheOwnHostAreOpenedButNotNamed",
     "<meta property=\"og:video\" content=\"/embed/5\"><meta name=\"twitter:player\" content="
     "\"https://cards.other.example/p?id=5\"><iframe src=\"https://third.example/x\"></iframe>",
     "",
     {},
     "cards.other.example",
     "",
     {"https://www.example.com/embed/5", "https://cards.other.example/p?id=5", "https://third.example/x"}},
    {"JsonLdGraphBeforeOpenGraph",
     "<meta property=\"og:video\" content=\"https://media.example.com/og.mp4\">"
     "<script type=\"application/ld+json\">{\"@context\":\"https://schema.org\",\"@graph\":[{\"@type\":\"WebPage\","
     "\"name\":\"Page\"},{\"@type\":[\"CreativeWork\",\"VideoObject\"],\"name\":\"Graph \\u0026 Video\","
     "\"contentUrl\":\"https:\\/\\/media.example.com\\/1080.mp4\",\"height\":\"1080\",\"width\":1920}]}</script>",
     "Graph & Video",
     {"https://media.example.com/1080.mp4 1080", "https://media.example.com/og.mp4 0"}},
    {"JsonLdArrayWithQuantitativeValues",
     "<title>Fallback</title><script type='application/ld+json'>\n[{\"@type\":\"VideoObject\",\"contentUrl\":"
     "\"/media/a-360.mp4\",\"height\":{\"@type\":\"QuantitativeValue\",\"value\":360}},{\"@type\":\"VideoObject\","
     "\"contentUrl\":\"/media/a-720.webm\",\"encodingFormat\":\"video/webm\",\"height\":{\"value\":\"720\"},},]"
     "</script>",
     "Fallback",
     {"https://www.example.com/media/a-360.mp4 360", "https://www.example.com/media/a-720.webm 720"}},
    {"VideoSourcesInThreeSizes",
     "<video width=\"640\" height=\"360\" poster=\"/p.jpg\"><source src=\"/v/c360.mp4\" type='video/mp4; "
     "codecs=\"avc1.42E01E\"' label=\"360p\"><source src=/v/c720.mp4 type=video/mp4 res=720><source data-res=\"1080\" "
     "src=\"/v/c1080.webm\" type=\"video/webm\"><source src=\"/v/plain.mp4\"></video><source src=\"/outside.mp4\">"
     "<audio src=\"/a/track.mp3\"></audio>",
     "",
     {"https://www.example.com/v/c360.mp4 360", "https://www.example.com/v/c720.mp4 720",
      "https://www.example.com/v/c1080.webm 1080", "https://www.example.com/v/plain.mp4 360",
      "https://www.example.com/a/track.mp3 0"}},
    {"RelativeAddressesWithBase",
     "<video src=\"../clips/x.mp4#t=5\"><source src=\"//cdn2.example.org/y.webm\"></video>"
     "<base target=\"_top\"><base href=\"https://static.example.net/media/\"><base href=\"/ignored/\">",
     "",
     {"https://static.example.net/clips/x.mp4 0", "https://cdn2.example.org/y.webm 0"}},
    {"RelativeAddressesWithoutBase",
     "<video src=\"my clip.mp4\"></video><video src=\"./x/../../up.mp4?a=1&amp;b=2\"></video>",
     "",
     {"https://www.example.com/a/b/my%20clip.mp4 0", "https://www.example.com/a/up.mp4?a=1&b=2 0"}},
    {"OnlyStreams",
     "<video><source src=\"/live/master.m3u8\"><source src=\"/dash/m\" type=\"application/dash+xml\"></video>"
     "<meta property=\"og:video\" content=\"https://www.example.com/live/og.M3U8?token=1\">",
     "",
     {},
     "",
     "HLS"},
    {"OnlyDashManifests",
     "<script type=\"application/ld+json\">{\"@type\":\"VideoObject\",\"contentUrl\":\"/v/manifest.mpd\"}</script>"
     "<meta property=\"og:video\" content=\"https://cdn.example.com/dash/og.MPD?sig=1\">"
     "<video src=\"/v/clip.mpd\"></video>",
     "",
     {},
     "",
     "DASH"},
    {"OnlyIframes",
     "<iframe src=\"/ads/frame.html\"></iframe><iframe width=\"0\" height=\"0\" src=\"https://tags.tracker.example/"
     "ns.html\"></iframe><iframe src=\"//player.videohost.example/embed/9?autoplay=1\"></iframe>",
     "",
     {},
     "player.videohost.example",
     "",
     {"https://player.videohost.example/embed/9?autoplay=1"}},
    {"FramesThatLookLikePlayersFirstAdvertsAndBlanksNever",
     "<iframe src=\"about:blank\"></iframe><iframe src=\"javascript:void(0)\"></iframe><iframe src=\"data:text/html,"
     "hi\"></iframe><iframe src=\"https://securepubads.g.doubleclick.net/x\"></iframe><iframe id=\"ad-slot\" src="
     "\"https://cdn.other.example/slot\"></iframe><iframe src=\"/comments/thread\"></iframe><iframe src=\"https://"
     "widgets.other.example/follow\"></iframe><iframe src=\"/embed/own\"></iframe><iframe src=\"https://cdn.host."
     "example/v/1\" allowfullscreen></iframe><iframe src=\"https://player.host.example/v/1\" allow=\"autoplay; "
     "fullscreen\"></iframe><iframe src=\"page.html\" class=\"video\"></iframe>",
     "",
     {},
     "player.host.example",
     "",
     {"https://player.host.example/v/1", "https://www.example.com/embed/own", "https://cdn.host.example/v/1"}},
    {"MicrodataNestedItemsKeepTheirOwnProperties",
     "<title>Page</title><article itemscope itemtype=\"https://schema.org/Article\"><h1 itemprop=\"name\">Article"
     "</h1><div itemprop=\"video\" itemscope itemtype=\"https://schema.org/VideoObject\"><h2 itemprop=\"name "
     "headline\">Micro <b>Clip</b> &amp;\n more</h2><div itemprop=\"author\" itemscope itemtype=\"https://"
     "schema.org/Person\"><span itemprop=\"name\">Bob</span><a itemprop=\"contentUrl\" href=\"/person.mp4\">x</a>"
     "</div><meta itemprop=\"encodingFormat\" content=\"video/mp4\"><meta itemprop=\"height\" content=\"720\">"
     "<span itemprop=\"width\">1280</span><div><div><link itemprop=\"contentUrl\" href=\"/m/clip-720.mp4\"></div>"
     "</div><a itemprop=\"https://schema.org/contentUrl\" href=\"//cdn.example.net/clip-b.mp4\">b</a></div>"
     "<span itemprop=\"contentUrl\">/article.mp4</span></article>"
     "<meta property=\"og:video\" content=\"https://www.example.com/og.mp4\">",
     "Micro Clip & more",
     {"https://www.example.com/m/clip-720.mp4 720", "https://cdn.example.net/clip-b.mp4 720",
      "https://www.example.com/og.mp4 0"}},
    {"MicrodataValueByElementKind",
     "<div itemscope itemtype=\"http://schema.org/VideoObject\"><video itemprop=\"contentUrl\" src=\"/e/v.webm\">"
     "</video><source itemprop=contentUrl src=/e/s.mp4><embed itemprop=\"contentUrl\" src=\"/e/e.mp4\"><object "
     "itemprop=\"contentUrl\" data=\"/e/o.mp4\"></object><data itemprop=\"height\" value=\"480\">1080</data>"
     "<img itemprop=\"contentUrl\" src=\"/e/thumb.mp4\" itemprop=\"thumbnailUrl\"><iframe itemprop=\"embedUrl\" "
     "src=\"https://player.example.org/e/1\"></iframe></div><p itemscope itemtype=\"https://schema.org/VideoObject "
     "https://schema.org/CreativeWork\"><span itemprop=\"contentUrl\">  /e/text.mp4 </span><time itemprop=\"name\" "
     "datetime=\"2026-01-01\">New year</time>",
     "2026-01-01",
     {"https://www.example.com/e/v.webm 480", "https://www.example.com/e/s.mp4 480",
      "https://www.example.com/e/e.mp4 480", "https://www.example.com/e/o.mp4 480",
      "https://www.example.com/e/thumb.mp4 480", "https://www.example.com/e/text.mp4 0"},
     "",
     "",
     {"https://player.example.org/e/1"}},
    {"MicrodataOtherTypesAndBrokenNestingGiveNothing",
     "<div itemscope itemtype=\"https://schema.org/Movie\"><link itemprop=\"contentUrl\" href=\"/movie.mp4\"></div>"
     "<span itemprop=\"contentUrl\">/loose.mp4</span><section itemscope itemtype=\"https://schema.org/VideoObject\">"
     "<div itemscope><meta itemprop=\"embedUrl\" content=\"https://cards.example.org/1\"></section>"
     "<meta itemprop=\"contentUrl\" content=\"/after.mp4\"><meta name=\"twitter:title\" content=\"Card title\">",
     "Card title",
     {}},
    {"UnfetchableAddressesIgnored",
     "<video src=\"data:video/mp4;base64,AAAA\"><source src=\"javascript:alert(1)\"><source src=\"blob:https://"
     "www.example.com/1\"><source src=\"ftp://x.example/y.mp4\"><source src=\"/bad&#x0A;line.mp4\"><source src="
     "\"/bad\x01.mp4\"><source src=\"http:///nohost.mp4\"><source src=\" \n/good.mp4 \"></video>",
     "",
     {"https://www.example.com/good.mp4 0"}},
    {"CharacterReferences",
     "<title>Tom &amp; Jerry&nbsp;&#x263A; &#150; &#9999999999;</title><meta property=\"og:video\" "
     "content=\"https://cdn.example.com/get?id=5&amp;sig=a&#x26;b&#38;c\"><meta property=\"og:video:type\" "
     "content=\"VIDEO/MP4\">",
     "Tom & Jerry \xE2\x98\xBA \xE2\x80\x93 \xEF\xBF\xBD",
     {"https://cdn.example.com/get?id=5&sig=a&b&c 0"}},
    {"MarkupInsideTextIsNotRead",
     "<script>var s = '<video src=\"/fake.mp4\">';</script ><!-- <video src=\"/commented.mp4\"> --!>"
     "<textarea><video src=\"/typed.mp4\"></TEXTAREA><iframe src=\"/f\"><video src=/inner.mp4></iframe><div "
     "title='<video src=/quoted.mp4>'><video src=/real.mp4>",
     "",
     {"https://www.example.com/real.mp4 0"}},
    {"TextTracksOfMediaElements",
     "<track src=\"/outside.vtt\" srclang=\"fr\"><video src=\"/v.mp4\"><track src=\"sub/en.vtt\" srclang=\"en\">"
     "<track kind=\"CAPTIONS\" src=\"/cc.vtt?a=1&amp;b=2\" srclang=\" de-AT \" default>"
     "<track kind=\"chapters\" src=\"/ch.vtt\" srclang=\"en\"><track kind=\"metadata\" src=\"/m.vtt\">"
     "<track kind=\"descriptions\" src=\"/d.vtt\"><track kind=\"\" src=\"/empty-kind.vtt\">"
     "<track kind=\"subtitles\" src=\"javascript:x\"><track kind=\"subtitles\" srclang=\"it\"></video>"
     "<audio><track src=\"//cdn.example.org/a.vtt\"></audio>",
     "",
     {"https://www.example.com/v.mp4 0"},
     "",
     "",
     {},
     {"https://www.example.com/a/b/sub/en.vtt en", "https://www.example.com/cc.vtt?a=1&b=2 de-AT default",
      "https://cdn.example.org/a.vtt "}},
};

class PageMediaPages : public testing::TestWithParam<PageCase> {};

TEST_P(PageMediaPages, FindsTitleFilesAndFallbacks)
{
    const PageCase& c = GetParam();
    const TPageMedia media = FindPageMedia(c.Html, kPage);
    std::vector<std::string> files;
    for (const TMediaCandidate& f : media.Files)
        files.push_back(f.Url + " " + std::to_string(f.Height));
    EXPECT_EQ(media.Title, c.Title);
    EXPECT_EQ(files, c.Files);
    EXPECT_EQ(media.EmbedHost, c.EmbedHost);
    EXPECT_EQ(media.StreamType, c.StreamType);
    EXPECT_EQ(media.Players, c.Players);
    std::vector<std::string> tracks;
    for (const TPageTrack& t : media.Tracks)
        tracks.push_back(t.Url + " " + t.Language + (t.Default ? " default" : ""));
    EXPECT_EQ(tracks, c.Tracks);
    for (const TMediaCandidate& s : media.Streams)
        EXPECT_EQ(s.Url.find(".mp4"), std::string::npos) << s.Url;
}

INSTANTIATE_TEST_SUITE_P(PageMedia, PageMediaPages, testing::ValuesIn(kPages),
                         [](const testing::TestParamInfo<PageCase>& info) { return info.param.Name; });

// Each candidate carries the title of the markup that named it, so the file is named by the
// same standard as the video taken; the page's title falls back in the same order.
TEST(PageMediaTitles, EachCandidateCarriesItsOwnMarkupsTitle)
{
    const struct {
        const char* Html;
        const char* PageTitle;
        std::vector<std::pair<std::string, std::string>> Files; // address, title
    } kCases[] = {
        {"<title>Html</title><meta name=\"twitter:title\" content=\"Card\"><meta name=\"twitter:player:stream\" "
         "content=\"/t.mp4\"><video src=\"/w.mp4\"></video><meta property=\"og:title\" content=\"Graph\"><meta "
         "property=\"og:video\" content=\"/o.mp4\"><script type=\"application/ld+json\">{\"@type\":\"VideoObject\","
         "\"name\":\"Linked\",\"contentUrl\":\"/j.mp4\"}</script><div itemscope itemtype=\"https://schema.org/"
         "VideoObject\"><meta itemprop=\"name\" content=\"Micro\"><link itemprop=\"contentUrl\" href=\"/m.mp4\"></div>",
         "Graph",
         {{"j.mp4", "Linked"}, {"m.mp4", "Micro"}, {"o.mp4", "Graph"}, {"t.mp4", "Card"}, {"w.mp4", ""}}},
        {"<title>Html</title><div itemscope itemtype=\"https://schema.org/VideoObject\"><span itemprop=name>Micro"
         "</span><link itemprop=contentUrl href=/m.mp4></div><meta name=\"twitter:title\" content=\"Card\">",
         "Micro",
         {{"m.mp4", "Micro"}}},
        {"<title>Html</title><meta name=\"twitter:title\" content=\" Card \"><video src=/w.mp4>",
         "Card",
         {{"w.mp4", ""}}},
        {"<title>Html</title><meta property=\"og:video\" content=\"/o.mp4\">", "Html", {{"o.mp4", ""}}},
    };
    for (const auto& c : kCases) {
        const TPageMedia media = FindPageMedia(c.Html, kPage);
        EXPECT_EQ(media.Title, c.PageTitle) << c.Html;
        std::vector<std::pair<std::string, std::string>> files;
        for (const TMediaCandidate& f : media.Files)
            files.emplace_back(f.Url.substr(f.Url.rfind('/') + 1), f.Title);
        EXPECT_EQ(files, c.Files) << c.Html;
    }
}

// oEmbed discovery takes the JSON form's address; the answer's html gives the player's frame.
TEST(PageMediaOEmbed, DiscoveryAndTheAnswersPlayer)
{
    EXPECT_EQ(FindPageMedia("<link rel=\"alternate\" type=\"text/xml+oembed\" href=\"/o.xml\"><link rel=\"Alternate "
                            "nofollow\" type=\"application/json+oembed\" href=\"/oembed?url=x&amp;format=json\"><link "
                            "rel=\"alternate\" type=\"application/json+oembed\" href=\"/second\">",
                            kPage)
                  .OEmbed,
              "https://www.example.com/oembed?url=x&format=json");
    EXPECT_EQ(FindPageMedia("<link rel=\"stylesheet alternates\" type=\"application/json+oembed\" href=\"/o\">", kPage)
                  .OEmbed,
              "");

    const std::string answer = "https://oembed.example.net/api/oembed.json?url=1";
    const std::pair<std::string, std::string> kAnswers[] = {
        {"{\"type\":\"video\",\"version\":\"1.0\",\"html\":\"<iframe width=\\\"640\\\" src=\\\"https:\\/\\/player."
         "example.net\\/video\\/1?h=a&amp;b=2\\\" allowfullscreen><\\/iframe>\"}",
         "https://player.example.net/video/1?h=a&b=2"},
        {"{\"html\":\"<div><iframe src='//cdn.example.net/e/2'></iframe></div>\",\"width\":640}",
         "https://cdn.example.net/e/2"},
        {"{\"html\":\"<iframe src='/relative/3'></iframe>\"}", "https://oembed.example.net/relative/3"},
        {"{\"type\":\"video\",\"html\":\"<video src='/v.mp4'></video>\"}", ""},
        {"{\"html\":\"<iframe src='javascript:alert(1)'></iframe>\"}", ""},
        {"{\"html\":42}", ""},
        {"[\"html\"]", ""},
        {"<html>not json</html>", ""},
        {"{\"html\":\"<iframe src='https://a.example/1'>", ""}, // the string never ends
    };
    for (const auto& [json, player] : kAnswers)
        EXPECT_EQ(OEmbedPlayer(json, answer), player) << json;
}

TEST(PageMediaPick, ChoosesByQuality)
{
    const std::vector<TMediaCandidate> sized = {
        {"https://h/240.webm", "", 240},          {"https://h/540", "video/webm", 540},
        {"https://h/1080a", "video/x-flv", 1080}, {"https://h/240.mp4", "", 240},
        {"https://h/720", "video/mp4", 720},      {"https://h/1080b", "video/mp4", 1080},
        {"https://h/none", "video/mp4", 0}};
    // Without heights an MP4 after a WebM wins; between equal formats the more trusted (first).
    const std::vector<TMediaCandidate> unsized = {{"https://h/first.webm", ""}, {"https://h/second.mp4", ""}};
    const std::vector<TMediaCandidate> unsizedTyped = {{"https://h/a.flv", "video/x-flv"},
                                                       {"https://h/b", "video/webm"},
                                                       {"https://h/c", "video/mp4"},
                                                       {"https://h/d.mp4", ""}};
    const std::vector<TMediaCandidate> unsizedSame = {{"https://h/one.webm", ""}, {"https://h/two.webm", ""}};
    const struct {
        const std::vector<TMediaCandidate>* Files;
        int Quality;
        const char* Expected;
    } kCases[] = {
        {&sized, vqNormal, "https://h/240.mp4"},
        {&sized, vqHQ, "https://h/540"},
        {&sized, vqHD, "https://h/1080b"},
        {&sized, vqBestAvailable, "https://h/1080b"},
        {&unsized, vqNormal, "https://h/second.mp4"},
        {&unsized, vqBestAvailable, "https://h/second.mp4"},
        {&unsizedTyped, vqHQ, "https://h/c"},
        {&unsizedSame, vqHD, "https://h/one.webm"},
    };
    for (const auto& c : kCases) {
        const TMediaCandidate* pick = PickMediaCandidate(*c.Files, c.Quality);
        ASSERT_NE(pick, nullptr);
        EXPECT_EQ(pick->Url, c.Expected) << "quality " << c.Quality;
    }
    const std::vector<TMediaCandidate> around = {{"https://h/400", "", 400}, {"https://h/560", "", 560}};
    EXPECT_EQ(PickMediaCandidate(around, vqHQ)->Url, "https://h/560"); // equally near: the taller
    EXPECT_EQ(PickMediaCandidate({}, vqHD), nullptr);
}

TEST(PageMediaExtension, FromTypeElseAddress)
{
    const struct {
        TMediaCandidate C;
        const char* Expected;
    } kCases[] = {
        {{"https://h/v", "video/quicktime"}, ".mov"}, {{"https://h/v.mp4", "video/webm"}, ".webm"},
        {{"https://h/v.OPUS?x=.mp4", ""}, ".opus"},   {{"https://h/dir.mkv/v", ""}, ".mp4"},
        {{"https://h/v.m3u8", ""}, ".mp4"},           {{"https://h/a", "audio/mpeg"}, ".mp3"},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(MediaExtension(c.C), c.Expected) << c.C.Url;
}

TEST(PageMediaResolve, ReferenceResolutionExamples)
{
    const std::string base = "http://a/b/c/d;p?q";
    const std::pair<const char*, const char*> kCases[] = {
        {"g:h", "g:h"},
        {"g", "http://a/b/c/g"},
        {"./g", "http://a/b/c/g"},
        {"g/", "http://a/b/c/g/"},
        {"/g", "http://a/g"},
        {"//g", "http://g"},
        {"?y", "http://a/b/c/d;p?y"},
        {"g?y#s", "http://a/b/c/g?y#s"},
        {"#s", "http://a/b/c/d;p?q#s"},
        {"", "http://a/b/c/d;p?q"},
        {".", "http://a/b/c/"},
        {"..", "http://a/b/"},
        {"../..", "http://a/"},
        {"../../g", "http://a/g"},
        {"../../../../g", "http://a/g"},
        {"/./g", "http://a/g"},
        {"/../g", "http://a/g"},
        {"g.", "http://a/b/c/g."},
        {"..g", "http://a/b/c/..g"},
        {"./../g", "http://a/b/g"},
        {"g/../h", "http://a/b/c/h"},
        {"g;x=1/../y", "http://a/b/c/y"},
        {"g?y/./x", "http://a/b/c/g?y/./x"},
        {"g#s/../x", "http://a/b/c/g#s/../x"},
        {"http:g", "http:g"},
    };
    for (const auto& [ref, expected] : kCases)
        EXPECT_EQ(ResolveAddress(base, ref), expected) << "ref \"" << ref << "\"";
    EXPECT_EQ(ResolveAddress("http://a", "g"), "http://a/g");
}

TEST(PageMediaHostile, FinishesWithoutFiles)
{
    auto times = [](const std::string& s, std::size_t n) {
        std::string out;
        out.reserve(s.size() * n);
        for (std::size_t i = 0; i < n; ++i)
            out += s;
        return out;
    };
    const std::string ld = "<script type=\"application/ld+json\">";
    const std::vector<std::string> pages = {
        "<!--" + times("<video src=/v.mp4>--!", 2500000),         // 50 MB comment left open
        "<div title=\"" + times("<video src=/v.mp4>'", 2700000),  // 50 MB quote left open
        "<a" + times(" b=c", 3000000),                            // a tag that never ends
        "<script>" + times("<video src=/v.mp4></scrip>", 200000), // a script left open
        times("<source src=\"/s.mp4\" res=720>", 100000),         // sources outside any video
        ld + times("[", 10000) + "{\"@type\":\"VideoObject\",\"contentUrl\":\"/deep.mp4\"}" + times("]", 10000),
        ld + times("{\"a\":", 10000) + "1" + times("}", 10000),
        ld + "{\"@type\":\"VideoObject\",\"contentUrl\":\"/x.mp4" + times("\\", 1000001),
        ld + "{\"@type\":\"VideoObject\",\"contentUrl\":\"/big.mp4\",\"pad\":\"" + times("x", 5000000) + "\"}",
        times("&#x", 3000000) + "<title>" + times("&#99999999999999", 100000),
        // microdata: names whose end never comes, and items nested past any real page
        "<div itemscope itemtype=\"https://schema.org/VideoObject\">" + times("<span itemprop=\"name\">x", 500000),
        times("<div itemscope itemtype=\"https://schema.org/VideoObject\"><link itemprop=contentUrl href=data:x>",
              200000),
        times("<p itemscope><b itemprop=\"contentUrl\">/v.mp4</b></p>", 200000),
    };
    for (const std::string& page : pages) {
        const TPageMedia media = FindPageMedia(page, kPage);
        EXPECT_TRUE(media.Files.empty()) << page.substr(0, 60);
        EXPECT_TRUE(media.Streams.empty());
    }

    std::string many = "<video>";
    for (int i = 0; i < 100000; ++i)
        many += "<source src=\"/s/" + std::to_string(i) + ".mp4\" label=\"" + std::to_string(i % 2000) + "p\">";
    const TPageMedia media = FindPageMedia(many, kPage);
    EXPECT_EQ(media.Files.size(), MaxMediaCandidates);
    EXPECT_EQ(PickMediaCandidate(media.Files, vqBestAvailable)->Height, 999);
}

} // namespace
