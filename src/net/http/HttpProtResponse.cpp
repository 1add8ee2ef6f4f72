// The receiving half of THttpCli: bytes from the socket become a status line, header lines and
// a document body; the end of a response leads to the end of the request, a relocation or an
// authentication retry.

#include "net/http/HttpProt.h"

#include "net/http/CookieJar.h"
#include "net/http/HttpUrl.h"
#include "platform/Text.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace cw {

using namespace http_detail;

namespace {

// No real server sends a header anywhere near this; a peer that does is broken or hostile,
// and holding its header lines would only eat memory. The bytes are counted from the request
// to the end of the final answer's header: interim answers, line ends, blank lines and the
// bytes dropped from over-long lines all count, so no peer can keep the header open for ever.
constexpr std::size_t kMaxHeaderBytes = 1024 * 1024;
constexpr int kMaxHeaderLines = 10000;
// The longest header line (without its line end) that the line buffer holds whole together
// with CR LF. A longer line is cut.
constexpr std::size_t kMaxHeaderLineLength = THttpCli::ReceiveBufferSize - 2;

// Lines whose value, cut short, would be trusted for something else than it says: where the
// answer ends, how it is framed, which bytes it holds, where the request goes next.
bool MustNotBeCut(const std::string& line)
{
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos)
        return false;
    const std::string name = text::Lower(line.substr(0, colon));
    return name == "location" || name == "content-length" || name == "transfer-encoding" || name == "content-range";
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// One plain decimal number, blanks around it allowed, leading zeros as many as come; -1 for
// anything else (a sign, a list, blanks inside, garbage, nothing, more than a signed 64-bit
// count holds). Such a length is no length at all: guessing where the body ends would hand on
// a wrong document or take the next response for its tail.
std::int64_t ParseContentLength(const std::string& text)
{
    const std::string t = Trim(text);
    if (t.empty())
        return -1;
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    std::int64_t v = 0;
    for (char c : t) {
        if (!IsDigit(c))
            return -1;
        const int digit = c - '0';
        if (v > (kMax - digit) / 10)
            return -1;
        v = v * 10 + digit;
    }
    return v;
}

// "bytes first-last/total" (total may be "*"): first and last, or false.
bool ParseByteRange(const std::string& value, std::int64_t& first, std::int64_t& last)
{
    const std::string t = Trim(value);
    if (!text::StartsWithNoCase(t, "bytes "))
        return false;
    const std::size_t dash = t.find('-', 6);
    const std::size_t slash = t.find('/', 6);
    if (dash == std::string::npos || slash == std::string::npos || dash > slash)
        return false;
    first = ParseContentLength(t.substr(6, dash - 6));
    last = ParseContentLength(t.substr(dash + 1, slash - dash - 1));
    const std::string total = Trim(t.substr(slash + 1));
    if (first < 0 || last < first)
        return false;
    if (total == "*")
        return true;
    const std::int64_t whole = ParseContentLength(total);
    return whole > last;
}

} // namespace

// ---- data arrival ---------------------------------------------------------------------------

