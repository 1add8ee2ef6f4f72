// Watch pages as the page stage reads them: the first byte picks the item's address, the rest
// is the page, cut at "\n--read--\n" into the successive reads of one item (each read is the
// whole page so far, as the stage sees it). Every pass must give one of its four outcomes and
// keep the item state's promises. The whole page is then read by the generic page rules, whose
// lists, fallbacks, players and picks must keep theirs; and once as an oEmbed answer.

#include "FuzzSupport.h"

#include "engine/pages/PageAnalysis.h"
#include "engine/pages/PageMedia.h"

#include <algorithm>
#include <set>

namespace {

const char* const kAddresses[] = {
    "http://www.youtube.com/watch?v=abc&feature=related",
    "http://www.metacafe.com/watch/123/clip/",
    "http://video.google.com/videoplay?docid=1",
    "http://www.youtube.com/watch?v=x&from=video.google.com&metacafe.com",
};

const char* const kPageAddresses[] = {
    "https://www.example.com/a/b/page.html?x=1#top",
    "http://example.org",
    "https://user@[::1]:8080/watch/../clip/",
    "not an address",
};

bool IsManifest(const cw::TMediaCandidate& c)
{
    if (c.Type == "application/vnd.apple.mpegurl" || c.Type == "application/x-mpegurl" || c.Type == "audio/mpegurl" ||
        c.Type == "audio/x-mpegurl" || c.Type == "application/dash+xml")
        return true;
    std::string path = c.Url.substr(0, c.Url.find('?'));
    for (char& ch : path)
        ch = (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
    const std::size_t slash = path.rfind('/');
    const std::string last = slash == std::string::npos ? path : path.substr(slash);
    return last.ends_with(".m3u8") || last.ends_with(".mpd");
}

void CheckAddresses(const std::vector<cw::TMediaCandidate>& list, const std::string& pageUrl)
{
    if (list.size() > cw::MaxMediaCandidates)
        cwfuzz::Fail("more candidates than the cap");
    std::set<std::string> seen;
    for (const cw::TMediaCandidate& c : list) {
        if (c.Url.rfind("http://", 0) != 0 && c.Url.rfind("https://", 0) != 0)
            cwfuzz::Fail("a candidate that is not an http(s) address");
        for (char ch : c.Url)
            if (static_cast<unsigned char>(ch) <= 0x20 || ch == 0x7F || ch == '#')
                cwfuzz::Fail("a candidate address with a control byte, a blank or a fragment");
        if (!seen.insert(c.Url).second)
            cwfuzz::Fail("the same address twice in one list");
        if (cw::ResolveAddress(pageUrl, c.Url) != c.Url)
            cwfuzz::Fail("a candidate address that is not already resolved");
        if (c.Height < 0 || c.Width < 0)
            cwfuzz::Fail("a negative dimension");
    }
}

void CheckPageMedia(const std::string& page, const std::string& pageUrl)
{
    const cw::TPageMedia media = cw::FindPageMedia(page, pageUrl);
    CheckAddresses(media.Files, pageUrl);
    CheckAddresses(media.Streams, pageUrl);
    for (const cw::TMediaCandidate& f : media.Files)
        if (IsManifest(f))
            cwfuzz::Fail("a stream manifest among the files");
    for (const cw::TMediaCandidate& s : media.Streams)
        if (!IsManifest(s))
            cwfuzz::Fail("a file among the streams");
    if (!media.EmbedHost.empty() && !media.Files.empty())
        cwfuzz::Fail("an embedded player reported beside files");
    if (media.EmbedHost.find_first_of("/?# \t\r\n") != std::string::npos)
        cwfuzz::Fail("an embed host that is more than a host");
    if (!media.StreamType.empty() &&
        ((media.StreamType != "HLS" && media.StreamType != "DASH") || !media.Files.empty() || media.Streams.empty()))
        cwfuzz::Fail("a stream type without a manifest, beside files, or unknown");
    if (media.Files.empty() && !media.Streams.empty() && media.StreamType.empty())
        cwfuzz::Fail("manifests without files but no stream type");
    if (media.Players.size() > cw::MaxPlayerTries)
        cwfuzz::Fail("more players than are ever opened");
    std::vector<cw::TMediaCandidate> players, oembed;
    for (const std::string& p : media.Players)
        players.push_back(cw::TMediaCandidate{p, "", 0, 0});
    CheckAddresses(players, pageUrl);
    if (!media.OEmbed.empty())
        oembed.push_back(cw::TMediaCandidate{media.OEmbed, "", 0, 0});
    if (const std::string player = cw::OEmbedPlayer(page, pageUrl); !player.empty())
        oembed.push_back(cw::TMediaCandidate{player, "", 0, 0});
    if (oembed.size() == 2 && oembed[0].Url == oembed[1].Url)
        oembed.pop_back();
    CheckAddresses(oembed, pageUrl);
    for (const std::vector<cw::TMediaCandidate>* list : {&media.Files, &media.Streams})
        for (const cw::TMediaCandidate& c : *list)
            if (!c.Title.empty() && (c.Title.front() == ' ' || c.Title.back() == ' ' ||
                                     c.Title.find_first_of("\t\r\n\f") != std::string::npos))
                cwfuzz::Fail("a candidate's title with blanks at its ends or inside");
    const std::string& t = media.Title;
    if (!t.empty() && (t.front() == ' ' || t.back() == ' '))
        cwfuzz::Fail("an untrimmed title");
    if (t.find("  ") != std::string::npos || t.find_first_of("\t\r\n\f") != std::string::npos)
        cwfuzz::Fail("a title with a whitespace run");

    int lowest = 0, highest = 0;
    for (const cw::TMediaCandidate& f : media.Files) {
        if (f.Height > 0 && (lowest == 0 || f.Height < lowest))
            lowest = f.Height;
        highest = std::max(highest, f.Height);
    }
    for (int quality = cw::vqNormal; quality <= cw::vqBestAvailable; ++quality) {
        const cw::TMediaCandidate* pick = cw::PickMediaCandidate(media.Files, quality);
        if ((pick == nullptr) != media.Files.empty())
            cwfuzz::Fail("a pick from nothing, or no pick from files");
        if (!pick)
            continue;
        if (pick < media.Files.data() || pick >= media.Files.data() + media.Files.size())
            cwfuzz::Fail("a pick outside the list");
        if (quality == cw::vqNormal && pick->Height != lowest && lowest != 0)
            cwfuzz::Fail("Normal did not take the smallest height");
        if (quality >= cw::vqHD && pick->Height != highest && highest != 0)
            cwfuzz::Fail("HD did not take the largest height");
        const std::string ext = cw::MediaExtension(*pick);
        if (ext.size() < 3 || ext[0] != '.')
            cwfuzz::Fail("a file extension without its dot");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    cwfuzz::SilenceMessageBoxes();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::string address = kAddresses[data[0] % std::size(kAddresses)];
    std::vector<std::string> reads = cwfuzz::Split(data + 1, size - 1, "\n--read--\n", 6);

    cw::TPageItemState state{"", "", (data[0] & 0x80) != 0, cw::jmDownloadConvert};
    std::string page;
    for (const std::string& more : reads) {
        page += more;
        const cw::TPageItemState before = state;
        cw::TAnalysisResult r = cw::AnalysePage(address, page, state);
        if (r != cw::arIncomplete && r != cw::arComplete && r != cw::arAgeRestricted && r != cw::arUnavailable)
            cwfuzz::Fail("an outcome outside the four");
        if (r == cw::arComplete && state.DownloadUrl.empty())
            cwfuzz::Fail("complete without a download address");
        if (before.HdAvailable && !state.HdAvailable)
            cwfuzz::Fail("HD availability was taken back");
        if ((r == cw::arAgeRestricted || r == cw::arUnavailable) &&
            (state.FileName != before.FileName || state.DownloadUrl != before.DownloadUrl))
            cwfuzz::Fail("an ending outcome changed the item");
        if (state.FileName.find('/') != std::string::npos && address.find("youtube") != std::string::npos &&
            address.find("metacafe") == std::string::npos && address.find("google") == std::string::npos)
            cwfuzz::Fail("a YouTube file name holds a slash");
    }
    CheckPageMedia(page, kPageAddresses[(data[0] / 4) % std::size(kPageAddresses)]);
    return 0;
}
