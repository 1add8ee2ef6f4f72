#include "ui/HoverImage.h"

#include "platform/gui/QtGlue.h"

#include <QMouseEvent>
#include <QPainter>
#include <algorithm>

namespace cw {

QImage Brightened(const QImage& picture, int amount)
{
    if (picture.isNull())
        return picture;
    QImage out = picture.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < out.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x) {
            QRgb c = line[x];
            line[x] = qRgba(std::min(255, qRed(c) + amount), std::min(255, qGreen(c) + amount),
                            std::min(255, qBlue(c) + amount), qAlpha(c));
        }
    }
    return out;
}

HoverImage::HoverImage(QWidget* parent) : QWidget(parent)
{
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_Hover);
}

void HoverImage::SetPicture(const QImage& picture)
{
    FPicture = picture;
    if (!FOwnHover)
        FHoverPicture = Brightened(picture, 40);
    updateGeometry();
    update();
}

void HoverImage::SetHoverPicture(const QImage& picture)
{
    FHoverPicture = picture;
    FOwnHover = !picture.isNull();
    if (!FOwnHover)
        FHoverPicture = Brightened(FPicture, 40);
    update();
}

void HoverImage::SetStretch(bool value)
{
    FStretch = value;
    update();
}

QSize HoverImage::sizeHint() const
{
    return FPicture.isNull() ? QSize(16, 16) : FPicture.size();
}

void HoverImage::paintEvent(QPaintEvent*)
{
    const QImage& shown = FHovered && !FHoverPicture.isNull() ? FHoverPicture : FPicture;
    if (shown.isNull())
        return;
    QPainter p(this);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    if (FStretch) {
        p.drawImage(rect(), shown);
    } else {
        QRect target(QPoint(0, 0), shown.size());
        target.moveCenter(rect().center());
        p.drawImage(target, shown);
    }
}

void HoverImage::enterEvent(QEnterEvent* event)
{
    FHovered = true;
    update();
    QWidget::enterEvent(event);
}

void HoverImage::leaveEvent(QEvent* event)
{
    FHovered = false;
    FPressed = false;
    update();
    QWidget::leaveEvent(event);
}

void HoverImage::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        FPressed = true;
    event->accept();
}

void HoverImage::mouseReleaseEvent(QMouseEvent* event)
{
    bool click = FPressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    FPressed = false;
    event->accept();
    if (click && OnClick) {
        auto handler = OnClick; // the handler may replace OnClick or close the window
        Application::Guard(handler);
    }
}

} // namespace cw
