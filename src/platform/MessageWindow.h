#pragma once
// A hidden window in miniature: a QObject with a handle that other code can post numbered
// messages to. Posted messages arrive in WndProc on the thread that owns the object, in the
// order they were posted, after the poster's handler has returned. SendMessage calls WndProc
// directly. Messages to a handle whose window has been destroyed are dropped.
//
// PostMessage(handle, ...) is safe from any thread; everything else belongs to the owner's
// thread. Exceptions thrown by WndProc never cross Qt's event loop: the guard in event()
// hands them to Application::HandleException.

#include "platform/Types.h"

#include <QObject>
#include <functional>

namespace cw {

struct TMessage {
    unsigned Msg = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    LRESULT Result = 0;
};

// Windows' WM_USER, the base of every private message number in the program.
constexpr unsigned WM_USER = 0x0400;

class MessageWindow : public QObject {
public:
    using Handler = std::function<void(TMessage&)>;

    // With a handler, messages go to it; without one, to the virtual WndProc.
    explicit MessageWindow(Handler handler = {});
    ~MessageWindow() override;
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;

    HWND Handle() const { return FHandle; }
    void SetHandler(Handler handler) { FHandler = std::move(handler); }

    // Queue a message for this window. Always succeeds while the window exists.
    bool PostMessage(unsigned msg, WPARAM wParam = 0, LPARAM lParam = 0);
    // Deliver a message now, on the calling thread.
    LRESULT SendMessage(unsigned msg, WPARAM wParam = 0, LPARAM lParam = 0);

    // Post to a window by handle; false (and nothing queued) when no such window exists.
    static bool PostMessage(HWND handle, unsigned msg, WPARAM wParam = 0, LPARAM lParam = 0);
    // Send to a window by handle; 0 when no such window exists. Owner's thread only.
    static LRESULT SendMessage(HWND handle, unsigned msg, WPARAM wParam = 0, LPARAM lParam = 0);
    static bool IsWindow(HWND handle);

    // Drop every message still queued for this window (used when a component is reset).
    void RemovePostedMessages();

protected:
    virtual void WndProc(TMessage& msg);
    bool event(QEvent* e) override;

private:
    void Dispatch(TMessage& msg);

    HWND FHandle;
    Handler FHandler;
};

} // namespace cw
