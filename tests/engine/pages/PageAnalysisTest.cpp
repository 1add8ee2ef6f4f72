#include "engine/pages/PageAnalysis.h"

#include "platform/Application.h"
#include "support/MessageBoxRecorder.h"

#include <gtest/gtest.h>

#include <random>
#include <regex>

namespace cw {
// Found by argument lookup, so failure messages show the whole state.
std::ostream& operator<<(std::ostream& os, const TPageItemState& s)
{
    return os << "{FileName=\"" << s.FileName << "\" DownloadUrl=\"" << s.DownloadUrl << "\" Hd=" << s.HdAvailable
              << " Mode=" << s.Mode << "}";
}
} // namespace cw

using namespace cw;

namespace {

const std::string kYoutube = "http://www.youtube.com/watch?v=abc";
const std::string kMetacafe = "http://www.metacafe.com/watch/123/my_clip/";
const std::string kGoogle = "http://video.google.com/videoplay?docid=-42";

const std::string kYtUrlAbcTok1 = "http://www.youtube.com/get_video?asv=&video_id=abc&t=tok1";

struct PassCase {
    const char* Name;
    std::string Address;
    std::string Page;
    TPageItemState Before;
    TAnalysisResult Result;
    TPageItemState After;
};

TPageItemState State(std::string fileName = "", std::string url = "", bool hd = false, JobMode mode = jmDownloadConvert)
{
    return TPageItemState{std::move(fileName), std::move(url), hd, mode};
}

class PageAnalysisTest : public ::testing::Test {
protected:
    void SetUp() override { Application::SetTitle("Ostrelle Clipwarden"); }

    void RunCases(const std::vector<PassCase>& cases)
    {
        for (const PassCase& c : cases) {
            TPageItemState s = c.Before;
            TAnalysisResult r = AnalysePage(c.Address, c.Page, s);
            EXPECT_EQ(r, c.Result) << c.Name << " " << s;
            EXPECT_EQ(s.FileName, c.After.FileName) << c.Name;
            EXPECT_EQ(s.DownloadUrl, c.After.DownloadUrl) << c.Name;
            EXPECT_EQ(s.HdAvailable, c.After.HdAvailable) << c.Name;
            EXPECT_EQ(s.Mode, c.After.Mode) << c.Name;
        }
    }

