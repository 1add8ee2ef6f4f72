#include "platform/SettingsLocation.h"

#include "platform/Types.h"

#include <QStandardPaths>
#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <unistd.h>

namespace cw {

namespace {

std::string WithSeparator(std::string dir)
{
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    return dir;
}

std::string HomeFolder()
{
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/')
        return WithSeparator(home);
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir && entry->pw_dir[0] == '/')
        return WithSeparator(entry->pw_dir);
    return "/tmp/";
}

} // namespace

bool SettingsLocation::Portable(const std::string& exeDir)
{
    std::error_code ec;
    if (std::filesystem::exists(WithSeparator(exeDir) + "../share/applications/" + DesktopEntry, ec))
        return false;
    return ::access(exeDir.c_str(), W_OK | X_OK) == 0;
}

std::string SettingsLocation::UserFolder()
{
    // Relative values are to be ignored, as every XDG-aware program does.
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/')
        return WithSeparator(config) + "clipwarden/";
    return HomeFolder() + ".config/clipwarden/";
}

std::string SettingsLocation::DefaultOutputFolder(const std::string& exeDir)
{
    if (Portable(exeDir))
        return WithSeparator(exeDir);
    std::error_code ec;
    std::string videos = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation).toStdString();
    if (!videos.empty() && std::filesystem::is_directory(videos, ec))
        return WithSeparator(videos);
    return HomeFolder();
}

std::string SettingsLocation::FileName(const std::string& exeDir, const std::string& fileName)
{
    return (Portable(exeDir) ? WithSeparator(exeDir) : UserFolder()) + fileName;
}

void SettingsLocation::PrepareFolder(const std::string& filePath)
{
    std::filesystem::path folder = std::filesystem::path(filePath).parent_path();
    if (folder.empty())
        return;
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec || !std::filesystem::is_directory(folder))
        throw Exception("Cannot create the settings folder \"" + folder.string() + "\": " + ec.message());
}

} // namespace cw
