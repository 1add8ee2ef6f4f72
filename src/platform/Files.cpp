#include "platform/Files.h"

#include <filesystem>
#include <sys/stat.h>
#include <sys/xattr.h>
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

namespace {
constexpr const char* kOriginAttribute = "user.xdg.origin.url";
constexpr std::size_t kLongestOrigin = 64 * 1024;
} // namespace

bool SetFileOrigin(const std::string& path, const std::string& address)
{
    return ::setxattr(path.c_str(), kOriginAttribute, address.data(), address.size(), 0) == 0;
}

std::string FileOrigin(const std::string& path)
{
    std::string value(kLongestOrigin, '\0');
    const ssize_t n = ::getxattr(path.c_str(), kOriginAttribute, value.data(), value.size());
    if (n <= 0)
        return std::string();
    value.resize(static_cast<std::size_t>(n));
    return value;
}

} // namespace cw
