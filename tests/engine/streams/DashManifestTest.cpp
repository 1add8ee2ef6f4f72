#include "engine/streams/DashManifest.h"

#include "global/Global.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

using namespace cw;

namespace {

const std::string kBase = "https://cdn.example.com/v/7/manifest.mpd?token=abc";

std::string Range(const TDashSegment& s)
{
    return s.Offset < 0 ? std::string() : " @" + std::to_string(s.Offset) + "+" + std::to_string(s.Length);
}

// One line per period and representation, and one per request of each, so a table says what a
// manifest means at a glance.
std::vector<std::string> Describe(const TDashManifest& m)
{
    std::vector<std::string> out;
    for (const TDashPeriod& p : m.Periods) {
        char line[96];
        std::snprintf(line, sizeof line, "P %s %g %g", p.Id.c_str(), p.Start, p.Duration);
        out.push_back(line);
        for (const TDashRepresentation& r : p.Representations) {
            const char* kind = r.Kind == TDashKind::Video ? "video" : r.Kind == TDashKind::Audio ? "audio" : "other";
            out.push_back("R " + r.Id + " " + kind + " " + std::to_string(r.Bandwidth) + " " + std::to_string(r.Width) +
                          "x" + std::to_string(r.Height) + " [" + r.Codecs + "]");
            if (!r.Init.Url.empty())
                out.push_back("I " + r.Init.Url + Range(r.Init));
            if (r.Indexed)
                out.push_back("X " + r.IndexUrl + " @" + std::to_string(r.IndexOffset) + "+" +
                              std::to_string(r.IndexLength));
            for (std::int64_t i = 0; i < r.Segments.Count(); ++i)
                out.push_back("S " + r.Segments.At(i).Url + Range(r.Segments.At(i)));
        }
    }
    return out;
}

std::string Mpd(const std::string& body, const std::string& attrs = "mediaPresentationDuration=\"PT10S\"")
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<MPD xmlns=\"urn:mpeg:dash:schema:mpd:2011\" "
           "type=\"static\" " +
           attrs + ">\n" + body + "</MPD>\n";
}

struct GoodCase {
    const char* Name;
    std::string Text;
    std::vector<std::string> Expected;
};

