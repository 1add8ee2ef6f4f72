#include "retrieval/Download.h"

#include "convert/ConvertThread.h"
#include "platform/Application.h"
#include "platform/MessageBox.h"
#include "platform/gui/QtGlue.h"
#include "retrieval/DownloadText.h"
#include "ui_Download.h"

#include <QCloseEvent>

namespace cw {

TfrmDownload::TfrmDownload(TForm* owner, const std::vector<std::string>& addressList, TRunOwner* runOwner)
    : TForm(owner), ui(std::make_unique<Ui::TfrmDownload>()), FRunOwner(runOwner), FModel(addressList),
      FWebBrowser1(this), FWebBrowser2(this), FHttpCli1(std::make_unique<THttpCli>(this))
{
    ui->setupUi(this);
    setWindowFlag(Qt::MSWindowsFixedSizeDialogHint, true);
    setFixedSize(ui->Panel1->size());
    SetPosition(poOwnerFormCenter);
    SetName("frmDownload");
    FWebBrowser1.SetName("WebBrowser_1");
    FWebBrowser2.SetName("WebBrowser_2");

    // The client keeps these settings for the life of the window.
    THttpCli& http = *FHttpCli1;
    http.SetName("HttpCli1");
    http.SetAgent("Mozilla/3.0 (compatible)");
    http.SetAccept("image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*");
    http.SetRequestVer("1.0");
    http.SetFollowRelocation(true);
    http.SetLocationChangeMaxCount(5);
    http.SetProxyPort("80");
    http.SetLocalAddr("0.0.0.0");
    http.SetNoCache(false);
    http.SetBandwidthLimit(10000);
    http.SetBandwidthSampling(1000);
    http.SetMultiThreaded(false);
    http.OnHeaderData = [this](TObject* sender) { HttpCli1HeaderData(sender); };
    http.OnDocData = [this](TObject* sender, const char* buffer, int len) { HttpCli1DocData(sender, buffer, len); };
    http.OnDocBegin = [this](TObject* sender) { HttpCli1DocBegin(sender); };
    http.OnRequestDone = [this](TObject*, THttpRequest, std::uint16_t error) { FLastRequestError = error; };
    http.SetIdleTimeout(TransferIdleTimeoutMs);

    StopRequested = false;
    // Set before anything can run Stop, also when the window is never shown.
    ActiveBrowser = &FWebBrowser1;
    FDecimalSeparator = LocaleDecimalSeparator();

    for (QPushButton* button : {ui->bStop, ui->suiButton1, ui->suiButton2})
        QObject::connect(button, &QPushButton::clicked, this, Guarded([this] { bStopClick(this); }));
}

TfrmDownload::~TfrmDownload()
{
    // A window that never closed normally (the program ended under it) still leaves no
    // converter running.
    if (!FClosed) {
        if (TConvertProcess* runner = Runner(); runner && runner->Active)
            runner->Stop(0);
    }
    // The client goes before the browsers and the widgets its handlers touch.
    FHttpCli1->OnHeaderData = nullptr;
    FHttpCli1->OnDocData = nullptr;
    FHttpCli1->OnDocBegin = nullptr;
    FHttpCli1->OnRequestDone = nullptr;
    FHttpCli1.reset();
}

// The item's name and address are kept as the bytes the page gave: a page in another 8-bit
// encoding must not have its address or title rewritten by a round trip through the widget's
// Unicode text. The hidden edit boxes show the same values.
std::string TfrmDownload::FileNameText() const
{
    return FFileName;
}

std::string TfrmDownload::DownloadUrlText() const
{
    return FDownloadUrl;
}

void TfrmDownload::SetFileName(const std::string& text)
{
    FFileName = text;
    ui->eFileName->setText(ToQt(text));
}

void TfrmDownload::SetDownloadUrl(const std::string& text)
{
    FDownloadUrl = text;
    ui->eDownloadUrl->setText(ToQt(text));
}

std::string TfrmDownload::OutputFolder() const
{
    return FRunOwner ? FRunOwner->OutputFolderText() : std::string();
}

TConvertProcess* TfrmDownload::Runner() const
{
    return FRunOwner ? FRunOwner->ConvertRunner() : nullptr;
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

void TfrmDownload::ResetWindow()
{
    FWebBrowser1.SetWidth(0);
    FWebBrowser2.SetWidth(0);
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

int TfrmDownload::ItemQuality() const
{
    if (!FModel.QualityApplies())
        return vqNormal;
    return FRunOwner ? FRunOwner->Quality() : vqNormal;
}

void TfrmDownload::FormShow()
{
    FModel.SetMode(JobMode);
    ResetWindow();
    ActiveBrowser = &FWebBrowser1;
    Proceed(FModel.FirstStep());
    TForm::FormShow();
}

void TfrmDownload::NextItem()
{
    Proceed(FModel.Advance());
}

void TfrmDownload::Proceed(TRunStep step)
{
    // A local file whose converter cannot start has its failure recorded; the loop goes on
    // with the next one instead of leaving the window on a dead panel.
    for (;;) {
        switch (step) {
        case rsFetchPage:
            PostMessage(WM_FETCH_PAGE);
            return;
        case rsClose:
            PostMessage(WM_CLOSE);
            return;
        case rsConvertFile:
            // Stop pressed while the converter's error box was open ends the run there.
            if (StartLocalFile() || Stopping())
                return;
            step = FModel.Advance();
            break;
        }
    }
}

void TfrmDownload::AbortRunningWork()
{
    if (ActiveBrowser)
        ResetBrowser(ActiveBrowser);
    // Only a client that has been given an address has ever run a transfer.
    if (!FHttpCli1->URL().empty()) {
        StopRequested = true;
        FHttpCli1->Abort();
    }
    if (TConvertProcess* runner = Runner(); runner && runner->Active)
        runner->Stop(0);
}

void TfrmDownload::bStopClick(TObject*)
{
    AbortRunningWork();
    SetModalResult(mrAbort);
}

void TfrmDownload::closeEvent(QCloseEvent* event)
{
    TForm::closeEvent(event);
    // The title bar's close ends the run as Stop does; without this a transfer would run on to
    // its end before the window could close.
    if (Modal() && ModalResult() != mrNone && !FClosed)
        Application::Guard([this] { AbortRunningWork(); });
}

void TfrmDownload::FormClose(TCloseAction& action)
{
    FClosed = true;
    if (const std::string summary = FModel.FailureSummary(); !summary.empty())
        MessageBox(summary, Application::Title(), MB_OK | MB_ICONINFORMATION);
    if (TConvertProcess* runner = Runner(); runner && runner->Active)
        runner->Stop(0);
    TForm::FormClose(action);
}

void TfrmDownload::WndProc(TMessage& msg)
{
    switch (msg.Msg) {
    case WM_CONVERT_PROGRESS:
        // The record is ours whatever happens to it.
        ConvertProgress(msg.LParam);
        return;
    case WM_FETCH_PAGE:
        if (!FClosed)
            FetchPage();
        return;
    case WM_START_DOWNLOAD:
        if (!FClosed)
            StartDownload();
        return;
    case WM_CONVERT_START:
        if (!FClosed)
            ConvertStart();
        return;
    case WM_CLOSE:
        if (!FClosed)
            Close();
        return;
    default:
        TForm::WndProc(msg);
    }
}

} // namespace cw
