#include "engine/StreamTransfer.h"

#include "engine/DownloadText.h"
#include "engine/core/PartFile.h"
#include "net/http/HttpProt.h"
#include "platform/Application.h"
#include "platform/Log.h"
#include "platform/Text.h"

#include <QObject>
#include <QTimer>

#include <algorithm>
#include <fstream>
#include <utility>

namespace cw {
namespace {

// A key is 16 bytes; an answer much longer than that is no key, and is not read on.
constexpr std::size_t kMaxKeyBytes = 1024;

std::string AudioPartOf(const std::string& finalPath)
{
    return finalPath + ".audio.part";
}

// Whether r's initialization section is another than the one last put before a fragment.
bool NewInit(const TDashRepresentation& r, const TDashSegment& last)
{
    return !r.Init.Url.empty() &&
           (r.Init.Url != last.Url || r.Init.Offset != last.Offset || r.Init.Length != last.Length);
}

} // namespace

TStreamTransfer::TStreamTransfer(THttpCli& settings)
    : FSettings(settings), FContext(std::make_unique<QObject>()), FCore(settings), FRetryDelays(DefaultRetryDelaysMs()),
      FText(settings, "_hls")
{
    FText.OnEnded = [this](const TTextResult& result) { TextEnded(result); };
    FText.OnWaiting = [this](int left, int attempt, int count) {
        if (OnWaiting)
            OnWaiting(left, attempt, count);
    };
    FText.OnRetry = [this] {
        if (OnAttempt)
            OnAttempt(FName, 0);
    };
    ForwardProgressEvents(FCore, *this, FName);
    FCore.OnEnded = [this](const TOutcome& outcome) {
        if (outcome.Fail == fkMismatch && FResumed && !FStartedOver) {
            // A kept segment is not what the server now sends: the stream starts over, once.
            LogLine("hls", FName + ": " + outcome.Words + "; starting over");
            FStartedOver = true;
            QTimer::singleShot(0, FContext.get(), [this] {
                Application::Guard([this] {
                    RemoveParts(FFinalPath);
                    StartSegments(FCore.TakeSegments(), FTrackCount);
                });
            });
            return;
        }
        FRunning = false;
        if (OnEnded)
            OnEnded(outcome);
    };
}

TStreamTransfer::~TStreamTransfer()
{
    Halt();
}

void TStreamTransfer::RemoveParts(const std::string& finalPath)
{
    RemoveFileIfAny(PartPathOf(finalPath));
    RemoveFileIfAny(AudioPartOf(finalPath));
    RemoveFileIfAny(PartMetaPathOf(finalPath));
}

bool TStreamTransfer::FragmentedMp4() const
{
    std::ifstream in(FVideoPart, std::ios::binary);
    char head[8] = {};
    if (!in.read(head, sizeof head))
        return false;
    const std::string box(head + 4, 4);
    return box == "ftyp" || box == "styp" || box == "moov" || box == "moof";
}

// ---- playlists and keys: one at a time on a fetch of their own --------------------------------

void TStreamTransfer::FetchText(const std::string& what, const std::string& url, TTextDone next, std::int64_t offset,
                                std::int64_t length)
{
    TTextRequest rq;
    rq.What = what;
    rq.Url = url;
    const bool key = next == &TStreamTransfer::KeyRead;
    rq.Limit = key ? kMaxKeyBytes : MaxPlaylistBytes;
    rq.LimitWords = key ? std::to_string(kMaxKeyBytes) + " bytes" : std::to_string(MaxPlaylistBytes >> 20) + " MiB";
    rq.Offset = offset;
    rq.Length = offset >= 0 ? length : -1;
    FTextNext = next;
    FText.Start(std::move(rq));
}

void TStreamTransfer::TextEnded(const TTextResult& result)
{
    if (!FRunning)
        return;
    if (!result.Ok)
        return Fail(result.Words, result.Fail);
    // Relative addresses in a playlist are relative to where it was found after relocations.
    (this->*FTextNext)(result.Body, result.FinalUrl);
}

// ---- playlists and keys -----------------------------------------------------------------------

void TStreamTransfer::GiveFirstText(std::string body, std::string finalUrl)
{
    TTextResult given;
    given.Ok = true;
    given.Body = std::move(body);
    given.FinalUrl = std::move(finalUrl);
    FFirstText = std::move(given);
}

void TStreamTransfer::Start(const std::string& playlistUrl, const std::string& finalPath)
{
    std::optional<TTextResult> fetched = std::exchange(FFirstText, std::nullopt);
    Halt();
    FContext = std::make_unique<QObject>();
    FPlaylistUrl = playlistUrl;
    FFinalPath = finalPath;
    FResumed = false;
    FStartedOver = false;
    FName = ExtractFileName(finalPath);
    FVideoPart.clear();
    FAudioPart.clear();
    FSubtitles.clear();
    FHls = THlsState();
    FHls.Media.assign(1, THlsPlaylist());
    FHls.MediaUrls.assign(1, std::string());
    FJoinExtension.clear();
    FDash = TDashState();
    FRunning = true;
    if (OnAttempt)
        OnAttempt(FName, 0);
    // What the address is becomes known from its answer; until then its name is the best guess.
    const std::string path = playlistUrl.substr(0, playlistUrl.find_first_of("?#"));
    const bool manifest = path.size() > 4 && text::EndsWithNoCase(path, ".mpd");
    if (fetched && fetched->FinalUrl == playlistUrl) {
        // Read once already: its text goes on from the event loop, never inside Start.
        FTextNext = &TStreamTransfer::PlaylistRead;
        QTimer::singleShot(0, FContext.get(), [this, text = std::move(*fetched)] {
            Application::Guard([this, &text] { TextEnded(text); });
        });
        return;
    }
    FetchText(manifest ? "the manifest" : "the playlist", playlistUrl, &TStreamTransfer::PlaylistRead);
}

void TStreamTransfer::PlaylistRead(const std::string& body, const std::string& finalUrl)
{
    if (LooksLikeDashManifest(body))
        return ManifestRead(body, finalUrl);
    THlsParse parse = ParseHlsPlaylist(body, finalUrl);
    if (!parse.Ok)
        return Fail("the playlist " + finalUrl + " is malformed: line " + std::to_string(parse.Line) + ": " +
                    parse.Error);
    if (!parse.Playlist.Master) {
        if (TakeMedia(body, finalUrl, 0))
            NextKey();
        return;
    }
    FHls.Master = std::move(parse.Playlist);
    const int pick = ChooseHlsVariant(FHls.Master.Variants, FQuality);
    if (pick < 0)
        return Fail("the playlist " + finalUrl + " names no variant");
    const THlsVariant& variant = FHls.Master.Variants[static_cast<std::size_t>(pick)];
    if (!variant.AudioGroup.empty())
        if (const THlsRendition* audio = ChooseHlsAudio(FHls.Master, variant.AudioGroup))
            FHls.AudioUrl = audio->Uri;
    FSubtitles = HlsSubtitleSources(FHls.Master, variant);
    LogDebug("hls", FName + ": variant " + std::to_string(pick + 1) + " of " +
                        std::to_string(FHls.Master.Variants.size()) + " (" + std::to_string(variant.Height) +
                        " lines, " + std::to_string(variant.Bandwidth) + " bit/s)" +
                        (FHls.AudioUrl.empty() ? "" : ", separate audio"));
    FetchText("the variant playlist", variant.Uri, &TStreamTransfer::VariantRead);
}

void TStreamTransfer::VariantRead(const std::string& body, const std::string& finalUrl)
{
    if (!TakeMedia(body, finalUrl, 0))
        return;
    if (!FHls.AudioUrl.empty())
        return FetchText("the audio playlist", FHls.AudioUrl, &TStreamTransfer::AudioRead);
    NextKey();
}

void TStreamTransfer::AudioRead(const std::string& body, const std::string& finalUrl)
{
    if (TakeMedia(body, finalUrl, 1))
        NextKey();
}

// A media playlist for track (0 video, 1 audio): refused when it is not a whole video this
// program can put together.
bool TStreamTransfer::TakeMedia(const std::string& body, const std::string& finalUrl, int track)
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
        if (std::find(FHls.KeyUrls.begin(), FHls.KeyUrls.end(), k.Uri) == FHls.KeyUrls.end())
            FHls.KeyUrls.push_back(k.Uri);
        return true;
    };
    for (const THlsSegment& s : pl.Segments)
        if (!usable(s.Key))
            return false;
    for (const THlsMap& m : pl.Maps)
        if (!usable(m.Key))
            return false;
    if (FHls.Media.size() <= static_cast<std::size_t>(track)) {
        FHls.Media.resize(static_cast<std::size_t>(track) + 1);
        FHls.MediaUrls.resize(static_cast<std::size_t>(track) + 1);
    }
    FHls.Media[static_cast<std::size_t>(track)] = std::move(pl);
    FHls.MediaUrls[static_cast<std::size_t>(track)] = finalUrl;
    return true;
}

