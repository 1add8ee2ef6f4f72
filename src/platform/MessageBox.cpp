#include "platform/MessageBox.h"

#include "platform/Application.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <utility>

namespace cw {
namespace {
MessageBoxHandler& Handler()
{
    static MessageBoxHandler h;
    return h;
}
AsyncMessageBoxHandler& AsyncHandler()
{
    static AsyncMessageBoxHandler h;
    return h;
}
} // namespace

int DefaultAnswer(unsigned flags)
{
    if ((flags & MB_BUTTONMASK) == MB_YESNO)
        return (flags & MB_DEFBUTTON2) ? IDNO : IDYES;
    return IDOK;
}

int MessageBox(const std::string& text, const std::string& caption, unsigned flags)
{
    // Copy first: a handler may install another handler while it runs.
    MessageBoxHandler h = Handler();
    if (h)
        return h(text, caption, flags);
    std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
    return DefaultAnswer(flags);
}

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler)
{
    AsyncHandler() = nullptr;
    return std::exchange(Handler(), std::move(handler));
}

void SetAsyncMessageBoxHandler(AsyncMessageBoxHandler handler)
{
    AsyncHandler() = std::move(handler);
}

void OpenMessageBox(const std::string& text, const std::string& caption, unsigned flags, MessageBoxDone done)
{
    if (AsyncMessageBoxHandler h = AsyncHandler()) {
        h(text, caption, flags, std::move(done));
        return;
    }
    const int answer = MessageBox(text, caption, flags);
    if (!done)
        return;
    if (QCoreApplication* app = QCoreApplication::instance())
        QTimer::singleShot(0, app, [done = std::move(done), answer] { Application::Guard([&] { done(answer); }); });
    else
        done(answer);
}

} // namespace cw
