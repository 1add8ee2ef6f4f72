#pragma once
// Helpers of the converter tests: the event loop they need, a window that collects the runner's
// records, temporary folders, and the short clip the real converter works on.

#include "convert/ConvertThread.h"
#include "platform/Application.h"

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

// Reader calls run through the event loop, so every test needs the application object.
inline void EnsureApp()
{
    if (!QCoreApplication::instance()) {
        static int argc = 1;
        static char name[] = "test_convert";
        static char* argv[] = {name, nullptr};
        new QCoreApplication(argc, argv); // lives as long as the process
    }
}

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

// Creates a short clip with a picture and a tone (25 frames/s: every preset's codec takes it).
inline std::string MakeClip(const QTemporaryDir& dir, const std::string& name = "clip.flv", int seconds = 2)
{
    std::string path = dir.filePath(QString::fromStdString(name)).toStdString();
    std::string cmd = "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=160x120:rate=25:duration=" +
                      std::to_string(seconds) + " -f lavfi -i sine=frequency=440:duration=" + std::to_string(seconds) +
                      " -shortest -c:v flv -c:a libmp3lame -ar 22050 '" + path + "' </dev/null";
    if (std::system(cmd.c_str()) != 0)
        ADD_FAILURE() << "could not create the test clip: " << cmd;
    return path;
}

} // namespace cwtest
