// TPieceScheduler driven by hand, with time as a plain number: step tables that check every
// assignment's exact bytes through steals, bounded requests, the end game, pauses and refusals;
// and whole downloads against a simulated server (outages, answers cut short, a silent
// connection, sizes near 10^18) that must end as they should, with every byte fetched once.

#include "engine/core/PieceScheduler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace {

using cw::TPiece;
using cw::TPieceScheduler;
using i64 = std::int64_t;

TPiece Range(i64 start, i64 end)
{
    return {.Start = start, .Pos = start, .End = end, .Splittable = true};
}
TPiece Segment(i64 end)
{
    return {.End = end};
}

TPieceScheduler::TSettings Settings(int conns, i64 minSteal, i64 maxRequest,
                                    std::vector<std::uint32_t> delays = {1000, 2000, 4000, 8000, 16000})
{
    return {.Connections = conns, .RetryDelaysMs = std::move(delays), .MinSteal = minSteal, .MaxRequest = maxRequest};
}

enum TOp { Next, Recv, Done, Fail, Fatal, Refuse, Due, Paused, Bytes, Usable, AllDone };

// One call and what it must answer. Next: the assignment (Piece -1: none). Recv: N bytes arrive,
// Want of them are kept, Full: RequestFull after. Done: Stop, the connection to stop. Fail, Fatal,
// Refuse: the decision. Due, Paused, Bytes, Usable, AllDone: the query's answer is Want.
struct TStep {
    i64 Now = 0;
    int Conn = 0;
    TOp Op = Next;
    i64 N = 0;
    int Piece = -1;
    i64 From = 0, To = -1;
    bool Helper = false;
    i64 Want = 0;
    bool Full = false;
    int Stop = -1;
    bool GiveUp = false;
    std::uint32_t Pause = 0;
    int Try = 0;
    bool Silent = false;
};

void Play(TPieceScheduler& s, const std::vector<TStep>& steps)
{
    using V = std::vector<i64>;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const TStep& t = steps[i];
        SCOPED_TRACE("step " + std::to_string(i + 1));
        cw::TFailDecision d;
        switch (t.Op) {
        case Next: {
            const auto a = s.Next(t.Conn, t.Now);
            EXPECT_EQ((a ? V{a->Piece, a->From, a->To, a->Helper} : V{-1}),
                      (t.Piece < 0 ? V{-1} : V{t.Piece, t.From, t.To, t.Helper}));
            continue;
        }
        case Recv:
            EXPECT_EQ((V{s.Received(t.Conn, t.N, t.Now), s.RequestFull(t.Conn)}), (V{t.Want, t.Full}));
            continue;
        case Done:
            EXPECT_EQ(s.Completed(t.Conn, t.Now), t.Stop);
            continue;
        case Due:
            EXPECT_EQ(s.NextDue(t.Now), t.Want);
            continue;
        case Paused:
            EXPECT_EQ(s.FirstPaused(), t.Want);
            continue;
        case Bytes:
            EXPECT_EQ(s.BytesDone(), t.Want);
            continue;
        case Usable:
            EXPECT_EQ(s.Usable(t.Conn), t.Want != 0);
            continue;
        case AllDone:
            EXPECT_EQ(s.AllDone(), t.Want != 0);
            continue;
        case Fail:
            d = s.Failed(t.Conn, true, t.Now);
            break;
        case Fatal:
            d = s.Failed(t.Conn, false, t.Now);
            break;
        case Refuse:
            d = s.Refused(t.Conn, t.Now);
            break;
        }
        // Which try a fatal failure was on tells nobody anything.
        EXPECT_EQ((V{d.GiveUp, d.Silent, d.PauseMs, t.Op == Fatal ? 0 : d.Try, d.Count}),
                  (V{t.GiveUp, t.Silent, t.Pause, t.Try, static_cast<i64>(s.Settings().RetryDelaysMs.size())}));
    }
}

