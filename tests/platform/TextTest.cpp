#include "platform/Text.h"

#include <gtest/gtest.h>

namespace cw {
namespace {

TEST(Text, FoldsOnlyAsciiLetters)
{
    EXPECT_EQ(text::Upper("abz-AZ09\xe9"), "ABZ-AZ09\xe9");
    EXPECT_EQ(text::Lower("ABZ-az09\xc9"), "abz-az09\xc9");
    EXPECT_TRUE(text::SameNoCase("Settings", "sETTINGS"));
    EXPECT_FALSE(text::SameNoCase("\xe9", "\xc9"));
    EXPECT_FALSE(text::SameNoCase("abc", "abcd"));
    EXPECT_EQ(text::Lower("[\xc9]@"), "[\xc9]@"); // the neighbours of A..Z stay
    EXPECT_TRUE(text::StartsWithNoCase("Location: /x", "LOCATION:"));
    EXPECT_FALSE(text::StartsWithNoCase("Loc", "location:"));
    EXPECT_TRUE(text::EndsWithNoCase("clip.3GP", ".3gp"));
    EXPECT_FALSE(text::EndsWithNoCase("3gp", ".3gp"));
}

TEST(Text, FindsFromTheGivenPositionIgnoringCase)
{
    EXPECT_EQ(text::PosNoCase("a Watch and a WATCH", "watch"), 2u);
    EXPECT_EQ(text::PosNoCase("a Watch and a WATCH", "watch", 3), 14u);
    EXPECT_EQ(text::PosNoCase("watch", "watch", 1), std::string::npos);
    EXPECT_EQ(text::PosNoCase("ab", "abc"), std::string::npos);
    EXPECT_EQ(text::PosNoCase("abc", "c", 7), std::string::npos);
    EXPECT_EQ(text::PosNoCase("abc", "", 3), 3u);
    EXPECT_TRUE(text::ContainsNoCase("www.YouTube.com/watch", "youtube.COM"));
    EXPECT_FALSE(text::ContainsNoCase("youtube", "youtube.com"));
}

TEST(Text, ReadsOnlyAWholeIntegerThatFits)
{
    EXPECT_EQ(text::ToIntDef("42", -1), 42);
    EXPECT_EQ(text::ToIntDef("+7", -1), 7);
    EXPECT_EQ(text::ToIntDef("-7", 0), -7);
    EXPECT_EQ(text::ToIntDef("+-7", 5), 5);
    EXPECT_EQ(text::ToIntDef("+", 5), 5);
    EXPECT_EQ(text::ToIntDef("", 5), 5);
    EXPECT_EQ(text::ToIntDef("12a", 5), 5);
    EXPECT_EQ(text::ToIntDef(" 12", 5), 5);
    EXPECT_EQ(text::ToIntDef("99999999999", 5), 5);
}

} // namespace
} // namespace cw

TEST(Text, HexDigitsInEitherCaseAndNothingElse)
{
    EXPECT_EQ(0, cw::text::HexDigitValue('0'));
    EXPECT_EQ(9, cw::text::HexDigitValue('9'));
    EXPECT_EQ(10, cw::text::HexDigitValue('a'));
    EXPECT_EQ(15, cw::text::HexDigitValue('F'));
    for (char c : std::string("gG/:@`-+ \x7f\xff"))
        EXPECT_EQ(-1, cw::text::HexDigitValue(c)) << int(c);
}
