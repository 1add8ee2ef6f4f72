// The run model on its own: how a run moves from item to item, which items are converted, and
// what the end-of-run report says.

#include "engine/RunModel.h"
#include "engine/DownloadText.h"

#include <gtest/gtest.h>

using namespace cw;

namespace {
const std::string kTube = "http://www.youtube.com/watch?v=abc";
const std::string kCafe = "http://www.metacafe.com/watch/1/clip/";
const std::string kGoogle = "http://video.google.com/videoplay?docid=7";
} // namespace

TEST(RunModel, WalksTheItemsAndClosesAfterTheLast)
{
    TRunModel run({kTube, kCafe, kGoogle}, jmDownload);
    EXPECT_EQ(rsFetchPage, run.FirstStep());
    EXPECT_EQ("Ostrelle Clipwarden (1/3)", run.Caption("Ostrelle Clipwarden"));
    run.Succeed();
    EXPECT_EQ(rsFetchPage, run.Advance());
    EXPECT_EQ(kCafe, run.Address());
    EXPECT_EQ(rsFetchPage, run.Advance());
    EXPECT_EQ("T (3/3)", run.Caption("T"));
    EXPECT_EQ(rsClose, run.Advance());
    EXPECT_TRUE(run.AtEnd());
    // Once at the end, a stray advance stays there.
    EXPECT_EQ(rsClose, run.Advance());
    EXPECT_EQ(3, run.Index());
    // Done only where a stage said so: an item nobody said anything of is not passed off as done.
    EXPECT_EQ(ioDone, run.Item(0).Outcome);
    EXPECT_EQ(ioPending, run.Item(1).Outcome);
    EXPECT_EQ("", run.FailureSummary());

    TRunModel empty({}, jmDownloadConvert);
    EXPECT_EQ(rsClose, empty.FirstStep());

    TRunModel local({"/tmp/a.flv", "/tmp/b.flv"}, jmConvert);
    EXPECT_EQ(rsConvertFile, local.FirstStep());
    EXPECT_EQ(rsConvertFile, local.Advance());
    EXPECT_EQ(rsClose, local.Advance());
}

TEST(RunModel, GoogleVideoItemIsDownloadOnlyWhileTheItemsAfterItAreConverted)
{
    TRunModel run({kTube, kGoogle, kCafe}, jmDownloadConvert);
    EXPECT_TRUE(run.ConvertsAfterTransfer());
    run.Advance();
    EXPECT_EQ(vsGoogleVideo, run.Site());
    EXPECT_FALSE(run.ConvertsAfterTransfer());
    run.Advance();
    EXPECT_TRUE(run.ConvertsAfterTransfer());
    // A failed item has no file to convert.
    run.Fail("Unable to save x: disk full");
    EXPECT_FALSE(run.ConvertsAfterTransfer());

    TRunModel downloadOnly({kTube}, jmDownload);
    EXPECT_FALSE(downloadOnly.ConvertsAfterTransfer());
}

TEST(RunModel, QualityLevelAppliesToYoutubeItemsOnly)
{
    TRunModel run({kTube, kCafe, kGoogle, "http://www.example.com/watch"}, jmDownload);
    const bool expected[] = {true, false, false, false};
    for (bool applies : expected) {
        EXPECT_EQ(applies, run.QualityApplies()) << run.Address();
        run.Advance();
    }
}

TEST(RunModel, FailureLinesCarryTheirReasonAndTheSummaryCountsItems)
{
    TRunModel run({kTube, kCafe, kGoogle, kTube + "2"}, jmDownloadConvert);
    run.SetPageReason("the proxy 127.0.0.1:18099 refused the connection");
    run.FailNoVideo();
    // A second failure of the same item (its conversion, say) does not hide the first one.
    run.Fail("Convert process failed on x (exit code 1)");
    run.Advance();
    run.Skip();
    run.Advance();
    run.FailNoVideo(); // no reason known: the line stays as it always read
    run.Advance();
    run.Succeed();
    run.Advance();

    EXPECT_EQ(ioFailed, run.Item(0).Outcome);
    EXPECT_EQ(ioSkipped, run.Item(1).Outcome);
    EXPECT_EQ(ioFailed, run.Item(2).Outcome);
    EXPECT_EQ(ioDone, run.Item(3).Outcome);
    EXPECT_EQ(2, run.FailedCount());
    EXPECT_EQ("2 of 4 items failed:\r\n"
              "Unable get html from " +
                  kTube + ": the proxy 127.0.0.1:18099 refused the connection\r\n" + "Unable get html from " + kGoogle +
                  "\r\n",
              run.FailureSummary());

    TRunModel one({kTube});
    one.SetPageReason("no video found on the page");
    one.FailNoVideo();
    EXPECT_EQ("1 of 1 item failed:\r\nUnable get html from " + kTube + ": no video found on the page\r\n",
              one.FailureSummary());
}