TEST(PieceScheduler, StealsHalfTheLargestRangeAndCutsItsOwner)
{
    TPieceScheduler s;
    s.Reset({Range(0, 1000)}, Settings(3, 100, 0));
    Play(s, {
                {.Conn = 0, .Op = Next, .Piece = 0, .From = 0, .To = 1000},
                {.Conn = 0, .Op = Recv, .N = 200, .Want = 200},
                {.Conn = 1, .Op = Next, .Piece = 1, .From = 600, .To = 1000},
                // The owner asked up to 1000 but its range now ends at 600: the rest is the thief's.
                {.Conn = 0, .Op = Recv, .N = 500, .Want = 400, .Full = true},
                {.Op = Bytes, .Want = 600},
                {.Conn = 2, .Op = Next, .Piece = 2, .From = 800, .To = 1000},
                {.Conn = 1, .Op = Recv, .N = 300, .Want = 200, .Full = true},
                {.Conn = 1, .Op = Done},
                // The cut owner's answer breaks after its last byte that counts: nothing is missing.
                {.Conn = 0, .Op = Fail, .Silent = true},
                {.Conn = 0, .Op = Next, .Piece = 3, .From = 900, .To = 1000}, // exactly MinSteal
                {.Conn = 1, .Op = Next},                                      // 50 left each: too small
                {.Op = Due, .Want = 4000},
                {.Conn = 2, .Op = Recv, .N = 150, .Want = 100, .Full = true},
                {.Conn = 2, .Op = Done},
                {.Conn = 0, .Op = Recv, .N = 100, .Want = 100, .Full = true},
                {.Conn = 0, .Op = Done},
                {.Op = AllDone, .Want = 1},
                {.Op = Bytes, .Want = 1000},
                {.Op = Due, .Want = -1},
            });

    s.Reset({Range(0, 0)}, Settings(2, 100, 0)); // an empty file
    Play(s, {{.Op = AllDone, .Want = 1}, {.Conn = 0, .Op = Next}, {.Op = Due, .Want = -1}});
}

TEST(PieceScheduler, BoundedRequestsAreNeverCutAndGoOnWhereTheyStopped)
{
    TPieceScheduler s;
    s.Reset({Range(0, 1000)}, Settings(2, 100, 200));
    Play(s, {
                {.Conn = 0, .Op = Next, .Piece = 0, .From = 0, .To = 200},
                {.Conn = 1, .Op = Next, .Piece = 1, .From = 500, .To = 700}, // the midpoint is past the request
                {.Conn = 0, .Op = Recv, .N = 250, .Want = 200, .Full = true},
                {.Conn = 0, .Op = Done},
                {.Conn = 1, .Op = Recv, .N = 200, .Want = 200, .Full = true},
                {.Conn = 1, .Op = Done},
                {.Op = Bytes, .Want = 400},
                {.Conn = 1, .Op = Next, .Piece = 1, .From = 700, .To = 900}, // its own, though piece 0 waits
                {.Conn = 0, .Op = Next, .Piece = 0, .From = 200, .To = 400},
                {.Conn = 0, .Op = Recv, .N = 200, .Want = 200, .Full = true},
                {.Conn = 0, .Op = Done},
                {.Conn = 0, .Op = Next, .Piece = 0, .From = 400, .To = 500}, // not past the piece's end
                {.Conn = 0, .Op = Recv, .N = 200, .Want = 100, .Full = true},
                {.Conn = 0, .Op = Done},
                // Piece 1 is [700, 1000) with 700..900 asked: the split moves from 850 to 900.
                {.Conn = 0, .Op = Next, .Piece = 2, .From = 900, .To = 1000},
                {.Conn = 1, .Op = Recv, .N = 300, .Want = 200, .Full = true},
            });
}

