// The platform layer under the socket: which notifications a socket in asynchronous mode gets,
// and when. These rules are what the component's event order rests on.

#include "platform/Winsock.h"

#include "platform/MessageWindow.h"
#include "support/SocketPeers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace cw;
using namespace cwtest;

namespace {

constexpr unsigned kMsg = WM_USER + 77;

// A window that notes every notification as "connect 0", "read 0", ...
struct Recorder {
    std::vector<std::string> Events;
    MessageWindow Window{[this](TMessage& m) {
        if (m.Msg != kMsg)
            return;
        static const char* const names[] = {"read", "write", "oob", "accept", "connect", "close"};
        unsigned ev = ws::WSAGetSelectEvent(m.LParam);
        for (int i = 0; i < 6; ++i)
            if (ev & (1u << i))
                Events.push_back(std::string(names[i]) + " " + std::to_string(ws::WSAGetSelectError(m.LParam)));
    }};
    int Count(const std::string& e) const { return static_cast<int>(std::count(Events.begin(), Events.end(), e)); }
};

struct Started {
    Started() { EXPECT_EQ(ws::WSAStartup(0x0101, nullptr), 0); }
    ~Started() { ws::WSACleanup(); }
};

sockaddr_in Loopback(std::uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port);
    return sa;
}

ws::SOCKET ConnectAsync(Recorder& rec, std::uint16_t port)
{
    ws::SOCKET s = ws::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_NE(s, ws::INVALID_SOCKET);
    EXPECT_EQ(ws::WSAAsyncSelect(s, rec.Window.Handle(), kMsg, 0x3B), 0);
    int rc = ws::connect(s, Loopback(port));
    EXPECT_TRUE(rc == 0 || ws::WSAGetLastError() == ws::WSAEWOULDBLOCK);
    return s;
}

// A peer whose close is a reset (linger on, timeout 0).
void ResetOnClose(int fd)
{
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
}

} // namespace

TEST(WinsockLayer, StartupIsCountedAndRequiredForSockets)
{
    int before = ws::WSAStartupCount();
    if (before == 0) {
        EXPECT_EQ(ws::socket(AF_INET, SOCK_STREAM, 0), ws::INVALID_SOCKET);
        EXPECT_EQ(ws::WSAGetLastError(), ws::WSANOTINITIALISED);
    }
    ws::WSAData data;
    EXPECT_EQ(ws::WSAStartup(0x0101, &data), 0);
    EXPECT_EQ(data.wVersion, 0x0101);
    EXPECT_EQ(ws::WSAStartup(0x0202, nullptr), 0);
    EXPECT_EQ(ws::WSAStartupCount(), before + 2);
    EXPECT_EQ(ws::WSAStartup(0x0000, nullptr), ws::WSAVERNOTSUPPORTED);
    EXPECT_EQ(ws::WSAStartup(0x0003, nullptr), ws::WSAVERNOTSUPPORTED);
    ws::WSACleanup();
    ws::WSACleanup();
    EXPECT_EQ(ws::WSAStartupCount(), before);
}

TEST(WinsockLayer, ErrnoMapsToWinsockCodes)
{
    EXPECT_EQ(ws::ErrnoToWSA(0), 0);
    EXPECT_EQ(ws::ErrnoToWSA(EWOULDBLOCK), 10035);
    EXPECT_EQ(ws::ErrnoToWSA(EINPROGRESS), 10035);
    EXPECT_EQ(ws::ErrnoToWSA(ECONNREFUSED), 10061);
    EXPECT_EQ(ws::ErrnoToWSA(ECONNRESET), 10054);
    EXPECT_EQ(ws::ErrnoToWSA(EPIPE), 10054);
    EXPECT_EQ(ws::ErrnoToWSA(ENOTCONN), 10057);
    EXPECT_EQ(ws::ErrnoToWSA(ETIMEDOUT), 10060);
    EXPECT_EQ(ws::ErrnoToWSA(EADDRINUSE), 10048);
    EXPECT_EQ(ws::ErrnoToWSA(EHOSTUNREACH), 10065);
    EXPECT_EQ(ws::ErrnoToWSA(EBADF), 10038);
    EXPECT_EQ(ws::LookupErrorToWSA(EAI_NONAME), 11001);
    EXPECT_EQ(ws::LookupErrorToWSA(EAI_AGAIN), 11002);
}