const GoodCase kGood[] = {
    {"TemplateWithNumberWidthAndBaseUrlAtEveryLevel",
     Mpd("<BaseURL>media/</BaseURL>\n<Period id=\"p0\"><BaseURL>p0/</BaseURL>\n"
         "<AdaptationSet mimeType=\"video/mp4\" codecs=\"avc1.64001f\"><BaseURL>../v/</BaseURL>\n"
         "<SegmentTemplate timescale=\"1000\" duration=\"4000\" startNumber=\"7\" "
         "initialization=\"init-$RepresentationID$.m4s\" media=\"chunk-$RepresentationID$-$Number%05d$.m4s\"/>\n"
         "<Representation id=\"hd\" bandwidth=\"3000000\" width=\"1280\" height=\"720\"><BaseURL>720/</BaseURL>"
         "</Representation>\n"
         "<Representation id=\"sd\" bandwidth=\"800000\" width=\"640\" height=\"360\">"
         "<BaseURL>https://other.example.net/sd/</BaseURL></Representation>\n"
         "</AdaptationSet></Period>\n"),
     {"P p0 0 10", "R hd video 3000000 1280x720 [avc1.64001f]", "I https://cdn.example.com/v/7/media/v/720/init-hd.m4s",
      "S https://cdn.example.com/v/7/media/v/720/chunk-hd-00007.m4s",
      "S https://cdn.example.com/v/7/media/v/720/chunk-hd-00008.m4s",
      "S https://cdn.example.com/v/7/media/v/720/chunk-hd-00009.m4s", "R sd video 800000 640x360 [avc1.64001f]",
      "I https://other.example.net/sd/init-sd.m4s", "S https://other.example.net/sd/chunk-sd-00007.m4s",
      "S https://other.example.net/sd/chunk-sd-00008.m4s", "S https://other.example.net/sd/chunk-sd-00009.m4s"}},
    {"TimelineWithRepeatsAndRepeatToTheNextStartAndToTheEnd",
     Mpd("<Period duration=\"PT0H0M6S\"><AdaptationSet contentType=\"audio\">\n"
         "<SegmentTemplate timescale=\"10\" media=\"$RepresentationID$/$Bandwidth$/$Time$.m4a\" "
         "initialization=\"$RepresentationID$/init.mp4\">\n<SegmentTimeline>\n"
         "<S t=\"0\" d=\"10\" r=\"1\"/>\n<S d=\"5\" r=\"-1\"/>\n<S t=\"40\" d=\"10\" r=\"-1\"/>\n"
         "</SegmentTimeline></SegmentTemplate>\n"
         "<Representation id=\"a1\" bandwidth=\"128000\" codecs=\"mp4a.40.2\"/>\n</AdaptationSet></Period>\n"),
     {"P  0 6", "R a1 audio 128000 0x0 [mp4a.40.2]", "I https://cdn.example.com/v/7/a1/init.mp4",
      "S https://cdn.example.com/v/7/a1/128000/0.m4a", "S https://cdn.example.com/v/7/a1/128000/10.m4a",
      "S https://cdn.example.com/v/7/a1/128000/20.m4a", "S https://cdn.example.com/v/7/a1/128000/25.m4a",
      "S https://cdn.example.com/v/7/a1/128000/30.m4a", "S https://cdn.example.com/v/7/a1/128000/35.m4a",
      "S https://cdn.example.com/v/7/a1/128000/40.m4a", "S https://cdn.example.com/v/7/a1/128000/50.m4a"}},
    {"TimelineNumbersCountFromStartNumberAndTimesCarryOn",
     Mpd("<Period><AdaptationSet mimeType=\"video/mp4\"><SegmentTemplate startNumber=\"0\" "
         "media=\"s$Number$-$Time%08d$.m4s\"><SegmentTimeline><S t=\"90\" d=\"30\" r=\"2\"/></SegmentTimeline>"
         "</SegmentTemplate><Representation id=\"v\" height=\"480\"/></AdaptationSet></Period>",
         "mediaPresentationDuration=\"PT200S\""),
     {"P  0 200", "R v video 0 0x480 []", "S https://cdn.example.com/v/7/s0-00000090.m4s",
      "S https://cdn.example.com/v/7/s1-00000120.m4s", "S https://cdn.example.com/v/7/s2-00000150.m4s"}},
    {"SegmentListWithRangesAndTheBaseItself",
     Mpd("<Period><AdaptationSet mimeType=\"audio/mp4\"><Representation id=\"a\" bandwidth=\"64000\">"
         "<BaseURL>audio.mp4</BaseURL><SegmentList duration=\"2\"><Initialization sourceURL=\"init.mp4\" "
         "range=\"0-99\"/>\n<SegmentURL mediaRange=\"100-1099\"/>\n<SegmentURL media=\"two.m4s\"/>\n"
         "<SegmentURL media=\"/abs/three.m4s\" mediaRange=\"5-5\"/>\n</SegmentList></Representation>"
         "</AdaptationSet></Period>"),
     {"P  0 10", "R a audio 64000 0x0 []", "I https://cdn.example.com/v/7/init.mp4 @0+100",
      "S https://cdn.example.com/v/7/audio.mp4 @100+1000", "S https://cdn.example.com/v/7/two.m4s",
      "S https://cdn.example.com/abs/three.m4s @5+1"}},
    {"SegmentBaseWithAnIndexAndWithout",
     Mpd("<Period><AdaptationSet mimeType=\"video/mp4\">\n"
         "<Representation id=\"1\" height=\"720\"><BaseURL>v720.mp4</BaseURL><SegmentBase indexRange=\"812-1023\">"
         "<Initialization range=\"0-811\"/></SegmentBase></Representation>\n"
         "<Representation id=\"2\" height=\"360\"><BaseURL>v360.mp4</BaseURL>"
         "<SegmentBase indexRange=\"700-799\"/></Representation>\n"
         "<Representation id=\"3\" height=\"240\"><BaseURL>v240.mp4</BaseURL></Representation>\n"
         "<Representation id=\"4\" height=\"144\"><BaseURL>v144.mp4</BaseURL><SegmentBase>"
         "<Initialization range=\"0-99\"/></SegmentBase></Representation>\n"
         "</AdaptationSet></Period>"),
     {"P  0 10", "R 1 video 0 0x720 []", "I https://cdn.example.com/v/7/v720.mp4 @0+812",
      "X https://cdn.example.com/v/7/v720.mp4 @812+212", "R 2 video 0 0x360 []",
      "I https://cdn.example.com/v/7/v360.mp4 @0+700", "X https://cdn.example.com/v/7/v360.mp4 @700+100",
      "R 3 video 0 0x240 []", "S https://cdn.example.com/v/7/v240.mp4", "R 4 video 0 0x144 []",
      "S https://cdn.example.com/v/7/v144.mp4"}},
    {"PeriodsInOrderWithInheritedAddressing",
     Mpd("<Period id=\"one\" duration=\"PT4S\"><SegmentTemplate timescale=\"1\" duration=\"2\" media=\"$Number$.ts\"/>"
         "<AdaptationSet mimeType=\"video/mp2t\"><SegmentTemplate media=\"one-$Number$.ts\"/>"
         "<Representation id=\"v\" height=\"720\"/></AdaptationSet></Period>\n"
         "<Period id=\"two\"><BaseURL>two/</BaseURL><AdaptationSet mimeType=\"video/mp2t\">"
         "<SegmentTemplate duration=\"3\" media=\"$Number$.ts\"/>"
         "<Representation id=\"v\" height=\"720\"/></AdaptationSet></Period>\n",
         "mediaPresentationDuration=\"PT10.5S\""),
     {"P one 0 4", "R v video 0 0x720 []", "S https://cdn.example.com/v/7/one-1.ts",
      "S https://cdn.example.com/v/7/one-2.ts", "P two 4 6.5", "R v video 0 0x720 []",
      "S https://cdn.example.com/v/7/two/1.ts", "S https://cdn.example.com/v/7/two/2.ts",
      "S https://cdn.example.com/v/7/two/3.ts"}},
    {"TextAndUnknownSetsAreKeptAsOther",
     Mpd("<Period><AdaptationSet mimeType=\"text/vtt\"><Representation id=\"en\"><BaseURL>en.vtt</BaseURL>"
         "</Representation></AdaptationSet><AdaptationSet contentType=\"video\"><Representation id=\"v\" "
         "mimeType=\"video/webm\" codecs=\"vp9\"><BaseURL>v.webm</BaseURL></Representation></AdaptationSet>"
         "</Period>"),
     {"P  0 10", "R en other 0 0x0 []", "S https://cdn.example.com/v/7/en.vtt", "R v video 0 0x0 [vp9]",
      "S https://cdn.example.com/v/7/v.webm"}},
    {"KindsFromCodecsWhenNothingElseSays",
     Mpd("<Period><AdaptationSet><Representation id=\"m\" codecs=\"avc1.4d401e, mp4a.40.2\"><BaseURL>m.mp4</BaseURL>"
         "</Representation><Representation id=\"a\" codecs=\"Opus\"><BaseURL>a.webm</BaseURL></Representation>"
         "<Representation id=\"x\" codecs=\"stpp\"><BaseURL>x.mp4</BaseURL></Representation></AdaptationSet></Period>"),
     {"P  0 10", "R m video 0 0x0 [avc1.4d401e, mp4a.40.2]", "S https://cdn.example.com/v/7/m.mp4",
      "R a audio 0 0x0 [Opus]", "S https://cdn.example.com/v/7/a.webm", "R x other 0 0x0 [stpp]",
      "S https://cdn.example.com/v/7/x.mp4"}},
    // A period of 5 s on a clock that starts at 100: the run is cut where the period ends, the
    // next S is past it, and numbers go on across runs.
    {"TimelineSegmentsPastThePeriodEndAreNotCounted",
     Mpd("<Period duration=\"PT5S\"><AdaptationSet mimeType=\"video/mp4\"><SegmentTemplate timescale=\"2\" "
         "presentationTimeOffset=\"100\" startNumber=\"9\" media=\"$Number$@$Time$\"><SegmentTimeline>"
         "<S t=\"96\" d=\"4\"/><S d=\"2\" r=\"999999\"/><S t=\"5000000\" d=\"2\"/></SegmentTimeline>"
         "</SegmentTemplate><Representation id=\"v\"/></AdaptationSet></Period>"),
     {"P  0 5", "R v video 0 0x0 []", "S https://cdn.example.com/v/7/9@96", "S https://cdn.example.com/v/7/10@100",
      "S https://cdn.example.com/v/7/11@102", "S https://cdn.example.com/v/7/12@104",
      "S https://cdn.example.com/v/7/13@106", "S https://cdn.example.com/v/7/14@108"}},
    // 4.5 s in segments of 2 s: the third starts inside the period. One segment as long as the
    // largest number ends the period at once.
    {"TemplateDurationCountsEverySegmentThatStartsInThePeriod",
     Mpd("<Period><AdaptationSet mimeType=\"video/mp4\"><SegmentTemplate timescale=\"1000\" duration=\"2000\" "
         "presentationTimeOffset=\"9223372036854770000\" media=\"$Number$@$Time$\"/><Representation id=\"v\"/>"
         "</AdaptationSet><AdaptationSet mimeType=\"audio/mp4\"><SegmentTemplate duration=\"9223372036854775807\" "
         "startNumber=\"9223372036854775807\" media=\"$Number$\"/><Representation id=\"a\"/></AdaptationSet>"
         "</Period>",
         "mediaPresentationDuration=\"PT4.5S\""),
     {"P  0 4.5", "R v video 0 0x0 []", "S https://cdn.example.com/v/7/1@9223372036854770000",
      "S https://cdn.example.com/v/7/2@9223372036854772000", "S https://cdn.example.com/v/7/3@9223372036854774000",
      "R a audio 0 0x0 []", "S https://cdn.example.com/v/7/9223372036854775807"}},
};

