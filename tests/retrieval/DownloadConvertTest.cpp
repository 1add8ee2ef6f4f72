// The conversion stage with the real converter: local files one after another, the overwrite
// and in-use cases, a missing converter, Stop and close during a conversion, and conversions
// after a download.

#include "DownloadWindowSupport.h"
#include "convert/FormatPresets.h"
#include "platform/Streams.h"

#include <QDir>
#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <netinet/in.h>
#include <regex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using cwtest::VideoSites;

namespace {

// One second is enough for these runs.
std::string MakeClip(const std::string& path, int seconds = 1)
{
    return cwtest::MakeClip(path, seconds);
}

class ConvertStage : public dltest::SiteRunTest {
protected:
    void SetUp() override
    {
        dltest::SiteRunTest::SetUp();
        In = Dir.path().toStdString() + "/in";
        QDir().mkpath(QString::fromStdString(In));
        Owner.Runner = &Runner;
    }
    void TearDown() override
    {
        if (Runner.Active)
            Runner.Stop(0);
    }
    // Preset 0 (QuickTime MOV) unless a test picks another.
    void Prepare(dltest::WindowRun& run, int preset = 0)
    {
        run.Window().ConvertExtension = cw::FormatExtension(cw::FormatCaptions()[preset]);
        run.Window().ConvertArguments = cw::FormatArguments(preset);
    }
    bool IsMedia(const std::string& path)
    {
        const std::string cmd = "ffprobe -v error '" + path + "' >/dev/null 2>&1 </dev/null";
        return std::system(cmd.c_str()) == 0;
    }

    std::string In;
    cw::TConvertProcess Runner;
};

// PATH without the converter for the life of the object.
class PathWithoutConverter {
public:
    explicit PathWithoutConverter(const std::string& emptyFolder)
    {
        if (const char* p = std::getenv("PATH"))
            FOld = p;
        setenv("PATH", emptyFolder.c_str(), 1);
    }
    ~PathWithoutConverter() { Restore(); }
    void Restore() { setenv("PATH", FOld.c_str(), 1); }

private:
    std::string FOld;
};

} // namespace

TEST_F(ConvertStage, LocalFilesAreConvertedOneAfterAnotherWithTheirCaptions)
{
    std::vector<std::string> files;
    for (int i = 1; i <= 3; ++i)
        files.push_back(MakeClip(In + "/clip" + std::to_string(i) + ".flv"));
    dltest::WindowRun run(files, cw::jmConvert, Owner);
    Prepare(run);
    bool conversionPanelFirst = false;
    run.During([&] {
        conversionPanelFirst = run.Child<QFrame>("Panel3")->isVisible() && !run.Child<QFrame>("Panel1")->isVisible() &&
                               !run.Child<QFrame>("Panel2")->isVisible();
        return true;
    });
    run.Run(60000);
    ASSERT_FALSE(run.WatchdogFired);

    EXPECT_TRUE(conversionPanelFirst);
    // The third finished file closes the window by itself.
    EXPECT_EQ(cw::mrCancel, run.Result);
    const auto& captions = run.Captions();
    for (const char* caption : {"Ostrelle Clipwarden (1/3)", "Ostrelle Clipwarden (2/3)", "Ostrelle Clipwarden (3/3)"})
        EXPECT_NE(captions.end(), std::find(captions.begin(), captions.end(), caption)) << caption;
    for (int i = 1; i <= 3; ++i)
        EXPECT_TRUE(IsMedia(Out("clip" + std::to_string(i) + ".mov"))) << i;
    EXPECT_EQ("clip3.mov", run.Text("lConvertName"));
    EXPECT_EQ("clip3.mov", run.Child<QLabel>("lConvertName")->toolTip().toStdString());
    EXPECT_TRUE(std::regex_match(run.Text("lTimeElapsed"), std::regex("[0-9]{2,}:[0-9]{2}")));
    EXPECT_EQ(0u, Server.RequestCount());
    EXPECT_EQ(0u, Boxes.Count());
}

