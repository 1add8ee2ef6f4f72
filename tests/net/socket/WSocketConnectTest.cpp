// Connecting and closing against real peers on 127.0.0.1: states and their order, refused
// connects, the read-before-connect case, closing twice, property changes while open.

#include "SocketTestUtil.h"

#include <gtest/gtest.h>

using namespace cw;
using namespace cwtest;

namespace {

void Open(TWSocket& s, std::uint16_t port)
{
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(port));
    s.SetProto("tcp");
    s.Connect();
}

} // namespace

TEST(WSocketDefaults, PropertiesAfterConstruction)
{
    TWSocket s;
    EXPECT_EQ(s.Addr(), "");
    EXPECT_EQ(s.Port(), "");
    EXPECT_EQ(s.Proto(), "tcp");
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(s.LocalPort(), "0");
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.ReadCount(), 0);
    EXPECT_EQ(s.LastError(), 0);
    EXPECT_FALSE(s.MultiThreaded());
    EXPECT_EQ(s.MultiCastIpTTL(), 1);
    EXPECT_TRUE(s.ComponentOptions().Empty());
    EXPECT_EQ(s.ListenBacklog(), 5);
    EXPECT_EQ(s.ReqVerLow(), 1);
    EXPECT_EQ(s.ReqVerHigh(), 1);
    EXPECT_EQ(s.FlushTimeout(), 60);
    EXPECT_EQ(s.SendFlags(), wsSendNormal);
    EXPECT_EQ(s.LingerOnOff(), wsLingerOn);
    EXPECT_EQ(s.LingerTimeout(), 0);
    EXPECT_EQ(s.KeepAliveOnOff(), wsKeepAliveOnSystem);
    EXPECT_EQ(s.KeepAliveTime(), 30000u);
    EXPECT_EQ(s.KeepAliveInterval(), 1000u);
    EXPECT_EQ(s.SocksLevel(), "5");
    EXPECT_EQ(s.SocksServer(), "");
    EXPECT_EQ(s.SocksAuthentication(), socksNoAuthentication);
    EXPECT_FALSE(s.LineMode());
    EXPECT_EQ(s.LineLimit(), 65536);
    EXPECT_EQ(s.LineEnd(), "\r\n");
    EXPECT_FALSE(s.LineEcho());
    EXPECT_FALSE(s.LineEdit());
    EXPECT_EQ(s.PeerAddr(), "error");
    EXPECT_EQ(s.RcvdCount(), -1);
    EXPECT_EQ(s.BufferedByteCount(), 0);
}

TEST(WSocketConnect, SuccessfulConnectionRunsTheStatesInOrder)
{
    ScriptedPeer peer(ScriptedPeer::SendThenClose("hello"));
    TWSocket s;
    EventLog log(s, true);
    s.DnsLookup("127.0.0.1");
    Open(s, peer.Port());
    ASSERT_TRUE(WaitUntil([&] { return log.Has("closed 0"); })) << log.Text();

    std::vector<std::string> expected{"dns 0", "state closed->opened", "state opened->connecting",
                                      "state connecting->connected", "connected 0"};
    ASSERT_GE(log.Lines.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(log.Lines.begin(), log.Lines.begin() + 5), expected) << log.Text();
    // Data before the close, the state change before OnSessionClosed, the close once.
    EXPECT_EQ(log.Received, "hello");
    EXPECT_LT(log.IndexOf("data 0"), log.IndexOf("closed 0"));
    EXPECT_EQ(log.IndexOf("state connected->closed") + 1, log.IndexOf("closed 0")) << log.Text();
    EXPECT_EQ(log.Count("closed 0"), 1);
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.ReadCount(), 0) << "the counters are reset with the connection";
    PumpFor(50);
    EXPECT_EQ(log.Count("closed 0"), 1);
}