void THttpCli::SocketDataAvailable(std::uint16_t ErrCode)
{
    NoteActivity();
    // The document body, with nothing left over in the line buffer, is received straight into
    // the body buffer and handed on from there. Never more than the announced length is read,
    // so bytes of a following response stay in the socket.
    if (Phase() == THttpPhase::Body && FReceiveLen == 0 && !FInBodyDelivery && FRequestType != httpHEAD) {
        std::int64_t want = BodyBufferSize;
        if (FResp.TransferEncoding != "chunked" && FResp.ContentLength >= 0)
            want = std::min(want, FResp.ContentLength - FResp.RcvdCount);
        if (want > 0) {
            int len = FCtrlSocket->Receive(FBodyBuffer.get(), static_cast<int>(want));
            if (Tracing())
                Trace((len > 0 ? "Data available. Len=" : "**data available. Len=") + std::to_string(len));
            if (len <= 0)
                return;
            if (FOptions.Contains(httpoBandwidthControl)) {
                FBandwidthCount += len;
                if (FBandwidthCount > FBandwidthMaxCount && !FBandwidthPaused) {
                    FBandwidthPaused = true;
                    FCtrlSocket->Pause();
                }
            }
            FInBodyDelivery = true;
            try {
                GetBodyLineNext(FBodyBuffer.get(), static_cast<std::size_t>(len));
            } catch (...) {
                FInBodyDelivery = false;
                throw;
            }
            FInBodyDelivery = false;
            if (Phase() == THttpPhase::BodyReceived)
                EndOfResponseWithBody();
            return;
        }
    }

    int len;
    bool cutLongLine = false;
    if (FReceiveLen < ReceiveBufferSize) {
        len = FCtrlSocket->Receive(FReceiveBuffer + FReceiveLen, ReceiveBufferSize - FReceiveLen);
    } else {
        // The buffer is full of one line: read on in small pieces until its end turns up and
        // cut the line there; what lies between is lost.
        char scratch[25];
        len = FCtrlSocket->Receive(scratch, sizeof scratch);
        if (len <= 0)
            return;
        const char* lf = static_cast<const char*>(std::memchr(scratch, '\n', static_cast<std::size_t>(len)));
        // The line's bytes lost here: those before its line feed, and the tail of the buffered
        // text that the line feed and what follows it overwrite.
        const int keep = lf ? static_cast<int>(scratch + len - lf) : 0;
        if (!CountHeaderBytes(static_cast<std::size_t>(lf ? lf - scratch + keep : len)))
            return;
        if (!lf)
            return;
        std::memcpy(FReceiveBuffer + FReceiveLen - keep, lf, static_cast<std::size_t>(keep));
        len = 0;
        cutLongLine = true;
    }
    if (Tracing())
        Trace((len > 0 || cutLongLine ? "Data available. Len=" : "**data available. Len=") +
              std::to_string(cutLongLine ? 1 : len));
    if (FRequestType == httpABORT)
        return;
    if (len > 0) {
        if (FOptions.Contains(httpoBandwidthControl)) {
            FBandwidthCount += len;
            if (FBandwidthCount > FBandwidthMaxCount && !FBandwidthPaused) {
                FBandwidthPaused = true;
                FCtrlSocket->Pause();
            }
        }
        FReceiveLen += len;
        FReceiveBuffer[FReceiveLen] = 0;
    } else if (!cutLongLine) {
        return;
    }

    ProcessLines(ErrCode, cutLongLine);

    const THttpPhase p = Phase();
    if ((p == THttpPhase::Body || p == THttpPhase::BodyOver) && FReceiveLen > 0) {
        if (FRequestType == httpHEAD) {
            FReceiveLen = 0;
            FCtrlSocket->Abort();
            return;
        }
        if (p == THttpPhase::Body) {
            HandBufferToBody();
            if (Phase() == THttpPhase::BodyReceived)
                EndOfResponseWithBody();
        }
    }
}

void THttpCli::RemoveFromBuffer(std::size_t n)
{
    n = std::min<std::size_t>(n, static_cast<std::size_t>(FReceiveLen));
    std::memmove(FReceiveBuffer, FReceiveBuffer + n, static_cast<std::size_t>(FReceiveLen) - n);
    FReceiveLen -= static_cast<int>(n);
    FReceiveBuffer[FReceiveLen] = 0;
}

// Bytes of the header being read (lines with their ends, or dropped from a line too long for
// the buffer) against the limit. False when the limit is passed: the answer has failed.
bool THttpCli::CountHeaderBytes(std::size_t n)
{
    const bool reading = Phase() == THttpPhase::Header || Phase() == THttpPhase::TunnelAnswer;
    if (!reading)
        return true;
    FResp.HeaderBytes += n;
    if (FResp.HeaderBytes <= kMaxHeaderBytes)
        return true;
    FailResponse("Response header too large");
    return false;
}

