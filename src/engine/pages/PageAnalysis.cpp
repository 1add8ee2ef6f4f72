#include "engine/pages/PageAnalysis.h"

#include "platform/Application.h"
#include "platform/Text.h"

#include <chrono>
#include <random>

namespace cw {

const char* const YoutubeHost = "www.youtube.com";
const char* const MetacafeFileHost = "v.mccont.com";
const char* const MetacafeWwwHost = "www.metacafe.com";
const char* const GoogleVideoLinkHost = "vp.video.google.com";

// The misspelling and the straight quotes standing for apostrophes are what users have always
// seen in this box; keep them.
const char* const AgeRestrictionMessage =
    "This video may contain content that is inappropriate for some users, as flagged by YouTube\"s user "
    "commnunity. "
    "To view this video, please verify you are 18 or older by logging in or signing up."
    "\r\n\r\n"
    "Please log in your account on Internet Explorer firstly. You need to check the option \"Stay signed in\". "
    "It\"s better to change the YouTube show languages to English. Then download the video again.";

namespace {

constexpr auto npos = std::string::npos;

// The page text of one pass, with a lower-cased copy made the first time a search without
// regard to case needs it. Folding keeps every byte in place, so a position found in the copy
// cuts the original at the same place and the cut keeps the page's own letter case.
class PageText {
public:
    explicit PageText(const std::string& text) : FText(text) {}

    const std::string& Text() const { return FText; }

    std::size_t Find(const std::string& marker, std::size_t from = 0) const { return FText.find(marker, from); }

    // marker must already be lower case.
    std::size_t FindNoCase(const std::string& lowerMarker, std::size_t from = 0) const
    {
        if (!FFolded) {
            FLower = text::Lower(FText);
            FFolded = true;
        }
        return FLower.find(lowerMarker, from);
    }

