// The command line as a user runs it: the real executable as a child process with no display,
// its sites served locally under their real names through http_proxy.

#include "support/Files.h"
#include "support/HttpTestServer.h"
#include "support/ServedFile.h"
#include "support/TlsTestPki.h"
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
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include <sys/xattr.h>
#include <unistd.h>

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
        for (const auto& [name, value] : ExtraEnvironment)
            env.insert(QString::fromStdString(name), QString::fromStdString(value));
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
                                         "-f", "lavfi", "-i", "sine=frequency=440", "-t", "2", "-c:v", "mpeg4", "-c:a",
                                         "aac", "-shortest", QString::fromStdString(path)});
            return ReadFile(path);
        }();
        return clip;
    }

    // The events of a --json run, one object a line (each line must be one).
    static std::vector<QJsonObject> Events(const std::string& out)
    {
        std::vector<QJsonObject> events;
        for (const std::string& line : Lines(out)) {
            QJsonParseError error{};
            const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
            EXPECT_EQ(QJsonParseError::NoError, error.error) << line;
            events.push_back(doc.object());
        }
        return events;
    }
    static std::vector<QJsonObject> EventsOf(const std::vector<QJsonObject>& events, const char* name, int item)
    {
        std::vector<QJsonObject> found;
        for (const QJsonObject& e : events)
            if (e["event"].toString() == QLatin1String(name) && e["item"].toInt() == item)
                found.push_back(e);
        return found;
    }

    void WriteFile(const std::string& name, const std::string& bytes) const
    {
        std::ofstream(Dir.Path() + "/" + name, std::ios::binary) << bytes;
    }

    cwtest::HttpTestServer Server;
    VideoSites Sites;
    cwtest::TempDir Dir{"cw-cli"};
    std::map<std::string, std::string> ExtraEnvironment; // set after the defaults
};

TEST_F(CommandLine, UsageErrorsNameTheProblemAndExitWithTwo)
{
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"fetch", "x"}, "unknown command 'fetch'"},
        {{"get"}, "no address given"},
        {{"get", "--bogus", "http://a.example/"}, "unknown option --bogus"},
        {{"get", "-x", "0", "http://a.example/"}, "--connections takes a number from 1 to 16, not '0'"},
        {{"get", "--jobs=many", "http://a.example/"}, "--jobs takes a number from 1 to 64, not 'many'"},
        {{"get", "-t", "ogg", "http://a.example/"}, "unknown preset 'ogg'"},
        {{"get", "-f"}, "option -f needs a value"},
        {{"get", "--json=yes", "http://a.example/"}, "option --json takes no value"},
        {{"get", "not an address"}, "not a video page or web address: not an address"},
        {{"get", "-"}, "no address to fetch"},
        {{"convert", "a.flv"}, "convert needs -t, --to PRESET"},
        {{"get", "-o", "out", "http://a.example/"}, "--output takes a file name template such as {title}.{ext}"},
        {{"get", "-i", "no-such-list.txt"}, "cannot read no-such-list.txt: No such file or directory"},
        // Without a display an option nobody knows is a usage error, not a toolkit that aborts.
        {{"--bogus"}, "unknown option --bogus"},
        {{"get", "--proxy", "http://user:secret@", "http://a.example/"},
         "--proxy takes an http proxy such as http://host:port/, not 'http://user:***@'"},
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
    // -V and -h need no display either.
    const Outcome version = Run({"-V"});
    EXPECT_EQ(0, version.Status) << version.Err;
    EXPECT_EQ(0u, version.Out.rfind("clipwarden 1.", 0)) << version.Out;
    EXPECT_EQ(0, Run({"-h"}).Status);
    // The window without any display says so and points to the command line, rather than
    // letting the toolkit abort.
    const Outcome bare = Run({});
    EXPECT_EQ(2, bare.Status) << bare.Err;
    EXPECT_NE(std::string::npos, bare.Err.find("clipwarden: no display to open the window on")) << bare.Err;
    EXPECT_NE(std::string::npos, bare.Err.find("clipwarden get URL")) << bare.Err;
    EXPECT_NE(std::string::npos, bare.Err.find("clipwarden --help")) << bare.Err;
    EXPECT_EQ(std::string::npos,
              Run({"get", "--proxy", "http://user:secret@", "http://a.example/"}).Err.find("secret"));
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
                              VideoSites::FileHost +
                              "/direct/missing.mp4\n  \thttp://www.example.org/article\nhttp://" +
                              VideoSites::FileHost + "/direct/clip.mp4\n";

    const Outcome first = Run({"get", "--json", "-P", "out", "-x", "2", "-"}, input);
    EXPECT_EQ(1, first.Status) << first.Err;
    // The indented address is one; the words are told with their line.
    EXPECT_NE(std::string::npos, first.Err.find(":2: not an address: some words, not an address")) << first.Err;
    EXPECT_EQ(VideoSites::FileBody("tube", 300000), ReadFile(Out("Tube Clip.flv")));
    EXPECT_EQ(VideoSites::FileBody("direct", 5000), ReadFile(Out("clip.mp4")));
    EXPECT_NE(std::string::npos,
              first.Err.find("2 of 4 items failed:\ncannot download http://" + std::string(VideoSites::FileHost) +
                             "/direct/missing.mp4: the server answered 404 Not Found\n"))
        << first.Err;
    EXPECT_NE(std::string::npos, first.Err.find("\ncannot download http://www.example.org/article: no video found"));
    // The window's words stay the window's.
    EXPECT_EQ(std::string::npos, first.Err.find("Unable ")) << first.Err;

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
    // The missing file is read as a page and fails there, typed with the server's answer.
    const QJsonObject missing = EventsOf(events, "ended", 2).at(0);
    EXPECT_EQ("page", missing["stage"].toString());
    EXPECT_EQ("server", missing["kind"].toString());
    EXPECT_EQ(404, missing["status"].toInt());
    const QJsonObject article = EventsOf(events, "ended", 3).at(0);
    EXPECT_EQ("no-video", article["kind"].toString());
    EXPECT_TRUE(article["status"].isNull());

    // Again, as plain lines (the output is not a terminal): the saved files are kept.
    const Outcome again = Run({"get", "-P", "out", "-"}, input);
    EXPECT_EQ(1, again.Status);
    EXPECT_NE(std::string::npos, again.Out.find("[1/4] skipped: out/Tube Clip.flv (already saved from this address)"))
        << again.Out;
    EXPECT_NE(std::string::npos, again.Out.find("[4/4] skipped: out/clip.mp4 (already saved from this address)"))
        << again.Out;
    EXPECT_NE(std::string::npos, again.Err.find("2 of 4 items failed:")) << again.Err;
}

