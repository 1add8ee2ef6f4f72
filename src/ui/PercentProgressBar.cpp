#include "ui/PercentProgressBar.h"

#include <QLinearGradient>
#include <QPainter>

namespace cw {

PercentProgressBar::PercentProgressBar(QWidget* parent) : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void PercentProgressBar::SetMin(std::int64_t value)
{
    FMin = value;
    update();
}

void PercentProgressBar::SetMax(std::int64_t value)
{
    FMax = value;
    update();
}

void PercentProgressBar::SetPosition(std::int64_t value)
{
    if (value == FPosition)
        return;
    FPosition = value;
    update();
}

void PercentProgressBar::setRange(int minimum, int maximum)
{
    FMin = minimum;
    FMax = maximum;
    update();
}

int PercentProgressBar::Percent() const
{
    if (FMax <= FMin || FPosition <= FMin)
        return 0;
    if (FPosition >= FMax)
        return 100;
    // Both differences fit in 64 bits unsigned; the product needs more.
    using Wide = unsigned __int128;
    Wide span = static_cast<std::uint64_t>(FMax) - static_cast<std::uint64_t>(FMin);
    Wide done = static_cast<std::uint64_t>(FPosition) - static_cast<std::uint64_t>(FMin);
    return static_cast<int>(done * 100 / span);
}

QString PercentProgressBar::Text() const
{
    return QString::number(Percent()) + QLatin1Char('%');
}

QSize PercentProgressBar::sizeHint() const
{
    return QSize(200, fontMetrics().height() + 6);
}

void PercentProgressBar::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    QRect frame = rect().adjusted(0, 0, -1, -1);
    p.setPen(QColor(120, 140, 160));
    p.setBrush(QColor(245, 247, 250));
    p.drawRect(frame);

    QRect inner = frame.adjusted(2, 2, -1, -1);
    int filled = inner.width() * Percent() / 100;
    if (filled > 0) {
        QLinearGradient g(inner.topLeft(), inner.bottomLeft());
        g.setColorAt(0, QColor(92, 170, 230));
        g.setColorAt(1, QColor(32, 110, 160));
        p.fillRect(QRect(inner.left(), inner.top(), filled, inner.height()), g);
    }
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(rect(), Qt::AlignCenter, Text());
}

} // namespace cw
