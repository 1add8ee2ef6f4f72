#include "platform/Log.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <exception>
#include <mutex>
#include <utility>

namespace cw {
namespace {
// Lines may come from the converter's reader thread as well as the user-interface thread.
std::mutex& HandlerLock()
{
    static std::mutex m;
    return m;
}

LogHandler& Handler()
{
    static LogHandler h;
    return h;
}

void WriteStandardError(const std::string& component, const std::string& message)
{
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const int millis = static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    // One write per line, so lines from two threads do not interleave.
    std::fprintf(stderr, "%s.%03d %s: %s\n", stamp, millis, component.c_str(), message.c_str());
}
} // namespace

void LogLine(const std::string& component, const std::string& message) noexcept
{
    try {
        LogHandler h;
        {
            std::lock_guard<std::mutex> g(HandlerLock());
            h = Handler();
        }
        if (h)
            h(component, message);
        else
            WriteStandardError(component, message);
    } catch (...) {
        // Nowhere left to report to.
    }
}

namespace {
std::atomic<int>& DebugSwitch()
{
    static std::atomic<int> on{[] {
        const char* v = std::getenv("CLIPWARDEN_DEBUG");
        return v && *v && std::string(v) != "0" ? 1 : 0;
    }()};
    return on;
}
} // namespace

bool DebugLogging()
{
    return DebugSwitch().load() != 0;
}

void SetDebugLogging(bool on)
{
    DebugSwitch() = on ? 1 : 0;
}

void LogDebug(const std::string& component, const std::string& message) noexcept
{
    if (DebugLogging())
        LogLine(component, message);
}

std::string CaughtText()
{
    const std::exception_ptr current = std::current_exception();
    if (!current)
        return "no exception";
    try {
        std::rethrow_exception(current);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

void LogCaught(const std::string& component, const std::string& what) noexcept
{
    try {
        LogLine(component, what + ": " + CaughtText());
    } catch (...) {
    }
}

LogHandler SetLogHandler(LogHandler handler)
{
    std::lock_guard<std::mutex> g(HandlerLock());
    return std::exchange(Handler(), std::move(handler));
}

} // namespace cw
