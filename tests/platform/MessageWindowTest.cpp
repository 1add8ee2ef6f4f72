#include "platform/MessageWindow.h"
#include "platform/Application.h"
#include "platform/MessageBox.h"
#include "platform/TickCount.h"
#include "support/MessageBoxRecorder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

using namespace cw;

namespace {

constexpr unsigned WM_TEST = WM_USER + 1;

// Handle messages until pred holds; the deadline only keeps a broken build from hanging.
template <typename Pred> bool PumpUntil(Pred pred)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        Application::WaitMessage(50);
    }
    return true;
}

TEST(MessageWindow, PostedMessagesArriveInOrderAfterThePosterReturns)
{
    std::vector<std::string> log;
    MessageWindow w;
    w.SetHandler([&](TMessage& m) {
        log.push_back(std::to_string(m.WParam));
        if (m.WParam == 1) {
            w.PostMessage(WM_TEST, 100);
            log.push_back("1-end");
        }
    });
    for (WPARAM i = 1; i <= 5; ++i) {
        if (i % 2)
            w.PostMessage(WM_TEST, i);
        else
            MessageWindow::PostMessage(w.Handle(), WM_TEST, i);
    }
    EXPECT_TRUE(log.empty()); // nothing runs inside PostMessage
    Application::ProcessMessages();
    EXPECT_EQ(log, (std::vector<std::string>{"1", "1-end", "2", "3", "4", "5", "100"}));
}

TEST(MessageWindow, SendDeliversAtOnceAndReturnsTheResult)
{
    MessageWindow w([](TMessage& m) { m.Result = static_cast<LRESULT>(m.WParam + m.LParam); });
    EXPECT_EQ(w.SendMessage(WM_TEST, 2, 40), 42);
    EXPECT_EQ(MessageWindow::SendMessage(w.Handle(), WM_TEST, 1, -2), -1);
    EXPECT_EQ(MessageWindow::SendMessage(HWND(0), WM_TEST, 1, 1), 0);
}

class Counting : public MessageWindow {
public:
    std::vector<unsigned> Seen;

protected:
    void WndProc(TMessage& msg) override { Seen.push_back(msg.Msg); }
};

TEST(MessageWindow, WithoutAHandlerTheVirtualWndProcGetsTheMessages)
{
    Counting w;
    w.PostMessage(WM_TEST + 1);
    w.SendMessage(WM_TEST + 2);
    Application::ProcessMessages();
    EXPECT_EQ(w.Seen, (std::vector<unsigned>{WM_TEST + 2, WM_TEST + 1}));
}

TEST(MessageWindow, MessagesToADestroyedWindowAreDropped)
{
    int delivered = 0;
    auto w = std::make_unique<MessageWindow>([&](TMessage&) { ++delivered; });
    const HWND handle = w->Handle();
    EXPECT_TRUE(MessageWindow::IsWindow(handle));
    w->PostMessage(WM_TEST);
    MessageWindow::PostMessage(handle, WM_TEST);
    w.reset();
    Application::ProcessMessages();
    EXPECT_EQ(delivered, 0);
    EXPECT_FALSE(MessageWindow::IsWindow(handle));
    EXPECT_FALSE(MessageWindow::PostMessage(handle, WM_TEST));
    EXPECT_EQ(MessageWindow::SendMessage(handle, WM_TEST), 0);

    // The handle is not handed to a newer window, so a late post cannot reach the wrong one.
    MessageWindow newer([&](TMessage&) { ++delivered; });
    EXPECT_NE(newer.Handle(), handle);
    MessageWindow::PostMessage(handle, WM_TEST);
    Application::ProcessMessages();
    EXPECT_EQ(delivered, 0);
}

TEST(MessageWindow, RemovePostedMessagesDropsWhatIsQueued)
{
    int delivered = 0;
    MessageWindow w([&](TMessage&) { ++delivered; });
    w.PostMessage(WM_TEST);
    w.PostMessage(WM_TEST);
    w.RemovePostedMessages();
    w.PostMessage(WM_TEST);
    Application::ProcessMessages();
    EXPECT_EQ(delivered, 1);
}

