#include "cli/CliRun.h"

#include "convert/ConvertThread.h"
#include "convert/FormatPresets.h"
#include "engine/DownloadText.h"
#include "engine/RunEngine.h"

#include <QTimer>

#include <algorithm>
#include <iterator>
#include <thread>

namespace cw {

// The name the engine gives an item whose page named no file: nothing is ever saved under it
// unless the page also gave a direct address.
constexpr const char* kNoTitleName = "get_video.flv";

// One item: the engine's owner and listener.
class TCliJob : private TRunOwner, private TRunEvents {
public:
    TCliJob(TCliRun& run, int item, const TCliItem& entry) : FRun(run), FItem(item), FEntry(entry)
    {
        // Every item may need the converter: a stream's tracks are joined by it.
        FRunner = std::make_unique<TConvertProcess>();
        TRunOwner* owner = this;
        TRunEvents& events = *this;
        FEngine = std::make_unique<TRunEngine>(std::vector<std::string>{entry.Entry}, owner, events);
        const TCliOptions& o = run.Options();
        FEngine->SetJob(run.Mode(), o.Preset >= 0 ? FormatExtension(FormatCaptions()[o.Preset]) : std::string(),
                        FormatArguments(o.Preset));
        if (o.Retries >= 0)
            FEngine->SetRetryDelays(run.RetryDelays());
        if (o.TimeoutSeconds > 0) {
            FEngine->SetTransferIdleTimeout(o.TimeoutSeconds * 1000);
            FEngine->SetPageIdleTimeout(o.TimeoutSeconds * 1000);
        }
    }

    void Start() { FEngine->Start(); }
    void Stop() { FEngine->Stop(); }

private:
    // TRunOwner
    std::string OutputFolderText() const override { return FRun.Folder(); }
    int Quality() const override { return FRun.Options().Quality; }
    TConvertProcess* ConvertRunner() const override { return FRunner.get(); }
    int Connections() const override { return FRun.Options().Connections; }
    TConvertGate* ConvertGate() const override { return &FRun.Gate(); }
    TNameClaims* NameClaims() const override { return &FRun.Claims(); }
    std::string NameTemplate() const override { return FRun.Options().NameTemplate; }
    bool ReplacesSavedFiles() const override { return FRun.Options().Overwrite; }
    bool KeepsDownload() const override { return FRun.KeepsDownload(); }
    TRateLimit* RateLimit() const override { return FRun.RateLimit(); }
    const TCookieJar* Cookies() const override { return FRun.Cookies(); }

    std::string SavedPath() const
    {
        return FSavedName.empty() ? std::string() : IncludeTrailingPathDelimiter(FRun.Folder()) + FSavedName;
    }

    // TRunEvents
    void ItemStarted(int, const std::string&) override { FRun.Output().Started(FItem, FEntry.Shown); }
    void StateChanged(int, TJobState state) override
    {
        FJoining = state == jsJoining;
        if (state == jsAnalysing)
            FRun.Output().Page(FItem, "reading the page");
    }
    void TitleKnown(const std::string& fileName, const std::string& downloadUrl) override
    {
        // The page's name is not the saved one: the quality may change its extension, and the
        // name is cleaned for the file system. Without a name and a direct address nothing will
        // be saved, and the item is named by its address.
        if (downloadUrl.empty() && fileName == kNoTitleName) {
            FSavedName.clear();
            FRun.Output().Title(FItem, FEntry.Shown, downloadUrl);
            return;
        }
        const int quality = FEngine->Model().QualityApplies() ? FRun.Options().Quality : vqNormal;
        FSavedName = fileName.empty() ? std::string()
                                      : ExtractFileName(TransferOutputPath(FRun.Folder(), fileName, quality));
        FTitleAddress = downloadUrl;
        // With a file to fetch, the title waits for the name the file is saved under (a taken
        // name gets a number).
        if (downloadUrl.empty())
            FRun.Output().Title(FItem, FSavedName, downloadUrl);
    }
    void OutputChosen(const std::string& path) override
    {
        FSavedName = ExtractFileName(path);
        FRun.Output().Title(FItem, FSavedName, FTitleAddress);
    }
    void TransferAttempt(const std::string& name, std::int64_t offset) override
    {
        FSavedName = name;
        FRun.Output().Attempt(FItem, name, offset);
    }
    void TransferSize(std::int64_t total) override { FTotal = total; }
    void TransferProgress(std::int64_t bytes, std::int64_t, const TRateSample* sample) override
    {
        FRun.Output().Progress(FItem, bytes, FTotal, sample);
    }
    void Waiting(int secondsLeft, int attempt, int count) override
    {
        // The pause the attempt waits for, as the run set it; the countdown when it is not known.
        const auto& delays = FRun.RetryDelays();
        int pause = secondsLeft;
        if (attempt >= 1 && static_cast<std::size_t>(attempt) <= delays.size())
            pause = static_cast<int>((delays[static_cast<std::size_t>(attempt - 1)] + 999) / 1000);
        FRun.Output().Waiting(FItem, secondsLeft, attempt, count, pause);
    }
    void ConvertStarted(const std::string& outputName) override
    {
        FSavedName = outputName;
        FRun.Output().Converting(FItem, outputName, FJoining);
    }
    void ConvertProgress(int percent, const std::string& elapsed, const std::string& estimated) override
    {
        FRun.Output().ConvertProgress(FItem, percent, elapsed, estimated);
    }
    void ItemEnded(int, TItemOutcome outcome, const std::string& failureLine) override
    {
        FOutcome = outcome;
        // A local file is named as the user wrote it, not by the absolute path the engine got.
        std::string line = failureLine;
        if (FEntry.Shown != FEntry.Entry)
            if (const std::size_t at = line.find(FEntry.Entry); at != std::string::npos)
                line.replace(at, FEntry.Entry.size(), FEntry.Shown);
        FRun.Output().Ended(FItem, outcome, line, outcome == ioFailed ? std::string() : SavedPath(), &FFailure);
    }
    void ItemFailed(int, const TItemFailure& failure) override { FFailure = failure; }
    void RunEnded(TRunEnd how) override
    {
        if (FOutcome == ioPending) {
            // The run ended inside the page stage, without an outcome of its own.
            FOutcome = ioFailed;
            FRun.Output().Ended(FItem, ioFailed,
                                "cannot download " + FEntry.Shown +
                                    (how == reStoppedByPage ? ": the page asks to confirm the viewer's age"
                                                            : ": the page cannot be read"));
        }
        FRun.JobEnded(this, FOutcome);
    }
    void Alert(TRunAlert kind, const std::string& text) override
    {
        if (kind != raConverterCannotStart || FRun.FirstConverterFailure())
            FRun.Output().Note(text);
    }
    void AskOverwrite(int, const std::string&, std::function<void(bool)> answer) override
    {
        answer(FRun.Options().Overwrite);
    }