TEST(WinsockLayer, ConnectIsReportedOnceThenWrite)
{
    Started st;
    ScriptedPeer peer(ScriptedPeer::Hold(2000));
    Recorder rec;
    ws::SOCKET s = ConnectAsync(rec, peer.Port());
    ASSERT_TRUE(WaitUntil([&] { return rec.Count("write 0") == 1; }));
    PumpFor(50);
    EXPECT_EQ(rec.Events, (std::vector<std::string>{"connect 0", "write 0"}));
    ws::closesocket(s);
}

TEST(WinsockLayer, RefusedConnectIsReportedThroughConnectOnly)
{
    Started st;
    Recorder rec;
    ws::SOCKET s = ConnectAsync(rec, RefusedPort());
    ASSERT_TRUE(WaitUntil([&] { return !rec.Events.empty(); }));
    PumpFor(50);
    EXPECT_EQ(rec.Events, std::vector<std::string>{"connect 10061"});
    ws::closesocket(s);
}

TEST(WinsockLayer, ReadIsReArmedByEachReceive)
{
    Started st;
    ScriptedPeer peer([](int fd) {
        SendAll(fd, "0123456789");
        RecvUntilClosed(fd);
    });
    Recorder rec;
    ws::SOCKET s = ConnectAsync(rec, peer.Port());
    ASSERT_TRUE(WaitUntil([&] { return rec.Count("read 0") == 1; }));
    PumpFor(50);
    EXPECT_EQ(rec.Count("read 0"), 1) << "one notice until the program reads";
    unsigned long pending = 0;
    ASSERT_EQ(ws::ioctlsocket(s, FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 10u);

    char buf[4];
    ASSERT_EQ(ws::recv(s, buf, 4, 0), 4);
    ASSERT_TRUE(WaitUntil([&] { return rec.Count("read 0") == 2; })) << "data left: another notice";
    // Reading everything before the loop runs again: the re-armed notice finds nothing
    // waiting and stays silent.
    ASSERT_EQ(ws::recv(s, buf, 4, 0), 4);
    ASSERT_EQ(ws::recv(s, buf, 4, 0), 2);
    PumpFor(50);
    EXPECT_EQ(rec.Count("read 0"), 2);
    EXPECT_EQ(ws::recv(s, buf, 4, 0), ws::SOCKET_ERROR);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEWOULDBLOCK);
    PumpFor(50);
    EXPECT_EQ(rec.Count("read 0"), 2) << "nothing waiting: no notice";
    EXPECT_EQ(rec.Count("close 0"), 0);
    ws::closesocket(s);
}

TEST(WinsockLayer, CloseComesOnceAndOnlyAfterTheDataIsRead)
{
    Started st;
    ScriptedPeer peer(ScriptedPeer::SendThenClose("last words"));
    Recorder rec;
    ws::SOCKET s = ConnectAsync(rec, peer.Port());
    ASSERT_TRUE(WaitUntil([&] { return rec.Count("read 0") == 1; }));
    PumpFor(100);
    EXPECT_EQ(rec.Count("close 0"), 0) << "the close waits for the data before it";
    char buf[64];
    EXPECT_EQ(ws::recv(s, buf, sizeof(buf), 0), 10);
    ASSERT_TRUE(WaitUntil([&] { return rec.Count("close 0") == 1; }));
    EXPECT_EQ(ws::recv(s, buf, sizeof(buf), 0), 0);
    PumpFor(50);
    EXPECT_EQ(rec.Count("close 0"), 1);
    ws::closesocket(s);
}

TEST(WinsockLayer, ResetIsReportedAsCloseWithItsError)
{
    Started st;
    ScriptedPeer peer(ResetOnClose);
    Recorder rec;
    ws::SOCKET s = ConnectAsync(rec, peer.Port());
    ASSERT_TRUE(WaitUntil([&] { return rec.Count("close 10054") == 1; })) << ::testing::PrintToString(rec.Events);
    ws::closesocket(s);
}

// The peer accepts and resets before the program looks at the connect at all: the handshake was
// made, so the connection still counts as made and the reset comes with the close.
TEST(WinsockLayer, ResetBeforeTheConnectNoticeRunsIsAConnectThenACloseWithItsError)
{
    Started st;
    ScriptedPeer peer(ResetOnClose);
    Recorder rec;
    ws::SOCKET s = ConnectAsync(rec, peer.Port());
    SleepMs(300); // no pumping: accept and reset happen before the first notice is handled
    ASSERT_TRUE(WaitUntil([&] { return rec.Count("close 10054") == 1; })) << ::testing::PrintToString(rec.Events);
    EXPECT_EQ(rec.Count("connect 0"), 1) << ::testing::PrintToString(rec.Events);
    ws::closesocket(s);
}

