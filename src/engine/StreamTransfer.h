#pragma once
// TStreamTransfer: one stream, an HTTP Live Streaming playlist or a static DASH manifest, fetched
// into ordinary files. Both kinds end as the same thing: the segments of a video track and of a
// separate audio track, handed to the download core in stream mode and joined by the converter.
//
// HLS: it reads the playlist (a master playlist: the variant the quality asks for, and its
// separate audio when that has a playlist of its own), refuses what it cannot make a whole
// video of (a live stream, a protection other than AES-128, a malformed playlist) and fetches
// each AES-128 key once. DASH: it reads the manifest (refusing live and DRM-protected ones),
// takes the video and audio representations the quality asks for in every period, and reads
// the `sidx` index of each SegmentBase representation from its byte range.
//
// Then the segments of every track go to the download core: up to Connections at once, each
// decrypted (HLS) and checked to be media as it arrives, written in order, one track per file:
// "<final>.part" for the video (initialization sections before the fragments that use them),
// "<final>.audio.part" for separate audio. The journal "<final>.part.meta" names the stream by
// a fingerprint of its segment list, so a later run resumes by segment only the same stream,
// and checks what it keeps against the hashes of its blocks.
//
// Every outcome ends with OnEnded, from the event loop and never inside Start or a client's
// event; Stop ends everything at once without it and keeps the .part files.

#include "engine/Subtitles.h"
#include "engine/TextFetch.h"
#include "engine/core/DownloadCore.h"
#include "engine/core/Outcome.h"
#include "engine/streams/DashManifest.h"
#include "engine/streams/HlsPlaylist.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QObject;
class QTimer;

namespace cw {

class THttpCli;

class TStreamTransfer {
public:
    // settings: the run's client, whose proxy, credentials, idle limit and agent every request
    // of the stream takes.
    explicit TStreamTransfer(THttpCli& settings);
    ~TStreamTransfer();
    TStreamTransfer(const TStreamTransfer&) = delete;
    TStreamTransfer& operator=(const TStreamTransfer&) = delete;

    void SetRetryDelays(std::vector<std::uint32_t> delaysMs)
    {
        FRetryDelays = delaysMs;
        FText.SetRetryDelays(delaysMs);
        FCore.SetRetryDelays(std::move(delaysMs));
    }
    void SetConnections(int n) { FConnections = n < 1 ? 1 : n > 16 ? 16 : n; }
    void SetEndGameMs(std::int64_t ms) { FCore.SetEndGameMs(ms); }
    void SetRateLimit(TRateLimit* limit)
    {
        FText.SetRateLimit(limit);
        FCore.SetRateLimit(limit);
    }
    void ApplyIdleTimeout(int ms) { FCore.ApplyIdleTimeout(ms); }
    // A VideoQuality value: which variant of a master playlist is taken.
    void SetQuality(int quality) { FQuality = quality; }

    // The playlist's or manifest's text already read (by the page engine): the next Start of its
    // address reads it instead of asking again; any other Start drops it.
    void GiveFirstText(std::string body, std::string finalUrl);
    // Fetch the stream of playlistUrl for finalPath. Ends with OnEnded.
    void Start(const std::string& playlistUrl, const std::string& finalPath);
    void Stop();
    bool Running() const { return FRunning; }

    // After a success: the complete tracks, video first; AudioPart is "" without separate audio.
    const std::string& VideoPart() const { return FVideoPart; }
    const std::string& AudioPart() const { return FAudioPart; }
    // The video track is fragmented MP4 (it starts with an MP4 box): a file players take as it is.
    bool FragmentedMp4() const;
    // The extension of the file the tracks are joined into: "" to keep the one chosen (an HLS
    // stream, or DASH tracks an MP4 holds), else ".webm" or ".mkv" for codecs an MP4 does not.
    const std::string& JoinExtension() const { return FJoinExtension; }
    // The subtitle tracks the playlist or manifest offers with what is fetched (known once the
    // master playlist or the manifest was read).
    const std::vector<TSubtitleSource>& Subtitles() const { return FSubtitles; }
    // Whether the tracks hold segments kept from an earlier run (false after a fresh fetch).
    bool Resumed() const { return FResumed; }
    // Removes the .part files and the .meta of finalPath's stream.
    static void RemoveParts(const std::string& finalPath);

