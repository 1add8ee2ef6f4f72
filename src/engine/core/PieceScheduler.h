#pragma once
// TPieceScheduler: which connection fetches which piece of a download. It holds no socket, file
// or timer: connections ask it for work, tell it what arrived and how their requests ended, and
// it alone decides who fetches what, when a piece is asked for again, and when the download has
// failed. A file's byte ranges and a stream's segments are both pieces; they differ only in
// whether a piece may be split (a range of one file) or not (a segment is one request).
//
// The decisions:
// - A free connection takes, in this order: the piece it was on, if that one still waits; the
//   first waiting piece whose pause is over; the second half of the running range with the most
//   left (split where its owner's request ends, so nobody is ever cut mid-request and no byte
//   travels twice); and in the end game, a running piece that has had no bytes for EndGameMs
//   (the one silent the longest): the free connection asks for the rest of it too, the first to
//   finish wins and the other is stopped.
// - Tries are counted per piece, and start over whenever the piece made progress; a piece's
//   pause keeps only that piece waiting, its connection goes on with other work, so the pauses
//   of different pieces never add up and an outage one connection survives is survived by many.
// - A connection the server refuses (a refused connect, 429, 503) while another one is
//   receiving stays out of this download and gives its piece back without spending a try.
//
// Times are milliseconds of one monotonic clock, chosen by the caller.

#include "engine/core/RetryTable.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace cw {

enum TPieceState { psWaiting, psRunning, psDone };

struct TPiece {
    // Bytes [Start, Pos) are in place; [Pos, End) are still to fetch. End -1: the size is known
    // only when the answer ends (a segment without a byte range). A segment's bytes count from 0.
    std::int64_t Start = 0;
    std::int64_t Pos = 0;
    std::int64_t End = -1;
    bool Splittable = false; // a range of a file: another connection may take a part of it
    TPieceState State = psWaiting;
    int Owner = -1;             // the connection fetching it
    int Helper = -1;            // end game: a second connection fetching the rest too
    int Tries = 0;              // failed tries since it last made progress
    std::int64_t Best = 0;      // the furthest any try got (a segment starts from 0 on every try)
    std::int64_t NotBefore = 0; // a paused piece is not asked for again before this time
    std::int64_t LastBytes = 0; // when bytes last arrived for it
};

struct TAssignment {
    int Piece = -1;
    std::int64_t From = 0; // ask from here (a segment: 0)
    std::int64_t To = -1;  // one past the last byte to ask for; -1: to the end of the resource
    bool Helper = false;   // a second connection on a piece that stays silent
};

struct TFailDecision {
    bool GiveUp = false;
    std::uint32_t PauseMs = 0; // before the piece is asked for again
    int Try = 0;               // the try that comes after the pause (1-based), of Count; on giving up, the tries made
    int Count = 0;
    bool Silent = false; // nothing to tell: another connection carries the piece on
};

class TPieceScheduler {
public:
    struct TSettings {
        int Connections = 1;
        std::vector<std::uint32_t> RetryDelaysMs = DefaultRetryDelaysMs();
        // A range is halved for a free connection only when the part taken is at least this.
        std::int64_t MinSteal = 256 * 1024;
        // The most one request of a range asks for: a steal then takes what nobody asked for
        // yet. 0: a request asks for the whole rest of its range.
        std::int64_t MaxRequest = 0;
        // A running piece without bytes for this long gets a second connection when one is free.
        std::int64_t EndGameMs = 4000;
    };

    void Reset(std::vector<TPiece> pieces, const TSettings& settings);
    const std::vector<TPiece>& Pieces() const { return FPieces; }
    const TSettings& Settings() const { return FSettings; }
    // New pauses take effect from the next failure on.
    void SetRetryDelays(std::vector<std::uint32_t> delaysMs) { FSettings.RetryDelaysMs = std::move(delaysMs); }

    // Work for a free connection, or nullopt when there is none for it now (NextDue says when
    // to ask again).
    std::optional<TAssignment> Next(int conn, std::int64_t now);
    // Where conn's next bytes go: a position in its piece.
    std::int64_t WriteAt(int conn) const;
    // n bytes arrived for conn; returns how many of them belong to its piece (a range ends where
    // a steal cut it, a request where it was asked to end). The rest is nobody's.
    std::int64_t Received(int conn, std::int64_t n, std::int64_t now);
    // How many of n bytes Received would take for conn, without taking them: what is written
    // first, so that progress never counts a byte the file did not take.
    std::int64_t Room(int conn, std::int64_t n) const;
    // conn has everything its request asked for: its answer may be left to end (or be cut).
    bool RequestFull(int conn) const;
    // conn's answer ended whole. A piece of unknown size ends here. Returns the connection whose
    // work this made useless (the other one of an end-game pair), to be stopped, or -1.
    int Completed(int conn, std::int64_t now);
    // conn's try failed; retryable: asking again may help. A segment (not splittable) starts
    // over from its first byte on the next try.
    TFailDecision Failed(int conn, bool retryable, std::int64_t now);
    // Whether a connection other than conn has received bytes lately (within EndGameMs).
    bool OthersReceive(int conn, std::int64_t now) const;
    // The server took no more connections (refused, 429, 503).
    TFailDecision Refused(int conn, std::int64_t now);
    // conn lets go of its piece without a verdict (stopped as the loser of an end-game pair).
    void Release(int conn);
    // A piece's size became known from its answer (a file's first answer names the total).
    void SetEnd(int piece, std::int64_t end);
    // Adds a piece (the rest of a file once its size is known); returns its index.
    int Add(const TPiece& piece);

    int PieceOf(int conn) const;
    bool IsHelper(int conn) const;
    bool AllDone() const;
    int Busy() const; // connections with a piece
    bool Usable(int conn) const { return conn >= 0 && conn < static_cast<int>(FConns.size()) && !FConns[conn].Refused; }
    // The earliest time a paused piece becomes due, or a silent piece becomes worth a helper;
    // -1 when nothing is waiting for time.
    std::int64_t NextDue(std::int64_t now) const;
    // The paused piece due first (for "retrying in N s (k/n)"), or -1.
    int FirstPaused() const;
    // Bytes in place, summed over the pieces.
    std::int64_t BytesDone() const;

private:
    struct TSlot {
        int Piece = -1;
        bool Helper = false;
        std::int64_t Pos = 0; // where its next bytes go
        std::int64_t To = -1; // one past the last byte its request asked for; -1 the piece's end
        bool Refused = false;
        int LastPiece = -1;
        std::int64_t LastBytes = 0;
        std::int64_t BestAtStart = 0; // the piece's Best when this try began
    };
    TAssignment Take(int conn, int piece, bool helper, std::int64_t from, std::int64_t now);
    std::optional<TAssignment> Steal(int conn, std::int64_t now);
    std::optional<TAssignment> EndGame(int conn, std::int64_t now);
    std::size_t FirstOpen() const;
    std::int64_t RequestEnd(const TPiece& p, std::int64_t from) const;
    void FreeSlot(int conn);
    TSlot& Slot(int conn);

    TSettings FSettings;
    std::vector<TPiece> FPieces;
    std::vector<TSlot> FConns;
    mutable std::size_t FFirstOpen = 0; // no piece before it is still to do
};

} // namespace cw
