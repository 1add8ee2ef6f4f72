#include "engine/HlsTransfer.h"

#include "engine/DownloadText.h"
#include "engine/HlsCipher.h"
#include "engine/PartFile.h"
#include "net/http/HttpProt.h"
#include "platform/Application.h"
#include "platform/Log.h"
#include "platform/Streams.h"
#include "platform/TickCount.h"

#include <QObject>
#include <QTimer>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace cw {
namespace {

constexpr std::size_t kMaxKeyBytes = 1024;
constexpr std::uint32_t kMetaEveryMs = 1000;
constexpr std::uint32_t kRateEveryMs = 2000;

// MPEG-TS (a sync byte every 188 bytes), packed audio (an ID3 tag or an ADTS frame), or MP4 (a
// box of a plausible size and a four-letter type).
bool LooksLikeMedia(const std::string& data)
{
    if (data.empty())
        return true;
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(data[i]); };
    if (byte(0) == 0x47)
        return data.size() < 189 || byte(188) == 0x47;
    if (data.compare(0, 3, "ID3") == 0 || (data.size() > 1 && byte(0) == 0xFF && (byte(1) & 0xF0) == 0xF0))
        return true;
    if (data.size() < 8)
        return false;
    const std::uint32_t size = (std::uint32_t{byte(0)} << 24) | (std::uint32_t{byte(1)} << 16) |
                               (std::uint32_t{byte(2)} << 8) | byte(3);
    for (std::size_t i = 4; i < 8; ++i)
        if (byte(i) < 0x20 || byte(i) > 0x7E)
            return false;
    return size == 1 || size >= 8;
}

std::string AudioPartOf(const std::string& finalPath)
{
    return finalPath + ".audio.part";
}

} // namespace

THlsTransfer::THlsTransfer(THttpCli& settings) : FSettings(settings), FContext(std::make_unique<QObject>())
{
    FRetryDelays = {1000, 2000, 4000, 8000, 16000};
}

THlsTransfer::~THlsTransfer()
{
    Halt();
}

void THlsTransfer::RemoveParts(const std::string& finalPath)
{
    RemoveFileIfAny(PartPathOf(finalPath));
    RemoveFileIfAny(AudioPartOf(finalPath));
    RemoveFileIfAny(PartMetaPathOf(finalPath));
}

bool THlsTransfer::FragmentedMp4() const
{
    std::ifstream in(FVideoPart, std::ios::binary);
    char head[8] = {};
    if (!in.read(head, sizeof head))
        return false;
    const std::string box(head + 4, 4);
    return box == "ftyp" || box == "styp" || box == "moov" || box == "moof";
}

// ---- requests ---------------------------------------------------------------------------------

THttpCli& THlsTransfer::Client(int conn)
{
    TConn& c = *FConns[static_cast<std::size_t>(conn)];
    if (!c.Http) {
        c.Http = std::make_unique<THttpCli>();
        THttpCli& h = *c.Http;
        h.SetName(FSettings.Name() + "_hls" + std::to_string(conn));
        TakeClientSettings(h, FSettings);
        h.SetAccept("*/*");
        h.SetFollowRelocation(true);
        h.SetRcvdStream(nullptr);
    }
    return *c.Http;
}