class DashGood : public testing::TestWithParam<GoodCase> {};

TEST_P(DashGood, ReadsEveryRequest)
{
    const GoodCase& c = GetParam();
    const TDashParse r = ParseDashManifest(c.Text, kBase);
    ASSERT_TRUE(r.Ok()) << "line " << r.Line << ": " << r.Error;
    EXPECT_EQ(Describe(r.Manifest), c.Expected);
}

INSTANTIATE_TEST_SUITE_P(Dash, DashGood, testing::ValuesIn(kGood),
                         [](const testing::TestParamInfo<GoodCase>& info) { return info.param.Name; });

struct BadCase {
    const char* Name;
    std::string Text;
    TDashStatus Status;
    int Line; // 0: any
    const char* Words;
};

std::string Deep(int levels)
{
    std::string s = "<MPD>";
    for (int i = 0; i < levels; ++i)
        s += "<a>";
    for (int i = 0; i < levels; ++i)
        s += "</a>";
    return s + "</MPD>";
}

const BadCase kBad[] = {
    {"Live", "<MPD type=\"dynamic\"><Period/></MPD>", TDashStatus::Live, 0, "live streams are not supported"},
    {"ProtectedSet",
     Mpd("<Period><AdaptationSet mimeType=\"video/mp4\"><ContentProtection "
         "schemeIdUri=\"urn:mpeg:dash:mp4protection:2011\" "
         "value=\"cenc\"/><Representation id=\"v\"><BaseURL>v.mp4</BaseURL></Representation></AdaptationSet></Period>"),
     TDashStatus::Protected, 0, "the stream is protected by DRM"},
    {"ProtectedRepresentation",
     Mpd("<Period><AdaptationSet mimeType=\"video/mp4\"><Representation id=\"v\"><ContentProtection "
         "schemeIdUri=\"urn:uuid:edef8ba9-79d6-4ace-a3c8-27dcd51d21ed\"/></Representation></AdaptationSet></Period>"),
     TDashStatus::Protected, 0, "the stream is protected by DRM"},
    {"NotXml", "<MPD>\n<Period>\n</MPD>", TDashStatus::Malformed, 3, "not well-formed XML"},
    {"NotAManifest", "<html><body/></html>", TDashStatus::Malformed, 1, "not a manifest"},
    {"NoPeriod", Mpd(""), TDashStatus::Malformed, 2, "without a Period"},
    {"UnknownIdentifier",
     Mpd("<Period><AdaptationSet>\n<SegmentTemplate duration=\"2\" media=\"$Segment$.m4s\"/>"
         "<Representation id=\"v\"/></AdaptationSet></Period>"),
     TDashStatus::Malformed, 4, "unknown template identifier $Segment$"},
    {"FormatOnTheId",
     Mpd("<Period><AdaptationSet><SegmentTemplate duration=\"2\" media=\"$RepresentationID%02d$.m4s\"/>"
         "<Representation id=\"v\"/></AdaptationSet></Period>"),
     TDashStatus::Malformed, 0, "a format on $RepresentationID$"},
    {"RepeatToTheEndOfAnEndlessPeriod",
     Mpd("<Period><AdaptationSet><SegmentTemplate media=\"$Time$\"><SegmentTimeline>\n<S d=\"2\" r=\"-1\"/>"
         "</SegmentTimeline></SegmentTemplate><Representation id=\"v\"/></AdaptationSet></Period>",
         ""),
     TDashStatus::Malformed, 4, "r=\"-1\" in a period of unknown length"},
    {"TemplateDurationWithoutPeriodLength",
     Mpd("<Period><AdaptationSet><SegmentTemplate duration=\"2\" media=\"$Number$\"/>"
         "<Representation id=\"v\"/></AdaptationSet></Period>",
         ""),
     TDashStatus::Malformed, 0, "does not say how long period 1 lasts"},
    {"BackwardsRange",
     Mpd("<Period><AdaptationSet><Representation id=\"v\"><SegmentList><SegmentURL media=\"a\" mediaRange=\"10-5\"/>"
         "</SegmentList></Representation></AdaptationSet></Period>"),
     TDashStatus::Malformed, 0, "a bad mediaRange"},
    {"FtpAddress",
     Mpd("<Period><AdaptationSet><Representation id=\"v\"><BaseURL>ftp://h/v.mp4</BaseURL></Representation>"
         "</AdaptationSet></Period>"),
     TDashStatus::Malformed, 0, "not http or https"},
    {"TooManySegments",
     Mpd("<Period><AdaptationSet><SegmentTemplate timescale=\"1000\" duration=\"1\" media=\"$Number$\"/>"
         "<Representation id=\"v\"/></AdaptationSet></Period>",
         "mediaPresentationDuration=\"PT277777H\""),
     TDashStatus::Malformed, 0, "more than 1000000000 segments"},
    {"RepeatCountPastTheLimit",
     Mpd("<Period><AdaptationSet><SegmentTemplate media=\"$Number$\"><SegmentTimeline><S d=\"1\" "
         "r=\"9223372036854775806\"/></SegmentTimeline></SegmentTemplate><Representation id=\"v\"/></AdaptationSet>"
         "</Period>",
         ""),
     TDashStatus::Malformed, 0, "more than 1000000000 segments"},
    // Hostile numbers: every sum and product that would leave 64 bits is a reason, never a wrap.
    {"RepeatCountAsLargeAsCanBeWritten",
     Mpd("<Period><AdaptationSet><SegmentTemplate media=\"$Number$\"><SegmentTimeline>\n<S d=\"1\" "
         "r=\"9223372036854775807\"/></SegmentTimeline></SegmentTemplate><Representation id=\"v\"/></AdaptationSet>"
         "</Period>"),
     TDashStatus::Malformed, 4, "more than 1000000000 segments"},
    {"TimelineTimeNearTheLargest",
     Mpd("<Period><AdaptationSet><SegmentTemplate media=\"$Time$\"><SegmentTimeline>\n<S t=\"9223372036854775800\" "
         "d=\"5\" r=\"3\"/></SegmentTimeline></SegmentTemplate><Representation id=\"v\"/></AdaptationSet></Period>",
         ""),
     TDashStatus::Malformed, 4, "a segment time past the largest number"},
    {"TimelineDurationAsLargeAsCanBeWritten",
     Mpd("<Period><AdaptationSet><SegmentTemplate media=\"$Time$\"><SegmentTimeline>\n<S d=\"9223372036854775807\" "
         "r=\"1\"/></SegmentTimeline></SegmentTemplate><Representation id=\"v\"/></AdaptationSet></Period>",
         ""),
     TDashStatus::Malformed, 4, "a segment time past the largest number"},
    {"TimelineRepeatsPastTheLargestTime",
     Mpd("<Period><AdaptationSet><SegmentTemplate media=\"$Time$\"><SegmentTimeline>\n<S d=\"4611686018427387904\" "
         "r=\"3\"/><S d=\"1\"/></SegmentTimeline></SegmentTemplate><Representation id=\"v\"/></AdaptationSet>"
         "</Period>"),
     TDashStatus::Malformed, 4, "a segment time past the largest number"},
    {"RepeatToTheNextStartNearTheLargest",
     Mpd("<Period><AdaptationSet><SegmentTemplate media=\"$Time$\"><SegmentTimeline>\n<S t=\"0\" d=\"3\" "
         "r=\"-1\"/><S t=\"9223372036854775807\" d=\"1\"/></SegmentTimeline></SegmentTemplate>"
         "<Representation id=\"v\"/></AdaptationSet></Period>",
         ""),
     TDashStatus::Malformed, 4, "segments"},
    {"StartNumberNearTheLargest",
     Mpd("<Period><AdaptationSet>\n<SegmentTemplate startNumber=\"9223372036854775800\" duration=\"1\" "
         "media=\"$Number$\"/><Representation id=\"v\"/></AdaptationSet></Period>"),
     TDashStatus::Malformed, 4, "a segment number past the largest number"},
    {"PresentationTimeOffsetAsLargeAsCanBeWritten",
     Mpd("<Period><AdaptationSet>\n<SegmentTemplate presentationTimeOffset=\"9223372036854775807\" duration=\"2\" "
         "media=\"$Time$\"/><Representation id=\"v\"/></AdaptationSet></Period>"),
     TDashStatus::Malformed, 4, "a segment time past the largest number"},
    {"TimescaleAsLargeAsCanBeWritten",
     Mpd("<Period><AdaptationSet>\n<SegmentTemplate timescale=\"9223372036854775807\" duration=\"1\" "
         "media=\"$Number$\"/><Representation id=\"v\"/></AdaptationSet></Period>"),
     TDashStatus::Malformed, 4, "more than 1000000000 segments"},
    {"NumberPastWhatCanBeWritten",
     Mpd("<Period><AdaptationSet>\n<SegmentTemplate startNumber=\"9223372036854775808\" duration=\"1\" "
         "media=\"$Number$\"/><Representation id=\"v\"/></AdaptationSet></Period>"),
     TDashStatus::Malformed, 4, "a bad startNumber"},
    {"TimelineWhollyPastThePeriod",
     Mpd("<Period><AdaptationSet><SegmentTemplate media=\"$Time$\"><SegmentTimeline>\n<S t=\"10\" d=\"1\" "
         "r=\"5\"/></SegmentTimeline></SegmentTemplate><Representation id=\"v\"/></AdaptationSet></Period>"),
     TDashStatus::Malformed, 3, "no segment of the SegmentTimeline starts within period 1"},
    {"ZeroTimescale",
     Mpd("<Period><AdaptationSet><SegmentTemplate timescale=\"0\" duration=\"1\" media=\"$Number$\"/>"
         "<Representation id=\"v\"/></AdaptationSet></Period>"),
     TDashStatus::Malformed, 0, "a timescale of 0"},
    {"EntityExpansion",
     "<?xml version=\"1.0\"?>\n<!DOCTYPE MPD [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">"
     "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;\">]>\n<MPD><Period><AdaptationSet><Representation id=\"v\">"
     "<BaseURL>&c;&c;&c;</BaseURL></Representation></AdaptationSet></Period></MPD>",
     TDashStatus::Malformed, 0, "not well-formed XML"},
    {"TooDeep", Deep(40), TDashStatus::Malformed, 1, "nested deeper than 32"},
    {"LongRootName", "<" + std::string(300, 'x') + "/>", TDashStatus::Malformed, 1,
     "not a manifest (it starts with <xxx"},
    {"LongEncodingName", "<?xml version=\"1.0\" encoding=\"" + std::string(300, '\xFF') + "\"?><MPD/>",
     TDashStatus::Malformed, 1, "not well-formed XML"},
    {"BadDuration", Mpd("<Period/>", "mediaPresentationDuration=\"P1M\""), TDashStatus::Malformed, 2,
     "a bad mediaPresentationDuration"},
};

