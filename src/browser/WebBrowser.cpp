#include "browser/WebBrowser.h"

#include "net/http/HttpProt.h"
#include "net/http/HttpUrl.h"
#include "platform/Log.h"
#include "platform/MediaTypes.h"
#include "platform/SystemProxy.h"
#include "platform/Text.h"

#include "platform/Winsock.h"

#include <cstring>

namespace cw {
namespace {

// Posted to the browser's own window: free the clients of dropped loads.
constexpr unsigned WM_BROWSER_FREE_RETIRED = WM_USER + 0x301;
// Posted when a page grew past the size limit: stop its load outside the client's own event.
constexpr unsigned WM_BROWSER_STOP_LOAD = WM_USER + 0x302;

bool IsBlank(const std::string& address)
{
    return text::SameNoCase(address, "about:blank");
}

std::string HtmlEscape(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

bool IsLookupError(int code)
{
    return code >= ws::WSAHOST_NOT_FOUND && code <= ws::WSAHOST_NOT_FOUND + 3;
}

} // namespace

const char* const TWebBrowser::UserAgent = "Mozilla/5.0 (X11; Linux x86_64) Clipwarden/1.2";

std::string ErrorDocument(const std::string& address, const std::string& reason)
{
    return "<html><head><title>Cannot display the webpage</title></head><body>"
           "<h1>Cannot display the webpage</h1><p>" +
           HtmlEscape(address) + "</p><p>" + HtmlEscape(reason) + "</p></body></html>";
}

// ---- TWebDocument

TWebDocument::TWebDocument(std::string address) : FAddress(std::move(address))
{
    Touch();
}

void TWebDocument::Touch()
{
    // One counter for every document: a version is never seen twice, not even on a new
    // document that happens to live at the address of an old one.
    static std::uint64_t counter = 0;
    FVersion = ++counter;
}

void TWebDocument::Save(TStream& stream) const
{
    if (FTooLarge)
        throw EWebDocumentError("The document is too large to be kept");
    const std::string& data = FBody.DataString();
    stream.WriteBuffer(data.data(), static_cast<std::int64_t>(data.size()));
}

// ---- TWebBrowser

TWebBrowser::TWebBrowser(TComponent* owner) : TComponent(owner), FWindow([this](TMessage& m) { WndProc(m); }) {}

TWebBrowser::~TWebBrowser()
{
    // The clients' hidden windows go with them; nothing they posted is delivered afterwards.
    DropRequest();
    DropMediaAnswer();
    FRetired.clear();
}

void TWebBrowser::SetReadyState(int value)
{
    if (FReadyState == value)
        return;
    FReadyState = value;
    if (FDocument)
        FDocument->Touch();
    if (OnReadyStateChange)
        OnReadyStateChange(this);
}

void TWebBrowser::DocumentChanged()
{
    FDocument->Touch();
    if (OnDocumentChange)
        OnDocumentChange(this);
}

void TWebBrowser::DropRequest()
{
    if (!FHttp)
        return;
    std::unique_ptr<THttpCli> old = std::move(FHttp);
    // Silence it first: the abort must not report into the next document.
    old->OnHeaderEnd = nullptr;
    old->OnDocData = nullptr;
    old->OnRequestDone = nullptr;
    old->OnLocationChange = nullptr;
    old->OnStateChange = nullptr;
    try {
        old->SetRcvdStream(nullptr);
        old->Abort();
    } catch (...) {
        // A client that cannot abort cleanly is freed all the same.
        LogCaught("browser", "aborting the previous page's client");
    }
    FRetired.push_back(std::move(old));
    FWindow.PostMessage(WM_BROWSER_FREE_RETIRED);
}

// The media answer stays open, paused, for TakeMediaAnswer; an earlier one nobody took goes.
void TWebBrowser::ParkMediaAnswer()
{
    if (!FHttp)
        return;
    if (FMediaHeadLost) {
        DropRequest();
        return;
    }
    DropMediaAnswer();
    FMediaClient = std::move(FHttp);
    THttpCli& h = *FMediaClient;
    h.OnHeaderEnd = nullptr;
    h.OnLocationChange = nullptr;
    h.OnStateChange = nullptr;
    // Until someone takes it, an end (its idle limit while paused) only marks it.
    h.OnRequestDone = [this](TObject*, THttpRequest, std::uint16_t) { FMediaEnded = true; };
}

void TWebBrowser::DropMediaAnswer()
{
    if (!FMediaClient)
        return;
    FHttp.swap(FMediaClient);
    DropRequest();
    FMediaHead.clear();
}

std::optional<TWebBrowser::TMediaAnswer> TWebBrowser::TakeMediaAnswer()
{
    if (!FMediaClient)
        return std::nullopt;
    TMediaAnswer answer;
    answer.Http = std::move(FMediaClient);
    answer.Http->OnDocData = nullptr;
    answer.Head = std::move(FMediaHead);
    *answer.Ended = FMediaEnded;
    // Its end may still be on its way: it is noted for whoever takes the answer.
    answer.Http->OnRequestDone = [ended = answer.Ended](TObject*, THttpRequest, std::uint16_t) { *ended = true; };
    FMediaHead.clear();
    return answer;
}

void TWebBrowser::Navigate(const std::string& address)
{
    // A stop still queued for the previous page must not reach the new one.
    FWindow.RemovePostedMessages();
    DropRequest();
    DropMediaAnswer();
    if (!FRetired.empty())
        FWindow.PostMessage(WM_BROWSER_FREE_RETIRED);
    FDocument = std::make_unique<TWebDocument>(address);
    FReadyState = READYSTATE_UNINITIALIZED;
    FLoadError = leNone;
    FLoadErrorText.clear();
    FLoadErrorStatus = 0;
    FProxyText.clear();
    FMediaAnswer = false;
    FAnswerAddress = address;
    FAnswerType.clear();
    FAnswerDisposition.clear();
    if (IsBlank(address)) {
        SetReadyState(READYSTATE_COMPLETE);
        return;
    }
    FOffline = false;
    SetReadyState(READYSTATE_LOADING);
    StartRequest(address);
}

void TWebBrowser::Navigate2(const std::string& address)
{
    Navigate(address);
}

void TWebBrowser::StartRequest(const std::string& address)
{
    auto http = std::make_unique<THttpCli>(this);
    http->SetName("WebBrowserHttp");
    http->SetAgent(UserAgent);
    http->SetAccept("text/html, application/xhtml+xml, */*");
    http->SetRequestVer("1.0");
    http->SetFollowRelocation(true);
    // The user's proxy is read for every page, as a browser picks up a changed setting, and
    // chosen by the page's address (https_proxy, no_proxy).
    const SystemProxy::Route route = SystemProxy::RouteFor(address);
    FProxyText = route.HostPort;
    if (!route.Direct()) {
        http->SetProxy(FProxyText);
        http->SetProxyUsername(route.Login.User);
        http->SetProxyPassword(route.Login.Password);
    }
    http->SetIdleTimeout(FIdleTimeout);
    http->SetCookieJar(FCookieJar);
    http->SetReference(FReferer);
    http->SetURL(address);
    http->SetRcvdStream(&FDocument->FBody);
    http->OnHeaderEnd = [this](TObject*) { HeaderEnd(); };
    http->OnDocData = [this](TObject*, const char*, int) { DocData(); };
    // A relocation cuts the body received so far back to nothing.
    http->OnLocationChange = [this](TObject*) {
        if (FDocument)
            DocumentChanged();
    };
    http->OnRequestDone = [this](TObject*, THttpRequest, std::uint16_t errCode) { RequestDone(errCode); };
    FHttp = std::move(http);
    try {
        FHttp->DoRequestAsync(httpGET);
    } catch (const std::exception& e) {
        SetLoadError(leOther, e.what());
        FailLoad(e.what());
    }
}

void TWebBrowser::HeaderEnd()
{
    if (!FHttp || FReadyState >= READYSTATE_INTERACTIVE)
        return;
    // A relocating answer's header is not the page's header yet, nor is a challenge the client
    // answers with the credentials it has (of the address, or of the proxy).
    if (FHttp->Relocating())
        return;
    const int challenge = FHttp->StatusCode();
    if ((challenge == 401 && !ParseURL(FHttp->URL()).User.empty()) ||
        (challenge == 407 && !FHttp->ProxyUsername().empty()))
        return;
    FAnswerAddress = FHttp->Location();
    FAnswerType = FHttp->ContentType();
    FAnswerDisposition.clear();
    for (const std::string& line : FHttp->RcvdHeader())
        if (text::StartsWithNoCase(line, "content-disposition:"))
            FAnswerDisposition = http_detail::Trim(line.substr(20));
    const int status = FHttp->StatusCode();
    if (status >= 200 && status < 300 && !FReadsAnyType &&
        IsMediaType(FAnswerType, FAnswerAddress, FAnswerDisposition)) {
        // The address is the file itself: its body is for the transfer, not for a page. The load
        // ends here, from the loop, not inside the client's event.
        FMediaAnswer = true;
        // The body is not the page's: no more of it is read while the stop is on its way, and
        // what came with the header is kept for whoever fetches the file.
        FHttp->SetRcvdStream(nullptr);
        FMediaHead.clear();
        FMediaHeadLost = false;
        FMediaEnded = false;
        FHttp->OnDocData = [this](TObject*, const char* data, int len) {
            if (FMediaHeadLost || FMediaHead.size() + static_cast<std::size_t>(len) > MaxMediaHead)
                FMediaHeadLost = true;
            else
                FMediaHead.append(data, static_cast<std::size_t>(len));
        };
        FHttp->CtrlSocket().Pause();
        SetReadyState(READYSTATE_INTERACTIVE);
        FWindow.PostMessage(WM_BROWSER_STOP_LOAD);
        return;
    }
    SetReadyState(READYSTATE_INTERACTIVE);
}

void TWebBrowser::DocData()
{
    if (!FDocument || FDocument->FTooLarge)
        return;
    DocumentChanged();
    if (static_cast<std::size_t>(FDocument->FBody.Size()) > FMaxDocumentSize) {
        FDocument->FTooLarge = true;
        FDocument->FBody.Clear();
        if (FHttp)
            FHttp->SetRcvdStream(nullptr);
        FWindow.PostMessage(WM_BROWSER_STOP_LOAD);
    }
}

void TWebBrowser::RequestDone(std::uint16_t errCode)
{
    if (!FHttp)
        return;
    if (FMediaAnswer) {
        // The whole file came with its header; the stop on its way parks it as it is.
        FMediaEnded = true;
        return;
    }
    // No response at all (refused, unknown host, unsupported scheme, a connection dropped before
    // anything came back): show the failure as a page.
    if (FHttp->StatusCode() == 0) {
        std::string reason = FHttp->FailureText();
        if (reason.empty())
            reason = "Error #" + std::to_string(errCode);
        if (errCode == httperrTimeout)
            SetLoadError(leOther, reason = "no data for " + std::to_string((FIdleTimeout + 999) / 1000) + " s");
        else if (errCode == ws::WSAECONNREFUSED)
            SetLoadError(leRefused, FProxyText.empty() ? "the server refused the connection"
                                                       : "the proxy " + FProxyText + " refused the connection");
        else if (IsLookupError(errCode))
            SetLoadError(leHostNotFound,
                         FProxyText.empty() ? "host not found" : "host not found (the proxy " + FProxyText + ")");
        else
            SetLoadError(leOther, reason);
        FailLoad(reason);
        return;
    }
    // An answer that failed on the way (cut short, badly framed, refused by the proxy, too many
    // relocations): what arrived is not the page.
    if (!FHttp->FailureText().empty()) {
        const std::string reason = FHttp->FailureText();
        if (FHttp->AnsweredByProxy())
            SetLoadError(leHttpStatus, reason, FHttp->StatusCode() >= 400 ? FHttp->StatusCode() : 0);
        else
            SetLoadError(leOther, reason);
        FailLoad(reason);
        return;
    }
    if (const int status = FHttp->StatusCode(); status >= 400) {
        std::string text = (FHttp->AnsweredByProxy() ? "the proxy " + FProxyText : std::string("the server")) +
                           " answered " + std::to_string(status);
        if (!FHttp->ReasonPhrase().empty())
            text += " " + FHttp->ReasonPhrase();
        SetLoadError(leHttpStatus, text, status);
    }
    FHttp->SetRcvdStream(nullptr);
    SetReadyState(READYSTATE_COMPLETE);
}

void TWebBrowser::SetLoadError(TLoadError error, const std::string& text, int status)
{
    FLoadError = error;
    FLoadErrorText = text;
    FLoadErrorStatus = status;
}

void TWebBrowser::FailLoad(const std::string& reason)
{
    if (!FDocument)
        return;
    if (FHttp)
        FHttp->SetRcvdStream(nullptr);
    const std::string page = ErrorDocument(FDocument->Address(), reason);
    FDocument->FBody.Clear();
    FDocument->FBody.WriteBuffer(page.data(), static_cast<std::int64_t>(page.size()));
    FDocument->Touch();
    SetReadyState(READYSTATE_COMPLETE);
}

void TWebBrowser::WndProc(TMessage& msg)
{
    switch (msg.Msg) {
    case WM_BROWSER_FREE_RETIRED:
        FRetired.clear();
        break;
    case WM_BROWSER_STOP_LOAD:
        if (FMediaAnswer && FReadyState != READYSTATE_COMPLETE) {
            ParkMediaAnswer();
            if (FDocument)
                FDocument->FBody.Clear();
            DocumentChanged();
            SetReadyState(READYSTATE_COMPLETE);
            break;
        }
        if (FDocument && FDocument->FTooLarge && FReadyState != READYSTATE_COMPLETE) {
            DropRequest();
            SetLoadError(leOther, "the page is too large");
            SetReadyState(READYSTATE_COMPLETE);
        }
        break;
    default:
        break;
    }
}

} // namespace cw
