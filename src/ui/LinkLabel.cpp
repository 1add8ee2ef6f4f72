#include "ui/LinkLabel.h"

#include "platform/Shell.h"
#include "platform/gui/QtGlue.h"

#include <QMouseEvent>

namespace cw {

LinkLabel::LinkLabel(QWidget* parent) : QLabel(parent)
{
    setCursor(Qt::PointingHandCursor);
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, QColor(0, 0, 238));
    setPalette(pal);
}

void LinkLabel::SetUnderline(bool on)
{
    QFont f = font();
    f.setUnderline(on);
    setFont(f);
}

void LinkLabel::enterEvent(QEnterEvent* event)
{
    SetUnderline(true);
    QLabel::enterEvent(event);
}

void LinkLabel::leaveEvent(QEvent* event)
{
    SetUnderline(false);
    FPressed = false;
    QLabel::leaveEvent(event);
}

void LinkLabel::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        FPressed = true;
    event->accept();
}

void LinkLabel::mouseReleaseEvent(QMouseEvent* event)
{
    bool click = FPressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    FPressed = false;
    event->accept();
    if (!click)
        return;
    if (OnClick) {
        auto handler = OnClick;
        Application::Guard(handler);
    } else if (!FUrl.empty()) {
        std::string url = FUrl;
        Application::Guard([url] { Shell::Open(url); });
    }
}

} // namespace cw
