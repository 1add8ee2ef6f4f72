#include "engine/core/DownloadCore.h"

#include "engine/core/RateLimit.h"

#include "engine/DownloadText.h"
#include "engine/core/MediaCheck.h"
#include "engine/core/PartFile.h"
#include "engine/core/ResumeJournal.h"
#include "engine/streams/DashManifest.h"
#include "engine/streams/FragmentTimes.h"
#include "engine/streams/HlsCipher.h"
#include "engine/streams/HlsPlaylist.h"
#include "global/Global.h"
#include "net/http/HttpProt.h"
#include "platform/Application.h"
#include "platform/Log.h"
#include "platform/Streams.h"
#include "platform/SystemProxy.h"
#include "platform/Winsock.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <cerrno>

#include <unistd.h>

namespace cw {

namespace {

constexpr std::int64_t kRateIntervalMs = 2000;
constexpr std::int64_t kJournalIntervalMs = 1000;
constexpr int kTickMs = 100;
constexpr std::int64_t kCopyBytes = 1 << 20;
// How much of a kept segment is asked again to prove that the server still has the same one.
constexpr std::int64_t kProbeBytes = 16 * 1024;
// Without validators, how much of the bytes already in place each further request of a file asks
// again, to show that its answer continues the same version.
constexpr std::int64_t kOverlapBytes = 4 * 1024;

std::int64_t Now()
{
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    // Never 0: a piece's LastBytes of 0 means "never".
    return clock.elapsed() + 1;
}

std::string Tries(int n)
{
    return std::to_string(n) + (n == 1 ? " try" : " tries");
}

bool IsLookupError(int code)
{
    return code >= ws::WSAHOST_NOT_FOUND && code <= ws::WSAHOST_NOT_FOUND + 3;
}

std::string WriteReason(const EWriteError& e)
{
    return e.Reason().empty() ? std::string(e.what()) : e.Reason();
}

} // namespace

struct TDownloadCore::TWorker {
    std::unique_ptr<THttpCli> Http;
    bool Busy = false;
    bool Accepted = false;
    bool Cut = false;      // ended by us: it had everything it was asked for
    bool Adopted = false;  // its client came with an answer under way, set up by someone else
    bool Stopped = false;  // let go (the loser of an end-game pair): its end is nobody's
    std::int64_t Skip = 0; // body bytes still to drop
    std::int64_t Got = 0;  // bytes this try gave its piece
    TAssignment Job;
    // Stream mode: the segment's spool, its decryption and the first bytes for the media check.
    std::unique_ptr<TFileStream> Spool;
    std::string SpoolPath;
    std::unique_ptr<THlsDecryptor> Cipher;
    std::string Head; // the media check is made once it holds MediaCheckBytes
    // A verdict reached inside an event, acted on when the request is done.
    std::optional<TAnswerVerdict> Verdict;
    bool Throttled = false; // paused by the run's rate cap
    // A kept segment's first bytes asked again (a probe): compared with the track, nothing
    // written; a file's bytes before a request asked again (Overlap) land here too.
    std::string Probed;
    std::int64_t Overlap = 0; // a file's bytes before the piece asked again, compared, not written
};

void UseProxyFor(THttpCli& h, const std::string& url)
{
    const SystemProxy::Route route = SystemProxy::RouteFor(url);
    std::string proxyHost;
    int proxyPort = 0;
    ProxyFromList(route.HostPort, "http", proxyHost, proxyPort);
    h.SetProxy(proxyHost);
    h.SetProxyPort(std::to_string(proxyPort ? proxyPort : 80));
    h.SetProxyUsername(route.Login.User);
    h.SetProxyPassword(route.Login.Password);
}

std::string StatusWords(const THttpCli& h)
{
    const THttpOutcome& out = h.Outcome();
    // Only a proxy in use asks for the proxy's credentials; an origin's 407 is its status.
    const std::string proxy = h.Proxy().empty() ? std::string() : h.Proxy() + ":" + h.ProxyPort();
    if (out.Status == 407 && out.Kind == hoAuthentication)
        return h.ProxyUsername().empty() ? "the proxy " + proxy + " asks for a user name and password"
                                         : "the proxy " + proxy + " did not accept the user name and password";
    if (out.Status == 401)
        return "the server asks for a user name and password";
    return "the server answered " + std::to_string(out.Status) +
           (h.ReasonPhrase().empty() ? std::string() : " " + h.ReasonPhrase());
}

void TakeClientSettings(THttpCli& to, const THttpCli& from)
{
    to.SetAgent(from.Agent());
    to.SetAccept(from.Accept());
    to.SetRequestVer(from.RequestVer());
    to.SetFollowRelocation(from.FollowRelocation());
    to.SetLocationChangeMaxCount(from.LocationChangeMaxCount());
    to.SetProxy(from.Proxy());
    to.SetProxyPort(from.ProxyPort());
    to.SetProxyUsername(from.ProxyUsername());
    to.SetProxyPassword(from.ProxyPassword());
    to.SetIdleTimeout(from.IdleTimeout());
    // The item's one jar: what the page set goes with the file, the playlists and the keys,
    // and what their answers set is there for the next request.
    to.SetCookieJar(from.CookieJar());
    // A file a page names may be served only to that page's visitors.
    to.SetReference(from.Reference());
}

// Why a segment's first bytes are not media: decrypted noise means the key is wrong; in the
// clear, usually an error page served as a success.
std::string TDownloadCore::NotMediaWhy(const TWorker& w)
{
    if (w.Cipher)
        return "the segment does not decrypt (wrong key or cut short)";
    const std::string type = w.Http->ContentType();
    // What the bytes are says more than the type the server put on them.
    if (LooksLikeWebPage(w.Head))
        return "is not video: the server sent a web page" + (type.empty() ? std::string() : " as " + type);
    return "is not video" + (type.empty() ? std::string() : ": the server sent " + type);
}

TDownloadCore::TDownloadCore(const THttpCli& settings) : FSettings(settings), FContext(std::make_unique<QObject>()) {}

TDownloadCore::~TDownloadCore()
{
    Halt();
    FRetired.clear();
}

// ---- starting ---------------------------------------------------------------------------------

void TDownloadCore::StartFile(const std::string& url, const std::string& partPath, bool create,
                              std::vector<TPiece> pieces, const TResumeJournal& journal, const std::string& journalPath,
                              std::optional<TAdoptedAnswer> adopted)
{
    Halt();
    FAdopted = std::move(adopted);
    FMode = cmFile;
    FPending.clear();
    FUrl = url;
    FPartPath = partPath;
    FJournal = journal;
    FJournal.Kind = jkFile;
    FSave.Path = journalPath;
    FTotal = journal.Total;
    FTuning.Limit = FTuning.Connections;
    FRunning = true;
    FContext = std::make_unique<QObject>();
    try {
        if (create)
            RemoveIfNotRegular(partPath);
        FFile = std::make_unique<TFileStream>(partPath,
                                              (create ? fmCreate : fmOpenReadWrite) | fmShareExclusive | fmNoFollow);
    } catch (const std::exception& e) {
        // A read-only or full folder, or a name the file system refuses.
        FFile.reset();
        return Fail(TOutcome::Failed(fkSave, e.what()));
    }
    TPieceScheduler::TSettings s;
    s.Connections = FTuning.Connections;
    s.RetryDelaysMs = FTuning.RetryDelays;
    s.MinSteal = FTuning.MinSteal;
    s.MaxRequest = FTuning.MaxRequest;
    s.EndGameMs = FTuning.EndGameMs;
    FSched.Reset(std::move(pieces), s);
    Begin();
}

void TDownloadCore::StartStream(std::vector<TSegmentSource> segments, std::vector<std::string> keys,
                                std::vector<std::string> trackParts, const std::vector<std::size_t>& keep,
                                const TResumeJournal& journal, const std::string& journalPath)
{
    Halt();
    FMode = cmStream;
    FStream = TStreamState{};
    FStream.Segments = std::move(segments);
    FStream.Keys = std::move(keys);
    FStream.TrackParts = std::move(trackParts);
    FJournal = journal;
    FJournal.Kind = jkStream;
    FSave.Path = journalPath;
    FTuning.Limit = FTuning.Connections;
    FRunning = true;
    FContext = std::make_unique<QObject>();
    std::vector<TPiece> pieces = StreamPieces();
    FStream.Tracks.clear();
    try {
        for (std::size_t t = 0; t < FStream.TrackParts.size(); ++t)
            KeepTrack(t, t < keep.size() ? keep[t] : 0, pieces);
    } catch (const std::exception& e) {
        FStream.Tracks.clear();
        return Fail(TOutcome::Failed(fkSave, e.what()));
    }
    TPieceScheduler::TSettings s;
    s.Connections = FTuning.Connections;
    s.RetryDelaysMs = FTuning.RetryDelays;
    s.EndGameMs = FTuning.EndGameMs;
    FSched.Reset(std::move(pieces), s);
    Begin();
}

// A piece per segment, each track's pieces in order, and the stream's size where it is known.
std::vector<TPiece> TDownloadCore::StreamPieces()
{
    const std::size_t n = FStream.Segments.size();
    const std::size_t tracks = FStream.TrackParts.size();
    FStream.TrackPieces.assign(tracks, {});
    FStream.Appended.assign(tracks, 0);
    FStream.TrackBytes.assign(tracks, 0);
    FJournal.Tracks.resize(tracks);
    FJournal.Blocks.resize(tracks);
    FJournal.Spans.resize(tracks);
    FStream.DoneSpool.assign(n, std::string());
    FStream.Plain.assign(n, 0);
    FStream.Probe.assign(n, false);
    FStream.Place.assign(n, 0);
    FStream.Timescale.assign(n, 0);
    FStream.AddressAt.assign(n, 0);
    // The stream's size is known when every segment is a byte range in the clear (decryption
    // takes the padding off: a ciphertext's length is not the file's); a sum past the largest
    // number is no size.
    FStream.Total = 0;
    for (const TSegmentSource& seg : FStream.Segments)
        if (seg.Length < 0 || seg.Key >= 0 || __builtin_add_overflow(FStream.Total, seg.Length, &FStream.Total)) {
            FStream.Total = -1;
            break;
        }
    std::vector<TPiece> pieces;
    pieces.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const auto track = static_cast<std::size_t>(FStream.Segments[i].Track);
        FStream.Place[i] = FStream.TrackPieces[track].size();
        FStream.TrackPieces[track].push_back(static_cast<int>(i));
        TPiece p;
        p.End = FStream.Segments[i].Length;
        pieces.push_back(p);
    }
    return pieces;
}

