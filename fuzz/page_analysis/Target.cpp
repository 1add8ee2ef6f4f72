// Watch pages as the page stage reads them: the first byte picks the item's address, the rest
// is the page, cut at "\n--read--\n" into the successive reads of one item (each read is the
// whole page so far, as the stage sees it). Every pass must give one of its four outcomes and
// keep the item state's promises.

#include "FuzzSupport.h"

#include "engine/PageAnalysis.h"

namespace {

const char* const kAddresses[] = {
    "http://www.youtube.com/watch?v=abc&feature=related",
    "http://www.metacafe.com/watch/123/clip/",
    "http://video.google.com/videoplay?docid=1",
    "http://www.youtube.com/watch?v=x&from=video.google.com&metacafe.com",
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    cwfuzz::SilenceMessageBoxes();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::string address = kAddresses[data[0] % std::size(kAddresses)];
    std::vector<std::string> reads = cwfuzz::Split(data + 1, size - 1, "\n--read--\n", 6);

    cw::TPageItemState state{"", "", (data[0] & 0x80) != 0, cw::jmDownloadConvert};
    std::string page;
    for (const std::string& more : reads) {
        page += more;
        const cw::TPageItemState before = state;
        cw::TAnalysisResult r = cw::AnalysePage(address, page, state);
        if (r != cw::arIncomplete && r != cw::arComplete && r != cw::arAgeRestricted && r != cw::arUnavailable)
            cwfuzz::Fail("an outcome outside the four");
        if (r == cw::arComplete && state.DownloadUrl.empty())
            cwfuzz::Fail("complete without a download address");
        if (before.HdAvailable && !state.HdAvailable)
            cwfuzz::Fail("HD availability was taken back");
        if ((r == cw::arAgeRestricted || r == cw::arUnavailable) &&
            (state.FileName != before.FileName || state.DownloadUrl != before.DownloadUrl))
            cwfuzz::Fail("an ending outcome changed the item");
        if (state.FileName.find('/') != std::string::npos && address.find("youtube") != std::string::npos &&
            address.find("metacafe") == std::string::npos && address.find("google") == std::string::npos)
            cwfuzz::Fail("a YouTube file name holds a slash");
    }
    return 0;
}