void THttpCli::ProcessLines(std::uint16_t ErrCode, bool FirstLineCut)
{
    const THttpPhase st = Phase();
    if (st == THttpPhase::Body || st == THttpPhase::BodyOver)
        return;
    bool cut = FirstLineCut;
    while (FReceiveLen > 0) {
        const char* lf =
            static_cast<const char*>(std::memchr(FReceiveBuffer, '\n', static_cast<std::size_t>(FReceiveLen)));
        if (!lf)
            break;
        std::size_t n = static_cast<std::size_t>(lf - FReceiveBuffer);
        std::size_t lineLen = (n > 0 && FReceiveBuffer[n - 1] == '\r') ? n - 1 : n;
        std::string line(FReceiveBuffer, lineLen);
        RemoveFromBuffer(n + 1);
        const bool lineCut = cut;
        cut = false;
        if (st == THttpPhase::Header || st == THttpPhase::TunnelAnswer) {
            if (!CountHeaderBytes(n + 1))
                break;
            GetHeaderLineNext(line, lineCut);
            // Once the header is over, what is left in the buffer belongs to the body (handed
            // on by the end of the header) or to whatever comes next: it is not cut into lines.
            if (Phase() != st)
                break;
        } else if (st == THttpPhase::HeaderOver) {
            // Bytes after an answer that is over belong to no answer of ours. Kept in the
            // buffer, they would be read as the next request's answer on this connection: they
            // are dropped, and the connection is not used again.
            FReceiveLen = 0;
            FResp.CloseReq = true;
            FConn.Ours = false;
            break;
        } else {
            if (OnDataPush)
                OnDataPush(this, ErrCode);
        }
    }
}

void THttpCli::HandBufferToBody()
{
    std::size_t n = static_cast<std::size_t>(FReceiveLen);
    if (FResp.TransferEncoding != "chunked" && FResp.ContentLength >= 0)
        n = static_cast<std::size_t>(std::min<std::int64_t>(
            static_cast<std::int64_t>(n), std::max<std::int64_t>(0, FResp.ContentLength - FResp.RcvdCount)));
    if (n == 0)
        return;
    // Take the block out of the line buffer first: a handler that pumps messages could
    // otherwise see new bytes received over the block it is being handed.
    char block[ReceiveBufferSize];
    std::memcpy(block, FReceiveBuffer, n);
    RemoveFromBuffer(n);
    GetBodyLineNext(block, n);
}

// ---- header ---------------------------------------------------------------------------------