// What an earlier run left of track t: its first keep segments stay, the file cut back to where
// the last of them ended; anything after it is fetched again. Raises when the file cannot be
// made or the journal does not fit.
void TDownloadCore::KeepTrack(std::size_t t, std::size_t keep, std::vector<TPiece>& pieces)
{
    const std::size_t kept = std::min(keep, FStream.TrackPieces[t].size());
    std::vector<std::int64_t>& ends = FJournal.Tracks[t];
    ends.resize(std::min(ends.size(), kept));
    if (ends.size() < kept)
        throw Exception("the journal does not match the kept segments");
    const std::int64_t bytes = kept ? ends.back() : 0;
    const std::string& path = FStream.TrackParts[t];
    if (!kept)
        RemoveIfNotRegular(path);
    auto file =
        std::make_unique<TFileStream>(path, (kept ? fmOpenReadWrite : fmCreate) | fmShareExclusive | fmNoFollow);
    file->SetSize(bytes);
    if (file->Seek(bytes, soBeginning) != bytes)
        throw Exception("Cannot seek in " + path);
    FStream.Tracks.push_back(std::move(file));
    FStream.Appended[t] = kept;
    FStream.TrackBytes[t] = bytes;
    // A kept segment is used only once the server shows it still has the same one: its first
    // bytes are asked again and compared with the track (a probe).
    for (std::size_t k = 0; k < kept; ++k) {
        const auto piece = static_cast<std::size_t>(FStream.TrackPieces[t][k]);
        FStream.Plain[piece] = ends[k] - (k ? ends[k - 1] : 0);
        FStream.Probe[piece] = true;
        pieces[piece].End = -1; // a probe's answer is as long as the server makes it
        FStream.DoneSpool[piece] = "done";
    }
    // Hashes past what stays are of bytes that are gone.
    auto& blocks = FJournal.Blocks[t];
    for (auto it = blocks.begin(); it != blocks.end();)
        it = (it->first + 1) * JournalBlockBytes > bytes ? blocks.erase(it) : std::next(it);
    auto& spans = FJournal.Spans[t];
    for (auto it = spans.begin(); it != spans.end();)
        it = it->second.End > bytes ? spans.erase(it) : std::next(it);
}

void TDownloadCore::Begin()
{
    FRetired.clear();
    FWorkers.clear();
    for (int i = 0; i < FTuning.Connections; ++i)
        FWorkers.push_back(std::make_unique<TWorker>());
    FShown.RateTick = Now();
    FShown.RateBytes = Bytes();
    FShown.Waiting = false;
    FEnding = false;
    FSave.Due = false;
    if (!FTimer) {
        FTimer = std::make_unique<QTimer>();
        FTimer->setSingleShot(true);
        QObject::connect(FTimer.get(), &QTimer::timeout, [this] { Application::Guard([this] { Tick(); }); });
    }
    SaveJournal(true);
    // The first requests go out from the loop, so nothing ends inside Start.
    QTimer::singleShot(0, FContext.get(), [this] { Application::Guard([this] { Fill(); }); });
}

void TDownloadCore::ApplyIdleTimeout(int ms)
{
    for (const auto& w : FWorkers)
        if (w->Http)
            w->Http->SetIdleTimeout(ms);
}

void TDownloadCore::LimitConnections(int n)
{
    FTuning.Limit = std::max(1, n);
}

void TDownloadCore::SetTotal(std::int64_t total)
{
    FTotal = total;
    FJournal.Total = total;
    if (total >= 0 && OnSize)
        OnSize(total);
}

std::int64_t TDownloadCore::Bytes() const
{
    if (FMode == cmFile)
        return FSched.BytesDone();
    std::int64_t n = FStream.Spooled;
    for (std::int64_t b : FStream.TrackBytes)
        n += b;
    // Segments under way count with what they have so far (a helper's copy counts once).
    for (std::size_t k = 0; k < FWorkers.size(); ++k)
        if (FWorkers[k]->Busy && !FSched.IsHelper(static_cast<int>(k)))
            n += FWorkers[k]->Got;
    return n;
}

// ---- connections ------------------------------------------------------------------------------

void TDownloadCore::Fill()
{
    if (!FRunning || FEnding)
        return;
    const std::int64_t now = Now();
    for (int k = 0; k < static_cast<int>(FWorkers.size()) && FRunning; ++k) {
        TWorker& w = *FWorkers[static_cast<std::size_t>(k)];
        // A connection still repaying the rate cap starts nothing new: a fresh request would read
        // unchecked until its pause ran out (its timer fills it again).
        if (w.Busy || w.Throttled || k >= FTuning.Limit || !FSched.Usable(k))
            continue;
        if (const std::optional<TAssignment> job = FSched.Next(k, now)) {
            if (k == 0 && FAdopted)
                Adopt(k, *job);
            else
                Launch(k, *job);
        }
    }
    if (!FRunning)
        return;
    const int busy = FSched.Busy();
    if (busy == 0 && FSched.AllDone())
        return Finish();
    int usable = 0;
    bool repaying = false; // a connection's rate-cap pause ends with a Fill of its own
    for (int k = 0; k < static_cast<int>(FWorkers.size()) && k < FTuning.Limit; ++k) {
        usable += FSched.Usable(k);
        repaying |= FWorkers[static_cast<std::size_t>(k)]->Throttled;
    }
    if (busy == 0 && !repaying && (usable == 0 || FSched.NextDue(now) < 0))
        return Fail(TOutcome::Failed(fkRefused, "the server refused further connections"));
    ArmTimer();
}

void TDownloadCore::ArmTimer()
{
    const std::int64_t now = Now();
    const std::int64_t due = FSched.NextDue(now);
    if (due < 0)
        return FTimer->stop();
    // While nothing is under way the pause is counted down for the user every 100 ms.
    std::int64_t wait = due - now;
    if (FSched.Busy() == 0)
        wait = std::min<std::int64_t>(wait, kTickMs);
    FTimer->start(static_cast<int>(std::clamp<std::int64_t>(wait, 0, 60000)));
}

