// The send chunk, error texts, the library version rule, the waiting layer and datagrams.

#include "SocketTestUtil.h"

#include "platform/Application.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace cw;
using namespace cwtest;

TEST(TBuffer, CapacityRuleAndReuseFromTheStart)
{
    EXPECT_EQ(TBuffer(0).BufSize(), 1514);
    EXPECT_EQ(TBuffer(-3).BufSize(), 1514);
    TBuffer b(10);
    EXPECT_EQ(b.BufSize(), 10);
    const char* p = nullptr;
    EXPECT_EQ(b.Peek(p), 0);
    EXPECT_EQ(p, nullptr);

    EXPECT_EQ(b.Write("abcdefgh", 8), 8);
    EXPECT_EQ(b.Write("XYZ", 3), 2) << "only what fits";
    EXPECT_EQ(b.Write("Q", 1), 0) << "full";
    EXPECT_EQ(b.Remove(3), 3);
    ASSERT_EQ(b.Peek(p), 7);
    EXPECT_EQ(std::string(p, 7), "defghXY");
    EXPECT_EQ(b.Write("Q", 1), 0) << "consumed room at the front is not written over";
    EXPECT_EQ(b.Remove(100), 7) << "at most what is left";
    EXPECT_EQ(b.WrCount(), 0);
    EXPECT_EQ(b.RdCount(), 0);
    EXPECT_EQ(b.Write("0123456789", 10), 10) << "emptied: reused from its start";
}

TEST(TBuffer, ResizingKeepsTheFilledBytes)
{
    TBuffer b(4);
    b.Write("abcd", 4);
    b.Remove(1);
    b.SetBufSize(8);
    EXPECT_EQ(b.BufSize(), 8);
    const char* p = nullptr;
    ASSERT_EQ(b.Peek(p), 3);
    EXPECT_EQ(std::string(p, 3), "bcd");
    EXPECT_EQ(b.Write("efghi", 5), 4);
    ASSERT_EQ(b.Peek(p), 7);
    EXPECT_EQ(std::string(p, 7), "bcdefgh");
}

TEST(SocketErrorText, KnownAndUnknownCodes)
{
    EXPECT_EQ(SocketErrorText(0), "No Error");
    EXPECT_EQ(SocketErrorText(10004), "Interrupted system call");
    EXPECT_EQ(SocketErrorText(10035), "Operation would block");
    EXPECT_EQ(SocketErrorText(10047), "Address family not supported by protocol family");
    EXPECT_EQ(SocketErrorText(10054), "Connection reset by peer");
    EXPECT_EQ(SocketErrorText(10058), "Can't send after socket shutdown");
    EXPECT_EQ(SocketErrorText(10059), "Too many references: can't splice");
    EXPECT_EQ(SocketErrorText(10061), "Connection refused");
    EXPECT_EQ(SocketErrorText(10069), "Disc quota exceeded");
    EXPECT_EQ(SocketErrorText(10092), "WinSock DLL cannot support this application");
    EXPECT_EQ(SocketErrorText(10093), "WinSock not initialized");
    EXPECT_EQ(SocketErrorText(11002), "Non-authoritative host not found");
    EXPECT_EQ(SocketErrorText(11004), "No Data");
    EXPECT_EQ(SocketErrorText(12345), "Not a WinSock error");
    EXPECT_EQ(SocketErrorText(10072), "Not a WinSock error");
    EXPECT_EQ(SocketErrorText(-1), "Not a WinSock error");
}

