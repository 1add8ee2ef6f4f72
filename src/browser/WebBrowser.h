#pragma once
// The page engine the download window loads watch pages with. It behaves as the small part of
// an embedded browser control the page stage relies on:
//
//  - Navigate(address) returns at once; the page is fetched in the background on the thread
//    that owns the browser, with our own HTTP client in asynchronous mode, through the user's
//    system proxy, following relocations.
//  - ReadyState is 1 (loading) from Navigate on, 3 (interactive) once the final response's
//    header is in, 4 (complete) when the request has ended.
//  - Document() gives the current document; Save writes the HTML received so far (partial
//    while the page loads), so the caller can read it again and again as it builds up.
//  - Navigate2("about:blank") leaves the page: the running request is dropped and an empty
//    document is complete at once. Offline is a flag the caller sets after that; the next
//    navigation to a web address brings the engine back online.
//  - A load that fails without any response (refused, unknown host, an address the engine
//    cannot fetch) completes with a short error document, as a browser shows one. A response
//    with an error status is a document like any other. Either way LoadError() and
//    LoadErrorText() say why the page is not the one asked for, so a caller need not wait for
//    markers that cannot come.
//
// Everything runs on the owning thread and is driven by posted messages: the caller pumps
// messages (the page stage's polling pump does) and reads ReadyState between them.

#include "net/http/CookieJar.h"
#include "platform/MessageWindow.h"
#include "platform/Streams.h"
#include "platform/Types.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cw {

class THttpCli;

constexpr int READYSTATE_UNINITIALIZED = 0;
constexpr int READYSTATE_LOADING = 1;
constexpr int READYSTATE_LOADED = 2;
constexpr int READYSTATE_INTERACTIVE = 3;
constexpr int READYSTATE_COMPLETE = 4;

// Why the current load did not give the page asked for.
enum TLoadError {
    leNone,         // loading, or loaded with a success status
    leRefused,      // the server or the proxy refused the connection
    leHostNotFound, // the host name could not be resolved
    leHttpStatus,   // the server answered with an error status (400 and above)
    leUnsupported,  // the engine cannot load this kind of address
    leOther,        // no response for another reason (dropped connection, too large, ...)
};

class EWebDocumentError : public Exception {
public:
    using Exception::Exception;
};

// One loaded (or loading) page. Owned by its browser; valid until the next navigation.
class TWebDocument {
public:
    explicit TWebDocument(std::string address);

    const std::string& Address() const { return FAddress; }
    // Write the document's source, as received so far, into stream at its position. Raises
    // EWebDocumentError when the document could not be kept (larger than the browser allows).
    void Save(TStream& stream) const;
    // The source received so far (empty for a document that could not be kept).
    const std::string& Source() const { return FBody.DataString(); }
    bool TooLarge() const { return FTooLarge; }
    // Changes whenever what Save would write may have changed; unique across documents, so a
    // reader can tell "nothing new since I last looked" without copying the text again.
    std::uint64_t Version() const { return FVersion; }

private:
    friend class TWebBrowser;
    void Touch();
    std::string FAddress;
    std::uint64_t FVersion = 0;
    TMemoryStream FBody; // the HTTP client writes the body straight into it
    bool FTooLarge = false;
};

class TWebBrowser : public TComponent {
public:
    explicit TWebBrowser(TComponent* owner = nullptr);
    ~TWebBrowser() override;
    TWebBrowser(const TWebBrowser&) = delete;
    TWebBrowser& operator=(const TWebBrowser&) = delete;

    // Start loading address; returns at once. A running load is dropped first.
    void Navigate(const std::string& address);
    // As Navigate; "about:blank" completes at once with an empty document.
    void Navigate2(const std::string& address);

    int ReadyState() const { return FReadyState; }
    // The current document, or nullptr before the first navigation.
    TWebDocument* Document() { return FDocument.get(); }
    // The address of the current document.
    std::string LocationURL() const { return FDocument ? FDocument->Address() : std::string(); }

    // Why the current load failed (leNone while loading and after a good load), and the reason
    // as a phrase for the user: "the proxy 127.0.0.1:3128 refused the connection", "host not
    // found", "the server answered 404 Not Found", ...
    TLoadError LoadError() const { return FLoadError; }
    const std::string& LoadErrorText() const { return FLoadErrorText; }
    // The error status the final answer had (the proxy's when it answered), 0 when none came.
    int LoadErrorStatus() const { return FLoadErrorStatus; }

    // The final answer (after relocations) of the current load was a video or audio file
    // (video/*, audio/*, or application/octet-stream for an address with a media extension):
    // its body is not loaded, the document stays empty and the load is complete. The address
    // is the file's; the answer's type and Content-Disposition name it.
    bool MediaAnswer() const { return FMediaAnswer; }
    const std::string& AnswerAddress() const { return FAnswerAddress; }
    const std::string& AnswerType() const { return FAnswerType; }
    const std::string& AnswerDisposition() const { return FAnswerDisposition; }