class DashBad : public testing::TestWithParam<BadCase> {};

TEST_P(DashBad, RefusesWithAReason)
{
    const BadCase& c = GetParam();
    const TDashParse r = ParseDashManifest(c.Text, kBase);
    EXPECT_EQ(static_cast<int>(r.Status), static_cast<int>(c.Status)) << r.Error;
    EXPECT_NE(r.Error.find(c.Words), std::string::npos) << r.Error;
    // The reason goes into a failure line: short, and only printable bytes of the manifest.
    EXPECT_LE(r.Error.size(), 160u);
    EXPECT_TRUE(std::all_of(r.Error.begin(), r.Error.end(), [](char ch) { return ch >= 0x20 && ch < 0x7F; }))
        << r.Error;
    if (c.Line) {
        EXPECT_EQ(r.Line, c.Line) << r.Error;
    }
    EXPECT_TRUE(r.Manifest.Periods.empty() || c.Status != TDashStatus::Malformed);
}

INSTANTIATE_TEST_SUITE_P(Dash, DashBad, testing::ValuesIn(kBad),
                         [](const testing::TestParamInfo<BadCase>& info) { return info.param.Name; });

TEST(DashDuration, SchemaDurations)
{
    const struct {
        const char* Text;
        bool Ok;
        double Seconds;
    } kCases[] = {
        {"PT30S", true, 30},
        {"PT1H2M3.5S", true, 3723.5},
        {"P1DT1S", true, 86401},
        {"P0Y0M0DT0H0M2S", true, 2},
        {"PT0.25S", true, 0.25},
        {"P1M", false, 0},
        {"P1Y", false, 0},
        {"PT", false, 0},
        {"P", false, 0},
        {"PT1.5M", false, 0},
        {"T1S", false, 0},
        {"PT1S2", false, 0},
        {"PT.5S", false, 0},
        {"PT1..5S", false, 0},
        {"PT99999999999S", false, 0},
        {"P1DT", false, 0},
    };
    for (const auto& c : kCases) {
        double s = -1;
        EXPECT_EQ(ParseDashDuration(c.Text, s), c.Ok) << c.Text;
        if (c.Ok) {
            EXPECT_DOUBLE_EQ(s, c.Seconds) << c.Text;
        }
    }
}

