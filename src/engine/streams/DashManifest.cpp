#include "engine/streams/DashManifest.h"

#include "engine/pages/PageMedia.h"
#include "engine/streams/HlsPlaylist.h"
#include "global/Global.h"
#include "platform/Text.h"

#include <QByteArray>
#include <QXmlStreamReader>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>

namespace cw {

namespace {

using std::string_view;
constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();

bool CodecIn(const std::string& codec, std::initializer_list<const char*> family)
{
    const std::string c = text::Lower(codec);
    for (const char* f : family) {
        const std::string p(f);
        if (c == p || (c.size() > p.size() && c.compare(0, p.size(), p) == 0 && c[p.size()] == '.'))
            return true;
    }
    return false;
}

// The manifest as a small tree: only names (without namespace), attributes, the text of leaf
// elements and the line each element starts on.
struct TNode {
    std::string Name;
    std::vector<std::pair<std::string, std::string>> Attributes;
    std::string Text;
    int Line = 0;
    std::vector<std::unique_ptr<TNode>> Children;

    const std::string* Attr(string_view name) const
    {
        for (const auto& [k, v] : Attributes)
            if (k == name)
                return &v;
        return nullptr;
    }
    const TNode* Child(string_view name) const
    {
        for (const auto& c : Children)
            if (c->Name == name)
                return c.get();
        return nullptr;
    }
};

std::string Trimmed(string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return std::string(s);
}

bool ParseUnsigned(string_view s, std::int64_t& out)
{
    if (s.empty() || s.size() > 19)
        return false;
    std::int64_t v = 0;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    if (r.ec != std::errc() || r.ptr != s.data() + s.size() || v < 0)
        return false;
    out = v;
    return true;
}

// "first-last", both inclusive.
bool ParseRange(string_view s, std::int64_t& offset, std::int64_t& length)
{
    const std::size_t dash = s.find('-');
    std::int64_t first = 0, last = 0;
    if (dash == string_view::npos || !ParseUnsigned(s.substr(0, dash), first) ||
        !ParseUnsigned(s.substr(dash + 1), last) || last < first || last == kInt64Max)
        return false;
    offset = first;
    length = last - first + 1;
    return true;
}

// SegmentBase, SegmentList and SegmentTemplate attributes as inherited from the levels above: a
// lower level's element overrides only what it declares.
struct TAddressing {
    const TNode* Template = nullptr; // the lowest level that has each kind
    const TNode* List = nullptr;
    const TNode* Base = nullptr;
    std::optional<std::string> Media, Initialization, IndexRange, InitRange, InitSource;
    std::optional<std::int64_t> Timescale, StartNumber, Duration, PresentationTimeOffset;
    const TNode* Timeline = nullptr;
    const TNode* SegmentUrls = nullptr; // the SegmentList whose SegmentURLs apply
};

class TManifestReader {
public:
    TManifestReader(string_view text, const std::string& address) : FText(text), FAddress(address) {}

    TDashParse Run()
    {
        std::unique_ptr<TNode> root = ReadTree();
        if (root && FResult.Error.empty())
            Walk(*root);
        if (!FResult.Error.empty()) {
            FResult.Status = FResult.Status == TDashStatus::Ok ? TDashStatus::Malformed : FResult.Status;
            if (FResult.Status == TDashStatus::Malformed)
                FResult.Manifest = TDashManifest();
        }
        return std::move(FResult);
    }

private:
    bool Error(int line, std::string why)
    {
        if (FResult.Error.empty()) {
            FResult.Status = TDashStatus::Malformed;
            FResult.Line = line < 1 ? 1 : line;
            // The reason may quote the manifest (a name, an encoding): short and printable only.
            if (why.size() > 160)
                why = why.substr(0, 157) + "...";
            for (char& c : why)
                if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
                    c = '?';
            FResult.Error = std::move(why);
        }
        return false;
    }
    bool Refuse(TDashStatus status)
    {
        FResult.Status = status;
        FResult.Error =
            status == TDashStatus::Live ? "live streams are not supported" : "the stream is protected by DRM";
        return false;
    }

