#pragma once
// A request from outside to end (SIGTERM, SIGINT from Ctrl+C, SIGHUP when the session ends),
// turned into a call from the event loop: the handler only writes a byte into a pipe the loop
// watches, so the program's own code never runs inside a signal handler.

#include <functional>
#include <memory>

class QSocketNotifier;

namespace cw {

// Installs the handlers for the life of the process and calls onStop from the loop for each
// request. nullptr (and no handlers) when the pipe cannot be made. One watcher per process.
std::unique_ptr<QSocketNotifier> WatchStopSignals(std::function<void()> onStop);

} // namespace cw
