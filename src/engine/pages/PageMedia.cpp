#include "engine/pages/PageMedia.h"

#include "net/http/HttpUrl.h"

#include "engine/pages/MediaFile.h"
#include "engine/pages/PageMediaParts.h"
#include "global/Global.h"
#include "platform/MediaTypes.h"
#include "platform/Text.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <unordered_set>

namespace cw {

namespace {

using namespace pagemedia;

// Numeric references to 0x80..0x9F mean the Windows-1252 characters at those places, as
// browsers read them; the unassigned places stay as they are.
const std::uint16_t kWindows1252[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                        0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                        0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                        0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// Character references: the few named ones pages use in addresses and titles, and numeric
// ones in decimal and hexadecimal. Anything else that starts with '&' stays as written.
std::string DecodeReferences(string_view s)
{
    static const struct {
        string_view Name;
        const char* Text;
    } kNamed[] = {{"amp;", "&"}, {"lt;", "<"}, {"gt;", ">"}, {"quot;", "\""}, {"apos;", "'"}, {"nbsp;", "\xC2\xA0"}};
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        if (s[i] != '&') {
            std::size_t amp = s.find('&', i);
            std::size_t end = amp == npos ? s.size() : amp;
            out.append(s.data() + i, end - i);
            i = end;
            continue;
        }
        if (i + 1 < s.size() && s[i + 1] == '#') {
            std::size_t j = i + 2;
            const bool hex = j < s.size() && (s[j] == 'x' || s[j] == 'X');
            if (hex)
                ++j;
            const std::size_t digits = j;
            std::uint32_t cp = 0;
            for (; j < s.size(); ++j) {
                int d = hex ? text::HexDigitValue(s[j]) : (IsDigit(s[j]) ? s[j] - '0' : -1);
                if (d < 0)
                    break;
                if (cp <= 0x10FFFF) // past the last code point the value only has to stay too large
                    cp = cp * (hex ? 16 : 10) + static_cast<std::uint32_t>(d);
            }
            if (j > digits) {
                if (j < s.size() && s[j] == ';')
                    ++j;
                if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
                    cp = 0xFFFD;
                else if (cp >= 0x80 && cp <= 0x9F)
                    cp = kWindows1252[cp - 0x80];
                AppendUtf8(out, cp);
                i = j;
                continue;
            }
        } else {
            bool matched = false;
            for (const auto& named : kNamed) {
                if (s.substr(i + 1, named.Name.size()) == named.Name) {
                    out += named.Text;
                    i += 1 + named.Name.size();
                    matched = true;
                    break;
                }
            }
            if (matched)
                continue;
        }
        out += '&';
        ++i;
    }
    return out;
}

std::string Decoded(string_view raw)
{
    return std::string(Trim(DecodeReferences(Trim(raw))));
}

// Whitespace runs (including no-break spaces) become one space; the ends are trimmed.
std::string CleanTitle(const std::string& s)
{
    std::string out;
    out.reserve(s.size());
    bool space = false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const bool nbsp = s[i] == '\xC2' && i + 1 < s.size() && s[i + 1] == '\xA0';
        if (IsBlank(s[i]) || nbsp) {
            space = !out.empty();
            i += nbsp ? 1 : 0;
            continue;
        }
        if (space)
            out += ' ';
        space = false;
        out += s[i];
    }
    return out;
}

// The MIME type without parameters, in lower case.
std::string NormalizeType(string_view declared)
{
    std::size_t semi = declared.find(';');
    return text::Lower(std::string(Trim(declared.substr(0, semi == npos ? declared.size() : semi))));
}

// "720", "720p": a height hint; anything else (labels like "HD", "auto") gives 0.
int HeightHint(string_view v)
{
    v = Trim(v);
    if (!v.empty() && (v.back() == 'p' || v.back() == 'P'))
        v.remove_suffix(1);
    if (v.empty() || v.size() > 6)
        return 0;
    int n = 0;
    for (char c : v) {
        if (!IsDigit(c))
            return 0;
        n = n * 10 + (c - '0');
    }
    return n <= kMaxLines ? n : 0;
}

// The leading decimal number of a dimension ("720", "720px", "720.0"), or 0.
int LeadingNumber(string_view v)
{
    v = Trim(v);
    int n = 0;
    std::size_t i = 0;
    for (; i < v.size() && IsDigit(v[i]); ++i) {
        n = n * 10 + (v[i] - '0');
        if (n > kMaxLines)
            return 0;
    }
    return n;
}

// ---------------------------------------------------------------------------------------------
// The page scan

struct Attribute {
    string_view Name, Value;
};

struct Tag {
    string_view Name;
    std::vector<Attribute> Attributes;