void THttpCli::GetHeaderLineNext(const std::string& Line, bool Cut)
{
    // Blank lines before the status line (a stray line end after the previous response on a
    // kept connection) are skipped rather than taken as an empty header.
    if (FResp.HeaderLineCount <= 0 && Line.empty())
        return;
    if (FResp.HeaderLineCount == 0) {
        FResp.HeaderOpen = true;
        // The proxy's answer to CONNECT is not the response the caller asked for.
        if (Phase() != THttpPhase::TunnelAnswer) {
            if (OnHeaderBegin)
                OnHeaderBegin(this);
            if (Phase() != THttpPhase::Header)
                return;
        }
    } else if (FResp.HeaderLineCount == -1) {
        FResp.HeaderLineCount = 0;
    }
    ++FResp.HeaderLineCount;

    if (Line.empty()) {
        EndOfHeader();
        return;
    }

    if (FResp.HeaderLineCount > kMaxHeaderLines) {
        FailResponse("Response header too large");
        return;
    }
    // What is left of an over-long line may still be kept as information, but not when the
    // rest of the answer would be read, framed or followed by it.
    if ((Cut || Line.size() > kMaxHeaderLineLength) && (FResp.HeaderLineCount == 1 || MustNotBeCut(Line))) {
        FailResponse("header line too long");
        return;
    }

    FResp.RcvdHeader.push_back(Line);
    if (FResp.HeaderLineCount == 1) {
        if (Line.compare(0, 8, "HTTP/1.0") != 0 && Line.compare(0, 8, "HTTP/1.1") != 0) {
            if (OnDataPush2)
                OnDataPush2(this);
            // A bare document (HTTP/0.9) or not HTTP at all: nothing says what it is, how long
            // it is, or whether it is an error.
            FailResponse("No HTTP status line in the answer: " + Line.substr(0, 80));
            return;
        }
        FReplyVer = Line.substr(5, 3);
        if (FRequestVer == "1.1" && FReplyVer == "1.0")
            FResp.CloseReq = true;
        else if (FRequestVer == "1.0")
            FResp.CloseReq = true;
        else
            FResp.CloseReq = false;
        if (Tracing())
            Trace(std::string("FCloseReq=") + (FResp.CloseReq ? "1" : "0"));
        FResp.StatusCode = 0;
        FReasonPhrase.clear();
        // "HTTP/1.1 200 OK": exactly three digits after one blank, then the end of the line or
        // a blank ("2000" is not a 200 with a stray digit).
        std::size_t p = 8;
        while (p < Line.size() && (Line[p] == ' ' || Line[p] == '\t'))
            ++p;
        std::size_t end = p;
        while (end < Line.size() && IsDigit(Line[end]))
            ++end;
        if (p == 8 || end - p != 3 || (end < Line.size() && Line[end] != ' ' && Line[end] != '\t')) {
            FailResponse("Invalid status line: " + Line.substr(0, 80));
            return;
        }
        FResp.StatusCode = std::stoi(Line.substr(p, 3));
        if (FResp.StatusCode < 100) {
            FailResponse("Invalid status line: " + Line.substr(0, 80));
            return;
        }
        if (p + 4 < Line.size())
            FReasonPhrase = Line.substr(p + 4);
    } else {
        InterpretField(Line);
        if (FResp.Failed)
            return;
    }
    if (Phase() == THttpPhase::Header && OnHeaderData)
        OnHeaderData(this);
}

void THttpCli::InterpretField(const std::string& Line)
{
    std::size_t colon = Line.find(':');
    if (colon == std::string::npos)
        return;
    std::string name = text::Lower(Line.substr(0, colon));
    std::size_t p = colon + 1;
    while (p + 1 < Line.size() && (Line[p] == ' ' || Line[p] == '\t'))
        ++p;
    std::string value = p < Line.size() ? Line.substr(p) : std::string();

    // The proxy's answer to CONNECT says only how it is framed and what credentials it wants:
    // its Location, cookies and the like are not the server's, and nothing of it is followed.
    if (Phase() == THttpPhase::TunnelAnswer && name != "content-length" && name != "transfer-encoding" &&
        name != "proxy-authenticate" && name != "connection" && name != "proxy-connection")
        return;

    if (name == "location") {
        // Only a relocating status sends the request elsewhere; on any other the field is
        // information, and the answer stands as it is.
        const int st = FResp.StatusCode;
        if (FRequestType == httpPUT || st == 301 || st == 302 || st == 303 || st == 307 || st == 308)
            LocationField(value);
    } else if (name == "content-length") {
        const std::int64_t length = ParseContentLength(value);
        if (length < 0) {
            FailResponse("Invalid Content-Length in the answer: " + Trim(value).substr(0, 40));
            return;
        }
        // Two different lengths: one of them is a lie, and whichever is believed, the document
        // or the next response comes out wrong. The same length repeated is harmless.
        if (FResp.ContentLengthSeen && length != FResp.ContentLength) {
            FailResponse("Conflicting Content-Length values in the response");
            return;
        }
        FResp.ContentLengthSeen = true;
        FResp.ContentLength = length;
    } else if (name == "transfer-encoding") {
        // Repeated lines add codings, as one comma-separated line would.
        const std::string coding = text::Lower(value);
        FResp.TransferEncoding = FResp.TransferEncoding.empty() ? coding : FResp.TransferEncoding + ", " + coding;
    } else if (name == "content-range") {
        std::size_t dash = value.find('-');
        if (value.size() > 6 && dash != std::string::npos && dash >= 6) {
            FContentRangeBegin = value.substr(6, dash - 6);
            std::size_t slash = value.find('/', dash);
            FContentRangeEnd =
                value.substr(dash + 1, slash == std::string::npos ? std::string::npos : slash - dash - 1);
        }
        FResp.ContentRange = value;
    } else if (name == "etag") {
        FResp.ETag = value;
    } else if (name == "last-modified") {
        FResp.LastModified = value;
    } else if (name == "accept-ranges") {
        FAcceptRanges = value;
    } else if (name == "content-type") {
        FResp.ContentType = text::Lower(value);
    } else if (name == "www-authenticate" || name == "proxy-authenticate") {
        FResp.Challenges.push_back(value);
    } else if (name == "set-cookie") {
        bool accept = true;
        if (OnCookie)
            OnCookie(this, value, accept);
        if (accept && FCookieJar) {
            std::string why;
            if (!FCookieJar->SetCookie(value, CurrentAddress(), &why) && Tracing())
                Trace("Cookie refused: " + why);
        }
    } else if (name == "connection" || name == "proxy-connection") {
        std::string v = text::Lower(Trim(value));
        if (v == "close")
            FResp.CloseReq = true;
        else if (v == "keep-alive")
            FResp.CloseReq = false;
    } else if (name == "content-encoding") {
        FResp.ContentEncoding = value;
    }
}

