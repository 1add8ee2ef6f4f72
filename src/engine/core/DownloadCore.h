#pragma once
// TDownloadCore: the download of one file's byte ranges or one stream's segments over several
// connections, all on the event loop. The TPieceScheduler decides who fetches what; the core
// runs the connections (one HTTP client each), checks every answer through its owner's hooks,
// and writes through one writer:
//   file mode    every range at its place in the one .part (each seek and write checked);
//   stream mode  every segment, decrypted as it arrives, into a spool file of its own
//                ("<part>.s<piece>") and, once the segments before it are in, appended to its
//                track's .part in order. Nothing is held in memory whole, however large a piece.
// It keeps the resume journal (".part.meta") up to date: the pieces' progress (a file) or the
// segments written (a stream), and a hash of every finished block of the part files.
//
// Every segment must look like media from its first bytes; anything else fails the segment and,
// after its tries, the item. Every run of the core ends with one TOutcome through OnEnded,
// always from the event loop, never inside Start or a client's event; Stop ends everything at
// once without it and saves the journal.

#include "engine/core/Outcome.h"
#include "engine/core/PieceScheduler.h"
#include "engine/core/ResumeJournal.h"
#include "net/http/HttpProt.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QObject;
class QTimer;

namespace cw {

class TRateLimit;

class THttpCli;
class TFileStream;
class EWriteError;
class THlsDecryptor;

// Bytes that arrived over an interval of at least two seconds: what a speed and a remaining
// time are computed from.
struct TRateSample {
    std::int64_t Bytes = 0;
    std::uint32_t ElapsedMs = 0;
};

// A client of a download's own, set up as the run's client: agent, protocol version,
// relocations, proxy and its credentials, idle limit.
void TakeClientSettings(THttpCli& to, const THttpCli& from);
// The user's proxy for this address (https_proxy, no_proxy), on client h; the relocations of a
// request keep the route of its first address.
void UseProxyFor(THttpCli& h, const std::string& url);

// The words for a final answer with an error status (hoStatus, hoAuthentication): "the server
// answered 404 Not Found", or what a server or a proxy asking for credentials wants.
std::string StatusWords(const THttpCli& h);
// Whether an error status is of the moment, so that asking again after a pause may help.
inline bool StatusWorthRetry(int status)
{
    return status >= 500 || status == 429 || status == 408;
}

// What the owner says of an answer's header (a final 2xx).
struct TAnswerVerdict {
    // Nothing is accepted by default: only Accept says so.
    enum TKind { avAccept, avFail, avStartOver } Kind = avFail;
    std::int64_t Skip = 0; // body bytes to drop before the piece's first (a range the server ignored)
    bool Retry = false;    // avFail: asking again may help
    TFailKind Fail = fkMedia;
    std::string Words;
    static TAnswerVerdict Accept(std::int64_t skip = 0) { return TAnswerVerdict{avAccept, skip, false, fkNone, {}}; }
    static TAnswerVerdict Reject(TFailKind kind, std::string words, bool retry)
    {
        return TAnswerVerdict{avFail, 0, retry, kind, std::move(words)};
    }
    static TAnswerVerdict StartOver(std::string why)
    {
        return TAnswerVerdict{avStartOver, 0, false, fkMismatch, std::move(why)};
    }
};

// A stream segment: where it comes from and how it is decrypted.
struct TSegmentSource {
    std::string Url;
    std::int64_t Offset = -1; // a byte range of the resource; -1: all of it
    std::int64_t Length = -1;
    int Key = -1; // index into the keys given to StartStream; -1: not encrypted
    std::array<std::uint8_t, 16> Iv{};
    int Track = 0;
    std::string Name;  // "segment 3 of 20 (<url>)", for the failure line
    bool Init = false; // an initialization section, not a media segment
    // The same bytes at other servers (a manifest's further BaseURLs), in the order given: a try
    // that fails at one address goes on at the next at once; only a failure at the last one
    // counts as a try and pauses, and the next try starts again at Url.
    std::vector<std::string> Alternates;
    // Seconds added to the decode times of a fragmented MP4 media segment as it goes into its
    // track (a DASH period after the first whose media starts its clock again); 0: as it is.
    double TimeShift = 0;
};

// An answer already under way when the download starts (the page engine's look at an address
// that turned out to be the file): its client, paused after the header, the body bytes that came
// with the header, and whether it already ended. It becomes the first connection's first try.
struct TAdoptedAnswer {
    std::unique_ptr<THttpCli> Http;
    std::string Head;
    std::shared_ptr<bool> Ended; // set by the client's end until the core takes the client over
};

class TDownloadCore {
public:
    // settings: the run's client, whose proxy, credentials, idle limit and agent every request
    // takes.
    explicit TDownloadCore(const THttpCli& settings);
    ~TDownloadCore();
    TDownloadCore(const TDownloadCore&) = delete;
    TDownloadCore& operator=(const TDownloadCore&) = delete;