void THlsTransfer::Request(int conn, const std::string& url, std::int64_t offset, std::int64_t length)
{
    TConn& c = *FConns[static_cast<std::size_t>(conn)];
    THttpCli& h = Client(conn);
    const std::size_t cap = c.Piece < 0 ? MaxPlaylistBytes : MaxSegmentBytes;
    c.Body.clear();
    c.TooLarge = false;
    h.SetURL(url);
    h.SetContentRangeBegin(offset >= 0 ? std::to_string(offset) : std::string());
    h.SetContentRangeEnd(offset >= 0 ? std::to_string(offset + length - 1) : std::string());
    // Each answer's document starts afresh: a relocation's body is nobody's bytes.
    h.OnDocBegin = [&c](TObject*) { c.Body.clear(); };
    h.OnDocData = [&c, &h, cap](TObject*, const char* data, int len) {
        if (c.TooLarge)
            return;
        if (c.Body.size() + static_cast<std::size_t>(len) > cap) {
            c.TooLarge = true;
            h.Abort();
            return;
        }
        c.Body.append(data, static_cast<std::size_t>(len));
    };
    h.OnRequestDone = [this, conn](TObject*, THttpRequest, std::uint16_t) {
        Application::Guard([this, conn] { RequestDone(conn); });
    };
    c.Busy = true;
    try {
        h.DoRequestAsync(httpGET);
    } catch (const std::exception& e) {
        c.Busy = false;
        Fail(std::string(c.Piece < 0 ? FTextWhat + " " + url : PieceName(static_cast<std::size_t>(c.Piece))) + ": " +
             e.what());
    }
}

// What is wrong with the answer a client just finished; "" for a whole 2xx. retry: whether
// asking again may help (a broken or silent connection, a server error of the moment).
std::string THlsTransfer::AnswerProblem(THttpCli& h, bool& retry) const
{
    retry = false;
    const int status = h.StatusCode();
    const std::uint16_t code = h.FailureCode();
    if (status >= 400 || (status >= 300 && code == 0)) {
        retry = status >= 500;
        return "the server answered " + std::to_string(status) +
               (h.ReasonPhrase().empty() ? std::string() : " " + h.ReasonPhrase());
    }
    if (code != 0) {
        retry = code != httperrProxyRefused && code != httperrTooManyRelocations && code != httperrInvalidRequest &&
                code != httperrRangeMismatch;
        return h.FailureText();
    }
    if (status < 200)
        return "no answer from the server";
    return std::string();
}

void THlsTransfer::RequestDone(int conn)
{
    TConn& c = *FConns[static_cast<std::size_t>(conn)];
    if (!c.Busy)
        return;
    c.Busy = false;
    if (!FRunning)
        return;
    if (c.Piece >= 0)
        return PieceDone(conn);
    THttpCli& h = *c.Http;
    bool retry = false;
    std::string problem = c.TooLarge ? "larger than " + std::to_string(MaxPlaylistBytes >> 20) + " MiB"
                                     : AnswerProblem(h, retry);
    if (!problem.empty()) {
        // A playlist or key broken on the way is asked for again after the same pauses.
        const int count = static_cast<int>(FRetryDelays.size());
        if (!retry || FTextTries >= count)
            return Fail(FTextWhat + " " + h.Location() + ": " + problem);
        const std::uint32_t pause = FRetryDelays[static_cast<std::size_t>(FTextTries++)];
        LogLine("hls", FTextWhat + " " + FTextUrl + ": " + problem + "; again in " + std::to_string(pause) + " ms");
        if (!FTextPause) {
            FTextPause = std::make_unique<QTimer>();
            FTextPause->setSingleShot(true);
            QObject::connect(FTextPause.get(), &QTimer::timeout, [this] {
                Application::Guard([this] {
                    if (!FRunning)
                        return;
                    if (OnAttempt)
                        OnAttempt(FName, 0);
                    Request(0, FTextUrl, -1, -1);
                });
            });
        }
        FTextPause->start(static_cast<int>(pause));
        if (OnWaiting)
            OnWaiting(static_cast<int>((pause + 999) / 1000), FTextTries, count);
        return;
    }
    const std::string body = std::move(c.Body);
    c.Body.clear();
    // Relative addresses in a playlist are relative to where it was found after relocations.
    (this->*FTextNext)(body, h.Location());
}

// ---- playlists and keys -----------------------------------------------------------------------

