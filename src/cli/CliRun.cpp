#include "cli/CliRun.h"

#include "cli/CliText.h"
#include "convert/FormatPresets.h"
#include "engine/DownloadText.h"
#include "engine/core/RetryTable.h"

#include <QTimer>

#include <algorithm>
#include <iterator>

namespace cw {

// The name the engine gives an item whose page named no file: nothing is ever saved under it
// unless the page also gave a direct address.
constexpr const char* kNoTitleName = "get_video.flv";

namespace {

std::vector<std::string> Entries(const std::vector<TCliItem>& items)
{
    std::vector<std::string> entries;
    entries.reserve(items.size());
    for (const TCliItem& item : items)
        entries.push_back(item.Entry);
    return entries;
}

} // namespace

TCliRun::TCliRun(const TCliOptions& options, std::vector<TCliItem> items, std::string folder, TCliOutput& output)
    : FOptions(options), FItems(std::move(items)), FStates(FItems.size()), FFolder(std::move(folder)), FOutput(output)
{
    if (FOptions.RateLimit > 0)
        FRateLimit = std::make_unique<TRateLimit>(FOptions.RateLimit);
    FRetryDelays = RetryDelaysFor(FOptions.Retries);
    TRunOwner* owner = this;
    TPoolEvents& events = *this;
    FPool = std::make_unique<TRunPool>(Entries(FItems), owner, events);
    FPool->SetJob(Mode(), FOptions.Preset >= 0 ? FormatExtension(FormatCaptions()[FOptions.Preset]) : std::string(),
                  FormatArguments(FOptions.Preset));
    FPool->SetJobs(FOptions.Jobs);
    if (FOptions.Retries >= 0)
        FPool->SetRetryDelays(FRetryDelays);
    if (FOptions.TimeoutSeconds > 0) {
        FPool->SetTransferIdleTimeout(FOptions.TimeoutSeconds * 1000);
        FPool->SetPageIdleTimeout(FOptions.TimeoutSeconds * 1000);
    }
}

// The pool goes first: its engines stop their converter children and send nothing more.
TCliRun::~TCliRun()
{
    FPool.reset();
}

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

void TCliRun::Start()
{
    FPool->Start();
}

void TCliRun::Stop()
{
    if (FStopped || FFinished)
        return;
    FStopped = true;
    FPool->Stop();
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

std::string TCliRun::SavedPath(int index)
{
    const std::string& name = State(index).SavedName;
    return name.empty() ? std::string() : IncludeTrailingPathDelimiter(FFolder) + name;
}

// ---- what the pool reports --------------------------------------------------------------------

void TCliRun::ItemStarted(int index, const std::string&)
{
    State(index).Started = true;
    FOutput.Started(index, Item(index).Shown);
}

void TCliRun::StateChanged(int index, TJobState state)
{
    State(index).Joining = state == jsJoining;
    if (state == jsAnalysing)
        FOutput.Page(index, "reading the page");
}

void TCliRun::TitleKnown(int index, const std::string& fileName, const std::string& downloadUrl)
{
    TItemState& item = State(index);
    // The page's name is not the saved one: the quality may change its extension, and the
    // name is cleaned for the file system. Without a name and a direct address nothing will
    // be saved, and the item is named by its address.
    if (downloadUrl.empty() && fileName == kNoTitleName) {
        item.SavedName.clear();
        FOutput.Title(index, Item(index).Shown, downloadUrl);
        return;
    }
    const int quality = SiteOfAddress(Item(index).Entry) == vsYoutube ? FOptions.Quality : vqNormal;
    item.SavedName = fileName.empty() ? std::string() : ExtractFileName(TransferOutputPath(FFolder, fileName, quality));
    item.TitleAddress = downloadUrl;
    // With a file to fetch, the title waits for the name the file is saved under (a taken
    // name gets a number).
    if (downloadUrl.empty())
        FOutput.Title(index, item.SavedName, downloadUrl);
}

void TCliRun::OutputChosen(int index, const std::string& path)
{
    TItemState& item = State(index);
    item.SavedName = ExtractFileName(path);
    FOutput.Title(index, item.SavedName, item.TitleAddress);
}

void TCliRun::TransferAttempt(int index, const std::string& name, std::int64_t offset)
{
    State(index).SavedName = name;
    FOutput.Attempt(index, name, offset);
}

void TCliRun::TransferSize(int index, std::int64_t total)
{
    State(index).Total = total;
}

void TCliRun::TransferProgress(int index, std::int64_t bytes, std::int64_t, const TRateSample* sample)
{
    FOutput.Progress(index, bytes, State(index).Total, sample);
}

void TCliRun::Waiting(int index, int secondsLeft, int attempt, int count)
{
    // The pause the attempt waits for, as the run set it; the countdown when it is not known.
    int pause = secondsLeft;
    if (attempt >= 1 && static_cast<std::size_t>(attempt) <= FRetryDelays.size())
        pause = static_cast<int>((FRetryDelays[static_cast<std::size_t>(attempt - 1)] + 999) / 1000);
    FOutput.Waiting(index, secondsLeft, attempt, count, pause);
}

void TCliRun::ConvertStarted(int index, const std::string& outputName)
{
    State(index).SavedName = outputName;
    FOutput.Converting(index, outputName, State(index).Joining);
}

void TCliRun::ConvertProgress(int index, int percent, const std::string& elapsed, const std::string& estimated)
{
    FOutput.ConvertProgress(index, percent, elapsed, estimated);
}

void TCliRun::ItemFailed(int index, const TItemFailure& failure)
{
    State(index).Failure = failure;
}

void TCliRun::ItemEnded(int index, TItemOutcome outcome, const std::string& failureLine)
{
    TItemState& item = State(index);
    item.Outcome = outcome;
    if (outcome == ioFailed)
        ++FFailed;
    // A local file is named as the user wrote it, not by the absolute path the engine got.
    const TCliItem& entry = Item(index);
    std::string line = failureLine;
    if (entry.Shown != entry.Entry)
        if (const std::size_t at = line.find(entry.Entry); at != std::string::npos)
            line.replace(at, entry.Entry.size(), entry.Shown);
    if (outcome == ioFailed)
        line = FailureText(item.Failure, entry.Shown, line);
    FOutput.Ended(index, outcome, line, outcome == ioFailed ? std::string() : SavedPath(index), &item.Failure);
}

void TCliRun::RunEnded(TRunEnd how)
{
    // An item the run ended inside its page stage has no outcome of its own: it failed there,
    // on a page no page engine could read, or on a sign-in question answered "stop the run".
    for (int index = 0; index < static_cast<int>(FStates.size()); ++index) {
        TItemState& item = State(index);
        if (!item.Started || item.Outcome != ioPending)
            continue;
        item.Outcome = ioFailed;
        ++FFailed;
        item.Failure = TItemFailure{};
        item.Failure.Stage = "page";
        item.Failure.Kind = how == reStoppedByPage ? fkSignIn : fkUnreadable;
        item.Failure.Words =
            how == reStoppedByPage ? "the page asks to confirm the viewer's age" : "the page cannot be read";
        FOutput.Ended(index, ioFailed, FailureText(item.Failure, Item(index).Shown, std::string()), std::string(),
                      &item.Failure);
    }
    // The items after an unreadable page never had their turn: the user hears which.
    if (how == reUnreadable) {
        std::vector<std::string> left;
        for (int index = 0; index < static_cast<int>(FStates.size()); ++index)
            if (!State(index).Started)
                left.push_back(std::to_string(index + 1));
        if (!left.empty()) {
            std::string which;
            for (std::size_t i = 0; i < left.size(); ++i)
                which += (i == 0 ? "" : i + 1 == left.size() ? " and " : ", ") + left[i];
            FOutput.Note("the run ended at a page no page engine could read; not started: " +
                         std::string(left.size() == 1 ? "item " : "items ") + which);
        }
    }
    Finish();
}

void TCliRun::Alert(int, TRunAlert, const std::string& text)
{
    FOutput.Note(text);
}

void TCliRun::AskOverwrite(int, const std::string&, std::function<void(bool)> answer)
{
    answer(FOptions.Overwrite);
}

// Nobody can sign in for a command: the item is skipped and the others go on.
void TCliRun::AskSignIn(int, const std::string&, std::function<void(TSignInAnswer)> answer)
{
    answer(saSkipItem);
}

} // namespace cw
