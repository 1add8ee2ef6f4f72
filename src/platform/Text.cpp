#include "platform/Text.h"

#include <charconv>

namespace cw::text {

char UpperChar(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

char LowerChar(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Upper(std::string s)
{
    for (char& c : s)
        c = UpperChar(c);
    return s;
}

std::string Lower(std::string s)
{
    for (char& c : s)
        c = LowerChar(c);
    return s;
}

std::size_t PosNoCase(const std::string& haystack, const std::string& needle, std::size_t from)
{
    constexpr auto npos = std::string::npos;
    if (needle.size() > haystack.size() || from > haystack.size() - needle.size())
        return npos;
    const std::size_t last = haystack.size() - needle.size();
    for (std::size_t i = from; i <= last; ++i) {
        std::size_t k = 0;
        while (k < needle.size() && UpperChar(haystack[i + k]) == UpperChar(needle[k]))
            ++k;
        if (k == needle.size())
            return i;
    }
    return npos;
}

bool ContainsNoCase(const std::string& haystack, const std::string& needle)
{
    return PosNoCase(haystack, needle) != std::string::npos;
}

namespace {

bool EqualNoCase(const char* a, const char* b, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        if (UpperChar(a[i]) != UpperChar(b[i]))
            return false;
    return true;
}

} // namespace

bool SameNoCase(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && EqualNoCase(a.data(), b.data(), a.size());
}

bool StartsWithNoCase(const std::string& s, const std::string& prefix)
{
    return s.size() >= prefix.size() && EqualNoCase(s.data(), prefix.data(), prefix.size());
}

bool EndsWithNoCase(const std::string& s, const std::string& suffix)
{
    return s.size() >= suffix.size() && EqualNoCase(s.data() + s.size() - suffix.size(), suffix.data(), suffix.size());
}

int ToIntDef(const std::string& s, int def)
{
    if (s.empty())
        return def;
    const char* first = s.data();
    const char* last = s.data() + s.size();
    // from_chars takes no plus sign; "+-1" stays an error rather than becoming -1.
    if (*first == '+' && s.size() > 1 && first[1] != '-')
        ++first;
    int value = 0;
    auto [end, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || end != last)
        return def;
    return value;
}

std::string PercentDecoded(const std::string& s)
{
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && HexDigitValue(s[i + 1]) >= 0 && HexDigitValue(s[i + 2]) >= 0) {
            out += static_cast<char>(HexDigitValue(s[i + 1]) * 16 + HexDigitValue(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::string TrimBlanks(const std::string& s)
{
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t'))
        --e;
    return s.substr(b, e - b);
}

int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace cw::text
