#pragma once
// TRunEngine: one run over a list of items, free of widgets and of nested message loops. Every
// step starts from the event loop: a posted message of the engine's own hidden window, an event
// of the page engine, the HTTP client's request-done, or a timer. Nothing waits by pumping
// messages, so nothing has to look again after a call whether the run was stopped meanwhile.
//
// For each item (the current job) the engine:
//   page stage      loads the watch page in the active browser and analyses it whenever more
//                   of it arrived (jsPageLoading, jsAnalysing), for at most PollLimitMs after
//                   it became interactive, twice at most;
//   transfer stage  asks the front end before replacing an existing file, then fetches the file
//                   through a TTransfer (jsTransferring, jsWaiting between tries), with Best
//                   Available's fallback to the plain file; an HLS stream through a
//                   TStreamTransfer, whose tracks the converter runner then joins into one .mp4
//                   (jsJoining) unless the video is fragmented MP4 without separate audio;
//   conversion      hands the file (or, in convert-only runs, the local file) to the program's
//                   converter runner and follows its records (jsConverting);
// and ends in jsDone, jsFailed, jsSkipped or, after Stop, jsStopped. SetState is the one place
// a job changes state; each change is a debug line of the log (CLIPWARDEN_DEBUG=1).
//
// Outcomes and failure lines are kept in the TRunModel, which also decides what comes next.
// Everything the front end shows arrives through TRunEvents; the one question (an existing
// file) is asked through it too.
//
// Private messages of the engine's window:
//   WM_START_DOWNLOAD 0x1601  transfer stage of the current item
//   WM_FETCH_PAGE     0x1605  page stage of the current item
//   WM_CONVERT_PROGRESS 0x1606 a record of the converter runner (lParam, deleted here)
//   WM_CONVERT_START  0x1607  conversion stage after a transfer
//   WM_PAGE_PASS      0x1608  analyse the page again (posted once per burst of page events)
//   WM_RUN_END        0x1609  the run is over
//   WM_CONVERT_LOCAL  0x160A  convert the current local file (its turn at the converter came)
//   WM_JOIN_START     0x160B  join a stream's downloaded tracks into one file

#include "browser/WebBrowser.h"
#include "engine/RunModel.h"
#include "engine/StreamTransfer.h"
#include "engine/SubtitleFetch.h"
#include "engine/Transfer.h"
#include "engine/core/PartFile.h"
#include "global/Global.h"
#include "net/http/HttpProt.h"
#include "platform/MessageWindow.h"

#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

class QTimer;

