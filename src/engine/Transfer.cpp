#include "engine/Transfer.h"

#include "engine/DownloadText.h"
#include "engine/HlsPlaylist.h"
#include "platform/Application.h"
#include "platform/Log.h"
#include "platform/TickCount.h"
#include "platform/Winsock.h"

#include <QTimer>

#include <algorithm>

namespace cw {
namespace {

bool IsLookupError(int code)
{
    return code >= ws::WSAHOST_NOT_FOUND && code <= ws::WSAHOST_NOT_FOUND + 3;
}

constexpr std::uint32_t kRateIntervalMs = 2000;
constexpr int kPauseTickMs = 100;

} // namespace

TTransfer::TTransfer(THttpCli& http)
    : FHttp(http), FWindow([this](TMessage& m) { WndProc(m); }),
      FRetryDelays{1000, 2000, 4000, 8000, 16000}
{
}

TTransfer::~TTransfer()
{
    Stop();
    // A retired connection's pause timer or client must not outlive what it points into.
    FRetired.clear();
}

void TTransfer::WndProc(TMessage& msg)
{
    if (msg.Msg == WM_TRANSFER_STEP && msg.WParam == stFreeRetired) {
        FRetired.clear();
        return;
    }
    if (msg.Msg != WM_TRANSFER_STEP || !FRunning)
        return;
    if (msg.WParam == stAttempt) {
        // A file whose ranges an earlier run left open continues them all.
        if (!FKept.Ranges.empty() && ResumeSegments())
            return;
        Attempt();
    } else if (msg.WParam == stEnded) {
        FRunning = false;
        if (OnEnded)
            OnEnded(FResult);
    }
}

void TTransfer::Start(const std::string& finalPath)
{
    Stop();
    FFinalPath = finalPath;
    FPartPath = PartPathOf(finalPath);
    FMetaPath = PartMetaPathOf(finalPath);
    FName = ExtractFileName(finalPath);
    FCompletedPath.clear();
    FResult = TTransferResult{};
    // A .part left by an earlier run is continued, but only with what its first answer said
    // about the resource; without that it cannot be checked and starts over.
    FOffset = 0;
    FKept = TPartMeta{};
    FSegmented = false;
    FUrl = FHttp.URL();
    if (const std::int64_t size = RegularFileSize(FPartPath); size > 0) {
        if (std::optional<TPartMeta> meta = ReadPartMeta(FMetaPath)) {
            FKept = *meta;
            // Ranges: the .part has holes, and its size says nothing of what is there.
            FOffset = FKept.Ranges.empty() ? size : 0;
        }
    }
    FRetries = 0;
    FStartedOver = false;
    FRunning = true;
    FWindow.PostMessage(WM_TRANSFER_STEP, stAttempt);
}

void TTransfer::Stop()
{
    if (FPauseTimer)
        FPauseTimer->stop();
    if (FSegmented) {
        StopConnections();
        SaveRanges(true);
        CloseSegmentFile();
        FRunning = false;
        return;
    }
    if (FInRequest) {
        FInRequest = false;
        // The request's end arrives later, for nobody: the handlers are gone first.
        Detach();
        try {
            FHttp.Abort();
        } catch (...) {
            LogCaught("transfer", "aborting the request on stop");
        }
    }
    CloseFile();
    FRunning = false;
}

void TTransfer::Detach()
{
    FHttp.OnHeaderData = nullptr;
    FHttp.OnDocBegin = nullptr;
    FHttp.OnDocData = nullptr;
    FHttp.OnRequestDone = nullptr;
    FHttp.SetRcvdStream(nullptr);
}

std::int64_t TTransfer::CloseFile()
{
    if (!FFile)
        return 0;
    FHttp.SetRcvdStream(nullptr);
    std::int64_t have = 0;
    try {
        // Only the bytes of the file itself stay: an error page, a relocation's body or a range
        // that does not belong are cut off again.
        if (FAnswer != anAppend && FAnswer != anFresh)
            FFile->SetSize(FResumeOffset);
        have = FFile->Size();
    } catch (...) {
        LogCaught("transfer", "cutting " + FPartPath + " back to its video bytes");
    }
    FFile.reset();
    return have;
}

void TTransfer::Attempt()
{
    try {
        FFile = std::make_unique<TFileStream>(FPartPath, FOffset > 0 ? fmOpenReadWrite | fmShareExclusive
                                                                     : fmCreate | fmShareExclusive);
        if (FOffset > 0) {
            FFile->SetSize(FOffset);
            FFile->Seek(FOffset, soBeginning);
        }
    } catch (const std::exception& e) {
        // A read-only or full folder, or a name the file system refuses: the item fails, and
        // the run goes on with the next one.
        FFile.reset();
        return Finish(SaveFailure(e));
    }

    FResumeOffset = FOffset;
    FExpectedTotal = FKept.Total;
    FAnswer = anNone;
    FLastRequestError = 0;
    // Set on every attempt: the client also keeps the bounds of a received Content-Range.
    FHttp.SetContentRangeEnd("");
    // With several connections allowed, the first request asks for "bytes=0-": a 206 to it says
    // that the server honours ranges, without a round trip of its own.
    FHttp.SetContentRangeBegin(FOffset > 0 ? std::to_string(FOffset) : FConnections > 1 ? "0" : std::string());
    FRateTick = 0;
    FRateCount = FOffset;
    if (OnAttempt)
        OnAttempt(FName, FOffset);

    FHttp.SetKeepEventExceptions(true);
    FHttp.SetRcvdStream(FFile.get());
    FHttp.OnHeaderData = [this](TObject*) { HeaderData(); };
    FHttp.OnDocBegin = [this](TObject*) { DocBegin(); };
    FHttp.OnDocData = [this](TObject*, const char*, int) { DocData(); };
    FHttp.OnRequestDone = [this](TObject*, THttpRequest, std::uint16_t error) { RequestDone(error); };
    FInRequest = true;
    try {
        FHttp.DoRequestAsync(httpGET);
    } catch (const EHttpException& e) {
        // Refused before anything went out (a control byte in the address, a busy client).
        FInRequest = false;
        Detach();
        LogLine("transfer", "transfer of " + FHttp.URL() + " failed: " + e.Message());
        AttemptEnded(true, e.ErrorCode(), e.Message(), std::string());
    }
}

void TTransfer::RequestDone(std::uint16_t errCode)
{
    if (!FInRequest)
        return;
    FInRequest = false;
    Detach();
    FLastRequestError = errCode;
    bool failed = false;
    std::uint16_t code = 0;
    std::string message;
    std::string writeError;
    // What the synchronous form would have raised, in the same order.
    if (std::exception_ptr e = FHttp.TakeEventException()) {
        try {
            std::rethrow_exception(e);
        } catch (const EWriteError& w) {
            // The file takes no more (a full disk, a size limit): what arrived stays in the
            // .part for a later run.
            writeError = w.Reason().empty() ? std::string(w.what()) : w.Reason();
        } catch (const EHttpException& h) {
            failed = true;
            code = h.ErrorCode();
            message = h.Message();
        } catch (const std::exception& x) {
            failed = true;
            code = httperrBadResponse;
            message = x.what();
        } catch (...) {
            failed = true;
            code = httperrBadResponse;
            message = "unknown error";
        }
    } else if (!FHttp.FailureText().empty()) {
        failed = true;
        code = FHttp.FailureCode();
        message = FHttp.FailureText();
    } else if (const int status = FHttp.StatusCode(); status > 399 && status != 401 && status != 407) {
        failed = true;
        code = static_cast<std::uint16_t>(status);
        message = FHttp.ReasonPhrase();
    } else if (status < 100 || status > 599) {
        failed = true;
        code = httperrBadResponse;
        message = "No valid HTTP response from the server";
    }
    if (failed)
        LogLine("transfer", "transfer of " + FHttp.URL() + " failed: " + message);
    else if (!writeError.empty())
        LogLine("transfer", "transfer of " + FHttp.URL() + " stopped: " + writeError);
    AttemptEnded(failed, code, message, writeError);
}

void TTransfer::AttemptEnded(bool failed, std::uint16_t code, const std::string& message,
                             const std::string& writeError)
{
    const int status = FHttp.StatusCode();
    const bool answered = status != 0;
    const std::int64_t have = CloseFile();
    const int tries = static_cast<int>(FRetryDelays.size());

    if (!writeError.empty()) {
        if (have == 0) {
            RemoveFileIfAny(FPartPath);
            RemoveFileIfAny(FMetaPath);
        }
        TTransferResult r;
        r.Reason = "cannot write " + ExtractFileName(FPartPath) + ": " + writeError;
        return Finish(r);
    }

    if (FAnswer == anPlaylist) {
        if (have == 0) {
            RemoveFileIfAny(FPartPath);
            RemoveFileIfAny(FMetaPath);
        }
        TTransferResult r;
        r.Playlist = true;
        r.Reason = "the address answered with a stream's playlist";
        return Finish(r);
    }
    if (FAnswer == anMismatch || code == httperrRangeMismatch || (answered && status == 416)) {
        // The server does not continue these bytes (another resource, or a range it will not
        // serve): start over from the first byte, once.
        if (!FStartedOver) {
            FStartedOver = true;
            FOffset = 0;
            FKept = TPartMeta{};
            RemoveFileIfAny(FMetaPath);
            FWindow.PostMessage(WM_TRANSFER_STEP, stAttempt);
            return;
        }
        TTransferResult r;
        r.Reason = "the server did not continue the file where it stopped";
        return Finish(r);
    }

    const bool success = answered ? status >= 200 && status < 300 : !failed;
    if (!failed && success && (FExpectedTotal < 0 || have == FExpectedTotal)) {
        try {
            if (FAnswer == anNone) {
                // A 2xx without a body: the file is empty.
                TFileStream(FPartPath, fmCreate).SetSize(0);
            }
            ReplaceFile(FPartPath, FFinalPath);
        } catch (const std::exception& e) {
            return Finish(SaveFailure(e));
        }
        RemoveFileIfAny(FMetaPath);
        FCompletedPath = FFinalPath;
        TTransferResult r;
        r.Done = true;
        return Finish(r);
    }

    // An error status stands even when its page then broke off; the proxy refusing the tunnel,
    // or a chain of relocations without end, is as final.
    if ((answered && !success && (!failed || code == status || status >= 400)) || code == httperrProxyRefused ||
        code == httperrTooManyRelocations) {
        // The server's final word was no: nothing more to try. The .part keeps the video bytes
        // of earlier attempts, if there were any.
        if (have == 0) {
            RemoveFileIfAny(FPartPath);
            RemoveFileIfAny(FMetaPath);
        }
        TTransferResult r;
        if (status == 407)
            r.Reason = FHttp.ProxyUsername().empty() ? "the proxy asks for a user name and password"
                                                     : "the proxy did not accept the user name and password";
        else if (status == 401)
            r.Reason = "the server asks for a user name and password";
        else if (code == httperrProxyRefused || code == httperrTooManyRelocations)
            r.Reason = message;
        else
            r.Reason = "the server answered " + std::to_string(status) +
                       (FHttp.ReasonPhrase().empty() ? std::string() : " " + FHttp.ReasonPhrase());
        return Finish(r);
    }

    // The connection broke (closed early, reset, nothing more for the idle limit) or never came
    // about. With video bytes kept, ask again for the rest after a pause.
    if (have > 0 && FRetries < tries) {
        const std::uint32_t pause = FRetryDelays[static_cast<std::size_t>(FRetries)];
        ++FRetries;
        FOffset = have;
        return Pause(pause);
    }
    TTransferResult r;
    if (have > 0) {
        const std::string of = FExpectedTotal >= 0 ? " of " + GroupedCount(FExpectedTotal) : std::string();
        r.Reason = (code == httperrTimeout ? "no data for " + SecondsText(FHttp.IdleTimeout()) + " after "
                                           : std::string("the connection closed after ")) +
                   GroupedCount(have) + of + " bytes (" + std::to_string(FRetries) +
                   (FRetries == 1 ? " try)" : " tries)");
    } else {
        RemoveFileIfAny(FPartPath);
        RemoveFileIfAny(FMetaPath);
        r.Reason = NoResponseReason(code, message);
    }
    Finish(r);
}

void TTransfer::Pause(std::uint32_t ms)
{
    if (!FPauseTimer) {
        FPauseTimer = std::make_unique<QTimer>();
        FPauseTimer->setSingleShot(true);
        QObject::connect(FPauseTimer.get(), &QTimer::timeout, [this] { Application::Guard([this] { PauseTick(); }); });
    }
    FPauseStart = GetTickCount();
    FPauseMs = ms;
    FPauseShown = 0;
    PauseTick();
}

void TTransfer::PauseTick()
{
    const std::uint32_t elapsed = GetTickCount() - FPauseStart;
    if (elapsed >= FPauseMs) {
        Attempt();
        return;
    }
    const int left = static_cast<int>((FPauseMs - elapsed + 999) / 1000);
    if (left != FPauseShown) {
        FPauseShown = left;
        if (OnWaiting)
            OnWaiting(left, FRetries, static_cast<int>(FRetryDelays.size()));
    }
    FPauseTimer->start(static_cast<int>(std::min<std::uint32_t>(kPauseTickMs, FPauseMs - elapsed)));
}

void TTransfer::Finish(TTransferResult result)
{
    FResult = std::move(result);
    FWindow.PostMessage(WM_TRANSFER_STEP, stEnded);
}

TTransferResult TTransfer::SaveFailure(const std::exception& e)
{
    TTransferResult r;
    r.SaveFailed = true;
    r.Reason = e.what();
    return r;
}

std::string TTransfer::NoResponseReason(std::uint16_t code, const std::string& message) const
{
    const std::string proxy = FHttp.Proxy().empty() ? std::string() : FHttp.Proxy() + ":" + FHttp.ProxyPort();
    if (code == httperrTimeout)
        return "no data for " + SecondsText(FHttp.IdleTimeout());
    if (FLastRequestError == ws::WSAECONNREFUSED)
        return proxy.empty() ? "the server refused the connection" : "the proxy " + proxy + " refused the connection";
    if (IsLookupError(FLastRequestError))
        return proxy.empty() ? "host not found" : "host not found (the proxy " + proxy + ")";
    return message.empty() ? "no answer from the server" : message;
}

void TTransfer::HeaderData()
{
    // A relocating answer (the direct address usually sends the client to the server that holds
    // the file) describes its own short body, not the video: its length must not become the
    // size shown for the file. A partial answer's length is only the rest; its total size comes
    // with the body (DocBegin).
    const int status = FHttp.StatusCode();
    if ((status >= 300 && status < 400) || status == 206)
        return;
    const std::optional<std::int64_t> size = FindContentLength(FHttp.RcvdHeader());
    if (size && OnSize)
        OnSize(*size);
}

// The body of an answer begins: decide where its bytes go before the first one is written.
void TTransfer::DocBegin()
{
    const int status = FHttp.StatusCode();
    if (!FFile || status < 200 || status >= 300)
        return; // a relocation's or an error's body: cut off after the attempt
    if (IsHlsPlaylistType(FHttp.ContentType())) {
        // A page may declare a file where its server answers with a stream's playlist.
        FAnswer = anPlaylist;
        FHttp.Abort();
        return;
    }
    if (status == 206) {
        const std::optional<TContentRange> range = ParseContentRange(FHttp.ContentRange());
        const bool fits = FResumeOffset > 0 ? ContinuesPart(FKept, FResumeOffset, FHttp.URL(), FHttp.ContentRange(),
                                                            FHttp.ETag(), FHttp.LastModified())
                                            : range && range->First == 0;
        if (!fits) {
            FAnswer = anMismatch;
            FHttp.Abort();
            return;
        }
        FAnswer = anAppend;
        FExpectedTotal = range->Total;
        if (FResumeOffset == 0)
            FKept = TPartMeta{FHttp.URL(), range->Total, FHttp.ETag(), FHttp.LastModified(), {}};
        if (range->Total >= 0 && OnSize)
            OnSize(range->Total);
    } else {
        // The whole resource from its first byte: a new file, or a server that ignores Range.
        FFile->SetSize(0);
        FFile->Seek(0, soBeginning);
        FResumeOffset = 0;
        FRateCount = 0;
        FAnswer = anFresh;
        FExpectedTotal =
            FHttp.TransferEncoding() == "chunked" || !FHttp.ContentEncoding().empty() ? -1 : FHttp.ContentLength();
        FKept = TPartMeta{FHttp.URL(), FExpectedTotal, FHttp.ETag(), FHttp.LastModified(), {}};
    }
    if (FResumeOffset == 0) {
        try {
            WritePartMeta(FMetaPath, FKept);
        } catch (const std::exception& e) {
            // The transfer goes on; only a later run cannot continue this file.
            LogLine("transfer", e.what());
        }
    }
    if (FAnswer == anAppend && FResumeOffset == 0 && Segmentable(FExpectedTotal))
        StartSegments(FExpectedTotal);
}

void TTransfer::DocData()
{
    Progress(FResumeOffset + FHttp.RcvdCount());
}

// The bytes of the file so far to the front end, with a rate sample every two seconds.
void TTransfer::Progress(std::int64_t rcvd)
{
    const std::uint32_t now = GetTickCount();
    if (FRateTick == 0)
        FRateTick = now;
    const std::uint32_t elapsed = now - FRateTick;
    TRateSample sample;
    const bool sampled = elapsed >= kRateIntervalMs;
    if (sampled) {
        sample.Bytes = rcvd - FRateCount;
        sample.ElapsedMs = elapsed;
        FRateCount = rcvd;
        FRateTick = now;
    }
    if (OnProgress)
        OnProgress(rcvd, FExpectedTotal, sampled ? &sample : nullptr);
}

} // namespace cw