// A watch page that wants the viewer signed in cannot be answered by a command: that item is
// skipped with its line, and the item running beside it is saved.
TEST_F(CommandLine, PageThatWantsASignInSkipsOnlyItsItem)
{
    VideoSites::YoutubeVideo age;
    age.Page = [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        c.Reply(200, "OK", {"Content-Type: text/html"},
                "<html><title>YouTube - Grown Up</title><body>Please verify you are 18 or older.</body></html>");
    };
    Sites.Youtube("grown", age);
    VideoSites::YoutubeVideo tube;
    tube.Title = "Beside It";
    tube.Files[""] = VideoSites::FileBody("beside", 4000);
    Sites.Youtube("beside", tube);
    const Outcome o =
        Run({"get", "-P", "out", "-j", "2", VideoSites::YoutubeAddress("grown"), VideoSites::YoutubeAddress("beside")});
    EXPECT_EQ(1, o.Status) << o.Err;
    EXPECT_NE(std::string::npos,
              o.Err.find("1 of 2 items failed:\ncannot download " + VideoSites::YoutubeAddress("grown") +
                         ": the page asks to confirm the viewer's age\n"))
        << o.Err;
    EXPECT_EQ(VideoSites::FileBody("beside", 4000), ReadFile(Out("Beside It.flv")));
}

// Every way an item can end in its page stage fails the run, and --json names it with its
// kind and, when the server said no, its status; the line on standard error keeps its words.
TEST_F(CommandLine, PageStageFailuresFailTheRunWithTheirKind)
{
    Server.On("www.example.org", "/gone", [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        c.Reply(404, "Not Found", {"Content-Type: text/html"}, "<html>no such page</html>");
    });
    Server.On("www.example.org", "/hangup",
              [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) { c.Reset(); });
    Server.Serve("www.example.org", "/words", "<html><title>Words</title><p>only text</p></html>", "text/html");
    // Larger than the page engine keeps: no page engine can give its text.
    Server.Serve("www.example.org", "/huge", "<html>" + std::string(33 * 1024 * 1024, 'x') + "</html>", "text/html");
    VideoSites::YoutubeVideo age;
    age.Page = [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        c.Reply(200, "OK", {"Content-Type: text/html"},
                "<html><title>YouTube - Grown Up</title><body>Please verify you are 18 or older.</body></html>");
    };
    Sites.Youtube("grown", age);
    const struct {
        std::string Address;
        const char* Kind;
        int Status; // 0: null
        std::string Words;
    } cases[] = {
        {"http://www.example.org/gone", "server", 404, "the server answered 404 Not Found"},
        {"http://www.example.org/hangup", "network", 0, "Connection closed by the server without a response"},
        {"http://www.example.org/words", "no-video", 0, "no video found on the page"},
        {VideoSites::YoutubeAddress("grown"), "sign-in", 0, "the page asks to confirm the viewer's age"},
        {"http://www.example.org/huge", "unreadable", 0, "the page cannot be read"},
    };
    for (const auto& c : cases) {
        const Outcome o = Run({"get", "--json", "-P", "out", c.Address});
        EXPECT_EQ(1, o.Status) << c.Address << "\n" << o.Err;
        const std::vector<QJsonObject> events = Events(o.Out);
        const std::vector<QJsonObject> ended = EventsOf(events, "ended", 1);
        ASSERT_EQ(1u, ended.size()) << o.Out;
        EXPECT_EQ("failed", ended[0]["outcome"].toString()) << o.Out;
        EXPECT_EQ("page", ended[0]["stage"].toString()) << o.Out;
        EXPECT_EQ(c.Kind, ended[0]["kind"].toString().toStdString()) << o.Out;
        if (c.Status)
            EXPECT_EQ(c.Status, ended[0]["status"].toInt()) << o.Out;
        else
            EXPECT_TRUE(ended[0]["status"].isNull()) << o.Out;
        ASSERT_FALSE(events.empty());
        EXPECT_EQ("run-ended", events.back()["event"].toString());
        EXPECT_EQ(1, events.back()["failed"].toInt()) << o.Out;
        const std::string line = "cannot download " + c.Address + ": " + c.Words;
        EXPECT_NE(std::string::npos, o.Err.find("1 of 1 item failed:\n" + line)) << o.Err;
        EXPECT_EQ(line, ended[0]["reason"].toString().toStdString().substr(0, line.size())) << o.Out;
    }

    // An unreadable page ends the run: the items after it are named as not started.
    Server.Serve(VideoSites::FileHost, "/after.mp4", VideoSites::FileBody("after", 3000), "video/mp4");
    const Outcome o = Run({"get", "--json", "-P", "out", "-j", "1", "http://www.example.org/huge",
                           "http://" + std::string(VideoSites::FileHost) + "/after.mp4"});
    EXPECT_EQ(1, o.Status) << o.Err;
    const std::vector<QJsonObject> events = Events(o.Out);
    EXPECT_TRUE(EventsOf(events, "started", 2).empty()) << o.Out;
    bool named = false;
    for (const QJsonObject& e : events)
        named = named || (e["event"].toString() == QLatin1String("note") &&
                          e["text"].toString().endsWith(QLatin1String("not started: item 2")));
    EXPECT_TRUE(named) << o.Out;
}

