#pragma once
// TTransfer: one file from its direct address into "<final path>.part", driven by the HTTP
// client's asynchronous requests and timers only. A broken connection is asked again for the
// rest after a pause (one try after each pause in RetryDelays); a .part left by an earlier run
// is continued only for the same resource (PartFile's .meta rules); only a complete body is
// renamed to the final path. Every outcome ends with OnEnded, always from the event loop and
// never inside Start; Stop ends everything at once without it and keeps the .part.
//
// The client is the run's (configured there: proxy, idle limit, agent); the transfer sets its
// address-independent per-request fields (range, stream, handlers) on every try.
//
// Several connections (TransferSegments.cpp): when the first answer of a new file is a 206 for
// "bytes=0-" that gives the total size, and the file is at least two pieces long, the file is
// split into ranges, one per connection, each written at its own place in the one .part. A
// connection that finishes takes a range nobody fetches, or half of the largest one still
// running. The .meta keeps each range's progress, so a later run resumes every range. A range
// whose answer does not fit makes the file start over on one connection; a server that refuses
// more connections (refused, 429, 503) leaves the file to the ones it has. The pauses and tries
// of a broken connection count for the file as a whole.

#include "engine/PartFile.h"
#include "net/http/HttpProt.h"
#include "platform/MessageWindow.h"
#include "platform/Streams.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QTimer;

namespace cw {

// A client of a transfer's own, set up as the run's client: agent, protocol version,
// relocations, proxy and its credentials, idle limit.
void TakeClientSettings(THttpCli& to, const THttpCli& from);

struct TTransferResult {
    bool Done = false;
    std::string Reason; // why it failed, in plain words
    std::string Line;   // a failure line of its own, when the reason is not the transfer's
    bool SaveFailed = false; // the file could not be created or take its name (Reason says why)
    bool Playlist = false;   // the address answered with a stream's playlist, not a file
};

// Bytes that arrived over an interval of at least two seconds: what a speed and a remaining
// time are computed from.
struct TRateSample {
    std::int64_t Bytes = 0;
    std::uint32_t ElapsedMs = 0;
};

class TTransfer {
public:
    explicit TTransfer(THttpCli& http);
    ~TTransfer();
    TTransfer(const TTransfer&) = delete;
    TTransfer& operator=(const TTransfer&) = delete;

    // The pauses before asking again for the rest of a file whose connection broke.
    void SetRetryDelays(std::vector<std::uint32_t> delaysMs) { FRetryDelays = std::move(delaysMs); }
    // Connections per file (1..16) and the smallest piece worth a connection of its own.
    void SetConnections(int n) { FConnections = n < 1 ? 1 : n > 16 ? 16 : n; }
    int Connections() const { return FConnections; }
    void SetMinPiece(std::int64_t bytes) { FMinPiece = bytes < 1 ? 1 : bytes; }
    const std::vector<std::uint32_t>& RetryDelays() const { return FRetryDelays; }

    // Fetch URL into finalPath (through finalPath + ".part"). Ends with OnEnded.
    void Start(const std::string& finalPath);
    // End the request or the pause at once; the .part keeps the video bytes. OnEnded does not
    // fire for a stopped transfer.
    void Stop();
    bool Running() const { return FRunning; }
    // The file of the attempt that completed ("" until one did).
    const std::string& CompletedPath() const { return FCompletedPath; }

    // Each try begins ("Downloading: <name> ..."); offset: the bytes already kept.
    std::function<void(const std::string& name, std::int64_t offset)> OnAttempt;
    // The size the answer gave (the bar's maximum).
    std::function<void(std::int64_t total)> OnSize;
    // Bytes of the file so far (with what an earlier try kept), the total (-1 unknown), and a
    // rate sample when two seconds have passed since the last one.
    std::function<void(std::int64_t bytes, std::int64_t total, const TRateSample* sample)> OnProgress;
    // Waiting before try attempt of count: secondsLeft, shown once per second.
    std::function<void(int secondsLeft, int attempt, int count)> OnWaiting;
    std::function<void(const TTransferResult& result)> OnEnded;

private:
    enum TAnswer { anNone, anAppend, anFresh, anMismatch, anPlaylist };
    static constexpr unsigned WM_TRANSFER_STEP = 0x1610;
    enum TStep { stAttempt = 1, stEnded = 2, stFreeRetired = 3 };

