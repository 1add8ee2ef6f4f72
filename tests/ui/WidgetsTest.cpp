#include "platform/Shell.h"
#include "support/MessageBoxRecorder.h"
#include "ui/HoverImage.h"
#include "ui/LinkLabel.h"
#include "ui/PercentProgressBar.h"

#include <QApplication>
#include <QEnterEvent>
#include <QMouseEvent>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace cw;

namespace {

void Send(QWidget* w, QEvent::Type type, QPoint at, Qt::MouseButton button = Qt::LeftButton)
{
    QMouseEvent e(type, QPointF(at), w->mapToGlobal(QPointF(at)), button,
                  type == QEvent::MouseButtonRelease ? Qt::NoButton : button, Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}

void Click(QWidget* w, QPoint at, QPoint releaseAt)
{
    Send(w, QEvent::MouseButtonPress, at);
    Send(w, QEvent::MouseButtonRelease, releaseAt);
}

void Enter(QWidget* w)
{
    QEnterEvent e(QPointF(1, 1), QPointF(1, 1), w->mapToGlobal(QPointF(1, 1)));
    QApplication::sendEvent(w, &e);
}

void Leave(QWidget* w)
{
    QEvent e(QEvent::Leave);
    QApplication::sendEvent(w, &e);
}

TEST(PercentProgressBar, PercentOfLargeByteCountsAndOddRanges)
{
    PercentProgressBar bar;
    const std::int64_t tenGB = 10LL * 1024 * 1024 * 1024;
    bar.SetMax(tenGB);
    bar.SetPosition(tenGB / 2);
    EXPECT_EQ(bar.Percent(), 50);
    EXPECT_EQ(bar.Text(), "50%");
    bar.SetPosition(tenGB - 1);
    EXPECT_EQ(bar.Percent(), 99); // never 100% before the last byte
    bar.SetPosition(tenGB + 5);
    EXPECT_EQ(bar.Percent(), 100);

    bar.SetMax(INT64_MAX);
    bar.SetPosition(INT64_MAX / 4 * 3);
    EXPECT_EQ(bar.Percent(), 74); // rounded down
    bar.SetPosition(INT64_MAX - 1);
    EXPECT_EQ(bar.Percent(), 99);

    bar.SetMax(0); // a size not known yet
    bar.SetPosition(1234);
    EXPECT_EQ(bar.Percent(), 0);

    bar.setRange(0, 100);
    bar.setValue(-3);
    EXPECT_EQ(bar.Percent(), 0);
    bar.setValue(42);
    EXPECT_EQ(bar.Text(), "42%");
    bar.resize(200, 20);
    EXPECT_FALSE(bar.grab().isNull());
}

TEST(HoverImage, LightsUpUnderTheMouseAndClicksOnlyWhenReleasedInside)
{
    HoverImage image;
    QImage picture(20, 10, QImage::Format_RGB32);
    picture.fill(qRgb(100, 100, 100));
    image.SetPicture(picture);
    image.resize(20, 10);
    image.show();
    int clicks = 0;
    image.OnClick = [&] { ++clicks; };

    QImage normal = image.grab().toImage();
    Enter(&image);
    EXPECT_TRUE(image.Hovered());
    QImage lit = image.grab().toImage();
    EXPECT_GT(qRed(lit.pixel(10, 5)), qRed(normal.pixel(10, 5)));
    Leave(&image);
    EXPECT_FALSE(image.Hovered());

    Click(&image, {5, 5}, {6, 6});
    EXPECT_EQ(clicks, 1);
    Click(&image, {5, 5}, {60, 6}); // dragged off before letting go
    EXPECT_EQ(clicks, 1);
    Send(&image, QEvent::MouseButtonPress, {5, 5}, Qt::RightButton);
    Send(&image, QEvent::MouseButtonRelease, {5, 5}, Qt::RightButton);
    EXPECT_EQ(clicks, 1);
    image.hide();
}

TEST(LinkLabel, ClickOpensItsAddressThroughTheShellUnlessAHandlerIsSet)
{
    std::vector<std::string> opened;
    Shell::Handlers handlers;
    handlers.Open = [&](const std::string& target) {
        opened.push_back(target);
        return false; // a failing shell is not reported
    };
    Shell::Handlers previous = Shell::SetHandlers(handlers);
    cwtest::MessageBoxRecorder boxes;

    LinkLabel link;
    link.setText("home page");
    link.resize(80, 16);
    link.SetUrl("http://www.ostrelle.example/clipwarden/");
    Enter(&link);
    EXPECT_TRUE(link.font().underline());
    Leave(&link);
    EXPECT_FALSE(link.font().underline());

    Click(&link, {3, 3}, {4, 4});
    EXPECT_EQ(opened, std::vector<std::string>{"http://www.ostrelle.example/clipwarden/"});
    EXPECT_EQ(boxes.Count(), 0u);

    int handled = 0;
    link.OnClick = [&] { ++handled; };
    Click(&link, {3, 3}, {4, 4});
    EXPECT_EQ(handled, 1);
    EXPECT_EQ(opened.size(), 1u);
    Shell::SetHandlers(previous);
}

} // namespace