// Ctrl+C in a transfer stops at once with 130 and keeps the .part; the same command resumes it.
TEST_F(CommandLine, InterruptKeepsThePartAndTheSameCommandCompletesIt)
{
    auto file = std::make_shared<cwtest::ServedFile>();
    file->Body = VideoSites::FileBody("long", 400000);
    file->StallAt = 150000;
    file->ContentType = "video/mp4";
    Server.On(VideoSites::FileHost, "/long.mp4",
              [file](const cwtest::HttpTestRequest& rq, cwtest::HttpTestConnection& c) { file->Answer(rq, c); });
    const std::vector<std::string> args = {"get", "-P", "out",
                                           "-x",  "1",  "http://" + std::string(VideoSites::FileHost) + "/long.mp4"};
    // The interrupted run reports as JSON: the item it stopped is told how it ended.
    std::vector<std::string> json = args;
    json.insert(json.begin() + 1, "--json");
    QProcess p;
    Launch(p, json);
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
    const std::vector<QJsonObject> events = Events(p.readAllStandardOutput().toStdString());
    ASSERT_GE(events.size(), 3u);
    const QJsonObject ended = events[events.size() - 2];
    EXPECT_EQ("ended", ended["event"].toString());
    EXPECT_EQ(1, ended["item"].toInt());
    EXPECT_EQ("stopped", ended["outcome"].toString());
    EXPECT_EQ("run-ended", events.back()["event"].toString());
    EXPECT_TRUE(events.back()["stopped"].toBool());

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
    std::vector<std::string> args = {"get", "-j", "3", "-t", "mp3", "-P", "out"};
    for (const char* name : {"a", "b", "c"})
        args.push_back("http://" + std::string(VideoSites::FileHost) + "/clips/" + name + ".mp4");
    const Outcome o = Run(args);
    EXPECT_EQ(0, o.Status) << o.Err;
    EXPECT_EQ(3, most.load());
    for (const char* name : {"a", "b", "c"}) {
        // Converted to audio, the video goes unless asked to stay.
        EXPECT_FALSE(std::filesystem::exists(Out(std::string(name) + ".mp4"))) << name;
        std::error_code ec;
        EXPECT_GT(std::filesystem::file_size(Out(std::string(name) + ".mp3"), ec), 1000u) << name;
    }
    const Outcome kept = Run({"get", "--keep-video", "-t", "mp3", "-P", "kept",
                              "http://" + std::string(VideoSites::FileHost) + "/clips/a.mp4"});
    EXPECT_EQ(0, kept.Status) << kept.Err;
    EXPECT_TRUE(Clip() == ReadFile(Dir.Path() + "/kept/a.mp4"));
    EXPECT_TRUE(std::filesystem::exists(Dir.Path() + "/kept/a.mp3"));
}

// An input file: comments and blank lines are passed over, blanks around an address trimmed,
// a line that is no address is told with its number while the rest runs, and the run says it
// failed. Each item's finished line names the saved path with its size, time and speed.
TEST_F(CommandLine, InputFileTellsBadLinesByNumberAndFetchesTheRest)
{
    Server.Serve(VideoSites::FileHost, "/list/a.mp4", VideoSites::FileBody("a", 5000), "video/mp4");
    Server.Serve(VideoSites::FileHost, "/list/b.mp4", VideoSites::FileBody("b", 7000), "video/mp4");
    const std::string a = "http://" + std::string(VideoSites::FileHost) + "/list/a.mp4";
    const std::string b = "http://" + std::string(VideoSites::FileHost) + "/list/b.mp4";
    const std::string list = "# two clips\n\n   " + a + "  \r\nsome words\n" + b + "\n" + a + "\n";
    WriteFile("list.txt", list);

    const Outcome o = Run({"get", "-P", "out", "-i", "list.txt"});
    EXPECT_EQ(1, o.Status) << o.Err;
    EXPECT_NE(std::string::npos, o.Err.find("clipwarden: list.txt:4: not an address: some words\n")) << o.Err;
    EXPECT_EQ(VideoSites::FileBody("a", 5000), ReadFile(Out("a.mp4")));
    EXPECT_EQ(VideoSites::FileBody("b", 7000), ReadFile(Out("b.mp4")));
    EXPECT_NE(std::string::npos, o.Out.find("[1/2] done: out/a.mp4 (4.9 KB in ")) << o.Out;
    EXPECT_NE(std::string::npos, o.Out.find("[2/2] done: out/b.mp4 (6.8 KB in ")) << o.Out;
    EXPECT_NE(std::string::npos, o.Out.find("/s)\n")) << o.Out;

    // The same list from standard input, beside an address given as an operand.
    const Outcome piped = Run({"get", "-P", "again", "-i", "-", b}, list);
    EXPECT_EQ(1, piped.Status) << piped.Err;
    EXPECT_NE(std::string::npos, piped.Err.find("clipwarden: standard input:4: not an address: some words"))
        << piped.Err;
    EXPECT_NE(std::string::npos, piped.Out.find("[1/2] done: again/b.mp4")) << piped.Out;
    EXPECT_NE(std::string::npos, piped.Out.find("[2/2] done: again/a.mp4")) << piped.Out;
}

