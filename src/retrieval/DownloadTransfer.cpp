// The transfer stage: the output path, the overwrite question, the proxy, the address for the
// quality level, and the HTTP GET that writes the video into "<path>.part" while the header and
// data handlers keep the progress panel current. A broken connection is resumed where it
// stopped; only a complete file is renamed to its final name; a failure is recorded with the
// reason.

#include "convert/ConvertThread.h"
#include "platform/Application.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/MessageBox.h"
#include "platform/Streams.h"
#include "platform/SystemProxy.h"
#include "platform/TickCount.h"
#include "platform/Winsock.h"
#include "platform/gui/QtGlue.h"
#include "retrieval/Download.h"
#include "retrieval/DownloadText.h"
#include "ui_Download.h"

#include <algorithm>
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

// "1,164,288": a byte count grouped by ",".
std::string GroupedCount(std::int64_t n)
{
    std::string digits = std::to_string(n < 0 ? 0 : n);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return out;
}

std::string SecondsText(int ms)
{
    return std::to_string((ms + 999) / 1000) + " s";
}

bool IsLookupError(int code)
{
    return code >= ws::WSAHOST_NOT_FOUND && code <= ws::WSAHOST_NOT_FOUND + 3;
}

} // namespace

void TfrmDownload::SetTransferIdleTimeout(int ms)
{
    FHttpCli1->SetIdleTimeout(ms);
}

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

    // The question is about the finished file; an unfinished one (".part") is simply continued.
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
        const SystemProxy::Credentials login = SystemProxy::ProxyCredentials();
        http.SetProxyUsername(login.User);
        http.SetProxyPassword(login.Password);
    }
    // A Google Video page writes its link as HTML text ("&amp;" between the parameters); the
    // server wants the address itself.
    const std::string requestUrl =
        FModel.Site() == vsGoogleVideo ? DecodeCharacterReferences(downloadUrl) : downloadUrl;
    http.SetURL(QualityAddress(requestUrl, quality, HdAvailable));

    for (;;) {
        const TTransferResult result = TransferFile(path);
        if (result.Stopped || StopRequested)
            return; // the .part stays for the next run
        if (result.Done)
            break;
        if (quality == vqBestAvailable && http.URL() != requestUrl && result.Line.empty()) {
            // The higher quality is not there: take the plain file once, without asking again.
            // Nothing of the failed attempt is kept.
            RemoveFileIfAny(PartPathOf(path));
            RemoveFileIfAny(PartMetaPathOf(path));
            http.SetURL(requestUrl);
            path = ChangeFileExt(path, ".flv");
            continue;
        }
        FModel.Fail(result.Line.empty() ? "Unable download video from " + address + ": " + result.Reason : result.Line,
                    result.Reason);
        break;
    }
    EndOfItem();
}

TfrmDownload::TTransferResult TfrmDownload::SaveFailure(const std::exception& e)
{
    Application::HandleException(e.what());
    TTransferResult r;
    r.Reason = e.what();
    r.Line = "Unable to save " + FModel.Address() + ": " + e.what();
    return r;
}

std::string TfrmDownload::NoResponseReason(std::uint16_t code, const std::string& message) const
{
    const THttpCli& http = *FHttpCli1;
    const std::string proxy = http.Proxy().empty() ? std::string() : http.Proxy() + ":" + http.ProxyPort();
    if (code == httperrTimeout)
        return "no data for " + SecondsText(http.IdleTimeout());
    if (FLastRequestError == ws::WSAECONNREFUSED)
        return proxy.empty() ? "the server refused the connection" : "the proxy " + proxy + " refused the connection";
    if (IsLookupError(FLastRequestError))
        return proxy.empty() ? "host not found" : "host not found (the proxy " + proxy + ")";
    return message.empty() ? "no answer from the server" : message;
}

