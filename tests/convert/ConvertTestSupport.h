#pragma once
// Helpers of the converter tests: the event loop they need, a window that collects the runner's
// records, temporary folders, and the short clip the real converter works on.

#include "convert/ConvertThread.h"
#include "platform/Application.h"
#include "support/Files.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace cwtest {

// Pump the event loop until pred holds or timeoutMs pass; returns pred's last value.
inline bool PumpUntil(const std::function<bool()>& pred, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        cw::Application::WaitMessage(20);
    }
    return true;
}

inline void PumpFor(int ms)
{
    PumpUntil([] { return false; }, ms);
}

// Receives WM_CONVERT_PROGRESS, takes ownership of each record.
class RecordSink {
public:
    RecordSink()
        : Window([this](cw::TMessage& m) {
              if (m.Msg == cw::WM_CONVERT_PROGRESS)
                  Records.emplace_back(reinterpret_cast<cw::TProcessInfo*>(m.LParam));
          })
    {
    }
    cw::HWND Handle() const { return Window.Handle(); }
    int FinishedCount() const
    {
        int n = 0;
        for (auto& r : Records)
            n += r->Finished();
        return n;
    }
    int ProgressCount() const { return static_cast<int>(Records.size()) - FinishedCount(); }
    const cw::TProcessInfo* Last() const { return Records.empty() ? nullptr : Records.back().get(); }

    std::vector<std::unique_ptr<cw::TProcessInfo>> Records;
    cw::MessageWindow Window;
};

// A clip named name in dir.
inline std::string MakeClip(const QTemporaryDir& dir, const std::string& name = "clip.flv")
{
    return MakeClip(dir.filePath(QString::fromStdString(name)).toStdString());
}

} // namespace cwtest
