#include "engine/core/MediaCheck.h"

#include <gtest/gtest.h>

#include <string>

using namespace cw;

namespace {

TEST(MediaCheck, SegmentStartsOfEveryContainerAndPagesThatAreNot)
{
    std::string ts(189, '\0');
    ts[0] = ts[188] = 0x47;
    std::string tsBroken = ts;
    tsBroken[188] = 'x';
    const std::string box = std::string("\0\0\0\x18", 4);
    const struct {
        const char* Name;
        std::string Head;
        bool Media;
    } kCases[] = {
        {"MPEG-TS", ts, true},
        {"MPEG-TS without its second sync byte", tsBroken, false},
        {"fMP4 init", box + "ftypisom", true},
        {"fMP4 fragment", box + "moofxxxx", true},
        {"DASH index first", box + "sidxxxxx", true},
        {"WebM initialization", std::string("\x1A\x45\xDF\xA3\x9F\x42\x86\x81", 8), true},
        {"WebM cluster", std::string("\x1F\x43\xB6\x75\x01\xFF\xFF\xFF", 8), true},
        {"ID3 audio", "ID3\x04", true},
        {"ADTS audio", std::string("\xFF\xF1\x50\x80", 4), true},
        {"an error page", "<html><head><title>404</title>", false},
        {"a box of no known type", box + "html", false},
        {"EBML's first bytes only", std::string("\x1A\x45\xDF", 3), false},
        {"empty", "", false},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(LooksLikeMedia(c.Head), c.Media) << c.Name;
}

// A plain file may hold anything but a web page.
TEST(MediaCheck, FilesThatAreWebPages)
{
    const struct {
        std::string Head;
        bool Page;
    } kCases[] = {
        {"<!DOCTYPE html>\n<html lang=en>", true},
        {"\xEF\xBB\xBF\r\n  <HTML>\n<head>", true},
        {"<head>\n<title>Sold out</title>", true},
        {"<body class=x>", true},
        {"<html", false},    // too short to tell
        {"<header>", false}, // not the tag of a page
        {"[harbour][harbour]", false},
        {"FLV\x01\x05", false},
        {std::string("\0\0\0\x18ftypisom", 12), false},
        {"<?xml version=\"1.0\"?><MPD", false},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(LooksLikeWebPage(c.Head), c.Page) << c.Head;
}

} // namespace
