// The main window offscreen: settings read and written through the real settings.ini next to
// the executable, modes, the quality menu, the folder controls, the dialogs of its menu, and the
// hand-over message of a second start.
#include "AppTestSupport.h"

#include "app/About.h"
#include "app/Addurl.h"
#include "app/Login.h"
#include "convert/FormatPresets.h"
#include "global/Global.h"
#include "platform/MessageBox.h"
#include "platform/gui/SingleInstance.h"
#include "support/LogRecorder.h"
#include "ui/LinkLabel.h"

#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QTemporaryDir>

using namespace cw;
using namespace cwtest;

namespace {

// The six keys as written, in file order, read back line by line.
std::vector<std::string> SettingLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty() && line[0] != '[')
            lines.push_back(line);
    return lines;
}

class Settings : public MainWindowTest {
protected:
    std::vector<std::string> TickedQualities()
    {
        std::vector<std::string> ticked;
        for (const char* name : {"Normal1", "HQ1", "HD1", "BestAvailable1"})
            if (A(name)->isChecked())
                ticked.push_back(name);
        return ticked;
    }
};

TEST_F(Settings, WithoutASettingsFileTheWindowShowsTheDefaultsAndClosingWritesThem)
{
    Open();
    const std::string exeDir = Application::ExeDir();
    EXPECT_EQ(W<QLineEdit>("eOutputFolder")->text().toStdString(), exeDir);
    EXPECT_EQ(exeDir.back(), '/');
    EXPECT_TRUE(W<QRadioButton>("rbDownload")->isChecked());
    EXPECT_EQ(W<QComboBox>("cbFormat")->currentIndex(), 0);
    EXPECT_EQ(W<QComboBox>("cbFormat")->count(), FormatPresetCount);
    EXPECT_FALSE(W<QCheckBox>("cbAutoCopy")->isChecked());
    EXPECT_FALSE(Form->AskAddUrl());
    EXPECT_TRUE(Form->SavesSubtitles());
    EXPECT_TRUE(Form->MainMenu()->findChild<QAction*>("Subtitles1")->isChecked());
    EXPECT_EQ(TickedQualities(), std::vector<std::string>{"Normal1"});
    EXPECT_EQ(Form->Caption(), "Ostrelle Clipwarden 1.2");
    EXPECT_EQ(Form->ClientWidth(), 486);
    EXPECT_EQ(Form->ClientHeight(), 427);
    EXPECT_NE(Form->ConvertRunner(), nullptr);

    CloseWindow();
    EXPECT_FALSE(Form->isVisible());
    EXPECT_EQ(Form->ConvertRunner(), nullptr);
    std::string ini = ReadFile(SettingsPath());
    EXPECT_EQ(SettingLines(ini),
              (std::vector<std::string>{"OutputDirectory=" + exeDir, "RadioButton=0", "ConvertFormat=0", "AskAddUrl=0",
                                        "Quality=0", "Connections=4", "Jobs=2", "Subtitles=1", "Enable=0"}));
    EXPECT_NE(ini.find("[Copy]\nEnable=0"), std::string::npos) << ini;
    EXPECT_EQ(Boxes.Count(), 0u);
}

