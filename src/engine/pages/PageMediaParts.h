#pragma once
// The parts the open page rules are built from, shared by their source files only:
// PageMediaAddress.cpp (references resolved as RFC 3986 says), PageMediaJson.cpp (a small
// tolerant JSON reader) and PageMedia.cpp (the page scan and the choice of a file).

#include "net/http/HttpUrl.h"
#include "engine/pages/PageMedia.h"
#include "platform/Text.h"
#include "platform/Utf8.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cw::pagemedia {

using std::string_view;
constexpr std::size_t npos = std::string::npos;

// Bounds on what one page may make us keep or do. A JSON-LD block larger than any real one is
// not read at all; deeper nesting or more values than any real one ends that block's reading
// with what was read so far.
constexpr std::size_t kMaxJsonBytes = 4 * 1024 * 1024;
constexpr int kMaxJsonDepth = 64;
constexpr std::size_t kMaxJsonNodes = 200000;
constexpr std::size_t kMaxAttributes = 64;
constexpr std::size_t kMaxAddressBytes = 64 * 1024;
// Before addresses are resolved and duplicates removed, each source keeps a few times as many
// as the final lists may hold, so a page repeating one address still yields its distinct ones.
constexpr std::size_t kMaxRaw = 4 * MaxMediaCandidates;
constexpr int kMaxLines = 100000;

inline bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

inline bool IsAlpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

inline bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

inline bool SameNoCase(string_view a, string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (text::LowerChar(a[i]) != text::LowerChar(b[i]))
            return false;
    return true;
}

inline bool EndsWith(string_view s, string_view suffix)
{
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

inline string_view Trim(string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

// ---- addresses (PageMediaAddress.cpp)

// The parts of an address, as the HTTP client splits and joins them (one reader for both).
using UriParts = TUriReference;
inline UriParts SplitUri(string_view s)
{
    return SplitReference(std::string(s));
}
inline std::string JoinUri(const UriParts& u)
{
    return JoinReference(u);
}
// The host of an address, lower case, without user information and port.
std::string HostOf(const std::string& address);
// A decoded address made ready to request against base, or "" when it cannot be one.
std::string FinishAddress(const std::string& decoded, const std::string& base);
// The lower-case extension of an address's last path segment, with its dot, or "".
std::string PathExtension(const std::string& address);
// "HLS", "DASH" or nullptr, by the declared type, else by the address's extension.
const char* StreamKind(const std::string& type, const std::string& address);
bool IsPlayerType(const std::string& type);

// ---- JSON (PageMediaJson.cpp)

struct JNode {
    enum Kind : unsigned char { Null, Bool, Number, String, Array, Object };
    Kind K = Null;
    std::string Key;  // the member name when the parent is an object
    std::string Text; // a string's value, a number's or literal's text
    int First = -1, Last = -1, Next = -1;
};

// Reads the one JSON value of text into nodes (a data block's wrapping for old browsers is
// skipped); the index of its root node, or -1. A block that breaks off keeps what was read.
int ReadJson(string_view text, std::vector<JNode>& nodes);

} // namespace cw::pagemedia
