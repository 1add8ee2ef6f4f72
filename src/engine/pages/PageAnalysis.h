#pragma once
// Watch-page analysis: one pass over the page text read so far, for one item of a run. The
// page stage reads the page again and again while it loads and runs a pass after every read;
// the pass finds the title (the file name) and the direct address of the video file with fixed
// text markers (no HTML parsing) and tells the stage what to do next.
//
// The site is chosen by the item's address alone: the YouTube, Metacafe and Google Video rules
// run in that order, each only when the address contains that site's domain (any letter case).
// Text is 8-bit; searches "without regard to case" fold ASCII letters only. Any page, of any
// size or content, gives one of the four outcomes; nothing here throws on bad input.

#include "global/Global.h"

#include <string>

namespace cw {

// Hosts the direct addresses are built on or recognised by.
extern const char* const YoutubeHost;         // "www.youtube.com": YouTube's main web host
extern const char* const MetacafeFileHost;    // "v.mccont.com": serves Metacafe's video files
extern const char* const MetacafeWwwHost;     // "www.metacafe.com": written into the file path
extern const char* const GoogleVideoLinkHost; // "vp.video.google.com": download links on the page

// The item's analysis state. The download window clears it when an item's page stage begins
// (FileName and DownloadUrl empty, HdAvailable false), sets Mode to the run's job mode before
// every pass and takes Mode back afterwards: a Google Video page switches the whole run to
// download only.
struct TPageItemState {
    std::string FileName;     // eFileName: the name the video is saved under
    std::string DownloadUrl;  // eDownloadUrl: the direct address of the video file
    bool HdAvailable = false; // the YouTube page offers HD; a pass sets it, never clears it
    JobMode Mode = jmDownload;
};

enum TAnalysisResult {
    arIncomplete,    // read the page again and run another pass
    arComplete,      // DownloadUrl is known
    arAgeRestricted, // the page asks to confirm the viewer's age: the caller tells the user
                     // (AgeRestrictionMessage): skip the item, or stop the run
    arUnavailable,   // the site says the function is unavailable; the attempt ends
};

// One analysis pass; it changes nothing but state and shows nothing.
TAnalysisResult AnalysePage(const std::string& address, const std::string& page, TPageItemState& state);

// A YouTube title to a file name: the few character references decoded (&amp; &nbsp; &copy;) or
// dropped (&quot; &lt; &gt;), trimmed, ".flv" appended, then CleanFileName.
std::string TitleToFileName(const std::string& title);

// Replace the first occurrence of pattern again and again, each time searching the whole
// current text from its start, so a replacement can form a new match ("&amp;amp;" -> "&").
// Linear in the text size. A replacement that is not shorter than the pattern could make that
// loop endless; such a pair is replaced in one left-to-right sweep instead. An empty pattern
// changes nothing.
std::string ReplaceAll(const std::string& text, const std::string& pattern, const std::string& replacement);

// The text of the age-verification message box.
extern const char* const AgeRestrictionMessage;

} // namespace cw