TEST_F(Settings, EverySettingRoundTripsThroughTheWindow)
{
    QTemporaryDir out;
    ASSERT_TRUE(out.isValid());
    WriteFile(SettingsPath(), "[Options]\nOutputDirectory=" + out.path().toStdString() +
                                  "\nRadioButton=2\nConvertFormat=8\nAskAddUrl=1\nQuality=3\nConnections=16\nJobs=5\nSubtitles=0\n"
                                  "[Copy]\nEnable=1\n");
    Open();
    EXPECT_EQ(W<QLineEdit>("eOutputFolder")->text(), out.path());
    EXPECT_TRUE(W<QRadioButton>("rbConvert")->isChecked());
    EXPECT_FALSE(W<QPushButton>("bPaste")->isVisible());
    EXPECT_EQ(W<QComboBox>("cbFormat")->currentIndex(), 8);
    EXPECT_EQ(Form->FormatExtension(), ".wav");
    EXPECT_EQ(Form->FormatArguments(), cw::FormatArguments(7)); // WAV shares the MP3 arguments
    EXPECT_TRUE(W<QCheckBox>("cbAutoCopy")->isChecked());
    EXPECT_TRUE(Form->AskAddUrl());
    EXPECT_EQ(Form->Quality(), vqBestAvailable);
    EXPECT_EQ(TickedQualities(), std::vector<std::string>{"BestAvailable1"});
    EXPECT_EQ(Form->Connections(), 16);
    EXPECT_TRUE(Form->MainMenu()->findChild<QAction*>("Connections16")->isChecked());
    Form->MainMenu()->findChild<QAction*>("Connections2")->trigger();
    EXPECT_EQ(Form->Connections(), 2);
    EXPECT_FALSE(Form->MainMenu()->findChild<QAction*>("Connections16")->isChecked());
    EXPECT_TRUE(Form->MainMenu()->findChild<QAction*>("Jobs5")->isChecked());
    Form->MainMenu()->findChild<QAction*>("Jobs3")->trigger();
    EXPECT_FALSE(Form->MainMenu()->findChild<QAction*>("Jobs5")->isChecked());
    QAction* subtitles = Form->MainMenu()->findChild<QAction*>("Subtitles1");
    EXPECT_FALSE(Form->SavesSubtitles());
    EXPECT_FALSE(subtitles->isChecked());
    subtitles->trigger();
    EXPECT_TRUE(Form->SavesSubtitles());
    subtitles->trigger();
    EXPECT_FALSE(Form->SavesSubtitles());

    CloseWindow();
    EXPECT_EQ(SettingLines(ReadFile(SettingsPath())),
              (std::vector<std::string>{"OutputDirectory=" + out.path().toStdString(), "RadioButton=2",
                                        "ConvertFormat=8", "AskAddUrl=1", "Quality=3", "Connections=2", "Jobs=3",
                                        "Subtitles=0",
                                        "Enable=1"}));
}

TEST_F(Settings, OutOfRangeAndGarbageValuesFallBackWithoutValidatingTheRest)
{
    WriteFile(SettingsPath(), "[Options]\nRadioButton=abc\nConvertFormat=42\nQuality=7\nConnections=3\nJobs=9\nAskAddUrl=yes\n"
                              "[Copy]\nEnable=-5\n");
    Open();
    EXPECT_EQ(Form->Quality(), vqNormal);
    EXPECT_EQ(Form->Connections(), 4);
    EXPECT_TRUE(Form->MainMenu()->findChild<QAction*>("Jobs2")->isChecked()); // 1 to 8 only
    EXPECT_EQ(TickedQualities(), std::vector<std::string>{"Normal1"});
    EXPECT_TRUE(W<QRadioButton>("rbDownload")->isChecked()); // not a number: the default 0
    EXPECT_EQ(W<QComboBox>("cbFormat")->currentIndex(), -1); // outside the list: no selection
    EXPECT_EQ(Form->FormatArguments(), "");
    EXPECT_EQ(Form->FormatExtension(), "");
    EXPECT_FALSE(Form->AskAddUrl());                      // not a number: false
    EXPECT_TRUE(W<QCheckBox>("cbAutoCopy")->isChecked()); // any non-zero number is true

    CloseWindow();
    std::vector<std::string> lines = SettingLines(ReadFile(SettingsPath()));
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Quality=0"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "ConvertFormat=-1"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Enable=1"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Jobs=2"), lines.end());
}

