#pragma once
// Shared by the socket core's source files only.

#include <mutex>
#include <string>

namespace cw {

// The process-wide lock around every send queue (all sockets share it, as they share one
// thread; it never contends). Recursive because OnSendData and OnSessionClosed handlers may
// send again from inside TryToSend.
std::recursive_mutex& SendLock();

// printf-style texts of the error reports.
std::string FormatText(const char* fmt, const std::string& s, int n);
std::string FormatText(const char* fmt, int n);

} // namespace cw