void TStreamTransfer::NextKey()
{
    if (FHls.KeyNext < FHls.KeyUrls.size())
        return FetchText("the key", FHls.KeyUrls[FHls.KeyNext], &TStreamTransfer::KeyRead);
    BeginSegments();
}

void TStreamTransfer::KeyRead(const std::string& body, const std::string& finalUrl)
{
    if (body.size() != 16)
        return Fail("the key " + finalUrl + " is " + std::to_string(body.size()) + " bytes long, not 16");
    FHls.Keys.push_back(body);
    ++FHls.KeyNext;
    NextKey();
}

// ---- DASH: the manifest and the segment indexes ---------------------------------------------

void TStreamTransfer::ManifestRead(const std::string& body, const std::string& finalUrl)
{
    TDashParse parse = ParseDashManifest(body, finalUrl);
    if (parse.Status == TDashStatus::Malformed)
        return Fail("the manifest " + finalUrl + " is malformed: line " + std::to_string(parse.Line) + ": " +
                    parse.Error);
    if (!parse.Ok())
        return Fail(parse.Error); // live, or protected
    FDash.Manifest = std::move(parse.Manifest);
    FSubtitles = DashSubtitleSources(FDash.Manifest);
    const TDashChoice choice = ChooseDashTracks(FDash.Manifest, FQuality);
    if (!choice.Error.empty())
        return Fail("the manifest " + finalUrl + ": " + choice.Error);
    const std::string ext = DashJoinExtension(choice);
    FJoinExtension = ext == ".mp4" ? std::string() : ext;
    FDash.Tracks.clear();
    if (!choice.Video.empty())
        FDash.Tracks.push_back(choice.Video);
    if (!choice.Audio.empty())
        FDash.Tracks.push_back(choice.Audio);
    for (const auto& track : FDash.Tracks)
        for (const TDashRepresentation* r : track)
            if (r->Indexed)
                FDash.IndexJobs.push_back(r);
    const TDashRepresentation& first = *FDash.Tracks[0][0];
    LogDebug("dash", FName + ": " + std::to_string(FDash.Manifest.Periods.size()) + " period(s), " +
                         (choice.Video.empty() ? std::string("audio only")
                                               : "video " + first.Id + " (" + std::to_string(first.Height) +
                                                     " lines, " + std::to_string(first.Bandwidth) + " bit/s)") +
                         (choice.Audio.empty() || choice.Video.empty() ? "" : ", audio " + choice.Audio[0]->Id));
    FDash.IndexSegments.assign(FDash.IndexJobs.size(), {});
    FDash.IndexNext = 0;
    NextIndex();
}