TEST_F(Settings, UnknownModeLeavesTheControlsAsDesigned)
{
    WriteFile(SettingsPath(), "[Options]\nRadioButton=5\n");
    Open();
    EXPECT_TRUE(W<QRadioButton>("rbDownload")->isChecked());
    EXPECT_TRUE(W<QPushButton>("bPaste")->isVisible());
    EXPECT_TRUE(W<QPushButton>("bSelectFile")->isVisible());
    EXPECT_EQ(W<QPushButton>("bSelectFile")->pos(), W<QPushButton>("bPaste")->pos());
    EXPECT_FALSE(W<QLabel>("lUrlEnd")->isVisible());
    EXPECT_EQ(W<QLabel>("lVideo")->text(), "Paste video URL (Example: ");
    EXPECT_TRUE(W<QComboBox>("cbFormat")->isEnabled());
    EXPECT_EQ(Form->JobModeSetting(), 5);
    CloseWindow();
    EXPECT_EQ(Form->JobModeSetting(), 0); // saved from the selected radio button
}

TEST_F(Settings, BinaryJunkAndAFolderInPlaceOfTheFileReadAsDefaults)
{
    std::string junk;
    for (int i = 0; i < 4096; ++i)
        junk += static_cast<char>((i * 7919) & 0xFF);
    WriteFile(SettingsPath(), junk);
    Open();
    EXPECT_EQ(Form->Quality(), 0);
    EXPECT_EQ(Form->OutputDirectory(), Application::ExeDir());
    Form.reset();

    RemoveSettings();
    std::filesystem::create_directory(SettingsPath());
    Open();
    EXPECT_EQ(Form->OutputDirectory(), Application::ExeDir());
    EXPECT_TRUE(W<QRadioButton>("rbDownload")->isChecked());
}

TEST_F(Settings, UnwritableSettingsFileDoesNotStopTheWindowFromClosing)
{
    std::filesystem::create_directory(SettingsPath()); // rename onto a folder fails, also for root
    LogRecorder log;
    Open();
    W<QCheckBox>("cbAutoCopy")->click();
    ASSERT_TRUE(Form->AutoCopy());
    CloseWindow();
    EXPECT_FALSE(Form->isVisible());
    EXPECT_EQ(Boxes.Count(), 0u); // no box, but the reason is not lost either
    EXPECT_EQ(log.Count("main window", {"settings not saved", "Cannot write", SettingsPath()}), 1) << log.Text();
    EXPECT_EQ(Form->ConvertRunner(), nullptr); // the later closing steps still ran
    ClipboardViewer::SetText("http://www.youtube.com/watch?v=after-close");
    EXPECT_EQ(Form->ItemCount(), 0); // out of the clipboard chain
}

TEST_F(Settings, TypedFolderIsSavedOnlyWhenItExistsOrWasTakenByShowFiles)
{
    QTemporaryDir out;
    ASSERT_TRUE(out.isValid());
    const std::string missing = out.path().toStdString() + "/not/there";
    const std::string exeDir = Application::ExeDir();

    Open();
    W<QLineEdit>("eOutputFolder")->setText(QString::fromStdString(missing));
    CloseWindow();
    EXPECT_EQ(SettingLines(ReadFile(SettingsPath()))[0], "OutputDirectory=" + exeDir);
    Form.reset();

    Open();
    W<QLineEdit>("eOutputFolder")->setText(out.path());
    CloseWindow();
    EXPECT_EQ(SettingLines(ReadFile(SettingsPath()))[0], "OutputDirectory=" + out.path().toStdString());
    Form.reset();

    // Show Files takes the typed text even though the folder is missing, and says so.
    Open();
    W<QLineEdit>("eOutputFolder")->setText(QString::fromStdString(missing));
    W<QPushButton>("bShowFiles")->click();
    ASSERT_EQ(Boxes.Count(), 1u);
    EXPECT_EQ(Boxes.Boxes()[0].Text, missing + ", the output directory does not exist.");
    EXPECT_EQ(Boxes.Boxes()[0].Caption, "Ostrelle Clipwarden");
    EXPECT_EQ(Boxes.Boxes()[0].Flags, MB_OK | MB_ICONERROR);
    EXPECT_FALSE(std::filesystem::exists(missing));
    EXPECT_TRUE(Opened.empty());
    CloseWindow();
    EXPECT_EQ(SettingLines(ReadFile(SettingsPath()))[0], "OutputDirectory=" + missing);
}