    // The text from first up to, not including, last (both clamped to the text).
    std::string Cut(std::size_t first, std::size_t last) const
    {
        if (first >= FText.size() || last <= first)
            return std::string();
        return FText.substr(first, std::min(last, FText.size()) - first);
    }

private:
    const std::string& FText;
    mutable std::string FLower;
    mutable bool FFolded = false;
};

bool IsBlankOrControl(char c)
{
    return static_cast<unsigned char>(c) <= 32;
}

std::string Trim(const std::string& s)
{
    std::size_t first = 0;
    std::size_t last = s.size();
    while (first < last && IsBlankOrControl(s[first]))
        ++first;
    while (last > first && IsBlankOrControl(s[last - 1]))
        --last;
    return s.substr(first, last - first);
}

bool Contains(const std::string& text, const char* marker)
{
    return text.find(marker) != npos;
}

// The ten characters after the HD marker say whether HD is offered ("true" in any case).
bool HdMarkerSaysTrue(const PageText& page)
{
    static const std::string kMarker = "IS_HD_AVAILABLE";
    std::size_t at = page.Find(kMarker);
    if (at == npos)
        return false;
    std::size_t from = at + kMarker.size();
    return Contains(text::Lower(page.Cut(from, from + 10)), "true");
}

bool IsAgeVerificationPage(const PageText& page)
{
    return page.FindNoCase("confirm birth date") != npos ||
           page.FindNoCase("please verify you are 18 or older") != npos ||
           (page.FindNoCase("verify_age") != npos && page.Find("18") != npos);
}

void FindYoutubeTitle(const PageText& page, TPageItemState& state)
{
    // A page titled "YouTube - ..." names the video right there; this form refreshes the name on
    // every pass, the other two only fill it once.
    static const std::string kPrefixed = "<title>YouTube - ";
    std::size_t at = page.Find(kPrefixed);
    if (at != npos) {
        std::size_t start = at + kPrefixed.size();
        std::size_t close = page.Find("/title>", start);
        // The title ends one character before "/title>", normally at its "<".
        if (close != npos)
            state.FileName = TitleToFileName(close > start ? page.Cut(start, close - 1) : std::string());
    }

    if (!Contains(state.FileName, ".flv")) {
        static const std::string kMeta = "meta name=\"title\" content=\"";
        at = page.Find(kMeta);
        if (at != npos) {
            std::size_t start = at + kMeta.size();
            std::size_t quote = page.Find("\"", start);
            if (quote != npos)
                state.FileName = TitleToFileName(page.Cut(start, quote));
            else if (start < page.Text().size())
                state.FileName = TitleToFileName(page.Cut(start, page.Text().size())); // never closed
        }
    }

    if (!Contains(state.FileName, ".flv")) {
        static const std::string kOpen = "<title>";
        at = page.Find(kOpen);
        if (at != npos) {
            std::size_t start = at + kOpen.size();
            std::size_t close = page.Find("</title>", start);
            if (close != npos)
                state.FileName = TitleToFileName(page.Cut(start, close));
        }
    }
}

// The token that authorises the direct address: the quoted "t" value of the player settings,
// else the t parameter of an address in the page. False while the page does not show one yet.
bool FindYoutubeToken(const PageText& page, std::string& token)
{
    static const std::string kQuoted = "\"t\":";
    static const std::string kParam = "&t=";
    std::size_t at = page.Find(kQuoted);
    if (at != npos) {
        std::size_t open = page.Find("\"", at + kQuoted.size());
        if (open == npos)
            return false;
        std::size_t close = page.Find("\"", open + 1);
        if (close == npos)
            return false;
        token = page.Cut(open + 1, close);
        return true;
    }
    at = page.Find(kParam);
    if (at != npos) {
        std::size_t start = at + kParam.size();
        std::size_t amp = page.Find("&", start);
        if (amp == npos)
            return false;
        token = page.Cut(start, amp);
        return true;
    }
    return false;
}

TAnalysisResult AnalyseYoutube(const std::string& address, const PageText& page, TPageItemState& state)
{
    if (IsAgeVerificationPage(page))
        return arAgeRestricted;
    if (page.FindNoCase("this functionality is not available right now") != npos)
        return arUnavailable;

    if (HdMarkerSaysTrue(page))
        state.HdAvailable = true;

    FindYoutubeTitle(page, state);

    // The direct address is fixed by the first pass that finds it.
    if (state.DownloadUrl.empty()) {
        std::string token;
        if (!FindYoutubeToken(page, token))
            return arIncomplete;
        std::size_t eq = address.find('=');
        if (eq == npos)
            return arIncomplete;
        std::string id = address.substr(eq + 1);
        std::size_t feature = text::Lower(id).find("&feature=");
        if (feature != npos)
            id.erase(feature);
        state.DownloadUrl = std::string("http://") + YoutubeHost + "/get_video?asv=&video_id=" + id + "&t=" + token;
    }

    // Whether HD is offered decides the quality suffix, so wait until the page has said so.
    if (!state.HdAvailable && page.Find("IS_HD_AVAILABLE") == npos)
        return arIncomplete;
    return arComplete;
}

TAnalysisResult AnalyseMetacafe(const PageText& page, TPageItemState& state)
{
    state.FileName.clear();

    std::size_t at = page.FindNoCase("<title>");
    if (at != npos) {
        std::size_t start = at + 7;
        std::size_t end = page.FindNoCase("- video", start);
        if (end != npos)
            state.FileName = Trim(page.Cut(start, end)) + ".flv";
    }

    // The file name stands in the page after the last encoded blank ("%2520") before the first
    // ".flv".
    std::size_t flv = page.FindNoCase(".flv");
    if (flv == npos)
        return arIncomplete;
    static const std::string kBlank = "%2520";
    std::size_t blank = page.Find(kBlank);
    if (blank == npos || blank > flv)
        return arIncomplete;
    blank = page.Text().rfind(kBlank, flv); // the last one starting at or before the ".flv"
    std::string videoName = page.Cut(blank + kBlank.size(), flv + 4);

    if (state.FileName.empty())
        state.FileName = videoName;
    state.DownloadUrl =
        std::string("http://") + MetacafeFileHost + "/ItemFiles/%5BFrom%20" + MetacafeWwwHost + "%5D%20" + videoName;
    return arComplete;
}

std::string RandomGoogleVideoName()
{
    std::minstd_rand random(
        static_cast<std::minstd_rand::result_type>(std::chrono::system_clock::now().time_since_epoch().count()));
    return "GoogleVideo" + std::to_string(std::uniform_int_distribution<int>(0, 255)(random));
}

TAnalysisResult AnalyseGoogleVideo(const PageText& page, TPageItemState& state)
{
    // Google Video files are not converted: the rest of the run only downloads.
    state.Mode = jmDownload;

    std::size_t at = page.FindNoCase("<title>");
    if (at != npos) {
        std::size_t start = at + 7;
        std::size_t end = page.FindNoCase("</title>", start);
        if (end != npos)
            state.FileName = Trim(page.Cut(start, end)) + ".mp4";
    }
    if (state.FileName.empty())
        state.FileName = RandomGoogleVideoName();

    // The download link: <a href="http://<link host>...">this link</a>, taken as written.
    const std::string marker = text::Lower(std::string("href=\"http://") + GoogleVideoLinkHost);
    at = page.FindNoCase(marker);
    if (at == npos)
        return arIncomplete;
    std::size_t start = at + 6; // just after the opening double quote
    std::size_t end = page.FindNoCase("\">this link", start);
    if (end == npos)
        return arIncomplete;
    state.DownloadUrl = page.Cut(start, end);
    return arComplete;
}

} // namespace

TAnalysisResult AnalysePage(const std::string& address, const std::string& page, TPageItemState& state)
{
    PageText text(page);
    if (text::ContainsNoCase(address, YoutubeDomain)) {
        TAnalysisResult r = AnalyseYoutube(address, text, state);
        if (r != arComplete)
            return r;
    }
    if (text::ContainsNoCase(address, MetacafeDomain)) {
        TAnalysisResult r = AnalyseMetacafe(text, state);
        if (r != arComplete)
            return r;
    }
    if (text::ContainsNoCase(address, GoogleDomain)) {
        TAnalysisResult r = AnalyseGoogleVideo(text, state);
        if (r != arComplete)
            return r;
    }
    return state.DownloadUrl.empty() ? arIncomplete : arComplete;
}

std::string TitleToFileName(const std::string& title)
{
    std::string s = ReplaceAll(title, "&amp;", "&");
    s = ReplaceAll(s, "&quot;", "");
    s = ReplaceAll(s, "&lt;", "");
    s = ReplaceAll(s, "&gt;", "");
    s = ReplaceAll(s, "&nbsp;", " ");
    s = ReplaceAll(s, "&copy;", "@");
    return CleanFileName(Trim(s) + ".flv");
}

std::string ReplaceAll(const std::string& text, const std::string& pattern, const std::string& replacement)
{
    if (pattern.empty())
        return text;
    const std::size_t m = pattern.size();

    if (replacement.size() >= m) {
        std::string out;
        std::size_t from = 0;
        for (std::size_t at = text.find(pattern); at != npos; at = text.find(pattern, from)) {
            out.append(text, from, at - from);
            out += replacement;
            from = at + m;
        }
        out.append(text, from, npos);
        return out;
    }

    // Restarting the search at the start of the text after each replacement finds the earliest
    // occurrence; all occurrences have the same length, so the earliest to start is the earliest
    // to end. Moving the text over one character at a time and checking the end of what has been
    // moved finds exactly that one; a replacement is then put back in front of the unread text,
    // where it may combine with what precedes it, as a restart would see. Every replacement
    // shortens the text, so this is linear.
    std::string out;
    out.reserve(text.size());
    std::string pending; // replacement characters still to move, reversed
    std::size_t next = 0;
    while (!pending.empty() || next < text.size()) {
        if (!pending.empty()) {
            out += pending.back();
            pending.pop_back();
        } else {
            out += text[next++];
        }
        if (out.size() >= m && out.compare(out.size() - m, m, pattern) == 0) {
            out.resize(out.size() - m);
            pending.append(replacement.rbegin(), replacement.rend());
        }
    }
    return out;
}

} // namespace cw
