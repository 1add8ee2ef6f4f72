// The real dialogs behind MessageBox and Shell, driven offscreen: a timer finds the dialog once
// it is up, checks it and answers it the way a user would.
#include "platform/MessageBox.h"
#include "platform/Shell.h"
#include "platform/gui/Form.h"
#include "platform/gui/MessageBoxDialog.h"
#include "platform/gui/ShellDialogs.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <functional>
#include <gtest/gtest.h>

using namespace cw;

namespace {

// Run action on the first modal widget of type T once it is showing.
template <class T> void WhenShown(std::function<void(T*)> action)
{
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, action] {
        if (auto* w = qobject_cast<T*>(QApplication::activeModalWidget()); w && w->isVisible()) {
            timer->stop();
            timer->deleteLater();
            action(w);
        }
    });
    timer->start();
}

struct SeenBox {
    QMessageBox::Icon Icon = QMessageBox::NoIcon;
    QString Title, Text;
    QStringList Buttons;
    QString Default;
    QWidget* Parent = nullptr;
};

SeenBox Inspect(QMessageBox* box)
{
    SeenBox s;
    s.Icon = box->icon();
    s.Title = box->windowTitle();
    s.Text = box->text();
    for (QAbstractButton* b : box->buttons())
        s.Buttons << b->text().remove('&');
    if (box->defaultButton())
        s.Default = box->defaultButton()->text().remove('&');
    s.Parent = box->parentWidget();
    return s;
}

TEST(MessageBoxDialog, ErrorBoxShowsIconCaptionAndPlainTextWithLineBreaks)
{
    SeenBox seen;
    WhenShown<QMessageBox>([&](QMessageBox* box) {
        seen = Inspect(box);
        box->button(QMessageBox::Ok)->click();
    });
    int answer =
        ShowMessageBoxDialog("C:\\x, <b>not</b> there.\r\nSecond line", "Ostrelle Clipwarden", MB_OK | MB_ICONERROR);
    EXPECT_EQ(answer, IDOK);
    EXPECT_EQ(seen.Icon, QMessageBox::Critical);
    EXPECT_EQ(seen.Title, "Ostrelle Clipwarden");
    EXPECT_EQ(seen.Text, "C:\\x, <b>not</b> there.\nSecond line");
    EXPECT_EQ(seen.Buttons, QStringList{"OK"});
}

TEST(MessageBoxDialog, YesNoQuestionMapsAnswersAndDefaultButton)
{
    SeenBox seen;
    WhenShown<QMessageBox>([&](QMessageBox* box) {
        seen = Inspect(box);
        box->button(QMessageBox::Yes)->click();
    });
    EXPECT_EQ(ShowMessageBoxDialog("Add?", "T", MB_YESNO | MB_ICONINFORMATION), IDYES);
    EXPECT_EQ(seen.Icon, QMessageBox::Information);
    EXPECT_EQ(seen.Default, "Yes");
    EXPECT_EQ(seen.Buttons.size(), 2);

    WhenShown<QMessageBox>([&](QMessageBox* box) {
        seen = Inspect(box);
        box->button(QMessageBox::No)->click();
    });
    EXPECT_EQ(ShowMessageBoxDialog("Add?", "T", MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2), IDNO);
    EXPECT_EQ(seen.Icon, QMessageBox::Question);
    EXPECT_EQ(seen.Default, "No");
}

TEST(MessageBoxDialog, EscapeOnAYesNoBoxMeansNo)
{
    WhenShown<QMessageBox>([](QMessageBox* box) {
        QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(box, &esc);
    });
    EXPECT_EQ(ShowMessageBoxDialog("Sure?", "T", MB_YESNO), IDNO);
}

TEST(MessageBoxDialog, BoxIsOwnedByTheActiveModalWindowAndInstallsAsTheHandler)
{
    InstallMessageBoxDialog();
    TForm form;
    SeenBox seen;
    int answer = 0;
    QTimer::singleShot(0, &form, [&] {
        WhenShown<QMessageBox>([&](QMessageBox* box) {
            seen = Inspect(box);
            box->button(QMessageBox::Ok)->click();
        });
        answer = MessageBox("Please enter Username.", "Ostrelle Clipwarden", MB_OK | MB_ICONINFORMATION);
        form.SetModalResult(mrOk);
    });
    form.ShowModal();
    SetMessageBoxHandler({});
    EXPECT_EQ(answer, IDOK);
    EXPECT_EQ(seen.Parent, &form);
    EXPECT_EQ(seen.Text, "Please enter Username.");
}

// Records what QDesktopServices is asked to open, per scheme.
class UrlSink : public QObject {
    Q_OBJECT
public:
    QList<QUrl> Opened;
public slots:
    void open(const QUrl& url) { Opened << url; }
};