TEST(DashTemplate, IdentifiersAndWidths)
{
    const struct {
        const char* Pattern;
        const char* Expected; // nullptr: refused
    } kCases[] = {
        {"$RepresentationID$_$Number$.m4s", "video-1_42.m4s"},
        {"seg-$Number%05d$.m4s", "seg-00042.m4s"},
        {"$Time%03d$|$Time$", "9000000000|9000000000"},
        {"$Bandwidth%010d$", "0000128000"},
        {"a$$b$$$Number$", "a$b$42"},
        {"$Number%d$", "42"},
        {"$Number%5d$", nullptr},
        {"$Number%05x$", nullptr},
        {"$Number", nullptr},
        {"$Number%099d$", nullptr},
        {"$SubNumber$", nullptr},
    };
    for (const auto& c : kCases) {
        std::string out, why;
        const bool ok = FillDashTemplate(c.Pattern, "video-1", 42, 128000, 9000000000LL, out, why);
        EXPECT_EQ(ok, c.Expected != nullptr) << c.Pattern << ": " << why;
        if (ok && c.Expected) {
            EXPECT_EQ(out, c.Expected);
        }
        if (!ok) {
            EXPECT_FALSE(why.empty());
        }
    }
}

// A box of the given type around body.
std::string Box(const std::string& type, const std::string& body)
{
    const std::uint32_t size = static_cast<std::uint32_t>(body.size() + 8);
    std::string b;
    for (int i = 3; i >= 0; --i)
        b += static_cast<char>((size >> (8 * i)) & 0xFF);
    return b + type + body;
}