TEST(GoogleVideoLink, CharacterReferencesAreDecodedOnceAndNeverIntoControlBytes)
{
    EXPECT_EQ("http://vp.video.google.com/videodownload?version=0&secureurl=x&sigh=a<b>\"'&docid=7",
              DecodeCharacterReferences(
                  "http://vp.video.google.com/"
                  "videodownload?version=0&amp;secureurl=x&#38;sigh=a&lt;b&gt;&quot;&apos;&#x26;docid=7"));
    // Decoded once: "&amp;amp;" is the text "&amp;".
    EXPECT_EQ("a&amp;b", DecodeCharacterReferences("a&amp;amp;b"));
    // A line break or a byte beyond ASCII would end up in the request line: left as written.
    EXPECT_EQ("a&#10;b&#xA;c&#233;d", DecodeCharacterReferences("a&#10;b&#xA;c&#233;d"));
    // Unfinished references and plain ampersands pass through.
    EXPECT_EQ("a&b&#;c&#12", DecodeCharacterReferences("a&b&#;c&#12"));
}

// The notice a run leaves on the desktop counts what happened to its items.
TEST(RunModel, EndNoticeCountsTheOutcomes)
{
    using Step = void (*)(TRunModel&);
    const Step done = [](TRunModel& m) { m.Succeed(); };
    const Step failed = [](TRunModel& m) { m.Fail("Unable download video from x: gone"); };
    const Step skipped = [](TRunModel& m) { m.Skip(); };
    const struct {
        JobMode Mode;
        std::vector<Step> Steps;
        const char* Notice;
    } cases[] = {
        {jmDownload, {done, done, done, failed}, "3 videos saved, 1 failed"},
        {jmDownload, {done}, "1 video saved"},
        {jmDownloadConvert, {failed, failed}, "0 videos saved, 2 failed"},
        {jmDownload, {skipped, done, failed}, "1 video saved, 1 failed, 1 skipped"},
        {jmConvert, {done, done}, "2 videos converted"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> items(c.Steps.size(), c.Mode == jmConvert ? "/tmp/a.flv" : kTube);
        TRunModel run(items, c.Mode);
        run.FirstStep();
        for (Step step : c.Steps) {
            step(run);
            run.Advance();
        }
        EXPECT_EQ(run.EndNotice(), c.Notice);
    }
}

// Items that run side by side end in any order: the model takes each outcome by its item, keeps
// the first failure of an item, and lists the failure lines in the list's order.
TEST(RunModel, OutcomesRecordedOutOfOrderKeepTheListsOrder)
{
    TRunModel run({kTube, kCafe, kGoogle, "http://d.example/x"}, jmDownload);
    run.SetCurrent(2);
    EXPECT_EQ("T (3/4)", run.Caption("T"));
    run.Record(2, ioFailed, "third failed", "no page");
    run.SetCurrent(3);
    run.Record(0, ioFailed, "first failed", "");
    run.Record(3, ioDone, "", "");
    run.Record(0, ioDone, "", "");         // a failed item stays failed
    run.Record(1, ioPending, "", "");      // nothing to record
    run.SetCurrent(9);                     // not an item: the current one stays
    EXPECT_EQ("T (4/4)", run.Caption("T"));
    EXPECT_EQ((std::vector<std::string>{"first failed", "third failed"}), run.FailureLines());
    EXPECT_EQ(ioFailed, run.Item(0).Outcome);
    EXPECT_EQ(ioPending, run.Item(1).Outcome);
    EXPECT_EQ("no page", run.Item(2).Reason);
    EXPECT_EQ("1 video saved, 2 failed", run.EndNotice());
    EXPECT_EQ("2 of 4 items failed:\r\nfirst failed\r\nthird failed\r\n", run.FailureSummary());
}
