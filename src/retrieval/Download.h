#pragma once
// TfrmDownload: the window that carries out one run. The main window hands it the list of item
// addresses (local file paths in the convert mode), sets the mode and the converter preset, and
// shows it modally; the window then walks the list by itself and closes when it is done or
// stopped. Each stage is the handler of a message the window posts to itself, so every stage
// starts from the modal loop after the previous handler has returned:
//
//   WM_FETCH_PAGE      page stage: skip non-video addresses, load the watch page, analyse it
//   WM_START_DOWNLOAD  transfer stage: output path, HTTP GET into the file, progress
//   WM_CONVERT_START   conversion stage: start the converter on the file just downloaded
//   WM_CONVERT_PROGRESS a status record of the converter runner
//
// The run itself (items, current index, outcomes, failure lines, what comes next) is a
// TRunModel; the stages only do their work and hand the outcome to it. Failures of items are
// collected there and shown in one box when the window closes.

#include "browser/WebBrowser.h"
#include "global/Global.h"
#include "net/http/HttpProt.h"
#include "platform/gui/Form.h"
#include "retrieval/PartFile.h"
#include "retrieval/RunModel.h"

#include <exception>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

class QLabel;
class QLineEdit;
class QFrame;
class QPushButton;

namespace Ui {
class TfrmDownload;
}

namespace cw {

class TConvertProcess;

constexpr unsigned WM_START_DOWNLOAD = 0x1601;
constexpr unsigned WM_FETCH_PAGE = 0x1605;
constexpr unsigned WM_CONVERT_START = 0x1607;

// What the download window reads from the main window while a run goes on. The output folder
// text and the quality level are read anew for every item, never copied at the start.
class TRunOwner {
public:
    virtual ~TRunOwner() = default;
    // The text of the output folder box, as typed.
    virtual std::string OutputFolderText() const = 0;
    // FQuality: a VideoQuality value.
    virtual int Quality() const = 0;
    // The program's single converter runner (nullptr when there is none).
    virtual TConvertProcess* ConvertRunner() const = 0;
};

class TfrmDownload : public TForm {
public:
    // owner: the main window (the window centres on it). runOwner: where the folder, the
    // quality and the runner are read from; it must outlive the window. The list is copied.
    TfrmDownload(TForm* owner, const std::vector<std::string>& addressList, TRunOwner* runOwner);
    ~TfrmDownload() override;

    static constexpr unsigned WM_CLOSE = 0x0010;
    // The page text that stands for "the document could not be read".
    static const char* const ReadFailureText;
    // How long a page is polled after it became interactive.
    static constexpr std::uint32_t PollLimitMs = 30000;
    // A transfer that receives nothing for this long counts as a broken connection.
    static constexpr int TransferIdleTimeoutMs = 60000;
    // The pauses before asking again for the rest of a file whose connection broke; one try
    // after each.
    static constexpr std::uint32_t RetryDelaysMs[] = {1000, 2000, 4000, 8000, 16000};

    // ---- run fields (set by the caller before the window is shown)
    // The run's mode. It holds for the whole run; which items it converts is the run model's
    // per-item rule.
    cw::JobMode JobMode = jmDownload;
    std::string ConvertExtension;
    std::string ConvertArguments;

    // ---- state of the run
    const TRunModel& Run() const { return FModel; }
    std::string TotalSizeText;
    std::uint32_t RateTick = 0;
    std::int64_t RateCount = 0;
    TWebBrowser* ActiveBrowser = nullptr;
    bool HdAvailable = false;
    bool StopRequested = false;

    // ---- operations
    void ResetWindow();
    // The one way from an ended item to the next: the run model decides what comes next.
    void NextItem();
    void bStopClick(TObject* Sender);
    // The document of browser as 8-bit text; ReadFailureText when it cannot be read.
    std::string ReadPageText(TWebBrowser* browser);
    void ResetBrowser(TWebBrowser* browser);

    void HttpCli1HeaderData(TObject* Sender);
    void HttpCli1DocBegin(TObject* Sender);
    void HttpCli1DocData(TObject* Sender, const char* Buffer, int Len);