    void SetConnections(int n) { FTuning.Connections = n < 1 ? 1 : n > 16 ? 16 : n; }
    // Takes effect at once, also for a download under way.
    void SetRetryDelays(std::vector<std::uint32_t> ms)
    {
        FTuning.RetryDelays = ms;
        FSched.SetRetryDelays(std::move(ms));
    }
    void SetEndGameMs(std::int64_t ms) { FTuning.EndGameMs = ms; }
    // The run's cap on its download rate, shared with every other download of the run (nullptr:
    // none); it must outlive the core's transfers.
    void SetRateLimit(TRateLimit* limit) { FTuning.RateLimit = limit; }
    void SetMaxRequest(std::int64_t bytes) { FTuning.MaxRequest = bytes; }
    void SetMinSteal(std::int64_t bytes) { FTuning.MinSteal = bytes; }
    const std::vector<std::uint32_t>& RetryDelays() const { return FTuning.RetryDelays; }
    // The idle limit changed on the run's client: the connections take it at once, also for a
    // request under way.
    void ApplyIdleTimeout(int ms);

    // File mode: pieces of partPath (opened here, created when create), fetched from url.
    // journal: the file's identity (address, size, validators); its pieces are kept here.
    // adopted: an answer for the file's first bytes already under way (its first piece).
    void StartFile(const std::string& url, const std::string& partPath, bool create, std::vector<TPiece> pieces,
                   const TResumeJournal& journal, const std::string& journalPath,
                   std::optional<TAdoptedAnswer> adopted = std::nullopt);
    // Stream mode: segments into one part file per track (trackParts); keep[t] segments of track t
    // are in its file already (the first keep[t] entries of segments that belong to it).
    void StartStream(std::vector<TSegmentSource> segments, std::vector<std::string> keys,
                     std::vector<std::string> trackParts, const std::vector<std::size_t>& keep,
                     const TResumeJournal& journal, const std::string& journalPath);
    void Stop();
    bool Running() const { return FRunning; }
    // Stream mode, once it ended: the segments it was given, for a fresh start.
    std::vector<TSegmentSource> TakeSegments() { return std::move(FStream.Segments); }

    // The scheduler: the file's owner adds pieces and sets sizes from the first answer.
    TPieceScheduler& Scheduler() { return FSched; }
    // Connections beyond this many get no work (a server that ignores ranges: one).
    void LimitConnections(int n);
    int ConnectionLimit() const { return FTuning.Limit; }
    // The file's size, once known (-1 before).
    void SetTotal(std::int64_t total);
    std::int64_t Total() const { return FTotal; }
    TResumeJournal& Journal() { return FJournal; }
    std::int64_t Bytes() const;

