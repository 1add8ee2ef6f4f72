#include "app/Main.h"

#include "app/About.h"
#include "app/Login.h"
#include "convert/ConvertThread.h"
#include "convert/FormatPresets.h"
#include "global/Global.h"
#include "platform/Application.h"
#include "platform/Files.h"
#include "platform/IniFile.h"
#include "platform/Log.h"
#include "platform/MessageBox.h"
#include "platform/SettingsLocation.h"
#include "platform/Shell.h"
#include "platform/Text.h"
#include "platform/gui/QtGlue.h"
#include "platform/gui/SingleInstance.h"
#include "ui/JpegImage.h"
#include "ui_Main.h"

#include <QActionGroup>
#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QScreen>

namespace cw {

const char* const TfrmMain::HomePage = "http://www.ostrelle.example/clipwarden/";
const char* const TfrmMain::MakerSite = "http://www.ostrelle.example/";
const char* const TfrmMain::ExampleUrl = "http://www.youtube.com/watch?v=AbCdEfGhIjK";

namespace {

const char* const kOptions = "Options";
const char* const kCopy = "Copy";

void SetTextColour(QWidget* w, const QColor& colour)
{
    QPalette pal = w->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        pal.setColor(group, QPalette::WindowText, colour);
        pal.setColor(group, QPalette::Text, colour);
        pal.setColor(group, QPalette::ButtonText, colour);
    }
    w->setPalette(pal);
}

} // namespace

TfrmMain::TfrmMain() : TForm(nullptr), ui(std::make_unique<Ui::TfrmMain>())
{
    ui->setupUi(this);
    // A fixed single border with a minimise box and no maximise box.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(486, 427);
    SetPosition(poScreenCenter);
    setContextMenuPolicy(Qt::CustomContextMenu);

    // The list keeps showing its selection when another control has the focus.
    QPalette listPalette = ui->lvMain->palette();
    listPalette.setColor(QPalette::Inactive, QPalette::Highlight,
                         listPalette.color(QPalette::Active, QPalette::Highlight));
    listPalette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                         listPalette.color(QPalette::Active, QPalette::HighlightedText));
    ui->lvMain->setPalette(listPalette);
    ui->lvMain->setColumnWidth(0, 355);

    for (const std::string& caption : FormatCaptions())
        ui->cbFormat->addItem(ToQt(caption));
    ui->cbFormat->setCurrentIndex(0);

    LoadArtwork();
    BuildMenus();
    ConnectHandlers();
    FormCreate();
}

TfrmMain::~TfrmMain()
{
    // The list's model reports its own teardown; by then this window is half gone.
    QObject::disconnect(ui->lvMain->model(), nullptr, this, nullptr);
    QObject::disconnect(ui->lvMain, nullptr, this, nullptr);
}

void TfrmMain::LoadArtwork()
{
    QImage banner = JpegImage::Load(QStringLiteral(":/assets/banner.jpg"));
    if (!banner.isNull())
        ui->imgTitle->setPixmap(QPixmap::fromImage(banner));
    QImage logo = JpegImage::Load(QStringLiteral(":/assets/logo.jpg"));
    ui->Image1->SetPicture(logo);
    ui->Image1->SetStretch(true);
    ui->WlmShiftImage1->SetPicture(logo);
    ui->WlmShiftImage1->SetStretch(true);
}

