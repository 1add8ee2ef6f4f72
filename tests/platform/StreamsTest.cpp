#include "platform/Streams.h"

#include "support/Files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace cw;

namespace {

using cwtest::ReadFile;

// ---- TMemoryStream

TEST(MemoryStream, WriteSeekReadAndSize)
{
    TMemoryStream m;
    EXPECT_EQ(m.Write("hello world", 11), 11);
    EXPECT_EQ(m.Size(), 11);
    EXPECT_EQ(m.Position(), 11);
    char buf[16] = {};
    EXPECT_EQ(m.Read(buf, 4), 0); // at the end
    EXPECT_EQ(m.Seek(-5, soEnd), 6);
    EXPECT_EQ(m.Read(buf, 100), 5);
    EXPECT_EQ(std::string(buf, 5), "world");
    m.SetPosition(0);
    m.Write("J", 1);
    EXPECT_EQ(m.DataString(), "Jello world");
    EXPECT_EQ(m.Seek(-100, soCurrent), 0); // clamped at the start
}

TEST(MemoryStream, WritingPastTheEndFillsTheGapWithZeros)
{
    TMemoryStream m;
    m.Seek(3, soBeginning);
    m.Write("x", 1);
    EXPECT_EQ(m.DataString(), std::string("\0\0\0x", 4));
}

TEST(MemoryStream, SetSizeCutsBackAndClampsThePosition)
{
    TMemoryStream m;
    m.Write("0123456789", 10);
    m.SetSize(4);
    EXPECT_EQ(m.DataString(), "0123");
    EXPECT_EQ(m.Position(), 4);
    m.SetSize(6);
    EXPECT_EQ(m.DataString(), std::string("0123\0\0", 6));
    m.Clear();
    EXPECT_EQ(m.Size(), 0);
    EXPECT_EQ(m.Position(), 0);
}

TEST(MemoryStream, BufferCallsRaiseOnShortTransfers)
{
    TMemoryStream m;
    m.Write("abc", 3);
    m.SetPosition(1);
    char buf[8];
    EXPECT_THROW(m.ReadBuffer(buf, 5), EReadError);
    m.SetPosition(0);
    EXPECT_NO_THROW(m.ReadBuffer(buf, 3));
    EXPECT_NO_THROW(m.ReadBuffer(buf, 0));
}

TEST(MemoryStream, CopyFromTakesTheWholeSourceOrACount)
{
    TMemoryStream source, target;
    std::string big(200000, 'q'); // more than one copy buffer
    big[123456] = 'Z';
    source.Write(big.data(), static_cast<std::int64_t>(big.size()));
    EXPECT_EQ(target.CopyFrom(source, 0), static_cast<std::int64_t>(big.size()));
    EXPECT_EQ(target.DataString(), big);

    source.SetPosition(10);
    TMemoryStream part;
    EXPECT_EQ(part.CopyFrom(source, 5), 5);
    EXPECT_EQ(part.DataString(), "qqqqq");
    source.SetPosition(static_cast<std::int64_t>(big.size()) - 2);
    EXPECT_THROW(part.CopyFrom(source, 5), EReadError);
}

// ---- TFileStream

class FileStreamTest : public ::testing::Test {
protected:
    void WriteFile(const std::string& content) { cwtest::WriteFile(Path, content); }