void THlsTransfer::Start(const std::string& playlistUrl, const std::string& finalPath)
{
    Halt();
    FContext = std::make_unique<QObject>();
    FPlaylistUrl = playlistUrl;
    FFinalPath = finalPath;
    FName = ExtractFileName(finalPath);
    FVideoPart.clear();
    FAudioPart.clear();
    FMaster = THlsPlaylist();
    FAudioUrl.clear();
    FMedia.assign(1, THlsPlaylist());
    FMediaUrls.assign(1, std::string());
    FKeyUrls.clear();
    FKeys.clear();
    FKeyNext = 0;
    FTracks.clear();
    FTrack = 0;
    FReady.clear();
    FTries.clear();
    FTotal = -1;
    FExactTotal = false;
    FWaitShown = false;
    // Clients of an earlier stream are freed here, from the loop, never inside their own events.
    FConns.clear();
    for (int i = 0; i < FConnections; ++i)
        FConns.push_back(std::make_unique<TConn>());
    FRunning = true;
    if (OnAttempt)
        OnAttempt(FName, 0);
    FetchText("the playlist", playlistUrl, &THlsTransfer::PlaylistRead);
}

void THlsTransfer::FetchText(const std::string& what, const std::string& url, TTextDone next)
{
    FTextWhat = what;
    FTextUrl = url;
    FTextNext = next;
    FTextTries = 0;
    FConns[0]->Piece = -1;
    Request(0, url, -1, -1);
}

void THlsTransfer::PlaylistRead(const std::string& body, const std::string& finalUrl)
{
    THlsParse parse = ParseHlsPlaylist(body, finalUrl);
    if (!parse.Ok)
        return Fail("the playlist " + finalUrl + " is malformed: line " + std::to_string(parse.Line) + ": " +
                    parse.Error);
    if (!parse.Playlist.Master) {
        if (TakeMedia(body, finalUrl, 0))
            NextKey();
        return;
    }
    FMaster = std::move(parse.Playlist);
    const int pick = ChooseHlsVariant(FMaster.Variants, FQuality);
    if (pick < 0)
        return Fail("the playlist " + finalUrl + " names no variant");
    const THlsVariant& variant = FMaster.Variants[static_cast<std::size_t>(pick)];
    if (!variant.AudioGroup.empty())
        if (const THlsRendition* audio = ChooseHlsAudio(FMaster, variant.AudioGroup))
            FAudioUrl = audio->Uri;
    LogDebug("hls", FName + ": variant " + std::to_string(pick + 1) + " of " + std::to_string(FMaster.Variants.size()) +
                        " (" + std::to_string(variant.Height) + " lines, " + std::to_string(variant.Bandwidth) +
                        " bit/s)" + (FAudioUrl.empty() ? "" : ", separate audio"));
    FetchText("the variant playlist", variant.Uri, &THlsTransfer::VariantRead);
}

void THlsTransfer::VariantRead(const std::string& body, const std::string& finalUrl)
{
    if (!TakeMedia(body, finalUrl, 0))
        return;
    if (!FAudioUrl.empty())
        return FetchText("the audio playlist", FAudioUrl, &THlsTransfer::AudioRead);
    NextKey();
}

void THlsTransfer::AudioRead(const std::string& body, const std::string& finalUrl)
{
    if (TakeMedia(body, finalUrl, 1))
        NextKey();
}

