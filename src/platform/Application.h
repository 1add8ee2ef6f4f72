#pragma once
// The application object: the message loop helpers the program's nested loops are built from,
// the product title, the standard handler for exceptions that escape a handler, and the
// executable's folder. A thin layer over QCoreApplication (or QApplication when the GUI runs);
// everything here is for the user-interface thread.

#include "platform/Types.h"

#include <functional>
#include <string>

namespace cw {

class Application {
public:
    // Handle every message that is pending now; return without waiting.
    static void ProcessMessages();
    // Wait until at least one message arrives, then handle what is pending.
    static void HandleMessage();
    // Like HandleMessage, but give up waiting after timeoutMs. Returns after handling what
    // arrived, or after the timeout when nothing did. This is the program's message wait with
    // a time limit (the HTTP client's synchronous wait and the page poll use it).
    static void WaitMessage(int timeoutMs);

    // True once the program has been asked to end; nested loops leave when they see it.
    static bool Terminated();
    static void Terminate();
    static void ResetTerminated(); // tests only: a fresh start for the next case

    static const std::string& Title();
    static void SetTitle(const std::string& title);

    // The executable's folder with a trailing separator.
    static std::string ExeDir();

    // The standard handler: an exception escaping a handler shows its message in an error
    // box captioned with the title. Never throws.
    static void HandleException(const std::string& message);

    // Run fn and route any exception to HandleException. Every entry from Qt into the
    // program's code (events, slots, timers) goes through this, so nothing crosses the loop.
    static void Guard(const std::function<void()>& fn);
};

} // namespace cw
