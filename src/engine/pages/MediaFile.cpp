#include "engine/pages/MediaFile.h"

#include "global/Global.h"
#include "platform/MediaTypes.h"
#include "platform/Text.h"

namespace cw {

std::string MediaFileName(const std::string& name, const std::string& extension)
{
    std::string base = name;
    for (char& c : base)
        if (static_cast<unsigned char>(c) < 32 || c == 127)
            c = ' ';
    base = text::TrimBlanks(base);
    std::string probe = "/" + base; // as a path: a '?' or '#' of a title is no query
    for (char& c : probe)
        if (c == '?' || c == '#')
            c = '_';
    if (MediaExtensionOf(probe).empty())
        base += extension;
    return CleanFileName(base);
}

std::string ExtensionForAnswer(const std::string& contentType, const std::string& address)
{
    static const struct {
        const char* Type;
        const char* Extension;
    } kTypes[] = {{"video/mp4", ".mp4"},        {"video/webm", ".webm"},     {"video/ogg", ".ogv"},
                  {"video/quicktime", ".mov"},  {"video/x-matroska", ".mkv"}, {"video/x-flv", ".flv"},
                  {"video/x-m4v", ".m4v"},      {"audio/mpeg", ".mp3"},       {"audio/mp4", ".m4a"},
                  {"audio/ogg", ".ogg"},        {"audio/opus", ".opus"},      {"audio/webm", ".webm"}};
    const std::string type = text::Lower(text::TrimBlanks(contentType.substr(0, contentType.find(';'))));
    for (const auto& t : kTypes)
        if (type == t.Type)
            return t.Extension;
    const std::string own = MediaExtensionOf(address);
    return own.empty() ? ".mp4" : own;
}

} // namespace cw