    bool Is(string_view name) const { return SameNoCase(Name, name); }
    const Attribute* Find(string_view name) const
    {
        for (const Attribute& a : Attributes)
            if (SameNoCase(a.Name, name))
                return &a;
        return nullptr;
    }
    string_view Get(string_view name) const
    {
        const Attribute* a = Find(name);
        return a ? a->Value : string_view();
    }
};

// Reads a tag whose name starts at 'at' (just after "<" or "</"), the way browsers tokenize
// one: names end at blanks, '/' or '>', values are double-, single- or unquoted, and a quote
// left open runs on to the end of the page. Gives the position after the '>', or npos when
// the page ends inside the tag (which then does not count).
std::size_t ReadTag(string_view html, std::size_t at, Tag& tag)
{
    const std::size_t n = html.size();
    std::size_t i = at;
    while (i < n && !IsBlank(html[i]) && html[i] != '/' && html[i] != '>')
        ++i;
    tag.Name = html.substr(at, i - at);
    tag.Attributes.clear();
    while (true) {
        while (i < n && (IsBlank(html[i]) || html[i] == '/'))
            ++i;
        if (i >= n)
            return npos;
        if (html[i] == '>')
            return i + 1;
        const std::size_t nameStart = i++; // a name may start with '='
        while (i < n && !IsBlank(html[i]) && html[i] != '/' && html[i] != '>' && html[i] != '=')
            ++i;
        Attribute a{html.substr(nameStart, i - nameStart), {}};
        while (i < n && IsBlank(html[i]))
            ++i;
        if (i < n && html[i] == '=') {
            ++i;
            while (i < n && IsBlank(html[i]))
                ++i;
            if (i >= n)
                return npos;
            if (html[i] == '"' || html[i] == '\'') {
                const std::size_t close = html.find(html[i], i + 1);
                if (close == npos)
                    return npos;
                a.Value = html.substr(i + 1, close - i - 1);
                i = close + 1;
            } else {
                const std::size_t start = i;
                while (i < n && !IsBlank(html[i]) && html[i] != '>')
                    ++i;
                a.Value = html.substr(start, i - start);
            }
        }
        if (tag.Attributes.size() < kMaxAttributes && !tag.Find(a.Name))
            tag.Attributes.push_back(a);
    }
}

// The start of the end tag "</name" (any case, followed by a blank, '/', '>' or the page's
// end) at or after from; npos when there is none.
std::size_t FindEndTag(string_view html, std::size_t from, string_view name)
{
    for (std::size_t i = html.find("</", from); i != npos; i = html.find("</", i + 2)) {
        const std::size_t k = i + 2 + name.size();
        if (k <= html.size() && SameNoCase(html.substr(i + 2, name.size()), name) &&
            (k == html.size() || IsBlank(html[k]) || html[k] == '/' || html[k] == '>'))
            return i;
    }
    return npos;
}

// The position after a comment or other markup declaration that starts at '<'.
std::size_t SkipDeclaration(string_view html, std::size_t lt)
{
    if (html.substr(lt, 4) == "<!--") {
        std::size_t p = lt + 4;
        if (html.substr(p, 1) == ">")
            return p + 1;
        if (html.substr(p, 2) == "->")
            return p + 2;
        for (std::size_t q = html.find("--", p); q != npos; q = html.find("--", q + 1)) {
            if (html.substr(q + 2, 1) == ">")
                return q + 3;
            if (html.substr(q + 2, 2) == "!>")
                return q + 4;
        }
        return html.size();
    }
    const std::size_t gt = html.find('>', lt + 1);
    return gt == npos ? html.size() : gt + 1;
}

// A candidate as the page wrote it, before resolution.
struct Raw {
    std::string Url; // decoded, not yet resolved
    std::string Type;
    int Height = 0, Width = 0;
    bool Player = false;            // an embedded player, never a file
    bool PlayerUnlessMedia = false; // a player unless its type or extension says media
    std::string Title{};            // what the same markup calls the video
    int Rank = 0;                   // a frame's likeness to a player (see FrameRank)
};

// One open microdata item (an element with itemscope) and what its properties said so far.
struct MicroItem {
    string_view Element; // the element that opened it
    int Open = 0;        // elements of the same name opened inside it and not yet closed
    bool Video = false;
    std::string Name, Format;
    int Height = 0, Width = 0;
    std::vector<std::string> Content, Embed;
};

// Elements that never have content, so never an end tag to wait for.
bool IsVoidElement(string_view name)
{
    static const char* const kVoid[] = {"area",  "base", "br",   "col",   "embed",  "hr",    "img",
                                        "input", "link", "meta", "param", "source", "track", "wbr"};
    for (const char* v : kVoid)
        if (SameNoCase(name, v))
            return true;
    return false;
}

// Frames that are advertising or measurement, by their address or their id and class.
bool LooksLikeAdvert(const std::string& address, string_view id, string_view cls)
{
    const std::string a = text::Lower(address);
    for (const char* sign : {"doubleclick.", "googlesyndication.", "googletagmanager.", "adservice.", "adsystem.",
                             "adserver", "/ads/", "/ad/", "/adframe", "/banner"})
        if (a.find(sign) != npos)
            return true;
    const std::string names = " " + text::Lower(std::string(id)) + " " + text::Lower(std::string(cls)) + " ";
    for (const char* sign : {" ad ", " ads ", " ad-", " ads-", "advert", "sponsor", "banner"})
        if (names.find(sign) != npos)
            return true;
    return false;
}

struct OgGroup {
    std::string Url, SecureUrl, Type;
    int Width = 0, Height = 0;
    bool FromRoot = false, HasUrlProperty = false;
};

class PageScan {
public:
    PageScan(string_view html) : Html(html) {}