void TStreamTransfer::NextIndex()
{
    if (FDash.IndexNext >= FDash.IndexJobs.size())
        return BeginDashSegments();
    const TDashRepresentation& r = *FDash.IndexJobs[FDash.IndexNext];
    if (r.IndexLength > MaxIndexBytes)
        return Fail("the segment index of " + r.IndexUrl + " is larger than " + std::to_string(MaxIndexBytes >> 20) +
                    " MiB");
    FetchText("the segment index of", r.IndexUrl, &TStreamTransfer::IndexRead, r.IndexOffset, r.IndexLength);
}

void TStreamTransfer::IndexRead(const std::string& body, const std::string& finalUrl)
{
    const TDashRepresentation& r = *FDash.IndexJobs[FDash.IndexNext];
    if (static_cast<std::int64_t>(body.size()) < r.IndexLength)
        return Fail("the segment index of " + finalUrl + " is cut short (" + std::to_string(body.size()) + " of " +
                    std::to_string(r.IndexLength) + " bytes)");
    TSidxRead index = ReadSegmentIndex(body, r.IndexOffset);
    if (!index.Ok)
        return Fail("the segment index of " + finalUrl + " cannot be read: " + index.Error);
    // Indexes add up over the periods: a stream past what it may fetch ends here, not after
    // every index is in memory (each lists one segment at least: no more indexes than that).
    std::size_t listed = index.Segments.size();
    for (std::size_t i = 0; i < FDash.IndexNext && listed <= MaxStreamSegments; ++i)
        listed += FDash.IndexSegments[i].size();
    if (listed > MaxStreamSegments || FDash.IndexJobs.size() > MaxStreamSegments)
        return Fail("the stream has more than " + GroupedCount(static_cast<std::int64_t>(MaxStreamSegments)) +
                    " segments; at most " + GroupedCount(static_cast<std::int64_t>(MaxStreamSegments)) +
                    " are fetched");
    FDash.IndexSegments[FDash.IndexNext] = std::move(index.Segments);
    ++FDash.IndexNext;
    NextIndex();
}

