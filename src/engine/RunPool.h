#pragma once
// TRunPool: one run over a list of items, several of them at once. Both front ends (the
// download window and the command line) run their items through it.
//
// Each running item has a TRunEngine of its own over a one-item list, so its page, transfer
// and conversion stages go on whatever the other items do; up to Jobs items run at once, and
// the next one starts (in input order) when one ends. The items share what must be shared:
// one TConvertGate (no more conversions at once than the machine has cores), one TNameClaims
// (two items never take one file name) and the owner's rate cap.
//
// Converter runners: a job slot (0..Jobs-1) is held by one running item at a time, and each
// slot has its own runner. Slot 0 uses the owner's runner when the owner has one (the main
// window's, which it stops when it closes); every other slot has a runner the pool owns.
//
// Outcomes and failure lines of the whole run are kept in one TRunModel (Model()), whose
// current index is the item started last: the window's caption "(2/5)", its summary box and
// the desktop notice read it as they did with one item at a time.
//
// How the run ends:
//   every item had its turn        RunEnded(reCompleted) once the last running item ended;
//   Stop                           every engine stops at once; no event follows;
//   a page's sign-in question      answered "stop the run": every other item is stopped as Stop
//                                  stops it, and RunEnded(reStoppedByPage) follows;
//   a page no browser can read     no new item starts; the running ones go on to their end,
//                                  then RunEnded(reUnreadable). The unreadable item keeps no
//                                  outcome (no failure line), as with one item at a time.
//
// Every event names its item by its index in the list.

#include "engine/ConvertGate.h"
#include "engine/OutputNames.h"
#include "engine/RunEngine.h"
#include "engine/RunModel.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cw {

class TConvertProcess;
class TPoolJob;

// The events of a pool's run; as TRunEvents, with every item event naming its item.
class TPoolEvents {
public:
    virtual ~TPoolEvents() = default;
    virtual void ItemStarted(int /*index*/, const std::string& /*address*/) {}
    virtual void StateChanged(int /*index*/, TJobState /*state*/) {}
    virtual void TitleKnown(int /*index*/, const std::string& /*fileName*/, const std::string& /*downloadUrl*/) {}
    virtual void OutputChosen(int /*index*/, const std::string& /*path*/) {}
    virtual void TransferAttempt(int /*index*/, const std::string& /*name*/, std::int64_t /*offset*/) {}
    virtual void TransferSize(int /*index*/, std::int64_t /*total*/) {}
    virtual void TransferProgress(int /*index*/, std::int64_t /*bytes*/, std::int64_t /*total*/,
                                  const TRateSample* /*sample*/)
    {
    }
    virtual void Waiting(int /*index*/, int /*secondsLeft*/, int /*attempt*/, int /*count*/) {}
    virtual void ConvertStarted(int /*index*/, const std::string& /*outputName*/) {}
    virtual void ConvertProgress(int /*index*/, int /*percent*/, const std::string& /*elapsed*/,
                                 const std::string& /*estimated*/)
    {
    }
    virtual void ItemFailed(int /*index*/, const TItemFailure& /*failure*/) {}
    // An extra of the item (a subtitle) went wrong without failing it.
    virtual void Note(int /*index*/, const std::string& /*text*/) {}
    // A subtitle was saved beside the item's video.
    virtual void SubtitleSaved(int /*index*/, const std::string& /*path*/) {}
    // The item's outcome is in Model() already when this comes.
    virtual void ItemEnded(int /*index*/, TItemOutcome /*outcome*/, const std::string& /*failureLine*/) {}
    // raConverterCannotStart comes once per run, not once per item.
    virtual void Alert(int /*index*/, TRunAlert /*kind*/, const std::string& /*text*/) {}
    virtual void AskOverwrite(int /*index*/, const std::string& /*path*/, std::function<void(bool)> answer)
    {
        answer(false);
    }
    virtual void AskSignIn(int /*index*/, const std::string& /*text*/, std::function<void(TSignInAnswer)> answer)
    {
        answer(saSkipItem);
    }
    virtual void RunEnded(TRunEnd /*how*/) {}
};