// --retries N: N pauses of 1, 2, 4... seconds; a JSON reader hears of each pause once, with its
// length.
TEST_F(CommandLine, RetriesSetThePausesAndEachPauseIsOneEvent)
{
    // Answer 0 breaks after 1000 bytes, answer 1 brings nothing; answer 2 would be whole.
    auto once = std::make_shared<cwtest::ServedFile>();
    once->Body = VideoSites::FileBody("flaky", 20000);
    once->Cuts = {1000, 0};
    once->ContentType = "video/mp4";
    auto twice = std::make_shared<cwtest::ServedFile>();
    twice->Body = once->Body;
    twice->Cuts = once->Cuts;
    twice->ContentType = "video/mp4";
    Server.On(VideoSites::FileHost, "/once.mp4",
              [once](const cwtest::HttpTestRequest& rq, cwtest::HttpTestConnection& c) { once->Answer(rq, c); });
    Server.On(VideoSites::FileHost, "/twice.mp4",
              [twice](const cwtest::HttpTestRequest& rq, cwtest::HttpTestConnection& c) { twice->Answer(rq, c); });
    const std::string host = "http://" + std::string(VideoSites::FileHost);

    // One try after the first is not enough.
    const Outcome short1 = Run({"get", "--json", "-P", "out", "-x", "1", "--retries", "1", host + "/once.mp4"});
    EXPECT_EQ(1, short1.Status) << short1.Err;
    std::vector<QJsonObject> events = Events(short1.Out);
    std::vector<QJsonObject> waits = EventsOf(events, "waiting", 1);
    ASSERT_EQ(1u, waits.size()) << short1.Out;
    EXPECT_EQ(1, waits[0]["seconds"].toInt());
    EXPECT_EQ(1, waits[0]["attempt"].toInt());
    EXPECT_EQ(1, waits[0]["count"].toInt());
    const QJsonObject ended = EventsOf(events, "ended", 1).at(0);
    EXPECT_EQ("failed", ended["outcome"].toString());
    // Why, typed: the download broke on the network, with no status to tell.
    EXPECT_EQ("download", ended["stage"].toString());
    EXPECT_EQ("network", ended["kind"].toString());
    EXPECT_TRUE(ended["status"].isNull()) << short1.Out;
    EXPECT_NE(std::string::npos, short1.Err.find("cannot download " + host + "/once.mp4: ")) << short1.Err;

    // Two are: pauses of 1 and 2 seconds, each said once.
    const Outcome enough = Run({"get", "--json", "-P", "out", "-x", "1", "--retries", "2", host + "/twice.mp4"});
    EXPECT_EQ(0, enough.Status) << enough.Err;
    EXPECT_EQ(twice->Body, ReadFile(Out("twice.mp4")));
    events = Events(enough.Out);
    waits = EventsOf(events, "waiting", 1);
    ASSERT_EQ(2u, waits.size()) << enough.Out;
    EXPECT_EQ(1, waits[0]["seconds"].toInt());
    EXPECT_EQ(2, waits[1]["seconds"].toInt());
    EXPECT_EQ(2, waits[1]["attempt"].toInt());
    EXPECT_EQ(2, waits[1]["count"].toInt());
}

// --timeout is the idle limit of files and of pages alike.
TEST_F(CommandLine, TimeoutIsTheIdleLimitOfPagesAndFiles)
{
    auto stalled = std::make_shared<cwtest::ServedFile>();
    stalled->Body = VideoSites::FileBody("stall", 50000);
    stalled->StallAt = 1000;
    stalled->ContentType = "video/mp4";
    Server.On(VideoSites::FileHost, "/stall.mp4",
              [stalled](const cwtest::HttpTestRequest& rq, cwtest::HttpTestConnection& c) { stalled->Answer(rq, c); });
    Server.Serve("www.example.org", "/slow",
                 "<html><title>Slow</title><video src=\"http://" + std::string(VideoSites::FileHost) +
                     "/stall.mp4\"></video></html>",
                 "text/html");
    Server.On("www.example.org", "/silent", [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        c.Send("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 5000\r\n\r\n<html><title>");
        c.WaitForClientClose(30000);
    });
    const Outcome o = Run({"get", "-P", "out", "--timeout", "1", "--retries", "0", "http://www.example.org/slow",
                           "http://www.example.org/silent"},
                          std::string(), 40000);
    EXPECT_EQ(1, o.Status) << o.Err;
    EXPECT_NE(std::string::npos, o.Err.find("cannot download http://www.example.org/slow: no data for 1 s")) << o.Err;
    // The page engine says it in words of its own.
    const std::size_t silent = o.Err.find("cannot download http://www.example.org/silent: ");
    ASSERT_NE(std::string::npos, silent) << o.Err;
    EXPECT_NE(std::string::npos, o.Err.substr(silent, o.Err.find('\n', silent) - silent).find(" for 1 s")) << o.Err;
}

// --proxy takes every address, pages and files, whatever http_proxy and no_proxy say.
TEST_F(CommandLine, ProxyOptionTakesPagesAndFilesOverTheEnvironment)
{
    Server.Serve("www.example.org", "/proxied",
                 "<html><title>Proxied</title><video src=\"http://" + std::string(VideoSites::FileHost) +
                     "/p.mp4\"></video></html>",
                 "text/html");
    Server.Serve(VideoSites::FileHost, "/p.mp4", VideoSites::FileBody("p", 9000), "video/mp4");
    ExtraEnvironment = {
        {"http_proxy", "http://127.0.0.1:1/"}, {"https_proxy", "http://127.0.0.1:1/"}, {"no_proxy", "*"}};
    const Outcome o =
        Run({"get", "-P", "out", "--proxy", "http://" + Server.Address() + "/", "http://www.example.org/proxied"});
    EXPECT_EQ(0, o.Status) << o.Err;
    EXPECT_EQ(VideoSites::FileBody("p", 9000), ReadFile(Out("Proxied.mp4")));
    EXPECT_FALSE(Sites.RequestsTo(VideoSites::FileHost).empty());
    // Without it, the environment's dead proxy and no_proxy hold.
    const Outcome without = Run({"get", "-P", "out2", "http://www.example.org/proxied"});
    EXPECT_EQ(1, without.Status);
}

