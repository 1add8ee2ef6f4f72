#pragma once
// The stream family the HTTP client writes into and cuts back, and the page engine reads from.
// TFileStream's share modes map to advisory whole-file locks (flock): a file opened for
// exclusive use is seen as "in use" by every other opener that asks, in this process or
// another one (IsFileInUse asks the same way).

#include "platform/Types.h"

#include <cstdint>
#include <string>
#include <utility>

namespace cw {

enum TSeekOrigin { soBeginning, soCurrent, soEnd };

class EStreamError : public Exception {
public:
    using Exception::Exception;
};
class EFCreateError : public EStreamError {
public:
    using EStreamError::EStreamError;
};
class EFOpenError : public EStreamError {
public:
    using EStreamError::EStreamError;
};
class EReadError : public EStreamError {
public:
    using EStreamError::EStreamError;
};
class EWriteError : public EStreamError {
public:
    using EStreamError::EStreamError;
    EWriteError(const std::string& message, std::string reason) : EStreamError(message), FReason(std::move(reason)) {}
    // The system's reason ("No space left on device"), when the stream knew one.
    const std::string& Reason() const { return FReason; }

private:
    std::string FReason;
};

class TStream : public TObject {
public:
    // Read or write up to count bytes at the position; return the count moved.
    virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
    virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
    // Move the position; returns the new position.
    virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;
    virtual void SetSize(std::int64_t size) = 0;
    virtual std::int64_t Size();

    std::int64_t Position() { return Seek(0, soCurrent); }
    void SetPosition(std::int64_t pos) { Seek(pos, soBeginning); }

    // As Read/Write, but a short transfer raises EReadError/EWriteError (with the system's
    // reason when the stream knows one).
    void ReadBuffer(void* buffer, std::int64_t count);
    void WriteBuffer(const void* buffer, std::int64_t count);
    // Copy count bytes from source at its position (count 0: the whole source from its start).
    std::int64_t CopyFrom(TStream& source, std::int64_t count);

protected:
    // Why the last write came short ("No space left on device"), or "".
    virtual std::string WriteFailureReason() const { return std::string(); }
};

class TMemoryStream : public TStream {
public:
    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    void SetSize(std::int64_t size) override;
    std::int64_t Size() override { return static_cast<std::int64_t>(FData.size()); }

    void Clear();
    const char* Memory() const { return FData.data(); }
    const std::string& DataString() const { return FData; }
    void LoadFromFile(const std::string& path);
    void SaveToFile(const std::string& path);

private:
    std::string FData;
    std::int64_t FPosition = 0;
};

// Open modes: one access value, optionally | one share value. fmCreate creates or truncates.
constexpr unsigned fmOpenRead = 0x0000;
constexpr unsigned fmOpenWrite = 0x0001;
constexpr unsigned fmOpenReadWrite = 0x0002;
constexpr unsigned fmShareExclusive = 0x0010;
constexpr unsigned fmShareDenyWrite = 0x0020;
constexpr unsigned fmShareDenyNone = 0x0040;
constexpr unsigned fmCreate = 0xFF00;
// With any mode: a symbolic link is never followed and only a regular file is opened.
constexpr unsigned fmNoFollow = 0x10000;

class TFileStream : public TStream {
public:
    // Raises EFCreateError / EFOpenError with a readable reason; with fmShareExclusive (or
    // fmShareDenyWrite) the open also fails when another opener holds the file's lock. A file
    // being created is locked before it is truncated, so a file in use is never emptied.
    TFileStream(const std::string& fileName, unsigned mode);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    void SetSize(std::int64_t size) override;

    const std::string& FileName() const { return FFileName; }
    int Handle() const { return FHandle; }

protected:
    std::string WriteFailureReason() const override;

private:
    std::string FFileName;
    int FHandle = -1;
    int FWriteErrno = 0;
};

// Try the exclusive lock on an open descriptor without waiting: the one locking rule shared by
// TFileStream and IsFileInUse.
bool TryLockExclusive(int fd);

} // namespace cw
