#include "cli/CliRun.h"

#include "convert/ConvertThread.h"
#include "convert/FormatPresets.h"
#include "engine/RunEngine.h"

#include <QTimer>

#include <algorithm>
#include <thread>

namespace cw {

// One item: the engine's owner and listener.
class TCliJob : private TRunOwner, private TRunEvents {
public:
    TCliJob(TCliRun& run, int item, const std::string& entry) : FRun(run), FItem(item)
    {
        // Every item may need the converter: a stream's tracks are joined by it.
        FRunner = std::make_unique<TConvertProcess>();
        TRunOwner* owner = this;
        TRunEvents& events = *this;
        FEngine = std::make_unique<TRunEngine>(std::vector<std::string>{entry}, owner, events);
        const int preset = run.Options().Preset;
        FEngine->SetJob(run.Mode(), preset >= 0 ? FormatExtension(FormatCaptions()[preset]) : std::string(),
                        FormatArguments(preset));
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

    // TRunEvents
    void ItemStarted(int, const std::string& address) override { FRun.Output().Started(FItem, address); }
    void StateChanged(int, TJobState state) override
    {
        FJoining = state == jsJoining;
        if (state == jsAnalysing)
            FRun.Output().Page(FItem, "reading the page");
    }
    void TitleKnown(const std::string& fileName, const std::string& downloadUrl) override
    {
        FRun.Output().Title(FItem, fileName, downloadUrl);
    }
    void TransferAttempt(const std::string& name, std::int64_t offset) override
    {
        FRun.Output().Attempt(FItem, name, offset);
    }
    void TransferSize(std::int64_t total) override { FTotal = total; }
    void TransferProgress(std::int64_t bytes, std::int64_t, const TRateSample* sample) override
    {
        FRun.Output().Progress(FItem, bytes, FTotal, sample);
    }
    void Waiting(int secondsLeft, int attempt, int count) override
    {
        FRun.Output().Waiting(FItem, secondsLeft, attempt, count);
    }
    void ConvertStarted(const std::string& outputName) override
    {
        FRun.Output().Converting(FItem, outputName, FJoining);
    }
    void ConvertProgress(int percent, const std::string& elapsed, const std::string& estimated) override
    {
        FRun.Output().ConvertProgress(FItem, percent, elapsed, estimated);
    }
    void ItemEnded(int, TItemOutcome outcome, const std::string& failureLine) override
    {
        FOutcome = outcome;
        FRun.Output().Ended(FItem, outcome, failureLine);
    }
    void RunEnded(TRunEnd how) override
    {
        if (FOutcome == ioPending) {
            // The run ended inside the page stage, without an outcome of its own.
            FOutcome = ioFailed;
            const std::string& address = FEngine->Model().Item(0).Address;
            FRun.Output().Ended(FItem, ioFailed,
                                how == reStoppedByPage ? "Unable get html from " + address + ": the page stopped the run"
                                                       : "Unable get html from " + address + ": the page cannot be read");
        }
        FRun.JobEnded(this, FOutcome);
    }
    void Alert(TRunAlert kind, const std::string& text) override
    {
        if (kind != raConverterCannotStart || FRun.FirstConverterFailure())
            FRun.Output().Note(text);
    }
    bool OverwriteExisting(const std::string&) override { return FRun.Options().Overwrite; }

    TCliRun& FRun;
    const int FItem;
    std::int64_t FTotal = -1;
    TItemOutcome FOutcome = ioPending;
    bool FJoining = false;
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

TCliRun::TCliRun(const TCliOptions& options, std::vector<std::string> items, std::string folder, TCliOutput& output)
    : FOptions(options), FItems(std::move(items)), FFolder(std::move(folder)), FOutput(output), FGate(ConverterSlots())
{
}

TCliRun::~TCliRun() = default;

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
