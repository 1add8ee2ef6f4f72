#pragma once
// Names for files that come from today's web rather than from the three sites' pages: an
// address that answered with a video file, or a file a page's metadata pointed to.

#include "platform/MediaTypes.h"

#include <string>

namespace cw {

// The name an item's file is saved under: name (the disposition's, the page's title, or the
// address's last segment), with extension appended when it does not already end in a media
// extension, cleaned as every file name is.
std::string MediaFileName(const std::string& name, const std::string& extension);

// The extension for an answer's Content-Type ("video/webm" -> ".webm"), else the address's own
// media extension, else ".mp4".
std::string ExtensionForAnswer(const std::string& contentType, const std::string& address);

} // namespace cw