// Names and reasons from a server reach the terminal without their control characters and
// direction overrides, and an address's password never reaches it.
TEST_F(CommandLine, ServerTextReachesTheTerminalDefused)
{
    // U+202E and U+009B in the address's name: neither reaches the file system either.
    const std::string realName = "gnp.mp4";
    Server.On(VideoSites::FileHost, "/evil/*", [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        c.Reply(200, "OK", {"Content-Type: video/mp4"}, VideoSites::FileBody("evil", 3000));
    });
    Server.On(VideoSites::FileHost, "/esc.mp4", [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        c.Reply(404, "\x1b]0;TITLE\x07 \x1b[2J", {"Content-Type: text/html"}, "gone");
    });
    const std::string evil = "http://" + std::string(VideoSites::FileHost) + "/evil/%E2%80%AE%C2%9Bgnp.mp4";
    const std::string esc = "http://user:secret@" + std::string(VideoSites::FileHost) + "/esc.mp4";
    auto defused = [&](const std::string& text) {
        for (const char* raw : {"\x1b", "\x07", "\xE2\x80\xAE", "\xC2\x9B", "secret"})
            EXPECT_EQ(std::string::npos, text.find(raw)) << text;
    };

    const Outcome o = Run({"get", "-P", "out", evil, esc});
    EXPECT_EQ(1, o.Status) << o.Err;
    EXPECT_EQ(VideoSites::FileBody("evil", 3000), ReadFile(Out(realName))); // saved under its own name
    defused(o.Out);
    defused(o.Err);
    EXPECT_NE(std::string::npos, o.Out.find("[1/2] done: out/gnp.mp4 (")) << o.Out;
    EXPECT_NE(std::string::npos,
              o.Err.find("cannot download http://user:***@" + std::string(VideoSites::FileHost) + "/esc.mp4: "))
        << o.Err;

    // As JSON the texts arrive whole, escaped.
    const Outcome json = Run({"get", "--json", "-P", "json", evil, esc});
    EXPECT_EQ(1, json.Status) << json.Err;
    defused(json.Out);
    defused(json.Err);
    const std::vector<QJsonObject> events = Events(json.Out);
    ASSERT_FALSE(EventsOf(events, "transfer", 1).empty()) << json.Out;
    EXPECT_EQ(QString::fromStdString(realName), EventsOf(events, "transfer", 1)[0]["name"].toString());
    EXPECT_EQ(QString::fromStdString("http://user:***@" + std::string(VideoSites::FileHost) + "/esc.mp4"),
              EventsOf(events, "started", 2).at(0)["address"].toString());
}

// The title event names the file as it will be saved (the quality's extension), and a page
// without a video is named by its address, not by a made-up file name.
// Subtitles through the command line: the locale's language is saved beside the video, one that
// cannot be fetched is a warning line while the item is still done, and --no-subs saves none.
TEST_F(CommandLine, SubtitlesFollowTheLocaleAndNoSubsSavesNone)
{
    const std::string french = "WEBVTT\n\n00:01.000 --> 00:02.000\nBonjour\n";
    Server.Serve("www.example.org", "/clip.mp4", Clip(), "video/mp4");
    Server.Serve("www.example.org", "/clip2.mp4", Clip(), "video/mp4");
    Server.Serve("www.example.org", "/en.vtt", "WEBVTT\n\n00:01.000 --> 00:02.000\nHello\n", "text/vtt");
    Server.Serve("www.example.org", "/fr.vtt", french, "text/vtt");
    Server.Serve("www.example.org", "/talk",
                 "<title>Talk</title><video src=/clip.mp4><track src=/en.vtt srclang=en default>"
                 "<track src=/fr.vtt srclang=fr-CA></video>",
                 "text/html");
    Server.Serve("www.example.org", "/broken",
                 "<title>Broken</title><video src=/clip2.mp4><track src=/gone.vtt srclang=fr></video>", "text/html");
    ExtraEnvironment = {{"LANG", "fr_FR.UTF-8"}, {"LANGUAGE", ""}, {"LC_ALL", ""}, {"LC_MESSAGES", ""}};
    const Outcome o = Run({"get", "-P", "out", "http://www.example.org/talk", "http://www.example.org/broken"});
    EXPECT_EQ(0, o.Status) << o.Err;
    EXPECT_EQ(french, ReadFile(Out("Talk.fr-CA.vtt")));
    EXPECT_EQ(Clip(), ReadFile(Out("Broken.mp4")));
    EXPECT_FALSE(std::filesystem::exists(Out("Broken.fr.vtt")));
    EXPECT_NE(std::string::npos, o.Err.find("[2/2] warning: subtitle not saved: the subtitle "
                                            "http://www.example.org/gone.vtt: the server answered 404"))
        << o.Err;

    const Outcome off = Run({"get", "--no-subs", "-P", "off", "http://www.example.org/talk"});
    EXPECT_EQ(0, off.Status) << off.Err;
    EXPECT_EQ(Clip(), ReadFile(Dir.Path() + "/off/Talk.mp4"));
    EXPECT_FALSE(std::filesystem::exists(Dir.Path() + "/off/Talk.fr-CA.vtt"));

    // Converted to audio, the download goes and the subtitle stays beside what is left; in JSON
    // the warning is an event of its item.
    const Outcome mp3 = Run(
        {"get", "--json", "-t", "mp3", "-P", "mp3", "http://www.example.org/talk", "http://www.example.org/broken"});
    EXPECT_EQ(0, mp3.Status) << mp3.Err;
    EXPECT_TRUE(std::filesystem::exists(Dir.Path() + "/mp3/Talk.mp3"));
    EXPECT_FALSE(std::filesystem::exists(Dir.Path() + "/mp3/Talk.mp4"));
    EXPECT_EQ(french, ReadFile(Dir.Path() + "/mp3/Talk.fr-CA.vtt"));
    const std::vector<QJsonObject> warnings = EventsOf(Events(mp3.Out), "warning", 2);
    ASSERT_EQ(1u, warnings.size()) << mp3.Out;
    EXPECT_TRUE(warnings[0]["text"].toString().contains("gone.vtt: the server answered 404")) << mp3.Out;
    EXPECT_TRUE(EventsOf(Events(mp3.Out), "warning", 1).empty()) << mp3.Out;
}

