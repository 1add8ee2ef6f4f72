#pragma once
// The rules that turn clipboard text into new entries of the address list, without any window:
// the main window's Paste command and its automatic clipboard pick-up share them.
//
// Duplicates are judged by whole captions compared case-insensitively (ASCII letters only),
// both against the list and within the text itself. Lines are not trimmed one by one: a line with
// a leading blank is tested and added with that blank.

#include <string>
#include <unordered_set>
#include <vector>

namespace cw {

// The captions already in the list, kept upper-cased for the duplicate test.
class CaptionSet {
public:
    CaptionSet() = default;
    explicit CaptionSet(const std::vector<std::string>& captions);
    bool Contains(const std::string& caption) const;
    void Add(const std::string& caption);

private:
    std::unordered_set<std::string> FUpper;
};

// Leading and trailing characters with codes 0..32 removed (bytes above 127 are kept).
std::string TrimControls(const std::string& text);

// Which addresses a way into the list takes. What the user pastes, types or drops: the three
// sites' watch pages and any other web address standing alone on its line. What the automatic
// pick-up sees of every copy: the watch pages and direct links to media files only, so that an
// ordinary link copied for another reason is not queued.
enum class AddressScope { List, Pickup };

// The new, valid, distinct addresses of text, in the order they stand. Each line is the text up
// to a line feed, less one carriage return before it; the text after the last line feed is
// tested as it is. A line qualifies when the scope takes it (IsVideoAddress, IsWebAddress or
// IsMediaFileAddress), it is not in the list and not already taken from this text. Runs in
// time linear in the text.
std::vector<std::string> SplitClipboardAddresses(const std::string& text, const CaptionSet& list,
                                                 AddressScope scope = AddressScope::List);
bool AddressInScope(const std::string& line, AddressScope scope);

enum class ClipboardVerdict {
    Ignored,   // a direct video-file link of the video cache host: never queued, nothing said
    NoAddress, // no ".com" and no "http://" or "https://" anywhere: nothing taken
    Addresses, // SplitClipboardAddresses decided (the result may still be empty)
};

struct PreparedClipboard {
    ClipboardVerdict Verdict = ClipboardVerdict::NoAddress;
    std::vector<std::string> Addresses;
};

// Clipboard text as the list takes it: trimmed, then the video-cache test, the address test and
// the split, in that order.
PreparedClipboard PrepareClipboardText(const std::string& clipboardText, const CaptionSet& list,
                                       AddressScope scope = AddressScope::List);

} // namespace cw