void THttpCli::EndOfHeader()
{
    if (Tracing())
        Trace("End of header");
    if (FResp.StatusCode >= 100 && FResp.StatusCode < 200) {
        if (FResp.StatusCode == 101) {
            // We never ask to switch protocols: what follows would not be HTTP.
            FailResponse("Unexpected answer 101 " + FReasonPhrase + ": no change of protocol was asked for");
            return;
        }
        // Interim answers (100 Continue, 103 Early Hints, ...) are dropped; the real answer
        // follows on the same connection.
        FResp.RcvdHeader.clear();
        FResp.HeaderLineCount = -1;
        FResp.ContentLength = -1;
        FResp.ContentLengthSeen = false;
        FResp.TransferEncoding.clear();
        FResp.Challenges.clear();
        return;
    }
    FResp.HeaderOpen = false;
    if (Phase() == THttpPhase::TunnelAnswer) {
        ProxyConnectAnswered(); // a 407 carries on below as an answer the caller never sees
        if (Phase() != THttpPhase::Header)
            return;
    } else if (!AnswerWasAsked()) {
        return;
    }
    if (OnHeaderEnd && !FResp.ProxyAnswer)
        OnHeaderEnd(this);
    if (!HttpPhaseActive(Phase())) {
        FReceiveLen = 0;
        return;
    }
    if (Phase() != THttpPhase::Header)
        return;
    if (!CheckTransferEncoding())
        return;

    const bool chunked = FResp.TransferEncoding == "chunked";
    bool noBody = FRequestType == httpHEAD || FResp.ContentLength == 0;
    if (FResp.ContentLength == -1 && !chunked &&
        (FResp.StatusCode < 200 || FResp.StatusCode == 204 || FResp.StatusCode == 301 || FResp.StatusCode == 302 ||
         FResp.StatusCode == 304 || FResp.StatusCode == 401 || FResp.StatusCode == 407))
        noBody = true;
    // These never carry a body, whatever Content-Length says (it describes the document that
    // was not sent); waiting for it would hang until the server gives up.
    if ((FResp.StatusCode >= 100 && FResp.StatusCode < 200) || FResp.StatusCode == 204 || FResp.StatusCode == 304)
        noBody = true;
    if (noBody) {
        EndOfResponseNoBody();
        return;
    }

    std::size_t dot = FTarget.DocName.rfind('.');
    std::string ext = dot == std::string::npos ? std::string() : FTarget.DocName.substr(dot);
    if ((text::Lower(ext) == ".exe" || ext.empty()) && FResp.ContentType == "text/html")
        FTarget.DocName =
            dot == std::string::npos ? FTarget.DocName + ".htm" : FTarget.DocName.substr(0, dot + 1) + "htm";

    Move(THttpPhase::Body);
    if (FReceiveLen > 0) {
        HandBufferToBody();
        if (Phase() == THttpPhase::BodyReceived)
            EndOfResponseWithBody();
    }
}

