// The runner with the real converter on a generated clip.

#include "ConvertTestSupport.h"
#include "convert/FormatPresets.h"
#include "global/Global.h"
#include "platform/MessageBox.h"
#include "platform/Streams.h"
#include "support/MessageBoxRecorder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

using cw::TConvertProcess;
using cwtest::PumpFor;
using cwtest::PumpUntil;
using cwtest::RecordSink;

namespace {

bool ProcessGone(pid_t pid)
{
    // Reaped children are gone; a zombie would still answer.
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

class ConvertProcessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Dir.isValid());
        Runner = std::make_unique<TConvertProcess>();
        Runner->Window = Sink.Handle();
    }
    void TearDown() override { Runner.reset(); }

    std::string Path(const std::string& name) const { return Dir.filePath(QString::fromStdString(name)).toStdString(); }

    // Start a file the way the download window does.
    void StartFile(const std::string& in, const std::string& out, int preset = 0)
    {
        Runner->Active = true;
        Runner->InputFile = in;
        Runner->OutputFile = out;
        Runner->Arguments = cw::FormatArguments(preset);
        Runner->Start();
    }
    bool WaitFinished(int timeoutMs = 30000)
    {
        return PumpUntil([&] { return Sink.FinishedCount() > 0; }, timeoutMs);
    }
    // An input the converter blocks on: opening a named pipe waits for a writer that never comes.
    std::string BlockingInput()
    {
        std::string fifo = Path("never.flv");
        EXPECT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        return fifo;
    }

    QTemporaryDir Dir;
    RecordSink Sink;
    cwtest::MessageBoxRecorder Boxes;
    std::unique_ptr<TConvertProcess> Runner;
};

// The streams ffprobe finds in a file, as "codec_type:codec_name" lines.
std::string Streams(const std::string& path)
{
    const std::string cmd =
        "ffprobe -v error -show_entries stream=codec_type,codec_name -of csv=p=0 '" + path + "' 2>/dev/null </dev/null";
    std::string out;
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
        char buf[256];
        while (std::fgets(buf, sizeof buf, p))
            out += buf;
        ::pclose(p);
    }
    return out;
}

void WriteText(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every file in the folder, hidden ones included.
QStringList FilesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
}

TEST_F(ConvertProcessTest, EveryPresetConverts)
{
    const std::string clip = cwtest::MakeClip(Dir);
    const auto& captions = cw::FormatCaptions();
    for (int i = 0; i < cw::FormatPresetCount; ++i) {
        SCOPED_TRACE(captions[i]);
        Sink.Records.clear();
        std::string out = Path("preset" + std::to_string(i) + cw::FormatExtension(captions[i]));
        StartFile(clip, out, i);
        ASSERT_TRUE(WaitFinished());
        PumpFor(50); // nothing may follow the finished record
        ASSERT_EQ(Sink.FinishedCount(), 1);
        const cw::TProcessInfo& done = *Sink.Records.back();
        EXPECT_TRUE(done.Finished());
        EXPECT_EQ(done.Status, 0);
        EXPECT_FALSE(Runner->Running());
        EXPECT_EQ(done.ExitCode, 0) << done.ErrorText;
        EXPECT_FALSE(done.Failed());
        EXPECT_GT(QFileInfo(QString::fromStdString(out)).size(), 0);
        // The converter announced the clip's length and its final progress line reached it.
        EXPECT_EQ(Runner->Duration, 2);
        ASSERT_GE(Sink.ProgressCount(), 1);
        for (size_t r = 0; r + 1 < Sink.Records.size(); ++r) {
            EXPECT_GE(Sink.Records[r]->Percent, 1);
            EXPECT_LE(Sink.Records[r]->Percent, 100);
            EXPECT_EQ(Sink.Records[r]->Elapsed.size(), 5u);
        }
    }
    // The phone file has its H.263 picture and a sound track, whatever audio encoder it took.
    const std::string phone = Streams(Path("preset3.3gp"));
    EXPECT_NE(phone.find("h263,video"), std::string::npos) << phone;
    EXPECT_NE(phone.find(",audio"), std::string::npos) << phone;
    // Only finished files stand in the folder.
    EXPECT_EQ(FilesIn(Dir.path()).size(), 1u + cw::FormatPresetCount);
    EXPECT_EQ(Boxes.Count(), 0u);
}

