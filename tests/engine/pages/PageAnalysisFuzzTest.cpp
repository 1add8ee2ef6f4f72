#include "engine/pages/PageAnalysis.h"

#include "platform/Text.h"
#include "support/MessageBoxRecorder.h"

#include <gtest/gtest.h>

#include <random>

using namespace cw;

namespace {

const std::string kAddresses[] = {
    "http://www.youtube.com/watch?v=abc&feature=related",
    "http://www.metacafe.com/watch/123/clip/",
    "http://video.google.com/videoplay?docid=1",
    "http://www.youtube.com/watch?v=x&from=video.google.com&metacafe.com",
    "http://www.youtube.com/watch", // no "="
    "",
};

// Every marker the pass looks for, and pieces of them, so random pages hit the rules' edges:
// markers at the very end, quotes never closed, cuts that run to the end of the text.
const char* const kFragments[] = {
    "<title>",
    "</title>",
    "/title>",
    "<title>YouTube - ",
    "meta name=\"title\" content=\"",
    "\"t\":",
    "\"",
    "&t=",
    "&",
    "IS_HD_AVAILABLE",
    "true",
    "verify_age",
    "18",
    "confirm birth date",
    "This functionality is not available right now",
    "- Video",
    ".flv",
    ".FLV",
    "%2520",
    "%25",
    "href=\"http://vp.video.google.com",
    "\">this link",
    "&amp;",
    "&amp;amp;",
    "&nbsp;",
    "&copy;",
    "&lt;",
    "&quot;",
    "\r\n",
    std::string("\0\x01\xff", 3).c_str(),
    "   ",
    "=",
};

// The pass's own guarantees, whatever the page holds.
void CheckPass(const std::string& address, const std::string& page, TPageItemState& s)
{
    const TPageItemState before = s;
    TAnalysisResult r = AnalysePage(address, page, s);
    ASSERT_TRUE(r == arIncomplete || r == arComplete || r == arAgeRestricted || r == arUnavailable);
    if (r == arComplete) {
        ASSERT_FALSE(s.DownloadUrl.empty());
    }
    if (before.HdAvailable) {
        ASSERT_TRUE(s.HdAvailable);
    }
    if (r == arAgeRestricted || r == arUnavailable) {
        ASSERT_EQ(s.FileName, before.FileName);
        ASSERT_EQ(s.DownloadUrl, before.DownloadUrl);
    }
    // A YouTube address once found is never replaced (the other sites may overwrite theirs).
    if (!before.DownloadUrl.empty() && text::ContainsNoCase(address, YoutubeDomain) &&
        !text::ContainsNoCase(address, MetacafeDomain) && !text::ContainsNoCase(address, GoogleDomain)) {
        ASSERT_EQ(s.DownloadUrl, before.DownloadUrl);
    }
}

std::string RandomPage(std::mt19937& random, std::size_t pieces)
{
    std::string page;
    for (std::size_t i = 0; i < pieces; ++i) {
        switch (random() % 3) {
        case 0:
            page += kFragments[random() % std::size(kFragments)];
            break;
        case 1:
            page += static_cast<char>(random() % 256);
            break;
        default:
            page += "abc XYZ";
        }
    }
    return page;
}

TEST(PageAnalysisFuzz, RandomPagesGiveOneOfTheFourOutcomes)
{
    cwtest::MessageBoxRecorder boxes;
    std::mt19937 random(1203);
    for (int i = 0; i < 20000; ++i) {
        const std::string& address = kAddresses[random() % std::size(kAddresses)];
        std::string page = RandomPage(random, random() % 60);
        TPageItemState s{"", "", random() % 4 == 0, jmDownloadConvert};
        CheckPass(address, page, s);
        // A second pass on the same item, as the page stage does.
        CheckPass(address, page + RandomPage(random, 5), s);
    }
}

// The page as it builds up: every prefix of a realistic page is analysed in turn, item state
// carried from pass to pass, exactly like the polling page stage.
TEST(PageAnalysisFuzz, EveryTruncationOfRealPagesIsSafe)
{
    cwtest::MessageBoxRecorder boxes;
    const std::pair<std::string, std::string> pages[] = {
        {kAddresses[0],
         "<html><head><title>YouTube - Cats &amp;amp; Dogs</title>"
         "<meta name=\"title\" content=\"Cats &amp; Dogs\"></head><body>"
         "<script>var swfArgs = {\"video_id\": \"abc\", \"t\": \"vjVQa1PpcFN\", 'IS_HD_AVAILABLE': true};"
         "</script><a href=\"/watch?v=abc&t=tok2&x\">x</a></body></html>"},
        {kAddresses[1],
         "<html><head><title> Funny Clip - Video </title></head><body><embed flashvars=\"mediaURL=http%3A%2F%2F"
         "v.mccont.com%2FItemFiles%2F%255BFrom%2520www.metacafe.com%255D%2520Funny_Clip.flv&amp;x=1\">"
         "</body></html>"},
        {kAddresses[2],
         "<html><head><title>Moon</title></head><body>Your download will start. If not, click "
         "<a href=\"http://vp.video.google.com/videodownload?version=0&amp;id=1\">this link</a>.</body></html>"},
    };
    for (const auto& [address, page] : pages) {
        TPageItemState s{"", "", false, jmDownloadConvert};
        TAnalysisResult last = arIncomplete;
        for (std::size_t n = 0; n <= page.size(); ++n) {
            std::string prefix = page.substr(0, n); // its own buffer: a read past the end is caught
            CheckPass(address, prefix, s);
            TPageItemState fresh{"", "", false, jmDownloadConvert};
            last = AnalysePage(address, prefix, fresh);
        }
        EXPECT_EQ(last, arComplete) << address;
        EXPECT_EQ(AnalysePage(address, page, s), arComplete) << address;
    }
    EXPECT_EQ(boxes.Count(), 0u);
}

TEST(PageAnalysisFuzz, LargeBinaryPagesWithMarkersAtTheVeryEnd)
{
    cwtest::MessageBoxRecorder boxes;
    std::mt19937 random(42);
    std::string noise(10 * 1024 * 1024, '\0');
    for (char& c : noise)
        c = static_cast<char>(random() % 256);
    const char* const endings[] = {"\"t\":",
                                   "\"t\": \"",
                                   "&t=",
                                   "IS_HD_AVAILABLE",
                                   "<title>YouTube - ",
                                   "meta name=\"title\" content=\"",
                                   "meta name=\"title\" content=\"x",
                                   "%2520a.flv",
                                   "href=\"http://vp.video.google.com/x",
                                   "<title>",
                                   "verify_age"};
    for (const char* ending : endings) {
        std::string page = noise + ending;
        for (const std::string& address : kAddresses) {
            TPageItemState s{"", "", false, jmDownloadConvert};
            CheckPass(address, page, s);
        }
    }
}

} // namespace