void TDownloadCore::Tick()
{
    if (!FRunning)
        return;
    const int paused = FSched.FirstPaused();
    if (FSched.Busy() == 0 && paused >= 0) {
        const TPiece& p = FSched.Pieces()[static_cast<std::size_t>(paused)];
        const std::int64_t left = p.NotBefore - Now();
        const int seconds = static_cast<int>((std::max<std::int64_t>(left, 0) + 999) / 1000);
        if (left > 0 && (!FShown.Waiting || seconds != FShown.WaitSeconds)) {
            FShown.Waiting = true;
            FShown.WaitSeconds = seconds;
            if (OnWaiting)
                OnWaiting(seconds, p.Tries, static_cast<int>(FTuning.RetryDelays.size()));
        }
    }
    Fill();
}

// The answer already under way becomes this connection's first try: its header is judged as
// any other, the bytes that came with it are the piece's first, and reading goes on.
void TDownloadCore::Adopt(int conn, const TAssignment& job)
{
    TAdoptedAnswer answer = std::move(*FAdopted);
    FAdopted.reset();
    TWorker& w = *FWorkers[static_cast<std::size_t>(conn)];
    const bool usable = answer.Http && answer.Http->FailureText().empty() && job.From == 0;
    if (!usable) {
        // It ended badly while nobody read it (its idle limit): a fresh request instead.
        if (answer.Http) {
            auto old = std::make_unique<TWorker>();
            old->Http = std::move(answer.Http);
            old->Http->OnRequestDone = nullptr;
            FRetired.push_back(std::move(old));
        }
        return Launch(conn, job);
    }
    w.Http = std::move(answer.Http);
    w.Throttled = false;
    w.Adopted = true;
    THttpCli& h = *w.Http;
    h.SetIdleTimeout(FSettings.IdleTimeout());
    w.Busy = true;
    w.Accepted = w.Cut = w.Stopped = false;
    w.Verdict.reset();
    w.Skip = w.Got = 0;
    w.Job = job;
    h.SetKeepEventExceptions(true);
    h.OnHeaderData = nullptr;
    h.OnDocBegin = [this, conn](TObject*) { DocBegin(conn); };
    h.OnDocData = [this, conn](TObject*, const char* d, int len) { DocData(conn, d, len); };
    h.OnRequestDone = [this, conn](TObject*, THttpRequest, std::uint16_t) {
        Application::Guard([this, conn] { RequestDone(conn); });
    };
    DocBegin(conn);
    if (!FRunning || !w.Busy)
        return;
    if (!answer.Head.empty())
        DocData(conn, answer.Head.data(), static_cast<int>(answer.Head.size()));
    if (!FRunning || !w.Busy)
        return;
    if (answer.Ended && *answer.Ended) {
        // Its own end may still be on its way: this client asks nothing more (Launch replaces it).
        h.OnRequestDone = nullptr;
        return RequestDone(conn);
    }
    if (w.Cut || w.Verdict)
        return; // aborted above: its end arrives from the loop
    h.CtrlSocket().Resume();
}

void TDownloadCore::Launch(int conn, const TAssignment& job)
{
    TWorker& w = *FWorkers[static_cast<std::size_t>(conn)];
    if (w.Adopted) {
        // The page engine's client was set up for pages (and may have an end still posted): the
        // next requests go out on a client of this download's own.
        Retire(std::move(w.Http));
        w.Adopted = false;
    }
    if (!w.Http) {
        w.Throttled = false;
        w.Http = std::make_unique<THttpCli>();
        w.Http->SetName(FSettings.Name() + "_" + std::to_string(conn));
        TakeClientSettings(*w.Http, FSettings);
    }
    THttpCli& h = *w.Http;
    w.Busy = true;
    w.Accepted = w.Cut = w.Stopped = false;
    w.Verdict.reset();
    w.Skip = w.Got = 0;
    w.Job = job;
    w.Head.clear();
    h.SetKeepEventExceptions(true);
    h.SetRcvdStream(nullptr);
    h.SetContentRangeBegin("");
    h.SetContentRangeEnd("");
    w.Overlap = 0;
    w.Probed.clear();
    if (FMode == cmFile)
        AskFileRange(w, job);
    else
        AskSegment(h, job);
    h.OnHeaderData = nullptr;
    h.OnDocBegin = [this, conn](TObject*) { DocBegin(conn); };
    h.OnDocData = [this, conn](TObject*, const char* d, int len) { DocData(conn, d, len); };
    h.OnRequestDone = [this, conn](TObject*, THttpRequest, std::uint16_t) {
        Application::Guard([this, conn] { RequestDone(conn); });
    };
    if (FShown.Waiting) {
        FShown.Waiting = false;
        if (OnResumed)
            OnResumed(Bytes());
    }
    LogDebug("download", "connection " + std::to_string(conn + 1) + ": " + h.URL() + " from " +
                             std::to_string(job.From) +
                             (job.To >= 0 ? " to " + std::to_string(job.To) : std::string()) +
                             (job.Helper ? " (a second connection on a silent piece)" : ""));
    try {
        h.DoRequestAsync(httpGET);
    } catch (const std::exception& e) {
        // Refused before anything went out (a control byte in the address).
        w.Busy = false;
        FSched.Release(conn);
        Fail(TOutcome::Failed(fkServer, e.what()));
    }
}

// A client no one uses any more, freed from the loop: it may be inside its own event.
void TDownloadCore::Retire(std::unique_ptr<THttpCli> http)
{
    http->OnDocBegin = nullptr;
    http->OnDocData = nullptr;
    http->OnRequestDone = nullptr;
    auto old = std::make_unique<TWorker>();
    old->Http = std::move(http);
    FRetired.push_back(std::move(old));
    QTimer::singleShot(0, FContext.get(), [this] { FRetired.clear(); });
}

// A file's request: the owner's range, and without validators a start a little before it.
void TDownloadCore::AskFileRange(TWorker& w, const TAssignment& job)
{
    THttpCli& h = *w.Http;
    h.SetURL(FUrl);
    if (OnPrepare) {
        OnPrepare(h, job);
    } else {
        h.SetContentRangeBegin(std::to_string(job.From));
        h.SetContentRangeEnd(job.To >= 0 ? std::to_string(job.To - 1) : std::string());
    }
    // A server that names no version could send another one with every answer: a request that
    // does not start the file starts a little before its bytes, and those must match the bytes
    // there, now or once they arrive.
    if (job.From > 0 && FJournal.ETag.empty() && FJournal.LastModified.empty() && !h.ContentRangeBegin().empty()) {
        w.Overlap = std::min(kOverlapBytes, job.From);
        h.SetContentRangeBegin(std::to_string(job.From - w.Overlap));
    }
}

// A segment's request, at the address its tries are on; a probe asks for the first bytes only.
void TDownloadCore::AskSegment(THttpCli& h, const TAssignment& job)
{
    const TSegmentSource& seg = FStream.Segments[static_cast<std::size_t>(job.Piece)];
    const std::size_t at = FStream.AddressAt[static_cast<std::size_t>(job.Piece)];
    h.SetURL(at == 0 || at > seg.Alternates.size() ? seg.Url : seg.Alternates[at - 1]);
    // Each segment goes the way of its own address: one on a host no_proxy names is reached
    // directly, whatever route the playlist took.
    UseProxyFor(h, h.URL());
    h.SetAccept("*/*");
    const bool probe = FStream.Probe[static_cast<std::size_t>(job.Piece)];
    const std::int64_t from = std::max<std::int64_t>(seg.Offset, 0);
    const std::int64_t length = probe && (seg.Length < 0 || seg.Length > kProbeBytes) ? kProbeBytes : seg.Length;
    if (seg.Offset >= 0 || probe) {
        h.SetContentRangeBegin(std::to_string(from));
        h.SetContentRangeEnd(std::to_string(from + length - 1));
    }
}