// Every track's representations, period after period: the initialization section (once while
// consecutive periods share it), then the media segments. Only here are a template's segments
// listed, and only for the tracks fetched: how many there are is known first, and a stream past
// MaxStreamSegments is refused before any address is filled in.
// The names of a track's segments (from first on) in failure lines: media segments are counted
// as the user would count them; an initialization section is named as such.
static void NameSegments(std::vector<TSegmentSource>& segments, std::size_t first, bool audio)
{
    const std::size_t count =
        static_cast<std::size_t>(std::count_if(segments.begin() + static_cast<std::ptrdiff_t>(first), segments.end(),
                                               [](const TSegmentSource& s) { return !s.Init; }));
    std::size_t n = 0;
    for (std::size_t i = first; i < segments.size(); ++i) {
        TSegmentSource& s = segments[i];
        s.Name = s.Init ? std::string(audio ? "the audio track's " : "the ") + "initialization section (" + s.Url + ")"
                        : std::string(audio ? "audio " : "") + "segment " + std::to_string(++n) + " of " +
                              std::to_string(count) + " (" + s.Url + ")";
    }
}

// The address of a segment at another server: url with the directory of its base replaced by
// that of other. "" when url does not lie below its base's directory (an absolute reference
// elsewhere, or "../"), so that no address is made up.
static std::string RebasedAddress(const std::string& url, const std::string& base, const std::string& other)
{
    const auto directory = [](const std::string& a) {
        const std::string path = a.substr(0, a.find_first_of("?#"));
        const std::size_t scheme = path.find("://");
        const std::size_t slash = path.rfind('/');
        return scheme == std::string::npos || slash == std::string::npos || slash < scheme + 3
                   ? std::string()
                   : path.substr(0, slash + 1);
    };
    const std::string from = directory(base), to = directory(other);
    if (from.empty() || to.empty() || url.compare(0, from.size(), from) != 0)
        return std::string();
    return to + url.substr(from.size());
}

// Where a representation's media times fall in the track, in seconds past those of the track's
// first representation: each period's media starts its own clock (at presentationTimeOffset),
// and plays from the period's start. Only fragmented MP4 is moved (its segments say their decode
// times in tfdt boxes); WebM and anything else go into the track as they come.
static double PeriodShift(const TDashManifest& dash, const TDashRepresentation& first, const TDashRepresentation& r)
{
    const auto placed = [&dash](const TDashRepresentation& x) {
        for (const TDashPeriod& p : dash.Periods)
            for (const TDashRepresentation& y : p.Representations)
                if (&y == &x)
                    return p.Start - static_cast<double>(x.PresentationTimeOffset) / static_cast<double>(x.Timescale);
        return 0.0;
    };
    if (&first == &r || r.MimeType.find("mp4") == std::string::npos)
        return 0;
    return placed(r) - placed(first);
}

