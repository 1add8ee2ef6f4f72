// The page stage: load the item's watch page in the active browser and analyse it again and
// again while it builds up, until the title and the direct address are known.

#include "platform/Application.h"
#include "platform/Log.h"
#include "platform/TickCount.h"
#include "platform/gui/QtGlue.h"
#include "retrieval/Download.h"
#include "retrieval/DownloadText.h"
#include "retrieval/PageAnalysis.h"
#include "ui_Download.h"

#include <new>

namespace cw {
namespace {
// How long the pump waits for the next message when none is pending. Short enough that the
// page is read again soon after data arrives, long enough not to burn a core while waiting.
constexpr int kPumpWaitMs = 20;
// The first text block the document is saved into; the stream grows past it when needed.
constexpr std::int64_t kInitialTextBuffer = 65536;
} // namespace

const char* const TfrmDownload::ReadFailureText = "Except-error-Clipwarden";

bool TfrmDownload::Stopping() const
{
    // Stop sets abort; the title bar's close sets cancel: either ends the stage at once.
    return ModalResult() != mrNone || Application::Terminated();
}

bool TfrmDownload::PumpOnce()
{
    Application::WaitMessage(kPumpWaitMs);
    return Stopping();
}

std::string TfrmDownload::ReadPageText(TWebBrowser* browser)
{
    TWebDocument* document = browser->Document();
    if (!document)
        return std::string();
    TMemoryStream stream;
    try {
        stream.SetSize(kInitialTextBuffer); // zero-filled
        stream.SetPosition(0);
    } catch (const std::bad_alloc&) {
        ui->Label1->setText("Unable get html from the url. Please try again later!");
        return ReadFailureText;
    }
    try {
        document->Save(stream);
        const std::string& data = stream.DataString();
        const std::size_t end = data.find('\0');
        return end == std::string::npos ? data : data.substr(0, end);
    } catch (...) {
        LogCaught("download window", "reading the page's text");
        return ReadFailureText;
    }
}

void TfrmDownload::ResetBrowser(TWebBrowser* browser)
{
    browser->Navigate2("about:blank");
    browser->SetOffline(true);
}

void TfrmDownload::FetchPage()
{
    try {
        ResetWindow();
        SetCaption(FModel.Caption(Application::Title()));
        HdAvailable = false;
        FTransferPath.clear();
        if (ModalResult() == mrAbort)
            return;
        const std::string address = FModel.Address();
        ui->lUrl->setText(ToQt(address));
        if (!IsVideoAddress(address)) {
            FModel.Skip();
            NextItem();
            return;
        }
        RetrievePage(address);
    } catch (const std::exception& e) {
        // One bad item must not leave the window waiting on the page panel: it gets its line
        // and the run goes on.
        if (!Stopping()) {
            FModel.Fail("Unable get html from " + FModel.Address() + ": " + e.what(), e.what());
            NextItem();
        }
    } catch (...) {
        LogCaught("download window", "page stage of item " + std::to_string(FModel.Index() + 1));
        if (!Stopping()) {
            FModel.Fail("Unable get html from " + FModel.Address() + ": unexpected error", "unexpected error");
            NextItem();
        }
    }
}

void TfrmDownload::RetrievePage(const std::string& address)
{
    // Why the last attempt ended without a direct address, for the item's failure line.
    std::string reason;
    for (int attempt = 1;; ++attempt) {
        int switches = 0;
        bool navigate = true;
        while (navigate) {
            navigate = false;
            ActiveBrowser->Navigate(address);
            while (ActiveBrowser->ReadyState() < READYSTATE_INTERACTIVE) {
                if (PumpOnce())
                    return;
            }
            const std::uint32_t pollStart = GetTickCount();
            std::uint64_t lastVersion = 0;
            reason = "the page did not finish loading within " + std::to_string(FPollLimitMs / 1000) + " seconds";
            for (;;) {
                if (Stopping())
                    return;
                if (GetTickCount() - pollStart > FPollLimitMs)
                    break;
                if (PumpOnce())
                    return;
                // The same text gives the same outcome: a pass on a page that has not changed
                // since the last (incomplete) one is skipped rather than repeated.
                const TWebDocument* document = ActiveBrowser->Document();
                if (document && document->Version() == lastVersion)
                    continue;
                lastVersion = document ? document->Version() : 0;
                // Taken before the read: when the load had already ended, this pass sees the
                // whole page, and no later read can bring anything new.
                const bool loadEnded = ActiveBrowser->ReadyState() == READYSTATE_COMPLETE;
                const std::string text = ReadPageText(ActiveBrowser);
                if (text == ReadFailureText) {
                    if (switches == 1) {
                        PostMessage(WM_CLOSE);
                        return;
                    }
                    // Load the page again in the other browser, which stays in use for the
                    // rest of the run.
                    ResetBrowser(ActiveBrowser);
                    ActiveBrowser = &FWebBrowser2;
                    switches = 1;
                    navigate = true;
                    break;
                }
                TPageItemState state;
                state.FileName = FileNameText();
                state.DownloadUrl = DownloadUrlText();
                state.HdAvailable = HdAvailable;
                state.Mode = JobMode;
                const TAnalysisResult result = AnalysePage(address, text, state);
                SetFileName(state.FileName);
                SetDownloadUrl(state.DownloadUrl);
                HdAvailable = state.HdAvailable;
                // state.Mode is not taken back: whether an item is converted is the run model's
                // per-item rule, and one Google Video item must not change the rest of the run.
                if (result == arAgeRestricted) {
                    bStopClick(this);
                    return;
                }
                if (result == arUnavailable) {
                    reason = "the site says this functionality is not available right now";
                    break;
                }
                if (result != arIncomplete)
                    break;
                if (loadEnded) {
                    // Waiting cannot help: the page is all there (or the load failed) and
                    // holds no video.
                    reason = ActiveBrowser->LoadError() != leNone ? ActiveBrowser->LoadErrorText()
                                                                  : "no video found on the page";
                    break;
                }
            }
        }
        ResetBrowser(ActiveBrowser);
        if (!DownloadUrlText().empty() || attempt >= 2)
            break;
    }
    if (DownloadUrlText().empty())
        FModel.SetPageReason(reason);
    if (FileNameText().empty())
        SetFileName("get_video.flv");
    PostMessage(WM_START_DOWNLOAD);
}

} // namespace cw
