#include "retrieval/Download.h"

#include "convert/ConvertThread.h"
#include "engine/DownloadText.h"
#include "platform/Application.h"
#include "platform/MessageBox.h"
#include "platform/gui/DesktopNotification.h"
#include "platform/gui/QtGlue.h"
#include "platform/gui/TaskBarProgress.h"
#include "retrieval/RunRows.h"
#include "ui_Download.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHeaderView>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QTreeView>

#include <algorithm>

namespace cw {

namespace {

// The progress column of the list: a bar with the row's percentage, drawn by the style.
class TProgressDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        const QVariant value = index.data(TRunRows::ProgressRole);
        if (!value.isValid())
            return QStyledItemDelegate::paint(painter, option, index);
        QStyleOptionProgressBar bar;
        bar.rect = option.rect.adjusted(1, 2, -1, -2);
        bar.minimum = 0;
        bar.maximum = value.toInt() < 0 ? 0 : 100; // busy while the size is unknown
        bar.progress = std::max(0, value.toInt());
        bar.text = index.data(Qt::DisplayRole).toString();
        bar.textVisible = true;
        bar.state = option.state | QStyle::State_Horizontal;
        QStyle* style = option.widget ? option.widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ProgressBar, &bar, painter, option.widget);
    }
};

// The list's height for a number of rows, and its width.
constexpr int kRowHeight = 22;
constexpr int kRowsWidth = 660;

} // namespace

TfrmDownload::TfrmDownload(TForm* owner, const std::vector<std::string>& addressList, TRunOwner* runOwner)
    : TForm(owner), ui(std::make_unique<Ui::TfrmDownload>()), FRows(new TRunRows(this)),
      FRowsView(new QTreeView(this)), FPool(addressList, runOwner, *this)
{
    ui->setupUi(this);
    FRowsView->setObjectName(QStringLiteral("tvItems"));
    FRowsView->setModel(FRows);
    FRowsView->setRootIsDecorated(false);
    FRowsView->setUniformRowHeights(true);
    FRowsView->setItemDelegateForColumn(TRunRows::rcProgress, new TProgressDelegate(FRowsView));
    FRowsView->setSelectionMode(QAbstractItemView::NoSelection);
    FRowsView->setFocusPolicy(Qt::NoFocus);
    FRowsView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    const int widths[] = {184, 72, 96, 150, 84, 70};
    for (int c = 0; c < TRunRows::rcCount; ++c)
        FRowsView->setColumnWidth(c, widths[c]);
    FRowsView->hide();
    setWindowFlag(Qt::MSWindowsFixedSizeDialogHint, true);
    setFixedSize(ui->Panel1->size());
    SetPosition(poOwnerFormCenter);
    SetName("frmDownload");
    FDecimalSeparator = LocaleDecimalSeparator();
    for (QPushButton* button : {ui->bStop, ui->suiButton1, ui->suiButton2})
        QObject::connect(button, &QPushButton::clicked, this, Guarded([this] { bStopClick(this); }));
}

TfrmDownload::~TfrmDownload() = default;

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
    if (FPool.Jobs() <= 1) {
        SetClientWidth(panel->width());
        SetClientHeight(panel->height());
        return;
    }
    // Below the panel, a row for each item that may run at once.
    const int width = std::max(panel->width(), kRowsWidth);
    const int height = FRowsView->header()->sizeHint().height() + kRowHeight * FPool.Jobs() + 4;
    panel->move((width - panel->width()) / 2, 0);
    FRowsView->setGeometry(0, panel->height(), width, height);
    FRowsView->show();
    SetClientWidth(width);
    SetClientHeight(panel->height() + height);
}

void TfrmDownload::FormShow()
{
    FPool.SetJob(JobMode, ConvertExtension, ConvertArguments);
    FPool.SetJobs(Jobs);
    ResetWindow();
    FPool.Start();
    TForm::FormShow();
}

void TfrmDownload::bStopClick(TObject*)
{
    FPool.Stop();
    SetModalResult(mrAbort);
}

void TfrmDownload::closeEvent(QCloseEvent* event)
{
    TForm::closeEvent(event);
    // The title bar's close ends the run as Stop does; without this a transfer would run on to
    // its end before the window could close.
    if (Modal() && ModalResult() != mrNone && !FClosed)
        Application::Guard([this] { FPool.Stop(); });
}

