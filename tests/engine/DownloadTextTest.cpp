// The download window's progress texts, header scan and output paths.

#include "engine/DownloadText.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <limits>

using namespace cw;

TEST(TransferProgressText, HalfwayThroughTwentyMillionBytes)
{
    // 10,000,000 of 20,000,000 bytes, 1,000,000 of them in the last 2,000 ms.
    const std::string total = KilobytesText(20000000);
    EXPECT_EQ("9,766 KB of 19,532 KB received", ReceivedText(10000000, total));
    auto rate = RateUpdate(20000000, 10000000, 9000000, 2000, '.');
    ASSERT_TRUE(rate);
    EXPECT_EQ("488.3 KB/S", rate->Speed);
    EXPECT_EQ("00:00:20", rate->Remaining);
}

TEST(TransferProgressText, SpeedUsesTheGivenDecimalSeparator)
{
    EXPECT_EQ("488,3 KB/S", SpeedText(488.28125, ','));
    EXPECT_EQ("0.0 KB/S", SpeedText(0.0, '.'));
}

TEST(TransferProgressText, IntervalWithoutNewBytesShowsNothingNew)
{
    EXPECT_FALSE(RateUpdate(1000, 500, 500, 2500, '.'));
    EXPECT_FALSE(RateUpdate(1000, 400, 500, 2500, '.')); // count went back (a retry)
    EXPECT_FALSE(RateUpdate(1000, 600, 500, 0, '.'));
}

TEST(TransferProgressText, RemainingTimeTruncatesAndSplitsIntoClockParts)
{
    // 1 KB/s, 3661.5 KB left: 1 h 1 min 1 s after truncation.
    auto rate = RateUpdate(2048 + 1024 * 3662 - 512, 2048, 0, 2000, '.');
    ASSERT_TRUE(rate);
    EXPECT_EQ("01:01:01", rate->Remaining);
    EXPECT_EQ("99:59:59", ClockText(99 * 3600 + 59 * 60 + 59));
    EXPECT_EQ("99:59:59", ClockText(123 * 3600 + 5)); // the ceiling
    // A stale maximum below the count received must not produce "0-1:..." texts.
    EXPECT_EQ("00:00:00", ClockText(-7));
    auto past = RateUpdate(100, 5000, 1000, 2000, '.');
    ASSERT_TRUE(past);
    EXPECT_EQ("00:00:00", past->Remaining);
}

TEST(TransferProgressText, ExtremeSizesAndTimesStayInRange)
{
    // The largest length the client accepts, trickling in: the estimate is millions of hours.
    auto rate = RateUpdate(999999999999999999, 1000, 0, 2000, '.');
    ASSERT_TRUE(rate);
    EXPECT_EQ("99:59:59", rate->Remaining);
    EXPECT_EQ("0.5 KB/S", rate->Speed);
    const std::int64_t most = std::numeric_limits<std::int64_t>::max();
    const std::int64_t least = std::numeric_limits<std::int64_t>::min();
    const std::uint32_t longest = std::numeric_limits<std::uint32_t>::max();
    rate = RateUpdate(most, 1, 0, longest, '.');
    ASSERT_TRUE(rate);
    EXPECT_EQ("99:59:59", rate->Remaining);
    // Counts at opposite ends: the difference alone does not fit 64 bits.
    rate = RateUpdate(most, most - 1, least, 1, '.');
    ASSERT_TRUE(rate);
    EXPECT_EQ("00:00:00", rate->Remaining);
    rate = RateUpdate(most, least + 1, least, longest, '.');
    ASSERT_TRUE(rate);
    EXPECT_EQ("99:59:59", rate->Remaining);
    rate = RateUpdate(least, most, 0, 1, '.');
    ASSERT_TRUE(rate);
    EXPECT_EQ("00:00:00", rate->Remaining);
    EXPECT_EQ("99:59:59", ClockText(most));
    EXPECT_EQ("00:00:00", ClockText(least));
}

