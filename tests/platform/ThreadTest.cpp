// Worker threads: blocking calls onto the user-interface thread, termination, freeing itself,
// and the waits that must never deadlock.

#include "platform/Thread.h"
#include "platform/Application.h"

#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdexcept>
#include <thread>

using namespace cw;

namespace {

bool PumpUntil(const std::function<bool()>& pred, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        Application::WaitMessage(10);
    }
    return true;
}

// Runs a body given as a function; Synchronize is made reachable for the tests.
class FnThread : public Thread {
public:
    explicit FnThread(std::function<void(FnThread&)> body) : FBody(std::move(body)) {}
    ~FnThread() override
    {
        EndThread(); // FBody must outlive the running body
        if (Destroyed)
            *Destroyed = true;
    }
    using Thread::Synchronize;
    using Thread::TerminateHandle;
    std::atomic<bool>* Destroyed = nullptr;

protected:
    void Execute() override { FBody(*this); }

private:
    std::function<void(FnThread&)> FBody;
};

class ThreadTest : public ::testing::Test {
protected:
    // Synchronize needs the application object's thread (CoreAppEnvironment.cpp).
    void SetUp() override { ASSERT_NE(QCoreApplication::instance(), nullptr); }
};

TEST_F(ThreadTest, SynchronizeRunsOnTheUiThreadAndBlocksUntilDone)
{
    std::atomic<int> result{0};
    std::atomic<bool> onUi{false};
    QThread* ui = QCoreApplication::instance()->thread();
    FnThread t([&](FnThread& self) {
        int local = 0;
        self.Synchronize([&] {
            onUi = QThread::currentThread() == ui;
            local = 42;
        });
        result = local; // written by the call before Synchronize returned
    });
    t.Start();
    ASSERT_TRUE(PumpUntil([&] { return t.Finished(); }, 5000));
    EXPECT_TRUE(onUi);
    EXPECT_EQ(result, 42);
}

TEST_F(ThreadTest, ExceptionOfTheCallIsThrownInTheWorker)
{
    std::atomic<bool> caught{false};
    FnThread t([&](FnThread& self) {
        try {
            self.Synchronize([] { throw std::runtime_error("read failed"); });
        } catch (const std::runtime_error& e) {
            caught = std::string(e.what()) == "read failed";
        }
    });
    t.Start();
    ASSERT_TRUE(PumpUntil([&] { return t.Finished(); }, 5000));
    EXPECT_TRUE(caught);
}

TEST_F(ThreadTest, TerminateWhileTheUiThreadWaitsDoesNotDeadlock)
{
    // The worker asks for a call while the user-interface thread is busy and then waits for the
    // worker: the call is given up, never run, and the wait ends.
    std::atomic<bool> inSync{false}, ran{false}, returned{true};
    FnThread t([&](FnThread& self) {
        inSync = true;
        returned = self.Synchronize([&] { ran = true; });
    });
    t.Start();
    while (!inSync)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    t.Terminate();
    // The queued call may reach the event loop before the worker has noticed: it must not run.
    Application::ProcessMessages();
    EXPECT_TRUE(t.WaitFor(5000));
    EXPECT_FALSE(returned);
    Application::ProcessMessages();
    EXPECT_FALSE(ran);
}

TEST_F(ThreadTest, WaitForOnTheUiThreadServesThePendingCall)
{
    std::atomic<bool> inSync{false}, ran{false};
    FnThread t([&](FnThread& self) {
        inSync = true;
        self.Synchronize([&] { ran = true; });
    });
    t.Start();
    while (!inSync)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(t.WaitFor(5000)); // no event loop runs, yet no deadlock
    EXPECT_TRUE(ran);
}

TEST_F(ThreadTest, WaitingFromInsideItsOwnCallReturnsAtOnce)
{
    std::atomic<int> waitResult{-1};
    FnThread* t = nullptr;
    FnThread thread([&](FnThread& self) { self.Synchronize([&] { waitResult = t->WaitFor(5000) ? 1 : 0; }); });
    t = &thread;
    thread.Start();
    ASSERT_TRUE(PumpUntil([&] { return thread.Finished(); }, 5000));
    EXPECT_EQ(waitResult, 0);
}

TEST_F(ThreadTest, FreeOnTerminateDeletesItselfAndControlOutlivesIt)
{
    std::atomic<bool> destroyed{false};
    auto* t = new FnThread([](FnThread& self) {
        // Sleep until asked to end, on the terminate handle rather than in a polling loop.
        pollfd fd{self.TerminateHandle(), POLLIN, 0};
        ::poll(&fd, 1, 10000);
    });
    t->Destroyed = &destroyed;
    t->SetFreeOnTerminate(true);
    auto control = t->GetControl();
    t->Start();
    const auto asked = std::chrono::steady_clock::now();
    control->Terminate();
    EXPECT_TRUE(control->WaitFor(5000));
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5));
    EXPECT_TRUE(destroyed);
    EXPECT_TRUE(control->Terminated());
    EXPECT_TRUE(control->Finished());
}

TEST_F(ThreadTest, DestroyingAThreadObjectEndsItsBodyFirst)
{
    std::atomic<bool> bodyDone{false};
    {
        FnThread t([&](FnThread& self) {
            while (!self.Terminated())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            bodyDone = true;
        });
        t.Start();
    }
    EXPECT_TRUE(bodyDone);
}

} // namespace