TEST(ShellDialogs, OpenSendsFoldersAsLocalFilesAndTextAsWebAddresses)
{
    UrlSink sink;
    QDesktopServices::setUrlHandler("file", &sink, "open");
    QDesktopServices::setUrlHandler("http", &sink, "open");
    QDesktopServices::setUrlHandler("https", &sink, "open");
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());

    EXPECT_TRUE(ShellDialogs::Open(dir.path().toStdString()));
    EXPECT_TRUE(ShellDialogs::Open("http://www.example.org/a?b=1"));
    EXPECT_TRUE(ShellDialogs::Open("www.example.org"));
    EXPECT_FALSE(ShellDialogs::Open(""));

    QDesktopServices::unsetUrlHandler("file");
    QDesktopServices::unsetUrlHandler("http");
    QDesktopServices::unsetUrlHandler("https");
    ASSERT_EQ(sink.Opened.size(), 3);
    EXPECT_TRUE(sink.Opened[0].isLocalFile());
    EXPECT_EQ(sink.Opened[0].toLocalFile(), dir.path());
    EXPECT_EQ(sink.Opened[1].toString(), "http://www.example.org/a?b=1");
    EXPECT_EQ(sink.Opened[2].host(), "www.example.org");
}

TEST(ShellDialogs, FileChooserMapsTheFilterAndReturnsEveryChosenFile)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const char* name : {"a.flv", "b.FLV", "notes"}) {
        QFile f(dir.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }

    QStringList filters;
    QString selectedFilter;
    QFileDialog::FileMode mode{};
    WhenShown<QFileDialog>([&](QFileDialog* dialog) {
        filters = dialog->nameFilters();
        selectedFilter = dialog->selectedNameFilter();
        mode = dialog->fileMode();
        dialog->setDirectory(dir.path());
        dialog->selectNameFilter(filters.value(1)); // "Any file": a file without a dot shows too
        // The dialog reads folders on a worker thread and may rewrite the name box when it is
        // done; pick the files as a user would, once the folder is on screen.
        auto* model = dialog->findChild<QFileSystemModel*>();
        ASSERT_NE(model, nullptr);
        QElapsedTimer t;
        t.start();
        while (model->rowCount(model->index(dir.path())) < 3 && t.elapsed() < 5000)
            QApplication::processEvents(QEventLoop::AllEvents, 20);
        EXPECT_EQ(model->rowCount(model->index(dir.path())), 3);
        auto* nameBox = dialog->findChild<QLineEdit*>("fileNameEdit");
        ASSERT_NE(nameBox, nullptr);
        EXPECT_EQ(nameBox->text(), "");          // starts without a file name
        nameBox->setText("\"a.flv\" \"notes\""); // typed, as the dialog writes several names
        QMetaObject::invokeMethod(dialog, "accept");
        // Anything still open now (a "file not found" box, the dialog itself) fails the test
        // instead of hanging it.
        QTimer::singleShot(2000, [] {
            while (QWidget* w = QApplication::activeModalWidget()) {
                ADD_FAILURE() << "dialog still open: " << w->metaObject()->className();
                w->close();
                if (auto* d = qobject_cast<QDialog*>(w))
                    d->reject();
            }
        });
    });
    std::vector<std::string> chosen = ShellDialogs::ChooseFiles("Open", "Flv files(*.flv)|*.flv| Any file(*.*)|*.*");

    ASSERT_EQ(filters.size(), 2);
    EXPECT_EQ(filters[0], "Flv files(*.flv) (*.flv)");
    EXPECT_TRUE(filters[1].endsWith("(*)")) << filters[1].toStdString(); // "*.*" means every file
    EXPECT_EQ(selectedFilter, filters[0]);
    EXPECT_EQ(mode, QFileDialog::ExistingFiles);
    ASSERT_EQ(chosen.size(), 2u);
    EXPECT_EQ(chosen[0], dir.filePath("a.flv").toStdString());
    EXPECT_EQ(chosen[1], dir.filePath("notes").toStdString());
}

TEST(ShellDialogs, CancelledChoosersAnswerNothing)
{
    WhenShown<QFileDialog>([](QFileDialog* dialog) { dialog->reject(); });
    EXPECT_TRUE(ShellDialogs::ChooseFiles("Open", "Any|*").empty());
    WhenShown<QFileDialog>([](QFileDialog* dialog) { dialog->reject(); });
    EXPECT_FALSE(ShellDialogs::ChooseFolder("Pick").has_value());
}

TEST(ShellDialogs, FolderChooserReturnsTheChosenFolderThroughTheShellHook)
{
    ShellDialogs::InstallHandlers();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(QDir(dir.path()).mkdir("out"));
    QString title;
    WhenShown<QFileDialog>([&](QFileDialog* dialog) {
        title = dialog->windowTitle();
        EXPECT_EQ(dialog->fileMode(), QFileDialog::Directory);
        dialog->setDirectory(dir.filePath("out")); // the user opened the folder and pressed Choose
        QMetaObject::invokeMethod(dialog, "accept");
    });
    std::optional<std::string> folder = Shell::ChooseFolder("Please select the directory to add");
    Shell::SetHandlers({});
    EXPECT_EQ(title, "Please select the directory to add");
    ASSERT_TRUE(folder.has_value());
    EXPECT_EQ(*folder, dir.filePath("out").toStdString());
}

} // namespace

#include "DialogsTest.moc"
