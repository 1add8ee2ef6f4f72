// Conversion runs started with the Start button, with the real converter and the main window's
// own converter runner and format list.

#include "RunTestSupport.h"

#include <QDir>
#include <algorithm>
#include <cstdlib>

using cwtest::VideoSites;
using runtest::MainRun;

namespace {

using RunConvert = runtest::RunTest;

bool IsMedia(const std::string& path)
{
    const std::string cmd = "ffprobe -v error '" + path + "' >/dev/null 2>&1 </dev/null";
    return std::system(cmd.c_str()) == 0;
}

// The container ffprobe sees in a file ("mov,mp4,m4a,3gp,3g2,mj2", "avi", ...).
std::string FormatName(const std::string& path)
{
    const std::string cmd =
        "ffprobe -v error -show_entries format=format_name -of default=nw=1:nk=1 '" + path + "' 2>/dev/null </dev/null";
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[256];
        while (fgets(buf, sizeof buf, p))
            out += buf;
        pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

} // namespace

TEST_F(RunConvert, TwoLocalFlvFilesWithTheDefaultFormat)
{
    QDir().mkpath(Dir.path() + "/in");
    const std::string a = runtest::MakeClip(Folder + "/in/first clip.flv");
    const std::string b = runtest::MakeClip(Folder + "/in/second.flv");
    MainRun run;
    run.SetFolder(Folder);
    run.SetMode(cw::jmConvert);
    run.SetFormat(0);
    run.Add(a);
    run.Add(b);
    bool panel3First = false;
    run.During([&](cw::TfrmDownload& w) {
        panel3First = w.findChild<QFrame*>("Panel3")->isVisible() && !w.findChild<QFrame*>("Panel1")->isVisible();
        return true;
    });
    run.Start(60000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_TRUE(panel3First);
    EXPECT_TRUE(IsMedia(Out("first clip.mov")));
    EXPECT_TRUE(IsMedia(Out("second.mov")));
    const auto& captions = run.Captions();
    EXPECT_NE(captions.end(), std::find(captions.begin(), captions.end(), "Ostrelle Clipwarden (1/2)"));
    EXPECT_NE(captions.end(), std::find(captions.begin(), captions.end(), "Ostrelle Clipwarden (2/2)"));
    EXPECT_EQ(0u, Server.RequestCount());
    EXPECT_EQ(0u, Boxes.Count());
}

TEST_F(RunConvert, DownloadAndConvertWithTheChosenFormat)
{
    const std::string clip = runtest::ReadFile(runtest::MakeClip(Folder + "/served.flv"));
    VideoSites::YoutubeVideo v;
    v.Title = "Tube";
    v.Files[""] = clip;
    Sites.Youtube("dc1", v);
    Sites.Metacafe("9", "Cafe", "Cafe.flv", clip);
    MainRun run;
    run.SetFolder(Folder);
    run.SetMode(cw::jmDownloadConvert);
    run.SetFormat(6); // Microsoft Mpeg4 AVI (AVI)
    run.Add(VideoSites::YoutubeAddress("dc1"));
    run.Add(VideoSites::MetacafeAddress("9"));
    run.Start(60000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_EQ(clip, runtest::ReadFile(Out("Tube.flv")));
    EXPECT_EQ(clip, runtest::ReadFile(Out("Cafe.flv")));
    EXPECT_EQ("avi", FormatName(Out("Tube.avi")));
    EXPECT_EQ("avi", FormatName(Out("Cafe.avi")));
    EXPECT_EQ(0u, Boxes.Count());
}

TEST_F(RunConvert, EndingTheProgramDuringAConversionLeavesNoConverterBehind)
{
    const std::string longClip = runtest::MakeClip(Folder + "/long.flv", 60);
    const std::string outFolder = Folder + "/out";
    QDir().mkpath(QString::fromStdString(outFolder));
    MainRun run;
    run.SetFolder(outFolder);
    run.SetMode(cw::jmConvert);
    run.SetFormat(1);
    run.Add(longClip);
    bool converting = false;
    run.During([&](cw::TfrmDownload&) {
        if (!run.Main->ConvertRunner()->Running())
            return false;
        converting = true;
        cw::Application::Terminate();
        return true;
    });
    run.Start(60000);
    cw::Application::ResetTerminated();
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_TRUE(converting);
    EXPECT_EQ(nullptr, run.Window());
    EXPECT_FALSE(run.Main->ConvertRunner()->Running());
    EXPECT_FALSE(run.Main->ConvertRunner()->Active);
}
