#pragma once
// One running copy per user. The name of the main window's class is turned into a per-user
// local socket; the first start owns it, every later start connects, asks the first to post
// WM_SHOW_INSTANCE to its main window, and ends.
//
// Ownership is decided by an exclusive lock on a file beside the socket, held for the life of
// the process: the system drops the lock when a process ends, however it ends, so a socket file
// left behind by a crashed copy never blocks a new start (the new owner removes it and binds
// afresh), and two copies starting at the same moment cannot both become the owner.
//
// Where: the folder asked for ($XDG_RUNTIME_DIR unless the caller names one) when it belongs to
// the user and is closed to others; otherwise a private folder made for it, named after it, in
// $XDG_RUNTIME_DIR or /tmp, so every start asking for the same folder still meets the others.
//
// A later copy's connection that says nothing is dropped after a second, and when the running
// copy is already serving its most connections, the one waiting longest gives way: connections
// held open and idle cannot keep a later copy from handing over.
//
// Acquire and ActivateRunning work before the application object exists (plain blocking
// sockets with a time limit); Serve needs the event loop (a socket notifier on the UI thread).

#include "platform/Types.h"

#include <memory>
#include <string>

namespace cw {

// Posted to the running copy's main window when another copy starts; both parameters 0.
constexpr unsigned WM_SHOW_INSTANCE = 0x1604;

class SingleInstance {
public:
    // runtimeDir overrides the folder chosen from the environment.
    explicit SingleInstance(const std::string& className, const std::string& runtimeDir = {});
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // True when this process is now the one running copy. False when another copy holds the
    // name. Throws Exception when neither can be told (the folder cannot be used at all).
    bool Acquire();

    // In a later copy: ask the running one to show itself. True when it confirmed within
    // timeoutMs. Whatever the answer, the later copy is expected to end.
    bool ActivateRunning(int timeoutMs = 3000);

    // In the running copy: answer later copies by posting WM_SHOW_INSTANCE to window.
    void Serve(HWND window);
    // Stop answering (before the event loop goes away); the name stays owned until destruction.
    void StopServing();

    const std::string& SocketPath() const { return FSocketPath; }

private:
    class Server;

    std::string FSocketPath;
    std::string FLockPath;
    int FLockFd = -1;
    int FListenFd = -1;
    std::unique_ptr<Server> FServer;
};

} // namespace cw