TEST(MessageWindow, PostFromAnotherThreadArrivesOnTheOwnersThreadInOrder)
{
    const auto owner = std::this_thread::get_id();
    std::vector<WPARAM> got;
    bool wrongThread = false;
    MessageWindow w([&](TMessage& m) {
        wrongThread |= std::this_thread::get_id() != owner;
        got.push_back(m.WParam);
    });
    const HWND handle = w.Handle();
    constexpr WPARAM kCount = 2000;
    std::thread poster([handle] {
        for (WPARAM i = 0; i < kCount; ++i)
            MessageWindow::PostMessage(handle, WM_TEST, i);
    });
    EXPECT_TRUE(PumpUntil([&] { return got.size() == kCount; }));
    poster.join();
    Application::ProcessMessages();
    EXPECT_FALSE(wrongThread);
    ASSERT_EQ(got.size(), kCount);
    for (WPARAM i = 0; i < kCount; ++i)
        ASSERT_EQ(got[i], i);
}

TEST(MessageWindow, PostsRacingWithDestructionNeverReachAFreedWindow)
{
    // Windows come and go on this thread while another thread posts to their handles; under the
    // sanitizer build a delivery to a freed window would be caught.
    std::atomic<HWND> target{0};
    std::atomic<bool> stop{false};
    std::thread poster([&] {
        while (!stop)
            MessageWindow::PostMessage(target.load(), WM_TEST);
    });
    int delivered = 0;
    for (int i = 0; i < 300; ++i) {
        auto w = std::make_unique<MessageWindow>([&](TMessage&) { ++delivered; });
        target = w->Handle();
        Application::ProcessMessages();
        w.reset();
        Application::ProcessMessages();
    }
    stop = true;
    poster.join();
    Application::ProcessMessages();
    SUCCEED() << delivered << " messages delivered";
}

TEST(MessageWindow, AnExceptionInWndProcGoesToTheErrorBoxAndTheLoopGoesOn)
{
    cwtest::MessageBoxRecorder boxes;
    Application::SetTitle("Ostrelle Clipwarden");
    int after = 0;
    MessageWindow w([&](TMessage& m) {
        if (m.WParam == 1)
            throw Exception("Cannot open file \"x\"");
        if (m.WParam == 2)
            throw 42;
        ++after;
    });
    w.PostMessage(WM_TEST, 1);
    w.PostMessage(WM_TEST, 2);
    w.PostMessage(WM_TEST, 3);
    Application::ProcessMessages();
    ASSERT_EQ(boxes.Count(), 2u);
    EXPECT_EQ(boxes.Boxes()[0].Text, "Cannot open file \"x\"");
    EXPECT_EQ(boxes.Boxes()[0].Caption, "Ostrelle Clipwarden");
    EXPECT_EQ(boxes.Boxes()[0].Flags, MB_OK | MB_ICONERROR);
    EXPECT_EQ(boxes.Boxes()[1].Text, "Unknown exception");
    EXPECT_EQ(after, 1);
}

// ---- Application

TEST(Application, WaitMessageReturnsAfterItsTimeoutWhenIdle)
{
    Application::ProcessMessages();
    auto start = std::chrono::steady_clock::now();
    Application::WaitMessage(150);
    auto waited = std::chrono::steady_clock::now() - start;
    // Coarse timers may fire a little early; what matters is that it waited and came back.
    EXPECT_GE(waited, std::chrono::milliseconds(100));
}

TEST(Application, WaitMessageWakesForAMessagePostedFromAnotherThread)
{
    bool handled = false;
    MessageWindow w([&](TMessage&) { handled = true; });
    const HWND handle = w.Handle();
    std::thread poster([handle] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        MessageWindow::PostMessage(handle, WM_TEST);
    });
    auto start = std::chrono::steady_clock::now();
    while (!handled && std::chrono::steady_clock::now() - start < std::chrono::seconds(20))
        Application::WaitMessage(60000);
    poster.join();
    EXPECT_TRUE(handled);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST(Application, WaitMessageHandlesWhatIsAlreadyPending)
{
    int n = 0;
    MessageWindow w([&](TMessage&) { ++n; });
    w.PostMessage(WM_TEST);
    w.PostMessage(WM_TEST);
    Application::WaitMessage(60000);
    EXPECT_EQ(n, 2);
}