    std::function<void(const std::string& name, std::int64_t offset)> OnAttempt;
    std::function<void(std::int64_t total)> OnSize;
    std::function<void(std::int64_t bytes, std::int64_t total, const TRateSample* sample)> OnProgress;
    std::function<void(int secondsLeft, int attempt, int count)> OnWaiting;
    std::function<void(const TOutcome& outcome)> OnEnded;

    // The largest playlist or manifest taken into memory, and the largest segment index.
    static constexpr std::size_t MaxPlaylistBytes = 64u << 20;
    static constexpr std::int64_t MaxIndexBytes = 16 << 20;

private:
    // HLS: the master playlist, the media playlists taken and the keys their segments name.
    struct THlsState {
        THlsPlaylist Master;
        std::string AudioUrl;
        std::vector<THlsPlaylist> Media; // video, then audio
        std::vector<std::string> MediaUrls;
        // Keys by address; Keys holds the bytes for the segments' Key index.
        std::vector<std::string> KeyUrls;
        std::vector<std::string> Keys;
        std::size_t KeyNext = 0;
    };

    // DASH: the manifest, the representations chosen (pointers into it: track 0 video, or audio
    // when there is no video; track 1 audio beside video), and the segments read from indexes.
    struct TDashState {
        TDashManifest Manifest;
        std::vector<std::vector<const TDashRepresentation*>> Tracks;
        std::vector<const TDashRepresentation*> IndexJobs;
        std::vector<std::vector<TDashSegment>> IndexSegments;
        std::size_t IndexNext = 0;
    };

    using TTextDone = void (TStreamTransfer::*)(const std::string& body, const std::string& finalUrl);

    // Playlists and keys, one at a time.
    void FetchText(const std::string& what, const std::string& url, TTextDone next, std::int64_t offset = -1,
                   std::int64_t length = -1);
    void TextEnded(const TTextResult& result);
    void PlaylistRead(const std::string& body, const std::string& finalUrl);
    void VariantRead(const std::string& body, const std::string& finalUrl);
    void AudioRead(const std::string& body, const std::string& finalUrl);
    bool TakeMedia(const std::string& body, const std::string& finalUrl, int track);
    void NextKey();
    void KeyRead(const std::string& body, const std::string& finalUrl);

    // DASH: the manifest, then the index of every SegmentBase representation chosen.
    void ManifestRead(const std::string& body, const std::string& finalUrl);
    void NextIndex();
    void IndexRead(const std::string& body, const std::string& finalUrl);
    void BeginDashSegments();
    std::int64_t DashSegmentCount() const;
    const std::vector<TDashSegment>& IndexedSegments(const TDashRepresentation* r) const;
    // Appends track t's segments; false once it failed the stream.
    bool AddDashTrack(std::size_t t, std::vector<TSegmentSource>& segments, std::size_t& addressBytes);

    void BeginSegments();
    // The segments of every track (video first) to the core, resuming what the journal vouches for.
    void StartSegments(std::vector<TSegmentSource> segments, std::size_t tracks);
    std::string StreamFingerprint(const std::vector<TSegmentSource>& segments) const;
    void ResumeFromJournal(const std::string& metaPath, const std::vector<std::string>& parts, TResumeJournal& journal,
                           std::vector<std::size_t>& keep);
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
    bool FResumed = false;
    bool FStartedOver = false; // the kept segments were found changed and dropped once
    std::size_t FTrackCount = 0;

    std::string FPlaylistUrl;
    std::string FFinalPath;
    std::string FName;
    std::string FVideoPart;
    std::string FAudioPart;
    std::vector<TSubtitleSource> FSubtitles;
    std::string FJoinExtension;

    // Playlists, manifests, keys and indexes, one at a time, and where the one under way goes next.
    TTextFetch FText;
    TTextDone FTextNext = nullptr;
    std::optional<TTextResult> FFirstText; // given by GiveFirstText, until the next Start

    THlsState FHls;
    TDashState FDash;
};

} // namespace cw
