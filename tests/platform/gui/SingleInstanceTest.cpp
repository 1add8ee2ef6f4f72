#include "platform/gui/SingleInstance.h"
#include "platform/Application.h"
#include "platform/MessageWindow.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <atomic>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace cw;

namespace {

const std::string kClass = "Ostrelle Clipwarden Made by Ostrelle Software";

struct Recorder {
    std::vector<unsigned> Messages;
    MessageWindow Window{[this](TMessage& m) { Messages.push_back(m.Msg); }};
};

// Run fn on a worker thread while this thread keeps handling messages, as the running copy's
// event loop would.
template <class F> void WhileLoopRuns(F fn)
{
    std::atomic<bool> done{false};
    std::thread worker([&] {
        fn();
        done = true;
    });
    QElapsedTimer t;
    t.start();
    while (!done && t.elapsed() < 10000)
        Application::WaitMessage(10);
    worker.join();
    Application::ProcessMessages();
}

// Connect to path and send raw bytes, as a program that is not ours might.
void SendRaw(const std::string& path, const std::string& bytes)
{
    int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    ::close(s);
}

TEST(SingleInstance, SecondCopyIsRefusedUntilTheFirstHasEnded)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    std::string d = dir.path().toStdString();
    {
        SingleInstance first(kClass, d);
        ASSERT_TRUE(first.Acquire());
        SingleInstance second(kClass, d);
        EXPECT_FALSE(second.Acquire());
        EXPECT_EQ(first.SocketPath(), second.SocketPath());
        EXPECT_EQ(first.SocketPath().find(' '), std::string::npos);
        SingleInstance other("Another program's window class", d);
        EXPECT_TRUE(other.Acquire());
    }
    SingleInstance third(kClass, d);
    EXPECT_TRUE(third.Acquire());
}

TEST(SingleInstance, LaterCopyMakesTheRunningOnePostShowInstance)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    Recorder r;
    SingleInstance first(kClass, dir.path().toStdString());
    ASSERT_TRUE(first.Acquire());
    first.Serve(r.Window.Handle());

    bool confirmed = false;
    WhileLoopRuns([&] {
        SingleInstance later(kClass, dir.path().toStdString());
        if (!later.Acquire())
            confirmed = later.ActivateRunning(5000);
    });
    EXPECT_TRUE(confirmed);
    EXPECT_EQ(r.Messages, std::vector<unsigned>{WM_SHOW_INSTANCE});
}

TEST(SingleInstance, UnansweredRequestsGiveUpWithinTheTimeLimit)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    std::string d = dir.path().toStdString();

    // Nobody at all.
    QElapsedTimer t;
    t.start();
    EXPECT_FALSE(SingleInstance(kClass, d).ActivateRunning(300));
    EXPECT_LT(t.elapsed(), 3000);

    // A running copy that is not serving yet (still starting): the request waits, then gives up.
    SingleInstance first(kClass, d);
    ASSERT_TRUE(first.Acquire());
    t.restart();
    EXPECT_FALSE(SingleInstance(kClass, d).ActivateRunning(300));
    EXPECT_GE(t.elapsed(), 250);
    EXPECT_LT(t.elapsed(), 3000);
}

TEST(SingleInstance, StrangersOnTheSocketPostNothing)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    Recorder r;
    SingleInstance first(kClass, dir.path().toStdString());
    ASSERT_TRUE(first.Acquire());
    first.Serve(r.Window.Handle());

    SendRaw(first.SocketPath(), "");
    SendRaw(first.SocketPath(), std::string(200, 'x'));
    SendRaw(first.SocketPath(), "sho");
    for (int i = 0; i < 20; ++i)
        Application::WaitMessage(10);
    EXPECT_TRUE(r.Messages.empty());

    // ... and the real request still works afterwards.
    bool confirmed = false;
    WhileLoopRuns([&] { confirmed = SingleInstance(kClass, dir.path().toStdString()).ActivateRunning(5000); });
    EXPECT_TRUE(confirmed);
    EXPECT_EQ(r.Messages.size(), 1u);
}

TEST(SingleInstance, DeepRuntimeFoldersStillGiveAUsableSocket)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // One deep enough to need the short name, one too deep even for that.
    for (std::size_t depth : {40u, 90u}) {
        std::string deep = dir.path().toStdString() + "/" + std::string(depth, 'd');
        ASSERT_EQ(::mkdir(deep.c_str(), 0700), 0);
        SingleInstance first(kClass, deep);
        EXPECT_LT(first.SocketPath().size(), sizeof(sockaddr_un::sun_path));
        ASSERT_TRUE(first.Acquire());
        EXPECT_EQ(::access(first.SocketPath().c_str(), F_OK), 0) << first.SocketPath();
        EXPECT_FALSE(SingleInstance(kClass, deep).Acquire());
    }
}

} // namespace
