// Sending and receiving: the send queue and its chunks, when OnSendData and OnDataSent fire,
// the receive loop, exceptions in handlers, pause and resume, flush, big transfers intact.

#include "SocketTestUtil.h"
#include "support/LogRecorder.h"

#include <gtest/gtest.h>

#include <type_traits>

using namespace cw;
using namespace cwtest;

namespace {

void OpenAndWait(TWSocket& s, std::uint16_t port)
{
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(port));
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return s.State() == wsConnected; }));
}

} // namespace

TEST(WSocketSend, SendWhileConnectingIsRefusedAndReported)
{
    ScriptedPeer peer(ScriptedPeer::Drain());
    TWSocket s;
    int errors = 0;
    s.OnError = [&](TObject*) { ++errors; };
    s.SetAddr("127.0.0.1");
    s.SetPort(peer.PortStr());
    s.Connect();
    ASSERT_EQ(s.State(), wsConnecting);
    EXPECT_EQ(s.Send("abc", 3), -1);
    EXPECT_EQ(s.LastError(), 10057);
    EXPECT_EQ(errors, 1);

    // Without OnError the report is an exception naming the function.
    TWSocket t;
    t.SetAddr("127.0.0.1");
    t.SetPort(peer.PortStr());
    try {
        t.Send("abc", 3);
        FAIL() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Error 10057 in function Send\r\nSocket is not connected");
    }
}

TEST(WSocketSend, FiveThousandBytesGoOutInChunksAndDataSentComesLater)
{
    ScriptedPeer peer(ScriptedPeer::Drain());
    TWSocket s;
    std::vector<int> pieces;
    int dataSent = 0;
    OpenAndWait(s, peer.Port());
    ASSERT_TRUE(WaitUntil([&] { return true; }));
    PumpFor(20); // the write notice that follows the connect
    s.OnSendData = [&](TObject* sender, int n) {
        EXPECT_EQ(sender, &s);
        pieces.push_back(n);
    };
    s.OnDataSent = [&](TObject*, std::uint16_t e) {
        EXPECT_EQ(e, 0);
        ++dataSent;
    };
    std::string data = Pattern(5000);
    EXPECT_EQ(s.Send(data.data(), 5000), 5000);
    EXPECT_EQ(pieces, (std::vector<int>{1460, 1460, 1460, 620}));
    EXPECT_EQ(dataSent, 0) << "OnDataSent never fires inside Send";
    EXPECT_EQ(s.BufferedByteCount(), 0);
    ASSERT_TRUE(WaitUntil([&] { return dataSent == 1; }));
    PumpFor(30);
    EXPECT_EQ(dataSent, 1);
    s.Close();
    ASSERT_TRUE(WaitUntil([&] { return peer.Accepted() == 1; }));
}

TEST(WSocketSend, QueuedDataMakesChunksAndSendWithNothingStartsThem)
{
    std::string data = Pattern(3000);
    ScriptedPeer peer([&](int fd) { ::send(fd, RecvExactly(fd, 3000).data(), 3000, 0); });
    TWSocket s;
    EventLog log(s, true);
    OpenAndWait(s, peer.Port());
    s.QueueData(data.data(), 3000);
    EXPECT_EQ(s.SendQueueChunks(), 3); // 1460, 1460, 80
    EXPECT_EQ(s.BufferedByteCount(), 3000);
    EXPECT_EQ(s.Send(nullptr, 0), 0);
    EXPECT_EQ(s.BufferedByteCount(), 0);
    EXPECT_EQ(s.SendQueueChunks(), 1) << "the first chunk stays for reuse";
    ASSERT_TRUE(WaitUntil([&] { return log.Received.size() == 3000; }));
    EXPECT_TRUE(log.Received == data);
}

TEST(WSocketSend, SteadySenderKeepsOneChunk)
{
    ScriptedPeer peer(ScriptedPeer::Drain());
    TWSocket s;
    OpenAndWait(s, peer.Port());
    std::string line(1000, 'x');
    for (int i = 0; i < 2000; ++i) {
        s.Send(line.data(), static_cast<int>(line.size()));
        EXPECT_EQ(s.SendQueueChunks(), 1);
        if (!s.AllSent())
            WaitUntil([&] { return s.AllSent(); });
    }
}