TEST(WSocketLibrary, VersionIsFixedOnceTheLibraryIsInUse)
{
    auto s = std::make_unique<TWSocket>();
    s->SetReqVerHigh(1);       // unchanged: always accepted
    s->DnsLookup("127.0.0.1"); // the first use starts the library
    ASSERT_GT(ws::WSAStartupCount(), 0);
    try {
        s->SetReqVerLow(2);
        FAIL() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_NE(std::string(e.what()).find("in function SetReqVerLow: WinSock version can't be changed now"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_EQ(s->ReqVerLow(), 1);
    EXPECT_THROW(s->SetReqVerHigh(2), ESocketException);
}

TEST(WSocketLibrary, UnsupportedVersionFailsAtFirstUseAndLastSocketReleasesTheLibrary)
{
    // Only meaningful when no other socket holds the library (tests run one after another).
    int before = ws::WSAStartupCount();
    {
        TWSocket s;
        s.SetReqVerLow(0);
        if (before == 0) {
            try {
                s.DnsLookup("127.0.0.1");
                FAIL() << "no exception";
            } catch (const ESocketException& e) {
                EXPECT_STREQ(e.what(), "wsock32.dll: WSAStartup error #10092");
            }
        }
        s.SetReqVerLow(1);
        s.DnsLookup("127.0.0.1");
        EXPECT_EQ(ws::WSAStartupCount(), before == 0 ? 1 : before);
    }
    EXPECT_EQ(ws::WSAStartupCount(), before);
}

TEST(WSocketSync, WaitReturnsWhenTheFlagIsSetByAnEvent)
{
    ScriptedPeer peer(ScriptedPeer::SendThenClose("ready"));
    TWSocket s;
    bool done = false;
    s.OnSessionClosed = [&](TObject*, std::uint16_t) { done = true; };
    s.SetAddr("127.0.0.1");
    s.SetPort(peer.PortStr());
    s.SetTimeout(20000);
    EXPECT_EQ(s.Synchronize([&] { s.Connect(); }, done), 0);
    EXPECT_TRUE(done);
}

TEST(WSocketSync, WaitGivesUpAfterTheTimeoutOrWhenTerminated)
{
    TWSocket s;
    bool never = false;
    s.SetTimeout(100);
    EXPECT_EQ(s.WaitUntilReady(never), 12001);

    s.SetTimeout(0);
    QTimer::singleShot(50, [&] { s.SetTerminated(true); });
    EXPECT_EQ(s.WaitUntilReady(never), 12001);
    s.SetTerminated(false);

    bool flag = false;
    QTimer::singleShot(30, [&] { flag = true; });
    EXPECT_EQ(s.WaitUntilReady(flag), 0);
}

TEST(WSocketMessages, DrainMessagesDeliversThisSocketsNotices)
{
    ScriptedPeer peer(ScriptedPeer::Hold(1000));
    TWSocket s;
    s.SetMultiThreaded(true);
    bool connected = false;
    s.OnSessionConnected = [&](TObject*, std::uint16_t) { connected = true; };
    s.SetAddr("127.0.0.1");
    s.SetPort(peer.PortStr());
    s.Connect();
    for (int i = 0; i < 500 && !connected; ++i) {
        s.PumpMessages();
        SleepMs(2);
    }
    EXPECT_TRUE(connected);
}

TEST(WSocketDatagram, UdpSocketIsConnectedAtOnceAndExchangesDatagrams)
{
    int peer = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(peer, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
    socklen_t len = sizeof(sa);
    ::getsockname(peer, reinterpret_cast<sockaddr*>(&sa), &len);

    TWSocket s;
    EventLog log(s, true);
    s.SetProto("udp");
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(ntohs(sa.sin_port)));
    s.Connect();
    EXPECT_EQ(s.State(), wsConnected);
    EXPECT_EQ(log.Count("connected 0"), 1);
    EXPECT_EQ(s.SendStr("datagram"), 8);

    char buf[64];
    sockaddr_in from{};
    socklen_t fl = sizeof(from);
    ssize_t n = ::recvfrom(peer, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &fl);
    ASSERT_EQ(n, 8);
    EXPECT_EQ(std::string(buf, 8), "datagram");
    ::sendto(peer, "reply", 5, 0, reinterpret_cast<sockaddr*>(&from), fl);
    ASSERT_TRUE(WaitUntil([&] { return log.Received == "reply"; }));
    s.Close();
    ::close(peer);
}

TEST(WSocketThreads, DetachedSocketCarriesOnInAnotherThread)
{
    ScriptedPeer peer(ScriptedPeer::Echo());
    TWSocket s;
    EventLog log(s, true);
    s.SetAddr("127.0.0.1");
    s.SetPort(peer.PortStr());
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return s.State() == wsConnected; }));

    try {
        s.ThreadAttach();
        FAIL() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Cannot attach when not detached");
    }
    std::string otherThreadError;
    std::thread([&] {
        try {
            s.ThreadDetach();
        } catch (const ESocketException& e) {
            otherThreadError = e.what();
        }
    }).join();
    EXPECT_EQ(otherThreadError, "Cannot detach from other thread");

    s.ThreadDetach();
    EXPECT_EQ(s.Handle(), 0u);
    std::string received;
    QThread* worker = QThread::create([&] {
        s.ThreadAttach();
        std::string got;
        s.OnDataAvailable = [&](TObject*, std::uint16_t) { got += s.ReceiveStr(); };
        s.SendStr("from the worker");
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (got.size() < 15 && std::chrono::steady_clock::now() < end)
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
        received = got;
        s.ThreadDetach();
    });
    worker->start();
    worker->wait();
    delete worker;
    EXPECT_EQ(received, "from the worker");

    // And back home.
    s.ThreadAttach();
    log.Received.clear();
    s.OnDataAvailable = [&](TObject*, std::uint16_t) { log.Received += s.ReceiveStr(); };
    s.SendStr("home");
    ASSERT_TRUE(WaitUntil([&] { return log.Received == "home"; }));
}