void TfrmMain::BuildMenus()
{
    suiPopupMenu1 = new QMenu(this);
    suiPopupMenu1->setObjectName(QStringLiteral("suiPopupMenu1"));
    suiPopupMenu1->addAction(ui->Homepage1);
    suiPopupMenu1->addSeparator();
    QMenu* quality = suiPopupMenu1->addMenu(QStringLiteral("Youtube Download Quality"));
    quality->setObjectName(QStringLiteral("YoutubeDownloadQuality1"));
    for (QAction* item : {ui->Normal1, ui->HQ1, ui->HD1, ui->BestAvailable1})
        quality->addAction(item);
    // Hosts that limit every connection give a file faster over several at once.
    QMenu* connections = suiPopupMenu1->addMenu(QStringLiteral("Connections per file"));
    connections->setObjectName(QStringLiteral("ConnectionsPerFile1"));
    auto* exclusive = new QActionGroup(connections);
    for (int n : {1, 2, 4, 8, 16}) {
        QAction* item = connections->addAction(QString::number(n));
        item->setObjectName(QStringLiteral("Connections%1").arg(n));
        item->setCheckable(true);
        item->setProperty("Tag", n);
        exclusive->addAction(item);
        connect(item, &QAction::triggered, this, Guarded([this, n] { FConnections = n; }));
    }
    // Items at once: a slow page or a silent server holds only its own item.
    QMenu* jobs = suiPopupMenu1->addMenu(QStringLiteral("Jobs"));
    jobs->setObjectName(QStringLiteral("JobsMenu1"));
    auto* oneJob = new QActionGroup(jobs);
    for (int n = 1; n <= 8; ++n) {
        QAction* item = jobs->addAction(QString::number(n));
        item->setObjectName(QStringLiteral("Jobs%1").arg(n));
        item->setCheckable(true);
        item->setProperty("Tag", n);
        oneJob->addAction(item);
        connect(item, &QAction::triggered, this, Guarded([this, n] { FJobs = n; }));
    }
    QAction* subtitles = suiPopupMenu1->addAction(QStringLiteral("Save subtitles"));
    subtitles->setObjectName(QStringLiteral("Subtitles1"));
    subtitles->setCheckable(true);
    connect(subtitles, &QAction::triggered, this, Guarded([this](bool on) { FSubtitles = on; }));
    suiPopupMenu1->addSeparator();
    suiPopupMenu1->addAction(ui->miSetYouTubeaccount);
    suiPopupMenu1->addSeparator();
    suiPopupMenu1->addAction(ui->About1);

    suiPopupMenu2 = new QMenu(this);
    suiPopupMenu2->setObjectName(QStringLiteral("suiPopupMenu2"));
    suiPopupMenu2->addAction(ui->miPaste);
    suiPopupMenu2->addAction(ui->miBrowser);
    suiPopupMenu2->addSeparator();
    suiPopupMenu2->addAction(ui->miRemoveItem);
    suiPopupMenu2->addSeparator();
    suiPopupMenu2->addAction(ui->miRemoveAll);
}

void TfrmMain::ConnectHandlers()
{
    auto click = [this](QAbstractButton* b, void (TfrmMain::*handler)()) {
        connect(b, &QAbstractButton::clicked, this, Guarded([this, handler] { (this->*handler)(); }));
    };
    auto trigger = [this](QAction* a, void (TfrmMain::*handler)()) {
        connect(a, &QAction::triggered, this, Guarded([this, handler] { (this->*handler)(); }));
    };
    click(ui->rbDownload, &TfrmMain::rbDownloadClick);
    click(ui->rbDownloadConvert, &TfrmMain::rbDownloadConvertClick);
    click(ui->rbConvert, &TfrmMain::rbConvertClick);
    click(ui->bBrowser, &TfrmMain::bBrowserClick);
    click(ui->bShowFiles, &TfrmMain::bShowFilesClick);
    click(ui->bExit, &TfrmMain::bExitClick);
    click(ui->bStart, &TfrmMain::bStartClick);
    click(ui->bPaste, &TfrmMain::bPasteClick);
    click(ui->bSelectFile, &TfrmMain::bSelectFileClick);
    click(ui->bRemove, &TfrmMain::bRemoveClick);
    click(ui->cbAutoCopy, &TfrmMain::cbAutoCopyClick);

    for (QAction* item : {ui->Normal1, ui->HQ1, ui->HD1, ui->BestAvailable1})
        connect(item, &QAction::triggered, this, Guarded([this, item] { mi_QalityClick(item); }));
    trigger(ui->Homepage1, &TfrmMain::Homepage1Click);
    trigger(ui->miSetYouTubeaccount, &TfrmMain::miSetYouTubeaccountClick);
    trigger(ui->About1, &TfrmMain::About1Click);
    trigger(ui->miPaste, &TfrmMain::bPasteClick);
    trigger(ui->miBrowser, &TfrmMain::bSelectFileClick);
    trigger(ui->miRemoveItem, &TfrmMain::bRemoveClick);
    trigger(ui->miRemoveAll, &TfrmMain::miRemoveAllClick);

    ui->Image1->OnClick = [this] { Homepage1Click(); };
    ui->lTitle->OnClick = [this] { lTitleClick(); };
    ui->WlmShiftImage1->OnClick = [this] { iAboutClick(); };
    ui->lbEAddress->OnClick = [this] { iAboutClick(); };

    connect(this, &QWidget::customContextMenuRequested, this,
            Guarded([this](const QPoint& at) { suiPopupMenu1->popup(mapToGlobal(at)); }));
    connect(ui->lvMain, &QWidget::customContextMenuRequested, this,
            Guarded([this](const QPoint& at) { suiPopupMenu2->popup(ui->lvMain->viewport()->mapToGlobal(at)); }));

    // Any change of the list: items added or removed, the selection moved.
    QAbstractItemModel* model = ui->lvMain->model();
    auto changed = Guarded([this] { lvMainChange(); });
    connect(model, &QAbstractItemModel::rowsInserted, this, changed);
    connect(model, &QAbstractItemModel::rowsRemoved, this, changed);
    connect(model, &QAbstractItemModel::modelReset, this, changed);
    connect(ui->lvMain, &QTreeWidget::itemSelectionChanged, this, changed);
    SetUpListInput();
}