TEST_F(MainWindowTest, ShowFilesOpensAnExistingFolderAndLinksOpenTheirAddresses)
{
    QTemporaryDir out;
    ASSERT_TRUE(out.isValid());
    Open();
    W<QLineEdit>("eOutputFolder")->setText(out.path());
    W<QPushButton>("bShowFiles")->click();
    A("Homepage1")->trigger();
    Form->lTitleClick();
    EXPECT_EQ(Opened, (std::vector<std::string>{out.path().toStdString(), TfrmMain::HomePage, TfrmMain::MakerSite}));
    EXPECT_EQ(Boxes.Count(), 0u);
}

TEST_F(MainWindowTest, ModeSwitchingShowsTheControlsOfEachModeAndKeepsTheList)
{
    Open();
    Form->AddItem("http://www.youtube.com/watch?v=one");
    auto* autoCopy = W<QCheckBox>("cbAutoCopy");
    const QColor windowText = Form->palette().color(QPalette::WindowText);

    W<QRadioButton>("rbConvert")->click();
    EXPECT_FALSE(W<QPushButton>("bPaste")->isVisible());
    EXPECT_TRUE(W<QPushButton>("bSelectFile")->isVisible());
    EXPECT_EQ(W<QPushButton>("bSelectFile")->pos(), W<QPushButton>("bPaste")->pos());
    EXPECT_FALSE(autoCopy->isEnabled());
    EXPECT_EQ(autoCopy->palette().color(QPalette::Disabled, QPalette::WindowText), QColor(128, 128, 128));
    EXPECT_EQ(W<QLabel>("lVideo")->text(), "Select video file:");
    EXPECT_FALSE(W<QLabel>("lUrl")->isVisible());
    EXPECT_FALSE(W<QLabel>("lUrlEnd")->isVisible());
    EXPECT_TRUE(W<QComboBox>("cbFormat")->isEnabled());
    EXPECT_FALSE(A("miPaste")->isVisible());
    EXPECT_TRUE(A("miBrowser")->isVisible());
    EXPECT_EQ(Items(), std::vector<std::string>{"http://www.youtube.com/watch?v=one"});

    W<QRadioButton>("rbDownload")->click();
    EXPECT_TRUE(W<QPushButton>("bPaste")->isVisible());
    EXPECT_FALSE(W<QPushButton>("bSelectFile")->isVisible());
    EXPECT_TRUE(autoCopy->isEnabled());
    EXPECT_EQ(autoCopy->palette().color(QPalette::Active, QPalette::WindowText), windowText);
    EXPECT_EQ(W<QLabel>("lVideo")->text(), "Enter video URL (Example: ");
    EXPECT_TRUE(W<QLabel>("lUrlEnd")->isVisible());
    EXPECT_FALSE(W<QComboBox>("cbFormat")->isEnabled());
    EXPECT_FALSE(W<QLabel>("lConvertTo")->isEnabled());
    EXPECT_TRUE(A("miPaste")->isVisible());
    EXPECT_FALSE(A("miBrowser")->isVisible());

    W<QRadioButton>("rbDownloadConvert")->click();
    EXPECT_TRUE(W<QComboBox>("cbFormat")->isEnabled());
    EXPECT_TRUE(W<QPushButton>("bPaste")->isVisible());
    EXPECT_EQ(Form->ItemCount(), 1);
}

