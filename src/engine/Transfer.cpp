#include "engine/Transfer.h"

#include "engine/DownloadText.h"
#include "engine/core/PartFile.h"
#include "engine/streams/DashManifest.h"
#include "engine/streams/HlsPlaylist.h"
#include "net/http/HttpProt.h"
#include "platform/Log.h"
#include "platform/Text.h"

#include <algorithm>

namespace cw {

TTransfer::TTransfer(THttpCli& http) : FHttp(http), FCore(http)
{
    FCore.OnPrepare = [this](THttpCli& h, const TAssignment& job) { Prepare(h, job); };
    FCore.OnAnswer = [this](THttpCli& h, int conn, const TAssignment& job) { return Answer(h, conn, job); };
    FCore.OnErrorStatus = [this](THttpCli& h, const TAssignment& job) { return ErrorStatus(h, job); };
    ForwardProgressEvents(FCore, *this, FName);
    FCore.OnEnded = [this](const TOutcome& outcome) { CoreEnded(outcome); };
}

TTransfer::~TTransfer()
{
    FCore.Stop();
}

void TTransfer::Start(const std::string& finalPath, std::optional<TWebBrowser::TMediaAnswer> answer)
{
    Stop();
    FUrl = FHttp.URL();
    FFinalPath = finalPath;
    FPartPath = PartPathOf(finalPath);
    FMetaPath = PartMetaPathOf(finalPath);
    FName = ExtractFileName(finalPath);
    FCompletedPath.clear();
    FStartedOver = false;
    FNoRanges = false;
    FConnectionsNow = FConnections;
    FRunning = true;
    Begin(true, std::move(answer));
}

void TTransfer::Stop()
{
    FCore.Stop();
    FRunning = false;
}

// The address a journal names a file by: the one asked for, without a user name or password.
static std::string JournalAddress(const std::string& url)
{
    const std::size_t scheme = url.find("://");
    if (scheme == std::string::npos)
        return url;
    const std::size_t host = scheme + 3;
    const std::size_t end = url.find_first_of("/?#", host);
    const std::size_t at = url.rfind('@', end == std::string::npos ? url.size() : end);
    if (at == std::string::npos || at < host)
        return url;
    return url.substr(0, host) + url.substr(at + 1);
}

// The pieces an earlier run left, as far as the .part still holds them. False: start over.
bool TTransfer::ResumeFromJournal(std::vector<TPiece>& pieces, TResumeJournal& journal)
{
    if (RegularFileSize(FPartPath) < 0)
        return false;
    std::string why;
    std::optional<TResumeJournal> kept = ReadJournal(FMetaPath, &why);
    if (!kept || kept->Kind != jkFile) {
        if (!kept && RegularFileSize(FMetaPath) >= 0)
            LogLine("transfer", FName + ": the journal cannot be read (" + why + "); starting over");
        return false;
    }
    // Two files may well share size and validators (copies on one server): only the same
    // address continues a kept part.
    if (kept->Url != JournalAddress(FUrl)) {
        LogLine("transfer", FName + ": the kept part is of another address (" + kept->Url + "); starting over");
        return false;
    }
    TByteSet claimed;
    for (const TJournalPiece& p : kept->Pieces)
        if (p.Pos > p.Start)
            claimed.Add(p.Start, p.Pos);
    std::vector<std::string> log;
    kept->Blocks.resize(1);
    kept->Spans.resize(1);
    const TByteSet verified = VerifiedBytes(FPartPath, claimed, kept->Blocks[0], kept->Spans[0], kept->Total, log);
    for (const std::string& line : log)
        LogLine("transfer", line);
    std::optional<std::vector<TJournalPiece>> resumed = ResumePieces(kept->Total, kept->Pieces, verified, &why);
    if (!resumed) {
        LogLine("transfer", FName + ": the journal's pieces do not fit together (" + why + "); starting over");
        return false;
    }
    // Hashes of blocks that are fetched again no longer describe anything.
    auto& blocks = kept->Blocks[0];
    for (auto it = blocks.begin(); it != blocks.end();) {
        const std::int64_t from = it->first * JournalBlockBytes;
        const std::int64_t to =
            kept->Total >= 0 ? std::min(from + JournalBlockBytes, kept->Total) : from + JournalBlockBytes;
        it = verified.Contains(from, to) ? std::next(it) : blocks.erase(it);
    }
    auto& spans = kept->Spans[0];
    for (auto it = spans.begin(); it != spans.end();)
        it = verified.Contains(it->first, it->second.End) ? std::next(it) : spans.erase(it);
    pieces.clear();
    for (const TJournalPiece& r : *resumed) {
        TPiece p;
        p.Start = r.Start;
        p.Pos = p.Best = r.Pos;
        p.End = r.End;
        p.Splittable = true;
        pieces.push_back(p);
    }
    journal = *kept;
    return true;
}

void TTransfer::Begin(bool resume, std::optional<TWebBrowser::TMediaAnswer> answer)
{
    std::vector<TPiece> pieces;
    TResumeJournal journal;
    FShaped = false;
    FAdopted = false;
    bool create = true;
    if (resume && ResumeFromJournal(pieces, journal)) {
        FShaped = journal.Total >= 0;
        create = false;
    } else {
        // A new file: one piece of unknown size until the first answer says more.
        RemoveFileIfAny(FMetaPath);
        journal = TResumeJournal{};
        journal.Kind = jkFile;
        journal.Url = JournalAddress(FUrl);
        TPiece first;
        first.Splittable = true;
        pieces.push_back(first);
    }
    std::int64_t kept = 0;
    for (const TPiece& p : pieces)
        kept += p.Pos - p.Start;
    if (OnAttempt)
        OnAttempt(FName, kept);
    if (journal.Total >= 0 && OnSize)
        OnSize(journal.Total);
    FCore.SetConnections(FConnectionsNow);
    FCore.SetMinSteal(std::max<std::int64_t>(FMinPiece / 4, 1));
    // Requests ask for at most a few pieces at a time, so a free connection can always take
    // what nobody has asked for yet.
    FCore.SetMaxRequest(FConnectionsNow > 1 ? std::max<std::int64_t>(4 * FMinPiece, 1) : 0);
    std::optional<TAdoptedAnswer> adopted;
    // Only a new file takes the answer under way: a kept .part goes on where it stopped instead.
    if (answer && answer->Http && create) {
        adopted = TAdoptedAnswer{std::move(answer->Http), std::move(answer->Head), answer->Ended};
        FAdopted = true;
    }
    FCore.StartFile(FUrl, FPartPath, create, std::move(pieces), journal, FMetaPath, std::move(adopted));
}

void TTransfer::Prepare(THttpCli& h, const TAssignment& job)
{
    h.SetURL(FUrl);
    // Set on every request: the client also keeps the bounds of a received Content-Range.
    h.SetContentRangeBegin("");
    h.SetContentRangeEnd("");
    if (FNoRanges && job.From == 0)
        return;
    if (!FShaped && job.From == 0) {
        // The first request: with several connections it asks for the first piece only, and a
        // 206 to it says that the server honours ranges, without a round trip of its own.
        if (FConnectionsNow > 1) {
            h.SetContentRangeBegin("0");
            h.SetContentRangeEnd(std::to_string(FMinPiece - 1));
        }
        return;
    }
    h.SetContentRangeBegin(std::to_string(job.From));
    // To the end of the file is asked open-ended; anything shorter with its last byte.
    if (job.To >= 0 && job.To != FCore.Total())
        h.SetContentRangeEnd(std::to_string(job.To - 1));
}

// Which validators an answer must repeat: the size, the ETag and Last-Modified the first answer
// gave (the address was compared when the journal was read).
static bool SameFile(const TResumeJournal& kept, const THttpCli& h, std::int64_t total)
{
    if (kept.Total >= 0 && total != kept.Total)
        return false;
    if (!kept.ETag.empty() && text::TrimBlanks(h.ETag()) != kept.ETag)
        return false;
    if (!kept.LastModified.empty() && text::TrimBlanks(h.LastModified()) != kept.LastModified)
        return false;
    return true;
}

TAnswerVerdict TTransfer::Answer(THttpCli& h, int conn, const TAssignment& job)
{
    if (IsHlsPlaylistType(h.ContentType()) || IsDashManifestType(h.ContentType()))
        // A page may declare a file where its server answers with a stream's playlist.
        return TAnswerVerdict::Reject(fkPlaylist, "the address answered with a stream's playlist", false);
    if (!FShaped)
        return FirstAnswer(h, job);
    const TResumeJournal& kept = FCore.Journal();
    const std::string who = "connection " + std::to_string(conn + 1);
    if (h.StatusCode() == 206) {
        const std::optional<TContentRange> range = ParseContentRange(h.ContentRange());
        if (!range || range->First != job.From)
            return TAnswerVerdict::StartOver(who + " answered another range (" + h.ContentRange() + " for " +
                                             std::to_string(job.From) + "-)");
        if (!SameFile(kept, h, range->Total))
            return TAnswerVerdict::StartOver(who + " answered for another version of the file");
        return TAnswerVerdict::Accept();
    }
    // The whole file again: a server that ignores ranges. One piece on one connection takes its
    // rest from it; several ranges start over on one connection.
    const std::int64_t length =
        h.TransferEncoding() == "chunked" || !h.ContentEncoding().empty() ? -1 : h.ContentLength();
    if (FCore.Scheduler().Pieces().size() == 1 && SameFile(kept, h, length < 0 ? kept.Total : length))
        return TAnswerVerdict::Accept(job.From);
    return TAnswerVerdict::StartOver(who + " answered " + std::to_string(h.StatusCode()) + " to a range request");
}

// The first answer of a new file: what it is, how large, and whether it can be split.
TAnswerVerdict TTransfer::FirstAnswer(THttpCli& h, const TAssignment& job)
{
    TPieceScheduler& sched = FCore.Scheduler();
    TResumeJournal& journal = FCore.Journal();
    if (job.From > 0) {
        // The rest of a file of unknown size that an earlier run began: only of the same file.
        const std::optional<TContentRange> range = ParseContentRange(h.ContentRange());
        const std::int64_t length =
            h.TransferEncoding() == "chunked" || !h.ContentEncoding().empty() ? -1 : h.ContentLength();
        if (!SameFile(journal, h, h.StatusCode() == 206 ? (range ? range->Total : -2) : length))
            return TAnswerVerdict::StartOver("the file changed since the last run");
    }
    journal.ETag = text::TrimBlanks(h.ETag());
    journal.LastModified = text::TrimBlanks(h.LastModified());
    if (h.StatusCode() == 206) {
        const std::optional<TContentRange> range = ParseContentRange(h.ContentRange());
        if (!range || range->First != job.From || range->Total < 0) {
            // A range the server cannot place in a file of known size: no ranges at all.
            FNoRanges = true;
            return TAnswerVerdict::StartOver("the first answer's range cannot be used (" + h.ContentRange() + ")");
        }
        FShaped = true;
        const std::int64_t total = range->Total;
        const std::int64_t firstEnd = std::min(total, range->Last + 1);
        FCore.SetTotal(total);
        sched.SetEnd(job.Piece, job.From > 0 ? total : firstEnd);
        if (job.From == 0 && firstEnd < total)
            SplitRest(firstEnd, total);
        return TAnswerVerdict::Accept();
    }
    // The whole resource from its first byte.
    FShaped = true;
    const std::int64_t total =
        h.TransferEncoding() == "chunked" || !h.ContentEncoding().empty() ? -1 : h.ContentLength();
    if (total >= 0)
        FCore.SetTotal(total);
    // The page engine's answer was asked without Range: when the server says it serves ranges,
    // this answer is the first piece and the other connections share out the rest.
    if (FAdopted && FConnectionsNow > 1 && total > 2 * FMinPiece && AcceptsByteRanges(h)) {
        // Its share, at most a few pieces: it is cut there, and what is under way then is lost.
        const std::int64_t firstEnd = std::clamp(total / FConnectionsNow, FMinPiece, 4 * FMinPiece);
        sched.SetEnd(job.Piece, firstEnd);
        SplitRest(firstEnd, total);
        return TAnswerVerdict::Accept();
    }
    // A server without ranges (or none was asked): this one connection fetches it all.
    FCore.LimitConnections(1);
    if (total >= 0)
        sched.SetEnd(job.Piece, total);
    return TAnswerVerdict::Accept(job.From);
}

// The rest of a file after its first piece, one range per other connection, each a piece or
// more. No product of sizes is formed, so no size a server can name overflows.
void TTransfer::SplitRest(std::int64_t from, std::int64_t total)
{
    const std::int64_t rest = total - from;
    const std::int64_t n = std::clamp<std::int64_t>(rest / FMinPiece, 1, std::max(1, FConnectionsNow - 1));
    for (std::int64_t i = 0; i < n; ++i) {
        TPiece p;
        p.Splittable = true;
        p.Start = p.Pos = from + rest / n * i + std::min(i, rest % n);
        p.End = from + rest / n * (i + 1) + std::min(i + 1, rest % n);
        FCore.Scheduler().Add(p);
    }
}

// "Accept-Ranges: bytes" among the answer's header lines.
bool TTransfer::AcceptsByteRanges(const THttpCli& h)
{
    for (const std::string& line : h.RcvdHeader()) {
        if (!text::StartsWithNoCase(line, "accept-ranges:"))
            continue;
        std::string value = text::Lower(line.substr(14));
        return value.find("bytes") != std::string::npos;
    }
    return false;
}

std::optional<TAnswerVerdict> TTransfer::ErrorStatus(THttpCli& h, const TAssignment& job)
{
    if (h.StatusCode() != 416)
        return std::nullopt;
    // Only "bytes */0" says the file is empty, and an empty file is no video; a 416 to a request
    // that asked from byte 0 (or asked no range at all) has nothing to give either.
    if (h.ContentRange() == "bytes */0")
        return TAnswerVerdict::Reject(fkMedia, "is not video: the server's file is empty", false);
    if (!FShaped && job.From == 0)
        return TAnswerVerdict::Reject(fkServer, "the server answered 416 " + h.ReasonPhrase(), false);
    return TAnswerVerdict::StartOver("the server answered 416 to bytes=" + std::to_string(job.From) + "-");
}

void TTransfer::CoreEnded(const TOutcome& outcome)
{
    if (!FRunning)
        return;
    if (outcome.IsDone()) {
        try {
            ReplaceFile(FPartPath, FFinalPath);
        } catch (const std::exception& e) {
            FRunning = false;
            if (OnEnded)
                OnEnded(TOutcome::Failed(fkSave, e.what()));
            return;
        }
        RemoveFileIfAny(FMetaPath);
        FCompletedPath = FFinalPath;
        FRunning = false;
        if (OnEnded)
            OnEnded(outcome);
        return;
    }
    if (outcome.Fail == fkMismatch) {
        // The server does not continue these bytes (another file, a range it will not serve):
        // from the first byte, on one connection, once.
        if (!FStartedOver) {
            LogLine("transfer", FName + ": " + outcome.Words + "; starting over on one connection");
            FStartedOver = true;
            FConnectionsNow = 1;
            return Begin(false);
        }
        FRunning = false;
        if (OnEnded)
            OnEnded(
                TOutcome::Failed(fkMismatch, "the server did not continue the file where it stopped", outcome.Code));
        return;
    }
    // Nothing of the file kept: nothing to continue later.
    if (RegularFileSize(FPartPath) <= 0) {
        RemoveFileIfAny(FPartPath);
        RemoveFileIfAny(FMetaPath);
    }
    FRunning = false;
    if (OnEnded)
        OnEnded(outcome);
}

} // namespace cw
