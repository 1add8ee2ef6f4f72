// Taking addresses apart: scheme rules, authority with user, password and port, relative forms,
// and the document name.

#include "net/http/HttpUrl.h"

#include <gtest/gtest.h>

using namespace cw;

namespace {
std::string Parts(const TUrlParts& p)
{
    return p.Proto + "|" + p.User + "|" + p.Pass + "|" + p.Host + "|" + p.Port + "|" + p.Path;
}
std::string P(const std::string& url, const std::string& base = "")
{
    return Parts(ParseURL(url, base));
}
} // namespace

TEST(ParseURL, FullAddresses)
{
    EXPECT_EQ(P(""), "|||||");
    EXPECT_EQ(P("http://www.youtube.com/get_video?video_id=x&t=y"),
              "http|||www.youtube.com||/get_video?video_id=x&t=y");
    EXPECT_EQ(P("HTTP://Host:8080/a/b"), "http|||Host|8080|/a/b");
    EXPECT_EQ(P("http://user:pw@host:81/p"), "http|user|pw|host|81|/p");
    EXPECT_EQ(P("http://user@host/p"), "http|user||host||/p");
    EXPECT_EQ(P("http://user:p:w@host"), "http|user|p:w|host||");
    EXPECT_EQ(P("http://host:/x"), "http|||host||/x");    // empty port
    EXPECT_EQ(P("http://host?q=1"), "http|||host||?q=1"); // query before any slash
    EXPECT_EQ(P("https://secure.example/"), "https|||secure.example||/");
    EXPECT_EQ(P("svn+ssh://h/r"), "svn+ssh|||h||/r");
    // An IPv6 literal stays whole, so the client can name it when it refuses it.
    EXPECT_EQ(P("http://u@[::1]:8080/x"), "http|u||[::1]|8080|/x");
    EXPECT_EQ(P("http://[fe80::1]/x"), "http|||[fe80::1]||/x");
}

TEST(ParseURL, AddressesWithoutScheme)
{
    EXPECT_EQ(P("www.example.com/watch?v=1"), "|||www.example.com||/watch?v=1");
    EXPECT_EQ(P("example.com"), "|||example.com||");
    EXPECT_EQ(P("/just/a/path?x"), "http|||||/just/a/path?x");
    // Something before "://" that cannot be a scheme: read as an address without one.
    EXPECT_EQ(P("www.x.com/r?to=http://y"), "http|||www.x.com||/r?to=http://y");
    // "http:" without slashes.
    EXPECT_EQ(P("http:/dir/file"), "http|||||/dir/file");
}

TEST(ParseURL, MailtoTakesTheRestAsAuthority)
{
    TUrlParts p = ParseURL("MAILTO:someone@example.com");
    EXPECT_EQ(p.Proto, "mailto");
    EXPECT_EQ(p.User, "someone");
    EXPECT_EQ(p.Host, "example.com");
}

TEST(ParseURL, RelativeFormsUseTheBasePath)
{
    EXPECT_EQ(ParseURL("./x.flv", "/a/b/c.html").Path, "/a/b/x.flv");
    EXPECT_EQ(ParseURL("./x.flv", "nodir").Path, "/x.flv");
    EXPECT_EQ(ParseURL("../x", "/a/b/c.html").Path, "/a/x");
    EXPECT_EQ(ParseURL("../../x", "/a/b/c.html").Path, "/x");
    EXPECT_EQ(ParseURL("../../../../x", "/a/b/c.html").Path, "/x"); // never above the root
    EXPECT_EQ(ParseURL("../x", "/a/b/").Path, "/a/x");
    TUrlParts p = ParseURL("./y", "/d/");
    EXPECT_EQ(p.Host, "");
    EXPECT_EQ(p.Proto, "");
}

TEST(DocNameFromPath, LastSegmentBeforeTheQuery)
{
    EXPECT_EQ(DocNameFromPath("/videos/clip.flv?sig=1/2"), "clip.flv");
    EXPECT_EQ(DocNameFromPath("/get_video?video_id=x"), "get_video");
    EXPECT_EQ(DocNameFromPath("/dir/"), "document.htm");
    EXPECT_EQ(DocNameFromPath(""), "document.htm");
    EXPECT_EQ(DocNameFromPath("/?x=1"), "document.htm");
    EXPECT_EQ(DocNameFromPath("/" + std::string(300, 'a')).size(), 255u);
}