// A media playlist for track (0 video, 1 audio): refused when it is not a whole video this
// program can put together.
bool THlsTransfer::TakeMedia(const std::string& body, const std::string& finalUrl, int track)
{
    THlsParse parse = ParseHlsPlaylist(body, finalUrl);
    if (!parse.Ok) {
        Fail("the playlist " + finalUrl + " is malformed: line " + std::to_string(parse.Line) + ": " + parse.Error);
        return false;
    }
    THlsPlaylist& pl = parse.Playlist;
    if (pl.Master) {
        Fail("the playlist " + finalUrl + " is a master playlist where a media playlist belongs");
        return false;
    }
    if (!pl.EndList) {
        Fail("live streams are not supported");
        return false;
    }
    if (pl.Segments.empty()) {
        Fail("the playlist " + finalUrl + " lists no segments");
        return false;
    }
    auto usable = [&](int key) {
        if (key < 0)
            return true;
        const THlsKey& k = pl.Keys[static_cast<std::size_t>(key)];
        if (k.Method != THlsKeyMethod::Aes128) {
            Fail("the stream is protected (" + k.MethodText + ")");
            return false;
        }
        if (std::find(FKeyUrls.begin(), FKeyUrls.end(), k.Uri) == FKeyUrls.end())
            FKeyUrls.push_back(k.Uri);
        return true;
    };
    for (const THlsSegment& s : pl.Segments)
        if (!usable(s.Key))
            return false;
    for (const THlsMap& m : pl.Maps)
        if (!usable(m.Key))
            return false;
    if (FMedia.size() <= static_cast<std::size_t>(track)) {
        FMedia.resize(static_cast<std::size_t>(track) + 1);
        FMediaUrls.resize(static_cast<std::size_t>(track) + 1);
    }
    FMedia[static_cast<std::size_t>(track)] = std::move(pl);
    FMediaUrls[static_cast<std::size_t>(track)] = finalUrl;
    return true;
}

void THlsTransfer::NextKey()
{
    if (FKeyNext < FKeyUrls.size())
        return FetchText("the key", FKeyUrls[FKeyNext], &THlsTransfer::KeyRead);
    BeginSegments();
}

void THlsTransfer::KeyRead(const std::string& body, const std::string& finalUrl)
{
    if (body.size() != 16)
        return Fail("the key " + finalUrl + " is " + std::to_string(body.size()) + " bytes long, not 16");
    FKeys.push_back(body);
    ++FKeyNext;
    NextKey();
}

// ---- segments ---------------------------------------------------------------------------------

void THlsTransfer::BeginSegments()
{
    for (std::size_t t = 0; t < FMedia.size(); ++t) {
        const THlsPlaylist& pl = FMedia[t];
        TTrack track;
        track.PartPath = t == 0 ? PartPathOf(FFinalPath) : AudioPartOf(FFinalPath);
        auto keyIndex = [&](int key) {
            if (key < 0)
                return -1;
            const std::string& uri = pl.Keys[static_cast<std::size_t>(key)].Uri;
            return static_cast<int>(std::find(FKeyUrls.begin(), FKeyUrls.end(), uri) - FKeyUrls.begin());
        };
        int lastMap = -1;
        for (const THlsSegment& s : pl.Segments) {
            // An initialization section goes before the first fragment that uses it.
            if (s.Map >= 0 && s.Map != lastMap) {
                const THlsMap& m = pl.Maps[static_cast<std::size_t>(s.Map)];
                TPiece p{m.Uri, m.Offset, m.Length, keyIndex(m.Key), {}};
                if (m.Key >= 0)
                    p.Iv = pl.Keys[static_cast<std::size_t>(m.Key)].Iv; // the reader demands one
                track.Pieces.push_back(p);
                lastMap = s.Map;
            }
            TPiece p{s.Uri, s.Offset, s.Length, keyIndex(s.Key), {}};
            if (s.Key >= 0)
                p.Iv = HlsSegmentIv(pl.Keys[static_cast<std::size_t>(s.Key)], s.Sequence);
            track.Pieces.push_back(p);
        }
        FTracks.push_back(std::move(track));
    }
    FVideoPart = FTracks[0].PartPath;
    FAudioPart = FTracks.size() > 1 ? FTracks[1].PartPath : std::string();
    // The total is known exactly when every piece names its byte range.
    FTotal = 0;
    for (const TTrack& t : FTracks)
        for (const TPiece& p : t.Pieces)
            FTotal = FTotal >= 0 && p.Length >= 0 ? FTotal + p.Length : -1;
    FExactTotal = FTotal >= 0;
    if (FExactTotal && OnSize)
        OnSize(FTotal);
    Resume();
    FRateTick = GetTickCount();
    FRateBytes = 0;
    for (const TTrack& t : FTracks)
        FRateBytes += t.Bytes;
    while (FTrack < FTracks.size() && FTracks[FTrack].Written == FTracks[FTrack].Pieces.size())
        ++FTrack;
    if (FTrack == FTracks.size())
        return Succeed();
    if (!OpenTrack())
        return;
    Progress();
    Assign();
}

