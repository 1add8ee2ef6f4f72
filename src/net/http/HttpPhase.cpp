#include "net/http/HttpPhase.h"

#include "net/http/HttpProt.h"
#include "platform/Log.h"

namespace cw {

namespace {

using P = THttpPhase;

constexpr std::uint32_t Bit(P p)
{
    return 1u << static_cast<unsigned>(p);
}

template <class... Ps> constexpr std::uint32_t Set(Ps... ps)
{
    return (Bit(ps) | ... | 0u);
}

// Every running phase may be aborted, may be ended with its outcome (a failure, a close), and
// may be turned into an httpCLOSE request.
constexpr std::uint32_t kAnyEnd = Set(P::Aborting, P::Ending, P::Closing);
// An answer that is over (or broken off by a close) leads to the next request of the chain: a
// relocation, an answer to a challenge, or the same request on a fresh connection.
constexpr std::uint32_t kNextHop = Set(P::Starting);

struct TRow {
    P From;
    std::uint32_t To;
};

// Row by row: from this phase, these phases may follow.
constexpr TRow kMoves[] = {
    {P::Idle, Set(P::Starting, P::Closing)},
    // A kept connection goes on from where it stands: ready for the request, or (after a
    // proxy's challenge) waiting for a new CONNECT.
    {P::Starting, Set(P::Lookup, P::Sending, P::TunnelAnswer, P::TlsHandshake) | kAnyEnd},
    {P::Lookup, Set(P::Connecting) | kAnyEnd},
    {P::Connecting, Set(P::TlsHandshake, P::TunnelAnswer, P::Sending) | kAnyEnd},
    {P::TlsHandshake, Set(P::Sending) | kAnyEnd},
    // A 407 from the proxy is read on as an answer of its own (never handed on): the
    // authentication decision at its end sends a new CONNECT.
    {P::TunnelAnswer, Set(P::TunnelTls, P::Header, P::HeaderOver) | kAnyEnd},
    {P::TunnelTls, Set(P::Sending) | kAnyEnd},
    {P::Sending, Set(P::Header) | kAnyEnd},
    {P::Header, Set(P::HeaderOver, P::Body) | kNextHop | kAnyEnd},
    {P::HeaderOver, Set(P::BodyOver) | kNextHop | kAnyEnd},
    {P::Body, Set(P::BodyReceived, P::BodyOver) | kNextHop | kAnyEnd},
    {P::BodyOver, kNextHop | kAnyEnd},
    {P::BodyReceived, kNextHop | kAnyEnd},
    {P::Closing, Set(P::Aborting, P::Ending)},
    {P::Aborting, Set(P::Ending)},
    // OnRequestDone is delivered from Idle, so that its handler may start the next request.
    {P::Ending, Set(P::Idle)},
};
static_assert(sizeof kMoves / sizeof kMoves[0] == kHttpPhaseCount, "one row per phase");

constexpr bool RowsInOrder()
{
    for (int i = 0; i < kHttpPhaseCount; ++i)
        if (static_cast<int>(kMoves[i].From) != i)
            return false;
    return true;
}
static_assert(RowsInOrder(), "rows in the order of the enum");

} // namespace

const char* HttpPhaseName(THttpPhase phase)
{
    static const char* const names[] = {
        "Idle",   "Starting",   "Lookup", "Connecting", "TlsHandshake", "TunnelAnswer", "TunnelTls", "Sending",
        "Header", "HeaderOver", "Body",   "BodyOver",   "BodyReceived", "Closing",      "Aborting",  "Ending"};
    static_assert(sizeof names / sizeof names[0] == kHttpPhaseCount);
    const auto i = static_cast<std::size_t>(phase);
    return i < sizeof names / sizeof names[0] ? names[i] : "?";
}

THttpState HttpPublicState(THttpPhase phase)
{
    switch (phase) {
    case P::Idle:
    case P::Ending:
        return httpReady;
    case P::Starting:
        return httpNotConnected;
    case P::Lookup:
        return httpDnsLookup;
    case P::Connecting:
    case P::TlsHandshake:
        return httpDnsLookupDone;
    case P::TunnelAnswer:
    case P::TunnelTls:
        return httpWaitingProxyConnect;
    case P::Sending:
        return httpConnected;
    case P::Header:
    case P::HeaderOver:
        return httpWaitingHeader;
    case P::Body:
    case P::BodyOver:
        return httpWaitingBody;
    case P::BodyReceived:
        return httpBodyReceived;
    case P::Closing:
        return httpClosing;
    case P::Aborting:
        return httpAborting;
    }
    return httpReady;
}

bool HttpMoveAllowed(THttpPhase from, THttpPhase to)
{
    const auto f = static_cast<std::size_t>(from);
    if (from == to)
        return true;
    return f < static_cast<std::size_t>(kHttpPhaseCount) && (kMoves[f].To & Bit(to)) != 0;
}

bool HttpPhaseActive(THttpPhase phase)
{
    return phase != P::Idle && phase != P::Ending;
}

bool THttpPhaseMachine::Move(THttpPhase to)
{
    if (!HttpMoveAllowed(FPhase, to)) {
        ++FRefused;
        LogLine("http", std::string("refused move from ") + HttpPhaseName(FPhase) + " to " + HttpPhaseName(to));
        return false;
    }
    FPhase = to;
    return true;
}

} // namespace cw
