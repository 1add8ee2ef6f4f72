#include "engine/RunEngine.h"

#include "convert/ConvertThread.h"
#include "engine/ConvertGate.h"
#include "engine/DownloadText.h"
#include "engine/OutputNames.h"
#include "engine/pages/MediaFile.h"
#include "engine/pages/PageAnalysis.h"
#include "engine/pages/PageMedia.h"
#include "net/http/HttpUrl.h"
#include "platform/Application.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/MediaTypes.h"
#include "platform/SystemProxy.h"
#include "platform/Text.h"

#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <new>

namespace cw {
namespace {
// The first text block the document is saved into; the stream grows past it when needed.
constexpr std::int64_t kInitialTextBuffer = 65536;
} // namespace

const char* const TRunEngine::ReadFailureText = "Except-error-Clipwarden";

std::string JobStateName(TJobState state)
{
    static const char* const names[] = {"pending", "page loading", "analysing", "transferring", "waiting", "converting",
                                        "joining", "asking",       "done",      "failed",       "skipped", "stopped"};
    const auto i = static_cast<std::size_t>(state);
    return i < sizeof names / sizeof names[0] ? names[i] : "unknown";
}

TRunEngine::TRunEngine(const std::vector<std::string>& items, TRunOwner* owner, TRunEvents& events)
    : FEvents(events), FOwner(owner), FModel(items), FWindow([this](TMessage& m) { WndProc(m); }),
      FHttpCli1(std::make_unique<THttpCli>()), FTransfer(*FHttpCli1), FStream(*FHttpCli1), FSubs(*FHttpCli1)
{
    FWebBrowser1.SetName("WebBrowser_1");
    FWebBrowser2.SetName("WebBrowser_2");
    for (TWebBrowser* b : {&FWebBrowser1, &FWebBrowser2}) {
        b->OnReadyStateChange = [this, b](TObject*) {
            if (b == FActiveBrowser)
                SchedulePass();
        };
        b->OnDocumentChange = b->OnReadyStateChange;
        b->SetCookieJar(&FCookies);
    }

    // The client keeps these settings for the life of the run.
    THttpCli& http = *FHttpCli1;
    http.SetName("HttpCli1");
    http.SetAgent("Mozilla/3.0 (compatible)");
    http.SetAccept("image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*");
    http.SetRequestVer("1.0");
    http.SetFollowRelocation(true);
    http.SetLocationChangeMaxCount(5);
    http.SetProxyPort("80");
    http.SetLocalAddr("0.0.0.0");
    http.SetNoCache(false);
    http.SetBandwidthLimit(10000);
    http.SetBandwidthSampling(1000);
    http.SetMultiThreaded(false);
    http.SetIdleTimeout(TransferIdleTimeoutMs);
    // Handed on to every client of the transfers (TakeClientSettings).
    http.SetCookieJar(&FCookies);
    FTransfer.SetRetryDelays(DefaultRetryDelaysMs());

    FTransfer.OnAttempt = [this](const std::string& name, std::int64_t offset) {
        SetState(jsTransferring);
        FEvents.TransferAttempt(name, offset);
    };
    FTransfer.OnSize = [this](std::int64_t total) { FEvents.TransferSize(total); };
    FTransfer.OnProgress = [this](std::int64_t bytes, std::int64_t total, const TRateSample* sample) {
        FEvents.TransferProgress(bytes, total, sample);
    };
    FTransfer.OnWaiting = [this](int left, int attempt, int count) {
        SetState(jsWaiting);
        FEvents.Waiting(left, attempt, count);
    };
    FTransfer.OnEnded = [this](const TOutcome& r) { TransferEnded(r); };

    // A stream reports as a file does.
    FStream.SetRetryDelays(DefaultRetryDelaysMs());
    FSubs.SetRetryDelays(DefaultRetryDelaysMs());
    FStream.OnAttempt = FTransfer.OnAttempt;
    FStream.OnSize = FTransfer.OnSize;
    FStream.OnProgress = FTransfer.OnProgress;
    FStream.OnWaiting = FTransfer.OnWaiting;
    FStream.OnEnded = [this](const TOutcome& r) { StreamEnded(r); };
    FSubs.OnEnded = [this](bool ok, const std::string& why) { SubtitlesEnded(ok, why); };
}

TRunEngine::~TRunEngine()
{
    *FAlive = false;
    Stop();
    for (TWebBrowser* b : {&FWebBrowser1, &FWebBrowser2}) {
        b->OnReadyStateChange = nullptr;
        b->OnDocumentChange = nullptr;
    }
    FTransfer.OnAttempt = nullptr;
    FTransfer.OnSize = nullptr;
    FTransfer.OnProgress = nullptr;
    FTransfer.OnWaiting = nullptr;
    FTransfer.OnEnded = nullptr;
    FStream.Stop();
    FStream.OnAttempt = nullptr;
    FStream.OnSize = nullptr;
    FStream.OnProgress = nullptr;
    FStream.OnWaiting = nullptr;
    FStream.OnEnded = nullptr;
    FSubs.Stop();
    FSubs.OnEnded = nullptr;
}

void TRunEngine::SetJob(JobMode mode, const std::string& convertExtension, const std::string& convertArguments)
{
    FModel.SetMode(mode);
    FConvert.Extension = convertExtension;
    FConvert.Arguments = convertArguments;
}

std::string TRunEngine::OutputFolder() const
{
    return FOwner ? FOwner->OutputFolderText() : std::string();
}

TConvertProcess* TRunEngine::Runner() const
{
    return FOwner ? FOwner->ConvertRunner() : nullptr;
}

bool TRunEngine::TakeConverterTurn(unsigned message)
{
    TConvertGate* gate = FOwner ? FOwner->ConvertGate() : nullptr;
    return !gate || gate->Enter(this, [this, message] { FWindow.PostMessage(message); });
}

void TRunEngine::LeaveConverterTurn()
{
    if (TConvertGate* gate = FOwner ? FOwner->ConvertGate() : nullptr)
        gate->Leave(this);
}

int TRunEngine::ItemQuality() const
{
    if (!FModel.QualityApplies())
        return vqNormal;
    return FOwner ? FOwner->Quality() : vqNormal;
}

void TRunEngine::SetState(TJobState state)
{
    if (FState == state)
        return;
    if (DebugLogging())
        LogDebug("run", "item " + std::to_string(FModel.Index() + 1) + ": " + JobStateName(FState) + " -> " +
                            JobStateName(state));
    FState = state;
    FEvents.StateChanged(FModel.Index(), state);
}

void TRunEngine::WndProc(TMessage& msg)
{
    if (msg.Msg == WM_CONVERT_PROGRESS) {
        // The record is ours whatever happens to it.
        ConvertProgress(msg.LParam);
        return;
    }
    if (FStopped || FEnded)
        return;
    switch (msg.Msg) {
    case WM_FETCH_PAGE:
        FetchPage();
        break;
    case WM_PAGE_PASS:
        FPage.PassPosted = false;
        PagePass();
        break;
    case WM_START_DOWNLOAD:
        StartDownload();
        break;
    case WM_CONVERT_START:
        ConvertStart();
        break;
    case WM_CONVERT_LOCAL:
        Proceed(rsConvertFile);
        break;
    case WM_JOIN_START:
        JoinStart();
        break;
    case WM_QUESTION_ANSWERED:
        if (std::function<void(bool)> then = std::exchange(FAsk.Then, nullptr))
            then(FAsk.Answer);
        break;
    case WM_RUN_END:
        FEnded = true;
        FEvents.RunEnded(static_cast<TRunEnd>(msg.WParam));
        break;
    default:
        break;
    }
}

// ---- the run ----------------------------------------------------------------------------------

void TRunEngine::Start()
{
    if (FStarted)
        return;
    FStarted = true;
    FActiveBrowser = FStartInSecond ? &FWebBrowser2 : &FWebBrowser1;
    Proceed(FModel.FirstStep());
}

void TRunEngine::Stop()
{
    if (FStopped)
        return;
    FStopped = true;
    if (!FStarted)
        return;
    if (FPage.PollTimer)
        FPage.PollTimer->stop();
    if (FActiveBrowser)
        ResetBrowser(FActiveBrowser);
    FTransfer.Stop();
    FFiles.MediaAnswer.reset();
    FStream.Stop();
    FSubs.Stop();
    FSubsState.HoldsEnd = false;
    FHttpCli1->OnRequestDone = nullptr;
    if (FHttpCli1->State() != httpReady)
        FHttpCli1->Abort();
    // A runner shared with later engines of the run is stopped only while it converts for this one.
    if (TConvertProcess* runner = Runner(); runner && runner->Active && runner->Window == FWindow.Handle())
        runner->Stop(0);
    LeaveConverterTurn();
    if (!FEnded && FState != jsDone && FState != jsFailed && FState != jsSkipped)
        SetState(jsStopped);
}

void TRunEngine::EndRun(TRunEnd how)
{
    FWindow.PostMessage(WM_RUN_END, static_cast<WPARAM>(how));
}

void TRunEngine::Proceed(TRunStep step)
{
    // A local file whose converter cannot start has its failure recorded; the run goes on with
    // the next one.
    for (;;) {
        switch (step) {
        case rsFetchPage:
            FWindow.PostMessage(WM_FETCH_PAGE);
            return;
        case rsClose:
            EndRun(reCompleted);
            return;
        case rsConvertFile:
            if (!TakeConverterTurn(WM_CONVERT_LOCAL))
                return;
            // Stop pressed while the converter's error was being shown ends the run there.
            if (StartLocalFile() || FStopped)
                return;
            ItemEnded();
            step = FModel.Advance();
            break;
        }
    }
}

void TRunEngine::ItemEnded()
{
    LeaveConverterTurn();
    if (FModel.AtEnd())
        return;
    // Success is stated by the stage that knows; an item that ends without any outcome is a
    // fault of the run, and is reported rather than passed off as done.
    if (FModel.Item(FModel.Index()).Outcome == ioPending) {
        LogLine("run", "item " + std::to_string(FModel.Index() + 1) + " ended without an outcome");
        Fail("Unable download video from " + FModel.Address() + ": the item ended without an outcome",
             "the item ended without an outcome");
    }
    const TItemOutcome outcome = FModel.Item(FModel.Index()).Outcome;
    if (outcome == ioFailed)
        FEvents.ItemFailed(FModel.Index(), FVerdict.Failure);
    SetState(outcome == ioFailed ? jsFailed : outcome == ioSkipped ? jsSkipped : jsDone);
    FEvents.ItemEnded(FModel.Index(), outcome == ioPending ? ioDone : outcome,
                      outcome == ioSkipped ? FVerdict.SkipNote : FVerdict.FailureLine);
}

void TRunEngine::NextItem()
{
    if (FStopped)
        return;
    if (FSubs.Running()) {
        // A subtitle still on its way: the item ends with it, which is soon (it is small).
        FSubsState.HoldsEnd = true;
        return;
    }
    SaveSubtitles();
    ItemEnded();
    Proceed(FModel.Advance());
}

void TRunEngine::Fail(const std::string& line, const std::string& reason, const TOutcome* outcome)
{
    if (FVerdict.FailureLine.empty()) {
        FVerdict.FailureLine = line;
        FVerdict.Failure = TItemFailure{};
        FVerdict.Failure.Stage = FState == jsConverting || FState == jsJoining     ? "convert"
                                 : FState == jsTransferring || FState == jsWaiting ? "download"
                                                                                   : "page";
        if (outcome) {
            FVerdict.Failure.Kind = outcome->Fail;
            // A status only when it was the answer (a 404), not a success that broke later.
            FVerdict.Failure.Status = outcome->Request.Kind == hoStatus ? outcome->Request.Status : 0;
            FVerdict.Failure.Request = outcome->Request.Kind;
        }
        FVerdict.Failure.Words = reason;
    }
    FModel.Fail(line, reason);
}

namespace {

// A page load that gave no page: its server said no (an error status), or the way there failed.
TFailKind LoadFailKind(const TWebBrowser& browser)
{
    switch (browser.LoadError()) {
    case leHttpStatus:
        return fkServer;
    case leRefused:
    case leHostNotFound:
    case leOther:
        return fkNetwork;
    default:
        return fkNone;
    }
}

} // namespace

void TRunEngine::SetPageReason(std::string words, TFailKind kind, int status)
{
    FPage.Reason = std::move(words);
    FPage.Fail = kind;
    FPage.Status = status;
}

void TRunEngine::SetPlayerReason(std::string words, TFailKind kind, int status)
{
    FPage.PlayerReason = std::move(words);
    FPage.PlayerFail = kind;
    FPage.PlayerStatus = status;
}

// ---- page stage -------------------------------------------------------------------------------

std::string TRunEngine::ReadPageText(TWebBrowser* browser)
{
    TWebDocument* document = browser->Document();
    if (!document)
        return std::string();
    TMemoryStream stream;
    try {
        stream.SetSize(kInitialTextBuffer); // zero-filled
        stream.SetPosition(0);
    } catch (const std::bad_alloc&) {
        FEvents.Alert(raPageUnreadable, "Unable get html from the url. Please try again later!");
        return ReadFailureText;
    }
    try {
        document->Save(stream);
        const std::string& data = stream.DataString();
        const std::size_t end = data.find('\0');
        return end == std::string::npos ? data : data.substr(0, end);
    } catch (...) {
        LogCaught("run", "reading the page's text");
        return ReadFailureText;
    }
}

void TRunEngine::ResetBrowser(TWebBrowser* browser)
{
    browser->Navigate2("about:blank");
    browser->SetOffline(true);
}

void TRunEngine::StageFailed(const std::string& what)
{
    // One bad item must not leave the run waiting on its page: it gets its line and the run goes
    // on.
    if (FPage.PollTimer)
        FPage.PollTimer->stop();
    Fail("Unable get html from " + FModel.Address() + ": " + what, what);
    NextItem();
}

void TRunEngine::FetchPage()
{
    // A new job: nothing of the last item's page carries over, its cookies neither.
    FCookies = FOwner && FOwner->Cookies() ? *FOwner->Cookies() : TCookieJar();
    FromItemsOwnPage();
    SetPlayerReason(std::string(), fkNone);
    FFiles.Referer.clear();
    FPage.NextCandidates.clear();
    FPage.Tried.clear();
    FFiles.FileName.clear();
    FFiles.DownloadUrl.clear();
    FFiles.HdAvailable = false;
    FFiles.IsStream = false;
    FFiles.MediaAnswer.reset();
    FStream.Stop(); // and what its page gave it
    FFiles.Joining = false;
    FFiles.TransferPath.clear();
    FVerdict.FailureLine.clear();
    FVerdict.SkipNote.clear();
    FFiles.Path.clear();
    FSubs.Stop();
    FSubsState.PageSubtitles.clear();
    FSubsState.Language.clear();
    FSubsState.Ready = false;
    FSubsState.HoldsEnd = false;
    FFiles.VideoReplaced = false;
    FFiles.ConvertedPath.clear();
    FFiles.ConvertWanted.clear();
    FNames.Claimant = Claims().NewItem();
    FState = jsPending;
    try {
        const std::string address = FModel.Address();
        FEvents.ItemStarted(FModel.Index(), address);
        if (FStopped)
            return;
        if (!IsVideoAddress(address) && !IsWebAddress(address)) {
            FModel.Skip();
            NextItem();
            return;
        }
        FPage.Attempt = 1;
        FPage.Switches = 0;
        NavigatePage();
    } catch (const std::exception& e) {
        StageFailed(e.what());
    } catch (...) {
        LogCaught("run", "page stage of item " + std::to_string(FModel.Index() + 1));
        StageFailed("unexpected error");
    }
}

void TRunEngine::NavigatePage()
{
    FPage.LastVersion = 0;
    FPage.PollStarted = false;
    if (FPage.PollTimer)
        FPage.PollTimer->stop();
    SetPageReason("the page did not finish loading within " + std::to_string(FPollLimitMs / 1000) + " seconds",
                  fkNetwork);
    SetState(jsPageLoading);
    FActiveBrowser->Navigate(FPage.Target);
    SchedulePass();
}

void TRunEngine::SchedulePass()
{
    if (FPage.PassPosted || (FState != jsPageLoading && FState != jsAnalysing))
        return;
    FPage.PassPosted = true;
    FWindow.PostMessage(WM_PAGE_PASS);
}

void TRunEngine::PagePass()
{
    if (FState != jsPageLoading && FState != jsAnalysing)
        return;
    try {
        if (FActiveBrowser->ReadyState() < READYSTATE_INTERACTIVE)
            return; // its next event brings the next pass
        if (!FPage.PollStarted) {
            FPage.PollStarted = true;
            StartPollLimit();
            SetState(jsAnalysing);
        }
        // The same text gives the same outcome: a pass on a page that has not changed since the
        // last (incomplete) one is skipped rather than repeated.
        const TWebDocument* document = FActiveBrowser->Document();
        if (document && document->Version() == FPage.LastVersion)
            return;
        FPage.LastVersion = document ? document->Version() : 0;
        // Taken before the read: when the load had already ended, this pass sees the whole page,
        // and no later read can bring anything new.
        const bool loadEnded = FActiveBrowser->ReadyState() == READYSTATE_COMPLETE;
        // A playlist or manifest larger than a page may be: not a page that cannot be read.
        if (document && document->TooLarge() && !IsVideoAddress(FModel.Address()) && !FPage.ReadingOEmbed &&
            NamesAStream(*FActiveBrowser))
            return TakeStreamAddress(*FActiveBrowser);
        const std::string text = ReadPageText(FActiveBrowser);
        if (text == ReadFailureText)
            return PageUnreadable();
        if (!IsVideoAddress(FModel.Address()))
            return WebPagePass(text, loadEnded);
        SitePagePass(text, loadEnded);
    } catch (const std::exception& e) {
        StageFailed(e.what());
    } catch (...) {
        LogCaught("run", "page stage of item " + std::to_string(FModel.Index() + 1));
        StageFailed("unexpected error");
    }
}

// The page stage's time limit, counted from the first pass.
void TRunEngine::StartPollLimit()
{
    if (!FPage.PollTimer) {
        FPage.PollTimer = std::make_unique<QTimer>();
        FPage.PollTimer->setSingleShot(true);
        QObject::connect(FPage.PollTimer.get(), &QTimer::timeout, [this] {
            Application::Guard([this] {
                if (FStopped || (FState != jsPageLoading && FState != jsAnalysing))
                    return;
                if (!FPage.Embedding.empty() && !FPage.ReadingOEmbed) {
                    // A player's page that never ends: the next player has its turn.
                    SetPlayerReason("the page embeds a player from " + text::Lower(ParseURL(FPage.Target).Host) +
                                        ", whose page did not " + "finish loading within " +
                                        std::to_string(FPollLimitMs / 1000) + " seconds",
                                    fkNetwork);
                    return OpenNextPlayer();
                }
                if (FPage.ReadingOEmbed)
                    return OpenNextPlayer();
                EndPageAttempt();
            });
        });
    }
    FPage.PollTimer->start(static_cast<int>(FPollLimitMs));
}

// The page cannot be read by this browser: the other one loads it and stays in use for the rest
// of the run; when neither can, the run ends.
void TRunEngine::PageUnreadable()
{
    if (FPage.Switches == 1) {
        FPage.PollTimer->stop();
        ResetBrowser(FActiveBrowser);
        SetState(jsStopped);
        EndRun(reUnreadable);
        return;
    }
    ResetBrowser(FActiveBrowser);
    FActiveBrowser = &FWebBrowser2;
    FPage.Switches = 1;
    NavigatePage();
}

// A pass over one of the three sites' watch pages.
void TRunEngine::SitePagePass(const std::string& text, bool loadEnded)
{
    TPageItemState state;
    state.FileName = FFiles.FileName;
    state.DownloadUrl = FFiles.DownloadUrl;
    state.HdAvailable = FFiles.HdAvailable;
    state.Mode = FModel.Mode();
    const TAnalysisResult result = AnalysePage(FModel.Address(), text, state);
    SetPageResult(state.FileName, state.DownloadUrl);
    FFiles.HdAvailable = state.HdAvailable;
    // state.Mode is not taken back: whether an item is converted is the run model's per-item
    // rule, and one Google Video item must not change the rest of the run.
    if (result == arAgeRestricted)
        return AskSignIn();
    if (result == arUnavailable) {
        SetPageReason("the site says this functionality is not available right now", fkNoVideo);
        return EndPageAttempt();
    }
    if (result != arIncomplete)
        return EndPageAttempt();
    if (!loadEnded)
        return; // a later pass may find it
    // Waiting cannot help: the page is all there (or the load failed) and holds no video.
    if (FActiveBrowser->LoadError() != leNone)
        SetPageReason(FActiveBrowser->LoadErrorText(), LoadFailKind(*FActiveBrowser),
                      FActiveBrowser->LoadErrorStatus());
    else
        SetPageReason("no video found on the page", fkNoVideo);
    EndPageAttempt();
}

namespace {

// A page's most trusted stream: an HLS playlist or a DASH manifest, by type or by name.
const TMediaCandidate* FirstStream(const std::vector<TMediaCandidate>& streams)
{
    for (const TMediaCandidate& c : streams) {
        const std::string path = AddressFileName(c.Url);
        if (IsHlsPlaylistType(c.Type) || IsDashManifestType(c.Type) ||
            (path.size() > 5 && text::EndsWithNoCase(path, ".m3u8")) ||
            (path.size() > 4 && text::EndsWithNoCase(path, ".mpd")))
            return &c;
    }
    return nullptr;
}

// The name of a stream's file: the page's title, else the playlist's or manifest's name without
// its extension.
std::string StreamName(const std::string& playlistUrl, const std::string& title)
{
    if (!title.empty())
        return title;
    std::string name = AddressFileName(playlistUrl);
    if (const std::size_t dot = name.rfind('.'); dot != std::string::npos && dot > 0)
        name.erase(dot);
    return name.empty() || name == "index" || name == "master" || name == "playlist" || name == "manifest" ? "stream"
                                                                                                           : name;
}

} // namespace

// Any other address: once the load has ended, the address is the file itself, or its page says
// where the file is in open metadata or HTML video elements.
void TRunEngine::WebPagePass(const std::string& text, bool loadEnded)
{
    if (!loadEnded)
        return; // the open rules read the whole page once
    if (FPage.ReadingOEmbed)
        return OEmbedPass(text);
    TWebBrowser& browser = *FActiveBrowser;
    // What the video's server sees as the page it is shown on: the page that embeds the player
    // when one was opened (the player would be shown there), else the item's page.
    FFiles.Referer = FPage.Embedding;
    if (browser.MediaAnswer())
        return TakeMediaAnswer(browser);
    if (browser.LoadError() != leNone) {
        if (!FPage.Embedding.empty()) {
            SetPlayerReason("the page embeds a player from " + text::Lower(ParseURL(FPage.Target).Host) +
                                ", whose page could not be read: " + browser.LoadErrorText(),
                            LoadFailKind(browser), browser.LoadErrorStatus());
            return OpenNextPlayer();
        }
        SetPageReason(browser.LoadErrorText(), LoadFailKind(browser), browser.LoadErrorStatus());
        return EndPageAttempt();
    }
    // The address is a stream's playlist or manifest itself.
    if (NamesAStream(browser) || LooksLikeHlsPlaylist(text) || LooksLikeDashManifest(text))
        return TakeStreamAddress(browser);
    PageMediaFound(browser, FindPageMedia(text, browser.AnswerAddress()));
}

// An answer whose type or address says it is a stream's playlist or manifest.
bool TRunEngine::NamesAStream(const TWebBrowser& browser)
{
    if (IsHlsPlaylistType(browser.AnswerType()) || IsDashManifestType(browser.AnswerType()))
        return true;
    const std::string path = text::Lower(ParseURL(browser.AnswerAddress()).Path);
    const std::string file = path.substr(0, path.find_first_of("?#"));
    return text::EndsWithNoCase(file, ".m3u8") || text::EndsWithNoCase(file, ".mpd");
}

void TRunEngine::TakeStreamAddress(TWebBrowser& browser)
{
    FFiles.IsStream = true;
    SetPageResult(MediaFileName(StreamName(browser.AnswerAddress(), std::string()), ".mp4"), browser.AnswerAddress());
    // The stream reads what was read here rather than asking for the same address again; one
    // too large for a page is read by the stream, within its own limit.
    if (const TWebDocument* document = browser.Document(); document && !document->TooLarge())
        FStream.GiveFirstText(document->Source(), browser.AnswerAddress());
    EndPageAttempt();
}

// The address answered with the file itself: named by its server's words, else its address.
void TRunEngine::TakeMediaAnswer(TWebBrowser& browser)
{
    FFiles.MediaAnswer = browser.TakeMediaAnswer();
    std::string name = DispositionFileName(browser.AnswerDisposition());
    if (name.empty())
        name = AddressFileName(browser.AnswerAddress());
    if (name.empty())
        name = "video";
    // A file the server does not call video or audio keeps a name that has an extension
    // ("big.bin"); a video's name gets the one its type says when it has none.
    const std::string type = text::Lower(browser.AnswerType());
    const bool media = text::StartsWithNoCase(type, "video/") || text::StartsWithNoCase(type, "audio/");
    const bool named = name.find('.') != std::string::npos;
    SetPageResult(MediaFileName(name, media || !named
                                          ? ExtensionForAnswer(browser.AnswerType(), browser.AnswerAddress())
                                          : std::string()),
                  browser.AnswerAddress());
    EndPageAttempt();
}

// What a web page offers: its videos, else its players, else why it has none.
void TRunEngine::PageMediaFound(TWebBrowser& browser, const TPageMedia& media)
{
    if (!media.Files.empty() || FirstStream(media.Streams)) {
        if (FPage.Embedding.empty())
            FFiles.Referer = browser.AnswerAddress().substr(0, browser.AnswerAddress().find('#'));
        FSubsState.PageSubtitles = PageSubtitleSources(media.Tracks);
        TakeCandidates(media);
    } else if (!FPage.Embedding.empty()) {
        // A player's page that declares nothing either: the next player, if any, else the
        // item's line names the player.
        SetPlayerReason("the page embeds a player from " + text::Lower(ParseURL(FPage.Target).Host) +
                            "; open that player's page instead",
                        fkNoVideo);
        return OpenNextPlayer();
    } else if (!media.Players.empty() || !media.OEmbed.empty()) {
        // One level only: the players a player's page embeds are not opened.
        FPage.Embedding = browser.AnswerAddress().substr(0, browser.AnswerAddress().find('#'));
        FPage.Players = media.Players;
        FPage.OEmbed = media.OEmbed;
        SetPlayerReason(!media.EmbedHost.empty()
                            ? "the page embeds a player from " + media.EmbedHost + "; open that player's page instead"
                            : "no video found on the page",
                        fkNoVideo);
        return OpenNextPlayer();
    } else if (!media.EmbedHost.empty()) {
        SetPageReason("the page embeds a player from " + media.EmbedHost + "; open that player's page instead",
                      fkNoVideo);
    } else if (!media.StreamType.empty()) {
        SetPageReason("the video is a stream (" + media.StreamType + "), not a file", fkNoVideo);
    } else {
        SetPageReason("no video found on the page", fkNoVideo);
    }
    EndPageAttempt();
}

void TRunEngine::TakeCandidates(const TPageMedia& media)
{
    // More than a few would only make a page of dead links take long to fail.
    constexpr std::size_t kMaxCandidates = 5;
    const int quality = FOwner ? FOwner->Quality() : vqNormal;
    FPage.NextCandidates.clear();
    std::vector<TMediaCandidate> files = media.Files;
    while (FPage.NextCandidates.size() < kMaxCandidates) {
        const TMediaCandidate* pick = PickMediaCandidate(files, quality);
        if (!pick)
            break;
        // The title the chosen video's own markup gives comes first.
        std::string name = !pick->Title.empty() ? pick->Title : media.Title;
        if (name.empty()) {
            name = AddressFileName(pick->Url);
            if (const std::size_t dot = name.rfind('.'); dot != std::string::npos && dot > 0)
                name = name.substr(0, dot);
        }
        if (name.empty())
            name = "video";
        FPage.NextCandidates.push_back({MediaFileName(name, MediaExtension(*pick)), pick->Url, false});
        files.erase(files.begin() + (pick - files.data()));
    }
    for (const TMediaCandidate& s : media.Streams) {
        if (FPage.NextCandidates.size() >= kMaxCandidates || !FirstStream({s}))
            continue;
        FPage.NextCandidates.push_back(
            {MediaFileName(StreamName(s.Url, !s.Title.empty() ? s.Title : media.Title), ".mp4"), s.Url, true});
    }
    if (FPage.NextCandidates.empty())
        return;
    TCandidate first = std::move(FPage.NextCandidates.front());
    FPage.NextCandidates.erase(FPage.NextCandidates.begin());
    FFiles.IsStream = first.Stream;
    SetPageResult(first.Name, first.Url);
}

bool TRunEngine::TryNextCandidate(const TOutcome& result)
{
    // The file's own fault: another of the page's candidates may well be there.
    const bool own = result.Fail == fkServer || result.Fail == fkMedia;
    if (!own && FPage.Tried.empty())
        return false;
    FPage.Tried.push_back(FFiles.DownloadUrl + " (" + result.Words + ")");
    if (!own || FPage.NextCandidates.empty())
        return false;
    // Nothing of the failed one is kept: its bytes are not the next one's.
    if (FFiles.IsStream) {
        TStreamTransfer::RemoveParts(FFiles.StreamParts);
    } else {
        RemoveFileIfAny(PartPathOf(FFiles.Path));
        RemoveFileIfAny(PartMetaPathOf(FFiles.Path));
    }
    TCandidate next = std::move(FPage.NextCandidates.front());
    FPage.NextCandidates.erase(FPage.NextCandidates.begin());
    FFiles.IsStream = next.Stream;
    SetPageResult(next.Name, next.Url);
    FWindow.PostMessage(WM_START_DOWNLOAD);
    return true;
}

void TRunEngine::LoadInPage(const std::string& address)
{
    if (FPage.PollTimer)
        FPage.PollTimer->stop();
    ResetBrowser(FActiveBrowser);
    FPage.Target = address;
    for (TWebBrowser* b : {&FWebBrowser1, &FWebBrowser2}) {
        b->SetReferer(FPage.Embedding);
        b->SetReadsAnyType(FPage.ReadingOEmbed);
    }
    NavigatePage();
}

void TRunEngine::OpenNextPlayer()
{
    if (!FPage.OEmbed.empty()) {
        FPage.ReadingOEmbed = true;
        const std::string answer = std::move(FPage.OEmbed);
        FPage.OEmbed.clear();
        return LoadInPage(answer);
    }
    FPage.ReadingOEmbed = false;
    if (FPage.Players.empty() || FPage.PlayersOpened >= MaxPlayerTries) {
        // The item's page is not read again: it was whole, and its players have had their turn.
        SetPageReason(FPage.PlayerReason, FPage.PlayerFail, FPage.PlayerStatus);
        FPage.Attempt = 2;
        return EndPageAttempt();
    }
    const std::string player = FPage.Players.front();
    FPage.Players.erase(FPage.Players.begin());
    ++FPage.PlayersOpened;
    LoadInPage(player);
}

// The oEmbed answer names the player in its html; it goes before the frames the page holds.
void TRunEngine::OEmbedPass(const std::string& text)
{
    FPage.ReadingOEmbed = false;
    const std::string player =
        FActiveBrowser->LoadError() == leNone ? OEmbedPlayer(text, FActiveBrowser->AnswerAddress()) : std::string();
    if (!player.empty()) {
        if (const auto at = std::find(FPage.Players.begin(), FPage.Players.end(), player); at != FPage.Players.end())
            FPage.Players.erase(at);
        FPage.Players.insert(FPage.Players.begin(), player);
        if (FPage.PlayerReason == "no video found on the page")
            SetPlayerReason("the page embeds a player from " + text::Lower(ParseURL(player).Host) +
                                "; open that player's page instead",
                            fkNoVideo);
    }
    OpenNextPlayer();
}

void TRunEngine::SetPageResult(const std::string& fileName, const std::string& downloadUrl)
{
    if (fileName == FFiles.FileName && downloadUrl == FFiles.DownloadUrl)
        return;
    FFiles.FileName = fileName;
    FFiles.DownloadUrl = downloadUrl;
    FEvents.TitleKnown(FFiles.FileName, FFiles.DownloadUrl);
}

void TRunEngine::FromItemsOwnPage()
{
    FPage.Target = FModel.Address();
    FPage.Embedding.clear();
    FPage.Players.clear();
    FPage.OEmbed.clear();
    FPage.ReadingOEmbed = false;
    FPage.PlayersOpened = 0;
    for (TWebBrowser* b : {&FWebBrowser1, &FWebBrowser2}) {
        b->SetReferer(std::string());
        b->SetReadsAnyType(false);
    }
}

void TRunEngine::EndPageAttempt()
{
    if (FPage.PollTimer)
        FPage.PollTimer->stop();
    ResetBrowser(FActiveBrowser);
    // A server's final no (404, 403, 410, ...) is the same the second time: it is asked once.
    const bool finalNo = FPage.Fail == fkServer && FPage.Status >= 400 && !StatusWorthRetry(FPage.Status);
    if (!FFiles.DownloadUrl.empty() || FPage.Attempt >= 2 || finalNo)
        return PageDone();
    ++FPage.Attempt;
    FPage.Switches = 0;
    // The second attempt starts from the item's own page again.
    FromItemsOwnPage();
    NavigatePage();
}

void TRunEngine::PageDone()
{
    if (FFiles.DownloadUrl.empty())
        FModel.SetPageReason(FPage.Reason);
    if (FFiles.FileName.empty())
        SetPageResult("get_video.flv", FFiles.DownloadUrl);
    FState = jsPending; // between stages: late page events start nothing
    FWindow.PostMessage(WM_START_DOWNLOAD);
}

// ---- transfer stage ---------------------------------------------------------------------------

// The page stage ended without an address: the item fails with the page's reason and kind.
void TRunEngine::PageGaveNoVideo()
{
    FModel.FailNoVideo();
    if (FVerdict.FailureLine.empty() && !FModel.FailureLines().empty()) {
        FVerdict.FailureLine = FModel.FailureLines().back();
        FVerdict.Failure = TItemFailure{};
        FVerdict.Failure.Stage = "page";
        FVerdict.Failure.Kind = FPage.Fail;
        FVerdict.Failure.Status = FPage.Status;
        FVerdict.Failure.Request = FPage.Status > 0 ? hoStatus : hoNone;
        FVerdict.Failure.Words = FModel.Item(FModel.Index()).Reason;
    }
    EndOfItem();
}

void TRunEngine::StartDownload()
{
    const std::string address = FModel.Address();
    if (FFiles.DownloadUrl.empty())
        return PageGaveNoVideo();
    SetState(jsTransferring);
    FFiles.Quality = ItemQuality();
    std::string wanted = TransferOutputPath(OutputFolder(), FFiles.FileName, FFiles.Quality);
    if (const std::string nameTemplate = FOwner ? FOwner->NameTemplate() : std::string(); !nameTemplate.empty())
        wanted = IncludeTrailingPathDelimiter(OutputFolder()) +
                 NameFromTemplate(nameTemplate, ExtractFileName(wanted), address);
    const TOutputChoice choice = ChooseOutputPath(wanted, address, FNames.Claimant, Claims());
    FFiles.Path = choice.Path;
    const bool replaces = FOwner && FOwner->ReplacesSavedFiles();
    // The conversion is named from the page's name, so that every run numbers it alike; a file
    // an earlier run converted from this address answers for the item (its video may be gone).
    std::string converted;
    if (FModel.ConvertsAfterTransfer()) {
        FFiles.ConvertWanted = ChangeFileExt(wanted, FConvert.Extension);
        if (choice.Kind != TOutputKind::Duplicate && !replaces)
            converted = SavedFrom(FFiles.ConvertWanted, address, FFiles.Path, Claims());
    }
    FEvents.OutputChosen(converted.empty() ? FFiles.Path : converted);
    if (FStopped)
        return;
    if (!converted.empty())
        return SkipItem("already converted from this address");
    switch (choice.Kind) {
    case TOutputKind::Free:
        break;
    case TOutputKind::Saved:
        if (replaces) {
            FFiles.VideoReplaced = true;
            break;
        }
        // A video kept from an earlier run whose conversion is missing is converted now.
        if (FModel.ConvertsAfterTransfer())
            return EndOfItem();
        return SkipItem("already saved from this address");
    case TOutputKind::Duplicate:
        return SkipItem("another item of this run saves the same address");
    case TOutputKind::Unknown:
        // The question is about the finished file; an unfinished one (".part") is simply
        // continued.
        return Ask(FFiles.Path, [this](bool replace) {
            FFiles.VideoReplaced = replace;
            if (replace)
                return BeginTransfer();
            // The user's own file stays, and is what the conversion (if any) takes.
            FModel.Skip();
            FVerdict.SkipNote = "kept as it is";
            EndOfItem();
        });
    }
    BeginTransfer();
}

void TRunEngine::BeginTransfer()
{
    THttpCli& http = *FHttpCli1;
    // A Google Video page writes its link as HTML text ("&amp;" between the parameters); the
    // server wants the address itself.
    FFiles.RequestUrl =
        FModel.Site() == vsGoogleVideo ? DecodeCharacterReferences(FFiles.DownloadUrl) : FFiles.DownloadUrl;
    // The proxy is chosen for each file by its own address.
    UseProxyFor(http, FFiles.RequestUrl);
    http.SetReference(FFiles.Referer);
    FStream.SetRateLimit(FOwner ? FOwner->RateLimit() : nullptr);
    FTransfer.SetRateLimit(FOwner ? FOwner->RateLimit() : nullptr);
    FSubs.SetRateLimit(FOwner ? FOwner->RateLimit() : nullptr);
    if (FFiles.IsStream) {
        FStream.SetConnections(FOwner ? FOwner->Connections() : 1);
        FStream.SetQuality(FOwner ? FOwner->Quality() : vqNormal);
        FFiles.StreamParts = FFiles.Path;
        FStream.Start(FFiles.RequestUrl, FFiles.Path);
        return;
    }
    http.SetURL(QualityAddress(FFiles.RequestUrl, FFiles.Quality, FFiles.HdAvailable));
    FTransfer.SetConnections(FOwner ? FOwner->Connections() : 1);
    std::optional<TWebBrowser::TMediaAnswer> answer = std::move(FFiles.MediaAnswer);
    FFiles.MediaAnswer.reset();
    FTransfer.Start(FFiles.Path, std::move(answer));
}

// A stream's tracks are complete: fragmented MP4 alone is a file as it is; anything else (MPEG-TS,
// or separate audio) is joined into one .mp4 by the converter, copying the streams.
void TRunEngine::StreamEnded(const TOutcome& result)
{
    if (FStopped)
        return;
    if (!result.IsDone())
        return TransferFailed(result);
    StartSubtitles();
    if (FStream.AudioPart().empty() && FStream.FragmentedMp4() && FStream.JoinExtension().empty()) {
        try {
            ReplaceFile(FStream.VideoPart(), FFiles.Path);
        } catch (const std::exception& e) {
            const TOutcome unsaved = TOutcome::Failed(fkSave, e.what());
            Fail("Unable to save " + FModel.Address() + ": " + unsaved.Words, unsaved.Words, &unsaved);
            return EndOfItem();
        }
        TStreamTransfer::RemoveParts(FFiles.StreamParts);
        FFiles.TransferPath = FFiles.Path;
        return EndOfItem();
    }
    SetState(jsJoining);
    if (TakeConverterTurn(WM_JOIN_START))
        FWindow.PostMessage(WM_JOIN_START);
}

void TRunEngine::JoinStart()
{
    TConvertProcess* runner = Runner();
    const std::string reason = "the stream's tracks could not be joined: ";
    try {
        if (!runner)
            throw Exception("No convert process available");
        FFiles.Joining = true;
        runner->Active = true;
        runner->InputFile = FStream.VideoPart();
        runner->ExtraInputs.clear();
        if (!FStream.AudioPart().empty()) {
            runner->ExtraInputs.push_back(FStream.AudioPart());
            runner->Arguments = "-map 0:v:0? -map 1:a:0 -c copy ";
        } else {
            runner->Arguments = "-c copy ";
        }
        if (const std::string& ext = FStream.JoinExtension(); !ext.empty() && !text::EndsWithNoCase(FFiles.Path, ext)) {
            // The tracks' codecs do not go into an MP4: the file takes the container that holds
            // them, under a free name.
            const std::string wanted = ChangeFileExt(FFiles.Path, ext);
            std::string path = wanted;
            for (int n = 2; FileExists(path) && n < 1000; ++n)
                path = NumberedPath(wanted, n);
            FFiles.Path = path;
            FFiles.VideoReplaced = false; // a name of its own: whatever lay beside the old one stays
            FEvents.OutputChosen(FFiles.Path);
        }
        runner->OutputFile = FFiles.Path;
        runner->Window = FWindow.Handle();
        // The user has agreed to replace the file already (or it was not there).
        RemoveFileIfAny(FFiles.Path);
        runner->Start();
    } catch (const std::exception& e) {
        FFiles.Joining = false;
        Fail("Unable download video from " + FModel.Address() + ": " + reason + e.what(), e.what());
        if (!FConvert.StartReported) {
            FConvert.StartReported = true;
            FEvents.Alert(raConverterCannotStart, e.what());
        }
        if (!FStopped)
            NextItem();
        return;
    }
    FEvents.ConvertStarted(ExtractFileName(FFiles.Path));
}

// The joined file replaces the tracks; a failed join keeps them, so the next run joins again
// without fetching anything.
void TRunEngine::JoinEnded(const TProcessInfo& record)
{
    FFiles.Joining = false;
    if ((record.Failed() || !FileExists(FFiles.Path)) && FStream.Resumed()) {
        // Tracks kept from an earlier run that do not join are not kept forever: dropped and
        // fetched again, once (a fresh fetch is no longer a resumed one).
        LogLine("run", "item " + std::to_string(FModel.Index() + 1) +
                           ": the kept tracks could not be joined; fetching the stream again");
        LeaveConverterTurn();
        RemoveFileIfAny(FFiles.Path);
        TStreamTransfer::RemoveParts(FFiles.StreamParts);
        SetState(jsTransferring);
        FStream.Start(FFiles.RequestUrl, FFiles.StreamParts);
        return;
    }
    if (record.Failed() || !FileExists(FFiles.Path)) {
        std::string why = "the stream's tracks could not be joined";
        if (record.ExitCode != 0)
            why += " (exit code " + std::to_string(record.ExitCode) + ")";
        if (!record.ErrorText.empty())
            why += ": " + record.ErrorText;
        Fail("Unable download video from " + FModel.Address() + ": " + why, why);
        return NextItem();
    }
    TStreamTransfer::RemoveParts(FFiles.StreamParts);
    FFiles.TransferPath = FFiles.Path;
    EndOfItem();
}

void TRunEngine::TransferEnded(const TOutcome& result)
{
    if (FStopped)
        return;
    if (result.IsDone()) {
        FFiles.TransferPath = FTransfer.CompletedPath();
        StartSubtitles();
        EndOfItem();
        return;
    }
    if (result.Fail == fkPlaylist && !FFiles.IsStream) {
        // The file a page declared is a stream: fetched as one, into an .mp4.
        FFiles.IsStream = true;
        SetPageResult(ChangeFileExt(FFiles.FileName, ".mp4"), FFiles.DownloadUrl);
        FWindow.PostMessage(WM_START_DOWNLOAD);
        return;
    }
    THttpCli& http = *FHttpCli1;
    if (FFiles.Quality == vqBestAvailable && http.URL() != FFiles.RequestUrl && result.Fail != fkSave) {
        // The higher quality is not there: take the plain file once, without asking again.
        // Nothing of the failed attempt is kept.
        RemoveFileIfAny(PartPathOf(FFiles.Path));
        RemoveFileIfAny(PartMetaPathOf(FFiles.Path));
        http.SetURL(FFiles.RequestUrl);
        FFiles.Path = ChangeFileExt(FFiles.Path, ".flv");
        FTransfer.Start(FFiles.Path);
        return;
    }
    TransferFailed(result);
}

// A file or a stream that could not be fetched or saved: the item fails with the reason.
void TRunEngine::TransferFailed(const TOutcome& result)
{
    if (result.Fail == fkSave) {
        FEvents.Alert(raSaveFailed, result.Words);
        if (FStopped)
            return;
        Fail("Unable to save " + FModel.Address() + ": " + result.Words, result.Words, &result);
    } else {
        if (TryNextCandidate(result))
            return;
        // Several of the page's videos were tried: the line names each with why it failed.
        std::string words = result.Words;
        if (FPage.Tried.size() > 1) {
            words = "tried " + std::to_string(FPage.Tried.size()) + " of the page's videos: ";
            for (std::size_t i = 0; i < FPage.Tried.size(); ++i)
                words += (i ? "; " : "") + FPage.Tried[i];
        }
        Fail("Unable download video from " + FModel.Address() + ": " + words, words, &result);
    }
    EndOfItem();
}

TNameClaims& TRunEngine::Claims()
{
    if (TNameClaims* shared = FOwner ? FOwner->NameClaims() : nullptr)
        return *shared;
    if (!FNames.Own)
        FNames.Own = std::make_unique<TNameClaims>();
    return *FNames.Own;
}

// The item ends without doing anything; the note says why (for a summary, not a failure).
// Nothing is converted either: the file under the name is another item's or another run's.
void TRunEngine::SkipItem(const std::string& note)
{
    FModel.Skip();
    FVerdict.SkipNote = note;
    NextItem();
}

std::function<void(bool)> TRunEngine::AnswerTaker(int question)
{
    return [this, question, alive = FAlive](bool answer) {
        // The answer is taken from the engine's own loop, never inside whoever answered.
        if (!*alive || question != FAsk.Last || FStopped)
            return;
        FAsk.Answer = answer;
        FWindow.PostMessage(WM_QUESTION_ANSWERED);
    };
}

void TRunEngine::Ask(const std::string& path, std::function<void(bool)> then)
{
    const int question = ++FAsk.Last;
    FAsk.Then = std::move(then);
    FEvents.AskOverwrite(FModel.Index(), path, AnswerTaker(question));
}

void TRunEngine::AskSignIn()
{
    // The page stage is over: nothing more is read while the user decides.
    if (FPage.PollTimer)
        FPage.PollTimer->stop();
    ResetBrowser(FActiveBrowser);
    SetState(jsAsking);
    const int question = ++FAsk.Last;
    FAsk.Then = [this](bool stopRun) {
        if (stopRun) {
            // As Stop ends the run; the item stays without an outcome of its own.
            Stop();
            FEvents.RunEnded(reStoppedByPage);
            return;
        }
        const TOutcome signIn = TOutcome::Failed(fkSignIn, "the page asks to confirm the viewer's age");
        Fail("Unable get html from " + FModel.Address() + ": " + signIn.Words, signIn.Words, &signIn);
        NextItem();
    };
    FEvents.AskSignIn(FModel.Index(), AgeRestrictionMessage,
                      [take = AnswerTaker(question)](TSignInAnswer answer) { take(answer == saStopRun); });
}

void TRunEngine::EndOfItem()
{
    if (!FFiles.TransferPath.empty())
        RecordOrigin(FFiles.TransferPath, FModel.Address());
    if (FModel.ConvertsAfterTransfer()) {
        if (TakeConverterTurn(WM_CONVERT_START))
            FWindow.PostMessage(WM_CONVERT_START);
        return;
    }
    // The transfer was the last stage: an item neither failed nor skipped by now is done, and
    // only when its file is there.
    if (!FModel.AtEnd() && FModel.Item(FModel.Index()).Outcome == ioPending &&
        (FFiles.TransferPath.empty() || !FileExists(FFiles.TransferPath))) {
        const std::string words = "the item ended without its file";
        Fail("Unable download video from " + FModel.Address() + ": " + words, words);
    }
    FModel.Succeed();
    NextItem();
}

// ---- subtitles ---------------------------------------------------------------------------------

// The video is in: its subtitle is fetched beside the join or the conversion. The page's tracks
// come before the stream's own.
void TRunEngine::StartSubtitles()
{
    if (!FOwner || !FOwner->SavesSubtitles() || FSubs.Running())
        return;
    std::vector<TSubtitleSource> sources = FSubsState.PageSubtitles;
    if (FFiles.IsStream)
        sources.insert(sources.end(), FStream.Subtitles().begin(), FStream.Subtitles().end());
    const int pick = ChooseSubtitle(sources, FOwner->SubtitleLanguage());
    if (pick < 0)
        return;
    const TSubtitleSource& source = sources[static_cast<std::size_t>(pick)];
    FSubsState.Language = source.Language;
    LogDebug("run", "item " + std::to_string(FModel.Index() + 1) + ": subtitle " +
                        (source.Language.empty() ? std::string("without a language") : source.Language) + " of " +
                        std::to_string(sources.size()));
    FSubs.Start(source);
}

void TRunEngine::SubtitlesEnded(bool ok, const std::string& why)
{
    if (FStopped)
        return;
    FSubsState.Ready = ok;
    if (!ok) {
        const std::string note = "subtitle not saved: " + why;
        LogLine("run", "item " + std::to_string(FModel.Index() + 1) + ": " + note);
        FEvents.Note(FModel.Index(), note);
    }
    if (std::exchange(FSubsState.HoldsEnd, false))
        NextItem();
}

// The subtitle goes beside the video the item leaves: the downloaded file, else (removed after
// its conversion) the converted one. Like the video, an existing file of its name is replaced
// only when the video replaced its own; a new (or newly numbered) video leaves it alone.
void TRunEngine::SaveSubtitles()
{
    if (!std::exchange(FSubsState.Ready, false))
        return;
    const std::string video = !FFiles.TransferPath.empty() && FileExists(FFiles.TransferPath)     ? FFiles.TransferPath
                              : !FFiles.ConvertedPath.empty() && FileExists(FFiles.ConvertedPath) ? FFiles.ConvertedPath
                                                                                                  : std::string();
    if (video.empty())
        return;
    const std::string path = SubtitlePath(video, FSubsState.Language);
    std::string note;
    if (FileExists(path) && !FFiles.VideoReplaced) {
        note = "subtitle not saved: " + ExtractFileName(path) + " is there already";
    } else {
        const std::string part = path + ".part";
        try {
            {
                std::ofstream out(part, std::ios::binary | std::ios::trunc);
                out.write(FSubs.Text().data(), static_cast<std::streamsize>(FSubs.Text().size()));
                out.flush();
                if (!out)
                    throw Exception("cannot write " + ExtractFileName(part) + ": " + std::strerror(errno));
            }
            ReplaceFile(part, path);
            FEvents.SubtitleSaved(FModel.Index(), path);
            return;
        } catch (const std::exception& e) {
            RemoveFileIfAny(part);
            note = std::string("subtitle not saved: ") + e.what();
        }
    }
    LogLine("run", "item " + std::to_string(FModel.Index() + 1) + ": " + note);
    FEvents.Note(FModel.Index(), note);
}

// ---- conversion stage -------------------------------------------------------------------------

// True when the conversion started, or waits for the answer to whether to replace its output.
// The output's name is chosen and claimed as a download's is, before the converter starts: a
// name another item or another address holds gets a number, and the source itself is never
// written (a preset that writes the source's own kind numbers its output), --overwrite or not.
bool TRunEngine::StartFile(const std::string& inputPath)
{
    const std::string wanted = !FFiles.ConvertWanted.empty()
                                   ? FFiles.ConvertWanted
                                   : IncludeTrailingPathDelimiter(OutputFolder()) +
                                         ChangeFileExt(ExtractFileName(inputPath), FConvert.Extension);
    const TOutputChoice choice = ChooseConvertedPath(wanted, inputPath, FModel.Address(), FNames.Claimant, Claims());
    const std::string output = choice.Path;
    switch (choice.Kind) {
    case TOutputKind::Free:
        return RunConverter(inputPath, output);
    case TOutputKind::Saved:
        if (FOwner && FOwner->ReplacesSavedFiles())
            return RunConverter(inputPath, output);
        FModel.Skip();
        FVerdict.SkipNote = "already converted from this address";
        return false;
    case TOutputKind::Duplicate:
        FModel.Skip();
        FVerdict.SkipNote = "another item of this run converts the same file";
        return false;
    case TOutputKind::Unknown:
        break;
    }
    Ask(output, [this, inputPath, output](bool replace) {
        if (!replace) {
            // The user kept the existing output: nothing was converted, and nothing failed.
            FModel.Skip();
            return NextItem();
        }
        if (!RunConverter(inputPath, output) && !FStopped)
            NextItem();
    });
    return true;
}

bool TRunEngine::RunConverter(const std::string& inputPath, const std::string& outputPath)
{
    TConvertProcess* runner = Runner();
    try {
        if (!runner)
            throw Exception("No convert process available");
        runner->Active = true;
        runner->InputFile = inputPath;
        runner->OutputFile = outputPath;
        runner->Window = FWindow.Handle();
        runner->Arguments = FConvert.Arguments;
        runner->ExtraInputs.clear();
        // The question about an existing output has been asked by the run already; the runner
        // is left asking for whoever starts it next.
        runner->AskBeforeReplacing = false;
        try {
            runner->Start();
        } catch (...) {
            runner->AskBeforeReplacing = true;
            throw;
        }
        runner->AskBeforeReplacing = true;
    } catch (const std::exception& e) {
        // The item fails and the run goes on; the reason is told once, whatever follows (a
        // missing converter would otherwise ask for the same answer for every file).
        Fail("Convert process failed on " + inputPath + ": " + e.what(), e.what());
        if (!FConvert.StartReported) {
            FConvert.StartReported = true;
            FEvents.Alert(raConverterCannotStart, e.what());
        }
        return false;
    }
    FEvents.ConvertStarted(ExtractFileName(runner->OutputFile));
    return true;
}

bool TRunEngine::StartLocalFile()
{
    FVerdict.FailureLine.clear();
    FVerdict.SkipNote.clear();
    FFiles.ConvertWanted.clear();
    FNames.Claimant = Claims().NewItem();
    FState = jsPending;
    const std::string& entry = FModel.Address();
    FEvents.ItemStarted(FModel.Index(), entry);
    if (FStopped)
        return true;
    SetState(jsConverting);
    // Only a file on this machine is converted: the converter would open an entry that names an
    // address, a pipe or a device as such (listen on a port, wait for input, fetch from a
    // server).
    if (!RegularFileExists(entry)) {
        Fail("Not a local file: " + entry, "not a local file");
        return false;
    }
    return StartFile(entry);
}

void TRunEngine::ConvertStart()
{
    SetState(jsConverting);
    if (FFiles.TransferPath.empty()) {
        // No transfer ran for this item. Without a direct address there is no file of this item
        // at all, and whatever lies under its name in the output folder belongs to something
        // else: the item ends without a converter (its failure line is already there). A file
        // kept by answering No to the overwrite question is the user's choice and is converted.
        if (FFiles.DownloadUrl.empty()) {
            NextItem();
            return;
        }
        const std::string kept =
            FFiles.Path.empty() ? TransferOutputPath(OutputFolder(), FFiles.FileName, ItemQuality()) : FFiles.Path;
        if (!StartFile(kept) && !FStopped)
            NextItem();
        return;
    }
    // After the fallback to the plain file, the file of the attempt that completed is the one
    // converted.
    if (!StartFile(FFiles.TransferPath) && !FStopped)
        NextItem();
}

void TRunEngine::ConvertProgress(LPARAM lParam)
{
    std::unique_ptr<TProcessInfo> record(reinterpret_cast<TProcessInfo*>(lParam));
    if (!record || FStopped || FEnded)
        return;
    if (record->Percent != 1000) {
        FEvents.ConvertProgress(record->Percent, record->Elapsed, record->Estimated);
        return;
    }
    if (FFiles.Joining)
        return JoinEnded(*record);
    TConvertProcess* runner = Runner();
    if (record->Status == 1) {
        // The user kept the existing output: nothing was converted, and nothing failed.
        FModel.Skip();
    } else if (record->Status == 2) {
        FEvents.Alert(raOutputInUse, "Video file will be created may be used, convert process failed!");
        if (FStopped)
            return;
        const std::string output = runner ? runner->OutputFile : std::string();
        Fail("Convert process failed on " + (runner ? runner->InputFile : std::string()) + ": " + output +
                 " is in use by another program",
             output + " is in use by another program");
    }
    if (record->Failed()) {
        const std::string file = runner ? runner->InputFile : std::string();
        std::string line = "Convert process failed on " + file;
        if (record->ExitCode != 0)
            line += " (exit code " + std::to_string(record->ExitCode) + ")";
        if (!record->ErrorText.empty())
            line += ": " + record->ErrorText;
        Fail(line, record->ErrorText);
    } else if (record->Status == 0) {
        if (runner && FModel.ConvertsAfterTransfer()) {
            FFiles.ConvertedPath = runner->OutputFile;
            RecordOrigin(runner->OutputFile, FModel.Address());
            if (FOwner && !FOwner->KeepsDownload() && !FFiles.TransferPath.empty() &&
                FFiles.TransferPath != runner->OutputFile)
                RemoveFileIfAny(FFiles.TransferPath);
        }
        FModel.Succeed();
    }
    NextItem();
}

} // namespace cw
