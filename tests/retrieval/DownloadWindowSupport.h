#pragma once
// Running the download window in tests: an owner that answers the folder, quality and runner
// questions, a modal run with a watchdog (a broken run fails the test instead of hanging it),
// and a record of the captions the window showed.

#include "convert/ConvertThread.h"
#include "engine/EngineRunSupport.h"
#include "platform/Application.h"
#include "platform/TickCount.h"
#include "platform/gui/Form.h"
#include "retrieval/Download.h"
#include "support/Files.h"
#include "support/MessageBoxRecorder.h"
#include "support/VideoSites.h"

#include <QApplication>
#include <QEvent>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace dltest {

using cwtest::ReadFile;
using cwtest::WriteFile;

inline void UseProductTitle()
{
    cw::Application::SetTitle("Ostrelle Clipwarden");
}

using TestRunOwner = enginetest::TestRunOwner;

// Records every caption the window shows.
class CaptionRecorder : public QObject {
public:
    std::vector<std::string> Captions;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::WindowTitleChange) {
            auto* w = static_cast<QWidget*>(watched);
            std::string title = w->windowTitle().toStdString();
            if (Captions.empty() || Captions.back() != title)
                Captions.push_back(title);
        }
        return false;
    }
};

class WindowRun {
public:
    WindowRun(const std::vector<std::string>& list, cw::JobMode mode, TestRunOwner& owner)
    {
        UseProductTitle();
        FMain = std::make_unique<cw::TForm>();
        FMain->resize(486, 427);
        FWindow = std::make_unique<cw::TfrmDownload>(FMain.get(), list, &owner);
        FWindow->JobMode = mode;
        FWindow->installEventFilter(&FCaptions);
    }

    cw::TfrmDownload& Window() { return *FWindow; }
    const std::vector<std::string>& Captions() const { return FCaptions.Captions; }

    // fn runs every 10 ms while the window is modal, until it returns true.
    void During(std::function<bool()> fn) { FDuring.push_back(std::move(fn)); }

    // Show the window modally; the watchdog presses Stop after limitMs.
    int Run(int limitMs = 30000)
    {
        QTimer tick;
        const std::uint32_t start = cw::GetTickCount();
        QObject::connect(&tick, &QTimer::timeout, [&] {
            if (!FWindow->Modal())
                return;
            for (auto it = FDuring.begin(); it != FDuring.end();) {
                if ((*it)())
                    it = FDuring.erase(it);
                else
                    ++it;
            }
            if (!WatchdogFired && cw::GetTickCount() - start > static_cast<std::uint32_t>(limitMs)) {
                WatchdogFired = true;
                FWindow->bStopClick(nullptr);
            }
        });
        tick.start(10);
        Result = FWindow->ShowModal();
        tick.stop();
        return Result;
    }

    template <class W> W* Child(const char* name) { return FWindow->findChild<W*>(name); }
    std::string Text(const char* label) { return Child<QLabel>(label)->text().toStdString(); }
    void Click(const char* button) { Child<QPushButton>(button)->click(); }

    bool WatchdogFired = false;
    int Result = 0;

private:
    CaptionRecorder FCaptions;
    std::unique_ptr<cw::TForm> FMain;
    std::unique_ptr<cw::TfrmDownload> FWindow;
    std::vector<std::function<bool()>> FDuring;
};

// A run against the three sites served locally, with the system proxy pointed at them, message
// boxes recorded and an empty output folder.
class SiteRunTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        UseProductTitle();
        ASSERT_TRUE(Dir.isValid());
        Owner.Folder = Dir.path().toStdString();
    }

    std::string Out(const std::string& name) const { return Owner.Folder + "/" + name; }

    // A YouTube video with a normal page and a 3000-byte file for the plain address.
    void AddYoutube(const std::string& id, const std::string& title)
    {
        cwtest::VideoSites::YoutubeVideo v;
        v.Title = title;
        v.Files[""] = cwtest::VideoSites::FileBody(id, 3000);
        Sites.Youtube(id, v);
    }
    void AddYoutubePage(const std::string& id, cwtest::VideoSites::Handler page)
    {
        cwtest::VideoSites::YoutubeVideo v;
        v.Page = std::move(page);
        Sites.Youtube(id, v);
    }
    int WatchRequests(const std::string& id)
    {
        int n = 0;
        for (auto& rq : Sites.RequestsTo("www.youtube.com"))
            n += rq.PathOnly() == "/watch" && rq.Query("v") == id;
        return n;
    }

    QTemporaryDir Dir;
    cwtest::HttpTestServer Server;
    cwtest::VideoSites Sites{Server};
    cwtest::ScopedHttpProxy Proxy{"http://" + Server.Address() + "/"};
    cwtest::MessageBoxRecorder Boxes;
    TestRunOwner Owner;
};

} // namespace dltest
