#pragma once
// TSubtitleFetch: one subtitle track fetched into memory as one WebVTT file, one request at a
// time on a text fetch of its own (its route, the run's pauses and rate cap): a single file, the
// pieces of a DASH text track, or an HLS subtitle playlist and its segments. Every answer must be
// a 2xx WebVTT body of at most MaxSubtitleBytes, and the joined file too; anything else ends the
// fetch with a reason and nothing kept.
//
// OnEnded comes once per Start, from the event loop (never inside Start or a client's event);
// Stop ends the fetch without it.

#include "engine/Subtitles.h"
#include "engine/TextFetch.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QObject;

namespace cw {

class THttpCli;

class TSubtitleFetch {
public:
    // settings: the run's client, whose agent, credentials and idle limit every request takes.
    explicit TSubtitleFetch(const THttpCli& settings);
    ~TSubtitleFetch();
    TSubtitleFetch(const TSubtitleFetch&) = delete;
    TSubtitleFetch& operator=(const TSubtitleFetch&) = delete;

    void SetRetryDelays(std::vector<std::uint32_t> delaysMs) { FFetch.SetRetryDelays(std::move(delaysMs)); }
    void SetRateLimit(TRateLimit* limit) { FFetch.SetRateLimit(limit); }

    void Start(const TSubtitleSource& source);
    void Stop();
    bool Running() const { return FRunning; }
    // After a success: the file's text.
    const std::string& Text() const { return FText; }

    // ok, or the reason it failed ("the subtitle <url>: the server answered 404 Not Found").
    std::function<void(bool ok, const std::string& why)> OnEnded;

private:
    void Request(const std::string& url);
    void TextEnded(const TTextResult& result);
    void PlaylistRead(const std::string& body, const std::string& finalUrl);
    void NextPiece();
    void End(bool ok, const std::string& why);
    void Halt();

    std::unique_ptr<QObject> FContext; // posted steps die with the fetch
    TTextFetch FFetch;
    bool FRunning = false;
    bool FReadingPlaylist = false;
    bool FJoinPieces = false;  // else the one file is kept as it is
    std::size_t FReceived = 0; // the bytes of every answer of this track
    std::vector<TSubtitlePiece> FPieces;
    std::size_t FNext = 0;
    TWebVttJoin FJoin;
    std::string FText;
};

} // namespace cw
