#include "engine/core/PieceScheduler.h"

#include <algorithm>
#include <limits>

namespace cw {

namespace {

constexpr std::int64_t kNoLimit = std::numeric_limits<std::int64_t>::max();
// A connection's LastBytes before its first byte: any time, 0 included, is a time bytes came.
constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::min();

bool Open(const TPiece& p)
{
    return p.End < 0 || p.Pos < p.End;
}

} // namespace

void TPieceScheduler::Reset(std::vector<TPiece> pieces, const TSettings& settings)
{
    FSettings = settings;
    if (FSettings.Connections < 1)
        FSettings.Connections = 1;
    FPieces = std::move(pieces);
    FFirstOpen = 0;
    for (TPiece& p : FPieces) {
        p.Owner = p.Helper = -1;
        p.State = p.End >= 0 && p.Pos >= p.End ? psDone : psWaiting;
        p.Best = std::max(p.Best, p.Pos);
    }
    FConns.assign(static_cast<std::size_t>(FSettings.Connections), TSlot{});
    for (TSlot& s : FConns)
        s.LastBytes = kNever;
}

TPieceScheduler::TSlot& TPieceScheduler::Slot(int conn)
{
    return FConns.at(static_cast<std::size_t>(conn));
}

int TPieceScheduler::PieceOf(int conn) const
{
    return conn >= 0 && conn < static_cast<int>(FConns.size()) ? FConns[static_cast<std::size_t>(conn)].Piece : -1;
}

bool TPieceScheduler::IsHelper(int conn) const
{
    return PieceOf(conn) >= 0 && FConns[static_cast<std::size_t>(conn)].Helper;
}

std::int64_t TPieceScheduler::RequestEnd(const TPiece& p, std::int64_t from) const
{
    if (p.End < 0)
        return -1;
    if (p.Splittable && FSettings.MaxRequest > 0 && p.End - from > FSettings.MaxRequest)
        return from + FSettings.MaxRequest;
    return p.End;
}

TAssignment TPieceScheduler::Take(int conn, int index, bool helper, std::int64_t from, std::int64_t now)
{
    TPiece& p = FPieces[static_cast<std::size_t>(index)];
    TSlot& s = Slot(conn);
    if (!p.Splittable)
        from = 0; // a segment is one request: every try fetches it whole
    s.Piece = index;
    s.Helper = helper;
    s.Pos = from;
    s.To = helper ? p.End : RequestEnd(p, from);
    s.LastPiece = index;
    s.BestAtStart = p.Best;
    if (helper) {
        p.Helper = conn;
    } else {
        p.State = psRunning;
        p.Owner = conn;
        if (!p.Splittable)
            p.Pos = 0;
        // A new try gets the whole grace time before it counts as silent.
        p.LastBytes = now;
    }
    return TAssignment{index, from, s.To, helper};
}

std::optional<TAssignment> TPieceScheduler::Next(int conn, std::int64_t now)
{
    TSlot& s = Slot(conn);
    if (s.Refused || s.Piece >= 0)
        return std::nullopt;
    const auto due = [&](const TPiece& p) { return p.State == psWaiting && p.NotBefore <= now; };
    // The piece it was on, so that a range goes on where its last request ended.
    if (s.LastPiece >= 0 && s.LastPiece < static_cast<int>(FPieces.size()) &&
        due(FPieces[static_cast<std::size_t>(s.LastPiece)]))
        return Take(conn, s.LastPiece, false, FPieces[static_cast<std::size_t>(s.LastPiece)].Pos, now);
    for (std::size_t i = FirstOpen(); i < FPieces.size(); ++i)
        if (due(FPieces[i]))
            return Take(conn, static_cast<int>(i), false, FPieces[i].Pos, now);
    if (std::optional<TAssignment> half = Steal(conn, now))
        return half;
    return EndGame(conn, now);
}

// The second half of the running range with the most left. With bounded requests it is cut where
// its owner's request ends, so the owner is never cut short. Only running pieces have owners:
// the connections are looked at, not every piece.
std::optional<TAssignment> TPieceScheduler::Steal(int conn, std::int64_t now)
{
    int best = -1;
    std::int64_t bestSplit = 0;
    std::int64_t bestLeft = 0;
    for (const TSlot& owner : FConns) {
        if (owner.Piece < 0 || owner.Helper)
            continue;
        const TPiece& p = FPieces[static_cast<std::size_t>(owner.Piece)];
        if (p.State != psRunning || !p.Splittable || p.Helper >= 0 || p.End < 0)
            continue;
        const std::int64_t mid = p.Pos + (p.End - p.Pos) / 2;
        const std::int64_t split = FSettings.MaxRequest > 0 && owner.To >= 0 ? std::max(mid, owner.To) : mid;
        const std::int64_t left = p.End - split;
        if (left >= FSettings.MinSteal && (left > bestLeft || (left == bestLeft && owner.Piece < best))) {
            best = owner.Piece;
            bestSplit = split;
            bestLeft = left;
        }
    }
    if (best < 0)
        return std::nullopt;
    TPiece half = FPieces[static_cast<std::size_t>(best)];
    half.Start = half.Pos = half.Best = bestSplit;
    half.Owner = half.Helper = -1;
    half.State = psWaiting;
    half.Tries = 0;
    half.NotBefore = 0;
    FPieces[static_cast<std::size_t>(best)].End = bestSplit;
    const int index = Add(half);
    return Take(conn, index, false, bestSplit, now);
}

// The end game: the piece silent the longest gets this connection too.
std::optional<TAssignment> TPieceScheduler::EndGame(int conn, std::int64_t now)
{
    int silent = -1;
    for (const TSlot& owner : FConns) {
        if (owner.Piece < 0 || owner.Helper)
            continue;
        const TPiece& p = FPieces[static_cast<std::size_t>(owner.Piece)];
        if (p.State != psRunning || p.Helper >= 0 || p.Owner == conn || !Open(p))
            continue;
        if (now - p.LastBytes < FSettings.EndGameMs)
            continue;
        if (silent < 0 || p.LastBytes < FPieces[static_cast<std::size_t>(silent)].LastBytes ||
            (p.LastBytes == FPieces[static_cast<std::size_t>(silent)].LastBytes && owner.Piece < silent))
            silent = owner.Piece;
    }
    if (silent < 0)
        return std::nullopt;
    return Take(conn, silent, true, FPieces[static_cast<std::size_t>(silent)].Pos, now);
}

// The first piece that is not done: pieces never go back from done, so everything before it
// is skipped by every scan (a stream of many segments is not read from its start each time).
std::size_t TPieceScheduler::FirstOpen() const
{
    while (FFirstOpen < FPieces.size() && FPieces[FFirstOpen].State == psDone)
        ++FFirstOpen;
    return FFirstOpen;
}

std::int64_t TPieceScheduler::WriteAt(int conn) const
{
    const int piece = PieceOf(conn);
    return piece < 0 ? -1 : FConns[static_cast<std::size_t>(conn)].Pos;
}

std::int64_t TPieceScheduler::Room(int conn, std::int64_t n) const
{
    const int piece = PieceOf(conn);
    if (piece < 0 || n <= 0)
        return 0;
    const TSlot& s = FConns[static_cast<std::size_t>(conn)];
    const TPiece& p = FPieces[static_cast<std::size_t>(piece)];
    std::int64_t limit = s.To >= 0 ? s.To : kNoLimit;
    if (p.End >= 0)
        limit = std::min(limit, p.End);
    return std::clamp<std::int64_t>(limit - s.Pos, 0, n);
}

std::int64_t TPieceScheduler::Received(int conn, std::int64_t n, std::int64_t now)
{
    const std::int64_t take = Room(conn, n);
    if (take == 0)
        return 0;
    TSlot& s = Slot(conn);
    TPiece& p = FPieces[static_cast<std::size_t>(s.Piece)];
    s.Pos += take;
    s.LastBytes = now;
    p.Pos = std::max(p.Pos, s.Pos);
    p.Best = std::max(p.Best, p.Pos);
    p.LastBytes = now;
    return take;
}

bool TPieceScheduler::RequestFull(int conn) const
{
    const int piece = PieceOf(conn);
    if (piece < 0)
        return false;
    const TSlot& s = FConns[static_cast<std::size_t>(conn)];
    const TPiece& p = FPieces[static_cast<std::size_t>(piece)];
    std::int64_t limit = s.To >= 0 ? s.To : kNoLimit;
    if (p.End >= 0)
        limit = std::min(limit, p.End);
    return s.Pos >= limit;
}

void TPieceScheduler::FreeSlot(int conn)
{
    TSlot& s = Slot(conn);
    s.Piece = -1;
    s.Helper = false;
    s.To = -1;
}

int TPieceScheduler::Completed(int conn, std::int64_t now)
{
    TSlot& s = Slot(conn);
    if (s.Piece < 0)
        return -1;
    const int index = s.Piece;
    TPiece& p = FPieces[static_cast<std::size_t>(index)];
    if (p.End < 0) {
        p.End = s.Pos;
        p.Pos = s.Pos;
    }
    const bool whole = p.Splittable ? p.Pos >= p.End : s.Pos >= p.End;
    p.Tries = 0;
    if (whole) {
        const int other = conn == p.Owner ? p.Helper : p.Owner;
        FreeSlot(conn);
        if (other >= 0)
            FreeSlot(other);
        if (!p.Splittable)
            p.Pos = p.End;
        p.State = psDone;
        p.Owner = p.Helper = -1;
        return other;
    }
    // A bounded request ended before its piece: the piece waits for the next one, which is
    // usually this connection's next request.
    Release(conn);
    (void)now;
    return -1;
}

void TPieceScheduler::Release(int conn)
{
    TSlot& s = Slot(conn);
    if (s.Piece < 0)
        return;
    TPiece& p = FPieces[static_cast<std::size_t>(s.Piece)];
    FreeSlot(conn);
    if (p.State != psRunning)
        return;
    if (p.Helper == conn) {
        p.Helper = -1;
    } else if (p.Owner == conn) {
        if (p.Helper >= 0) {
            p.Owner = p.Helper;
            p.Helper = -1;
            Slot(p.Owner).Helper = false;
        } else {
            p.Owner = -1;
            p.State = psWaiting;
            p.NotBefore = 0;
            if (!p.Splittable)
                p.Pos = 0;
        }
    }
}

TFailDecision TPieceScheduler::Failed(int conn, bool retryable, std::int64_t now)
{
    TSlot& s = Slot(conn);
    TFailDecision d;
    d.Count = static_cast<int>(FSettings.RetryDelaysMs.size());
    if (s.Piece < 0) {
        d.Silent = true;
        return d;
    }
    TPiece& p = FPieces[static_cast<std::size_t>(s.Piece)];
    if (p.Helper >= 0) {
        // The other connection on this piece goes on; this one only lets go.
        Release(conn);
        d.Silent = true;
        return d;
    }
    if (p.Splittable && !Open(p)) {
        // Every byte of the range is in place (its owner was cut by a steal and its answer broke
        // while the rest drained): the piece is done, asking for it again would ask for nothing.
        Completed(conn, now);
        d.Silent = true;
        return d;
    }
    // A try that got further than any before it was worth it: the piece's tries start over.
    if (p.Best > s.BestAtStart)
        p.Tries = 0;
    FreeSlot(conn);
    p.Owner = -1;
    p.State = psWaiting;
    if (!p.Splittable)
        p.Pos = 0;
    if (!retryable || p.Tries >= d.Count) {
        d.GiveUp = true;
        d.Try = p.Tries + 1; // every try made, the first one included
        return d;
    }
    d.PauseMs = FSettings.RetryDelaysMs[static_cast<std::size_t>(p.Tries)];
    ++p.Tries;
    d.Try = p.Tries;
    p.NotBefore = now + d.PauseMs;
    return d;
}

bool TPieceScheduler::OthersReceive(int conn, std::int64_t now) const
{
    // Receiving means bytes came lately, not just work given: a connection that was handed a
    // piece in an outage proves nothing about the server.
    for (std::size_t k = 0; k < FConns.size(); ++k)
        if (static_cast<int>(k) != conn && FConns[k].Piece >= 0 && FConns[k].LastBytes != kNever &&
            now - FConns[k].LastBytes < FSettings.EndGameMs)
            return true;
    return false;
}

TFailDecision TPieceScheduler::Refused(int conn, std::int64_t now)
{
    if (!OthersReceive(conn, now))
        return Failed(conn, true, now);
    Slot(conn).Refused = true;
    Release(conn);
    TFailDecision d;
    d.Count = static_cast<int>(FSettings.RetryDelaysMs.size());
    d.Silent = true;
    return d;
}

void TPieceScheduler::SetEnd(int piece, std::int64_t end)
{
    TPiece& p = FPieces.at(static_cast<std::size_t>(piece));
    p.End = end;
    if (p.Pos > end)
        p.Pos = end;
}

int TPieceScheduler::Add(const TPiece& piece)
{
    FPieces.push_back(piece);
    TPiece& p = FPieces.back();
    if (p.End >= 0 && p.Pos >= p.End && p.State != psRunning)
        p.State = psDone;
    return static_cast<int>(FPieces.size() - 1);
}

bool TPieceScheduler::AllDone() const
{
    return FirstOpen() == FPieces.size();
}

int TPieceScheduler::Busy() const
{
    return static_cast<int>(std::count_if(FConns.begin(), FConns.end(), [](const TSlot& s) { return s.Piece >= 0; }));
}

std::int64_t TPieceScheduler::NextDue(std::int64_t now) const
{
    std::int64_t due = -1;
    const auto take = [&](std::int64_t t) { due = due < 0 ? t : std::min(due, t); };
    for (std::size_t i = FirstOpen(); i < FPieces.size() && due != now; ++i) {
        const TPiece& p = FPieces[i];
        if (p.State == psWaiting)
            take(std::max(now, p.NotBefore));
        else if (p.State == psRunning && p.Helper < 0 && Open(p))
            take(std::max(now, p.LastBytes + FSettings.EndGameMs));
    }
    return due;
}

int TPieceScheduler::FirstPaused() const
{
    int first = -1;
    for (std::size_t i = FirstOpen(); i < FPieces.size(); ++i) {
        const TPiece& p = FPieces[i];
        if (p.State == psWaiting && p.Tries > 0 &&
            (first < 0 || p.NotBefore < FPieces[static_cast<std::size_t>(first)].NotBefore))
            first = static_cast<int>(i);
    }
    return first;
}

std::int64_t TPieceScheduler::BytesDone() const
{
    std::int64_t n = 0;
    for (const TPiece& p : FPieces)
        n += p.State == psDone ? p.End - p.Start : p.Splittable ? p.Pos - p.Start : 0;
    return n;
}

} // namespace cw
