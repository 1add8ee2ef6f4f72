// Set-Cookie values, cookie dates and cookies.txt lines: the first line is the address of the
// answer, the second a Set-Cookie value, the rest a cookies.txt. Whatever the text, no stored
// cookie may hold a byte that would split the Cookie line, nor go to a host it does not match.

#include "FuzzSupport.h"

#include "net/http/CookieJar.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> parts = cwfuzz::Split(data, size, "\n", 3);
    const std::string url = parts[0];
    const std::string setCookie = parts.size() > 1 ? parts[1] : std::string();
    const std::string file = parts.size() > 2 ? parts[2] : std::string();

    (void)cw::ParseCookieDate(setCookie);
    cw::TCookieJar jar;
    jar.SetClock([] { return std::int64_t(1700000000); });
    jar.SetCookie(setCookie, url);
    const cw::TCookieFileRead read = cw::ParseCookieFile(file, jar);
    if (read.Loaded < 0 || read.Skipped < 0 || static_cast<std::size_t>(read.Loaded) > file.size())
        cwfuzz::Fail("impossible counts");
    for (const cw::TCookie& c : jar.Cookies()) {
        for (const std::string* s : {&c.Name, &c.Value, &c.Domain, &c.Path})
            for (char ch : *s)
                if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F)
                    cwfuzz::Fail("a stored cookie holds a control byte");
        if (c.Name.empty() || c.Path.empty() || c.Path[0] != '/')
            cwfuzz::Fail("a stored cookie without a name or a path");
        if (!c.HostOnly && c.Domain.find('.') == std::string::npos)
            cwfuzz::Fail("a cookie for a whole top-level domain");
    }
    if (jar.Count() > cw::TCookieJar::MaxCookies)
        cwfuzz::Fail("more cookies than the jar holds");
    const std::string header = jar.CookieHeader(url);
    for (char ch : header)
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F)
            cwfuzz::Fail("the Cookie line holds a control byte");
    if (!jar.CookieHeader("http://unrelated.invalid/").empty() && url.find("unrelated.invalid") == std::string::npos &&
        file.find("invalid") == std::string::npos)
        cwfuzz::Fail("a cookie went to a host it was never set for");
    return 0;
}