void TDownloadCore::DocBegin(int conn)
{
    TWorker& w = *FWorkers[static_cast<std::size_t>(conn)];
    THttpCli& h = *w.Http;
    const int status = h.StatusCode();
    if (w.Adopted && w.Accepted)
        return; // judged when it was taken over; its body only now begins
    w.Accepted = false;
    if (!FRunning || w.Stopped || status < 200 || status >= 300)
        return; // a relocation's or an error's body is nobody's bytes
    TAssignment asked = w.Job;
    asked.From -= w.Overlap;
    TAnswerVerdict v = OnAnswer ? OnAnswer(h, conn, asked) : TAnswerVerdict::Accept();
    if (!FRunning)
        return;
    if (FMode == cmStream && v.Kind == TAnswerVerdict::avAccept) {
        const TSegmentSource& seg = FStream.Segments[static_cast<std::size_t>(w.Job.Piece)];
        // A server that ignores the range sends the whole resource: the range is cut out of it.
        if (seg.Offset >= 0 && status != 206)
            v.Skip = seg.Offset;
        if (!IsProbe(w)) {
            // Each try writes a spool of its own, and only its owner removes it: the two tries of
            // an end-game pair never share or delete each other's file.
            try {
                w.SpoolPath = SpoolOf(w.Job.Piece);
                w.Spool = std::make_unique<TFileStream>(w.SpoolPath, fmCreate | fmShareExclusive | fmNoFollow);
            } catch (const std::exception& e) {
                w.Spool.reset();
                w.SpoolPath.clear();
                return Fail(TOutcome::Failed(fkSave, e.what()));
            }
        }
        w.Cipher.reset();
        if (seg.Key >= 0) {
            w.Cipher = std::make_unique<THlsDecryptor>();
            if (!w.Cipher->Begin(FStream.Keys[static_cast<std::size_t>(seg.Key)], seg.Iv))
                v = TAnswerVerdict::Reject(fkMedia, w.Cipher->Error(), false);
        }
    }
    if (v.Kind == TAnswerVerdict::avAccept) {
        w.Accepted = true;
        w.Skip = v.Skip;
        return;
    }
    w.Verdict = std::move(v);
    h.Abort();
}

void TDownloadCore::DocData(int conn, const char* data, int len)
{
    TWorker& w = *FWorkers[static_cast<std::size_t>(conn)];
    if (!w.Accepted || w.Verdict || w.Cut || !FRunning || len <= 0)
        return;
    std::int64_t n = len;
    if (w.Skip > 0) {
        const std::int64_t drop = std::min(w.Skip, n);
        w.Skip -= drop;
        data += drop;
        n -= drop;
    }
    if (w.Overlap > 0 && n > 0) {
        const std::int64_t take = std::min(w.Overlap - static_cast<std::int64_t>(w.Probed.size()), n);
        w.Probed.append(data, static_cast<std::size_t>(take));
        data += take;
        n -= take;
        if (static_cast<std::int64_t>(w.Probed.size()) == w.Overlap) {
            // Compared now when the bytes before are in place, else once they are.
            const std::int64_t at = w.Job.From - w.Overlap;
            w.Overlap = 0;
            if (!FileHave().Contains(at, w.Job.From)) {
                FPending.push_back(TOverlap{w.Job.Piece, at, std::move(w.Probed)});
                w.Probed.clear();
            } else if (!OverlapMatches(at, w.Probed)) {
                return Reject(w, TAnswerVerdict::StartOver(OtherVersion(w.Job.From)));
            }
        }
    }
    if (n > 0)
        Deliver(conn, data, n);
    // Every byte counts, also those that come while the socket is being paused (what the
    // client had read already); a paused connection is resumed by its own timer.
    if (FTuning.RateLimit && FRunning)
        if (const std::int64_t wait = FTuning.RateLimit->Take(len, RateClockMs()); wait > 0 && !w.Throttled)
            Throttle(conn, wait);
}

// The connection reads nothing more until the cap allows; what the kernel holds meanwhile
// stays there, and the server slows down with it.
void TDownloadCore::Throttle(int conn, std::int64_t waitMs)
{
    TWorker& w = *FWorkers[static_cast<std::size_t>(conn)];
    THttpCli* http = w.Http.get();
    if (!http)
        return;
    w.Throttled = true;
    http->CtrlSocket().Pause();
    QTimer::singleShot(static_cast<int>(std::min<std::int64_t>(waitMs, 60000)), FContext.get(), [this, conn, http] {
        Application::Guard([this, conn, http] {
            if (static_cast<std::size_t>(conn) >= FWorkers.size())
                return;
            TWorker& again = *FWorkers[static_cast<std::size_t>(conn)];
            if (again.Http.get() != http || !again.Throttled)
                return;
            again.Throttled = false;
            if (!again.Busy)
                return Fill();
            http->CtrlSocket().Resume();
        });
    });
}

void TDownloadCore::Deliver(int conn, const char* data, std::int64_t len)
{
    TWorker& w = *FWorkers[static_cast<std::size_t>(conn)];
    const std::int64_t now = Now();
    const std::int64_t at = FSched.WriteAt(conn);
    const std::int64_t take = FSched.Room(conn, len);
    if (take > 0) {
        bool written = false;
        try {
            written = FMode == cmFile ? WriteFileBytes(w, at, data, take) : WriteSegmentBytes(conn, data, take, now);
        } catch (const EWriteError& e) {
            return WriteFailed(conn, at, take, now, e);
        }
        if (!written)
            return;
        FSched.Received(conn, take, now);
        w.Got += take;
        Progress();
        SaveJournal(false);
    }
    // Everything this request asked for is here: what else comes is nobody's. A bounded answer
    // ends by itself right here; only an answer that goes on is cut.
    if (FSched.RequestFull(conn) && !w.Cut) {
        THttpCli& h = *w.Http;
        const std::int64_t length = h.ContentLength();
        if (length < 0 || h.RcvdCount() < length) {
            w.Cut = true;
            h.Abort();
        }
    }
}

// A verdict reached inside the client's event: acted on when its request is done.
void TDownloadCore::Reject(TWorker& w, TAnswerVerdict verdict)
{
    w.Verdict = std::move(verdict);
    w.Http->Abort();
}

// A file's bytes at their place; false when the try was rejected instead.
bool TDownloadCore::WriteFileBytes(TWorker& w, std::int64_t at, const char* data, std::int64_t take)
{
    const std::string_view bytes(data, static_cast<std::size_t>(take));
    if (at == 0 && LooksLikeWebPage(bytes)) {
        // Asked again it would be the same page: the file fails now, and a page with another
        // video gets to offer that.
        const std::string type = w.Http->ContentType();
        Reject(w, TAnswerVerdict::Reject(fkMedia,
                                         "is not video: the server sent a web page" +
                                             (type.empty() ? std::string() : " as " + type),
                                         false));
        return false;
    }
    if (at == 0 && (LooksLikeHlsPlaylist(bytes) || LooksLikeDashManifest(bytes))) {
        // A stream's playlist, whatever type its server gave it: its owner fetches it as a
        // stream; saved it would only be a small text under a video's name.
        Reject(w, TAnswerVerdict::Reject(fkPlaylist, "the address answered with a stream's playlist", false));
        return false;
    }
    if (FFile->Seek(at, soBeginning) != at)
        throw EWriteError("Cannot seek in " + FPartPath, "the file cannot be positioned");
    FFile->WriteBuffer(data, take);
    return true;
}

// A segment's bytes, decrypted, checked to be media and spooled; a probe's only compared. False
// when nothing more is to be done with them here (rejected, or a probe's).
bool TDownloadCore::WriteSegmentBytes(int conn, const char* data, std::int64_t take, std::int64_t now)
{
    TWorker& w = *FWorkers[static_cast<std::size_t>(conn)];
    std::string plain;
    const char* out = data;
    std::size_t outLen = static_cast<std::size_t>(take);
    if (w.Cipher) {
        if (!w.Cipher->Update(data, static_cast<std::size_t>(take), plain)) {
            Reject(w, TAnswerVerdict::Reject(fkMedia, w.Cipher->Error(), false));
            return false;
        }
        out = plain.data();
        outLen = plain.size();
    }
    if (IsProbe(w)) {
        w.Probed.append(out, outLen);
        FSched.Received(conn, take, now);
        if (ProbeSettled(conn)) {
            w.Cut = true;
            w.Http->Abort();
        }
        return false;
    }
    if (w.Head.size() < MediaCheckBytes) {
        w.Head.append(out, std::min(MediaCheckBytes - w.Head.size(), outLen));
        if (w.Head.size() >= MediaCheckBytes && !LooksLikeMedia(w.Head)) {
            Reject(w, TAnswerVerdict::Reject(fkMedia, NotMediaWhy(w), !w.Cipher));
            return false;
        }
    }
    if (outLen > 0)
        w.Spool->WriteBuffer(out, static_cast<std::int64_t>(outLen));
    return true;
}

