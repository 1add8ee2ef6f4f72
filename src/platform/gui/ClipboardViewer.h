#pragma once
// Membership in the clipboard-viewer chain, on the toolkit's clipboard.
//
// Joining makes the viewer follow the clipboard's change notifications: every change of the
// clipboard's content (by this program or any other) sends WM_DRAWCLIPBOARD to the joined
// window, synchronously, as the chain does. There is no chain of other programs' windows here,
// so the successor returned by Join is always 0; the window keeps it anyway and passes
// notifications on to it, which costs nothing and keeps the chain protocol intact.
// Leaving stops following. The viewer leaves by itself when destroyed.
//
// Known limit: on Wayland an unfocused window may not be told about clipboard changes made by
// other programs; on X11 every change is seen.

#include "platform/Types.h"

#include <QMetaObject>
#include <string>

namespace cw {

constexpr unsigned WM_DRAWCLIPBOARD = 0x0308;
// wParam = the window leaving the chain, lParam = the window that follows it.
constexpr unsigned WM_CHANGECBCHAIN = 0x030D;

class ClipboardViewer {
public:
    ClipboardViewer() = default;
    ~ClipboardViewer();
    ClipboardViewer(const ClipboardViewer&) = delete;
    ClipboardViewer& operator=(const ClipboardViewer&) = delete;

    // Start sending WM_DRAWCLIPBOARD to window; returns the successor in the chain (0).
    // Joining again moves the membership to the new window.
    HWND Join(HWND window);
    // Leave the chain; next is the successor the leaving window was given when it joined.
    void Leave(HWND next);
    bool Joined() const { return FWindow != 0; }

    // The clipboard holds text (of any kind the toolkit can give as text).
    static bool HasText();
    // The clipboard's text in the program's 8-bit encoding; empty when there is none.
    static std::string Text();
    static void SetText(const std::string& text);

private:
    HWND FWindow = 0;
    QMetaObject::Connection FConnection;
};

} // namespace cw
