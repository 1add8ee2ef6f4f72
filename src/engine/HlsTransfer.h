#pragma once
// THlsTransfer: one HTTP Live Streaming video fetched into ordinary files. It reads the playlist
// (a master playlist: the variant the quality asks for, and its separate audio when that has a
// playlist of its own), refuses what it cannot make a whole video of (a live stream, a
// protection other than AES-128, a malformed playlist), fetches each AES-128 key once, and then
// the segments, up to Connections at once through clients set up as the run's (proxy, idle
// limit, agent). Segments are decrypted and written in playlist order, one track per file:
// "<final>.part" for the video (initialization sections before the fragments that use them),
// "<final>.audio.part" for separate audio. "<final>.part.meta" records how many segments of
// each track are written, so Stop and a later run resume by segment.
//
// A broken or silent segment is asked for again after a pause (one try after each pause of
// RetryDelays, counted per segment); a segment the server refuses, or one still broken after its
// tries, fails the whole item: a stream with a hole is never a video. At most a few segments per
// connection wait in memory for their turn to be written, so memory stays flat however long the
// stream is.
//
// Every outcome ends with OnEnded, from the event loop and never inside Start or a client's
// event; Stop ends everything at once without it and keeps the .part files.

#include "engine/HlsPlaylist.h"
#include "engine/Transfer.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QObject;
class QTimer;

namespace cw {

class THttpCli;
class TFileStream;

class THlsTransfer {
public:
    // settings: the run's client, whose proxy, credentials, idle limit and agent every request
    // of the stream takes.
    explicit THlsTransfer(THttpCli& settings);
    ~THlsTransfer();
    THlsTransfer(const THlsTransfer&) = delete;
    THlsTransfer& operator=(const THlsTransfer&) = delete;

    void SetRetryDelays(std::vector<std::uint32_t> delaysMs) { FRetryDelays = std::move(delaysMs); }
    void SetConnections(int n) { FConnections = n < 1 ? 1 : n > 16 ? 16 : n; }
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
    std::function<void(const TTransferResult& result)> OnEnded;

    // The largest playlist and the largest segment taken into memory.
    static constexpr std::size_t MaxPlaylistBytes = 64u << 20;
    static constexpr std::size_t MaxSegmentBytes = 256u << 20;

private:
    struct TPiece {
        std::string Url;
        std::int64_t Offset = -1; // a byte range of the resource; -1: all of it
        std::int64_t Length = -1;
        int Key = -1; // index into FKeys
        std::array<std::uint8_t, 16> Iv{};
    };
    struct TTrack {
        std::string PartPath;
        std::vector<TPiece> Pieces;
        std::size_t Written = 0; // pieces in the file, in order
        std::int64_t Bytes = 0;  // their bytes
    };
    struct TConn {
        std::unique_ptr<THttpCli> Http;
        int Piece = -1; // -1: a playlist or key, or idle
        bool Busy = false;
        std::string Body;
        bool TooLarge = false;
        std::unique_ptr<QTimer> Pause;
    };
    using TTextDone = void (THlsTransfer::*)(const std::string& body, const std::string& finalUrl);

    THttpCli& Client(int conn);
    void Request(int conn, const std::string& url, std::int64_t offset, std::int64_t length);
    void RequestDone(int conn);
    std::string AnswerProblem(THttpCli& h, bool& retry) const;

    // Playlists and keys, one at a time on the first connection.
    void FetchText(const std::string& what, const std::string& url, TTextDone next);
    void TextDone(const std::string& body, const std::string& finalUrl);
    void PlaylistRead(const std::string& body, const std::string& finalUrl);
    void VariantRead(const std::string& body, const std::string& finalUrl);
    void AudioRead(const std::string& body, const std::string& finalUrl);
    bool TakeMedia(const std::string& body, const std::string& finalUrl, int track);
    void NextKey();
    void KeyRead(const std::string& body, const std::string& finalUrl);

    // Segments.
    void BeginSegments();
    void Resume();
    bool OpenTrack();
    void Assign();
    void PieceDone(int conn);
    void PieceFailed(int conn, const std::string& reason, bool retry);
    void WriteReady();
    void SaveMeta(bool now);
    void Progress();
    std::string PieceName(std::size_t piece) const;

    void Fail(const std::string& reason, bool saveFailed = false);
    void Succeed();
    void End(TTransferResult result);
    void Halt();

    THttpCli& FSettings;
    std::unique_ptr<QObject> FContext; // posted steps die with the transfer
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
    std::string FTextWhat;
    std::string FTextUrl;
    TTextDone FTextNext = nullptr;
    int FTextTries = 0;
    std::unique_ptr<QTimer> FTextPause;

    // Keys by address; FKeys holds the bytes for the pieces' Key index.
    std::vector<std::string> FKeyUrls;
    std::vector<std::string> FKeys;
    std::size_t FKeyNext = 0;

    std::vector<TTrack> FTracks;
    std::size_t FTrack = 0;
    std::unique_ptr<TFileStream> FFile;
    std::vector<std::unique_ptr<TConn>> FConns;
    std::size_t FNextPiece = 0;              // the next piece of the track to ask for
    std::map<std::size_t, std::string> FReady; // fetched, waiting for their turn
    std::map<std::size_t, int> FTries;         // tries spent per piece
    std::int64_t FTotal = -1;
    bool FExactTotal = false; // every piece names its byte range: FTotal is the sum, not a projection
    std::uint32_t FMetaTick = 0;
    std::uint32_t FRateTick = 0;
    std::int64_t FRateBytes = 0;
    bool FWaitShown = false;
};

} // namespace cw
