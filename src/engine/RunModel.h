#pragma once
// TRunModel: the state of one run of the download window, free of widgets. It holds the items,
// the current index, each item's outcome and reason, the failure lines, and decides what comes
// after an item: the next page, the next local file, or the end of the run. The page, transfer
// and conversion stages all move on through Advance(), so the rules for skipping, converting
// and closing live in one place.
//
// Per-item rules that depend on the site the address belongs to live here too: the quality
// level changes the request and the file extension of YouTube items only, and a Google Video
// item is downloaded without conversion while later items of the run still are converted.

#include "global/Global.h"

#include <string>
#include <vector>

namespace cw {

// The site an item's address belongs to, by the address alone (as the page analysis decides).
enum TVideoSite { vsNone, vsYoutube, vsMetacafe, vsGoogleVideo };
TVideoSite SiteOfAddress(const std::string& address);

enum TItemOutcome {
    ioPending, // not reached, or still running
    ioDone,    // ended as the user asked
    ioSkipped, // not a video address, or the user kept an existing file
    ioFailed,  // ended with a failure line
};

// What the window does after an item has ended.
enum TRunStep {
    rsFetchPage,   // post the page stage for the new current item
    rsConvertFile, // start converting the new current local file (convert-only runs)
    rsClose,       // the run is over: close the window
};

struct TRunItem {
    std::string Address; // the address (a local file path in convert-only runs)
    TItemOutcome Outcome = ioPending;
    std::string Reason; // why the item failed, or why its page gave no video
};

class TRunModel {
public:
    explicit TRunModel(const std::vector<std::string>& items, JobMode mode = jmDownload);

    JobMode Mode() const { return FMode; }
    void SetMode(JobMode mode) { FMode = mode; }

    int Count() const { return static_cast<int>(FItems.size()); }
    int Index() const { return FIndex; }
    bool AtEnd() const { return FIndex >= Count(); }
    const TRunItem& Item(int index) const { return FItems.at(static_cast<std::size_t>(index)); }
    // The current item's address.
    const std::string& Address() const { return Item(FIndex).Address; }
    TVideoSite Site() const { return SiteOfAddress(Address()); }

    // The quality level changes the address requested and the saved file's extension.
    bool QualityApplies() const { return Site() == vsYoutube; }
    // The current item goes to the converter after a successful transfer.
    bool ConvertsAfterTransfer() const;

    // Outcomes of the current item. Fail keeps the first failure of an item: the line the user
    // sees names the cause, not what followed from it.
    void Succeed();
    void Skip();
    void Fail(const std::string& line, const std::string& reason = std::string());
    // Why the current item's page gave no direct address; used by FailNoVideo.
    void SetPageReason(const std::string& reason);
    // The item's page gave no direct address: "Unable get html from <address>: <reason>".
    void FailNoVideo();

    // The step that starts the run.
    TRunStep FirstStep() const;
    // Move to the next item and say what comes next. The item's outcome is whatever its stages
    // said: one still pending stays pending (the engine reports it as a failure).
    TRunStep Advance();

    // Several items at once (TRunPool): the item started last is the current one, and each
    // item's outcome is recorded when it ends. Failure lines keep the list's order whatever
    // order the items end in.
    void SetCurrent(int index);
    void Record(int index, TItemOutcome outcome, const std::string& line, const std::string& reason);

    // "<title> (2/5)" for the current item.
    std::string Caption(const std::string& title) const;

    const std::vector<std::string>& FailureLines() const { return FFailureLines; }
    int FailedCount() const;
    // Items that ended so ("done", "skipped").
    int CountOf(TItemOutcome outcome) const;
    // The run's end in a few words, for a notice on the desktop: "3 videos saved, 1 failed"
    // ("converted" for a convert-only run, "1 video", skipped items named too).
    std::string EndNotice() const;
    // The end-of-run report: how many items failed, then one line each, every line ending in
    // CR LF. Empty when nothing failed.
    std::string FailureSummary() const;

private:
    TRunItem& Current() { return FItems.at(static_cast<std::size_t>(FIndex)); }
    TRunStep StepFor() const;
    void AddFailureLine(int index, const std::string& line);

    std::vector<TRunItem> FItems;
    std::vector<std::string> FFailureLines;
    std::vector<int> FFailureItems; // the item of each failure line
    JobMode FMode;
    int FIndex = 0;
};

} // namespace cw
