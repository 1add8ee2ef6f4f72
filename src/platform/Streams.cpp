#include "platform/Streams.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cw {

std::int64_t TStream::Size()
{
    std::int64_t pos = Seek(0, soCurrent);
    std::int64_t end = Seek(0, soEnd);
    Seek(pos, soBeginning);
    return end;
}

void TStream::ReadBuffer(void* buffer, std::int64_t count)
{
    if (count != 0 && Read(buffer, count) != count)
        throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, std::int64_t count)
{
    if (count != 0 && Write(buffer, count) != count) {
        const std::string reason = WriteFailureReason();
        throw EWriteError(reason.empty() ? std::string("Stream write error") : "Stream write error: " + reason, reason);
    }
}

std::int64_t TStream::CopyFrom(TStream& source, std::int64_t count)
{
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    std::int64_t total = count;
    char buf[65536];
    while (count > 0) {
        std::int64_t n = std::min<std::int64_t>(count, sizeof buf);
        source.ReadBuffer(buf, n);
        WriteBuffer(buf, n);
        count -= n;
    }
    return total;
}

// ---- TMemoryStream

std::int64_t TMemoryStream::Read(void* buffer, std::int64_t count)
{
    if (count <= 0 || FPosition >= Size())
        return 0;
    std::int64_t n = std::min(count, Size() - FPosition);
    std::memcpy(buffer, FData.data() + FPosition, static_cast<size_t>(n));
    FPosition += n;
    return n;
}

std::int64_t TMemoryStream::Write(const void* buffer, std::int64_t count)
{
    if (count <= 0)
        return 0;
    std::int64_t end = FPosition + count;
    if (end > Size())
        FData.resize(static_cast<size_t>(end));
    std::memcpy(FData.data() + FPosition, buffer, static_cast<size_t>(count));
    FPosition = end;
    return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, TSeekOrigin origin)
{
    std::int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? FPosition : Size();
    FPosition = std::max<std::int64_t>(0, base + offset);
    return FPosition;
}

void TMemoryStream::SetSize(std::int64_t size)
{
    FData.resize(static_cast<size_t>(std::max<std::int64_t>(0, size)));
    if (FPosition > Size())
        FPosition = Size();
}

void TMemoryStream::Clear()
{
    FData.clear();
    FPosition = 0;
}

void TMemoryStream::LoadFromFile(const std::string& path)
{
    TFileStream f(path, fmOpenRead | fmShareDenyWrite);
    std::int64_t n = f.Size();
    FData.resize(static_cast<size_t>(n));
    f.ReadBuffer(FData.data(), n);
    FPosition = 0;
}

void TMemoryStream::SaveToFile(const std::string& path)
{
    TFileStream f(path, fmCreate);
    f.WriteBuffer(FData.data(), Size());
}

// ---- TFileStream

bool TryLockExclusive(int fd)
{
    while (true) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

namespace {
bool TryLockShared(int fd)
{
    while (true) {
        if (::flock(fd, LOCK_SH | LOCK_NB) == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}
const char* kInUse = "The process cannot access the file because it is being used by another process";
} // namespace

TFileStream::TFileStream(const std::string& fileName, unsigned mode) : FFileName(fileName)
{
    const bool create = (mode & 0xFF00) == fmCreate;
    int flags = O_CLOEXEC;
    unsigned share = mode & 0x00F0;
    if (create) {
        flags |= O_RDWR | O_CREAT;
        share = share ? share : fmShareExclusive;
    } else {
        switch (mode & 0x0003) {
        case fmOpenWrite:
            flags |= O_WRONLY;
            break;
        case fmOpenReadWrite:
            flags |= O_RDWR;
            break;
        default:
            flags |= O_RDONLY;
            break;
        }
    }
    const bool noFollow = (mode & fmNoFollow) != 0;
    if (noFollow)
        flags |= O_NOFOLLOW;
    FHandle = ::open(fileName.c_str(), flags, 0666);
    struct stat st {};
    if (FHandle >= 0 && noFollow && (::fstat(FHandle, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(FHandle);
        FHandle = -1;
        errno = EINVAL;
        const std::string reason = "It is not a regular file.";
        if (create)
            throw EFCreateError("Cannot create file \"" + fileName + "\". " + reason);
        throw EFOpenError("Cannot open file \"" + fileName + "\". " + reason);
    }
    if (FHandle < 0) {
        std::string reason = errno == ELOOP && noFollow ? "It is a symbolic link." : std::strerror(errno);
        if (create)
            throw EFCreateError("Cannot create file \"" + fileName + "\". " + reason);
        throw EFOpenError("Cannot open file \"" + fileName + "\". " + reason);
    }
    bool locked = true;
    if (share == fmShareExclusive)
        locked = TryLockExclusive(FHandle);
    else if (share == fmShareDenyWrite)
        locked = TryLockShared(FHandle);
    if (!locked) {
        ::close(FHandle);
        FHandle = -1;
        if (create)
            throw EFCreateError("Cannot create file \"" + fileName + "\". " + kInUse);
        throw EFOpenError("Cannot open file \"" + fileName + "\". " + kInUse);
    }
    if (create && ::ftruncate(FHandle, 0) != 0) {
        std::string reason = std::strerror(errno);
        ::close(FHandle);
        FHandle = -1;
        throw EFCreateError("Cannot create file \"" + fileName + "\". " + reason);
    }
}

TFileStream::~TFileStream()
{
    if (FHandle >= 0)
        ::close(FHandle); // closing drops the lock
}

std::int64_t TFileStream::Read(void* buffer, std::int64_t count)
{
    std::int64_t done = 0;
    char* p = static_cast<char*>(buffer);
    while (done < count) {
        ssize_t n = ::read(FHandle, p + done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    return done;
}

std::int64_t TFileStream::Write(const void* buffer, std::int64_t count)
{
    std::int64_t done = 0;
    const char* p = static_cast<const char*>(buffer);
    FWriteErrno = 0;
    while (done < count) {
        ssize_t n = ::write(FHandle, p + done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            FWriteErrno = n < 0 ? errno : ENOSPC; // a write of nothing: the device took no more
            break;
        }
        done += n;
    }
    return done;
}

std::string TFileStream::WriteFailureReason() const
{
    return FWriteErrno ? std::strerror(FWriteErrno) : std::string();
}

std::int64_t TFileStream::Seek(std::int64_t offset, TSeekOrigin origin)
{
    int whence = origin == soBeginning ? SEEK_SET : origin == soCurrent ? SEEK_CUR : SEEK_END;
    off_t r = ::lseek(FHandle, static_cast<off_t>(offset), whence);
    return r < 0 ? -1 : static_cast<std::int64_t>(r);
}

void TFileStream::SetSize(std::int64_t size)
{
    if (::ftruncate(FHandle, static_cast<off_t>(size)) != 0)
        throw EStreamError("Cannot set the size of \"" + FFileName + "\". " + std::strerror(errno));
    if (Position() > size)
        Seek(size, soBeginning);
}

} // namespace cw
