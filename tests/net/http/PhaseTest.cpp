// The request's phases and the one table of moves between them: what each phase shows as the
// public state, which moves the table lists, that no phase is a dead end, and that a move the
// table does not list is refused and logged rather than taken.

#include "net/http/HttpPhase.h"
#include "net/http/HttpProt.h"
#include "platform/Log.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

using namespace cw;
using P = THttpPhase;

namespace {

std::vector<P> AllPhases()
{
    std::vector<P> all;
    for (int i = 0; i < kHttpPhaseCount; ++i)
        all.push_back(static_cast<P>(i));
    return all;
}

// Phases reachable from `from` through the table's moves.
std::vector<bool> Reachable(P from)
{
    std::vector<bool> seen(kHttpPhaseCount, false);
    std::deque<P> todo{from};
    seen[static_cast<int>(from)] = true;
    while (!todo.empty()) {
        const P p = todo.front();
        todo.pop_front();
        for (P q : AllPhases())
            if (!seen[static_cast<int>(q)] && HttpMoveAllowed(p, q)) {
                seen[static_cast<int>(q)] = true;
                todo.push_back(q);
            }
    }
    return seen;
}

} // namespace

TEST(HttpPhaseTest, EachPhaseShowsOnePublicState)
{
    const struct {
        P Phase;
        THttpState State;
    } cases[] = {
        {P::Idle, httpReady},
        {P::Starting, httpNotConnected},
        {P::Lookup, httpDnsLookup},
        {P::Connecting, httpDnsLookupDone},
        {P::TlsHandshake, httpDnsLookupDone},
        {P::TunnelAnswer, httpWaitingProxyConnect},
        {P::TunnelTls, httpWaitingProxyConnect},
        {P::Sending, httpConnected},
        {P::Header, httpWaitingHeader},
        {P::HeaderOver, httpWaitingHeader},
        {P::Body, httpWaitingBody},
        {P::BodyOver, httpWaitingBody},
        {P::BodyReceived, httpBodyReceived},
        {P::Closing, httpClosing},
        {P::Aborting, httpAborting},
        {P::Ending, httpReady},
    };
    ASSERT_EQ(sizeof cases / sizeof cases[0], static_cast<std::size_t>(kHttpPhaseCount));
    for (const auto& k : cases) {
        SCOPED_TRACE(HttpPhaseName(k.Phase));
        EXPECT_EQ(HttpPublicState(k.Phase), k.State);
        // A request runs in every phase that is not httpReady.
        EXPECT_EQ(HttpPhaseActive(k.Phase), k.State != httpReady);
    }
}

TEST(HttpPhaseTest, TheTableListsTheMovesOfARequestAndNothingElse)
{
    const struct {
        P From;
        P To;
        bool Allowed;
    } cases[] = {
        // The way of a plain request, and of a chain.
        {P::Idle, P::Starting, true},
        {P::Starting, P::Lookup, true},
        {P::Starting, P::Sending, true}, // a kept connection
        {P::Lookup, P::Connecting, true},
        {P::Connecting, P::TunnelAnswer, true},
        {P::TunnelAnswer, P::TunnelTls, true},
        {P::TunnelAnswer, P::Header, true}, // the proxy's challenge, read as an answer
        {P::TunnelTls, P::Sending, true},
        {P::Connecting, P::TlsHandshake, true},
        {P::TlsHandshake, P::Sending, true},
        {P::Sending, P::Header, true},
        {P::Header, P::Body, true},
        {P::Body, P::BodyReceived, true},
        {P::BodyReceived, P::Starting, true}, // relocation, challenge
        {P::Header, P::Starting, true},       // fresh connection, or a relocation cut by the close
        {P::HeaderOver, P::BodyOver, true},   // a HEAD answer waiting for the close
        {P::BodyReceived, P::Ending, true},
        {P::Ending, P::Idle, true},
        {P::Idle, P::Closing, true},
        {P::Closing, P::Ending, true},
        {P::Aborting, P::Ending, true},
        // Moves no request makes.
        {P::Idle, P::Header, false},
        {P::Idle, P::Ending, false},       // nothing to end
        {P::Ending, P::Starting, false},   // a new request starts from Idle, after OnRequestDone
        {P::Aborting, P::Starting, false}, // an aborted request goes nowhere
        {P::Aborting, P::Idle, false},     // ... without its OnRequestDone
        {P::Lookup, P::Starting, false},
        {P::Sending, P::Body, false}, // no body without a header
        {P::BodyReceived, P::Header, false},
        {P::BodyReceived, P::Body, false},
        {P::HeaderOver, P::Header, false},
        {P::Connecting, P::Header, false}, // nothing is read before the request went out
        {P::TlsHandshake, P::TunnelAnswer, false},
        {P::Closing, P::Starting, false},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(std::string(HttpPhaseName(k.From)) + " -> " + HttpPhaseName(k.To));
        EXPECT_EQ(HttpMoveAllowed(k.From, k.To), k.Allowed);
    }
}

// Whatever happens, a request can be stopped, and reaches its end: no phase is a trap.
TEST(HttpPhaseTest, EveryPhaseIsReachedAndLeadsBackToIdle)
{
    const std::vector<bool> fromIdle = Reachable(P::Idle);
    for (P p : AllPhases()) {
        SCOPED_TRACE(HttpPhaseName(p));
        EXPECT_TRUE(fromIdle[static_cast<int>(p)]);
        EXPECT_TRUE(Reachable(p)[static_cast<int>(P::Idle)]);
        if (HttpPhaseActive(p) && p != P::Aborting) {
            EXPECT_TRUE(HttpMoveAllowed(p, P::Aborting));
        }
        if (HttpPhaseActive(p)) {
            EXPECT_TRUE(HttpMoveAllowed(p, P::Ending));
        }
    }
}

TEST(HttpPhaseTest, AMoveNotInTheTableIsLoggedAndRefused)
{
    std::vector<std::string> lines;
    LogHandler previous =
        SetLogHandler([&](const std::string& c, const std::string& m) { lines.push_back(c + ": " + m); });
    THttpPhaseMachine m;
    EXPECT_TRUE(m.Move(P::Starting));
    EXPECT_TRUE(m.Move(P::Lookup));
    EXPECT_FALSE(m.Move(P::Body));
    EXPECT_EQ(m.Phase(), P::Lookup);
    EXPECT_EQ(m.RefusedMoves(), 1);
    EXPECT_TRUE(m.Move(P::Lookup)); // staying is no move
    EXPECT_TRUE(m.Move(P::Aborting));
    EXPECT_FALSE(m.Move(P::Starting));
    EXPECT_EQ(m.Phase(), P::Aborting);
    EXPECT_EQ(m.RefusedMoves(), 2);
    SetLogHandler(previous);
    EXPECT_EQ(lines, (std::vector<std::string>{"http: refused move from Lookup to Body",
                                               "http: refused move from Aborting to Starting"}));
}
