#include "engine/streams/DashManifest.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <limits>

// The small readers a manifest's values need: durations, segment address templates, and the
// segment index a SegmentBase names.

namespace cw {

namespace {

using std::string_view;
constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();

std::uint64_t BigEndian(string_view b, std::size_t at, int bytes)
{
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | static_cast<unsigned char>(b[at + static_cast<std::size_t>(i)]);
    return v;
}

} // namespace

bool ParseDashDuration(string_view s, double& seconds)
{
    if (s.size() < 3 || s.size() > 64 || s[0] != 'P')
        return false;
    double total = 0;
    bool inTime = false, any = false;
    std::size_t i = 1;
    while (i < s.size()) {
        if (s[i] == 'T') {
            if (inTime)
                return false;
            inTime = true;
            ++i;
            continue;
        }
        const std::size_t numberStart = i;
        while (i < s.size() && ((s[i] >= '0' && s[i] <= '9') || s[i] == '.'))
            ++i;
        if (i == numberStart || i >= s.size())
            return false;
        const string_view digits = s.substr(numberStart, i - numberStart);
        if (std::count(digits.begin(), digits.end(), '.') > 1 || digits.front() == '.' || digits.back() == '.')
            return false;
        double v = 0;
        const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), v);
        if (r.ec != std::errc() || r.ptr != digits.data() + digits.size())
            return false;
        const char unit = s[i++];
        const bool fraction = digits.find('.') != string_view::npos;
        if (!inTime && unit == 'D' && !fraction)
            total += v * 86400;
        else if (!inTime && (unit == 'Y' || unit == 'M') && v == 0 && !fraction)
            ;
        else if (inTime && unit == 'H' && !fraction)
            total += v * 3600;
        else if (inTime && unit == 'M' && !fraction)
            total += v * 60;
        else if (inTime && unit == 'S')
            total += v;
        else
            return false;
        any = true;
    }
    // A bound well past any real presentation keeps the arithmetic on it exact enough.
    if (!any || s.back() == 'T' || total > 1e9)
        return false;
    seconds = total;
    return true;
}

// The width of a "%0<width>d" format (1 for none or "%d"); false with why for any other format.
static bool TemplateWidth(string_view tag, std::size_t pct, int& width, std::string& why)
{
    width = 1;
    if (pct == string_view::npos)
        return true;
    string_view f = tag.substr(pct + 1);
    const bool digits =
        f.size() >= 1 && f.back() == 'd' &&
        (f.size() == 1 || (f.front() == '0' && f.size() >= 3 && f.size() <= 4 &&
                           std::all_of(f.begin() + 1, f.end() - 1, [](char d) { return d >= '0' && d <= '9'; })));
    if (!digits) {
        why = "a template format other than %0<width>d: $" + std::string(tag.substr(0, 40)) + "$";
        return false;
    }
    if (f.size() > 1)
        width = std::atoi(std::string(f.substr(1, f.size() - 2)).c_str());
    if (width > 32) {
        why = "a template width over 32";
        return false;
    }
    return true;
}

bool FillDashTemplate(string_view pattern, const std::string& id, std::int64_t number, std::int64_t bandwidth,
                      std::int64_t time, std::string& out, std::string& why)
{
    out.clear();
    for (std::size_t i = 0; i < pattern.size();) {
        const char c = pattern[i];
        if (c != '$') {
            out += c;
            ++i;
            continue;
        }
        const std::size_t close = pattern.find('$', i + 1);
        if (close == string_view::npos) {
            why = "a template with an unclosed $";
            return false;
        }
        const string_view tag = pattern.substr(i + 1, close - i - 1);
        i = close + 1;
        if (tag.empty()) {
            out += '$';
            continue;
        }
        const std::size_t pct = tag.find('%');
        const string_view name = tag.substr(0, pct);
        int width = 1;
        if (!TemplateWidth(tag, pct, width, why))
            return false;
        if (name == "RepresentationID") {
            if (pct != string_view::npos) {
                why = "a format on $RepresentationID$";
                return false;
            }
            out += id;
            continue;
        }
        if (name != "Number" && name != "Bandwidth" && name != "Time") {
            why = "an unknown template identifier $" + std::string(name.substr(0, 40)) + "$";
            return false;
        }
        std::string digits = std::to_string(name == "Number" ? number : name == "Bandwidth" ? bandwidth : time);
        if (static_cast<int>(digits.size()) < width)
            digits.insert(0, static_cast<std::size_t>(width) - digits.size(), '0');
        out += digits;
    }
    return true;
}