// What an earlier run wrote, by its .meta: "hls <playlist>" and one "track <n> <count> <written>
// <bytes>" line per track. Only the same playlist with the same segments continues.
void THlsTransfer::Resume()
{
    std::ifstream in(PartMetaPathOf(FFinalPath));
    std::string line;
    if (!std::getline(in, line) || line != "hls " + FPlaylistUrl)
        return;
    std::vector<std::pair<std::size_t, std::int64_t>> kept(FTracks.size(), {0, 0});
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string word;
        std::size_t n = 0, count = 0, written = 0;
        long long bytes = 0;
        if (!(fields >> word >> n >> count >> written >> bytes) || word != "track" || n >= FTracks.size() ||
            count != FTracks[n].Pieces.size() || written > count || bytes < 0 ||
            (written > 0 && RegularFileSize(FTracks[n].PartPath) < bytes))
            return;
        kept[n] = {written, bytes};
    }
    for (std::size_t n = 0; n < FTracks.size(); ++n) {
        FTracks[n].Written = kept[n].first;
        FTracks[n].Bytes = kept[n].second;
    }
    LogDebug("hls", FName + ": resumed after " + std::to_string(kept[0].first) + " segments");
}

void THlsTransfer::SaveMeta(bool now)
{
    if (FTracks.empty())
        return;
    const std::uint32_t tick = GetTickCount();
    if (!now && tick - FMetaTick < kMetaEveryMs)
        return;
    FMetaTick = tick;
    const std::string meta = PartMetaPathOf(FFinalPath);
    const std::string temp = meta + ".new";
    {
        std::ofstream out(temp, std::ios::trunc);
        out << "hls " << FPlaylistUrl << "\n";
        for (std::size_t n = 0; n < FTracks.size(); ++n)
            out << "track " << n << " " << FTracks[n].Pieces.size() << " " << FTracks[n].Written << " "
                << FTracks[n].Bytes << "\n";
        if (!out.flush()) {
            LogLine("hls", "cannot write " + temp + ": the next run starts the stream over");
            return;
        }
    }
    std::rename(temp.c_str(), meta.c_str());
}

bool THlsTransfer::OpenTrack()
{
    TTrack& t = FTracks[FTrack];
    try {
        if (t.Written > 0) {
            FFile = std::make_unique<TFileStream>(t.PartPath, fmOpenReadWrite | fmShareExclusive);
            FFile->SetSize(t.Bytes);
            FFile->Seek(t.Bytes, soBeginning);
        } else {
            t.Bytes = 0;
            FFile = std::make_unique<TFileStream>(t.PartPath, fmCreate | fmShareExclusive);
        }
    } catch (const std::exception& e) {
        Fail(e.what(), true);
        return false;
    }
    FNextPiece = t.Written;
    return true;
}

std::string THlsTransfer::PieceName(std::size_t piece) const
{
    const TTrack& t = FTracks[FTrack];
    return std::string(FTrack > 0 ? "audio " : "") + "segment " + std::to_string(piece + 1) + " of " +
           std::to_string(t.Pieces.size()) + " (" + t.Pieces[piece].Url + ")";
}

// Free connections take the next pieces, at most a few per connection ahead of the one the file
// waits for.
void THlsTransfer::Assign()
{
    const TTrack& t = FTracks[FTrack];
    const std::size_t window = 2 * FConns.size() + 2;
    for (std::size_t k = 0; k < FConns.size() && FRunning; ++k) {
        TConn& c = *FConns[k];
        if (c.Busy || c.Piece >= 0)
            continue;
        if (FNextPiece >= t.Pieces.size() || FNextPiece >= t.Written + window)
            return;
        c.Piece = static_cast<int>(FNextPiece++);
        const TPiece& p = t.Pieces[static_cast<std::size_t>(c.Piece)];
        Request(static_cast<int>(k), p.Url, p.Offset, p.Length);
    }
}

