// The command line as a user runs it: the real executable as a child process with no display,
// its sites served locally under their real names through http_proxy.

#include "support/Files.h"
#include "support/HttpTestServer.h"
#include "support/ServedFile.h"
#include "support/VideoSites.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

using cwtest::VideoSites;

namespace {

struct Outcome {
    int Status = -1;
    std::string Out;
    std::string Err;
};

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

class CommandLine : public ::testing::Test {
protected:
    CommandLine() : Sites(Server) {}

    // The program with no display of any kind, the server as its proxy.
    QProcessEnvironment Environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "HTTP_PROXY", "https_proxy",
                                 "HTTPS_PROXY", "no_proxy", "NO_PROXY"})
            env.remove(QString::fromLatin1(name));
        env.insert("http_proxy", QString::fromStdString("http://" + Server.Address() + "/"));
        return env;
    }

    void Launch(QProcess& p, const std::vector<std::string>& args) const
    {
        QStringList list;
        for (const std::string& a : args)
            list << QString::fromStdString(a);
        p.setProcessEnvironment(Environment());
        p.setWorkingDirectory(QString::fromStdString(Dir.Path()));
        p.start(QString::fromLatin1(CW_CLIPWARDEN_EXE), list);
        ASSERT_TRUE(p.waitForStarted(10000));
    }

    Outcome Run(const std::vector<std::string>& args, const std::string& input = std::string(), int limitMs = 60000)
    {
        QProcess p;
        Launch(p, args);
        p.write(input.data(), static_cast<qint64>(input.size()));
        p.closeWriteChannel();
        EXPECT_TRUE(p.waitForFinished(limitMs)) << "the command did not end";
        Outcome o;
        o.Status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        o.Out = p.readAllStandardOutput().toStdString();
        o.Err = p.readAllStandardError().toStdString();
        return o;
    }

    std::string Out(const std::string& name) const { return Dir.Path() + "/out/" + name; }

    // A short clip of the real converter's making, so that conversions have something to do.
    static const std::string& Clip()
    {
        static const std::string clip = [] {
            cwtest::TempDir dir("cw-clip");
            const std::string path = dir.Path() + "/clip.mp4";
            QProcess::execute("ffmpeg", {"-loglevel", "error", "-f", "lavfi", "-i", "testsrc=size=160x120:rate=15",
                                         "-f", "lavfi", "-i", "sine=frequency=440", "-t", "2", "-c:v", "mpeg4",
                                         "-c:a", "aac", "-shortest", QString::fromStdString(path)});
            return ReadFile(path);
        }();
        return clip;
    }

    cwtest::HttpTestServer Server;
    VideoSites Sites;
    cwtest::TempDir Dir{"cw-cli"};
};

TEST_F(CommandLine, UsageErrorsNameTheProblemAndExitWithTwo)
{
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"fetch", "x"}, "unknown command 'fetch'"},
        {{"get"}, "no address given"},
        {{"get", "--bogus", "http://a.example/"}, "unknown option --bogus"},
        {{"get", "-x", "0", "http://a.example/"}, "--connections takes a number from 1 to 16, not '0'"},
        {{"get", "--jobs=many", "http://a.example/"}, "--jobs takes a number from 1 to 64, not 'many'"},
        {{"get", "-c", "ogg", "http://a.example/"}, "unknown preset 'ogg'"},
        {{"get", "-q"}, "option -q needs a value"},
        {{"get", "--json=yes", "http://a.example/"}, "option --json takes no value"},
        {{"get", "not an address"}, "not a video page or web address: not an address"},
        {{"get", "-"}, "no address to fetch"},
        {{"convert", "a.flv"}, "convert needs --to PRESET"},
    };
    for (const auto& [args, message] : cases) {
        const Outcome o = Run(args);
        EXPECT_EQ(2, o.Status) << message;
        EXPECT_NE(std::string::npos, o.Err.find(std::string("clipwarden: ") + message)) << o.Err;
        EXPECT_NE(std::string::npos, o.Err.find("usage: clipwarden get")) << message;
    }
    const Outcome help = Run({"--help"});
    EXPECT_EQ(0, help.Status);
    EXPECT_NE(std::string::npos, help.Out.find("--list-presets"));
    EXPECT_EQ(0, Run({"--list-presets"}).Status);
}