void TfrmMain::FormCreate()
{
    ui->pLine->move(0, ui->pLine->y());
    FNextViewer = FClipboardViewer.Join(Handle());
    SetCaption(std::string(ProductTitle) + " " + ProductVersion);
    FAccountName.clear();
    FAccountPassword.clear();
    FConvertProcess = std::make_unique<TConvertProcess>();
    LoadSettings();
    ui->bSelectFile->move(ui->bPaste->pos());
}

void TfrmMain::FormShow()
{
    switch (FJobMode) {
    case jmDownload:
        ui->rbDownload->setChecked(true);
        rbDownloadClick();
        break;
    case jmDownloadConvert:
        ui->rbDownloadConvert->setChecked(true);
        rbDownloadConvertClick();
        break;
    case jmConvert:
        ui->rbConvert->setChecked(true);
        rbConvertClick();
        break;
    default:
        break; // an unknown mode leaves the controls as designed
    }
    ui->eOutputFolder->setText(ToQt(FOutputDirectory));
    ui->cbFormat->setCurrentIndex(FFormatIndex >= 0 && FFormatIndex < ui->cbFormat->count() ? FFormatIndex : -1);
    ui->cbAutoCopy->setChecked(FAutoCopy);
    ui->imgTitle->setGeometry(0, 0, ClientWidth(), 50);
    for (QAction* item : {ui->Normal1, ui->HQ1, ui->HD1, ui->BestAvailable1})
        item->setChecked(item->property("Tag").toInt() == FQuality);
    if (QMenu* connections = suiPopupMenu1->findChild<QMenu*>(QStringLiteral("ConnectionsPerFile1")))
        for (QAction* item : connections->actions())
            item->setChecked(item->property("Tag").toInt() == FConnections);
    if (QMenu* jobs = suiPopupMenu1->findChild<QMenu*>(QStringLiteral("JobsMenu1")))
        for (QAction* item : jobs->actions())
            item->setChecked(item->property("Tag").toInt() == FJobs);
    if (QAction* subtitles = suiPopupMenu1->findChild<QAction*>(QStringLiteral("Subtitles1")))
        subtitles->setChecked(FSubtitles);
}

void TfrmMain::FormClose(TCloseAction&)
{
    // Each step on its own: a settings file that cannot be written must neither keep the
    // window open nor keep it in the clipboard chain or leave the converter running.
    try {
        SaveSettings();
    } catch (...) {
        LogCaught("main window", "settings not saved");
    }
    try {
        FClipboardViewer.Leave(FNextViewer);
        MessageWindow::SendMessage(FNextViewer, WM_CHANGECBCHAIN, Handle(), static_cast<LPARAM>(FNextViewer));
    } catch (...) {
        LogCaught("main window", "leaving the clipboard chain");
    }
    try {
        FConvertProcess.reset();
    } catch (...) {
        LogCaught("main window", "freeing the converter runner");
    }
}

std::string TfrmMain::SettingsFileName()
{
    return SettingsLocation::FileName(Application::ExeDir(), "settings.ini");
}