namespace cw {

class TConvertGate;
struct TPageMedia;
class TNameClaims;
class TRateLimit;
class TConvertProcess;
class TProcessInfo;

constexpr unsigned WM_START_DOWNLOAD = 0x1601;
constexpr unsigned WM_FETCH_PAGE = 0x1605;
constexpr unsigned WM_CONVERT_START = 0x1607;
constexpr unsigned WM_PAGE_PASS = 0x1608;
constexpr unsigned WM_RUN_END = 0x1609;
constexpr unsigned WM_CONVERT_LOCAL = 0x160A;
constexpr unsigned WM_JOIN_START = 0x160B;
constexpr unsigned WM_QUESTION_ANSWERED = 0x160C;

// What the run reads from its front end while it goes on. The output folder text and the
// quality level are read anew for every item, never copied at the start.
class TRunOwner {
public:
    virtual ~TRunOwner() = default;
    // The text of the output folder box, as typed.
    virtual std::string OutputFolderText() const = 0;
    // FFiles.Quality: a VideoQuality value.
    virtual int Quality() const = 0;
    // The program's single converter runner (nullptr when there is none).
    virtual TConvertProcess* ConvertRunner() const = 0;
    // Connections per file (1..16): read for every file.
    virtual int Connections() const { return 1; }
    // Shared by runs that convert side by side: a conversion starts only when it has a slot.
    // nullptr: this run's conversions start at once.
    virtual TConvertGate* ConvertGate() const { return nullptr; }
    // The names taken in this run, shared by runs side by side; nullptr: the run keeps its own.
    virtual TNameClaims* NameClaims() const { return nullptr; }
    // The downloaded file stays after its conversion (else it is removed once the conversion
    // succeeded; a file the run did not download itself is never removed).
    virtual bool KeepsDownload() const { return true; }
    // A file already saved from the item's own address is fetched again and replaced (else the
    // item is skipped, without a question).
    virtual bool ReplacesSavedFiles() const { return false; }
    // The run's cap on its download rate, shared by runs side by side; nullptr: none.
    virtual TRateLimit* RateLimit() const { return nullptr; }
    // A file name template (NameFromTemplate); "": the page's name as it is.
    virtual std::string NameTemplate() const { return std::string(); }
    // Subtitles in the user's language are saved beside the video ("name.en.vtt").
    virtual bool SavesSubtitles() const { return true; }
    // The user's language for subtitles (a primary subtag, "" for none): the locale's unless
    // the owner says otherwise.
    virtual std::string SubtitleLanguage() const { return UserLanguageFromEnvironment(); }
    // The cookies the user lends the run (a cookies.txt read once when the run starts): every
    // item's jar starts as a copy of them. nullptr: each item starts with none.
    virtual const TCookieJar* Cookies() const { return nullptr; }
};

enum TJobState {
    jsPending,
    jsPageLoading,  // the watch page is asked for, not yet readable
    jsAnalysing,    // the page is read again whenever more of it arrives
    jsTransferring, // the file is being fetched
    jsWaiting,      // a pause before the next try of a broken transfer
    jsConverting,   // the converter runs on the file
    jsJoining,      // the converter joins a stream's tracks into one file
    jsAsking,       // the page wants the viewer signed in; the user's answer is awaited
    jsDone,
    jsFailed,
    jsSkipped,
    jsStopped,
};
std::string JobStateName(TJobState state);

// How a run ended.
enum TRunEnd {
    reCompleted,     // every item had its turn
    reStoppedByPage, // a page asked to stop (age verification)
    reUnreadable,    // a page could not be read in either browser
};

// Why an item failed, for a front end that chooses its own words: the stage it failed in
// ("page", "download", "convert"), the kind of failure, the server's status when a request
// decided it, and the reason in plain words without the item's address. A page stage ends
// with fkNetwork or fkServer (its load), fkNoVideo, fkSignIn or fkUnreadable.
struct TItemFailure {
    std::string Stage;
    TFailKind Kind = fkNone;
    int Status = 0;                    // the error status the server answered with, 0 when none
    THttpOutcomeKind Request = hoNone; // how that request ended
    std::string Words;                 // "the server answered 404 Not Found", "no video found on the page"
};

// Things the front end shows the user as they happen (the window: a box, or a label).
enum TRunAlert {
    raPageUnreadable,       // no memory for the page's text
    raConverterCannotStart, // the converter could not start (once per run)
    raOutputInUse,          // the converter's output file is in use
    raSaveFailed,           // a file could not be created or take its name
};

// The answers to a page that wants the viewer signed in (an age check).
enum TSignInAnswer {
    saSkipItem, // the item fails with its line; the run goes on with the other items
    saStopRun,  // the run ends as Stop ends it (reStoppedByPage)
};

// The events of a run, in the order they come for an item: ItemStarted, StateChanged (each
// state), TitleKnown (whenever the page gave more), TransferAttempt / TransferSize /
// TransferProgress / Waiting (per try), ConvertStarted / ConvertProgress, ItemEnded. RunEnded
// after the last item; Stop ends the run without it. Handlers run from the event loop and must
// not destroy the engine.
class TRunEvents {
public:
    virtual ~TRunEvents() = default;
    virtual void ItemStarted(int /*index*/, const std::string& /*address*/) {}
    virtual void StateChanged(int /*index*/, TJobState /*state*/) {}
    // The page's title as a file name, and the direct address (either may still be empty).
    virtual void TitleKnown(const std::string& /*fileName*/, const std::string& /*downloadUrl*/) {}
    // The file the item will be saved under, numbered when its name is taken.
    virtual void OutputChosen(const std::string& /*path*/) {}
    virtual void TransferAttempt(const std::string& /*name*/, std::int64_t /*offset*/) {}
    virtual void TransferSize(std::int64_t /*total*/) {}
    virtual void TransferProgress(std::int64_t /*bytes*/, std::int64_t /*total*/, const TRateSample* /*sample*/) {}
    virtual void Waiting(int /*secondsLeft*/, int /*attempt*/, int /*count*/) {}
    virtual void ConvertStarted(const std::string& /*outputName*/) {}
    virtual void ConvertProgress(int /*percent*/, const std::string& /*elapsed*/, const std::string& /*estimated*/) {}
    // outcome: ioDone, ioSkipped or ioFailed; failureLine: the item's line in the summary.
    virtual void ItemEnded(int /*index*/, TItemOutcome /*outcome*/, const std::string& /*failureLine*/) {}
    // Just before ItemEnded of a failed item.
    virtual void ItemFailed(int /*index*/, const TItemFailure& /*failure*/) {}
    virtual void RunEnded(TRunEnd /*how*/) {}
    virtual void Alert(TRunAlert /*kind*/, const std::string& /*text*/) {}
    // Something went wrong with an extra of the item (a subtitle) that does not fail it; also a
    // line of the log.
    virtual void Note(int /*index*/, const std::string& /*text*/) {}
    // A subtitle was saved beside the item's video.
    virtual void SubtitleSaved(int /*index*/, const std::string& /*path*/) {}
    // The item's file exists: replace it? No keeps it and skips the item (a converting run
    // still converts the kept file).
    // A question for the user, asked without waiting for the answer: the file at path is there
    // already (a download of unknown origin, or a conversion's output); replace it? answer is
    // called once, at once or later (after this returned, from a box's signal); an answer that
    // comes after Stop, or after the engine is gone, is dropped. Default: keep the file.
    virtual void AskOverwrite(int /*index*/, const std::string& /*path*/, std::function<void(bool replace)> answer)
    {
        answer(false);
    }
    // The item's page asks to confirm the viewer's age (text: what to tell the user). Asked and
    // answered as AskOverwrite is; the item waits in jsAsking meanwhile. Default: skip the item.
    virtual void AskSignIn(int /*index*/, const std::string& /*text*/, std::function<void(TSignInAnswer)> answer)
    {
        answer(saSkipItem);
    }
};

class TRunEngine {
public:
    TRunEngine(const std::vector<std::string>& items, TRunOwner* owner, TRunEvents& events);
    ~TRunEngine();
    TRunEngine(const TRunEngine&) = delete;
    TRunEngine& operator=(const TRunEngine&) = delete;

