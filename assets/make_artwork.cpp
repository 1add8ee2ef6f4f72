// Draws the program's artwork and writes it as JPEG files into the current folder. The JPEGs are
// kept in the repository; run this again only to change the design:
//
//   g++ -std=c++20 -fPIC make_artwork.cpp $(pkg-config --cflags --libs Qt6Gui) -o /tmp/make_artwork
//   QT_QPA_PLATFORM=offscreen /tmp/make_artwork
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>

namespace {

const QColor kDeep(18, 52, 86);
const QColor kSea(32, 110, 160);
const QColor kFoam(226, 238, 246);
const QColor kAmber(246, 166, 35);

// The mark: a rounded square with a play triangle cut by a downward arrow (fetch and play).
void DrawMark(QPainter& p, const QRectF& r)
{
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(r.topLeft(), r.bottomRight());
    g.setColorAt(0, kAmber);
    g.setColorAt(1, QColor(214, 104, 20));
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawRoundedRect(r, r.width() * 0.2, r.width() * 0.2);
    QPainterPath play;
    qreal w = r.width(), h = r.height();
    play.moveTo(r.left() + w * 0.34, r.top() + h * 0.24);
    play.lineTo(r.left() + w * 0.78, r.top() + h * 0.50);
    play.lineTo(r.left() + w * 0.34, r.top() + h * 0.76);
    play.closeSubpath();
    p.setBrush(Qt::white);
    p.drawPath(play);
    p.setBrush(kDeep);
    p.drawRect(QRectF(r.left() + w * 0.14, r.top() + h * 0.60, w * 0.12, h * 0.16));
    QPainterPath arrow;
    arrow.moveTo(r.left() + w * 0.08, r.top() + h * 0.74);
    arrow.lineTo(r.left() + w * 0.32, r.top() + h * 0.74);
    arrow.lineTo(r.left() + w * 0.20, r.top() + h * 0.90);
    arrow.closeSubpath();
    p.drawPath(arrow);
}

bool Save(const QImage& image, const char* name)
{
    bool ok = image.save(name, "JPEG", 92);
    std::printf("%s %s\n", name, ok ? "written" : "FAILED");
    return ok;
}

QImage Banner()
{
    QImage img(486, 50, QImage::Format_RGB32);
    QPainter p(&img);
    QLinearGradient g(0, 0, 486, 50);
    g.setColorAt(0, kDeep);
    g.setColorAt(1, kSea);
    p.fillRect(img.rect(), g);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 18));
    for (int i = 0; i < 6; ++i)
        p.drawEllipse(QPointF(330 + i * 34, 25), 40 - i * 4, 40 - i * 4);
    // The mark itself stands at the right end of the banner as its own clickable logo.
    QFont title("DejaVu Sans", 17, QFont::Bold);
    p.setFont(title);
    p.setPen(Qt::white);
    p.drawText(QRectF(12, 3, 330, 28), Qt::AlignLeft | Qt::AlignVCenter, "Ostrelle Clipwarden");
    QFont sub("DejaVu Sans", 8);
    p.setFont(sub);
    p.setPen(kFoam);
    p.drawText(QRectF(13, 29, 330, 16), Qt::AlignLeft | Qt::AlignVCenter, "collect \u00b7 download \u00b7 convert");
    return img;
}

QImage Logo()
{
    QImage img(64, 64, QImage::Format_RGB32);
    img.fill(kDeep);
    QPainter p(&img);
    DrawMark(p, QRectF(6, 6, 52, 52));
    return img;
}

// Background of the about box and the download window's panels: a quiet wash.
QImage Panel()
{
    QImage img(360, 210, QImage::Format_RGB32);
    QPainter p(&img);
    QLinearGradient g(0, 0, 0, 210);
    g.setColorAt(0, QColor(246, 249, 252));
    g.setColorAt(1, QColor(222, 233, 243));
    p.fillRect(img.rect(), g);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(255, 255, 255, 120), 14));
    for (int i = 0; i < 5; ++i)
        p.drawLine(QPointF(-40 + i * 110, 210), QPointF(60 + i * 110, 0));
    return img;
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    bool ok = Save(Banner(), "banner.jpg") && Save(Logo(), "logo.jpg") && Save(Panel(), "panel.jpg");
    return ok ? 0 : 1;
}
