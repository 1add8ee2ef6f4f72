#include "engine/streams/HlsPlaylist.h"

#include "engine/pages/PageMedia.h"
#include "global/Global.h"
#include "platform/Text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <numeric>

namespace cw {

namespace {

using std::string_view;
constexpr std::size_t npos = std::string::npos;

// A tag line carries few attributes; a line with hundreds of them is not a playlist we can use.
constexpr std::size_t kMaxAttributes = 256;

bool IsSpace(char c)
{
    return c == ' ' || c == '\t';
}

// Attribute names are upper case; other letters and '_' are taken too, and simply match nothing.
bool IsNameChar(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

string_view Trim(string_view s)
{
    while (!s.empty() && IsSpace(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsSpace(s.back()))
        s.remove_suffix(1);
    return s;
}

bool StartsWith(string_view s, string_view prefix)
{
    return s.substr(0, prefix.size()) == prefix;
}

// A decimal-integer: digits only, no sign, no more than an unsigned 64-bit number holds.
bool ParseDecimal(string_view s, std::uint64_t& value)
{
    if (s.empty())
        return false;
    // Unsigned, so neither sign is taken.
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && end == s.data() + s.size();
}

bool ParseDecimal64(string_view s, std::int64_t& value)
{
    std::uint64_t v = 0;
    if (!ParseDecimal(s, v) || v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return false;
    value = static_cast<std::int64_t>(v);
    return true;
}

// A duration: digits with at most one point, no sign and no exponent, so the value is always
// finite and never negative once it converts.
bool ParseDuration(string_view s, double& value)
{
    if (s.empty() || s.find_first_not_of("0123456789.") != npos || s.find_first_of("0123456789") == npos ||
        std::count(s.begin(), s.end(), '.') > 1)
        return false;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, std::chars_format::fixed);
    return ec == std::errc() && end == s.data() + s.size() && std::isfinite(value);
}

// "n[@o]"; offset -1 when not written. The range must hold a byte and end inside 64 bits.
bool ParseByteRange(string_view s, std::int64_t& length, std::int64_t& offset)
{
    const std::size_t at = s.find('@');
    offset = -1;
    if (!ParseDecimal64(s.substr(0, at), length) || length <= 0)
        return false;
    if (at != npos && !ParseDecimal64(s.substr(at + 1), offset))
        return false;
    return offset < 0 || offset <= std::numeric_limits<std::int64_t>::max() - length;
}

// "0x" and up to 32 hexadecimal digits: a 128-bit number, written big-endian into iv.
bool ParseIv(string_view s, std::array<std::uint8_t, 16>& iv)
{
    if (s.size() < 3 || s[0] != '0' || (s[1] != 'x' && s[1] != 'X') || s.size() - 2 > 32)
        return false;
    iv.fill(0);
    s.remove_prefix(2);
    // Digits are read from the least significant end so a short number is padded on the left.
    for (std::size_t k = 0; k < s.size(); ++k) {
        const int d = text::HexDigitValue(s[s.size() - 1 - k]);
        if (d < 0)
            return false;
        iv[15 - k / 2] |= static_cast<std::uint8_t>(k % 2 ? d << 4 : d);
    }
    return true;
}

struct TAttribute {
    string_view Name;
    string_view Value; // without the quotes of a quoted string
};

// An attribute list: NAME=value pairs separated by commas, where a quoted value may hold
// commas. Servers put a blank after a comma often enough that blanks between pairs are allowed.
class TAttributes {
public:
    bool Parse(string_view s, std::string& error)
    {
        std::size_t i = 0;
        const std::size_t n = s.size();
        while (true) {
            while (i < n && IsSpace(s[i]))
                ++i;
            if (i == n)
                break;
            const std::size_t nameStart = i;
            while (i < n && IsNameChar(s[i]))
                ++i;
            if (i == nameStart || i == n || s[i] != '=') {
                error = "a malformed attribute list";
                return false;
            }
            TAttribute a;
            a.Name = s.substr(nameStart, i - nameStart);
            ++i;
            if (i < n && s[i] == '"') {
                const std::size_t close = s.find('"', i + 1);
                if (close == npos) {
                    error = "an unterminated quoted string";
                    return false;
                }
                a.Value = s.substr(i + 1, close - i - 1);
                i = close + 1;
            } else {
                const std::size_t comma = std::min(s.find(',', i), n);
                a.Value = Trim(s.substr(i, comma - i));
                if (a.Value.find('"') != npos) {
                    error = "a malformed attribute list";
                    return false;
                }
                i = comma;
            }
            while (i < n && IsSpace(s[i]))
                ++i;
            if (i < n && s[i] != ',') {
                error = "a malformed attribute list";
                return false;
            }
            if (i < n)
                ++i;
            if (FItems.size() == kMaxAttributes) {
                error = "more than " + std::to_string(kMaxAttributes) + " attributes on one line";
                return false;
            }
            FItems.push_back(a);
        }
        return NamesOnce(error);
    }

    // A name given twice has no one meaning.
    bool NamesOnce(std::string& error) const
    {
        std::vector<string_view> names;
        names.reserve(FItems.size());
        for (const TAttribute& a : FItems)
            names.push_back(a.Name);
        std::sort(names.begin(), names.end());
        if (auto twice = std::adjacent_find(names.begin(), names.end()); twice != names.end()) {
            error = "the attribute " + std::string(twice->substr(0, 40)) + " appears twice";
            return false;
        }
        return true;
    }

    const TAttribute* Find(string_view name) const
    {
        for (const TAttribute& a : FItems)
            if (a.Name == name)
                return &a;
        return nullptr;
    }

    std::string Text(string_view name) const
    {
        const TAttribute* a = Find(name);
        return a ? std::string(a->Value) : std::string();
    }

private:
    std::vector<TAttribute> FItems;
};

class THlsReader {
public:
    explicit THlsReader(const std::string& base) : FBase(base) {}
    THlsReader(const THlsReader&) = delete;
    THlsReader& operator=(const THlsReader&) = delete;

    THlsParse Read(string_view text)
    {
        if (StartsWith(text, "\xEF\xBB\xBF"))
            text.remove_prefix(3);
        std::size_t pos = 0;
        while (pos <= text.size()) {
            const std::size_t lf = text.find('\n', pos);
            const std::size_t end = lf == npos ? text.size() : lf;
            string_view line = text.substr(pos, end - pos);
            pos = end + 1;
            if (FLine == std::numeric_limits<int>::max())
                return Fail(FLine, "more lines than can be counted");
            ++FLine;
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            if (!ReadLine(line))
                return std::move(FResult);
        }
        // A tag that announces an address the playlist never gives.
        if (FPendingSegment)
            return Fail(FSegmentLine, "EXTINF without a segment address");
        if (FPendingVariant)
            return Fail(FVariantLine, "EXT-X-STREAM-INF without an address");
        FResult.Ok = true;
        FResult.Line = 0;
        return std::move(FResult);
    }

private:
    const std::string& FBase;
    THlsParse FResult;
    THlsPlaylist& FPlaylist = FResult.Playlist;
    int FLine = 0;
    std::size_t FAddressBytes = 0;
    bool FSawSegmentTag = false;

    // What the tags before the next address line say about it.
    bool FPendingSegment = false;
    int FSegmentLine = 0;
    THlsSegment FSegment;
    bool FPendingRange = false;
    int FRangeLine = 0;
    std::int64_t FRangeLength = -1, FRangeOffset = -1;
    bool FPendingDiscontinuity = false;
    bool FPendingVariant = false;
    int FVariantLine = 0;
    THlsVariant FVariant;

    // The keys in force. Keys of other formats than "identity" (DRM systems) live beside the
    // identity key until replaced by one of their own kind or ended by METHOD=NONE.
    int FIdentityKey = -1;
    int FOtherKey = -1;
    int FMap = -1;

    THlsParse Fail(int line, std::string why)
    {
        FResult.Ok = false;
        FResult.Line = line;
        FResult.Error = std::move(why);
        return std::move(FResult);
    }

    bool Error(std::string why) { return Error(FLine, std::move(why)); }

    bool Error(int line, std::string why)
    {
        FResult.Line = line;
        FResult.Error = std::move(why);
        return false;
    }

    bool ReadLine(string_view line)
    {
        if (line.size() > MaxHlsLineBytes)
            return Error("a line longer than " + std::to_string(MaxHlsLineBytes) + " bytes");
        for (char c : line) {
            const unsigned char b = static_cast<unsigned char>(c);
            if ((b < 0x20 && c != '\t') || b == 0x7F)
                return Error("a control character");
        }
        // The header is taken where recognition looks for it, at the very start.
        if (FLine == 1) {
            if (!StartsWith(line, "#EXTM3U") || (line.size() > 7 && !IsSpace(line[7])))
                return Error("the first line is not #EXTM3U");
            return true;
        }
        line = Trim(line);
        if (line.empty())
            return true;
        if (line.front() != '#')
            return ReadAddressLine(line);
        // Lines that start with '#' but not "#EXT" are comments.
        if (!StartsWith(line, "#EXT"))
            return true;
        const std::size_t colon = line.find(':');
        return ReadTag(line.substr(0, colon), colon == npos ? string_view() : line.substr(colon + 1));
    }

    bool ReadTag(string_view tag, string_view value)
    {
        if (tag == "#EXTINF")
            return ReadInf(value);
        if (tag == "#EXT-X-BYTERANGE")
            return ReadByteRange(value);
        if (tag == "#EXT-X-DISCONTINUITY") {
            FPendingDiscontinuity = true;
            return true;
        }
        if (tag == "#EXT-X-KEY")
            return ReadKey(value);
        if (tag == "#EXT-X-MAP")
            return ReadMap(value);
        if (tag == "#EXT-X-TARGETDURATION") {
            if (!ParseDuration(Trim(value), FPlaylist.TargetDuration))
                return Error("a bad EXT-X-TARGETDURATION");
            return true;
        }
        if (tag == "#EXT-X-MEDIA-SEQUENCE") {
            if (!FPlaylist.Segments.empty())
                return Error("EXT-X-MEDIA-SEQUENCE after the first segment");
            if (!ParseDecimal(Trim(value), FPlaylist.MediaSequence))
                return Error("a bad EXT-X-MEDIA-SEQUENCE");
            return true;
        }
        if (tag == "#EXT-X-ENDLIST") {
            FPlaylist.EndList = true;
            return true;
        }
        if (tag == "#EXT-X-STREAM-INF")
            return ReadStreamInf(value);
        if (tag == "#EXT-X-MEDIA")
            return ReadMedia(value);
        // Any other tag is one this program has no use for; players ignore unknown tags too.
        return true;
    }

    bool Attributes(string_view value, TAttributes& list)
    {
        std::string why;
        return list.Parse(value, why) || Error(why);
    }

    bool Resolve(string_view ref, std::string& out) const { return ResolveStreamAddress(FBase, ref, out); }

    // Resolve, with the reason on failure, and counted against what one playlist may keep.
    bool Address(string_view ref, const char* kind, std::string& out)
    {
        if (!Resolve(ref, out))
            return Error(std::string("the ") + kind + " address is not http or https");
        return Count(out);
    }

    bool Count(const std::string& address)
    {
        FAddressBytes += address.size();
        if (FAddressBytes > MaxHlsAddressBytes)
            return Error("the addresses take more than " + std::to_string(MaxHlsAddressBytes >> 20) + " MiB");
        return true;
    }

    bool ReadInf(string_view value)
    {
        if (FPlaylist.Master)
            return Error("a playlist with both EXT-X-STREAM-INF and EXTINF");
        if (FPendingSegment)
            return Error(FSegmentLine, "EXTINF without a segment address");
        const string_view duration = Trim(value.substr(0, value.find(',')));
        if (duration.empty())
            return Error("EXTINF without a duration");
        FSegment = THlsSegment();
        if (!ParseDuration(duration, FSegment.Duration))
            return Error("EXTINF with a bad duration");
        FPendingSegment = true;
        FSawSegmentTag = true;
        FSegmentLine = FLine;
        return true;
    }

    bool ReadByteRange(string_view value)
    {
        if (!ParseByteRange(Trim(value), FRangeLength, FRangeOffset))
            return Error("a bad EXT-X-BYTERANGE");
        FPendingRange = true;
        FRangeLine = FLine;
        return true;
    }

    int EffectiveKey() const
    {
        // A sample-level or foreign-format key means the segments are not plain AES-128 files:
        // the engine must see it and refuse rather than write undecrypted bytes.
        if (FIdentityKey >= 0 && FPlaylist.Keys[FIdentityKey].Method == THlsKeyMethod::Other)
            return FIdentityKey;
        return FOtherKey >= 0 ? FOtherKey : FIdentityKey;
    }

    bool ReadKey(string_view value)
    {
        TAttributes list;
        if (!Attributes(value, list))
            return false;
        const TAttribute* method = list.Find("METHOD");
        if (!method || method->Value.empty())
            return Error("EXT-X-KEY without METHOD");
        if (method->Value == "NONE") {
            FIdentityKey = FOtherKey = -1;
            return true;
        }
        if (FPlaylist.Keys.size() == MaxHlsSegments)
            return Error("more than " + std::to_string(MaxHlsSegments) + " keys");
        THlsKey key;
        key.MethodText = std::string(method->Value);
        const TAttribute* format = list.Find("KEYFORMAT");
        key.KeyFormat = format ? std::string(format->Value) : std::string("identity");
        const bool identity = key.KeyFormat == "identity";
        key.Method = identity && key.MethodText == "AES-128" ? THlsKeyMethod::Aes128 : THlsKeyMethod::Other;
        const TAttribute* uri = list.Find("URI");
        if (key.Method == THlsKeyMethod::Aes128) {
            if (!uri || uri->Value.empty())
                return Error("EXT-X-KEY AES-128 without URI");
            if (!Address(uri->Value, "key", key.Uri))
                return false;
        } else if (uri) {
            // A key this program cannot use is never fetched: DRM systems name theirs with
            // schemes of their own (skd:, data:), which are no reason to reject the playlist.
            if (!Resolve(uri->Value, key.Uri))
                key.Uri.clear();
            else if (!Count(key.Uri))
                return false;
        }
        if (const TAttribute* iv = list.Find("IV")) {
            if (!ParseIv(iv->Value, key.Iv))
                return Error("the IV is not a 128-bit hexadecimal number");
            key.HasIv = true;
        }
        (identity ? FIdentityKey : FOtherKey) = static_cast<int>(FPlaylist.Keys.size());
        FPlaylist.Keys.push_back(std::move(key));
        return true;
    }

    bool ReadMap(string_view value)
    {
        TAttributes list;
        if (!Attributes(value, list))
            return false;
        const TAttribute* uri = list.Find("URI");
        if (!uri || uri->Value.empty())
            return Error("EXT-X-MAP without URI");
        if (FPlaylist.Maps.size() == MaxHlsSegments)
            return Error("more than " + std::to_string(MaxHlsSegments) + " initialization sections");
        THlsMap map;
        if (!Address(uri->Value, "map", map.Uri))
            return false;
        if (const TAttribute* range = list.Find("BYTERANGE")) {
            // Nothing precedes a section for a range to continue from: it starts at 0.
            if (!ParseByteRange(range->Value, map.Length, map.Offset))
                return Error("EXT-X-MAP with a bad BYTERANGE");
            map.Offset = std::max<std::int64_t>(map.Offset, 0);
        }
        map.Key = EffectiveKey();
        // A section has no media sequence number to stand in for a missing IV.
        if (map.Key >= 0 && FPlaylist.Keys[map.Key].Method == THlsKeyMethod::Aes128 && !FPlaylist.Keys[map.Key].HasIv)
            return Error("EXT-X-MAP under an AES-128 key without IV");
        FMap = static_cast<int>(FPlaylist.Maps.size());
        FPlaylist.Maps.push_back(std::move(map));
        return true;
    }

    bool ReadStreamInf(string_view value)
    {
        if (FSawSegmentTag)
            return Error("a playlist with both EXT-X-STREAM-INF and EXTINF");
        if (FPendingVariant)
            return Error(FVariantLine, "EXT-X-STREAM-INF without an address");
        TAttributes list;
        if (!Attributes(value, list))
            return false;
        FVariant = THlsVariant();
        if (const TAttribute* bandwidth = list.Find("BANDWIDTH"))
            if (!ParseDecimal64(bandwidth->Value, FVariant.Bandwidth))
                return Error("EXT-X-STREAM-INF with a bad BANDWIDTH");
        if (const TAttribute* resolution = list.Find("RESOLUTION")) {
            const string_view r = resolution->Value;
            const std::size_t x = r.find_first_of("xX");
            std::int64_t w = 0, h = 0;
            if (x == npos || !ParseDecimal64(r.substr(0, x), w) || !ParseDecimal64(r.substr(x + 1), h) ||
                w > std::numeric_limits<int>::max() || h > std::numeric_limits<int>::max())
                return Error("EXT-X-STREAM-INF with a bad RESOLUTION");
            FVariant.Width = static_cast<int>(w);
            FVariant.Height = static_cast<int>(h);
        }
        FVariant.Codecs = list.Text("CODECS");
        FVariant.AudioGroup = list.Text("AUDIO");
        FVariant.SubtitleGroup = list.Text("SUBTITLES");
        FPendingVariant = true;
        FVariantLine = FLine;
        FPlaylist.Master = true;
        return true;
    }

    bool ReadMedia(string_view value)
    {
        TAttributes list;
        if (!Attributes(value, list))
            return false;
        THlsRendition r;
        r.Type = list.Text("TYPE");
        r.GroupId = list.Text("GROUP-ID");
        if (r.Type.empty() || r.GroupId.empty())
            return Error("EXT-X-MEDIA without TYPE or GROUP-ID");
        if (FPlaylist.Renditions.size() == MaxHlsSegments)
            return Error("more than " + std::to_string(MaxHlsSegments) + " renditions");
        r.Name = list.Text("NAME");
        r.Language = list.Text("LANGUAGE");
        r.Default = list.Text("DEFAULT") == "YES";
        // Captions travel inside the video; an address given for them has nothing to fetch. An
        // empty one would name this playlist itself.
        if (const TAttribute* uri = list.Find("URI"); uri && !uri->Value.empty() && r.Type != "CLOSED-CAPTIONS")
            if (!Address(uri->Value, "rendition", r.Uri))
                return false;
        FPlaylist.Renditions.push_back(std::move(r));
        return true;
    }

    bool ReadAddressLine(string_view line)
    {
        if (FPendingVariant) {
            if (FPlaylist.Variants.size() == MaxHlsSegments)
                return Error("more than " + std::to_string(MaxHlsSegments) + " variants");
            if (!Address(line, "variant", FVariant.Uri))
                return false;
            FPlaylist.Variants.push_back(std::move(FVariant));
            FPendingVariant = false;
            return true;
        }
        if (!FPendingSegment)
            return Error("an address without EXTINF or EXT-X-STREAM-INF before it");
        if (FPlaylist.Segments.size() == MaxHlsSegments)
            return Error("more than " + std::to_string(MaxHlsSegments) + " segments");
        THlsSegment& s = FSegment;
        if (!Address(line, "segment", s.Uri))
            return false;
        if (FPendingRange) {
            s.Length = FRangeLength;
            s.Offset = FRangeOffset;
            if (s.Offset < 0) {
                // Without an offset the range follows the previous segment's range of the same
                // resource.
                const THlsSegment* prev = FPlaylist.Segments.empty() ? nullptr : &FPlaylist.Segments.back();
                if (!prev || prev->Length < 0 || prev->Uri != s.Uri)
                    return Error(FRangeLine, "EXT-X-BYTERANGE without a previous range on the same resource");
                if (prev->Offset + prev->Length > std::numeric_limits<std::int64_t>::max() - s.Length)
                    return Error(FRangeLine, "a bad EXT-X-BYTERANGE");
                s.Offset = prev->Offset + prev->Length;
            }
        }
        const std::uint64_t index = FPlaylist.Segments.size();
        if (FPlaylist.MediaSequence > std::numeric_limits<std::uint64_t>::max() - index)
            return Error("the media sequence number overflows");
        s.Sequence = FPlaylist.MediaSequence + index;
        s.Key = EffectiveKey();
        s.Map = FMap;
        s.Discontinuity = FPendingDiscontinuity;
        FPlaylist.Segments.push_back(std::move(s));
        FPendingSegment = FPendingRange = FPendingDiscontinuity = false;
        return true;
    }
};

} // namespace

bool ResolveStreamAddress(const std::string& base, std::string_view ref, std::string& out)
{
    static const string_view kUnsafe = "\"<>\\^`{|}";
    auto unsafe = [](char c) {
        const unsigned char b = static_cast<unsigned char>(c);
        return b <= 0x20 || b >= 0x7F || kUnsafe.find(c) != npos;
    };
    std::string a = ResolveAddress(base, std::string(ref));
    const std::size_t authority = StartsWith(a, "http://") ? 7 : StartsWith(a, "https://") ? 8 : 0;
    if (!authority)
        return false;
    const std::size_t pathStart = std::min(a.find_first_of("/?#", authority), a.size());
    string_view host = string_view(a).substr(authority, pathStart - authority);
    if (std::any_of(host.begin(), host.end(), unsafe))
        return false;
    if (const std::size_t at = host.rfind('@'); at != npos)
        host.remove_prefix(at + 1);
    if (host.empty() || host.front() == ':')
        return false;
    if (const std::size_t hash = a.find('#', pathStart); hash != npos)
        a.resize(hash);
    static const char kHex[] = "0123456789ABCDEF";
    out.assign(a, 0, pathStart);
    for (std::size_t i = pathStart; i < a.size(); ++i) {
        if (unsafe(a[i])) {
            const unsigned char b = static_cast<unsigned char>(a[i]);
            out += '%';
            out += kHex[b >> 4];
            out += kHex[b & 15];
        } else {
            out += a[i];
        }
    }
    return true;
}

THlsParse ParseHlsPlaylist(std::string_view text, const std::string& playlistAddress)
{
    return THlsReader(playlistAddress).Read(text);
}

int ChooseHlsVariant(const std::vector<THlsVariant>& variants, int quality)
{
    const bool anyHeight =
        std::any_of(variants.begin(), variants.end(), [](const THlsVariant& v) { return v.Height > 0; });
    if (!anyHeight && quality == vqHQ && !variants.empty()) {
        // No heights: the middle of the bandwidth ladder stands for "better than the least".
        std::vector<int> order(variants.size());
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(), order.end(),
                         [&](int a, int b) { return variants[a].Bandwidth < variants[b].Bandwidth; });
        return order[order.size() / 2];
    }
    // How far a height is from what the quality asks for: lower is better. HQ looks for 480
    // lines; of two equally near, the taller is the better picture.
    auto distance = [quality](std::int64_t h) -> std::int64_t {
        return quality == vqHQ ? 2 * std::abs(h - 480) + (h < 480 ? 1 : 0) : quality == vqNormal ? h : -h;
    };
    int best = -1;
    for (int i = 0; i < static_cast<int>(variants.size()); ++i) {
        const THlsVariant& v = variants[i];
        if (anyHeight && v.Height <= 0)
            continue;
        if (best < 0) {
            best = i;
            continue;
        }
        const THlsVariant& b = variants[best];
        const std::int64_t dv = anyHeight ? distance(v.Height) : 0, db = anyHeight ? distance(b.Height) : 0;
        const bool moreBandwidth = quality == vqNormal ? v.Bandwidth < b.Bandwidth : v.Bandwidth > b.Bandwidth;
        if (dv < db || (dv == db && moreBandwidth))
            best = i;
    }
    return best;
}

const THlsRendition* ChooseHlsAudio(const THlsPlaylist& master, const std::string& group)
{
    const THlsRendition* first = nullptr;
    if (group.empty())
        return nullptr;
    for (const THlsRendition& r : master.Renditions) {
        if (r.Type != "AUDIO" || r.GroupId != group || r.Uri.empty())
            continue;
        if (r.Default)
            return &r;
        if (!first)
            first = &r;
    }
    return first;
}

std::array<std::uint8_t, 16> HlsSegmentIv(const THlsKey& key, std::uint64_t sequence)
{
    if (key.HasIv)
        return key.Iv;
    std::array<std::uint8_t, 16> iv{};
    for (int i = 15; i >= 8; --i, sequence >>= 8)
        iv[i] = static_cast<std::uint8_t>(sequence & 0xFF);
    return iv;
}

bool IsHlsPlaylistType(const std::string& contentType)
{
    const std::string type = text::Lower(text::TrimBlanks(contentType.substr(0, contentType.find(';'))));
    return type == "application/vnd.apple.mpegurl" || type == "application/x-mpegurl" || type == "audio/mpegurl" ||
           type == "audio/x-mpegurl";
}

bool LooksLikeHlsPlaylist(std::string_view bodyStart)
{
    if (StartsWith(bodyStart, "\xEF\xBB\xBF"))
        bodyStart.remove_prefix(3);
    return StartsWith(bodyStart, "#EXTM3U");
}

} // namespace cw
