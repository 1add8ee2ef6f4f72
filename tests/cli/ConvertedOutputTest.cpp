// What a run converts, as a user runs the real program with the real converter: every output
// gets a name of its own (same titles, a preset that writes the source's own kind, --overwrite),
// the source is never written, and a converted file answers for its item in the next run.

#include "support/Files.h"
#include "support/HttpTestServer.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include <sys/xattr.h>

namespace {

const std::string kSite = "www.example.org";
const std::string kTalk1 = "http://" + kSite + "/talk1";
const std::string kTalk2 = "http://" + kSite + "/talk2";

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string Origin(const std::string& path)
{
    char value[512] = {};
    const ssize_t n = ::getxattr(path.c_str(), "user.xdg.origin.url", value, sizeof value);
    return n > 0 ? std::string(value, static_cast<std::size_t>(n)) : std::string();
}

// What the converter says of a file: its length in seconds and whether it has a picture.
struct Probe {
    double Seconds = -1;
    bool Video = false;
};

Probe ProbeFile(const std::string& path)
{
    QProcess p;
    p.start("ffprobe", {"-v", "error", "-show_entries", "format=duration:stream=codec_type", "-of",
                        "default=noprint_wrappers=1", QString::fromStdString(path)});
    p.waitForFinished(20000);
    Probe probe;
    std::istringstream lines(p.readAllStandardOutput().toStdString());
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("duration=", 0) == 0)
            probe.Seconds = std::atof(line.c_str() + 9);
        probe.Video |= line == "codec_type=video";
    }
    return probe;
}

// A clip of the real converter's making, seconds long.
std::string MakeClip(double seconds)
{
    cwtest::TempDir dir("cw-clip");
    const std::string path = dir.Path() + "/clip.mp4";
    QProcess::execute("ffmpeg", {"-loglevel", "error", "-f", "lavfi", "-i", "testsrc=size=160x120:rate=15", "-f",
                                 "lavfi", "-i", "sine=frequency=440", "-t", QString::number(seconds), "-c:v", "mpeg4",
                                 "-c:a", "aac", "-shortest", QString::fromStdString(path)});
    return ReadFile(path);
}

class ConvertedOutput : public ::testing::Test {
protected:
    struct Outcome {
        int Status = -1;
        std::string Out;
        std::string Err;
    };

    Outcome Run(const std::vector<std::string>& args)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "HTTP_PROXY", "https_proxy",
                                 "HTTPS_PROXY", "no_proxy", "NO_PROXY"})
            env.remove(QString::fromLatin1(name));
        env.insert("http_proxy", QString::fromStdString("http://" + Server.Address() + "/"));
        QStringList list;
        for (const std::string& a : args)
            list << QString::fromStdString(a);
        QProcess p;
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(QString::fromStdString(Dir.Path()));
        p.start(QString::fromLatin1(CW_CLIPWARDEN_EXE), list);
        EXPECT_TRUE(p.waitForStarted(10000));
        p.closeWriteChannel();
        EXPECT_TRUE(p.waitForFinished(120000)) << "the command did not end";
        Outcome o;
        o.Status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        o.Out = p.readAllStandardOutput().toStdString();
        o.Err = p.readAllStandardError().toStdString();
        return o;
    }

    cwtest::HttpTestServer Server;
    cwtest::TempDir Dir{"cw-converted"};
};

// What a file in the folder must be after a step.
enum class Is {
    Absent,
    ClipA,    // the first page's video, byte for byte
    Audio,    // a conversion to audio that records the page it came from, as long as that page's clip
    Video,    // a conversion to video of the first page's clip, recording that page
    Untagged, // a converted video of a local file
};