TEST(ContentLengthScan, FirstExactlySpelledLineCounts)
{
    EXPECT_EQ(5678, FindContentLength(
                        {"HTTP/1.0 200 OK", "Content-Type: video/x-flv", "Content-Length: 5678", "Content-Length: 1"}));
    // The scan is case-sensitive: a lower-case field name is not seen.
    EXPECT_FALSE(FindContentLength({"HTTP/1.0 200 OK", "content-length: 5678"}));
    EXPECT_FALSE(FindContentLength({"HTTP/1.0 200 OK"}));
    EXPECT_EQ(4294967296LL * 2, FindContentLength({"Content-Length: 8589934592"}));
}

TEST(ContentLengthScan, ValueThatIsNotANumberIsIgnored)
{
    EXPECT_FALSE(FindContentLength({"Content-Length: abc"}));
    EXPECT_FALSE(FindContentLength({"Content-Length: -5"}));
    EXPECT_FALSE(FindContentLength({"Content-Length: 12 34"}));
    EXPECT_FALSE(FindContentLength({"Content-Length: "}));
    EXPECT_FALSE(FindContentLength({"Content-Length: 99999999999999999999999"}));
    // The bad first line is not skipped in favour of a later one.
    EXPECT_FALSE(FindContentLength({"Content-Length: x", "Content-Length: 10"}));
}

TEST(TransferPaths, ExtensionFollowsTheQualityLevel)
{
    EXPECT_EQ("/out/My Clip.flv", TransferOutputPath("/out", "My Clip.flv", vqNormal));
    EXPECT_EQ("/out/My Clip.mp4", TransferOutputPath("/out/", "My Clip.flv", vqHQ));
    EXPECT_EQ("/out/GoogleVideo17", TransferOutputPath("/out", "GoogleVideo17", vqNormal));
    EXPECT_EQ("/out/GoogleVideo17.mp4", TransferOutputPath("/out", "GoogleVideo17", vqBestAvailable));
    // The name is cleaned before it meets the folder: no way out of the output folder.
    EXPECT_EQ("/out/etc-passwd", TransferOutputPath("/out", "../etc/passwd", vqNormal));

    // A long title without an extension: the ".mp4" added for the quality still leaves a name
    // that can be created, and ".part.meta" beside it.
    char tmpl[] = "/tmp/cw-transfer-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string path = TransferOutputPath(tmpl, std::string(300, 'T'), vqHQ);
    EXPECT_EQ(path.substr(path.size() - 4), ".mp4");
    for (const char* suffix : {"", ".part.meta"}) {
        std::ofstream out(path + suffix);
        EXPECT_TRUE(out.good()) << suffix;
    }
    std::filesystem::remove_all(tmpl);
}

TEST(TransferPaths, ChangeFileExtLooksOnlyAtTheNamePart)
{
    EXPECT_EQ("/a.b/clip.mov", ChangeFileExt("/a.b/clip.flv", ".mov"));
    EXPECT_EQ("/a.b/clip.mov", ChangeFileExt("/a.b/clip", ".mov"));
    EXPECT_EQ("/a/clip", ChangeFileExt("/a/clip.flv", ""));
    EXPECT_EQ("clip.tar.mp4", ChangeFileExt("clip.tar.gz", ".mp4"));
    EXPECT_EQ("clip.mp4", ExtractFileName("/x/y/clip.mp4"));
    EXPECT_EQ("clip.mp4", ExtractFileName("clip.mp4"));
}

TEST(TransferPaths, QualitySuffixes)
{
    const std::string url = "http://www.youtube.com/get_video?asv=&video_id=abc&t=tok";
    EXPECT_EQ(url, QualityAddress(url, vqNormal, true));
    EXPECT_EQ(url + "&fmt=18", QualityAddress(url, vqHQ, true));
    EXPECT_EQ(url + "&fmt=18", QualityAddress(url, vqHD, false));
    EXPECT_EQ(url + "&fmt=22", QualityAddress(url, vqHD, true));
    EXPECT_EQ(url + "&fmt=22", QualityAddress(url, vqBestAvailable, true));
    EXPECT_EQ(url + "&fmt=18", QualityAddress(url, vqBestAvailable, false));
}

TEST(RunCaptionText, CountsItemsFromOne)
{
    EXPECT_EQ("Ostrelle Clipwarden (2/5)", RunCaption("Ostrelle Clipwarden", 1, 5));
}