    void Attempt();
    void RequestDone(std::uint16_t errCode);
    // Detaches the file from the client, cuts off what is not the file's and closes it; the
    // size kept.
    std::int64_t CloseFile();
    void AttemptEnded(bool failed, std::uint16_t code, const std::string& message, const std::string& writeError);
    void Pause(std::uint32_t ms);
    void PauseTick();
    void Finish(TTransferResult result);
    TTransferResult SaveFailure(const std::exception& e);
    std::string NoResponseReason(std::uint16_t code, const std::string& message) const;
    void HeaderData();
    void DocBegin();
    void DocData();
    void Progress(std::int64_t rcvd);
    void Detach();
    void WndProc(TMessage& msg);

    // Several connections (TransferSegments.cpp).
    struct TConn {
        THttpCli* Http = nullptr;
        std::unique_ptr<THttpCli> Own;
        int Range = -1;
        bool Busy = false;
        bool Cut = false;      // ended by us at its range's end
        bool Accepted = false; // the answer is the range asked for: its body is the file's
        bool Refused = false; // the server takes no more connections: this one stays idle
        std::unique_ptr<QTimer> Pause;
    };
    bool Segmentable(std::int64_t total) const;
    void StartSegments(std::int64_t total);
    bool ResumeSegments();
    void SegmentRequest(int conn);
    void SegmentDocBegin(int conn);
    void SegmentData(int conn, const char* data, int len);
    void SegmentDone(int conn);
    bool AssignWork(int conn);
    void SegmentsFinished();
    void SegmentsFail(TTransferResult result);
    void FallBackToOne(const std::string& why);
    void StopConnections();
    void SaveRanges(bool now);
    void CloseSegmentFile();
    std::int64_t SegmentBytes() const;
    void SegmentProgress();
    THttpCli& ClientOf(int conn);
    void DetachConn(int conn);

    THttpCli& FHttp;
    MessageWindow FWindow;
    std::unique_ptr<QTimer> FPauseTimer;
    std::vector<std::uint32_t> FRetryDelays;

    bool FRunning = false;
    bool FInRequest = false;
    std::string FFinalPath;
    std::string FPartPath;
    std::string FMetaPath;
    std::string FName;
    std::string FCompletedPath;
    std::int64_t FOffset = 0; // where the next try continues
    int FRetries = 0;
    bool FStartedOver = false;
    TTransferResult FResult;

    // The try running now: its .part file, where it continued, what the answer turned out to
    // be, and what the first answer said about the resource.
    std::unique_ptr<TFileStream> FFile;
    std::int64_t FResumeOffset = 0;
    std::int64_t FExpectedTotal = -1;
    TAnswer FAnswer = anNone;
    TPartMeta FKept;
    std::uint16_t FLastRequestError = 0;

    // Rate sampling over the try.
    std::uint32_t FRateTick = 0;
    std::int64_t FRateCount = 0;

    // Several connections.
    int FConnections = 1;
    std::int64_t FMinPiece = 1 << 20;
    bool FSegmented = false;
    std::string FUrl; // the item's address, as every connection asks for it
    std::vector<TPartRange> FRanges;
    std::vector<int> FRangeConn; // the connection fetching each range, -1 for none
    std::vector<std::unique_ptr<TConn>> FConns;
    std::vector<std::unique_ptr<TConn>> FRetired; // stopped, freed from the loop
    std::uint32_t FMetaTick = 0;
    bool FWaitShown = false;

    // The pause between tries.
    std::uint32_t FPauseStart = 0;
    std::uint32_t FPauseMs = 0;
    int FPauseShown = 0;
};

} // namespace cw