void TfrmMain::LoadSettings()
{
    TIniFile ini(SettingsFileName());
    FOutputDirectory =
        ini.ReadString(kOptions, "OutputDirectory", SettingsLocation::DefaultOutputFolder(Application::ExeDir()));
    FJobMode = ini.ReadInteger(kOptions, "RadioButton", jmDownload);
    FFormatIndex = ini.ReadInteger(kOptions, "ConvertFormat", 0);
    FAutoCopy = ini.ReadBool(kCopy, "Enable", false);
    FAskAddUrl = ini.ReadBool(kOptions, "AskAddUrl", false);
    FQuality = ini.ReadInteger(kOptions, "Quality", vqNormal);
    if (FQuality < vqNormal || FQuality > vqBestAvailable)
        FQuality = vqNormal;
    FConnections = ini.ReadInteger(kOptions, "Connections", 4);
    if (FConnections != 1 && FConnections != 2 && FConnections != 4 && FConnections != 8 && FConnections != 16)
        FConnections = 4;
    FJobs = ini.ReadInteger(kOptions, "Jobs", 2);
    if (FJobs < 1 || FJobs > 8)
        FJobs = 2;
    FSubtitles = ini.ReadBool(kOptions, "Subtitles", true);
    // Set by hand in the file; the window has no control for it, and never writes it.
    const std::optional<std::int64_t> rate = ParseRate(ini.ReadString(kOptions, "RateLimit", ""));
    FRateLimit = rate ? std::make_unique<TRateLimit>(*rate) : nullptr;
    // A signed-in session lent from a browser (cookies.txt); also set by hand only.
    FCookieFile = text::TrimBlanks(ini.ReadString(kOptions, "CookieFile", ""));
}

void TfrmMain::SaveSettings()
{
    const std::string fileName = SettingsFileName();
    SettingsLocation::PrepareFolder(fileName);
    TIniFile ini(fileName);
    std::string typed = OutputFolderText();
    if (DirectoryExists(typed))
        FOutputDirectory = typed;
    ini.WriteString(kOptions, "OutputDirectory", FOutputDirectory);
    FJobMode = CheckedMode();
    ini.WriteInteger(kOptions, "RadioButton", FJobMode);
    FFormatIndex = ui->cbFormat->currentIndex();
    ini.WriteInteger(kOptions, "ConvertFormat", FFormatIndex);
    ini.WriteBool(kCopy, "Enable", FAutoCopy);
    ini.WriteBool(kOptions, "AskAddUrl", FAskAddUrl);
    ini.WriteInteger(kOptions, "Quality", FQuality);
    ini.WriteInteger(kOptions, "Connections", FConnections);
    ini.WriteInteger(kOptions, "Jobs", FJobs);
    ini.WriteBool(kOptions, "Subtitles", FSubtitles);
    ini.UpdateFile();
}

std::string TfrmMain::OutputFolderText() const
{
    return FromQt(ui->eOutputFolder->text());
}

JobMode TfrmMain::CheckedMode() const
{
    if (ui->rbConvert->isChecked())
        return jmConvert;
    if (ui->rbDownloadConvert->isChecked())
        return jmDownloadConvert;
    return jmDownload;
}

void TfrmMain::ApplyMode(JobMode mode)
{
    const bool convertOnly = mode == jmConvert;
    ui->lConvertTo->setEnabled(mode != jmDownload);
    ui->cbFormat->setEnabled(mode != jmDownload);
    ui->lVideo->setText(convertOnly ? QStringLiteral("Select video file:")
                                    : QStringLiteral("Enter video URL (Example: "));
    // What the list takes besides the three sites' watch pages, where the prompt has no room.
    const QString taken = convertOnly ? QString()
                                      : QStringLiteral("A watch page of YouTube, Metacafe or Google Video, any web page "
                                                       "that shows a video, or the address of a video or audio file");
    for (QWidget* w : {static_cast<QWidget*>(ui->lVideo), static_cast<QWidget*>(ui->lUrl)})
        w->setToolTip(taken);
    ui->lUrl->setVisible(!convertOnly);
    ui->lUrlEnd->setVisible(!convertOnly);
    ui->bPaste->setVisible(!convertOnly);
    ui->bSelectFile->setVisible(convertOnly);
    ui->cbAutoCopy->setEnabled(!convertOnly);
    SetTextColour(ui->cbAutoCopy, convertOnly ? QColor(128, 128, 128) : palette().color(QPalette::WindowText));
    ui->miPaste->setVisible(!convertOnly);
    ui->miBrowser->setVisible(convertOnly);
    PlaceExampleAddress();
}

