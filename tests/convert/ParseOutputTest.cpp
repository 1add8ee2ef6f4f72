// Scanning the converter's text, and the command line the runner builds.

#include "ConvertTestSupport.h"

using cw::TConvertProcess;
using cwtest::RecordSink;

namespace {

constexpr double kSecond = 1.0 / 86400.0;

class ParseOutputTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Runner.Window = Sink.Handle();
        Runner.Clock = [this] { return Now; };
    }
    // Posted records arrive through the event loop.
    void Deliver() { cw::Application::ProcessMessages(); }

    double Now = 45000.0; // any date; the scan only takes differences
    RecordSink Sink;
    TConvertProcess Runner;
};

TEST_F(ParseOutputTest, DurationThenSecondsFormTimeGivesPercent)
{
    Runner.ParseOutput("Input #0, flv, from 'a.flv':\r\n  Duration: 00:03:25.45, start: 0.000000, bitrate: 9 kb/s\r\n");
    EXPECT_EQ(Runner.Duration, 205);
    Runner.ParseOutput("frame=  100 fps= 50 q=15.0 size=     512kB time=41.00 bitrate= 102.3kbits/s\r");
    Deliver();
    ASSERT_EQ(Sink.Records.size(), 1u);
    EXPECT_EQ(Sink.Records[0]->Percent, 20);
    EXPECT_EQ(Sink.Records[0]->Status, 0);
    EXPECT_FALSE(Sink.Records[0]->Finished());
}

TEST_F(ParseOutputTest, MarkersMatchInAnyLetterCase)
{
    Runner.ParseOutput("DURATION: 00:01:40.00\nsize= 1kB TIME=50.00 bitrate=1\n");
    Deliver();
    ASSERT_EQ(Sink.Records.size(), 1u);
    EXPECT_EQ(Sink.Records[0]->Percent, 50);
}

TEST_F(ParseOutputTest, EveryLineEndingSplitsLines)
{
    // CR alone (the converter's progress line), LF alone and CR LF each end a line.
    Runner.ParseOutput("Duration: 00:01:40.00, start: 0\n");
    Runner.ParseOutput("time=10.00 x\rtime=20.00 x\rtime=30.00 x\ntime=40.00 x\r\ntime=50.00 x");
    Deliver();
    ASSERT_EQ(Sink.Records.size(), 5u);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(Sink.Records[i]->Percent, 10 * (i + 1));
}

TEST_F(ParseOutputTest, ClockFormTimeCounts)
{
    Runner.ParseOutput("  Duration: 00:02:04.00, start: 0.000000\n");
    Runner.ParseOutput("frame=  10 size=  1kB time=00:01:02.34 bitrate=  5.0kbits/s speed=1x\r");
    Deliver();
    ASSERT_EQ(Sink.Records.size(), 1u);
    EXPECT_EQ(Sink.Records[0]->Percent, 50); // 62 of 124 seconds
}

TEST_F(ParseOutputTest, TimesThatPostNothing)
{
    // Before any duration line.
    Runner.ParseOutput("time=41.00 bitrate=1\r");
    // Time of zero, past the duration, and forms that are no time at all.
    Runner.ParseOutput("Duration: 00:00:10.00\n");
    Runner.ParseOutput("time=0.00 x\rtime=00:00:00.00 x\rtime=11.00 x\rtime=N/A bitrate=N/A\r"
                       "time=-00:00:00.04 x\rtime=4 bitrate=9.1kbits/s\r");
    // A duration the converter could not tell.
    Runner.ParseOutput("Duration: N/A, start: 0.000000, bitrate: N/A\ntime=5.00 x\r");
    Deliver();
    EXPECT_TRUE(Sink.Records.empty());
}

TEST_F(ParseOutputTest, LineSplitAcrossChunksIsScannedAsTwoLines)
{
    Runner.ParseOutput("Duration: 00:00:10.00\n");
    Runner.ParseOutput("size= 1kB ti");
    Runner.ParseOutput("me=5.00 bitrate=1\r");
    Deliver();
    EXPECT_TRUE(Sink.Records.empty());
}

