// The runner with the real converter on a generated clip.

#include "ConvertTestSupport.h"
#include "convert/FormatPresets.h"
#include "global/Global.h"
#include "platform/MessageBox.h"
#include "platform/Streams.h"
#include "support/MessageBoxRecorder.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <sys/stat.h>
#include <sys/types.h>

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

bool HaveEncoder(const std::string& name)
{
    std::string cmd = "ffmpeg -hide_banner -encoders 2>/dev/null | grep -qw " + name;
    return std::system(cmd.c_str()) == 0;
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

TEST_F(ConvertProcessTest, EveryPresetConvertsOrReportsItsFailure)
{
    const std::string clip = cwtest::MakeClip(Dir);
    const bool amr = HaveEncoder("libopencore_amrnb") || HaveEncoder("amrnb");
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
        const bool expectSuccess = i != 3 || amr; // the 3GP container's audio needs an AMR encoder
        if (expectSuccess) {
            EXPECT_EQ(done.ExitCode, 0);
            EXPECT_GT(QFileInfo(QString::fromStdString(out)).size(), 0);
            // The converter announced the clip's length and its final progress line reached it.
            EXPECT_EQ(Runner->Duration, 2);
            ASSERT_GE(Sink.ProgressCount(), 1);
            for (size_t r = 0; r + 1 < Sink.Records.size(); ++r) {
                EXPECT_GE(Sink.Records[r]->Percent, 1);
                EXPECT_LE(Sink.Records[r]->Percent, 100);
                EXPECT_EQ(Sink.Records[r]->Elapsed.size(), 5u);
            }
        } else {
            EXPECT_TRUE(done.Failed());
            EXPECT_NE(done.ExitCode, 0);
        }
    }
    EXPECT_EQ(Boxes.Count(), 0u);
}

TEST_F(ConvertProcessTest, ConverterThatFailsReportsItsExitCode)
{
    StartFile(Path("missing.flv"), Path("out.mov"));
    ASSERT_TRUE(WaitFinished());
    EXPECT_EQ(Sink.ProgressCount(), 0);
    EXPECT_TRUE(Sink.Last()->Failed());
    EXPECT_EQ(Sink.Last()->ExitCode, 1);
    EXPECT_EQ(Sink.Last()->Status, 0);
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
    EXPECT_EQ(Sink.Last()->Status, 0);
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
        EXPECT_STREQ(e.what(), "Error while creating convert process!2");
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
