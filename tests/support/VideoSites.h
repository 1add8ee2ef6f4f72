#pragma once
// The three video sites and a file host, served by one HttpTestServer under their real host
// names, for runs of the download window with the system proxy pointed at the server.
//
//   www.youtube.com/watch?v=<id>         the watch page of a YouTube video
//   www.youtube.com/get_video?...        relocates to the file host (fmt kept)
//   www.metacafe.com/watch/<id>/...      the watch page of a Metacafe video
//   v.mccont.com/ItemFiles/<name>        relocates to the file host
//   video.google.com/videoplay?docid=<id> the watch page of a Google Video
//   vp.video.google.com/videodownload?version=3&docid=<id>  relocates to the file host
//                                         (the page writes the link with "&amp;")
//   FileHost/...                         the files; 404 with a short page for missing ones
//
// A video can replace its watch page by a handler of its own (pages that build up, never
// complete, ask for age verification, ...).
//
// With secure set, the sites behave as they do today: a watch page asked for over http
// relocates to its https address, and the direct addresses (which the program writes with
// http://, as the sites once did) relocate to https://FileHost; YouTube's takes three hops (to
// its https form, to the file host's redirector /r/..., to the file). A TlsSiteFront in front of the
// server serves the https side; Https() turns a watch address into its https form.

#include "support/HttpTestServer.h"

#include <map>
#include <mutex>
#include <string>

namespace cwtest {

class VideoSites {
public:
    static constexpr const char* FileHost = "v7.lscache.example.net";
    using Handler = HttpTestServer::Handler;

    struct YoutubeVideo {
        std::string Title;
        std::string Token = "tok";
        bool HdMarker = true; // the page carries IS_HD_AVAILABLE at all
        bool Hd = false;      // ... and says true
        // Files by the fmt value of the request ("" for none); a missing one answers 404.
        std::map<std::string, std::string> Files;
        Handler Page; // replaces the generated watch page when set
    };

    explicit VideoSites(HttpTestServer& server, bool secure = false);

    void Youtube(const std::string& id, YoutubeVideo video);
    // videoName is the file name the page carries (e.g. "My_Clip.flv").
    void Metacafe(const std::string& id, const std::string& title, const std::string& videoName,
                  const std::string& file, Handler page = {});
    void Google(const std::string& docid, const std::string& title, const std::string& file, Handler page = {});

    static std::string YoutubeAddress(const std::string& id) { return "http://www.youtube.com/watch?v=" + id; }
    static std::string MetacafeAddress(const std::string& id)
    {
        return "http://www.metacafe.com/watch/" + id + "/clip/";
    }
    static std::string GoogleAddress(const std::string& docid)
    {
        return "http://video.google.com/videoplay?docid=" + docid;
    }

    static std::string Https(const std::string& address) { return "https" + address.substr(address.find(':')); }

    static std::string YoutubePage(const std::string& title, const std::string& token, bool hdMarker, bool hd);
    static std::string MetacafePage(const std::string& title, const std::string& videoName);
    static std::string GooglePage(const std::string& title, const std::string& docid);

    // Deterministic file contents of a given size.
    static std::string FileBody(const std::string& seed, std::size_t size);

    // Requests that reached a host, in order ("host" + "path" as sent).
    std::vector<HttpTestRequest> RequestsTo(const std::string& host) const;

private:
    void Install();
    bool ToHttps(const HttpTestRequest& rq, HttpTestConnection& c) const;
    std::string FileHostAddress() const { return (FSecure ? "https://" : "http://") + std::string(FileHost); }
    HttpTestServer& FServer;
    const bool FSecure;
    mutable std::mutex FLock;
    std::map<std::string, YoutubeVideo> FYoutube;
    struct Other {
        std::string Title;
        std::string VideoName;
        std::string File;
        Handler Page;
    };
    std::map<std::string, Other> FMetacafe;
    std::map<std::string, Other> FGoogle;
    std::map<std::string, std::string> FFiles; // file-host path -> body
};

// Sets http_proxy (and clears HTTP_PROXY) for the life of the object, then puts it back.
class ScopedHttpProxy {
public:
    explicit ScopedHttpProxy(const std::string& value);
    ~ScopedHttpProxy();
    ScopedHttpProxy(const ScopedHttpProxy&) = delete;
    ScopedHttpProxy& operator=(const ScopedHttpProxy&) = delete;

private:
    std::string FOld, FOldUpper;
    bool FHadOld = false, FHadOldUpper = false;
};

} // namespace cwtest
