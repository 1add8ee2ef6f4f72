#include "engine/SubtitleFetch.h"

#include "engine/core/DownloadCore.h"
#include "global/Global.h"
#include "net/http/HttpProt.h"
#include "platform/Application.h"
#include "platform/SystemProxy.h"

#include <QObject>
#include <QTimer>

namespace cw {

TSubtitleFetch::TSubtitleFetch(const THttpCli& settings) : FSettings(settings), FContext(std::make_unique<QObject>()) {}

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
    if (!FHttp) {
        FHttp = std::make_unique<THttpCli>();
        FHttp->SetName(FSettings.Name() + "_subs");
        TakeClientSettings(*FHttp, FSettings);
        FHttp->SetAccept("text/vtt, */*");
        FHttp->SetFollowRelocation(true);
        FHttp->SetRcvdStream(nullptr);
    }
    THttpCli& h = *FHttp;
    // The proxy is the one for this address, as for every file.
    UseProxyFor(h, url);
    FUrl = url;
    FBody.clear();
    FTooLarge = false;
    h.SetURL(url);
    h.SetContentRangeBegin(std::string());
    h.SetContentRangeEnd(std::string());
    h.OnDocBegin = [this](TObject*) { FBody.clear(); };
    h.OnDocData = [this, &h](TObject*, const char* data, int len) {
        if (FTooLarge)
            return;
        FReceived += static_cast<std::size_t>(len);
        // A piece may add nothing (cues repeated, or none): the pieces together are bounded too.
        if (FBody.size() + static_cast<std::size_t>(len) > MaxSubtitleBytes || FReceived > 4 * MaxSubtitleBytes) {
            FTooLarge = true;
            h.Abort();
            return;
        }
        FBody.append(data, static_cast<std::size_t>(len));
    };
    h.OnRequestDone = [this](TObject*, THttpRequest, std::uint16_t) { Application::Guard([this] { RequestDone(); }); };
    FBusy = true;
    try {
        h.DoRequestAsync(httpGET);
    } catch (const std::exception& e) {
        FBusy = false;
        End(false, "the subtitle " + url + ": " + e.what());
    }
}

void TSubtitleFetch::RequestDone()
{
    if (!FBusy)
        return;
    FBusy = false;
    if (!FRunning)
        return;
    THttpCli& h = *FHttp;
    const std::string where = "the subtitle " + (h.Location().empty() ? FUrl : h.Location()) + ": ";
    if (FTooLarge)
        return End(false, FReceived > 4 * MaxSubtitleBytes
                              ? "the subtitle track's files are larger than " +
                                    std::to_string(4 * MaxSubtitleBytes >> 20) + " MiB together"
                              : where + "larger than " + std::to_string(MaxSubtitleBytes >> 20) + " MiB");
    const int status = h.StatusCode();
    if (status >= 300 || (h.FailureCode() == 0 && status < 200))
        return End(false, where + (status < 200 ? std::string("no answer from the server")
                                                : "the server answered " + std::to_string(status) +
                                                      (h.ReasonPhrase().empty() ? "" : " " + h.ReasonPhrase())));
    if (h.FailureCode() != 0)
        return End(false, where + h.FailureText());
    std::string body = std::move(FBody);
    FBody.clear();
    if (FReadingPlaylist) {
        FReadingPlaylist = false;
        return PlaylistRead(body, h.Location().empty() ? FUrl : h.Location());
    }
    if (!LooksLikeWebVtt(body)) {
        const std::string type = h.ContentType();
        return End(false, where + "is not WebVTT" + (type.empty() ? std::string() : " (the server sent " + type + ")"));
    }
    if (!FJoinPieces) {
        // A single file is kept as the server wrote it.
        FText = std::move(body);
        return End(true, std::string());
    }
    if (!FJoin.Add(body, FPieces[FNext - 1].Offset))
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
    if (FBusy && FHttp) {
        FBusy = false;
        FHttp->OnRequestDone = nullptr;
        FHttp->OnDocData = nullptr;
        FHttp->OnDocBegin = nullptr;
        FHttp->Abort();
    }
    FBody.clear();
}

void TSubtitleFetch::Stop()
{
    Halt();
    // Nothing posted before the stop reaches the owner after it.
    FContext = std::make_unique<QObject>();
}

} // namespace cw