TEST(PieceScheduler, EndGameHelpsTheLongestSilentPieceOnce)
{
    TPieceScheduler s;
    s.Reset({Segment(-1), Segment(500)}, Settings(4, 100, 0));
    Play(s, {
                {.Conn = 0, .Op = Next, .Piece = 0, .From = 0, .To = -1},
                {.Conn = 1, .Op = Next, .Piece = 1, .From = 0, .To = 500},
                {.Conn = 2, .Op = Next},
                {.Op = Due, .Want = 4000},
                {.Now = 1000, .Conn = 0, .Op = Recv, .N = 50, .Want = 50},
                {.Now = 3999, .Conn = 2, .Op = Next},
                {.Now = 5000, .Conn = 2, .Op = Next, .Piece = 1, .From = 0, .To = 500, .Helper = true},
                {.Now = 5000, .Conn = 3, .Op = Next, .Piece = 0, .From = 0, .To = -1, .Helper = true},
                {.Now = 5100, .Conn = 1, .Op = Recv, .N = 100, .Want = 100},
                {.Now = 5200, .Conn = 2, .Op = Recv, .N = 600, .Want = 500, .Full = true},
                {.Now = 5200, .Conn = 2, .Op = Done, .Stop = 1},
                {.Now = 9000, .Conn = 1, .Op = Next}, // piece 0 has its helper already
                // The owner of a pair fails: nothing to tell, the helper carries the piece on.
                {.Now = 9000, .Conn = 0, .Op = Fail, .Silent = true},
                {.Now = 9000, .Op = Paused, .Want = -1},
                {.Now = 9000, .Conn = 3, .Op = Recv, .N = 70, .Want = 70},
                {.Now = 13000, .Conn = 1, .Op = Next, .Piece = 0, .From = 0, .To = -1, .Helper = true},
                {.Now = 13000, .Conn = 3, .Op = Fail, .Silent = true},
                {.Now = 13000, .Conn = 1, .Op = Recv, .N = 70, .Want = 70},
                {.Now = 13000, .Conn = 1, .Op = Done},
                {.Op = AllDone, .Want = 1},
                {.Op = Bytes, .Want = 570},
            });
}

TEST(PieceScheduler, PausesOnlyTheFailedPieceAndGivesUpWithoutProgress)
{
    TPieceScheduler s;
    s.Reset({Segment(300), Segment(300), Segment(300)}, Settings(2, 100, 0, {100, 200}));
    Play(s, {
                {.Conn = 0, .Op = Next, .Piece = 0, .From = 0, .To = 300},
                {.Conn = 1, .Op = Next, .Piece = 1, .From = 0, .To = 300},
                {.Conn = 0, .Op = Fail, .Pause = 100, .Try = 1},
                {.Op = Paused, .Want = 0},
                {.Conn = 0, .Op = Next, .Piece = 2, .From = 0, .To = 300}, // free for other work at once
                {.Conn = 0, .Op = Fail, .Pause = 100, .Try = 1},
                {.Op = Due, .Want = 100},
                {.Now = 99, .Conn = 0, .Op = Next},
                {.Now = 100, .Conn = 0, .Op = Next, .Piece = 2, .From = 0, .To = 300}, // its own first
                {.Now = 100, .Conn = 1, .Op = Recv, .N = 100, .Want = 100},
                {.Now = 100, .Conn = 1, .Op = Fail, .Pause = 100, .Try = 1},
                {.Now = 100, .Conn = 1, .Op = Next, .Piece = 0, .From = 0, .To = 300},
                {.Now = 150, .Conn = 1, .Op = Recv, .N = 120, .Want = 120},
                {.Now = 150, .Conn = 1, .Op = Fail, .Pause = 100, .Try = 1}, // got further: tries start over
                {.Now = 250, .Conn = 1, .Op = Next, .Piece = 0, .From = 0, .To = 300},
                {.Now = 250, .Conn = 1, .Op = Recv, .N = 120, .Want = 120},
                {.Now = 260, .Conn = 1, .Op = Fail, .Pause = 200, .Try = 2},
                {.Now = 460, .Conn = 1, .Op = Next, .Piece = 0, .From = 0, .To = 300},
                {.Now = 470, .Conn = 1, .Op = Fail, .GiveUp = true, .Try = 3},
                {.Now = 470, .Conn = 0, .Op = Fatal, .GiveUp = true},
            });
}

TEST(PieceScheduler, RefusedWhileAnotherReceivesStaysOutWithoutATry)
{
    TPieceScheduler s;
    s.Reset({Range(0, 10000)}, Settings(3, 100, 0));
    Play(s, {
                {.Conn = 0, .Op = Next, .Piece = 0, .From = 0, .To = 10000},
                {.Conn = 0, .Op = Recv, .N = 100, .Want = 100}, // bytes at time 0 are bytes too
                {.Conn = 1, .Op = Next, .Piece = 1, .From = 5050, .To = 10000},
                {.Now = 10, .Conn = 1, .Op = Refuse, .Silent = true},
                {.Now = 10, .Conn = 1, .Op = Usable, .Want = 0},
                {.Now = 10, .Conn = 1, .Op = Next},
                {.Now = 10, .Op = Paused, .Want = -1},
                {.Now = 10, .Conn = 2, .Op = Next, .Piece = 1, .From = 5050, .To = 10000},
                // Connection 2 was given work but never received: a refusal now is a failed try.
                {.Now = 3000, .Conn = 0, .Op = Refuse, .Pause = 1000, .Try = 1},
                {.Now = 3000, .Conn = 0, .Op = Usable, .Want = 1},
                {.Now = 3000, .Op = Paused, .Want = 0},
                {.Now = 3100, .Conn = 2, .Op = Recv, .N = 10, .Want = 10},
                {.Now = 3200, .Conn = 0, .Op = Next, .Piece = 2, .From = 7530, .To = 10000},
                {.Now = 3200, .Conn = 0, .Op = Refuse, .Silent = true},
                {.Now = 3200, .Conn = 0, .Op = Usable, .Want = 0},
            });
}