TEST(WSocketConnect, PeerClosingAfterDataDeliversEverythingFirstAndClearsAddress)
{
    std::string data = Pattern(300000);
    ScriptedPeer peer(ScriptedPeer::SendThenClose(data));
    TWSocket s;
    EventLog log(s);
    std::string got;
    bool closedSeen = false;
    s.OnDataAvailable = [&](TObject*, std::uint16_t) {
        EXPECT_FALSE(closedSeen) << "data after the close event";
        char buf[4096];
        int n = s.Receive(buf, sizeof(buf));
        if (n > 0)
            got.append(buf, static_cast<size_t>(n));
    };
    s.OnSessionClosed = [&](TObject*, std::uint16_t e) {
        closedSeen = true;
        log.Add("closed " + std::to_string(e));
        EXPECT_EQ(got.size(), data.size()) << "the close came before all the data";
    };
    Open(s, peer.Port());
    ASSERT_TRUE(WaitUntil([&] { return closedSeen; }));
    EXPECT_TRUE(got == data);
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.Addr(), "");
    EXPECT_EQ(s.Port(), "");
    // Without Addr and Port set again, the next Connect is refused.
    EXPECT_THROW(s.Connect(), ESocketException);
}

TEST(WSocketConnect, RefusedConnectReportsTheErrorThenClosesWithZero)
{
    TWSocket s;
    EventLog log(s);
    Open(s, RefusedPort());
    ASSERT_TRUE(WaitUntil([&] { return log.Has("closed 0"); })) << log.Text();
    std::vector<std::string> expected{"state closed->opened", "state opened->connecting", "state connecting->connected",
                                      "connected 10061",      "state connected->closed",  "closed 0"};
    EXPECT_EQ(log.Lines, expected) << log.Text();
    EXPECT_EQ(SocketErrorText(10061), "Connection refused");
}

TEST(WSocketConnect, ReadNoticeBeforeConnectNoticeStillConnectsOnceAndFirst)
{
    ScriptedPeer peer(ScriptedPeer::SendThenClose("xyz"));
    TWSocket s;
    EventLog log(s, true);
    Open(s, peer.Port());
    ASSERT_EQ(s.State(), wsConnecting);
    // A read notice overtaking the connect notice.
    MessageWindow::PostMessage(s.Handle(), WM_SOCKET_EVENT, static_cast<WPARAM>(s.HSocket()),
                               ws::WSAMakeSelectReply(ws::FD_READ, 0));
    ASSERT_TRUE(WaitUntil([&] { return log.Has("closed 0"); })) << log.Text();
    EXPECT_EQ(log.Count("connected 0"), 1) << log.Text();
    EXPECT_LT(log.IndexOf("connected 0"), log.IndexOf("data 0"));
    EXPECT_EQ(log.Received, "xyz");
}

TEST(WSocketConnect, CloseTwiceFiresClosedOnce)
{
    ScriptedPeer peer(ScriptedPeer::Hold(2000));
    TWSocket s;
    EventLog log(s);
    Open(s, peer.Port());
    ASSERT_TRUE(WaitUntil([&] { return s.State() == wsConnected; }));
    s.Close();
    EXPECT_EQ(log.Count("closed 0"), 1) << "OnSessionClosed fires inside Close";
    s.Close();
    PumpFor(50);
    EXPECT_EQ(log.Count("closed 0"), 1);
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.HSocket(), ws::INVALID_SOCKET);
}