// The segments the representations chosen make, each initialization section counted once
// before the first fragment that uses it.
std::int64_t TStreamTransfer::DashSegmentCount() const
{
    std::int64_t total = 0;
    for (const auto& reps : FDash.Tracks) {
        TDashSegment lastInit;
        for (const TDashRepresentation* r : reps) {
            if (NewInit(*r, lastInit)) {
                ++total;
                lastInit = r->Init;
            }
            // Each count is at most MaxDashSegments, and there are fewer representations than
            // elements in a manifest: the sum stays far inside 64 bits.
            total += r->Indexed ? static_cast<std::int64_t>(IndexedSegments(r).size()) : r->Segments.Count();
        }
    }
    return total;
}

const std::vector<TDashSegment>& TStreamTransfer::IndexedSegments(const TDashRepresentation* r) const
{
    return FDash.IndexSegments[static_cast<std::size_t>(std::find(FDash.IndexJobs.begin(), FDash.IndexJobs.end(), r) -
                                                        FDash.IndexJobs.begin())];
}

void TStreamTransfer::BeginDashSegments()
{
    const std::int64_t total = DashSegmentCount();
    if (total > static_cast<std::int64_t>(MaxStreamSegments))
        return Fail("the stream has " + GroupedCount(total) + " segments; at most " +
                    GroupedCount(static_cast<std::int64_t>(MaxStreamSegments)) + " are fetched");
    std::vector<TSegmentSource> segments;
    segments.reserve(static_cast<std::size_t>(total));
    std::size_t addressBytes = 0;
    for (std::size_t t = 0; t < FDash.Tracks.size(); ++t)
        if (!AddDashTrack(t, segments, addressBytes))
            return;
    StartSegments(std::move(segments), FDash.Tracks.size());
}

bool TStreamTransfer::AddDashTrack(std::size_t t, std::vector<TSegmentSource>& segments, std::size_t& addressBytes)
{
    const bool audioBeside = t > 0;
    const std::size_t first = segments.size();
    TDashSegment lastInit;
    const TDashRepresentation* rep = nullptr;
    auto add = [&](const std::string& url, std::int64_t offset, std::int64_t length, bool init = false) {
        addressBytes += url.size();
        segments.push_back(TSegmentSource{url, offset, length, -1, {}, static_cast<int>(t), {}, init, {}, 0});
        segments.back().TimeShift = init ? 0 : PeriodShift(FDash.Manifest, *FDash.Tracks[t].front(), *rep);
        for (const std::string& base : rep->AlternateBases)
            if (std::string other = RebasedAddress(url, rep->Base, base); !other.empty()) {
                addressBytes += other.size();
                segments.back().Alternates.push_back(std::move(other));
            }
    };
    for (const TDashRepresentation* r : FDash.Tracks[t]) {
        rep = r;
        if (NewInit(*r, lastInit)) {
            add(r->Init.Url, r->Init.Offset, r->Init.Length, true);
            lastInit = r->Init;
        }
        if (r->Indexed) {
            for (const TDashSegment& s : IndexedSegments(r))
                add(s.Url.empty() ? r->IndexUrl : s.Url, s.Offset, s.Length);
            continue;
        }
        for (std::int64_t i = 0; i < r->Segments.Count(); ++i) {
            const TDashSegment s = r->Segments.At(i);
            if (s.Url.empty()) {
                Fail("the manifest " + FPlaylistUrl + ": segment " + std::to_string(i + 1) + " of representation " +
                     r->Id + " has no address");
                return false;
            }
            add(s.Url, s.Offset, s.Length);
            // A template of long addresses: bounded as the addresses a manifest names are.
            if (addressBytes > MaxDashAddressBytes) {
                Fail("the stream's segment addresses take more than " + std::to_string(MaxDashAddressBytes >> 20) +
                     " MiB");
                return false;
            }
        }
    }
    NameSegments(segments, first, audioBeside);
    return true;
}

