#pragma once
// What the stream runs (HLS and DASH) share: streams made by the real ffmpeg at test time into a
// folder served by nginx, the probes that compare what the engine saved with the source, and a
// fixture whose engine writes into a folder of its own with four connections at HD.

#include "EngineRunSupport.h"
#include "convert/ConvertThread.h"
#include "support/ExternalServers.h"
#include "support/Files.h"
#include "support/VideoSites.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QStringList>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace streamtest {

inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// ffmpeg with the arguments (output files replaced); what it printed.
inline std::string Ffmpeg(const QStringList& args)
{
    QProcess p;
    p.start("ffmpeg", QStringList{"-v", "error", "-y"} + args);
    p.waitForFinished(120000);
    return p.readAllStandardOutput().toStdString() + p.readAllStandardError().toStdString();
}

// The hashes of a file's decoded video frames, in order (timestamps left out: a stream starts
// its clock where the muxer put it).
inline std::string VideoFrames(const std::string& path)
{
    QProcess p;
    p.start("ffmpeg", {"-v", "error", "-i", QString::fromStdString(path), "-map", "0:v", "-f", "framemd5", "-"});
    p.waitForFinished(120000);
    std::istringstream in(p.readAllStandardOutput().toStdString());
    std::string hashes;
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#')
            hashes += line.substr(line.rfind(',') + 1) + "\n";
    return hashes;
}

// "video audio 8.0": the kinds of a file's streams and its length in seconds.
inline std::string StreamKinds(const std::string& path)
{
    QProcess p;
    p.start("ffprobe", {"-v", "error", "-show_entries", "stream=codec_type:format=duration", "-of",
                        "default=noprint_wrappers=1:nokey=1", QString::fromStdString(path)});
    p.waitForFinished(30000);
    std::istringstream in(p.readAllStandardOutput().toStdString());
    std::string kinds, duration;
    for (std::string line; std::getline(in, line);)
        if (line == "video" || line == "audio")
            kinds += line + " ";
        else
            duration = line;
    return kinds + (duration.empty() ? "?" : std::to_string(static_cast<int>(std::stod(duration) + 0.5)));
}

// "h264 aac 8": the codecs of a file's streams and its length in seconds.
inline std::string StreamCodecs(const std::string& path)
{
    QProcess p;
    p.start("ffprobe", {"-v", "error", "-show_entries", "stream=codec_name:format=duration", "-of",
                        "default=noprint_wrappers=1:nokey=1", QString::fromStdString(path)});
    p.waitForFinished(30000);
    std::istringstream in(p.readAllStandardOutput().toStdString());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    if (lines.empty())
        return "?";
    std::string out;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i)
        out += lines[i] + " ";
    return out + std::to_string(static_cast<int>(std::stod(lines.back()) + 0.5));
}

// The fixture of a suite of stream runs: Suite's SetUpTestSuite makes Docs (the served folder,
// SourceFrames and the nginx serving it); each test gets an empty output folder and a runner.
template <class Suite> class StreamRun : public ::testing::Test {
protected:
    static void TearDownTestSuite()
    {
        Nginx.reset();
        Docs.reset();
    }
    void SetUp() override
    {
        if (SourceFrames.empty())
            GTEST_SKIP() << "ffmpeg could not make the source clip";
        if (!Nginx->Started())
            GTEST_SKIP() << "nginx did not start: " << Nginx->Error();
        for (const char* v : {"https_proxy", "HTTPS_PROXY", "no_proxy", "NO_PROXY"})
            ::unsetenv(v);
        Owner.Folder = Out.Path();
        Owner.Runner = &Runner;
        Owner.ConnectionsPerFile = 4;
        Owner.QualityLevel = cw::vqHD;
    }
    static std::string Doc(const std::string& name) { return Docs->Path() + "/" + name; }

    static inline std::unique_ptr<cwtest::TempDir> Docs;
    static inline std::unique_ptr<cwtest::NginxServer> Nginx;
    static inline std::string SourceFrames;
    cwtest::ScopedHttpProxy Direct{""};
    cwtest::TempDir Out{"cw-stream-out"};
    cw::TConvertProcess Runner;
    enginetest::TestRunOwner Owner;
};

} // namespace streamtest
