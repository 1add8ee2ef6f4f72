#pragma once
// Decoder of chunked transfer coding: size line (hex digits, extensions ignored), chunk data,
// the line end after the data, and so on until a chunk of size 0; then the trailer section
// (field lines, skipped unread) up to and including the empty line that ends the body. It
// works byte-stream-wise: a block may end anywhere, and the next block continues where it
// stopped.
//
// The framing is checked as it goes: a size line that does not start with a hexadecimal digit
// (a sign, a blank line, text), digits followed by anything but blanks, ";" and the line end,
// a size too large to be real, data that overruns its declared size, or a size line or trailer
// section far longer than any real one (a peer that would keep the body open for ever without
// sending any of it) all put the decoder in csError, where it stays: guessing on would hand on
// bytes that are not the document.

#include <cstddef>
#include <cstdint>
#include <functional>

namespace cw {

class THttpChunkDecoder {
public:
    enum TState {
        csSize = 0,
        csSizeLineEnd = 1,
        csData = 2,
        csDataLineEnd = 3,
        httpChunkDone = 4,
        csError = 5,
        csTrailer = 6 // after the last chunk: trailer lines until the empty one
    };

    // Longest size line (digits, blanks and extensions) and trailer section taken.
    static constexpr std::size_t MaxSizeLineBytes = 8192;
    static constexpr std::size_t MaxTrailerBytes = 1024 * 1024;

    void Reset()
    {
        FState = csSize;
        FSize = 0;
        FReceived = 0;
        NewSizeLine();
    }

    // Run over the block until it is used up, the body has ended or the framing broke. Data
    // bytes are handed to deliver, which returns false to stop decoding at once (the request
    // was ended from a handler). Returns the bytes of the block consumed (what follows the
    // empty line that ends the trailer section is not the body's, and is left to the caller).
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
        FLineBytes = 0;
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
    // Bytes of the size line so far, or of the trailer section; whether the trailer line being
    // read holds anything besides a CR.
    std::size_t FLineBytes = 0;
    bool FTrailerLineUsed = false;
};

} // namespace cw
