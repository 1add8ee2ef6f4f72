#include "platform/gui/SingleInstance.h"
#include "platform/Application.h"
#include "platform/MessageWindow.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <atomic>
#include <fcntl.h>
#include <filesystem>
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

// A folder of the user's own that anyone may write to: a stranger could plant a socket or a
// lock file there. Both starts move to the same private folder instead, and still meet.
TEST(SingleInstance, AFolderOpenToOthersIsNotUsedButStartsStillMeet)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string open = dir.path().toStdString();
    ASSERT_EQ(::chmod(open.c_str(), 0777), 0);

    Recorder r;
    SingleInstance first(kClass, open);
    ASSERT_TRUE(first.Acquire());
    first.Serve(r.Window.Handle());
    const std::string folder = first.SocketPath().substr(0, first.SocketPath().rfind('/'));
    EXPECT_NE(folder, open);
    struct stat st {};
    ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, ::getuid());
    EXPECT_EQ(st.st_mode & 077, 0u) << folder;
    EXPECT_EQ(::access((open + "/" + first.SocketPath().substr(folder.size() + 1)).c_str(), F_OK), -1);

    bool refused = false;
    bool confirmed = false;
    WhileLoopRuns([&] {
        SingleInstance later(kClass, open);
        refused = !later.Acquire();
        confirmed = refused && later.ActivateRunning(5000);
    });
    EXPECT_TRUE(refused);
    EXPECT_TRUE(confirmed);
    EXPECT_EQ(r.Messages, std::vector<unsigned>{WM_SHOW_INSTANCE});
    std::filesystem::remove_all(folder);
}

// Connections that are opened and then say nothing, more of them than the running copy serves
// at once: a later copy must still hand over, and an idle connection is let go.
TEST(SingleInstance, IdleConnectionsCannotKeepALaterCopyOut)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string d = dir.path().toStdString();
    Recorder r;
    SingleInstance first(kClass, d);
    ASSERT_TRUE(first.Acquire());
    first.Serve(r.Window.Handle());

    std::vector<int> idle;
    WhileLoopRuns([&] {
        for (int i = 0; i < 24; ++i) {
            int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", first.SocketPath().c_str());
            if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
                idle.push_back(s);
            else
                ::close(s);
        }
    });
    EXPECT_EQ(idle.size(), 24u);

    bool confirmed = false;
    bool dropped = false;
    WhileLoopRuns([&] {
        confirmed = SingleInstance(kClass, d).ActivateRunning(3000);
        // The last idle connection is served, not answered: the running copy closes it.
        timeval tv{4, 0};
        ::setsockopt(idle.back(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char c;
        dropped = ::recv(idle.back(), &c, 1, 0) == 0;
    });
    EXPECT_TRUE(confirmed);
    EXPECT_TRUE(dropped);
    EXPECT_EQ(r.Messages, std::vector<unsigned>{WM_SHOW_INSTANCE});
    for (int s : idle)
        ::close(s);
}

} // namespace
