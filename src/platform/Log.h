#pragma once
// A failure the program gets over on its own (a handler that threw inside a loop that must go
// on, a clean-up step during closing) leaves one line here instead of vanishing. By default the
// line goes to standard error: time, component, message. There is no log window and no log
// file; tests install a recorder to see the lines.

#include <functional>
#include <string>

namespace cw {

using LogHandler = std::function<void(const std::string& component, const std::string& message)>;

// Write one line. Never throws: a failing sink must not turn a handled failure into a new one.
void LogLine(const std::string& component, const std::string& message) noexcept;

// Inside a catch block only: one line "<what failed>: <the exception's message>", or
// "<what failed>: unknown exception" for an exception that carries none.
void LogCaught(const std::string& component, const std::string& what) noexcept;

// The message of the exception being handled; call only inside a catch block.
std::string CaughtText();

// Debug lines (how a run's items move from state to state): written only while debug logging
// is on, which it is not by default; CLIPWARDEN_DEBUG=1 in the environment turns it on at start.
void LogDebug(const std::string& component, const std::string& message) noexcept;
bool DebugLogging();
void SetDebugLogging(bool on);

// Install a handler (nullptr restores standard error); returns the previous one.
LogHandler SetLogHandler(LogHandler handler);

} // namespace cw