void TDownloadCore::WriteFailed(int conn, std::int64_t at, std::int64_t take, std::int64_t now, const EWriteError& e)
{
    const TWorker& w = *FWorkers[static_cast<std::size_t>(conn)];
    if (FMode == cmFile) {
        // What the file did take before it refused more is kept for the next run.
        try {
            const std::int64_t written = std::clamp<std::int64_t>(FFile->Size() - at, 0, take);
            FSched.Received(conn, written, now);
        } catch (...) {
            LogCaught("download", "measuring " + FPartPath);
        }
    }
    const std::string name = FMode == cmFile ? FPartPath : w.SpoolPath;
    Fail(TOutcome::Failed(fkWrite, "cannot write " + ExtractFileName(name) + ": " + WriteReason(e)));
}

void TDownloadCore::RequestDone(int conn)
{
    TWorker& w = *FWorkers[static_cast<std::size_t>(conn)];
    if (!w.Busy)
        return;
    w.Busy = false;
    THttpCli& h = *w.Http;
    h.OnDocBegin = nullptr;
    h.OnDocData = nullptr;
    if (!FRunning || w.Stopped)
        return;
    if (std::exception_ptr e = h.TakeEventException()) {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& x) {
            LogLine("download", std::string("connection ") + std::to_string(conn + 1) + ": " + x.what());
        } catch (...) {
        }
    }
    if (w.Verdict) {
        if (w.Verdict->Kind == TAnswerVerdict::avStartOver)
            return Fail(TOutcome::Failed(fkMismatch, w.Verdict->Words));
        return AttemptFailed(conn, w.Verdict->Fail, w.Verdict->Words, w.Verdict->Retry);
    }
    // The client's one outcome for the request decides; nothing here reads its texts.
    const THttpOutcome& out = h.Outcome();
    FLastRequest = out;
    const int status = out.Status;
    if (w.Cut || (w.Accepted && out.Done()))
        return AttemptOk(conn);
    if (out.Done() && status >= 200 && status < 300 && !w.Accepted) {
        // A final answer that ended without a single body byte: never a segment or a file.
        if (FMode == cmStream)
            return AttemptFailed(conn, fkMedia, "is empty: the server sent no bytes", true, status);
        return AttemptFailed(conn, fkMedia, "is not video: the server sent an empty answer", false, status);
    }
    if (status >= 400 && OnErrorStatus) {
        if (std::optional<TAnswerVerdict> v = OnErrorStatus(h, w.Job)) {
            if (v->Kind == TAnswerVerdict::avStartOver)
                return Fail(TOutcome::Failed(fkMismatch, v->Words, status));
            return AttemptFailed(conn, v->Fail, v->Words, v->Retry, status);
        }
    }
    return AnswerFailed(conn, out);
}

// A request that ended without its document: why, and whether asking again may help.
void TDownloadCore::AnswerFailed(int conn, const THttpOutcome& out)
{
    const THttpCli& h = *FWorkers[static_cast<std::size_t>(conn)]->Http;
    const int status = out.Status;
    const bool refusal =
        (out.Kind == hoRefused && out.SystemError == ws::WSAECONNREFUSED) || status == 429 || status == 503;
    switch (out.Kind) {
    case hoStatus:
    case hoAuthentication:
        return AttemptFailed(conn, fkServer, StatusWords(h), StatusWorthRetry(status), status, refusal);
    case hoProxy: // the client's words name the proxy
    case hoTooManyRelocations:
    case hoLocal:
        return AttemptFailed(conn, fkServer, out.Words, false, out.Code);
    case hoFraming:
        if (out.Code == httperrRangeMismatch)
            return Fail(TOutcome::Failed(fkMismatch, out.Words, out.Code));
        [[fallthrough]];
    default:
        // Broken, silent, unreachable or stopped by someone else: worth another try.
        return AttemptFailed(conn, fkNetwork, out.Words.empty() ? std::string("no answer from the server") : out.Words,
                             true, out.Code ? out.Code : httperrBadResponse, refusal);
    }
}

void TDownloadCore::AttemptOk(int conn)
{
    TWorker& w = *FWorkers[static_cast<std::size_t>(conn)];
    const int piece = w.Job.Piece;
    const TPiece& p = FSched.Pieces()[static_cast<std::size_t>(piece)];
    if (FMode == cmStream && IsProbe(w))
        return ProbeOk(conn);
    if (FMode == cmStream && !SegmentWhole(conn))
        return;
    if (FMode == cmFile && w.Got == 0 && p.End >= 0 && p.Pos < p.End && !FSched.RequestFull(conn))
        // A whole answer that brought nothing of what was asked would be asked for forever.
        return AttemptFailed(conn, fkNetwork, "the server sent none of the bytes asked for", true);
    std::int64_t plain = 0;
    if (FMode == cmStream) {
        try {
            plain = w.Spool->Size();
        } catch (const std::exception& e) {
            return Fail(TOutcome::Failed(fkWrite, e.what()));
        }
    }
    const int loser = FSched.Completed(conn, Now());
    const bool done = FSched.Pieces()[static_cast<std::size_t>(piece)].State == psDone;
    if (FMode == cmStream)
        HandOverSpool(w, done, plain);
    if (loser >= 0)
        StopWorker(loser);
    if (done)
        PieceDone();
    if (!FRunning)
        return;
    Progress();
    Fill();
}

// A kept segment's probe ended: the segment is kept (and done) when the server still has it.
void TDownloadCore::ProbeOk(int conn)
{
    const int piece = FWorkers[static_cast<std::size_t>(conn)]->Job.Piece;
    if (const std::string why = ProbeDiffers(conn); !why.empty())
        return Fail(TOutcome::Failed(fkMismatch, why));
    const int loser = FSched.Completed(conn, Now());
    FStream.DonePlain += FStream.Plain[static_cast<std::size_t>(piece)];
    ++FStream.DoneCount;
    if (loser >= 0)
        StopWorker(loser);
    if (!FRunning)
        return;
    Progress();
    Fill();
}

// A segment's answer ended: its last block decrypted, its first bytes media, a byte range whole.
// False when the try failed instead (already acted on).
bool TDownloadCore::SegmentWhole(int conn)
{
    TWorker& w = *FWorkers[static_cast<std::size_t>(conn)];
    // Checked once the first MediaCheckBytes arrived; a shorter segment is checked here.
    const bool unchecked = w.Head.size() < MediaCheckBytes;
    try {
        if (w.Cipher) {
            std::string last;
            if (!w.Cipher->Finish(last)) {
                AttemptFailed(conn, fkMedia, "the segment does not decrypt (wrong key or cut short)", false);
                return false;
            }
            if (unchecked)
                w.Head.append(last, 0, std::min(last.size(), MediaCheckBytes - w.Head.size()));
            if (!last.empty())
                w.Spool->WriteBuffer(last.data(), static_cast<std::int64_t>(last.size()));
        }
    } catch (const EWriteError& e) {
        Fail(TOutcome::Failed(fkWrite, "cannot write " + ExtractFileName(w.SpoolPath) + ": " + WriteReason(e)));
        return false;
    }
    if (unchecked && !LooksLikeMedia(w.Head)) {
        AttemptFailed(conn, fkMedia, w.Head.empty() ? std::string("is empty") : NotMediaWhy(w), !w.Cipher);
        return false;
    }
    const TSegmentSource& seg = FStream.Segments[static_cast<std::size_t>(w.Job.Piece)];
    if (seg.Length >= 0 && FSched.WriteAt(conn) < seg.Length) {
        AttemptFailed(conn, fkNetwork,
                      "the byte range " + std::to_string(seg.Length) + "@" + std::to_string(seg.Offset) +
                          " lies past the end of the resource",
                      false);
        return false;
    }
    return true;
}

// A finished try's spool becomes its piece's (done) or goes (the piece is another try's).
void TDownloadCore::HandOverSpool(TWorker& w, bool done, std::int64_t plain)
{
    const auto piece = static_cast<std::size_t>(w.Job.Piece);
    w.Spool.reset();
    if (done) {
        FStream.DoneSpool[piece] = w.SpoolPath;
        FStream.Plain[piece] = plain;
        FStream.Spooled += plain;
        FStream.DonePlain += plain;
        ++FStream.DoneCount;
    } else {
        RemoveFileIfAny(w.SpoolPath);
    }
    w.SpoolPath.clear(); // the finished spool is the piece's now, no longer this try's
}

