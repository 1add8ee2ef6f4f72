// The log sink: a failure the program gets over leaves one line with what failed and why, on
// standard error unless a handler is installed.

#include "platform/Log.h"
#include "platform/Application.h"
#include "platform/Thread.h"
#include "platform/Types.h"
#include "support/LogRecorder.h"

#include <chrono>
#include <gtest/gtest.h>
#include <regex>
#include <stdexcept>

using namespace cw;
using cwtest::LogRecorder;

namespace {

class ThrowingThread : public Thread {
protected:
    void Execute() override { throw Exception("pipe vanished"); }
};

} // namespace

TEST(Log, CaughtFailuresCarryTheirMessageOrSayTheyHaveNone)
{
    LogRecorder log;
    try {
        throw std::runtime_error("disk full");
    } catch (...) {
        LogCaught("settings", "not saved");
    }
    try {
        throw 42;
    } catch (...) {
        LogCaught("settings", "not saved");
    }
    EXPECT_EQ(CaughtText(), "no exception"); // outside a catch block: no crash
    ASSERT_EQ(log.Lines().size(), 2u) << log.Text();
    EXPECT_EQ(log.Lines()[0].Component, "settings");
    EXPECT_EQ(log.Lines()[0].Message, "not saved: disk full");
    EXPECT_EQ(log.Lines()[1].Message, "not saved: unknown exception");
}

TEST(Log, WithoutHandlerOneTimestampedLineGoesToStandardError)
{
    LogHandler previous = SetLogHandler(nullptr);
    testing::internal::CaptureStderr();
    LogLine("socket", "connection aborted: reset");
    const std::string out = testing::internal::GetCapturedStderr();
    SetLogHandler(std::move(previous));
    EXPECT_TRUE(std::regex_match(
        out, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} socket: connection aborted: reset\n)")))
        << out;
}

TEST(Log, ThrowingHandlerDoesNotEscape)
{
    LogHandler previous = SetLogHandler([](const std::string&, const std::string&) { throw std::bad_alloc(); });
    EXPECT_NO_THROW(LogLine("x", "y"));
    SetLogHandler(std::move(previous));
}

TEST(Log, AThreadBodyThatThrowsIsReportedWhenItEnds)
{
    LogRecorder log;
    ThrowingThread t;
    t.Start();
    ASSERT_TRUE(t.WaitFor(5000));
    EXPECT_EQ(log.Count("thread", {"pipe vanished"}), 1) << log.Text();
}