TEST_F(ConvertStage, DeclinedOverwriteMovesOnToTheNextFileAtOnce)
{
    const std::string first = MakeClip(In + "/first.flv");
    const std::string second = MakeClip(In + "/second.flv");
    dltest::WriteFile(Out("first.mov"), "keep");
    Boxes.QueueAnswer(cw::IDNO);
    dltest::WindowRun run({first, second}, cw::jmConvert, Owner);
    Prepare(run);
    run.Run(60000);
    ASSERT_FALSE(run.WatchdogFired);
    ASSERT_EQ(1u, Boxes.Count());
    EXPECT_EQ(Out("first.mov") + " has existed,overite it?", Boxes.Boxes()[0].Text);
    EXPECT_EQ("keep", dltest::ReadFile(Out("first.mov")));
    EXPECT_TRUE(IsMedia(Out("second.mov")));
}

TEST_F(ConvertStage, OutputInUseShowsTheBoxAndTheRunGoesOn)
{
    const std::string first = MakeClip(In + "/busy.flv");
    const std::string second = MakeClip(In + "/free.flv");
    dltest::WriteFile(Out("busy.mov"), "in use");
    cw::TFileStream holder(Out("busy.mov"), cw::fmOpenReadWrite | cw::fmShareExclusive);
    Boxes.QueueAnswer(cw::IDYES);
    dltest::WindowRun run({first, second}, cw::jmConvert, Owner);
    Prepare(run);
    run.Run(60000);
    ASSERT_FALSE(run.WatchdogFired);
    ASSERT_EQ(3u, Boxes.Count());
    EXPECT_EQ("Video file will be created may be used, convert process failed!", Boxes.Boxes()[1].Text);
    EXPECT_EQ("Ostrelle Clipwarden", Boxes.Boxes()[1].Caption);
    EXPECT_EQ(cw::MB_ICONERROR, Boxes.Boxes()[1].Flags & cw::MB_ICONMASK);
    // The file was not converted: the item failed, it did not pass for done.
    EXPECT_EQ("1 of 2 items failed:\r\nConvert process failed on " + first + ": " + Out("busy.mov") +
                  " is in use by another program\r\n",
              Boxes.Boxes()[2].Text);
    EXPECT_EQ("in use", dltest::ReadFile(Out("busy.mov")));
    EXPECT_TRUE(IsMedia(Out("free.mov")));
}

