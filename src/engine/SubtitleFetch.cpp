#include "engine/SubtitleFetch.h"

#include "engine/core/DownloadCore.h"
#include "global/Global.h"
#include "net/http/HttpProt.h"
#include "platform/Application.h"

#include <QObject>
#include <QTimer>

#include <algorithm>

namespace cw {

TSubtitleFetch::TSubtitleFetch(const THttpCli& settings)
    : FContext(std::make_unique<QObject>()), FFetch(settings, "_subs")
{
    FFetch.OnEnded = [this](const TTextResult& result) { TextEnded(result); };
}

TSubtitleFetch::~TSubtitleFetch()
{
    Halt();
}

void TSubtitleFetch::Start(const TSubtitleSource& source)
{
    Halt();
    FContext = std::make_unique<QObject>();
    FRunning = true;
    FJoin = TWebVttJoin();
    FText.clear();
    FNext = 0;
    FReceived = 0;
    FPieces = source.Pieces;
    if (FPieces.empty())
        return End(false, "the subtitle track names no file");
    FReadingPlaylist = source.Playlist;
    // A playlist's segments are joined even when there is one: its header may map its times.
    FJoinPieces = source.Playlist || FPieces.size() > 1;
    if (FReadingPlaylist) {
        const std::string playlist = FPieces[0].Url;
        FPieces.clear();
        return Request(playlist);
    }
    NextPiece();
}

void TSubtitleFetch::Request(const std::string& url)
{
    // A piece may add nothing (cues repeated, or none): the pieces together are bounded too.
    const std::size_t left = 4 * MaxSubtitleBytes - std::min(FReceived, 4 * MaxSubtitleBytes);
    TTextRequest rq;
    rq.What = "the subtitle";
    rq.Url = url;
    rq.Limit = std::min(MaxSubtitleBytes, left);
    rq.LimitWords = std::to_string(MaxSubtitleBytes >> 20) + " MiB";
    rq.Accept = "text/vtt, */*";
    FFetch.Start(std::move(rq));
}

void TSubtitleFetch::TextEnded(const TTextResult& result)
{
    if (!FRunning)
        return;
    if (result.TooLarge && FReceived + MaxSubtitleBytes > 4 * MaxSubtitleBytes)
        return End(false, "the subtitle track's files are larger than " + std::to_string(4 * MaxSubtitleBytes >> 20) +
                              " MiB together");
    if (!result.Ok)
        return End(false, result.Words);
    FReceived += result.Body.size();
    const std::string where = "the subtitle " + result.FinalUrl + ": ";
    if (FReadingPlaylist) {
        FReadingPlaylist = false;
        return PlaylistRead(result.Body, result.FinalUrl);
    }
    if (!LooksLikeWebVtt(result.Body)) {
        const std::string& type = result.ContentType;
        return End(false, where + "is not WebVTT" + (type.empty() ? std::string() : " (the server sent " + type + ")"));
    }
    if (!FJoinPieces) {
        // A single file is kept as the server wrote it.
        FText = result.Body;
        return End(true, std::string());
    }
    if (!FJoin.Add(result.Body, FPieces[FNext - 1].Offset))
        return End(false, where + (FJoin.Overflow() ? "the joined file is larger than " +
                                                          std::to_string(MaxSubtitleBytes >> 20) + " MiB"
                                                    : std::string("is not WebVTT")));
    NextPiece();
}

void TSubtitleFetch::PlaylistRead(const std::string& body, const std::string& finalUrl)
{
    const std::string where = "the subtitle playlist " + finalUrl + ": ";
    const THlsParse parse = ParseHlsPlaylist(body, finalUrl);
    if (!parse.Ok)
        return End(false, where + "line " + std::to_string(parse.Line) + ": " + parse.Error);
    const THlsPlaylist& pl = parse.Playlist;
    if (pl.Master)
        return End(false, where + "a master playlist where a media playlist belongs");
    if (!pl.EndList)
        return End(false, where + "a live playlist");
    if (pl.Segments.empty())
        return End(false, where + "lists no segments");
    if (pl.Segments.size() > MaxSubtitlePieces)
        return End(false, where + "more than " + std::to_string(MaxSubtitlePieces) + " segments");
    for (const THlsSegment& s : pl.Segments) {
        if (s.Key >= 0)
            return End(false, where + "the subtitles are encrypted");
        if (s.Offset >= 0)
            return End(false, where + "segments as byte ranges are not read");
        FPieces.push_back(TSubtitlePiece{s.Uri, 0});
    }
    NextPiece();
}

void TSubtitleFetch::NextPiece()
{
    if (FNext < FPieces.size()) {
        ++FNext;
        return Request(FPieces[FNext - 1].Url);
    }
    FText = FJoin.Text();
    End(true, std::string());
}

void TSubtitleFetch::End(bool ok, const std::string& why)
{
    FRunning = false;
    if (!ok)
        FText.clear();
    QTimer::singleShot(0, FContext.get(), [this, ok, why] {
        Application::Guard([this, ok, &why] {
            if (OnEnded)
                OnEnded(ok, why);
        });
    });
}

void TSubtitleFetch::Halt()
{
    FRunning = false;
    FFetch.Stop();
}

void TSubtitleFetch::Stop()
{
    Halt();
    // Nothing posted before the stop reaches the owner after it.
    FContext = std::make_unique<QObject>();
}

} // namespace cw