    // File mode: sets up a request for an assignment (address, Range); the default asks
    // "bytes=From-(To-1)" of the file's address.
    std::function<void(THttpCli& http, const TAssignment& job)> OnPrepare;
    // The header of a final 2xx for conn's assignment arrived. Default: accept.
    std::function<TAnswerVerdict(THttpCli& http, int conn, const TAssignment& job)> OnAnswer;
    // An answer with an error status (4xx, 5xx) for conn: nullopt leaves it to the common rules.
    std::function<std::optional<TAnswerVerdict>(THttpCli& http, const TAssignment& job)> OnErrorStatus;

    std::function<void(std::int64_t bytes)> OnResumed; // a request went out after a pause was shown
    std::function<void(std::int64_t total)> OnSize;
    std::function<void(std::int64_t bytes, std::int64_t total, const TRateSample* sample)> OnProgress;
    std::function<void(int secondsLeft, int attempt, int count)> OnWaiting;
    std::function<void(const TOutcome& outcome)> OnEnded;

private:
    struct TWorker;
    enum TMode { cmFile, cmStream };

    void Begin();
    std::vector<TPiece> StreamPieces();
    void KeepTrack(std::size_t t, std::size_t keep, std::vector<TPiece>& pieces);
    void Fill();
    void Launch(int conn, const TAssignment& job);
    void Retire(std::unique_ptr<THttpCli> http);
    void AskFileRange(TWorker& w, const TAssignment& job);
    void AskSegment(THttpCli& h, const TAssignment& job);
    void Adopt(int conn, const TAssignment& job);
    void DocBegin(int conn);
    void DocData(int conn, const char* data, int len);
    void Throttle(int conn, std::int64_t waitMs);
    void Deliver(int conn, const char* data, std::int64_t len);
    void Reject(TWorker& w, TAnswerVerdict verdict);
    bool WriteFileBytes(TWorker& w, std::int64_t at, const char* data, std::int64_t take);
    bool WriteSegmentBytes(int conn, const char* data, std::int64_t take, std::int64_t now);
    void WriteFailed(int conn, std::int64_t at, std::int64_t take, std::int64_t now, const EWriteError& e);
    void RequestDone(int conn);
    void AnswerFailed(int conn, const THttpOutcome& out);
    void AttemptOk(int conn);
    void ProbeOk(int conn);
    bool SegmentWhole(int conn);
    void HandOverSpool(TWorker& w, bool done, std::int64_t plain);
    void AttemptFailed(int conn, TFailKind kind, const std::string& why, bool retry, int code = 0,
                       bool refusal = false);
    bool TryAlternate(int conn, const std::string& why);
    void PieceDone();
    bool AppendInOrder();
    std::string AppendShifted(TFileStream& in, std::size_t t, std::int64_t ticks);
    std::string ShiftTicks(int piece, std::int64_t& ticks);
    std::string ProbedAsKept(int piece, std::string& probed);
    void StopWorker(int conn);
    void Tick();
    void ArmTimer();
    void Progress();
    void SaveJournal(bool now);
    std::string GiveUpWords(int conn, TFailKind kind, const std::string& why, int tries, int code) const;
    void Fail(TOutcome outcome);
    void Finish();
    void End(TOutcome outcome);
    void Halt();
    std::string SpoolOf(int piece);
    std::int64_t ProbeNeed(int piece) const;
    bool ProbeSettled(int conn) const;
    bool IsProbe(const TWorker& w) const;
    std::string ProbeDiffers(int conn);
    static std::string NotMediaWhy(const TWorker& w);
    TByteSet FileHave() const;
    bool OverlapMatches(std::int64_t at, const std::string& bytes) const;
    static std::string OtherVersion(std::int64_t from);
    bool CheckPending();
    bool Unproven(const TPiece& p) const;

