#include "engine/RunPool.h"

#include "convert/ConvertThread.h"
#include "platform/Application.h"

#include <QTimer>

#include <algorithm>
#include <thread>

namespace cw {

// One running item: the owner and the listener of its engine. It answers the engine's owner
// questions from the pool's owner (its runner from its slot) and hands every event on with
// the item's index. Once the item ended, nothing more is handed on.
class TPoolJob : private TRunOwner, private TRunEvents {
public:
    TPoolJob(TRunPool& pool, int index, int slot) : FPool(pool), FIndex(index), FSlot(slot)
    {
        TRunOwner* owner = this;
        TRunEvents& events = *this;
        FEngine = std::make_unique<TRunEngine>(std::vector<std::string>{pool.FModel.Item(index).Address}, owner,
                                               events);
    }

    TRunEngine& Engine() { return *FEngine; }
    int Index() const { return FIndex; }
    int Slot() const { return FSlot; }
    bool Over() const { return FOver; }
    // Stops the engine; nothing of it reaches the pool any more.
    void Quiet()
    {
        FOver = true;
        FEngine->Stop();
    }

private:
    // TRunOwner
    std::string OutputFolderText() const override { return Owner() ? Owner()->OutputFolderText() : std::string(); }
    int Quality() const override { return Owner() ? Owner()->Quality() : vqNormal; }
    TConvertProcess* ConvertRunner() const override { return FPool.RunnerOfSlot(FSlot); }
    int Connections() const override { return Owner() ? Owner()->Connections() : 1; }
    TConvertGate* ConvertGate() const override
    {
        TConvertGate* shared = Owner() ? Owner()->ConvertGate() : nullptr;
        return shared ? shared : &FPool.FGate;
    }
    TNameClaims* NameClaims() const override
    {
        TNameClaims* shared = Owner() ? Owner()->NameClaims() : nullptr;
        return shared ? shared : &FPool.FClaims;
    }
    bool KeepsDownload() const override { return Owner() ? Owner()->KeepsDownload() : true; }
    bool ReplacesSavedFiles() const override { return Owner() && Owner()->ReplacesSavedFiles(); }
    TRateLimit* RateLimit() const override { return Owner() ? Owner()->RateLimit() : nullptr; }
    std::string NameTemplate() const override { return Owner() ? Owner()->NameTemplate() : std::string(); }
    const TCookieJar* Cookies() const override { return Owner() ? Owner()->Cookies() : nullptr; }
    bool SavesSubtitles() const override { return !Owner() || Owner()->SavesSubtitles(); }
    std::string SubtitleLanguage() const override
    {
        return Owner() ? Owner()->SubtitleLanguage() : TRunOwner::SubtitleLanguage();
    }
    TRunOwner* Owner() const { return FPool.FOwner; }

    TPoolEvents& Events() { return FPool.FEvents; }

    // TRunEvents
    void ItemStarted(int, const std::string& address) override
    {
        if (FOver)
            return;
        FPool.JobItemStarted(FIndex);
        Events().ItemStarted(FIndex, address);
    }
    void StateChanged(int, TJobState state) override
    {
        if (!FOver)
            Events().StateChanged(FIndex, state);
    }
    void TitleKnown(const std::string& fileName, const std::string& downloadUrl) override
    {
        if (!FOver)
            Events().TitleKnown(FIndex, fileName, downloadUrl);
    }
    void OutputChosen(const std::string& path) override
    {
        if (!FOver)
            Events().OutputChosen(FIndex, path);
    }
    void TransferAttempt(const std::string& name, std::int64_t offset) override
    {
        if (!FOver)
            Events().TransferAttempt(FIndex, name, offset);
    }
    void TransferSize(std::int64_t total) override
    {
        if (!FOver)
            Events().TransferSize(FIndex, total);
    }
    void TransferProgress(std::int64_t bytes, std::int64_t total, const TRateSample* sample) override
    {
        if (!FOver)
            Events().TransferProgress(FIndex, bytes, total, sample);
    }
    void Waiting(int secondsLeft, int attempt, int count) override
    {
        if (!FOver)
            Events().Waiting(FIndex, secondsLeft, attempt, count);
    }
    void ConvertStarted(const std::string& outputName) override
    {
        if (!FOver)
            Events().ConvertStarted(FIndex, outputName);
    }
    void ConvertProgress(int percent, const std::string& elapsed, const std::string& estimated) override
    {
        if (!FOver)
            Events().ConvertProgress(FIndex, percent, elapsed, estimated);
    }
    void ItemFailed(int, const TItemFailure& failure) override
    {
        if (!FOver)
            Events().ItemFailed(FIndex, failure);
    }
    void Note(int, const std::string& text) override
    {
        if (!FOver)
            Events().Note(FIndex, text);
    }
    void SubtitleSaved(int, const std::string& path) override
    {
        if (!FOver)
            Events().SubtitleSaved(FIndex, path);
    }
    void ItemEnded(int, TItemOutcome outcome, const std::string& failureLine) override
    {
        if (FOver)
            return;
        FPool.JobItemEnded(FIndex, outcome, failureLine, FEngine->Model().Item(0).Reason);
    }
    void RunEnded(TRunEnd how) override
    {
        if (FOver)
            return;
        FOver = true;
        FPool.JobRunEnded(this, how);
    }
    void Alert(TRunAlert kind, const std::string& text) override
    {
        if (!FOver)
            FPool.JobAlert(FIndex, kind, text);
    }
    void AskOverwrite(int, const std::string& path, std::function<void(bool)> answer) override
    {
        if (FOver)
            return;
        Events().AskOverwrite(FIndex, path, std::move(answer));
    }
    void AskSignIn(int, const std::string& text, std::function<void(TSignInAnswer)> answer) override
    {
        if (FOver)
            return;
        Events().AskSignIn(FIndex, text, std::move(answer));
    }

