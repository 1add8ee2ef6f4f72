#include "support/LogRecorder.h"

namespace cwtest {

LogRecorder::LogRecorder()
{
    FPrevious = cw::SetLogHandler([this](const std::string& component, const std::string& message) {
        std::lock_guard<std::mutex> g(FLock);
        FLines.push_back({component, message});
    });
}

LogRecorder::~LogRecorder()
{
    cw::SetLogHandler(std::move(FPrevious));
}

std::vector<LoggedLine> LogRecorder::Lines() const
{
    std::lock_guard<std::mutex> g(FLock);
    return FLines;
}

int LogRecorder::Count(const std::string& component, const std::vector<std::string>& parts) const
{
    int n = 0;
    for (const LoggedLine& line : Lines()) {
        if (line.Component != component)
            continue;
        bool all = true;
        for (const std::string& part : parts)
            all = all && line.Message.find(part) != std::string::npos;
        n += all ? 1 : 0;
    }
    return n;
}

std::string LogRecorder::Text() const
{
    std::string text;
    for (const LoggedLine& line : Lines())
        text += line.Component + ": " + line.Message + "\n";
    return text;
}

} // namespace cwtest