TEST_F(ConvertedOutput, EveryOutputHasItsOwnNameAndAnswersForItsItem)
{
    // Two pages of one title; their videos differ in length and in the name's extension, so
    // that both conversions want the same name.
    const std::string clipA = MakeClip(2);
    const std::string clipB = MakeClip(4);
    ASSERT_FALSE(clipA.empty() || clipB.empty()) << "ffmpeg could not make the test clips";
    const std::map<std::string, double> seconds = {{kTalk1, 2}, {kTalk2, 4}};
    Server.Serve(kSite, "/a.mp4", clipA, "video/mp4");
    Server.Serve(kSite, "/b.webm", clipB, "video/webm");
    Server.Serve(kSite, "/talk1", "<title>Talk</title><video src=/a.mp4></video>", "text/html");
    Server.Serve(kSite, "/talk2", "<title>Talk</title><video src=/b.webm></video>", "text/html");
    auto remove = [this](const std::string& name) { return [this, name] { std::filesystem::remove(Dir.File(name)); }; };

    const struct Step {
        const char* What;
        std::function<void()> Before;
        std::vector<std::string> Args;
        int VideosFetched;
        std::vector<std::string> Says; // lines of standard output, as written
        std::map<std::string, Is> Files;
    } steps[] = {
        {"same title, one at a time",
         {},
         {"get", "-j", "1", "-t", "mp3", "-P", "j1", kTalk1, kTalk2},
         2,
         {"[1/2] done: j1/Talk.mp3 ", "[2/2] done: j1/Talk (2).mp3 "},
         {{"j1/Talk.mp3", Is::Audio},
          {"j1/Talk (2).mp3", Is::Audio},
          {"j1/Talk.mp4", Is::Absent},
          {"j1/Talk.webm", Is::Absent}}},
        {"same title, both at once",
         {},
         {"get", "-j", "2", "-t", "mp3", "-P", "j2", kTalk1, kTalk2},
         2,
         {},
         {{"j2/Talk.mp3", Is::Audio}, {"j2/Talk (2).mp3", Is::Audio}, {"j2/Talk (3).mp3", Is::Absent}}},
        {"the same list again fetches no video",
         {},
         {"get", "-t", "mp3", "-P", "j1", kTalk1, kTalk2},
         0,
         {"[1/2] skipped: j1/Talk.mp3 (already converted from this address)",
          "[2/2] skipped: j1/Talk (2).mp3 (already converted from this address)"},
         {{"j1/Talk.mp3", Is::Audio}, {"j1/Talk (2).mp3", Is::Audio}, {"j1/Talk (3).mp3", Is::Absent}}},
        {"a kept video",
         {},
         {"get", "--keep-video", "-t", "mp3", "-P", "keep", kTalk1},
         1,
         {"[1/1] done: keep/Talk.mp3 "},
         {{"keep/Talk.mp4", Is::ClipA}, {"keep/Talk.mp3", Is::Audio}}},
        {"a kept video whose conversion is gone is converted, not fetched",
         remove("keep/Talk.mp3"),
         {"get", "-t", "mp3", "-P", "keep", kTalk1},
         0,
         {"[1/1] done: keep/Talk.mp3 "},
         {{"keep/Talk.mp4", Is::ClipA}, {"keep/Talk.mp3", Is::Audio}, {"keep/Talk (2).mp3", Is::Absent}}},
        {"--overwrite fetches and converts again in place; the new download goes",
         {},
         {"get", "--overwrite", "-t", "mp3", "-P", "keep", kTalk1},
         1,
         {"[1/1] done: keep/Talk.mp3 "},
         {{"keep/Talk.mp4", Is::Absent}, {"keep/Talk.mp3", Is::Audio}, {"keep/Talk (2).mp3", Is::Absent}}},
        {"a preset that writes the source's kind",
         {},
         {"get", "-t", "iphone", "-P", "ip", kTalk1},
         1,
         {"[1/1] done: ip/Talk (2).mp4 "},
         {{"ip/Talk.mp4", Is::ClipA}, {"ip/Talk (2).mp4", Is::Video}}},
        {"the video is not its own conversion",
         remove("ip/Talk (2).mp4"),
         {"get", "-t", "iphone", "-P", "ip", kTalk1},
         0,
         {"[1/1] done: ip/Talk (2).mp4 "},
         {{"ip/Talk.mp4", Is::ClipA}, {"ip/Talk (2).mp4", Is::Video}}},
        {"psp",
         {},
         {"get", "-t", "psp", "-P", "psp", kTalk1},
         1,
         {"[1/1] done: psp/Talk (2).mp4 "},
         {{"psp/Talk.mp4", Is::ClipA}, {"psp/Talk (2).mp4", Is::Video}}},
        {"convert --overwrite never writes the source",
         [this, &clipA] {
             std::filesystem::create_directories(Dir.File("conv"));
             std::ofstream(Dir.File("conv/clip.mp4"), std::ios::binary) << clipA;
         },
         {"convert", "--overwrite", "-t", "psp", "-P", "conv", "conv/clip.mp4"},
         0,
         {"[1/1] done: conv/clip (2).mp4 "},
         {{"conv/clip.mp4", Is::ClipA}, {"conv/clip (2).mp4", Is::Untagged}}},
        {"... nor the second time, when its output is there",
         {},
         {"convert", "--overwrite", "-t", "iphone", "-P", "conv", "conv/clip.mp4"},
         0,
         {"[1/1] done: conv/clip (2).mp4 "},
         {{"conv/clip.mp4", Is::ClipA}, {"conv/clip (2).mp4", Is::Untagged}, {"conv/clip (3).mp4", Is::Absent}}},
    };

    for (const Step& step : steps) {
        SCOPED_TRACE(step.What);
        if (step.Before)
            step.Before();
        Server.ClearRequests();
        const Outcome o = Run(step.Args);
        EXPECT_EQ(0, o.Status) << o.Out << o.Err;
        int fetched = 0;
        for (const cwtest::HttpTestRequest& rq : Server.Requests())
            fetched += rq.PathOnly() == "/a.mp4" || rq.PathOnly() == "/b.webm";
        EXPECT_EQ(step.VideosFetched, fetched) << o.Out;
        for (const std::string& line : step.Says)
            EXPECT_NE(std::string::npos, o.Out.find(line)) << line << "\n" << o.Out;
        std::set<std::string> origins;
        for (const auto& [name, is] : step.Files) {
            SCOPED_TRACE(name);
            const std::string path = Dir.File(name);
            if (is == Is::Absent) {
                EXPECT_FALSE(std::filesystem::exists(path));
                continue;
            }
            ASSERT_TRUE(std::filesystem::exists(path)) << o.Out;
            if (is == Is::ClipA) {
                EXPECT_TRUE(ReadFile(path) == clipA);
                continue;
            }
            EXPECT_NE(ReadFile(path), clipA);
            const Probe probe = ProbeFile(path);
            EXPECT_EQ(is != Is::Audio, probe.Video);
            const std::string origin = Origin(path);
            if (is == Is::Untagged) {
                EXPECT_EQ("", origin);
                EXPECT_NEAR(2, probe.Seconds, 0.5);
                continue;
            }
            EXPECT_TRUE(origins.insert(origin).second) << "two outputs of one page: " << origin;
            if (is == Is::Video)
                EXPECT_EQ(kTalk1, origin);
            ASSERT_TRUE(seconds.count(origin)) << "origin " << origin;
            EXPECT_NEAR(seconds.at(origin), probe.Seconds, 0.5);
        }
    }
}

} // namespace
