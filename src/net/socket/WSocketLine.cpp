// The line layer: received data offered line by line when LineMode is on. It passes
// everything through when unused, except that Receive first hands out bytes still held from
// line mode.

#include "net/socket/WSocketLine.h"

#include <algorithm>
#include <cstring>

namespace cw {

using namespace ws;

// ---- buffer helpers --------------------------------------------------------------------------
//
// FRcvdBuf holds received bytes from FRcvdPos on; consumed bytes are dropped from the front
// lazily, so handing out many short lines from one large read stays linear.

namespace {
constexpr int kDefaultLineRead = 255;
}

int TCustomLineWSocket::Buffered() const
{
    return static_cast<int>(FRcvdBuf.size() - FRcvdPos);
}

void TCustomLineWSocket::Consume(int n)
{
    FRcvdPos += static_cast<size_t>(std::min(n, Buffered()));
    if (FRcvdPos == FRcvdBuf.size()) {
        FRcvdBuf.clear();
        FRcvdPos = 0;
    } else if (FRcvdPos > 4096 && FRcvdPos * 2 > FRcvdBuf.size()) {
        FRcvdBuf.erase(0, FRcvdPos);
        FRcvdPos = 0;
    }
}

void TCustomLineWSocket::ClearLineBuffer()
{
    FRcvdBuf.clear();
    FRcvdBuf.shrink_to_fit();
    FRcvdPos = 0;
    FLineLength = 0;
}

// ---- line layer ------------------------------------------------------------------------------

TCustomLineWSocket::TCustomLineWSocket(TComponent* AOwner) : TCustomSocksWSocket(AOwner)
{
    FLineEnd = "\r\n";
    FLineMode = false;
    FLineLimit = 65536;
}

TCustomLineWSocket::~TCustomLineWSocket() = default;

void TCustomLineWSocket::AssignDefaultValue()
{
    TCustomSocksWSocket::AssignDefaultValue();
    // Bytes of a finished connection must never be handed out on the next one.
    ClearLineBuffer();
}

void TCustomLineWSocket::SetLineMode(bool value)
{
    if (value == FLineMode)
        return;
    FLineMode = value;
    if (Buffered() > 0)
        MessageWindow::PostMessage(Handle(), WM_SOCKET_LINE_REPLAY);
}

int TCustomLineWSocket::SendLine(const std::string& Str)
{
    std::string line = Str + FLineEnd;
    return Send(line.data(), static_cast<int>(line.size()));
}

int TCustomLineWSocket::RcvdCount()
{
    if (FLineMode && !FLineEnd.empty())
        return FLineLength;
    if (Buffered() > 0)
        return Buffered();
    return TCustomSocksWSocket::RcvdCount();
}

int TCustomLineWSocket::DoRecv(void* Buffer, int BufferSize, int Flags)
{
    if (FLineMode && !FLineEnd.empty() && !SocksNegotiating()) {
        // Only the line on offer may be taken.
        if (FLineLength <= 0 || BufferSize <= 0) {
            WSASetLastError(WSAEWOULDBLOCK);
            return SOCKET_ERROR;
        }
        int n = std::min(BufferSize, FLineLength);
        std::memcpy(Buffer, FRcvdBuf.data() + FRcvdPos, static_cast<size_t>(n));
        Consume(n);
        FLineLength -= n;
        return n;
    }
    if (Buffered() > 0 && BufferSize > 0) {
        int n = std::min(BufferSize, Buffered());
        std::memcpy(Buffer, FRcvdBuf.data() + FRcvdPos, static_cast<size_t>(n));
        Consume(n);
        return n;
    }
    return TCustomSocksWSocket::DoRecv(Buffer, BufferSize, Flags);
}

void TCustomLineWSocket::ReadIntoLineBuffer()
{
    int pending = TCustomSocksWSocket::RcvdCount();
    if (pending <= 0)
        pending = kDefaultLineRead;
    size_t old = FRcvdBuf.size();
    FRcvdBuf.resize(old + static_cast<size_t>(pending));
    int n = TCustomSocksWSocket::DoRecv(FRcvdBuf.data() + old, pending, 0);
    if (n < 0) {
        FRcvdBuf.resize(old);
        FLastError = WSAGetLastError();
        return;
    }
    FRcvdBuf.resize(old + static_cast<size_t>(n));
    if (n == 0)
        return;
    if (FLineEcho && IsConnectedState()) {
        std::string echo = FRcvdBuf.substr(old);
        Send(echo.data(), static_cast<int>(echo.size()));
    }
    if (FLineEdit)
        EditLineBuffer(old);
}

void TCustomLineWSocket::EditLineBuffer(std::size_t From)
{
    // Rebuild the unconsumed part: backspace takes back the previous character of the current
    // line, a tab becomes blanks up to the next multiple of 8.
    std::string out(FRcvdBuf, FRcvdPos, From - FRcvdPos);
    size_t nl = out.rfind('\n');
    size_t lineStart = nl == std::string::npos ? 0 : nl + 1;
    for (size_t i = From; i < FRcvdBuf.size(); ++i) {
        char c = FRcvdBuf[i];
        if (c == '\b') {
            if (out.size() > lineStart)
                out.pop_back();
        } else if (c == '\t') {
            size_t col = out.size() - lineStart;
            out.append(8 - col % 8, ' ');
        } else {
            out += c;
            if (c == '\n')
                lineStart = out.size();
        }
    }
    FRcvdBuf = std::move(out);
    FRcvdPos = 0;
}

void TCustomLineWSocket::TriggerLineLimitExceeded(int Count, bool& ClearData)
{
    if (OnLineLimitExceeded)
        OnLineLimitExceeded(this, Count, ClearData);
}

void TCustomLineWSocket::OfferLine(int Length, std::uint16_t ErrCode)
{
    FLineLength = Length;
    if (!OnDataAvailable) {
        Consume(FLineLength); // nobody listens: the line is dropped
    } else {
        while (FLineLength > 0 && FLineMode) {
            int before = FLineLength;
            TCustomSocksWSocket::TriggerDataAvailable(ErrCode);
            // A handler that takes nothing would be offered the same line for ever.
            if (FLineLength == before) {
                Consume(FLineLength);
                break;
            }
        }
    }
    FLineLength = 0;
}

void TCustomLineWSocket::OfferPlain(std::uint16_t ErrCode)
{
    while (Buffered() > 0) {
        int before = Buffered();
        if (!TCustomSocksWSocket::TriggerDataAvailable(ErrCode)) {
            ClearLineBuffer();
            return;
        }
        if (Buffered() == before)
            return;
    }
}

bool TCustomLineWSocket::OfferLines(std::uint16_t ErrCode)
{
    bool found = false;
    while (FLineMode && !FLineEnd.empty() && Buffered() > 0) {
        size_t at = FRcvdBuf.find(FLineEnd, FRcvdPos);
        if (at == std::string::npos) {
            int count = Buffered();
            if (FLineLimit > 0 && count > FLineLimit) {
                bool clear = true;
                TriggerLineLimitExceeded(count, clear);
                if (clear)
                    ClearLineBuffer();
            }
            break;
        }
        found = true;
        OfferLine(static_cast<int>(at - FRcvdPos + FLineEnd.size()), ErrCode);
    }
    if (!FLineMode)
        OfferPlain(ErrCode); // switched off in a handler: the rest goes out as plain data
    return found;
}

bool TCustomLineWSocket::TriggerDataAvailable(std::uint16_t ErrCode)
{
    if (SocksNegotiating())
        return TCustomSocksWSocket::TriggerDataAvailable(ErrCode);
    if (!FLineMode || FLineEnd.empty()) {
        if (Buffered() > 0) {
            // Bytes left over from line mode go first; the socket is read on the next round.
            OfferPlain(ErrCode);
            return true;
        }
        return TCustomSocksWSocket::TriggerDataAvailable(ErrCode);
    }
    ReadIntoLineBuffer();
    OfferLines(ErrCode);
    return true;
}

void TCustomLineWSocket::TriggerSessionClosed(std::uint16_t ErrCode)
{
    // A partial line still held is the connection's last line.
    if (FLineMode && !FLineEnd.empty() && Buffered() > 0)
        OfferLine(Buffered(), 0);
    else if (Buffered() > 0)
        OfferPlain(0);
    ClearLineBuffer();
    TCustomSocksWSocket::TriggerSessionClosed(ErrCode);
}

void TCustomLineWSocket::LineReplay()
{
    int idlePasses = 0;
    while (Buffered() > 0) {
        if (FLineMode && !FLineEnd.empty()) {
            if (!OfferLines(0) && ++idlePasses >= 4)
                break;
        } else {
            int before = Buffered();
            OfferPlain(0);
            if (Buffered() == before)
                break;
        }
    }
}

void TCustomLineWSocket::WndProc(TMessage& Msg)
{
    if (Msg.Msg != WM_SOCKET_LINE_REPLAY) {
        TCustomSocksWSocket::WndProc(Msg);
        return;
    }
    try {
        LineReplay();
    } catch (const std::exception& E) {
        HandleBackGroundException(E);
    }
}

} // namespace cw
