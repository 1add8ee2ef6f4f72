#pragma once
// How a piece, a file, a stream and an item end: one typed outcome, set once by the stage that
// knows. It starts as nothing, so a stage that forgets to say how it ended is noticed instead of
// passing for a success. Views choose their words by Kind and Fail, never by parsing Words.

#include "net/http/HttpProt.h"

#include <string>

namespace cw {

enum TOutcomeKind { okNone, okDone, okFailed, okStopped };

enum TFailKind {
    fkNone,
    fkNetwork,  // broken, silent or unreachable, also after every try
    fkServer,   // the server's final no: an error status, a refused tunnel, endless relocations
    fkMismatch, // the server does not continue the bytes kept (another file, a range it will not serve)
    fkMedia,    // what arrived is not what was asked for: not video, undecryptable, malformed
    fkSave,     // the file cannot be created or take its name
    fkWrite,    // the file takes no more bytes (a full disk)
    fkPlaylist, // the address answered with a stream's playlist, not a file
    fkRefused,  // nothing fetches the rest: the server takes no more connections
    // How a page ends an item before any file is asked for:
    fkNoVideo,    // the page was read and holds no video this program can fetch
    fkSignIn,     // the page wants the viewer signed in (an age check), and nobody did
    fkUnreadable, // the page's text could not be read in either page engine
};

// "network", "server", "mismatch", "media", "save", "write", "playlist", "refused", "no-video",
// "sign-in", "unreadable"; "" for fkNone.
inline const char* FailKindName(TFailKind kind)
{
    static const char* const names[] = {"",      "network",  "server",  "mismatch", "media",   "save",
                                        "write", "playlist", "refused", "no-video", "sign-in", "unreadable"};
    return names[static_cast<int>(kind)];
}

struct TOutcome {
    TOutcomeKind Kind = okNone;
    TFailKind Fail = fkNone;
    int Code = 0;      // the status or failure code behind it, 0 when none
    std::string Words; // the reason in plain words, for the item's line
    // The outcome of the request that decided it, when a request did (its kind, status, system
    // error): a view chooses its words from these, never from Words.
    THttpOutcome Request;

    static TOutcome Done() { return TOutcome{okDone, fkNone, 0, std::string(), {}}; }
    static TOutcome Stopped() { return TOutcome{okStopped, fkNone, 0, std::string(), {}}; }
    static TOutcome Failed(TFailKind kind, std::string words, int code = 0)
    {
        return TOutcome{okFailed, kind, code, std::move(words), {}};
    }
    bool IsDone() const { return Kind == okDone; }
    bool IsFailed() const { return Kind == okFailed; }
};

} // namespace cw
