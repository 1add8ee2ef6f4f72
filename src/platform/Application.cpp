#include "platform/Application.h"

#include "platform/Log.h"
#include "platform/MessageBox.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <atomic>

namespace cw {
namespace {
std::atomic<bool> gTerminated{false};
std::string& TitleRef()
{
    static std::string t;
    return t;
}
} // namespace

void Application::ProcessMessages()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void Application::HandleMessage()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void Application::WaitMessage(int timeoutMs)
{
    // A single-shot timer guarantees the wait wakes up; the timer object goes away with this
    // frame, so a late tick cannot land in a later wait.
    QTimer wake;
    wake.setSingleShot(true);
    wake.start(timeoutMs < 0 ? 0 : timeoutMs);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

bool Application::Terminated()
{
    return gTerminated.load();
}

void Application::Terminate()
{
    gTerminated = true;
    QCoreApplication::quit();
}

void Application::ResetTerminated()
{
    gTerminated = false;
}

const std::string& Application::Title()
{
    return TitleRef();
}

void Application::SetTitle(const std::string& title)
{
    TitleRef() = title;
}

std::string Application::ExeDir()
{
    std::string dir = QCoreApplication::applicationDirPath().toStdString();
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    return dir;
}

void Application::HandleException(const std::string& message)
{
    try {
        MessageBox(message, Title(), MB_OK | MB_ICONERROR);
    } catch (...) {
        LogCaught("application", "error box not shown for \"" + message + "\"");
    }
}

void Application::Guard(const std::function<void()>& fn)
{
    try {
        fn();
    } catch (const std::exception& e) {
        HandleException(e.what());
    } catch (...) {
        HandleException("Unknown exception");
    }
}

} // namespace cw