    cwtest::MessageBoxRecorder Boxes;
};

// ---- YouTube

TEST_F(PageAnalysisTest, YoutubeDirectAddress)
{
    const std::string hd = "'IS_HD_AVAILABLE': true";
    const std::string noHd = "'IS_HD_AVAILABLE': false";
    RunCases({
        {"quoted token", kYoutube, "<p>\"t\": \"tok1\", " + hd, State(), arComplete, State("", kYtUrlAbcTok1, true)},
        {"quoted token wins even when the parameter form comes first", kYoutube, "&t=tok2& ... \"t\": \"tok1\" " + hd,
         State(), arComplete, State("", kYtUrlAbcTok1, true)},
        {"parameter token", kYoutube, "x&t=tok2&y " + noHd, State(), arComplete,
         State("", "http://www.youtube.com/get_video?asv=&video_id=abc&t=tok2")},
        {"parameter token not closed by &", kYoutube, "x&t=tok2 " + hd, State(), arIncomplete, State("", "", true)},
        {"quoted token without its closing quote", kYoutube, "\"t\": \"tok1 &t=tok2& " + hd, State(), arIncomplete,
         State("", "", true)},
        {"quoted token without any quote after it", kYoutube, hd + " \"t\":", State(), arIncomplete,
         State("", "", true)},
        {"no token", kYoutube, hd, State(), arIncomplete, State("", "", true)},
        {"address without =", "http://www.youtube.com/watch#abc", "\"t\": \"tok1\"" + hd, State(), arIncomplete,
         State("", "", true)},
        {"&feature= is cut, in any case", "http://www.youtube.com/watch?v=abc&FeAture=related", "\"t\": \"tok1\"" + hd,
         State(), arComplete, State("", kYtUrlAbcTok1, true)},
        {"other parameters stay in the id", "http://www.youtube.com/watch?v=abc&list=xyz", "\"t\": \"tok1\"" + hd,
         State(), arComplete, State("", "http://www.youtube.com/get_video?asv=&video_id=abc&list=xyz&t=tok1", true)},
        {"an address already found is kept", kYoutube, "\"t\": \"other\"" + hd, State("", "kept"), arComplete,
         State("", "kept", true)},
    });
}

TEST_F(PageAnalysisTest, YoutubeHdMarker)
{
    const std::string token = "\"t\": \"tok1\" ";
    RunCases({
        {"true within ten characters", kYoutube, token + "IS_HD_AVAILABLE': true", State(), arComplete,
         State("", kYtUrlAbcTok1, true)},
        {"TRUE in capitals", kYoutube, token + "IS_HD_AVAILABLE=TRUE", State(), arComplete,
         State("", kYtUrlAbcTok1, true)},
        {"true beyond ten characters", kYoutube, token + "IS_HD_AVAILABLE       : true", State(), arComplete,
         State("", kYtUrlAbcTok1, false)},
        {"marker at the very end", kYoutube, token + "IS_HD_AVAILABLE", State(), arComplete,
         State("", kYtUrlAbcTok1, false)},
        {"the marker is case-sensitive", kYoutube, token + "is_hd_available': true", State(), arIncomplete,
         State("", kYtUrlAbcTok1, false)},
        {"no marker: incomplete although the address is known", kYoutube, token, State(), arIncomplete,
         State("", kYtUrlAbcTok1, false)},
        {"no marker, HD seen before: complete", kYoutube, token, State("", "", true), arComplete,
         State("", kYtUrlAbcTok1, true)},
        {"HD is never cleared", kYoutube, token + "IS_HD_AVAILABLE': false", State("", "", true), arComplete,
         State("", kYtUrlAbcTok1, true)},
    });
}

TEST_F(PageAnalysisTest, YoutubeAddressFoundEarlyIsUsedWhenTheMarkerArrivesLater)
{
    TPageItemState s = State();
    std::string page = "<html>\"t\": \"first\"";
    EXPECT_EQ(AnalysePage(kYoutube, page, s), arIncomplete);
    EXPECT_EQ(s.DownloadUrl, "http://www.youtube.com/get_video?asv=&video_id=abc&t=first");
    page = "<html>\"t\": \"second\" 'IS_HD_AVAILABLE': true";
    EXPECT_EQ(AnalysePage(kYoutube, page, s), arComplete);
    EXPECT_EQ(s.DownloadUrl, "http://www.youtube.com/get_video?asv=&video_id=abc&t=first");
    EXPECT_TRUE(s.HdAvailable);
}

// The pass only says so; telling the user is the run's (the window shows the message once the
// run has stopped).
TEST_F(PageAnalysisTest, YoutubeAgeVerificationIsRecognised)
{
    const std::string complete = "\"t\": \"tok1\" IS_HD_AVAILABLE true <title>YouTube - X</title>";
    struct {
        const char* Name;
        std::string Page;
        bool Restricted;
    } cases[] = {
        {"confirm birth date", "<b>Please CONFIRM Birth Date</b>" + complete, true},
        {"verify 18", "please Verify you are 18 or older" + complete, true},
        {"verify_age with 18", "<a href=/Verify_Age?next=1>" + complete + " 2018", true},
        {"verify_age without the digits", "<a href=/verify_age>1 8" + complete, false},
        {"18 without verify_age", "age 18" + complete, false},
        {"age check comes before unavailable", "confirm birth date This functionality is not available right now",
         true},
    };
    for (const auto& c : cases) {
        Boxes.Clear();
        TPageItemState s = State();
        TAnalysisResult r = AnalysePage(kYoutube, c.Page, s);
        if (c.Restricted) {
            EXPECT_EQ(r, arAgeRestricted) << c.Name;
            EXPECT_EQ(s.FileName, "") << c.Name; // nothing else happens on such a page
            EXPECT_EQ(s.DownloadUrl, "") << c.Name;
        } else {
            EXPECT_EQ(r, arComplete) << c.Name;
        }
        EXPECT_EQ(Boxes.Count(), 0u) << c.Name;
    }
}

TEST_F(PageAnalysisTest, AgeMessageText)
{
    const std::string expected =
        "This video may contain content that is inappropriate for some users, as flagged by YouTube\"s user "
        "commnunity. To view this video, please verify you are 18 or older by logging in or signing up.\r\n\r\n"
        "Please log in your account on Internet Explorer firstly. You need to check the option \"Stay signed "
        "in\". It\"s better to change the YouTube show languages to English. Then download the video again.";
    EXPECT_EQ(AgeRestrictionMessage, expected);
}

TEST_F(PageAnalysisTest, YoutubeUnavailable)
{
    RunCases({
        {"any case", kYoutube, "\"t\": \"tok1\" IS_HD_AVAILABLE THIS FUNCTIONALITY is not available RIGHT NOW", State(),
         arUnavailable, State()},
        {"nothing else is looked at", kYoutube,
         "<title>YouTube - X</title> This functionality is not available right now", State(), arUnavailable, State()},
    });
    EXPECT_EQ(Boxes.Count(), 0u);
}

TEST_F(PageAnalysisTest, YoutubeTitle)
{
    const std::string tail = " \"t\": \"tok1\" IS_HD_AVAILABLE";
    auto prefixed = [&](const std::string& title) { return "<title>YouTube - " + title + "</title>" + tail; };
    auto meta = [&](const std::string& title) { return "<meta name=\"title\" content=\"" + title + "\">" + tail; };
    struct {
        const char* Name;
        std::string Page;
        std::string Before;
        std::string After;
    } cases[] = {
        {"entities, restarting", prefixed("Tom &amp;amp; Jerry &lt;1&gt; &quot;Live&quot;"), "",
         "Tom & Jerry 1 Live.flv"},
        {"reserved characters", prefixed("a/b: c?"), "", "a-b - c.flv"},
        {"entities are case-sensitive", prefixed("&AMP;"), "", "&AMP;.flv"},
        {"nbsp, copy, trimming", prefixed("&nbsp; \t Song &copy; 2009 &nbsp;"), "", "Song @ 2009.flv"},
        {"other references stay", prefixed("It&#39;s"), "", "It&#39;s.flv"},
        {"the prefixed form refreshes the name", prefixed("New"), "Old.flv", "New.flv"},
        {"the prefixed form cuts one character before /title>", "<title>YouTube - Ab/title>" + tail, "", "A.flv"},
        {"the prefixed form right at /title>", "<title>YouTube - /title>" + tail, "", "video.flv"},
        {"the prefixed form never closed", "<title>YouTube - Open" + tail, "", ""},
        {"meta title", meta("Meta &amp; Title"), "", "Meta & Title.flv"},
        {"meta title only while no name is known", meta("Meta"), "Earlier.flv", "Earlier.flv"},
        {"meta title replaces a name without .flv", meta("Meta"), "GoogleVideo7", "Meta.flv"},
        {"meta title takes the rest of the page", tail + "<meta name=\"title\" content=\"Runs to the end", "",
         "Runs to the end.flv"},
        {"meta marker at the very end", tail + "<title>Plain</title><meta name=\"title\" content=\"", "", "Plain.flv"},
        {"prefixed form wins over meta", meta("Meta") + prefixed("Pref"), "", "Pref.flv"},
        {"plain title", "<title>Plain &amp; simple</title>" + tail, "", "Plain & simple.flv"},
        {"plain title never closed", tail + "<title>Open", "", ""},
        {"meta wins over plain", "<title>Plain</title>" + meta("Meta"), "", "Meta.flv"},
        {"plain title is case-sensitive", "<TITLE>Loud</TITLE>" + tail, "", ""},
    };
    for (const auto& c : cases) {
        TPageItemState s = State(c.Before);
        AnalysePage(kYoutube, c.Page, s);
        EXPECT_EQ(s.FileName, c.After) << c.Name;
    }
}

// ---- Metacafe

TEST_F(PageAnalysisTest, Metacafe)
{
    const std::string file = "http://v.mccont.com/ItemFiles/%5BFrom%20www.metacafe.com%5D%20";
    const std::string body = "so.addVariable('mediaURL', 'http%3A%2F%2Fv.mccont.com%2FItemFiles%2F%255BFrom%2520www."
                             "metacafe.com%255D%2520My_Clip.flv');";
    RunCases({
        {"title and file", kMetacafe, "<TITLE> My Clip - Video</title>" + body, State("x", "old"), arComplete,
         State("My Clip.flv", file + "My_Clip.flv")},
        {"title in any case of '- video'", kMetacafe, "<title>Clip- VIDEO</title>" + body, State(), arComplete,
         State("Clip.flv", file + "My_Clip.flv")},
        {"without a title the file name is used", kMetacafe, "<title>No marker</title>" + body, State("stale.flv"),
         arComplete, State("My_Clip.flv", file + "My_Clip.flv")},
        {"the extension as written", kMetacafe, "%2520www%2520Loud.FLV%2520b.flv", State(), arComplete,
         State("Loud.FLV", file + "Loud.FLV")},
        {"first .flv before the first %2520", kMetacafe, "<title>T - Video</title> a.flv %2520b.flv", State(),
         arIncomplete, State("T.flv")},
        {"no .flv", kMetacafe, "<title>T - Video</title> %2520x", State("stale.flv"), arIncomplete, State("T.flv")},
        {"no %2520", kMetacafe, "x.flv", State("stale.flv"), arIncomplete, State()},
        {"%2520 right before .flv", kMetacafe, "%2520.flv", State(), arComplete, State(".flv", file + ".flv")},
        {"the address decides, not the page", kMetacafe, "<title>YouTube - T</title> \"t\": \"tok1\" IS_HD_AVAILABLE",
         State(), arIncomplete, State()},
    });
}

// ---- Google Video

TEST_F(PageAnalysisTest, GoogleVideo)
{
    const std::string link = "http://vp.video.google.com/videodownload?version=0&amp;secureurl=x&amp;sigh=y";
    const std::string anchor = "<a href=\"" + link + "\">this link</a>";
    RunCases({
        {"title and link", kGoogle, "<title> Moon Landing\t</title>" + anchor, State(), arComplete,
         State("Moon Landing.mp4", link, false, jmDownload)},
        {"markers in any case", kGoogle, "<TITLE>T</TITLE><A HREF=\"HTTP://VP.VIDEO.GOOGLE.COM/v?id=1\">This Link</a>",
         State(), arComplete, State("T.mp4", "HTTP://VP.VIDEO.GOOGLE.COM/v?id=1", false, jmDownload)},
        {"a link to another host does not count", kGoogle,
         "<title>T</title><a href=\"http://www.google.com/x\">this link</a>", State(), arIncomplete,
         State("T.mp4", "", false, jmDownload)},
        {"link never closed", kGoogle, "<title>T</title><a href=\"" + link, State(), arIncomplete,
         State("T.mp4", "", false, jmDownload)},
        {"the name is not cleared first", kGoogle, anchor, State("Kept"), arComplete,
         State("Kept", link, false, jmDownload)},
        {"the address is overwritten", kGoogle, "<title>T</title>" + anchor, State("", "old"), arComplete,
         State("T.mp4", link, false, jmDownload)},
    });
}

TEST_F(PageAnalysisTest, GoogleVideoWithoutTitleGetsARandomNameOnce)
{
    const std::regex name("GoogleVideo([0-9]{1,3})");
    TPageItemState s = State();
    EXPECT_EQ(AnalysePage(kGoogle, "<html>no title yet", s), arIncomplete);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(s.FileName, m, name)) << s.FileName;
    EXPECT_LE(std::stoi(m[1]), 255);
    EXPECT_EQ(s.Mode, jmDownload);
    const std::string first = s.FileName;
    EXPECT_EQ(AnalysePage(kGoogle, "<html>still none", s), arIncomplete);
    EXPECT_EQ(s.FileName, first);
}