TEST(WSocketSend, HandlerThatSendsAgainFromOnSendDataDoesNotDuplicateBytes)
{
    std::string expected = Pattern(2000) + "tail";
    ScriptedPeer echo(ScriptedPeer::Echo());
    TWSocket s;
    EventLog log(s, true);
    OpenAndWait(s, echo.Port());
    bool once = false;
    s.OnSendData = [&](TObject*, int) {
        if (!once) {
            once = true;
            s.SendStr("tail");
        }
    };
    std::string first = Pattern(2000);
    s.Send(first.data(), 2000);
    ASSERT_TRUE(WaitUntil([&] { return log.Received.size() >= expected.size(); }));
    PumpFor(30);
    // The order of the appended tail relative to the rest is the queue's order.
    EXPECT_EQ(log.Received.size(), expected.size());
    EXPECT_TRUE(log.Received == expected);
}

TEST(WSocketSend, LargeSendBlocksThenCompletesThroughWriteNotices)
{
    // 16 MiB is more than the system buffers hold while the peer does not read: the queue
    // must wait for write notices.
    const size_t size = 16u << 20;
    std::atomic<bool> read{false};
    ScriptedPeer peer([&](int fd) {
        while (!read)
            SleepMs(2);
        std::string got = RecvExactly(fd, size);
        peer.Record(got == Pattern(size) ? "intact" : "damaged");
    });
    TWSocket s;
    int dataSent = 0;
    s.OnDataSent = [&](TObject*, std::uint16_t) { ++dataSent; };
    OpenAndWait(s, peer.Port());
    PumpFor(20);
    dataSent = 0;
    std::string data = Pattern(size);
    EXPECT_EQ(s.Send(data.data(), static_cast<int>(size)), static_cast<int>(size));
    EXPECT_GT(s.BufferedByteCount(), 0);
    EXPECT_FALSE(s.AllSent());
    PumpFor(50);
    EXPECT_EQ(dataSent, 0) << "not everything has gone yet";
    read = true;
    ASSERT_TRUE(WaitUntil([&] { return dataSent > 0; }, 30000));
    EXPECT_EQ(s.BufferedByteCount(), 0);
    EXPECT_EQ(s.SendQueueChunks(), 1);
    ASSERT_TRUE(WaitUntil([&] { return !peer.Recorded().empty(); }, 30000));
    EXPECT_EQ(peer.Recorded(), "intact");
}

TEST(WSocketSend, FlushPushesTheWholeQueue)
{
    const size_t size = 4u << 20;
    ScriptedPeer peer([&](int fd) { peer.Record(RecvExactly(fd, size) == Pattern(size) ? "intact" : "damaged"); });
    TWSocket s;
    OpenAndWait(s, peer.Port());
    std::string data = Pattern(size);
    s.QueueData(data.data(), static_cast<int>(size));
    s.Flush();
    EXPECT_TRUE(s.AllSent());
    EXPECT_EQ(s.BufferedByteCount(), 0);
    ASSERT_TRUE(WaitUntil([&] { return !peer.Recorded().empty(); }, 30000));
    EXPECT_EQ(peer.Recorded(), "intact");
}

TEST(WSocketSend, SendingToAResetConnectionClosesIt)
{
    ScriptedPeer peer([](int fd) {
        RecvExactly(fd, 2);
        linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l)); // the close below is a reset
    });
    TWSocket s;
    EventLog log(s);
    s.OnDataAvailable = [](TObject*, std::uint16_t) {};
    OpenAndWait(s, peer.Port());
    s.SendStr("go");
    PumpFor(50);
    std::string data(100000, 'x');
    for (int i = 0; i < 50 && s.State() == wsConnected; ++i) {
        s.Send(data.data(), static_cast<int>(data.size()));
        PumpFor(10);
    }
    ASSERT_TRUE(WaitUntil([&] { return s.State() == wsClosed; }));
    EXPECT_EQ(log.Count("closed 0") + log.Count("closed 10054") + log.Count("closed 10053"), 1) << log.Text();
}

TEST(WSocketReceive, ReceiveLoopDrainsAndCountsBytes)
{
    std::string data = Pattern(1u << 20);
    ScriptedPeer peer(ScriptedPeer::SendThenClose(data));
    TWSocket s;
    std::string got;
    int calls = 0;
    std::int64_t readCountAtEnd = 0;
    s.OnDataAvailable = [&](TObject*, std::uint16_t) {
        ++calls;
        char buf[65536];
        int n = s.Receive(buf, sizeof(buf));
        if (n > 0)
            got.append(buf, static_cast<size_t>(n));
        readCountAtEnd = s.ReadCount();
    };
    s.SetAddr("127.0.0.1");
    s.SetPort(peer.PortStr());
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return s.State() == wsClosed && calls > 0; }));
    EXPECT_TRUE(got == data);
    EXPECT_EQ(readCountAtEnd, static_cast<std::int64_t>(data.size()));
}

// One connection may carry more than 2 GiB (a long video): the counts of bytes received and
// queued go on past 2^31 without wrapping.
static_assert(std::is_same_v<decltype(std::declval<TWSocket>().BufferedByteCount()), std::int64_t>);

