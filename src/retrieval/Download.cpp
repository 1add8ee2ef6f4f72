#include "retrieval/Download.h"

#include "convert/ConvertThread.h"
#include "engine/DownloadText.h"
#include "platform/Application.h"
#include "platform/MessageBox.h"
#include "platform/gui/DesktopNotification.h"
#include "platform/gui/QtGlue.h"
#include "ui_Download.h"

#include <QApplication>
#include <QCloseEvent>

namespace cw {

TfrmDownload::TfrmDownload(TForm* owner, const std::vector<std::string>& addressList, TRunOwner* runOwner)
    : TForm(owner), ui(std::make_unique<Ui::TfrmDownload>()), FEngine(addressList, runOwner, *this)
{
    ui->setupUi(this);
    setWindowFlag(Qt::MSWindowsFixedSizeDialogHint, true);
    setFixedSize(ui->Panel1->size());
    SetPosition(poOwnerFormCenter);
    SetName("frmDownload");
    FDecimalSeparator = LocaleDecimalSeparator();
    for (QPushButton* button : {ui->bStop, ui->suiButton1, ui->suiButton2})
        QObject::connect(button, &QPushButton::clicked, this, Guarded([this] { bStopClick(this); }));
}

// The engine goes first (its destructor stops whatever still runs, and no event reaches the
// half-destroyed window); the widgets after it.
TfrmDownload::~TfrmDownload() = default;

// The item's name and address as the bytes the page gave, read from the engine that holds them:
// a page in another 8-bit encoding must not have its address or title rewritten by a round trip
// through the widget's Unicode text. The hidden edit boxes show the same values; the window
// keeps no copy of its own.
std::string TfrmDownload::FileNameText() const
{
    return FEngine.FileName();
}

std::string TfrmDownload::DownloadUrlText() const
{
    return FEngine.DownloadUrl();
}

void TfrmDownload::SetFileName(const std::string& text)
{
    ui->eFileName->setText(ToQt(text));
}

void TfrmDownload::SetDownloadUrl(const std::string& text)
{
    ui->eDownloadUrl->setText(ToQt(text));
}

void TfrmDownload::SetBarMaximum(std::int64_t value)
{
    ui->suiProgressBar1->SetMax(value);
}

void TfrmDownload::SetBarPosition(std::int64_t value)
{
    ui->suiProgressBar1->SetPosition(value);
}

std::int64_t TfrmDownload::ProgressMaximum() const
{
    return ui->suiProgressBar1->Max();
}

std::int64_t TfrmDownload::ProgressPosition() const
{
    return ui->suiProgressBar1->Position();
}

void TfrmDownload::SetFileNameLabel(const std::string& text)
{
    const QString label = ToQt(text);
    ui->lFileName->setText(label);
    ui->lFileName->setToolTip(label);
}

void TfrmDownload::ResetWindow()
{
    FEngine.WebBrowser_1().SetWidth(0);
    FEngine.WebBrowser_2().SetWidth(0);
    SetDownloadUrl("");
    SetFileName("");
    SetBarPosition(0);
    ui->suiProgressBar2->SetPosition(0);
    for (QFrame* panel : {ui->Panel1, ui->Panel2, ui->Panel3})
        panel->move(0, 0);
    SetCaption(Application::Title());
    ui->lFileName->clear();
    ui->lFileName->setToolTip(QString());
    ui->lReceiveData->clear();
    ui->lEstimateTime->clear();
    ui->lReceiveSpeed->clear();
    ShowPanel(JobMode == jmConvert ? ui->Panel3 : ui->Panel1);
}

void TfrmDownload::ShowPanel(QFrame* panel)
{
    for (QFrame* other : {ui->Panel1, ui->Panel2, ui->Panel3})
        if (other != panel)
            other->hide();
    panel->show();
    SetClientWidth(panel->width());
    SetClientHeight(panel->height());
}

void TfrmDownload::FormShow()
{
    FEngine.SetJob(JobMode, ConvertExtension, ConvertArguments);
    ResetWindow();
    FEngine.Start();
    TForm::FormShow();
}

void TfrmDownload::bStopClick(TObject*)
{
    FEngine.Stop();
    SetModalResult(mrAbort);
}

void TfrmDownload::closeEvent(QCloseEvent* event)
{
    TForm::closeEvent(event);
    // The title bar's close ends the run as Stop does; without this a transfer would run on to
    // its end before the window could close.
    if (Modal() && ModalResult() != mrNone && !FClosed)
        Application::Guard([this] { FEngine.Stop(); });
}

void TfrmDownload::FormClose(TCloseAction& action)
{
    FClosed = true;
    if (!FAgeNote.empty())
        MessageBox(FAgeNote, Application::Title(), MB_OK | MB_ICONINFORMATION);
    if (const std::string summary = FEngine.Model().FailureSummary(); !summary.empty())
        MessageBox(summary, Application::Title(), MB_OK | MB_ICONINFORMATION);
    FEngine.Stop();
    TForm::FormClose(action);
}

void TfrmDownload::WndProc(TMessage& msg)
{
    if (msg.Msg == WM_CLOSE) {
        if (!FClosed)
            Close();
        return;
    }
    TForm::WndProc(msg);
}

// ---- what the engine reports ------------------------------------------------------------------

void TfrmDownload::ItemStarted(int, const std::string& address)
{
    if (JobMode != jmConvert) {
        ResetWindow();
        FTransferShown = false;
    }
    SetCaption(FEngine.Model().Caption(Application::Title()));
    if (JobMode != jmConvert)
        ui->lUrl->setText(ToQt(address));
}

void TfrmDownload::StateChanged(int, TJobState state)
{
    if (state == jsTransferring && !FTransferShown) {
        FTransferShown = true;
        ShowPanel(ui->Panel2);
        if (QWidget* main = parentWidget()) {
            const QRect frame = main->window()->frameGeometry();
            SetLeft(frame.left() + (frame.width() - Width()) / 2);
            SetTop(frame.top() + (frame.height() - Height()) / 2);
        }
    } else if (state == jsConverting || state == jsJoining) {
        ShowPanel(ui->Panel3);
    }
}

void TfrmDownload::TitleKnown(const std::string& fileName, const std::string& downloadUrl)
{
    SetFileName(fileName);
    SetDownloadUrl(downloadUrl);
}

void TfrmDownload::TransferAttempt(const std::string& name, std::int64_t)
{
    SetFileNameLabel("Downloading: " + name + " ...");
}

void TfrmDownload::TransferSize(std::int64_t total)
{
    SetBarMaximum(total);
    TotalSizeText = KilobytesText(ProgressMaximum());
}

void TfrmDownload::TransferProgress(std::int64_t bytes, std::int64_t, const TRateSample* sample)
{
    ui->lReceiveData->setText(ToQt(ReceivedText(bytes, TotalSizeText)));
    SetBarPosition(bytes);
    if (!sample)
        return;
    if (auto texts = RateUpdate(ProgressMaximum(), bytes, bytes - sample->Bytes, sample->ElapsedMs, FDecimalSeparator)) {
        ui->lReceiveSpeed->setText(ToQt(texts->Speed));
        ui->lEstimateTime->setText(ToQt(texts->Remaining));
    }
}

void TfrmDownload::Waiting(int secondsLeft, int attempt, int count)
{
    SetFileNameLabel("Connection lost, retrying in " + std::to_string(secondsLeft) + " s (" + std::to_string(attempt) +
                     "/" + std::to_string(count) + ") ...");
}

void TfrmDownload::ConvertStarted(const std::string& outputName)
{
    const QString name = ToQt(outputName);
    ui->lConvertName->setText(name);
    ui->lConvertName->setToolTip(name);
}

void TfrmDownload::ConvertProgress(int percent, const std::string& elapsed, const std::string& estimated)
{
    if (FClosed)
        return;
    ui->suiProgressBar2->SetPosition(percent);
    ui->lTimeElapsed->setText(ToQt(elapsed));
    ui->lTimeEstimated->setText(ToQt(estimated));
}

void TfrmDownload::RunEnded(TRunEnd how)
{
    // Whoever looks elsewhere hears of the end on the desktop, where it offers that.
    if (how == reCompleted && !QApplication::activeWindow())
        NotifyDesktop(FEngine.Model().EndNotice(), std::string());
    if (how == reStoppedByPage)
        SetModalResult(mrAbort);
    else
        PostMessage(WM_CLOSE);
}

void TfrmDownload::Alert(TRunAlert kind, const std::string& text)
{
    switch (kind) {
    case raPageUnreadable:
        ui->Label1->setText(ToQt(text));
        break;
    case raConverterCannotStart:
    case raOutputInUse:
        MessageBox(text, Application::Title(), MB_OK | MB_ICONERROR);
        break;
    case raSaveFailed:
        Application::HandleException(text);
        break;
    case raAgeRestricted:
        FAgeNote = text;
        break;
    }
}

// Asked modal to this window and without a loop of its own: the run's events go on meanwhile.
void TfrmDownload::AskOverwrite(int, const std::string& path, std::function<void(bool)> answer)
{
    OpenMessageBox(path + " has existed,overite it?", Application::Title(), MB_YESNO | MB_ICONINFORMATION | MB_DEFBUTTON2,
                   [answer = std::move(answer)](int button) { answer(button == IDYES); });
}

} // namespace cw
