// Addresses and Location values: the first line is the address, the rest the path relative
// forms are resolved against. Whatever the text, parsing must stay inside it and the port
// check must agree with itself.

#include "FuzzSupport.h"

#include "net/http/HttpUrl.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> parts = cwfuzz::Split(data, size, "\n", 2);
    const std::string& url = parts[0];
    const std::string base = parts.size() > 1 ? parts[1] : std::string("/dir/page.html");

    cw::TUrlParts u = cw::ParseURL(url, base);
    // Every part except a resolved relative path is a piece of the address itself.
    if (u.Host.size() > url.size() || u.Port.size() > url.size() || u.User.size() > url.size() ||
        u.Pass.size() > url.size())
        cwfuzz::Fail("a part is longer than the address");
    if (u.Path.size() > url.size() + base.size())
        cwfuzz::Fail("the path is longer than address and base together");
    std::string doc = cw::DocNameFromPath(u.Path);
    if (doc.empty() || doc.size() > 255)
        cwfuzz::Fail("document name empty or over 255 characters");

    std::string why;
    int port = cw::ParsePort(u.Port, why);
    if (port > 0 && (port > 65535 || !why.empty()))
        cwfuzz::Fail("a port was accepted out of range or with an error");
    if (port <= 0 && why.empty())
        cwfuzz::Fail("a port was refused without a reason");
    if (port > 0 && std::to_string(port) != u.Port.substr(u.Port.find_first_not_of('0') == std::string::npos
                                                              ? u.Port.size() - 1
                                                              : u.Port.find_first_not_of('0')))
        cwfuzz::Fail("an accepted port is not the decimal number written");
    return 0;
}
