// The output format table: what the main window's list shows and what a run gets from it.

#include "convert/FormatPresets.h"

#include <gtest/gtest.h>

using namespace cw;

namespace {

TEST(FormatPresetsTest, CaptionsArgumentsAndExtensionsAgreeRowByRow)
{
    struct Row {
        const char* Caption;
        const char* Arguments;
        const char* Extension;
    } rows[] = {
        {"Ipod Video (Apple QuickTime MOV)", "-s 320x240 -qscale 15 -r 20 -b 500kbit/s -ar 22050 -ab 64kbit/s -ac 1 ",
         ".mov"},
        {"Iphone Video (MPEG-4 MP4)",
         "-vcodec mpeg4 -qscale 15 -s 480x320 -r 29 -b 900kbit/s -ar 44100 -ab 96kbit/s -ac 2 ", ".mp4"},
        {"PSP Video (H.264 MP4)", "-f psp -s 320x240 -qscale 15 -r 29 -b 768kbit/s -ar 24000 -ab 64kbit/s -ac 1 ",
         ".mp4"},
        {"Cell Phone (H.263 3GP)",
         "-vcodec h263 -qscale 15 -s 176x144 -r 15 -b 30kbit/s -ar 8000 -ab 12.2kbit/s -ac 1 ", ".3gp"},
        {"Windows Media Video (WMV)",
         "-s 320x240 -qscale 15 -b 50kbit/s -ar 22050 -ab 64kbit/s -ac 2 -vcodec wmv2 -acodec wmav2 ", ".wmv"},
        {"XVid MPEG-4 Codec (AVI)",
         "-vcodec libxvid -qscale 15 -s 320x240 -b 200kbit/s -ar 22050 -ab 64kbit/s -ac 2 -aspect 4:3 ", ".avi"},
        {"Microsoft Mpeg4 AVI (AVI)", "-vcodec mpeg4 -qscale 15 -s 320x240 -ac 2 ", ".avi"},
        {"MPEG Audio Layer 3 (MP3)", "-ar 44100 -ab 128kbit/s -ac 2 ", ".mp3"},
        {"Microsoft WAV (WAV)", "-ar 44100 -ab 128kbit/s -ac 2 ", ".wav"},
        {"MPEG1 Movie (MPG)", "-ab 64kbit/s -ar 22050 -b 500kbit/s -s 320x240 -ac 2 ", ".mpg"},
        {"Windows Media Audio (WMA)", "-ar 44100 -ab 128kbit/s -ac 2 -vn -acodec wmav2 ", ".wma"},
    };
    const auto& captions = FormatCaptions();
    ASSERT_EQ(captions.size(), 11u);
    for (int i = 0; i < 11; ++i) {
        EXPECT_EQ(captions[i], rows[i].Caption) << i;
        EXPECT_EQ(FormatArguments(i), rows[i].Arguments) << i;
        EXPECT_EQ(FormatExtension(captions[i]), rows[i].Extension) << i;
        // One blank separates the arguments from the output path; none leads.
        const std::string a = FormatArguments(i);
        EXPECT_EQ(a.back(), ' ') << i;
        EXPECT_NE(a[a.size() - 2], ' ') << i;
        EXPECT_NE(a.front(), ' ') << i;
    }
}

TEST(FormatPresetsTest, NoSelectionGivesNothing)
{
    EXPECT_EQ(FormatArguments(-1), "");
    EXPECT_EQ(FormatArguments(11), "");
    EXPECT_EQ(FormatExtension(""), "");
}

TEST(FormatPresetsTest, ExtensionComesFromTheBracketedTagOnly)
{
    // "Movie" must not read as MOV; letter case does not matter; the later tag in test order wins.
    EXPECT_EQ(FormatExtension("MPEG1 Movie (MPG)"), ".mpg");
    EXPECT_EQ(FormatExtension("something (mov)"), ".mov");
    EXPECT_EQ(FormatExtension("(MOV) (WMA)"), ".wma");
    EXPECT_EQ(FormatExtension("(WMA) (MOV)"), ".wma");
    EXPECT_EQ(FormatExtension("Quicktime MOV"), "");
}

} // namespace
