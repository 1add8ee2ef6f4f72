#pragma once
// TfrmDownload: the window that shows one run. The main window hands it the list of item
// addresses (local file paths in the convert mode), sets the mode and the converter preset, and
// shows it modally; the window starts a TRunEngine with them and shows what the engine reports:
// the page panel with the address, the transfer panel with size, speed and time remaining (or
// the pause before the next try), the conversion panel, the item's place in the caption. It
// answers the engine's question with today's box, and closes when the run is over or stopped;
// the failures of items are then shown in one box. No page, transfer or conversion logic lives
// here.

#include "engine/RunEngine.h"
#include "platform/gui/Form.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QFrame;

namespace Ui {
class TfrmDownload;
}

namespace cw {

class TfrmDownload : public TForm, private TRunEvents {
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

    const TRunModel& Run() const { return FEngine.Model(); }
    TRunEngine& Engine() { return FEngine; }
    std::string TotalSizeText;

    void ResetWindow();
    void bStopClick(TObject* Sender);

    // The transfer bar's range and position in bytes (the widget shows the percentage).
    std::int64_t ProgressMaximum() const;
    std::int64_t ProgressPosition() const;
    std::string FileNameText() const;    // eFileName
    std::string DownloadUrlText() const; // eDownloadUrl

    // Tests only: shorter limits and pauses than the engine's constants.
    void SetPollLimit(std::uint32_t ms) { FEngine.SetPollLimit(ms); }
    void SetTransferIdleTimeout(int ms) { FEngine.SetTransferIdleTimeout(ms); }
    void SetRetryDelays(std::vector<std::uint32_t> delaysMs) { FEngine.SetRetryDelays(std::move(delaysMs)); }

protected:
    void WndProc(TMessage& msg) override;
    void FormShow() override;
    void FormClose(TCloseAction& action) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // TRunEvents
    void ItemStarted(int index, const std::string& address) override;
    void StateChanged(int index, TJobState state) override;
    void TitleKnown(const std::string& fileName, const std::string& downloadUrl) override;
    void TransferAttempt(const std::string& name, std::int64_t offset) override;
    void TransferSize(std::int64_t total) override;
    void TransferProgress(std::int64_t bytes, std::int64_t total, const TRateSample* sample) override;
    void Waiting(int secondsLeft, int attempt, int count) override;
    void ConvertStarted(const std::string& outputName) override;
    void ConvertProgress(int percent, const std::string& elapsed, const std::string& estimated) override;
    void RunEnded(TRunEnd how) override;
    void Alert(TRunAlert kind, const std::string& text) override;
    void AskOverwrite(int index, const std::string& path, std::function<void(bool)> answer) override;

    // Show one of the three panels and fit the client area to it.
    void ShowPanel(QFrame* panel);
    void SetFileNameLabel(const std::string& text);
    void SetBarMaximum(std::int64_t value);
    void SetBarPosition(std::int64_t value);
    void SetFileName(const std::string& text);
    void SetDownloadUrl(const std::string& text);

    std::unique_ptr<Ui::TfrmDownload> ui;
    TRunEngine FEngine;
    char FDecimalSeparator = '.';
    bool FTransferShown = false;
    std::string FAgeNote; // told once the run has ended
    bool FClosed = false;
};

} // namespace cw
