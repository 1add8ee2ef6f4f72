// SOCKS: the version 5 exchange against the system's microsocks (with and without user name
// and password), and scripted proxies for version 4 / 4A, unusual replies and a proxy that
// hangs up during authentication. Also the rules of the SOCKS properties.

#include "SocketTestUtil.h"

#include <gtest/gtest.h>

using namespace cw;
using namespace cwtest;

namespace {

struct SocksJournal {
    std::vector<std::string> Lines;
    explicit SocksJournal(TWSocket& s)
    {
        s.OnSocksConnected = [this](TObject*, std::uint16_t e) { Lines.push_back("socks " + std::to_string(e)); };
        s.OnSocksAuthState = [this](TObject*, TSocksAuthState a) {
            static const char* const names[] = {"start", "success", "failure", "notrequired"};
            Lines.push_back(std::string("auth ") + names[a]);
        };
        s.OnSocksError = [this](TObject*, int code, const std::string& msg) {
            Lines.push_back("error " + std::to_string(code) + " " + msg);
        };
    }
};

void Through(TWSocket& s, std::uint16_t proxyPort, const std::string& addr, std::uint16_t port)
{
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(std::to_string(proxyPort));
    s.SetAddr(addr);
    s.SetPort(std::to_string(port));
    s.Connect();
}

std::string Bytes(std::initializer_list<int> b)
{
    std::string s;
    for (int c : b)
        s += static_cast<char>(c);
    return s;
}

} // namespace

TEST(WSocketSocks, LevelRules)
{
    TWSocket s;
    s.SetSocksLevel("4a");
    EXPECT_EQ(s.SocksLevel(), "4A");
    s.SetSocksLevel("4");
    EXPECT_EQ(s.SocksLevel(), "4");
    s.SetSocksLevel("5");
    EXPECT_EQ(s.SocksLevel(), "5");
    try {
        s.SetSocksLevel("6");
        FAIL() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Invalid socks level. Must be 4, 4A or 5.");
    }
    EXPECT_EQ(s.SocksLevel(), "5");
    s.SetSocksServer("  proxy.example  ");
    EXPECT_EQ(s.SocksServer(), "proxy.example");
    s.SetSocksPort(" 1080 ");
    EXPECT_EQ(s.SocksPort(), "1080");
    // A close resets the SOCKS settings with the connection fields.
    s.Close();
    EXPECT_EQ(s.SocksServer(), "");
    EXPECT_EQ(s.SocksPort(), "");
    EXPECT_EQ(s.SocksLevel(), "5");
}

TEST(WSocketSocks, OnlyTcpAndNoListening)
{
    TWSocket s;
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort("1080");
    s.SetAddr("127.0.0.1");
    s.SetPort("80");
    s.SetProto("udp");
    try {
        s.Connect();
        FAIL() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "tcp is the only protocol supported thru socks server");
    }
    try {
        s.Listen();
        FAIL() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Listening is not supported thru socks server");
    }
    EXPECT_EQ(s.State(), wsClosed);
}

TEST(WSocketSocks, Version5ThroughMicrosocksWithoutAuthentication)
{
    Microsocks proxy;
    ASSERT_TRUE(proxy.Started()) << proxy.Error();
    ScriptedPeer echo(ScriptedPeer::Echo(), 2);
    for (const std::string target : {"127.0.0.1", "localhost"}) {
        TWSocket s;
        EventLog log(s, true);
        SocksJournal socks(s);
        Through(s, proxy.Port(), target, echo.Port());
        ASSERT_TRUE(WaitUntil([&] { return log.Has("connected 0"); })) << log.Text();
        EXPECT_EQ(socks.Lines, std::vector<std::string>{"socks 0"});
        std::vector<std::string> states(log.Lines.begin(), log.Lines.begin() + 4);
        EXPECT_EQ(states,
                  (std::vector<std::string>{"state closed->opened", "state opened->connecting",
                                            "state connecting->socksconnected", "state socksconnected->connected"}));
        EXPECT_EQ(log.Count("connected 0"), 1);
        EXPECT_EQ(log.Count("sent 0"), 0) << "the proxy exchange is not the user's traffic";
        EXPECT_EQ(s.Addr(), target);
        std::string data = Pattern(50000);
        s.Send(data.data(), static_cast<int>(data.size()));
        ASSERT_TRUE(WaitUntil([&] { return log.Received.size() >= data.size(); }));
        EXPECT_TRUE(log.Received == data);
        s.Close();
        EXPECT_EQ(log.Count("closed 0"), 1);
    }
}