    void Run();
    TPageMedia Finish(const std::string& pageUrl);
    // The address of the first frame, resolved against base; "" when there is none.
    std::string FirstFrame(const std::string& base) const;

private:
    string_view Html;
    Tag T;
    std::vector<JNode> Json;
    std::string OgTitle, JsonTitle, MicroTitle, TwitterTitle, HtmlTitle, BaseHref, OEmbed;
    bool SeenTitle = false, SeenBase = false;
    std::vector<OgGroup> Og;
    std::vector<Raw> JsonLd, Microdata, Twitter, Elements, Players, TwitterPlayers, Frames;
    std::vector<TPageTrack> Tracks; // addresses decoded, not yet resolved
    bool InMedia = false;
    int MediaWidth = 0, MediaHeight = 0;
    std::vector<MicroItem> Items;
    std::size_t TextLookups = 0;

    // Bounds on microdata: items nested deeper than any real page are read as plain elements,
    // and a text value is looked for only so far ahead and only so many times per page.
    static constexpr std::size_t kMaxItems = 32;
    static constexpr std::size_t kMaxTextAhead = 4096;
    static constexpr std::size_t kMaxTextLookups = 1000;

    static void Keep(std::vector<Raw>& list, Raw r)
    {
        if (list.size() < kMaxRaw && !r.Url.empty())
            list.push_back(std::move(r));
    }

