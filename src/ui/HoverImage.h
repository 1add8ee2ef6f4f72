#pragma once
// A picture that works as a button: it lights up while the mouse is over it and reports a click
// (press and release inside it with the left button) through OnClick. The hover picture is the
// normal one brightened unless one is given. With Stretch the picture fills the widget;
// otherwise it is drawn at its own size, centred.

#include "platform/Types.h"

#include <QImage>
#include <QWidget>
#include <functional>

namespace cw {

class HoverImage : public QWidget {
public:
    explicit HoverImage(QWidget* parent = nullptr);

    void SetPicture(const QImage& picture);
    void SetHoverPicture(const QImage& picture);
    const QImage& Picture() const { return FPicture; }
    bool Hovered() const { return FHovered; }
    void SetStretch(bool value);
    bool Stretch() const { return FStretch; }

    QSize sizeHint() const override;

    // Fires only when assigned.
    std::function<void()> OnClick;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QImage FPicture;
    QImage FHoverPicture;
    bool FOwnHover = false;
    bool FHovered = false;
    bool FPressed = false;
    bool FStretch = false;
};

// The picture brightened by amount (0..255 added to each channel, clipped).
QImage Brightened(const QImage& picture, int amount);

} // namespace cw
