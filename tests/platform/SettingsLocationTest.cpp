// Where the settings file goes: beside a portable copy, per user for an installed or read-only
// one, with the XDG rules for the per-user folder.
#include "platform/SettingsLocation.h"

#include "platform/Types.h"
#include "support/Files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace cw;

namespace {

// Sets an environment variable for the life of the object, then puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : FName(name)
    {
        if (const char* old = std::getenv(name))
            FOld = old;
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (FOld)
            ::setenv(FName, FOld->c_str(), 1);
        else
            ::unsetenv(FName);
    }

private:
    const char* FName;
    std::optional<std::string> FOld;
};

class SettingsLocationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(Root / "prefix/bin");
        fs::create_directories(Root / "home");
    }
    void TearDown() override
    {
        // A test may take the folder's rights away; the removal needs them back.
        std::error_code ec;
        fs::permissions(Root / "prefix/bin", fs::perms::owner_all, fs::perm_options::add, ec);
    }
    std::string Bin() const { return (Root / "prefix/bin").string() + "/"; }
    std::string Home() const { return (Root / "home").string(); }

    cwtest::TempDir Tmp{"cw-settings"};
    fs::path Root = Tmp.Path();
};

TEST_F(SettingsLocationTest, APortableCopyKeepsItsSettingsAndVideosBesideItself)
{
    ScopedEnv config("XDG_CONFIG_HOME", Home() + "/cfg");
    EXPECT_TRUE(SettingsLocation::Portable(Bin()));
    EXPECT_EQ(SettingsLocation::FileName(Bin(), "settings.ini"), Bin() + "settings.ini");
    EXPECT_EQ(SettingsLocation::DefaultOutputFolder(Bin()), Bin());
}

TEST_F(SettingsLocationTest, AnInstalledCopyUsesTheUserFolderEvenWhereItCouldWrite)
{
    fs::create_directories(Root / "prefix/share/applications");
    std::ofstream(Root / "prefix/share/applications" / SettingsLocation::DesktopEntry) << "[Desktop Entry]\n";
    ScopedEnv home("HOME", Home());
    {
        ScopedEnv config("XDG_CONFIG_HOME", Home() + "/cfg");
        EXPECT_FALSE(SettingsLocation::Portable(Bin()));
        EXPECT_EQ(SettingsLocation::FileName(Bin(), "settings.ini"), Home() + "/cfg/clipwarden/settings.ini");
        // Never the program's own folder for videos; the home folder when there is no Videos.
        EXPECT_EQ(SettingsLocation::DefaultOutputFolder(Bin()), Home() + "/");
    }
    {
        ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
        EXPECT_EQ(SettingsLocation::FileName(Bin(), "settings.ini"), Home() + "/.config/clipwarden/settings.ini");
    }
    {
        ScopedEnv config("XDG_CONFIG_HOME", "relative/cfg"); // not absolute: ignored
        EXPECT_EQ(SettingsLocation::UserFolder(), Home() + "/.config/clipwarden/");
    }
}

TEST_F(SettingsLocationTest, AFolderTheUserCannotWriteIsNotPortable)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "file permissions do not bind root; the install test covers this as another user";
    fs::permissions(Root / "prefix/bin", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    ScopedEnv config("XDG_CONFIG_HOME", Home() + "/cfg");
    EXPECT_FALSE(SettingsLocation::Portable(Bin()));
    EXPECT_EQ(SettingsLocation::FileName(Bin(), "settings.ini"), Home() + "/cfg/clipwarden/settings.ini");
}

TEST_F(SettingsLocationTest, PrepareFolderMakesTheMissingFoldersOrSaysWhyNot)
{
    const std::string file = Home() + "/cfg/clipwarden/settings.ini";
    SettingsLocation::PrepareFolder(file);
    EXPECT_TRUE(fs::is_directory(Home() + "/cfg/clipwarden"));
    SettingsLocation::PrepareFolder(file); // already there: nothing to do

    std::ofstream(Home() + "/plain") << "a file, not a folder";
    EXPECT_THROW(SettingsLocation::PrepareFolder(Home() + "/plain/clipwarden/settings.ini"), Exception);
}

} // namespace