TEST_F(ConvertStage, MissingConverterIsToldOnceAndEveryFileGetsItsLine)
{
    const std::string first = MakeClip(In + "/lonely.flv");
    const std::string second = MakeClip(In + "/other.flv");
    const std::string empty = Dir.path().toStdString() + "/emptybin";
    QDir().mkpath(QString::fromStdString(empty));
    PathWithoutConverter path(empty);
    dltest::WindowRun run({first, second}, cw::jmConvert, Owner);
    Prepare(run);
    run.Run(20000);
    ASSERT_FALSE(run.WatchdogFired);
    // The run ends by itself: one box with the reason, then the failures of both files.
    EXPECT_EQ(cw::mrCancel, run.Result);
    const std::string error =
        "Error while creating convert process!2 (ffmpeg was not found: install it or place it beside the program)";
    ASSERT_EQ(2u, Boxes.Count());
    EXPECT_EQ(error, Boxes.Boxes()[0].Text);
    EXPECT_EQ(cw::MB_ICONERROR, Boxes.Boxes()[0].Flags & cw::MB_ICONMASK);
    EXPECT_EQ("2 of 2 items failed:\r\nConvert process failed on " + first + ": " + error + "\r\n" +
                  "Convert process failed on " + second + ": " + error + "\r\n",
              Boxes.Boxes()[1].Text);
    EXPECT_TRUE(QDir(Dir.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

TEST_F(ConvertStage, EntriesThatAreNotLocalFilesAreNeverOpened)
{
    // A port nobody listens on, to see that no entry makes the converter listen there.
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(0, ::bind(probe, reinterpret_cast<sockaddr*>(&addr), len));
    ASSERT_EQ(0, ::getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len));
    ::close(probe);
    const std::string fifo = In + "/pipe.flv";
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    const std::vector<std::string> hostile = {
        "tcp://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "?listen=1&x=video.google.com",
        "pipe:0?x=video.google.com", "http://" + Server.Address() + "/clip.flv?x=video.google.com", fifo, In};
    std::vector<std::string> list = hostile;
    list.push_back(MakeClip(In + "/good.flv"));
    dltest::WindowRun run(list, cw::jmConvert, Owner);
    Prepare(run);
    bool listened = false;
    run.During([&] {
        int s = ::socket(AF_INET, SOCK_STREAM, 0);
        listened |= ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(s);
        return false;
    });
    run.Run(30000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_FALSE(listened);
    EXPECT_EQ(0u, Server.RequestCount());
    EXPECT_TRUE(IsMedia(Out("good.mov")));
    EXPECT_EQ("Ostrelle Clipwarden (6/6)", run.Captions().back());
    std::string lines;
    for (const std::string& entry : hostile)
        lines += "Not a local file: " + entry + "\r\n";
    ASSERT_EQ(1u, Boxes.Count());
    EXPECT_EQ("5 of 6 items failed:\r\n" + lines, Boxes.Boxes()[0].Text);
}

TEST_F(ConvertStage, MissingConverterShowsTheErrorOnceAndTheRunGoesOn)
{
    const std::string lonely = MakeClip(In + "/lonely.flv");
    const std::string next = MakeClip(In + "/next.flv");
    const std::string empty = Dir.path().toStdString() + "/emptybin";
    QDir().mkpath(QString::fromStdString(empty));
    PathWithoutConverter path(empty);
    // The converter is back as soon as the first error has been shown.
    auto recorder = cw::SetMessageBoxHandler(nullptr);
    cw::SetMessageBoxHandler([&](const std::string& text, const std::string& caption, unsigned flags) {
        path.Restore();
        return recorder(text, caption, flags);
    });
    dltest::WindowRun run({lonely, next}, cw::jmConvert, Owner);
    Prepare(run);
    run.Run(30000);
    cw::SetMessageBoxHandler(recorder);
    ASSERT_FALSE(run.WatchdogFired);
    ASSERT_EQ(2u, Boxes.Count());
    EXPECT_EQ(cw::MB_ICONERROR, Boxes.Boxes()[0].Flags & cw::MB_ICONMASK);
    const std::string line = "Convert process failed on " + lonely + ": " + Boxes.Boxes()[0].Text + "\r\n";
    EXPECT_EQ("1 of 2 items failed:\r\n" + line, Boxes.Boxes()[1].Text);
    EXPECT_TRUE(IsMedia(Out("next.mov")));
    EXPECT_NE(cw::mrAbort, run.Result);
}

TEST_F(ConvertStage, StopEndsTheConverterAndTheRun)
{
    const std::string longClip = MakeClip(In + "/long.flv", 60);
    const std::string next = MakeClip(In + "/next.flv");
    dltest::WindowRun run({longClip, next}, cw::jmConvert, Owner);
    Prepare(run, 1);
    bool wasRunning = false;
    run.During([&] {
        if (run.Text("lTimeElapsed") == "00:00" && !Runner.Running())
            return false;
        wasRunning = Runner.Running();
        run.Click("suiButton2");
        return true;
    });
    run.Run(60000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_TRUE(wasRunning);
    EXPECT_EQ(cw::mrAbort, run.Result);
    EXPECT_FALSE(Runner.Running());
    EXPECT_FALSE(Runner.Active);
    EXPECT_EQ("<missing>", dltest::ReadFile(Out("next.mp4")));
    // The unfinished file is gone with its converter; the inputs stay.
    EXPECT_TRUE(QDir(Dir.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
    EXPECT_EQ(2u, QDir(QString::fromStdString(In)).entryList(QDir::Files).size());
    EXPECT_EQ(0u, Boxes.Count());
}

TEST_F(ConvertStage, ClosingTheWindowDuringAConversionLeavesNoConverter)
{
    const std::string longClip = MakeClip(In + "/closing.flv", 60);
    dltest::WindowRun run({longClip}, cw::jmConvert, Owner);
    Prepare(run, 1);
    run.During([&] {
        if (!Runner.Running())
            return false;
        run.Window().close();
        return true;
    });
    run.Run(60000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_EQ(cw::mrCancel, run.Result);
    EXPECT_FALSE(Runner.Running());
}

TEST_F(ConvertStage, ConverterThatFailsAddsAFailureLineAndTheRunGoesOn)
{
    dltest::WriteFile(In + "/broken.flv", "this is not a video at all");
    const std::string good = MakeClip(In + "/good.flv");
    dltest::WindowRun run({In + "/broken.flv", good}, cw::jmConvert, Owner);
    Prepare(run);
    run.Run(60000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_TRUE(IsMedia(Out("good.mov")));
    ASSERT_EQ(1u, Boxes.Count());
    const std::string text = Boxes.Boxes()[0].Text;
    // The converter's own last word on the file says why.
    EXPECT_EQ("1 of 2 items failed:\r\nConvert process failed on " + In + "/broken.flv (exit code 1): file:" + In +
                  "/broken.flv: Invalid data found when processing input\r\n",
              text);
    EXPECT_EQ("<missing>", dltest::ReadFile(Out("broken.mov")));
}

TEST_F(ConvertStage, DownloadedFileIsConvertedUnderItsQualityName)
{
    const std::string clip = dltest::ReadFile(MakeClip(Dir.path().toStdString() + "/served.flv"));
    VideoSites::YoutubeVideo v;
    v.Title = "My Clip";
    v.Files["18"] = clip;
    Sites.Youtube("dc", v);
    Owner.QualityLevel = cw::vqHQ;
    dltest::WindowRun run({VideoSites::YoutubeAddress("dc")}, cw::jmDownloadConvert, Owner);
    Prepare(run);
    run.Run(60000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_EQ(clip, dltest::ReadFile(Out("My Clip.mp4")));
    EXPECT_TRUE(IsMedia(Out("My Clip.mov")));
    EXPECT_EQ(Out("My Clip.mp4"), Runner.InputFile);
    EXPECT_EQ(0u, Boxes.Count());
}

TEST_F(ConvertStage, AfterTheFlvFallbackTheFileThatArrivedIsConverted)
{
    const std::string clip = dltest::ReadFile(MakeClip(Dir.path().toStdString() + "/served.flv"));
    VideoSites::YoutubeVideo v;
    v.Title = "Fallback";
    v.Hd = true;
    v.Files[""] = clip;
    Sites.Youtube("fb", v);
    Owner.QualityLevel = cw::vqBestAvailable;
    dltest::WindowRun run({VideoSites::YoutubeAddress("fb")}, cw::jmDownloadConvert, Owner);
    Prepare(run);
    run.Run(60000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_EQ(Out("Fallback.flv"), Runner.InputFile);
    EXPECT_TRUE(IsMedia(Out("Fallback.mov")));
    EXPECT_EQ(0u, Boxes.Count());
}

TEST_F(ConvertStage, GoogleVideoItemIsOnlyDownloadedAndTheItemsAroundItAreConverted)
{
    const std::string clip = dltest::ReadFile(MakeClip(Dir.path().toStdString() + "/served.flv"));
    Sites.Google("5", "Google Clip", clip);
    for (const std::string id : {"g1", "g2"}) {
        VideoSites::YoutubeVideo v;
        v.Title = "Tube " + id;
        v.Files[""] = clip;
        Sites.Youtube(id, v);
    }
    dltest::WindowRun run(
        {VideoSites::YoutubeAddress("g1"), VideoSites::GoogleAddress("5"), VideoSites::YoutubeAddress("g2")},
        cw::jmDownloadConvert, Owner);
    Prepare(run);
    run.Run(60000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_EQ(clip, dltest::ReadFile(Out("Google Clip.mp4")));
    EXPECT_EQ("<missing>", dltest::ReadFile(Out("Google Clip.mov")));
    EXPECT_TRUE(IsMedia(Out("Tube g1.mov")));
    EXPECT_TRUE(IsMedia(Out("Tube g2.mov")));
    EXPECT_EQ(cw::jmDownloadConvert, run.Window().JobMode);
    EXPECT_EQ(0u, Boxes.Count());
}

TEST_F(ConvertStage, ItemWithoutADirectAddressIsReportedOnceAndNotConverted)
{
    AddYoutubePage("na", [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        c.Reply(200, "OK", {"Content-Type: text/html"}, "<html>no video here</html>");
    });
    const std::string clip = dltest::ReadFile(MakeClip(Dir.path().toStdString() + "/served.flv"));
    VideoSites::YoutubeVideo v;
    v.Title = "After";
    v.Files[""] = clip;
    Sites.Youtube("af", v);
    // A file from an earlier run lies where the failed item's default name points.
    dltest::WriteFile(Out("get_video.flv"), "stale");
    dltest::WindowRun run({VideoSites::YoutubeAddress("na"), VideoSites::YoutubeAddress("af")}, cw::jmDownloadConvert,
                          Owner);
    run.Window().SetPollLimit(1500); // the second item must still make it on a loaded machine
    Prepare(run);
    run.Run(60000);
    ASSERT_FALSE(run.WatchdogFired);
    ASSERT_EQ(1u, Boxes.Count());
    EXPECT_EQ("1 of 2 items failed:\r\nUnable get html from " + VideoSites::YoutubeAddress("na") +
                  ": no video found on the page\r\n",
              Boxes.Boxes()[0].Text);
    EXPECT_EQ("<missing>", dltest::ReadFile(Out("get_video.mov")));
    EXPECT_TRUE(IsMedia(Out("After.mov")));
}

TEST_F(ConvertStage, FileKeptAtTheOverwriteQuestionIsStillConverted)
{
    MakeClip(Out("Kept.flv"));
    const std::string kept = dltest::ReadFile(Out("Kept.flv"));
    VideoSites::YoutubeVideo v;
    v.Title = "Kept";
    v.Files[""] = "not fetched";
    Sites.Youtube("kp", v);
    Boxes.QueueAnswer(cw::IDNO);
    dltest::WindowRun run({VideoSites::YoutubeAddress("kp")}, cw::jmDownloadConvert, Owner);
    Prepare(run);
    run.Run(60000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_EQ(kept, dltest::ReadFile(Out("Kept.flv")));
    EXPECT_TRUE(Sites.RequestsTo(VideoSites::FileHost).empty());
    EXPECT_EQ(Out("Kept.flv"), Runner.InputFile);
    EXPECT_TRUE(IsMedia(Out("Kept.mov")));
}

TEST_F(ConvertStage, AFailedTransferIsReportedOnceAndNeverConverted)
{
    VideoSites::YoutubeVideo gone;
    gone.Title = "Gone";
    Sites.Youtube("gn", gone); // no file: the server answers 404 with a page
    const std::string clip = dltest::ReadFile(MakeClip(Dir.path().toStdString() + "/served.flv"));
    VideoSites::YoutubeVideo v;
    v.Title = "Fine";
    v.Files[""] = clip;
    Sites.Youtube("fn", v);
    dltest::WindowRun run({VideoSites::YoutubeAddress("gn"), VideoSites::YoutubeAddress("fn")}, cw::jmDownloadConvert,
                          Owner);
    Prepare(run);
    run.Run(60000);
    ASSERT_FALSE(run.WatchdogFired);
    // The error page is neither kept nor handed to the converter (which would fail a second
    // time on it); the next item is converted as usual.
    ASSERT_EQ(1u, Boxes.Count());
    EXPECT_EQ("1 of 2 items failed:\r\nUnable download video from " + VideoSites::YoutubeAddress("gn") +
                  ": the server answered 404 Not Found\r\n",
              Boxes.Boxes()[0].Text);
    EXPECT_EQ("<missing>", dltest::ReadFile(Out("Gone.flv")));
    EXPECT_EQ("<missing>", dltest::ReadFile(Out("Gone.mov")));
    EXPECT_TRUE(IsMedia(Out("Fine.mov")));
}