TEST_F(ConvertProcessTest, ConverterWithAnAmrEncoderGetsThePhonePresetUnchanged)
{
    // A stand-in converter that lists an AMR-NB encoder and records how it is called.
    QTemporaryDir bin;
    const std::string log = bin.filePath("calls.log").toStdString();
    const std::string script = bin.filePath("ffmpeg").toStdString();
    {
        std::ofstream f(script);
        f << "#!/bin/sh\n"
             "printf '%s\\n' \"$*\" >> '"
          << log
          << "'\n"
             "if [ \"$2\" = -encoders ]; then\n"
             "  echo 'Encoders:'\n"
             "  echo ' V..... h263                 H.263 / H.263-1996'\n"
             "  echo ' A..... aac                  AAC (Advanced Audio Coding)'\n"
             "  echo ' A..... libopencore_amrnb    OpenCORE AMR-NB (Adaptive Multi-Rate Narrow-Band) (codec amr_nb)'\n"
             "fi\n";
    }
    ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
    const std::string oldPath = std::getenv("PATH");
    ::setenv("PATH", (bin.path().toStdString() + ":" + oldPath).c_str(), 1);
    const std::string in = Path("in.flv");
    WriteText(in, "stand-in input");
    for (const auto& [name, preset] : {std::pair{"a.mov", 0}, {"a.3gp", 3}, {"b.3gp", 3}}) {
        Sink.Records.clear();
        StartFile(in, Path(name), preset);
        ASSERT_TRUE(WaitFinished());
        EXPECT_FALSE(Sink.Last()->Failed()) << name;
    }
    ::setenv("PATH", oldPath.c_str(), 1);

    std::ifstream f(log);
    std::vector<std::string> calls;
    for (std::string line; std::getline(f, line);)
        calls.push_back(line);
    // The encoder list is asked for once, and only when a file needs it.
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].find("-encoders"), std::string::npos);
    EXPECT_EQ(calls[1], "-hide_banner -encoders");
    for (int i : {2, 3}) {
        EXPECT_NE(calls[i].find("-vcodec h263 -qscale 15 -s 176x144 -r 15 -b 30k -ar 8000 -ab 12.2k -ac 1 file:"),
                  std::string::npos)
            << calls[i];
        EXPECT_EQ(calls[i].find("-acodec"), std::string::npos) << calls[i];
    }
}

TEST_F(ConvertProcessTest, ConverterThatFailsReportsItsExitCode)
{
    StartFile(Path("missing.flv"), Path("out.mov"));
    ASSERT_TRUE(WaitFinished());
    EXPECT_EQ(Sink.ProgressCount(), 0);
    EXPECT_TRUE(Sink.Last()->Failed());
    EXPECT_EQ(Sink.Last()->ExitCode, 1);
    EXPECT_EQ(Sink.Last()->Status, 0);
    // In the converter's own words.
    EXPECT_EQ(Sink.Last()->ErrorText, "file:" + Path("missing.flv") + ": No such file or directory");
    EXPECT_TRUE(FilesIn(Dir.path()).isEmpty());
}

TEST_F(ConvertProcessTest, FailedOverwriteKeepsTheOldOutputAndTheInput)
{
    const std::string in = Path("broken.flv");
    const std::string out = Path("broken.mov");
    WriteText(in, "not a video");
    WriteText(out, "the old output");
    Boxes.QueueAnswer(cw::IDYES);
    StartFile(in, out);
    ASSERT_TRUE(WaitFinished());
    EXPECT_TRUE(Sink.Last()->Failed());
    EXPECT_NE(Sink.Last()->ErrorText.find("Invalid data found"), std::string::npos) << Sink.Last()->ErrorText;
    EXPECT_EQ(ReadText(out), "the old output");
    EXPECT_EQ(ReadText(in), "not a video");
    EXPECT_EQ(FilesIn(Dir.path()).size(), 2u);
}

TEST_F(ConvertProcessTest, NamesThatLookLikeAddressesAreOnlyFiles)
{
    // Relative names the converter would otherwise open as a listening socket, its own input
    // or a server: none of them exists as a file here, so each fails at once.
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    ::close(probe);
    const std::string port = std::to_string(ntohs(addr.sin_port));
    for (const std::string& name :
         {"tcp://127.0.0.1:" + port + "?listen=1", std::string("pipe:0"), "http://127.0.0.1:" + port + "/clip.flv"}) {
        SCOPED_TRACE(name);
        Sink.Records.clear();
        StartFile(name, Path("out.mov"));
        bool listened = false;
        ASSERT_TRUE(PumpUntil(
            [&] {
                int s = ::socket(AF_INET, SOCK_STREAM, 0);
                listened |= ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
                ::close(s);
                return Sink.FinishedCount() > 0;
            },
            10000));
        EXPECT_FALSE(listened);
        EXPECT_TRUE(Sink.Last()->Failed());
        EXPECT_NE(Sink.Last()->ErrorText.find("No such file or directory"), std::string::npos);
    }
}

