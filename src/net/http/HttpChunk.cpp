#include "net/http/HttpChunk.h"

#include "platform/Text.h"

#include <algorithm>

namespace cw {
namespace {
// No real chunk comes near this; a larger size is a broken or hostile peer, and refusing it
// keeps every count far from overflowing.
constexpr std::uint64_t kMaxChunkSize = std::uint64_t(1) << 56;
} // namespace

void THttpChunkDecoder::EndSizeLine(bool extension)
{
    FInExtension = extension;
    FSawCR = false;
    FState = csSizeLineEnd;
    if (OnChunkLength)
        OnChunkLength(FSize);
}

std::size_t THttpChunkDecoder::Decode(const char* block, std::size_t len,
                                      const std::function<bool(const char*, std::size_t)>& deliver)
{
    std::size_t i = 0;
    while (i < len && FState != httpChunkDone && FState != csError) {
        if ((FState == csSize || FState == csSizeLineEnd) && ++FLineBytes > MaxSizeLineBytes) {
            FState = csError;
            break;
        }
        switch (FState) {
        case csSize: {
            const char c = block[i];
            const int v = text::HexDigitValue(c);
            if (v >= 0 && !FAfterDigits) {
                if (FSize > (kMaxChunkSize - static_cast<unsigned>(v)) / 16) {
                    FState = csError;
                    break;
                }
                FSize = FSize * 16 + static_cast<unsigned>(v);
                ++FDigits;
                ++i;
            } else if (FDigits == 0) {
                FState = csError; // a sign, a blank line or text where the size belongs
            } else if (c == ' ' || c == '\t') {
                FAfterDigits = true;
                ++i;
            } else if (c == ';') {
                ++i;
                EndSizeLine(true);
            } else if (c == '\r' || c == '\n') {
                EndSizeLine(false); // the line end is read by the next state
            } else {
                FState = csError;
            }
            break;
        }
        case csSizeLineEnd: {
            const char c = block[i++];
            if (c == '\n')
                FState = csData;
            else if (FInExtension)
                break; // extensions are skipped unread
            else if (c == '\r' && !FSawCR)
                FSawCR = true;
            else
                FState = csError;
            break;
        }
        case csData: {
            std::uint64_t want = FSize - FReceived;
            std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(want, len - i));
            if (n > 0) {
                FReceived += n;
                i += n;
                if (!deliver(block + i - n, n))
                    return i;
            }
            if (FReceived >= FSize) {
                FSawCR = false;
                if (FSize == 0) {
                    // The last chunk: its size line's end was the end of the data, and the
                    // trailer section follows.
                    FState = csTrailer;
                    FLineBytes = 0;
                    FTrailerLineUsed = false;
                } else {
                    FState = csDataLineEnd;
                }
            }
            break;
        }
        case csDataLineEnd: {
            const char c = block[i++];
            if (c == '\n') {
                FState = csSize;
                FSize = 0;
                FReceived = 0;
                NewSizeLine();
            } else if (c == '\r' && !FSawCR) {
                FSawCR = true;
            } else {
                FState = csError; // the chunk held more than its size said
            }
            break;
        }
        case csTrailer: {
            // Field lines are skipped unread; the empty line ends the body. Until then the
            // next response cannot begin on this connection.
            const char c = block[i++];
            if (++FLineBytes > MaxTrailerBytes) {
                FState = csError;
            } else if (c == '\n') {
                if (!FTrailerLineUsed) {
                    FState = httpChunkDone;
                    FSize = 0;
                    FReceived = 0;
                    NewSizeLine();
                }
                FTrailerLineUsed = false;
            } else if (c != '\r') {
                FTrailerLineUsed = true;
            }
            break;
        }
        case httpChunkDone:
        case csError:
            break;
        }
    }
    return i;
}

} // namespace cw