TEST(WinsockLayer, WriteComesAgainOnlyAfterASendWouldBlock)
{
    Started st;
    std::atomic<bool> read{false};
    ScriptedPeer peer([&](int fd) {
        while (!read)
            SleepMs(5);
        RecvUntilClosed(fd);
    });
    Recorder rec;
    ws::SOCKET s = ConnectAsync(rec, peer.Port());
    ASSERT_TRUE(WaitUntil([&] { return rec.Count("write 0") == 1; }));
    char small[100] = {};
    EXPECT_EQ(ws::send(s, small, sizeof(small), 0), 100);
    PumpFor(50);
    EXPECT_EQ(rec.Count("write 0"), 1) << "a send that fits brings no write notice";

    std::string big(1 << 20, 'b');
    int rc = 0;
    while ((rc = ws::send(s, big.data(), static_cast<int>(big.size()), 0)) > 0 && rc == static_cast<int>(big.size())) {
    }
    // The buffer is full now (a short send or a would-block).
    if (rc == ws::SOCKET_ERROR) {
        EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEWOULDBLOCK);
    }
    PumpFor(50);
    EXPECT_EQ(rec.Count("write 0"), 1);
    read = true;
    ASSERT_TRUE(WaitUntil([&] { return rec.Count("write 0") == 2; }));
    ws::closesocket(s);
}

TEST(WinsockLayer, MaskZeroStopsNoticesAndAskingAgainReportsWaitingData)
{
    Started st;
    ScriptedPeer peer([](int fd) {
        SleepMs(50);
        SendAll(fd, "x");
        RecvUntilClosed(fd);
    });
    Recorder rec;
    ws::SOCKET s = ConnectAsync(rec, peer.Port());
    ASSERT_TRUE(WaitUntil([&] { return rec.Count("write 0") == 1; }));
    ASSERT_EQ(ws::WSAAsyncSelect(s, rec.Window.Handle(), kMsg, 0), 0);
    PumpFor(200);
    EXPECT_EQ(rec.Count("read 0"), 0);
    ASSERT_EQ(ws::WSAAsyncSelect(s, rec.Window.Handle(), kMsg, 0x3B), 0);
    ASSERT_TRUE(WaitUntil([&] { return rec.Count("read 0") == 1; }));
    ws::closesocket(s);
}

TEST(WinsockLayer, HandlesAreNeverReused)
{
    Started st;
    ws::SOCKET a = ws::socket(AF_INET, SOCK_STREAM, 0);
    ws::closesocket(a);
    ws::SOCKET b = ws::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_NE(a, b);
    EXPECT_EQ(ws::closesocket(a), ws::SOCKET_ERROR);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAENOTSOCK);
    char c;
    EXPECT_EQ(ws::recv(a, &c, 1, 0), ws::SOCKET_ERROR);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAENOTSOCK);
    ws::closesocket(b);
}

TEST(WinsockLayer, CancelledLookupNeverAnswers)
{
    Started st;
    std::atomic<bool> release{false};
    ws::SetLookupResolverForTests([&](const std::string&, ws::HostEnt& h) {
        while (!release)
            SleepMs(2);
        h.Addresses = {ws::inet_addr("192.0.2.1")};
        return 0;
    });
    int answers = 0;
    MessageWindow w([&](TMessage& m) {
        if (m.Msg == kMsg)
            ++answers;
    });
    auto first = ws::WSAAsyncGetHostByName(w.Handle(), kMsg, "a.test");
    auto second = ws::WSAAsyncGetHostByName(w.Handle(), kMsg, "b.test");
    ASSERT_TRUE(first && second);
    EXPECT_NE(first->Handle(), second->Handle());
    EXPECT_EQ(ws::WSACancelAsyncRequest(*first), 0);
    EXPECT_EQ(ws::WSACancelAsyncRequest(*first), ws::SOCKET_ERROR);
    release = true;
    ASSERT_TRUE(WaitUntil([&] { return answers == 1; }));
    PumpFor(50);
    EXPECT_EQ(answers, 1);
    EXPECT_EQ(second->Result().Addresses.size(), 1u);
    ws::SetLookupResolverForTests({});
}

TEST(WinsockLayer, DottedConversionIsDecimal)
{
    EXPECT_EQ(ws::inet_addr("10.0.0.1"), htonl(0x0A000001));
    EXPECT_EQ(ws::inet_addr("010.000.000.001"), htonl(0x0A000001));
    EXPECT_EQ(ws::inet_addr("1.2.3"), INADDR_NONE);
    EXPECT_EQ(ws::inet_addr("1.2.3.256"), INADDR_NONE);
    EXPECT_EQ(ws::inet_ntoa(htonl(0x7F000001)), "127.0.0.1");
}
