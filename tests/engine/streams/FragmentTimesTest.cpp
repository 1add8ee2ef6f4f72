// Decode times moved in the boxes of fragmented MP4 segments, and the media timescale read from
// an initialization section, over hand-made boxes.

#include "engine/streams/FragmentTimes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using namespace cw;

namespace {

std::string Be(std::uint64_t v, int bytes)
{
    std::string out(static_cast<std::size_t>(bytes), '\0');
    for (int i = bytes - 1; i >= 0; --i, v >>= 8)
        out[static_cast<std::size_t>(i)] = static_cast<char>(v & 0xff);
    return out;
}

std::string Box(const std::string& type, const std::string& body)
{
    return Be(8 + body.size(), 4) + type + body;
}

std::string Tfdt(int version, std::uint64_t time)
{
    return Box("tfdt",
               std::string(1, static_cast<char>(version)) + std::string(3, '\0') + Be(time, version == 1 ? 8 : 4));
}

std::string Traf(const std::string& tfdt)
{
    return Box("traf", Box("tfhd", std::string(8, '\0')) + tfdt + Box("trun", std::string(8, '\0')));
}

std::string Segment(const std::vector<std::string>& trafs)
{
    std::string moof = Box("mfhd", std::string(8, '\0'));
    for (const std::string& t : trafs)
        moof += t;
    return Box("styp", "msdh") + Box("moof", moof) + Box("mdat", "media bytes");
}

std::string Mdhd(int version, std::uint32_t timescale)
{
    const std::string times = version == 1 ? std::string(16, '\0') : std::string(8, '\0');
    return Box("mdhd", std::string(1, static_cast<char>(version)) + std::string(3, '\0') + times + Be(timescale, 4) +
                           Be(0, version == 1 ? 8 : 4));
}

} // namespace

TEST(FragmentTimes, DecodeTimesMoveInEveryTrackFragmentOrNotAtAll)
{
    struct Case {
        const char* Name;
        std::string In;
        std::int64_t Delta;
        std::string Out; // "" when the segment stays as it was
        const char* Error;
        bool Partial = false;
    };
    const std::string two = Segment({Traf(Tfdt(0, 100)), Traf(Tfdt(1, 5000000000))});
    const std::string whole = Segment({Traf(Tfdt(0, 100))});
    const Case cases[] = {
        {"two trafs, versions 0 and 1", two, 150000, Segment({Traf(Tfdt(0, 150100)), Traf(Tfdt(1, 5000150000))}), ""},
        {"backwards to 0", two, -100, Segment({Traf(Tfdt(0, 0)), Traf(Tfdt(1, 4999999900))}), ""},
        {"two moofs", whole + whole, 1, Segment({Traf(Tfdt(0, 101))}) + Segment({Traf(Tfdt(0, 101))}), ""},
        {"no moof", Box("mdat", "x"), 7, Box("mdat", "x"), ""},
        {"a large-size box", Be(1, 4) + "free" + Be(24, 8) + "12345678" + whole, 2,
         Be(1, 4) + "free" + Be(24, 8) + "12345678" + Segment({Traf(Tfdt(0, 102))}), ""},
        {"version 0 past 32 bits", two, 4294967296 - 100, "", "32-bit"},
        {"before 0", two, -101, "", "before 0"},
        {"past 64 bits", Segment({Traf(Tfdt(1, 1))}), INT64_MAX, "", "largest number"},
        {"a time past 63 bits", Segment({Traf(Tfdt(1, UINT64_MAX))}), 1, "", "largest number"},
        {"cut short", whole.substr(0, whole.size() - 3), 1, "", "cut short"},
        {"a tfdt cut short", Segment({Box("traf", Box("tfdt", std::string(6, '\0')))}), 1, "", "tfdt box cut short"},
        {"a box smaller than its header", Box("styp", "") + Be(4, 4) + "moof", 1, "", "smaller than its header"},
        {"a child past its parent", Box("moof", Be(100, 4) + "traf"), 1, "", "traf box cut short"},
        // The front of a segment: the cut box stays as it came.
        {"partial", whole + whole.substr(0, 30), 1, Segment({Traf(Tfdt(0, 101))}) + whole.substr(0, 30), "", true},
    };
    for (const Case& c : cases) {
        std::string bytes = c.In;
        const std::string error = ShiftFragmentTimes(bytes, c.Delta, c.Partial);
        if (*c.Error) {
            EXPECT_NE(std::string::npos, error.find(c.Error)) << c.Name << ": " << error;
            EXPECT_EQ(c.In, bytes) << c.Name;
        } else {
            EXPECT_EQ("", error) << c.Name;
            EXPECT_EQ(c.Out, bytes) << c.Name;
        }
    }
}

TEST(FragmentTimes, TimescaleOfTheFirstTrackAndTicksOfSeconds)
{
    const auto init = [](const std::string& mdhd) {
        return Box("ftyp", "iso6") +
               Box("moov", Box("mvhd", std::string(100, '\0')) + Box("trak", Box("tkhd", "") + Box("mdia", mdhd)) +
                               Box("trak", Box("mdia", Mdhd(0, 1))));
    };
    struct Case {
        std::string In;
        std::uint32_t Timescale;
        const char* Error;
    };
    const Case cases[] = {
        {init(Mdhd(0, 12800)), 12800, ""},
        {init(Mdhd(1, 44100)), 44100, ""},
        {init(Mdhd(0, 0)), 0, "timescale of 0"},
        {init(Mdhd(1, 90000).substr(0, 28)), 0, "cut short"},
        {Box("ftyp", "iso6"), 0, "no moov"},
        {Box("moov", Box("trak", Box("mdia", ""))), 0, "no mdhd"},
        {init(Mdhd(0, 12800)).substr(0, 40), 0, "no moov"},
    };
    for (const Case& c : cases) {
        std::uint32_t timescale = 0;
        const std::string error = ReadMediaTimescale(c.In, timescale);
        if (*c.Error)
            EXPECT_NE(std::string::npos, error.find(c.Error)) << error;
        else
            EXPECT_EQ(c.Timescale, timescale) << error;
    }
    std::int64_t ticks = 0;
    EXPECT_TRUE(SecondsToTicks(6, 12800, ticks));
    EXPECT_EQ(76800, ticks);
    EXPECT_TRUE(SecondsToTicks(-0.5, 44100, ticks));
    EXPECT_EQ(-22050, ticks);
    EXPECT_FALSE(SecondsToTicks(1e15, 90000, ticks));
    EXPECT_FALSE(SecondsToTicks(1.0 / 0.0, 1, ticks));
}
