// Program entry. "clipwarden get|convert ..." (and --help, --version) runs the command line
// without any window. Otherwise: one running copy per user: a second start asks the running one to come to the
// front and ends without making any window. Otherwise the application is set up with the real
// message boxes and shell dialogs, and the main window runs until it is closed.
//
// A termination request from outside (SIGTERM, SIGINT, SIGHUP: the session ending, Ctrl+C)
// closes the main window the ordinary way, so the settings are written as on Exit.
//
// Exit codes: 0 normally and after a hand-over the running copy confirmed; 2 when a running copy
// holds the name but did not answer (nothing is shown then either), and when there is no display
// to open the window on (the toolkit would abort; the message points to the command line).
#include "app/Main.h"
#include "cli/CommandLine.h"
#include "global/Global.h"
#include "platform/Application.h"
#include "platform/Log.h"
#include "platform/StopSignals.h"
#include "platform/gui/Form.h"
#include "platform/gui/MessageBoxDialog.h"
#include "platform/gui/QtGlue.h"
#include "platform/gui/ShellDialogs.h"
#include "platform/gui/SingleInstance.h"

#include <QApplication>
#include <QIcon>
#include <QSocketNotifier>
#include <cstdio>
#include <memory>

int main(int argc, char** argv)
{
    using namespace cw;

    // The command line needs no display and no single copy: several may run at once beside the
    // window.
    if (WantsCommandLine(argc, argv))
        return RunCommandLine(argc, argv);
    if (!HasDisplay(argc, argv)) {
        std::fputs(NoDisplayText().c_str(), stderr);
        return 2;
    }

    // Decided before the toolkit starts, so a second copy never opens anything on screen.
    std::unique_ptr<SingleInstance> instance;
    try {
        instance = std::make_unique<SingleInstance>(TfrmMain::WindowClassName);
        if (!instance->Acquire())
            return instance->ActivateRunning() ? 0 : 2;
    } catch (const std::exception& e) {
        // Without a usable place for the lock the program still starts; it only cannot tell
        // whether another copy runs.
        LogLine("start-up", std::string("one-copy check unavailable: ") + e.what());
        instance.reset();
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("clipwarden"));
    QApplication::setQuitOnLastWindowClosed(false); // the main window's closing ends the program
    // Every window, dialogs included, shows the program's icon; the desktop entry names the same
    // artwork through the icon theme.
    QIcon icon;
    for (int size : {48, 128, 256})
        icon.addFile(QStringLiteral(":/assets/icons/net.ostrelle.Clipwarden-%1.png").arg(size), QSize(size, size));
    QApplication::setWindowIcon(icon);
    QGuiApplication::setDesktopFileName(QStringLiteral("net.ostrelle.Clipwarden"));
    Application::SetTitle(ProductTitle);
    InstallMessageBoxDialog();
    ShellDialogs::InstallHandlers();

    int result = 1;
    Application::Guard([&] {
        TfrmMain form;
        TForm::SetMainForm(&form);
        if (instance)
            instance->Serve(form.Handle());

        // A termination request closes the window the ordinary way, so the settings are written.
        const auto stopWatch = WatchStopSignals([&form] { form.Close(); });

        form.show();
        result = QApplication::exec();
        TForm::SetMainForm(nullptr);
    });
    if (instance)
        instance->StopServing(); // its socket notifiers belong to this application's loop
    return result;
}