TEST(WSocketConnect, StaleNoticesOfAClosedConnectionDoNotReachTheNextOne)
{
    ScriptedPeer peer(ScriptedPeer::SendThenClose("first"), 2);
    TWSocket s;
    EventLog log(s, true);
    Open(s, peer.Port());
    ASSERT_TRUE(WaitUntil([&] { return s.State() == wsConnected; }));
    ws::SOCKET old = s.HSocket();
    s.Close();
    Open(s, peer.Port());
    // Notices carrying the old handle must be ignored by the new connection.
    MessageWindow::PostMessage(s.Handle(), WM_SOCKET_EVENT, static_cast<WPARAM>(old),
                               ws::WSAMakeSelectReply(ws::FD_CLOSE, 0));
    MessageWindow::PostMessage(s.Handle(), WM_SOCKET_EVENT, static_cast<WPARAM>(old),
                               ws::WSAMakeSelectReply(ws::FD_READ, 0));
    ASSERT_TRUE(WaitUntil([&] { return log.Count("closed 0") == 2; })) << log.Text();
    EXPECT_EQ(log.Count("connected 0"), 2);
    EXPECT_NE(log.Received.find("first"), std::string::npos);
}

TEST(WSocketConnect, ConnectRefusalsGoThroughTheErrorPath)
{
    TWSocket s;
    try {
        s.Connect();
        FAIL() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Connect: No Port Specified");
    }
    s.SetPort("80");
    try {
        s.Connect();
        FAIL() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Connect: No IP Address Specified");
    }
    s.SetAddr("127.0.0.1");
    s.SetProto("");
    try {
        s.Connect();
        FAIL() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Connect: No Protocol Specified");
    }
    s.SetProto("tcp");
    s.SetPort("no-such-service-here");
    try {
        s.Connect();
        FAIL() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "connect: WSocketResolvePort: Cannot convert port 'no-such-service-here', Error #11004");
    }
    // A number with something after it is not that number, and too large a one wraps nowhere.
    for (const char* port : {"18900abc", "99999", "80 80"}) {
        s.SetPort(port);
        try {
            s.Connect();
            FAIL() << port << ": no exception";
        } catch (const ESocketException& e) {
            EXPECT_NE(std::string(e.what()).find("invalid port '" + std::string(port) + "'"), std::string::npos)
                << e.what();
        }
        EXPECT_EQ(s.State(), wsClosed);
    }
    EXPECT_EQ(s.State(), wsClosed);

    // With OnError the same refusal calls the handler and returns.
    int errors = 0;
    s.OnError = [&](TObject* sender) {
        EXPECT_EQ(sender, &s);
        ++errors;
    };
    s.SetPort("");
    s.Connect();
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(s.State(), wsClosed);
}

TEST(WSocketConnect, SecondConnectWhileOpenIsRefused)
{
    ScriptedPeer peer(ScriptedPeer::Hold(2000));
    TWSocket s;
    Open(s, peer.Port());
    ASSERT_TRUE(WaitUntil([&] { return s.State() == wsConnected; }));
    try {
        s.Connect();
        FAIL() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Connect: Socket already in use");
    }
    EXPECT_EQ(s.State(), wsConnected);
}

TEST(WSocketConnect, PropertiesChangeOnlyWhileClosedUnlessUnchanged)
{
    ScriptedPeer peer(ScriptedPeer::Hold(2000));
    TWSocket s;
    Open(s, peer.Port());
    ASSERT_TRUE(WaitUntil([&] { return s.State() == wsConnected; }));
    EXPECT_NO_THROW(s.SetPort(peer.PortStr()));
    EXPECT_NO_THROW(s.SetAddr("127.0.0.1"));
    try {
        s.SetPort("81");
        FAIL() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Cannot change Port if not closed");
    }
    EXPECT_EQ(s.Port(), peer.PortStr());
    EXPECT_THROW(s.SetAddr("10.0.0.1"), ESocketException);
    EXPECT_THROW(s.SetProto("udp"), ESocketException);
    EXPECT_THROW(s.SetLocalAddr("127.0.0.1"), ESocketException);
    EXPECT_THROW(s.SetLocalPort("5555"), ESocketException);
    EXPECT_THROW(s.SetSocksServer("127.0.0.1"), ESocketException);
    EXPECT_THROW(s.SetSocksPort("1080"), ESocketException);
    EXPECT_THROW(s.SetSocksLevel("4"), ESocketException);
    EXPECT_EQ(s.State(), wsConnected) << "a refused change leaves the connection alone";
    EXPECT_EQ(s.PeerAddr(), "127.0.0.1");
    EXPECT_EQ(s.PeerPort(), peer.PortStr());
}

