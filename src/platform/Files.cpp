#include "platform/Files.h"

#include <filesystem>
#include <sys/stat.h>
#include <system_error>

namespace cw {

bool FileExists(const std::string& path)
{
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool RegularFileExists(const std::string& path)
{
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path)
{
    std::error_code ec;
    return !path.empty() && std::filesystem::is_directory(path, ec);
}

std::string ForceDirectories(const std::string& path)
{
    if (path.empty())
        return "no folder name was given";
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (DirectoryExists(path))
        return std::string();
    if (!ec)
        ec = std::make_error_code(std::errc::not_a_directory);
    return ec.message();
}

} // namespace cw