    void Scan();
    std::string PageTitle() const;
    std::string BaseAddress(const std::string& pageUrl) const;
    std::vector<Raw> OgCandidates() const;
    void SortCandidates(TPageMedia& media, std::vector<Raw>& og, std::vector<Raw>& players, const std::string& base);
    void FinishTracks(TPageMedia& media, const std::string& base);
    void FinishPlayers(TPageMedia& media, const std::vector<Raw>& players, const std::string& base,
                       const std::string& pageUrl) const;
    static void DescribeWithoutFile(TPageMedia& media, const std::string& pageUrl);
    std::size_t StartTag(std::size_t after);
    void BaseTag();
    void MediaTag();
    void SourceTag();
    void TrackTag();
    void FrameTag();
    void LinkTag();
    std::size_t RawTextEnd(std::size_t after);
    void EndTag();
    void MicroStart(std::size_t after);
    void MicroProperties(MicroItem& item, std::size_t after);
    static void SetProperty(MicroItem& item, string_view name, const std::string& value);
    void OpenItem();
    std::string MicroValue(std::size_t after);
    void CloseItem();
    void Meta();
    void JsonLdBlock(string_view text);
    void VideoObject(int node);
    int Member(int object, string_view key) const;
    int Dimension(int node) const;
};

void PageScan::Run()
{
    Scan();
    while (!Items.empty()) // items still open where the page ends are complete as they are
        CloseItem();
}

void PageScan::Scan()
{
    const std::size_t n = Html.size();
    std::size_t i = 0;
    while (i < n) {
        const std::size_t lt = Html.find('<', i);
        if (lt == npos || lt + 1 >= n)
            return;
        const char c = Html[lt + 1];
        if (c == '!' || c == '?') {
            i = SkipDeclaration(Html, lt);
        } else if (c == '/') {
            if (lt + 2 < n && IsAlpha(Html[lt + 2])) {
                i = ReadTag(Html, lt + 2, T);
                if (i == npos)
                    return;
                if (T.Is("video") || T.Is("audio"))
                    InMedia = false;
                EndTag();
            } else {
                i = SkipDeclaration(Html, lt);
            }
        } else if (IsAlpha(c)) {
            i = ReadTag(Html, lt + 1, T);
            if (i == npos)
                return;
            i = StartTag(i);
        } else {
            i = lt + 1;
        }
    }
}

// Elements whose content is text, not markup: it runs to their end tag, unread except for
// JSON-LD data blocks and the title.
const char* const kRawText[] = {"script", "style", "xmp", "iframe", "noembed", "noframes", "textarea", "title"};

bool IsRawText(string_view name)
{
    for (const char* raw : kRawText)
        if (SameNoCase(name, raw))
            return true;
    return false;
}

// Handles the start tag in T, which ended just before 'after'; gives where reading goes on.
std::size_t PageScan::StartTag(std::size_t after)
{
    MicroStart(after);
    if (T.Is("meta"))
        Meta();
    else if (T.Is("base"))
        BaseTag();
    else if (T.Is("video") || T.Is("audio"))
        MediaTag();
    else if (T.Is("source"))
        SourceTag();
    else if (T.Is("track"))
        TrackTag();
    else if (T.Is("iframe"))
        FrameTag();
    else if (T.Is("link"))
        LinkTag();
    else if (T.Is("plaintext"))
        return Html.size();
    return RawTextEnd(after);
}

void PageScan::BaseTag()
{
    if (!SeenBase && T.Find("href")) {
        SeenBase = true;
        BaseHref = Decoded(T.Get("href"));
    }
}

void PageScan::MediaTag()
{
    InMedia = true;
    MediaWidth = LeadingNumber(T.Get("width"));
    MediaHeight = LeadingNumber(T.Get("height"));
    Keep(Elements, Raw{Decoded(T.Get("src")), "", MediaHeight, MediaWidth});
}

void PageScan::SourceTag()
{
    if (!InMedia)
        return;
    int hint = 0;
    for (const char* name : {"size", "res", "label", "data-res"})
        if (hint == 0)
            hint = HeightHint(T.Get(name));
    Keep(Elements, Raw{Decoded(T.Get("src")), NormalizeType(Decoded(T.Get("type"))), hint ? hint : MediaHeight,
                       hint ? 0 : MediaWidth});
}

void PageScan::TrackTag()
{
    // No kind is subtitles; a kind not known (even an empty one) is metadata.
    const std::string kind = text::Lower(std::string(Trim(T.Get("kind"))));
    if (InMedia && (!T.Find("kind") || kind == "subtitles" || kind == "captions") && Tracks.size() < kMaxRaw &&
        T.Find("src"))
        Tracks.push_back(
            TPageTrack{Decoded(T.Get("src")), std::string(Trim(T.Get("srclang"))), T.Find("default") != nullptr});
}

// A width or height of zero ("0", "0px", " 0 ") hides a frame.
bool IsZeroSize(string_view v)
{
    v = Trim(v);
    return !v.empty() && v[0] == '0' && (v.size() == 1 || !IsDigit(v[1]));
}

void PageScan::FrameTag()
{
    // Invisible frames are counters and tag managers, not players.
    const std::string style = text::Lower(std::string(T.Get("style")));
    if (T.Find("hidden") || IsZeroSize(T.Get("width")) || IsZeroSize(T.Get("height")) ||
        style.find("display:none") != npos || style.find("display: none") != npos)
        return;
    Raw frame{Decoded(T.Get("src")), "", 0, 0, true};
    if (LooksLikeAdvert(frame.Url, T.Get("id"), T.Get("class")))
        return;
    // A player says so in its address or asks for the full screen.
    const std::string url = text::Lower(frame.Url);
    const std::string names =
        text::Lower(std::string(T.Get("id")) + " " + std::string(T.Get("class")) + " " + std::string(T.Get("title")));
    const std::string allow = text::Lower(std::string(T.Get("allow")));
    for (const char* sign : {"embed", "player", "video"}) {
        if (url.find(sign) != npos)
            frame.Rank |= 2;
        if (names.find(sign) != npos)
            frame.Rank |= 1;
    }
    if (T.Find("allowfullscreen") || T.Find("webkitallowfullscreen") || T.Find("mozallowfullscreen") ||
        allow.find("fullscreen") != npos || allow.find("autoplay") != npos || allow.find("encrypted-media") != npos)
        frame.Rank |= 1;
    Keep(Frames, std::move(frame));
}

void PageScan::LinkTag()
{
    // oEmbed discovery: the JSON form only, the one that can be read without an XML reader.
    if (!OEmbed.empty() || !SameNoCase(Trim(T.Get("type")), "application/json+oembed"))
        return;
    const std::string rel = " " + text::Lower(std::string(T.Get("rel"))) + " ";
    bool alternate = false;
    for (std::size_t k = 0; k < rel.size(); ++k)
        if (IsBlank(rel[k]) && rel.compare(k + 1, 9, "alternate") == 0 && k + 10 < rel.size() && IsBlank(rel[k + 10]))
            alternate = true;
    if (alternate)
        OEmbed = Decoded(T.Get("href"));
}

// Where reading goes on after the start tag in T: past the content of a raw-text element (the
// title and JSON-LD blocks read on the way), else at 'after'.
std::size_t PageScan::RawTextEnd(std::size_t after)
{
    for (const char* raw : kRawText) {
        if (!T.Is(raw))
            continue;
        const string_view name = raw;
        const bool title = name == "title";
        const bool jsonLd = name == "script" && SameNoCase(Trim(T.Get("type")), "application/ld+json");
        const std::size_t end = FindEndTag(Html, after, name);
        const string_view content = Html.substr(after, (end == npos ? Html.size() : end) - after);
        if (title && !SeenTitle) {
            SeenTitle = true;
            HtmlTitle = CleanTitle(DecodeReferences(content));
        } else if (jsonLd && content.size() <= kMaxJsonBytes) {
            JsonLdBlock(content);
        }
        return end == npos ? Html.size() : end;
    }
    return after;
}

void PageScan::Meta()
{
    const string_view key = T.Find("property") ? T.Get("property") : T.Get("name");
    const std::string k = text::Lower(std::string(Trim(key)));
    if (k.rfind("og:", 0) != 0 && k.rfind("twitter:player", 0) != 0 && k != "twitter:title")
        return;
    const std::string content = Decoded(T.Get("content"));
    if (k == "og:title") {
        if (OgTitle.empty())
            OgTitle = CleanTitle(content);
    } else if (k == "og:video" || k == "og:video:url") {
        // og:video:url repeating the og:video just before it is the same video, not another.
        const bool sameVideo = k == "og:video:url" && !Og.empty() && Og.back().FromRoot && !Og.back().HasUrlProperty &&
                               Og.back().Url == content;
        if (sameVideo) {
            Og.back().HasUrlProperty = true;
        } else if (Og.size() < kMaxRaw) {
            Og.push_back(OgGroup{content, "", "", 0, 0, k == "og:video", k == "og:video:url"});
        }
    } else if (k == "og:video:secure_url") {
        if (Og.empty() && Og.size() < kMaxRaw)
            Og.emplace_back();
        if (Og.back().SecureUrl.empty())
            Og.back().SecureUrl = content;
    } else if (!Og.empty() && k == "og:video:type") {
        if (Og.back().Type.empty())
            Og.back().Type = NormalizeType(content);
    } else if (!Og.empty() && k == "og:video:width") {
        if (Og.back().Width == 0)
            Og.back().Width = LeadingNumber(content);
    } else if (!Og.empty() && k == "og:video:height") {
        if (Og.back().Height == 0)
            Og.back().Height = LeadingNumber(content);
    } else if (k == "twitter:title") {
        if (TwitterTitle.empty())
            TwitterTitle = CleanTitle(content);
    } else if (k == "twitter:player") {
        Keep(TwitterPlayers, Raw{content, "", 0, 0, true});
    } else if (k == "twitter:player:stream") {
        Keep(Twitter, Raw{content, "", 0, 0});
    } else if (k == "twitter:player:stream:content_type") {
        if (!Twitter.empty() && Twitter.back().Type.empty())
            Twitter.back().Type = NormalizeType(content);
    }
}

void PageScan::JsonLdBlock(string_view text)
{
    Json.clear();
    const int root = ReadJson(text, Json);
    if (root < 0)
        return;
    // Every object in the block, in document order, without recursion: the stack holds at most
    // one pending sibling per level, and levels are bounded by the reader.
    std::vector<int> stack{root};
    while (!stack.empty()) {
        const int node = stack.back();
        stack.pop_back();
        if (node < 0)
            continue;
        if (node != root)
            stack.push_back(Json[node].Next);
        stack.push_back(Json[node].First);
        if (Json[node].K == JNode::Object)
            VideoObject(node);
    }
}

int PageScan::Member(int object, string_view key) const
{
    for (int c = Json[object].First; c >= 0; c = Json[c].Next)
        if (Json[c].Key == key)
            return c;
    return -1;
}

// A width or height: a number, a numeric string, or a QuantitativeValue holding either.
int PageScan::Dimension(int node) const
{
    if (node >= 0 && Json[node].K == JNode::Object)
        node = Member(node, "value");
    if (node < 0 || (Json[node].K != JNode::Number && Json[node].K != JNode::String))
        return 0;
    return LeadingNumber(Json[node].Text);
}

void PageScan::VideoObject(int node)
{
    auto isVideoType = [](const JNode& t) {
        return t.K == JNode::String &&
               (t.Text == "VideoObject" || EndsWith(t.Text, "/VideoObject") || EndsWith(t.Text, ":VideoObject"));
    };
    const int type = Member(node, "@type");
    bool video = type >= 0 && isVideoType(Json[type]);
    if (type >= 0 && Json[type].K == JNode::Array)
        for (int t = Json[type].First; t >= 0 && !video; t = Json[t].Next)
            video = isVideoType(Json[t]);
    if (!video)
        return;

    const int name = Member(node, "name");
    const std::string title =
        name >= 0 && Json[name].K == JNode::String ? CleanTitle(DecodeReferences(Json[name].Text)) : std::string();
    if (JsonTitle.empty())
        JsonTitle = title;
    std::string format;
    const int encoding = Member(node, "encodingFormat");
    if (encoding >= 0 && Json[encoding].K == JNode::String && Json[encoding].Text.find('/') != npos)
        format = NormalizeType(Json[encoding].Text);
    const int height = Dimension(Member(node, "height"));
    const int width = Dimension(Member(node, "width"));

    const int content = Member(node, "contentUrl");
    if (content >= 0 && Json[content].K == JNode::String)
        Keep(JsonLd, Raw{Decoded(Json[content].Text), format, height, width, false, false, title});
    else if (content >= 0 && Json[content].K == JNode::Array)
        for (int c = Json[content].First; c >= 0; c = Json[c].Next)
            if (Json[c].K == JNode::String)
                Keep(JsonLd, Raw{Decoded(Json[c].Text), format, height, width, false, false, title});
    const int embed = Member(node, "embedUrl");
    if (embed >= 0 && Json[embed].K == JNode::String)
        Keep(Players, Raw{Decoded(Json[embed].Text), "", 0, 0, true});
}

// ---------------------------------------------------------------------------------------------
// Microdata: items are elements with itemscope; a property (itemprop) belongs to the nearest
// item around it, and its value comes from the attribute the element's kind gives it (meta's
// content, a link's href, a media element's src, ...) or else from its text.

// The next blank-separated word of s at or after i, with i moved past it; "" at the end.
string_view NextWord(string_view s, std::size_t& i)
{
    while (i < s.size() && IsBlank(s[i]))
        ++i;
    std::size_t end = i;
    while (end < s.size() && !IsBlank(s[end]))
        ++end;
    const string_view word = s.substr(i, end - i);
    i = end;
    return word;
}

void PageScan::MicroStart(std::size_t after)
{
    const bool scope = T.Find("itemscope") != nullptr;
    const bool empty = IsVoidElement(T.Name) || IsRawText(T.Name) || T.Is("plaintext");
    if (!Items.empty() && Items.back().Video && !scope && T.Find("itemprop"))
        MicroProperties(Items.back(), after);
    if (empty)
        return;
    if (scope && Items.size() < kMaxItems) {
        OpenItem();
        return;
    }
    for (std::size_t k = Items.size(); k-- > 0;) {
        if (SameNoCase(Items[k].Element, T.Name)) {
            ++Items[k].Open;
            break;
        }
    }
}

// The properties the element in T gives the video item around it; its value is read once, and
// only when one of them is wanted.
void PageScan::MicroProperties(MicroItem& item, std::size_t after)
{
    const string_view props = T.Get("itemprop");
    std::string value;
    bool read = false;
    for (std::size_t i = 0; i < props.size();) {
        string_view name = NextWord(props, i);
        // A property may be named by its full address ("https://schema.org/contentUrl").
        if (name.find(':') != npos)
            name.remove_prefix(std::min(name.size(), name.find_last_of("/#") + 1));
        const bool wanted = name == "name" || name == "contentUrl" || name == "embedUrl" || name == "height" ||
                            name == "width" || name == "encodingFormat";
        if (!wanted)
            continue;
        if (!read) {
            value = MicroValue(after);
            read = true;
        }
        SetProperty(item, name, value);
    }
}

// The first value of each property counts; addresses are kept up to a bound.
void PageScan::SetProperty(MicroItem& item, string_view name, const std::string& value)
{
    if (name == "name" && item.Name.empty())
        item.Name = CleanTitle(value);
    else if (name == "contentUrl" && item.Content.size() < kMaxRaw)
        item.Content.push_back(value);
    else if (name == "embedUrl" && item.Embed.size() < kMaxRaw)
        item.Embed.push_back(value);
    else if (name == "height" && item.Height == 0)
        item.Height = LeadingNumber(value);
    else if (name == "width" && item.Width == 0)
        item.Width = LeadingNumber(value);
    else if (name == "encodingFormat" && item.Format.empty() && value.find('/') != npos)
        item.Format = NormalizeType(value);
}

// The element in T starts an item, a video one when any of its types is VideoObject.
void PageScan::OpenItem()
{
    MicroItem item;
    item.Element = T.Name;
    const string_view types = T.Get("itemtype");
    for (std::size_t i = 0; i < types.size();) {
        const string_view type = NextWord(types, i);
        item.Video = item.Video || type == "VideoObject" || EndsWith(type, "/VideoObject");
    }
    Items.push_back(std::move(item));
}

// The end tag in T closes the item its element opened, and any item left open inside it.
void PageScan::EndTag()
{
    for (std::size_t k = Items.size(); k-- > 0;) {
        if (!SameNoCase(Items[k].Element, T.Name))
            continue;
        if (Items[k].Open > 0) {
            --Items[k].Open;
        } else {
            while (Items.size() > k)
                CloseItem();
        }
        return;
    }
}

// The value of the property on the element in T, whose start tag ended just before 'after'.
std::string PageScan::MicroValue(std::size_t after)
{
    if (T.Is("meta"))
        return Decoded(T.Get("content"));
    for (const char* e : {"audio", "embed", "iframe", "img", "source", "track", "video"})
        if (T.Is(e))
            return Decoded(T.Get("src"));
    if (T.Is("a") || T.Is("area") || T.Is("link"))
        return Decoded(T.Get("href"));
    if (T.Is("object"))
        return Decoded(T.Get("data"));
    if (T.Is("data") || T.Is("meter"))
        return Decoded(T.Get("value"));
    if (T.Is("time") && T.Find("datetime"))
        return Decoded(T.Get("datetime"));
    if (IsVoidElement(T.Name) || TextLookups >= kMaxTextLookups)
        return std::string();
    ++TextLookups;
    // The element's text, markup inside it left out, up to its end tag (or a bounded way on).
    const string_view ahead = Html.substr(after, kMaxTextAhead);
    const std::size_t end = FindEndTag(ahead, 0, T.Name);
    const string_view content = ahead.substr(0, end == npos ? ahead.size() : end);
    std::string text;
    bool inTag = false;
    for (char c : content) {
        if (c == '<')
            inTag = true;
        else if (c == '>' && inTag)
            inTag = false;
        else if (!inTag)
            text += c;
    }
    return CleanTitle(DecodeReferences(text));
}

void PageScan::CloseItem()
{
    MicroItem item = std::move(Items.back());
    Items.pop_back();
    if (!item.Video)
        return;
    if (MicroTitle.empty())
        MicroTitle = item.Name;
    for (std::string& url : item.Content)
        Keep(Microdata, Raw{std::move(url), item.Format, item.Height, item.Width, false, false, item.Name});
    for (std::string& url : item.Embed)
        Keep(Players, Raw{std::move(url), "", 0, 0, true});
}

std::string PageScan::FirstFrame(const std::string& base) const
{
    for (const Raw& f : Frames)
        if (std::string url = FinishAddress(f.Url, base); !url.empty())
            return url;
    return std::string();
}

TPageMedia PageScan::Finish(const std::string& pageUrl)
{
    TPageMedia media;
    media.Title = PageTitle();
    const std::string base = BaseAddress(pageUrl);
    std::vector<Raw> og = OgCandidates();
    for (Raw& r : Twitter)
        r.Title = TwitterTitle;
    std::vector<Raw> players = std::move(Players);
    SortCandidates(media, og, players, base);
    FinishTracks(media, base);
    FinishPlayers(media, players, base, pageUrl);
    if (media.Files.empty())
        DescribeWithoutFile(media, pageUrl);
    if (!OEmbed.empty())
        media.OEmbed = FinishAddress(OEmbed, base);
    return media;
}

std::string PageScan::PageTitle() const
{
    return !OgTitle.empty()        ? OgTitle
           : !JsonTitle.empty()    ? JsonTitle
           : !MicroTitle.empty()   ? MicroTitle
           : !TwitterTitle.empty() ? TwitterTitle
                                   : HtmlTitle;
}

// What the page's addresses are resolved against: its base element's, when that resolves.
std::string PageScan::BaseAddress(const std::string& pageUrl) const
{
    if (SeenBase) {
        std::string resolved = FinishAddress(BaseHref, pageUrl);
        if (!resolved.empty())
            return resolved;
    }
    return pageUrl;
}

// Open Graph groups: the secure address first, each with its group's type and size.
std::vector<Raw> PageScan::OgCandidates() const
{
    std::vector<Raw> og;
    for (const OgGroup& g : Og) {
        for (const std::string* url : {&g.SecureUrl, &g.Url}) {
            Raw r{*url, g.Type, g.Height, g.Width};
            r.Title = OgTitle;
            r.Player = IsPlayerType(g.Type);
            r.PlayerUnlessMedia = g.Type.empty();
            Keep(og, std::move(r));
        }
    }
    return og;
}

// Every declared address, in order of trust, becomes a file, a stream or (when it names a
// player) one more player to open; each file and stream once.
void PageScan::SortCandidates(TPageMedia& media, std::vector<Raw>& og, std::vector<Raw>& players,
                              const std::string& base)
{
    std::unordered_set<std::string> seenFiles, seenStreams;
    for (std::vector<Raw>* list : {&JsonLd, &Microdata, &og, &Twitter, &Elements}) {
        for (Raw& r : *list) {
            TMediaCandidate c{FinishAddress(r.Url, base), std::move(r.Type), r.Height, r.Width, std::move(r.Title)};
            if (c.Url.empty())
                continue;
            const bool stream = StreamKind(c.Type, c.Url) != nullptr;
            if (r.Player || (r.PlayerUnlessMedia && !stream && MediaExtensionOf(c.Url).empty())) {
                Keep(players, Raw{c.Url, "", 0, 0, true});
                continue;
            }
            std::vector<TMediaCandidate>& into = stream ? media.Streams : media.Files;
            std::unordered_set<std::string>& seen = stream ? seenStreams : seenFiles;
            if (into.size() < MaxMediaCandidates && seen.insert(c.Url).second)
                into.push_back(std::move(c));
        }
    }
}

void PageScan::FinishTracks(TPageMedia& media, const std::string& base)
{
    for (TPageTrack& t : Tracks) {
        t.Url = FinishAddress(t.Url, base);
        if (!t.Url.empty() && media.Tracks.size() < MaxMediaCandidates)
            media.Tracks.push_back(std::move(t));
    }
}

// The players to open: declared ones first, then frames by how much they look like one. A
// frame of the page's own site that does not is the site's own furniture (comments, a
// newsletter form), not its video.
void PageScan::FinishPlayers(TPageMedia& media, const std::vector<Raw>& players, const std::string& base,
                             const std::string& pageUrl) const
{
    std::unordered_set<std::string> seenPlayers{FinishAddress(pageUrl, pageUrl)};
    auto addPlayer = [&](const Raw& p, bool mustLookLikeOne) {
        const std::string url = FinishAddress(p.Url, base);
        if (url.empty() || media.Players.size() >= MaxPlayerTries)
            return;
        if (mustLookLikeOne && p.Rank == 0 && HostOf(url) == HostOf(pageUrl))
            return;
        if (seenPlayers.insert(url).second)
            media.Players.push_back(url);
    };
    for (const std::vector<Raw>* list : {&players, &TwitterPlayers})
        for (const Raw& p : *list)
            addPlayer(p, false);
    for (int rank = 3; rank >= 0; --rank)
        for (const Raw& f : Frames)
            if (f.Rank == rank)
                addPlayer(f, true);
}

// A page without a file says in the item's line what plays instead: the player named is the
// first of another site, in the order they would be opened, and the stream the first one's kind.
void PageScan::DescribeWithoutFile(TPageMedia& media, const std::string& pageUrl)
{
    for (const std::string& p : media.Players) {
        if (HostOf(p) != HostOf(pageUrl)) {
            media.EmbedHost = HostOf(p);
            break;
        }
    }
    if (!media.Streams.empty())
        media.StreamType = StreamKind(media.Streams[0].Type, media.Streams[0].Url);
}

int FormatRank(const TMediaCandidate& c)
{
    if (!c.Type.empty())
        return (c.Type == "video/mp4" || c.Type == "audio/mp4")     ? 0
               : (c.Type == "video/webm" || c.Type == "audio/webm") ? 1
                                                                    : 2;
    const std::string ext = PathExtension(c.Url);
    return (ext == ".mp4" || ext == ".m4v" || ext == ".m4a") ? 0 : ext == ".webm" ? 1 : 2;
}

} // namespace