// A partial answer or a "not modified" answers a question the request may not have asked: handed
// on, it would pose as the whole document. False when the request was ended here.
bool THttpCli::AnswerWasAsked()
{
    if (FResp.StatusCode == 304 && !FAskedConditional) {
        FailResponse("Unexpected answer 304 " + FReasonPhrase + " to a request without a validator");
        return false;
    }
    if (FResp.StatusCode != 206 || FRequestType == httpHEAD)
        return true;
    std::string why;
    std::int64_t first = 0;
    std::int64_t last = 0;
    if (FRequestRange.empty()) {
        why = "a partial answer (206) to a request for the whole document";
    } else if (!ParseByteRange(FResp.ContentRange, first, last)) {
        why = "a partial answer (206) without a usable Content-Range (" + FResp.ContentRange.substr(0, 60) + ")";
    } else {
        const std::size_t dash = FRequestRange.find('-');
        const std::int64_t askedFirst = ParseContentLength(FRequestRange.substr(0, dash));
        const std::string askedLastText = dash == std::string::npos ? std::string() : FRequestRange.substr(dash + 1);
        const std::int64_t askedLast = askedLastText.empty() ? -1 : ParseContentLength(askedLastText);
        const std::int64_t length = last - first + 1;
        if (first != std::max<std::int64_t>(askedFirst, 0) || (askedLast >= 0 && last > askedLast))
            why = "a partial answer (206) for bytes " + std::to_string(first) + "-" + std::to_string(last) +
                  " to a request for bytes=" + FRequestRange;
        else if (FResp.TransferEncoding.empty() && FResp.ContentLength >= 0 && FResp.ContentLength != length)
            why = "a partial answer (206) whose Content-Length does not match its Content-Range";
    }
    if (why.empty())
        return true;
    FailResponse(why, httperrRangeMismatch);
    return false;
}

// ---- body -----------------------------------------------------------------------------------

void THttpCli::GetBodyLineNext(const char* Data, std::size_t Len)
{
    if (Tracing())
        Trace("GetBodyLineNext begin");
    if (FResp.BodyLineCount == 0 && FResp.ProxyAnswer) {
        // Read only to keep the connection usable for the next CONNECT: never the caller's.
        FChunk.Reset();
        FContentCodingHnd.Prepare(std::string(), [](const char*, std::size_t) {});
        FRcvdStreamStartValid = false;
    } else if (FResp.BodyLineCount == 0) {
        FChunk.Reset();
        if (OnDocBegin)
            OnDocBegin(this);
        if (Phase() != THttpPhase::Body)
            return;
        FContentCodingHnd.Prepare(FResp.ContentEncoding, [this](const char* d, std::size_t n) {
            // The caller's stream first, so a handler of OnDocData sees the bytes written.
            if (FRcvdStream)
                FRcvdStream->WriteBuffer(d, static_cast<std::int64_t>(n));
            if (OnDocData)
                OnDocData(this, d, static_cast<int>(n));
        });
        FRcvdStreamStartSize = FRcvdStream ? FRcvdStream->Size() : 0;
        FRcvdStreamStartValid = FRcvdStream != nullptr;
    }
    ++FResp.BodyLineCount;

    if (FResp.TransferEncoding != "chunked") {
        if (Len > 0) {
            FResp.RcvdCount += static_cast<std::int64_t>(Len);
            if (!PassOn(Data, Len))
                return;
        }
        if (FResp.RcvdCount == FResp.ContentLength) {
            if (Tracing())
                Trace("End of document");
            DocumentComplete(true);
        }
    } else {
        FChunk.OnChunkLength = Tracing() ? std::function<void(std::uint64_t)>(
                                               [this](std::uint64_t n) { Trace("ChunkLength = " + std::to_string(n)); })
                                         : nullptr;
        FChunk.Decode(Data, Len, [this](const char* d, std::size_t n) {
            FResp.RcvdCount += static_cast<std::int64_t>(n);
            return PassOn(d, n);
        });
        if (Phase() != THttpPhase::Body)
            return;
        if (FChunk.State() == THttpChunkDecoder::csError) {
            // What was passed on so far stays with the caller; nothing after the break is.
            FailResponse("Invalid chunked encoding in the response body");
            return;
        }
        if (FChunk.State() == THttpChunkDecoder::httpChunkDone) {
            if (Tracing())
                Trace("httpChunkDone, end of document");
            DocumentComplete(false);
        }
    }
    if (Tracing())
        Trace("GetBodyLineNext end");
}