TEST(WSocketReceive, TheReadCountGoesPastTwoGiB)
{
    // Every receive step reports a full gigabyte; no byte is really moved.
    class GigabyteSocket : public TWSocket {
    protected:
        int DoRecv(void*, int BufferSize, int) override { return BufferSize; }
    };
    GigabyteSocket s;
    char byte = 0;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(s.Receive(&byte, 1 << 30), 1 << 30);
    EXPECT_EQ(s.ReadCount(), std::int64_t(3) << 30);
}

TEST(WSocketReceive, NoReceiveLoopStillDeliversEverything)
{
    std::string data = Pattern(200000);
    ScriptedPeer peer(ScriptedPeer::SendThenClose(data));
    TWSocket s;
    s.SetComponentOptions({wsoNoReceiveLoop});
    EventLog log(s, true);
    s.SetAddr("127.0.0.1");
    s.SetPort(peer.PortStr());
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return log.Has("closed 0"); }));
    EXPECT_TRUE(log.Received == data);
}

TEST(WSocketReceive, SlowDripArrivesByteByByte)
{
    ScriptedPeer peer(ScriptedPeer::Drip("drip-drop", 5));
    TWSocket s;
    EventLog log(s, true);
    s.SetAddr("127.0.0.1");
    s.SetPort(peer.PortStr());
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return log.Has("closed 0"); }));
    EXPECT_EQ(log.Received, "drip-drop");
}

TEST(WSocketReceive, WithoutHandlerDataIsDiscardedAndTheCloseStillComes)
{
    ScriptedPeer peer(ScriptedPeer::SendThenClose(std::string(100000, 'z')));
    TWSocket s;
    EventLog log(s);
    s.SetAddr("127.0.0.1");
    s.SetPort(peer.PortStr());
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return log.Has("closed 0"); }));
}

TEST(WSocketReceive, ReceiveStrTakesWhatIsWaiting)
{
    ScriptedPeer peer(ScriptedPeer::SendThenClose("some text"));
    TWSocket s;
    std::string got;
    s.OnDataAvailable = [&](TObject*, std::uint16_t) { got += s.ReceiveStr(); };
    s.SetAddr("127.0.0.1");
    s.SetPort(peer.PortStr());
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return s.State() == wsClosed && !got.empty(); }));
    EXPECT_EQ(got, "some text");
    EXPECT_EQ(s.ReceiveStr(), "") << "nothing to read from a closed socket";
}

TEST(WSocketReceive, EmptyReadReportsWouldBlock)
{
    ScriptedPeer peer(ScriptedPeer::Hold(1000));
    TWSocket s;
    OpenAndWait(s, peer.Port());
    char buf[16];
    EXPECT_EQ(s.Receive(buf, sizeof(buf)), -1);
    EXPECT_EQ(s.LastError(), 10035);
    EXPECT_EQ(s.RcvdCount(), 0);
}

TEST(WSocketHandlers, ExceptionInDataHandlerEndsTheLoopAndIsLogged)
{
    LogRecorder log;
    ScriptedPeer peer([](int fd) {
        SendAll(fd, "one");
        SleepMs(100);
        SendAll(fd, "two");
        RecvUntilClosed(fd);
    });
    TWSocket s;
    int bg = 0;
    s.OnBgException = [&](TObject*, const std::exception&, bool&) { ++bg; };
    std::string got;
    s.OnDataAvailable = [&](TObject*, std::uint16_t) {
        char buf[16];
        int n = s.Receive(buf, sizeof(buf));
        if (n > 0)
            got.append(buf, static_cast<size_t>(n));
        throw std::runtime_error("handler failed");
    };
    OpenAndWait(s, peer.Port());
    ASSERT_TRUE(WaitUntil([&] { return got == "onetwo"; })) << got;
    EXPECT_EQ(bg, 0);
    EXPECT_EQ(s.State(), wsConnected) << "the connection survives a failing data handler";
    // Each failed round leaves its reason behind, nothing else does.
    EXPECT_GE(log.Count("socket", {"handler failed"}), 1) << log.Text();
    EXPECT_EQ(log.Count("socket", {"handler failed"}), static_cast<int>(log.Lines().size())) << log.Text();
}