TEST_F(CommandLine, TitleEventsNameTheSavedFile)
{
    VideoSites::YoutubeVideo tube;
    tube.Title = "Tube Clip";
    tube.Files["18"] = VideoSites::FileBody("tube18", 40000);
    Sites.Youtube("hq", tube);
    Server.Serve("www.example.org", "/article", "<html><title>Nothing here</title><p>text</p></html>", "text/html");
    const Outcome o = Run(
        {"get", "--json", "-f", "hq", "-P", "out", VideoSites::YoutubeAddress("hq"), "http://www.example.org/article"});
    EXPECT_EQ(1, o.Status) << o.Err;
    EXPECT_EQ(VideoSites::FileBody("tube18", 40000), ReadFile(Out("Tube Clip.mp4")));
    const std::vector<QJsonObject> events = Events(o.Out);
    const std::vector<QJsonObject> titles = EventsOf(events, "title", 1);
    ASSERT_FALSE(titles.empty()) << o.Out;
    for (const QJsonObject& t : titles)
        EXPECT_EQ("Tube Clip.mp4", t["name"].toString()) << o.Out;
    EXPECT_EQ("Tube Clip.mp4", EventsOf(events, "transfer", 1).at(0)["name"].toString());
    EXPECT_EQ(QString::fromStdString(Out("Tube Clip.mp4")), EventsOf(events, "ended", 1).at(0)["path"].toString());
    const std::vector<QJsonObject> none = EventsOf(events, "title", 2);
    ASSERT_FALSE(none.empty()) << o.Out;
    EXPECT_EQ("http://www.example.org/article", none.back()["name"].toString());
}

// Two addresses never share a file, also when they run at once: the second name gets a number.
// Each file records its address, so running the same list again fetches nothing; a file of
// unknown origin is the user's and is kept unless --overwrite says otherwise.
TEST_F(CommandLine, NamesNeverCollideAndNoAddressIsFetchedTwice)
{
    for (const char* folder : {"a", "b"})
        Server.Serve(VideoSites::FileHost, "/" + std::string(folder) + "/clip.mp4", VideoSites::FileBody(folder, 30000),
                     "video/mp4");
    Server.Serve(VideoSites::FileHost, "/own.mp4", VideoSites::FileBody("own", 20000), "video/mp4");
    const std::string host = "http://" + std::string(VideoSites::FileHost);
    const std::string a = host + "/a/clip.mp4";
    const std::string b = host + "/b/clip.mp4";
    const Outcome first = Run({"get", "-j", "2", "--json", "-P", "out", a, b});
    ASSERT_EQ(0, first.Status) << first.Err;
    std::map<std::string, std::string> byOrigin; // address -> saved name, by the attribute
    for (const char* name : {"clip.mp4", "clip (2).mp4"}) {
        char value[512] = {};
        const ssize_t n = ::getxattr(Out(name).c_str(), "user.xdg.origin.url", value, sizeof value);
        ASSERT_GT(n, 0) << name;
        byOrigin[std::string(value, static_cast<std::size_t>(n))] = name;
    }
    ASSERT_EQ(2u, byOrigin.size());
    EXPECT_EQ(VideoSites::FileBody("a", 30000), ReadFile(Out(byOrigin[a])));
    EXPECT_EQ(VideoSites::FileBody("b", 30000), ReadFile(Out(byOrigin[b])));
    // The title names the file each item really saved.
    const std::vector<QJsonObject> events = Events(first.Out);
    for (int item : {1, 2}) {
        const std::string address = item == 1 ? a : b;
        ASSERT_FALSE(EventsOf(events, "title", item).empty()) << first.Out;
        for (const QJsonObject& t : EventsOf(events, "title", item))
            EXPECT_EQ(QString::fromStdString(byOrigin[address]), t["name"].toString()) << first.Out;
    }

    // The same list again: both are there already.
    ::truncate(Out("clip.mp4").c_str(), 0); // would be noticed if fetched again
    const Outcome again = Run({"get", "-P", "out", a, b});
    EXPECT_EQ(0, again.Status) << again.Err;
    for (const std::string& name : {std::string("clip.mp4"), std::string("clip (2).mp4")})
        EXPECT_NE(std::string::npos, again.Out.find("skipped: out/" + name + " (already saved from this address)"))
            << again.Out;
    EXPECT_EQ(0u, std::filesystem::file_size(Out("clip.mp4")));

    // A file the user put there (no attribute) is asked about: kept, or replaced on --overwrite.
    {
        std::ofstream own(Out("own.mp4"));
        own << "mine";
    }
    const Outcome kept = Run({"get", "-P", "out", host + "/own.mp4"});
    EXPECT_EQ(0, kept.Status) << kept.Err;
    EXPECT_NE(std::string::npos, kept.Out.find("skipped: out/own.mp4 (kept as it is)")) << kept.Out;
    EXPECT_EQ("mine", ReadFile(Out("own.mp4")));
    const Outcome replaced = Run({"get", "--overwrite", "-P", "out", host + "/own.mp4"});
    EXPECT_EQ(0, replaced.Status) << replaced.Err;
    EXPECT_EQ(VideoSites::FileBody("own", 20000), ReadFile(Out("own.mp4")));

    // A name template names the file; the rules above hold for the name it gives.
    const Outcome named = Run({"get", "-o", "{id} from {site}.{ext}", "-P", "out", host + "/own.mp4"});
    EXPECT_EQ(0, named.Status) << named.Err;
    EXPECT_EQ(VideoSites::FileBody("own", 20000),
              ReadFile(Out("own from " + std::string(VideoSites::FileHost) + ".mp4")))
        << named.Out;
}