void TDownloadCore::AttemptFailed(int conn, TFailKind kind, const std::string& why, bool retry, int code, bool refusal)
{
    TWorker& w = *FWorkers[static_cast<std::size_t>(conn)];
    if (FMode == cmStream) {
        w.Spool.reset();
        if (!w.SpoolPath.empty())
            RemoveFileIfAny(w.SpoolPath);
        w.SpoolPath.clear();
    }
    const int piece = w.Job.Piece;
    if (FMode == cmStream && !IsProbe(w) && !FSched.IsHelper(conn) && TryAlternate(conn, why))
        return;
    // A file of which nothing ever arrived gives up at once: an address that leads nowhere
    // (refused, unknown host) is not worth five pauses.
    if (FMode == cmFile && Bytes() == 0 && FSched.Pieces()[static_cast<std::size_t>(piece)].Best == 0 &&
        kind == fkNetwork)
        retry = false;
    const std::int64_t now = Now();
    // A refusal while another connection receives puts this one out without spending a try;
    // otherwise it is a failed try like any other, with its pause, and counts towards the end.
    if (refusal && FSched.Busy() > 1 && FSched.OthersReceive(conn, now)) {
        const TFailDecision out = FSched.Refused(conn, now);
        if (out.Silent) {
            LogLine("download", "connection " + std::to_string(conn + 1) + " refused; the others go on");
            return Fill();
        }
    }
    const TFailDecision d = FSched.Failed(conn, retry, now);
    if (d.Silent)
        return Fill();
    LogLine("download",
            (FMode == cmStream ? FStream.Segments[static_cast<std::size_t>(piece)].Name
                               : "connection " + std::to_string(conn + 1) + " for " + ExtractFileName(FPartPath)) +
                ": " + why + (d.GiveUp ? std::string() : "; again in " + std::to_string(d.PauseMs) + " ms"));
    // The tries are worth naming only where asking again was the rule: a 404 is a 404.
    if (d.GiveUp)
        return Fail(TOutcome::Failed(kind, GiveUpWords(conn, kind, why, retry ? d.Try : 0, code), code));
    Fill();
    if (FRunning && FSched.Busy() == 0)
        Tick(); // nothing under way: the pause is shown at once
}

// A segment whose try failed at one of its addresses goes on at the next at once, without a
// pause and without spending a try; after the last the piece's tries count again, from its
// first address.
bool TDownloadCore::TryAlternate(int conn, const std::string& why)
{
    const int piece = FWorkers[static_cast<std::size_t>(conn)]->Job.Piece;
    if (piece < 0 || static_cast<std::size_t>(piece) >= FStream.Segments.size())
        return false;
    const TSegmentSource& seg = FStream.Segments[static_cast<std::size_t>(piece)];
    std::size_t& at = FStream.AddressAt[static_cast<std::size_t>(piece)];
    if (seg.Alternates.empty())
        return false;
    if (at >= seg.Alternates.size()) {
        at = 0;
        return false;
    }
    ++at;
    LogLine("download", seg.Name + ": " + why + "; trying " + seg.Alternates[at - 1]);
    FSched.Release(conn);
    Fill();
    return true;
}

std::string TDownloadCore::GiveUpWords(int conn, TFailKind kind, const std::string& why, int tries, int code) const
{
    if (FMode == cmStream) {
        const std::string& name =
            FStream.Segments[static_cast<std::size_t>(FWorkers[static_cast<std::size_t>(conn)]->Job.Piece)].Name;
        return name + ": " + why + (tries > 0 ? " (" + Tries(tries) + ")" : std::string());
    }
    if (kind != fkNetwork)
        return why;
    const THttpCli& h = *FWorkers[static_cast<std::size_t>(conn)]->Http;
    const std::int64_t have = Bytes();
    if (have > 0) {
        const std::string of = FTotal >= 0 ? " of " + GroupedCount(FTotal) : std::string();
        return (code == httperrTimeout ? "no data for " + SecondsText(h.IdleTimeout()) + " after "
                                       : std::string("the connection closed after ")) +
               GroupedCount(have) + of + " bytes (" + Tries(tries) + ")";
    }
    const std::string proxy = h.Proxy().empty() ? std::string() : h.Proxy() + ":" + h.ProxyPort();
    if (code == httperrTimeout)
        return "no data for " + SecondsText(h.IdleTimeout());
    if (code == ws::WSAECONNREFUSED)
        return proxy.empty() ? "the server refused the connection" : "the proxy " + proxy + " refused the connection";
    if (IsLookupError(code))
        return proxy.empty() ? "host not found" : "host not found (the proxy " + proxy + ")";
    return why.empty() ? "no answer from the server" : why;
}

void TDownloadCore::StopWorker(int conn)
{
    TWorker& w = *FWorkers[static_cast<std::size_t>(conn)];
    FSched.Release(conn);
    if (!w.Busy)
        return;
    w.Stopped = true;
    w.Busy = false;
    THttpCli& h = *w.Http;
    h.OnDocBegin = nullptr;
    h.OnDocData = nullptr;
    h.OnRequestDone = nullptr;
    w.Spool.reset();
    if (!w.SpoolPath.empty())
        RemoveFileIfAny(w.SpoolPath);
    w.SpoolPath.clear();
    try {
        h.Abort();
    } catch (...) {
        LogCaught("download", "aborting a connection");
    }
    // The client goes from the loop (it may be inside its own event), a fresh one takes its place.
    FRetired.push_back(std::move(FWorkers[static_cast<std::size_t>(conn)]));
    FWorkers[static_cast<std::size_t>(conn)] = std::make_unique<TWorker>();
    QTimer::singleShot(0, FContext.get(), [this] { FRetired.clear(); });
}

// ---- the writer -------------------------------------------------------------------------------

std::string TDownloadCore::SpoolOf(int piece)
{
    const TSegmentSource& seg = FStream.Segments[static_cast<std::size_t>(piece)];
    return FStream.TrackParts[static_cast<std::size_t>(seg.Track)] + ".s" + std::to_string(piece) + "." +
           std::to_string(++FSpoolSerial);
}

bool TDownloadCore::IsProbe(const TWorker& w) const
{
    return FMode == cmStream && w.Job.Piece >= 0 && FStream.Probe[static_cast<std::size_t>(w.Job.Piece)];
}

// How many plain bytes of a kept segment a probe compares: what a probe's answer brings once the
// decryption's last block, held back until the end, is left out.
std::int64_t TDownloadCore::ProbeNeed(int piece) const
{
    const TSegmentSource& seg = FStream.Segments[static_cast<std::size_t>(piece)];
    return std::min(FStream.Plain[static_cast<std::size_t>(piece)], kProbeBytes - (seg.Key >= 0 ? 32 : 0));
}

bool TDownloadCore::ProbeSettled(int conn) const
{
    const TWorker& w = *FWorkers[static_cast<std::size_t>(conn)];
    return static_cast<std::int64_t>(w.Probed.size()) >= ProbeNeed(w.Job.Piece);
}