// The example address follows the prompt, whose text changes with the mode.
void TfrmMain::PlaceExampleAddress()
{
    int x = ui->lVideo->x() + ui->lVideo->fontMetrics().horizontalAdvance(ui->lVideo->text());
    int width = ui->lUrl->fontMetrics().horizontalAdvance(ui->lUrl->text()) + 2;
    ui->lUrl->setGeometry(x, ui->lUrl->y(), width, ui->lUrl->height());
    ui->lUrlEnd->move(x + width, ui->lUrlEnd->y());
    ui->lVideo->resize(x - ui->lVideo->x() + 2, ui->lVideo->height());
}

void TfrmMain::rbDownloadClick()
{
    ApplyMode(jmDownload);
}

void TfrmMain::rbDownloadConvertClick()
{
    ApplyMode(jmDownloadConvert);
}

void TfrmMain::rbConvertClick()
{
    ApplyMode(jmConvert);
}

void TfrmMain::mi_QalityClick(QAction* Sender)
{
    if (!Sender)
        return;
    // Every item of the menu the sender stands in, so the tick is exclusive.
    for (QObject* owner : Sender->associatedObjects())
        if (auto* menu = qobject_cast<QMenu*>(owner))
            for (QAction* item : menu->actions())
                item->setChecked(false);
    Sender->setChecked(true);
    FQuality = Sender->property("Tag").toInt();
}

void TfrmMain::bBrowserClick()
{
    std::string folder;
    if (BrowseForFolder("Please select the directory to add", "", folder)) {
        ui->eOutputFolder->setText(ToQt(folder));
        FOutputDirectory = OutputFolderText();
    }
}

void TfrmMain::bShowFilesClick()
{
    FOutputDirectory = OutputFolderText();
    if (DirectoryExists(FOutputDirectory))
        Shell::Open(FOutputDirectory); // a shell that fails says nothing
    else
        MessageBox(FOutputDirectory + "," + " the output directory does not exist.", ProductTitle,
                   MB_OK | MB_ICONERROR);
}

void TfrmMain::bExitClick()
{
    Close();
}

void TfrmMain::iAboutClick()
{
    suiPopupMenu1->popup(QCursor::pos());
}

void TfrmMain::Homepage1Click()
{
    Shell::Open(HomePage);
}

void TfrmMain::lTitleClick()
{
    Shell::Open(MakerSite);
}

void TfrmMain::About1Click()
{
    TfrmAbout about(this);
    about.ShowModal();
}

void TfrmMain::miSetYouTubeaccountClick()
{
    TfrmLogin login(this);
    if (!FAccountName.empty()) {
        login.SetUsername(FAccountName);
        login.SetPassword(FAccountPassword);
    }
    if (login.ShowModal() == mrOk) {
        FAccountName = login.Username();
        FAccountPassword = login.Password();
    }
}

std::string TfrmMain::FormatArguments() const
{
    return cw::FormatArguments(ui->cbFormat->currentIndex());
}

std::string TfrmMain::FormatExtension() const
{
    return cw::FormatExtension(FromQt(ui->cbFormat->currentText()));
}

void TfrmMain::WndProc(TMessage& msg)
{
    switch (msg.Msg) {
    case WM_SHOW_INSTANCE:
        ShowInstance();
        break;
    case WM_DRAWCLIPBOARD:
        ClipboardChanged(msg);
        break;
    case WM_CHANGECBCHAIN:
        // Keep the successor current when it leaves; pass everything else down the chain.
        if (static_cast<HWND>(msg.WParam) == FNextViewer)
            FNextViewer = static_cast<HWND>(msg.LParam);
        else
            MessageWindow::SendMessage(FNextViewer, msg.Msg, msg.WParam, msg.LParam);
        break;
    default:
        TForm::WndProc(msg);
        break;
    }
}

void TfrmMain::ShowInstance()
{
    show();
    if (isMinimized())
        showNormal();
    raise();
    activateWindow();
}

} // namespace cw