class TRunPool {
public:
    // The command line allows up to this many; the window offers 1 to 8.
    static constexpr int MaxJobs = 64;

    // owner: the folder, quality, connections and the first slot's runner, read anew for every
    // item; it must outlive the pool. The list is copied.
    TRunPool(const std::vector<std::string>& items, TRunOwner* owner, TPoolEvents& events);
    ~TRunPool();
    TRunPool(const TRunPool&) = delete;
    TRunPool& operator=(const TRunPool&) = delete;

    // Set before Start.
    void SetJob(JobMode mode, const std::string& convertExtension, const std::string& convertArguments);
    // Items at once, 1..MaxJobs (anything else is clamped).
    void SetJobs(int jobs);
    int Jobs() const { return FJobs; }

    // Limits given to every item's engine, the running ones too (tests: shorter than the
    // engine's constants; the command line: --timeout and --retries).
    void SetPollLimit(std::uint32_t ms);
    void SetPageIdleTimeout(int ms);
    void SetTransferIdleTimeout(int ms);
    void SetRetryDelays(std::vector<std::uint32_t> delaysMs);

    // Called with every engine made, before it starts (tests reach an engine's parts here).
    std::function<void(int index, TRunEngine& engine)> OnEngine;

    // Starts the first items; returns at once. An empty list ends at once (from the loop).
    void Start();
    // Ends every running item at once; the .part files stay. No event follows.
    void Stop();
    bool Stopped() const { return FStopped; }
    bool Ended() const { return FPhase == TPhase::Ended; }

    const TRunModel& Model() const { return FModel; }
    int RunningCount() const;
    // The item started last, -1 before the first.
    int LastStarted() const { return FLastStarted; }
    // The engine of a running item, or of the item started last (kept until another starts, so
    // that what it did can be looked at after the run); nullptr otherwise.
    TRunEngine* Engine(int index) const;

private:
    friend class TPoolJob;
    void StartItems();
    void StartItem(int index);
    TConvertProcess* RunnerOfSlot(int slot);
    void Configure(TRunEngine& engine) const;
    // From a job's events.
    void JobItemStarted(int index);
    void JobItemEnded(int index, TItemOutcome outcome, const std::string& line, const std::string& reason);
    void JobRunEnded(TPoolJob* job, TRunEnd how);
    void JobAlert(int index, TRunAlert kind, const std::string& text);
    // Drops ended jobs and starts what may start; from the loop, never inside an engine.
    void Tidy();
    void PostTidy();
    void Finish(TRunEnd how);

    TRunOwner* FOwner;
    TPoolEvents& FEvents;
    TRunModel FModel;
    std::string FConvertExtension;
    std::string FConvertArguments;
    int FJobs = 1;
    std::optional<std::uint32_t> FPollLimitMs;
    std::optional<int> FPageIdleMs;
    std::optional<int> FTransferIdleMs;
    std::optional<std::vector<std::uint32_t>> FRetryDelays;
    TConvertGate FGate;
    TNameClaims FClaims;
    // The runners first: a job's engine stops its runner's child when it goes.
    std::vector<std::unique_ptr<TConvertProcess>> FRunners; // by slot; slot 0 unused with the owner's
    std::vector<std::unique_ptr<TPoolJob>> FJobsList; // running, ended, and the last started
    int FNext = 0;
    int FLastStarted = -1;
    enum class TPhase { Idle, Running, Ended } FPhase = TPhase::Idle; // Ended: the end was told
    bool FStopped = false;
    bool FNoMore = false;       // no new item starts (an unreadable page)
    bool FSecondBrowser = false; // a page needed the second browser: later items start there
    bool FConverterFailureSaid = false;
    bool FTidyPosted = false;
    std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};

} // namespace cw