// ---- The pass as a whole

TEST_F(PageAnalysisTest, BranchesFollowTheAddressInOrder)
{
    const std::string ytPage = "\"t\": \"tok1\" IS_HD_AVAILABLE <title>YouTube - Y</title>";
    const std::string both = "http://www.youtube.com/watch?v=abc&from=video.google.com";
    RunCases({
        {"no known domain runs nothing", "http://example.com/watch?v=1", ytPage, State("f", "", false, jmConvert),
         arIncomplete, State("f", "", false, jmConvert)},
        {"empty address", "", ytPage, State(), arIncomplete, State()},
        {"domain in any case", "HTTP://WWW.YOUTUBE.COM/WATCH?V=abc", ytPage, State(), arComplete,
         State("Y.flv", kYtUrlAbcTok1, false)},
        // An incomplete YouTube pass ends the whole pass: the Google rules never run.
        {"incomplete first branch stops the pass", both, "<title>T</title>", State(), arIncomplete,
         State("T.flv", "", false, jmDownloadConvert)},
        {"a complete branch lets the next one run", both,
         ytPage + "<a href=\"http://vp.video.google.com/f\">this link</a>", State(), arComplete,
         State("YouTube - Y.mp4", "http://vp.video.google.com/f", false, jmDownload)},
    });
}

