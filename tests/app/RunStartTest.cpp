// Start: the checks before a run, the output folder question, what the download window is
// handed, and the main window after the run.

#include "RunTestSupport.h"

#include <QTreeWidget>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

using cwtest::VideoSites;
using runtest::MainRun;

namespace {
using RunStart = runtest::RunTest;

void AddClip(VideoSites& sites, const std::string& id, const std::string& title)
{
    VideoSites::YoutubeVideo v;
    v.Title = title;
    v.Files[""] = VideoSites::FileBody(id, 2048);
    sites.Youtube(id, v);
}
} // namespace

TEST_F(RunStart, EmptyListIsRefusedWithTheMessageOfTheMode)
{
    MainRun run;
    run.SetFolder(Folder);
    run.SetMode(cw::jmDownloadConvert);
    run.Start(5000);
    run.SetMode(cw::jmConvert);
    run.Start(5000);
    EXPECT_FALSE(run.WindowSeen);
    ASSERT_EQ(2u, Boxes.Count());
    EXPECT_EQ("Please enter video URL!", Boxes.Boxes()[0].Text);
    EXPECT_EQ("Please select a local video file!", Boxes.Boxes()[1].Text);
    for (const auto& box : Boxes.Boxes()) {
        EXPECT_EQ("Ostrelle Clipwarden", box.Caption);
        EXPECT_EQ(cw::MB_OK | cw::MB_ICONINFORMATION, box.Flags);
    }
}

TEST_F(RunStart, MissingFolderAnsweredNoStartsNothing)
{
    AddClip(Sites, "f1", "Folder Clip");
    const std::string folder = Folder + "/new/deeper";
    MainRun run;
    run.Add(VideoSites::YoutubeAddress("f1"));
    run.SetFolder(folder);
    Boxes.QueueAnswer(cw::IDNO);
    run.Start(5000);
    ASSERT_EQ(1u, Boxes.Count());
    EXPECT_EQ(folder + ", the output directory does not exist.\r\ncreates a new directory?", Boxes.Boxes()[0].Text);
    EXPECT_EQ(cw::MB_YESNO | cw::MB_ICONINFORMATION, Boxes.Boxes()[0].Flags);
    EXPECT_FALSE(std::filesystem::exists(Folder + "/new"));
    EXPECT_FALSE(run.WindowSeen);
    EXPECT_EQ(0u, Server.RequestCount());
}

TEST_F(RunStart, MissingFolderAnsweredYesIsCreatedWithItsParentsAndTheRunStarts)
{
    AddClip(Sites, "f2", "Folder Clip");
    const std::string folder = Folder + "/new/deeper";
    MainRun run;
    run.Add(VideoSites::YoutubeAddress("f2"));
    run.SetFolder(folder);
    Boxes.QueueAnswer(cw::IDYES);
    run.Start(20000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_EQ(VideoSites::FileBody("f2", 2048), runtest::ReadFile(folder + "/Folder Clip.flv"));
    EXPECT_EQ(folder, run.Main->OutputDirectory());
}

TEST_F(RunStart, FolderThatCannotBeCreatedIsReportedWithTheSystemsReason)
{
    AddClip(Sites, "f3", "Folder Clip");
    runtest::MakeClip(Out("plain.flv"), 1); // a file where a folder would have to go
    const std::string folder = Out("plain.flv") + "/sub";
    MainRun run;
    run.Add(VideoSites::YoutubeAddress("f3"));
    run.SetFolder(folder);
    Boxes.QueueAnswer(cw::IDYES);
    run.Start(5000);
    // The question, then why the folder could not be made; no run starts.
    ASSERT_EQ(2u, Boxes.Count());
    const std::string prefix = "Cannot create " + folder + ": ";
    EXPECT_EQ(prefix, Boxes.Boxes()[1].Text.substr(0, prefix.size()));
    EXPECT_GT(Boxes.Boxes()[1].Text.size(), prefix.size()); // the system's reason
    EXPECT_EQ(cw::MB_ICONERROR, Boxes.Boxes()[1].Flags & cw::MB_ICONMASK);
    EXPECT_FALSE(run.WindowSeen);
    EXPECT_EQ(0u, Server.RequestCount());
    EXPECT_EQ(1, run.Main->ItemCount());
}

TEST_F(RunStart, AddressesAreHandedOverNormalisedWhileTheListKeepsThemAsEntered)
{
    AddClip(Sites, "pl1", "Playlist First");
    const std::string playlist = "http://www.youtube.com/watch_videos?video_ids=pl1%2Cpl2%2Cpl3&feature=share";
    MainRun run;
    run.Add(playlist);
    run.SetFolder(Folder);
    run.Start(20000);
    ASSERT_FALSE(run.WatchdogFired);
    auto pages = Sites.RequestsTo("www.youtube.com");
    ASSERT_FALSE(pages.empty());
    EXPECT_EQ("/watch?v=pl1", pages[0].Path);
    EXPECT_EQ(VideoSites::FileBody("pl1", 2048), runtest::ReadFile(Out("Playlist First.flv")));
    ASSERT_EQ(1, run.Main->ItemCount());
    EXPECT_EQ(playlist, run.Main->ItemCaption(0));
}

TEST_F(RunStart, AfterARunEveryItemStaysAndTheFirstIsSelected)
{
    VideoSites::YoutubeVideo slow;
    slow.Files[""] = "one";
    // A page that takes a moment, so the run is still going when the address is picked up.
    slow.Page = [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        c.Reply(200, "OK", {"Content-Type: text/html"}, VideoSites::YoutubePage("Keep One", "tok", true, false));
    };
    Sites.Youtube("k1", slow);
    AddClip(Sites, "k2", "Keep Two");
    MainRun run;
    run.Add(VideoSites::YoutubeAddress("k1"));
    run.Add(VideoSites::YoutubeAddress("k2"));
    run.Main->SetItemIndex(1);
    run.SetFolder(Folder);
    std::string added = VideoSites::YoutubeAddress("late");
    // An address picked up while the run goes on waits for the next run.
    run.During([&](cw::TfrmDownload&) {
        run.Add(added);
        return true;
    });
    run.Start(20000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_TRUE(run.WindowSeen);
    EXPECT_EQ(3, run.Main->ItemCount());
    EXPECT_EQ(0, run.Main->ItemIndex());
    const auto requests = Server.Requests();
    EXPECT_EQ(0, std::count_if(requests.begin(), requests.end(),
                               [](const cwtest::HttpTestRequest& rq) { return rq.Query("v") == "late"; }));
    EXPECT_TRUE(runtest::Exists(Out("Keep One.flv")));
    EXPECT_TRUE(runtest::Exists(Out("Keep Two.flv")));
    // The download window is gone with the run.
    EXPECT_EQ(nullptr, run.Window());
}

TEST_F(RunStart, MixedListInADownloadModeLeavesLocalFilesAlone)
{
    AddClip(Sites, "mx", "Mixed");
    const std::string local = runtest::MakeClip(Out("local.flv"), 1);
    const std::string before = runtest::ReadFile(local);
    MainRun run;
    run.Add(local);
    run.Add(VideoSites::YoutubeAddress("mx"));
    run.SetFolder(Folder);
    run.Start(20000);
    ASSERT_FALSE(run.WatchdogFired);
    EXPECT_EQ(before, runtest::ReadFile(local));
    EXPECT_TRUE(runtest::Exists(Out("Mixed.flv")));
    EXPECT_EQ(0u, Boxes.Count());
    const auto& captions = run.Captions();
    EXPECT_NE(captions.end(), std::find(captions.begin(), captions.end(), "Ostrelle Clipwarden (2/2)"));
}
