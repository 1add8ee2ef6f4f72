#include "engine/RunModel.h"

#include "platform/Text.h"

namespace cw {

TVideoSite SiteOfAddress(const std::string& address)
{
    // The same order as the page analysis: the first site whose domain the address holds.
    if (text::ContainsNoCase(address, YoutubeDomain))
        return vsYoutube;
    if (text::ContainsNoCase(address, MetacafeDomain))
        return vsMetacafe;
    if (text::ContainsNoCase(address, GoogleDomain))
        return vsGoogleVideo;
    return vsNone;
}

TRunModel::TRunModel(const std::vector<std::string>& items, JobMode mode) : FMode(mode)
{
    FItems.reserve(items.size());
    for (const std::string& address : items)
        FItems.push_back(TRunItem{address, ioPending, std::string()});
}

bool TRunModel::ConvertsAfterTransfer() const
{
    // Google Video files are kept as they come; the rest of the run is still converted.
    return FMode == jmDownloadConvert && !AtEnd() && Site() != vsGoogleVideo && Item(FIndex).Outcome != ioFailed;
}

void TRunModel::Succeed()
{
    if (!AtEnd() && Current().Outcome == ioPending)
        Current().Outcome = ioDone;
}

void TRunModel::Skip()
{
    if (!AtEnd() && Current().Outcome == ioPending)
        Current().Outcome = ioSkipped;
}

void TRunModel::Fail(const std::string& line, const std::string& reason)
{
    if (AtEnd() || Current().Outcome == ioFailed)
        return;
    Current().Outcome = ioFailed;
    if (!reason.empty())
        Current().Reason = reason;
    AddFailureLine(FIndex, line);
}

void TRunModel::AddFailureLine(int index, const std::string& line)
{
    std::size_t at = FFailureItems.size();
    while (at > 0 && FFailureItems[at - 1] > index)
        --at;
    FFailureItems.insert(FFailureItems.begin() + static_cast<std::ptrdiff_t>(at), index);
    FFailureLines.insert(FFailureLines.begin() + static_cast<std::ptrdiff_t>(at), line);
}

void TRunModel::SetCurrent(int index)
{
    if (index >= 0 && index < Count())
        FIndex = index;
}

void TRunModel::Record(int index, TItemOutcome outcome, const std::string& line, const std::string& reason)
{
    if (index < 0 || index >= Count())
        return;
    TRunItem& item = FItems[static_cast<std::size_t>(index)];
    if (item.Outcome == ioFailed || outcome == ioPending)
        return;
    item.Outcome = outcome;
    if (!reason.empty())
        item.Reason = reason;
    if (outcome == ioFailed)
        AddFailureLine(index, line);
}

void TRunModel::SetPageReason(const std::string& reason)
{
    if (!AtEnd())
        Current().Reason = reason;
}

void TRunModel::FailNoVideo()
{
    if (AtEnd())
        return;
    const std::string& reason = Current().Reason;
    Fail("Unable get html from " + Address() + (reason.empty() ? std::string() : ": " + reason));
}

TRunStep TRunModel::StepFor() const
{
    if (AtEnd())
        return rsClose;
    return FMode == jmConvert ? rsConvertFile : rsFetchPage;
}

TRunStep TRunModel::FirstStep() const
{
    return StepFor();
}

TRunStep TRunModel::Advance()
{
    if (AtEnd())
        return rsClose;
    ++FIndex;
    return StepFor();
}

std::string TRunModel::Caption(const std::string& title) const
{
    return title + " (" + std::to_string(FIndex + 1) + "/" + std::to_string(Count()) + ")";
}

int TRunModel::FailedCount() const
{
    int n = 0;
    for (const TRunItem& item : FItems)
        n += item.Outcome == ioFailed;
    return n;
}

std::string TRunModel::FailureSummary() const
{
    if (FFailureLines.empty())
        return std::string();
    const int failed = FailedCount();
    std::string text = std::to_string(failed) + " of " + std::to_string(Count()) + (Count() == 1 ? " item" : " items") +
                       " failed:\r\n";
    for (const std::string& line : FFailureLines)
        text += line + "\r\n";
    return text;
}

int TRunModel::CountOf(TItemOutcome outcome) const
{
    int n = 0;
    for (const TRunItem& item : FItems)
        n += item.Outcome == outcome ? 1 : 0;
    return n;
}

std::string TRunModel::EndNotice() const
{
    const int done = CountOf(ioDone);
    const int failed = FailedCount();
    const int skipped = CountOf(ioSkipped);
    std::string text = std::to_string(done) + (done == 1 ? " video " : " videos ") +
                       (Mode() == jmConvert ? "converted" : "saved");
    if (failed > 0)
        text += ", " + std::to_string(failed) + " failed";
    if (skipped > 0)
        text += ", " + std::to_string(skipped) + " skipped";
    return text;
}

} // namespace cw
