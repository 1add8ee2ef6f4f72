#pragma once
// THlsTransfer: one HTTP Live Streaming video fetched into ordinary files. It reads the playlist
// (a master playlist: the variant the quality asks for, and its separate audio when that has a
// playlist of its own), refuses what it cannot make a whole video of (a live stream, a
// protection other than AES-128, a malformed playlist), fetches each AES-128 key once, and then
// hands the segments of every track to the download core: up to Connections at once, each
// decrypted and checked to be media as it arrives, written in playlist order, one track per
// file: "<final>.part" for the video (initialization sections before the fragments that use
// them), "<final>.audio.part" for separate audio. The journal "<final>.part.meta" names the
// stream by a fingerprint of its segment list, so a later run resumes by segment only the same
// stream, and checks what it keeps against the hashes of its blocks.
//
// Every outcome ends with OnEnded, from the event loop and never inside Start or a client's
// event; Stop ends everything at once without it and keeps the .part files.

#include "engine/core/DownloadCore.h"
#include "engine/core/Outcome.h"
#include "engine/streams/HlsPlaylist.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QObject;
class QTimer;

namespace cw {

class THttpCli;

class THlsTransfer {
public:
    // settings: the run's client, whose proxy, credentials, idle limit and agent every request
    // of the stream takes.
    explicit THlsTransfer(THttpCli& settings);
    ~THlsTransfer();
    THlsTransfer(const THlsTransfer&) = delete;
    THlsTransfer& operator=(const THlsTransfer&) = delete;

    void SetRetryDelays(std::vector<std::uint32_t> delaysMs)
    {
        FRetryDelays = delaysMs;
        FCore.SetRetryDelays(std::move(delaysMs));
    }
    void SetConnections(int n) { FConnections = n < 1 ? 1 : n > 16 ? 16 : n; }
    void SetEndGameMs(std::int64_t ms) { FCore.SetEndGameMs(ms); }
    void SetRateLimit(TRateLimit* limit) { FCore.SetRateLimit(limit); }
    void ApplyIdleTimeout(int ms) { FCore.ApplyIdleTimeout(ms); }
    // A VideoQuality value: which variant of a master playlist is taken.
    void SetQuality(int quality) { FQuality = quality; }

    // Fetch the stream of playlistUrl for finalPath. Ends with OnEnded.
    void Start(const std::string& playlistUrl, const std::string& finalPath);
    void Stop();
    bool Running() const { return FRunning; }

    // After a success: the complete tracks, video first; AudioPart is "" without separate audio.
    const std::string& VideoPart() const { return FVideoPart; }
    const std::string& AudioPart() const { return FAudioPart; }
    // The video track is fragmented MP4 (it starts with an MP4 box): a file players take as it is.
    bool FragmentedMp4() const;
    // Removes the .part files and the .meta of finalPath's stream.
    static void RemoveParts(const std::string& finalPath);

    std::function<void(const std::string& name, std::int64_t offset)> OnAttempt;
    std::function<void(std::int64_t total)> OnSize;
    std::function<void(std::int64_t bytes, std::int64_t total, const TRateSample* sample)> OnProgress;
    std::function<void(int secondsLeft, int attempt, int count)> OnWaiting;
    std::function<void(const TOutcome& outcome)> OnEnded;

    // The largest playlist taken into memory.
    static constexpr std::size_t MaxPlaylistBytes = 64u << 20;

private:
    using TTextDone = void (THlsTransfer::*)(const std::string& body, const std::string& finalUrl);

    void Request(const std::string& url);
    void RequestDone();
    std::string AnswerProblem(THttpCli& h, bool& retry) const;

    // Playlists and keys, one at a time.
    void FetchText(const std::string& what, const std::string& url, TTextDone next);
    void PlaylistRead(const std::string& body, const std::string& finalUrl);
    void VariantRead(const std::string& body, const std::string& finalUrl);
    void AudioRead(const std::string& body, const std::string& finalUrl);
    bool TakeMedia(const std::string& body, const std::string& finalUrl, int track);
    void NextKey();
    void KeyRead(const std::string& body, const std::string& finalUrl);

    void BeginSegments();
    void Fail(const std::string& reason, TFailKind kind = fkMedia);
    void End(TOutcome outcome);
    void Halt();

    THttpCli& FSettings;
    std::unique_ptr<QObject> FContext; // posted steps die with the transfer
    TDownloadCore FCore;
    std::vector<std::uint32_t> FRetryDelays;
    int FConnections = 1;
    int FQuality = 0;
    bool FRunning = false;

    std::string FPlaylistUrl;
    std::string FFinalPath;
    std::string FName;
    std::string FVideoPart;
    std::string FAudioPart;
    THlsPlaylist FMaster;
    std::string FAudioUrl;
    std::vector<THlsPlaylist> FMedia; // video, then audio
    std::vector<std::string> FMediaUrls;

    // The text request under way: what it is (for the failure line) and where it goes next.
    std::unique_ptr<THttpCli> FText;
    bool FTextBusy = false;
    std::string FBody;
    bool FTooLarge = false;
    std::string FTextWhat;
    std::string FTextUrl;
    TTextDone FTextNext = nullptr;
    int FTextTries = 0;
    std::unique_ptr<QTimer> FTextPause;

    // Keys by address; FKeys holds the bytes for the segments' Key index.
    std::vector<std::string> FKeyUrls;
    std::vector<std::string> FKeys;
    std::size_t FKeyNext = 0;
};

} // namespace cw