// ---- segments ----------------------------------------------------------------------------------

// The segments of every track, in playlist order, for the download core; an initialization
// section goes before the first fragment that uses it.
void TStreamTransfer::BeginSegments()
{
    // Each playlist holds at most MaxHlsSegments; with separate audio and a section before
    // segments the stream may still have more than it fetches.
    std::size_t total = 0;
    for (const THlsPlaylist& pl : FHls.Media) {
        int lastMap = -1;
        for (const THlsSegment& s : pl.Segments) {
            total += s.Map >= 0 && s.Map != lastMap ? 2 : 1;
            lastMap = s.Map >= 0 ? s.Map : lastMap;
        }
    }
    if (total > MaxStreamSegments)
        return Fail("the stream has " + GroupedCount(static_cast<std::int64_t>(total)) + " segments; at most " +
                    GroupedCount(static_cast<std::int64_t>(MaxStreamSegments)) + " are fetched");
    std::vector<TSegmentSource> segments;
    segments.reserve(total);
    for (std::size_t t = 0; t < FHls.Media.size(); ++t) {
        const THlsPlaylist& pl = FHls.Media[t];
        auto keyIndex = [&](int key) {
            if (key < 0)
                return -1;
            const std::string& uri = pl.Keys[static_cast<std::size_t>(key)].Uri;
            return static_cast<int>(std::find(FHls.KeyUrls.begin(), FHls.KeyUrls.end(), uri) - FHls.KeyUrls.begin());
        };
        std::vector<TSegmentSource> track;
        int lastMap = -1;
        for (const THlsSegment& s : pl.Segments) {
            if (s.Map >= 0 && s.Map != lastMap) {
                const THlsMap& m = pl.Maps[static_cast<std::size_t>(s.Map)];
                TSegmentSource p{m.Uri, m.Offset, m.Length, keyIndex(m.Key), {}, static_cast<int>(t), {}, true, {}, 0};
                if (m.Key >= 0)
                    p.Iv = pl.Keys[static_cast<std::size_t>(m.Key)].Iv; // the reader demands one
                track.push_back(p);
                lastMap = s.Map;
            }
            TSegmentSource p{s.Uri, s.Offset, s.Length, keyIndex(s.Key), {}, static_cast<int>(t), {}, false, {}, 0};
            if (s.Key >= 0)
                p.Iv = HlsSegmentIv(pl.Keys[static_cast<std::size_t>(s.Key)], s.Sequence);
            track.push_back(p);
        }
        NameSegments(track, 0, t > 0);
        segments.insert(segments.end(), track.begin(), track.end());
    }
    StartSegments(std::move(segments), FHls.Media.size());
}

void TStreamTransfer::StartSegments(std::vector<TSegmentSource> segments, std::size_t tracks)
{
    FResumed = false;
    FTrackCount = tracks;
    std::vector<std::string> parts;
    for (std::size_t t = 0; t < tracks; ++t)
        parts.push_back(t == 0 ? PartPathOf(FFinalPath) : AudioPartOf(FFinalPath));
    FVideoPart = parts[0];
    FAudioPart = parts.size() > 1 ? parts[1] : std::string();

    TResumeJournal journal;
    journal.Kind = jkStream;
    journal.Url = FPlaylistUrl;
    journal.Fingerprint = StreamFingerprint(segments);
    std::vector<std::size_t> keep(parts.size(), 0);
    const std::string metaPath = PartMetaPathOf(FFinalPath);
    ResumeFromJournal(metaPath, parts, journal, keep);
    FCore.SetConnections(FConnections);
    FCore.SetRetryDelays(FRetryDelays);
    FCore.StartStream(std::move(segments), FHls.Keys, parts, keep, journal, metaPath);
}