TEST_F(ConvertProcessTest, ExistingOutputAnsweredNoFinishesAtOnce)
{
    const std::string out = Path("exists.mov");
    QFile(QString::fromStdString(out)).open(QIODevice::WriteOnly);
    Boxes.QueueAnswer(cw::IDNO);
    StartFile(Path("whatever.flv"), out);
    ASSERT_EQ(Boxes.Count(), 1u);
    EXPECT_EQ(Boxes.Boxes()[0].Text, out + " has existed,overite it?");
    EXPECT_EQ(Boxes.Boxes()[0].Caption, "Ostrelle Clipwarden");
    EXPECT_EQ(Boxes.Boxes()[0].Flags, cw::MB_YESNO | cw::MB_ICONINFORMATION);
    EXPECT_FALSE(Runner->Running());
    EXPECT_EQ(Runner->CommandLine(), "");
    // Posted, not handled inside Start: it arrives with the next turn of the loop.
    EXPECT_TRUE(Sink.Records.empty());
    cw::Application::ProcessMessages();
    ASSERT_EQ(Sink.Records.size(), 1u);
    EXPECT_TRUE(Sink.Last()->Finished());
    EXPECT_EQ(Sink.Last()->Status, 1) << "a kept file is not a conversion that succeeded";
    EXPECT_EQ(Sink.Last()->ExitCode, 0);
}

TEST_F(ConvertProcessTest, ExistingOutputAnsweredYesIsOverwritten)
{
    const std::string clip = cwtest::MakeClip(Dir);
    const std::string out = Path("exists.mp3");
    {
        QFile f(QString::fromStdString(out));
        f.open(QIODevice::WriteOnly);
        f.write("old");
    }
    Boxes.QueueAnswer(cw::IDYES);
    StartFile(clip, out, 7);
    EXPECT_EQ(Runner->CommandLine().rfind("ffmpeg -y -i \"", 0), 0u);
    ASSERT_TRUE(WaitFinished());
    EXPECT_EQ(Sink.Last()->ExitCode, 0);
    EXPECT_GT(QFileInfo(QString::fromStdString(out)).size(), 1000);
}

TEST_F(ConvertProcessTest, LockedOutputGivesStatusTwo)
{
    const std::string out = Path("locked.mov");
    QFile(QString::fromStdString(out)).open(QIODevice::WriteOnly);
    cw::TFileStream holder(out, cw::fmOpenReadWrite | cw::fmShareExclusive);
    Boxes.QueueAnswer(cw::IDYES);
    StartFile(Path("whatever.flv"), out);
    EXPECT_FALSE(Runner->Running());
    cw::Application::ProcessMessages();
    ASSERT_EQ(Sink.Records.size(), 1u);
    EXPECT_TRUE(Sink.Last()->Finished());
    EXPECT_EQ(Sink.Last()->Status, 2);
}

TEST_F(ConvertProcessTest, MissingConverterRaisesWithNotFoundCode)
{
    const std::string oldPath = std::getenv("PATH");
    QTemporaryDir empty;
    ::setenv("PATH", empty.path().toStdString().c_str(), 1);
    try {
        StartFile(Path("in.flv"), Path("out.mov"));
        ADD_FAILURE() << "Start did not raise";
    } catch (const cw::Exception& e) {
        EXPECT_STREQ(e.what(), "Error while creating convert process!2 (ffmpeg was not found: install it or place it "
                               "beside the program)");
    }
    ::setenv("PATH", oldPath.c_str(), 1);
    EXPECT_FALSE(Runner->Running());
    EXPECT_EQ(Runner->StdOutRead, cw::InvalidHandle);
    EXPECT_EQ(Runner->StdInWrite, cw::InvalidHandle);
    PumpFor(150);
    EXPECT_TRUE(Sink.Records.empty());
}

TEST_F(ConvertProcessTest, FileNameWithQuotesStaysOneArgument)
{
    const std::string clip = cwtest::MakeClip(Dir, "say \"hi\" -f null.flv");
    const std::string out = Path("say \"hi\" -f null.mp3");
    StartFile(clip, out, 7);
    ASSERT_TRUE(WaitFinished());
    EXPECT_EQ(Sink.Last()->ExitCode, 0);
    EXPECT_GT(QFileInfo(QString::fromStdString(out)).size(), 1000);
}