std::string Be(std::uint64_t v, int bytes)
{
    std::string b;
    for (int i = bytes - 1; i >= 0; --i)
        b += static_cast<char>((v >> (8 * i)) & 0xFF);
    return b;
}

// A sidx box: version, first_offset and the references' (type bit, size) pairs.
std::string Sidx(int version, std::uint64_t firstOffset, const std::vector<std::pair<bool, std::uint32_t>>& refs)
{
    const int tb = version == 0 ? 4 : 8;
    std::string body = Be(static_cast<std::uint64_t>(version) << 24, 4) + Be(1, 4) + Be(90000, 4) + Be(0, tb) +
                       Be(firstOffset, tb) + Be(0, 2) + Be(refs.size(), 2);
    for (const auto& [nested, size] : refs)
        body += Be((nested ? 0x80000000u : 0u) | size, 4) + Be(180000, 4) + Be(0x90000000u, 4);
    return Box("sidx", body);
}

TEST(DashSegmentIndex, ReadsReferencesAsByteRanges)
{
    const std::string v0 = Sidx(0, 0, {{false, 1000}, {false, 2000}, {false, 500}});
    const std::string v1 = Sidx(1, 16, {{false, 700}});
    const std::string styp = Box("styp", "msdh");
    std::string large = Be(1, 4) + "sidx" + Be(v0.size() + 8, 8) + v0.substr(8);
    const struct {
        const char* Name;
        std::string Bytes;
        std::int64_t Offset;
        std::vector<std::string> Expected; // empty: refused
        const char* Words;
    } kCases[] = {
        {"version 0 after the index start",
         v0,
         812,
         {"@" + std::to_string(812 + v0.size()) + "+1000", "@" + std::to_string(812 + v0.size() + 1000) + "+2000",
          "@" + std::to_string(812 + v0.size() + 3000) + "+500"},
         ""},
        {"version 1 with a first offset, after another box",
         styp + v1,
         0,
         {"@" + std::to_string(styp.size() + v1.size() + 16) + "+700"},
         ""},
        {"64-bit box size",
         large,
         100,
         {"@" + std::to_string(100 + large.size()) + "+1000", "@" + std::to_string(100 + large.size() + 1000) + "+2000",
          "@" + std::to_string(100 + large.size() + 3000) + "+500"},
         ""},
        {"nested index", Sidx(0, 0, {{true, 100}}), 0, {}, "further indexes"},
        {"cut short", v0.substr(0, v0.size() - 3), 0, {}, "cut short"},
        {"no sidx", styp, 0, {}, "no sidx"},
        {"empty", "", 0, {}, "no sidx"},
        {"no references", Sidx(0, 0, {}), 0, {}, "no segments"},
        {"zero-sized reference", Sidx(0, 0, {{false, 0}}), 0, {}, "no bytes"},
        {"box smaller than its header", Be(4, 4) + "sidx" + std::string(40, '\0'), 0, {}, "smaller than its header"},
        {"offsets past the end of any file", Sidx(1, 0x7FFFFFFFFFFFFFF0ull, {{false, 100}}), 0, {}, "past the largest"},
        {"references that add up past the end of any file",
         Sidx(1, 0x7FFFFFFF7FFFFF00ull, {{false, 0x7FFFFFFF}, {false, 0x7FFFFFFF}}),
         0,
         {},
         "past the largest"},
        {"an index at the end of any file", v0, 0x7FFFFFFFFFFFFFF0ll, {}, "past the largest"},
        {"a negative offset", v0, -1, {}, "a negative offset"},
    };
    for (const auto& c : kCases) {
        const TSidxRead r = ReadSegmentIndex(c.Bytes, c.Offset);
        EXPECT_EQ(r.Ok, !c.Expected.empty()) << c.Name << ": " << r.Error;
        std::vector<std::string> got;
        for (const TDashSegment& s : r.Segments)
            got.push_back(Range(s).substr(1));
        EXPECT_EQ(got, c.Expected) << c.Name;
        if (!r.Ok) {
            EXPECT_NE(r.Error.find(c.Words), std::string::npos) << c.Name << ": " << r.Error;
        }
    }
}

