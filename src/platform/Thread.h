#pragma once
// A worker thread with a cooperative terminate flag, an optional free-itself-when-done switch,
// and Synchronize: a blocking call that runs a function on the user-interface thread (the
// thread of the QCoreApplication) and returns when it has run.
//
// Derive, override Execute, and call Start() when the object is complete (a thread started
// from the base constructor could run Execute before the derived part exists). A derived class
// whose Execute uses its own members and that is destroyed by its owner (not free-on-terminate)
// calls EndThread() in its destructor, before those members go; the base destructor does the
// same, but only after the derived part is already gone.
//
// No deadlock with a waiting user-interface thread. Synchronize queues the call to the
// user-interface thread and waits for it, but it also gives up, without running the function,
// as soon as the thread is asked to terminate while the call has not started yet. So the
// user-interface thread may always do "Terminate(); WaitFor(...)" - also while the worker sits
// in Synchronize - and the worker comes back at once. In addition, WaitFor called on the
// user-interface thread runs a call the worker is waiting on itself, as the event loop would
// have (unless the thread was asked to terminate: then the call is given up, never run).
// The one thing that cannot work is waiting for a thread from inside that thread's own
// synchronized call; WaitFor notices this and returns false at once instead of hanging.
//
// Lifetime. With FreeOnTerminate the object deletes itself on its own thread when Execute has
// returned; from then on only a Control handle may be used. Control() hands out such a handle:
// Terminate, Terminated and WaitFor work on it whether the object still exists or not.

#include <functional>
#include <memory>

namespace cw {

class Thread {
public:
    class Control; // shared between the thread object, its owner and its running thread

    Thread();
    virtual ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Runs Execute on a new thread. Once only.
    void Start();

    // Ask the thread to end: sets the flag, wakes TerminateHandle and cancels a Synchronize
    // call that has not started. Never waits. Safe from any thread.
    void Terminate();
    bool Terminated() const;

    void SetFreeOnTerminate(bool value);
    bool FreeOnTerminate() const;

    // Wait until Execute has returned; false on timeout (or when called from inside this
    // thread's own synchronized call). A negative timeout waits without limit.
    bool WaitFor(int timeoutMs = -1);
    bool Finished() const;

    std::shared_ptr<Control> GetControl() const { return FControl; }

    // The user-interface thread is the one that created the QCoreApplication.
    static bool IsUiThread();

protected:
    virtual void Execute() = 0;

    // Run fn on the user-interface thread and return when it has run. Returns false (fn not
    // run) when the thread was asked to terminate before the call started. An exception thrown
    // by fn is caught on the user-interface thread and thrown again here, in the worker. On the
    // user-interface thread itself fn simply runs.
    bool Synchronize(const std::function<void()>& fn);

    // Terminate and wait until Execute has returned; does nothing when the thread never started
    // or when called on the thread itself (a free-on-terminate object deleting itself).
    void EndThread();

    // A descriptor that becomes readable when Terminate is called, for waits that should end at
    // once on termination (poll it beside whatever Execute waits for).
    int TerminateHandle() const;

private:
    static void Run(Thread* self, std::shared_ptr<Control> control);

    std::shared_ptr<Control> FControl;
};

// What outlives a free-on-terminate thread object.
class Thread::Control {
public:
    Control();
    ~Control();
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    void Terminate();
    bool Terminated() const;
    bool WaitFor(int timeoutMs);
    bool Finished() const;
    int TerminateHandle() const { return FWakeFd; }

private:
    friend class Thread;
    struct Impl;
    std::unique_ptr<Impl> FImpl;
    int FWakeFd = -1;
};

} // namespace cw