// Whatever a server calls its file, an answer that is no page is the file; the user name and
// password of an address answer the server's Basic challenge, and the password is never shown.
TEST_F(CommandLine, AnyAnswerButAPageIsTheFileAndAddressCredentialsAnswerTheServer)
{
    const std::string host = "http://" + std::string(VideoSites::FileHost);
    Server.Serve(VideoSites::FileHost, "/data/big.bin", VideoSites::FileBody("bin", 50000), "application/octet-stream");
    Server.On(VideoSites::FileHost, "/private/clip.mp4",
              [](const cwtest::HttpTestRequest& rq, cwtest::HttpTestConnection& c) {
                  const bool signedIn = rq.Header("Authorization") == "Basic dXNlcjpzM2NyZXQ="; // user:s3cret
                  if (signedIn)
                      c.Reply(200, "OK", {"Content-Type: video/mp4"}, VideoSites::FileBody("private", 40000));
                  else
                      c.Reply(401, "Unauthorized",
                              {"WWW-Authenticate: Basic realm=\"clips\"", "Content-Type: text/html"},
                              "<html>sign in</html>");
              });
    Server.Serve(VideoSites::FileHost, "/page.html",
                 "<html><title>Gone</title><video src=\"/gone.mp4\"></video></html>");
    const Outcome o =
        Run({"get", "--json", "-P", "out", host + "/data/big.bin",
             "http://user:s3cret@" + std::string(VideoSites::FileHost) + "/private/clip.mp4",
             "http://user:wrong@" + std::string(VideoSites::FileHost) + "/private/clip.mp4", host + "/page.html"});
    EXPECT_EQ(1, o.Status) << o.Err;
    EXPECT_TRUE(VideoSites::FileBody("bin", 50000) == ReadFile(Out("big.bin"))) << o.Out;
    EXPECT_TRUE(VideoSites::FileBody("private", 40000) == ReadFile(Out("clip.mp4"))) << o.Out;
    for (const std::string& text : {o.Out, o.Err}) {
        EXPECT_EQ(std::string::npos, text.find("s3cret")) << text;
        EXPECT_EQ(std::string::npos, text.find("wrong")) << text;
    }
    const std::vector<QJsonObject> events = Events(o.Out);
    ASSERT_EQ(1u, EventsOf(events, "ended", 3).size()) << o.Out;
    EXPECT_EQ("failed", EventsOf(events, "ended", 3)[0]["outcome"].toString());
    EXPECT_NE(std::string::npos, EventsOf(events, "ended", 3)[0]["reason"].toString().toStdString().find("401"))
        << o.Out;
    EXPECT_EQ("page", EventsOf(events, "ended", 3)[0]["stage"].toString());
    // The page named a file the server does not have: the download's failure, with its status.
    ASSERT_EQ(1u, EventsOf(events, "ended", 4).size()) << o.Out;
    const QJsonObject gone = EventsOf(events, "ended", 4)[0];
    EXPECT_EQ("download", gone["stage"].toString());
    EXPECT_EQ("server", gone["kind"].toString());
    EXPECT_EQ(404, gone["status"].toInt());
}

// --cacert lends the TLS checks a certificate authority of the user's; --limit-rate caps the run
// and still gives the whole file over several connections.
TEST_F(CommandLine, CaCertificatesAndRateCapReachEveryConnection)
{
    const cwtest::TlsTestPki& pki = cwtest::TlsTestPki::Get();
    if (!pki.Ready())
        GTEST_SKIP() << pki.Error();
    cwtest::TempDir root("cw-cli-tls");
    const std::string body = VideoSites::FileBody("secure", 600000);
    root.Write("secure.mp4", body);
    cwtest::TlsNginx nginx(root.Path(), "localhost");
    if (!nginx.Started())
        GTEST_SKIP() << nginx.Error();
    cwtest::TempDir nothingTrusted("cw-cli-notrust");
    ExtraEnvironment = {{"SSL_CERT_FILE", nothingTrusted.Path() + "/none.pem"},
                        {"SSL_CERT_DIR", nothingTrusted.Path()},
                        {"no_proxy", "localhost"}};
    const std::string address = "https://localhost:" + nginx.TlsPort() + "/secure.mp4";

    const Outcome untrusted = Run({"get", "-P", "out", address});
    EXPECT_EQ(1, untrusted.Status) << untrusted.Out;
    EXPECT_NE(std::string::npos, untrusted.Err.find("certificate")) << untrusted.Err << untrusted.Out;

    const Outcome capped =
        Run({"get", "--cacert", pki.Pem("ca"), "--limit-rate", "400K", "-x", "4", "-P", "out", address});
    EXPECT_EQ(0, capped.Status) << capped.Err << capped.Out;
    EXPECT_TRUE(body == ReadFile(Out("secure.mp4")));

    const struct {
        std::vector<std::string> Args;
        const char* Message;
    } bad[] = {
        {{"get", "--cacert", "no-such.pem", address}, "cannot read no-such.pem: No such file or directory"},
        {{"get", "--cacert", root.File("secure.mp4"), address}, "holds no certificate"},
        {{"get", "--limit-rate", "fast", address}, "--limit-rate takes bytes a second such as 500K or 2M, not 'fast'"},
    };
    for (const auto& c : bad) {
        const Outcome o = Run(c.Args);
        EXPECT_EQ(2, o.Status) << c.Message;
        EXPECT_NE(std::string::npos, o.Err.find(c.Message)) << o.Err;
    }
}