// A template of a million segments is read as its description: any segment is filled in when
// asked for, the runs of a timeline are found by their first segment, and nothing outside the
// list has an address.
TEST(DashSegmentList, TemplatesAreFilledInOnDemand)
{
    const struct {
        const char* Name;
        std::string Template;
        std::int64_t Count;
        std::vector<std::pair<std::int64_t, const char*>> Expected; // index, address after the base
    } kCases[] = {
        {"duration",
         "<SegmentTemplate timescale=\"1000\" duration=\"2000\" startNumber=\"0\" media=\"$Number$@$Time$\"/>",
         1000000,
         {{0, "0@0"}, {1, "1@2000"}, {999999, "999999@1999998000"}}},
        {"timeline",
         "<SegmentTemplate timescale=\"1000\" media=\"$Number$@$Time$\"><SegmentTimeline><S t=\"500\" d=\"1500\"/>"
         "<S d=\"2000\" r=\"499997\"/><S d=\"1000\"/><S t=\"1000000000\" d=\"2000\" r=\"-1\"/></SegmentTimeline>"
         "</SegmentTemplate>",
         1000000,
         {{0, "1@500"},
          {1, "2@2000"},
          {499998, "499999@999996000"},
          {499999, "500000@999998000"},
          {500000, "500001@1000000000"},
          {500001, "500002@1000002000"},
          {999999, "1000000@1999998000"}}},
    };
    for (const auto& c : kCases) {
        const TDashParse r = ParseDashManifest(Mpd("<Period><AdaptationSet mimeType=\"video/mp4\">" + c.Template +
                                                       "<Representation id=\"v\"/></AdaptationSet></Period>",
                                                   "mediaPresentationDuration=\"PT2000000S\""),
                                               kBase);
        ASSERT_TRUE(r.Ok()) << c.Name << ": line " << r.Line << ": " << r.Error;
        const TDashSegmentList& list = r.Manifest.Periods[0].Representations[0].Segments;
        EXPECT_EQ(list.Count(), c.Count) << c.Name;
        EXPECT_TRUE(list.Templated() && list.WholeResources()) << c.Name;
        for (const auto& [i, address] : c.Expected)
            EXPECT_EQ(list.At(i).Url, "https://cdn.example.com/v/7/" + std::string(address)) << c.Name << " " << i;
        for (std::int64_t outside : {std::int64_t{-1}, c.Count, std::numeric_limits<std::int64_t>::max()})
            EXPECT_EQ(list.At(outside).Url, "") << c.Name << " " << outside;
    }
    // Named segments stay as named; one byte range among them makes the list more than whole
    // resources.
    TDashSegmentList named;
    named.Add(TDashSegment{"https://h/a", -1, -1});
    EXPECT_TRUE(named.WholeResources());
    named.Add(TDashSegment{"https://h/b", 10, 5});
    EXPECT_FALSE(named.WholeResources());
    EXPECT_FALSE(named.Templated());
    EXPECT_EQ(named.Count(), 2);
    EXPECT_EQ(Range(named.At(1)), " @10+5");
}

TEST(DashChoice, VideoByHeightAudioByBandwidthInEveryPeriod)
{
    const std::string ladder =
        "<AdaptationSet mimeType=\"video/mp4\" codecs=\"avc1.4d401f\">"
        "<Representation id=\"v360\" height=\"360\" bandwidth=\"800000\"><BaseURL>a</BaseURL></Representation>"
        "<Representation id=\"v1080\" height=\"1080\" bandwidth=\"5000000\"><BaseURL>b</BaseURL></Representation>"
        "<Representation id=\"v540\" height=\"540\" bandwidth=\"1500000\"><BaseURL>c</BaseURL></Representation>"
        "<Representation id=\"v1080low\" height=\"1080\" bandwidth=\"4000000\"><BaseURL>d</BaseURL></Representation>"
        "</AdaptationSet><AdaptationSet mimeType=\"audio/mp4\" codecs=\"mp4a.40.2\">"
        "<Representation id=\"a64\" bandwidth=\"64000\"><BaseURL>e</BaseURL></Representation>"
        "<Representation id=\"a192\" bandwidth=\"192000\"><BaseURL>f</BaseURL></Representation>"
        "<Representation id=\"a128\" bandwidth=\"128000\"><BaseURL>g</BaseURL></Representation></AdaptationSet>";
    const TDashParse two =
        ParseDashManifest(Mpd("<Period>" + ladder + "</Period><Period>" + ladder + "</Period>"), kBase);
    ASSERT_TRUE(two.Ok()) << two.Error;
    const struct {
        int Quality;
        const char* Video;
        const char* Audio;
    } kCases[] = {
        {vqNormal, "v360", "a64"},
        {vqHQ, "v540", "a192"},
        {vqHD, "v1080", "a192"},
        {vqBestAvailable, "v1080", "a192"},
    };
    for (const auto& c : kCases) {
        const TDashChoice ch = ChooseDashTracks(two.Manifest, c.Quality);
        ASSERT_TRUE(ch.Error.empty()) << ch.Error;
        ASSERT_EQ(ch.Video.size(), 2u);
        ASSERT_EQ(ch.Audio.size(), 2u);
        for (int p = 0; p < 2; ++p) {
            EXPECT_EQ(ch.Video[p]->Id, c.Video) << c.Quality;
            EXPECT_EQ(ch.Audio[p]->Id, c.Audio) << c.Quality;
            // Each period's own representation, so its own addresses are fetched.
            const auto& reps = two.Manifest.Periods[static_cast<std::size_t>(p)].Representations;
            EXPECT_TRUE(ch.Video[p] >= reps.data() && ch.Video[p] < reps.data() + reps.size());
        }
    }

    // A period without the video the others have cannot be joined into one picture.
    const TDashParse gap = ParseDashManifest(
        Mpd("<Period>" + ladder +
            "</Period><Period><AdaptationSet mimeType=\"audio/mp4\"><Representation id=\"x\"><BaseURL>h</BaseURL>"
            "</Representation></AdaptationSet></Period>"),
        kBase);
    ASSERT_TRUE(gap.Ok()) << gap.Error;
    const TDashChoice broken = ChooseDashTracks(gap.Manifest, vqHD);
    EXPECT_EQ(broken.Error, "period 2 has no video");
    EXPECT_TRUE(broken.Video.empty());

    const TDashParse audioOnly = ParseDashManifest(
        Mpd("<Period><AdaptationSet mimeType=\"audio/mp4\"><Representation id=\"x\"><BaseURL>h</BaseURL>"
            "</Representation></AdaptationSet></Period>"),
        kBase);
    const TDashChoice sound = ChooseDashTracks(audioOnly.Manifest, vqHD);
    EXPECT_TRUE(sound.Error.empty());
    EXPECT_TRUE(sound.Video.empty());
    ASSERT_EQ(sound.Audio.size(), 1u);

    const TDashParse textOnly = ParseDashManifest(
        Mpd("<Period><AdaptationSet mimeType=\"text/vtt\"><Representation id=\"x\"><BaseURL>h</BaseURL>"
            "</Representation></AdaptationSet></Period>"),
        kBase);
    EXPECT_EQ(ChooseDashTracks(textOnly.Manifest, vqHD).Error, "the manifest has no video or audio");
}