TEST_F(PageAnalysisTest, EmptyPagesAreIncompleteEverywhere)
{
    for (const std::string& address : {kYoutube, kMetacafe, kGoogle}) {
        TPageItemState s = State();
        EXPECT_EQ(AnalysePage(address, "", s), arIncomplete) << address;
        EXPECT_EQ(s.DownloadUrl, "");
    }
    EXPECT_EQ(Boxes.Count(), 0u);
}

// ---- Text helpers

TEST(ReplaceAll, RestartsFromTheBeginning)
{
    EXPECT_EQ(ReplaceAll("&amp;amp;", "&amp;", "&"), "&");
    EXPECT_EQ(ReplaceAll("&amp;amp;amp;amp;", "&amp;", "&"), "&");
    EXPECT_EQ(ReplaceAll("a &amp;amp; b &amp;", "&amp;", "&"), "a & b &");
    EXPECT_EQ(ReplaceAll("&&amp;amp;amp;;", "&amp;", ""), "amp;;");
    EXPECT_EQ(ReplaceAll("xyz", "&amp;", "&"), "xyz");
    EXPECT_EQ(ReplaceAll("", "&amp;", "&"), "");
    EXPECT_EQ(ReplaceAll("abc", "", "x"), "abc");
    // A replacement that is not shorter is swept once instead of looping for ever.
    EXPECT_EQ(ReplaceAll("a-a", "a", "aa"), "aa-aa");
    EXPECT_EQ(ReplaceAll("&nbsp;&nbsp;", "&nbsp;", "&nbsp;"), "&nbsp;&nbsp;");
}