TEST(WSocketConnect, LocalBindingIsAppliedAndReported)
{
    ScriptedPeer peer(ScriptedPeer::Hold(2000));
    TWSocket s;
    s.SetLocalAddr("127.0.0.1");
    std::uint16_t local = FreePort();
    s.SetLocalPort(std::to_string(local));
    Open(s, peer.Port());
    ASSERT_TRUE(WaitUntil([&] { return s.State() == wsConnected; }));
    sockaddr_in sa{};
    ASSERT_EQ(ws::getsockname(s.HSocket(), &sa), 0);
    EXPECT_EQ(ntohs(sa.sin_port), local);
    EXPECT_EQ(s.LocalPort(), std::to_string(local));
    s.Close();
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(s.LocalPort(), "0");
}

TEST(WSocketConnect, ChangeStateHandlerThatClosesDuringConnectIsReported)
{
    ScriptedPeer peer(ScriptedPeer::Hold(500));
    TWSocket s;
    bool once = false;
    s.OnChangeState = [&](TObject*, TSocketState, TSocketState n) {
        if (n == wsOpened && !once) {
            once = true;
            s.Close();
        }
    };
    int errors = 0;
    s.OnError = [&](TObject*) { ++errors; };
    Open(s, peer.Port());
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(s.LastError(), 10022);
}

TEST(WSocketConnect, DestroyingAnOpenSocketFiresNoCloseEvent)
{
    ScriptedPeer peer(ScriptedPeer::Drain());
    int closed = 0;
    {
        TWSocket s;
        s.OnSessionClosed = [&](TObject*, std::uint16_t) { ++closed; };
        Open(s, peer.Port());
        ASSERT_TRUE(WaitUntil([&] { return s.State() == wsConnected; }));
    }
    PumpFor(50);
    EXPECT_EQ(closed, 0);
}

TEST(WSocketConnect, PostCloseClosesFromTheLoop)
{
    ScriptedPeer peer(ScriptedPeer::Hold(2000));
    TWSocket s;
    EventLog log(s);
    Open(s, peer.Port());
    ASSERT_TRUE(WaitUntil([&] { return s.State() == wsConnected; }));
    s.PostClose();
    EXPECT_EQ(s.State(), wsConnected) << "PostClose closes later, not inside the call";
    ASSERT_TRUE(WaitUntil([&] { return s.State() == wsClosed; }));
    EXPECT_EQ(log.Count("closed 0"), 1);
}

namespace {
struct WatchedSocket : TWSocket {
    explicit WatchedSocket(bool* gone) : FGone(gone) {}
    ~WatchedSocket() override { *FGone = true; }
    bool* FGone;
};
} // namespace

TEST(WSocketConnect, PostFreeDestroysTheComponentFromItsOwnMessage)
{
    ScriptedPeer peer(ScriptedPeer::Drain());
    bool gone = false;
    auto* s = new WatchedSocket(&gone);
    Open(*s, peer.Port());
    ASSERT_TRUE(WaitUntil([&] { return s->State() == wsConnected; }));
    s->PostFree();
    EXPECT_FALSE(gone);
    ASSERT_TRUE(WaitUntil([&] { return gone; }));
}

TEST(WSocketConnect, AbortClosesAtOnceAndDropsTheQueue)
{
    ScriptedPeer peer(ScriptedPeer::Hold(1000));
    TWSocket s;
    EventLog log(s);
    Open(s, peer.Port());
    ASSERT_TRUE(WaitUntil([&] { return s.State() == wsConnected; }));
    s.QueueData("abc", 3);
    s.Abort();
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.BufferedByteCount(), 0);
    EXPECT_EQ(log.Count("closed 0"), 1);
}