    // The page text that stands for "the document could not be read".
    static const char* const ReadFailureText;
    // How long a page is analysed after it became interactive.
    static constexpr std::uint32_t PollLimitMs = 30000;
    // A transfer that receives nothing for this long counts as a broken connection.
    static constexpr int TransferIdleTimeoutMs = 60000;

    // The run's mode and converter preset; set before Start.
    void SetJob(JobMode mode, const std::string& convertExtension, const std::string& convertArguments);
    // Begin with the first item; returns at once.
    void Start();
    // Read pages in the second browser from the start (an earlier engine of the same run had to
    // switch to it); set before Start.
    void StartInSecondBrowser() { FStartInSecond = true; }
    // The first browser could not read a page, and the second one took over.
    bool SwitchedBrowser() const { return FActiveBrowser == &FWebBrowser2; }
    // End every request, timer and converter child at once; the .part files stay. No event
    // follows.
    void Stop();
    bool Stopped() const { return FStopped; }
    bool Ended() const { return FEnded; }

    const TRunModel& Model() const { return FModel; }
    TJobState State() const { return FState; }
    // What the current item's page gave so far.
    const std::string& FileName() const { return FFiles.FileName; }
    const std::string& DownloadUrl() const { return FFiles.DownloadUrl; }
    bool HdAvailable() const { return FFiles.HdAvailable; }

    // Parts, for tests.
    THttpCli& HttpCli1() { return *FHttpCli1; }
    TWebBrowser& WebBrowser_1() { return FWebBrowser1; }
    TWebBrowser& WebBrowser_2() { return FWebBrowser2; }
    TWebBrowser* ActiveBrowser() const { return FActiveBrowser; }
    // Tests: shorter limits and pauses than the constants; the command line: --timeout and
    // --retries. Set before Start.
    void SetPollLimit(std::uint32_t ms) { FPollLimitMs = ms; }
    // The page engine's idle limit (TWebBrowser::DefaultIdleTimeoutMs unless set).
    void SetPageIdleTimeout(int ms)
    {
        FWebBrowser1.SetIdleTimeout(ms);
        FWebBrowser2.SetIdleTimeout(ms);
    }
    void SetTransferIdleTimeout(int ms)
    {
        FHttpCli1->SetIdleTimeout(ms);
        FTransfer.ApplyIdleTimeout(ms);
        FStream.ApplyIdleTimeout(ms);
    }
    void SetRetryDelays(std::vector<std::uint32_t> delaysMs)
    {
        FStream.SetRetryDelays(delaysMs);
        FSubs.SetRetryDelays(delaysMs);
        FTransfer.SetRetryDelays(std::move(delaysMs));
    }
    // Tests only: the smallest piece worth a connection of its own (1 MiB).
    void SetMinPiece(std::int64_t bytes) { FTransfer.SetMinPiece(bytes); }
    // A piece without bytes for this long gets a second connection when one is free.
    void SetEndGameMs(std::int64_t ms)
    {
        FTransfer.SetEndGameMs(ms);
        FStream.SetEndGameMs(ms);
    }

