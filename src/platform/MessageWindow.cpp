#include "platform/MessageWindow.h"

#include "platform/Application.h"

#include <QCoreApplication>
#include <QEvent>
#include <atomic>
#include <mutex>
#include <unordered_map>

namespace cw {
namespace {

const QEvent::Type kMessageEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

class MessageEvent : public QEvent {
public:
    explicit MessageEvent(const TMessage& m) : QEvent(kMessageEventType), Msg(m) {}
    TMessage Msg;
};

// The registry maps live handles to windows. Posting holds the lock across postEvent so a
// window cannot be destroyed between the look-up and the post; Qt discards events still queued
// for a QObject when it is deleted.
std::mutex& RegistryLock()
{
    static std::mutex m;
    return m;
}
std::unordered_map<HWND, MessageWindow*>& Registry()
{
    static std::unordered_map<HWND, MessageWindow*> r;
    return r;
}
std::atomic<HWND> gNextHandle{0x1000};

} // namespace

MessageWindow::MessageWindow(Handler handler) : FHandle(gNextHandle.fetch_add(4)), FHandler(std::move(handler))
{
    std::lock_guard<std::mutex> lock(RegistryLock());
    Registry()[FHandle] = this;
}

MessageWindow::~MessageWindow()
{
    std::lock_guard<std::mutex> lock(RegistryLock());
    Registry().erase(FHandle);
}

bool MessageWindow::PostMessage(unsigned msg, WPARAM wParam, LPARAM lParam)
{
    TMessage m{msg, wParam, lParam, 0};
    QCoreApplication::postEvent(this, new MessageEvent(m));
    return true;
}

LRESULT MessageWindow::SendMessage(unsigned msg, WPARAM wParam, LPARAM lParam)
{
    TMessage m{msg, wParam, lParam, 0};
    Dispatch(m);
    return m.Result;
}

bool MessageWindow::PostMessage(HWND handle, unsigned msg, WPARAM wParam, LPARAM lParam)
{
    std::lock_guard<std::mutex> lock(RegistryLock());
    auto it = Registry().find(handle);
    if (it == Registry().end())
        return false;
    TMessage m{msg, wParam, lParam, 0};
    QCoreApplication::postEvent(it->second, new MessageEvent(m));
    return true;
}

LRESULT MessageWindow::SendMessage(HWND handle, unsigned msg, WPARAM wParam, LPARAM lParam)
{
    MessageWindow* target = nullptr;
    {
        std::lock_guard<std::mutex> lock(RegistryLock());
        auto it = Registry().find(handle);
        if (it == Registry().end())
            return 0;
        target = it->second;
    }
    return target->SendMessage(msg, wParam, lParam);
}

bool MessageWindow::IsWindow(HWND handle)
{
    std::lock_guard<std::mutex> lock(RegistryLock());
    return Registry().count(handle) != 0;
}

void MessageWindow::RemovePostedMessages()
{
    QCoreApplication::removePostedEvents(this, kMessageEventType);
}

void MessageWindow::WndProc(TMessage&) {}

void MessageWindow::Dispatch(TMessage& msg)
{
    if (FHandler)
        FHandler(msg);
    else
        WndProc(msg);
}

bool MessageWindow::event(QEvent* e)
{
    if (e->type() != kMessageEventType)
        return QObject::event(e);
    auto* me = static_cast<MessageEvent*>(e);
    Application::Guard([&] { Dispatch(me->Msg); });
    return true;
}

} // namespace cw
