#include "engine/core/PartFile.h"

#include "platform/Log.h"

#include "platform/Types.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cw {

namespace {

bool ParseCount(const std::string& text, std::int64_t& value)
{
    if (text.empty() || text.size() > 18)
        return false;
    std::int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    value = v;
    return true;
}

std::string SystemReason(int err)
{
    return std::strerror(err);
}

} // namespace

std::string PartPathOf(const std::string& finalPath)
{
    return finalPath + ".part";
}

std::string PartMetaPathOf(const std::string& finalPath)
{
    return finalPath + ".part.meta";
}

std::optional<TContentRange> ParseContentRange(const std::string& value)
{
    static const std::string kUnit = "bytes ";
    if (value.compare(0, kUnit.size(), kUnit) != 0)
        return std::nullopt;
    const std::string rest = value.substr(kUnit.size());
    const std::size_t dash = rest.find('-');
    const std::size_t slash = rest.find('/');
    if (dash == std::string::npos || slash == std::string::npos || slash < dash)
        return std::nullopt;
    TContentRange r;
    if (!ParseCount(rest.substr(0, dash), r.First) || !ParseCount(rest.substr(dash + 1, slash - dash - 1), r.Last) ||
        r.Last < r.First)
        return std::nullopt;
    const std::string total = rest.substr(slash + 1);
    if (total == "*")
        r.Total = -1;
    else if (!ParseCount(total, r.Total) || r.Total <= r.Last)
        return std::nullopt;
    return r;
}

std::int64_t RegularFileSize(const std::string& path)
{
    struct stat st {};
    // A link is not followed: a part file is only ever a file of its own in the output folder.
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return static_cast<std::int64_t>(st.st_size);
}

void ReplaceFile(const std::string& source, const std::string& target)
{
    if (::rename(source.c_str(), target.c_str()) != 0)
        throw Exception("Cannot create file \"" + target + "\". " + SystemReason(errno));
}

bool RemoveFileIfAny(const std::string& path)
{
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool RemoveIfNotRegular(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))
        return false;
    if (::unlink(path.c_str()) != 0)
        return false;
    LogLine("download", path + " was not a file of its own (" +
                            (S_ISLNK(st.st_mode) ? std::string("a symbolic link") : std::string("a special file")) +
                            "): removed, nothing written through it");
    return true;
}

} // namespace cw