TEST_F(ParseOutputTest, ElapsedAndEstimatedTimes)
{
    Runner.ParseOutput("Duration: 00:01:40.00\n"); // 100 s, so the time value is the percent
    struct Case {
        double Seconds;
        const char* Time;
        const char* Elapsed;
        const char* Estimated;
    } cases[] = {
        {75, "time=50.00", "01:15", "02:30"},
        {605, "time=100.00", "10:05", "10:05"},
        {6005, "time=100.00", "100:05", "100:05"},
        {0.2, "time=1.00", "00:00", "00:00"},
        {9.4, "time=100.00", "00:09", "00:09"},
        // Estimated = elapsed * 100 / percent, halves to the even neighbour:
        {1, "time=40.00", "00:01", "00:02"}, // 2.5 -> 2
        {3, "time=40.00", "00:03", "00:08"}, // 7.5 -> 8
        {1, "time=80.00", "00:01", "00:01"}, // 1.25 -> 1
    };
    for (const Case& c : cases) {
        Now = Runner.StartTime + c.Seconds * kSecond;
        Runner.ParseOutput(std::string(c.Time) + " bitrate=1\r");
        Deliver();
        ASSERT_FALSE(Sink.Records.empty()) << c.Time;
        EXPECT_EQ(Sink.Records.back()->Elapsed, c.Elapsed) << c.Seconds << "s " << c.Time;
        EXPECT_EQ(Sink.Records.back()->Estimated, c.Estimated) << c.Seconds << "s " << c.Time;
    }
}

TEST_F(ParseOutputTest, DurationRestartsTheClockAndStartResetsDuration)
{
    Runner.ParseOutput("Duration: 01:00:00.00\n");
    EXPECT_EQ(Runner.Duration, 3600);
    EXPECT_EQ(Runner.StartTime, Now);
    // A later input line replaces both.
    Now += 30 * kSecond;
    Runner.ParseOutput("Duration: 00:00:20.99, start: 0\n");
    EXPECT_EQ(Runner.Duration, 20);
    EXPECT_EQ(Runner.StartTime, Now);
}

TEST(CommandLineTest, BuiltAsWrittenWithOverwriteOnlyWhenAsked)
{
    const std::string args = "-s 320x240 -qscale 15 -r 20 -b 500kbit/s -ar 22050 -ab 64kbit/s -ac 1 ";
    EXPECT_EQ(TConvertProcess::BuildCommandLine("/in/a b.flv", "/out/a b.mov", args, false),
              "ffmpeg -i \"/in/a b.flv\" -s 320x240 -qscale 15 -r 20 -b 500kbit/s -ar 22050 -ab 64kbit/s -ac 1 "
              "\"/out/a b.mov\"");
    EXPECT_EQ(TConvertProcess::BuildCommandLine("in", "out", "", true), "ffmpeg -y -i \"in\" \"out\"");
}

TEST(CommandLineTest, ChildGetsPathsWholeAndRatesInUnitsItKnows)
{
    const std::string in = "/in/x\" -f null \"y.flv";
    auto v = TConvertProcess::BuildArgumentVector(
        in, "/out/o.3gp", "-vcodec h263 -b 30kbit/s -ab 12.2kbit/s -x kbit/s -y 5kbit/sx ", true);
    std::vector<std::string> expected = {"ffmpeg",
                                         "-y",
                                         "-protocol_whitelist",
                                         "file",
                                         "-i",
                                         "file:" + in,
                                         "-vcodec",
                                         "h263",
                                         "-b",
                                         "30k",
                                         "-ab",
                                         "12.2k",
                                         "-x",
                                         "kbit/s",
                                         "-y",
                                         "5kbit/sx",
                                         "file:/out/o.3gp"};
    EXPECT_EQ(v, expected);
    // A relative name is a file in the current folder, never an address.
    v = TConvertProcess::BuildArgumentVector("tcp://h:1?listen=1", "pipe:1", "", false);
    const std::string here = QDir::currentPath().toStdString();
    expected = {"ffmpeg",
                "-protocol_whitelist",
                "file",
                "-i",
                "file:" + here + "/tcp://h:1?listen=1",
                "file:" + here + "/pipe:1"};
    EXPECT_EQ(v, expected);
}

} // namespace