    // The document of browser as 8-bit text; ReadFailureText when it cannot be read.
    std::string ReadPageText(TWebBrowser* browser);
    static void ResetBrowser(TWebBrowser* browser);

private:
    void WndProc(TMessage& msg);
    void SetState(TJobState state);
    void Proceed(TRunStep step);
    // The one way from an ended item to the next: the run model decides what comes next.
    void NextItem();
    void ItemEnded();
    void EndRun(TRunEnd how);
    TNameClaims& Claims();
    // The item ends here, nothing more done (no conversion either); the note says why.
    void SkipItem(const std::string& note);
    // Asks whether to replace the file at path; then runs with the answer from the loop.
    void Ask(const std::string& path, std::function<void(bool replace)> then);
    // The page wants the viewer signed in: the item waits for the user's choice.
    void AskSignIn();
    // Takes an answer from the loop (WM_QUESTION_ANSWERED) when question is still the open one.
    std::function<void(bool)> AnswerTaker(int question);
    void BeginTransfer();
    bool RunConverter(const std::string& inputPath, const std::string& outputPath);
    void Fail(const std::string& line, const std::string& reason, const TOutcome* outcome = nullptr);
    int ItemQuality() const;
    std::string OutputFolder() const;
    TConvertProcess* Runner() const;
    // True when the conversion may start now; otherwise message is posted when its turn comes.
    bool TakeConverterTurn(unsigned message);
    void LeaveConverterTurn();

    // Page stage.
    void FetchPage();
    void NavigatePage();
    void SchedulePass();
    void PagePass();
    static bool NamesAStream(const TWebBrowser& browser);
    void TakeStreamAddress(TWebBrowser& browser);
    void PageGaveNoVideo();
    void TakeMediaAnswer(TWebBrowser& browser);
    void PageMediaFound(TWebBrowser& browser, const TPageMedia& media);
    void StartPollLimit();
    void PageUnreadable();
    void SitePagePass(const std::string& text, bool loadEnded);
    void WebPagePass(const std::string& text, bool loadEnded);
    // The page stage's next load is the item's own page, with no player opened yet.
    void FromItemsOwnPage();
    void EndPageAttempt();
    void PageDone();
    void SetPageResult(const std::string& fileName, const std::string& downloadUrl);
    void StageFailed(const std::string& what);
    // Why the page stage has no video so far, typed; the player's reason is kept apart until
    // every player had its turn.
    void SetPageReason(std::string words, TFailKind kind, int status = 0);
    void SetPlayerReason(std::string words, TFailKind kind, int status = 0);
    // Embedded players: the page declares no video, but a player's page may.
    void LoadInPage(const std::string& address);
    void OpenNextPlayer();
    void OEmbedPass(const std::string& text);
    // The page's candidates in the order they are tried; the first becomes the page's result.
    void TakeCandidates(const TPageMedia& media);
    // After the taken candidate failed: true when the next one is on its way.
    bool TryNextCandidate(const TOutcome& result);

    // Transfer stage.
    void StartDownload();
    void TransferEnded(const TOutcome& result);
    void TransferFailed(const TOutcome& result);
    void StreamEnded(const TOutcome& result);
    void JoinStart();
    void JoinEnded(const TProcessInfo& record);
    void EndOfItem();
    // Subtitles: fetched once the video is in, saved under its final name as the item ends.
    void StartSubtitles();
    void SubtitlesEnded(bool ok, const std::string& why);
    void SaveSubtitles();

    // Conversion stage.
    void ConvertStart();
    void ConvertProgress(LPARAM lParam);
    bool StartFile(const std::string& inputPath);
    bool StartLocalFile();

