#pragma once
// TTransfer: one file from its direct address into "<final path>.part", through the download
// core. The first request learns what the file is: with several connections it asks for the
// first piece only ("bytes=0-<piece>"), and a 206 that names the size splits the rest into
// ranges for the other connections while the first one goes on; a 200 means a server without
// ranges, and the file comes on that one connection. Every later request asks for a bounded
// range, so no connection reads past what it was given.
//
// A .part left by an earlier run is continued only as its journal (".part.meta") says: the
// pieces it lists, checked against the .part's size and each finished block's hash (what fails
// is fetched again), and only while the server confirms the same file (size, ETag,
// Last-Modified). A server that does not continue the bytes kept makes the file start over
// once, on one connection. Only a complete file is renamed to the final path. Every outcome ends
// with OnEnded, from the event loop and never inside Start; Stop ends everything at once
// without it and keeps the .part with its journal.

#include "browser/WebBrowser.h"
#include "engine/core/DownloadCore.h"
#include "engine/core/Outcome.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace cw {

class THttpCli;

class TTransfer {
public:
    // http: the run's client; its address is the file's, its settings every connection's.
    explicit TTransfer(THttpCli& http);
    ~TTransfer();
    TTransfer(const TTransfer&) = delete;
    TTransfer& operator=(const TTransfer&) = delete;

    void SetRetryDelays(std::vector<std::uint32_t> delaysMs) { FCore.SetRetryDelays(std::move(delaysMs)); }
    const std::vector<std::uint32_t>& RetryDelays() const { return FCore.RetryDelays(); }
    // Connections per file (1..16) and the smallest piece worth a connection of its own.
    void SetConnections(int n) { FConnections = n < 1 ? 1 : n > 16 ? 16 : n; }
    int Connections() const { return FConnections; }
    void SetMinPiece(std::int64_t bytes) { FMinPiece = bytes < 1 ? 1 : bytes; }
    // A range without bytes for this long gets a second connection when one is free.
    void SetEndGameMs(std::int64_t ms) { FCore.SetEndGameMs(ms); }
    void SetRateLimit(TRateLimit* limit) { FCore.SetRateLimit(limit); }
    void ApplyIdleTimeout(int ms) { FCore.ApplyIdleTimeout(ms); }

    // Fetch the client's URL into finalPath (through finalPath + ".part"). Ends with OnEnded.
    // answer: the page engine's answer for the address, when it turned out to be the file: a new
    // file goes on reading it instead of asking again.
    void Start(const std::string& finalPath, std::optional<TWebBrowser::TMediaAnswer> answer = std::nullopt);
    void Stop();
    bool Running() const { return FRunning; }
    // The file of the attempt that completed ("" until one did).
    const std::string& CompletedPath() const { return FCompletedPath; }

    // Each start and each try after a pause ("Downloading: <name> ..."); offset: bytes kept.
    std::function<void(const std::string& name, std::int64_t offset)> OnAttempt;
    std::function<void(std::int64_t total)> OnSize;
    std::function<void(std::int64_t bytes, std::int64_t total, const TRateSample* sample)> OnProgress;
    std::function<void(int secondsLeft, int attempt, int count)> OnWaiting;
    std::function<void(const TOutcome& outcome)> OnEnded;

private:
    void Begin(bool resume, std::optional<TWebBrowser::TMediaAnswer> answer = std::nullopt);
    bool ResumeFromJournal(std::vector<TPiece>& pieces, TResumeJournal& journal);
    void Prepare(THttpCli& h, const TAssignment& job);
    TAnswerVerdict Answer(THttpCli& h, int conn, const TAssignment& job);
    TAnswerVerdict FirstAnswer(THttpCli& h, const TAssignment& job);
    std::optional<TAnswerVerdict> ErrorStatus(THttpCli& h, const TAssignment& job);
    void SplitRest(std::int64_t from, std::int64_t total);
    static bool AcceptsByteRanges(const THttpCli& h);
    void CoreEnded(const TOutcome& outcome);

    THttpCli& FHttp;
    TDownloadCore FCore;
    int FConnections = 1;
    int FConnectionsNow = 1;
    std::int64_t FMinPiece = 1 << 20;
    bool FRunning = false;
    bool FStartedOver = false;
    bool FShaped = false;   // the first answer said what the file is
    bool FNoRanges = false; // ask without Range: the server's ranges cannot be trusted
    bool FAdopted = false;  // the first answer is the page engine's, asked without Range
    std::string FUrl;
    std::string FFinalPath;
    std::string FPartPath;
    std::string FMetaPath;
    std::string FName;
    std::string FCompletedPath;
};

} // namespace cw