// Reference resolution as RFC 3986 section 5.4 works it through (normal and abnormal examples,
// against its base "http://a/b/c/d;p?q"), and the forms servers send in Location.
TEST(ResolveReference, TheStandardsExamples)
{
    const std::string base = "http://a/b/c/d;p?q";
    const struct {
        const char* Ref;
        const char* Target;
    } cases[] = {{"g:h", "g:h"},
                 {"g", "http://a/b/c/g"},
                 {"./g", "http://a/b/c/g"},
                 {"g/", "http://a/b/c/g/"},
                 {"/g", "http://a/g"},
                 {"//g", "http://g"},
                 {"?y", "http://a/b/c/d;p?y"},
                 {"g?y", "http://a/b/c/g?y"},
                 {"#s", "http://a/b/c/d;p?q#s"},
                 {"g#s", "http://a/b/c/g#s"},
                 {"g?y#s", "http://a/b/c/g?y#s"},
                 {";x", "http://a/b/c/;x"},
                 {"g;x", "http://a/b/c/g;x"},
                 {"g;x?y#s", "http://a/b/c/g;x?y#s"},
                 {"", "http://a/b/c/d;p?q"},
                 {".", "http://a/b/c/"},
                 {"./", "http://a/b/c/"},
                 {"..", "http://a/b/"},
                 {"../", "http://a/b/"},
                 {"../g", "http://a/b/g"},
                 {"../..", "http://a/"},
                 {"../../", "http://a/"},
                 {"../../g", "http://a/g"},
                 {"../../../g", "http://a/g"},
                 {"../../../../g", "http://a/g"},
                 {"/./g", "http://a/g"},
                 {"/../g", "http://a/g"},
                 {"g.", "http://a/b/c/g."},
                 {".g", "http://a/b/c/.g"},
                 {"g..", "http://a/b/c/g.."},
                 {"..g", "http://a/b/c/..g"},
                 {"./../g", "http://a/b/g"},
                 {"./g/.", "http://a/b/c/g/"},
                 {"g/./h", "http://a/b/c/g/h"},
                 {"g/../h", "http://a/b/c/h"},
                 {"g;x=1/./y", "http://a/b/c/g;x=1/y"},
                 {"g;x=1/../y", "http://a/b/c/y"},
                 {"g?y/./x", "http://a/b/c/g?y/./x"},
                 {"g?y/../x", "http://a/b/c/g?y/../x"},
                 {"g#s/./x", "http://a/b/c/g#s/./x"},
                 {"g#s/../x", "http://a/b/c/g#s/../x"},
                 {"http:g", "http:g"}};
    for (const auto& k : cases)
        EXPECT_EQ(ResolveReference(base, k.Ref), k.Target) << k.Ref;
}

TEST(ResolveReference, LocationFormsAndWhatCannotBeResolved)
{
    const struct {
        const char* Base;
        const char* Ref;
        const char* Target;
    } cases[] = {
        // A query alone keeps the whole path, not its directory.
        {"http://h/n/page.php?id=1", "?id=1&t=2", "http://h/n/page.php?id=1&t=2"},
        {"http://h:8080/a/b", "//other.example/x/../y", "http://other.example/y"},
        {"https://h/a/b", "//other.example", "https://other.example"},
        {"http://h", "file.bin", "http://h/file.bin"},
        {"http://h/a/", "../../../x", "http://h/x"},
        // Dot segments go from absolute references too; the scheme is lower-cased.
        {"http://h/a", "HTTP://Other.example/a/./b/../c", "http://Other.example/a/c"},
        {"http://h/a", "ftp://files.example/pub/x", "ftp://files.example/pub/x"},
        {"http://h/a", "mailto:someone@example.com", "mailto:someone@example.com"},
        // A first segment with ":" but no valid scheme before it is a path.
        {"http://h/d/x", "1a:b", "http://h/d/1a:b"},
        // Nothing to resolve a relative reference against.
        {"h/a", "x", ""},
        {"", "/x", ""},
    };
    for (const auto& k : cases)
        EXPECT_EQ(ResolveReference(k.Base, k.Ref), k.Target) << k.Base << " + " << k.Ref;
}