// --cookies lends the run a signed-in session exported from a browser: the page that answers
// 403 without it and the file behind it both get it; a file that cannot be read is a usage
// error, and lines that are no cookie are counted on standard error.
TEST_F(CommandLine, ACookiesFileLendsASession)
{
    const std::string body = VideoSites::FileBody("session", 40000);
    Server.On("www.members.test", "/watch", [](const cwtest::HttpTestRequest& rq, cwtest::HttpTestConnection& c) {
        if (rq.Header("Cookie") != "login=s3ss10n-v4lue")
            c.Reply(403, "Forbidden", {"Content-Type: text/html"}, "<html>sign in first</html>");
        else
            c.Reply(200, "OK", {"Content-Type: text/html"},
                    "<html><head><title>Members Only</title></head><body>"
                    "<video src=\"http://media.members.test/v.mp4\"></video></body></html>");
    });
    Server.On("media.members.test", "/v.mp4", [body](const cwtest::HttpTestRequest& rq, cwtest::HttpTestConnection& c) {
        if (rq.Header("Cookie") != "login=s3ss10n-v4lue")
            c.Reply(403, "Forbidden", {}, "no");
        else
            c.Reply(200, "OK", {"Content-Type: video/mp4"}, body);
    });
    WriteFile("cookies.txt", "# Netscape HTTP Cookie File\r\n"
                             "#HttpOnly_.members.test\tTRUE\t/\tFALSE\t0\tlogin\ts3ss10n-v4lue\r\n"
                             "other.test\tFALSE\t/\tFALSE\t0\tlogin\tnot-for-you\r\n"
                             "a broken line\r\n");
    const std::string address = "http://www.members.test/watch";
    const Outcome without = Run({"get", "-P", "out", address});
    EXPECT_EQ(1, without.Status) << without.Err;
    EXPECT_NE(std::string::npos, without.Err.find("403")) << without.Err;

    // With every log line on, the session's value still shows nowhere.
    ExtraEnvironment = {{"CLIPWARDEN_DEBUG", "1"}};
    const Outcome with = Run({"get", "-v", "--cookies", "cookies.txt", "-P", "out", address});
    ExtraEnvironment.clear();
    EXPECT_EQ(0, with.Status) << with.Err << with.Out;
    EXPECT_TRUE(body == ReadFile(Out("Members Only.mp4")));
    EXPECT_NE(std::string::npos,
              with.Err.find("cookies.txt: 1 line(s) are no cookie and were passed over (the first: line 4)"))
        << with.Err;
    EXPECT_EQ(std::string::npos, with.Err.find("not-for-you")) << with.Err;
    EXPECT_EQ(std::string::npos, (with.Err + with.Out).find("s3ss10n")) << with.Err;

    const struct {
        std::vector<std::string> Args;
        const char* Message;
    } bad[] = {
        {{"get", "--cookies", "no-such.txt", address}, "cannot read no-such.txt: No such file or directory"},
        {{"get", "--cookies", Dir.Path(), address}, "it is a folder"},
        {{"get", "--cookies=", address}, "the --cookies file name is empty"},
    };
    for (const auto& c : bad) {
        const Outcome o = Run(c.Args);
        EXPECT_EQ(2, o.Status) << c.Message;
        EXPECT_NE(std::string::npos, o.Err.find(c.Message)) << o.Err;
    }
}

// A file that is not there and a converter that is not installed are told in plain words, the
// converter's absence once.
TEST_F(CommandLine, ConvertFailuresInPlainWords)
{
    WriteFile("clip.mp4", "not really a video");
    ExtraEnvironment = {{"PATH", Dir.Path() + "/no-such-bin"}};
    const Outcome o = Run({"convert", "-t", "mp3", "-P", "out", "missing.mp4", "clip.mp4", "clip.mp4"});
    EXPECT_EQ(1, o.Status) << o.Err;
    EXPECT_NE(std::string::npos, o.Err.find("\nno such file: missing.mp4\n")) << o.Err;
    EXPECT_NE(std::string::npos,
              o.Err.find("\ncannot convert clip.mp4: ffmpeg was not found; install the ffmpeg package\n"))
        << o.Err;
    std::size_t notes = 0;
    for (const std::string& line : Lines(o.Err))
        notes += line == "ffmpeg was not found; install the ffmpeg package";
    EXPECT_EQ(1u, notes) << o.Err;
    EXPECT_EQ(std::string::npos, o.Err.find("Error while creating")) << o.Err;
}

// The program's log lines go nowhere unless -v asks for them.
TEST_F(CommandLine, LogLinesOnlyWithVerbose)
{
    Server.Serve(VideoSites::FileHost, "/log/a.mp4", VideoSites::FileBody("a", 3000), "video/mp4");
    Server.Serve(VideoSites::FileHost, "/log/b.mp4", VideoSites::FileBody("b", 3000), "video/mp4");
    std::filesystem::create_directories(Dir.Path() + "/out");
    // A .part whose journal is unreadable is started over, and the log says why.
    for (const char* name : {"a.mp4", "b.mp4"}) {
        WriteFile(std::string("out/") + name + ".part", "xxxx");
        WriteFile(std::string("out/") + name + ".part.meta", "garbage");
    }
    const std::string host = "http://" + std::string(VideoSites::FileHost);
    const Outcome quiet = Run({"get", "-P", "out", host + "/log/a.mp4"});
    EXPECT_EQ(0, quiet.Status) << quiet.Err;
    EXPECT_EQ("", quiet.Err);
    EXPECT_EQ(VideoSites::FileBody("a", 3000), ReadFile(Out("a.mp4")));
    const Outcome verbose = Run({"get", "-v", "-P", "out", host + "/log/b.mp4"});
    EXPECT_EQ(0, verbose.Status) << verbose.Err;
    EXPECT_NE(std::string::npos, verbose.Err.find("b.mp4: the journal cannot be read")) << verbose.Err;
}

} // namespace
