#pragma once
// Whole runs as the user starts them: a main window with its list, folder, mode, quality and
// format set through its controls, the Start button pressed, and the modal download window
// watched (and stopped by a watchdog if it runs too long) from a timer while Start waits in it.

#include "app/Main.h"
#include "convert/ConvertThread.h"
#include "platform/Application.h"
#include "platform/TickCount.h"
#include "retrieval/Download.h"
#include "support/Files.h"
#include "support/MessageBoxRecorder.h"
#include "support/VideoSites.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace runtest {

using cwtest::MakeClip;
using cwtest::ReadFile;

inline void UseProductTitle()
{
    cw::Application::SetTitle("Ostrelle Clipwarden");
}

inline bool Exists(const std::string& path)
{
    std::ifstream in(path);
    return static_cast<bool>(in);
}

class MainRun {
public:
    MainRun()
    {
        UseProductTitle();
        Main = std::make_unique<cw::TfrmMain>();
        Main->show();
        // One item at a time unless a test asks for more: the runs below follow one order.
        SetJobs(1);
    }
    ~MainRun()
    {
        // Leave no converter running behind a failed test.
        if (cw::TConvertProcess* runner = Main->ConvertRunner(); runner && runner->Active)
            runner->Stop(0);
    }

    template <class W> W* Child(const char* name) const { return Main->findChild<W*>(name); }

    void SetFolder(const std::string& folder)
    {
        Child<QLineEdit>("eOutputFolder")->setText(QString::fromStdString(folder));
    }
    void SetMode(cw::JobMode mode)
    {
        const char* names[] = {"rbDownload", "rbDownloadConvert", "rbConvert"};
        Child<QRadioButton>(names[mode])->click();
    }
    void SetQuality(int quality)
    {
        const char* names[] = {"Normal1", "HQ1", "HD1", "BestAvailable1"};
        Child<QAction>(names[quality])->trigger();
    }
    void SetJobs(int jobs) { Child<QAction>(("Jobs" + std::to_string(jobs)).c_str())->trigger(); }
    void SetFormat(int index) { Child<QComboBox>("cbFormat")->setCurrentIndex(index); }
    void Add(const std::string& caption) { Main->AddItem(caption); }

    // The download window while one is open.
    cw::TfrmDownload* Window() const
    {
        return dynamic_cast<cw::TfrmDownload*>(Main->findChild<QWidget*>("TfrmDownload"));
    }

    // fn runs every 10 ms while a download window is modal, until it returns true.
    void During(std::function<bool(cw::TfrmDownload&)> fn) { FDuring.push_back(std::move(fn)); }

    // Press Start; the watchdog presses Stop on a run that lasts longer than limitMs.
    void Start(int limitMs = 30000)
    {
        QTimer tick;
        const std::uint32_t start = cw::GetTickCount();
        QObject::connect(&tick, &QTimer::timeout, [&] {
            cw::TfrmDownload* w = Window();
            if (!w || !w->Modal())
                return;
            WindowSeen = true;
            for (auto it = FDuring.begin(); it != FDuring.end();) {
                if ((*it)(*w))
                    it = FDuring.erase(it);
                else
                    ++it;
            }
            if (!WatchdogFired && cw::GetTickCount() - start > static_cast<std::uint32_t>(limitMs)) {
                WatchdogFired = true;
                w->bStopClick(nullptr);
            }
        });
        tick.start(10);
        // Captions are caught application-wide: the first one is set before any timer tick.
        qApp->installEventFilter(&FCaptions);
        Child<QPushButton>("bStart")->click();
        qApp->removeEventFilter(&FCaptions);
        tick.stop();
    }

    const std::vector<std::string>& Captions() const { return FCaptions.Captions; }

    std::unique_ptr<cw::TfrmMain> Main;
    bool WindowSeen = false;
    bool WatchdogFired = false;

private:
    class CaptionRecorder : public QObject {
    public:
        std::vector<std::string> Captions;

    protected:
        bool eventFilter(QObject* watched, QEvent* event) override
        {
            if (event->type() == QEvent::WindowTitleChange && watched->objectName() == "TfrmDownload") {
                std::string title = static_cast<QWidget*>(watched)->windowTitle().toStdString();
                if (Captions.empty() || Captions.back() != title)
                    Captions.push_back(title);
            }
            return false;
        }
    };
    CaptionRecorder FCaptions;
    std::vector<std::function<bool(cw::TfrmDownload&)>> FDuring;
};

// An empty output folder for a run, and its message boxes recorded.
class RunFolderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        UseProductTitle();
        ASSERT_TRUE(Dir.isValid());
        Folder = Dir.path().toStdString();
    }
    std::string Out(const std::string& name) const { return Folder + "/" + name; }

    QTemporaryDir Dir;
    std::string Folder;
    cwtest::MessageBoxRecorder Boxes;
};

// The three sites on one local server, and the system proxy pointed at it.
class RunTest : public RunFolderTest {
protected:
    cwtest::HttpTestServer Server;
    cwtest::VideoSites Sites{Server};
    cwtest::ScopedHttpProxy Proxy{"http://" + Server.Address() + "/"};
};

} // namespace runtest
