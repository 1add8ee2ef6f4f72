// Download-only runs of each site at each quality level, started with the Start button: the
// file name and the address asked for, relocated to the host that serves the file.

#include "RunTestSupport.h"

using cwtest::VideoSites;
using runtest::MainRun;

namespace {

struct QualityCase {
    const char* Site;
    int Quality;
    bool Hd;
    const char* FileName;      // saved under
    const char* RequestTarget; // the first request for the file, host + path
    const char* Body;          // what the file holds
};

class RunByQuality : public runtest::RunTest, public ::testing::WithParamInterface<QualityCase> {};

std::string Describe(const ::testing::TestParamInfo<QualityCase>& info)
{
    return std::string(info.param.Site) + "_q" + std::to_string(info.param.Quality) + (info.param.Hd ? "_hd" : "");
}

} // namespace

TEST_P(RunByQuality, SavesTheFileUnderTheRightNameFromTheRightAddress)
{
    const QualityCase& c = GetParam();
    std::string address;
    std::string site = c.Site;
    if (site == "youtube") {
        VideoSites::YoutubeVideo v;
        v.Title = "My Clip";
        v.Token = "tk";
        v.Hd = c.Hd;
        v.Files[""] = "flv file";
        v.Files["18"] = "mp4 file";
        v.Files["22"] = "hd file";
        Sites.Youtube("yt1", v);
        address = VideoSites::YoutubeAddress("yt1");
    } else if (site == "metacafe") {
        Sites.Metacafe("77", "My Clip", "My_Clip.flv", "metacafe file");
        address = VideoSites::MetacafeAddress("77");
    } else {
        Sites.Google("42", "My Clip", "google file");
        address = VideoSites::GoogleAddress("42");
    }
    MainRun run;
    run.SetFolder(Folder);
    run.SetMode(cw::jmDownload);
    run.SetQuality(c.Quality);
    run.Add(address);
    run.Start(20000);
    ASSERT_FALSE(run.WatchdogFired);

    EXPECT_EQ(c.Body, runtest::ReadFile(Out(c.FileName)));
    // The direct address is asked for first; its relocation leads to the file host.
    auto requests = Server.Requests();
    ASSERT_GE(requests.size(), 3u);
    const auto& rq = requests[requests.size() - 2];
    EXPECT_EQ(c.RequestTarget, rq.Host + rq.Path);
    EXPECT_EQ(VideoSites::FileHost, requests.back().Host);
    EXPECT_EQ("Mozilla/3.0 (compatible)", rq.Header("User-Agent"));
    EXPECT_EQ(0u, Boxes.Count());
}

INSTANTIATE_TEST_SUITE_P(
    AllSites, RunByQuality,
    ::testing::Values(
        QualityCase{"youtube", cw::vqNormal, true, "My Clip.flv", "www.youtube.com/get_video?asv=&video_id=yt1&t=tk",
                    "flv file"},
        QualityCase{"youtube", cw::vqHQ, true, "My Clip.mp4", "www.youtube.com/get_video?asv=&video_id=yt1&t=tk&fmt=18",
                    "mp4 file"},
        QualityCase{"youtube", cw::vqHD, false, "My Clip.mp4",
                    "www.youtube.com/get_video?asv=&video_id=yt1&t=tk&fmt=18", "mp4 file"},
        QualityCase{"youtube", cw::vqHD, true, "My Clip.mp4", "www.youtube.com/get_video?asv=&video_id=yt1&t=tk&fmt=22",
                    "hd file"},
        QualityCase{"youtube", cw::vqBestAvailable, false, "My Clip.mp4",
                    "www.youtube.com/get_video?asv=&video_id=yt1&t=tk&fmt=18", "mp4 file"},
        QualityCase{"youtube", cw::vqBestAvailable, true, "My Clip.mp4",
                    "www.youtube.com/get_video?asv=&video_id=yt1&t=tk&fmt=22", "hd file"},
        QualityCase{"metacafe", cw::vqNormal, false, "My Clip.flv",
                    "v.mccont.com/ItemFiles/%5BFrom%20www.metacafe.com%5D%20My_Clip.flv", "metacafe file"},
        // The quality level is YouTube's: other sites' files are asked for as found
        // and keep their own extension.
        QualityCase{"metacafe", cw::vqHQ, false, "My Clip.flv",
                    "v.mccont.com/ItemFiles/%5BFrom%20www.metacafe.com%5D%20My_Clip.flv", "metacafe file"},
        QualityCase{"metacafe", cw::vqHD, false, "My Clip.flv",
                    "v.mccont.com/ItemFiles/%5BFrom%20www.metacafe.com%5D%20My_Clip.flv", "metacafe file"},
        QualityCase{"google", cw::vqNormal, false, "My Clip.mp4",
                    "vp.video.google.com/videodownload?version=3&docid=42", "google file"},
        QualityCase{"google", cw::vqHQ, false, "My Clip.mp4", "vp.video.google.com/videodownload?version=3&docid=42",
                    "google file"},
        QualityCase{"google", cw::vqHD, false, "My Clip.mp4", "vp.video.google.com/videodownload?version=3&docid=42",
                    "google file"}),
    Describe);