// A mixed list from standard input: the good items are saved, the bad ones fail with the
// window's words, every event arrives as JSON in order. The same command again keeps the saved
// files and fails the same items only.
TEST_F(CommandLine, MixedListFromStandardInputSavesTheGoodItemsAndExitsWithOne)
{
    VideoSites::YoutubeVideo tube;
    tube.Title = "Tube Clip";
    tube.Files[""] = VideoSites::FileBody("tube", 300000);
    Sites.Youtube("good", tube);
    Server.Serve(VideoSites::FileHost, "/direct/clip.mp4", VideoSites::FileBody("direct", 5000), "video/mp4");
    Server.Serve("www.example.org", "/article", "<html><title>Nothing here</title><p>text</p></html>", "text/html");
    const std::string input = VideoSites::YoutubeAddress("good") + "\nsome words, not an address\nhttp://" +
                              VideoSites::FileHost + "/direct/missing.mp4\nhttp://www.example.org/article\nhttp://" +
                              VideoSites::FileHost + "/direct/clip.mp4\n";

    const Outcome first = Run({"get", "--json", "-o", "out", "-x", "2", "-"}, input);
    EXPECT_EQ(1, first.Status) << first.Err;
    EXPECT_EQ(VideoSites::FileBody("tube", 300000), ReadFile(Out("Tube Clip.flv")));
    EXPECT_EQ(VideoSites::FileBody("direct", 5000), ReadFile(Out("clip.mp4")));
    EXPECT_NE(std::string::npos, first.Err.find("2 of 4 items failed:\nUnable get html from http://" +
                                                std::string(VideoSites::FileHost) + "/direct/missing.mp4: "))
        << first.Err;
    EXPECT_NE(std::string::npos, first.Err.find("\nUnable get html from http://www.example.org/article: "));

    // Every line is one JSON object; per item: started, then the rest, then ended; the run's end last.
    std::vector<QJsonObject> events;
    for (const std::string& line : Lines(first.Out)) {
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
        ASSERT_EQ(QJsonParseError::NoError, error.error) << line;
        events.push_back(doc.object());
    }
    ASSERT_FALSE(events.empty());
    std::map<int, std::vector<std::string>> perItem;
    for (const QJsonObject& e : events)
        if (e["item"].isDouble())
            perItem[e["item"].toInt()].push_back(e["event"].toString().toStdString());
    ASSERT_EQ(4u, perItem.size());
    for (auto& [item, names] : perItem) {
        EXPECT_EQ("started", names.front()) << item;
        EXPECT_EQ("ended", names.back()) << item;
    }
    EXPECT_NE(perItem[1].end(), std::find(perItem[1].begin(), perItem[1].end(), "progress"));
    const QJsonObject last = events.back();
    EXPECT_EQ("run-ended", last["event"].toString());
    EXPECT_EQ(2, last["done"].toInt());
    EXPECT_EQ(2, last["failed"].toInt());

    // Again, as plain lines (the output is not a terminal): the saved files are kept.
    const Outcome again = Run({"get", "-o", "out", "-"}, input);
    EXPECT_EQ(1, again.Status);
    EXPECT_NE(std::string::npos, again.Out.find("[1/4] skipped: Tube Clip.flv")) << again.Out;
    EXPECT_NE(std::string::npos, again.Out.find("[4/4] skipped: clip.mp4")) << again.Out;
    EXPECT_NE(std::string::npos, again.Err.find("2 of 4 items failed:")) << again.Err;
}

// Ctrl+C in a transfer stops at once with 130 and keeps the .part; the same command resumes it.
TEST_F(CommandLine, InterruptKeepsThePartAndTheSameCommandCompletesIt)
{
    auto file = std::make_shared<cwtest::ServedFile>();
    file->Body = VideoSites::FileBody("long", 400000);
    file->StallAt = 150000;
    file->ContentType = "video/mp4";
    Server.On(VideoSites::FileHost, "/long.mp4", [file](const cwtest::HttpTestRequest& rq, cwtest::HttpTestConnection& c) {
        file->Answer(rq, c);
    });
    const std::vector<std::string> args = {"get", "-o", "out", "-x", "1",
                                           "http://" + std::string(VideoSites::FileHost) + "/long.mp4"};
    QProcess p;
    Launch(p, args);
    p.closeWriteChannel();
    const std::string part = Out("long.mp4.part");
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::error_code ec;
    auto partSize = [&] {
        const auto size = std::filesystem::file_size(part, ec);
        return ec ? 0 : size;
    };
    while (std::chrono::steady_clock::now() < until && partSize() < 150000)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(150000u, partSize());
    ::kill(static_cast<pid_t>(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_EQ(130, p.exitCode());
    EXPECT_NE(std::string::npos, p.readAllStandardError().toStdString().find("run the same command again"));
    EXPECT_TRUE(std::filesystem::exists(part));

    {
        std::lock_guard<std::mutex> lock(file->Lock);
        file->StallAt = std::string::npos;
    }
    const Outcome resumed = Run(args);
    EXPECT_EQ(0, resumed.Status) << resumed.Err;
    EXPECT_EQ(file->Body, ReadFile(Out("long.mp4")));
    EXPECT_FALSE(std::filesystem::exists(part));
    bool askedForTheRest = false;
    for (const auto& rq : Sites.RequestsTo(VideoSites::FileHost))
        askedForTheRest |= rq.Header("Range") == "bytes=150000-";
    EXPECT_TRUE(askedForTheRest);
}

// Three items at once: the server sees three transfers overlap, and each file is converted by
// the real converter.
TEST_F(CommandLine, ThreeJobsTransferTogetherAndEachIsConverted)
{
    ASSERT_FALSE(Clip().empty()) << "ffmpeg could not make the test clip";
    std::atomic<int> running{0}, most{0};
    Server.On(VideoSites::FileHost, "/clips/*", [&](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        const int now = ++running;
        for (int seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        c.Reply(200, "OK", {"Content-Type: video/mp4"}, Clip());
        --running;
    });
    std::vector<std::string> args = {"get", "-j", "3", "-c", "mp3", "-o", "out"};
    for (const char* name : {"a", "b", "c"})
        args.push_back("http://" + std::string(VideoSites::FileHost) + "/clips/" + name + ".mp4");
    const Outcome o = Run(args);
    EXPECT_EQ(0, o.Status) << o.Err;
    EXPECT_EQ(3, most.load());
    for (const char* name : {"a", "b", "c"}) {
        EXPECT_EQ(Clip(), ReadFile(Out(std::string(name) + ".mp4")));
        std::error_code ec;
        EXPECT_GT(std::filesystem::file_size(Out(std::string(name) + ".mp3"), ec), 1000u) << name;
    }
}

} // namespace
