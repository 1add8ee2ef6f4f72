#pragma once
// Decoder of chunked transfer coding: size line (hex digits, extensions ignored), chunk data,
// the line end after the data, and so on until a chunk of size 0. It works byte-stream-wise:
// a block may end anywhere, and the next block continues where it stopped.
//
// The framing is checked as it goes: a size line that does not start with a hexadecimal digit
// (a sign, a blank line, text), digits followed by anything but blanks, ";" and the line end,
// a size too large to be real, or data that overruns its declared size all put the decoder in
// csError, where it stays: guessing on would hand on bytes that are not the document.

#include <cstddef>
#include <cstdint>
#include <functional>

namespace cw {

class THttpChunkDecoder {
public:
    enum TState { csSize = 0, csSizeLineEnd = 1, csData = 2, csDataLineEnd = 3, httpChunkDone = 4, csError = 5 };

    void Reset()
    {
        FState = csSize;
        FSize = 0;
        FReceived = 0;
        NewSizeLine();
    }

    // Run over the block until it is used up, the last chunk has ended or the framing broke. Data bytes are handed
    // to deliver, which returns false to stop decoding at once (the request was ended from a
    // handler). Returns the bytes of the block consumed (what follows the final line end, the
    // trailer, is left to the caller).
    std::size_t Decode(const char* block, std::size_t len, const std::function<bool(const char*, std::size_t)>& deliver);

    TState State() const { return FState; }
    std::uint64_t ChunkSize() const { return FSize; }
    // Called with the chunk size when a size line has been read (for the trace).
    std::function<void(std::uint64_t)> OnChunkLength;

private:
    void NewSizeLine()
    {
        FDigits = 0;
        FAfterDigits = false;
        FInExtension = false;
        FSawCR = false;
    }
    void EndSizeLine(bool extension);

    TState FState = csSize;
    std::uint64_t FSize = 0;
    std::uint64_t FReceived = 0;
    // Within the size line: digits seen, then blanks after them, then an extension (";...").
    int FDigits = 0;
    bool FAfterDigits = false;
    bool FInExtension = false;
    bool FSawCR = false; // the CR of a line end has been read, its LF must follow
};

} // namespace cw
