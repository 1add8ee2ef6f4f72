// What the address list takes by drag and drop and by its keys, driven by the events a real drag
// or key press delivers: text and links go by the rules of Paste (without its question), local
// files in convert mode by the rules of Browser..., Ctrl+V pastes and Delete removes.
#include "AppTestSupport.h"

#include "global/Global.h"

#include <QDropEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QUrl>

using namespace cw;
using namespace cwtest;

namespace {

class ListInput : public MainWindowTest {
protected:
    // Drags data over the list's viewport and drops it, as a real drag does. Returns whether the
    // list accepted the drag when it entered.
    bool Drop(const QMimeData& data)
    {
        QWidget* target = List()->viewport();
        const QPoint at(20, 20);
        QDragEnterEvent enter(at, Qt::CopyAction | Qt::LinkAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        QDropEvent drop(QPointF(at), Qt::CopyAction | Qt::LinkAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &drop);
        EXPECT_EQ(drop.isAccepted(), enter.isAccepted());
        return enter.isAccepted();
    }
    static std::unique_ptr<QMimeData> Text(const std::string& text)
    {
        auto data = std::make_unique<QMimeData>();
        data->setText(QString::fromStdString(text));
        return data;
    }
    static std::unique_ptr<QMimeData> Urls(const QList<QUrl>& urls)
    {
        auto data = std::make_unique<QMimeData>();
        data->setUrls(urls);
        return data;
    }
    void Key(int key, Qt::KeyboardModifiers modifiers)
    {
        QKeyEvent press(QEvent::KeyPress, key, modifiers);
        QApplication::sendEvent(List(), &press);
    }
};

TEST_F(ListInput, DroppedTextAddsOnlyNewVideoAddressesAndNeverAsks)
{
    Open();
    Form->AddItem(kOne);
    EXPECT_TRUE(Drop(*Text(kOne + "\r\n" + kTwo + "\r\nsee www.youtube.com/user/someone\r\n" + kTwo +
                           "\r\nhttps://news.example.org/story")));
    EXPECT_EQ(Items(), (std::vector<std::string>{kOne, kTwo, "https://news.example.org/story"}));
    EXPECT_EQ(Form->ItemIndex(), 2);

    // Nothing usable: text without an address, only duplicates, a video-cache link. Paste would
    // offer the add-address dialog here; a drop says nothing.
    Drop(*Text("just some words"));
    Drop(*Text(kTwo));
    Drop(*Text(kCache));
    EXPECT_EQ(Items(), (std::vector<std::string>{kOne, kTwo, "https://news.example.org/story"}));
    EXPECT_EQ(Boxes.Count(), 0u);
}

TEST_F(ListInput, DroppedLinksAreTakenOnePerLineAndLocalFilesAreRefusedInDownloadMode)
{
    Open();
    auto links = Urls({QUrl(QString::fromStdString(kThree)), QUrl(QString::fromStdString(kCache)),
                       QUrl(QString::fromStdString(kTwo)), QUrl::fromLocalFile("/videos/a.flv")});
    links->setText(QStringLiteral("a caption the browser adds"));
    EXPECT_TRUE(Drop(*links));
    // The cache link stands on the second line, so only a whole text starting with it is ignored.
    EXPECT_EQ(Items(), (std::vector<std::string>{kThree, kTwo}));

    W<QRadioButton>("rbDownloadConvert")->click();
    EXPECT_FALSE(Drop(*Urls({QUrl::fromLocalFile("/videos/b.flv")})));
    EXPECT_EQ(Form->ItemCount(), 2);
    EXPECT_EQ(Boxes.Count(), 0u);
}

TEST_F(ListInput, ConvertModeTakesDroppedFilesLikeTheChooserAndRefusesText)
{
    Open();
    W<QRadioButton>("rbConvert")->click();
    Form->AddItem("/videos/a.flv");
    Form->SetItemIndex(0);
    EXPECT_TRUE(Drop(*Urls({QUrl::fromLocalFile("/videos/b.flv"), QUrl::fromLocalFile("/VIDEOS/A.FLV"),
                            QUrl(QString::fromStdString(kOne)), QUrl::fromLocalFile("/videos/my clip.mp4")})));
    EXPECT_EQ(Items(), (std::vector<std::string>{"/videos/a.flv", "/videos/b.flv", "/videos/my clip.mp4"}));
    EXPECT_EQ(Form->ItemIndex(), 0); // as with the chooser, the selection stays

    EXPECT_FALSE(Drop(*Text(kOne)));
    EXPECT_EQ(Form->ItemCount(), 3);
}

TEST_F(ListInput, CtrlVPastesInTheDownloadModesOnlyAndDeleteRemovesTheSelectedItem)
{
    Open();
    ClipboardViewer::SetText(kOne + "\n" + kTwo);
    Key(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(Items(), (std::vector<std::string>{kOne, kTwo}));
    EXPECT_EQ(Form->ItemIndex(), 1);

    // Nothing new on the clipboard: Ctrl+V asks, as the button does.
    Boxes.QueueAnswer(IDNO);
    Key(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(Boxes.Count(), 1u);

    Form->SetItemIndex(0);
    Key(Qt::Key_Delete, Qt::NoModifier);
    EXPECT_EQ(Items(), std::vector<std::string>{kTwo});
    EXPECT_EQ(Form->ItemIndex(), 0);

    W<QRadioButton>("rbConvert")->click();
    ClipboardViewer::SetText(kThree);
    Key(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(Items(), std::vector<std::string>{kTwo});
    EXPECT_EQ(Boxes.Count(), 1u); // no question in convert mode either
    Key(Qt::Key_Delete, Qt::NoModifier);
    EXPECT_EQ(Form->ItemCount(), 0);
}

} // namespace
