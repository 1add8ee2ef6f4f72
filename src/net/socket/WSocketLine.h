#pragma once
// The line layer of the socket component: with LineMode on, received data is offered one line
// (ending in LineEnd) at a time, with an optional limit, echo and editing. With LineMode off it
// passes everything through, except that Receive first hands out bytes still held from line
// mode.

#include "net/socket/WSocketSocks.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace cw {

constexpr unsigned WM_SOCKET_LINE_REPLAY = 0x414; // re-deliver buffered data

// ClearData starts true; leaving it true drops the buffered bytes.
using TLineLimitEvent = std::function<void(TObject* Sender, int RcvdLength, bool& ClearData)>;

class TCustomLineWSocket : public TCustomSocksWSocket {
public:
    explicit TCustomLineWSocket(TComponent* AOwner = nullptr);
    ~TCustomLineWSocket() override;

    int RcvdCount() override;
    // Queue Str followed by LineEnd and send; returns the count queued (as Send).
    int SendLine(const std::string& Str);

    bool LineMode() const { return FLineMode; }
    void SetLineMode(bool value);
    int LineLimit() const { return FLineLimit; }
    void SetLineLimit(int value) { FLineLimit = value; }
    const std::string& LineEnd() const { return FLineEnd; }
    void SetLineEnd(const std::string& value) { FLineEnd = value; }
    bool LineEcho() const { return FLineEcho; }
    void SetLineEcho(bool value) { FLineEcho = value; }
    bool LineEdit() const { return FLineEdit; }
    void SetLineEdit(bool value) { FLineEdit = value; }
    // Bytes held in the line buffer.
    int LineBufferCount() const { return Buffered(); }

    TLineLimitEvent OnLineLimitExceeded;

protected:
    void WndProc(TMessage& Msg) override;
    void AssignDefaultValue() override;
    bool TriggerDataAvailable(std::uint16_t ErrCode) override;
    void TriggerSessionClosed(std::uint16_t ErrCode) override;
    int DoRecv(void* Buffer, int BufferSize, int Flags) override;

private:
    int Buffered() const;
    void Consume(int n);
    void ClearLineBuffer();
    void ReadIntoLineBuffer();
    bool OfferLines(std::uint16_t ErrCode);
    void OfferLine(int Length, std::uint16_t ErrCode);
    void OfferPlain(std::uint16_t ErrCode);
    void EditLineBuffer(std::size_t From);
    void TriggerLineLimitExceeded(int Count, bool& ClearData);
    void LineReplay();

    bool FLineMode = false;
    int FLineLimit = 65536;
    std::string FLineEnd = "\r\n";
    bool FLineEcho = false;
    bool FLineEdit = false;
    std::string FRcvdBuf; // received bytes; those before FRcvdPos are already handed out
    std::size_t FRcvdPos = 0;
    int FLineLength = 0; // what Receive may still take of the line on offer
};

} // namespace cw
