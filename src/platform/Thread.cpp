#include "platform/Thread.h"

#include "platform/Log.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace cw {

namespace {

// One synchronized call. It is run at most once: either by the event loop, or by WaitFor on
// the user-interface thread; a call cancelled before it started is never run.
struct Call {
    enum State { Pending, Running, Done, Cancelled };
    std::function<void()> Fn;
    State St = Pending;
    std::exception_ptr Error;
};

} // namespace

struct Thread::Control::Impl {
    std::mutex Lock;
    std::condition_variable Changed;
    bool Terminated = false;
    bool Finished = false;
    std::shared_ptr<Call> PendingCall; // the call the worker is waiting on, if any
    std::atomic<bool> FreeOnTerminate{false};
    bool Started = false;
    std::thread::id Id;

    // Runs the call on the user-interface thread unless it was cancelled or already claimed.
    void RunCall(const std::shared_ptr<Call>& call)
    {
        {
            std::lock_guard<std::mutex> g(Lock);
            if (call->St != Call::Pending)
                return;
            if (Terminated) {
                // Asked to end before the call started: the worker may not have noticed yet,
                // but the call must not run (its target may be gone by now).
                call->St = Call::Cancelled;
            } else {
                call->St = Call::Running;
            }
        }
        if (call->St == Call::Cancelled) {
            Changed.notify_all();
            return;
        }
        try {
            call->Fn();
        } catch (...) {
            call->Error = std::current_exception();
        }
        {
            std::lock_guard<std::mutex> g(Lock);
            call->St = Call::Done;
        }
        Changed.notify_all();
    }
};

Thread::Control::Control() : FImpl(std::make_unique<Impl>())
{
    FWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

Thread::Control::~Control()
{
    if (FWakeFd >= 0)
        ::close(FWakeFd);
}

void Thread::Control::Terminate()
{
    {
        std::lock_guard<std::mutex> g(FImpl->Lock);
        if (FImpl->Terminated)
            return;
        FImpl->Terminated = true;
    }
    if (FWakeFd >= 0) {
        std::uint64_t one = 1;
        ssize_t n = ::write(FWakeFd, &one, sizeof one);
        (void)n;
    }
    FImpl->Changed.notify_all();
}

bool Thread::Control::Terminated() const
{
    std::lock_guard<std::mutex> g(FImpl->Lock);
    return FImpl->Terminated;
}

bool Thread::Control::Finished() const
{
    std::lock_guard<std::mutex> g(FImpl->Lock);
    return FImpl->Finished;
}

bool Thread::Control::WaitFor(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    const bool onUi = Thread::IsUiThread();
    std::unique_lock<std::mutex> lock(FImpl->Lock);
    while (!FImpl->Finished) {
        std::shared_ptr<Call> call = FImpl->PendingCall;
        if (onUi && call) {
            if (call->St == Call::Running)
                return false; // we are inside that very call: waiting here could never end
            if (call->St == Call::Pending && !FImpl->Terminated) {
                // The worker waits for the event loop, and the event loop waits for us: serve it.
                // (After Terminate the worker gives the call up itself; it must not run then.)
                lock.unlock();
                FImpl->RunCall(call);
                lock.lock();
                continue;
            }
        }
        if (timeoutMs < 0) {
            FImpl->Changed.wait(lock);
        } else if (FImpl->Changed.wait_until(lock, deadline) == std::cv_status::timeout) {
            return FImpl->Finished;
        }
    }
    return true;
}

// --- Thread ---

Thread::Thread() : FControl(std::make_shared<Control>()) {}

Thread::~Thread()
{
    // A thread object that does not free itself must not vanish under its running body.
    EndThread();
}

void Thread::EndThread()
{
    Control::Impl& c = *FControl->FImpl;
    {
        std::lock_guard<std::mutex> g(c.Lock);
        // When the body itself deletes the object (free-on-terminate), there is nothing to wait for.
        if (!c.Started || c.Finished || std::this_thread::get_id() == c.Id)
            return;
    }
    FControl->Terminate();
    FControl->WaitFor(-1);
}

void Thread::Start()
{
    Control::Impl& c = *FControl->FImpl;
    std::lock_guard<std::mutex> g(c.Lock);
    if (c.Started)
        return;
    c.Started = true;
    std::thread t(&Thread::Run, this, FControl);
    c.Id = t.get_id();
    // Detached: a free-on-terminate thread deletes its own object, so nobody could join it.
    // Completion is observed through Control::WaitFor instead.
    t.detach();
}

void Thread::Run(Thread* self, std::shared_ptr<Control> control)
{
    {
        // Start() records the id under the lock; wait for it so the destructor check is sound.
        std::lock_guard<std::mutex> g(control->FImpl->Lock);
    }
    try {
        self->Execute();
    } catch (...) {
        // A failing body ends the thread, as a failed read ends the reader.
        LogCaught("thread", "thread body failed, the thread ends");
    }
    if (control->FImpl->FreeOnTerminate)
        delete self;
    {
        std::lock_guard<std::mutex> g(control->FImpl->Lock);
        control->FImpl->Finished = true;
    }
    control->FImpl->Changed.notify_all();
}

void Thread::Terminate()
{
    FControl->Terminate();
}

bool Thread::Terminated() const
{
    return FControl->Terminated();
}

void Thread::SetFreeOnTerminate(bool value)
{
    FControl->FImpl->FreeOnTerminate = value;
}

bool Thread::FreeOnTerminate() const
{
    return FControl->FImpl->FreeOnTerminate;
}

bool Thread::WaitFor(int timeoutMs)
{
    return FControl->WaitFor(timeoutMs);
}

bool Thread::Finished() const
{
    return FControl->Finished();
}

int Thread::TerminateHandle() const
{
    return FControl->TerminateHandle();
}

bool Thread::IsUiThread()
{
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

bool Thread::Synchronize(const std::function<void()>& fn)
{
    if (IsUiThread()) {
        fn();
        return true;
    }
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return false; // no user-interface thread to run it on
    std::shared_ptr<Control> control = FControl;
    Control::Impl& c = *control->FImpl;
    auto call = std::make_shared<Call>();
    call->Fn = fn;
    {
        std::lock_guard<std::mutex> g(c.Lock);
        if (c.Terminated)
            return false;
        c.PendingCall = call;
    }
    // Wake a WaitFor on the user-interface thread so it can serve the call.
    c.Changed.notify_all();
    QMetaObject::invokeMethod(
        app, [control, call] { control->FImpl->RunCall(call); }, Qt::QueuedConnection);

    std::unique_lock<std::mutex> lock(c.Lock);
    c.Changed.wait(lock, [&] {
        return call->St == Call::Done || call->St == Call::Cancelled || (c.Terminated && call->St == Call::Pending);
    });
    c.PendingCall.reset();
    if (call->St != Call::Done) {
        call->St = Call::Cancelled; // the queued event will find it cancelled and skip it
        return false;
    }
    if (call->Error)
        std::rethrow_exception(call->Error);
    return true;
}

} // namespace cw