// Why a kept segment is not what the server now sends for it ("" when it is). A probe cut after
// its bytes compares those; one whose answer ended by itself also compares the length.
std::string TDownloadCore::ProbeDiffers(int conn)
{
    TWorker& w = *FWorkers[static_cast<std::size_t>(conn)];
    const int piece = w.Job.Piece;
    const TSegmentSource& seg = FStream.Segments[static_cast<std::size_t>(piece)];
    const std::int64_t kept = FStream.Plain[static_cast<std::size_t>(piece)];
    const std::string changed = "the stream changed since the last run (" + seg.Name + " differs)";
    if (!w.Cut && w.Cipher) {
        std::string last;
        if (!w.Cipher->Finish(last))
            return changed;
        w.Probed += last;
    }
    const auto got = static_cast<std::int64_t>(w.Probed.size());
    if (got < ProbeNeed(piece))
        return changed; // shorter than the kept segment
    // An answer that names the resource's size: a whole segment must be as long as the kept one
    // (its ciphertext a padded block longer).
    if (seg.Offset < 0) {
        const THttpCli& h = *w.Http;
        std::int64_t size = -1;
        if (h.StatusCode() == 206) {
            if (const std::optional<TContentRange> range = ParseContentRange(h.ContentRange()))
                size = range->Total;
        } else if (h.TransferEncoding() != "chunked" && h.ContentEncoding().empty()) {
            size = h.ContentLength();
        }
        const std::int64_t raw = w.Cipher ? (kept / 16 + 1) * 16 : kept;
        if (size >= 0 && size != raw)
            return changed;
    }
    const std::int64_t n = std::min(got, kept);
    const std::size_t t = static_cast<std::size_t>(seg.Track);
    const std::size_t k = FStream.Place[static_cast<std::size_t>(piece)];
    const std::int64_t from = k ? FJournal.Tracks[t][k - 1] : 0;
    std::string have(static_cast<std::size_t>(n), '\0');
    std::int64_t done = 0;
    while (done < n) {
        const ssize_t r = ::pread(FStream.Tracks[t]->Handle(), have.data() + done, static_cast<std::size_t>(n - done),
                                  static_cast<off_t>(from + done));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return changed;
        done += r;
    }
    std::string probed = w.Probed;
    if (!ProbedAsKept(piece, probed).empty())
        return changed;
    return have.compare(0, have.size(), probed, 0, static_cast<std::size_t>(n)) == 0 ? std::string() : changed;
}

// A probe's bytes as the track keeps them: a media segment's decode times moved as they were
// when it was appended (a moof running past the probe's end stays as it came, and differs).
std::string TDownloadCore::ProbedAsKept(int piece, std::string& probed)
{
    const TSegmentSource& seg = FStream.Segments[static_cast<std::size_t>(piece)];
    if (seg.Init || seg.TimeShift == 0)
        return std::string();
    std::int64_t ticks = 0;
    if (std::string why = ShiftTicks(piece, ticks); !why.empty())
        return why;
    return ShiftFragmentTimes(probed, ticks, true);
}

void TDownloadCore::PieceDone()
{
    if (FMode == cmFile) {
        if (CheckPending())
            SaveJournal(false);
        return;
    }
    if (!AppendInOrder())
        return;
    SaveJournal(false);
}

// The finished segments whose turn has come go into their track's file, in playlist order.
bool TDownloadCore::AppendInOrder()
{
    std::string buffer;
    for (std::size_t t = 0; t < FStream.TrackPieces.size(); ++t) {
        while (FStream.Appended[t] < FStream.TrackPieces[t].size()) {
            const int piece = FStream.TrackPieces[t][FStream.Appended[t]];
            const std::string& spool = FStream.DoneSpool[static_cast<std::size_t>(piece)];
            if (spool.empty())
                break;
            try {
                TFileStream in(spool, fmOpenRead | fmNoFollow);
                const TSegmentSource& seg = FStream.Segments[static_cast<std::size_t>(piece)];
                if (!seg.Init && seg.TimeShift != 0) {
                    std::int64_t ticks = 0;
                    std::string why = ShiftTicks(piece, ticks);
                    if (why.empty())
                        why = AppendShifted(in, t, ticks);
                    if (!why.empty()) {
                        Fail(TOutcome::Failed(fkMedia, seg.Name + ": " + why));
                        return false;
                    }
                } // (the copy below then finds nothing left)
                buffer.resize(static_cast<std::size_t>(kCopyBytes));
                for (;;) {
                    const std::int64_t n = in.Read(buffer.data(), kCopyBytes);
                    if (n <= 0)
                        break;
                    FStream.Tracks[t]->WriteBuffer(buffer.data(), n);
                    FStream.TrackBytes[t] += n;
                }
            } catch (const EWriteError& e) {
                Fail(TOutcome::Failed(fkWrite, "cannot write " + ExtractFileName(FStream.TrackParts[t]) + ": " +
                                                   WriteReason(e)));
                return false;
            } catch (const std::exception& e) {
                Fail(TOutcome::Failed(fkSave, e.what()));
                return false;
            }
            FStream.Spooled -= FStream.Plain[static_cast<std::size_t>(piece)];
            RemoveFileIfAny(spool);
            FStream.DoneSpool[static_cast<std::size_t>(piece)] = "done";
            FJournal.Tracks[t].push_back(FStream.TrackBytes[t]);
            ++FStream.Appended[t];
        }
    }
    return true;
}

namespace {

// Up to count bytes, fewer only at the end of the file.
std::int64_t ReadUpTo(TFileStream& in, char* to, std::int64_t count)
{
    std::int64_t done = 0;
    while (done < count) {
        const std::int64_t n = in.Read(to + done, count - done);
        if (n <= 0)
            break;
        done += n;
    }
    return done;
}

// The most bytes one moof box may take: it is held whole while its times are moved.
constexpr std::uint64_t kMaxMoofBytes = 64 * 1024 * 1024;

} // namespace

// Copies what is left of a media segment's spool into track t box by box: each moof whole, its
// decode times moved by ticks, anything else (the media data above all) as it comes, so that a
// large segment is never held in memory. "" when done, else why not.
std::string TDownloadCore::AppendShifted(TFileStream& in, std::size_t t, std::int64_t ticks)
{
    std::string buffer(static_cast<std::size_t>(kCopyBytes), '\0');
    for (;;) {
        std::string box(16, '\0');
        std::int64_t have = ReadUpTo(in, box.data(), 8);
        if (have == 0)
            return std::string();
        if (have == 8 && box.compare(0, 4, std::string("\0\0\0\1", 4)) == 0)
            have += ReadUpTo(in, box.data() + 8, 8);
        box.resize(static_cast<std::size_t>(have));
        const TBoxHeader h = ReadBoxHeader(box, false);
        if (!h.Error.empty())
            return h.Error;
        if (h.Size == 0 && h.Type == "moof")
            return "a moof box without a size";
        if (h.Type == "moof") {
            if (h.Size > kMaxMoofBytes)
                return "a moof box of more than " + std::to_string(kMaxMoofBytes >> 20) + " MiB";
            box.resize(static_cast<std::size_t>(h.Size));
            const auto rest = static_cast<std::int64_t>(h.Size) - have;
            if (ReadUpTo(in, box.data() + have, rest) != rest)
                return "a moof box cut short";
            if (std::string why = ShiftFragmentTimes(box, ticks); !why.empty())
                return why;
        }
        FStream.Tracks[t]->WriteBuffer(box.data(), static_cast<std::int64_t>(box.size()));
        FStream.TrackBytes[t] += static_cast<std::int64_t>(box.size());
        if (h.Type == "moof")
            continue;
        // The rest of another box; a size of 0 runs to the end of the segment.
        std::int64_t left = h.Size == 0 ? -1 : static_cast<std::int64_t>(h.Size) - have;
        while (left != 0) {
            const std::int64_t want = left < 0 ? kCopyBytes : std::min(left, kCopyBytes);
            const std::int64_t n = ReadUpTo(in, buffer.data(), want);
            if (n > 0) {
                FStream.Tracks[t]->WriteBuffer(buffer.data(), n);
                FStream.TrackBytes[t] += n;
            }
            if (left < 0 && n < want)
                return std::string();
            if (n < want)
                return "a " + h.Type + " box cut short";
            left -= left < 0 ? 0 : n;
        }
    }
}

// How far a media segment's decode times move, in ticks of the media's own clock: the timescale
// of the initialization section before it in its track, read back from the track's file (where
// it went first, also in an earlier run).
std::string TDownloadCore::ShiftTicks(int piece, std::int64_t& ticks)
{
    const TSegmentSource& seg = FStream.Segments[static_cast<std::size_t>(piece)];
    const auto t = static_cast<std::size_t>(seg.Track);
    std::size_t k = FStream.Place[static_cast<std::size_t>(piece)];
    while (k > 0 && !FStream.Segments[static_cast<std::size_t>(FStream.TrackPieces[t][k - 1])].Init)
        --k;
    if (k == 0)
        return "no initialization section gives the media's timescale";
    const auto init = static_cast<std::size_t>(FStream.TrackPieces[t][--k]);
    if (FStream.Timescale[init] == 0) {
        const std::int64_t from = k ? FJournal.Tracks[t][k - 1] : 0;
        const std::int64_t n = std::min<std::int64_t>(FJournal.Tracks[t][k] - from, 16 * 1024 * 1024);
        std::string bytes(static_cast<std::size_t>(n), '\0');
        std::int64_t done = 0;
        while (done < n) {
            const ssize_t r = ::pread(FStream.Tracks[t]->Handle(), bytes.data() + done,
                                      static_cast<std::size_t>(n - done), static_cast<off_t>(from + done));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return "the initialization section cannot be read back";
            done += r;
        }
        if (std::string why = ReadMediaTimescale(bytes, FStream.Timescale[init]); !why.empty())
            return why;
    }
    if (!SecondsToTicks(seg.TimeShift, FStream.Timescale[init], ticks))
        return "the period's start is past the largest decode time";
    return std::string();
}