// A whole download against a simulated server, one tick every 100 ms.
struct TServer {
    const char* Name;
    int Conns;
    i64 Size;     // the file, or each segment
    int Segments; // 0: one file in ranges; else this many segments of unknown size
    i64 MinSteal, MaxRequest;
    i64 Rate;             // bytes per tick and connection
    i64 CutAfter;         // every answer breaks after this many bytes (0: never)
    i64 DownFrom, DownTo; // every try fails (or is refused) in this time
    bool Refuses;
    bool Stalls; // connection 0 never gets a byte: only the end game finishes its work
    int Fails;   // gives up after this many failed tries (-1: must finish)
};

void PrintTo(const TServer& v, std::ostream* os)
{
    *os << v.Name;
}

constexpr i64 K = 1024, E17 = 100'000'000'000'000'000;
const TServer kServers[] = {
    {"outage", 4, 8 * K* K, 0, 256 * K, 0, 64 * K, 0, 2000, 7000, false, false, -1},
    {"outage of refusals", 4, 8 * K* K, 0, 256 * K, 0, 64 * K, 0, 2000, 7000, true, false, -1},
    {"segments through an outage", 3, 300 * K, 24, 1, 0, 64 * K, 0, 2000, 7000, false, false, -1},
    {"cut after 100 KB", 1, K* K, 0, 256 * K, 0, 32 * K, 100 * K, 0, 0, false, false, -1},
    {"cut after 100 KB, 4 connections", 4, 3 * K* K, 0, 64 * K, 0, 32 * K, 100 * K, 0, 0, false, false, -1},
    {"cut after 100 KB, bounded", 4, 3 * K* K, 0, 64 * K, 256 * K, 32 * K, 100 * K, 0, 0, false, false, -1},
    {"segment cut after 100 KB", 1, 300 * K, 1, 1, 0, 32 * K, 100 * K, 0, 0, false, false, 6},
    {"9e17 bytes", 3, 9 * E17, 0, K* K, 0, E17 / 3, 0, 0, 0, false, false, -1},
    {"9e17 bytes, bounded", 3, 9 * E17, 0, K* K, 2 * E17, E17 / 3, 0, 0, 0, false, false, -1},
    {"a silent connection", 3, 4 * K* K, 0, 256 * K, 0, 64 * K, 0, 0, 0, false, true, -1},
};

class PieceSchedulerDownload : public ::testing::TestWithParam<TServer> {};