    cwtest::TempDir Tmp{"cw-streams"};
    fs::path Dir = Tmp.Path();
    std::string Path = Tmp.File("video.flv");
};

TEST_F(FileStreamTest, CreateWriteReadSeekAndCutBack)
{
    {
        TFileStream f(Path, fmCreate);
        f.WriteBuffer("0123456789", 10);
        EXPECT_EQ(f.Size(), 10);
        f.SetSize(6);
        EXPECT_EQ(f.Position(), 6);
        EXPECT_EQ(f.Seek(2, soBeginning), 2);
        char buf[8] = {};
        EXPECT_EQ(f.Read(buf, 8), 4);
        EXPECT_EQ(std::string(buf, 4), "2345");
    }
    EXPECT_EQ(ReadFile(Path), "012345");
}

TEST_F(FileStreamTest, CreateEmptiesAFreeFile)
{
    WriteFile("old content");
    {
        TFileStream f(Path, fmCreate);
    }
    EXPECT_EQ(ReadFile(Path), "");
}

TEST_F(FileStreamTest, ErrorsNameTheFileAndTheReason)
{
    const std::string missing = (Dir / "missing.flv").string();
    try {
        TFileStream f(missing, fmOpenRead);
        FAIL() << "opened a missing file";
    } catch (const EFOpenError& e) {
        EXPECT_NE(e.Message().find(missing), std::string::npos) << e.Message();
        EXPECT_NE(e.Message().find("No such file"), std::string::npos) << e.Message();
    }
    const std::string noFolder = (Dir / "no-folder" / "x.flv").string();
    try {
        TFileStream f(noFolder, fmCreate);
        FAIL() << "created a file in a missing folder";
    } catch (const EFCreateError& e) {
        EXPECT_NE(e.Message().find(noFolder), std::string::npos) << e.Message();
    }
    EXPECT_FALSE(fs::exists(Dir / "no-folder"));
}

TEST_F(FileStreamTest, ExclusiveOpenIsSeenInThisProcess)
{
    WriteFile("precious");
    {
        TFileStream holder(Path, fmOpenReadWrite | fmShareExclusive);
        try {
            TFileStream second(Path, fmOpenRead | fmShareExclusive);
            FAIL() << "second exclusive open succeeded";
        } catch (const EFOpenError& e) {
            EXPECT_NE(e.Message().find("being used by another process"), std::string::npos) << e.Message();
        }
        EXPECT_THROW(TFileStream(Path, fmOpenRead | fmShareDenyWrite), EFOpenError);
        // Creating must not empty a file that is in use.
        EXPECT_THROW(TFileStream(Path, fmCreate), EFCreateError);
        EXPECT_EQ(ReadFile(Path), "precious");
        // An opener that asks for no protection is not stopped.
        EXPECT_NO_THROW(TFileStream(Path, fmOpenRead | fmShareDenyNone));
    }
    EXPECT_NO_THROW(TFileStream(Path, fmOpenReadWrite | fmShareExclusive));
}

TEST_F(FileStreamTest, SharedReadersExcludeOnlyExclusiveOpeners)
{
    WriteFile("data");
    TFileStream a(Path, fmOpenRead | fmShareDenyWrite);
    EXPECT_NO_THROW(TFileStream(Path, fmOpenRead | fmShareDenyWrite));
    EXPECT_THROW(TFileStream(Path, fmOpenReadWrite | fmShareExclusive), EFOpenError);
}

// Runs fn in a child process and returns its exit code.
template <typename Fn> int InChild(Fn fn)
{
    pid_t child = ::fork();
    if (child == 0)
        ::_exit(fn());
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

TEST_F(FileStreamTest, ExclusiveOpenIsSeenByAnotherProcess)
{
    WriteFile("precious");
    enum { kOpened = 0, kRefused = 1, kOtherError = 2 };
    auto tryOpen = [this](unsigned mode) {
        return [this, mode]() -> int {
            try {
                TFileStream f(Path, mode);
                return kOpened;
            } catch (const EFOpenError&) {
                return kRefused;
            } catch (const EFCreateError&) {
                return kRefused;
            } catch (...) {
                return kOtherError;
            }
        };
    };
    {
        TFileStream holder(Path, fmOpenReadWrite | fmShareExclusive);
        EXPECT_EQ(InChild(tryOpen(fmOpenReadWrite | fmShareExclusive)), kRefused);
        EXPECT_EQ(InChild(tryOpen(fmCreate)), kRefused);
        EXPECT_EQ(InChild([this] { return TryLockExclusive(::open(Path.c_str(), O_RDONLY)) ? 0 : 1; }), 1);
    }
    EXPECT_EQ(ReadFile(Path), "precious");
    EXPECT_EQ(InChild(tryOpen(fmOpenReadWrite | fmShareExclusive)), kOpened);
}

TEST_F(FileStreamTest, FileHeldByAnotherProcessIsNotTruncatedByCreate)
{
    WriteFile("precious");
    int ready[2], release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int fd = ::open(Path.c_str(), O_RDWR);
        char c = TryLockExclusive(fd) ? 1 : 0;
        (void)!::write(ready[1], &c, 1);
        (void)!::read(release[0], &c, 1);
        ::_exit(0);
    }
    char locked = 0;
    ASSERT_EQ(::read(ready[0], &locked, 1), 1);
    ASSERT_EQ(locked, 1);
    EXPECT_THROW(TFileStream(Path, fmCreate), EFCreateError);
    EXPECT_THROW(TFileStream(Path, fmOpenWrite | fmShareExclusive), EFOpenError);
    EXPECT_EQ(ReadFile(Path), "precious");
    (void)!::write(release[1], &locked, 1);
    ::waitpid(child, nullptr, 0);
    for (int fd : {ready[0], ready[1], release[0], release[1]})
        ::close(fd);
    // The holder is gone, and with it its lock.
    EXPECT_NO_THROW(TFileStream(Path, fmCreate));
    EXPECT_EQ(ReadFile(Path), "");
}

TEST_F(FileStreamTest, MemoryStreamFileRoundTrip)
{
    TMemoryStream m;
    std::string bytes("a\0b\r\nc\xff", 7);
    m.Write(bytes.data(), 7);
    m.SaveToFile(Path);
    TMemoryStream back;
    back.LoadFromFile(Path);
    EXPECT_EQ(back.DataString(), bytes);
    EXPECT_EQ(back.Position(), 0);
    EXPECT_THROW(back.LoadFromFile((Dir / "none").string()), EFOpenError);
}

} // namespace