// ---- progress and the journal -----------------------------------------------------------------

void TDownloadCore::Progress()
{
    const std::int64_t bytes = Bytes();
    std::int64_t total = FTotal;
    if (FMode == cmStream) {
        // Without byte ranges the total is projected from the segments done so far.
        if (FStream.Total >= 0)
            total = FStream.Total;
        else if (FStream.DoneCount > 0)
            total = static_cast<std::int64_t>(static_cast<double>(FStream.DonePlain) /
                                              static_cast<double>(FStream.DoneCount) *
                                              static_cast<double>(FStream.Segments.size()));
        if (total != FTotal) {
            FTotal = total;
            if (OnSize && total >= 0)
                OnSize(total);
        }
    }
    if (!OnProgress)
        return;
    const std::int64_t now = Now();
    if (now - FShown.RateTick >= kRateIntervalMs) {
        const TRateSample sample{bytes - FShown.RateBytes, static_cast<std::uint32_t>(now - FShown.RateTick)};
        FShown.RateTick = now;
        FShown.RateBytes = bytes;
        OnProgress(bytes, total, &sample);
    } else {
        OnProgress(bytes, total, nullptr);
    }
}

std::string TDownloadCore::OtherVersion(std::int64_t from)
{
    return "the server sent another version of the file (its bytes before " + std::to_string(from) + " differ)";
}

// The overlaps whose bytes before are in place now: compared, and gone. False when one differs
// (the download has failed then).
bool TDownloadCore::CheckPending()
{
    if (FPending.empty())
        return true;
    const TByteSet have = FileHave();
    for (auto it = FPending.begin(); it != FPending.end();) {
        const auto end = it->At + static_cast<std::int64_t>(it->Bytes.size());
        if (!have.Contains(it->At, end)) {
            ++it;
            continue;
        }
        if (!OverlapMatches(it->At, it->Bytes)) {
            Fail(TOutcome::Failed(fkMismatch, OtherVersion(end)));
            return false;
        }
        it = FPending.erase(it);
    }
    return true;
}

// A piece whose first bytes are not yet shown to be of the same version as the bytes before it:
// a journal claims none of its bytes.
bool TDownloadCore::Unproven(const TPiece& p) const
{
    return std::any_of(FPending.begin(), FPending.end(),
                       [&p](const TOverlap& o) { return o.At + static_cast<std::int64_t>(o.Bytes.size()) == p.Start; });
}

// Whether bytes, asked again, are what the .part holds at at.
bool TDownloadCore::OverlapMatches(std::int64_t at, const std::string& bytes) const
{
    std::string have(bytes.size(), '\0');
    std::size_t done = 0;
    while (done < have.size()) {
        const ssize_t r = ::pread(FFile->Handle(), have.data() + done, have.size() - done,
                                  static_cast<off_t>(at + static_cast<std::int64_t>(done)));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        done += static_cast<std::size_t>(r);
    }
    return have == bytes;
}

TByteSet TDownloadCore::FileHave() const
{
    TByteSet have;
    for (const TPiece& p : FSched.Pieces())
        if (p.Pos > p.Start)
            have.Add(p.Start, p.Pos);
    return have;
}

void TDownloadCore::SaveJournal(bool now)
{
    if (FSave.Path.empty())
        return;
    const std::int64_t tick = Now();
    if (!now && tick - FSave.Tick < kJournalIntervalMs) {
        // Saved a little later, not only with the next bytes: what was written must be on record
        // even when nothing more arrives before the process is killed.
        if (!FSave.Due) {
            FSave.Due = true;
            QTimer::singleShot(static_cast<int>(kJournalIntervalMs - (tick - FSave.Tick)), FContext.get(), [this] {
                Application::Guard([this] {
                    if (FSave.Due && FRunning)
                        SaveJournal(true);
                });
            });
        }
        return;
    }
    FSave.Due = false;
    FSave.Tick = tick;
    try {
        if (FMode == cmFile) {
            FJournal.Pieces.clear();
            std::vector<TPiece> pieces = FSched.Pieces();
            std::sort(pieces.begin(), pieces.end(), [](const TPiece& a, const TPiece& b) { return a.Start < b.Start; });
            for (const TPiece& p : pieces)
                FJournal.Pieces.push_back(TJournalPiece{p.Start, Unproven(p) ? p.Start : p.Pos, p.End});
            FJournal.Blocks.resize(1);
            FJournal.Spans.resize(1);
            HashKeptBytes(FPartPath, FileHave(), FTotal, FJournal.Blocks[0], FJournal.Spans[0]);
        } else {
            for (std::size_t t = 0; t < FStream.TrackParts.size(); ++t) {
                TByteSet have;
                if (FStream.TrackBytes[t] > 0)
                    have.Add(0, FStream.TrackBytes[t]);
                HashKeptBytes(FStream.TrackParts[t], have, -1, FJournal.Blocks[t], FJournal.Spans[t]);
            }
        }
        WriteJournal(FSave.Path, FJournal);
    } catch (const std::exception& e) {
        // The download goes on; only a later run cannot continue it.
        LogLine("download", e.what());
    }
}

// ---- the end ----------------------------------------------------------------------------------

void TDownloadCore::Finish()
{
    if (FMode == cmFile) {
        if (FTotal == 0 || FSched.BytesDone() == 0)
            return Fail(TOutcome::Failed(fkMedia, "is not video: the server's file is empty"));
        if (!CheckPending())
            return;
        try {
            if (FTotal >= 0)
                FFile->SetSize(FTotal);
            FFile.reset();
        } catch (const std::exception& e) {
            FFile.reset();
            return Fail(TOutcome::Failed(fkWrite, e.what()));
        }
    } else {
        if (!AppendInOrder())
            return;
        FStream.Tracks.clear();
    }
    SaveJournal(true);
    Halt();
    End(TOutcome::Done());
}

void TDownloadCore::Fail(TOutcome outcome)
{
    if (!FRunning)
        return;
    if (outcome.Request.Kind == hoNone)
        outcome.Request = FLastRequest;
    SaveJournal(true);
    Halt();
    End(std::move(outcome));
}

void TDownloadCore::End(TOutcome outcome)
{
    FEnding = true;
    QTimer::singleShot(0, FContext.get(), [this, outcome] {
        Application::Guard([this, &outcome] {
            FEnding = false;
            if (OnEnded)
                OnEnded(outcome);
        });
    });
}

void TDownloadCore::Halt()
{
    FRunning = false;
    if (FTimer)
        FTimer->stop();
    for (std::size_t k = 0; k < FWorkers.size(); ++k) {
        TWorker& w = *FWorkers[k];
        if (w.Busy && w.Http) {
            w.Busy = false;
            w.Http->OnRequestDone = nullptr;
            w.Http->OnDocData = nullptr;
            w.Http->OnDocBegin = nullptr;
            try {
                w.Http->Abort();
            } catch (...) {
                LogCaught("download", "aborting a connection");
            }
        }
        w.Spool.reset();
        if (!w.SpoolPath.empty())
            RemoveFileIfAny(w.SpoolPath);
    }
    // Finished segments not yet in their track are fetched again by the next run.
    for (std::string& spool : FStream.DoneSpool)
        if (!spool.empty() && spool != "done") {
            RemoveFileIfAny(spool);
            spool.clear();
        }
    FFile.reset();
    FStream.Tracks.clear();
}

void TDownloadCore::Stop()
{
    if (!FRunning)
        return;
    SaveJournal(true);
    Halt();
    // Nothing posted before the stop reaches the owner after it.
    FContext = std::make_unique<QObject>();
}

} // namespace cw
