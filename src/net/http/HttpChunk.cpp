#include "net/http/HttpChunk.h"

#include <algorithm>

namespace cw {
namespace {
int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
// A size beyond this is nonsense from the peer; it is held here instead of overflowing, and
// the transfer then simply runs until the connection closes.
constexpr std::uint64_t kMaxChunkSize = std::uint64_t(1) << 56;
} // namespace

std::size_t THttpChunkDecoder::Decode(const char* block, std::size_t len,
                                      const std::function<bool(const char*, std::size_t)>& deliver)
{
    std::size_t i = 0;
    while (i < len && FState != httpChunkDone) {
        switch (FState) {
        case csSize: {
            int v = HexValue(block[i]);
            if (v < 0) {
                FState = csSizeLineEnd;
                if (OnChunkLength)
                    OnChunkLength(FSize);
                break; // the character is consumed by the next state
            }
            FSize = std::min(FSize * 16 + static_cast<unsigned>(v), kMaxChunkSize);
            ++i;
            break;
        }
        case csSizeLineEnd:
            if (block[i++] == '\n')
                FState = csData;
            break;
        case csData: {
            std::uint64_t want = FSize - FReceived;
            std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(want, len - i));
            if (n > 0) {
                FReceived += n;
                i += n;
                if (!deliver(block + i - n, n))
                    return i;
            }
            if (FReceived >= FSize)
                FState = csDataLineEnd;
            break;
        }
        case csDataLineEnd:
            if (block[i++] == '\n') {
                FState = FSize == 0 ? httpChunkDone : csSize;
                FSize = 0;
                FReceived = 0;
            }
            break;
        case httpChunkDone:
            break;
        }
    }
    return i;
}

} // namespace cw