    TRunPool& FPool;
    const int FIndex;
    const int FSlot;
    bool FOver = false;
    std::unique_ptr<TRunEngine> FEngine;
};

namespace {

int ConverterSlots()
{
    return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

} // namespace

TRunPool::TRunPool(const std::vector<std::string>& items, TRunOwner* owner, TPoolEvents& events)
    : FOwner(owner), FEvents(events), FModel(items), FGate(ConverterSlots())
{
}

TRunPool::~TRunPool()
{
    *FAlive = false;
    // Every engine goes before the runners it may use.
    for (auto& job : FJobsList)
        job->Quiet();
    FJobsList.clear();
}

void TRunPool::SetJob(JobMode mode, const std::string& convertExtension, const std::string& convertArguments)
{
    FModel.SetMode(mode);
    FConvertExtension = convertExtension;
    FConvertArguments = convertArguments;
}

void TRunPool::SetJobs(int jobs)
{
    FJobs = std::clamp(jobs, 1, MaxJobs);
}

void TRunPool::SetPollLimit(std::uint32_t ms)
{
    FPollLimitMs = ms;
    for (auto& job : FJobsList)
        job->Engine().SetPollLimit(ms);
}

void TRunPool::SetPageIdleTimeout(int ms)
{
    FPageIdleMs = ms;
    for (auto& job : FJobsList)
        job->Engine().SetPageIdleTimeout(ms);
}

void TRunPool::SetTransferIdleTimeout(int ms)
{
    FTransferIdleMs = ms;
    for (auto& job : FJobsList)
        job->Engine().SetTransferIdleTimeout(ms);
}

void TRunPool::SetRetryDelays(std::vector<std::uint32_t> delaysMs)
{
    for (auto& job : FJobsList)
        job->Engine().SetRetryDelays(delaysMs);
    FRetryDelays = std::move(delaysMs);
}

void TRunPool::Configure(TRunEngine& engine) const
{
    engine.SetJob(FModel.Mode(), FConvertExtension, FConvertArguments);
    if (FPollLimitMs)
        engine.SetPollLimit(*FPollLimitMs);
    if (FPageIdleMs)
        engine.SetPageIdleTimeout(*FPageIdleMs);
    if (FTransferIdleMs)
        engine.SetTransferIdleTimeout(*FTransferIdleMs);
    if (FRetryDelays)
        engine.SetRetryDelays(*FRetryDelays);
    if (FSecondBrowser)
        engine.StartInSecondBrowser();
}

int TRunPool::RunningCount() const
{
    return static_cast<int>(
        std::count_if(FJobsList.begin(), FJobsList.end(), [](const auto& job) { return !job->Over(); }));
}

TRunEngine* TRunPool::Engine(int index) const
{
    for (const auto& job : FJobsList)
        if (job->Index() == index)
            return &job->Engine();
    return nullptr;
}

TConvertProcess* TRunPool::RunnerOfSlot(int slot)
{
    if (slot == 0 && FOwner)
        if (TConvertProcess* own = FOwner->ConvertRunner())
            return own;
    const auto at = static_cast<std::size_t>(slot);
    if (FRunners.size() <= at)
        FRunners.resize(at + 1);
    if (!FRunners[at])
        FRunners[at] = std::make_unique<TConvertProcess>();
    return FRunners[at].get();
}

void TRunPool::Start()
{
    if (FPhase != TPhase::Idle)
        return;
    FPhase = TPhase::Running;
    if (FModel.Count() == 0) {
        PostTidy(); // the end comes from the loop, as it does after items
        return;
    }
    StartItems();
}

void TRunPool::StartItems()
{
    while (!FStopped && FPhase == TPhase::Running && !FNoMore && FNext < FModel.Count() && RunningCount() < FJobs)
        StartItem(FNext++);
}

void TRunPool::StartItem(int index)
{
    // The lowest slot no running item holds.
    int slot = 0;
    while (std::any_of(FJobsList.begin(), FJobsList.end(),
                       [slot](const auto& job) { return !job->Over() && job->Slot() == slot; }))
        ++slot;
    // The item started last so far is no longer kept once it has ended.
    std::erase_if(FJobsList, [](const auto& job) { return job->Over(); });
    FJobsList.push_back(std::make_unique<TPoolJob>(*this, index, slot));
    TRunEngine& engine = FJobsList.back()->Engine();
    Configure(engine);
    if (OnEngine)
        OnEngine(index, engine);
    engine.Start();
}

void TRunPool::JobItemStarted(int index)
{
    FLastStarted = index;
    FModel.SetCurrent(index);
}

void TRunPool::JobItemEnded(int index, TItemOutcome outcome, const std::string& line, const std::string& reason)
{
    FModel.Record(index, outcome, line, reason);
    FEvents.ItemEnded(index, outcome, line);
}

void TRunPool::JobAlert(int index, TRunAlert kind, const std::string& text)
{
    if (kind == raConverterCannotStart) {
        if (FConverterFailureSaid)
            return;
        FConverterFailureSaid = true;
    }
    FEvents.Alert(index, kind, text);
}

void TRunPool::JobRunEnded(TPoolJob* job, TRunEnd how)
{
    if (job->Engine().SwitchedBrowser())
        FSecondBrowser = true;
    switch (how) {
    case reCompleted:
        break;
    case reUnreadable:
        FNoMore = true;
        break;
    case reStoppedByPage:
        // The user chose to end the run: the others end as Stop ends them.
        for (auto& other : FJobsList)
            if (!other->Over())
                other->Quiet();
        FNoMore = true;
        Finish(how);
        return;
    }
    // The engine is inside its own handler now: it goes, and the next item starts, from the loop.
    PostTidy();
}

void TRunPool::PostTidy()
{
    if (FTidyPosted)
        return;
    FTidyPosted = true;
    QTimer::singleShot(0, [this, alive = std::weak_ptr<bool>(FAlive)] {
        if (alive.expired())
            return;
        Application::Guard([this] { Tidy(); });
    });
}

void TRunPool::Tidy()
{
    FTidyPosted = false;
    if (FStopped || FPhase == TPhase::Ended)
        return;
    // Ended items go, but the one started last stays to be looked at until another starts.
    std::erase_if(FJobsList, [this](const auto& job) { return job->Over() && job->Index() != FLastStarted; });
    StartItems();
    if (RunningCount() == 0 && (FNoMore || FNext >= FModel.Count()))
        Finish(FNoMore ? reUnreadable : reCompleted);
}

void TRunPool::Finish(TRunEnd how)
{
    if (FPhase == TPhase::Ended)
        return;
    FPhase = TPhase::Ended;
    FEvents.RunEnded(how);
}

void TRunPool::Stop()
{
    if (FStopped)
        return;
    FStopped = true;
    for (auto& job : FJobsList)
        if (!job->Over())
            job->Quiet();
    // The engines go from the loop: Stop may come from inside one of their handlers.
    QTimer::singleShot(0, [this, alive = std::weak_ptr<bool>(FAlive)] {
        if (alive.expired())
            return;
        std::erase_if(FJobsList, [this](const auto& job) { return job->Index() != FLastStarted; });
    });
}

} // namespace cw
