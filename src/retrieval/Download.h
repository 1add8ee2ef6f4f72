#pragma once
// TfrmDownload: the window that shows one run. The main window hands it the list of item
// addresses (local file paths in the convert mode), sets the mode, the converter preset and how
// many items run at once, and shows it modally; the window starts a TRunPool with them and is a
// view of the pool's events, holding no run state of its own. The panels (the page panel with
// the address, the transfer panel with size, speed and time remaining or the pause before the
// next try, the conversion panel) and the caption's "(2/5)" follow the item started last; with
// more than one job a list below them has one row per running item (TRunRows). The pool's
// questions are answered with window-modal boxes that open without a loop of their own, so the
// other items go on meanwhile. The window closes when the run is over or stopped; the failures
// of items are then shown in one box. No page, transfer or conversion logic lives here.

#include "engine/RunPool.h"
#include "platform/gui/Form.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QFrame;
class QTreeView;

namespace Ui {
class TfrmDownload;
}

namespace cw {

class TRunRows;

class TfrmDownload : public TForm, private TPoolEvents {
public:
    // owner: the main window (the window centres on it). runOwner: where the folder, the
    // quality and the runner are read from; it must outlive the window. The list is copied.
    TfrmDownload(TForm* owner, const std::vector<std::string>& addressList, TRunOwner* runOwner);
    ~TfrmDownload() override;

    static constexpr unsigned WM_CLOSE = 0x0010;

    // ---- run fields (set by the caller before the window is shown)
    cw::JobMode JobMode = jmDownload;
    std::string ConvertExtension;
    std::string ConvertArguments;
    int Jobs = 1; // items at once, 1..8

    const TRunModel& Run() const { return FPool.Model(); }
    // Tests reach the run's engines through the pool (OnEngine, Engine(index)).
    TRunPool& Pool() { return FPool; }
    // The list of running items (shown with more than one job).
    const TRunRows& Rows() const { return *FRows; }
    std::string TotalSizeText;

    void ResetWindow();
    void bStopClick(TObject* Sender);

    // The transfer bar's range and position in bytes (the widget shows the percentage).
    std::int64_t ProgressMaximum() const;
    std::int64_t ProgressPosition() const;

    // Tests only: shorter limits and pauses than the engine's constants.
    void SetPollLimit(std::uint32_t ms) { FPool.SetPollLimit(ms); }
    void SetTransferIdleTimeout(int ms) { FPool.SetTransferIdleTimeout(ms); }
    void SetRetryDelays(std::vector<std::uint32_t> delaysMs) { FPool.SetRetryDelays(std::move(delaysMs)); }

protected:
    void WndProc(TMessage& msg) override;
    void FormShow() override;
    void FormClose(TCloseAction& action) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // TPoolEvents
    void ItemStarted(int index, const std::string& address) override;
    void StateChanged(int index, TJobState state) override;
    void TitleKnown(int index, const std::string& fileName, const std::string& downloadUrl) override;
    void TransferAttempt(int index, const std::string& name, std::int64_t offset) override;
    void TransferSize(int index, std::int64_t total) override;
    void TransferProgress(int index, std::int64_t bytes, std::int64_t total, const TRateSample* sample) override;
    void Waiting(int index, int secondsLeft, int attempt, int count) override;
    void ConvertStarted(int index, const std::string& outputName) override;
    void ConvertProgress(int index, int percent, const std::string& elapsed, const std::string& estimated) override;
    void ItemEnded(int index, TItemOutcome outcome, const std::string& failureLine) override;
    void RunEnded(TRunEnd how) override;
    void Alert(int index, TRunAlert kind, const std::string& text) override;
    void AskOverwrite(int index, const std::string& path, std::function<void(bool)> answer) override;
    void AskSignIn(int index, const std::string& text, std::function<void(TSignInAnswer)> answer) override;
    // The whole run's progress on the task bar, where the desktop shows it; hidden at the end.
    void ShowRunProgress();
    void HideRunProgress();
    // The panels follow the item started last.
    bool Followed(int index) const { return index == FPool.LastStarted(); }

    // Show one of the three panels and fit the client area to it.
    void ShowPanel(QFrame* panel);
    void SetFileNameLabel(const std::string& text);
    void SetBarMaximum(std::int64_t value);
    void SetBarPosition(std::int64_t value);
    void SetFileName(const std::string& text);
    void SetDownloadUrl(const std::string& text);

    std::unique_ptr<Ui::TfrmDownload> ui;
    TRunRows* FRows;         // owned by the window (Qt parent)
    QTreeView* FRowsView;    // shown with more than one job
    // The pool goes first (its destructor stops whatever still runs, and no event reaches the
    // half-destroyed window); the widgets and the rows after it.
    TRunPool FPool;
    char FDecimalSeparator = '.';
    bool FTransferShown = false;
    bool FClosed = false;
    int FTaskBarPercent = -1; // what the task bar shows, -1 nothing
};

} // namespace cw