    // The answer that turned out to be a media file, still open: its client (paused, with the
    // header read), the body bytes that arrived with the header, and whether the answer already
    // ended (a small file can arrive whole with its header). Whoever fetches the file goes on
    // reading it instead of asking again, so no byte of it travels twice. Empty when there is no
    // such answer, or it was taken already; an answer nobody takes is dropped with the next load.
    struct TMediaAnswer {
        std::unique_ptr<THttpCli> Http;
        std::string Head;
        // Set when the answer ends, until whoever takes it sets its own OnRequestDone.
        std::shared_ptr<bool> Ended = std::make_shared<bool>(false);
    };
    std::optional<TMediaAnswer> TakeMediaAnswer();

    bool Offline() const { return FOffline; }
    void SetOffline(bool value) { FOffline = value; }

    // The control's width on its form; the download window keeps it at 0. Nothing is drawn.
    int Width() const { return FWidth; }
    void SetWidth(int value) { FWidth = value; }

    // A page larger than this is not kept: loading stops and Save raises. Protects the
    // program from an address that turns out to be a video file rather than a page.
    std::size_t MaxDocumentSize() const { return FMaxDocumentSize; }
    void SetMaxDocumentSize(std::size_t value) { FMaxDocumentSize = value; }
    static constexpr std::size_t DefaultMaxDocumentSize = 32 * 1024 * 1024;

    // A page whose server sends nothing for this long fails ("no data for 30 s") instead of
    // holding the page stage until its own limit.
    int IdleTimeout() const { return FIdleTimeout; }
    void SetIdleTimeout(int ms) { FIdleTimeout = ms; }
    // The cookies of the item the pages are loaded for (not owned; nullptr: none): every page
    // request carries them and stores what its answers set, relocations included.
    TCookieJar* CookieJar() const { return FCookieJar; }
    void SetCookieJar(TCookieJar* jar) { FCookieJar = jar; }
    static constexpr int DefaultIdleTimeoutMs = 30000;

    // The User-Agent the engine sends.
    static const char* const UserAgent;

    // The Referer the next loads send (the page that embeds the one loaded); "" sends none.
    const std::string& Referer() const { return FReferer; }
    void SetReferer(const std::string& value) { FReferer = value; }
    // The next loads are read as documents whatever type their answer has: data the caller asked
    // for (an oEmbed answer is JSON), never a file to hand on.
    bool ReadsAnyType() const { return FReadsAnyType; }
    void SetReadsAnyType(bool value) { FReadsAnyType = value; }

    // Fires when ReadyState changes (after the change). Optional.
    std::function<void(TObject* Sender)> OnReadyStateChange;
    // Fires when more of the document arrived, or a relocation started it over. It runs inside
    // the page's connection handler: a reader should look at the document from the event loop.
    std::function<void(TObject* Sender)> OnDocumentChange;

private:
    void SetReadyState(int value);
    void DocumentChanged();
    void DropRequest();
    void ParkMediaAnswer();
    void DropMediaAnswer();
    void StartRequest(const std::string& address);
    void HeaderEnd();
    void DocData();
    void RequestDone(std::uint16_t errCode);
    void FailLoad(const std::string& reason);
    void SetLoadError(TLoadError error, const std::string& text, int status = 0);
    void WndProc(TMessage& msg);

    MessageWindow FWindow;
    std::unique_ptr<THttpCli> FHttp;
    // Clients whose load was dropped; freed from a posted message, never inside their own events.
    std::vector<std::unique_ptr<THttpCli>> FRetired;
    std::unique_ptr<TWebDocument> FDocument;
    int FReadyState = READYSTATE_UNINITIALIZED;
    TLoadError FLoadError = leNone;
    std::string FLoadErrorText;
    int FLoadErrorStatus = 0;
    std::string FProxyText; // the proxy the current load goes through ("" for none)
    bool FOffline = false;
    bool FMediaAnswer = false;
    // The media answer's body that arrived before the pause took effect; past the limit the
    // answer cannot be handed on (its first bytes are gone).
    std::string FMediaHead;
    bool FMediaHeadLost = false;
    bool FMediaEnded = false;
    std::unique_ptr<THttpCli> FMediaClient; // parked for TakeMediaAnswer
    static constexpr std::size_t MaxMediaHead = 1 << 20;
    std::string FAnswerAddress;
    std::string FAnswerType;
    std::string FAnswerDisposition;
    int FWidth = 0;
    std::size_t FMaxDocumentSize = DefaultMaxDocumentSize;
    int FIdleTimeout = DefaultIdleTimeoutMs;
    TCookieJar* FCookieJar = nullptr;
    std::string FReferer;
    bool FReadsAnyType = false;
};

// The short page shown for a load that got no response.
std::string ErrorDocument(const std::string& address, const std::string& reason);

} // namespace cw
