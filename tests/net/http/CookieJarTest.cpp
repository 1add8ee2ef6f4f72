// The cookie jar: dates as servers write them, which answers may set which cookies, which
// requests get them back and in what order, the jar's limits, and the cookies.txt reader.

#include "net/http/CookieJar.h"

#include "support/Files.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

using namespace cw;

namespace {

constexpr std::int64_t k2020 = 1577836800; // 2020-01-01 00:00:00 UTC

TEST(CookieDateTest, TheFormsServersWrite)
{
    struct Row {
        const char* Text;
        std::int64_t Expected; // -1: no date
    } rows[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", 784111777},
        {"Sunday, 06-Nov-94 08:49:37 GMT", 784111777},
        {"Sun Nov  6 08:49:37 1994", 784111777},
        {"Wed, 09 Jun 2021 10:18:14 GMT", 1623233894},
        {"Tue!#01&Jan<2019?00:24:20}GMT", 1546302260},
        {"06 nov 1994 8:49:37", 784111777},
        {"Thu, 01 Jan 1970 00:00:00 GMT", 0},
        {"1 Jan 69 00:00:00", 3124224000}, // two digits below 70 are this century's
        {"Fri, 31 Dec 9999 23:59:59 GMT", 253402300799},
        {"Sat, 29 Feb 2020 12:00:00 GMT", 1582977600},
        {"Sun, 30 Feb 2020 12:00:00 GMT", -1}, // no such day
        {"Mon, 01 Jan 1600 00:00:00 GMT", -1}, // before the calendar the format knows
        {"Mon, 01 Jan 2001 24:00:00 GMT", -1},
        {"Mon, 01 Jan 2001 23:60:00 GMT", -1},
        {"Mon, 32 Jan 2001 00:00:00 GMT", -1},
        {"Mon, 01 2001 00:00:00 GMT", -1}, // no month
        {"Mon, 01 Jan 2001 GMT", -1},      // no time
        {"Mon, Jan 2001 00:00:00", -1},    // the year is taken as the day, then no year
        {"", -1},
        {"0", -1},
    };
    for (const Row& r : rows) {
        const auto got = ParseCookieDate(r.Text);
        if (r.Expected < 0)
            EXPECT_FALSE(got.has_value()) << r.Text << " gave " << got.value_or(0);
        else
            EXPECT_EQ(got.value_or(-99), r.Expected) << r.Text;
    }
}

TEST(CookieMatchTest, DomainsPathsAndAddresses)
{
    struct Row {
        const char* Host;
        const char* Domain;
        bool Match;
    } domains[] = {
        {"example.com", "example.com", true},      {"www.example.com", "example.com", true},
        {"a.b.example.com", "example.com", true},  {"wwwexample.com", "example.com", false},
        {"example.com", "www.example.com", false}, {"example.org", "example.com", false},
        {"127.0.0.1", "127.0.0.1", true},          {"127.0.0.1", "0.0.1", false},
        {"localhost", "127.0.0.1", false},         {"com", "example.com", false},
    };
    for (const Row& r : domains)
        EXPECT_EQ(CookieDomainMatch(r.Host, r.Domain), r.Match) << r.Host << " / " << r.Domain;

    struct PathRow {
        const char* Request;
        const char* Cookie;
        bool Match;
    } paths[] = {
        {"/", "/", true},           {"/docs", "/docs", true}, {"/docs/a", "/docs", true}, {"/docs/a", "/docs/", true},
        {"/docsa", "/docs", false}, {"/doc", "/docs", false}, {"/", "/docs", false},      {"/Docs/a", "/docs", false},
        {"/docs/", "/docs", true},
    };
    for (const PathRow& r : paths)
        EXPECT_EQ(CookiePathMatch(r.Request, r.Cookie), r.Match) << r.Request << " / " << r.Cookie;

    EXPECT_EQ(CookieDefaultPath(""), "/");
    EXPECT_EQ(CookieDefaultPath("/"), "/");
    EXPECT_EQ(CookieDefaultPath("/file"), "/");
    EXPECT_EQ(CookieDefaultPath("/docs/file"), "/docs");
    EXPECT_EQ(CookieDefaultPath("/docs/sub/"), "/docs/sub");

    EXPECT_TRUE(IsIpAddressHost("127.0.0.1"));
    EXPECT_FALSE(IsIpAddressHost("127.0.0"));
    EXPECT_FALSE(IsIpAddressHost("256.0.0.1"));
    EXPECT_FALSE(IsIpAddressHost("1.2.3.4.example"));
    EXPECT_FALSE(IsIpAddressHost("example.com"));
}

// Each row sets cookies from answers, in order, then asks what one request would carry.
struct JarRow {
    const char* What;
    std::vector<std::pair<std::string, std::string>> Sets; // answer address, Set-Cookie value
    int Refused;                                           // how many of them the jar refuses
    std::string Request;
    std::string Expected; // the Cookie header
};

TEST(CookieJarTest, WhatAnswersSetAndWhatRequestsCarry)
{
    const std::string ex = "http://example.com/";
    const std::string exs = "https://example.com/";
    const JarRow rows[] = {
        {"a host-only cookie goes back to its host", {{ex, "SID=31d4d96e407aad42"}}, 0, ex, "SID=31d4d96e407aad42"},
        {"... and not to the hosts below it", {{ex, "SID=31d4"}}, 0, "http://www.example.com/", ""},
        {"a Domain reaches below",
         {{ex, "lang=en-US; Path=/; Domain=example.com"}},
         0,
         "http://www.example.com/x",
         "lang=en-US"},
        {"a leading dot of Domain means nothing",
         {{"http://www.example.com/", "a=1; Domain=.EXAMPLE.com"}},
         0,
         "http://shop.example.com/",
         "a=1"},
        {"a Domain the host is not under is refused",
         {{"http://example.com/", "a=1; Domain=example.org"}},
         1,
         "http://example.org/",
         ""},
        {"a Domain below the host is refused",
         {{"http://example.com/", "a=1; Domain=www.example.com"}},
         1,
         "http://www.example.com/",
         ""},
        {"no cookie for a whole top-level domain",
         {{"http://example.com/", "a=1; Domain=com"}},
         1,
         "http://other.com/",
         ""},
        {"a single-label host may name itself, host-only",
         {{"http://localhost/", "a=1; Domain=localhost"}},
         0,
         "http://localhost/",
         "a=1"},
        {"an address takes host-only cookies",
         {{"http://127.0.0.1/", "a=1; Domain=127.0.0.1"}},
         0,
         "http://127.0.0.1:8080/",
         "a=1"},
        {"... and never one for localhost", {{"http://127.0.0.1/", "a=1"}}, 0, "http://localhost/", ""},
        {"the RFC's Secure and HttpOnly pair over https",
         {{exs, "SID=31d4d96e407aad42; Path=/; Secure; HttpOnly"}, {exs, "lang=en-US; Path=/; Domain=example.com"}},
         0,
         exs,
         "SID=31d4d96e407aad42; lang=en-US"},
        {"a Secure cookie never goes over http", {{exs, "SID=1; Secure"}, {exs, "lang=en"}}, 0, ex, "lang=en"},
        {"an http answer cannot set a Secure cookie", {{ex, "SID=1; Secure"}}, 1, exs, ""},
        {"the default path is the request's folder",
         {{"http://example.com/docs/page?q=1", "a=1"}},
         0,
         "http://example.com/other",
         ""},
        {"... and it reaches what is below it",
         {{"http://example.com/docs/page", "a=1"}},
         0,
         "http://example.com/docs/video.mp4?x=1",
         "a=1"},
        {"a Path that is no path is the default path",
         {{"http://example.com/docs/page", "a=1; Path=docs"}},
         0,
         "http://example.com/docs/x",
         "a=1"},
        {"longer paths first, then the older first",
         {{ex, "b=2; Path=/"}, {ex, "c=3; Path=/a/b"}, {ex, "a=1; Path=/"}, {ex, "d=4; Path=/a"}},
         0,
         "http://example.com/a/b/c",
         "c=3; d=4; b=2; a=1"},
        {"name, domain and path replace; the place stays",
         {{ex, "a=1; Path=/"}, {ex, "b=2; Path=/"}, {ex, "a=3; Path=/"}},
         0,
         ex,
         "a=3; b=2"},
        {"the same name under another path is another cookie",
         {{ex, "a=1; Path=/"}, {ex, "a=2; Path=/x"}},
         0,
         "http://example.com/x",
         "a=2; a=1"},
        {"an expired cookie removes its namesake",
         {{ex, "lang=en-US; Expires=Wed, 09 Jun 2031 10:18:14 GMT"},
          {ex, "lang=; Expires=Sun, 06 Nov 1994 08:49:37 GMT"}},
         0,
         ex,
         ""},
        {"Max-Age wins over Expires, wherever it stands",
         {{ex, "a=1; Max-Age=0; Expires=Wed, 09 Jun 2031 10:18:14 GMT"},
          {ex, "b=2; Expires=Sun, 06 Nov 1994 08:49:37 GMT; Max-Age=60"}},
         0,
         ex,
         "b=2"},
        {"a negative Max-Age expires at once", {{ex, "a=1"}, {ex, "a=1; Max-Age=-5"}}, 0, ex, ""},
        {"a Max-Age that is no number is passed over", {{ex, "a=1; Max-Age=soon"}}, 0, ex, "a=1"},
        {"a date that is no date is passed over", {{ex, "a=1; Expires=tomorrow"}}, 0, ex, "a=1"},
        {"the last Domain counts",
         {{"http://www.example.com/", "a=1; Domain=example.org; Domain=example.com"}},
         0,
         "http://x.example.com/",
         "a=1"},
        {"blanks around name and value go, attribute names in any case",
         {{"http://www.example.com/", "  a = b c ; DOMAIN=example.com ; path=/"}},
         0,
         "http://example.com/",
         "a=b c"},
        {"SameSite and unknown attributes are passed over",
         {{ex, "a=1; SameSite=Strict; Priority=High"}},
         0,
         ex,
         "a=1"},
        {"no name=value, no cookie", {{ex, "justtext"}, {ex, "=value"}, {ex, ""}}, 3, ex, ""},
        {"an empty value is a cookie", {{ex, "a="}}, 0, ex, "a="},
        {"a value with '=' keeps it", {{ex, "t=a=b=="}}, 0, ex, "t=a=b=="},
        {"control characters are refused",
         {{ex, std::string("a=1\x01"
                           "2")},
          {ex, "b=1\t2"}},
         2,
         ex,
         ""},
        {"the user and port of the address are no part of the host",
         {{"http://u:p@Example.COM:8080/", "a=1"}},
         0,
         "https://example.com/",
         "a=1"},
        {"an address without a host sets nothing", {{"/relative", "a=1"}}, 1, ex, ""},
        {"a Path with a control character is refused", {{ex, "a=1; Path=/x\x02y"}}, 1, "http://example.com/x", ""},
        {"an address holding a control byte sets nothing",
         {{"http://local\x01host/", "a=1"}},
         1,
         "http://localhost/",
         ""},
    };
    for (const JarRow& r : rows) {
        TCookieJar jar;
        jar.SetClock([] { return k2020; });
        int refused = 0;
        for (const auto& [url, value] : r.Sets) {
            std::string why;
            if (!jar.SetCookie(value, url, &why)) {
                ++refused;
                EXPECT_FALSE(why.empty()) << r.What;
            }
        }
        EXPECT_EQ(refused, r.Refused) << r.What;
        EXPECT_EQ(jar.CookieHeader(r.Request), r.Expected) << r.What;
    }
}

TEST(CookieJarTest, CookiesExpireWithTheClockAndTheLimitsHold)
{
    std::int64_t now = k2020;
    TCookieJar jar;
    jar.SetClock([&now] { return now; });
    ASSERT_TRUE(jar.SetCookie("short=1; Max-Age=10", "http://example.com/"));
    ASSERT_TRUE(jar.SetCookie("session=1", "http://example.com/"));
    ASSERT_TRUE(jar.SetCookie("dated=1; Expires=Wed, 01 Jan 2020 00:01:00 GMT", "http://example.com/"));
    EXPECT_EQ(jar.CookieHeader("http://example.com/"), "short=1; session=1; dated=1");
    now += 10;
    EXPECT_EQ(jar.CookieHeader("http://example.com/"), "session=1; dated=1");
    now += 60;
    EXPECT_EQ(jar.CookieHeader("http://example.com/"), "session=1");
    EXPECT_EQ(jar.Count(), 1u);

    // A cookie of 4096 bytes is kept; one byte more is refused, with its name but not its value.
    const std::string big(TCookieJar::MaxCookieBytes - 3, 'v');
    EXPECT_TRUE(jar.SetCookie("big=" + big, "http://example.com/"));
    std::string why;
    EXPECT_FALSE(jar.SetCookie("big2=" + big + "vv", "http://example.com/", &why));
    EXPECT_NE(why.find("big2"), std::string::npos);
    EXPECT_EQ(why.find("vvvv"), std::string::npos);

    // Fifty a domain: the one used least recently goes first, not the one used a moment ago.
    TCookieJar many;
    many.SetClock([] { return k2020; });
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(many.SetCookie("c" + std::to_string(i) + "=1", "http://example.com/"));
    many.SetCookie("c0=again", "http://example.com/"); // replaced: used now
    ASSERT_TRUE(many.SetCookie("c50=1", "http://example.com/"));
    EXPECT_EQ(many.Count(), 50u);
    const std::string header = many.CookieHeader("http://example.com/");
    EXPECT_NE(header.find("c0=again"), std::string::npos);
    EXPECT_EQ(header.find("c1="), std::string::npos);
    EXPECT_NE(header.find("c50=1"), std::string::npos);
    // Another domain has fifty of its own, and 3000 is the most in all.
    for (int d = 0; d < 70; ++d)
        for (int i = 0; i < 50; ++i)
            many.SetCookie("c" + std::to_string(i) + "=1", "http://h" + std::to_string(d) + ".example.org/");
    EXPECT_EQ(many.Count(), TCookieJar::MaxCookies);
    EXPECT_NE(many.CookieHeader("http://h69.example.org/"), "");
}

TEST(CookieFileTest, TheFormatExportAddOnsWrite)
{
    const std::string future = std::to_string(k2020 + 86400LL * 365 * 20);
    struct Row {
        const char* What;
        std::string Text;
        int Loaded, Skipped, Expired;
        std::string Request;
        std::string Expected;
    } rows[] = {
        {"a header, comments and one cookie for the domain and below",
         "# Netscape HTTP Cookie File\n# comment\n\n.example.com\tTRUE\t/\tFALSE\t" + future + "\tSID\tabc\n", 1, 0, 0,
         "http://www.example.com/page", "SID=abc"},
        {"FALSE keeps a cookie to its host", "example.com\tFALSE\t/\tFALSE\t0\tSID\tabc\n", 1, 0, 0,
         "http://www.example.com/", ""},
        {"#HttpOnly_ is a cookie, not a comment; CR LF ends lines",
         "#HttpOnly_example.com\tFALSE\t/\tFALSE\t0\ts\t1\r\nexample.com\tFALSE\t/\tFALSE\t0\tt\t2\r\n", 2, 0, 0,
         "http://example.com/", "s=1; t=2"},
        {"Secure cookies only over https", "example.com\tFALSE\t/\tTRUE\t0\ts\t1\n", 1, 0, 0, "http://example.com/",
         ""},
        {"paths as written", "example.com\tFALSE\t/members\tfalse\t0\tm\t1\n", 1, 0, 0,
         "http://example.com/members/video", "m=1"},
        {"expired cookies are counted apart", "example.com\tFALSE\t/\tFALSE\t1000\told\t1\n", 0, 0, 1,
         "http://example.com/", ""},
        {"a tab in the value makes the line malformed", "example.com\tFALSE\t/\tFALSE\t0\tn\ta\tb\n", 0, 1, 0,
         "http://example.com/", ""},
        {"too few fields, words for booleans, an expiry that is no number, no name",
         "example.com\tFALSE\t/\tFALSE\t0\tn\nexample.com\tYES\t/\tFALSE\t0\tn\tv\n"
         "example.com\tFALSE\t/\tFALSE\tnever\tn\tv\nexample.com\tFALSE\t/\tFALSE\t0\t\tv\n"
         "example.com\tFALSE\t/\tFALSE\t0\tok\t1\n",
         1, 4, 0, "http://example.com/", "ok=1"},
        {"a top-level domain with its subdomains is refused", "com\tTRUE\t/\tFALSE\t0\tn\tv\n", 0, 1, 0,
         "http://example.com/", ""},
        {"an address's cookie stays with it", "127.0.0.1\tTRUE\t/\tFALSE\t0\tn\tv\n", 1, 0, 0, "http://127.0.0.1:8/",
         "n=v"},
        {"an empty file", "", 0, 0, 0, "http://example.com/", ""},
    };
    for (const Row& r : rows) {
        TCookieJar jar;
        const TCookieFileRead read = ParseCookieFile(r.Text, jar);
        EXPECT_TRUE(read.Ok) << r.What;
        EXPECT_EQ(read.Loaded, r.Loaded) << r.What;
        EXPECT_EQ(read.Skipped, r.Skipped) << r.What;
        EXPECT_EQ(read.Expired, r.Expired) << r.What;
        EXPECT_EQ(jar.CookieHeader(r.Request), r.Expected) << r.What;
    }

    // The first malformed line is named, so the user can find it.
    TCookieJar jar;
    EXPECT_EQ(ParseCookieFile("# x\nexample.com\tFALSE\t/\tFALSE\t0\tok\t1\nbroken line\n", jar).FirstSkippedLine, 3);

    // A file: read from disk; one that is missing or a folder is an error that says why.
    cwtest::TempDir dir;
    const std::string path = dir.Path() + "/cookies.txt";
    std::ofstream(path) << "example.com\tFALSE\t/\tFALSE\t0\tSID\tabc\n";
    TCookieJar fromFile;
    EXPECT_EQ(ReadCookieFile(path, fromFile).Loaded, 1);
    EXPECT_EQ(fromFile.CookieHeader("http://example.com/"), "SID=abc");
    for (const std::string& bad : {dir.Path() + "/missing.txt", dir.Path()}) {
        TCookieJar none;
        const TCookieFileRead read = ReadCookieFile(bad, none);
        EXPECT_FALSE(read.Ok) << bad;
        EXPECT_NE(read.Error.find(bad), std::string::npos) << read.Error;
        EXPECT_EQ(none.Count(), 0u);
    }
}

} // namespace