TEST_P(PieceSchedulerDownload, EndsAsItShould)
{
    const TServer& v = GetParam();
    std::vector<TPiece> pieces(static_cast<std::size_t>(v.Segments), Segment(-1));
    if (v.Segments == 0)
        pieces.push_back(Range(0, v.Size));
    TPieceScheduler s;
    s.Reset(pieces, Settings(v.Conns, v.MinSteal, v.MaxRequest));

    // The file's bytes as written, each once: only an end-game pair may fetch a byte twice.
    std::map<i64, i64> have;
    i64 written = 0, shown = 0, now = 0;
    std::vector<i64> answers(static_cast<std::size_t>(v.Conns)); // bytes of each current answer
    int fails = 0;
    bool gaveUp = false;
    const auto fail = [&](const cw::TFailDecision& d) {
        fails += d.Silent ? 0 : 1;
        gaveUp = d.GiveUp;
    };
    for (; now < 3'600'000 && !s.AllDone() && !gaveUp; now += 100) {
        for (int c = 0; c < v.Conns && !gaveUp; ++c) {
            SCOPED_TRACE("at " + std::to_string(now) + " connection " + std::to_string(c));
            i64& answer = answers[static_cast<std::size_t>(c)];
            if (!s.Usable(c))
                continue;
            if (s.PieceOf(c) < 0) {
                const auto a = s.Next(c, now);
                if (!a) {
                    const i64 due = s.NextDue(now);
                    EXPECT_TRUE(due == -1 || due > now) << due; // else the caller would spin
                    continue;
                }
                const TPiece& p = s.Pieces()[static_cast<std::size_t>(a->Piece)];
                EXPECT_EQ(a->From, p.Splittable ? p.Pos : 0);
                EXPECT_TRUE(p.End < 0 ? a->To == -1 : a->From < a->To && a->To <= p.End) << a->From << ".." << a->To;
                EXPECT_TRUE(!v.MaxRequest || a->Helper || a->To - a->From <= v.MaxRequest);
                answer = 0;
            }
            if (now >= v.DownFrom && now < v.DownTo) {
                fail(v.Refuses ? s.Refused(c, now) : s.Failed(c, true, now));
                continue;
            }
            if (v.Stalls && c == 0)
                continue;
            const i64 at = s.WriteAt(c);
            const i64 n =
                std::min({v.Rate, v.Segments ? v.Size - at : v.Rate, v.CutAfter ? v.CutAfter - answer : v.Rate});
            const i64 kept = s.Received(c, n, now);
            ASSERT_TRUE(kept >= 0 && kept <= n);
            answer += n;
            if (!v.Segments && !v.Stalls && kept > 0) {
                const auto after = have.lower_bound(at);
                EXPECT_FALSE((after != have.end() && after->first < at + kept) ||
                             (after != have.begin() && std::prev(after)->second > at))
                    << "fetched twice at " << at;
                have[at] = at + kept;
                written += kept;
            }
            if (v.Segments ? at + kept == v.Size : s.RequestFull(c)) {
                EXPECT_TRUE(s.Completed(c, now) < 0 || v.Stalls); // only a pair has a loser to stop
            } else if (v.CutAfter && answer >= v.CutAfter) {
                fail(s.Failed(c, true, now));
            }
        }
        // Progress shown never goes back (a segment counts once it is whole) and is what is in place.
        ASSERT_GE(s.BytesDone(), shown) << "at " << now;
        shown = s.BytesDone();
        ASSERT_TRUE(v.Segments || v.Stalls || shown == written) << shown << " shown, " << written << " written";
    }
    if (v.Fails >= 0) {
        EXPECT_TRUE(gaveUp);
        EXPECT_EQ(fails, v.Fails);
        return;
    }
    EXPECT_FALSE(gaveUp) << "after " << fails << " failed tries at " << now;
    ASSERT_TRUE(s.AllDone()) << "still running at " << now;
    EXPECT_EQ(s.BytesDone(), v.Segments ? v.Segments * v.Size : v.Size);
    EXPECT_EQ((std::vector<i64>{s.Busy(), s.FirstPaused(), s.NextDue(now)}), (std::vector<i64>{0, -1, -1}));
    EXPECT_TRUE(fails > 0 || (v.DownTo == v.DownFrom && !v.CutAfter)); // the faults did happen
}

INSTANTIATE_TEST_SUITE_P(Servers, PieceSchedulerDownload, ::testing::ValuesIn(kServers), [](const auto& info) {
    std::string name = info.param.Name;
    std::replace_if(
        name.begin(), name.end(), [](unsigned char c) { return !std::isalnum(c); }, '_');
    return name;
});

} // namespace

TEST(RetryTable, TheTableForSoManyTriesKeepsTheOnePausesAndRepeatsTheLongest)
{
    using V = std::vector<std::uint32_t>;
    const struct {
        int Tries;
        V Want;
    } cases[] = {
        {-1, {1000, 2000, 4000, 8000, 16000}},
        {0, {}},
        {2, {1000, 2000}},
        {5, {1000, 2000, 4000, 8000, 16000}},
        {7, {1000, 2000, 4000, 8000, 16000, 16000, 16000}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.Want, cw::RetryDelaysFor(c.Tries)) << c.Tries;
    EXPECT_EQ(cw::DefaultRetryDelaysMs(), cw::TPieceScheduler::TSettings{}.RetryDelaysMs);
}
