// The transfer stage: the output path, the overwrite question, the proxy, the address for the
// quality level, and the HTTP GET that writes the video straight into the file while the
// header and data handlers keep the progress panel current.

#include "convert/ConvertThread.h"
#include "platform/Application.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/MessageBox.h"
#include "platform/Streams.h"
#include "platform/TickCount.h"
#include "platform/gui/QtGlue.h"
#include "retrieval/Download.h"
#include "retrieval/DownloadText.h"
#include "ui_Download.h"

#include <cstdio>
#include <memory>

namespace cw {
namespace {

// Detaches the file from the client on every way out of an attempt, before the file closes.
struct ReceiveInto {
    THttpCli& Http;
    ReceiveInto(THttpCli& http, TStream* stream) : Http(http) { Http.SetRcvdStream(stream); }
    ~ReceiveInto() { Http.SetRcvdStream(nullptr); }
};

} // namespace

void TfrmDownload::StartDownload()
{
    const std::string address = FModel.Address();
    const std::string downloadUrl = DownloadUrlText();
    if (downloadUrl.empty()) {
        FModel.FailNoVideo();
        EndOfItem();
        return;
    }

    ShowPanel(ui->Panel2);
    if (QWidget* main = parentWidget()) {
        const QRect frame = main->window()->frameGeometry();
        SetLeft(frame.left() + (frame.width() - Width()) / 2);
        SetTop(frame.top() + (frame.height() - Height()) / 2);
    }

    RateTick = 0;
    RateCount = 0;

    const int quality = ItemQuality();
    std::string path = TransferOutputPath(OutputFolder(), FileNameText(), quality);

    if (FileExists(path)) {
        const int answer = MessageBox(path + " has existed,overite it?", Application::Title(),
                                      MB_YESNO | MB_ICONINFORMATION | MB_DEFBUTTON2);
        if (answer != IDYES) {
            FModel.Skip();
            EndOfItem();
            return;
        }
    }

    THttpCli& http = *FHttpCli1;
    // Once set, the proxy stays for the life of the window, as the user's setting did.
    if (IsProxyEnabled()) {
        std::string host;
        int port = 0;
        GetProxyForProtocol("http", host, port);
        http.SetProxy(host);
        http.SetProxyPort(std::to_string(port));
    }
    // A Google Video page writes its link as HTML text ("&amp;" between the parameters); the
    // server wants the address itself.
    const std::string requestUrl =
        FModel.Site() == vsGoogleVideo ? DecodeCharacterReferences(downloadUrl) : downloadUrl;
    http.SetURL(QualityAddress(requestUrl, quality, HdAvailable));

    for (;;) {
        bool failed = false;
        bool refused = false;
        std::unique_ptr<TFileStream> file;
        try {
            file = std::make_unique<TFileStream>(path, fmCreate | fmShareExclusive);
        } catch (const std::exception& e) {
            // A read-only or full folder, or a name the file system refuses: the error is
            // shown once, the item fails, and the run goes on with the next one.
            Application::HandleException(e.what());
            FModel.Fail("Unable to save " + address + ": " + e.what(), e.what());
            break;
        }
        {
            FTransferPath = path;
            ReceiveInto into(http, file.get());
            const QString label = ToQt("Downloading: " + ExtractFileName(path) + " ...");
            ui->lFileName->setText(label);
            ui->lFileName->setToolTip(label);
            try {
                http.Get();
            } catch (const EHttpException& e) {
                LogLine("download window", "transfer of " + http.URL() + " failed: " + e.Message());
                failed = true;
                // The page gave an address no request may carry: nothing was sent, and the
                // item has failed whatever quality is tried.
                if (e.ErrorCode() == httperrInvalidRequest) {
                    refused = true;
                    FModel.Fail("Unable download video from " + address + ": " + e.Message(), e.Message());
                }
            }
        }
        file.reset();
        if (refused) {
            std::remove(path.c_str()); // created empty for a request that never went out
            break;
        }
        // The file stays as it is: complete, partial or holding an error page.
        if (StopRequested)
            return;
        if (failed && quality == vqBestAvailable && http.URL() != requestUrl) {
            // The higher quality is not there: take the plain file once, without asking again.
            http.SetURL(requestUrl);
            path = ChangeFileExt(path, ".flv");
            continue;
        }
        break;
    }
    EndOfItem();
}

void TfrmDownload::EndOfItem()
{
    if (FModel.ConvertsAfterTransfer())
        PostMessage(WM_CONVERT_START);
    else
        NextItem();
}

void TfrmDownload::HttpCli1HeaderData(TObject*)
{
    // A relocating answer (the direct address usually sends the client to the server that
    // holds the file) describes its own short body, not the video: its length must not become
    // the size shown for the file.
    const int status = FHttpCli1->StatusCode();
    if (status >= 300 && status < 400)
        return;
    const std::optional<std::int64_t> size = FindContentLength(FHttpCli1->RcvdHeader());
    if (!size)
        return;
    SetBarMaximum(*size);
    TotalSizeText = KilobytesText(ProgressMaximum());
}

void TfrmDownload::HttpCli1DocData(TObject*, const char*, int)
{
    const std::int64_t rcvd = FHttpCli1->RcvdCount();
    ui->lReceiveData->setText(ToQt(ReceivedText(rcvd, TotalSizeText)));
    SetBarPosition(rcvd);
    const std::uint32_t now = GetTickCount();
    if (RateTick == 0)
        RateTick = now;
    const std::uint32_t elapsed = now - RateTick;
    if (elapsed >= 2000) {
        if (auto texts = RateUpdate(ProgressMaximum(), rcvd, RateCount, elapsed, FDecimalSeparator)) {
            ui->lReceiveSpeed->setText(ToQt(texts->Speed));
            ui->lEstimateTime->setText(ToQt(texts->Remaining));
        }
        RateCount = rcvd;
        RateTick = now;
    }
}

} // namespace cw