TPageMedia FindPageMedia(const std::string& html, const std::string& pageUrl)
{
    PageScan scan(html);
    scan.Run();
    return scan.Finish(pageUrl);
}

std::string OEmbedPlayer(const std::string& json, const std::string& answerUrl)
{
    if (json.size() > kMaxJsonBytes)
        return std::string();
    std::vector<JNode> nodes;
    const int root = ReadJson(json, nodes);
    if (root < 0 || nodes[root].K != JNode::Object)
        return std::string();
    for (int c = nodes[root].First; c >= 0; c = nodes[c].Next) {
        if (nodes[c].Key != "html" || nodes[c].K != JNode::String)
            continue;
        PageScan scan(nodes[c].Text);
        scan.Run();
        return scan.FirstFrame(answerUrl);
    }
    return std::string();
}

const TMediaCandidate* PickMediaCandidate(const std::vector<TMediaCandidate>& files, int quality)
{
    const TMediaCandidate* best = nullptr;
    auto distance = [quality](int h) {
        // HQ looks for 480 lines; of two equally near, the taller is the better picture.
        return quality == vqHQ ? 2 * std::abs(h - 480) + (h < 480 ? 1 : 0) : quality == vqNormal ? h : -h;
    };
    for (const TMediaCandidate& c : files) {
        if (c.Height <= 0)
            continue;
        if (!best || distance(c.Height) < distance(best->Height) ||
            (c.Height == best->Height && FormatRank(c) < FormatRank(*best)))
            best = &c;
    }
    if (best)
        return best;
    // No heights to go by: the most trusted of the best format (an MP4 after a WebM still wins,
    // as it plays in more places).
    for (const TMediaCandidate& c : files)
        if (!best || FormatRank(c) < FormatRank(*best))
            best = &c;
    return best;
}

std::string ResolveAddress(const std::string& base, const std::string& ref)
{
    // One resolver for the whole program: the HTTP client follows relocations with it too.
    return ResolveReference(base, ref);
}

std::string MediaExtension(const TMediaCandidate& c)
{
    return ExtensionForAnswer(c.Type, c.Url);
}

} // namespace cw