void TfrmDownload::FormClose(TCloseAction& action)
{
    FClosed = true;
    HideRunProgress();
    if (const std::string summary = FPool.Model().FailureSummary(); !summary.empty())
        MessageBox(summary, Application::Title(), MB_OK | MB_ICONINFORMATION);
    FPool.Stop();
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

// ---- what the pool reports --------------------------------------------------------------------

void TfrmDownload::ItemStarted(int index, const std::string& address)
{
    FRows->ItemStarted(index, address);
    if (JobMode != jmConvert) {
        ResetWindow();
        FTransferShown = false;
    }
    SetCaption(FPool.Model().Caption(Application::Title()));
    if (JobMode != jmConvert)
        ui->lUrl->setText(ToQt(address));
}

void TfrmDownload::StateChanged(int index, TJobState state)
{
    FRows->StateChanged(index, state);
    if (!Followed(index))
        return;
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

void TfrmDownload::TitleKnown(int index, const std::string& fileName, const std::string& downloadUrl)
{
    FRows->TitleKnown(index, fileName, downloadUrl);
    if (!Followed(index))
        return;
    SetFileName(fileName);
    SetDownloadUrl(downloadUrl);
}

void TfrmDownload::TransferAttempt(int index, const std::string& name, std::int64_t offset)
{
    FRows->TransferAttempt(index, name, offset);
    if (Followed(index))
        SetFileNameLabel("Downloading: " + name + " ...");
}

void TfrmDownload::TransferSize(int index, std::int64_t total)
{
    FRows->TransferSize(index, total);
    if (!Followed(index))
        return;
    SetBarMaximum(total);
    TotalSizeText = KilobytesText(ProgressMaximum());
}

void TfrmDownload::ShowRunProgress()
{
    const TRunModel& run = FPool.Model();
    if (FClosed || run.Count() == 0)
        return;
    const int ended = run.CountOf(ioDone) + run.CountOf(ioSkipped) + run.FailedCount();
    const int percent = static_cast<int>(100.0 * (ended + FRows->RunningFraction()) / run.Count());
    // One signal per whole percent: a dock redraws for each.
    if (percent == FTaskBarPercent)
        return;
    FTaskBarPercent = percent;
    ShowTaskBarProgress(percent / 100.0);
}

void TfrmDownload::HideRunProgress()
{
    if (FTaskBarPercent < 0)
        return;
    FTaskBarPercent = -1;
    ShowTaskBarProgress(-1);
}

void TfrmDownload::TransferProgress(int index, std::int64_t bytes, std::int64_t total, const TRateSample* sample)
{
    FRows->TransferProgress(index, bytes, total, sample);
    ShowRunProgress();
    if (!Followed(index))
        return;
    ui->lReceiveData->setText(ToQt(ReceivedText(bytes, TotalSizeText)));
    SetBarPosition(bytes);
    if (!sample)
        return;
    if (auto texts = RateUpdate(ProgressMaximum(), bytes, bytes - sample->Bytes, sample->ElapsedMs, FDecimalSeparator)) {
        ui->lReceiveSpeed->setText(ToQt(texts->Speed));
        ui->lEstimateTime->setText(ToQt(texts->Remaining));
    }
}

void TfrmDownload::Waiting(int index, int secondsLeft, int attempt, int count)
{
    FRows->Waiting(index, secondsLeft, attempt, count);
    if (Followed(index))
        SetFileNameLabel("Connection lost, retrying in " + std::to_string(secondsLeft) + " s (" +
                         std::to_string(attempt) + "/" + std::to_string(count) + ") ...");
}

void TfrmDownload::ConvertStarted(int index, const std::string& outputName)
{
    FRows->ConvertStarted(index, outputName);
    if (!Followed(index))
        return;
    const QString name = ToQt(outputName);
    ui->lConvertName->setText(name);
    ui->lConvertName->setToolTip(name);
}

void TfrmDownload::ConvertProgress(int index, int percent, const std::string& elapsed, const std::string& estimated)
{
    if (FClosed)
        return;
    FRows->ConvertProgress(index, percent, elapsed, estimated);
    ShowRunProgress();
    if (!Followed(index))
        return;
    ui->suiProgressBar2->SetPosition(percent);
    ui->lTimeElapsed->setText(ToQt(elapsed));
    ui->lTimeEstimated->setText(ToQt(estimated));
}

void TfrmDownload::ItemEnded(int index, TItemOutcome outcome, const std::string& failureLine)
{
    FRows->ItemEnded(index, outcome, failureLine);
    ShowRunProgress();
}

void TfrmDownload::RunEnded(TRunEnd how)
{
    FRows->RunEnded(how);
    HideRunProgress();
    // Whoever looks elsewhere hears of the end on the desktop, where it offers that.
    if (how == reCompleted && !QApplication::activeWindow())
        NotifyDesktop(FPool.Model().EndNotice(), std::string());
    if (how == reStoppedByPage)
        SetModalResult(mrAbort);
    else
        PostMessage(WM_CLOSE);
}

// The boxes open without a loop of their own, as the questions do: the other items go on, and
// nothing runs inside the engine's handler.
void TfrmDownload::Alert(int, TRunAlert kind, const std::string& text)
{
    switch (kind) {
    case raPageUnreadable:
        ui->Label1->setText(ToQt(text));
        break;
    case raConverterCannotStart:
    case raOutputInUse:
    case raSaveFailed:
        OpenMessageBox(text, Application::Title(), MB_OK | MB_ICONERROR, [](int) {});
        break;
    }
}

// Asked modal to this window and without a loop of its own: the run's events go on meanwhile.
void TfrmDownload::AskOverwrite(int, const std::string& path, std::function<void(bool)> answer)
{
    OpenMessageBox(path + " has existed,overite it?", Application::Title(), MB_YESNO | MB_ICONINFORMATION | MB_DEFBUTTON2,
                   [answer = std::move(answer)](int button) { answer(button == IDYES); });
}

// The page's own words, and the choice: Yes skips this video and the run goes on; No (the
// default) ends the run, as it always ended at such a page.
void TfrmDownload::AskSignIn(int, const std::string& text, std::function<void(TSignInAnswer)> answer)
{
    OpenMessageBox(text + "\r\n\r\nSkip this video and go on with the others? (No stops the run.)",
                   Application::Title(), MB_YESNO | MB_ICONINFORMATION | MB_DEFBUTTON2,
                   [answer = std::move(answer)](int button) { answer(button == IDYES ? saSkipItem : saStopRun); });
}

} // namespace cw
