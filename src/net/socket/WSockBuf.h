#pragma once
// One chunk of a socket's send queue: a fixed byte area filled at the end and consumed from the
// front. When everything written has been consumed, both counts drop back to 0 so the chunk is
// reused from its start; a steady sender therefore never allocates.

#include "platform/Types.h"

#include <memory>

namespace cw {

class TBuffer : public TObject {
public:
    // A capacity of 0 or less means 1514 (one Ethernet frame).
    explicit TBuffer(int BufSize = 1514);

    int BufSize() const { return FBufSize; }
    // Changing the capacity keeps the filled bytes (those that still fit).
    void SetBufSize(int newSize);

    // Copy as many bytes as fit after the fill count; returns how many (0 when full).
    int Write(const void* Data, int Len);
    // The unconsumed bytes: their address through Data and their count as the result
    // (0 and nullptr when there are none).
    int Peek(const char*& Data) const;
    // Consume up to Len unconsumed bytes; returns how many.
    int Remove(int Len);

    int WrCount() const { return FWrCount; } // fill count
    int RdCount() const { return FRdCount; } // consumed count
    int Unsent() const { return FWrCount - FRdCount; }
    bool Empty() const { return FWrCount == FRdCount; }
    bool Full() const { return FWrCount >= FBufSize; }

private:
    std::unique_ptr<char[]> FBuf;
    int FBufSize = 0;
    int FWrCount = 0;
    int FRdCount = 0;
};

} // namespace cw
