#pragma once
// The output formats offered in the "Convert to:" list: caption, converter arguments and the
// output file's extension. Captions and arguments stand in the same order, so the item index
// selects the arguments and the caption's bracketed type selects the extension.

#include <string>
#include <vector>

namespace cw {

constexpr int FormatPresetCount = 11;

// The captions in list order (item i of the list is preset i).
const std::vector<std::string>& FormatCaptions();

// The converter arguments of preset index (each ends with one blank); "" for any index outside
// 0..10 (no selection is -1).
std::string FormatArguments(int index);

// The extension for a caption by its bracketed type tag ("MOV)", "MP4)", ...; case-insensitive;
// a later tag in the test order wins); "" when the caption has none (no selection).
std::string FormatExtension(const std::string& caption);

} // namespace cw
