#include "platform/gui/ClipboardViewer.h"
#include "platform/MessageWindow.h"

#include <QApplication>
#include <QClipboard>
#include <QMimeData>
#include <gtest/gtest.h>
#include <vector>

using namespace cw;

namespace {

struct Recorder {
    std::vector<TMessage> Messages;
    MessageWindow Window{[this](TMessage& m) { Messages.push_back(m); }};
};

TEST(ClipboardViewer, JoinedWindowIsToldOfEveryChangeAtOnceUntilItLeaves)
{
    Recorder r;
    ClipboardViewer viewer;
    EXPECT_EQ(viewer.Join(r.Window.Handle()), 0u);
    EXPECT_TRUE(viewer.Joined());

    ClipboardViewer::SetText("first");
    ClipboardViewer::SetText("second");
    ASSERT_EQ(r.Messages.size(), 2u); // sent, not posted: no loop needed
    EXPECT_EQ(r.Messages[0].Msg, WM_DRAWCLIPBOARD);
    EXPECT_EQ(r.Messages[0].WParam, 0u);

    viewer.Leave(0);
    EXPECT_FALSE(viewer.Joined());
    ClipboardViewer::SetText("third");
    EXPECT_EQ(r.Messages.size(), 2u);
}

TEST(ClipboardViewer, DestroyedViewerAndDestroyedWindowHearNothing)
{
    Recorder r;
    {
        ClipboardViewer viewer;
        viewer.Join(r.Window.Handle());
    }
    ClipboardViewer::SetText("after the viewer");
    EXPECT_TRUE(r.Messages.empty());

    ClipboardViewer viewer;
    {
        Recorder gone;
        viewer.Join(gone.Window.Handle());
    }
    ClipboardViewer::SetText("after the window"); // a dead handle is simply not reached
    SUCCEED();
}

TEST(ClipboardViewer, TextRoundTripsInTheProgramsEncodingAndNonTextIsNotText)
{
    ClipboardViewer::SetText("http://www.youtube.com/watch?v=abc\r\nZ\xc3\xbcrich");
    EXPECT_TRUE(ClipboardViewer::HasText());
    EXPECT_EQ(ClipboardViewer::Text(), "http://www.youtube.com/watch?v=abc\r\nZ\xc3\xbcrich");

    auto* data = new QMimeData;
    data->setData("application/octet-stream", QByteArray("\x01\x02", 2));
    QGuiApplication::clipboard()->setMimeData(data);
    EXPECT_FALSE(ClipboardViewer::HasText());
    EXPECT_EQ(ClipboardViewer::Text(), "");
}

} // namespace