namespace {

// The first top-level `sidx` box of b: "" with where it starts (at), its size and its header's
// size, else why there is none.
std::string FindSidxBox(string_view b, std::size_t& at, std::uint64_t& size, std::size_t& header)
{
    at = 0;
    while (true) {
        if (b.size() - at < 8)
            return "no sidx box in the index range";
        size = BigEndian(b, at, 4);
        const string_view type = b.substr(at + 4, 4);
        header = 8;
        if (size == 1) {
            if (b.size() - at < 16)
                return "a box cut short";
            size = BigEndian(b, at + 8, 8);
            header = 16;
        } else if (size == 0) {
            size = b.size() - at; // to the end of what we have
        }
        if (size < header)
            return "a box smaller than its header";
        if (type == "sidx")
            return size > b.size() - at ? "the sidx box is cut short" : "";
        if (size > b.size() - at)
            return "no sidx box in the index range";
        at += static_cast<std::size_t>(size);
    }
}

// The references of a sidx box whose first byte is at offset start of the resource.
std::string ReadSidxBox(string_view box, std::size_t header, std::int64_t start, std::vector<TDashSegment>& out)
{
    std::size_t p = header;
    if (box.size() < p + 4 + 8)
        return "the sidx box is cut short";
    const int version = static_cast<unsigned char>(box[p]);
    p += 4 + 4 + 4; // version and flags, reference_ID, timescale
    const std::size_t timeBytes = version == 0 ? 4 : 8;
    if (box.size() < p + 2 * timeBytes + 4)
        return "the sidx box is cut short";
    const std::uint64_t firstOffset = BigEndian(box, p + timeBytes, static_cast<int>(timeBytes));
    p += 2 * timeBytes + 2; // the times, reserved
    const std::size_t count = static_cast<std::size_t>(BigEndian(box, p, 2));
    p += 2;
    if (box.size() < p + count * 12)
        return "the sidx box is cut short";
    // References count from the first byte after the box; every sum of offsets and lengths is
    // checked, so an index cannot name a byte past the largest file.
    std::int64_t pos = 0;
    if (firstOffset > static_cast<std::uint64_t>(kInt64Max) ||
        __builtin_add_overflow(start, static_cast<std::int64_t>(box.size()), &pos) ||
        __builtin_add_overflow(pos, static_cast<std::int64_t>(firstOffset), &pos))
        return "an offset past the largest file";
    for (std::size_t k = 0; k < count; ++k, p += 12) {
        const std::uint32_t word = static_cast<std::uint32_t>(BigEndian(box, p, 4));
        if (word & 0x80000000u)
            return "the index refers to further indexes";
        const std::int64_t length = word & 0x7FFFFFFFu;
        if (length == 0)
            return "a reference of no bytes";
        std::int64_t end = 0;
        if (__builtin_add_overflow(pos, length, &end))
            return "an offset past the largest file";
        out.push_back(TDashSegment{std::string(), pos, length});
        pos = end;
    }
    return out.empty() ? "the index lists no segments" : "";
}

} // namespace

TSidxRead ReadSegmentIndex(string_view b, std::int64_t offset)
{
    TSidxRead r;
    std::size_t at = 0;
    std::uint64_t size = 0;
    std::size_t header = 0;
    std::int64_t start = 0;
    std::string why = offset < 0 ? "a negative offset" : FindSidxBox(b, at, size, header);
    if (why.empty() && __builtin_add_overflow(offset, static_cast<std::int64_t>(at), &start))
        why = "an offset past the largest file";
    if (why.empty())
        why = ReadSidxBox(b.substr(at, static_cast<std::size_t>(size)), header, start, r.Segments);
    r.Ok = why.empty();
    if (!r.Ok) {
        r.Error = std::move(why);
        r.Segments.clear();
    }
    return r;
}

} // namespace cw
