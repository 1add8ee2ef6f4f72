#include "convert/FormatPresets.h"

#include "platform/Text.h"

namespace cw {

namespace {

struct Preset {
    const char* Caption;
    const char* Arguments;
};

// Captions and argument rows stand in the same order; the extension comes from the caption.
const Preset kPresets[FormatPresetCount] = {
    {"Ipod Video (Apple QuickTime MOV)", "-s 320x240 -qscale 15 -r 20 -b 500kbit/s -ar 22050 -ab 64kbit/s -ac 1 "},
    {"Iphone Video (MPEG-4 MP4)",
     "-vcodec mpeg4 -qscale 15 -s 480x320 -r 29 -b 900kbit/s -ar 44100 -ab 96kbit/s -ac 2 "},
    {"PSP Video (H.264 MP4)", "-f psp -s 320x240 -qscale 15 -r 29 -b 768kbit/s -ar 24000 -ab 64kbit/s -ac 1 "},
    {"Cell Phone (H.263 3GP)", "-vcodec h263 -qscale 15 -s 176x144 -r 15 -b 30kbit/s -ar 8000 -ab 12.2kbit/s -ac 1 "},
    {"Windows Media Video (WMV)",
     "-s 320x240 -qscale 15 -b 50kbit/s -ar 22050 -ab 64kbit/s -ac 2 -vcodec wmv2 -acodec wmav2 "},
    {"XVid MPEG-4 Codec (AVI)",
     "-vcodec libxvid -qscale 15 -s 320x240 -b 200kbit/s -ar 22050 -ab 64kbit/s -ac 2 -aspect 4:3 "},
    {"Microsoft Mpeg4 AVI (AVI)", "-vcodec mpeg4 -qscale 15 -s 320x240 -ac 2 "},
    {"MPEG Audio Layer 3 (MP3)", "-ar 44100 -ab 128kbit/s -ac 2 "},
    {"Microsoft WAV (WAV)", "-ar 44100 -ab 128kbit/s -ac 2 "},
    {"MPEG1 Movie (MPG)", "-ab 64kbit/s -ar 22050 -b 500kbit/s -s 320x240 -ac 2 "},
    {"Windows Media Audio (WMA)", "-ar 44100 -ab 128kbit/s -ac 2 -vn -acodec wmav2 "},
};

struct Tag {
    const char* Text;
    const char* Extension;
};

// Tested in this order; a later match replaces an earlier one. The closing parenthesis keeps
// words inside a caption ("Movie") from counting.
const Tag kTags[] = {
    {"MOV)", ".mov"}, {"MP4)", ".mp4"}, {"3GP)", ".3gp"}, {"WMV)", ".wmv"}, {"AVI)", ".avi"},
    {"MP3)", ".mp3"}, {"WAV)", ".wav"}, {"MPG)", ".mpg"}, {"WMA)", ".wma"},
};

} // namespace

const std::vector<std::string>& FormatCaptions()
{
    static const std::vector<std::string> captions = [] {
        std::vector<std::string> v;
        for (const Preset& p : kPresets)
            v.emplace_back(p.Caption);
        return v;
    }();
    return captions;
}

std::string FormatArguments(int index)
{
    std::string result;
    if (index >= 0 && index < FormatPresetCount)
        result = kPresets[index].Arguments;
    return result;
}

std::string FormatExtension(const std::string& caption)
{
    const std::string upper = text::Upper(caption);
    std::string result;
    for (const Tag& t : kTags)
        if (upper.find(t.Text) != std::string::npos)
            result = t.Extension;
    return result;
}

} // namespace cw
