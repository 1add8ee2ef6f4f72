#pragma once
// TTextFetch: one bounded text at a time (a playlist, a manifest, a key, a segment index, a
// subtitle) on a client of its own. Each request goes the route of its own address (the proxy
// environment and no_proxy, as every file does), counts every byte it reads against the run's
// rate cap, takes at most Limit bytes, and is asked again after the run's pauses while asking
// again may help (a broken or silent connection, a 5xx, 408 or 429). It ends with one
// TTextResult: the body and the address it was found at, or why it failed.
//
// A byte range is read only from a 206, or cut out of a 200 from a server that ignores the
// range and sends everything; no error page ever becomes the range's bytes.
//
// OnEnded comes from the client's end or the pause's timer, never inside Start; the owner may
// Start the next text from it. Stop ends the request under way without OnEnded.

#include "engine/core/Outcome.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QObject;
class QTimer;

namespace cw {

class THttpCli;
class TRateLimit;

struct TTextRequest {
    std::string What; // "the playlist": what the failure line names
    std::string Url;
    std::size_t Limit = 0;  // the most bytes taken
    std::string LimitWords; // the limit as the failure line says it: "64 MiB", "1024 bytes"
    // A byte range of the resource: Length bytes from Offset; -1: all of it.
    std::int64_t Offset = -1;
    std::int64_t Length = -1;
    std::string Accept = "*/*";
};

struct TTextResult {
    bool Ok = false;
    std::string Body;
    std::string FinalUrl; // where the text was found after relocations (relative names start there)
    std::string ContentType;
    TFailKind Fail = fkNone;
    int Status = 0;        // the final answer's status, 0 when none came
    bool TooLarge = false; // more than the request's Limit arrived
    std::string Words;     // "the playlist <url>: the server answered 404 Not Found"
    THttpOutcome Request;  // how the last request ended
};

class TTextFetch {
public:
    // settings: the run's client, whose agent, credentials, cookies and idle limit every request
    // takes; nameSuffix names the client in logs.
    TTextFetch(const THttpCli& settings, const std::string& nameSuffix);
    ~TTextFetch();
    TTextFetch(const TTextFetch&) = delete;
    TTextFetch& operator=(const TTextFetch&) = delete;

    void SetRetryDelays(std::vector<std::uint32_t> delaysMs) { FRetryDelays = std::move(delaysMs); }
    const std::vector<std::uint32_t>& RetryDelays() const { return FRetryDelays; }
    // The run's cap (nullptr: none); it must outlive the fetch's requests.
    void SetRateLimit(TRateLimit* limit) { FRateLimit = limit; }

    void Start(TTextRequest request);
    void Stop();
    bool Busy() const { return FBusy || FWaiting; }

    // A pause before asking again began (seconds, the try after it, of how many).
    std::function<void(int secondsLeft, int attempt, int count)> OnWaiting;
    // The request goes out again after a pause.
    std::function<void()> OnRetry;
    std::function<void(const TTextResult& result)> OnEnded;

private:
    void Halt();
    void Request();
    void DocBegin();
    void DocData(const char* data, int len);
    void Throttle(std::int64_t waitMs);
    void RequestDone();
    TTextResult Judge(bool& retry);
    std::string Where() const;
    void Wait(const TTextResult& result);
    void End(TTextResult result);

    const THttpCli& FSettings;
    std::string FNameSuffix;
    std::unique_ptr<QObject> FContext; // the throttle's and the pause's timers die with a stop
    std::unique_ptr<THttpCli> FHttp;
    std::unique_ptr<QTimer> FPause;
    std::vector<std::uint32_t> FRetryDelays;
    TRateLimit* FRateLimit = nullptr;
    TTextRequest FRequest;
    std::string FBody;
    std::int64_t FSkip = 0; // bytes of a whole answer before the range asked for
    int FTries = 0;
    std::uint64_t FSerial = 0; // tells a throttle's timer which request it paused
    bool FBusy = false;
    bool FWaiting = false;
    bool FTooLarge = false;
    bool FEnough = false; // the range is in: the rest of a whole answer is not read
    bool FThrottled = false;
    bool FTaken = false; // the answer under way is a 2xx whose body is the text
};

} // namespace cw
