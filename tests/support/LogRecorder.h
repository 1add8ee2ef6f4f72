#pragma once
// Installs itself as the log sink for its lifetime and keeps every line, so a test can see that
// a failure the program got over was not dropped silently.

#include "platform/Log.h"

#include <mutex>
#include <string>
#include <vector>

namespace cwtest {

struct LoggedLine {
    std::string Component;
    std::string Message;
};

class LogRecorder {
public:
    LogRecorder();
    ~LogRecorder();
    LogRecorder(const LogRecorder&) = delete;
    LogRecorder& operator=(const LogRecorder&) = delete;

    std::vector<LoggedLine> Lines() const;
    // Lines of one component whose message contains every one of the given parts.
    int Count(const std::string& component, const std::vector<std::string>& parts = {}) const;
    // All lines as "component: message", one a line, for failure output.
    std::string Text() const;

private:
    mutable std::mutex FLock; // the converter's reader thread may log too
    std::vector<LoggedLine> FLines;
    cw::LogHandler FPrevious;
};

} // namespace cwtest
