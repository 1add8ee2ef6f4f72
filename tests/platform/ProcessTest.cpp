// Child processes: standard handles through pipes, argument vectors, the program search order,
// waiting, killing, and that no child outlives its owner.

#include "platform/Process.h"
#include "platform/Application.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace cw;

namespace {

bool ProcessGone(pid_t pid)
{
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

// The three pipes of one child, closed on scope exit.
struct StdPipes {
    THandle InRead = -1, InWrite = -1, OutRead = -1, OutWrite = -1, ErrRead = -1, ErrWrite = -1;
    StdPipes()
    {
        EXPECT_EQ(CreatePipe(InRead, InWrite), 0);
        EXPECT_EQ(CreatePipe(OutRead, OutWrite), 0);
        EXPECT_EQ(CreatePipe(ErrRead, ErrWrite), 0);
    }
    ~StdPipes()
    {
        for (THandle* h : {&InRead, &InWrite, &OutRead, &OutWrite, &ErrRead, &ErrWrite})
            CloseHandle(*h);
    }
    // Everything waiting in a pipe now.
    static std::string Drain(THandle h)
    {
        std::int32_t n = 0;
        EXPECT_EQ(BytesAvailable(h, n), 0);
        std::string data(static_cast<size_t>(n), '\0');
        int got = 0;
        if (n > 0) {
            EXPECT_EQ(ReadHandle(h, data.data(), n, got), 0);
        }
        data.resize(static_cast<size_t>(got));
        return data;
    }
};

void WriteScript(const std::string& path, const std::string& body)
{
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    ::chmod(path.c_str(), 0755);
}

TEST(ProcessTest, ChildWritesThroughItsPipesAndReportsItsExitCode)
{
    StdPipes p;
    TProcess child;
    ASSERT_EQ(child.Start({"sh", "-c", "printf out; printf err >&2; exit 3"}, p.InRead, p.OutWrite, p.ErrWrite), 0);
    EXPECT_TRUE(child.Running());
    EXPECT_EQ(child.Wait(10000), WAIT_OBJECT_0);
    // The child's end stays open here, so the end of the child is seen on the process only;
    // its output is waiting in full.
    EXPECT_EQ(StdPipes::Drain(p.OutRead), "out");
    EXPECT_EQ(StdPipes::Drain(p.ErrRead), "err");
    EXPECT_EQ(StdPipes::Drain(p.OutRead), "");
    EXPECT_EQ(child.Close(), 3);
    EXPECT_FALSE(child.Running());
    EXPECT_EQ(child.Close(), -1);
}

TEST(ProcessTest, ArgumentsReachTheChildUnparsed)
{
    StdPipes p;
    TProcess child;
    const std::string tricky = "a \"b\" 'c' $HOME `x` ; \\d";
    ASSERT_EQ(child.Start({"printf", "%s|%s", tricky, ""}, p.InRead, p.OutWrite, p.ErrWrite), 0);
    ASSERT_EQ(child.Wait(10000), WAIT_OBJECT_0);
    EXPECT_EQ(StdPipes::Drain(p.OutRead), tricky + "|");
    EXPECT_EQ(child.Close(), 0);
}

TEST(ProcessTest, OwnFolderIsSearchedBeforePathAndMissingProgramsGiveNotFound)
{
    // The program's own folder comes from the application object (CoreAppEnvironment.cpp).
    ASSERT_NE(QCoreApplication::instance(), nullptr);
    const std::string name = "cw-search-probe-" + std::to_string(::getpid());
    const std::string own = Application::ExeDir() + name;
    QTemporaryDir other;
    const std::string elsewhere = other.path().toStdString() + "/" + name;
    WriteScript(elsewhere, "printf path");
    const std::string oldPath = std::getenv("PATH");
    ::setenv("PATH", (other.path().toStdString() + ":" + oldPath).c_str(), 1);
    struct Restore {
        std::string Own, Path;
        ~Restore()
        {
            ::unlink(Own.c_str());
            ::setenv("PATH", Path.c_str(), 1);
        }
    } restore{own, oldPath};

    EXPECT_EQ(FindProgram(name), elsewhere);
    WriteScript(own, "printf own");
    EXPECT_EQ(FindProgram(name), own);
    {
        StdPipes p;
        TProcess child;
        ASSERT_EQ(child.Start({name}, p.InRead, p.OutWrite, p.ErrWrite), 0);
        ASSERT_EQ(child.Wait(10000), WAIT_OBJECT_0);
        EXPECT_EQ(StdPipes::Drain(p.OutRead), "own");
    }
    ::unlink(own.c_str());
    ::setenv("PATH", oldPath.c_str(), 1);

    StdPipes p;
    TProcess child;
    EXPECT_EQ(child.Start({name}, p.InRead, p.OutWrite, p.ErrWrite), ENOENT);
    EXPECT_EQ(child.Start({"/no/such/program"}, p.InRead, p.OutWrite, p.ErrWrite), ENOENT);
    EXPECT_FALSE(child.Running());
}

TEST(ProcessTest, WaitTimesOutOrIsCancelledAndKillLeavesNothing)
{
    StdPipes p;
    TProcess child;
    ASSERT_EQ(child.Start({"sleep", "30"}, p.InRead, p.OutWrite, p.ErrWrite), 0);
    const pid_t pid = child.Pid();
    THandle waitHandle = child.DuplicateWaitHandle();
    ASSERT_NE(waitHandle, InvalidHandle);
    EXPECT_EQ(WaitForChild(waitHandle, 50), WAIT_TIMEOUT);

    THandle cancelRead = -1, cancelWrite = -1;
    ASSERT_EQ(CreatePipe(cancelRead, cancelWrite), 0);
    ASSERT_EQ(::write(cancelWrite, "x", 1), 1);
    EXPECT_EQ(WaitForChild(waitHandle, 5000, cancelRead), WAIT_CANCELLED);

    child.Kill();
    EXPECT_FALSE(child.Running());
    EXPECT_TRUE(ProcessGone(pid)); // killed and reaped: not even a zombie is left
    // The duplicate outlives the child and tells that it ended.
    EXPECT_EQ(WaitForChild(waitHandle, 5000), WAIT_OBJECT_0);
    CloseHandle(waitHandle);
    CloseHandle(cancelRead);
    CloseHandle(cancelWrite);
}

TEST(ProcessTest, DestroyingTheOwnerEndsTheChild)
{
    StdPipes p;
    pid_t pid;
    {
        TProcess child;
        ASSERT_EQ(child.Start({"sleep", "30"}, p.InRead, p.OutWrite, p.ErrWrite), 0);
        pid = child.Pid();
        EXPECT_FALSE(ProcessGone(pid));
    }
    EXPECT_TRUE(ProcessGone(pid));
}

TEST(ProcessTest, ChildSeesOnlyItsStandardHandles)
{
    // Pipes of the program are close-on-exec: the child must not hold, for example, another
    // child's pipe open.
    StdPipes p;
    THandle stray = -1, strayWrite = -1;
    ASSERT_EQ(CreatePipe(stray, strayWrite), 0);
    TProcess child;
    ASSERT_EQ(child.Start({"sh", "-c", "ls /proc/self/fd"}, p.InRead, p.OutWrite, p.ErrWrite), 0);
    ASSERT_EQ(child.Wait(10000), WAIT_OBJECT_0);
    std::string fds = StdPipes::Drain(p.OutRead);
    EXPECT_EQ(fds.find(std::to_string(strayWrite) + "\n"), std::string::npos) << fds;
    EXPECT_EQ(child.Close(), 0);
    CloseHandle(stray);
    CloseHandle(strayWrite);
}

} // namespace
