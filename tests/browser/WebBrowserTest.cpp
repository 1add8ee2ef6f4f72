// The page engine against a scripted server: ready states while a page builds up, relocations,
// the system proxy, leaving a page, and failed loads.

#include "browser/WebBrowser.h"
#include "platform/Application.h"
#include "platform/TickCount.h"
#include "support/HttpTestServer.h"
#include "support/TlsTestPki.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace cw;

namespace {

// Pump until pred holds or limitMs passes; returns pred's final value.
template <class Pred> bool PumpUntil(Pred pred, int limitMs = 10000)
{
    const std::uint32_t start = GetTickCount();
    while (!pred() && GetTickCount() - start < static_cast<std::uint32_t>(limitMs))
        Application::WaitMessage(10);
    return pred();
}

std::string SavedText(TWebBrowser& browser)
{
    TMemoryStream stream;
    browser.Document()->Save(stream);
    return stream.DataString();
}

// Sets or clears http_proxy for one test.
class ProxyVariable {
public:
    explicit ProxyVariable(const std::string& value)
    {
        if (const char* old = std::getenv("http_proxy"))
            FOld = old, FHadOld = true;
        unsetenv("HTTP_PROXY");
        if (value.empty())
            unsetenv("http_proxy");
        else
            setenv("http_proxy", value.c_str(), 1);
    }
    ~ProxyVariable()
    {
        if (FHadOld)
            setenv("http_proxy", FOld.c_str(), 1);
        else
            unsetenv("http_proxy");
    }

private:
    std::string FOld;
    bool FHadOld = false;
};

} // namespace

