#include "platform/gui/ClipboardViewer.h"

#include "platform/MessageWindow.h"
#include "platform/gui/QtGlue.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

namespace cw {

ClipboardViewer::~ClipboardViewer()
{
    Leave(0);
}

HWND ClipboardViewer::Join(HWND window)
{
    Leave(0);
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!clipboard || window == 0)
        return 0;
    FWindow = window;
    // Only the clipboard proper: the X11 selection changes with every mouse selection and is
    // not what "copy" means.
    FConnection = QObject::connect(clipboard, &QClipboard::changed, Guarded([window](QClipboard::Mode mode) {
                                       if (mode == QClipboard::Clipboard)
                                           MessageWindow::SendMessage(window, WM_DRAWCLIPBOARD, 0, 0);
                                   }));
    return 0;
}

void ClipboardViewer::Leave(HWND)
{
    if (FConnection)
        QObject::disconnect(FConnection);
    FConnection = {};
    FWindow = 0;
}

bool ClipboardViewer::HasText()
{
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!clipboard)
        return false;
    const QMimeData* data = clipboard->mimeData(QClipboard::Clipboard);
    return data && data->hasText();
}

std::string ClipboardViewer::Text()
{
    QClipboard* clipboard = QGuiApplication::clipboard();
    return clipboard ? FromQt(clipboard->text(QClipboard::Clipboard)) : std::string();
}

void ClipboardViewer::SetText(const std::string& text)
{
    if (QClipboard* clipboard = QGuiApplication::clipboard())
        clipboard->setText(ToQt(text), QClipboard::Clipboard);
}

} // namespace cw