    std::unique_ptr<TNode> ReadTree()
    {
        QXmlStreamReader xml(QByteArray::fromRawData(FText.data(), static_cast<qsizetype>(FText.size())));
        // Entities declared by the document would let a small text grow without bound.
        xml.setEntityExpansionLimit(0);
        std::unique_ptr<TNode> root;
        std::vector<TNode*> stack;
        std::size_t elements = 0;
        while (!xml.atEnd()) {
            const QXmlStreamReader::TokenType token = xml.readNext();
            const int line = static_cast<int>(xml.lineNumber());
            if (token == QXmlStreamReader::StartElement) {
                if (++elements > MaxDashElements) {
                    Error(line, "more than " + std::to_string(MaxDashElements) + " elements");
                    return nullptr;
                }
                if (static_cast<int>(stack.size()) >= MaxDashDepth) {
                    Error(line, "elements nested deeper than " + std::to_string(MaxDashDepth));
                    return nullptr;
                }
                auto node = std::make_unique<TNode>();
                node->Name = xml.name().toString().toStdString();
                node->Line = line;
                for (const QXmlStreamAttribute& a : xml.attributes())
                    node->Attributes.emplace_back(a.name().toString().toStdString(),
                                                  a.value().toString().toStdString());
                TNode* raw = node.get();
                if (stack.empty()) {
                    if (node->Name != "MPD") {
                        Error(line, "the document is not a manifest (it starts with <" + node->Name + ">)");
                        return nullptr;
                    }
                    root = std::move(node);
                } else {
                    stack.back()->Children.push_back(std::move(node));
                }
                stack.push_back(raw);
            } else if (token == QXmlStreamReader::EndElement) {
                if (!stack.empty())
                    stack.pop_back();
            } else if (token == QXmlStreamReader::Characters && !stack.empty()) {
                // Only BaseURL's text is used; a bound keeps whitespace-heavy documents small.
                if (stack.back()->Name == "BaseURL" && stack.back()->Text.size() < 64 * 1024)
                    stack.back()->Text += xml.text().toString().toStdString();
            }
        }
        if (xml.hasError()) {
            std::string why = xml.errorString().toStdString();
            std::transform(why.begin(), why.end(), why.begin(),
                           [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
            Error(static_cast<int>(xml.lineNumber()), "not well-formed XML: " + why);
            return nullptr;
        }
        if (!root)
            Error(1, "no MPD element");
        return root;
    }

    // The base of a level: its first BaseURL resolved against the level above.
    std::string BaseOf(const TNode& n, const std::string& above) const
    {
        const TNode* b = n.Child("BaseURL");
        return b ? ResolveAddress(above, Trimmed(b->Text)) : above;
    }

    // Every base of a level, its first as BaseOf gives it: each of its BaseURLs against each
    // base above. A few at most: each is one more address to try for a segment that fails.
    std::vector<std::string> BasesOf(const TNode& n, const std::vector<std::string>& above) const
    {
        std::vector<std::string> out{BaseOf(n, above.front())};
        for (const auto& c : n.Children) {
            if (c->Name != "BaseURL")
                continue;
            for (const std::string& a : above) {
                std::string r;
                if (out.size() < 8 && ResolveStreamAddress(a, Trimmed(c->Text), r) &&
                    std::find(out.begin(), out.end(), r) == out.end())
                    out.push_back(std::move(r));
            }
        }
        if (out.size() == 1)
            for (std::size_t i = 1; i < above.size(); ++i)
                out.push_back(above[i]);
        return out;
    }

    bool Number(const TNode& n, string_view name, std::optional<std::int64_t>& out)
    {
        if (const std::string* v = n.Attr(name)) {
            std::int64_t x = 0;
            if (!ParseUnsigned(Trimmed(*v), x))
                return Error(n.Line, "a bad " + std::string(name) + " on " + n.Name + ": \"" + v->substr(0, 40) + "\"");
            out = x;
        }
        return true;
    }

    bool Inherit(const TNode& level, TAddressing& a)
    {
        for (const auto& c : level.Children) {
            const TNode& n = *c;
            const bool tpl = n.Name == "SegmentTemplate", list = n.Name == "SegmentList",
                       base = n.Name == "SegmentBase";
            if (!tpl && !list && !base)
                continue;
            (tpl ? a.Template : list ? a.List : a.Base) = &n;
            if (!Number(n, "timescale", a.Timescale) || !Number(n, "startNumber", a.StartNumber) ||
                !Number(n, "duration", a.Duration) || !Number(n, "presentationTimeOffset", a.PresentationTimeOffset))
                return false;
            if (a.Timescale && *a.Timescale == 0)
                return Error(n.Line, "a timescale of 0");
            if (const std::string* v = n.Attr("media"))
                a.Media = *v;
            if (const std::string* v = n.Attr("initialization"))
                a.Initialization = *v;
            if (const std::string* v = n.Attr("indexRange"))
                a.IndexRange = *v;
            if (const TNode* init = n.Child("Initialization")) {
                if (const std::string* v = init->Attr("sourceURL"))
                    a.InitSource = *v;
                if (const std::string* v = init->Attr("range"))
                    a.InitRange = *v;
            }
            if (const TNode* timeline = n.Child("SegmentTimeline"))
                a.Timeline = timeline;
            if (list && n.Child("SegmentURL"))
                a.SegmentUrls = &n;
        }
        return true;
    }

    bool Address(const std::string& base, string_view ref, int line, std::string& out)
    {
        if (!ResolveStreamAddress(base, ref, out))
            return Error(line, "an address that is not http or https");
        FAddressBytes += out.size();
        if (FAddressBytes > MaxDashAddressBytes)
            return Error(line, "the addresses take more than " + std::to_string(MaxDashAddressBytes >> 20) + " MiB");
        return true;
    }

    // Counts n more segments against what one manifest may describe.
    bool CountSegments(std::int64_t n, int line)
    {
        if (__builtin_add_overflow(FSegments, n, &FSegments) || FSegments > MaxDashSegments)
            return Error(line, "more than " + std::to_string(MaxDashSegments) + " segments");
        return true;
    }

    bool AddSegment(TDashRepresentation& r, TDashSegment s, int line)
    {
        if (!CountSegments(1, line))
            return false;
        r.Segments.Add(std::move(s));
        return true;
    }

    bool Fill(string_view pattern, const TDashRepresentation& r, std::int64_t number, std::int64_t time, int line,
              const std::string& base, std::string& out)
    {
        std::string filled, why;
        if (!FillDashTemplate(pattern, r.Id, number, r.Bandwidth, time, filled, why))
            return Error(line, why);
        return Address(base, filled, line, out);
    }

    // A run of count segments of d ticks from t, as far as the period reaches: those that start
    // at or past its end are not counted. The end: length ticks after pto, the template's clock
    // at the period's start. d 0: the one segment of a template without a duration, the whole
    // representation. False, with the reason, when a counted segment's time or number leaves 64
    // bits, or when there are too many.
    bool AddRun(TDashRepresentation& r, std::int64_t start, std::int64_t pto, std::int64_t length, std::int64_t t,
                std::int64_t d, std::int64_t count, int line)
    {
        std::int64_t kept = count;
        if (d > 0) {
            const std::int64_t since = t - pto; // both are at least 0: no overflow
            std::int64_t room = 0;
            if (since >= length)
                kept = 0;
            else if (__builtin_sub_overflow(length, since, &room))
                kept = count; // starts so long before the period that all of it is inside
            else
                kept = std::min(count, room / d + (room % d != 0 ? 1 : 0));
        }
        if (kept <= 0)
            return true;
        std::int64_t lastTime = 0, lastNumber = 0;
        if (__builtin_mul_overflow(kept - 1, d, &lastTime) || __builtin_add_overflow(lastTime, t, &lastTime))
            return Error(line, "a segment time past the largest number");
        if (!CountSegments(kept, line))
            return false;
        if (__builtin_add_overflow(r.Segments.Count(), kept - 1, &lastNumber) ||
            __builtin_add_overflow(lastNumber, start, &lastNumber))
            return Error(line, "a segment number past the largest number");
        r.Segments.AddRun(t, d, kept);
        return true;
    }

    // The clock a template's segments are counted on: their first number, the time at the
    // period's start (pto) and the period's length in ticks, kInt64Max when it is not known.
    struct TTemplateClock {
        std::int64_t Start = 1;
        std::int64_t Pto = 0;
        std::int64_t Length = kInt64Max;
        bool KnownEnd = false;
    };

    // The length of the period in ticks of the template's clock, when the manifest says how
    // long it is: the first tick at or past its end, counted from pto. A segment that would
    // start a millionth of a tick before the end is taken as starting at it (the length is a
    // decimal fraction). A length past the largest number is no end for any time.
    static TTemplateClock ClockOf(const TAddressing& a, const TDashPeriod& period)
    {
        TTemplateClock clock;
        const std::int64_t timescale = a.Timescale.value_or(1);
        clock.Start = a.StartNumber.value_or(1);
        clock.Pto = a.PresentationTimeOffset.value_or(0);
        clock.KnownEnd = period.Duration >= 0;
        if (clock.KnownEnd) {
            const double ticks = std::max(0.0, std::ceil(period.Duration * static_cast<double>(timescale) - 1e-6));
            if (ticks < 9.0e18)
                clock.Length = static_cast<std::int64_t>(ticks);
        }
        return clock;
    }

    bool TemplateInit(TDashRepresentation& r, const TAddressing& a, std::int64_t start, int line,
                      const std::string& base)
    {
        if (a.Initialization) {
            r.Init = TDashSegment();
            if (!Fill(*a.Initialization, r, start, 0, line, base, r.Init.Url))
                return false;
        } else if (a.InitSource) {
            r.Init = TDashSegment();
            if (!Address(base, *a.InitSource, line, r.Init.Url))
                return false;
            if (a.InitRange && !ParseRange(*a.InitRange, r.Init.Offset, r.Init.Length))
                return Error(line, "a bad Initialization range");
        }
        return true;
    }

    bool TemplateSegments(TDashRepresentation& r, const TAddressing& a, const TDashPeriod& period,
                          const std::string& base)
    {
        const int line = a.Template->Line;
        if (!a.Media)
            return Error(line, "a SegmentTemplate without media");
        const TTemplateClock clock = ClockOf(a, period);
        if (!TemplateInit(r, a, clock.Start, line, base))
            return false;
        // Every segment's address is filled in when it is fetched. The first one is filled in
        // now: a template that cannot make an address fails here, and since the values put in
        // differ only in their digits, what holds for one address holds for all of them.
        {
            std::string first;
            if (!Fill(*a.Media, r, clock.Start, clock.Pto, line, base, first))
                return false;
        }
        r.Segments.SetTemplate(*a.Media, base, r.Id, r.Bandwidth, clock.Start);
        if (a.Timeline)
            return TimelineSegments(r, *a.Timeline, clock);
        return DurationSegments(r, a, clock, line);
    }

    // The segments of a SegmentTimeline: one run per S, each starting where the one above ends
    // unless it says where.
    bool TimelineSegments(TDashRepresentation& r, const TNode& timeline, const TTemplateClock& clock)
    {
        const auto& items = timeline.Children;
        std::int64_t t = 0;
        bool first = true;
        for (std::size_t i = 0; i < items.size(); ++i) {
            const TNode& s = *items[i];
            if (s.Name != "S")
                continue;
            std::optional<std::int64_t> st, d;
            if (!Number(s, "t", st) || !Number(s, "d", d))
                return false;
            if (!d || *d == 0)
                return Error(s.Line, "an S without a duration");
            if (st) {
                if (!first && *st < t)
                    return Error(s.Line, "an S that starts before the one above ends");
                t = *st;
            }
            first = false;
            std::int64_t count = 1;
            if (!RunCount(items, i, t, *d, clock, count))
                return false;
            if (!clock.KnownEnd && count > MaxDashSegments)
                return Error(s.Line, "more than " + std::to_string(MaxDashSegments) + " segments");
            if (!AddRun(r, clock.Start, clock.Pto, clock.Length, t, *d, count, s.Line))
                return false;
            if (!RunEnd(t, count, *d, s.Line))
                return false;
        }
        if (r.Segments.Empty())
            return Error(timeline.Line, clock.KnownEnd ? "no segment of the SegmentTimeline starts within period " +
                                                             std::to_string(FPeriodNumber)
                                                       : std::string("a SegmentTimeline without segments"));
        return true;
    }

    // How many segments the S at items[i], starting at t, stands for: 1, else its r plus one,
    // else (r="-1") as many as start before the next S or the period's end.
    bool RunCount(const std::vector<std::unique_ptr<TNode>>& items, std::size_t i, std::int64_t t, std::int64_t d,
                  const TTemplateClock& clock, std::int64_t& count)
    {
        const TNode& s = *items[i];
        const std::string* rv = s.Attr("r");
        if (!rv)
            return true;
        const std::string v = Trimmed(*rv);
        if (v != "-1") {
            std::int64_t repeat = 0;
            if (!ParseUnsigned(v, repeat))
                return Error(s.Line, "a bad r on S: \"" + v.substr(0, 40) + "\"");
            if (__builtin_add_overflow(repeat, 1, &count))
                return Error(s.Line, "more than " + std::to_string(MaxDashSegments) + " segments");
            return true;
        }
        std::int64_t until = 0;
        if (!RepeatUntil(items, i, clock, until))
            return false;
        // At least the one segment the S names; both ends are at least 0.
        const std::int64_t span = until > t ? until - t : 0;
        count = std::max<std::int64_t>(1, span / d + (span % d != 0 ? 1 : 0));
        return true;
    }

    // Where an S with r="-1" at items[i] stops: the next S's start, else the end of the period.
    bool RepeatUntil(const std::vector<std::unique_ptr<TNode>>& items, std::size_t i, const TTemplateClock& clock,
                     std::int64_t& until)
    {
        const TNode* next = nullptr;
        for (std::size_t j = i + 1; j < items.size() && !next; ++j)
            if (items[j]->Name == "S")
                next = items[j].get();
        if (next && next->Attr("t")) {
            std::optional<std::int64_t> nt;
            if (!Number(*next, "t", nt))
                return false;
            until = *nt;
            return true;
        }
        if (!clock.KnownEnd)
            return Error(items[i]->Line, "r=\"-1\" in a period of unknown length");
        if (__builtin_add_overflow(clock.Pto, clock.Length, &until))
            until = kInt64Max;
        return true;
    }

    // Moves t to where the next S starts unless it says: every segment of the run, counted or
    // not, must end at a time that can be written.
    bool RunEnd(std::int64_t& t, std::int64_t count, std::int64_t d, int line)
    {
        std::int64_t span = 0;
        if (__builtin_mul_overflow(count, d, &span) || __builtin_add_overflow(t, span, &t))
            return Error(line, "a segment time past the largest number");
        return true;
    }

    // The segments of a template without a timeline: as many of its duration as start within the
    // period, or one for the whole representation when it has no duration.
    bool DurationSegments(TDashRepresentation& r, const TAddressing& a, const TTemplateClock& clock, int line)
    {
        if (!a.Duration || *a.Duration == 0) {
            // One segment: the template names the whole representation.
            return AddRun(r, clock.Start, clock.Pto, clock.Length, clock.Pto, 0, 1, line);
        }
        if (!clock.KnownEnd)
            return Error(line, "the manifest does not say how long period " + std::to_string(FPeriodNumber) + " lasts");
        // As many segments as start before the end: ceil(period length / segment length).
        const std::int64_t d = *a.Duration;
        const std::int64_t count = clock.Length / d + (clock.Length % d != 0 ? 1 : 0);
        if (count > MaxDashSegments)
            return Error(line, "more than " + std::to_string(MaxDashSegments) + " segments");
        if (!AddRun(r, clock.Start, clock.Pto, clock.Length, clock.Pto, d, count, line))
            return false;
        if (r.Segments.Empty())
            return Error(line, "a period of no length");
        return true;
    }

    bool ListSegments(TDashRepresentation& r, const TAddressing& a, const std::string& base)
    {
        const int line = a.List->Line;
        if (a.InitSource || a.InitRange) {
            r.Init = TDashSegment();
            if (!Address(base, a.InitSource.value_or(std::string()), line, r.Init.Url))
                return false;
            if (a.InitRange && !ParseRange(*a.InitRange, r.Init.Offset, r.Init.Length))
                return Error(line, "a bad Initialization range");
        }
        if (!a.SegmentUrls)
            return Error(line, "a SegmentList without SegmentURL");
        for (const auto& c : a.SegmentUrls->Children) {
            if (c->Name != "SegmentURL")
                continue;
            TDashSegment s;
            const std::string* media = c->Attr("media");
            if (!Address(base, media ? *media : std::string(), c->Line, s.Url))
                return false;
            if (const std::string* range = c->Attr("mediaRange"))
                if (!ParseRange(*range, s.Offset, s.Length))
                    return Error(c->Line, "a bad mediaRange");
            if (!AddSegment(r, std::move(s), c->Line))
                return false;
        }
        return true;
    }

    bool BaseSegments(TDashRepresentation& r, const TAddressing& a, const std::string& base)
    {
        const int line = a.Base ? a.Base->Line : 0;
        std::string media;
        if (!Address(base, "", line ? line : FRepLine, media))
            return false;
        if (a.InitRange || a.InitSource) {
            r.Init = TDashSegment();
            if (!Address(base, a.InitSource.value_or(std::string()), line, r.Init.Url))
                return false;
            if (a.InitRange && !ParseRange(*a.InitRange, r.Init.Offset, r.Init.Length))
                return Error(line, "a bad Initialization range");
        }
        if (a.Base && a.IndexRange) {
            if (!ParseRange(*a.IndexRange, r.IndexOffset, r.IndexLength))
                return Error(line, "a bad indexRange");
            r.Indexed = true;
            r.IndexUrl = media;
            // Without its own range, the initialization is what comes before the index.
            if (r.Init.Url.empty() && r.IndexOffset > 0)
                r.Init = TDashSegment{media, 0, r.IndexOffset};
            return true;
        }
        // No index: the representation is one resource, fetched whole; an initialization range
        // of that same resource is in it already.
        if (r.Init.Url == media)
            r.Init = TDashSegment();
        TDashSegment whole{media, -1, -1};
        return AddSegment(r, std::move(whole), line ? line : FRepLine);
    }

    static bool HasProtection(const TNode& n)
    {
        for (const auto& c : n.Children)
            if (c->Name == "ContentProtection")
                return true;
        return false;
    }

    bool Walk(const TNode& mpd)
    {
        if (const std::string* type = mpd.Attr("type"); type && Trimmed(*type) == "dynamic")
            return Refuse(TDashStatus::Live);
        if (const std::string* d = mpd.Attr("mediaPresentationDuration"))
            if (!ParseDashDuration(Trimmed(*d), FResult.Manifest.Duration))
                return Error(mpd.Line, "a bad mediaPresentationDuration");
        const std::vector<std::string> mpdBases = BasesOf(mpd, {FAddress});
        std::vector<const TNode*> periods;
        for (const auto& c : mpd.Children)
            if (c->Name == "Period")
                periods.push_back(c.get());
        if (periods.empty())
            return Error(mpd.Line, "a manifest without a Period");
        if (!ReadPeriods(periods))
            return false;
        std::vector<TDashPeriod>& out = FResult.Manifest.Periods;
        for (std::size_t i = 0; i < periods.size(); ++i) {
            FPeriodNumber = static_cast<int>(i) + 1;
            if (!WalkPeriod(*periods[i], mpdBases, out[i]))
                return false;
        }
        FResult.Status = TDashStatus::Ok;
        return true;
    }

    // Start and length of every period first: a period without a duration ends where the next
    // starts, or where the presentation does.
    bool ReadPeriods(const std::vector<const TNode*>& periods)
    {
        std::vector<TDashPeriod>& out = FResult.Manifest.Periods;
        double start = 0;
        for (const TNode* p : periods) {
            TDashPeriod period;
            if (const std::string* id = p->Attr("id"))
                period.Id = *id;
            if (const std::string* s = p->Attr("start"); s && !ParseDashDuration(Trimmed(*s), start))
                return Error(p->Line, "a bad Period start");
            period.Start = start;
            if (const std::string* d = p->Attr("duration")) {
                if (!ParseDashDuration(Trimmed(*d), period.Duration))
                    return Error(p->Line, "a bad Period duration");
                start += period.Duration;
            }
            out.push_back(std::move(period));
        }
        for (std::size_t i = 0; i < out.size(); ++i) {
            if (out[i].Duration >= 0)
                continue;
            if (i + 1 < out.size() && periods[i + 1]->Attr("start"))
                out[i].Duration = std::max(0.0, out[i + 1].Start - out[i].Start);
            else if (i + 1 == out.size() && FResult.Manifest.Duration >= 0)
                out[i].Duration = std::max(0.0, FResult.Manifest.Duration - out[i].Start);
        }
        return true;
    }

    bool WalkPeriod(const TNode& p, const std::vector<std::string>& mpdBases, TDashPeriod& period)
    {
        const std::vector<std::string> periodBases = BasesOf(p, mpdBases);
        TAddressing pa;
        if (!Inherit(p, pa))
            return false;
        for (const auto& ac : p.Children) {
            if (ac->Name != "AdaptationSet")
                continue;
            if (!WalkAdaptationSet(*ac, pa, periodBases, period))
                return false;
        }
        return true;
    }

    bool WalkAdaptationSet(const TNode& set, const TAddressing& pa, const std::vector<std::string>& periodBases,
                           TDashPeriod& period)
    {
        if (HasProtection(set))
            return Refuse(TDashStatus::Protected);
        const std::vector<std::string> setBases = BasesOf(set, periodBases);
        TAddressing sa = pa;
        if (!Inherit(set, sa))
            return false;
        for (const auto& rc : set.Children) {
            if (rc->Name != "Representation")
                continue;
            if (!WalkRepresentation(set, *rc, sa, setBases, period))
                return false;
        }
        return true;
    }

    bool WalkRepresentation(const TNode& set, const TNode& rep, const TAddressing& sa,
                            const std::vector<std::string>& setBases, TDashPeriod& period)
    {
        if (HasProtection(rep))
            return Refuse(TDashStatus::Protected);
        FRepLine = rep.Line;
        TAddressing ra = sa;
        if (!Inherit(rep, ra))
            return false;
        TDashRepresentation r;
        if (!Describe(set, rep, r))
            return false;
        const std::vector<std::string> repBases = BasesOf(rep, setBases);
        const std::string& repBase = repBases.front();
        r.Base = repBase;
        r.AlternateBases.assign(repBases.begin() + 1, repBases.end());
        r.PresentationTimeOffset = ra.PresentationTimeOffset.value_or(0);
        r.Timescale = ra.Timescale.value_or(1);
        const bool ok = ra.Template ? TemplateSegments(r, ra, period, repBase)
                        : ra.List   ? ListSegments(r, ra, repBase)
                                    : BaseSegments(r, ra, repBase);
        if (!ok)
            return false;
        period.Representations.push_back(std::move(r));
        return true;
    }

    // What a representation is: its own attributes, else its adaptation set's.
    bool Describe(const TNode& set, const TNode& rep, TDashRepresentation& r)
    {
        auto attr = [&](string_view name) -> std::string {
            if (const std::string* v = rep.Attr(name))
                return Trimmed(*v);
            if (const std::string* v = set.Attr(name))
                return Trimmed(*v);
            return std::string();
        };
        r.Id = attr("id");
        r.MimeType = text::Lower(attr("mimeType"));
        r.Codecs = attr("codecs");
        r.Language = set.Attr("lang") ? Trimmed(*set.Attr("lang")) : std::string();
        std::optional<std::int64_t> bandwidth, width, height;
        if (!Number(rep, "bandwidth", bandwidth) || !Number(rep, "width", width) || !Number(rep, "height", height))
            return false;
        if (!width && !Number(set, "width", width))
            return false;
        if (!height && !Number(set, "height", height))
            return false;
        r.Bandwidth = bandwidth.value_or(0);
        r.Width = static_cast<int>(std::min<std::int64_t>(width.value_or(0), 1 << 20));
        r.Height = static_cast<int>(std::min<std::int64_t>(height.value_or(0), 1 << 20));
        const std::string content = text::Lower(set.Attr("contentType") ? Trimmed(*set.Attr("contentType")) : "");
        if (r.MimeType.rfind("video/", 0) == 0 || (r.MimeType.empty() && content == "video"))
            r.Kind = TDashKind::Video;
        else if (r.MimeType.rfind("audio/", 0) == 0 || (r.MimeType.empty() && content == "audio"))
            r.Kind = TDashKind::Audio;
        else if (r.MimeType.rfind("text/", 0) == 0 || r.MimeType == "application/ttml+xml" ||
                 (r.MimeType.empty() && content == "text"))
            r.Kind = TDashKind::Text;
        else if (r.MimeType.empty() && content.empty() && !r.Codecs.empty()) {
            // Nothing says what it is but its codecs (the first one: video before audio when muxed).
            const std::string first = r.Codecs.substr(0, r.Codecs.find(','));
            if (CodecIn(first, {"avc1", "avc3", "hvc1", "hev1", "av01", "vp8", "vp9", "vp09"}))
                r.Kind = TDashKind::Video;
            else if (CodecIn(first, {"mp4a", "opus", "vorbis", "ac-3", "ec-3", "flac"}))
                r.Kind = TDashKind::Audio;
        }
        return true;
    }

    string_view FText;
    std::string FAddress;
    TDashParse FResult;
    std::int64_t FSegments = 0;
    std::size_t FAddressBytes = 0;
    int FPeriodNumber = 0;
    int FRepLine = 0;
};

} // namespace

void TDashSegmentList::Add(TDashSegment segment)
{
    FNamed.push_back(std::move(segment));
    FCount = static_cast<std::int64_t>(FNamed.size());
}

void TDashSegmentList::SetTemplate(std::string media, std::string base, std::string id, std::int64_t bandwidth,
                                   std::int64_t startNumber)
{
    FNamed.clear();
    FMedia = std::move(media);
    FBase = std::move(base);
    FId = std::move(id);
    FBandwidth = bandwidth;
    FStartNumber = startNumber;
    FRuns.clear();
    FCount = 0;
}

void TDashSegmentList::AddRun(std::int64_t time, std::int64_t duration, std::int64_t count)
{
    std::int64_t total = 0;
    if (count <= 0 || __builtin_add_overflow(FCount, count, &total))
        return;
    FRuns.push_back(TRun{FCount, time, duration, count});
    FCount = total;
}

TDashSegment TDashSegmentList::At(std::int64_t i) const
{
    if (i < 0 || i >= FCount)
        return TDashSegment();
    if (FMedia.empty())
        return FNamed[static_cast<std::size_t>(i)];
    // The last run that starts at or before i.
    const auto run = std::prev(
        std::upper_bound(FRuns.begin(), FRuns.end(), i, [](std::int64_t v, const TRun& r) { return v < r.First; }));
    // The reader checked these; a list built otherwise still never overflows here.
    std::int64_t time = 0, number = 0;
    TDashSegment s;
    if (__builtin_mul_overflow(i - run->First, run->Duration, &time) ||
        __builtin_add_overflow(time, run->Time, &time) || __builtin_add_overflow(FStartNumber, i, &number))
        return s;
    std::string filled, why;
    if (!FillDashTemplate(FMedia, FId, number, FBandwidth, time, filled, why) ||
        !ResolveStreamAddress(FBase, filled, s.Url))
        s.Url.clear();
    return s;
}

bool TDashSegmentList::WholeResources() const
{
    return std::all_of(FNamed.begin(), FNamed.end(), [](const TDashSegment& s) { return s.Offset < 0; });
}

TDashParse ParseDashManifest(string_view text, const std::string& manifestAddress)
{
    return TManifestReader(text, manifestAddress).Run();
}

TDashChoice ChooseDashTracks(const TDashManifest& manifest, int quality)
{
    TDashChoice choice;
    bool anyVideo = false, anyAudio = false;
    for (const TDashPeriod& p : manifest.Periods)
        for (const TDashRepresentation& r : p.Representations) {
            anyVideo = anyVideo || r.Kind == TDashKind::Video;
            anyAudio = anyAudio || r.Kind == TDashKind::Audio;
        }
    int number = 0;
    for (const TDashPeriod& p : manifest.Periods) {
        ++number;
        std::vector<const TDashRepresentation*> video;
        std::vector<THlsVariant> ladder;
        const TDashRepresentation* audio = nullptr;
        for (const TDashRepresentation& r : p.Representations) {
            if (r.Kind == TDashKind::Video) {
                video.push_back(&r);
                THlsVariant v;
                v.Bandwidth = r.Bandwidth;
                v.Width = r.Width;
                v.Height = r.Height;
                ladder.push_back(v);
            } else if (r.Kind == TDashKind::Audio) {
                if (!audio || (quality == vqNormal ? r.Bandwidth < audio->Bandwidth : r.Bandwidth > audio->Bandwidth))
                    audio = &r;
            }
        }
        if (anyVideo) {
            if (video.empty()) {
                choice.Error = "period " + std::to_string(number) + " has no video";
                break;
            }
            choice.Video.push_back(video[static_cast<std::size_t>(ChooseHlsVariant(ladder, quality))]);
        }
        if (anyAudio) {
            if (!audio) {
                choice.Error = "period " + std::to_string(number) + " has no audio";
                break;
            }
            choice.Audio.push_back(audio);
        }
    }
    if (!choice.Error.empty()) {
        choice.Video.clear();
        choice.Audio.clear();
    } else if (!anyVideo && !anyAudio) {
        choice.Error = "the manifest has no video or audio";
    }
    return choice;
}

std::string DashJoinExtension(const TDashChoice& choice)
{
    bool mp4 = true, webm = true;
    auto look = [&](const std::vector<const TDashRepresentation*>& track) {
        for (const TDashRepresentation* r : track) {
            const bool webmType = r->MimeType.find("webm") != std::string::npos;
            std::string codecs = r->Codecs;
            if (codecs.empty()) {
                // Without codecs, the container the representation comes in says what it holds.
                mp4 = mp4 && !webmType;
                webm = webm && webmType;
                continue;
            }
            std::size_t start = 0;
            while (start <= codecs.size()) {
                std::size_t comma = codecs.find(',', start);
                if (comma == std::string::npos)
                    comma = codecs.size();
                std::string c = codecs.substr(start, comma - start);
                c.erase(0, c.find_first_not_of(' '));
                c.erase(c.find_last_not_of(' ') + 1);
                start = comma + 1;
                if (c.empty())
                    continue;
                mp4 = mp4 && CodecIn(c, {"avc1", "avc3", "hvc1", "hev1", "av01", "vp09", "mp4a", "ac-3", "ec-3", "opus",
                                         "flac", "alac"});
                webm = webm && CodecIn(c, {"vp8", "vp9", "vp09", "av01", "vorbis", "opus"});
            }
        }
    };
    look(choice.Video);
    look(choice.Audio);
    return webm && !mp4 ? ".webm" : mp4 ? ".mp4" : ".mkv";
}

bool IsDashManifestType(const std::string& contentType)
{
    std::string t = text::Lower(contentType);
    t = Trimmed(t.substr(0, t.find(';')));
    return t == "application/dash+xml" || t == "video/vnd.mpeg.dash.mpd";
}

bool LooksLikeDashManifest(string_view b)
{
    if (b.size() >= 3 && b.substr(0, 3) == "\xEF\xBB\xBF")
        b.remove_prefix(3);
    // The first element after the XML declaration, processing instructions, comments, a
    // DOCTYPE and white space is MPD.
    std::size_t i = 0;
    for (int rounds = 0; rounds < 64; ++rounds) {
        while (i < b.size() && (b[i] == ' ' || b[i] == '\t' || b[i] == '\r' || b[i] == '\n'))
            ++i;
        if (b.substr(i, 2) == "<?" || b.substr(i, 4) == "<!--") {
            const bool comment = b.substr(i, 4) == "<!--";
            const std::size_t end = b.find(comment ? "-->" : "?>", i + 2);
            if (end == string_view::npos)
                return false;
            i = end + (comment ? 3 : 2);
            continue;
        }
        if (b.substr(i, 9) == "<!DOCTYPE") {
            // To its closing '>': past quoted names, and past the internal subset in brackets
            // with the declarations and comments it holds.
            std::size_t j = i + 9;
            int depth = 0;
            for (; j < b.size(); ++j) {
                const char c = b[j];
                if (c == '"' || c == '\'') {
                    j = b.find(c, j + 1);
                    if (j == string_view::npos)
                        return false;
                } else if (depth > 0 && b.substr(j, 4) == "<!--") {
                    j = b.find("-->", j + 4);
                    if (j == string_view::npos)
                        return false;
                    j += 2;
                } else if (c == '[') {
                    ++depth;
                } else if (c == ']' && depth > 0) {
                    --depth;
                } else if (c == '>' && depth == 0) {
                    break;
                }
            }
            if (j >= b.size())
                return false;
            i = j + 1;
            continue;
        }
        if (b.substr(i, 1) != "<")
            return false;
        string_view name = b.substr(i + 1, 64);
        name = name.substr(0, name.find_first_of(" \t\r\n/>"));
        if (const std::size_t colon = name.find(':'); colon != string_view::npos)
            name.remove_prefix(colon + 1);
        return name == "MPD";
    }
    return false;
}

} // namespace cw
