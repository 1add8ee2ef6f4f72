#include "platform/IniFile.h"

#include "support/Files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace cw;

namespace {

class IniFileTest : public ::testing::Test {
protected:
    void WriteFile(const std::string& content) { cwtest::WriteFile(Path, content); }
    std::string ReadFile() const { return cwtest::ReadFile(Path); }

    cwtest::TempDir Tmp{"cw-ini"};
    fs::path Dir = Tmp.Path();
    std::string Path = Tmp.File("settings.ini");
};

TEST_F(IniFileTest, MissingFileReadsAsDefaults)
{
    TIniFile ini(Path);
    EXPECT_EQ(ini.ReadString("Options", "OutputFolder", "def"), "def");
    EXPECT_EQ(ini.ReadInteger("Options", "Quality", 3), 3);
    EXPECT_TRUE(ini.ReadBool("Copy", "AutoCopy", true));
    EXPECT_FALSE(fs::exists(Path)); // reading creates nothing
}

TEST_F(IniFileTest, GarbageReadsAsDefaults)
{
    WriteFile(std::string("\x00\xff\xfe[[[]\n=\n==x\nQuality=2\n[Options\nQuality=1\n\x01\x02", 40));
    TIniFile ini(Path);
    EXPECT_EQ(ini.ReadInteger("Options", "Quality", 0), 0);
    EXPECT_EQ(ini.ReadString("", "", "d"), "d");
}

TEST_F(IniFileTest, WritesReadBackWithNamesMatchedInAnyCase)
{
    TIniFile ini(Path);
    ini.WriteString("Options", "OutputFolder", "/home/me/Videos");
    ini.WriteInteger("Options", "Quality", 2);
    ini.WriteInteger("Options", "ConvertFormat", -1);
    ini.WriteBool("Copy", "AutoCopy", true);
    ini.WriteBool("Copy", "AskAddUrl", false);
    EXPECT_EQ(ini.ReadString("OPTIONS", "outputfolder", ""), "/home/me/Videos");
    EXPECT_EQ(ini.ReadInteger("options", "Quality", 0), 2);
    EXPECT_EQ(ini.ReadInteger("Options", "ConvertFormat", 0), -1);
    EXPECT_TRUE(ini.ReadBool("Copy", "AutoCopy", false));
    EXPECT_FALSE(ini.ReadBool("Copy", "AskAddUrl", true));
    EXPECT_EQ(ReadFile(), "[Options]\nOutputFolder=/home/me/Videos\nQuality=2\nConvertFormat=-1\n\n"
                          "[Copy]\nAutoCopy=1\nAskAddUrl=0\n");

    // A second object on the same file sees the same values: nothing is cached.
    TIniFile again(Path);
    EXPECT_EQ(again.ReadInteger("Options", "Quality", 0), 2);
}

TEST_F(IniFileTest, RewritingKeepsEverythingElseAndTheLineEndings)
{
    WriteFile("; written by hand\r\n[Options]\r\nQuality = 1\r\nUnknown=keep me\r\n\r\n[Other]\r\nx=1\r\n");
    TIniFile ini(Path);
    EXPECT_EQ(ini.ReadInteger("Options", "Quality", 0), 1); // blanks around = and CR LF are not part of it
    ini.WriteInteger("options", "quality", 3);
    ini.WriteString("Options", "RadioButton", "2");
    ini.WriteString("Other", "y", "two words ");
    EXPECT_EQ(ReadFile(), "; written by hand\r\n[Options]\r\nquality=3\r\nUnknown=keep me\r\nRadioButton=2\r\n\r\n"
                          "[Other]\r\nx=1\r\ny=two words \r\n");
    EXPECT_EQ(ini.ReadString("Other", "y", ""), "two words"); // values are read trimmed
}

TEST_F(IniFileTest, IntegersAreWholeDecimalNumbersOrTheDefault)
{
    WriteFile("[O]\na=7\nb=abc\nc=\nd= -12 \ne=+4\nf=12abc\ng=99999999999\nh=0x10\ni=2\nj=yes\n");
    TIniFile ini(Path);
    EXPECT_EQ(ini.ReadInteger("O", "a", 0), 7); // out-of-range values are the caller's to clamp
    EXPECT_EQ(ini.ReadInteger("O", "b", 5), 5);
    EXPECT_EQ(ini.ReadInteger("O", "c", 5), 5);
    EXPECT_EQ(ini.ReadInteger("O", "d", 5), -12);
    EXPECT_EQ(ini.ReadInteger("O", "e", 5), 4);
    EXPECT_EQ(ini.ReadInteger("O", "f", 5), 5);
    EXPECT_EQ(ini.ReadInteger("O", "g", 5), 5);
    EXPECT_EQ(ini.ReadInteger("O", "h", 5), 5);
    EXPECT_TRUE(ini.ReadBool("O", "i", false));
    EXPECT_FALSE(ini.ReadBool("O", "j", false));
    EXPECT_TRUE(ini.ReadBool("O", "j", true));
}

TEST_F(IniFileTest, TheFirstOfDuplicatesIsReadAndWritten)
{
    WriteFile("[O]\nk=first\nk=second\n[o]\nk=third\n");
    TIniFile ini(Path);
    EXPECT_EQ(ini.ReadString("O", "K", ""), "first");
    ini.WriteString("O", "k", "new");
    EXPECT_EQ(ReadFile(), "[O]\nk=new\nk=second\n[o]\nk=third\n");
}

TEST_F(IniFileTest, AWriteReplacesTheFileInsteadOfRewritingItInPlace)
{
    WriteFile("[O]\nk=old\n");
    // A reader that had the old file open still sees it whole: the new text went to another file
    // that was renamed over the name, so there is never a moment with a half-written settings.ini.
    int fd = ::open(Path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    TIniFile ini(Path);
    ini.WriteString("O", "k", "new value");
    char buf[64] = {};
    ssize_t n = ::pread(fd, buf, sizeof buf, 0);
    ::close(fd);
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "[O]\nk=old\n");
    EXPECT_EQ(ini.ReadString("O", "k", ""), "new value");
    // And no temporary file is left beside it.
    int files = 0;
    for (const auto& entry : fs::directory_iterator(Dir)) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 1);
}

TEST_F(IniFileTest, AFailedWriteRaisesAndLeavesNothingBehind)
{
    const std::string inMissingFolder = (Dir / "gone" / "settings.ini").string();
    TIniFile ini(inMissingFolder);
    try {
        ini.WriteInteger("O", "k", 1);
        FAIL() << "wrote into a missing folder";
    } catch (const Exception& e) {
        EXPECT_NE(e.Message().find(inMissingFolder), std::string::npos) << e.Message();
    }
    EXPECT_FALSE(fs::exists(Dir / "gone"));
}

TEST_F(IniFileTest, ValuesThatWouldBreakTheFileAreRefused)
{
    WriteFile("[O]\nk=1\n");
    TIniFile ini(Path);
    EXPECT_THROW(ini.WriteString("O", "k", "a\nInjected=1"), Exception);
    EXPECT_THROW(ini.WriteString("O", "k=x", "1"), Exception);
    EXPECT_THROW(ini.WriteString("O]", "k", "1"), Exception);
    EXPECT_THROW(ini.WriteString("O", "", "1"), Exception);
    EXPECT_EQ(ReadFile(), "[O]\nk=1\n");
}

} // namespace
