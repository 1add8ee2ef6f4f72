#pragma once
// Where a request of THttpCli stands, as one enum, and the one table of the moves between its
// values. THttpCli changes its phase only through THttpPhaseMachine::Move and runs the entry
// action of the new phase beside it; the public THttpState is a plain function of the phase.
//
// The table is the whole story of a request: reading a row tells every phase that can follow.
// A move that is not in it is a fault of the client's own code: it is logged and refused, so
// the request stays where it was instead of running on from a place it can never be.

#include <cstdint>
#include <string>

namespace cw {

enum THttpState : int;

enum class THttpPhase : std::uint8_t {
    Idle,         // no request
    Starting,     // a request, or the next one of its chain, is about to find its connection
    Lookup,       // the connect host's name is being looked up
    Connecting,   // TCP (and SOCKS, inside the socket) to the server or the proxy
    TlsHandshake, // TLS with the server, over TCP or SOCKS
    TunnelAnswer, // CONNECT sent to the proxy, its answer being read
    TunnelTls,    // the proxy's tunnel is open: TLS with the server through it
    Sending,      // the connection reaches the server: the request goes out
    Header,       // the answer's status line and header lines are being read
    HeaderOver,   // an answer without a body is over, or its header failed: nothing more is read
    Body,         // the document is being read
    BodyOver,     // the body is no longer read (a HEAD answer's close, a broken body)
    BodyReceived, // the document is whole
    Closing,      // an httpCLOSE request: the connection is being closed
    Aborting,     // Abort is ending the request
    Ending,       // the outcome is decided; OnRequestDone is on its way
};

constexpr int kHttpPhaseCount = static_cast<int>(THttpPhase::Ending) + 1;

// "Idle", "Starting", ... for traces, logs and tests.
const char* HttpPhaseName(THttpPhase phase);

// The public state a phase shows (Idle and Ending are both httpReady: the caller may start the
// next request once OnRequestDone has fired).
THttpState HttpPublicState(THttpPhase phase);

// Whether the table lists the move (a move to the same phase is no move, and always allowed).
bool HttpMoveAllowed(THttpPhase from, THttpPhase to);

// A phase in which the connection is being set up or an answer read: the request runs.
bool HttpPhaseActive(THttpPhase phase);

class THttpPhaseMachine {
public:
    THttpPhase Phase() const { return FPhase; }
    // Moves when the table allows it; otherwise logs the fault ("http", "refused move ...") and
    // stays. True when the phase is now `to`.
    bool Move(THttpPhase to);
    // Moves refused since construction: a test of the client asserts there are none.
    int RefusedMoves() const { return FRefused; }

private:
    THttpPhase FPhase = THttpPhase::Idle;
    int FRefused = 0;
};

} // namespace cw
