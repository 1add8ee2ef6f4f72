// Several connections per file: the ranges of one .part, each fetched by its own client, all
// on the event loop (no thread per connection).

#include "engine/DownloadText.h"
#include "engine/Transfer.h"
#include "platform/Application.h"
#include "platform/Log.h"
#include "platform/TickCount.h"
#include "platform/Winsock.h"

#include <QTimer>

namespace cw {
namespace {

// A range is split for a connection that ran out of work only when both halves are worth a
// request of their own.
constexpr std::int64_t kMinSteal = 256 * 1024;
// While bytes arrive the .meta is rewritten at most this often.
constexpr std::uint32_t kMetaIntervalMs = 250;

} // namespace

bool TTransfer::Segmentable(std::int64_t total) const
{
    return FConnections > 1 && total >= 2 * FMinPiece;
}

THttpCli& TTransfer::ClientOf(int conn)
{
    return *FConns[static_cast<std::size_t>(conn)]->Http;
}

std::int64_t TTransfer::SegmentBytes() const
{
    std::int64_t n = 0;
    for (const TPartRange& r : FRanges)
        n += r.Pos - r.Start;
    return n;
}

// The first answer was a 206 from byte 0 with the size: the file is cut into one range per
// connection. The first connection keeps its request (it asked for everything) and is cut at
// the end of its range.
void TTransfer::StartSegments(std::int64_t total)
{
    const int n = static_cast<int>(std::min<std::int64_t>(FConnections, total / FMinPiece));
    FSegmented = true;
    FRanges.clear();
    FRangeConn.clear();
    for (int k = 0; k < n; ++k) {
        TPartRange r;
        r.Start = r.Pos = total * k / n;
        r.End = total * (k + 1) / n;
        FRanges.push_back(r);
        FRangeConn.push_back(-1);
    }
    FConns.clear();
    auto first = std::make_unique<TConn>();
    first->Http = &FHttp;
    first->Range = 0;
    first->Busy = true;
    first->Accepted = true;
    FRangeConn[0] = 0;
    FConns.push_back(std::move(first));
    // From here on every connection writes at its own place: the first one's body goes through
    // its data event too, not through the stream (no byte of it has been written yet).
    FHttp.SetRcvdStream(nullptr);
    FHttp.OnHeaderData = nullptr;
    FHttp.OnDocBegin = nullptr;
    FHttp.OnDocData = [this](TObject*, const char* d, int len) { SegmentData(0, d, len); };
    FHttp.OnRequestDone = [this](TObject*, THttpRequest, std::uint16_t) { SegmentDone(0); };
    SaveRanges(true);
    for (int k = 1; k < n; ++k) {
        FConns.push_back(std::make_unique<TConn>());
        AssignWork(k);
    }
}

// An earlier run left ranges open: every one of them continues, as many at once as there are
// connections. False when the .part cannot be opened (the caller starts over on one).
bool TTransfer::ResumeSegments()
{
    try {
        FFile = std::make_unique<TFileStream>(FPartPath, fmOpenReadWrite | fmShareExclusive);
    } catch (const std::exception& e) {
        FFile.reset();
        Finish(SaveFailure(e));
        return true;
    }
    FSegmented = true;
    FExpectedTotal = FKept.Total;
    FRanges = FKept.Ranges;
    FRangeConn.assign(FRanges.size(), -1);
    FConns.clear();
    FRateTick = 0;
    FRateCount = SegmentBytes();
    if (OnAttempt)
        OnAttempt(FName, FRateCount);
    if (OnSize)
        OnSize(FExpectedTotal);
    const int n = std::max(1, FConnections);
    for (int k = 0; k < n; ++k) {
        auto c = std::make_unique<TConn>();
        if (k == 0)
            c->Http = &FHttp;
        FConns.push_back(std::move(c));
        if (!AssignWork(k))
            break;
    }
    if (FConns.front()->Range < 0)
        SegmentsFinished(); // nothing was left open
    return true;
}

// The range a connection takes next: one that nobody fetches, else the second half of the
// largest one still running. False when there is nothing worth taking.
bool TTransfer::AssignWork(int conn)
{
    TConn& c = *FConns[static_cast<std::size_t>(conn)];
    c.Range = -1;
    if (c.Refused)
        return false;
    for (std::size_t i = 0; i < FRanges.size(); ++i) {
        if (FRangeConn[i] < 0 && FRanges[i].Pos < FRanges[i].End) {
            c.Range = static_cast<int>(i);
            break;
        }
    }
    if (c.Range < 0) {
        int largest = -1;
        for (std::size_t i = 0; i < FRanges.size(); ++i) {
            const std::int64_t left = FRanges[i].End - FRanges[i].Pos;
            if (FRangeConn[i] >= 0 && left >= 2 * kMinSteal &&
                (largest < 0 || left > FRanges[static_cast<std::size_t>(largest)].End -
                                           FRanges[static_cast<std::size_t>(largest)].Pos))
                largest = static_cast<int>(i);
        }
        if (largest < 0)
            return false;
        TPartRange& big = FRanges[static_cast<std::size_t>(largest)];
        TPartRange half;
        half.Start = half.Pos = big.Pos + (big.End - big.Pos) / 2;
        half.End = big.End;
        big.End = half.Start; // its connection is cut there
        FRanges.push_back(half);
        FRangeConn.push_back(-1);
        c.Range = static_cast<int>(FRanges.size() - 1);
    }
    FRangeConn[static_cast<std::size_t>(c.Range)] = conn;
    SegmentRequest(conn);
    return true;
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
}

void TTransfer::SegmentRequest(int conn)
{
    TConn& c = *FConns[static_cast<std::size_t>(conn)];
    if (!c.Http) {
        // A client of its own, set up as the run's: proxy, credentials, idle limit, agent.
        c.Own = std::make_unique<THttpCli>();
        c.Own->SetName(FHttp.Name() + "_" + std::to_string(conn));
        TakeClientSettings(*c.Own, FHttp);
        c.Http = c.Own.get();
    }
    THttpCli& h = *c.Http;
    const TPartRange& r = FRanges[static_cast<std::size_t>(c.Range)];
    h.SetKeepEventExceptions(true);
    h.SetRcvdStream(nullptr);
    h.SetURL(FUrl);
    h.SetContentRangeBegin(std::to_string(r.Pos));
    h.SetContentRangeEnd(std::to_string(r.End - 1));
    h.OnHeaderData = nullptr;
    h.OnDocBegin = [this, conn](TObject*) { SegmentDocBegin(conn); };
    h.OnDocData = [this, conn](TObject*, const char* d, int len) { SegmentData(conn, d, len); };
    h.OnRequestDone = [this, conn](TObject*, THttpRequest, std::uint16_t) { SegmentDone(conn); };
    c.Busy = true;
    c.Cut = false;
    c.Accepted = false;
    if (FWaitShown) {
        FWaitShown = false;
        if (OnAttempt)
            OnAttempt(FName, SegmentBytes());
    }
    try {
        h.DoRequestAsync(httpGET);
    } catch (const EHttpException& e) {
        c.Busy = false;
        SegmentsFail(TTransferResult{false, e.Message(), std::string(), false});
    }
}

// Each range's answer must be a part of the same file: 206, starting where the range stands,
// the same total and validators.
void TTransfer::SegmentDocBegin(int conn)
{
    THttpCli& h = ClientOf(conn);
    const TPartRange& r = FRanges[static_cast<std::size_t>(FConns[static_cast<std::size_t>(conn)]->Range)];
    const int status = h.StatusCode();
    if (status < 200 || status >= 300)
        return; // an error page or a relocation: judged when the request is done
    const std::optional<TContentRange> range = ParseContentRange(h.ContentRange());
    std::string why;
    if (status != 206 || !range)
        why = "answered " + std::to_string(status) + " to a range request";
    else if (range->First != r.Pos || range->Total != FExpectedTotal)
        why = "answered another range (" + h.ContentRange() + " for " + std::to_string(r.Pos) + "-" + std::to_string(r.End) + " of " + std::to_string(FExpectedTotal) + ")";
    else if ((!FKept.ETag.empty() && h.ETag() != FKept.ETag) ||
             (!FKept.LastModified.empty() && h.LastModified() != FKept.LastModified))
        why = "answered for another version of the file";
    if (!why.empty())
        return FallBackToOne("connection " + std::to_string(conn + 1) + " " + why);
    FConns[static_cast<std::size_t>(conn)]->Accepted = true;
}

void TTransfer::SegmentData(int conn, const char* data, int len)
{
    TConn& c = *FConns[static_cast<std::size_t>(conn)];
    // A relocation's or an error page's body is nobody's bytes.
    if (c.Range < 0 || !FFile || !c.Accepted)
        return;
    TPartRange& r = FRanges[static_cast<std::size_t>(c.Range)];
    const std::int64_t take = std::min<std::int64_t>(len, r.End - r.Pos);
    if (take > 0) {
        try {
            FFile->Seek(r.Pos, soBeginning);
            FFile->WriteBuffer(data, take);
        } catch (const EWriteError& e) {
            const std::string reason = e.Reason().empty() ? std::string(e.what()) : e.Reason();
            SegmentsFail(TTransferResult{false, "cannot write " + ExtractFileName(FPartPath) + ": " + reason,
                                         std::string(), false});
            return;
        }
        r.Pos += take;
        SegmentProgress();
    }
    if (r.Pos >= r.End && c.Busy && !c.Cut) {
        // The range is complete (it may have been halved for another connection meanwhile):
        // the rest of this answer belongs to others.
        c.Cut = true;
        c.Http->Abort();
    }
}

void TTransfer::SegmentProgress()
{
    Progress(SegmentBytes());
    SaveRanges(false);
}

void TTransfer::SegmentDone(int conn)
{
    TConn& c = *FConns[static_cast<std::size_t>(conn)];
    if (!c.Busy || !FSegmented)
        return;
    c.Busy = false;
    THttpCli& h = *c.Http;
    const int range = c.Range;
    if (range >= 0 && FRanges[static_cast<std::size_t>(range)].Pos >= FRanges[static_cast<std::size_t>(range)].End) {
        FRangeConn[static_cast<std::size_t>(range)] = -1;
        SaveRanges(true);
        AssignWork(conn);
    } else {
        if (range >= 0)
            FRangeConn[static_cast<std::size_t>(range)] = -1;
        c.Range = -1;
        const int status = h.StatusCode();
        const std::uint16_t code = h.FailureCode();
        int othersWork = 0;
        for (std::size_t k = 0; k < FConns.size(); ++k)
            othersWork += static_cast<int>(k) != conn && !FConns[k]->Refused;
        const bool refusal = code == ws::WSAECONNREFUSED || status == 429 || status == 503;
        if (refusal && othersWork > 0) {
            // The server takes no more connections: the others carry on, and take this range
            // when they are free. (The last one left counts it as a broken try, below.)
            LogLine("transfer", "connection " + std::to_string(conn + 1) + " for " + FName + " refused; " +
                                    std::to_string(othersWork) + " go on");
            c.Refused = true;
        } else if (!refusal && (status == 416 || code == httperrRangeMismatch)) {
            return FallBackToOne("connection " + std::to_string(conn + 1) + " got no part of the range asked for");
        } else if (!refusal && (status >= 400 || code == httperrProxyRefused || code == httperrTooManyRelocations)) {
            std::string reason = !h.FailureText().empty() && status < 400
                                     ? h.FailureText()
                                     : "the server answered " + std::to_string(status) +
                                           (h.ReasonPhrase().empty() ? std::string() : " " + h.ReasonPhrase());
            return SegmentsFail(TTransferResult{false, reason, std::string(), false});
        } else {
            // Broken or silent: after a pause, this connection asks again for the rest of its
            // range. The tries count for the file as a whole.
            const int tries = static_cast<int>(FRetryDelays.size());
            if (FRetries >= tries) {
                const std::string done = GroupedCount(SegmentBytes()) + " of " + GroupedCount(FExpectedTotal);
                const std::string tried = " bytes (" + std::to_string(FRetries) + (FRetries == 1 ? " try)" : " tries)");
                return SegmentsFail(TTransferResult{
                    false,
                    (code == httperrTimeout ? "no data for " + SecondsText(h.IdleTimeout()) + " after "
                                            : std::string("the connection closed after ")) +
                        done + tried,
                    std::string(), false});
            }
            const std::uint32_t pause = FRetryDelays[static_cast<std::size_t>(FRetries)];
            ++FRetries;
            FRangeConn[static_cast<std::size_t>(range)] = conn;
            c.Range = range;
            if (!c.Pause) {
                c.Pause = std::make_unique<QTimer>();
                c.Pause->setSingleShot(true);
                QObject::connect(c.Pause.get(), &QTimer::timeout, [this, conn] {
                    Application::Guard([this, conn] {
                        if (FSegmented && FRunning)
                            SegmentRequest(conn);
                    });
                });
            }
            c.Pause->start(static_cast<int>(pause));
            bool othersBusy = false;
            for (const auto& other : FConns)
                othersBusy |= other->Busy;
            if (!othersBusy && OnWaiting) {
                FWaitShown = true;
                OnWaiting(static_cast<int>((pause + 999) / 1000), FRetries, tries);
            }
            return;
        }
    }
    bool busy = false;
    bool open = false;
    for (const auto& other : FConns)
        busy |= other->Busy || (other->Pause && other->Pause->isActive());
    for (const TPartRange& r : FRanges)
        open |= r.Pos < r.End;
    if (!open && !busy)
        return SegmentsFinished();
    if (open && !busy) {
        // Every connection was refused: nothing fetches the rest.
        SegmentsFail(TTransferResult{false, "the server refused further connections", std::string(), false});
    }
}

void TTransfer::SegmentsFinished()
{
    StopConnections();
    try {
        FFile->SetSize(FExpectedTotal);
        FFile.reset();
        ReplaceFile(FPartPath, FFinalPath);
    } catch (const std::exception& e) {
        FFile.reset();
        FSegmented = false;
        return Finish(SaveFailure(e));
    }
    FSegmented = false;
    RemoveFileIfAny(FMetaPath);
    FCompletedPath = FFinalPath;
    TTransferResult r;
    r.Done = true;
    Finish(r);
}

void TTransfer::SegmentsFail(TTransferResult result)
{
    StopConnections();
    SaveRanges(true);
    CloseSegmentFile();
    FSegmented = false;
    Finish(std::move(result));
}

// A range's answer does not fit: the file starts over from its first byte on one connection.
void TTransfer::FallBackToOne(const std::string& why)
{
    LogLine("transfer", "several connections given up for " + FName + ": " + why + "; starting over on one");
    StopConnections();
    CloseSegmentFile();
    FSegmented = false;
    FConnections = 1;
    FOffset = 0;
    FKept = TPartMeta{};
    RemoveFileIfAny(FMetaPath);
    FWindow.PostMessage(WM_TRANSFER_STEP, stAttempt);
}

void TTransfer::DetachConn(int conn)
{
    THttpCli& h = ClientOf(conn);
    h.OnHeaderData = nullptr;
    h.OnDocBegin = nullptr;
    h.OnDocData = nullptr;
    h.OnRequestDone = nullptr;
    h.SetRcvdStream(nullptr);
}

void TTransfer::StopConnections()
{
    for (std::size_t k = 0; k < FConns.size(); ++k) {
        TConn& c = *FConns[k];
        if (c.Pause)
            c.Pause->stop();
        if (!c.Http)
            continue;
        DetachConn(static_cast<int>(k));
        if (c.Busy) {
            c.Busy = false;
            try {
                c.Http->Abort();
            } catch (...) {
                LogCaught("transfer", "aborting a connection");
            }
        }
    }
    // The connections go from the loop: one of them may be inside its own event right now.
    if (!FConns.empty()) {
        for (auto& c : FConns)
            FRetired.push_back(std::move(c));
        FConns.clear();
        FWindow.PostMessage(WM_TRANSFER_STEP, stFreeRetired);
    }
}

void TTransfer::SaveRanges(bool now)
{
    const std::uint32_t tick = GetTickCount();
    if (!now && tick - FMetaTick < kMetaIntervalMs)
        return;
    FMetaTick = tick;
    TPartMeta meta = FKept;
    meta.Ranges = FRanges;
    try {
        WritePartMeta(FMetaPath, meta);
    } catch (const std::exception& e) {
        LogLine("transfer", e.what());
    }
}

void TTransfer::CloseSegmentFile()
{
    FFile.reset();
}

} // namespace cw
