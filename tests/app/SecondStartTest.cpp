// Two real copies of the program: the second start hands over to the first and ends without a
// window, the first keeps running and, when asked to end, closes the ordinary way (settings.ini
// written next to its executable). Each run uses its own copy of the executable and its own
// runtime folder, so it never meets a copy the user is running.
#include "app/Main.h"
#include "platform/gui/SingleInstance.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class SecondStart : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(FDir.isValid());
        ASSERT_TRUE(QDir(FDir.path()).mkdir("bin"));
        ASSERT_TRUE(QDir(FDir.path()).mkdir("run"));
        ::chmod(RunDir().toLocal8Bit().constData(), 0700);
        Exe = FDir.filePath("bin/clipwarden");
        ASSERT_TRUE(QFile::copy(CW_CLIPWARDEN_EXE, Exe));
        FEnv = QProcessEnvironment::systemEnvironment();
        FEnv.insert("QT_QPA_PLATFORM", "offscreen");
        FEnv.insert("XDG_RUNTIME_DIR", RunDir());
        Socket = cw::SingleInstance(cw::TfrmMain::WindowClassName, RunDir().toStdString()).SocketPath();
    }
    void TearDown() override
    {
        for (QProcess* p : {&First, &Second})
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(5000);
            }
    }

    QString RunDir() const { return FDir.filePath("run"); }

    void Start(QProcess& p)
    {
        p.setProcessEnvironment(FEnv);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(Exe, {});
        ASSERT_TRUE(p.waitForStarted(10000));
    }

    // The first copy is ready for later starts once its socket is there and its window up;
    // give it the time a loaded machine needs.
    bool WaitForSocket()
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 20000) {
            if (::access(Socket.c_str(), F_OK) == 0)
                return true;
            QThread::msleep(50);
        }
        return false;
    }

    QString Exe;
    std::string Socket;
    QProcess First;
    QProcess Second;

private:
    QTemporaryDir FDir;
    QProcessEnvironment FEnv;
};

TEST_F(SecondStart, HandsOverToTheRunningCopyAndEndsWithoutAWindow)
{
    Start(First);
    ASSERT_TRUE(WaitForSocket()) << First.readAll().toStdString();

    Start(Second);
    ASSERT_TRUE(Second.waitForFinished(20000));
    EXPECT_EQ(Second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(Second.exitCode(), 0) << "the running copy did not confirm: " << Second.readAll().toStdString();
    EXPECT_EQ(First.state(), QProcess::Running);

    // Asked to end, the first closes its window the ordinary way.
    First.terminate();
    ASSERT_TRUE(First.waitForFinished(20000));
    EXPECT_EQ(First.exitCode(), 0);
    QFile ini(QFileInfo(Exe).dir().filePath("settings.ini"));
    ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
    QByteArray text = ini.readAll();
    for (const char* key :
         {"OutputDirectory=", "RadioButton=0", "ConvertFormat=0", "Enable=0", "AskAddUrl=0", "Quality=0"})
        EXPECT_TRUE(text.contains(key)) << key << " in " << text.toStdString();
    EXPECT_NE(::access(Socket.c_str(), F_OK), 0); // cleaned up on the way out
}

TEST_F(SecondStart, ACrashedCopyDoesNotBlockTheNextStart)
{
    Start(First);
    ASSERT_TRUE(WaitForSocket());
    First.kill(); // no clean-up at all: the socket file stays behind
    ASSERT_TRUE(First.waitForFinished(10000));
    ASSERT_EQ(::access(Socket.c_str(), F_OK), 0);

    Start(Second); // becomes the running copy
    QThread::msleep(300);
    QProcess third;
    third.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("XDG_RUNTIME_DIR", RunDir());
        third.setProcessEnvironment(env);
    }
    third.start(Exe, {});
    ASSERT_TRUE(third.waitForFinished(20000));
    EXPECT_EQ(third.exitCode(), 0);
    EXPECT_EQ(Second.state(), QProcess::Running);
    Second.terminate();
    EXPECT_TRUE(Second.waitForFinished(20000));
}

} // namespace