TEST(WSocketHandlers, ExceptionInConnectedHandlerAbortsUnlessCanCloseCleared)
{
    ScriptedPeer peer(ScriptedPeer::Hold(1000), 2);
    for (bool keep : {false, true}) {
        TWSocket s;
        std::string message;
        s.OnBgException = [&](TObject* sender, const std::exception& e, bool& canClose) {
            EXPECT_EQ(sender, &s);
            EXPECT_TRUE(canClose);
            message = e.what();
            canClose = !keep;
        };
        s.OnSessionConnected = [](TObject*, std::uint16_t) { throw ESocketException("connected failed"); };
        s.SetAddr("127.0.0.1");
        s.SetPort(peer.PortStr());
        s.Connect();
        ASSERT_TRUE(WaitUntil([&] { return !message.empty(); }));
        EXPECT_EQ(message, "connected failed");
        PumpFor(20);
        EXPECT_EQ(s.State(), keep ? wsConnected : wsClosed);
    }
}

TEST(WSocketHandlers, TestMessageExercisesTheBackgroundPath)
{
    TWSocket s;
    std::string message;
    s.OnBgException = [&](TObject*, const std::exception& e, bool&) { message = e.what(); };
    MessageWindow::PostMessage(s.Handle(), WM_SOCKET_TEST);
    ASSERT_TRUE(WaitUntil([&] { return !message.empty(); }));
    EXPECT_EQ(message, "Test exception in WSocket");
}

TEST(WSocketHandlers, ExceptionInBgHandlerIsLoggedNotThrown)
{
    LogRecorder log;
    TWSocket s;
    bool called = false;
    s.OnBgException = [&](TObject*, const std::exception&, bool&) {
        called = true;
        throw std::runtime_error("again");
    };
    MessageWindow::PostMessage(s.Handle(), WM_SOCKET_TEST);
    ASSERT_TRUE(WaitUntil([&] { return called; }));
    EXPECT_EQ(log.Count("socket", {"Test exception in WSocket", "again"}), 1) << log.Text();
}

TEST(WSocketPause, NothingIsDeliveredWhilePaused)
{
    ScriptedPeer peer([](int fd) {
        SleepMs(100);
        SendAll(fd, "after pause");
        RecvUntilClosed(fd);
    });
    TWSocket s;
    EventLog log(s, true);
    OpenAndWait(s, peer.Port());
    s.Pause();
    PumpFor(300);
    EXPECT_EQ(log.Received, "");
    EXPECT_GT(s.RcvdCount(), 0);
    s.Resume();
    ASSERT_TRUE(WaitUntil([&] { return log.Received == "after pause"; }));
}

// A handler that pauses the socket in the middle of a burst reads nothing more of it, even of
// what has already arrived, until it resumes; then the rest comes, whole and in order.
TEST(WSocketPause, APauseInsideTheReceiveLoopEndsTheLoop)
{
    const std::string data = Pattern(1u << 20);
    ScriptedPeer peer(ScriptedPeer::SendThenClose(data));
    TWSocket s;
    std::string got;
    int calls = 0;
    s.OnDataAvailable = [&](TObject*, std::uint16_t) {
        ++calls;
        char buf[1000];
        const int n = s.Receive(buf, sizeof(buf));
        if (n > 0)
            got.append(buf, static_cast<std::size_t>(n));
        if (calls == 1)
            s.Pause();
    };
    s.SetAddr("127.0.0.1");
    s.SetPort(peer.PortStr());
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return calls > 0; }));
    PumpFor(300);
    EXPECT_EQ(1, calls) << "the receive loop went on after the pause";
    s.Resume();
    ASSERT_TRUE(WaitUntil([&] { return got.size() == data.size(); }));
    EXPECT_TRUE(got == data);
}

TEST(WSocketListen, ListeningSocketAcceptsAndTheAcceptedSocketTalks)
{
    TWSocket server;
    TWSocket served;
    EventLog servedLog(served, true);
    server.SetLocalAddr("127.0.0.1");
    server.SetLocalPort("0");
    server.OnSessionAvailable = [&](TObject*, std::uint16_t e) {
        EXPECT_EQ(e, 0);
        served.Dup(server.Accept());
    };
    server.Listen();
    ASSERT_EQ(server.State(), wsListening);
    ASSERT_NE(server.LocalPort(), "0") << "the bound port is reported";

    TWSocket client;
    EventLog clientLog(client, true);
    client.SetAddr("127.0.0.1");
    client.SetPort(server.LocalPort());
    client.Connect();
    ASSERT_TRUE(WaitUntil([&] { return served.State() == wsConnected && client.State() == wsConnected; }));
    client.SendStr("ping");
    ASSERT_TRUE(WaitUntil([&] { return servedLog.Received == "ping"; }));
    served.SendStr("pong");
    ASSERT_TRUE(WaitUntil([&] { return clientLog.Received == "pong"; }));
    served.Close();
    ASSERT_TRUE(WaitUntil([&] { return client.State() == wsClosed; }));
    EXPECT_EQ(clientLog.Count("closed 0"), 1);
}