TEST_F(ConvertProcessTest, StopKillsTheChildAndPostsNothing)
{
    StartFile(BlockingInput(), Path("out.mov"));
    ASSERT_TRUE(Runner->Running());
    const pid_t pid = Runner->ProcessInfo.Pid();
    PumpFor(300); // the reader is idle-waiting on the child now
    Runner->Stop(0);
    EXPECT_FALSE(Runner->Active);
    EXPECT_TRUE(ProcessGone(pid));
    EXPECT_EQ(Runner->StdErrRead, cw::InvalidHandle);
    PumpFor(300);
    EXPECT_TRUE(Sink.Records.empty());
    // The stopped conversion leaves no file of its own; the input stays.
    EXPECT_EQ(FilesIn(Dir.path()), QStringList{"never.flv"});
    // A second Stop, and a Stop on an idle runner, only clear the flag.
    Runner->Stop(0);
    Runner->Active = true;
    Runner->Stop(0);
    EXPECT_FALSE(Runner->Active);
}

TEST_F(ConvertProcessTest, StopWhileTheQuestionIsOpenStartsNothing)
{
    const std::string out = Path("exists.mov");
    QFile(QString::fromStdString(out)).open(QIODevice::WriteOnly);
    auto previous = cw::SetMessageBoxHandler([this](const std::string&, const std::string&, unsigned) {
        Runner->Stop(0); // the user pressed Stop while the box was up
        return cw::IDYES;
    });
    StartFile(cwtest::MakeClip(Dir), out);
    cw::SetMessageBoxHandler(previous);
    EXPECT_FALSE(Runner->Running());
    PumpFor(100);
    EXPECT_TRUE(Sink.Records.empty());
}

TEST_F(ConvertProcessTest, DestroyedRunnerLeavesNoChildAndPostsNothing)
{
    // Also when the caller never set Active: the child must not outlive the runner.
    for (bool active : {true, false}) {
        SCOPED_TRACE(active);
        Runner->Active = active;
        Runner->InputFile = BlockingInput();
        Runner->OutputFile = Path("out.mov");
        Runner->Arguments = cw::FormatArguments(0);
        Runner->Start();
        const pid_t pid = Runner->ProcessInfo.Pid();
        ASSERT_GT(pid, 0);
        PumpFor(150);
        Runner.reset();
        EXPECT_TRUE(ProcessGone(pid));
        PumpFor(200);
        EXPECT_TRUE(Sink.Records.empty());
        ::unlink(Path("never.flv").c_str());
        Runner = std::make_unique<TConvertProcess>();
        Runner->Window = Sink.Handle();
    }
}

TEST_F(ConvertProcessTest, DestroyedRunnerDuringAConversionWithOutput)
{
    // Destroy while the converter writes: the reader may be inside a call onto this thread.
    const std::string clip = cwtest::MakeClip(Dir);
    for (int delayMs : {0, 5, 20, 40}) {
        StartFile(clip, Path("d" + std::to_string(delayMs) + ".wav"), 8);
        const pid_t pid = Runner->ProcessInfo.Pid();
        PumpFor(delayMs);
        Runner.reset();
        EXPECT_TRUE(ProcessGone(pid));
        Runner = std::make_unique<TConvertProcess>();
        Runner->Window = Sink.Handle();
    }
    Sink.Records.clear();
    PumpFor(150);
    EXPECT_TRUE(Sink.Records.empty());
}

TEST_F(ConvertProcessTest, FailedReadRaisesWithItsCode)
{
    // Nothing to read from: the pipes are closed (as after a stop).
    Runner->BytesAvailable = 16;
    try {
        Runner->ReadStdErr();
        ADD_FAILURE() << "no error";
    } catch (const cw::Exception& e) {
        EXPECT_EQ(e.Message(), "Error reading STDERR pipe : " + std::to_string(EBADF));
    }
    EXPECT_THROW(Runner->ReadStdOut(), cw::Exception);
    EXPECT_EQ(Runner->Reader, nullptr);
}

TEST_F(ConvertProcessTest, RecordsForAWindowThatIsGoneAreFreed)
{
    const int before = cw::TProcessInfo::LiveCount();
    {
        cw::MessageWindow doomed; // queues the records, never handles them
        Runner->Window = doomed.Handle();
        Runner->PostFinished(0);
        Runner->ParseOutput("Duration: 00:00:10.00\ntime=5.00 x\r");
        EXPECT_EQ(cw::TProcessInfo::LiveCount(), before + 2);
    }
    // Posting to a window that no longer exists frees that record, and the earlier ones too.
    Runner->PostFinished(0);
    EXPECT_EQ(cw::TProcessInfo::LiveCount(), before);
    Runner->Window = 0;
    Runner->PostFinished(0);
    EXPECT_EQ(cw::TProcessInfo::LiveCount(), before);
}

} // namespace
