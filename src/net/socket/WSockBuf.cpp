#include "net/socket/WSockBuf.h"

#include <algorithm>
#include <cstring>

namespace cw {

namespace {
constexpr int kDefaultBufSize = 1514;
}

TBuffer::TBuffer(int BufSize)
{
    SetBufSize(BufSize);
}

void TBuffer::SetBufSize(int newSize)
{
    if (newSize <= 0)
        newSize = kDefaultBufSize;
    if (newSize == FBufSize)
        return;
    auto buf = std::make_unique<char[]>(static_cast<size_t>(newSize));
    if (FWrCount > 0 && FBuf) {
        FWrCount = std::min(FWrCount, newSize);
        FRdCount = std::min(FRdCount, FWrCount);
        std::memcpy(buf.get(), FBuf.get(), static_cast<size_t>(FWrCount));
    }
    FBuf = std::move(buf);
    FBufSize = newSize;
}

int TBuffer::Write(const void* Data, int Len)
{
    int room = FBufSize - FWrCount;
    int n = std::min(room, Len);
    if (n <= 0 || !Data)
        return 0;
    std::memcpy(FBuf.get() + FWrCount, Data, static_cast<size_t>(n));
    FWrCount += n;
    return n;
}

int TBuffer::Peek(const char*& Data) const
{
    int n = FWrCount - FRdCount;
    if (n <= 0) {
        Data = nullptr;
        return 0;
    }
    Data = FBuf.get() + FRdCount;
    return n;
}

int TBuffer::Remove(int Len)
{
    int n = std::min(std::max(Len, 0), FWrCount - FRdCount);
    FRdCount += n;
    if (FRdCount >= FWrCount) {
        FRdCount = 0;
        FWrCount = 0;
    }
    return n;
}

} // namespace cw