TfrmDownload::TTransferResult TfrmDownload::TransferFile(const std::string& finalPath)
{
    THttpCli& http = *FHttpCli1;
    const std::string partPath = PartPathOf(finalPath);
    FPartMetaPath = PartMetaPathOf(finalPath);
    FTransferPath.clear();

    // A .part left by an earlier run is continued, but only with what its first answer said
    // about the resource; without that it cannot be checked and starts over.
    std::int64_t offset = 0;
    FKept = TPartMeta{};
    if (const std::int64_t size = RegularFileSize(partPath); size > 0) {
        if (std::optional<TPartMeta> meta = ReadPartMeta(FPartMetaPath)) {
            FKept = *meta;
            offset = size;
        }
    }

    const int tries = static_cast<int>(FRetryDelays.size());
    int retries = 0;
    bool startedOver = false;
    const std::string name = ExtractFileName(finalPath);
    for (;;) {
        std::unique_ptr<TFileStream> file;
        try {
            file = std::make_unique<TFileStream>(partPath, offset > 0 ? fmOpenReadWrite | fmShareExclusive
                                                                      : fmCreate | fmShareExclusive);
            if (offset > 0) {
                file->SetSize(offset);
                file->Seek(offset, soBeginning);
            }
        } catch (const std::exception& e) {
            // A read-only or full folder, or a name the file system refuses: the item fails,
            // and the run goes on with the next one.
            return SaveFailure(e);
        }

        FResumeOffset = offset;
        FExpectedTotal = FKept.Total;
        FAnswer = anNone;
        FLastRequestError = 0;
        // Set on every attempt: the client also keeps the bounds of a received Content-Range.
        http.SetContentRangeEnd("");
        http.SetContentRangeBegin(offset > 0 ? std::to_string(offset) : std::string());
        RateTick = 0;
        RateCount = offset;
        const QString label = ToQt("Downloading: " + name + " ...");
        ui->lFileName->setText(label);
        ui->lFileName->setToolTip(label);

        bool failed = false;
        std::uint16_t code = 0;
        std::string message;
        std::string writeError;
        {
            FPartStream = file.get();
            ReceiveInto into(http, file.get());
            try {
                http.Get();
            } catch (const EHttpException& e) {
                LogLine("download window", "transfer of " + http.URL() + " failed: " + e.Message());
                failed = true;
                code = e.ErrorCode();
                message = e.Message();
            } catch (const EWriteError& e) {
                // The file takes no more (a full disk, a size limit): the client has ended the
                // request; what arrived stays in the .part for a later run.
                LogLine("download window", "transfer of " + http.URL() + " stopped: " + e.what());
                writeError = e.Reason().empty() ? std::string(e.what()) : e.Reason();
            } catch (...) {
                FPartStream = nullptr;
                throw;
            }
            FPartStream = nullptr;
        }
        const int status = http.StatusCode();
        const bool answered = status != 0;
        // Only the bytes of the file itself stay: an error page, a relocation's body or a range
        // that does not belong are cut off again.
        if (FAnswer != anAppend && FAnswer != anFresh)
            file->SetSize(FResumeOffset);
        const std::int64_t have = file->Size();
        file.reset();

        if (StopRequested) {
            TTransferResult r;
            r.Stopped = true;
            return r;
        }
        if (!writeError.empty()) {
            if (have == 0) {
                RemoveFileIfAny(partPath);
                RemoveFileIfAny(FPartMetaPath);
            }
            TTransferResult r;
            r.Reason = "cannot write " + ExtractFileName(partPath) + ": " + writeError;
            return r;
        }

        if (FAnswer == anMismatch || code == httperrRangeMismatch || (answered && status == 416)) {
            // The server does not continue these bytes (another resource, or a range it will
            // not serve): start over from the first byte, once.
            if (!startedOver) {
                startedOver = true;
                offset = 0;
                FKept = TPartMeta{};
                RemoveFileIfAny(FPartMetaPath);
                continue;
            }
            TTransferResult r;
            r.Reason = "the server did not continue the file where it stopped";
            return r;
        }

        const bool success = answered ? status >= 200 && status < 300 : !failed;
        if (!failed && success && (FExpectedTotal < 0 || have == FExpectedTotal)) {
            try {
                if (FAnswer == anNone) {
                    // A 2xx without a body: the file is empty.
                    TFileStream(partPath, fmCreate).SetSize(0);
                }
                ReplaceFile(partPath, finalPath);
            } catch (const std::exception& e) {
                return SaveFailure(e);
            }
            RemoveFileIfAny(FPartMetaPath);
            FTransferPath = finalPath;
            TTransferResult r;
            r.Done = true;
            return r;
        }

        // (A request that failed for another reason after a non-2xx header, such as a time-out
        // in a relocation's body, is a broken connection, below.)
        // The proxy refusing the tunnel, or a chain of relocations without end, is as final.
        if ((answered && !success && (!failed || code == status)) || code == httperrProxyRefused ||
            code == httperrTooManyRelocations) {
            // The server's final word was no: nothing more to try. The .part keeps the video
            // bytes of earlier attempts, if there were any.
            if (have == 0) {
                RemoveFileIfAny(partPath);
                RemoveFileIfAny(FPartMetaPath);
            }
            TTransferResult r;
            if (status == 407)
                r.Reason = http.ProxyUsername().empty() ? "the proxy asks for a user name and password"
                                                        : "the proxy did not accept the user name and password";
            else if (status == 401)
                r.Reason = "the server asks for a user name and password";
            else if (code == httperrProxyRefused || code == httperrTooManyRelocations)
                r.Reason = message;
            else
                r.Reason = "the server answered " + std::to_string(status) +
                           (http.ReasonPhrase().empty() ? std::string() : " " + http.ReasonPhrase());
            return r;
        }

        // The connection broke (closed early, reset, nothing more for the idle limit) or never
        // came about. With video bytes kept, ask again for the rest after a pause.
        if (have > 0 && retries < tries) {
            const std::uint32_t pause = FRetryDelays[static_cast<std::size_t>(retries)];
            ++retries;
            if (!WaitBeforeRetry(pause, retries, tries)) {
                TTransferResult r;
                r.Stopped = true;
                return r;
            }
            offset = have;
            continue;
        }
        TTransferResult r;
        if (have > 0) {
            const std::string of = FExpectedTotal >= 0 ? " of " + GroupedCount(FExpectedTotal) : std::string();
            r.Reason = (code == httperrTimeout ? "no data for " + SecondsText(http.IdleTimeout()) + " after "
                                               : std::string("the connection closed after ")) +
                       GroupedCount(have) + of + " bytes (" + std::to_string(retries) +
                       (retries == 1 ? " try)" : " tries)");
        } else {
            RemoveFileIfAny(partPath);
            RemoveFileIfAny(FPartMetaPath);
            r.Reason = NoResponseReason(code, message);
        }
        return r;
    }
}