    // ---- parts, for the stages and for tests
    TWebBrowser& WebBrowser_1() { return FWebBrowser1; }
    TWebBrowser& WebBrowser_2() { return FWebBrowser2; }
    THttpCli& HttpCli1() { return *FHttpCli1; }
    // The transfer bar's range and position in bytes (the widget shows the percentage).
    std::int64_t ProgressMaximum() const;
    std::int64_t ProgressPosition() const;
    std::string FileNameText() const;    // eFileName
    std::string DownloadUrlText() const; // eDownloadUrl

    // Tests only: a shorter poll limit than PollLimitMs.
    void SetPollLimit(std::uint32_t ms) { FPollLimitMs = ms; }
    // Tests only: a shorter idle limit for the transfer, and shorter pauses between tries.
    void SetTransferIdleTimeout(int ms);
    void SetRetryDelays(std::vector<std::uint32_t> delaysMs) { FRetryDelays = std::move(delaysMs); }

protected:
    void WndProc(TMessage& msg) override;
    void FormShow() override;
    void FormClose(TCloseAction& action) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // Stages.
    void FetchPage();
    void RetrievePage(const std::string& address);
    void StartDownload();
    // One file: into its .part, resumed where the connection broke, renamed when complete.
    struct TTransferResult {
        bool Done = false;
        bool Stopped = false;
        std::string Reason; // why it failed, in plain words
        std::string Line;   // a failure line of its own, when the reason is not the transfer's
    };
    TTransferResult TransferFile(const std::string& finalPath);
    // The file could not be created or take its name: shown once, and the item's own line.
    TTransferResult SaveFailure(const std::exception& e);
    std::string NoResponseReason(std::uint16_t code, const std::string& message) const;
    // Pause before the next try, pumping messages; false when the run was stopped meanwhile.
    bool WaitBeforeRetry(std::uint32_t ms, int attempt, int count);
    void EndOfItem();
    void ConvertStart();
    void ConvertProgress(LPARAM lParam);
    // Start the converter on inputPath. When it cannot start, the item gets its failure line,
    // the reason is shown once per run, and false comes back (the caller moves on).
    bool StartFile(const std::string& inputPath);
    // Convert-only runs: start the current entry, which must be a local regular file.
    bool StartLocalFile();
    void Proceed(TRunStep step);
    // Show one of the three panels and fit the client area to it.
    void ShowPanel(QFrame* panel);
    // The quality level as it applies to the current item (vqNormal where it does not).
    int ItemQuality() const;

    // Handle what is pending, waiting briefly when nothing is; true when the run must stop.
    bool PumpOnce();
    bool Stopping() const;
    // Stop's work without ending the modal loop (the title bar's close ends it itself).
    void AbortRunningWork();
    void SetBarMaximum(std::int64_t value);
    void SetBarPosition(std::int64_t value);
    void SetFileName(const std::string& text);
    void SetDownloadUrl(const std::string& text);
    std::string OutputFolder() const;
    TConvertProcess* Runner() const;

    std::unique_ptr<Ui::TfrmDownload> ui;
    TRunOwner* FRunOwner;
    TRunModel FModel;
    TWebBrowser FWebBrowser1;
    TWebBrowser FWebBrowser2;
    std::unique_ptr<THttpCli> FHttpCli1;
    std::uint32_t FPollLimitMs = PollLimitMs;
    char FDecimalSeparator = '.';
    // The file the last transfer attempt of the current item wrote ("" when none was made).
    std::string FTransferPath;
    std::vector<std::uint32_t> FRetryDelays{std::begin(RetryDelaysMs), std::end(RetryDelaysMs)};
    // The attempt running now: its .part file, where it continued, what the answer turned out
    // to be, and what the first answer said about the resource.
    enum TAnswer { anNone, anAppend, anFresh, anMismatch };
    TFileStream* FPartStream = nullptr;
    std::string FPartMetaPath;
    std::int64_t FResumeOffset = 0;
    std::int64_t FExpectedTotal = -1;
    TAnswer FAnswer = anNone;
    TPartMeta FKept;
    std::uint16_t FLastRequestError = 0;
    std::string FFileName;    // eFileName
    std::string FDownloadUrl; // eDownloadUrl
    bool FClosed = false;
    // The box for a converter that could not be started has been shown in this run.
    bool FConvertStartReported = false;
};

} // namespace cw