bool THttpCli::PassOn(const char* Data, std::size_t Len)
{
    FContentCodingHnd.WriteBuffer(Data, Len);
    // A handler may have ended the request (Abort): stop handing on what is left.
    return Phase() == THttpPhase::Body;
}

// A body framed by the end of the connection, over TLS, whose end the server did not confirm
// with close_notify: a cut by anyone on the way looks exactly like it.
bool THttpCli::EndUnconfirmed() const
{
    return FChain.IsUp(THttpLinkKind::Tls) && FResp.TransferEncoding != "chunked" && FResp.ContentLength < 0 &&
           FRequestType != httpHEAD && !FCtrlSocket->SslCloseNotified();
}

void THttpCli::FailTlsEnd()
{
    SetFailure("the connection ended before the TLS close (the document may be cut short)", httperrTlsTruncated);
}

bool THttpCli::BodyIncomplete() const
{
    if (FResp.TransferEncoding == "chunked")
        return FChunk.State() != THttpChunkDecoder::httpChunkDone;
    return FResp.ContentLength >= 0 && FResp.RcvdCount < FResp.ContentLength;
}

void THttpCli::DocumentComplete(bool)
{
    FResp.BodyLineCount = 0;
    Move(THttpPhase::BodyReceived);
    StopBandwidthTimer();
    FContentCodingHnd.Complete();
    if (OnDocEnd && !FResp.ProxyAnswer)
        OnDocEnd(this);
    if (FResp.CloseReq && Phase() == THttpPhase::BodyReceived)
        FCtrlSocket->PostClose();
}

// The answer is over. On a connection that stays, what follows is decided at once (from the
// message loop); otherwise the connection is closed first and its closed handler asks.
void THttpCli::EndOfResponseNoBody()
{
    Move(THttpPhase::HeaderOver);
    if (!FResp.CloseReq) {
        PostAnswerOver();
        return;
    }
    if (FRequestType == httpHEAD) {
        FReceiveLen = 0;
        Move(THttpPhase::BodyOver);
    }
    FCtrlSocket->PostClose(); // the closed handler ends the answer
}

void THttpCli::EndOfResponseWithBody()
{
    PostAnswerOver();
}

void THttpCli::StopReading()
{
    switch (Phase()) {
    case THttpPhase::Header:
    case THttpPhase::TunnelAnswer:
        Move(THttpPhase::HeaderOver);
        break;
    case THttpPhase::Body:
        Move(THttpPhase::BodyOver);
        break;
    default:
        break;
    }
}

// The answer cannot be read any further without guessing: end the request as a bad response.
// The connection goes too, since where the next response would start is unknown; the closed
// handler then ends the request, keeping whatever the stream already holds.
void THttpCli::FailResponse(const std::string& Text, std::uint16_t Code)
{
    SetFailure(Text, Code);
    FResp.Failed = true;
    StopReading();
    FReceiveLen = 0;
    FCtrlSocket->Abort();
}