    TCliRun& FRun;
    const int FItem;
    const TCliItem FEntry;
    std::int64_t FTotal = -1;
    TItemOutcome FOutcome = ioPending;
    bool FJoining = false;
    std::string FSavedName; // the file in the output folder this item leaves, as far as known
    std::string FTitleAddress; // the direct address the page gave
    TItemFailure FFailure;
    // The engine goes first: its end stops the runner's child.
    std::unique_ptr<TConvertProcess> FRunner;
    std::unique_ptr<TRunEngine> FEngine;
};

namespace {

int ConverterSlots()
{
    return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

} // namespace

TCliRun::TCliRun(const TCliOptions& options, std::vector<TCliItem> items, std::string folder, TCliOutput& output)
    : FOptions(options), FItems(std::move(items)), FFolder(std::move(folder)), FOutput(output), FGate(ConverterSlots())
{
    if (FOptions.RateLimit > 0)
        FRateLimit = std::make_unique<TRateLimit>(FOptions.RateLimit);
    if (FOptions.Retries < 0) {
        FRetryDelays.assign(std::begin(TRunEngine::RetryDelaysMs), std::end(TRunEngine::RetryDelaysMs));
    } else {
        std::uint32_t pause = 1000;
        for (int k = 0; k < FOptions.Retries; ++k) {
            FRetryDelays.push_back(pause);
            pause = std::min<std::uint32_t>(pause * 2, 16000);
        }
    }
}

TCliRun::~TCliRun() = default;

// A conversion to audio is what the user wanted of the video: the video goes once it is
// converted, unless --keep-video. A conversion to another video format keeps both.
bool TCliRun::KeepsDownload() const
{
    if (FOptions.KeepVideo || FOptions.Preset < 0)
        return true;
    const std::string ext = FormatExtension(FormatCaptions()[FOptions.Preset]);
    return ext != ".mp3" && ext != ".wav" && ext != ".wma";
}

JobMode TCliRun::Mode() const
{
    if (FOptions.Command == TCliCommand::Convert)
        return jmConvert;
    return FOptions.Preset >= 0 ? jmDownloadConvert : jmDownload;
}

bool TCliRun::FirstConverterFailure()
{
    const bool first = !FConverterFailureSaid;
    FConverterFailureSaid = true;
    return first;
}

void TCliRun::Start()
{
    while (!FStopped && FRunning.size() < static_cast<std::size_t>(FOptions.Jobs) && FNext < FItems.size())
        StartNext();
    if (FRunning.empty())
        Finish();
}

void TCliRun::StartNext()
{
    const int item = static_cast<int>(FNext++);
    FRunning.push_back(std::make_unique<TCliJob>(*this, item, FItems[static_cast<std::size_t>(item)]));
    FRunning.back()->Start();
}

void TCliRun::JobEnded(TCliJob* job, TItemOutcome outcome)
{
    if (outcome == ioFailed)
        ++FFailed;
    // The engine is inside its own handler now: it goes, and the next item starts, from the loop.
    QTimer::singleShot(0, [this, job] {
        std::erase_if(FRunning, [job](const std::unique_ptr<TCliJob>& j) { return j.get() == job; });
        if (FStopped || FFinished)
            return;
        Start();
    });
}

void TCliRun::Stop()
{
    if (FStopped || FFinished)
        return;
    FStopped = true;
    for (auto& job : FRunning)
        job->Stop();
    FRunning.clear();
    Finish();
}

void TCliRun::Finish()
{
    if (FFinished)
        return;
    FFinished = true;
    FOutput.RunEnded(FStopped);
    if (OnFinished)
        QTimer::singleShot(0, OnFinished);
}

int TCliRun::ExitStatus() const
{
    if (FStopped)
        return 130;
    return FFailed > 0 ? 1 : 0;
}

} // namespace cw