TEST_F(MainWindowTest, QualityMenuTicksExactlyTheChosenItem)
{
    Open();
    A("HD1")->trigger();
    EXPECT_EQ(Form->Quality(), vqHD);
    EXPECT_TRUE(A("HD1")->isChecked());
    A("HQ1")->trigger();
    EXPECT_EQ(Form->Quality(), vqHQ);
    EXPECT_FALSE(A("HD1")->isChecked());
    EXPECT_FALSE(A("Normal1")->isChecked());
    A("HQ1")->trigger(); // choosing the ticked item again keeps it ticked
    EXPECT_TRUE(A("HQ1")->isChecked());
    EXPECT_EQ(A("BestAvailable1")->property("Tag").toInt(), 3);
    EXPECT_FALSE(A("miSetYouTubeaccount")->isVisible());

    QList<QAction*> menu = Form->MainMenu()->actions();
    ASSERT_EQ(menu.size(), 10);
    EXPECT_EQ(menu[0]->text(), "&Home Page");
    EXPECT_EQ(menu[2]->menu()->title(), "Youtube Download Quality");
    EXPECT_EQ(menu[3]->menu()->title(), "Connections per file");
    EXPECT_EQ(menu[4]->menu()->title(), "Jobs");
    EXPECT_EQ(menu[5]->text(), "Save subtitles");
    EXPECT_EQ(menu[9]->text(), "&About...");
}

TEST_F(MainWindowTest, FolderBrowserFillsTheFolderOnlyWhenAFolderIsChosen)
{
    QTemporaryDir out;
    ASSERT_TRUE(out.isValid());
    Open();
    const QString before = W<QLineEdit>("eOutputFolder")->text();
    NextFolder.reset();
    W<QPushButton>("bBrowser")->click();
    EXPECT_EQ(W<QLineEdit>("eOutputFolder")->text(), before);
    EXPECT_EQ(FolderTitles, std::vector<std::string>{"Please select the directory to add"});

    NextFolder = out.path().toStdString();
    W<QPushButton>("bBrowser")->click();
    EXPECT_EQ(W<QLineEdit>("eOutputFolder")->text(), out.path());
    EXPECT_EQ(Form->OutputDirectory(), out.path().toStdString());
}

TEST_F(MainWindowTest, AccountDialogRefusesEmptyFieldsAndRemembersTheValuesInMemoryOnly)
{
    Open();
    std::vector<std::string> seenCaption;
    WhenModal<TfrmLogin>([&](TfrmLogin* login) {
        seenCaption.push_back(login->Caption());
        login->bOKClick(); // both empty
        login->SetUsername("anna");
        login->bOKClick(); // password missing
        EXPECT_EQ(login->ModalResult(), mrNone);
        login->SetPassword("s3cret");
        login->findChild<QPushButton*>("bOK")->click();
    });
    Form->miSetYouTubeaccountClick();
    ASSERT_EQ(Boxes.Count(), 2u);
    EXPECT_EQ(Boxes.Boxes()[0].Text, "Please enter Username.");
    EXPECT_EQ(Boxes.Boxes()[1].Text, "Please enter Password.");
    EXPECT_EQ(Boxes.Boxes()[1].Flags, MB_OK | MB_ICONINFORMATION);
    EXPECT_EQ(seenCaption, std::vector<std::string>{"Member Login"});
    EXPECT_EQ(Form->AccountName(), "anna");
    EXPECT_EQ(Form->AccountPassword(), "s3cret");

    // Next time the dialog comes pre-filled; Cancel keeps the values.
    std::string prefilled;
    WhenModal<TfrmLogin>([&](TfrmLogin* login) {
        prefilled = login->Username() + "/" + login->Password();
        login->SetUsername("bert");
        login->findChild<QPushButton*>("bCancel")->click();
    });
    Form->miSetYouTubeaccountClick();
    EXPECT_EQ(prefilled, "anna/s3cret");
    EXPECT_EQ(Form->AccountName(), "anna");

    CloseWindow();
    EXPECT_EQ(ReadFile(SettingsPath()).find("anna"), std::string::npos);
}