TEST(WSocketSocks, Version5ThroughMicrosocksWithUserAndPassword)
{
    Microsocks proxy("alice", "s3cret");
    ASSERT_TRUE(proxy.Started()) << proxy.Error();
    ScriptedPeer echo(ScriptedPeer::Echo());
    TWSocket s;
    EventLog log(s, true);
    SocksJournal socks(s);
    s.SetSocksAuthentication(socksAuthenticateUsercode);
    s.SetSocksUsercode("alice");
    s.SetSocksPassword("s3cret");
    Through(s, proxy.Port(), "127.0.0.1", echo.Port());
    ASSERT_TRUE(WaitUntil([&] { return log.Has("connected 0"); })) << log.Text();
    EXPECT_EQ(socks.Lines, (std::vector<std::string>{"socks 0", "auth start", "auth success"}));
    s.SendStr("through the proxy");
    ASSERT_TRUE(WaitUntil([&] { return log.Received == "through the proxy"; }));
}

TEST(WSocketSocks, Version5WrongPasswordFailsTheConnect)
{
    Microsocks proxy("alice", "s3cret");
    ASSERT_TRUE(proxy.Started()) << proxy.Error();
    ScriptedPeer echo(ScriptedPeer::Echo());
    TWSocket s;
    EventLog log(s);
    SocksJournal socks(s);
    s.SetSocksAuthentication(socksAuthenticateUsercode);
    s.SetSocksUsercode("alice");
    s.SetSocksPassword("wrong");
    Through(s, proxy.Port(), "127.0.0.1", echo.Port());
    ASSERT_TRUE(WaitUntil([&] { return s.State() == wsClosed && log.Has("closed 0"); })) << log.Text();
    EXPECT_EQ(socks.Lines, (std::vector<std::string>{"socks 0", "auth start", "auth failure",
                                                     "error 20015 socks authentication failed"}));
    EXPECT_EQ(log.Count("connected 20015"), 1) << log.Text();
    EXPECT_EQ(echo.Accepted(), 0);
}

TEST(WSocketSocks, Version5ProxyRefusingUnauthenticatedClients)
{
    Microsocks proxy("alice", "s3cret");
    ASSERT_TRUE(proxy.Started()) << proxy.Error();
    TWSocket s;
    EventLog log(s);
    SocksJournal socks(s);
    Through(s, proxy.Port(), "127.0.0.1", 9);
    ASSERT_TRUE(WaitUntil([&] { return s.State() == wsClosed && log.Has("closed 0"); })) << log.Text();
    EXPECT_EQ(socks.Lines, (std::vector<std::string>{"socks 0", "error 20003 authentification method not acceptable"}));
    EXPECT_EQ(log.Count("connected 20003"), 1);
}

TEST(WSocketSocks, Version5TargetRefusedIsReportedWithTheProxysReason)
{
    Microsocks proxy;
    ASSERT_TRUE(proxy.Started()) << proxy.Error();
    TWSocket s;
    EventLog log(s);
    SocksJournal socks(s);
    Through(s, proxy.Port(), "127.0.0.1", RefusedPort());
    ASSERT_TRUE(WaitUntil([&] { return s.State() == wsClosed && !socks.Lines.empty() && log.Has("closed 0"); }))
        << log.Text();
    ASSERT_EQ(socks.Lines.size(), 2u);
    EXPECT_EQ(socks.Lines[1], "error 20008 connection refused");
}

TEST(WSocketSocks, ProxyItselfRefusedGivesTheConnectError)
{
    TWSocket s;
    EventLog log(s);
    SocksJournal socks(s);
    Through(s, RefusedPort(), "127.0.0.1", 80);
    ASSERT_TRUE(WaitUntil([&] { return log.Has("closed 0"); })) << log.Text();
    EXPECT_EQ(socks.Lines, std::vector<std::string>{"socks 10061"});
    EXPECT_EQ(log.Count("connected 10061"), 1);
}

TEST(WSocketSocks, Version4RequestAndDataAfterTheReply)
{
    ScriptedPeer proxy([&](int fd) {
        proxy.Record(RecvUntil(fd, std::string(1, '\0')));
        // Grant, with the first bytes of the target's data in the same segment.
        SendAll(fd, Bytes({0, 90, 0, 0, 0, 0, 0, 0}) + "welcome");
        RecvUntilClosed(fd);
    });
    TWSocket s;
    EventLog log(s, true);
    SocksJournal socks(s);
    s.SetSocksLevel("4");
    s.SetSocksUsercode("bob");
    Through(s, proxy.Port(), "10.1.2.3", 8080);
    ASSERT_TRUE(WaitUntil([&] { return log.Received == "welcome"; })) << log.Text();
    EXPECT_EQ(proxy.Recorded(), Bytes({4, 1, 0x1F, 0x90, 10, 1, 2, 3}) + "bob" + std::string(1, '\0'));
    EXPECT_LT(log.IndexOf("connected 0"), log.IndexOf("data 0"));
    EXPECT_EQ(s.State(), wsConnected);
}

