#pragma once
// TCliRun: the items of one command, run by the engine's TRunPool without any window: up to
// Jobs items go through their page, transfer and conversion stages side by side. This is the
// command line's front end over the pool: it words the pool's events as the chosen output
// form, answers the pool's questions from the options (--overwrite; a page that wants a
// sign-in: the item is skipped), and turns the run's end into the exit status.

#include "cli/CliOutput.h"
#include "cli/CommandLine.h"
#include "engine/RunPool.h"
#include "engine/core/RateLimit.h"
#include "net/http/CookieJar.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace cw {

struct TCliItem {
    std::string Entry; // what the engine is given: an address, or a file's absolute path
    std::string Shown; // how the user wrote it, for the lines the command line prints
};

class TCliRun : private TRunOwner, private TPoolEvents {
public:
    // items: addresses (get) or local files (convert); folder: the absolute output folder.
    TCliRun(const TCliOptions& options, std::vector<TCliItem> items, std::string folder, TCliOutput& output);
    ~TCliRun() override;
    TCliRun(const TCliRun&) = delete;
    TCliRun& operator=(const TCliRun&) = delete;

    // Called once, from the event loop, when the last item ended or the run was stopped.
    std::function<void()> OnFinished;

    void Start();
    // Ends every running item at once (requests, timers, converter children); the .part files
    // stay. OnFinished follows.
    void Stop();
    // 0 every item ended as asked, 1 some failed, 130 stopped.
    int ExitStatus() const;

    // The cookies of --cookies (read once, before the run), that every item starts with.
    void SetCookies(std::unique_ptr<TCookieJar> jar) { FCookies = std::move(jar); }
    JobMode Mode() const;
    bool KeepsDownload() const override;
    // The pauses before the tries after the first: --retries N gives N pauses of 1, 2, 4, 8,
    // 16, 16... seconds; without it, the engine's own.
    const std::vector<std::uint32_t>& RetryDelays() const { return FRetryDelays; }

private:
    // What the command line says of an item, as far as known.
    struct TItemState {
        std::int64_t Total = -1;
        TItemOutcome Outcome = ioPending;
        bool Started = false;
        bool Joining = false;
        std::string SavedName;    // the file in the output folder this item leaves
        std::string TitleAddress; // the direct address the page gave
        TItemFailure Failure;
    };
    TItemState& State(int index) { return FStates.at(static_cast<std::size_t>(index)); }
    const TCliItem& Item(int index) const { return FItems.at(static_cast<std::size_t>(index)); }
    std::string SavedPath(int index);
    void Finish();

    // TRunOwner
    std::string OutputFolderText() const override { return FFolder; }
    int Quality() const override { return FOptions.Quality; }
    TConvertProcess* ConvertRunner() const override { return nullptr; }
    int Connections() const override { return FOptions.Connections; }
    std::string NameTemplate() const override { return FOptions.NameTemplate; }
    bool ReplacesSavedFiles() const override { return FOptions.Overwrite; }
    TRateLimit* RateLimit() const override { return FRateLimit.get(); }
    const TCookieJar* Cookies() const override { return FCookies.get(); }
    bool SavesSubtitles() const override { return !FOptions.NoSubtitles; }

    // TPoolEvents
    void ItemStarted(int index, const std::string& address) override;
    void StateChanged(int index, TJobState state) override;
    void TitleKnown(int index, const std::string& fileName, const std::string& downloadUrl) override;
    void OutputChosen(int index, const std::string& path) override;
    void TransferAttempt(int index, const std::string& name, std::int64_t offset) override;
    void TransferSize(int index, std::int64_t total) override;
    void TransferProgress(int index, std::int64_t bytes, std::int64_t total, const TRateSample* sample) override;
    void Waiting(int index, int secondsLeft, int attempt, int count) override;
    void ConvertStarted(int index, const std::string& outputName) override;
    void ConvertProgress(int index, int percent, const std::string& elapsed, const std::string& estimated) override;
    void ItemFailed(int index, const TItemFailure& failure) override;
    void Note(int index, const std::string& text) override { FOutput.Warning(index, text); }
    void ItemEnded(int index, TItemOutcome outcome, const std::string& failureLine) override;
    void RunEnded(TRunEnd how) override;
    void Alert(int index, TRunAlert kind, const std::string& text) override;
    void AskOverwrite(int index, const std::string& path, std::function<void(bool)> answer) override;
    void AskSignIn(int index, const std::string& text, std::function<void(TSignInAnswer)> answer) override;

    TCliOptions FOptions;
    std::vector<TCliItem> FItems;
    std::vector<TItemState> FStates;
    std::vector<std::uint32_t> FRetryDelays;
    std::string FFolder;
    TCliOutput& FOutput;
    std::unique_ptr<TRateLimit> FRateLimit;
    std::unique_ptr<TCookieJar> FCookies; // before the pool, whose items copy it
    std::unique_ptr<TRunPool> FPool;
    int FFailed = 0;
    bool FStopped = false;
    bool FFinished = false;
};

} // namespace cw