TEST_F(MainWindowTest, AboutBoxShowsTitleVersionAndLinksToTheHomePage)
{
    Open();
    std::string title, version, caption;
    WhenModal<TfrmAbout>([&](TfrmAbout* about) {
        caption = about->Caption();
        title = about->findChild<QLabel*>("lTitle")->text().toStdString();
        version = about->findChild<QLabel*>("lVersion")->text().toStdString();
        auto* link = about->findChild<LinkLabel*>("lHomePage");
        ASSERT_NE(link, nullptr);
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(2, 2), link->mapToGlobal(QPointF(2, 2)), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QMouseEvent release(QEvent::MouseButtonRelease, QPointF(2, 2), link->mapToGlobal(QPointF(2, 2)), Qt::LeftButton,
                            Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(link, &press);
        QApplication::sendEvent(link, &release);
        about->findChild<QPushButton*>("bOK")->click();
    });
    A("About1")->trigger();
    EXPECT_EQ(caption, "About Ostrelle Clipwarden");
    EXPECT_EQ(title, "Ostrelle Clipwarden");
    EXPECT_EQ(version, "Version: 1.2   Build 20101203");
    EXPECT_EQ(Opened, std::vector<std::string>{TfrmMain::HomePage});
}

TEST_F(MainWindowTest, ShowInstanceMessageBringsAHiddenOrMinimisedWindowBack)
{
    Open();
    Form->hide();
    ASSERT_FALSE(Form->isVisible());
    Form->PostMessage(WM_SHOW_INSTANCE);
    Application::ProcessMessages();
    EXPECT_TRUE(Form->isVisible());

    Form->showMinimized();
    Form->SendMessage(WM_SHOW_INSTANCE);
    EXPECT_FALSE(Form->isMinimized());
    EXPECT_TRUE(Form->isVisible());
}

TEST_F(MainWindowTest, MenuLabelPopsUpTheMainMenuAndExitClosesTheWindow)
{
    Open();
    Form->iAboutClick();
    EXPECT_TRUE(Form->MainMenu()->isVisible());
    Form->MainMenu()->close();
    W<QPushButton>("bExit")->click();
    EXPECT_FALSE(Form->isVisible());
    EXPECT_TRUE(std::filesystem::exists(SettingsPath()));
}

} // namespace

TEST_F(MainWindowTest, EscapeClosesTheSmallDialogsAsCancel)
{
    Open();
    const auto escapeWhenModal = [](TForm& dialog) {
        int seen = -1;
        auto* timer = new QTimer;
        timer->setInterval(10);
        QObject::connect(timer, &QTimer::timeout, [timer, &dialog, &seen] {
            if (QApplication::activeModalWidget() != &dialog || !dialog.isVisible())
                return;
            timer->stop();
            timer->deleteLater();
            // Pressed in the control that has the focus, as the user would; the dialog gets it
            // when the control does not use it.
            QWidget* target = dialog.focusWidget() ? dialog.focusWidget() : &dialog;
            QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QApplication::sendEvent(target, &escape);
            seen = dialog.ModalResult();
        });
        timer->start();
        const int result = dialog.ShowModal();
        EXPECT_EQ(mrCancel, seen) << dialog.Caption();
        return result;
    };
    TfrmAddurl addurl(*Form);
    addurl.SetUrlText("http://www.youtube.com/watch?v=esc");
    EXPECT_EQ(mrCancel, escapeWhenModal(addurl));
    EXPECT_EQ(0, Form->ItemCount());
    TfrmLogin login(Form.get());
    login.SetUsername("carl");
    login.SetPassword("pw");
    EXPECT_EQ(mrCancel, escapeWhenModal(login));
    EXPECT_EQ("", Form->AccountName());
    TfrmAbout about(Form.get());
    EXPECT_EQ(mrCancel, escapeWhenModal(about));
    EXPECT_EQ(0u, Boxes.Count());
}