void THlsTransfer::PieceDone(int conn)
{
    TConn& c = *FConns[static_cast<std::size_t>(conn)];
    const std::size_t piece = static_cast<std::size_t>(c.Piece);
    const TPiece& p = FTracks[FTrack].Pieces[piece];
    THttpCli& h = *c.Http;
    bool retry = false;
    const std::string problem = c.TooLarge ? "larger than " + std::to_string(MaxSegmentBytes >> 20) + " MiB"
                                           : AnswerProblem(h, retry);
    if (!problem.empty())
        return PieceFailed(conn, problem, retry);
    std::string body = std::move(c.Body);
    c.Body.clear();
    if (p.Length >= 0) {
        // A server that ignores the range sends the whole resource: the range is cut out of it.
        const std::int64_t size = static_cast<std::int64_t>(body.size());
        const std::int64_t from = h.StatusCode() == 206 ? 0 : p.Offset;
        if (size < from + p.Length)
            return PieceFailed(conn,
                               "the byte range " + std::to_string(p.Length) + "@" + std::to_string(p.Offset) +
                                   " lies past the end of the resource (" + std::to_string(size) + " bytes)",
                               false);
        if (from > 0 || size > p.Length)
            body = body.substr(static_cast<std::size_t>(from), static_cast<std::size_t>(p.Length));
    }
    if (p.Key >= 0) {
        THlsDecryptor cipher;
        std::string plain;
        if (!cipher.Begin(FKeys[static_cast<std::size_t>(p.Key)], p.Iv) ||
            !cipher.Update(body.data(), body.size(), plain) || !cipher.Finish(plain))
            return PieceFailed(conn, cipher.Error(), false);
        // A wrong key still gives valid padding now and then: what came out must look like a
        // segment (MPEG-TS packets or MP4 boxes), or it is noise.
        if (!LooksLikeMedia(plain))
            return PieceFailed(conn, "the segment does not decrypt (wrong key or cut short)", false);
        body = std::move(plain);
    }
    c.Piece = -1;
    FTries.erase(piece);
    FReady[piece] = std::move(body);
    WriteReady();
    if (FRunning)
        Assign();
}

void THlsTransfer::PieceFailed(int conn, const std::string& reason, bool retry)
{
    TConn& c = *FConns[static_cast<std::size_t>(conn)];
    const std::size_t piece = static_cast<std::size_t>(c.Piece);
    int& tries = FTries[piece];
    const int count = static_cast<int>(FRetryDelays.size());
    if (!retry || tries >= count)
        return Fail(PieceName(piece) + ": " + reason +
                    (retry ? " (" + std::to_string(tries + 1) + (tries == 0 ? " try)" : " tries)") : std::string()));
    const std::uint32_t pause = FRetryDelays[static_cast<std::size_t>(tries)];
    ++tries;
    LogLine("hls", PieceName(piece) + ": " + reason + "; again in " + std::to_string(pause) + " ms");
    if (!c.Pause) {
        c.Pause = std::make_unique<QTimer>();
        c.Pause->setSingleShot(true);
        QObject::connect(c.Pause.get(), &QTimer::timeout, FContext.get(), [this, conn] {
            Application::Guard([this, conn] {
                TConn& again = *FConns[static_cast<std::size_t>(conn)];
                if (!FRunning || again.Piece < 0)
                    return;
                if (FWaitShown && OnAttempt) {
                    FWaitShown = false;
                    std::int64_t bytes = 0;
                    for (const TTrack& t : FTracks)
                        bytes += t.Bytes;
                    OnAttempt(FName, bytes);
                }
                const TPiece& p = FTracks[FTrack].Pieces[static_cast<std::size_t>(again.Piece)];
                Request(conn, p.Url, p.Offset, p.Length);
            });
        });
    }
    c.Pause->start(static_cast<int>(pause));
    bool othersBusy = false;
    for (const auto& other : FConns)
        othersBusy |= other->Busy;
    if (!othersBusy && OnWaiting) {
        FWaitShown = true;
        OnWaiting(static_cast<int>((pause + 999) / 1000), tries, count);
    }
}

