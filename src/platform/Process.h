#pragma once
// Child processes with redirected standard handles, and the anonymous pipes they talk through.
//
// Handles are file descriptors (-1 is "none"). Every descriptor made here is close-on-exec, so
// a child only ever receives the three standard handles it was given, never some other pipe of
// the program. Functions return 0 on success or the errno value of the failing call: the number
// the caller shows after its error text (2 for a program that cannot be found, as elsewhere).
//
// TProcess starts a program from an argument vector (no shell, no re-parsing of the arguments).
// A bare program name is looked for in the executable's own folder first, then in the folders of
// PATH. The child is never left behind: destroying a TProcess whose child is still running
// kills it and reaps it, and on Linux the child is also killed if this program dies abruptly.
//
// On Linux the "die with the program" guard is tied to the thread that starts the child, so
// start children from a thread that lives as long as they may run (the user-interface thread).
//
// Waiting is possible from another thread without touching the TProcess object: take a wait
// handle with DuplicateWaitHandle() and give it to WaitForChild(). The handle stays valid (and
// reports "ended") after the TProcess has closed or killed the child.

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace cw {

using THandle = int;
constexpr THandle InvalidHandle = -1;

// Creates an anonymous pipe, both ends close-on-exec.
int CreatePipe(THandle& readEnd, THandle& writeEnd);
// Moves h to a descriptor number above the three standard ones (close-on-exec), closing the
// original. A child's ends must not sit on 0..2 in the parent, or wiring them onto the child's
// standard handles could overwrite one with another.
int MoveAboveStdHandles(THandle& h);
// Makes reads on h return at once when no data is there.
int SetNonBlocking(THandle h);
// The number of bytes that can be read from h now without waiting.
int BytesAvailable(THandle h, std::int32_t& count);
// Reads up to count bytes; bytesRead 0 with result 0 means nothing was there (or end of data).
int ReadHandle(THandle h, void* buffer, int count, int& bytesRead);
// Closes h when set and sets it to InvalidHandle.
void CloseHandle(THandle& h);
// Duplicates h (close-on-exec); InvalidHandle on failure.
THandle DuplicateHandle(THandle h);

// Results of WaitForChild.
constexpr int WAIT_OBJECT_0 = 0;    // the child has ended
constexpr int WAIT_CANCELLED = 1;   // the cancel handle became readable
constexpr int WAIT_TIMEOUT = 0x102; // time ran out
constexpr int WAIT_FAILED = -1;

// Waits up to timeoutMs for the child behind waitHandle to end. With a cancel handle (for
// example a thread's terminate handle), the wait also returns as soon as that one is readable.
// Waiting does not reap the child: its exit code stays for TProcess::Close.
int WaitForChild(THandle waitHandle, int timeoutMs, THandle cancelHandle = InvalidHandle);

// The full path a program name resolves to, or "" when it cannot be found. A name containing a
// "/" is taken as it stands; a bare name is looked for in the executable's folder, then PATH.
std::string FindProgram(const std::string& name);

// Exit code reported for a child that was ended by a signal: 128 + the signal number, as shells
// report it. A normal exit reports its own code (0..255).
class TProcess {
public:
    TProcess() = default;
    ~TProcess(); // kills and reaps a child that is still there
    TProcess(const TProcess&) = delete;
    TProcess& operator=(const TProcess&) = delete;

    // Starts args[0] with the given arguments and standard handles (the child's ends; they are
    // not closed here). The child gets this program's environment and current folder. Returns 0
    // or an errno value (2 when the program cannot be found, or a failure to execute it).
    int Start(const std::vector<std::string>& args, THandle stdIn, THandle stdOut, THandle stdErr);

    // True from a successful Start until Close or Kill.
    bool Running() const { return FPid > 0; }
    pid_t Pid() const { return FPid; }

    // A duplicate of the child's wait handle for WaitForChild, owned by the caller;
    // InvalidHandle when there is no child.
    THandle DuplicateWaitHandle() const;
    // Waits on the child from the owning thread (see WaitForChild).
    int Wait(int timeoutMs) const;

    // Kills the child at once and reaps it. Nothing happens when there is no child.
    void Kill();
    // Reaps the child (waiting for it to end) and returns its exit code; -1 when there was no
    // child. Afterwards the object is empty and may be started again.
    int Close();

private:
    pid_t FPid = -1;
    THandle FWaitHandle = InvalidHandle; // a process descriptor where the kernel has one
};

} // namespace cw