    TRunEvents& FEvents;
    TRunOwner* FOwner;
    TRunModel FModel;
    MessageWindow FWindow;
    // The current item's cookies, shared by every client of the item (pages, file, playlists,
    // keys): they hold pointers to it, so it outlives them all and is only ever refilled.
    TCookieJar FCookies;
    TWebBrowser FWebBrowser1;
    TWebBrowser FWebBrowser2;
    TWebBrowser* FActiveBrowser = &FWebBrowser1;
    std::unique_ptr<THttpCli> FHttpCli1;
    TTransfer FTransfer;
    TStreamTransfer FStream;
    TSubtitleFetch FSubs;
    std::uint32_t FPollLimitMs = PollLimitMs;
    bool FStarted = false;
    bool FStartInSecond = false;
    bool FStopped = false;
    bool FEnded = false;
    // The conversion's preset, and whether the box for a converter that could not be started has
    // been shown in this run.
    struct TConvertSettings {
        std::string Extension;
        std::string Arguments;
        bool StartReported = false;
    };
    TConvertSettings FConvert;

    // The current job.
    TJobState FState = jsPending;
    struct TNames {
        std::unique_ptr<TNameClaims> Own; // when the owner shares none
        int Claimant = 0;                 // this item's number among the run's names
    };
    TNames FNames;
    std::shared_ptr<bool> FAlive = std::make_shared<bool>(true); // false once the engine is gone
    // How the job ended, when it did not end done.
    struct TVerdictState {
        std::string FailureLine; // the job's line in the summary, when it failed
        std::string SkipNote;    // why the item was skipped, when it was
        TItemFailure Failure;    // what FailureLine says, typed
    };
    TVerdictState FVerdict;
    // The question put to the user, if any.
    struct TQuestionState {
        int Last = 0; // the question asked last; older answers are stale
        bool Answer = false;
        std::function<void(bool)> Then; // what the pending answer runs
    };
    TQuestionState FAsk;
    // The page's other candidates, in the order they are tried after the taken one fails for a
    // reason of its own (an error status, not media); and what was tried, with why it failed.
    struct TCandidate {
        std::string Name, Url;
        bool Stream = false;
    };
    // Page stage.
    struct TPageState {
        std::unique_ptr<QTimer> PollTimer; // the page stage's time limit
        int Attempt = 0;
        int Switches = 0;
        bool PollStarted = false;
        bool PassPosted = false;
        std::uint64_t LastVersion = 0;
        std::string Reason;
        TFailKind Fail = fkNone;          // what Reason says, typed
        int Status = 0;                   // ... and the page's error status, 0 when none
        std::string Target;               // what the page stage loads: the item, a player, an oEmbed answer
        std::string Embedding;            // the item's page while a player's page is read, else ""
        std::vector<std::string> Players; // players of the item's page still to open
        std::string OEmbed;               // the oEmbed answer still to read ("" when none, or read)
        bool ReadingOEmbed = false;       // the document loaded is that answer
        std::size_t PlayersOpened = 0;
        std::string PlayerReason; // why the players opened so far gave nothing
        TFailKind PlayerFail = fkNone;
        int PlayerStatus = 0;
        std::vector<TCandidate> NextCandidates;
        std::vector<std::string> Tried;
    };
    TPageState FPage;
    // Transfer stage: what the item fetches and saves.
    struct TItemFiles {
        std::string FileName;
        std::string DownloadUrl;
        bool HdAvailable = false;
        std::string Referer;     // sent with the item's later requests ("" for none)
        bool IsStream = false;   // the direct address is an HLS playlist or a DASH manifest
        std::string StreamParts; // the path a stream's .part files are named after (Path at its start)
        // The page engine's answer when the address is the file itself, handed on to the transfer.
        std::optional<TWebBrowser::TMediaAnswer> MediaAnswer;
        bool Joining = false; // the converter runs on the stream's tracks
        int Quality = vqNormal;
        std::string RequestUrl;
        std::string Path;
        std::string TransferPath;   // the file the transfer completed ("" when none)
        bool VideoReplaced = false; // the video replaced an existing file (so may its subtitle)
        std::string ConvertedPath;  // the conversion's output, when it succeeded
        std::string ConvertWanted;  // the conversion's name before any number (from the page's)
    };
    TItemFiles FFiles;
    // Subtitles of the current item.
    struct TSubtitleState {
        std::vector<TSubtitleSource> PageSubtitles; // the page's <track>s
        std::string Language;                       // the language tag of the track being fetched
        bool Ready = false;                         // fetched, waiting for the item's end to be saved
        bool HoldsEnd = false;                      // the item ended while the fetch ran: it ends when that does
    };
    TSubtitleState FSubsState;
};

} // namespace cw