// The pieces whose turn has come go into the file, in playlist order.
void THlsTransfer::WriteReady()
{
    TTrack& t = FTracks[FTrack];
    for (auto it = FReady.find(t.Written); it != FReady.end(); it = FReady.find(t.Written)) {
        try {
            FFile->WriteBuffer(it->second.data(), static_cast<std::int64_t>(it->second.size()));
        } catch (const EWriteError& e) {
            const std::string reason = e.Reason().empty() ? std::string(e.what()) : e.Reason();
            return Fail("cannot write " + ExtractFileName(t.PartPath) + ": " + reason);
        }
        t.Bytes += static_cast<std::int64_t>(it->second.size());
        ++t.Written;
        FReady.erase(it);
    }
    Progress();
    if (t.Written < t.Pieces.size()) {
        SaveMeta(false);
        return;
    }
    FFile.reset();
    SaveMeta(true);
    ++FTrack;
    if (FTrack == FTracks.size())
        return Succeed();
    if (OpenTrack())
        Assign();
}

void THlsTransfer::Progress()
{
    std::int64_t bytes = 0;
    std::size_t written = 0, pieces = 0;
    for (const TTrack& t : FTracks) {
        bytes += t.Bytes;
        written += t.Written;
        pieces += t.Pieces.size();
    }
    // Without byte ranges the total is projected from the segments written so far.
    std::int64_t total = FTotal;
    if (!FExactTotal && written > 0) {
        total = written == pieces ? bytes
                                  : static_cast<std::int64_t>(static_cast<double>(bytes) / static_cast<double>(written) *
                                                              static_cast<double>(pieces));
        if (total != FTotal) {
            FTotal = total;
            if (OnSize)
                OnSize(total);
        }
    }
    if (!OnProgress)
        return;
    const std::uint32_t tick = GetTickCount();
    if (tick - FRateTick >= kRateEveryMs) {
        const TRateSample sample{bytes - FRateBytes, tick - FRateTick};
        FRateTick = tick;
        FRateBytes = bytes;
        OnProgress(bytes, total, &sample);
    } else {
        OnProgress(bytes, total, nullptr);
    }
}

// ---- the end ----------------------------------------------------------------------------------

void THlsTransfer::Halt()
{
    FRunning = false;
    if (FTextPause)
        FTextPause->stop();
    for (auto& conn : FConns) {
        TConn& c = *conn;
        if (c.Pause)
            c.Pause->stop();
        if (c.Busy && c.Http) {
            c.Http->OnRequestDone = nullptr;
            c.Http->OnDocData = nullptr;
            c.Http->OnDocBegin = nullptr;
            c.Busy = false;
            c.Http->Abort();
        }
        c.Piece = -1;
        c.Body.clear();
    }
    FReady.clear();
    FFile.reset();
}

void THlsTransfer::Stop()
{
    if (!FRunning)
        return;
    Halt();
    SaveMeta(true);
    // Nothing posted before the stop reaches the owner after it.
    FContext = std::make_unique<QObject>();
}

void THlsTransfer::Fail(const std::string& reason, bool saveFailed)
{
    if (!FRunning)
        return;
    Halt();
    SaveMeta(true);
    TTransferResult r;
    r.Reason = reason;
    r.SaveFailed = saveFailed;
    End(r);
}

void THlsTransfer::Succeed()
{
    Halt();
    SaveMeta(true);
    TTransferResult r;
    r.Done = true;
    End(r);
}

void THlsTransfer::End(TTransferResult result)
{
    QTimer::singleShot(0, FContext.get(), [this, result] {
        Application::Guard([this, &result] {
            if (OnEnded)
                OnEnded(result);
        });
    });
}

} // namespace cw