bool TfrmDownload::WaitBeforeRetry(std::uint32_t ms, int attempt, int count)
{
    const std::uint32_t start = GetTickCount();
    std::uint32_t shown = 0;
    for (;;) {
        if (StopRequested || FClosed || Stopping())
            return false;
        const std::uint32_t elapsed = GetTickCount() - start;
        if (elapsed >= ms)
            return true;
        const std::uint32_t left = (ms - elapsed + 999) / 1000;
        if (left != shown) {
            shown = left;
            const QString text = ToQt("Connection lost, retrying in " + std::to_string(left) + " s (" +
                                      std::to_string(attempt) + "/" + std::to_string(count) + ") ...");
            ui->lFileName->setText(text);
            ui->lFileName->setToolTip(text);
        }
        Application::WaitMessage(static_cast<int>(std::min<std::uint32_t>(100, ms - elapsed)));
    }
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
    // the size shown for the file. A partial answer's length is only the rest; its total size
    // comes with the body (HttpCli1DocBegin).
    const int status = FHttpCli1->StatusCode();
    if ((status >= 300 && status < 400) || status == 206)
        return;
    const std::optional<std::int64_t> size = FindContentLength(FHttpCli1->RcvdHeader());
    if (!size)
        return;
    SetBarMaximum(*size);
    TotalSizeText = KilobytesText(ProgressMaximum());
}

// The body of an answer begins: decide where its bytes go before the first one is written.
void TfrmDownload::HttpCli1DocBegin(TObject*)
{
    THttpCli& http = *FHttpCli1;
    const int status = http.StatusCode();
    if (!FPartStream || status < 200 || status >= 300)
        return; // a relocation's or an error's body: cut off after the attempt
    if (status == 206) {
        const std::optional<TContentRange> range = ParseContentRange(http.ContentRange());
        const bool fits = FResumeOffset > 0 ? ContinuesPart(FKept, FResumeOffset, http.URL(), http.ContentRange(),
                                                            http.ETag(), http.LastModified())
                                            : range && range->First == 0;
        if (!fits) {
            FAnswer = anMismatch;
            http.Abort();
            return;
        }
        FAnswer = anAppend;
        FExpectedTotal = range->Total;
        if (FResumeOffset == 0)
            FKept = TPartMeta{http.URL(), range->Total, http.ETag(), http.LastModified()};
        if (range->Total >= 0) {
            SetBarMaximum(range->Total);
            TotalSizeText = KilobytesText(ProgressMaximum());
        }
    } else {
        // The whole resource from its first byte: a new file, or a server that ignores Range.
        FPartStream->SetSize(0);
        FPartStream->Seek(0, soBeginning);
        FResumeOffset = 0;
        RateCount = 0;
        FAnswer = anFresh;
        FExpectedTotal =
            http.TransferEncoding() == "chunked" || !http.ContentEncoding().empty() ? -1 : http.ContentLength();
        FKept = TPartMeta{http.URL(), FExpectedTotal, http.ETag(), http.LastModified()};
    }
    if (FResumeOffset == 0) {
        try {
            WritePartMeta(FPartMetaPath, FKept);
        } catch (const std::exception& e) {
            // The transfer goes on; only a later run cannot continue this file.
            LogLine("download window", e.what());
        }
    }
}

void TfrmDownload::HttpCli1DocData(TObject*, const char*, int)
{
    const std::int64_t rcvd = FResumeOffset + FHttpCli1->RcvdCount();
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
