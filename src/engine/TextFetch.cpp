#include "engine/TextFetch.h"

#include "engine/core/DownloadCore.h"
#include "engine/core/RateLimit.h"
#include "engine/core/RetryTable.h"
#include "net/http/HttpProt.h"
#include "platform/Application.h"
#include "platform/Log.h"

#include <QObject>
#include <QTimer>

#include <algorithm>

namespace cw {

TTextFetch::TTextFetch(const THttpCli& settings, const std::string& nameSuffix)
    : FSettings(settings), FNameSuffix(nameSuffix), FContext(std::make_unique<QObject>()),
      FRetryDelays(DefaultRetryDelaysMs())
{
}

TTextFetch::~TTextFetch()
{
    Stop();
}

void TTextFetch::Start(TTextRequest request)
{
    // Started from the last text's end, often: the context whose timer may be calling stays.
    Halt();
    FRequest = std::move(request);
    FTries = 0;
    Request();
}

void TTextFetch::Stop()
{
    Halt();
    // A throttle's timer of the request stopped resumes nothing.
    FContext = std::make_unique<QObject>();
}

void TTextFetch::Halt()
{
    FWaiting = false;
    if (FPause)
        FPause->stop();
    if (FBusy && FHttp) {
        FBusy = false;
        FHttp->OnRequestDone = nullptr;
        FHttp->OnDocData = nullptr;
        FHttp->OnDocBegin = nullptr;
        FHttp->Abort();
    }
    FBody.clear();
    ++FSerial; // nor does one of a request ended here
}

void TTextFetch::Request()
{
    if (!FHttp) {
        FHttp = std::make_unique<THttpCli>();
        FHttp->SetName(FSettings.Name() + FNameSuffix);
        TakeClientSettings(*FHttp, FSettings);
        FHttp->SetFollowRelocation(true);
        FHttp->SetRcvdStream(nullptr);
    }
    THttpCli& h = *FHttp;
    // Each address goes its own way: a key or an index on a host no_proxy names is reached
    // directly, whatever route the playlist took.
    UseProxyFor(h, FRequest.Url);
    h.SetAccept(FRequest.Accept);
    h.SetURL(FRequest.Url);
    const bool ranged = FRequest.Offset >= 0;
    h.SetContentRangeBegin(ranged ? std::to_string(FRequest.Offset) : std::string());
    h.SetContentRangeEnd(ranged ? std::to_string(FRequest.Offset + FRequest.Length - 1) : std::string());
    FBody.clear();
    FTooLarge = false;
    FEnough = false;
    FThrottled = false;
    FTaken = false;
    FSkip = 0;
    ++FSerial;
    h.OnDocBegin = [this](TObject*) { DocBegin(); };
    h.OnDocData = [this](TObject*, const char* data, int len) { DocData(data, len); };
    h.OnRequestDone = [this](TObject*, THttpRequest, std::uint16_t) { Application::Guard([this] { RequestDone(); }); };
    FBusy = true;
    try {
        h.DoRequestAsync(httpGET);
    } catch (const std::exception& e) {
        FBusy = false;
        TTextResult failed;
        failed.Fail = fkNetwork;
        failed.Words = FRequest.What + " " + FRequest.Url + ": " + e.what();
        // Never inside Start: the owner hears of it from the event loop, unless another text
        // was started meanwhile.
        QTimer::singleShot(0, FContext.get(), [this, failed, serial = FSerial] {
            Application::Guard([&] {
                if (serial == FSerial)
                    End(failed);
            });
        });
    }
}

// Each answer's document starts afresh: a relocation's body is nobody's bytes.
void TTextFetch::DocBegin()
{
    FBody.clear();
    const int status = FHttp->StatusCode();
    FTaken = status >= 200 && status < 300;
    FSkip = FRequest.Offset > 0 && status != 206 ? FRequest.Offset : 0;
}

void TTextFetch::DocData(const char* data, int len)
{
    // Every byte read counts against the cap, also those dropped.
    if (FRateLimit && len > 0)
        if (const std::int64_t wait = FRateLimit->Take(len, RateClockMs()); wait > 0 && !FThrottled)
            Throttle(wait);
    if (FTooLarge || FEnough)
        return;
    const std::size_t n = static_cast<std::size_t>(len);
    if (!FTaken) {
        // An error page is read to its end for the connection's sake, never taken, and bounded
        // all the same.
        if (FBody.size() + n > FRequest.Limit) {
            FTooLarge = true;
            FHttp->Abort();
            return;
        }
        FBody.append(data, n);
        return;
    }
    if (FSkip > 0) {
        const int drop = static_cast<int>(std::min<std::int64_t>(FSkip, len));
        FSkip -= drop;
        data += drop;
        len -= drop;
    }
    const std::size_t kept = static_cast<std::size_t>(len);
    if (FRequest.Offset >= 0 && FBody.size() + kept >= static_cast<std::size_t>(FRequest.Length)) {
        // The range is in: the rest of a whole resource is not wanted.
        FBody.append(data, static_cast<std::size_t>(FRequest.Length) - FBody.size());
        FEnough = true;
        FHttp->Abort();
        return;
    }
    if (FBody.size() + kept > FRequest.Limit) {
        FTooLarge = true;
        FHttp->Abort();
        return;
    }
    FBody.append(data, kept);
}

// The client reads nothing more until the cap allows; the server slows down with it.
void TTextFetch::Throttle(std::int64_t waitMs)
{
    FThrottled = true;
    FHttp->CtrlSocket().Pause();
    const std::uint64_t serial = FSerial;
    QTimer::singleShot(static_cast<int>(std::min<std::int64_t>(waitMs, 60000)), FContext.get(), [this, serial] {
        Application::Guard([this, serial] {
            if (serial != FSerial || !FBusy || !FThrottled)
                return;
            FThrottled = false;
            FHttp->CtrlSocket().Resume();
        });
    });
}

std::string TTextFetch::Where() const
{
    return FRequest.What + " " + (FHttp->Location().empty() ? FRequest.Url : FHttp->Location());
}

// The client's one outcome decides. retry: whether asking again may help.
TTextResult TTextFetch::Judge(bool& retry)
{
    THttpCli& h = *FHttp;
    TTextResult r;
    r.Request = h.Outcome();
    r.Status = r.Request.Status;
    r.FinalUrl = h.Location().empty() ? FRequest.Url : h.Location();
    r.ContentType = h.ContentType();
    retry = false;
    const bool ranged = FRequest.Offset >= 0;
    const int status = r.Status;
    auto failed = [&](TFailKind kind, const std::string& why, bool again) {
        r.Fail = kind;
        r.Words = Where() + ": " + why;
        retry = again;
        return r;
    };
    // An error status is the answer, however its page ended.
    if (!FTaken && status >= 300 && r.Request.Kind == hoStopped)
        return failed(fkServer, StatusWords(h), StatusWorthRetry(status));
    if (FTooLarge) {
        r.TooLarge = true;
        return failed(fkMedia, "larger than " + FRequest.LimitWords, false);
    }
    const bool whole = (FEnough && FTaken) || r.Request.Done();
    if (whole && (ranged ? status == 206 || status == 200 : status >= 200 && status < 300)) {
        r.Ok = true;
        r.Body = std::move(FBody);
        return r;
    }
    switch (r.Request.Kind) {
    case hoDone: // a 2xx that is no answer to a range
        return failed(fkServer,
                      "the server answered " + std::to_string(status) + " where bytes " +
                          std::to_string(FRequest.Offset) + "-" +
                          std::to_string(FRequest.Offset + FRequest.Length - 1) + " were asked for",
                      false);
    case hoStatus:
    case hoAuthentication:
        return failed(fkServer, StatusWords(h), StatusWorthRetry(status));
    case hoProxy:
    case hoTooManyRelocations:
    case hoLocal:
        return failed(fkServer, r.Request.Words, false);
    case hoFraming:
        if (r.Request.Code == httperrRangeMismatch)
            return failed(fkServer, r.Request.Words, false);
        [[fallthrough]];
    default:
        // Broken, silent or unreachable: worth another try.
        return failed(fkNetwork, r.Request.Words.empty() ? std::string("no answer from the server") : r.Request.Words,
                      true);
    }
}

void TTextFetch::RequestDone()
{
    if (!FBusy)
        return;
    FBusy = false;
    ++FSerial; // a throttle's timer of this request resumes nothing
    bool retry = false;
    TTextResult result = Judge(retry);
    FBody.clear();
    if (!result.Ok && retry && FTries < static_cast<int>(FRetryDelays.size()))
        return Wait(result);
    End(std::move(result));
}

// A text broken on the way is asked for again after the run's pauses.
void TTextFetch::Wait(const TTextResult& result)
{
    const std::uint32_t pause = FRetryDelays[static_cast<std::size_t>(FTries++)];
    LogLine("text", result.Words + "; again in " + std::to_string(pause) + " ms");
    if (!FPause) {
        FPause = std::make_unique<QTimer>();
        FPause->setSingleShot(true);
        QObject::connect(FPause.get(), &QTimer::timeout, [this] {
            Application::Guard([this] {
                if (!FWaiting)
                    return;
                FWaiting = false;
                if (OnRetry)
                    OnRetry();
                Request();
            });
        });
    }
    FWaiting = true;
    FPause->start(static_cast<int>(pause));
    if (OnWaiting)
        OnWaiting(static_cast<int>((pause + 999) / 1000), FTries, static_cast<int>(FRetryDelays.size()));
}

void TTextFetch::End(TTextResult result)
{
    // The last thing done here: the owner may start the next text from its handler.
    if (OnEnded)
        OnEnded(result);
}

} // namespace cw