TEST(Application, GuardRoutesEveryExceptionToTheStandardHandler)
{
    cwtest::MessageBoxRecorder boxes;
    Application::SetTitle("T");
    Application::Guard([] { throw std::runtime_error("bad thing"); });
    Application::Guard([] {});
    ASSERT_EQ(boxes.Count(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].Text, "bad thing");
    EXPECT_EQ(boxes.Boxes()[0].Caption, "T");
}

TEST(Application, AThrowingMessageBoxHandlerDoesNotEscapeTheStandardHandler)
{
    MessageBoxHandler previous = SetMessageBoxHandler(
        [](const std::string&, const std::string&, unsigned) -> int { throw std::runtime_error("no display"); });
    EXPECT_NO_THROW(Application::HandleException("message"));
    SetMessageBoxHandler(std::move(previous));
}

// ---- MessageBox

TEST(MessageBoxHook, RecorderAnswersInOrderThenWithTheDefault)
{
    cwtest::MessageBoxRecorder boxes;
    boxes.QueueAnswer(IDNO);
    EXPECT_EQ(MessageBox("Q1", "C", MB_YESNO | MB_ICONQUESTION), IDNO);
    EXPECT_EQ(MessageBox("Q2", "C", MB_YESNO | MB_ICONQUESTION), IDYES);
    EXPECT_EQ(MessageBox("Q3", "C", MB_YESNO | MB_DEFBUTTON2), IDNO);
    EXPECT_EQ(MessageBox("N", "C", MB_OK | MB_ICONINFORMATION), IDOK);
    ASSERT_EQ(boxes.Count(), 4u);
    EXPECT_EQ(boxes.Boxes()[0].Text, "Q1");
    EXPECT_EQ(boxes.Boxes()[3].Flags, MB_OK | MB_ICONINFORMATION);
}

TEST(MessageBoxHook, WithoutAHandlerTheDefaultButtonAnswers)
{
    MessageBoxHandler previous = SetMessageBoxHandler({});
    EXPECT_EQ(MessageBox("console", "C", MB_OK), IDOK);
    EXPECT_EQ(MessageBox("console", "C", MB_YESNO), IDYES);
    EXPECT_EQ(MessageBox("console", "C", MB_YESNO | MB_DEFBUTTON2), IDNO);
    SetMessageBoxHandler(std::move(previous));
}

TEST(MessageBoxHook, RecordersNestAndRestoreTheirPredecessor)
{
    cwtest::MessageBoxRecorder outer;
    {
        cwtest::MessageBoxRecorder inner;
        MessageBox("to inner", "C", MB_OK);
        EXPECT_EQ(inner.Count(), 1u);
    }
    MessageBox("to outer", "C", MB_OK);
    ASSERT_EQ(outer.Count(), 1u);
    EXPECT_EQ(outer.Boxes()[0].Text, "to outer");
}

TEST(MessageBoxHook, AHandlerMayReplaceItselfWhileItRuns)
{
    int calls = 0;
    MessageBoxHandler previous;
    previous = SetMessageBoxHandler([&](const std::string&, const std::string&, unsigned) {
        ++calls;
        SetMessageBoxHandler([](const std::string&, const std::string&, unsigned) { return IDNO; });
        return IDYES;
    });
    EXPECT_EQ(MessageBox("a", "C", MB_YESNO), IDYES);
    EXPECT_EQ(MessageBox("b", "C", MB_YESNO), IDNO);
    EXPECT_EQ(calls, 1);
    SetMessageBoxHandler(std::move(previous));
}

// ---- GetTickCount

TEST(TickCount, CountsMillisecondsForward)
{
    std::uint32_t a = GetTickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    std::uint32_t b = GetTickCount();
    std::uint32_t elapsed = b - a; // the program's own wrap-safe difference
    EXPECT_GE(elapsed, 60u);
    EXPECT_LT(elapsed, 60000u); // milliseconds, not a finer unit
}

} // namespace
