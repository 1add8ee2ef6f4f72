#include "engine/PartFile.h"

#include "platform/Types.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cw {

namespace {

constexpr const char* kMetaMagic = "clipwarden-part 1";

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

// A value goes on one line: line ends in a header value (there should be none) are dropped.
std::string OneLine(const std::string& s)
{
    std::string out;
    for (char c : s)
        if (c != '\r' && c != '\n')
            out += c;
    return out;
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

std::optional<TPartMeta> ReadPartMeta(const std::string& metaPath)
{
    std::FILE* f = std::fopen(metaPath.c_str(), "rb");
    if (!f)
        return std::nullopt;
    std::string text;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && text.size() < 64 * 1024)
        text.append(buf, n);
    std::fclose(f);

    TPartMeta meta;
    bool magic = false;
    bool total = false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line == kMetaMagic) {
            magic = true;
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        if (key == "url")
            meta.Url = value;
        else if (key == "total")
            total = value == "-1" ? (meta.Total = -1, true) : ParseCount(value, meta.Total);
        else if (key == "etag")
            meta.ETag = value;
        else if (key == "last-modified")
            meta.LastModified = value;
        else if (key == "range" && meta.Ranges.size() < 64) {
            // "start-pos-end": a piece of the file and how far it got.
            const std::size_t d1 = value.find('-');
            const std::size_t d2 = d1 == std::string::npos ? std::string::npos : value.find('-', d1 + 1);
            TPartRange r;
            if (d2 == std::string::npos || !ParseCount(value.substr(0, d1), r.Start) ||
                !ParseCount(value.substr(d1 + 1, d2 - d1 - 1), r.Pos) || !ParseCount(value.substr(d2 + 1), r.End) ||
                r.Start > r.Pos || r.Pos > r.End)
                return std::nullopt; // a damaged list cannot say which bytes are there
            meta.Ranges.push_back(r);
        }
    }
    if (!magic || !total)
        return std::nullopt;
    for (const TPartRange& r : meta.Ranges)
        if (meta.Total < 0 || r.End > meta.Total)
            return std::nullopt;
    return meta;
}

void WritePartMeta(const std::string& metaPath, const TPartMeta& meta)
{
    std::string text = std::string(kMetaMagic) + "\nurl=" + OneLine(meta.Url) +
                             "\ntotal=" + std::to_string(meta.Total) + "\netag=" + OneLine(meta.ETag) +
                             "\nlast-modified=" + OneLine(meta.LastModified) + "\n";
    for (const TPartRange& r : meta.Ranges)
        text += "range=" + std::to_string(r.Start) + "-" + std::to_string(r.Pos) + "-" + std::to_string(r.End) + "\n";
    const std::string temp = metaPath + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw Exception("Cannot write " + temp + ": " + SystemReason(errno));
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t w = ::write(fd, text.data() + done, text.size() - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            const int err = errno;
            ::close(fd);
            ::unlink(temp.c_str());
            throw Exception("Cannot write " + temp + ": " + SystemReason(err));
        }
        done += static_cast<std::size_t>(w);
    }
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        throw Exception("Cannot write " + temp + ": " + SystemReason(err));
    }
    if (::rename(temp.c_str(), metaPath.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        throw Exception("Cannot write " + metaPath + ": " + SystemReason(err));
    }
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

bool ContinuesPart(const TPartMeta& kept, std::int64_t offset, const std::string& url, const std::string& contentRange,
                   const std::string& etag, const std::string& lastModified)
{
    const std::optional<TContentRange> range = ParseContentRange(contentRange);
    if (!range || range->First != offset)
        return false;
    if (kept.Total >= 0 && range->Total != kept.Total)
        return false;
    if (!kept.ETag.empty() && etag != kept.ETag)
        return false;
    if (!kept.LastModified.empty() && lastModified != kept.LastModified)
        return false;
    if (kept.ETag.empty() && kept.LastModified.empty() && url != kept.Url)
        return false;
    return true;
}

std::int64_t RegularFileSize(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
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

} // namespace cw
