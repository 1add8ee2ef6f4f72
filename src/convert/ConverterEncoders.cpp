#include "convert/ConverterEncoders.h"

#include "platform/Process.h"
#include "platform/Text.h"

#include <chrono>
#include <fcntl.h>
#include <map>
#include <unistd.h>

namespace cw {

namespace {

// One listing is read at most; a converter that writes without end is not waited for.
constexpr std::size_t MaxListing = 1 << 20;

void ReadAvailable(THandle h, std::string& out)
{
    std::int32_t count = 0;
    while (BytesAvailable(h, count) == 0 && count > 0 && out.size() < MaxListing) {
        std::string chunk(static_cast<std::size_t>(count), '\0');
        int got = 0;
        if (ReadHandle(h, chunk.data(), count, got) != 0 || got <= 0)
            return;
        out.append(chunk, 0, static_cast<std::size_t>(got));
    }
}

} // namespace

std::string ProgramOutput(const std::vector<std::string>& args, int timeoutMs)
{
    THandle outRead = InvalidHandle, outWrite = InvalidHandle;
    if (CreatePipe(outRead, outWrite) != 0)
        return {};
    THandle nullIn = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    std::string out;
    TProcess child;
    if (nullIn >= 0 && MoveAboveStdHandles(outWrite) == 0 && MoveAboveStdHandles(nullIn) == 0 &&
        SetNonBlocking(outRead) == 0 && child.Start(args, nullIn, outWrite, nullIn) == 0) {
        CloseHandle(outWrite); // the child's end: its closing is the end of the listing
        THandle wait = child.DuplicateWaitHandle();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        bool ended = false;
        while (!ended && std::chrono::steady_clock::now() < deadline) {
            ReadAvailable(outRead, out);
            ended = WaitForChild(wait, 20) == WAIT_OBJECT_0;
        }
        CloseHandle(wait);
        if (ended) {
            ReadAvailable(outRead, out);
            if (child.Close() != 0)
                out.clear();
        } else {
            child.Kill();
            out.clear();
        }
    }
    CloseHandle(outRead);
    CloseHandle(outWrite);
    CloseHandle(nullIn);
    return out;
}

bool ListsAmrNbEncoder(const std::string& listing)
{
    // Lines read " A..... name   Description (codec id)"; the codec id is named only when it
    // differs from the encoder's name.
    std::size_t pos = 0;
    while (pos < listing.size()) {
        std::size_t end = listing.find('\n', pos);
        if (end == std::string::npos)
            end = listing.size();
        const std::string line = text::Lower(listing.substr(pos, end - pos));
        pos = end + 1;
        std::size_t flags = line.find_first_not_of(' ');
        if (flags == std::string::npos || line[flags] != 'a')
            continue;
        std::size_t nameStart = line.find(' ', flags);
        nameStart = nameStart == std::string::npos ? nameStart : line.find_first_not_of(' ', nameStart);
        if (nameStart == std::string::npos)
            continue;
        const std::string name = line.substr(nameStart, line.find(' ', nameStart) - nameStart);
        if (name == "amr_nb" || name.find("amrnb") != std::string::npos ||
            line.find("(codec amr_nb)") != std::string::npos)
            return true;
    }
    return false;
}

bool ConverterHasAmrNbEncoder(const std::string& programPath)
{
    // Only the user-interface thread starts conversions.
    static std::map<std::string, bool> known;
    auto it = known.find(programPath);
    if (it != known.end())
        return it->second;
    const bool has = ListsAmrNbEncoder(ProgramOutput({programPath, "-hide_banner", "-encoders"}, 10000));
    known.emplace(programPath, has);
    return has;
}

void AdaptToConverter(std::vector<std::string>& args, const std::string& programPath)
{
    if (args.size() < 2 || programPath.empty() || !text::EndsWithNoCase(args.back(), ".3gp"))
        return;
    for (std::size_t i = 1; i + 1 < args.size(); ++i) {
        const std::string a = text::Lower(args[i]);
        if (a == "-acodec" || a == "-c:a" || a == "-codec:a" || a == "-an")
            return; // the arguments chose for themselves
    }
    if (!ConverterHasAmrNbEncoder(programPath))
        args.insert(args.end() - 1, {"-acodec", "aac"});
}

} // namespace cw
