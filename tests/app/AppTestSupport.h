#pragma once
// Shared set-up of the main-window tests: a fresh settings.ini next to the test executable (the
// window's real place for it), message boxes answered by the recorder, shell services recorded,
// and helpers to find the window's controls by their names and to answer modal dialogs.

#include "app/Main.h"
#include "global/Global.h"
#include "platform/Application.h"
#include "platform/Shell.h"
#include "platform/gui/ClipboardViewer.h"
#include "support/Files.h"
#include "support/MessageBoxRecorder.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace cwtest {

// Run action on the first modal window of type T once it is showing (checked every 10 ms).
template <class T> void WhenModal(std::function<void(T*)> action)
{
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, action] {
        if (auto* w = dynamic_cast<T*>(QApplication::activeModalWidget()); w && w->isVisible()) {
            timer->stop();
            timer->deleteLater();
            action(w);
        }
    });
    timer->start();
}

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        cw::Application::ResetTerminated();
        RemoveSettings();
        cw::Shell::Handlers h;
        h.Open = [this](const std::string& target) {
            Opened.push_back(target);
            return true;
        };
        h.ChooseFolder = [this](const std::string& title) {
            FolderTitles.push_back(title);
            return NextFolder;
        };
        h.ChooseFiles = [this](const std::string& title, const std::string& filter) {
            FileFilters.push_back(filter);
            (void)title;
            return NextFiles;
        };
        FPreviousShell = cw::Shell::SetHandlers(h);
        cw::ClipboardViewer::SetText("");
    }
    void TearDown() override
    {
        Form.reset();
        cw::Shell::SetHandlers(FPreviousShell);
        RemoveSettings();
    }

    static std::string SettingsPath() { return cw::TfrmMain::SettingsFileName(); }
    static void RemoveSettings()
    {
        std::error_code ec;
        std::filesystem::remove_all(SettingsPath(), ec);
    }

    // The window as the program makes it: created (settings read), then shown.
    cw::TfrmMain& Open()
    {
        Form = std::make_unique<cw::TfrmMain>();
        Form->show();
        return *Form;
    }
    void CloseWindow() { Form->Close(); }

    template <class T = QWidget> T* W(const char* name)
    {
        T* w = Form->findChild<T*>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QAction* A(const char* name) { return W<QAction>(name); }
    QTreeWidget* List() { return W<QTreeWidget>("lvMain"); }

    std::vector<std::string> Items() { return Form->ItemCaptions(); }

    MessageBoxRecorder Boxes;
    std::unique_ptr<cw::TfrmMain> Form;
    std::vector<std::string> Opened;
    std::vector<std::string> FolderTitles;
    std::vector<std::string> FileFilters;
    std::optional<std::string> NextFolder;
    std::vector<std::string> NextFiles;

private:
    cw::Shell::Handlers FPreviousShell;
};

// Addresses for the list tests: three watch pages and a direct address on Google's file cache.
inline const std::string kOne = "http://www.youtube.com/watch?v=one";
inline const std::string kTwo = "http://www.youtube.com/watch?v=two";
inline const std::string kThree = "http://www.youtube.com/watch?v=three";
inline const std::string kCache = std::string("http://") + cw::VideoCacheHost + "/videoplayback?id=1.flv";

} // namespace cwtest
