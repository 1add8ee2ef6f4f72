#pragma once
// The download window's texts and paths, kept free of widgets so they can be checked on their
// own: the progress labels of a transfer, the Content-Length scan of the received header, the
// output path of an item and the address for a quality level.

#include "global/Global.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cw {

// "1,164,288": a byte count grouped by ",".
std::string GroupedCount(std::int64_t n);
// "60 s": milliseconds as whole seconds, rounded up.
std::string SecondsText(int ms);

// "9,766 KB": kilobytes rounded up, grouped by ",".
std::string KilobytesText(std::int64_t bytes);

// "9,766 KB of 19,532 KB received" from the count so far and the total size text.
std::string ReceivedText(std::int64_t rcvdCount, const std::string& totalSizeText);

// The value of the first header line that starts with "Content-Length:" (exactly that case).
// nullopt when there is no such line, or when its value is not a plain non-negative decimal
// number: a bad header must not disturb the transfer, so it is ignored.
std::optional<std::int64_t> FindContentLength(const std::vector<std::string>& header);

// "488.3 KB/S": kilobytes per second, one decimal, with the given decimal separator.
std::string SpeedText(double kilobytesPerSecond, char decimalSeparator);
// The decimal separator of the user's locale ('.' when the locale has none).
char LocaleDecimalSeparator();

// "hh:mm:ss", each part two digits. A negative count (a stale maximum below the bytes already
// received) reads as zero; anything from 100 hours on reads as the ceiling "99:59:59": such an
// estimate only says "very long" (often a size the server made up), and stays in its label.
constexpr std::int64_t kClockCeilingSeconds = 99 * 3600 + 59 * 60 + 59;
std::string ClockText(std::int64_t seconds);

// One speed/remaining-time update over the interval since the last one. nullopt when the
// interval cannot describe a rate (no time passed or no new bytes): the labels keep what they
// show rather than divide by zero.
struct RateTexts {
    std::string Speed;     // lReceiveSpeed
    std::string Remaining; // lEstimateTime
};
std::optional<RateTexts> RateUpdate(std::int64_t maximum, std::int64_t rcvdCount, std::int64_t rateCount,
                                    std::uint32_t elapsedMs, char decimalSeparator);

// Paths. Folders use '/' as the separator.
std::string IncludeTrailingPathDelimiter(const std::string& folder);
// The part after the last '/'.
std::string ExtractFileName(const std::string& path);
// Replace the extension of the file-name part (from its last '.') by ext, or append ext when the
// name has none. An empty ext removes the extension.
std::string ChangeFileExt(const std::string& path, const std::string& ext);

// Where a downloaded item is saved: folder + the cleaned file name, with ".mp4" above vqNormal.
std::string TransferOutputPath(const std::string& folder, const std::string& fileName, int quality);

// The address actually requested: the direct address plus "&fmt=18"/"&fmt=22" by quality.
std::string QualityAddress(const std::string& downloadUrl, int quality, bool hdAvailable);

// An address written in HTML text, as a link's attribute holds it, turned back into the address:
// "&amp;" "&lt;" "&gt;" "&quot;" "&apos;" and numeric references ("&#38;", "&#x26;") are
// decoded once, left to right. A reference that would give a control byte or anything beyond
// printable ASCII stays as it is written, so decoding can never put such a byte into a request.
std::string DecodeCharacterReferences(const std::string& text);

// "Ostrelle Clipwarden (2/5)".
std::string RunCaption(const std::string& title, int itemIndex, int count);

} // namespace cw