TEST(DashChoice, JoinContainerHoldsTheCodecs)
{
    const struct {
        const char* VideoType;
        const char* VideoCodecs;
        const char* AudioType;
        const char* AudioCodecs;
        const char* Expected;
    } kCases[] = {
        {"video/mp4", "avc1.64001f", "audio/mp4", "mp4a.40.2", ".mp4"},
        {"video/mp4", "hvc1.1.6.L93.B0", "audio/mp4", "ec-3", ".mp4"},
        {"video/webm", "vp9", "audio/webm", "opus", ".webm"},
        {"video/webm", "vp8", "audio/webm", "vorbis", ".webm"},
        {"video/mp4", "avc1.64001f", "audio/webm", "vorbis", ".mkv"},
        {"video/webm", "", "audio/webm", "", ".webm"},
        {"video/mp4", "", "audio/mp4", "", ".mp4"},
        {"video/mp4", "avc1.4d401e,mp4a.40.2", nullptr, nullptr, ".mp4"},
        {"video/mp2t", "mpeg2video", nullptr, nullptr, ".mkv"},
    };
    for (const auto& c : kCases) {
        TDashRepresentation v, a;
        v.MimeType = c.VideoType;
        v.Codecs = c.VideoCodecs;
        TDashChoice ch;
        ch.Video.push_back(&v);
        if (c.AudioType) {
            a.MimeType = c.AudioType;
            a.Codecs = c.AudioCodecs;
            ch.Audio.push_back(&a);
        }
        EXPECT_EQ(DashJoinExtension(ch), c.Expected) << c.VideoCodecs << " " << (c.AudioCodecs ? c.AudioCodecs : "");
    }
}

TEST(DashRecognition, TypesAndBodies)
{
    EXPECT_TRUE(IsDashManifestType("application/dash+xml"));
    EXPECT_TRUE(IsDashManifestType("Application/DASH+XML; charset=utf-8"));
    EXPECT_FALSE(IsDashManifestType("application/xml"));
    EXPECT_FALSE(IsDashManifestType("application/vnd.apple.mpegurl"));
    const std::pair<const char*, bool> kBodies[] = {
        {"<MPD xmlns=\"urn:mpeg:dash:schema:mpd:2011\">", true},
        {"\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!-- made by x -->\n<MPD>", true},
        {"<dash:MPD xmlns:dash=\"urn:mpeg:dash:schema:mpd:2011\">", true},
        {"<?xml version=\"1.0\"?><html>", false},
        {"<MPDX>", false},
        {"#EXTM3U\n<MPD>", false},
        {"<!-- never closed <MPD>", false},
        {"<?xml version=\"1.0\"?>\r\n<!DOCTYPE MPD>\r\n<!-- c -->\r\n<MPD>", true},
        {"\xEF\xBB\xBF \n<!DOCTYPE MPD SYSTEM \"a>b.dtd\" [\n<!ENTITY x \"]>\">\n<!-- ]> -->\n]>\n<MPD/>", true},
        {"<!DOCTYPE html>\n<html><body>", false},
        {"<!DOCTYPE MPD [ <!ENTITY x \"y\"> <MPD>", false},
        {"<!DOCTYPE MPD \"never closed> <MPD>", false},
        {"", false},
    };
    for (const auto& [body, expected] : kBodies)
        EXPECT_EQ(LooksLikeDashManifest(body), expected) << body;
}

} // namespace
