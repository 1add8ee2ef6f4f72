#include "global/AddressQueue.h"

#include "global/Global.h"
#include "platform/Text.h"

namespace cw {

CaptionSet::CaptionSet(const std::vector<std::string>& captions)
{
    FUpper.reserve(captions.size());
    for (const std::string& c : captions)
        Add(c);
}

bool CaptionSet::Contains(const std::string& caption) const
{
    return FUpper.count(text::Upper(caption)) != 0;
}

void CaptionSet::Add(const std::string& caption)
{
    FUpper.insert(text::Upper(caption));
}

std::string TrimControls(const std::string& text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= 32)
        ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 32)
        --end;
    return text.substr(begin, end - begin);
}

bool AddressInScope(const std::string& line, AddressScope scope)
{
    // Google's cache serves files it links to by itself, under addresses that expire: never queued.
    if (text::ContainsNoCase(line, VideoCacheHost))
        return false;
    if (IsVideoAddress(line))
        return true;
    return scope == AddressScope::List ? IsWebAddress(line) : IsMediaFileAddress(line);
}

std::vector<std::string> SplitClipboardAddresses(const std::string& text, const CaptionSet& list, AddressScope scope)
{
    std::vector<std::string> result;
    CaptionSet taken;
    auto consider = [&](std::string line) {
        if (line.empty() || list.Contains(line) || !AddressInScope(line, scope) || taken.Contains(line))
            return;
        taken.Add(line);
        result.push_back(std::move(line));
    };

    std::size_t start = 0;
    for (std::size_t lf = text.find('\n'); lf != std::string::npos; lf = text.find('\n', start)) {
        std::size_t end = lf;
        if (end > start && text[end - 1] == '\r')
            --end;
        consider(text.substr(start, end - start));
        start = lf + 1;
    }
    consider(text.substr(start)); // the remainder keeps a carriage return it may end with
    return result;
}

PreparedClipboard PrepareClipboardText(const std::string& clipboardText, const CaptionSet& list, AddressScope scope)
{
    PreparedClipboard prepared;
    std::string text = TrimControls(clipboardText);
    const std::string cacheAddress = std::string("http://") + VideoCacheHost;
    if (text::SameNoCase(text.substr(0, cacheAddress.size()), cacheAddress)) {
        prepared.Verdict = ClipboardVerdict::Ignored;
        return prepared;
    }
    if (!text::ContainsNoCase(text, ".com") && !text::ContainsNoCase(text, "http://") &&
        !text::ContainsNoCase(text, "https://")) {
        prepared.Verdict = ClipboardVerdict::NoAddress;
        return prepared;
    }
    prepared.Verdict = ClipboardVerdict::Addresses;
    prepared.Addresses = SplitClipboardAddresses(text, list, scope);
    return prepared;
}

} // namespace cw