TEST(WebBrowser, ReadyStateFollowsThePageAsItBuildsUp)
{
    ProxyVariable noProxy("");
    cwtest::HttpTestServer server;
    const std::string head = "<html><head><title>first part</title></head>";
    const std::string tail = "<body>second part</body></html>";
    std::atomic<bool> release{false};
    server.On("/page", [&](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        c.Send("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
               std::to_string(head.size() + tail.size()) + "\r\n\r\n" + head);
        for (int i = 0; i < 500 && !release; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        c.Send(tail);
    });

    TWebBrowser browser;
    std::vector<int> states;
    browser.OnReadyStateChange = [&](TObject*) { states.push_back(browser.ReadyState()); };
    browser.Navigate(server.Url("/page"));
    // Navigate does not wait for anything.
    EXPECT_EQ(READYSTATE_LOADING, browser.ReadyState());

    ASSERT_TRUE(
        PumpUntil([&] { return browser.ReadyState() >= READYSTATE_INTERACTIVE && SavedText(browser) == head; }));
    EXPECT_EQ(READYSTATE_INTERACTIVE, browser.ReadyState());
    release = true;
    ASSERT_TRUE(PumpUntil([&] { return browser.ReadyState() == READYSTATE_COMPLETE; }));
    EXPECT_EQ(head + tail, SavedText(browser));
    EXPECT_EQ((std::vector<int>{READYSTATE_LOADING, READYSTATE_INTERACTIVE, READYSTATE_COMPLETE}), states);
}

TEST(WebBrowser, FollowsRelocationsAndUsesTheSystemProxy)
{
    cwtest::HttpTestServer server;
    ProxyVariable proxy("http://" + server.Address() + "/");
    server.On("www.youtube.com", "/watch", [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        c.Reply(302, "Found", {"Location: http://m.youtube.com/watch?v=abc"}, "<html>moved</html>");
    });
    server.Serve("m.youtube.com", "/watch", "<html>the watch page</html>", "text/html");

    TWebBrowser browser;
    std::vector<int> states;
    browser.OnReadyStateChange = [&](TObject*) { states.push_back(browser.ReadyState()); };
    browser.Navigate("http://www.youtube.com/watch?v=abc");
    ASSERT_TRUE(PumpUntil([&] { return browser.ReadyState() == READYSTATE_COMPLETE; }));
    EXPECT_EQ("<html>the watch page</html>", SavedText(browser));
    // The relocating answer's header does not make the page interactive.
    EXPECT_EQ((std::vector<int>{READYSTATE_LOADING, READYSTATE_INTERACTIVE, READYSTATE_COMPLETE}), states);

    auto requests = server.Requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_TRUE(requests[0].Absolute);
    EXPECT_EQ("www.youtube.com", requests[0].Host);
    EXPECT_EQ("/watch?v=abc", requests[0].Path);
    EXPECT_EQ("m.youtube.com", requests[1].Host);
}

TEST(WebBrowser, AnErrorStatusIsAPageLikeAnyOther)
{
    ProxyVariable noProxy("");
    cwtest::HttpTestServer server;
    server.On("/gone", [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        c.Reply(404, "Not Found", {"Content-Type: text/html"}, "<html>This video is gone</html>");
    });
    TWebBrowser browser;
    browser.Navigate(server.Url("/gone"));
    ASSERT_TRUE(PumpUntil([&] { return browser.ReadyState() == READYSTATE_COMPLETE; }));
    EXPECT_EQ("<html>This video is gone</html>", SavedText(browser));
    // ... and says why it is not the page asked for.
    EXPECT_EQ(leHttpStatus, browser.LoadError());
    EXPECT_EQ("the server answered 404 Not Found", browser.LoadErrorText());
    // A new navigation starts without a reason.
    browser.Navigate("about:blank");
    EXPECT_EQ(leNone, browser.LoadError());
    EXPECT_EQ("", browser.LoadErrorText());
}

// Without a status line nothing says what the bytes are (an error page? the whole page?): the
// load fails with the reason, as a load without any answer does.
TEST(WebBrowser, AnswerWithoutAStatusLineIsNoPage)
{
    ProxyVariable noProxy("");
    cwtest::HttpTestServer server;
    server.On("/old", [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        c.Send("<HTML><body>old style server</body></HTML>\r\n");
    });
    server.On("/silent", [](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection&) {});
    TWebBrowser browser;
    browser.Navigate(server.Url("/old"));
    ASSERT_TRUE(PumpUntil([&] { return browser.ReadyState() == READYSTATE_COMPLETE; }));
    EXPECT_NE(std::string::npos, SavedText(browser).find("Cannot display the webpage")) << SavedText(browser);
    EXPECT_EQ(leOther, browser.LoadError());
    EXPECT_EQ("No HTTP status line in the answer: <HTML><body>old style server</body></HTML>",
              browser.LoadErrorText());
    // A server that closes without a word gives the error page.
    browser.Navigate(server.Url("/silent"));
    ASSERT_TRUE(PumpUntil([&] { return browser.ReadyState() == READYSTATE_COMPLETE; }));
    EXPECT_NE(std::string::npos, SavedText(browser).find("Cannot display the webpage")) << SavedText(browser);
}

TEST(WebBrowser, RefusedConnectionCompletesWithAnErrorDocument)
{
    ProxyVariable noProxy("");
    const std::uint16_t port = cwtest::FreeLocalPort();
    const std::string address = "http://127.0.0.1:" + std::to_string(port) + "/watch?v=1";
    TWebBrowser browser;
    browser.Navigate(address);
    ASSERT_TRUE(PumpUntil([&] { return browser.ReadyState() == READYSTATE_COMPLETE; }));
    const std::string text = SavedText(browser);
    EXPECT_NE(std::string::npos, text.find("Cannot display the webpage")) << text;
    EXPECT_NE(std::string::npos, text.find(address)) << text;
    EXPECT_EQ(leRefused, browser.LoadError());
    EXPECT_EQ("the server refused the connection", browser.LoadErrorText());

    // Through a proxy that refuses, the proxy is named.
    ProxyVariable deadProxy("http://127.0.0.1:" + std::to_string(port) + "/");
    browser.Navigate("http://www.youtube.com/watch?v=1");
    ASSERT_TRUE(PumpUntil([&] { return browser.ReadyState() == READYSTATE_COMPLETE; }));
    EXPECT_EQ(leRefused, browser.LoadError());
    EXPECT_EQ("the proxy 127.0.0.1:" + std::to_string(port) + " refused the connection", browser.LoadErrorText());
}

TEST(WebBrowser, AddressTheEngineCannotFetchCompletesWithAnErrorDocument)
{
    ProxyVariable noProxy("");
    TWebBrowser browser;
    browser.Navigate("ftp://127.0.0.1/file");
    ASSERT_TRUE(PumpUntil([&] { return browser.ReadyState() == READYSTATE_COMPLETE; }));
    EXPECT_NE(std::string::npos, SavedText(browser).find("Cannot display the webpage"));
    EXPECT_NE(leNone, browser.LoadError());
}

TEST(WebBrowser, HttpsPagesLoadAndAnUntrustedServerShowsWhy)
{
    ProxyVariable noProxy("");
    if (!cwtest::TlsTestPki::Get().Ready())
        GTEST_SKIP() << cwtest::TlsTestPki::Get().Error();
    cwtest::TempDir root("cw-browser-tls");
    root.Write("watch.html", "<html><title>secure page</title></html>");
    cwtest::TlsNginx trusted(root.Path(), "localhost");
    cwtest::TlsNginx rogue(root.Path(), "roguehost");
    if (!trusted.Started() || !rogue.Started())
        GTEST_SKIP() << trusted.Error() << rogue.Error();

    TWebBrowser browser;
    browser.Navigate("https://localhost:" + trusted.TlsPort() + "/watch.html");
    ASSERT_TRUE(PumpUntil([&] { return browser.ReadyState() == READYSTATE_COMPLETE; }));
    EXPECT_EQ(leNone, browser.LoadError()) << browser.LoadErrorText();
    EXPECT_EQ("<html><title>secure page</title></html>", SavedText(browser));

    browser.Navigate("https://localhost:" + rogue.TlsPort() + "/watch.html");
    ASSERT_TRUE(PumpUntil([&] { return browser.ReadyState() == READYSTATE_COMPLETE; }));
    EXPECT_EQ(leOther, browser.LoadError());
    EXPECT_EQ(0u, browser.LoadErrorText().rfind("certificate not trusted: ", 0)) << browser.LoadErrorText();
    EXPECT_NE(std::string::npos, SavedText(browser).find("certificate not trusted")) << SavedText(browser);
}

TEST(WebBrowser, BlankPageDropsTheRunningLoadAtOnce)
{
    ProxyVariable noProxy("");
    cwtest::HttpTestServer server;
    std::atomic<bool> release{false};
    server.On("/never", [&](const cwtest::HttpTestRequest&, cwtest::HttpTestConnection& c) {
        c.Send("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<html>old page");
        for (int i = 0; i < 500 && !release; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        c.Send(" that kept coming</html>");
    });
    TWebBrowser browser;
    browser.Navigate(server.Url("/never"));
    ASSERT_TRUE(PumpUntil([&] { return browser.ReadyState() == READYSTATE_INTERACTIVE; }));

    browser.Navigate2("about:blank");
    browser.SetOffline(true);
    EXPECT_EQ(READYSTATE_COMPLETE, browser.ReadyState());
    EXPECT_EQ("", SavedText(browser));
    EXPECT_TRUE(browser.Offline());

    // Nothing of the dropped load reaches the blank document later.
    release = true;
    const std::uint32_t start = GetTickCount();
    while (GetTickCount() - start < 300)
        Application::WaitMessage(10);
    EXPECT_EQ(READYSTATE_COMPLETE, browser.ReadyState());
    EXPECT_EQ("", SavedText(browser));

    // The next page loads normally and brings the engine back online.
    server.Serve("", "/next", "<html>next</html>", "text/html");
    browser.Navigate(server.Url("/next"));
    EXPECT_FALSE(browser.Offline());
    ASSERT_TRUE(PumpUntil([&] { return browser.ReadyState() == READYSTATE_COMPLETE; }));
    EXPECT_EQ("<html>next</html>", SavedText(browser));
}

TEST(WebBrowser, PageLargerThanTheLimitCannotBeSaved)
{
    ProxyVariable noProxy("");
    cwtest::HttpTestServer server;
    server.Serve("", "/big", std::string(200000, 'x'), "text/html");
    TWebBrowser browser;
    browser.SetMaxDocumentSize(50000);
    browser.Navigate(server.Url("/big"));
    ASSERT_TRUE(PumpUntil([&] { return browser.ReadyState() == READYSTATE_COMPLETE; }));
    TMemoryStream stream;
    EXPECT_THROW(browser.Document()->Save(stream), EWebDocumentError);
    EXPECT_EQ(0, stream.Size());
}

TEST(WebBrowser, NewNavigationReplacesThePreviousDocument)
{
    ProxyVariable noProxy("");
    cwtest::HttpTestServer server;
    server.Serve("", "/a", "<html>page a</html>", "text/html");
    server.Serve("", "/b", "<html>page b</html>", "text/html");
    TWebBrowser browser;
    EXPECT_EQ(nullptr, browser.Document());
    browser.Navigate(server.Url("/a"));
    browser.Navigate(server.Url("/b"));
    ASSERT_TRUE(PumpUntil([&] { return browser.ReadyState() == READYSTATE_COMPLETE; }));
    EXPECT_EQ("<html>page b</html>", SavedText(browser));
    EXPECT_EQ(server.Url("/b"), browser.LocationURL());
}
