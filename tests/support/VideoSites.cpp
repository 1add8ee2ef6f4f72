#include "support/VideoSites.h"

#include <cstdlib>

namespace cwtest {
namespace {

void NotFound(HttpTestConnection& c)
{
    c.Reply(404, "Not Found", {"Content-Type: text/html"}, "<html><body>404 Not Found</body></html>");
}

void Relocate(HttpTestConnection& c, const std::string& location)
{
    c.Reply(302, "Found", {"Location: " + location, "Content-Type: text/html"}, "<html>moved</html>");
}

void Page(HttpTestConnection& c, const std::string& html)
{
    c.Reply(200, "OK", {"Content-Type: text/html; charset=utf-8"}, html);
}

} // namespace

VideoSites::VideoSites(HttpTestServer& server, bool secure) : FServer(server), FSecure(secure)
{
    Install();
}

std::string VideoSites::YoutubePage(const std::string& title, const std::string& token, bool hdMarker, bool hd)
{
    std::string page = "<html><head><title>YouTube - " + title + "</title>\n<meta name=\"title\" content=\"" + title +
                       "\"></head><body>\n<script>\n"
                       "var swfArgs = {\"video_id\": \"x\", \"t\": \"" +
                       token + "\", \"hl\": \"en\"};\n";
    if (hdMarker)
        page += std::string("var flags = {'IS_HD_AVAILABLE': ") + (hd ? "true" : "false") + ", 'SHOW': 1};\n";
    page += "</script></body></html>\n";
    return page;
}

std::string VideoSites::MetacafePage(const std::string& title, const std::string& videoName)
{
    return "<html><head><title>" + title +
           " - Video</title></head><body>\n"
           "<embed "
           "flashVars=\"mediaURL=http%3A%2F%2Fv.mccont.com%2FItemFiles%2F%255BFrom%2520www.metacafe.com%255D%2520" +
           videoName + "&amp;postRollContentURL=\"></body></html>\n";
}

std::string VideoSites::GooglePage(const std::string& title, const std::string& docid)
{
    std::string page = "<html><head>";
    if (!title.empty())
        page += "<title>" + title + "</title>";
    page += "</head><body>To download, use <a href=\"http://vp.video.google.com/videodownload?version=3&amp;docid=" +
            docid + "\">this link</a>.</body></html>\n";
    return page;
}

std::string VideoSites::FileBody(const std::string& seed, std::size_t size)
{
    std::string body;
    body.reserve(size);
    const std::string unit = "[" + seed + "]";
    while (body.size() < size)
        body += unit;
    body.resize(size);
    return body;
}

void VideoSites::Youtube(const std::string& id, YoutubeVideo video)
{
    std::lock_guard<std::mutex> lock(FLock);
    for (const auto& [fmt, body] : video.Files)
        FFiles["/yt/" + id + "/" + fmt] = body;
    FYoutube[id] = std::move(video);
}

void VideoSites::Metacafe(const std::string& id, const std::string& title, const std::string& videoName,
                          const std::string& file, Handler page)
{
    std::lock_guard<std::mutex> lock(FLock);
    FFiles["/mc/" + videoName] = file;
    FMetacafe[id] = Other{title, videoName, file, std::move(page)};
}

void VideoSites::Google(const std::string& docid, const std::string& title, const std::string& file, Handler page)
{
    std::lock_guard<std::mutex> lock(FLock);
    FFiles["/gv/" + docid] = file;
    FGoogle[docid] = Other{title, "", file, std::move(page)};
}

std::vector<HttpTestRequest> VideoSites::RequestsTo(const std::string& host) const
{
    std::vector<HttpTestRequest> out;
    for (auto& rq : FServer.Requests())
        if (rq.Host == host)
            out.push_back(rq);
    return out;
}

bool VideoSites::ToHttps(const HttpTestRequest& rq, HttpTestConnection& c) const
{
    // A request the proxy passed on in the clear; over TLS it arrives in origin form.
    if (!FSecure || !rq.Absolute)
        return false;
    Relocate(c, "https://" + rq.Host + rq.Path);
    return true;
}

void VideoSites::Install()
{
    FServer.On("www.youtube.com", "/watch", [this](const HttpTestRequest& rq, HttpTestConnection& c) {
        if (ToHttps(rq, c))
            return;
        YoutubeVideo video;
        {
            std::lock_guard<std::mutex> lock(FLock);
            auto it = FYoutube.find(rq.Query("v"));
            if (it == FYoutube.end())
                return NotFound(c);
            video = it->second;
        }
        if (video.Page)
            return video.Page(rq, c);
        Page(c, YoutubePage(video.Title, video.Token, video.HdMarker, video.Hd));
    });
    FServer.On("www.youtube.com", "/get_video", [this](const HttpTestRequest& rq, HttpTestConnection& c) {
        if (ToHttps(rq, c))
            return;
        // Over https the address takes one more hop, through the file host's redirector: three
        // relocations from the http address to the file, as today's chains go.
        Relocate(c, FileHostAddress() + (FSecure ? "/r" : "") + "/yt/" + rq.Query("video_id") + "/" + rq.Query("fmt"));
    });
    FServer.On(FileHost, "/r/*", [this](const HttpTestRequest& rq, HttpTestConnection& c) {
        Relocate(c, FileHostAddress() + rq.Path.substr(2));
    });
    FServer.On("www.metacafe.com", "/watch/*", [this](const HttpTestRequest& rq, HttpTestConnection& c) {
        if (ToHttps(rq, c))
            return;
        // /watch/<id>/...
        std::string rest = rq.PathOnly().substr(7);
        std::string id = rest.substr(0, rest.find('/'));
        Other video;
        {
            std::lock_guard<std::mutex> lock(FLock);
            auto it = FMetacafe.find(id);
            if (it == FMetacafe.end())
                return NotFound(c);
            video = it->second;
        }
        if (video.Page)
            return video.Page(rq, c);
        Page(c, MetacafePage(video.Title, video.VideoName));
    });
    FServer.On("v.mccont.com", "/ItemFiles/*", [this](const HttpTestRequest& rq, HttpTestConnection& c) {
        static const std::string prefix = "/ItemFiles/%5BFrom%20www.metacafe.com%5D%20";
        std::string path = rq.PathOnly();
        if (path.compare(0, prefix.size(), prefix) != 0)
            return NotFound(c);
        // A quality suffix lands on the path itself ("...My_Clip.flv&fmt=18"): the file host
        // serves the same file.
        std::string name = path.substr(prefix.size());
        Relocate(c, FileHostAddress() + "/mc/" + name.substr(0, name.find('&')));
    });
    FServer.On("video.google.com", "/videoplay", [this](const HttpTestRequest& rq, HttpTestConnection& c) {
        if (ToHttps(rq, c))
            return;
        std::string docid = rq.Query("docid");
        Other video;
        {
            std::lock_guard<std::mutex> lock(FLock);
            auto it = FGoogle.find(docid);
            if (it == FGoogle.end())
                return NotFound(c);
            video = it->second;
        }
        if (video.Page)
            return video.Page(rq, c);
        Page(c, GooglePage(video.Title, docid));
    });
    FServer.On("vp.video.google.com", "/videodownload", [this](const HttpTestRequest& rq, HttpTestConnection& c) {
        Relocate(c, FileHostAddress() + "/gv/" + rq.Query("docid"));
    });
    FServer.On(FileHost, "/*", [this](const HttpTestRequest& rq, HttpTestConnection& c) {
        std::string body;
        {
            std::lock_guard<std::mutex> lock(FLock);
            auto it = FFiles.find(rq.PathOnly());
            if (it == FFiles.end())
                return NotFound(c);
            body = it->second;
        }
        c.Reply(200, "OK", {"Content-Type: video/x-flv"}, body, "HTTP/1.0");
    });
}

ScopedHttpProxy::ScopedHttpProxy(const std::string& value)
{
    if (const char* old = std::getenv("http_proxy"))
        FOld = old, FHadOld = true;
    if (const char* old = std::getenv("HTTP_PROXY"))
        FOldUpper = old, FHadOldUpper = true;
    unsetenv("HTTP_PROXY");
    if (value.empty())
        unsetenv("http_proxy");
    else
        setenv("http_proxy", value.c_str(), 1);
}

ScopedHttpProxy::~ScopedHttpProxy()
{
    if (FHadOld)
        setenv("http_proxy", FOld.c_str(), 1);
    else
        unsetenv("http_proxy");
    if (FHadOldUpper)
        setenv("HTTP_PROXY", FOldUpper.c_str(), 1);
}

} // namespace cwtest