// Only chunked is implemented (and identity, which changes nothing). A body in any other
// coding ("gzip, chunked") would be handed on still encoded, and its end would be missed.
// Answers that carry no body are not concerned. False when the request was ended here.
bool THttpCli::CheckTransferEncoding()
{
    if (FResp.TransferEncoding.empty())
        return true;
    const int status = FResp.StatusCode;
    if (FRequestType == httpHEAD || (status >= 100 && status < 200) || status == 204 || status == 304)
        return true;
    std::vector<std::string> codings;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = FResp.TransferEncoding.find(',', start);
        const std::string coding =
            Trim(FResp.TransferEncoding.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (!coding.empty() && coding != "identity")
            codings.push_back(coding);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (codings.empty()) {
        FResp.TransferEncoding.clear();
        return true;
    }
    if (codings.size() == 1 && codings[0] == "chunked") {
        FResp.TransferEncoding = "chunked";
        return true;
    }
    FailResponse("Unsupported Transfer-Encoding in the response: " + FResp.TransferEncoding);
    return false;
}

// ---- connection closed ----------------------------------------------------------------------

void THttpCli::SocketSessionClosed(std::uint16_t ErrCode)
{
    if (FIgnoreClosed)
        return;
    if (Tracing())
        Trace("SessionClosed Error: " + std::to_string(ErrCode));
    const THttpPhase p = Phase();
    if (p == THttpPhase::Starting) {
        // The old connection went away while the next request of this one (a relocation or
        // an authentication retry) waits to start: it will simply connect anew.
        FConn.Ours = false;
        return;
    }
    FConn.Ours = false;
    if (p == THttpPhase::Header && FResp.HeaderLineCount == 0 && FreshRetryAllowed() && FFailureText.empty()) {
        // Not a byte of an answer on a kept connection: the decision sends the request again.
        PostAnswerOver();
        return;
    }
    // An error on a connection whose response is already complete does not spoil that response.
    if (ErrCode != 0 && HttpPhaseActive(p) && p != THttpPhase::BodyReceived)
        FResp.RequestDoneError = ErrCode;
    const bool aborting = p == THttpPhase::Aborting;
    const bool running = HttpPhaseActive(p) && !aborting;
    // A relocating answer cut by the close is still followed: its Location is all it had to say.
    const bool relocating = FResp.Relocation.Follow && running;

    if (FResp.HeaderOpen) {
        FResp.HeaderOpen = false;
        if (OnHeaderEnd)
            OnHeaderEnd(this);
        if (running && !relocating)
            SetFailure("Connection closed before the whole response header was received");
    } else if (FResp.BodyLineCount > 0) {
        const bool incomplete = BodyIncomplete() || ErrCode != 0;
        FResp.BodyLineCount = 0;
        StopBandwidthTimer();
        FContentCodingHnd.Complete();
        if (OnDocEnd && !FResp.ProxyAnswer)
            OnDocEnd(this);
        if (!running || relocating || Phase() == THttpPhase::BodyReceived) {
        } else if (EndUnconfirmed()) {
            FailTlsEnd();
        } else if (incomplete) {
            SetFailure("Connection closed before the whole document was received (" + std::to_string(FResp.RcvdCount) +
                       (FResp.ContentLength >= 0 ? " of " + std::to_string(FResp.ContentLength) : std::string()) +
                       " bytes)");
        }
    } else if (p == THttpPhase::Body && BodyIncomplete() &&
               (FResp.TransferEncoding == "chunked" || FResp.ContentLength > 0)) {
        if (!relocating)
            SetFailure("Connection closed before the document was received");
    } else if (p == THttpPhase::Body && EndUnconfirmed()) {
        if (!relocating)
            FailTlsEnd();
    } else if ((p == THttpPhase::TunnelAnswer || p == THttpPhase::TunnelTls) && !aborting) {
        SetFailure("The proxy closed the connection instead of opening a tunnel");
    } else if (p == THttpPhase::Header && FResp.HeaderLineCount == 0) {
        SetFailure("Connection closed by the server without a response");
    }

    if (OnSessionClosed)
        OnSessionClosed(this);
    if (HttpPhaseActive(Phase()))
        PostAnswerOver();
}

} // namespace cw