    const THttpCli& FSettings;
    std::unique_ptr<QObject> FContext;
    std::unique_ptr<QTimer> FTimer;
    TPieceScheduler FSched;
    std::vector<std::unique_ptr<TWorker>> FWorkers;
    std::vector<std::unique_ptr<TWorker>> FRetired;
    // How the download is run: set by the owner, taken by each start.
    struct TTuning {
        int Connections = 1;
        int Limit = 16; // connections beyond this many get no work
        std::vector<std::uint32_t> RetryDelays = DefaultRetryDelaysMs();
        std::int64_t EndGameMs = 4000;
        std::int64_t MaxRequest = 0;
        std::int64_t MinSteal = 256 * 1024;
        TRateLimit* RateLimit = nullptr;
    };
    TTuning FTuning;
    bool FRunning = false;
    TMode FMode = cmFile;

    std::string FUrl;
    std::string FPartPath;
    std::unique_ptr<TFileStream> FFile;
    std::int64_t FTotal = -1;
    TResumeJournal FJournal;
    // Where the journal goes and when it was last saved.
    struct TJournalSave {
        std::string Path;
        std::int64_t Tick = 0;
        bool Due = false; // a save put off by the interval is on its way
    };
    TJournalSave FSave;
    std::optional<TAdoptedAnswer> FAdopted;
    // A file without validators: bytes asked again before a piece, to be compared once the bytes
    // there have arrived.
    struct TOverlap {
        int Piece = -1;
        std::int64_t At = 0;
        std::string Bytes;
    };
    std::vector<TOverlap> FPending;
    THttpOutcome FLastRequest; // how the last request ended (kept with a failure)

    // Stream mode: the segments, their tracks and what became of each (set anew by every start).
    struct TStreamState {
        std::vector<TSegmentSource> Segments;
        std::vector<std::uint32_t> Timescale; // of each initialization section once read; 0: not yet
        std::vector<std::string> Keys;
        std::vector<std::string> TrackParts;
        std::vector<std::unique_ptr<TFileStream>> Tracks;
        std::vector<std::vector<int>> TrackPieces; // piece indices of each track, in order
        std::vector<std::size_t> Appended;         // per track: segments in its file
        std::vector<std::int64_t> TrackBytes;
        std::vector<std::string> DoneSpool; // per piece: its finished spool, "" until done
        std::vector<std::int64_t> Plain;    // per piece: its bytes once decrypted and done
        std::vector<bool> Probe;            // per piece: kept from an earlier run, its first bytes asked again
        std::vector<std::size_t> Place;     // per piece: its place among its track's segments
        std::vector<std::size_t> AddressAt; // per piece: 0 its Url, k its Alternates[k - 1]
        std::int64_t Total = -1;            // the stream's size when every segment says it, else -1
        std::int64_t DonePlain = 0;         // bytes of the segments done (kept ones included)
        std::int64_t DoneCount = 0;
        std::int64_t Spooled = 0; // bytes of finished segments not yet appended
    };
    TStreamState FStream;
    std::uint64_t FSpoolSerial = 0; // names every try's spool apart, for the life of the core

    // What the user was last shown: the rate's interval and a pause's count-down.
    struct TShown {
        std::int64_t RateTick = 0;
        std::int64_t RateBytes = 0;
        bool Waiting = false;
        int WaitSeconds = 0;
    };
    TShown FShown;
    bool FEnding = false;
};

// A file's or a stream's progress events are the core's, passed on to its owner as they come
// (each fires only when the owner's is set); name: the owner's file name, for OnAttempt.
template <class TOwner> void ForwardProgressEvents(TDownloadCore& core, TOwner& owner, const std::string& name)
{
    core.OnSize = [&owner](std::int64_t total) {
        if (owner.OnSize)
            owner.OnSize(total);
    };
    core.OnProgress = [&owner](std::int64_t bytes, std::int64_t total, const TRateSample* sample) {
        if (owner.OnProgress)
            owner.OnProgress(bytes, total, sample);
    };
    core.OnWaiting = [&owner](int left, int attempt, int count) {
        if (owner.OnWaiting)
            owner.OnWaiting(left, attempt, count);
    };
    core.OnResumed = [&owner, &name](std::int64_t bytes) {
        if (owner.OnAttempt)
            owner.OnAttempt(name, bytes);
    };
}

} // namespace cw