// The stream's identity: every segment's address, range, key and IV. A run that finds another
// list starts over: two versions of a stream are never joined.
std::string TStreamTransfer::StreamFingerprint(const std::vector<TSegmentSource>& segments) const
{
    TSha256 hash;
    // What the addresses do not say: the keys' bytes (a key replaced under the same address) and
    // what the manifest says of each representation taken (other codecs under the same names).
    for (const std::string& key : FHls.Keys)
        hash.Update("key " + Sha256Hex(key) + "\n");
    for (const auto& track : FDash.Tracks)
        for (const TDashRepresentation* r : track)
            hash.Update("representation " + r->Id + "\n" + r->MimeType + "\n" + r->Codecs + "\n" +
                        std::to_string(r->Bandwidth) + "\n" + std::to_string(r->Width) + "x" +
                        std::to_string(r->Height) + "\n");
    for (const TSegmentSource& s : segments) {
        const std::string key = s.Key >= 0 ? FHls.KeyUrls[static_cast<std::size_t>(s.Key)] : std::string();
        hash.Update(std::to_string(s.Track) + "\n" + s.Url + "\n" + std::to_string(s.Offset) + "\n" +
                    std::to_string(s.Length) + "\n" + key + "\n" +
                    std::string(reinterpret_cast<const char*>(s.Iv.data()), s.Iv.size()) + "\n");
    }
    return hash.HexDigest();
}

// What the journal of an earlier run of the same stream vouches for: the segments of each track
// kept whole (keep), its tracks, blocks and spans carried into journal. Any other journal is
// left to be replaced: the stream starts over.
void TStreamTransfer::ResumeFromJournal(const std::string& metaPath, const std::vector<std::string>& parts,
                                        TResumeJournal& journal, std::vector<std::size_t>& keep)
{
    std::string why;
    std::optional<TResumeJournal> kept = ReadJournal(metaPath, &why);
    if (!kept) {
        if (RegularFileSize(metaPath) >= 0)
            LogLine("hls", FName + ": the journal cannot be read (" + why + "); starting over");
        return;
    }
    if (kept->Kind != jkStream || kept->Url != journal.Url) {
        LogLine("hls", FName + ": the kept parts are of another address (" + kept->Url + "); starting over");
        return;
    }
    if (kept->Fingerprint != journal.Fingerprint || kept->Tracks.size() != parts.size()) {
        LogLine("hls", FName + ": the stream's segments changed since the last run; starting over");
        return;
    }
    kept->Blocks.resize(parts.size());
    kept->Spans.resize(parts.size());
    for (std::size_t t = 0; t < parts.size(); ++t) {
        TByteSet claimed;
        if (!kept->Tracks[t].empty() && kept->Tracks[t].back() > 0)
            claimed.Add(0, kept->Tracks[t].back());
        std::vector<std::string> log;
        const TByteSet verified = VerifiedBytes(parts[t], claimed, kept->Blocks[t], kept->Spans[t], -1, log);
        for (const std::string& line : log)
            LogLine("hls", line);
        keep[t] = IntactSegments(kept->Tracks[t], verified);
    }
    FResumed = keep[0] > 0 || (keep.size() > 1 && keep[1] > 0);
    journal.Tracks = kept->Tracks;
    journal.Blocks = kept->Blocks;
    journal.Spans = kept->Spans;
    LogDebug("hls", FName + ": resumed after " + std::to_string(keep[0]) + " segments");
}

// ---- the end ----------------------------------------------------------------------------------

void TStreamTransfer::Halt()
{
    FRunning = false;
    FText.Stop();
    FCore.Stop();
}

void TStreamTransfer::Stop()
{
    FFirstText.reset();
    if (!FRunning)
        return;
    Halt();
    // Nothing posted before the stop reaches the owner after it.
    FContext = std::make_unique<QObject>();
}

void TStreamTransfer::Fail(const std::string& reason, TFailKind kind)
{
    if (!FRunning)
        return;
    Halt();
    End(TOutcome::Failed(kind, reason));
}

void TStreamTransfer::End(TOutcome outcome)
{
    FRunning = false;
    QTimer::singleShot(0, FContext.get(), [this, outcome] {
        Application::Guard([this, &outcome] {
            if (OnEnded)
                OnEnded(outcome);
        });
    });
}

} // namespace cw