TEST(WSocketSocks, Version4ARequestCarriesTheNameAndRejectionIsReported)
{
    ScriptedPeer proxy([&](int fd) {
        std::string head = RecvExactly(fd, 8);
        std::string user = RecvUntil(fd, std::string(1, '\0'));
        std::string host = RecvUntil(fd, std::string(1, '\0'));
        proxy.Record(head + user + host);
        SendAll(fd, Bytes({0, 91, 0, 0, 0, 0, 0, 0}));
        RecvUntilClosed(fd);
    });
    TWSocket s;
    EventLog log(s);
    SocksJournal socks(s);
    s.SetSocksLevel("4a");
    Through(s, proxy.Port(), "video.example", 80);
    ASSERT_TRUE(WaitUntil([&] { return log.Has("closed 0"); })) << log.Text();
    EXPECT_EQ(proxy.Recorded(), Bytes({4, 1, 0, 80, 0, 0, 0, 1, 0}) + "video.example" + std::string(1, '\0'));
    EXPECT_EQ(socks.Lines, (std::vector<std::string>{"socks 0", "error 20016 request rejected or failed"}));
}

TEST(WSocketSocks, Version5ReplyInPiecesWithDomainAddress)
{
    ScriptedPeer proxy([&](int fd) {
        proxy.Record(RecvExactly(fd, 3)); // greeting
        SendAll(fd, Bytes({5, 0}));
        std::string req = RecvExactly(fd, 4);
        int len = static_cast<unsigned char>(RecvExactly(fd, 1)[0]);
        req += RecvExactly(fd, static_cast<size_t>(len) + 2);
        proxy.Record(req);
        // Success with a domain-name bound address, dribbled out, then data.
        std::string reply = Bytes({5, 0, 0, 3, 4}) + "host" + Bytes({0, 80}) + "data!";
        for (char c : reply) {
            SendAll(fd, std::string(1, c));
            SleepMs(2);
        }
        RecvUntilClosed(fd);
    });
    TWSocket s;
    EventLog log(s, true);
    SocksJournal socks(s);
    Through(s, proxy.Port(), "files.example", 443);
    ASSERT_TRUE(WaitUntil([&] { return log.Received == "data!"; })) << log.Text();
    EXPECT_EQ(proxy.Recorded(), Bytes({5, 1, 0}) + Bytes({5, 1, 0, 3}) + "files.example" + Bytes({1, 0xBB}));
    EXPECT_EQ(log.Count("connected 0"), 1);
}

TEST(WSocketSocks, UnknownReplyCodesAndVersions)
{
    struct Case {
        std::string Reply;
        std::string Expected;
    };
    for (const Case& c : {Case{Bytes({5, 0, 0}), "error 20002 socks version error"},
                          Case{Bytes({5, 0, 5, 9}), "error 20012 unassigned error #9"},
                          Case{Bytes({5, 0, 5, 2}), "error 20005 connection not allowed by ruleset"}}) {
        std::string reply = c.Reply;
        if (reply.size() == 3)
            reply = Bytes({4, 0}); // a version 4 answer to a version 5 greeting
        ScriptedPeer proxy([reply](int fd) {
            RecvExactly(fd, 3);
            if (reply.size() == 2) {
                SendAll(fd, reply);
            } else {
                SendAll(fd, reply.substr(0, 2));
                RecvExactly(fd, 10);
                SendAll(fd, reply.substr(2, 1) + reply.substr(3, 1) + Bytes({0, 1, 0, 0, 0, 0, 0, 0}));
            }
            RecvUntilClosed(fd);
        });
        TWSocket s;
        EventLog log(s);
        SocksJournal socks(s);
        Through(s, proxy.Port(), "10.0.0.1", 80);
        ASSERT_TRUE(WaitUntil([&] { return log.Has("closed 0"); })) << log.Text();
        ASSERT_EQ(socks.Lines.size(), 2u) << c.Expected;
        EXPECT_EQ(socks.Lines[1], c.Expected);
    }
}

TEST(WSocketSocks, ProxyHangingUpDuringAuthenticationReportsFailureBeforeTheClose)
{
    ScriptedPeer proxy([](int fd) {
        RecvExactly(fd, 3);
        SendAll(fd, Bytes({5, 2}));
        RecvExactly(fd, 3); // part of the credentials, then away
    });
    TWSocket s;
    std::vector<std::string> order;
    s.OnSocksAuthState = [&](TObject*, TSocksAuthState a) { order.push_back("auth " + std::to_string(a)); };
    s.OnSessionClosed = [&](TObject*, std::uint16_t) { order.push_back("closed"); };
    s.SetSocksAuthentication(socksAuthenticateUsercode);
    s.SetSocksUsercode("user");
    s.SetSocksPassword("password");
    Through(s, proxy.Port(), "10.0.0.1", 80);
    ASSERT_TRUE(WaitUntil([&] { return !order.empty() && order.back() == "closed"; }));
    EXPECT_EQ(order, (std::vector<std::string>{"auth 0", "auth 2", "closed"}));
}