// The obvious quadratic loop: the reference the fast version must agree with.
std::string ReplaceAllReference(std::string text, const std::string& pattern, const std::string& replacement)
{
    for (std::size_t at = text.find(pattern); at != std::string::npos; at = text.find(pattern))
        text.replace(at, pattern.size(), replacement);
    return text;
}

TEST(ReplaceAll, AgreesWithTheRestartingLoopOnRandomText)
{
    std::mt19937 random(20101203);
    const std::pair<std::string, std::string> rules[] = {
        {"&amp;", "&"}, {"&quot;", ""}, {"aa", "a"}, {"aba", "b"}, {"abab", "ba"}, {"&&", "&"},
    };
    const std::string alphabet = "&amp;quotb";
    for (const auto& [pattern, replacement] : rules) {
        for (int i = 0; i < 2000; ++i) {
            std::string text(random() % 40, ' ');
            for (char& c : text)
                c = alphabet[random() % alphabet.size()];
            ASSERT_EQ(ReplaceAll(text, pattern, replacement), ReplaceAllReference(text, pattern, replacement))
                << "text=" << text << " pattern=" << pattern;
        }
    }
}

TEST(TitleToFileName, DecodesTrimsAndCleans)
{
    EXPECT_EQ(TitleToFileName(""), "video.flv"); // never a hidden file
    EXPECT_EQ(TitleToFileName("  \x01 x \x7f"), "x .flv");
    EXPECT_EQ(TitleToFileName("&amp;lt;b&amp;gt;"), "b.flv"); // decoded, then dropped
    EXPECT_EQ(TitleToFileName("A&nbsp;/&nbsp;B"), "A - B.flv");
    EXPECT_EQ(TitleToFileName("caf\xe9 \"live\""), "caf\xc3\xa9 \"live\".flv"); // a Latin-1 page's title
}

} // namespace
